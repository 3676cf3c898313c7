// Start-up and the main loop of the unit on its virtual board.
#include <gtest/gtest.h>

#include <string>

#include "Arduino.h"
#include "board.h"
#include "globals.h"
#include "host/pins.h"
#include "setup.h"

using zsim::Board;
using zplat::kMs;
using zplat::kSec;

namespace {
const std::string kStars82(82, '*');

// The unit alone: no GPS module to set its clock.
zsim::Scenario without_gps() {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.gps.present = false;
    return sc;
}
}

TEST(StartUp, PrintsTheBannerThenTheEndLine) {
    Board b(without_gps());
    b.run_for(3 * kSec);
    const std::string expected_banner = kStars82 + "\r\n" +
                                        "\t\tTalleres Nauticos Zelmora\tLuz que guia, dato que vuelve\r\n" +
                                        "\t\t\tORV ZELMORA  Firmare:4.0\tHardware:1.0\r\n" + kStars82 + "\r\n\r\n";
    ASSERT_EQ(b.console().substr(0, expected_banner.size()), expected_banner);
    const auto end = b.console().find("------------>>>>>>>>>>>>>>>    END SETUP <<<<<<<<<<<<<<<--------------\r\n");
    EXPECT_NE(end, std::string::npos);
    EXPECT_GT(end, expected_banner.size() - 1);
    EXPECT_EQ(balizaQ77.csincronizada, 0);
    EXPECT_EQ(balizaQ77.cincidencia_reset, 1);
    EXPECT_EQ(clisto, 1);
    // Safe levels, then the charger enabled.
    EXPECT_EQ(zplat::pin_level(41), 1);
    EXPECT_EQ(zplat::pin_level(35), 1);   // the first pass powers the GPS module
    EXPECT_EQ(zplat::pin_level(21), 0);
    EXPECT_EQ(zplat::pin_level(19), 1);
    EXPECT_EQ(zplat::pin_level(24), 1);
}

TEST(StartUp, DefaultDateBeforeTheFirstPass) {
    zsim::Scenario sc = without_gps();
    sc.rtc.present = false;   // nothing reads a date
    Board b(sc);
    b.run_for(3 * kSec);
    EXPECT_EQ(mvarFechaHora.cdia_utc, 1);
    EXPECT_EQ(mvarFechaHora.cmes_utc, 1);
    EXPECT_EQ(mvarFechaHora.cano_utc, 20);
    EXPECT_EQ(mvarFechaHora.chora_utc, 0);
    EXPECT_EQ(mvarFechaHora.cminuto_utc, 1);
    EXPECT_EQ(mvarFechaHora.csegundo_utc, 0);
}

TEST(PinMap, PinConfigRestoresPins15And49AndKeepsOutputLevels) {
    Board b;
    PinConfig(1);
    digitalWrite(13, HIGH);
    digitalWrite(10, HIGH);
    digitalWrite(35, HIGH);
    digitalWrite(15, HIGH);
    digitalWrite(49, LOW);
    PinConfig(0);
    EXPECT_EQ(zplat::pin_level(15), 0);
    EXPECT_EQ(zplat::pin_level(49), 1);
    EXPECT_EQ(zplat::pin_level(13), 1);
    EXPECT_EQ(zplat::pin_level(10), 1);
    EXPECT_EQ(zplat::pin_level(35), 1);
    // Input pins: pull-ups on the DIP switches and inputs, pin 16 only at start-up.
    EXPECT_TRUE(zplat::pin_state(44).pull);
    EXPECT_TRUE(zplat::pin_state(28).pull);
    EXPECT_TRUE(zplat::pin_state(14).pull);
    EXPECT_FALSE(zplat::pin_state(16).output);
}

TEST(PinMap, EveryPassRestoresPinsThatLostTheirConfiguration) {
    Board b;
    b.run_for(3 * kSec);
    b.schedule(b.now() + kMs, [] {
        pinMode(15, INPUT);
        digitalWrite(49, LOW);
        pinMode(44, INPUT);
    });
    b.run_for(5 * kMs);
    EXPECT_TRUE(zplat::pin_state(15).output);
    EXPECT_EQ(zplat::pin_level(15), 0);
    EXPECT_EQ(zplat::pin_level(49), 1);
    EXPECT_TRUE(zplat::pin_state(44).pull);
}

TEST(MainLoop, DipSwitchesSetTheDebugLevels) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.dip_on = {true, true, false, true};
    Board b(sc);
    b.run_for(3 * kSec);
    EXPECT_EQ(l76lb.cdebug, 2);
    EXPECT_EQ(periferico1.cextraigo, 0);
    EXPECT_EQ(balizaQ77.cextraigo, 2);
    b.inputs().set_dip(1, false);
    b.run_for(5 * kMs);
    EXPECT_EQ(l76lb.cdebug, 1);
    EXPECT_EQ(balizaQ77.cextraigo, 1);
}

TEST(MainLoop, MinuteRequestDrivesTheMeasurementEnablesForTheSettlingTime) {
    Board b;
    b.run_for(3 * kSec);
    EXPECT_EQ(zplat::pin_level(13), 0);
    // The first minute request falls a minute after the tick started.
    b.run_until(59990 * kMs);
    while (balizaQ77.cmedicion_bateria == 0 && b.now() < 70 * kSec) b.run_for(kMs / 4);
    b.run_for(2 * kMs);
    EXPECT_EQ(balizaQ77.cmedicion_bateria, 2);
    EXPECT_EQ(zplat::pin_level(13), 1);
    EXPECT_EQ(zplat::pin_level(10), 1);
    b.run_for(15 * kMs);
    EXPECT_EQ(balizaQ77.cmedicion_bateria, 0);
    EXPECT_EQ(zplat::pin_level(13), 0);   // the battery reading lowers its own enable
    b.run_for(500 * kMs);                 // after the status report, the next pass lowers the panel's
    EXPECT_EQ(zplat::pin_level(10), 0);
}

TEST(MainLoop, ExternalInputIsDebouncedOnceTheLoopRuns) {
    zsim::Scenario sc = without_gps();
    sc.pin_actions.clear();
    Board b(sc);
    b.run_for(3 * kSec);
    configuracion_external_inputs.ctipo[1] = 2;
    configuracion_external_inputs.itemporizacion[1] = 10;
    b.inputs().set_input(2, zsim::LineState::Low);
    b.run_for(1000 * kMs);
    EXPECT_EQ(periferico1.calarma_activada[1], 0);   // 11 samples are 1.1 s
    b.run_for(200 * kMs);
    EXPECT_EQ(periferico1.calarma_activada[1], 1);
    EXPECT_EQ(periferico1.cenable[1], 1);   // pending until the clock is set
}
