// The GPS firmware on a virtual board, with the GPS line driven by the test:
// the module itself is left out, so every byte on Serial1 is one the test
// sent, and every byte the unit sends there is captured.
#pragma once
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Arduino.h"
#include "M95512.h"
#include "Wire.h"
#include "board.h"
#include "globals.h"
#include "gps_l76lb.h"
#include "host/serial_peer.h"
#include "setup.h"
#include "zelmora.h"
#include "text_support.h"

namespace gpsfw {

using zplat::kMs;
using zplat::kSec;
using zplat::vtime;

inline zsim::Scenario without_module(const char* rtc_time = nullptr) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.gps.present = false;
    sc.utc_start = *zsim::parse_utc("2026-12-08T13:45:00Z");
    if (rtc_time != nullptr) sc.rtc.time = zsim::parse_utc(rtc_time);
    return sc;
}

// What the unit sends to the GPS module.
struct LineCapture : zplat::SerialPeer {
    std::string bytes;
    void on_byte(uint8_t byte, uint64_t, uint32_t) override { bytes.push_back(static_cast<char>(byte)); }
};

struct Bench {
    zsim::Board b;
    LineCapture to_module;

    explicit Bench(const zsim::Scenario& sc = without_module()) : b(sc) {
        PinConfig(1);
        Serial0.begin(38400);
        Serial1.begin(9600);
        Wire.begin();
        E2PROM_SPI.begin();
        setup_timerTC0(1, 8000);
        start_timerTC0();
        Serial1.host_attach(&to_module);
        inicializacion_l76lb();
        configuracion_gps.csatelites_minimos = 4;
        configuracion_gps.ccalidad_minima = 20;
        configuracion_gps.cminutos_actualizacion_fecha = 60;
    }
    ~Bench() { Serial1.host_attach(nullptr); }

    // Bytes from the module, starting now at 9600 baud.
    void send(const std::string& s) {
        Serial1.host_feed(reinterpret_cast<const uint8_t*>(s.data()), s.size(), b.now(), 9600);
    }
    // One burst from the module, processed once its first byte is in.
    void burst(const std::string& s) {
        send(s);
        b.advance(2 * kMs);
        procesamos_gps();
    }
    // Main-loop passes as the normal step makes them, one per millisecond.
    void run(vtime d) {
        const vtime end = b.now() + d;
        while (b.now() < end) {
            if (l76lb.cdelay == 0) configuracion_frames_gps();
            procesamos_gps();
            b.advance(kMs);
        }
    }
    std::string console() {
        Serial0.flush();
        return b.console();
    }
    std::string sent() {
        Serial1.flush();
        return to_module.bytes;
    }
};

// The lines of a recorded log, without their line ends; empty when absent.
inline std::vector<std::string> log_lines(const std::string& name) {
    std::vector<std::string> lines;
    std::ifstream in(std::string(ZELMORA_TESTDATA_DIR) + "/nmea/" + name, std::ios::binary);
    if (!in) return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace gpsfw
