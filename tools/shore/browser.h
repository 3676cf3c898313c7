// Headless Chromium driven over its DevTools pipe (--remote-debugging-pipe:
// JSON commands on its fd 3, answers on its fd 4, each ended by a NUL), for
// the page's tests and benchmark: open a page, run script in it, wait for a
// condition, take a picture. Nothing but Debian's chromium.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace zelmora::shore {

class Browser {
public:
    static constexpr const char* kChromium = "/usr/bin/chromium";

    Browser() = default;
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Starts it with a fresh profile in `dir` (its log there too); false and
    // `why` set when it cannot.
    bool start(const std::string& dir, int width, int height, std::string& why);
    // Loads `url` and waits for the document to be complete.
    bool open(const std::string& url, double seconds = 60);
    // The value of a script expression (a promise is awaited); nullopt and
    // error() set when it threw or the browser did not answer.
    std::optional<nlohmann::json> eval(const std::string& expression, double seconds = 60);
    // Polls `condition` every 50 ms until it is true.
    bool wait(const std::string& condition, double seconds = 60);
    // The viewport as PNG into `path`.
    bool screenshot(const std::string& path);
    const std::string& error() const { return error_; }
    void close();

private:
    std::optional<nlohmann::json> call(const std::string& method, nlohmann::json params, double seconds,
                                       bool in_page = true);
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string buffer_, session_, error_;
    long next_id_ = 1;
};

}  // namespace zelmora::shore
