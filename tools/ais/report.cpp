// The bit reader and the table of the unit's Message 6 monitoring report.
#include "ais.h"

#include <array>
#include <cmath>
#include <cstdlib>

namespace zelmora::ais {

std::size_t minimum_bits(unsigned type) {
    // ITU-R M.1371-5 Annex 8. Variable-length messages at their header:
    // 6 and 12 the addressed header (72) plus, for 6, DAC and FI; 7 and 13
    // one acknowledged MMSI; 8 the broadcast header and DAC/FI; 14 the
    // header; 15 one interrogation; 17 the position block; 20 one slot
    // reservation; 25 the two flags; 26 the flags and the communication state.
    static constexpr std::array<std::size_t, 28> table = {
        0,                     // 0 does not exist
        168, 168, 168, 168,    // 1-3 position reports, 4 base station report
        424,                   // 5 static and voyage data
        88, 72, 56,            // 6 addressed binary, 7 binary ack, 8 broadcast binary
        168, 72, 168,          // 9 SAR aircraft, 10 UTC enquiry, 11 UTC response
        72, 72, 40,            // 12 addressed safety, 13 safety ack, 14 safety broadcast
        88, 96, 80,            // 15 interrogation, 16 assignment, 17 DGNSS broadcast
        168, 312, 72,          // 18 class B position, 19 extended, 20 data link management
        272, 168, 160,         // 21 aid to navigation, 22 channel management, 23 group assignment
        160, 40, 60,           // 24 static data (part A), 25 single-slot binary, 26 multi-slot binary
        96,                    // 27 long-range position
    };
    return type < table.size() ? table[type] : 0;
}

// ---- bits ----

bool Bits::append_armoured(std::string_view chars) {
    for (char ch : chars) {
        // IEC 61162-1 armouring: '0'..'W' are 0..39, '`'..'w' are 40..63.
        const unsigned c = static_cast<unsigned char>(ch);
        unsigned v;
        if (c >= '0' && c <= 'W') v = c - '0';
        else if (c >= '`' && c <= 'w') v = c - '`' + 40;
        else return false;
        values_.push_back(static_cast<std::uint8_t>(v));
        count_ += 6;
    }
    return true;
}

void Bits::drop_last(std::size_t n) { count_ = n >= count_ ? 0 : count_ - n; }

std::string Bits::armoured() const {
    std::string out;
    for (std::size_t b = 0; b < count_; b += 6) {
        const auto v = static_cast<unsigned>(u(b, 6));
        out += static_cast<char>(v < 40 ? v + '0' : v - 40 + '`');
    }
    return out;
}

std::uint64_t Bits::u(std::size_t first, unsigned width) const {
    std::uint64_t r = 0;
    for (unsigned i = 0; i < width; ++i) {
        const std::size_t b = first + i;
        unsigned bit = 0;
        if (b < count_) bit = (values_[b / 6] >> (5 - b % 6)) & 1u;
        r = (r << 1) | bit;
    }
    return r;
}

std::int64_t Bits::s(std::size_t first, unsigned width) const {
    const std::uint64_t r = u(first, width);
    if (width == 0 || width >= 64) return static_cast<std::int64_t>(r);
    const std::uint64_t sign = std::uint64_t{1} << (width - 1);
    return static_cast<std::int64_t>(r ^ sign) - static_cast<std::int64_t>(sign);
}

std::string Bits::text(std::size_t first, unsigned chars) const {
    std::string t;
    for (unsigned i = 0; i < chars; ++i) {
        const auto v = static_cast<unsigned>(u(first + 6u * i, 6));
        // ITU-R M.1371 Table 47: 0..31 are '@'..'_', 32..63 are ' '..'?'.
        t += static_cast<char>(v < 32 ? v + 64 : v);
    }
    return t;
}

// ---- the report's table ----

namespace {

const char* const kCharger[] = {"OFF", "CHARGING", "CHARGE FINISH", "NO CHARGE"};
const char* const kSelector[] = {"SOTDMA", "ITDMA"};

constexpr std::int64_t kLonNotAvailable = 181 * 600000;   // 181 degrees
constexpr std::int64_t kLatNotAvailable = 91 * 600000;    // 91 degrees

Field number(const char* name, unsigned first, unsigned width, double divisor, const char* unit,
             const char* key, int decimals = 0, std::int64_t na = -1) {
    return Field{name, first, width, false, divisor, unit, key, Kind::Number, na, decimals};
}

Field flag(const char* name, unsigned first, const char* key) {
    return Field{name, first, 1, false, 1, "", key, Kind::Flag, -1, 0};
}

Field text(const char* name, unsigned first, unsigned chars, const char* key) {
    return Field{name, first, 6 * chars, false, 1, "", key, Kind::Text, -1, 0};
}

Field label(const char* name, unsigned first, unsigned width, const char* key,
            const char* const* labels, unsigned count) {
    return Field{name, first, width, false, 1, "", key, Kind::Label, -1, 0, labels, count};
}

std::vector<Field> make_table() {
    // Bits from the DAC on; the status byte (54..61) is shown whole and then
    // split: bits 0-1 of its value (60-61) the charger, bit 2 (59) the low
    // battery alarm, 3 GPS, 4..6 the external inputs 1..3.
    return {
        number("Message id", 16, 8, 1, "", "msg_id"),
        number("Battery", 24, 10, 20, "V", "battery_v", 2),
        number("Panel current", 34, 10, 20, "A", "panel_a", 2),
        number("Accumulated charge", 44, 10, 20, "Ah", "charge_ah", 2),
        Field{"Status and alarms", 54, 8, false, 1, "", "status", Kind::Hex, -1, 0},
        label("Charger", 60, 2, "charger", kCharger, 4),
        flag("Low battery alarm", 59, "alarm_low_battery"),
        flag("GPS alarm", 58, "alarm_gps"),
        flag("Input 1 alarm", 57, "alarm_input1"),
        flag("Input 2 alarm", 56, "alarm_input2"),
        flag("Input 3 alarm", 55, "alarm_input3"),
        number("VSWR", 62, 10, 10, "", "vswr", 1),
        number("Speed over ground", 72, 10, 10, "kn", "speed_kn", 1, 1023),
        flag("Position accuracy", 82, "position_accuracy"),
        Field{"Longitude", 83, 28, true, 600000, "deg", "lon_deg", Kind::Longitude, kLonNotAvailable, 6},
        Field{"Latitude", 111, 27, true, 600000, "deg", "lat_deg", Kind::Latitude, kLatNotAvailable, 6},
        number("Course over ground", 138, 12, 10, "deg", "course_deg", 1, 3600),
        number("True heading", 150, 9, 1, "deg", "heading_deg", 0, 511),
        Field{"Time stamp", 159, 6, false, 1, "s", "time_stamp", Kind::TimeStamp, -1, 0},
        flag("Class B unit flag", 165, "cs_unit"),
        flag("Display flag", 166, "display"),
        flag("DSC flag", 167, "dsc"),
        flag("Band flag", 168, "band"),
        flag("Message 22 flag", 169, "msg22"),
        flag("Assigned mode flag", 170, "assigned"),
        flag("RAIM flag", 171, "raim"),
        label("Communication state selector", 172, 1, "comm_state_selector", kSelector, 2),
        number("Communication state", 173, 19, 1, "", "comm_state"),
        text("Name", 192, 20, "name"),
        number("Type of ship and cargo", 312, 8, 1, "", "ship_type"),
        number("Dimension to bow", 320, 9, 1, "m", "to_bow_m"),
        number("Dimension to stern", 329, 9, 1, "m", "to_stern_m"),
        number("Dimension to port", 338, 6, 1, "m", "to_port_m"),
        number("Dimension to starboard", 344, 6, 1, "m", "to_starboard_m"),
        number("Position fix type", 350, 4, 1, "", "fix_type"),
        text("Vendor ID", 354, 3, "vendor_id"),
        number("Model code", 372, 4, 1, "", "model"),
        number("Serial number", 376, 20, 1, "", "serial"),
        text("Call sign", 396, 7, "callsign"),
        Field{"Message id (repeated)", 438, 8, false, 1, "", "msg_id_end", Kind::Repeat, -1, 0},
    };
}

std::string trim_text(std::string t) {
    while (!t.empty() && (t.back() == '@' || t.back() == ' ')) t.pop_back();
    return t;
}

}  // namespace

const std::vector<Field>& report_fields() {
    static const std::vector<Field> table = make_table();
    return table;
}

bool Value::available() const {
    if (field->kind == Kind::TimeStamp) return raw < 60;
    return field->not_available < 0 || raw != field->not_available;
}

bool Value::valid() const {
    if (field->kind == Kind::Latitude) return !available() || std::llabs(raw) <= 90 * 600000LL;
    if (field->kind == Kind::Longitude) return !available() || std::llabs(raw) <= 180 * 600000LL;
    return true;
}

std::optional<double> Value::number() const {
    if (!available() || !valid()) return std::nullopt;
    return static_cast<double>(raw) / field->divisor;
}

std::string Value::label() const {
    if (field->labels && raw >= 0 && static_cast<std::uint64_t>(raw) < field->label_count)
        return field->labels[raw];
    return std::to_string(raw);
}

const Value* Report::find(std::string_view key) const {
    for (const auto& v : values)
        if (key == v.field->key) return &v;
    return nullptr;
}

bool Report::ids_match() const {
    const Value* a = find("msg_id");
    const Value* b = find("msg_id_end");
    return a && b && a->raw == b->raw;
}

Report decode_report(const Bits& bits, std::size_t base) {
    Report r;
    for (const Field& f : report_fields()) {
        Value v;
        v.field = &f;
        const std::size_t at = base + f.first;
        v.raw = f.is_signed ? bits.s(at, f.width) : static_cast<std::int64_t>(bits.u(at, f.width));
        if (f.kind == Kind::Text) v.text = trim_text(bits.text(at, f.width / 6));
        r.values.push_back(std::move(v));
    }
    return r;
}

}  // namespace zelmora::ais

// ---- Message 21 and the AtoN monitoring report ----

namespace zelmora::ais {

namespace {
std::optional<double> degrees(std::int64_t raw, std::int64_t not_available) {
    if (raw == not_available) return std::nullopt;
    return static_cast<double>(raw) / 600000.0;
}

// A coordinate past its range is no position: cleared, and kept aside to be shown.
void out_of_range(std::optional<double>& deg, std::optional<double>& bad, double limit) {
    if (deg && std::abs(*deg) > limit) {
        bad = deg;
        deg.reset();
    }
}

// 0 means "not used" in FI 10; each step is 0.05 V.
std::optional<double> volts(std::uint64_t raw) {
    if (raw == 0) return std::nullopt;
    return static_cast<double>(raw) * 0.05;
}
}  // namespace

AtonPosition decode_aton(const Bits& b) {
    // ITU-R M.1371 Message 21: type 6, repeat 2, MMSI 30, then from bit 38.
    AtonPosition a;
    a.aid_type = static_cast<unsigned>(b.u(38, 5));
    std::string name = b.text(43, 20);
    a.accuracy = b.u(163, 1) != 0;
    a.lon = degrees(b.s(164, 28), kLonNotAvailable);
    a.lat = degrees(b.s(192, 27), kLatNotAvailable);
    out_of_range(a.lon, a.bad_lon, 180);
    out_of_range(a.lat, a.bad_lat, 90);
    a.dim_a = static_cast<unsigned>(b.u(219, 9));
    a.dim_b = static_cast<unsigned>(b.u(228, 9));
    a.dim_c = static_cast<unsigned>(b.u(237, 6));
    a.dim_d = static_cast<unsigned>(b.u(243, 6));
    a.epfd = static_cast<unsigned>(b.u(249, 4));
    a.second = static_cast<unsigned>(b.u(253, 6));
    a.off_position = b.u(259, 1) != 0;
    a.status = static_cast<unsigned>(b.u(260, 8));
    a.raim = b.u(268, 1) != 0;
    a.virtual_aid = b.u(269, 1) != 0;
    a.assigned = b.u(270, 1) != 0;
    // The name extension: up to 14 more characters from bit 272, then spare
    // bits up to a whole byte.
    std::size_t ext = b.size() > 272 ? (b.size() - 272) / 6 : 0;
    if (ext > 14) ext = 14;
    const std::string more = trim_text(b.text(272, static_cast<unsigned>(ext)));
    a.name = more.empty() ? trim_text(name) : trim_text(name + more);
    return a;
}

AtonMonitor decode_monitor(const Bits& b, std::size_t base) {
    // After the DAC and FI: three analogue values of 10 bits, RACON 2,
    // light 2, alarm 1, digital inputs 8 (input 7 first), off position 1.
    const std::size_t at = base + 16;
    AtonMonitor m;
    m.internal_v = volts(b.u(at, 10));
    m.external1_v = volts(b.u(at + 10, 10));
    m.external2_v = volts(b.u(at + 20, 10));
    m.racon = static_cast<unsigned>(b.u(at + 30, 2));
    m.light = static_cast<unsigned>(b.u(at + 32, 2));
    m.alarm = b.u(at + 34, 1) != 0;
    m.digital = static_cast<unsigned>(b.u(at + 35, 8));
    m.off_position = b.u(at + 43, 1) != 0;
    return m;
}

const char* aid_type_name(unsigned type) {
    // IALA's types of aid to navigation, as ITU-R M.1371 Table 74 lists them.
    static const char* const names[32] = {
        "not specified", "reference point", "RACON", "fixed structure off shore",
        "emergency wreck marking buoy", "light, without sectors", "light, with sectors", "leading light front",
        "leading light rear", "beacon, cardinal N", "beacon, cardinal E", "beacon, cardinal S",
        "beacon, cardinal W", "beacon, port hand", "beacon, starboard hand",
        "beacon, preferred channel port hand", "beacon, preferred channel starboard hand",
        "beacon, isolated danger", "beacon, safe water", "beacon, special mark", "cardinal mark N",
        "cardinal mark E", "cardinal mark S", "cardinal mark W", "port hand mark", "starboard hand mark",
        "preferred channel port hand", "preferred channel starboard hand", "isolated danger", "safe water",
        "special mark", "light vessel, LANBY or rig"};
    return type < 32 ? names[type] : "?";
}

const char* epfd_name(unsigned epfd) {
    static const char* const names[16] = {
        "undefined", "GPS", "GLONASS", "GPS and GLONASS", "Loran-C", "Chayka", "integrated navigation system",
        "surveyed", "Galileo", "not used", "not used", "not used", "not used", "not used", "not used",
        "internal GNSS"};
    return epfd < 16 ? names[epfd] : "?";
}

const char* racon_name(unsigned racon) {
    static const char* const names[4] = {"none", "not monitored", "operational", "error"};
    return racon < 4 ? names[racon] : "?";
}

const char* light_name(unsigned light) {
    static const char* const names[4] = {"none", "on", "off", "error"};
    return light < 4 ? names[light] : "?";
}

}  // namespace zelmora::ais
