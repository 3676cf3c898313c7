#include "battery.h"

#include <algorithm>
#include <cmath>

#include "board.h"

namespace zsim {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kDaySeconds = 86400.0;
constexpr double kFullHold = 0.98;   // a full battery counts as full until below this

double seconds_of(vtime t) { return static_cast<double>(t) / static_cast<double>(zplat::kSec); }

double seconds_of_day(const Civil& c) { return (c.hour * 60.0 + c.minute) * 60.0 + c.second; }
}  // namespace

Battery::Battery(Board& board, const Scenario& sc)
    : board_(board),
      setup_(sc.power),
      day_offset_s_(seconds_of_day(board.world_utc())),
      last_(board.now()),
      soc_(sc.power.day.soc) {
    full_ = soc_ >= 1.0;
}

double Battery::open_circuit(double soc) {
    if (soc < 0.0) return kEmptyVolts + (kEmptyVolts - kFlatVolts) * soc / kReserve;
    return kEmptyVolts + (kFullVolts - kEmptyVolts) * soc;
}

double Battery::panel_amps() const {
    const vtime now = board_.now();
    if (setup_.panel_amps.scripted()) return setup_.panel_amps.at(now);
    const DaySetup& d = setup_.day;
    const double sod = std::fmod(day_offset_s_ + seconds_of(now), kDaySeconds);
    const double length = std::fmod(d.sunset_s - d.sunrise_s + kDaySeconds, kDaySeconds);
    const double phase = std::fmod(sod - d.sunrise_s + kDaySeconds, kDaySeconds);
    if (phase >= length) return 0.0;
    return d.peak_amps * std::sin(kPi * phase / length);
}

// Charging lifts the terminal above open circuit: more at a higher charge
// rate (saturating at about C/13) and steeply as the battery nears full.
double Battery::target_rise() const {
    const double ocv = open_circuit(soc_);
    if (floating_) return kFloatVolts - ocv;
    if (charge_amps_ <= 0.0) return 0.0;
    const double rate = std::min(charge_amps_ / (0.05 * setup_.day.capacity_ah), 1.5);
    const double rise = std::sqrt(rate) * (0.5 + 1.3 * std::pow(std::max(soc_, 0.0), 6));
    return std::min(rise, kAbsorptionVolts - ocv);
}

void Battery::advance() {
    const vtime now = board_.now();
    if (now <= last_) return;
    const double dt = seconds_of(now - last_);
    last_ = now;
    const double net = charge_amps_ - load_amps();
    soc_ = std::clamp(soc_ + net * dt / (setup_.day.capacity_ah * 3600.0), -kReserve, 1.0);
    if (soc_ >= 1.0) full_ = true;
    else if (soc_ < kFullHold) full_ = false;
    const double target = target_rise();
    rise_ = target + (rise_ - target) * std::exp(-dt / kSurfaceSeconds);
}

double Battery::volts() {
    if (setup_.battery_volts.scripted()) return setup_.battery_volts.at(board_.now());
    advance();
    return open_circuit(soc_) + rise_;
}

double Battery::soc() {
    advance();
    return soc_;
}

bool Battery::full() {
    if (setup_.battery_volts.scripted()) return volts() >= kFloatVolts;
    advance();
    return full_;
}

void Battery::set_unit_on(bool on) {
    advance();
    unit_on_ = on;
}

void Battery::set_charge(double amps, bool floating) {
    advance();
    charge_amps_ = amps;
    floating_ = floating;
    if (!settled_) {
        // At power-on the battery has been in this state for a while.
        settled_ = true;
        rise_ = target_rise();
    }
}

}  // namespace zsim
