// The chip image's world as its parts see it: the bus between the core and
// the peripherals, the services the chip offers its peripherals (time,
// interrupt lines, resets), and the wires to the devices outside the chip.
//
// Three parties meet here:
// - the core (core.h): executes the image, owns the NVIC, SysTick and the
//   SCB, and routes every access outside flash and SRAM to a Peripheral;
// - the peripherals (one file each): registers at an address range, timed
//   behaviour through Chip::schedule, interrupt lines through Chip::set_irq;
// - the virtual board: implements Chip (one virtual clock) and Wires (the
//   same device models as the host build).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "host/timebase.h"

namespace zchip {

using zplat::vtime;

// Ports of the PORT peripheral.
enum class Group : uint8_t { A = 0, B = 1 };

// A pad as the PORT peripheral drives it. `output`: DIR set; `level`: the
// OUT bit; `pull`: PINCFG.PULLEN (pulls towards `level` when not an output);
// `input`: PINCFG.INEN (the input buffer is on); `function`: PINCFG.PMUXEN
// (a peripheral owns the pad, `mux` is its PMUX function 0..15 = A..).
struct PadDrive {
    bool output = false;
    bool level = false;
    bool pull = false;
    bool input = false;
    bool function = false;
    uint8_t mux = 0;
};

// A pad of the chip: pin 0..31 of PORT group A or B.
struct Pad {
    Group group;
    uint8_t pin;
};

// Pads as a set, one bit each (group × 32 + pin): the pads a signal is on.
struct PadSet {
    uint64_t bits = 0;
    static unsigned index(Pad p) { return static_cast<unsigned>(p.group) * 32u + p.pin; }
    static Pad at(unsigned i) { return Pad{static_cast<Group>(i / 32), static_cast<uint8_t>(i % 32)}; }
    bool has(Pad p) const { return (bits >> index(p)) & 1u; }
    void add(Pad p) { bits |= uint64_t{1} << index(p); }
    bool empty() const { return bits == 0; }
};

// SPI transfer format as SERCOM in SPI master mode clocks it.
struct SpiFormat {
    bool cpol = false;
    bool cpha = false;
    bool lsb_first = false;
    uint32_t hz = 0;   // SCK frequency from BAUD and the generic clock
};

// Where an SPI master's signals are, and an I2C master's.
struct SpiPads {
    PadSet sck, mosi, miso;
};
struct I2cPads {
    PadSet sda, scl;
};

// What the chip's pads and serial engines meet outside the chip. Implemented
// by the virtual board over the same device models as the host build. The
// serial engines name the pads their signals are on (PORT's multiplexer and
// the SERCOM's pad selection put them there); the board knows which device
// hangs on which pad. An empty set: the signal leaves the chip nowhere.
class Wires {
public:
    virtual ~Wires() = default;
    // The chip changed how it drives a pad.
    virtual void pad_driven(Group g, uint8_t pin, const PadDrive& d) = 0;
    // The level on the wire at a pad: what the chip drives, else the world's
    // drive, else its pull; a floating line reads low.
    virtual bool pad_level(Group g, uint8_t pin) = 0;
    // Volts on a pad, for the ADC.
    virtual double pad_volts(Group g, uint8_t pin) = 0;
    // A SERCOM in USART mode finished sending `byte` on the pads `tx`: its
    // stop bit ended at `at`, at the bit rate `baud` its BAUD register and
    // clock give.
    virtual void serial_out(PadSet tx, uint8_t byte, vtime at, double baud) = 0;
    // A SERCOM in SPI master mode clocks one byte; returns what its MISO
    // pads read.
    virtual uint8_t spi_exchange(const SpiPads& pads, uint8_t mosi, const SpiFormat& f) = 0;
    // A SERCOM in I2C master mode: a write transaction to the 7-bit address;
    // returns the bytes acknowledged, 0 when not even the address was.
    virtual size_t i2c_write(const I2cPads& pads, uint8_t address, const uint8_t* data, size_t n) = 0;
    // A read transaction of n bytes; false when the address is not acknowledged.
    virtual bool i2c_read(const I2cPads& pads, uint8_t address, uint8_t* out, size_t n) = 0;
};

// What a peripheral sees of the chip around it. Implemented by the chip
// assembly (chip.h) over the core and the virtual board's clock.
class Chip {
public:
    virtual ~Chip() = default;
    // Virtual time now: during a register access, the time of that access.
    virtual vtime now() const = 0;
    // The PC of the instruction making the current access (0 outside one).
    virtual uint32_t pc() const = 0;
    // Calls fn at virtual time `at` (never earlier than now()); events at the
    // same time run in the order they were scheduled. A peripheral that
    // reconfigures itself voids its own stale events (a generation count).
    virtual void schedule(vtime at, std::function<void()> fn) = 0;
    // An NVIC interrupt line (0..31) raised or lowered, as the peripheral's
    // INTFLAG & INTEN says. Level-sensitive: pending while raised.
    virtual void set_irq(uint8_t line, bool raised) = 0;
    // A system reset (watchdog, SYSRESETREQ): the core and every peripheral
    // back to their reset state, the image started from its reset vector.
    virtual void system_reset(const std::string& cause) = 0;
    // A write the datasheet forbids, or one that cannot take effect: printed
    // on standard error with the PC, counted for the chip report.
    virtual void forbidden(const std::string& what) = 0;
    // The CPU clock changed (the clock tree re-derived it).
    virtual void cpu_clock_changed() = 0;
    virtual Wires& wires() = 0;
};

// A memory-mapped peripheral: registers at offsets from its base.
class Peripheral {
public:
    Peripheral(const char* name, uint32_t base, uint32_t size) : name_(name), base_(base), size_(size) {}
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    const char* name() const { return name_; }
    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }

    // An access of `width` bytes (1, 2 or 4) at `offset` from the base,
    // aligned to its width. false: the access is a bus error (the core takes
    // a HardFault).
    virtual bool read(uint32_t offset, unsigned width, uint32_t& value) = 0;
    virtual bool write(uint32_t offset, unsigned width, uint32_t value) = 0;
    // For the core's pass skipping (both false unless the model knows
    // better): the read has no side effect and reads what only a write or
    // an event can change; the write would change nothing at all (no
    // state, no event, no report), so the core leaves it out.
    virtual bool steady_read(uint32_t /*offset*/, unsigned /*width*/) { return false; }
    virtual bool idle_write(uint32_t /*offset*/, unsigned /*width*/, uint32_t /*value*/) { return false; }
    // A number that changes whenever whether a write is idle may have
    // changed (0: no such number). With one, the core remembers the writes
    // it found idle instead of asking again.
    virtual uint64_t idle_version() const { return 0; }
    // Why an access it refused is one (the register and the rule), for the
    // fault report; empty when there is nothing to add.
    virtual std::string refusal(uint32_t /*offset*/, unsigned /*width*/, bool /*write*/) const { return {}; }
    // Power-on and system reset.
    virtual void reset() = 0;

private:
    const char* name_;
    uint32_t base_;
    uint32_t size_;
};

}  // namespace zchip
