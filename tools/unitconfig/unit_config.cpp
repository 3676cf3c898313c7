#include "unit_config.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <toml++/toml.h>

namespace zcfg {

namespace {

constexpr double kNominalBattery = kNominalBatteryVoltsPerCount;
constexpr double kNominalPanel = kNominalPanelAmpsPerCount;

constexpr const char* kAisText =
    "upper-case letters, digits, blank and punctuation (the AIS six-bit set, ASCII 0x20..0x5F)";

// clang-format off
#define INPUT_FIELDS(n, base)                                                                                   \
    {"input." #n ".type", "input", n - 1, "type", base, Kind::U8, 0, 0, 2, true,                               \
     "0 (not used), 1 (latching alarm) or 2 (following alarm)",                                                 \
     "0 not used, 1 latching alarm, 2 following alarm"},                                                        \
    {"input." #n ".active", "input", n - 1, "active", base + 1, Kind::Level, 0, 0, 1, true,                     \
     "\"low\" or \"high\" (the unit takes any other stored value as an input that never changes)",              \
     "the level that raises the alarm: \"low\" or \"high\""},                                                   \
    {"input." #n ".debounce", "input", n - 1, "debounce", base + 2, Kind::BE16, 0, 0, 65535, true,              \
     "a whole number of 100 ms samples, 0..65535 (16 bits)", "100 ms samples"}

const std::vector<Field> kFields = {
    {"station.mmsi", "station", -1, "mmsi", 46, Kind::LE32, 0, 1, 999999999, true,
     "a whole number 1..999999999 (the unit loads 0 or anything above 999999999 as 1)",
     "AtoN MMSI: 99, the country's MID, then 4 digits"},
    {"station.name", "station", -1, "name", 7, Kind::Text, 20, 0, 0, false, "", "up to 20 characters"},
    {"station.call_sign", "station", -1, "call_sign", 27, Kind::Text, 7, 0, 0, false, "", "up to 7 characters"},
    {"station.type_of_ship_and_cargo", "station", -1, "type_of_ship_and_cargo", 0, Kind::U8, 0, 0, 100, true,
     "a whole number 0..100 (the unit loads a type above 100 as 0)", "0..100; 0: not available"},
    {"station.dimension_to_bow", "station", -1, "dimension_to_bow", 1, Kind::BE16, 0, 0, 511, true,
     "whole metres 0..511 (the unit loads a value above 511 as 0)", "metres, 0..511"},
    {"station.dimension_to_stern", "station", -1, "dimension_to_stern", 3, Kind::BE16, 0, 0, 511, true,
     "whole metres 0..511 (the unit loads a value above 511 as 0)", "metres, 0..511"},
    {"station.dimension_to_port", "station", -1, "dimension_to_port", 5, Kind::U8, 0, 0, 63, true,
     "whole metres 0..63 (the unit loads a value above 63 as 0)", "metres, 0..63"},
    {"station.dimension_to_starboard", "station", -1, "dimension_to_starboard", 6, Kind::U8, 0, 0, 63, true,
     "whole metres 0..63 (the unit loads a value above 63 as 0)", "metres, 0..63"},
    {"station.vendor_id", "station", -1, "vendor_id", 60, Kind::Text, 3, 0, 0, false, "", "3 characters"},
    {"station.model_code", "station", -1, "model_code", 63, Kind::U8, 0, 0, 15, true,
     "a whole number 0..15 (the unit loads a code above 15 as 0)", "0..15"},
    {"station.serial_number", "station", -1, "serial_number", 64, Kind::LE24, 0, 0, 1048575, true,
     "a whole number 0..1048575 (20 bits; the unit loads a larger one as 0)", "0..1048575"},

    {"message18.communication_state", "message18", -1, "communication_state", 86, Kind::LE32, 0, 0, 524287, true,
     "a whole number 0..524287 (19 bits go into Message 18)", "19 bits used"},
    {"message18.class_b_unit", "message18", -1, "class_b_unit", 90, Kind::U8, 0, 0, 1, true, "0 or 1 (a flag)", ""},
    {"message18.display", "message18", -1, "display", 91, Kind::U8, 0, 0, 1, true, "0 or 1 (a flag)", ""},
    {"message18.dsc", "message18", -1, "dsc", 92, Kind::U8, 0, 0, 1, true, "0 or 1 (a flag)", ""},
    {"message18.band", "message18", -1, "band", 93, Kind::U8, 0, 0, 1, true, "0 or 1 (a flag)", ""},
    {"message18.message22", "message18", -1, "message22", 94, Kind::U8, 0, 0, 1, true, "0 or 1 (a flag)", ""},
    {"message18.assigned_mode", "message18", -1, "assigned_mode", 95, Kind::U8, 0, 0, 1, true, "0 or 1 (a flag)", ""},
    {"message18.raim", "message18", -1, "raim", 96, Kind::U8, 0, 0, 1, true, "0 or 1 (a flag)", ""},
    {"message18.communication_state_selector", "message18", -1, "communication_state_selector", 97, Kind::U8, 0, 0,
     1, true, "0 or 1 (a flag)", ""},

    // The thresholds are for a 12 V lead-acid battery: flat near 11.6 V and
    // full at 12.6..12.8 V at rest, 13 V and more while charging; below 9 V
    // it is ruined, above 16 V it gasses (and the battery input, 18.8 V at
    // full scale, would soon read nothing more). Outside these bands a
    // threshold never acts or always does.
    {"power.alarm_off", "power", -1, "alarm_off", 67, Kind::F32, 0, 9.0, 16.0, false,
     "9.0..16.0 V, what a 12 V lead-acid battery's threshold can mean (below 9 V it is ruined, above 16 V "
     "overcharged)",
     "the low-battery alarm clears at or above this"},
    {"power.low_battery", "power", -1, "low_battery", 71, Kind::F32, 0, 9.0, 12.5, false,
     "9.0..12.5 V, where a 12 V lead-acid battery's low-battery alarm can mean something (full, it rests at "
     "12.6..12.8 V and would raise it; below 9 V it is ruined before the alarm comes)",
     "the low-battery alarm is raised at or below this"},
    {"power.charger_off", "power", -1, "charger_off", 75, Kind::F32, 0, 13.0, 16.0, false,
     "13.0..16.0 V, where charging a 12 V lead-acid battery can end (a charging battery passes 13 V long before it "
     "is full; above 16 V it is overcharged)",
     "solar charging is switched off at or above this"},
    {"power.charger_on", "power", -1, "charger_on", 79, Kind::F32, 0, 9.0, 16.0, false,
     "9.0..16.0 V, what a 12 V lead-acid battery's threshold can mean (below 9 V it is ruined, above 16 V "
     "overcharged)",
     "and on again at or below this"},

    // Nominal factors of the front end: 3.3 V / 4096 a count through the
    // 47k/10k divider (x 5.7), and over the panel current's 0.33 V per A.
    // The divider's 1 % resistors and the converter's reference move the
    // battery's by a few per cent, so 20 % either side holds every real unit
    // and refuses a meter misread by a range or a digit. The 10 mOhm shunt's
    // solder joints and copper add a good share of its value, and the
    // amplifier's offset weighs at low currents: 40 % for the panel.
    {"calibration.battery_volts_per_count", "calibration", -1, "battery_volts_per_count", 0xFFF8, Kind::F32, 0,
     kNominalBattery * 0.8, kNominalBattery * 1.2, false,
     "a positive factor within 20 % of the front end's nominal 0.0045923 V per count (3.3 V / 4096 through the "
     "47k/10k divider): 0.0036738..0.0055107",
     "battery, at 0xFFF8"},
    {"calibration.panel_amps_per_count", "calibration", -1, "panel_amps_per_count", 0xFFF4, Kind::F32, 0,
     kNominalPanel * 0.6, kNominalPanel * 1.4, false,
     "a positive factor within 40 % of the front end's nominal 0.0024414 A per count (3.3 V / 4096 over 0.33 V "
     "per A): 0.0014648..0.0034180",
     "panel current, at 0xFFF4"},

    {"gps.min_satellites", "gps", -1, "min_satellites", 83, Kind::U8, 0, 3, 12, true,
     "a whole number 3..12 (a position takes at least 3 satellites, 4 for a 3D fix; the receiver's GGA sentence "
     "counts at most 12 in use, so more would never give a valid fix and the GPS alarm follows)",
     "fewest satellites for a valid fix"},
    {"gps.max_quality", "gps", -1, "max_quality", 84, Kind::U8, 0, 5, 50, true,
     "a whole number 5..50, the worst HDOP accepted x 10 (a receiver reports no HDOP below about 0.5, so less "
     "refuses every fix; above 5.0 positions are tens of metres off)",
     "worst accepted HDOP x 10"},
    {"gps.clock_update_minutes", "gps", -1, "clock_update_minutes", 85, Kind::U8, 0, 1, 255, true,
     "a whole number of minutes 1..255 (0 has the unit rewrite its clock on every GPS burst, once a second)",
     "minutes between clock updates from the GPS"},

    INPUT_FIELDS(1, 34),
    INPUT_FIELDS(2, 38),
    INPUT_FIELDS(3, 42),
};
// clang-format on

const char* const kSections[] = {"station", "message18", "power", "calibration", "gps"};

size_t index_of(const Field& f) { return static_cast<size_t>(&f - kFields.data()); }

std::string text_refusal(const Field& f, const std::string& s) {
    if (s.size() > f.size)
        return std::string(f.key) + " must be at most " + std::to_string(f.size) + " characters, " + kAisText;
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x5F) return std::string(f.key) + " may hold only " + kAisText;
    }
    return "";
}

// The single the unit stores for `x`; past the single's range, infinity
// (a plain conversion would be undefined there).
float single(double x) {
    if (std::fabs(x) > std::numeric_limits<float>::max()) return x > 0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<float>(x);
}

// The shortest decimal form that reads back as the same single, both
// directly and, as a file is loaded, through a double.
std::string float_text(float f) {
    if (std::isnan(f)) return "nan";
    if (std::isinf(f)) return f > 0 ? "inf" : "-inf";
    char buf[40];
    for (int p = 1; p <= 9; ++p) {
        std::snprintf(buf, sizeof buf, "%.*g", p, static_cast<double>(f));
        if (std::strtof(buf, nullptr) == f && single(std::strtod(buf, nullptr)) == f) break;
    }
    std::string s = buf;
    // TOML wants a float to look like one.
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
}

// Characters as stored, bytes above 0x7F shown as the Latin-1 letters they are.
std::string bytes_text(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n && p[i] != 0; ++i) {
        if (p[i] < 0x80) {
            s.push_back(static_cast<char>(p[i]));
        } else {
            s.push_back(static_cast<char>(0xC0 | p[i] >> 6));
            s.push_back(static_cast<char>(0x80 | (p[i] & 0x3F)));
        }
    }
    return s;
}

std::string toml_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

std::string toml_value(const Field& f, const Value& v) {
    switch (f.kind) {
        case Kind::Text: return toml_string(v.text);
        case Kind::Level:
            if (v.number == 0) return "\"low\"";
            if (v.number == 1) return "\"high\"";
            return std::to_string(static_cast<long long>(v.number));
        case Kind::F32: return float_text(static_cast<float>(v.number));
        default: return std::to_string(static_cast<long long>(v.number));
    }
}

void put(std::vector<uint8_t>& out, size_t at, Kind kind, uint32_t v) {
    switch (kind) {
        case Kind::U8:
        case Kind::Level: out[at] = static_cast<uint8_t>(v); break;
        case Kind::BE16:
            out[at] = static_cast<uint8_t>(v >> 8);
            out[at + 1] = static_cast<uint8_t>(v);
            break;
        case Kind::LE24:
        case Kind::LE32:
        case Kind::F32:
            for (size_t i = 0; i < (kind == Kind::LE24 ? 3u : 4u); ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
            break;
        case Kind::Text: break;
    }
}

uint32_t get(const uint8_t* p, Kind kind) {
    switch (kind) {
        case Kind::U8:
        case Kind::Level: return p[0];
        case Kind::BE16: return static_cast<uint32_t>(p[0] << 8 | p[1]);
        case Kind::LE24: return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16);
        case Kind::LE32:
        case Kind::F32: return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        case Kind::Text: return 0;
    }
    return 0;
}

uint32_t bits_of(const Field& f, const Value& v) {
    if (f.kind == Kind::F32) {
        const float x = single(v.number);
        uint32_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return bits;
    }
    return static_cast<uint32_t>(static_cast<int64_t>(v.number));
}

// ": did you mean power.low_battery?" when a key is a slip for one of ours
// (`name_only`: the key's name inside its table).
std::string did_you_mean(const std::string& key, bool name_only);

[[noreturn]] void fail_at(const std::string& origin, const toml::node* n, const std::string& what) {
    std::ostringstream os;
    os << origin << ":" << (n ? n->source().begin.line : 0) << ": " << what;
    throw ConfigError(os.str());
}

}  // namespace

const std::vector<Field>& fields() { return kFields; }

const Field* find(const std::string& key) {
    for (const Field& f : kFields) {
        if (key == f.key) return &f;
    }
    return nullptr;
}

namespace {
// Edits from one text to the other: a letter added, dropped, changed, or
// two neighbours swapped; case aside.
size_t edits(const std::string& a, const std::string& b) {
    const auto low = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = low(a[i - 1]) == low(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && low(a[i - 1]) == low(b[j - 2]) && low(a[i - 2]) == low(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string did_you_mean(const std::string& key, bool name_only) {
    const Field* f = nearest_key(key);
    if (!f) return "";
    return std::string(": did you mean ") + (name_only ? f->name : f->key) + "?";
}
}  // namespace

const Field* nearest_key(const std::string& key) {
    // Two edits on keys of a dozen letters and more are a slip; a key
    // as near to two of ours (input.4.type) is none of them.
    constexpr size_t kClose = 2;
    if (key.size() > 64) return nullptr;
    const Field* best = nullptr;
    size_t best_d = kClose + 1;
    bool tie = false;
    for (const Field& f : kFields) {
        const size_t d = edits(key, f.key);
        if (d < best_d) {
            best = &f;
            best_d = d;
            tie = false;
        } else if (d == best_d) {
            tie = true;
        }
    }
    return tie ? nullptr : best;
}

bool is_calibration(const Field& f) { return std::strcmp(f.section, "calibration") == 0; }

size_t stored_size(const Field& f) {
    switch (f.kind) {
        case Kind::U8:
        case Kind::Level: return 1;
        case Kind::BE16: return 2;
        case Kind::LE24: return 3;
        case Kind::LE32:
        case Kind::F32: return 4;
        case Kind::Text: return f.size;
    }
    return 0;
}

Value& Config::operator[](const Field& f) { return values.at(index_of(f)); }
const Value& Config::operator[](const Field& f) const { return values.at(index_of(f)); }

std::string refusal(const Field& f, const Value& v) {
    if (f.kind == Kind::Text) return text_refusal(f, v.text);
    const double x = v.number;
    if (f.kind != Kind::F32) {
        const bool ok = std::isfinite(x) && x >= f.lo && x <= f.hi && (!f.integer || x == std::floor(x));
        return ok ? "" : std::string(f.key) + " must be " + f.rule;
    }
    // Checked as the unit will hold it, a single: a value that becomes 0 or
    // a denormal there (4.59e-50, 1e-40) is not what was meant. The band's
    // edges are taken as singles too, so that an edge typed is an edge held.
    const float s = single(x);
    const bool ok = std::isfinite(s) && s >= single(f.lo) && s <= single(f.hi) && std::isnormal(s);
    if (ok) return "";
    std::string why = std::string(f.key) + " must be " + f.rule;
    if (std::isfinite(s) && s != 0 && !std::isnormal(s)) {
        why += "; " + float_text(s) + " is a denormal single-precision float, below the unit's precision";
    } else if (std::isfinite(x) && x != 0 && s == 0) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%g", x);
        why += std::string("; the unit stores a single-precision float, in which ") + buf + " is 0";
    }
    return why;
}

namespace {

bool all_digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

// strtod alone would also take "0x3B", "inf", "nan" and leading blanks.
bool is_decimal_number(const std::string& s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!all_digits(s.substr(i))) return false;
        return true;
    }
    return i == s.size();
}

std::string with_decimal_point(const std::string& s) {
    const size_t comma = s.find(',');
    if (comma == std::string::npos || s.find_first_of(",.", comma + 1) != std::string::npos ||
        s.find('.') != std::string::npos)
        return "";
    std::string pointed = s;
    pointed[comma] = '.';
    return is_decimal_number(pointed) ? pointed : "";
}

Value parse_value(const Field& f, const std::string& raw) {
    Value v;
    std::string text = raw;
    // The value as typed on a command line, or as TOML would have it.
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    if (f.kind == Kind::Text) {
        v.text = text;
    } else if (f.kind == Kind::Level && (text == "low" || text == "high")) {
        v.number = text == "high" ? 1 : 0;
    } else {
        const bool mmsi = std::strcmp(f.key, "station.mmsi") == 0;
        // An MMSI is nine digits (a coast station's start 00): "59", "0x3B"
        // or "1e8" is a slip, not an identity.
        if (mmsi && !(all_digits(text) && text.size() == 9))
            throw ConfigError(std::string(f.key) +
                              " must be a whole number 1..999999999 typed as its nine decimal digits (an AtoN's: 99, "
                              "the country's MID, then 4 digits, e.g. 992241234), not \"" + raw + "\"");
        const bool typed_right = f.kind == Kind::Level ? false : f.integer ? all_digits(text) : is_decimal_number(text);
        const std::string pointed = f.kind == Kind::F32 ? with_decimal_point(text) : "";
        if (!typed_right && !pointed.empty())
            throw ConfigError(std::string(f.key) + ": " + raw + " is not a number: write it with a decimal point, " +
                              pointed);
        if (!typed_right) {
            const char* how = f.kind == Kind::Level ? "" : f.integer ? ", in decimal digits" : ", a decimal number";
            throw ConfigError(std::string(f.key) + " must be " + f.rule + how + ", not \"" + raw + "\"");
        }
        v.number = std::strtod(text.c_str(), nullptr);
    }
    const std::string why = refusal(f, v);
    if (!why.empty()) throw ConfigError(why + ", not " + raw);
    return v;
}

bool same_stored(const Field& f, const Value& a, const Value& b) {
    if (f.kind == Kind::Text) {
        // NUL-padded to the field's size: what lies past it is never stored.
        std::string x = a.text.substr(0, f.size), y = b.text.substr(0, f.size);
        x.resize(f.size, '\0');
        y.resize(f.size, '\0');
        return x == y;
    }
    return bits_of(f, a) == bits_of(f, b);
}

std::string value_text(const Field& f, const Value& v) {
    if (f.kind == Kind::Text) {
        // `config set` takes one pair of quotes off.
        const std::string& t = v.text;
        return t.size() >= 2 && t.front() == '"' && t.back() == '"' ? '"' + t + '"' : t;
    }
    if (std::strcmp(f.key, "station.mmsi") == 0 && v.number >= 0 && v.number <= 999999999) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%09lld", static_cast<long long>(v.number));
        return buf;
    }
    const std::string s = toml_value(f, v);
    if (f.kind == Kind::Level && s.front() == '"') return s.substr(1, s.size() - 2);
    return s;
}

Config from_toml(const std::string& text, const std::string& origin) {
    toml::table root;
    try {
        root = toml::parse(text, origin);
    } catch (const toml::parse_error& e) {
        std::ostringstream os;
        os << origin << ":" << e.source().begin.line << ": " << e.description();
        throw ConfigError(os.str());
    }
    // Every key must be one of ours: a misspelt key would otherwise be lost.
    std::set<std::string> known_sections(std::begin(kSections), std::end(kSections));
    for (const auto& [k, node] : root) {
        const std::string name(k.str());
        if (name == "input") {
            if (!node.is_array()) fail_at(origin, &node, "'input' must be three [[input]] entries");
            continue;
        }
        if (!known_sections.count(name) || !node.is_table()) fail_at(origin, &node, "unknown key '" + name + "'");
        for (const auto& [k2, n2] : *node.as_table()) {
            const std::string key = name + "." + std::string(k2.str());
            if (!find(key)) fail_at(origin, &n2, "unknown key '" + key + "'" + did_you_mean(key, false));
        }
    }
    const toml::array* inputs = root["input"].as_array();
    if (!inputs || inputs->size() != 3) fail_at(origin, &root, "expected three [[input]] entries, for inputs 1, 2 and 3");
    for (size_t i = 0; i < 3; ++i) {
        const toml::table* t = (*inputs)[i].as_table();
        if (!t) fail_at(origin, &(*inputs)[i], "[[input]] entries must be tables");
        for (const auto& [k2, n2] : *t) {
            const std::string key = "input." + std::to_string(i + 1) + "." + std::string(k2.str());
            if (!find(key))
                fail_at(origin, &n2, "unknown key '" + std::string(k2.str()) + "' in [[input]] " + std::to_string(i + 1) +
                                         did_you_mean(key, true));
        }
    }

    Config c;
    c.values.resize(kFields.size());
    c.has_calibration = root.contains("calibration");
    for (const Field& f : kFields) {
        if (is_calibration(f) && !c.has_calibration) continue;
        const toml::table* t = f.input >= 0 ? (*inputs)[static_cast<size_t>(f.input)].as_table()
                                            : root[f.section].as_table();
        if (!t) fail_at(origin, &root, std::string("missing [") + f.section + "]");
        const toml::node* n = t->get(f.name);
        if (!n) fail_at(origin, t, std::string("missing '") + f.key + "'");
        Value v;
        if (f.kind == Kind::Text) {
            const auto s = n->value<std::string>();
            if (!s) fail_at(origin, n, std::string(f.key) + " must be text");
            v.text = *s;
        } else if (f.kind == Kind::Level) {
            const auto s = n->value<std::string>();
            if (!s || (*s != "low" && *s != "high")) fail_at(origin, n, std::string(f.key) + " must be " + f.rule);
            v.number = *s == "high" ? 1 : 0;
        } else {
            std::optional<double> x;
            if (!f.integer) x = n->value<double>();
            else if (const auto i = n->value_exact<int64_t>()) x = static_cast<double>(*i);
            if (!x) fail_at(origin, n, std::string(f.key) + " must be " + f.rule);
            // 0x3B is 59 to TOML, and to nobody who meant an MMSI.
            if (const auto* whole = n->as_integer(); whole && whole->flags() != toml::value_flags::none)
                fail_at(origin, n, std::string(f.key) + " must be written in decimal digits");
            v.number = *x;
        }
        const std::string why = refusal(f, v);
        if (!why.empty()) fail_at(origin, n, why);
        c[f] = v;
    }
    return c;
}

std::string to_toml(const Config& c) {
    std::ostringstream os;
    std::string section;
    int input = -1;
    for (const Field& f : kFields) {
        if (is_calibration(f) && !c.has_calibration) continue;
        if (f.input >= 0 && f.input != input) {
            input = f.input;
            os << "\n" << std::string("[[input]]").append(22, ' ') << " # input " << input + 1 << "\n";
        } else if (f.input < 0 && section != f.section) {
            section = f.section;
            os << (os.tellp() > 0 ? "\n" : "") << "[" << section << "]\n";
        }
        std::string line = std::string(f.name) + " = " + toml_value(f, c[f]);
        if (*f.note) {
            if (line.size() < 31) line.resize(31, ' ');
            line += std::string(" # ") + f.note;
        }
        os << line << "\n";
    }
    return os.str();
}

std::vector<uint8_t> encode_area(const Config& c) {
    std::vector<uint8_t> area(kAreaSize, 0xFF);
    for (const Field& f : kFields) {
        if (is_calibration(f)) continue;
        if (f.kind == Kind::Text) {
            // Unused characters are NUL: six-bit code 0, and the end of the text.
            const std::string& s = c[f].text;
            for (size_t i = 0; i < f.size; ++i) area[f.at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
        } else {
            put(area, f.at, f.kind, bits_of(f, c[f]));
        }
    }
    return area;
}

std::array<uint8_t, kCalibrationSize> encode_calibration(const Config& c) {
    std::vector<uint8_t> out(kCalibrationSize, 0xFF);
    for (const Field& f : kFields) {
        if (is_calibration(f)) put(out, f.at - kCalibrationAt, f.kind, bits_of(f, c[f]));
    }
    std::array<uint8_t, kCalibrationSize> a{};
    std::copy(out.begin(), out.end(), a.begin());
    return a;
}

Config decode(const std::vector<uint8_t>& area, const uint8_t* calibration) {
    if (area.size() < kAreaSize) throw ConfigError("a configuration area is 98 bytes");
    Config c;
    c.values.resize(kFields.size());
    c.has_calibration = calibration != nullptr;
    for (const Field& f : kFields) {
        Value& v = c[f];
        if (is_calibration(f)) {
            if (!calibration) continue;
            const uint32_t bits = get(calibration + (f.at - kCalibrationAt), f.kind);
            float x;
            std::memcpy(&x, &bits, sizeof x);
            v.number = x;
        } else if (f.kind == Kind::Text) {
            v.text = bytes_text(area.data() + f.at, f.size);
        } else if (f.kind == Kind::F32) {
            const uint32_t bits = get(area.data() + f.at, f.kind);
            float x;
            std::memcpy(&x, &bits, sizeof x);
            v.number = x;
        } else {
            v.number = get(area.data() + f.at, f.kind);
        }
    }
    return c;
}

namespace {

// Values that sit too close to tell apart on a reading: a tenth of a volt
// is some twenty counts of the battery input, well above its noise.
constexpr double kGap = 0.1;
constexpr double kSlack = 1e-4;   // 12.4 and 12.3 held as singles are 0.0999994 apart

std::string key_value(const Config& c, const char* key) {
    const Field& f = *find(key);
    return std::string(key) + "=" + value_text(f, c[f]);
}

}  // namespace

std::vector<std::string> conflicts(const Config& c) {
    std::vector<std::string> out;
    const auto num = [&c](const char* key) { return c[*find(key)].number; };
    const auto good = [&c](const char* key) { return refusal(*find(key), c[*find(key)]).empty(); };
    const auto below = [&](const char* lo, const char* hi, const char* why) {
        if (!good(lo) || !good(hi) || num(lo) <= num(hi) - kGap + kSlack) return;
        out.push_back(key_value(c, lo) + " must be below " + key_value(c, hi) + " by at least 0.1 V: " + why);
    };
    below("power.low_battery", "power.alarm_off",
          "the alarm raised at or below the first clears at or above the second, and closer it comes and goes with "
          "every reading");
    below("power.charger_on", "power.charger_off",
          "the charger goes off at or above the second and on again at or below the first, and closer it switches "
          "with every reading");
    below("power.low_battery", "power.charger_on",
          "a charger switched off for a full battery would come on again only after the low-battery alarm");
    below("power.alarm_off", "power.charger_off",
          "the charger stops the battery at the second, so the low-battery alarm might never clear");
    const char* factor = "calibration.battery_volts_per_count";
    if (c.has_calibration && good(factor) && good("power.charger_off")) {
        // The battery input reads at most 4095 counts.
        const double top = 4095 * static_cast<double>(single(num(factor)));
        if (num("power.charger_off") > top - kGap) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.2f V", top);
            out.push_back(key_value(c, "power.charger_off") + " must be below what the battery input can read with " +
                          key_value(c, factor) + " (4095 counts, " + buf +
                          ") by at least 0.1 V: the charger would never be switched off");
        }
    }
    return out;
}

std::vector<std::string> problems(const Config& c) {
    std::vector<std::string> out;
    for (const Field& f : kFields) {
        if (is_calibration(f) && !c.has_calibration) continue;
        const std::string why = refusal(f, c[f]);
        if (!why.empty()) out.push_back("the unit holds " + std::string(f.key) + " = " + toml_value(f, c[f]) + ", but " + why);
    }
    const double mmsi = c[*find("station.mmsi")].number;
    if (mmsi >= 1 && mmsi <= 999999999 && (mmsi < 990000000 || mmsi > 999999999))
        out.push_back("station.mmsi " + std::to_string(static_cast<long long>(mmsi)) +
                      " is not an AtoN MMSI (99, the country's MID, then 4 digits)");
    for (const std::string& s : conflicts(c)) out.push_back(s);
    return out;
}

std::vector<uint8_t> eeprom_image(const Config& c) {
    std::vector<uint8_t> img(65536, 0xFF);
    const std::vector<uint8_t> area = encode_area(c);
    std::copy(area.begin(), area.end(), img.begin());
    if (c.has_calibration) {
        const auto cal = encode_calibration(c);
        std::copy(cal.begin(), cal.end(), img.begin() + kCalibrationAt);
    }
    return img;
}

}  // namespace zcfg
