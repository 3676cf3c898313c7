#include "scenario.h"

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <toml++/toml.h>

#include "wiring.h"

namespace zsim {

extern const char* const kDefaultScenarioText;
extern const char* const kDefaultConfigText;

std::optional<vtime> time_from(double count, double unit_ns) {
    // Written as a negation so that NaN falls out too.
    if (!(count >= 0 && count * unit_ns <= kLongestRun)) return std::nullopt;
    return static_cast<vtime>(std::llround(count * unit_ns));
}

std::optional<vtime> parse_time(const std::string& text) {
    if (text.empty()) return std::nullopt;
    double parts[3] = {0, 0, 0};
    int n = 0;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ':')) {
        if (n == 3 || item.empty()) return std::nullopt;
        size_t used = 0;
        double v = 0;
        try {
            v = std::stod(item, &used);
        } catch (...) {
            return std::nullopt;
        }
        if (used != item.size() || v < 0 || !std::isfinite(v)) return std::nullopt;
        parts[n++] = v;
    }
    // "MM:SS" and "HH:MM:SS": whole leading parts, and no minute or second of 60 or more.
    for (int i = 0; i < n - 1; ++i) {
        if (parts[i] != std::floor(parts[i])) return std::nullopt;
    }
    for (int i = 1; i < n; ++i) {
        if (parts[i] >= 60) return std::nullopt;
    }
    if (n == 2 && parts[0] >= 60) return std::nullopt;
    double seconds = 0;
    for (int i = 0; i < n; ++i) seconds = seconds * 60 + parts[i];
    return time_from(seconds, 1e9);
}

double Curve::at(vtime t) const {
    if (points.empty()) return 0.0;
    if (t <= points.front().at) return points.front().value;
    for (size_t i = 1; i < points.size(); ++i) {
        const Point& b = points[i];
        if (t >= b.at) continue;
        const Point& a = points[i - 1];
        const double f = static_cast<double>(t - a.at) / static_cast<double>(b.at - a.at);
        return a.value + (b.value - a.value) * f;
    }
    return points.back().value;
}

namespace {

[[noreturn]] void fail(const std::string& origin, const toml::source_region& where, const std::string& what) {
    std::ostringstream os;
    os << origin << ":" << where.begin.line << ": " << what;
    throw std::runtime_error(os.str());
}

const char* const kTooLong = ", at most 10000000 minutes";

vtime time_of(const std::string& origin, const toml::node& node) {
    if (auto v = node.value<double>()) {
        if (*v < 0) fail(origin, node.source(), "time must not be negative");
        if (auto t = time_from(*v, 1e9)) return *t;
        fail(origin, node.source(), "time must be at most 10000000 minutes");
    }
    if (auto s = node.value<std::string>()) {
        if (auto t = parse_time(*s)) return *t;
    }
    fail(origin, node.source(),
         std::string("expected a time: seconds, \"MM:SS\" or \"HH:MM:SS\" (minutes and seconds below 60)") + kTooLong);
}

vtime required_time(const std::string& origin, const toml::table& t, const char* key) {
    const toml::node* n = t.get(key);
    if (!n) fail(origin, t.source(), std::string("missing '") + key + "'");
    return time_of(origin, *n);
}

LineState line_state(const std::string& origin, const toml::node& node) {
    const auto s = node.value<std::string>();
    if (s == "open") return LineState::Open;
    if (s == "low" || s == "closed") return LineState::Low;
    if (s == "high") return LineState::High;
    fail(origin, node.source(), "expected \"open\", \"closed\", \"low\" or \"high\"");
}

// An integer, or a float with a whole value. toml++ casts a float to an
// integer without looking at its range: one beyond int64_t's is none here.
std::optional<int64_t> whole_number(const toml::node& n) {
    if (const toml::value<double>* f = n.as_floating_point()) {
        if (!(f->get() > -9.2e18 && f->get() < 9.2e18)) return std::nullopt;
    }
    return n.value<int64_t>();
}

int64_t int_in(const std::string& origin, const toml::table& t, const char* key, int64_t lo, int64_t hi) {
    const toml::node* n = t.get(key);
    if (!n) fail(origin, t.source(), std::string("missing '") + key + "'");
    const auto v = whole_number(*n);
    if (!v || *v < lo || *v > hi) {
        fail(origin, n->source(),
             std::string("'") + key + "' must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
    }
    return *v;
}

bool bool_of(const std::string& origin, const toml::table& t, const char* key, bool dflt) {
    const toml::node* n = t.get(key);
    if (!n) return dflt;
    const auto v = n->value<bool>();
    if (!v) fail(origin, n->source(), std::string("'") + key + "' must be true or false");
    return *v;
}

Civil civil_of(const std::string& origin, const toml::node& node) {
    if (auto s = node.value<std::string>()) {
        if (auto c = parse_utc(*s)) return *c;
    }
    fail(origin, node.source(), "expected a UTC date and time such as \"2026-12-08T13:45:00Z\"");
}

std::string number_text(double v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

double number_of(const std::string& origin, const toml::node& node, const std::string& key, double lo, double hi) {
    const auto v = node.value<double>();
    if (!v || !std::isfinite(*v) || *v < lo || *v > hi) {
        fail(origin, node.source(),
             "'" + key + "' must be a number from " + number_text(lo) + " to " + number_text(hi));
    }
    return *v;
}

double number_in(const std::string& origin, const toml::table& t, const char* key, double lo, double hi,
                 double dflt) {
    const toml::node* n = t.get(key);
    return n ? number_of(origin, *n, key, lo, hi) : dflt;
}

// "HH:MM" or "HH:MM:SS" of the UTC day, in seconds after midnight.
int time_of_day(const std::string& origin, const toml::node& node) {
    if (auto s = node.value<std::string>()) {
        const std::string& x = *s;
        bool ok = x.size() == 5 || x.size() == 8;
        for (size_t i = 0; ok && i < x.size(); ++i) {
            ok = i % 3 == 2 ? x[i] == ':' : std::isdigit(static_cast<unsigned char>(x[i])) != 0;
        }
        if (ok) {
            auto two = [&x](size_t at) { return (x[at] - '0') * 10 + (x[at + 1] - '0'); };
            const int h = two(0), m = two(3), sec = x.size() == 8 ? two(6) : 0;
            if (h <= 23 && m <= 59 && sec <= 59) return (h * 60 + m) * 60 + sec;
        }
    }
    fail(origin, node.source(), "expected a UTC time of day, \"HH:MM\"");
}

// A constant under `constant_key`, or `points = [[time, value], ...]`.
Curve curve_of(const std::string& origin, const toml::table& t, const char* constant_key, double lo, double hi) {
    const toml::node* c = t.get(constant_key);
    const toml::node* p = t.get("points");
    if (c && p) fail(origin, p->source(), std::string("give '") + constant_key + "' or 'points', not both");
    if (c) return Curve::constant(number_of(origin, *c, constant_key, lo, hi));
    if (!p) fail(origin, t.source(), std::string("missing '") + constant_key + "' or 'points'");
    const toml::array* arr = p->as_array();
    if (!arr || arr->empty()) fail(origin, p->source(), "'points' must be a list of [time, value] pairs");
    Curve curve;
    for (const toml::node& el : *arr) {
        const toml::array* pair = el.as_array();
        if (!pair || pair->size() != 2) fail(origin, el.source(), "each point must be a pair [time, value]");
        const vtime at = time_of(origin, *pair->get(0));
        if (!curve.points.empty() && at < curve.points.back().at) {
            fail(origin, el.source(), "points must be in time order");
        }
        curve.points.push_back({at, number_of(origin, *pair->get(1), "value", lo, hi)});
    }
    return curve;
}

// Text the transponder keeps and sends inside a sentence: printable, without
// the characters that delimit IEC 61162-1 sentences and fields.
std::string sentence_text(const std::string& origin, const toml::table& t, const char* key, size_t max,
                          bool six_bit) {
    const toml::node* n = t.get(key);
    const auto v = n->value<std::string>();
    bool ok = v && !v->empty() && v->size() <= max;
    for (size_t i = 0; ok && i < v->size(); ++i) {
        const char c = (*v)[i];
        ok = c >= 0x20 && c <= (six_bit ? 0x5F : 0x7E) && std::string("$!*,\\^~@").find(c) == std::string::npos;
    }
    if (!ok) {
        fail(origin, n->source(),
             "'" + std::string(key) + "' must be text of 1 to " + std::to_string(max) +
                 (six_bit ? " upper-case letters, digits, blanks and punctuation" : " printable characters") +
                 ", without $ ! * , \\ ^ ~ @");
    }
    return *v;
}

// A whole number of milliseconds from 1 up to the longest run.
vtime ms_of(const std::string& origin, const toml::table& t) {
    const int64_t most = static_cast<int64_t>(kLongestRun / 1e6);
    return *time_from(static_cast<double>(int_in(origin, t, "ms", 1, most)), 1e6);
}

// An optional `ms` duration; for good without it.
vtime duration_of(const std::string& origin, const toml::table& t) {
    if (!t.get("ms")) return zplat::kNever;
    return ms_of(origin, t);
}

void check_keys(const std::string& origin, const toml::table& t, std::initializer_list<const char*> known) {
    for (const auto& [k, v] : t) {
        bool ok = false;
        for (const char* name : known) ok = ok || k.str() == name;
        if (!ok) fail(origin, v.source(), "unknown key '" + std::string(k.str()) + "'");
    }
}

}  // namespace

Scenario Scenario::from_text(const std::string& text, const std::string& origin) {
    toml::table root;
    try {
        root = toml::parse(text, origin);
    } catch (const toml::parse_error& e) {
        std::ostringstream os;
        os << origin << ":" << e.source().begin.line << ": " << e.description();
        throw std::runtime_error(os.str());
    }
    check_keys(origin, root,
               {"name", "minutes", "seed", "world", "rtc", "eeprom", "dip", "inputs", "input", "dip_change", "fault",
                "battery", "panel", "day", "analog", "power", "gps", "gps_outage", "transponder"});

    Scenario sc;
    sc.pin_actions.clear();
    if (auto v = root["name"].value<std::string>()) sc.name = *v;
    if (const toml::node* n = root.get("minutes")) {
        const auto v = n->value<double>();
        if (!v || !(*v > 0) || !time_from(*v, 60e9)) {
            fail(origin, n->source(), "'minutes' must be a number above 0 and at most 10000000");
        }
        sc.minutes = *v;
    }
    if (const toml::node* n = root.get("seed")) {
        const auto v = whole_number(*n);
        if (!v || *v < 0) fail(origin, n->source(), "'seed' must be a non-negative integer");
        sc.seed = static_cast<uint64_t>(*v);
    }

    if (const toml::table* w = root["world"].as_table()) {
        check_keys(origin, *w, {"utc"});
        if (const toml::node* n = w->get("utc")) sc.utc_start = civil_of(origin, *n);
    }
    if (const toml::table* r = root["rtc"].as_table()) {
        check_keys(origin, *r, {"present", "running", "hour_mode", "time", "backup"});
        sc.rtc.present = bool_of(origin, *r, "present", true);
        sc.rtc.backup = bool_of(origin, *r, "backup", true);
        sc.rtc.running = bool_of(origin, *r, "running", true);
        if (r->get("hour_mode")) sc.rtc.twelve_hour = int_in(origin, *r, "hour_mode", 12, 24) == 12;
        if (const toml::node* n = r->get("time")) sc.rtc.time = civil_of(origin, *n);
    }
    if (const toml::table* e = root["eeprom"].as_table()) {
        check_keys(origin, *e, {"present"});
        sc.eeprom.present = bool_of(origin, *e, "present", true);
    }
    if (const toml::table* b = root["battery"].as_table()) {
        check_keys(origin, *b, {"volts", "points"});
        sc.power.battery_volts = curve_of(origin, *b, "volts", 0, 30);
    }
    if (const toml::table* p = root["panel"].as_table()) {
        check_keys(origin, *p, {"amps", "points"});
        sc.power.panel_amps = curve_of(origin, *p, "amps", 0, 20);
    }
    if (const toml::table* d = root["day"].as_table()) {
        check_keys(origin, *d, {"sunrise", "sunset", "peak_amps", "capacity_ah", "soc", "load_amps"});
        DaySetup& day = sc.power.day;
        if (const toml::node* n = d->get("sunrise")) day.sunrise_s = time_of_day(origin, *n);
        if (const toml::node* n = d->get("sunset")) day.sunset_s = time_of_day(origin, *n);
        if (day.sunrise_s == day.sunset_s) fail(origin, d->source(), "'sunrise' and 'sunset' must differ");
        day.peak_amps = number_in(origin, *d, "peak_amps", 0, 20, day.peak_amps);
        day.capacity_ah = number_in(origin, *d, "capacity_ah", 1, 10000, day.capacity_ah);
        day.soc = number_in(origin, *d, "soc", 0, 1, day.soc);
        day.load_amps = number_in(origin, *d, "load_amps", 0, 20, day.load_amps);
    }
    if (const toml::table* p = root["power"].as_table()) {
        check_keys(origin, *p, {"brownout_volts", "restart_volts"});
        PowerSetup& pw = sc.power;
        pw.brownout_volts = number_in(origin, *p, "brownout_volts", 0, 30, pw.brownout_volts);
        pw.restart_volts = number_in(origin, *p, "restart_volts", 0, 30, pw.restart_volts);
        if (pw.restart_volts <= pw.brownout_volts) {
            fail(origin, p->source(), "'restart_volts' must be above 'brownout_volts'");
        }
    }
    if (const toml::table* a = root["analog"].as_table()) {
        check_keys(origin, *a, {"noise_counts", "noise"});
        sc.power.noise_counts = number_in(origin, *a, "noise_counts", 0, 1000, 0);
        if (const toml::node* n = a->get("noise")) {
            const auto s = n->value<std::string>();
            if (s == "gaussian") sc.power.noise = NoiseShape::Gaussian;
            else if (s == "uniform") sc.power.noise = NoiseShape::Uniform;
            else fail(origin, n->source(), "'noise' must be \"gaussian\" or \"uniform\"");
        }
    }
    if (const toml::table* g = root["gps"].as_table()) {
        check_keys(origin, *g,
                   {"present", "latitude", "longitude", "satellites", "hdop", "speed_knots", "course", "fix_quality",
                    "replay"});
        GpsSetup& gps = sc.gps;
        gps.present = bool_of(origin, *g, "present", true);
        gps.latitude = number_in(origin, *g, "latitude", -90, 90, gps.latitude);
        gps.longitude = number_in(origin, *g, "longitude", -180, 180, gps.longitude);
        if (g->get("satellites")) gps.satellites = static_cast<int>(int_in(origin, *g, "satellites", 0, 24));
        gps.hdop = number_in(origin, *g, "hdop", 0, 99.9, gps.hdop);
        gps.speed_knots = number_in(origin, *g, "speed_knots", 0, 999, gps.speed_knots);
        gps.course = number_in(origin, *g, "course", 0, 360, gps.course);
        if (g->get("fix_quality")) gps.fix_quality = static_cast<int>(int_in(origin, *g, "fix_quality", 1, 2));
        if (const toml::node* n = g->get("replay")) {
            const auto v = n->value<std::string>();
            if (!v || v->empty()) fail(origin, n->source(), "'replay' must be the path of an NMEA log");
            gps.replay = *v;
        }
    }
    if (const toml::table* x = root["transponder"].as_table()) {
        check_keys(origin, *x,
                   {"present", "mmsi", "destination", "name", "aton_type", "aid_type", "msg6_interval_s",
                    "msg21_interval_s", "config_ok", "gps_output", "firmware", "serial", "vswr", "supply_volts",
                    "byte_gap_ms"});
        TransponderSetup& ais = sc.transponder;
        ais.present = bool_of(origin, *x, "present", true);
        if (x->get("mmsi")) ais.mmsi = static_cast<uint32_t>(int_in(origin, *x, "mmsi", 1, 999999999));
        if (x->get("destination")) {
            ais.destination = static_cast<uint32_t>(int_in(origin, *x, "destination", 0, 999999999));
        }
        if (x->get("name")) ais.name = sentence_text(origin, *x, "name", 34, true);
        if (x->get("aton_type")) ais.aton_type = static_cast<int>(int_in(origin, *x, "aton_type", 1, 3));
        if (x->get("aid_type")) ais.aid_type = static_cast<int>(int_in(origin, *x, "aid_type", 0, 31));
        if (x->get("msg6_interval_s")) {
            ais.msg6_interval_s = static_cast<int>(int_in(origin, *x, "msg6_interval_s", 0, 65535));
        }
        if (x->get("msg21_interval_s")) {
            ais.msg21_interval_s = static_cast<int>(int_in(origin, *x, "msg21_interval_s", 0, 65535));
        }
        ais.config_ok = bool_of(origin, *x, "config_ok", true);
        ais.gps_output = bool_of(origin, *x, "gps_output", false);
        if (x->get("firmware")) ais.firmware = sentence_text(origin, *x, "firmware", 19, false);
        if (x->get("serial")) ais.serial = sentence_text(origin, *x, "serial", 15, false);
        ais.vswr = number_in(origin, *x, "vswr", 1, 99.9, ais.vswr);
        ais.supply_volts = number_in(origin, *x, "supply_volts", 0, 60, ais.supply_volts);
        ais.byte_gap = *time_from(number_in(origin, *x, "byte_gap_ms", 0, 1000, 0), 1e6);
    }
    if (const toml::array* arr = root["gps_outage"].as_array()) {
        for (const toml::node& el : *arr) {
            const toml::table* t = el.as_table();
            if (!t) fail(origin, el.source(), "[[gps_outage]] entries must be tables");
            check_keys(origin, *t, {"at", "minutes", "ms"});
            const vtime at = required_time(origin, *t, "at");
            const toml::node* m = t->get("minutes");
            if (m && t->get("ms")) fail(origin, m->source(), "give 'minutes' or 'ms', not both");
            vtime d = zplat::kNever;
            if (m) d = *time_from(number_of(origin, *m, "minutes", 0.001, 1e6), 60e9);
            if (t->get("ms")) d = ms_of(origin, *t);
            sc.gps.outages.push_back({at, d});
        }
    }
    if (const toml::table* dip = root["dip"].as_table()) {
        check_keys(origin, *dip, {"sw1", "sw2", "sw3", "sw4"});
        for (int i = 0; i < 4; ++i) {
            const std::string key = "sw" + std::to_string(i + 1);
            if (const toml::node* n = dip->get(key)) {
                const auto v = n->value<bool>();
                if (!v) fail(origin, n->source(), "'" + key + "' must be true (on) or false (off)");
                sc.dip_on[static_cast<size_t>(i)] = *v;
            }
        }
    }
    if (const toml::table* in = root["inputs"].as_table()) {
        check_keys(origin, *in, {"in1", "in2", "in3"});
        for (int i = 0; i < 3; ++i) {
            const std::string key = "in" + std::to_string(i + 1);
            if (const toml::node* n = in->get(key)) sc.inputs[static_cast<size_t>(i)] = line_state(origin, *n);
        }
    }
    if (const toml::array* arr = root["input"].as_array()) {
        for (const toml::node& el : *arr) {
            const toml::table* t = el.as_table();
            if (!t) fail(origin, el.source(), "[[input]] entries must be tables");
            check_keys(origin, *t, {"at", "number", "state"});
            const vtime at = required_time(origin, *t, "at");
            const auto number = int_in(origin, *t, "number", 1, 3);
            const toml::node* st = t->get("state");
            if (!st) fail(origin, t->source(), "missing 'state'");
            sc.pin_actions.push_back({at, wiring::kInput[number - 1], line_state(origin, *st)});
        }
    }
    if (const toml::array* arr = root["dip_change"].as_array()) {
        for (const toml::node& el : *arr) {
            const toml::table* t = el.as_table();
            if (!t) fail(origin, el.source(), "[[dip_change]] entries must be tables");
            check_keys(origin, *t, {"at", "switch", "on"});
            const vtime at = required_time(origin, *t, "at");
            const auto sw = int_in(origin, *t, "switch", 1, 4);
            const auto on = (*t)["on"].value<bool>();
            if (!on) fail(origin, t->source(), "'on' must be true or false");
            sc.pin_actions.push_back({at, wiring::kDip[sw - 1], *on ? LineState::Low : LineState::Open});
        }
    }
    if (const toml::array* arr = root["fault"].as_array()) {
        for (const toml::node& el : *arr) {
            const toml::table* t = el.as_table();
            if (!t) fail(origin, el.source(), "[[fault]] entries must be tables");
            const auto kind = (*t)["kind"].value<std::string>();
            if (kind == "stall") {
                check_keys(origin, *t, {"kind", "at", "ms"});
                const vtime at = required_time(origin, *t, "at");
                const auto ms = int_in(origin, *t, "ms", 1, 3600000);
                sc.stalls.push_back({at, *time_from(static_cast<double>(ms), 1e6)});
            } else if (kind == "eeprom_absent" || kind == "eeprom_writes_lost" || kind == "rtc_absent") {
                check_keys(origin, *t, {"kind", "at", "ms"});
                const vtime at = required_time(origin, *t, "at");
                vtime d = zplat::kNever;
                if (t->get("ms")) d = ms_of(origin, *t);
                const Window w{at, d};
                if (kind == "eeprom_absent") sc.eeprom.absent.push_back(w);
                else if (kind == "eeprom_writes_lost") sc.eeprom.writes_lost.push_back(w);
                else sc.rtc.absent.push_back(w);
            } else if (kind == "power_cut") {
                check_keys(origin, *t, {"kind", "at", "ms"});
                const vtime at = required_time(origin, *t, "at");
                sc.power.power_cuts.push_back({at, ms_of(origin, *t)});
            } else if (kind == "rtc_stop") {
                check_keys(origin, *t, {"kind", "at"});
                sc.rtc.stops.push_back(required_time(origin, *t, "at"));
            } else if (kind == "mppt_stuck") {
                check_keys(origin, *t, {"kind", "at"});
                sc.power.mppt_stuck.push_back(required_time(origin, *t, "at"));
            } else if (kind == "gps_restart") {
                check_keys(origin, *t, {"kind", "at"});
                sc.gps.restarts.push_back(required_time(origin, *t, "at"));
            } else if (kind == "gps_noise") {
                check_keys(origin, *t, {"kind", "at", "ms", "rate"});
                const vtime at = required_time(origin, *t, "at");
                vtime d = zplat::kNever;
                if (t->get("ms")) d = ms_of(origin, *t);
                const toml::node* r = t->get("rate");
                if (!r) fail(origin, t->source(), "missing 'rate'");
                sc.gps.noise.push_back({{at, d}, number_of(origin, *r, "rate", 0, 1)});
            } else if (kind == "ais_silent" || kind == "ais_nak" || kind == "ais_pc") {
                check_keys(origin, *t, {"kind", "at", "ms"});
                const Window w{required_time(origin, *t, "at"), duration_of(origin, *t)};
                if (kind == "ais_silent") sc.transponder.silent.push_back(w);
                else if (kind == "ais_nak") sc.transponder.nak.push_back(w);
                else sc.transponder.pc.push_back(w);
            } else if (kind == "ais_foreign_mmsi") {
                check_keys(origin, *t, {"kind", "at", "mmsi"});
                const vtime at = required_time(origin, *t, "at");
                sc.transponder.foreign.push_back({at, static_cast<uint32_t>(int_in(origin, *t, "mmsi", 1, 999999999))});
            } else if (kind == "ais_noise") {
                check_keys(origin, *t, {"kind", "at", "ms", "rate"});
                const vtime at = required_time(origin, *t, "at");
                const toml::node* r = t->get("rate");
                if (!r) fail(origin, t->source(), "missing 'rate'");
                sc.transponder.noise.push_back({{at, duration_of(origin, *t)}, number_of(origin, *r, "rate", 0, 1)});
            } else {
                fail(origin, t->source(),
                     "unknown fault kind (known: \"stall\", \"power_cut\", \"eeprom_absent\", \"eeprom_writes_lost\", "
                     "\"rtc_absent\", \"rtc_stop\", \"mppt_stuck\", \"gps_restart\", \"gps_noise\", "
                     "\"ais_silent\", \"ais_nak\", \"ais_foreign_mmsi\", \"ais_noise\", \"ais_pc\")");
            }
        }
    }
    return sc;
}

Scenario Scenario::from_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot open the scenario file");
    std::ostringstream ss;
    ss << in.rdbuf();
    Scenario sc = from_text(ss.str(), path);
    // A relative log path names a file beside the scenario, or else one
    // relative to the working directory.
    namespace fs = std::filesystem;
    const fs::path replay(sc.gps.replay);
    if (!replay.empty() && replay.is_relative()) {
        const fs::path beside = (fs::path(path).parent_path() / replay).lexically_normal();
        std::error_code ec;
        if (fs::exists(beside, ec) || !fs::exists(replay, ec)) sc.gps.replay = beside.string();
    }
    return sc;
}

Scenario::Scenario() {
    // The transponder comes programmed with the station the unit is configured for.
    static const std::pair<uint32_t, std::string> station = [] {
        const toml::table config = toml::parse(std::string_view(kDefaultConfigText), std::string_view("tools/default-config.toml"));
        return std::make_pair(static_cast<uint32_t>(config["station"]["mmsi"].value_or<int64_t>(0)),
                              config["station"]["name"].value_or<std::string>(""));
    }();
    transponder.mmsi = station.first;
    transponder.name = station.second;
}

Scenario Scenario::builtin() { return from_text(kDefaultScenarioText, "built-in default scenario"); }

}  // namespace zsim
