#include "SPI.h"
#include "Wire.h"
#include "host/buses.h"
#include "host/pins.h"
#include "host/timebase.h"

SPIClass SPI;
TwoWire Wire;

namespace zplat {
namespace {
constexpr size_t kMaxSpi = BusesSaved::kMaxSpi;
struct SpiSlot { uint8_t cs; SpiTarget* target; bool selected; };
SpiSlot g_spi[kMaxSpi];
size_t g_spi_count = 0;
I2cTarget* g_i2c[128] = {};
}  // namespace

void attach_spi(uint8_t cs_pin, SpiTarget* target) {
    if (g_spi_count < kMaxSpi) g_spi[g_spi_count++] = {cs_pin, target, false};
}

void attach_i2c(uint8_t address, I2cTarget* target) {
    if (address < 128) g_i2c[address] = target;
}

void detach_all_bus_targets() {
    g_spi_count = 0;
    for (auto& t : g_i2c) t = nullptr;
}

void spi_line_changed(uint8_t pin) {
    for (size_t i = 0; i < g_spi_count; ++i) {
        SpiSlot& s = g_spi[i];
        if (s.cs != pin) continue;
        const bool sel = pin_level(pin) == 0;
        if (sel != s.selected) {
            s.selected = sel;
            s.target->on_select(sel);
        }
    }
}

BusesSaved buses_save() {
    BusesSaved s{};
    s.spi_count = g_spi_count;
    for (size_t i = 0; i < kMaxSpi; ++i) s.selected[i] = g_spi[i].selected;
    s.spi = SPI;
    s.wire = Wire;
    return s;
}

void buses_restore(const BusesSaved& saved) {
    g_spi_count = saved.spi_count;
    for (size_t i = 0; i < kMaxSpi; ++i) g_spi[i].selected = saved.selected[i];
    SPI = saved.spi;
    Wire = saved.wire;
}

void buses_reset() {
    SPI.host_reset();
    Wire.host_reset();
    for (size_t i = 0; i < g_spi_count; ++i) spi_line_changed(g_spi[i].cs);
}

uint8_t spi_exchange(uint8_t mosi) {
    uint8_t miso = 0xFF;   // MISO idles high: nothing selected reads all ones
    if (!SPI.host_started()) return miso;
    for (size_t i = 0; i < g_spi_count; ++i) {
        if (g_spi[i].selected) miso &= g_spi[i].target->on_exchange(mosi, SPI.host_settings());
    }
    return miso;
}

uint8_t spi_exchange_with(uint8_t mosi, const SPISettings& settings) {
    uint8_t miso = 0xFF;
    for (size_t i = 0; i < g_spi_count; ++i) {
        if (g_spi[i].selected) miso &= g_spi[i].target->on_exchange(mosi, settings);
    }
    return miso;
}

I2cTarget* i2c_target(uint8_t address) { return address < 128 ? g_i2c[address] : nullptr; }
}  // namespace zplat

using zplat::cross;

void SPIClass::begin() {
    const bool changed = !started_;
    started_ = true;
    cross(zplat::cost::pin_mode * 3, changed);
}

void SPIClass::end() {
    const bool changed = started_;
    started_ = false;
    cross(zplat::cost::pin_mode, changed);
}

void SPIClass::beginTransaction(SPISettings settings) {
    settings_ = settings;
    cross(zplat::cost::reg * 4, false);
}

void SPIClass::endTransaction() { cross(zplat::cost::reg, false); }

uint8_t SPIClass::transfer(uint8_t data) {
    const uint8_t r = zplat::spi_exchange(data);
    cross(zplat::cost::spi_byte, true);
    return r;
}

void SPIClass::transfer(void* buf, size_t count) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    for (size_t i = 0; i < count; ++i) p[i] = transfer(p[i]);
}

void TwoWire::begin() {
    const bool changed = !started_;
    started_ = true;
    cross(zplat::cost::pin_mode * 2, changed);
}

void TwoWire::end() {
    started_ = false;
    cross(zplat::cost::pin_mode, true);
}

void TwoWire::setClock(uint32_t hz) {
    if (hz != 0) clock_ = hz;
    cross(zplat::cost::reg, false);
}

void TwoWire::beginTransmission(uint8_t address) {
    tx_address_ = address;
    transmitting_ = true;
    tx_len_ = 0;
    cross(zplat::cost::reg, false);
}

size_t TwoWire::write(uint8_t data) {
    if (!transmitting_ || tx_len_ >= kBufferSize) {
        cross(zplat::cost::reg, false);
        return 0;
    }
    tx_[tx_len_++] = data;
    cross(zplat::cost::reg, false);
    return 1;
}

size_t TwoWire::write(const uint8_t* data, size_t quantity) {
    size_t n = 0;
    for (size_t i = 0; i < quantity; ++i) n += write(data[i]);
    return n;
}

// 0: every byte acknowledged; 2: address not acknowledged; 3: data not
// acknowledged; 4: bus not started.
uint8_t TwoWire::endTransmission(bool) {
    transmitting_ = false;
    const uint64_t byte_ns = 9ull * 1000000000ull / clock_;
    if (!started_) {
        cross(zplat::cost::reg, false);
        return 4;
    }
    zplat::I2cTarget* t = zplat::i2c_target(tx_address_);
    // on_write counts the address as the first acknowledged byte.
    const size_t acked = t ? t->on_write(tx_, tx_len_) : 0;
    const size_t clocked = acked < tx_len_ + 1 ? acked + 1 : tx_len_ + 1;
    zplat::pass(byte_ns * clocked);
    cross(zplat::cost::reg, true);
    if (acked == 0) return 2;
    if (acked < tx_len_ + 1) return 3;
    return 0;
}

uint8_t TwoWire::requestFrom(uint8_t address, size_t quantity, bool) {
    rx_len_ = rx_pos_ = 0;
    const uint64_t byte_ns = 9ull * 1000000000ull / clock_;
    if (!started_) {
        cross(zplat::cost::reg, false);
        return 0;
    }
    if (quantity > kBufferSize) quantity = kBufferSize;
    zplat::I2cTarget* t = zplat::i2c_target(address);
    const bool ok = t && t->on_read(rx_, quantity);
    zplat::pass(byte_ns * (1 + (ok ? quantity : 0)));
    cross(zplat::cost::reg, true);
    if (!ok) return 0;
    rx_len_ = quantity;
    return static_cast<uint8_t>(quantity);
}

int TwoWire::available() {
    cross(zplat::cost::reg, false);
    return static_cast<int>(rx_len_ - rx_pos_);
}

int TwoWire::read() {
    cross(zplat::cost::reg, false);
    return rx_pos_ < rx_len_ ? rx_[rx_pos_++] : -1;
}

int TwoWire::peek() {
    cross(zplat::cost::reg, false);
    return rx_pos_ < rx_len_ ? rx_[rx_pos_] : -1;
}

void zplat::WirePort::host_reset() {
    started_ = false;
    clock_ = 100000;
    transmitting_ = false;
    tx_len_ = rx_len_ = rx_pos_ = 0;
}
