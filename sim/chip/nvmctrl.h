// NVMCTRL – Non-Volatile Memory Controller, as far as running from flash
// needs it: CTRLB.RWS, the flash read wait states, checked against the CPU
// clock at the performance level PM selects. Flash commands are not
// modelled (reported). And PM – Power Manager, for that performance level.
#pragma once
#include "context.h"

namespace zchip {

class Pm : public Model {
public:
    static constexpr uint32_t kBase = 0x40000000;
    explicit Pm(Ctx& ctx);
    void reset() override;
    // The performance level in force: 0 (PL0, after reset) or 2 (PL2).
    unsigned level() const { return level_; }

private:
    RegTable& table() override { return regs_; }
    void update_irq();
    RegTable regs_;
    unsigned level_ = 0;
    uint32_t inten_ = 0;
    uint32_t intflag_ = 0;
    uint64_t gen_ = 0;
};

class Nvmctrl : public Model {
public:
    static constexpr uint32_t kBase = 0x41004000;
    explicit Nvmctrl(Ctx& ctx);
    void reset() override;

    unsigned wait_states() const { return (ctrlb_->value >> 1) & 0xF; }
    // Wait states flash reads need at this CPU clock and performance level,
    // VDD 3.3 V; -1 above the level's maximum CPU clock.
    static int needed_wait_states(double cpu_hz, unsigned level);
    // Checks RWS against the CPU clock now (after any clock change).
    void check();

private:
    RegTable& table() override { return regs_; }
    RegTable regs_;
    Reg* ctrlb_;
    std::string last_report_;
};

}  // namespace zchip
