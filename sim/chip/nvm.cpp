#include "nvm.h"

namespace zchip::nvm {
namespace {

void put32(std::vector<uint8_t>& b, uint32_t at, uint32_t v) {
    for (unsigned i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// NVM User Row, factory settings: BOOTPROT 7, EEPROM 7 (none), BOD33 level
// 0x06, enabled, action reset, the BOD12 trim 0x08F, the watchdog off with
// PER, WINDOW and EWOFFSET 0xB, the region locks all open. The reserved bits
// read as programmed in production (1).
constexpr uint32_t kUserWord0 = 0x7u | (1u << 3) | (0x7u << 4) | (1u << 7) | (0x06u << 8) | (1u << 15) |
                                (0x08Fu << 17) | (0xBu << 28);
constexpr uint32_t kUserWord1 = 0xBu | (0xBu << 4) | (0x3Fu << 10) | (0xFFFFu << 16);

// Software calibration area, word 0: the ADC trims, then OSC32K CAL [12:6],
// USB TRANSN [17:13], TRANSP [22:18], TRIM [25:23], DFLL48M COARSE [31:26].
constexpr uint32_t kCalibWord0 = kAdcBiasRefBuf | (kAdcBiasComp << 3) | (0x44u << 6) | (0x09u << 13) |
                                 (0x19u << 18) | (0x5u << 23) | (0x21u << 26);

}  // namespace

std::vector<Row> rows() {
    std::vector<Row> v;
    // Erased NVM reads as ones; the words production writes over it.
    Row user{kUserRow, "NVM user row", std::vector<uint8_t>(kMappedBytes, 0xFF)};
    put32(user.bytes, 0, kUserWord0);
    put32(user.bytes, 4, kUserWord1);
    Row calib{kCalibRow, "NVM software calibration row", std::vector<uint8_t>(kMappedBytes, 0xFF)};
    put32(calib.bytes, kSoftwareCalib - kCalibRow, kCalibWord0);
    // A serial number: unique per chip, any value will do for one unit.
    Row serial{kSerialRow, "NVM serial number row", std::vector<uint8_t>(kMappedBytes, 0xFF)};
    put32(serial.bytes, 0x0C, 0x5A31A7C2u);
    put32(serial.bytes, 0x40, 0x504E3254u);
    put32(serial.bytes, 0x44, 0x20202037u);
    put32(serial.bytes, 0x48, 0x0B0D1E24u);
    v.push_back(std::move(user));
    v.push_back(std::move(calib));
    v.push_back(std::move(serial));
    return v;
}

std::string row_name(uint32_t addr) {
    for (const Row& r : rows())
        if ((addr & ~(kMappedBytes - 1)) == r.base) return r.name;
    return {};
}

}  // namespace zchip::nvm
