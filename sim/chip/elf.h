// An ELF32 little-endian ARM executable as the core loads it: the PT_LOAD
// segments (placed at their physical address, as a programmer writes them
// into flash) and the symbol table, for symbol values and for "which function
// is this address in" in fault reports.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zchip {

class Elf {
public:
    struct Segment {
        uint32_t paddr = 0;   // load address (LMA)
        uint32_t vaddr = 0;   // run address (VMA)
        uint32_t memsz = 0;
        bool exec = false;
        bool write = false;
        std::vector<uint8_t> data;   // p_filesz bytes
    };
    struct Symbol {
        std::string name;
        uint32_t addr = 0;   // Thumb bit cleared for functions
        uint32_t size = 0;
        bool function = false;
        bool global = false;
    };

    // Throw std::runtime_error with the reason when the file is not a
    // 32-bit little-endian ARM executable or is cut short.
    static Elf read_file(const std::string& path);
    static Elf parse(const std::vector<uint8_t>& bytes);

    uint32_t entry() const { return entry_; }
    const std::vector<Segment>& segments() const { return segments_; }
    const std::vector<Symbol>& symbols() const { return symbols_; }

    // The value of a symbol (a function's without its Thumb bit).
    std::optional<uint32_t> symbol(const std::string& name) const;
    // The function (or, failing that, the nearest label before it in code)
    // holding addr, as "name" or "name+0x1a"; "" when none does.
    std::string symbol_at(uint32_t addr) const;

private:
    uint32_t entry_ = 0;
    std::vector<Segment> segments_;
    std::vector<Symbol> symbols_;       // sorted by address
    std::vector<uint64_t> reach_;       // highest end of symbols_[0..i]
};

}  // namespace zchip
