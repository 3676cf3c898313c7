#include "oscctrl.h"

#include "gclk.h"

namespace zchip {
namespace {
constexpr uint32_t kOsc16mRdy = 1u << 4;   // STATUS / INTFLAG bit
constexpr uint32_t kEnable = 1u << 1;      // ENABLE in every oscillator control register
constexpr uint32_t kOnDemand = 1u << 7;
constexpr unsigned kSystemSource = 1;      // OSCCTRL's share of NVIC line 0
}  // namespace

vtime Oscctrl::startup_ns(unsigned fsel) {
    static const vtime kNs[4] = {1200, 1300, 1300, 1400};
    return kNs[fsel & 3];
}

Oscctrl::Oscctrl(Ctx& ctx) : Model(ctx, "OSCCTRL", kBase, 0x400, ApbClock{Apb::A, 3}) {
    add_inten(regs_, 0x00, 0x04, 4, inten_, 0x000F1F11u, [this] { update_irq(); });
    Reg& intflag = regs_.add("INTFLAG", 0x08, 4, 0, 0);
    intflag.on_read = [this] { return intflag_; };
    intflag.on_write = [this](uint32_t d, uint32_t) {
        intflag_ &= ~d;
        update_irq();
    };
    Reg& status = regs_.add("STATUS", 0x0C, 4, 0, 0);
    status.on_read = [this] { return osc16m_ready_ ? kOsc16mRdy : 0u; };
    status.on_write = [](uint32_t, uint32_t) {};
    // The sources nobody here models: kept and read back; enabling one is reported.
    auto other = [this](const char* name, uint32_t off, unsigned w, uint32_t reset, uint32_t writable) {
        Reg* r = &regs_.add(name, off, w, reset, writable);
        r->on_write = [this, r](uint32_t d, uint32_t lanes) {
            const uint32_t v = r->merged(d, lanes);
            if ((v & kEnable) && !(r->value & kEnable))
                forbidden_once(std::string(r->name) + ".ENABLE set: this oscillator is not modelled and gives no clock");
            r->value = v;
        };
    };
    other("XOSCCTRL", 0x10, 2, 0x0080, 0xFFC6);
    osc16mctrl_ = &regs_.add("OSC16MCTRL", 0x14, 1, 0x82, 0xCE);
    osc16mctrl_->on_write = [this](uint32_t d, uint32_t lanes) { write_osc16m(d, lanes); };
    other("DFLLCTRL", 0x18, 2, 0x0080, 0x0FFE);
    regs_.add("DFLLVAL", 0x1C, 4, 0, 0x00003FFF);
    regs_.add("DFLLMUL", 0x20, 4, 0, 0xFFFFFFFF);
    regs_.add("DFLLSYNC", 0x24, 1, 0, 0x80);
    other("DPLLCTRLA", 0x28, 1, 0x80, 0xC2);
    regs_.add("DPLLRATIO", 0x2C, 4, 0, 0x000F0FFF);
    regs_.add("DPLLCTRLB", 0x30, 4, 0, 0x07FF373F);
    regs_.add("DPLLPRESC", 0x34, 1, 0, 0x03);
    Reg& dpllsync = regs_.add("DPLLSYNCBUSY", 0x38, 1, 0, 0);
    dpllsync.on_write = [](uint32_t, uint32_t) {};
    Reg& dpllstatus = regs_.add("DPLLSTATUS", 0x3C, 1, 0, 0);
    dpllstatus.on_write = [](uint32_t, uint32_t) {};
}

void Oscctrl::reset() {
    ++gen_;
    regs_.reset();
    inten_ = 0;
    intflag_ = 0;
    // After reset OSC16M runs at 4 MHz for generator 0, the CPU's clock
    // (datasheet, OSC16M Operation).
    enabled_ = true;
    running_ = true;
    osc16m_ready_ = true;
    fsel_ = 0;
    ctx_.system_irq(kSystemSource, false);
}

void Oscctrl::write_osc16m(uint32_t data, uint32_t lanes) {
    uint32_t v = osc16mctrl_->merged(data, lanes);
    const unsigned fsel = (v >> 2) & 3;
    // Frequency selection must be done when OSC16M is disabled (datasheet,
    // OSC16M Operation); it says nothing more, so the change is not taken.
    if (enabled_ && fsel != fsel_) {
        forbidden("OSC16MCTRL.FSEL changed from " + std::to_string(4 * (fsel_ + 1)) + " to " +
                  std::to_string(4 * (fsel + 1)) + " MHz while OSC16M is enabled: ignored");
        v = (v & ~0x0Cu) | (fsel_ << 2);
    }
    osc16mctrl_->value = v;
    enabled_ = v & kEnable;
    fsel_ = (v >> 2) & 3;
    demand_changed();
}

void Oscctrl::demand_changed() {
    const bool ondemand = osc16mctrl_->value & kOnDemand;
    const bool wanted = enabled_ && (!ondemand || (ctx_.gclk && ctx_.gclk->requests(gsrc::kOsc16m)));
    if (wanted && !running_) start();
    if (!wanted && running_) stop();
}

void Oscctrl::start() {
    running_ = true;
    const uint64_t gen = ++gen_;
    ctx_.chip.schedule(ctx_.now() + startup_ns(fsel_), [this, gen] { ready_now(gen); });
}

void Oscctrl::stop() {
    running_ = false;
    ++gen_;
    if (!osc16m_ready_) return;
    osc16m_ready_ = false;
    ctx_.clocks_changed();
}

void Oscctrl::ready_now(uint64_t gen) {
    if (gen != gen_ || !running_) return;
    osc16m_ready_ = true;
    intflag_ |= kOsc16mRdy;
    update_irq();
    ctx_.clocks_changed();
}

void Oscctrl::update_irq() { ctx_.system_irq(kSystemSource, (intflag_ & inten_) != 0); }

Osc32kctrl::Osc32kctrl(Ctx& ctx) : Model(ctx, "OSC32KCTRL", kBase, 0x400, ApbClock{Apb::A, 4}) {
    // Kept and read back; OSCULP32K runs whatever is written.
    regs_.add("INTENCLR", 0x00, 4, 0, 0);
    regs_.add("INTENSET", 0x04, 4, 0, 0);
    regs_.add("INTFLAG", 0x08, 4, 0, 0);
    regs_.add("STATUS", 0x0C, 4, 0, 0);
    regs_.add("RTCCTRL", 0x10, 1, 0, 0x07);
    for (Reg* r : {&regs_.add("XOSC32K", 0x14, 2, 0x0080, 0x17EE), &regs_.add("OSC32K", 0x18, 4, 0x003F0080, 0x007F17EE)})
        r->on_write = [this, r](uint32_t d, uint32_t lanes) {
            const uint32_t v = r->merged(d, lanes);
            if ((v & kEnable) && !(r->value & kEnable))
                forbidden_once(std::string(r->name) + ".ENABLE set: this oscillator is not modelled and gives no clock");
            r->value = v;
        };
    regs_.add("OSCULP32K", 0x1C, 4, 0, 0x00009F00);
}

}  // namespace zchip
