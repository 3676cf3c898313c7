// The ARMv6-M core against a small Thumb image (core_image.S): exception
// entry and return, nesting, PRIMASK, SysTick, the bus to peripherals, each
// kind of fault, SYSRESETREQ, cycle counts, and how fast it runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core.h"
#include "elf.h"
#include "host/timebase.h"
#include "no_wires.h"

namespace zchip {
namespace {

using zplat::kMs;
using zplat::kNever;
using zplat::tb;

class TestChip : public Chip {
public:
    Core* core = nullptr;
    std::vector<std::string> resets;
    std::vector<std::string> reports;

    vtime now() const override { return tb.now; }
    uint32_t pc() const override { return core ? core->pc() : 0; }
    void schedule(vtime at, std::function<void()>) override { tb.due = std::min(tb.due, at); }
    void set_irq(uint8_t line, bool raised) override { core->set_irq(line, raised); }
    void system_reset(const std::string& cause) override {
        resets.push_back(cause);
        core->reset();
    }
    void forbidden(const std::string& what) override { reports.push_back(what); }
    void cpu_clock_changed() override {}
    Wires& wires() override { return wires_; }

private:
    NoWires wires_;
};

// At 0x40000000: offset 0 raises the line written, 4 lowers it, 0x20 is a
// bus error, 0x24 marks the time; every other access is recorded.
class TestDevice : public Peripheral {
public:
    struct Access {
        bool write;
        uint32_t offset;
        unsigned width;
        uint32_t value;
        uint32_t pc;
    };
    struct Mark {
        vtime at;
        uint64_t cycles;
    };
    explicit TestDevice(TestChip& chip) : Peripheral("TEST", 0x40000000u, 0x100), chip_(chip) {}

    bool read(uint32_t offset, unsigned width, uint32_t& value) override {
        if (offset == 0x20) return false;
        value = (0xA5000000u | offset << 8 | width) & (width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1);
        accesses.push_back({false, offset, width, value, chip_.pc()});
        return true;
    }
    bool write(uint32_t offset, unsigned width, uint32_t value) override {
        switch (offset) {
        case 0x00:
            chip_.set_irq(static_cast<uint8_t>(value), true);
            return true;
        case 0x04:
            chip_.set_irq(static_cast<uint8_t>(value), false);
            return true;
        case 0x20:
            return false;
        case 0x24:
            marks.push_back({tb.now, chip_.core->cycles()});
            return true;
        default:
            accesses.push_back({true, offset, width, value, chip_.pc()});
            return true;
        }
    }
    void reset() override {}

    std::vector<Access> accesses;
    std::vector<Mark> marks;

private:
    TestChip& chip_;
};

class CoreTest : public ::testing::Test {
protected:
    CoreTest() {
        tb.now = 0;
        tb.due = kNever;
        tb.host = nullptr;
        chip.core = &core;
    }

    void SetUp() override {
#ifndef ZELMORA_CORE_IMAGE
        GTEST_SKIP() << "no arm-none-eabi-gcc, no test image";
#else
        image = Elf::read_file(ZELMORA_CORE_IMAGE);
        core.load(image);
        core.map(dev);
        core.set_cpu_hz(8e6);
#endif
    }

    uint32_t sym(const char* name) const {
        const auto v = image.symbol(name);
        EXPECT_TRUE(v.has_value()) << name;
        return v.value_or(0);
    }
    uint32_t word(uint32_t addr) const {
        uint8_t b[4] = {};
        EXPECT_TRUE(core.read_memory(addr, b, 4));
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
    void put(uint32_t addr, uint32_t v) {
        const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 24)};
        ASSERT_TRUE(core.write_memory(addr, b, 4));
    }
    void expect_skipping_changes_nothing(int n, size_t marks);
    void start(uint32_t test_case) {
        put(sym("test_case"), test_case);
        put(sym("log_count"), 0);
        put(sym("tick_count"), 0);
        core.reset();
        core.paint_stack();
    }
    std::vector<uint32_t> log() const {
        const uint32_t at = sym("log_count");
        std::vector<uint32_t> v;
        for (uint32_t i = 0, n = std::min<uint32_t>(word(at), 64); i < n; ++i) v.push_back(word(at + 4 * (i + 1)));
        return v;
    }
    Core::Stop run_for(vtime d) {
        const vtime until = tb.now + d;
        Core::Stop s;
        do s = core.run(until);
        while (s == Core::Stop::Due);
        return s;
    }

    TestChip chip;
    Core core{chip};
    TestDevice dev{chip};
    Elf image;
};

TEST_F(CoreTest, ExceptionEntryStacksTheFrameAndReturnRestoresIt) {
    start(1);
    ASSERT_EQ(run_for(kMs), Core::Stop::Until) << core.describe_fault();
    const auto l = log();
    ASSERT_EQ(l.size(), 8u);
    EXPECT_EQ(l[0], 16u + 3);             // IPSR: line 3
    EXPECT_EQ(l[1], 0xFFFFFFF9u);         // EXC_RETURN: Thread mode, MSP
    const uint32_t sp = l[2];
    EXPECT_EQ(sp, 0x20008000u - 32);      // 8-byte aligned already: no padding
    const uint32_t expect[7] = {0x10, 0x11, 0x12, 0x13, 0x1C, 0x0BADC0DE, sym("frame_ret")};
    for (int k = 0; k < 7; ++k) EXPECT_EQ(word(sp + 4 * k), expect[k]) << "frame word " << k;
    const uint32_t xpsr = word(sp + 28);
    EXPECT_EQ(xpsr & 0x1FF, 0u);
    EXPECT_NE(xpsr & (1u << 24), 0u);     // T
    EXPECT_EQ(xpsr & (1u << 9), 0u);
    // Returned with R0-R3 and R12 as stacked, in Thread mode on the same stack.
    EXPECT_EQ(std::vector<uint32_t>(l.begin() + 3, l.end()), (std::vector<uint32_t>{0x10, 0x11, 0x12, 0x13, 0x1C}));
    EXPECT_EQ(core.reg(Core::Reg::SP), 0x20008000u);
    EXPECT_EQ(core.reg(Core::Reg::XPSR) & 0x1FF, 0u);
    EXPECT_EQ(core.stats().taken[19], 1u);
    EXPECT_GT(core.stats().longest_cycles[19], 2u * Core::kEntryCycles);
    EXPECT_EQ(core.stack_high_water(), sp);
    EXPECT_EQ(core.stack_headroom(), sp - sym("__bss_end"));
}

TEST_F(CoreTest, FramesAlignToEightBytesAndUseTheProcessStack) {
    start(7);
    ASSERT_EQ(run_for(kMs), Core::Stop::Until) << core.describe_fault();
    // SP 0x20007FFC: the frame goes 4 bytes lower, xPSR bit 9 tells.
    EXPECT_EQ(log(), (std::vector<uint32_t>{19, 0xFFFFFFF9u, 0x20007FD8u, 0x20007FFCu}));
    EXPECT_NE(word(0x20007FD8u + 28) & (1u << 9), 0u);

    start(8);
    ASSERT_EQ(run_for(kMs), Core::Stop::Until) << core.describe_fault();
    // Thread mode on PSP: the frame there, the handler on MSP, back on PSP.
    EXPECT_EQ(log(), (std::vector<uint32_t>{19, 0xFFFFFFFDu, 0x20008000u, 0x20007000u, 2}));
    EXPECT_EQ(word(0x20007000u - 32 + 24), sym("psp_ret"));
}

TEST_F(CoreTest, HigherPriorityPreemptsAndEqualPriorityWaits) {
    start(2);
    ASSERT_EQ(run_for(kMs), Core::Stop::Until) << core.describe_fault();
    // Line 0 (0xC0) runs, raises 2 (0xC0, waits) and 1 (0x40, preempts, sees
    // EXC_RETURN to Handler mode); 2 runs after 0, then Thread mode again.
    EXPECT_EQ(log(), (std::vector<uint32_t>{0x10, 0x11, 0x21, 0xFFFFFFF1u, 0x12, 0x22, 0xAA}));
    EXPECT_EQ(core.stats().taken[16], 1u);
    EXPECT_EQ(core.stats().taken[17], 1u);
    EXPECT_EQ(core.stats().taken[18], 1u);
    // Line 0's run includes line 1's.
    EXPECT_GT(core.stats().longest_cycles[16], core.stats().longest_cycles[17]);
}

TEST_F(CoreTest, PrimaskHoldsAnInterruptUntilCpsie) {
    start(3);
    ASSERT_EQ(run_for(kMs), Core::Stop::Until) << core.describe_fault();
    EXPECT_EQ(log(), (std::vector<uint32_t>{0x30, 0x34, 0x31}));
}

TEST_F(CoreTest, SysTickPeriodIsRvrPlusOneCpuCycles) {
    start(4);
    ASSERT_EQ(run_for(10 * kMs + kMs / 2), Core::Stop::Until) << core.describe_fault();
    EXPECT_EQ(word(sym("tick_count")), 10u);   // every 8000 cycles at 8 MHz: 1 ms
    EXPECT_EQ(core.stats().taken[15], 10u);
    // At 4 MHz the same 8000 cycles last 2 ms: 11.5, 13.5, ... 19.5 ms.
    core.set_cpu_hz(4e6);
    ASSERT_EQ(run_for(10 * kMs + kMs / 2), Core::Stop::Until);
    EXPECT_EQ(word(sym("tick_count")), 15u);
}

TEST_F(CoreTest, WfiSleepsUntilTheNextInterrupt) {
    start(5);
    ASSERT_EQ(run_for(10 * kMs + kMs / 2), Core::Stop::Until) << core.describe_fault();
    EXPECT_EQ(word(sym("tick_count")), 10u);
    EXPECT_TRUE(core.sleeping());
    EXPECT_LT(core.stats().instructions, 400u);
    EXPECT_GT(core.stats().sleep_cycles, 80000u);
    EXPECT_EQ(tb.now, 10 * kMs + kMs / 2);
}

// A loop that only polls the tick skips to each interrupt; with skipping
// off it runs every round. Both see each tick at the same cycle.
// Case `n` for 7 ms, stopped on the way as the board's events stop it, with
// skipping off and on: everything but the wall time must come out the same.
void CoreTest::expect_skipping_changes_nothing(int n, size_t marks) {
    struct Run {
        std::vector<std::pair<vtime, uint64_t>> marks;
        uint64_t instructions, cycles, idle, end_cycles;
        vtime end;
        uint32_t pc;
    };
    auto go = [&](bool skip) {
        tb.now = 0;
        tb.due = kNever;
        dev.marks.clear();
        core.set_idle_skip(skip);
        start(n);
        const uint64_t c0 = core.cycles();
        const Core::Stats s0 = core.stats();
        for (vtime t = kMs / 3; t < 7 * kMs; t += kMs / 3) EXPECT_EQ(run_for(t - tb.now), Core::Stop::Until);
        Run r{{}, core.stats().instructions - s0.instructions, core.stats().cycles - s0.cycles,
              core.stats().idle_cycles - s0.idle_cycles, core.cycles() - c0, tb.now, core.reg(Core::Reg::PC)};
        for (const auto& m : dev.marks) r.marks.emplace_back(m.at, m.cycles - c0);
        return r;
    };
    const Run off = go(false), on = go(true);
    ASSERT_EQ(off.marks.size(), marks);
    EXPECT_EQ(on.marks, off.marks);
    EXPECT_EQ(on.instructions, off.instructions);
    EXPECT_EQ(on.cycles, off.cycles);
    EXPECT_EQ(on.end_cycles, off.end_cycles);
    EXPECT_EQ(on.end, off.end);
    EXPECT_EQ(on.pc, off.pc);
    EXPECT_EQ(off.idle, 0u);
    // Nearly all of the 7 ms is polling: skipped.
    EXPECT_GT(on.idle, on.cycles * 9 / 10);
}

TEST_F(CoreTest, APollingLoopSkipsToTheNextInterruptAsIfItHadRun) {
    expect_skipping_changes_nothing(26, 5);
    EXPECT_EQ(word(sym("tick_count")), 6u);
    // Storing to the stack the value already there each round.
    expect_skipping_changes_nothing(28, 5);
}

// Passes of the main loop store (the same values) and come back with the
// registers and SRAM as they were: skipped whole, as the polling loop is.
TEST_F(CoreTest, MainLoopPassesThatChangeNothingSkipAsIfTheyHadRun) {
    expect_skipping_changes_nothing(27, 6);
    EXPECT_EQ(word(sym("scratch")), 6u);
    // Passes comparing the tick with the last time they acted: the record
    // fits over the ticks that leave the comparison as it was, not beyond.
    expect_skipping_changes_nothing(29, 2);
    EXPECT_EQ(word(sym("scratch") + 4), 6u);
}

TEST_F(CoreTest, PeripheralAccessesKeepWidthOffsetAndPc) {
    start(6);
    ASSERT_EQ(run_for(kMs), Core::Stop::Until) << core.describe_fault();
    ASSERT_EQ(dev.accesses.size(), 6u);
    struct Want {
        bool write;
        uint32_t offset;
        unsigned width;
        uint32_t value;
        const char* at;
    };
    const Want want[6] = {{true, 0x10, 4, 0x11223344, "mmio_str"},   {true, 0x16, 2, 0x3344, "mmio_strh"},
                          {true, 0x1B, 1, 0x44, "mmio_strb"},        {false, 0x10, 4, 0xA5001004, "mmio_ldr"},
                          {false, 0x12, 2, 0x1202, "mmio_ldrh"},     {false, 0x13, 1, 0x01, "mmio_ldrb"}};
    for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE(want[k].at);
        EXPECT_EQ(dev.accesses[k].write, want[k].write);
        EXPECT_EQ(dev.accesses[k].offset, want[k].offset);
        EXPECT_EQ(dev.accesses[k].width, want[k].width);
        EXPECT_EQ(dev.accesses[k].value, want[k].value);
        EXPECT_EQ(dev.accesses[k].pc, sym(want[k].at));
    }
    EXPECT_EQ(log(), (std::vector<uint32_t>{0xA5001004u, 0x1202, 0x01}));
}

TEST_F(CoreTest, EachFaultStopsAtTheFaultingInstruction) {
    struct Case {
        uint32_t number;
        const char* kind;
        const char* at;      // symbol of the expected PC, or null
        uint32_t address;    // else the expected PC
    };
    const Case cases[] = {
        {10, "unaligned word load at 0x20000101", "fault_unaligned_load", 0},
        {11, "unaligned halfword store", "fault_unaligned_store", 0},
        {12, "non-Thumb address", "even_target", 0},
        {13, "read of unmapped address 0x30000000", "fault_unmapped_read", 0},
        {14, "write to unmapped address 0x30000004", "fault_unmapped_write", 0},
        {15, "write to flash at 0x00000100", "fault_flash_write", 0},
        {16, "execution outside flash and SRAM at 0x40000000", nullptr, 0x40000000},
        {17, "execution outside flash and SRAM at 0x30000000", nullptr, 0x30000000},
        {18, "bus error: 4-byte read of 0x40000020 (TEST offset 0x20)", "fault_bus_error", 0},
        {19, "stack overflow", "stack_next", 0},
        {21, "undefined instruction", "fault_udf", 0},
        {25, "stack overflow", "stack_stop_loop", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        start(c.number);
        ASSERT_EQ(run_for(kMs), Core::Stop::Fault);
        const Core::Fault* f = core.fault();
        ASSERT_NE(f, nullptr);
        EXPECT_NE(f->kind.find(c.kind), std::string::npos) << f->kind;
        const uint32_t pc = c.at ? sym(c.at) : c.address;
        EXPECT_EQ(f->pc, pc);
        EXPECT_FALSE(f->lockup);
        EXPECT_TRUE(f->stacked);
        EXPECT_EQ(f->frame[6], pc);
        EXPECT_EQ(word(f->frame_at + 24), pc);
        // The core took its HardFault.
        EXPECT_EQ(core.reg(Core::Reg::XPSR) & 0x1FF, 3u);
        EXPECT_EQ(core.reg(Core::Reg::PC), sym("HardFault_Handler"));
        if (c.at) {
            EXPECT_NE(core.describe_fault().find(c.at), std::string::npos) << core.describe_fault();
        }
    }
    // The unaligned store left memory as it was.
    EXPECT_EQ(word(sym("scratch")), 0u);
}

TEST_F(CoreTest, AFaultInTheHardFaultHandlerLocksUp) {
    start(20);
    ASSERT_EQ(run_for(kMs), Core::Stop::Fault);
    EXPECT_EQ(core.fault()->pc, sym("lockup_first"));
    ASSERT_EQ(run_for(kMs), Core::Stop::Fault);
    EXPECT_TRUE(core.fault()->lockup);
    EXPECT_EQ(core.fault()->pc, sym("hardfault_bad"));
    EXPECT_NE(core.describe_fault().find("LOCKUP"), std::string::npos);
    EXPECT_TRUE(core.locked_up());
    const uint64_t executed = core.stats().instructions;
    EXPECT_EQ(run_for(kMs), Core::Stop::Until);
    EXPECT_EQ(core.stats().instructions, executed);
}

TEST_F(CoreTest, SvcIsTakenAndEscalatesWhenMasked) {
    start(24);
    ASSERT_EQ(run_for(kMs), Core::Stop::Fault);
    EXPECT_EQ(log(), (std::vector<uint32_t>{11, 0x55}));
    EXPECT_NE(core.fault()->kind.find("SVC"), std::string::npos);
    EXPECT_EQ(core.fault()->pc, sym("svc_masked"));
}

TEST_F(CoreTest, SysResetReqResetsTheChip) {
    start(22);
    ASSERT_EQ(run_for(kMs), Core::Stop::Reset);
    EXPECT_EQ(chip.resets, (std::vector<std::string>{"SYSRESETREQ"}));
    EXPECT_EQ(core.reg(Core::Reg::PC), sym("Reset_Handler"));
    EXPECT_EQ(core.reg(Core::Reg::SP), 0x20008000u);
}

TEST_F(CoreTest, CyclesOfAKnownLoop) {
    start(23);
    ASSERT_EQ(run_for(2 * kMs), Core::Stop::Until) << core.describe_fault();
    ASSERT_EQ(dev.marks.size(), 2u);
    // 1000 passes of 8 cycles, the last branch not taken: 7999 on the chip.
    const uint64_t cycles = dev.marks[1].cycles - dev.marks[0].cycles;
    EXPECT_NEAR(static_cast<double>(cycles), 7999.0, 7999.0 * 0.01);
    EXPECT_EQ(dev.marks[1].at - dev.marks[0].at, cycles * 125);   // 8 MHz
}

TEST_F(CoreTest, CoresComeAndGo) {
    for (int k = 0; k < 8; ++k) {
        TestChip other_chip;
        Core other(other_chip);
        other_chip.core = &other;
        other.load(image);
        uint32_t one = 1;
        ASSERT_TRUE(other.write_memory(sym("test_case"), &one, 4));
        other.reset();
        tb.now = 0;
        EXPECT_EQ(other.run(kMs), Core::Stop::Until);
        EXPECT_EQ(other.stats().taken[19], 1u);
    }
}

// Not a check: how fast the core runs a busy loop and a loop with calls and
// memory accesses, in instructions per wall-clock second.
TEST_F(CoreTest, SpeedFigure) {
    for (uint32_t c : {30u, 31u}) {
        start(c);
        const uint64_t before = core.stats().instructions;
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(run_for(2000 * kMs), Core::Stop::Until) << core.describe_fault();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double n = static_cast<double>(core.stats().instructions - before);
        std::printf("[ speed    ] %s: %.1f M instructions in %.3f s: %.1f MIPS\n",
                    c == 30 ? "busy loop" : "calls and memory", n / 1e6, wall, n / wall / 1e6);
    }
}

}  // namespace
}  // namespace zchip
