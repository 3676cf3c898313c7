// Host part of the SPI bus: what the device models see of it.
#pragma once

namespace zplat {
class SpiPort {
public:
    bool host_started() const { return started_; }
    const SPISettings& host_settings() const { return settings_; }
    void host_reset() { started_ = false; settings_ = SPISettings(); }

protected:
    bool started_ = false;
    SPISettings settings_;
};
}  // namespace zplat
