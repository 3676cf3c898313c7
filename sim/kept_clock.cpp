#include "kept_clock.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <toml++/toml.h>

#include "rtc.h"

namespace zsim {

namespace {

std::string hex_bytes(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly n two-digit hex bytes, one blank between them.
bool bytes_of(const std::string& s, uint8_t* out, size_t n) {
    if (s.size() != n * 3 - 1) return false;
    for (size_t i = 0; i < n; ++i) {
        const int hi = hex_digit(s[i * 3]), lo = hex_digit(s[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i + 1 < n && s[i * 3 + 2] != ' ')) return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

[[noreturn]] void corrupt(const std::string& origin, const toml::source_region& where, const std::string& what) {
    std::ostringstream os;
    os << origin << ":" << where.begin.line << ": " << what
       << " (the clock kept for the EEPROM image beside it; delete it to start from the scenario's time)";
    throw std::runtime_error(os.str());
}

}  // namespace

std::string kept_clock_path(const std::string& image_path) { return image_path + ".clock"; }

KeptClock parse_kept_clock(const std::string& text, const std::string& origin) {
    toml::table root;
    try {
        root = toml::parse(text, origin);
    } catch (const toml::parse_error& e) {
        corrupt(origin, e.source(), std::string(e.description()));
    }
    for (const auto& [k, v] : root) {
        if (k.str() != "world_utc" && k.str() != "rtc_registers" && k.str() != "rtc_sram") {
            corrupt(origin, v.source(), "unknown key '" + std::string(k.str()) + "'");
        }
    }
    KeptClock c;
    const toml::node* w = root.get("world_utc");
    const auto ws = w ? w->value<std::string>() : std::nullopt;
    const auto utc = ws ? parse_utc(*ws) : std::nullopt;
    if (!utc) corrupt(origin, w ? w->source() : root.source(), "'world_utc' must be a UTC time such as \"2026-12-08T13:45:00Z\"");
    c.world_utc = *utc;
    const toml::node* r = root.get("rtc_registers");
    const auto rs = r ? r->value<std::string>() : std::nullopt;
    if (!rs || !bytes_of(*rs, c.rtc.data(), 8) || !Rtc::registers_valid(c.rtc.data())) {
        corrupt(origin, r ? r->source() : root.source(),
                "'rtc_registers' must be the clock's 8 registers in hex, a time it can hold");
    }
    const toml::node* s = root.get("rtc_sram");
    const auto ss = s ? s->value<std::string>() : std::nullopt;
    if (!ss || !bytes_of(*ss, c.rtc.data() + 8, c.rtc.size() - 8)) {
        corrupt(origin, s ? s->source() : root.source(), "'rtc_sram' must be 248 bytes in hex");
    }
    return c;
}

std::optional<KeptClock> read_kept_clock(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    if (!in || ec) throw std::runtime_error(path + ": cannot read the kept clock");
    return parse_kept_clock(ss.str(), path);
}

std::string kept_clock_text(const KeptClock& c) {
    return "# zelmora-sim: the world's clock at the end of the last run on the EEPROM image beside it\n"
           "world_utc = \"" + format_utc(c.world_utc) + "\"\n"
           "rtc_registers = \"" + hex_bytes(c.rtc.data(), 8) + "\"\n"
           "rtc_sram = \"" + hex_bytes(c.rtc.data() + 8, c.rtc.size() - 8) + "\"\n";
}

void write_kept_clock(const std::string& path, const KeptClock& c) {
    const std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << kept_clock_text(c);
        out.flush();
        if (!out) throw std::runtime_error(tmp + ": cannot write the kept clock");
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw std::runtime_error(path + ": cannot write the kept clock");
    }
}

}  // namespace zsim
