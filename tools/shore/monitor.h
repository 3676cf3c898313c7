// zelmora_shore: the AtoN authority's watch over its stations. Every decoded
// message goes to Monitor::handle; it follows each station by MMSI, keeps
// what it heard in the Store and raises events (one JSON object each) as the
// stations' state changes.
//
// Time: on a live feed the clock is the wall clock. A tag block's receive
// time (c:) times its message only when it lies within Options::time_window_s
// of the wall clock; any other is counted as a bad time and the message is
// timed by the wall clock. With Options::replay the messages' own times are
// the clock instead (a recorded day read back), except a time that runs
// backwards or jumps more than a day ahead. Overdue reports and silent
// inputs are checked on every tick, whatever the traffic.
//
// Stations: those of the register (Options::stations) are judged against
// it: name, charted position, reporting interval and limits come from there,
// never from the air. An MMSI that is not registered and claims to be an aid
// to navigation is an unknown station, kept apart, unless Options::learn
// (without a register, every such MMSI is learned, its charted position from
// its Message 21).
//
// Every change is one transaction: the stations touched, their events, the
// reports and where the input was read up to. When the database fails, the
// stations are put back as they were, so that what raised an alarm raises it
// again once the database works.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ais/ais.h"
#include "register.h"
#include "store.h"

namespace zelmora::shore {

struct Limits {
    double low_battery_v = 11.8;      // battery_low below this
    double battery_ok_margin_v = 0.2; // battery_ok once back at limit + margin
    double off_position_m = 100;      // off_position beyond this
    double on_position_ratio = 0.9;   // on_position once back within ratio * limit
    double overdue_intervals = 2.5;   // overdue after this many intervals of silence
};

struct Options {
    Limits limits;
    bool replay = false;                  // the messages' own times are the clock
    std::int64_t time_window_s = 300;     // live: tag-block times this close to the wall clock are believed
    std::int64_t replay_jump_s = 86400;   // replay: a time this far past the clock is no time
    std::int64_t silent_after_s = 300;    // an input without a line for this long is silent
    Register stations;                    // the register; empty: none
    bool learn = false;                   // unregistered MMSIs that claim to be aids become stations
                                          // (always, without a register)
};

// Metres along the great circle (haversine, mean earth radius 6371008.8 m).
double distance_m(double lat1, double lon1, double lat2, double lon2);

// "2026-12-08T13:48:30Z".
std::string iso_utc(std::int64_t unix_seconds);

// The states a station is in, besides its alarm flags; acknowledged like them.
constexpr const char* kStates[] = {"overdue", "battery_low", "off_position"};

struct Station {
    std::uint32_t mmsi = 0;
    std::string name;                           // the register's; else Message 21's, else the report's own
    bool registered = false;
    std::uint64_t rev = 0;                      // the monitor's revision at its latest change
    std::optional<std::int64_t> registered_since;   // when the monitor first judged it from the register
    std::optional<std::int64_t> first_heard, last_heard;   // any message
    std::optional<std::int64_t> last_report;    // monitoring reports only
    std::string last_payload;                   // of the last report, to drop a second copy
    std::vector<std::int64_t> gaps;             // seconds between the latest reports, oldest first
    long reports = 0;
    std::optional<double> register_interval_s;  // the register's
    double low_battery_v = 11.8, off_position_m = 100;   // its limits: the register's, else the monitor's
    std::optional<double> battery_v, panel_a, charge_ah;
    std::string charger;
    std::optional<double> lat, lon;             // where it says it is: its report's GPS, or a registered
                                                // station's Message 21
    std::optional<double> charted_lat, charted_lon;   // the register's, else announced in Message 21
    std::optional<double> distance;             // metres between the two
    std::optional<std::string> light, racon;    // "on", "off", "error", "none" (FI 10)
    std::map<std::string, bool> inputs;         // "input1": closed, ...
    std::map<std::string, bool> alarms;         // every alarm flag heard, by name
    std::vector<std::string> unacknowledged;    // alarms and states raised since last acknowledged
    bool overdue = false, battery_low = false, off_position = false;
    bool off_by_distance = false, off_by_flag = false;   // what off_position is made of
    std::optional<double> learned_;             // from the gaps, kept: every tick asks for it

    // The reporting interval learned from the gaps; nullopt before two reports.
    std::optional<double> learned_interval_s() const { return learned_; }
    void gaps_changed();   // learns the interval again
    // The register's interval, else the learned one.
    std::optional<double> interval_s() const;
    // Since when the station is known: registered or first heard.
    std::optional<std::int64_t> known_since() const;
};

nlohmann::ordered_json to_json(const Station& s);
Station station_from_json(const nlohmann::json& j);   // throws nlohmann::json::exception

// One input, as the monitor counts and watches it.
struct InputState {
    std::string name;                           // as shown: valid UTF-8
    long lines = 0, messages = 0, errors = 0, lost = 0, refused = 0, bad_times = 0;
    std::optional<std::int64_t> last_line;      // wall clock
    std::int64_t quiet_since = 0;               // its latest line, or when it was added
    std::optional<std::int64_t> last_time;      // replay: the latest time it gave
    std::optional<std::int64_t> bad_time_told;  // its latest bad_time event
    bool silent = false, ended = false;
};

class Monitor {
public:
    using Sink = std::function<void(const nlohmann::ordered_json& event)>;

    // Takes up the stations the store holds, and the register's. Throws
    // StoreError when the store cannot be read or written.
    Monitor(Store& store, Limits limits, Sink sink);
    Monitor(Store& store, Options options, Sink sink);

    // An input to count and watch for silence; its index.
    int add_input(const std::string& name, std::int64_t wall_now);
    void line(int input, std::int64_t wall_now);   // a line came
    void bad_line(int input);                      // the decoder refused a message
    void input_ended(int input);
    void input_counters(int input, long lost, long refused);

    // A message from `input` (-1: none of them); `place`, when given, is
    // kept in the same transaction.
    void handle(const ais::Message& m, std::int64_t wall_now, int input = -1, const InputPlace* place = nullptr);
    // Where an input was read up to, when no message carried it.
    void keep_place(const InputPlace& place, std::int64_t wall_now);
    // Every second or so: the wall clock moves a live clock on; reports
    // falling overdue and inputs falling silent are told.
    void tick(std::int64_t wall_now);

    struct Ack {
        int status = 200;                       // 404: no such station or alarm; 503: the database failed
        std::string error;
        nlohmann::json event;                   // with its "id"
    };
    // Acknowledges one alarm or state of a station, or (alarm empty) all it
    // has unacknowledged. The request's text is checked by the caller.
    Ack acknowledge(std::uint32_t mmsi, const std::optional<std::string>& alarm, const std::string& by,
                    const std::string& note, std::int64_t wall_now);
    // Reports older than `days` thinned to one per hour and station; the
    // rows removed, -1 when the database failed.
    long thin(int days, std::int64_t wall_now);

    std::optional<std::int64_t> now() const { return clock_; }
    const std::map<std::uint32_t, Station>& stations() const { return stations_; }   // those listed
    const std::map<std::uint32_t, std::uint64_t>& removed() const { return removed_; }   // no longer listed, at rev
    const std::map<std::uint32_t, UnknownRow>& unknown() const { return unknown_; }
    std::uint64_t rev() const { return rev_; }
    const Limits& limits() const { return opt_.limits; }
    const Options& options() const { return opt_; }
    const std::vector<InputState>& inputs() const { return inputs_; }
    long bad_times() const { return bad_times_; }
    bool all_silent() const { return all_silent_; }
    // {"errors", "last_error", "last_error_time"}
    nlohmann::json store_status() const;
    // {"inputs": [...], "lines", "messages", "errors", "lost", "refused", "bad_times", "silent", "silent_after_s"}
    nlohmann::json feed_status() const;
    // Hook counters, shown with the status (set by whoever runs the hooks).
    void set_dispatch_status(nlohmann::json j) { dispatch_ = std::move(j); }
    const nlohmann::json& dispatch_status() const { return dispatch_; }

private:
    template <class F>
    bool transaction(std::int64_t wall_now, F&& f);
    void store_failed(const std::string& what, std::int64_t wall_now);
    void touch(Station& s);
    Station* listed(std::uint32_t mmsi);
    Station& create(const ais::Message& m, std::int64_t t);
    void apply_register(Station& s, const Registered& r);
    std::int64_t time_of(const ais::Message& m, std::int64_t wall_now, int input);
    void bad_time(const ais::Message& m, std::int64_t t, int input, const char* why);
    void replay_silence(int input, std::int64_t t);
    void take(Station& s, const ais::Message& m, std::int64_t t);
    void take_aton(Station& s, const ais::AtonPosition& a, std::int64_t t);
    void take_report(Station& s, const ais::Message& m, std::int64_t t);
    void take_monitor(Station& s, const ais::Message& m, std::int64_t t);
    void note_unknown(const ais::Message& m, std::int64_t t);
    bool heard_report(Station& s, const ais::Message& m, std::int64_t t);
    void set_alarm(Station& s, const std::string& alarm, bool on, std::int64_t t);
    void unacknowledged(Station& s, const std::string& what);
    void check_battery(Station& s, std::int64_t t);
    void check_position(Station& s, std::int64_t t);
    bool overdue(const Station& s) const;   // silent too long, not yet told
    bool due() const;                        // something for check_overdue to do
    void check_overdue();
    bool silence_due(std::int64_t wall_now) const;
    void check_silence(std::int64_t wall_now);
    std::int64_t emit(Station& s, std::int64_t t, const char* event, nlohmann::ordered_json extra = {});
    std::int64_t emit_event(std::int64_t t, std::optional<std::uint32_t> mmsi, const std::string& name,
                            const char* event, nlohmann::ordered_json extra);

    Store& store_;
    Options opt_;
    Sink sink_;
    std::map<std::uint32_t, Station> stations_;
    std::map<std::uint32_t, std::uint64_t> removed_;
    std::map<std::uint32_t, UnknownRow> unknown_;
    std::vector<InputState> inputs_;
    std::uint64_t rev_ = 0;
    long bad_times_ = 0;
    std::optional<std::int64_t> bad_time_told_;   // of messages from no input
    std::vector<std::int64_t> unknown_told_;      // the latest hour's unknown_station events
    bool all_silent_ = false;
    std::optional<std::int64_t> clock_;
    nlohmann::json dispatch_;

    // The transaction under way: events to tell once kept, and what to put back if it fails.
    std::vector<nlohmann::ordered_json> pending_;
    std::map<std::uint32_t, std::optional<Station>> undo_;
    std::map<std::uint32_t, std::optional<UnknownRow>> undo_unknown_;

    // The database's failures: counted, told, and stored once it works again.
    long store_errors_ = 0;
    std::optional<std::string> last_error_;
    std::optional<std::int64_t> last_error_time_, store_error_told_;
    bool store_failing_ = false;
    std::int64_t retry_at_ = 0;
    std::vector<std::pair<std::int64_t, nlohmann::ordered_json>> unsaved_;
};

}  // namespace zelmora::shore
