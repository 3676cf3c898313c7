// The System Control Space of an ARMv6-M core (ARMv6-M ARM, "System Control
// Space", "Nested Vectored Interrupt Controller"): the NVIC's
// enable, pending and priority registers, the SCB registers an image uses
// (CPUID, ICSR, VTOR, AIRCR, SCR, CCR, SHPR2, SHPR3), SysTick forwarded to
// its model, and the exception state the core's entry and return work on:
// which exceptions are pending and active and at what priority.
//
// Exception numbers: 1 Reset, 2 NMI, 3 HardFault, 11 SVCall, 14 PendSV,
// 15 SysTick, 16 + n external interrupt line n (n = 0..31).
#pragma once
#include <cstdint>
#include <set>
#include <string>

#include "bus.h"
#include "systick.h"

namespace zchip {

// What the SCS needs from the core that owns it.
class ScsOwner {
public:
    virtual ~ScsOwner() = default;
    // The core's cycle count now (SysTick counts it).
    virtual uint64_t scs_cycles() const = 0;
    // Pending, enabled or priority state changed: re-evaluate preemption.
    virtual void scs_changed() = 0;
    // SysTick was reprogrammed: its next interrupt cycle may have moved.
    virtual void scs_systick_changed() = 0;
    // AIRCR.SYSRESETREQ written with the right key.
    virtual void scs_reset_request() = 0;
};

class Nvic : public Peripheral {
public:
    static constexpr uint32_t kBase = 0xE000E000u, kSize = 0x1000u;
    static constexpr unsigned kExceptions = 48;
    static constexpr unsigned kNmi = 2, kHardFault = 3, kSvCall = 11, kPendSv = 14, kSysTick = 15, kIrq0 = 16;
    // Execution priority with nothing active: lower than every configurable level.
    static constexpr int kBasePriority = 256;
    // Cortex-M0+ r0p1 (Cortex-M0+ TRM, "CPUID Base Register").
    static constexpr uint32_t kCpuid = 0x410CC601u;

    Nvic(Chip& chip, ScsOwner& owner);

    // Word accesses only; any other is refused (a bus error).
    bool read(uint32_t offset, unsigned width, uint32_t& value) override;
    bool write(uint32_t offset, unsigned width, uint32_t value) override;
    std::string refusal(uint32_t offset, unsigned width, bool write) const override;
    void reset() override;
    // "NVIC_IPR6", "SYST_CSR", ... for an offset from kBase.
    static std::string register_name(uint32_t offset);

    // An external interrupt line's level (level-sensitive, ARMv6-M ARM
    // "NVIC operation": pending while asserted and not active; re-pended at the return
    // from its handler if still asserted). True when its pending state changed.
    bool set_line(unsigned line, bool level);
    void set_pending(unsigned exception);
    void clear_pending(unsigned exception) { pending_ &= ~(uint64_t{1} << exception); }
    bool pending(unsigned exception) const { return (pending_ >> exception) & 1; }
    bool active(unsigned exception) const { return (active_ >> exception) & 1; }
    bool enabled(unsigned exception) const;
    uint64_t active_mask() const { return active_; }
    unsigned active_count() const;

    // Priority of an exception: -3 Reset, -2 NMI, -1 HardFault, else 0..192
    // in steps of 64 (two priority bits implemented).
    int priority(unsigned exception) const;
    // The execution priority (ARMv6-M ARM, "Execution priority and
    // priority boosting"): the highest active priority, PRIMASK boosting to 0.
    int execution_priority(bool primask) const;
    // The pending, enabled exception of highest priority (lowest number on a
    // tie), 0 when none.
    unsigned highest_pending() const;
    // The exception to take now, 0 when none preempts.
    unsigned preempting(bool primask) const {
        const unsigned e = highest_pending();
        return (e != 0 && priority(e) < execution_priority(primask)) ? e : 0;
    }
    // Exception entry and return bookkeeping; `current` is what IPSR shows.
    void activate(unsigned exception);
    void deactivate(unsigned exception);
    void set_current(unsigned exception) { current_ = exception; }

    uint32_t vtor() const { return vtor_; }
    bool sleep_on_exit() const { return (scr_ & kScrSleepOnExit) != 0; }
    bool sleep_deep() const { return (scr_ & kScrSleepDeep) != 0; }
    SysTick& systick() { return systick_; }

private:
    static constexpr uint32_t kScrSleepOnExit = 1u << 1, kScrSleepDeep = 1u << 2, kScrSevOnPend = 1u << 4;

    uint32_t read_word(uint32_t offset);
    void write_word(uint32_t offset, uint32_t value);
    void report(const std::string& what);
    void report_once(const std::string& what);

    Chip& chip_;
    ScsOwner& owner_;
    SysTick systick_;
    uint64_t pending_ = 0;       // bit per exception number
    uint64_t active_ = 0;
    uint32_t enabled_ = 0;       // ISER, bit per line
    uint32_t level_ = 0;         // input lines as the peripherals drive them
    uint8_t irq_prio_[32] = {};  // IPR bytes, bits [7:6] kept
    uint8_t svcall_prio_ = 0;    // SHPR2 [31:24]
    uint8_t pendsv_prio_ = 0;    // SHPR3 [23:16]
    uint8_t systick_prio_ = 0;   // SHPR3 [31:24]
    uint32_t vtor_ = 0;
    uint32_t scr_ = 0;
    unsigned current_ = 0;
    std::set<std::string> reported_;
};

}  // namespace zchip
