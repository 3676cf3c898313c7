// The start-up check of the clock through the register-level driver.
#include <gtest/gtest.h>

#include "clock_support.h"
#include "globals.h"
#include "mcp7940.h"

using namespace clocktest;

namespace {
const std::string kConfigured =
    "Configuracion RTC:\r\n\tOscilador enable\r\n\tReloj en 24 horas\r\nRTC configurado OK\r\n";

zsim::RtcSetup twelve_hour_at(const char* time) {
    zsim::RtcSetup r;
    r.twelve_hour = true;
    r.time = utc(time);
    return r;
}
}  // namespace

TEST(ConfigClock, RunningClockIsConfirmedOnTheFirstAttempt) {
    Bench t;
    config_clock();
    EXPECT_EQ(t.console(), kConfigured);
    EXPECT_LT(t.b.now(), 150 * kMs);
    EXPECT_EQ(t.clock().writes_to(0x00) + t.clock().writes_to(0x02) + t.clock().writes_to(0x07), 0u);
}

TEST(ConfigClock, StoppedClockIsStartedThenConfirmed) {
    zsim::RtcSetup stopped;
    stopped.running = false;
    stopped.time = utc("2027-07-04T10:20:30Z");
    Bench t(with_rtc(stopped));
    config_clock();
    EXPECT_EQ(t.console(), kConfigured);
    EXPECT_GE(t.b.now(), 200 * kMs);   // a second attempt confirmed it
    EXPECT_EQ(t.clock().writes_to(0x00), 1u);
    EXPECT_EQ(t.clock().writes_to(0x07), 1u);
    EXPECT_EQ(t.clock().peek(0x00), 0x80 | 0x30);   // ST set, seconds kept
    t.b.advance(10 * kSec);
    EXPECT_EQ(zsim::format_utc(t.clock().time()), "2027-07-04T10:20:40Z");

    // A clock switched to an external oscillator input stops too.
    writeclock(0xDE, 0x07, 0x08);
    EXPECT_FALSE(t.clock().running());
    t.b.clear_console();
    config_clock();
    EXPECT_EQ(t.console(), kConfigured);
    EXPECT_EQ(t.clock().peek(0x07), 0x00);
}

TEST(ConfigClock, TwelveHourClockIsSwitchedTo24Hours) {
    Bench t(with_rtc(twelve_hour_at("2026-12-08T09:30:00Z")));
    EXPECT_EQ(t.clock().peek(0x02), 0x49);   // 12-hour mode, 9 AM
    config_clock();
    EXPECT_EQ(t.console(), "Configuracion RTC:\r\n\tOscilador enable\r\n\tOscilador enable\r\n"
                           "\tReloj en 24 horas\r\nRTC configurado OK\r\n");
    EXPECT_EQ(t.clock().writes_to(0x02), 1u);
    EXPECT_FALSE(t.clock().twelve_hour());
    EXPECT_EQ(t.clock().time().hour, 9);
}

TEST(ConfigClock, TwelveHourAfternoonKeepsItsHourIn24HourMode) {
    // Clearing the mode bit alone would make the PM bit the hours' tens
    // bit (1 PM, 0x61, would read 21 h); the hour is rewritten instead.
    Bench t(with_rtc(twelve_hour_at("2026-12-08T13:45:00Z")));
    EXPECT_EQ(t.clock().peek(0x02), 0x61);
    config_clock();
    EXPECT_EQ(count(t.console(), "RTC configurado OK\r\n"), 1u);
    EXPECT_EQ(t.clock().peek(0x02), 0x13);
    EXPECT_EQ(t.clock().time().hour, 13);
}

TEST(ConfigClock, AbsentClockGivesUpAfterTwentyAttempts) {
    zsim::RtcSetup absent;
    absent.present = false;
    Bench t(with_rtc(absent));
    uint8_t regs[2] = {0xAA, 0xBB};
    EXPECT_EQ(readclock(0xDE, 0x00, regs, 2), 0);
    EXPECT_EQ(rtc.ctimeout, 0);
    EXPECT_EQ(regs[0], 0xAA);
    EXPECT_GE(t.b.now(), 19 * kMs);   // the 20 ms time-out

    const auto t0 = t.b.now();
    config_clock();
    EXPECT_EQ(t.console(), "Configuracion RTC:\r\nERROR en RTC\r\n");
    EXPECT_EQ(rtc.ctimeout, 0);
    EXPECT_GE(t.b.now() - t0, 2380 * kMs);   // 20 x (100 ms + 20 ms)
    EXPECT_LE(t.b.now() - t0, 2450 * kMs);
}
