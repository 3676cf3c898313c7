// Losses of supply and what the unit must keep through them, checked the
// same way whichever unit runs on the board: the host build's firmware
// (tests/power/) or the chip image (tests/chip/).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "default_image.h"
#include "frame.h"
#include "text_support.h"
#include "unit_config.h"

namespace zfault {

using zplat::kMs;
using zplat::kSec;
using zplat::vtime;
using Bytes = std::vector<uint8_t>;
using Ring = std::map<int, Bytes>;   // slot -> record

constexpr uint32_t kOldMmsi = 992241234;   // tools/default-config.toml
constexpr uint32_t kNewMmsi = 992249876;

// Puts another unit on a fresh board in place of the host build's firmware
// (the chip image); empty: the host build runs.
using Attach = std::function<std::unique_ptr<zsim::ExternalUnit>(zsim::Board&)>;

// A board and the unit on it (declared after the board: it goes first).
struct Bench {
    zsim::Board b;
    std::unique_ptr<zsim::ExternalUnit> unit;
    Bench(const zsim::Scenario& sc, const Attach& attach) : b(sc) {
        if (attach) unit = attach(b);
    }
};

// Where a sweep cuts: every step_ms-th millisecond of its window (0: none
// but the last), the last one, and with `edges` the first whole millisecond
// of every write cycle (each one torn). `started`: the unit up, identified and logged; `settle`:
// from a cut (or the PC's write) until the unit is looked at.
struct Sweep {
    Attach attach;
    int step_ms = 1;
    bool edges = false;
    vtime started = 20 * kSec;
    vtime settle = 20 * kSec;
};

// The records the ring holds (neither wiped to zeros nor erased).
inline Ring records(zsim::Board& b) {
    Ring r;
    const auto& m = b.eeprom().contents();
    for (int k = 0; k < 513; ++k) {
        const Bytes rec(m.begin() + 256 + 8 * k, m.begin() + 264 + 8 * k);
        if (rec != Bytes(8, 0x00) && rec != Bytes(8, 0xFF)) r[k] = rec;
    }
    return r;
}

// Records of `before` that `after` no longer holds byte for byte.
inline int lost(const Ring& before, const Ring& after) {
    int n = 0;
    for (const auto& [slot, rec] : before) {
        const auto it = after.find(slot);
        if (it == after.end() || it->second != rec) ++n;
    }
    return n;
}

inline int code15(const Ring& r) {
    int n = 0;
    for (const auto& [slot, rec] : r) n += rec[5] == 15;
    return n;
}

// Bytes from the PC on the console port (the host build's and the chip's).
inline void send(zsim::Board& b, const Bytes& frame) {
    zplat::uart_by_index(0)->host_feed(frame.data(), frame.size(), b.now(), 38400);
}

inline Bytes area_of(const Bytes& image) { return Bytes(image.begin(), image.begin() + 98); }

// The configuration written as the PC program writes it: one request, with reload.
inline Bytes store(const Bytes& area) { return zpc::encode(zpc::Request::store(0, area, true)); }

// When the EEPROM's write cycles start from `from` until `to`, to the
// millisecond: each began within the millisecond before the time given.
inline std::vector<vtime> cycles(zsim::Board& b, vtime from, vtime to) {
    std::vector<vtime> at;
    b.run_until(from);
    uint32_t n = b.eeprom().write_cycles();
    while (b.now() < to) {
        b.run_for(kMs);
        if (b.eeprom().write_cycles() != n) at.push_back(b.now() - kMs);
        n = b.eeprom().write_cycles();
    }
    return at;
}

// The cuts of a sweep over [from, to] around the write cycles `w`.
inline std::vector<vtime> cut_times(const Sweep& sw, vtime from, vtime to, const std::vector<vtime>& w) {
    std::set<vtime> at;
    if (sw.step_ms > 0)
        for (vtime t = from; t <= to; t += static_cast<vtime>(sw.step_ms) * kMs) at.insert(t);
    at.insert(to);
    if (sw.edges)
        for (vtime c : w) at.insert(c + kMs);
    return {at.begin(), at.end()};
}

// Cuts that fall inside a write cycle whatever its start within its millisecond.
inline int surely_torn(const std::vector<vtime>& cuts, const std::vector<vtime>& w) {
    int n = 0;
    for (vtime t : cuts)
        n += std::any_of(w.begin(), w.end(), [t](vtime c) { return t >= c + kMs && t <= c + 4 * kMs; });
    return n;
}

// The shipped configuration with most of its values changed: a torn page
// mixes them all.
inline Bytes another_configuration() {
    std::ifstream f(std::string(ZELMORA_SOURCE_DIR) + "/tools/default-config.toml");
    std::string text((std::istreambuf_iterator<char>(f)), {});
    const std::pair<const char*, const char*> changes[] = {
        {"mmsi = 992241234", "mmsi = 992249876"}, {"\"ZELMORA NORTE\"", "\"FARO SUR\""},
        {"\"EAZN1\"", "\"EAFS2\""}, {"dimension_to_bow = 2", "dimension_to_bow = 300"},
        {"serial_number = 4711", "serial_number = 1000003"}, {"communication_state = 393222", "communication_state = 12345"},
        {"alarm_off = 12.4", "alarm_off = 12.9"}, {"low_battery = 11.8", "low_battery = 11.1"},
        {"charger_off = 14.4", "charger_off = 13.9"}, {"charger_on = 13.2", "charger_on = 12.7"},
        {"min_satellites = 4", "min_satellites = 7"}, {"max_quality = 20", "max_quality = 13"},
        {"clock_update_minutes = 60", "clock_update_minutes = 195"}, {"type = 2", "type = 1"},
        {"debounce = 20", "debounce = 9000"}, {"active = \"low\"", "active = \"high\""}};
    for (const auto& [from, to] : changes) {
        const size_t at = text.find(from);
        if (at == std::string::npos) throw std::runtime_error(std::string("not in the configuration: ") + from);
        text.replace(at, std::strlen(from), to);
    }
    return zcfg::encode_area(zcfg::from_toml(text, "another"));
}

// A configuration write from the PC (the whole area, most values changed),
// cut at the sweep's milliseconds: the transponder is only ever given the
// old MMSI or the new one, a torn page is said and leaves it the old, and
// the PC's second write puts things right.
inline void configuration_write_sweep(const Sweep& sw) {
    const Bytes old_area = area_of(zsim::default_eeprom_image());
    const Bytes new_area = another_configuration();
    ASSERT_EQ(new_area.size(), old_area.size());

    const vtime t0 = sw.started;
    std::vector<vtime> w;
    {
        Bench u(zsim::Scenario::builtin(), sw.attach);
        u.b.run_until(t0);
        send(u.b, store(new_area));
        w = cycles(u.b, t0, t0 + 200 * kMs);
    }
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.size(), 3u);   // the mark, the page, the mark erased

    const std::vector<vtime> cuts = cut_times(sw, t0, w.back() + 10 * kMs, w);
    int torn = 0;
    for (vtime cut : cuts) {
        SCOPED_TRACE("cut at +" + std::to_string((cut - t0) / kMs) + " ms");
        zsim::Scenario sc = zsim::Scenario::builtin();
        sc.seed = static_cast<uint64_t>(cut / kMs);   // a tear of its own for every cut
        sc.power.power_cuts.push_back({cut, 300 * kMs});
        Bench u(sc, sw.attach);
        zsim::Board& b = u.b;
        b.run_until(t0);
        send(b, store(new_area));
        b.run_for(sw.settle);
        torn += static_cast<int>(b.eeprom().torn_cycles());
        ASSERT_EQ(b.power_losses(), 1u);
        EXPECT_EQ(b.restarts(), 0u);   // nothing for the watchdog
        EXPECT_EQ(count(b.console(), "END SETUP"), 2u);
        EXPECT_EQ(count(b.console(), "\t\tIncidencia:15\t"), 2u);
        const Bytes stored = area_of(b.eeprom().contents());
        const uint32_t on_air = b.transponder().mmsi();
        EXPECT_TRUE(on_air == kOldMmsi || on_air == kNewMmsi) << on_air;
        if (stored != old_area && stored != new_area) {
            // Torn: said so, and the transponder keeps the MMSI it has.
            EXPECT_EQ(on_air, kOldMmsi);
            EXPECT_EQ(count(b.console(), "ERROR CONFIGURACION: escritura interrumpida\r\n"), 1u);
        }
        // The PC writes it again, as its program does after a write that failed.
        send(b, store(new_area));
        b.run_for(sw.settle);
        EXPECT_EQ(area_of(b.eeprom().contents()), new_area);
        EXPECT_EQ(b.transponder().mmsi(), kNewMmsi);
    }
    const int expected = surely_torn(cuts, w);
    EXPECT_GE(torn, expected);   // the sweep went through the write cycles
    if (sw.edges || (sw.step_ms > 0 && sw.step_ms <= 4)) {
        EXPECT_GE(expected, 3);
    }
}

// Slots 0..253 hold events and the index names slot 254, as a log kept
// before the index had its copies. The start-up's event goes to 254, making
// the copies first; the alarm of input 1 (closed at 8 s) goes to 255, its
// index carrying into the high byte.
inline zsim::Scenario log_world(uint64_t seed) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.seed = seed;
    sc.pin_actions = {{8 * kSec, 44, zsim::LineState::Low}};
    return sc;
}

inline void fill_log(zsim::Board& b) {
    Bytes recs;
    for (uint32_t k = 0; k < 254; ++k) {
        const uint32_t date = 1201260000u + k / 60 * 100 + k % 60;   // 1 December 2026 from 00:00
        recs.insert(recs.end(), {uint8_t(date >> 24), uint8_t(date >> 16), uint8_t(date >> 8), uint8_t(date), 0,
                                 uint8_t(k % 2 != 0 ? 6 : 5), 0, 0});
    }
    b.eeprom().poke(256, recs);
    b.eeprom().poke(252, {0x00, 0xFF, 0x00, 254});
}

// The two events of log_world cut at the sweep's milliseconds: every record
// written before a cut kept, the restart logged next, the index on it.
inline void event_log_sweep(const Sweep& sw) {
    // The write cycles of the two events, gathered by event.
    std::vector<std::vector<vtime>> events;
    {
        Bench u(log_world(1), sw.attach);
        fill_log(u.b);
        for (vtime t : cycles(u.b, 1 * kSec, 11 * kSec)) {
            if (events.empty() || t - events.back().back() > 100 * kMs) events.emplace_back();
            events.back().push_back(t);
        }
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].size(), 7u);   // the restart counter, the copies made, the record, the index three times
    EXPECT_EQ(events[1].size(), 4u);   // the record, the index three times

    int torn = 0, expected = 0;
    for (const std::vector<vtime>& w : events) {
        const std::vector<vtime> cuts = cut_times(sw, w.front() - 5 * kMs, w.back() + 10 * kMs, w);
        expected += surely_torn(cuts, w);
        for (vtime cut : cuts) {
            SCOPED_TRACE("cut at " + std::to_string(cut / kMs) + " ms");
            zsim::Scenario sc = log_world(static_cast<uint64_t>(cut / kMs));
            sc.power.power_cuts.push_back({cut, 300 * kMs});
            Bench u(sc, sw.attach);
            zsim::Board& b = u.b;
            fill_log(b);
            b.run_until(w.front() - 50 * kMs);
            const Ring before = records(b);
            b.run_until(w.back() + sw.settle);
            torn += static_cast<int>(b.eeprom().torn_cycles());
            const Ring after = records(b);
            EXPECT_EQ(lost(before, after), 0);
            // The restart logged after what was kept: no slot skipped, none
            // written twice, and the index the PC reads names the next.
            const std::string& c = b.console();
            ASSERT_EQ(count(c, "END SETUP"), 2u);
            EXPECT_EQ(count(c.substr(c.rfind("END SETUP")), "\t\tIncidencia:15\t"), 1u);
            EXPECT_GT(code15(after), code15(before));
            EXPECT_EQ(after.rbegin()->first + 1, static_cast<int>(after.size()));
            const auto& m = b.eeprom().contents();
            EXPECT_EQ(m[254] << 8 | m[255], static_cast<int>(after.size()));
        }
    }
    EXPECT_GE(torn, expected);
    if (sw.edges || (sw.step_ms > 0 && sw.step_ms <= 4)) {
        EXPECT_GE(expected, 11);   // every cycle of both events torn once
    }
}

// A brown-out as brownout.toml has it: on at `on_until`, off (console
// silent, transponder and GPS unpowered) from `off_from` to `off_until`,
// back by `end`: started and logged, low-battery alarm; started again and
// logged with the next count, alarm afresh (the first one went with the
// RAM), cleared; at least `reports` Message 6 sent after the restart.
struct Brownout {
    vtime on_until, off_from, off_until, end;
    size_t reports;
};

inline void check_brownout(zsim::Board& b, const Brownout& t) {
    b.run_until(t.on_until);
    EXPECT_TRUE(b.powered());
    b.run_until(t.off_from);
    EXPECT_FALSE(b.powered());
    EXPECT_FALSE(b.transponder().powered());
    EXPECT_FALSE(b.gps().powered());
    const size_t said = b.console().size();
    b.run_until(t.off_until);
    EXPECT_FALSE(b.powered());
    EXPECT_EQ(b.console().size(), said);   // not a byte while off
    b.run_until(t.end);
    EXPECT_TRUE(b.powered());
    EXPECT_EQ(b.power_losses(), 1u);
    EXPECT_EQ(b.restarts(), 0u);
    const std::string& c = b.console();
    EXPECT_EQ(count(c, "END SETUP"), 2u);
    size_t at = 0;
    for (const char* e : {"Incidencia:15\tDato:0\r\n", "Incidencia:1\tDato:", "END SETUP", "Incidencia:15\tDato:1\r\n",
                          "Incidencia:1\tDato:", "Incidencia:2\tDato:"}) {
        at = c.find(e, at);
        ASSERT_NE(at, std::string::npos) << e;
    }
    EXPECT_GE(count(c.substr(c.find("Incidencia:15\tDato:1")), "\tMsg 6 AIS sended => "), t.reports);
}

// winter-week.toml's first `days` days, to `end`: off every night, on again
// every morning, reports all day while on, each start logged, no watchdog.
inline void check_winter_week(zsim::Board& b, int days, vtime end) {
    constexpr vtime kHour = 3600 * kSec;
    std::vector<vtime> reports;   // Message 6 transmissions
    b.transponder().set_air_sink([&](const std::string& line) {
        // !AIVDM,<count>,1,<id>,<channel>,6...: the first sentence of a Message 6
        size_t f = 0;
        for (int i = 0; i < 5 && f != std::string::npos; ++i) f = line.find(',', f + 1);
        if (f != std::string::npos && line.compare(8, 2, ",1") == 0 && line[f + 1] == '6') reports.push_back(b.now());
    });
    for (int d = 0; d < days; ++d) {
        const vtime day = d * 24 * kHour;
        b.run_until(day + 6 * kHour);   // the battery flat before dawn
        EXPECT_FALSE(b.powered()) << "day " << d + 1;
        b.run_until(day + 10 * kHour);   // back since about 09:20
        EXPECT_TRUE(b.powered()) << "day " << d + 1;
        b.run_until(std::min(day + 24 * kHour, end));
        size_t today = 0;
        for (vtime t : reports) today += t > day && t < day + 24 * kHour;
        EXPECT_GT(today, 20u) << "day " << d + 1;   // every three minutes while on
    }
    b.run_until(end);
    b.transponder().set_air_sink(nullptr);
    const std::string& c = b.console();
    const size_t starts = static_cast<size_t>(days) + 1;   // midnight, then every morning
    EXPECT_EQ(count(c, "END SETUP"), starts);
    EXPECT_EQ(count(c, "\t\tIncidencia:15\t"), starts);
    EXPECT_EQ(b.restarts(), 0u);
    if (days == 7) {
        EXPECT_EQ(b.power_losses(), starts);   // every night, the first one too
        EXPECT_EQ(count(c, "\t\tIncidencia:1\t"), 2 * starts - 1);   // on every start, and every evening
        EXPECT_EQ(count(c, "\t\tIncidencia:2\t"), starts - 1);       // every midday
    }
}

}  // namespace zfault
