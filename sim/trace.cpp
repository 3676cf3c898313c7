#include "trace.h"

#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "battery.h"
#include "mppt.h"
#include "transponder.h"
#include "unit_config.h"
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

PlotLevels plot_levels(const std::vector<uint8_t>& eeprom, const PowerSetup& power) {
    PlotLevels l;
    l.brownout = power.brownout_volts;
    l.restart = power.restart_volts;
    if (eeprom.size() < zcfg::kAreaSize) return l;
    const zcfg::Config c = zcfg::decode(std::vector<uint8_t>(eeprom.begin(), eeprom.begin() + zcfg::kAreaSize), nullptr);
    // An erased or foreign area holds no usable level: nothing is drawn for it.
    const auto volts = [&c](const char* key) {
        const double v = c[*zcfg::find(key)].number;
        return std::isfinite(v) && v > 0 && v < 30 ? v : NAN;
    };
    l.low_battery = volts("power.low_battery");
    l.alarm_off = volts("power.alarm_off");
    return l;
}

namespace {

// What the trace holds, so that the legends name only what is drawn.
struct TraceSummary {
    std::string first, last;   // UTC of the first and last rows
    bool starts = false;
    std::set<std::string> charger;
};

TraceSummary summary_of(const std::string& csv) {
    TraceSummary t;
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);   // the header
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string c; std::getline(ss, c, ',') && cells.size() < 14;) cells.push_back(c);
        if (cells.size() < 14) continue;
        if (t.first.empty()) t.first = cells[0];
        t.last = cells[0];
        t.charger.insert(cells[4]);
        t.starts = t.starts || cells[13] != "0";
    }
    return t;
}

// "2026-12-14 00:01" of "2026-12-14T00:01:00Z".
std::string shown_utc(const std::string& s) { return s.size() >= 16 ? s.substr(0, 10) + " " + s.substr(11, 5) : s; }

}  // namespace

bool plot_trace(const std::string& csv, const std::string& png, const std::string& title, const PlotLevels& levels,
                std::string& error) {
    if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) {
        error = "--plot needs gnuplot (Debian package gnuplot-nox)";
        return false;
    }
    const TraceSummary sum = summary_of(csv);
    if (sum.first.empty()) {
        error = "--plot draws whole minutes: the run ended before its first";
        return false;
    }
    auto quoted = [](const std::string& s) {
        std::string q = "'";
        for (char ch : s) q += ch == '\'' ? std::string("''") : std::string(1, ch);
        return q + "'";
    };
    const std::string data = quoted(csv);
    std::ostringstream g;
    g.setf(std::ios::fixed);
    g.precision(2);
    // Columns: 1 utc, 2 volts, 3 soc, 4 panel, 5 charger, 6 powered, 7..13 alarms, 14 starts, 15 loads, 16 sent.
    // The plots share one left and right edge; the legends stand right of them.
    g << "set terminal pngcairo size 1400,1150 font 'sans,10'\n"
      << "set output " << quoted(png) << "\n"
      << "set datafile separator ','\n"
      << "set xdata time\nset timefmt '%Y-%m-%dT%H:%M:%SZ'\nset format x \"%d/%m\\n%H:%M\"\n"
      << "set grid\nset lmargin at screen 0.07\nset rmargin at screen 0.80\n"
      << "set key outside right top vertical Left reverse samplen 2\n"
      << "set multiplot layout 5,1 title " << quoted(title) << "\n";

    g << "set ylabel 'battery (V)'\nplot " << data << " using 1:2 with lines lw 1.5 lc rgb '#1f4e9a' title 'battery'";
    if (sum.starts) g << ", '' using 1:($14>0?$2:1/0) with points pt 7 ps 1.2 lc rgb 'red' title 'start-up'";
    const struct {
        double v;
        const char* what;
        const char* style;
    } lines[] = {{levels.alarm_off, "alarm off", "dt 2 lw 1.2 lc rgb '#208020'"},
                 {levels.low_battery, "low battery", "dt 2 lw 1.2 lc rgb '#c00000'"},
                 {levels.restart, "restart", "dt 4 lw 1.2 lc rgb '#707070'"},
                 {levels.brownout, "brown-out", "dt 3 lw 1.2 lc rgb 'black'"}};
    for (const auto& l : lines) {
        if (std::isfinite(l.v)) g << ", " << l.v << " with lines " << l.style << " title '" << l.what << " " << l.v << " V'";
    }
    g << "\n";

    g << "set ylabel 'panel (A)'\nplot " << data << " using 1:4 with lines lc rgb '#d08000' title 'panel current'\n";
    g << "set ylabel 'charge (%)'\nset yrange [-10:105]\n"
      << "plot " << data << " using 1:3 with lines lc rgb '#208020' title 'state of charge'\n";

    // The charger's state as a step line over its four states.
    g << "set ylabel 'charger'\nset yrange [0.5:4.5]\nset ytics ('off' 1, 'idle' 2, 'charging' 3, 'float' 4)\n"
      << "plot " << data << " using 1:(strcol(5) eq 'off' ? 1 : strcol(5) eq 'idle' ? 2 : "
      << "strcol(5) eq 'charging' ? 3 : strcol(5) eq 'float' ? 4 : 1/0) with steps lw 1.5 lc rgb '#d08000' notitle\n";

    // Alarms held, minutes without supply and the minutes with Message 6 sends, a row each.
    g << "set ylabel 'unit'\nset yrange [-0.7:8.7]\n"
      << "set ytics ('unit off' 0, 'low batt' 1, 'high batt' 2, 'in 1' 3, 'in 2' 4, 'in 3' 5, 'AIS' 6, 'GPS' 7, "
      << "'Msg 6 sent' 8)\n"
      << "set xlabel " << quoted("UTC, " + shown_utc(sum.first) + " to " + shown_utc(sum.last)) << "\n"
      << "plot for [i=0:6] " << data << " using 1:(column(7+i)>0 ? i+1 : 1/0) with points pt 5 ps 0.5 notitle, "
      << "'' using 1:($6==0 ? 0 : 1/0) with points pt 5 ps 0.5 lc rgb 'red' notitle, "
      << "'' using 1:($16>0 ? 8 : 1/0) with points pt 9 ps 0.8 lc rgb '#1f4e9a' notitle\n"
      << "unset multiplot\n";

    std::FILE* p = ::popen("gnuplot", "w");
    if (!p) {
        error = "cannot start gnuplot";
        return false;
    }
    const std::string script = g.str();
    std::fwrite(script.data(), 1, script.size(), p);
    const int rc = ::pclose(p);
    if (rc != 0) {
        error = "gnuplot failed drawing " + png;
        return false;
    }
    return true;
}

}  // namespace zsim
