// Chip part of the SPI bus: the settings the SERCOM is configured with.
#pragma once
#include <stdint.h>

namespace zplat {
class SpiPort {
protected:
    bool started_ = false;
    SPISettings settings_;
};
}  // namespace zplat
