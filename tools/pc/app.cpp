#include "app.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <unistd.h>

#include "event_log.h"
#include "link.h"
#include "status.h"
#include "text.h"
#include "unit_config.h"
#include "zelmora_version.h"

namespace zpc {

namespace {

// Ctrl-C, SIGTERM and a terminal's hang-up: the handler only counts the
// signal and wakes the line's wait through a pipe; putting the unit back
// happens in normal code.
std::atomic<int> g_signals{0};
std::atomic<int> g_last_signal{0};
std::atomic<int> g_wake_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free counter");

extern "C" void on_signal(int sig) {
    const int saved = errno;
    g_last_signal = sig;
    ++g_signals;
    const int fd = g_wake_fd;
    const char byte = 1;
    if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
        // A full pipe wakes the wait all the same.
    }
    errno = saved;
}

class Interrupts {
public:
    Interrupts() {
        if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
        g_signals = 0;
        g_last_signal = 0;
        g_wake_fd = pipe_[1];
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);   // no SA_RESTART: a wait ends at once
        for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &old_[i]);
    }
    ~Interrupts() {
        for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &old_[i], nullptr);
        g_wake_fd = -1;
        for (int fd : pipe_)
            if (fd >= 0) ::close(fd);
    }
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    int wake_fd() const { return pipe_[0]; }
    int count() const { return g_signals; }
    // The signal in words, for the message.
    static std::string last() {
        switch (g_last_signal.load()) {
            case SIGINT: return "Ctrl-C (SIGINT)";
            case SIGTERM: return "SIGTERM";
            case SIGHUP: return "a hang-up of the terminal (SIGHUP)";
            default: return "a signal";
        }
    }

private:
    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
    int pipe_[2] = {-1, -1};
    struct sigaction old_[3] {};
};

// Thrown at the next wait after a signal: the command stops where it is,
// and run() puts the unit back as it was found.
struct Interrupted {};
// A second signal while the unit is being put back: stop at once.
struct Abandoned {};

// Exit status 2: what was typed cannot be done.
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Exit status 1: the unit refused, failed or did not answer.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string hex(uint32_t v, int digits = 4) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

// "0x1F4" or "500".
uint32_t parse_number(const std::string& s, const char* what) {
    const bool is_hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const std::string digits = is_hex ? s.substr(2) : s;
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of(is_hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        throw Usage(std::string(what) + " must be a number (decimal, or hexadecimal with 0x), not \"" + s + "\"");
    return static_cast<uint32_t>(std::stoul(digits, nullptr, is_hex ? 16 : 10));
}

// The meter's reading as typed: a decimal number. A decimal comma is the
// usual slip, and CLI11's own words for it say nothing of the kind.
double parse_reading(const std::string& typed, bool volts) {
    const std::string what = std::string("calibrate: ") + typed + " is not a number of " + (volts ? "volts" : "amperes");
    if (zcfg::is_decimal_number(typed)) return std::strtod(typed.c_str(), nullptr);
    const std::string pointed = zcfg::with_decimal_point(typed);
    if (!pointed.empty()) throw Usage(what + ": write it with a decimal point, " + pointed);
    throw Usage(what + " (the meter's reading, e.g. " + (volts ? "12.6" : "1.32") + ")");
}

std::string unknown_key(const std::string& key) {
    if (const zcfg::Field* near = zcfg::nearest_key(key))
        return "unknown key " + key + ": did you mean " + near->key + "?";
    return "unknown key " + key + " (`zelmora-pc config show` lists them)";
}

// "49 14 84", "491484", "49:14:84" or several arguments.
std::vector<uint8_t> parse_hex_bytes(const std::vector<std::string>& args) {
    std::string digits;
    for (const std::string& a : args) {
        for (char c : a) {
            if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
            else if (c != ' ' && c != ':' && c != ',' && c != '-')
                throw Usage("HEXBYTES must be hexadecimal digits, two per byte, not \"" + a + "\"");
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) throw Usage("HEXBYTES must be whole bytes, two hexadecimal digits each");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

float float_le(const uint8_t* p) {
    const uint32_t bits = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::vector<uint8_t> float_bytes(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits >> 16),
            static_cast<uint8_t>(bits >> 24)};
}

// Where the unit's console text goes while a command runs; it is also kept
// for the commands that read what the unit printed.
class Console {
public:
    Console(std::ostream& to, bool quiet) : to_(&to), quiet_(quiet) {}
    void text(const std::string& t) {
        seen_ += t;
        if (quiet_) return;
        if (holding_) {
            held_ += t;
            return;
        }
        *to_ << t;
        to_->flush();
    }
    // While a progress bar is drawn, text waits.
    void hold(bool on) {
        holding_ = on;
        if (!on && !held_.empty()) {
            *to_ << held_;
            to_->flush();
            held_.clear();
        }
    }
    void redirect(std::ostream& to, bool quiet) {
        to_ = &to;
        quiet_ = quiet;
    }
    const std::string& seen() const { return seen_; }
    void forget() { seen_.clear(); }
    // What came after a mark taken with seen().size() (all of it after a forget()).
    std::string since(size_t mark) const { return mark <= seen_.size() ? seen_.substr(mark) : seen_; }
    bool quiet() const { return quiet_; }

private:
    std::ostream* to_;
    bool quiet_;
    bool holding_ = false;
    std::string held_;
    std::string seen_;
};

class Progress {
public:
    Progress(std::ostream& err, Console& console, std::string label)
        : err_(err), console_(console), label_(std::move(label)),
          on_(!console.quiet() && &err == &std::cerr && ::isatty(2)) {
        if (on_) console_.hold(true);
    }
    ~Progress() { done(); }
    void update(size_t done, size_t total) {
        if (!on_) return;
        const int width = 30;
        const int fill = total ? static_cast<int>(width * done / total) : width;
        err_ << "\r" << label_ << " [" << std::string(static_cast<size_t>(fill), '#')
             << std::string(static_cast<size_t>(width - fill), '.') << "] " << done << "/" << total << " bytes";
        err_.flush();
    }
    void done() {
        if (!on_) return;
        on_ = false;
        err_ << "\r\033[K";
        err_.flush();
        console_.hold(false);
    }

private:
    std::ostream& err_;
    Console& console_;
    std::string label_;
    bool on_;
};

// Console lines with which the unit explains a failure, and what they mean.
struct Reason {
    const char* line;   // the line holds this
    const char* means;
};
constexpr const char* kNoEeprom = "ERROR EEPROM: no responde";   // printed whatever the debug setting
const Reason kReasons[] = {
    {kNoEeprom, "its EEPROM does not answer"},
    {"Error de lectura de memoria", "it exports at most 128 bytes at a time"},
    {"Escritura PC rechazada", "it writes at most 128 bytes per request"},
    {"Ajuste rechazado", "the reading gives no usable factor"},
    {"lectura fecha erronea", "its clock does not answer"},
};

// A line of the unit's that names a failure, whether known or not.
bool is_trouble(const std::string& line, const char** means) {
    *means = nullptr;
    for (const Reason& r : kReasons) {
        if (line.find(r.line) != std::string::npos) {
            *means = r.means;
            return true;
        }
    }
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("error") != std::string::npos || lower.find("rechaz") != std::string::npos;
}

std::string bytes_count(size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// An export the unit refused; `because` is the unit's reason as a message ends it.
struct ExportRefused : Failure {
    ExportRefused(const std::string& message, std::string why) : Failure(message), because(std::move(why)) {}
    std::string because;
};

// A request that writes (a store, a wipe, a calibration) between being
// sent and its reply: if the line drops or no reply comes then, the write
// may still have landed, and the message says how to look.
struct WriteWatch {
    bool in_flight = false;
    std::string check = "`zelmora-pc config show`";   // what shows whether it landed
    // For an interrupt: what the command writes (empty: nothing), whether
    // any of it went out, whether it was seen to land, and how to read from
    // the unit whether it did.
    std::string what;
    bool sent = false;
    bool landed = false;
    std::function<bool()> holds_it;
};

// What the program changed of test mode, so that an interrupt can put it
// back: a change is noted as its request goes out (it may land without a
// reply), and one put back once the unit says it is done.
struct TestModeChanges {
    std::optional<bool> found;   // whether the unit was in test mode when the program looked
    bool entered = false;
    std::vector<uint8_t> monitors;   // the subcommands of those switched on, in order
    // `test` changes what it was asked to: an interrupt only says how far it got.
    bool asked = false;
    std::string last_asked;
    bool last_answered = true;
};

const char* monitor_name(uint8_t sub) {
    switch (sub) {
        case 2: return "gps";
        case 5: return "dips";
        case 11: return "battery";
        case 13: return "panel";
        default: return "";
    }
}

bool writes(const Request& r) {
    return r.command == 1 || (r.command == 2 && r.subcommand != 0) ||
           (r.command == 3 && (r.subcommand == 11 || r.subcommand == 13) && !r.data.empty() && r.data[0] == 2);
}

// The unit at the end of the line.
class Unit {
public:
    Unit(const std::string& path, const LinkOptions& options, Console& console, std::ostream& err, WriteWatch& watch,
         int wake_fd)
        : watch_(watch),
          port_(std::make_unique<SerialPort>(path)),
          link_(*port_, options,
                [this, &console](const std::string& t) {
                    console.text(t);
                    heard(t);
                }),
          err_(err) {
        port_->wake_on(wake_fd);
        link_.on_retry = [this](int attempt, int tries) {
            err_ << "zelmora-pc: no reply to the " << what_ << "; asking again (attempt " << attempt << " of "
                 << tries << ")\n";
        };
    }

    // The reply to `r`; no reply at all is a failure that names the request.
    Reply ask(const Request& r, bool repeatable, const std::string& what) {
        what_ = what;
        said_.clear();
        const bool write = writes(r);
        if (write) watch_.in_flight = true;
        pending_ = r;
        std::optional<Reply> reply;
        try {
            reply = link_.transact(r, repeatable);
        } catch (...) {
            // Stopped before the request went out: nothing to wait for, nothing written.
            if (link_.attempts() == 0) pending_.reset();
            else watch_.sent = watch_.sent || write;
            throw;
        }
        watch_.sent = watch_.sent || write;
        pending_.reset();
        if (reply) watch_.in_flight = false;
        if (!reply) {
            const auto& o = link_.options();
            std::ostringstream os;
            os << "no answer from the unit on " << port_->path() << " to the " << what << " (" << link_.attempts()
               << (link_.attempts() == 1 ? " attempt" : " attempts") << ", " << o.timeout.count() << " ms each";
            if (!repeatable && o.retries > 0) os << "; not repeated, as it must not be done twice";
            os << "). Is the unit powered, the cable in and the port right?";
            if (link_.damaged() != 0) os << " (" << link_.damaged() << " damaged frames came in: a noisy line?)";
            throw Failure(os.str());
        }
        return *reply;
    }

    // The console text since the last request was sent.
    const std::string& said() const { return said_; }
    // Whether it says that the EEPROM did not answer: the replies to writes
    // and wipes say done all the same.
    bool eeprom_failed() const { return said_.find(kNoEeprom) != std::string::npos; }

    // The unit's own words about the last request: its console lines that
    // name a failure, quoted, with what they mean. Empty when none came.
    std::string reason() const {
        std::string out, seen;
        size_t at = 0;
        while (at < said_.size()) {
            size_t end = said_.find('\n', at);
            if (end == std::string::npos) end = said_.size();
            std::string line = said_.substr(at, end - at);
            at = end + 1;
            const size_t first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos) continue;
            line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
            const char* means = nullptr;
            if (!is_trouble(line, &means) || seen.find(line + "\n") != std::string::npos) continue;
            seen += line + "\n";
            out += (out.empty() ? "\"" : "; \"") + printable(line) + "\"";
            if (means) out += std::string(" (") + means + ")";
        }
        return out;
    }

    // How a message about a refusal ends: the unit's reason, waited for a
    // moment since it may follow the reply.
    std::string because() {
        if (reason().empty())
            link_.listen(Clock::now() + std::chrono::milliseconds(200), [this] { return !reason().empty(); });
        const std::string why = reason();
        return why.empty() ? ", and gave no reason on its console" : ": it said " + why;
    }

    void expect_done(const Reply& r, const std::string& what) {
        if (r.result != 1) throw Failure("the unit refused the " + what + because());
    }

    // `n` bytes from `at`, in exports of at most 128 bytes.
    std::vector<uint8_t> read(uint32_t at, size_t n, Progress* progress = nullptr) {
        std::vector<uint8_t> out;
        while (out.size() < n) {
            const auto chunk = static_cast<uint8_t>(std::min<size_t>(kMaxExport, n - out.size()));
            const uint32_t a = static_cast<uint32_t>(at + out.size());
            const std::string what = "export of " + bytes_count(chunk) + " at " + hex(a);
            const Reply r = ask(Request::export_of(a, chunk), true, what);
            if (r.result != 1) {
                const std::string why = because();
                throw ExportRefused("the unit could not read its EEPROM at " + hex(a) + ".." + hex(a + chunk - 1u) +
                                        " (it refused the " + what + ")" + why,
                                    why);
            }
            if (r.data.size() != chunk)
                throw Failure("the unit answered the " + what + " with " + std::to_string(r.data.size()) + " bytes");
            out.insert(out.end(), r.data.begin(), r.data.end());
            if (progress) progress->update(out.size(), n);
        }
        return out;
    }

    // Stores `bytes` at `at`, one request per EEPROM page touched; with
    // `reload`, the last request has the unit reload its configuration.
    // Then reads them back: the unit's write reply does not verify.
    void write(uint32_t at, const std::vector<uint8_t>& bytes, bool reload) {
        size_t done = 0;
        while (done < bytes.size()) {
            const uint32_t a = static_cast<uint32_t>(at + done);
            const size_t n = std::min<size_t>(kMaxExport - a % kMaxExport, bytes.size() - done);
            const bool last = done + n == bytes.size();
            const std::string what = "write of " + bytes_count(n) + " at " + hex(a);
            const Reply r = ask(Request::store(a, std::vector<uint8_t>(bytes.begin() + static_cast<long>(done),
                                                                       bytes.begin() + static_cast<long>(done + n)),
                                               reload && last),
                                true, what);
            expect_done(r, what);
            if (eeprom_failed())
                throw Failure("the unit could not store " + bytes_count(n) + " at " + hex(a) + ": it said " + reason());
            done += n;
        }
        std::vector<uint8_t> back;
        try {
            back = read(at, bytes.size());
        } catch (const ExportRefused& e) {
            throw Failure("the " + bytes_count(bytes.size()) + " sent to " + hex(at) +
                          " could not be read back to check the write: the unit refused to export them" +
                          e.because);
        }
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (back[i] != bytes[i]) {
                char buf[160];
                std::snprintf(buf, sizeof buf,
                              "the EEPROM holds 0x%02X at %s after writing 0x%02X there: the write did not stick",
                              back[i], hex(static_cast<uint32_t>(at + i)).c_str(), bytes[i]);
                throw Failure(buf);
            }
        }
    }

    Reply test(uint8_t sub, uint8_t action, const std::string& what, std::vector<uint8_t> more = {}) {
        const bool mode = sub == 1 && action <= 1, monitor = *monitor_name(sub) != 0 && action <= 1;
        if (changes.asked && (mode || monitor)) {
            changes.last_asked = what;
            changes.last_answered = false;
        } else if (mode && action == 1) {
            // Entering switches every monitor off.
            changes.entered = true;
            changes.monitors.clear();
        } else if (monitor && action == 1 &&
                   std::find(changes.monitors.begin(), changes.monitors.end(), sub) == changes.monitors.end()) {
            changes.monitors.push_back(sub);
        }
        const Reply r = ask(Request::test(sub, action, std::move(more)), true, what);
        expect_done(r, what);
        changes.last_answered = true;
        if (!changes.asked && mode && action == 0) {
            changes.entered = false;
            changes.monitors.clear();
        } else if (!changes.asked && monitor && action == 0) {
            changes.monitors.erase(std::remove(changes.monitors.begin(), changes.monitors.end(), sub),
                                   changes.monitors.end());
        }
        return r;
    }

    // After an interrupt: the reply to the request that was under way, if
    // it still comes (so that it is not taken for the next one's).
    void settle() {
        if (!pending_) return;
        const Request r = *pending_;
        pending_.reset();
        if (link_.await(r, Clock::now() + link_.options().timeout)) watch_.in_flight = false;
    }

    Link& link() { return link_; }
    TestModeChanges changes;

private:
    void heard(const std::string& t) {
        said_ += t;
        if (said_.size() > 16384) said_.erase(0, said_.size() - 8192);
    }

    WriteWatch& watch_;
    std::unique_ptr<SerialPort> port_;
    Link link_;
    std::ostream& err_;
    std::string what_;
    std::string said_;
    std::optional<Request> pending_;
};

// ---- test mode ----

// What the unit shows of test mode: whether it is on, and which of its
// monitors were seen printing (the GPS monitor prints once a second, so it
// may go unseen).
struct TestMode {
    bool on = false;
    bool gps = false, dips = false, battery = false, panel = false;
};

// The monitor lines among the whole lines of `text`; `whole_pass` tells
// whether a monitor's first line came twice, so every running one was seen.
TestMode monitors_in(const std::string& text, bool* whole_pass = nullptr) {
    TestMode m;
    int dip1 = 0, battery = 0, panel = 0;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        const auto starts = [&line](const char* s) { return line.rfind(s, 0) == 0; };
        if (line.size() > 8 && starts("DIP ") && line[4] >= '1' && line[4] <= '4' && line.compare(5, 4, " => ") == 0) {
            m.dips = true;
            dip1 += line[4] == '1';
        } else if (starts("BATERIA => ") || starts("BATERIA AD => ")) {
            m.battery = true;
            battery += starts("BATERIA => ");
        } else if (starts("I PANEL => ") || starts("PANEL AD => ")) {
            m.panel = true;
            panel += starts("I PANEL => ");
        } else if (starts("Fecha UTC:") || starts("GPS=> ")) {
            m.gps = true;
        } else if (starts("EXTERNA")) {
            m.on = true;   // the inputs are shown only in test mode
        }
    }
    m.on = m.on || m.gps || m.dips || m.battery || m.panel;
    if (whole_pass) *whole_pass = dip1 > 1 || battery > 1 || panel > 1;
    return m;
}

// Whether the unit is in test mode, leaving it as it was: the monitors that
// are on print on every pass of test mode; when none do, the DIP switch
// monitor is asked for (in test mode it prints at once, outside it prints
// nothing and its flag does nothing) and switched off again. Any test
// request restarts the unit's 10 minutes of test mode.
TestMode probe_test_mode(Unit& unit, Console& console) {
    size_t mark = console.seen().size();
    TestMode m;
    bool whole = false;
    unit.link().listen(Clock::now() + std::chrono::milliseconds(500), [&] {
        m = monitors_in(console.since(mark), &whole);
        return whole;
    });
    m = monitors_in(console.since(mark));
    if (m.on) {
        unit.changes.found = true;
        return m;
    }
    mark = console.seen().size();
    unit.test(5, 1, "DIP switch monitor request (asking whether the unit is in test mode)");
    unit.link().listen(Clock::now() + std::chrono::milliseconds(1000),
                       [&] { return monitors_in(console.since(mark)).dips; });
    unit.test(5, 0, "request to switch the DIP switch monitor off again");
    m.on = monitors_in(console.since(mark)).dips;
    unit.changes.found = m.on;
    return m;
}

// ---- the configuration ----

// What the unit holds, as bytes and as values.
struct Stored {
    std::vector<uint8_t> area, calibration;
    zcfg::Config config;
};

Stored read_stored(Unit& unit, bool with_calibration) {
    Stored s;
    s.area = unit.read(0, zcfg::kAreaSize);
    if (with_calibration) s.calibration = unit.read(zcfg::kCalibrationAt, zcfg::kCalibrationSize);
    s.config = zcfg::decode(s.area, with_calibration ? s.calibration.data() : nullptr);
    return s;
}

zcfg::Config read_config(Unit& unit, bool with_calibration) { return read_stored(unit, with_calibration).config; }

// "key: old -> new" for every value that would be stored differently.
void print_changes(const zcfg::Config& now, const zcfg::Config& next, bool calibration, std::ostream& out) {
    for (const zcfg::Field& f : zcfg::fields()) {
        if (zcfg::is_calibration(f) && !calibration) continue;
        if (zcfg::same_stored(f, now[f], next[f])) continue;
        out << f.key << ": " << zcfg::value_text(f, now[f]) << " -> " << zcfg::value_text(f, next[f]) << "\n";
    }
}

void warn_problems(const zcfg::Config& c, std::ostream& err) {
    for (const std::string& p : zcfg::problems(c)) err << "zelmora-pc: warning: " << p << "\n";
}

nlohmann::ordered_json config_json(const zcfg::Config& c) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    j["input"] = nlohmann::ordered_json::array({nlohmann::ordered_json::object(), nlohmann::ordered_json::object(),
                                                nlohmann::ordered_json::object()});
    for (const zcfg::Field& f : zcfg::fields()) {
        if (zcfg::is_calibration(f) && !c.has_calibration) continue;
        nlohmann::ordered_json& slot = f.input >= 0 ? j["input"][static_cast<size_t>(f.input)][f.name] : j[f.section][f.name];
        const std::string text = zcfg::value_text(f, c[f]);
        if (f.kind == zcfg::Kind::Text) slot = c[f].text;
        else if (f.kind == zcfg::Kind::Level && (text == "low" || text == "high")) slot = text;
        else if (f.kind == zcfg::Kind::F32) {
            if (std::isfinite(c[f].number)) slot = std::stod(text);   // 12.4, not the single's 12.3999996
            else slot = nullptr;
        } else slot = static_cast<int64_t>(c[f].number);
    }
    // The array last, as in the file.
    nlohmann::ordered_json inputs = j["input"];
    j.erase("input");
    j["input"] = inputs;
    return j;
}

// Writes the configuration area with the reload request, and the
// calibration factors when asked to.
void write_config(Unit& unit, const zcfg::Config& next, bool area, bool calibration, std::ostream& out) {
    if (area) {
        unit.write(0, zcfg::encode_area(next), true);
        out << "configuration written; the unit has reloaded it and restarts its transponder\n";
    }
    if (calibration) {
        const auto cal = zcfg::encode_calibration(next);
        unit.write(zcfg::kCalibrationAt, std::vector<uint8_t>(cal.begin(), cal.end()), false);
        out << "calibration factors written; the unit uses them from its next restart\n";
    }
}

// What the unit holds, its calibration included: a file loaded without
// its [calibration] is checked against the unit's battery factor (the
// switch-off voltage must be one the battery input can read), so that
// factor must be read and usable.
Stored read_unit_factors(Unit& unit, bool file_factors, const std::string& file) {
    const char* how = "; nothing was written (`zelmora-pc calibrate battery VOLTS` stores a factor, or "
                      "--with-calibration loads the file's)";
    Stored s;
    try {
        s = read_stored(unit, true);
    } catch (const ExportRefused& e) {
        if (file_factors) throw;
        throw Failure("refused: " + file + " is checked against the battery factor the unit holds, and the unit "
                      "could not read it" + e.because + how);
    }
    const zcfg::Field& factor = *zcfg::find("calibration.battery_volts_per_count");
    if (!file_factors && !zcfg::refusal(factor, s.config[factor]).empty())
        throw Usage("refused: " + file + "'s power.charger_off is checked against the battery factor the unit holds, "
                    "and it holds none the unit can use (" + zcfg::value_text(factor, s.config[factor]) + ")" + how);
    return s;
}

// `next` with the unit's calibration factors in place of the file's.
zcfg::Config with_factors_of(const zcfg::Config& next, const zcfg::Config& unit) {
    zcfg::Config c = next;
    c.has_calibration = true;
    for (const zcfg::Field& f : zcfg::fields())
        if (zcfg::is_calibration(f)) c[f] = unit[f];
    return c;
}

// What an interrupt reads back to tell whether a configuration write landed.
void watch_config(Unit& unit, WriteWatch& watch, const zcfg::Config& next, bool area, bool calibration) {
    watch.holds_it = [&unit, area, calibration, next] {
        const auto cal = zcfg::encode_calibration(next);
        return (!area || unit.read(0, zcfg::kAreaSize) == zcfg::encode_area(next)) &&
               (!calibration || unit.read(zcfg::kCalibrationAt, zcfg::kCalibrationSize) ==
                                    std::vector<uint8_t>(cal.begin(), cal.end()));
    };
}

// Nothing is written that the unit would misbehave with: exit status 2,
// naming the rule, before the first write.
void refuse_conflicts(const std::vector<std::string>& found, const std::string& where) {
    if (found.empty()) return;
    std::string all;
    for (const std::string& c : found) all += (all.empty() ? "" : "; ") + c;
    throw Usage("refused: " + where + all + "; nothing was written");
}

// What `config set` would write: the typed values passed their rules, but
// the page also carries what the unit holds, which may not.
void refuse_to_write(const zcfg::Config& next, bool area, bool calibration) {
    if (!area && !calibration) return;
    for (const zcfg::Field& f : zcfg::fields()) {
        if (zcfg::is_calibration(f) ? !calibration : !area) continue;
        const std::string why = zcfg::refusal(f, next[f]);
        if (!why.empty())
            throw Usage("refused: the unit holds " + std::string(f.key) + " = " + zcfg::value_text(f, next[f]) +
                        ", which the write would store again, but " + why +
                        "; set it in the same command, or load a whole file (`zelmora-pc config load FILE`); nothing "
                        "was written");
    }
    std::vector<std::string> found = zcfg::conflicts(next);
    if (!area) {
        // Only the factors are written: only their conflicts are new.
        found.erase(std::remove_if(found.begin(), found.end(),
                                   [](const std::string& c) { return c.find("calibration.") == std::string::npos; }),
                    found.end());
    }
    refuse_conflicts(found, "");
}

// A raw write into the configuration or the calibration cells: the values
// its bytes give must keep their rules, and add no conflict.
void refuse_raw_write(Unit& unit, uint32_t at, const std::vector<uint8_t>& bytes) {
    const uint32_t end = at + static_cast<uint32_t>(bytes.size());
    if (at >= zcfg::kAreaSize && end <= zcfg::kCalibrationAt) return;
    const Stored now = read_stored(unit, true);
    std::vector<uint8_t> area = now.area, cal = now.calibration;
    for (uint32_t a = at; a < end; ++a) {
        const uint8_t b = bytes[a - at];
        if (a < zcfg::kAreaSize) area[a] = b;
        else if (a >= zcfg::kCalibrationAt) cal[a - zcfg::kCalibrationAt] = b;
    }
    const zcfg::Config next = zcfg::decode(area, cal.data());
    const char* how = "; nothing was written (`zelmora-pc config set` writes values by name; --force writes the "
                      "bytes as they are)";
    for (const zcfg::Field& f : zcfg::fields()) {
        if (f.at >= end || f.at + zcfg::stored_size(f) <= at) continue;
        const std::string why = zcfg::refusal(f, next[f]);
        if (!why.empty())
            throw Usage("refused: these bytes would give " + std::string(f.key) + " = " + zcfg::value_text(f, next[f]) +
                        ", but " + why + how);
    }
    const std::vector<std::string> before = zcfg::conflicts(now.config);
    for (const std::string& c : zcfg::conflicts(next)) {
        if (std::find(before.begin(), before.end(), c) == before.end())
            throw Usage("refused: with these bytes " + c + how);
    }
}

// ---- the commands ----

void print_hexdump(std::ostream& out, uint32_t at, const std::vector<uint8_t>& bytes) {
    for (size_t row = 0; row < bytes.size(); row += 16) {
        char buf[128];
        int p = std::snprintf(buf, sizeof buf, "%04X ", static_cast<unsigned>(at + row));
        std::string ascii;
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8) p += std::snprintf(buf + p, sizeof buf - static_cast<size_t>(p), " ");
            if (row + i < bytes.size()) {
                const uint8_t b = bytes[row + i];
                p += std::snprintf(buf + p, sizeof buf - static_cast<size_t>(p), " %02X", b);
                ascii.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
            } else {
                p += std::snprintf(buf + p, sizeof buf - static_cast<size_t>(p), "   ");
            }
        }
        out << buf << "  |" << ascii << "|\n";
    }
}

void check_range(uint32_t at, size_t n) {
    if (at > 0xFFFF) throw Usage("ADDR must be an EEPROM address, 0..0xFFFF");
    if (n == 0 || at + n > 0x10000) throw Usage("the range must hold at least one byte and end by 0xFFFF");
}

// Asks the unit to read its clock and takes the date it prints then, which
// it does only in test mode or with verbose power diagnostics (DIP 1 and 4):
// "2026-12-08 13:45:30 UTC (Tuesday)". Empty when it printed nothing, or,
// with `problem` saying so, when the clock failed.
std::string rtc_now(Unit& unit, Console& console, std::string* problem) {
    const size_t mark = console.seen().size();
    unit.test(6, 0, "clock read request");
    const auto said = [&] {
        const std::string t = console.since(mark);
        return last_clock_line(t).has_value() || t.find("fecha erronea") != std::string::npos;
    };
    unit.link().listen(Clock::now() + std::chrono::milliseconds(1000), said);
    const std::string text = console.since(mark);
    const std::optional<ClockLine> c = last_clock_line(text);
    if (!c) {
        if (text.find("fecha erronea") != std::string::npos)
            *problem = "the unit could not read a valid date from its clock";
        return "";
    }
    return c->text + (c->out_of_range ? ", out of range: the unit does not use it" : "");
}

// The clock to the minute from the unit's next status report (once a
// minute). Empty when none comes.
std::string report_clock(Unit& unit, Console& console, std::string* problem, std::ostream* note) {
    const size_t mark = console.seen().size();
    if (note) *note << "waiting for the unit's next status report (at most a minute)...\n";
    unit.link().listen(Clock::now() + std::chrono::seconds(65),
                       [&] { return last_status_report(console.since(mark)).has_value(); });
    const std::optional<StatusReport> r = last_status_report(console.since(mark));
    if (!r) {
        *problem = "the unit printed neither its date nor a status report (it prints the date in test mode, "
                   "`zelmora-pc test on`)";
        return "";
    }
    return r->minute + " UTC (from its status report, to the minute; to the second in test mode)";
}

// The clock to the second when the unit prints it; otherwise its next
// status report's, to the minute.
std::string read_clock(Unit& unit, Console& console, std::string* problem, std::ostream* note = nullptr) {
    const std::string now = rtc_now(unit, console, problem);
    if (!now.empty() || !problem->empty()) return now;
    return report_clock(unit, console, problem, note);
}

// ---- the event log's latest events ----

// The copies of the write index at 4608 and 4736; with 254's they give
// the index as the unit reads it.
std::pair<uint16_t, uint16_t> read_index_copies(Unit& unit) {
    const std::vector<uint8_t> a = unit.read(kLogIndexCopy1, 2), b = unit.read(kLogIndexCopy2, 2);
    return {static_cast<uint16_t>(a[0] << 8 | a[1]), static_cast<uint16_t>(b[0] << 8 | b[1])};
}

// The events since the unit's last start-up record, oldest first: read
// backwards from the newest, 16 records a request, until that record (the
// whole ring when there is none).

std::vector<Event> events_since_start(Unit& unit) {
    std::vector<uint8_t> bytes(kLogEnd - kLogHeaderAt, 0x00);   // records left 0 count as wiped
    const std::vector<uint8_t> head = unit.read(kLogHeaderAt, 4);
    std::copy(head.begin(), head.end(), bytes.begin());
    const auto [copy1, copy2] = read_index_copies(unit);
    const unsigned next = log_index(copy1, copy2, static_cast<uint16_t>(head[2] << 8 | head[3]));
    const auto put = [&](unsigned first, unsigned n) {
        const std::vector<uint8_t> r = unit.read(kLogAt + first * kLogRecord, n * kLogRecord);
        std::copy(r.begin(), r.end(), bytes.begin() + (kLogAt - kLogHeaderAt) + first * kLogRecord);
        for (unsigned i = 0; i < n; ++i) {
            const uint8_t* rec = r.data() + i * kLogRecord;
            if (rec[5] == 15 && !std::all_of(rec, rec + kLogRecord, [](uint8_t b) { return b == 0xFF; })) return true;
        }
        return false;
    };
    unsigned left = kLogSlots;
    // An index past the ring is an erased one: the unit starts at slot 0.
    unsigned newest = next < kLogSlots ? (next + kLogSlots - 1) % kLogSlots : kLogSlots - 1;
    while (left > 0) {
        const unsigned n = std::min({left, newest + 1, 16u});
        const unsigned first = newest + 1 - n;
        if (put(first, n)) break;
        left -= n;
        newest = (first + kLogSlots - 1) % kLogSlots;
    }
    return decode_log(bytes, copy1, copy2).events;
}

// ---- a short visit to test mode ----

// Outside test mode the unit prints its clock and its monitors only in it:
// entering and leaving test mode is what reads them now. Leaving it
// switches the charger on, so a unit that switched its charger off for a
// full battery is not visited (its log says so). Entering holds the charger
// off and powers the GPS module down for the visit; both come back.
struct Visit {
    bool safe = true;
    std::string why_not;
};

Visit may_visit(const LogState& log) {
    Visit v;
    if (log.charger_off) {
        v.safe = false;
        v.why_not = "the unit switched its charger off for a high battery at " + log.charger_off_at +
                    ", and leaving test mode would switch it on again";
    }
    return v;
}

// Runs `f` in test mode, entered for it and left again whatever happens.
template <typename F>
void in_test_mode(Unit& unit, F f) {
    unit.test(1, 1, "request to enter test mode");
    try {
        f();
    } catch (const Failure& e) {
        try {
            unit.test(1, 0, "request to leave test mode again");
        } catch (const Failure& again) {
            throw Failure(std::string(e.what()) + "; leaving test mode again failed too: " + again.what() +
                          " (`zelmora-pc test off` ends it)");
        }
        throw;
    }
    unit.test(1, 0, "request to leave test mode again");
}

// The clock line of `info`: read now, in a short visit to test mode when
// the unit prints it nowhere else.
std::string info_clock(Unit& unit, Console& console, std::ostream& err, bool no_test_mode) {
    std::string problem;
    std::string now = rtc_now(unit, console, &problem);
    if (!now.empty()) return now + " (the unit's RTC, read now)";
    if (!problem.empty()) return problem;
    if (no_test_mode) {
        now = report_clock(unit, console, &problem, &err);
        return now.empty() ? problem : now;
    }
    const Visit v = may_visit(log_state(events_since_start(unit)));
    if (!v.safe)
        return "not read now: the unit prints its clock only in test mode, and " + v.why_not +
               "; `zelmora-pc rtc` waits for its next status report (at most a minute)";
    in_test_mode(unit, [&] { now = rtc_now(unit, console, &problem); });
    if (!now.empty()) return now + " (the unit's RTC, read now in test mode, entered for the read and left again)";
    return problem.empty() ? "the unit printed no date, even in test mode" : problem;
}

// ---- status ----

// What the monitors print in test mode, and the clock: the monitors that
// are off are switched on for the reading and off again after it.
void read_monitors(Unit& unit, Console& console, const TestMode& found, Snapshot& s) {
    const size_t mark = console.seen().size();
    bool battery_on = false, panel_on = false, gps_on = false;
    const auto put_back = [&] {
        if (gps_on) unit.test(2, 0, "request to switch the GPS monitor off again");
        gps_on = false;
        if (panel_on) unit.test(13, 0, "request to switch the panel current monitor off again");
        panel_on = false;
        if (battery_on) unit.test(11, 0, "request to switch the battery monitor off again");
        battery_on = false;
    };
    try {
        unit.test(6, 0, "clock read request");
        if (!found.battery) {
            unit.test(11, 1, "battery monitor request");
            battery_on = true;
        }
        if (!found.gps) {
            // Test mode powers the GPS module down; its monitor powers it up.
            unit.test(2, 1, "GPS monitor request");
            gps_on = true;
        }
        size_t panel_mark = console.seen().size();
        if (!found.panel) {
            // Test mode holds the charger off, its panel monitor lets it
            // run: the current needs a moment to flow.
            unit.test(13, 1, "panel current monitor request");
            panel_on = true;
            unit.link().listen(Clock::now() + std::chrono::milliseconds(1500));
            panel_mark = console.seen().size();
        }
        // The GPS module just powered may take a few seconds to report a position.
        const auto all_in = [&] {
            const std::string t = console.since(mark);
            const std::optional<GpsLine> g = last_gps_line(t);
            return last_reading(t, "BATERIA => ") && last_reading(console.since(panel_mark), "I PANEL => ") &&
                   last_clock_line(t) && g && !g->latitude.empty();
        };
        unit.link().listen(Clock::now() + std::chrono::milliseconds(6000), all_in);
        const std::string t = console.since(mark);
        s.battery = last_reading(t, "BATERIA => ");
        s.battery_from = "battery monitor, read now";
        s.panel = last_reading(console.since(panel_mark), "I PANEL => ");
        s.panel_from = panel_on ? "panel current monitor, read now with the charger let on for it"
                                : "panel current monitor, read now";
        s.gps = last_gps_line(t);
        s.gps_from = gps_on ? "GPS monitor, the module powered for it" : "GPS monitor";
        if (const std::optional<ClockLine> c = last_clock_line(t)) {
            s.clock = c;
            s.clock_from = "the unit's RTC, read now";
        } else {
            s.clock_note = t.find("fecha erronea") != std::string::npos
                               ? "the unit could not read a valid date from its clock"
                               : "not read: the unit printed no date";
        }
        put_back();
    } catch (const Failure& e) {
        try {
            put_back();
        } catch (const Failure& again) {
            throw Failure(std::string(e.what()) + "; switching the monitors off again failed too: " + again.what());
        }
        throw;
    }
}

// The same figures from the unit's next status report, touching nothing.
void read_report(Unit& unit, Console& console, Snapshot& s, std::ostream& err) {
    const size_t mark = console.seen().size();
    err << "zelmora-pc: waiting for the unit's next status report (at most a minute)...\n";
    unit.link().listen(Clock::now() + std::chrono::seconds(65),
                       [&] { return last_status_report(console.since(mark)).has_value(); });
    const std::optional<StatusReport> r = last_status_report(console.since(mark));
    if (!r) throw Failure("the unit printed no status report within 65 s");
    const std::string from = "its status report of " + r->minute;
    s.battery = r->battery;
    s.battery_from = from;
    s.panel = r->panel;
    s.panel_from = from;
    s.charger = r->charger_off_high_battery ? "off: the unit switched it off for a high battery" : r->charger;
    s.charger_from = from;
    s.gps = r->gps;
    s.gps_from = from;
    s.clock = ClockLine{r->minute + " UTC", r->iso, false};
    s.clock_from = from + ", to the minute";
    // The report shows these alarms as the unit holds them now.
    if (r->low_battery_alarm) s.alarms.push_back("low battery");
    for (int i = 0; i < 3; ++i)
        if (r->input_alarm[i]) s.alarms.push_back("external input " + std::to_string(i + 1));
}

void cmd_status(Unit& unit, Console& console, std::ostream& out, std::ostream& err, bool json, bool no_test_mode) {
    const size_t start = console.seen().size();
    Snapshot s;
    TestMode found = probe_test_mode(unit, console);
    if (found.on && !found.gps) {
        // The GPS monitor prints once a second: listen a second more for it.
        const size_t mark = console.seen().size();
        unit.link().listen(Clock::now() + std::chrono::milliseconds(1200),
                           [&] { return monitors_in(console.since(mark)).gps; });
        found.gps = monitors_in(console.since(mark)).gps;
    }
    s.found_in_test_mode = found.on;
    const zcfg::Config c = read_config(unit, false);
    const LogState log = log_state(events_since_start(unit));
    s.alarms_from = log.start_found ? "event log, since the start-up of " + log.start : "event log, all of it";
    const Visit visit = may_visit(log);
    if (found.on) {
        read_monitors(unit, console, found, s);
        s.how = "in test mode, and left so with its monitors as they were (its 10 minutes of test mode start again)";
        s.charger = found.panel ? "let on by the panel current monitor" : "held off by test mode";
        s.charger_from = "test mode";
    } else if (no_test_mode || !visit.safe) {
        s.how = no_test_mode ? "not in test mode, and left alone: the figures are its status report's"
                             : "not in test mode, and left alone (" + visit.why_not + "): the figures are its status "
                                                                                       "report's";
        read_report(unit, console, s, err);
    } else {
        const auto t0 = Clock::now();
        in_test_mode(unit, [&] { read_monitors(unit, console, TestMode{}, s); });
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      "not in test mode: put in test mode for %.1f s to read its monitors, and out of it again",
                      std::chrono::duration<double>(Clock::now() - t0).count());
        s.how = buf;
        s.entered_test_mode = true;
        s.charger = "on: the unit has not switched it off for a high battery";
        s.charger_from = log.start_found ? "event log, since the start-up of " + log.start : "event log";
    }
    // The log gives every alarm with its time; a status report shows the
    // battery's and the inputs' as the unit holds them now.
    const bool from_report = !found.on && (no_test_mode || !visit.safe);
    std::vector<std::string> alarms;
    for (const std::string& now : s.alarms) {
        std::string shown = now;
        for (const std::string& a : log.raised)
            if (a.rfind(now + " (", 0) == 0) shown = a;
        alarms.push_back(shown);
    }
    for (const std::string& a : log.raised) {
        const bool reported = a.rfind("low battery", 0) == 0 || a.rfind("external input", 0) == 0;
        if (!from_report || !reported) alarms.push_back(a);
    }
    s.alarms = alarms;
    if (from_report) s.alarms_from = "status report; " + s.alarms_from + ", for the others";
    if (s.gps) {
        const double sats = c[*zcfg::find("gps.min_satellites")].number;
        const double worst = c[*zcfg::find("gps.max_quality")].number;
        s.gps_valid = s.gps->satellites >= sats && s.gps->hdop_tenths <= worst && !s.gps->latitude.empty();
        char buf[120];
        std::snprintf(buf, sizeof buf, "the unit takes at least %.0f satellites and HDOP up to %.1f", sats, worst / 10);
        s.gps_rule = buf;
    }
    s.transponder_firmware = transponder_firmware(console.since(start));
    if (json) out << json_text(snapshot_json(s)) << "\n";
    else out << snapshot_text(s);
}

void cmd_info(Unit& unit, Console& console, std::ostream& out, std::ostream& err, bool no_test_mode) {
    const zcfg::Config c = read_config(unit, true);
    const std::vector<uint8_t> head = unit.read(kLogHeaderAt, 4);
    const auto [copy1, copy2] = read_index_copies(unit);
    const auto v = [&c](const char* key) {
        const zcfg::Field& f = *zcfg::find(key);
        return f.kind == zcfg::Kind::Text ? c[f].text : zcfg::value_text(f, c[f]);
    };
    const auto input = [&](int n) {
        const std::string k = "input." + std::to_string(n) + ".";
        const std::string type = v((k + "type").c_str());
        const char* kind = type == "0" ? "not used" : type == "1" ? "latching" : type == "2" ? "following" : "type ?";
        std::ostringstream os;
        os << n << ": " << kind;
        if (type != "0") {
            const double samples = c[*zcfg::find(k + "debounce")].number;
            os << ", active " << v((k + "active").c_str()) << ", " << samples / 10 << " s";
        }
        return os.str();
    };
    out << "station      " << v("station.name") << ", MMSI " << v("station.mmsi") << ", call sign "
        << v("station.call_sign") << "\n";
    out << "battery      alarm at " << v("power.low_battery") << " V, cleared at " << v("power.alarm_off")
        << " V; charging off at " << v("power.charger_off") << " V, on again at " << v("power.charger_on") << " V\n";
    out << "gps          at least " << v("gps.min_satellites") << " satellites, quality up to "
        << v("gps.max_quality") << ", clock set every " << v("gps.clock_update_minutes") << " min\n";
    out << "inputs       " << input(1) << "; " << input(2) << "; " << input(3) << "\n";
    out << "calibration  battery " << v("calibration.battery_volts_per_count") << " V/count, panel "
        << v("calibration.panel_amps_per_count") << " A/count\n";
    out << "event log    next slot " << log_index(copy1, copy2, static_cast<uint16_t>(head[2] << 8 | head[3]))
        << ", restarts counted " << (head[0] << 8 | head[1])
        << "\n";
    out << "clock        " << info_clock(unit, console, err, no_test_mode) << "\n";
    warn_problems(c, err);
}

void cmd_log(Unit& unit, Console& console, std::ostream& out, std::ostream& err, bool csv, bool json) {
    std::vector<uint8_t> bytes;
    {
        Progress progress(err, console, "reading the event log");
        bytes = unit.read(kLogHeaderAt, kLogEnd - kLogHeaderAt, &progress);
    }
    const auto [copy1, copy2] = read_index_copies(unit);
    const EventLog log = decode_log(bytes, copy1, copy2);
    if (log.next_slot != log.at254)
        err << "zelmora-pc: note: the write index at 254 reads " << log.at254 << " and its copies at 4608 and 4736 "
            << log.next_slot << " (a loss of supply cut the index's update); the unit goes by " << log.next_slot
            << ", and so does this list\n";
    if (log.index_out_of_ring)
        err << "zelmora-pc: note: the stored write index " << log.next_slot
            << " names no slot (an erased EEPROM); the ring is read from slot 0\n";
    if (json) {
        nlohmann::ordered_json j;
        j["restarts"] = log.restarts;
        j["next_slot"] = log.next_slot;
        j["events"] = nlohmann::ordered_json::array();
        for (const Event& e : log.events) {
            nlohmann::ordered_json x;
            x["slot"] = e.slot;
            x["utc"] = e.date_valid() ? nlohmann::ordered_json(e.when(true)) : nlohmann::ordered_json(nullptr);
            x["code"] = e.code;
            x["event"] = e.name();
            x["data"] = e.data;
            if (e.carries_volts()) x["volts"] = e.volts();
            j["events"].push_back(x);
        }
        out << json_text(j) << "\n";
        return;
    }
    if (csv) {
        out << "slot,utc,code,event,data,volts\n";
        for (const Event& e : log.events) {
            out << e.slot << "," << csv_field(e.date_valid() ? e.when(true) : "") << "," << unsigned{e.code} << ","
                << csv_field(e.name(), true) << "," << e.data << ",";
            if (e.carries_volts()) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%.2f", e.volts());
                out << buf;
            }
            out << "\n";
        }
        return;
    }
    out << "slot  date (UTC)           event                                      data\n";
    for (const Event& e : log.events) {
        char buf[200];
        std::string data = std::to_string(e.data);
        if (e.carries_volts()) {
            char v[16];
            std::snprintf(v, sizeof v, "%.2f V", e.volts());
            data = v;
        } else if (e.code == 15) {
            data = "restart " + data;
        } else if (e.data == 0) {
            data = "";
        }
        std::snprintf(buf, sizeof buf, "%4u  %-19s  %-41s  %s", e.slot, e.when().c_str(), e.name().c_str(), data.c_str());
        std::string line = buf;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << "\n";
    }
    out << log.events.size() << (log.events.size() == 1 ? " event" : " events") << "; next slot " << log.next_slot
        << ", restarts counted " << log.restarts << "\n";
}

// The `n` whole lines from the first that starts with `first` on, or
// nothing while they have not all arrived.
std::vector<std::string> lines_from(const std::string& text, const std::string& first, size_t n) {
    size_t at = 0;
    while ((at = text.find(first, at)) != std::string::npos && at != 0 && text[at - 1] != '\n') ++at;
    std::vector<std::string> lines;
    while (at != std::string::npos && lines.size() < n) {
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos) return {};
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    if (lines.size() < n) lines.clear();
    return lines;
}

void cmd_test(Unit& unit, Console& console, const std::vector<std::string>& args, std::ostream& out) {
    const auto state = [](const std::string& s) -> uint8_t {
        if (s == "on") return 1;
        if (s == "off") return 0;
        throw Usage("expected on or off, not \"" + s + "\"");
    };
    if (args.size() == 1) {
        const uint8_t on = state(args[0]);
        // What `test` changes is what it was asked to: an interrupt puts nothing back.
        if (on) {
            unit.changes.asked = true;
            unit.test(1, 1, "request to enter test mode");
            out << "test mode on: the charger is off and the GPS module powered down; the unit leaves test mode by "
                   "itself after 10 minutes without a test request\n";
            return;
        }
        // Outside test mode the charger is the unit's own business (it may
        // have switched it off for a full battery): nothing is sent.
        if (!probe_test_mode(unit, console).on) {
            out << "the unit is not in test mode: there was nothing to leave, and nothing was changed\n";
            return;
        }
        unit.changes.asked = true;
        unit.test(1, 0, "request to leave test mode");
        out << "test mode off: normal supervision again, charger on\n";
        return;
    }
    struct Monitor {
        uint8_t sub;
        const char* name;
        const char* first;   // its first line starts so
        size_t lines;        // lines it prints each time
    };
    static const std::map<std::string, Monitor> monitors = {{"gps", {2, "GPS monitor", "GPS=> ON", 1}},
                                                            {"dips", {5, "DIP switch monitor", "DIP 1 => ", 4}},
                                                            {"battery", {11, "battery monitor", "BATERIA => ", 2}},
                                                            {"panel", {13, "panel current monitor", "I PANEL => ", 2}}};
    const auto it = monitors.find(args[0]);
    if (args.size() != 2 || it == monitors.end())
        throw Usage("test takes on|off, or gps|dips|battery|panel and on|off");
    const Monitor& m = it->second;
    const uint8_t on = state(args[1]);
    // A monitor runs only in test mode, and entering test mode switches every
    // monitor off: outside it a request would change nothing.
    if (!probe_test_mode(unit, console).on) {
        if (!on) {
            out << "the unit is not in test mode: its " << m.name << " is not running, and nothing was changed\n";
            return;
        }
        throw Failure(std::string("the unit is not in test mode, and its ") + m.name +
                      " runs only there (entering test mode switches every monitor off): nothing was changed; "
                      "`zelmora-pc test on` first");
    }
    console.forget();
    unit.changes.asked = true;
    unit.test(m.sub, on, std::string(on ? "request to switch the " : "request to switch off the ") + m.name +
                             (on ? " on" : ""));
    if (!on) {
        out << m.name << " off\n";
        return;
    }
    // It prints from the unit's next pass on.
    std::vector<std::string> lines;
    unit.link().listen(Clock::now() + std::chrono::milliseconds(1000), [&] {
        lines = lines_from(console.seen(), m.first, m.lines);
        return !lines.empty();
    });
    if (lines.empty()) {
        out << m.name << " on; it has printed nothing yet: watch it with `zelmora-pc monitor --keepalive`\n";
        return;
    }
    out << m.name << " on, the unit prints:\n";
    for (const std::string& l : lines) out << "  " << printable(l) << "\n";
    out << "and goes on while test mode is on: watch it with `zelmora-pc monitor --keepalive`\n";
}

// A calibration changes a working factor by a few per cent; more is a
// misread meter (a range, a digit) far more often than a front end.
constexpr double kMostCalibrationChange = 0.10;

// Why `factor` must not be stored, or nothing: the factor's band always,
// and unless `force` a change of more than 10 % from a working factor.
std::string calibration_refusal(const zcfg::Field& field, float before, double factor, bool force, double reference,
                                const char* unit_name, const char* what) {
    char buf[400];
    zcfg::Value v;
    v.number = factor;
    const std::string band = zcfg::refusal(field, v);
    zcfg::Value old;
    old.number = static_cast<double>(before);
    const bool working = zcfg::refusal(field, old).empty();
    const double counts = reference / factor;
    std::string now;
    if (working) {
        std::snprintf(buf, sizeof buf, "; with its present factor the unit reads %.2f %s", counts * static_cast<double>(before),
                      unit_name);
        now = buf;
    }
    if (!band.empty()) {
        std::snprintf(buf, sizeof buf, "%g %s for %.0f counts gives a %s factor of %.6g %s per count, but ", reference,
                      unit_name, counts, what, factor, unit_name);
        return buf + band + now + ": check the reading and the meter's range (--force does not lift this)";
    }
    const double change = factor / static_cast<double>(before) - 1;
    if (!working || force || std::fabs(change) <= kMostCalibrationChange + 1e-9) return "";
    std::snprintf(buf, sizeof buf,
                  "the %s factor would go from %.6g to %.6g %s per count (%+.1f %%), more than the %.0f %% a "
                  "calibration corrects",
                  what, static_cast<double>(before), factor, unit_name, change * 100, kMostCalibrationChange * 100);
    std::string msg = buf + now;
    std::snprintf(buf, sizeof buf, " where the meter says %g %s", reference, unit_name);
    if (working) msg += buf;
    return msg + ": check the reading and the meter's range, or give --force to store it";
}

// Calibrates against the meter's reading and leaves the unit as it was
// found: test mode, its monitors and with the panel monitor the charger.
// The factor is worked out from the monitor's counts before the request is
// sent, and refused then if it breaks the band or (without `force`) moves
// more than 10 %; the unit uses a stored factor at once.
void cmd_calibrate(Unit& unit, Console& console, const std::string& what, double reference, bool force,
                   WriteWatch& watch, std::ostream& out) {
    const bool battery = what == "battery";
    const char* unit_name = battery ? "V" : "A";
    const char* source = battery ? "battery" : "panel";
    const zcfg::Field& field =
        *zcfg::find(battery ? "calibration.battery_volts_per_count" : "calibration.panel_amps_per_count");
    const double most = battery ? 60 : 100;
    if (!std::isfinite(reference) || reference <= 0 || reference > most)
        throw Usage(std::string("the reference must be what the meter reads, above 0 and at most ") +
                    std::to_string(static_cast<int>(most)) + " " + unit_name);
    const uint16_t at = battery ? 0xFFF8 : 0xFFF4;
    const float before = float_le(unit.read(at, 4).data());

    const TestMode found = probe_test_mode(unit, console);
    bool entered = false, panel_on = false, battery_on = false;
    // The panel monitor goes off first: in test mode that switches the
    // charger off again, and leaving test mode then switches it on.
    const auto put_back = [&] {
        if (battery_on) unit.test(11, 0, "request to switch the battery monitor off again");
        battery_on = false;
        if (panel_on) unit.test(13, 0, "request to switch the panel current monitor off again");
        panel_on = false;
        if (entered) unit.test(1, 0, "request to leave test mode again");
        entered = false;
    };
    const char* left = found.on ? (battery || found.panel ? "the unit stays in test mode, its monitors as they were"
                                                         : "the unit stays in test mode, its panel current monitor off again")
                                : "test mode left again, as the unit was not in it";
    const auto with_put_back = [&](std::string msg) {
        if (!entered && !panel_on && !battery_on) return msg;
        try {
            put_back();
            return msg + "; " + left;
        } catch (const Failure& again) {
            return msg + "; putting the unit back as it was failed too: " + again.what() +
                   " (`zelmora-pc test off` ends test mode)";
        }
    };
    std::ostringstream result;
    char buf[400];
    try {
        // The unit switches the measurement's front end on by itself only in test mode.
        if (!found.on) {
            unit.test(1, 1, "request to enter test mode");
            entered = true;
        }
        watch.check = std::string("`zelmora-pc config get ") + field.key + "`" +
                      (entered ? ", then leave test mode, entered for the calibration, with `zelmora-pc test off`" : "");
        size_t mark = console.seen().size();
        if (battery && !found.battery) {
            unit.test(11, 1, "battery monitor request");
            battery_on = true;
        }
        if (!battery && !found.panel) {
            // Test mode holds the charger off; its panel monitor lets the
            // panel's current flow again. Give it a moment before the reading.
            unit.test(13, 1, "panel current monitor request");
            panel_on = true;
            unit.link().listen(Clock::now() + std::chrono::milliseconds(1500));
            mark = console.seen().size();
        }
        // The monitor's counts are what the unit will divide the reference by.
        const std::string prefix = battery ? "BATERIA AD => " : "PANEL AD => ";
        unit.link().listen(Clock::now() + std::chrono::milliseconds(1000),
                           [&] { return last_reading(console.since(mark), prefix).has_value(); });
        const std::optional<double> counts = last_reading(console.since(mark), prefix);
        if (!counts)
            throw Failure(std::string("the unit's ") + (battery ? "battery" : "panel current") +
                          " monitor printed no reading, so the factor could not be checked: nothing was sent, its "
                          "factor is unchanged");
        if (*counts < 10 || *counts > 4095) {
            std::snprintf(buf, sizeof buf,
                          "the unit measured %.0f counts for %g %s, no plausible reading (is the %s connected?); "
                          "nothing was sent, its factor is unchanged",
                          *counts, reference, unit_name, source);
            throw Failure(buf);
        }
        const std::string refused =
            calibration_refusal(field, before, reference / *counts, force, reference, unit_name, source);
        if (!refused.empty()) throw Usage("refused: " + refused + "; nothing was written");

        // Whether it landed, should an interrupt come: the unit holds a new
        // factor, or already held the one this reading gives.
        watch.holds_it = [&unit, at, before, reference, counts] {
            const float held = float_le(unit.read(at, 4).data());
            // The unit measures again for its factor: a count or two off the monitor's.
            return std::isfinite(held) &&
                   (held != before || std::fabs(reference / static_cast<double>(held) - *counts) <= 4);
        };
        const std::string request = std::string("calibration of the ") + (battery ? "battery voltage" : "panel current");
        const Reply r = unit.ask(Request::test(battery ? 11 : 13, 2, float_bytes(static_cast<float>(reference))), true,
                                 request);
        if (r.result != 1) {
            // It found no usable factor: nothing was stored.
            std::string msg = "the unit refused the calibration";
            if (const std::optional<double> raw = last_reading(unit.said(), "Valor AD:")) {
                std::snprintf(buf, sizeof buf, ": it measured %.0f counts for %g %s", *raw, reference, unit_name);
                msg += buf;
            }
            throw Failure(msg + ", no plausible reading (is the " + source + " connected?); its factor is unchanged");
        }
        const float after = float_le(unit.read(at, 4).data());
        watch.landed = true;
        unit.link().listen(Clock::now() + std::chrono::milliseconds(200));
        const double got = reference / static_cast<double>(after);
        // The unit measured again for its own factor: a count or two off the
        // monitor's is no new change, but its band still holds.
        const std::string moved = std::isfinite(after) && after > 0
                                      ? calibration_refusal(field, before, static_cast<double>(after), true, reference,
                                                            unit_name, source)
                                      : "it is no usable factor";
        if (!moved.empty()) {
            // Keep the old one in the EEPROM; the unit holds the new one until it restarts.
            watch.what = "the previous factor's return to the EEPROM";
            watch.landed = false;
            watch.holds_it = [&unit, at, before] { return unit.read(at, 4) == float_bytes(before); };
            unit.write(at, float_bytes(before), false);
            watch.landed = true;
            std::snprintf(buf, sizeof buf, "the unit stored %.6g %s per count from its own reading (%.0f counts), but ",
                          static_cast<double>(after), unit_name, std::isfinite(got) ? got : 0.0);
            throw Failure(buf + moved +
                          "; its previous factor is back in the EEPROM: restart the unit (`zelmora-pc restart`) to "
                          "use it");
        }
        std::snprintf(buf, sizeof buf, "%s factor at %s: %.9g %s per count, from %.0f counts at %g %s",
                      battery ? "battery" : "panel current", hex(at).c_str(), static_cast<double>(after), unit_name,
                      got, reference, unit_name);
        result << buf;
        if (zcfg::refusal(field, zcfg::Value{static_cast<double>(before), ""}).empty()) {
            std::snprintf(buf, sizeof buf, " (was %.9g, %+.1f %%)", static_cast<double>(before),
                          (static_cast<double>(after) / static_cast<double>(before) - 1) * 100);
            result << buf;
        } else if (std::isfinite(before)) {
            std::snprintf(buf, sizeof buf, " (was %.9g, no usable factor)", static_cast<double>(before));
            result << buf;
        } else {
            result << " (none before)";
        }
        result << "; in use at once\n";
    } catch (const Usage& e) {
        throw Usage(with_put_back(e.what()));
    } catch (const Failure& e) {
        throw Failure(with_put_back(e.what()));
    }
    out << result.str();
    try {
        put_back();
    } catch (const Failure& e) {
        throw Failure(std::string("putting the unit back as it was failed: ") + e.what() +
                      " (`zelmora-pc test off` ends test mode)");
    }
    out << left << "\n";
}

// Ctrl-C is how `monitor` ends: the unit is left as it is.
void cmd_monitor(Unit& unit, Console& console, std::ostream& out, double seconds, bool keepalive) {
    console.redirect(out, false);
    const auto end = seconds > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000))
                                 : Clock::time_point::max();
    auto next_ping = Clock::now() + std::chrono::seconds(60);
    try {
        while (Clock::now() < end) {
            auto until = std::min(end, Clock::now() + std::chrono::milliseconds(200));
            if (keepalive) until = std::min(until, next_ping);
            unit.link().listen(until);
            console.forget();   // nothing reads it here, and it would grow for hours
            if (keepalive && Clock::now() >= next_ping) {
                // Any test request keeps the unit in test mode for 10 more minutes.
                unit.link().transact(Request::test(1, 3), true);
                next_ping = Clock::now() + std::chrono::seconds(60);
            }
        }
    } catch (const Interrupted&) {
    }
    unit.link().flush();
    out.flush();
}

const char* monitor_words(uint8_t sub) {
    switch (sub) {
        case 2: return "GPS monitor";
        case 5: return "DIP switch monitor";
        case 11: return "battery monitor";
        default: return "panel current monitor";
    }
}

// After an interrupt: test mode and the monitors put back as the program
// found them, the fate of a write read back from the unit, and one line
// saying both; exit status 130. A second signal meanwhile stops at once,
// with one line of what may be left.
int after_interrupt(Unit& unit, WriteWatch& watch, std::ostream& err) {
    const std::string signal = Interrupts::last();
    TestModeChanges& c = unit.changes;
    std::string line_gone;   // why, once the line is gone
    bool wrote_known = false;
    const auto left = [&] {
        std::string out;
        const auto add = [&out](const std::string& s) { out += (out.empty() ? "" : "; ") + s; };
        if (c.entered)
            add("the unit may be left in test mode (charger held off, GPS module powered down): `zelmora-pc test off` "
                "ends it, or the unit itself 10 minutes after the last test request");
        for (const uint8_t sub : c.entered ? std::vector<uint8_t>{} : c.monitors)
            add(std::string("its ") + monitor_words(sub) + " may be left on: `zelmora-pc test " + monitor_name(sub) +
                " off`");
        if (!watch.what.empty() && watch.sent && !watch.landed && !wrote_known)
            add("whether " + watch.what + " landed is unknown: check with " + watch.check);
        return out.empty() ? std::string("nothing is left to put back") : out;
    };
    // One request of the clean-up; false, with the reason, when it failed.
    const auto attempt = [&](const std::function<void()>& f, std::string& why) {
        if (!line_gone.empty()) {
            why = line_gone;
            return false;
        }
        try {
            f();
            return true;
        } catch (const LineError& e) {
            line_gone = why = e.what();
        } catch (const Failure& e) {
            why = e.what();
        }
        return false;
    };
    try {
        std::string why;
        attempt([&] { unit.settle(); }, why);
        std::string state;
        if (c.entered) {
            if (attempt([&] { unit.test(1, 0, "request to leave test mode again"); }, why))
                state = "the unit is out of test mode, as found";
            else
                state = "the unit may still be in test mode (charger held off, GPS module powered down): leaving it "
                        "failed: " + why + "; `zelmora-pc test off` ends it, or the unit itself 10 minutes after the "
                        "last test request";
        }
        std::string stuck;
        while (!c.entered && !c.monitors.empty()) {
            const uint8_t sub = c.monitors.back();
            const std::string words = monitor_words(sub);
            if (!attempt([&] { unit.test(sub, 0, "request to switch the " + words + " off again"); }, why)) {
                stuck += (stuck.empty() ? "" : "; ") + std::string("its ") + words + " may still be on: switching it " +
                         "off failed: " + why + "; `zelmora-pc test " + monitor_name(sub) + " off`";
                c.monitors.pop_back();
            }
        }
        if (!c.entered) {
            if (!stuck.empty())
                state = stuck;
            else if (c.asked && !c.last_asked.empty())
                state = c.last_answered ? "the unit carried out the " + c.last_asked
                                        : "the " + c.last_asked +
                                              " went out without a reply yet: the unit may have carried it out";
            else if (c.found)
                state = *c.found ? "the unit is in test mode, as found, its monitors as they were"
                                 : "the unit is out of test mode, as found";
            // Otherwise at most the DIP switch monitor asked whether it was
            // in test mode, and it is off again: nothing to say.
        }

        std::string wrote;
        if (!watch.what.empty()) {
            if (!watch.sent) {
                wrote = "nothing was written";
            } else if (watch.landed) {
                wrote = watch.what + " landed";
            } else {
                bool holds = false;
                if (watch.holds_it && attempt([&] { holds = watch.holds_it(); }, why))
                    wrote = watch.what + (holds ? " landed" : " did not land") + " (read back from the unit)";
                else if (!line_gone.empty())
                    wrote = "whether " + watch.what + " landed is unknown: the line is gone (" + line_gone +
                            "), check with " + watch.check;
                else
                    wrote = "whether " + watch.what + " landed is unknown: reading it back failed (" + why +
                            "), check with " + watch.check;
            }
            wrote_known = true;
        }
        unit.link().flush();
        std::string said;
        if (state.empty() && wrote.empty()) said = "nothing on the unit was changed";
        else if (state.empty() && !watch.sent) said = "nothing was written, and nothing else on the unit changed";
        else if (state.empty()) said = wrote + "; nothing else on the unit was changed";
        else said = state + (wrote.empty() ? "" : "; " + wrote);
        err << "zelmora-pc: interrupted by " << signal << ": " << said << "\n";
    } catch (const Abandoned&) {
        err << "zelmora-pc: interrupted again, stopped at once: " << left() << "\n";
    }
    return 130;
}

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return run(args, out, err, std::cin, ::isatty(0) == 1);
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, std::istream& in, bool terminal) {
    CLI::App app{"Services a Zelmora unit over its PC link (38400 baud, raw 8N1)."};
    app.name("zelmora-pc");
    app.set_version_flag("--version", std::string("zelmora-pc ") + zelmora::version());
    app.footer("Exit status: 0 done; 1 the unit refused, failed or did not answer; 2 usage error or a value the "
               "unit's rules refuse; 130 interrupted (Ctrl-C, SIGTERM, a hang-up), after putting test mode and the "
               "monitors back as found and reading back whether a write landed.");
    app.fallthrough();
    app.require_subcommand(1);
    std::string port;
    int timeout_ms = 1500, retries = 2, resync_ms = 3200;
    bool quiet = false;
    app.add_option("--port", port, "serial device of the unit (/dev/ttyUSB0, /dev/ttyACM0, a /dev/pts/N)")
        ->envname("ZELMORA_PORT");
    app.add_option("--timeout", timeout_ms, "milliseconds to wait for a reply (default 1500)")->check(CLI::Range(50, 60000));
    app.add_option("--retries", retries, "repeats of a request whose reply was lost (default 2)")->check(CLI::Range(0, 10));
    app.add_option("--resync", resync_ms, "milliseconds of silence before a repeat (default 3200)")
        ->check(CLI::Range(0, 60000))
        ->group("");
    app.add_flag("-q,--quiet", quiet, "drop the unit's console text instead of passing it to standard error");

    CLI::App* ping = app.add_subcommand("ping", "link check");
    CLI::App* info = app.add_subcommand("info", "configuration summary and the unit's clock, read now (in test mode if need be)");
    bool no_test_mode = false;
    info->add_flag("--no-test-mode", no_test_mode,
                   "never enter test mode to read the clock: wait for the unit's next status report instead");
    CLI::App* status = app.add_subcommand(
        "status", "one look at the unit: battery, panel, charger, alarms, GPS, clock (in test mode if need be)");
    bool json = false, csv = false, with_calibration = false, force = false;
    status->add_flag("--json", json, "as JSON");
    status->add_flag("--no-test-mode", no_test_mode,
                     "never enter test mode: wait for the unit's next status report instead (up to a minute)");
    CLI::App* read = app.add_subcommand("read", "hex dump of EEPROM bytes");
    std::string addr_s, len_s;
    read->add_option("ADDR", addr_s, "first address (decimal, or hexadecimal with 0x)")->required();
    read->add_option("LEN", len_s, "number of bytes")->required();
    CLI::App* write = app.add_subcommand("write", "store bytes in the EEPROM (checked against the configuration's rules)");
    std::vector<std::string> hex_args;
    write->add_option("ADDR", addr_s, "first address")->required();
    write->add_option("HEXBYTES", hex_args, "the bytes, in hexadecimal (\"49 14 84\", 491484)")->required();
    write->add_flag("--force", force, "store bytes even where they give the configuration a value its rules refuse");

    CLI::App* config = app.add_subcommand("config", "the unit's configuration, in the form of default-config.toml");
    config->require_subcommand(1);
    CLI::App* c_show = config->add_subcommand("show", "print the configuration");
    c_show->add_flag("--json", json, "as JSON");
    CLI::App* c_get = config->add_subcommand("get", "print one value");
    std::string key;
    c_get->add_option("KEY", key, "station.mmsi, power.low_battery, input.1.debounce, ...")->required();
    CLI::App* c_set = config->add_subcommand("set", "change values (checked against the unit's rules first)");
    std::vector<std::string> assignments;
    bool dry_run = false, yes = false;
    c_set->add_option("KEY=VALUE", assignments, "one or more, e.g. station.name=\"ZELMORA SUR\"")->required();
    c_set->add_flag("--dry-run", dry_run, "print the changes, write nothing");
    CLI::App* c_save = config->add_subcommand("save", "write the configuration to a file");
    std::string file;
    c_save->add_option("FILE", file, "TOML file")->required();
    CLI::App* c_load = config->add_subcommand("load", "write a configuration file to the unit");
    c_load->add_option("FILE", file, "TOML file")->required()->check(CLI::ExistingFile);
    c_load->add_flag("--with-calibration", with_calibration, "also write the file's [calibration] factors");
    c_load->add_flag("--dry-run", dry_run, "print the changes, write nothing");
    CLI::App* c_wipe = config->add_subcommand("wipe", "erase the configuration page (0xFF)");
    c_wipe->add_flag("-y,--yes", yes, "erase without asking");

    CLI::App* log = app.add_subcommand("log", "the event log, oldest event first");
    auto* csv_opt = log->add_flag("--csv", csv, "as CSV");
    log->add_flag("--json", json, "as JSON")->excludes(csv_opt);
    log->require_subcommand(0, 1);
    CLI::App* log_wipe = log->add_subcommand("wipe", "clear the event log");
    log_wipe->add_flag("-y,--yes", yes, "clear it without asking");

    CLI::App* restart = app.add_subcommand("restart", "ask the unit to restart");
    CLI::App* rtc = app.add_subcommand("rtc", "the date of the unit's clock");
    CLI::App* memtest = app.add_subcommand("memtest", "the unit's EEPROM write test (addresses 230..239)");
    CLI::App* test = app.add_subcommand("test", "test mode: on|off, or gps|dips|battery|panel on|off");
    std::vector<std::string> test_args;
    test->add_option("WHAT", test_args, "on|off, or gps|dips|battery|panel followed by on|off")->required()->expected(1, 2);
    CLI::App* calibrate = app.add_subcommand(
        "calibrate", "calibrate against a meter's reading (enters test mode; refuses a change of more than 10 %)");
    std::string cal_what, cal_text;
    calibrate->add_option("WHAT", cal_what, "battery or panel")->required()->check(CLI::IsMember({"battery", "panel"}));
    calibrate->add_option("VALUE", cal_text, "the meter's reading: volts (battery) or amperes (panel), e.g. 12.6")
        ->required();
    calibrate->add_flag("--force", force,
                        "store a factor more than 10 % from the present one (never one outside the factor's band)");
    CLI::App* monitor = app.add_subcommand("monitor", "the unit's console, live, until Ctrl-C");
    double seconds = 0;
    bool keepalive = false;
    monitor->add_option("--seconds", seconds, "stop after this many seconds")->check(CLI::PositiveNumber);
    monitor->add_flag("--keepalive", keepalive, "send a link check every minute, which keeps test mode on");

    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? 0 : 2;
    }

    // Everything that needs no unit is checked before the line is opened.
    WriteWatch watch;
    try {
        uint32_t addr = 0;
        size_t len = 0;
        std::vector<uint8_t> bytes;
        std::vector<std::pair<const zcfg::Field*, zcfg::Value>> changes;
        std::optional<zcfg::Config> loaded;
        if (*read || *write) addr = parse_number(addr_s, "ADDR");
        if (*read) {
            len = parse_number(len_s, "LEN");
            check_range(addr, len);
        }
        if (*write) {
            bytes = parse_hex_bytes(hex_args);
            check_range(addr, bytes.size());
        }
        double cal_value = 0;
        if (*calibrate) cal_value = parse_reading(cal_text, cal_what == "battery");
        if (*c_get && !zcfg::find(key)) throw Usage(unknown_key(key));
        for (const std::string& a : assignments) {
            const size_t eq = a.find('=');
            if (eq == std::string::npos) throw Usage("expected KEY=VALUE, not \"" + a + "\"");
            const zcfg::Field* f = zcfg::find(a.substr(0, eq));
            if (!f) throw Usage(unknown_key(a.substr(0, eq)));
            try {
                changes.emplace_back(f, zcfg::parse_value(*f, a.substr(eq + 1)));
            } catch (const zcfg::ConfigError& e) {
                throw Usage(std::string("refused: ") + e.what());
            }
        }
        if (*c_load) {
            std::ifstream in(file, std::ios::binary);
            std::ostringstream ss;
            ss << in.rdbuf();
            try {
                loaded = zcfg::from_toml(ss.str(), file);
            } catch (const zcfg::ConfigError& e) {
                throw Usage(std::string("refused: ") + e.what());
            }
            // The factor's reach counts only when the file's factor is written.
            zcfg::Config written = *loaded;
            written.has_calibration = with_calibration && loaded->has_calibration;
            refuse_conflicts(zcfg::conflicts(written), file + ": ");
        }
        if (port.empty()) throw Usage("--port DEVICE is required (or set ZELMORA_PORT)");
        if ((*c_wipe || *log_wipe) && !yes) {
            const std::string what = *c_wipe ? "erase the configuration page (station, thresholds, inputs)"
                                             : "clear the event log (every event in it)";
            if (!terminal)
                throw Usage(std::string("`") + (*c_wipe ? "config" : "log") + " wipe` would " + what +
                            ": with no terminal to ask on, it needs --yes");
            err << "zelmora-pc: " << what << " of the unit on " << port << "? [y/N] ";
            err.flush();
            std::string answer;
            std::getline(in, answer);
            for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (answer != "y" && answer != "yes") {
                err << "zelmora-pc: nothing erased\n";
                return 1;
            }
        }

        LinkOptions options;
        options.timeout = std::chrono::milliseconds(timeout_ms);
        options.retries = retries;
        options.resync = std::chrono::milliseconds(resync_ms);
        Console console(err, quiet);
        // What a write command writes, for the message of an interrupt.
        if (*c_set || *c_load) watch.what = "the configuration write";
        if (*write) watch.what = "the write of " + bytes_count(bytes.size()) + " at " + hex(addr);
        if (*calibrate) watch.what = "the " + cal_what + " calibration";
        if (*c_wipe) watch.what = "the configuration wipe";
        if (*log_wipe) watch.what = "the event log wipe";
        // From here on a signal has the unit put back as it was found.
        const Interrupts interrupts;
        Unit unit(port, options, console, err, watch, interrupts.wake_fd());
        int cleaning_from = -1;   // the signals counted when the clean-up began
        unit.link().on_wake = [&] {
            const int n = interrupts.count();
            if (n == 0) return;
            if (cleaning_from < 0) throw Interrupted{};
            if (n > cleaning_from) throw Abandoned{};
        };
        try {
        if (*ping) {
            const auto t0 = Clock::now();
            unit.test(1, 3, "link check");
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
            out << "the unit answers on " << port << " (" << ms << " ms)\n";
        } else if (*info) {
            cmd_info(unit, console, out, err, no_test_mode);
        } else if (*status) {
            cmd_status(unit, console, out, err, json, no_test_mode);
        } else if (*read) {
            print_hexdump(out, addr, unit.read(addr, len));
        } else if (*write) {
            const bool touches_config = addr < zcfg::kAreaSize;
            if (!force) refuse_raw_write(unit, addr, bytes);
            watch.check = "`zelmora-pc read " + hex(addr) + " " + std::to_string(bytes.size()) + "`";
            watch.holds_it = [&unit, addr, &bytes] { return unit.read(addr, bytes.size()) == bytes; };
            unit.write(addr, bytes, touches_config);
            watch.landed = true;
            out << bytes.size() << (bytes.size() == 1 ? " byte" : " bytes") << " written at " << hex(addr)
                << " and read back";
            if (touches_config) out << "; the unit has reloaded its configuration";
            out << "\n";
        } else if (*c_show || *c_save) {
            const zcfg::Config c = read_config(unit, true);
            warn_problems(c, err);
            if (*c_show && json) {
                out << json_text(config_json(c)) << "\n";
            } else if (*c_show) {
                out << zcfg::to_toml(c);
            } else {
                std::ofstream f(file, std::ios::binary | std::ios::trunc);
                f << "# Configuration read from the unit on " << port << "\n\n" << zcfg::to_toml(c);
                if (!f) throw Failure(file + ": cannot be written");
                out << "configuration saved to " << file << "\n";
            }
        } else if (*c_get) {
            const zcfg::Field& f = *zcfg::find(key);
            const zcfg::Config c = read_config(unit, zcfg::is_calibration(f));
            out << zcfg::value_text(f, c[f]) << "\n";
        } else if (*c_set) {
            const zcfg::Config now = read_config(unit, true);
            zcfg::Config next = now;
            bool area_changed = false, cal_changed = false;
            for (const auto& [f, v] : changes) {
                if (zcfg::same_stored(*f, next[*f], v)) continue;
                next[*f] = v;
                (zcfg::is_calibration(*f) ? cal_changed : area_changed) = true;
            }
            refuse_to_write(next, area_changed, cal_changed);
            print_changes(now, next, true, out);
            if (!area_changed && !cal_changed) {
                out << "nothing to change: the unit holds these values already\n";
            } else if (dry_run) {
                warn_problems(next, err);
                out << "dry run: nothing written\n";
            } else {
                warn_problems(next, err);
                watch_config(unit, watch, next, area_changed, cal_changed);
                write_config(unit, next, area_changed, cal_changed, out);
                watch.landed = true;
            }
        } else if (*c_load) {
            const zcfg::Config& next = *loaded;
            warn_problems(next, err);
            const bool cal = with_calibration && next.has_calibration;
            if (next.has_calibration && !with_calibration)
                err << "zelmora-pc: note: the [calibration] of " << file
                    << " is not written (it belongs to one unit's front end; --with-calibration writes it)\n";
            if (with_calibration && !next.has_calibration) throw Usage(file + " has no [calibration] to write");
            // Only what differs is written: an identical page would still
            // have the unit reload it and restart its transponder.
            const Stored now = read_unit_factors(unit, cal, file);
            if (!cal) refuse_conflicts(zcfg::conflicts(with_factors_of(next, now.config)),
                                       file + " (checked against the unit's own calibration factors): ");
            const bool area_changed = zcfg::encode_area(next) != now.area;
            const auto next_cal = zcfg::encode_calibration(next);
            const bool cal_changed =
                cal && !std::equal(next_cal.begin(), next_cal.end(), now.calibration.begin(), now.calibration.end());
            print_changes(now.config, next, cal, out);
            if (!area_changed && !cal_changed) {
                out << "nothing to change: the unit holds this configuration already\n";
            } else if (dry_run) {
                out << "dry run: nothing written\n";
            } else {
                watch_config(unit, watch, next, area_changed, cal_changed);
                write_config(unit, next, area_changed, cal_changed, out);
                watch.landed = true;
            }
        } else if (*c_wipe) {
            watch.check = "`zelmora-pc config show`";
            watch.holds_it = [&unit] {
                const std::vector<uint8_t> area = unit.read(0, zcfg::kAreaSize);
                return std::all_of(area.begin(), area.end(), [](uint8_t b) { return b == 0xFF; });
            };
            unit.expect_done(unit.ask({2, 1, 0, 0, {}}, true, "configuration wipe"), "configuration wipe");
            if (unit.eeprom_failed())
                throw Failure("the unit could not erase its configuration page: it said " + unit.reason());
            watch.landed = true;
            out << "configuration page erased; the unit keeps its present configuration until it restarts\n";
        } else if (*log_wipe) {
            watch.check = "`zelmora-pc log`";
            // The unit's wipe clears slots 0..511; slot 512 is ours to clear after it.
            watch.holds_it = [&unit] {
                const std::vector<uint8_t> ring = unit.read(kLogAt, 512 * kLogRecord);
                return std::all_of(ring.begin(), ring.end(), [](uint8_t b) { return b == 0; });
            };
            unit.expect_done(unit.ask({2, 2, 0, 0, {}}, true, "event log wipe"), "event log wipe");
            if (unit.eeprom_failed()) throw Failure("the unit could not clear its event log: it said " + unit.reason());
            // The wipe clears slots 0..511; the ring's last slot lies past
            // that area, so an old record there would outlive the wipe.
            unit.write(kLogAt + 512 * kLogRecord, std::vector<uint8_t>(kLogRecord, 0), false);
            watch.landed = true;
            out << "event log cleared; new events continue at the same slot\n";
        } else if (*log) {
            cmd_log(unit, console, out, err, csv, json);
        } else if (*restart) {
            // Never repeated: a second request could restart the unit twice.
            const Request r{2, 0, 0, 0, {}};
            unit.expect_done(unit.ask(r, false, "restart request"), "restart request");
            unit.link().await(r, Clock::now() + std::chrono::milliseconds(500));   // its second reply
            out << "the unit accepted the restart request\n";
        } else if (*rtc) {
            std::string problem;
            const std::string clock = read_clock(unit, console, &problem, &err);
            if (clock.empty()) throw Failure(problem);
            out << clock << "\n";
        } else if (*memtest) {
            const Reply r = unit.ask(Request::test(10, 0), true, "EEPROM test");
            if (r.result != 1)
                throw Failure("EEPROM test failed: the pattern at 230..239 did not read back" + unit.because());
            out << "EEPROM test passed: \"TEST BQ77\" written at 230..239 and read back\n";
        } else if (*test) {
            cmd_test(unit, console, test_args, out);
        } else if (*calibrate) {
            cmd_calibrate(unit, console, cal_what, cal_value, force, watch, out);
        } else if (*monitor) {
            cmd_monitor(unit, console, out, seconds, keepalive);
        }
        unit.link().flush();
        // A signal after the last wait: the command is done, and still says so.
        if (interrupts.count() > 0 && !*monitor) throw Interrupted{};
        return 0;
        } catch (const Interrupted&) {
            cleaning_from = interrupts.count();
            return after_interrupt(unit, watch, err);
        }
    } catch (const Usage& e) {
        err << "zelmora-pc: " << e.what() << "\n";
        return 2;
    } catch (const Failure& e) {
        err << "zelmora-pc: " << e.what();
        if (watch.in_flight) err << " The write may have landed all the same: check with " << watch.check << ".";
        err << "\n";
        return 1;
    } catch (const LineError& e) {
        err << "zelmora-pc: " << e.what();
        if (watch.in_flight)
            err << "; the line dropped during the write: it may have landed; check with " << watch.check;
        err << "\n";
        return 1;
    }
}

}  // namespace zpc
