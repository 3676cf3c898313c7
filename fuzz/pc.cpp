// PC bytes on Serial0 into the frame gathering and the dispatcher, through
// the main loop, with the EEPROM attached: exports, writes (the
// configuration reloaded), wipes, the memory test, calibrations, test mode
// and its monitors, restart requests (the unit's reset ends the input).
//
// State bytes: 0 test mode and its monitors (GPS, battery, panel, DIP
// switches), the EEPROM absent or losing its writes, DIP 1 and 4 (verbose
// power diagnostics). Between bursts the line is quiet for longer than the
// 3 s after which the unit drops a partial request.
#include <cstring>
#include <string>
#include <vector>

#include "Arduino.h"
#include "Sodaq_wdt.h"
#include "frame.h"
#include "fuzz.h"
#include "globals.h"
#include "procesado.h"
#include "unit.h"
#include "zelmora.h"

namespace zfuzz {

namespace {
const char* const kName = "pc";
constexpr int kPassesPerBurst = 6;
constexpr int kMaxPauses = 4;

uint16_t crc16(const uint8_t* p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

std::string request(uint8_t cmd, uint8_t sub, uint32_t pos, const Bytes& data = {}, int count = -1) {
    Bytes f = {'@', 'O', 'R', 'V', static_cast<uint8_t>(13 + data.size()), cmd, sub, static_cast<uint8_t>(pos >> 16),
               static_cast<uint8_t>(pos >> 8), static_cast<uint8_t>(pos),
               static_cast<uint8_t>(count < 0 ? data.size() : static_cast<size_t>(count))};
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t c = crc16(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(static_cast<uint8_t>(c));
    return std::string(f.begin(), f.end());
}

Bytes with_float(uint8_t action, float v) {
    Bytes d(5, action);
    std::memcpy(&d[1], &v, 4);
    return d;
}

void run(zsim::Board& b, Input& in, uint8_t s0) {
    Feeder line(b, Serial0);
    if ((s0 & 1) != 0) {
        balizaQ77.ctest = 1;
        ulTUltimaTramaTestRecibida = millis();
        test.test_gps_activo = (s0 & 2) != 0 ? 5 : 0;
        test.test_bateria_activo = (s0 >> 2) & 1;
        test.test_corriente_panel_activo = (s0 >> 3) & 1;
        test.test_minidips_activo = (s0 >> 4) & 1;
    }
    int pauses = 0;
    bool first = true;
    for (std::string_view burst : bursts(in.rest())) {
        if (!first && pauses < kMaxPauses) {
            // The line quiet for longer than the unit waits for the rest of
            // a request it holds (a tenth of a second when it holds none:
            // virtual time costs the tick's interrupts); the main loop keeps
            // kicking the watchdog meanwhile.
            ++pauses;
            const uint32_t quiet = iBytesRx != 0 ? mTimeOut + 1 : 100;
            for (uint32_t waited = 0; waited < quiet;) {
                const uint32_t step = quiet - waited < 1000 ? quiet - waited : 1000;
                sodaq_wdt_reset();
                b.advance(step * zplat::kMs);
                waited += step;
            }
            loop();
        }
        first = false;
        line.give(burst);
        for (int pass = 0; pass < kPassesPerBurst; ++pass) {
            loop();
            check_buffers(kName);
            if (line.done() && Serial0.available() == 0) break;
            b.advance(zplat::kMs);
        }
    }
}
}  // namespace

void run_pc(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t s0 = in.byte();
    // The unit started once for each fitting of the EEPROM and DIP setting.
    const uint32_t fitting = s0 & 0xE0;
    zsim::Board& b = start_from(kName, fitting, [fitting](zsim::Board& fresh) {
        std::vector<zsim::Window> lost;
        if ((fitting & 0x40) != 0) lost.push_back({0, zplat::kNever});
        fresh.eeprom().refit((fitting & 0x20) == 0, lost);
        fresh.inputs().set_dip(1, (fitting & 0x80) != 0);
        fresh.inputs().set_dip(4, (fitting & 0x80) != 0);
        setup();
    });
    // What the PC program makes of the console: every reply whole, and an
    // export carries what the EEPROM holds.
    zpc::ReplyScanner pc;
    pc.on_damaged = [] { broken(kName, "a reply the PC program drops for its CRC"); };
    pc.on_reply = [&b](const zpc::Reply& r) {
        if (r.command != 0 || r.result != 1) return;
        const std::vector<uint8_t>& m = b.eeprom().contents();
        for (size_t i = 0; i < r.data.size(); ++i) {
            ZFUZZ_CHECK(kName, r.data[i] == m[(r.address + i) & 0xFFFFu],
                        "an export of " + std::to_string(r.address) + " that is not what the EEPROM holds");
        }
    };
    b.set_console_sink([&pc](uint8_t c) {
        note_sent(c);
        pc.feed(&c, 1);
    });
    try {
        run(b, in, s0);
    } catch (const zsim::UnitReset&) {
        // The restart the PC asked for: the unit goes through its reset, and
        // this input ends there.
        ZFUZZ_CHECK(kName, balizaQ77.creset == 1, "a reset nobody asked for");
    }
    b.set_console_sink(nullptr);
}

std::vector<Bytes> seeds_pc(const std::string&) {
    const std::string ping = request(3, 1, 0, {3});
    std::string config(98, '\0');
    const std::vector<std::string> parts = {
        ping,
        request(0, 0, 0, {}, 98) + request(0, 0, 256, {}, 128) + request(0, 0, 0xFFF4, {}, 8),
        request(1, 1, 230, {'T', 'E', 'S', 'T'}) + request(0, 0, 230, {}, 4),
        request(3, 1, 0, {1}) + request(3, 11, 0, {1}) + request(3, 13, 0, {1}) + request(3, 5, 0, {1}) +
            request(3, 2, 0, {1}) + request(3, 6, 0, {0}) + request(3, 10, 0, {0}),
        request(3, 11, 0, with_float(2, 12.47f)) + request(3, 13, 0, with_float(2, 1.32f)) + request(3, 1, 0, {0}),
        request(2, 2, 0) + request(2, 1, 0),
        request(1, 0, 46, {0x52, 0x8E, 0x24, 0x3B}) + request(0, 0, 0, {}, 98),
        "junk@OR" + ping + "@ORV\x05" + ping,
        request(2, 0, 0),
    };
    std::vector<Bytes> out;
    for (uint8_t s0 : {0x00, 0x01, 0x1F, 0x80, 0x20, 0x41}) out.push_back(seed({s0}, with_pauses(parts)));
    for (const std::string& p : parts) out.push_back(seed({0x01}, p));
    return out;
}

}  // namespace zfuzz
