#include "api.h"

#include <limits>

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

// The bodies as the monitor could give them before the register, the
// revisions and the operations; each is replaced by the full answer.

nlohmann::json status(Sources& src) {
    nlohmann::json out;
    const auto now = src.monitor->now();
    out["now"] = now ? nlohmann::json(*now) : nlohmann::json(nullptr);
    out["clock"] = "wall";
    out["feed"] = src.feed ? src.feed() : nlohmann::json::object();
    return out;
}

nlohmann::json stations(Sources& src, std::uint64_t) {
    nlohmann::json out;
    const auto now = src.monitor->now();
    out["rev"] = 0;
    out["full"] = true;
    out["now"] = now ? nlohmann::json(*now) : nlohmann::json(nullptr);
    out["stations"] = nlohmann::json::array();
    for (const auto& [mmsi, s] : src.monitor->stations()) {
        nlohmann::json j = to_json(s);
        j.erase("gaps");
        out["stations"].push_back(std::move(j));
    }
    out["removed"] = nlohmann::json::array();
    return out;
}

Reply station(Sources& src, std::uint32_t mmsi, long days) {
    const auto& all = src.monitor->stations();
    const auto it = all.find(mmsi);
    if (it == all.end()) return {404, {{"error", "no such station"}}, {}};
    const Station& s = it->second;
    std::int64_t since = std::numeric_limits<std::int64_t>::min();
    if (days > 0 && s.last_heard) since = *s.last_heard - static_cast<std::int64_t>(days) * 86400;
    nlohmann::json j = to_json(s);
    j.erase("gaps");
    return {200, {{"station", j}, {"history", src.store->history(s.mmsi, since)}, {"events", src.store->events(s.mmsi, 100)}}, {}};
}

nlohmann::json events(Sources& src, std::optional<std::uint32_t> mmsi, int limit, std::optional<std::int64_t>) {
    return src.store->events(mmsi, limit);
}

nlohmann::json availability(Sources&, std::int64_t from, std::int64_t to, std::optional<std::uint32_t>) {
    return {{"from", from}, {"to", to}, {"stations", nlohmann::json::array()}};
}

nlohmann::json unknown(Sources&) { return nlohmann::json::array(); }

Reply acknowledge(Sources&, const nlohmann::json&, std::int64_t) {
    return {501, {{"error", "acknowledgement is not built yet"}}, {}};
}

Reply reports_csv(Sources&, std::uint32_t, std::int64_t, std::int64_t) { return {200, {}, "time,mmsi\n"}; }

Reply events_csv(Sources&, std::int64_t, std::int64_t, std::optional<std::uint32_t>) {
    return {200, {}, "time,mmsi,event\n"};
}

}  // namespace api
}  // namespace zelmora::shore
