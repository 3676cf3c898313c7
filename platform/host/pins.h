// Host side of the pins: what the world sees of them and drives into them.
#pragma once
#include <cstdint>

namespace zplat {

constexpr uint8_t kPinCount = 64;

struct PinState {
    bool output = false;    // direction
    bool out = false;       // output latch; also the pull direction
    bool pull = false;      // pull resistor enabled
    int8_t external = -1;   // level driven by the world, -1 when nothing drives it
};

const PinState& pin_state(uint8_t pin);

// The level on the wire as a device on that line sees it: a driven output,
// a pull resistor, or the world's own drive. A floating line reads low.
uint8_t pin_level(uint8_t pin);

// The world drives a pin (0 or 1), or releases it (-1).
void drive_pin(uint8_t pin, int8_t level);

void pins_reset();

// Every pin as it stands, to be put back later (host/state.h).
struct PinsSaved {
    PinState pins[kPinCount];
    uint8_t resolution;
};
PinsSaved pins_save();
void pins_restore(const PinsSaved& saved);

// The chip image drives a pin (its PORT peripheral): direction, output
// latch (also the pull direction) and pull. Tells the devices when it changed.
void set_pin_drive(uint8_t pin, bool output, bool out, bool pull);

// Resolution of analogRead, bits; 10 after reset, as on the core.
uint8_t analog_resolution();

constexpr double kAnalogReference = 3.3;   // volts at full scale

}  // namespace zplat
