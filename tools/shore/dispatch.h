// The monitor's hook: a command run for every event, the event's JSON line
// on its standard input, through /bin/sh -c. The monitor never waits for
// it: events queue (up to a bound, then they are dropped and counted), a
// few hooks run at once, one that runs too long is killed. What the hook
// writes goes to the monitor's standard error, never among its events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelmora::shore {

class Dispatcher {
public:
    struct Settings {
        std::string command;
        int running = 4;                  // hooks at once
        std::size_t queued = 1000;        // events waiting, at most
        int timeout_s = 60;               // a hook still running then is killed
    };
    // `log` gets one line per failure (called from the hooks' threads).
    Dispatcher(Settings settings, std::function<void(const std::string&)> log);
    // Lets what is queued run for up to `drain_s`; kills what is still running then.
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    void push(std::string event_line);
    // {"command", "running", "queued", "run", "failed", "dropped"}
    nlohmann::json status() const;

    static constexpr int drain_s = 5;

private:
    void work();
    bool run(const std::string& input, std::string& why);

    Settings set_;
    std::function<void(const std::string&)> log_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::string> queue_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    long running_ = 0, run_ = 0, failed_ = 0, dropped_ = 0;
    std::chrono::steady_clock::time_point kill_at_{};
};

}  // namespace zelmora::shore
