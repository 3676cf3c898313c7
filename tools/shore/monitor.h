// zelmora_shore: the AtoN authority's watch over its stations. Every decoded
// message goes to Monitor::handle; it follows each station by MMSI, keeps
// what it heard in the Store and raises events (one JSON object each) as the
// stations' state changes.
//
// Time: a message's time is its tag block receive time (c:) when it has one,
// the wall clock otherwise. The monitor's clock, on which reports fall
// overdue, is the latest message time seen; while the messages come without
// tag blocks (or before any came) the wall clock moves it on between them.
// A feed stamped with another clock (the simulator's virtual UTC) thus
// drives the overdue checks by its own messages alone.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ais/ais.h"

namespace zelmora::shore {

class Store;

struct Limits {
    double low_battery_v = 11.8;      // battery_low below this
    double battery_ok_margin_v = 0.2; // battery_ok once back at limit + margin
    double off_position_m = 100;      // off_position beyond this
    double on_position_ratio = 0.9;   // on_position once back within ratio * limit
    double overdue_intervals = 2.5;   // overdue after this many intervals of silence
};

// Metres along the great circle (haversine, mean earth radius 6371008.8 m).
double distance_m(double lat1, double lon1, double lat2, double lon2);

// "2026-12-08T13:48:30Z".
std::string iso_utc(std::int64_t unix_seconds);

struct Station {
    std::uint32_t mmsi = 0;
    std::string name;                           // Message 21's, else the report's own
    std::optional<std::int64_t> first_heard, last_heard;   // any message
    std::optional<std::int64_t> last_report;    // monitoring reports only
    std::string last_signature;                 // of the last report, to drop a second copy
    std::vector<std::int64_t> gaps;             // seconds between the latest reports, oldest first
    long reports = 0;
    std::optional<double> battery_v, panel_a, charge_ah;
    std::string charger;
    std::optional<double> lat, lon;             // the report's GPS position
    std::optional<double> charted_lat, charted_lon;   // announced in Message 21
    std::optional<double> distance;             // metres between the two
    std::map<std::string, bool> alarms;         // every alarm flag heard, by name
    bool overdue = false, battery_low = false, off_position = false;

    // The reporting interval learned from the gaps; nullopt before two reports.
    std::optional<double> interval_s() const;
};

nlohmann::ordered_json to_json(const Station& s);
Station station_from_json(const nlohmann::json& j);   // throws nlohmann::json::exception

class Monitor {
public:
    using Sink = std::function<void(const nlohmann::ordered_json& event)>;

    // Takes up the stations the store holds.
    Monitor(Store& store, Limits limits, Sink sink);

    void handle(const ais::Message& m, std::int64_t wall_now);
    // Between messages: moves a wall-clock feed's clock on, checks for overdue reports.
    void tick(std::int64_t wall_now);

    std::optional<std::int64_t> now() const { return clock_; }
    const std::map<std::uint32_t, Station>& stations() const { return stations_; }
    const Limits& limits() const { return limits_; }

private:
    template <class F>
    void transaction(F&& f);
    Station& station(const ais::Message& m, std::int64_t t);
    void advance(std::optional<std::int64_t> tagged, std::int64_t wall_now);
    void take_aton(Station& s, const ais::AtonPosition& a, std::int64_t t);
    void take_report(Station& s, const ais::Message& m, std::int64_t t);
    void take_monitor(Station& s, const ais::Message& m, std::int64_t t);
    void heard_report(Station& s, std::int64_t t);
    void set_alarm(Station& s, const std::string& alarm, bool on, std::int64_t t);
    void check_battery(Station& s, std::int64_t t);
    void check_position(Station& s, std::int64_t t);
    bool overdue(const Station& s) const;   // silent too long, not yet told
    bool due_overdue() const;
    void check_overdue();
    void emit(Station& s, std::int64_t t, const char* event, nlohmann::ordered_json extra = {});

    Store& store_;
    Limits limits_;
    Sink sink_;
    std::map<std::uint32_t, Station> stations_;
    std::vector<nlohmann::ordered_json> pending_;   // events to tell once kept
    std::optional<std::int64_t> clock_;
    bool tagged_ = false;   // the latest message carried a receive time
};

}  // namespace zelmora::shore
