// A unit's configuration as its people write it (the TOML form of
// tools/default-config.toml) and as the unit stores it (EEPROM bytes 0..97,
// calibration factors at 0xFFF4..0xFFFB). One table names every key once:
// where it lives, how it is encoded, and the range the unit accepts.
#pragma once
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zcfg {

constexpr uint16_t kAreaSize = 98;           // bytes 0..97
constexpr uint16_t kCalibrationAt = 0xFFF4;  // panel factor, then the battery factor at 0xFFF8
constexpr uint16_t kCalibrationSize = 8;

// The analog front end's factors by design: 3.3 V / 4096 a count, through
// the battery's 47k/10k divider (x 5.7), and over the panel current
// amplifier's 0.33 V per A.
constexpr double kNominalBatteryVoltsPerCount = 3.3 / 4096 * 5.7;
constexpr double kNominalPanelAmpsPerCount = 3.3 / 4096 / 0.33;

enum class Kind : uint8_t {
    U8,     // one byte
    BE16,   // two bytes, most significant first
    LE24,   // three bytes, least significant first
    LE32,   // four bytes, least significant first
    F32,    // IEEE 754 single, least significant byte first
    Text,   // fixed length, NUL-padded
    Level,  // one byte: 0 "low", 1 "high"
};

struct Field {
    const char* key;       // as typed: "station.mmsi", "input.2.debounce"
    const char* section;   // TOML table: "station"; "input" for the [[input]] array
    int input;             // 0..2 for the [[input]] entries, -1 otherwise
    const char* name;      // key inside the table
    uint16_t at;           // EEPROM address
    Kind kind;
    uint8_t size;          // characters of a text field
    double lo, hi;         // accepted range of a number
    bool integer;          // a number must be whole
    const char* rule;      // what a value must be, and why
    const char* note;      // comment beside the key in the TOML form
};

// Every key, in the order of the TOML form.
const std::vector<Field>& fields();
// The field of a key, or nullptr.
const Field* find(const std::string& key);
// The one key a mistyped `key` is close to (a letter or two off), or nullptr.
const Field* nearest_key(const std::string& key);
bool is_calibration(const Field& f);
// Bytes the field takes in the EEPROM.
size_t stored_size(const Field& f);

// A value: numbers (the level too: 0 low, 1 high) in `number`, text in `text`.
struct Value {
    double number = 0;
    std::string text;
    bool operator==(const Value& o) const { return number == o.number && text == o.text; }
};

struct Config {
    std::vector<Value> values;   // one per fields() entry
    bool has_calibration = false;
    Value& operator[](const Field& f);
    const Value& operator[](const Field& f) const;
};

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether `v` keeps the unit's rules for `f`; the refusal names the rule.
// Returns an empty string for a good value.
std::string refusal(const Field& f, const Value& v);

// Parses a value typed for `f` ("992241234", "12.4", "ZELMORA NORTE",
// "low"), and checks it; throws ConfigError naming the rule it breaks.
// Whole numbers are decimal digits only, an MMSI its nine digits; no
// hexadecimal, exponent or sign ("0x3B", "1e8", "+5" are refused).
Value parse_value(const Field& f, const std::string& text);

// A decimal number as people write one: "12.4", ".5", "4.59e-3" (not
// "0x3B", "inf", "nan" or leading blanks).
bool is_decimal_number(const std::string& s);
// "12.6" for "12,6": the number typed with a decimal comma, or empty when
// the text is not one.
std::string with_decimal_point(const std::string& s);

// Whether the two values are stored as the same bytes (11.8 typed and the
// single 11.8000002 read back are).
bool same_stored(const Field& f, const Value& a, const Value& b);

// The value as `config get` prints it and `config set` takes it back: the
// number (an MMSI as its nine digits), the text (in quotes when it is
// quoted itself), "low"/"high".
std::string value_text(const Field& f, const Value& v);

// Parses and checks a whole configuration file, every value against its own
// rule (conflicts() checks them against each other); throws ConfigError with
// "origin:line: " in front. [calibration] may be left out.
Config from_toml(const std::string& text, const std::string& origin);

// The TOML form, sections in the order of tools/default-config.toml.
std::string to_toml(const Config& c);

// What the unit stores and what it holds decode into each other, unchecked.
std::vector<uint8_t> encode_area(const Config& c);
std::array<uint8_t, kCalibrationSize> encode_calibration(const Config& c);
Config decode(const std::vector<uint8_t>& area, const uint8_t* calibration /* 8 bytes, or null */);

// Values that keep their own rules but not each other's: the thresholds'
// order (each pair at least 0.1 V apart) and a switch-off voltage the
// battery input can read with its factor (when `c` has the calibration).
// One sentence each, naming both keys and values; empty when none. A unit
// is never written a configuration with any.
std::vector<std::string> conflicts(const Config& c);

// Stored values outside the rules, a station MMSI that is not an AtoN's, and
// the conflicts: one sentence each.
std::vector<std::string> problems(const Config& c);

// The 64 KiB image of a unit holding `c`: the area, the calibration when
// present, every other byte erased (0xFF).
std::vector<uint8_t> eeprom_image(const Config& c);

}  // namespace zcfg
