// The GDB remote serial protocol ("Debugging with GDB", appendix "GDB
// Remote Serial Protocol"): packets $payload#checksum, acknowledged with +
// until no-ack mode; binary data escaped with } and 0x20; a lone 0x03 byte
// asks a running target to stop.
#include "gdb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace zchip {

namespace {

// The registers in the order of the target description, which is the order
// of the g packet and the numbers of p and P.
constexpr Core::Reg kRegs[] = {Core::Reg::R0,  Core::Reg::R1,  Core::Reg::R2,   Core::Reg::R3,  Core::Reg::R4,
                               Core::Reg::R5,  Core::Reg::R6,  Core::Reg::R7,   Core::Reg::R8,  Core::Reg::R9,
                               Core::Reg::R10, Core::Reg::R11, Core::Reg::R12,  Core::Reg::SP,  Core::Reg::LR,
                               Core::Reg::PC,  Core::Reg::XPSR, Core::Reg::MSP, Core::Reg::PSP, Core::Reg::PRIMASK,
                               Core::Reg::CONTROL};
constexpr unsigned kRegCount = sizeof kRegs / sizeof kRegs[0];
constexpr unsigned kRegSp = 13, kRegPc = 15;

// The largest packet GDB may send (hex): a memory write of 8 KiB in hex.
constexpr size_t kPacketSize = 0x4000;

const char kTargetXml[] =
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
    "<target version=\"1.0\">\n"
    "  <architecture>arm</architecture>\n"
    "  <feature name=\"org.gnu.gdb.arm.m-profile\">\n"
    "    <reg name=\"r0\" bitsize=\"32\" regnum=\"0\"/>\n"
    "    <reg name=\"r1\" bitsize=\"32\"/>\n"
    "    <reg name=\"r2\" bitsize=\"32\"/>\n"
    "    <reg name=\"r3\" bitsize=\"32\"/>\n"
    "    <reg name=\"r4\" bitsize=\"32\"/>\n"
    "    <reg name=\"r5\" bitsize=\"32\"/>\n"
    "    <reg name=\"r6\" bitsize=\"32\"/>\n"
    "    <reg name=\"r7\" bitsize=\"32\"/>\n"
    "    <reg name=\"r8\" bitsize=\"32\"/>\n"
    "    <reg name=\"r9\" bitsize=\"32\"/>\n"
    "    <reg name=\"r10\" bitsize=\"32\"/>\n"
    "    <reg name=\"r11\" bitsize=\"32\"/>\n"
    "    <reg name=\"r12\" bitsize=\"32\"/>\n"
    "    <reg name=\"sp\" bitsize=\"32\" type=\"data_ptr\"/>\n"
    "    <reg name=\"lr\" bitsize=\"32\"/>\n"
    "    <reg name=\"pc\" bitsize=\"32\" type=\"code_ptr\"/>\n"
    "    <reg name=\"xpsr\" bitsize=\"32\"/>\n"
    "  </feature>\n"
    "  <feature name=\"org.gnu.gdb.arm.m-system\">\n"
    "    <reg name=\"msp\" bitsize=\"32\" type=\"data_ptr\" group=\"system\"/>\n"
    "    <reg name=\"psp\" bitsize=\"32\" type=\"data_ptr\" group=\"system\"/>\n"
    "    <reg name=\"primask\" bitsize=\"32\" group=\"system\"/>\n"
    "    <reg name=\"control\" bitsize=\"32\" group=\"system\"/>\n"
    "  </feature>\n"
    "</target>\n";

const char kHelp[] =
    "monitor commands:\n"
    "  reset halt   reset the chip (core, RAM and peripherals to power-on) and hold the core at reset\n"
    "  reset        reset the chip and let the core run until GDB's next request\n"
    "  help         this list\n";

int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A hex number filling all of s (at most 8 digits).
bool parse_hex(const std::string& s, uint32_t& v) {
    if (s.empty() || s.size() > 8) return false;
    v = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return true;
}

bool parse_hex_bytes(const std::string& s, std::vector<uint8_t>& out) {
    if (s.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

std::string to_hex(const uint8_t* p, size_t n) {
    static const char* const kDigits = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

// A 32-bit value in target (little-endian) byte order.
std::string hex_le32(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    return to_hex(b, 4);
}

bool parse_le32(const std::string& s, uint32_t& v) {
    std::vector<uint8_t> b;
    if (s.size() != 8 || !parse_hex_bytes(s, b)) return false;
    v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
        static_cast<uint32_t>(b[3]) << 24;
    return true;
}

// "addr,len" (followed by what comes after the length in `rest`).
bool parse_addr_len(const std::string& s, uint32_t& addr, uint32_t& len, std::string* rest = nullptr) {
    const size_t comma = s.find(',');
    if (comma == std::string::npos) return false;
    size_t end = s.find_first_of(":;", comma + 1);
    if (end == std::string::npos) end = s.size();
    if (rest) *rest = end < s.size() ? s.substr(end + 1) : std::string();
    return parse_hex(s.substr(0, comma), addr) && parse_hex(s.substr(comma + 1, end - comma - 1), len);
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

}  // namespace

GdbServer::GdbServer(ChipUnit& unit, uint16_t port) : unit_(unit), core_(unit.core()) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error(std::string("gdb: socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 1) != 0) {
        const std::string why = std::strerror(errno);
        ::close(listen_fd_);
        throw std::runtime_error("gdb: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    socklen_t len = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    std::fprintf(stderr, "gdb: listening on 127.0.0.1:%u\n", unsigned{port_});
    std::fflush(stderr);
}

GdbServer::~GdbServer() {
    if (fd_ >= 0) ::close(fd_);
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

// ---- the connection ----

bool GdbServer::accept_client(int timeout_ms) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0) return false;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    in_.clear();
    in_pos_ = 0;
    no_ack_ = false;
    swbreak_ = hwbreak_ = false;
    awaiting_stop_ = false;
    std::fprintf(stderr, "gdb: debugger connected\n");
    std::fflush(stderr);
    return true;
}

// GDB went away: what it set goes with it and the core runs on, as after a
// detach.
void GdbServer::drop_client() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    clear_points();
    awaiting_stop_ = false;
    std::fprintf(stderr, "gdb: debugger gone, the core runs on\n");
    std::fflush(stderr);
}

void GdbServer::clear_points() {
    for (uint32_t a : soft_) core_.set_breakpoint(a, false);
    for (uint32_t a : hard_) core_.set_breakpoint(a, false);
    for (const Watchpoint& w : watch_) core_.set_watchpoint(w.addr, w.len, w.kind, false);
    soft_.clear();
    hard_.clear();
    watch_.clear();
}

// The next byte from GDB: -1 when the connection ended, -2 when none came
// within timeout_ms (-1: wait).
int GdbServer::get_byte(int timeout_ms) {
    if (in_pos_ < in_.size()) return static_cast<uint8_t>(in_[in_pos_++]);
    if (fd_ < 0) return -1;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r == 0) return -2;
    if (r < 0) return errno == EINTR ? -2 : -1;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return -1;
    in_.assign(buf, static_cast<size_t>(n));
    in_pos_ = 0;
    return static_cast<uint8_t>(in_[in_pos_++]);
}

void GdbServer::send_raw(const std::string& s) {
    size_t done = 0;
    while (fd_ >= 0 && done < s.size()) {
        const ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;   // the next read finds the connection gone
        done += static_cast<size_t>(n);
    }
}

void GdbServer::send(const std::string& payload) {
    std::string s = "$";
    uint8_t sum = 0;
    for (char c : payload) {
        if (c == '$' || c == '#' || c == '}' || c == '*') {
            s += '}';
            sum = static_cast<uint8_t>(sum + '}');
            c = static_cast<char>(c ^ 0x20);
        }
        s += c;
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum);
    s += tail;
    last_sent_ = s;
    send_raw(s);
}

// One packet's payload; false when the connection ended. Acknowledges it
// (unless in no-ack mode), asks again for a damaged one, answers a request
// to send the last reply again.
bool GdbServer::read_packet(std::string& out) {
    for (;;) {
        int c = get_byte(-1);
        if (c == -1) return false;
        if (c == '-') {
            send_raw(last_sent_);
            continue;
        }
        if (c != '$') continue;   // acks, a stray 0x03 while halted
        std::string body;
        uint8_t sum = 0;
        while ((c = get_byte(-1)) >= 0 && c != '#') {
            body += static_cast<char>(c);
            sum = static_cast<uint8_t>(sum + c);
        }
        if (c < 0) return false;
        const int h = get_byte(-1), l = get_byte(-1);
        if (h < 0 || l < 0) return false;
        const bool ok = hex_digit(static_cast<char>(h)) >= 0 && hex_digit(static_cast<char>(l)) >= 0 &&
                        ((hex_digit(static_cast<char>(h)) << 4) | hex_digit(static_cast<char>(l))) == sum;
        if (!no_ack_) send_raw(ok ? "+" : "-");
        if (!ok && !no_ack_) continue;
        out = std::move(body);
        return true;
    }
}

// ---- running and halting ----

bool GdbServer::wait_for_debugger() {
    stop_signal_ = 5;
    halt_ = Core::Halt{};
    while (fd_ < 0) accept_client(-1);
    return serve();
}

bool GdbServer::interrupted() {
    const int64_t now = mono_ns();
    if (now < next_poll_ns_) return false;
    next_poll_ns_ = now + 10000000;   // every 10 ms of wall time at most
    if (fd_ < 0) {
        // A debugger connecting to a running core halts it.
        if (!accept_client(0)) return false;
        stop_signal_ = 2;
        return true;
    }
    for (;;) {
        const int c = get_byte(0);
        if (c == -2) return false;
        if (c == -1) {
            drop_client();
            return false;
        }
        if (c == 0x03) return true;   // Ctrl-C
        if (c == '$') {
            // A request while running (after "monitor reset"): halt, then answer it.
            --in_pos_;
            return true;
        }
    }
}

bool GdbServer::halted(Core::Stop why) {
    halt_ = why == Core::Stop::Halt ? core_.halt() : Core::Halt{};
    stop_signal_ = why == Core::Stop::Halt ? 5 : why == Core::Stop::Fault ? 11 : 2;
    if (fd_ < 0) {
        // Nobody to tell (a fault with no debugger connected): wait for one.
        std::fprintf(stderr, "gdb: the core halted (%s), waiting for a debugger\n",
                     why == Core::Stop::Fault ? "fault" : "breakpoint");
        std::fflush(stderr);
        accept_client(-1);
    } else if (awaiting_stop_) {
        awaiting_stop_ = false;
        send(stop_reply());
    }
    return serve();
}

// Serves GDB while the core is halted: true when the core is to run on.
bool GdbServer::serve() {
    for (;;) {
        std::string p;
        if (!read_packet(p)) {
            drop_client();
            if (on_resume_) on_resume_();
            return true;
        }
        const Next next = handle(p);
        if (next == Next::Serve) continue;
        if (next == Next::End) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
            clear_points();
            return false;
        }
        if (on_resume_) on_resume_();
        return true;
    }
}

GdbServer::Next GdbServer::resume(bool step) {
    if (step) {
        core_.step();
    } else {
        core_.resume();
    }
    awaiting_stop_ = true;
    return Next::Run;
}

void GdbServer::finish(bool faulted) {
    if (fd_ < 0) return;
    if (awaiting_stop_) send(faulted ? "X0b" : "W00");
    awaiting_stop_ = false;
    ::close(fd_);
    fd_ = -1;
}

std::string GdbServer::stop_reply() const {
    char sig[8];
    std::snprintf(sig, sizeof sig, "T%02x", stop_signal_);
    std::string r = sig;
    if (halt_.why == Core::Halt::kBreak) {
        if (hard_.count(halt_.addr) && hwbreak_) r += "hwbreak:;";
        else if (soft_.count(halt_.addr) && swbreak_) r += "swbreak:;";
    } else if (halt_.why == Core::Halt::kWatch) {
        char w[32];
        std::snprintf(w, sizeof w, "%s:%08x;",
                      halt_.kind == Core::kWatchWrite   ? "watch"
                      : halt_.kind == Core::kWatchRead ? "rwatch"
                                                       : "awatch",
                      halt_.addr);
        r += w;
    }
    char regs[64];
    std::snprintf(regs, sizeof regs, "%02x:%s;%02x:%s;", kRegSp, hex_le32(core_.reg(Core::Reg::SP)).c_str(), kRegPc,
                  hex_le32(core_.reg(Core::Reg::PC) & ~1u).c_str());
    return r + regs + "thread:1;";
}

// ---- packets ----

std::string GdbServer::read_registers() const {
    std::string s;
    for (Core::Reg r : kRegs) s += hex_le32(r == Core::Reg::PC ? core_.reg(r) & ~1u : core_.reg(r));
    return s;
}

bool GdbServer::write_register(unsigned n, uint32_t v) {
    if (n >= kRegCount) return false;
    core_.set_reg(kRegs[n], v);
    return true;
}

std::string GdbServer::read_memory(const std::string& args) {
    uint32_t addr = 0, len = 0;
    if (!parse_addr_len(args, addr, len)) return "E01";
    len = std::min<uint32_t>(len, kPacketSize / 2);
    std::vector<uint8_t> buf(len);
    if (core_.debug_read(addr, buf.data(), len)) return to_hex(buf.data(), len);
    // Partly readable: the readable start, byte by byte.
    size_t got = 0;
    while (got < len && core_.debug_read(addr + static_cast<uint32_t>(got), &buf[got], 1)) ++got;
    return got == 0 ? "E14" : to_hex(buf.data(), got);
}

std::string GdbServer::write_memory(uint32_t addr, const std::vector<uint8_t>& data) {
    return core_.debug_write(addr, data.data(), data.size()) ? "OK" : "E14";
}

// Z/z type,addr,kind: 0 software and 1 hardware breakpoints, 2 write, 3
// read and 4 access watchpoints.
std::string GdbServer::breakpoint(const std::string& p, bool insert) {
    const size_t comma = p.find(',');
    uint32_t type = 0, addr = 0, len = 0;
    if (comma == std::string::npos || !parse_hex(p.substr(1, comma - 1), type) ||
        !parse_addr_len(p.substr(comma + 1), addr, len))
        return "E01";
    if (type <= 1) {
        addr &= ~1u;
        std::set<uint32_t>& set = type == 0 ? soft_ : hard_;
        if (insert) {
            if (type == 1 && !hard_.count(addr) && hard_.size() >= kHardwareBreakpoints) return "E0c";
            set.insert(addr);
        } else {
            set.erase(addr);
        }
        core_.set_breakpoint(addr, soft_.count(addr) || hard_.count(addr));
        return "OK";
    }
    if (type > 4) return "";
    const Core::Watch kind = type == 2 ? Core::kWatchWrite : type == 3 ? Core::kWatchRead : Core::kWatchAccess;
    for (auto it = watch_.begin(); it != watch_.end(); ++it) {
        if (it->addr != addr || it->len != len || it->kind != kind) continue;
        if (insert) return "OK";
        core_.set_watchpoint(addr, len, kind, false);
        watch_.erase(it);
        return "OK";
    }
    if (!insert) return "OK";
    // The comparators match a power-of-two range aligned to its size.
    if (len == 0 || len > 0x8000 || (len & (len - 1)) != 0 || (addr & (len - 1)) != 0) return "E16";
    if (watch_.size() >= kWatchpoints) return "E0c";
    watch_.push_back({addr, len, kind});
    core_.set_watchpoint(addr, len, kind, true);
    return "OK";
}

void GdbServer::console(const std::string& text) {
    send("O" + to_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

GdbServer::Next GdbServer::monitor(const std::string& hex) {
    std::vector<uint8_t> bytes;
    if (!parse_hex_bytes(hex, bytes)) {
        send("E01");
        return Next::Serve;
    }
    std::string cmd(bytes.begin(), bytes.end());
    while (!cmd.empty() && (cmd.back() == ' ' || cmd.back() == '\n')) cmd.pop_back();
    while (!cmd.empty() && cmd.front() == ' ') cmd.erase(cmd.begin());
    if (cmd == "reset halt" || cmd == "reset") {
        unit_.hardware_reset();
        halt_ = Core::Halt{};
        const uint32_t pc = core_.reg(Core::Reg::PC) & ~1u;
        if (cmd == "reset halt") {
            console("chip reset, the core is halted at " + hex32(pc) + "\n");
            send("OK");
            return Next::Serve;
        }
        console("chip reset, the core runs\n");
        send("OK");
        core_.resume();
        awaiting_stop_ = false;   // GDB holds the core as stopped; its next request halts it
        return Next::Run;
    }
    if (cmd == "help" || cmd.empty()) {
        console(kHelp);
        send("OK");
        return Next::Serve;
    }
    console("unknown monitor command \"" + cmd + "\"\n" + kHelp);
    send("E01");
    return Next::Serve;
}

GdbServer::Next GdbServer::handle(const std::string& p) {
    if (p.empty()) {
        send("");
        return Next::Serve;
    }
    switch (p[0]) {
    case '?':
        send(stop_reply());
        return Next::Serve;
    case 'g':
        send(read_registers());
        return Next::Serve;
    case 'G': {
        if (p.size() < 1 + 8 * kRegCount) {
            send("E01");
            return Next::Serve;
        }
        for (unsigned n = 0; n < kRegCount; ++n) {
            uint32_t v = 0;
            if (!parse_le32(p.substr(1 + 8 * n, 8), v)) {
                send("E01");
                return Next::Serve;
            }
            write_register(n, v);
        }
        send("OK");
        return Next::Serve;
    }
    case 'p': {
        uint32_t n = 0;
        if (!parse_hex(p.substr(1), n) || n >= kRegCount) {
            send("E01");
            return Next::Serve;
        }
        const uint32_t v = core_.reg(kRegs[n]);
        send(hex_le32(kRegs[n] == Core::Reg::PC ? v & ~1u : v));
        return Next::Serve;
    }
    case 'P': {
        const size_t eq = p.find('=');
        uint32_t n = 0, v = 0;
        const bool ok = eq != std::string::npos && parse_hex(p.substr(1, eq - 1), n) && parse_le32(p.substr(eq + 1), v) &&
                        write_register(n, v);
        send(ok ? "OK" : "E01");
        return Next::Serve;
    }
    case 'm':
        send(read_memory(p.substr(1)));
        return Next::Serve;
    case 'M': {
        uint32_t addr = 0, len = 0;
        std::string data;
        std::vector<uint8_t> bytes;
        if (!parse_addr_len(p.substr(1), addr, len, &data) || !parse_hex_bytes(data, bytes) || bytes.size() != len) {
            send("E01");
            return Next::Serve;
        }
        send(write_memory(addr, bytes));
        return Next::Serve;
    }
    case 'X': {
        uint32_t addr = 0, len = 0;
        const size_t colon = p.find(':');
        if (colon == std::string::npos || !parse_addr_len(p.substr(1, colon - 1), addr, len)) {
            send("E01");
            return Next::Serve;
        }
        std::vector<uint8_t> bytes;
        for (size_t i = colon + 1; i < p.size(); ++i) {
            if (p[i] == '}' && i + 1 < p.size()) {
                bytes.push_back(static_cast<uint8_t>(p[++i] ^ 0x20));
            } else {
                bytes.push_back(static_cast<uint8_t>(p[i]));
            }
        }
        if (bytes.size() != len) {
            send("E01");
            return Next::Serve;
        }
        send(len == 0 ? "OK" : write_memory(addr, bytes));
        return Next::Serve;
    }
    case 'c':
    case 'C':
    case 's':
    case 'S': {
        // An address to go on from (c addr, s addr); a signal to deliver is dropped.
        const bool step = p[0] == 's' || p[0] == 'S';
        std::string at = p.substr(1);
        if (p[0] == 'C' || p[0] == 'S') {
            const size_t semi = at.find(';');
            at = semi == std::string::npos ? std::string() : at.substr(semi + 1);
        }
        uint32_t addr = 0;
        if (!at.empty() && parse_hex(at, addr)) core_.set_reg(Core::Reg::PC, addr);
        return resume(step);
    }
    case 'v':
        if (p == "vCont?") {
            send("vCont;c;C;s;S;t");
            return Next::Serve;
        }
        if (p.rfind("vCont;", 0) == 0) {
            // One thread: the first action is the one for it.
            const char a = p.size() > 6 ? p[6] : 0;
            if (a == 'c' || a == 'C') return resume(false);
            if (a == 's' || a == 'S') return resume(true);
            if (a == 't') {
                send(stop_reply());
                return Next::Serve;
            }
            send("E01");
            return Next::Serve;
        }
        if (p.rfind("vKill", 0) == 0) {
            send("OK");
            return Next::End;
        }
        send("");
        return Next::Serve;
    case 'Z':
    case 'z':
        send(breakpoint(p, p[0] == 'Z'));
        return Next::Serve;
    case 'D':
        send("OK");
        ::close(fd_);
        fd_ = -1;
        clear_points();
        core_.resume();
        awaiting_stop_ = false;
        std::fprintf(stderr, "gdb: debugger detached, the core runs on\n");
        std::fflush(stderr);
        return Next::Run;
    case 'k':
        return Next::End;
    case 'H':
    case 'T':
        send("OK");
        return Next::Serve;
    case 'q':
    case 'Q':
        break;
    default:
        send("");
        return Next::Serve;
    }

    if (p.rfind("qSupported", 0) == 0) {
        swbreak_ = p.find("swbreak+") != std::string::npos;
        hwbreak_ = p.find("hwbreak+") != std::string::npos;
        char r[160];
        std::snprintf(r, sizeof r, "PacketSize=%zx;qXfer:features:read+;QStartNoAckMode+;vContSupported+%s%s",
                      kPacketSize, swbreak_ ? ";swbreak+" : "", hwbreak_ ? ";hwbreak+" : "");
        send(r);
    } else if (p == "QStartNoAckMode") {
        send("OK");
        no_ack_ = true;
    } else if (p.rfind("qXfer:features:read:", 0) == 0) {
        const std::string rest = p.substr(20);
        const size_t colon = rest.find(':');
        uint32_t off = 0, len = 0;
        if (colon == std::string::npos || rest.substr(0, colon) != "target.xml") {
            send("E00");
        } else if (!parse_addr_len(rest.substr(colon + 1), off, len)) {
            send("E01");
        } else {
            const std::string xml = kTargetXml;
            if (off >= xml.size()) {
                send("l");
            } else {
                const std::string part = xml.substr(off, len);
                send((off + part.size() >= xml.size() ? "l" : "m") + part);
            }
        }
    } else if (p == "qAttached" || p.rfind("qAttached:", 0) == 0) {
        send("1");   // GDB attached to a running chip: detach, not kill, when it quits
    } else if (p == "qC") {
        send("QC1");
    } else if (p == "qfThreadInfo") {
        send("m1");
    } else if (p == "qsThreadInfo") {
        send("l");
    } else if (p.rfind("qSymbol", 0) == 0) {
        send("OK");
    } else if (p.rfind("qRcmd,", 0) == 0) {
        return monitor(p.substr(6));
    } else {
        send("");
    }
    return Next::Serve;
}

}  // namespace zchip
