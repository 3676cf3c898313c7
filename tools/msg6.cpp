// zelmora-msg6: reads what an AIS base station, a receiver or the unit's
// transponder line logged or sends live (!xxVDM, !xxVDO, !xxMEB) and prints
// the unit's Message 6 monitoring reports, AtoN monitoring reports and
// Messages 21; other messages get one line each, bad ones one error line
// each on standard error.
#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <mutex>
#include <thread>

#include "ais/ais.h"
#include "feed/feed.h"
#include "zelmora_version.h"

namespace {

std::atomic<bool> g_stop{false};
extern "C" void on_stop(int) { g_stop = true; }

// No SA_RESTART: a signal ends the wait a source is in at once.
void catch_stop_signals() {
    struct sigaction sa{};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// Sources that do not end by themselves.
bool is_live(const std::string& where, bool follow) {
    if (follow || where.find("://") != std::string::npos) return true;
    struct stat st{};
    return where != "-" && ::stat(where.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// One input to its end, or until a stop signal.
void read_source(zelmora::feed::Source& src, zelmora::ais::Printer& printer) {
    constexpr int kWaitMs = 250;   // how soon a signal that slipped past a wait is seen
    long n = 0;
    std::string line;
    for (;;) {
        if (g_stop) return;   // what an interrupted feed left half-sent is nobody's error
        const auto st = src.next(line, kWaitMs);
        if (st == zelmora::feed::Status::End) break;
        if (st == zelmora::feed::Status::Line) printer.line(line, ++n);
    }
    printer.finish();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Decodes the Zelmora unit's AIS Message 6 monitoring reports (DAC 1, FI 51), AtoN monitoring\n"
                 "reports (DAC 235 FI 10) and Messages 21 from !xxVDM/!xxVDO logs or live feeds of a base station\n"
                 "or receiver and from the unit's !AIMEB load sentences."};
    app.set_version_flag("--version", std::string("zelmora-msg6 ") + zelmora::version());
    std::vector<std::string> inputs;
    bool json = false, brief = false, follow = false;
    unsigned baud = 38400;
    zelmora::ais::Filter filter;
    app.add_option("inputs", inputs,
                   "NMEA logs or feeds: FILE, - (standard input, the default), tcp://HOST:PORT, udp://:PORT, "
                   "udp://ADDRESS:PORT, a serial device");
    app.add_flag("--json", json, "one JSON object per line per message instead of readable text");
    app.add_flag("--brief", brief,
                 "one line per monitoring report and Message 21 (receive time, MMSI, the readings); "
                 "other messages left out");
    // One value per use: a vector option would otherwise take the input
    // files after it for MMSIs too.
    app.add_option("--mmsi", filter.mmsi, "only messages from this MMSI (repeatable, or a comma-separated list)")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->check(CLI::Range(1u, 1073741823u));
    app.add_flag("--reports-only", filter.reports_only,
                 "only monitoring reports: the unit's (DAC 1 FI 51) and AtoN monitoring reports (DAC 235 FI 10)");
    app.add_flag("--follow,-f", follow,
                 "keep reading files as they grow (and FIFOs after their writer closes), until interrupted");
    app.add_option("--baud", baud, "serial devices: line speed, 8N1 raw (default 38400)");
    app.get_formatter()->column_width(30);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (json && brief) {
        std::cerr << "zelmora-msg6: --json and --brief: choose one\n";
        return 2;
    }
    if (inputs.empty()) inputs.push_back("-");
    const auto format = json ? zelmora::ais::Format::Json
                             : brief ? zelmora::ais::Format::Brief : zelmora::ais::Format::Text;

    // Every name is checked before anything is read.
    std::mutex io;
    zelmora::feed::Options opts;
    opts.baud = baud;
    opts.follow = follow;
    opts.notice = [&io](const std::string& what) {
        std::lock_guard<std::mutex> hold(io);
        std::cerr << "zelmora-msg6: " << what << "\n" << std::flush;
    };
    std::vector<std::unique_ptr<zelmora::feed::Source>> sources;
    bool live = false;
    for (const auto& where : inputs) {
        std::string why;
        auto src = zelmora::feed::open(where, opts, why);
        if (!src) {
            std::cerr << "zelmora-msg6: " << why << "\n";
            return 2;
        }
        live = live || is_live(where, follow);
        sources.push_back(std::move(src));
    }
    catch_stop_signals();

    std::vector<std::unique_ptr<zelmora::ais::Printer>> printers;
    for (const auto& src : sources) {
        printers.push_back(std::make_unique<zelmora::ais::Printer>(src->name(), format, filter, std::cout, std::cerr));
        printers.back()->lock = [&io](bool begin) {
            if (begin) io.lock();
            else io.unlock();
        };
    }
    if (!live || sources.size() == 1) {
        // One after another, as given.
        for (std::size_t i = 0; i < sources.size() && !g_stop; ++i) read_source(*sources[i], *printers[i]);
    } else {
        // A live source never ends: all of them at once.
        std::vector<std::thread> readers;
        for (std::size_t i = 0; i < sources.size(); ++i)
            readers.emplace_back([&, i] { read_source(*sources[i], *printers[i]); });
        for (auto& t : readers) t.join();
    }
    std::cout.flush();
    bool good = true;
    for (const auto& p : printers) good = good && p->good();
    return good ? 0 : 1;
}
