#include "pads.h"

#include <array>

namespace zchip {
namespace {

constexpr uint8_t kNone = 0xFF;
constexpr uint8_t A = 0, B = 1;

struct Entry {
    uint8_t group;
    uint8_t pin;
};

// Board line -> pad. The serial lines, SPI and I2C run on the pads of their
// SERCOMs; the analog lines are AIN8 (PB00) and AIN9 (PB01).
constexpr Entry kLines[56] = {
    {A, 5},     {A, 4},     {A, 17},    {A, 16},    {B, 23},    {B, 22},    {A, 18},    {A, 19},   // 0-7
    {A, 20},    {A, 21},    {A, 6},     {A, 7},     {A, 10},    {A, 11},    {B, 2},     {B, 3},    // 8-15
    {A, 13},    {kNone, 0}, {kNone, 0}, {A, 27},    {kNone, 0}, {B, 4},     {B, 5},     {B, 6},    // 16-23
    {B, 7},     {B, 13},    {B, 14},    {B, 15},    {B, 16},    {B, 17},    {A, 22},    {A, 23},   // 24-31
    {B, 30},    {B, 31},    {A, 0},     {A, 1},     {A, 2},     {A, 3},     {B, 9},     {B, 0},    // 32-39
    {B, 1},     {B, 8},     {B, 12},    {A, 24},    {A, 25},    {kNone, 0}, {kNone, 0}, {A, 8},    // 40-47
    {A, 9},     {A, 14},    {A, 15},    {A, 12},    {kNone, 0}, {B, 10},    {B, 11},    {kNone, 0}, // 48-55
};

}  // namespace

std::optional<Pad> pad_of_line(uint8_t line) {
    if (line >= sizeof kLines / sizeof kLines[0] || kLines[line].group == kNone) return std::nullopt;
    return Pad{static_cast<Group>(kLines[line].group), kLines[line].pin};
}

std::optional<uint8_t> line_of_pad(Group g, uint8_t pin) {
    // The inverse table, built once: reading a port asks for every pad.
    static const auto lines = [] {
        std::array<std::array<uint8_t, 32>, 2> t{};
        for (auto& row : t) row.fill(kNone);
        for (uint8_t l = 0; l < sizeof kLines / sizeof kLines[0]; ++l)
            if (kLines[l].group != kNone) t[kLines[l].group][kLines[l].pin] = l;
        return t;
    }();
    const unsigned group = static_cast<unsigned>(g);
    if (group > 1 || pin > 31 || lines[group][pin] == kNone) return std::nullopt;
    return lines[group][pin];
}

}  // namespace zchip
