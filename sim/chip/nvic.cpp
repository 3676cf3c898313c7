#include "nvic.h"

#include <cstdio>

namespace zchip {
namespace {

// Offsets from 0xE000E000 (ARMv6-M ARM, "System control and ID registers",
// "SysTick register support", "NVIC register support in the SCS").
constexpr uint32_t kSysTickLo = 0x010, kSysTickHi = 0x020;
constexpr uint32_t kIser = 0x100, kIcer = 0x180, kIspr = 0x200, kIcpr = 0x280;
constexpr uint32_t kIprLo = 0x400, kIprHi = 0x420;
constexpr uint32_t kCpuidOff = 0xD00, kIcsr = 0xD04, kVtor = 0xD08, kAircr = 0xD0C, kScr = 0xD10, kCcr = 0xD14;
constexpr uint32_t kShpr2 = 0xD1C, kShpr3 = 0xD20;

// ICSR fields ("Interrupt Control and State Register").
constexpr uint32_t kNmiPendSet = 1u << 31, kPendSvSet = 1u << 28, kPendSvClr = 1u << 27;
constexpr uint32_t kPendStSet = 1u << 26, kPendStClr = 1u << 25, kIsrPending = 1u << 22;
// AIRCR fields ("Application Interrupt and Reset Control Register"):
// VECTKEY reads as 0xFA05 and must be written as 0x05FA.
constexpr uint32_t kVectKeyRead = 0xFA050000u, kVectKeyWrite = 0x05FAu;
constexpr uint32_t kSysResetReq = 1u << 2, kVectClrActive = 1u << 1;
// CCR ("Configuration and Control Register"): STKALIGN and UNALIGN_TRP
// are fixed at 1 on ARMv6-M.
constexpr uint32_t kCcrValue = (1u << 9) | (1u << 3);
// Two priority bits implemented, [7:6] of each byte.
constexpr uint8_t kPrioMask = 0xC0;

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

}  // namespace

Nvic::Nvic(Chip& chip, ScsOwner& owner) : Peripheral("SCS", kBase, kSize), chip_(chip), owner_(owner) {}

void Nvic::reset() {
    systick_.reset();
    pending_ = 0;
    active_ = 0;
    enabled_ = 0;
    for (uint8_t& p : irq_prio_) p = 0;
    svcall_prio_ = pendsv_prio_ = systick_prio_ = 0;
    vtor_ = 0;
    scr_ = 0;
    current_ = 0;
    // Every peripheral's interrupt enables reset to 0, so every line is low.
    level_ = 0;
}

bool Nvic::enabled(unsigned e) const {
    if (e >= kIrq0) return e < kExceptions && ((enabled_ >> (e - kIrq0)) & 1);
    return e == kNmi || e == kHardFault || e == kSvCall || e == kPendSv || e == kSysTick;
}

int Nvic::priority(unsigned e) const {
    switch (e) {
    case 1:
        return -3;
    case kNmi:
        return -2;
    case kHardFault:
        return -1;
    case kSvCall:
        return svcall_prio_;
    case kPendSv:
        return pendsv_prio_;
    case kSysTick:
        return systick_prio_;
    default:
        break;
    }
    if (e >= kIrq0 && e < kExceptions) return irq_prio_[e - kIrq0];
    return kBasePriority;
}

int Nvic::execution_priority(bool primask) const {
    int p = kBasePriority;
    for (uint64_t a = active_; a != 0; a &= a - 1) {
        const int q = priority(static_cast<unsigned>(__builtin_ctzll(a)));
        if (q < p) p = q;
    }
    if (primask && p > 0) p = 0;
    return p;
}

unsigned Nvic::highest_pending() const {
    unsigned best = 0;
    int best_prio = kBasePriority + 1;
    for (uint64_t p = pending_; p != 0; p &= p - 1) {
        const unsigned e = static_cast<unsigned>(__builtin_ctzll(p));
        if (!enabled(e)) continue;
        const int q = priority(e);
        if (q < best_prio) {   // ascending numbers: a tie keeps the lower one
            best = e;
            best_prio = q;
        }
    }
    return best;
}

unsigned Nvic::active_count() const { return static_cast<unsigned>(__builtin_popcountll(active_)); }

void Nvic::activate(unsigned e) {
    pending_ &= ~(uint64_t{1} << e);
    active_ |= uint64_t{1} << e;
}

void Nvic::deactivate(unsigned e) {
    active_ &= ~(uint64_t{1} << e);
    // A level-sensitive line still asserted pends again (ARMv6-M ARM, "NVIC
    // operation").
    if (e >= kIrq0 && ((level_ >> (e - kIrq0)) & 1)) pending_ |= uint64_t{1} << e;
}

bool Nvic::set_line(unsigned line, bool level) {
    const uint32_t bit = 1u << line;
    const uint64_t before = pending_;
    if (level) {
        // Pending while asserted and not active; a rising edge pends it even
        // while its handler runs.
        if (!(level_ & bit) || !active(kIrq0 + line)) pending_ |= uint64_t{1} << (kIrq0 + line);
        level_ |= bit;
    } else {
        level_ &= ~bit;
    }
    return pending_ != before;
}

void Nvic::set_pending(unsigned e) { pending_ |= uint64_t{1} << e; }

void Nvic::report(const std::string& what) { chip_.forbidden(what); }

void Nvic::report_once(const std::string& what) {
    if (reported_.insert(what).second) chip_.forbidden(what);
}

// The NVIC, SCB and SysTick registers are word-accessible only on ARMv6-M
// (ARMv6-M ARM, "System Control Space"): a byte or halfword access is a bus
// error here, never merged into the word.
bool Nvic::read(uint32_t offset, unsigned width, uint32_t& value) {
    if (width != 4) return false;
    value = read_word(offset);
    return true;
}

bool Nvic::write(uint32_t offset, unsigned width, uint32_t value) {
    if (width != 4) return false;
    write_word(offset, value);
    return true;
}

std::string Nvic::register_name(uint32_t offset) {
    const uint32_t off = offset & ~3u;
    if (off >= kIprLo && off < kIprHi) return "NVIC_IPR" + std::to_string((off - kIprLo) / 4);
    static const struct {
        uint32_t off;
        const char* name;
    } kNames[] = {{0x010, "SYST_CSR"}, {0x014, "SYST_RVR"}, {0x018, "SYST_CVR"},  {0x01C, "SYST_CALIB"},
                  {kIser, "NVIC_ISER"}, {kIcer, "NVIC_ICER"}, {kIspr, "NVIC_ISPR"}, {kIcpr, "NVIC_ICPR"},
                  {kCpuidOff, "CPUID"},  {kIcsr, "ICSR"},      {kVtor, "VTOR"},      {kAircr, "AIRCR"},
                  {kScr, "SCR"},         {kCcr, "CCR"},        {kShpr2, "SHPR2"},    {kShpr3, "SHPR3"}};
    for (const auto& n : kNames)
        if (n.off == off) return n.name;
    return "SCS+0x" + hex(off).substr(7);
}

std::string Nvic::refusal(uint32_t offset, unsigned width, bool write) const {
    if (width == 4) return {};
    return register_name(offset) + " at " + hex(kBase + (offset & ~3u)) + " takes word accesses only (ARMv6-M), not " +
           std::to_string(8 * width) + "-bit " + (write ? "writes" : "reads");
}

uint32_t Nvic::read_word(uint32_t off) {
    if (off >= kSysTickLo && off < kSysTickHi) {
        const uint64_t now = owner_.scs_cycles();
        if (systick_.advance(now)) {
            set_pending(kSysTick);
            owner_.scs_changed();
        }
        return systick_.read(off - kSysTickLo, now);
    }
    if (off >= kIprLo && off < kIprHi) {
        const unsigned n = off - kIprLo;
        return irq_prio_[n] | irq_prio_[n + 1] << 8 | irq_prio_[n + 2] << 16 | uint32_t{irq_prio_[n + 3]} << 24;
    }
    switch (off) {
    case kIser:
    case kIcer:
        return enabled_;
    case kIspr:
    case kIcpr:
        return static_cast<uint32_t>(pending_ >> kIrq0);
    case kCpuidOff:
        return kCpuid;
    case kIcsr: {
        uint32_t v = current_ & 0x1FF;
        v |= (highest_pending() & 0x1FF) << 12;
        if (pending_ >> kIrq0) v |= kIsrPending;
        if (pending(kSysTick)) v |= kPendStSet;
        if (pending(kPendSv)) v |= kPendSvSet;
        if (pending(kNmi)) v |= kNmiPendSet;
        return v;
    }
    case kVtor:
        return vtor_;
    case kAircr:
        return kVectKeyRead;
    case kScr:
        return scr_;
    case kCcr:
        return kCcrValue;
    case kShpr2:
        return uint32_t{svcall_prio_} << 24;
    case kShpr3:
        return uint32_t{systick_prio_} << 24 | uint32_t{pendsv_prio_} << 16;
    default:
        report_once("read of an unmodelled system control space register at " + hex(kBase + off));
        return 0;
    }
}

void Nvic::write_word(uint32_t off, uint32_t v) {
    if (off >= kSysTickLo && off < kSysTickHi) {
        const uint64_t now = owner_.scs_cycles();
        if (systick_.advance(now)) {
            set_pending(kSysTick);
            owner_.scs_changed();
        }
        systick_.write(off - kSysTickLo, v, now);
        owner_.scs_systick_changed();
        return;
    }
    if (off >= kIprLo && off < kIprHi) {
        const unsigned n = off - kIprLo;
        for (unsigned i = 0; i < 4; ++i) irq_prio_[n + i] = static_cast<uint8_t>(v >> (8 * i)) & kPrioMask;
        owner_.scs_changed();
        return;
    }
    switch (off) {
    case kIser:
        enabled_ |= v;
        owner_.scs_changed();
        return;
    case kIcer:
        enabled_ &= ~v;
        owner_.scs_changed();
        return;
    case kIspr:
        pending_ |= uint64_t{v} << kIrq0;
        owner_.scs_changed();
        return;
    case kIcpr: {
        // A line still asserted and not active stays pending.
        uint32_t active_lines = static_cast<uint32_t>(active_ >> kIrq0);
        const uint32_t clear = v & ~(level_ & ~active_lines);
        pending_ &= ~(uint64_t{clear} << kIrq0);
        owner_.scs_changed();
        return;
    }
    case kIcsr:
        if (v & kPendSvClr) pending_ &= ~(uint64_t{1} << kPendSv);
        if (v & kPendStClr) pending_ &= ~(uint64_t{1} << kSysTick);
        if (v & kPendSvSet) set_pending(kPendSv);
        if (v & kPendStSet) set_pending(kSysTick);
        if (v & kNmiPendSet) set_pending(kNmi);
        owner_.scs_changed();
        return;
    case kVtor:
        vtor_ = v & 0xFFFFFF80u;
        return;
    case kAircr:
        if ((v >> 16) != kVectKeyWrite) {
            report("AIRCR written without VECTKEY 0x05FA: ignored");
            return;
        }
        if (v & kVectClrActive) report_once("AIRCR.VECTCLRACTIVE written outside debug: ignored");
        if (v & kSysResetReq) owner_.scs_reset_request();
        return;
    case kScr:
        scr_ = v & (kScrSleepOnExit | kScrSleepDeep | kScrSevOnPend);
        return;
    case kShpr2:
        svcall_prio_ = static_cast<uint8_t>(v >> 24) & kPrioMask;
        owner_.scs_changed();
        return;
    case kShpr3:
        pendsv_prio_ = static_cast<uint8_t>(v >> 16) & kPrioMask;
        systick_prio_ = static_cast<uint8_t>(v >> 24) & kPrioMask;
        owner_.scs_changed();
        return;
    case kCpuidOff:
    case kCcr:
        report_once("write to a read-only system control space register at " + hex(kBase + off));
        return;
    default:
        report_once("write to an unmodelled system control space register at " + hex(kBase + off));
        return;
    }
}

}  // namespace zchip
