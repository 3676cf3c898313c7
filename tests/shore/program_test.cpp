// zelmora-shore as the authority runs it: a log read over several runs adds
// each report and event once, a second monitor on one database is turned
// away, and a register with a mistake stops it before anything runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "program_support.h"
#include "shore/store.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

long count_lines(const std::string& s) { return static_cast<long>(std::count(s.begin(), s.end(), '\n')); }

// zelmora-shore to its end: its exit status, standard output and error in files.
int shore(const std::string& args, const fs::path& out, const fs::path& err) {
    const std::string cmd = program_command(ZELMORA_SHORE_PATH) + " " + args + " > " + out.string() + " 2> " +
                            err.string() + " < /dev/null";
    const int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(ShoreProgram, ALogReadOverSeveralRunsKeepsEachReportOnceAndOneMonitorPerDatabase) {
    const fs::path dir = fs::path(ZELMORA_BUILD_DIR) / "shore-program";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path full = dir / "full.nmea", log = dir / "air.nmea", db = dir / "shore.db";
    const fs::path out = dir / "out", err = dir / "err";
    const std::string sim = program_command(ZELMORA_SIM_PATH) + " --minutes 180 --scenario " + ZELMORA_SOURCE_DIR +
                            "/tests/shore/shore-watch.toml --air " + full.string() + " > /dev/null";
    ASSERT_EQ(std::system(sim.c_str()), 0);
    const std::string all = slurp(full);
    std::size_t half = 0;
    for (long n = count_lines(all) / 2; n > 0; --n) half = all.find('\n', half) + 1;
    std::ofstream(log, std::ios::binary) << all.substr(0, half);

    const std::string run = "--replay --db " + db.string() + " " + log.string();
    ASSERT_EQ(shore(run, out, err), 0) << slurp(err);
    const long events = count_lines(slurp(out));
    EXPECT_GE(events, 2);
    long reports = 0;
    {
        zelmora::shore::Store s(db.string());
        reports = s.count("reports");
        EXPECT_EQ(s.count("events"), events);
    }
    // Again on the same file: on from where it stopped, nothing twice.
    ASSERT_EQ(shore(run, out, err), 0) << slurp(err);
    EXPECT_EQ(slurp(out), "");
    EXPECT_NE(slurp(err).find("going on from byte"), std::string::npos) << slurp(err);
    {
        zelmora::shore::Store s(db.string());
        EXPECT_EQ(s.count("reports"), reports);
        EXPECT_EQ(s.count("events"), events);
    }
    // The file grows: its new lines only, and all of it as one run would have kept it.
    std::ofstream(log, std::ios::binary | std::ios::app) << all.substr(half);
    ASSERT_EQ(shore(run, out, err), 0) << slurp(err);
    const long more = count_lines(slurp(out));
    const fs::path once = dir / "once.db";
    ASSERT_EQ(shore("--replay --db " + once.string() + " " + full.string(), out, err), 0) << slurp(err);
    {
        zelmora::shore::Store s(db.string()), o(once.string());
        EXPECT_GT(s.count("reports"), reports);
        EXPECT_EQ(s.count("reports"), o.count("reports"));
        EXPECT_EQ(s.count("events"), events + more);
        EXPECT_EQ(s.count("events"), o.count("events"));
    }

    // One monitor per database: the second is told who holds it.
    const std::string first = program_command(ZELMORA_SHORE_PATH) + " --db " + db.string() + " --http 0 " +
                              log.string() + " > /dev/null 2> " + (dir / "first.err").string() + " & echo $!";
    FILE* p = ::popen(first.c_str(), "r");
    ASSERT_NE(p, nullptr);
    long pid = 0;
    ASSERT_EQ(std::fscanf(p, "%ld", &pid), 1);
    ::pclose(p);
    for (int i = 0; i < 600 && slurp(dir / "first.err").find("page at") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(shore("--no-follow --db " + db.string() + " " + log.string(), out, err), 2);
    EXPECT_NE(slurp(err).find("in use by another zelmora-shore (process " + std::to_string(pid) + ")"),
              std::string::npos)
        << slurp(err);
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    for (int i = 0; i < 600 && ::kill(static_cast<pid_t>(pid), 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // A register with a mistake: exit status 2, the file, line and key named, nothing read.
    const fs::path reg = dir / "stations.toml";
    std::ofstream(reg) << "[[station]]\nmmsi = 992241234\nname = \"ZELMORA NORTE\"\nlat = 95\nlon = -8.4\n"
                          "interval_s = 180\n";
    EXPECT_EQ(shore("--stations " + reg.string() + " --db " + (dir / "reg.db").string() + " " + log.string(), out,
                    err),
              2);
    EXPECT_EQ(slurp(err), "zelmora-shore: " + reg.string() +
                              ":4: station 992241234: lat: 95 is out of range (degrees north, -90 to 90)\n");
    EXPECT_FALSE(fs::exists(dir / "reg.db"));
}
