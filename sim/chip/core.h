// The chip image's CPU: an ARMv6-M (Cortex-M0+) core interpreting the
// image instruction by instruction (ARMv6-M Architecture Reference Manual,
// Thumb instruction set), with its NVIC, SysTick and SCB (nvic.h,
// systick.h), exception entry and return, faults, cycle counting and the
// virtual clock.
//
// Flash (256 KiB at 0x00000000, read-only and executable), SRAM (32 KiB
// at 0x20000000, read-write and executable) and the NVM rows (nvm.h,
// read-only data) are the core's own memory; every other access goes to the
// Peripheral mapped at its address, or is a bus error. The system control
// space takes word accesses only: a byte or halfword one is a bus error.
// Time: zplat::tb.now advances by the cycles executed at the CPU clock.
#pragma once
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bus.h"
#include "elf.h"
#include "nvic.h"

namespace zchip {

class Core : private ScsOwner {
public:
    static constexpr uint32_t kFlashBase = 0x00000000u, kFlashSize = 256u * 1024;
    static constexpr uint32_t kSramBase = 0x20000000u, kSramSize = 32u * 1024;
    static constexpr uint32_t kStackPaint = 0x5EA57AC5u;
    // Cortex-M0+ exception entry and return (Cortex-M0+ TRM, "Interrupt latency").
    static constexpr unsigned kEntryCycles = 15, kReturnCycles = 15;

    explicit Core(Chip& chip);
    ~Core() override;
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Flash and SRAM contents from the image's PT_LOAD segments, each at its
    // load address; the image's symbols for reports and the stack checks.
    void load(const Elf& image);
    // Every access in [base, base + size) goes to p (width 1, 2 or 4).
    void map(Peripheral& p);
    // Core, NVIC, SysTick and SCB to their reset state; SP and PC from words
    // 0 and 1 of the vector table. RAM is kept. Called during a register
    // access (a peripheral resetting the chip), it takes effect when the
    // instruction ends and run() returns Stop::Reset.
    void reset();
    // Fills the stack region (end of .bss up to the stack pointer) with
    // kStackPaint, for stack_high_water().
    void paint_stack();
    // NVIC input line 0..31, level-sensitive.
    void set_irq(uint8_t line, bool raised);
    // The CPU clock; later cycles advance virtual time at this rate.
    void set_cpu_hz(double hz);
    double cpu_hz() const { return hz_; }

    enum class Stop { Until, Due, Fault, Reset, Halt };
    // Runs until tb.now >= until (Until) or >= tb.due (Due: the caller
    // services the board and calls again), a fault (Fault: the core has
    // taken its HardFault, or locked up) or a reset (Reset). Pending enabled
    // unmasked interrupts are taken at the next instruction boundary (after
    // the store that raised them), and before run returns. No tail-chaining:
    // an exception pending at a return is taken after a full return (each
    // costs kEntryCycles / kReturnCycles). In WFI the clock runs on to the
    // next event; with nothing that could wake it and no limit, run returns
    // Until at once. Halt: a debugger's breakpoint, watchpoint or step
    // stopped it (halt() says which).
    Stop run(zplat::vtime until);
    // The core stalls to time t (nothing executes; the clock, and so
    // SysTick, runs on), for a caller that holds it.
    void skip_to(zplat::vtime t);

    // Idle-loop skipping (on unless ZELMORA_CHIP_IDLE_SKIP=0): a loop that
    // went round once changing no byte of memory, writing no peripheral,
    // reading only steady registers and taking no exception, back at its
    // head with the same registers, would go round
    // the same way until the next interrupt or device event; virtual time
    // jumps there by whole rounds, as if it had run. The same for passes of
    // the main loop (`loop`) that leave the registers, all of SRAM and the
    // peripherals as they were (steady reads, writes without effect); the
    // pass an event falls in starts at the last branch before it, as the
    // kept pass was traced. Off, every round runs.
    void set_idle_skip(bool on) { idle_skip_ = on; }
    bool idle_skip() const { return idle_skip_; }

    // The PC of the instruction being executed; inside a register access,
    // that of the instruction making it.
    uint32_t pc() const;

    struct Fault {
        std::string kind;
        uint32_t pc = 0, lr = 0, sp = 0;   // at the faulting instruction
        uint32_t frame[8] = {};            // R0-R3, R12, LR, return address, xPSR
        bool stacked = false;              // the frame is in memory at frame_at
        uint32_t frame_at = 0;
        uint32_t address = 0;              // data address of a faulting access
        bool lockup = false;               // a fault in the HardFault or NMI handler
    };
    // The last fault, until reset(); null when none.
    const Fault* fault() const { return has_fault_ ? &fault_ : nullptr; }
    std::string describe_fault() const;

    struct Stats {
        uint64_t instructions = 0;
        uint64_t cycles = 0;                // executed, exception entry and return included
        uint64_t sleep_cycles = 0;          // asleep in WFI, or locked up
        uint64_t idle_cycles = 0;           // polling loops and passes skipped (included in cycles)
        uint64_t taken[48] = {};            // exceptions taken, by exception number
        uint64_t longest_cycles[48] = {};   // entry to return, preempting handlers included
    };
    const Stats& stats() const {
        stats_.cycles = cycles_ - stats_.sleep_cycles;   // all the others were executed (or skipped as executed)
        return stats_;
    }
    // Every CPU clock cycle since the core was created (SysTick counts these).
    uint64_t cycles() const { return cycles_; }

    // Lowest address below the stack top whose paint was overwritten
    // (the stack's deepest point), and the RAM left between it and .bss.
    uint32_t stack_high_water() const;
    uint32_t stack_headroom() const;
    // "function+0x12" for an address of the image, "" when unknown.
    std::string symbol_at(uint32_t addr) const;

    // Inspection, for the chip report and tests.
    enum class Reg { R0, R1, R2, R3, R4, R5, R6, R7, R8, R9, R10, R11, R12, SP, LR, PC, XPSR, MSP, PSP, PRIMASK, CONTROL };
    uint32_t reg(Reg r) const;
    bool read_memory(uint32_t addr, void* out, size_t n) const;
    bool write_memory(uint32_t addr, const void* in, size_t n);
    bool sleeping() const { return sleeping_; }
    bool locked_up() const { return locked_; }
    Nvic& nvic() { return nvic_; }
    const Elf& image() const { return image_; }

    // ---- for a debugger (gdb.h); no cost while nothing is set ----
    // A breakpoint stops run() before the instruction at addr executes.
    void set_breakpoint(uint32_t addr, bool on);
    // A watchpoint stops run() after the instruction whose access of the
    // given kind touched [addr, addr + len).
    enum Watch : uint8_t { kWatchWrite = 1, kWatchRead = 2, kWatchAccess = 3 };
    void set_watchpoint(uint32_t addr, uint32_t len, Watch kind, bool on);
    // The next run() executes one instruction, or takes one exception
    // (stopping at the handler's first instruction), then returns Halt.
    void step();
    // Going on from a halt: a breakpoint at the PC lets the instruction
    // there pass once (it was reported already).
    void resume();
    struct Halt {
        enum Why : uint8_t { kNone, kBreak, kWatch, kStep } why = kNone;
        uint32_t addr = 0;     // the breakpoint's, or the data address touched
        Watch kind = kWatchWrite;
    };
    const Halt& halt() const { return halt_; }
    // Memory as the debugger's bus sees it: flash and SRAM, the NVM rows
    // (read-only) and the peripherals through their models, accessed in
    // words, halfwords or bytes as alignment and length allow. Writes to
    // flash are accepted (the debugger programs it). False: not all of it.
    bool debug_read(uint32_t addr, uint8_t* out, size_t n);
    bool debug_write(uint32_t addr, const uint8_t* in, size_t n);
    void set_reg(Reg r, uint32_t v);

private:
    struct Page;     // a page of peripheral space
    struct Watchpoint {
        uint32_t addr, len;
        Watch kind;
    };

    // ScsOwner
    uint64_t scs_cycles() const override { return cycles_; }
    void scs_changed() override { attend(); }
    void scs_systick_changed() override;
    void scs_reset_request() override;

    // Instructions from pc_; a fault one meets is taken (HardFault) and
    // that instruction has no effect on the registers.
    // The run loop's kinds: fast; a debugger's (one instruction at a time,
    // breakpoints); and one that logs each instruction of a pass being
    // kept (log_step()).
    enum { kFastLoop, kDebugLoop, kLogLoop };
    template <int kMode> void run_loop();
    bool switch_loop_ = false;
    void fault_at(uint32_t pc);
    void fault_fetch(uint32_t pc);
    void fault_undefined(uint16_t h, uint32_t pc);
    void fault_bkpt(uint32_t pc);
    void fault_svc(uint32_t pc);
    // Something the run loop must see: run_loop() returns at once.
    void attend() {
        attention_ = true;
        deadline_ = 0;
    }
    void leave() {
        stop_ = true;
        deadline_ = 0;
    }
    void execute();   // instructions until something needs the run loop
    bool exec32(uint16_t h);
    template <typename T> bool load(uint32_t addr, uint32_t& v);
    template <typename T> bool store(uint32_t addr, uint32_t v);
    bool load_slow(uint32_t addr, unsigned size, uint32_t& v);
    bool store_slow(uint32_t addr, unsigned size, uint32_t v);
    bool mmio(uint32_t addr, unsigned size, bool write, uint32_t& v);
    bool unaligned(uint32_t addr, unsigned size, bool write);
    void watch(uint32_t addr, unsigned size, bool write);
    Page* page_of(uint32_t addr);
    void touch(uint32_t sram_offset) { dirty_[sram_offset >> 12] |= uint64_t{1} << ((sram_offset >> 6) & 63); }
    void touch_all() { std::fill(std::begin(dirty_), std::end(dirty_), ~uint64_t{0}); }
    void branch(uint32_t target);       // BranchWritePC
    void bx(uint32_t target);           // BXWritePC: Thumb bit, exception return
    uint32_t add_c(uint32_t a, uint32_t b, bool carry);
    uint32_t xpsr() const;
    void set_xpsr(uint32_t v);
    uint32_t msp() const { return psp_active() ? other_sp_ : r_[13]; }
    uint32_t psp() const { return psp_active() ? r_[13] : other_sp_; }
    bool psp_active() const { return ipsr_ == 0 && (control_ & 2) != 0; }
    void set_stacks(uint32_t msp, uint32_t psp);
    void set_mode(uint32_t ipsr, uint32_t control);   // keeps MSP and PSP
    bool read32(uint32_t addr, uint32_t& v) const;
    uint16_t fetch16(uint32_t addr) const;
    const uint8_t* host(uint32_t addr, size_t n) const;
    uint8_t* host(uint32_t addr, size_t n);

    void charge(uint64_t cycles);
    void sync_time();
    void set_deadline();
    void catch_up_systick();
    uint64_t cycles_to(zplat::vtime t) const;
    void sleep_until_event();
    Stop finish(Stop s);
    Stop handle_reset();
    void do_reset();

    bool enter_exception(unsigned n, uint32_t return_pc);
    void exception_return(uint32_t exc_return);
    void raise_fault(const std::string& kind, uint32_t pc, uint32_t address = 0);
    void lockup(const std::string& kind, uint32_t pc, uint32_t address);
    bool mem_fault(const std::string& kind, uint32_t address);
    bool bus_access_fault(Page& page, uint32_t addr, unsigned size, bool write);

    Chip& chip_;
    std::vector<uint8_t> flash_, sram_;
    std::vector<uint32_t> nvm_base_;
    std::vector<std::vector<uint8_t>> nvm_;   // the NVM rows, as mapped
    Nvic nvic_;
    Elf image_;
    uint32_t bss_end_ = 0, stack_top_ = kSramBase + kSramSize;
    bool painted_ = false;
    std::map<uint32_t, std::unique_ptr<Page>> pages_;
    // Peripheral writes found idle, under the peripheral's idle_version().
    struct IdleMemo {
        const Peripheral* peripheral = nullptr;
        uint32_t addr = 0, value = 0;
        uint64_t version = 0;
        uint8_t size = 0;
    };
    IdleMemo idle_memo_[1024];
    uint32_t last_page_base_ = 1;   // never a page base
    Page* last_page_ = nullptr;

    // Architectural state (ARMv6-M ARM, "Registers").
    uint32_t r_[15] = {};      // R0-R12, SP (the stack in use), LR
    uint32_t other_sp_ = 0;    // the stack pointer not in use
    uint32_t pc_ = 0;          // the next instruction
    uint32_t cur_pc_ = 0;      // the instruction executing
    uint32_t ipsr_ = 0, control_ = 0;
    bool n_ = false, z_ = false, c_ = false, v_ = false, t_ = true;
    bool primask_ = false;

    // Time.
    double hz_ = 4e6;
    uint64_t step_ = 0;        // ns per cycle, 32.32 fixed point
    uint64_t max_chunk_ = 1;   // cycles charge() can convert at once
    uint64_t frac_ = 0;        // sub-nanosecond remainder, 0.32
    uint64_t cycles_ = 0;
    uint64_t timed_ = 0;       // cycles already added to tb.now
    uint64_t tick_at_ = UINT64_MAX;   // SysTick's next interrupt, in cycles
    uint64_t deadline_ = 0;    // execute() returns at this cycle
    zplat::vtime due_seen_ = 0;
    uint64_t tick_seen_ = 0;
    zplat::vtime until_ = 0;

    // Execution state.
    bool stop_ = false;              // leave execute() after this instruction
    bool in_exec_ = false;
    bool in_access_ = false;         // inside a peripheral's read or write
    bool attention_ = false;         // exception state changed: re-evaluate
    bool sleeping_ = false;
    bool locked_ = false;
    bool reset_request_ = false;     // SYSRESETREQ
    bool deferred_reset_ = false;    // reset() during an instruction
    struct MemFault {
        bool set = false;
        std::string kind;
        uint32_t address = 0;
    } mem_fault_;
    bool new_fault_ = false;
    bool has_fault_ = false;
    Fault fault_;
    mutable Stats stats_;
    uint64_t entry_cycle_[48] = {};
    uint32_t last_frame_ = 0;        // where the last exception entry stacked

    // The debugger's: checked only while something is set.
    bool debug_ = false;
    bool watching_ = false;
    Stop end_step();
    bool debug_access(uint32_t addr, uint8_t* data, size_t n, bool write);
    std::set<uint32_t> breakpoints_;
    std::vector<Watchpoint> watchpoints_;
    bool stepping_ = false;
    bool step_resume_ = false;       // the step only takes it past a breakpoint
    bool stepped_ = false;           // the step's instruction ran
    bool watch_hit_ = false;
    bool break_hit_ = false;
    bool skip_set_ = false;          // the breakpoint at skip_pc_ is lifted for a step
    uint32_t skip_pc_ = 0;
    Halt halt_, watch_halt_;
    // Idle-loop detection (see set_idle_skip): the head of the loop being
    // watched, the state there, and whether the round since was clean.
    static constexpr int kIdleRegs = 19;
    bool idle_skip_ = true;
    bool skipping_ = false;          // idle_skip_ and no debugger
    bool jumped_ = false;            // the last instruction branched (to pc_)
    uint32_t block_ = 0;             // where straight-line code last began
    bool idle_head_ = false;         // idle_at_ is a loop head being watched
    bool idle_regs_ = false;         // idle_state_ holds the registers at the head
    bool idle_clean_ = false;        // no store that changed memory, unsteady read or exception since the head
    uint32_t idle_at_ = 0;
    uint32_t idle_wait_ = 0, idle_backoff_ = 0;   // rounds before the registers are read again
    uint64_t idle_cycles_at_ = 0, idle_insns_at_ = 0;
    uint32_t idle_state_[kIdleRegs] = {};
    void jump_seen();
    bool idle_round(uint32_t head);
    void read_idle_state(uint32_t* out) const;
    bool skip_rounds(uint64_t round, uint64_t insns);
    void forget_rounds();
    // Pass skipping (see set_idle_skip): the state at the main loop's entry.
    // pass_ram_ mirrors SRAM as it was at the last entry; dirty_ marks the
    // 64-byte lines written since.
    uint32_t pass_head_ = 0;         // 0: the image has no main loop function
    bool pass_valid_ = false;        // pass_regs_ hold the last entry's registers
    bool pass_clean_ = false;        // no exception, unsteady read or effective write since
    uint32_t pass_regs_[kIdleRegs] = {};
    std::vector<uint8_t> pass_ram_;
    uint64_t dirty_[kSramSize / 64 / 64] = {};
    uint64_t pass_cycles_at_ = 0, pass_insns_at_ = 0;
    // What the pass since the last entry did, by SRAM word: the words it
    // touched, and of each the bytes it read before writing them and the
    // bytes it wrote.
    uint64_t pass_words_[kSramSize / 4 / 64] = {};
    uint8_t pass_rd_[kSramSize / 4] = {}, pass_wr_[kSramSize / 4] = {};
    struct Masked {
        uint32_t at, mask, value;   // word index, bits, their value
    };
    struct PassIo {
        Peripheral* peripheral;
        uint32_t offset, value;
        uint8_t size;
        bool write;
    };
    static constexpr size_t kPassIoMax = 512;
    std::vector<PassIo> pass_io_;   // its peripheral accesses (steady reads, idle writes)
    struct PassRecord {
        bool valid = false;
        uint32_t regs[kIdleRegs] = {};
        uint64_t cycles = 0, insns = 0;
        // One word the pass reads may differ from `free_v0` by less than
        // `free_up` upwards or `free_down` downwards (analyse_pass()).
        uint32_t free_at = UINT32_MAX, free_v0 = 0;
        uint64_t free_up = 0, free_down = 0;
        std::vector<Masked> cmp, put;   // what it read and must match, what it wrote
        std::vector<PassIo> io;
    };
    // The pass being kept is also traced: the state at each of its taken
    // branches and its SRAM stores in order, so that a pass the next event
    // falls in can start at the last branch before it (enter_pass()).
    struct Mark {
        uint32_t cycles, insns, pc, stores;   // from the pass's start
        uint32_t state[kIdleRegs];
        bool fixed = true;                    // no register here depends on the record's free word
    };
    struct Store {
        uint32_t addr, value;
        uint8_t size;
    };
    static constexpr size_t kTraceMax = 1024;
    struct Trace {
        std::vector<Mark> marks;
        std::vector<Store> stores;
        void clear() {
            marks.clear();
            stores.clear();
        }
    };
    bool tracing_ = false;           // the pass since the last entry is traced
    bool rec_stale_ = false;         // the record did not fit the last state seen
    Trace trace_, rec_trace_;        // being taken; the record's (may be empty)
    void trace_store(uint32_t addr, unsigned size, uint32_t v) {
        if (trace_.stores.size() < kTraceMax) {
            trace_.stores.push_back(Store{addr, v, static_cast<uint8_t>(size)});
        } else {
            tracing_ = false;
            trace_.clear();
        }
    }
    void trace_mark();
    void enter_pass(bool moved);
    // The pass being kept is logged instruction by instruction (its
    // registers before each) when a word it read is known to change between
    // passes (a tick count): analyse_pass() finds over which values of that
    // word the pass does exactly the same.
    struct Step {
        uint32_t pc;
        uint32_t r[15];
        uint8_t free;   // 1: a word load of the free word, 2: any other access of it
    };
    static constexpr size_t kStepsMax = 2048;
    bool stepping_log_ = false;
    bool steps_ok_ = false;
    std::vector<Step> steps_;
    uint32_t free_at_ = UINT32_MAX;   // SRAM word index: the word the record last failed on
    bool fit_moved_ = false;          // the last fit had the free word elsewhere than recorded
    bool fail_on_word_ = false;       // the last fit failed on a word's value
    void log_step();
    void note_free(uint32_t addr, unsigned size, bool write);
    void analyse_pass();
    PassRecord pass_rec_;
    bool pass_round();
    bool keep_pass(const uint32_t* now, uint64_t round, uint64_t insns);
    bool pass_fits(const uint32_t* now);
};

}  // namespace zchip
