#include "trace.h"

#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "battery.h"
#include "mppt.h"
#include "transponder.h"
#include "utc.h"

namespace zsim {

namespace {
const char* const kAlarmNames[Trace::kAlarms] = {"low_battery", "high_battery", "input1", "input2",
                                                 "input3",      "transponder",  "gps"};
const char* const kEventNames[16] = {"",
                                     "low battery raised",
                                     "low battery cleared",
                                     "charger off at high battery",
                                     "charger on again",
                                     "input 1 raised",
                                     "input 1 cleared",
                                     "input 2 raised",
                                     "input 2 cleared",
                                     "input 3 raised",
                                     "input 3 cleared",
                                     "transponder alarm raised",
                                     "transponder alarm cleared",
                                     "GPS alarm raised",
                                     "GPS alarm cleared",
                                     "start-up"};
constexpr unsigned kStartUp = 15;
}  // namespace

const char* Trace::alarm_name(unsigned i) { return i < kAlarms ? kAlarmNames[i] : ""; }

Trace::Trace(Board& board, const std::string& path) : b_(board) {
    f_ = std::fopen(path.c_str(), "w");
    if (!f_) throw std::runtime_error(path + ": cannot write the trace");
    std::fputs("utc,battery_v,soc_pct,panel_a,charger,powered", f_);
    for (unsigned i = 0; i < kAlarms; ++i) std::fprintf(f_, ",alarm_%s", kAlarmNames[i]);
    std::fputs(",starts,msg6_loads,msg6_sent,events\n", f_);
    loads_ = b_.transponder().counters().loads;
    sent_ = b_.transponder().counters().msg6;
}

Trace::~Trace() { close(); }

void Trace::close() {
    if (f_) std::fclose(f_);
    f_ = nullptr;
}

void Trace::console_byte(uint8_t c) {
    if (c == '\n') {
        line();
        line_.clear();
    } else if (c != '\r' && line_.size() < 200) {
        line_.push_back(static_cast<char>(c));
    }
}

// "New incidence (slot) => b0 .. b7": byte 5 is the event's code.
void Trace::line() {
    const size_t p = line_.find("New incidence (");
    if (p == std::string::npos) return;
    unsigned slot, v[8];
    if (std::sscanf(line_.c_str() + p + 15, "%u) => %x %x %x %x %x %x %x %x", &slot, &v[0], &v[1], &v[2], &v[3],
                    &v[4], &v[5], &v[6], &v[7]) != 9)
        return;
    const unsigned code = v[5];
    if (code >= 1 && code <= 2 * kAlarms) alarm_[(code - 1) / 2] = (code % 2) == 1;
    // A new start begins with every alarm down; the unit raises again what still holds.
    if (code == kStartUp) {
        alarm_.fill(false);
        ++starts_;
    }
    if (!events_.empty()) events_ += "; ";
    const Civil t = b_.world_utc();
    char at[16];
    std::snprintf(at, sizeof at, "%02d:%02d:%02d ", t.hour, t.minute, t.second);
    events_ += at;
    events_ += code < 16 && code > 0 ? kEventNames[code] : "event " + std::to_string(code);
}

void Trace::row() {
    if (!f_) return;
    Battery& bat = b_.battery();
    Mppt& mppt = b_.mppt();
    const double amps = mppt.delivered_amps();
    const char* charger = mppt.disabled() ? "off" : bat.full() ? "float" : amps > 0 ? "charging" : "idle";
    const auto& c = b_.transponder().counters();
    // Without supply the unit holds no alarm: its RAM is gone.
    if (!b_.powered()) alarm_.fill(false);
    std::fprintf(f_, "%s,%.3f,%.1f,%.3f,%s,%d", format_utc(b_.world_utc()).c_str(), bat.volts(),
                 std::round(bat.soc() * 1000.0) / 10.0 + 0.0,
                 amps, charger, b_.powered() ? 1 : 0);
    for (bool a : alarm_) std::fprintf(f_, ",%d", a ? 1 : 0);
    std::fprintf(f_, ",%u,%" PRIu64 ",%" PRIu64 ",%s\n", starts_, c.loads - loads_, c.msg6 - sent_,
                 events_.c_str());
    loads_ = c.loads;
    sent_ = c.msg6;
    starts_ = 0;
    events_.clear();
}

bool plot_trace(const std::string& csv, const std::string& png, const std::string& title, std::string& error) {
    if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) {
        error = "--plot needs gnuplot (Debian package gnuplot-nox)";
        return false;
    }
    std::FILE* g = ::popen("gnuplot", "w");
    if (!g) {
        error = "cannot start gnuplot";
        return false;
    }
    auto quoted = [](const std::string& s) {
        std::string q = "'";
        for (char ch : s) q += ch == '\'' ? std::string("''") : std::string(1, ch);
        return q + "'";
    };
    // Columns: 1 utc, 2 volts, 3 soc, 4 panel, 5 charger, 6 powered, 7..13 alarms, 14 restarts.
    std::fprintf(g,
                 "set terminal pngcairo size 1400,900 font 'sans,10'\n"
                 "set output %s\n"
                 "set datafile separator ','\n"
                 "set key autotitle columnhead\n"
                 "set xdata time\nset timefmt '%%Y-%%m-%%dT%%H:%%M:%%SZ'\nset format x \"%%d/%%m\\n%%H:%%M\"\n"
                 "set grid\nset lmargin 10\nset rmargin 4\n"
                 "set multiplot layout 4,1 title %s\n"
                 "set ylabel 'battery (V)'\n"
                 "plot %s using 1:2 with lines lw 1.5 lc rgb '#1f4e9a' title 'battery volts', "
                 "'' using 1:($14>0?$2:1/0) with points pt 7 ps 1.2 lc rgb 'red' title 'start-up'\n"
                 "set ylabel 'panel (A)'\n"
                 "plot %s using 1:4 with lines lc rgb '#d08000' title 'panel current', "
                 "'' using 1:(strcol(5) eq 'off' ? 0 : 1/0) with points pt 5 ps 0.4 lc rgb 'black' title 'charger off'\n"
                 "set ylabel 'charge (%%)'\nset yrange [-10:105]\n"
                 "plot %s using 1:3 with lines lc rgb '#208020' title 'state of charge'\n"
                 "set yrange [0:8]\nset ylabel 'alarms'\nset ytics ('low batt' 1, 'high batt' 2, 'in 1' 3, "
                 "'in 2' 4, 'in 3' 5, 'AIS' 6, 'GPS' 7)\n"
                 "plot for [i=0:6] %s using 1:(column(7+i)>0 ? i+1 : 1/0) with points pt 5 ps 0.5 notitle, "
                 "'' using 1:($6==0 ? 0.3 : 1/0) with points pt 5 ps 0.5 lc rgb 'red' title 'unit off'\n"
                 "unset multiplot\n",
                 quoted(png).c_str(), quoted(title).c_str(), quoted(csv).c_str(), quoted(csv).c_str(),
                 quoted(csv).c_str(), quoted(csv).c_str());
    const int rc = ::pclose(g);
    if (rc != 0) {
        error = "gnuplot failed drawing " + png;
        return false;
    }
    return true;
}

}  // namespace zsim
