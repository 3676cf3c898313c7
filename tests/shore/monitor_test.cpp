// The station monitor's judgement, fed decoded messages directly: alarm
// edges, the battery and position limits with their hysteresis, reports
// falling overdue on the feed's clock, and what the database keeps across runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sqlite3.h>
#include <unistd.h>

#include "shore/monitor.h"
#include "shore/store.h"

namespace ais = zelmora::ais;
namespace shore = zelmora::shore;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kMmsi = 992241234;
constexpr std::int64_t kT0 = 1796737500;   // 2026-12-08T13:45:00Z
constexpr double kLat = 43.37894, kLon = -8.39285;

struct Fields {
    double battery_v = 12.6, panel_a = 0.5, charge_ah = 3.0;
    std::optional<double> lat = kLat, lon = kLon;
    bool low = false, gps = false, in1 = false, in2 = false, in3 = false;
};

// The report's binary data (DAC on), written field by field from the
// decoder's own table, so that the test follows its keys.
ais::Message report(std::optional<std::int64_t> t, const Fields& f, std::uint32_t mmsi = kMmsi) {
    std::vector<int> bits(ais::kReportBits, 0);
    const auto put = [&](const char* key, std::int64_t raw) {
        for (const auto& fd : ais::report_fields())
            if (std::string(fd.key) == key)
                for (unsigned i = 0; i < fd.width; ++i) bits[fd.first + i] = (raw >> (fd.width - 1 - i)) & 1;
    };
    put("battery_v", std::llround(f.battery_v * 20));
    put("panel_a", std::llround(f.panel_a * 20));
    put("charge_ah", std::llround(f.charge_ah * 20));
    put("alarm_low_battery", f.low);
    put("alarm_gps", f.gps);
    put("alarm_input1", f.in1);
    put("alarm_input2", f.in2);
    put("alarm_input3", f.in3);
    put("lat_deg", f.lat ? std::llround(*f.lat * 600000) : 91 * 600000);
    put("lon_deg", f.lon ? std::llround(*f.lon * 600000) : 181 * 600000);
    std::string chars;
    for (std::size_t i = 0; i < bits.size(); i += 6) {
        int v = 0;
        for (std::size_t k = i; k < i + 6; ++k) v = v * 2 + (k < bits.size() ? bits[k] : 0);
        chars += static_cast<char>(v < 40 ? v + 48 : v + 56);
    }
    ais::Bits b;
    b.append_armoured(chars);
    ais::Message m;
    m.type = 6;
    m.mmsi = mmsi;
    m.received = t;
    m.report = ais::decode_report(b, 0);
    return m;
}

ais::Message aton(std::optional<std::int64_t> t, double lat = kLat, double lon = kLon) {
    ais::Message m;
    m.type = 21;
    m.mmsi = kMmsi;
    m.received = t;
    m.aton = ais::AtonPosition{};
    m.aton->name = "ZELMORA NORTE";
    m.aton->lat = lat;
    m.aton->lon = lon;
    return m;
}

struct Watch {
    explicit Watch(const std::string& db = ":memory:")
        : store(db), mon(store, shore::Limits{}, [this](const auto& e) { events.push_back(e); }) {}
    // The events told since the last call, as "event[:alarm]".
    std::vector<std::string> told() {
        std::vector<std::string> out;
        for (const auto& e : events)
            out.push_back(e["event"].get<std::string>() + (e.contains("alarm") ? ":" + e["alarm"].get<std::string>() : ""));
        events.clear();
        return out;
    }
    const shore::Station& station() const { return mon.stations().at(kMmsi); }

    shore::Store store;
    std::vector<nlohmann::ordered_json> events;
    shore::Monitor mon;
};

using Told = std::vector<std::string>;

}  // namespace

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
    w.mon.handle(report(kT0, f), 0);
    EXPECT_EQ(w.told(), (Told{"new_station", "alarm_raised:input2"}));
    w.mon.handle(report(kT0 + 180, f), 0);
    EXPECT_EQ(w.told(), Told{});

    f.in2 = false;
    f.low = true;
    f.battery_v = 11.75;
    w.mon.handle(report(kT0 + 360, f), 0);
    EXPECT_EQ(w.told(), (Told{"alarm_raised:low_battery", "alarm_cleared:input2", "battery_low"}));
    // Back above the limit but within its margin: still low.
    f.battery_v = 11.9;
    w.mon.handle(report(kT0 + 540, f), 0);
    EXPECT_EQ(w.told(), Told{});
    f.battery_v = 12.0;
    f.low = false;
    w.mon.handle(report(kT0 + 720, f), 0);
    EXPECT_EQ(w.told(), (Told{"alarm_cleared:low_battery", "battery_ok"}));

    // What an event carries.
    f.gps = true;
    w.mon.handle(report(kT0 + 900, f), 0);
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
    w.mon.handle(report(kT0, f), 0);
    EXPECT_FALSE(w.station().distance);
    w.mon.handle(aton(kT0 + 10), 0);
    EXPECT_EQ(w.station().name, "ZELMORA NORTE");
    EXPECT_NEAR(*w.station().distance, 0.0, 0.1);   // the report's ten-thousandths of a minute
    w.told();

    const double m_per_deg = 111195.08;
    f.lat = kLat + 120 / m_per_deg;
    w.mon.handle(report(kT0 + 180, f), 0);
    ASSERT_EQ(w.told(), Told{"off_position"});
    f.lat = kLat + 95 / m_per_deg;   // inside the limit, not within 90 % of it
    w.mon.handle(report(kT0 + 360, f), 0);
    EXPECT_EQ(w.told(), Told{});
    EXPECT_NEAR(*w.station().distance, 95, 0.2);
    // No fix: no distance, and the state stands.
    f.lat = f.lon = std::nullopt;
    w.mon.handle(report(kT0 + 540, f), 0);
    EXPECT_EQ(w.told(), Told{});
    EXPECT_FALSE(w.station().distance);
    EXPECT_TRUE(w.station().off_position);
    f.lat = kLat + 50 / m_per_deg;
    f.lon = kLon;
    w.mon.handle(report(kT0 + 720, f), 0);
    EXPECT_EQ(w.told(), Told{"on_position"});
    // The chart moving is enough.
    w.mon.handle(aton(kT0 + 730, kLat - 0.002, kLon), 0);
    EXPECT_EQ(w.told(), Told{"off_position"});
}

TEST(ShoreMonitor, OverdueOnTheFeedsClockAfterTwoAndAHalfIntervals) {
    Watch w;
    Fields f;
    // Every 180 s, one report missed (a 360 s gap): the interval stays 180.
    for (std::int64_t t : {0, 180, 540, 720}) w.mon.handle(report(kT0 + t, f), 0);
    EXPECT_EQ(*w.station().interval_s(), 180.0);
    w.told();
    // Message 21 moves the clock; the wall clock (far later) does not, as
    // the feed carries its own times.
    w.mon.tick(kT0 + 100000);
    w.mon.handle(aton(kT0 + 720 + 450), kT0 + 100000);
    EXPECT_EQ(w.told(), Told{});
    w.mon.handle(aton(kT0 + 720 + 451), 0);
    ASSERT_EQ(w.told(), Told{"overdue"});
    w.mon.handle(aton(kT0 + 720 + 900), 0);
    EXPECT_EQ(w.told(), Told{});   // told once
    w.mon.handle(report(kT0 + 720 + 1080, f), 0);
    ASSERT_EQ(w.events.size(), 1u);
    EXPECT_EQ(w.events[0]["event"], "heard_again");
    EXPECT_EQ(w.events[0]["silent_s"], 1080);
    w.told();
    EXPECT_EQ(*w.station().interval_s(), 180.0);

    // A second copy of one transmission (another receiver) is no report.
    w.mon.handle(report(kT0 + 720 + 1081, f), 0);
    EXPECT_EQ(w.station().reports, 5);
    EXPECT_EQ(w.store.count("reports"), 5);
}

TEST(ShoreMonitor, UntaggedFeedsRunOnTheWallClockEvenWhenSilent) {
    Watch w;
    Fields f;
    w.mon.handle(report(std::nullopt, f), 1000);
    w.mon.handle(report(std::nullopt, f), 1060);
    w.mon.tick(1210);
    EXPECT_EQ(w.told(), Told{"new_station"});
    w.mon.tick(1211);
    EXPECT_EQ(w.told(), Told{"overdue"});
    // A tagged feed's earlier clock takes over without a false alarm.
    w.mon.handle(report(500, f, kMmsi + 1), 5000);
    w.mon.handle(report(560, f, kMmsi + 1), 5000);
    EXPECT_EQ(*w.mon.now(), 560);
    EXPECT_EQ(w.told(), Told{"new_station"});
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
        w.mon.handle(aton(kT0), 0);
        for (std::int64_t t : {0, 180, 360}) w.mon.handle(report(kT0 + t, f), 0);
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
        w.mon.handle(report(kT0 + 540, f), 0);
        EXPECT_EQ(w.told(), Told{});
        w.mon.handle(aton(kT0 + 1000), 0);
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
