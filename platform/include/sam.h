// The few SAM L21 registers the firmware writes directly (TC0 and its generic
// clock channel, the NVIC, the watchdog and its bus clock), with the chip's
// register and field names. Each register is memory the virtual board reads;
// every access is a platform boundary, as a bus access is on the chip.
#pragma once
#include <stdint.h>

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
}  // namespace zplat

template <typename T>
union RegUnion {
    zplat::HwReg<T> reg;
    constexpr RegUnion() : reg() {}
};

#define __IO
typedef RegUnion<uint8_t> Reg8;
typedef RegUnion<uint16_t> Reg16;
typedef RegUnion<uint32_t> Reg32;

// ---- TC: timer/counter, 16-bit counter mode ----
struct TcCount16 {
    __IO Reg32 CTRLA;      // 0x00
    __IO Reg8 CTRLBCLR;    // 0x04
    __IO Reg8 CTRLBSET;    // 0x05
    __IO Reg16 EVCTRL;     // 0x06
    __IO Reg8 INTENCLR;    // 0x08
    __IO Reg8 INTENSET;    // 0x09
    __IO Reg8 INTFLAG;     // 0x0A
    __IO Reg8 STATUS;      // 0x0B
    __IO Reg8 WAVE;        // 0x0C
    __IO Reg8 DRVCTRL;     // 0x0D
    __IO Reg8 DBGCTRL;     // 0x0F
    __IO Reg32 SYNCBUSY;   // 0x10
    __IO Reg16 COUNT;      // 0x14
    __IO Reg16 CC[2];      // 0x1C
};
union Tc {
    TcCount16 COUNT16;
    Tc() : COUNT16() {}
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

// ---- GCLK: peripheral channel control ----
struct Gclk {
    __IO Reg8 CTRLA;
    __IO Reg32 SYNCBUSY;
    __IO Reg32 GENCTRL[9];
    __IO Reg32 PCHCTRL[35];
};
#define GCLK_PCHCTRL_GEN_Msk (0xFu << 0)
#define GCLK_PCHCTRL_GEN_GCLK0 (0x0u)
#define GCLK_PCHCTRL_GEN_GCLK1 (0x1u)
#define GCLK_PCHCTRL_CHEN (0x1u << 6)
#define TC0_GCLK_ID 27

// ---- MCLK: bus clock masks ----
struct Mclk {
    __IO Reg8 CTRLA;       // 0x00
    __IO Reg32 AHBMASK;    // 0x10
    __IO Reg32 APBAMASK;   // 0x14
    __IO Reg32 APBBMASK;   // 0x18
    __IO Reg32 APBCMASK;   // 0x1C
};
#define MCLK_APBAMASK_WDT (0x1u << 7)

// ---- WDT: watchdog ----
struct Wdt {
    __IO Reg8 CTRLA;       // 0x00
    __IO Reg8 CONFIG;      // 0x01
    __IO Reg8 EWCTRL;      // 0x02
    __IO Reg8 INTENCLR;    // 0x04
    __IO Reg8 INTENSET;    // 0x05
    __IO Reg8 INTFLAG;     // 0x06
    __IO Reg32 SYNCBUSY;   // 0x08
    __IO Reg8 CLEAR;       // 0x0C
};
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

// ---- NVIC (Cortex-M0+: word access only) ----
struct NvicRegs {
    __IO Reg32 ISER[1];
    __IO Reg32 ICER[1];
    __IO Reg32 ISPR[1];
    __IO Reg32 ICPR[1];
    __IO Reg32 IP[8];
};

typedef enum IRQn {
    WDT_IRQn = 1,
    TC0_IRQn = 17,
} IRQn_Type;

#define __NVIC_PRIO_BITS 2

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
