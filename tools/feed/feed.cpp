// The sources behind zelmora::feed::open. Every source waits with poll(),
// so a signal or the caller's timeout ends a wait and nothing blocks in
// read(); the bytes go through one line splitter.
#include "feed/feed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zelmora::feed {

namespace {

constexpr std::size_t kMaxLine = 4096;
using Clock = std::chrono::steady_clock;

std::string errno_text(int e) { return std::strerror(e); }

// What is left of a wait, for poll(): -1 forever, at least 0.
int left_ms(int timeout_ms, Clock::time_point start) {
    if (timeout_ms < 0) return -1;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return spent >= timeout_ms ? 0 : static_cast<int>(timeout_ms - spent);
}

enum class Got { Data, Nothing, End };

// Sleeps; false when a signal cut it short, so that the caller hears of it.
bool pause(int ms) { return ::poll(nullptr, 0, ms) >= 0 || errno != EINTR; }

// A source is a way of getting bytes; lines are cut here for all of them.
class LineSource : public Source {
public:
    Status next(std::string& line, int timeout_ms) override {
        const auto start = Clock::now();
        for (;;) {
            if (pop(line)) return Status::Line;
            if (ended_) {
                if (buf_.empty()) return Status::End;
                line.swap(buf_);   // a last line without its line end
                buf_.clear();
                strip_cr(line);
                return Status::Line;
            }
            const Got g = read_some(left_ms(timeout_ms, start));
            if (g == Got::End) ended_ = true;
            else if (g == Got::Nothing) return pop(line) ? Status::Line : Status::Timeout;
        }
    }
    const std::string& name() const override { return name_; }

protected:
    explicit LineSource(std::string name, const Options& o) : name_(std::move(name)), opt_(o) {}
    // Appends what arrives within wait_ms (-1: no limit) to buf_. Nothing
    // when the wait ran out or a signal came.
    virtual Got read_some(int wait_ms) = 0;
    void tell(const std::string& what) const {
        if (opt_.notice) opt_.notice(what);
    }
    // Whatever was half received belongs to no line that follows (a dropped
    // connection, a file truncated): handed out as a line of its own.
    void end_line() {
        if (!buf_.empty() && buf_.back() != '\n') buf_ += '\n';
    }

    std::string name_;
    Options opt_;
    std::string buf_;

private:
    static void strip_cr(std::string& s) {
        while (!s.empty() && s.back() == '\r') s.pop_back();
    }
    bool pop(std::string& line) {
        const auto nl = buf_.find('\n');
        if (nl == std::string::npos && buf_.size() < kMaxLine) return false;
        const std::size_t cut = nl == std::string::npos || nl > kMaxLine ? kMaxLine : nl;
        line.assign(buf_, 0, cut);
        buf_.erase(0, cut == nl ? cut + 1 : cut);
        strip_cr(line);
        return true;
    }
    bool ended_ = false;
};

// Waits for fd to be readable: 1 readable (or hung up), 0 not within the
// wait or interrupted, -1 error.
int wait_readable(int fd, int wait_ms, short* revents = nullptr) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, wait_ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (revents) *revents = p.revents;
    return r > 0 ? 1 : 0;
}

// Reads what is there into buf: >0 bytes, 0 end of file, -1 nothing yet
// (EAGAIN), -2 error (errno set).
ssize_t read_into(int fd, std::string& buf) {
    char chunk[8192];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
        buf.append(chunk, static_cast<std::size_t>(n));
        return n;
    }
    if (n == 0) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
    return -2;
}

// ---- standard input, files, FIFOs ----

class FdSource : public LineSource {
public:
    FdSource(std::string name, const Options& o, int fd, bool owned, bool fifo)
        : LineSource(std::move(name), o), fd_(fd), owned_(owned), fifo_(fifo) {
        struct stat st{};
        if (::fstat(fd_, &st) == 0) {
            regular_ = S_ISREG(st.st_mode);
            dev_ = st.st_dev;
            ino_ = st.st_ino;
        }
        if (regular_ && owned_ && opt_.resume) resume(*opt_.resume, st);
    }
    ~FdSource() override {
        if (owned_ && fd_ >= 0) ::close(fd_);
    }

    std::optional<Place> place() const override {
        // Bytes of a file truncated or replaced may still wait in the buffer:
        // no place until they are gone.
        if (!regular_ || !owned_ || (mixed_ && !buf_.empty())) return std::nullopt;
        mixed_ = false;
        Place p;
        p.dev = static_cast<std::uint64_t>(dev_);
        p.ino = static_cast<std::uint64_t>(ino_);
        p.offset = read_off_ - static_cast<std::int64_t>(buf_.size());
        if (p.offset < 0) return std::nullopt;
        struct stat st{};
        p.size = ::fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : p.offset;
        p.before = bytes_before(p.offset);
        return p;
    }

protected:
    Got read_some(int wait_ms) override {
        const auto start = Clock::now();
        for (;;) {
            // A FIFO with no writer yet reads as its end: poll first, it waits.
            if (!regular_ && wait_readable(fd_, left_ms(wait_ms, start)) <= 0) return Got::Nothing;
            const ssize_t n = read_into(fd_, buf_);
            if (n > 0) {
                read_off_ += n;
                return Got::Data;
            }
            if (n == -2) {
                tell(name_ + ": read error (" + errno_text(errno) + ")");
                return Got::End;
            }
            if (n == -1) {
                if (left_ms(wait_ms, start) == 0) return Got::Nothing;
                continue;
            }
            if (!opt_.follow || (!regular_ && !fifo_)) return Got::End;
            if (fifo_) {
                // Its writer closed: wait for the next one.
                if (!reopen()) return Got::End;
                continue;
            }
            if (moved()) continue;
            const int left = left_ms(wait_ms, start);
            if (left == 0) return Got::Nothing;
            if (!pause(left < 0 || left > kPollMs ? kPollMs : left)) return Got::Nothing;
        }
    }

private:
    static constexpr int kPollMs = 100;
    static constexpr std::int64_t kBefore = 64;

    std::string bytes_before(std::int64_t offset) const {
        const std::int64_t n = offset < kBefore ? offset : kBefore;
        std::string b(static_cast<std::size_t>(n), '\0');
        const ssize_t got = n > 0 ? ::pread(fd_, b.data(), b.size(), static_cast<off_t>(offset - n)) : 0;
        b.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return b;
    }

    // The file read before, grown or not: on from there. Anything else (another
    // file under the name, the same one truncated or rewritten) from its start.
    void resume(const Place& p, const struct stat& st) {
        const bool same = static_cast<std::uint64_t>(st.st_dev) == p.dev &&
                          static_cast<std::uint64_t>(st.st_ino) == p.ino && st.st_size >= p.offset &&
                          p.offset > 0 && bytes_before(p.offset) == p.before;
        if (same && ::lseek(fd_, static_cast<off_t>(p.offset), SEEK_SET) == static_cast<off_t>(p.offset)) {
            read_off_ = p.offset;
            tell(name_ + ": going on from byte " + std::to_string(p.offset) + ", where the last run stopped");
        } else if (p.offset > 0) {
            tell(name_ + ": not the file the last run read up to byte " + std::to_string(p.offset) +
                 ", reading from its start");
        }
    }

    bool reopen() {
        const int fd = ::open(name_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            tell(name_ + ": cannot reopen (" + errno_text(errno) + ")");
            return false;
        }
        ::close(fd_);
        fd_ = fd;
        return true;
    }

    // At the end of a followed file: truncated, or replaced by a new file
    // under its name (a log rotated)? Read on from the right place.
    bool moved() {
        struct stat here{}, there{};
        if (::fstat(fd_, &here) != 0) return false;
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        if (at > here.st_size) {
            ::lseek(fd_, 0, SEEK_SET);
            read_off_ = 0;
            mixed_ = !buf_.empty();
            end_line();
            tell(name_ + ": truncated, reading from its start");
            return true;
        }
        if (::stat(name_.c_str(), &there) == 0 && (there.st_dev != dev_ || there.st_ino != ino_)) {
            const int fd = ::open(name_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) return false;
            ::close(fd_);
            fd_ = fd;
            dev_ = there.st_dev;
            ino_ = there.st_ino;
            read_off_ = 0;
            mixed_ = !buf_.empty();
            end_line();
            tell(name_ + ": replaced, reading the new file");
            return true;
        }
        return false;
    }

    int fd_;
    bool owned_;
    bool fifo_;
    bool regular_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::int64_t read_off_ = 0;   // where the bytes read so far end in the file
    mutable bool mixed_ = false;  // the buffer starts with bytes of the file before
};

// ---- serial lines ----

bool baud_constant(unsigned baud, speed_t& out) {
    static const struct {
        unsigned baud;
        speed_t code;
    } table[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& e : table)
        if (e.baud == baud) {
            out = e.code;
            return true;
        }
    return false;
}

class SerialSource : public LineSource {
public:
    SerialSource(std::string name, const Options& o, int fd) : LineSource(std::move(name), o), fd_(fd) {}
    ~SerialSource() override { ::close(fd_); }

protected:
    Got read_some(int wait_ms) override {
        short ev = 0;
        const int r = wait_readable(fd_, wait_ms, &ev);
        if (r == 0) return Got::Nothing;
        const ssize_t n = r < 0 ? -2 : read_into(fd_, buf_);
        if (n > 0) return Got::Data;
        if (n == -1 && !(ev & (POLLHUP | POLLERR))) return Got::Nothing;
        tell(name_ + ": the line is gone (" + (n == -2 ? errno_text(errno) : std::string("hung up")) + ")");
        return Got::End;
    }

private:
    int fd_;
};

// ---- network ----

struct HostPort {
    std::string host;   // without brackets; empty: any address
    std::string port;
};

// "HOST:PORT", "[v6]:PORT", ":PORT".
bool split_host_port(const std::string& where, const std::string& rest, HostPort& out, std::string& error) {
    std::string host, port;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            error = where + ": expected [ADDRESS]:PORT";
            return false;
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos) {
            error = where + ": no port (HOST:PORT)";
            return false;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            error = where + ": an IPv6 address goes in brackets ([ADDRESS]:PORT)";
            return false;
        }
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        error = where + ": port \"" + port + "\" is not a number";
        return false;
    }
    const long p = std::stol(port);
    if (p < 1 || p > 65535) {
        error = where + ": port out of range (1..65535)";
        return false;
    }
    out = HostPort{host, port};
    return true;
}

struct AddrList {
    addrinfo* list = nullptr;
    ~AddrList() {
        if (list) ::freeaddrinfo(list);
    }
};

int resolve(const HostPort& hp, int socktype, bool passive, AddrList& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    return ::getaddrinfo(hp.host.empty() ? nullptr : hp.host.c_str(), hp.port.c_str(), &hints, &out.list);
}

class TcpSource : public LineSource {
public:
    TcpSource(std::string name, const Options& o, HostPort hp) : LineSource(std::move(name), o), hp_(std::move(hp)) {}
    ~TcpSource() override { drop(); }

protected:
    Got read_some(int wait_ms) override {
        const auto start = Clock::now();
        while (fd_ < 0) {
            const auto now = Clock::now();
            if (now < retry_at_) {
                const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(retry_at_ - now).count() + 1;
                const int left = left_ms(wait_ms, start);
                if (left == 0) return Got::Nothing;
                if (!pause(left < 0 || left > until ? static_cast<int>(until) : left)) return Got::Nothing;
                continue;
            }
            if (!connect_once()) {
                retry_at_ = Clock::now() + std::chrono::milliseconds(opt_.reconnect_ms > 0 ? opt_.reconnect_ms : 0);
                if (left_ms(wait_ms, start) == 0) return Got::Nothing;
            }
        }
        short ev = 0;
        const int r = wait_readable(fd_, left_ms(wait_ms, start), &ev);
        if (r == 0) return Got::Nothing;
        const ssize_t n = r < 0 ? -2 : read_into(fd_, buf_);
        if (n > 0) return Got::Data;
        if (n == -1) return Got::Nothing;
        const std::string why = n == 0 ? "closed by the other end" : errno_text(errno);
        drop();
        end_line();
        tell(name_ + ": connection lost (" + why + "), reconnecting");
        retry_at_ = Clock::now() + std::chrono::milliseconds(opt_.reconnect_ms > 0 ? opt_.reconnect_ms : 0);
        return buf_.empty() ? Got::Nothing : Got::Data;
    }

private:
    void drop() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // One attempt on every address of the name, each for at most a few
    // seconds. Says why once per run of failures.
    bool connect_once() {
        AddrList addrs;
        const int rc = resolve(hp_, SOCK_STREAM, false, addrs);
        std::string why = rc != 0 ? std::string(::gai_strerror(rc)) : "no address";
        for (addrinfo* a = addrs.list; rc == 0 && a; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) {
                why = errno_text(errno);
                continue;
            }
            int err = 0;
            if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
                err = errno;
                if (err == EINPROGRESS) {
                    pollfd p{fd, POLLOUT, 0};
                    const int r = ::poll(&p, 1, kConnectMs);
                    socklen_t len = sizeof err;
                    if (r > 0) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    else if (r < 0 && errno == EINTR) {
                        ::close(fd);
                        return false;   // a signal: the caller decides whether to go on
                    } else err = r == 0 ? ETIMEDOUT : errno;
                }
            }
            if (err == 0) {
                fd_ = fd;
                failing_ = false;
                tell("connected to " + name_);
                return true;
            }
            ::close(fd);
            why = errno_text(err);
        }
        if (!failing_) tell(name_ + ": cannot connect (" + why + "), trying again every " +
                            std::to_string(opt_.reconnect_ms) + " ms");
        failing_ = true;
        return false;
    }

    static constexpr int kConnectMs = 5000;
    HostPort hp_;
    int fd_ = -1;
    bool failing_ = false;
    Clock::time_point retry_at_{};
};

// A sender's address in the form a Network holds; an IPv4 address that
// reached an IPv6 socket (::ffff:a.b.c.d) as the IPv4 address it is.
Network sender(const sockaddr_storage& from) {
    Network n;
    if (from.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(from);
        n.family = AF_INET;
        std::memcpy(n.addr, &a.sin_addr, 4);
        n.bits = 32;
    } else if (from.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(from);
        if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) {
            n.family = AF_INET;
            std::memcpy(n.addr, a.sin6_addr.s6_addr + 12, 4);
            n.bits = 32;
        } else {
            n.family = AF_INET6;
            std::memcpy(n.addr, &a.sin6_addr, 16);
            n.bits = 128;
        }
    }
    return n;
}

bool within(const Network& addr, const Network& net) {
    if (addr.family != net.family) return false;
    const unsigned whole = net.bits / 8, rest = net.bits % 8;
    if (std::memcmp(addr.addr, net.addr, whole) != 0) return false;
    if (rest == 0) return true;
    const unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
    return (addr.addr[whole] & mask) == (net.addr[whole] & mask);
}

class UdpSource : public LineSource {
public:
    UdpSource(std::string name, const Options& o, int fd) : LineSource(std::move(name), o), fd_(fd) {}
    ~UdpSource() override { ::close(fd_); }
    Counters counters() const override { return Counters{lost_.load(), refused_.load()}; }

protected:
    Got read_some(int wait_ms) override {
        const auto start = Clock::now();
        for (;;) {
            if (wait_readable(fd_, left_ms(wait_ms, start)) <= 0) return Got::Nothing;
            char d[65536];
            sockaddr_storage from{};
            iovec io{d, sizeof d};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd_, &msg, 0);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED) continue;
                tell(name_ + ": receive error (" + errno_text(errno) + ")");
                return Got::End;
            }
            // The kernel's count of datagrams dropped on this socket so far.
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    std::uint32_t dropped = 0;
                    std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                    lost_ = static_cast<long>(dropped);
                }
            }
            if (!opt_.allow.empty()) {
                const Network who = sender(from);
                bool ok = false;
                for (const Network& net : opt_.allow) ok = ok || within(who, net);
                if (!ok) {
                    ++refused_;
                    continue;
                }
            }
            if (n == 0) continue;
            // A datagram ends its last line, with or without a line end.
            buf_.append(d, static_cast<std::size_t>(n));
            end_line();
            return Got::Data;
        }
    }

private:
    int fd_;
    std::atomic<long> lost_{0}, refused_{0};
};

std::unique_ptr<Source> open_udp(const std::string& where, HostPort hp, const Options& o, std::string& error) {
    AddrList addrs;
    int fd = -1;
    int err = 0;
    // A bare port is this machine only, as the page is: listening wider is
    // asked for by name.
    if (hp.host.empty()) hp.host = "127.0.0.1";
    if (hp.host == "::") {
        // Any address, IPv6 and IPv4 on one socket where the system can.
        fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            int off = 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_any;
            a.sin6_port = htons(static_cast<std::uint16_t>(std::stoi(hp.port)));
            if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                err = errno;
                ::close(fd);
                fd = -1;
            }
        }
        if (fd < 0 && err != EADDRINUSE && err != EACCES) {
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(hp.port)));
            if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                err = errno;
                ::close(fd);
                fd = -1;
            }
        }
    } else {
        const int rc = resolve(hp, SOCK_DGRAM, true, addrs);
        if (rc != 0) {
            error = where + ": " + ::gai_strerror(rc);
            return nullptr;
        }
        for (addrinfo* a = addrs.list; a && fd < 0; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) continue;
            if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0) {
                err = errno;
                ::close(fd);
                fd = -1;
            }
        }
    }
    if (fd < 0) {
        error = where + ": cannot listen (" + errno_text(err ? err : errno) + ")";
        return nullptr;
    }
    // A fast sender (a simulator at full speed) sends in bursts.
    int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // What the kernel drops when the buffer is full anyway is counted with each datagram.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (o.notice) o.notice("listening on " + where + (where.find("://:") != std::string::npos ? " (127.0.0.1)" : ""));
    return std::make_unique<UdpSource>(where, o, fd);
}

std::unique_ptr<Source> open_serial(const std::string& path, const Options& o, int fd, std::string& error) {
    speed_t speed;
    if (!baud_constant(o.baud, speed)) {
        ::close(fd);
        error = path + ": unsupported baud rate " + std::to_string(o.baud) +
                " (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)";
        return nullptr;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        error = path + ": cannot read the line settings (" + errno_text(errno) + ")";
        ::close(fd);
        return nullptr;
    }
    ::cfmakeraw(&tio);   // 8 bits, no parity, no echo, no translation
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = path + ": cannot set " + std::to_string(o.baud) + " 8N1 raw (" + errno_text(errno) + ")";
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SerialSource>(path, o, fd);
}

}  // namespace

bool parse_network(const std::string& text, Network& out, std::string& error) {
    const auto slash = text.find('/');
    std::string addr = text.substr(0, slash);
    if (addr.size() > 2 && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
    Network n;
    if (::inet_pton(AF_INET, addr.c_str(), n.addr) == 1) {
        n.family = AF_INET;
        n.bits = 32;
    } else if (::inet_pton(AF_INET6, addr.c_str(), n.addr) == 1) {
        n.family = AF_INET6;
        n.bits = 128;
    } else {
        error = "\"" + text + "\": not an IPv4 or IPv6 address (ADDRESS or ADDRESS/BITS)";
        return false;
    }
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        const unsigned most = n.bits;
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(bits) > most) {
            error = "\"" + text + "\": the prefix length goes from 0 to " + std::to_string(most);
            return false;
        }
        n.bits = static_cast<unsigned>(std::stoul(bits));
    }
    out = n;
    return true;
}

std::unique_ptr<Source> open(const std::string& where, const Options& options, std::string& error) {
    error.clear();
    if (where == "-") {
        static const std::string kStdin = "<stdin>";
        return std::make_unique<FdSource>(kStdin, options, 0, false, false);
    }
    const auto scheme = where.find("://");
    if (scheme != std::string::npos) {
        const std::string kind = where.substr(0, scheme);
        const std::string rest = where.substr(scheme + 3);
        if (kind != "tcp" && kind != "udp") {
            error = where + ": unknown kind of source \"" + kind + "://\" (tcp://HOST:PORT, udp://:PORT, a path)";
            return nullptr;
        }
        HostPort hp;
        if (!split_host_port(where, rest, hp, error)) return nullptr;
        if (kind == "udp") return open_udp(where, hp, options, error);
        if (hp.host.empty()) {
            error = where + ": no host (tcp://HOST:PORT)";
            return nullptr;
        }
        // A name that cannot be resolved is a typing error; a name server
        // that does not answer yet is not.
        AddrList addrs;
        const int rc = resolve(hp, SOCK_STREAM, false, addrs);
        if (rc != 0 && rc != EAI_AGAIN) {
            error = where + ": " + ::gai_strerror(rc);
            return nullptr;
        }
        return std::make_unique<TcpSource>(where, options, hp);
    }
    if (where.empty()) {
        error = "an empty name is no source";
        return nullptr;
    }
    const int fd = ::open(where.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = where + ": cannot open (" + errno_text(errno) + ")";
        return nullptr;
    }
    struct stat st{};
    ::fstat(fd, &st);
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = where + ": is a folder";
        return nullptr;
    }
    if (S_ISCHR(st.st_mode) && ::isatty(fd)) return open_serial(where, options, fd, error);
    return std::make_unique<FdSource>(where, options, fd, true, S_ISFIFO(st.st_mode));
}

}  // namespace zelmora::feed
