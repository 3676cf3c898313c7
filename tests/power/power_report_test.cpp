// The status report: its lines, the minute realigned with the RTC, the daily
// restart of the ampere-hours.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "comunicaciones_pc.h"
#include "host/pins.h"
#include "power_support.h"
#include "text_support.h"

using zplat::kMs;
using zplat::kSec;

namespace {
}  // namespace

TEST(StatusReport, LineForLine) {
    PowerBench t(world_at("2026-12-08T13:45:02Z"));
    balizaQ77.cestado = 1;
    balizaQ77.fbateria = 12.604f;
    balizaQ77.cmppt = 1;
    balizaQ77.cstatus_mppt = 1;
    balizaQ77.fcorriente_panel_solar = 1.5f;
    periferico1.calarma_activada[1] = 1;
    l76lb.csatelites = 7;
    l76lb.cqgps = 12;
    l76lb.cfix_status = 1;
    l76lb.cgrados_latitud = 43;
    l76lb.cminutos_latitud = 5;
    l76lb.idiez_milesimas_minutos_latitud = 123;
    l76lb.cnorte_sur = 'N';
    l76lb.cgrados_longitud = 8;
    l76lb.cminutos_longitud = 24;
    l76lb.idiez_milesimas_minutos_longitud = 5000;
    l76lb.ceste_oeste = 'W';
    l76lb.fspeed_gps_knots[0] = 1.0f;
    l76lb.fspeed_gps_knots[1] = 2.0f;
    l76lb.cmuestra_valida_speed = 2;
    l76lb.frumbo_gps[0] = 90.0f;
    l76lb.cmuestra_valida_rumbo = 1;
    zplat::drive_pin(14, 0);
    zplat::drive_pin(50, 1);
    estado();   // the day changed (stored date 0): the accumulation restarts first
    balizaQ77.fcorriente_panel_solar_en_una_hora = 3.0f;
    balizaQ77.cminutos_panel_solar_amperios_hora = 2;
    balizaQ77.famperios_hora_panel_solar_acumulados = 1.25f;
    Serial0.flush();
    t.b.clear_console();
    balizaQ77.cestado = 0;
    balizaQ77.crefresco = 1;
    estado();
    const std::string stars(79, '*');
    const std::string expected = "\r\n" + stars + "\r\n" +
                                 "\t\tSTATUS: 08/12/26 13:45\r\n" + stars + "\r\n" +
                                 "\t\tBattery:12.60 v\r\n"
                                 "\tStatus MPPT (0/1):CHARGING\r\n"
                                 "\tSolar panel\r\n"
                                 "\t\tCurrent:1.50A\r\n"
                                 "\t\tA/h accumulated in this hour:0.05\r\n"
                                 "\t\tA/h accumulated:1.30\r\n"
                                 "\t\tAlarm input external 1:NO\r\n"
                                 "\t\tAlarm input external 2:YES\r\n"
                                 "\t\tAlarm input external 3:NO\r\n"
                                 "\t\tGPS\r\n"
                                 "\t\t\tSatellites:7\t\t\t QGPS:1.2\r\n"
                                 "\t\t\tFix:1\r\n"
                                 "\t\t\tLatitude: 43*05.0123N\tLongitude: 008*24.5000W\r\n"
                                 "\t\t\tSpeed:1.50 knots\r\n"
                                 "\t\t\tCourse:90.00\r\n";
    EXPECT_EQ(t.console(), expected);
}

TEST(StatusReport, BatteryLineShowsOneWarningAndEmptyMeansPrintNan) {
    PowerBench t;
    balizaQ77.calarma_bateria = 1;
    balizaQ77.cmppt = 0;
    balizaQ77.calarma_panel_solar = 1;
    balizaQ77.cstatus_mppt = 0;
    balizaQ77.fbateria = 11.5f;
    estado();
    EXPECT_EQ(t.count("\t\tBattery:11.50 v\tAlarm low battery\r\n"), 1u) << t.console();
    EXPECT_EQ(t.count("Turn off"), 0u);
    EXPECT_EQ(t.count("):OFF\r\n"), 1u);
    EXPECT_EQ(t.count("\tSolar panel Alarm!!!\r\n"), 1u);
    EXPECT_EQ(t.count("\t\t\tSpeed:nan knots\r\n"), 1u);
    EXPECT_EQ(t.count("\t\t\tCourse:nan\r\n"), 1u);

    balizaQ77.calarma_bateria = 0;
    estado();
    EXPECT_EQ(t.count("\t\tBattery:11.50 vHigh battery voltage => Turn off Solar panel\r\n"), 1u);
}

TEST(StatusReport, MeasurementReportRealignsTheMinuteAndRestartsTheDay) {
    PowerBench t(world_at("2026-12-08T13:45:37Z"));
    balizaQ77.cestado = 1;
    cacciones_1min = 3;
    estado();
    EXPECT_EQ(cacciones_1min, 32);
    EXPECT_EQ(balizaQ77.cdia_panel_solar, 8);
    EXPECT_EQ(balizaQ77.cmes_panel_solar, 12);
    EXPECT_EQ(balizaQ77.cano_panel_solar, 26);

    // Same day: the accumulation goes on.
    balizaQ77.famperios_hora_panel_solar_acumulados = 4.0f;
    estado();
    EXPECT_EQ(balizaQ77.famperios_hora_panel_solar_acumulados, 4.0f);

    // A report asked for by an alarm change reads no clock.
    t.b.rtc().set_time(*zsim::parse_utc("2026-12-09T00:00:08Z"));
    balizaQ77.cestado = 0;
    estado();
    EXPECT_EQ(t.count("STATUS: 08/12/26 13:45"), 3u);

    balizaQ77.cestado = 1;
    cacciones_1min = 3;
    estado();   // second 8: no realignment; a new day: the ampere-hours restart
    EXPECT_EQ(cacciones_1min, 3);
    EXPECT_EQ(balizaQ77.famperios_hora_panel_solar_acumulados, 0.0f);
    EXPECT_EQ(t.count("STATUS: 09/12/26 00:00"), 1u);
}

TEST(StatusReport, EveryMinuteOnTheRunningUnit) {
    zsim::Scenario sc = world_at("2026-12-08T13:45:00Z");
    zsim::Board b(sc);
    b.override_analog(39, 2700 * 3.3 / 4096.0);
    b.run_for(185 * kSec);
    const std::string& c = b.console();
    size_t n = 0;
    for (size_t p = c.find("\t\tSTATUS: "); p != std::string::npos; p = c.find("\t\tSTATUS: ", p + 1)) ++n;
    EXPECT_EQ(n, 3u);
    EXPECT_NE(c.find("STATUS: 08/12/26 13:46"), std::string::npos);
    EXPECT_NE(c.find("STATUS: 08/12/26 13:48"), std::string::npos);
}
