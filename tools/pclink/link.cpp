#include "link.h"

#include <thread>

namespace zpc {

namespace {
// After this much quiet, bytes held as a possible frame start are text.
constexpr auto kQuiet = std::chrono::milliseconds(50);

bool answers(const Reply& reply, const Request& r) {
    return reply.command == r.command && reply.subcommand == r.subcommand && reply.address == (r.address & 0xFFFFFF);
}

// A wait that ends by an exception (the line gone, an interrupt) leaves no
// request waited for and no reply held.
struct Waiting {
    const Request*& waiting;
    std::optional<Reply>& got;
    ~Waiting() {
        waiting = nullptr;
        got.reset();
    }
};
}  // namespace

Link::Link(Line& port, LinkOptions options, std::function<void(const std::string&)> console)
    : port_(port), options_(options), console_(std::move(console)) {
    scanner_.on_text = [this](const std::string& t) {
        if (console_) console_(t);
    };
    scanner_.on_reply = [this](const Reply& r) {
        if (waiting_ && !got_ && answers(r, *waiting_)) got_ = r;
        else ++stray_;   // a late reply to an earlier attempt, or a second reply
    };
    scanner_.on_damaged = [this] { ++damaged_; };
}

// Reads what arrives until the deadline or a matching reply.
void Link::pump(Clock::time_point deadline) {
    uint8_t buf[512];
    for (;;) {
        if (got_) return;   // a reply that came is taken, signal or not
        if (on_wake) on_wake();
        if (Clock::now() >= deadline) return;
        auto until = deadline;
        if (scanner_.held() != 0 && last_byte_ + kQuiet < until) until = last_byte_ + kQuiet;
        size_t n = 0;
        try {
            n = port_.read_some(buf, sizeof buf, until);
        } catch (const LineError&) {
            // A hang-up that came with a signal is the signal's to handle.
            if (on_wake) on_wake();
            throw;
        }
        if (n != 0) {
            last_byte_ = Clock::now();
            scanner_.feed(buf, n);
        } else if (scanner_.held() != 0 && Clock::now() >= last_byte_ + kQuiet) {
            scanner_.flush();
        }
        if (n == 0 && Clock::now() < until) return;   // interrupted by a signal
    }
}

std::optional<Reply> Link::transact(const Request& r, bool repeatable) {
    const std::vector<uint8_t> frame = encode(r);
    const int tries = repeatable ? 1 + (options_.retries > 0 ? options_.retries : 0) : 1;
    attempts_ = 0;
    got_.reset();
    waiting_ = &r;
    const Waiting guard{waiting_, got_};
    for (int t = 0; t < tries && !got_; ++t) {
        if (t != 0) {
            // Whatever the unit gathered of a damaged request must time out first.
            const auto resend = last_sent_ + options_.resync;
            while (!got_ && Clock::now() < resend) pump(resend);
            if (got_) break;   // the reply came late after all
            if (on_retry) on_retry(t + 1, tries);
        }
        if (on_wake) on_wake();
        ++attempts_;
        port_.write_all(frame.data(), frame.size(), Clock::now() + std::chrono::seconds(2));
        last_sent_ = Clock::now();
        const auto deadline = last_sent_ + options_.timeout;
        while (!got_ && Clock::now() < deadline) pump(deadline);
    }
    return std::move(got_);
}

std::optional<Reply> Link::await(const Request& r, Clock::time_point deadline) {
    got_.reset();
    waiting_ = &r;
    const Waiting guard{waiting_, got_};
    while (!got_ && Clock::now() < deadline) pump(deadline);
    return std::move(got_);
}

void Link::listen(Clock::time_point deadline, const std::function<bool()>& stop) {
    waiting_ = nullptr;
    while (Clock::now() < deadline) {
        pump(std::min(deadline, Clock::now() + std::chrono::milliseconds(100)));
        if (stop && stop()) break;
    }
    scanner_.flush();
}

}  // namespace zpc
