#include "elf.h"

#include <cxxabi.h>
#include <cstdlib>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zchip {
namespace {

// ELF32 field offsets and constants (System V ABI, ELF header, program and
// section headers, symbol table).
constexpr uint16_t kEtExec = 2;
constexpr uint16_t kEmArm = 40;
constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kPfX = 1, kPfW = 2;
constexpr uint32_t kShtSymtab = 2;
constexpr uint8_t kSttObject = 1, kSttFunc = 2, kSttSection = 3, kSttFile = 4;
constexpr uint8_t kStbLocal = 0;
constexpr uint16_t kShnUndef = 0, kShnLoreserve = 0xFF00;

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& b) : b_(b) {}
    void need(uint64_t off, uint64_t n, const char* what) const {
        if (off + n > b_.size()) throw std::runtime_error(std::string("ELF cut short in ") + what);
    }
    uint8_t u8(uint64_t off) const {
        need(off, 1, "a field");
        return b_[off];
    }
    uint16_t u16(uint64_t off) const {
        need(off, 2, "a field");
        return static_cast<uint16_t>(b_[off] | b_[off + 1] << 8);
    }
    uint32_t u32(uint64_t off) const {
        need(off, 4, "a field");
        return static_cast<uint32_t>(b_[off]) | static_cast<uint32_t>(b_[off + 1]) << 8 |
               static_cast<uint32_t>(b_[off + 2]) << 16 | static_cast<uint32_t>(b_[off + 3]) << 24;
    }
    std::string str(uint64_t table, uint64_t table_size, uint32_t off) const {
        if (off >= table_size) return {};
        std::string s;
        for (uint64_t i = table + off; i < table + table_size && i < b_.size() && b_[i] != 0; ++i)
            s.push_back(static_cast<char>(b_[i]));
        return s;
    }
    const std::vector<uint8_t>& bytes() const { return b_; }

private:
    const std::vector<uint8_t>& b_;
};

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

}  // namespace

Elf Elf::read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(bytes);
}

Elf Elf::parse(const std::vector<uint8_t>& bytes) {
    const Reader r(bytes);
    r.need(0, 52, "the ELF header");
    if (!(bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F'))
        throw std::runtime_error("not an ELF file");
    if (bytes[4] != 1) throw std::runtime_error("not a 32-bit ELF file");
    if (bytes[5] != 1) throw std::runtime_error("not a little-endian ELF file");
    if (r.u16(16) != kEtExec) throw std::runtime_error("not an executable ELF file");
    if (r.u16(18) != kEmArm) throw std::runtime_error("not an ARM ELF file");

    Elf elf;
    elf.entry_ = r.u32(24);
    const uint32_t phoff = r.u32(28), shoff = r.u32(32);
    const uint16_t phentsize = r.u16(42), phnum = r.u16(44);
    const uint16_t shentsize = r.u16(46), shnum = r.u16(48);

    for (uint16_t i = 0; i < phnum; ++i) {
        const uint64_t ph = phoff + uint64_t{i} * phentsize;
        r.need(ph, 32, "a program header");
        if (r.u32(ph) != kPtLoad) continue;
        Segment s;
        const uint32_t offset = r.u32(ph + 4), filesz = r.u32(ph + 16), flags = r.u32(ph + 24);
        s.vaddr = r.u32(ph + 8);
        s.paddr = r.u32(ph + 12);
        s.memsz = r.u32(ph + 20);
        s.exec = (flags & kPfX) != 0;
        s.write = (flags & kPfW) != 0;
        r.need(offset, filesz, "a segment's contents");
        s.data.assign(bytes.begin() + offset, bytes.begin() + offset + filesz);
        elf.segments_.push_back(std::move(s));
    }

    for (uint16_t i = 0; i < shnum && shoff != 0; ++i) {
        const uint64_t sh = shoff + uint64_t{i} * shentsize;
        r.need(sh, 40, "a section header");
        if (r.u32(sh + 4) != kShtSymtab) continue;
        const uint32_t symoff = r.u32(sh + 16), symsize = r.u32(sh + 20), link = r.u32(sh + 24);
        const uint32_t entsize = r.u32(sh + 36) ? r.u32(sh + 36) : 16;
        if (link >= shnum) throw std::runtime_error("symbol table without its string table");
        const uint64_t strsh = shoff + uint64_t{link} * shentsize;
        r.need(strsh, 40, "a section header");
        const uint32_t stroff = r.u32(strsh + 16), strsize = r.u32(strsh + 20);
        r.need(stroff, strsize, "the string table");
        r.need(symoff, symsize, "the symbol table");
        for (uint64_t s = symoff; s + 16 <= uint64_t{symoff} + symsize; s += entsize) {
            const uint8_t info = r.u8(s + 12);
            const uint8_t type = info & 0xF, bind = info >> 4;
            const uint16_t shndx = r.u16(s + 14);
            if (type == kSttSection || type == kSttFile) continue;
            if (shndx == kShnUndef || shndx >= kShnLoreserve) continue;
            Symbol sym;
            sym.name = r.str(stroff, strsize, r.u32(s));
            // Mapping symbols ($t, $d, $a) mark code and data, not names.
            if (sym.name.empty() || sym.name[0] == '$') continue;
            sym.addr = r.u32(s + 4);
            sym.size = r.u32(s + 8);
            sym.function = type == kSttFunc;
            sym.global = bind != kStbLocal;
            if (sym.function) sym.addr &= ~1u;
            if (type != kSttFunc && type != kSttObject && type != 0) continue;
            elf.symbols_.push_back(std::move(sym));
        }
    }
    std::stable_sort(elf.symbols_.begin(), elf.symbols_.end(),
                     [](const Symbol& a, const Symbol& b) { return a.addr < b.addr; });
    uint64_t reach = 0;
    for (const Symbol& s : elf.symbols_) {
        reach = std::max<uint64_t>(reach, uint64_t{s.addr} + s.size);
        elf.reach_.push_back(reach);
    }
    return elf;
}

std::optional<uint32_t> Elf::symbol(const std::string& name) const {
    const Symbol* best = nullptr;
    for (const Symbol& s : symbols_) {
        if (s.name != name) continue;
        if (best == nullptr || (s.global && !best->global)) best = &s;
    }
    if (best == nullptr) return std::nullopt;
    return best->addr;
}

namespace {
// A C++ name as the source spells it, without its parameters; the
// compiler's clone suffixes (".constprop.0", ".isra.0", ".part.0") dropped.
std::string readable(const std::string& symbol) {
    const std::string base = symbol.substr(0, symbol.find('.'));
    int status = 0;
    char* d = abi::__cxa_demangle(base.c_str(), nullptr, nullptr, &status);
    if (status != 0 || d == nullptr) return symbol;
    std::string out(d);
    std::free(d);
    const size_t paren = out.find('(');
    return paren == std::string::npos ? out : out.substr(0, paren);
}
}  // namespace

std::string Elf::symbol_at(uint32_t addr) const {
    // Symbols from here down to 0 start at or before addr.
    const size_t last = static_cast<size_t>(
        std::upper_bound(symbols_.begin(), symbols_.end(), addr, [](uint32_t a, const Symbol& s) { return a < s.addr; }) -
        symbols_.begin());
    // A sized symbol holding the address wins (a global one over a local).
    const Symbol* best = nullptr;
    for (size_t i = last; i-- > 0 && reach_[i] > addr;) {
        const Symbol& s = symbols_[i];
        if (s.size != 0 && addr - s.addr < s.size && (best == nullptr || (s.global && !best->global))) best = &s;
    }
    if (best == nullptr) {
        // Else the nearest label before it, if both lie in the same code segment.
        const Segment* code = nullptr;
        for (const Segment& seg : segments_)
            if (seg.exec && addr >= seg.vaddr && addr - seg.vaddr < seg.memsz) code = &seg;
        if (code == nullptr) return {};
        for (size_t i = last; i-- > 0 && symbols_[i].addr >= code->vaddr;) {
            if (symbols_[i].size == 0 || symbols_[i].function) {
                best = &symbols_[i];
                break;
            }
        }
        if (best == nullptr) return {};
    }
    const std::string name = readable(best->name);
    if (best->addr == addr) return name;
    return name + "+" + hex(addr - best->addr);
}

}  // namespace zchip
