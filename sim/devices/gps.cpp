#include "gps.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "board.h"
#include "serial_line.h"
#include "host/pins.h"
#include "wiring.h"

namespace zsim {

namespace {

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

constexpr vtime kByteTime = (10ull * zplat::kSec + Gps::kBaud / 2) / Gps::kBaud;
constexpr size_t kMaxCommand = 255;

// The sky: satellites in view, the first ones used in the fix.
struct Sat {
    int prn, elevation, azimuth, snr;
};
constexpr Sat kSky[] = {
    {12, 71, 45, 44}, {25, 64, 278, 42}, {29, 52, 163, 41}, {5, 47, 312, 39}, {2, 38, 101, 38},
    {20, 33, 226, 36}, {15, 27, 61, 35},  {24, 22, 132, 33}, {31, 19, 347, 31}, {18, 14, 254, 29},
    {13, 11, 18, 27},  {10, 8, 189, 24},  {26, 6, 295, 22},  {32, 4, 77, 20},   {21, 3, 208, 18},
    {16, 2, 330, 15},
};
constexpr int kSkySize = static_cast<int>(sizeof(kSky) / sizeof(kSky[0]));
constexpr double kResidual[12] = {0.4, -0.6, 0.2, 1.1, -0.3, 0.7, -0.9, 0.1, 0.5, -0.2, 0.8, -0.4};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "$" + body + "*hh\r\n".
std::string sentence(const std::string& body) {
    uint8_t sum = 0;
    for (const char c : body) sum ^= static_cast<uint8_t>(c);
    char tail[8];
    std::snprintf(tail, sizeof(tail), "*%02X\r\n", sum);
    return "$" + body + tail;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[160];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return std::string(buf, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof(buf)) - 1)));
}

// Degrees and minutes with six decimals of a minute: "ddmm.mmmmmm,N".
std::string coordinate(double deg, int deg_digits, char pos, char neg) {
    const int64_t um = std::llround(std::fabs(deg) * 60e6);   // millionths of a minute
    const int64_t d = um / 60000000, m = um % 60000000 / 1000000, f = um % 1000000;
    return format("%0*lld%02lld.%06lld,%c", deg_digits, static_cast<long long>(d), static_cast<long long>(m),
                  static_cast<long long>(f), deg < 0 ? neg : pos);
}

// The sentence kind of a line "$ttKKK..." whose type the output selection covers.
int kind_of(const std::string& line) {
    if (line.size() < 6 || line[0] != '$') return -1;
    static const char* const kNames[Gps::kKinds] = {"GLL", "RMC", "VTG", "GGA", "GSA", "GSV", "GRS", "GST", "ZDA"};
    for (int k = 0; k < Gps::kKinds; ++k) {
        if (line.compare(3, 3, kNames[k]) == 0) return k;
    }
    return -1;
}

// The hhmmss of a line's UTC time field, or "" when it has none.
std::string time_key(const std::string& line) {
    if (line.size() < 7 || line[0] != '$' || line[6] != ',') return "";
    const std::string type = line.substr(3, 3);
    int field;
    if (type == "GGA" || type == "RMC" || type == "ZDA" || type == "GNS" || type == "GST" || type == "GRS" ||
        type == "GBS") {
        field = 1;
    } else if (type == "GLL") {
        field = 5;
    } else {
        return "";
    }
    size_t pos = 6;
    for (int i = 1; i < field; ++i) {
        pos = line.find(',', pos + 1);
        if (pos == std::string::npos) return "";
    }
    const std::string key = line.substr(pos + 1, 6);
    if (key.size() != 6 || !std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return "";
    }
    return key;
}

}  // namespace

const Gps::Rates Gps::kDefaultRates = {1, 1, 1, 1, 1, 5, 0, 0, 1};

Gps::Gps(Board& board, const Scenario& sc)
    : board_(board),
      setup_(sc.gps),
      out_(board, kByteTime, [this](const std::string& t, vtime at) { return feed(t, at); }),
      rng_(sc.seed ^ 0x3C6EF372FE94F82Bull) {
    if (!setup_.replay.empty()) load_log(setup_.replay);
    for (const vtime at : setup_.restarts) board_.schedule(at, [this] { restart(); });
    power(zplat::pin_level(wiring::kGpsPower) != 0);
}

void Gps::load_log(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    // The shipped replays name the shared receiver logs, which live beside
    // the checkout rather than in it: say where they go.
    if (!in)
        throw std::runtime_error(
            absolute_path(path) +
            ": cannot open the NMEA log to replay\n  (the shipped replays read the shared receiver logs: put the "
            "shared testdata folder there, beside the checkout, or point [gps] replay at a log of your own)");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string key;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::string k = time_key(line);
        if (groups_.empty() || (!k.empty() && !key.empty() && k != key)) groups_.emplace_back();
        if (!k.empty()) key = k;
        groups_.back().push_back(line + "\r\n");
    }
}

bool Gps::fix_at(vtime t) const {
    for (const Window& w : setup_.outages) {
        if (w.covers(t)) return false;
    }
    return true;
}

// ------------------------------------------------------------- power ----

void Gps::on_pin_changed(uint8_t pin) {
    if (pin == wiring::kGpsPower) power(zplat::pin_level(wiring::kGpsPower) != 0);
}

void Gps::power(bool on) {
    if (!setup_.present || on == powered_) return;
    powered_ = on;
    if (on) reboot(false);
    else stop(false);
}

void Gps::restart() {
    if (powered_) reboot(false);
}

void Gps::stop(bool keep_output) {
    ++gen_;
    running_ = false;
    if (!keep_output) {
        rates_ = kDefaultRates;
        custom_ = false;
    }
    out_.clear();
    rx_active_ = false;
}

void Gps::reboot(bool keep_output) {
    stop(keep_output);
    const uint64_t g = gen_;
    board_.schedule(board_.now() + kBootTime, [this, g] {
        if (g == gen_) booted();
    });
}

void Gps::booted() {
    running_ = true;
    fix_ = 0;
    const vtime now = board_.now();
    send(sentence("PMTK011,MTKGPS"), now);
    send(sentence("PMTK010,001"), now);
    schedule_burst();
}

void Gps::schedule_burst() {
    const vtime now = board_.now();
    vtime at = now / zplat::kSec * zplat::kSec + kBurstDelay;
    if (at <= now) at += zplat::kSec;
    const uint64_t g = gen_;
    board_.schedule(at, [this, g, at] {
        if (g != gen_) return;
        burst(at);
        schedule_burst();
    });
}

// ------------------------------------------------------------ output ----

void Gps::burst(vtime at) {
    std::vector<std::string> out;
    if (setup_.replay.empty()) synthesise(at, fix_, out);
    else replay(fix_, out);
    ++fix_;
    if (out.empty()) return;
    ++bursts_;
    for (std::string& s : out) {
        // Its output buffer holds about a second of the line: a receiver
        // set to say more than 9600 baud can carry loses the rest.
        if (out_.backlog() + s.size() > kBacklogBytes) {
            ++dropped_;
            continue;
        }
        send(std::move(s), at);
    }
}


void Gps::synthesise(vtime at, uint64_t fix, std::vector<std::string>& out) const {
    const bool have_fix = fix_at(at);
    const Civil c = board_.world_utc();
    const std::string time = format("%02d%02d%02d.000", c.hour, c.minute, c.second);
    const std::string date = format("%02d%02d%02d", c.day, c.month, c.year % 100);
    const GpsSetup& g = setup_;
    const std::string lat = coordinate(g.latitude, 2, 'N', 'S');
    const std::string lon = coordinate(g.longitude, 3, 'E', 'W');
    const char mode = g.fix_quality == 2 ? 'D' : 'A';
    const int used = std::min(g.satellites, 12);
    const int in_view = std::min(g.satellites + 3, kSkySize);

    if (selected(kGga, fix)) {
        if (have_fix) {
            out.push_back(sentence(format("GPGGA,%s,%s,%s,%d,%02d,%.2f,%.1f,M,%.1f,M,%s", time.c_str(), lat.c_str(),
                                          lon.c_str(), g.fix_quality, g.satellites, g.hdop, kAltitude, kGeoid,
                                          g.fix_quality == 2 ? "0000,0000" : ",")));
        } else {
            out.push_back(sentence("GPGGA," + time + ",,,,,0,00,,,M,,M,,"));
        }
    }
    if (selected(kGsa, fix)) {
        std::string body = have_fix ? "GPGSA,A,3" : "GPGSA,A,1";
        for (int i = 0; i < 12; ++i) body += have_fix && i < used ? format(",%02d", kSky[i].prn) : ",";
        body += have_fix ? format(",%.2f,%.2f,%.2f", g.hdop * 1.6, g.hdop, g.hdop * 1.3) : ",,,";
        out.push_back(sentence(body));
    }
    if (selected(kGsv, fix)) {
        if (!have_fix || in_view == 0) {
            out.push_back(sentence("GPGSV,1,1,00"));
        } else {
            const int n = (in_view + 3) / 4;
            for (int s = 0; s < n; ++s) {
                std::string body = format("GPGSV,%d,%d,%02d", n, s + 1, in_view);
                for (int i = s * 4; i < std::min(in_view, s * 4 + 4); ++i) {
                    const Sat& sat = kSky[i];
                    body += format(",%02d,%02d,%03d,", sat.prn, sat.elevation, sat.azimuth);
                    if (i < g.satellites) body += format("%02d", sat.snr);
                }
                out.push_back(sentence(body));
            }
        }
    }
    if (selected(kRmc, fix)) {
        if (have_fix) {
            out.push_back(sentence(format("GPRMC,%s,A,%s,%s,%.2f,%.2f,%s,,,%c", time.c_str(), lat.c_str(),
                                          lon.c_str(), g.speed_knots, g.course, date.c_str(), mode)));
        } else {
            out.push_back(sentence("GPRMC," + time + ",V,,,,,,," + date + ",,,N"));
        }
    }
    if (selected(kVtg, fix)) {
        if (have_fix) {
            out.push_back(sentence(format("GPVTG,%.2f,T,,M,%.2f,N,%.2f,K,%c", g.course, g.speed_knots,
                                          g.speed_knots * 1.852, mode)));
        } else {
            out.push_back(sentence("GPVTG,,T,,M,,N,,K,N"));
        }
    }
    if (selected(kGll, fix)) {
        if (have_fix) {
            out.push_back(sentence(format("GPGLL,%s,%s,%s,A,%c", lat.c_str(), lon.c_str(), time.c_str(), mode)));
        } else {
            out.push_back(sentence("GPGLL,,,,," + time + ",V,N"));
        }
    }
    if (selected(kGrs, fix)) {
        std::string body = "GPGRS," + time + ",1";
        for (int i = 0; i < 12; ++i) body += have_fix && i < used ? format(",%.1f", kResidual[i]) : ",";
        out.push_back(sentence(body));
    }
    if (selected(kGst, fix)) {
        if (have_fix) {
            const double h = g.hdop;
            out.push_back(sentence(format("GPGST,%s,%.1f,%.1f,%.1f,%.1f,%.1f,%.1f,%.1f", time.c_str(), 4.2 * h,
                                          3.9 * h, 2.7 * h, 31.5, 2.9 * h, 3.4 * h, 6.1 * h)));
        } else {
            out.push_back(sentence("GPGST," + time + ",,,,,,,"));
        }
    }
    if (selected(kZda, fix)) {
        out.push_back(sentence(format("GPZDA,%s,%02d,%02d,%04d,,", time.c_str(), c.day, c.month, c.year)));
    }
}

void Gps::replay(uint64_t fix, std::vector<std::string>& out) {
    if (cursor_ >= groups_.size()) return;   // the log has ended
    for (const std::string& line : groups_[cursor_]) {
        const int k = kind_of(line);
        if (custom_ && k >= 0 && !selected(static_cast<Kind>(k), fix)) continue;
        out.push_back(line);
    }
    ++cursor_;
}

bool Gps::feed(const std::string& text, vtime start) {
    std::string bytes = text;
    corrupt_line(bytes, start, kByteTime, setup_.noise, rng_);
    zplat::uart_by_index(wiring::kGpsPort)
        ->host_feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), start, kBaud);
    return true;
}

// ----------------------------------------------------------- commands ----

void Gps::on_byte(uint8_t byte, uint64_t at, uint32_t baud) {
    if (!running_) return;
    if (baud != kBaud) {
        rx_active_ = false;   // framing garbage: the sentence is lost
        return;
    }
    if (byte == '$') {
        rx_ = "$";
        rx_active_ = true;
    } else if (!rx_active_) {
        return;
    } else if (byte == '\r' || byte == '\n') {
        rx_active_ = false;
        command(rx_, at);
    } else if (rx_.size() >= kMaxCommand) {
        rx_active_ = false;
    } else {
        rx_.push_back(static_cast<char>(byte));
    }
}

void Gps::command(const std::string& line, vtime at) {
    // "$PMTKnnn[,field...]*hh"
    const size_t star = line.find('*');
    if (star == std::string::npos || line.size() != star + 3) return;
    const int hi = hex_value(line[star + 1]), lo = hex_value(line[star + 2]);
    if (hi < 0 || lo < 0) return;
    uint8_t sum = 0;
    for (size_t i = 1; i < star; ++i) sum ^= static_cast<uint8_t>(line[i]);
    if (sum != hi * 16 + lo) return;
    const std::string body = line.substr(1, star - 1);
    if (body.size() < 7 || body.compare(0, 4, "PMTK") != 0) return;
    if (!std::all_of(body.begin() + 4, body.begin() + 7, [](char c) { return c >= '0' && c <= '9'; })) return;
    if (body.size() > 7 && body[7] != ',') return;
    const int cmd = std::stoi(body.substr(4, 3));
    std::vector<std::string> fields;
    if (body.size() > 7) {
        std::stringstream ss(body.substr(8));
        std::string f;
        while (std::getline(ss, f, ',')) fields.push_back(f);
        if (body.back() == ',') fields.emplace_back();
    }
    // A small decimal field within [min, max], or -1.
    auto number = [](const std::string& f, int min, int max) {
        const bool digits = std::all_of(f.begin(), f.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (f.empty() || f.size() > 2 || !digits) return -1;
        const int v = std::stoi(f);
        return v >= min && v <= max ? v : -1;
    };

    switch (cmd) {
        case 0: reply(cmd, 3, at); break;
        case 101:
        case 102:
        case 103: reboot(true); break;
        case 104: reboot(false); break;
        case 313:
            reply(cmd, fields.size() == 1 && number(fields[0], 0, 1) >= 0 ? 3 : 0, at);
            break;
        case 314: {
            if (fields.size() == 1 && fields[0] == "-1") {
                rates_ = kDefaultRates;
                custom_ = false;
                reply(cmd, 3, at);
                break;
            }
            bool ok = fields.size() >= 19;
            for (size_t i = 0; ok && i < fields.size(); ++i) ok = number(fields[i], 0, 5) >= 0;
            if (ok) {
                for (int k = 0; k < kZda; ++k) rates_[k] = static_cast<uint8_t>(number(fields[k], 0, 5));
                rates_[kZda] = static_cast<uint8_t>(number(fields[17], 0, 5));
                custom_ = true;
            }
            reply(cmd, ok ? 3 : 0, at);
            break;
        }
        default: reply(cmd, 1, at); break;
    }
}

void Gps::reply(int cmd, int flag, vtime at) { send(sentence(format("PMTK001,%d,%d", cmd, flag)), at + kReplyDelay); }

}  // namespace zsim
