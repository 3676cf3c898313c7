#include "tc.h"

#include <cmath>

#include "gclk.h"

namespace zchip {
namespace {
constexpr uint32_t kSwrst = 1u << 0, kEnable = 1u << 1;
constexpr uint32_t kCtrlaWritable = 0x00330FFF;
constexpr uint32_t kCtrlaProtected = 0x00330FFC;   // all but SWRST and ENABLE
constexpr uint32_t kSyncSwrst = 1u << 0, kSyncEnable = 1u << 1, kSyncCtrlb = 1u << 2, kSyncCount = 1u << 4,
                   kSyncCc0 = 1u << 6;
constexpr uint8_t kOvf = 1u << 0, kMc0 = 1u << 4;
constexpr uint8_t kDir = 1u << 0, kLupd = 1u << 1, kOneshot = 1u << 2;
constexpr uint8_t kStop = 1u << 0, kCcbufv0 = 1u << 4;
constexpr unsigned kRetrigger = 1, kStopCmd = 2, kUpdate = 3, kReadsync = 4;
constexpr uint64_t kNoEvent = UINT64_MAX;
const unsigned kPrescale[8] = {1, 2, 4, 8, 16, 64, 256, 1024};
}  // namespace

uint32_t Tc::base_of(unsigned index) {
    static const uint32_t kBases[kCount] = {0x42002000, 0x42002400, 0x42002800, 0x42002C00, 0x43000800};
    return kBases[index];
}

static const char* tc_name(unsigned i) {
    static const char* const kNames[Tc::kCount] = {"TC0", "TC1", "TC2", "TC3", "TC4"};
    return kNames[i];
}

Tc::Tc(Ctx& ctx, unsigned index)
    : Model(ctx, tc_name(index), base_of(index), 0x400,
            index < 4 ? ApbClock{Apb::C, static_cast<uint8_t>(8 + index)} : ApbClock{Apb::D, 2}),
      index_(index),
      channel_(index < 2 ? pch::kTc01 : (index < 4 ? pch::kTc23 : pch::kTc4)) {
    sync_ = std::make_unique<Sync>(ctx, name(), [this] { return ctx_.channel_hz(channel_); });
    ctrla_ = &regs_.add("CTRLA", 0x00, 4, 0, kCtrlaWritable);
    ctrla_->on_read = [this] { return (ctrla_->value & ~kSwrst) | ((sync_->busy() & kSyncSwrst) ? kSwrst : 0u); };
    ctrla_->on_write = [this](uint32_t d, uint32_t lanes) { write_ctrla(d, lanes); };
    Reg& clr = regs_.add("CTRLBCLR", 0x04, 1, 0, 0);
    clr.on_read = [this] { return static_cast<uint32_t>(ctrlb_ | (cmd_pending_ << 5)); };
    clr.on_write = [this](uint32_t d, uint32_t) { write_ctrlb(d, false); };
    Reg& set = regs_.add("CTRLBSET", 0x05, 1, 0, 0);
    set.on_read = [this] { return static_cast<uint32_t>(ctrlb_ | (cmd_pending_ << 5)); };
    set.on_write = [this](uint32_t d, uint32_t) { write_ctrlb(d, true); };
    auto protect = [this](Reg* r) {
        r->on_write = [this, r](uint32_t d, uint32_t lanes) {
            r->value = enable_protect(*r, d, lanes, r->writable, (ctrla_->value & kEnable) != 0);
        };
    };
    protect(&regs_.add("EVCTRL", 0x06, 2, 0, 0x3177));
    // OVF, ERR, MC0, MC1 (datasheet, TC: Interrupt Enable Set).
    add_inten(regs_, 0x08, 0x09, 1, inten_, 0x33, [this] { update_irq(); });
    Reg& intflag = regs_.add("INTFLAG", 0x0A, 1, 0, 0);
    intflag.on_read = [this] { return static_cast<uint32_t>(intflag_); };
    intflag.on_write = [this](uint32_t d, uint32_t) {
        intflag_ = static_cast<uint8_t>(intflag_ & ~d);
        update_irq();
    };
    Reg& status = regs_.add("STATUS", 0x0B, 1, 0, 0);
    status.on_read = [this] { return static_cast<uint32_t>(status_); };
    status.on_write = [this](uint32_t d, uint32_t) { status_ = static_cast<uint8_t>(status_ & ~(d & 0x38)); };
    wave_ = &regs_.add("WAVE", 0x0C, 1, 0, 0x03);
    protect(wave_);
    protect(&regs_.add("DRVCTRL", 0x0D, 1, 0, 0x03));
    regs_.add("DBGCTRL", 0x0F, 1, 0, 0x01);
    Reg& syncbusy = regs_.add("SYNCBUSY", 0x10, 4, 0, 0);
    syncbusy.on_read = [this] { return sync_->busy(); };
    syncbusy.on_write = [](uint32_t, uint32_t) {};
    Reg& count = regs_.add("COUNT", 0x14, 2, 0, 0xFFFF);
    count.on_read = [this] { return static_cast<uint32_t>(latched_); };
    count.on_write = [this](uint32_t d, uint32_t lanes) {
        if (sync_->busy() & kSyncCount) {
            forbidden("COUNT written while SYNCBUSY.COUNT is set: discarded");
            return;
        }
        const uint16_t v = static_cast<uint16_t>((latched_ & ~lanes) | (d & lanes));
        sync_->start(kSyncCount, [this, v] {
            latched_ = v;
            restart_from(v);
        });
    };
    for (unsigned x = 0; x < 2; ++x) {
        Reg& cc = regs_.add(x == 0 ? "CC0" : "CC1", 0x1C + 2 * x, 2, 0, 0xFFFF);
        cc.on_read = [this, x] { return static_cast<uint32_t>(cc_[x]); };
        cc.on_write = [this, x](uint32_t d, uint32_t lanes) { write_cc(x, d, lanes); };
        Reg& buf = regs_.add(x == 0 ? "CCBUF0" : "CCBUF1", 0x30 + 2 * x, 2, 0, 0xFFFF);
        buf.on_read = [this, x] { return static_cast<uint32_t>(ccbuf_[x]); };
        buf.on_write = [this, x](uint32_t d, uint32_t lanes) {
            ccbuf_[x] = static_cast<uint16_t>((ccbuf_[x] & ~lanes) | (d & lanes));
            status_ = static_cast<uint8_t>(status_ | (kCcbufv0 << x));
        };
    }
    ctx.on_clocks_changed([this] { clocks_changed(); });
}

void Tc::reset() {
    ++gen_;
    sync_->reset();
    software_reset();
}

void Tc::software_reset() {
    ++gen_;
    regs_.reset();
    ctrlb_ = cmd_pending_ = 0;
    inten_ = intflag_ = 0;
    status_ = kStop;
    cc_[0] = cc_[1] = ccbuf_[0] = ccbuf_[1] = 0;
    count_ = latched_ = 0;
    enabled_ = stopped_ = running_ = false;
    update_irq();
}

double Tc::tick_hz() const {
    return ctx_.channel_hz(channel_) / kPrescale[(ctrla_->value >> 8) & 7];
}

unsigned Tc::top() const {
    // MFRQ and MPWM count up to CC0, the others to the maximum.
    const unsigned wavegen = wave_->value & 3;
    return (wavegen == 1 || wavegen == 3) ? cc_[0] : 0xFFFFu;
}

uint32_t Tc::count_at(uint64_t n) const {
    const uint32_t t = top();
    uint64_t c = c_anchor_;
    if (c > t) {
        // Above TOP the counter runs on to its maximum before it wraps.
        const uint64_t to_wrap = 0x10000u - c;
        if (n < to_wrap) return static_cast<uint32_t>(c + n);
        n -= to_wrap;
        c = 0;
    }
    return static_cast<uint32_t>((c + n) % (uint64_t{t} + 1));
}

uint64_t Tc::ticks_now() const {
    if (!running_) return n_last_;
    const double ticks = static_cast<double>(ctx_.now() - t_anchor_) * hz_anchor_ / 1e9;
    uint64_t n = static_cast<uint64_t>(std::floor(ticks + 1e-6));
    return n < n_last_ ? n_last_ : n;
}

vtime Tc::time_of(uint64_t n) const {
    return t_anchor_ + static_cast<vtime>(std::llround(static_cast<double>(n) * 1e9 / hz_anchor_));
}

uint16_t Tc::count_now() { return static_cast<uint16_t>(running_ ? count_at(ticks_now()) : count_); }

void Tc::write_ctrla(uint32_t data, uint32_t lanes) {
    if (sync_->busy() & (kSyncSwrst | kSyncEnable)) {
        forbidden("CTRLA written while SYNCBUSY.SWRST/ENABLE is set: discarded");
        return;
    }
    if ((lanes & kSwrst) && (data & kSwrst)) {
        // A software reset takes everything back, ENABLE included (datasheet, TC: Control A, SWRST).
        ++gen_;
        running_ = false;
        sync_->start(kSyncSwrst, [this] { software_reset(); });
        return;
    }
    const uint32_t old = ctrla_->value;
    const uint32_t v = enable_protect(*ctrla_, data, lanes, kCtrlaProtected, (old & kEnable) != 0);
    ctrla_->value = v;
    if (!((v ^ old) & kEnable)) return;
    sync_->start(kSyncEnable, [this] {
        const bool on = ctrla_->value & kEnable;
        if (on == enabled_) return;
        if (on && ((ctrla_->value >> 2) & 3) != 0) {
            forbidden_once("CTRLA.MODE COUNT8/COUNT32 is not modelled: the counter does not run");
            return;
        }
        if (!on) count_ = count_now();
        enabled_ = on;
        stopped_ = false;
        ++gen_;
        running_ = false;
        restart_from(count_);
    });
}

void Tc::write_ctrlb(uint32_t data, bool set) {
    if (sync_->busy() & kSyncCtrlb) {
        forbidden(std::string(set ? "CTRLBSET" : "CTRLBCLR") + " written while SYNCBUSY.CTRLB is set: discarded");
        return;
    }
    const uint8_t bits = static_cast<uint8_t>(data & 0x07);
    ctrlb_ = static_cast<uint8_t>(set ? ctrlb_ | bits : ctrlb_ & ~bits);
    if (ctrlb_ & kDir) forbidden_once("CTRLB.DIR (counting down) is not modelled");
    const unsigned cmd = set ? (data >> 5) & 7 : 0;
    if (set && cmd) cmd_pending_ = static_cast<uint8_t>(cmd);
    sync_->start(kSyncCtrlb, [this] {
        const unsigned c = cmd_pending_;
        cmd_pending_ = 0;
        if (c) run_command(c);
    });
}

void Tc::run_command(unsigned cmd) {
    switch (cmd) {
        case kRetrigger:
            if (!enabled_) return;
            stopped_ = false;
            restart_from(0);
            break;
        case kStopCmd:
            count_ = count_now();
            stopped_ = true;
            restart_from(count_);
            break;
        case kUpdate:
            for (unsigned x = 0; x < 2; ++x)
                if (status_ & (kCcbufv0 << x)) {
                    cc_[x] = ccbuf_[x];
                    status_ = static_cast<uint8_t>(status_ & ~(kCcbufv0 << x));
                }
            rebase(true);
            break;
        case kReadsync: latched_ = count_now(); break;
        default: forbidden("CTRLBSET.CMD " + std::to_string(cmd) + " is reserved"); break;
    }
}

void Tc::write_cc(unsigned x, uint32_t data, uint32_t lanes) {
    const uint32_t bit = kSyncCc0 << x;
    if (sync_->busy() & bit) {
        forbidden(std::string(x ? "CC1" : "CC0") + " written while SYNCBUSY.CC" + std::to_string(x) + " is set: discarded");
        return;
    }
    const uint16_t v = static_cast<uint16_t>((cc_[x] & ~lanes) | (data & lanes));
    sync_->start(bit, [this, x, v] {
        if (running_) {
            // The count so far under the old TOP, then on under the new one.
            const uint64_t n = ticks_now();
            const uint32_t c = count_at(n);
            t_anchor_ = time_of(n);
            c_anchor_ = c;
            n_last_ = 0;
        }
        cc_[x] = v;
        if (running_) schedule_next();
    });
}

void Tc::restart_from(uint32_t count) {
    ++gen_;
    const double hz = tick_hz();
    running_ = enabled_ && !stopped_ && hz > 0.0;
    status_ = static_cast<uint8_t>(running_ ? status_ & ~kStop : status_ | kStop);
    count_ = static_cast<uint16_t>(count);
    if (!running_) return;
    t_anchor_ = ctx_.now();
    c_anchor_ = count;
    hz_anchor_ = hz;
    n_last_ = 0;
    schedule_next();
}

void Tc::rebase(bool keep_phase) {
    if (!running_) return;
    const uint64_t n = ticks_now();
    const uint32_t c = count_at(n);
    t_anchor_ = keep_phase ? time_of(n) : ctx_.now();
    c_anchor_ = c;
    n_last_ = 0;
    schedule_next();
}

void Tc::schedule_next() {
    const uint64_t gen = ++gen_;
    if (!running_) return;
    const uint32_t t = top();
    const uint32_t c = count_at(n_last_);
    const uint32_t w = c <= t ? t : 0xFFFFu;   // where this lap wraps
    const uint64_t to_wrap = uint64_t{w} - c + 1;
    uint64_t d = to_wrap;
    for (unsigned x = 0; x < 2; ++x) {
        const uint32_t v = cc_[x];
        uint64_t dv = kNoEvent;
        if (v > c && v <= w) dv = v - c;
        else if (v <= t) dv = to_wrap + v;
        if (dv < d) d = dv;
    }
    const uint64_t n = n_last_ + d;
    const bool wrap = d == to_wrap;
    ctx_.chip.schedule(time_of(n), [this, n, wrap, gen] { on_event(n, wrap, gen); });
}

void Tc::on_event(uint64_t n, bool wrap, uint64_t gen) {
    if (gen != gen_ || !running_) return;
    n_last_ = n;
    const uint32_t c = count_at(n);
    for (unsigned x = 0; x < 2; ++x)
        if (c == cc_[x]) intflag_ |= static_cast<uint8_t>(kMc0 << x);
    if (wrap) {
        intflag_ |= kOvf;
        // The buffers reach CC at the update condition unless LUPD holds them.
        bool changed = false;
        if (!(ctrlb_ & kLupd))
            for (unsigned x = 0; x < 2; ++x)
                if (status_ & (kCcbufv0 << x)) {
                    cc_[x] = ccbuf_[x];
                    status_ = static_cast<uint8_t>(status_ & ~(kCcbufv0 << x));
                    changed = true;
                }
        if (ctrlb_ & kOneshot) {
            update_irq();
            stopped_ = true;
            restart_from(0);
            return;
        }
        if (changed) {
            t_anchor_ = time_of(n);
            c_anchor_ = 0;
            n_last_ = 0;
        }
    }
    update_irq();
    schedule_next();
}

void Tc::clocks_changed() {
    sync_->clock_changed();
    if (!enabled_) return;
    const double hz = tick_hz();
    if (running_ && hz == hz_anchor_) return;
    const uint32_t c = count_now();
    running_ = false;
    restart_from(c);
}

void Tc::update_irq() { ctx_.chip.set_irq(irq(), (intflag_ & inten_) != 0); }

}  // namespace zchip
