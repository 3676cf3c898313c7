// zelmora-sim --trace / --plot: the unit's days as a table, one row per
// virtual minute, and that table drawn with gnuplot.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "board.h"

namespace zsim {

class Trace {
public:
    static constexpr unsigned kAlarms = 7;   // event codes 1..14: raised (odd) and cleared (even) of each

    // Throws std::runtime_error when `path` cannot be written.
    Trace(Board& board, const std::string& path);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Every byte of the unit's console: its event lines are followed.
    void console_byte(uint8_t c);
    // Writes the row of the minute that ends now.
    void row();
    void close();

    static const char* alarm_name(unsigned i);   // "low_battery", ...

private:
    void line();

    Board& b_;
    std::FILE* f_ = nullptr;
    std::string line_;
    std::string events_;                    // logged since the last row
    std::array<bool, kAlarms> alarm_{};
    uint64_t loads_ = 0, sent_ = 0;         // the transponder's counters at the last row
    unsigned starts_ = 0;                   // start-up events since the last row
};

// The battery levels drawn across the battery's plot, in volts; a level that
// is not a number is left out.
struct PlotLevels {
    double low_battery = NAN;   // the unit's configured low-battery alarm
    double alarm_off = NAN;     // and the level that clears it
    double brownout = NAN;      // the world's: the unit's supply gives out
    double restart = NAN;       // and comes back
};

// The unit's own thresholds as the configuration area of its EEPROM holds
// them (what its loader reads), and the world's supply levels.
PlotLevels plot_levels(const std::vector<uint8_t>& eeprom, const PowerSetup& power);

// Draws a trace written by Trace into a PNG with gnuplot; false and `error`
// set when it could not.
bool plot_trace(const std::string& csv, const std::string& png, const std::string& title, const PlotLevels& levels,
                std::string& error);

}  // namespace zsim
