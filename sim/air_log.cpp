#include "air_log.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zsim {

std::string AirLog::tag_block(int64_t utc) {
    const std::string body = "c:" + std::to_string(utc);
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char b[8];
    std::snprintf(b, sizeof b, "*%02X\\", sum);
    return "\\" + body + b;
}

std::unique_ptr<AirLog> AirLog::open(const std::string& where, bool tags, bool line_buffered, std::string& why) {
    std::unique_ptr<AirLog> log(new AirLog);
    log->tags_ = tags;
    if (where.rfind("udp://", 0) == 0) {
        const std::string rest = where.substr(6);
        std::string host, port;
        const auto colon = rest.rfind(':');
        if (colon != std::string::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
        }
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos ||
            port.size() > 5 || std::stol(port) < 1 || std::stol(port) > 65535) {
            why = where + ": expected udp://HOST:PORT (port 1..65535)";
            return nullptr;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* list = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
        if (rc != 0) {
            why = where + ": " + ::gai_strerror(rc);
            return nullptr;
        }
        for (addrinfo* a = list; a && log->socket_ < 0; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) continue;
            // Connected, so that send() needs no address; nobody listening is
            // no error for a radio either.
            if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) log->socket_ = fd;
            else ::close(fd);
        }
        ::freeaddrinfo(list);
        if (log->socket_ < 0) {
            why = where + ": cannot send there (" + std::strerror(errno) + ")";
            return nullptr;
        }
        return log;
    }
    if (where.find("://") != std::string::npos) {
        why = where + ": the air goes to a file or to udp://HOST:PORT";
        return nullptr;
    }
    log->file_ = std::fopen(where.c_str(), "w");
    if (!log->file_) {
        why = where + ": cannot write the air log";
        return nullptr;
    }
    if (line_buffered) std::setvbuf(log->file_, nullptr, _IOLBF, 4096);
    return log;
}

AirLog::~AirLog() {
    if (file_) std::fclose(file_);
    if (socket_ >= 0) ::close(socket_);
}

void AirLog::sentence(const std::string& s, int64_t utc) {
    const std::string line = (tags_ ? tag_block(utc) : std::string()) + s;
    if (file_) {
        std::fputs(line.c_str(), file_);
        std::fputc('\n', file_);
        return;
    }
    const std::string datagram = line + "\r\n";
    // A refused datagram (no listener yet) is lost, as on the air.
    [[maybe_unused]] const ssize_t n = ::send(socket_, datagram.data(), datagram.size(), MSG_NOSIGNAL);
}

}  // namespace zsim
