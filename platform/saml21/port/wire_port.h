// Chip part of the I2C bus: the transaction buffers.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace zplat {
class WirePort {
protected:
    bool started_ = false;
    uint32_t clock_ = 100000;
    uint8_t tx_address_ = 0;
    bool transmitting_ = false;
    uint8_t tx_[kWireBufferSize] = {};
    size_t tx_len_ = 0;
    uint8_t rx_[kWireBufferSize] = {};
    size_t rx_len_ = 0, rx_pos_ = 0;
};
}  // namespace zplat
