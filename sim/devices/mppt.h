// The MPPT solar charger between the panel and the battery: a disable line
// from the unit (pin 21, high = off; a floating line counts as low) and two
// open-drain status lines to it (pins 14 and 50, read through the unit's
// pull-ups):
//
//   charging                     pin 14 low,  pin 50 high
//   charge finished (float)      pin 14 high, pin 50 low
//   no charge (night, disabled)  both high
//
// Model choices:
// - The panel counts as present from kWakeAmps on; below it the charger
//   reports no charge and delivers nothing.
// - Charging delivers everything the panel offers; at float it delivers what
//   the beacon draws, as far as the panel offers it.
// - A stuck charger (scenario fault) reports no charge and delivers nothing
//   until the disable line has been high for at least kClearPulse and falls
//   again; a pulse that began before the fault counts from the fault's start.
// - It re-evaluates when the disable line changes and once a second, so the
//   status lines follow sunrise, sunset and the end of a charge within 1 s.
#pragma once
#include <cstdint>

#include "device.h"
#include "scenario.h"

namespace zsim {

class Board;
class Battery;

class Mppt : public Device {
public:
    enum class Status { Charging, Finished, NoCharge };

    static constexpr double kWakeAmps = 0.01;
    static constexpr vtime kClearPulse = 800 * zplat::kMs;
    static constexpr vtime kPeriod = zplat::kSec;

    Mppt(Board& board, Battery& battery, const Scenario& sc);

    Status status() const { return status_; }
    bool stuck() const { return stuck_; }
    bool disabled() const;
    // Current the charger delivers now, amperes (what the panel sense sees).
    double delivered_amps() const;

    // The charger sticks in "no charge" now (tests and scripted faults).
    void stick();

    void on_pin_changed(uint8_t pin) override;

private:
    void update();
    void tick();

    Board& board_;
    Battery& battery_;
    Status status_ = Status::NoCharge;
    bool stuck_ = false;
    bool line_high_ = false;    // the disable line as last seen
    vtime high_since_ = 0;      // when it rose, or the fault began while it was high
};

}  // namespace zsim
