#include "dispatch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace zelmora::shore {

namespace {
using Clock = std::chrono::steady_clock;
}

Dispatcher::Dispatcher(Settings settings, std::function<void(const std::string&)> log)
    : set_(std::move(settings)), log_(std::move(log)) {
    for (int i = 0; i < set_.running; ++i) threads_.emplace_back([this] { work(); });
}

Dispatcher::~Dispatcher() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        kill_at_ = Clock::now() + std::chrono::seconds(drain_s);
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
}

void Dispatcher::push(std::string event_line) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (queue_.size() >= set_.queued) {
            // A hook that cannot keep up loses events, never the monitor its pace.
            if (dropped_++ % 100 == 0 && log_)
                log_("--on-event: " + std::to_string(set_.queued) + " events waiting, event dropped (" +
                     std::to_string(dropped_) + " so far)");
            return;
        }
        queue_.push_back(std::move(event_line));
    }
    cv_.notify_one();
}

nlohmann::json Dispatcher::status() const {
    std::lock_guard<std::mutex> lock(mu_);
    return {{"command", set_.command},       {"running", running_}, {"queued", queue_.size()},
            {"run", run_},                   {"failed", failed_},   {"dropped", dropped_}};
}

void Dispatcher::work() {
    for (;;) {
        std::string line;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty() || (stopping_ && Clock::now() >= kill_at_)) return;
            line = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        std::string why;
        const bool ok = run(line, why);
        std::lock_guard<std::mutex> lock(mu_);
        --running_;
        ++run_;
        if (!ok) {
            ++failed_;
            if (log_) log_("--on-event: " + why);
        }
    }
}

bool Dispatcher::run(const std::string& input, std::string& why) {
    // A socket rather than a pipe: a hook that exits without reading costs
    // an EPIPE, not a SIGPIPE.
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        why = std::string("cannot make its input (") + std::strerror(errno) + ")";
        return false;
    }
    ::shutdown(sv[1], SHUT_WR);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, sv[1], 0);
    posix_spawn_file_actions_adddup2(&fa, 2, 1);   // its output is no event of ours
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own, so that a hook killed takes its children with it.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    const std::string sh = "/bin/sh", dash_c = "-c";
    char* argv[] = {const_cast<char*>(sh.c_str()), const_cast<char*>(dash_c.c_str()),
                    const_cast<char*>(set_.command.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, sh.c_str(), &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(sv[1]);
    if (rc != 0) {
        ::close(sv[0]);
        why = std::string("cannot start /bin/sh (") + std::strerror(rc) + ")";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(set_.timeout_s);
    const auto left_ms = [&] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return ms > 0 ? static_cast<int>(ms) : 0;
    };
    std::size_t sent = 0;
    while (sent < input.size() && left_ms() > 0) {
        pollfd p{sv[0], POLLOUT, 0};
        if (::poll(&p, 1, std::min(left_ms(), 100)) <= 0) continue;
        const ssize_t n = ::send(sv[0], input.data() + sent, input.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;   // it does not read: its business
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    ::close(sv[0]);
    int status = 0;
    for (;;) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) {
            why = std::string("lost its process (") + std::strerror(errno) + ")";
            return false;
        }
        bool stop_now = false;
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_now = stopping_ && Clock::now() >= kill_at_;
        }
        if (left_ms() == 0 || stop_now) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            why = "killed after " + std::to_string(stop_now ? drain_s : set_.timeout_s) + " s: " + set_.command;
            return false;
        }
        ::poll(nullptr, 0, 10);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    why = (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                             : "ended by signal " + std::to_string(WTERMSIG(status))) +
          ": " + set_.command;
    return false;
}

}  // namespace zelmora::shore
