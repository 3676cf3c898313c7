#include "api.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "monitor.h"
#include "store.h"

namespace zelmora::shore {

std::string utf8_shown(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            len = 1;
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07u;
        }
        bool ok = len > 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            ok = (p[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not text either.
        static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)) ok = false;
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            static const char* const kHex = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
            ++i;
        }
    }
    return out;
}

namespace api {

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::uint32_t kMaxMmsi = (1u << 30) - 1;

template <class T>
nlohmann::json opt(const std::optional<T>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

nlohmann::json error(const std::string& why) { return {{"error", why}}; }

// A station as the page gets it: without what only the monitor needs.
nlohmann::json station_json(const Station& s) {
    nlohmann::json j = to_json(s);
    for (const char* k : {"gaps", "last_payload", "off_by_distance", "off_by_flag"}) j.erase(k);
    return j;
}

// IALA Recommendation O-130, Categorisation and Availability Objectives for
// Short Range Aids to Navigation: the availability each category is to meet.
nlohmann::json category(const std::optional<double>& availability) {
    if (!availability) return nullptr;
    if (*availability >= 0.998) return "1";
    if (*availability >= 0.990) return "2";
    if (*availability >= 0.970) return "3";
    return "none";
}

// The share of [from, to) a station spent with nothing raised, from its
// state changes in time order.
std::optional<double> alarm_free(const std::vector<StateEvent>& events, std::int64_t from, std::int64_t to) {
    if (to <= from) return std::nullopt;
    std::set<std::string> raised;
    std::int64_t bad = 0, at = from;
    const auto until = [&](std::int64_t t) {
        t = std::min(t, to);
        if (t > at) {
            if (!raised.empty()) bad += t - at;
            at = t;
        }
    };
    for (const StateEvent& e : events) {
        until(e.time);
        if (e.event == "alarm_raised") raised.insert("alarm " + e.alarm);
        else if (e.event == "alarm_cleared") raised.erase("alarm " + e.alarm);
        else if (e.event == "overdue") raised.insert("overdue");
        else if (e.event == "heard_again") raised.erase("overdue");
        else if (e.event == "battery_low") raised.insert("battery_low");
        else if (e.event == "battery_ok") raised.erase("battery_low");
        else if (e.event == "off_position") raised.insert("off_position");
        else if (e.event == "on_position") raised.erase("off_position");
    }
    until(to);
    return 1.0 - static_cast<double>(bad) / static_cast<double>(to - from);
}

// Availability of the listed stations (or of one) over [from, to), each
// counted from when it was known.
nlohmann::json availability_of(Sources& src, std::int64_t from, std::int64_t to, std::optional<std::uint32_t> mmsi) {
    const auto& all = src.monitor->stations();
    std::map<std::uint32_t, std::vector<StateEvent>> events;
    for (StateEvent& e : src.store->state_events(mmsi, to)) events[e.mmsi].push_back(std::move(e));
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [id, s] : all) {
        if (mmsi && id != *mmsi) continue;
        nlohmann::json j = {{"mmsi", id}, {"name", s.name}};
        const auto known = s.known_since();
        const std::int64_t start = known ? std::max(from, *known) : to;
        const auto interval = s.interval_s();
        long expected = 0, got = 0;
        if (start < to && interval && *interval > 0)
            expected = static_cast<long>(std::floor(static_cast<double>(to - start) / *interval));
        if (start < to) {
            // What came before the station was known cannot count against it.
            got = src.store->received(id, start, to)[id];
        }
        j["expected_reports"] = expected;
        j["received_reports"] = got;
        j["report_availability"] =
            expected > 0 ? nlohmann::json(std::min(1.0, static_cast<double>(got) / static_cast<double>(expected)))
                         : nlohmann::json(nullptr);
        const auto free = start < to ? alarm_free(events[id], start, to) : std::nullopt;
        j["alarm_free"] = opt(free);
        j["category"] = category(free);
        j["known_from"] = start < to ? nlohmann::json(start) : nlohmann::json(nullptr);
        j["interval_s"] = opt(interval);
        list.push_back(std::move(j));
    }
    return list;
}

// RFC 4180: a field with a comma, a quote or a line break goes in quotes,
// its quotes doubled; lines end in CR LF.
std::string csv_field(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// Text from the air in a cell: a spreadsheet would run a name that starts
// with = + - @ as a formula, so such a name is given a leading apostrophe.
std::string csv_text(const std::string& v) {
    if (!v.empty() && std::string("=+-@\t\r").find(v[0]) != std::string::npos) return "'" + v;
    return v;
}

std::string csv_row(const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + csv_field(fields[i]);
    return out + "\r\n";
}

std::string num(const std::optional<double>& v) { return v ? nlohmann::json(*v).dump() : std::string(); }

// A text of 1..most characters (code points), with no control characters.
bool text_ok(const std::string& s, std::size_t least, std::size_t most) {
    std::size_t chars = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) ++chars;
        if (c < 0x20 || c == 0x7F) return false;
    }
    return chars >= least && chars <= most;
}

}  // namespace

nlohmann::json status(Sources& src) {
    const Monitor& m = *src.monitor;
    const Limits& l = m.limits();
    const Options& o = m.options();
    nlohmann::json out;
    out["now"] = opt(m.now());
    out["clock"] = o.replay ? "replay" : "wall";
    out["version"] = "zelmora-shore, database schema " + std::to_string(Store::kSchema);
    out["limits"] = {{"low_battery_v", l.low_battery_v},
                     {"battery_ok_margin_v", l.battery_ok_margin_v},
                     {"off_position_m", l.off_position_m},
                     {"on_position_ratio", l.on_position_ratio},
                     {"overdue_intervals", l.overdue_intervals},
                     {"time_window_s", o.time_window_s},
                     {"replay_jump_s", o.replay_jump_s},
                     {"silent_after_s", o.silent_after_s},
                     {"registered", o.stations.size()},
                     {"learn", o.learn}};
    out["feed"] = src.feed ? src.feed() : m.feed_status();
    out["store"] = m.store_status();
    long unack = 0, unack_alarms = 0;
    for (const auto& [mmsi, s] : m.stations()) {
        unack += s.unacknowledged.empty() ? 0 : 1;
        unack_alarms += static_cast<long>(s.unacknowledged.size());
    }
    out["counts"] = {{"stations", m.stations().size()},
                     {"unknown", m.unknown().size()},
                     {"unacknowledged", unack},
                     {"unacknowledged_alarms", unack_alarms}};
    out["dispatch"] = m.dispatch_status();
    return out;
}

nlohmann::json stations(Sources& src, std::uint64_t since) {
    const Monitor& m = *src.monitor;
    // A revision the monitor has not reached is from before a restart: all of it again.
    const bool full = since == 0 || since > m.rev();
    nlohmann::json out;
    out["rev"] = m.rev();
    out["full"] = full;
    out["now"] = opt(m.now());
    out["stations"] = nlohmann::json::array();
    for (const auto& [mmsi, s] : m.stations())
        if (full || s.rev > since) out["stations"].push_back(station_json(s));
    out["removed"] = nlohmann::json::array();
    if (!full)
        for (const auto& [mmsi, rev] : m.removed())
            if (rev > since) out["removed"].push_back(mmsi);
    return out;
}

Reply station(Sources& src, std::uint32_t mmsi, long days) {
    const auto& all = src.monitor->stations();
    const auto it = all.find(mmsi);
    if (it == all.end()) return {404, error("no such station"), {}};
    const Station& s = it->second;
    // The days count back from the station's latest report, so that a
    // recording on another clock still shows its history.
    std::int64_t since = std::numeric_limits<std::int64_t>::min();
    if (days > 0 && s.last_heard) since = *s.last_heard - static_cast<std::int64_t>(days) * kDay;
    const std::int64_t to = src.monitor->now().value_or(s.last_heard.value_or(0)) + 1;
    const std::int64_t from = days > 0 ? to - static_cast<std::int64_t>(days) * kDay
                                       : std::numeric_limits<std::int64_t>::min();
    nlohmann::json a = availability_of(src, from, to, mmsi);
    nlohmann::json one = a.empty() ? nlohmann::json(nullptr) : a[0];
    if (one.is_object()) {
        one["from"] = std::max(from, one["known_from"].is_null() ? from : one["known_from"].get<std::int64_t>());
        one["to"] = to;
    }
    return {200,
            {{"station", station_json(s)},
             {"history", src.store->history(s.mmsi, since)},
             {"events", src.store->events(s.mmsi, 100)},
             {"availability", one}},
            {}};
}

nlohmann::json events(Sources& src, std::optional<std::uint32_t> mmsi, int limit, std::optional<std::int64_t> before_id) {
    return src.store->events(mmsi, limit, before_id);
}

nlohmann::json availability(Sources& src, std::int64_t from, std::int64_t to, std::optional<std::uint32_t> mmsi) {
    return {{"from", from}, {"to", to}, {"stations", availability_of(src, from, to, mmsi)}};
}

nlohmann::json unknown(Sources& src) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& [mmsi, u] : src.monitor->unknown())
        out.push_back({{"mmsi", mmsi},
                       {"first_heard", u.first_heard},
                       {"last_heard", u.last_heard},
                       {"messages", u.messages},
                       {"claims", u.claims},
                       {"name", u.name.empty() ? nlohmann::json(nullptr) : nlohmann::json(u.name)}});
    return out;
}

Reply acknowledge(Sources& src, const nlohmann::json& request, std::int64_t wall_now) {
    const auto bad = [](const std::string& why) { return Reply{400, error(why), {}}; };
    if (!request.is_object()) return bad("the body is a JSON object: {\"mmsi\", \"alarm\", \"by\", \"note\"}");
    const auto m = request.find("mmsi");
    const bool whole = m != request.end() && m->is_number_integer();
    const std::int64_t mmsi = !whole ? 0 : m->is_number_unsigned() ? static_cast<std::int64_t>(std::min<std::uint64_t>(m->get<std::uint64_t>(), kMaxMmsi + 1u))
                                                                  : m->get<std::int64_t>();
    if (mmsi < 1 || mmsi > kMaxMmsi) return bad("mmsi: a whole number from 1 to 1073741823");
    std::optional<std::string> alarm;
    if (const auto a = request.find("alarm"); a != request.end() && !a->is_null()) {
        if (!a->is_string() || !text_ok(a->get<std::string>(), 1, 64))
            return bad("alarm: the name of one alarm (1 to 64 characters), or absent for all");
        alarm = a->get<std::string>();
    }
    const auto by = request.find("by");
    if (by == request.end() || !by->is_string() || !text_ok(by->get<std::string>(), 1, 64))
        return bad("by: who acknowledges, 1 to 64 characters");
    std::string note;
    if (const auto n = request.find("note"); n != request.end() && !n->is_null()) {
        if (!n->is_string()) return bad("note: a text of up to 500 characters");
        note = n->get<std::string>();
        // A note may run over lines; other control characters are not text.
        std::string flat = note;
        std::replace(flat.begin(), flat.end(), '\n', ' ');
        if (!text_ok(flat, 0, 500)) return bad("note: a text of up to 500 characters");
    }
    const auto r = src.monitor->acknowledge(static_cast<std::uint32_t>(mmsi), alarm,
                                            by->get<std::string>(), note, wall_now);
    if (r.status != 200) return {r.status, error(r.error), {}};
    return {200, {{"ok", true}, {"event", r.event}}, {}};
}

Reply reports_csv(Sources& src, std::uint32_t mmsi, std::int64_t from, std::int64_t to) {
    const auto& all = src.monitor->stations();
    const auto it = all.find(mmsi);
    if (it == all.end()) return {404, error("no such station"), {}};
    std::string out = csv_row({"time", "time_iso", "mmsi", "name", "kind", "battery_v", "panel_a", "charge_ah", "lat",
                               "lon", "light", "racon", "alarms", "represents"});
    for (const auto& r : src.store->reports_between(mmsi, from, to)) {
        std::string alarms;
        const nlohmann::json a = nlohmann::json::parse(r.alarms, nullptr, false);
        if (a.is_array())
            for (const auto& x : a)
                if (x.is_string()) alarms += (alarms.empty() ? "" : " ") + x.get<std::string>();
        out += csv_row({std::to_string(r.time), iso_utc(r.time), std::to_string(mmsi), csv_text(it->second.name), r.kind,
                        num(r.battery_v), num(r.panel_a), num(r.charge_ah), num(r.lat), num(r.lon),
                        r.light.value_or(""), r.racon.value_or(""), alarms, std::to_string(r.represents)});
    }
    return {200, {}, out};
}

Reply events_csv(Sources& src, std::int64_t from, std::int64_t to, std::optional<std::uint32_t> mmsi) {
    std::string out = csv_row({"id", "time", "time_iso", "event", "mmsi", "name", "details"});
    for (const auto& e : src.store->events_between(from, to, mmsi)) {
        nlohmann::json j = nlohmann::json::parse(e.json, nullptr, false);
        std::string name;
        if (j.is_object()) {
            if (j.contains("name") && j["name"].is_string()) name = j["name"].get<std::string>();
            for (const char* k : {"time", "event", "mmsi", "name"}) j.erase(k);
        }
        const bool feed = e.mmsi == 0;
        out += csv_row({std::to_string(e.id), std::to_string(e.time), iso_utc(e.time), e.event,
                        feed ? std::string() : std::to_string(e.mmsi), csv_text(name),
                        j.is_object() && !j.empty() ? j.dump() : std::string()});
    }
    return {200, {}, out};
}

}  // namespace api
}  // namespace zelmora::shore
