#include "host/state.h"

#include <cstring>

#include "host/firmware_ram.h"
#include "sam.h"

namespace zplat {

// Register blocks hold nothing but registers: a byte copy is the whole state.
struct PlatformState::Registers {
    unsigned char tc0[sizeof(Tc)], gclk[sizeof(Gclk)], mclk[sizeof(Mclk)], wdt[sizeof(Wdt)], nvic[sizeof(NvicRegs)];
};

namespace {
template <typename T>
void bytes_out(unsigned char* dst, const T& regs) {
    const auto* p = reinterpret_cast<const volatile unsigned char*>(&regs);
    for (size_t i = 0; i < sizeof(T); ++i) dst[i] = p[i];
}
template <typename T>
void bytes_in(T& regs, const unsigned char* src) {
    auto* p = reinterpret_cast<volatile unsigned char*>(&regs);
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = src[i];
}
}  // namespace

PlatformState::PlatformState() : regs_(std::make_unique<Registers>()) {}
PlatformState::~PlatformState() = default;

void PlatformState::take() {
    bytes_out(regs_->tc0, tc0_regs);
    bytes_out(regs_->gclk, gclk_regs);
    bytes_out(regs_->mclk, mclk_regs);
    bytes_out(regs_->wdt, wdt_regs);
    bytes_out(regs_->nvic, nvic_regs);
    tb_ = tb;
    pins_ = pins_save();
    buses_ = buses_save();
    for (uint8_t i = 0; i < kUartCount; ++i) uart_by_index(i)->host_save(ports_[i]);
    ram_ = firmware_ram_copy();
}

void PlatformState::put_back() const {
    bytes_in(tc0_regs, regs_->tc0);
    bytes_in(gclk_regs, regs_->gclk);
    bytes_in(mclk_regs, regs_->mclk);
    bytes_in(wdt_regs, regs_->wdt);
    bytes_in(nvic_regs, regs_->nvic);
    tb = tb_;
    pins_restore(pins_);
    buses_restore(buses_);
    for (uint8_t i = 0; i < kUartCount; ++i) uart_by_index(i)->host_restore(ports_[i]);
    restore_firmware_ram(ram_);
}

void UartPort::host_save(Saved& s) const {
    s.open = open_;
    s.unpaced = unpaced_;
    s.baud = baud_;
    s.peer = peer_;
    s.sink = sink_;
    std::memcpy(s.rx, rx_, sizeof rx_);
    s.rx_head = rx_head_;
    s.rx_tail = rx_tail_;
    s.rx_lost = rx_lost_;
    s.in.clear();
    for (size_t i = 0; i < in_count_; ++i) s.in.push_back(in_[(in_head_ + i) % kPendingMax]);
    s.in_head = in_head_;
    s.in_last = in_last_;
    s.tx.clear();
    for (size_t i = 0; i < tx_count_; ++i) s.tx.push_back(tx_[(tx_head_ + i) % kUartRingSize]);
    s.tx_head = tx_head_;
    s.tx_last = tx_last_;
}

void UartPort::host_restore(const Saved& s) {
    open_ = s.open;
    unpaced_ = s.unpaced;
    baud_ = s.baud;
    peer_ = s.peer;
    sink_ = s.sink;
    std::memcpy(rx_, s.rx, sizeof rx_);
    rx_head_ = s.rx_head;
    rx_tail_ = s.rx_tail;
    rx_lost_ = s.rx_lost;
    in_head_ = s.in_head;
    in_count_ = s.in.size();
    for (size_t i = 0; i < in_count_; ++i) in_[(in_head_ + i) % kPendingMax] = s.in[i];
    in_last_ = s.in_last;
    tx_head_ = s.tx_head;
    tx_count_ = s.tx.size();
    for (size_t i = 0; i < tx_count_; ++i) tx_[(tx_head_ + i) % kUartRingSize] = s.tx[i];
    tx_last_ = s.tx_last;
}

}  // namespace zplat
