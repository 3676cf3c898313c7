// The board's wiring from the chip's side: which of the chip's pads carries
// which of the board's lines, named by the line's number in the board's pin
// map (the numbers the device models use). Read off the board, not taken
// from the board layer's table, so that each checks the other.
#pragma once
#include <cstdint>
#include <optional>

#include "bus.h"

namespace zchip {

// The pad of a board line; none for numbers the board leaves unconnected.
std::optional<Pad> pad_of_line(uint8_t line);
// The board line on a pad; none for pads the board leaves unconnected.
std::optional<uint8_t> line_of_pad(Group g, uint8_t pin);

}  // namespace zchip
