#include "Arduino.h"
#include "host/buses.h"
#include "host/pins.h"
#include "host/timebase.h"

#include <cmath>

namespace zplat {
namespace {
PinState g_pins[kPinCount];
uint8_t g_resolution = 10;
PinState g_dummy;
}  // namespace

const PinState& pin_state(uint8_t pin) { return pin < kPinCount ? g_pins[pin] : g_dummy; }

uint8_t pin_level(uint8_t pin) {
    if (pin >= kPinCount) return 0;
    const PinState& p = g_pins[pin];
    if (p.output) return p.out ? 1 : 0;
    if (p.external >= 0) return static_cast<uint8_t>(p.external);
    if (p.pull) return p.out ? 1 : 0;
    return 0;
}

void drive_pin(uint8_t pin, int8_t level) {
    if (pin >= kPinCount) return;
    g_pins[pin].external = level;
}

void pins_reset() {
    for (PinState& p : g_pins) {
        const int8_t ext = p.external;   // the world keeps driving across a reset
        p = PinState{};
        p.external = ext;
    }
    g_resolution = 10;
}

uint8_t analog_resolution() { return g_resolution; }

PinsSaved pins_save() {
    PinsSaved s{};
    for (uint8_t i = 0; i < kPinCount; ++i) s.pins[i] = g_pins[i];
    s.resolution = g_resolution;
    return s;
}

void pins_restore(const PinsSaved& saved) {
    for (uint8_t i = 0; i < kPinCount; ++i) g_pins[i] = saved.pins[i];
    g_resolution = saved.resolution;
}

void set_pin_drive(uint8_t pin, bool output, bool out, bool pull) {
    if (pin >= kPinCount) return;
    PinState& p = g_pins[pin];
    if (p.output == output && p.out == out && p.pull == pull) return;
    p.output = output;
    p.out = out;
    p.pull = pull;
    spi_line_changed(pin);
    if (tb.host) tb.host->pin_changed(pin);
}
}  // namespace zplat

using zplat::cross;
using zplat::g_pins;

// Follows the core: INPUT_PULLUP sets the latch for the pull direction,
// OUTPUT leaves the latch as it was, so re-applying a mode keeps the level.
void pinMode(uint32_t pin, uint32_t mode) {
    if (pin >= zplat::kPinCount) {
        cross(zplat::cost::pin_mode, false);
        return;
    }
    zplat::PinState& p = g_pins[pin];
    const zplat::PinState before = p;
    switch (mode) {
        case INPUT: p.output = false; p.pull = false; break;
        case INPUT_PULLUP: p.output = false; p.pull = true; p.out = true; break;
        case INPUT_PULLDOWN: p.output = false; p.pull = true; p.out = false; break;
        case OUTPUT: p.output = true; p.pull = false; break;
        default: break;
    }
    const bool changed = before.output != p.output || before.pull != p.pull || before.out != p.out;
    if (changed) {
        zplat::spi_line_changed(static_cast<uint8_t>(pin));
        if (zplat::tb.host) zplat::tb.host->pin_changed(static_cast<uint8_t>(pin));
    }
    cross(zplat::cost::pin_mode, changed);
}

// On a pin that is not an output the core switches the pull-up instead.
void digitalWrite(uint32_t pin, uint32_t val) {
    if (pin >= zplat::kPinCount) {
        cross(zplat::cost::pin_write, false);
        return;
    }
    zplat::PinState& p = g_pins[pin];
    const zplat::PinState before = p;
    p.out = val != LOW;
    if (!p.output) p.pull = val != LOW;
    const bool changed = before.pull != p.pull || before.out != p.out;
    if (changed) {
        zplat::spi_line_changed(static_cast<uint8_t>(pin));
        if (zplat::tb.host) zplat::tb.host->pin_changed(static_cast<uint8_t>(pin));
    }
    cross(zplat::cost::pin_write, changed);
}

int digitalRead(uint32_t pin) {
    cross(zplat::cost::pin_read, false);
    return zplat::pin_level(static_cast<uint8_t>(pin));
}

void analogReadResolution(int res) {
    const uint8_t r = static_cast<uint8_t>(res < 8 ? 8 : (res > 12 ? 12 : res));
    const bool changed = r != zplat::g_resolution;
    zplat::g_resolution = r;
    cross(zplat::cost::pin_mode, changed);
}

int analogRead(uint32_t pin) {
    cross(zplat::cost::analog, false);
    if (pin >= zplat::kPinCount || !zplat::tb.host) return 0;
    const double v = zplat::tb.host->analog_volts(static_cast<uint8_t>(pin));
    // The converter's ideal transfer: one step is the reference over 2^bits,
    // the top code 2^bits - 1 (SAM L21 datasheet, ADC: Transfer Function).
    const double steps = static_cast<double>(1u << zplat::g_resolution);
    double code = std::floor(v / zplat::kAnalogReference * steps + 0.5);
    if (!(code > 0.0)) code = 0.0;   // also catches NaN
    if (code > steps - 1.0) code = steps - 1.0;
    return static_cast<int>(code);
}

uint32_t millis(void) {
    cross(zplat::cost::millis, false);
    return static_cast<uint32_t>((zplat::tb.now - zplat::tb.reset_at) / zplat::kMs);
}

uint32_t micros(void) {
    cross(zplat::cost::millis, false);
    return static_cast<uint32_t>((zplat::tb.now - zplat::tb.reset_at) / 1000u);
}

void delay(uint32_t ms) {
    if (zplat::tb.host) zplat::tb.host->wait_until(zplat::tb.now + static_cast<uint64_t>(ms) * zplat::kMs);
    cross(zplat::cost::millis, ms != 0);
}
