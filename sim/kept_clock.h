// --eeprom FILE keeps the world's clock in FILE.clock: the world's UTC and the
// RTC's registers and SRAM at the end of a run, so that the next run on the
// same image carries on in time, as the unit's battery-backed clock does.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "utc.h"

namespace zsim {

struct KeptClock {
    Civil world_utc;
    std::array<uint8_t, 256> rtc{};   // registers 0x00..0x07 as a read shows them, then the SRAM
};

// The clock file kept beside an EEPROM image.
std::string kept_clock_path(const std::string& image_path);

// None when the file does not exist; std::runtime_error naming the file and
// line when it cannot be read or holds something else.
std::optional<KeptClock> read_kept_clock(const std::string& path);
KeptClock parse_kept_clock(const std::string& text, const std::string& origin);

std::string kept_clock_text(const KeptClock& c);
// Written beside and renamed over, so a run stopped half-way leaves the old one.
void write_kept_clock(const std::string& path, const KeptClock& c);

}  // namespace zsim
