// Readable text and JSON for decoded messages; both walk the report's table.
#include "ais.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zelmora::ais {

namespace {

std::string mmsi_text(std::uint32_t mmsi) {
    char b[16];
    std::snprintf(b, sizeof b, "%09" PRIu32, mmsi);   // coast stations read 00MIDxxxx
    return b;
}

std::string fixed(double v, int decimals) {
    char b[48];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string unit_text(const char* unit) {
    const std::string u = unit;
    if (u.empty()) return "";
    if (u == "deg") return "\u00B0";
    return " " + u;
}

// 43°22.7364'N from ten-thousandths of a minute.
std::string degrees_minutes(std::int64_t raw, bool longitude) {
    const std::uint64_t a = static_cast<std::uint64_t>(std::llabs(raw));
    const char hemisphere = longitude ? (raw < 0 ? 'W' : 'E') : (raw < 0 ? 'S' : 'N');
    char b[48];
    std::snprintf(b, sizeof b, longitude ? "%03u\u00B0%02u.%04u'%c" : "%02u\u00B0%02u.%04u'%c",
                  static_cast<unsigned>(a / 600000), static_cast<unsigned>(a % 600000 / 10000),
                  static_cast<unsigned>(a % 10000), hemisphere);
    return b;
}

const char* time_stamp_meaning(std::int64_t raw) {
    // ITU-R M.1371 time stamp: 60 not available, 61 manual input,
    // 62 dead reckoning, 63 positioning system inoperative.
    switch (raw) {
    case 60: return "not available";
    case 61: return "manual input";
    case 62: return "dead reckoning";
    default: return "positioning system inoperative";
    }
}

std::string readable(const Value& v, const Report& r) {
    const Field& f = *v.field;
    const std::string raw = std::to_string(v.raw);
    switch (f.kind) {
    case Kind::Number:
        if (!v.available()) return "not available (" + raw + ")";
        if (f.divisor == 1) return raw + unit_text(f.unit);
        return fixed(*v.number(), f.decimals) + unit_text(f.unit);
    case Kind::Flag: return v.flag() ? "yes" : "no";
    case Kind::Hex: {
        char b[24];
        std::snprintf(b, sizeof b, "0x%02" PRIX64, static_cast<std::uint64_t>(v.raw));
        return b;
    }
    case Kind::Label: return v.label() + " (" + raw + ")";
    case Kind::Text: return v.text.empty() ? "(none)" : v.text;
    case Kind::Longitude:
    case Kind::Latitude: {
        const bool lon = f.kind == Kind::Longitude;
        if (!v.available()) return std::string("not available (") + (lon ? "181" : "91") + "\u00B0)";
        const double deg = static_cast<double>(v.raw) / f.divisor;
        const std::string t = degrees_minutes(v.raw, lon) + "  " + fixed(deg, f.decimals) + "\u00B0";
        if (!v.valid()) return "invalid: " + t + " (out of range)";
        return t;
    }
    case Kind::TimeStamp:
        if (v.available()) return raw + " s";
        return std::string(time_stamp_meaning(v.raw)) + " (" + raw + ")";
    case Kind::Repeat: {
        const Value* first = r.find("msg_id");
        if (r.ids_match()) return raw + ", matches";
        return raw + ", does not match " + (first ? std::to_string(first->raw) : std::string("?"));
    }
    }
    return raw;
}

nlohmann::ordered_json json_value(const Value& v) {
    const Field& f = *v.field;
    switch (f.kind) {
    case Kind::Number:
        if (!v.available()) return nullptr;
        if (f.divisor == 1) return v.raw;
        return *v.number();
    case Kind::Flag: return v.flag();
    case Kind::Label: return v.label();
    case Kind::Text: return v.text;
    case Kind::Longitude:
    case Kind::Latitude:
        if (!v.available() || !v.valid()) return nullptr;
        return *v.number();
    case Kind::Hex:
    case Kind::TimeStamp:
    case Kind::Repeat: return v.raw;
    }
    return v.raw;
}

std::string row(const char* name, const std::string& value) {
    char b[40];
    std::snprintf(b, sizeof b, "    %-30s", name);
    return b + value + "\n";
}

// ", received 2026-12-08T13:45:30Z from r1" when the tag block said so.
std::string tag_text(const Message& m) {
    std::string t;
    if (m.received) t += ", received " + utc_text(*m.received);
    if (!m.tag_source.empty()) t += " from " + m.tag_source;
    return t;
}

std::string header_fields(const Message& m) {
    if (m.sentence == Sentence::MEB) {
        std::string t = " (";
        if (m.meb_index) t += "index " + std::to_string(*m.meb_index) + ", ";
        if (m.meb_broadcast) t += "broadcast " + std::to_string(*m.meb_broadcast) + ", ";
        return t + std::to_string(m.bits.size()) + " bits)";
    }
    std::string t = " (repeat " + std::to_string(*m.repeat);
    if (m.seqno) t += ", seqno " + std::to_string(*m.seqno) + ", retransmit " + (*m.retransmit ? "yes" : "no");
    return t + ")";
}

std::string position_text(const std::optional<double>& deg, const std::optional<double>& bad, bool longitude) {
    const auto text = [longitude](double d) {
        const auto raw = static_cast<std::int64_t>(d * 600000.0 + (d < 0 ? -0.5 : 0.5));
        return degrees_minutes(raw, longitude) + "  " + fixed(d, 6) + "\u00B0";
    };
    if (bad) return "invalid: " + text(*bad) + " (out of range)";
    if (!deg) return std::string("not available (") + (longitude ? "181" : "91") + "\u00B0)";
    return text(*deg);
}

std::string volts_text(const std::optional<double>& v) { return v ? fixed(*v, 2) + " V" : "not used (0)"; }


}  // namespace

std::string utc_text(std::int64_t seconds) {
    // Civil date from days since 1970 (Howard Hinnant's algorithm).
    std::int64_t days = seconds / 86400, rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t mo = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (mo <= 2);
    char b[64];
    std::snprintf(b, sizeof b, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(y),
                  static_cast<long long>(mo), static_cast<long long>(d), static_cast<long long>(rem / 3600),
                  static_cast<long long>(rem / 60 % 60), static_cast<long long>(rem % 60));
    return b;
}

std::string describe(const Message& m, std::string_view where) {
    std::string t(where);
    t += ": ";
    if (m.sentence == Sentence::MEB) t += "MEB load of ";
    t += "Message " + std::to_string(m.type);
    if (m.dac && !m.report) t += " (DAC " + std::to_string(*m.dac) + " FI " + std::to_string(*m.fi) + ")";
    t += " from " + mmsi_text(m.mmsi);
    if (m.dest_mmsi) t += " to " + mmsi_text(*m.dest_mmsi);
    if (m.aton) {
        const AtonPosition& a = *m.aton;
        t += header_fields(m) + ": aid-to-navigation report" + tag_text(m) + "\n";
        t += row("Type of aid", std::string(aid_type_name(a.aid_type)) + " (" + std::to_string(a.aid_type) + ")");
        t += row("Name", a.name.empty() ? "(none)" : a.name);
        t += row("Position accuracy", a.accuracy ? "high" : "low");
        t += row("Longitude", position_text(a.lon, a.bad_lon, true));
        t += row("Latitude", position_text(a.lat, a.bad_lat, false));
        t += row("Dimensions", "to bow " + std::to_string(a.dim_a) + " m, to stern " + std::to_string(a.dim_b) +
                                   " m, to port " + std::to_string(a.dim_c) + " m, to starboard " +
                                   std::to_string(a.dim_d) + " m");
        t += row("Position fix device", std::string(epfd_name(a.epfd)) + " (" + std::to_string(a.epfd) + ")");
        t += row("Time stamp", a.second < 60 ? std::to_string(a.second) + " s"
                                             : std::string(time_stamp_meaning(a.second)) + " (" +
                                                   std::to_string(a.second) + ")");
        // The flag means nothing without a time stamp.
        t += row("Off position", a.second < 60 ? (a.off_position ? "yes" : "no")
                                               : std::string(a.off_position ? "yes" : "no") + " (no time stamp)");
        char st[16];
        std::snprintf(st, sizeof st, "0x%02X", a.status);
        t += row("AtoN status", st);
        t += row("RAIM flag", a.raim ? "yes" : "no");
        t += row("Virtual aid", a.virtual_aid ? "yes" : "no");
        t += row("Assigned mode", a.assigned ? "yes" : "no");
        return t;
    }
    if (m.monitor) {
        const AtonMonitor& x = *m.monitor;
        t += header_fields(m) + ": AtoN monitoring report" + tag_text(m) + "\n";
        t += row("Analogue internal", volts_text(x.internal_v));
        t += row("Analogue external 1", volts_text(x.external1_v));
        t += row("Analogue external 2", volts_text(x.external2_v));
        t += row("RACON", std::string(racon_name(x.racon)) + " (" + std::to_string(x.racon) + ")");
        t += row("Light", std::string(light_name(x.light)) + " (" + std::to_string(x.light) + ")");
        t += row("Alarm", x.alarm ? "yes" : "no");
        std::string inputs;
        for (int i = 7; i >= 0; --i) inputs += (x.digital >> i & 1u) ? '1' : '0';
        t += row("Digital inputs 7..0", inputs);
        t += row("Off position", x.off_position ? "yes" : "no");
        return t;
    }
    if (!m.report) return t + ": not a monitoring report" + tag_text(m) + "\n";

    t += header_fields(m) + ": monitoring report, DAC 1 FI 51" + tag_text(m) + "\n";
    for (const Value& v : m.report->values) t += row(v.field->name, readable(v, *m.report));
    return t;
}

nlohmann::ordered_json to_json(const Message& m) {
    nlohmann::ordered_json j;
    j["line"] = m.line;
    if (m.received) {
        j["received"] = utc_text(*m.received);
        j["received_unix"] = *m.received;
    }
    if (!m.tag_source.empty()) j["tag_source"] = m.tag_source;
    j["sentence"] = sentence_name(m.sentence);
    j["talker"] = m.talker;
    if (!m.channel.empty()) j["channel"] = m.channel;
    j["type"] = m.type;
    if (m.repeat) j["repeat"] = *m.repeat;
    j["mmsi"] = m.mmsi;
    if (m.seqno) j["seqno"] = *m.seqno;
    if (m.dest_mmsi) j["dest_mmsi"] = *m.dest_mmsi;
    if (m.retransmit) j["retransmit"] = *m.retransmit;
    if (m.meb_seq_id) j["meb_seq_id"] = *m.meb_seq_id;
    if (m.meb_index) j["meb_index"] = *m.meb_index;
    if (m.meb_broadcast) j["meb_broadcast"] = *m.meb_broadcast;
    if (m.dac) j["dac"] = *m.dac;
    if (m.fi) j["fi"] = *m.fi;
    j["bits"] = m.bits.size();
    j["report"] = m.report.has_value();
    if (m.report) {
        nlohmann::ordered_json invalid = nlohmann::ordered_json::array();
        for (const Value& v : m.report->values) {
            j[v.field->key] = json_value(v);
            if (!v.valid()) invalid.push_back(v.field->key);
        }
        j["msg_ids_match"] = m.report->ids_match();
        if (!invalid.empty()) j["invalid"] = invalid;
    }
    const auto opt = [](const std::optional<double>& v) -> nlohmann::ordered_json {
        if (v) return *v;
        return nullptr;
    };
    if (m.aton) {
        const AtonPosition& a = *m.aton;
        j["aid_type"] = a.aid_type;
        j["aid_type_name"] = aid_type_name(a.aid_type);
        j["name"] = a.name;
        j["position_accuracy"] = a.accuracy;
        j["lon_deg"] = opt(a.lon);
        j["lat_deg"] = opt(a.lat);
        if (a.bad_lon || a.bad_lat) {
            nlohmann::ordered_json invalid = nlohmann::ordered_json::array();
            if (a.bad_lon) invalid.push_back("lon_deg");
            if (a.bad_lat) invalid.push_back("lat_deg");
            j["invalid"] = invalid;
        }
        j["to_bow_m"] = a.dim_a;
        j["to_stern_m"] = a.dim_b;
        j["to_port_m"] = a.dim_c;
        j["to_starboard_m"] = a.dim_d;
        j["epfd"] = a.epfd;
        j["epfd_name"] = epfd_name(a.epfd);
        j["time_stamp"] = a.second;
        j["off_position"] = a.off_position;
        j["aton_status"] = a.status;
        j["raim"] = a.raim;
        j["virtual_aid"] = a.virtual_aid;
        j["assigned"] = a.assigned;
    }
    if (m.monitor) {
        const AtonMonitor& x = *m.monitor;
        j["monitor"] = true;
        j["internal_v"] = opt(x.internal_v);
        j["external1_v"] = opt(x.external1_v);
        j["external2_v"] = opt(x.external2_v);
        j["racon"] = racon_name(x.racon);
        j["light"] = light_name(x.light);
        j["alarm"] = x.alarm;
        j["digital_inputs"] = x.digital;
        j["off_position"] = x.off_position;
    }
    return j;
}

std::string brief(const Message& m, std::string_view where) {
    if (!m.report && !m.monitor && !m.aton) return "";
    std::string t = m.received ? utc_text(*m.received) : std::string(where);
    t += "  " + mmsi_text(m.mmsi);
    const auto v = [&](const char* key) { return m.report->find(key); };
    if (m.report) {
        const auto num = [&](const char* key, const char* unit) {
            const auto x = v(key)->number();
            return x ? fixed(*x, 2) + " " + unit : std::string("- ") + unit;
        };
        t += "  report  " + num("battery_v", "V") + "  " + num("panel_a", "A") + "  " + num("charge_ah", "Ah") +
             "  " + v("charger")->label();
        std::string alarms;
        for (const auto& [key, name] : {std::pair<const char*, const char*>{"alarm_low_battery", "low-battery"},
                                        {"alarm_gps", "gps"},
                                        {"alarm_input1", "input1"},
                                        {"alarm_input2", "input2"},
                                        {"alarm_input3", "input3"}})
            if (v(key)->flag()) alarms += (alarms.empty() ? "" : ",") + std::string(name);
        t += "  alarms " + (alarms.empty() ? std::string("none") : alarms);
        if (!v("lat_deg")->valid() || !v("lon_deg")->valid()) t += "  position invalid";
    } else if (m.monitor) {
        const AtonMonitor& x = *m.monitor;
        const auto volts = [](const std::optional<double>& o) { return o ? fixed(*o, 2) + " V" : std::string("-"); };
        std::string inputs;
        for (int i = 7; i >= 0; --i) inputs += (x.digital >> i & 1u) ? '1' : '0';
        t += "  monitor  " + volts(x.internal_v) + "  ext " + volts(x.external1_v) + " / " + volts(x.external2_v) +
             "  light " + light_name(x.light) + "  racon " + racon_name(x.racon) + "  inputs " + inputs + "  " +
             (x.alarm ? "ALARM" : "alarm none") + (x.off_position ? "  OFF POSITION" : "");
    } else {
        const AtonPosition& a = *m.aton;
        const auto deg = [](const std::optional<double>& o, const std::optional<double>& bad) {
            return bad ? std::string("invalid") : o ? fixed(*o, 5) : std::string("-");
        };
        t += "  aton  \"" + a.name + "\"  " + deg(a.lat, a.bad_lat) + " " + deg(a.lon, a.bad_lon) + "  " +
             aid_type_name(a.aid_type) +
             (a.virtual_aid ? "  virtual" : "") + (a.off_position && a.second < 60 ? "  OFF POSITION" : "");
    }
    return t + "\n";
}

}  // namespace zelmora::ais
