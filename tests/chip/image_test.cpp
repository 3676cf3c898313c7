// The image we would flash, on the chip's core and peripherals, against the
// same devices and scenarios as the host build: both must tell the same story.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ais/ais.h"
#include "board.h"
#include "text_support.h"
#include "unit.h"

namespace {

namespace fs = std::filesystem;
using zplat::kSec;

const std::string kElf = ZELMORA_CHIP_ELF;

// The sanitized build (unoptimised, every access checked) and the build under
// qemu run the image ten times slower or worse: one minute of it there.
#if defined(ZELMORA_SANITIZED) || defined(ZELMORA_EMULATED)
constexpr double kMinutes = 1;
#else
constexpr double kMinutes = 10;
#endif

struct Outcome {
    std::string console;
    std::vector<uint8_t> eeprom;
    std::vector<std::string> air;
    uint32_t restarts = 0;
    zchip::ChipReport report;
};

Outcome run(const zsim::Scenario& sc, double minutes, bool chip, bool idle_skip = true) {
    zsim::Board b(sc);
    std::unique_ptr<zchip::ChipUnit> unit;
    if (chip) unit = std::make_unique<zchip::ChipUnit>(b, kElf);
    if (unit) unit->core().set_idle_skip(idle_skip);
    b.run_for(static_cast<zplat::vtime>(minutes * 60) * kSec);
    Outcome r{b.console(), b.eeprom().contents(), b.transponder().air(), b.restarts(), {}};
    if (unit) {
        EXPECT_FALSE(unit->faulted()) << unit->fault_report();
        r.report = unit->report();
    }
    return r;
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

std::vector<zelmora::ais::Message> decode(const std::vector<std::string>& air) {
    zelmora::ais::Decoder dec;
    std::vector<zelmora::ais::Message> out;
    long n = 0;
    for (const std::string& l : air)
        for (auto& m : dec.feed(l, ++n).messages) out.push_back(std::move(m));
    return out;
}

// Lines that carry a value measured at a different microsecond on the two
// builds: the host build's platform calls and the chip's instructions take
// their own time.
// - "MillisDif = ": an EEPROM write cycle timed with millis() around it.
// - "\tTime Stamp:" and the echo of the report ("Msg 6 AIS sended => "): the
//   UTC second of the GPS's last ZDA when the report was built; the chip
//   reaches the build a little before or after the second's sentences.
bool measured(const std::string& line) {
    return line.rfind("MillisDif = ", 0) == 0 || line.rfind("\tTime Stamp:", 0) == 0 ||
           line.rfind("\tMsg 6 AIS sended => ", 0) == 0;
}

// The host build's console and the chip's, line by line, differ only where
// a value was measured at a different microsecond; the same EEPROM.
void expect_same_story(const Outcome& host, const Outcome& chip) {
    EXPECT_TRUE(host.eeprom == chip.eeprom);
    const std::vector<std::string> h = lines(host.console), c = lines(chip.console);
    ASSERT_EQ(h.size(), c.size());
    size_t differing = 0;
    for (size_t i = 0; i < h.size(); ++i) {
        if (h[i] == c[i]) continue;
        EXPECT_TRUE(measured(h[i]) && measured(c[i])) << "line " << i + 1 << "\n host: " << h[i] << "\n chip: " << c[i];
        ++differing;
    }
    EXPECT_LT(differing, 20u);
}

#define NEED_IMAGE() \
    if (!fs::exists(kElf)) GTEST_SKIP() << kElf << " not built (make target)"

}  // namespace

TEST(ChipImage, TenMinutesOfTheDefaultScenarioTellTheHostBuildsStory) {
    NEED_IMAGE();
    const zsim::Scenario sc = zsim::Scenario::builtin();
    const Outcome host = run(sc, kMinutes, false);
    const Outcome chip = run(sc, kMinutes, true);

    // The event log, the restart counter, the configuration: byte for byte.
    expect_same_story(host, chip);
    EXPECT_NE(chip.console.find("END SETUP"), std::string::npos);

    // The same reports on the air, field by field but for the time stamp.
    const auto hm = decode(host.air), cm = decode(chip.air);
    ASSERT_EQ(hm.size(), cm.size());
    size_t reports = 0;
    for (size_t i = 0; i < hm.size(); ++i) {
        ASSERT_EQ(hm[i].type, cm[i].type);
        if (!hm[i].report) continue;
        ++reports;
        const auto& hv = hm[i].report->values;
        const auto& cv = cm[i].report->values;
        ASSERT_EQ(hv.size(), cv.size());
        for (size_t k = 0; k < hv.size(); ++k) {
            if (std::string(hv[k].field->key) == "time_stamp") continue;
            EXPECT_EQ(hv[k].raw, cv[k].raw) << hv[k].field->key;
            EXPECT_EQ(hv[k].text, cv[k].text) << hv[k].field->key;
        }
    }
    if (kMinutes >= 10) {
        EXPECT_EQ(reports, 3u);
    }

    // The board layer writes nothing the datasheet forbids.
    EXPECT_TRUE(chip.report.forbidden.empty()) << chip.report.forbidden.front();
    EXPECT_EQ(chip.report.restarts, 0u);
}

TEST(ChipImage, TheWatchdogRestartsAStalledImageAndTheNextRunLogsIt) {
    NEED_IMAGE();
    // The hang at 1:00, the bite 2 s into it, the new start-up logged by 1:15.
    const Outcome chip =
        run(zsim::Scenario::from_file(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/stall-3s.toml"), 1.25, true);
    EXPECT_EQ(chip.restarts, 1u);
    EXPECT_EQ(count(chip.console, "END SETUP"), 2u);
    EXPECT_EQ(count(chip.console, "\t\tIncidencia:15\tDato:"), 2u);   // each start-up logged
}

TEST(ChipImage, APowerCutStopsTheImageAndItStartsAgainFromPowerOnAsTheHostBuildDoes) {
    NEED_IMAGE();
    // The supply gone from 8.5 s (between two lines of the console in both
    // builds) for 1 s, SRAM full of noise meanwhile; the new start logged by 18 s.
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.power.power_cuts.push_back({8500 * zplat::kMs, 1 * kSec});
    const Outcome host = run(sc, 0.3, false);
    const Outcome chip = run(sc, 0.3, true);
    expect_same_story(host, chip);
    EXPECT_EQ(count(chip.console, "END SETUP"), 2u);
    EXPECT_EQ(count(chip.console, "\t\tIncidencia:15\tDato:"), 2u);   // each start-up logged
    EXPECT_EQ(chip.report.restarts, 0u);                               // not a reset: a new start
}

TEST(ChipImage, SkippingIdleLoopsChangesNothingButTheWallTime) {
    NEED_IMAGE();
    // A power cut and a hang: start-up twice, the watchdog's bite, the
    // EEPROM's waits, the serial lines.
    zsim::Scenario sc =
        zsim::Scenario::from_file(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/stall-3s.toml");
    sc.power.power_cuts.push_back({8500 * zplat::kMs, 1 * kSec});
    const double minutes = kMinutes >= 10 ? 1.1 : 0.3;
    const Outcome off = run(sc, minutes, true, false);
    const Outcome on = run(sc, minutes, true, true);
    EXPECT_EQ(on.console, off.console);
    EXPECT_TRUE(on.air == off.air);
    EXPECT_TRUE(on.eeprom == off.eeprom);
    EXPECT_EQ(on.restarts, off.restarts);
    EXPECT_EQ(on.report.instructions, off.report.instructions);
    EXPECT_EQ(on.report.cycles, off.report.cycles);
    EXPECT_EQ(on.report.longest_pass_ms, off.report.longest_pass_ms);
    EXPECT_EQ(on.report.stack_low, off.report.stack_low);
    EXPECT_EQ(on.report.interrupts, off.report.interrupts);
    EXPECT_EQ(off.report.idle_cycles, 0u);
    EXPECT_GT(on.report.idle_cycles, 0u);
}

TEST(ChipImage, AFaultingImageStopsWithItsReport) {
#ifndef ZELMORA_FAULT_IMAGE
    GTEST_SKIP() << "no arm-none-eabi-gcc: the fault image was not built";
#else
    const fs::path err = fs::temp_directory_path() / ("zelmora-fault-" + std::to_string(::getpid()) + ".txt");
    const std::string cmd = std::string(ZELMORA_SIM_PATH) + " --chip " + ZELMORA_FAULT_IMAGE +
                            " --minutes 0.1 > /dev/null 2> " + err.string();
    const int status = std::system(cmd.c_str());
    std::ifstream in(err);
    const std::string report((std::istreambuf_iterator<char>(in)), {});
    fs::remove(err);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << report;
    for (const char* s : {"HardFault", "unaligned", "PC", "read_sensor", "LR", "Reset_Handler"})
        EXPECT_NE(report.find(s), std::string::npos) << s << "\n" << report;
#endif
}
