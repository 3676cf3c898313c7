// Configuration text into tools/unitconfig: parsing and checking a file,
// encoding it for the unit, and what `config show` prints of what a unit
// holds, which must load back as the same stored values; what `config get`
// prints of a value that keeps its rule, `config set` must take back.
//
// State byte 0: the mode (0 a TOML file; 1 the unit's stored bytes, 98 of
// the area and 8 of calibration; 2 one value typed for `config set`);
// byte 1 the key of mode 2.
#include <cctype>
#include <string>

#include "fuzz.h"
#include "unit_config.h"

namespace zfuzz {

namespace {
const char* const kName = "unitconfig";

// "origin:line: " in front of every refusal of a file.
void check_position(const std::string& what, const std::string& origin) {
    bool ok = what.compare(0, origin.size() + 1, origin + ":") == 0;
    size_t i = origin.size() + 1;
    size_t digits = 0;
    while (ok && i < what.size() && std::isdigit(static_cast<unsigned char>(what[i])) != 0) {
        ++i;
        ++digits;
    }
    ok = ok && digits != 0 && what.compare(i, 2, ": ") == 0;
    ZFUZZ_CHECK(kName, ok, "a refusal without its position: " + what);
}

bool keeps_rules(const zcfg::Config& c) {
    for (const zcfg::Field& f : zcfg::fields()) {
        if (zcfg::is_calibration(f) && !c.has_calibration) continue;
        if (!zcfg::refusal(f, c[f]).empty()) return false;
    }
    return true;
}

// What `config show` prints of `c` loads back as the same stored values.
void loads_back(const zcfg::Config& c, const char* what) {
    const std::string shown = zcfg::to_toml(c);
    zcfg::Config back;
    try {
        back = zcfg::from_toml(shown, "shown");
    } catch (const zcfg::ConfigError& e) {
        broken(kName, std::string(what) + " does not load back: " + e.what() + "\n" + shown);
    }
    ZFUZZ_CHECK(kName, back.has_calibration == c.has_calibration, std::string(what) + " loses its calibration");
    for (const zcfg::Field& f : zcfg::fields()) {
        if (zcfg::is_calibration(f) && !c.has_calibration) continue;
        ZFUZZ_CHECK(kName, zcfg::same_stored(f, c[f], back[f]),
                    std::string(what) + ": " + f.key + " loads back as another value\n" + shown);
    }
}

void file(const std::string& text) {
    zcfg::Config c;
    try {
        c = zcfg::from_toml(text, "unit.toml");
    } catch (const zcfg::ConfigError& e) {
        check_position(e.what(), "unit.toml");
        return;
    }
    ZFUZZ_CHECK(kName, keeps_rules(c), "a file accepted with a value the unit's rules refuse");
    (void)zcfg::problems(c);
    loads_back(c, "what config save writes");
    // Written to the unit and read back.
    const std::vector<uint8_t> area = zcfg::encode_area(c);
    const auto cal = zcfg::encode_calibration(c);
    const zcfg::Config held = zcfg::decode(area, c.has_calibration ? cal.data() : nullptr);
    loads_back(held, "what config show prints after a load");
    ZFUZZ_CHECK(kName, zcfg::encode_area(held) == area, "the stored area does not decode and encode back");
}

void stored(std::string_view bytes) {
    std::vector<uint8_t> area(zcfg::kAreaSize, 0xFF);
    uint8_t cal[zcfg::kCalibrationSize];
    for (size_t i = 0; i < zcfg::kCalibrationSize; ++i) cal[i] = 0xFF;
    for (size_t i = 0; i < bytes.size() && i < area.size() + sizeof cal; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (i < area.size()) area[i] = b;
        else cal[i - area.size()] = b;
    }
    const zcfg::Config c = zcfg::decode(area, cal);
    (void)zcfg::problems(c);
    for (const zcfg::Field& f : zcfg::fields()) {
        const std::string got = zcfg::value_text(f, c[f]);
        if (!zcfg::refusal(f, c[f]).empty()) continue;
        zcfg::Value back;
        try {
            back = zcfg::parse_value(f, got);
        } catch (const zcfg::ConfigError& e) {
            broken(kName, std::string("config set refuses what config get prints, ") + f.key + "=" + got + ": " + e.what());
        }
        ZFUZZ_CHECK(kName, zcfg::same_stored(f, c[f], back),
                    std::string("config get prints ") + f.key + "=" + got + ", which config set takes as another value");
    }
    if (keeps_rules(c)) loads_back(c, "what config show prints");
}

void typed(uint8_t key, std::string_view text) {
    const zcfg::Field& f = zcfg::fields()[key % zcfg::fields().size()];
    zcfg::Value v;
    try {
        v = zcfg::parse_value(f, std::string(text));
    } catch (const zcfg::ConfigError&) {
        return;
    }
    ZFUZZ_CHECK(kName, zcfg::refusal(f, v).empty(), std::string(f.key) + " accepted a value its rule refuses");
    (void)zcfg::value_text(f, v);
}
}  // namespace

void run_unitconfig(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t mode = in.byte(), key = in.byte();
    switch (mode % 3) {
        case 0: file(std::string(in.rest())); break;
        case 1: stored(in.rest()); break;
        default: typed(key, in.rest()); break;
    }
}

std::vector<Bytes> seeds_unitconfig(const std::string& testdata) {
    const std::string config = file_text(std::string(ZELMORA_SOURCE_DIR) + "/tools/default-config.toml");
    const std::vector<uint8_t> image = zcfg::eeprom_image(zcfg::from_toml(config, "tools/default-config.toml"));
    std::string stored_bytes(image.begin(), image.begin() + zcfg::kAreaSize);
    stored_bytes.append(image.begin() + zcfg::kCalibrationAt, image.begin() + zcfg::kCalibrationAt + zcfg::kCalibrationSize);
    std::vector<Bytes> out = {
        seed({0, 0}, config),
        seed({1, 0}, stored_bytes),
        seed({1, 0}, std::string(106, '\xFF')),
        seed({2, 0}, "992241234"),
        seed({2, 1}, "ZELMORA NORTE"),
        seed({2, 20}, "11.8"),
        seed({2, 24}, "0.004592285"),
        seed({2, 30}, "high"),
    };
    // Without calibration, and with one value changed.
    std::string no_cal = config;
    const size_t at = no_cal.find("[calibration]");
    if (at != std::string::npos) {
        const size_t end = no_cal.find("\n[", at + 1);
        no_cal.erase(at, end == std::string::npos ? std::string::npos : end - at + 1);
    }
    out.push_back(seed({0, 0}, no_cal));
    (void)testdata;
    return out;
}

}  // namespace zfuzz
