// The firmware's RAM: every global the firmware defines, gathered by the link
// into one region so that a reset can put it back to its power-on image.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zplat {

struct RamRegion {
    uint8_t* begin;
    uint8_t* end;
    size_t size() const { return static_cast<size_t>(end - begin); }
    bool contains(const void* p) const {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        return b >= begin && b < end;
    }
};

RamRegion firmware_ram();
// Restores the image taken before the program's main started.
void restore_firmware_ram();
// The RAM as it stands now, and putting such a copy back (fuzzing).
std::vector<uint8_t> firmware_ram_copy();
void restore_firmware_ram(const std::vector<uint8_t>& image);

}  // namespace zplat
