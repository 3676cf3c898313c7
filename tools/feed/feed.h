// zelmora_feed: where the shore tools read their lines from. One name picks
// the source:
//
//     "-"                  standard input
//     "tcp://HOST:PORT"    a receiver's NMEA server; reconnects when it drops
//     "udp://:PORT"        listens for datagrams (one or more lines each);
//     "udp://HOST:PORT"    the same, bound to HOST
//     a character device   a serial line at Options::baud, raw 8N1
//     any other path       a file (a FIFO or a tty given by path included);
//                          with Options::follow, read on as it grows
//
// Use:
//
//     std::string why;
//     auto src = zelmora::feed::open("tcp://10.0.0.5:2000", opts, why);
//     if (!src) { std::cerr << why; ... }
//     std::string line;
//     while (src->next(line, -1) == zelmora::feed::Status::Line) ...
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zelmora::feed {

struct Options {
    unsigned baud = 38400;        // serial devices only
    bool follow = false;          // plain files only: wait for more at their end
    int reconnect_ms = 2000;      // tcp: pause between attempts
    // Connection news for the user ("connected to ...", "lost ..., reconnecting");
    // not called when empty.
    std::function<void(const std::string&)> notice;
};

enum class Status {
    Line,      // `line` holds one line, without its CR/LF
    Timeout,   // nothing complete within the wait
    End,       // no more will come (end of a file not followed, stdin closed)
};

class Source {
public:
    virtual ~Source() = default;
    // Waits up to timeout_ms (-1: as long as it takes) for the next line.
    // Lines longer than 4096 bytes are cut there, never dropped silently.
    virtual Status next(std::string& line, int timeout_ms) = 0;
    // How the source is named in messages: "<stdin>", the path or the URL.
    virtual const std::string& name() const = 0;
};

// nullptr and `error` set ("tcp://x:99999: port out of range") when the
// name cannot be opened at all; a tcp source that cannot connect yet is
// returned and keeps trying.
std::unique_ptr<Source> open(const std::string& where, const Options& options, std::string& error);

}  // namespace zelmora::feed
