#include "transponder.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "board.h"
#include "serial_line.h"
#include "host/pins.h"
#include "wiring.h"

namespace zsim {

namespace {

constexpr vtime kByteTime = (10ull * zplat::kSec + Transponder::kBaud / 2) / Transponder::kBaud;
constexpr size_t kMaxSentence = 255;
constexpr size_t kMaxChars = 60;                 // payload characters per VDM/VDO sentence
constexpr int64_t kMinuteNs = 60ll * 1000000000ll;
constexpr double kFeedDrop = 0.2;                // volts lost between the battery and the transponder
constexpr uint32_t kMaxMmsi = 999999999;
constexpr int kSatellitePrn[12] = {12, 25, 29, 5, 2, 20, 15, 24, 31, 18, 13, 10};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[200];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return std::string(buf, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof(buf)) - 1)));
}

// lead + body + "*hh" + CR LF (IEC 61162-1: XOR of the bytes between the
// lead character and the "*").
std::string frame(char lead, const std::string& body) {
    uint8_t sum = 0;
    for (const char c : body) sum ^= static_cast<uint8_t>(c);
    return lead + body + format("*%02X\r\n", sum);
}

std::string nine(uint32_t v) { return format("%09u", v); }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A field of decimal digits only, at most `max`; -1 otherwise.
int64_t number(const std::string& f, int64_t max) {
    if (f.empty() || f.size() > 10) return -1;
    int64_t v = 0;
    for (const char c : f) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= max ? v : -1;
}

std::vector<std::string> split(const std::string& body) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        const size_t comma = body.find(',', start);
        f.push_back(body.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return f;
        start = comma + 1;
    }
}

// Six-bit armouring of ITU-R M.1371 / IEC 61162-1: values 0..39 are "0".."W",
// 40..63 are "`".."w".
char armour(unsigned v) { return static_cast<char>(v < 40 ? v + 48 : v + 56); }

int dearmour(char c) {
    if (c >= '0' && c <= 'W') return c - 48;
    if (c >= '`' && c <= 'w') return c - 56;
    return -1;
}

// Appends the low `width` bits of v, most significant first.
void put(std::string& bits, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) bits.push_back((v >> i) & 1 ? '1' : '0');
}

// Six-bit text: "@" (0) .. "_" (31), blank (32) .. "?" (63).
void put_text(std::string& bits, const std::string& text, size_t from, size_t chars) {
    for (size_t i = from; i < from + chars; ++i) {
        const uint8_t c = i < text.size() ? static_cast<uint8_t>(text[i]) : '@';
        put(bits, c & 0x3F, 6);
    }
}

// Degrees to signed ten-thousandths of a minute.
int64_t ten_thousandths(double deg) { return std::llround(deg * 600000.0); }

std::string degrees_minutes(double deg, int deg_digits, char pos, char neg) {
    const int64_t u = std::llround(std::fabs(deg) * 600000.0);
    return format("%0*lld%02lld.%04lld,%c", deg_digits, static_cast<long long>(u / 600000),
                  static_cast<long long>(u % 600000 / 10000), static_cast<long long>(u % 10000), deg < 0 ? neg : pos);
}

}  // namespace

Transponder::Transponder(Board& board, const Scenario& sc)
    : board_(board),
      setup_(sc.transponder),
      gps_(sc.gps),
      mmsi_(sc.transponder.mmsi),
      destination_(sc.transponder.destination),
      out_(board, kByteTime + sc.transponder.byte_gap, [this](const std::string& t, vtime at) { return feed(t, at); }),
      rng_(sc.seed ^ 0xA54FF53A5F1D36F1ull) {
    const int64_t epoch = to_epoch(sc.utc_start);
    day_start_ns_ = -(((epoch % 86400) + 86400) % 86400) * 1000000000ll;
    if (!setup_.config_ok) {
        sbs_ = 1;
        mss_ = 6;
    }
    gps_filter_ = setup_.gps_output ? 9 : 0;
    if (setup_.present) {
        for (const ForeignMmsi& f : setup_.foreign) {
            const uint32_t m = f.mmsi;
            board_.schedule(f.at, [this, m] { foreign(m); });
        }
        for (size_t i = 0; i < setup_.pc.size(); ++i) {
            const Window w = setup_.pc[i];
            board_.schedule(w.at, [this, w, i] {
                if (running_) send(frame('$', "ANTXT,01,01,80,USB connected"), board_.now());
                pc_poll(i, w.at + kPcPoll);
            });
            if (w.duration != zplat::kNever) {
                board_.schedule(w.at + w.duration, [this] {
                    if (running_) send(frame('$', "ANTXT,01,01,80,USB disconnected"), board_.now());
                });
            }
        }
    }
    power(zplat::pin_level(wiring::kAisPower) != 0);
}

bool Transponder::covered(const std::vector<Window>& ws, vtime t) const {
    return std::any_of(ws.begin(), ws.end(), [t](const Window& w) { return w.covers(t); });
}

// ------------------------------------------------------------- power ----

void Transponder::on_pin_changed(uint8_t pin) {
    if (pin == wiring::kAisPower) power(zplat::pin_level(wiring::kAisPower) != 0);
}

void Transponder::power(bool on) {
    if (!setup_.present || on == powered_) return;
    powered_ = on;
    if (on) reboot();
    else stop();
}

void Transponder::stop() {
    ++gen_;
    running_ = false;
    out_.clear();
    rx_active_ = false;
    meb_.active = false;
    load_pending_ = false;   // the load lives in its RAM
    gps_ticking_ = false;
    next6_ = next21_ = zplat::kNever;
}

void Transponder::reboot() {
    stop();
    const uint64_t g = gen_;
    board_.schedule(board_.now() + kBootTime, [this, g] {
        if (g == gen_) booted();
    });
}

void Transponder::booted() {
    running_ = true;
    channel_b_[0] = channel_b_[1] = false;
    send(frame('$', "ANTXT,01,01,80,Exiting standby"), board_.now());
    schedule_slot(true);
    schedule_slot(false);
    start_gps();
}

void Transponder::foreign(uint32_t mmsi) {
    mmsi_ = mmsi;
    if (powered_) reboot();
}

// ------------------------------------------------------------- radio ----

// Slots at the start slot of the UTC minute plus whole intervals since the
// world's UTC midnight: the first one after now.
void Transponder::schedule_slot(bool msg6) {
    const int interval = msg6 ? setup_.msg6_interval_s : setup_.msg21_interval_s;
    if (interval == 0) return;
    const int64_t base = day_start_ns_ + (msg6 ? kMsg6Slot : kMsg21Slot) * kMinuteNs / 2250;
    const int64_t period = interval * 1000000000ll;
    const int64_t now = static_cast<int64_t>(board_.now());
    const int64_t n = now < base ? 0 : (now - base) / period + 1;
    const vtime at = static_cast<vtime>(base + n * period);
    (msg6 ? next6_ : next21_) = at;
    const uint64_t g = gen_;
    board_.schedule(at, [this, g, msg6, at] {
        if (g == gen_) slot(msg6, at);
    });
}

void Transponder::slot(bool msg6, vtime at) {
    if (!msg6) {
        transmit(msg21_bits(), channel_b_[0], at);
        ++counters_.msg21;
    } else if (load_pending_) {
        std::string bits;
        put(bits, 6, 6);
        put(bits, 0, 2);   // repeat indicator
        put(bits, mmsi_, 30);
        put(bits, sequence_, 2);
        put(bits, load_destination_, 30);
        put(bits, 0, 1);   // retransmit flag
        put(bits, 0, 1);   // spare
        bits += last_load_;
        last_msg6_ = bits;
        load_pending_ = false;
        sequence_ = (sequence_ + 1) & 3;
        transmit(bits, channel_b_[1], at);
        ++counters_.msg6;
    } else {
        send(frame('$', "ANTXT,01,01,62,Buffer empty msg 06"), at + kEchoDelay);
        ++counters_.empty;
    }
    schedule_slot(msg6);
}

// ITU-R M.1371 Message 21, aids-to-navigation report.
std::string Transponder::msg21_bits() const {
    const std::string& name = setup_.name;
    std::string bits;
    put(bits, 21, 6);
    put(bits, 0, 2);
    put(bits, mmsi_, 30);
    put(bits, static_cast<uint64_t>(setup_.aid_type), 5);
    put_text(bits, name, 0, 20);
    put(bits, gps_.fix_quality == 2 ? 1 : 0, 1);   // position accuracy: DGPS is better than 10 m
    put(bits, static_cast<uint64_t>(ten_thousandths(gps_.longitude)), 28);
    put(bits, static_cast<uint64_t>(ten_thousandths(gps_.latitude)), 27);
    put(bits, 2, 9);    // to bow
    put(bits, 2, 9);    // to stern
    put(bits, 1, 6);    // to port
    put(bits, 1, 6);    // to starboard
    put(bits, 1, 4);    // EPFD: GPS
    put(bits, static_cast<uint64_t>(board_.world_utc().second), 6);
    put(bits, 0, 1);    // off position
    put(bits, 0, 8);    // AtoN status
    put(bits, 0, 1);    // RAIM
    put(bits, 0, 1);    // virtual AtoN
    put(bits, 0, 1);    // assigned mode
    put(bits, 0, 1);    // spare
    if (name.size() > 20) {
        put_text(bits, name, 20, name.size() - 20);
        while (bits.size() % 8 != 0) bits.push_back('0');   // spare up to a whole byte
    }
    return bits;
}

// One transmission, on the other channel than the message's previous one:
// the shore's log and the echo on the line.
void Transponder::transmit(const std::string& bits, bool& channel_b, vtime at) {
    const char channel = channel_b ? 'B' : 'A';
    channel_b = !channel_b;
    air_at_ = at;
    std::string chars;
    for (size_t i = 0; i < bits.size(); i += 6) {
        unsigned v = 0;
        for (size_t k = 0; k < 6; ++k) v = v << 1 | (i + k < bits.size() && bits[i + k] == '1' ? 1u : 0u);
        chars.push_back(armour(v));
    }
    const unsigned fill = static_cast<unsigned>(chars.size() * 6 - bits.size());
    const size_t count = (chars.size() + kMaxChars - 1) / kMaxChars;
    auto sentences = [&](const char* address, unsigned& id, bool log) {
        const std::string seq = count > 1 ? std::to_string(id) : "";
        if (count > 1) id = (id + 1) % 10;
        for (size_t k = 0; k < count; ++k) {
            const std::string body = format("%s,%zu,%zu,%s,%c,", address, count, k + 1, seq.c_str(), channel) +
                                     chars.substr(k * kMaxChars, kMaxChars) +
                                     format(",%u", k + 1 == count ? fill : 0u);
            std::string s = frame('!', body);
            if (log) {
                s.resize(s.size() - 2);   // the log's line end is the writer's
                if (air_sink_) air_sink_(s);
                if (air_capture_) air_.push_back(std::move(s));
            } else {
                send(s, at + kEchoDelay);
            }
        }
    };
    sentences("AIVDM", vdm_id_, true);
    sentences("AIVDO", vdo_id_, false);
}

// ---------------------------------------------------------- its GPS ----

void Transponder::start_gps() {
    if (!running_ || gps_ticking_ || gps_filter_ == 0) return;
    gps_ticking_ = true;
    const vtime now = board_.now();
    vtime at = now / zplat::kSec * zplat::kSec + kGpsDelay;
    if (at <= now) at += zplat::kSec;
    const uint64_t g = gen_;
    board_.schedule(at, [this, g] {
        if (g == gen_) gps_second();
    });
}

void Transponder::gps_second() {
    gps_ticking_ = false;
    if (gps_filter_ == 0) return;
    const Civil c = board_.world_utc();
    const std::string time = format("%02d%02d%02d.00", c.hour, c.minute, c.second);
    const std::string lat = degrees_minutes(gps_.latitude, 2, 'N', 'S');
    const std::string lon = degrees_minutes(gps_.longitude, 3, 'E', 'W');
    const vtime now = board_.now();
    if (gps_filter_ & 1) {
        send(frame('$', format("GPGGA,%s,%s,%s,1,%02d,%.1f,8.6,M,52.9,M,,", time.c_str(), lat.c_str(), lon.c_str(),
                               gps_.satellites, gps_.hdop)),
             now);
    }
    if (gps_filter_ & 2) send(frame('$', "GPGLL," + lat + "," + lon + "," + time + ",A,A"), now);
    if (gps_filter_ & 4) {
        std::string body = "GPGSA,A,3";
        for (int i = 0; i < 12; ++i) body += i < gps_.satellites ? format(",%02d", kSatellitePrn[i]) : ",";
        send(frame('$', body + format(",%.1f,%.1f,%.1f", gps_.hdop * 1.6, gps_.hdop, gps_.hdop * 1.3)), now);
    }
    if (gps_filter_ & 8) {
        send(frame('$', format("GPRMC,%s,A,%s,%s,%.1f,%.1f,%02d%02d%02d,,,A", time.c_str(), lat.c_str(), lon.c_str(),
                               gps_.speed_knots, gps_.course, c.day, c.month, c.year % 100)),
             now);
    }
    if (gps_filter_ & 16) {
        send(frame('$', format("GPVTG,%.1f,T,,M,%.1f,N,%.1f,K,A", gps_.course, gps_.speed_knots,
                               gps_.speed_knots * 1.852)),
             now);
    }
    if (gps_filter_ & 32) {
        send(frame('$', format("GPZDA,%s,%02d,%02d,%04d,00,00", time.c_str(), c.day, c.month, c.year)), now);
    }
    start_gps();
}

// ------------------------------------------------------ the PC program ----

void Transponder::pc_poll(size_t window, vtime at) {
    board_.schedule(at, [this, window, at] {
        if (!setup_.pc[window].covers(at)) return;
        if (running_) {
            send(ace_reply(), at + kReplyDelay);
            for (const std::string& s : aar_reply()) send(s, at + 2 * kReplyDelay);
            counters_.replies += 2;
        }
        pc_poll(window, at + kPcPoll);
    });
}

// ------------------------------------------------------------ replies ----

std::string Transponder::aid_reply() const {
    if (destination_ == 0) return frame('$', "ANAID," + nine(mmsi_) + ",1,,,R");
    return frame('$', "ANAID," + nine(mmsi_) + ",1," + nine(destination_) + ",0,R");
}

std::string Transponder::ace_reply() const {
    return frame('$', format("ANACE,%s,,%d,0,%d,0,%s,R", nine(mmsi_).c_str(), setup_.aid_type, setup_.aton_type,
                             setup_.name.c_str()));
}

std::vector<std::string> Transponder::mcr_reply() const {
    return {frame('$', format("ANMCR,%s,SBS,%u,R", nine(mmsi_).c_str(), sbs_)),
            frame('$', format("ANMCR,%s,MSS,%u,R", nine(mmsi_).c_str(), mss_))};
}

// One message's schedule: channel A from its start, channel B one interval
// later, each repeating every second interval (increment in slots of one
// channel, 37.5 a second).
std::string Transponder::aar_line(int msg, int interval_s, int slot, int slots, bool start) const {
    std::string body = format("ANAAR,%s,%d,1", nine(mmsi_).c_str(), msg);
    if (interval_s == 0) return frame('$', body + ",A,,-1,0,0,B,,-1,0,0,R");
    const int64_t a = slot * kMinuteNs / 2250;
    const int64_t b = a + interval_s * 1000000000ll;
    for (const int64_t t : {a, b}) {
        const int64_t minute = t / kMinuteNs;
        const int64_t s = t % kMinuteNs * 2250 / kMinuteNs;
        body += t == a ? ",A," : ",B,";
        if (start) {
            body += format("%02lld%02lld,%lld", static_cast<long long>(minute / 60 % 24),
                           static_cast<long long>(minute % 60), static_cast<long long>(s));
        } else {
            body += ",";
        }
        body += format(",%d,%d", interval_s * 75, slots);
    }
    return frame('$', body + ",R");
}

std::vector<std::string> Transponder::aar_reply() const {
    return {aar_line(6, setup_.msg6_interval_s, kMsg6Slot, 3, true),
            aar_line(21, setup_.msg21_interval_s, kMsg21Slot, 2, setup_.aton_type != 3)};
}

double Transponder::supply_volts() {
    if (setup_.supply_volts >= 0) return setup_.supply_volts;
    return std::max(0.0, board_.battery().volts() - kFeedDrop);
}

void Transponder::nak(const std::string& talker, const std::string& formatter, int reason, const std::string& text,
                      vtime at) {
    send(frame('$', format("ANNAK,%s,%s,%s,%d,%s", talker.c_str(), formatter.c_str(), nine(mmsi_).c_str(), reason,
                           text.c_str())),
         at + kReplyDelay);
    ++counters_.naks;
}

// ----------------------------------------------------------- the line ----

void Transponder::on_byte(uint8_t byte, uint64_t at, uint32_t baud) {
    if (!running_) return;
    if (baud != kBaud || covered(setup_.silent, at)) {
        rx_active_ = false;   // garbage, or a dead line: the sentence is lost
        return;
    }
    if (byte == '$' || byte == '!') {
        rx_.assign(1, static_cast<char>(byte));
        rx_active_ = true;
    } else if (!rx_active_) {
        return;
    } else if (byte == '\r' || byte == '\n') {
        rx_active_ = false;
        sentence(rx_, at);
    } else if (rx_.size() >= kMaxSentence) {
        rx_active_ = false;
    } else {
        rx_.push_back(static_cast<char>(byte));
    }
}

void Transponder::sentence(const std::string& line, vtime at) {
    const size_t star = line.find('*');
    std::string body;
    if (star == std::string::npos) {
        // The configuration writes arrive without a checksum field.
        if (line.compare(1, 6, "UPMCR,") != 0) {
            ++counters_.bad_checksum;
            return;
        }
        body = line.substr(1);
    } else {
        const int hi = line.size() == star + 3 ? hex_value(line[star + 1]) : -1;
        const int lo = hi < 0 ? -1 : hex_value(line[star + 2]);
        uint8_t sum = 0;
        for (size_t i = 1; i < star; ++i) sum ^= static_cast<uint8_t>(line[i]);
        if (lo < 0 || sum != hi * 16 + lo) {
            ++counters_.bad_checksum;
            return;
        }
        body = line.substr(1, star - 1);
    }
    ++counters_.sentences;
    const std::vector<std::string> f = split(body);
    const std::string& address = f[0];
    if (address == "PSMT") {
        proprietary(f, at);
        return;
    }
    if (address.size() != 5) return;
    const std::string talker = address.substr(0, 2), formatter = address.substr(2);
    if (formatter == "ANQ" && f.size() == 2) {
        query(talker, f[1], at);
    } else if (formatter == "AID" || formatter == "MCR") {
        write(talker, formatter, f, at);
    } else if (formatter == "MEB" && line[0] == '!') {
        meb(talker, f, at);
    }
}

void Transponder::query(const std::string& talker, const std::string& what, vtime at) {
    const vtime t = at + kReplyDelay;
    if (what == "AID") {
        send(aid_reply(), t);
    } else if (what == "ACE") {
        send(ace_reply(), t);
    } else if (what == "MCR") {
        for (const std::string& s : mcr_reply()) send(s, t);
    } else if (what == "AAR") {
        for (const std::string& s : aar_reply()) send(s, t);
    } else {
        nak(talker, what, 1, "Sentence not supported", at);
        return;
    }
    ++counters_.replies;
}

// $UPAID,<mmsi>,1,<value>,0|R,C and $UPMCR,<mmsi>,SBS,<v>,C / ...,MSS,<v>,<mask>,C
void Transponder::write(const std::string& talker, const std::string& formatter, const std::vector<std::string>& f,
                        vtime at) {
    if (f.size() < 5 || f.back() != "C") return;   // not a configuration command
    if (number(f[1], kMaxMmsi) != static_cast<int64_t>(mmsi_)) {
        nak(talker, formatter, 11, "Wrong MMSI", at);
        return;
    }
    if (formatter == "AID" && f.size() == 6) {
        const int64_t m = number(f[3], kMaxMmsi);
        if (m > 0 && f[4] == "R") {
            mmsi_ = static_cast<uint32_t>(m);
            return;
        }
        if (m >= 0 && f[4] == "0") {
            destination_ = static_cast<uint32_t>(m);
            return;
        }
    } else if (formatter == "MCR" && f.size() == 5 && f[2] == "SBS") {
        const int64_t v = number(f[3], UINT32_MAX);
        if (v >= 0) {
            sbs_ = static_cast<uint32_t>(v);
            return;
        }
    } else if (formatter == "MCR" && f.size() == 6 && f[2] == "MSS") {
        const int64_t v = number(f[3], UINT32_MAX), mask = number(f[4], UINT32_MAX);
        if (v >= 0 && mask >= 0) {
            mss_ = (mss_ & ~static_cast<uint32_t>(mask)) | (static_cast<uint32_t>(v) & static_cast<uint32_t>(mask));
            return;
        }
    }
    nak(talker, formatter, 11, "Invalid field", at);
}

// $PSMT,0,0,0x00000000,<n>,<command>,<code>
void Transponder::proprietary(const std::vector<std::string>& f, vtime at) {
    if (f.size() < 6) return;
    const std::string& cmd = f[5];
    std::string value;
    int code;
    if (cmd.compare(0, 8, "gpsfilt ") == 0) {
        const int64_t n = number(cmd.substr(8), 63);
        if (n >= 0) gps_filter_ = static_cast<uint8_t>(n);
        send(frame('$', "PSMT,1," + cmd + (n >= 0 ? ",0" : ",1")), at + kReplyDelay);
        ++counters_.replies;
        start_gps();
        return;
    }
    if (cmd == "vin") {
        code = 6;
        value = std::to_string(std::llround(supply_volts() * 1000.0));
    } else if (cmd == "vswr") {
        code = 5;
        value = std::to_string(std::llround(setup_.vswr * 10.0));
    } else if (cmd == "getatontype") {
        code = 7;
        value = std::to_string(setup_.aton_type);
    } else if (cmd == "appver") {
        code = 1;
        value = setup_.firmware;
    } else if (cmd == "getserno") {
        code = 4;
        value = setup_.serial;
    } else {
        return;   // not one of its commands
    }
    send(frame('$', format("PSMT,1,%s,%d,%s", cmd.c_str(), code, value.c_str())), at + kReplyDelay);
    ++counters_.replies;
}

// !AIMEB,S,k,id,0,<mmsi>,6,<index>,<flag>,<destination>,0,C,<payload>,<fill>
void Transponder::meb(const std::string& talker, const std::vector<std::string>& f, vtime at) {
    if (f.size() != 14) return;
    const int64_t total = number(f[1], 9), k = number(f[2], 9), id = number(f[3], 9), fill = number(f[13], 5);
    const bool chars = !f[12].empty() && std::all_of(f[12].begin(), f[12].end(), [](char c) { return dearmour(c) >= 0; });
    if (total < 1 || k < 1 || k > total || id < 0 || fill < 0 || !chars || (k < total && fill != 0)) {
        meb_.active = false;
        return;
    }
    if (k == 1) {
        meb_ = Assembly{true, static_cast<int>(total), 2, static_cast<int>(id), f, f[12]};
    } else if (meb_.active && meb_.total == total && meb_.id == id && meb_.next == k) {
        meb_.payload += f[12];
        ++meb_.next;
    } else {
        meb_.active = false;   // out of order: the load is lost
        return;
    }
    if (k != total) return;
    meb_.active = false;
    const std::vector<std::string>& first = meb_.fields;
    std::string bits;
    for (const char c : meb_.payload) put(bits, static_cast<uint64_t>(dearmour(c)), 6);
    bits.resize(bits.size() - static_cast<size_t>(fill));
    const int64_t dest = number(first[9], kMaxMmsi);
    if (covered(setup_.nak, at)) {
        nak(talker, "MEB", 3, "Buffer not available", at);
    } else if (number(first[5], kMaxMmsi) != static_cast<int64_t>(mmsi_)) {
        nak(talker, "MEB", 11, "Wrong MMSI", at);
    } else if (first[6] != "6" || dest <= 0 || bits.size() > kMaxData) {
        nak(talker, "MEB", 11, "Invalid field", at);
    } else {
        last_load_ = bits;
        load_pending_ = true;
        load_destination_ = static_cast<uint32_t>(dest);
        ++counters_.loads;
    }
}

// ------------------------------------------------------------ output ----

bool Transponder::feed(const std::string& text, vtime start) {
    if (covered(setup_.silent, start)) return false;
    std::string bytes = text;
    const vtime step = kByteTime + setup_.byte_gap;
    corrupt_line(bytes, start, step, setup_.noise, rng_);
    zplat::UartPort* port = zplat::uart_by_index(wiring::kAisPort);
    if (setup_.byte_gap == 0) {
        port->host_feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), start, kBaud);
    } else {
        for (size_t i = 0; i < bytes.size(); ++i)
            port->host_feed(reinterpret_cast<const uint8_t*>(&bytes[i]), 1, start + i * step, kBaud);
    }
    return true;
}

}  // namespace zsim
