// Whole days in the life of the unit's power supervision, from the shipped
// scenarios.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board.h"
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
    b.run_until((23 * 60 + 50) * kSec);   // 10.5 V at 23:51
    EXPECT_TRUE(b.powered());
    b.run_until(24 * 60 * kSec);
    EXPECT_FALSE(b.powered());
    EXPECT_FALSE(b.transponder().powered());
    EXPECT_FALSE(b.gps().powered());
    const size_t said = b.console().size();
    b.run_until((76 * 60 - 1) * kSec);   // 11.5 V at 1:16:00
    EXPECT_FALSE(b.powered());
    EXPECT_EQ(b.console().size(), said);   // not a byte while off
    b.run_until(static_cast<vtime>(sc.minutes * 60) * kSec);
    EXPECT_TRUE(b.powered());
    EXPECT_EQ(b.power_losses(), 1u);
    EXPECT_EQ(b.restarts(), 0u);
    const std::string& c = b.console();
    EXPECT_EQ(count(c, "END SETUP"), 2u);
    // Started and logged, alarm; started again and logged with the next
    // count, alarm afresh (the first one went with the RAM), cleared.
    size_t at = 0;
    for (const char* e : {"Incidencia:15\tDato:0\r\n", "Incidencia:1\tDato:", "END SETUP", "Incidencia:15\tDato:1\r\n",
                          "Incidencia:1\tDato:", "Incidencia:2\tDato:"}) {
        at = c.find(e, at);
        ASSERT_NE(at, std::string::npos) << e;
    }
    EXPECT_GT(count(c.substr(c.find("Incidencia:15\tDato:1")), "\tMsg 6 AIS sended => "), 2u);
}

// Under the sanitizers or emulated the first night and morning only, to 11:00.
TEST(PowerScenario, AWinterWeekStopsTheUnitEveryNightAndBringsItBackEveryMorning) {
    const zsim::Scenario sc = shipped("winter-week.toml");
#if defined(ZELMORA_SANITIZED) || defined(ZELMORA_EMULATED)
    const int days = 1;
    const vtime end = 11 * 3600 * kSec;
#else
    const int days = 7;
    const vtime end = static_cast<vtime>(sc.minutes * 60) * kSec;
#endif
    constexpr vtime kHour = 3600 * kSec;
    zsim::Board b(sc);
    std::vector<vtime> reports;   // Message 6 transmissions
    b.transponder().set_air_sink([&](const std::string& line) {
        // !AIVDM,<count>,1,<id>,<channel>,6...: the first sentence of a Message 6
        size_t f = 0;
        for (int i = 0; i < 5 && f != std::string::npos; ++i) f = line.find(',', f + 1);
        if (f != std::string::npos && line.compare(8, 2, ",1") == 0 && line[f + 1] == '6') reports.push_back(b.now());
    });
    for (int d = 0; d < days; ++d) {
        const vtime day = d * 24 * kHour;
        b.run_until(day + 6 * kHour);   // the battery flat before dawn
        EXPECT_FALSE(b.powered()) << "day " << d + 1;
        b.run_until(day + 10 * kHour);   // back since about 09:20
        EXPECT_TRUE(b.powered()) << "day " << d + 1;
        b.run_until(std::min(day + 24 * kHour, end));
        size_t today = 0;
        for (vtime t : reports) today += t > day && t < day + 24 * kHour;
        EXPECT_GT(today, 20u) << "day " << d + 1;   // every three minutes while on
    }
    b.run_until(end);
    const std::string& c = b.console();
    const size_t starts = static_cast<size_t>(days) + 1;   // midnight, then every morning
    EXPECT_EQ(count(c, "END SETUP"), starts);
    EXPECT_EQ(count(c, "\t\tIncidencia:15\t"), starts);
    EXPECT_EQ(b.restarts(), 0u);
    if (days == 7) {
        EXPECT_EQ(b.power_losses(), starts);   // every night, the first one too
        EXPECT_EQ(count(c, "\t\tIncidencia:1\t"), 2 * starts - 1);   // on every start, and every evening
        EXPECT_EQ(count(c, "\t\tIncidencia:2\t"), starts - 1);       // every midday
    }
}
