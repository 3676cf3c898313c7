// The GPS receiver on the virtual board, driven straight from the test
// through the unit's side of the wiring: power on pin 35, Serial1 at 9600.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "Arduino.h"
#include "board.h"

namespace {

using zplat::kMs;
using zplat::kSec;
using zsim::Scenario;
using zsim::vtime;
using Kinds = std::vector<std::string>;

Scenario world(const std::string& toml) { return Scenario::from_text(toml, "t.toml"); }

// "$" + body + its checksum, as the receiver sends it (without CR LF).
std::string nmea(const std::string& body) {
    unsigned sum = 0;
    for (const char c : body) sum ^= static_cast<unsigned char>(c);
    char hex[4];
    std::snprintf(hex, sizeof(hex), "*%02X", sum);
    return "$" + body + hex;
}

bool checksum_ok(const std::string& s) {
    const size_t star = s.rfind('*');
    return !s.empty() && s[0] == '$' && star != std::string::npos && nmea(s.substr(1, star - 1)) == s;
}

const char* const kConfigure = "$PMTK314,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0,1,0,0,0,0*35";
const Kinds kConfigured = {"GGA", "VTG", "ZDA"};
const Kinds kDefault = {"GGA", "GSA", "RMC", "VTG", "GLL", "ZDA"};

// The unit's side: the receiver powered, its port open and read as a busy
// unit reads it. Lines are kept by the second in which their end arrived.
struct Rig {
    zsim::Board b;
    std::string raw, cur;
    std::map<long, std::vector<std::string>> by_second;

    explicit Rig(const Scenario& sc = Scenario::builtin()) : b(sc) {
        pinMode(35, OUTPUT);
        Serial1.begin(9600);
        power(true);
    }
    static void power(bool on) { digitalWrite(35, on ? HIGH : LOW); }
    static void send(const std::string& s) {
        for (const char c : s + "\r\n") Serial1.write(static_cast<uint8_t>(c));
    }
    // Runs until virtual time t; the lines completed meanwhile.
    std::vector<std::string> to(vtime t) {
        std::vector<std::string> lines;
        while (b.now() < t) {
            b.advance(std::min<vtime>(5 * kMs, t - b.now()));
            while (Serial1.available() > 0) {
                const char c = static_cast<char>(Serial1.read());
                raw.push_back(c);
                if (c != '\n') {
                    cur.push_back(c);
                    continue;
                }
                if (!cur.empty() && cur.back() == '\r') cur.pop_back();
                lines.push_back(cur);
                by_second[static_cast<long>(b.now() / kSec)].push_back(cur);
                cur.clear();
            }
        }
        return lines;
    }
    // The sentence kinds ("GGA", "TK0" for $PMTK0..) that arrived in second s.
    Kinds kinds(long s) {
        Kinds k;
        for (const std::string& l : by_second[s]) k.push_back(l.size() >= 6 ? l.substr(3, 3) : l);
        return k;
    }
    std::string sentence(long s, const char* kind) {
        for (const std::string& l : by_second[s]) {
            if (l.size() >= 6 && l.compare(3, 3, kind) == 0) return l;
        }
        return "";
    }
};

}  // namespace

TEST(GpsModel, BootsThenSendsTheDefaultBurstEverySecondWithTheWorldsTime) {
    Rig r;
    EXPECT_TRUE(r.to(zsim::Gps::kBootTime - kMs).empty());   // booting: silent
    r.to(11 * kSec);
    EXPECT_EQ(r.by_second[0], (Kinds{"$PMTK011,MTKGPS*08", "$PMTK010,001*2E"}));
    for (long s = 1; s <= 10; ++s) {
        Kinds expect = kDefault;
        if (s % 5 == 1) expect.insert(expect.begin() + 2, 3, "GSV");   // 12 satellites in view, every fifth fix
        EXPECT_EQ(r.kinds(s), expect) << "second " << s;
        for (const std::string& l : r.by_second[s]) EXPECT_TRUE(checksum_ok(l)) << l;
        char t[32];
        std::snprintf(t, sizeof(t), "GPZDA,1345%02ld.000,08,12,2026,,", s);   // the world starts at 13:45:00
        EXPECT_EQ(r.sentence(s, "ZDA"), nmea(t));
    }
    // 43.37894 N, 8.39285 W with six decimals of a minute.
    EXPECT_EQ(r.sentence(1, "GGA"), nmea("GPGGA,134501.000,4322.736400,N,00823.571000,W,1,09,0.90,8.6,M,52.9,M,,"));
    EXPECT_EQ(r.sentence(1, "VTG"), nmea("GPVTG,0.00,T,,M,0.10,N,0.19,K,A"));
    EXPECT_EQ(r.sentence(1, "RMC"), nmea("GPRMC,134501.000,A,4322.736400,N,00823.571000,W,0.10,0.00,081226,,,A"));
}

TEST(GpsModel, CommandsSelectTheOutputAndAreAcknowledgedAfterTheBurst) {
    Rig r;
    r.to(1100 * kMs);   // the first burst is on its way
    Rig::send(kConfigure);
    r.to(3 * kSec);
    EXPECT_EQ(r.by_second[1].back(), "$PMTK001,314,3*36");   // behind the whole burst: one line
    EXPECT_EQ(r.kinds(2), kConfigured);
    Rig::send("$PMTK313,1*2E");
    EXPECT_EQ(r.to(4300 * kMs).front(), "$PMTK001,313,3*31");

    // Ignored: a wrong, missing or short checksum, the right bytes at the wrong speed.
    for (const char* bad : {"$PMTK314,-1*05", "$PMTK314,-1", "$PMTK314,-1*0"}) Rig::send(bad);
    Serial1.flush();
    Serial1.begin(38400);
    Rig::send("$PMTK314,-1*04");
    Serial1.flush();
    Serial1.begin(9600);
    r.to(7 * kSec);
    EXPECT_EQ(r.kinds(5), kConfigured);
    EXPECT_EQ(r.kinds(6), kConfigured);

    // Unsupported, malformed (too few fields) and restoring commands.
    for (const std::string& c : {nmea("PMTK220,1000"), nmea("PMTK314,1,1,1"), std::string("$PMTK314,-1*04")}) {
        Rig::send(c);
    }
    r.to(8500 * kMs);
    const Kinds acks = {nmea("PMTK001,220,1"), nmea("PMTK001,314,0"), "$PMTK001,314,3*36"};
    ASSERT_GE(r.by_second[7].size(), 3u);
    EXPECT_EQ(Kinds(r.by_second[7].begin(), r.by_second[7].begin() + 3), acks);
    EXPECT_EQ(r.kinds(7).size(), 3 + kDefault.size());   // the burst that follows: default again

    // Rates count fixes since boot: GGA every second fix, GST every fix.
    Rig::send(nmea("PMTK314,0,0,0,2,0,0,0,1,0,0,0,0,0,0,0,0,0,0,0"));
    r.to(11500 * kMs);
    EXPECT_EQ(r.kinds(9), (Kinds{"GGA", "GST"}));   // fix 8
    EXPECT_EQ(r.kinds(10), (Kinds{"GST"}));
}

TEST(GpsModel, OutagesSendEmptyFieldsButKeepTheTime) {
    Rig r(world("[gps]\nfix_quality = 2\nsatellites = 4\n[[gps_outage]]\nat = 3\nms = 3000\n"
                "[[gps_outage]]\nat = 9\nminutes = 0.05\n"));
    r.to(13 * kSec);
    EXPECT_EQ(r.sentence(2, "GGA"),
              nmea("GPGGA,134502.000,4322.736400,N,00823.571000,W,2,04,0.90,8.6,M,52.9,M,0000,0000"));
    EXPECT_EQ(r.sentence(2, "VTG"), nmea("GPVTG,0.00,T,,M,0.10,N,0.19,K,D"));
    const Kinds outage = {nmea("GPGGA,134511.000,,,,,0,00,,,M,,M,,"), nmea("GPGSA,A,1,,,,,,,,,,,,,,,"),
                          nmea("GPGSV,1,1,00"), nmea("GPRMC,134511.000,V,,,,,,,081226,,,N"),
                          nmea("GPVTG,,T,,M,,N,,K,N"), nmea("GPGLL,,,,,134511.000,V,N"),
                          nmea("GPZDA,134511.000,08,12,2026,,")};
    EXPECT_EQ(r.by_second[11], outage);
    for (long s : {3L, 5L, 9L}) EXPECT_EQ(r.sentence(s, "VTG"), nmea("GPVTG,,T,,M,,N,,K,N")) << s;
    for (long s : {6L, 12L}) EXPECT_EQ(r.sentence(s, "VTG"), nmea("GPVTG,0.00,T,,M,0.10,N,0.19,K,D")) << s;
}

TEST(GpsModel, PowerOffAndRestartsBringBackTheDefaultOutput) {
    {
        Rig r(world("[[fault]]\nkind = \"gps_restart\"\nat = \"00:04.8\"\n"));
        r.to(1200 * kMs);
        Rig::send(kConfigure);
        r.to(8100 * kMs);
        EXPECT_EQ(r.kinds(4), kConfigured);
        EXPECT_EQ(r.kinds(5), (Kinds{"TK0", "TK0"}));   // restarted: silent, then the boot message
        EXPECT_EQ(r.kinds(6).size(), 9u);               // default output, from its first fix
        Rig::send(kConfigure);
        r.to(10100 * kMs);   // inside the burst of second 10
        EXPECT_EQ(r.kinds(9), kConfigured);

        Rig::power(false);
        r.to(11 * kSec);
        EXPECT_EQ(r.kinds(10), Kinds{"GGA"});   // only the sentence on the line finishes
        Rig::send(nmea("PMTK000"));   // deaf while off
        EXPECT_TRUE(r.to(14 * kSec).empty());
        Rig::power(true);
        r.to(16500 * kMs);
        EXPECT_EQ(r.kinds(14), (Kinds{"TK0", "TK0"}));
        EXPECT_EQ(r.kinds(16), kDefault);
    }
    // Nor does an absent receiver ever say anything.
    Rig none(world("[gps]\npresent = false\n"));
    Rig::send(nmea("PMTK000"));
    EXPECT_TRUE(none.to(3 * kSec).empty());
}

TEST(GpsModel, NoiseCorruptsBytesDeterministicallyWithinItsWindow) {
    auto capture = [](int seed) {
        Rig r(world("seed = " + std::to_string(seed) +
                    "\n[[fault]]\nkind = \"gps_noise\"\nat = 3\nms = 4000\nrate = 0.02\n"));
        r.to(9 * kSec);
        std::map<long, int> bad;
        for (const auto& [s, lines] : r.by_second) {
            for (const std::string& l : lines) bad[s] += checksum_ok(l) ? 0 : 1;
        }
        EXPECT_EQ(bad[1] + bad[2] + bad[7] + bad[8], 0);
        EXPECT_GE(bad[3] + bad[4] + bad[5] + bad[6], 4);   // ~1500 bytes at 2 %
        return r.raw;
    };
    const std::string a = capture(5);
    EXPECT_EQ(capture(5), a);
    EXPECT_NE(capture(6), a);
}

TEST(GpsModel, ScenarioEntries) {
    const Scenario sc = world("[[gps_outage]]\nat = \"01:00\"\nminutes = 181\n[[gps_outage]]\nat = 10\n");
    EXPECT_EQ(sc.gps.outages[0].duration, 181 * 60 * kSec);
    EXPECT_EQ(sc.gps.outages[1].duration, zplat::kNever);
    auto error_of = [](const std::string& text) {
        try {
            world(text);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error_of("[gps]\nsatellites = 9\naltitude = 3\n"), "t.toml:3: unknown key 'altitude'");
    EXPECT_EQ(error_of("[[gps_outage]]\nat = 5\nminutes = 2\nms = 4\n"), "t.toml:3: give 'minutes' or 'ms', not both");
    EXPECT_EQ(error_of("[[fault]]\nkind = \"gps_noise\"\nat = 5\nrate = 2\n"),
              "t.toml:4: 'rate' must be a number from 0 to 1");

    // A log named relative to the scenario is looked for beside it; a missing
    // one leaves no board behind.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "zelmora-gps-scenario";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "s.toml") << "[gps]\nreplay = \"logs/x.log\"\n";
    const Scenario beside = Scenario::from_file((dir / "s.toml").string());
    EXPECT_EQ(beside.gps.replay, (dir / "logs" / "x.log").string());
    std::filesystem::remove_all(dir);
    EXPECT_THROW(zsim::Board b(beside), std::runtime_error);
}

// ------------------------------------------------------------- replay ----

namespace {
std::string log_world(const std::string& path, const char* utc) {
    return std::string("[world]\nutc = \"") + utc + "\"\n[gps]\nreplay = \"" + path + "\"\n";
}
}  // namespace

TEST(GpsReplay, PlaysARecordedLogOneSecondPerBurstThenFallsSilent) {
    const std::string path = std::string(ZELMORA_TESTDATA_DIR) + "/nmea/mt3339.log";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not there";
    std::vector<std::string> logged;   // the log's sentences, comments left out
    std::ifstream in(path, std::ios::binary);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (!l.empty() && l[0] != '#') logged.push_back(l);
    }
    // The world starts a second before the log's first fix (its ZDA: 2015-04-13 20:26:40).
    const Scenario sc = world(log_world(path, "2015-04-13T20:26:39Z"));
    {
        Rig r(sc);
        std::vector<std::string> lines = r.to(31 * kSec);
        ASSERT_GE(lines.size(), 2u);
        lines.erase(lines.begin(), lines.begin() + 2);   // the boot message
        EXPECT_EQ(lines, logged);                        // byte for byte, in order
        EXPECT_EQ(r.by_second.size(), 31u);              // seconds 0..30
        EXPECT_EQ(r.kinds(1), (Kinds{"GGA", "GSA", "RMC", "ZDA"}));
        EXPECT_EQ(r.kinds(4).size(), 7u);   // and GSV every few seconds
        EXPECT_EQ(r.sentence(1, "ZDA"), "$GPZDA,202640.000,13,04,2015,,*54");
        EXPECT_EQ(r.sentence(30, "ZDA"), "$GPZDA,202709.000,13,04,2015,,*58");
        EXPECT_TRUE(r.to(36 * kSec).empty());   // the log has ended
    }
    Rig r(sc);
    r.to(1100 * kMs);
    Rig::send(kConfigure);
    r.to(6 * kSec);
    EXPECT_EQ(r.by_second[1].back(), "$PMTK001,314,3*36");
    for (long s : {2L, 3L, 4L, 5L}) EXPECT_EQ(r.kinds(s), (Kinds{"GGA", "ZDA"})) << s;   // no VTG in the log
}

TEST(GpsReplay, GroupsLinesByTheirTimeAndPassesEverythingElseAsItIs) {
    using namespace std::string_literals;
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "zelmora-gps-replay.log";
    const std::string gsv = nmea("GPGSV,3,3,09,13,11,018,20");   // a log starting mid-burst
    const std::string gga0 = nmea("GPGGA,120000.000,4322.7364,N,00823.5710,W,1,05,1.20,9.0,M,52.0,M,,");
    const std::string ack = nmea("PMTK001,604,1");
    const std::string junk = "\x01\x02junk\0\xff"s;
    const std::string rmc0 = nmea("GPRMC,120000.000,A,4322.7364,N,00823.5710,W,0.02,10.00,010520,,,A");
    const std::string gga1 = nmea("GPGGA,120001.000,4322.7364,N,00823.5710,W,1,05,1.20,9.0,M,52.0,M,,");
    const std::string prop = "$PXYZ,1,2";
    const std::string gll2 = nmea("GPGLL,,,,,120002.000,V,N");   // its time in field 5
    const std::string zda2 = nmea("GPZDA,120002.000,01,05,2020,,");
    std::ofstream(file, std::ios::binary) << "# a comment\r\n" << gsv << "\r\n" << gga0 << "\r\n" << ack << "\r\n\r\n"
                                          << junk << "\n" << rmc0 << "\n" << gga1 << "\n" << prop << "\n#\n"
                                          << gll2 << "\r\n" << zda2;   // no line end at all
    const Scenario sc = world(log_world(file.string(), "2020-05-01T11:59:59Z"));
    {
        Rig r(sc);
        r.to(5 * kSec);
        EXPECT_EQ(r.by_second[1], (Kinds{gsv, gga0, ack, junk, rmc0}));
        EXPECT_EQ(r.by_second[2], (Kinds{gga1, prop}));
        EXPECT_EQ(r.by_second[3], (Kinds{gll2, zda2}));
        EXPECT_TRUE(r.by_second[4].empty());
    }
    Rig r(sc);
    r.to(600 * kMs);   // booted, before the first burst
    Rig::send(kConfigure);
    EXPECT_EQ(r.to(5 * kSec), (Kinds{"$PMTK001,314,3*36", gga0, ack, junk, gga1, prop, zda2}));
    std::filesystem::remove(file);
}
