// The firmware's harnesses: one virtual board for the whole run, put back
// before each input to a state taken once (the unit already started, the
// firmware's RAM and every device as they were then), the firmware driven
// from the harness's own thread, and bytes handed to a port's receive ring
// without the line's pace.
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>

#include "Arduino.h"
#include "board.h"

namespace zfuzz {

// The default world with no GPS module and no transponder (the harness
// speaks for them), no scripted changes and no converter noise.
zsim::Scenario quiet_world();

// The kept board (quiet_world(), unpaced), put back to the state `key` of
// `harness` names. The first time, `prepare` brings the board from where it
// stood just after it was made to that state, which is then kept: it must
// depend on nothing but the key.
zsim::Board& start_from(const char* harness, uint32_t key, const std::function<void(zsim::Board&)>& prepare);
// The board as it was just made, for inputs that start the unit themselves.
zsim::Board& fresh_board();
// Drops the kept board and its states: other boards can be made again.
void end_bench();
// The unit after an input, to compare two runs of one input: its RAM, the
// EEPROM, virtual time and the bytes noted as sent since the last restore.
uint64_t unit_digest();
void note_sent(uint8_t c);

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
