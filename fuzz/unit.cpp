#include "unit.h"

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "fuzz.h"
#include "globals.h"
#include "host/firmware_ram.h"

namespace zfuzz {

zsim::Scenario quiet_world() {
    static const zsim::Scenario world = [] {
        zsim::Scenario sc = zsim::Scenario::builtin();
        sc.gps.present = false;
        sc.transponder.present = false;
        sc.dip_on = {false, false, false, false};
        sc.pin_actions.clear();
        sc.power.noise_counts = 0;
        return sc;
    }();
    return world;
}

void unpace(zsim::Board& b) {
    b.set_console_capture(false);
    Serial0.host_set_unpaced(true);
    Serial1.host_set_unpaced(true);
    Serial3.host_set_unpaced(true);
}

namespace {
struct Bench {
    std::unique_ptr<zsim::Board> board;
    std::unique_ptr<zsim::Board::Snapshot> fresh;
    std::map<std::pair<std::string, uint32_t>, std::unique_ptr<zsim::Board::Snapshot>> states;
    uint64_t sent = 0;
};

Bench& bench() {
    static Bench b;
    return b;
}

constexpr uint64_t kFnvBasis = 14695981039346656037ull;
uint64_t fnv(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}
}  // namespace

zsim::Board& fresh_board() {
    Bench& be = bench();
    if (!be.board) {
        be.board = std::make_unique<zsim::Board>(quiet_world());
        unpace(*be.board);
        be.fresh = be.board->snapshot();
    } else {
        be.board->restore(*be.fresh);
    }
    be.sent = kFnvBasis;
    return *be.board;
}

zsim::Board& start_from(const char* harness, uint32_t key, const std::function<void(zsim::Board&)>& prepare) {
    Bench& be = bench();
    auto& kept = be.states[{harness, key}];
    if (!kept) {
        zsim::Board& b = fresh_board();
        prepare(b);
        kept = b.snapshot();
        be.sent = kFnvBasis;
        return b;
    }
    be.board->restore(*kept);
    be.sent = kFnvBasis;
    return *be.board;
}

void end_bench() {
    Bench& be = bench();
    be.states.clear();
    be.fresh.reset();
    be.board.reset();
}

void note_sent(uint8_t c) { bench().sent = fnv(bench().sent, &c, 1); }

uint64_t unit_digest() {
    Bench& be = bench();
    if (!be.board) return 0;
    const std::vector<uint8_t> ram = zplat::firmware_ram_copy();
    uint64_t h = fnv(be.sent, ram.data(), ram.size());
    const std::vector<uint8_t>& m = be.board->eeprom().contents();
    h = fnv(h, m.data(), m.size());
    const uint64_t now = be.board->now();
    return fnv(h, reinterpret_cast<const uint8_t*>(&now), sizeof now);
}

void Feeder::give(std::string_view bytes) {
    left_.append(bytes.data(), bytes.size());
    push();
}

void Feeder::push() {
    if (port_.host_baud() == 0) {
        left_.clear();
        return;
    }
    const size_t taken = port_.host_receive(reinterpret_cast<const uint8_t*>(left_.data()), left_.size());
    left_.erase(0, taken);
    if (left_.empty() || armed_) return;
    armed_ = true;
    b_.schedule(b_.now() + zplat::kMs, [this] {
        armed_ = false;
        push();
    });
}

void check_buffers(const char* harness) {
    ZFUZZ_CHECK(harness, l76lb.ibytes_rx <= sizeof l76lb.cframe_rx, "GPS burst count past its buffer");
    ZFUZZ_CHECK(harness, periferico1.ibytes_rx <= sizeof periferico1.cframe_rx, "transponder count past its buffer");
    ZFUZZ_CHECK(harness, periferico1.ibytes_mensaje_a_tx <= sizeof periferico1.cframe_tx,
                "transponder output past its buffer");
    ZFUZZ_CHECK(harness, periferico1.cmsg_tx[0] < sizeof periferico1.cmsg_tx, "armoured report past its buffer");
    ZFUZZ_CHECK(harness, periferico1.cfirmware[sizeof periferico1.cfirmware - 1] == 0,
                "transponder firmware text without its terminator");
    ZFUZZ_CHECK(harness, periferico1.csn[sizeof periferico1.csn - 1] == 0, "serial number text without its terminator");
}

}  // namespace zfuzz
