#include "store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "monitor.h"

namespace zelmora::shore {

namespace {

constexpr const char* kCreate = R"sql(
CREATE TABLE IF NOT EXISTS stations (
    mmsi INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    last_heard INTEGER,
    state TEXT NOT NULL          -- the whole state as JSON
);
CREATE TABLE IF NOT EXISTS reports (
    id INTEGER PRIMARY KEY,
    mmsi INTEGER NOT NULL,
    time INTEGER NOT NULL,       -- UNIX seconds, UTC
    kind TEXT NOT NULL,
    battery_v REAL, panel_a REAL, charge_ah REAL, lat REAL, lon REAL,
    alarms TEXT NOT NULL,
    data TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS reports_by_station ON reports (mmsi, time);
CREATE TABLE IF NOT EXISTS events (
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    mmsi INTEGER NOT NULL,
    event TEXT NOT NULL,
    data TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS events_by_station ON events (mmsi, id);
)sql";

// Version 2: a report heard by several receivers kept once, what a thinned
// row stands for, the FI 10 light and racon; the MMSIs that are not ours,
// acknowledgements, and how far each input file was read.
constexpr const char* kVersion2 = R"sql(
ALTER TABLE reports ADD COLUMN payload TEXT;
ALTER TABLE reports ADD COLUMN light TEXT;
ALTER TABLE reports ADD COLUMN racon TEXT;
ALTER TABLE reports ADD COLUMN represents INTEGER NOT NULL DEFAULT 1;
CREATE UNIQUE INDEX IF NOT EXISTS reports_once ON reports (mmsi, time, payload);
CREATE INDEX IF NOT EXISTS events_by_time ON events (time);
CREATE TABLE IF NOT EXISTS unknown (
    mmsi INTEGER PRIMARY KEY,
    first_heard INTEGER NOT NULL,
    last_heard INTEGER NOT NULL,
    messages INTEGER NOT NULL,
    claims TEXT NOT NULL,
    name TEXT NOT NULL,
    told INTEGER                 -- when unknown_station was last told
);
CREATE TABLE IF NOT EXISTS acks (
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    mmsi INTEGER NOT NULL,
    alarms TEXT NOT NULL,        -- JSON array of what was acknowledged
    by_whom TEXT NOT NULL,
    note TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS inputs (
    name TEXT PRIMARY KEY,       -- as given on the command line
    dev INTEGER NOT NULL,
    ino INTEGER NOT NULL,
    size INTEGER NOT NULL,
    offset INTEGER NOT NULL,     -- whole lines read up to here
    before BLOB NOT NULL         -- the bytes before offset, to know the file again
);
)sql";

constexpr const char* kStateEvents =
    "('alarm_raised', 'alarm_cleared', 'overdue', 'heard_again', 'battery_low', 'battery_ok', 'off_position', "
    "'on_position')";

// One prepared statement, finalised on every way out.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, std::int64_t v) { return check(sqlite3_bind_int64(st_, i, v)); }
    Stmt& bind(int i, const std::string& v) {
        return check(sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    Stmt& bind(int i, std::optional<double> v) {
        return check(v ? sqlite3_bind_double(st_, i, *v) : sqlite3_bind_null(st_, i));
    }
    Stmt& bind(int i, std::optional<std::int64_t> v) {
        return check(v ? sqlite3_bind_int64(st_, i, *v) : sqlite3_bind_null(st_, i));
    }
    Stmt& bind(int i, const std::optional<std::string>& v) {
        return v ? bind(i, *v) : check(sqlite3_bind_null(st_, i));
    }
    Stmt& blob(int i, const std::string& v) {
        return check(sqlite3_bind_blob(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    // True while there is a row.
    bool step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(sqlite3_errmsg(db_));
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(st_, col); }
    std::string text(int col) const {
        const auto* p = sqlite3_column_text(st_, col);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(st_, col)))
                 : std::string();
    }
    nlohmann::json real(int col) const {
        if (sqlite3_column_type(st_, col) == SQLITE_NULL) return nullptr;
        return sqlite3_column_double(st_, col);
    }
    bool null(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    std::optional<double> opt_real(int col) const {
        if (null(col)) return std::nullopt;
        return sqlite3_column_double(st_, col);
    }
    std::optional<std::string> opt_text(int col) const {
        if (null(col)) return std::nullopt;
        return text(col);
    }
    std::string bytes(int col) const {
        const void* p = sqlite3_column_blob(st_, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(st_, col)))
                 : std::string();
    }
    int changes() const { return sqlite3_changes(db_); }

private:
    Stmt& check(int rc) {
        if (rc != SQLITE_OK) throw StoreError(sqlite3_errmsg(db_));
        return *this;
    }
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

}  // namespace

Store::Store(const std::string& path, bool exclusive) : path_(path) {
    if (exclusive && path != ":memory:") {
        // One writer per database: a second monitor would store everything twice.
        const std::string lock = path + ".lock";
        lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock_fd_ < 0) throw StoreError(lock + ": cannot open the lock file (" + std::strerror(errno) + ")");
        if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            char pid[32] = {};
            const ssize_t n = ::pread(lock_fd_, pid, sizeof pid - 1, 0);
            std::string who = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : std::string();
            while (!who.empty() && (who.back() == '\n' || who.back() == ' ')) who.pop_back();
            ::close(lock_fd_);
            lock_fd_ = -1;
            if (e == EWOULDBLOCK)
                throw StoreError(path + ": in use by another zelmora-shore" +
                                 (who.empty() ? std::string() : " (process " + who + ")") + "; one per database");
            throw StoreError(lock + ": cannot lock (" + std::strerror(e) + ")");
        }
        const std::string me = std::to_string(::getpid()) + "\n";
        if (::ftruncate(lock_fd_, 0) != 0 || ::pwrite(lock_fd_, me.data(), me.size(), 0) < 0) {
            // The lock holds without the note of who holds it.
        }
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw StoreError(path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        // Reading the version is the first touch of the file: a file that is
        // not a database fails here, with SQLite's own words.
        std::int64_t version = 0;
        {
            Stmt v(db_, "PRAGMA user_version");
            v.step();
            version = v.integer(0);
        }
        if (version > kSchema)
            throw StoreError("schema " + std::to_string(version) + " is newer than this program's (" +
                             std::to_string(kSchema) + ")");
        // WAL: a crash loses at most the last message, and writes stay cheap.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        begin();
        exec(kCreate);
        migrate(version);
        exec(("PRAGMA user_version=" + std::to_string(kSchema)).c_str());
        commit();
    } catch (const StoreError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw StoreError(path + ": " + e.what());
    }
}

Store::~Store() {
    sqlite3_close(db_);
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

void Store::migrate(std::int64_t from_version) {
    if (from_version < 2) exec(kVersion2);
}

void Store::fail(const std::string& what) { throw StoreError(path_ + ": " + what); }

void Store::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        throw StoreError(why);
    }
}

void Store::begin() { exec("BEGIN IMMEDIATE"); }
void Store::commit() { exec("COMMIT"); }
void Store::rollback() {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Store::limit_pages(long pages) { exec(("PRAGMA max_page_count=" + std::to_string(pages)).c_str()); }

std::vector<Station> Store::stations() {
    std::vector<Station> out;
    Stmt q(db_, "SELECT mmsi, state FROM stations ORDER BY mmsi");
    while (q.step()) {
        try {
            Station s = station_from_json(nlohmann::json::parse(q.text(1)));
            s.mmsi = static_cast<std::uint32_t>(q.integer(0));
            out.push_back(std::move(s));
        } catch (const nlohmann::json::exception& e) {
            fail("station " + std::to_string(q.integer(0)) + ": unreadable state: " + e.what());
        }
    }
    return out;
}

void Store::save(const Station& s) {
    Stmt q(db_, "INSERT OR REPLACE INTO stations (mmsi, name, last_heard, state) VALUES (?, ?, ?, ?)");
    q.bind(1, std::int64_t{s.mmsi}).bind(2, s.name).bind(3, s.last_heard).bind(4, to_json(s).dump());
    q.step();
}

bool Store::add_report(const ReportRow& r) {
    Stmt q(db_,
           "INSERT OR IGNORE INTO reports (mmsi, time, kind, battery_v, panel_a, charge_ah, lat, lon, alarms, data, "
           "payload, light, racon) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    q.bind(1, std::int64_t{r.mmsi}).bind(2, r.time).bind(3, r.kind).bind(4, r.battery_v).bind(5, r.panel_a);
    q.bind(6, r.charge_ah).bind(7, r.lat).bind(8, r.lon).bind(9, r.alarms).bind(10, r.data).bind(11, r.payload);
    q.bind(12, r.light).bind(13, r.racon);
    q.step();
    return q.changes() > 0;
}

std::int64_t Store::add_event(std::int64_t time, std::uint32_t mmsi, const std::string& event,
                              const std::string& json) {
    Stmt q(db_, "INSERT INTO events (time, mmsi, event, data) VALUES (?, ?, ?, ?)");
    q.bind(1, time).bind(2, std::int64_t{mmsi}).bind(3, event).bind(4, json);
    q.step();
    return sqlite3_last_insert_rowid(db_);
}

void Store::add_ack(std::int64_t time, std::uint32_t mmsi, const std::string& alarms_json, const std::string& by,
                    const std::string& note) {
    Stmt q(db_, "INSERT INTO acks (time, mmsi, alarms, by_whom, note) VALUES (?, ?, ?, ?, ?)");
    q.bind(1, time).bind(2, std::int64_t{mmsi}).bind(3, alarms_json).bind(4, by).bind(5, note);
    q.step();
}

void Store::save_place(const InputPlace& p) {
    Stmt q(db_, "INSERT OR REPLACE INTO inputs (name, dev, ino, size, offset, before) VALUES (?, ?, ?, ?, ?, ?)");
    q.bind(1, p.input).bind(2, static_cast<std::int64_t>(p.dev)).bind(3, static_cast<std::int64_t>(p.ino));
    q.bind(4, p.size).bind(5, p.offset).blob(6, p.before);
    q.step();
}

std::map<std::string, InputPlace> Store::places() {
    std::map<std::string, InputPlace> out;
    Stmt q(db_, "SELECT name, dev, ino, size, offset, before FROM inputs");
    while (q.step()) {
        InputPlace p;
        p.input = q.text(0);
        p.dev = static_cast<std::uint64_t>(q.integer(1));
        p.ino = static_cast<std::uint64_t>(q.integer(2));
        p.size = q.integer(3);
        p.offset = q.integer(4);
        p.before = q.bytes(5);
        out[p.input] = std::move(p);
    }
    return out;
}

void Store::save_unknown(const UnknownRow& u) {
    Stmt q(db_, "INSERT OR REPLACE INTO unknown (mmsi, first_heard, last_heard, messages, claims, name, told) "
                "VALUES (?, ?, ?, ?, ?, ?, ?)");
    q.bind(1, std::int64_t{u.mmsi}).bind(2, u.first_heard).bind(3, u.last_heard);
    q.bind(4, static_cast<std::int64_t>(u.messages)).bind(5, u.claims).bind(6, u.name).bind(7, u.told);
    q.step();
}

std::vector<UnknownRow> Store::unknown() {
    std::vector<UnknownRow> out;
    Stmt q(db_, "SELECT mmsi, first_heard, last_heard, messages, claims, name, told FROM unknown ORDER BY mmsi");
    while (q.step()) {
        UnknownRow u;
        u.mmsi = static_cast<std::uint32_t>(q.integer(0));
        u.first_heard = q.integer(1);
        u.last_heard = q.integer(2);
        u.messages = static_cast<long>(q.integer(3));
        u.claims = q.text(4);
        u.name = q.text(5);
        if (!q.null(6)) u.told = q.integer(6);
        out.push_back(std::move(u));
    }
    return out;
}

nlohmann::json Store::history(std::uint32_t mmsi, std::int64_t since) {
    nlohmann::json out = {{"time", nlohmann::json::array()},      {"battery_v", nlohmann::json::array()},
                          {"panel_a", nlohmann::json::array()},   {"charge_ah", nlohmann::json::array()},
                          {"light", nlohmann::json::array()},     {"racon", nlohmann::json::array()},
                          {"alarms", nlohmann::json::array()}};
    Stmt q(db_, "SELECT time, battery_v, panel_a, charge_ah, light, racon, alarms FROM reports "
                "WHERE mmsi = ? AND time >= ? ORDER BY time, id");
    q.bind(1, std::int64_t{mmsi}).bind(2, since);
    while (q.step()) {
        out["time"].push_back(q.integer(0));
        out["battery_v"].push_back(q.real(1));
        out["panel_a"].push_back(q.real(2));
        out["charge_ah"].push_back(q.real(3));
        out["light"].push_back(q.null(4) ? nlohmann::json(nullptr) : nlohmann::json(q.text(4)));
        out["racon"].push_back(q.null(5) ? nlohmann::json(nullptr) : nlohmann::json(q.text(5)));
        nlohmann::json a = nlohmann::json::parse(q.text(6), nullptr, false);
        out["alarms"].push_back(a.is_array() ? a : nlohmann::json::array());
    }
    return out;
}

nlohmann::json Store::events(std::optional<std::uint32_t> mmsi, int limit, std::optional<std::int64_t> before_id) {
    nlohmann::json out = nlohmann::json::array();
    std::string sql = "SELECT id, data FROM events WHERE 1";
    if (mmsi) sql += " AND mmsi = ?";
    if (before_id) sql += " AND id < ?";
    sql += " ORDER BY id DESC LIMIT ?";
    Stmt q(db_, sql.c_str());
    int i = 1;
    if (mmsi) q.bind(i++, std::int64_t{*mmsi});
    if (before_id) q.bind(i++, *before_id);
    q.bind(i, std::int64_t{limit});
    while (q.step()) {
        nlohmann::json e = nlohmann::json::parse(q.text(1), nullptr, false);
        if (!e.is_object()) continue;
        e["id"] = q.integer(0);
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<Store::EventRow> Store::events_between(std::int64_t from, std::int64_t to,
                                                   std::optional<std::uint32_t> mmsi) {
    std::vector<EventRow> out;
    Stmt q(db_, mmsi ? "SELECT id, time, mmsi, event, data FROM events WHERE time >= ? AND time < ? AND mmsi = ? "
                       "ORDER BY time, id"
                     : "SELECT id, time, mmsi, event, data FROM events WHERE time >= ? AND time < ? ORDER BY time, id");
    q.bind(1, from).bind(2, to);
    if (mmsi) q.bind(3, std::int64_t{*mmsi});
    while (q.step())
        out.push_back(EventRow{q.integer(0), q.integer(1), static_cast<std::uint32_t>(q.integer(2)), q.text(3),
                               q.text(4)});
    return out;
}

std::vector<Store::Stored> Store::reports_between(std::uint32_t mmsi, std::int64_t from, std::int64_t to) {
    std::vector<Stored> out;
    Stmt q(db_, "SELECT time, kind, battery_v, panel_a, charge_ah, lat, lon, light, racon, alarms, represents "
                "FROM reports WHERE mmsi = ? AND time >= ? AND time < ? ORDER BY time, id");
    q.bind(1, std::int64_t{mmsi}).bind(2, from).bind(3, to);
    while (q.step()) {
        Stored r;
        r.mmsi = mmsi;
        r.time = q.integer(0);
        r.kind = q.text(1);
        r.battery_v = q.opt_real(2);
        r.panel_a = q.opt_real(3);
        r.charge_ah = q.opt_real(4);
        r.lat = q.opt_real(5);
        r.lon = q.opt_real(6);
        r.light = q.opt_text(7);
        r.racon = q.opt_text(8);
        r.alarms = q.text(9);
        r.represents = static_cast<long>(q.integer(10));
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<StateEvent> Store::state_events(std::optional<std::uint32_t> mmsi, std::int64_t to) {
    std::vector<StateEvent> out;
    std::string sql = "SELECT mmsi, time, event, json_extract(data, '$.alarm') FROM events WHERE time < ? AND event IN ";
    sql += kStateEvents;
    if (mmsi) sql += " AND mmsi = ?";
    sql += " ORDER BY time, id";
    Stmt q(db_, sql.c_str());
    q.bind(1, to);
    if (mmsi) q.bind(2, std::int64_t{*mmsi});
    while (q.step())
        out.push_back(StateEvent{static_cast<std::uint32_t>(q.integer(0)), q.integer(1), q.text(2), q.text(3)});
    return out;
}

std::map<std::uint32_t, long> Store::received(std::optional<std::uint32_t> mmsi, std::int64_t from,
                                              std::int64_t to) {
    std::map<std::uint32_t, long> out;
    Stmt q(db_, mmsi ? "SELECT mmsi, SUM(represents) FROM reports WHERE time >= ? AND time < ? AND mmsi = ? "
                       "GROUP BY mmsi"
                     : "SELECT mmsi, SUM(represents) FROM reports WHERE time >= ? AND time < ? GROUP BY mmsi");
    q.bind(1, from).bind(2, to);
    if (mmsi) q.bind(3, std::int64_t{*mmsi});
    while (q.step()) out[static_cast<std::uint32_t>(q.integer(0))] = static_cast<long>(q.integer(1));
    return out;
}

long Store::thin(std::int64_t cutoff) {
    // The first row of each hour stays and stands for the hour's others.
    constexpr const char* kKept = "SELECT MIN(id) FROM reports WHERE time < ?1 GROUP BY mmsi, time / 3600";
    {
        Stmt q(db_, (std::string("UPDATE reports SET represents = (SELECT SUM(r.represents) FROM reports r "
                                 "WHERE r.mmsi = reports.mmsi AND r.time >= reports.time / 3600 * 3600 "
                                 "AND r.time < reports.time / 3600 * 3600 + 3600) "
                                 "WHERE time < ?1 AND id IN (") +
                     kKept + ")")
                        .c_str());
        q.bind(1, cutoff);
        q.step();
    }
    Stmt d(db_, (std::string("DELETE FROM reports WHERE time < ?1 AND id NOT IN (") + kKept + ")").c_str());
    d.bind(1, cutoff);
    d.step();
    return d.changes();
}

long Store::count(const char* table) {
    const std::string t = table;
    if (t != "reports" && t != "events" && t != "stations" && t != "unknown" && t != "acks" && t != "inputs")
        fail("no table " + t);
    Stmt q(db_, ("SELECT count(*) FROM " + t).c_str());
    q.step();
    return static_cast<long>(q.integer(0));
}

}  // namespace zelmora::shore
