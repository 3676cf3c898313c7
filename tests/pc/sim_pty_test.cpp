// `zelmora-sim --pty` as a PC program sees it: a serial line whose far end
// is the unit, which survives the program closing and reopening it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "serial.h"
#include "program_support.h"

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
