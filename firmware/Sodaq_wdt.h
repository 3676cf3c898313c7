#ifndef ZELMORA_SODAQ_WDT_H
#define ZELMORA_SODAQ_WDT_H

#include <stdint.h>

// Watchdog time-out periods: the WDT counts a 1024 Hz clock.
enum wdt_period : uint8_t {
    WDT_PERIOD_1DIV128 = 0,   // 8 cycles, 7.8 ms
    WDT_PERIOD_1DIV64 = 1,
    WDT_PERIOD_1DIV32 = 2,
    WDT_PERIOD_1DIV16 = 3,
    WDT_PERIOD_1DIV8 = 4,
    WDT_PERIOD_1DIV4 = 5,
    WDT_PERIOD_1DIV2 = 6,
    WDT_PERIOD_1X = 7,        // 1024 cycles, 1 s
    WDT_PERIOD_2X = 8,        // 2 s, the one the firmware uses
    WDT_PERIOD_4X = 9,
    WDT_PERIOD_8X = 10,
    WDT_PERIOD_16X = 11,
};

extern volatile bool sodaq_wdt_flag;

void sodaq_wdt_enable(wdt_period period);
void sodaq_wdt_reset();
// Resets the chip through the watchdog; never returns.
[[noreturn]] void reinicio_por_watchdog();

#endif
