// The unit's days as zelmora-sim --trace writes them and --plot draws them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "integration_support.h"
#include "program_support.h"
#include "trace.h"

namespace {

std::vector<std::vector<std::string>> read_csv(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(f, line);) {
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string c; std::getline(ss, c, ',');) cells.push_back(c);
        if (!line.empty() && line.back() == ',') cells.emplace_back();
        rows.push_back(cells);
    }
    return rows;
}

std::string run(const std::string& args) {
    std::string out;
    std::FILE* p = ::popen((program_command(ZELMORA_SIM_PATH) + " " + args + " 2>&1").c_str(), "r");
    char buf[512];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p) ::pclose(p);
    return out;
}

}  // namespace

// Each minute's row follows the alarm the console logged in it, and the
// transponder's loads add up to what it took.
TEST(Trace, ARowAMinuteFollowsTheLowBatteryAlarmAndTheLoads) {
    const std::string path = ::testing::TempDir() + "trace_low_battery.csv";
    integ::Unit u(integ::shipped("low-battery.toml"));
    {
        zsim::Trace t(u.b, path);
        u.b.set_console_capture(false);
        u.b.set_console_sink([&t](uint8_t c) { t.console_byte(c); });
        for (int m = 1; m <= 30; ++m) {
            u.b.run_until(m * 60 * integ::kSec);
            t.row();
        }
    }
    const auto rows = read_csv(path);
    ASSERT_EQ(rows.size(), 31u);
    ASSERT_EQ(rows[0][6], "alarm_low_battery");
    EXPECT_EQ(rows[1][13], "1");   // the start-up
    EXPECT_NE(rows[1][16].find("start-up"), std::string::npos);
    int raised = 0, cleared = 0, up_minutes = 0;
    uint64_t loads = 0;
    for (size_t r = 1; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), 17u) << r;
        if (rows[r][16].find("low battery raised") != std::string::npos) raised = static_cast<int>(r);
        if (rows[r][16].find("low battery cleared") != std::string::npos) cleared = static_cast<int>(r);
        up_minutes += rows[r][6] == "1";
        loads += std::stoull(rows[r][14]);
    }
    ASSERT_GT(raised, 0);
    ASSERT_GT(cleared, raised);
    EXPECT_EQ(rows[raised][6], "1");
    EXPECT_EQ(rows[cleared][6], "0");
    EXPECT_EQ(up_minutes, cleared - raised);
    EXPECT_EQ(loads, u.b.transponder().counters().loads);
}

TEST(Trace, ThePlotIsAPictureAndBadRunLengthsAreRefusedPlainly) {
    const std::string png = ::testing::TempDir() + "trace_plot.png";
    std::remove(png.c_str());
    if (std::system("command -v gnuplot >/dev/null 2>&1") == 0) {
        run("--scenario " + std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/low-battery.toml --plot " + png);
        std::ifstream f(png, std::ios::binary);
        char sig[8] = {};
        f.read(sig, 8);
        EXPECT_EQ(std::string(sig + 1, 3), "PNG");
    }
    for (const char* bad : {"0", "-5", "abc", "1e300"}) {
        const std::string out = run(std::string("--minutes ") + bad);
        EXPECT_NE(out.find("--minutes: must be a number of minutes above 0 and at most 10000000"), std::string::npos)
            << out;
    }
}

// The battery's plot draws the thresholds the unit loads from its EEPROM and
// the world's supply levels; an erased configuration area draws none of its own.
TEST(Trace, ThePlotsLevelsAreTheUnitsAndTheWorlds) {
    const zsim::Scenario sc = integ::shipped("winter-week.toml");
    zsim::Board b(sc);
    const zsim::PlotLevels l = zsim::plot_levels(b.eeprom().contents(), sc.power);
    EXPECT_NEAR(l.low_battery, 11.8, 1e-5);
    EXPECT_NEAR(l.alarm_off, 12.4, 1e-5);
    EXPECT_EQ(l.brownout, 10.5);
    EXPECT_EQ(l.restart, 11.5);
    const zsim::PlotLevels erased = zsim::plot_levels(std::vector<uint8_t>(65536, 0xFF), sc.power);
    EXPECT_TRUE(std::isnan(erased.low_battery) && std::isnan(erased.alarm_off));
}
