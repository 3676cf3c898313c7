#include "status.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "text.h"

namespace zpc {

namespace {

// Whole lines only (a line still arriving may be cut short), without CR.
template <typename F>
void each_line(const std::string& text, F f) {
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        size_t stop = end;
        if (stop > at && text[stop - 1] == '\r') --stop;
        f(text.substr(at, stop - at));
    }
}

const char* const kWeekdays[] = {"", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

std::string fixed(double x, int decimals) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
    return buf;
}

bool has_position(const GpsLine& g) {
    return !g.latitude.empty() && !g.longitude.empty() && (g.latitude.back() == 'N' || g.latitude.back() == 'S') &&
           (g.longitude.back() == 'E' || g.longitude.back() == 'W');
}

}  // namespace

std::optional<double> last_reading(const std::string& text, const std::string& prefix) {
    std::optional<double> found;
    // A reply frame taken out of the text may leave a line glued to the one before.
    each_line(text, [&](const std::string& line) {
        const size_t at = line.rfind(prefix);
        if (at == std::string::npos) return;
        const std::string v = line.substr(at + prefix.size());
        char* stop = nullptr;
        const double x = std::strtod(v.c_str(), &stop);
        if (stop != v.c_str() && std::isfinite(x)) found = x;
    });
    return found;
}

namespace {

// Whether `s` holds `pattern` at `at`, where 'd' stands for any digit.
// (std::regex would do, but its GCC 12 build trips -Wmaybe-uninitialized
// under the sanitizers.)
bool matches(const std::string& s, size_t at, const char* pattern) {
    for (size_t i = 0; pattern[i] != '\0'; ++i, ++at) {
        if (at >= s.size()) return false;
        const char c = s[at];
        if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != pattern[i]) return false;
    }
    return true;
}

int number_at(const std::string& s, size_t at, size_t n) { return std::atoi(s.substr(at, n).c_str()); }

// The characters after `key` in `line` up to a blank or a tab; empty when
// the key is not there.
std::string token_after(const std::string& line, const std::string& key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return "";
    const size_t from = at + key.size();
    return line.substr(from, line.find_first_of(" \t", from) - from);
}

// "0.9" as tenths: 9; -1 when it is not one digit, a point and one digit.
int tenths_at(const std::string& s, size_t at) {
    return matches(s, at, "d.d") ? number_at(s, at, 1) * 10 + number_at(s, at + 2, 1) : -1;
}

}  // namespace

std::optional<GpsLine> last_gps_line(const std::string& text) {
    std::optional<GpsLine> found;
    each_line(text, [&](const std::string& l) {
        const size_t at = l.find("Fecha UTC:");
        if (at == std::string::npos || !matches(l, at + 10, "dd/dd/dd_dd:dd:dd Sat:")) return;
        const size_t sat = at + 32;
        const size_t q = l.find(" QGPS:", sat);
        if (q == std::string::npos || tenths_at(l, q + 6) < 0) return;
        GpsLine g;
        g.satellites = number_at(l, sat, q - sat);
        g.hdop_tenths = tenths_at(l, q + 6);
        g.latitude = token_after(l, "Lat:");
        g.longitude = token_after(l, "Long:");
        if (!has_position(g)) g.latitude.clear(), g.longitude.clear();
        found = g;
    });
    return found;
}

std::optional<ClockLine> last_clock_line(const std::string& text) {
    std::optional<ClockLine> found;
    each_line(text, [&](const std::string& l) {
        const size_t at = l.find("Fecha rx: ");
        if (at == std::string::npos || !matches(l, at + 10, "dd/dd/dd d dd:dd:dd")) {
            if (found && l.find("fecha erronea") != std::string::npos) found->out_of_range = true;
            return;
        }
        const size_t d = at + 10;
        ClockLine c;
        const std::string day = "20" + l.substr(d + 6, 2) + "-" + l.substr(d + 3, 2) + "-" + l.substr(d, 2);
        const std::string time = l.substr(d + 11, 8);
        c.text = day + " " + time + " UTC";
        const int wd = number_at(l, d + 9, 1);
        if (wd >= 1 && wd <= 7) c.text += std::string(" (") + kWeekdays[wd] + ")";
        c.iso = day + "T" + time + "Z";
        found = c;
    });
    return found;
}

std::optional<StatusReport> last_status_report(const std::string& text) {
    const size_t start = text.rfind("\tSTATUS: ");
    if (start == std::string::npos || !matches(text, start + 9, "dd/dd/dd dd:dd")) return std::nullopt;
    // Whole once its last line, the course, has come.
    const size_t course = text.find("Course:", start);
    if (course == std::string::npos || text.find('\n', course) == std::string::npos) return std::nullopt;
    StatusReport r;
    const size_t d = start + 9;
    const std::string day = "20" + text.substr(d + 6, 2) + "-" + text.substr(d + 3, 2) + "-" + text.substr(d, 2);
    r.minute = day + " " + text.substr(d + 9, 5);
    r.iso = day + "T" + text.substr(d + 9, 5) + "Z";
    const std::string block = text.substr(start, text.find('\n', course) + 1 - start);
    each_line(block, [&](const std::string& l) {
        size_t at;
        if ((at = l.find("Battery:")) != std::string::npos) {
            r.battery = std::strtod(l.c_str() + at + 8, nullptr);
            r.low_battery_alarm = l.find("Alarm low battery") != std::string::npos;
            r.charger_off_high_battery = l.find("Turn off Solar panel") != std::string::npos;
        } else if ((at = l.find("Status MPPT (")) != std::string::npos && l.find("):", at) != std::string::npos) {
            r.charger = l.substr(l.find("):", at) + 2);
        } else if (l.find("Solar panel") != std::string::npos) {
            r.panel_alarm = l.find("Alarm!!!") != std::string::npos;
        } else if ((at = l.find("Current:")) != std::string::npos) {
            r.panel = std::strtod(l.c_str() + at + 8, nullptr);
        } else if ((at = l.find("Alarm input external ")) != std::string::npos && matches(l, at + 21, "d:")) {
            const int n = number_at(l, at + 21, 1);
            if (n >= 1 && n <= 3) r.input_alarm[n - 1] = l.compare(at + 23, 3, "YES") == 0;
        } else if ((at = l.find("Satellites:")) != std::string::npos) {
            r.gps.satellites = std::atoi(l.c_str() + at + 11);
            const size_t q = l.find("QGPS:", at);
            r.gps.hdop_tenths = q == std::string::npos ? 99 : tenths_at(l, q + 5);
            if (r.gps.hdop_tenths < 0) r.gps.hdop_tenths = 99;
        } else if ((at = l.find("Fix:")) != std::string::npos) {
            r.fix = std::atoi(l.c_str() + at + 4);
        } else if (l.find("Latitude: ") != std::string::npos) {
            r.gps.latitude = token_after(l, "Latitude: ");
            r.gps.longitude = token_after(l, "Longitude: ");
            if (!has_position(r.gps)) r.gps.latitude.clear(), r.gps.longitude.clear();
        }
    });
    return r;
}

std::string transponder_firmware(const std::string& text) {
    std::string found;
    each_line(text, [&](const std::string& l) {
        if (l.rfind("\tFirmware:", 0) == 0) found = l.substr(10);
    });
    return found;
}

bool LogState::raised_any(const char* what) const {
    for (const std::string& r : raised)
        if (r.rfind(what, 0) == 0) return true;
    return false;
}

LogState log_state(const std::vector<Event>& events) {
    LogState s;
    size_t from = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].code == 15) {
            from = i + 1;
            s.start_found = true;
            s.start = events[i].when();
        }
    }
    // Raised by the odd code, cleared by the next even one.
    static const struct {
        uint8_t raise;
        const char* name;
    } kinds[] = {{1, "low battery"},      {3, "high battery (charger switched off)"},
                 {5, "external input 1"}, {7, "external input 2"},
                 {9, "external input 3"}, {11, "AIS transponder"},
                 {13, "GPS coverage"}};
    for (const auto& k : kinds) {
        const Event* last = nullptr;
        for (size_t i = from; i < events.size(); ++i)
            if (events[i].code == k.raise || events[i].code == k.raise + 1) last = &events[i];
        if (!last || last->code != k.raise) continue;
        s.raised.push_back(std::string(k.name) + " (raised " + last->when() + ")");
        if (k.raise == 3) {
            s.charger_off = true;
            s.charger_off_at = last->when();
        }
    }
    return s;
}

std::string snapshot_text(const Snapshot& s) {
    std::string out;
    const auto row = [&out](const char* name, const std::string& value, const std::string& from) {
        std::string label = name;
        label.resize(13, ' ');
        out += label + value + (from.empty() ? "" : " (" + from + ")") + "\n";
    };
    row("unit", s.how, "");
    row("battery", s.battery ? fixed(*s.battery, 2) + " V" : "not read", s.battery_from);
    row("panel", s.panel ? fixed(*s.panel, 2) + " A" : "not read", s.panel_from);
    row("charger", s.charger, s.charger_from);
    std::string alarms;
    for (const std::string& a : s.alarms) alarms += (alarms.empty() ? "" : "; ") + a;
    row("alarms", alarms.empty() ? "none raised" : alarms, s.alarms_from);
    std::string gps = "not read";
    if (s.gps) {
        gps = s.gps_valid.value_or(false) ? "a valid fix: " : "no valid fix: ";
        gps += std::to_string(s.gps->satellites) + " satellites, HDOP ";
        gps += s.gps->hdop_tenths >= 99 ? "unknown" : fixed(s.gps->hdop_tenths / 10.0, 1);
        gps += s.gps->latitude.empty() ? ", no position" : ", " + s.gps->latitude + " " + s.gps->longitude;
        if (!s.gps_rule.empty()) gps += "; " + s.gps_rule;
    }
    row("gps", printable(gps), s.gps_from);
    std::string clock = s.clock ? s.clock->text : s.clock_note;
    if (s.clock && s.clock->out_of_range) clock += ", out of range: the unit does not use it";
    row("clock", clock, s.clock ? s.clock_from : "");
    row("transponder",
        s.transponder_firmware.empty()
            ? "firmware not known (the unit names it only while it identifies the transponder, with DIP 3 on)"
            : "firmware " + printable(s.transponder_firmware),
        "");
    return out;
}

nlohmann::ordered_json snapshot_json(const Snapshot& s) {
    using J = nlohmann::ordered_json;
    const auto number = [](const std::optional<double>& x) { return x ? J(*x) : J(nullptr); };
    J j;
    j["test_mode"] = {{"found", s.found_in_test_mode}, {"entered", s.entered_test_mode}, {"how", s.how}};
    j["battery"] = {{"volts", number(s.battery)}, {"source", s.battery_from}};
    j["panel"] = {{"amps", number(s.panel)}, {"source", s.panel_from}};
    j["charger"] = {{"state", s.charger}, {"source", s.charger_from}};
    j["alarms"] = {{"raised", s.alarms}, {"source", s.alarms_from}};
    J gps = {{"satellites", nullptr}, {"hdop", nullptr}, {"valid_fix", nullptr}, {"latitude", nullptr},
             {"longitude", nullptr}, {"source", s.gps_from}};
    if (s.gps) {
        gps["satellites"] = s.gps->satellites;
        if (s.gps->hdop_tenths < 99) gps["hdop"] = s.gps->hdop_tenths / 10.0;
        if (s.gps_valid) gps["valid_fix"] = *s.gps_valid;
        if (!s.gps->latitude.empty()) {
            gps["latitude"] = s.gps->latitude;
            gps["longitude"] = s.gps->longitude;
        }
    }
    j["gps"] = gps;
    j["clock"] = {{"utc", s.clock && !s.clock->out_of_range ? J(s.clock->iso) : J(nullptr)},
                  {"text", s.clock ? s.clock->text : s.clock_note},
                  {"source", s.clock ? s.clock_from : ""}};
    j["transponder"] = {{"firmware", s.transponder_firmware.empty() ? J(nullptr) : J(s.transponder_firmware)}};
    return j;
}

}  // namespace zpc
