// The clock device on the virtual board: its calendar, its oscillator and
// what the scenario does to it.
#include <gtest/gtest.h>

#include "clock_support.h"
#include "mcp7940.h"

using namespace clocktest;
using zsim::format_utc;

namespace {
zsim::Scenario clock_at(const char* time) {
    zsim::RtcSetup r;
    r.time = utc(time);
    return with_rtc(r);
}
}  // namespace

TEST(RtcModel, CountsThroughMonthYearAndCenturyEnds) {
    struct Case { const char* from; const char* to; uint8_t month_reg; };
    const Case cases[] = {
        {"2028-02-28T23:59:59Z", "2028-02-29T00:00:00Z", 0x22},   // leap-year flag
        {"2028-02-29T23:59:59Z", "2028-03-01T00:00:00Z", 0x23},
        {"2027-02-28T23:59:59Z", "2027-03-01T00:00:00Z", 0x03},
        {"2026-12-31T23:59:59Z", "2027-01-01T00:00:00Z", 0x01},
        {"2099-12-31T23:59:59Z", "2000-01-01T00:00:00Z", 0x21},   // year 99 -> 00
    };
    for (const Case& c : cases) {
        Bench t(clock_at(c.from), false);
        const int weekday = t.clock().peek(0x03) & 0x07;
        t.b.advance(999 * kMs);
        EXPECT_EQ(format_utc(t.clock().time()), c.from);
        t.b.advance(kMs);
        EXPECT_EQ(format_utc(t.clock().time()), c.to);
        EXPECT_EQ(t.clock().peek(0x05), c.month_reg) << c.to;
        EXPECT_EQ(t.clock().peek(0x03) & 0x07, weekday % 7 + 1) << c.to;
    }
    // A hundred days on, still in step with the world, weekday included.
    Bench t(world("2027-11-30T18:00:00Z"), false);
    t.b.advance(100 * 86400 * kSec + 7 * kSec);
    EXPECT_EQ(format_utc(t.clock().time()), format_utc(t.b.world_utc()));
    EXPECT_EQ(t.clock().peek(0x03) & 0x07, t.b.world_utc().weekday());
}

TEST(RtcModel, OscillatorStartsAMomentAfterSTAndStopsAtOnce) {
    zsim::RtcSetup stopped;
    stopped.running = false;
    stopped.time = utc("2030-05-05T05:05:05Z");
    Bench t(with_rtc(stopped), false);
    t.b.advance(5 * kSec);
    EXPECT_EQ(format_utc(t.clock().time()), "2030-05-05T05:05:05Z");

    writeclock(0xDE, 0x00, 0x80 | 0x05);
    t.b.advance(zsim::Rtc::kOscillatorStart - kMs);
    EXPECT_EQ(t.clock().peek(0x03) & 0x20, 0);
    t.b.advance(kMs);
    EXPECT_EQ(t.clock().peek(0x03) & 0x20, 0x20);
    t.b.advance(999 * kMs);   // counting starts with OSCRUN
    EXPECT_EQ(t.clock().time().second, 5);
    t.b.advance(kMs);
    EXPECT_EQ(t.clock().time().second, 6);

    writeclock(0xDE, 0x00, 0x06);   // ST cleared
    EXPECT_FALSE(t.clock().running());
    t.b.advance(3 * kSec);
    EXPECT_EQ(format_utc(t.clock().time()), "2030-05-05T05:05:06Z");
}

TEST(RtcModel, WritesLoadFieldsAndTheWeekdayCountsOnItsOwn) {
    {
        Bench t(clock_at("2026-12-08T13:45:00Z"), false);
        // 29 February written before its year: held, not cut to the 28th.
        const uint8_t date[3] = {0x29, 0x02, 0x28};
        writeclock_sequencial(0xDE, 0x04, date, 3);
        writeclock(0xDE, 0x03, 0x08 | 0x07);   // weekday 7 with VBATEN
        EXPECT_EQ(format_utc(t.clock().time()), "2028-02-29T13:45:00Z");
        t.b.advance(11 * 3600 * kSec);
        EXPECT_EQ(format_utc(t.clock().time()), "2028-03-01T00:45:00Z");
        EXPECT_EQ(t.clock().peek(0x03), 0x20 | 0x08 | 0x01);
    }
    zsim::RtcSetup r;
    r.twelve_hour = true;
    r.time = utc("2026-12-08T23:59:59Z");
    Bench t(with_rtc(r), false);
    EXPECT_EQ(t.clock().peek(0x02), 0x40 | 0x20 | 0x11);   // 11 PM
    t.b.advance(kSec);
    EXPECT_EQ(t.clock().peek(0x02), 0x40 | 0x12);          // 12 AM
    EXPECT_EQ(format_utc(t.clock().time()), "2026-12-09T00:00:00Z");
}

TEST(RtcModel, ScenarioStopsAndAbsences) {
    zsim::RtcSetup r;
    r.stops.push_back(10 * kSec);
    r.absent.push_back({20 * kSec, 5 * kSec});
    Bench t(with_rtc(r));
    uint8_t reg = 0;
    t.b.advance(15 * kSec);
    EXPECT_FALSE(t.clock().running());
    EXPECT_EQ(readclock(0xDE, 0x00, &reg, 1), 1);
    EXPECT_EQ(reg, 0x10);   // 13:45:10, ST clear
    t.b.advance(20 * kSec - t.b.now());
    EXPECT_EQ(readclock(0xDE, 0x00, &reg, 1), 0);
    t.b.advance(25 * kSec - t.b.now());
    EXPECT_EQ(readclock(0xDE, 0x00, &reg, 1), 1);
}

TEST(RtcModel, KeepsItsTimeAcrossAResetOfTheUnit) {
    zsim::Scenario sc = world("2026-12-08T13:45:00Z");
    sc.stalls.push_back({30 * kSec, 3000 * kMs});   // the watchdog restarts the unit
    zsim::Board b(sc);
    b.run_for(40 * kSec);
    ASSERT_EQ(b.restarts(), 1u);
    EXPECT_EQ(format_utc(b.rtc().time()), "2026-12-08T13:45:40Z");
}

// MCP7940 datasheet: with a cell on VBAT it counts on while the unit's supply
// is gone; without one it comes back in its power-on state, stopped.
TEST(RtcModel, ALossOfSupplyLeavesItCountingOnItsBackupCellOrStoppedWithout) {
    for (const bool backup : {true, false}) {
        zsim::Scenario sc = world("2026-12-08T13:45:00Z");
        sc.rtc.backup = backup;
        sc.power.power_cuts.push_back({10 * kSec, 20 * kSec});
        Bench t(sc, false);
        t.b.advance(60 * kSec);
        if (backup) {
            EXPECT_TRUE(t.clock().running());
            EXPECT_EQ(format_utc(t.clock().time()), "2026-12-08T13:46:00Z");
            continue;
        }
        EXPECT_FALSE(t.clock().running());
        EXPECT_EQ(format_utc(t.clock().time()), "2000-01-01T00:00:00Z");
        EXPECT_EQ(t.clock().peek(0x03), 0x01);   // weekday 1, VBATEN off
        EXPECT_EQ(t.clock().peek(0x07), 0x80);   // control
    }
}
