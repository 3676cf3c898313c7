// Host side of the platform: the boundary every platform operation crosses.
// The firmware never includes this header.
#pragma once
#include <cstdint>

namespace zplat {

// Virtual time in nanoseconds since the virtual board was created.
using vtime = uint64_t;
constexpr vtime kNever = UINT64_MAX;
constexpr vtime kMs = 1000000;
constexpr vtime kSec = 1000000000;

// Implemented by the virtual board. Called only on the firmware's thread.
class Host {
public:
    virtual ~Host() = default;
    // now >= due: deliver what has come due (events, interrupts, resets).
    virtual void service() = 0;
    // The firmware polls without changing anything: skip ahead to the next event.
    virtual void idle() = 0;
    // Block the caller until virtual time t, delivering events meanwhile.
    virtual void wait_until(vtime t) = 0;
    // A register of TC0, GCLK, NVIC, WDT or MCLK was written.
    virtual void register_written(const void* reg) = 0;
    // A pin's drive (mode, pull, output level) changed.
    virtual void pin_changed(uint8_t pin) = 0;
    // Voltage the world puts on an analog pin, in volts.
    virtual double analog_volts(uint8_t pin) = 0;
};

struct Timebase {
    vtime now = 0;
    vtime due = kNever;        // earliest pending event
    vtime reset_at = 0;        // the last reset of the unit: millis() counts from here
    uint32_t quiet = 0;        // consecutive crossings that changed nothing
    uint32_t effects = 0;      // crossings that changed something (never reset; compared by the runner)
    bool in_isr = false;
    Host* host = nullptr;
};
extern Timebase tb;

// Consecutive quiet crossings after which the firmware counts as spinning.
constexpr uint32_t kQuietStreak = 48;

// Every platform operation crosses this boundary once: it costs virtual time,
// and pending interrupts and events are delivered here, as on the chip between
// instructions.
inline void cross(uint32_t cost_ns, bool effect) {
    tb.now += cost_ns;
    if (effect) {
        tb.quiet = 0;
        ++tb.effects;
    } else if (++tb.quiet >= kQuietStreak && !tb.in_isr && tb.host) {
        tb.quiet = 0;
        tb.host->idle();
    }
    if (tb.now >= tb.due && !tb.in_isr && tb.host) tb.host->service();
}

// Lets d pass inside one platform call (a bus transfer), delivering every
// interrupt and event that falls due meanwhile, in order, as the chip does
// while its core waits on a peripheral.
inline void pass(vtime d) {
    if (tb.host && !tb.in_isr) tb.host->wait_until(tb.now + d);
    else tb.now += d;
}

// Costs of platform operations at the chip's 8 MHz, in ns.
namespace cost {
constexpr uint32_t reg = 250;
constexpr uint32_t pin_mode = 8000;
constexpr uint32_t pin_write = 5000;
constexpr uint32_t pin_read = 4000;
constexpr uint32_t analog = 20000;
constexpr uint32_t serial = 2000;
constexpr uint32_t millis = 1000;
constexpr uint32_t spi_byte = 6000;     // 8 bits at 2 MHz plus overhead
constexpr uint32_t i2c_byte = 90000;    // 9 bits at 100 kHz
}  // namespace cost

// Resets every peripheral of the platform to its power-on state and puts the
// firmware's RAM back to its power-on image.
void power_on_reset();

}  // namespace zplat
