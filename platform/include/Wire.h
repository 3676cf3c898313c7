// I2C bus of the board (master), as the core offers it.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace zplat {
constexpr size_t kWireBufferSize = 64;
}  // namespace zplat

// The realisation's own part of the bus: zplat::WirePort.
#include "wire_port.h"

class TwoWire : public zplat::WirePort {
public:
    static constexpr size_t kBufferSize = zplat::kWireBufferSize;

    void begin();
    void end();
    void setClock(uint32_t hz);
    void beginTransmission(uint8_t address);
    uint8_t endTransmission(bool stopBit = true);
    uint8_t requestFrom(uint8_t address, size_t quantity, bool stopBit = true);
    size_t write(uint8_t data);
    size_t write(const uint8_t* data, size_t quantity);
    int available();
    int read();
    int peek();
};

extern TwoWire Wire;
