#include "Uart.h"

#include "host/serial_peer.h"
#include "host/timebase.h"

using zplat::cross;
using zplat::tb;

Uart Serial0(0);
Uart Serial1(1);
Uart Serial3(2);

namespace zplat {
Uart* uart_by_index(uint8_t index) {
    switch (index) {
        case 0: return &Serial0;
        case 1: return &Serial1;
        case 2: return &Serial3;
        default: return nullptr;
    }
}
}  // namespace zplat

void Uart::begin(unsigned long baud) { begin(baud, 0); }

void Uart::begin(unsigned long baud, uint16_t) {
    settle_now();
    open_ = baud != 0;
    baud_ = static_cast<uint32_t>(baud);
    rx_head_ = rx_tail_ = 0;
    cross(zplat::cost::serial * 4, true);
}

void Uart::end() {
    settle_now();
    open_ = false;
    rx_head_ = rx_tail_ = 0;
    tx_head_ = tx_count_ = 0;   // what was still queued is never sent
    cross(zplat::cost::serial, true);
}

int Uart::available() {
    settle_now();
    cross(zplat::cost::serial, false);
    settle_now();
    return static_cast<int>((rx_head_ + kRingSize - rx_tail_) % kRingSize);
}

int Uart::peek() {
    settle_now();
    cross(zplat::cost::serial, false);
    settle_now();
    if (rx_head_ == rx_tail_) return -1;
    return rx_[rx_tail_];
}

int Uart::read() {
    settle_now();
    if (rx_head_ == rx_tail_) {
        cross(zplat::cost::serial, false);
        return -1;
    }
    const uint8_t c = rx_[rx_tail_];
    rx_tail_ = (rx_tail_ + 1) % kRingSize;
    cross(zplat::cost::serial, true);
    return c;
}

void Uart::flush() {
    settle_now();
    if (tx_count_ != 0) tb.host->wait_until(tx_last_);
    settle_now();
    cross(zplat::cost::serial, tx_count_ != 0);
}

size_t Uart::write(uint8_t c) {
    if (!open_) {
        cross(zplat::cost::serial, false);
        return 0;
    }
    settle_now();
    if (unpaced_ && tx_count_ == 0) {
        tx_last_ = tb.now;
        if (peer_) peer_->on_byte(c, tb.now, baud_);
        cross(zplat::cost::serial, true);
        return 1;
    }
    // Printing blocks while the transmit ring is full.
    while (tx_count_ >= kRingSize) {
        tb.host->wait_until(tx_[tx_head_].at);
        settle_now();
    }
    const uint64_t start = tx_last_ > tb.now ? tx_last_ : tb.now;
    tx_last_ = start + byte_time(baud_);
    tx_[(tx_head_ + tx_count_) % kRingSize] = {tx_last_, c};
    ++tx_count_;
    if (tx_last_ < tb.due) tb.due = tx_last_;
    cross(zplat::cost::serial, true);
    return 1;
}

void zplat::UartPort::host_feed(const uint8_t* data, size_t n, uint64_t start, uint32_t baud) {
    if (baud == 0) return;
    const uint64_t bt = byte_time(baud);
    uint64_t t = start > in_last_ ? start : in_last_;
    for (size_t i = 0; i < n; ++i) {
        if (in_count_ == kPendingMax) break;   // the line cannot carry more
        t += bt;
        in_[(in_head_ + in_count_) % kPendingMax] = {t, baud, data[i]};
        ++in_count_;
    }
    in_last_ = t;
    if (in_count_ != 0 && in_[in_head_].at < tb.due) tb.due = in_[in_head_].at;
}

size_t zplat::UartPort::host_receive(const uint8_t* data, size_t n) {
    if (!open_) return 0;
    size_t taken = 0;
    for (; taken < n; ++taken) {
        const size_t next = (rx_head_ + 1) % kUartRingSize;
        if (next == rx_tail_) break;
        rx_[rx_head_] = data[taken];
        rx_head_ = next;
    }
    return taken;
}

void zplat::UartPort::settle_now() { host_settle(tb.now); }

uint64_t zplat::UartPort::host_settle(uint64_t now) {
    while (in_count_ != 0 && in_[in_head_].at <= now) {
        if (sink_) {
            const Arrival a = in_[in_head_];
            in_head_ = (in_head_ + 1) % kPendingMax;
            --in_count_;
            sink_->on_arrival(a.byte, a.at, a.baud);
            continue;
        }
        uint8_t b = in_[in_head_].byte;
        // A receiver at another baud rate sees framing garbage, not the byte.
        if (in_[in_head_].baud != baud_) b = static_cast<uint8_t>(b ^ 0xA5);
        in_head_ = (in_head_ + 1) % kPendingMax;
        --in_count_;
        if (!open_) continue;
        const size_t next = (rx_head_ + 1) % kUartRingSize;
        if (next == rx_tail_) {
            ++rx_lost_;   // ring full: the byte is lost
            continue;
        }
        rx_[rx_head_] = b;
        rx_head_ = next;
    }
    while (tx_count_ != 0 && tx_[tx_head_].at <= now) {
        const Pending p = tx_[tx_head_];
        tx_head_ = (tx_head_ + 1) % kUartRingSize;
        --tx_count_;
        if (peer_) peer_->on_byte(p.byte, p.at, baud_);
    }
    uint64_t next = zplat::kNever;
    if (in_count_ != 0) next = in_[in_head_].at;
    if (tx_count_ != 0 && tx_[tx_head_].at < next) next = tx_[tx_head_].at;
    return next;
}

void zplat::UartPort::host_reset() {
    open_ = false;
    baud_ = 0;
    rx_head_ = rx_tail_ = 0;
    tx_head_ = tx_count_ = 0;
    tx_last_ = 0;
    // Bytes already on the line keep arriving; a closed port drops them.
}

void zplat::UartPort::host_clear_line() {
    host_reset();
    unpaced_ = false;
    in_head_ = in_count_ = 0;
    in_last_ = 0;
    rx_lost_ = 0;
}
