// Scenario files: every shipped one loads; mistakes are reported with their line.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "scenario.h"

TEST(Scenario, EveryShippedScenarioLoads) {
    const std::filesystem::path dir = std::filesystem::path(ZELMORA_SOURCE_DIR) / "sim" / "scenarios";
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() != ".toml") continue;
        EXPECT_NO_THROW(zsim::Scenario::from_file(e.path().string())) << e.path();
        ++n;
    }
    EXPECT_GE(n, 3);
    const zsim::Scenario ex = zsim::Scenario::from_file((dir / "example.toml").string());
    EXPECT_EQ(ex.stalls.size(), 1u);
    EXPECT_EQ(ex.eeprom.writes_lost.size(), 1u);
    EXPECT_EQ(ex.dip_on[0], true);
}

namespace {
// The parser's message for a scenario text, or "no error".
std::string error_of(const std::string& text) {
    try {
        zsim::Scenario::from_text(text, "t.toml");
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}
}  // namespace

TEST(Scenario, MistakesNameTheirLine) {
    EXPECT_EQ(error_of("minutes = 2\n[[input]]\nat = 5\nnumber = 4\nstate = \"open\"\n"),
              "t.toml:4: 'number' must be an integer from 1 to 3");
    EXPECT_EQ(error_of("speed = 3\n"), "t.toml:1: unknown key 'speed'");
    EXPECT_EQ(error_of("[world]\nutc = \"2026-02-30T00:00:00Z\"\n"),
              "t.toml:2: expected a UTC date and time such as \"2026-12-08T13:45:00Z\"");
    EXPECT_EQ(error_of("[[fault]]\nkind = \"stall\"\nat = \"1:xx\"\nms = 5\n"),
              "t.toml:3: expected a time: seconds, \"MM:SS\" or \"HH:MM:SS\" (minutes and seconds below 60), at most 10000000 minutes");
    EXPECT_EQ(error_of("[[input]]\nnumber = 1\nstate = \"open\"\nat = \"00:75:00\"\n"),
              "t.toml:4: expected a time: seconds, \"MM:SS\" or \"HH:MM:SS\" (minutes and seconds below 60), at most 10000000 minutes");
}

TEST(Scenario, TimesInSecondsMinutesOrHours) {
    EXPECT_EQ(zsim::parse_time("90"), 90 * zplat::kSec);
    EXPECT_EQ(zsim::parse_time("1:30"), 90 * zplat::kSec);
    EXPECT_EQ(zsim::parse_time("01:00:00.5"), 3600500 * zplat::kMs);
    EXPECT_FALSE(zsim::parse_time("1::3"));
    EXPECT_FALSE(zsim::parse_time("-4"));
    EXPECT_FALSE(zsim::parse_time("1:60"));
    EXPECT_FALSE(zsim::parse_time("60:00"));
    EXPECT_FALSE(zsim::parse_time("00:60:00"));
    EXPECT_FALSE(zsim::parse_time("00:00:60"));
    EXPECT_FALSE(zsim::parse_time("1.5:30"));
    EXPECT_EQ(zsim::parse_time("25:59:59.5"), (25 * 3600 + 59 * 60 + 59) * zplat::kSec + 500 * zplat::kMs);
}

// The run length as --minutes takes it, and no time beyond what the
// nanosecond clock holds: such input once ran for garbage or wrapped.
TEST(Scenario, TimesTheClockCannotHoldAreRefused) {
    for (const char* m : {"nan", "inf", "-inf", "1e300", "10000000.5", "0", "-3"}) {
        EXPECT_EQ(error_of(std::string("name = \"x\"\nminutes = ") + m + "\n"),
                  "t.toml:2: 'minutes' must be a number above 0 and at most 10000000")
            << m;
    }
    EXPECT_EQ(zsim::Scenario::from_text("minutes = 10000000\n").minutes, 1e7);
    const std::string too_long = ", at most 10000000 minutes";
    EXPECT_EQ(error_of("[[fault]]\nkind = \"rtc_stop\"\nat = 1e10\n"),
              "t.toml:3: time must be at most 10000000 minutes");
    EXPECT_EQ(error_of("[[fault]]\nkind = \"rtc_stop\"\nat = \"2562048:00:00\"\n"),
              "t.toml:3: expected a time: seconds, \"MM:SS\" or \"HH:MM:SS\" (minutes and seconds below 60)" + too_long);
    EXPECT_EQ(error_of("[[fault]]\nkind = \"power_cut\"\nat = 0\nms = 600000000001\n"),
              "t.toml:4: 'ms' must be an integer from 1 to 600000000000");
    const zsim::Scenario edge = zsim::Scenario::from_text(
        "[[fault]]\nkind = \"power_cut\"\nat = \"166666:40:00\"\nms = 600000000000\n");
    EXPECT_EQ(edge.power.power_cuts.at(0).at, 600000000000 * zplat::kMs);
    EXPECT_EQ(edge.power.power_cuts.at(0).duration, 600000000000 * zplat::kMs);
}
