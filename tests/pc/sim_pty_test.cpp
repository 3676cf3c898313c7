// `zelmora-sim --pty` as a PC program sees it: a serial line whose far end
// is the unit, which survives the program closing and reopening it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "app.h"
#include "frame.h"
#include "program_support.h"
#include "serial.h"

extern char** environ;

namespace {
// What arrives on the line within `ms`.
std::string listen(const std::string& path, int ms) {
    zpc::SerialPort port(path);
    std::string got;
    const auto end = zpc::Clock::now() + std::chrono::milliseconds(ms);
    uint8_t buf[512];
    while (zpc::Clock::now() < end) got.append(reinterpret_cast<char*>(buf), port.read_some(buf, sizeof buf, end));
    return got;
}
}  // namespace

TEST(SimPty, TheConsolePortIsASerialLineThatCanBeReopened) {
    const std::string image = testing::TempDir() + "zelmora-pty-unit.bin";
    std::filesystem::remove(image);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    const std::vector<std::string> args = program_argv({ZELMORA_SIM_PATH, "--pty", "--speed", "20", "--eeprom", image});
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    close(err[1]);

    std::string line;
    char c;
    pollfd p{err[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0 && read(err[0], &c, 1) == 1) line += c;
    ASSERT_EQ(line.rfind("pty: /dev/pts/", 0), 0u) << line;
    const std::string path = line.substr(5, line.size() - 6);

    // The GPS lines of the unit's console come every virtual second.
    const std::string first = listen(path, 1500);
    EXPECT_NE(first.find("Date UTC:"), std::string::npos) << first.size() << " bytes";
    EXPECT_NE(first.find("\r\n"), std::string::npos);
    const std::string again = listen(path, 1500);
    EXPECT_NE(again.find("Date UTC:"), std::string::npos) << again.size() << " bytes";

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(std::filesystem::file_size(image), 65536u);
    close(err[0]);
    posix_spawn_file_actions_destroy(&fa);
}

namespace {
// zelmora-sim --pty on the workbench scenario, twenty times faster than the
// wall clock; stopped when the test ends.
class BenchUnit {
public:
    BenchUnit() {
        int err[2];
        if (pipe(err) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawn_file_actions_addclose(&fa, err[0]);
        const std::vector<std::string> args = program_argv(
            {ZELMORA_SIM_PATH, "--pty", "--speed", "20", "--scenario", ZELMORA_SOURCE_DIR "/sim/scenarios/workbench.toml"});
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(err[1]);
        std::string line;
        char c;
        pollfd p{err[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0 && read(err[0], &c, 1) == 1) line += c;
        close(err[0]);
        if (line.rfind("pty: ", 0) == 0) path = line.substr(5, line.size() - 6);
    }
    ~BenchUnit() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::string path;

    struct Result {
        int status;
        std::string out, err;
        double seconds;
    };
    Result pc(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--port", path, "-q"});
        std::ostringstream out, err;
        const auto t0 = std::chrono::steady_clock::now();
        const int status = zpc::run(args, out, err);
        return {status, out.str(), err.str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()};
    }

private:
    pid_t pid_ = -1;
};

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }
}  // namespace

// `status` reads the monitors in test mode, entering it for the reading
// when the unit is outside it, and leaves the unit as it found it; `info`
// reads the clock the same way instead of waiting for a status report.
TEST(SimPty, StatusAndTheClockInAndOutOfTestModeLeaveTheUnitAsFound) {
    const BenchUnit unit;
    ASSERT_FALSE(unit.path.empty());
    // The bench battery (12.2 V), the lamp on the panel (0.5 A), the default sky.
    const auto out = unit.pc({"status"});
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_TRUE(has(out.out, "unit         not in test mode: put in test mode for ")) << out.out;
    EXPECT_TRUE(has(out.out, "battery      12.2")) << out.out;
    EXPECT_TRUE(has(out.out, "panel        0.5")) << out.out;
    EXPECT_TRUE(has(out.out, "charger      on")) << out.out;
    EXPECT_TRUE(has(out.out, "gps          a valid fix: 9 satellites, HDOP 0.9, 43*22.7364N 008*23.5710W")) << out.out;
    EXPECT_TRUE(has(out.out, "clock        2026-12-08 ")) << out.out;
    EXPECT_LT(out.seconds, 15);
    EXPECT_TRUE(has(unit.pc({"test", "off"}).out, "the unit is not in test mode"));

    const auto info = unit.pc({"info"});
    EXPECT_TRUE(has(info.out, "(the unit's RTC, read now in test mode, entered for the read and left again)"))
        << info.out << info.err;
    EXPECT_LT(info.seconds, 10);

    // In test mode with the battery monitor on: so it stays.
    ASSERT_EQ(unit.pc({"test", "on"}).status, 0);
    ASSERT_EQ(unit.pc({"test", "battery", "on"}).status, 0);
    const auto in = unit.pc({"status", "--json"});
    ASSERT_EQ(in.status, 0) << in.err;
    ASSERT_TRUE(nlohmann::json::accept(in.out)) << in.out;
    const nlohmann::json j = nlohmann::json::parse(in.out);
    EXPECT_EQ(j["test_mode"]["found"], true);
    EXPECT_EQ(j["test_mode"]["entered"], false);
    EXPECT_NEAR(j["battery"]["volts"].get<double>(), 12.2, 0.05);
    EXPECT_NEAR(j["panel"]["amps"].get<double>(), 0.5, 0.05);
    EXPECT_EQ(j["gps"]["satellites"], 9);
    EXPECT_EQ(j["gps"]["valid_fix"], true);
    EXPECT_EQ(j["clock"]["utc"].get<std::string>().rfind("2026-12-08T", 0), 0u) << in.out;
    const auto watched = unit.pc({"monitor", "--seconds", "1"});
    EXPECT_TRUE(has(watched.out, "BATERIA => 12.2")) << watched.out;
    EXPECT_FALSE(has(watched.out, "I PANEL =>"));
    EXPECT_FALSE(has(watched.out, "Fecha UTC:"));
    EXPECT_TRUE(has(unit.pc({"info"}).out, "(the unit's RTC, read now)\n"));
    EXPECT_EQ(unit.pc({"test", "off"}).status, 0);
}

namespace {
// The line between zelmora-pc and the unit, with the test in the middle: it
// sees each request whole as it passes, and may pass it, drop it or hang
// the line up (after signalling the program, say).
class Relay {
public:
    enum class Act { Pass, Drop, HangUp };
    using Rule = std::function<Act(const zpc::Request&)>;

    Relay(const std::string& unit_path, Rule rule) : rule_(std::move(rule)) {
        // Not inherited by the program: closing the master must hang its line up.
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        path = ::ptsname(master_);
        unit_ = ::open(unit_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        for (int fd : {master_, unit_}) {
            termios t{};
            ::tcgetattr(fd, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
        if (master_ >= 0) ::close(master_);
        ::close(unit_);
    }
    std::string path;

private:
    static void send(int fd, const uint8_t* p, size_t n) {
        for (size_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, p + done, n - done);
            if (w > 0) done += static_cast<size_t>(w);
            else if (w < 0 && errno != EAGAIN) return;
        }
    }
    void serve() {
        std::vector<uint8_t> from_pc;
        uint8_t buf[512];
        while (!stop_ && master_ >= 0) {
            pollfd p[2] = {{master_, POLLIN, 0}, {unit_, POLLIN, 0}};
            if (::poll(p, 2, 10) <= 0) continue;
            if (p[1].revents & POLLIN) {
                const ssize_t n = ::read(unit_, buf, sizeof buf);
                if (n > 0) send(master_, buf, static_cast<size_t>(n));
            }
            if (p[0].revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(5));   // nobody on it yet
            if (!(p[0].revents & POLLIN)) continue;
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) from_pc.insert(from_pc.end(), buf, buf + n);
            // The program sends only requests; each goes on, or not, whole.
            while (from_pc.size() > 4 && from_pc.size() >= from_pc[4]) {
                const size_t len = from_pc[4] < 13 ? from_pc.size() : from_pc[4];
                const std::optional<zpc::Request> q = zpc::decode_request(from_pc.data(), len);
                const Act act = q ? rule_(*q) : Act::Pass;
                if (act == Act::HangUp) {
                    ::close(master_);
                    master_ = -1;
                    return;
                }
                if (act == Act::Pass) send(unit_, from_pc.data(), len);
                from_pc.erase(from_pc.begin(), from_pc.begin() + static_cast<long>(len));
            }
        }
    }

    Rule rule_;
    int master_ = -1, unit_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool is(const zpc::Request& q, uint8_t command, uint8_t sub, int action = -1) {
    return q.command == command && q.subcommand == sub && (action < 0 || (!q.data.empty() && q.data[0] == action));
}

// zelmora-pc as its own process on the relay's line; its exit status and
// what it said on standard error.
struct Exited {
    int status = -1;
    std::string err;
};
}  // namespace

// Ctrl-C (or SIGTERM) at a point of a command: exit status 130, test mode
// and the monitors as the program found them, and a write said to have
// landed or not as the unit shows afterwards. The relay sends the signal as
// a given request passes it.
TEST(SimPty, AnInterruptLeavesTheUnitAsFoundAndSaysWhetherTheWriteLanded) {
    const BenchUnit unit;
    ASSERT_FALSE(unit.path.empty());
    const auto mmsi = [&] { return unit.pc({"config", "get", "station.mmsi"}).out; };
    const auto factor = [&] { return unit.pc({"config", "get", "calibration.battery_volts_per_count"}).out; };
    enum class Then { Pass, Drop, HangUp, DropAndAgain };
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::function<bool(const zpc::Request&)> at;
        Then then;
        int signal;
        const char* said;
    } cases[] = {
        {"status, asking whether in test mode", {"status"}, [](const auto& q) { return is(q, 3, 5, 1); }, Then::Pass,
         SIGINT, "interrupted by Ctrl-C (SIGINT): nothing on the unit was changed\n"},
        {"status, entering test mode", {"status"}, [](const auto& q) { return is(q, 3, 1, 1); }, Then::Pass, SIGINT,
         "interrupted by Ctrl-C (SIGINT): the unit is out of test mode, as found\n"},
        {"status, reading the battery", {"status"}, [](const auto& q) { return is(q, 3, 11, 1); }, Then::Pass, SIGINT,
         "interrupted by Ctrl-C (SIGINT): the unit is out of test mode, as found\n"},
        {"status, twice", {"status"}, [](const auto& q) { return is(q, 3, 11, 1) || is(q, 3, 1, 0); },
         Then::DropAndAgain, SIGINT,
         "interrupted again, stopped at once: the unit may be left in test mode (charger held off, GPS module powered "
         "down): `zelmora-pc test off` ends it"},
        {"calibrate, entering test mode", {"calibrate", "battery", "12.3"}, [](const auto& q) { return is(q, 3, 1, 1); },
         Then::Pass, SIGINT, "the unit is out of test mode, as found; nothing was written\n"},
        {"calibrate, calibrating", {"calibrate", "battery", "12.3"}, [](const auto& q) { return is(q, 3, 11, 2); },
         Then::Pass, SIGINT, "the unit is out of test mode, as found; the battery calibration landed"},
        {"calibrate, the request lost", {"calibrate", "battery", "12.4"}, [](const auto& q) { return is(q, 3, 11, 2); },
         Then::Drop, SIGINT,
         "the unit is out of test mode, as found; the battery calibration did not land (read back from the unit)\n"},
        {"config set, reading", {"config", "set", "station.mmsi=992240001"}, [](const auto& q) { return is(q, 0, 0); },
         Then::Pass, SIGINT, "nothing was written, and nothing else on the unit changed\n"},
        {"config set, writing", {"config", "set", "station.mmsi=992240002"}, [](const auto& q) { return is(q, 1, 0); },
         Then::Pass, SIGTERM, "interrupted by SIGTERM: the configuration write landed"},
        {"config set, the request lost", {"config", "set", "station.mmsi=992240003"},
         [](const auto& q) { return is(q, 1, 0); }, Then::Drop, SIGINT,
         "the configuration write did not land (read back from the unit); nothing else on the unit was changed\n"},
        {"config set, the line gone", {"config", "set", "station.mmsi=992240004"},
         [](const auto& q) { return is(q, 1, 0); }, Then::HangUp, SIGHUP,
         "interrupted by a hang-up of the terminal (SIGHUP): whether the configuration write landed is unknown: the "
         "line is gone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string mmsi_before = mmsi(), factor_before = factor();
        std::atomic<pid_t> pid{0};
        std::atomic<int> hits{0};
        Exited run;
        {
            Relay relay(unit.path, [&](const zpc::Request& q) {
                if (!c.at(q) || pid == 0) return Relay::Act::Pass;
                const int hit = ++hits;
                if (hit > 2 || (hit == 2 && c.then != Then::DropAndAgain)) return Relay::Act::Pass;
                ::kill(pid, c.signal);
                if (c.then == Then::HangUp) return Relay::Act::HangUp;
                return c.then == Then::Pass ? Relay::Act::Pass : Relay::Act::Drop;
            });
            int err[2];
            ASSERT_EQ(pipe(err), 0);
            posix_spawn_file_actions_t fa;
            posix_spawn_file_actions_init(&fa);
            posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_adddup2(&fa, err[1], 2);
            posix_spawn_file_actions_addclose(&fa, err[0]);
            std::vector<std::string> args = {ZELMORA_PC_PATH, "--port", relay.path, "-q", "--timeout", "500"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args = program_argv(args);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            pid_t child;
            ASSERT_EQ(posix_spawnp(&child, argv[0], &fa, nullptr, argv.data(), environ), 0);
            pid = child;
            posix_spawn_file_actions_destroy(&fa);
            close(err[1]);
            // A few seconds each; a program that hangs is stopped and fails the case.
            char buf[1024];
            pollfd p{err[0], POLLIN, 0};
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            ssize_t n;
            while (std::chrono::steady_clock::now() < end && poll(&p, 1, 100) >= 0) {
                if ((p.revents & (POLLIN | POLLHUP)) == 0) continue;
                if ((n = read(err[0], buf, sizeof buf)) <= 0) break;
                run.err.append(buf, static_cast<size_t>(n));
            }
            close(err[0]);
            while (waitpid(child, &run.status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > end) {
                    kill(child, SIGKILL);
                    waitpid(child, &run.status, 0);
                    ADD_FAILURE() << "still running after 20 s";
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 130) << run.status << " " << run.err;
        EXPECT_TRUE(has(run.err, c.said)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        if (c.then == Then::DropAndAgain) {
            ASSERT_EQ(unit.pc({"test", "off"}).status, 0);
        }
        EXPECT_TRUE(has(unit.pc({"test", "off"}).out, "the unit is not in test mode"));
        if (has(run.err, "the battery calibration landed")) {
            EXPECT_NE(factor(), factor_before);
        } else {
            EXPECT_EQ(factor(), factor_before);
        }
        if (has(run.err, "is unknown")) {
            // Nothing to compare: the message says to look.
        } else if (has(run.err, "the configuration write landed")) {
            EXPECT_NE(mmsi(), mmsi_before);
        } else if (has(run.err, "the configuration write did not land") || has(run.err, "nothing was written")) {
            EXPECT_EQ(mmsi(), mmsi_before);
        }
    }
}
