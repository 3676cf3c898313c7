// The station monitor's HTTP API as functions: each builds one response body
// from the monitor and the store. The page (web.cpp) maps the routes onto
// them, checks who may write, and compresses; everything it serves as JSON
// comes from here.
//
//     GET  /api/status                     status()
//     GET  /api/stations?since=REV         stations(): only what changed since REV
//     GET  /api/station/MMSI?days=N        station()
//     GET  /api/events?mmsi=&limit=&before=ID   events()
//     GET  /api/availability?from=&to=&mmsi=    availability()
//     GET  /api/unknown                    unknown()
//     POST /api/ack                        acknowledge()
//     GET  /api/export/reports.csv?mmsi=&from=&to=   reports_csv()
//     GET  /api/export/events.csv?from=&to=&mmsi=    events_csv()
//
// Every string in a body is valid UTF-8 (utf8_shown), so a strict dump()
// never throws.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace zelmora::shore {

class Monitor;
class Store;

// Text that may not be UTF-8 (from the air, a file name) as shown: every
// byte that is not part of a valid sequence becomes the four characters \xNN.
std::string utf8_shown(const std::string& s);

namespace api {

struct Sources {
    std::mutex* mu;                        // held while monitor or store are read
    Monitor* monitor;
    Store* store;
    std::function<nlohmann::json()> feed;  // the inputs' counters (called under mu)
};

struct Reply {
    int status = 200;
    nlohmann::json body;                   // for JSON replies
    std::string text;                      // for CSV replies
};

nlohmann::json status(Sources& src);
nlohmann::json stations(Sources& src, std::uint64_t since_rev);
Reply station(Sources& src, std::uint32_t mmsi, long days);
nlohmann::json events(Sources& src, std::optional<std::uint32_t> mmsi, int limit, std::optional<std::int64_t> before_id);
nlohmann::json availability(Sources& src, std::int64_t from, std::int64_t to, std::optional<std::uint32_t> mmsi);
nlohmann::json unknown(Sources& src);
Reply acknowledge(Sources& src, const nlohmann::json& request, std::int64_t wall_now);
Reply reports_csv(Sources& src, std::uint32_t mmsi, std::int64_t from, std::int64_t to);
Reply events_csv(Sources& src, std::int64_t from, std::int64_t to, std::optional<std::uint32_t> mmsi);

}  // namespace api
}  // namespace zelmora::shore
