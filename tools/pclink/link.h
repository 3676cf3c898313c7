// One request at a time over the line, each waiting for its reply.
#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "frame.h"
#include "serial.h"

namespace zpc {

struct LinkOptions {
    // How long to wait for a reply.
    std::chrono::milliseconds timeout{1500};
    // Further attempts after a lost reply, for requests that are safe to repeat.
    int retries = 2;
    // The unit drops a partial request after 3 s of silence and appends
    // anything sooner to it: a repeat waits this long after our last byte.
    std::chrono::milliseconds resync{3200};
};

class Link {
public:
    // `console` gets the unit's console text as it arrives, untouched.
    Link(Line& port, LinkOptions options, std::function<void(const std::string&)> console);

    // Sends the request and returns its reply (same command, subcommand and
    // address), or nothing when none came. A request that is `repeatable`
    // is sent again after a lost reply, up to `retries` times.
    std::optional<Reply> transact(const Request& r, bool repeatable);

    // Lets console text (and stray replies) through until the deadline, or
    // until `stop` returns true (it is asked after every chunk).
    void listen(Clock::time_point deadline, const std::function<bool()>& stop = {});

    // The next reply matching `r`, until the deadline (a second reply).
    std::optional<Reply> await(const Request& r, Clock::time_point deadline);

    // Held bytes go out as console text.
    void flush() { scanner_.flush(); }

    // Told before a repeat: the attempt about to be made, and how many there can be.
    std::function<void(int, int)> on_retry;

    // Asked before a request goes out and whenever a wait wakes (a signal
    // wakes it at once); it may throw to end the wait, as an interrupt does.
    std::function<void()> on_wake;

    // Counters for messages and tests.
    int attempts() const { return attempts_; }      // of the last transact()
    int damaged() const { return damaged_; }        // frames dropped for their CRC
    int stray() const { return stray_; }            // replies that matched no request
    const LinkOptions& options() const { return options_; }
    Line& port() { return port_; }

private:
    void pump(Clock::time_point deadline);

    Line& port_;
    LinkOptions options_;
    ReplyScanner scanner_;
    std::function<void(const std::string&)> console_;
    std::optional<Reply> got_;
    const Request* waiting_ = nullptr;
    Clock::time_point last_sent_{};
    Clock::time_point last_byte_{};
    int attempts_ = 0;
    int damaged_ = 0;
    int stray_ = 0;
};

}  // namespace zpc
