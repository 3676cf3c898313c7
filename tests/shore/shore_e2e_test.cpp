// The whole chain: the virtual unit's transponder on the air as UDP
// datagrams, zelmora-shore listening, its events on standard output and in
// its database, and its page in a headless browser.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <optional>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "program_support.h"
#include "shore/store.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr std::uint32_t kMmsi = 992241234;   // the scenario's transponder
constexpr std::int64_t kLastReport = 1796748150;   // 2026-12-08T16:42:30Z

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Polls until `done` or `seconds` have passed; generous, as the machine may be busy.
bool wait_for(const std::function<bool()>& done, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

pid_t spawn(std::vector<std::string> args, const fs::path& out, const fs::path& err) {
    args = program_argv(std::move(args));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Killed when the test leaves early.
struct Child {
    pid_t pid = -1;
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    pid_t release() { return std::exchange(pid, -1); }
};

// The exit status, or -1 when it had to be killed after `seconds`.
int finish(pid_t pid, int seconds) {
    int status = 0;
    if (!wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A UDP port nobody holds right now.
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

void send_udp(int port, const std::string& datagram) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    close(s);
}

std::vector<nlohmann::json> events(const fs::path& out) {
    std::vector<nlohmann::json> ev;
    std::istringstream in(slurp(out));
    for (std::string line; std::getline(in, line);) ev.push_back(nlohmann::json::parse(line, nullptr, false));
    return ev;
}

bool told(const std::vector<nlohmann::json>& ev, const std::string& event, const std::string& alarm = "") {
    for (const auto& e : ev)
        if (e.is_object() && e.value("event", "") == event && (alarm.empty() || e.value("alarm", "") == alarm) &&
            e.value("mmsi", 0u) == kMmsi && e.value("name", "") == "ZELMORA NORTE")
            return true;
    return false;
}

// The browser's rendering of `url` once its fetches are done: the DOM, or a
// picture with `picture` set.
std::string browse(const fs::path& dir, const std::string& url, const std::string& picture = "") {
    const fs::path out = dir / "dom.html";
    std::string cmd = std::string("timeout 300 ") + kChromium +
                      " --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir=" +
                      (dir / "chromium").string() + " --virtual-time-budget=8000 --window-size=1400,800 ";
    cmd += picture.empty() ? "--dump-dom " : "--screenshot=" + picture + " ";
    cmd += url + " > " + out.string() + " 2> " + (dir / "chromium.log").string();
    if (std::system(cmd.c_str()) != 0) return "";
    return slurp(out);
}

}  // namespace

TEST(ShoreEndToEnd, TheVirtualUnitOnTheAirReachesTheEventsTheDatabaseAndThePage) {
    const fs::path dir = fs::path(ZELMORA_BUILD_DIR) / "shore-e2e";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const int udp = free_udp_port();
    ASSERT_GT(udp, 0);
    const fs::path db = dir / "shore.db", out = dir / "events.jsonl", err = dir / "shore.log";

    const std::string listen = "udp://:" + std::to_string(udp), air = "udp://127.0.0.1:" + std::to_string(udp);
    // The simulator runs its hours in minutes, stamping its virtual UTC: a
    // recording played back, whose own times are the clock.
    Child shore{spawn({ZELMORA_SHORE_PATH, listen, "--replay", "--http", "0", "--db", db.string()}, out, err)};
    ASSERT_GT(shore.pid, 0);
    // Its inputs are open once it names its page.
    std::string log;
    const std::string said = "page at http://127.0.0.1:";
    ASSERT_TRUE(wait_for([&] { return (log = slurp(err)).find(said) != std::string::npos && log.back() == '\n'; }, 120))
        << "zelmora-shore did not start:\n" << log;
    const std::size_t at = log.find(said) + 8;
    const std::string url = log.substr(at, log.find('\n', at) - at);

    // What a noisy receiver adds: told on standard error, and nothing more.
    send_udp(udp, "!AIVDM,1,1,,A,15M67FC000G?ufbE`FepT@3n00Sa,0*00\n");
    const char junk[] = "\x00\xff\xfe junk\n\n!AIVDM,1,1,,B,6>jR06,0*7F\n";
    send_udp(udp, std::string(junk, sizeof junk - 1));
    EXPECT_TRUE(wait_for([&] { return slurp(err).find(listen + ":1: ") != std::string::npos; }, 60)) << slurp(err);

    // Three virtual hours, as fast as the machine runs them.
    const std::string scenario = std::string(ZELMORA_SOURCE_DIR) + "/tests/shore/shore-watch.toml";
    Child sim{spawn({ZELMORA_SIM_PATH, "--scenario", scenario, "--air", air}, "/dev/null", dir / "sim.log")};
    ASSERT_GT(sim.pid, 0);
    EXPECT_EQ(finish(sim.release(), 600), 0) << slurp(dir / "sim.log");

    // Input 2 closes at 00:45 and the battery falls below 11.8 V near 01:30;
    // the reports stop for twenty minutes from 02:00, while Message 21 moves
    // the shore's clock past two and a half intervals of 180 s. The last
    // report is the one of 16:42:30.
    std::optional<zelmora::shore::Store> kept;
    const bool all = wait_for(
        [&] {
            if (!kept && fs::exists(db)) kept.emplace(db.string());
            const auto h = kept ? kept->history(kMmsi, 0) : nlohmann::json();
            return h.is_object() && !h["time"].empty() && h["time"].back() == kLastReport;
        },
        120);
    ASSERT_TRUE(all) << slurp(out) << slurp(err);
    const auto ev = events(out);
    EXPECT_TRUE(told(ev, "new_station"));
    EXPECT_TRUE(told(ev, "alarm_raised", "input2"));
    EXPECT_TRUE(told(ev, "alarm_raised", "low_battery"));
    EXPECT_TRUE(told(ev, "battery_low"));
    EXPECT_TRUE(told(ev, "overdue"));
    EXPECT_TRUE(told(ev, "heard_again"));
    EXPECT_FALSE(told(ev, "off_position"));
    for (const auto& e : ev) {
        ASSERT_TRUE(e.is_object()) << slurp(out);
        // Stamped with the virtual UTC the datagrams carry: 2026-12-08, 13:45 on.
        EXPECT_EQ(e["time"].get<std::string>().substr(0, 11), "2026-12-08T") << e;
        if (e["event"] == "overdue") {
            EXPECT_EQ(e["interval_s"], 180.0) << e;
        }
    }
    // What it told is what it kept: every event, and a report every 3
    // minutes but for the silence.
    EXPECT_EQ(kept->count("events"), static_cast<long>(ev.size()));
    EXPECT_GE(kept->count("reports"), 50);
    EXPECT_LE(kept->count("reports"), 60);
    EXPECT_LT(kept->history(kMmsi, 0)["battery_v"].back().get<double>(), 11.8);
    kept.reset();

    // The page: the station with its alarms, as a person's browser shows it.
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed: the page is not checked";
    const std::string dom = browse(dir, url);
    const std::size_t row = dom.find("<tr data-mmsi=\"992241234\"");
    ASSERT_NE(row, std::string::npos) << dom << slurp(dir / "chromium.log");
    const std::string tr = dom.substr(row, dom.find("</tr>", row) - row);
    EXPECT_NE(tr.find("ZELMORA NORTE"), std::string::npos) << tr;
    EXPECT_NE(tr.find("<span class=\"alarm\">input2</span>"), std::string::npos) << tr;
    EXPECT_NE(tr.find("<span class=\"alarm\">low_battery</span>"), std::string::npos) << tr;
    EXPECT_NE(tr.find("BATTERY LOW"), std::string::npos) << tr;
    EXPECT_NE(tr.find("2026-12-08 16:42:30Z"), std::string::npos) << tr;   // last heard

    const fs::path table = dir / "stations.png", station = dir / "station.png";
    browse(dir, url, table.string());
    browse(dir, url + "station/992241234", station.string());
    for (const auto& p : {table, station}) {
        EXPECT_TRUE(fs::exists(p) && fs::file_size(p) > 10000) << p;
        std::cout << "screenshot: " << p.string() << "\n";
    }

    kill(shore.pid, SIGTERM);
    EXPECT_EQ(finish(shore.release(), 60), 0) << slurp(err);
}
