#include "default_image.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <toml++/toml.h>

namespace zsim {

extern const char* const kDefaultConfigText;

namespace {

constexpr size_t kImageSize = 65536;

class Encoder {
public:
    Encoder(const toml::table& root, std::string origin) : root_(root), origin_(std::move(origin)) {}

    [[noreturn]] void fail(const toml::node* n, const std::string& what) const {
        std::ostringstream os;
        os << origin_ << ":" << (n ? n->source().begin.line : 0) << ": " << what;
        throw std::runtime_error(os.str());
    }

    const toml::table& table(const char* name) const {
        const toml::table* t = root_[name].as_table();
        if (!t) fail(&root_, std::string("missing [") + name + "]");
        return *t;
    }

    int64_t integer(const toml::table& t, const char* key, int64_t lo, int64_t hi) const {
        const toml::node* n = t.get(key);
        if (!n) fail(&t, std::string("missing '") + key + "'");
        const auto v = n->value<int64_t>();
        if (!v || *v < lo || *v > hi)
            fail(n, std::string("'") + key + "' must be an integer from " + std::to_string(lo) + " to " +
                        std::to_string(hi));
        return *v;
    }

    float volts(const toml::table& t, const char* key) const {
        const toml::node* n = t.get(key);
        if (!n) fail(&t, std::string("missing '") + key + "'");
        const auto v = n->value<double>();
        if (!v || !std::isfinite(*v) || *v < 0 || *v > 60) fail(n, std::string("'") + key + "' must be volts, 0 to 60");
        return static_cast<float>(*v);
    }

    // A conversion factor: a finite, positive number.
    float factor(const toml::table& t, const char* key) const {
        const toml::node* n = t.get(key);
        if (!n) fail(&t, std::string("missing '") + key + "'");
        const auto v = n->value<double>();
        if (!v || !std::isfinite(*v) || *v <= 0 || *v > 1e6) {
            fail(n, std::string("'") + key + "' must be a positive number");
        }
        return static_cast<float>(*v);
    }

    // Six-bit AIS text: blank, upper-case letters, digits and punctuation.
    std::string text(const toml::table& t, const char* key, size_t max) const {
        const toml::node* n = t.get(key);
        if (!n) fail(&t, std::string("missing '") + key + "'");
        const auto v = n->value<std::string>();
        if (!v || v->size() > max) fail(n, std::string("'") + key + "' must be text of at most " + std::to_string(max) + " characters");
        for (char c : *v) {
            if (c < 0x20 || c > 0x5F) fail(n, std::string("'") + key + "' may hold only upper-case letters, digits, blank and punctuation");
        }
        return *v;
    }

private:
    const toml::table& root_;
    std::string origin_;
};

void put_be16(std::vector<uint8_t>& img, size_t at, uint32_t v) {
    img[at] = static_cast<uint8_t>(v >> 8);
    img[at + 1] = static_cast<uint8_t>(v);
}

void put_le(std::vector<uint8_t>& img, size_t at, uint32_t v, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) img[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_float(std::vector<uint8_t>& img, size_t at, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    put_le(img, at, bits, 4);   // IEEE 754 single, least significant byte first
}

// Unused characters are NUL: six-bit code 0, and the end of the text.
void put_text(std::vector<uint8_t>& img, size_t at, const std::string& s, size_t len) {
    for (size_t i = 0; i < len; ++i) img[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

}  // namespace

std::vector<uint8_t> encode_eeprom_image(const std::string& toml_text, const std::string& origin) {
    toml::table root;
    try {
        root = toml::parse(toml_text, origin);
    } catch (const toml::parse_error& e) {
        std::ostringstream os;
        os << origin << ":" << e.source().begin.line << ": " << e.description();
        throw std::runtime_error(os.str());
    }
    const Encoder enc(root, origin);
    std::vector<uint8_t> img(kImageSize, 0xFF);

    const toml::table& st = enc.table("station");
    img[0] = static_cast<uint8_t>(enc.integer(st, "type_of_ship_and_cargo", 0, 100));
    put_be16(img, 1, static_cast<uint32_t>(enc.integer(st, "dimension_to_bow", 0, 511)));
    put_be16(img, 3, static_cast<uint32_t>(enc.integer(st, "dimension_to_stern", 0, 511)));
    img[5] = static_cast<uint8_t>(enc.integer(st, "dimension_to_port", 0, 63));
    img[6] = static_cast<uint8_t>(enc.integer(st, "dimension_to_starboard", 0, 63));
    put_text(img, 7, enc.text(st, "name", 20), 20);
    put_text(img, 27, enc.text(st, "call_sign", 7), 7);
    put_le(img, 46, static_cast<uint32_t>(enc.integer(st, "mmsi", 1, 999999999)), 4);
    put_text(img, 60, enc.text(st, "vendor_id", 3), 3);
    img[63] = static_cast<uint8_t>(enc.integer(st, "model_code", 0, 15));
    put_le(img, 64, static_cast<uint32_t>(enc.integer(st, "serial_number", 0, 1048575)), 3);

    const toml::table* inputs = nullptr;
    const toml::array* arr = root["input"].as_array();
    if (!arr || arr->size() != 3) enc.fail(&root, "expected three [[input]] entries, for inputs 1, 2 and 3");
    for (size_t i = 0; i < 3; ++i) {
        inputs = (*arr)[i].as_table();
        if (!inputs) enc.fail(&root, "[[input]] entries must be tables");
        const size_t at = 34 + 4 * i;
        img[at] = static_cast<uint8_t>(enc.integer(*inputs, "type", 0, 2));
        const auto active = (*inputs)["active"].value<std::string>();
        if (active != "low" && active != "high") enc.fail(inputs, "'active' must be \"low\" or \"high\"");
        img[at + 1] = *active == "high" ? 1 : 0;
        put_be16(img, at + 2, static_cast<uint32_t>(enc.integer(*inputs, "debounce", 0, 65535)));
    }

    const toml::table& pw = enc.table("power");
    put_float(img, 67, enc.volts(pw, "alarm_off"));
    put_float(img, 71, enc.volts(pw, "low_battery"));
    put_float(img, 75, enc.volts(pw, "charger_off"));
    put_float(img, 79, enc.volts(pw, "charger_on"));

    const toml::table& gps = enc.table("gps");
    img[83] = static_cast<uint8_t>(enc.integer(gps, "min_satellites", 0, 255));
    img[84] = static_cast<uint8_t>(enc.integer(gps, "max_quality", 0, 255));
    img[85] = static_cast<uint8_t>(enc.integer(gps, "clock_update_minutes", 0, 255));

    const toml::table& m18 = enc.table("message18");
    put_le(img, 86, static_cast<uint32_t>(enc.integer(m18, "communication_state", 0, 0x7FFFF)), 4);
    const char* flags[8] = {"class_b_unit", "display",       "dsc",  "band",
                            "message22",    "assigned_mode", "raim", "communication_state_selector"};
    for (size_t i = 0; i < 8; ++i) img[90 + i] = static_cast<uint8_t>(enc.integer(m18, flags[i], 0, 1));

    // Analog calibration, outside the configuration area; without the
    // section the cells stay erased, as on a unit never calibrated.
    if (root.contains("calibration")) {
        const toml::table& cal = enc.table("calibration");
        put_float(img, 0xFFF4, enc.factor(cal, "panel_amps_per_count"));
        put_float(img, 0xFFF8, enc.factor(cal, "battery_volts_per_count"));
    }
    return img;
}

std::vector<uint8_t> default_eeprom_image() {
    static const std::vector<uint8_t> image = encode_eeprom_image(kDefaultConfigText, "tools/default-config.toml");
    return image;
}

}  // namespace zsim
