// zelmora-shore: the AtoN authority's station monitor. Reads AIS feeds until
// interrupted, keeps every report and event in an SQLite database, tells each
// event as one JSON line on standard output (and to an --on-event hook) and,
// with --http, serves the stations' page.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <mutex>
#include <thread>

#include "ais/ais.h"
#include "feed/feed.h"
#include "dispatch.h"
#include "monitor.h"
#include "register.h"
#include "store.h"
#include "web.h"
#include "zelmora_version.h"

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
    std::string given;                              // as on the command line: the key of its place
    std::unique_ptr<zelmora::feed::Source> source;
    int index = -1;                                 // the monitor's
    bool ended = false;
};

// Everything the feed threads, the main loop and the web page share, behind one lock.
struct Shared {
    std::mutex mu;
    std::vector<Input> inputs;
    shore::Monitor* mon = nullptr;
};

std::optional<shore::InputPlace> place_of(const Input& in) {
    const auto p = in.source->place();
    if (!p) return std::nullopt;
    return shore::InputPlace{in.given, p->dev, p->ino, p->size, p->offset, p->before};
}

// One input to its end (or until a stop): lines to messages to the monitor,
// and where the file was read up to kept with them. Nothing it reads stops it.
void read_input(Shared& sh, Input& in) {
    constexpr long kPlaceEvery = 200;   // lines without a message between two saves of the place
    zelmora::ais::Decoder dec;
    shore::Monitor& mon = *sh.mon;
    std::string line;
    long n = 0, unsaved = 0;
    std::optional<shore::InputPlace> place;   // after the last line that left no fragment waiting
    const auto take = [&](const zelmora::ais::Output& out) {
        for (const auto& e : out.errors) {
            mon.bad_line(in.index);
            log(in.source->name() + ":" + std::to_string(e.line) + ": " + e.text);
        }
        for (const auto& m : out.messages) {
            mon.handle(m, wall_now(), in.index, place ? &*place : nullptr);
            unsaved = 0;
        }
    };
    const auto keep = [&] {
        if (place && unsaved > 0) mon.keep_place(*place, wall_now());
        unsaved = 0;
    };
    while (!g_stop) {
        const auto st = in.source->next(line, 250);
        std::lock_guard<std::mutex> lock(sh.mu);
        if (st == zelmora::feed::Status::Line) {
            mon.line(in.index, wall_now());
            const auto out = dec.feed(line, ++n);
            if (!dec.waiting())
                if (auto p = place_of(in)) {
                    place = std::move(p);
                    ++unsaved;
                }
            take(out);
            if (unsaved >= kPlaceEvery) keep();
        } else if (st == zelmora::feed::Status::Timeout) {
            keep();
        } else {
            take(dec.finish());
            keep();
            break;
        }
    }
    std::lock_guard<std::mutex> lock(sh.mu);
    if (!g_stop) {
        in.ended = true;
        mon.input_ended(in.index);
    }
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
    CLI::App app{"The AtoN station monitor: follows the stations heard on the AIS feeds (the unit's Message 6\n"
                 "monitoring reports, DAC 1 FI 51 and DAC 235 FI 10, and Message 21) against the station register,\n"
                 "keeps them in an SQLite database, prints each event as one JSON line and serves the stations' page."};
    app.set_version_flag("--version", std::string("zelmora-shore ") + zelmora::version());
    std::vector<std::string> feeds;
    std::string db_path = "zelmora-shore.db";
    std::string register_path;
    bool learn = false;
    shore::Options mo;
    int keep_days = 0;
    std::vector<std::string> allow;
    std::string on_event;
    int http_port = -1;
    std::string http_bind = "127.0.0.1";
    unsigned baud = 38400;
    bool no_follow = false;
    app.add_option("feeds", feeds,
                   "where to read: a file (followed as it grows, and continued where the last run stopped), \"-\" "
                   "(standard input), tcp://HOST:PORT, udp://ADDRESS:PORT (udp://:PORT is 127.0.0.1 only; "
                   "udp://0.0.0.0:PORT every IPv4 address, udp://[::]:PORT every address) or a serial device "
                   "(default: \"-\")");
    app.add_option("--db", db_path,
                   "SQLite database, created when absent and kept across runs; one zelmora-shore per database "
                   "(FILE.lock beside it)")
        ->capture_default_str();
    app.add_option("--stations", register_path,
                   "the station register (TOML, [[station]] tables: mmsi, name, lat, lon, interval_s, optional "
                   "off_position_m and low_battery_v); other MMSIs that claim to be aids are unknown stations")
        ->check(CLI::ExistingFile);
    app.add_flag("--learn", learn,
                 "with --stations: list unregistered aids as stations too, their charted position from their "
                 "Message 21 (without --stations every aid heard is learned so)");
    app.add_flag("--replay", mo.replay,
                 "the messages' tag-block times are the clock (a recording read back): files are read to their "
                 "end, one input after another; a time that runs back or jumps more than a day is a bad time");
    app.add_option("--time-window", mo.time_window_s,
                   "live feeds: a tag-block time is believed within this many seconds of the wall clock; outside "
                   "it the message is timed by the wall clock and counted as a bad time")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400));
    app.add_option("--silent-after", mo.silent_after_s,
                   "an input (and all together) without a line for this many seconds is told as feed_silent")
        ->capture_default_str()
        ->check(CLI::Range(10, 7 * 86400));
    app.add_option("--keep-days", keep_days,
                   "thin reports older than this many days to one per hour and station, at start-up and hourly; "
                   "events are all kept (default: keep every report)")
        ->check(CLI::Range(1, 36500));
    app.add_option("--allow", allow,
                   "UDP inputs: take datagrams only from this sender or network (ADDRESS or ADDRESS/BITS, IPv4 or "
                   "IPv6; repeatable); others are dropped and counted")
        ->allow_extra_args(false);   // one per use: the feeds after it are no networks
    app.add_option("--on-event", on_event,
                   "run this command (with /bin/sh -c) for every event, its JSON line on standard input; at most 4 "
                   "at once, 1000 waiting, each killed after 60 s; failures counted and told on standard error");
    app.add_option("--low-battery-v", mo.limits.low_battery_v,
                   "battery_low below this many volts (a registered station's low_battery_v overrides it)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 100.0));
    app.add_option("--off-position-m", mo.limits.off_position_m,
                   "off_position when the reported position is more than this many metres from the charted one "
                   "(a registered station's off_position_m overrides it)")
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

    zelmora::feed::Options fo;
    fo.baud = baud;
    fo.follow = !no_follow && !mo.replay;
    fo.notice = [](const std::string& s) { log(s); };
    for (const auto& a : allow) {
        zelmora::feed::Network net;
        std::string why;
        if (!zelmora::feed::parse_network(a, net, why)) {
            log("--allow: " + why);
            return 2;
        }
        fo.allow.push_back(net);
    }
    if (!register_path.empty()) {
        try {
            mo.stations = shore::load_register(register_path);
        } catch (const shore::RegisterError& e) {
            log(e.what());
            return 2;
        }
        log(register_path + ": " + std::to_string(mo.stations.size()) + " registered station(s)");
    }
    mo.learn = learn || register_path.empty();

    std::unique_ptr<shore::Store> store;
    std::map<std::string, shore::InputPlace> places;
    try {
        store = std::make_unique<shore::Store>(db_path, true);
        places = store->places();
    } catch (const shore::StoreError& e) {
        log(e.what());
        return 2;
    }

    Shared sh;
    for (const auto& f : feeds) {
        zelmora::feed::Options o = fo;
        if (const auto p = places.find(f); p != places.end())
            o.resume = zelmora::feed::Place{p->second.dev, p->second.ino, p->second.size, p->second.offset,
                                            p->second.before};
        std::string why;
        auto src = zelmora::feed::open(f, o, why);
        if (!src) {
            log(why.empty() ? f + ": cannot open" : why);
            return 2;
        }
        sh.inputs.push_back(Input{f, std::move(src)});
    }

    std::unique_ptr<shore::Dispatcher> hooks;
    if (!on_event.empty()) hooks = std::make_unique<shore::Dispatcher>(shore::Dispatcher::Settings{on_event},
                                                   [](const std::string& s) { log(s); });
    std::unique_ptr<shore::Monitor> mon;
    try {
        mon = std::make_unique<shore::Monitor>(*store, mo, [&hooks](const nlohmann::ordered_json& e) {
            // Standard output never stops on a byte that is not text.
            const std::string line = e.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
            std::cout << line << std::endl;
            if (hooks) hooks->push(line + "\n");
        });
    } catch (const std::exception& e) {
        log(e.what());
        return 2;
    }
    sh.mon = mon.get();
    for (Input& in : sh.inputs) in.index = mon->add_input(in.source->name(), wall_now());

    const auto thin = [&] {
        const long n = mon->thin(keep_days, wall_now());
        if (n > 0) log("--keep-days " + std::to_string(keep_days) + ": " + std::to_string(n) + " report(s) thinned");
    };
    if (keep_days > 0) thin();

    catch_stop_signals();
    std::unique_ptr<shore::Web> web;
    if (http_port >= 0) {
        web = std::make_unique<shore::Web>(
            shore::WebSources{&sh.mu, mon.get(), store.get(), [&mon] { return mon->feed_status(); }}, web_options);
        std::string why;
        if (!web->start(http_bind, http_port, why)) {
            log(why);
            return 2;
        }
        const bool v6 = http_bind.find(':') != std::string::npos;
        log("page at http://" + (v6 ? "[" + http_bind + "]" : http_bind) + ":" + std::to_string(web->port()) + "/");
    }

    std::vector<std::thread> threads;
    if (mo.replay) {
        // A recording's times are one clock: its inputs in turn.
        threads.emplace_back([&sh] {
            for (Input& in : sh.inputs)
                if (!g_stop) read_input(sh, in);
        });
    } else {
        for (Input& in : sh.inputs) threads.emplace_back(read_input, std::ref(sh), std::ref(in));
    }
    // The clock runs on without traffic: overdue reports and silent inputs
    // are found here. Without a page, the end of every input ends the run.
    auto next_tick = std::chrono::steady_clock::now();
    auto next_thin = next_tick + std::chrono::hours(1);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> lock(sh.mu);
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_tick) {
            next_tick = now + std::chrono::seconds(1);
            for (const Input& in : sh.inputs) {
                const auto c = in.source->counters();
                mon->input_counters(in.index, c.lost, c.refused);
            }
            if (hooks) mon->set_dispatch_status(hooks->status());
            mon->tick(wall_now());
        }
        if (keep_days > 0 && now >= next_thin) {
            next_thin = now + std::chrono::hours(1);
            thin();
        }
        if (web) continue;
        bool all = true;
        for (const Input& in : sh.inputs) all = all && in.ended;
        if (all) break;
    }
    g_stop = 1;
    for (auto& t : threads) t.join();
    if (web) web->stop();
    hooks.reset();
    const nlohmann::json c = mon->feed_status();
    log(std::to_string(c["messages"].get<long>()) + " messages, " + std::to_string(c["errors"].get<long>()) +
        " bad, " + std::to_string(c["bad_times"].get<long>()) + " bad time(s), " +
        std::to_string(mon->stations().size()) + " station(s), " + std::to_string(mon->unknown().size()) +
        " unknown");
    return 0;
}
