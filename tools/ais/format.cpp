// Readable text and JSON for decoded messages; both walk the report's table.
#include "ais.h"

#include <cinttypes>
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
        std::string t = degrees_minutes(v.raw, lon) + "  " + fixed(*v.number(), f.decimals) + "\u00B0";
        if (std::llabs(v.raw) > (lon ? 180 : 90) * 600000LL) t += " (out of range)";
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
        if (!v.available()) return nullptr;
        return *v.number();
    case Kind::Hex:
    case Kind::TimeStamp:
    case Kind::Repeat: return v.raw;
    }
    return v.raw;
}

}  // namespace

std::string describe(const Message& m, std::string_view where) {
    std::string t(where);
    t += ": ";
    if (m.sentence == Sentence::MEB) t += "MEB load of ";
    t += "Message " + std::to_string(m.type);
    if (m.dac && !m.report) t += " (DAC " + std::to_string(*m.dac) + " FI " + std::to_string(*m.fi) + ")";
    t += " from " + mmsi_text(m.mmsi);
    if (m.dest_mmsi) t += " to " + mmsi_text(*m.dest_mmsi);
    if (!m.report) return t + ": not a monitoring report\n";

    if (m.sentence == Sentence::MEB) {
        t += " (";
        if (m.meb_index) t += "index " + std::to_string(*m.meb_index) + ", ";
        if (m.meb_broadcast) t += "broadcast " + std::to_string(*m.meb_broadcast) + ", ";
        t += std::to_string(m.bits.size()) + " bits)";
    } else {
        t += " (repeat " + std::to_string(*m.repeat) + ", seqno " + std::to_string(*m.seqno) +
             ", retransmit " + (*m.retransmit ? "yes" : "no") + ")";
    }
    t += ": monitoring report, DAC 1 FI 51\n";
    for (const Value& v : m.report->values) {
        char b[40];
        std::snprintf(b, sizeof b, "    %-30s", v.field->name);
        t += b + readable(v, *m.report) + "\n";
    }
    return t;
}

nlohmann::ordered_json to_json(const Message& m) {
    nlohmann::ordered_json j;
    j["line"] = m.line;
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
        for (const Value& v : m.report->values) j[v.field->key] = json_value(v);
        j["msg_ids_match"] = m.report->ids_match();
    }
    return j;
}

}  // namespace zelmora::ais
