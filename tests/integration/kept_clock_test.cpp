// zelmora-sim --eeprom FILE keeps the world's clock in FILE.clock: a second
// run on the same image carries on in time, so its event log reads in order.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "board.h"
#include "program_support.h"

namespace {

struct Record {
    uint64_t when;   // YYMMDDhhmmss, in the order of time within a century
    unsigned code;
};

// The log's records in slot order (from 256 on), blank slots left out.
std::vector<Record> records_of(const std::string& image) {
    std::ifstream f(image, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<Record> out;
    for (size_t at = 256; at + 8 <= b.size() && at < 0xFFF0; at += 8) {
        const uint32_t date = (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
        const unsigned code = b[at + 5];
        if (date == 0xFFFFFFFFu || code == 0 || code > 15) continue;
        const uint64_t mm = date / 100000000u, yy = date / 1000000u % 100, dd = date / 10000u % 100,
                       hhmm = date % 10000u;
        out.push_back({((yy * 100 + mm) * 100 + dd) * 1000000 + hhmm * 100 + b[at + 4], code});
    }
    return out;
}

int run_sim(const std::string& args, const std::string& out) {
    const int rc = std::system((program_command(ZELMORA_SIM_PATH) + " " + args + " >" + out + " 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string text_of(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(KeptClock, ASecondRunOnTheImageCarriesOnInTime) {
    const std::string image = ::testing::TempDir() + "kept_clock.img", out = image + ".out";
    std::remove(image.c_str());
    std::remove((image + ".clock").c_str());
    ASSERT_EQ(run_sim("--minutes 3 --eeprom " + image, out), 0) << text_of(out);
    EXPECT_NE(text_of(image + ".clock").find("world_utc = \"2026-12-08T13:48:00Z\""), std::string::npos);
    ASSERT_EQ(run_sim("--minutes 3 --eeprom " + image, out), 0) << text_of(out);

    const std::vector<Record> log = records_of(image);
    std::vector<uint64_t> starts;
    for (size_t i = 0; i < log.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(log[i].when, log[i - 1].when) << "record " << i;
        }
        if (log[i].code == 15) starts.push_back(log[i].when);
    }
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(starts[1], starts[0] + 300);   // three minutes on: hhmmss + 0300
    EXPECT_NE(text_of(image + ".clock").find("world_utc = \"2026-12-08T13:51:00Z\""), std::string::npos);

    // A damaged clock file stops the run before anything runs, and says what to do.
    const std::string before = text_of(image);
    for (const char* bad : {"world_utc = 5\n", "world_utc = \"2026-12-08T13:51:00Z\"\nrtc_registers = \"80 99\"\n",
                            "\x01\xff garbage ["}) {
        std::ofstream(image + ".clock", std::ios::binary | std::ios::trunc) << bad;
        EXPECT_EQ(run_sim("--minutes 1 --eeprom " + image, out), 2) << bad;
        const std::string said = text_of(out);
        EXPECT_EQ(said.rfind("zelmora-sim: " + image + ".clock:", 0), 0u) << said;
        EXPECT_NE(said.find("delete it to start from the scenario's time"), std::string::npos) << said;
        EXPECT_EQ(text_of(image), before);
    }
    // Without one, the run starts from the scenario's time again.
    std::remove((image + ".clock").c_str());
    ASSERT_EQ(run_sim("--minutes 1 --eeprom " + image, out), 0) << text_of(out);
    EXPECT_NE(text_of(image + ".clock").find("world_utc = \"2026-12-08T13:46:00Z\""), std::string::npos);
}

// The clock taken up from an earlier run's contents reads as it did then: the
// same calendar in the same hour mode, its oscillator state and its SRAM.
TEST(KeptClock, TheRtcTakesUpItsContents) {
    std::array<uint8_t, 256> kept{};
    {
        zsim::Board b(zsim::Scenario::builtin());
        b.rtc().set_time(zsim::Civil{2027, 2, 28, 23, 59, 58});
        const uint8_t twelve_hour_pm[] = {0x02, 0x40 | 0x20 | 0x11};   // 11 PM
        const uint8_t sram[] = {0x20, 0xA5, 0x5A};
        b.rtc().on_write(twelve_hour_pm, sizeof twelve_hour_pm);
        b.rtc().on_write(sram, sizeof sram);
        kept = b.rtc().contents();
    }
    zsim::Board b(zsim::Scenario::builtin());
    ASSERT_TRUE(zsim::Rtc::registers_valid(kept.data()));
    b.rtc().restore(kept);
    EXPECT_EQ(b.rtc().contents(), kept);
    EXPECT_TRUE(b.rtc().twelve_hour());
    EXPECT_TRUE(b.rtc().running());
    EXPECT_EQ(zsim::format_utc(b.rtc().time()), "2027-02-28T23:59:58Z");

    for (const auto& [reg, bad] : std::vector<std::pair<int, uint8_t>>{{0, 0x8A}, {1, 0x60}, {2, 0x24}, {2, 0x40},
                                                                       {4, 0x00}, {5, 0x13}, {6, 0xA0}}) {
        std::array<uint8_t, 256> r = kept;
        r[static_cast<size_t>(reg)] = bad;
        EXPECT_FALSE(zsim::Rtc::registers_valid(r.data())) << reg << " " << int{bad};
    }
}
