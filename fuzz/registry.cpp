#include "fuzz.h"

namespace zfuzz {

const std::vector<Harness>& harnesses() {
    // Serial lines and images get a few KiB; texts a little more.
    static const std::vector<Harness> all = {
        {"gps", run_gps, seeds_gps, 4096},
        {"ais", run_ais, seeds_ais, 4096},
        {"pc", run_pc, seeds_pc, 2048},
        {"eeprom", run_eeprom, seeds_eeprom, 4400},
        {"msg6", run_msg6, seeds_msg6, 8192},
        {"pclink", run_pclink, seeds_pclink, 2048},
        {"unitconfig", run_unitconfig, seeds_unitconfig, 4096},
        {"scenario", run_scenario, seeds_scenario, 4096},
#ifdef ZELMORA_FUZZ_SHORE
        {"shore", run_shore, seeds_shore, 8192},
#endif
    };
    return all;
}

const Harness* find(std::string_view name) {
    for (const Harness& h : harnesses()) {
        if (name == h.name) return &h;
    }
    return nullptr;
}

}  // namespace zfuzz
