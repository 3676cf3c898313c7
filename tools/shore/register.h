// The station register: the authority's own list of its stations, read from
// a TOML file. A registered station is judged against it (its name, charted
// position, reporting interval and limits), never against what the air
// claims about it.
//
//     [[station]]
//     mmsi = 992241234
//     name = "ZELMORA NORTE"
//     lat = 43.37894            # charted position, degrees north
//     lon = -8.39285            # degrees east
//     interval_s = 180          # expected reporting interval
//     off_position_m = 50       # optional: the monitor's --off-position-m otherwise
//     low_battery_v = 11.9      # optional: the monitor's --low-battery-v otherwise
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelmora::shore {

struct Registered {
    std::uint32_t mmsi = 0;
    std::string name;
    double lat = 0, lon = 0;
    double interval_s = 0;
    std::optional<double> off_position_m, low_battery_v;
    long line = 0;   // where it is written
};

// "FILE:LINE: station 992241234: lat: -91 is not a latitude (-90 to 90)".
struct RegisterError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Register = std::map<std::uint32_t, Registered>;

// Throws RegisterError at the first thing wrong: a syntax error, a key
// missing or unknown, a value of the wrong type or out of range, an MMSI
// written twice.
Register parse_register(std::string_view text, const std::string& file);
Register load_register(const std::string& file);

}  // namespace zelmora::shore
