// The unit, its transponder and the shore decoder together: the whole board
// on a scenario, with what the unit sends to the transponder overheard and
// what the transponder puts on the air read back by the shore's decoder.
#pragma once
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ais/ais.h"
#include "board.h"
#include "host/serial_peer.h"
#include "scenario.h"
#include "text_support.h"
#include "wiring.h"

namespace integ {

using zplat::kMs;
using zplat::kSec;
using zplat::vtime;

constexpr uint32_t kOwnMmsi = 992241234;   // tools/default-config.toml
constexpr uint32_t kDestination = 2241234;   // the shipped scenarios' coast station

inline zsim::Scenario shipped(const std::string& name) {
    return zsim::Scenario::from_file(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/" + name);
}

// The shipped default world with more lines of scenario after it.
inline zsim::Scenario default_with(const std::string& extra) {
    std::ifstream f(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/default.toml");
    const std::string toml((std::istreambuf_iterator<char>(f)), {});
    return zsim::Scenario::from_text(toml + "\n" + extra, "default+");
}

// The board with a listener on the transponder's line: every sentence the
// unit sends there, with the time of its last byte, still reaches the model.
// The air log is kept with the length of the console at each line, so that
// a transmission can be put beside what the console showed before it.
struct Unit : zplat::SerialPeer {
    struct Line {
        vtime at;
        std::string text;
        size_t console;   // the console's length when it was sent
    };
    zsim::Board b;
    std::string partial;
    std::vector<Line> sent;
    std::vector<std::string> air;
    std::vector<size_t> air_console;

    explicit Unit(const zsim::Scenario& sc) : b(sc) {
        zplat::uart_by_index(zsim::wiring::kAisPort)->host_attach(this);
        b.transponder().set_air_capture(false);
        b.transponder().set_air_sink([this](const std::string& l) {
            air.push_back(l);
            air_console.push_back(b.console().size());
        });
    }
    ~Unit() override { zplat::uart_by_index(zsim::wiring::kAisPort)->host_attach(&b.transponder()); }

    void on_byte(uint8_t byte, uint64_t at, uint32_t baud) override {
        partial.push_back(static_cast<char>(byte));
        if (byte == '\n') {
            sent.push_back({at, partial, b.console().size()});
            partial.clear();
        }
        b.transponder().on_byte(byte, at, baud);
    }
    // Times of the sentences sent that contain `what`.
    std::vector<vtime> times(const std::string& what) const {
        std::vector<vtime> v;
        for (const Line& l : sent)
            if (l.text.find(what) != std::string::npos) v.push_back(l.at);
        return v;
    }
    const std::string& console() const { return b.console(); }
};

// Every complete message of a log, in order; errors fail the caller's test.
inline std::vector<zelmora::ais::Message> decode(const std::vector<std::string>& lines,
                                                 std::vector<std::string>* errors = nullptr) {
    zelmora::ais::Decoder dec;
    std::vector<zelmora::ais::Message> out;
    long n = 0;
    auto take = [&](zelmora::ais::Output o) {
        for (auto& m : o.messages) out.push_back(std::move(m));
        if (errors)
            for (auto& e : o.errors) errors->push_back(std::to_string(e.line) + ": " + e.text);
    };
    for (const std::string& l : lines) take(dec.feed(l, ++n));
    take(dec.finish());
    return out;
}

// The positions of `needles` in `hay`, each searched from the one before.
inline std::vector<size_t> in_order(const std::string& hay, const std::vector<std::string>& needles) {
    std::vector<size_t> at;
    size_t from = 0;
    for (const std::string& n : needles) {
        const size_t p = hay.find(n, from);
        at.push_back(p);
        if (p == std::string::npos) break;
        from = p + n.size();
    }
    return at;
}

}  // namespace integ
