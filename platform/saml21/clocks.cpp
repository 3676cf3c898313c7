// Clocks: after reset the CPU runs from OSC16M at 4 MHz through generic clock
// generator 0 (datasheet: Clock System, reset state). The board retunes
// OSC16M to 8 MHz and starts generator 1 from it: 8 MHz for the main clock
// (GCLK0, CPU and buses at CPUDIV 1) and for the tick's TC0 (GCLK1, whose
// CC0 = 8000 the firmware's timer set-up assumes). Time runs on SysTick.
#include "Arduino.h"
#include "board.h"
#include "chip.h"

namespace board {

void gclk_channel(uint8_t id, uint8_t gen) {
    GCLK->PCHCTRL[id].reg = GCLK_PCHCTRL_CHEN | gen;
    // CHEN reads back once the channel runs (datasheet: GCLK, Synchronization).
    while (!(GCLK->PCHCTRL[id].reg & GCLK_PCHCTRL_CHEN)) {
    }
}

namespace {
void gclk_sync() {
    while (GCLK->SYNCBUSY.reg) {
    }
}
}  // namespace

void clocks_init() {
    // One flash wait state: ample for 8 MHz at performance level 0
    // (datasheet: NVM Characteristics, wait states).
    chip::Nvmctrl* nvm = chip::nvmctrl();
    nvm->CTRLB = (nvm->CTRLB & ~chip::NVMCTRL_CTRLB_RWS_Msk) | chip::NVMCTRL_CTRLB_RWS(1);

    // FSEL may only change while OSC16M is disabled, which it is once
    // OSC16MRDY reads 0 (SAM L21 datasheet, OSCCTRL, 16MHz Internal
    // Oscillator (OSC16M) Operation). Generator 0 runs from the always-on
    // OSCULP32K meanwhile; OSC16M keeps its reset ONDEMAND = 1, which moving
    // generator 0 off a source needs (GCLK, Selecting a Clock Source for the
    // Generator).
    GCLK->GENCTRL[0].reg = chip::GCLK_GENCTRL_SRC_OSCULP32K | chip::GCLK_GENCTRL_GENEN;
    gclk_sync();

    chip::Oscctrl* osc = chip::oscctrl();
    osc->OSC16MCTRL = chip::OSC16M_ONDEMAND;
    while (osc->STATUS & chip::OSCCTRL_STATUS_OSC16MRDY) {
    }
    osc->OSC16MCTRL = chip::OSC16M_ONDEMAND | chip::OSC16M_FSEL_8MHZ;
    osc->OSC16MCTRL = chip::OSC16M_ONDEMAND | chip::OSC16M_FSEL_8MHZ | chip::OSC16M_ENABLE;

    // On demand, OSC16M starts only when generator 0 requests it, so
    // OSC16MRDY is polled after the switch: the generator keeps OSCULP32K
    // until OSC16M is ready and SYNCBUSY holds until it has switched (same
    // GCLK section).
    GCLK->GENCTRL[0].reg = chip::GCLK_GENCTRL_SRC_OSC16M | chip::GCLK_GENCTRL_GENEN;
    gclk_sync();
    while (!(osc->STATUS & chip::OSCCTRL_STATUS_OSC16MRDY)) {
    }

    GCLK->GENCTRL[1].reg = chip::GCLK_GENCTRL_SRC_OSC16M | chip::GCLK_GENCTRL_GENEN | chip::GCLK_GENCTRL_DIV(1);
    gclk_sync();

    // The firmware programs TC0 without touching its bus clock.
    MCLK->APBCMASK.reg |= chip::MCLK_APBCMASK_TC0;
}

// ---- time: SysTick at 1 kHz from the 8 MHz CPU clock ----
namespace {
volatile uint32_t g_millis = 0;
constexpr uint32_t kTicksPerMs = kMainHz / 1000;
}  // namespace

void time_init() {
    chip::SysTickRegs* st = chip::systick();
    st->RVR = kTicksPerMs - 1;
    st->CVR = 0;
    st->CSR = chip::SYSTICK_CLKSOURCE_CPU | chip::SYSTICK_TICKINT | chip::SYSTICK_ENABLE;
}

}  // namespace board

extern "C" void SysTick_Handler(void) { board::g_millis = board::g_millis + 1; }

uint32_t millis(void) { return board::g_millis; }

uint32_t micros(void) {
    const uint32_t primask = chip::irq_save();
    uint32_t ms = board::g_millis;
    const uint32_t cvr = chip::systick()->CVR;
    // A wrap not yet counted by the handler (ICSR.PENDSTSET, ARMv6-M ARM B3.2.4).
    const uint32_t icsr = *reinterpret_cast<volatile uint32_t*>(0xE000ED04u);
    if ((icsr & (1u << 26)) && cvr > board::kTicksPerMs / 2) ++ms;
    chip::irq_restore(primask);
    return ms * 1000u + (board::kTicksPerMs - 1u - cvr) / (board::kTicksPerMs / 1000u);
}

void delay(uint32_t ms) {
    const uint32_t start = millis();
    while (millis() - start < ms) {
    }
}
