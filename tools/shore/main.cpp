// zelmora-shore: the AtoN authority's station monitor. Reads AIS feeds until
// interrupted, keeps every report and event in an SQLite database, tells each
// event as one JSON line on standard output and, with --http, serves the
// stations' page.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <mutex>
#include <thread>

#include "ais/ais.h"
#include "feed/feed.h"
#include "monitor.h"
#include "store.h"
#include "web.h"

namespace shore = zelmora::shore;

namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_stop_signal(int) { g_stop = 1; }

std::mutex g_log_mu;
void log(const std::string& s) {
    std::lock_guard<std::mutex> lock(g_log_mu);
    std::cerr << "zelmora-shore: " << s << "\n";
}

std::int64_t wall_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Input {
    std::unique_ptr<zelmora::feed::Source> source;
    long lines = 0, messages = 0, errors = 0;
    bool ended = false;
};

// Everything the feed threads and the web page share, behind one lock.
struct Shared {
    std::mutex mu;
    std::vector<Input> inputs;
    long store_errors = 0;

    nlohmann::json counters() const {
        nlohmann::json j = {{"messages", 0}, {"errors", 0}, {"store_errors", store_errors}};
        nlohmann::json list = nlohmann::json::array();
        long messages = 0, errors = 0;
        for (const Input& in : inputs) {
            messages += in.messages;
            errors += in.errors;
            list.push_back({{"name", in.source->name()}, {"lines", in.lines}, {"messages", in.messages},
                            {"errors", in.errors}, {"ended", in.ended}});
        }
        j["messages"] = messages;
        j["errors"] = errors;
        j["inputs"] = list;
        return j;
    }
};

// One input's thread: lines to messages to the monitor. Nothing it reads
// stops it; a database that fails is told and the next message tried.
void read_input(Shared& sh, shore::Monitor& mon, Input& in) {
    zelmora::ais::Decoder dec;
    std::string line;
    long n = 0;
    const auto take = [&](const zelmora::ais::Output& out) {
        std::lock_guard<std::mutex> lock(sh.mu);
        for (const auto& e : out.errors) {
            ++in.errors;
            log(in.source->name() + ":" + std::to_string(e.line) + ": " + e.text);
        }
        for (const auto& m : out.messages) {
            ++in.messages;
            try {
                mon.handle(m, wall_now());
            } catch (const std::exception& e) {
                ++sh.store_errors;
                log(std::string("database: ") + e.what());
            }
        }
    };
    while (!g_stop) {
        const auto st = in.source->next(line, 250);
        if (st == zelmora::feed::Status::Line) {
            {
                std::lock_guard<std::mutex> lock(sh.mu);
                ++in.lines;
            }
            take(dec.feed(line, ++n));
        } else if (st == zelmora::feed::Status::Timeout) {
            std::lock_guard<std::mutex> lock(sh.mu);
            try {
                mon.tick(wall_now());
            } catch (const std::exception& e) {
                ++sh.store_errors;
                log(std::string("database: ") + e.what());
            }
        } else {
            take(dec.finish());
            break;
        }
    }
    std::lock_guard<std::mutex> lock(sh.mu);
    in.ended = true;
}

void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The AtoN station monitor: follows every station heard on the AIS feeds (the unit's Message 6\n"
                 "monitoring reports, DAC 1 FI 51 and DAC 235 FI 10, and Message 21), keeps them in an SQLite\n"
                 "database, prints each event as one JSON line and serves the stations' page."};
    std::vector<std::string> feeds;
    std::string db_path = "zelmora-shore.db";
    shore::Limits limits;
    int http_port = -1;
    std::string http_bind = "127.0.0.1";
    unsigned baud = 38400;
    bool no_follow = false;
    app.add_option("feeds", feeds,
                   "where to read: a file (followed as it grows), \"-\" (standard input), tcp://HOST:PORT, "
                   "udp://:PORT or a serial device (default: \"-\")");
    app.add_option("--db", db_path, "SQLite database, created when absent and kept across runs")
        ->capture_default_str();
    app.add_option("--low-battery-v", limits.low_battery_v, "battery_low below this many volts")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 100.0));
    app.add_option("--off-position-m", limits.off_position_m,
                   "off_position when the reported position is more than this many metres from the charted one")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1e7));
    app.add_option("--http", http_port, "serve the stations' page on this port (0: any free port, printed)")
        ->check(CLI::Range(0, 65535));
    app.add_option("--http-bind", http_bind, "address the page listens on")->capture_default_str();
    shore::WebOptions web_options;
    app.add_option("--ack-token", web_options.ack_token,
                   "acknowledgement from other machines with \"Authorization: Bearer TOKEN\" (without it: only "
                   "from this machine)");
    app.add_option("--tiles", web_options.tiles_url,
                   "map tiles from this URL template, e.g. https://tile.example/{z}/{x}/{y}.png (without it: a "
                   "plain lat/lon grid, nothing fetched from outside)");
    app.add_option("--baud", baud, "serial devices: line speed")->capture_default_str()->check(CLI::Range(50u, 4000000u));
    app.add_flag("--no-follow", no_follow, "read files to their end and stop there instead of waiting for more");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (feeds.empty()) feeds.push_back("-");

    std::unique_ptr<shore::Store> store;
    try {
        store = std::make_unique<shore::Store>(db_path);
    } catch (const shore::StoreError& e) {
        log(e.what());
        return 2;
    }

    Shared sh;
    zelmora::feed::Options fo;
    fo.baud = baud;
    fo.follow = !no_follow;
    fo.notice = [](const std::string& s) { log(s); };
    for (const auto& f : feeds) {
        std::string why;
        auto src = zelmora::feed::open(f, fo, why);
        if (!src) {
            log(why.empty() ? f + ": cannot open" : why);
            return 2;
        }
        sh.inputs.push_back(Input{std::move(src)});
    }

    std::unique_ptr<shore::Monitor> mon;
    try {
        mon = std::make_unique<shore::Monitor>(*store, limits, [](const nlohmann::ordered_json& e) {
            std::cout << e.dump() << std::endl;
        });
    } catch (const std::exception& e) {
        log(e.what());
        return 2;
    }

    catch_stop_signals();
    std::unique_ptr<shore::Web> web;
    if (http_port >= 0) {
        web = std::make_unique<shore::Web>(
            shore::WebSources{&sh.mu, mon.get(), store.get(), [&sh] { return sh.counters(); }}, web_options);
        std::string why;
        if (!web->start(http_bind, http_port, why)) {
            log(why);
            return 2;
        }
        const bool v6 = http_bind.find(':') != std::string::npos;
        log("page at http://" + (v6 ? "[" + http_bind + "]" : http_bind) + ":" + std::to_string(web->port()) + "/");
    }

    std::vector<std::thread> threads;
    for (Input& in : sh.inputs) threads.emplace_back(read_input, std::ref(sh), std::ref(*mon), std::ref(in));
    // Without a page to serve, the end of every input is the end of the run.
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (web) continue;
        std::lock_guard<std::mutex> lock(sh.mu);
        bool all = true;
        for (const Input& in : sh.inputs) all = all && in.ended;
        if (all) break;
    }
    g_stop = 1;
    for (auto& t : threads) t.join();
    if (web) web->stop();
    const nlohmann::json c = sh.counters();
    log(std::to_string(c["messages"].get<long>()) + " messages, " + std::to_string(c["errors"].get<long>()) +
        " bad, " + std::to_string(mon->stations().size()) + " station(s)");
    return 0;
}
