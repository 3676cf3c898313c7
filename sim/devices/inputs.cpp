#include "inputs.h"

#include <cmath>

#include "board.h"
#include "host/pins.h"
#include "wiring.h"

namespace zsim {

double Device::analog_volts(uint8_t) { return NAN; }

Inputs::Inputs(Board& board, const Scenario& sc) : board_(board) {
    for (int i = 0; i < 4; ++i) set_dip(i + 1, sc.dip_on[static_cast<size_t>(i)]);
    for (int i = 0; i < 3; ++i) set_input(i + 1, sc.inputs[static_cast<size_t>(i)]);
    for (const PinAction& a : sc.pin_actions) {
        board_.schedule(a.at, [pin = a.pin, state = a.state] { apply(pin, state); });
    }
}

void Inputs::apply(uint8_t pin, LineState state) { zplat::drive_pin(pin, static_cast<int8_t>(state)); }

void Inputs::set_input(int number, LineState state) {
    if (number >= 1 && number <= 3) apply(wiring::kInput[number - 1], state);
}

// A switch that is on ties its line to ground; off leaves it to the pull-up.
void Inputs::set_dip(int number, bool on) {
    if (number >= 1 && number <= 4) apply(wiring::kDip[number - 1], on ? LineState::Low : LineState::Open);
}

}  // namespace zsim
