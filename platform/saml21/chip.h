// Registers the board layer drives besides those of sam.h, laid out at the
// SAM L21 datasheet's offsets (register summaries of PORT, SERCOM, ADC,
// OSCCTRL, NVMCTRL) and the ARMv6-M system registers. Only what the layer uses.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "sam.h"

namespace chip {

#define CHIP_AT(block, member, offset) \
    static_assert(offsetof(block, member) == (offset), #block "." #member " at its datasheet offset")

// ---- PORT: one group of 32 pins, groups 0x80 apart (datasheet: PORT, Register Summary) ----
struct PortGroup {
    volatile uint32_t DIR;         // 0x00
    volatile uint32_t DIRCLR;      // 0x04
    volatile uint32_t DIRSET;      // 0x08
    volatile uint32_t DIRTGL;      // 0x0C
    volatile uint32_t OUT;         // 0x10
    volatile uint32_t OUTCLR;      // 0x14
    volatile uint32_t OUTSET;      // 0x18
    volatile uint32_t OUTTGL;      // 0x1C
    volatile uint32_t IN;          // 0x20
    volatile uint32_t CTRL;        // 0x24
    volatile uint32_t WRCONFIG;    // 0x28
    volatile uint32_t EVCTRL;      // 0x2C
    volatile uint8_t PMUX[16];     // 0x30: even pin in bits 3:0, odd pin in bits 7:4
    volatile uint8_t PINCFG[32];   // 0x40
    uint8_t Reserved[0x20];
};
CHIP_AT(PortGroup, OUT, 0x10);
CHIP_AT(PortGroup, IN, 0x20);
CHIP_AT(PortGroup, PMUX, 0x30);
CHIP_AT(PortGroup, PINCFG, 0x40);
static_assert(sizeof(PortGroup) == 0x80, "port groups are 0x80 apart");
constexpr uint8_t PINCFG_PMUXEN = 1u << 0;
constexpr uint8_t PINCFG_INEN = 1u << 1;
constexpr uint8_t PINCFG_PULLEN = 1u << 2;
// Peripheral functions (datasheet: I/O Multiplexing): B analog, C SERCOM, D SERCOM-ALT.
constexpr uint8_t PMUX_B = 1, PMUX_C = 2, PMUX_D = 3;

// ---- SERCOM in its three modes (datasheet: SERCOM USART / SPI / I2C, Register Summary) ----
struct SercomUsart {
    volatile uint32_t CTRLA;       // 0x00
    volatile uint32_t CTRLB;       // 0x04
    uint8_t Reserved1[0x04];
    volatile uint16_t BAUD;        // 0x0C
    volatile uint8_t RXPL;         // 0x0E
    uint8_t Reserved2[0x05];
    volatile uint8_t INTENCLR;     // 0x14
    uint8_t Reserved3;
    volatile uint8_t INTENSET;     // 0x16
    uint8_t Reserved4;
    volatile uint8_t INTFLAG;      // 0x18
    uint8_t Reserved5;
    volatile uint16_t STATUS;      // 0x1A
    volatile uint32_t SYNCBUSY;    // 0x1C
    uint8_t Reserved6[0x08];
    volatile uint16_t DATA;        // 0x28
    uint8_t Reserved7[0x06];
    volatile uint8_t DBGCTRL;      // 0x30
};
CHIP_AT(SercomUsart, BAUD, 0x0C);
CHIP_AT(SercomUsart, INTENCLR, 0x14);
CHIP_AT(SercomUsart, INTENSET, 0x16);
CHIP_AT(SercomUsart, INTFLAG, 0x18);
CHIP_AT(SercomUsart, STATUS, 0x1A);
CHIP_AT(SercomUsart, SYNCBUSY, 0x1C);
CHIP_AT(SercomUsart, DATA, 0x28);
CHIP_AT(SercomUsart, DBGCTRL, 0x30);

struct SercomSpi {
    volatile uint32_t CTRLA;       // 0x00
    volatile uint32_t CTRLB;       // 0x04
    uint8_t Reserved1[0x04];
    volatile uint8_t BAUD;         // 0x0C
    uint8_t Reserved2[0x07];
    volatile uint8_t INTENCLR;     // 0x14
    uint8_t Reserved3;
    volatile uint8_t INTENSET;     // 0x16
    uint8_t Reserved4;
    volatile uint8_t INTFLAG;      // 0x18
    uint8_t Reserved5;
    volatile uint16_t STATUS;      // 0x1A
    volatile uint32_t SYNCBUSY;    // 0x1C
    uint8_t Reserved6[0x04];
    volatile uint32_t ADDR;        // 0x24
    volatile uint32_t DATA;        // 0x28
};
CHIP_AT(SercomSpi, BAUD, 0x0C);
CHIP_AT(SercomSpi, INTFLAG, 0x18);
CHIP_AT(SercomSpi, SYNCBUSY, 0x1C);
CHIP_AT(SercomSpi, DATA, 0x28);

struct SercomI2cm {
    volatile uint32_t CTRLA;       // 0x00
    volatile uint32_t CTRLB;       // 0x04
    uint8_t Reserved1[0x04];
    volatile uint32_t BAUD;        // 0x0C
    uint8_t Reserved2[0x04];
    volatile uint8_t INTENCLR;     // 0x14
    uint8_t Reserved3;
    volatile uint8_t INTENSET;     // 0x16
    uint8_t Reserved4;
    volatile uint8_t INTFLAG;      // 0x18
    uint8_t Reserved5;
    volatile uint16_t STATUS;      // 0x1A
    volatile uint32_t SYNCBUSY;    // 0x1C
    uint8_t Reserved6[0x04];
    volatile uint32_t ADDR;        // 0x24
    volatile uint8_t DATA;         // 0x28
};
CHIP_AT(SercomI2cm, BAUD, 0x0C);
CHIP_AT(SercomI2cm, INTFLAG, 0x18);
CHIP_AT(SercomI2cm, STATUS, 0x1A);
CHIP_AT(SercomI2cm, SYNCBUSY, 0x1C);
CHIP_AT(SercomI2cm, ADDR, 0x24);
CHIP_AT(SercomI2cm, DATA, 0x28);

union Sercom {
    SercomUsart USART;
    SercomSpi SPI;
    SercomI2cm I2CM;
};

constexpr uint32_t SERCOM_CTRLA_SWRST = 1u << 0;
constexpr uint32_t SERCOM_CTRLA_ENABLE = 1u << 1;
constexpr uint32_t SERCOM_CTRLA_MODE_USART_INT = 1u << 2;
constexpr uint32_t SERCOM_CTRLA_MODE_SPI_MASTER = 3u << 2;
constexpr uint32_t SERCOM_CTRLA_MODE_I2C_MASTER = 5u << 2;
constexpr uint32_t USART_CTRLA_TXPO(uint32_t v) { return v << 16; }
constexpr uint32_t USART_CTRLA_RXPO(uint32_t v) { return v << 20; }
constexpr uint32_t USART_CTRLA_DORD = 1u << 30;    // LSB first
constexpr uint32_t USART_CTRLB_TXEN = 1u << 16;
constexpr uint32_t USART_CTRLB_RXEN = 1u << 17;
constexpr uint8_t USART_INT_DRE = 1u << 0;
constexpr uint8_t USART_INT_TXC = 1u << 1;
constexpr uint8_t USART_INT_RXC = 1u << 2;
constexpr uint8_t USART_INT_ERROR = 1u << 7;
constexpr uint32_t SPI_CTRLA_DOPO(uint32_t v) { return v << 16; }
constexpr uint32_t SPI_CTRLA_DIPO(uint32_t v) { return v << 20; }
constexpr uint32_t SPI_CTRLA_CPHA = 1u << 28;
constexpr uint32_t SPI_CTRLA_CPOL = 1u << 29;
constexpr uint32_t SPI_CTRLA_DORD = 1u << 30;
constexpr uint32_t SPI_CTRLB_RXEN = 1u << 17;
constexpr uint8_t SPI_INT_DRE = 1u << 0;
constexpr uint8_t SPI_INT_RXC = 1u << 2;
constexpr uint32_t I2CM_CTRLB_SMEN = 1u << 8;
constexpr uint32_t I2CM_CTRLB_CMD_READ = 2u << 16;   // acknowledge and read the next byte
constexpr uint32_t I2CM_CTRLB_CMD_STOP = 3u << 16;
constexpr uint32_t I2CM_CTRLB_ACKACT = 1u << 18;     // answer the next byte with NACK
constexpr uint8_t I2CM_INT_MB = 1u << 0;
constexpr uint8_t I2CM_INT_SB = 1u << 1;
constexpr uint16_t I2CM_STATUS_BUSERR = 1u << 0;
constexpr uint16_t I2CM_STATUS_ARBLOST = 1u << 1;
constexpr uint16_t I2CM_STATUS_RXNACK = 1u << 2;
constexpr uint16_t I2CM_STATUS_BUSSTATE_IDLE = 1u << 4;
constexpr uint32_t I2CM_SYNCBUSY_SYSOP = 1u << 2;

// ---- ADC (datasheet: ADC, Register Summary) ----
struct Adc {
    volatile uint8_t CTRLA;        // 0x00
    volatile uint8_t CTRLB;        // 0x01: PRESCALER[2:0]
    volatile uint8_t REFCTRL;      // 0x02
    volatile uint8_t EVCTRL;       // 0x03
    volatile uint8_t INTENCLR;     // 0x04
    volatile uint8_t INTENSET;     // 0x05
    volatile uint8_t INTFLAG;      // 0x06
    volatile uint8_t SEQSTATUS;    // 0x07
    volatile uint16_t INPUTCTRL;   // 0x08: MUXPOS[4:0], MUXNEG[12:8]
    volatile uint16_t CTRLC;       // 0x0A: RESSEL[5:4]
    volatile uint8_t AVGCTRL;      // 0x0C
    volatile uint8_t SAMPCTRL;     // 0x0D
    volatile uint16_t WINLT;       // 0x0E
    volatile uint16_t WINUT;       // 0x10
    volatile uint16_t GAINCORR;    // 0x12
    volatile uint16_t OFFSETCORR;  // 0x14
    uint8_t Reserved1[0x02];
    volatile uint8_t SWTRIG;       // 0x18
    uint8_t Reserved2[0x03];
    volatile uint8_t DBGCTRL;      // 0x1C
    uint8_t Reserved3[0x03];
    volatile uint16_t SYNCBUSY;    // 0x20
    uint8_t Reserved4[0x02];
    volatile uint16_t RESULT;      // 0x24
    uint8_t Reserved5[0x02];
    volatile uint32_t SEQCTRL;     // 0x28
    volatile uint16_t CALIB;       // 0x2C: BIASCOMP[2:0], BIASREFBUF[10:8]; enable-protected
};
CHIP_AT(Adc, INPUTCTRL, 0x08);
CHIP_AT(Adc, CTRLC, 0x0A);
CHIP_AT(Adc, SAMPCTRL, 0x0D);
CHIP_AT(Adc, SWTRIG, 0x18);
CHIP_AT(Adc, SYNCBUSY, 0x20);
CHIP_AT(Adc, RESULT, 0x24);
CHIP_AT(Adc, CALIB, 0x2C);
constexpr uint8_t ADC_CTRLA_ENABLE = 1u << 1;
constexpr uint8_t ADC_PRESCALER_DIV4 = 0x1;     // 8 MHz / 4 = 2 MHz
constexpr uint8_t ADC_REFSEL_INTVCC2 = 0x5;     // VDDANA
constexpr uint16_t ADC_MUXNEG_GND = 0x18u << 8;
constexpr uint8_t ADC_SWTRIG_START = 1u << 1;
constexpr uint8_t ADC_INTFLAG_RESRDY = 1u << 0;
constexpr uint16_t ADC_CALIB_BIASCOMP(uint32_t v) { return static_cast<uint16_t>(v & 0x7u); }
constexpr uint16_t ADC_CALIB_BIASREFBUF(uint32_t v) { return static_cast<uint16_t>((v & 0x7u) << 8); }

// ---- NVM Software Calibration Area (datasheet: NVM Software Calibration
// Area Mapping; the vendor's ADC fuse definitions): the ADC's factory bias
// trims, read-only, at 0x00806020 ----
constexpr uintptr_t NVM_SW_CALIB_ADDR = 0x00806020u;
constexpr unsigned NVM_SW_CALIB_BIASREFBUF_POS = 0;   // bits 2:0
constexpr unsigned NVM_SW_CALIB_BIASCOMP_POS = 3;     // bits 5:3

// ---- OSCCTRL: the 16 MHz internal oscillator (datasheet: OSCCTRL, Register
// Summary; 0x12-0x13 are reserved on the SAM L21, whose XOSC has no clock
// failure detector) ----
struct Oscctrl {
    volatile uint32_t INTENCLR;    // 0x00
    volatile uint32_t INTENSET;    // 0x04
    volatile uint32_t INTFLAG;     // 0x08
    volatile uint32_t STATUS;      // 0x0C
    volatile uint16_t XOSCCTRL;    // 0x10
    uint8_t Reserved1[0x02];
    volatile uint8_t OSC16MCTRL;   // 0x14
};
CHIP_AT(Oscctrl, INTENCLR, 0x00);
CHIP_AT(Oscctrl, INTENSET, 0x04);
CHIP_AT(Oscctrl, INTFLAG, 0x08);
CHIP_AT(Oscctrl, STATUS, 0x0C);
CHIP_AT(Oscctrl, XOSCCTRL, 0x10);
CHIP_AT(Oscctrl, OSC16MCTRL, 0x14);
constexpr uint8_t OSC16M_ENABLE = 1u << 1;
constexpr uint8_t OSC16M_FSEL_8MHZ = 1u << 2;
constexpr uint8_t OSC16M_ONDEMAND = 1u << 7;
constexpr uint32_t OSCCTRL_STATUS_OSC16MRDY = 1u << 4;

// ---- NVMCTRL: flash wait states (datasheet: NVMCTRL, Register Summary; CTRLB.RWS) ----
struct Nvmctrl {
    volatile uint16_t CTRLA;       // 0x00: CMD[6:0], CMDEX[15:8]
    uint8_t Reserved1[0x02];
    volatile uint32_t CTRLB;       // 0x04: RWS[4:1]
};
CHIP_AT(Nvmctrl, CTRLA, 0x00);
CHIP_AT(Nvmctrl, CTRLB, 0x04);
constexpr uint32_t NVMCTRL_CTRLB_RWS_Msk = 0xFu << 1;
constexpr uint32_t NVMCTRL_CTRLB_RWS(uint32_t n) { return n << 1; }

// GCLK generator sources and fields (datasheet: GCLK, GENCTRLn).
constexpr uint32_t GCLK_GENCTRL_SRC_OSCULP32K = 0x03;
constexpr uint32_t GCLK_GENCTRL_SRC_OSC16M = 0x06;
constexpr uint32_t GCLK_GENCTRL_GENEN = 1u << 8;
constexpr uint32_t GCLK_GENCTRL_DIV(uint32_t d) { return d << 16; }

// Generic clock channels (datasheet: GCLK, PCHCTRLm mapping).
constexpr uint8_t GCLK_ID_SERCOM0_CORE = 18;   // SERCOM0..4: 18..22
constexpr uint8_t GCLK_ID_SERCOM5_CORE = 24;
constexpr uint8_t GCLK_ID_ADC = 30;

// Bus clock masks (datasheet: MCLK, APBCMASK / APBDMASK).
constexpr uint32_t MCLK_APBCMASK_SERCOM0 = 1u << 0;   // SERCOM0..4: bits 0..4
constexpr uint32_t MCLK_APBCMASK_TC0 = 1u << 8;
constexpr uint32_t MCLK_APBDMASK_SERCOM5 = 1u << 1;
constexpr uint32_t MCLK_APBDMASK_ADC = 1u << 3;

// Interrupt lines (datasheet: NVIC, interrupt line mapping).
constexpr uint32_t IRQ_SERCOM0 = 8;   // SERCOM0..5: 8..13
constexpr uint32_t IRQ_COUNT = 29;    // lines 0..28, 28 reserved

// ---- ARMv6-M system registers (ARMv6-M ARM, B3.3 SysTick; B3.2 SCB) ----
struct SysTickRegs {
    volatile uint32_t CSR;         // 0xE000E010
    volatile uint32_t RVR;
    volatile uint32_t CVR;
    volatile uint32_t CALIB;
};
constexpr uint32_t SYSTICK_ENABLE = 1u << 0;
constexpr uint32_t SYSTICK_TICKINT = 1u << 1;
constexpr uint32_t SYSTICK_CLKSOURCE_CPU = 1u << 2;
constexpr uint32_t SYSTICK_COUNTFLAG = 1u << 16;

#undef CHIP_AT

// Base addresses (datasheet: Product Mapping, Peripherals Configuration Summary).
inline PortGroup* port_group(uint8_t g) { return reinterpret_cast<PortGroup*>(0x40002800u + 0x80u * g); }
inline Oscctrl* oscctrl() { return reinterpret_cast<Oscctrl*>(0x40000C00u); }
inline Nvmctrl* nvmctrl() { return reinterpret_cast<Nvmctrl*>(0x41004000u); }
inline Adc* adc() { return reinterpret_cast<Adc*>(0x43000C00u); }
inline Sercom* sercom(uint8_t n) {
    // SERCOM0..4 on APBC from 0x42000000, SERCOM5 on APBD.
    return reinterpret_cast<Sercom*>(n < 5 ? 0x42000000u + 0x400u * n : 0x43000400u);
}
inline SysTickRegs* systick() { return reinterpret_cast<SysTickRegs*>(0xE000E010u); }

inline void irq_disable() { __asm volatile("cpsid i" ::: "memory"); }
inline void irq_enable() { __asm volatile("cpsie i" ::: "memory"); }
inline uint32_t irq_save() {
    uint32_t primask;
    __asm volatile("mrs %0, primask" : "=r"(primask));
    irq_disable();
    return primask;
}
inline void irq_restore(uint32_t primask) {
    if (!(primask & 1u)) irq_enable();
}

}  // namespace chip
