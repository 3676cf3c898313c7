// The EEPROM image of a fresh unit: a complete, plausible configuration in
// addresses 0..97 and every other byte erased (0xFF).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

// Built from the documented configuration file tools/default-config.toml.
std::vector<uint8_t> default_eeprom_image();

// Encodes a configuration file (same format) into a 64 KiB image; throws
// std::runtime_error naming the line of a bad value.
std::vector<uint8_t> encode_eeprom_image(const std::string& toml_text, const std::string& origin);

}  // namespace zsim
