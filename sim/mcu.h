// The chip's own timer and watchdog, as the virtual board sees them through
// the registers the firmware writes: TC0 with its generic clock channel and
// NVIC line, the WDT with its bus clock.
#pragma once
#include <cstdint>

#include "host/timebase.h"

namespace zsim {

using zplat::vtime;

class Mcu {
public:
    // Generic clock generator 1 runs at 8 MHz from the platform's start-up.
    static constexpr uint64_t kGen1Hz = 8000000;
    static constexpr uint64_t kGen0Hz = 48000000;
    // Writes to CTRLA and CLEAR take two cycles of the WDT's 1.024 kHz clock
    // to reach the WDT's own clock domain; SYNCBUSY shows them meanwhile.
    static constexpr vtime kWdtSync = 2 * zplat::kSec / 1024;

    void reset();
    // A register was written at `now`.
    void on_register(const void* reg, vtime now);
    // Earliest time something changes in the timer or the watchdog.
    vtime next_event() const;
    // Advance the peripherals' state to `now`.
    void update(vtime now);

    bool tc0_irq_pending() const;
    bool wdt_irq_pending() const;
    bool wdt_expired(vtime now) const;

    // Tick period in ns, 0 when TC0 is stopped.
    vtime tc0_period() const { return tc0_period_; }
    bool wdt_enabled() const { return wdt_enabled_; }
    vtime wdt_timeout_at() const;
    uint32_t nvic_enabled() const { return nvic_enabled_; }

private:
    void recompute_tc0(vtime now);

    // TC0
    vtime tc0_period_ = 0;      // ns per match, exact for the start-up values
    vtime tc0_next_ = zplat::kNever;
    uint8_t tc0_flags_ = 0;
    uint8_t tc0_inten_ = 0;

    // NVIC
    uint32_t nvic_enabled_ = 0;

    // WDT
    bool wdt_enabled_ = false;
    uint8_t wdt_ctrla_ = 0;
    uint8_t wdt_inten_ = 0;
    uint8_t wdt_flags_ = 0;
    vtime wdt_count_start_ = 0;
    vtime wdt_ctrla_sync_ = zplat::kNever;
    vtime wdt_clear_sync_ = zplat::kNever;
    uint8_t wdt_pending_ctrla_ = 0;
    bool wdt_ew_done_ = false;
    bool wdt_forced_ = false;   // wrong CLEAR key: immediate reset
    uint8_t wdt_config_ = 0;
    uint8_t wdt_ewctrl_ = 0;
};

}  // namespace zsim
