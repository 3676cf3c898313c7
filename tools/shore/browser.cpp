#include "browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace zelmora::shore {

namespace {

using Clock = std::chrono::steady_clock;

std::string base64_decoded(const std::string& in) {
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : in) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else continue;
        value = (value << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

// A descriptor above the three the child is given, so that dup2 onto 3 and
// 4 cannot overwrite one of ours.
int high(int fd) {
    const int h = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return h;
}

}  // namespace

Browser::~Browser() { close(); }

bool Browser::start(const std::string& dir, int width, int height, std::string& why) {
    if (access(kChromium, X_OK) != 0) {
        why = std::string(kChromium) + " is not installed";
        return false;
    }
    signal(SIGPIPE, SIG_IGN);   // a browser that died is told by the answers that do not come
    int cmd[2], ans[2];
    if (pipe(cmd) != 0 || pipe(ans) != 0) {
        why = "no pipe";
        return false;
    }
    for (int* fd : {&cmd[0], &cmd[1], &ans[0], &ans[1]}) *fd = high(*fd);
    std::vector<std::string> args = {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                                     "--no-first-run", "--mute-audio", "--remote-debugging-pipe",
                                     "--user-data-dir=" + dir + "/profile",
                                     "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                     "about:blank"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (dir + "/chromium.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_adddup2(&fa, cmd[0], 3);
    posix_spawn_file_actions_adddup2(&fa, ans[1], 4);
    const int rc = posix_spawn(&pid_, kChromium, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(cmd[0]);
    ::close(ans[1]);
    to_ = cmd[1];
    from_ = ans[0];
    if (rc != 0) {
        pid_ = -1;
        why = "cannot start " + std::string(kChromium);
        return false;
    }
    const auto target = call("Target.createTarget", {{"url", "about:blank"}}, 60, false);
    const auto attached = target ? call("Target.attachToTarget", {{"targetId", (*target)["targetId"]}, {"flatten", true}},
                                        60, false)
                                 : std::nullopt;
    if (!attached) {
        why = "Chromium did not answer on its pipe: " + error_;
        return false;
    }
    session_ = (*attached)["sessionId"].get<std::string>();
    return true;
}

std::optional<nlohmann::json> Browser::call(const std::string& method, nlohmann::json params, double seconds,
                                            bool in_page) {
    if (pid_ <= 0) {
        error_ = "no browser";
        return std::nullopt;
    }
    const long id = next_id_++;
    nlohmann::json msg = {{"id", id}, {"method", method}, {"params", std::move(params)}};
    if (in_page) msg["sessionId"] = session_;
    std::string out = msg.dump() + '\0';
    for (std::size_t at = 0; at < out.size();) {
        const ssize_t n = ::write(to_, out.data() + at, out.size() - at);
        if (n <= 0) {
            error_ = "the browser's pipe is closed";
            return std::nullopt;
        }
        at += static_cast<std::size_t>(n);
    }
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (;;) {
        for (std::size_t nul; (nul = buffer_.find('\0')) != std::string::npos;) {
            const nlohmann::json m = nlohmann::json::parse(buffer_.substr(0, nul), nullptr, false);
            buffer_.erase(0, nul + 1);
            if (!m.is_object() || m.value("id", -1L) != id) continue;   // events, and answers given up on
            if (m.contains("error")) {
                error_ = m["error"].dump();
                return std::nullopt;
            }
            return m.value("result", nlohmann::json::object());
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            error_ = method + ": no answer in time";
            return std::nullopt;
        }
        pollfd p{from_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<long>(left, 1000))) <= 0) continue;
        char b[65536];
        const ssize_t n = ::read(from_, b, sizeof b);
        if (n <= 0) {
            error_ = "the browser's pipe is closed";
            return std::nullopt;
        }
        buffer_.append(b, static_cast<std::size_t>(n));
    }
}

bool Browser::open(const std::string& url, double seconds) {
    if (!call("Page.navigate", {{"url", url}}, seconds)) return false;
    return wait("document.readyState === 'complete' && location.href !== 'about:blank'", seconds);
}

std::optional<nlohmann::json> Browser::eval(const std::string& expression, double seconds) {
    const auto r = call("Runtime.evaluate",
                        {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, seconds);
    if (!r) return std::nullopt;
    if (r->contains("exceptionDetails")) {
        error_ = (*r)["exceptionDetails"].dump();
        return std::nullopt;
    }
    return (*r)["result"].value("value", nlohmann::json());
}

bool Browser::wait(const std::string& condition, double seconds) {
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (Clock::now() < end) {
        const auto v = eval("!!(" + condition + ")", 10);
        if (v && v->is_boolean() && v->get<bool>()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "still not true: " + condition + (error_.empty() ? "" : " (" + error_ + ")");
    return false;
}

bool Browser::screenshot(const std::string& path) {
    const auto r = call("Page.captureScreenshot", {{"format", "png"}}, 60);
    if (!r || !r->contains("data")) return false;
    std::ofstream(path, std::ios::binary) << base64_decoded((*r)["data"].get<std::string>());
    return true;
}

void Browser::close() {
    if (pid_ <= 0) return;
    call("Browser.close", nlohmann::json::object(), 5, false);
    int status = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (Clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    ::close(to_);
    ::close(from_);
    to_ = from_ = -1;
}

}  // namespace zelmora::shore
