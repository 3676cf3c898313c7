#include "nvmctrl.h"

#include <cstdio>

namespace zchip {
namespace {
constexpr unsigned kPmSystemSource = 2;     // PM's share of NVIC line 0
constexpr uint8_t kNvmctrlIrq = 4;
constexpr uint32_t kPlrdy = 1u << 0;
// Time until PM reports the new performance level ready (INTFLAG.PLRDY); the
// datasheet gives no figure, so a regulator settling time is assumed.
constexpr vtime kPlSwitchNs = 30000;

std::string mhz(double hz) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g MHz", hz / 1e6);
    return buf;
}
}  // namespace

Pm::Pm(Ctx& ctx) : Model(ctx, "PM", kBase, 0x400, ApbClock{Apb::A, 0}) {
    regs_.add("CTRLA", 0x00, 1, 0, 0x04);
    regs_.add("SLEEPCFG", 0x01, 1, 0x02, 0x07);
    Reg* plcfg = &regs_.add("PLCFG", 0x02, 1, 0, 0x83);
    plcfg->on_write = [this, plcfg](uint32_t d, uint32_t lanes) {
        const uint32_t v = plcfg->merged(d, lanes);
        const unsigned sel = v & 3;
        if (sel == 1 || sel == 3) {
            forbidden("PLCFG.PLSEL " + std::to_string(sel) + " is reserved: ignored");
            return;
        }
        if ((plcfg->value & 0x80u) && sel != (plcfg->value & 3)) {
            forbidden("PLCFG.PLSEL changed while PLDIS is set: ignored");
            return;
        }
        plcfg->value = v;
        if (sel == level_) return;
        ++gen_;
        if (sel < level_) {
            // Down to PL0 only below its maximum clock (datasheet, PM: Performance Levels).
            if (Nvmctrl::needed_wait_states(ctx_.cpu_hz(), 0) < 0)
                forbidden("PL0 selected while the CPU runs at " + mhz(ctx_.cpu_hz()) + ", above PL0's maximum");
            level_ = sel;
            intflag_ |= kPlrdy;
            update_irq();
            ctx_.clocks_changed();
            return;
        }
        const uint64_t gen = gen_;
        ctx_.chip.schedule(ctx_.now() + kPlSwitchNs, [this, gen, sel] {
            if (gen != gen_) return;
            level_ = sel;
            intflag_ |= kPlrdy;
            update_irq();
            ctx_.clocks_changed();
        });
    };
    add_inten(regs_, 0x04, 0x05, 1, inten_, kPlrdy, [this] { update_irq(); });
    Reg& intflag = regs_.add("INTFLAG", 0x06, 1, 0, 0);
    intflag.on_read = [this] { return intflag_; };
    intflag.on_write = [this](uint32_t d, uint32_t) {
        intflag_ &= ~d;
        update_irq();
    };
    regs_.add("STDBYCFG", 0x08, 2, 0, 0x0F53);
    regs_.add("PWSAKDLY", 0x0C, 1, 0, 0xFF);
}

void Pm::reset() {
    ++gen_;
    regs_.reset();
    level_ = 0;
    inten_ = intflag_ = 0;
    ctx_.system_irq(kPmSystemSource, false);
}

void Pm::update_irq() { ctx_.system_irq(kPmSystemSource, (intflag_ & inten_) != 0); }

Nvmctrl::Nvmctrl(Ctx& ctx) : Model(ctx, "NVMCTRL", kBase, 0x400, ApbClock{Apb::B, 2}) {
    Reg* ctrla = &regs_.add("CTRLA", 0x00, 2, 0, 0);
    Reg* status = &regs_.add("STATUS", 0x18, 2, 0, 0);
    // READY reads 0 from reset (NVMCTRL_INTFLAG_RESETVALUE): no command is
    // modelled that would set it.
    Reg* intflag = &regs_.add("INTFLAG", 0x14, 1, 0x00, 0);
    Reg* intenset = &regs_.add("INTENSET", 0x10, 1, 0, 0);
    auto irq = [this, intflag, intenset] { ctx_.chip.set_irq(kNvmctrlIrq, (intflag->value & intenset->value) != 0); };
    ctrla->on_write = [this, status, intflag, irq](uint32_t d, uint32_t lanes) {
        if ((lanes & 0xFF00u) == 0 || ((d >> 8) & 0xFF) != 0xA5) {
            // A command without the key sets PROGE and ERROR (datasheet, NVMCTRL: Control A, CMDEX).
            status->value |= 1u << 2;
            intflag->value |= 1u << 1;
            irq();
            forbidden("CTRLA command " + hex(d & 0x7F, 2) + " without the key 0xA5 in CMDEX: PROGE");
            return;
        }
        forbidden_once("CTRLA command " + hex(d & 0x7F, 2) + ": flash commands are not modelled");
    };
    ctrlb_ = &regs_.add("CTRLB", 0x04, 4, 0x00000080, 0x00070B9E);
    ctrlb_->on_write = [this](uint32_t d, uint32_t lanes) {
        ctrlb_->store(d, lanes);
        check();
    };
    // 256 KB of 64-byte pages, 8 KB of read-while-write flash.
    Reg& param = regs_.add("PARAM", 0x08, 4, 4096u | (3u << 16) | (128u << 20), 0);
    param.on_write = [](uint32_t, uint32_t) {};
    Reg* intenclr = &regs_.add("INTENCLR", 0x0C, 1, 0, 0);
    intenclr->on_read = [intenset] { return intenset->value; };
    intenclr->on_write = [intenset, irq](uint32_t d, uint32_t) {
        intenset->value &= ~d;
        irq();
    };
    intenset->on_write = [intenset, irq](uint32_t d, uint32_t) {
        intenset->value |= d & 0x03u;
        irq();
    };
    intflag->on_write = [intflag, irq](uint32_t d, uint32_t) {
        intflag->value &= ~(d & 0x02u);   // READY is not cleared by writing it
        irq();
    };
    status->on_write = [status](uint32_t d, uint32_t) { status->value &= ~(d & 0x1Cu); };
    regs_.add("ADDR", 0x1C, 4, 0, 0x003FFFFF);
    Reg& lock = regs_.add("LOCK", 0x20, 2, 0xFFFF, 0);
    lock.on_write = [](uint32_t, uint32_t) {};
}

void Nvmctrl::reset() {
    regs_.reset();
    last_report_.clear();
    ctx_.chip.set_irq(kNvmctrlIrq, false);
}

int Nvmctrl::needed_wait_states(double cpu_hz, unsigned level) {
    // Maximum CPU clock per flash wait state at VDD 2.7..3.63 V (datasheet,
    // Electrical Characteristics, NVM Characteristics): PL0 up to 12 MHz,
    // zero wait states up to 7.5 MHz; PL2 up to 48 MHz, zero up to 24 MHz.
    if (level == 0) {
        if (cpu_hz > 12e6) return -1;
        return cpu_hz > 7.5e6 ? 1 : 0;
    }
    if (cpu_hz > 48e6) return -1;
    return cpu_hz > 24e6 ? 1 : 0;
}

void Nvmctrl::check() {
    const double hz = ctx_.cpu_hz();
    const unsigned level = ctx_.pm ? ctx_.pm->level() : 0;
    const int need = needed_wait_states(hz, level);
    std::string text;
    if (need < 0)
        text = "CPU clock " + mhz(hz) + " above the maximum of performance level PL" + std::to_string(level);
    else if (static_cast<int>(wait_states()) < need)
        text = "CTRLB.RWS = " + std::to_string(wait_states()) + ": too few flash wait states for the " + mhz(hz) +
               " CPU clock at PL" + std::to_string(level) + " (needs " + std::to_string(need) + ")";
    if (!text.empty() && text != last_report_) forbidden(text);
    last_report_ = text;
}

}  // namespace zchip
