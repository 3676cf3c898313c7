// The unit with its GPS module: configuration of the receiver, the clock set
// from the GPS, the coverage alarm, and what waits for a valid date.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "board.h"
#include "globals.h"
#include "text_support.h"

using zplat::kMs;
using zplat::kSec;

namespace {
zsim::Scenario world(const std::string& extra) {
    return zsim::Scenario::from_text(
        "[world]\n"
        "utc = \"2026-12-08T13:45:00Z\"\n"
        "[rtc]\n"
        "time = \"2026-12-01T08:00:00Z\"\n"   // a week off: the GPS corrects it
        "[gps]\n"
        "latitude = 43.37894\n"
        "longitude = -8.39285\n"
        "satellites = 9\n"
        "hdop = 0.9\n"
        "speed_knots = 0.5\n"
        "course = 271.5\n"
        "fix_quality = 1\n" +
            extra,
        "test scenario");
}
}  // namespace

TEST(GpsUnit, ReceiverIsConfiguredAndTheClockIsSetFromItsDate) {
    zsim::Scenario sc = world("[dip]\nsw2 = true\n");
    zsim::Board b(sc);
    b.run_for(90 * kSec);
    const std::string& c = b.console();
    const size_t on = c.find("Arrancamos modulo GPS\r\n");
    const size_t cfg = c.find("Tx GPS => $PMTK314,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0,1,0,0,0,0*35\r\n");
    const size_t sbas = c.find("Tx GPS => $PMTK313,1*2E\r\n");
    const size_t set = c.find("Escrita nueva fecha\r\n");
    const size_t boot = c.find("\t\tIncidencia:15\tDato:0\r\n");
    ASSERT_NE(on, std::string::npos) << c;
    ASSERT_NE(cfg, std::string::npos);
    ASSERT_NE(sbas, std::string::npos);
    ASSERT_NE(set, std::string::npos);
    ASSERT_NE(boot, std::string::npos);
    EXPECT_LT(on, cfg);
    EXPECT_LT(cfg, sbas);
    EXPECT_LT(set, boot);
    EXPECT_EQ(l76lb.cconfigurado, 1);
    EXPECT_EQ(balizaQ77.csincronizada, 1);
    // The RTC now keeps the world's time.
    const zsim::Civil rtc = b.rtc().time();
    const zsim::Civil w = b.world_utc();
    EXPECT_EQ(rtc.day, w.day);
    EXPECT_EQ(rtc.hour, w.hour);
    EXPECT_LE(std::abs(rtc.minute * 60 + rtc.second - (w.minute * 60 + w.second)), 2);
    // The start-up event carries the GPS date: 8 December 2026.
    EXPECT_NE(c.find("Fecha:1226081"), std::string::npos);
    // Status reports show the fix.
    EXPECT_NE(c.find("\t\t\tSatellites:9\t\t\t QGPS:0.9\r\n"), std::string::npos);
    EXPECT_NE(c.find("\t\t\tLatitude: 43*22.7364N\tLongitude: 008*23.5710W\r\n"), std::string::npos);
    EXPECT_NE(c.find("\t\t\tSpeed:0.50 knots\r\n"), std::string::npos);
    EXPECT_NE(c.find("\t\t\tCourse:271.50\r\n"), std::string::npos);
}

TEST(GpsUnit, CoverageAlarmAfter180MinutesWithoutFixClearedByTheNextFix) {
    zsim::Scenario sc = world("[[gps_outage]]\nat = \"00:00:00\"\nminutes = 185\n");
    zsim::Board b(sc);
    b.run_for(179 * 60 * kSec);
    EXPECT_EQ(count(b.console(), "Incidencia:13"), 0u);
    b.run_for(4 * 60 * kSec);
    EXPECT_EQ(count(b.console(), "\t\tIncidencia:13\tDato:0\r\n"), 1u) << b.console().substr(b.console().size() - 2000);
    EXPECT_EQ(l76lb.calarma, 1);
    b.run_for(5 * 60 * kSec);
    EXPECT_EQ(count(b.console(), "\t\tIncidencia:14\tDato:0\r\n"), 1u);
    EXPECT_EQ(l76lb.calarma, 0);
    EXPECT_LT(b.console().find("Incidencia:13"), b.console().find("Incidencia:14"));
}

TEST(GpsUnit, InputEventsWaitForTheClockAndFollowTheStartUpEvent) {
    zsim::Scenario sc = world(
        "[[gps_outage]]\nat = \"00:00:00\"\nminutes = 2\n"
        "[[input]]\nat = \"00:00:20\"\nnumber = 1\nstate = \"closed\"\n"
        "[[input]]\nat = \"00:00:40\"\nnumber = 1\nstate = \"open\"\n");
    zsim::Board b(sc);
    b.run_for(100 * kSec);
    EXPECT_EQ(count(b.console(), "Incidencia:5"), 0u);   // no valid date yet
    EXPECT_EQ(periferico1.cenable[0], 1);
    EXPECT_EQ(periferico1.cdisable[0], 1);
    b.run_for(60 * kSec);
    const std::string& c = b.console();
    const size_t boot = c.find("Incidencia:15");
    const size_t raised = c.find("Incidencia:5\t");
    const size_t cleared = c.find("Incidencia:6\t");
    ASSERT_NE(boot, std::string::npos) << c;
    ASSERT_NE(raised, std::string::npos);
    ASSERT_NE(cleared, std::string::npos);
    EXPECT_LT(boot, raised);
    EXPECT_LT(raised, cleared);
}

TEST(GpsUnit, AReceiverRestartLeadsToItsReconfiguration) {
    zsim::Scenario sc = world("[dip]\nsw2 = true\n[[fault]]\nkind = \"gps_restart\"\nat = \"00:01:30\"\n");
    zsim::Board b(sc);
    b.run_for(80 * kSec);
    ASSERT_EQ(l76lb.cconfigurado, 1);
    const size_t before = count(b.console(), "Tx GPS => $PMTK314");
    b.run_for(30 * kSec);
    EXPECT_GT(count(b.console(), "Tx GPS => $PMTK314"), before);
    EXPECT_EQ(l76lb.cconfigurado, 1);
}

TEST(GpsUnit, ReplayOfARealReceiverLogSetsTheClockFromItsZda) {
    const std::string log = std::string(ZELMORA_TESTDATA_DIR) + "/nmea/quectel-L70.log";
    if (!std::ifstream(log)) GTEST_SKIP() << "no receiver log at " << log;
    zsim::Scenario sc = zsim::Scenario::from_text("[world]\nutc = \"2022-03-09T15:01:19Z\"\n"
                                                  "[rtc]\ntime = \"2026-12-01T08:00:00Z\"\n"
                                                  "[gps]\nreplay = \"" + log + "\"\n",
                                                  "replay scenario");
    zsim::Board b(sc);
    b.run_for(60 * kSec);
    EXPECT_NE(b.console().find("Escrita nueva fecha\r\n"), std::string::npos) << b.console();
    EXPECT_EQ(b.restarts(), 0u);
    const zsim::Civil c = b.rtc().time();
    EXPECT_EQ(c.year, 2022);
    EXPECT_EQ(c.month, 3);
    EXPECT_EQ(c.day, 9);
}

// A 5 Hz receiver that never pauses: the unit still gets its $PMTK314 through
// within seconds and measures every minute; the module drops what its
// 9600-baud line cannot carry instead of queueing it.
TEST(GpsUnit, AReceiverThatNeverPausesDoesNotHoldTheLoop) {
    const std::string log = std::string(ZELMORA_TESTDATA_DIR) + "/nmea/quectel-l76k-nmea.log";
    if (!std::ifstream(log)) GTEST_SKIP() << "no receiver log at " << log;
    zsim::Scenario sc = zsim::Scenario::from_text("[world]\nutc = \"2026-08-05T05:52:34Z\"\n"
                                                  "[dip]\nsw2 = true\n"
                                                  "[gps]\nreplay = \"" + log + "\"\n",
                                                  "replay scenario");
    zsim::Board b(sc);
    b.run_for(10 * kSec);
    EXPECT_NE(b.console().find("Configuramos modulo GPS\r\n"), std::string::npos);
    EXPECT_NE(b.gps().rates(), zsim::Gps::kDefaultRates);   // the selection was taken
    EXPECT_NE(b.console().find("Tx GPS => $PMTK313"), std::string::npos);   // after 314's acknowledgement
    EXPECT_GT(b.gps().dropped(), 0u);
    b.run_for(590 * kSec);
    EXPECT_EQ(count(b.console(), "\t\tSTATUS: "), 10u);
    EXPECT_EQ(b.restarts(), 0u);
}
