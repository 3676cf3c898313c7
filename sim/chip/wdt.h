// WDT – Watchdog Timer, clocked by the 1.024 kHz output of OSCULP32K
// (datasheet chapter WDT): normal and window mode, the early warning
// interrupt, CLEAR with the key 0xA5 (any other value resets at once),
// ALWAYSON, and the system reset when the period runs out.
#pragma once
#include <functional>
#include <memory>

#include "context.h"

namespace zchip {

class Wdt : public Model {
public:
    static constexpr uint32_t kBase = 0x40001C00;
    static constexpr uint8_t kIrq = 1;
    explicit Wdt(Ctx& ctx);
    // System reset: CTRLA, CONFIG and EWCTRL as the NVM user row leaves them
    // (disabled), except that ALWAYSON keeps the watchdog on until power-on.
    void reset() override;
    void power_on_reset();

    bool enabled() const { return enabled_; }
    // Cycles of CONFIG.PER / EWCTRL.EWOFFSET / CONFIG.WINDOW: 8 << value.
    static uint32_t cycles(unsigned field) { return 8u << (field > 11 ? 11 : field); }
    static vtime cycles_ns(uint32_t n) { return ns_for(n, 1024.0); }

    // Each accepted CLEAR, at the time it takes effect.
    std::function<void(vtime)> on_clear;

private:
    RegTable& table() override { return regs_; }
    void write_ctrla(uint32_t data, uint32_t lanes);
    void write_clear(uint8_t key);
    void start_period();
    void update_irq();

    RegTable regs_;
    Reg* ctrla_;
    Reg* config_;
    Reg* ewctrl_;
    std::unique_ptr<Sync> sync_;
    bool enabled_ = false;
    bool window_ = false;
    vtime period_start_ = 0;
    uint8_t inten_ = 0;
    uint8_t intflag_ = 0;
    uint64_t gen_ = 0;
};

}  // namespace zchip
