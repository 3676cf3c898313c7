// The I2C real-time clock at address 0x6F: timekeeping registers 0x00..0x07
// in BCD with the ST, OSCRUN, 12/24, EXTOSC and leap-year bits, a register
// pointer that auto-increments, a calendar counting with virtual time, and an
// oscillator that needs a short while to start after ST is set.
//
// Model choices where the wire leaves room:
// - The calendar runs 2000..2099 (year register 00..99, leap when year % 4
//   is 0, which matches the Gregorian rule over that century); 31 Dec 99
//   rolls over to 1 Jan 00.
// - The oscillator counts while ST = 1 and EXTOSC = 0 (no external clock is
//   fitted, so selecting it stops the count). OSCRUN reads 1 from
//   kOscillatorStart after counting was enabled; stopping clears it at once.
// - Writing a timekeeping register loads that field at once; the one-second
//   divider keeps its phase (the next increment comes when it would have).
//   A value outside its register's range (bad BCD, minute 75, month 13) is
//   clamped into it; a date past its month's end (30 February) is held as
//   written and counts on from the month's last day. The weekday register
//   is a counter of its own: it advances at midnight (7 wraps to 1) and
//   keeps whatever was written.
// - Writing hours with bit 6 set selects 12-hour mode (bit 5 = PM, hours
//   1..12); with bit 6 clear, 24-hour mode. The hour bits are taken as
//   written, in the mode written; nothing converts between the modes.
// - Weekday bit 3 (VBATEN) keeps what was written; bits 7..6 and 4 read 0.
// - Addresses 0x08..0xFF are plain storage without function (alarms, power
//   fail stamps and SRAM alike). The pointer runs 0x00..0xFF and wraps.
// - A read returns one consistent snapshot of the timekeeping registers.
// - Nothing on the board resets it: it keeps time across resets of the unit.
// - Loss of the unit's supply: with its backup cell ([rtc] backup) it counts
//   on; without one it loses everything, as the MCP7940 does without VBAT,
//   and comes back in its power-on state (MCP7940 datasheet, register reset
//   values): oscillator stopped (ST 0), 00:00:00 on 1 January 2000 with
//   weekday 1, control register 0x80, 24-hour mode.
#pragma once
#include <array>
#include <cstdint>

#include "device.h"
#include "host/buses.h"
#include "scenario.h"
#include "utc.h"

namespace zsim {

class Board;

class Rtc : public Device, public zplat::I2cTarget {
public:
    // Time from setting ST until OSCRUN reads 1.
    static constexpr vtime kOscillatorStart = 50 * zplat::kMs;

    Rtc(Board& board, const Scenario& sc);

    // The clock's calendar as it counts now (24-hour view of its registers).
    Civil time() const;
    bool running() const;
    bool twelve_hour() const;
    // Sets the counting calendar directly (tests). The weekday follows the
    // date and the next second ticks 1 s from now.
    void set_time(const Civil& c);
    // Another chip in its place before the unit starts: fitted or not, its
    // oscillator running or not (fuzzing varies one board).
    void refit(bool present, bool running) {
        setup_.present = present;
        setup_.running = running;
        st_ = running;
    }
    // The oscillator stops now, as when ST is cleared.
    void stop();
    // The unit's supply is gone: the bus side starts afresh, and without a
    // backup cell the clock loses its time and stops.
    void power_lost();

    // Registers 0x00..0x07 as a read shows them now, then the rest as stored.
    std::array<uint8_t, 256> contents() const;
    // Takes up what contents() gave at the end of an earlier run: the same
    // calendar, modes and storage, counting on at once if it was counting.
    void restore(const std::array<uint8_t, 256>& c);
    // Registers 0x00..0x07 hold a time this clock can count from.
    static bool registers_valid(const uint8_t* r);

    // A register as a read on the bus would show it now (without read faults).
    uint8_t peek(uint8_t reg) const;
    // How many bytes the bus has written into register `reg` so far.
    uint32_t writes_to(uint8_t reg) const { return writes_[reg]; }
    // Fault (tests): bits of `mask` read back inverted from register `reg`,
    // as a damaged part or line would return them; 0 removes it.
    void set_read_flip(uint8_t reg, uint8_t mask) { read_flip_[reg] = mask; }

    // zplat::I2cTarget
    size_t on_write(const uint8_t* data, size_t n) override;
    bool on_read(uint8_t* out, size_t n) override;

private:
    // The timekeeping fields in 24-hour form, year 0..99.
    struct Fields {
        int year, month, day, hour, minute, second, weekday;
    };

    bool present(vtime t) const;
    bool enabled() const;
    bool oscrun(vtime t) const;
    int64_t counted(vtime t) const;
    Fields fields_at(vtime t) const;
    // Sets the calendar to f, keeping the divider's phase.
    void load(const Fields& f, vtime t);
    void set_oscillator(bool st, uint8_t control, vtime t);
    void write_register(uint8_t reg, uint8_t value, vtime t);
    uint8_t register_at(uint8_t reg, vtime t) const;

    Board& board_;
    RtcSetup setup_;

    // The fields as last loaded (base_), when the divider had counted
    // base_count_ whole seconds since anchor_; the clock now shows base_
    // advanced by the seconds counted since.
    Fields base_{0, 1, 1, 0, 0, 0, 1};
    int64_t base_count_ = 0;
    vtime anchor_ = 0;
    bool st_ = false;
    bool twelve_ = false;
    uint8_t control_ = 0;
    bool vbaten_ = false;
    uint8_t pointer_ = 0;
    std::array<uint8_t, 256> storage_{};
    std::array<uint32_t, 256> writes_{};
    std::array<uint8_t, 256> read_flip_{};
};

}  // namespace zsim
