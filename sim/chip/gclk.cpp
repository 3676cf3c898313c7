#include "gclk.h"

#include <cmath>
#include <cstdio>

#include "oscctrl.h"

namespace zchip {
namespace {
constexpr uint32_t kGenen = 1u << 8;
constexpr uint32_t kOe = 1u << 11;
constexpr uint32_t kDivsel = 1u << 12;
constexpr uint32_t kChen = 1u << 6;
constexpr uint32_t kWrtlock = 1u << 7;
constexpr uint32_t kGenctrl0Reset = 0x00000106;   // OSC16M, enabled (datasheet, GCLK: Generator Control)

const char* source_name(unsigned src) {
    static const char* const kNames[] = {"XOSC",  "GCLKIN", "GCLKGEN1", "OSCULP32K", "OSC32K",
                                         "XOSC32K", "OSC16M", "DFLL48M",  "DPLL96M"};
    return src < 9 ? kNames[src] : "reserved";
}
}  // namespace

Gclk::Gclk(Ctx& ctx) : Model(ctx, "GCLK", kBase, 0x400, ApbClock{Apb::A, 6}) {
    ctrla_sync_ = std::make_unique<Sync>(ctx, "GCLK", [this] { return generator_hz(0); });
    for (unsigned g = 0; g < kGenerators; ++g)
        gen_sync_[g] = std::make_unique<Sync>(ctx, "GCLK", [this, g] {
            const double a = gen_hz(gens_[g].applied, g, 0), b = gen_hz(gens_[g].reg, g, 0);
            return a > b ? a : b;
        });
    for (unsigned ch = 0; ch < kChannels; ++ch)
        chan_sync_[ch] = std::make_unique<Sync>(ctx, "GCLK", [this, ch] { return generator_hz(chan_sync_gen_[ch]); });

    Reg& ctrla = regs_.add("CTRLA", 0x00, 1, 0, 0x01);
    ctrla.on_read = [this] { return (ctrla_sync_->busy() & 1u) ? 1u : 0u; };
    ctrla.on_write = [this](uint32_t d, uint32_t) {
        if (!(d & 1u)) return;
        if (ctrla_sync_->busy()) {
            forbidden("CTRLA written while SYNCBUSY.SWRST is set: discarded");
            return;
        }
        ctrla_sync_->start(1u, [this] { software_reset(); });
    };
    Reg& syncbusy = regs_.add("SYNCBUSY", 0x04, 4, 0, 0);
    syncbusy.on_read = [this] {
        uint32_t v = (ctrla_sync_->busy() & 1u) | waiting_;
        for (unsigned g = 0; g < kGenerators; ++g)
            if (gen_sync_[g]->busy()) v |= 1u << (g + 2);
        return v;
    };
    syncbusy.on_write = [](uint32_t, uint32_t) {};
    static const char* const kGenNames[kGenerators] = {"GENCTRL0", "GENCTRL1", "GENCTRL2", "GENCTRL3", "GENCTRL4",
                                                       "GENCTRL5", "GENCTRL6", "GENCTRL7", "GENCTRL8"};
    for (unsigned g = 0; g < kGenerators; ++g) {
        Reg& r = regs_.add(kGenNames[g], 0x20 + 4 * g, 4, 0, 0);
        r.on_read = [this, g] { return gens_[g].reg; };
        r.on_write = [this, g](uint32_t d, uint32_t lanes) { write_genctrl(g, d, lanes); };
    }
    static char names[kChannels][12];
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        std::snprintf(names[ch], sizeof names[ch], "PCHCTRL%u", ch);
        Reg& r = regs_.add(names[ch], 0x80 + 4 * ch, 4, 0, 0);
        r.on_read = [this, ch] { return (chans_[ch].reg & ~kChen) | (chans_[ch].chen ? kChen : 0u); };
        r.on_write = [this, ch](uint32_t d, uint32_t lanes) { write_pchctrl(ch, d, lanes); };
    }
    ctx.on_clocks_changed([this] {
        ctrla_sync_->clock_changed();
        for (auto& s : gen_sync_) s->clock_changed();
        for (auto& s : chan_sync_) s->clock_changed();
        for (unsigned g = 0; g < kGenerators; ++g)
            if ((waiting_ >> (g + 2)) & 1u) settle(g);
    });
    reset();
}

void Gclk::reset() {
    ctrla_sync_->reset();
    for (auto& s : gen_sync_) s->reset();
    for (auto& s : chan_sync_) s->reset();
    gens_ = {};
    gens_[0].reg = gens_[0].applied = kGenctrl0Reset;
    chans_ = {};
    chan_sync_gen_ = {};
    chan_pending_ = {};
    waiting_ = 0;
}

bool Gclk::switching(unsigned g) const { return gen_sync_[g]->busy() || ((waiting_ >> (g + 2)) & 1u); }

bool Gclk::generator_requested(unsigned g, int depth) const {
    if (g == 0 || (gens_[g].reg & kOe)) return true;
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        const Channel& c = chans_[ch];
        if ((c.chen && c.gen == g) || (chan_pending_[ch] != 0 && (c.reg & kChen) && (c.reg & 0xF) == g)) return true;
    }
    if (g == 1 && depth == 0)
        for (unsigned h = 0; h < kGenerators; ++h) {
            if (h == 1) continue;
            const auto feeds = [](uint32_t cfg) { return (cfg & kGenen) && (cfg & 0x1F) == gsrc::kGclkGen1; };
            if ((feeds(gens_[h].applied) || (switching(h) && feeds(gens_[h].reg))) && generator_requested(h, 1))
                return true;
        }
    return false;
}

bool Gclk::requests(unsigned src) const {
    // While switching, a generator holds requests to both its old and its
    // new source (datasheet, GCLK: Selecting a Clock Source for the Generator).
    for (unsigned g = 0; g < kGenerators; ++g) {
        const uint32_t now = gens_[g].applied, next = gens_[g].reg;
        if (switching(g) && (next & kGenen) && (next & 0x1F) == src) return true;
        if ((now & kGenen) && (now & 0x1F) == src && generator_requested(g, 0)) return true;
    }
    return false;
}

void Gclk::demand_changed() {
    if (ctx_.osc) ctx_.osc->demand_changed();
}

void Gclk::settle(unsigned g) {
    const uint32_t bit = 1u << (g + 2);
    const uint32_t now = gens_[g].applied, next = gens_[g].reg;
    const bool new_source = (next & kGenen) && (!(now & kGenen) || (now & 0x1F) != (next & 0x1F));
    if (new_source && !(source_hz(next & 0x1F, g, 0) > 0.0)) {
        // It runs on from the old source, SYNCBUSY.GENCTRLn set, until the
        // new one is ready.
        waiting_ |= bit;
        return;
    }
    apply(g);
}

void Gclk::apply(unsigned g) {
    waiting_ &= ~(1u << (g + 2));
    gens_[g].applied = gens_[g].reg;
    ctx_.clocks_changed();
    demand_changed();
}

void Gclk::software_reset() {
    // Locked channels and the generators they use keep their settings
    // (datasheet, GCLK: Control A, SWRST).
    std::array<bool, kGenerators> keep{};
    for (unsigned ch = 0; ch < kChannels; ++ch)
        if (chans_[ch].reg & kWrtlock) keep[chans_[ch].gen] = true;
    for (unsigned g = 0; g < kGenerators; ++g) {
        if (keep[g]) continue;
        gen_sync_[g]->reset();
        waiting_ &= ~(1u << (g + 2));
        gens_[g].reg = gens_[g].applied = g == 0 ? kGenctrl0Reset : 0;
    }
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        if (chans_[ch].reg & kWrtlock) continue;
        chan_sync_[ch]->reset();
        chans_[ch] = Channel{};
        chan_pending_[ch] = 0;
    }
    ctx_.clocks_changed();
    demand_changed();
}

double Gclk::source_hz(unsigned src, unsigned g, int depth) const {
    switch (src) {
        case gsrc::kOscUlp32k: return Osc32kctrl::kUlp32kHz;
        case gsrc::kOsc16m: return ctx_.osc ? ctx_.osc->osc16m_hz() : 0.0;
        case gsrc::kGclkGen1: return g == 1 || depth > 1 ? 0.0 : gen_hz(gens_[1].applied, 1, depth + 1);
        default: return 0.0;   // not modelled: reported when selected
    }
}

double Gclk::gen_hz(uint32_t cfg, unsigned g, int depth) const {
    if (!(cfg & kGenen)) return 0.0;
    const double in = source_hz(cfg & 0x1F, g, depth);
    if (!(in > 0.0)) return 0.0;
    const uint32_t div = cfg >> 16;
    double factor;
    if (cfg & kDivsel) factor = std::ldexp(1.0, static_cast<int>(div < 30 ? div + 1 : 31));
    else factor = div == 0 ? 1.0 : static_cast<double>(div);
    return in / factor;
}

double Gclk::generator_hz(unsigned g) const { return g < kGenerators ? gen_hz(gens_[g].applied, g, 0) : 0.0; }

double Gclk::channel_hz(unsigned ch) const {
    if (ch >= kChannels || !chans_[ch].chen) return 0.0;
    return generator_hz(chans_[ch].gen);
}

void Gclk::write_genctrl(unsigned g, uint32_t data, uint32_t lanes) {
    const std::string name = "GENCTRL" + std::to_string(g);
    if (switching(g)) {
        // A write to a register still synchronising is discarded (datasheet,
        // Register Synchronization: General Write Synchronization).
        forbidden(name + " written while SYNCBUSY.GENCTRL" + std::to_string(g) + " is set: discarded");
        return;
    }
    for (unsigned ch = 0; ch < kChannels; ++ch)
        if ((chans_[ch].reg & kWrtlock) && chans_[ch].gen == g) {
            forbidden(name + " written while locked by PCHCTRL" + std::to_string(ch) + ".WRTLOCK: discarded");
            return;
        }
    // Only generator 1 has 16 division bits; the others take DIV[7:0].
    const uint32_t writable = g == 1 ? 0xFFFF3F1Fu : 0x00FF3F1Fu;
    const uint32_t m = lanes & writable;
    const uint32_t v = (gens_[g].reg & ~m) | (data & m);
    const unsigned src = v & 0x1F;
    if (v & kGenen) {
        if (src > gsrc::kDpll96m) forbidden(name + ".SRC " + std::to_string(src) + " is reserved");
        else if (g == 1 && src == gsrc::kGclkGen1) forbidden(name + ".SRC = GCLKGEN1: generator 1 cannot feed itself");
        else if (src != gsrc::kOscUlp32k && src != gsrc::kOsc16m && src != gsrc::kGclkGen1)
            forbidden_once(name + ".SRC = " + source_name(src) + ": source not modelled, the generator gives no clock");
    }
    gens_[g].reg = v;
    gen_sync_[g]->start(1u << (g + 2), [this, g] { settle(g); });
    demand_changed();   // the new source is requested from now on
}

void Gclk::write_pchctrl(unsigned ch, uint32_t data, uint32_t lanes) {
    Channel& c = chans_[ch];
    if (c.reg & kWrtlock) {
        forbidden("PCHCTRL" + std::to_string(ch) + " written while WRTLOCK is set: discarded");
        return;
    }
    const uint32_t m = lanes & 0xCFu;
    const uint32_t v = (c.reg & ~m) | (data & m);
    const unsigned gen = v & 0xF;
    if (gen >= kGenerators) {
        forbidden("PCHCTRL" + std::to_string(ch) + ".GEN " + std::to_string(gen) + " is reserved: discarded");
        return;
    }
    c.reg = v;
    const bool chen = v & kChen;
    if (chen == c.chen && gen == c.gen) return;
    // CHEN reads its previous state until synchronised with the generator's
    // clock (datasheet, GCLK: Peripheral Channel Control, CHEN).
    chan_sync_gen_[ch] = chen ? gen : c.gen;
    ++chan_pending_[ch];
    chan_sync_[ch]->start(0, [this, ch] {
        Channel& cc = chans_[ch];
        cc.chen = cc.reg & kChen;
        cc.gen = cc.reg & 0xF;
        --chan_pending_[ch];
        ctx_.clocks_changed();
        demand_changed();
    });
    demand_changed();   // an enabling channel requests its generator's clock
}

}  // namespace zchip
