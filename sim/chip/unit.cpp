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
#include "serial_line.h"
#include "wiring.h"

namespace zchip {

using zplat::tb;

namespace {

// The board's serial lines by SERCOM: Serial0 on SERCOM0, Serial1 on
// SERCOM1, Serial3 on SERCOM5; their index among the board's ports.
constexpr uint8_t kLineSercom[3] = {0, 1, 5};

int port_of_sercom(uint8_t sercom) {
    for (int i = 0; i < 3; ++i)
        if (kLineSercom[i] == sercom) return i;
    return -1;
}

// The rate the device at the other end of each line expects.
constexpr double kLineBaud[3] = {38400, 9600, 38400};

// A receiver sampling 16 times a bit takes a byte whose rate is off by less
// than this; beyond it the byte arrives garbled.
constexpr double kRateTolerance = 0.03;

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
    for (uint8_t i = 0; i < 3; ++i) {
        lines_[i].unit = this;
        lines_[i].sercom = kLineSercom[i];
        zplat::uart_by_index(i)->host_set_sink(&lines_[i]);
    }
    board_.attach_unit(this);
    periph_->power_on_reset();
    core_->reset();
    core_->paint_stack();
    core_->set_cpu_hz(periph_->cpu_hz());
}

ChipUnit::~ChipUnit() {
    for (uint8_t i = 0; i < 3; ++i) zplat::uart_by_index(i)->host_set_sink(nullptr);
}

void ChipUnit::run_until(vtime t) {
    while (tb.now < t && !faulted()) {
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

void ChipUnit::serial_out(uint8_t sercom, uint8_t byte, vtime at, double baud) {
    const int port = port_of_sercom(sercom);
    if (port < 0) return;
    zplat::SerialPeer* peer = zplat::uart_by_index(static_cast<uint8_t>(port))->host_peer();
    if (!peer) return;
    const double nominal = kLineBaud[port];
    if (std::fabs(baud - nominal) <= nominal * kRateTolerance) {
        peer->on_byte(byte, at, static_cast<uint32_t>(nominal));
    } else {
        // Sampled at the wrong rate: framing garbage, at a rate the device does not speak.
        peer->on_byte(static_cast<uint8_t>(byte ^ 0xA5), at, static_cast<uint32_t>(std::lround(baud)));
    }
}

void ChipUnit::Line::on_arrival(uint8_t byte, uint64_t at, uint32_t baud) {
    unit->periph_->line_in(sercom, byte, at, static_cast<double>(baud));
}

uint8_t ChipUnit::spi_exchange(uint8_t, uint8_t mosi, const SpiFormat& f) {
    // Mode codes of SPI.h: bit 0 is CPOL, bit 1 set means CPHA 0.
    const uint8_t mode = static_cast<uint8_t>((f.cpol ? 1 : 0) | (f.cpha ? 0 : 2));
    return zplat::spi_exchange_with(mosi, SPISettings(f.hz, f.lsb_first ? LSBFIRST : MSBFIRST, mode));
}

size_t ChipUnit::i2c_write(uint8_t, uint8_t address, const uint8_t* data, size_t n) {
    zplat::I2cTarget* t = zplat::i2c_target(address);
    return t ? t->on_write(data, n) : 0;
}

bool ChipUnit::i2c_read(uint8_t, uint8_t address, uint8_t* out, size_t n) {
    zplat::I2cTarget* t = zplat::i2c_target(address);
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

ChipReport ChipUnit::report() const {
    ChipReport r;
    const Core::Stats& s = core_->stats();
    r.instructions = s.instructions;
    r.cycles = s.cycles;
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
    return r;
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
    return out;
}

}  // namespace zchip
