#include "context.h"

#include <cstdio>

#include "gclk.h"
#include "mclk.h"

namespace zchip {

std::string hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

// ---- the clock tree as the models ask it ----

double Ctx::cpu_hz() const { return mclk ? mclk->cpu_hz() : 0.0; }

double Ctx::channel_hz(unsigned ch) const { return gclk ? gclk->channel_hz(ch) : 0.0; }

void Ctx::clocks_changed() {
    if (notifying_) {
        again_ = true;
        return;
    }
    notifying_ = true;
    do {
        again_ = false;
        for (auto& fn : listeners_) fn();
    } while (again_);
    notifying_ = false;
    const double hz = cpu_hz();
    if (hz != last_cpu_hz_) {
        const bool first = last_cpu_hz_ < 0.0;
        if (!first && !(hz > 0.0)) report.forbidden("CPU clock stopped: generator 0 has no running source");
        last_cpu_hz_ = hz;
        if (!first) chip.cpu_clock_changed();
    }
}

// ---- register synchronisation ----

vtime Sync::delay() const {
    const double hz = clock_hz_();
    if (!(hz > 0.0)) return kNever;
    const double cpu = ctx_.cpu_hz();
    const double seconds = 5.5 / hz + (cpu > 0.0 ? 2.5 / cpu : 0.0);
    return static_cast<vtime>(std::llround(seconds * 1e9));
}

void Sync::start(uint32_t bits, std::function<void()> done) {
    items_.push_back(Item{next_id_++, bits, std::move(done), false});
    recompute();
    schedule(items_.back());
}

void Sync::schedule(Item& it) {
    const vtime d = delay();
    if (d == kNever) {
        // Without its clock a write never synchronises: SYNCBUSY stays set.
        // An on-demand source the write itself requested is still starting:
        // reported only if the clock has not come by the time it should have.
        const uint64_t id = it.id, gen = gen_;
        ctx_.chip.schedule(ctx_.now() + kClockPatienceNs, [this, id, gen] {
            if (gen != gen_) return;
            for (const Item& i : items_)
                if (i.id == id && !i.scheduled)
                    ctx_.report.forbidden_once(std::string(owner_) +
                                               ": a write waits for synchronisation with a generic clock that does not run");
        });
        return;
    }
    it.scheduled = true;
    const uint64_t id = it.id, gen = gen_;
    ctx_.chip.schedule(ctx_.now() + d, [this, id, gen] {
        if (gen == gen_) complete(id);
    });
}

void Sync::complete(uint64_t id) {
    for (size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].id != id) continue;
        std::function<void()> done = std::move(items_[i].done);
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
        recompute();
        if (done) done();
        return;
    }
}

void Sync::clock_changed() {
    for (Item& it : items_)
        if (!it.scheduled) schedule(it);
}

void Sync::reset() {
    ++gen_;
    items_.clear();
    busy_ = 0;
}

void Sync::recompute() {
    busy_ = 0;
    for (const Item& it : items_) busy_ |= it.bits;
}

// ---- register access behind the bus clock ----

bool Model::bus_clock_on(const char* access) {
    if (ctx_.apb_on(apb_)) {
        off_reported_ = false;
        return true;
    }
    if (!off_reported_) {
        off_reported_ = true;
        static const char* const kMask[] = {"APBAMASK", "APBBMASK", "APBCMASK", "APBDMASK", "APBEMASK"};
        forbidden(std::string(access) + " without its bus clock (MCLK " + kMask[static_cast<int>(apb_.bus)] + " bit " +
                  std::to_string(apb_.bit) + " clear): " + (access[0] == 'w' ? "ignored" : "reads 0"));
    }
    return false;
}

bool Model::read(uint32_t offset, unsigned width, uint32_t& value) {
    value = 0;
    if (offset + width > size()) return false;
    if (!bus_clock_on("read")) return true;
    if (!table().read(offset, width, value))
        ctx_.report.unmodelled(std::string(name()) + "+" + hex(offset, 2) + " (" + std::to_string(8 * width) +
                               "-bit read)");
    return true;
}

bool Model::write(uint32_t offset, unsigned width, uint32_t value) {
    if (offset + width > size()) return false;
    if (!bus_clock_on("write")) return true;
    if (!table().write(offset, width, value))
        ctx_.report.unmodelled(std::string(name()) + "+" + hex(offset, 2) + " (" + std::to_string(8 * width) +
                               "-bit write of " + hex(value) + ")");
    return true;
}

uint32_t Model::enable_protect(const char* reg, uint32_t old, uint32_t data, uint32_t lanes, uint32_t writable,
                               uint32_t mask, bool enabled) {
    const uint32_t m = lanes & writable;
    uint32_t v = (old & ~m) | (data & m);
    if (enabled && ((v ^ old) & mask)) {
        forbidden(std::string(reg) + " written while enabled: enable-protected bits " + hex((v ^ old) & mask) +
                  " ignored");
        v = (v & ~mask) | (old & mask);
    }
    return v;
}

bool Unmodelled::read(uint32_t offset, unsigned width, uint32_t& value) {
    value = 0;
    if (offset + width > size()) return false;
    ctx_.report.unmodelled(std::string(name()) + "+" + hex(offset, 2) + " (" + std::to_string(8 * width) +
                           "-bit read)");
    return true;
}

bool Unmodelled::write(uint32_t offset, unsigned width, uint32_t value) {
    if (offset + width > size()) return false;
    ctx_.report.unmodelled(std::string(name()) + "+" + hex(offset, 2) + " (" + std::to_string(8 * width) +
                           "-bit write of " + hex(value) + ")");
    return true;
}

}  // namespace zchip
