// The PC link: request frames gathered from Serial0, the commands, test mode.
// The unit runs on its virtual board; requests go into its console port and
// the replies are picked out of what it sends back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "Arduino.h"
#include "board.h"
#include "globals.h"
#include "host/pins.h"
#include "procesado.h"
#include "text_support.h"

using zsim::Board;
using zplat::kMs;
using zplat::kSec;
using Bytes = std::vector<uint8_t>;

namespace {

// CRC-16, reflected polynomial 0xA001, from 0xFFFF.
uint16_t crc16(const uint8_t* p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// A request; n_datos < 0 states the real data count.
Bytes request(uint8_t cmd, uint8_t sub, uint32_t pos, const Bytes& data = {}, int n_datos = -1) {
    // Sized once: inserting into a growing vector here draws a false
    // -Warray-bounds from GCC 12 at -O3.
    Bytes f(13 + data.size());
    const uint8_t head[11] = {'@', 'O', 'R', 'V', static_cast<uint8_t>(f.size()), cmd, sub,
                              static_cast<uint8_t>(pos >> 16), static_cast<uint8_t>(pos >> 8), static_cast<uint8_t>(pos),
                              static_cast<uint8_t>(n_datos < 0 ? data.size() : n_datos)};
    std::copy(std::begin(head), std::end(head), f.begin());
    std::copy(data.begin(), data.end(), f.begin() + 11);
    const uint16_t c = crc16(f.data(), f.size() - 2);
    f[f.size() - 2] = static_cast<uint8_t>(c >> 8);
    f[f.size() - 1] = static_cast<uint8_t>(c);
    return f;
}

Bytes with_float(uint8_t action, float v) {
    Bytes d(5, action);
    std::memcpy(&d[1], &v, 4);
    return d;
}

struct Reply {
    uint8_t cmd, sub;
    uint32_t pos;
    uint8_t result;
    Bytes data;
    size_t length;
};

// Every "#ORV" reply in console text, its CRC checked.
std::vector<Reply> replies_in(const std::string& s) {
    std::vector<Reply> out;
    for (size_t p = s.find("#ORV"); p != std::string::npos; p = s.find("#ORV", p + 1)) {
        if (p + 5 > s.size()) break;
        const size_t len = static_cast<uint8_t>(s[p + 4]);
        if (len < 13 || p + len > s.size()) continue;
        const auto* b = reinterpret_cast<const uint8_t*>(s.data() + p);
        EXPECT_EQ(crc16(b, len - 2), (b[len - 2] << 8) | b[len - 1]) << "reply at " << p;
        out.push_back({b[5], b[6], static_cast<uint32_t>(b[7] << 16 | b[8] << 8 | b[9]), b[10],
                       Bytes(b + 11, b + len - 2), len});
    }
    return out;
}

// A unit that has started and set its clock from the GPS.
struct Unit {
    Board b;
    explicit Unit(const zsim::Scenario& sc = zsim::Scenario::builtin()) : b(sc) { b.run_for(8 * kSec); }
    void send(const Bytes& f) { Serial0.host_feed(f.data(), f.size(), b.now(), 38400); }
    // Sends and collects the replies of the next `ms`.
    std::vector<Reply> ask(const Bytes& f, uint32_t ms = 200) {
        const size_t mark = b.console().size();
        send(f);
        b.run_for(ms * kMs);
        return replies_in(b.console().substr(mark));
    }
    Reply one(const Bytes& f, uint32_t ms = 200) {
        const auto r = ask(f, ms);
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? Reply{} : r[0];
    }
    Bytes eeprom(size_t at, size_t n) {
        const auto m = b.eeprom().contents().begin() + static_cast<long>(at);
        return Bytes(m, m + static_cast<long>(n));
    }
};

const Bytes kLinkCheck = request(3, 1, 0, {3});

}  // namespace

TEST(PcFrames, CrcAndTheWorkedFrames) {
    EXPECT_EQ(calculo_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x4B37);
    const Bytes exportar = {0x40, 0x4F, 0x52, 0x56, 0x0D, 0x00, 0x00, 0x00, 0x01, 0x00, 0x10, 0x78, 0x8D};
    EXPECT_EQ(request(0, 0, 256, {}, 16), exportar);
    EXPECT_EQ(kLinkCheck, (Bytes{0x40, 0x4F, 0x52, 0x56, 0x0E, 0x03, 0x01, 0x00, 0x00, 0x00, 0x01, 0x03, 0x0C, 0x87}));
    EXPECT_EQ(verificar_trama(exportar.data(), 13), 1);
    EXPECT_EQ(verificar_trama(exportar.data(), 12), 0);   // not complete yet
    Bytes bad = exportar;
    bad[9] ^= 1;
    EXPECT_EQ(verificar_trama(bad.data(), 13), 0);

    // Stated lengths that cannot hold a frame: nothing outside the bytes is read (ASan).
    for (uint8_t len : {0, 1, 2, 12}) {
        Bytes f = {'@', 'O', 'R', 'V', len, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        EXPECT_EQ(verificar_trama(f.data(), static_cast<uint8_t>(f.size())), 0) << int(len);
        f.resize(5);
        EXPECT_EQ(verificar_trama(f.data(), 5), 0);
    }

    Unit u;
    const size_t mark = u.b.console().size();
    u.send(kLinkCheck);
    u.b.run_for(100 * kMs);
    const char reply[] = "\x23\x4F\x52\x56\x0D\x03\x01\x00\x00\x00\x01\x02\xD0";
    EXPECT_EQ(count(u.b.console().substr(mark), std::string(reply, 13)), 1u);
}

TEST(PcFrames, NoiseBeforeTheStartAndAFrameInPieces) {
    Unit u;
    Bytes noisy = {'x', 'y', 0x00, 0xFF, '\r', '\n', 'O', 'R', 'V'};
    noisy.insert(noisy.end(), kLinkCheck.begin(), kLinkCheck.end());
    EXPECT_EQ(u.one(noisy).result, 1);

    const size_t mark = u.b.console().size();
    u.send(Bytes(kLinkCheck.begin(), kLinkCheck.begin() + 3));
    u.b.run_for(2900 * kMs);
    u.send(Bytes(kLinkCheck.begin() + 3, kLinkCheck.begin() + 11));
    u.b.run_for(2900 * kMs);
    EXPECT_TRUE(replies_in(u.b.console().substr(mark)).empty());
    EXPECT_EQ(u.one(Bytes(kLinkCheck.begin() + 11, kLinkCheck.end())).result, 1);
}

TEST(PcFrames, BackToBackRequestsInTheBufferGetOneReply) {
    Unit u;
    u.b.stall_main_loop(u.b.now() + kMs, 20 * kMs);   // both arrive while the loop is busy
    Bytes two = kLinkCheck;
    const Bytes echo_off = request(3, 1, 0, {0});
    two.insert(two.end(), echo_off.begin(), echo_off.end());
    const auto r = u.ask(two);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].sub, 1);
    // Sent one at a time, each is answered.
    EXPECT_EQ(u.ask(kLinkCheck).size(), 1u);
    EXPECT_EQ(u.ask(kLinkCheck).size(), 1u);
}

TEST(PcFrames, AWrongCrcHoldsTheReceiverUntilThreeSecondsOfSilence) {
    Unit u;
    Bytes bad = kLinkCheck;
    bad.back() ^= 0x01;
    EXPECT_TRUE(u.ask(bad, 1000).empty());
    EXPECT_TRUE(u.ask(kLinkCheck, 2000).empty());   // appended to the bad one
    const size_t mark = u.b.console().size();
    u.b.run_for(1500 * kMs);
    EXPECT_EQ(count(u.b.console().substr(mark), "Timeout: Reset de contadores.\r\n"), 1u);
    EXPECT_EQ(u.one(kLinkCheck).result, 1);

    // 256 bytes held wrap the count: the receiver looks for "@" again.
    Bytes flood = bad;
    flood.resize(256, 'x');
    flood.insert(flood.end(), kLinkCheck.begin(), kLinkCheck.end());
    EXPECT_EQ(u.one(flood).result, 1);
}

TEST(PcFrames, AFrameThatCanNeverBeValidIsDroppedAtOnce) {
    Unit u;
    for (const Bytes& junk : {Bytes{'@', 'O', 'R', 'V', 5, 3, 1, 0}, Bytes{'@', 'O', 'R', 'V', 0},
                              Bytes{'@', 'O', '@'}, Bytes{'@', '@'}, Bytes{'@', 'O', 'R', 'X', 14}}) {
        Bytes f = junk;
        f.insert(f.end(), kLinkCheck.begin(), kLinkCheck.end());
        EXPECT_EQ(u.one(f).result, 1) << junk.size();
    }
}

TEST(PcCommands, ExportsOf0And128And129Bytes) {
    Unit u;
    Reply r = u.one(request(0, 7, 0x000100, {}, 0));
    EXPECT_EQ(r.length, 13u);
    EXPECT_EQ(r.sub, 7);
    EXPECT_EQ(r.result, 1);

    r = u.one(request(0, 0, 0, {}, 128));
    EXPECT_EQ(r.length, 141u);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.data, u.eeprom(0, 128));

    r = u.one(request(0, 0, 0x010100, {}, 16));   // 24-bit address: the EEPROM modulo 65536, echoed whole
    EXPECT_EQ(r.pos, 0x010100u);
    EXPECT_EQ(r.data, u.eeprom(256, 16));

    const size_t mark = u.b.console().size();
    r = u.one(request(0, 0, 0, {}, 129));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 13u);
    EXPECT_NE(u.b.console().find("Error de lectura de memoria. Len=129\r\n", mark), std::string::npos);
}

TEST(PcCommands, TheWholeConfigurationInOneRequestIsWrittenThenLoaded) {
    Unit u;
    Bytes config = u.eeprom(0, 98);
    const uint32_t mmsi = 992249876;
    std::memcpy(&config[46], &mmsi, 4);
    std::memcpy(&config[7], "FARO SUR            ", 20);
    const Bytes f = request(1, 0, 0, config);
    ASSERT_EQ(f.size(), 111u);
    const uint32_t cycles = u.b.eeprom().write_cycles();
    const size_t mark = u.b.console().size();
    const Reply r = u.one(f);
    EXPECT_EQ(r.cmd, 1);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(u.b.eeprom().write_cycles() - cycles, 3u);   // one page write inside the configuration-write mark
    EXPECT_EQ(u.eeprom(0, 98), config);
    EXPECT_EQ(configuracion_ais.lmmsi, mmsi);
    EXPECT_EQ(std::memcmp(configuracion_ais.cnombre_msg19, "FARO SUR", 8), 0);
    const std::string out = u.b.console().substr(mark);
    EXPECT_LT(out.find("#ORV"), out.find("Actualizar estructuras basica.\r\n"));   // answered first
}

TEST(PcCommands, AWriteNeverStoresBytesThatDidNotComeInTheFrame) {
    Unit u;
    const Bytes before = u.eeprom(0, 512);
    EXPECT_EQ(u.one(request(1, 1, 300, Bytes(129, 0x5A))).result, 0);   // more than a page
    EXPECT_EQ(u.one(request(1, 1, 300, Bytes(4, 0x5A), 10)).result, 0);  // states more than it carries
    EXPECT_EQ(u.eeprom(0, 512), before);

    const Reply r = u.one(request(1, 1, 0x010130, {1, 2, 3, 4}));   // 24-bit address: modulo 65536
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.pos, 0x010130u);
    EXPECT_EQ(u.eeprom(0x130, 4), (Bytes{1, 2, 3, 4}));
}

TEST(PcCommands, RestartAnswersTwiceThenRestartsAndLogsItsStartUp) {
    Unit u;
    const auto counter = [&] { const Bytes c = u.eeprom(252, 2); return c[0] << 8 | c[1]; };
    const int resets = counter();
    const size_t mark = u.b.console().size();
    u.send(request(2, 0, 0));
    u.b.run_for(60 * kMs);
    EXPECT_EQ(replies_in(u.b.console().substr(mark)).size(), 1u);
    u.b.run_for(100 * kMs);
    const auto r = replies_in(u.b.console().substr(mark));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].result, 1);
    EXPECT_EQ(r[1].cmd, 2);
    EXPECT_EQ(r[1].result, 0);
    EXPECT_EQ(u.b.restarts(), 1u);
    u.b.run_for(10 * kSec);   // the clock is set again from the GPS
    EXPECT_EQ(count(u.b.console().substr(mark), "END SETUP"), 1u);
    EXPECT_EQ(u.b.restarts(), 1u);
    EXPECT_EQ(counter(), resets + 1);
    const Bytes k = u.eeprom(254, 2);
    const size_t last = 256 + 8 * static_cast<size_t>((k[0] << 8 | k[1]) - 1);
    EXPECT_EQ(u.eeprom(last, 8)[5], 15);
}

TEST(PcCommands, MemoryTestWritesItsPatternAndReportsAMismatch) {
    {
        Unit u;
        EXPECT_EQ(u.one(request(3, 10, 0, {0})).result, 1);
        EXPECT_EQ(u.eeprom(230, 10), (Bytes{'T', 'E', 'S', 'T', ' ', 'B', 'Q', '7', '7', 0}));
    }
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.eeprom.writes_lost.push_back({9 * kSec, 10 * kSec});
    Unit lossy(sc);
    lossy.b.run_for(1500 * kMs);
    EXPECT_EQ(lossy.one(request(3, 10, 0, {0})).result, 0);
}

TEST(PcCommands, UnknownAndSilentRequests) {
    Unit u;
    EXPECT_TRUE(u.ask(request(3, 1, 0, {4})).empty());
    EXPECT_TRUE(u.ask(request(3, 0, 0, {1})).empty());
    EXPECT_TRUE(u.ask(request(3, 6, 0, {1})).empty());
    EXPECT_EQ(u.one(request(3, 1, 0, {2})).result, 0);
    EXPECT_EQ(u.one(request(2, 3, 0)).result, 0);
    const size_t mark = u.b.console().size();
    const Reply r = u.one(request(5, 9, 0x123456));
    EXPECT_EQ(r.cmd, 5);
    EXPECT_EQ(r.sub, 9);
    EXPECT_EQ(r.pos, 0x123456u);
    EXPECT_EQ(r.result, 0);
    EXPECT_NE(u.b.console().find("Trama no reconocida!!!\r\n", mark), std::string::npos);
    // Command 3 without its action byte: refused rather than acting on the CRC.
    EXPECT_EQ(u.one(request(3, 1, 0)).result, 0);
    EXPECT_EQ(balizaQ77.ctest, 0);
}

TEST(PcCommands, CalibrationStoresOnlyAFinitePositiveFactor) {
    Unit u;
    u.b.override_analog(39, 2500 * 3.3 / 4096.0);
    const auto stored = [&](size_t at) { float f; std::memcpy(&f, u.eeprom(at, 4).data(), 4); return f; };
    EXPECT_EQ(u.one(request(3, 11, 0, with_float(2, 12.5f))).result, 1);
    EXPECT_FLOAT_EQ(stored(0xFFF8), 12.5f / 2500);
    EXPECT_FLOAT_EQ(balizaQ77.fconversor_bateria, 12.5f / 2500);
    // Without its reference the bytes left from the request before would be read.
    EXPECT_EQ(u.one(request(3, 11, 0, {2})).result, 0);

    for (float bad : {0.0f, -12.0f, NAN, INFINITY}) {
        EXPECT_EQ(u.one(request(3, 11, 0, with_float(2, bad))).result, 0) << bad;
    }
    u.b.override_analog(39, 0.0);                          // a raw reading of 0
    EXPECT_EQ(u.one(request(3, 11, 0, with_float(2, 12.0f))).result, 0);
    EXPECT_FLOAT_EQ(stored(0xFFF8), 12.5f / 2500);
    EXPECT_FLOAT_EQ(balizaQ77.fconversor_bateria, 12.5f / 2500);

    u.b.override_analog(40, 1000 * 3.3 / 4096.0);
    EXPECT_EQ(u.one(request(3, 13, 0, with_float(2, 2.0f))).result, 1);
    EXPECT_FLOAT_EQ(stored(0xFFF4), 0.002f);
}

TEST(TestMode, EntryAndTheTenMinuteInactivityExit) {
    Unit u;
    EXPECT_EQ(u.one(request(3, 1, 0, {1})).result, 1);
    EXPECT_EQ(balizaQ77.ctest, 1);
    EXPECT_EQ(zplat::pin_level(35), 0);   // GPS off
    EXPECT_EQ(zplat::pin_level(41), 1);
    EXPECT_EQ(zplat::pin_level(21), 1);   // charger off
    u.b.run_for(9 * 60 * kSec);
    EXPECT_EQ(u.one(kLinkCheck).result, 1);   // any command-3 frame keeps it alive
    u.b.run_for(9 * 60 * kSec);
    ASSERT_EQ(balizaQ77.ctest, 1);
    u.b.run_for(60 * kSec);
    EXPECT_EQ(balizaQ77.ctest, 0);
    EXPECT_EQ(balizaQ77.cmppt, 1);
    EXPECT_EQ(count(u.b.console(), "Salgo del modo test por inactividad\r\n"), 1u);
}

TEST(TestMode, GpsMonitorOnAndOff) {
    Unit u;
    u.one(request(3, 1, 0, {1}));
    size_t mark = u.b.console().size();
    EXPECT_EQ(u.one(request(3, 2, 0, {1})).result, 1);
    u.b.run_for(8 * kSec);
    std::string out = u.b.console().substr(mark);
    EXPECT_EQ(count(out, "\r\nTELEMANDO ALIMENTACI\xEF\xBF\xBDN GPS ONTEST GPS ON\r\n"), 1u);
    EXPECT_EQ(count(out, "\r\nGPS=> ON\r\n"), 1u);
    EXPECT_GE(count(out, "Fecha UTC:"), 3u);
    EXPECT_EQ(zplat::pin_level(35), 1);

    mark = u.b.console().size();
    EXPECT_EQ(u.one(request(3, 2, 0, {0})).result, 1);
    u.b.run_for(5 * kSec);
    out = u.b.console().substr(mark);
    EXPECT_EQ(count(out, "GPS=> OFF\r\n"), 1u);
    EXPECT_EQ(zplat::pin_level(35), 0);   // and it stays off
    EXPECT_EQ(l76lb.cconfigurado, 0);
}

TEST(TestMode, InputMonitorAndBatteryLines) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.pin_actions.clear();
    sc.inputs[1] = zsim::LineState::Low;
    Unit u(sc);
    size_t mark = u.b.console().size();
    u.one(request(3, 1, 0, {1}));
    // The first pattern shown is compared with all-low.
    EXPECT_NE(u.b.console().find("EXTERNA1 OFF\r\nEXTERNA3 OFF\r\n", mark), std::string::npos);
    mark = u.b.console().size();
    u.b.inputs().set_input(2, zsim::LineState::Open);
    u.b.run_for(100 * kMs);
    std::string out = u.b.console().substr(mark);
    EXPECT_EQ(out, "EXTERNA2 OFF\r\n");

    mark = u.b.console().size();
    u.one(request(3, 11, 0, {1}), 300);
    out = u.b.console().substr(mark);
    EXPECT_NE(out.find("Test display\r\n\r\n\tBATER\xEF\xBF\xBD" "A VERBOSO ON #ORV"), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("BATERIA => (\\d+\\.\\d{4})\r\nBATERIA AD => (\\d+)\r\n")));
    EXPECT_NEAR(std::stod(m[1]), std::stoi(m[2]) * balizaQ77.fconversor_bateria, 1e-4);
    EXPECT_GT(std::stod(m[1]), 11.0);
}

// Outside test mode the charger belongs to the supervision: the panel
// monitor's requests and "test mode off" are answered but change nothing.
TEST(TestMode, RequestsOutsideTestModeLeaveTheChargerAlone) {
    Unit u;
    ASSERT_EQ(balizaQ77.ctest, 0);
    EXPECT_EQ(u.one(request(3, 13, 0, {0})).result, 1);
    EXPECT_EQ(balizaQ77.cmppt, 1);
    balizaQ77.cmppt = 0;   // cut for a high battery
    EXPECT_EQ(u.one(request(3, 1, 0, {0})).result, 1);
    EXPECT_EQ(u.one(request(3, 13, 0, {1})).result, 1);
    EXPECT_EQ(balizaQ77.cmppt, 0);
    u.b.run_for(61 * kSec);
    EXPECT_EQ(zplat::pin_level(21), 1);   // still held off at the minute's evaluation
    // In test mode the panel monitor runs the charger, as before.
    EXPECT_EQ(u.one(request(3, 1, 0, {1})).result, 1);
    EXPECT_EQ(u.one(request(3, 13, 0, {1})).result, 1);
    EXPECT_EQ(balizaQ77.cmppt, 1);
}
