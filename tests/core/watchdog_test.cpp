// The watchdog: armed at start-up, kicked by every pass, restarting a hung unit
// as a hardware reset would.
#include <gtest/gtest.h>

#include <string>

#include "Arduino.h"
#include "board.h"
#include "globals.h"
#include "host/firmware_ram.h"
#include "sam.h"
#include "Sodaq_wdt.h"
#include "tools.h"
#include "text_support.h"

using zsim::Board;
using zplat::kMs;
using zplat::kSec;

namespace {
const std::string kBannerLine = "\t\t\tORV ZELMORA  Firmare:4.0\tHardware:1.0\r\n";

zsim::Scenario with_stall(double at_s, uint32_t ms) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.stalls.push_back({static_cast<zplat::vtime>(at_s * 1e9), ms * kMs});
    return sc;
}
}  // namespace

TEST(Watchdog, NeverBitesWhileTheLoopKicksIt) {
    Board b;
    b.run_for(120 * kSec);
    EXPECT_EQ(b.restarts(), 0u);
    EXPECT_TRUE(b.mcu().wdt_enabled());
    EXPECT_EQ(count(b.console(), kBannerLine), 1u);
}

TEST(Watchdog, AStallOfThreeSecondsRestartsTheUnitAboutTwoSecondsIn) {
    Board b(with_stall(30, 3000));
    b.run_for(30 * kSec);
    ASSERT_EQ(count(b.console(), kBannerLine), 1u);
    while (b.restarts() == 0 && b.now() < 33 * kSec) b.run_for(10 * kMs);
    EXPECT_EQ(b.restarts(), 1u);
    // The last kick came at most a few ms before the stall.
    EXPECT_GE(b.now(), 31990 * kMs);
    EXPECT_LE(b.now(), 32020 * kMs);
    b.run_for(2 * kSec);
    EXPECT_EQ(count(b.console(), kBannerLine), 2u);
    EXPECT_EQ(count(b.console(), "END SETUP"), 2u);
}

TEST(Watchdog, MillisCountsFromTheLastReset) {
    Board b(with_stall(30, 3000));
    uint32_t before = 0, after = 0;
    b.schedule(20 * kSec, [&] { before = millis(); });
    b.schedule(40 * kSec, [&] { after = millis(); });
    b.run_for(41 * kSec);
    ASSERT_EQ(b.restarts(), 1u);
    EXPECT_NEAR(before, 20000u, 2u);
    EXPECT_NEAR(after, 8000u, 30u);   // the restart came about 32 s in
}

TEST(Watchdog, AStallOfOneSecondIsSurvived) {
    Board b(with_stall(30, 1000));
    b.run_for(40 * kSec);
    EXPECT_EQ(b.restarts(), 0u);
    EXPECT_EQ(count(b.console(), kBannerLine), 1u);
}

TEST(Watchdog, ARestartBringsEveryFirmwareGlobalBackToItsPowerOnValue) {
    Board b(with_stall(10, 2500));
    b.run_for(5 * kSec);
    // Scribble over the firmware's RAM, initialised or not.
    TIMEOUT_MODO_TEST_ACTIVO = 5;
    mTimeOut = 7;
    ACTIVAR_DEBUG = 0;
    balizaQ77.iocaso_reloj_astronomico = 1234;
    l76lb.cframe_rx[100] = 0x55;
    sodaq_wdt_flag = true;
    b.run_for(8 * kSec);
    ASSERT_EQ(b.restarts(), 1u);
    EXPECT_EQ(TIMEOUT_MODO_TEST_ACTIVO, 600000u);
    EXPECT_EQ(mTimeOut, 3000u);
    EXPECT_EQ(ACTIVAR_DEBUG, 1);
    EXPECT_EQ(balizaQ77.iocaso_reloj_astronomico, 0);
    EXPECT_EQ(l76lb.cframe_rx[100], 0);
    EXPECT_FALSE(sodaq_wdt_flag);
}

TEST(Watchdog, FirmwareRamRegionHoldsTheFirmwareGlobals) {
    const zplat::RamRegion r = zplat::firmware_ram();
    ASSERT_GT(r.size(), sizeof(periferico1));
    EXPECT_TRUE(r.contains(&balizaQ77));
    EXPECT_TRUE(r.contains(&periferico1.csn[15]));
    EXPECT_TRUE(r.contains(&TIMEOUT_MODO_TEST_ACTIVO));
    EXPECT_TRUE(r.contains(&ACTIVAR_DEBUG));
    EXPECT_TRUE(r.contains(const_cast<bool*>(&sodaq_wdt_flag)));
    EXPECT_TRUE(r.contains(const_cast<uint8_t*>(&cacciones_1min)));
}

TEST(Watchdog, EnableProgramsTheRegistersAndKicksSynchronise) {
    Board b;
    sodaq_wdt_enable(WDT_PERIOD_2X);
    EXPECT_TRUE(MCLK->APBAMASK.reg & MCLK_APBAMASK_WDT);
    EXPECT_EQ(WDT->CONFIG.reg, 8);
    EXPECT_EQ(WDT->EWCTRL.reg, 8);
    EXPECT_TRUE(b.mcu().wdt_enabled());
    EXPECT_TRUE(b.mcu().nvic_enabled() & (1u << WDT_IRQn));
    EXPECT_LE(b.mcu().wdt_timeout_at() - b.now(), 2 * kSec);
    EXPECT_GT(b.mcu().wdt_timeout_at() - b.now(), 2 * kSec - kMs);

    sodaq_wdt_reset();
    EXPECT_TRUE(WDT->SYNCBUSY.reg & WDT_SYNCBUSY_CLEAR);
    sodaq_wdt_reset();   // skipped: the first one is still synchronising
    b.advance(3 * kMs);
    EXPECT_FALSE(WDT->SYNCBUSY.reg & WDT_SYNCBUSY_CLEAR);
    const auto bite = b.mcu().wdt_timeout_at();
    EXPECT_GT(bite, b.now() + 2 * kSec - 3 * kMs);
}

TEST(Watchdog, AlwaysOnLeavesTheWatchdogAsTheBootLoaderSetIt) {
    Board b;
    MCLK->APBAMASK.reg |= MCLK_APBAMASK_WDT;
    WDT->CONFIG.reg = 11;
    WDT->CTRLA.reg = WDT_CTRLA_ALWAYSON;
    b.advance(5 * kMs);
    sodaq_wdt_enable(WDT_PERIOD_2X);
    EXPECT_EQ(WDT->CONFIG.reg, 11);
    EXPECT_TRUE(WDT->CTRLA.reg & WDT_CTRLA_ALWAYSON);
    EXPECT_EQ(b.mcu().wdt_timeout_at() - b.now() > 10 * kSec, true);
}
