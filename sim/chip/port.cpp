#include "port.h"

#include <cstdio>

namespace zchip {
namespace {
constexpr uint8_t kPmuxen = 1u << 0, kInen = 1u << 1, kPullen = 1u << 2, kDrvstr = 1u << 6;
constexpr uint8_t kPincfgWritable = kPmuxen | kInen | kPullen | kDrvstr;
}  // namespace

Port::Port(Ctx& ctx) : Model(ctx, "PORT", kBase, 0x400, kApb) {
    for (unsigned g = 0; g < kGroups; ++g) add_group(g);
}

void Port::add_group(unsigned g) {
    const uint32_t base = 0x80 * g;
    GroupState& s = groups_[g];
    // Register names live as long as the table: one static set per group.
    static char names[kGroups][64][16];
    auto name = [g](int i, const char* fmt, unsigned n) {
        std::snprintf(names[g][i], sizeof names[g][i], fmt, g == 0 ? 'A' : 'B', n);
        return names[g][i];
    };
    auto bits = [&](int i, const char* what, uint32_t off, uint32_t* field, int op) {
        Reg& r = regs_.add(name(i, what, 0), base + off, 4, 0, 0);
        r.on_read = [field] { return *field; };
        r.steady = true;
        r.idle = [field, op](uint32_t d, uint32_t lanes) {
            switch (op) {
                case 0: return (*field & lanes) == (d & lanes);
                case 1: return (*field & d) == 0;
                case 2: return (*field & d) == d;
                default: return d == 0;
            }
        };
        r.on_write = [this, g, field, op](uint32_t d, uint32_t lanes) {
            const uint32_t before = *field;
            switch (op) {
                case 0: *field = (*field & ~lanes) | (d & lanes); break;
                case 1: *field &= ~d; break;
                case 2: *field |= d; break;
                default: *field ^= d; break;
            }
            publish(g, before ^ *field);
        };
    };
    bits(0, "%c.DIR", 0x00, &s.dir, 0);
    bits(1, "%c.DIRCLR", 0x04, &s.dir, 1);
    bits(2, "%c.DIRSET", 0x08, &s.dir, 2);
    bits(3, "%c.DIRTGL", 0x0C, &s.dir, 3);
    bits(4, "%c.OUT", 0x10, &s.out, 0);
    bits(5, "%c.OUTCLR", 0x14, &s.out, 1);
    bits(6, "%c.OUTSET", 0x18, &s.out, 2);
    bits(7, "%c.OUTTGL", 0x1C, &s.out, 3);
    Reg& in = regs_.add(name(8, "%c.IN", 0), base + 0x20, 4, 0, 0);
    in.on_read = [this, g] { return read_in(g); };
    in.steady = true;   // the wires change only in the world's events
    in.on_write = [](uint32_t, uint32_t) {};
    in.idle = [](uint32_t, uint32_t) { return true; };
    Reg& ctrl = regs_.add(name(9, "%c.CTRL", 0), base + 0x24, 4, 0, 0);
    ctrl.on_read = [&s] { return s.ctrl; };
    ctrl.on_write = [&s](uint32_t d, uint32_t lanes) { s.ctrl = (s.ctrl & ~lanes) | (d & lanes); };
    Reg& wrconfig = regs_.add(name(10, "%c.WRCONFIG", 0), base + 0x28, 4, 0, 0);
    wrconfig.on_read = [] { return 0u; };   // write-only
    wrconfig.on_write = [this, g](uint32_t d, uint32_t) { write_config(g, d); };
    Reg& evctrl = regs_.add(name(11, "%c.EVCTRL", 0), base + 0x2C, 4, 0, 0);
    evctrl.on_read = [&s] { return s.evctrl; };
    evctrl.on_write = [&s](uint32_t d, uint32_t lanes) { s.evctrl = (s.evctrl & ~lanes) | (d & lanes); };
    for (unsigned n = 0; n < 16; ++n) {
        Reg& r = regs_.add(name(12 + static_cast<int>(n), "%c.PMUX%u", n), base + 0x30 + n, 1, 0, 0);
        r.on_read = [&s, n] { return static_cast<uint32_t>(s.pmux[n]); };
        r.steady = true;
        r.idle = [&s, n](uint32_t d, uint32_t) { return static_cast<uint8_t>(d) == s.pmux[n]; };
        r.on_write = [this, g, &s, n](uint32_t d, uint32_t) {
            s.pmux[n] = static_cast<uint8_t>(d);
            publish(g, 3u << (2 * n));
        };
    }
    for (unsigned n = 0; n < 32; ++n) {
        Reg& r = regs_.add(name(28 + static_cast<int>(n), "%c.PINCFG%u", n), base + 0x40 + n, 1, 0, 0);
        r.on_read = [&s, n] { return static_cast<uint32_t>(s.pincfg[n]); };
        r.steady = true;
        r.idle = [&s, n](uint32_t d, uint32_t) { return static_cast<uint8_t>(d & kPincfgWritable) == s.pincfg[n]; };
        r.on_write = [this, g, &s, n](uint32_t d, uint32_t) {
            s.pincfg[n] = static_cast<uint8_t>(d & kPincfgWritable);
            publish(g, 1u << n);
        };
    }
}

void Port::reset() {
    for (unsigned g = 0; g < kGroups; ++g) {
        groups_[g] = GroupState{};
        publish(g, 0xFFFFFFFFu);
    }
}

PadDrive Port::drive(Group grp, uint8_t pin) const {
    const GroupState& s = groups_[static_cast<unsigned>(grp)];
    PadDrive d;
    d.output = (s.dir >> pin) & 1u;
    d.level = (s.out >> pin) & 1u;
    d.pull = s.pincfg[pin] & kPullen;
    d.input = s.pincfg[pin] & kInen;
    d.function = s.pincfg[pin] & kPmuxen;
    d.mux = static_cast<uint8_t>((s.pmux[pin / 2] >> (pin % 2 ? 4 : 0)) & 0xF);
    return d;
}

uint32_t Port::read_in(unsigned g) {
    // With the input buffer off a pin reads 0 (datasheet, PORT: Pin Configurations).
    uint32_t v = 0;
    Wires& w = ctx_.chip.wires();
    for (uint8_t pin = 0; pin < 32; ++pin)
        if ((groups_[g].pincfg[pin] & kInen) && w.pad_level(static_cast<Group>(g), pin)) v |= 1u << pin;
    return v;
}

void Port::write_config(unsigned g, uint32_t d) {
    // WRCONFIG writes PINCFG and/or PMUX of the pins in PINMASK, in the lower
    // or (HWSEL) upper half of the group (datasheet, PORT: Write Configuration).
    GroupState& s = groups_[g];
    const unsigned first = (d >> 31) ? 16 : 0;
    const uint8_t cfg = static_cast<uint8_t>(((d >> 16) & 0x07) | (((d >> 22) & 1u) << 6));
    for (unsigned i = 0; i < 16; ++i) {
        if (!((d >> i) & 1u)) continue;
        const unsigned pin = first + i;
        if ((d >> 30) & 1u) s.pincfg[pin] = cfg;
        if ((d >> 28) & 1u) {
            const unsigned shift = pin % 2 ? 4 : 0;
            s.pmux[pin / 2] = static_cast<uint8_t>((s.pmux[pin / 2] & ~(0xF << shift)) | (((d >> 24) & 0xF) << shift));
        }
    }
    publish(g, (d & 0xFFFFu) << first);
}

// Tells the wires about the pads among `pins` whose drive changed: the
// firmware re-applies its pin modes on every pass.
void Port::publish(unsigned g, uint32_t pins) {
    ++changes_;
    bool functions = false;
    for (uint8_t pin = 0; pins != 0; ++pin, pins >>= 1) {
        if (!(pins & 1u)) continue;
        const PadDrive d = drive(static_cast<Group>(g), pin);
        PadDrive& last = sent_[g][pin];
        if (d.output == last.output && d.level == last.level && d.pull == last.pull && d.input == last.input &&
            d.function == last.function && d.mux == last.mux)
            continue;
        functions |= d.function != last.function || d.mux != last.mux;
        last = d;
        ctx_.chip.wires().pad_driven(static_cast<Group>(g), pin, d);
    }
    if (functions && on_functions_changed) on_functions_changed();
}

bool PortIobus::read(uint32_t offset, unsigned width, uint32_t& value) {
    if (offset + width > size()) return false;
    if (!port_.iobus_table().read(offset, width, value))
        ctx_.report.unmodelled("PORT_IOBUS+" + hex(offset, 2) + " (" + std::to_string(8 * width) + "-bit read)");
    return true;
}

bool PortIobus::write(uint32_t offset, unsigned width, uint32_t value) {
    if (offset + width > size()) return false;
    if (!port_.iobus_table().write(offset, width, value))
        ctx_.report.unmodelled("PORT_IOBUS+" + hex(offset, 2) + " (" + std::to_string(8 * width) + "-bit write)");
    return true;
}

}  // namespace zchip
