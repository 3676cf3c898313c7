#include "soak.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ais/ais.h"
#include "board.h"
#include "unit.h"
#include "unit_config.h"
#include "utc.h"
#include "wiring.h"

namespace zsoak {
namespace {

using zplat::kSec;
using zplat::vtime;

constexpr vtime kMinute = 60 * kSec;
constexpr vtime kHour = 60 * kMinute;
constexpr vtime kDay = 24 * kHour;

// The event log in the EEPROM: the unit's restart counter at 252 and the
// write index at 254 (most significant byte first), then a ring of 513
// records of 8 bytes from 256: packed date (4), second, event code, data (2).
constexpr size_t kRestartCounterAt = 252;
constexpr size_t kLogIndexAt = 254;
constexpr size_t kLogAt = 256;
constexpr size_t kRecord = 8;
constexpr unsigned kLogSlots = 513;
constexpr uint8_t kStartUp = 15;
constexpr unsigned kAlarms = 7;   // codes 1..14: raise (odd) and clear (even) of each
constexpr size_t kNotes = 5;      // anomalies quoted per kind; the rest only counted

// Growth of the resident set from the end of the first day to the end that
// still counts as none: allocator slack, not a leak.
constexpr long kRssToleranceKib = 512;

using Record = std::array<uint8_t, kRecord>;

long rss_kib() {
    long size = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

unsigned word_at(const std::vector<uint8_t>& e, size_t at) { return static_cast<unsigned>(e[at] << 8 | e[at + 1]); }

Record record_at(const std::vector<uint8_t>& e, unsigned slot) {
    Record r;
    for (size_t i = 0; i < kRecord; ++i) r[i] = e[kLogAt + slot * kRecord + i];
    return r;
}

bool blank(const Record& r) {
    bool zero = true, erased = true;
    for (uint8_t b : r) {
        zero = zero && b == 0x00;
        erased = erased && b == 0xFF;
    }
    return zero || erased;
}

// The record's date as one ordered number (year, month, day, hour, minute,
// second); 0 for a date that is not one.
uint64_t record_when(const Record& r) {
    const uint32_t p = static_cast<uint32_t>(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3];
    const uint64_t month = p / 100000000u, year = p / 1000000u % 100, day = p / 10000u % 100, hour = p / 100u % 100,
                   minute = p % 100, second = r[4];
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return 0;
    return ((((year * 100 + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second;
}

std::string when_text(uint64_t w) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "20%02u-%02u-%02u %02u:%02u:%02u", unsigned(w / 10000000000u),
                  unsigned(w / 100000000u % 100), unsigned(w / 1000000u % 100), unsigned(w / 10000u % 100),
                  unsigned(w / 100u % 100), unsigned(w % 100));
    return buf;
}

void note(std::vector<std::string>& notes, const std::string& what) {
    if (notes.size() < kNotes) notes.push_back(what);
}

struct Day {
    uint64_t reports = 0;        // "STATUS: " reports
    uint64_t minutes = 0;        // of them, the first with their minute
    uint64_t repeats = 0;        // of a minute already reported (a refresh after an alarm change)
    uint64_t events = 0;         // records logged
    uint64_t alarm_events = 0;   // of them, alarm raises and clears
    uint64_t msg6 = 0;           // Message 6 reports decoded from the air
};

// What the unit says on its console, line by line: its status reports and
// the records it logs ("New incidence (slot) => 8 bytes").
class Console {
public:
    Console(zsim::Board& b, unsigned first_slot) : b_(b) { next_slot = first_slot; }

    void byte(uint8_t c) {
        if (c == '\n') {
            take();
            line_.clear();
        } else if (c != '\r' && line_.size() < 256) {
            line_.push_back(static_cast<char>(c));
        }
    }

    Day& today() {
        const size_t d = static_cast<size_t>(b_.now() / kDay);
        if (days.size() <= d) days.resize(d + 1);
        return days[d];
    }

    std::vector<Day> days;
    int64_t last_minute = -1;   // of the last status report, minutes since 1970
    uint64_t missing = 0, backwards = 0, unreadable = 0;
    std::vector<std::string> status_notes;

    unsigned next_slot = 0;   // where the next record must go
    uint64_t events = 0, slot_jumps = 0;
    std::array<uint64_t, 256> by_code{};
    std::deque<std::pair<unsigned, Record>> recent;   // the last records logged, at most a ring's worth
    std::vector<std::string> log_notes;

private:
    void take() {
        size_t p = line_.find("STATUS: ");
        if (p != std::string::npos) status(line_.c_str() + p + 8);
        p = line_.find("New incidence (");
        if (p != std::string::npos) incidence(line_.c_str() + p + 15);
    }

    void status(const char* s) {
        Day& d = today();
        ++d.reports;
        int dd, mm, yy, hh, mi;
        if (std::sscanf(s, "%d/%d/%d %d:%d", &dd, &mm, &yy, &hh, &mi) != 5) {
            ++unreadable;
            note(status_notes, "unreadable status report \"" + std::string(s) + "\"");
            return;
        }
        const int64_t minute = zsim::to_epoch(zsim::Civil{2000 + yy, mm, dd, hh, mi, 0}) / 60;
        if (last_minute >= 0 && minute == last_minute) {
            ++d.repeats;
            return;
        }
        ++d.minutes;
        if (last_minute >= 0 && minute < last_minute) {
            ++backwards;
            note(status_notes, "status report of " + std::string(s) + " after a later one");
        } else if (last_minute >= 0 && minute > last_minute + 1) {
            missing += static_cast<uint64_t>(minute - last_minute - 1);
            note(status_notes, std::to_string(minute - last_minute - 1) + " minute(s) without a report before " + s);
        }
        last_minute = minute;
    }

    void incidence(const char* s) {
        unsigned slot;
        unsigned v[kRecord];
        if (std::sscanf(s, "%u) => %x %x %x %x %x %x %x %x", &slot, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                        &v[7]) != 9) {
            note(log_notes, "unreadable event line \"" + std::string(s) + "\"");
            ++slot_jumps;
            return;
        }
        Record r;
        for (size_t i = 0; i < kRecord; ++i) r[i] = static_cast<uint8_t>(v[i]);
        if (slot != next_slot) {
            ++slot_jumps;
            note(log_notes, "event written to slot " + std::to_string(slot) + ", expected " + std::to_string(next_slot));
        }
        next_slot = (slot + 1) % kLogSlots;
        ++events;
        Day& d = today();
        ++d.events;
        ++by_code[r[5]];
        if (r[5] >= 1 && r[5] <= 2 * kAlarms) ++d.alarm_events;
        recent.emplace_back(slot, r);
        if (recent.size() > kLogSlots) recent.pop_front();
    }

    zsim::Board& b_;
    std::string line_;
};

// The transponder's transmissions as a shore receiver decodes them.
class Air {
public:
    Air(zsim::Board& b, uint32_t mmsi) : b_(b), mmsi_(mmsi) {}

    void line(const std::string& l) { take(dec_.feed(l, ++n_)); }
    void finish() { take(dec_.finish()); }

    uint64_t msg6 = 0, reports = 0, msg21 = 0, other = 0, errors = 0;
    std::vector<std::string> notes;
    std::vector<uint64_t> msg6_per_day;

private:
    void take(const zelmora::ais::Output& o) {
        for (const zelmora::ais::Message& m : o.messages) {
            if (m.type == 21) {
                ++msg21;
            } else if (m.type != 6) {
                ++other;
                note(notes, "line " + std::to_string(m.line) + ": a Message " + std::to_string(m.type));
            } else {
                ++msg6;
                const size_t d = static_cast<size_t>(b_.now() / kDay);
                if (msg6_per_day.size() <= d) msg6_per_day.resize(d + 1);
                ++msg6_per_day[d];
                const bool ok = m.report && m.report->ids_match() && m.mmsi == mmsi_ && m.dac == zelmora::ais::kReportDac &&
                                m.fi == zelmora::ais::kReportFi && m.dest_mmsi == b_.transponder().destination();
                if (ok) {
                    ++reports;
                } else {
                    note(notes, "line " + std::to_string(m.line) + ": Message 6 from " + std::to_string(m.mmsi) +
                                    (m.report ? "" : ", not a monitoring report"));
                }
            }
        }
        for (const zelmora::ais::Error& e : o.errors) {
            ++errors;
            note(notes, "line " + std::to_string(e.line) + ": " + e.text);
        }
    }

    zsim::Board& b_;
    uint32_t mmsi_;
    zelmora::ais::Decoder dec_;
    long n_ = 0;
};

// Slots of a message at `slot_s` seconds past the minute, every `interval_s`
// from the world's UTC midnight, that fall in [from, to) of virtual time.
uint64_t slots_between(const zsim::Scenario& sc, vtime slot_offset, int interval_s, vtime from, vtime to) {
    if (interval_s <= 0 || to <= from) return 0;
    const int64_t midnight = -(zsim::to_epoch(sc.utc_start) % 86400) * static_cast<int64_t>(kSec);
    const int64_t base = midnight + static_cast<int64_t>(slot_offset);
    const int64_t period = interval_s * static_cast<int64_t>(kSec);
    auto first_at_or_after = [&](int64_t t) {   // index n >= 0 of the first slot at or after t
        const int64_t d = t - base;
        return d <= 0 ? 0 : (d + period - 1) / period;
    };
    return static_cast<uint64_t>(first_at_or_after(static_cast<int64_t>(to)) -
                                 first_at_or_after(static_cast<int64_t>(from)));
}

struct Checks {
    bool all = true;
    void add(bool ok, const std::string& name, const std::string& detail) {
        std::printf("CHECK %s  %s: %s\n", ok ? "PASS" : "FAIL", name.c_str(), detail.c_str());
        all = all && ok;
    }
};

void print_notes(const std::vector<std::string>& notes) {
    for (const std::string& n : notes) std::printf("    %s\n", n.c_str());
}

std::string u(uint64_t v) { return std::to_string(v); }

struct LogFigures {
    unsigned records = 0, index = 0;
    uint64_t oldest = 0, newest = 0;
    unsigned start_ups = 0;
    std::vector<std::string> problems;
};

// The event log as the EEPROM holds it, against what the unit logged:
// `initial_records` were in the ring before the run, which started with the
// write index at `initial_index`.
LogFigures read_log(const std::vector<uint8_t>& e, const Console& c, unsigned initial_records, unsigned initial_index) {
    LogFigures f;
    f.index = word_at(e, kLogIndexAt);
    const unsigned expected_index = static_cast<unsigned>((initial_index + c.events) % kLogSlots);
    if (f.index != expected_index)
        f.problems.push_back("write index " + u(f.index) + " after " + u(c.events) + " events from " +
                             u(initial_index) + ", expected " + u(expected_index));
    if (c.slot_jumps != 0) f.problems.push_back(u(c.slot_jumps) + " event(s) not written to the next slot");
    for (const std::string& n : c.log_notes) f.problems.push_back(n);

    // The ring from the write index on (the oldest record) round to the newest.
    const bool whole = initial_records + c.events < kLogSlots;   // every event since power-on still there
    std::array<int, kAlarms> raised;
    raised.fill(whole ? 0 : -1);   // -1: unknown, the raise or clear before the oldest record is gone
    const unsigned start = f.index < kLogSlots ? f.index : 0;
    uint64_t previous = 0;
    for (unsigned k = 0; k < kLogSlots; ++k) {
        const unsigned slot = (start + k) % kLogSlots;
        const Record r = record_at(e, slot);
        if (blank(r)) continue;
        ++f.records;
        const uint8_t code = r[5];
        const uint64_t when = record_when(r);
        const std::string at = "slot " + u(slot) + " (event " + u(code) + ")";
        if (code < 1 || code > kStartUp) f.problems.push_back(at + ": not an event code");
        if (when == 0) {
            f.problems.push_back(at + ": not a date");
        } else {
            if (when < previous)
                f.problems.push_back(at + ": dated " + when_text(when) + ", before the record ahead of it (" +
                                     when_text(previous) + ")");
            previous = when;
            if (f.oldest == 0) f.oldest = when;
            f.newest = when;
        }
        if (code == kStartUp) ++f.start_ups;
        if (code >= 1 && code <= 2 * kAlarms) {
            const unsigned a = (code - 1u) / 2u;
            const int up = code % 2;   // odd codes raise
            if (raised[a] == up) f.problems.push_back(at + (up ? ": raised while already up" : ": cleared while not up"));
            raised[a] = up;
        }
    }
    const uint64_t expected_records = std::min<uint64_t>(initial_records + c.events, kLogSlots);
    if (f.records != expected_records)
        f.problems.push_back(u(f.records) + " records in the ring, expected " + u(expected_records));
    // The newest records are the ones the unit said it logged, byte for byte.
    for (const auto& [slot, r] : c.recent)
        if (record_at(e, slot) != r) f.problems.push_back("slot " + u(slot) + " differs from what the unit logged there");
    if (f.problems.size() > kNotes) {
        const size_t more = f.problems.size() - kNotes;
        f.problems.resize(kNotes);
        f.problems.push_back("... and " + u(more) + " more");
    }
    return f;
}

struct PhaseSetup {
    const char* title;
    zsim::Scenario scenario;
    vtime length;
    bool memory;        // check the resident set (the main run only)
    std::string chip;   // the image on the chip's core; empty: the host build
};

struct PhaseResult {
    uint64_t events = 0;
    double ratio = 0;
};

PhaseResult run_phase(const PhaseSetup& p, Checks& checks) {
    zsim::Board b(p.scenario);
    std::unique_ptr<zchip::ChipUnit> chip;
    if (!p.chip.empty()) chip = std::make_unique<zchip::ChipUnit>(b, p.chip);
    const std::vector<uint8_t>& e = b.eeprom().contents();
    const zcfg::Config cfg = zcfg::decode(std::vector<uint8_t>(e.begin(), e.begin() + zcfg::kAreaSize), nullptr);
    const uint32_t mmsi = static_cast<uint32_t>(cfg[*zcfg::find("station.mmsi")].number);
    const unsigned raw_index = word_at(e, kLogIndexAt);
    const unsigned initial_index = raw_index < kLogSlots ? raw_index : 0;   // as the unit reads it
    const unsigned raw_restarts = word_at(e, kRestartCounterAt);
    unsigned initial_records = 0;
    for (unsigned s = 0; s < kLogSlots; ++s) initial_records += !blank(record_at(e, s));

    Console console(b, initial_index);
    Air air(b, mmsi);
    b.set_console_capture(false);
    b.set_console_sink([&console](uint8_t c) { console.byte(c); });
    b.transponder().set_air_capture(false);
    b.transponder().set_air_sink([&air](const std::string& l) { air.line(l); });

    std::printf("== %s: %s, %.2f virtual days, station MMSI %u%s%s\n", p.title, p.scenario.name.c_str(),
                static_cast<double>(p.length) / kDay, mmsi, chip ? ", chip image " : "", p.chip.c_str());
    std::fflush(stdout);
    const auto t0 = std::chrono::steady_clock::now();
    long rss_base = 0;
    std::string rss_base_when;
    std::vector<std::string> log_notes;
    const size_t days = static_cast<size_t>((p.length + kDay - 1) / kDay);
    for (size_t d = 0; d < days; ++d) {
        const vtime end = std::min<vtime>(static_cast<vtime>(d + 1) * kDay, p.length);
        // With a single day or less the baseline is taken a quarter of the way in.
        if (p.memory && p.length <= kDay && rss_base == 0) {
            b.run_until(end / 4);
            rss_base = rss_kib();
            char when[48];
            std::snprintf(when, sizeof when, "after %.2f virtual hours", static_cast<double>(end / 4) / kHour);
            rss_base_when = when;
        }
        b.run_until(end);
        if (chip && chip->faulted()) {
            // The core stopped for good: time stands, the checks below say what went missing.
            std::printf("the chip image stopped on a fault at %.3f virtual hours:\n%s", static_cast<double>(b.now()) / kHour,
                        chip->fault_report().c_str());
            break;
        }
        const Day dd = d < console.days.size() ? console.days[d] : Day{};
        const uint64_t on_air = d < air.msg6_per_day.size() ? air.msg6_per_day[d] : 0;
        const long rss = rss_kib();
        if (p.memory && p.length > kDay && d == 0) {
            rss_base = rss;
            rss_base_when = "at the end of day 1";
        }
        // A consistent log at every day's end, not only at the last.
        const LogFigures lf = read_log(e, console, initial_records, initial_index);
        if (!lf.problems.empty() && log_notes.empty()) {
            log_notes.push_back("at the end of day " + u(d + 1) + ":");
            log_notes.insert(log_notes.end(), lf.problems.begin(), lf.problems.end());
        }
        const auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("day %3zu: status reports %" PRIu64 " (%" PRIu64 " minutes, %" PRIu64
                    " more after alarm changes; %" PRIu64 " alarm events), events logged %" PRIu64
                    " (log index %u), Message 6 on the air %" PRIu64 ", rss %ld KiB, wall %.1f s\n",
                    d + 1, dd.reports, dd.minutes, dd.repeats, dd.alarm_events, dd.events, lf.index, on_air, rss, wall);
        std::fflush(stdout);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    air.finish();
    const long rss_end = rss_kib();

    PhaseResult result;
    result.events = console.events;
    result.ratio = static_cast<double>(b.now()) / kSec / wall;

    // Status reports: one a minute from the end of the first minute on (the
    // unit measures a minute after power-on), plus a refresh per alarm change.
    {
        bool ok = console.missing == 0 && console.backwards == 0 && console.unreadable == 0;
        uint64_t reports = 0, minutes = 0, repeats = 0, alarm_events = 0;
        std::vector<std::string> notes = console.status_notes;
        for (size_t d = 0; d < days; ++d) {
            const Day day = d < console.days.size() ? console.days[d] : Day{};
            reports += day.reports;
            minutes += day.minutes;
            repeats += day.repeats;
            alarm_events += day.alarm_events;
            const vtime from = static_cast<vtime>(d) * kDay;
            const vtime to = std::min<vtime>(from + kDay, p.length);
            const uint64_t expected = static_cast<uint64_t>((to - from) / kMinute) - (d == 0 ? 1 : 0);
            if (day.minutes != expected) {
                ok = false;
                note(notes, "day " + u(d + 1) + ": " + u(day.minutes) + " minutes reported, expected " + u(expected));
            }
            if (day.repeats > day.alarm_events) {
                ok = false;
                note(notes, "day " + u(d + 1) + ": " + u(day.repeats) + " repeated reports for " + u(day.alarm_events) +
                                " alarm changes");
            }
        }
        const uint64_t expected = static_cast<uint64_t>(p.length / kMinute) - 1;
        if (minutes != expected) ok = false;
        checks.add(ok, "status reports",
                   u(reports) + " reports: " + u(minutes) + " minutes of " + u(expected) + ", " + u(console.missing) +
                       " missing, " + u(repeats) + " more after " + u(alarm_events) + " alarm changes");
        print_notes(notes);
    }

    // Message 6: every slot from the transponder's start-up on; the ones
    // within the first minute go out empty (the first report waits for the
    // first minute's measurement).
    {
        const zsim::Transponder& x = b.transponder();
        const zsim::Transponder::Counters& n = x.counters();
        const zsim::TransponderSetup& ts = p.scenario.transponder;
        const vtime slot6 = zsim::Transponder::kMsg6Slot * kMinute / 2250;
        const vtime slot21 = zsim::Transponder::kMsg21Slot * kMinute / 2250;
        const vtime boot = zsim::Transponder::kBootTime;
        const uint64_t slots = slots_between(p.scenario, slot6, ts.msg6_interval_s, boot, p.length);
        const uint64_t empty = slots_between(p.scenario, slot6, ts.msg6_interval_s, boot, kMinute);
        const uint64_t slots21 = slots_between(p.scenario, slot21, ts.msg21_interval_s, boot, p.length);
        const uint64_t pending = x.load_pending() ? 1 : 0;
        const bool ok = n.msg6 + n.empty == slots && n.empty == empty && n.loads == n.msg6 + pending &&
                        air.msg6 == n.msg6 && air.reports == n.msg6 && air.errors == 0 && air.other == 0 &&
                        n.msg21 == slots21 && air.msg21 == n.msg21;
        std::printf("transponder: Message 6 slots %" PRIu64 " (expected %" PRIu64 "), sent %" PRIu64
                    ", empty (TXT 62) %" PRIu64 " (expected %" PRIu64 "), loads %" PRIu64 " (%" PRIu64
                    " pending), NAKs %" PRIu64 "; Message 21 %" PRIu64 " (expected %" PRIu64 ")\n",
                    n.msg6 + n.empty, slots, n.msg6, n.empty, empty, n.loads, pending, n.naks, n.msg21, slots21);
        std::printf("air: Message 6 %" PRIu64 ", of them monitoring reports from %u to %u: %" PRIu64
                    "; Message 21 %" PRIu64 "; other %" PRIu64 "; decoding errors %" PRIu64 "\n",
                    air.msg6, mmsi, x.destination(), air.reports, air.msg21, air.other, air.errors);
        checks.add(ok, "Message 6",
                   u(n.msg6) + " sent of " + u(slots - empty) + " due, " + u(air.reports) +
                       " valid reports on the air, " + u(n.empty) + " empty slot(s) before the first measurement");
        print_notes(air.notes);
    }

    // Restarts: the power-on alone.
    {
        const unsigned counter = word_at(e, kRestartCounterAt);
        const unsigned expected_counter = raw_restarts == 0xFFFF ? 0 : (raw_restarts + 1) & 0xFFFF;
        const bool ok = b.restarts() == 0 && console.by_code[kStartUp] == 1 && counter == expected_counter;
        checks.add(ok, "no restart", u(b.restarts()) + " restarts, " + u(console.by_code[kStartUp]) +
                                         " start-up event(s) logged, restart counter " + u(counter));
    }

    // The event log.
    {
        const LogFigures lf = read_log(e, console, initial_records, initial_index);
        const bool wrapped = initial_records + console.events > kLogSlots;
        std::string codes;
        for (unsigned c = 0; c < console.by_code.size(); ++c)
            if (console.by_code[c] != 0) codes += " " + u(c) + "x" + u(console.by_code[c]);
        std::printf("event log: %" PRIu64 " events written (by code:%s), %u records in the ring of %u, write index %u, "
                    "%s; oldest %s, newest %s\n",
                    console.events, codes.c_str(), lf.records, kLogSlots, lf.index,
                    wrapped ? "wrapped" : "not wrapped", lf.oldest ? when_text(lf.oldest).c_str() : "-",
                    lf.newest ? when_text(lf.newest).c_str() : "-");
        const bool ok = lf.problems.empty() && log_notes.empty();
        checks.add(ok, "event log",
                   u(console.events) + " events, " + u(lf.records) + " records in ring order, dates non-decreasing, "
                       "valid codes, alarms alternating, index advancing once per event" +
                       (wrapped ? " across the wrap" : " (no wrap)"));
        print_notes(lf.problems);
        print_notes(log_notes);
    }

    if (chip) checks.add(!chip->faulted(), "chip image", chip->faulted() ? "stopped on a fault" : "ran without a fault");

    if (p.memory) {
        const long growth = rss_end - rss_base;
        checks.add(growth <= kRssToleranceKib, "memory",
                   "resident set " + std::to_string(rss_base) + " KiB " + rss_base_when + ", " + std::to_string(rss_end) +
                       " KiB at the end (growth " + std::to_string(growth) + " KiB, tolerance " +
                       std::to_string(kRssToleranceKib) + ")");
    }
    std::printf("%s: %.2f virtual days in %.1f s wall: %.*fx real time\n", p.title,
                static_cast<double>(p.length) / kDay, wall, chip ? 1 : 0, result.ratio);
    std::fflush(stdout);
    return result;
}

// The default world with the lantern housing door (input 1) opened for half
// a minute every minute: two events a minute, enough to go round the ring.
PhaseSetup wrap_setup() {
    PhaseSetup p{"wrap run", zsim::Scenario::builtin(), 6 * kHour, false, ""};
    p.scenario.name = "default, door opened every minute from 0:10 to 5:40";
    for (int i = 0; i < 330; ++i) {
        const vtime at = 10 * kMinute + i * kMinute + 20 * kSec;
        p.scenario.pin_actions.push_back({at, zsim::wiring::kInput[0], zsim::LineState::Low});
        p.scenario.pin_actions.push_back({at + 30 * kSec, zsim::wiring::kInput[0], zsim::LineState::Open});
    }
    return p;
}

}  // namespace

int run(const Options& o) {
    Checks checks;
    const PhaseSetup main{"soak", zsim::Scenario::builtin(), static_cast<vtime>(o.days * static_cast<double>(kDay)), true,
                          o.chip};
    const PhaseResult r = run_phase(main, checks);
    if (r.events < kLogSlots && o.days >= 1) {
        std::printf("the event log did not wrap in %.3g day(s): %" PRIu64 " events for %u slots; a second run goes round it\n",
                    o.days, r.events, kLogSlots);
        std::fflush(stdout);
        PhaseSetup wrap = wrap_setup();
        wrap.chip = o.chip;
        run_phase(wrap, checks);
    } else if (r.events < kLogSlots) {
        std::printf("the event log did not wrap in %.3g day(s); a soak of a day or more goes round it\n", o.days);
    }
    std::printf("soak: %s; virtual/wall ratio of the %.3g-day run %.*f\n", checks.all ? "every check passed" : "FAILED",
                o.days, o.chip.empty() ? 0 : 1, r.ratio);
    std::fflush(stdout);
    return checks.all ? 0 : 1;
}

}  // namespace zsoak
