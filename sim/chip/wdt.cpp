#include "wdt.h"

#include "oscctrl.h"

namespace zchip {
namespace {
constexpr uint32_t kEnable = 1u << 1, kWen = 1u << 2, kAlwaysOn = 1u << 7;
constexpr uint32_t kSyncEnable = 1u << 1, kSyncWen = 1u << 2, kSyncAlwaysOn = 1u << 3, kSyncClear = 1u << 4;
constexpr uint8_t kEw = 1u << 0;
constexpr uint8_t kClearKey = 0xA5;
}  // namespace

Wdt::Wdt(Ctx& ctx) : Model(ctx, "WDT", kBase, 0x400, ApbClock{Apb::A, 7}) {
    sync_ = std::make_unique<Sync>(ctx, "WDT", [] { return Osc32kctrl::kUlp1kHz; });
    ctrla_ = &regs_.add("CTRLA", 0x00, 1, 0, kEnable | kWen | kAlwaysOn);
    ctrla_->on_write = [this](uint32_t d, uint32_t lanes) { write_ctrla(d, lanes); };
    auto protect = [this](Reg* r) {
        r->on_write = [this, r](uint32_t d, uint32_t lanes) {
            if (ctrla_->value & kAlwaysOn) {
                if (r->merged(d, lanes) != r->value) forbidden(std::string(r->name) + " written while ALWAYSON: read-only");
                return;
            }
            r->value = enable_protect(*r, d, lanes, 0xFF, enabled_ || (ctrla_->value & kEnable));
        };
    };
    // Reset values as the NVM user row leaves them by default.
    config_ = &regs_.add("CONFIG", 0x01, 1, 0xBB, 0xFF);
    protect(config_);
    ewctrl_ = &regs_.add("EWCTRL", 0x02, 1, 0x0B, 0x0F);
    protect(ewctrl_);
    add_inten(regs_, 0x04, 0x05, 1, inten_, kEw, [this] { update_irq(); });
    Reg& intflag = regs_.add("INTFLAG", 0x06, 1, 0, 0);
    intflag.on_read = [this] { return static_cast<uint32_t>(intflag_); };
    intflag.on_write = [this](uint32_t d, uint32_t) {
        intflag_ = static_cast<uint8_t>(intflag_ & ~d);
        update_irq();
    };
    Reg& syncbusy = regs_.add("SYNCBUSY", 0x08, 4, 0, 0);
    syncbusy.on_read = [this] { return sync_->busy(); };
    syncbusy.steady = true;   // cleared by the synchronisation's event
    syncbusy.on_write = [](uint32_t, uint32_t) {};
    Reg& clear = regs_.add("CLEAR", 0x0C, 1, 0, 0);
    clear.on_read = [] { return 0u; };
    clear.on_write = [this](uint32_t d, uint32_t lanes) {
        if (lanes & 0xFF) write_clear(static_cast<uint8_t>(d));
    };
}

void Wdt::power_on_reset() {
    ctrla_->value = 0;
    reset();
}

void Wdt::reset() {
    ++gen_;
    sync_->reset();
    const bool always_on = ctrla_->value & kAlwaysOn;
    const uint32_t ctrla = ctrla_->value, config = config_->value, ewctrl = ewctrl_->value;
    regs_.reset();
    inten_ = intflag_ = 0;
    ctx_.chip.set_irq(kIrq, false);
    enabled_ = false;
    window_ = false;
    if (always_on) {
        // Always-on survives everything but a power-on reset (datasheet, WDT: Control A, ALWAYSON).
        ctrla_->value = ctrla;
        config_->value = config;
        ewctrl_->value = ewctrl;
        enabled_ = true;
        window_ = ctrla & kWen;
        start_period();
    }
}

void Wdt::write_ctrla(uint32_t data, uint32_t lanes) {
    const uint32_t old = ctrla_->value;
    if (old & kAlwaysOn) {
        if (ctrla_->merged(data, lanes) != old) forbidden("CTRLA written while ALWAYSON: read-only");
        return;
    }
    if (sync_->busy() & (kSyncEnable | kSyncWen | kSyncAlwaysOn)) {
        forbidden("CTRLA written while SYNCBUSY shows it synchronising: discarded");
        return;
    }
    uint32_t v = ctrla_->merged(data, lanes);
    // WEN can only be written while the WDT is disabled (datasheet, WDT: Control A).
    if (((v ^ old) & kWen) && (enabled_ || (old & kEnable))) {
        forbidden("CTRLA.WEN changed while the WDT is enabled: ignored");
        v = (v & ~kWen) | (old & kWen);
    }
    if (v == old) return;
    ctrla_->value = v;
    uint32_t bits = 0;
    if ((v ^ old) & kEnable) bits |= kSyncEnable;
    if ((v ^ old) & kWen) bits |= kSyncWen;
    if ((v ^ old) & kAlwaysOn) bits |= kSyncAlwaysOn;
    sync_->start(bits, [this] {
        const uint32_t c = ctrla_->value;
        const bool on = (c & kEnable) || (c & kAlwaysOn);
        window_ = c & kWen;
        if (on == enabled_) return;
        enabled_ = on;
        if (on) start_period();
        else ++gen_;
    });
}

void Wdt::write_clear(uint8_t key) {
    if (sync_->busy() & kSyncClear) {
        forbidden("CLEAR written while SYNCBUSY.CLEAR is set: discarded");
        return;
    }
    if (!enabled_) return;   // nothing counts while the WDT is off
    sync_->start(kSyncClear, [this, key] {
        if (!enabled_) return;
        // Any value but the key resets at once (datasheet, WDT: Clear).
        if (key != kClearKey) {
            ctx_.chip.system_reset("watchdog");
            return;
        }
        if (window_ && ctx_.now() < period_start_ + cycles_ns(cycles(config_->value >> 4))) {
            // A clear in the closed window resets (datasheet, WDT: Window Mode).
            ctx_.chip.system_reset("watchdog");
            return;
        }
        start_period();
        if (on_clear) on_clear(ctx_.now());
    });
}

void Wdt::start_period() {
    const uint64_t gen = ++gen_;
    period_start_ = ctx_.now();
    const uint32_t per = cycles(config_->value & 0xF);
    uint32_t ew, timeout;
    if (window_) {
        // Early warning at the opening of the window, reset at its end.
        ew = cycles(config_->value >> 4);
        timeout = ew + per;
    } else {
        ew = cycles(ewctrl_->value & 0xF);
        timeout = per;
    }
    // An early warning at or after the time-out never comes (datasheet, WDT: Early Warning).
    if (ew < timeout)
        ctx_.chip.schedule(period_start_ + cycles_ns(ew), [this, gen] {
            if (gen != gen_) return;
            intflag_ |= kEw;
            update_irq();
        });
    ctx_.chip.schedule(period_start_ + cycles_ns(timeout), [this, gen] {
        if (gen == gen_) ctx_.chip.system_reset("watchdog");
    });
}

void Wdt::update_irq() { ctx_.chip.set_irq(kIrq, (intflag_ & inten_) != 0); }

}  // namespace zchip
