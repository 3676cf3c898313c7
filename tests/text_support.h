// Small helpers shared by the suites: counting console texts, worlds at a date.
#pragma once
#include <string>

#include "scenario.h"

// How many times `needle` stands in `hay`.
inline size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// The default world, starting at another UTC date and time.
inline zsim::Scenario world_at(const char* utc) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.utc_start = *zsim::parse_utc(utc);
    return sc;
}
