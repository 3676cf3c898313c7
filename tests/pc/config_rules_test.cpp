// The configuration's TOML form against the unit's stored layout and its
// range rules: what is refused, and why.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "unit_config.h"

namespace {
std::string default_text() {
    std::ifstream in(ZELMORA_SOURCE_DIR "/tools/default-config.toml");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

zcfg::Config with(const std::string& key, const std::string& value) {
    zcfg::Config c = zcfg::from_toml(default_text(), "default");
    c[*zcfg::find(key)] = zcfg::parse_value(*zcfg::find(key), value);
    return c;
}

std::vector<uint8_t> at(const std::vector<uint8_t>& area, size_t from, size_t n) {
    return std::vector<uint8_t>(area.begin() + static_cast<long>(from), area.begin() + static_cast<long>(from + n));
}
}  // namespace

TEST(PcConfig, StoredLayoutOfTheWorkedValues) {
    EXPECT_EQ(at(zcfg::encode_area(with("station.mmsi", "123456789")), 46, 4), (std::vector<uint8_t>{0x15, 0xCD, 0x5B, 0x07}));
    EXPECT_EQ(at(zcfg::encode_area(with("station.dimension_to_bow", "511")), 1, 2), (std::vector<uint8_t>{0x01, 0xFF}));
    EXPECT_EQ(at(zcfg::encode_area(with("station.serial_number", "1048575")), 64, 3),
              (std::vector<uint8_t>{0xFF, 0xFF, 0x0F}));
    EXPECT_EQ(at(zcfg::encode_area(with("power.low_battery", "12.5")), 71, 4),
              (std::vector<uint8_t>{0x00, 0x00, 0x48, 0x41}));
    EXPECT_EQ(at(zcfg::encode_area(with("input.1.debounce", "10")), 36, 2), (std::vector<uint8_t>{0x00, 0x0A}));
    EXPECT_EQ(at(zcfg::encode_area(with("input.2.active", "high")), 39, 1), (std::vector<uint8_t>{1}));

    // The default file, stored and shown again, is the same file's values.
    const zcfg::Config def = zcfg::from_toml(default_text(), "default");
    const std::vector<uint8_t> img = zcfg::eeprom_image(def);
    const zcfg::Config back = zcfg::decode(std::vector<uint8_t>(img.begin(), img.begin() + 98), img.data() + 0xFFF4);
    EXPECT_TRUE(zcfg::problems(back).empty());
    EXPECT_EQ(zcfg::eeprom_image(zcfg::from_toml(zcfg::to_toml(back), "shown")), img);
}

TEST(PcConfig, ValuesOutsideTheUnitsRulesAreRefusedNamingTheRule) {
    const struct {
        const char* key;
        const char* value;
        const char* rule;
    } cases[] = {
        {"station.mmsi", "0", "1..999999999"},
        {"station.mmsi", "1000000000", "1..999999999"},
        {"station.type_of_ship_and_cargo", "101", "above 100 as 0"},
        {"station.dimension_to_stern", "512", "0..511"},
        {"station.dimension_to_port", "64", "0..63"},
        {"station.model_code", "16", "0..15"},
        {"station.serial_number", "1048576", "0..1048575"},
        {"station.name", "Zelmora", "six-bit"},
        {"station.name", "ZELMORA NORTE PUNTA 21", "at most 20"},
        {"station.call_sign", "EAZN1234", "at most 7"},
        {"power.low_battery", "nan", "9.0..12.5 V"},
        {"power.charger_off", "61", "13.0..16.0 V"},
        {"message18.communication_state", "524288", "19 bits"},
        {"message18.raim", "2", "0 or 1"},
        {"input.3.type", "3", "following"},
        {"input.1.active", "1", "\"low\" or \"high\""},
        {"input.1.debounce", "1.5", "whole number"},
        {"calibration.battery_volts_per_count", "0", "positive"},
        // Stored as singles: 0 and a denormal, which the unit would read as (nearly) 0 V.
        {"calibration.battery_volts_per_count", "4.59e-50", "4.59e-50 is 0"},
        {"calibration.panel_amps_per_count", "1e-40", "denormal"},
        {"power.low_battery", "1e-50", "is 0"},
    };
    for (const auto& c : cases) {
        try {
            zcfg::parse_value(*zcfg::find(c.key), c.value);
            ADD_FAILURE() << c.key << "=" << c.value << " was accepted";
        } catch (const zcfg::ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(c.key), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.rule), std::string::npos) << e.what();
        }
    }
    // In a file, with the line; a misspelt key is not silently dropped.
    std::string text = default_text();
    text.replace(text.find("model_code = 1"), 14, "model_code = 99");
    EXPECT_THROW(
        {
            try {
                zcfg::from_toml(text, "unit.toml");
            } catch (const zcfg::ConfigError& e) {
                EXPECT_EQ(std::string(e.what()).rfind("unit.toml:", 0), 0u) << e.what();
                EXPECT_NE(std::string(e.what()).find("0..15"), std::string::npos) << e.what();
                throw;
            }
        },
        zcfg::ConfigError);
    EXPECT_THROW(zcfg::from_toml(default_text() + "\n[gps2]\nx = 1\n", "unit.toml"), zcfg::ConfigError);
    text = default_text();
    const size_t at = text.find("battery_volts_per_count = ") + 26;
    text.replace(at, text.find(' ', at) - at, "4.59e-50");
    EXPECT_THROW(zcfg::from_toml(text, "unit.toml"), zcfg::ConfigError);
}

// Whatever `config show` prints of a configuration that keeps the rules
// loads back as the same bytes: floats at their edges, and many at random.
TEST(PcConfig, WhatShowPrintsLoadsBackAsTheSameBytes) {
    const zcfg::Config def = zcfg::from_toml(default_text(), "default");
    const auto round_trip = [](const zcfg::Config& c) {
        const auto img = zcfg::eeprom_image(c);
        const zcfg::Config stored = zcfg::decode(std::vector<uint8_t>(img.begin(), img.begin() + 98), img.data() + 0xFFF4);
        const std::string shown = zcfg::to_toml(stored);
        zcfg::Config back;
        try {
            back = zcfg::from_toml(shown, "shown");
        } catch (const zcfg::ConfigError& e) {
            ADD_FAILURE() << e.what() << "\n" << shown;
            return;
        }
        EXPECT_EQ(zcfg::eeprom_image(back), img) << shown;
    };
    round_trip(def);

    std::vector<const zcfg::Field*> singles;
    for (const zcfg::Field& f : zcfg::fields())
        if (f.kind == zcfg::Kind::F32) singles.push_back(&f);
    const auto with = [&](const std::function<double(const zcfg::Field&)>& value) {
        zcfg::Config c = def;
        for (const zcfg::Field* f : singles) c[*f].number = value(*f);
        return c;
    };
    for (const double edge : {0.1, 1.0 / 3, 12.4, 59.99999618530273, 60.0, 1e-37, double(FLT_MIN),
                              double(std::nextafter(FLT_MIN, 1.0f))}) {
        round_trip(with([edge](const zcfg::Field& f) { return std::fmax(f.lo, std::fmin(edge, f.hi)); }));
    }
    std::mt19937 gen(13);
    for (int i = 0; i < 300; ++i) {
        round_trip(with([&gen](const zcfg::Field& f) {
            // Any single of the field's band.
            uint32_t lo, hi, bits;
            const float a = static_cast<float>(f.lo), b = static_cast<float>(f.hi);
            std::memcpy(&lo, &a, 4);
            std::memcpy(&hi, &b, 4);
            bits = std::uniform_int_distribution<uint32_t>(lo, hi)(gen);
            float x;
            std::memcpy(&x, &bits, 4);
            return double(x);
        }));
    }
}

TEST(PcConfig, AnErasedAreaShowsWhatTheUnitWouldRefuse) {
    const zcfg::Config c = zcfg::decode(std::vector<uint8_t>(98, 0xFF), nullptr);
    std::string all;
    for (const std::string& p : zcfg::problems(c)) all += p + "\n";
    EXPECT_NE(all.find("station.mmsi = 4294967295"), std::string::npos) << all;
    EXPECT_NE(all.find("power.low_battery = nan"), std::string::npos) << all;
    EXPECT_NE(all.find("input.1.active = 255"), std::string::npos) << all;
}

// What a new user typed and the unit took, then misbehaved with (a battery
// read as 13280 V, a fix never valid), beside values that must still pass.
TEST(PcConfig, ValuesTheUnitWouldMisbehaveWithAreRefusedAndSoundOnesPass) {
    const struct {
        const char* key;
        const char* value;
        const char* rule;   // nullptr: accepted
    } cases[] = {
        {"gps.min_satellites", "200", "3..12"},
        {"gps.min_satellites", "0", "3..12"},
        {"gps.max_quality", "99", "5..50"},
        {"gps.clock_update_minutes", "0", "once a second"},
        {"power.low_battery", "40", "9.0..12.5 V"},
        {"power.low_battery", "12.7", "9.0..12.5 V"},
        {"power.alarm_off", "8.9", "9.0..16.0 V"},
        {"power.charger_off", "12.9", "13.0..16.0 V"},
        {"power.charger_on", "16.5", "9.0..16.0 V"},
        {"power.low_battery", "0x1p3", "a decimal number"},
        {"power.low_battery", "inf", "a decimal number"},
        {"station.mmsi", "0x3B", "nine decimal digits"},
        {"station.mmsi", "1e8", "nine decimal digits"},
        {"station.mmsi", "+992241234", "nine decimal digits"},
        {"station.mmsi", "59", "e.g. 992241234"},
        {"station.mmsi", "99224123.4", "nine decimal digits"},
        {"input.1.debounce", "0x10", "in decimal digits"},
        {"station.serial_number", "-1", "in decimal digits"},
        {"calibration.battery_volts_per_count", "5", "0.0036738..0.0055107"},
        {"calibration.battery_volts_per_count", "0.000474", "within 20 %"},
        {"calibration.panel_amps_per_count", "0.0035", "0.0014648..0.0034180"},
        {"station.mmsi", "992241234", nullptr},
        {"station.mmsi", "002241234", nullptr},   // a coast station
        {"station.mmsi", "224123450", nullptr},   // a ship's: the unit works, `config show` warns
        {"gps.min_satellites", "12", nullptr},
        {"gps.max_quality", "50", nullptr},
        {"gps.clock_update_minutes", "1", nullptr},
        {"power.low_battery", "9.0", nullptr},
        {"power.low_battery", "1.15e1", nullptr},
        {"power.charger_off", "16", nullptr},
        {"calibration.battery_volts_per_count", "0.00474", nullptr},
        {"calibration.panel_amps_per_count", "0.0033", nullptr},
    };
    for (const auto& c : cases) {
        try {
            zcfg::parse_value(*zcfg::find(c.key), c.value);
            EXPECT_EQ(c.rule, nullptr) << c.key << "=" << c.value << " was accepted";
        } catch (const zcfg::ConfigError& e) {
            ASSERT_NE(c.rule, nullptr) << c.key << "=" << c.value << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.rule), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.key), std::string::npos) << e.what();
        }
    }

    // Against each other, in the unit's configuration (thresholds 11.8, 12.4,
    // 13.2, 14.4 V).
    const struct {
        std::vector<std::pair<const char*, const char*>> set;
        const char* conflict;   // nullptr: none
    } orders[] = {
        {{{"power.charger_on", "15"}}, "power.charger_on=15.0 must be below power.charger_off=14.4"},
        {{{"power.charger_on", "13.8"}, {"power.charger_off", "13.6"}},
         "power.charger_on=13.8 must be below power.charger_off=13.6"},
        {{{"power.low_battery", "12.35"}}, "power.low_battery=12.35 must be below power.alarm_off=12.4 by at least 0.1 V"},
        {{{"power.charger_on", "11.7"}}, "power.low_battery=11.8 must be below power.charger_on=11.7"},
        {{{"power.alarm_off", "14.5"}}, "power.alarm_off=14.5 must be below power.charger_off=14.4"},
        {{{"power.charger_off", "15.9"}, {"calibration.battery_volts_per_count", "0.0038"}},
         "what the battery input can read"},
        {{{"power.low_battery", "12.3"}}, nullptr},   // 0.1 V apart, as singles a hair less
        {{{"power.charger_on", "14.3"}}, nullptr},
        {{}, nullptr},
    };
    for (const auto& o : orders) {
        zcfg::Config c = zcfg::from_toml(default_text(), "default");
        for (const auto& [k, v] : o.set) c[*zcfg::find(k)] = zcfg::parse_value(*zcfg::find(k), v);
        const std::vector<std::string> found = zcfg::conflicts(c);
        if (!o.conflict) {
            EXPECT_TRUE(found.empty()) << found.front();
            continue;
        }
        ASSERT_EQ(found.size(), 1u) << (found.empty() ? "none" : found.back());
        EXPECT_NE(found[0].find(o.conflict), std::string::npos) << found[0];
        // And among what `config show` warns about in a unit holding it.
        const std::vector<std::string> all = zcfg::problems(c);
        EXPECT_NE(std::find(all.begin(), all.end(), found[0]), all.end());
    }

    // A file says 0x3B to TOML as well.
    std::string text = default_text();
    text.replace(text.find("mmsi = 992241234"), 16, "mmsi = 0x3B5BE3F2");
    try {
        zcfg::from_toml(text, "unit.toml");
        ADD_FAILURE() << "a hexadecimal MMSI was loaded";
    } catch (const zcfg::ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("station.mmsi must be written in decimal digits"), std::string::npos)
            << e.what();
    }
}
