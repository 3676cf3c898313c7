// Wires for a chip with no board behind it: pads float low, buses answer
// nothing. For tests of the core alone.
#pragma once
#include "bus.h"

namespace zchip {

class NoWires : public Wires {
public:
    void pad_driven(Group, uint8_t, const PadDrive&) override {}
    bool pad_level(Group, uint8_t) override { return false; }
    double pad_volts(Group, uint8_t) override { return 0; }
    void serial_out(PadSet, uint8_t, vtime, double) override {}
    uint8_t spi_exchange(const SpiPads&, uint8_t, const SpiFormat&) override { return 0xFF; }
    size_t i2c_write(const I2cPads&, uint8_t, const uint8_t*, size_t) override { return 0; }
    bool i2c_read(const I2cPads&, uint8_t, uint8_t*, size_t) override { return false; }
};

}  // namespace zchip
