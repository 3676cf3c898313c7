// The NVM rows the chip carries besides flash, as a factory-fresh
// ATSAML21J18B has them (datasheet, NVM User Row Mapping, NVM Software
// Calibration Area Mapping, Serial Number). The core maps them read-only:
// a write is a bus error, as it is to flash.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zchip::nvm {

constexpr uint32_t kUserRow = 0x00804000;
constexpr uint32_t kCalibRow = 0x00806000;        // the row that holds the software calibration area
constexpr uint32_t kSoftwareCalib = 0x00806020;   // NVMCTRL_SW_CALIB
constexpr uint32_t kSerialRow = 0x0080A000;       // the serial number words at +0x0C, +0x40..+0x48
constexpr uint32_t kRowBytes = 256;               // 4 pages of 64 bytes
// What the core maps around each row (its memory page): erased NVM past the row.
constexpr uint32_t kMappedBytes = 1024;

// The ADC's factory trims in the software calibration area (ADC_FUSES_*:
// BIASREFBUF [2:0], BIASCOMP [5:3]). Mid-range codes, as production trims
// land; neither 0 (CALIB's reset value) nor 7, so a forgotten or misplaced
// load shows.
constexpr unsigned kAdcBiasRefBuf = 5, kAdcBiasComp = 3;
// ADC.CALIB with them loaded: BIASREFBUF [10:8], BIASCOMP [2:0].
constexpr uint16_t kAdcCalib = static_cast<uint16_t>((kAdcBiasRefBuf << 8) | kAdcBiasComp);

struct Row {
    uint32_t base;
    const char* name;
    std::vector<uint8_t> bytes;   // kMappedBytes from base
};
// The rows with their contents.
std::vector<Row> rows();
// "NVM user row" etc. for an address mapped with one, else empty.
std::string row_name(uint32_t addr);

}  // namespace zchip::nvm
