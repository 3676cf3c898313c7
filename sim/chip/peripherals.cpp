#include "peripherals.h"

namespace zchip {

static_assert(Sercom::kCount == kSercoms);

Peripherals::Peripherals(Chip& chip) : ctx_(chip) {
    oscctrl_ = std::make_unique<Oscctrl>(ctx_);
    osc32kctrl_ = std::make_unique<Osc32kctrl>(ctx_);
    gclk_ = std::make_unique<Gclk>(ctx_);
    mclk_ = std::make_unique<Mclk>(ctx_);
    pm_ = std::make_unique<Pm>(ctx_);
    nvmctrl_ = std::make_unique<Nvmctrl>(ctx_);
    ctx_.osc = oscctrl_.get();
    ctx_.gclk = gclk_.get();
    ctx_.mclk = mclk_.get();
    ctx_.pm = pm_.get();
    ctx_.on_clocks_changed([this] { nvmctrl_->check(); });
    port_ = std::make_unique<Port>(ctx_);
    port_iobus_ = std::make_unique<PortIobus>(ctx_, *port_);
    wdt_ = std::make_unique<Wdt>(ctx_);
    wdt_->on_clear = [this](vtime t) {
        if (on_watchdog_clear) on_watchdog_clear(t);
    };
    adc_ = std::make_unique<Adc>(ctx_);
    for (unsigned n = 0; n < Sercom::kCount; ++n) sercom_[n] = std::make_unique<Sercom>(ctx_, n);
    // The SERCOMs' and the ADC's signals reach the pads through PORT's multiplexer.
    pinmux_ = std::make_unique<PinMux>(*port_);
    adc_->attach(*pinmux_);
    for (auto& s : sercom_) s->attach(*pinmux_);
    port_->on_functions_changed = [this] {
        pinmux_->update();
        for (auto& s : sercom_) s->reroute();
    };
    for (unsigned n = 0; n < Tc::kCount; ++n) tc_[n] = std::make_unique<Tc>(ctx_, n);
    // The chip's other peripherals (datasheet, Product Mapping), so that an
    // access to one is reported by name rather than taken for a bus error.
    static const struct {
        const char* name;
        uint32_t base;
        uint32_t size;
    } kOthers[] = {
        {"RSTC", 0x40000800, 0x400},  {"SUPC", 0x40001400, 0x400},  {"RTC", 0x40002000, 0x400},
        {"EIC", 0x40002400, 0x400},   {"TAL", 0x40002C00, 0x400},   {"USB", 0x41000000, 0x2000},
        {"DSU", 0x41002000, 0x2000},  {"MTB", 0x41006000, 0x2000},  {"TCC0", 0x42001400, 0x400},
        {"TCC1", 0x42001800, 0x400},  {"TCC2", 0x42001C00, 0x400},  {"DAC", 0x42003000, 0x400},
        {"AES", 0x42003400, 0x400},   {"TRNG", 0x42003800, 0x400},  {"EVSYS", 0x43000000, 0x400},
        {"AC", 0x43001000, 0x400},    {"PTC", 0x43001400, 0x400},   {"OPAMP", 0x43001800, 0x400},
        {"CCL", 0x43001C00, 0x400},   {"PAC", 0x44000000, 0x400},   {"DMAC", 0x44000400, 0x400},
    };
    for (const auto& o : kOthers) unmodelled_.push_back(std::make_unique<Unmodelled>(ctx_, o.name, o.base, o.size));
    power_on_reset();
}

Peripherals::~Peripherals() = default;

std::vector<Peripheral*> Peripherals::all() {
    std::vector<Peripheral*> v = {oscctrl_.get(), osc32kctrl_.get(), gclk_.get(), mclk_.get(), pm_.get(),
                                  nvmctrl_.get(), port_.get(),       port_iobus_.get(), wdt_.get(), adc_.get()};
    for (auto& s : sercom_) v.push_back(s.get());
    for (auto& t : tc_) v.push_back(t.get());
    for (auto& u : unmodelled_) v.push_back(u.get());
    return v;
}

void Peripherals::reset() {
    oscctrl_->reset();
    osc32kctrl_->reset();
    gclk_->reset();
    mclk_->reset();
    pm_->reset();
    nvmctrl_->reset();
    port_->reset();
    wdt_->reset();
    adc_->reset();
    for (auto& s : sercom_) s->reset();
    for (auto& t : tc_) t->reset();
    ctx_.clocks_changed();
}

void Peripherals::power_on_reset() {
    wdt_->power_on_reset();
    reset();
}

void Peripherals::pad_in(Pad pad, uint8_t byte, vtime stop_bit_end, double sender_baud) {
    for (auto& s : sercom_)
        if (s->pins_of(Signal::Rx).has(pad)) s->line_in(byte, stop_bit_end, sender_baud);
}

void Peripherals::line_in(uint8_t sercom, uint8_t byte, vtime stop_bit_end, double sender_baud) {
    if (sercom < Sercom::kCount) sercom_[sercom]->line_in(byte, stop_bit_end, sender_baud);
}

}  // namespace zchip
