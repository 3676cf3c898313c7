#include "monitor.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "store.h"

namespace zelmora::shore {

namespace {

constexpr std::size_t kGapsKept = 8;
constexpr std::int64_t kSecondCopy = 1;   // a report this close to the last one, equal to it, is the same one

// The unit's alarm flags, as the events name them.
constexpr std::pair<const char*, const char*> kReportAlarms[] = {
    {"alarm_low_battery", "low_battery"}, {"alarm_gps", "gps"},       {"alarm_input1", "input1"},
    {"alarm_input2", "input2"},           {"alarm_input3", "input3"},
};

std::optional<double> number(const ais::Report& r, const char* key) {
    const ais::Value* v = r.find(key);
    return v ? v->number() : std::nullopt;
}

template <class T>
nlohmann::json opt(const std::optional<T>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

template <class T>
std::optional<T> get_opt(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    return it->get<T>();
}

double rounded(double v, double step) { return std::round(v / step) * step; }

}  // namespace

double distance_m(double lat1, double lon1, double lat2, double lon2) {
    constexpr double kRadius = 6371008.8;
    constexpr double kRad = 3.14159265358979323846 / 180;
    const double dlat = (lat2 - lat1) * kRad, dlon = (lon2 - lon1) * kRad;
    const double a = std::sin(dlat / 2) * std::sin(dlat / 2) +
                     std::cos(lat1 * kRad) * std::cos(lat2 * kRad) * std::sin(dlon / 2) * std::sin(dlon / 2);
    return 2 * kRadius * std::asin(std::min(1.0, std::sqrt(a)));
}

std::string iso_utc(std::int64_t t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    char b[32];
    if (!gmtime_r(&tt, &tm) || std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) return std::to_string(t);
    return b;
}

std::optional<double> Station::interval_s() const {
    if (gaps.empty()) return std::nullopt;
    // The lower median: a missed report or two doubles a gap without moving it.
    std::vector<std::int64_t> g = gaps;
    std::sort(g.begin(), g.end());
    return static_cast<double>(g[(g.size() - 1) / 2]);
}

nlohmann::ordered_json to_json(const Station& s) {
    nlohmann::ordered_json j;
    j["mmsi"] = s.mmsi;
    j["name"] = s.name;
    j["first_heard"] = opt(s.first_heard);
    j["last_heard"] = opt(s.last_heard);
    j["last_report"] = opt(s.last_report);
    j["interval_s"] = opt(s.interval_s());
    j["gaps"] = s.gaps;
    j["reports"] = s.reports;
    j["battery_v"] = opt(s.battery_v);
    j["panel_a"] = opt(s.panel_a);
    j["charge_ah"] = opt(s.charge_ah);
    j["charger"] = s.charger;
    j["lat"] = opt(s.lat);
    j["lon"] = opt(s.lon);
    j["charted_lat"] = opt(s.charted_lat);
    j["charted_lon"] = opt(s.charted_lon);
    j["distance_m"] = s.distance ? nlohmann::json(rounded(*s.distance, 0.1)) : nlohmann::json(nullptr);
    j["alarms"] = s.alarms;
    j["overdue"] = s.overdue;
    j["battery_low"] = s.battery_low;
    j["off_position"] = s.off_position;
    return j;
}

Station station_from_json(const nlohmann::json& j) {
    Station s;
    s.mmsi = j.at("mmsi").get<std::uint32_t>();
    s.name = j.at("name").get<std::string>();
    s.first_heard = get_opt<std::int64_t>(j, "first_heard");
    s.last_heard = get_opt<std::int64_t>(j, "last_heard");
    s.last_report = get_opt<std::int64_t>(j, "last_report");
    s.gaps = j.at("gaps").get<std::vector<std::int64_t>>();
    s.reports = j.at("reports").get<long>();
    s.battery_v = get_opt<double>(j, "battery_v");
    s.panel_a = get_opt<double>(j, "panel_a");
    s.charge_ah = get_opt<double>(j, "charge_ah");
    s.charger = j.at("charger").get<std::string>();
    s.lat = get_opt<double>(j, "lat");
    s.lon = get_opt<double>(j, "lon");
    s.charted_lat = get_opt<double>(j, "charted_lat");
    s.charted_lon = get_opt<double>(j, "charted_lon");
    s.distance = get_opt<double>(j, "distance_m");
    s.alarms = j.at("alarms").get<std::map<std::string, bool>>();
    s.overdue = j.at("overdue").get<bool>();
    s.battery_low = j.at("battery_low").get<bool>();
    s.off_position = j.at("off_position").get<bool>();
    return s;
}

Monitor::Monitor(Store& store, Limits limits, Sink sink) : store_(store), limits_(limits), sink_(std::move(sink)) {
    for (Station& s : store_.stations()) stations_[s.mmsi] = std::move(s);
}

void Monitor::advance(std::optional<std::int64_t> tagged, std::int64_t wall_now) {
    // A change of clock kind starts the clock afresh: a virtual UTC may lie
    // before the wall clock.
    const std::int64_t t = tagged.value_or(wall_now);
    clock_ = clock_ && tagged_ == tagged.has_value() ? std::max(*clock_, t) : t;
    tagged_ = tagged.has_value();
}

template <class F>
void Monitor::transaction(F&& f) {
    store_.begin();
    try {
        f();
        store_.commit();
    } catch (...) {
        store_.rollback();
        pending_.clear();
        throw;
    }
    // Told once kept, so that what standard output said is in the database.
    std::vector<nlohmann::ordered_json> out;
    out.swap(pending_);
    if (sink_)
        for (const auto& e : out) sink_(e);
}

void Monitor::handle(const ais::Message& m, std::int64_t wall_now) {
    advance(m.received, wall_now);
    const std::int64_t t = m.received.value_or(wall_now);
    const bool monitoring = m.report || m.monitor;
    if (!monitoring && !m.aton) {
        if (due_overdue()) transaction([&] { check_overdue(); });
        return;
    }
    transaction([&] {
        Station& s = station(m, t);
        s.last_heard = s.last_heard ? std::max(*s.last_heard, t) : t;
        if (m.aton) take_aton(s, *m.aton, t);
        if (m.report) take_report(s, m, t);
        if (m.monitor) take_monitor(s, m, t);
        store_.save(s);
        check_overdue();
    });
}

void Monitor::tick(std::int64_t wall_now) {
    if (!clock_ || tagged_) return;
    clock_ = std::max(*clock_, wall_now);
    if (due_overdue()) transaction([&] { check_overdue(); });
}

Station& Monitor::station(const ais::Message& m, std::int64_t t) {
    auto it = stations_.find(m.mmsi);
    if (it != stations_.end()) return it->second;
    Station& s = stations_[m.mmsi];
    s.mmsi = m.mmsi;
    s.first_heard = t;
    if (m.aton) s.name = m.aton->name;
    const ais::Value* name = m.report ? m.report->find("name") : nullptr;
    if (s.name.empty() && name) s.name = name->text;
    emit(s, t, "new_station");
    return s;
}

void Monitor::take_aton(Station& s, const ais::AtonPosition& a, std::int64_t t) {
    if (!a.name.empty()) s.name = a.name;
    if (a.lat && a.lon) {
        s.charted_lat = a.lat;
        s.charted_lon = a.lon;
        check_position(s, t);
    }
}

void Monitor::take_report(Station& s, const ais::Message& m, std::int64_t t) {
    const ais::Report& r = *m.report;
    std::string signature;
    for (const ais::Value& v : r.values) signature += std::to_string(v.raw) + v.text + ',';
    if (s.last_report && std::llabs(t - *s.last_report) <= kSecondCopy && signature == s.last_signature) return;
    s.last_signature = signature;
    heard_report(s, t);

    if (s.name.empty())
        if (const ais::Value* n = r.find("name")) s.name = n->text;
    s.battery_v = number(r, "battery_v");
    s.panel_a = number(r, "panel_a");
    s.charge_ah = number(r, "charge_ah");
    const ais::Value* charger = r.find("charger");
    s.charger = charger ? charger->label() : "";
    const auto lat = number(r, "lat_deg"), lon = number(r, "lon_deg");
    s.lat = lat && lon ? lat : std::nullopt;
    s.lon = lat && lon ? lon : std::nullopt;
    if (!s.lat) s.distance.reset();   // no fix: no distance, the off-position state stands

    nlohmann::json alarms = nlohmann::json::array();
    for (const auto& [key, alarm] : kReportAlarms) {
        const ais::Value* v = r.find(key);
        if (!v) continue;
        set_alarm(s, alarm, v->flag(), t);
        if (v->flag()) alarms.push_back(alarm);
    }
    check_battery(s, t);
    check_position(s, t);

    ReportRow row;
    row.mmsi = s.mmsi;
    row.time = t;
    row.kind = "dac1fi51";
    row.battery_v = s.battery_v;
    row.panel_a = s.panel_a;
    row.charge_ah = s.charge_ah;
    row.lat = s.lat;
    row.lon = s.lon;
    row.alarms = alarms.dump();
    row.data = ais::to_json(m).dump();
    store_.add_report(row);
}

void Monitor::take_monitor(Station& s, const ais::Message& m, std::int64_t t) {
    const ais::AtonMonitor& a = *m.monitor;
    heard_report(s, t);
    s.battery_v = a.internal_v;
    // 3: the light or racon says it is in error.
    const std::pair<const char*, bool> flags[] = {
        {"general", a.alarm}, {"light", a.light == 3}, {"racon", a.racon == 3}, {"own_off_position", a.off_position}};
    nlohmann::json alarms = nlohmann::json::array();
    for (const auto& [alarm, on] : flags) {
        set_alarm(s, alarm, on, t);
        if (on) alarms.push_back(alarm);
    }
    check_battery(s, t);

    ReportRow row;
    row.mmsi = s.mmsi;
    row.time = t;
    row.kind = "dac235fi10";
    row.battery_v = s.battery_v;
    row.alarms = alarms.dump();
    row.data = ais::to_json(m).dump();
    store_.add_report(row);
}

void Monitor::heard_report(Station& s, std::int64_t t) {
    std::optional<std::int64_t> gap;
    if (s.last_report) gap = t - *s.last_report;
    // Two receivers hearing one transmission give no spacing; a clock that
    // went back (a new run of a recorded or simulated feed) none either.
    if (gap && *gap > kSecondCopy) {
        s.gaps.push_back(*gap);
        if (s.gaps.size() > kGapsKept) s.gaps.erase(s.gaps.begin());
    }
    s.last_report = t;
    ++s.reports;
    if (s.overdue) {
        s.overdue = false;
        emit(s, t, "heard_again", {{"silent_s", gap ? nlohmann::json(*gap) : nlohmann::json(nullptr)}});
    }
}

void Monitor::set_alarm(Station& s, const std::string& alarm, bool on, std::int64_t t) {
    bool& state = s.alarms[alarm];
    if (state == on) return;
    state = on;
    emit(s, t, on ? "alarm_raised" : "alarm_cleared", {{"alarm", alarm}});
}

void Monitor::check_battery(Station& s, std::int64_t t) {
    if (!s.battery_v) return;
    const double v = *s.battery_v;
    if (!s.battery_low && v < limits_.low_battery_v) {
        s.battery_low = true;
        emit(s, t, "battery_low", {{"battery_v", v}, {"limit_v", limits_.low_battery_v}});
    } else if (s.battery_low && v >= limits_.low_battery_v + limits_.battery_ok_margin_v) {
        s.battery_low = false;
        emit(s, t, "battery_ok", {{"battery_v", v}});
    }
}

void Monitor::check_position(Station& s, std::int64_t t) {
    if (!s.lat || !s.lon || !s.charted_lat || !s.charted_lon) return;
    const double d = distance_m(*s.charted_lat, *s.charted_lon, *s.lat, *s.lon);
    s.distance = d;
    nlohmann::ordered_json where = {{"distance_m", rounded(d, 0.1)}, {"lat", *s.lat},
                                    {"lon", *s.lon},                 {"charted_lat", *s.charted_lat},
                                    {"charted_lon", *s.charted_lon}};
    if (!s.off_position && d > limits_.off_position_m) {
        s.off_position = true;
        where["limit_m"] = limits_.off_position_m;
        emit(s, t, "off_position", std::move(where));
    } else if (s.off_position && d <= limits_.on_position_ratio * limits_.off_position_m) {
        s.off_position = false;
        emit(s, t, "on_position", std::move(where));
    }
}

bool Monitor::overdue(const Station& s) const {
    const auto interval = s.interval_s();
    return clock_ && !s.overdue && s.last_report && interval &&
           static_cast<double>(*clock_ - *s.last_report) > limits_.overdue_intervals * *interval;
}

bool Monitor::due_overdue() const {
    return std::any_of(stations_.begin(), stations_.end(), [this](const auto& p) { return overdue(p.second); });
}

void Monitor::check_overdue() {
    for (auto& [mmsi, s] : stations_) {
        if (!overdue(s)) continue;
        s.overdue = true;
        emit(s, *clock_, "overdue",
             {{"last_report", iso_utc(*s.last_report)},
              {"interval_s", *s.interval_s()},
              {"silent_s", *clock_ - *s.last_report}});
        store_.save(s);
    }
}

void Monitor::emit(Station& s, std::int64_t t, const char* event, nlohmann::ordered_json extra) {
    nlohmann::ordered_json j;
    j["time"] = iso_utc(t);
    j["event"] = event;
    j["mmsi"] = s.mmsi;
    j["name"] = s.name.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s.name);
    if (extra.is_object())
        for (auto& [k, v] : extra.items()) j[k] = v;
    store_.add_event(t, s.mmsi, event, j.dump());
    pending_.push_back(std::move(j));
}

}  // namespace zelmora::shore
