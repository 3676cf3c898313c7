// The three external alarm inputs and the four DIP switches: contacts that
// the scenario opens and closes over time.
#pragma once
#include "device.h"
#include "scenario.h"

namespace zsim {

class Inputs : public Device {
public:
    Inputs(Board& board, const Scenario& sc);
    // Changes a line now (tests and scripted actions).
    void set_input(int number, LineState state);   // number 1..3
    void set_dip(int number, bool on);             // number 1..4

private:
    static void apply(uint8_t pin, LineState state);
    Board& board_;
};

}  // namespace zsim
