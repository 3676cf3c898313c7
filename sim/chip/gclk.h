// GCLK – Generic Clock Controller: generators 0..8 (GENCTRL: SRC, GENEN,
// DIV, DIVSEL), each from a clock source, and peripheral channels 0..35
// (PCHCTRL: GEN, CHEN, WRTLOCK) that take a generator to a peripheral.
// Generator 0 is GCLK_MAIN, the source of the CPU clock. The clock tree's
// requests run back from its consumers to the sources (On Demand Clock
// Requests): an on-demand source runs only while requested.
#pragma once
#include <array>
#include <memory>

#include "context.h"

namespace zchip {

// Peripheral channel indexes (datasheet, GCLK: PCHCTRLm Mapping).
namespace pch {
constexpr unsigned kEic = 3;
constexpr unsigned kSercomSlow = 17;      // SERCOM0..4
constexpr unsigned kSercom0Core = 18;     // SERCOMn (n < 5): 18 + n
constexpr unsigned kSercom5Slow = 23;
constexpr unsigned kSercom5Core = 24;
constexpr unsigned kTcc01 = 25;
constexpr unsigned kTcc2 = 26;
constexpr unsigned kTc01 = 27;
constexpr unsigned kTc23 = 28;
constexpr unsigned kTc4 = 29;
constexpr unsigned kAdc = 30;
constexpr unsigned kAc = 31;
constexpr unsigned kDac = 32;
constexpr unsigned kPtc = 33;
constexpr unsigned kCcl = 34;
}  // namespace pch

// GENCTRL.SRC values (datasheet, GCLK: Generator Control).
namespace gsrc {
constexpr unsigned kXosc = 0, kGclkIn = 1, kGclkGen1 = 2, kOscUlp32k = 3, kOsc32k = 4, kXosc32k = 5, kOsc16m = 6,
                   kDfll48m = 7, kDpll96m = 8;
}

class Gclk : public Model {
public:
    static constexpr uint32_t kBase = 0x40001800;
    static constexpr unsigned kGenerators = 9;
    static constexpr unsigned kChannels = 36;   // PCHCTRL0..35 at 0x80..0x10C
    explicit Gclk(Ctx& ctx);
    void reset() override;

    // A generator's output (0 while disabled or its source does not run).
    double generator_hz(unsigned g) const;
    // A channel's clock (0 while the channel is off or its generator stopped).
    double channel_hz(unsigned ch) const;
    // Whether the tree requests clock source `src` (a gsrc value): a generator
    // switching to it, or one running from it that is itself requested -
    // generator 0 by the CPU, any by an enabled or enabling peripheral
    // channel or its GCLK_IO output, generator 1 by the generators it feeds.
    // The peripheral behind a channel is taken to request its clock whenever
    // the channel is enabled.
    bool requests(unsigned src) const;

private:
    struct Gen {
        uint32_t reg = 0;       // GENCTRL as written (reads back at once)
        uint32_t applied = 0;   // what the generator runs with, after synchronisation
    };
    struct Channel {
        uint32_t reg = 0;       // PCHCTRL as written
        bool chen = false;      // CHEN in force (reads the old state until synchronised)
        unsigned gen = 0;
    };
    RegTable& table() override { return regs_; }
    double source_hz(unsigned src, unsigned g, int depth) const;
    double gen_hz(const uint32_t cfg, unsigned g, int depth) const;
    void write_genctrl(unsigned g, uint32_t data, uint32_t lanes);
    void write_pchctrl(unsigned ch, uint32_t data, uint32_t lanes);
    void software_reset();
    bool switching(unsigned g) const;
    bool generator_requested(unsigned g, int depth) const;
    // A GENCTRL write synchronised: in force now, or once its new source is ready.
    void settle(unsigned g);
    void apply(unsigned g);
    void demand_changed();

    RegTable regs_;
    std::array<Gen, kGenerators> gens_{};
    std::array<Channel, kChannels> chans_{};
    std::unique_ptr<Sync> ctrla_sync_;
    std::array<std::unique_ptr<Sync>, kGenerators> gen_sync_;
    std::array<std::unique_ptr<Sync>, kChannels> chan_sync_;
    std::array<unsigned, kChannels> chan_sync_gen_{};
    std::array<uint8_t, kChannels> chan_pending_{};   // PCHCTRL writes synchronising
    uint32_t waiting_ = 0;   // SYNCBUSY.GENCTRLn bits held until the new source is ready
};

}  // namespace zchip
