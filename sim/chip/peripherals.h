// The ATSAML21J18B's peripherals as the chip image meets them: one model per
// peripheral at its base address (datasheet, Peripherals Configuration
// Summary), sharing the clock tree and the reports. The core maps all() into
// its address space; the virtual board delivers serial bytes at their pads
// through pad_in() and resets through reset().
#pragma once
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "adc.h"
#include "context.h"
#include "gclk.h"
#include "mclk.h"
#include "nvmctrl.h"
#include "oscctrl.h"
#include "pinmux.h"
#include "port.h"
#include "sercom.h"
#include "tc.h"
#include "wdt.h"

namespace zchip {

// NVIC lines (datasheet, Nested Vector Interrupt Controller: Interrupt Line Mapping).
namespace irq {
constexpr uint8_t kSystem = 0;   // PM, MCLK, OSCCTRL, OSC32KCTRL, SUPC, PAC
constexpr uint8_t kWdt = 1;
constexpr uint8_t kNvmctrl = 4;
constexpr uint8_t kSercom0 = 8;  // SERCOMn: 8 + n
constexpr uint8_t kTc0 = 17;     // TCn: 17 + n
constexpr uint8_t kAdc = 22;
}  // namespace irq

class Peripherals {
public:
    explicit Peripherals(Chip& chip);
    ~Peripherals();
    Peripherals(const Peripherals&) = delete;
    Peripherals& operator=(const Peripherals&) = delete;

    // Every model, and the peripherals at known bases nobody modelled (their
    // accesses read 0 and are reported), for the core's memory map.
    std::vector<Peripheral*> all();
    // System reset: every model back to its reset state, the clock tree
    // re-derived (the CPU clock back to 4 MHz from OSC16M). Call this rather
    // than each Peripheral::reset(), so the clock tree follows.
    void reset();
    // Power-on: also what survives a system reset (WDT ALWAYSON).
    void power_on_reset();
    // GCLK generator 0 / MCLK CPUDIV (4 MHz from OSC16M after reset).
    double cpu_hz() const { return ctx_.cpu_hz(); }
    // A byte arriving at a pad, its stop bit ending now: it reaches the
    // SERCOM whose RX is on that pad, if any.
    void pad_in(Pad pad, uint8_t byte, vtime stop_bit_end, double sender_baud);
    // A byte straight into SERCOMn's receiver, past the pads.
    void line_in(uint8_t sercom, uint8_t byte, vtime stop_bit_end, double sender_baud);
    // Each CLEAR the watchdog accepts, at the time it takes effect.
    std::function<void(vtime)> on_watchdog_clear;

    // For the chip report: forbidden writes (with their texts) and accesses
    // to registers nobody modelled (with their places).
    const Reporter& report() const { return ctx_.report; }

    Oscctrl& oscctrl() { return *oscctrl_; }
    Gclk& gclk() { return *gclk_; }
    Mclk& mclk() { return *mclk_; }
    Pm& pm() { return *pm_; }
    Nvmctrl& nvmctrl() { return *nvmctrl_; }
    Port& port() { return *port_; }
    const PinMux& pinmux() const { return *pinmux_; }
    Wdt& wdt() { return *wdt_; }
    Adc& adc() { return *adc_; }
    Sercom& sercom(unsigned n) { return *sercom_[n]; }
    Tc& tc(unsigned n) { return *tc_[n]; }

private:
    Ctx ctx_;
    std::unique_ptr<Oscctrl> oscctrl_;
    std::unique_ptr<Osc32kctrl> osc32kctrl_;
    std::unique_ptr<Gclk> gclk_;
    std::unique_ptr<Mclk> mclk_;
    std::unique_ptr<Pm> pm_;
    std::unique_ptr<Nvmctrl> nvmctrl_;
    std::unique_ptr<Port> port_;
    std::unique_ptr<PortIobus> port_iobus_;
    std::unique_ptr<PinMux> pinmux_;
    std::unique_ptr<Wdt> wdt_;
    std::unique_ptr<Adc> adc_;
    std::array<std::unique_ptr<Sercom>, Sercom::kCount> sercom_;
    std::array<std::unique_ptr<Tc>, Tc::kCount> tc_;
    std::vector<std::unique_ptr<Unmodelled>> unmodelled_;
};

}  // namespace zchip
