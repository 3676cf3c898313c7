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

TEST(Scenario, MistakesNameTheirLine) {
    auto error_of = [](const std::string& text) {
        try {
            zsim::Scenario::from_text(text, "t.toml");
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error_of("minutes = 2\n[[input]]\nat = 5\nnumber = 4\nstate = \"open\"\n"),
              "t.toml:4: 'number' must be an integer from 1 to 3");
    EXPECT_EQ(error_of("speed = 3\n"), "t.toml:1: unknown key 'speed'");
    EXPECT_EQ(error_of("[world]\nutc = \"2026-02-30T00:00:00Z\"\n"),
              "t.toml:2: expected a UTC date and time such as \"2026-12-08T13:45:00Z\"");
    EXPECT_EQ(error_of("[[fault]]\nkind = \"stall\"\nat = \"1:xx\"\nms = 5\n"),
              "t.toml:3: expected a time: seconds, \"MM:SS\" or \"HH:MM:SS\" (minutes and seconds below 60)");
    EXPECT_EQ(error_of("[[input]]\nnumber = 1\nstate = \"open\"\nat = \"00:75:00\"\n"),
              "t.toml:4: expected a time: seconds, \"MM:SS\" or \"HH:MM:SS\" (minutes and seconds below 60)");
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
