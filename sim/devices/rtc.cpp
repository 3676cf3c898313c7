#include "rtc.h"

#include <algorithm>

#include "board.h"

namespace zsim {

namespace {

constexpr uint8_t kSt = 0x80;         // seconds register
constexpr uint8_t kTwelveHour = 0x40; // hours register
constexpr uint8_t kPm = 0x20;
constexpr uint8_t kOscrun = 0x20;     // weekday register
constexpr uint8_t kVbaten = 0x08;
constexpr uint8_t kLeapYear = 0x20;   // month register
constexpr uint8_t kExtosc = 0x08;     // control register

constexpr int64_t kDay = 86400;
// 2000..2099 with a leap year every fourth year: 36525 days, as in the
// Gregorian calendar over the same century.
constexpr int64_t kCentury = 36525 * kDay;

int64_t epoch_2000() { return to_epoch(Civil{2000, 1, 1, 0, 0, 0}); }

int from_bcd(uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }
uint8_t to_bcd(int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

int64_t in_century(int64_t s) { return ((s % kCentury) + kCentury) % kCentury; }

// Seconds since 00-01-01 00:00:00 of a calendar reading; a date past its
// month's end counts from the month's last day.
int64_t seconds_of(int year, int month, int day, int hour, int minute, int second) {
    const Civil c{2000 + year, month, std::min(day, days_in_month(2000 + year, month)), hour, minute, second};
    return to_epoch(c) - epoch_2000();
}

}  // namespace

Rtc::Rtc(Board& board, const Scenario& sc) : board_(board), setup_(sc.rtc) {
    const vtime now = board_.now();
    const Civil start = setup_.time ? *setup_.time : sc.utc_start;
    st_ = setup_.running;
    anchor_ = now;   // already running at power-on: no start-up delay
    twelve_ = setup_.twelve_hour;
    const Civil c = from_epoch(epoch_2000() + in_century(to_epoch(start) - epoch_2000()));
    load(Fields{c.year - 2000, c.month, c.day, c.hour, c.minute, c.second, c.weekday()}, now);
    for (const vtime at : setup_.stops) board_.schedule(at, [this] { stop(); });
}

// ------------------------------------------------------------ counting ----

bool Rtc::present(vtime t) const {
    if (!setup_.present) return false;
    for (const Window& w : setup_.absent) {
        if (w.covers(t)) return false;
    }
    return true;
}

bool Rtc::enabled() const { return st_ && (control_ & kExtosc) == 0; }

bool Rtc::oscrun(vtime t) const { return enabled() && t >= anchor_; }

int64_t Rtc::counted(vtime t) const {
    return oscrun(t) ? static_cast<int64_t>((t - anchor_) / zplat::kSec) : 0;
}

Rtc::Fields Rtc::fields_at(vtime t) const {
    const int64_t n = counted(t) - base_count_;
    if (n == 0) return base_;   // exactly as loaded, even a date past its month's end
    const int64_t s0 = seconds_of(base_.year, base_.month, base_.day, base_.hour, base_.minute, base_.second);
    const int64_t s1 = s0 + n;
    const Civil c = from_epoch(epoch_2000() + in_century(s1));
    const int64_t midnights = floor_div(s1, kDay) - floor_div(s0, kDay);
    const int weekday = static_cast<int>((base_.weekday + 6 + midnights) % 7) + 1;
    return Fields{c.year - 2000, c.month, c.day, c.hour, c.minute, c.second, weekday};
}

void Rtc::load(const Fields& f, vtime t) {
    base_ = f;
    base_count_ = counted(t);
}

void Rtc::set_oscillator(bool st, uint8_t control, vtime t) {
    const bool was = enabled();
    if (was && !(st && (control & kExtosc) == 0)) {
        // Stopping: hold the time reached; the divider's fraction is lost.
        base_ = fields_at(t);
        base_count_ = 0;
    }
    st_ = st;
    control_ = control;
    if (!was && enabled()) {
        anchor_ = t + kOscillatorStart;
        base_count_ = 0;
    }
}

// ----------------------------------------------------------- registers ----

void Rtc::write_register(uint8_t reg, uint8_t value, vtime t) {
    ++writes_[reg];
    if (reg > 0x07) {
        storage_[reg] = value;
        return;
    }
    if (reg == 0x07) {
        set_oscillator(st_, value, t);
        return;
    }
    if (reg == 0x00) set_oscillator((value & kSt) != 0, control_, t);

    Fields f = fields_at(t);
    switch (reg) {
        case 0x00: f.second = std::min(from_bcd(value & 0x7F), 59); break;
        case 0x01: f.minute = std::min(from_bcd(value & 0x7F), 59); break;
        case 0x02:
            twelve_ = (value & kTwelveHour) != 0;
            if (twelve_) {
                const int h12 = std::clamp(from_bcd(value & 0x1F), 1, 12);
                f.hour = h12 % 12 + ((value & kPm) ? 12 : 0);
            } else {
                f.hour = std::min(from_bcd(value & 0x3F), 23);
            }
            break;
        case 0x03:
            f.weekday = value & 0x07;
            vbaten_ = (value & kVbaten) != 0;
            break;
        case 0x04: f.day = std::clamp(from_bcd(value & 0x3F), 1, 31); break;
        case 0x05: f.month = std::clamp(from_bcd(value & 0x1F), 1, 12); break;
        case 0x06: f.year = std::min(from_bcd(value), 99); break;
        default: break;
    }
    load(f, t);
}

uint8_t Rtc::register_at(uint8_t reg, vtime t) const {
    if (reg > 0x07) return storage_[reg];
    const Fields f = fields_at(t);
    switch (reg) {
        case 0x00: return static_cast<uint8_t>((st_ ? kSt : 0) | to_bcd(f.second));
        case 0x01: return to_bcd(f.minute);
        case 0x02:
            if (!twelve_) return to_bcd(f.hour);
            return static_cast<uint8_t>(kTwelveHour | (f.hour >= 12 ? kPm : 0) |
                                        to_bcd(f.hour % 12 == 0 ? 12 : f.hour % 12));
        case 0x03:
            return static_cast<uint8_t>((oscrun(t) ? kOscrun : 0) | (vbaten_ ? kVbaten : 0) | (f.weekday & 0x07));
        case 0x04: return to_bcd(f.day);
        case 0x05: return static_cast<uint8_t>((f.year % 4 == 0 ? kLeapYear : 0) | to_bcd(f.month));
        case 0x06: return to_bcd(f.year);
        default: return control_;
    }
}

size_t Rtc::on_write(const uint8_t* data, size_t n) {
    const vtime t = board_.now();
    if (!present(t)) return 0;
    if (n == 0) return 1;   // address alone: acknowledged, pointer kept
    pointer_ = data[0];
    for (size_t i = 1; i < n; ++i) write_register(pointer_++, data[i], t);
    return n + 1;
}

bool Rtc::on_read(uint8_t* out, size_t n) {
    const vtime t = board_.now();
    if (!present(t)) return false;
    // The timekeeping registers are captured once per transaction, so a
    // second ticking mid-read cannot tear the reading.
    uint8_t snapshot[8];
    for (uint8_t r = 0; r < 8; ++r) snapshot[r] = register_at(r, t);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t r = pointer_++;
        out[i] = static_cast<uint8_t>((r < 8 ? snapshot[r] : storage_[r]) ^ read_flip_[r]);
    }
    return true;
}

// -------------------------------------------------------------- access ----

Civil Rtc::time() const {
    const Fields f = fields_at(board_.now());
    return Civil{2000 + f.year, f.month, f.day, f.hour, f.minute, f.second};
}

bool Rtc::running() const { return oscrun(board_.now()); }

bool Rtc::twelve_hour() const { return twelve_; }

uint8_t Rtc::peek(uint8_t reg) const { return register_at(reg, board_.now()); }

void Rtc::set_time(const Civil& c) {
    const vtime t = board_.now();
    const Civil n = from_epoch(epoch_2000() + in_century(to_epoch(c) - epoch_2000()));
    // Restart the divider so the next second ticks 1 s from now.
    if (oscrun(t)) anchor_ = t;
    load(Fields{n.year - 2000, n.month, n.day, n.hour, n.minute, n.second, n.weekday()}, t);
}

std::array<uint8_t, 256> Rtc::contents() const {
    std::array<uint8_t, 256> c = storage_;
    for (uint8_t r = 0; r < 8; ++r) c[r] = register_at(r, board_.now());
    return c;
}

bool Rtc::registers_valid(const uint8_t* r) {
    const auto bcd = [](uint8_t v, int lo, int hi) { return (v & 0x0F) <= 9 && from_bcd(v) >= lo && from_bcd(v) <= hi; };
    const bool hour = (r[2] & kTwelveHour) != 0 ? (r[2] & 0x80) == 0 && bcd(r[2] & 0x1F, 1, 12)
                                                : (r[2] & 0xC0) == 0 && bcd(r[2] & 0x3F, 0, 23);
    return bcd(r[0] & 0x7F, 0, 59) && bcd(r[1], 0, 59) && hour && (r[3] & 0xD0) == 0 &&
           bcd(r[4], 1, 31) && bcd(r[5] & 0x1F, 1, 12) && (r[5] & 0xC0) == 0 && bcd(r[6], 0, 99);
}

void Rtc::restore(const std::array<uint8_t, 256>& c) {
    const vtime t = board_.now();
    storage_ = c;
    st_ = (c[0] & kSt) != 0;
    control_ = c[7];
    vbaten_ = (c[3] & kVbaten) != 0;
    twelve_ = (c[2] & kTwelveHour) != 0;
    const int hour = twelve_ ? from_bcd(c[2] & 0x1F) % 12 + ((c[2] & kPm) ? 12 : 0) : from_bcd(c[2] & 0x3F);
    anchor_ = t;   // a clock that was counting goes on without a start-up delay
    base_count_ = 0;
    base_ = Fields{from_bcd(c[6]), from_bcd(c[5] & 0x1F), from_bcd(c[4]), hour, from_bcd(c[1]),
                   from_bcd(c[0] & 0x7F), c[3] & 0x07};
    load(base_, t);
}

void Rtc::stop() { set_oscillator(false, control_, board_.now()); }

void Rtc::power_lost() {
    pointer_ = 0;
    if (setup_.backup) return;
    st_ = false;
    control_ = 0x80;
    twelve_ = false;
    vbaten_ = false;
    base_ = Fields{0, 1, 1, 0, 0, 0, 1};
    base_count_ = 0;
}

}  // namespace zsim
