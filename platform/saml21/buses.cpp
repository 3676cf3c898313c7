// SPI master on SERCOM4 (MISO PAD0, MOSI PAD2, SCK PAD3: DIPO 0, DOPO 1) and
// I2C master on SERCOM2 (SDA PAD0, SCL PAD1), both from the 8 MHz GCLK0
// (datasheet: SERCOM SPI and SERCOM I2C, Register Description).
#include "Arduino.h"
#include "SPI.h"
#include "Wire.h"
#include "board.h"
#include "chip.h"

SPIClass SPI;
TwoWire Wire;

namespace {
constexpr uint8_t kSpiSercom = 4;
constexpr uint8_t kWireSercom = 2;

chip::SercomSpi& spi_regs() { return chip::sercom(kSpiSercom)->SPI; }
chip::SercomI2cm& i2c_regs() { return chip::sercom(kWireSercom)->I2CM; }

void sercom_clock_on(uint8_t n) {
    MCLK->APBCMASK.reg |= chip::MCLK_APBCMASK_SERCOM0 << n;
    board::gclk_channel(static_cast<uint8_t>(chip::GCLK_ID_SERCOM0_CORE + n), GCLK_PCHCTRL_GEN_GCLK0);
}

bool same(const SPISettings& a, const SPISettings& b) {
    return a.clock() == b.clock() && a.bit_order() == b.bit_order() && a.data_mode() == b.data_mode();
}

// Mode codes of SPI.h: bit 0 is CPOL, bit 1 set means CPHA 0.
void spi_configure(const SPISettings& s) {
    chip::SercomSpi& r = spi_regs();
    r.CTRLA = r.CTRLA & ~chip::SERCOM_CTRLA_ENABLE;
    while (r.SYNCBUSY) {
    }
    uint32_t ctrla = chip::SERCOM_CTRLA_MODE_SPI_MASTER | chip::SPI_CTRLA_DOPO(1) | chip::SPI_CTRLA_DIPO(0);
    if (s.bit_order() == LSBFIRST) ctrla |= chip::SPI_CTRLA_DORD;
    if (s.data_mode() & 0x1u) ctrla |= chip::SPI_CTRLA_CPOL;
    if (!(s.data_mode() & 0x2u)) ctrla |= chip::SPI_CTRLA_CPHA;
    r.CTRLA = ctrla;
    r.CTRLB = chip::SPI_CTRLB_RXEN;
    while (r.SYNCBUSY) {
    }
    // f_SCK = f_ref / (2 * (BAUD + 1)), rounded down to at most the asked clock.
    const uint32_t hz = s.clock() != 0 ? s.clock() : 1;
    uint32_t baud = (board::kMainHz + 2 * hz - 1) / (2 * hz);
    baud = baud == 0 ? 0 : baud - 1;
    r.BAUD = static_cast<uint8_t>(baud > 255 ? 255 : baud);
    r.CTRLA = r.CTRLA | chip::SERCOM_CTRLA_ENABLE;
    while (r.SYNCBUSY) {
    }
}

// Bounded waits: a bus that hangs answers as an error, not a lock-up.
constexpr uint32_t kI2cSpin = 40000;   // some 25 ms at 8 MHz, over two bytes at 100 kHz

bool i2c_wait(uint8_t flags) {
    chip::SercomI2cm& r = i2c_regs();
    for (uint32_t i = 0; i < kI2cSpin; ++i) {
        if (r.INTFLAG & flags) return true;
    }
    return false;
}

void i2c_sync() {
    chip::SercomI2cm& r = i2c_regs();
    for (uint32_t i = 0; i < kI2cSpin && (r.SYNCBUSY & chip::I2CM_SYNCBUSY_SYSOP); ++i) {
    }
}

void i2c_command(uint32_t cmd) {
    chip::SercomI2cm& r = i2c_regs();
    r.CTRLB = (r.CTRLB & ~((3u << 16) | chip::I2CM_CTRLB_ACKACT)) | cmd;
    i2c_sync();
}

// f_SCL = f_ref / (10 + 2 * BAUD), rise time neglected (datasheet: SERCOM I2C, baud rate).
void i2c_configure(uint32_t hz) {
    chip::SercomI2cm& r = i2c_regs();
    r.CTRLA = r.CTRLA & ~chip::SERCOM_CTRLA_ENABLE;
    while (r.SYNCBUSY) {
    }
    const uint32_t half = board::kMainHz / (2 * hz);
    r.BAUD = half > 5 ? half - 5 : 1;
    r.CTRLA = r.CTRLA | chip::SERCOM_CTRLA_ENABLE;
    while (r.SYNCBUSY) {
    }
    r.STATUS = chip::I2CM_STATUS_BUSSTATE_IDLE;   // the bus state is unknown after enable
    i2c_sync();
}
}  // namespace

// ---- SPI ----
void SPIClass::begin() {
    if (started_) return;
    sercom_clock_on(kSpiSercom);
    chip::SercomSpi& r = spi_regs();
    r.CTRLA = chip::SERCOM_CTRLA_SWRST;
    while (r.SYNCBUSY) {
    }
    board::pin_function(PIN_SPI_MISO, chip::PMUX_D);
    board::pin_function(PIN_SPI_MOSI, chip::PMUX_D);
    board::pin_function(PIN_SPI_SCK, chip::PMUX_D);
    spi_configure(settings_);
    started_ = true;
}

void SPIClass::end() {
    if (!started_) return;
    chip::SercomSpi& r = spi_regs();
    r.CTRLA = r.CTRLA & ~chip::SERCOM_CTRLA_ENABLE;
    while (r.SYNCBUSY) {
    }
    board::pin_release(PIN_SPI_MISO);
    board::pin_release(PIN_SPI_MOSI);
    board::pin_release(PIN_SPI_SCK);
    started_ = false;
}

void SPIClass::beginTransaction(SPISettings settings) {
    if (started_ && !same(settings, settings_)) spi_configure(settings);
    settings_ = settings;
}

void SPIClass::endTransaction() {}

uint8_t SPIClass::transfer(uint8_t data) {
    if (!started_) return 0xFF;
    chip::SercomSpi& r = spi_regs();
    while (!(r.INTFLAG & chip::SPI_INT_DRE)) {
    }
    r.DATA = data;
    while (!(r.INTFLAG & chip::SPI_INT_RXC)) {
    }
    return static_cast<uint8_t>(r.DATA);
}

void SPIClass::transfer(void* buf, size_t count) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    for (size_t i = 0; i < count; ++i) p[i] = transfer(p[i]);
}

// ---- I2C ----
void TwoWire::begin() {
    if (started_) return;
    sercom_clock_on(kWireSercom);
    chip::SercomI2cm& r = i2c_regs();
    r.CTRLA = chip::SERCOM_CTRLA_SWRST;
    while (r.SYNCBUSY) {
    }
    r.CTRLA = chip::SERCOM_CTRLA_MODE_I2C_MASTER | (2u << 20);   // SDAHOLD 300-600 ns
    r.CTRLB = 0;                                                 // commands issued by hand
    while (r.SYNCBUSY) {
    }
    board::pin_function(PIN_WIRE_SDA, chip::PMUX_D);
    board::pin_function(PIN_WIRE_SCL, chip::PMUX_D);
    i2c_configure(clock_);
    started_ = true;
}

void TwoWire::end() {
    if (!started_) return;
    chip::SercomI2cm& r = i2c_regs();
    r.CTRLA = r.CTRLA & ~chip::SERCOM_CTRLA_ENABLE;
    while (r.SYNCBUSY) {
    }
    board::pin_release(PIN_WIRE_SDA);
    board::pin_release(PIN_WIRE_SCL);
    started_ = false;
}

void TwoWire::setClock(uint32_t hz) {
    if (hz == 0) return;
    clock_ = hz;
    if (started_) i2c_configure(hz);
}

void TwoWire::beginTransmission(uint8_t address) {
    tx_address_ = address;
    transmitting_ = true;
    tx_len_ = 0;
}

size_t TwoWire::write(uint8_t data) {
    if (!transmitting_ || tx_len_ >= kBufferSize) return 0;
    tx_[tx_len_++] = data;
    return 1;
}

size_t TwoWire::write(const uint8_t* data, size_t quantity) {
    size_t n = 0;
    for (size_t i = 0; i < quantity; ++i) n += write(data[i]);
    return n;
}

// 0: every byte acknowledged; 2: address not acknowledged; 3: data not
// acknowledged; 4: bus not started, bus error or time-out.
uint8_t TwoWire::endTransmission(bool stopBit) {
    transmitting_ = false;
    if (!started_) return 4;
    chip::SercomI2cm& r = i2c_regs();
    r.ADDR = static_cast<uint32_t>(tx_address_) << 1;
    i2c_sync();
    if (!i2c_wait(chip::I2CM_INT_MB | chip::I2CM_INT_SB) ||
        (r.STATUS & (chip::I2CM_STATUS_BUSERR | chip::I2CM_STATUS_ARBLOST))) {
        r.STATUS = chip::I2CM_STATUS_BUSERR | chip::I2CM_STATUS_ARBLOST;
        i2c_command(chip::I2CM_CTRLB_CMD_STOP);
        return 4;
    }
    if (r.STATUS & chip::I2CM_STATUS_RXNACK) {
        i2c_command(chip::I2CM_CTRLB_CMD_STOP);
        return 2;
    }
    for (size_t i = 0; i < tx_len_; ++i) {
        r.DATA = tx_[i];
        i2c_sync();
        if (!i2c_wait(chip::I2CM_INT_MB)) {
            i2c_command(chip::I2CM_CTRLB_CMD_STOP);
            return 4;
        }
        if (r.STATUS & chip::I2CM_STATUS_RXNACK) {
            i2c_command(chip::I2CM_CTRLB_CMD_STOP);
            return 3;
        }
    }
    if (stopBit) i2c_command(chip::I2CM_CTRLB_CMD_STOP);
    return 0;
}

uint8_t TwoWire::requestFrom(uint8_t address, size_t quantity, bool stopBit) {
    rx_len_ = rx_pos_ = 0;
    if (!started_ || quantity == 0) return 0;
    if (quantity > kBufferSize) quantity = kBufferSize;
    chip::SercomI2cm& r = i2c_regs();
    r.ADDR = (static_cast<uint32_t>(address) << 1) | 1u;
    i2c_sync();
    // A read that is not acknowledged ends with MB set instead of SB.
    if (!i2c_wait(chip::I2CM_INT_SB | chip::I2CM_INT_MB) || !(r.INTFLAG & chip::I2CM_INT_SB)) {
        r.STATUS = chip::I2CM_STATUS_BUSERR | chip::I2CM_STATUS_ARBLOST;
        i2c_command(chip::I2CM_CTRLB_CMD_STOP);
        return 0;
    }
    for (size_t i = 0; i < quantity; ++i) {
        if (i != 0 && !i2c_wait(chip::I2CM_INT_SB)) {
            i2c_command(chip::I2CM_CTRLB_CMD_STOP);
            return 0;
        }
        if (i + 1 < quantity) {
            rx_[i] = r.DATA;
            i2c_command(chip::I2CM_CTRLB_CMD_READ);   // ACK, clock in the next byte
        } else {
            // The last byte is answered with NACK and, unless held, a STOP.
            if (stopBit) i2c_command(chip::I2CM_CTRLB_ACKACT | chip::I2CM_CTRLB_CMD_STOP);
            else r.CTRLB = r.CTRLB | chip::I2CM_CTRLB_ACKACT;
            rx_[i] = r.DATA;
        }
    }
    rx_len_ = quantity;
    return static_cast<uint8_t>(quantity);
}

int TwoWire::available() { return static_cast<int>(rx_len_ - rx_pos_); }
int TwoWire::read() { return rx_pos_ < rx_len_ ? rx_[rx_pos_++] : -1; }
int TwoWire::peek() { return rx_pos_ < rx_len_ ? rx_[rx_pos_] : -1; }
