#pragma once
#include <cstdint>

#include "Uart.h"

namespace zplat {

// The device at the far end of a serial line.
class SerialPeer {
public:
    virtual ~SerialPeer() = default;
    // A byte sent by the unit, whose stop bit ended at virtual time `at`,
    // at the port's current baud rate.
    virtual void on_byte(uint8_t byte, uint64_t at, uint32_t baud) = 0;
};

Uart* uart_by_index(uint8_t index);
constexpr uint8_t kUartCount = 3;

}  // namespace zplat
