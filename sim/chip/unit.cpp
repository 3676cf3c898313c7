#include "unit.h"

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "SPI.h"
#include "host/buses.h"
#include "host/pins.h"
#include "pads.h"
#include "pinmux.h"
#include "serial_line.h"
#include "wiring.h"

namespace zchip {

using zplat::tb;

namespace {

// The board's schematic from the unit's side: the device on each line and
// the unit's signal on that wire. Facts about the board, whatever the
// registers say: a device reaches the chip only through the pad of its line.
struct DeviceWire {
    const char* device;
    uint8_t line;
    bool analog;
    Signal signal;   // the unit's end of a digital wire
};
constexpr DeviceWire kDeviceWires[] = {
    {"PC", 1, false, Signal::Tx},          {"PC", 0, false, Signal::Rx},
    {"GPS", 3, false, Signal::Tx},         {"GPS", 2, false, Signal::Rx},
    {"transponder", 5, false, Signal::Tx}, {"transponder", 4, false, Signal::Rx},
    {"EEPROM", 51, false, Signal::Miso},   {"EEPROM", 53, false, Signal::Mosi},
    {"EEPROM", 54, false, Signal::Sck},    {"RTC", 47, false, Signal::Sda},
    {"RTC", 48, false, Signal::Scl},       {"battery", zsim::wiring::kBatteryAdc, true, Signal::Tx},
    {"panel current", zsim::wiring::kPanelAdc, true, Signal::Tx},
};

// The serial lines by the board's port index (Serial0, Serial1, Serial3):
// the unit's TX and RX lines, and the rate the device at the other end expects.
struct SerialLine {
    uint8_t tx, rx;
    double baud;
};
constexpr SerialLine kSerial[zplat::kUartCount] = {{1, 0, 38400}, {3, 2, 9600}, {5, 4, 38400}};
constexpr uint8_t kEepromMiso = 51, kEepromMosi = 53, kEepromSck = 54, kRtcSda = 47, kRtcScl = 48;

// A receiver sampling 16 times a bit takes a byte whose rate is off by less
// than this; beyond it the byte arrives garbled.
constexpr double kRateTolerance = 0.03;

// The pads of those lines, looked up once.
struct BoardPads {
    Pad serial_tx[zplat::kUartCount], serial_rx[zplat::kUartCount];
    Pad miso, mosi, sck, sda, scl;
};
const BoardPads& board_pads() {
    static const BoardPads p = [] {
        auto at = [](uint8_t line) { return pad_of_line(line).value(); };
        BoardPads b{};
        for (uint8_t i = 0; i < zplat::kUartCount; ++i) {
            b.serial_tx[i] = at(kSerial[i].tx);
            b.serial_rx[i] = at(kSerial[i].rx);
        }
        b.miso = at(kEepromMiso);
        b.mosi = at(kEepromMosi);
        b.sck = at(kEepromSck);
        b.sda = at(kRtcSda);
        b.scl = at(kRtcScl);
        return b;
    }();
    return p;
}

// The RTC answers only with SDA and SCL both on their lines.
bool on_rtc_bus(const I2cPads& p) { return p.sda.has(board_pads().sda) && p.scl.has(board_pads().scl); }

std::string wire_name(const DeviceWire& w) {
    return w.analog ? std::string(w.device) : std::string(w.device) + " " + signal_name(w.signal);
}

uint64_t pad_key(Group g, uint8_t pin) { return (static_cast<uint64_t>(g) << 8) | pin; }

// Exceptions by number (ARMv6-M ARM, B1.5.2), then the chip's interrupt lines.
std::string exception_name(unsigned e) {
    static const char* const kSystem[16] = {"", "Reset", "NMI", "HardFault", "", "", "", "", "", "", "", "SVCall",
                                            "", "", "PendSV", "SysTick"};
    static const char* const kLines[29] = {"SYSTEM", "WDT", "RTC", "EIC", "NVMCTRL", "DMAC", "USB", "EVSYS",
                                           "SERCOM0", "SERCOM1", "SERCOM2", "SERCOM3", "SERCOM4", "SERCOM5",
                                           "TCC0", "TCC1", "TCC2", "TC0", "TC1", "TC2", "TC3", "TC4", "ADC",
                                           "AC", "DAC", "PTC", "AES", "TRNG", "line 28"};
    if (e < 16) return kSystem[e];
    if (e - 16 < 29) return std::string(kLines[e - 16]) + " (line " + std::to_string(e - 16) + ")";
    return "exception " + std::to_string(e);
}

}  // namespace

ChipUnit::ChipUnit(zsim::Board& board, const std::string& elf_path) : board_(board), elf_(Elf::read_file(elf_path)) {
    core_ = std::make_unique<Core>(*this);
    periph_ = std::make_unique<Peripherals>(*this);
    for (Peripheral* p : periph_->all()) core_->map(*p);
    core_->load(elf_);
    periph_->on_watchdog_clear = [this](vtime at) { watchdog_cleared(at); };
    for (uint8_t i = 0; i < zplat::kUartCount; ++i) {
        lines_[i].unit = this;
        lines_[i].rx = board_pads().serial_rx[i];
        zplat::uart_by_index(i)->host_set_sink(&lines_[i]);
    }
    board_.attach_unit(this);
    periph_->power_on_reset();
    core_->reset();
    core_->paint_stack();
    core_->set_cpu_hz(periph_->cpu_hz());
}

ChipUnit::~ChipUnit() {
    for (uint8_t i = 0; i < zplat::kUartCount; ++i) zplat::uart_by_index(i)->host_set_sink(nullptr);
}

void ChipUnit::run_until(vtime t) {
    while (tb.now < t && !faulted() && !ended_) {
        if (!powered_) {
            // No supply: nothing executes until the board brings it back.
            const vtime next = std::min(tb.due, t);
            if (next > tb.now) core_->skip_to(next);
            if (tb.now >= tb.due) board_.service_world();
            continue;
        }
        if (!pending_reset_.empty()) reset_chip();
        if (stall_until_ > tb.now) {
            // The main loop is held: time passes to the next thing due.
            const vtime next = std::min({tb.due, t, stall_until_});
            if (next > tb.now) core_->skip_to(next);
            if (tb.now >= tb.due) board_.service_world();
            continue;
        }
        in_run_ = true;
        const Core::Stop stop = core_->run(t);
        in_run_ = false;
        sample_pass();
        if (debugger_ && (stop == Core::Stop::Halt || stop == Core::Stop::Fault || debugger_->interrupted())) {
            if (!debugger_->halted(stop == Core::Stop::Halt || stop == Core::Stop::Fault ? stop : Core::Stop::Until)) {
                ended_ = true;
                break;
            }
            // A reset from the debugger revives a faulted core.
            if (stop == Core::Stop::Fault && !core_->fault()) continue;
        }
        if (stop == Core::Stop::Fault) {
            fault_report_ = core_->describe_fault();
            break;
        }
        if (!pending_reset_.empty()) reset_chip();
        if (tb.now >= tb.due) board_.service_world();
    }
}

void ChipUnit::stall(vtime d) { stall_until_ = std::max(stall_until_, tb.now + d); }

// Without supply the core stops and SRAM forgets: it holds seeded noise, so
// the image can count on nothing but its own start-up code. With supply
// back the chip starts from power-on.
void ChipUnit::set_powered(bool on) {
    if (on == powered_) return;
    powered_ = on;
    ++gen_;
    pending_reset_.clear();
    stall_until_ = 0;
    periph_->power_on_reset();
    core_->reset();
    last_clear_ = zplat::kNever;
    pass_samples_.clear();
    if (!on) {
        ++power_losses_;
        zsim::SplitMix rng(board_.scenario().seed ^ (0x5EED0000ull + power_losses_));
        std::vector<uint8_t> noise(Core::kSramSize);
        for (uint8_t& b : noise) b = static_cast<uint8_t>(rng.next());
        core_->write_memory(Core::kSramBase, noise.data(), noise.size());
        return;
    }
    core_->set_cpu_hz(periph_->cpu_hz());
    core_->paint_stack();
}

void ChipUnit::hardware_reset() {
    ++gen_;
    ++restarts_;
    pending_reset_.clear();
    stall_until_ = 0;
    fault_report_.clear();
    periph_->power_on_reset();
    core_->reset();
    // SRAM at power-on holds noise, as after a loss of supply.
    zsim::SplitMix rng(board_.scenario().seed ^ (0xDB600000ull + restarts_));
    std::vector<uint8_t> noise(Core::kSramSize);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng.next());
    core_->write_memory(Core::kSramBase, noise.data(), noise.size());
    core_->set_cpu_hz(periph_->cpu_hz());
    core_->paint_stack();
    board_.unit_restarted();
    last_clear_ = zplat::kNever;
    pass_samples_.clear();
}

void ChipUnit::reset_chip() {
    ++gen_;
    ++restarts_;
    pending_reset_.clear();
    stall_until_ = 0;
    periph_->reset();
    core_->reset();
    core_->set_cpu_hz(periph_->cpu_hz());
    board_.unit_restarted();
    last_clear_ = zplat::kNever;
    pass_samples_.clear();
}

// ---- Chip ----

vtime ChipUnit::now() const { return tb.now; }

uint32_t ChipUnit::pc() const { return core_->pc(); }

void ChipUnit::schedule(vtime at, std::function<void()> fn) {
    const uint64_t g = gen_;
    board_.schedule(std::max(at, tb.now), [this, g, f = std::move(fn)] {
        if (g == gen_) f();
    });
}

void ChipUnit::set_irq(uint8_t line, bool raised) { core_->set_irq(line, raised); }

// From a register access the core stops after that instruction (its reset()
// defers itself) and the run loop finishes the reset; from an event (the
// watchdog's bite) the chip resets at once, voiding the old run's events.
void ChipUnit::system_reset(const std::string& cause) {
    if (pending_reset_.empty()) pending_reset_ = cause;
    if (in_run_) {
        core_->reset();
    } else {
        reset_chip();
    }
}

void ChipUnit::forbidden(const std::string& what) {
    const uint32_t at = core_->pc();
    char where[64];
    std::snprintf(where, sizeof where, " (PC 0x%08X", at);
    const std::string line = what + where + ", " + core_->symbol_at(at) + ")";
    std::fprintf(stderr, "chip: %s\n", line.c_str());
    if (forbidden_.size() < 100) forbidden_.push_back(line);
}

void ChipUnit::cpu_clock_changed() { core_->set_cpu_hz(periph_->cpu_hz()); }

// ---- Wires ----

void ChipUnit::pad_driven(Group g, uint8_t pin, const PadDrive& d) {
    const auto line = line_of_pad(g, pin);
    if (!line) {
        unconnected_[pad_key(g, pin)] = d;
        return;
    }
    // A pad a peripheral owns is driven by it, not by PORT: as far as the
    // board's lines go, PORT leaves it alone.
    if (d.function) return;
    zplat::set_pin_drive(*line, d.output, d.level, d.pull);
}

bool ChipUnit::pad_level(Group g, uint8_t pin) {
    const auto line = line_of_pad(g, pin);
    if (line) return zplat::pin_level(*line) != 0;
    const auto it = unconnected_.find(pad_key(g, pin));
    if (it == unconnected_.end()) return false;
    const PadDrive& d = it->second;
    return (d.output || d.pull) && d.level;
}

double ChipUnit::pad_volts(Group g, uint8_t pin) {
    const auto line = line_of_pad(g, pin);
    return line ? board_.analog_volts(*line) : 0.0;
}

void ChipUnit::serial_out(PadSet tx, uint8_t byte, vtime at, double baud) {
    for (uint8_t port = 0; port < zplat::kUartCount; ++port) {
        if (!tx.has(board_pads().serial_tx[port])) continue;
        zplat::SerialPeer* peer = zplat::uart_by_index(port)->host_peer();
        if (!peer) continue;
        const double nominal = kSerial[port].baud;
        if (std::fabs(baud - nominal) <= nominal * kRateTolerance) {
            peer->on_byte(byte, at, static_cast<uint32_t>(nominal));
        } else {
            // Sampled at the wrong rate: framing garbage, at a rate the device does not speak.
            peer->on_byte(static_cast<uint8_t>(byte ^ 0xA5), at, static_cast<uint32_t>(std::lround(baud)));
        }
    }
}

void ChipUnit::Line::on_arrival(uint8_t byte, uint64_t at, uint32_t baud) {
    unit->periph_->pad_in(rx, byte, at, static_cast<double>(baud));
}

// The EEPROM is clocked only from its SCK line. It shifts in the MOSI line's
// level when no SERCOM drives its MOSI there; the SERCOM shifts in the idle
// level of a data line, all ones, unless its MISO is on the EEPROM's line.
uint8_t ChipUnit::spi_exchange(const SpiPads& pads, uint8_t mosi, const SpiFormat& f) {
    const BoardPads& b = board_pads();
    if (!pads.sck.has(b.sck)) return 0xFF;
    const uint8_t in = pads.mosi.has(b.mosi) ? mosi : (zplat::pin_level(kEepromMosi) ? 0xFF : 0x00);
    // Mode codes of SPI.h: bit 0 is CPOL, bit 1 set means CPHA 0.
    const uint8_t mode = static_cast<uint8_t>((f.cpol ? 1 : 0) | (f.cpha ? 0 : 2));
    const uint8_t out = zplat::spi_exchange_with(in, SPISettings(f.hz, f.lsb_first ? LSBFIRST : MSBFIRST, mode));
    return pads.miso.has(b.miso) ? out : 0xFF;
}

size_t ChipUnit::i2c_write(const I2cPads& pads, uint8_t address, const uint8_t* data, size_t n) {
    zplat::I2cTarget* t = on_rtc_bus(pads) ? zplat::i2c_target(address) : nullptr;
    return t ? t->on_write(data, n) : 0;
}

bool ChipUnit::i2c_read(const I2cPads& pads, uint8_t address, uint8_t* out, size_t n) {
    zplat::I2cTarget* t = on_rtc_bus(pads) ? zplat::i2c_target(address) : nullptr;
    return t && t->on_read(out, n);
}

// ---- what only the chip image tells ----

void ChipUnit::sample_pass() {
    if ((core_->reg(Core::Reg::XPSR) & 0x3Fu) != 0) return;   // in a handler, not the main loop
    const std::string at = core_->symbol_at(core_->pc());
    ++pass_samples_[at.substr(0, at.find('+'))];
}

void ChipUnit::watchdog_cleared(vtime at) {
    if (last_clear_ != zplat::kNever && at - last_clear_ > longest_pass_) {
        longest_pass_ = at - last_clear_;
        const auto top = std::max_element(pass_samples_.begin(), pass_samples_.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
        longest_pass_in_ = top == pass_samples_.end() ? "" : top->first;
    }
    pass_samples_.clear();
    last_clear_ = at;
}

namespace {

__attribute__((format(printf, 1, 2))) std::string fmt(const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

}  // namespace

ChipReport ChipUnit::report() const {
    ChipReport r;
    const Core::Stats& s = core_->stats();
    r.instructions = s.instructions;
    r.cycles = s.cycles;
    r.idle_cycles = s.idle_cycles;
    r.longest_pass_ms = static_cast<double>(longest_pass_) / 1e6;
    r.longest_pass_in = longest_pass_in_;
    r.tick_longest_cycles = s.longest_cycles[16 + 17];
    for (unsigned e = 1; e < 48; ++e) {
        if (s.taken[e] == 0) continue;
        r.interrupts.emplace_back(exception_name(e), s.taken[e]);
    }
    r.stack_low = core_->stack_high_water();
    const uint32_t top = elf_.symbol("__stack_top").value_or(Core::kSramBase + Core::kSramSize);
    r.stack_used = top - r.stack_low;
    r.stack_left = core_->stack_headroom();
    r.forbidden = forbidden_;
    r.restarts = restarts_;
    report_pins(r);
    return r;
}


namespace {

const char* needs(Signal s) {
    if (s == Signal::Tx || s == Signal::Rx) return "a USART";
    if (s == Signal::Sda || s == Signal::Scl) return "an I2C master";
    return "an SPI master";
}

}  // namespace

// Every pad a peripheral's signal was on while it ran, and the device wires
// none reached, with why as the registers stand at the end.
void ChipUnit::report_pins(ChipReport& r) const {
    Peripherals& p = *periph_;
    auto where = [](Pad pad) {
        const auto line = line_of_pad(pad.group, pad.pin);
        if (!line) return std::string(" (no board line)");
        std::string s = " = line " + std::to_string(*line);
        for (const DeviceWire& w : kDeviceWires)
            if (w.line == *line) return s + " (" + wire_name(w) + ")";
        return s;
    };
    auto pads = [](PadSet set, auto each) {
        for (unsigned i = 0; i < 64; ++i)
            if ((set.bits >> i) & 1u) each(PadSet::at(i));
    };
    PadSet reached[kSignals];
    for (unsigned n = 0; n < Sercom::kCount; ++n) {
        for (unsigned i = 0; i < kSignals; ++i) {
            const PadSet seen = p.sercom(n).seen(static_cast<Signal>(i));
            reached[i].bits |= seen.bits;
            pads(seen, [&](Pad pad) {
                const uint8_t f = function_of(pad, n).value_or(0);
                const unsigned k = sercom_on(pad, f) ? sercom_on(pad, f)->pad : 0;
                r.pins.push_back(fmt("SERCOM%u %s on %s, function %c, PAD%u", n, signal_name(static_cast<Signal>(i)),
                                     pad_name(pad).c_str(), function_letter(f), k) +
                                 where(pad));
            });
        }
    }
    const uint32_t ains = p.adc().ains_read();
    for (unsigned ain = 0; ain < 32; ++ain) {
        const auto pad = pad_of_ain(ain);
        if (((ains >> ain) & 1u) && pad)
            r.pins.push_back(fmt("ADC AIN%u on %s, function B", ain, pad_name(*pad).c_str()) + where(*pad));
    }

    for (const DeviceWire& w : kDeviceWires) {
        const Pad pad = pad_of_line(w.line).value();
        const PadDrive d = p.port().drive(pad.group, pad.pin);
        std::string why;
        if (w.analog) {
            const unsigned ain = ain_on(pad).value_or(0);
            if (((ains >> ain) & 1u)) continue;
            const std::string a = "AIN" + std::to_string(ain);
            const std::string off = !d.function            ? "PINCFG.PMUXEN is off"
                                    : d.mux != fn::kB      ? std::string("PMUX selects function ") + function_letter(d.mux)
                                                           : "";
            if ((p.adc().ains_cut_off() >> ain) & 1u) {
                why = "the ADC converted " + a + " with this pad off function B, reading 0 V (" +
                      (off.empty() ? "since moved to B" : off) + ")";
            } else if (off.empty()) {
                // Wired and set up, just not read yet (the panel is read once a minute).
                r.pins.push_back(fmt("ADC %s on %s, function B", a.c_str(), pad_name(pad).c_str()) + where(pad) +
                                 ", not converted during the run");
                continue;
            } else {
                why = "the ADC never converted " + a + " (" + off + ")";
            }
        } else {
            if (reached[static_cast<unsigned>(w.signal)].has(pad)) continue;
            const char* sig = signal_name(w.signal);
            why = std::string("no SERCOM's ") + sig + " is on this pad (";
            const auto sp = d.function ? sercom_on(pad, d.mux) : std::nullopt;
            if (!d.function) {
                why += "PINCFG.PMUXEN is off)";
            } else if (!sp) {
                why += std::string("PMUX selects function ") + function_letter(d.mux) + ", no SERCOM's)";
            } else {
                const Sercom& s = p.sercom(sp->sercom);
                const int k = s.pad_of(w.signal);
                const unsigned n = sp->sercom;
                why += fmt("function %c puts SERCOM%u PAD%u here, but ", function_letter(d.mux), n, unsigned{sp->pad});
                if (!s.enabled()) why += fmt("SERCOM%u is not enabled)", n);
                else if (k < 0) why += fmt("SERCOM%u is not %s)", n, needs(w.signal));
                else why += fmt("its %s is on PAD%d)", sig, k);
            }
        }
        r.unconnected.push_back(wire_name(w) + fmt(" (line %u, ", unsigned{w.line}) + pad_name(pad) + "): " + why);
    }
}

std::string ChipUnit::report_text() const {
    const ChipReport r = report();
    std::string out;
    auto line = [&](const std::string& text) {
        out += text;
        out += '\n';
    };
    line("chip report");
    line(fmt("  instructions          %llu", static_cast<unsigned long long>(r.instructions)));
    line(fmt("  cycles                %llu", static_cast<unsigned long long>(r.cycles)));
    line(fmt("  longest pass          %.3f ms (between two watchdog clears), mostly in %s", r.longest_pass_ms,
         r.longest_pass_in.empty() ? "?" : r.longest_pass_in.c_str()));
    line(fmt("  tick handler          %llu cycles at the longest", static_cast<unsigned long long>(r.tick_longest_cycles)));
    line(fmt("  stack                 %u bytes used at the deepest (down to 0x%08X), %u bytes left above .bss",
         r.stack_used, r.stack_low, r.stack_left));
    line(fmt("  restarts              %u", r.restarts));
    out += "  interrupts taken\n";
    for (const auto& [name, n] : r.interrupts) line(fmt("    %-20s %llu", name.c_str(), static_cast<unsigned long long>(n)));
    if (r.forbidden.empty()) {
        out += "  forbidden writes      none\n";
    } else {
        out += "  forbidden writes\n";
        for (const std::string& f : r.forbidden) out += "    " + f + "\n";
    }
    out += "  pins\n";
    for (const std::string& p : r.pins) out += "    " + p + "\n";
    if (r.unconnected.empty()) out += "    unconnected: none\n";
    for (const std::string& u : r.unconnected) out += "    unconnected: " + u + "\n";
    return out;
}

}  // namespace zchip
