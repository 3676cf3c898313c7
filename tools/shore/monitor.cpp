#include "monitor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "api.h"

namespace zelmora::shore {

namespace {

constexpr std::size_t kGapsKept = 8;
constexpr std::int64_t kSecondCopy = 1;   // a report this close to the last one, equal to it, is the same one
constexpr std::int64_t kHour = 3600, kDay = 86400;
constexpr std::size_t kUnsavedKept = 100;
constexpr std::int64_t kRetryS = 10;      // a failing database is tried again this often without traffic
constexpr std::size_t kUnknownToldPerHour = 60;

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

// FI 10's two bits as the page names them; a racon "not monitored" is not known.
std::optional<std::string> light_state(unsigned v) {
    static const char* const names[4] = {"none", "on", "off", "error"};
    return std::string(names[v & 3u]);
}
std::optional<std::string> racon_state(unsigned v) {
    if (v == 1) return std::nullopt;
    static const char* const names[4] = {"none", "", "on", "error"};
    return std::string(names[v & 3u]);
}

nlohmann::ordered_json iso_or_null(const std::optional<std::int64_t>& t) {
    return t ? nlohmann::ordered_json(iso_utc(*t)) : nlohmann::ordered_json(nullptr);
}

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

void Station::gaps_changed() {
    if (gaps.empty()) {
        learned_.reset();
        return;
    }
    // The lower median: a missed report or two doubles a gap without moving it.
    std::vector<std::int64_t> g = gaps;
    std::sort(g.begin(), g.end());
    learned_ = static_cast<double>(g[(g.size() - 1) / 2]);
}

std::optional<double> Station::interval_s() const {
    return register_interval_s ? register_interval_s : learned_interval_s();
}

std::optional<std::int64_t> Station::known_since() const {
    if (registered_since && first_heard) return std::min(*registered_since, *first_heard);
    return registered_since ? registered_since : first_heard;
}

nlohmann::ordered_json to_json(const Station& s) {
    nlohmann::ordered_json j;
    j["mmsi"] = s.mmsi;
    j["name"] = s.name;
    j["registered"] = s.registered;
    j["rev"] = s.rev;
    j["registered_since"] = opt(s.registered_since);
    j["first_heard"] = opt(s.first_heard);
    j["last_heard"] = opt(s.last_heard);
    j["last_report"] = opt(s.last_report);
    j["interval_s"] = opt(s.interval_s());
    j["register_interval_s"] = opt(s.register_interval_s);
    j["gaps"] = s.gaps;
    j["last_payload"] = s.last_payload;
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
    j["off_position_m"] = s.off_position_m;
    j["low_battery_v"] = s.low_battery_v;
    j["light"] = opt(s.light);
    j["racon"] = opt(s.racon);
    j["inputs"] = s.inputs;
    j["alarms"] = s.alarms;
    j["unacknowledged"] = s.unacknowledged;
    j["overdue"] = s.overdue;
    j["battery_low"] = s.battery_low;
    j["off_position"] = s.off_position;
    j["off_by_distance"] = s.off_by_distance;
    j["off_by_flag"] = s.off_by_flag;
    return j;
}

Station station_from_json(const nlohmann::json& j) {
    // Keys the first schema did not have are read with their defaults.
    Station s;
    s.mmsi = j.at("mmsi").get<std::uint32_t>();
    s.name = j.at("name").get<std::string>();
    s.registered = j.value("registered", false);
    s.rev = j.value("rev", std::uint64_t{0});
    s.registered_since = get_opt<std::int64_t>(j, "registered_since");
    s.first_heard = get_opt<std::int64_t>(j, "first_heard");
    s.last_heard = get_opt<std::int64_t>(j, "last_heard");
    s.last_report = get_opt<std::int64_t>(j, "last_report");
    s.register_interval_s = get_opt<double>(j, "register_interval_s");
    s.gaps = j.at("gaps").get<std::vector<std::int64_t>>();
    s.gaps_changed();
    s.last_payload = j.value("last_payload", std::string());
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
    s.light = get_opt<std::string>(j, "light");
    s.racon = get_opt<std::string>(j, "racon");
    if (j.contains("inputs")) s.inputs = j.at("inputs").get<std::map<std::string, bool>>();
    s.alarms = j.at("alarms").get<std::map<std::string, bool>>();
    if (j.contains("unacknowledged")) s.unacknowledged = j.at("unacknowledged").get<std::vector<std::string>>();
    s.overdue = j.at("overdue").get<bool>();
    s.battery_low = j.at("battery_low").get<bool>();
    s.off_position = j.at("off_position").get<bool>();
    s.off_by_distance = j.value("off_by_distance", s.off_position);
    s.off_by_flag = j.value("off_by_flag", false);
    return s;
}

// ---- taking up what the store holds ----

Monitor::Monitor(Store& store, Limits limits, Sink sink) : Monitor(store, [&] {
    Options o;
    o.limits = limits;
    return o;
}(), std::move(sink)) {}

Monitor::Monitor(Store& store, Options options, Sink sink)
    : store_(store), opt_(std::move(options)), sink_(std::move(sink)) {
    if (opt_.stations.empty()) opt_.learn = true;
    std::vector<Station*> changed;
    for (Station& s : store_.stations()) {
        rev_ = std::max(rev_, s.rev);
        const std::uint32_t mmsi = s.mmsi;
        const auto reg = opt_.stations.find(mmsi);
        if (reg == opt_.stations.end() && !opt_.learn) {
            // Kept in the database, not listed: the register no longer has it.
            removed_[mmsi] = 0;
            continue;
        }
        Station& here = stations_[mmsi] = std::move(s);
        if (reg != opt_.stations.end()) {
            // Registered now and not before, or under another name: kept as registered.
            if (!here.registered || here.name != utf8_shown(reg->second.name)) changed.push_back(&here);
            apply_register(here, reg->second);
        } else {
            if (here.registered) changed.push_back(&here);
            here.registered = false;
            here.register_interval_s.reset();
            here.low_battery_v = opt_.limits.low_battery_v;
            here.off_position_m = opt_.limits.off_position_m;
        }
    }
    for (const auto& [mmsi, r] : opt_.stations) {
        if (stations_.count(mmsi)) continue;
        Station& s = stations_[mmsi];
        s.mmsi = mmsi;
        apply_register(s, r);
        changed.push_back(&s);
    }
    for (auto& [mmsi, rev] : removed_) rev = ++rev_;
    for (UnknownRow& u : store_.unknown()) unknown_[u.mmsi] = std::move(u);
    if (!changed.empty()) {
        store_.begin();
        try {
            for (Station* s : changed) {
                s->rev = ++rev_;
                store_.save(*s);
            }
            store_.commit();
        } catch (...) {
            store_.rollback();
            throw;
        }
    }
}

void Monitor::apply_register(Station& s, const Registered& r) {
    s.registered = true;
    s.name = utf8_shown(r.name);
    s.charted_lat = r.lat;
    s.charted_lon = r.lon;
    s.register_interval_s = r.interval_s;
    s.low_battery_v = r.low_battery_v.value_or(opt_.limits.low_battery_v);
    s.off_position_m = r.off_position_m.value_or(opt_.limits.off_position_m);
    if (s.lat && s.lon) s.distance = distance_m(r.lat, r.lon, *s.lat, *s.lon);
}

// ---- inputs ----

int Monitor::add_input(const std::string& name, std::int64_t wall_now) {
    InputState in;
    in.name = utf8_shown(name);
    in.quiet_since = wall_now;
    inputs_.push_back(std::move(in));
    return static_cast<int>(inputs_.size()) - 1;
}

void Monitor::line(int input, std::int64_t wall_now) {
    InputState& in = inputs_.at(static_cast<std::size_t>(input));
    ++in.lines;
    in.last_line = wall_now;
    if (opt_.replay) return;   // silence is judged on the recording's own times
    in.quiet_since = wall_now;
    if (in.silent || all_silent_) transaction(wall_now, [&] { check_silence(wall_now); });
}

void Monitor::bad_line(int input) { ++inputs_.at(static_cast<std::size_t>(input)).errors; }

void Monitor::input_ended(int input) { inputs_.at(static_cast<std::size_t>(input)).ended = true; }

void Monitor::input_counters(int input, long lost, long refused) {
    InputState& in = inputs_.at(static_cast<std::size_t>(input));
    in.lost = lost;
    in.refused = refused;
}

nlohmann::json Monitor::feed_status() const {
    nlohmann::json list = nlohmann::json::array();
    long lines = 0, messages = 0, errors = 0, lost = 0, refused = 0;
    for (const InputState& in : inputs_) {
        lines += in.lines;
        messages += in.messages;
        errors += in.errors;
        lost += in.lost;
        refused += in.refused;
        list.push_back({{"name", in.name},
                        {"lines", in.lines},
                        {"messages", in.messages},
                        {"errors", in.errors},
                        {"lost", in.lost},
                        {"refused", in.refused},
                        {"bad_times", in.bad_times},
                        {"last_line", opt(in.last_line)},
                        {"silent", in.silent},
                        {"ended", in.ended}});
    }
    bool silent = all_silent_;
    if (inputs_.size() == 1) silent = inputs_[0].silent;
    return {{"inputs", list},       {"lines", lines},        {"messages", messages},
            {"errors", errors},     {"lost", lost},          {"refused", refused},
            {"bad_times", bad_times_}, {"silent", silent}, {"silent_after_s", opt_.silent_after_s}};
}

nlohmann::json Monitor::store_status() const {
    return {{"errors", store_errors_}, {"last_error", opt(last_error_)}, {"last_error_time", opt(last_error_time_)}};
}

// ---- transactions ----

template <class F>
bool Monitor::transaction(std::int64_t wall_now, F&& f) {
    std::vector<std::pair<bool, std::optional<std::int64_t>>> inputs_before;
    for (const InputState& in : inputs_) inputs_before.emplace_back(in.silent, in.bad_time_told);
    const std::uint64_t rev_before = rev_;
    const bool all_silent_before = all_silent_;
    const auto bad_time_told_before = bad_time_told_;
    try {
        store_.begin();
        // What the database could not take before goes first.
        for (const auto& [t, e] : unsaved_) store_.add_event(t, 0, "store_error", e.dump());
        f();
        for (auto& [mmsi, before] : undo_) {
            const auto it = stations_.find(mmsi);
            if (it == stations_.end()) continue;
            it->second.rev = ++rev_;
            store_.save(it->second);
        }
        store_.commit();
    } catch (const std::exception& e) {
        store_.rollback();
        // The stations as they were: the next message that raises an alarm raises it again.
        for (auto& [mmsi, before] : undo_) {
            if (before) stations_[mmsi] = std::move(*before);
            else stations_.erase(mmsi);
        }
        for (auto& [mmsi, before] : undo_unknown_) {
            if (before) unknown_[mmsi] = std::move(*before);
            else unknown_.erase(mmsi);
        }
        for (std::size_t i = 0; i < inputs_before.size(); ++i) {
            inputs_[i].silent = inputs_before[i].first;
            inputs_[i].bad_time_told = inputs_before[i].second;
        }
        rev_ = rev_before;
        all_silent_ = all_silent_before;
        bad_time_told_ = bad_time_told_before;
        undo_.clear();
        undo_unknown_.clear();
        pending_.clear();
        store_failed(e.what(), wall_now);
        return false;
    }
    undo_.clear();
    undo_unknown_.clear();
    unsaved_.clear();
    store_failing_ = false;
    // Told once kept, so that what standard output said is in the database.
    std::vector<nlohmann::ordered_json> out;
    out.swap(pending_);
    if (sink_)
        for (const auto& e : out) sink_(e);
    return true;
}

void Monitor::store_failed(const std::string& what, std::int64_t wall_now) {
    const std::int64_t t = clock_.value_or(wall_now);
    ++store_errors_;
    last_error_ = utf8_shown(what);
    last_error_time_ = wall_now;
    retry_at_ = wall_now + kRetryS;
    // Told when it starts failing, then once an hour while it goes on.
    if (store_failing_ && store_error_told_ && wall_now - *store_error_told_ < kHour) return;
    store_failing_ = true;
    store_error_told_ = wall_now;
    nlohmann::ordered_json j;
    j["time"] = iso_utc(t);
    j["event"] = "store_error";
    j["mmsi"] = nullptr;
    j["name"] = nullptr;
    j["error"] = *last_error_;
    j["errors"] = store_errors_;
    if (sink_) sink_(j);
    if (unsaved_.size() < kUnsavedKept) unsaved_.emplace_back(t, std::move(j));
}

void Monitor::touch(Station& s) {
    if (!undo_.count(s.mmsi)) undo_.emplace(s.mmsi, s);
}

Station* Monitor::listed(std::uint32_t mmsi) {
    const auto it = stations_.find(mmsi);
    return it == stations_.end() ? nullptr : &it->second;
}

// ---- time ----

std::int64_t Monitor::time_of(const ais::Message& m, std::int64_t wall_now, int input) {
    if (!opt_.replay) {
        clock_ = wall_now;
        if (!m.received) return wall_now;
        if (std::llabs(*m.received - wall_now) <= opt_.time_window_s) return *m.received;
        bad_time(m, wall_now, input, "not within the window around the wall clock");
        return wall_now;
    }
    // Without a time of its own a message goes with the recording's clock.
    if (!m.received) return clock_.value_or(wall_now);
    const std::int64_t r = *m.received;
    const char* why = nullptr;
    if (r > wall_now + opt_.time_window_s) why = "later than the wall clock";
    else if (clock_ && r < *clock_ - opt_.time_window_s) why = "runs backwards";
    else if (clock_ && r > *clock_ + opt_.replay_jump_s) why = "jumps more than a day ahead";
    if (why) {
        const std::int64_t t = clock_.value_or(wall_now);
        bad_time(m, t, input, why);
        return t;
    }
    clock_ = clock_ ? std::max(*clock_, r) : r;
    if (input >= 0) replay_silence(input, r);
    return r;
}

void Monitor::bad_time(const ais::Message& m, std::int64_t t, int input, const char* why) {
    ++bad_times_;
    InputState* in = input >= 0 ? &inputs_.at(static_cast<std::size_t>(input)) : nullptr;
    if (in) ++in->bad_times;
    // At most one event an hour per input: a receiver with a broken clock is one fault.
    std::optional<std::int64_t>& told = in ? in->bad_time_told : bad_time_told_;
    if (told && t >= *told && t - *told < kHour) return;
    told = t;
    const Station* s = listed(m.mmsi);
    emit_event(t, m.mmsi, s ? s->name : std::string(), "bad_time",
               {{"input", in ? nlohmann::ordered_json(in->name) : nlohmann::ordered_json(nullptr)},
                {"tag_time", *m.received},
                {"why", why},
                {"bad_times", in ? in->bad_times : bad_times_}});
}

// A recording with a gap: the input fell silent within it and came back.
void Monitor::replay_silence(int input, std::int64_t t) {
    InputState& in = inputs_.at(static_cast<std::size_t>(input));
    if (in.last_time && t - *in.last_time > opt_.silent_after_s) {
        const std::int64_t from = *in.last_time + opt_.silent_after_s;
        emit_event(from, std::nullopt, "", "feed_silent", {{"input", in.name}, {"silent_s", opt_.silent_after_s}});
        emit_event(t, std::nullopt, "", "feed_back", {{"input", in.name}, {"silent_s", t - *in.last_time}});
    }
    if (!in.last_time || t > *in.last_time) in.last_time = t;
}

bool Monitor::silence_due(std::int64_t wall_now) const {
    if (opt_.replay) return false;
    std::int64_t latest = 0;
    bool any = false;
    for (const InputState& in : inputs_) {
        if (in.ended) continue;
        const bool quiet = wall_now - in.quiet_since > opt_.silent_after_s;
        if (quiet != in.silent) return true;
        latest = any ? std::max(latest, in.quiet_since) : in.quiet_since;
        any = true;
    }
    const bool all = inputs_.size() > 1 && any && wall_now - latest > opt_.silent_after_s;
    return all != all_silent_;
}

void Monitor::check_silence(std::int64_t wall_now) {
    const std::int64_t t = clock_.value_or(wall_now);
    std::int64_t latest = 0;
    bool any = false;
    for (InputState& in : inputs_) {
        if (in.ended) continue;
        const std::int64_t quiet = wall_now - in.quiet_since;
        latest = any ? std::max(latest, in.quiet_since) : in.quiet_since;
        any = true;
        if (quiet > opt_.silent_after_s && !in.silent) {
            in.silent = true;
            emit_event(t, std::nullopt, "", "feed_silent", {{"input", in.name}, {"silent_s", quiet}});
        } else if (quiet <= opt_.silent_after_s && in.silent) {
            in.silent = false;
            emit_event(t, std::nullopt, "", "feed_back", {{"input", in.name}});
        }
    }
    // All inputs at once, when there are several: the shore is blind.
    const bool all = inputs_.size() > 1 && any && wall_now - latest > opt_.silent_after_s;
    if (all != all_silent_) {
        all_silent_ = all;
        emit_event(t, std::nullopt, "", all ? "feed_silent" : "feed_back",
                   {{"input", nullptr}, {"all_inputs", true}});
    }
}

// ---- messages ----

void Monitor::handle(const ais::Message& m, std::int64_t wall_now, int input, const InputPlace* place) {
    if (input >= 0) ++inputs_.at(static_cast<std::size_t>(input)).messages;
    transaction(wall_now, [&] {
        const std::int64_t t = time_of(m, wall_now, input);
        if (place) store_.save_place(*place);
        // What fell due while the clock moved on to this message, before the message itself.
        check_overdue();
        // What claims to be an aid to navigation; MMSI 0 is nobody.
        if ((m.report || m.monitor || m.aton) && m.mmsi != 0) {
            if (Station* s = listed(m.mmsi)) take(*s, m, t);
            else if (opt_.learn) take(create(m, t), m, t);
            else note_unknown(m, t);
        }
        check_overdue();
    });
}

void Monitor::keep_place(const InputPlace& place, std::int64_t wall_now) {
    transaction(wall_now, [&] { store_.save_place(place); });
}

void Monitor::tick(std::int64_t wall_now) {
    if (!opt_.replay) clock_ = wall_now;
    const bool retry = !unsaved_.empty() && wall_now >= retry_at_;
    if (due() || silence_due(wall_now) || retry)
        transaction(wall_now, [&] {
            check_silence(wall_now);
            check_overdue();
        });
}

Station& Monitor::create(const ais::Message& m, std::int64_t t) {
    undo_.emplace(m.mmsi, std::nullopt);
    Station& s = stations_[m.mmsi];
    s.mmsi = m.mmsi;
    s.first_heard = t;
    s.low_battery_v = opt_.limits.low_battery_v;
    s.off_position_m = opt_.limits.off_position_m;
    if (m.aton) s.name = utf8_shown(m.aton->name);
    const ais::Value* name = m.report ? m.report->find("name") : nullptr;
    if (s.name.empty() && name) s.name = utf8_shown(name->text);
    removed_.erase(m.mmsi);
    emit(s, t, "new_station");
    return s;
}

void Monitor::take(Station& s, const ais::Message& m, std::int64_t t) {
    touch(s);
    s.last_heard = s.last_heard ? std::max(*s.last_heard, t) : t;
    if (!s.first_heard) s.first_heard = t;
    if (m.aton) take_aton(s, *m.aton, t);
    if (m.report) take_report(s, m, t);
    if (m.monitor) take_monitor(s, m, t);
}

void Monitor::take_aton(Station& s, const ais::AtonPosition& a, std::int64_t t) {
    if (s.registered) {
        // The register is the chart: what the message says is where the aid is.
        if (a.lat && a.lon) {
            s.lat = a.lat;
            s.lon = a.lon;
        }
    } else {
        if (!a.name.empty()) s.name = utf8_shown(a.name);
        if (a.lat && a.lon) {
            s.charted_lat = a.lat;
            s.charted_lon = a.lon;
        }
    }
    // The flag means something only with a time stamp.
    if (a.second < 60) s.off_by_flag = a.off_position;
    check_position(s, t);
}

bool Monitor::heard_report(Station& s, const ais::Message& m, std::int64_t t) {
    const std::string payload = m.bits.armoured();
    if (s.last_report && std::llabs(t - *s.last_report) <= kSecondCopy && payload == s.last_payload) return false;
    s.last_payload = payload;
    std::optional<std::int64_t> gap;
    if (s.last_report) gap = t - *s.last_report;
    // Two receivers hearing one transmission give no spacing; a clock that
    // went back (a new run of a recorded or simulated feed) none either.
    if (gap && *gap > kSecondCopy) {
        s.gaps.push_back(*gap);
        if (s.gaps.size() > kGapsKept) s.gaps.erase(s.gaps.begin());
        s.gaps_changed();
    }
    if (!s.last_report || t > *s.last_report) s.last_report = t;
    ++s.reports;
    if (s.overdue) {
        // Whoever sends as a registered MMSI is heard as it: a report cannot
        // be told from a spoof by its content.
        s.overdue = false;
        emit(s, t, "heard_again", {{"silent_s", gap ? nlohmann::json(*gap) : nlohmann::json(nullptr)}});
    }
    return true;
}

void Monitor::take_report(Station& s, const ais::Message& m, std::int64_t t) {
    const ais::Report& r = *m.report;
    if (!heard_report(s, m, t)) return;
    if (!s.registered && s.name.empty())
        if (const ais::Value* n = r.find("name")) s.name = utf8_shown(n->text);
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
    // The unit's external inputs, closed or open, as their alarm flags say.
    for (const char* in : {"input1", "input2", "input3"})
        if (const ais::Value* v = r.find(std::string("alarm_") + in)) s.inputs[in] = v->flag();
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
    row.payload = s.last_payload;
    row.data = ais::to_json(m).dump();
    store_.add_report(row);
}

void Monitor::take_monitor(Station& s, const ais::Message& m, std::int64_t t) {
    const ais::AtonMonitor& a = *m.monitor;
    if (!heard_report(s, m, t)) return;
    s.battery_v = a.internal_v;
    s.light = light_state(a.light);
    s.racon = racon_state(a.racon);
    for (unsigned i = 0; i < 8; ++i) s.inputs["input" + std::to_string(i)] = (a.digital >> i & 1u) != 0;
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
    row.light = s.light;
    row.racon = s.racon;
    row.alarms = alarms.dump();
    row.payload = s.last_payload;
    row.data = ais::to_json(m).dump();
    store_.add_report(row);
}

void Monitor::note_unknown(const ais::Message& m, std::int64_t t) {
    auto it = unknown_.find(m.mmsi);
    if (!undo_unknown_.count(m.mmsi))
        undo_unknown_.emplace(m.mmsi, it == unknown_.end() ? std::nullopt : std::optional<UnknownRow>(it->second));
    UnknownRow& u = unknown_[m.mmsi];
    if (u.mmsi == 0) {
        u.mmsi = m.mmsi;
        u.first_heard = t;
        u.last_heard = t;
    }
    u.last_heard = std::max(u.last_heard, t);
    ++u.messages;
    const std::string claim = m.aton ? "Message 21" : m.report ? "DAC 1 FI 51" : "DAC 235 FI 10";
    if ((", " + u.claims + ", ").find(", " + claim + ", ") == std::string::npos)
        u.claims += (u.claims.empty() ? "" : ", ") + claim;
    if (m.aton && !m.aton->name.empty()) u.name = utf8_shown(m.aton->name);
    // Once a day per MMSI, and a few an hour in all: ten thousand invented
    // MMSIs are kept, counted and listed, not a flood of events.
    unknown_told_.erase(std::remove_if(unknown_told_.begin(), unknown_told_.end(),
                                       [t](std::int64_t x) { return x > t || t - x >= kHour; }),
                        unknown_told_.end());
    if ((!u.told || t < *u.told || t - *u.told >= kDay) && unknown_told_.size() < kUnknownToldPerHour) {
        u.told = t;
        unknown_told_.push_back(t);
        emit_event(t, m.mmsi, u.name, "unknown_station",
                   {{"claims", u.claims}, {"messages", u.messages}, {"first_heard", iso_utc(u.first_heard)}});
    }
    store_.save_unknown(u);
}

// ---- judgement ----

void Monitor::unacknowledged(Station& s, const std::string& what) {
    if (std::find(s.unacknowledged.begin(), s.unacknowledged.end(), what) == s.unacknowledged.end())
        s.unacknowledged.push_back(what);
}

void Monitor::set_alarm(Station& s, const std::string& alarm, bool on, std::int64_t t) {
    bool& state = s.alarms[alarm];
    if (state == on) return;
    state = on;
    if (on) unacknowledged(s, alarm);
    emit(s, t, on ? "alarm_raised" : "alarm_cleared", {{"alarm", alarm}});
}

void Monitor::check_battery(Station& s, std::int64_t t) {
    if (!s.battery_v) return;
    const double v = *s.battery_v;
    if (!s.battery_low && v < s.low_battery_v) {
        s.battery_low = true;
        unacknowledged(s, "battery_low");
        emit(s, t, "battery_low", {{"battery_v", v}, {"limit_v", s.low_battery_v}});
    } else if (s.battery_low && v >= s.low_battery_v + opt_.limits.battery_ok_margin_v) {
        s.battery_low = false;
        emit(s, t, "battery_ok", {{"battery_v", v}});
    }
}

void Monitor::check_position(Station& s, std::int64_t t) {
    if (s.lat && s.lon && s.charted_lat && s.charted_lon) {
        const double d = distance_m(*s.charted_lat, *s.charted_lon, *s.lat, *s.lon);
        s.distance = d;
        if (!s.off_by_distance && d > s.off_position_m) s.off_by_distance = true;
        else if (s.off_by_distance && d <= opt_.limits.on_position_ratio * s.off_position_m) s.off_by_distance = false;
    }
    const bool off = s.off_by_distance || s.off_by_flag;
    if (off == s.off_position) return;
    s.off_position = off;
    nlohmann::ordered_json where;
    where["distance_m"] = s.distance ? nlohmann::ordered_json(rounded(*s.distance, 0.1)) : nullptr;
    where["lat"] = opt(s.lat);
    where["lon"] = opt(s.lon);
    where["charted_lat"] = opt(s.charted_lat);
    where["charted_lon"] = opt(s.charted_lon);
    if (off) {
        where["limit_m"] = s.off_position_m;
        where["by"] = s.off_by_distance && s.off_by_flag ? "distance and flag" : s.off_by_flag ? "flag" : "distance";
        unacknowledged(s, "off_position");
    }
    emit(s, t, off ? "off_position" : "on_position", std::move(where));
}

bool Monitor::overdue(const Station& s) const {
    if (!clock_ || s.overdue) return false;
    const auto interval = s.interval_s();
    if (!interval) return false;
    // A registered station never heard is counted from when it was registered.
    std::int64_t since = 0;
    if (s.last_report) since = *s.last_report;
    else if (s.registered && s.registered_since) since = *s.registered_since;
    else return false;
    return static_cast<double>(*clock_ - since) > opt_.limits.overdue_intervals * *interval;
}

bool Monitor::due() const {
    return clock_ && std::any_of(stations_.begin(), stations_.end(), [this](const auto& p) {
               return overdue(p.second) || (p.second.registered && !p.second.registered_since);
           });
}

void Monitor::check_overdue() {
    if (!clock_) return;
    for (auto& [mmsi, s] : stations_) {
        if (s.registered && !s.registered_since) {
            touch(s);
            s.registered_since = *clock_;
        }
        if (!overdue(s)) continue;
        touch(s);
        s.overdue = true;
        unacknowledged(s, "overdue");
        const std::int64_t since = s.last_report ? *s.last_report : *s.registered_since;
        // A recording's clock moves in jumps: told as of when it fell due.
        const auto due_at =
            since + static_cast<std::int64_t>(std::floor(opt_.limits.overdue_intervals * *s.interval_s())) + 1;
        const std::int64_t t = opt_.replay ? std::min(*clock_, due_at) : *clock_;
        emit(s, t, "overdue",
             {{"last_report", iso_or_null(s.last_report)},
              {"interval_s", *s.interval_s()},
              {"silent_s", t - since}});
    }
}

// ---- operations ----

Monitor::Ack Monitor::acknowledge(std::uint32_t mmsi, const std::optional<std::string>& alarm, const std::string& by,
                                  const std::string& note, std::int64_t wall_now) {
    Station* s = listed(mmsi);
    if (!s) return {404, "no station " + std::to_string(mmsi), nullptr};
    std::vector<std::string> which;
    if (alarm) {
        const bool state = std::find(std::begin(kStates), std::end(kStates), *alarm) != std::end(kStates);
        const bool known = state || s->alarms.count(*alarm) ||
                           std::find(s->unacknowledged.begin(), s->unacknowledged.end(), *alarm) !=
                               s->unacknowledged.end();
        if (!known) return {404, "station " + std::to_string(mmsi) + " has no alarm \"" + utf8_shown(*alarm) + "\"", nullptr};
        which.push_back(*alarm);
    } else {
        which = s->unacknowledged;
    }
    nlohmann::json event;
    const bool kept = transaction(wall_now, [&] {
        touch(*s);
        auto& un = s->unacknowledged;
        for (const auto& a : which) un.erase(std::remove(un.begin(), un.end(), a), un.end());
        const nlohmann::json list = which;
        store_.add_ack(wall_now, mmsi, list.dump(), by, note);
        const std::int64_t id = emit(*s, wall_now, "acknowledged", {{"alarms", which}, {"by", by}, {"note", note}});
        event = nlohmann::json::parse(pending_.back().dump());
        event["id"] = id;
    });
    if (!kept) return {503, "the database failed: " + last_error_.value_or("?"), nullptr};
    return {200, "", event};
}

long Monitor::thin(int days, std::int64_t wall_now) {
    const std::int64_t now = opt_.replay ? clock_.value_or(wall_now) : wall_now;
    const std::int64_t cutoff = (now - static_cast<std::int64_t>(days) * kDay) / kHour * kHour;
    long removed = 0;
    if (!transaction(wall_now, [&] { removed = store_.thin(cutoff); })) return -1;
    return removed;
}

// ---- events ----

std::int64_t Monitor::emit(Station& s, std::int64_t t, const char* event, nlohmann::ordered_json extra) {
    return emit_event(t, s.mmsi, s.name, event, std::move(extra));
}

std::int64_t Monitor::emit_event(std::int64_t t, std::optional<std::uint32_t> mmsi, const std::string& name,
                                 const char* event, nlohmann::ordered_json extra) {
    nlohmann::ordered_json j;
    j["time"] = iso_utc(t);
    j["event"] = event;
    j["mmsi"] = mmsi ? nlohmann::ordered_json(*mmsi) : nlohmann::ordered_json(nullptr);
    j["name"] = name.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(name);
    if (extra.is_object())
        for (auto& [k, v] : extra.items()) j[k] = v;
    // Feed events belong to no station: MMSI 0, which none has.
    const std::int64_t id = store_.add_event(t, mmsi.value_or(0), event, j.dump());
    pending_.push_back(std::move(j));
    return id;
}

}  // namespace zelmora::shore
