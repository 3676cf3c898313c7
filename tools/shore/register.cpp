#include "register.h"

#include <toml++/toml.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

namespace zelmora::shore {

namespace {

constexpr std::int64_t kMaxMmsi = (std::int64_t{1} << 30) - 1;

[[noreturn]] void fail(const std::string& file, const toml::node* n, const std::string& what) {
    throw RegisterError(file + (n ? ":" + std::to_string(n->source().begin.line) : std::string()) + ": " + what);
}

// A number written as an integer or a float, within [lo, hi].
double number(const std::string& file, const toml::table& t, const std::string& who, const char* key, double lo,
              double hi, const char* what) {
    const toml::node* n = t.get(key);
    std::optional<double> v;
    if (n && n->is_integer()) v = static_cast<double>(n->as_integer()->get());
    if (n && n->is_floating_point()) v = n->as_floating_point()->get();
    if (!v || !std::isfinite(*v))
        fail(file, n ? n : &t, who + ": " + key + ": " + (n ? "must be a number" : "missing") + " (" + what + ")");
    if (*v < lo || *v > hi) {
        std::ostringstream m;
        m << who << ": " << key << ": " << *v << " is out of range (" << what << ")";
        fail(file, n, m.str());
    }
    return *v;
}

}  // namespace

Register parse_register(std::string_view text, const std::string& file) {
    toml::table root;
    try {
        root = toml::parse(text, file);
    } catch (const toml::parse_error& e) {
        throw RegisterError(file + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    for (const auto& [key, node] : root)
        if (key.str() != "station")
            fail(file, &node, "unknown key \"" + std::string(key.str()) + "\" (the register holds [[station]] tables)");
    const toml::array* list = root["station"].as_array();
    if (!list || list->empty()) fail(file, root.get("station"), "no [[station]] in the register");

    static const std::set<std::string> kKeys = {"mmsi", "name", "lat", "lon", "interval_s", "off_position_m",
                                                "low_battery_v"};
    Register out;
    int index = 0;
    for (const toml::node& item : *list) {
        ++index;
        const toml::table* t = item.as_table();
        if (!t) fail(file, &item, "station " + std::to_string(index) + ": not a table ([[station]])");
        std::string who = "station " + std::to_string(index);
        Registered r;
        r.line = static_cast<long>(t->source().begin.line);
        const toml::node* mmsi = t->get("mmsi");
        if (!mmsi || !mmsi->is_integer())
            fail(file, mmsi ? mmsi : t, who + ": mmsi: " + (mmsi ? "must be a whole number" : "missing") +
                                            " (1 to 1073741823)");
        const std::int64_t m = mmsi->as_integer()->get();
        if (m < 1 || m > kMaxMmsi)
            fail(file, mmsi, who + ": mmsi: " + std::to_string(m) + " is out of range (1 to 1073741823)");
        r.mmsi = static_cast<std::uint32_t>(m);
        who = "station " + std::to_string(m);
        for (const auto& [key, node] : *t)
            if (!kKeys.count(std::string(key.str())))
                fail(file, &node, who + ": unknown key \"" + std::string(key.str()) +
                                      "\" (mmsi, name, lat, lon, interval_s, off_position_m, low_battery_v)");
        if (const auto it = out.find(r.mmsi); it != out.end())
            fail(file, mmsi, who + ": registered twice (first at line " + std::to_string(it->second.line) + ")");
        const toml::node* name = t->get("name");
        if (!name || !name->is_string() || name->as_string()->get().empty() || name->as_string()->get().size() > 64)
            fail(file, name ? name : t, who + ": name: " + (name ? "must be a text of 1 to 64 bytes" : "missing"));
        r.name = name->as_string()->get();
        r.lat = number(file, *t, who, "lat", -90, 90, "degrees north, -90 to 90");
        r.lon = number(file, *t, who, "lon", -180, 180, "degrees east, -180 to 180");
        r.interval_s = number(file, *t, who, "interval_s", 1, 7 * 86400, "seconds, 1 to 604800");
        if (t->contains("off_position_m"))
            r.off_position_m = number(file, *t, who, "off_position_m", 1, 1e7, "metres, 1 to 10000000");
        if (t->contains("low_battery_v"))
            r.low_battery_v = number(file, *t, who, "low_battery_v", 0, 100, "volts, 0 to 100");
        out[r.mmsi] = std::move(r);
    }
    return out;
}

Register load_register(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw RegisterError(file + ": cannot read");
    std::ostringstream text;
    text << in.rdbuf();
    return parse_register(text.str(), file);
}

}  // namespace zelmora::shore
