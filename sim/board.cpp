#include "board.h"

#include <chrono>
#include <cmath>
#include <sam.h>
#include <stdexcept>

#include "host/buses.h"
#include "host/pins.h"
#include "wiring.h"

// The firmware's entry points.
void setup();
void loop();

namespace zsim {

using zplat::kMs;
using zplat::kNever;
using zplat::kSec;
using zplat::tb;

namespace {
int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Restores a flag even when a reset unwinds through the scope.
struct FlagGuard {
    bool& flag;
    bool old;
    FlagGuard(bool& f, bool v) : flag(f), old(f) { flag = v; }
    ~FlagGuard() { flag = old; }
};
}  // namespace

Board::Board(const Scenario& sc) : scenario_(sc) {
    for (double& v : analog_override_) v = NAN;
    if (tb.host != nullptr) throw std::logic_error("only one virtual board can exist at a time");
    tb = zplat::Timebase{};
    tb.host = this;
    try {
        zplat::detach_all_bus_targets();
        for (uint8_t i = 0; i < zplat::kUartCount; ++i) {
            zplat::uart_by_index(i)->host_attach(nullptr);
            zplat::uart_by_index(i)->host_clear_line();
        }
        zplat::uart_by_index(wiring::kConsolePort)->host_attach(this);
        for (uint8_t p = 0; p < zplat::kPinCount; ++p) zplat::drive_pin(p, -1);
        inputs_ = &add_device<Inputs>(*this, scenario_);
        eeprom_ = &add_device<Eeprom>(*this, scenario_);
        zplat::attach_spi(wiring::kEepromCs, eeprom_);
        rtc_ = &add_device<Rtc>(*this, scenario_);
        zplat::attach_i2c(wiring::kRtcAddress, rtc_);
        battery_ = &add_device<Battery>(*this, scenario_);
        mppt_ = &add_device<Mppt>(*this, *battery_, scenario_);
        frontend_ = &add_device<Frontend>(*battery_, *mppt_, scenario_);
        gps_ = &add_device<Gps>(*this, scenario_);
        zplat::uart_by_index(wiring::kGpsPort)->host_attach(gps_);
        xpdr_ = &add_device<Transponder>(*this, scenario_);
        zplat::uart_by_index(wiring::kAisPort)->host_attach(xpdr_);
        for (const Stall& s : scenario_.stalls) stall_main_loop(s.at, s.duration);
        power_on();
        for (const Window& w : scenario_.power.power_cuts) {
            schedule(w.at, [this] {
                ++cut_depth_;
                supply_changed();
            });
            schedule(w.at + w.duration, [this] {
                --cut_depth_;
                supply_changed();
            });
        }
        // In step with the charger's tick, so the battery is looked at at no
        // new instants and its state evolves exactly as without the check.
        schedule(tb.now + kSec, [this] { supervise_supply(); });
        // A battery already below the brown-out level holds the unit off.
        if (battery_->volts() < scenario_.power.brownout_volts) {
            browned_out_ = true;
            supply_changed();
        }
    } catch (...) {
        // A device that cannot start (a bad image file) leaves no board behind.
        zplat::detach_all_bus_targets();
        zplat::uart_by_index(wiring::kConsolePort)->host_attach(nullptr);
        zplat::uart_by_index(wiring::kGpsPort)->host_attach(nullptr);
        zplat::uart_by_index(wiring::kAisPort)->host_attach(nullptr);
        tb.host = nullptr;
        throw;
    }
}

Board::~Board() {
    if (cpu_.joinable()) {
        {
            std::lock_guard<std::mutex> lk(m_);
            stop_requested_ = true;
        }
        cv_.notify_all();
        cpu_.join();
    }
    for (uint8_t i = 0; i < zplat::kUartCount; ++i) zplat::uart_by_index(i)->host_attach(nullptr);
    zplat::detach_all_bus_targets();
    tb.host = nullptr;
}

int64_t Board::world_epoch() const { return to_epoch(scenario_.utc_start) + static_cast<int64_t>(tb.now / zplat::kSec); }

Civil Board::world_utc() const { return from_epoch(world_epoch()); }

void Board::schedule(vtime at, std::function<void()> fn) {
    events_.push(Event{at, seq_++, std::move(fn)});
    if (at < tb.due) tb.due = at;
}

void Board::stall_main_loop(vtime at, vtime d) {
    schedule(at, [this, d] {
        if (!powered_) return;   // nothing runs to hang
        if (ext_) {
            ext_->stall(d);
            return;
        }
        stall_pending_ += d;
        if (in_loop_) tb.due = tb.now;
    });
}

void Board::attach_unit(ExternalUnit* unit) {
    if (cpu_.joinable()) throw std::logic_error("attach_unit() comes before the first run");
    ext_ = unit;
    if (ext_ && !powered_) ext_->set_powered(false);
}

void Board::unit_restarted() {
    ++restarts_;
    zplat::pins_reset();
    tb.reset_at = tb.now;
    for (uint8_t p = 0; p < zplat::kPinCount; ++p) pin_changed(p);
}

// Once a second: below brownout_volts the unit's regulator can no longer
// hold it up; it starts again once the battery is back at restart_volts.
void Board::supervise_supply() {
    schedule(tb.now + kSec, [this] { supervise_supply(); });
    const double v = battery_->volts();
    const PowerSetup& p = scenario_.power;
    if (!browned_out_ && v < p.brownout_volts) {
        browned_out_ = true;
        supply_changed();
    } else if (browned_out_ && v >= p.restart_volts) {
        browned_out_ = false;
        supply_changed();
    }
}

// The supply goes or comes back. Going, it stops the unit where it stands:
// from a board event on the firmware's thread this unwinds the firmware.
void Board::supply_changed() {
    const bool on = cut_depth_ == 0 && !browned_out_;
    if (on == powered_) return;
    powered_ = on;
    battery_->set_unit_on(on);
    if (!on) {
        ++power_losses_;
        eeprom_->power_lost();
        rtc_->power_lost();
        if (ext_) {
            ext_->set_powered(false);
            zplat::pins_reset();
            for (uint8_t p = 0; p < zplat::kPinCount; ++p) pin_changed(p);
        } else if (fw_active_) {
            throw PowerLoss{};
        } else {
            unpower_unit();
        }
        return;
    }
    eeprom_->power_restored();
    if (ext_) {
        ext_->set_powered(true);
        zplat::pins_reset();
        tb.reset_at = tb.now;
        for (uint8_t p = 0; p < zplat::kPinCount; ++p) pin_changed(p);
    }
    // The host build's firmware thread starts the unit from power-on.
}

// The host build's chip without supply: timer and watchdog stopped, pins
// floating. Its RAM comes back as the power-on image, as the chip's start-up
// code initialises .data and .bss; the host build keeps nothing else in RAM
// (and the sanitizers' own records share the firmware's sections).
void Board::unpower_unit() {
    mcu_.reset();
    zplat::power_on_reset();
    in_loop_ = false;
    stall_pending_ = 0;
    needs_power_on_ = true;
    for (uint8_t p = 0; p < zplat::kPinCount; ++p) pin_changed(p);
    recompute_due();
}

// Nothing runs: time goes from one event of the world to the next until
// one of them brings the supply back.
void Board::wait_for_power() {
    while (!powered_) {
        recompute_due();
        if (tb.due > tb.now) tb.now = tb.due;
        service();
    }
}

// Bytes whose time has come move along the lines.
void Board::settle_ports(vtime now) {
    vtime next = kNever;
    for (uint8_t i = 0; i < zplat::kUartCount; ++i) {
        const vtime n = zplat::uart_by_index(i)->host_settle(now);
        if (n < next) next = n;
    }
    ports_next_ = next;
}

// The events due by now, in order; true when there was one.
bool Board::run_events(vtime now) {
    bool acted = false;
    while (!events_.empty() && events_.top().at <= now) {
        Event ev = events_.top();
        events_.pop();
        ev.fn();
        acted = true;
    }
    return acted;
}

void Board::service_world() {
    if (in_service_) return;
    {
        FlagGuard guard(in_service_, true);
        for (;;) {
            const vtime now = tb.now;
            settle_ports(now);
            const bool acted = run_events(now);
            if (realtime_) poll_console_input();
            if (!acted) break;
        }
        if (realtime_) pace();
    }
    recompute_due();
}

void Board::power_on() {
    zplat::power_on_reset();
    mcu_.reset();
    in_loop_ = false;
    // The devices see the unit's pins fall back to their reset state.
    for (uint8_t p = 0; p < zplat::kPinCount; ++p) pin_changed(p);
    recompute_due();
}

void Board::cpu_main() {
    {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [this] { return cpu_running_ || stop_requested_; });
        if (stop_requested_) return;
    }
    for (;;) {
        try {
            if (!powered_) wait_for_power();
            if (needs_power_on_) power_on();
            needs_power_on_ = false;
            fw_active_ = true;
            setup();
            for (;;) {
                if (stall_pending_ != 0) perform_stall();
                const uint32_t before = tb.effects;
                in_loop_ = true;
                loop();
                in_loop_ = false;
                // A pass that changed nothing would repeat itself until the
                // next event: let time run up to it.
                if (tb.effects == before) idle();
                if (tb.now >= tb.due) service();
            }
        } catch (const UnitReset&) {
            fw_active_ = false;
            ++restarts_;
            needs_power_on_ = true;
        } catch (const PowerLoss&) {
            fw_active_ = false;
            unpower_unit();
        } catch (const CpuStop&) {
            break;
        }
    }
    std::lock_guard<std::mutex> lk(m_);
    cpu_running_ = false;
    cv_.notify_all();
}

void Board::run_until(vtime t) {
    if (ext_) {
        stop_at_ = t;
        recompute_due();
        if (tb.now >= tb.due) service_world();
        ext_->run_until(t);
        return;
    }
    if (!cpu_.joinable()) cpu_ = std::thread([this] { cpu_main(); });
    std::unique_lock<std::mutex> lk(m_);
    stop_at_ = t;
    if (t < tb.due) tb.due = t;
    cpu_running_ = true;
    cv_.notify_all();
    cv_.wait(lk, [this] { return !cpu_running_; });
}

void Board::park() {
    std::unique_lock<std::mutex> lk(m_);
    cpu_running_ = false;
    cv_.notify_all();
    cv_.wait(lk, [this] { return cpu_running_ || stop_requested_; });
    if (stop_requested_) throw CpuStop{};
}

void Board::check_snapshot_use() const {
    if (cpu_.joinable() || ext_ != nullptr || in_service_ || fw_active_) {
        throw std::logic_error("snapshots are for boards driven from the caller's thread, between firmware calls");
    }
}

std::unique_ptr<Board::Snapshot> Board::snapshot() const {
    check_snapshot_use();
    auto s = std::make_unique<Snapshot>();
    s->platform.take();
    s->mcu = mcu_;
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (copiers_[i].copy == nullptr) throw std::logic_error("a device on this board cannot be copied");
        s->devices.push_back(copiers_[i].copy(*devices_[i]));
    }
    s->events = events_;
    s->seq = seq_;
    s->ports_next = ports_next_;
    for (size_t i = 0; i < 64; ++i) s->analog_override[i] = analog_override_[i];
    s->console = console_;
    s->restarts = restarts_;
    s->stall_pending = stall_pending_;
    s->cut_depth = cut_depth_;
    s->browned_out = browned_out_;
    s->powered = powered_;
    s->power_losses = power_losses_;
    s->needs_power_on = needs_power_on_;
    return s;
}

void Board::restore(const Snapshot& s) {
    check_snapshot_use();
    if (s.devices.size() != devices_.size()) throw std::logic_error("a snapshot of another board");
    s.platform.put_back();
    mcu_ = s.mcu;
    for (size_t i = 0; i < devices_.size(); ++i) copiers_[i].put_back(*devices_[i], *s.devices[i]);
    events_ = s.events;
    seq_ = s.seq;
    ports_next_ = s.ports_next;
    for (size_t i = 0; i < 64; ++i) analog_override_[i] = s.analog_override[i];
    console_ = s.console;
    restarts_ = s.restarts;
    stall_pending_ = s.stall_pending;
    in_loop_ = false;
    cut_depth_ = s.cut_depth;
    browned_out_ = s.browned_out;
    powered_ = s.powered;
    power_losses_ = s.power_losses;
    needs_power_on_ = s.needs_power_on;
}

void Board::advance(vtime d) {
    if (cpu_.joinable()) throw std::logic_error("advance() is for boards whose firmware thread has not started");
    wait_until(tb.now + d);
}

void Board::recompute_due() {
    vtime due = mcu_.next_event();
    if (!events_.empty() && events_.top().at < due) due = events_.top().at;
    if (ports_next_ < due) due = ports_next_;
    if (stop_at_ < due) due = stop_at_;
    if (stall_pending_ != 0 && in_loop_) due = tb.now;
    if (realtime_ && tb.now + kMs < due) due = tb.now + kMs;   // keep pacing and console input flowing
    tb.due = due;
}

void Board::run_isr(void (*handler)()) {
    tb.in_isr = true;
    try {
        handler();
    } catch (...) {
        tb.in_isr = false;
        throw;
    }
    tb.in_isr = false;
}

void Board::service() {
    if (in_service_ || tb.in_isr) return;
    {
        FlagGuard guard(in_service_, true);
        for (;;) {
            const vtime now = tb.now;
            settle_ports(now);

            mcu_.update(now);
            if (mcu_.wdt_expired(now)) throw UnitReset{};

            bool acted = run_events(now);

            if (realtime_) poll_console_input();

            if (mcu_.tc0_irq_pending()) {
                run_isr(TC0_Handler);
                acted = true;
            } else if (mcu_.wdt_irq_pending()) {
                run_isr(WDT_Handler);
                acted = true;
            }
            if (!acted) break;
        }
        if (realtime_) pace();
        recompute_due();
    }
    if (tb.now >= stop_at_) {
        park();
        recompute_due();
    }
    if (stall_pending_ != 0 && in_loop_) perform_stall();
}

void Board::perform_stall() {
    const vtime d = stall_pending_;
    stall_pending_ = 0;
    wait_until(tb.now + d);
}

void Board::idle() {
    const vtime target = tb.due < tb.now + kMs ? tb.due : tb.now + kMs;
    if (target > tb.now) tb.now = target;
}

void Board::wait_until(vtime t) {
    while (tb.now < t) {
        if (tb.in_isr) {
            tb.now = t;
            return;
        }
        const vtime next = tb.due < t ? tb.due : t;
        if (next > tb.now) tb.now = next;
        if (tb.now >= tb.due) service();
    }
}

void Board::register_written(const void* reg) {
    mcu_.on_register(reg, tb.now);
    // An interrupt may have become deliverable, or the timer changed.
    const vtime n = mcu_.next_event();
    if (n < tb.due) tb.due = n;
    if (mcu_.tc0_irq_pending() || mcu_.wdt_irq_pending()) tb.due = tb.now;
}

void Board::pin_changed(uint8_t pin) {
    for (auto& d : devices_) d->on_pin_changed(pin);
}

double Board::analog_volts(uint8_t pin) {
    if (!std::isnan(analog_override_[pin % 64])) return analog_override_[pin % 64];
    for (auto& d : devices_) {
        const double v = d->analog_volts(pin);
        if (!std::isnan(v)) return v;
    }
    return 0.0;
}

void Board::on_byte(uint8_t byte, uint64_t, uint32_t) {
    if (capture_) console_.push_back(static_cast<char>(byte));
    if (sink_) sink_(byte);
}

void Board::set_realtime(bool on, double speed) {
    if (!(speed > 0)) throw std::invalid_argument("the speed must be positive");
    realtime_ = on;
    speed_ = speed;
    wall_origin_ns_ = wall_ns();
    virtual_origin_ = tb.now;
}

void Board::pace() {
    if (pace_hook_) pace_hook_();
    const int64_t target = wall_origin_ns_ + static_cast<int64_t>(static_cast<double>(tb.now - virtual_origin_) / speed_);
    const int64_t ahead = target - wall_ns();
    if (ahead > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ahead));
}

void Board::feed_console_input(const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lk(input_m_);
    input_.insert(input_.end(), data, data + n);
    input_waiting_ = true;
}

void Board::poll_console_input() {
    if (!input_waiting_) return;
    std::vector<uint8_t> bytes;
    {
        std::lock_guard<std::mutex> lk(input_m_);
        bytes.swap(input_);
        input_waiting_ = false;
    }
    zplat::uart_by_index(wiring::kConsolePort)->host_feed(bytes.data(), bytes.size(), tb.now, 38400);
}

}  // namespace zsim
