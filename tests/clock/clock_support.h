// A board driven straight from the test thread, with the unit's I2C bus,
// console port and 1 ms tick running as start-up leaves them.
#pragma once
#include <string>

#include "Arduino.h"
#include "Wire.h"
#include "board.h"
#include "zelmora.h"
#include "text_support.h"

namespace clocktest {

using zplat::kMs;
using zplat::kSec;
using zsim::Civil;
using zsim::Scenario;

inline Civil utc(const char* text) { return *zsim::parse_utc(text); }

inline Scenario world(const char* start) {
    Scenario sc = Scenario::builtin();
    sc.utc_start = utc(start);
    return sc;
}

inline Scenario with_rtc(const zsim::RtcSetup& rtc) {
    Scenario sc = world("2026-12-08T13:45:00Z");
    sc.rtc = rtc;
    return sc;
}

struct Bench {
    zsim::Board b;
    // Without the tick, long stretches of virtual time cost nothing; the
    // driver's waits need it.
    explicit Bench(const Scenario& sc = world("2026-12-08T13:45:00Z"), bool tick = true) : b(sc) {
        Serial0.begin(38400);
        Wire.begin();
        if (tick) {
            setup_timerTC0(1, 8000);
            start_timerTC0();
        }
    }
    std::string console() {
        Serial0.flush();
        return b.console();
    }
    zsim::Rtc& clock() { return b.rtc(); }
};

}  // namespace clocktest
