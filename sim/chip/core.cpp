// The ARMv6-M core: an interpreter of the Thumb instruction set as the
// Cortex-M0+ implements it (ARMv6-M Architecture Reference Manual, "The
// Thumb Instruction Set" and "Alphabetical list of ARMv6-M Thumb
// instructions"), with the cycles of the Cortex-M0+ TRM (Table 3-1, zero
// wait states, single-cycle multiplier).
//
// - Every access is checked as the bus would: alignment (an unaligned word
//   or halfword access is a HardFault on ARMv6-M), flash read-only, the NVM
//   rows read-only, unmapped space, peripherals through their models. A
//   faulting instruction has no effect on the registers and is not charged;
//   the HardFault is taken with it as the return address.
// - Pending interrupts are looked at between instructions; time is carried
//   to zplat::tb.now before every peripheral access and whenever run stops,
//   so a model sees the cycle of the instruction making the access.
// - Loops and passes of the main loop that change nothing are skipped as a
//   whole (see set_idle_skip and docs/chip-speed.md).
#include "core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "host/timebase.h"
#include "nvm.h"

namespace zchip {

using zplat::tb;

struct Core::Page {
    uint32_t base = 0;
    std::vector<Peripheral*> peripherals;
    Peripheral* find(uint32_t addr, unsigned size) const {
        for (Peripheral* p : peripherals)
            if (addr >= p->base() && uint64_t{addr} + size <= uint64_t{p->base()} + p->size()) return p;
        return nullptr;
    }
};

namespace {

constexpr uint32_t kPageSize = 1024;
constexpr uint32_t kExcReturnHandler = 0xFFFFFFF1u, kExcReturnThreadMsp = 0xFFFFFFF9u,
                   kExcReturnThreadPsp = 0xFFFFFFFDu;
constexpr uint32_t kXpsrT = 1u << 24, kXpsrAlign = 1u << 9;
constexpr uint64_t kNeverCycle = UINT64_MAX;

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

bool in_sram(uint32_t addr, uint32_t n) {
    return addr >= Core::kSramBase && uint64_t{addr} + n <= uint64_t{Core::kSramBase} + Core::kSramSize;
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

int32_t sext(uint32_t v, unsigned bits) {
    const uint32_t m = 1u << (bits - 1);
    return static_cast<int32_t>((v ^ m) - m);
}

uint32_t popcount(uint32_t v) { return static_cast<uint32_t>(__builtin_popcount(v)); }

// Bytes of its word an access covers (bit k: byte k), and the same as bits.
constexpr uint8_t byte_lanes(uint32_t offset, unsigned size) {
    return static_cast<uint8_t>(((1u << size) - 1) << (offset & 3));
}
constexpr uint32_t lane_bits(uint8_t lanes) {
    return (lanes & 1 ? 0xFFu : 0) | (lanes & 2 ? 0xFF00u : 0) | (lanes & 4 ? 0xFF0000u : 0) | (lanes & 8 ? 0xFF000000u : 0);
}

}  // namespace

// ---- construction, memory, images ----

Core::Core(Chip& chip)
    : chip_(chip), flash_(kFlashSize, 0xFF), sram_(kSramSize, 0), nvic_(chip, *this), pass_ram_(kSramSize, 0) {
    // The NVM rows: readable data, never code, never written.
    for (nvm::Row& r : nvm::rows()) {
        nvm_base_.push_back(r.base);
        r.bytes.resize(nvm::kMappedBytes, 0xFF);
        nvm_.push_back(std::move(r.bytes));
    }
    if (const char* e = std::getenv("ZELMORA_CHIP_IDLE_SKIP")) idle_skip_ = std::strcmp(e, "0") != 0;
    // The pass's trace and log at their largest from the start: memory that
    // grows later would look like a leak to the soak.
    for (Trace* t : {&trace_, &rec_trace_}) {
        t->marks.resize(kTraceMax);
        t->stores.resize(kTraceMax);
        t->clear();
    }
    steps_.resize(kStepsMax);
    steps_.clear();
    map(nvic_);
    set_cpu_hz(hz_);
    do_reset();
}

Core::~Core() = default;

const uint8_t* Core::host(uint32_t addr, size_t n) const {
    if (addr < kFlashSize && addr + n <= kFlashSize) return flash_.data() + addr;
    if (in_sram(addr, static_cast<uint32_t>(n))) return sram_.data() + (addr - kSramBase);
    return nullptr;
}

uint8_t* Core::host(uint32_t addr, size_t n) {
    return const_cast<uint8_t*>(static_cast<const Core*>(this)->host(addr, n));
}

uint16_t Core::fetch16(uint32_t addr) const {
    const uint8_t* p = host(addr, 2);
    return p ? static_cast<uint16_t>(p[0] | p[1] << 8) : 0;
}

bool Core::read32(uint32_t addr, uint32_t& v) const {
    const uint8_t* p = host(addr, 4);
    if (p == nullptr) return false;
    v = le32(p);
    return true;
}

bool Core::read_memory(uint32_t addr, void* out, size_t n) const {
    const uint8_t* p = host(addr, n);
    if (p == nullptr) return false;
    std::memcpy(out, p, n);
    return true;
}

bool Core::write_memory(uint32_t addr, const void* in, size_t n) {
    uint8_t* p = host(addr, n);
    if (p == nullptr) return false;
    std::memcpy(p, in, n);
    touch_all();
    forget_rounds();
    if (addr < kFlashSize) pass_rec_.valid = false;   // the code the record ran may have changed
    return true;
}

void Core::load(const Elf& image) {
    pass_rec_.valid = false;
    for (const Elf::Segment& s : image.segments()) {
        const uint32_t n = static_cast<uint32_t>(s.data.size());
        if (n == 0) continue;
        uint8_t* p = host(s.paddr, n);
        if (p == nullptr)
            throw std::runtime_error("image segment at " + hex32(s.paddr) + " (" + std::to_string(n) +
                                     " bytes) lies outside flash and SRAM");
        std::memcpy(p, s.data.data(), n);
    }
    image_ = image;
    // The main loop's function, called over and over: the unit of pass skipping.
    pass_head_ = image.symbol("loop").value_or(image.symbol("_Z4loopv").value_or(0));
    bss_end_ = image.symbol("__bss_end").value_or(image.symbol("_end").value_or(0));
    stack_top_ = image.symbol("__stack_top").value_or(kSramBase + kSramSize);
    painted_ = false;
    touch_all();
    forget_rounds();
}

void Core::map(Peripheral& p) {
    const uint64_t lo = p.base(), hi = uint64_t{p.base()} + p.size();
    if (p.size() == 0) return;
    if (lo < kFlashBase + kFlashSize || (lo < uint64_t{kSramBase} + kSramSize && hi > kSramBase))
        throw std::invalid_argument(std::string("peripheral ") + p.name() + " overlaps flash or SRAM");
    for (uint64_t a = lo & ~uint64_t{kPageSize - 1}; a < hi; a += kPageSize) {
        auto it = pages_.find(static_cast<uint32_t>(a));
        if (it == pages_.end()) {
            auto page = std::make_unique<Page>();
            page->base = static_cast<uint32_t>(a);
            it = pages_.emplace(static_cast<uint32_t>(a), std::move(page)).first;
        }
        it->second->peripherals.push_back(&p);
    }
    last_page_base_ = 1;
}

Core::Page* Core::page_of(uint32_t addr) {
    const uint32_t base = addr & ~(kPageSize - 1);
    if (base != last_page_base_) {
        const auto it = pages_.find(base);
        last_page_ = it == pages_.end() ? nullptr : it->second.get();
        last_page_base_ = base;
    }
    return last_page_;
}

std::string Core::symbol_at(uint32_t addr) const { return image_.symbol_at(addr); }

// ---- registers ----

uint32_t Core::xpsr() const {
    return (n_ ? 1u << 31 : 0) | (z_ ? 1u << 30 : 0) | (c_ ? 1u << 29 : 0) | (v_ ? 1u << 28 : 0) | (t_ ? kXpsrT : 0) |
           ipsr_;
}

void Core::set_xpsr(uint32_t v) {
    n_ = (v >> 31) & 1;
    z_ = (v >> 30) & 1;
    c_ = (v >> 29) & 1;
    v_ = (v >> 28) & 1;
    t_ = (v & kXpsrT) != 0;
    set_mode(v & 0x1FF, control_);
}

void Core::set_stacks(uint32_t msp, uint32_t psp) {
    r_[13] = psp_active() ? psp : msp;
    other_sp_ = psp_active() ? msp : psp;
}

void Core::set_mode(uint32_t ipsr, uint32_t control) {
    const uint32_t m = msp(), p = psp();
    ipsr_ = ipsr;
    control_ = control;
    set_stacks(m, p);
}

uint32_t Core::reg(Reg r) const {
    switch (r) {
    case Reg::PC: return pc_;
    case Reg::XPSR: return xpsr();
    case Reg::MSP: return msp();
    case Reg::PSP: return psp();
    case Reg::PRIMASK: return primask_ ? 1 : 0;
    case Reg::CONTROL: return control_;
    default: return r_[static_cast<int>(r)];
    }
}

void Core::set_reg(Reg r, uint32_t v) {
    switch (r) {
    case Reg::PC:
        pc_ = v & ~1u;
        sleeping_ = false;   // moved on by hand
        break;
    case Reg::XPSR: set_xpsr(v); break;
    case Reg::SP: r_[13] = v & ~3u; break;
    case Reg::MSP: set_stacks(v & ~3u, psp()); break;
    case Reg::PSP: set_stacks(msp(), v & ~3u); break;
    case Reg::PRIMASK: primask_ = (v & 1) != 0; break;
    case Reg::CONTROL: set_mode(ipsr_, v & 3u); break;
    default: r_[static_cast<int>(r)] = v; break;
    }
    forget_rounds();
    attend();   // PRIMASK or the mode may have changed
}

uint32_t Core::pc() const { return in_access_ ? cur_pc_ : pc_; }

// ---- time ----

void Core::set_cpu_hz(double hz) {
    if (!(hz > 0)) throw std::invalid_argument("CPU clock must be positive");
    sync_time();
    hz_ = hz;
    step_ = static_cast<uint64_t>(std::llround(1e9 / hz * 4294967296.0));
    if (step_ == 0) step_ = 1;
    max_chunk_ = std::max<uint64_t>(1, (UINT64_MAX >> 1) / step_);
}

// Carries the cycles run since to tb.now.
void Core::sync_time() {
    uint64_t n = cycles_ - timed_;
    timed_ = cycles_;
    while (n != 0) {
        const uint64_t k = std::min(n, max_chunk_);
        frac_ += k * step_;
        tb.now += frac_ >> 32;
        frac_ &= 0xFFFFFFFFu;
        n -= k;
    }
}

void Core::charge(uint64_t n) {
    cycles_ += n;
    sync_time();
}

void Core::scs_systick_changed() { tick_at_ = nvic_.systick().next_interrupt(); }

void Core::catch_up_systick() {
    if (cycles_ < tick_at_) return;
    if (nvic_.systick().advance(cycles_)) {
        nvic_.set_pending(Nvic::kSysTick);
        attend();
    }
    tick_at_ = nvic_.systick().next_interrupt();
}

// The cycle at which execute() must hand back: SysTick's interrupt, the
// board's next event or the caller's limit, whichever comes first.
void Core::set_deadline() {
    sync_time();
    const zplat::vtime limit = std::min(until_, tb.due);
    const uint64_t n = limit == zplat::kNever ? kNeverCycle : cycles_to(limit);
    deadline_ = n == kNeverCycle ? kNeverCycle : cycles_ + n;
    deadline_ = std::min(deadline_, tick_at_);
    if (stop_ || attention_) deadline_ = 0;
    due_seen_ = tb.due;
    tick_seen_ = tick_at_;
}

// ---- idle loops ----

void Core::read_idle_state(uint32_t* out) const {
    std::memcpy(out, r_, 13 * sizeof(uint32_t));
    out[13] = msp();
    out[14] = psp();
    out[15] = r_[14];
    out[16] = xpsr();
    out[17] = primask_ ? 1 : 0;
    out[18] = control_;
}

// After a taken branch, at its target (pc_): a branch back to where
// straight-line code began, or further back, may close a loop.
void Core::jump_seen() {
    const uint32_t target = pc_;
    const bool back = target <= block_;
    block_ = target;
    if (tracing_ && target != pass_head_) trace_mark();
    if (target == pass_head_) {
        pass_round();
    } else if (back) {
        idle_round(target);
    }
}

// At a block reached by a backward branch. A round from `head` back to it
// whose stores changed no byte of memory (a store of the value already there
// changes nothing), that wrote no peripheral, read only steady registers and
// took no exception, ending with the registers it started with, read only
// memory it left as it was:
// the next round does the same, and so on until an interrupt or a device
// event changes something. Whole rounds that end before the next of those
// are skipped; the round the event falls in runs, so the core stops where
// it would have. True when rounds were skipped.
bool Core::idle_round(uint32_t head) {
    if (!idle_head_ || idle_at_ != head) {
        idle_head_ = true;
        idle_at_ = head;
        idle_regs_ = false;
        idle_clean_ = true;
        idle_wait_ = idle_backoff_ = 0;
        return false;
    }
    if (idle_wait_ > 0) {
        // A loop whose registers change (a scan, a count) is looked at again
        // less and less often: reading them costs more than a short round.
        --idle_wait_;
        idle_regs_ = false;
        idle_clean_ = true;
        return false;
    }
    if (!idle_clean_) {
        idle_regs_ = false;   // registers are read only after a clean round
        idle_clean_ = true;
        return false;
    }
    uint32_t now[kIdleRegs];
    read_idle_state(now);
    const bool was_regs = idle_regs_;
    const bool same = idle_regs_ && std::memcmp(now, idle_state_, sizeof now) == 0;
    const uint64_t round = cycles_ - idle_cycles_at_, insns = stats_.instructions - idle_insns_at_;
    std::memcpy(idle_state_, now, sizeof now);
    idle_regs_ = true;
    idle_clean_ = true;
    idle_cycles_at_ = cycles_;
    idle_insns_at_ = stats_.instructions;
    if (!same) {
        if (was_regs) {
            idle_backoff_ = std::min<uint32_t>(idle_backoff_ * 2 + 1, 255);
            idle_wait_ = idle_backoff_;
        }
        return false;
    }
    if (!skip_rounds(round, insns)) return false;
    steps_ok_ = false;   // the log no longer holds every instruction
    idle_cycles_at_ = cycles_;
    idle_insns_at_ = stats_.instructions;
    return true;
}

// Whole rounds of `round` cycles that end before the next interrupt, device
// event or the caller's limit, counted as run. False when not one fits.
bool Core::skip_rounds(uint64_t round, uint64_t insns) {
    if (round == 0 || deadline_ == kNeverCycle || deadline_ <= cycles_) return false;
    // The deadline is the first cycle at which the event is due.
    const uint64_t n = deadline_ - cycles_;
    if (n <= round) return false;
    // k rounds leave at least a cycle before the event.
    const uint64_t k = (n - 1) / round;
    cycles_ += k * round;
    stats_.idle_cycles += k * round;
    stats_.instructions += k * insns;
    return true;
}

void Core::forget_rounds() {
    idle_head_ = false;
    pass_valid_ = false;
    pass_clean_ = false;
}

// At the main loop's entry. A pass that took no exception, read only steady
// registers and wrote none to effect, and came back to the entry with the
// registers and the whole of SRAM as it found them, would run the same way
// again, and so on until an interrupt or a device event: whole passes before
// that are skipped, the pass the event falls in runs. Only the lines written
// since the last entry can differ from the copy kept then.
//
// Such a pass is also kept as a record (pass_rec_): its registers, the SRAM
// words it read before writing them (and any it wrote only in part) with
// their values, the words it wrote with the values they ended with, and its
// peripheral accesses. At a later entry, after an interrupt or a stop, a
// pass from a state that agrees on all of that does exactly what the
// recorded one did: the same reads see the same values, so the same writes
// store the same values, and it ends in a state every later pass keeps. The
// first of the passes skipped then is applied (its stores), the rest charged.
bool Core::pass_round() {
    uint32_t now[kIdleRegs];
    read_idle_state(now);
    const uint32_t top = std::min(stack_top_, kSramBase + kSramSize);
    const uint32_t lines = top > kSramBase ? (top - kSramBase + 63) / 64 : 0;
    bool same = pass_valid_ && pass_clean_ && std::memcmp(now, pass_regs_, sizeof now) == 0;
    for (uint32_t w = 0; w < std::size(dirty_); ++w) {
        for (uint64_t bits = dirty_[w]; bits != 0; bits &= bits - 1) {
            const uint32_t line = w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
            uint8_t* kept = pass_ram_.data() + line * 64;
            const uint8_t* ram = sram_.data() + line * 64;
            if (std::memcmp(kept, ram, 64) != 0) {
                if (line < lines) same = false;
                std::memcpy(kept, ram, 64);
            }
        }
        dirty_[w] = 0;
    }
    const uint64_t round = cycles_ - pass_cycles_at_, insns = stats_.instructions - pass_insns_at_;
    bool skipped = false;
    bool kept = false, fits = false, moved = false;
    if (same) {
        // A new fixed point is kept unless the record fits it already.
        if (!pass_rec_.valid || (rec_stale_ && !pass_fits(now))) kept = keep_pass(now, round, insns);
        rec_stale_ = false;
        skipped = skip_rounds(round, insns);
    } else if (pass_rec_.valid && pass_fits(now)) {
        fits = true;
        rec_stale_ = false;
        moved = fit_moved_;
        if (skip_rounds(pass_rec_.cycles, pass_rec_.insns)) {
            // The first skipped pass's stores, in SRAM and in the copy.
            for (const Masked& m : pass_rec_.put) {
                const uint32_t v = (le32(sram_.data() + m.at * 4) & ~m.mask) | m.value;
                put32(sram_.data() + m.at * 4, v);
                put32(pass_ram_.data() + m.at * 4, v);
            }
            skipped = true;
        }
    }
    // A state the record does not fit: the next fixed point may be kept
    // instead. The record stays: the state may come back (the watchdog's
    // CLEAR written once its synchronisation ends, then the same again).
    if (!same && !fits) rec_stale_ = true;
    std::memcpy(pass_regs_, now, sizeof now);
    pass_cycles_at_ = cycles_;
    pass_insns_at_ = stats_.instructions;
    pass_valid_ = pass_clean_ = true;
    for (uint32_t w = 0; w < std::size(pass_words_); ++w) {
        for (uint64_t bits = pass_words_[w]; bits != 0; bits &= bits - 1) {
            const uint32_t at = w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
            pass_rd_[at] = pass_wr_[at] = 0;
        }
        pass_words_[w] = 0;
    }
    pass_io_.clear();
    // From here the state is one the record starts from (it fitted, or was
    // kept from this very pass): the pass the event falls in may start late.
    if (pass_rec_.valid && (fits || (skipped && kept))) enter_pass(moved);
    // The pass from here is traced while there is no record to keep, and
    // logged when a word is known to have made the last record fail.
    tracing_ = !pass_rec_.valid || rec_stale_;
    trace_.clear();
    stepping_log_ = steps_ok_ = tracing_ && free_at_ != UINT32_MAX && (!pass_rec_.valid || fail_on_word_);
    steps_.clear();
    return skipped;
}

// The pass just ended at `now` was a fixed point: keep it as the record.
bool Core::keep_pass(const uint32_t* now, uint64_t round, uint64_t insns) {
    PassRecord& r = pass_rec_;
    if (pass_io_.size() >= kPassIoMax) return false;   // too many accesses to replay
    std::memcpy(r.regs, now, sizeof r.regs);
    r.cycles = round;
    r.insns = insns;
    r.cmp.clear();
    r.put.clear();
    for (uint32_t w = 0; w < std::size(pass_words_); ++w) {
        for (uint64_t bits = pass_words_[w]; bits != 0; bits &= bits - 1) {
            const uint32_t at = w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
            const uint32_t v = le32(sram_.data() + at * 4);
            if (pass_rd_[at] != 0) r.cmp.push_back(Masked{at, lane_bits(pass_rd_[at]), v & lane_bits(pass_rd_[at])});
            if (pass_wr_[at] != 0) r.put.push_back(Masked{at, lane_bits(pass_wr_[at]), v & lane_bits(pass_wr_[at])});
        }
    }
    r.io = pass_io_;
    r.valid = r.cycles != 0;
    rec_trace_.clear();
    if (tracing_) std::swap(rec_trace_, trace_);
    r.free_at = UINT32_MAX;
    if (stepping_log_ && steps_ok_ && r.valid && steps_.size() == insns) analyse_pass();
    return r.valid;
}

void Core::trace_mark() {
    if (trace_.marks.size() >= kTraceMax) {
        tracing_ = false;
        trace_.clear();
        return;
    }
    // One mark every few dozen cycles: entering a little earlier costs less
    // than taking the state at every branch.
    const uint32_t at = static_cast<uint32_t>(cycles_ - pass_cycles_at_);
    if (!trace_.marks.empty() && at - trace_.marks.back().cycles < 32) return;
    Mark m;
    m.cycles = at;
    m.insns = static_cast<uint32_t>(stats_.instructions - pass_insns_at_);
    m.pc = pc_;
    m.stores = static_cast<uint32_t>(trace_.stores.size());
    read_idle_state(m.state);
    trace_.marks.push_back(m);
}

// At the main loop's entry, passes skipped, the event due within the next
// pass: that pass, from a state the record starts from, would run as the
// traced one did up to the event. It starts at the last taken branch before
// the event instead, with the registers it had there and the stores before
// it made; what it read and wrote of the peripherals up to there was steady
// or without effect. Execution goes on from there, so the event comes at the
// very instruction it would have.
void Core::enter_pass(bool moved) {
    const std::vector<Mark>& marks = rec_trace_.marks;
    if (marks.empty() || deadline_ <= cycles_) return;
    const uint64_t room = deadline_ - cycles_;
    // The last mark strictly before the deadline, so the event stays ahead;
    // with the free word moved, one whose registers do not depend on it.
    auto it = std::partition_point(marks.begin(), marks.end(), [&](const Mark& m) { return m.cycles < room; });
    while (moved && it != marks.begin() && !(it - 1)->fixed) --it;
    if (it == marks.begin()) return;
    const Mark& m = *(it - 1);
    for (uint32_t k = 0; k < m.stores; ++k) {
        const Store& st = rec_trace_.stores[k];
        const uint32_t s = st.addr - kSramBase;
        for (unsigned b = 0; b < st.size; ++b) sram_[s + b] = static_cast<uint8_t>(st.value >> (8 * b));
        touch(s);
    }
    std::memcpy(r_, m.state, 13 * sizeof(uint32_t));
    r_[14] = m.state[15];
    set_xpsr(m.state[16]);
    primask_ = m.state[17] != 0;
    set_mode(ipsr_, m.state[18]);
    set_stacks(m.state[13], m.state[14]);
    pc_ = m.pc;
    block_ = m.pc;
    cycles_ += m.cycles;
    stats_.idle_cycles += m.cycles;
    stats_.instructions += m.insns;
    idle_head_ = false;
    pass_clean_ = false;   // this pass ran in part: it shows no fixed point
}

// Whether a pass from here would do what the recorded one did.
bool Core::pass_fits(const uint32_t* now) {
    PassRecord& r = pass_rec_;
    fit_moved_ = fail_on_word_ = false;
    if (std::memcmp(now, r.regs, sizeof r.regs) != 0 || nvic_.highest_pending() != 0) return false;
    for (size_t k = 0; k < r.cmp.size(); ++k) {
        const uint32_t v = le32(sram_.data() + r.cmp[k].at * 4);
        if ((v & r.cmp[k].mask) == r.cmp[k].value) continue;
        if (r.cmp[k].at == r.free_at && (uint64_t{v - r.free_v0} < r.free_up || uint64_t{r.free_v0 - v} < r.free_down)) {
            fit_moved_ = true;
            continue;
        }
        // The word that differed is likely to differ next time: look at it
        // first, and have the next record find how much it may.
        free_at_ = r.cmp[k].mask == 0xFFFFFFFFu ? r.cmp[k].at : UINT32_MAX;
        fail_on_word_ = true;
        std::swap(r.cmp[k], r.cmp[0]);
        return false;
    }
    // The peripherals answer as they did: steady reads read the same, the
    // writes are still without effect.
    sync_time();
    for (const PassIo& io : r.io) {
        uint32_t v = 0;
        if (io.write) {
            if (!io.peripheral->idle_write(io.offset, io.size, io.value)) return false;
        } else if (!io.peripheral->steady_read(io.offset, io.size) || !io.peripheral->read(io.offset, io.size, v) ||
                   (io.size < 4 ? v & ((1u << (8 * io.size)) - 1) : v) != io.value) {
            return false;
        }
    }
    return true;
}

void Core::log_step() {
    if (steps_.size() >= kStepsMax) {
        stepping_log_ = steps_ok_ = false;
        steps_.clear();
        return;
    }
    Step st;
    st.pc = pc_;
    std::memcpy(st.r, r_, sizeof st.r);
    st.free = 0;
    steps_.push_back(st);
}

void Core::note_free(uint32_t addr, unsigned size, bool write) {
    if (free_at_ == UINT32_MAX) return;
    const uint32_t w = kSramBase + free_at_ * 4;
    if (uint64_t{addr} + size <= w || addr >= w + 4) return;
    Step& st = steps_.back();
    st.free = (!write && size == 4 && addr == w && st.free == 0) ? 1 : 2;
}

namespace {

// Steps until x, moving by dir (+1 or -1) each, first takes a value where
// a flag computed from it may change: its sign (crossing 0x7FFFFFFF /
// 0x80000000), a wrap (crossing 0xFFFFFFFF / 0) or zero. 2^32 when never.
uint64_t steps_to_edge(uint32_t x, int dir) {
    const uint64_t kAll = uint64_t{1} << 32;
    auto d = [&](uint32_t to) { const uint32_t n = dir > 0 ? to - x : x - to; return n == 0 ? kAll : uint64_t{n}; };
    return dir > 0 ? std::min(d(0), d(0x80000000u))
                   : std::min({d(0xFFFFFFFFu), d(0x7FFFFFFFu), d(0)});
}

}  // namespace

// The kept pass, logged instruction by instruction, read the word free_at_
// (value v0). Take that word as v0 + d: every register value that depends
// on it is c*d plus what it was, c = +1 or -1 (loads of it, moves, adds and
// subtracts of values that do not depend on it). The pass does exactly the
// same for another d as long as:
// - no address, stored value, branch target or other operation (a shift, a
//   logic operation, a multiply, a narrow load of it) takes such a value,
//   and none is left in a register at the end (else: no range at all);
// - every flag-setting add, subtract or compare of such values sets the same
//   flags: N, Z, C and V change only where an operand or the result crosses
//   a sign or wraps, or the result leaves zero, so d stays short of the
//   nearest such edge.
// The record then also fits with the word anywhere in that range. Marks
// (taken branches) where a register depends on it are not entered then.
void Core::analyse_pass() {
    PassRecord& rec = pass_rec_;
    const uint32_t at = free_at_;
    const auto in_cmp = std::find_if(rec.cmp.begin(), rec.cmp.end(), [&](const Masked& m) { return m.at == at; });
    if (in_cmp == rec.cmp.end() || in_cmp->mask != 0xFFFFFFFFu) return;
    int8_t t[16] = {};   // the coefficient of d in each register
    uint64_t up = uint64_t{1} << 32, down = up;
    auto flags = [&](int ca, uint32_t a, int cb, uint32_t b, bool sub) {
        if (ca == 0 && cb == 0) return true;
        const int cr = sub ? ca - cb : ca + cb;
        if (cr > 1 || cr < -1) return false;
        const uint32_t r = sub ? a - b : a + b;
        const int cs[3] = {ca, cb, cr};
        const uint32_t xs[3] = {a, b, r};
        for (int k = 0; k < 3; ++k) {
            if (cs[k] == 0) continue;
            up = std::min(up, steps_to_edge(xs[k], cs[k]));
            down = std::min(down, steps_to_edge(xs[k], -cs[k]));
        }
        if (cr != 0 && r == 0) up = down = 1;   // Z: the result leaves zero
        return true;
    };
    auto any = [&](uint32_t list) {
        for (int k = 0; k < 15; ++k)
            if ((list >> k) & 1 && t[k] != 0) return true;
        return false;
    };
    std::vector<uint8_t> fixed_at(steps_.size() + 1, 1);
    for (size_t i = 0; i < steps_.size(); ++i) {
        fixed_at[i] = !any(0x7FFF);
        const Step& st = steps_[i];
        const uint32_t* R = st.r;
        const uint16_t h = fetch16(st.pc);
        const unsigned lo0 = h & 7, lo3 = (h >> 3) & 7, lo6 = (h >> 6) & 7, hi8 = (h >> 8) & 7;
        const unsigned op = h >> 11;
        bool ok = true;
        if (st.free == 2) return;
        // Loads set their target from the word itself or not at all; a load
        // or store from a dependent address, or storing a dependent value, ends it.
        auto load = [&](unsigned rt, uint32_t addr_regs, bool word) {
            if (any(addr_regs) || (st.free != 0 && !word)) return false;
            t[rt] = st.free == 1 ? 1 : 0;
            return true;
        };
        auto store = [&](unsigned rt, uint32_t addr_regs) { return st.free == 0 && !any(addr_regs | (1u << rt)); };
        if (op <= 2) {   // LSLS, LSRS, ASRS immediate
            ok = !any(1u << lo3);
            t[lo0] = 0;
        } else if (op == 3) {   // ADDS, SUBS register or immediate
            const bool imm = h & 0x400, sub = h & 0x200;
            const int ca = t[lo3], cb = imm ? 0 : t[lo6];
            ok = flags(ca, R[lo3], cb, imm ? lo6 : R[lo6], sub);
            t[lo0] = static_cast<int8_t>(sub ? ca - cb : ca + cb);
        } else if (op == 4) {   // MOVS immediate
            t[hi8] = 0;
        } else if (op == 5) {   // CMP immediate
            ok = flags(t[hi8], R[hi8], 0, h & 0xFF, true);
        } else if (op == 6 || op == 7) {   // ADDS, SUBS immediate
            ok = flags(t[hi8], R[hi8], 0, h & 0xFF, op == 7);
        } else if (op == 8 && (h & 0x400) == 0) {   // data processing
            const unsigned opc = (h >> 6) & 15;
            if (opc == 9) {   // RSBS Rd, Rm, #0
                ok = flags(0, 0, t[lo3], R[lo3], true);
                t[lo0] = static_cast<int8_t>(-t[lo3]);
            } else if (opc == 10 || opc == 11) {   // CMP, CMN
                ok = flags(t[lo0], R[lo0], t[lo3], R[lo3], opc == 10);
            } else {
                ok = !any((1u << lo0) | (1u << lo3));
                if (opc != 8) t[lo0] = 0;   // all but TST write Rd
            }
        } else if (op == 8) {   // special data processing, BX, BLX
            const unsigned rd = (h & 7) | ((h >> 4) & 8), rm = (h >> 3) & 15;
            const int cd = rd == 15 ? 0 : t[rd], cm = rm == 15 ? 0 : t[rm];
            const uint32_t vd = rd == 15 ? st.pc + 4 : R[rd], vm = rm == 15 ? st.pc + 4 : R[rm];
            switch ((h >> 8) & 3) {
            case 0:   // ADD Rdn, Rm
                ok = (cd + cm <= 1 && cd + cm >= -1) && !((rd == 15 || rd == 13) && cd + cm != 0);
                if (rd != 15) t[rd] = static_cast<int8_t>(cd + cm);
                break;
            case 1: ok = flags(cd, vd, cm, vm, true); break;   // CMP
            case 2:                                            // MOV
                ok = !((rd == 15 || rd == 13) && cm != 0);
                if (rd != 15) t[rd] = static_cast<int8_t>(cm);
                break;
            default:   // BX, BLX
                ok = cm == 0;
                if (h & 0x80) t[14] = 0;
                break;
            }
        } else if (op == 9) {   // LDR literal
            ok = st.free == 0;
            t[hi8] = 0;
        } else if (op == 10 || op == 11) {   // register offset
            const unsigned k = (h >> 9) & 7;
            const uint32_t addr = (1u << lo3) | (1u << lo6);
            ok = k <= 2 ? store(lo0, addr) : load(lo0, addr, k == 4);
        } else if (op >= 12 && op <= 17) {   // immediate offset: word, byte, halfword
            const bool l = h & 0x800, word = op <= 13;
            ok = l ? load(lo0, 1u << lo3, word) : store(lo0, 1u << lo3);
        } else if (op == 18 || op == 19) {   // SP-relative
            ok = (h & 0x800) ? load(hi8, 1u << 13, true) : store(hi8, 1u << 13);
        } else if (op == 20 || op == 21) {   // ADR, ADD Rd, SP, #imm
            ok = t[13] == 0;
            t[hi8] = 0;
        } else if (op == 22 || op == 23) {   // miscellaneous
            const unsigned k = (h >> 8) & 15;
            if (k == 0) {   // ADD, SUB SP, #imm
            } else if (k == 2 || k == 10) {   // extends, reverses
                ok = !any(1u << lo3);
                t[lo0] = 0;
            } else if (k == 4 || k == 5) {   // PUSH
                ok = st.free == 0 && !any((h & 0xFF) | ((h & 0x100) ? 1u << 14 : 0) | (1u << 13));
            } else if (k == 12 || k == 13) {   // POP
                ok = st.free == 0;
                for (int b = 0; b < 8; ++b)
                    if ((h >> b) & 1) t[b] = 0;
            } else if (k == 6 || k == 14 || k == 15) {   // CPS, BKPT, hints
            } else {
                ok = false;
            }
        } else if (op == 24 || op == 25) {   // STM, LDM
            const unsigned rn = hi8;
            if (op == 24) {
                ok = st.free == 0 && !any((h & 0xFF) | (1u << rn));
            } else {
                ok = st.free == 0 && t[rn] == 0;
                for (int b = 0; b < 8; ++b)
                    if ((h >> b) & 1) t[b] = 0;
            }
        } else if (op == 26 || op == 27 || op == 28) {   // conditional branch, SVC, UDF, B
        } else {   // 32-bit: BL, MSR, MRS, barriers
            const uint16_t h2 = fetch16(st.pc + 2);
            if ((h & 0xF800) == 0xF000 && (h2 & 0xD000) == 0xD000) {
                t[14] = 0;
            } else if ((h & 0xFFE0) == 0xF380) {
                ok = t[h & 15] == 0;
            } else if (h == 0xF3EF) {
                t[(h2 >> 8) & 15] = 0;
            } else if (h != 0xF3BF) {
                ok = false;
            }
        }
        if (!ok || t[13] != 0) return;
    }
    if (any(0x7FFF)) return;   // a register at the end depends on it
    rec.free_at = at;
    rec.free_v0 = in_cmp->value;
    rec.free_up = up;
    rec.free_down = down;
    for (Mark& m : rec_trace_.marks) m.fixed = m.insns < fixed_at.size() && fixed_at[m.insns] != 0;
}

// ---- faults ----

// An access the bus refuses: the instruction is abandoned (execute() takes
// the HardFault). Always false.
bool Core::mem_fault(const std::string& kind, uint32_t address) {
    if (!mem_fault_.set) {
        mem_fault_.set = true;
        mem_fault_.kind = kind;
        mem_fault_.address = address;
    }
    return false;
}

bool Core::unaligned(uint32_t addr, unsigned size, bool write) {
    return mem_fault(std::string("unaligned ") + (size == 4 ? "word " : "halfword ") + (write ? "store" : "load") +
                         " at " + hex32(addr),
                     addr);
}

bool Core::bus_access_fault(Page& page, uint32_t addr, unsigned size, bool write) {
    const Peripheral* p = page.find(addr, size);
    std::string kind = "bus error: ";
    kind += std::to_string(size) + "-byte " + (write ? "write to " : "read of ") + hex32(addr);
    if (p != nullptr) {
        char off[16];
        std::snprintf(off, sizeof off, "0x%X", addr - p->base());
        kind += std::string(" (") + p->name() + " offset " + off + ")";
        const std::string why = p->refusal(addr - p->base(), size, write);
        if (!why.empty()) kind += ": " + why;
    } else {
        kind += " (no peripheral there)";
    }
    return mem_fault(kind, addr);
}

void Core::lockup(const std::string& kind, uint32_t pc, uint32_t address) {
    // ARMv6-M ARM, "Unrecoverable exception cases": a fault at the
    // priority of HardFault or NMI locks the core up until reset.
    fault_ = Fault{};
    fault_.kind = "lockup: " + kind;
    fault_.pc = pc;
    fault_.lr = r_[14];
    fault_.sp = r_[13];
    fault_.address = address;
    fault_.lockup = true;
    for (int k = 0; k < 4; ++k) fault_.frame[k] = r_[k];
    fault_.frame[4] = r_[12];
    fault_.frame[5] = r_[14];
    fault_.frame[6] = pc;
    fault_.frame[7] = xpsr();
    has_fault_ = true;
    new_fault_ = true;
    leave();
    locked_ = true;
    sleeping_ = false;
    pc_ = 0xFFFFFFFEu;
}

// A synchronous fault at `pc` (the instruction did not complete): HardFault.
void Core::raise_fault(const std::string& kind, uint32_t pc, uint32_t address) {
    const unsigned current = ipsr_;
    if (current == Nvic::kHardFault || current == Nvic::kNmi) {
        lockup(kind + (current == Nvic::kNmi ? " in the NMI handler" : " in the HardFault handler"), pc, address);
        return;
    }
    Fault f;
    f.kind = kind;
    f.pc = pc;
    f.lr = r_[14];
    f.sp = r_[13];
    f.address = address;
    fault_ = f;
    has_fault_ = true;
    new_fault_ = true;
    leave();
    sleeping_ = false;
    if (!enter_exception(Nvic::kHardFault, pc)) return;   // locked up instead
    fault_.frame_at = last_frame_;
    fault_.stacked = true;
    for (int k = 0; k < 8; ++k) read32(last_frame_ + 4 * k, fault_.frame[k]);
}
std::string Core::describe_fault() const {
    if (!has_fault_) return "no fault\n";
    const Fault& f = fault_;
    std::string s = (f.lockup ? "LOCKUP: " : "HardFault: ") + f.kind + "\n";
    auto line = [&](const char* name, uint32_t v) {
        s += std::string("  ") + name + " " + hex32(v);
        const std::string sym = symbol_at(v & ~1u);
        if (!sym.empty()) s += "  " + sym;
        s += "\n";
    };
    line("PC", f.pc);
    line("LR", f.lr);
    s += "  SP " + hex32(f.sp) + "\n";
    if (f.address != 0) line("address", f.address);
    static const char* names[8] = {"R0", "R1", "R2", "R3", "R12", "LR", "PC", "xPSR"};
    s += f.stacked ? "  stacked frame at " + hex32(f.frame_at) + ":\n" : "  registers (not stacked):\n";
    for (int k = 0; k < 8; ++k) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "    %-4s 0x%08X", names[k], f.frame[k]);
        s += buf;
        if (k == 5 || k == 6) {
            const std::string sym = symbol_at(f.frame[k] & ~1u);
            if (!sym.empty()) s += "  " + sym;
        }
        s += "\n";
    }
    if (bss_end_ != 0 && painted_) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "  stack: deepest 0x%08X, %u bytes above .bss\n", stack_high_water(),
                      stack_headroom());
        s += buf;
    }
    return s;
}

// ---- exceptions ----

// ARMv6-M ARM, "Exception entry behavior": push R0-R3, R12, LR, the
// return address and xPSR on the current stack (8-byte aligned, xPSR bit 9
// telling), then Handler mode on MSP, LR = EXC_RETURN, PC from the vector.
// False when it locked up instead.
bool Core::enter_exception(unsigned n, uint32_t return_pc) {
    const uint32_t x = xpsr();
    const unsigned current = ipsr_;
    const bool thread = current == 0;
    const bool on_psp = psp_active();
    const uint32_t sp = r_[13];
    const bool pad = (sp & 4) != 0;
    const uint32_t frame = (sp - 32) & ~7u;

    if (n != Nvic::kHardFault && !on_psp && bss_end_ != 0 && frame < bss_end_ && frame >= kSramBase) {
        // The main stack ran into .bss: the frame would overwrite static data.
        raise_fault("stack overflow: SP " + hex32(sp) + " would stack exception " + std::to_string(n) +
                        " below the end of .bss " + hex32(bss_end_),
                    return_pc);
        return false;
    }
    if (!in_sram(frame, 32)) {
        if (n == Nvic::kHardFault || current == Nvic::kHardFault || current == Nvic::kNmi) {
            lockup("stacking exception " + std::to_string(n) + " at SP " + hex32(sp) + " outside SRAM", return_pc, frame);
        } else {
            raise_fault("stacking exception " + std::to_string(n) + " at SP " + hex32(sp) + " outside SRAM", return_pc,
                        frame);
        }
        return false;
    }
    uint32_t vector = 0;
    const uint32_t vaddr = nvic_.vtor() + 4 * n;
    if (!read32(vaddr, vector) || !(vector & 1)) {
        const std::string what = "vector " + std::to_string(n) + " at " + hex32(vaddr) +
                                 (host(vaddr, 4) ? " has no Thumb bit (" + hex32(vector) + ")" : " unreadable");
        if (n == Nvic::kHardFault || current == Nvic::kHardFault || current == Nvic::kNmi) {
            lockup(what, return_pc, vaddr);
        } else {
            raise_fault(what, return_pc, vaddr);
        }
        return false;
    }

    uint8_t* f = host(frame, 32);
    put32(f + 0, r_[0]);
    put32(f + 4, r_[1]);
    put32(f + 8, r_[2]);
    put32(f + 12, r_[3]);
    put32(f + 16, r_[12]);
    put32(f + 20, r_[14]);
    put32(f + 24, return_pc & ~1u);
    put32(f + 28, (x & ~kXpsrAlign) | (pad ? kXpsrAlign : 0));
    touch(frame - kSramBase);
    touch(frame - kSramBase + 31);

    const uint32_t exc_return = !thread ? kExcReturnHandler : (on_psp ? kExcReturnThreadPsp : kExcReturnThreadMsp);
    const uint32_t m = on_psp ? msp() : frame, p = on_psp ? frame : psp();
    ipsr_ = n;   // Handler mode: on MSP, whatever SPSEL says
    control_ &= ~2u;
    t_ = true;
    set_stacks(m, p);
    r_[14] = exc_return;
    pc_ = vector & ~1u;
    last_frame_ = frame;
    forget_rounds();

    nvic_.activate(n);
    nvic_.set_current(n);
    ++stats_.taken[n];
    entry_cycle_[n] = cycles_;
    charge(kEntryCycles);
    sleeping_ = false;
    attend();
    return true;
}

// ARMv6-M ARM, "Exception return behavior". No tail-chaining: a pending
// exception is taken after the return, costing both.
void Core::exception_return(uint32_t exc_return) {
    const unsigned n = ipsr_;
    if (exc_return != kExcReturnHandler && exc_return != kExcReturnThreadMsp && exc_return != kExcReturnThreadPsp) {
        raise_fault("invalid EXC_RETURN " + hex32(exc_return), exc_return & ~1u);
        return;
    }
    const bool to_thread = exc_return != kExcReturnHandler;
    const unsigned others = nvic_.active_count() - (nvic_.active(n) ? 1 : 0);
    if (to_thread != (others == 0)) {
        raise_fault(std::string("EXC_RETURN ") + hex32(exc_return) +
                        (to_thread ? " to Thread mode with other exceptions active" : " to Handler mode with no exception active"),
                    exc_return & ~1u);
        return;
    }
    const bool use_psp = exc_return == kExcReturnThreadPsp;
    const uint32_t sp = use_psp ? psp() : msp();
    const uint8_t* f = host(sp, 32);
    if (f == nullptr || (sp & 3) != 0) {
        raise_fault("unstacking at SP " + hex32(sp) + " outside SRAM", exc_return & ~1u, sp);
        return;
    }
    uint32_t w[8];
    for (int k = 0; k < 8; ++k) w[k] = le32(f + 4 * k);

    forget_rounds();
    charge(kReturnCycles);
    nvic_.deactivate(n);
    const uint64_t took = cycles_ - entry_cycle_[n];
    if (took > stats_.longest_cycles[n]) stats_.longest_cycles[n] = took;

    const uint32_t new_sp = sp + 32 + ((w[7] & kXpsrAlign) ? 4 : 0);
    const uint32_t m = use_psp ? msp() : new_sp, p = use_psp ? new_sp : psp();
    for (int k = 0; k < 4; ++k) r_[k] = w[k];
    r_[12] = w[4];
    r_[14] = w[5];
    // Thread mode has IPSR 0 whatever the frame says.
    const uint32_t x = (w[7] & ~kXpsrAlign) & (to_thread ? ~0x1FFu : ~0u);
    n_ = (x >> 31) & 1;
    z_ = (x >> 30) & 1;
    c_ = (x >> 29) & 1;
    v_ = (x >> 28) & 1;
    t_ = (x & kXpsrT) != 0;
    ipsr_ = x & 0x1FF;
    control_ = use_psp ? (control_ | 2u) : (control_ & ~2u);
    set_stacks(m, p);
    nvic_.set_current(to_thread ? 0 : (w[7] & 0x1FF));
    attend();   // the execution priority fell
    pc_ = w[6] & ~1u;
    if (!t_) {
        // The return address runs without the Thumb bit: INVSTATE there.
        raise_fault("return to " + hex32(w[6]) + " with xPSR.T clear (INVSTATE)", w[6] & ~1u);
        return;
    }
    if (to_thread && nvic_.sleep_on_exit()) sleeping_ = true;
}

// ---- reset, interrupts, stack ----

void Core::reset() {
    if (in_exec_) {
        deferred_reset_ = true;   // when the instruction ends
        leave();
        return;
    }
    do_reset();
}

void Core::do_reset() {
    sync_time();
    pass_rec_.valid = false;
    nvic_.reset();
    tick_at_ = kNeverCycle;
    attention_ = false;
    sleeping_ = false;
    locked_ = false;
    reset_request_ = false;
    deferred_reset_ = false;
    mem_fault_ = MemFault{};
    new_fault_ = false;
    has_fault_ = false;
    fault_ = Fault{};
    forget_rounds();
    // ARMv6-M ARM, "Reset behavior": Thread mode, MSP from word 0, PC from word 1.
    uint32_t sp = 0, entry = 0;
    read32(0, sp);
    read32(4, entry);
    std::fill(std::begin(r_), std::end(r_), 0u);
    primask_ = false;
    ipsr_ = 0;
    control_ = 0;
    n_ = z_ = c_ = v_ = false;
    set_stacks(sp & ~3u, 0);
    r_[14] = 0xFFFFFFFFu;
    // An entry without its Thumb bit faults on its first instruction (INVSTATE).
    t_ = (entry & 1) != 0;
    pc_ = entry & ~1u;
}

void Core::set_irq(uint8_t line, bool raised) {
    if (line >= 32) throw std::out_of_range("NVIC line " + std::to_string(line));
    if (nvic_.set_line(line, raised)) attend();
}

void Core::scs_reset_request() {
    reset_request_ = true;
    leave();
}

void Core::paint_stack() {
    if (bss_end_ == 0) return;
    const uint32_t sp = r_[13];
    const uint32_t top = std::min(stack_top_, sp >= bss_end_ && in_sram(sp - 1, 1) ? sp : stack_top_);
    uint8_t buf[4];
    put32(buf, kStackPaint);
    for (uint32_t a = (bss_end_ + 3) & ~3u; a + 4 <= top; a += 4)
        if (uint8_t* p = host(a, 4)) std::memcpy(p, buf, 4);
    painted_ = true;
    touch_all();
}

uint32_t Core::stack_high_water() const {
    if (!painted_ || bss_end_ == 0) return 0;
    for (uint32_t a = (bss_end_ + 3) & ~3u; a + 4 <= stack_top_; a += 4) {
        const uint8_t* p = host(a, 4);
        if (p == nullptr || le32(p) != kStackPaint) return a;
    }
    return stack_top_;
}

uint32_t Core::stack_headroom() const {
    const uint32_t hw = stack_high_water();
    return hw > bss_end_ ? hw - bss_end_ : 0;
}

// ---- running ----

// Cycles until tb.now reaches t.
uint64_t Core::cycles_to(zplat::vtime t) const {
    if (t <= tb.now) return 0;
    const long double need = static_cast<long double>(t - tb.now) * 4294967296.0L - static_cast<long double>(frac_);
    const long double n = std::ceil(need / static_cast<long double>(step_));
    if (n >= 1.8e19L) return kNeverCycle - 1;
    return n < 1 ? 1 : static_cast<uint64_t>(n);
}

// The core sleeps (WFI, sleep-on-exit) or is locked up: the clock runs on
// to the next thing that can change that, or to the caller's limit.
void Core::sleep_until_event() {
    sync_time();
    const zplat::vtime limit = std::min(until_, tb.due);
    uint64_t n = limit == zplat::kNever ? kNeverCycle : cycles_to(limit);
    if (!locked_ && tick_at_ != kNeverCycle) n = std::min(n, tick_at_ > cycles_ ? tick_at_ - cycles_ : 1);
    if (n == kNeverCycle) return;   // nothing will ever happen
    charge(n);
    stats_.sleep_cycles += n;
    // Rounding may leave it a cycle short of the limit.
    while (limit != zplat::kNever && tb.now < limit && (locked_ || cycles_ < tick_at_)) {
        charge(1);
        ++stats_.sleep_cycles;
    }
}

void Core::skip_to(zplat::vtime t) {
    sync_time();
    if (t <= tb.now) return;
    const uint64_t n = cycles_to(t);
    charge(n);
    stats_.sleep_cycles += n;
}

Core::Stop Core::finish(Stop s) {
    sync_time();
    // The main stack must not have run into .bss (checked whenever run stops).
    if (s != Stop::Fault && !locked_ && bss_end_ != 0) {
        const uint32_t sp = msp();
        if (sp < bss_end_ && sp >= kSramBase) {
            raise_fault("stack overflow: SP " + hex32(sp) + " below the end of .bss " + hex32(bss_end_), pc_);
            new_fault_ = false;
            return Stop::Fault;
        }
    }
    return s;
}

Core::Stop Core::run(zplat::vtime until) {
    sync_time();
    until_ = until;
    for (;;) {
        if (reset_request_ || deferred_reset_) return handle_reset();
        if (new_fault_) {
            new_fault_ = false;
            if (stepping_) end_step();
            return Stop::Fault;
        }
        if (locked_) {
            if (tb.now < until_ && tb.now < tb.due) sleep_until_event();
            return tb.now >= tb.due ? Stop::Due : Stop::Until;
        }
        if (watch_hit_) {
            watch_hit_ = false;
            halt_ = watch_halt_;
            return finish(Stop::Halt);
        }
        if (break_hit_) {
            break_hit_ = false;
            return finish(Stop::Halt);
        }
        if (stepping_ && stepped_) {
            stepped_ = false;
            if (end_step() == Stop::Halt) return finish(Stop::Halt);
        }
        catch_up_systick();
        if (sleeping_ && nvic_.preempting(false) != 0) sleeping_ = false;   // WFI wakes whatever PRIMASK says
        if (attention_ && !sleeping_) {
            attention_ = false;
            const unsigned n = nvic_.preempting(primask_);
            if (n != 0) {
                enter_exception(n, pc_);
                if (stepping_ && end_step() == Stop::Halt) return finish(Stop::Halt);   // the entry is the step
                continue;
            }
        }
        if (tb.now >= tb.due) return finish(Stop::Due);
        if (tb.now >= until_) return finish(Stop::Until);
        if (sleeping_) {
            const uint64_t before = cycles_;
            sleep_until_event();
            if (cycles_ == before) return finish(Stop::Until);   // nothing can wake it, no limit
            continue;
        }
        execute();
    }
}

Core::Stop Core::handle_reset() {
    sync_time();
    if (reset_request_) {
        reset_request_ = false;
        chip_.system_reset("SYSRESETREQ");   // the chip resets the core and the peripherals
        if (deferred_reset_) {               // the chip's reset came back here while executing
            deferred_reset_ = false;
            do_reset();
        }
    } else {
        do_reset();
    }
    return Stop::Reset;
}

// ---- the debugger's ----

void Core::set_breakpoint(uint32_t addr, bool on) {
    addr &= ~1u;
    if (on) {
        breakpoints_.insert(addr);
    } else {
        breakpoints_.erase(addr);
    }
}

void Core::set_watchpoint(uint32_t addr, uint32_t len, Watch kind, bool on) {
    if (len == 0) return;
    if (on) {
        watchpoints_.push_back(Watchpoint{addr, len, kind});
    } else {
        for (auto it = watchpoints_.begin(); it != watchpoints_.end(); ++it) {
            if (it->addr != addr || it->len != len || it->kind != kind) continue;
            watchpoints_.erase(it);
            break;
        }
        if (watchpoints_.empty()) watch_hit_ = false;
    }
}

// An access touching a watched range stops the core after its instruction.
void Core::watch(uint32_t addr, unsigned size, bool write) {
    if (stepping_log_ && !steps_.empty()) note_free(addr, size, write);
    if (watch_hit_) return;
    const uint64_t lo = addr, hi = uint64_t{addr} + size;
    for (const Watchpoint& w : watchpoints_) {
        if (hi <= w.addr || lo >= uint64_t{w.addr} + w.len) continue;
        if (!(w.kind & (write ? kWatchWrite : kWatchRead))) continue;
        watch_hit_ = true;
        watch_halt_ = Halt{Halt::kWatch, std::max(addr, w.addr), w.kind};
        leave();
        return;
    }
}

void Core::step() {
    stepping_ = true;
    stepped_ = false;
    skip_set_ = true;   // the instruction at the PC runs, breakpoint or not
    skip_pc_ = pc_;
    halt_ = Halt{};
}

void Core::resume() {
    halt_ = Halt{};
    if (breakpoints_.count(pc_) == 0) return;
    // Past the breakpoint first, one instruction, then on.
    step();
    step_resume_ = true;
}

Core::Stop Core::end_step() {
    stepping_ = false;
    stepped_ = false;
    skip_set_ = false;
    halt_ = Halt{Halt::kStep, pc_, kWatchWrite};
    if (step_resume_) {
        step_resume_ = false;
        halt_ = Halt{};
        return Stop::Until;   // not a halt: run() goes on
    }
    return Stop::Halt;
}

bool Core::debug_access(uint32_t addr, uint8_t* data, size_t n, bool write) {
    if (n == 0) return true;
    if (host(addr, n) != nullptr) {
        if (write) return write_memory(addr, data, n);
        return read_memory(addr, data, n);
    }
    if (pages_.count(addr & ~(kPageSize - 1)) != 0) {
        sync_time();
        // The widest access alignment and length allow, as the debug port makes.
        const unsigned w = (addr % 4 == 0 && n % 4 == 0) ? 4 : (addr % 2 == 0 && n % 2 == 0) ? 2 : 1;
        for (size_t k = 0; k < n; k += w) {
            const uint32_t a = addr + static_cast<uint32_t>(k);
            const auto page = pages_.find(a & ~(kPageSize - 1));
            Peripheral* p = page == pages_.end() ? nullptr : page->second->find(a, w);
            if (p == nullptr) return false;
            uint32_t v = 0;
            if (write) {
                for (unsigned b = 0; b < w; ++b) v |= static_cast<uint32_t>(data[k + b]) << (8 * b);
                if (!p->write(a - p->base(), w, v)) return false;
            } else {
                if (!p->read(a - p->base(), w, v)) return false;
                for (unsigned b = 0; b < w; ++b) data[k + b] = static_cast<uint8_t>(v >> (8 * b));
            }
        }
        forget_rounds();
        return true;
    }
    // The NVM rows: read-only.
    if (write) return false;
    for (size_t k = 0; k < nvm_.size(); ++k) {
        if (addr >= nvm_base_[k] && uint64_t{addr} + n <= uint64_t{nvm_base_[k]} + nvm::kMappedBytes) {
            std::memcpy(data, nvm_[k].data() + (addr - nvm_base_[k]), n);
            return true;
        }
    }
    return false;
}

bool Core::debug_read(uint32_t addr, uint8_t* out, size_t n) { return debug_access(addr, out, n, false); }

bool Core::debug_write(uint32_t addr, const uint8_t* in, size_t n) {
    return debug_access(addr, const_cast<uint8_t*>(in), n, true);
}

// ---- the bus ----

template <typename T>
__attribute__((always_inline)) inline bool Core::load(uint32_t addr, uint32_t& v) {
    constexpr unsigned kSize = sizeof(T);
    if (kSize > 1 && (addr & (kSize - 1)) != 0) return unaligned(addr, kSize, false);
    if (watching_) watch(addr, kSize, false);
    T x;
    const uint32_t s = addr - kSramBase;
    if (s < kSramSize) {
        std::memcpy(&x, sram_.data() + s, kSize);
        const uint32_t w = s >> 2;
        pass_words_[w >> 6] |= uint64_t{1} << (w & 63);
        pass_rd_[w] |= static_cast<uint8_t>(byte_lanes(s, kSize) & ~pass_wr_[w]);   // read before the pass wrote it
    } else if (addr < kFlashSize) {
        std::memcpy(&x, flash_.data() + addr, kSize);
    } else {
        return load_slow(addr, kSize, v);
    }
    v = x;
    return true;
}

template <typename T>
__attribute__((always_inline)) inline bool Core::store(uint32_t addr, uint32_t v) {
    constexpr unsigned kSize = sizeof(T);
    if (kSize > 1 && (addr & (kSize - 1)) != 0) return unaligned(addr, kSize, true);
    if (watching_) watch(addr, kSize, true);
    const uint32_t s = addr - kSramBase;
    if (s < kSramSize) {
        const T x = static_cast<T>(v);
        T old;
        std::memcpy(&old, sram_.data() + s, kSize);
        // A store of the value already there changes nothing: a polling loop
        // that spills a register each round is still idle.
        if (old != x) {
            idle_clean_ = false;
            std::memcpy(sram_.data() + s, &x, kSize);
            touch(s);
        }
        const uint32_t w = s >> 2;
        pass_words_[w >> 6] |= uint64_t{1} << (w & 63);
        pass_wr_[w] |= byte_lanes(s, kSize);
        if (tracing_) trace_store(addr, kSize, v);
        return true;
    }
    idle_clean_ = false;
    return store_slow(addr, kSize, v);
}

bool Core::load_slow(uint32_t addr, unsigned size, uint32_t& v) {
    for (size_t k = 0; k < nvm_.size(); ++k) {
        if (addr - nvm_base_[k] < nvm::kMappedBytes) {
            const uint8_t* p = nvm_[k].data() + (addr - nvm_base_[k]);
            v = 0;
            for (unsigned b = 0; b < size; ++b) v |= static_cast<uint32_t>(p[b]) << (8 * b);
            return true;
        }
    }
    return mmio(addr, size, false, v);
}

bool Core::store_slow(uint32_t addr, unsigned size, uint32_t v) {
    if (addr < kFlashSize) return mem_fault("write to flash at " + hex32(addr), addr);
    for (const uint32_t base : nvm_base_)
        if (addr - base < nvm::kMappedBytes)
            return mem_fault("bus error: write to the " + nvm::row_name(addr) + " at " + hex32(addr) + " (read-only)",
                             addr);
    return mmio(addr, size, true, v);
}

// A peripheral's register, through its model, at the time of this instruction.
bool Core::mmio(uint32_t addr, unsigned size, bool write, uint32_t& v) {
    Page* page = page_of(addr);
    if (page == nullptr)
        return mem_fault((write ? "write to unmapped address " : "read of unmapped address ") + hex32(addr), addr);
    if (deferred_reset_ || reset_request_) {   // the chip is resetting: the rest goes nowhere
        v = 0;
        return true;
    }
    Peripheral* p = page->find(addr, size);
    if (p == nullptr) return bus_access_fault(*page, addr, size, write);
    const uint32_t off = addr - p->base();
    if (write) {
        if (size < 4) v &= (1u << (8 * size)) - 1;
        // A write that would change nothing at all is left out.
        const uint64_t version = p->idle_version();
        IdleMemo& memo = idle_memo_[((addr * 0x9E3779B1u) ^ (v * 0x85EBCA77u)) >> 22];
        if (version != 0 && memo.version == version && memo.addr == addr && memo.value == v && memo.size == size &&
            memo.peripheral == p)
            return true;
        sync_time();
        if (p->idle_write(off, size, v)) {
            if (version != 0) memo = IdleMemo{p, addr, v, version, static_cast<uint8_t>(size)};
            if (pass_io_.size() < kPassIoMax) pass_io_.push_back(PassIo{p, off, v, static_cast<uint8_t>(size), true});
            return true;
        }
        pass_clean_ = false;
    } else {
        sync_time();
        // A register that may change with time alone, or whose read does something: no skipping.
        if ((idle_clean_ || pass_clean_) && !p->steady_read(off, size)) idle_clean_ = pass_clean_ = false;
    }
    in_access_ = true;
    const bool ok = write ? p->write(off, size, v) : p->read(off, size, v);
    in_access_ = false;
    if (!ok) return bus_access_fault(*page, addr, size, write);
    if (!write && size < 4) v &= (1u << (8 * size)) - 1;
    if (!write && pass_clean_ && pass_io_.size() < kPassIoMax)
        pass_io_.push_back(PassIo{p, off, v, static_cast<uint8_t>(size), false});
    // The model may have scheduled an event or set SysTick going.
    if (tb.due != due_seen_ || tick_at_ != tick_seen_) set_deadline();
    return true;
}

// ---- instructions ----

uint32_t Core::add_c(uint32_t a, uint32_t b, bool carry) {
    const uint64_t u = uint64_t{a} + b + (carry ? 1 : 0);
    const uint32_t r = static_cast<uint32_t>(u);
    n_ = (r >> 31) != 0;
    z_ = r == 0;
    c_ = (u >> 32) != 0;
    v_ = (((a ^ r) & (b ^ r)) >> 31) != 0;
    return r;
}

void Core::branch(uint32_t target) {
    pc_ = target & ~1u;
    jumped_ = true;
}

// BX, BLX, POP {PC}: bit 0 is the Thumb state; in Handler mode an
// EXC_RETURN value returns from the exception.
void Core::bx(uint32_t target) {
    if (ipsr_ != 0 && (target & 0xF0000000u) == 0xF0000000u) {
        exception_return(target);
        return;
    }
    t_ = (target & 1) != 0;
    pc_ = target & ~1u;
    jumped_ = true;
}

// The instructions from pc_ until the deadline (or a stop, a fault, a
// debugger's halt). Each instruction's handler ends by fetching and
// dispatching the next itself, which keeps the host's branch predictor on
// the image's own instruction sequences.
template <int kMode>
void Core::run_loop() {
    constexpr bool kDebug = kMode == kDebugLoop;
    static void* const kOps[32] = {&&op_00, &&op_01, &&op_02, &&op_03, &&op_04, &&op_05, &&op_06, &&op_07,
                                   &&op_08, &&op_09, &&op_0a, &&op_0b, &&op_0c, &&op_0d, &&op_0e, &&op_0f,
                                   &&op_10, &&op_11, &&op_12, &&op_13, &&op_14, &&op_15, &&op_16, &&op_17,
                                   &&op_18, &&op_19, &&op_1a, &&op_1b, &&op_1c, &&op_wide, &&op_wide, &&op_wide};
    uint32_t* const r = r_;
    const uint8_t* const flash = flash_.data();
    uint32_t pc = 0, next = 0, cycles = 1, v = 0;
    uint16_t h = 0;
    unsigned lo0 = 0, lo3 = 0, lo6 = 0, hi8 = 0;
    auto nz = [this](uint32_t x) {
        n_ = (x >> 31) != 0;
        z_ = x == 0;
        return x;
    };
// Retire the instruction; go on with the next at once unless something
// needs a look (a branch, the deadline, code outside flash, a debugger).
#define ZC_RETIRE()                                                                   \
    do {                                                                              \
        pc_ = next;                                                                   \
        cycles_ += cycles;                                                            \
        ++stats_.instructions;                                                        \
        if (kMode != kFastLoop || jumped_ || cycles_ >= deadline_ || next >= kFlashSize) goto after; \
        pc = next;                                                                    \
        cur_pc_ = pc;                                                                 \
        std::memcpy(&h, flash + pc, 2);                                               \
        cycles = 1;                                                                   \
        next = pc + 2;                                                                \
        lo0 = h & 7;                                                                  \
        lo3 = (h >> 3) & 7;                                                           \
        lo6 = (h >> 6) & 7;                                                           \
        hi8 = (h >> 8) & 7;                                                           \
        goto* kOps[h >> 11];                                                          \
    } while (0)
#define ZC_FAIL()        \
    do {                 \
        fault_at(pc);    \
        goto after;      \
    } while (0)

slow:
    if (cycles_ >= deadline_) return;
    if (kDebug) {
        if (!breakpoints_.empty() && !(skip_set_ && pc_ == skip_pc_) && breakpoints_.count(pc_) != 0) {
            halt_ = Halt{Halt::kBreak, pc_, kWatchWrite};
            break_hit_ = true;
            return;
        }
    } else {
        if (jumped_) {
            jumped_ = false;
            if (skipping_) {
                jump_seen();
                if (cycles_ >= deadline_) return;
            }
        }
        // The pass's instructions are logged, or no longer: on in the other loop.
        if (stepping_log_ != (kMode == kLogLoop)) {
            switch_loop_ = true;
            return;
        }
        if (kMode == kLogLoop) log_step();
    }
    pc = pc_;
    cur_pc_ = pc;
    if (pc < kFlashSize && t_) {
        std::memcpy(&h, flash + pc, 2);
    } else if (pc - kSramBase < kSramSize && t_) {
        std::memcpy(&h, sram_.data() + (pc - kSramBase), 2);
    } else {
        fault_fetch(pc);
        return;
    }
    cycles = 1;
    next = pc + 2;
    lo0 = h & 7;
    lo3 = (h >> 3) & 7;
    lo6 = (h >> 6) & 7;
    hi8 = (h >> 8) & 7;
    goto* kOps[h >> 11];

op_00: {   // LSLS Rd, Rm, #imm
        const unsigned imm = (h >> 6) & 31;
        const uint32_t x = r[lo3];
        if (imm != 0) c_ = ((x >> (32 - imm)) & 1) != 0;
        r[lo0] = nz(x << imm);
        ZC_RETIRE();
    }
op_01: {   // LSRS Rd, Rm, #imm (0: 32)
        const unsigned imm = (h >> 6) & 31;
        const uint32_t x = r[lo3];
        if (imm == 0) {
            c_ = (x >> 31) != 0;
            r[lo0] = nz(0);
        } else {
            c_ = ((x >> (imm - 1)) & 1) != 0;
            r[lo0] = nz(x >> imm);
        }
        ZC_RETIRE();
    }
op_02: {   // ASRS Rd, Rm, #imm (0: 32)
        const unsigned imm = (h >> 6) & 31;
        const uint32_t x = r[lo3];
        if (imm == 0) {
            c_ = (x >> 31) != 0;
            r[lo0] = nz(c_ ? 0xFFFFFFFFu : 0);
        } else {
            c_ = ((x >> (imm - 1)) & 1) != 0;
            r[lo0] = nz(static_cast<uint32_t>(static_cast<int32_t>(x) >> imm));
        }
        ZC_RETIRE();
    }
op_03: {   // ADDS/SUBS register or 3-bit immediate
        const uint32_t b = (h & 0x400) ? lo6 : r[lo6];
        r[lo0] = (h & 0x200) ? add_c(r[lo3], ~b, true) : add_c(r[lo3], b, false);
        ZC_RETIRE();
    }
op_04: r[hi8] = nz(h & 0xFF); ZC_RETIRE();                         // MOVS Rd, #imm8
op_05: add_c(r[hi8], ~(h & 0xFFu), true); ZC_RETIRE();            // CMP Rn, #imm8
op_06: r[hi8] = add_c(r[hi8], h & 0xFFu, false); ZC_RETIRE();     // ADDS Rdn, #imm8
op_07: r[hi8] = add_c(r[hi8], ~(h & 0xFFu), true); ZC_RETIRE();   // SUBS Rdn, #imm8
op_08:
        if ((h & 0x400) == 0) {   // data processing
            const uint32_t a = r[lo0], b = r[lo3];
            switch ((h >> 6) & 15) {
            case 0: r[lo0] = nz(a & b); break;   // ANDS
            case 1: r[lo0] = nz(a ^ b); break;   // EORS
            case 2: {                            // LSLS register
                const uint32_t s = b & 0xFF;
                if (s == 0) {
                    nz(a);
                } else if (s < 32) {
                    c_ = ((a >> (32 - s)) & 1) != 0;
                    r[lo0] = nz(a << s);
                } else {
                    c_ = s == 32 && (a & 1);
                    r[lo0] = nz(0);
                }
                break;
            }
            case 3: {   // LSRS register
                const uint32_t s = b & 0xFF;
                if (s == 0) {
                    nz(a);
                } else if (s < 32) {
                    c_ = ((a >> (s - 1)) & 1) != 0;
                    r[lo0] = nz(a >> s);
                } else {
                    c_ = s == 32 && (a >> 31);
                    r[lo0] = nz(0);
                }
                break;
            }
            case 4: {   // ASRS register
                const uint32_t s = b & 0xFF;
                if (s == 0) {
                    nz(a);
                } else if (s < 32) {
                    c_ = ((a >> (s - 1)) & 1) != 0;
                    r[lo0] = nz(static_cast<uint32_t>(static_cast<int32_t>(a) >> s));
                } else {
                    c_ = (a >> 31) != 0;
                    r[lo0] = nz(c_ ? 0xFFFFFFFFu : 0);
                }
                break;
            }
            case 5: r[lo0] = add_c(a, b, c_); break;    // ADCS
            case 6: r[lo0] = add_c(a, ~b, c_); break;   // SBCS
            case 7: {                                   // RORS
                const uint32_t s = b & 0xFF;
                if (s == 0) {
                    nz(a);
                } else {
                    const uint32_t k = s & 31;
                    const uint32_t x = k == 0 ? a : (a >> k) | (a << (32 - k));
                    c_ = (x >> 31) != 0;
                    r[lo0] = nz(x);
                }
                break;
            }
            case 8: nz(a & b); break;                          // TST
            case 9: r[lo0] = add_c(~b, 0, true); break;        // RSBS Rd, Rn, #0
            case 10: add_c(a, ~b, true); break;                // CMP
            case 11: add_c(a, b, false); break;                // CMN
            case 12: r[lo0] = nz(a | b); break;                // ORRS
            case 13: r[lo0] = nz(a * b); break;                // MULS
            case 14: r[lo0] = nz(a & ~b); break;               // BICS
            default: r[lo0] = nz(~b); break;                   // MVNS
            }
            ZC_RETIRE();
        }
        {   // special data processing, branch and exchange
            const unsigned rd = (h & 7) | ((h >> 4) & 8), rm = (h >> 3) & 15;
            const uint32_t m = rm == 15 ? pc + 4 : r[rm];
            switch ((h >> 8) & 3) {
            case 0: {   // ADD Rdn, Rm
                const uint32_t x = (rd == 15 ? pc + 4 : r[rd]) + m;
                if (rd == 15) {
                    cycles = 2;
                    branch(x);
                    next = pc_;
                } else {
                    r[rd] = rd == 13 ? x & ~3u : x;
                }
                break;
            }
            case 1: add_c(rd == 15 ? pc + 4 : r[rd], ~m, true); break;   // CMP Rn, Rm
            case 2:                                                      // MOV Rd, Rm
                if (rd == 15) {
                    cycles = 2;
                    branch(m);
                    next = pc_;
                } else {
                    r[rd] = rd == 13 ? m & ~3u : m;
                }
                break;
            default:   // BX Rm, BLX Rm
                cycles = 2;
                if (h & 0x80) r[14] = (pc + 2) | 1u;
                cycles_ += cycles;
                ++stats_.instructions;
                bx(m);
                goto after;
            }
        }
        ZC_RETIRE();
op_09:   // LDR Rt, [PC, #imm8]
        cycles = 2;
        if (!load<uint32_t>(((pc + 4) & ~3u) + (h & 0xFFu) * 4, v)) ZC_FAIL();
        r[hi8] = v;
        ZC_RETIRE();
op_0a:
op_0b: {   // load/store, register offset
        const uint32_t a = r[lo3] + r[lo6];
        cycles = 2;
        bool ok = true;
        switch ((h >> 9) & 7) {
        case 0: ok = store<uint32_t>(a, r[lo0]); break;
        case 1: ok = store<uint16_t>(a, r[lo0]); break;
        case 2: ok = store<uint8_t>(a, r[lo0]); break;
        case 3:
            if ((ok = load<uint8_t>(a, v))) r[lo0] = static_cast<uint32_t>(sext(v, 8));
            break;
        case 4:
            if ((ok = load<uint32_t>(a, v))) r[lo0] = v;
            break;
        case 5:
            if ((ok = load<uint16_t>(a, v))) r[lo0] = v;
            break;
        case 6:
            if ((ok = load<uint8_t>(a, v))) r[lo0] = v;
            break;
        default:
            if ((ok = load<uint16_t>(a, v))) r[lo0] = static_cast<uint32_t>(sext(v, 16));
            break;
        }
        if (!ok) ZC_FAIL();
        ZC_RETIRE();
    }
op_0c:   // STR Rt, [Rn, #imm5*4]
        cycles = 2;
        if (!store<uint32_t>(r[lo3] + ((h >> 6) & 31) * 4, r[lo0])) ZC_FAIL();
        ZC_RETIRE();
op_0d:   // LDR
        cycles = 2;
        if (!load<uint32_t>(r[lo3] + ((h >> 6) & 31) * 4, v)) ZC_FAIL();
        r[lo0] = v;
        ZC_RETIRE();
op_0e:   // STRB
        cycles = 2;
        if (!store<uint8_t>(r[lo3] + ((h >> 6) & 31), r[lo0])) ZC_FAIL();
        ZC_RETIRE();
op_0f:   // LDRB
        cycles = 2;
        if (!load<uint8_t>(r[lo3] + ((h >> 6) & 31), v)) ZC_FAIL();
        r[lo0] = v;
        ZC_RETIRE();
op_10:   // STRH
        cycles = 2;
        if (!store<uint16_t>(r[lo3] + ((h >> 6) & 31) * 2, r[lo0])) ZC_FAIL();
        ZC_RETIRE();
op_11:   // LDRH
        cycles = 2;
        if (!load<uint16_t>(r[lo3] + ((h >> 6) & 31) * 2, v)) ZC_FAIL();
        r[lo0] = v;
        ZC_RETIRE();
op_12:   // STR Rt, [SP, #imm8*4]
        cycles = 2;
        if (!store<uint32_t>(r[13] + (h & 0xFFu) * 4, r[hi8])) ZC_FAIL();
        ZC_RETIRE();
op_13:   // LDR Rt, [SP, #imm8*4]
        cycles = 2;
        if (!load<uint32_t>(r[13] + (h & 0xFFu) * 4, v)) ZC_FAIL();
        r[hi8] = v;
        ZC_RETIRE();
op_14: r[hi8] = ((pc + 4) & ~3u) + (h & 0xFFu) * 4; ZC_RETIRE();   // ADR
op_15: r[hi8] = r[13] + (h & 0xFFu) * 4; ZC_RETIRE();              // ADD Rd, SP, #imm8*4
op_16:
op_17:   // miscellaneous
        switch ((h >> 8) & 15) {
        case 0x0:   // ADD/SUB SP, SP, #imm7*4
            r[13] = (h & 0x80) ? r[13] - (h & 0x7Fu) * 4 : r[13] + (h & 0x7Fu) * 4;
            break;
        case 0x2: {
            const uint32_t m = r[lo3];
            switch ((h >> 6) & 3) {
            case 0: r[lo0] = static_cast<uint32_t>(sext(m & 0xFFFF, 16)); break;   // SXTH
            case 1: r[lo0] = static_cast<uint32_t>(sext(m & 0xFF, 8)); break;      // SXTB
            case 2: r[lo0] = m & 0xFFFF; break;                                   // UXTH
            default: r[lo0] = m & 0xFF; break;                                    // UXTB
            }
            break;
        }
        case 0x4:
        case 0x5: {   // PUSH {list, LR}
            const uint32_t list = h & 0xFF, n = popcount(h & 0x1FF);
            cycles = 1 + n;
            uint32_t a = r[13] - 4 * n;
            for (unsigned k = 0; k < 8; ++k) {
                if (!(list & (1u << k))) continue;
                if (!store<uint32_t>(a, r[k])) ZC_FAIL();
                a += 4;
            }
            if ((h & 0x100) && !store<uint32_t>(a, r[14])) ZC_FAIL();
            r[13] -= 4 * n;
            break;
        }
        case 0x6:
            if ((h & 0xFFEF) != 0xB662) goto undefined;   // CPSIE i, CPSID i
            primask_ = (h & 0x10) != 0;
            if (nvic_.highest_pending() != 0) attend();
            break;
        case 0xA: {
            const uint32_t m = r[lo3];
            switch ((h >> 6) & 3) {
            case 0: r[lo0] = __builtin_bswap32(m); break;   // REV
            case 1: r[lo0] = ((m & 0x00FF00FFu) << 8) | ((m >> 8) & 0x00FF00FFu); break;   // REV16
            case 3:   // REVSH
                r[lo0] = static_cast<uint32_t>(sext(((m & 0xFF) << 8) | ((m >> 8) & 0xFF), 16));
                break;
            default: goto undefined;
            }
            break;
        }
        case 0xC:
        case 0xD: {   // POP {list, PC}
            const uint32_t list = h & 0xFF, n = popcount(h & 0x1FF);
            cycles = 1 + n + ((h & 0x100) ? 2 : 0);
            uint32_t vals[9];
            uint32_t a = r[13];
            for (unsigned k = 0; k < n; ++k, a += 4)
                if (!load<uint32_t>(a, vals[k])) ZC_FAIL();
            unsigned j = 0;
            for (unsigned k = 0; k < 8; ++k)
                if (list & (1u << k)) r[k] = vals[j++];
            r[13] += 4 * n;
            if (h & 0x100) {
                cycles_ += cycles;
                ++stats_.instructions;
                bx(vals[j]);
                goto after;
            }
            break;
        }
        case 0xE:   // BKPT
            fault_bkpt(pc);
            goto after;
        case 0xF:   // hints
            if (h & 0xF) goto undefined;
            if (h == 0xBF30) {   // WFI: ARMv6-M ARM, "Wait For Interrupt"
                cycles = 2;
                sleeping_ = true;
                leave();
            } else if (h == 0xBF20) {   // WFE: nothing to wait for here
                cycles = 2;
            }
            break;
        default: goto undefined;
        }
        ZC_RETIRE();
op_18: {   // STM Rn!, {list}
        const uint32_t list = h & 0xFF, n = popcount(list);
        cycles = 1 + n;
        uint32_t a = r[hi8];
        for (unsigned k = 0; k < 8; ++k) {
            if (!(list & (1u << k))) continue;
            if (!store<uint32_t>(a, r[k])) ZC_FAIL();
            a += 4;
        }
        r[hi8] += 4 * n;
        ZC_RETIRE();
    }
op_19: {   // LDM Rn!, {list}: no write-back when Rn is in the list
        const uint32_t list = h & 0xFF, n = popcount(list);
        cycles = 1 + n;
        uint32_t vals[8];
        uint32_t a = r[hi8];
        for (unsigned k = 0; k < n; ++k, a += 4)
            if (!load<uint32_t>(a, vals[k])) ZC_FAIL();
        if (!(list & (1u << hi8))) r[hi8] += 4 * n;
        unsigned j = 0;
        for (unsigned k = 0; k < 8; ++k)
            if (list & (1u << k)) r[k] = vals[j++];
        ZC_RETIRE();
    }
op_1a:
op_1b: {   // B<cond>, UDF, SVC
        const unsigned cond = (h >> 8) & 15;
        if (cond == 0xE) goto undefined;
        if (cond == 0xF) {   // SVC: taken now, or escalated to HardFault (ARMv6-M ARM, "Exception priorities and preemption")
            cycles_ += 1;
            ++stats_.instructions;
            pc_ = next;
            if (nvic_.priority(Nvic::kSvCall) < nvic_.execution_priority(primask_)) {
                nvic_.set_pending(Nvic::kSvCall);
                attend();
            } else {
                fault_svc(pc);
            }
            goto after;
        }
        bool take;
        switch (cond >> 1) {
        case 0: take = z_; break;
        case 1: take = c_; break;
        case 2: take = n_; break;
        case 3: take = v_; break;
        case 4: take = c_ && !z_; break;
        case 5: take = n_ == v_; break;
        default: take = !z_ && n_ == v_; break;
        }
        if (cond & 1) take = !take;
        if (take) {
            cycles = 2;
            next = pc + 4 + static_cast<uint32_t>(sext(h & 0xFF, 8) * 2);
            jumped_ = true;
        } else {
            block_ = next;   // straight-line code begins again after it
        }
        ZC_RETIRE();
    }
op_1c:   // B
        cycles = 2;
        next = pc + 4 + static_cast<uint32_t>(sext(h & 0x7FF, 11) * 2);
        jumped_ = true;
        ZC_RETIRE();
op_wide:
    if (!exec32(h)) goto undefined;
    goto after;
undefined:
    fault_undefined(h, pc);
after:
    if (kDebug) {
        skip_set_ = false;
        if (stepping_) {
            stepped_ = true;
            return;
        }
    }
    goto slow;
#undef ZC_RETIRE
#undef ZC_FAIL
}

void Core::execute() {
    stop_ = false;
    jumped_ = false;
    mem_fault_ = MemFault{};
    debug_ = stepping_ || !breakpoints_.empty() || !watchpoints_.empty();
    // Under a debugger every round runs: a stop must land where it was asked.
    skipping_ = idle_skip_ && !debug_;
    forget_rounds();   // the world may have changed while stopped
    block_ = pc_;
    set_deadline();
    in_exec_ = true;
    // Whatever must end the run (an interrupt, a stop, the time) sets the
    // deadline to 0: one test per instruction.
    do {
        switch_loop_ = false;
        watching_ = !watchpoints_.empty() || (stepping_log_ && !debug_);
        if (debug_) {
            run_loop<kDebugLoop>();
        } else if (stepping_log_) {
            run_loop<kLogLoop>();
        } else {
            run_loop<kFastLoop>();
        }
    } while (switch_loop_);
    in_exec_ = false;
    sync_time();
}

// Kept out of run_loop(), whose frame stays small.
void Core::fault_at(uint32_t pc) { raise_fault(mem_fault_.kind, pc, mem_fault_.address); }

void Core::fault_fetch(uint32_t pc) {
    if (!t_) {
        raise_fault("jump to a non-Thumb address " + hex32(pc) + " (INVSTATE)", pc);
        return;
    }
    raise_fault("execution outside flash and SRAM at " + hex32(pc) +
                    (pc >= 0xFFFFFF00u && ipsr_ == 0 ? " (EXC_RETURN value in Thread mode)" : ""),
                pc);
}

void Core::fault_undefined(uint16_t h, uint32_t pc) {
    char what[64];
    std::snprintf(what, sizeof what, "undefined instruction 0x%04X", h);
    raise_fault(what, pc);
}

void Core::fault_svc(uint32_t pc) { raise_fault("SVC while SVCall cannot preempt (escalated)", pc); }

void Core::fault_bkpt(uint32_t pc) { raise_fault("BKPT without a debugger", pc); }

// 32-bit instructions: BL, MSR, MRS, DMB, DSB, ISB (ARMv6-M ARM, "32-bit
// Thumb instruction encoding"). False: undefined.
bool Core::exec32(uint16_t h) {
    const uint32_t pc = pc_;
    uint16_t h2;
    if (pc + 2 < kFlashSize) {
        std::memcpy(&h2, flash_.data() + pc + 2, 2);
    } else if (pc + 2 - kSramBase < kSramSize) {
        std::memcpy(&h2, sram_.data() + (pc + 2 - kSramBase), 2);
    } else {
        raise_fault("execution outside flash and SRAM at " + hex32(pc + 2), pc + 2);
        return true;
    }
    uint32_t next = pc + 4;
    if ((h & 0xF800) == 0xF000 && (h2 & 0xD000) == 0xD000) {   // BL
        const uint32_t s = (h >> 10) & 1, j1 = (h2 >> 13) & 1, j2 = (h2 >> 11) & 1;
        const uint32_t imm = s << 24 | (!(j1 ^ s)) << 23 | (!(j2 ^ s)) << 22 | (h & 0x3FFu) << 12 | (h2 & 0x7FFu) << 1;
        r_[14] = next | 1u;
        next = pc + 4 + static_cast<uint32_t>(sext(imm, 25));
        jumped_ = true;
    } else if ((h & 0xFFE0) == 0xF380 && (h2 & 0xFF00) == 0x8800) {   // MSR spec_reg, Rn
        const uint32_t x = r_[h & 15], sysm = h2 & 0xFF;
        if ((h & 15) == 13 || (h & 15) == 15) return false;
        switch (sysm >> 3) {
        case 0:
            if (!(sysm & 4)) {
                n_ = (x >> 31) & 1;
                z_ = (x >> 30) & 1;
                c_ = (x >> 29) & 1;
                v_ = (x >> 28) & 1;
            }
            break;
        case 1:
            if (sysm == 8) set_stacks(x & ~3u, psp());
            if (sysm == 9) set_stacks(msp(), x & ~3u);
            break;
        case 2:
            if (sysm == 16) primask_ = (x & 1) != 0;
            if (sysm == 20) set_mode(ipsr_, ipsr_ == 0 ? (x & 3u) : ((control_ & 2u) | (x & 1u)));
            break;
        default: break;
        }
        if (nvic_.highest_pending() != 0) attend();
    } else if (h == 0xF3EF && (h2 & 0xF000) == 0x8000) {   // MRS Rd, spec_reg
        const uint32_t d = (h2 >> 8) & 15, sysm = h2 & 0xFF;
        if (d == 13 || d == 15) return false;
        uint32_t x = 0;
        switch (sysm >> 3) {
        case 0:
            if (sysm & 1) x |= ipsr_;
            if (!(sysm & 4)) x |= xpsr() & 0xF0000000u;
            break;
        case 1: x = sysm == 8 ? msp() : sysm == 9 ? psp() : 0; break;
        case 2: x = sysm == 16 ? (primask_ ? 1u : 0u) : sysm == 20 ? control_ : 0; break;
        default: break;
        }
        r_[d] = x;
    } else if (h == 0xF3BF && (h2 & 0xFF00) == 0x8F00 && ((h2 >> 4) & 15) >= 4 && ((h2 >> 4) & 15) <= 6) {
        // DSB, DMB, ISB: nothing is buffered here
    } else {
        return false;
    }
    pc_ = next;
    cycles_ += 3;
    ++stats_.instructions;
    return true;
}

}  // namespace zchip
