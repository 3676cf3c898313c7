// MCLK – Main Clock: the CPU clock (GCLK_MAIN, generator 0, divided by
// CPUDIV) and the AHB/APBx masks that give each peripheral its bus clock.
#pragma once
#include "context.h"

namespace zchip {

class Mclk : public Model {
public:
    static constexpr uint32_t kBase = 0x40000400;
    explicit Mclk(Ctx& ctx);
    ~Mclk() override;
    void reset() override;

    double cpu_hz() const;
    unsigned cpudiv() const { return cpudiv_->value; }

private:
    RegTable& table() override { return regs_; }
    void write_div(Reg& r, const char* name, uint32_t data, uint32_t lanes);

    RegTable regs_;
    Reg* cpudiv_;
    Reg* mask_[5];   // APBAMASK..APBEMASK
};

}  // namespace zchip
