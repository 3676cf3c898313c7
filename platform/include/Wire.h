// I2C bus of the board (master), as the core offers it.
#pragma once
#include <stddef.h>
#include <stdint.h>

class TwoWire {
public:
    static constexpr size_t kBufferSize = 64;

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

    // ---- host side ----
    void host_reset();

private:
    bool started_ = false;
    uint32_t clock_ = 100000;
    uint8_t tx_address_ = 0;
    bool transmitting_ = false;
    uint8_t tx_[kBufferSize] = {};
    size_t tx_len_ = 0;
    uint8_t rx_[kBufferSize] = {};
    size_t rx_len_ = 0, rx_pos_ = 0;
};

extern TwoWire Wire;
