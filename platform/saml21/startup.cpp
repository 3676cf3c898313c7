// Vector table and reset: the image's RAM, the clocks, the static
// constructors, then the firmware's setup and loop.
#include <stdint.h>

#include "board.h"
#include "chip.h"

void setup();
void loop();

extern "C" {
extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start[], __bss_end[];
extern uint32_t __stack_top;
extern void (*__init_array_start[])();
extern void (*__init_array_end[])();

void Reset_Handler();
void Default_Handler();

#define WEAK_HANDLER(name) void name() __attribute__((weak, alias("Default_Handler")))
WEAK_HANDLER(NMI_Handler);
WEAK_HANDLER(HardFault_Handler);
WEAK_HANDLER(SVC_Handler);
WEAK_HANDLER(PendSV_Handler);
WEAK_HANDLER(SysTick_Handler);
WEAK_HANDLER(SYSTEM_Handler);
WEAK_HANDLER(WDT_Handler);
WEAK_HANDLER(RTC_Handler);
WEAK_HANDLER(EIC_Handler);
WEAK_HANDLER(NVMCTRL_Handler);
WEAK_HANDLER(DMAC_Handler);
WEAK_HANDLER(USB_Handler);
WEAK_HANDLER(EVSYS_Handler);
WEAK_HANDLER(SERCOM0_Handler);
WEAK_HANDLER(SERCOM1_Handler);
WEAK_HANDLER(SERCOM2_Handler);
WEAK_HANDLER(SERCOM3_Handler);
WEAK_HANDLER(SERCOM4_Handler);
WEAK_HANDLER(SERCOM5_Handler);
WEAK_HANDLER(TCC0_Handler);
WEAK_HANDLER(TCC1_Handler);
WEAK_HANDLER(TCC2_Handler);
WEAK_HANDLER(TC0_Handler);
WEAK_HANDLER(TC1_Handler);
WEAK_HANDLER(TC2_Handler);
WEAK_HANDLER(TC3_Handler);
WEAK_HANDLER(TC4_Handler);
WEAK_HANDLER(ADC_Handler);
WEAK_HANDLER(AC_Handler);
WEAK_HANDLER(DAC_Handler);
WEAK_HANDLER(PTC_Handler);
WEAK_HANDLER(AES_Handler);
WEAK_HANDLER(TRNG_Handler);
#undef WEAK_HANDLER

struct VectorTable {
    const void* stack_top;
    void (*const handler[15 + chip::IRQ_COUNT])();
};

// Cortex-M0+ exceptions 1..15 (ARMv6-M ARM, B1.5.2), then the chip's
// interrupt lines 0..28 (datasheet: NVIC, interrupt line mapping).
__attribute__((section(".vectors"), used)) const VectorTable __vectors = {
    &__stack_top,
    {
        Reset_Handler, NMI_Handler, HardFault_Handler, nullptr, nullptr, nullptr, nullptr, nullptr,
        nullptr, nullptr, SVC_Handler, nullptr, nullptr, PendSV_Handler, SysTick_Handler,
        SYSTEM_Handler,    // 0: PM, MCLK, OSCCTRL, OSC32KCTRL, SUPC, PAC
        WDT_Handler,       // 1
        RTC_Handler,       // 2
        EIC_Handler,       // 3
        NVMCTRL_Handler,   // 4
        DMAC_Handler,      // 5
        USB_Handler,       // 6
        EVSYS_Handler,     // 7
        SERCOM0_Handler,   // 8
        SERCOM1_Handler,   // 9
        SERCOM2_Handler,   // 10
        SERCOM3_Handler,   // 11
        SERCOM4_Handler,   // 12
        SERCOM5_Handler,   // 13
        TCC0_Handler,      // 14
        TCC1_Handler,      // 15
        TCC2_Handler,      // 16
        TC0_Handler,       // 17
        TC1_Handler,       // 18
        TC2_Handler,       // 19
        TC3_Handler,       // 20
        TC4_Handler,       // 21
        ADC_Handler,       // 22
        AC_Handler,        // 23
        DAC_Handler,       // 24
        PTC_Handler,       // 25
        AES_Handler,       // 26
        TRNG_Handler,      // 27
        nullptr,           // 28: reserved on the SAM L21
    },
};

// An interrupt nobody handles: stop here, and let the watchdog restart the unit.
void Default_Handler() {
    for (;;) {
    }
}

void Reset_Handler() {
    for (uint32_t *src = __data_load, *dst = __data_start; dst < __data_end;) *dst++ = *src++;
    for (uint32_t* dst = __bss_start; dst < __bss_end;) *dst++ = 0;
    board::clocks_init();
    for (void (**ctor)() = __init_array_start; ctor < __init_array_end; ++ctor) (*ctor)();
    board::time_init();
    // Called through pointers, so that link-time optimisation keeps the
    // firmware's code out of the board's and each figure with its owner.
    void (*volatile run_setup)() = setup;
    void (*volatile run_loop)() = loop;
    run_setup();
    for (;;) run_loop();
}
}  // extern "C"
