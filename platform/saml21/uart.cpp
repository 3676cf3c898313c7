// Serial ports on their SERCOMs in USART mode, 8N1, 16x oversampling with
// arithmetic baud generation from the 8 MHz GCLK0 (datasheet: SERCOM USART,
// Baud-Rate Generator: BAUD = 65536 * (1 - 16 * f_baud / f_ref)).
#include "Uart.h"

#include "board.h"
#include "chip.h"

Uart Serial0(0);
Uart Serial1(1);
Uart Serial3(2);

namespace {
struct UartHw {
    uint8_t sercom;
    uint8_t rx_pin, tx_pin;   // Arduino pin numbers
    uint8_t function;         // PORT peripheral function of both pads
    uint8_t txpo, rxpo;       // CTRLA pad selection
};
// Serial0: SERCOM0 PAD0 TX / PAD1 RX; Serial1: SERCOM1 PAD0 / PAD1;
// Serial3: SERCOM5 PAD2 TX (TXPO 1) / PAD3 RX.
constexpr UartHw kHw[3] = {
    {0, 0, 1, chip::PMUX_D, 0, 1},
    {1, 2, 3, chip::PMUX_C, 0, 1},
    {5, 4, 5, chip::PMUX_D, 1, 3},
};

chip::SercomUsart& usart(uint8_t index) { return chip::sercom(kHw[index].sercom)->USART; }
IRQn_Type irq_of(uint8_t index) { return static_cast<IRQn_Type>(chip::IRQ_SERCOM0 + kHw[index].sercom); }

void sync(chip::SercomUsart& u) {
    while (u.SYNCBUSY) {
    }
}

void bus_clock_on(uint8_t sercom) {
    if (sercom < 5) {
        MCLK->APBCMASK.reg |= chip::MCLK_APBCMASK_SERCOM0 << sercom;
        board::gclk_channel(static_cast<uint8_t>(chip::GCLK_ID_SERCOM0_CORE + sercom), GCLK_PCHCTRL_GEN_GCLK0);
    } else {
        MCLK->APBDMASK.reg |= chip::MCLK_APBDMASK_SERCOM5;
        board::gclk_channel(chip::GCLK_ID_SERCOM5_CORE, GCLK_PCHCTRL_GEN_GCLK0);
    }
}

bool interrupts_masked() {
    uint32_t primask;
    __asm volatile("mrs %0, primask" : "=r"(primask));
    return primask & 1u;
}
}  // namespace

namespace zplat {
void uart_interrupt(UartPort& p) {
    chip::SercomUsart& u = usart(p.index_);
    const uint8_t flags = u.INTFLAG;
    if (flags & chip::USART_INT_RXC) {
        const uint16_t status = u.STATUS;
        const uint8_t b = static_cast<uint8_t>(u.DATA);
        if (status & 0x07u) u.STATUS = status & 0x07u;   // parity, frame, overflow: clear
        const uint16_t next = static_cast<uint16_t>((p.rx_head_ + 1u) % kUartRingSize);
        if (next == p.rx_tail_) {
            p.rx_lost_ = p.rx_lost_ + 1;   // ring full: the byte is lost
        } else {
            p.rx_[p.rx_head_] = b;
            p.rx_head_ = next;
        }
    }
    if ((flags & chip::USART_INT_DRE) && (u.INTENSET & chip::USART_INT_DRE)) {
        if (p.tx_tail_ != p.tx_head_) {
            u.DATA = p.tx_[p.tx_tail_];
            p.tx_tail_ = static_cast<uint16_t>((p.tx_tail_ + 1u) % UartPort::kTxRingSize);
        } else {
            u.INTENCLR = chip::USART_INT_DRE;
        }
    }
    if (flags & chip::USART_INT_ERROR) u.INTFLAG = chip::USART_INT_ERROR;
}
}  // namespace zplat

extern "C" void SERCOM0_Handler(void) { zplat::uart_interrupt(Serial0); }
extern "C" void SERCOM1_Handler(void) { zplat::uart_interrupt(Serial1); }
extern "C" void SERCOM5_Handler(void) { zplat::uart_interrupt(Serial3); }

void Uart::begin(unsigned long baud) { begin(baud, 0); }

void Uart::begin(unsigned long baud, uint16_t) {
    end();
    if (baud == 0) return;
    const UartHw& hw = kHw[index_];
    chip::SercomUsart& u = usart(index_);
    bus_clock_on(hw.sercom);
    u.CTRLA = chip::SERCOM_CTRLA_SWRST;
    sync(u);
    u.CTRLA = chip::SERCOM_CTRLA_MODE_USART_INT | chip::USART_CTRLA_DORD | chip::USART_CTRLA_TXPO(hw.txpo) |
              chip::USART_CTRLA_RXPO(hw.rxpo);
    u.CTRLB = chip::USART_CTRLB_TXEN | chip::USART_CTRLB_RXEN;   // 8 data bits, 1 stop bit, no parity
    sync(u);
    const uint64_t scaled = (static_cast<uint64_t>(baud) * 16u * 65536u + board::kMainHz / 2) / board::kMainHz;
    u.BAUD = static_cast<uint16_t>(65536u - static_cast<uint32_t>(scaled));
    board::pin_function(hw.rx_pin, hw.function);
    board::pin_function(hw.tx_pin, hw.function);
    rx_head_ = rx_tail_ = 0;
    tx_head_ = tx_tail_ = 0;
    tx_active_ = false;
    u.INTENSET = chip::USART_INT_RXC;
    NVIC_ClearPendingIRQ(irq_of(index_));
    NVIC_EnableIRQ(irq_of(index_));
    u.CTRLA = u.CTRLA | chip::SERCOM_CTRLA_ENABLE;
    sync(u);
    open_ = true;
}

// Stops the port; what was still queued is never sent.
void Uart::end() {
    if (!open_) return;
    open_ = false;
    chip::SercomUsart& u = usart(index_);
    NVIC_DisableIRQ(irq_of(index_));
    u.INTENCLR = 0xFF;
    u.CTRLA = u.CTRLA & ~chip::SERCOM_CTRLA_ENABLE;
    sync(u);
    board::pin_release(kHw[index_].rx_pin);
    board::pin_release(kHw[index_].tx_pin);
    rx_head_ = rx_tail_ = 0;
    tx_head_ = tx_tail_ = 0;
    tx_active_ = false;
}

int Uart::available() {
    return static_cast<int>((rx_head_ + kRingSize - rx_tail_) % kRingSize);
}

int Uart::peek() {
    if (rx_head_ == rx_tail_) return -1;
    return rx_[rx_tail_];
}

int Uart::read() {
    if (rx_head_ == rx_tail_) return -1;
    const uint8_t c = rx_[rx_tail_];
    rx_tail_ = static_cast<uint16_t>((rx_tail_ + 1u) % kRingSize);
    return c;
}

void Uart::flush() {
    if (!open_ || !tx_active_) return;
    while (tx_head_ != tx_tail_) {
        if (interrupts_masked()) zplat::uart_interrupt(*this);
    }
    chip::SercomUsart& u = usart(index_);
    while (!(u.INTFLAG & chip::USART_INT_TXC)) {
    }
    u.INTFLAG = chip::USART_INT_TXC;
    tx_active_ = false;
}

// Blocks while the transmit ring is full.
size_t Uart::write(uint8_t c) {
    if (!open_) return 0;
    const uint16_t next = static_cast<uint16_t>((tx_head_ + 1u) % kTxRingSize);
    while (next == tx_tail_) {
        if (interrupts_masked()) zplat::uart_interrupt(*this);   // drain by hand
    }
    tx_[tx_head_] = c;
    tx_head_ = next;
    tx_active_ = true;
    chip::SercomUsart& u = usart(index_);
    u.INTFLAG = chip::USART_INT_TXC;   // a completion seen before this byte is stale
    u.INTENSET = chip::USART_INT_DRE;
    return 1;
}
