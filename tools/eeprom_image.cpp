// zelmora-eeprom-image: writes the 64 KiB EEPROM image of a unit configured
// by a configuration file (the format of tools/default-config.toml).
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <sstream>

#include "default_image.h"
#include "zelmora_version.h"

int main(int argc, char** argv) {
    CLI::App app{"Writes the EEPROM image of a Zelmora unit from a configuration file."};
    app.set_version_flag("--version", std::string("zelmora-eeprom-image ") + zelmora::version());
    std::string config, out;
    app.add_option("--config", config, "configuration file (default: the built-in tools/default-config.toml)")
        ->check(CLI::ExistingFile);
    app.add_option("-o,--out", out, "image file to write (65536 bytes)")->required();
    CLI11_PARSE(app, argc, argv);

    try {
        std::vector<uint8_t> image;
        if (config.empty()) {
            image = zsim::default_eeprom_image();
        } else {
            std::ifstream in(config, std::ios::binary);
            std::ostringstream ss;
            ss << in.rdbuf();
            image = zsim::encode_eeprom_image(ss.str(), config);
        }
        std::ofstream f(out, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!f) throw std::runtime_error(out + ": cannot write the image");
    } catch (const std::exception& e) {
        std::cerr << "zelmora-eeprom-image: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
