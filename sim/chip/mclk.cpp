#include "mclk.h"

#include "gclk.h"

namespace zchip {

Mclk::Mclk(Ctx& ctx) : Model(ctx, "MCLK", kBase, 0x400, ApbClock{Apb::A, 1}) {
    regs_.add("CTRLA", 0x00, 1, 0, 0x04);
    Reg* intenclr = &regs_.add("INTENCLR", 0x01, 1, 0, 0);
    Reg* intenset = &regs_.add("INTENSET", 0x02, 1, 0, 0);
    intenclr->on_write = [intenset](uint32_t d, uint32_t) { intenset->value &= ~d & 1u; };
    intenclr->on_read = [intenset] { return intenset->value; };
    intenset->on_write = [intenset](uint32_t d, uint32_t) { intenset->value |= d & 1u; };
    // CKRDY: the new divisions are in force at once here.
    Reg& intflag = regs_.add("INTFLAG", 0x03, 1, 0x01, 0);
    intflag.on_write = [](uint32_t, uint32_t) {};
    cpudiv_ = &regs_.add("CPUDIV", 0x04, 1, 0x01, 0xFF);
    cpudiv_->on_write = [this](uint32_t d, uint32_t lanes) { write_div(*cpudiv_, "CPUDIV", d, lanes); };
    Reg* lpdiv = &regs_.add("LPDIV", 0x05, 1, 0x01, 0xFF);
    lpdiv->on_write = [this, lpdiv](uint32_t d, uint32_t lanes) { write_div(*lpdiv, "LPDIV", d, lanes); };
    Reg* bupdiv = &regs_.add("BUPDIV", 0x06, 1, 0x01, 0xFF);
    bupdiv->on_write = [this, bupdiv](uint32_t d, uint32_t lanes) { write_div(*bupdiv, "BUPDIV", d, lanes); };
    // Every clock runs after reset; the reset values set reserved bits too
    // (the vendor's MCLK_*MASK_RESETVALUE), which read back as set.
    regs_.add("AHBMASK", 0x10, 4, 0x000FFFFF, 0x000FDF3F);
    mask_[0] = &regs_.add("APBAMASK", 0x14, 4, 0x00001FFF, 0x00001FFF);
    mask_[1] = &regs_.add("APBBMASK", 0x18, 4, 0x00000017, 0x00000007);
    mask_[2] = &regs_.add("APBCMASK", 0x1C, 4, 0x00007FFF, 0x00007FFF);
    mask_[3] = &regs_.add("APBDMASK", 0x20, 4, 0x000000FF, 0x000000FF);
    mask_[4] = &regs_.add("APBEMASK", 0x24, 4, 0x0000000D, 0x00000001);
    for (int k = 0; k < 5; ++k) ctx.apb_masks[k] = &mask_[k]->value;
}

Mclk::~Mclk() {
    for (auto& m : ctx_.apb_masks) m = nullptr;
}

void Mclk::reset() { regs_.reset(); }

void Mclk::write_div(Reg& r, const char* name, uint32_t data, uint32_t lanes) {
    const uint32_t v = r.merged(data, lanes) & 0xFF;
    // Division by 1, 2, 4 .. 128; the other values are reserved.
    if (v == 0 || (v & (v - 1)) != 0) {
        forbidden(std::string(name) + " = " + hex(v, 2) + " is reserved: ignored");
        return;
    }
    if (v == r.value) return;
    r.value = v;
    ctx_.clocks_changed();
}

double Mclk::cpu_hz() const {
    const double main = ctx_.gclk ? ctx_.gclk->generator_hz(0) : 0.0;
    return main / static_cast<double>(cpudiv_->value);
}

}  // namespace zchip
