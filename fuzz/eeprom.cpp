// A whole EEPROM image into start-up: the configuration loader, the
// calibration factors, the restart counter and the event log, then what
// uses them (a measurement, the status report, alarms logged, a report
// load) and what the PC program makes of the image afterwards (its event
// log and its configuration, which must load back as shown).
//
// State byte 0: the RTC stopped or absent, DIP 1 and 4 (verbose power
// diagnostics), the EEPROM losing its writes. Then the image, over the
// default one: addresses 0..255 (configuration page, restart counter at
// 252, log index at 254), 0xFFF4..0xFFFB (calibration factors), the log
// ring from 256 on, then the log index's copies at 4608 and 4736.
//
// `zelmora-pc log` must read the image's write index as the unit does: its
// start-up record goes to the slot the PC program takes for the oldest.
#include <algorithm>
#include <string>

#include "Arduino.h"
#include "ais.h"
#include "comunicaciones_pc.h"
#include "default_image.h"
#include "event_log.h"
#include "fuzz.h"
#include "globals.h"
#include "procesado.h"
#include "unit.h"
#include "unit_config.h"
#include "zelmora.h"

namespace zfuzz {

namespace {
const char* const kName = "eeprom";

uint16_t be16(const std::vector<uint8_t>& m, size_t at) { return static_cast<uint16_t>(m[at] << 8 | m[at + 1]); }

// What `zelmora-pc log` makes of an image.
zpc::EventLog pc_log(const std::vector<uint8_t>& m) {
    return zpc::decode_log(std::vector<uint8_t>(m.begin() + zpc::kLogHeaderAt, m.begin() + zpc::kLogEnd),
                           be16(m, zpc::kLogIndexCopy1), be16(m, zpc::kLogIndexCopy2));
}

// What `zelmora-pc log` and `config show` make of the image.
void pc_view(const std::vector<uint8_t>& m) {
    const zpc::EventLog log = pc_log(m);
    for (const zpc::Event& e : log.events) {
        (void)e.when(false);
        (void)e.when(true);
        (void)e.name();
    }
    const std::vector<uint8_t> area(m.begin(), m.begin() + zcfg::kAreaSize);
    const zcfg::Config c = zcfg::decode(area, m.data() + zcfg::kCalibrationAt);
    const std::vector<std::string> problems = zcfg::problems(c);
    const std::string shown = zcfg::to_toml(c);
    bool keeps_rules = true;
    for (const zcfg::Field& f : zcfg::fields()) keeps_rules = keeps_rules && zcfg::refusal(f, c[f]).empty();
    if (!keeps_rules) return;
    zcfg::Config back;
    try {
        back = zcfg::from_toml(shown, "config show");
    } catch (const zcfg::ConfigError& e) {
        broken(kName, std::string("what config show prints does not load back: ") + e.what() + "\n" + shown);
    }
    for (const zcfg::Field& f : zcfg::fields()) {
        ZFUZZ_CHECK(kName, zcfg::same_stored(f, c[f], back[f]), std::string(f.key) + " loads back as another value");
    }
}
}  // namespace

void run_eeprom(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t s0 = in.byte();
    const bool lost = (s0 & 0x10) != 0;
    // The board and the clock are started once for each fitting of the
    // clock; what start-up makes of the image runs for every input.
    const uint32_t clock = s0 & 3;
    zsim::Board& b = start_from(kName, clock, [clock](zsim::Board& fresh) {
        fresh.rtc().refit((clock & 2) == 0, (clock & 1) == 0);
        arranque_placa();
    });
    b.inputs().set_dip(1, (s0 & 4) != 0);
    b.inputs().set_dip(4, (s0 & 8) != 0);
    std::vector<zsim::Window> lost_writes;
    if (lost) lost_writes.push_back({0, zplat::kNever});
    b.eeprom().refit(true, lost_writes);
    const std::string_view image = in.rest();
    const auto take = [&image](size_t n) {
        const std::string_view part = image.substr(0, std::min(n, image.size()));
        std::vector<uint8_t> v(part.begin(), part.end());
        return v;
    };
    std::vector<uint8_t> v = take(256);
    b.eeprom().poke(0, v);
    size_t used = v.size();
    v = take(used + 8);
    v.erase(v.begin(), v.begin() + static_cast<long>(std::min(used, v.size())));
    b.eeprom().poke(0xFFF4, v);
    used += v.size();
    if (image.size() > used) {
        const std::string_view ring = image.substr(used, zpc::kLogEnd - 256);
        b.eeprom().poke(256, std::vector<uint8_t>(ring.begin(), ring.end()));
        used += ring.size();
    }
    if (image.size() > used) {
        const std::string_view copies = image.substr(used, 4);
        b.eeprom().poke(zpc::kLogIndexCopy1, std::vector<uint8_t>(copies.begin(), copies.begin() + std::min<size_t>(2, copies.size())));
        if (copies.size() > 2) b.eeprom().poke(zpc::kLogIndexCopy2, std::vector<uint8_t>(copies.begin() + 2, copies.end()));
    }
    const std::vector<uint8_t> before = b.eeprom().contents();

    try {
        arranque_configuracion();
        ZFUZZ_CHECK(kName, configuracion_ais.lmmsi >= 1 && configuracion_ais.lmmsi <= 999999999,
                    "station MMSI loaded out of range");
        // The clock set from the GPS: the restart is logged, then a
        // measurement, the status report, alarms, a report load.
        balizaQ77.csincronizada = 1;
        loop();
        evaluacion_potencia_minuto();
        estado();
        enable_alarma(0);
        enable_alarma(6);
        disable_alarma(0);
        periferico1.lmmsi = configuracion_ais.lmmsi;
        periferico1.lmmsi_destino_msg6 = 1;
        periferico1.cextraigo = 2;
        composicion_tramas_meb_mensaje6();
        loop();
        check_buffers(kName);
    } catch (const zsim::UnitReset&) {
        broken(kName, "the unit restarted by itself");
    }

    const std::vector<uint8_t>& m = b.eeprom().contents();
    if (!lost) {
        const uint16_t old_restarts = be16(before, 252);
        ZFUZZ_CHECK(kName, be16(m, 252) == (old_restarts == 65535 ? 0 : old_restarts + 1),
                    "restart counter " + std::to_string(old_restarts) + " became " + std::to_string(be16(m, 252)));
        ZFUZZ_CHECK(kName, be16(m, 254) <= 512, "log index " + std::to_string(be16(m, 254)) + " past the ring");
        // The start-up record: the one slot that now holds code 15 with the
        // new restart count and held something else before.
        int restart_slot = -1, found = 0;
        for (int k = 0; k < zpc::kLogSlots; ++k) {
            const size_t at = zpc::kLogAt + static_cast<size_t>(k) * zpc::kLogRecord;
            if (m[at + 5] == 15 && be16(m, at + 6) == be16(m, 252) &&
                !std::equal(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + zpc::kLogRecord),
                            before.begin() + static_cast<long>(at))) {
                restart_slot = k;
                ++found;
            }
        }
        const zpc::EventLog was = pc_log(before);
        const int oldest = was.index_out_of_ring ? 0 : was.next_slot;
        ZFUZZ_CHECK(kName, found != 1 || restart_slot == oldest,
                    "the unit wrote its start-up record at slot " + std::to_string(restart_slot) +
                        ", where zelmora-pc log read the image's write index as " + std::to_string(oldest));
    }
    pc_view(m);
}

std::vector<Bytes> seeds_eeprom(const std::string&) {
    const std::vector<uint8_t> d = zsim::default_eeprom_image();
    const auto image = [&d](size_t log_bytes) {
        std::string s(d.begin(), d.begin() + 256);
        s.append(d.begin() + 0xFFF4, d.begin() + 0xFFFC);
        s.append(d.begin() + 256, d.begin() + 256 + static_cast<long>(log_bytes));
        return s;
    };
    std::vector<Bytes> out;
    out.push_back(seed({0}, image(0)));
    out.push_back(seed({0x0C}, image(64)));
    std::string used = image(0);
    used[252] = 0;
    used[253] = 7;
    used[254] = 0x02;
    used[255] = 0x00;   // index 512: the ring's last slot
    out.push_back(seed({0}, used));
    std::string erased(256 + 8, '\xFF');
    out.push_back(seed({0x0C}, erased));
    std::string log = image(0);
    for (int k = 0; k < 40; ++k) {
        const char rec[8] = {0x49, 0x14, static_cast<char>(0x84), 0x41, 0x1E, static_cast<char>(1 + k % 15), 0x04, 0x65};
        log.append(rec, 8);
    }
    log[254] = 0;
    log[255] = 40;
    out.push_back(seed({0x03}, log));
    return out;
}

}  // namespace zfuzz
