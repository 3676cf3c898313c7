// Cuts of the unit's supply: at every millisecond of a configuration write
// from the PC and of an event-log write, and at random times over a day.
// Whatever a cut tears, the unit starts again and logs the restart, keeps
// every event already written (only the one in flight may go), and its
// transponder transmits under no MMSI but the one configured before or after.
#include <gtest/gtest.h>

#include <vector>

#include "board.h"
#include "fault_support.h"
#include "text_support.h"

using zplat::kMs;
using zplat::kSec;
using zplat::vtime;
using namespace zfault;

namespace {

// The sanitized build runs the unit some ten times slower, and so does qemu's
// emulation of the 32-bit ARM build: every third cut, and two hours of the day.
#if defined(ZELMORA_SANITIZED) || defined(ZELMORA_EMULATED)
constexpr int kStepMs = 3;
constexpr vtime kDay = 2 * 3600 * kSec;
#else
constexpr int kStepMs = 1;
constexpr vtime kDay = 24 * 3600 * kSec;
#endif

}  // namespace

TEST(PowerCut, EveryMillisecondOfAConfigurationWriteLeavesTheTransponderAConfiguredMmsi) {
    configuration_write_sweep({nullptr, kStepMs});
}

// A page whose write was cut short (the mark left set), an erased page, no
// EEPROM at all: the MMSI read is none the unit can trust, and the
// transponder keeps its own instead of being reprogrammed with it.
TEST(PowerCut, AConfigurationTheUnitCannotTrustLeavesTheTransponderItsMmsi) {
    const Bytes other = another_configuration();
    for (int c = 0; c < 3; ++c) {
        SCOPED_TRACE(c);
        zsim::Scenario sc = zsim::Scenario::builtin();
        sc.eeprom.present = c != 2;
        zsim::Board b(sc);
        if (c == 0) {
            b.eeprom().poke(0, other);
            b.eeprom().poke(4480, {0x00});   // the configuration-write mark
        } else if (c == 1) {
            b.eeprom().poke(0, Bytes(128, 0xFF));
        }
        b.run_for(20 * kSec);
        EXPECT_EQ(b.transponder().mmsi(), kOldMmsi);
        EXPECT_EQ(count(b.console(), "\t\tOwn MMSI identified:992241234\r\n"), 1u);
        EXPECT_EQ(count(b.console(), "ERROR CONFIGURACION: escritura interrumpida\r\n"), c == 0 ? 1u : 0u);
    }
}

TEST(PowerCut, EveryMillisecondOfAnEventLogWriteKeepsTheEventsWrittenBefore) {
    Sweep sw{nullptr, kStepMs};
    sw.settle = 15 * kSec;
    event_log_sweep(sw);
}

TEST(PowerCut, CutsAtRandomTimesOverADayNeverCostAStartOrAnEvent) {
    // Cuts of 1 ms to 20 s, one minute to a thirtieth of the day apart.
    zsim::SplitMix rng(2026);
    const auto gap = [&rng] { return 60 * kSec + static_cast<vtime>(rng.unit() * static_cast<double>(kDay / 30)); };
    std::vector<zsim::Window> cuts;
    for (vtime t = gap(); t < kDay; t += gap()) {
        cuts.push_back({t, 1 * kMs + static_cast<vtime>(rng.unit() * 20000) * kMs});
        t += cuts.back().duration;
    }
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.power.power_cuts = cuts;
    zsim::Board b(sc);
    Ring seen;
    for (const zsim::Window& c : cuts) {
        // What the log held just before each cut: nothing of it may go.
        b.run_until(c.at - 100 * kMs);
        for (const auto& [slot, rec] : records(b)) seen[slot] = rec;
    }
    b.run_until(kDay);
    const Ring last = records(b);
    EXPECT_EQ(lost(seen, last), 0);
    const size_t starts = cuts.size() + 1;
    EXPECT_EQ(b.power_losses(), cuts.size());
    EXPECT_EQ(b.restarts(), 0u);
    EXPECT_EQ(count(b.console(), "END SETUP"), starts);
    EXPECT_EQ(count(b.console(), "\t\tIncidencia:15\t"), starts);
    EXPECT_EQ(code15(last), static_cast<int>(starts));
    EXPECT_EQ(b.transponder().mmsi(), kOldMmsi);
    EXPECT_GE(cuts.size(), 30u);
}
