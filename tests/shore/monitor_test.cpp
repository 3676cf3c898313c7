// The station monitor's judgement, fed decoded messages directly: alarm
// edges, the battery and position limits with their hysteresis, reports
// falling overdue on the feed's clock (read back as a recording, its own
// times the clock), and what the database keeps across runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sqlite3.h>
#include <unistd.h>

#include "messages.h"

namespace ais = zelmora::ais;
namespace shore = zelmora::shore;
namespace fs = std::filesystem;

using namespace shore_test;

TEST(ShoreDistance, HaversineOnTheMeanEarth) {
    // One minute of latitude and one degree of longitude on the equator.
    EXPECT_NEAR(shore::distance_m(43, -8, 43 + 1.0 / 60, -8), 1853.25, 0.01);
    EXPECT_NEAR(shore::distance_m(0, 0, 0, 1), 111195.08, 0.01);
    EXPECT_NEAR(shore::distance_m(0, 179.9, 0, -179.9), 22239.02, 0.01);   // across the date line
    EXPECT_NEAR(shore::distance_m(90, 0, -90, 0), 20015114.44, 0.01);      // pole to pole
    EXPECT_EQ(shore::distance_m(kLat, kLon, kLat, kLon), 0.0);
}

TEST(ShoreMonitor, AlarmsAndBatteryAreToldOnTheirEdgesOnly) {
    Watch w;
    Fields f;
    f.in2 = true;
    w.mon.handle(report(kT0, f), kWall);
    EXPECT_EQ(w.told(), (Told{"new_station", "alarm_raised:input2"}));
    w.mon.handle(report(kT0 + 180, f), kWall);
    EXPECT_EQ(w.told(), Told{});

    f.in2 = false;
    f.low = true;
    f.battery_v = 11.75;
    w.mon.handle(report(kT0 + 360, f), kWall);
    EXPECT_EQ(w.told(), (Told{"alarm_raised:low_battery", "alarm_cleared:input2", "battery_low"}));
    // Back above the limit but within its margin: still low.
    f.battery_v = 11.9;
    w.mon.handle(report(kT0 + 540, f), kWall);
    EXPECT_EQ(w.told(), Told{});
    f.battery_v = 12.0;
    f.low = false;
    w.mon.handle(report(kT0 + 720, f), kWall);
    EXPECT_EQ(w.told(), (Told{"alarm_cleared:low_battery", "battery_ok"}));

    // What an event carries.
    f.gps = true;
    w.mon.handle(report(kT0 + 900, f), kWall);
    ASSERT_EQ(w.events.size(), 1u);
    EXPECT_EQ(w.events[0].dump(),
              R"({"time":"2026-12-08T14:00:00Z","event":"alarm_raised","mmsi":992241234,"name":null,"alarm":"gps"})");
    w.told();
    const shore::Station& s = w.station();
    EXPECT_EQ(s.reports, 6);
    EXPECT_DOUBLE_EQ(*s.battery_v, 12.0);
    EXPECT_DOUBLE_EQ(*s.panel_a, 0.5);
    EXPECT_DOUBLE_EQ(*s.charge_ah, 3.0);
    EXPECT_EQ(w.store.count("events"), 8);
    EXPECT_EQ(w.store.count("reports"), 6);
}

TEST(ShoreMonitor, OffPositionFromTheChartedPositionWithHysteresis) {
    Watch w;
    Fields f;
    // A report before any Message 21: nothing to measure against yet.
    w.mon.handle(report(kT0, f), kWall);
    EXPECT_FALSE(w.station().distance);
    w.mon.handle(aton(kT0 + 10), kWall);
    EXPECT_EQ(w.station().name, "ZELMORA NORTE");
    EXPECT_NEAR(*w.station().distance, 0.0, 0.1);   // the report's ten-thousandths of a minute
    w.told();

    const double m_per_deg = 111195.08;
    f.lat = kLat + 120 / m_per_deg;
    w.mon.handle(report(kT0 + 180, f), kWall);
    ASSERT_EQ(w.told(), Told{"off_position"});
    f.lat = kLat + 95 / m_per_deg;   // inside the limit, not within 90 % of it
    w.mon.handle(report(kT0 + 360, f), kWall);
    EXPECT_EQ(w.told(), Told{});
    EXPECT_NEAR(*w.station().distance, 95, 0.2);
    // No fix: no distance, and the state stands.
    f.lat = f.lon = std::nullopt;
    w.mon.handle(report(kT0 + 540, f), kWall);
    EXPECT_EQ(w.told(), Told{});
    EXPECT_FALSE(w.station().distance);
    EXPECT_TRUE(w.station().off_position);
    f.lat = kLat + 50 / m_per_deg;
    f.lon = kLon;
    w.mon.handle(report(kT0 + 720, f), kWall);
    EXPECT_EQ(w.told(), Told{"on_position"});
    // The chart moving is enough.
    w.mon.handle(aton(kT0 + 730, kLat - 0.002, kLon), kWall);
    EXPECT_EQ(w.told(), Told{"off_position"});
}

TEST(ShoreMonitor, OverdueOnTheFeedsClockAfterTwoAndAHalfIntervals) {
    Watch w;
    Fields f;
    // Every 180 s, one report missed (a 360 s gap): the interval stays 180.
    for (std::int64_t t : {0, 180, 540, 720}) w.mon.handle(report(kT0 + t, f), kWall);
    EXPECT_EQ(*w.station().interval_s(), 180.0);
    w.told();
    // Message 21 moves the clock; the wall clock (far later) does not, as
    // the feed carries its own times.
    w.mon.tick(kT0 + 100000);
    w.mon.handle(aton(kT0 + 720 + 450), kT0 + 100000);
    EXPECT_EQ(w.told(), Told{});
    w.mon.handle(aton(kT0 + 720 + 451), kWall);
    ASSERT_EQ(w.told(), Told{"overdue"});
    w.mon.handle(aton(kT0 + 720 + 900), kWall);
    EXPECT_EQ(w.told(), Told{});   // told once
    w.mon.handle(report(kT0 + 720 + 1080, f), kWall);
    ASSERT_EQ(w.events.size(), 1u);
    EXPECT_EQ(w.events[0]["event"], "heard_again");
    EXPECT_EQ(w.events[0]["silent_s"], 1080);
    w.told();
    EXPECT_EQ(*w.station().interval_s(), 180.0);

    // A second copy of one transmission (another receiver) is no report.
    w.mon.handle(report(kT0 + 720 + 1081, f), kWall);
    EXPECT_EQ(w.station().reports, 5);
    EXPECT_EQ(w.store.count("reports"), 5);
}

TEST(ShoreMonitor, UntaggedFeedsRunOnTheWallClockEvenWhenSilent) {
    Watch w(":memory:", live());
    Fields f;
    w.mon.handle(report(std::nullopt, f), 1000);
    w.mon.handle(report(std::nullopt, f), 1060);
    w.mon.tick(1210);
    EXPECT_EQ(w.told(), Told{"new_station"});
    w.mon.tick(1211);
    EXPECT_EQ(w.told(), Told{"overdue"});
    // A live feed's tag far from the wall clock is no time: the wall clock
    // stands, and the bad time is told once.
    w.mon.handle(report(500, f, kMmsi + 1), 5000);
    w.mon.handle(report(560, f, kMmsi + 1), 5000);
    EXPECT_EQ(*w.mon.now(), 5000);
    EXPECT_EQ(w.told(), (Told{"bad_time", "new_station"}));
}

TEST(ShoreStore, StateEventsAndReportsOutliveTheProgram) {
    const fs::path dir = fs::temp_directory_path() / ("zelmora-shore-test-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string db = (dir / "shore.db").string();
    Fields f;
    f.in1 = true;
    f.battery_v = 11.5;
    {
        Watch w(db);
        w.mon.handle(aton(kT0), kWall);
        for (std::int64_t t : {0, 180, 360}) w.mon.handle(report(kT0 + t, f), kWall);
        EXPECT_EQ(w.told(), (Told{"new_station", "alarm_raised:input1", "battery_low"}));
    }
    {
        // Taken up again: the same report raises nothing, and a silence
        // spanning the restart is still measured against the learned interval.
        Watch w(db);
        const shore::Station& s = w.station();
        EXPECT_EQ(s.name, "ZELMORA NORTE");
        EXPECT_TRUE(s.battery_low);
        EXPECT_EQ(*s.interval_s(), 180.0);
        w.mon.handle(report(kT0 + 540, f), kWall);
        EXPECT_EQ(w.told(), Told{});
        w.mon.handle(aton(kT0 + 1000), kWall);
        EXPECT_EQ(w.told(), Told{"overdue"});

        const auto h = w.store.history(kMmsi, kT0 + 180);
        EXPECT_EQ(h["time"], (nlohmann::json{kT0 + 180, kT0 + 360, kT0 + 540}));
        EXPECT_EQ(h["battery_v"][0], 11.5);
        const auto ev = w.store.events(kMmsi, 2);
        ASSERT_EQ(ev.size(), 2u);
        EXPECT_EQ(ev[0]["event"], "overdue");   // newest first
        EXPECT_EQ(ev[1]["event"], "battery_low");
        EXPECT_EQ(w.store.events(kMmsi + 1, 10).size(), 0u);
    }

    // What is not ours is refused with the file named.
    const std::string junk = (dir / "junk.db").string();
    std::ofstream(junk) << "not a database, but long enough to be taken for one by its size alone......";
    try {
        shore::Store s(junk);
        ADD_FAILURE() << "opened " << junk;
    } catch (const shore::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find(junk), std::string::npos) << e.what();
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(raw);
    try {
        shore::Store s(db);
        ADD_FAILURE() << "opened a later schema";
    } catch (const shore::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("schema 99 is newer"), std::string::npos) << e.what();
    }
    fs::remove_all(dir);
}
