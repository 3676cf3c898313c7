// Host side of SPI and I2C: the device models that hang on the buses.
#pragma once
#include <cstddef>
#include <cstdint>

#include "SPI.h"
#include "Wire.h"

namespace zplat {

class SpiTarget {
public:
    virtual ~SpiTarget() = default;
    // Chip select went low (true) or high (false).
    virtual void on_select(bool selected) = 0;
    // One byte clocked on MOSI; returns what the device drives on MISO.
    virtual uint8_t on_exchange(uint8_t mosi, const SPISettings& settings) = 0;
};

class I2cTarget {
public:
    virtual ~I2cTarget() = default;
    // A write transaction: returns how many bytes were acknowledged
    // (0 means not even the address).
    virtual size_t on_write(const uint8_t* data, size_t n) = 0;
    // A read transaction: returns false when the address is not acknowledged.
    virtual bool on_read(uint8_t* out, size_t n) = 0;
};

void attach_spi(uint8_t cs_pin, SpiTarget* target);
void attach_i2c(uint8_t address, I2cTarget* target);
void detach_all_bus_targets();
// Called by the pins when a line changes; selects and deselects SPI devices.
void spi_line_changed(uint8_t pin);
void buses_reset();

// The buses as they stand, the same devices attached, to be put back later
// (host/state.h).
struct BusesSaved {
    static constexpr size_t kMaxSpi = 4;
    size_t spi_count;
    bool selected[kMaxSpi];
    SPIClass spi;
    TwoWire wire;
};
BusesSaved buses_save();
void buses_restore(const BusesSaved& saved);

// The chip image's bus masters: one byte on the SPI bus with the chip's own
// settings, and the I2C device at an address (nullptr: nobody answers).
uint8_t spi_exchange_with(uint8_t mosi, const SPISettings& settings);
I2cTarget* i2c_target(uint8_t address);

}  // namespace zplat
