#include "systick.h"

namespace zchip {

// ARMv6-M ARM, "SysTick operation": the counter counts down once per
// clock; on the clock after it reaches 0 it reloads RVR, so a period is
// RVR + 1 clocks, and COUNTFLAG (and, with TICKINT, the exception) comes
// with each transition from 1 to 0. An RVR of 0 stops it at 0. Writing CVR
// clears it to 0 and clears COUNTFLAG.

void SysTick::reset() { *this = SysTick{}; }

uint32_t SysTick::value(uint64_t now) const {
    if (!enabled_ || now < anchor_cycle_) return anchor_value_;
    uint64_t e = now - anchor_cycle_;
    if (anchor_value_ != 0) {
        if (e <= anchor_value_) return anchor_value_ - static_cast<uint32_t>(e);
        e -= anchor_value_;   // e cycles after it reached 0
    } else if (e == 0) {
        return 0;
    }
    if (rvr_ == 0) return 0;
    const uint64_t period = uint64_t{rvr_} + 1;
    return rvr_ - static_cast<uint32_t>((e - 1) % period);
}

void SysTick::anchor(uint64_t now) {
    anchor_value_ = value(now);
    anchor_cycle_ = now;
    if (!enabled_) {
        next_zero_ = kNever;
    } else if (anchor_value_ != 0) {
        next_zero_ = now + anchor_value_;
    } else {
        next_zero_ = rvr_ != 0 ? now + rvr_ + 1 : kNever;
    }
}

bool SysTick::advance(uint64_t now) {
    if (!enabled_ || now < next_zero_) return false;
    countflag_ = true;
    uint64_t last = next_zero_;
    if (rvr_ != 0) {
        const uint64_t period = uint64_t{rvr_} + 1;
        last += (now - next_zero_) / period * period;
    }
    anchor_cycle_ = last;
    anchor_value_ = 0;
    next_zero_ = rvr_ != 0 ? last + rvr_ + 1 : kNever;
    return tickint_;
}

uint32_t SysTick::read(uint32_t offset, uint64_t now) {
    switch (offset) {
    case kCsr: {
        const uint32_t v = (enabled_ ? kEnable : 0) | (tickint_ ? kTickInt : 0) | kClkSource |
                           (countflag_ ? kCountFlag : 0);
        countflag_ = false;
        return v;
    }
    case kRvr:
        return rvr_;
    case kCvr:
        return value(now);
    case kCalib:
        return kCalibValue;
    default:
        return 0;
    }
}

void SysTick::write(uint32_t offset, uint32_t value, uint64_t now) {
    switch (offset) {
    case kCsr: {
        anchor(now);   // freeze or keep the count as it stands
        enabled_ = (value & kEnable) != 0;
        tickint_ = (value & kTickInt) != 0;
        anchor(now);
        break;
    }
    case kRvr:
        anchor(now);   // the count so far ran on the old reload value
        rvr_ = value & 0x00FFFFFFu;
        anchor(now);
        break;
    case kCvr:
        countflag_ = false;
        anchor_cycle_ = now;
        anchor_value_ = 0;
        anchor(now);
        break;
    default:
        break;
    }
}

}  // namespace zchip
