// zelmora_feed: where the shore tools read their lines from. One name picks
// the source:
//
//     "-"                  standard input
//     "tcp://HOST:PORT"    a receiver's NMEA server; reconnects when it drops
//     "udp://:PORT"        listens on 127.0.0.1 for datagrams (one or more lines each);
//     "udp://HOST:PORT"    the same, bound to HOST ("0.0.0.0" every IPv4
//                          address, "[::]" every address, IPv6 and IPv4)
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

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmora::feed {

// How far a regular file has been read: enough to go on from there in a
// later run, and to tell whether it is still the same file.
struct Place {
    std::uint64_t dev = 0, ino = 0;
    std::int64_t size = 0;      // the file's size when the place was taken
    std::int64_t offset = 0;    // bytes handed out as whole lines; the next line starts here
    std::string before;         // up to 64 bytes before `offset`, as the file held them
};

// What a source threw away before it became lines.
struct Counters {
    long lost = 0;      // udp: datagrams the kernel dropped, its receive buffer full
    long refused = 0;   // udp: datagrams from a sender outside Options::allow
};

// "192.0.2.0/24", "2001:db8::/32", or an address alone (all its bits).
struct Network {
    int family = 0;             // AF_INET or AF_INET6
    unsigned char addr[16] = {};
    unsigned bits = 0;
};
bool parse_network(const std::string& text, Network& out, std::string& error);

struct Options {
    unsigned baud = 38400;        // serial devices only
    bool follow = false;          // plain files only: wait for more at their end
    int reconnect_ms = 2000;      // tcp: pause between attempts
    std::vector<Network> allow;   // udp: only datagrams from these senders; empty: from any
    std::optional<Place> resume;  // plain files: go on from here when it is still the same file
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
    // Plain files: where the lines handed out so far end.
    virtual std::optional<Place> place() const { return std::nullopt; }
    // Safe to call from another thread than the reader's.
    virtual Counters counters() const { return {}; }
};

// nullptr and `error` set ("tcp://x:99999: port out of range") when the
// name cannot be opened at all; a tcp source that cannot connect yet is
// returned and keeps trying.
std::unique_ptr<Source> open(const std::string& where, const Options& options, std::string& error);

}  // namespace zelmora::feed
