// The ARMv6-M core on Unicorn 2.0.1 (Debian's libunicorn), CPU model
// Cortex-M0, mode THUMB | MCLASS. What Unicorn does for M-class, found by
// experiment, and how this file deals with it:
//
// - No NVIC, no SysTick, no exception entry: nothing ever interrupts it. The
//   core takes exceptions itself between translation blocks (block hook) or
//   while emulation is stopped, stacking the frame in its own SRAM buffer.
// - BX or POP {PC} to 0xFFFFFFxx raises Unicorn's "exception exit" CPU
//   exception (UC_HOOK_INTR number 8) with PC = value & ~1, in Thread mode as
//   in Handler mode. It unstacks nothing, and writing IPSR (accepted, seen by
//   MRS and in xPSR) does not make it return by itself; left alone, the next
//   fetch from 0xFFFFFFF8 raises prefetch abort (3) over and over. The core
//   stops there and performs the return (ARMv6-M ARM, "Exception return
//   behavior").
// - Unaligned LDR/STR/LDRH/STRH do not fault: they are performed. A memory
//   hook on every access checks alignment (ARMv6-M ARM, "Fault behavior":
//   unaligned accesses are HardFaults on ARMv6-M).
// - BX to an even address clears EPSR.T; the next block stops with
//   UC_ERR_INSN_INVALID, PC = the target, xPSR.T = 0 (INVSTATE).
// - UDF and undefined 32-bit encodings: UC_ERR_INSN_INVALID, PC at the
//   instruction. WFE and YIELD: UC_ERR_INSN_INVALID too, but PC after the
//   hint. SEV and NOP: nothing. WFI: uc_emu_start returns UC_ERR_OK with PC
//   after the WFI (CPU halted); starting again goes on.
// - BKPT: UC_HOOK_INTR 7, PC at the BKPT. SVC: UC_HOOK_INTR 2, PC after it.
// - Unmapped read: the invalid-memory hook only, then UC_ERR_READ_UNMAPPED.
//   Unmapped write, write to read-only memory (flash): the ordinary write
//   hook first, then the invalid hook, then UC_ERR_WRITE_UNMAPPED or
//   UC_ERR_WRITE_PROT. Fetch from unmapped memory: UC_ERR_FETCH_UNMAPPED,
//   PC = the target. Fetch from the peripheral or system regions
//   (execute-never in the default memory map): UC_HOOK_INTR 3 (prefetch
//   abort), repeated forever unless stopped.
// - MMIO callbacks get the access's width (1, 2, 4); the SCS at 0xE000E000
//   is free for the core's own NVIC, SysTick and SCB (Unicorn has none there).
// - Inside memory hooks and MMIO callbacks PC reads as the start of the
//   translation block (not synchronised); the other registers are up to date.
//   The core counts the accesses of each block and finds the instruction by
//   decoding the block (each instruction's number of accesses is fixed).
// - uc_emu_stop() in a memory hook or MMIO callback ends the block right
//   after that access (a load's destination is not written: the instruction
//   is abandoned, the state is precise); in a block hook the block does not
//   run. Either way PC is left at the block's start.
// - CPSIE/CPSID end a translation block. Unicorn's block hook gives each
//   block's address and size.
// - Cost (this machine): ALU instructions and loads a few ns; every store
//   to RAM ~70 ns (Unicorn takes its slow path each time, looking for
//   translated code on the page, with a malloc and free); the access hook
//   ~10 ns per access (mostly Unicorn's region lookup); the block hook a few
//   ns; a stop and a new uc_emu_start ~0.1 us. Writing PC in a hook
//   redirects execution; uc_emu_stop() plus restarting costs about the same,
//   so exceptions are taken with emulation stopped.
//
// Time: each block's cycles (Cortex-M0+ TRM, "Instruction set summary") are
// charged when the next block starts, a conditional branch that was taken
// adding one; zplat::tb.now follows at the CPU clock.
#include "core.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "host/timebase.h"
#include "nvm.h"

namespace zchip {

using zplat::tb;

struct Core::Page {
    uint32_t base = 0;
    std::vector<Peripheral*> peripherals;
    Peripheral* find(uint32_t addr, unsigned size) const {
        for (Peripheral* p : peripherals)
            if (addr >= p->base() && uint64_t{addr} + size <= uint64_t{p->base()} + p->size()) return p;
        return nullptr;
    }
};

// Fewer, larger regions keep Unicorn's region lookup (a binary search made
// on every hooked access) short.
struct Core::Region {
    Core* core = nullptr;
    uint32_t base = 0;
    std::vector<Page*> pages;
    Page& page(uint64_t offset) const { return *pages[offset / 1024]; }
};

namespace {

constexpr uint32_t kPageSize = 1024;   // Unicorn's ARM target page
constexpr uint32_t kExcReturnHandler = 0xFFFFFFF1u, kExcReturnThreadMsp = 0xFFFFFFF9u,
                   kExcReturnThreadPsp = 0xFFFFFFFDu;
constexpr uint32_t kXpsrT = 1u << 24, kXpsrAlign = 1u << 9;
constexpr uint64_t kNeverCycle = UINT64_MAX;

// Unicorn's CPU exception numbers seen through UC_HOOK_INTR.
constexpr int kExcpSwi = 2, kExcpPrefetchAbort = 3, kExcpBkpt = 7, kExcpExceptionExit = 8;

// Thumb hint encodings (ARMv6-M ARM, "Alphabetical list of ARMv6-M Thumb
// instructions").
constexpr uint16_t kWfi = 0xBF30, kWfe = 0xBF20, kYield = 0xBF10;

// Decoded instruction flags.
constexpr uint8_t kCond = 1, kBranch = 2, kRecheck = 4, kStore = 8, kLoad = 16;

struct Insn {
    uint8_t len = 2;
    uint8_t cycles = 1;
    uint8_t accesses = 0;
    uint8_t flags = 0;
};

// One Thumb instruction (ARMv6-M ARM, "16-bit Thumb instruction encoding",
// "32-bit Thumb instruction encoding"), with its Cortex-M0+
// cycles (Cortex-M0+ TRM, Table 3-1, zero wait states, single-cycle
// multiplier) and the number of memory accesses it makes.
Insn decode(uint16_t h, uint16_t h2) {
    Insn i;
    if ((h >> 11) >= 0x1D) {   // 0b11101, 0b11110, 0b11111: 32-bit
        i.len = 4;
        if ((h & 0xF800) == 0xF000 && (h2 & 0xD000) == 0xD000) {
            i.cycles = 3;   // BL
            i.flags = kBranch;
        } else if ((h & 0xFFE0) == 0xF380 && (h2 & 0xD000) == 0x8000) {
            i.cycles = 3;   // MSR: PRIMASK may have changed
            i.flags = kRecheck;
        } else if ((h & 0xFFE0) == 0xF3E0 && (h2 & 0xD000) == 0x8000) {
            i.cycles = 3;   // MRS
        } else if (h == 0xF3BF && (h2 & 0xFF00) == 0x8F00) {
            i.cycles = 3;   // DSB, DMB, ISB
        }
        return i;
    }
    switch (h >> 12) {
    case 0x4:
        if ((h & 0xFC00) == 0x4000) return i;   // data processing, MULS included
        if ((h & 0xFC00) == 0x4400) {           // special data processing, BX, BLX
            const unsigned op = (h >> 8) & 3;
            const unsigned rd = (h & 7) | ((h >> 4) & 8);
            if (op == 3 || (op != 1 && rd == 15)) {
                i.cycles = 2;
                i.flags = kBranch;
            }
            return i;
        }
        i.cycles = 2;   // LDR (literal)
        i.accesses = 1;
        i.flags = kLoad;
        return i;
    case 0x5:   // load/store register offset: opB 000-010 store, 011-111 load
        i.cycles = 2;
        i.accesses = 1;
        i.flags = ((h >> 9) & 7) < 3 ? kStore : kLoad;
        return i;
    case 0x6:
    case 0x7:
    case 0x8:
    case 0x9:   // load/store immediate offset, halfword, SP-relative: bit 11 = load
        i.cycles = 2;
        i.accesses = 1;
        i.flags = (h & 0x0800) ? kLoad : kStore;
        return i;
    case 0xB:
        if ((h & 0xFE00) == 0xB400) {   // PUSH
            const unsigned n = static_cast<unsigned>(__builtin_popcount(h & 0x1FF));
            i.cycles = static_cast<uint8_t>(1 + n);
            i.accesses = static_cast<uint8_t>(n);
            i.flags = kStore;
        } else if ((h & 0xFE00) == 0xBC00) {   // POP, +2 when it loads PC
            const unsigned n = static_cast<unsigned>(__builtin_popcount(h & 0x1FF));
            i.cycles = static_cast<uint8_t>(1 + n + ((h & 0x100) ? 2 : 0));
            i.accesses = static_cast<uint8_t>(n);
            i.flags = static_cast<uint8_t>(kLoad | ((h & 0x100) ? kBranch : 0));
        } else if ((h & 0xFFEF) == 0xB662) {   // CPSIE i / CPSID i
            i.flags = kRecheck;
        } else if (h == kWfi || h == kWfe) {
            i.cycles = 2;
        }
        return i;
    case 0xC: {   // STM, LDM
        const unsigned n = static_cast<unsigned>(__builtin_popcount(h & 0xFF));
        i.cycles = static_cast<uint8_t>(1 + n);
        i.accesses = static_cast<uint8_t>(n);
        i.flags = (h & 0x0800) ? kLoad : kStore;
        return i;
    }
    case 0xD:
        if (((h >> 8) & 0xF) < 0xE) i.flags = kCond | kBranch;   // B<cond>: 1, taken 2
        return i;                                                // UDF, SVC
    case 0xE:
        if ((h & 0xF800) == 0xE000) {   // B
            i.cycles = 2;
            i.flags = kBranch;
        }
        return i;
    default:   // shifts, add/sub, move/compare immediate, ADR, ADD SP
        return i;
    }
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

bool in_sram(uint32_t addr, uint32_t n) {
    return addr >= Core::kSramBase && uint64_t{addr} + n <= uint64_t{Core::kSramBase} + Core::kSramSize;
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void check(uc_err e, const char* what) {
    if (e != UC_ERR_OK) throw std::runtime_error(std::string("unicorn: ") + what + ": " + uc_strerror(e));
}

int uc_id(Core::Reg r) {
    static const int ids[] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,   UC_ARM_REG_R3,     UC_ARM_REG_R4,
                              UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,   UC_ARM_REG_R8,     UC_ARM_REG_R9,
                              UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12,  UC_ARM_REG_SP,     UC_ARM_REG_LR,
                              UC_ARM_REG_PC,  UC_ARM_REG_XPSR, UC_ARM_REG_MSP, UC_ARM_REG_PSP,    UC_ARM_REG_PRIMASK,
                              UC_ARM_REG_CONTROL};
    return ids[static_cast<int>(r)];
}

}  // namespace

// ---- Unicorn's callbacks ----

struct CoreHooks {
    static void block(uc_engine* uc, uint64_t address, uint32_t size, void* user) {
        Core& c = *static_cast<Core*>(user);
        const uint32_t addr = static_cast<uint32_t>(address);
        // A backward branch, or the same block again: addr may head a loop.
        const bool back = c.pend_.valid && addr <= c.pend_.start;
        if (c.pend_.valid) {
            const uint64_t n = c.pend_.info.cycles + ((c.pend_.info.flags & kCond) && addr != c.pend_.fall ? 1 : 0);
            c.charge(n);
            c.stats_.cycles += n;
            c.stats_.instructions += c.pend_.info.insns;
            if ((c.pend_.info.flags & kRecheck) && c.nvic_.highest_pending() != 0) c.attention_ = true;
            c.pend_.valid = false;
        }
        if (c.attention_ || c.cycles_ >= c.tick_at_ || tb.now >= c.until_ || tb.now >= tb.due) {
            uc_emu_stop(uc);   // the block does not run; PC stays at its start
            return;
        }
        // Under a debugger every round runs: a stop must land where it was asked.
        if (c.idle_skip_ && c.breakpoints_.empty() && c.watchpoints_.empty() && !c.stepping_) {
            if (addr == c.pass_head_) c.pass_round();
            else if (back) c.idle_round(addr);
        }
        c.pend_.info = c.block_info(addr, size);
        c.pend_.start = addr;
        c.pend_.fall = addr + size;
        c.pend_.valid = true;
        c.block_pc_ = addr;
        c.block_size_ = size;
        c.acc_ = 0;
    }

    static void mem(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
        Core& c = *static_cast<Core*>(user);
        const uint32_t index = c.acc_++;
        const uint32_t addr = static_cast<uint32_t>(address);
        const bool write = type == UC_MEM_WRITE;
        if (write) c.idle_clean_ = false;
        c.last_addr_ = addr;
        c.last_write_ = write;
        if ((addr & static_cast<uint32_t>(size - 1)) == 0) return;
        if (write && in_sram(addr, static_cast<uint32_t>(size)) && !c.mem_fault_.set) {
            // The store still happens after this hook; undo it once stopped.
            c.undo_addr_ = addr;
            c.undo_len_ = static_cast<uint32_t>(size);
            std::memcpy(c.undo_, c.host(addr, static_cast<size_t>(size)), static_cast<size_t>(size));
        }
        c.mem_fault(std::string("unaligned ") + (size == 4 ? "word " : "halfword ") + (write ? "store" : "load") +
                        " at " + hex32(addr),
                    addr, index);
    }

    static bool invalid(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t, void* user) {
        Core& c = *static_cast<Core*>(user);
        const uint32_t addr = static_cast<uint32_t>(address);
        // Unicorn calls the ordinary hook first for some invalid accesses
        // (writes) and not for others (unmapped reads).
        const bool write = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT;
        const uint32_t index = (c.acc_ > 0 && c.last_addr_ == addr && c.last_write_ == write) ? c.acc_ - 1 : c.acc_;
        switch (type) {
        case UC_MEM_FETCH_UNMAPPED:
        case UC_MEM_FETCH_PROT:
            if (!c.mem_fault_.set) {
                c.mem_fault_.set = true;
                c.mem_fault_.kind = "execution outside flash and SRAM at " + hex32(addr);
                c.mem_fault_.address = addr;
                c.mem_fault_.pc_known = true;
                c.mem_fault_.pc = addr;
            }
            return false;
        case UC_MEM_READ_UNMAPPED:
            c.mem_fault("read of unmapped address " + hex32(addr), addr, index);
            return false;
        case UC_MEM_WRITE_UNMAPPED:
            c.mem_fault("write to unmapped address " + hex32(addr), addr, index);
            return false;
        case UC_MEM_WRITE_PROT: {
            const std::string row = nvm::row_name(addr);
            c.mem_fault(addr < Core::kFlashSize ? "write to flash at " + hex32(addr)
                        : !row.empty()          ? "bus error: write to the " + row + " at " + hex32(addr) + " (read-only)"
                                                : "write to read-only memory at " + hex32(addr),
                        addr, index);
            return false;
        }
        default:
            c.mem_fault("read of protected memory at " + hex32(addr), addr, index);
            return false;
        }
    }

    static void intr(uc_engine* uc, uint32_t intno, void* user) {
        Core& c = *static_cast<Core*>(user);
        if (c.intr_ < 0) c.intr_ = static_cast<int>(intno);
        uc_emu_stop(uc);
    }

    static uint64_t mmio_read(uc_engine*, uint64_t offset, unsigned size, void* user) {
        const Core::Region& region = *static_cast<Core::Region*>(user);
        Core::Page& page = region.page(offset);
        Core& c = *region.core;
        const uint32_t addr = region.base + static_cast<uint32_t>(offset);
        if (c.mem_fault_.set || c.deferred_reset_ || c.reset_request_) return 0;
        Peripheral* p = page.find(addr, size);
        if (p == nullptr) {
            c.bus_access_fault(page, addr, size, false);
            return 0;
        }
        // A register that may change with time alone, or whose read does something: no skipping.
        if ((c.idle_clean_ || c.pass_clean_) && !p->steady_read(addr - p->base(), size))
            c.idle_clean_ = c.pass_clean_ = false;
        c.in_access_ = true;
        c.access_index_ = c.acc_ - 1;
        c.access_pc_known_ = false;
        uint32_t v = 0;
        const bool ok = p->read(addr - p->base(), size, v);
        c.in_access_ = false;
        if (!ok) {
            c.bus_access_fault(page, addr, size, false);
            return 0;
        }
        return size >= 4 ? v : v & ((1u << (8 * size)) - 1);
    }

    static void mmio_write(uc_engine* uc, uint64_t offset, unsigned size, uint64_t value, void* user) {
        const Core::Region& region = *static_cast<Core::Region*>(user);
        Core::Page& page = region.page(offset);
        Core& c = *region.core;
        const uint32_t addr = region.base + static_cast<uint32_t>(offset);
        if (c.mem_fault_.set || c.deferred_reset_ || c.reset_request_) return;
        Peripheral* p = page.find(addr, size);
        if (p == nullptr) {
            c.bus_access_fault(page, addr, size, true);
            return;
        }
        if (c.pass_clean_ && !p->idle_write(addr - p->base(), size, static_cast<uint32_t>(value))) c.pass_clean_ = false;
        c.in_access_ = true;
        c.access_index_ = c.acc_ - 1;
        c.access_pc_known_ = false;
        const bool attention_before = c.attention_;
        const bool ok = p->write(addr - p->base(), size, static_cast<uint32_t>(value));
        c.in_access_ = false;
        if (!ok) {
            c.bus_access_fault(page, addr, size, true);
            return;
        }
        if (c.attention_ && !attention_before && !c.resume_ && !c.deferred_reset_ && !c.reset_request_) {
            // An interrupt may have become pending: take it right after this
            // store, as the core would, when the store is a single access.
            const uint32_t at = c.access_pc();
            const Insn i = decode(c.fetch16(at), c.fetch16(at + 2));
            if (i.accesses == 1 && (i.flags & kStore)) {
                c.resume_ = true;
                c.resume_pc_ = at + i.len;
                uc_emu_stop(uc);
            }
        }
    }
};

// ---- construction, memory, images ----

Core::Core(Chip& chip)
    : chip_(chip), flash_(kFlashSize, 0xFF), sram_(kSramSize, 0), nvic_(chip, *this),
      flash_blocks_(kFlashSize / 2) {
    check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_), "open");
    try {
        check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M0), "CPU model");
        check(uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()), "map flash");
        check(uc_mem_map_ptr(uc_, kSramBase, kSramSize, UC_PROT_ALL, sram_.data()), "map SRAM");
        // The NVM rows: readable data, never code, never written.
        for (nvm::Row& r : nvm::rows()) {
            nvm_.push_back(std::move(r.bytes));
            check(uc_mem_map_ptr(uc_, r.base, nvm::kMappedBytes, UC_PROT_READ, nvm_.back().data()), "map NVM row");
        }
        uc_hook h;
        check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&CoreHooks::block), this, 1, 0), "block hook");
        check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&CoreHooks::mem), this,
                          1, 0),
              "access hook");
        check(uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&CoreHooks::invalid), this, 1, 0),
              "invalid access hook");
        check(uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&CoreHooks::intr), this, 1, 0), "CPU exception hook");
        // No exit addresses: only the hooks stop emulation.
        check(uc_ctl_exits_enable(uc_), "exits");
        if (const char* e = std::getenv("ZELMORA_CHIP_IDLE_SKIP")) idle_skip_ = std::strcmp(e, "0") != 0;
        map(nvic_);
        set_cpu_hz(hz_);
        do_reset();
    } catch (...) {
        uc_close(uc_);
        throw;
    }
}

Core::~Core() { uc_close(uc_); }

const uint8_t* Core::host(uint32_t addr, size_t n) const {
    if (addr < kFlashSize && addr + n <= kFlashSize) return flash_.data() + addr;
    if (in_sram(addr, static_cast<uint32_t>(n))) return sram_.data() + (addr - kSramBase);
    return nullptr;
}

uint8_t* Core::host(uint32_t addr, size_t n) {
    return const_cast<uint8_t*>(static_cast<const Core*>(this)->host(addr, n));
}

uint16_t Core::fetch16(uint32_t addr) const {
    const uint8_t* p = host(addr, 2);
    return p ? static_cast<uint16_t>(p[0] | p[1] << 8) : 0;
}

bool Core::read32(uint32_t addr, uint32_t& v) const {
    const uint8_t* p = host(addr, 4);
    if (p == nullptr) return false;
    v = le32(p);
    return true;
}

bool Core::read_memory(uint32_t addr, void* out, size_t n) const {
    const uint8_t* p = host(addr, n);
    if (p == nullptr) return false;
    std::memcpy(out, p, n);
    return true;
}

bool Core::write_memory(uint32_t addr, const void* in, size_t n) {
    uint8_t* p = host(addr, n);
    if (p == nullptr) return false;
    std::memcpy(p, in, n);
    // Code there may have been translated already.
    uc_ctl_remove_cache(uc_, addr, uint64_t{addr} + n);
    if (addr < kFlashSize) std::fill(flash_blocks_.begin(), flash_blocks_.end(), BlockInfo{});
    return true;
}

void Core::load(const Elf& image) {
    for (const Elf::Segment& s : image.segments()) {
        const uint32_t n = static_cast<uint32_t>(s.data.size());
        if (n == 0) continue;
        uint8_t* p = host(s.paddr, n);
        if (p == nullptr)
            throw std::runtime_error("image segment at " + hex32(s.paddr) + " (" + std::to_string(n) +
                                     " bytes) lies outside flash and SRAM");
        std::memcpy(p, s.data.data(), n);
    }
    image_ = image;
    // The main loop's function, called over and over: the unit of pass skipping.
    pass_head_ = image.symbol("loop").value_or(image.symbol("_Z4loopv").value_or(0));
    bss_end_ = image.symbol("__bss_end").value_or(image.symbol("_end").value_or(0));
    stack_top_ = image.symbol("__stack_top").value_or(kSramBase + kSramSize);
    painted_ = false;
    std::fill(flash_blocks_.begin(), flash_blocks_.end(), BlockInfo{});
    uc_ctl_remove_cache(uc_, kFlashBase, kFlashBase + kFlashSize);
    uc_ctl_remove_cache(uc_, kSramBase, uint64_t{kSramBase} + kSramSize);
}

void Core::map(Peripheral& p) {
    const uint64_t lo = p.base(), hi = uint64_t{p.base()} + p.size();
    if (p.size() == 0) return;
    if (lo < kFlashBase + kFlashSize || (lo < uint64_t{kSramBase} + kSramSize && hi > kSramBase))
        throw std::invalid_argument(std::string("peripheral ") + p.name() + " overlaps flash or SRAM");
    for (uint64_t a = lo & ~uint64_t{kPageSize - 1}; a < hi; a += kPageSize) {
        auto it = pages_.find(static_cast<uint32_t>(a));
        if (it == pages_.end()) {
            auto page = std::make_unique<Page>();
            page->base = static_cast<uint32_t>(a);
            it = pages_.emplace(static_cast<uint32_t>(a), std::move(page)).first;
        }
        it->second->peripherals.push_back(&p);
    }
    regions_stale_ = true;
}

// (Re)maps the peripheral pages as runs of consecutive pages.
void Core::map_regions() {
    for (const auto& r : regions_) uc_mem_unmap(uc_, r->base, r->pages.size() * kPageSize);
    regions_.clear();
    for (const auto& [base, page] : pages_) {
        if (regions_.empty() || regions_.back()->base + regions_.back()->pages.size() * kPageSize != base) {
            auto r = std::make_unique<Region>();
            r->core = this;
            r->base = base;
            regions_.push_back(std::move(r));
        }
        regions_.back()->pages.push_back(page.get());
    }
    for (const auto& r : regions_)
        check(uc_mmio_map(uc_, r->base, r->pages.size() * kPageSize, &CoreHooks::mmio_read, r.get(),
                          &CoreHooks::mmio_write, r.get()),
              "map peripherals");
    regions_stale_ = false;
}

std::string Core::symbol_at(uint32_t addr) const { return image_.symbol_at(addr); }

// ---- registers ----

uint32_t Core::read_reg(int id) const {
    uint32_t v = 0;
    uc_reg_read(uc_, id, &v);
    return v;
}

void Core::write_reg(int id, uint32_t v) { uc_reg_write(uc_, id, &v); }

uint32_t Core::reg(Reg r) const { return read_reg(uc_id(r)); }

bool Core::primask() const { return (read_reg(UC_ARM_REG_PRIMASK) & 1) != 0; }

uint32_t Core::pc() const {
    if (in_access_) return access_pc();
    return read_reg(UC_ARM_REG_PC);
}

uint32_t Core::access_pc() const {
    if (!access_pc_known_) {
        access_pc_ = pc_of_access(access_index_);
        access_pc_known_ = true;
    }
    return access_pc_;
}

// The instruction that made access number `index` of the current block.
uint32_t Core::pc_of_access(uint32_t index) const {
    uint32_t at = block_pc_;
    const uint32_t end = block_pc_ + (block_size_ ? block_size_ : 1024);
    while (at < end) {
        const Insn i = decode(fetch16(at), fetch16(at + 2));
        if (index < i.accesses) return at;
        index -= i.accesses;
        at += i.len;
    }
    return block_pc_;
}

// ---- time ----

void Core::set_cpu_hz(double hz) {
    if (!(hz > 0)) throw std::invalid_argument("CPU clock must be positive");
    hz_ = hz;
    step_ = static_cast<uint64_t>(std::llround(1e9 / hz * 4294967296.0));
    if (step_ == 0) step_ = 1;
    max_chunk_ = std::max<uint64_t>(1, (UINT64_MAX >> 1) / step_);
}

void Core::charge(uint64_t n) {
    cycles_ += n;
    while (n != 0) {
        const uint64_t k = std::min(n, max_chunk_);
        frac_ += k * step_;
        tb.now += frac_ >> 32;
        frac_ &= 0xFFFFFFFFu;
        n -= k;
    }
}

void Core::settle_full() {
    if (!pend_.valid) return;
    charge(pend_.info.cycles);
    stats_.cycles += pend_.info.cycles;
    stats_.instructions += pend_.info.insns;
    pend_.valid = false;
}

// The current block ran up to (not including) the instruction at `pc`.
void Core::settle_upto(uint32_t pc) {
    if (!pend_.valid) return;
    uint64_t n = 0, insns = 0;
    for (uint32_t at = pend_.start; at < pc && at < pend_.fall;) {
        const Insn i = decode(fetch16(at), fetch16(at + 2));
        n += i.cycles;
        ++insns;
        at += i.len;
    }
    charge(n);
    stats_.cycles += n;
    stats_.instructions += insns;
    pend_.valid = false;
}

void Core::scs_systick_changed() { tick_at_ = nvic_.systick().next_interrupt(); }

void Core::catch_up_systick() {
    if (cycles_ < tick_at_) return;
    if (nvic_.systick().advance(cycles_)) {
        nvic_.set_pending(Nvic::kSysTick);
        attention_ = true;
    }
    tick_at_ = nvic_.systick().next_interrupt();
}

// ---- blocks ----

Core::BlockInfo Core::decode_block(uint32_t addr, uint32_t size) const {
    BlockInfo b;
    uint32_t at = addr;
    const uint32_t end = size ? addr + size : (addr | (kPageSize - 1)) + 1;
    unsigned cycles = 0, insns = 0;
    Insn i;
    while (at < end) {
        i = decode(fetch16(at), fetch16(at + 2));
        cycles += i.cycles;
        ++insns;
        b.flags |= i.flags & kRecheck;
        at += i.len;
        if (size == 0 && (i.flags & kBranch)) break;
    }
    if (i.flags & kCond) b.flags |= kCond;
    b.size = static_cast<uint16_t>(at - addr);
    b.cycles = static_cast<uint16_t>(std::min(cycles, 0xFFFFu));
    b.insns = static_cast<uint16_t>(std::min(insns, 0xFFFFu));
    return b;
}

const Core::BlockInfo& Core::block_info(uint32_t addr, uint32_t size) {
    if (addr < kFlashSize && size != 0) {
        BlockInfo& b = flash_blocks_[addr >> 1];
        if (b.size != size) b = decode_block(addr, size);
        return b;
    }
    // Code in SRAM may change under the same address: decoded every time.
    scratch_block_ = decode_block(addr, size);
    return scratch_block_;
}

// ---- idle loops ----

void Core::read_idle_state(uint32_t* out) const {
    static int ids[kIdleRegs] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3,   UC_ARM_REG_R4,
                                 UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,  UC_ARM_REG_R8,   UC_ARM_REG_R9,
                                 UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_MSP,  UC_ARM_REG_PSP,
                                 UC_ARM_REG_LR,  UC_ARM_REG_XPSR, UC_ARM_REG_PRIMASK, UC_ARM_REG_CONTROL};
    void* vals[kIdleRegs];
    for (int k = 0; k < kIdleRegs; ++k) {
        out[k] = 0;
        vals[k] = &out[k];
    }
    uc_reg_read_batch(uc_, ids, vals, kIdleRegs);
}

// At a block reached by a backward branch. A round from `head` back to it
// that stored nothing, read no peripheral and took no exception, ending
// with the registers it started with, read only memory it left as it was:
// the next round does the same, and so on until an interrupt or a device
// event changes something. Whole rounds that end before the next of those
// are skipped; the round the event falls in runs, so the core stops where
// it would have. True when rounds were skipped.
bool Core::idle_round(uint32_t head) {
    if (!idle_head_ || idle_at_ != head) {
        idle_head_ = true;
        idle_at_ = head;
        idle_regs_ = false;
        idle_clean_ = true;
        idle_wait_ = idle_backoff_ = 0;
        return false;
    }
    if (idle_wait_ > 0) {
        // A loop whose registers change (a scan, a count) is looked at again
        // less and less often: reading them costs more than a short round.
        --idle_wait_;
        idle_regs_ = false;
        idle_clean_ = true;
        return false;
    }
    if (!idle_clean_) {
        idle_regs_ = false;   // registers are read only after a clean round
        idle_clean_ = true;
        return false;
    }
    uint32_t now[kIdleRegs];
    read_idle_state(now);
    const bool was_regs = idle_regs_;
    const bool same = idle_regs_ && std::memcmp(now, idle_state_, sizeof now) == 0;
    const uint64_t round = cycles_ - idle_cycles_at_, insns = stats_.instructions - idle_insns_at_;
    std::memcpy(idle_state_, now, sizeof now);
    idle_regs_ = true;
    idle_clean_ = true;
    idle_cycles_at_ = cycles_;
    idle_insns_at_ = stats_.instructions;
    if (!same) {
        if (was_regs) {
            idle_backoff_ = std::min<uint32_t>(idle_backoff_ * 2 + 1, 255);
            idle_wait_ = idle_backoff_;
        }
        return false;
    }
    if (!skip_rounds(round, insns)) return false;
    idle_cycles_at_ = cycles_;
    idle_insns_at_ = stats_.instructions;
    return true;
}

// Whole rounds of `round` cycles that end before the next interrupt, device
// event or the caller's limit, counted as run. False when not one fits.
bool Core::skip_rounds(uint64_t round, uint64_t insns) {
    if (round == 0) return false;
    const zplat::vtime limit = std::min(until_, tb.due);
    uint64_t n = limit == zplat::kNever ? kNeverCycle : cycles_to(limit);
    if (tick_at_ != kNeverCycle) n = std::min(n, tick_at_ - cycles_);   // the hook saw cycles_ < tick_at_
    if (n == kNeverCycle || n <= round) return false;
    // k rounds leave at least a cycle before the event.
    const uint64_t k = (n - 1) / round;
    charge(k * round);
    stats_.cycles += k * round;
    stats_.idle_cycles += k * round;
    stats_.instructions += k * insns;
    return true;
}

void Core::forget_rounds() {
    idle_head_ = false;
    pass_valid_ = false;
    pass_clean_ = false;
}

// At the main loop's entry. A pass that took no exception, read only steady
// registers and wrote none to effect, and came back to the entry with the
// registers and the whole of SRAM as it found them, would run the same way
// again, and so on until an interrupt or a device event: whole passes before
// that are skipped, the pass the event falls in runs.
bool Core::pass_round() {
    uint32_t now[kIdleRegs];
    read_idle_state(now);
    const uint32_t top = std::min(stack_top_, kSramBase + kSramSize);
    const size_t n = top > kSramBase ? top - kSramBase : 0;
    if (pass_valid_ && pass_clean_ && std::memcmp(now, pass_regs_, sizeof now) == 0 &&
        std::memcmp(sram_.data(), pass_ram_.data(), n) == 0) {
        const bool skipped = skip_rounds(cycles_ - pass_cycles_at_, stats_.instructions - pass_insns_at_);
        if (skipped) {
            pass_cycles_at_ = cycles_;
            pass_insns_at_ = stats_.instructions;
        }
        return skipped;
    }
    std::memcpy(pass_regs_, now, sizeof now);
    pass_ram_.assign(sram_.begin(), sram_.begin() + static_cast<std::ptrdiff_t>(n));
    pass_cycles_at_ = cycles_;
    pass_insns_at_ = stats_.instructions;
    pass_valid_ = pass_clean_ = true;
    return false;
}

// ---- faults ----

void Core::mem_fault(const std::string& kind, uint32_t address, uint32_t access_index) {
    if (!mem_fault_.set) {
        mem_fault_.set = true;
        mem_fault_.kind = kind;
        mem_fault_.address = address;
        mem_fault_.pc_known = false;
        mem_fault_.access = access_index;
    }
    uc_emu_stop(uc_);
}

void Core::bus_access_fault(Page& page, uint32_t addr, unsigned size, bool write) {
    const Peripheral* p = page.find(addr, size);
    std::string kind = "bus error: ";
    kind += std::to_string(size) + "-byte " + (write ? "write to " : "read of ") + hex32(addr);
    if (p != nullptr) {
        char off[16];
        std::snprintf(off, sizeof off, "0x%X", addr - p->base());
        kind += std::string(" (") + p->name() + " offset " + off + ")";
        const std::string why = p->refusal(addr - p->base(), size, write);
        if (!why.empty()) kind += ": " + why;
    } else {
        kind += " (no peripheral there)";
    }
    mem_fault(kind, addr, acc_ - 1);
}

void Core::lockup(const std::string& kind, uint32_t pc, uint32_t address) {
    // ARMv6-M ARM, "Unrecoverable exception cases": a fault at the
    // priority of HardFault or NMI locks the core up until reset.
    fault_ = Fault{};
    fault_.kind = "lockup: " + kind;
    fault_.pc = pc;
    fault_.lr = read_reg(UC_ARM_REG_LR);
    fault_.sp = read_reg(UC_ARM_REG_SP);
    fault_.address = address;
    fault_.lockup = true;
    const int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR};
    for (int k = 0; k < 6; ++k) fault_.frame[k] = read_reg(ids[k]);
    fault_.frame[6] = pc;
    fault_.frame[7] = read_reg(UC_ARM_REG_XPSR);
    has_fault_ = true;
    new_fault_ = true;
    locked_ = true;
    sleeping_ = false;
    write_reg(UC_ARM_REG_PC, 0xFFFFFFFEu);
}

// A synchronous fault at `pc` (the instruction did not complete): HardFault.
void Core::raise_fault(const std::string& kind, uint32_t pc, uint32_t address) {
    const unsigned current = static_cast<unsigned>(read_reg(UC_ARM_REG_IPSR) & 0x1FF);
    if (current == Nvic::kHardFault || current == Nvic::kNmi) {
        lockup(kind + (current == Nvic::kNmi ? " in the NMI handler" : " in the HardFault handler"), pc, address);
        return;
    }
    Fault f;
    f.kind = kind;
    f.pc = pc;
    f.lr = read_reg(UC_ARM_REG_LR);
    f.sp = read_reg(UC_ARM_REG_SP);
    f.address = address;
    fault_ = f;
    has_fault_ = true;
    new_fault_ = true;
    sleeping_ = false;
    if (!enter_exception(Nvic::kHardFault, pc)) return;   // locked up instead
    fault_.frame_at = last_frame_;
    fault_.stacked = true;
    for (int k = 0; k < 8; ++k) read32(last_frame_ + 4 * k, fault_.frame[k]);
}

std::string Core::describe_fault() const {
    if (!has_fault_) return "no fault\n";
    const Fault& f = fault_;
    std::string s = (f.lockup ? "LOCKUP: " : "HardFault: ") + f.kind + "\n";
    auto line = [&](const char* name, uint32_t v) {
        s += std::string("  ") + name + " " + hex32(v);
        const std::string sym = symbol_at(v & ~1u);
        if (!sym.empty()) s += "  " + sym;
        s += "\n";
    };
    line("PC", f.pc);
    line("LR", f.lr);
    s += "  SP " + hex32(f.sp) + "\n";
    if (f.address != 0) line("address", f.address);
    static const char* names[8] = {"R0", "R1", "R2", "R3", "R12", "LR", "PC", "xPSR"};
    s += f.stacked ? "  stacked frame at " + hex32(f.frame_at) + ":\n" : "  registers (not stacked):\n";
    for (int k = 0; k < 8; ++k) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "    %-4s 0x%08X", names[k], f.frame[k]);
        s += buf;
        if (k == 5 || k == 6) {
            const std::string sym = symbol_at(f.frame[k] & ~1u);
            if (!sym.empty()) s += "  " + sym;
        }
        s += "\n";
    }
    if (bss_end_ != 0 && painted_) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "  stack: deepest 0x%08X, %u bytes above .bss\n", stack_high_water(),
                      stack_headroom());
        s += buf;
    }
    return s;
}

// ---- exceptions ----

// ARMv6-M ARM, "Exception entry behavior": push R0-R3, R12, LR, the
// return address and xPSR on the current stack (8-byte aligned, xPSR bit 9
// telling), then Handler mode on MSP, LR = EXC_RETURN, PC from the vector.
// False when it locked up instead.
bool Core::enter_exception(unsigned n, uint32_t return_pc) {
    static const int ids[] = {UC_ARM_REG_R0,   UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3,     UC_ARM_REG_R12,
                              UC_ARM_REG_LR,   UC_ARM_REG_XPSR, UC_ARM_REG_MSP, UC_ARM_REG_PSP,   UC_ARM_REG_CONTROL};
    uint32_t v[10];
    void* ptrs[10];
    for (int k = 0; k < 10; ++k) ptrs[k] = &v[k];
    uc_reg_read_batch(uc_, const_cast<int*>(ids), ptrs, 10);
    const uint32_t xpsr = v[6], msp = v[7], psp = v[8], control = v[9];
    const unsigned current = xpsr & 0x1FF;
    const bool thread = current == 0;
    const bool on_psp = thread && (control & 2);
    const uint32_t sp = on_psp ? psp : msp;
    const bool pad = (sp & 4) != 0;
    const uint32_t frame = (sp - 32) & ~7u;

    if (n != Nvic::kHardFault && !on_psp && bss_end_ != 0 && frame < bss_end_ && frame >= kSramBase) {
        // The main stack ran into .bss: the frame would overwrite static data.
        raise_fault("stack overflow: SP " + hex32(sp) + " would stack exception " + std::to_string(n) +
                        " below the end of .bss " + hex32(bss_end_),
                    return_pc);
        return false;
    }
    if (!in_sram(frame, 32)) {
        if (n == Nvic::kHardFault || current == Nvic::kHardFault || current == Nvic::kNmi) {
            lockup("stacking exception " + std::to_string(n) + " at SP " + hex32(sp) + " outside SRAM", return_pc, frame);
        } else {
            raise_fault("stacking exception " + std::to_string(n) + " at SP " + hex32(sp) + " outside SRAM", return_pc,
                        frame);
        }
        return false;
    }
    uint32_t vector = 0;
    const uint32_t vaddr = nvic_.vtor() + 4 * n;
    if (!read32(vaddr, vector) || !(vector & 1)) {
        const std::string what = "vector " + std::to_string(n) + " at " + hex32(vaddr) +
                                 (host(vaddr, 4) ? " has no Thumb bit (" + hex32(vector) + ")" : " unreadable");
        if (n == Nvic::kHardFault || current == Nvic::kHardFault || current == Nvic::kNmi) {
            lockup(what, return_pc, vaddr);
        } else {
            raise_fault(what, return_pc, vaddr);
        }
        return false;
    }

    uint8_t* f = host(frame, 32);
    put32(f + 0, v[0]);
    put32(f + 4, v[1]);
    put32(f + 8, v[2]);
    put32(f + 12, v[3]);
    put32(f + 16, v[4]);
    put32(f + 20, v[5]);
    put32(f + 24, return_pc & ~1u);
    put32(f + 28, (xpsr & ~kXpsrAlign) | (pad ? kXpsrAlign : 0));

    const uint32_t exc_return = !thread ? kExcReturnHandler : (on_psp ? kExcReturnThreadPsp : kExcReturnThreadMsp);
    if (on_psp) write_reg(UC_ARM_REG_CONTROL, control & ~2u);   // Thread mode still: SP becomes MSP
    write_reg(UC_ARM_REG_XPSR, (xpsr & 0xF0000000u) | kXpsrT | n);
    if (on_psp) {
        write_reg(UC_ARM_REG_PSP, frame);
        write_reg(UC_ARM_REG_MSP, msp);
    } else {
        write_reg(UC_ARM_REG_MSP, frame);
    }
    write_reg(UC_ARM_REG_LR, exc_return);
    write_reg(UC_ARM_REG_PC, vector | 1u);
    last_frame_ = frame;
    forget_rounds();

    nvic_.activate(n);
    nvic_.set_current(n);
    ++stats_.taken[n];
    entry_cycle_[n] = cycles_;
    charge(kEntryCycles);
    stats_.cycles += kEntryCycles;
    sleeping_ = false;
    attention_ = true;
    return true;
}

// ARMv6-M ARM, "Exception return behavior". No tail-chaining: a pending
// exception is taken after the return, costing both.
void Core::exception_return(uint32_t exc_return) {
    const uint32_t xpsr_now = read_reg(UC_ARM_REG_XPSR);
    const unsigned n = xpsr_now & 0x1FF;
    if (n == 0) {
        // Thread mode: an ordinary branch into the execute-never system region.
        raise_fault("execution outside flash and SRAM at " + hex32(exc_return & ~1u) + " (EXC_RETURN value in Thread mode)",
                    exc_return & ~1u);
        return;
    }
    if (exc_return != kExcReturnHandler && exc_return != kExcReturnThreadMsp && exc_return != kExcReturnThreadPsp) {
        raise_fault("invalid EXC_RETURN " + hex32(exc_return), exc_return & ~1u);
        return;
    }
    const bool to_thread = exc_return != kExcReturnHandler;
    const unsigned others = nvic_.active_count() - (nvic_.active(n) ? 1 : 0);
    if (to_thread != (others == 0)) {
        raise_fault(std::string("EXC_RETURN ") + hex32(exc_return) +
                        (to_thread ? " to Thread mode with other exceptions active" : " to Handler mode with no exception active"),
                    exc_return & ~1u);
        return;
    }
    const bool psp = exc_return == kExcReturnThreadPsp;
    const uint32_t sp = read_reg(psp ? UC_ARM_REG_PSP : UC_ARM_REG_MSP);
    const uint8_t* f = host(sp, 32);
    if (f == nullptr || (sp & 3) != 0) {
        raise_fault("unstacking at SP " + hex32(sp) + " outside SRAM", exc_return & ~1u, sp);
        return;
    }
    uint32_t w[8];
    for (int k = 0; k < 8; ++k) w[k] = le32(f + 4 * k);

    forget_rounds();
    charge(kReturnCycles);
    stats_.cycles += kReturnCycles;
    nvic_.deactivate(n);
    const uint64_t took = cycles_ - entry_cycle_[n];
    if (took > stats_.longest_cycles[n]) stats_.longest_cycles[n] = took;

    const uint32_t new_sp = sp + 32 + ((w[7] & kXpsrAlign) ? 4 : 0);
    static const int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR};
    for (int k = 0; k < 6; ++k) write_reg(ids[k], w[k]);
    const uint32_t control = read_reg(UC_ARM_REG_CONTROL);
    write_reg(UC_ARM_REG_CONTROL, psp ? (control | 2u) : (control & ~2u));
    // Thread mode has IPSR 0 whatever the frame says.
    write_reg(UC_ARM_REG_XPSR, (w[7] & ~kXpsrAlign) & (to_thread ? ~0x1FFu : ~0u));
    if (psp) {
        write_reg(UC_ARM_REG_PSP, new_sp);
    } else {
        write_reg(UC_ARM_REG_MSP, new_sp);
    }
    nvic_.set_current(to_thread ? 0 : (w[7] & 0x1FF));
    attention_ = true;   // the execution priority fell
    if (!(w[7] & kXpsrT)) {
        // The return address runs without the Thumb bit: INVSTATE there.
        write_reg(UC_ARM_REG_PC, w[6] & ~1u);
        raise_fault("return to " + hex32(w[6]) + " with xPSR.T clear (INVSTATE)", w[6] & ~1u);
        return;
    }
    write_reg(UC_ARM_REG_PC, (w[6] & ~1u) | 1u);
    if (to_thread && nvic_.sleep_on_exit()) sleeping_ = true;
}

// ---- reset, interrupts, stack ----

void Core::reset() {
    if (in_emu_) {
        deferred_reset_ = true;
        uc_emu_stop(uc_);
        return;
    }
    do_reset();
}

void Core::do_reset() {
    nvic_.reset();
    tick_at_ = kNeverCycle;
    pend_ = Pending{};
    attention_ = false;
    sleeping_ = false;
    locked_ = false;
    reset_request_ = false;
    deferred_reset_ = false;
    resume_ = false;
    intr_ = -1;
    mem_fault_ = MemFault{};
    new_fault_ = false;
    has_fault_ = false;
    fault_ = Fault{};
    forget_rounds();
    for (int r = UC_ARM_REG_R0; r <= UC_ARM_REG_R12; ++r) write_reg(r, 0);
    // ARMv6-M ARM, "Reset behavior": Thread mode, MSP from word 0, PC from word 1.
    uint32_t sp = 0, entry = 0;
    read32(0, sp);
    read32(4, entry);
    write_reg(UC_ARM_REG_PRIMASK, 0);
    write_reg(UC_ARM_REG_CONTROL, 0);
    write_reg(UC_ARM_REG_XPSR, kXpsrT);
    write_reg(UC_ARM_REG_PSP, 0);
    write_reg(UC_ARM_REG_MSP, sp & ~3u);
    write_reg(UC_ARM_REG_LR, 0xFFFFFFFFu);
    // An entry without its Thumb bit faults on its first instruction (INVSTATE).
    write_reg(UC_ARM_REG_PC, entry);
}

void Core::set_irq(uint8_t line, bool raised) {
    if (line >= 32) throw std::out_of_range("NVIC line " + std::to_string(line));
    if (nvic_.set_line(line, raised)) attention_ = true;
}

void Core::scs_reset_request() {
    reset_request_ = true;
    uc_emu_stop(uc_);
}

void Core::paint_stack() {
    if (bss_end_ == 0) return;
    const uint32_t sp = read_reg(UC_ARM_REG_SP);
    const uint32_t top = std::min(stack_top_, sp >= bss_end_ && in_sram(sp - 1, 1) ? sp : stack_top_);
    uint8_t buf[4];
    put32(buf, kStackPaint);
    for (uint32_t a = (bss_end_ + 3) & ~3u; a + 4 <= top; a += 4)
        if (uint8_t* p = host(a, 4)) std::memcpy(p, buf, 4);
    painted_ = true;
}

uint32_t Core::stack_high_water() const {
    if (!painted_ || bss_end_ == 0) return 0;
    for (uint32_t a = (bss_end_ + 3) & ~3u; a + 4 <= stack_top_; a += 4) {
        const uint8_t* p = host(a, 4);
        if (p == nullptr || le32(p) != kStackPaint) return a;
    }
    return stack_top_;
}

uint32_t Core::stack_headroom() const {
    const uint32_t hw = stack_high_water();
    return hw > bss_end_ ? hw - bss_end_ : 0;
}

// ---- running ----

// Cycles until tb.now reaches t.
uint64_t Core::cycles_to(zplat::vtime t) const {
    if (t <= tb.now) return 0;
    const long double need = static_cast<long double>(t - tb.now) * 4294967296.0L - static_cast<long double>(frac_);
    const long double n = std::ceil(need / static_cast<long double>(step_));
    if (n >= 1.8e19L) return kNeverCycle - 1;
    return n < 1 ? 1 : static_cast<uint64_t>(n);
}

// The core sleeps (WFI, sleep-on-exit) or is locked up: the clock runs on
// to the next thing that can change that, or to the caller's limit.
void Core::sleep_until_event() {
    const zplat::vtime limit = std::min(until_, tb.due);
    uint64_t n = limit == zplat::kNever ? kNeverCycle : cycles_to(limit);
    if (!locked_ && tick_at_ != kNeverCycle) n = std::min(n, tick_at_ > cycles_ ? tick_at_ - cycles_ : 1);
    if (n == kNeverCycle) return;   // nothing will ever happen
    charge(n);
    stats_.sleep_cycles += n;
    // Rounding may leave it a cycle short of the limit.
    while (limit != zplat::kNever && tb.now < limit && (locked_ || cycles_ < tick_at_)) {
        charge(1);
        ++stats_.sleep_cycles;
    }
}

void Core::skip_to(zplat::vtime t) {
    if (t <= tb.now) return;
    const uint64_t n = cycles_to(t);
    charge(n);
    stats_.sleep_cycles += n;
}

Core::Stop Core::finish(Stop s) {
    // The main stack must not have run into .bss (checked whenever run stops).
    if (s != Stop::Fault && !locked_ && bss_end_ != 0) {
        const uint32_t sp = read_reg(UC_ARM_REG_MSP);
        if (sp < bss_end_ && sp >= kSramBase) {
            raise_fault("stack overflow: SP " + hex32(sp) + " below the end of .bss " + hex32(bss_end_),
                        read_reg(UC_ARM_REG_PC));
            new_fault_ = false;
            return Stop::Fault;
        }
    }
    return s;
}

Core::Stop Core::run(zplat::vtime until) {
    until_ = until;
    for (;;) {
        if (reset_request_ || deferred_reset_) return handle_reset();
        if (new_fault_) {
            new_fault_ = false;
            return Stop::Fault;
        }
        if (locked_) {
            if (tb.now < until_ && tb.now < tb.due) sleep_until_event();
            return tb.now >= tb.due ? Stop::Due : Stop::Until;
        }
        if (watch_hit_) {
            watch_hit_ = false;
            halt_ = watch_halt_;
            return finish(Stop::Halt);
        }
        catch_up_systick();
        if (sleeping_ && nvic_.preempting(false) != 0) sleeping_ = false;   // WFI wakes whatever PRIMASK says
        if (attention_ && !sleeping_) {
            attention_ = false;
            const unsigned n = nvic_.preempting(primask());
            if (n != 0) {
                enter_exception(n, read_reg(UC_ARM_REG_PC));
                if (stepping_ && end_step() == Stop::Halt) return finish(Stop::Halt);   // the entry is the step
                continue;
            }
        }
        if (tb.now >= tb.due) return finish(Stop::Due);
        if (tb.now >= until_) return finish(Stop::Until);
        if (sleeping_ && stepping_ && step_count_ > 0 && end_step() == Stop::Halt) return finish(Stop::Halt);   // stepped into WFI
        if (sleeping_) {
            const uint64_t before = cycles_;
            sleep_until_event();
            if (cycles_ == before) return finish(Stop::Until);   // nothing can wake it, no limit
            continue;
        }

        if (regions_stale_) map_regions();
        intr_ = -1;
        mem_fault_ = MemFault{};
        resume_ = false;
        undo_len_ = 0;
        const uint32_t pc = read_reg(UC_ARM_REG_PC);
        const bool thumb = (read_reg(UC_ARM_REG_XPSR) & kXpsrT) != 0;
        forget_rounds();   // the world may have changed while stopped
        in_emu_ = true;
        const uc_err err = uc_emu_start(uc_, thumb ? (pc | 1u) : pc, 0, 0, 0);
        in_emu_ = false;
        if ((stepping_ || !breakpoints_.empty()) && halt_after_emulation(err)) return finish(Stop::Halt);
        Stop stop = Stop::Until;
        if (after_emulation(err, stop)) return stop;
        if (stepping_ && intr_ == kExcpExceptionExit) {   // the return is the step
            if (end_step() == Stop::Halt) return finish(Stop::Halt);
        }
    }
}

Core::Stop Core::handle_reset() {
    settle_full();
    if (reset_request_) {
        reset_request_ = false;
        chip_.system_reset("SYSRESETREQ");   // the chip resets the core and the peripherals
    } else {
        do_reset();
    }
    return Stop::Reset;
}

// Why emulation stopped, and what follows: true when run() returns `stop`.
bool Core::after_emulation(int err, Stop& stop) {
    if (deferred_reset_ || reset_request_) {
        stop = handle_reset();
        return true;
    }
    if (mem_fault_.set) {
        const uint32_t at = mem_fault_.pc_known ? mem_fault_.pc : pc_of_access(mem_fault_.access);
        if (mem_fault_.pc_known) {
            settle_full();
        } else {
            settle_upto(at);
        }
        if (undo_len_ != 0) std::memcpy(host(undo_addr_, undo_len_), undo_, undo_len_);
        raise_fault(mem_fault_.kind, at, mem_fault_.address);
        return false;
    }
    if (intr_ >= 0) {
        const uint32_t pc = read_reg(UC_ARM_REG_PC);
        switch (intr_) {
        case kExcpExceptionExit:
            settle_full();
            exception_return(pc | 1u);
            break;
        case kExcpSwi: {
            // SVC is synchronous: taken now, or escalated to HardFault
            // (ARMv6-M ARM, "Exception priorities and preemption").
            settle_full();
            if (nvic_.priority(Nvic::kSvCall) < nvic_.execution_priority(primask())) {
                nvic_.set_pending(Nvic::kSvCall);
                attention_ = true;
            } else {
                raise_fault("SVC while SVCall cannot preempt (escalated)", (pc - 2) & ~1u);
            }
            break;
        }
        case kExcpBkpt:
            settle_upto(pc);
            raise_fault("BKPT without a debugger", pc);
            break;
        case kExcpPrefetchAbort:
            settle_full();
            raise_fault("execution outside flash and SRAM at " + hex32(pc), pc);
            break;
        default:
            settle_full();
            raise_fault("CPU exception " + std::to_string(intr_) + " from the emulator", pc);
            break;
        }
        return false;
    }
    if (resume_) {
        settle_upto(resume_pc_);
        write_reg(UC_ARM_REG_PC, resume_pc_ | 1u);
        return false;
    }
    const uint32_t pc = read_reg(UC_ARM_REG_PC);
    if (err == UC_ERR_INSN_INVALID) {
        if (!(read_reg(UC_ARM_REG_XPSR) & kXpsrT)) {
            pend_.valid = false;   // the block at the target never ran
            raise_fault("jump to a non-Thumb address " + hex32(pc) + " (INVSTATE)", pc);
            return false;
        }
        const uint16_t prev = fetch16(pc - 2);
        if (prev == kWfe || prev == kYield) {
            settle_upto(pc);   // a hint: nothing to wait for here
            return false;
        }
        settle_upto(pc);
        char what[64];
        std::snprintf(what, sizeof what, "undefined instruction 0x%04X", fetch16(pc));
        raise_fault(what, pc);
        return false;
    }
    if (err != UC_ERR_OK) {
        settle_full();
        raise_fault(std::string("emulator stopped: ") + uc_strerror(static_cast<uc_err>(err)), pc);
        return false;
    }
    if (pend_.valid && fetch16(pc - 2) == kWfi && pc == pend_.fall) {
        settle_full();
        sleeping_ = true;   // ARMv6-M ARM, "Wait For Interrupt"
        return false;
    }
    // Stopped by the block hook: time is up, SysTick is due or an exception
    // may be pending. The loop in run() sorts it out.
    return false;
}

// ---- the debugger's hooks ----
//
// Breakpoints and steps are Unicorn's exits: translation stops before an
// exit address and emulation returns there, with nothing to pay while none
// is set. (Unicorn's code hooks are no use here: with one registered, its
// PC synchronisation drops the Thumb state on this CPU model.) A step sets
// exits on every address the instruction can go on to. Watchpoints are
// memory hooks on their range; a hit stops emulation at the next block
// boundary, so the halt comes after the access, at the latest at the end of
// its translation block.

struct Core::WatchHook {
    Core* core = nullptr;
    uint32_t addr = 0, len = 0;
    Watch kind = kWatchWrite;
    uc_hook hook = 0;
};

struct DebugHooks {
    static void watch(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
        const Core::WatchHook& w = *static_cast<Core::WatchHook*>(user);
        Core& c = *w.core;
        const uint64_t lo = address, hi = address + static_cast<uint64_t>(size);
        if (hi <= w.addr || lo >= uint64_t{w.addr} + w.len) return;
        const bool write = type == UC_MEM_WRITE;
        if (!(w.kind & (write ? Core::kWatchWrite : Core::kWatchRead)) || c.watch_hit_) return;
        c.watch_hit_ = true;
        c.watch_halt_ = Core::Halt{Core::Halt::kWatch, std::max(static_cast<uint32_t>(lo), w.addr), w.kind};
        c.attention_ = true;   // the block hook stops at the next block
    }
};

namespace {

int32_t sext(uint32_t v, unsigned bits) {
    const uint32_t m = 1u << (bits - 1);
    return static_cast<int32_t>((v ^ m) - m);
}

}  // namespace

// Where the instruction at pc can go on to: the next one, and a branch's
// target (ARMv6-M ARM, "Thumb instruction set encoding").
std::vector<uint32_t> Core::next_pcs(uint32_t pc) const {
    const uint16_t h = fetch16(pc), h2 = fetch16(pc + 2);
    const Insn i = decode(h, h2);
    std::vector<uint32_t> out{pc + i.len};
    auto reg = [this](unsigned r) { return r == 15 ? 0u : read_reg(uc_id(static_cast<Reg>(r))); };
    if ((h & 0xF000) == 0xD000 && ((h >> 8) & 0xF) < 0xE) {
        out.push_back(pc + 4 + static_cast<uint32_t>(sext(h & 0xFF, 8) * 2));
    } else if ((h & 0xF800) == 0xE000) {
        out.push_back(pc + 4 + static_cast<uint32_t>(sext(h & 0x7FF, 11) * 2));
    } else if (i.len == 4 && (h & 0xF800) == 0xF000 && (h2 & 0xD000) == 0xD000) {   // BL
        const uint32_t s = (h >> 10) & 1, j1 = (h2 >> 13) & 1, j2 = (h2 >> 11) & 1;
        const uint32_t imm = s << 24 | (!(j1 ^ s)) << 23 | (!(j2 ^ s)) << 22 | (h & 0x3FFu) << 12 | (h2 & 0x7FFu) << 1;
        out.push_back(pc + 4 + static_cast<uint32_t>(sext(imm, 25)));
    } else if ((h & 0xFF00) == 0x4700) {   // BX, BLX register
        out.push_back(reg((h >> 3) & 0xF) & ~1u);
    } else if ((h & 0xFC00) == 0x4400 && ((h & 7) | ((h >> 4) & 8)) == 15) {   // ADD, MOV to PC
        const uint32_t rm = reg((h >> 3) & 0xF);
        out.push_back((((h >> 8) & 3) == 0 ? pc + 4 + rm : rm) & ~1u);
    } else if ((h & 0xFF00) == 0xBD00) {   // POP {.., PC}
        const unsigned n = static_cast<unsigned>(__builtin_popcount(h & 0xFF));
        uint32_t v = 0;
        if (read32(read_reg(UC_ARM_REG_SP) + 4 * n, v)) out.push_back(v & ~1u);
    }
    return out;
}

void Core::apply_exits() {
    std::vector<uint64_t> e;
    for (uint32_t a : breakpoints_)
        if (!(skip_set_ && a == skip_pc_)) e.push_back(a);
    for (uint32_t a : step_exits_) e.push_back(a);
    uc_ctl_set_exits(uc_, e.data(), e.size());
    uc_ctl_remove_cache(uc_, Core::kFlashBase, Core::kFlashBase + Core::kFlashSize);
    uc_ctl_remove_cache(uc_, Core::kSramBase, uint64_t{Core::kSramBase} + Core::kSramSize);
}

void Core::set_breakpoint(uint32_t addr, bool on) {
    addr &= ~1u;
    if (on == (breakpoints_.count(addr) != 0)) return;
    if (on) {
        breakpoints_.insert(addr);
    } else {
        breakpoints_.erase(addr);
    }
    apply_exits();
}

void Core::set_watchpoint(uint32_t addr, uint32_t len, Watch kind, bool on) {
    if (len == 0) return;
    if (on) {
        auto w = std::make_unique<WatchHook>();
        w->core = this;
        w->addr = addr;
        w->len = len;
        w->kind = kind;
        // An access starting below the range may still reach into it.
        const uint64_t lo = addr >= 3 ? addr - 3 : 0, hi = uint64_t{addr} + len - 1;
        const int type = (kind & kWatchWrite ? UC_HOOK_MEM_WRITE : 0) | (kind & kWatchRead ? UC_HOOK_MEM_READ : 0);
        check(uc_hook_add(uc_, &w->hook, type, reinterpret_cast<void*>(&DebugHooks::watch), w.get(), lo, hi),
              "watchpoint");
        watchpoints_.push_back(std::move(w));
        return;
    }
    for (auto it = watchpoints_.begin(); it != watchpoints_.end(); ++it) {
        if ((*it)->addr != addr || (*it)->len != len || (*it)->kind != kind) continue;
        uc_hook_del(uc_, (*it)->hook);
        watchpoints_.erase(it);
        break;
    }
    if (watchpoints_.empty()) watch_hit_ = false;
}

void Core::step() {
    const uint32_t pc = read_reg(UC_ARM_REG_PC) & ~1u;
    stepping_ = true;
    step_count_ = 0;
    step_exits_ = next_pcs(pc);
    skip_set_ = true;   // the instruction at the PC runs, breakpoint or not
    skip_pc_ = pc;
    halt_ = Halt{};
    apply_exits();
}

void Core::resume() {
    const uint32_t pc = read_reg(UC_ARM_REG_PC) & ~1u;
    halt_ = Halt{};
    if (breakpoints_.count(pc) == 0) return;
    // Past the breakpoint first, one instruction, then on.
    step();
    step_resume_ = true;
}

Core::Stop Core::end_step() {
    stepping_ = false;
    step_count_ = 0;
    step_exits_.clear();
    skip_set_ = false;
    apply_exits();
    const uint32_t pc = read_reg(UC_ARM_REG_PC) & ~1u;
    halt_ = Halt{Halt::kStep, pc, kWatchWrite};
    if (step_resume_) {
        step_resume_ = false;
        halt_ = Halt{};
        return Stop::Until;   // not a halt: run() goes on
    }
    return Stop::Halt;
}

// Emulation returned at an exit (a breakpoint, a step's end): true when
// run() returns Halt.
bool Core::halt_after_emulation(int err) {
    if (stepping_) step_count_ = 1;
    if (err != UC_ERR_OK || mem_fault_.set || intr_ >= 0 || resume_ || deferred_reset_ || reset_request_) return false;
    const uint32_t pc = read_reg(UC_ARM_REG_PC) & ~1u;
    if (stepping_) {
        if (fetch16(pc - 2) == kWfi && pc == pend_.fall) return false;   // WFI: asleep first, then the step ends
        if (std::find(step_exits_.begin(), step_exits_.end(), pc) == step_exits_.end()) return false;
        settle_full();
        return end_step() == Stop::Halt;
    }
    if (breakpoints_.count(pc) == 0) return false;
    settle_full();
    halt_ = Halt{Halt::kBreak, pc, kWatchWrite};
    return true;
}

bool Core::debug_access(uint32_t addr, uint8_t* data, size_t n, bool write) {
    if (n == 0) return true;
    if (host(addr, n) != nullptr) {
        if (write) return write_memory(addr, data, n);
        return read_memory(addr, data, n);
    }
    if (pages_.count(addr & ~(kPageSize - 1)) != 0) {
        // The widest access alignment and length allow, as the debug port makes.
        const unsigned w = (addr % 4 == 0 && n % 4 == 0) ? 4 : (addr % 2 == 0 && n % 2 == 0) ? 2 : 1;
        for (size_t k = 0; k < n; k += w) {
            const uint32_t a = addr + static_cast<uint32_t>(k);
            const auto page = pages_.find(a & ~(kPageSize - 1));
            Peripheral* p = page == pages_.end() ? nullptr : page->second->find(a, w);
            if (p == nullptr) return false;
            uint32_t v = 0;
            if (write) {
                for (unsigned b = 0; b < w; ++b) v |= static_cast<uint32_t>(data[k + b]) << (8 * b);
                if (!p->write(a - p->base(), w, v)) return false;
            } else {
                if (!p->read(a - p->base(), w, v)) return false;
                for (unsigned b = 0; b < w; ++b) data[k + b] = static_cast<uint8_t>(v >> (8 * b));
            }
        }
        return true;
    }
    // The NVM rows: read-only.
    return !write && uc_mem_read(uc_, addr, data, n) == UC_ERR_OK;
}

bool Core::debug_read(uint32_t addr, uint8_t* out, size_t n) { return debug_access(addr, out, n, false); }

bool Core::debug_write(uint32_t addr, const uint8_t* in, size_t n) {
    return debug_access(addr, const_cast<uint8_t*>(in), n, true);
}

void Core::set_reg(Reg r, uint32_t v) {
    if (r == Reg::PC) {
        write_reg(UC_ARM_REG_PC, v | 1u);
        pend_.valid = false;
        sleeping_ = false;   // moved on by hand
    } else {
        write_reg(uc_id(r), v);
    }
    attention_ = true;   // PRIMASK or the mode may have changed
}

}  // namespace zchip
