// The station monitor's web page: the station table, a page per station with
// its history, the events; and the JSON they are drawn from.
//
//     GET /                      the station table, refreshed every 3 s
//     GET /station/MMSI          one station: battery, panel and charge over time, its events
//     GET /api/stations          {"now", "limits", "feed", "stations": [...]}
//     GET /api/station/MMSI      {"station", "history", "events"}; ?days=N (default 7, 0: all)
//     GET /api/events            the latest events, newest first; ?mmsi=N, ?limit=N (default 50)
//     GET /chart.js              Chart.js as Debian installs it (libjs-chart.js)
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace zelmora::shore {

class Monitor;
class Store;

struct WebSources {
    std::mutex* mu;                        // held while monitor or store are read
    Monitor* monitor;
    Store* store;
    std::function<nlohmann::json()> feed;  // the inputs' counters (called under mu)
};

// Where Chart.js is looked for, first found served.
extern const char* const kChartJsPaths[];

class Web {
public:
    explicit Web(WebSources src);
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
