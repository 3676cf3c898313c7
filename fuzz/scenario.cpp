// Scenario files into the simulator's loader: a file is either a world the
// board can run, or a std::runtime_error naming its position.
#include <cctype>
#include <cmath>
#include <stdexcept>
#include <string>

#include "fuzz.h"
#include "scenario.h"

namespace zfuzz {

namespace {
const char* const kName = "scenario";
constexpr const char* kOrigin = "world.toml";

void check_position(const std::string& what) {
    const std::string origin = std::string(kOrigin) + ":";
    bool ok = what.compare(0, origin.size(), origin) == 0;
    size_t i = origin.size(), digits = 0;
    while (ok && i < what.size() && std::isdigit(static_cast<unsigned char>(what[i])) != 0) {
        ++i;
        ++digits;
    }
    ok = ok && digits != 0 && what.compare(i, 2, ": ") == 0;
    ZFUZZ_CHECK(kName, ok, "an error without its position: " + what);
}

// A time the clock holds: up to the longest run (a duration may also be kNever).
bool holds(zsim::vtime t) { return t <= static_cast<zsim::vtime>(zsim::kLongestRun); }
bool holds(const zsim::Window& w) { return holds(w.at) && (w.duration == zplat::kNever || holds(w.duration)); }

bool every_time_held(const zsim::Scenario& sc) {
    bool ok = holds(sc.transponder.byte_gap);
    for (const auto& a : sc.pin_actions) ok = ok && holds(a.at);
    for (const auto& s : sc.stalls) ok = ok && holds(s.at) && holds(s.duration);
    for (const auto* c : {&sc.power.battery_volts, &sc.power.panel_amps}) {
        for (const auto& p : c->points) ok = ok && holds(p.at);
    }
    for (const auto* ws : {&sc.rtc.absent, &sc.eeprom.absent, &sc.eeprom.writes_lost, &sc.power.power_cuts,
                           &sc.gps.outages, &sc.transponder.silent, &sc.transponder.nak, &sc.transponder.pc}) {
        for (const auto& w : *ws) ok = ok && holds(w);
    }
    for (const auto* ts : {&sc.rtc.stops, &sc.power.mppt_stuck, &sc.gps.restarts}) {
        for (const zsim::vtime t : *ts) ok = ok && holds(t);
    }
    for (const auto& n : sc.gps.noise) ok = ok && holds(n.window);
    for (const auto& n : sc.transponder.noise) ok = ok && holds(n.window);
    for (const auto& f : sc.transponder.foreign) ok = ok && holds(f.at);
    return ok;
}

bool finite_curve(const zsim::Curve& c) {
    for (const auto& p : c.points) {
        if (!std::isfinite(p.value)) return false;
    }
    return true;
}
}  // namespace

void run_scenario(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    zsim::Scenario sc;
    try {
        sc = zsim::Scenario::from_text(text, kOrigin);
    } catch (const std::runtime_error& e) {
        check_position(e.what());
        return;
    }
    // What was accepted is a world the runner can use.
    ZFUZZ_CHECK(kName, sc.minutes > 0 && sc.minutes <= zsim::kLongestMinutes, "a run length the clock cannot hold");
    ZFUZZ_CHECK(kName, every_time_held(sc), "a time the clock cannot hold");
    ZFUZZ_CHECK(kName, finite_curve(sc.power.battery_volts) && finite_curve(sc.power.panel_amps), "a curve that is not a number");
    for (size_t i = 1; i < sc.power.battery_volts.points.size(); ++i) {
        ZFUZZ_CHECK(kName, sc.power.battery_volts.points[i - 1].at <= sc.power.battery_volts.points[i].at, "points out of order");
    }
    ZFUZZ_CHECK(kName, std::isfinite(sc.power.day.soc) && sc.power.day.soc >= 0 && sc.power.day.soc <= 1, "a state of charge out of 0..1");
    ZFUZZ_CHECK(kName, sc.power.day.capacity_ah >= 1, "a battery without capacity");
    ZFUZZ_CHECK(kName, sc.power.day.sunrise_s != sc.power.day.sunset_s, "sunrise at sunset");
    for (const auto& n : sc.gps.noise) ZFUZZ_CHECK(kName, n.rate >= 0 && n.rate <= 1, "a noise rate out of 0..1");
    for (const auto& n : sc.transponder.noise) ZFUZZ_CHECK(kName, n.rate >= 0 && n.rate <= 1, "a noise rate out of 0..1");
    ZFUZZ_CHECK(kName, sc.transponder.mmsi >= 1 && sc.transponder.mmsi <= 999999999, "a transponder MMSI out of range");
    ZFUZZ_CHECK(kName, sc.transponder.name.size() <= 34, "a transponder name too long");
}

std::vector<Bytes> seeds_scenario(const std::string&) {
    std::vector<Bytes> out;
    for (const std::string& path : files_in(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios")) {
        const std::string text = file_text(path);
        out.push_back(Bytes(text.begin(), text.end()));
    }
    // The README's example, every section and fault kind.
    const std::string all = R"(name = "door and hang"
minutes = 15
seed = 7
[world]
utc = "2026-12-08T13:45:00Z"
[rtc]
present = true
running = true
hour_mode = 24
time = "2026-12-01T00:00:00Z"
[eeprom]
present = true
[dip]
sw1 = true
sw4 = true
[inputs]
in1 = "open"
in3 = "closed"
[battery]
points = [["00:00:00", 12.6], ["00:30:00", 11.5]]
[panel]
amps = 1.5
[day]
sunrise = "08:30"
sunset = "17:00:30"
peak_amps = 2.5
capacity_ah = 100
soc = 0.7
load_amps = 0.3
[analog]
noise_counts = 1.5
noise = "uniform"
[gps]
latitude = -43.37894
satellites = 9
hdop = 0.9
fix_quality = 2
[transponder]
mmsi = 992241234
name = "ZELMORA NORTE"
msg6_interval_s = 60
byte_gap_ms = 2.5
supply_volts = 12.4
[[gps_outage]]
at = "00:02:00"
minutes = 185
[[input]]
at = "00:02:00"
number = 1
state = "closed"
[[dip_change]]
at = 180
switch = 2
on = true
[[fault]]
kind = "stall"
at = "00:05:00"
ms = 3000
[[fault]]
kind = "eeprom_writes_lost"
at = "00:06:00.5"
[[fault]]
kind = "gps_noise"
at = "00:12:00"
ms = 5000
rate = 0.01
[[fault]]
kind = "ais_foreign_mmsi"
at = "00:05:00"
mmsi = 992249999
[[fault]]
kind = "ais_pc"
at = "01:04:00"
[[fault]]
kind = "rtc_stop"
at = 30
[[fault]]
kind = "mppt_stuck"
at = 40
)";
    out.push_back(Bytes(all.begin(), all.end()));
    return out;
}

}  // namespace zfuzz
