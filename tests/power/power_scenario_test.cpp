// Whole days in the life of the unit's power supervision, from the shipped
// scenarios.
#include <gtest/gtest.h>

#include <string>

#include "board.h"
#include "fault_support.h"
#include "text_support.h"

using zplat::kSec;
using zplat::vtime;

namespace {
zsim::Scenario shipped(const char* name) {
    return zsim::Scenario::from_file(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/" + name);
}

uint8_t code_in_slot(zsim::Board& b, int slot) {
    const int s = (slot + 513) % 513;
    return b.eeprom().contents()[static_cast<size_t>((s + 32) * 8 + 5)];
}
}  // namespace

TEST(PowerScenario, SinkingBatteryRaisesAndClearsTheLowBatteryAlarm) {
    const zsim::Scenario sc = shipped("low-battery.toml");
    zsim::Board b(sc);
    b.run_for(static_cast<zplat::vtime>(sc.minutes * 60) * kSec);
    const std::string& c = b.console();
    EXPECT_GT(count(c, "v\tAlarm low battery\r\n"), 5u);
    ASSERT_EQ(count(c, "\t\tIncidencia:1\tDato:11"), 1u) << c;
    ASSERT_EQ(count(c, "\t\tIncidencia:2\tDato:12"), 1u);
    EXPECT_LT(c.find("Incidencia:1"), c.find("Incidencia:2"));
    // Both records went into consecutive slots just before the write index.
    const auto& m = b.eeprom().contents();
    const int index = m[254] << 8 | m[255];
    EXPECT_EQ(code_in_slot(b, index - 2), 1);
    EXPECT_EQ(code_in_slot(b, index - 1), 2);
    EXPECT_EQ(b.restarts(), 0u);
}

TEST(PowerScenario, HighBatterySwitchesTheChargerOffOnTheFifthMinuteAndBackOn) {
    const zsim::Scenario sc = shipped("high-battery.toml");
    zsim::Board b(sc);
    b.run_for(static_cast<zplat::vtime>(sc.minutes * 60) * kSec);
    const std::string& c = b.console();
    ASSERT_EQ(count(c, "Incidencia:3\tDato:1449"), 1u) << c;
    ASSERT_EQ(count(c, "Incidencia:4\tDato:"), 1u);
    EXPECT_EQ(count(c.substr(0, c.find("Incidencia:3")), "\t\tSTATUS: "), 4u);   // after the fifth reading
    EXPECT_GT(count(c, "vHigh battery voltage => Turn off Solar panel\r\n"), 4u);
    EXPECT_LT(c.find("Incidencia:3"), c.find("Incidencia:4"));
    EXPECT_NE(c.find("Battery:13.10 v\r\n", c.find("Incidencia:4")), std::string::npos);
}

TEST(PowerScenario, StuckChargerGetsAPulseEveryHalfHourUntilItRecovers) {
    zsim::Scenario sc = shipped("mppt-stuck.toml");
    zsim::Board b(sc);
    b.run_for(static_cast<zplat::vtime>(sc.minutes * 60) * kSec);
    EXPECT_GT(count(b.console(), "):NO CHARGE\r\n"), 0u);
    EXPECT_GT(count(b.console(), "):CHARGING\r\n"), 0u);
    EXPECT_EQ(b.restarts(), 0u);
}

// The clock answers once, at second 32 of its minute, then stops answering:
// the minute must not be realigned to that old second after every reading.
TEST(PowerScenario, AClockThatStopsAnsweringKeepsTheMinuteAMinute) {
    zsim::Scenario sc = zsim::Scenario::from_text(
        "[world]\nutc = \"2026-12-08T13:45:32Z\"\n"
        "[gps]\npresent = false\n"
        "[[fault]]\nkind = \"rtc_absent\"\nat = \"00:01:10\"\n");
    zsim::Board b(sc);
    b.run_for(70 * kSec);
    ASSERT_EQ(count(b.console(), "\t\tSTATUS: "), 1u);   // read at second 32 + 60
    b.clear_console();
    b.run_for(600 * kSec);
    EXPECT_EQ(count(b.console(), "\t\tSTATUS: "), 10u);
}

TEST(PowerScenario, BelowTheRegulatorsDropOutTheUnitStopsUntilTheBatteryRecovers) {
    const zsim::Scenario sc = shipped("brownout.toml");
    zsim::Board b(sc);
    // 10.5 V at 23:51, 11.5 V at 1:16:00.
    zfault::check_brownout(b, {(23 * 60 + 50) * kSec, 24 * 60 * kSec, (76 * 60 - 1) * kSec,
                               static_cast<vtime>(sc.minutes * 60) * kSec, 3});
}

// Under the sanitizers or emulated the first night and morning only, to 11:00.
TEST(PowerScenario, AWinterWeekStopsTheUnitEveryNightAndBringsItBackEveryMorning) {
    const zsim::Scenario sc = shipped("winter-week.toml");
    zsim::Board b(sc);
#if defined(ZELMORA_SANITIZED) || defined(ZELMORA_EMULATED)
    zfault::check_winter_week(b, 1, 11 * 3600 * kSec);
#else
    zfault::check_winter_week(b, 7, static_cast<vtime>(sc.minutes * 60) * kSec);
#endif
}
