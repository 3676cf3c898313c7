// The 12 V lead-acid battery and the solar panel behind the charger.
//
// Model choices:
// - The panel offers a current: scripted ([panel]), or the day's sun, 0
//   outside sunrise..sunset (UTC) and peak_amps x sin(pi x fraction of the
//   day-light elapsed) within. What reaches the battery is what the charger
//   delivers (Mppt), which tells the battery through set_charge().
// - The state of charge integrates the charger's current minus the beacon's
//   constant load over the capacity, held within -kReserve..1. While the
//   unit is off (browned out, or its supply cut) the load is kOffAmps.
// - Terminal voltage: scripted ([battery]), or the open-circuit voltage of
//   the state of charge (11.6 V empty, linear to 12.8 V full) plus a rise
//   while charging that grows with the charge rate and towards full charge,
//   never above the absorption level (14.3 V); once the charger holds float
//   the terminal sits at the float level (13.6 V). The rise follows its target
//   with a time constant of a minute, as the surface charge of a real
//   battery does, so the voltage never jumps when the charger switches.
// - Past empty the battery's last reserve (kReserve of its capacity) gives
//   its charge on a falling voltage, down to kFlatVolts at rest when it is
//   gone: the knee at the end of a lead-acid discharge, where the unit
//   browns out.
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
    static constexpr double kReserve = 0.05;      // of the capacity, below empty
    static constexpr double kFlatVolts = 10.0;    // at rest with the reserve gone
    static constexpr double kOffAmps = 0.002;     // the regulator's own draw while the unit is off

    Battery(Board& board, const Scenario& sc);

    // Terminal voltage now.
    double volts();
    // Current the panel offers now, amperes.
    double panel_amps() const;
    // State of charge now, -kReserve..1 (below 0 in the reserve; the day
    // profile's, kept even when the voltage is scripted).
    double soc();
    // The charge is complete: the charger holds float.
    bool full();
    // What the beacon draws now: its load while the unit runs.
    double load_amps() const { return unit_on_ ? setup_.day.load_amps : kOffAmps; }
    void set_unit_on(bool on);

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
    bool unit_on_ = true;
};

}  // namespace zsim
