#include "web.h"

#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <thread>

#include "page_files.h"

namespace zelmora::shore {

const char* const kChartJsPaths[] = {
    "/usr/share/javascript/chart.js/chart.umd.min.js", "/usr/share/javascript/chart.js/chart.umd.js",
    "/usr/share/javascript/chart.js/chart.min.js", "/usr/share/javascript/chart.js/chart.js", nullptr};
const char* const kLeafletDir = "/usr/share/javascript/leaflet/";

namespace {

constexpr std::uint32_t kMaxMmsi = (1u << 30) - 1;      // the field's 30 bits
constexpr std::int64_t kEndOfTime = 253402300799;        // 9999-12-31T23:59:59Z
constexpr std::size_t kGzipFrom = 512;                   // smaller answers go as they are

std::string gzip(const std::string& in, int level) {
    z_stream z{};
    // 31: a gzip wrapper around the deflate stream.
    if (deflateInit2(&z, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&z, static_cast<uLong>(in.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::string();
}

// "gzip" among the Accept-Encoding tokens, unless with q=0.
bool takes_gzip(const httplib::Request& req) {
    std::istringstream in(req.get_header_value("Accept-Encoding"));
    for (std::string tok; std::getline(in, tok, ',');) {
        tok.erase(std::remove_if(tok.begin(), tok.end(), [](char c) { return c == ' ' || c == '\t'; }), tok.end());
        const auto semi = tok.find(';');
        if (tok.substr(0, semi) != "gzip") continue;
        if (semi == std::string::npos) return true;
        const std::string q = tok.substr(semi + 1);
        return q.rfind("q=", 0) != 0 || std::strtod(q.c_str() + 2, nullptr) > 0;
    }
    return false;
}

// A body ready to go, with its gzip form when one is worth having.
struct Body {
    std::shared_ptr<const std::string> plain, gz;
    std::string type;
};

Body make_body(std::string text, std::string type, int level) {
    Body b;
    b.type = std::move(type);
    if (text.size() >= kGzipFrom) {
        std::string z = gzip(text, level);
        if (!z.empty()) b.gz = std::make_shared<const std::string>(std::move(z));
    }
    b.plain = std::make_shared<const std::string>(std::move(text));
    return b;
}

// Through a content provider of known length, which the library passes on
// as it is: it would otherwise compress again, with brotli at its slowest.
void send(const httplib::Request& req, httplib::Response& res, const Body& b, int status = 200) {
    res.status = status;
    std::shared_ptr<const std::string> data = b.plain;
    res.set_header("Vary", "Accept-Encoding");
    if (b.gz && takes_gzip(req)) {
        data = b.gz;
        res.set_header("Content-Encoding", "gzip");
    }
    res.set_content_provider(data->size(), b.type.c_str(),
                             [data](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 sink.write(data->data() + offset, length);
                                 return true;
                             });
}

void plain(const httplib::Request& req, httplib::Response& res, int status, const std::string& why) {
    res.set_header("Cache-Control", "no-store");
    send(req, res, make_body(why + "\n", "text/plain; charset=utf-8", 1), status);
}

// JSON dumped strictly: text that is not UTF-8 is a fault upstream, told
// as one, never passed on mangled.
void json(const httplib::Request& req, httplib::Response& res, const nlohmann::json& j, int status = 200) {
    std::string text;
    try {
        text = j.dump();
    } catch (const nlohmann::json::exception& e) {
        return plain(req, res, 500, std::string("the answer could not be written as JSON: ") + e.what());
    }
    res.set_header("Cache-Control", "no-store");
    // Not the bare "application/json": the library would compress that itself.
    send(req, res, make_body(std::move(text), "application/json; charset=utf-8", 1), status);
}

void csv(const httplib::Request& req, httplib::Response& res, const api::Reply& r, const std::string& file) {
    if (r.status != 200 || (r.text.empty() && !r.body.is_null())) return json(req, res, r.body, r.status);
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Disposition", "attachment; filename=\"" + file + "\"");
    send(req, res, make_body(r.text, "text/csv; charset=utf-8", 1), 200);
}

std::optional<std::uint64_t> whole(const std::string& s, std::uint64_t max) {
    std::uint64_t v = 0;
    if (s.empty() || s.size() > 20) return std::nullopt;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v > max) return std::nullopt;
    return v;
}

std::optional<std::uint32_t> mmsi_of(const std::string& s) {
    const auto v = whole(s, kMaxMmsi);
    return v ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*v)) : std::nullopt;
}

const std::string kMmsiRule = "mmsi: a whole number from 0 to 1073741823";

std::int64_t wall_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string html_escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

bool may_write(const std::string& peer, const std::string& authorization, const std::string& token) {
    if (peer.rfind("127.", 0) == 0 || peer == "::1" || peer.rfind("::ffff:127.", 0) == 0) return true;
    if (token.empty()) return false;
    const std::string want = "Bearer " + token;
    // Compared whole, whatever the first difference, so that timing tells nothing.
    unsigned char diff = authorization.size() == want.size() ? 0 : 1;
    for (std::size_t i = 0; i < want.size(); ++i)
        diff |= static_cast<unsigned char>(want[i] ^ (i < authorization.size() ? authorization[i] : 0));
    return diff == 0;
}

std::optional<std::int64_t> parse_time(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos) {
        const auto v = whole(s, kEndOfTime);
        return v ? std::optional<std::int64_t>(static_cast<std::int64_t>(*v)) : std::nullopt;
    }
    // YYYY-MM-DDThh:mm:ssZ
    if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' || s[19] != 'Z')
        return std::nullopt;
    const auto part = [&](std::size_t at, std::size_t n) -> long {
        long v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (s[i] < '0' || s[i] > '9') return -1;
            v = v * 10 + (s[i] - '0');
        }
        return v;
    };
    const long y = part(0, 4), mo = part(5, 2), d = part(8, 2), h = part(11, 2), mi = part(14, 2), se = part(17, 2);
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || se < 0 || se > 59)
        return std::nullopt;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return std::nullopt;
    // Days since 1970-01-01 of a proleptic Gregorian date.
    const long yy = y - (mo <= 2 ? 1 : 0);
    const long era = yy / 400, yoe = yy - era * 400;
    const long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + se;
}

struct Web::Impl {
    api::Sources src;
    WebOptions opt;
    WebApi fns;
    httplib::Server server;
    std::thread thread;
    std::map<std::string, Body> files;   // the page's and the libraries', by path
    std::mutex files_mu;

    // A file of the page, or of a Debian package read on first use.
    const Body* file(const std::string& path) {
        std::lock_guard<std::mutex> lock(files_mu);
        auto it = files.find(path);
        if (it != files.end()) return &it->second;
        std::string text, type = "text/javascript; charset=utf-8";
        if (path == "/chart.js") {
            for (const char* const* p = kChartJsPaths; *p && text.empty(); ++p) text = slurp(*p);
        } else if (path == "/leaflet.js") {
            text = slurp(std::string(kLeafletDir) + "leaflet.min.js");
            if (text.empty()) text = slurp(std::string(kLeafletDir) + "leaflet.js");
        } else if (path == "/leaflet.css") {
            text = slurp(std::string(kLeafletDir) + "leaflet.css");
            type = "text/css; charset=utf-8";
        } else if (path.rfind("/images/", 0) == 0) {
            text = slurp(std::string(kLeafletDir) + path.substr(1));
            type = "image/png";
        }
        if (text.empty()) return nullptr;   // looked for again next time: it may be installed meanwhile
        return &(files[path] = make_body(std::move(text), type, 9));
    }

    void load_page() {
        for (std::size_t i = 0; i < page::kFileCount; ++i) {
            const page::File& f = page::kFiles[i];
            std::string text(reinterpret_cast<const char*>(f.data), f.size);
            const std::string name = f.name;
            std::string type = "text/plain; charset=utf-8";
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0) {
                type = "text/html; charset=utf-8";
                const std::string mark = "{{TILES}}";
                for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark))
                    text.replace(at, mark.size(), html_escaped(opt.tiles_url));
            } else if (name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0) {
                type = "text/javascript; charset=utf-8";
            } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".css") == 0) {
                type = "text/css; charset=utf-8";
            }
            files["/page/" + name] = make_body(std::move(text), type, 9);
        }
    }

    void serve_file(const httplib::Request& req, httplib::Response& res, const std::string& path, bool cache) {
        const Body* b = file(path);
        if (!b) {
            const std::string what = path == "/chart.js" ? " (Debian package libjs-chart.js)"
                                     : path.rfind("/page/", 0) == 0 ? ""
                                                                    : " (Debian package libjs-leaflet)";
            return plain(req, res, 404, path + ": not installed on the monitor's machine" + what);
        }
        res.set_header("Cache-Control", cache ? "max-age=86400" : "no-cache");
        send(req, res, *b);
    }

    // Reads a whole-number parameter into `out`; false (and 400 sent) when it is malformed.
    static bool number(const httplib::Request& req, httplib::Response& res, const char* name, std::uint64_t max,
                       std::uint64_t& out, const std::string& rule) {
        if (!req.has_param(name)) return true;
        const auto v = whole(req.get_param_value(name), max);
        if (!v) {
            plain(req, res, 400, rule);
            return false;
        }
        out = *v;
        return true;
    }

    static bool time_param(const httplib::Request& req, httplib::Response& res, const char* name, std::int64_t& out) {
        if (!req.has_param(name)) return true;
        const auto v = parse_time(req.get_param_value(name));
        if (!v) {
            plain(req, res, 400,
                  std::string(name) + ": UNIX seconds or YYYY-MM-DDThh:mm:ssZ (UTC), from 1970 to 9999");
            return false;
        }
        out = *v;
        return true;
    }

    static bool mmsi_param(const httplib::Request& req, httplib::Response& res, std::optional<std::uint32_t>& out) {
        if (!req.has_param("mmsi")) return true;
        out = mmsi_of(req.get_param_value("mmsi"));
        if (!out) plain(req, res, 400, kMmsiRule);
        return out.has_value();
    }

    template <class F>
    auto locked(F&& f) {
        std::lock_guard<std::mutex> lock(*src.mu);
        return f();
    }

    void routes() {
        load_page();
        server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
            serve_file(req, res, "/page/index.html", false);
        });
        server.Get(R"(/station/(\d{1,10}))", [this](const httplib::Request& req, httplib::Response& res) {
            serve_file(req, res, "/page/station.html", false);
        });
        server.Get(R"(/page/([a-z]+\.(js|css)))", [this](const httplib::Request& req, httplib::Response& res) {
            serve_file(req, res, req.path, false);
        });
        for (const char* p : {"/chart.js", "/leaflet.js", "/leaflet.css"})
            server.Get(p, [this, p](const httplib::Request& req, httplib::Response& res) {
                serve_file(req, res, p, true);
            });
        server.Get(R"(/images/([a-z0-9-]+\.png))", [this](const httplib::Request& req, httplib::Response& res) {
            serve_file(req, res, req.path, true);
        });

        server.Get("/api/status", [this](const httplib::Request& req, httplib::Response& res) {
            json(req, res, locked([&] { return fns.status(src); }));
        });
        server.Get("/api/stations", [this](const httplib::Request& req, httplib::Response& res) {
            std::uint64_t since = 0;
            if (!number(req, res, "since", std::numeric_limits<std::uint64_t>::max(), since,
                        "since: the rev of the last answer, a whole number"))
                return;
            json(req, res, locked([&] { return fns.stations(src, since); }));
        });
        server.Get(R"(/api/station/([^/]*))", [this](const httplib::Request& req, httplib::Response& res) {
            const auto mmsi = mmsi_of(req.matches[1]);
            if (!mmsi) return plain(req, res, 400, kMmsiRule);
            std::uint64_t days = 7;
            if (!number(req, res, "days", 36500, days, "days: a whole number of days up to 36500, 0 for all")) return;
            const api::Reply r = locked([&] { return fns.station(src, *mmsi, static_cast<long>(days)); });
            json(req, res, r.body, r.status);
        });
        server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
            std::optional<std::uint32_t> mmsi;
            std::uint64_t limit = 50, before = 0;
            if (!mmsi_param(req, res, mmsi) || !number(req, res, "limit", 10000, limit, "limit: 1 to 10000") ||
                !number(req, res, "before", std::numeric_limits<std::int64_t>::max(), before,
                        "before: an event's id, a whole number"))
                return;
            if (limit < 1) return plain(req, res, 400, "limit: 1 to 10000");
            std::optional<std::int64_t> before_id;
            if (req.has_param("before")) before_id = static_cast<std::int64_t>(before);
            json(req, res, locked([&] { return fns.events(src, mmsi, static_cast<int>(limit), before_id); }));
        });
        server.Get("/api/availability", [this](const httplib::Request& req, httplib::Response& res) {
            std::optional<std::uint32_t> mmsi;
            std::int64_t to = wall_now(), from = -1;
            if (!mmsi_param(req, res, mmsi) || !time_param(req, res, "to", to) || !time_param(req, res, "from", from))
                return;
            if (from < 0) from = std::max<std::int64_t>(0, to - 30 * 86400);
            if (from > to) return plain(req, res, 400, "from: not after to");
            json(req, res, locked([&] { return fns.availability(src, from, to, mmsi); }));
        });
        server.Get("/api/unknown", [this](const httplib::Request& req, httplib::Response& res) {
            json(req, res, locked([&] { return fns.unknown(src); }));
        });
        server.Post("/api/ack", [this](const httplib::Request& req, httplib::Response& res) {
            if (!may_write(req.remote_addr, req.get_header_value("Authorization"), opt.ack_token))
                return plain(req, res, 403,
                             opt.ack_token.empty()
                                 ? "acknowledgement is taken from the monitor's own machine only (no --ack-token given)"
                                 : "acknowledgement from another machine needs \"Authorization: Bearer TOKEN\" "
                                   "with the monitor's --ack-token");
            // A plain form post from some other site's page would come without it.
            if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
                return plain(req, res, 415, "the body goes as Content-Type: application/json");
            const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
            if (!body.is_object())
                return plain(req, res, 400, "the body: a JSON object {\"mmsi\", \"alarm\" (optional), \"by\", \"note\"}");
            const api::Reply r = locked([&] { return fns.acknowledge(src, body, wall_now()); });
            json(req, res, r.body, r.status);
        });
        server.Get("/api/export/reports.csv", [this](const httplib::Request& req, httplib::Response& res) {
            std::optional<std::uint32_t> mmsi;
            std::int64_t from = 0, to = kEndOfTime;
            if (!mmsi_param(req, res, mmsi) || !time_param(req, res, "from", from) || !time_param(req, res, "to", to))
                return;
            if (!mmsi) return plain(req, res, 400, "mmsi: which station's reports");
            const api::Reply r = locked([&] { return fns.reports_csv(src, *mmsi, from, to); });
            csv(req, res, r, "reports-" + std::to_string(*mmsi) + ".csv");
        });
        server.Get("/api/export/events.csv", [this](const httplib::Request& req, httplib::Response& res) {
            std::optional<std::uint32_t> mmsi;
            std::int64_t from = 0, to = kEndOfTime;
            if (!mmsi_param(req, res, mmsi) || !time_param(req, res, "from", from) || !time_param(req, res, "to", to))
                return;
            const api::Reply r = locked([&] { return fns.events_csv(src, from, to, mmsi); });
            csv(req, res, r, mmsi ? "events-" + std::to_string(*mmsi) + ".csv" : "events.csv");
        });
        server.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
            std::string why = "internal error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                why = e.what();
            } catch (...) {
            }
            plain(req, res, 500, utf8_shown(why));
        });
        server.set_payload_max_length(64 * 1024);
        // Each open tab holds a connection (and a thread) between its polls.
        server.new_task_queue = [] { return new httplib::ThreadPool(32); };
        server.set_keep_alive_max_count(1000);
    }
};

Web::Web(api::Sources src, WebOptions options, WebApi fns) : impl_(std::make_unique<Impl>()) {
    impl_->src = std::move(src);
    impl_->opt = std::move(options);
    impl_->fns = std::move(fns);
}

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
