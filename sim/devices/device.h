// What the virtual board offers the device models around the microcontroller.
#pragma once
#include <cstdint>
#include <functional>

#include "host/timebase.h"

namespace zsim {

using zplat::vtime;

class Board;

class Device {
public:
    virtual ~Device() = default;
    // A pin the unit drives changed (also after a reset of the unit).
    virtual void on_pin_changed(uint8_t /*pin*/) {}
    // Voltage this device puts on an analog pin; NaN when it does not drive it.
    virtual double analog_volts(uint8_t /*pin*/);
};

}  // namespace zsim
