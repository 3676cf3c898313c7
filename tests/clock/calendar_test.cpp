// The calendar arithmetic, and the date read from and written into the clock.
#include <gtest/gtest.h>

#include <vector>

#include "clock_support.h"
#include "globals.h"
#include "mcp7940.h"

using namespace clocktest;

TEST(Calendar, BcdRangeWeekdayAndPackedDate) {
    EXPECT_EQ(convert_decimal_bcd(59), 0x59);
    EXPECT_EQ(convert_bcd_decimal(0x59), 59);

    // year, month, day, weekday, hour, minute, second -> 1 when out of limits
    const uint8_t cases[][8] = {
        {19, 12, 8, 2, 13, 45, 0, 1}, {24, 2, 29, 4, 0, 0, 0, 0},  {25, 2, 29, 6, 0, 0, 0, 1},
        {26, 12, 0, 2, 0, 0, 0, 1},   {26, 12, 8, 0, 0, 0, 0, 1},  {26, 12, 8, 8, 0, 0, 0, 1},
        {26, 12, 8, 2, 23, 59, 59, 0}, {26, 12, 8, 2, 24, 0, 0, 1}, {26, 4, 31, 4, 0, 0, 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verificacion_limites_fecha(c[0], c[1], c[2], c[3], c[4], c[5], c[6]), c[7]) << int(c[2]) << "/"
                                                                                               << int(c[1]) << "/"
                                                                                               << int(c[0]);

    EXPECT_EQ(calculo_dia_semana(26, 12, 8), 2);
    EXPECT_EQ(calculo_dia_semana(24, 2, 29), 4);
    EXPECT_EQ(calculo_dia_semana(99, 12, 31), 4);
    for (Civil c = utc("2001-01-01T00:00Z"); c.year <= 2099; c = zsim::from_epoch(zsim::to_epoch(c) + 86400))
        ASSERT_EQ(calculo_dia_semana(uint8_t(c.year - 2000), uint8_t(c.month), uint8_t(c.day)), c.weekday())
            << zsim::format_utc(c);

    EXPECT_EQ(creacion_variable_fecha(8, 12, 26, 13, 45), 1226081345u);
}

TEST(DateRead, ValidOutOfRangeAndStoppedClock) {
    {
        Bench t(world("2026-12-08T13:45:07Z"));
        balizaQ77.cextraigo = 2;
        ASSERT_EQ(lectura_fecha(), 1);
        const stFechaHora& f = mvarFechaHora;
        EXPECT_EQ((std::vector<int>{f.cdia_semana, f.cdia_utc, f.cmes_utc, f.cano_utc, f.chora_utc, f.cminuto_utc,
                                    f.csegundo_utc}),
                  (std::vector<int>{2, 8, 12, 26, 13, 45, 7}));
        EXPECT_EQ(t.console(), "Fecha rx: 08/12/26 2 13:45:07\r\n\r\n");
    }
    {
        Bench t(world("2019-06-01T10:00:00Z"));   // year 19: before the accepted range
        mvarFechaHora.cano_utc = 20;
        balizaQ77.ctest = 1;
        EXPECT_EQ(lectura_fecha(), 0);
        EXPECT_EQ(mvarFechaHora.cano_utc, 20);
        EXPECT_EQ(t.console(), "Fecha rx: 01/06/19 6 10:00:00\r\n\r\nfecha erronea\r\n");
    }
    {
        zsim::RtcSetup stopped;
        stopped.running = false;
        stopped.time = utc("2027-03-01T06:30:00Z");
        Bench t(with_rtc(stopped));
        balizaQ77.cextraigo = 2;
        ASSERT_EQ(lectura_fecha(), 1);   // restarted, and the date still read
        EXPECT_EQ(t.clock().writes_to(0x00), 1u);
        EXPECT_EQ(t.clock().writes_to(0x07), 1u);
        EXPECT_EQ(t.console(), "Possible error RTC\r\nFecha rx: 01/03/27 1 06:30:00\r\n\r\n");
        t.b.advance(kSec);
        EXPECT_TRUE(t.clock().running());
    }
}

TEST(DateRead, BoundedReadGivesUpAfterFiveAndKeepsThePreviousDate) {
    zsim::RtcSetup absent;
    absent.present = false;
    Bench t(with_rtc(absent));
    mvarFechaHora.cminuto_utc = 1;
    balizaQ77.ctest = 1;
    Leer_FechaHora_Interna();
    EXPECT_EQ(count(t.console(), "lectura fecha erronea\r\n"), 5u);
    EXPECT_EQ(mvarFechaHora.cminuto_utc, 1);
}

// With the clock's next second due `lead` after the call, the tick falls
// before the write or between the write and its read-back, depending on how
// the bus waits quantise virtual time; sweeping the lead covers both.
TEST(DateWrite, ConfirmedOnTheFirstAttemptAcrossMinuteAndYearRollovers) {
    struct Case { uint8_t d, mo, y, h, mi; std::vector<int> rolled; };   // read after a tick: y mo d wd h mi
    const Case cases[] = {{8, 12, 26, 13, 45, {26, 12, 8, 2, 13, 46}}, {31, 12, 26, 23, 59, {27, 1, 1, 5, 0, 0}}};
    for (const Case& c : cases) {
        int rolled = 0;
        for (zplat::vtime lead = 0; lead <= 3 * kMs; lead += 100'000) {
            Bench t;
            balizaQ77.cextraigo = 1;
            t.clock().set_time(utc("2026-01-01T00:00:00Z"));   // the next second ticks 1 s from now
            t.b.advance(kSec - lead);
            EXPECT_EQ(escritura_fecha(c.d, c.mo, c.y, 0, c.h, c.mi, 59, 1), 1) << lead;
            EXPECT_EQ(t.clock().writes_to(0x06), 1u) << lead;
            EXPECT_EQ(t.console(), "") << lead;
            const stFechaHora& f = mvarFechaHora;
            const std::vector<int> read{f.cano_utc, f.cmes_utc, f.cdia_utc, f.cdia_semana, f.chora_utc, f.cminuto_utc};
            if (read == c.rolled) ++rolled;
            else EXPECT_EQ(f.cminuto_utc, c.mi) << lead;
        }
        EXPECT_GT(rolled, 0) << int(c.h) << ":" << int(c.mi);
    }
}

TEST(DateWrite, FailsAfterFiveAttemptsWhenTheHourReadsBackWrong) {
    Bench t;
    t.clock().set_read_flip(0x02, 0x01);   // 13 reads back as 12
    balizaQ77.cextraigo = 1;
    EXPECT_EQ(escritura_fecha(8, 12, 26, 0, 13, 45, 0, 1), 0);
    EXPECT_EQ(count(t.console(), "Error escritura fecha\r\n"), 5u);
    EXPECT_EQ(t.clock().writes_to(0x06), 5u);
    EXPECT_EQ(t.clock().time().hour, 13);   // the clock itself holds what was written

    balizaQ77.cextraigo = 0;
    EXPECT_EQ(escritura_fecha(8, 12, 26, 0, 13, 45, 0, 1), 0);
    EXPECT_EQ(count(t.console(), "Error escritura fecha"), 5u);   // silent now
}

TEST(DateWrite, ARetryAfterMinute59CarriesTheHourAndTheDate) {
    Bench t;
    t.clock().set_read_flip(0x01, 0x40);   // the minutes never read back as written
    EXPECT_EQ(escritura_fecha(31, 12, 26, 0, 23, 59, 30, 1), 0);
    // The retries wrote 00:00, 00:01, ... of the next day, never 23:00 of this one.
    const zsim::Civil c = t.clock().time();
    EXPECT_EQ(c.year, 2027);
    EXPECT_EQ(c.month, 1);
    EXPECT_EQ(c.day, 1);
    EXPECT_EQ(c.hour, 0);
    EXPECT_EQ(c.minute, 3);
}
