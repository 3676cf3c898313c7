// The core's Thumb semantics against an oracle: short random sequences of
// ARMv6-M data processing, loads and stores (fixed seed), run on the core
// and on Unicorn's Cortex-M0, must leave the same R0-R12, SP, flags and
// scratch RAM. Where the two differ, the ARMv6-M ARM decides.
#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core.h"
#include "host/timebase.h"
#include "no_wires.h"

namespace zchip {
namespace {

using zplat::tb;

constexpr uint32_t kCode = 0x1000, kCodeSpan = 0x800;   // the sequence, then a literal pool
// With eight PUSH or POP at most, SP-relative accesses stay in the scratch area too.
constexpr uint32_t kScratch = 0x20001000u, kScratchSize = 0x800;
constexpr uint32_t kStack = kScratch + 0x200;
constexpr unsigned kBase = 7;   // R7 points at kScratch throughout
constexpr int kMaxUnits = 8;    // instructions, or a set-up and its access

class NoChip : public Chip {
public:
    vtime now() const override { return tb.now; }
    uint32_t pc() const override { return 0; }
    void schedule(vtime, std::function<void()>) override {}
    void set_irq(uint8_t, bool) override {}
    void system_reset(const std::string&) override {}
    void forbidden(const std::string&) override {}
    void cpu_clock_changed() override {}
    Wires& wires() override { return wires_; }

private:
    NoWires wires_;
};

struct State {
    uint32_t r[15];   // R0-R12, SP, LR
    uint32_t flags;   // NZCV in bits 31..28
    std::vector<uint8_t> ram;
};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}
    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    uint32_t word() { return static_cast<uint32_t>(rng_()); }
    void fill(std::vector<uint8_t>& bytes) {
        for (size_t k = 0; k < bytes.size(); k += 4) {
            const uint32_t w = word();
            for (size_t j = 0; j < 4 && k + j < bytes.size(); ++j) bytes[k + j] = static_cast<uint8_t>(w >> (8 * j));
        }
    }
    uint32_t value() {
        static const uint32_t kEdges[] = {0, 1, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu,
                                          0x80000001u, 0xFFFF, 0x8000, 0xFF, 0x80};
        switch (below(4)) {
        case 0: return kEdges[below(10)];
        case 1: return (word() & ~0xFFu) | (below(2) ? below(41) : 31 + below(3));   // a shift amount in the low byte
        case 2: return below(41);
        default: return word();
        }
    }
    // One instruction (or a set-up and the access it serves) onto c;
    // returns how many instructions.
    int emit(std::vector<uint16_t>& c, bool memory) {
        const auto op = [&c](uint32_t h) { c.push_back(static_cast<uint16_t>(h)); };
        const unsigned d = below(7), m = below(8), n = below(8);   // R7 only read
        unsigned hi = below(12);                                    // R0-R6, R8-R12
        if (hi >= kBase) ++hi;
        switch (memory ? below(19) : below(9)) {
        case 0: op(below(3) << 11 | below(32) << 6 | m << 3 | d); return 1;   // LSLS, LSRS, ASRS #imm
        case 1: op(0x1800 | below(4) << 9 | m << 6 | n << 3 | d); return 1;    // ADDS, SUBS Rm or #imm3
        case 2: op(0x2000 | below(4) << 11 | d << 8 | below(256)); return 1;   // MOVS, CMP, ADDS, SUBS #imm8
        case 3:
        case 4: {   // ANDS..MVNS; TST, CMP, CMN may name R7
            const unsigned k = below(16);
            op(0x4000 | k << 6 | m << 3 | (k == 8 || k == 10 || k == 11 ? n : d));
            return 1;
        }
        case 5: {   // ADD, CMP, MOV with high registers; Rm may be SP, LR, and PC but for CMP
            const unsigned k = below(3);
            unsigned rd = hi, rm = below(16);
            if (k == 1) {
                rd = below(15), rm = below(15);
                if (rd < 8 && rm < 8) rm += 7;   // both low: unpredictable
            }
            op(0x4400 | k << 8 | (rd & 8) << 4 | rm << 3 | (rd & 7));
            return 1;
        }
        case 6: op(0xB200 | below(4) << 6 | m << 3 | d); return 1;                     // SXTH, SXTB, UXTH, UXTB
        case 7: op(0xBA00 | (below(2) ? below(2) : 3) << 6 | m << 3 | d); return 1;   // REV, REV16, REVSH
        case 8:   // MRS Rd, APSR..xPSR; MSR APSR, Rn
            if (below(2)) {
                op(0xF3EF), op(0x8000 | hi << 8 | below(4));
            } else {
                op(0xF380 | below(13)), op(0x8800 | below(4));
            }
            return 1;
        case 9:
        case 10: {   // STR, LDR, STRB, LDRB, STRH, LDRH [R7, #imm5]
            static const uint16_t kOps[] = {0x6000, 0x7000, 0x8000};
            const unsigned load = below(2);
            op(kOps[below(3)] | load << 11 | below(32) << 6 | kBase << 3 | (load ? d : m));
            return 1;
        }
        case 11:
        case 12: {   // every width and sign by register offset, the offset set by MOVS just before
            static const unsigned kWidth[] = {4, 2, 1, 1, 4, 2, 1, 2};
            const unsigned k = below(8), rm = below(7);
            op(0x2000 | rm << 8 | (below(256) & ~(kWidth[k] - 1)));
            op(0x5000 | k << 9 | rm << 6 | kBase << 3 | (k < 3 ? m : d));
            return 2;
        }
        case 13: {   // STR, LDR [SP, #imm8]
            const unsigned load = below(2);
            op(0x9000 | load << 11 | (load ? d : m) << 8 | below(256));
            return 1;
        }
        case 14: {   // LDR [PC, #imm8], ADR, ADD Rd, SP, #imm8
            static const uint16_t kOps[] = {0x4800, 0xA000, 0xA800};
            op(kOps[below(3)] | d << 8 | below(256));
            return 1;
        }
        case 15: {   // PUSH {list, LR}
            const unsigned lr = below(2), list = word() & 0xFF;
            op(0xB400 | lr << 8 | (list == 0 && !lr ? 1u << m : list));
            return 1;
        }
        case 16: {   // POP {list}, R7 kept
            const unsigned list = word() & 0x7F;
            op(0xBC00 | (list ? list : 1u << d));
            return 1;
        }
        case 17: {   // STM Rb!, {list}, Rb a copy of R7: in the list only as its lowest (else unpredictable)
            unsigned list = word() & 0xFF;
            if (list & ((1u << d) - 1)) list &= ~(1u << d);
            op(0x4600 | kBase << 3 | d), op(0xC000 | d << 8 | (list ? list : 1u << kBase));
            return 2;
        }
        default: {   // LDM Rb!, {list}: written back unless Rb is in the list
            const unsigned list = word() & 0x7F;
            op(0x4600 | kBase << 3 | d), op(0xC800 | d << 8 | (list ? list : 1u << d));
            return 2;
        }
        }
    }

private:
    std::mt19937 rng_;
};

int uc_id(int k) { return k < 13 ? UC_ARM_REG_R0 + k : k == 13 ? UC_ARM_REG_SP : UC_ARM_REG_LR; }

class ThumbOracle : public ::testing::Test {
protected:
    ThumbOracle() {
        tb.now = 0;
        tb.due = zplat::kNever;
        tb.host = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_), UC_ERR_OK);
        ASSERT_EQ(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M0), UC_ERR_OK);
        ASSERT_EQ(uc_mem_map(uc_, 0, 0x10000, UC_PROT_READ | UC_PROT_EXEC), UC_ERR_OK);
        ASSERT_EQ(uc_mem_map(uc_, Core::kSramBase, Core::kSramSize, UC_PROT_ALL), UC_ERR_OK);
        // Unicorn's MSR sets a Q flag (xPSR bit 27) the ARMv6-M APSR does not have: cleared before each MRS.
        ASSERT_EQ(uc_hook_add(uc_, &hook_, UC_HOOK_CODE, reinterpret_cast<void*>(&no_q), nullptr, kCode,
                              kCode + kCodeSpan),
                  UC_ERR_OK);
    }
    void TearDown() override {
        if (uc_) uc_close(uc_);
    }

    // The sequence from `from` on the core, up to the closing `b .`.
    bool on_core(const std::vector<uint8_t>& flash, uint32_t end, const State& from, State& to, std::string& why) {
        core_.reset();
        core_.write_memory(kCode, flash.data(), flash.size());
        core_.write_memory(kScratch, from.ram.data(), from.ram.size());
        for (int k = 0; k < 15; ++k) core_.set_reg(static_cast<Core::Reg>(k), from.r[k]);
        core_.set_reg(Core::Reg::XPSR, from.flags | 1u << 24);
        core_.set_reg(Core::Reg::PC, kCode);
        const Core::Stop stop = core_.run(tb.now + zplat::kMs / 10);
        for (int k = 0; k < 15; ++k) to.r[k] = core_.reg(static_cast<Core::Reg>(k));
        to.flags = core_.reg(Core::Reg::XPSR) & 0xF0000000u;
        core_.read_memory(kScratch, to.ram.data(), kScratchSize);
        if (stop == Core::Stop::Until && core_.reg(Core::Reg::PC) == end) return true;
        why = "the core did not reach the end: " + core_.describe_fault();
        return false;
    }

    // The same on the oracle, count instructions.
    bool on_oracle(const std::vector<uint8_t>& flash, uint32_t end, int count, const State& from, State& to,
                   std::string& why) {
        uc_mem_write(uc_, kCode, flash.data(), flash.size());
        uc_ctl_remove_cache(uc_, kCode, kCode + kCodeSpan);
        uc_mem_write(uc_, kScratch, from.ram.data(), from.ram.size());
        for (int k = 0; k < 15; ++k) uc_reg_write(uc_, uc_id(k), &from.r[k]);
        uint32_t xpsr = from.flags | 1u << 24, pc = 0;
        uc_reg_write(uc_, UC_ARM_REG_XPSR, &xpsr);
        const uc_err e = uc_emu_start(uc_, kCode | 1, end, 0, static_cast<size_t>(count));
        for (int k = 0; k < 15; ++k) uc_reg_read(uc_, uc_id(k), &to.r[k]);
        uc_reg_read(uc_, UC_ARM_REG_XPSR, &xpsr);
        uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
        to.flags = xpsr & 0xF0000000u;
        uc_mem_read(uc_, kScratch, to.ram.data(), kScratchSize);
        if (e == UC_ERR_OK && pc == end) return true;
        why = std::string("the oracle did not reach the end: ") + uc_strerror(e);
        return false;
    }

    // Differences between the two, "" when none.
    static std::string compare(const State& ours, const State& theirs) {
        std::string why;
        char line[96];
        for (int k = 0; k < 14; ++k) {
            if (ours.r[k] == theirs.r[k]) continue;
            std::snprintf(line, sizeof line, "R%d: core %08X, oracle %08X\n", k, ours.r[k], theirs.r[k]);
            why += line;
        }
        if (ours.flags != theirs.flags) {
            std::snprintf(line, sizeof line, "NZCV: core %X, oracle %X\n", ours.flags >> 28, theirs.flags >> 28);
            why += line;
        }
        if (ours.ram != theirs.ram) {
            const auto diff = std::mismatch(ours.ram.begin(), ours.ram.end(), theirs.ram.begin());
            std::snprintf(line, sizeof line, "%08X: core %02X, oracle %02X (the first byte to differ)\n",
                          kScratch + static_cast<uint32_t>(diff.first - ours.ram.begin()), *diff.first, *diff.second);
            why += line;
        }
        return why;
    }

    void run_sequences(int sequences, bool memory) {
        int failures = 0;
        for (int s = 0; s < sequences && failures < 5; ++s) {
            State from{{}, gen_.word() & 0xF0000000u, std::vector<uint8_t>(kScratchSize)};
            for (int k = 0; k < 13; ++k) from.r[k] = gen_.value();
            from.r[kBase] = kScratch;
            from.r[13] = kStack;
            from.r[14] = gen_.value();
            gen_.fill(from.ram);
            std::vector<uint16_t> code;
            int count = 0;
            for (int n = 1 + static_cast<int>(gen_.below(kMaxUnits)); n > 0; --n) count += gen_.emit(code, memory);
            code.push_back(0xE7FE);   // b .
            const uint32_t end = kCode + 2 * static_cast<uint32_t>(code.size()) - 2;
            std::vector<uint8_t> flash(kCodeSpan);   // the code, then a literal pool
            gen_.fill(flash);
            for (size_t k = 0; k < code.size(); ++k)
                flash[2 * k] = static_cast<uint8_t>(code[k]), flash[2 * k + 1] = static_cast<uint8_t>(code[k] >> 8);

            State ours = from, theirs = from;
            std::string why;
            if (on_core(flash, end, from, ours, why) && on_oracle(flash, end, count, from, theirs, why) &&
                (why = compare(ours, theirs)).empty())
                continue;
            ++failures;
            std::string listing;
            char item[16];
            for (const uint16_t h : code) listing += (std::snprintf(item, sizeof item, " %04X", h), item);
            for (int k = 0; k < 15; ++k)
                listing += (std::snprintf(item, sizeof item, k % 8 ? " %08X" : "\n %08X", from.r[k]), item);
            ADD_FAILURE() << "sequence " << s << ":" << listing << "\n NZCV " << (from.flags >> 28) << "\n" << why;
        }
    }

    static void no_q(uc_engine* uc, uint64_t address, uint32_t, void*) {
        uint8_t h[2] = {};
        uint32_t xpsr = 0;
        uc_mem_read(uc, address, h, 2);
        if (h[0] != 0xEF || h[1] != 0xF3) return;
        uc_reg_read(uc, UC_ARM_REG_XPSR, &xpsr);
        xpsr &= ~(1u << 27);
        uc_reg_write(uc, UC_ARM_REG_XPSR, &xpsr);
    }

    uc_engine* uc_ = nullptr;
    uc_hook hook_ = 0;
    NoChip chip_;
    Core core_{chip_};
    Generator gen_{20261211};
};

TEST_F(ThumbOracle, DataProcessingAgrees) { run_sequences(4000, false); }

TEST_F(ThumbOracle, LoadsAndStoresAgree) { run_sequences(4000, true); }

}  // namespace
}  // namespace zchip
