// The command cycle with the whole firmware running on its board and the
// transponder scripted on its line: start-up, identification, retries, the
// report load, PC-software mode, and a transponder that falls silent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ais_support.h"

using namespace aisfw;

namespace {

// A transponder that answers every query at once, correctly configured.
std::string answers(const std::string& l) {
    auto has = [&](const char* s) { return l.find(s) != std::string::npos; };
    if (has("UPANQ,AID")) return sentence("AIAID,992241234,1,224123456,0,C");
    if (has("UPANQ,ACE")) return sentence("ANACE,992241234,0,0,0,0,0,ZELMORA NORTE,0");
    if (has("UPANQ,MCR")) return sentence("ANMCR,992241234,SBS,0") + sentence("ANMCR,992241234,MSS,0");
    if (has("getatontype")) return sentence("PSMT,0,getatontype,7,1");
    if (has("UPANQ,AAR"))
        return sentence("ANAAR,992241234,6,0,0,0,100,2250,0,0,0,100,2250") +
               sentence("ANAAR,992241234,21,1,0,0,200,6750,0,0,0,200,6750");
    if (has("appver")) return sentence("PSMT,0,appver,1,2.4.1");
    if (has("getserno")) return sentence("PSMT,0,getserno,4,ZT0042");
    if (has("vswr")) return sentence("PSMT,0,vswr,5,12");
    if (has("vin")) return sentence("PSMT,0,vin,6,12600");
    if (has("gpsfilt")) return sentence("PSMT,0,gpsfilt 0,0");
    return "";
}

// Each line the unit sent, by what it asks for.
std::string kind(const std::string& l) {
    for (const char* k : {"AID", "ACE", "MCR", "AAR", "getatontype", "appver", "getserno", "vswr", "vin",
                          "gpsfilt 0,", "gpsfilt 9", "gpsfilt 49", "MEB", "UPAID", "UPMCR"})
        if (l.find(k) != std::string::npos) return k;
    return l;
}

struct Unit {
    zsim::Board b;
    Transponder t;
    explicit Unit(std::function<std::string(const std::string&)> reply = answers) : b(quiet()) {
        t.reply = std::move(reply);
        zplat::uart_by_index(2)->host_attach(&t);
    }
    ~Unit() { zplat::uart_by_index(2)->host_attach(nullptr); }
    std::vector<std::string> kinds(size_t from = 0) const {
        std::vector<std::string> v;
        for (size_t i = from; i < t.lines.size(); ++i) v.push_back(kind(t.lines[i].text));
        return v;
    }
    vtime at(const std::string& k, size_t nth = 0) const {
        for (const auto& l : t.lines)
            if (kind(l.text) == k && nth-- == 0) return l.at;
        return zplat::kNever;
    }
    // Something valid from the transponder, now.
    void hear(const std::string& s) { feed(s, b.now()); }
};

}  // namespace

// The first report waits for the first minute's measurement: loaded at once
// it would carry 0 A and 0 Ah.
TEST(Cycle, StartUpIdentifiesQueriesAndLoadsTheReport) {
    Unit u;
    u.b.run_for(15 * kSec);
    EXPECT_EQ(u.kinds(), (std::vector<std::string>{"AID", "ACE", "MCR", "getatontype", "AAR", "appver", "getserno",
                                                   "vswr", "vin"}));
    EXPECT_EQ(count(u.b.console(), "Msg 6 => no measurement yet, report postponed\r\n"), 1u);
    u.b.run_for(50 * kSec);
    const std::vector<std::string> expected = {"AID",  "ACE",      "MCR",  "getatontype", "AAR", "appver",
                                               "getserno", "vswr", "vin",  "MEB",  "MEB", "MEB", "vswr", "vin"};
    EXPECT_EQ(u.kinds(), expected);
    EXPECT_GT(u.at("MEB"), 60 * kSec);
    EXPECT_LT(u.at("MEB"), 61 * kSec);
    EXPECT_GE(u.at("ACE") - u.at("AID"), 1900 * kMs);   // the identification always waits its 2 s (100 ms steps)
    EXPECT_LT(u.at("MCR") - u.at("ACE"), 200 * kMs);   // the others go as soon as answered
    EXPECT_GE(u.at("vswr", 1) - u.at("MEB", 2), 1800 * kMs);   // 2 s from the load queued
    EXPECT_EQ(periferico1.ifrecuencia_msg6, 30);
    EXPECT_EQ(periferico1.ccomando, 0);
    EXPECT_STREQ(periferico1.cfirmware, "2.4.1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(periferico1.cnombre_ais), 15), "ZELMORA NORTE@@");
    const std::string& meb = u.t.lines[9].text;
    EXPECT_EQ(meb.substr(0, 45), "!AIMEB,3,1,0,0,992241234,6,0,0,224123456,0,C,");
    // Thirty seconds later the next report.
    u.b.run_for(32 * kSec);
    EXPECT_EQ(u.kinds(14), (std::vector<std::string>{"MEB", "MEB", "MEB", "vswr", "vin"}));
    EXPECT_NEAR(static_cast<double>(u.at("MEB", 3) - u.at("MEB", 0)), 30e9, 1.1e9);
}

TEST(Cycle, AnotherMmsiIsRewritten) {
    bool written = false;
    Unit u([&](const std::string& l) {
        if (l.find("UPAID,") != std::string::npos) written = true;
        if (l.find("UPANQ,AID") != std::string::npos && !written) return sentence("AIAID,992249999,1,224123456,0,C");
        return answers(l);
    });
    u.b.run_for(5 * kSec);
    ASSERT_GE(u.t.lines.size(), 7u);
    EXPECT_EQ(u.kinds()[0], "AID");
    EXPECT_EQ(u.t.lines[1].text, sentence("UPAID,992249999,1,992241234,R,C"));
    EXPECT_EQ(u.kinds()[2], "AID");
    EXPECT_GE(u.t.lines[2].at - u.t.lines[1].at, 900 * kMs);
    // A rewritten transponder is identified from the start: name, configuration, rates.
    const std::vector<std::string> k = u.kinds();
    EXPECT_EQ(std::vector<std::string>(k.begin() + 3, k.begin() + 7),
              (std::vector<std::string>{"ACE", "MCR", "getatontype", "AAR"}));
    EXPECT_NE(u.b.console().find("\r\n\tDetected another MMSI => Reconfiging"), std::string::npos);
    EXPECT_EQ(periferico1.lmmsi, kOwnMmsi);
}

TEST(Cycle, UnansweredCommands) {
    Bench t;
    t.identified();
    periferico1.ccomando = 13;   // a plain retry: five sendings a second apart, then idle
    t.run(7 * kSec);
    EXPECT_EQ(count(t.sent(), "vswr"), 5u);
    EXPECT_EQ(periferico1.ccomando, 0);
    EXPECT_EQ(periferico1.creintentos_comando, 0);
    ASSERT_EQ(t.t.lines.size(), 5u);
    EXPECT_NEAR(static_cast<double>(t.t.lines[4].at - t.t.lines[3].at), 1e9, 5e6);

    t.t.lines.clear();
    periferico1.ccomando = 1;    // GPS output off: once, idle after 3 s
    t.run(2900 * kMs);
    EXPECT_EQ(periferico1.ccomando, 1);
    t.run(2 * kSec);
    EXPECT_EQ(t.t.lines.size(), 1u);
    EXPECT_EQ(periferico1.ccomando, 0);
    EXPECT_NE(t.console().find("\r\n**********************************************\r\n\tDisable GPS AIS\r\n"
                               "**********************************************\r\n\r\n"),
              std::string::npos);
}

TEST(Cycle, ReportWaitsForBothMmsisAndTheFirstMeasurement) {
    Bench t;
    periferico1.ccomando = 0;
    periferico1.ifrecuencia_msg6 = 30;
    periferico1.itimeout_tx_msg6 = 0;
    t.run(3 * kSec);
    EXPECT_EQ(t.sent(), "");
    EXPECT_EQ(count(t.console(), "Msg 6 => MMSI unknown, report postponed\r\n"), 1u);
    t.identified();
    t.run(3 * kSec);
    EXPECT_EQ(t.sent(), "");
    EXPECT_EQ(count(t.console(), "Msg 6 => no measurement yet, report postponed\r\n"), 1u);
    balizaQ77.cprimera_medicion = 1;
    t.run(100 * kMs);
    EXPECT_EQ(count(t.sent(), "!AIMEB,3,"), 3u);
    EXPECT_EQ(periferico1.itimeout_tx_msg6, 30);
}

TEST(Cycle, PcSoftwareModeStopsTheCycleForTwoMinutes) {
    Unit u;
    u.b.run_for(12 * kSec);
    const size_t before = u.t.lines.size();
    u.hear(sentence("PSMT,0,status,9,1"));   // a query the unit never made
    u.b.run_for(100 * kSec);
    EXPECT_EQ(u.kinds(before), std::vector<std::string>{"gpsfilt 49"});
    EXPECT_EQ(periferico1.cconexion_software_pc, 2);
    u.b.run_for(40 * kSec);
    const vtime ack = u.at("gpsfilt 49") + 30 * kMs;
    const vtime off = u.at("gpsfilt 0,");
    ASSERT_NE(off, zplat::kNever);
    EXPECT_GE(off - ack, 120 * kSec);
    EXPECT_LT(off - ack, 126 * kSec);
    EXPECT_EQ(periferico1.cconexion_software_pc, 0);
}

TEST(Cycle, SilentTransponderRaisesItsAlarmOnTheThirdRestart) {
    Unit u([](const std::string&) { return std::string(); });
    u.b.run_for(32 * 60 * kSec);
    const std::string c = u.b.console();
    EXPECT_EQ(count(c, "AIS => NO RX FRAMES!!!! Enable alarm !!!!!\r\n"), 3u);
    const size_t p1 = c.find("\tAIS => Alarm possible: 1\r\n");
    const size_t p2 = c.find("\tAIS => Alarm possible: 2\r\n");
    const size_t p3 = c.find("\tAIS => Alarm!!!!\r\n");
    ASSERT_NE(p3, std::string::npos);
    EXPECT_LT(p1, p2);
    EXPECT_LT(p2, p3);
    EXPECT_EQ(count(c, "Incidencia:11\t"), 1u);
    EXPECT_EQ(periferico1.calarma, 1);

    // With the alarm on: no more restarts and no commands.
    const size_t sent = u.t.lines.size();
    u.b.run_for(15 * 60 * kSec);
    EXPECT_EQ(u.t.lines.size(), sent);
    EXPECT_EQ(count(u.b.console(), "AIS => NO RX FRAMES"), 3u);

    // The first valid sentence clears it.
    u.hear(sentence("ANTXT,01,01,07,Hello"));
    u.b.run_for(1 * kSec);
    EXPECT_EQ(periferico1.calarma, 0);
    EXPECT_EQ(count(u.b.console(), "AIS => RX FRAMES!!!! Disable alarm \r\n"), 1u);
    EXPECT_EQ(count(u.b.console(), "Incidencia:12\t"), 1u);
}

// Restarts count in a row: a transponder heard in between starts the count again.
TEST(Cycle, RestartsCountOnlyInARow) {
    Unit u([](const std::string&) { return std::string(); });
    u.b.run_for(12 * 60 * kSec);
    u.hear(sentence("ANTXT,01,01,07,Hello"));
    u.b.run_for(22 * 60 * kSec);
    const std::string c = u.b.console();
    EXPECT_EQ(count(c, "\tAIS => Alarm possible: 1\r\n"), 2u);
    EXPECT_EQ(count(c, "\tAIS => Alarm possible: 2\r\n"), 1u);
    EXPECT_EQ(periferico1.calarma, 0);
}

// A transponder with no Message 6 interval at all is asked again every
// three minutes, not flooded, and raises no alarm.
TEST(Cycle, NoReportingIntervalIsAskedAgainEveryFewMinutes) {
    Unit u([](const std::string& l) {
        if (l.find("UPANQ,AAR") != std::string::npos)
            return sentence("ANAAR,992241234,6,0,0,0,-1,0,0,0,0,-1,0") +
                   sentence("ANAAR,992241234,21,1,0,0,200,6750,0,0,0,200,6750");
        return answers(l);
    });
    u.b.run_for(11 * 60 * kSec);
    std::vector<vtime> aar;
    for (size_t i = 0; u.at("AAR", i) != zplat::kNever; ++i) aar.push_back(u.at("AAR", i));
    ASSERT_EQ(aar.size(), 4u);
    for (size_t i = 1; i < aar.size(); ++i) EXPECT_NEAR(static_cast<double>(aar[i] - aar[i - 1]), 180e9, 2e9);
    EXPECT_EQ(count(u.b.console(), "Incidencia:"), 0u);
    EXPECT_EQ(periferico1.calarma_informe, 0);
}

// The AtoN type unanswered five times left the identification unfinished
// and no report scheduled: a few minutes on it starts again from the MMSI.
TEST(Cycle, AnIdentificationOutOfRetriesStartsAgain) {
    int type_queries = 0;
    Unit u([&](const std::string& l) {
        if (l.find("getatontype") != std::string::npos && ++type_queries <= 5) return std::string();
        return answers(l);
    });
    u.b.run_for(4 * 60 * kSec);
    const std::vector<std::string> k = u.kinds();
    ASSERT_GE(k.size(), 16u);
    EXPECT_EQ(std::vector<std::string>(k.begin() + 3, k.begin() + 8), std::vector<std::string>(5, "getatontype"));
    EXPECT_EQ(std::vector<std::string>(k.begin() + 8, k.begin() + 13),
              (std::vector<std::string>{"AID", "ACE", "MCR", "getatontype", "AAR"}));
    EXPECT_NEAR(static_cast<double>(u.at("AID", 1) - u.at("getatontype", 4)), 180e9, 5e9);
    EXPECT_EQ(periferico1.ifrecuencia_msg6, 30);
    EXPECT_GE(count(u.t.all(), "!AIMEB,3,1,"), 1u);
}
