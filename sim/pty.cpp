#include "pty.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace zsim {

namespace {
constexpr size_t kOutMax = 1 << 16;   // about 17 s of the port at 38400 baud
constexpr int kPollMs = 20;

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("pseudo-terminal: ") + what + ": " + std::strerror(errno));
}
}  // namespace

PtyPort::PtyPort() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) fail("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        ::close(master_);
        fail("grantpt/unlockpt");
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
        ::close(master_);
        fail("ptsname");
    }
    path_ = name;
    // Raw line: no echo of what the unit sends, no CR/LF translation either
    // way. The setting is the pair's and survives the slave being reopened.
    termios tio{};
    if (::tcgetattr(master_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B38400);
        ::cfsetospeed(&tio, B38400);
        ::tcsetattr(master_, TCSANOW, &tio);
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // A master whose slave was never opened takes writes into the line
    // buffer, and the first program to open it would read stale text. Open
    // and close the slave once: from then on the master reports a hang-up
    // while no program holds the slave, the state this port watches.
    const int s = ::open(name, O_RDWR | O_NOCTTY);
    if (s >= 0) ::close(s);
}

PtyPort::~PtyPort() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
}

void PtyPort::start(std::function<void(const uint8_t*, size_t)> received) {
    received_ = std::move(received);
    thread_ = std::thread([this] { reader(); });
}

void PtyPort::reader() {
    uint8_t buf[512];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        const int r = ::poll(&p, 1, kPollMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        if (p.revents & POLLHUP) {
            // Nobody holds the slave (closed, or never opened since the
            // last close): poll reports it at once, so wait before looking again.
            connected_ = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        connected_ = true;
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                if (received_) received_(buf, static_cast<size_t>(n));
            } else if (n < 0 && errno == EIO) {
                connected_ = false;   // the slave went away between poll and read
            }
        }
        write_pending();
    }
}

void PtyPort::send(const uint8_t* data, size_t n) {
    {
        std::lock_guard<std::mutex> lk(out_m_);
        if (!connected_) {
            out_.clear();
            return;
        }
        out_.insert(out_.end(), data, data + n);
        if (out_.size() > kOutMax) out_.erase(out_.begin(), out_.end() - static_cast<long>(kOutMax));
    }
    write_pending();
}

void PtyPort::write_pending() {
    std::lock_guard<std::mutex> lk(out_m_);
    if (!connected_) {
        out_.clear();
        return;
    }
    size_t done = 0;
    while (done < out_.size()) {
        const ssize_t w = ::write(master_, out_.data() + done, out_.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EIO) out_.clear();   // hung up: nobody to send to
        break;                                     // EAGAIN: the line is full, later
    }
    if (done != 0 && done <= out_.size()) out_.erase(out_.begin(), out_.begin() + static_cast<long>(done));
}

}  // namespace zsim
