// Shared by the storage stories: the EEPROM side brought up from the test
// thread, the chip's cells, the console, raw SPI frames.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "Arduino.h"
#include "M95512.h"
#include "SPI.h"
#include "board.h"
#include "zelmora.h"

namespace storage_test {

// What start-up does for the EEPROM side: console, driver, the 1 ms tick.
inline void bring_up() {
    Serial0.begin(38400);
    E2PROM_SPI.begin();
    setup_timerTC0(1, 8000);
    start_timerTC0();
}

inline std::vector<uint8_t> bytes_at(zsim::Board& b, size_t at, size_t n) {
    const auto& m = b.eeprom().contents();
    return std::vector<uint8_t>(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + n));
}

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

inline std::string console_of(zsim::Board& b) {
    Serial0.flush();
    return b.console();
}

// Drops what was printed so far, including bytes still on the line.
inline void reset_console(zsim::Board& b) {
    Serial0.flush();
    b.clear_console();
}

// One selection of the chip: bytes out, bytes in.
inline std::vector<uint8_t> spi_frame(std::vector<uint8_t> bytes, uint8_t mode = SPI_MODE0) {
    SPI.beginTransaction(SPISettings(2000000, MSBFIRST, mode));
    digitalWrite(19, LOW);
    for (uint8_t& x : bytes) x = SPI.transfer(x);
    digitalWrite(19, HIGH);
    SPI.endTransaction();
    return bytes;
}

inline uint8_t rdsr() { return spi_frame({0x05, 0xFF})[1]; }
inline void wren() { spi_frame({0x06}); }

inline std::vector<uint8_t> raw_read(uint16_t a, size_t n) {
    std::vector<uint8_t> out = {0x03, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
    out.resize(3 + n, 0xFF);
    const auto in = spi_frame(out);
    return std::vector<uint8_t>(in.begin() + 3, in.end());
}

inline void raw_write(uint16_t a, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out = {0x02, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
    out.insert(out.end(), data.begin(), data.end());
    spi_frame(out);
}

}  // namespace storage_test
