// Pins on the PORT, and the analog inputs on the ADC.
#include <stddef.h>

#include <utility>

#include "Arduino.h"
#include "board.h"
#include "chip.h"

namespace board {

constexpr uint8_t PA = 0, PB = 1;
constexpr uint8_t kNone = 0xFF;

struct PinDesc {
    uint8_t group;   // 0 PA, 1 PB; kNone: the number has no pad on this board
    uint8_t bit;
    uint8_t ain;     // ADC input, kNone when the pad has none
};

// The board variant: Arduino pin number -> pad (ATSAML21J18B, 64 pins).
// Pads serving a SERCOM or the ADC are noted; numbers without a pad read 0.
constexpr PinDesc kPins[NUM_DIGITAL_PINS] = {
    {PA, 5, kNone},    // 0  Serial0 RX  (SERCOM0 PAD1, function D)
    {PA, 4, kNone},    // 1  Serial0 TX  (SERCOM0 PAD0, function D)
    {PA, 17, kNone},   // 2  Serial1 RX  (SERCOM1 PAD1, function C)
    {PA, 16, kNone},   // 3  Serial1 TX  (SERCOM1 PAD0, function C)
    {PB, 23, kNone},   // 4  Serial3 RX  (SERCOM5 PAD3, function D)
    {PB, 22, kNone},   // 5  Serial3 TX  (SERCOM5 PAD2, function D)
    {PA, 18, kNone},   // 6
    {PA, 19, kNone},   // 7
    {PA, 20, kNone},   // 8
    {PA, 21, kNone},   // 9
    {PA, 6, kNone},    // 10 panel current measurement enable
    {PA, 7, kNone},    // 11
    {PA, 10, kNone},   // 12
    {PA, 11, kNone},   // 13 battery measurement enable
    {PB, 2, kNone},    // 14 charger status 1
    {PB, 3, kNone},    // 15
    {PA, 13, kNone},   // 16
    {kNone, 0, kNone}, // 17
    {kNone, 0, kNone}, // 18
    {PA, 27, kNone},   // 19 EEPROM chip select
    {kNone, 0, kNone}, // 20 no pad: the ATSAML21J18B has no PA28
    {PB, 4, kNone},    // 21 charger disable
    {PB, 5, kNone},    // 22
    {PB, 6, kNone},    // 23
    {PB, 7, kNone},    // 24
    {PB, 13, kNone},   // 25
    {PB, 14, kNone},   // 26
    {PB, 15, kNone},   // 27
    {PB, 16, kNone},   // 28 DIP 4
    {PB, 17, kNone},   // 29 DIP 3
    {PA, 22, kNone},   // 30 DIP 2
    {PA, 23, kNone},   // 31 DIP 1
    {PB, 30, kNone},   // 32
    {PB, 31, kNone},   // 33
    {PA, 0, kNone},    // 34
    {PA, 1, kNone},    // 35 GPS power
    {PA, 2, kNone},    // 36 external input 2
    {PA, 3, kNone},    // 37 external input 3
    {PB, 9, kNone},    // 38
    {PB, 0, 8},        // 39 A1 battery voltage (AIN8, function B)
    {PB, 1, 9},        // 40 A2 panel current (AIN9, function B)
    {PB, 8, kNone},    // 41 transponder power
    {PB, 12, kNone},   // 42
    {PA, 24, kNone},   // 43
    {PA, 25, kNone},   // 44 external input 1
    {kNone, 0, kNone}, // 45
    {kNone, 0, kNone}, // 46
    {PA, 8, kNone},    // 47 SDA (SERCOM2 PAD0, function D)
    {PA, 9, kNone},    // 48 SCL (SERCOM2 PAD1, function D)
    {PA, 14, kNone},   // 49
    {PA, 15, kNone},   // 50 charger status 2
    {PA, 12, kNone},   // 51 MISO (SERCOM4 PAD0, function D)
    {kNone, 0, kNone}, // 52
    {PB, 10, kNone},   // 53 MOSI (SERCOM4 PAD2, function D)
    {PB, 11, kNone},   // 54 SCK  (SERCOM4 PAD3, function D)
    {kNone, 0, kNone}, // 55
};

// What the tick's pin accesses need, worked out at compile time: the PORT
// group's address and the pin's mask (0 for a number without a pad, which
// then reads low).
struct PinIo {
    uint32_t group;
    uint32_t mask;
};
constexpr uint32_t kPortBase = 0x40002800u;   // PORT on APBA (datasheet: Product Mapping)
constexpr PinIo io_of(const PinDesc& d) {
    return d.group == kNone ? PinIo{kPortBase, 0} : PinIo{kPortBase + 0x80u * d.group, 1u << d.bit};
}
template <size_t... I>
struct IoTable {
    static constexpr PinIo table[sizeof...(I)] = {io_of(kPins[I])...};
};
template <size_t... I>
constexpr const PinIo* io_table(std::index_sequence<I...>) { return IoTable<I...>::table; }
constexpr const PinIo* kIo = io_table(std::make_index_sequence<NUM_DIGITAL_PINS>());

inline bool pin_valid(uint32_t pin) { return pin < NUM_DIGITAL_PINS && kPins[pin].group != kNone; }

void pin_function(uint32_t pin, uint8_t function) {
    if (!pin_valid(pin)) return;
    const PinDesc& d = kPins[pin];
    chip::PortGroup* g = chip::port_group(d.group);
    const uint8_t shift = (d.bit & 1u) ? 4 : 0;
    g->PMUX[d.bit >> 1] = static_cast<uint8_t>((g->PMUX[d.bit >> 1] & ~(0xFu << shift)) | (function << shift));
    g->PINCFG[d.bit] = static_cast<uint8_t>(g->PINCFG[d.bit] | chip::PINCFG_PMUXEN);
}

void pin_release(uint32_t pin) {
    if (!pin_valid(pin)) return;
    const PinDesc& d = kPins[pin];
    chip::PortGroup* g = chip::port_group(d.group);
    g->PINCFG[d.bit] = static_cast<uint8_t>(g->PINCFG[d.bit] & ~chip::PINCFG_PMUXEN);
}

}  // namespace board

using board::kIo;
using board::kNone;
using board::kPins;
using board::pin_valid;

// INPUT_PULLUP sets the latch for the pull direction (the PORT pulls towards
// OUT); OUTPUT leaves the latch as it was, so re-applying a mode keeps the level.
void pinMode(uint32_t pin, uint32_t mode) {
    if (!pin_valid(pin)) return;
    chip::PortGroup* g = chip::port_group(kPins[pin].group);
    const uint8_t b = kPins[pin].bit;
    const uint32_t m = 1u << b;
    switch (mode) {
        case INPUT:
            g->PINCFG[b] = chip::PINCFG_INEN;
            g->DIRCLR = m;
            break;
        case INPUT_PULLUP:
            g->PINCFG[b] = chip::PINCFG_INEN | chip::PINCFG_PULLEN;
            g->OUTSET = m;
            g->DIRCLR = m;
            break;
        case INPUT_PULLDOWN:
            g->PINCFG[b] = chip::PINCFG_INEN | chip::PINCFG_PULLEN;
            g->OUTCLR = m;
            g->DIRCLR = m;
            break;
        case OUTPUT:
            g->PINCFG[b] = chip::PINCFG_INEN;   // the input buffer reads the pad back
            g->DIRSET = m;
            break;
        default:
            break;
    }
}

// Callable from the tick: OUTSET/OUTCLR are single writes. On a pin that is
// not an output the level switches the pull-up instead.
void digitalWrite(uint32_t pin, uint32_t val) {
    if (pin >= NUM_DIGITAL_PINS || kIo[pin].mask == 0) return;
    chip::PortGroup* g = reinterpret_cast<chip::PortGroup*>(kIo[pin].group);
    const uint32_t m = kIo[pin].mask;
    if (val != LOW) g->OUTSET = m;
    else g->OUTCLR = m;
    if (!(g->DIR & m)) {
        const uint8_t b = kPins[pin].bit;
        const uint8_t cfg = g->PINCFG[b];
        g->PINCFG[b] = static_cast<uint8_t>(val != LOW ? (cfg | chip::PINCFG_PULLEN) : (cfg & ~chip::PINCFG_PULLEN));
    }
}

int digitalRead(uint32_t pin) {
    if (pin >= NUM_DIGITAL_PINS) return LOW;
    const chip::PortGroup* g = reinterpret_cast<const chip::PortGroup*>(kIo[pin].group);
    return (g->IN & kIo[pin].mask) != 0 ? HIGH : LOW;
}

// ---- analog: one 12-bit conversion against VDDANA per call ----
namespace board {
namespace {
uint8_t g_resolution = 10;   // bits returned by analogRead, as after reset on the core
bool g_adc_ready = false;

uint16_t convert() {
    chip::Adc* adc = chip::adc();
    adc->SWTRIG = chip::ADC_SWTRIG_START;
    while (!(adc->INTFLAG & chip::ADC_INTFLAG_RESRDY)) {
    }
    adc->INTFLAG = chip::ADC_INTFLAG_RESRDY;
    return adc->RESULT;
}

void adc_init() {
    MCLK->APBDMASK.reg |= chip::MCLK_APBDMASK_ADC;
    gclk_channel(chip::GCLK_ID_ADC, GCLK_PCHCTRL_GEN_GCLK0);
    chip::Adc* adc = chip::adc();
    adc->CTRLB = chip::ADC_PRESCALER_DIV4;
    adc->REFCTRL = chip::ADC_REFSEL_INTVCC2;
    adc->CTRLC = 0;        // RESSEL 12 bits, single-ended
    adc->SAMPCTRL = 3;     // (SAMPLEN + 1) = 4 ADC clock cycles of sampling
    // The factory's bias trims, copied as they are while the converter is
    // off (CALIB is enable-protected): without them it converts off its
    // specified gain and offset (datasheet: ADC, Calibration; NVM Software
    // Calibration Area Mapping).
    const uint32_t sw_calib = *reinterpret_cast<const volatile uint32_t*>(chip::NVM_SW_CALIB_ADDR);
    adc->CALIB = static_cast<uint16_t>(chip::ADC_CALIB_BIASREFBUF(sw_calib >> chip::NVM_SW_CALIB_BIASREFBUF_POS) |
                                       chip::ADC_CALIB_BIASCOMP(sw_calib >> chip::NVM_SW_CALIB_BIASCOMP_POS));
    while (adc->SYNCBUSY) {
    }
    adc->CTRLA = chip::ADC_CTRLA_ENABLE;
    while (adc->SYNCBUSY) {
    }
    g_adc_ready = true;
    (void)convert();       // the first conversion after a reference change is discarded
}
}  // namespace
}  // namespace board

using board::adc_init;
using board::convert;
using board::g_adc_ready;
using board::g_resolution;

void analogReadResolution(int res) { g_resolution = static_cast<uint8_t>(res < 8 ? 8 : (res > 12 ? 12 : res)); }

int analogRead(uint32_t pin) {
    if (!pin_valid(pin) || kPins[pin].ain == kNone) return 0;
    if (!g_adc_ready) adc_init();
    board::pin_function(pin, chip::PMUX_B);
    chip::Adc* adc = chip::adc();
    adc->INPUTCTRL = static_cast<uint16_t>(chip::ADC_MUXNEG_GND | kPins[pin].ain);
    while (adc->SYNCBUSY) {
    }
    return convert() >> (12 - g_resolution);
}
