#include "default_image.h"

#include "unit_config.h"

namespace zsim {

extern const char* const kDefaultConfigText;

std::vector<uint8_t> encode_eeprom_image(const std::string& toml_text, const std::string& origin) {
    return zcfg::eeprom_image(zcfg::from_toml(toml_text, origin));
}

std::vector<uint8_t> default_eeprom_image() {
    static const std::vector<uint8_t> image = encode_eeprom_image(kDefaultConfigText, "tools/default-config.toml");
    return image;
}

}  // namespace zsim
