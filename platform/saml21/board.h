// Board layer internals: the pin table, the clocks, the generic clock
// channels. The firmware never includes this header.
#pragma once
#include <stdint.h>

namespace board {

constexpr uint32_t kMainHz = 8000000;   // GCLK0 (CPU, buses, SERCOMs, ADC) and GCLK1 (TC0)

constexpr uint8_t kNone = 0xFF;
// Four bytes, so that the tick's pin accesses index the table with a shift.
struct alignas(4) PinDesc {
    uint8_t group;   // 0 PA, 1 PB; kNone: the number has no pad on this board
    uint8_t bit;
    uint8_t ain;     // ADC input, kNone when the pad has none
};
extern const PinDesc kPins[];
constexpr uint32_t kPinCount = 56;
__attribute__((always_inline)) inline bool pin_valid(uint32_t pin) { return pin < kPinCount && kPins[pin].group != kNone; }
// Hands a pad to a peripheral function (chip::PMUX_B..D).
void pin_function(uint32_t pin, uint8_t function);
// Gives a pad back to the PORT.
void pin_release(uint32_t pin);

void clocks_init();
void time_init();
// Routes generator `gen` to peripheral channel `id` and waits for it.
void gclk_channel(uint8_t id, uint8_t gen);

}  // namespace board
