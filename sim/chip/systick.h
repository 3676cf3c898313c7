// SysTick, the ARMv6-M system timer (ARMv6-M ARM, "The system timer,
// SysTick"): a 24-bit down counter clocked by the CPU clock. It is counted
// lazily from the core's cycle counter: nothing happens per cycle, the core
// asks for the next cycle at which the counter reaches 0.
#pragma once
#include <cstdint>

namespace zchip {

class SysTick {
public:
    // Register offsets from 0xE000E010.
    static constexpr uint32_t kCsr = 0x0, kRvr = 0x4, kCvr = 0x8, kCalib = 0xC;
    static constexpr uint32_t kEnable = 1u << 0, kTickInt = 1u << 1, kClkSource = 1u << 2, kCountFlag = 1u << 16;
    // No reference clock (NOREF), so CLKSOURCE reads as 1; TENMS unknown (SKEW).
    static constexpr uint32_t kCalibValue = 0xC0000000u;
    static constexpr uint64_t kNever = UINT64_MAX;

    void reset();
    // Register access at cycle `now`. Reading CSR clears COUNTFLAG.
    uint32_t read(uint32_t offset, uint64_t now);
    void write(uint32_t offset, uint32_t value, uint64_t now);

    // Brings the counter up to cycle `now`; true when it reached 0 on the way
    // with TICKINT set (the SysTick exception becomes pending).
    bool advance(uint64_t now);
    // The cycle at which the counter next reaches 0 with TICKINT set (when the
    // core must call advance), kNever when it will not.
    uint64_t next_interrupt() const { return (enabled_ && tickint_) ? next_zero_ : kNever; }

    bool enabled() const { return enabled_; }
    uint32_t value(uint64_t now) const;

private:
    void anchor(uint64_t now);   // re-base the lazy count at `now`

    bool enabled_ = false;
    bool tickint_ = false;
    bool countflag_ = false;
    uint32_t rvr_ = 0;
    uint64_t anchor_cycle_ = 0;     // the counter held anchor_value_ at this cycle
    uint32_t anchor_value_ = 0;
    uint64_t next_zero_ = kNever;   // next cycle at which it counts 1 -> 0
};

}  // namespace zchip
