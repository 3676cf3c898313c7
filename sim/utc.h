// Civil UTC dates and times for the world's clock (no time zones, no leap seconds).
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace zsim {

struct Civil {
    int year = 2000;   // full year
    int month = 1;     // 1..12
    int day = 1;       // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday() const;   // ISO: 1 = Monday .. 7 = Sunday
};

// Seconds since 1970-01-01T00:00:00Z.
int64_t to_epoch(const Civil& c);
Civil from_epoch(int64_t seconds);
bool is_valid(const Civil& c);
int days_in_month(int year, int month);

// "2026-12-08T13:45:30Z" (the Z and the seconds may be left out).
std::optional<Civil> parse_utc(const std::string& text);
std::string format_utc(const Civil& c);

}  // namespace zsim
