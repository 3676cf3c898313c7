#include "store.h"

#include <sqlite3.h>

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

private:
    Stmt& check(int rc) {
        if (rc != SQLITE_OK) throw StoreError(sqlite3_errmsg(db_));
        return *this;
    }
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

}  // namespace

Store::Store(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
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
        exec(("PRAGMA user_version=" + std::to_string(kSchema)).c_str());
        commit();
    } catch (const StoreError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(path + ": " + e.what());
    }
}

Store::~Store() { sqlite3_close(db_); }

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

void Store::add_report(const ReportRow& r) {
    Stmt q(db_,
           "INSERT INTO reports (mmsi, time, kind, battery_v, panel_a, charge_ah, lat, lon, alarms, data) "
           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    q.bind(1, std::int64_t{r.mmsi}).bind(2, r.time).bind(3, r.kind).bind(4, r.battery_v).bind(5, r.panel_a);
    q.bind(6, r.charge_ah).bind(7, r.lat).bind(8, r.lon).bind(9, r.alarms).bind(10, r.data);
    q.step();
}

void Store::add_event(std::int64_t time, std::uint32_t mmsi, const std::string& event, const std::string& json) {
    Stmt q(db_, "INSERT INTO events (time, mmsi, event, data) VALUES (?, ?, ?, ?)");
    q.bind(1, time).bind(2, std::int64_t{mmsi}).bind(3, event).bind(4, json);
    q.step();
}

nlohmann::json Store::history(std::uint32_t mmsi, std::int64_t since) {
    nlohmann::json out = {{"time", nlohmann::json::array()},
                          {"battery_v", nlohmann::json::array()},
                          {"panel_a", nlohmann::json::array()},
                          {"charge_ah", nlohmann::json::array()}};
    Stmt q(db_, "SELECT time, battery_v, panel_a, charge_ah FROM reports WHERE mmsi = ? AND time >= ? "
                "ORDER BY time, id");
    q.bind(1, std::int64_t{mmsi}).bind(2, since);
    while (q.step()) {
        out["time"].push_back(q.integer(0));
        out["battery_v"].push_back(q.real(1));
        out["panel_a"].push_back(q.real(2));
        out["charge_ah"].push_back(q.real(3));
    }
    return out;
}

nlohmann::json Store::events(std::optional<std::uint32_t> mmsi, int limit) {
    nlohmann::json out = nlohmann::json::array();
    Stmt q(db_, mmsi ? "SELECT data FROM events WHERE mmsi = ? ORDER BY id DESC LIMIT ?"
                     : "SELECT data FROM events ORDER BY id DESC LIMIT ?");
    int i = 1;
    if (mmsi) q.bind(i++, std::int64_t{*mmsi});
    q.bind(i, std::int64_t{limit});
    while (q.step()) out.push_back(nlohmann::json::parse(q.text(0), nullptr, false));
    return out;
}

long Store::count(const char* table) {
    const std::string t = table;
    if (t != "reports" && t != "events" && t != "stations") fail("no table " + t);
    Stmt q(db_, ("SELECT count(*) FROM " + t).c_str());
    q.step();
    return static_cast<long>(q.integer(0));
}

}  // namespace zelmora::shore
