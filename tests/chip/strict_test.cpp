// Images that break the rules the chip model enforces (strict_image.S, one
// case per run): each must meet what the datasheet says happens.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "adc.h"
#include "board.h"
#include "unit.h"

namespace {

using zplat::kMs;

#ifdef ZELMORA_STRICT_IMAGE
#define NEED_STRICT_IMAGE() (void)0
const char* const kImage = ZELMORA_STRICT_IMAGE;
#else
#define NEED_STRICT_IMAGE() GTEST_SKIP() << "no arm-none-eabi-gcc: the strictness image was not built"
const char* const kImage = "";
#endif

constexpr uint8_t kBatteryLine = 39;   // AIN8 on PB00

// The image on the virtual board with case `selector`, the battery line held at `volts`.
struct ImageRun {
    zsim::Board board;
    std::unique_ptr<zchip::ChipUnit> unit;

    ImageRun(uint32_t selector, double volts = 1.5) {
        board.override_analog(kBatteryLine, volts);
        unit = std::make_unique<zchip::ChipUnit>(board, kImage);
        EXPECT_TRUE(unit->core().write_memory(symbol("selector"), &selector, 4));
    }
    uint32_t symbol(const char* name) { return unit->core().image().symbol(name).value_or(0); }
    uint32_t result(unsigned index) {
        uint32_t v = 0;
        EXPECT_TRUE(unit->core().read_memory(symbol("results") + 4 * index, &v, 4));
        return v;
    }
    std::string pc_at() { return unit->core().symbol_at(unit->core().pc()); }
};

}  // namespace

TEST(ChipStrict, Osc16mOnDemandThatNobodyRequestsNeverBecomesReady) {
    NEED_STRICT_IMAGE();
    // Generator 0 on OSCULP32K, OSC16M re-enabled with ONDEMAND: nothing
    // requests it, so OSC16MRDY never comes. No watchdog: the run ends by time.
    ImageRun r(1);
    r.board.run_for(20 * kMs);
    EXPECT_FALSE(r.unit->faulted()) << r.unit->fault_report();
    EXPECT_EQ(r.result(0), 0u);
    EXPECT_EQ(r.pc_at().rfind("wait_osc16mrdy", 0), 0u) << r.pc_at();
    EXPECT_FALSE(r.unit->peripherals().oscctrl().osc16m_running());
    EXPECT_DOUBLE_EQ(r.unit->peripherals().cpu_hz(), 32768.0);
}

TEST(ChipStrict, TheBatteryLineReadsWrongUntilCalibHoldsTheFactoryTrims) {
    NEED_STRICT_IMAGE();
    const double volts = 1.5;
    ImageRun r(2, volts);
    r.board.run_for(20 * kMs);
    ASSERT_FALSE(r.unit->faulted()) << r.unit->fault_report();
    ASSERT_EQ(r.result(0), 1u);
    // 12 bits of VDDANA (3.3 V); the uncalibrated converter as documented.
    const double right = volts / 3.3 * 4096;
    const double wrong =
        zchip::Adc::uncalibrated_volts(volts, 0) / 3.3 * 4096;   // CALIB at its reset value
    EXPECT_NEAR(r.result(1), wrong, 1.0);
    EXPECT_NEAR(r.result(2), right, 1.0);
    EXPECT_GT((right - r.result(1)) / right, 0.04);   // several percent: forgetting the load shows
}

TEST(ChipStrict, TheCoreRefusesWhatItForbidsWithTheFaultReport) {
    NEED_STRICT_IMAGE();
    {
        // A byte store to an NVIC priority register: word accesses only.
        ImageRun r(3);
        r.board.run_for(5 * kMs);
        ASSERT_TRUE(r.unit->faulted());
        EXPECT_EQ(r.result(0), 0u);
        for (const char* s : {"bus error: 1-byte write to 0xE000E41B", "NVIC_IPR6", "8-bit write", "PC 0x",
                              "set_priority_byte+0x4"})
            EXPECT_NE(r.unit->fault_report().find(s), std::string::npos) << s << "\n" << r.unit->fault_report();
    }
    {
        // The NVM software calibration area reads; a write is a bus error.
        ImageRun r(4);
        r.board.run_for(5 * kMs);
        ASSERT_TRUE(r.unit->faulted());
        EXPECT_NE(r.unit->fault_report().find("write to the NVM software calibration row at 0x00806020"),
                  std::string::npos)
            << r.unit->fault_report();
    }
}
