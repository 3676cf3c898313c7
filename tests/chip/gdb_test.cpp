// zelmora-sim --chip ELF --gdb PORT against Debian's gdb-multiarch: the
// session a firmware engineer runs on the bench, checked by what GDB says.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
const std::string kElf = ZELMORA_CHIP_ELF;

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool have_gdb() { return std::system("command -v gdb-multiarch >/dev/null 2>&1") == 0; }

// The simulator with the debugger's port, and GDB run against it in batch mode.
struct Session {
    pid_t sim = -1;
    std::string err_path;
    int port = 0;
    int status = -1;

    Session() {
        err_path = (fs::temp_directory_path() / ("zelmora-gdb-" + std::to_string(::getpid()) + ".err")).string();
        sim = ::fork();
        if (sim == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen(err_path.c_str(), "w", stderr);
            ::execl(ZELMORA_SIM_PATH, ZELMORA_SIM_PATH, "--chip", kElf.c_str(), "--gdb", "0", "--minutes", "1",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::regex listening("gdb: listening on 127\\.0\\.0\\.1:([0-9]+)");
        for (int i = 0; i < 100 && port == 0; ++i) {
            std::smatch m;
            const std::string e = slurp(err_path);
            if (std::regex_search(e, m, listening)) port = std::stoi(m[1]);
            else std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Session() {
        if (sim > 0 && status < 0) {
            ::kill(sim, SIGKILL);
            ::waitpid(sim, nullptr, 0);
        }
        fs::remove(err_path);
    }

    std::string gdb(const std::vector<std::string>& commands) const {
        std::string cmd = "timeout 60 gdb-multiarch -batch -nx " + kElf + " -ex 'target remote :" + std::to_string(port) + "'";
        for (const std::string& c : commands) cmd += " -ex '" + c + "'";
        cmd += " 2>&1";
        std::string out;
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
            ::pclose(p);
        }
        return out;
    }

    // The simulator's exit status once GDB ended the run; -1 when it did not.
    int wait_exit() {
        for (int i = 0; i < 100; ++i) {
            int st = 0;
            if (::waitpid(sim, &st, WNOHANG) == sim) return status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
};

class Gdb : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kElf)) GTEST_SKIP() << kElf << " not built (make target)";
        if (!have_gdb()) GTEST_SKIP() << "gdb-multiarch is not installed (make test installs it)";
    }
};

TEST_F(Gdb, BreakPrintWatchStepAndKill) {
    Session s;
    ASSERT_GT(s.port, 0) << slurp(s.err_path);
    const std::string out = s.gdb({"info registers xpsr msp primask", "break loop", "continue",
                                   "print cfecha_inicial_puesta", "watch cacciones_100ms", "continue", "delete",
                                   "stepi", "print $pc", "kill"});
    // Halted at reset: Thread mode, MSP from the vector table.
    EXPECT_NE(out.find("Reset_Handler"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("xpsr +0x1000000"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("msp +0x20008000"))) << out;
    EXPECT_NE(out.find("Breakpoint 1, loop ()"), std::string::npos) << out;
    // Before the first pass the start date is not set yet.
    EXPECT_NE(out.find("$1 = 0 '\\000'"), std::string::npos) << out;
    EXPECT_NE(out.find("Hardware watchpoint 2: cacciones_100ms"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Old value = [0-9]+[^\n]*\nNew value = [0-9]+"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("\\$2 = \\(void \\(\\*\\)\\(void\\)\\) 0x[0-9a-f]+ <"))) << out;
    EXPECT_NE(out.find("killed"), std::string::npos) << out;
    EXPECT_EQ(s.wait_exit(), 0) << slurp(s.err_path);
}

// Four hardware breakpoints, as the Cortex-M0+ has: GDB is told of the fifth.
// The debugger's reset puts the core back at the reset vector, halted.
TEST_F(Gdb, HardwareLimitsAndReset) {
    Session s;
    ASSERT_GT(s.port, 0) << slurp(s.err_path);
    const std::string out =
        s.gdb({"hbreak loop", "hbreak setup", "hbreak estado", "hbreak nueva_incidencia_reset", "hbreak Reset_Handler",
               "continue", "delete", "break setup", "continue", "monitor reset halt", "maintenance flush register-cache", "print $pc", "monitor bogus",
               "kill"});
    EXPECT_TRUE(std::regex_search(out, std::regex("[Cc](annot|ould not) insert hardware breakpoint"))) << out;
    EXPECT_NE(out.find("Breakpoint 6, setup ()"), std::string::npos) << out;
    EXPECT_NE(out.find("chip reset, the core is halted at"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("\\$1 = .*<Reset_Handler"))) << out;
    EXPECT_NE(out.find("unknown monitor command \"bogus\""), std::string::npos) << out;
    EXPECT_EQ(s.wait_exit(), 0) << slurp(s.err_path);
}

}  // namespace
