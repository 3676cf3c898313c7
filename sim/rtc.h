// The I2C real-time clock at address 0x6F: timekeeping registers 0x00..0x07
// in BCD with the ST, OSCRUN, 12/24, EXTOSC and leap-year bits, a register
// pointer that auto-increments, a calendar counting with virtual time, and an
// oscillator that needs a short while to start after ST is set.
#pragma once
#include <cstdint>

#include "device.h"
#include "host/buses.h"
#include "scenario.h"
#include "utc.h"

namespace zsim {

class Board;

class Rtc : public Device, public zplat::I2cTarget {
public:
    // Time from setting ST until OSCRUN reads 1.
    static constexpr vtime kOscillatorStart = 50 * zplat::kMs;

    Rtc(Board& board, const Scenario& sc);

    // The clock's calendar as it counts now (24-hour view of its registers).
    Civil time() const;
    bool running() const;
    bool twelve_hour() const;
    // Sets the counting calendar directly (tests).
    void set_time(const Civil& c);
    // The oscillator stops now, as when ST is cleared.
    void stop();

    // zplat::I2cTarget
    size_t on_write(const uint8_t* data, size_t n) override;
    bool on_read(uint8_t* out, size_t n) override;

private:
    bool present(vtime t) const;

    Board& board_;
    const RtcSetup setup_;
};

}  // namespace zsim
