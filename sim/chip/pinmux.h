// The pads' peripheral multiplexer, for the functions the model routes:
// B (the ADC's AINn), C (SERCOM) and D (SERCOM-ALT). The table in the .cpp
// is the ATSAML21J18B's (datasheet, I/O Multiplexing and Considerations:
// the multiplexed signals of the 64-pin J package); other functions reach
// nothing here.
//
// PinMux follows PORT: which pads each SERCOM PADn is on now, which pads
// are on their analog function. It is recomputed when PORT changes a pad's
// PINCFG.PMUXEN or PMUX, never per byte.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "bus.h"

namespace zchip {

class Port;

// PMUX values of the functions routed here.
namespace fn {
constexpr uint8_t kB = 1, kC = 2, kD = 3;
}

constexpr unsigned kSercoms = 6;

// SERCOMn PADk.
struct SercomPad {
    uint8_t sercom;
    uint8_t pad;
};

// The AIN a pad carries on function B.
std::optional<unsigned> ain_on(Pad p);
// The pad of AINn.
std::optional<Pad> pad_of_ain(unsigned ain);
// The SERCOM pad a pad carries on `function` (C or D; none on the others).
std::optional<SercomPad> sercom_on(Pad p, uint8_t function);
// The function (C or D) on which a pad carries a pad of SERCOMn.
std::optional<uint8_t> function_of(Pad p, unsigned sercom);
// "PA04".
std::string pad_name(Pad p);
inline char function_letter(uint8_t function) { return static_cast<char>('A' + function); }

// The signals of the SERCOM modes the board uses.
enum class Signal : uint8_t { Tx, Rx, Sck, Mosi, Miso, Sda, Scl };
constexpr unsigned kSignals = 7;
const char* signal_name(Signal s);

class PinMux {
public:
    explicit PinMux(const Port& port);
    // PORT changed the function of some pad.
    void update();
    // The pads SERCOMn PADk is on now.
    PadSet pads(unsigned sercom, unsigned pad) const { return pads_[sercom][pad]; }
    // The SERCOM pad `p` carries now.
    std::optional<SercomPad> sercom_at(Pad p) const;
    // `p` is on its analog function.
    bool analog(Pad p) const { return (analog_ >> PadSet::index(p)) & 1u; }

private:
    const Port& port_;
    std::array<std::array<PadSet, 4>, kSercoms> pads_{};
    std::array<int8_t, 64> at_{};   // sercom × 4 + pad, -1 for none
    uint64_t analog_ = 0;
};

}  // namespace zchip
