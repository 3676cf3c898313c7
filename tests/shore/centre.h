// A monitoring centre in the test's own process for the page's tests: a
// monitor fed decoded messages directly, its store in memory, and the page
// serving it on a free loopback port.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ais/ais.h"
#include "shore/monitor.h"
#include "shore/store.h"
#include "shore/web.h"

namespace centre {

namespace ais = zelmora::ais;
namespace shore = zelmora::shore;
using json = nlohmann::json;

constexpr std::int64_t kT0 = 1796737500;   // 2026-12-08T13:45:00Z

struct Fields {
    double battery_v = 12.6, panel_a = 0.5, charge_ah = 3.0;
    double lat = 43.37894, lon = -8.39285;
    bool low = false, in1 = false, in2 = false;
};

// The unit's monitoring report, written field by field from the decoder's table.
inline ais::Message report(std::uint32_t mmsi, std::int64_t t, const Fields& f) {
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
    put("alarm_input1", f.in1);
    put("alarm_input2", f.in2);
    put("lat_deg", std::llround(f.lat * 600000));
    put("lon_deg", std::llround(f.lon * 600000));
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
    m.report = ais::decode_report(b, 0);
    return m;
}

inline ais::Message aton(std::uint32_t mmsi, std::int64_t t, const std::string& name, double lat, double lon) {
    ais::Message m;
    m.type = 21;
    m.mmsi = mmsi;
    m.received = t;
    m.aton = ais::AtonPosition{};
    m.aton->name = name;
    m.aton->lat = lat;
    m.aton->lon = lon;
    return m;
}

struct Centre {
    std::mutex mu;
    shore::Store store{":memory:"};
    shore::Monitor mon{store, shore::Limits{}, nullptr};
    shore::api::Sources src{&mu, &mon, &store, [] {
                                return json{{"inputs", json::array()}, {"messages", 0}, {"errors", 0},
                                            {"lost", 0}, {"bad_times", 0}, {"silent", false}};
                            }};
    std::vector<json> ack_requests;                          // every POST /api/ack that reached the monitor
    std::unique_ptr<shore::Web> web;
    std::string url;   // "http://127.0.0.1:PORT"

    // The acknowledgements that came, read under the lock the page's threads hold.
    std::vector<json> acks() {
        std::lock_guard<std::mutex> lock(mu);
        return ack_requests;
    }

    // Calls under the lock, as the feed threads would.
    void handle(const ais::Message& m) {
        std::lock_guard<std::mutex> lock(mu);
        mon.handle(m, m.received.value_or(kT0));
    }

    // The monitor's own answers, with every acknowledgement that reached it noted.
    shore::WebApi api() {
        shore::WebApi fns;
        fns.acknowledge = [this](shore::api::Sources& src, const json& req, std::int64_t now) {
            ack_requests.push_back(req);
            return shore::api::acknowledge(src, req, now);
        };
        return fns;
    }

    // Serves with `fns` (api() unless given).
    bool serve(shore::WebOptions opt = {}) { return serve_with(api(), std::move(opt)); }
    bool serve_with(shore::WebApi fns, shore::WebOptions opt = {}) {
        web = std::make_unique<shore::Web>(src, std::move(opt), std::move(fns));
        std::string why;
        if (!web->start("127.0.0.1", 0, why)) return false;
        url = "http://127.0.0.1:" + std::to_string(web->port());
        return true;
    }
};

}  // namespace centre
