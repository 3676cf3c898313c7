// zelmora-shore-bench: what the station monitor's page costs with a large
// network. Fills a database with N stations and a week of their reports,
// starts zelmora-shore on it with a live feed over UDP at the same rates,
// then measures the server's CPU while simulated tabs poll as the page does,
// and the first paint of the page in headless Chromium.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "ais/ais.h"
#include "browser.h"
#include "monitor.h"
#include "register.h"
#include "store.h"
#include "zelmora_version.h"

extern char** environ;

namespace fs = std::filesystem;
namespace ais = zelmora::ais;
namespace shore = zelmora::shore;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kFirstMmsi = 992240000;
// The filled week's start: the week ends when it is filled, so that the live
// feed (stamped with the wall clock, as a receiver stamps it) takes it up.
// Kept beside the database for the runs that use it again.
std::int64_t kStart = 0;
constexpr int kAtonEvery = 180;               // Message 21, as AtoN stations send it

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::int64_t wall_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- the stations, their messages as decoded and as sent ----

struct Site {
    std::uint32_t mmsi;
    std::string name;
    double lat, lon;
    bool monitor_kind;   // DAC 235 FI 10 instead of the unit's own report
    double dragged;      // degrees north of its charted position it lies now
};

Site site(int i) {
    static const char* const kinds[] = {"CARDINAL N", "CARDINAL S", "PORT", "STARBOARD", "LIGHT", "BEACON", "SAFE WATER"};
    Site s;
    s.mmsi = kFirstMmsi + static_cast<std::uint32_t>(i);
    char name[32];
    std::snprintf(name, sizeof name, "%s %04d", kinds[i % 7], i);
    s.name = name;
    // Scattered along a coast some 900 km long, a few kilometres out.
    const double along = (i * 7919 % 5003) / 5003.0;
    s.lat = 36.0 + 8.0 * along + std::sin(i * 0.37) * 0.08;
    s.lon = -9.5 + 4.0 * std::sin(along * 5.0) + std::cos(i * 0.91) * 0.08;
    s.monitor_kind = i % 10 == 9;
    // One in two hundred has dragged its mooring 200 m north.
    s.dragged = i % 200 == 11 ? 0.0018 : 0.0;
    return s;
}

// What a station reports at its k-th report: mostly quiet, a few in alarm.
struct State {
    double battery_v, panel_a, charge_ah, lat, lon;
    bool input1, low, light_error;
};

State state(int i, const Site& s, long k, std::int64_t t) {
    State st;
    const double hour = static_cast<double>((t / 3600) % 24);
    const double sun = std::max(0.0, std::sin((hour - 6) / 12 * 3.14159265));
    st.battery_v = 12.4 + 0.4 * sun - (i % 97 == 5 && k % 672 > 500 ? 0.9 : 0.0);
    st.panel_a = 1.2 * sun;
    st.charge_ah = 20 * sun;
    st.input1 = i % 50 == 7;
    st.low = st.battery_v < 11.8;
    st.light_error = s.monitor_kind && i % 70 == 19;
    st.lat = s.lat + s.dragged;
    st.lon = s.lon;
    return st;
}

struct Bits {
    std::vector<int> v;
    void put(std::uint64_t value, unsigned width) {
        for (unsigned i = 0; i < width; ++i) v.push_back(static_cast<int>((value >> (width - 1 - i)) & 1));
    }
    void put_at(std::size_t at, std::uint64_t value, unsigned width) {
        if (v.size() < at + width) v.resize(at + width, 0);
        for (unsigned i = 0; i < width; ++i) v[at + i] = static_cast<int>((value >> (width - 1 - i)) & 1);
    }
    void text(const std::string& s, unsigned chars) {
        for (unsigned i = 0; i < chars; ++i) {
            const char c = i < s.size() ? s[i] : '@';
            put(static_cast<unsigned>(c >= 64 ? c - 64 : c) & 0x3F, 6);
        }
    }
};

std::string hex2(unsigned v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

unsigned xor_of(const std::string& s) {
    unsigned x = 0;
    for (char c : s) x ^= static_cast<unsigned char>(c);
    return x;
}

// One sentence (a long one: the monitor's decoder takes up to 1008 bits)
// with its receive time in a tag block.
std::string sentence(const Bits& b, std::int64_t t) {
    std::string payload;
    const std::size_t n = (b.v.size() + 5) / 6;
    for (std::size_t i = 0; i < n; ++i) {
        int x = 0;
        for (std::size_t k = i * 6; k < i * 6 + 6; ++k) x = x * 2 + (k < b.v.size() ? b.v[k] : 0);
        payload += static_cast<char>(x < 40 ? x + 48 : x + 56);
    }
    const std::string body = "AIVDM,1,1,,A," + payload + "," + std::to_string(n * 6 - b.v.size());
    const std::string tag = "c:" + std::to_string(t);
    return "\\" + tag + "*" + hex2(xor_of(tag)) + "\\!" + body + "*" + hex2(xor_of(body)) + "\r\n";
}

Bits aton_bits(const Site& s) {
    Bits b;
    b.put(21, 6);
    b.put(0, 2);
    b.put(s.mmsi, 30);
    b.put(s.monitor_kind ? 5 : 20, 5);   // a light; a cardinal mark
    b.text(s.name, 20);
    b.put(1, 1);
    b.put(static_cast<std::uint64_t>(std::llround(s.lon * 600000)) & ((1u << 28) - 1), 28);
    b.put(static_cast<std::uint64_t>(std::llround((s.lat + s.dragged) * 600000)) & ((1u << 27) - 1), 27);
    b.put(0, 30);
    b.put(7, 4);    // surveyed
    b.put(60, 6);
    b.put(0, 1 + 8 + 1 + 1 + 1 + 1);
    return b;
}

Bits report_bits(const Site& s, const State& st) {
    Bits b;
    b.put(6, 6);
    b.put(0, 2);
    b.put(s.mmsi, 30);
    b.put(0, 2 + 30 + 1 + 1);
    const std::size_t base = b.v.size();
    if (s.monitor_kind) {
        b.put(235, 10);
        b.put(10, 6);
        b.put(static_cast<std::uint64_t>(std::llround(st.battery_v * 20)), 10);
        b.put(0, 20);
        b.put(0, 2);                          // no RACON
        b.put(st.light_error ? 3 : 1, 2);     // light on, or in error
        b.put(st.light_error ? 1 : 0, 1);
        b.put(0, 8);
        b.put(0, 1 + 4);
        return b;
    }
    b.put_at(base, 1, 10);
    b.put_at(base + 10, 51, 6);
    const auto field = [&](const char* key, std::int64_t raw) {
        for (const auto& f : ais::report_fields())
            if (std::string(f.key) == key)
                b.put_at(base + f.first, static_cast<std::uint64_t>(raw) & ((std::uint64_t{1} << f.width) - 1), f.width);
    };
    field("msg_id", 1);
    field("msg_id_end", 1);
    field("battery_v", std::llround(st.battery_v * 20));
    field("panel_a", std::llround(st.panel_a * 20));
    field("charge_ah", std::llround(st.charge_ah * 20));
    field("charger", st.panel_a > 0.1 ? 1 : 0);
    field("alarm_low_battery", st.low);
    field("alarm_input1", st.input1);
    field("lon_deg", std::llround(st.lon * 600000));
    field("lat_deg", std::llround(st.lat * 600000));
    b.v.resize(base + ais::kReportBits, 0);
    return b;
}

// Decoded as the monitor's feed would decode it.
ais::Message decoded(const std::string& line) {
    ais::Decoder d;
    auto out = d.feed(line.substr(0, line.size() - 2), 1);
    return out.messages.empty() ? ais::Message{} : out.messages.front();
}

// ---- the database ----

std::int64_t report_time(int i, long k, int n, int interval) {
    return kStart + k * interval + static_cast<std::int64_t>(i) * interval / n;
}

// The week's reports go straight into the store, a day to a transaction:
// through the monitor they would take it an hour. The monitor then takes
// each station's last three reports, so that its state and interval are the week's.
// The authority's register of the network: every station with its chart and interval.
shore::Register network(int n, int interval) {
    shore::Register r;
    for (int i = 0; i < n; ++i) {
        const Site s = site(i);
        shore::Registered e;
        e.mmsi = s.mmsi;
        e.name = s.name;
        e.lat = s.lat;
        e.lon = s.lon;
        e.interval_s = interval;
        r[s.mmsi] = e;
    }
    return r;
}

void write_register(const std::string& path, int n, int interval) {
    std::ofstream f(path);
    for (const auto& [mmsi, e] : network(n, interval))
        f << "[[station]]\nmmsi = " << mmsi << "\nname = \"" << e.name << "\"\nlat = " << e.lat << "\nlon = " << e.lon
          << "\ninterval_s = " << interval << "\n\n";
}

// The monitor that takes up the filled week: it sees the week's first and
// last messages only, a gap that is no silence, so it never calls overdue.
shore::Options fill_options(int n, int interval) {
    shore::Options o;
    o.stations = network(n, interval);
    o.limits.overdue_intervals = 1e12;
    return o;
}

void fill(const std::string& db, int n, int days, int interval) {
    const auto t0 = Clock::now();
    std::vector<Site> sites;
    for (int i = 0; i < n; ++i) sites.push_back(site(i));
    const long per = static_cast<long>(days) * 86400 / interval;
    {
        shore::Store store(db);
        shore::Monitor mon(store, fill_options(n, interval), nullptr);
        for (const Site& s : sites) mon.handle(decoded(sentence(aton_bits(s), kStart)), kStart);
    }
    {
        shore::Store store(db);
        const long per_day = 86400 / interval;
        for (long k = 0; k + 3 < per; ++k) {
            if (k % per_day == 0) store.begin();
            for (int i = 0; i < n; ++i) {
                const std::int64_t t = report_time(i, k, n, interval);
                const State st = state(i, sites[i], k, t);
                const ais::Message m = decoded(sentence(report_bits(sites[i], st), t));
                shore::ReportRow row;
                row.mmsi = m.mmsi;
                row.time = t;
                nlohmann::json alarms = nlohmann::json::array();
                if (m.report) {
                    row.kind = "dac1fi51";
                    row.battery_v = m.report->find("battery_v")->number();
                    row.panel_a = m.report->find("panel_a")->number();
                    row.charge_ah = m.report->find("charge_ah")->number();
                    row.lat = m.report->find("lat_deg")->number();
                    row.lon = m.report->find("lon_deg")->number();
                    if (st.low) alarms.push_back("low_battery");
                    if (st.input1) alarms.push_back("input1");
                } else {
                    row.kind = "dac235fi10";
                    row.battery_v = m.monitor ? m.monitor->internal_v : std::nullopt;
                    if (st.light_error) alarms = {"general", "light"};
                }
                row.alarms = alarms.dump();
                row.data = ais::to_json(m).dump();
                store.add_report(row);
            }
            if ((k + 1) % per_day == 0 || k + 4 == per) store.commit();
            if ((k + 1) % std::max(1L, per / 10) == 0)
                std::cerr << "  filled " << (k + 1) * 100 / per << " % (" << std::lround(seconds_since(t0)) << " s)\n";
        }
    }
    shore::Store store(db);
    shore::Monitor mon(store, fill_options(n, interval), nullptr);
    for (long k = std::max(0L, per - 3); k < per; ++k)
        for (int i = 0; i < n; ++i) {
            const std::int64_t t = report_time(i, k, n, interval);
            mon.handle(decoded(sentence(report_bits(sites[i], state(i, sites[i], k, t)), t)), t);
        }
    std::cerr << "  " << static_cast<long>(n) * per << " reports of " << n << " stations in "
              << std::lround(seconds_since(t0)) << " s\n";
}

// ---- the server and its feed ----

pid_t spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    std::vector<std::string> a = args;
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int free_udp_port() {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// The air at the network's rates: each station's report every `interval`
// seconds and its Message 21 every three minutes, stamped with the wall clock.
class Feed {
public:
    Feed(int port, int n, int interval) : n_(n), interval_(interval), from_(wall_now()) {
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        to_.sin_family = AF_INET;
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to_.sin_port = htons(static_cast<std::uint16_t>(port));
        for (int i = 0; i < n; ++i) sites_.push_back(site(i));
        thread_ = std::thread([this] { run(); });
    }
    ~Feed() {
        stop_ = true;
        thread_.join();
        close(sock_);
    }
    long sent() const { return sent_; }

private:
    void run() {
        std::int64_t done = from_;
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const std::int64_t now = wall_now();
            std::string batch;
            for (std::int64_t t = done + 1; t <= now; ++t) {
                for (int i = 0; i < n_; ++i) {
                    // Each station at its own offset within the interval.
                    if ((t - kStart - static_cast<std::int64_t>(i) * interval_ / n_) % interval_ == 0) {
                        const long k = static_cast<long>((t - kStart) / interval_);
                        add(batch, sentence(report_bits(sites_[i], state(i, sites_[i], k, t)), t));
                    }
                    if ((t + i) % kAtonEvery == 0) add(batch, sentence(aton_bits(sites_[i]), t));
                }
            }
            done = now;
            flush(batch);
        }
    }
    void add(std::string& batch, const std::string& line) {
        if (batch.size() + line.size() > 1400) flush(batch);
        batch += line;
        ++sent_;
    }
    void flush(std::string& batch) {
        if (batch.empty()) return;
        sendto(sock_, batch.data(), batch.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
        batch.clear();
    }
    int n_, interval_;
    std::int64_t from_;
    int sock_;
    sockaddr_in to_{};
    std::vector<Site> sites_;
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
    std::thread thread_;
};

// The server's CPU time so far, in seconds.
double cpu_of(pid_t pid) {
    clockid_t clk;
    timespec ts{};
    if (clock_getcpuclockid(pid, &clk) != 0 || clock_gettime(clk, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- the tabs ----

const httplib::Headers kBrowserHeaders = {{"Accept-Encoding", "gzip, deflate, br, zstd"}};

struct Counted {
    long requests = 0, polls = 0, bytes = 0, failures = 0;
};

// What one tab asks every poll, as the page does it; the bytes as they
// came over the wire.
class Tab {
public:
    Tab(int port, bool old_page) : http_("127.0.0.1", port), old_(old_page) {
        http_.set_read_timeout(120, 0);
        http_.set_keep_alive(true);
    }
    // The page's first load of the stations.
    void load(Counted& c) { get("/api/stations", c, true); }
    void poll(Counted& c) {
        ++c.polls;
        if (old_) {
            get("/api/stations", c, false);
            get("/api/events?limit=30", c, false);
            return;
        }
        get("/api/status", c, false);
        get("/api/stations?since=" + std::to_string(rev_), c, true);
        get("/api/events?limit=20", c, false);
    }

private:
    void get(const std::string& path, Counted& c, bool stations) {
        auto r = http_.Get(path.c_str(), kBrowserHeaders);
        ++c.requests;
        if (!r || r->status != 200) {
            ++c.failures;
            return;
        }
        c.bytes += static_cast<long>(r->get_header_value<std::uint64_t>("Content-Length"));
        if (stations && !old_) {
            const auto j = nlohmann::json::parse(r->body, nullptr, false);
            if (j.is_object() && j.contains("rev") && j["rev"].is_number_unsigned()) rev_ = j["rev"].get<std::uint64_t>();
        }
    }
    httplib::Client http_;
    bool old_;
    std::uint64_t rev_ = 0;
};

struct Figures {
    double cpu_per_poll_ms = 0, share = 0, bytes_per_poll = 0;
    long polls = 0, failures = 0;
};

// `tabs` tabs, each polling every 3 s for `seconds`, started spread over
// the first interval; the server's CPU above its idle rate.
Figures tabs_polling(pid_t server, int port, bool old_page, int tabs, double seconds, double idle_rate) {
    std::vector<std::unique_ptr<Tab>> list;
    Counted loaded;
    for (int i = 0; i < tabs; ++i) {
        list.push_back(std::make_unique<Tab>(port, old_page));
        if (!old_page) list.back()->load(loaded);
    }
    std::vector<Counted> counts(static_cast<std::size_t>(tabs));
    const double cpu0 = cpu_of(server);
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < tabs; ++i)
        threads.emplace_back([&, i] {
            auto next = t0 + std::chrono::milliseconds(3000 * i / tabs);
            while (next < t0 + std::chrono::milliseconds(static_cast<long>(seconds * 1000))) {
                std::this_thread::sleep_until(next);
                list[static_cast<std::size_t>(i)]->poll(counts[static_cast<std::size_t>(i)]);
                // A poll longer than the interval delays the next, as it would in the page.
                next = std::max(next + std::chrono::milliseconds(3000), Clock::now());
            }
        });
    for (auto& t : threads) t.join();
    const double wall = seconds_since(t0);
    const double cpu = std::max(0.0, cpu_of(server) - cpu0 - idle_rate * wall);
    Figures f;
    long bytes = 0;
    for (const auto& c : counts) {
        f.polls += c.polls;
        f.failures += c.failures;
        bytes += c.bytes;
    }
    f.cpu_per_poll_ms = f.polls ? cpu / static_cast<double>(f.polls) * 1000 : 0;
    f.share = cpu / wall;
    f.bytes_per_poll = f.polls ? static_cast<double>(bytes) / static_cast<double>(f.polls) : 0;
    return f;
}

// Server CPU of one request repeated `n` times, back to back.
std::pair<double, long> one_request(pid_t server, int port, const std::string& path, int n, double idle_rate) {
    httplib::Client http("127.0.0.1", port);
    http.set_read_timeout(120, 0);
    long bytes = 0;
    const double cpu0 = cpu_of(server);
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        auto r = http.Get(path.c_str(), kBrowserHeaders);
        if (r) bytes = static_cast<long>(r->get_header_value<std::uint64_t>("Content-Length"));
    }
    const double cpu = std::max(0.0, cpu_of(server) - cpu0 - idle_rate * seconds_since(t0));
    return {cpu / n * 1000, bytes};
}

std::string exe_dir() {
    std::error_code ec;
    const fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : p.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"What the station monitor's page costs with a large network: fills a database with N stations and\n"
                 "a week of reports, starts zelmora-shore on it with a live feed over UDP at the same rates, and\n"
                 "measures the server's CPU per poll with one and ten simulated tabs, the bytes per poll, and the\n"
                 "page's first paint in headless Chromium. Prints figures; asserts nothing."};
    app.set_version_flag("--version", std::string("zelmora-shore-bench ") + zelmora::version());
    int n = 5000, days = 7, interval = 900;
    double seconds = 30;
    std::string db, shore_path = exe_dir() + "/zelmora-shore", work = "shore-bench", screenshot;
    bool old_page = false, no_browser = false;
    app.add_option("--stations", n, "how many stations")->capture_default_str()->check(CLI::Range(1, 100000));
    app.add_option("--days", days, "days of reports in the database")->capture_default_str()->check(CLI::Range(0, 366));
    app.add_option("--interval", interval, "each station's reporting interval, seconds (Message 21 goes every 180 s)")
        ->capture_default_str()
        ->check(CLI::Range(10, 86400));
    app.add_option("--seconds", seconds, "how long each tab measurement polls")->capture_default_str()->check(
        CLI::Range(3.0, 3600.0));
    app.add_option("--work", work, "folder for the database, logs and the browser's profile")->capture_default_str();
    app.add_option("--db", db, "the database (default WORK/bench-N-DAYS-INTERVAL.db; kept and used again when there)");
    app.add_option("--shore", shore_path, "the zelmora-shore to measure")->capture_default_str();
    app.add_flag("--old-page", old_page,
                 "poll as the page before delta polls did (the whole station list and 30 events every 3 s), for a "
                 "zelmora-shore of that time");
    app.add_flag("--no-browser", no_browser, "leave out the first paint in Chromium");
    app.add_option("--screenshot", screenshot, "a picture of the page with its map into this PNG");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    signal(SIGPIPE, SIG_IGN);
    fs::create_directories(work);
    if (db.empty())
        db = work + "/bench-" + std::to_string(n) + "-" + std::to_string(days) + "-" + std::to_string(interval) + ".db";
    const std::string start_file = db + ".start";
    if (fs::exists(db) && fs::exists(start_file)) {
        std::ifstream(start_file) >> kStart;
    } else {
        fs::remove(db);
        // Whole intervals back from now: the filled week ends where the live feed begins.
        kStart = (wall_now() - static_cast<std::int64_t>(days) * 86400) / interval * interval;
    }
    if (!fs::exists(db)) {
        std::cerr << "filling " << db << ": " << n << " stations, " << days << " days, a report every " << interval
                  << " s\n";
        try {
            fill(db + ".part", n, days, interval);
        } catch (const std::exception& e) {
            std::cerr << "zelmora-shore-bench: " << e.what() << "\n";
            return 2;
        }
        for (const char* ext : {"", "-wal", "-shm"})
            if (fs::exists(db + ".part" + ext)) fs::rename(db + ".part" + ext, db + ext);
        std::ofstream(start_file) << kStart << "\n";
    } else {
        std::cerr << "using " << db << "\n";
    }

    const int udp = free_udp_port();
    const std::string err = work + "/shore.log";
    const std::string stations = work + "/stations-" + std::to_string(n) + ".toml";
    write_register(stations, n, interval);
    std::vector<std::string> args = {shore_path, "udp://127.0.0.1:" + std::to_string(udp), "--db", db, "--http", "0"};
    // A monitor of the old page's time had no register.
    if (!old_page) args.insert(args.end(), {"--stations", stations});
    pid_t server = spawn(args,
                         "/dev/null", err);
    if (server <= 0) {
        std::cerr << "zelmora-shore-bench: cannot start " << shore_path << "\n";
        return 2;
    }
    int port = -1;
    for (int i = 0; i < 1200 && port < 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream f(err);
        std::stringstream ss;
        ss << f.rdbuf();
        const std::string log = ss.str();
        const auto at = log.find("page at http://127.0.0.1:");
        if (at != std::string::npos && log.find('/', at + 25) != std::string::npos) port = std::stoi(log.substr(at + 25));
    }
    const auto finish = [&](int rc) {
        kill(server, SIGTERM);
        int status = 0;
        waitpid(server, &status, 0);
        return rc;
    };
    if (port < 0) {
        std::cerr << "zelmora-shore-bench: " << shore_path << " did not start its page (" << err << ")\n";
        return finish(2);
    }
    Feed feed(udp, n, interval);
    const double rate = n / static_cast<double>(interval) + n / static_cast<double>(kAtonEvery);
    std::printf("zelmora-shore-bench: %d stations, %d days of reports every %d s in %s (%.0f MB)\n", n, days, interval,
                db.c_str(), static_cast<double>(fs::file_size(db)) / 1e6);
    std::printf("live feed: %.1f messages/s (reports every %d s, Message 21 every %d s)%s\n", rate, interval,
                kAtonEvery, old_page ? "; tabs poll as the old page did" : "");
    std::this_thread::sleep_for(std::chrono::seconds(3));

    // The feed's own cost, taken off every figure below.
    const double idle0 = cpu_of(server);
    const auto i0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(std::min(seconds, 15.0) * 1000)));
    const double idle_rate = (cpu_of(server) - idle0) / seconds_since(i0);
    std::printf("server idle with the feed: %.2f %% of a core\n", idle_rate * 100);

    const auto [full_ms, full_bytes] = one_request(server, port, "/api/stations", old_page ? 2 : 5, idle_rate);
    std::printf("full station list: %.1f ms of server CPU, %ld bytes as sent\n", full_ms, full_bytes);
    for (int tabs : {1, 10}) {
        const Figures f = tabs_polling(server, port, old_page, tabs, seconds, idle_rate);
        std::printf("%2d tab%s: %ld polls, %.2f ms of server CPU per poll, %.0f bytes per poll, %.2f %% of a core%s\n",
                    tabs, tabs == 1 ? " " : "s", f.polls, f.cpu_per_poll_ms, f.bytes_per_poll, f.share * 100,
                    f.failures ? (" (" + std::to_string(f.failures) + " failed requests)").c_str() : "");
    }
    std::fflush(stdout);

    if (!no_browser || !screenshot.empty()) {
        shore::Browser b;
        std::string why;
        const std::string profile = work + "/chromium";
        fs::remove_all(profile);
        fs::create_directories(profile);
        if (!b.start(profile, 1400, 1000, why)) {
            std::printf("first paint: not measured (%s)\n", why.c_str());
        } else {
            const auto t0 = Clock::now();
            const bool opened = b.open("http://127.0.0.1:" + std::to_string(port) + "/", 120);
            const bool rows = opened && b.wait("document.querySelector('#stations tbody tr')", 120);
            const double paint = seconds_since(t0);
            const auto own = b.eval("document.body.dataset.firstRows || null");
            if (!rows)
                std::printf("first paint: no rows drawn (%s)\n", b.error().c_str());
            else if (own && own->is_string())
                std::printf("first paint: %.2f s to the first rows (the page's own mark: %s ms)\n", paint,
                            own->get<std::string>().c_str());
            else
                std::printf("first paint: %.2f s to the first rows\n", paint);
            if (rows && !screenshot.empty()) {
                b.wait("document.querySelector('#map canvas')", 60);
                std::this_thread::sleep_for(std::chrono::seconds(2));
                if (b.screenshot(screenshot)) std::printf("screenshot: %s\n", screenshot.c_str());
            }
        }
    }
    std::printf("feed: %ld messages sent\n", feed.sent());
    return finish(0);
}
