// zelmora-msg6 on live feeds, run as a child whose standard output is a
// pipe: every message has to come out as it arrives, whatever the source,
// and a stop signal ends it cleanly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "air_log.h"
#include "feed/feed.h"
#include "program_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A busy machine under the sanitizers is slow; a line that never comes is
// what these tests are about, so the wait is long.
constexpr int kWaitMs = 15000;

std::string sentence(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char b[4];
    std::snprintf(b, sizeof b, "%02X", sum);
    return "!" + body + "*" + b;
}

// A Message 5 in two sentences, and two AtoN monitoring reports (DAC 235
// FI 10) as real stations sent them.
const std::string kPart1 = sentence("AIVDM,2,1,7,A,53aGulD0000000c7?0918Tq<E>0<Q8U=@Tp400155P:22uG`002ShTj0,0");
const std::string kPart2 = sentence("AIVDM,2,2,7,A,EQC`4Sm51A0C@08,2");
const std::string kMonitorA = "!AIVDM,1,1,,A,6>jCJfkfJjOt>dap@104P00,2*51";   // 992271035, 24.05 V
const std::string kMonitorB = "!AIVDM,1,1,,B,6>jHCO@0SJFd>da8pg00P00,2*0E";   // 992351101, 14.55 V

// The child: standard output and error on pipes, read a line at a time.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        const auto full = program_argv(args);
        std::vector<char*> argv;
        for (const auto& a : full) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        fd_[0] = out[0];
        fd_[1] = err[0];
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : fd_)
            if (fd >= 0) ::close(fd);
    }
    bool running() const { return pid_ > 0; }

    // The next line on standard output (err: standard error) within `ms`.
    bool line(std::string& got, bool err = false, int ms = kWaitMs) {
        std::string& buf = buf_[err];
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto nl = buf.find('\n');
            if (nl != std::string::npos) {
                got = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_[err], POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char b[4096];
            const ssize_t n = ::read(fd_[err], b, sizeof b);
            if (n <= 0) return false;
            buf.append(b, static_cast<std::size_t>(n));
        }
    }
    // Standard error up to a line holding `what`.
    bool said(const std::string& what) {
        for (std::string l; line(l, true);)
            if (l.find(what) != std::string::npos) return true;
        return false;
    }
    // SIGTERM, and its exit status (-1: it did not end cleanly within the wait).
    int stop() {
        ::kill(pid_, SIGTERM);
        int st = 0;
        for (int i = 0; i < kWaitMs / 10; ++i) {
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int fd_[2] = {-1, -1};
    std::string buf_[2];
};

// A socket on 127.0.0.1 at a port the system picks.
int local_socket(int type, int& port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    port = ntohs(a.sin_port);
    return fd;
}

int accept_within(int server, int ms) {
    pollfd p{server, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return -1;
    return ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
}

void send_text(int fd, const std::string& s) { ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }

nlohmann::json json_line(Child& c) {
    std::string l;
    if (!c.line(l)) return nullptr;
    return nlohmann::json::parse(l, nullptr, false);
}

}  // namespace

// A receiver's NMEA server: a two-sentence message cut across writes in the
// middle of both sentences, then the connection dropped and taken again.
TEST(Msg6Live, TcpFeedCutAnywhereAndDroppedIsReadOnAfterTheReconnect) {
    int port = 0;
    const int server = local_socket(SOCK_STREAM, port);
    ASSERT_GE(server, 0);
    ASSERT_EQ(::listen(server, 2), 0);
    Child c({ZELMORA_MSG6, "--json", "tcp://127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(c.running());

    const int first = accept_within(server, kWaitMs);
    ASSERT_GE(first, 0);
    const std::string both = kPart1 + "\r\n" + kPart2 + "\r\n";
    for (const auto& [from, to] : {std::pair<std::size_t, std::size_t>{0, 20}, {20, kPart1.size() + 12}, {kPart1.size() + 12, both.size()}}) {
        send_text(first, both.substr(from, to - from));
        std::this_thread::sleep_for(50ms);
    }
    auto j = json_line(c);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["type"], 5);
    ::close(first);
    EXPECT_TRUE(c.said("connection lost"));

    const int second = accept_within(server, kWaitMs);
    ASSERT_GE(second, 0);
    send_text(second, kMonitorA + "\r\n");
    j = json_line(c);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["mmsi"], 992271035);
    EXPECT_EQ(j["monitor"], true);
    EXPECT_EQ(c.stop(), 0);
    ::close(second);
    ::close(server);
}

// Datagrams: a fragment each, a tag block on the first, and two lines in
// one datagram the last of which has no line end.
TEST(Msg6Live, UdpDatagramsKeepTheTagBlockAndReassembleAcrossDatagrams) {
    int port = 0;
    const int probe = local_socket(SOCK_DGRAM, port);
    ASSERT_GE(probe, 0);
    ::close(probe);   // its port is free for the child now
    Child c({ZELMORA_MSG6, "--json", "udp://127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(c.running());
    ASSERT_TRUE(c.said("listening on udp://127.0.0.1:"));

    const int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(tx, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    // The tag block as a receiver writes it: its source and the receive time.
    unsigned sum = 0;
    for (char ch : std::string("s:rx1,c:1765280000")) sum ^= static_cast<unsigned char>(ch);
    char tag[40];
    std::snprintf(tag, sizeof tag, "\\s:rx1,c:1765280000*%02X\\", sum);
    send_text(tx, tag + kPart1);
    send_text(tx, kPart2 + "\r\n");
    send_text(tx, kMonitorA + "\r\n" + kMonitorB);

    auto j = json_line(c);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["type"], 5);
    EXPECT_EQ(j["received"], "2025-12-09T11:33:20Z");
    EXPECT_EQ(j["received_unix"], 1765280000);
    EXPECT_EQ(j["tag_source"], "rx1");
    for (int mmsi : {992271035, 992351101}) {
        j = json_line(c);
        ASSERT_TRUE(j.is_object());
        EXPECT_EQ(j["mmsi"], mmsi);
    }
    EXPECT_EQ(c.stop(), 0);
    ::close(tx);
}

// A log that grows after the start, its last line written in two goes.
TEST(Msg6Live, FollowedFileIsReadAsItGrows) {
    const fs::path file = fs::path(testing::TempDir()) / ("zelmora-follow-" + std::to_string(::getpid()) + ".nmea");
    std::ofstream(file) << kMonitorA << "\r\n";
    Child c({ZELMORA_MSG6, "--follow", "--brief", file.string()});
    ASSERT_TRUE(c.running());
    std::string l;
    ASSERT_TRUE(c.line(l));
    EXPECT_EQ(l, file.string() + ":1  992271035  monitor  24.05 V  ext 0.05 V / 0.05 V  light off  racon none  inputs "
                                 "00000000  alarm none");
    {
        std::ofstream more(file, std::ios::app);
        more << kMonitorB.substr(0, 15) << std::flush;
        std::this_thread::sleep_for(300ms);
        more << kMonitorB.substr(15) << "\n" << std::flush;
    }
    ASSERT_TRUE(c.line(l));
    EXPECT_NE(l.find(":2  992351101  monitor  14.55 V"), std::string::npos) << l;
    EXPECT_EQ(c.stop(), 0);
    fs::remove(file);
}

// The virtual unit's transponder on the air, sent as datagrams, each
// sentence stamped with the world's UTC at its slot.
TEST(Msg6Live, SimulatorAirOverUdpCarriesTheWorldsUtc) {
    EXPECT_EQ(zsim::AirLog::tag_block(1765280000), "\\c:1765280000*56\\");
    int port = 0;
    const int probe = local_socket(SOCK_DGRAM, port);
    ASSERT_GE(probe, 0);
    ::close(probe);
    Child c({ZELMORA_MSG6, "--json", "udp://:" + std::to_string(port)});
    ASSERT_TRUE(c.said("listening on"));
    const std::string sim = program_command(ZELMORA_SIM_PATH) + " --minutes 4 --air udp://127.0.0.1:" +
                            std::to_string(port) + " >/dev/null";
    ASSERT_EQ(std::system(sim.c_str()), 0);
    // Messages 21 at 10 s past the minute, the first report at 13:48:30.
    for (const char* at : {"2026-12-08T13:45:10Z", "2026-12-08T13:48:10Z", "2026-12-08T13:48:30Z"}) {
        const auto j = json_line(c);
        ASSERT_TRUE(j.is_object()) << at;
        EXPECT_EQ(j["received"], at);
        EXPECT_EQ(j["mmsi"], 992241234);
        if (j["type"] == 21) {
            EXPECT_EQ(j["time_stamp"], std::stoi(std::string(at).substr(17, 2)));
        }
    }
    EXPECT_EQ(c.stop(), 0);
}

// Names that cannot be a source, and the line splitter's promises.
TEST(Msg6Live, BadNamesAreRefusedAndLinesAreCutAsPromised) {
    std::string why;
    zelmora::feed::Options o;
    for (const auto& [where, error] : std::vector<std::pair<std::string, std::string>>{
             {"tcp://localhost", "no port"},
             {"udp://:70000", "port out of range"},
             {"tcp://:2000", "no host"},
             {"ftp://host:21", "unknown kind of source"},
             {"/no/such/log.nmea", "cannot open"},
             {testing::TempDir(), "is a folder"}}) {
        EXPECT_EQ(zelmora::feed::open(where, o, why), nullptr) << where;
        EXPECT_NE(why.find(error), std::string::npos) << where << ": " << why;
    }
    const std::string cmd = program_command(ZELMORA_MSG6) + " tcp://localhost:0 2>/dev/null";
    const int st = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2);

    const fs::path file = fs::path(testing::TempDir()) / ("zelmora-lines-" + std::to_string(::getpid()));
    std::ofstream(file) << "a\r\n" << std::string(5000, 'x') << "\n\ntail";
    auto src = zelmora::feed::open(file.string(), o, why);
    ASSERT_NE(src, nullptr) << why;
    std::vector<std::string> lines;
    for (std::string l; src->next(l, 1000) == zelmora::feed::Status::Line;) lines.push_back(l);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", std::string(4096, 'x'), std::string(904, 'x'), "", "tail"}));
    fs::remove(file);
}

// A bare udp://:PORT is this machine's loopback only; --allow keeps other
// senders out and counts them; what the kernel drops in a burst is counted too.
TEST(FeedUdp, ABarePortIsLoopbackOnlyStrangersAreRefusedAndDropsCounted) {
    int port = 0;
    const int probe = local_socket(SOCK_DGRAM, port);
    ASSERT_GE(probe, 0);
    ::close(probe);
    std::string why;
    zelmora::feed::Network net;
    EXPECT_FALSE(zelmora::feed::parse_network("10.0.0.0/33", net, why));
    EXPECT_FALSE(zelmora::feed::parse_network("300.1.1.1", net, why));
    EXPECT_TRUE(zelmora::feed::parse_network("2001:db8::/32", net, why)) << why;
    ASSERT_TRUE(zelmora::feed::parse_network("127.0.0.2", net, why)) << why;
    zelmora::feed::Options o;
    o.allow = {net};
    auto src = zelmora::feed::open("udp://:" + std::to_string(port), o, why);
    ASSERT_NE(src, nullptr) << why;

    const auto at = [](const char* ip, int p) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &a.sin_addr);
        a.sin_port = htons(static_cast<std::uint16_t>(p));
        return a;
    };
    // The same port on another loopback address is free: the source holds 127.0.0.1 alone.
    const int friendly = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in mine = at("127.0.0.2", port);
    ASSERT_EQ(::bind(friendly, reinterpret_cast<sockaddr*>(&mine), sizeof mine), 0) << std::strerror(errno);
    const int stranger = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = at("127.0.0.1", port);
    const auto send_from = [&](int s, const std::string& d) {
        return ::sendto(s, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    ASSERT_GT(send_from(stranger, kMonitorB + "\r\n"), 0);
    ASSERT_GT(send_from(friendly, kMonitorA + "\r\n"), 0);
    std::string line;
    ASSERT_EQ(src->next(line, kWaitMs), zelmora::feed::Status::Line);
    EXPECT_EQ(line, kMonitorA);
    EXPECT_EQ(src->counters().refused, 1);

    // A burst far beyond the receive buffer, read only afterwards: the
    // kernel's count comes with the next datagram that gets through.
    const std::string big(1400, 'x');
    for (int i = 0; i < 4000; ++i) send_from(friendly, big);
    long lines = 0;
    while (src->next(line, 300) == zelmora::feed::Status::Line) ++lines;
    ASSERT_GT(send_from(friendly, kMonitorA + "\r\n"), 0);
    ASSERT_EQ(src->next(line, kWaitMs), zelmora::feed::Status::Line);
    EXPECT_GT(lines, 0);
#ifndef ZELMORA_EMULATED
    // qemu-user does not pass the kernel's drop count (SO_RXQ_OVFL) through.
    EXPECT_EQ(lines + src->counters().lost, 4000);
#endif
    ::close(friendly);
    ::close(stranger);
}

// zelmora-sim --utc-now: the world's UTC starts at the wall clock, and only
// on a run paced to it.
TEST(SimUtcNow, TheWorldStartsAtTheWallClockOnPacedRunsOnly) {
    const std::string sim = program_command(ZELMORA_SIM_PATH);
    FILE* p = ::popen((sim + " --utc-now --minutes 1 2>&1 >/dev/null; echo status $?").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string said;
    char b[512];
    while (std::fgets(b, sizeof b, p)) said += b;
    ::pclose(p);
    EXPECT_NE(said.find("--utc-now starts the world at the wall clock's time: it goes with --realtime or --pty"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("status 2"), std::string::npos) << said;

    const fs::path air = fs::path(testing::TempDir()) / ("zelmora-utcnow-" + std::to_string(::getpid()) + ".nmea");
    const auto start = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_EQ(std::system((sim + " --realtime --speed 60 --minutes 5 --utc-now --air " + air.string() +
                           " < /dev/null > /dev/null")
                              .c_str()),
              0);
    std::ifstream in(air);
    std::string first;
    ASSERT_TRUE(std::getline(in, first));
    ASSERT_EQ(first.rfind("\\c:", 0), 0u) << first;
    const long long stamped = std::stoll(first.substr(3));
    EXPECT_GE(stamped, start - 5) << first;
    EXPECT_LE(stamped, start + 300) << first;
    fs::remove(air);
}
