// The scripted world around the unit: what is connected, how it behaves and
// what happens when, in virtual time since power-on.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/timebase.h"
#include "utc.h"

namespace zsim {

using zplat::vtime;

enum class LineState : int8_t { Open = -1, Low = 0, High = 1 };

struct PinAction {
    vtime at;
    uint8_t pin;
    LineState state;
};

struct Stall {
    vtime at;
    vtime duration;
};

// A span of virtual time; a duration of kNever lasts for good.
struct Window {
    vtime at;
    vtime duration;
    bool covers(vtime t) const { return t >= at && (duration == zplat::kNever || t - at < duration); }
};

struct RtcSetup {
    bool present = true;
    bool running = true;          // oscillator running at power-on
    bool twelve_hour = false;     // counting in 12-hour mode at power-on
    std::optional<Civil> time;    // its own time at power-on; the world's UTC otherwise
    std::vector<Window> absent;   // no acknowledge on the bus
    std::vector<vtime> stops;     // the oscillator stops (ST cleared)
    bool backup = true;           // a backup cell keeps it counting while the unit's supply is gone
};

struct EepromSetup {
    bool present = true;
    std::string image_path;           // backing file; empty: the default image, in memory
    std::vector<Window> absent;       // MISO reads all ones, nothing answers
    std::vector<Window> writes_lost;  // write cycles run but the cells keep their old bytes
};

// A quantity over virtual time, from points (time, value): linear between
// two points, the first value before the first point, the last after the
// last. No points: not scripted.
struct Curve {
    struct Point {
        vtime at;
        double value;
    };
    std::vector<Point> points;   // in time order
    bool scripted() const { return !points.empty(); }
    double at(vtime t) const;
    static Curve constant(double v) { return Curve{{{0, v}}}; }
};

// The day/night world of the battery and the panel: the sun between sunrise
// and sunset (UTC), a battery whose state of charge follows what the charger
// delivers and what the beacon draws.
struct DaySetup {
    int sunrise_s = (8 * 60 + 30) * 60;   // seconds after 00:00 UTC
    int sunset_s = 17 * 60 * 60;
    double peak_amps = 2.5;               // panel current at midday
    double capacity_ah = 100.0;
    double soc = 0.7;                     // state of charge at power-on, 0..1
    double load_amps = 0.3;               // the beacon's constant draw
};

enum class NoiseShape { Gaussian, Uniform };

struct PowerSetup {
    Curve battery_volts;   // scripted battery voltage; else from the state of charge
    Curve panel_amps;      // scripted current the panel offers; else the day's sun
    DaySetup day;
    double noise_counts = 0.0;   // converter noise: standard deviation (Gaussian) or half-width (uniform)
    NoiseShape noise = NoiseShape::Gaussian;
    std::vector<vtime> mppt_stuck;   // the charger sticks in "no charge" from these times on
    // The unit's supply: it browns out below brownout_volts of battery and
    // starts again from restart_volts; power_cuts take it away outright.
    double brownout_volts = 10.5;
    double restart_volts = 11.5;
    std::vector<Window> power_cuts;
};

// Bytes a device sends corrupted while the window lasts.
struct LineNoise {
    Window window;
    double rate;   // fraction of the device's bytes corrupted, 0..1
};

// The GPS receiver on Serial1: where the world puts the beacon, how well the
// sky is seen, and what goes wrong with the receiver.

struct GpsSetup {
    bool present = true;
    double latitude = 43.37894;     // decimal degrees, south negative
    double longitude = -8.39285;    // decimal degrees, west negative
    int satellites = 9;             // satellites in use
    double hdop = 0.9;
    double speed_knots = 0.1;
    double course = 0.0;            // degrees true
    int fix_quality = 1;            // 1 GPS, 2 DGPS
    std::string replay;             // a recorded NMEA log to play back instead; empty: none
    std::vector<Window> outages;    // no fix
    std::vector<vtime> restarts;    // the receiver restarts by itself
    std::vector<LineNoise> noise;    // bytes on its line corrupted
};

// The AIS AtoN transponder on Serial3: its own identity and schedule as
// programmed, and what goes wrong with it or around it.
struct ForeignMmsi {
    vtime at;
    uint32_t mmsi;
};

struct TransponderSetup {
    bool present = true;
    uint32_t mmsi;                   // its own MMSI at power-on (default: the configured station's)
    uint32_t destination = 0;        // report destination; 0: none set
    std::string name;                // its AtoN name (default: the configured station's)
    int aton_type = 3;               // AtoN station type 1..3 (3: receives, RATDMA)
    int aid_type = 20;               // type of aid to navigation in Message 21 (20: north cardinal mark)
    int msg6_interval_s = 180;       // Message 6 reporting interval; 0: none scheduled
    int msg21_interval_s = 180;      // Message 21 reporting interval; 0: none scheduled
    bool config_ok = true;           // false: the configuration check fails until it is rewritten
    bool gps_output = false;         // its own GPS sentences on the line at power-on
    std::string firmware = "2.1.7";
    std::string serial = "AT240117";
    double vswr = 1.2;               // antenna standing-wave ratio
    double supply_volts = -1;        // below 0: the battery's voltage less the feed's drop
    vtime byte_gap = 0;              // idle line between two bytes it sends (a slow sender)
    std::vector<Window> silent;      // its line neither carries nor hears anything
    std::vector<Window> nak;         // every report load is refused
    std::vector<Window> pc;          // a PC program is connected to its USB port
    std::vector<ForeignMmsi> foreign;   // it is swapped for one with another MMSI
    std::vector<LineNoise> noise;     // bytes it sends corrupted
};

struct Scenario {
    std::string name = "default";
    double minutes = 10.0;             // default run length for the runner
    uint64_t seed = 1;
    std::array<bool, 4> dip_on{};      // DIP 1..4 at power-on
    std::array<LineState, 3> inputs{LineState::Open, LineState::Open, LineState::Open};
    std::vector<PinAction> pin_actions;   // inputs and DIP switches over time
    std::vector<Stall> stalls;
    Civil utc_start = {2026, 12, 8, 13, 45, 0};   // the world's UTC at power-on
    RtcSetup rtc;
    EepromSetup eeprom;
    PowerSetup power;
    GpsSetup gps;
    TransponderSetup transponder;

    Scenario();
    // The built-in default world.
    static Scenario builtin();
    // Parses a scenario file; throws std::runtime_error with the file's
    // position on a malformed entry.
    static Scenario from_file(const std::string& path);
    static Scenario from_text(const std::string& text, const std::string& origin = "scenario");
};

// The longest span a scenario or --minutes may name: ten million minutes (19
// years), well inside the clock's 64-bit nanoseconds.
constexpr double kLongestMinutes = 1e7;
constexpr double kLongestRun = kLongestMinutes * 60e9;

// `count` units of `unit_ns` nanoseconds as virtual time; none when negative,
// not a number or beyond kLongestRun. Every time a scenario names goes
// through here.
std::optional<vtime> time_from(double count, double unit_ns);

// "90", "1:30", "00:01:30.250" or a number of seconds.
std::optional<vtime> parse_time(const std::string& text);

}  // namespace zsim
