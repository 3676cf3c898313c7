#include "serial.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace zpc {

namespace {
int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left) + 1;
}
}  // namespace

SerialPort::SerialPort(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw LineError("cannot open " + path + ": " + std::strerror(errno));
    const auto fail = [this](const std::string& what) {
        const std::string msg = path_ + ": " + what;
        ::close(fd_);
        fd_ = -1;
        throw LineError(msg);
    };
    if (!::isatty(fd_)) fail("not a serial line");
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) fail("in use by another program");
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) fail(std::string("cannot read the line settings: ") + std::strerror(errno));
    ::cfmakeraw(&tio);                       // 8 bits, no parity, no echo, no translation
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);   // one stop bit, no hardware flow control
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);   // the frames are binary: no XON/XOFF
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B38400);
    ::cfsetospeed(&tio, B38400);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) fail(std::string("cannot set 38400 8N1 raw: ") + std::strerror(errno));
    ::tcflush(fd_, TCIOFLUSH);   // text the unit sent before we came is stale
}

SerialPort::~SerialPort() {
    if (fd_ >= 0) ::close(fd_);
}

void SerialPort::write_all(const uint8_t* data, size_t n, Clock::time_point deadline) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd_, data + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) throw LineError(path_ + ": write failed: " + std::strerror(errno));
        pollfd p{fd_, POLLOUT, 0};
        const int r = ::poll(&p, 1, ms_until(deadline));
        if (r == 0 && Clock::now() >= deadline) throw LineError(path_ + ": the line takes no bytes (blocked)");
        if (r > 0 && (p.revents & (POLLHUP | POLLERR)))
            throw LineError(path_ + ": the line hung up (cable unplugged?)");
    }
}

size_t SerialPort::read_some(uint8_t* buf, size_t cap, Clock::time_point deadline) {
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int r = ::poll(p, wake_ >= 0 ? 2 : 1, ms_until(deadline));
        if (r < 0) {
            if (errno == EINTR) return 0;   // a signal: let the caller look at its flags
            throw LineError(path_ + ": " + std::strerror(errno));
        }
        if (r == 0) {
            if (Clock::now() >= deadline) return 0;
            continue;
        }
        if (wake_ >= 0 && (p[1].revents & POLLIN)) {
            // A signal that came just before the wait: drained, and the caller looks at its flags.
            char drain[64];
            while (::read(wake_, drain, sizeof drain) > 0) {
            }
            return 0;
        }
        if (p[0].revents == 0) continue;
        const ssize_t n = ::read(fd_, buf, cap);
        if (n > 0) return static_cast<size_t>(n);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // Readable but nothing to read, or EIO: the other end is gone.
        throw LineError(path_ + ": the line hung up (cable unplugged, or the unit's port closed)");
    }
}

}  // namespace zpc
