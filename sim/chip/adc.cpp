#include "adc.h"

#include <cmath>

#include "gclk.h"
#include "nvm.h"

namespace zchip {
namespace {
constexpr uint32_t kSwrst = 1u << 0, kEnable = 1u << 1;
constexpr uint32_t kSyncSwrst = 1u << 0, kSyncEnable = 1u << 1, kSyncSwtrig = 1u << 10;
constexpr uint8_t kResrdy = 1u << 0, kOverrun = 1u << 1;
constexpr uint32_t kFlush = 1u << 0, kStart = 1u << 1;
constexpr uint32_t kDiffmode = 1u << 0, kLeftadj = 1u << 1, kFreerun = 1u << 2, kCorren = 1u << 3;
constexpr unsigned kMuxGnd = 0x18;   // MUXNEG: internal ground
const unsigned kBits[4] = {12, 12, 10, 8};   // by CTRLC.RESSEL: 12, 16 (of 12-bit samples), 10, 8
}  // namespace

Adc::Adc(Ctx& ctx) : Model(ctx, "ADC", kBase, 0x400, ApbClock{Apb::D, 3}) {
    sync_ = std::make_unique<Sync>(ctx, "ADC", [this] { return ctx_.channel_hz(pch::kAdc); });
    ctrla_ = &regs_.add("CTRLA", 0x00, 1, 0, 0xC3);
    ctrla_->on_read = [this] { return (ctrla_->value & ~kSwrst) | ((sync_->busy() & kSyncSwrst) ? kSwrst : 0u); };
    ctrla_->on_write = [this](uint32_t d, uint32_t lanes) { write_ctrla(d, lanes); };
    ctrlb_ = &regs_.add("CTRLB", 0x01, 1, 0, 0x07);
    ctrlb_->on_write = [this](uint32_t d, uint32_t lanes) {
        ctrlb_->value = enable_protect(*ctrlb_, d, lanes, 0x07, (ctrla_->value & kEnable) != 0);
    };
    refctrl_ = &regs_.add("REFCTRL", 0x02, 1, 0, 0x8F);
    regs_.add("EVCTRL", 0x03, 1, 0, 0x3F);
    add_inten(regs_, 0x04, 0x05, 1, inten_, 0x07, [this] { update_irq(); });
    Reg& intflag = regs_.add("INTFLAG", 0x06, 1, 0, 0);
    intflag.on_read = [this] { return static_cast<uint32_t>(intflag_); };
    intflag.on_write = [this](uint32_t d, uint32_t) {
        intflag_ = static_cast<uint8_t>(intflag_ & ~d);
        update_irq();
    };
    Reg& seqstatus = regs_.add("SEQSTATUS", 0x07, 1, 0, 0);
    seqstatus.on_write = [](uint32_t, uint32_t) {};
    inputctrl_ = &regs_.add("INPUTCTRL", 0x08, 2, 0, 0x1F1F);
    synced(inputctrl_, 1u << 2);
    ctrlc_ = &regs_.add("CTRLC", 0x0A, 2, 0, 0x07BF);
    synced(ctrlc_, 1u << 3);
    avgctrl_ = &regs_.add("AVGCTRL", 0x0C, 1, 0, 0x7F);
    synced(avgctrl_, 1u << 4);
    sampctrl_ = &regs_.add("SAMPCTRL", 0x0D, 1, 0, 0xBF);
    synced(sampctrl_, 1u << 5);
    synced(&regs_.add("WINLT", 0x0E, 2, 0, 0xFFFF), 1u << 6);
    synced(&regs_.add("WINUT", 0x10, 2, 0, 0xFFFF), 1u << 7);
    gaincorr_ = &regs_.add("GAINCORR", 0x12, 2, 0, 0x0FFF);
    synced(gaincorr_, 1u << 8);
    offsetcorr_ = &regs_.add("OFFSETCORR", 0x14, 2, 0, 0x0FFF);
    synced(offsetcorr_, 1u << 9);
    Reg& swtrig = regs_.add("SWTRIG", 0x18, 1, 0, 0);
    swtrig.on_write = [this](uint32_t d, uint32_t) {
        if (!(d & (kStart | kFlush))) return;
        if (sync_->busy() & kSyncSwtrig) {
            forbidden("SWTRIG written while SYNCBUSY.SWTRIG is set: discarded");
            return;
        }
        if (!enabled_) {
            forbidden("SWTRIG written while the ADC is disabled: ignored");
            return;
        }
        sync_->start(kSyncSwtrig, [this, d] {
            if (d & kFlush) {
                ++gen_;
                converting_ = false;
                if (ctrlc_->value & kFreerun) start_conversion();
            }
            if ((d & kStart) && !converting_) start_conversion();
        });
    };
    regs_.add("DBGCTRL", 0x1C, 1, 0, 0x01);
    Reg& syncbusy = regs_.add("SYNCBUSY", 0x20, 2, 0, 0);
    syncbusy.on_read = [this] { return sync_->busy(); };
    syncbusy.on_write = [](uint32_t, uint32_t) {};
    Reg& result = regs_.add("RESULT", 0x24, 2, 0, 0);
    result.on_read = [this] {
        // Reading the result clears RESRDY (datasheet, ADC: Interrupt Flag Status and Clear, RESRDY).
        intflag_ = static_cast<uint8_t>(intflag_ & ~kResrdy);
        update_irq();
        return static_cast<uint32_t>(result_);
    };
    result.on_write = [](uint32_t, uint32_t) {};
    regs_.add("SEQCTRL", 0x28, 4, 0, 0xFFFFFFFF);
    calib_ = &regs_.add("CALIB", 0x2C, 2, 0, 0x0707);
    calib_->on_write = [this](uint32_t d, uint32_t lanes) {
        calib_->value = enable_protect(*calib_, d, lanes, 0x0707, (ctrla_->value & kEnable) != 0);
    };
    ctx.on_clocks_changed([this] {
        sync_->clock_changed();
        if (converting_ && waiting_for_clock_) start_conversion();
    });
}

void Adc::reset() {
    ++gen_;
    sync_->reset();
    regs_.reset();
    inten_ = intflag_ = 0;
    result_ = 0;
    enabled_ = converting_ = waiting_for_clock_ = false;
    update_irq();
}

void Adc::synced(Reg* r, uint32_t bit) {
    r->on_write = [this, r, bit](uint32_t d, uint32_t lanes) {
        if (sync_->busy() & bit) {
            forbidden(std::string(r->name) + " written while SYNCBUSY shows it synchronising: discarded");
            return;
        }
        r->store(d, lanes);
        sync_->start(bit, nullptr);
    };
}

void Adc::write_ctrla(uint32_t data, uint32_t lanes) {
    if (sync_->busy() & (kSyncSwrst | kSyncEnable)) {
        forbidden("CTRLA written while SYNCBUSY.SWRST/ENABLE is set: discarded");
        return;
    }
    if ((lanes & kSwrst) && (data & kSwrst)) {
        ++gen_;
        converting_ = false;
        sync_->start(kSyncSwrst, [this] {
            regs_.reset();
            inten_ = intflag_ = 0;
            result_ = 0;
            enabled_ = false;
            update_irq();
        });
        return;
    }
    const uint32_t old = ctrla_->value;
    ctrla_->store(data, lanes);
    if (!((ctrla_->value ^ old) & kEnable)) return;
    sync_->start(kSyncEnable, [this] {
        enabled_ = ctrla_->value & kEnable;
        ++gen_;
        converting_ = waiting_for_clock_ = false;
        if (enabled_ && (ctrlc_->value & kFreerun)) start_conversion();
    });
}

double Adc::clk_adc_hz() const { return ctx_.channel_hz(pch::kAdc) / static_cast<double>(2u << (ctrlb_->value & 7)); }

vtime Adc::conversion_ns() const {
    // Sampling (SAMPLEN + 1 cycles, 4 with offset compensation), then one
    // cycle per result bit; 16-bit results accumulate 2^SAMPLENUM 12-bit
    // conversions (datasheet, ADC: Conversion Timing and Sampling Rate).
    const unsigned ressel = (ctrlc_->value >> 4) & 3;
    const unsigned sampling = (sampctrl_->value & 0x80) ? 4 : (sampctrl_->value & 0x3F) + 1;
    const unsigned samplenum = avgctrl_->value & 0xF;
    const unsigned samples = ressel == 1 ? 1u << (samplenum > 10 ? 10 : samplenum) : 1;
    return ns_for(static_cast<double>(samples * (sampling + kBits[ressel])), clk_adc_hz());
}

void Adc::start_conversion() {
    converting_ = true;
    const vtime d = conversion_ns();
    waiting_for_clock_ = d == kNever;
    if (waiting_for_clock_) {
        forbidden_once("conversion started without GCLK_ADC: it waits for the clock");
        return;
    }
    const uint64_t gen = ++gen_;
    ctx_.chip.schedule(ctx_.now() + d, [this, gen] { finish(gen); });
}

void Adc::finish(uint64_t gen) {
    if (gen != gen_ || !converting_) return;
    converting_ = false;
    if (intflag_ & kResrdy) intflag_ |= kOverrun;
    result_ = static_cast<uint16_t>(convert());
    intflag_ |= kResrdy;
    update_irq();
    if (enabled_ && (ctrlc_->value & kFreerun)) start_conversion();
}

double Adc::reference_volts() {
    switch (refctrl_->value & 0xF) {
        case 0: return 1.0;               // INTREF: the 1.0 V reference SUPC selects after reset
        case 1: return vddana_ / 1.6;     // INTVCC0
        case 2: return vddana_ / 2.0;     // INTVCC1
        case 3: return ctx_.chip.wires().pad_volts(Group::A, 3);   // AREFA (VREFA pad)
        case 4: return ctx_.chip.wires().pad_volts(Group::A, 4);   // AREFB (VREFB pad)
        case 5: return vddana_;           // INTVCC2
        default:
            forbidden_once("REFCTRL.REFSEL " + std::to_string(refctrl_->value & 0xF) + " is reserved");
            return vddana_;
    }
}

double Adc::input_volts(unsigned mux) {
    if (auto pad = pad_of(mux)) {
        // Off function B the AIN is cut off from its pad. The datasheet gives
        // no value for that input; it converts 0 V here.
        if (!mux_ || !mux_->analog(*pad)) {
            ains_cut_off_ |= 1u << mux;
            return 0.0;
        }
        ains_read_ |= 1u << mux;
        return ctx_.chip.wires().pad_volts(pad->group, pad->pin);
    }
    if (mux == kMuxGnd) return 0.0;
    forbidden_once("INPUTCTRL input " + hex(mux, 2) + " (internal) is not modelled: it reads 0 V");
    return 0.0;
}

uint32_t Adc::convert() {
    const unsigned ressel = (ctrlc_->value >> 4) & 3;
    const unsigned bits = kBits[ressel];
    const double vref = reference_volts();
    const unsigned pos = inputctrl_->value & 0x1F, neg = (inputctrl_->value >> 8) & 0x1F;
    const bool diff = ctrlc_->value & kDiffmode;
    double v = input_volts(pos) - (diff ? input_volts(neg) : 0.0);
    // Without the factory trims the converter is off by far more than its
    // electrical characteristics allow (uncalibrated_volts).
    v = uncalibrated_volts(v, static_cast<uint16_t>(calib_->value));
    // The ideal transfer: one LSB is VREF / 2^bits (signed halves in differential mode).
    const double full = std::ldexp(1.0, static_cast<int>(diff ? bits - 1 : bits));
    const double low = diff ? -full : 0.0;
    double c = std::floor(v / vref * full + 0.5);
    if (!(c > low)) c = low;   // also NaN
    if (c > full - 1) c = full - 1;
    int64_t code = static_cast<int64_t>(c);
    if (ressel == 1) {
        // Accumulation of 2^SAMPLENUM samples, shifted to fit 16 bits, then by ADJRES.
        const unsigned samplenum = avgctrl_->value & 0xF;
        const unsigned n = samplenum > 10 ? 10 : samplenum;
        code *= int64_t{1} << n;
        if (n > 4) code /= int64_t{1} << (n - 4);
        code /= int64_t{1} << ((avgctrl_->value >> 4) & 7);
    }
    if (ctrlc_->value & kCorren) {
        // Offset, then gain correction (GAINCORR 2048 = 1.0; OFFSETCORR two's complement).
        int32_t offset = static_cast<int32_t>(offsetcorr_->value & 0x0FFF);
        if (offset & 0x800) offset -= 0x1000;
        code = (code - offset) * static_cast<int64_t>(gaincorr_->value & 0x0FFF) / 2048;
        const int64_t max = ressel == 1 ? 0xFFFF : (int64_t{1} << (diff ? bits - 1 : bits)) - 1;
        const int64_t min = diff ? -max - 1 : 0;
        if (code > max) code = max;
        if (code < min) code = min;
    }
    uint32_t r = static_cast<uint32_t>(code) & 0xFFFF;
    if ((ctrlc_->value & kLeftadj) && ressel != 1) r = (r << (16 - bits)) & 0xFFFF;
    return r;
}

double Adc::uncalibrated_volts(double v, uint16_t calib) {
    const uint16_t factory = nvm::kAdcCalib;
    if ((calib ^ factory) & kCalibBiasRefBuf) v *= 1.0 + kUncalibratedGain;
    if ((calib ^ factory) & kCalibBiasComp) v += kUncalibratedOffsetVolts;
    return v;
}

void Adc::update_irq() { ctx_.chip.set_irq(kIrq, (intflag_ & inten_) != 0); }

}  // namespace zchip
