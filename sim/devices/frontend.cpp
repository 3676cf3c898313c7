#include "frontend.h"

#include <cmath>

#include "battery.h"
#include "host/pins.h"
#include "mppt.h"
#include "wiring.h"

namespace zsim {

Frontend::Frontend(Battery& battery, Mppt& mppt, const Scenario& sc)
    : battery_(battery),
      mppt_(mppt),
      noise_counts_(sc.power.noise_counts),
      shape_(sc.power.noise),
      rng_(sc.seed ^ 0x5A17F0E7D3C2B1A9ull) {}

double Frontend::analog_volts(uint8_t pin) {
    double v;
    if (pin == wiring::kBatteryAdc) {
        if (zplat::pin_level(wiring::kBatteryEnable) == 0) return 0.0;
        v = battery_.volts() * kDivider;
    } else if (pin == wiring::kPanelAdc) {
        if (zplat::pin_level(wiring::kPanelEnable) == 0) return 0.0;
        v = mppt_.delivered_amps() * kVoltsPerAmp;
    } else {
        return NAN;
    }
    return noise_counts_ > 0.0 ? v + noise() * kVoltsPerCount : v;
}

double Frontend::unit() { return (static_cast<double>(rng_.next() >> 11) + 0.5) / 9007199254740992.0; }

double Frontend::noise() {
    if (shape_ == NoiseShape::Uniform) return noise_counts_ * (2.0 * unit() - 1.0);
    // Box-Muller, one of the pair.
    const double r = std::sqrt(-2.0 * std::log(unit()));
    return noise_counts_ * r * std::cos(2.0 * 3.14159265358979323846 * unit());
}

}  // namespace zsim
