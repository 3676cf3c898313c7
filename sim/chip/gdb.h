// A GDB remote serial protocol server for the chip image: what the
// debug probe and its server give on the real board, over TCP on
// 127.0.0.1. One client at a time, all-stop, one thread.
//
// The core halts at reset until GDB continues it; while it is halted
// nothing runs on the board and virtual time stands. Registers are those
// of the M-profile target description (r0-r12, sp, lr, pc, xpsr) and a
// system feature (msp, psp, primask, control). Breakpoints: software ones
// without limit, 4 hardware ones; 2 watchpoints, as the Cortex-M0+ has.
// Monitor commands: "reset halt", "reset" (the chip's reset pin; the core
// then runs until GDB's next request) and "help".
#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "unit.h"

namespace zchip {

class GdbServer final : public Debugger {
public:
    static constexpr size_t kHardwareBreakpoints = 4, kWatchpoints = 2;

    // Listens on 127.0.0.1:port (0: a free port the system picks) and says
    // so on stderr; throws std::runtime_error when it cannot.
    GdbServer(ChipUnit& unit, uint16_t port);
    ~GdbServer() override;
    GdbServer(const GdbServer&) = delete;
    GdbServer& operator=(const GdbServer&) = delete;

    uint16_t port() const { return port_; }
    // Waits for GDB and serves it with the core halted at reset, until GDB
    // lets it run. False: GDB ended the run (kill).
    bool wait_for_debugger();
    // Called whenever the core goes on after a halt (pacing starts afresh).
    void on_resume(std::function<void()> fn) { on_resume_ = std::move(fn); }
    // The run is over: a GDB waiting for the core learns that it exited.
    void finish(bool faulted);

    // Debugger
    bool interrupted() override;
    bool halted(Core::Stop why) override;

private:
    enum class Next { Serve, Run, End };
    struct Watchpoint {
        uint32_t addr, len;
        Core::Watch kind;
    };

    bool accept_client(int timeout_ms);
    void drop_client();
    int get_byte(int timeout_ms);
    bool read_packet(std::string& out);
    void send_raw(const std::string& s);
    void send(const std::string& payload);
    bool serve();
    Next handle(const std::string& p);
    std::string stop_reply() const;
    std::string read_registers() const;
    bool write_register(unsigned n, uint32_t v);
    std::string read_memory(const std::string& args);
    std::string write_memory(uint32_t addr, const std::vector<uint8_t>& data);
    std::string breakpoint(const std::string& p, bool insert);
    Next monitor(const std::string& hex);
    Next resume(bool step);
    void clear_points();
    void console(const std::string& text);

    ChipUnit& unit_;
    Core& core_;
    int listen_fd_ = -1, fd_ = -1;
    uint16_t port_ = 0;
    std::string in_;                 // bytes received, not yet taken
    size_t in_pos_ = 0;
    std::string last_sent_;          // for a retransmission request
    bool no_ack_ = false;
    bool swbreak_ = false, hwbreak_ = false;   // the stop reasons GDB asked for
    bool awaiting_stop_ = false;     // GDB resumed the core and waits for its stop
    int stop_signal_ = 5;            // of the last halt
    Core::Halt halt_;
    std::set<uint32_t> soft_, hard_;
    std::vector<Watchpoint> watch_;
    int64_t next_poll_ns_ = 0;
    std::function<void()> on_resume_;
};

}  // namespace zchip
