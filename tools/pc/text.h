// Text from outside the program (the unit's console, strings out of its
// EEPROM) on its way to JSON, CSV or a message: it may hold any byte.
#pragma once
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace zpc {

// Length of the valid UTF-8 sequence at `i`, or 0 (overlong forms,
// surrogates and code points past U+10FFFF are not valid).
inline size_t utf8_sequence(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;   // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else return 0;
    if (i + n > s.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    return n;
}

// The text with every byte that is not part of valid UTF-8 replaced by U+FFFD.
inline std::string valid_utf8(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

// One CSV field: valid UTF-8, quoted (quotes doubled) when it holds a
// separator, a quote or a line end, or when asked to.
inline std::string csv_field(const std::string& s, bool quoted = false) {
    const std::string v = valid_utf8(s);
    if (!quoted && v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// A console line quoted in a message: control bytes and bytes that are not
// UTF-8 shown as \xNN, so the terminal shows what came and nothing else.
inline std::string printable(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence(s, i);
        const auto c = static_cast<unsigned char>(s[i]);
        if (n == 0 || c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

// JSON as the program prints it: bytes that are not UTF-8 become U+FFFD
// instead of stopping the output (a plain dump throws on them).
inline std::string json_text(const nlohmann::ordered_json& j) {
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace zpc
