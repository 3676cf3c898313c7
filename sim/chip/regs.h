// A peripheral reads like its register table: each register declared once
// (name, offset, width, reset value, the bits a plain write stores, optional
// read and write behaviour), and every bus access dispatched by offset to the
// registers whose bytes it covers.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace zchip {

struct Reg {
    const char* name = "";
    uint32_t offset = 0;
    unsigned width = 4;       // bytes
    uint32_t reset = 0;
    uint32_t writable = 0;    // bits a plain write stores
    uint32_t value = 0;
    // Read behaviour; null: the stored value.
    std::function<uint32_t()> on_read;
    // Write behaviour: `data` aligned to the register, `lanes` the bits of the
    // bytes actually written (a byte write to a 32-bit register touches 8).
    // Null: store the writable bits of the written lanes.
    std::function<void(uint32_t data, uint32_t lanes)> on_write;
    // For the core's pass skipping. `steady`: on_read has no side effect and
    // its value changes only through a write, a scheduled event or the
    // world's events, never with time alone. `idle`: this write would change
    // nothing at all (no state, no event, no report). Plain registers are
    // both by nature.
    bool steady = false;
    std::function<bool(uint32_t data, uint32_t lanes)> idle;

    // What a plain write of these lanes would leave in the register.
    uint32_t merged(uint32_t data, uint32_t lanes) const {
        const uint32_t m = lanes & writable;
        return (value & ~m) | (data & m);
    }
    void store(uint32_t data, uint32_t lanes) { value = merged(data, lanes); }
};

class RegTable {
public:
    // Declares a register; the reference stays valid (registers are never removed).
    Reg& add(const char* name, uint32_t offset, unsigned width, uint32_t reset, uint32_t writable) {
        regs_.push_back(Reg{});
        Reg& r = regs_.back();
        r.name = name;
        r.offset = offset;
        r.width = width;
        r.reset = reset;
        r.writable = writable;
        r.value = reset;
        index_.clear();
        return r;
    }
    // Every register back to its reset value.
    void reset() {
        for (Reg& r : regs_) r.value = r.reset;
    }
    Reg* find(uint32_t offset) {
        for (Reg& r : regs_)
            if (r.offset == offset) return &r;
        return nullptr;
    }

    // An access of `width` bytes at `offset`. Each register it overlaps is
    // read or written once. false: no register covers any of its bytes.
    bool read(uint32_t offset, unsigned width, uint32_t& value) {
        value = 0;
        bool hit = false;
        for_each(offset, width, [&](Reg& r, unsigned shift_in_access, unsigned shift_in_reg, uint32_t lanes) {
            const uint32_t v = r.on_read ? r.on_read() : r.value;
            value |= ((v & lanes) >> shift_in_reg) << shift_in_access;
            hit = true;
        });
        return hit;
    }
    bool write(uint32_t offset, unsigned width, uint32_t value) {
        bool hit = false;
        for_each(offset, width, [&](Reg& r, unsigned shift_in_access, unsigned shift_in_reg, uint32_t lanes) {
            const uint32_t data = ((value >> shift_in_access) << shift_in_reg) & lanes;
            if (r.on_write) r.on_write(data, lanes);
            else r.store(data, lanes);
            hit = true;
        });
        return hit;
    }

    // Whether the access reads only steady registers / writes only without effect.
    bool steady(uint32_t offset, unsigned width) {
        bool ok = true, hit = false;
        for_each(offset, width, [&](Reg& r, unsigned, unsigned, uint32_t) {
            hit = true;
            if (r.on_read && !r.steady) ok = false;
        });
        return ok && hit;
    }
    bool idle(uint32_t offset, unsigned width, uint32_t value) {
        bool ok = true, hit = false;
        for_each(offset, width, [&](Reg& r, unsigned shift_in_access, unsigned shift_in_reg, uint32_t lanes) {
            const uint32_t data = ((value >> shift_in_access) << shift_in_reg) & lanes;
            hit = true;
            if (r.on_write ? !(r.idle && r.idle(data, lanes)) : r.merged(data, lanes) != r.value) ok = false;
        });
        return ok && hit;
    }

private:
    // Calls fn(reg, shift of the overlap within the access, its shift within
    // the register, the register bits covered) once per overlapped register.
    template <typename Fn>
    void for_each(uint32_t offset, unsigned width, Fn fn) {
        if (index_.empty()) build_index();
        Reg* last = nullptr;
        for (uint32_t b = offset; b < offset + width && b < index_.size(); ++b) {
            if (index_[b] < 0) continue;
            Reg& r = regs_[static_cast<size_t>(index_[b])];
            if (&r == last) continue;
            last = &r;
            const uint32_t lo = b;
            const uint32_t end_r = r.offset + r.width, end_a = offset + width;
            const uint32_t hi = end_r < end_a ? end_r : end_a;
            const unsigned n = hi - lo;
            const uint32_t lanes = n >= 4 ? 0xFFFFFFFFu : ((1u << (8 * n)) - 1u) << (8 * (lo - r.offset));
            fn(r, 8 * (lo - offset), 8 * (lo - r.offset), lanes);
        }
    }
    // Which register each byte offset belongs to (-1: none).
    void build_index() {
        uint32_t end = 0;
        for (const Reg& r : regs_) end = r.offset + r.width > end ? r.offset + r.width : end;
        index_.assign(end, -1);
        for (size_t i = 0; i < regs_.size(); ++i)
            for (uint32_t b = regs_[i].offset; b < regs_[i].offset + regs_[i].width; ++b) index_[b] = static_cast<int32_t>(i);
    }

    std::deque<Reg> regs_;   // a deque keeps references stable as registers are added
    std::vector<int32_t> index_;
};

// INTENCLR and INTENSET over one interrupt-enable mask, as every peripheral
// has them: both read the mask, a write clears or sets the bits written
// (INTENSET only the `settable` ones), and `changed` re-evaluates the line.
template <typename Mask>
void add_inten(RegTable& t, uint32_t clr_offset, uint32_t set_offset, unsigned width, Mask& inten,
               uint32_t settable, std::function<void()> changed) {
    Reg& clr = t.add("INTENCLR", clr_offset, width, 0, 0);
    clr.on_read = [&inten] { return static_cast<uint32_t>(inten); };
    clr.on_write = [&inten, changed](uint32_t d, uint32_t) {
        inten = static_cast<Mask>(inten & ~d);
        changed();
    };
    Reg& set = t.add("INTENSET", set_offset, width, 0, 0);
    set.on_read = [&inten] { return static_cast<uint32_t>(inten); };
    set.on_write = [&inten, settable, changed](uint32_t d, uint32_t) {
        inten = static_cast<Mask>(inten | (d & settable));
        changed();
    };
}

}  // namespace zchip
