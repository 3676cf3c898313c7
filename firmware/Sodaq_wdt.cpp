#include "Sodaq_wdt.h"

#include <sam.h>

volatile bool sodaq_wdt_flag;

void sodaq_wdt_enable(wdt_period period) {
    // The WDT's registers need its bus clock.
    MCLK->APBAMASK.reg |= MCLK_APBAMASK_WDT;

    // A boot loader may have locked it on; it cannot be reconfigured then.
    if (WDT->CTRLA.reg & WDT_CTRLA_ALWAYSON) return;

    WDT->CTRLA.reg &= static_cast<uint8_t>(~WDT_CTRLA_ENABLE);
    while (WDT->SYNCBUSY.reg & WDT_SYNCBUSY_ENABLE) {
    }
    WDT->CTRLA.reg &= static_cast<uint8_t>(~WDT_CTRLA_WEN);   // no window mode
    while (WDT->SYNCBUSY.reg & WDT_SYNCBUSY_WEN) {
    }
    WDT->CONFIG.reg = static_cast<uint8_t>(period & WDT_CONFIG_PER_Msk);
    WDT->EWCTRL.reg = static_cast<uint8_t>(period & WDT_EWCTRL_EWOFFSET_Msk);
    WDT->CTRLA.reg |= WDT_CTRLA_ENABLE;
    while (WDT->SYNCBUSY.reg & WDT_SYNCBUSY_ENABLE) {
    }
    WDT->INTENSET.reg = WDT_INTENSET_EW;

    NVIC_EnableIRQ(WDT_IRQn);
    NVIC_SetPriority(WDT_IRQn, 3);   // 0xC0: the lowest level
}

void sodaq_wdt_reset() {
    // While a clear is still synchronising it already restarts the count.
    if (!(WDT->SYNCBUSY.reg & WDT_SYNCBUSY_CLEAR)) WDT->CLEAR.reg = WDT_CLEAR_CLEAR_KEY;
}

// Any CLEAR key other than 0xA5 makes the WDT issue a system reset at once
// (SAM L21 datasheet, WDT: Clear register). It needs the WDT running and no
// clear still synchronising, or the write is not acted on.
void reinicio_por_watchdog() {
    if (!(WDT->CTRLA.reg & WDT_CTRLA_ENABLE)) sodaq_wdt_enable(WDT_PERIOD_1DIV128);
    while (WDT->SYNCBUSY.reg & (WDT_SYNCBUSY_ENABLE | WDT_SYNCBUSY_CLEAR)) {
    }
    WDT->CLEAR.reg = 0x00;
    // Should the reset not come at once, nothing kicks the watchdog any more.
    for (;;) (void)WDT->SYNCBUSY.reg;
}

extern "C" void WDT_Handler(void) {
    sodaq_wdt_flag = true;
    WDT->INTFLAG.reg = WDT_INTFLAG_EW;
}
