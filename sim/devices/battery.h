// The 12 V lead-acid battery and the solar panel behind the charger.
//
// Model choices:
// - The panel offers a current: scripted ([panel]), or the day's sun, 0
//   outside sunrise..sunset (UTC) and peak_amps x sin(pi x fraction of the
//   day-light elapsed) within. What reaches the battery is what the charger
//   delivers (Mppt), which tells the battery through set_charge().
// - The state of charge integrates the charger's current minus the beacon's
//   constant load over the capacity, held within 0..1.
// - Terminal voltage: scripted ([battery]), or the open-circuit voltage of
//   the state of charge (11.6 V empty, linear to 12.8 V full) plus a rise
//   while charging that grows with the charge rate and towards full charge,
//   never above the absorption level (14.3 V); once the charger holds float
//   the terminal sits at the float level (13.6 V). The rise follows its target
//   with a time constant of a minute, as the surface charge of a real
//   battery does, so the voltage never jumps when the charger switches.
// - Full charge, for the charger: with a scripted voltage, at or above the
//   float level; otherwise the state of charge reaching 1, which holds until
//   it has fallen below 0.98 again.
#pragma once
#include "device.h"
#include "scenario.h"

namespace zsim {

class Board;

class Battery : public Device {
public:
    static constexpr double kEmptyVolts = 11.6;
    static constexpr double kFullVolts = 12.8;
    static constexpr double kFloatVolts = 13.6;
    static constexpr double kAbsorptionVolts = 14.3;
    static constexpr double kSurfaceSeconds = 60.0;

    Battery(Board& board, const Scenario& sc);

    // Terminal voltage now.
    double volts();
    // Current the panel offers now, amperes.
    double panel_amps() const;
    // State of charge now, 0..1 (the day profile's; kept even when the
    // voltage is scripted).
    double soc();
    // The charge is complete: the charger holds float.
    bool full();
    double load_amps() const { return setup_.day.load_amps; }

    // The charger's output from now on, amperes, and whether it holds float.
    void set_charge(double amps, bool floating);
    double charge_amps() const { return charge_amps_; }

private:
    void advance();
    double target_rise() const;
    static double open_circuit(double soc);

    Board& board_;
    const PowerSetup setup_;
    const double day_offset_s_;   // seconds of the UTC day at power-on

    vtime last_ = 0;              // time the state below was computed for
    double soc_;
    double rise_ = 0.0;           // terminal voltage above open circuit
    double charge_amps_ = 0.0;
    bool floating_ = false;
    bool settled_ = false;        // the rise has been set to its first target
    bool full_ = false;
};

}  // namespace zsim
