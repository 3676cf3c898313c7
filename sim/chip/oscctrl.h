// OSCCTRL (datasheet chapter OSCCTRL – Oscillators Controller) with its
// OSC16M, the chip's clock after reset, and OSC32KCTRL with the always-on
// OSCULP32K (32.768 kHz, and the 1.024 kHz output that clocks the WDT).
// XOSC, DFLL48M, FDPLL96M, XOSC32K and OSC32K keep what is written and read
// back; enabling one is reported, and it gives no clock.
#pragma once
#include "context.h"

namespace zchip {

class Oscctrl : public Model {
public:
    static constexpr uint32_t kBase = 0x40000C00;
    explicit Oscctrl(Ctx& ctx);
    void reset() override;

    // OSC16M output: 4/8/12/16 MHz once ready, 0 while disabled, stopped or starting.
    double osc16m_hz() const { return osc16m_ready_ ? fsel_hz(fsel_) : 0.0; }
    bool osc16m_enabled() const { return enabled_; }
    bool osc16m_running() const { return running_; }
    // With ONDEMAND set (its reset value) OSC16M runs only while the clock
    // tree requests it (datasheet, GCLK: On Demand Clock Requests): the GCLK
    // calls this whenever its requests may have changed; OSC16M starts (its
    // start-up time, then OSC16MRDY) or stops accordingly.
    void demand_changed();

    static double fsel_hz(unsigned fsel) { return 4e6 * (fsel + 1); }
    // Start-up time (datasheet, Electrical Characteristics, 16MHz RC
    // Oscillator: TSTARTUP typ. 1.2/1.3/1.3/1.4 µs for 4/8/12/16 MHz).
    static vtime startup_ns(unsigned fsel);

private:
    RegTable& table() override { return regs_; }
    void write_osc16m(uint32_t data, uint32_t lanes);
    void start();
    void stop();
    void ready_now(uint64_t gen);
    void update_irq();

    RegTable regs_;
    Reg* osc16mctrl_;
    uint32_t inten_ = 0;
    uint32_t intflag_ = 0;
    bool enabled_ = true;
    bool running_ = true;        // oscillating: starting up or ready
    bool osc16m_ready_ = true;
    unsigned fsel_ = 0;
    uint64_t gen_ = 0;
};

class Osc32kctrl : public Model {
public:
    static constexpr uint32_t kBase = 0x40001000;
    static constexpr double kUlp32kHz = 32768.0;
    static constexpr double kUlp1kHz = 1024.0;
    explicit Osc32kctrl(Ctx& ctx);
    void reset() override { regs_.reset(); }

private:
    RegTable& table() override { return regs_; }
    RegTable regs_;
};

}  // namespace zchip
