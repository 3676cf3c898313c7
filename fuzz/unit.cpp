#include "unit.h"

#include <string>

#include "fuzz.h"
#include "globals.h"

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
