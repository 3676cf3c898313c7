// `zelmora-pc status`: what the unit's console lines and its event log say
// of its state, gathered into one look, and that look as text or JSON.
#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "event_log.h"

namespace zpc {

// The number after `prefix` on the last whole console line starting with it.
std::optional<double> last_reading(const std::string& text, const std::string& prefix);

// The last whole line of the GPS monitor (test mode) in `text`:
// "Fecha UTC:08/12/26_13:45:18 Sat:9 QGPS:0.9/0.9/0.9  Lat:43*22.7364N Long:008*23.5710W".
struct GpsLine {
    int satellites = 0;
    int hdop_tenths = 0;             // as the unit holds it: 99 when the receiver gave none
    std::string latitude, longitude; // empty when the burst had no position
};
std::optional<GpsLine> last_gps_line(const std::string& text);

// The last date the unit printed after reading its clock ("Fecha rx: 08/12/26
// 2 13:45:30"): "2026-12-08 13:45:30 UTC (Tuesday)", and the ISO form.
struct ClockLine {
    std::string text, iso;
    bool out_of_range = false;   // the unit printed "fecha erronea" after it
};
std::optional<ClockLine> last_clock_line(const std::string& text);

// The last whole status report the unit printed (once a minute outside
// test mode).
struct StatusReport {
    std::string minute;              // "2026-12-08 13:46"
    std::string iso;                 // "2026-12-08T13:46Z"
    double battery = 0;
    bool low_battery_alarm = false;
    bool charger_off_high_battery = false;   // the unit switched it off itself
    std::string charger;             // CHARGING, CHARGE FINISH, NO CHARGE, OFF
    bool panel_alarm = false;
    double panel = 0;
    bool input_alarm[3] = {false, false, false};
    GpsLine gps;
    int fix = 0;                     // fix quality of the last valid position
};
std::optional<StatusReport> last_status_report(const std::string& text);

// The transponder's firmware version, as the unit names it while it
// identifies the transponder ("\tFirmware:2.1.7"); empty when it did not.
std::string transponder_firmware(const std::string& text);

// The alarms and the charger as the event log has them since the unit's
// last start-up record (all of the log when it holds none).
struct LogState {
    bool start_found = false;
    std::string start;               // "2026-12-08 13:45:02"
    std::vector<std::string> raised; // "external input 1 (raised 2026-12-08 13:45:12)"
    bool charger_off = false;        // switched off for a high battery, not on again
    std::string charger_off_at;
    bool raised_any(const char* what) const;
};
LogState log_state(const std::vector<Event>& events);

// One look at the unit.
struct Snapshot {
    bool found_in_test_mode = false;
    bool entered_test_mode = false;
    std::string how;                 // how it was found and how it was left
    std::optional<double> battery;
    std::string battery_from;
    std::optional<double> panel;
    std::string panel_from;
    std::string charger, charger_from;
    std::vector<std::string> alarms;
    std::string alarms_from;
    std::optional<GpsLine> gps;
    std::optional<bool> gps_valid;   // by the unit's own rules
    std::string gps_rule, gps_from;
    std::optional<ClockLine> clock;
    std::string clock_note, clock_from;
    std::string transponder_firmware;   // empty: not known
};

std::string snapshot_text(const Snapshot& s);
nlohmann::ordered_json snapshot_json(const Snapshot& s);

}  // namespace zpc
