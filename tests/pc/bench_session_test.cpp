// zelmora-pc against zelmora-sim --pty, as a technician goes through it on
// the bench (README, "The PC program"): the log, a configuration change the
// unit takes into use, save and load, test mode and calibration, a restart,
// and the next power-on from the same EEPROM file.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ais/ais.h"
#include "program_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Every wait ends as soon as its condition holds; the limit is for a
// sanitized build on a busy machine, and longer for the chip image, which
// runs a few times faster than real time where the host build runs twenty.
std::chrono::seconds g_limit = 60s;
const std::string kScenario = ZELMORA_SOURCE_DIR "/sim/scenarios/workbench.toml";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A program with its standard output and error in files; killed if the test
// leaves it running.
class Process {
public:
    Process(std::vector<std::string> args, const fs::path& out, const fs::path& err) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        args = program_argv(std::move(args));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Its exit status; -1 when it had to be killed at the limit.
    int wait() {
        const auto end = Clock::now() + g_limit;
        int st = 0;
        while (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == 0) {
            if (Clock::now() >= end) return -1;   // the destructor kills it
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    void signal(int sig) { kill(pid_, sig); }

private:
    pid_t pid_ = -1;
};

// Polls the file until `holds` is true of what was added to it after `from` bytes.
bool wait_for(const fs::path& file, size_t from, const std::function<bool(const std::string&)>& holds) {
    const auto end = Clock::now() + g_limit;
    for (;;) {
        const std::string t = slurp(file);
        if (holds(t.size() > from ? t.substr(from) : std::string())) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
}

// The messages of an air log (types and source MMSIs), and the low-battery
// alarm of the monitoring reports in it.
struct Air {
    std::vector<zelmora::ais::Message> messages;
    bool from(uint32_t mmsi, unsigned type, bool low_battery = false) const {
        for (const auto& m : messages) {
            if (m.mmsi != mmsi || m.type != type) continue;
            if (!low_battery || (m.report && m.report->find("alarm_low_battery")->flag())) return true;
        }
        return false;
    }
};
Air read_air(const std::string& text) {
    zelmora::ais::Decoder dec;
    Air air;
    std::istringstream in(text);
    long n = 0;
    for (std::string line; std::getline(in, line);) {
        auto out = dec.feed(line, ++n);
        for (auto& m : out.messages) air.messages.push_back(std::move(m));
    }
    return air;
}

class BenchSession : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) / ("zelmora-bench-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    struct Result {
        int status;
        std::string out, err;
    };
    Result pc(std::vector<std::string> args) {
        args.insert(args.begin(), {ZELMORA_PC_PATH, "--port", port_});
        Process p(args, dir_ / "pc.out", dir_ / "pc.err");
        const int status = p.wait();
        return {status, slurp(dir_ / "pc.out"), slurp(dir_ / "pc.err")};
    }
    size_t console_size() { return slurp(console()).size(); }
    fs::path console() const { return dir_ / "console.txt"; }
    fs::path file(const char* name) const { return dir_ / name; }

    void session(const std::vector<std::string>& unit, const char* speed);

    fs::path dir_;
    std::string port_;
};

#define PC_OK(r) ASSERT_EQ((r).status, 0) << (r).out << (r).err

// The session of the README; `unit` chooses the unit the simulator runs
// (nothing: the host build; "--chip", ELF: the image we would flash).
void BenchSession::session(const std::vector<std::string>& unit, const char* speed) {
    const std::string image = file("unit.bin"), air = file("air.log");
    std::vector<std::string> args = {ZELMORA_SIM_PATH, "--pty", "--speed", speed, "--eeprom", image,
                                     "--scenario", kScenario, "--air", air};
    args.insert(args.end(), unit.begin(), unit.end());
    Process sim(args, console(), file("sim.err"));
    ASSERT_TRUE(wait_for(file("sim.err"), 0, [](const std::string& t) { return t.find('\n') != std::string::npos; }));
    const std::string line = slurp(file("sim.err"));
    ASSERT_EQ(line.rfind("pty: /dev/pts/", 0), 0u) << line;
    port_ = line.substr(5, line.find('\n') - 5);

    PC_OK(pc({"ping"}));
    EXPECT_NE(pc({"ping"}).out.find("the unit answers on " + port_), std::string::npos);

    // The door was open from 10 s to 20 s after power-on; -q leaves standard
    // error to the program's own messages, of which there are none.
    ASSERT_TRUE(wait_for(console(), 0, [](const std::string& t) { return t.find("Incidencia:6") != std::string::npos; }));
    const Result log = pc({"-q", "log"});
    PC_OK(log);
    EXPECT_EQ(log.err, "");
    EXPECT_NE(log.out.find("   0  2026-12-08 13:45:02  start-up"), std::string::npos) << log.out;
    EXPECT_NE(log.out.find("   1  2026-12-08 13:45:12  external input 1 alarm raised"), std::string::npos);
    EXPECT_NE(log.out.find("   2  2026-12-08 13:45:22  external input 1 alarm cleared"), std::string::npos);

    // A new MMSI, and a low-battery threshold above the bench battery's 12.2 V.
    size_t from = console_size();
    const Result set = pc({"config", "set", "station.mmsi=992245678", "power.low_battery=12.3"});
    PC_OK(set);
    EXPECT_NE(set.out.find("station.mmsi: 992241234 -> 992245678\npower.low_battery: 11.8 -> 12.3\n"),
              std::string::npos)
        << set.out;
    EXPECT_TRUE(wait_for(console(), from, [](const std::string& t) {
        const size_t reload = t.find("Actualizar estructuras basica.");
        return reload != std::string::npos && t.find("Detected another MMSI => Reconfiging", reload) != std::string::npos &&
               t.find("Own MMSI identified:992245678", reload) != std::string::npos;
    })) << slurp(console()).substr(from);
    // Two measurements at or below the new threshold raise the alarm: the
    // status report shows it, and so does the next report on the air, sent
    // by the transponder under its new MMSI.
    EXPECT_TRUE(wait_for(console(), from, [](const std::string& t) {
        return t.find("Battery:12.20 v\tAlarm low battery") != std::string::npos;
    }));
    EXPECT_TRUE(wait_for(air, 0, [](const std::string& t) {
        const Air a = read_air(t);
        return a.from(992245678, 21) && a.from(992245678, 6, true);
    }));

    // Saved and loaded back: nothing is written, nothing reloaded.
    PC_OK(pc({"config", "save", file("unit.toml")}));
    const std::string saved = slurp(file("unit.toml"));
    EXPECT_NE(saved.find("mmsi = 992245678"), std::string::npos) << saved;
    EXPECT_NE(saved.find("low_battery = 12.3"), std::string::npos);
    const size_t reloads = count(slurp(console()), "Actualizar estructuras basica.");
    const Result load = pc({"config", "load", file("unit.toml")});
    PC_OK(load);
    EXPECT_EQ(load.out, "nothing to change: the unit holds this configuration already\n");
    PC_OK(pc({"ping"}));   // everything the unit said before its reply is in the console
    EXPECT_EQ(count(slurp(console()), "Actualizar estructuras basica."), reloads);

    // Outside test mode the unit's clock comes from its next status report.
    const Result clock = pc({"-q", "rtc"});
    PC_OK(clock);
    EXPECT_NE(clock.out.find("2026-12-08 13:"), std::string::npos) << clock.out;
    EXPECT_NE(clock.out.find("to the minute"), std::string::npos);

    PC_OK(pc({"test", "on"}));
    const Result in_test = pc({"-q", "rtc"});
    EXPECT_NE(in_test.out.find(" UTC (Tuesday)"), std::string::npos) << in_test.out;
    const Result monitor = pc({"test", "battery", "on"});
    PC_OK(monitor);
    EXPECT_NE(monitor.out.find("  BATERIA => 12.2"), std::string::npos) << monitor.out;
    EXPECT_NE(monitor.out.find("  BATERIA AD => 2657\n"), std::string::npos);
    const Result before = pc({"read", "0xFFF8", "4"});
    const Result cal = pc({"calibrate", "battery", "12.60"});
    PC_OK(cal);
    EXPECT_NE(cal.out.find("battery factor at 0xFFF8: 0.00474"), std::string::npos) << cal.out;
    EXPECT_NE(cal.out.find("the unit stays in test mode, its monitors as they were"), std::string::npos);
    const Result after = pc({"read", "0xFFF8", "4"});
    // 12.6 V over the 2657 counts of 12.2 V, as a single.
    EXPECT_NE(before.out.find("FFF8  E1 7A 96 3B "), std::string::npos) << before.out;
    EXPECT_NE(after.out.find("FFF8  61 64 9B 3B "), std::string::npos) << after.out;
    PC_OK(pc({"test", "off"}));
    // The firmware's answer to the DIP monitor tells test mode from normal.
    const Result outside = pc({"-q", "test", "panel", "off"});
    EXPECT_NE(outside.out.find("the unit is not in test mode"), std::string::npos) << outside.out << outside.err;

    const Result restart = pc({"restart"});
    PC_OK(restart);
    EXPECT_EQ(restart.out, "the unit accepted the restart request\n");
    EXPECT_TRUE(wait_for(console(), 0, [](const std::string& t) { return count(t, "Incidencia:15") == 2; }));
    const Result log2 = pc({"-q", "log", "--csv"});
    EXPECT_NE(log2.out.find(",1,\"low-battery alarm raised\",1220,12.20\n"), std::string::npos) << log2.out;
    EXPECT_NE(log2.out.find(",15,\"start-up\",1,\n"), std::string::npos);

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);

    // Powered on again from the same EEPROM: the transponder, swapped back to
    // its old programming by the new run, is rewritten to the saved MMSI.
    std::vector<std::string> again_args = {ZELMORA_SIM_PATH, "--minutes", "2", "--eeprom", image,
                                           "--scenario", kScenario, "--air", air};
    again_args.insert(again_args.end(), unit.begin(), unit.end());
    Process again(again_args, file("console2.txt"), file("sim2.err"));
    ASSERT_EQ(again.wait(), 0) << slurp(file("sim2.err"));
    EXPECT_NE(slurp(file("console2.txt")).find("Own MMSI identified:992245678"), std::string::npos);
    EXPECT_TRUE(read_air(slurp(air)).from(992245678, 21));
}

TEST_F(BenchSession, LogConfigurationCalibrationRestartAndTheNextPowerOn) {
    g_limit = 60s;
    session({}, "20");
}

// The same session against the image we would flash, on the chip's core.
TEST_F(BenchSession, TheSameSessionAgainstTheChipImage) {
    if (!fs::exists(ZELMORA_CHIP_ELF)) GTEST_SKIP() << ZELMORA_CHIP_ELF << " not built (make target)";
#ifdef ZELMORA_SANITIZED
    GTEST_SKIP() << "the sanitized simulator runs the chip image slower than the session's pace; the plain build runs it";
#endif
#ifdef ZELMORA_EMULATED
    GTEST_SKIP() << "under qemu the simulator runs the chip image slower than the session's pace; the native build runs it";
#endif
    g_limit = 300s;
    session({"--chip", ZELMORA_CHIP_ELF}, "4");
}

}  // namespace
