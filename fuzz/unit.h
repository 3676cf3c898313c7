// The firmware's harnesses: a fresh virtual board per input (its creation
// puts the firmware's RAM back to its power-on image and the devices to
// their start), the firmware driven from the harness's own thread, and bytes
// handed to a port's receive ring without the line's pace.
#pragma once
#include <cstdint>
#include <string_view>

#include "Arduino.h"
#include "board.h"

namespace zfuzz {

// The default world with no GPS module and no transponder (the harness
// speaks for them), no scripted changes and no converter noise.
zsim::Scenario quiet_world();

// What the unit writes on its lines leaves at once (no baud-rate pace), and
// the console is not kept: printing never holds the firmware up.
void unpace(zsim::Board& b);

// Puts bytes into a port's receive ring as far as it has room; the rest
// follows one virtual millisecond later, and so on, so a reader that drains
// the ring gets every byte and virtual time only moves as the firmware lets
// it. A closed port drops what is still to come, as the line would.
class Feeder {
public:
    Feeder(zsim::Board& b, Uart& port) : b_(b), port_(port) {}
    void give(std::string_view bytes);
    bool done() const { return left_.empty(); }

private:
    void push();
    zsim::Board& b_;
    Uart& port_;
    std::string left_;
    bool armed_ = false;
};

// The firmware's RAM is restored for each board; these counts must never
// grow past their buffers whatever came in.
void check_buffers(const char* harness);

}  // namespace zfuzz
