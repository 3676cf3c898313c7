// zelmora-sim: runs the virtual unit and writes what it sends on its console
// port to standard output, byte for byte. With --air, what its transponder
// transmits goes to a file or a UDP address as a shore receiver hands it
// on, stamped with the world's UTC; with --pty the
// console port is also on a pseudo-terminal, for a PC program to talk to.
// With --chip the unit is the image we would flash, executed instruction by
// instruction on the chip's core and peripherals; with --gdb GDB debugs it
// there.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "air_log.h"
#include "board.h"
#include "gdb.h"
#include "kept_clock.h"
#include "pty.h"
#include "scenario.h"
#include "trace.h"
#include "unit.h"
#include "zelmora_version.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_stop_signal(int) { g_stop = 1; }

// A count that must be a finite number above 0 and at most `most`, with a
// plain message otherwise.
CLI::Validator above_zero(const char* what, double most) {
    return CLI::Validator(
        [what, most](std::string& s) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(s.c_str(), &end);
            if (s.empty() || *end != '\0' || !(v > 0) || !(v <= most)) {
                char m[32];
                std::snprintf(m, sizeof m, "%.0f", most);
                return std::string("must be ") + what + " above 0 and at most " + m + " (not \"" + s + "\")";
            }
            return {};
        },
        "", "");
}

void catch_stop_signals() {
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs the Zelmora beacon monitor on the virtual board; its console goes to standard output."};
    app.set_version_flag("--version", std::string("zelmora-sim ") + zelmora::version());
    double minutes = 0;
    std::string scenario_path;
    bool realtime = false;
    bool pty = false;
    bool utc_now = false;
    double speed = 0;
    std::string eeprom_path;
    std::string air_path;
    bool air_no_tags = false;
    std::string chip_path;
    bool chip_report = false;
    int gdb_port = -1;
    std::string trace_path;
    std::string plot_path;
    app.add_option("--minutes", minutes,
                   "virtual run length in minutes (default: the scenario's, 10; with --pty: until interrupted)")
        ->check(above_zero("a number of minutes", zsim::kLongestMinutes));
    app.add_option("--scenario", scenario_path, "scenario file (TOML); the built-in default otherwise")
        ->check(CLI::ExistingFile);
    app.add_option("--eeprom", eeprom_path,
                   "EEPROM image file: created from the default image when absent, updated as the unit writes; the "
                   "world's clock is kept beside it in FILE.clock (the world's UTC and the RTC at the end of the "
                   "run), and a later run on an existing image carries on from there instead of the scenario's time");
    app.add_option("--air", air_path,
                   "write every transmission of the transponder to FILE as !AIVDM sentences, one per line, or send "
                   "each sentence to udp://HOST:PORT as one datagram; each led by a tag block with the world's UTC");
    app.add_flag("--air-no-tags", air_no_tags, "with --air: the bare sentences, without their tag blocks");
    app.add_flag("--realtime", realtime, "pace virtual time to the wall clock; standard input feeds the console port");
    app.add_flag("--pty", pty,
                 "put the console port on a pseudo-terminal (path printed on standard error), paced to the wall clock");
    app.add_flag("--utc-now", utc_now,
                 "with --realtime or --pty: the world's UTC starts at the wall clock's time instead of the "
                 "scenario's [world] utc, so that what the unit stamps and sends is the real time of day");
    app.add_option("--speed", speed, "with --realtime or --pty: run this many times faster than the wall clock")
        ->check(above_zero("a factor", 1e6));
    app.add_option("--trace", trace_path,
                   "write one CSV row per virtual minute to FILE: battery, charge, panel current, charger, alarms, "
                   "restarts, Message 6 loads and events");
    app.add_option("--plot", plot_path,
                   "at the end, draw battery, panel current, charge, the charger's state, alarms, restarts and the minutes "
                   "with Message 6 sends into FILE (PNG, with gnuplot), over UTC, with the unit's low-battery and "
                   "alarm-off levels and the world's brown-out and restart levels across the battery's plot");
    app.add_option("--chip", chip_path,
                   "run the image we would flash (an ELF such as build/target/zelmora.elf) on the chip's core and "
                   "peripherals instead of the host build")
        ->check(CLI::ExistingFile);
    app.add_flag("--chip-report", chip_report,
                 "with --chip: at the end, print on standard error what only the chip image tells (cycles, the "
                 "longest pass, the tick handler, interrupts, stack, forbidden register writes, the pads each bus "
                 "used and any device left unconnected)");
    app.add_option("--gdb", gdb_port,
                   "with --chip: serve GDB's remote protocol on 127.0.0.1:PORT (0: a free port, printed) and hold "
                   "the core at reset until GDB continues it; virtual time stands while the core is halted "
                   "(docs/gdb.md)")
        ->check(CLI::Range(0, 65535));
    CLI11_PARSE(app, argc, argv);
    if (gdb_port >= 0 && chip_path.empty()) {
        std::cerr << "zelmora-sim: --gdb debugs the chip image: it goes with --chip\n";
        return 2;
    }
    if (chip_report && chip_path.empty()) {
        std::cerr << "zelmora-sim: --chip-report reports on a --chip run\n";
        return 2;
    }
    if (speed > 0 && !realtime && !pty) {
        std::cerr << "zelmora-sim: --speed paces a --realtime or --pty run\n";
        return 2;
    }
    if (utc_now && !realtime && !pty) {
        std::cerr << "zelmora-sim: --utc-now starts the world at the wall clock's time: it goes with --realtime or "
                     "--pty, whose virtual time keeps pace with it\n";
        return 2;
    }
    if (speed <= 0) speed = 1.0;
    const bool paced = realtime || pty;

    zsim::Scenario sc;
    try {
        sc = scenario_path.empty() ? zsim::Scenario::builtin() : zsim::Scenario::from_file(scenario_path);
    } catch (const std::exception& e) {
        std::cerr << "zelmora-sim: " << e.what() << "\n";
        return 2;
    }
    const bool until_stopped = pty && minutes <= 0;
    if (minutes <= 0) minutes = sc.minutes;
    if (!eeprom_path.empty()) sc.eeprom.image_path = eeprom_path;
    // A clock kept beside an image belongs to it: a new image starts the world afresh.
    std::optional<zsim::KeptClock> kept;
    const std::string clock_path = zsim::kept_clock_path(eeprom_path);
    std::error_code fs_error;
    if (!eeprom_path.empty() && std::filesystem::exists(eeprom_path, fs_error)) {
        try {
            kept = zsim::read_kept_clock(clock_path);
        } catch (const std::exception& e) {
            std::cerr << "zelmora-sim: " << e.what() << "\n";
            return 2;
        }
    }
    if (kept) sc.utc_start = kept->world_utc;
    if (utc_now) sc.utc_start = zsim::from_epoch(static_cast<int64_t>(std::time(nullptr)));

    static char outbuf[1 << 16];
    std::setvbuf(stdout, outbuf, _IOFBF, sizeof(outbuf));

    std::unique_ptr<zsim::Board> owner;
    std::unique_ptr<zchip::ChipUnit> chip;
    std::unique_ptr<zsim::PtyPort> port;
    std::unique_ptr<zchip::GdbServer> gdb;
    try {
        owner = std::make_unique<zsim::Board>(sc);
        if (!chip_path.empty()) chip = std::make_unique<zchip::ChipUnit>(*owner, chip_path);
        if (gdb_port >= 0) {
            gdb = std::make_unique<zchip::GdbServer>(*chip, static_cast<uint16_t>(gdb_port));
            chip->set_debugger(gdb.get());
        }
        if (pty) port = std::make_unique<zsim::PtyPort>();
    } catch (const std::exception& e) {
        std::cerr << "zelmora-sim: " << e.what() << "\n";
        return 2;
    }
    zsim::Board& board = *owner;
    // Its backup cell kept the RTC counting while the unit was off; without one
    // it starts as the scenario says.
    if (kept && sc.rtc.backup) board.rtc().restore(kept->rtc);
    // --plot without --trace draws from a trace of its own beside the picture.
    if (!plot_path.empty() && trace_path.empty()) trace_path = plot_path + ".csv";
    std::unique_ptr<zsim::Trace> trace;
    if (!trace_path.empty()) {
        try {
            trace = std::make_unique<zsim::Trace>(board, trace_path);
        } catch (const std::exception& e) {
            std::cerr << "zelmora-sim: " << e.what() << "\n";
            return 2;
        }
    }
    zsim::Trace* tr = trace.get();
    constexpr zsim::vtime kMinute = 60LL * 1000 * 1000 * 1000;
    zsim::vtime next_row = kMinute;
    const auto rows_until_now = [&] {
        for (; tr && board.now() >= next_row; next_row += kMinute) tr->row();
    };
    std::unique_ptr<zsim::AirLog> air;
    if (air_no_tags && air_path.empty()) {
        std::cerr << "zelmora-sim: --air-no-tags goes with --air\n";
        return 2;
    }
    if (!air_path.empty()) {
        std::string why;
        air = zsim::AirLog::open(air_path, !air_no_tags, paced, why);
        if (!air) {
            std::cerr << "zelmora-sim: " << why << "\n";
            return 2;
        }
    }
    board.transponder().set_air_capture(false);
    if (air) {
        // Stamped with the world's UTC at the transmission's own slot.
        const int64_t utc_start = zsim::to_epoch(sc.utc_start);
        board.transponder().set_air_sink([&air, &board, utc_start](const std::string& line) {
            if (air) air->sentence(line, utc_start + static_cast<int64_t>(board.transponder().air_time() / zplat::kSec));
        });
    }
    board.set_console_capture(false);
    // A chip image that faulted stops the run: the report, exit status 3.
    const auto finish = [&]() -> int {
        if (gdb) gdb->finish(chip->faulted());
        if (!eeprom_path.empty()) {
            try {
                zsim::write_kept_clock(clock_path, zsim::KeptClock{board.world_utc(), board.rtc().contents()});
            } catch (const std::exception& e) {
                std::cerr << "zelmora-sim: " << e.what() << "\n";
                return 1;
            }
        }
        if (chip && chip_report) std::cerr << chip->report_text();
        if (chip && chip->faulted()) {
            std::cerr << "zelmora-sim: the chip image stopped on a fault\n" << chip->fault_report();
            return 3;
        }
        if (tr) tr->close();
        if (!plot_path.empty()) {
            std::string why;
            const zsim::PlotLevels levels = zsim::plot_levels(board.eeprom().contents(), sc.power);
            if (!zsim::plot_trace(trace_path, plot_path, sc.name.empty() ? "zelmora-sim" : sc.name, levels, why)) {
                std::cerr << "zelmora-sim: " << why << "\n";
                return 1;
            }
        }
        return 0;
    };

    if (!paced) {
        board.set_console_sink([tr](uint8_t b) {
            std::fputc(b, stdout);
            if (tr) tr->console_byte(b);
        });
        const zsim::vtime end = static_cast<zsim::vtime>(minutes * 60.0 * 1e9);
        const auto ended = [&] { return chip && chip->ended(); };
        if (gdb && !gdb->wait_for_debugger()) {
            std::fflush(stdout);
            air.reset();
            return finish();
        }
        // A trace takes its rows between runs of a minute each.
        while (tr && next_row <= end && !ended()) {
            board.run_until(next_row);
            rows_until_now();
        }
        board.run_until(end);
        std::fflush(stdout);
        air.reset();
        return finish();
    }

    // Paced: the unit's bytes are gathered as they leave the port and handed
    // on at every pacing point (at least once per virtual millisecond).
    std::vector<uint8_t> pending;
    board.set_console_sink([&pending, tr](uint8_t b) {
        pending.push_back(b);
        if (tr) tr->console_byte(b);
    });
    zsim::PtyPort* pp = port.get();
    board.set_pace_hook([&pending, pp] {
        if (pending.empty()) return;
        std::fwrite(pending.data(), 1, pending.size(), stdout);
        std::fflush(stdout);
        if (pp) pp->send(pending.data(), pending.size());
        pending.clear();
    });
    board.set_realtime(true, speed);
    catch_stop_signals();
    if (pp) {
        pp->start([&board](const uint8_t* d, size_t n) { board.feed_console_input(d, n); });
        std::fprintf(stderr, "pty: %s\n", pp->path().c_str());
        std::fflush(stderr);
    } else {
        std::thread([&board] {
            uint8_t buf[256];
            for (;;) {
                const ssize_t n = ::read(0, buf, sizeof(buf));
                if (n <= 0) return;
                board.feed_console_input(buf, static_cast<size_t>(n));
            }
        }).detach();
    }

    // Run in slices of about 20 ms of wall time, so that an interrupt ends the
    // run promptly, with the firmware parked between two platform calls.
    // Every EEPROM write cycle has already reached the image file by then.
    const zsim::vtime slice = static_cast<zsim::vtime>(20e6 * speed);
    const zsim::vtime end = static_cast<zsim::vtime>(minutes * 60.0 * 1e9);
    if (gdb) {
        gdb->on_resume([&board, speed] { board.set_realtime(true, speed); });   // no catching up on the halt
        if (!gdb->wait_for_debugger()) g_stop = 1;
    }
    while (!g_stop && (until_stopped || board.now() < end) && !(chip && (chip->faulted() || chip->ended()))) {
        const zsim::vtime left = until_stopped ? slice : end - board.now();
        board.run_for(left < slice ? left : slice);
        rows_until_now();
    }
    std::fwrite(pending.data(), 1, pending.size(), stdout);
    std::fflush(stdout);
    air.reset();
    const int status = finish();
    std::fflush(stderr);
    std::_Exit(status);   // the stdin or pty reader may still be blocked in read() or poll()
}
