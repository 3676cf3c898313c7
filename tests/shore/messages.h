// The station monitor's tests' own messages and a monitor to feed them to.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "shore/monitor.h"
#include "shore/store.h"

namespace shore_test {

namespace ais = zelmora::ais;
namespace shore = zelmora::shore;

constexpr std::uint32_t kMmsi = 992241234;
constexpr std::int64_t kT0 = 1796737500;            // 2026-12-08T13:45:00Z
constexpr std::int64_t kWall = kT0 + 10 * 86400;    // when the recordings are read back
constexpr double kLat = 43.37894, kLon = -8.39285;

struct Fields {
    double battery_v = 12.6, panel_a = 0.5, charge_ah = 3.0;
    std::optional<double> lat = kLat, lon = kLon;
    bool low = false, gps = false, in1 = false, in2 = false, in3 = false;
};

// The report's binary data (DAC on), written field by field from the
// decoder's own table, so that the test follows its keys.
inline ais::Message report(std::optional<std::int64_t> t, const Fields& f, std::uint32_t mmsi = kMmsi) {
    std::vector<int> bits(ais::kReportBits, 0);
    const auto put = [&](const char* key, std::int64_t raw) {
        for (const auto& fd : ais::report_fields())
            if (std::string(fd.key) == key)
                for (unsigned i = 0; i < fd.width; ++i) bits[fd.first + i] = (raw >> (fd.width - 1 - i)) & 1;
    };
    put("battery_v", std::llround(f.battery_v * 20));
    put("panel_a", std::llround(f.panel_a * 20));
    put("charge_ah", std::llround(f.charge_ah * 20));
    put("alarm_low_battery", f.low);
    put("alarm_gps", f.gps);
    put("alarm_input1", f.in1);
    put("alarm_input2", f.in2);
    put("alarm_input3", f.in3);
    put("lat_deg", f.lat ? std::llround(*f.lat * 600000) : 91 * 600000);
    put("lon_deg", f.lon ? std::llround(*f.lon * 600000) : 181 * 600000);
    std::string chars;
    for (std::size_t i = 0; i < bits.size(); i += 6) {
        int v = 0;
        for (std::size_t k = i; k < i + 6; ++k) v = v * 2 + (k < bits.size() ? bits[k] : 0);
        chars += static_cast<char>(v < 40 ? v + 48 : v + 56);
    }
    ais::Bits b;
    b.append_armoured(chars);
    ais::Message m;
    m.type = 6;
    m.mmsi = mmsi;
    m.received = t;
    m.bits = b;
    m.report = ais::decode_report(b, 0);
    return m;
}

inline ais::Message aton(std::optional<std::int64_t> t, double lat = kLat, double lon = kLon,
                         std::uint32_t mmsi = kMmsi) {
    ais::Message m;
    m.type = 21;
    m.mmsi = mmsi;
    m.received = t;
    m.aton = ais::AtonPosition{};
    m.aton->name = "ZELMORA NORTE";
    m.aton->lat = lat;
    m.aton->lon = lon;
    return m;
}

// The feeds these tests play carry their own times: read back as recordings.
inline shore::Options replay() {
    shore::Options o;
    o.replay = true;
    return o;
}
inline shore::Options live() { return shore::Options{}; }

struct Watch {
    explicit Watch(const std::string& db = ":memory:", shore::Options o = replay())
        : store(db), mon(store, std::move(o), [this](const auto& e) { events.push_back(e); }) {}
    // The events told since the last call, as "event[:alarm]".
    std::vector<std::string> told() {
        std::vector<std::string> out;
        for (const auto& e : events)
            out.push_back(e["event"].template get<std::string>() +
                          (e.contains("alarm") ? ":" + e["alarm"].template get<std::string>() : ""));
        events.clear();
        return out;
    }
    const shore::Station& station(std::uint32_t mmsi = kMmsi) const { return mon.stations().at(mmsi); }

    shore::Store store;
    std::vector<nlohmann::ordered_json> events;
    shore::Monitor mon;
};

using Told = std::vector<std::string>;

}  // namespace shore_test
