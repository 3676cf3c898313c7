// The shipped transponder scenarios on the whole board, as a user running
// them sees them: the console, the sentences on the transponder's line, the
// event log and the air.
#include <gtest/gtest.h>

#include "integration_support.h"

using namespace integ;

namespace {

// Event codes in the EEPROM's log (8-byte records from 256 on), in order of the ring.
std::vector<int> logged(zsim::Board& b) {
    const std::vector<uint8_t>& e = b.eeprom().contents();
    std::vector<int> codes;
    for (size_t a = 256; a + 8 <= e.size() && e[a] != 0xFF; a += 8) codes.push_back(e[a + 5]);
    return codes;
}

size_t msg6_on_air(const Unit& u, uint32_t mmsi) {
    size_t n = 0;
    for (const auto& m : decode(u.air)) n += m.type == 6 && m.mmsi == mmsi && m.report;
    return n;
}

constexpr size_t npos = std::string::npos;

// A sentence to the transponder by what it asks: "MEB", "AID", "vswr", "gpsfilt 0", ...
std::string kind(const std::string& s) {
    std::vector<std::string> f;
    for (size_t a = 0, e; a <= s.size(); a = e + 1) {
        e = std::min(s.find_first_of(",*", a), s.size());
        f.push_back(s.substr(a, e - a));
    }
    if (f[0] == "$PSMT" && f.size() > 5) return f[5];
    if (f[0] == "$UPANQ" && f.size() > 1) return f[1];
    return f[0].substr(3);
}

}  // namespace

// The report slots of default.toml fall at 30 s past the minute, every third
// minute of the UTC day: 13:45:30, 13:48:30, ... (power-on at 13:45:00). The
// first report waits for the first minute's measurement, so 13:45:30 goes
// empty and the first load waits in the transponder for 13:48:30.
TEST(Scenarios, DefaultIdentifiesTheTransponderThenLoadsEachReportBeforeItsSlot) {
    Unit u(shipped("default.toml"));
    u.b.run_for(7 * 60 * kSec);
    const std::string& c = u.console();
    const std::vector<size_t> at =
        in_order(c, {"\t\tOwn MMSI identified:992241234\r\n", "\tBit status => OK\r\n", "\tConfiguration GLA => OK\r\n",
                     "\tType aton:3\r\n", "Msg 6 => Frequency:180\tIndex:1\r\n", "\tFirmware:2.1.7\r\n",
                     "\tSN:AT240117\r\n", "\tROE level:01.2\r\n", "\tV ais:", "Msg 6 ORV", "\tMsg 6 AIS sended => !AIVDO,"});
    EXPECT_EQ(std::count(at.begin(), at.end(), npos), 0) << c.substr(0, 3000);

    // Load, echo, load, echo, ...: after the first, each load a few seconds before its slot.
    const std::vector<vtime> loads = u.times("!AIMEB,3,1,");
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_GT(loads[0], 60 * kSec);   // the first as soon as the minute's measurement is made
    EXPECT_LT(loads[0], 61 * kSec);
    for (size_t k = 1; k < loads.size(); ++k) {
        const vtime slot = (30 + 180 * (k + 1)) * kSec;
        EXPECT_GT(loads[k], slot - 5500 * kMs) << k;
        EXPECT_LT(loads[k], slot - 4500 * kMs) << k;
    }
    std::string order;
    for (size_t p = c.find("Msg 6 "); p != npos; p = c.find("Msg 6 ", p + 1)) {
        if (c.compare(p, 9, "Msg 6 ORV") == 0) order += 'L';
        if (c.compare(p, 20, "Msg 6 AIS sended => ") == 0) order += 'E';
    }
    EXPECT_EQ(order, "LELE");
    EXPECT_EQ(msg6_on_air(u, kOwnMmsi), 2u);
    EXPECT_EQ(u.b.transponder().counters().empty, 1u);
}

// The line dead from 2:00 to 37:00. The report due at 0:30 never goes out
// (its transmission's echo is lost), which raises the transponder alarm ten
// minutes on; the link restarts ten minutes after its last sentence and
// every ten minutes after; the third restart would raise the alarm, already
// up. The first sentence afterwards ends the silence, the first report sent
// clears the alarm: one event each.
TEST(Scenarios, SilentTransponderRaisesAndClearsItsAlarm) {
    Unit u(shipped("ais-silent.toml"));
    u.b.run_for(45 * 60 * kSec);
    const std::string& c = u.console();
    const std::vector<size_t> at = in_order(
        c, {"AIS => NO MSG 6 SENT!!!! Enable alarm\r\n", "Incidencia:11\t", "\tAIS => Alarm possible: 1\r\n",
            "\tAIS => Alarm possible: 2\r\n", "\tAIS => Alarm!!!!\r\n", "AIS => RX FRAMES!!!! Disable alarm \r\n",
            "Own MMSI identified:", "AIS => MSG 6 SENT!!!! Disable alarm\r\n", "Incidencia:12\t",
            "Msg 6 AIS sended => "});
    EXPECT_EQ(std::count(at.begin(), at.end(), npos), 0);
    EXPECT_EQ(count(c, "AIS => NO RX FRAMES!!!! Enable alarm !!!!!\r\n"), 3u);
    const std::vector<int> events = logged(u.b);
    EXPECT_EQ(std::count(events.begin(), events.end(), 11), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), 12), 1);
    EXPECT_LT(std::find(events.begin(), events.end(), 11), std::find(events.begin(), events.end(), 12));
    EXPECT_EQ(u.b.transponder().mmsi(), kOwnMmsi);
    // From the first restart on the MMSIs are unknown: no load until the line is back at 37:00.
    EXPECT_EQ(count(c, "Msg 6 => MMSI unknown, report postponed\r\n"), 1u);
    for (const vtime t : u.times("!AIMEB,3,1,")) EXPECT_TRUE(t < 12 * 60 * kSec || t > 37 * 60 * kSec) << t;
}

// A transponder carrying another MMSI from power-on is rewritten at the
// start-up identification, identified again, and reports under the
// configured MMSI.
TEST(Scenarios, ForeignMmsiIsRewrittenAndReportsGoOut) {
    Unit u(shipped("ais-foreign-mmsi.toml"));
    u.b.run_for(4 * 60 * kSec);
    const std::string& c = u.console();
    const std::vector<size_t> at =
        in_order(c, {"\tDetected another MMSI => Reconfiging", "Tx AIS (37) => $UPAID,992249999,1,992241234,R,C*41da",
                     "\t\tOwn MMSI identified:992241234\r\n", "Msg 6 => Frequency:180", "Msg 6 AIS sended => "});
    EXPECT_EQ(std::count(at.begin(), at.end(), npos), 0);
    const std::vector<vtime> write = u.times("$UPAID,992249999,1,992241234,R,C*41\r\n");
    EXPECT_EQ(write.size(), 1u);
    EXPECT_EQ(u.b.transponder().mmsi(), kOwnMmsi);
    EXPECT_EQ(u.b.transponder().counters().naks, 0u);
    EXPECT_EQ(msg6_on_air(u, kOwnMmsi), 1u);   // 13:48:30, after the first measurement
}

// A PC on the transponder's USB port from 4:00 to 8:00, its program asking
// every 4 s: the unit stands back, has the transponder's GPS output switched
// on once, and 120 s after the last of the PC's sentences resumes its cycle:
// the report that fell due meanwhile, the VSWR and supply readings, then
// the GPS output off.
TEST(Scenarios, PcOnTheTransponderPausesTheCycle) {
    const zsim::Scenario sc = shipped("ais-pc.toml");
    Unit u(sc);
    u.b.run_for(13 * 60 * kSec);
    EXPECT_EQ(count(u.console(), "\t\tSofware AIS connected\r\n"), 1u);
    const std::vector<vtime> on = u.times("gpsfilt 49,0*0C"), off = u.times("gpsfilt 0,0*31");
    ASSERT_EQ(on.size(), 1u);
    ASSERT_EQ(off.size(), 1u);
    const zsim::Window& w = sc.transponder.pc.at(0);
    const vtime last_poll = w.at + (w.duration - 1) / zsim::Transponder::kPcPoll * zsim::Transponder::kPcPoll;
    std::vector<std::string> after;   // what the unit sent after "gpsfilt 49": the command, or the formatter
    vtime resumed = zplat::kNever;
    for (const Unit::Line& l : u.sent) {
        if (l.at <= on[0] || after.size() == 6) continue;
        if (resumed == zplat::kNever) resumed = l.at;
        after.push_back(kind(l.text));
    }
    EXPECT_GE(resumed - last_poll, 120 * kSec);
    EXPECT_LT(resumed - last_poll, 121500 * kMs);
    EXPECT_EQ(after, (std::vector<std::string>{"MEB", "MEB", "MEB", "vswr", "vin", "gpsfilt 0"}));
    EXPECT_EQ(msg6_on_air(u, kOwnMmsi), 2u);   // 13:48:30 and, after the pause, 13:57:30
}

// No state in which the transponder answers and the unit never reports
// again. A garbled rates reply (its Message 6 line lost, its Message 21 line
// through) leaves no interval: the unit asks again a few minutes on.
TEST(Scenarios, AGarbledRatesReplyIsAskedAgain) {
    Unit u(default_with("[[fault]]\nkind = \"ais_noise\"\nat = 4.7\nms = 10\nrate = 1.0\n"));
    u.b.run_for(10 * 60 * kSec);
    const std::string& c = u.console();
    EXPECT_EQ(count(c, "Msg 6 => no interval, asking the transponder again\r\n"), 1u);
    EXPECT_GE(msg6_on_air(u, kOwnMmsi), 1u);
    EXPECT_EQ(count(c, "NO MSG 6 SENT"), 0u);
    const std::vector<int> events = logged(u.b);
    EXPECT_EQ(std::count(events.begin(), events.end(), 11), 0);
}

// A little byte noise during the identification, whatever it hits.
TEST(Scenarios, NoiseDuringTheIdentificationNeverStopsTheReports) {
    for (int seed = 1; seed <= 16; ++seed) {
        zsim::Scenario sc = default_with("[[fault]]\nkind = \"ais_noise\"\nat = 0\nms = 60000\nrate = 0.005\n");
        sc.seed = static_cast<uint64_t>(seed);
        Unit u(sc);
        u.b.run_for(10 * 60 * kSec);
        EXPECT_GE(msg6_on_air(u, kOwnMmsi), 1u) << "seed " << seed;
    }
}

// Loads refused from 2:00 to 17:00: each refusal is taken for a PC at work,
// three in a row for another transponder, identified afresh; ten minutes
// without a report raise the transponder alarm, the next report clears it.
TEST(Scenarios, RefusedLoadsRaiseTheAlarmUntilAReportGoesOut) {
    Unit u(default_with("[[fault]]\nkind = \"ais_nak\"\nat = \"00:02:00\"\nms = 900000\n"));
    u.b.run_for(30 * 60 * kSec);
    const std::string& c = u.console();
    EXPECT_GE(count(c, "Msg 6 => loads refused, identifying the transponder again\r\n"), 1u);
    const std::vector<size_t> at = in_order(c, {"AIS => NO MSG 6 SENT!!!! Enable alarm\r\n", "Incidencia:11\t",
                                                "AIS => MSG 6 SENT!!!! Disable alarm\r\n", "Incidencia:12\t"});
    EXPECT_EQ(std::count(at.begin(), at.end(), npos), 0);
    const std::vector<int> events = logged(u.b);
    EXPECT_EQ(std::count(events.begin(), events.end(), 11), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), 12), 1);
    // Nothing on the air between the last report before the window and the first after it.
    EXPECT_GE(msg6_on_air(u, kOwnMmsi), 4u);
}

// A transponder that sends with short gaps between its bytes (20 ms: 50
// bytes a second) must not hold the loop while the GPS's 512-byte ring at
// 9600 baud overflows, nor lose its own sentences to the cut.
TEST(Scenarios, ASlowTransponderNeitherStarvesTheGpsNorLosesSentences) {
    zsim::Scenario sc = shipped("default.toml");
    sc.transponder.byte_gap = 20 * kMs;
    Unit u(sc);
    u.b.run_for(8 * 60 * kSec);
    EXPECT_EQ(zplat::uart_by_index(zsim::wiring::kGpsPort)->host_rx_lost(), 0u);
    EXPECT_EQ(count(u.console(), "Checksum failed AIS"), 0u);
    EXPECT_GE(msg6_on_air(u, kOwnMmsi), 2u);
}

// A transponder swapped mid-run for one with another MMSI refuses the loads;
// refused again and again, the unit identifies it afresh, rewrites its MMSI
// and reports again.
TEST(Scenarios, ATransponderSwappedMidRunReportsAgain) {
    Unit u(shipped("ais-swap-mid-run.toml"));
    u.b.run_for(20 * 60 * kSec);
    const std::vector<size_t> at =
        in_order(u.console(), {"\t\tFrame NAK", "Msg 6 => loads refused, identifying the transponder again\r\n",
                               "\tDetected another MMSI => Reconfiging", "Msg 6 AIS sended => "});
    EXPECT_EQ(std::count(at.begin(), at.end(), npos), 0);
    EXPECT_EQ(u.b.transponder().mmsi(), kOwnMmsi);
    // The air log's second half is the run's second half: reports every 3 minutes there.
    size_t late = 0;
    for (const auto& m : decode(u.air))
        late += m.type == 6 && m.mmsi == kOwnMmsi && m.report && static_cast<size_t>(m.line) > u.air.size() / 2;
    EXPECT_GE(late, 2u);
}
