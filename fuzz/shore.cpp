// Lines off the air into the station monitor: decoded, judged, kept in a
// database that lives as long as the input. Receive times in tag blocks
// are the fuzzer's to choose, years 1970 to far beyond included.
#include <nlohmann/json.hpp>
#include <sstream>

#include "ais/ais.h"
#include "fuzz.h"
#include "shore/monitor.h"
#include "shore/store.h"

namespace zfuzz {

namespace {
constexpr const char* kName = "shore";
}

void run_shore(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t s0 = in.byte();
    const uint8_t s1 = in.byte();
    zelmora::shore::Limits limits;
    limits.low_battery_v = 10.0 + (s0 & 0x0F) * 0.25;
    limits.off_position_m = 1.0 + (s1 & 0x7F) * 10.0;
    std::int64_t wall = 1796737500 + (s0 >> 4) * 3600;
    const std::int64_t step = (s1 & 0x80) != 0 ? 1 : 600;

    zelmora::shore::Store store(":memory:");
    zelmora::shore::Monitor monitor(store, limits, [](const nlohmann::ordered_json& e) {
        ZFUZZ_CHECK(kName, e.is_object() && e.contains("time") && e.contains("event") && e.contains("mmsi"),
                    "an event without its time, name or station: " + e.dump());
        // What goes out on standard output must be one line of JSON, and
        // valid UTF-8: dumped strictly, a byte the tool would have to
        // replace is a finding.
        std::string line;
        try {
            line = e.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
        } catch (const nlohmann::ordered_json::exception& x) {
            broken(kName, std::string("an event that is not UTF-8: ") + x.what());
        }
        ZFUZZ_CHECK(kName, line.find('\n') == std::string::npos, "an event over two lines");
    });
    zelmora::ais::Decoder dec;
    std::istringstream text{std::string(in.rest())};
    long n = 0;
    for (std::string line; std::getline(text, line);) {
        for (const auto& m : dec.feed(line, ++n).messages) monitor.handle(m, wall);
        wall += step;
        monitor.tick(wall);
    }
    for (const auto& m : dec.finish().messages) monitor.handle(m, wall);
    for (const auto& [mmsi, s] : monitor.stations()) {
        (void)s;
        store.history(mmsi, 0);
    }
    store.events(std::nullopt, 50);
}

// The decoder's seeds, with receive times in front of some.
std::vector<Bytes> seeds_shore(const std::string& testdata) {
    std::vector<Bytes> out;
    for (const Bytes& b : seeds_msg6(testdata)) {
        if (b.empty()) continue;
        out.push_back(seed({0x14, 0x0A}, std::string_view(reinterpret_cast<const char*>(b.data()) + 1, b.size() - 1)));
    }
    return out;
}

}  // namespace zfuzz
