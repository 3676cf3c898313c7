#include "utc.h"

#include <cstdio>

namespace zsim {

namespace {
// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}
}  // namespace

int days_in_month(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

bool is_valid(const Civil& c) {
    return c.month >= 1 && c.month <= 12 && c.day >= 1 && c.day <= days_in_month(c.year, c.month) && c.hour >= 0 &&
           c.hour <= 23 && c.minute >= 0 && c.minute <= 59 && c.second >= 0 && c.second <= 59;
}

int64_t to_epoch(const Civil& c) {
    return days_from_civil(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day)) * 86400 +
           c.hour * 3600 + c.minute * 60 + c.second;
}

Civil from_epoch(int64_t s) {
    int64_t days = s / 86400;
    int64_t rem = s % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    Civil c;
    civil_from_days(days, c.year, c.month, c.day);
    c.hour = static_cast<int>(rem / 3600);
    c.minute = static_cast<int>(rem / 60 % 60);
    c.second = static_cast<int>(rem % 60);
    return c;
}

int Civil::weekday() const {
    const int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    // 1970-01-01 was a Thursday (4).
    return static_cast<int>(((days % 7 + 7) % 7 + 3) % 7 + 1);
}

std::optional<Civil> parse_utc(const std::string& text) {
    Civil c;
    char tail[4] = {0};
    int n = 0;
    const int got = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &c.year, &c.month, &c.day, &c.hour,
                                &c.minute, &c.second, &n);
    if (got == 6) {
        const std::string rest = text.substr(static_cast<size_t>(n));
        if (!(rest.empty() || rest == "Z")) return std::nullopt;
    } else {
        c.second = 0;
        n = 0;
        if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &c.year, &c.month, &c.day, &c.hour, &c.minute, &n) != 5)
            return std::nullopt;
        const std::string rest = text.substr(static_cast<size_t>(n));
        if (!(rest.empty() || rest == "Z")) return std::nullopt;
    }
    (void)tail;
    if (!is_valid(c)) return std::nullopt;
    return c;
}

std::string format_utc(const Civil& c) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02dZ", c.year, c.month, c.day, c.hour, c.minute,
                  c.second);
    return buf;
}

}  // namespace zsim
