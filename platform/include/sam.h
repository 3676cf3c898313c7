// The few SAM L21 registers the firmware writes directly (TC0 and its generic
// clock channel, the NVIC, the watchdog and its bus clock), with the chip's
// register and field names and the datasheet's offsets, reserved gaps included.
//
// One layout, two realisations of a register:
// - on the chip (the target build defines ZELMORA_ON_CHIP) a plain volatile,
//   each block at its peripheral's base address;
// - on the host memory the virtual board reads, where every access is a
//   platform boundary, as a bus access is on the chip.
#pragma once
#include <stddef.h>
#include <stdint.h>

#if defined(ZELMORA_ON_CHIP)

template <typename T>
union RegUnion {
    volatile T reg;
};

#else

namespace zplat {
void register_access(const void* reg, bool write, bool changed);

template <typename T>
class HwReg {
public:
    constexpr HwReg() = default;
    operator T() const { return get(); }
    HwReg& operator=(T v) { set(v); return *this; }
    HwReg& operator|=(T v) { set(static_cast<T>(get() | v)); return *this; }
    HwReg& operator&=(T v) { set(static_cast<T>(get() & v)); return *this; }
    HwReg& operator^=(T v) { set(static_cast<T>(get() ^ v)); return *this; }

    T get() const {
        register_access(this, false, false);
        return value_;
    }
    void set(T v) {
        const bool changed = v != value_;
        value_ = v;
        register_access(this, true, changed);
    }
    // Host side: the board sets and reads the value without a boundary.
    T host_value() const { return value_; }
    void host_set(T v) { value_ = v; }

private:
    volatile T value_ = 0;
};
static_assert(sizeof(HwReg<uint8_t>) == 1 && sizeof(HwReg<uint16_t>) == 2 && sizeof(HwReg<uint32_t>) == 4,
              "a host register occupies exactly the chip register's bytes");
}  // namespace zplat

template <typename T>
union RegUnion {
    zplat::HwReg<T> reg;
    constexpr RegUnion() : reg() {}
};

#endif

#define __IO
typedef RegUnion<uint8_t> Reg8;
typedef RegUnion<uint16_t> Reg16;
typedef RegUnion<uint32_t> Reg32;

#define ZSAM_AT(block, member, offset) \
    static_assert(offsetof(block, member) == (offset), #block "." #member " at its datasheet offset")

// ---- TC: timer/counter, 16-bit counter mode (datasheet: TC, Register Summary - 16-bit Mode) ----
struct TcCount16 {
    __IO Reg32 CTRLA;          // 0x00
    __IO Reg8 CTRLBCLR;        // 0x04
    __IO Reg8 CTRLBSET;        // 0x05
    __IO Reg16 EVCTRL;         // 0x06
    __IO Reg8 INTENCLR;        // 0x08
    __IO Reg8 INTENSET;        // 0x09
    __IO Reg8 INTFLAG;         // 0x0A
    __IO Reg8 STATUS;          // 0x0B
    __IO Reg8 WAVE;            // 0x0C
    __IO Reg8 DRVCTRL;         // 0x0D
    uint8_t Reserved1[0x01];
    __IO Reg8 DBGCTRL;         // 0x0F
    __IO Reg32 SYNCBUSY;       // 0x10
    __IO Reg16 COUNT;          // 0x14
    uint8_t Reserved2[0x06];
    __IO Reg16 CC[2];          // 0x1C
    uint8_t Reserved3[0x10];
    __IO Reg16 CCBUF[2];       // 0x30
};
ZSAM_AT(TcCount16, CTRLA, 0x00);
ZSAM_AT(TcCount16, CTRLBCLR, 0x04);
ZSAM_AT(TcCount16, CTRLBSET, 0x05);
ZSAM_AT(TcCount16, EVCTRL, 0x06);
ZSAM_AT(TcCount16, INTENCLR, 0x08);
ZSAM_AT(TcCount16, INTENSET, 0x09);
ZSAM_AT(TcCount16, INTFLAG, 0x0A);
ZSAM_AT(TcCount16, STATUS, 0x0B);
ZSAM_AT(TcCount16, WAVE, 0x0C);
ZSAM_AT(TcCount16, DRVCTRL, 0x0D);
ZSAM_AT(TcCount16, DBGCTRL, 0x0F);
ZSAM_AT(TcCount16, SYNCBUSY, 0x10);
ZSAM_AT(TcCount16, COUNT, 0x14);
ZSAM_AT(TcCount16, CC, 0x1C);
ZSAM_AT(TcCount16, CCBUF, 0x30);

union Tc {
    TcCount16 COUNT16;
#if !defined(ZELMORA_ON_CHIP)
    Tc() : COUNT16() {}
#endif
};
#define TC_CTRLA_SWRST (0x1u << 0)
#define TC_CTRLA_ENABLE (0x1u << 1)
#define TC_CTRLA_MODE_COUNT16 (0x0u << 2)
#define TC_CTRLA_MODE_COUNT8 (0x1u << 2)
#define TC_CTRLA_MODE_COUNT32 (0x2u << 2)
#define TC_CTRLA_MODE_Msk (0x3u << 2)
#define TC_CTRLA_PRESCALER_Pos 8
#define TC_CTRLA_PRESCALER_Msk (0x7u << TC_CTRLA_PRESCALER_Pos)
#define TC_CTRLA_PRESCALER_DIV1 (0x0u << 8)
#define TC_CTRLA_PRESCALER_DIV2 (0x1u << 8)
#define TC_CTRLA_PRESCALER_DIV4 (0x2u << 8)
#define TC_CTRLA_PRESCALER_DIV8 (0x3u << 8)
#define TC_CTRLA_PRESCALER_DIV16 (0x4u << 8)
#define TC_CTRLA_PRESCALER_DIV64 (0x5u << 8)
#define TC_CTRLA_PRESCALER_DIV256 (0x6u << 8)
#define TC_CTRLA_PRESCALER_DIV1024 (0x7u << 8)
#define TC_INTFLAG_OVF (0x1u << 0)
#define TC_INTFLAG_MC0 (0x1u << 4)
#define TC_INTENSET_MC0 (0x1u << 4)
#define TC_INTENCLR_MC0 (0x1u << 4)
#define TC_WAVE_WAVEGEN_NFRQ (0x0u)
#define TC_WAVE_WAVEGEN_MFRQ (0x1u)
#define TC_WAVE_WAVEGEN_Msk (0x3u)
#define TC_SYNCBUSY_SWRST (0x1u << 0)
#define TC_SYNCBUSY_ENABLE (0x1u << 1)
#define TC_SYNCBUSY_CC0 (0x1u << 6)


// ---- GCLK: generic clock controller (datasheet: GCLK, Register Summary) ----
struct Gclk {
    __IO Reg8 CTRLA;           // 0x00
    uint8_t Reserved1[0x03];
    __IO Reg32 SYNCBUSY;       // 0x04
    uint8_t Reserved2[0x18];
    __IO Reg32 GENCTRL[9];     // 0x20
    uint8_t Reserved3[0x3C];
    __IO Reg32 PCHCTRL[36];    // 0x80
};
ZSAM_AT(Gclk, CTRLA, 0x00);
ZSAM_AT(Gclk, SYNCBUSY, 0x04);
ZSAM_AT(Gclk, GENCTRL, 0x20);
ZSAM_AT(Gclk, PCHCTRL, 0x80);
ZSAM_AT(Gclk, PCHCTRL[35], 0x10C);
static_assert(sizeof(Gclk) == 0x110, "PCHCTRL35 at 0x10C is the last channel");
#define GCLK_PCHCTRL_GEN_Msk (0xFu << 0)
#define GCLK_PCHCTRL_GEN_GCLK0 (0x0u)
#define GCLK_PCHCTRL_GEN_GCLK1 (0x1u)
#define GCLK_PCHCTRL_CHEN (0x1u << 6)
#define TC0_GCLK_ID 27

// ---- MCLK: main clock, bus clock masks (datasheet: MCLK, Register Summary) ----
struct Mclk {
    __IO Reg8 CTRLA;           // 0x00
    __IO Reg8 INTENCLR;        // 0x01
    __IO Reg8 INTENSET;        // 0x02
    __IO Reg8 INTFLAG;         // 0x03
    __IO Reg8 CPUDIV;          // 0x04
    __IO Reg8 LPDIV;           // 0x05
    __IO Reg8 BUPDIV;          // 0x06
    uint8_t Reserved1[0x09];
    __IO Reg32 AHBMASK;        // 0x10
    __IO Reg32 APBAMASK;       // 0x14
    __IO Reg32 APBBMASK;       // 0x18
    __IO Reg32 APBCMASK;       // 0x1C
    __IO Reg32 APBDMASK;       // 0x20
    __IO Reg32 APBEMASK;       // 0x24
};
ZSAM_AT(Mclk, CTRLA, 0x00);
ZSAM_AT(Mclk, INTENCLR, 0x01);
ZSAM_AT(Mclk, INTENSET, 0x02);
ZSAM_AT(Mclk, INTFLAG, 0x03);
ZSAM_AT(Mclk, CPUDIV, 0x04);
ZSAM_AT(Mclk, LPDIV, 0x05);
ZSAM_AT(Mclk, BUPDIV, 0x06);
ZSAM_AT(Mclk, AHBMASK, 0x10);
ZSAM_AT(Mclk, APBAMASK, 0x14);
ZSAM_AT(Mclk, APBBMASK, 0x18);
ZSAM_AT(Mclk, APBCMASK, 0x1C);
ZSAM_AT(Mclk, APBDMASK, 0x20);
ZSAM_AT(Mclk, APBEMASK, 0x24);
#define MCLK_APBAMASK_WDT (0x1u << 7)

// ---- WDT: watchdog (datasheet: WDT, Register Summary) ----
struct Wdt {
    __IO Reg8 CTRLA;           // 0x00
    __IO Reg8 CONFIG;          // 0x01
    __IO Reg8 EWCTRL;          // 0x02
    uint8_t Reserved1[0x01];
    __IO Reg8 INTENCLR;        // 0x04
    __IO Reg8 INTENSET;        // 0x05
    __IO Reg8 INTFLAG;         // 0x06
    uint8_t Reserved2[0x01];
    __IO Reg32 SYNCBUSY;       // 0x08
    __IO Reg8 CLEAR;           // 0x0C
};
ZSAM_AT(Wdt, CTRLA, 0x00);
ZSAM_AT(Wdt, CONFIG, 0x01);
ZSAM_AT(Wdt, EWCTRL, 0x02);
ZSAM_AT(Wdt, INTENCLR, 0x04);
ZSAM_AT(Wdt, INTENSET, 0x05);
ZSAM_AT(Wdt, INTFLAG, 0x06);
ZSAM_AT(Wdt, SYNCBUSY, 0x08);
ZSAM_AT(Wdt, CLEAR, 0x0C);
#define WDT_CTRLA_ENABLE (0x1u << 1)
#define WDT_CTRLA_WEN (0x1u << 2)
#define WDT_CTRLA_ALWAYSON (0x1u << 7)
#define WDT_CONFIG_PER_Msk (0xFu)
#define WDT_CONFIG_WINDOW_Msk (0xFu << 4)
#define WDT_EWCTRL_EWOFFSET_Msk (0xFu)
#define WDT_INTENSET_EW (0x1u << 0)
#define WDT_INTFLAG_EW (0x1u << 0)
#define WDT_SYNCBUSY_ENABLE (0x1u << 1)
#define WDT_SYNCBUSY_WEN (0x1u << 2)
#define WDT_SYNCBUSY_ALWAYSON (0x1u << 3)
#define WDT_SYNCBUSY_CLEAR (0x1u << 4)
#define WDT_CLEAR_CLEAR_KEY (0xA5u)

// ---- NVIC (Cortex-M0+, word access only; ARMv6-M Architecture Reference
// Manual, B3.4.2: ISER at 0xE000E100 ... IPR at 0xE000E400) ----
struct NvicRegs {
    __IO Reg32 ISER[1];        // 0x000
    uint32_t Reserved0[31];
    __IO Reg32 ICER[1];        // 0x080
    uint32_t Reserved1[31];
    __IO Reg32 ISPR[1];        // 0x100
    uint32_t Reserved2[31];
    __IO Reg32 ICPR[1];        // 0x180
    uint32_t Reserved3[31];
    uint32_t Reserved4[64];
    __IO Reg32 IP[8];          // 0x300
};
ZSAM_AT(NvicRegs, ISER, 0x000);
ZSAM_AT(NvicRegs, ICER, 0x080);
ZSAM_AT(NvicRegs, ISPR, 0x100);
ZSAM_AT(NvicRegs, ICPR, 0x180);
ZSAM_AT(NvicRegs, IP, 0x300);
#undef ZSAM_AT

// Interrupt lines (datasheet: Nested Vector Interrupt Controller, interrupt line mapping).
typedef enum IRQn {
    WDT_IRQn = 1,
    TC0_IRQn = 17,
} IRQn_Type;

#define __NVIC_PRIO_BITS 2

#if defined(ZELMORA_ON_CHIP)

// Base addresses (datasheet: Product Mapping / Peripherals Configuration
// Summary): APBA slot 1 MCLK, slot 6 GCLK, slot 7 WDT; APBC slot 8 TC0; the
// NVIC in the System Control Space.
#define TC0 (reinterpret_cast<Tc*>(0x42002000u))
#define GCLK (reinterpret_cast<Gclk*>(0x40001800u))
#define MCLK (reinterpret_cast<Mclk*>(0x40000400u))
#define WDT (reinterpret_cast<Wdt*>(0x40001C00u))
#define NVIC (reinterpret_cast<NvicRegs*>(0xE000E100u))

#else

namespace zplat {
extern Tc tc0_regs;
extern Gclk gclk_regs;
extern Mclk mclk_regs;
extern Wdt wdt_regs;
extern NvicRegs nvic_regs;
}  // namespace zplat

#define TC0 (&zplat::tc0_regs)
#define GCLK (&zplat::gclk_regs)
#define MCLK (&zplat::mclk_regs)
#define WDT (&zplat::wdt_regs)
#define NVIC (&zplat::nvic_regs)

#endif

// CMSIS core functions over the NVIC registers.
inline void NVIC_EnableIRQ(IRQn_Type irq) { NVIC->ISER[0].reg = 1u << (static_cast<uint32_t>(irq) & 0x1F); }
inline void NVIC_DisableIRQ(IRQn_Type irq) { NVIC->ICER[0].reg = 1u << (static_cast<uint32_t>(irq) & 0x1F); }
inline void NVIC_ClearPendingIRQ(IRQn_Type irq) { NVIC->ICPR[0].reg = 1u << (static_cast<uint32_t>(irq) & 0x1F); }
inline void NVIC_SetPriority(IRQn_Type irq, uint32_t priority) {
    const uint32_t n = static_cast<uint32_t>(irq);
    const uint32_t shift = (n & 3u) * 8u;
    const uint32_t v = NVIC->IP[n >> 2].reg;
    NVIC->IP[n >> 2].reg = (v & ~(0xFFu << shift)) | (((priority << (8 - __NVIC_PRIO_BITS)) & 0xFFu) << shift);
}

// Interrupt vectors the firmware provides.
extern "C" void TC0_Handler(void);
extern "C" void WDT_Handler(void);
