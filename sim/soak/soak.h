// zelmora-bench --soak: weeks of virtual time on the default scenario, with
// the checks that say the unit kept going (status reports, Message 6 on the
// air, no restarts, the event log across its wrap, the simulator's memory).
#pragma once
#include <string>

namespace zsoak {

struct Options {
    double days = 1;    // virtual days of the main run; under one, no second run round the log
    std::string chip;   // the image we would flash, run on the chip's core; empty: the host build
};

// Runs the default scenario for `days` virtual days; prints every figure
// and one summary line per check on standard output. Returns 0 when every
// check passed, 1 otherwise.
int run(const Options& o);

}  // namespace zsoak
