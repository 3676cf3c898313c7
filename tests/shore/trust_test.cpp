// What the monitor believes: times from the air only near the wall clock,
// the register over what a station says of itself, MMSIs that are not ours
// kept apart, silence found without traffic, and an alarm that met a full
// disk told once the disk has room.
#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

#include "messages.h"
#include "shore/api.h"

using namespace shore_test;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t k2286 = 9999999999;   // 2286-11-20T17:46:39Z
constexpr double kMetresPerDegree = 111195.08;

std::string temp_db(const char* name) {
    const fs::path dir = fs::temp_directory_path() / ("zelmora-trust-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path db = dir / name;
    fs::remove(db);
    fs::remove(db.string() + "-wal");
    fs::remove(db.string() + "-shm");
    return db.string();
}

// The events told since the last call, as "event[:input]".
Told feed_told(Watch& w) {
    Told out;
    for (const auto& e : w.events) {
        std::string s = e["event"].get<std::string>();
        if (e.contains("input")) s += ":" + (e["input"].is_null() ? std::string("all") : e["input"].get<std::string>());
        out.push_back(s);
    }
    w.events.clear();
    return out;
}

shore::Options registered(shore::Options o) {
    o.stations = shore::parse_register(R"(
[[station]]
mmsi = 992241234
name = "ZELMORA NORTE"
lat = 43.37894
lon = -8.39285
interval_s = 180
off_position_m = 50
low_battery_v = 12.0

[[station]]
mmsi = 992241235
name = "ZELMORA SUR"
lat = 43.2
lon = -8.5
interval_s = 600
)",
                                       "reg.toml");
    return o;
}

}  // namespace

TEST(ShoreTime, ALiveFeedBelievesTagTimesOnlyNearTheWallClockAndFindsSilenceOnItsTimer) {
    Watch w(":memory:", live());
    const int in = w.mon.add_input("udp://:5000", kWall);
    Fields f;
    w.mon.handle(report(kWall - 20, f), kWall, in);
    EXPECT_EQ(*w.station().last_report, kWall - 20);   // within the window: its own time
    EXPECT_EQ(w.told(), Told{"new_station"});

    // A tag block in 2286 is no time: the wall clock times the message, and
    // nothing is stamped in the future.
    f.battery_v = 12.5;
    w.mon.handle(report(k2286, f), kWall + 180, in);
    w.mon.handle(aton(k2286), kWall + 200, in);
    EXPECT_EQ(w.told(), Told{"bad_time"});   // once an hour per input
    EXPECT_EQ(*w.station().last_heard, kWall + 200);
    EXPECT_EQ(*w.station().last_report, kWall + 180);
    EXPECT_EQ(*w.mon.now(), kWall + 200);
    EXPECT_EQ(w.mon.inputs()[in].bad_times, 2);
    EXPECT_EQ(w.mon.bad_times(), 2);
    EXPECT_EQ(w.store.events(std::nullopt, 1)[0]["tag_time"], k2286);

    // The feed falls silent: the timer alone finds the report overdue, and
    // the input silent.
    w.mon.tick(kWall + 180 + 500);
    EXPECT_EQ(w.told(), Told{"feed_silent"});
    w.mon.tick(kWall + 180 + 501);
    EXPECT_EQ(w.told(), Told{"overdue"});
    EXPECT_TRUE(w.station().overdue);
}

TEST(ShoreTime, ARestartJudgesTheStoredStationsOnTheWallClock) {
    const std::string db = temp_db("restart.db");
    Fields f;
    {
        Watch w(db, live());
        w.mon.handle(report(std::nullopt, f), kWall);
        w.mon.handle(report(std::nullopt, f), kWall + 180);
    }
    // 737 intervals later, without a message: overdue at the first tick.
    Watch w(db, live());
    EXPECT_FALSE(w.mon.now());
    w.mon.tick(kWall + 180 + 737 * 180);
    ASSERT_EQ(w.told(), Told{"overdue"});
    EXPECT_EQ(w.store.events(kMmsi, 1)[0]["silent_s"], 737 * 180);
}

TEST(ShoreTime, AReplayRefusesTimesThatRunBackOrJumpAndToldItsGaps) {
    Watch w;   // a recording: its own times are the clock
    const int in = w.mon.add_input("night.log", kWall);
    Fields f;
    w.mon.handle(report(kT0, f), kWall, in);
    f.battery_v = 12.4;
    w.mon.handle(report(kT0 + 180, f), kWall, in);
    f.battery_v = 12.3;
    w.mon.handle(report(kT0 - 3600, f), kWall, in);        // an hour back
    f.battery_v = 12.2;
    w.mon.handle(report(kT0 + 3 * 86400, f), kWall, in);   // three days on
    f.battery_v = 12.1;
    w.mon.handle(report(kWall + 3600, f), kWall, in);      // after the wall clock
    EXPECT_EQ(w.told(), (Told{"new_station", "bad_time"}));
    EXPECT_EQ(w.mon.inputs()[in].bad_times, 3);
    EXPECT_EQ(*w.mon.now(), kT0 + 180);
    EXPECT_EQ(*w.station().last_report, kT0 + 180);

    // Twenty minutes without a line in the recording: silent from five
    // minutes after its last line, back with the next; the station overdue
    // meanwhile.
    w.mon.handle(report(kT0 + 180 + 1200, f), kWall, in);
    EXPECT_EQ(feed_told(w), (Told{"feed_silent:night.log", "feed_back:night.log", "overdue", "heard_again"}));
    const auto ev = w.store.events(std::nullopt, 4);
    EXPECT_EQ(ev[3]["time"], shore::iso_utc(kT0 + 180 + 300));
    EXPECT_EQ(ev[1]["time"], shore::iso_utc(kT0 + 180 + 451));   // when it fell due
}

TEST(ShoreFeed, InputsFallSilentAloneAndAllTogether) {
    shore::Options o = live();
    o.silent_after_s = 300;
    Watch w(":memory:", o);
    const int a = w.mon.add_input("tcp://rx1:2000", kWall), b = w.mon.add_input("tcp://rx2:2000", kWall);
    w.mon.line(a, kWall + 100);
    w.mon.tick(kWall + 300);
    EXPECT_EQ(feed_told(w), Told{});
    w.mon.tick(kWall + 301);
    EXPECT_EQ(feed_told(w), Told{"feed_silent:tcp://rx2:2000"});
    w.mon.tick(kWall + 401);
    EXPECT_EQ(feed_told(w), (Told{"feed_silent:tcp://rx1:2000", "feed_silent:all"}));
    EXPECT_TRUE(w.mon.feed_status()["silent"]);
    w.mon.line(b, kWall + 500);
    EXPECT_EQ(feed_told(w), (Told{"feed_back:tcp://rx2:2000", "feed_back:all"}));
    EXPECT_FALSE(w.mon.feed_status()["silent"]);
    EXPECT_TRUE(w.mon.feed_status()["inputs"][0]["silent"]);
}

TEST(ShoreRegister, TheRegisterIsTheChartAndTheAirIsNot) {
    Watch w(":memory:", registered(live()));
    // Listed from the start, never heard: overdue once its interval has run
    // out two and a half times since it was registered.
    ASSERT_EQ(w.mon.stations().size(), 2u);
    EXPECT_TRUE(w.station().registered);
    EXPECT_DOUBLE_EQ(*w.station().charted_lat, kLat);
    w.mon.tick(kWall);
    w.mon.tick(kWall + 451);
    EXPECT_EQ(w.told(), Told{"overdue"});

    // A spoofed Message 21 500 m north under another name: off position
    // from the register's chart, which stays; the name stays the register's.
    w.mon.handle(aton(kWall + 460, kLat + 500 / kMetresPerDegree, kLon), kWall + 460);
    EXPECT_EQ(w.told(), Told{"off_position"});
    EXPECT_DOUBLE_EQ(*w.station().charted_lat, kLat);
    EXPECT_EQ(w.station().name, "ZELMORA NORTE");
    EXPECT_NEAR(*w.station().distance, 500, 0.5);

    // Its own report, on station, a little low for its own limit (12.0 V):
    // back on position, heard again, battery low.
    Fields f;
    f.battery_v = 11.95;
    w.mon.handle(report(kWall + 470, f), kWall + 470);
    EXPECT_EQ(w.told(), (Told{"heard_again", "battery_low", "on_position"}));

    // Message 21's own off-position flag, with a time stamp that makes it
    // mean something, raises it on the charted spot; its clearing clears it.
    ais::Message m = aton(kWall + 480);
    m.aton->second = 10;
    m.aton->off_position = true;
    w.mon.handle(m, kWall + 480);
    EXPECT_EQ(w.told(), Told{"off_position"});
    EXPECT_EQ(w.store.events(kMmsi, 1)[0]["by"], "flag");
    m.aton->off_position = false;
    m.received = kWall + 490;
    w.mon.handle(m, kWall + 490);
    EXPECT_EQ(w.told(), Told{"on_position"});
}

TEST(ShoreRegister, MmsisNotRegisteredAreUnknownStationsUnlessLearned) {
    Watch w(":memory:", registered(live()));
    w.mon.tick(kWall);
    const std::uint64_t rev = w.mon.rev();
    Fields f;
    w.mon.handle(report(kWall, f, 992249999), kWall);
    w.mon.handle(aton(kWall + 60, kLat, kLon, 992249999), kWall + 60);
    w.mon.handle(report(kWall + 120, f, 0), kWall + 120);   // MMSI 0 is nobody
    EXPECT_EQ(w.told(), Told{"unknown_station"});          // once a day
    EXPECT_EQ(w.mon.stations().count(992249999), 0u);
    EXPECT_EQ(w.mon.rev(), rev);                           // no registered station changed
    ASSERT_EQ(w.mon.unknown().size(), 1u);
    const auto& u = w.mon.unknown().at(992249999);
    EXPECT_EQ(u.messages, 2);
    EXPECT_EQ(u.claims, "DAC 1 FI 51, Message 21");
    EXPECT_EQ(u.name, "ZELMORA NORTE");
    EXPECT_EQ(w.store.count("unknown"), 1);
    w.mon.handle(report(kWall + 86400, f, 992249999), kWall + 86400);
    EXPECT_EQ(w.told(), (Told{"overdue", "overdue", "unknown_station"}));

    // Learning: listed, unregistered, charted from the air; the full 30 bits of MMSI.
    shore::Options o = registered(live());
    o.learn = true;
    Watch l(":memory:", o);
    l.mon.handle(aton(kWall, kLat, kLon, 1073741823), kWall);
    EXPECT_EQ(l.told(), Told{"new_station"});
    EXPECT_FALSE(l.station(1073741823).registered);
    EXPECT_DOUBLE_EQ(*l.station(1073741823).charted_lat, kLat);
    std::mutex mu;
    zelmora::shore::api::Sources src{&mu, &l.mon, &l.store, nullptr};
    EXPECT_EQ(zelmora::shore::api::station(src, 1073741823, 7).status, 200);
    EXPECT_EQ(zelmora::shore::api::station(src, 992249999, 7).status, 404);

    // A Message 21 at 110° N is no position, and charts nothing.
    zelmora::ais::Decoder dec;
    const auto out = dec.feed("!AIVDM,1,1,,A,E>jAVDb7S3@3V7Q2P0000000000@0000ON:@000003g000,4*1B", 1);
    ASSERT_EQ(out.messages.size(), 1u);
    ASSERT_TRUE(out.messages[0].aton);
    EXPECT_FALSE(out.messages[0].aton->lat);
    Watch plain(":memory:", live());
    plain.mon.handle(out.messages[0], kWall);
    EXPECT_EQ(plain.station().name, "OFF GLOBE");
    EXPECT_FALSE(plain.station().charted_lat);
}

TEST(ShoreRegister, ABadRegisterNamesItsFileLineAndKey) {
    const auto error = [](const std::string& text) {
        try {
            shore::parse_register(text, "reg.toml");
        } catch (const shore::RegisterError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    const std::string head = "[[station]]\nmmsi = 992241234\nname = \"A\"\n";
    EXPECT_EQ(error(head + "lat = 95\nlon = 0\ninterval_s = 180\n"),
              "reg.toml:4: station 992241234: lat: 95 is out of range (degrees north, -90 to 90)");
    EXPECT_EQ(error(head + "lat = 43\nlon = 0\n"), "reg.toml:1: station 992241234: interval_s: missing (seconds, 1 to 604800)");
    EXPECT_EQ(error(head + "lat = 43\nlon = 0\ninterval_s = 180\ncolour = \"red\"\n"),
              "reg.toml:7: station 992241234: unknown key \"colour\" (mmsi, name, lat, lon, interval_s, "
              "off_position_m, low_battery_v)");
    EXPECT_EQ(error(head + "lat = 43\nlon = 0\ninterval_s = 180\n" + head + "lat = 43\nlon = 0\ninterval_s = 180\n"),
              "reg.toml:8: station 992241234: registered twice (first at line 1)");
    EXPECT_EQ(error("[[station]]\nmmsi = 0\n"), "reg.toml:2: station 1: mmsi: 0 is out of range (1 to 1073741823)");
    EXPECT_EQ(error("[[station]]\nmmsi = 1\nname = \"A\n").rfind("reg.toml:3: ", 0), 0u);
    EXPECT_EQ(error(""), "reg.toml: no [[station]] in the register");
}

TEST(ShoreStore, AnAlarmThatMetAFullDiskIsToldOnceThereIsRoom) {
    const std::string db = temp_db("full.db");
    Watch w(db);
    Fields f;
    w.mon.handle(report(kT0, f), kWall);
    w.told();
    // The disk fills up: reports are refused until the database fails.
    w.store.limit_pages(1);
    std::int64_t t = kT0;
    for (int i = 0; i < 200 && w.events.empty(); ++i) {
        f.battery_v = 12.6 - 0.05 * (i % 10);
        w.mon.handle(report(t += 180, f), kWall);
    }
    ASSERT_EQ(w.told(), Told{"store_error"});
    // The alarm while it is full: not told, not kept, nothing half-changed.
    f.in1 = true;
    w.mon.handle(report(t += 180, f), kWall);
    EXPECT_EQ(w.told(), Told{});
    EXPECT_FALSE(w.station().alarms.at("input1"));
    std::mutex mu;
    zelmora::shore::api::Sources src{&mu, &w.mon, &w.store, nullptr};
    EXPECT_GE(zelmora::shore::api::status(src)["store"]["errors"], 2);
    // Room again: the alarm is raised by its next report (the reports the
    // disk refused are not there: the station was silent meanwhile), and
    // the failure is kept.
    w.store.limit_pages(1 << 20);
    w.mon.handle(report(t += 180, f), kWall);
    EXPECT_EQ(w.told(), (Told{"overdue", "heard_again", "alarm_raised:input1"}));
    const auto ev = w.store.events(std::nullopt, 4);
    EXPECT_EQ(ev[3]["event"], "store_error");
    EXPECT_EQ(ev[0]["event"], "alarm_raised");
}
