// The station monitor's SQLite database: the stations' state, every report
// and every event, the MMSIs heard that are not ours, the acknowledgements,
// and how far each input file was read, kept across runs. The schema's
// version is the database's user_version; an older one is brought up to
// date, a later one refused.
#pragma once

#include <cstdint>
#include <map>
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
    std::optional<std::string> light, racon;    // FI 10 only
    std::string alarms;                         // JSON array of the alarms on
    std::string payload;                        // the message's bits, armoured: the same from every receiver
    std::string data;                           // JSON of the whole decoded message
};

// How far an input file was read (zelmora::feed::Place, kept by the input's name).
struct InputPlace {
    std::string input;
    std::uint64_t dev = 0, ino = 0;
    std::int64_t size = 0, offset = 0;
    std::string before;
};

// An MMSI that claimed to be an aid to navigation without being registered.
struct UnknownRow {
    std::uint32_t mmsi = 0;
    std::int64_t first_heard = 0, last_heard = 0;
    long messages = 0;
    std::string claims;                         // "Message 21, DAC 1 FI 51", as heard
    std::string name;                           // the name it gave, if any
    std::optional<std::int64_t> told;           // when unknown_station was last told
};

// A state change the availability is computed from.
struct StateEvent {
    std::uint32_t mmsi = 0;
    std::int64_t time = 0;
    std::string event;
    std::string alarm;                          // alarm_raised / alarm_cleared only
};

class Store {
public:
    static constexpr int kSchema = 2;

    // ":memory:" for a database that lives as long as the object. With
    // `exclusive`, a lock file beside the database (FILE.lock) keeps every
    // other process that asks the same out. Throws StoreError naming the file.
    explicit Store(const std::string& path, bool exclusive = false);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    std::vector<Station> stations();
    void save(const Station& s);
    // False when the report was already there (another receiver's copy).
    bool add_report(const ReportRow& r);
    // The new event's id.
    std::int64_t add_event(std::int64_t time, std::uint32_t mmsi, const std::string& event, const std::string& json);
    void add_ack(std::int64_t time, std::uint32_t mmsi, const std::string& alarms_json, const std::string& by,
                 const std::string& note);
    void save_place(const InputPlace& p);
    std::map<std::string, InputPlace> places();
    void save_unknown(const UnknownRow& u);
    std::vector<UnknownRow> unknown();

    // Reports of one station from `since` on, oldest first, as columns:
    // {"time", "battery_v", "panel_a", "charge_ah", "light", "racon", "alarms"}.
    nlohmann::json history(std::uint32_t mmsi, std::int64_t since);
    // The latest `limit` events, newest first, of one station or of all,
    // older than `before_id` when given; each with its "id".
    nlohmann::json events(std::optional<std::uint32_t> mmsi, int limit,
                          std::optional<std::int64_t> before_id = std::nullopt);
    // Events in [from, to), oldest first: id, time, event, mmsi, the JSON line.
    struct EventRow {
        std::int64_t id = 0, time = 0;
        std::uint32_t mmsi = 0;
        std::string event, json;
    };
    std::vector<EventRow> events_between(std::int64_t from, std::int64_t to, std::optional<std::uint32_t> mmsi);
    // Reports in [from, to), oldest first, as stored.
    struct Stored : ReportRow {
        long represents = 1;
    };
    std::vector<Stored> reports_between(std::uint32_t mmsi, std::int64_t from, std::int64_t to);
    // The state changes before `to`, oldest first, of one station or of all.
    std::vector<StateEvent> state_events(std::optional<std::uint32_t> mmsi, std::int64_t to);
    // Reports received in [from, to) per station, thinned ones counted as
    // the reports they stand for.
    std::map<std::uint32_t, long> received(std::optional<std::uint32_t> mmsi, std::int64_t from, std::int64_t to);
    // Reports before `cutoff` (a whole hour) thinned to one per hour and
    // station; the rows deleted.
    long thin(std::int64_t cutoff);
    long count(const char* table);

    // Writes between begin() and commit() go to disk together.
    void begin();
    void commit();
    void rollback();

    // For tests: the disk is full once the database holds this many pages.
    void limit_pages(long pages);

private:
    void exec(const char* sql);
    void migrate(std::int64_t from_version);
    [[noreturn]] void fail(const std::string& what);
    sqlite3* db_ = nullptr;
    std::string path_;
    int lock_fd_ = -1;
};

}  // namespace zelmora::shore
