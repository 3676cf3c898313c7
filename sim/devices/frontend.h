// The analog front end: what the two measurement channels put on the
// converter's inputs.
//
// - Battery: a 47 kOhm over 10 kOhm divider, switched in by pin 13; pin 39
//   (A1) sees battery volts x 10/57 while pin 13 is high, 0 V otherwise.
// - Panel current: a 0.01 Ohm shunt in the charger's output and an amplifier
//   of gain 33 (0.33 V per A), switched in by pin 10; pin 40 (A2) sees it
//   while pin 10 is high, 0 V otherwise.
// - Noise (scenario [analog]): added to a switched-in channel on every
//   conversion, in counts of the 12-bit converter (3.3 V / 4095 each):
//   Gaussian with that standard deviation, or uniform within +/- that many
//   counts, from a generator seeded with the scenario's seed, so the same
//   scenario and the same reads give the same readings.
#pragma once
#include <cstdint>

#include "device.h"
#include "serial_line.h"
#include "scenario.h"

namespace zsim {

class Battery;
class Mppt;

class Frontend : public Device {
public:
    static constexpr double kDivider = 10.0 / 57.0;
    static constexpr double kVoltsPerAmp = 0.01 * 33.0;
    static constexpr double kVoltsPerCount = 3.3 / 4095.0;

    Frontend(Battery& battery, Mppt& mppt, const Scenario& sc);

    double analog_volts(uint8_t pin) override;

private:
    double noise();
    double unit();   // uniform in (0, 1)

    Battery& battery_;
    Mppt& mppt_;
    const double noise_counts_;
    const NoiseShape shape_;
    SplitMix rng_;
};

}  // namespace zsim
