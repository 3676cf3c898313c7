// The station monitor's SQLite database: the stations' state, every report
// and every event, kept across runs. The schema's version is the database's
// user_version; a database of a later version is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;

namespace zelmora::shore {

struct Station;

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ReportRow {
    std::uint32_t mmsi = 0;
    std::int64_t time = 0;
    std::string kind;                           // "dac1fi51" or "dac235fi10"
    std::optional<double> battery_v, panel_a, charge_ah, lat, lon;
    std::string alarms;                         // JSON array of the alarms on
    std::string data;                           // JSON of the whole decoded message
};

class Store {
public:
    static constexpr int kSchema = 1;

    // ":memory:" for a database that lives as long as the object. Throws
    // StoreError naming the file.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    std::vector<Station> stations();
    void save(const Station& s);
    void add_report(const ReportRow& r);
    void add_event(std::int64_t time, std::uint32_t mmsi, const std::string& event, const std::string& json);

    // Reports of one station from `since` on, oldest first, as columns:
    // {"time": [...], "battery_v": [...], "panel_a": [...], "charge_ah": [...]}.
    nlohmann::json history(std::uint32_t mmsi, std::int64_t since);
    // The latest `limit` events, newest first; of one station or of all.
    nlohmann::json events(std::optional<std::uint32_t> mmsi, int limit);
    long count(const char* table);

    // Writes between begin() and commit() go to disk together.
    void begin();
    void commit();
    void rollback();

private:
    void exec(const char* sql);
    [[noreturn]] void fail(const std::string& what);
    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace zelmora::shore
