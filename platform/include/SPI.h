// SPI bus of the board (master), as the core offers it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define LSBFIRST 0
#define MSBFIRST 1

#define SPI_MODE0 0x02
#define SPI_MODE1 0x00
#define SPI_MODE2 0x03
#define SPI_MODE3 0x01

class SPISettings {
public:
    SPISettings() = default;
    constexpr SPISettings(uint32_t clock, uint8_t bitOrder, uint8_t dataMode)
        : clock_(clock), bit_order_(bitOrder), data_mode_(dataMode) {}
    uint32_t clock() const { return clock_; }
    uint8_t bit_order() const { return bit_order_; }
    uint8_t data_mode() const { return data_mode_; }

private:
    uint32_t clock_ = 4000000;
    uint8_t bit_order_ = MSBFIRST;
    uint8_t data_mode_ = SPI_MODE0;
};

// The realisation's own part of the bus: zplat::SpiPort.
#include "spi_port.h"

class SPIClass : public zplat::SpiPort {
public:
    void begin();
    void end();
    void beginTransaction(SPISettings settings);
    void endTransaction();
    uint8_t transfer(uint8_t data);
    void transfer(void* buf, size_t count);
};

extern SPIClass SPI;
