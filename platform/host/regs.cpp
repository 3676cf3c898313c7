#include <cstring>
#include <vector>

#include "Uart.h"
#include "host/buses.h"
#include "host/firmware_ram.h"
#include "host/pins.h"
#include "host/serial_peer.h"
#include "host/timebase.h"
#include "sam.h"

namespace zplat {

Timebase tb;
Tc tc0_regs;
Gclk gclk_regs;
Mclk mclk_regs;
Wdt wdt_regs;
NvicRegs nvic_regs;

void register_access(const void* reg, bool write, bool changed) {
    if (write && tb.host) tb.host->register_written(reg);
    cross(cost::reg, write && changed);
}

namespace {
template <typename T>
void clear_regs(T& regs) {
    // Register blocks hold nothing but registers; the chip clears them on reset.
    auto* p = reinterpret_cast<unsigned char*>(&regs);
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = 0;
}
}  // namespace

void registers_reset() {
    clear_regs(tc0_regs);
    clear_regs(gclk_regs);
    clear_regs(mclk_regs);
    clear_regs(wdt_regs);
    clear_regs(nvic_regs);
    // The boot code leaves the bus clocks of the always-on peripherals running.
    mclk_regs.APBAMASK.reg.host_set(0x000007FFu & ~MCLK_APBAMASK_WDT);
}

}  // namespace zplat

// ---- firmware RAM ----
extern "C" {
extern uint8_t __zfw_ram_start[] __attribute__((weak));
extern uint8_t __zfw_ram_end[] __attribute__((weak));
}

namespace zplat {
namespace {
std::vector<uint8_t>& ram_image() {
    static std::vector<uint8_t> image;
    return image;
}

// The region holds the sanitizers' guard bytes around each global, which
// an instrumented copy would refuse to touch.
__attribute__((no_sanitize("address"), noinline)) void raw_copy(volatile uint8_t* dst, const volatile uint8_t* src,
                                                                size_t n) {
    size_t i = 0;
    // Word by word where both line up: every reset copies tens of KiB.
    if ((reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(src)) % 8 == 0) {
        for (; i < n && reinterpret_cast<uintptr_t>(dst + i) % 8 != 0; ++i) dst[i] = src[i];
        for (; i + 8 <= n; i += 8) {
            *reinterpret_cast<volatile uint64_t*>(dst + i) = *reinterpret_cast<const volatile uint64_t*>(src + i);
        }
    }
    for (; i < n; ++i) dst[i] = src[i];
}

// Taken before main, when the region still holds the load image.
__attribute__((constructor(101))) void take_ram_image() {
    const RamRegion r = firmware_ram();
    ram_image().resize(r.size());
    if (r.size() != 0) raw_copy(ram_image().data(), r.begin, r.size());
}
}  // namespace

RamRegion firmware_ram() {
    if (__zfw_ram_start == nullptr || __zfw_ram_end == nullptr) return {nullptr, nullptr};
    return {__zfw_ram_start, __zfw_ram_end};
}

void restore_firmware_ram() {
    const RamRegion r = firmware_ram();
    if (r.size() != 0 && ram_image().size() == r.size()) raw_copy(r.begin, ram_image().data(), r.size());
}

std::vector<uint8_t> firmware_ram_copy() {
    const RamRegion r = firmware_ram();
    std::vector<uint8_t> image(r.size());
    if (r.size() != 0) raw_copy(image.data(), r.begin, r.size());
    return image;
}

void restore_firmware_ram(const std::vector<uint8_t>& image) {
    const RamRegion r = firmware_ram();
    if (r.size() != 0 && image.size() == r.size()) raw_copy(r.begin, image.data(), r.size());
}

void power_on_reset() {
    registers_reset();
    pins_reset();
    buses_reset();
    for (uint8_t i = 0; i < kUartCount; ++i) {
        if (Uart* u = uart_by_index(i)) u->host_reset();
    }
    restore_firmware_ram();
    tb.reset_at = tb.now;   // the core's millisecond count starts again
    tb.in_isr = false;
    tb.quiet = 0;
}

}  // namespace zplat
