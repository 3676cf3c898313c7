// Serial port of the board: interrupt-filled receive ring, transmitter.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "Print.h"

namespace zplat {
constexpr size_t kUartRingSize = 512;   // a ring holds at most kUartRingSize - 1 bytes
}  // namespace zplat

// The realisation's own part of a port (its state; on the host also what the
// virtual board reaches): zplat::UartPort.
#include "uart_port.h"

class Uart : public Print, public zplat::UartPort {
public:
    static constexpr size_t kRingSize = zplat::kUartRingSize;

    explicit Uart(uint8_t index) : UartPort(index) {}

    void begin(unsigned long baud);
    void begin(unsigned long baud, uint16_t config);
    void end();
    int available();
    int peek();
    int read();
    void flush();
    size_t write(uint8_t c) override;
    using Print::write;
    explicit operator bool() const { return true; }
};

extern Uart Serial0;
extern Uart Serial1;
extern Uart Serial3;
