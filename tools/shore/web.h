// The station monitor's web page and the HTTP API it is drawn from. Every
// JSON body comes from api:: (api.h lists the routes); this file serves
// them, checks parameters and who may write, and compresses.
//
//     GET /                      the station table, the feed's state, the map, the events
//     GET /station/MMSI          one station: its values, availability, charts, export, events
//     GET /page/FILE             the page's scripts and style (tools/shore/page/, built in)
//     GET /chart.js              Chart.js as Debian installs it (libjs-chart.js)
//     GET /leaflet.js, /leaflet.css, /images/*.png   Leaflet as Debian installs it (libjs-leaflet)
//     GET|POST /api/...          api.h's routes
//
// Answers are gzip-compressed at a fast level when the client takes gzip,
// never with brotli: the library's brotli runs at its slowest setting.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "api.h"

namespace zelmora::shore {

using WebSources = api::Sources;

struct WebOptions {
    std::string ack_token;   // POST /api/ack from another machine needs "Authorization: Bearer TOKEN"
    std::string tiles_url;   // a tile URL template for the map; empty: a plain lat/lon grid
};

// The functions the routes answer with: api::'s. A test may stand its own
// in front of them.
struct WebApi {
    std::function<nlohmann::json(api::Sources&)> status = api::status;
    std::function<nlohmann::json(api::Sources&, std::uint64_t)> stations = api::stations;
    std::function<api::Reply(api::Sources&, std::uint32_t, long)> station = api::station;
    std::function<nlohmann::json(api::Sources&, std::optional<std::uint32_t>, int, std::optional<std::int64_t>)>
        events = api::events;
    std::function<nlohmann::json(api::Sources&, std::int64_t, std::int64_t, std::optional<std::uint32_t>)>
        availability = api::availability;
    std::function<nlohmann::json(api::Sources&)> unknown = api::unknown;
    std::function<api::Reply(api::Sources&, const nlohmann::json&, std::int64_t)> acknowledge = api::acknowledge;
    std::function<api::Reply(api::Sources&, std::uint32_t, std::int64_t, std::int64_t)> reports_csv =
        api::reports_csv;
    std::function<api::Reply(api::Sources&, std::int64_t, std::int64_t, std::optional<std::uint32_t>)> events_csv =
        api::events_csv;
};

// Where Chart.js and Leaflet are looked for, first found served.
extern const char* const kChartJsPaths[];
extern const char* const kLeafletDir;

// Whether a write may go through: from a peer on the loopback address, or
// with "Bearer TOKEN" when a token was given.
bool may_write(const std::string& peer, const std::string& authorization, const std::string& token);

// "1796748150" or "2026-12-08T16:42:30Z" as UNIX seconds; nullopt for anything else.
std::optional<std::int64_t> parse_time(const std::string& s);

class Web {
public:
    explicit Web(api::Sources src, WebOptions options = {}, WebApi fns = {});
    ~Web();
    // Listens on host:port (0: a free port) in a thread of its own; false and
    // `error` set when it cannot.
    bool start(const std::string& host, int port, std::string& error);
    int port() const { return port_; }
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace zelmora::shore
