// Chip part of a serial port: the receive ring filled by the SERCOM's receive
// interrupt and the transmit ring emptied by its data-register-empty interrupt.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace zplat {
class UartPort;
// The port's SERCOM interrupt, called by the vector.
void uart_interrupt(UartPort& port);

class UartPort {
protected:
    explicit constexpr UartPort(uint8_t index) : index_(index) {}

    static constexpr size_t kTxRingSize = 256;

    const uint8_t index_;   // 0 Serial0, 1 Serial1, 2 Serial3
    volatile bool open_ = false;
    // Head written only by the producer, tail only by the consumer; 16-bit
    // loads and stores are single accesses, so no lock is needed.
    volatile uint16_t rx_head_ = 0, rx_tail_ = 0;
    volatile uint16_t tx_head_ = 0, tx_tail_ = 0;
    volatile uint32_t rx_lost_ = 0;
    volatile bool tx_active_ = false;   // a byte was written since the last completed flush
    uint8_t rx_[kUartRingSize] = {};
    uint8_t tx_[kTxRingSize] = {};

    friend void uart_interrupt(UartPort& port);
};
}  // namespace zplat
