// `zelmora-sim --pty` as a PC program sees it: a serial line whose far end
// is the unit, which survives the program closing and reopening it.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "app.h"
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
