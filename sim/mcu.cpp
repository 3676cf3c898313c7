#include "mcu.h"

#include <sam.h>

namespace zsim {

using zplat::gclk_regs;
using zplat::kNever;
using zplat::mclk_regs;
using zplat::nvic_regs;
using zplat::tc0_regs;
using zplat::wdt_regs;

namespace {
uint64_t prescaler_div(uint32_t ctrla) {
    static const uint64_t div[8] = {1, 2, 4, 8, 16, 64, 256, 1024};
    return div[(ctrla & TC_CTRLA_PRESCALER_Msk) >> TC_CTRLA_PRESCALER_Pos];
}
vtime cycles_1k(uint32_t cycles) { return static_cast<vtime>(cycles) * zplat::kSec / 1024; }
}  // namespace

void Mcu::reset() { *this = Mcu(); }

void Mcu::recompute_tc0(vtime now) {
    auto& tc = tc0_regs.COUNT16;
    const uint32_t ctrla = tc.CTRLA.reg.host_value();
    const uint32_t pch = gclk_regs.PCHCTRL[TC0_GCLK_ID].reg.host_value();
    uint64_t hz = 0;
    if (pch & GCLK_PCHCTRL_CHEN) {
        const uint32_t gen = pch & GCLK_PCHCTRL_GEN_Msk;
        hz = gen == 1 ? kGen1Hz : (gen == 0 ? kGen0Hz : 0);
    }
    if (!(ctrla & TC_CTRLA_ENABLE) || hz == 0) {
        tc0_period_ = 0;
        tc0_next_ = kNever;
        return;
    }
    const bool mfrq = (tc.WAVE.reg.host_value() & TC_WAVE_WAVEGEN_Msk) == TC_WAVE_WAVEGEN_MFRQ;
    const uint64_t counts = mfrq ? static_cast<uint64_t>(tc.CC[0].reg.host_value()) + 1 : 65536;
    const vtime period = counts * prescaler_div(ctrla) * zplat::kSec / hz;
    if (period != tc0_period_ || tc0_next_ == kNever) {
        tc0_period_ = period;
        tc0_next_ = now + period;   // the counter starts from zero
    }
}

void Mcu::on_register(const void* reg, vtime now) {
    update(now);
    auto& tc = tc0_regs.COUNT16;
    if (reg == &tc.CTRLA) {
        uint32_t v = tc.CTRLA.reg.host_value();
        if (v & TC_CTRLA_SWRST) {
            // Software reset: every TC0 register back to zero at once.
            tc.CTRLA.reg.host_set(0);
            tc.WAVE.reg.host_set(0);
            tc.CC[0].reg.host_set(0);
            tc.CC[1].reg.host_set(0);
            tc.COUNT.reg.host_set(0);
            tc0_flags_ = 0;
            tc0_inten_ = 0;
            tc.INTFLAG.reg.host_set(0);
            tc.INTENSET.reg.host_set(0);
            tc0_period_ = 0;
            tc0_next_ = kNever;
            return;
        }
        if (!(v & TC_CTRLA_ENABLE)) {
            tc0_period_ = 0;
            tc0_next_ = kNever;
        }
        recompute_tc0(now);
    } else if (reg == &tc.CC[0] || reg == &tc.WAVE || reg == &gclk_regs.PCHCTRL[TC0_GCLK_ID]) {
        recompute_tc0(now);
    } else if (reg == &tc.INTFLAG) {
        tc0_flags_ &= static_cast<uint8_t>(~tc.INTFLAG.reg.host_value());   // write 1 to clear
        tc.INTFLAG.reg.host_set(tc0_flags_);
    } else if (reg == &tc.INTENSET) {
        tc0_inten_ |= tc.INTENSET.reg.host_value();
        tc.INTENSET.reg.host_set(tc0_inten_);
        tc.INTENCLR.reg.host_set(tc0_inten_);
    } else if (reg == &tc.INTENCLR) {
        tc0_inten_ &= static_cast<uint8_t>(~tc.INTENCLR.reg.host_value());
        tc.INTENSET.reg.host_set(tc0_inten_);
        tc.INTENCLR.reg.host_set(tc0_inten_);
    } else if (reg == &nvic_regs.ISER[0]) {
        nvic_enabled_ |= nvic_regs.ISER[0].reg.host_value();
        nvic_regs.ISER[0].reg.host_set(nvic_enabled_);
        nvic_regs.ICER[0].reg.host_set(nvic_enabled_);
    } else if (reg == &nvic_regs.ICER[0]) {
        nvic_enabled_ &= ~nvic_regs.ICER[0].reg.host_value();
        nvic_regs.ISER[0].reg.host_set(nvic_enabled_);
        nvic_regs.ICER[0].reg.host_set(nvic_enabled_);
    } else if (reg == &wdt_regs.CTRLA || reg == &wdt_regs.CONFIG || reg == &wdt_regs.EWCTRL ||
               reg == &wdt_regs.CLEAR || reg == &wdt_regs.INTENSET || reg == &wdt_regs.INTENCLR ||
               reg == &wdt_regs.INTFLAG) {
        // Without its bus clock the WDT ignores register writes.
        if (!(mclk_regs.APBAMASK.reg.host_value() & MCLK_APBAMASK_WDT)) {
            if (reg == &wdt_regs.CTRLA) wdt_regs.CTRLA.reg.host_set(wdt_ctrla_);
            return;
        }
        if (reg == &wdt_regs.CTRLA) {
            uint8_t v = wdt_regs.CTRLA.reg.host_value();
            if (wdt_ctrla_ & WDT_CTRLA_ALWAYSON) v |= WDT_CTRLA_ENABLE | WDT_CTRLA_ALWAYSON;
            if (v & WDT_CTRLA_ALWAYSON) v |= WDT_CTRLA_ENABLE;
            wdt_ctrla_ = v;
            wdt_regs.CTRLA.reg.host_set(v);
            wdt_pending_ctrla_ = v;
            wdt_ctrla_sync_ = now + kWdtSync;
        } else if (reg == &wdt_regs.CONFIG) {
            // Enable-protected: a write while the WDT runs is ignored.
            if (wdt_enabled_) wdt_regs.CONFIG.reg.host_set(wdt_config_);
            else wdt_config_ = wdt_regs.CONFIG.reg.host_value();
        } else if (reg == &wdt_regs.EWCTRL) {
            if (wdt_enabled_) wdt_regs.EWCTRL.reg.host_set(wdt_ewctrl_);
            else wdt_ewctrl_ = wdt_regs.EWCTRL.reg.host_value();
        } else if (reg == &wdt_regs.CLEAR) {
            const uint8_t key = wdt_regs.CLEAR.reg.host_value();
            if (wdt_enabled_ && wdt_clear_sync_ == kNever) {
                if (key == WDT_CLEAR_CLEAR_KEY) {
                    wdt_clear_sync_ = now + kWdtSync;
                } else {
                    wdt_forced_ = true;   // a wrong key resets the chip at once
                }
            }
        } else if (reg == &wdt_regs.INTENSET) {
            wdt_inten_ |= wdt_regs.INTENSET.reg.host_value();
            wdt_regs.INTENSET.reg.host_set(wdt_inten_);
        } else if (reg == &wdt_regs.INTENCLR) {
            wdt_inten_ &= static_cast<uint8_t>(~wdt_regs.INTENCLR.reg.host_value());
            wdt_regs.INTENSET.reg.host_set(wdt_inten_);
        } else if (reg == &wdt_regs.INTFLAG) {
            wdt_flags_ &= static_cast<uint8_t>(~wdt_regs.INTFLAG.reg.host_value());
            wdt_regs.INTFLAG.reg.host_set(wdt_flags_);
        }
    }
    // Keep SYNCBUSY as the firmware reads it.
    uint32_t busy = 0;
    if (wdt_ctrla_sync_ != kNever) busy |= WDT_SYNCBUSY_ENABLE | WDT_SYNCBUSY_WEN;
    if (wdt_clear_sync_ != kNever) busy |= WDT_SYNCBUSY_CLEAR;
    wdt_regs.SYNCBUSY.reg.host_set(busy);
}

void Mcu::update(vtime now) {
    // TC0 matches up to now; a match raises the flag, the NVIC delivers it.
    if (tc0_next_ != kNever && now >= tc0_next_) {
        tc0_flags_ |= TC_INTFLAG_MC0;
        tc0_regs.COUNT16.INTFLAG.reg.host_set(tc0_flags_);
        // Matches missed while the flag was still set coalesce, as on the chip.
        const vtime missed = (now - tc0_next_) / tc0_period_;
        tc0_next_ += (missed + 1) * tc0_period_;
    }
    bool sync_changed = false;
    if (wdt_ctrla_sync_ != kNever && now >= wdt_ctrla_sync_) {
        const bool was = wdt_enabled_;
        wdt_enabled_ = (wdt_pending_ctrla_ & WDT_CTRLA_ENABLE) != 0;
        if (wdt_enabled_ && !was) {
            wdt_count_start_ = wdt_ctrla_sync_;
            wdt_ew_done_ = false;
        }
        wdt_ctrla_sync_ = kNever;
        sync_changed = true;
    }
    if (wdt_clear_sync_ != kNever && now >= wdt_clear_sync_) {
        wdt_count_start_ = wdt_clear_sync_;
        wdt_ew_done_ = false;
        wdt_clear_sync_ = kNever;
        sync_changed = true;
    }
    if (sync_changed) {
        uint32_t busy = 0;
        if (wdt_ctrla_sync_ != kNever) busy |= WDT_SYNCBUSY_ENABLE | WDT_SYNCBUSY_WEN;
        if (wdt_clear_sync_ != kNever) busy |= WDT_SYNCBUSY_CLEAR;
        wdt_regs.SYNCBUSY.reg.host_set(busy);
    }
    if (wdt_enabled_ && !wdt_ew_done_) {
        const uint8_t per = wdt_regs.CONFIG.reg.host_value() & WDT_CONFIG_PER_Msk;
        const uint8_t ew = wdt_regs.EWCTRL.reg.host_value() & WDT_EWCTRL_EWOFFSET_Msk;
        if (ew < per && now >= wdt_count_start_ + cycles_1k(8u << ew)) {
            wdt_flags_ |= WDT_INTFLAG_EW;
            wdt_regs.INTFLAG.reg.host_set(wdt_flags_);
            wdt_ew_done_ = true;
        }
    }
}

vtime Mcu::wdt_timeout_at() const {
    if (wdt_forced_) return 0;
    if (!wdt_enabled_) return kNever;
    const uint8_t per = wdt_regs.CONFIG.reg.host_value() & WDT_CONFIG_PER_Msk;
    return wdt_count_start_ + cycles_1k(8u << (per > 11 ? 11 : per));
}

bool Mcu::wdt_expired(vtime now) const { return now >= wdt_timeout_at(); }

vtime Mcu::next_event() const {
    vtime t = tc0_next_;
    if (wdt_ctrla_sync_ < t) t = wdt_ctrla_sync_;
    if (wdt_clear_sync_ < t) t = wdt_clear_sync_;
    const vtime bite = wdt_timeout_at();
    if (bite < t) t = bite;
    if (wdt_enabled_ && !wdt_ew_done_) {
        const uint8_t per = wdt_regs.CONFIG.reg.host_value() & WDT_CONFIG_PER_Msk;
        const uint8_t ew = wdt_regs.EWCTRL.reg.host_value() & WDT_EWCTRL_EWOFFSET_Msk;
        if (ew < per) {
            const vtime e = wdt_count_start_ + cycles_1k(8u << ew);
            if (e < t) t = e;
        }
    }
    return t;
}

bool Mcu::tc0_irq_pending() const {
    return (tc0_flags_ & tc0_inten_ & TC_INTFLAG_MC0) && (nvic_enabled_ & (1u << TC0_IRQn));
}

bool Mcu::wdt_irq_pending() const {
    return (wdt_flags_ & wdt_inten_ & WDT_INTFLAG_EW) && (nvic_enabled_ & (1u << WDT_IRQn));
}

}  // namespace zsim
