// Board layer internals: the pin table, the clocks, the generic clock
// channels. The firmware never includes this header.
#pragma once
#include <stdint.h>

namespace board {

constexpr uint32_t kMainHz = 8000000;   // GCLK0 (CPU, buses, SERCOMs, ADC) and GCLK1 (TC0)

// Hands a pad to a peripheral function (chip::PMUX_B..D).
void pin_function(uint32_t pin, uint8_t function);
// Gives a pad back to the PORT.
void pin_release(uint32_t pin);

void clocks_init();
void time_init();
// Routes generator `gen` to peripheral channel `id` and waits for it.
void gclk_channel(uint8_t id, uint8_t gen);

}  // namespace board
