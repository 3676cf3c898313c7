#include "web.h"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "monitor.h"
#include "store.h"

namespace zelmora::shore {

const char* const kChartJsPaths[] = {
    "/usr/share/javascript/chart.js/chart.umd.min.js", "/usr/share/javascript/chart.js/chart.umd.js",
    "/usr/share/javascript/chart.js/chart.min.js", "/usr/share/javascript/chart.js/chart.js", nullptr};

namespace {

// Shared by both pages: formatting, escaping, fetching.
constexpr const char* kCommonJs = R"js(
const esc = s => String(s ?? '').replace(/[&<>"']/g, c => '&#' + c.charCodeAt(0) + ';');
const num = (v, d, u) => v === null || v === undefined ? '—' : v.toFixed(d) + ' ' + u;
const when = t => t === null || t === undefined ? '—' : new Date(t * 1000).toISOString().replace('T', ' ').slice(0, 19) + 'Z';
const ago = (t, now) => t === null || now === null ? '' : ' (' + Math.round((now - t) / 60) + ' min ago)';
const alarmsOn = s => Object.keys(s.alarms).filter(k => s.alarms[k]);
function states(s) {
  const out = [];
  if (s.overdue) out.push('OVERDUE');
  if (s.battery_low) out.push('BATTERY LOW');
  if (s.off_position) out.push('OFF POSITION');
  return out;
}
const badges = (list, cls) => list.map(a => '<span class="' + cls + '">' + esc(a) + '</span>').join(' ');
function eventRows(events) {
  return events.map(e => {
    const extra = Object.keys(e).filter(k => !['time', 'event', 'mmsi', 'name'].includes(k))
      .map(k => esc(k) + '=' + esc(e[k])).join(' ');
    return '<tr class="ev-' + esc(e.event) + '"><td>' + esc(e.time) + '</td><td>' + esc(e.event) +
      '</td><td><a href="/station/' + e.mmsi + '">' + e.mmsi + '</a></td><td>' + esc(e.name) + '</td><td>' + extra + '</td></tr>';
  }).join('');
}
async function getJson(url) {
  const r = await fetch(url, {cache: 'no-store'});
  if (!r.ok) throw new Error(url + ': ' + r.status);
  return r.json();
}
)js";

constexpr const char* kStyle = R"css(
body { font-family: sans-serif; margin: 1em 2em; color: #222; }
table { border-collapse: collapse; margin-bottom: 1.5em; }
th, td { border-bottom: 1px solid #ccc; padding: 0.3em 0.7em; text-align: left; }
th { background: #eef; }
td { white-space: nowrap; }
tr.bad td { background: #fee; }
span.alarm, span.state { color: #fff; padding: 0 0.4em; border-radius: 3px; white-space: nowrap; display: inline-block; margin: 1px; }
span.alarm { background: #c00; }
span.state { background: #e80; }
.muted { color: #777; }
.charts { display: flex; flex-wrap: wrap; gap: 1em; }
.charts div { width: 360px; height: 220px; }
)css";

constexpr const char* kIndexBody = R"html(
<h1>AtoN stations</h1>
<p class="muted" id="clock">waiting for the first update…</p>
<table id="stations"><thead><tr><th>MMSI</th><th>Name</th><th>Last heard</th><th>Battery</th><th>Panel</th>
<th>Charge</th><th>Charger</th><th>Off charted</th><th>Alarms</th><th>State</th></tr></thead><tbody></tbody></table>
<h2>Events</h2>
<table id="events"><thead><tr><th>Time</th><th>Event</th><th>MMSI</th><th>Name</th><th></th></tr></thead><tbody></tbody></table>
<script>
async function refresh() {
  try {
    const [st, ev] = await Promise.all([getJson('/api/stations'), getJson('/api/events?limit=30')]);
    document.getElementById('clock').textContent = 'Feed clock ' + (st.now === null ? 'not started' : when(st.now)) + ' — ' + st.stations.length +
      ' station(s), ' + st.feed.messages + ' messages, ' + st.feed.errors + ' bad';
    document.querySelector('#stations tbody').innerHTML = st.stations.map(s => {
      const on = alarmsOn(s), bad = states(s);
      return '<tr data-mmsi="' + s.mmsi + '" class="' + (on.length || bad.length ? 'bad' : '') + '">' +
        '<td><a href="/station/' + s.mmsi + '">' + s.mmsi + '</a></td><td>' + esc(s.name) + '</td>' +
        '<td>' + when(s.last_heard) + ago(s.last_heard, st.now) + '</td>' +
        '<td>' + num(s.battery_v, 2, 'V') + '</td><td>' + num(s.panel_a, 2, 'A') + '</td>' +
        '<td>' + num(s.charge_ah, 2, 'Ah') + '</td><td>' + esc(s.charger) + '</td>' +
        '<td>' + num(s.distance_m, 1, 'm') + '</td><td class="alarms">' + badges(on, 'alarm') + '</td>' +
        '<td class="state">' + (bad.length ? badges(bad, 'state') : 'OK') + '</td></tr>';
    }).join('');
    document.querySelector('#events tbody').innerHTML = eventRows(ev);
  } catch (e) {
    document.getElementById('clock').textContent = 'no answer from the monitor: ' + e.message;
  }
}
refresh();
setInterval(refresh, 3000);
</script>
)html";

constexpr const char* kStationBody = R"html(
<p><a href="/">← all stations</a></p>
<h1 id="title">Station</h1>
<table id="summary"><tbody></tbody></table>
<p>History of the last <select id="days"><option value="1">1 day</option><option value="7" selected>7 days</option>
<option value="30">30 days</option><option value="0">all days</option></select> held, up to its latest report.</p>
<div class="charts"><div><canvas id="battery_v"></canvas></div><div><canvas id="panel_a"></canvas></div>
<div><canvas id="charge_ah"></canvas></div></div>
<p class="muted" id="nochart"></p>
<h2>Events</h2>
<table id="events"><thead><tr><th>Time</th><th>Event</th><th>MMSI</th><th>Name</th><th></th></tr></thead><tbody></tbody></table>
<script>
const mmsi = location.pathname.split('/').pop();
const charts = {};
const series = [['battery_v', 'Battery (V)', '#c33'], ['panel_a', 'Panel current (A)', '#e90'], ['charge_ah', 'Charge (Ah)', '#36c']];
function draw(h) {
  if (!window.Chart) {
    document.getElementById('nochart').textContent = 'Charts need Chart.js (Debian package libjs-chart.js) on the monitor\'s machine.';
    return;
  }
  for (const [key, label, colour] of series) {
    const data = h.time.map((t, i) => ({x: t, y: h[key][i]}));
    if (charts[key]) { charts[key].data.datasets[0].data = data; charts[key].update('none'); continue; }
    charts[key] = new Chart(document.getElementById(key), {
      type: 'line',
      data: {datasets: [{label, data, borderColor: colour, pointRadius: 0, borderWidth: 1.5, spanGaps: false}]},
      options: {animation: false, maintainAspectRatio: false, parsing: false,
        scales: {x: {type: 'linear', ticks: {maxTicksLimit: 6, callback: v => when(v).slice(5, 16)}},
                 y: {beginAtZero: key !== 'battery_v'}}}
    });
  }
}
async function refresh() {
  try {
    const days = document.getElementById('days').value;
    const d = await getJson('/api/station/' + mmsi + '?days=' + days);
    const s = d.station, bad = states(s);
    document.title = (s.name || s.mmsi) + ' — AtoN station';
    document.getElementById('title').textContent = (s.name || 'Station') + ' (' + s.mmsi + ')';
    const rows = [['Last heard', when(s.last_heard)], ['Last report', when(s.last_report)],
      ['Reporting interval', s.interval_s === null ? '—' : s.interval_s + ' s'], ['Battery', num(s.battery_v, 2, 'V')],
      ['Panel current', num(s.panel_a, 2, 'A')], ['Charge', num(s.charge_ah, 2, 'Ah')], ['Charger', esc(s.charger)],
      ['Position', s.lat === null ? '—' : s.lat.toFixed(6) + ', ' + s.lon.toFixed(6)],
      ['Charted position', s.charted_lat === null ? '—' : s.charted_lat.toFixed(6) + ', ' + s.charted_lon.toFixed(6)],
      ['Off charted', num(s.distance_m, 1, 'm')], ['Alarms', badges(alarmsOn(s), 'alarm') || 'none'],
      ['State', bad.length ? badges(bad, 'state') : 'OK']];
    document.querySelector('#summary tbody').innerHTML = rows.map(r => '<tr><th>' + r[0] + '</th><td>' + r[1] + '</td></tr>').join('');
    draw(d.history);
    document.querySelector('#events tbody').innerHTML = eventRows(d.events);
  } catch (e) {
    document.getElementById('title').textContent = 'Station ' + mmsi + ': ' + e.message;
  }
}
document.getElementById('days').onchange = refresh;
refresh();
setInterval(refresh, 10000);
</script>
)html";

std::string page(const char* title, const char* body, bool chart) {
    std::string p = "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>";
    p += title;
    p += "</title>\n<style>";
    p += kStyle;
    p += "</style>\n";
    if (chart) p += "<script src=\"/chart.js\"></script>\n";
    p += "<script>";
    p += kCommonJs;
    p += "</script></head><body>";
    p += body;
    p += "</body></html>\n";
    return p;
}

// A whole unsigned decimal number or nothing.
std::optional<long> whole(const std::string& s) {
    long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < 0) return std::nullopt;
    return v;
}

void json_reply(httplib::Response& res, const nlohmann::json& j, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(j.dump(), "application/json");
}

void bad_request(httplib::Response& res, const std::string& why) { json_reply(res, {{"error", why}}, 400); }

}  // namespace

struct Web::Impl {
    WebSources src;
    httplib::Server server;
    std::thread thread;
    std::string chart_js;   // read once
    bool chart_js_read = false;
    std::mutex chart_mu;

    nlohmann::json station_json(const Station& s) {
        nlohmann::json j = to_json(s);
        j.erase("gaps");
        return j;
    }

    void routes() {
        const std::string index = page("AtoN stations", kIndexBody, false);
        const std::string station = page("AtoN station", kStationBody, true);
        server.Get("/", [index](const httplib::Request&, httplib::Response& res) {
            res.set_content(index, "text/html; charset=utf-8");
        });
        server.Get(R"(/station/(\d{1,9}))", [station](const httplib::Request&, httplib::Response& res) {
            res.set_content(station, "text/html; charset=utf-8");
        });
        server.Get("/chart.js", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(chart_mu);
            if (!chart_js_read) {
                chart_js_read = true;
                for (const char* const* p = kChartJsPaths; *p; ++p) {
                    std::ifstream f(*p, std::ios::binary);
                    if (!f) continue;
                    std::ostringstream ss;
                    ss << f.rdbuf();
                    chart_js = ss.str();
                    break;
                }
            }
            if (chart_js.empty()) {
                res.status = 404;
                res.set_content("// Chart.js is not installed (libjs-chart.js)\n", "text/javascript");
                return;
            }
            res.set_header("Cache-Control", "max-age=86400");
            res.set_content(chart_js, "text/javascript");
        });
        server.Get("/api/stations", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(*src.mu);
            nlohmann::json out;
            const auto now = src.monitor->now();
            out["now"] = now ? nlohmann::json(*now) : nlohmann::json(nullptr);
            const Limits& l = src.monitor->limits();
            out["limits"] = {{"low_battery_v", l.low_battery_v}, {"off_position_m", l.off_position_m},
                             {"overdue_intervals", l.overdue_intervals}};
            out["feed"] = src.feed ? src.feed() : nlohmann::json::object();
            out["stations"] = nlohmann::json::array();
            for (const auto& [mmsi, s] : src.monitor->stations()) out["stations"].push_back(station_json(s));
            json_reply(res, out);
        });
        server.Get(R"(/api/station/(\d{1,9}))", [this](const httplib::Request& req, httplib::Response& res) {
            const auto mmsi = whole(req.matches[1]);
            long days = 7;
            if (req.has_param("days")) {
                const auto d = whole(req.get_param_value("days"));
                if (!d || *d > 36500) return bad_request(res, "days: a whole number of days, 0 for all");
                days = *d;
            }
            std::lock_guard<std::mutex> lock(*src.mu);
            const auto& all = src.monitor->stations();
            const auto it = mmsi ? all.find(static_cast<std::uint32_t>(*mmsi)) : all.end();
            if (it == all.end()) return json_reply(res, {{"error", "no such station"}}, 404);
            const Station& s = it->second;
            // The days count back from the station's latest report, so that a
            // feed on another clock still shows its history.
            std::int64_t since = std::numeric_limits<std::int64_t>::min();
            if (days > 0 && s.last_heard) since = *s.last_heard - static_cast<std::int64_t>(days) * 86400;
            nlohmann::json out;
            out["station"] = station_json(s);
            out["history"] = src.store->history(s.mmsi, since);
            out["events"] = src.store->events(s.mmsi, 100);
            json_reply(res, out);
        });
        server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
            std::optional<std::uint32_t> mmsi;
            long limit = 50;
            if (req.has_param("mmsi")) {
                const auto m = whole(req.get_param_value("mmsi"));
                if (!m || *m > 999999999) return bad_request(res, "mmsi: up to nine digits");
                mmsi = static_cast<std::uint32_t>(*m);
            }
            if (req.has_param("limit")) {
                const auto l = whole(req.get_param_value("limit"));
                if (!l || *l < 1 || *l > 10000) return bad_request(res, "limit: 1 to 10000");
                limit = *l;
            }
            std::lock_guard<std::mutex> lock(*src.mu);
            json_reply(res, src.store->events(mmsi, static_cast<int>(limit)));
        });
        server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string why = "internal error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                why = e.what();
            } catch (...) {
            }
            json_reply(res, {{"error", why}}, 500);
        });
    }
};

Web::Web(WebSources src) : impl_(std::make_unique<Impl>()) { impl_->src = std::move(src); }

Web::~Web() { stop(); }

bool Web::start(const std::string& host, int port, std::string& error) {
    impl_->routes();
    if (port == 0) {
        port_ = impl_->server.bind_to_any_port(host.c_str());
    } else if (impl_->server.bind_to_port(host.c_str(), port)) {
        port_ = port;
    } else {
        port_ = -1;
    }
    if (port_ <= 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port);
        return false;
    }
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    // stop() before the server runs would not reach it.
    while (!impl_->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

void Web::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->server.stop();
    impl_->thread.join();
}

}  // namespace zelmora::shore
