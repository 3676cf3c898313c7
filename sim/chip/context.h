// What the chip's peripheral models share: the reports for the chip report,
// the clock tree as each model asks it (bus clocks, generic clock channels,
// the CPU clock), register synchronisation, and a base class that gates
// register access on the peripheral's bus clock and dispatches it through
// the peripheral's register table.
#pragma once
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bus.h"
#include "regs.h"

namespace zchip {

using zplat::kNever;

// The MCLK mask register and bit of a peripheral's bus clock.
enum class Apb : uint8_t { A, B, C, D, E, None };
struct ApbClock {
    Apb bus;
    uint8_t bit;
};

// Counts for the chip report. Every report also goes to Chip::forbidden
// (printed with the PC) unless it repeats a text reported once already.
class Reporter {
public:
    explicit Reporter(Chip& chip) : chip_(chip) {}
    // A write the datasheet forbids or that cannot take effect.
    void forbidden(const std::string& what) {
        ++forbidden_count_;
        ++forbidden_[what];
        chip_.forbidden(what);
    }
    // The same, printed only the first time.
    void forbidden_once(const std::string& what) {
        ++forbidden_count_;
        if (forbidden_[what]++ == 0) chip_.forbidden(what);
    }
    // An access to a register nobody modelled; the first at each place printed.
    void unmodelled(const std::string& where) {
        ++unmodelled_count_;
        if (unmodelled_[where]++ == 0) chip_.forbidden("unmodelled register: " + where);
    }
    uint64_t forbidden_count() const { return forbidden_count_; }
    uint64_t unmodelled_count() const { return unmodelled_count_; }
    // Each distinct text with how often it happened.
    const std::map<std::string, uint64_t>& forbidden_texts() const { return forbidden_; }
    const std::map<std::string, uint64_t>& unmodelled_places() const { return unmodelled_; }

private:
    Chip& chip_;
    uint64_t forbidden_count_ = 0;
    uint64_t unmodelled_count_ = 0;
    std::map<std::string, uint64_t> forbidden_;
    std::map<std::string, uint64_t> unmodelled_;
};

class Oscctrl;
class Gclk;
class Mclk;
class Pm;

// The chip as its peripheral models see it.
class Ctx {
public:
    explicit Ctx(Chip& c) : chip(c), report(c) {}
    Ctx(const Ctx&) = delete;
    Ctx& operator=(const Ctx&) = delete;

    Chip& chip;
    Reporter report;
    Oscctrl* osc = nullptr;
    Gclk* gclk = nullptr;
    Mclk* mclk = nullptr;
    Pm* pm = nullptr;

    vtime now() const { return chip.now(); }
    // The clock tree's answers (defined in peripherals.cpp, where the tree is whole).
    double cpu_hz() const;
    double channel_hz(unsigned pchctrl) const;   // 0 while the channel does not run
    // On every peripheral access: kept inline, the masks' values read directly.
    bool apb_on(ApbClock c) const {
        const uint32_t* m = c.bus == Apb::None ? nullptr : apb_masks[static_cast<int>(c.bus)];
        return m == nullptr || ((*m >> c.bit) & 1u) != 0;
    }
    const uint32_t* apb_masks[5] = {};   // MCLK's APBAMASK..APBEMASK, while it exists
    // A rate or enable somewhere in the tree changed: every listener re-times
    // itself, and the chip hears of a new CPU clock.
    void clocks_changed();
    void on_clocks_changed(std::function<void()> fn) { listeners_.push_back(std::move(fn)); }
    void forget_cpu_hz() { last_cpu_hz_ = -1.0; }
    // NVIC line 0 is shared by PM, MCLK, OSCCTRL, OSC32KCTRL, SUPC and PAC
    // (datasheet, Interrupt Line Mapping): raised while any of them asks.
    void system_irq(unsigned source, bool raised) {
        if (raised) system_sources_ |= 1u << source;
        else system_sources_ &= ~(1u << source);
        chip.set_irq(0, system_sources_ != 0);
    }

private:
    uint32_t system_sources_ = 0;
    std::vector<std::function<void()>> listeners_;
    bool notifying_ = false;
    bool again_ = false;
    double last_cpu_hz_ = -1.0;
};

// Nanoseconds of `cycles` at `hz` (never for a stopped clock).
inline vtime ns_for(double cycles, double hz) {
    if (!(hz > 0.0)) return kNever;
    return static_cast<vtime>(std::llround(cycles * 1e9 / hz));
}

// Write synchronisation into a peripheral's clock domain (datasheet, Processor
// and Architecture, Register Synchronization: Synchronization Delay
// 5×P_GCLK + 2×P_APB < D < 6×P_GCLK + 3×P_APB; taken midway). The SYNCBUSY
// bits of a write stay set for D; without its clock the write waits.
class Sync {
public:
    // `owner` names the peripheral in the report of a write left waiting for a stopped clock.
    Sync(Ctx& ctx, const char* owner, std::function<double()> clock_hz)
        : ctx_(ctx), owner_(owner), clock_hz_(std::move(clock_hz)) {}
    // Starts synchronising `bits`; `done` runs when they clear.
    void start(uint32_t bits, std::function<void()> done);
    uint32_t busy() const { return busy_; }
    // The delay a write started now would take.
    vtime delay() const;
    // Starts what waited for a clock.
    void clock_changed();
    // Drops everything in flight (reset).
    void reset();

private:
    // Longer than any modelled source's start-up.
    static constexpr vtime kClockPatienceNs = 100000;
    struct Item {
        uint64_t id;
        uint32_t bits;
        std::function<void()> done;
        bool scheduled;
    };
    void schedule(Item& it);
    void complete(uint64_t id);
    void recompute();

    Ctx& ctx_;
    const char* owner_;
    std::function<double()> clock_hz_;
    std::vector<Item> items_;
    uint32_t busy_ = 0;
    uint64_t next_id_ = 1;
    uint64_t gen_ = 0;
};

// A peripheral model: registers behind its bus clock, reports named after it.
class Model : public Peripheral {
public:
    Model(Ctx& ctx, const char* name, uint32_t base, uint32_t size, ApbClock apb)
        : Peripheral(name, base, size), ctx_(ctx), apb_(apb) {}
    // Without its bus clock (MCLK APBx mask) a peripheral ignores writes and
    // reads 0; the first access of each such period is reported.
    bool read(uint32_t offset, unsigned width, uint32_t& value) override;
    bool write(uint32_t offset, unsigned width, uint32_t value) override;
    bool steady_read(uint32_t offset, unsigned width) override {
        return offset + width <= size() && ctx_.apb_on(apb_) && table().steady(offset, width);
    }
    bool idle_write(uint32_t offset, unsigned width, uint32_t value) override {
        if (offset + width > size() || !ctx_.apb_on(apb_) || !table().idle(offset, width, value)) return false;
        off_reported_ = false;   // what the write would do with the bus clock on
        return true;
    }

protected:
    // The register table in force (it may depend on the mode).
    virtual RegTable& table() = 0;
    void forbidden(const std::string& what) { ctx_.report.forbidden(std::string(name()) + ": " + what); }
    void forbidden_once(const std::string& what) { ctx_.report.forbidden_once(std::string(name()) + ": " + what); }
    // The value a write leaves in `r` when the `mask` bits are enable-protected
    // (datasheet register property "Enable-Protected"): while enabled they keep
    // their value, and a write that would change them is reported.
    uint32_t enable_protect(const Reg& r, uint32_t data, uint32_t lanes, uint32_t mask, bool enabled) {
        return enable_protect(r.name, r.value, data, lanes, r.writable, mask, enabled);
    }
    uint32_t enable_protect(const char* reg, uint32_t old, uint32_t data, uint32_t lanes, uint32_t writable,
                            uint32_t mask, bool enabled);

    Ctx& ctx_;

private:
    bool bus_clock_on(const char* access);
    ApbClock apb_;
    bool off_reported_ = false;
};

// A peripheral at a known base the chip has but nobody modelled: every access
// reads 0, is ignored, and is reported with its place.
class Unmodelled : public Peripheral {
public:
    Unmodelled(Ctx& ctx, const char* name, uint32_t base, uint32_t size) : Peripheral(name, base, size), ctx_(ctx) {}
    bool read(uint32_t offset, unsigned width, uint32_t& value) override;
    bool write(uint32_t offset, unsigned width, uint32_t value) override;
    void reset() override {}

private:
    Ctx& ctx_;
};

std::string hex(uint32_t v, int digits = 0);

}  // namespace zchip
