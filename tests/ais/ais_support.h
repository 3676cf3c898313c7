// The transponder side of the firmware on a virtual board, with the
// transponder's line scripted by the test: every byte on Serial3 is one the
// test sent, and every byte the unit sends there is captured.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Arduino.h"
#include "M95512.h"
#include "Wire.h"
#include "ais.h"
#include "board.h"
#include "globals.h"
#include "host/serial_peer.h"
#include "periferico.h"
#include "procesado.h"
#include "setup.h"
#include "text_support.h"
#include "zelmora.h"

namespace aisfw {

using zplat::kMs;
using zplat::kSec;
using zplat::vtime;

constexpr uint32_t kOwnMmsi = 992241234;   // tools/default-config.toml
constexpr uint32_t kDestination = 224123456;

// Sentences get their true checksum here: "$" or "!" + body + "*hh" CR LF.
inline std::string sentence(const std::string& body, char start = '$') {
    unsigned x = 0;
    for (char c : body) x ^= static_cast<uint8_t>(c);
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", x);
    return std::string(1, start) + body + "*" + hex + "\r\n";
}

// No GPS module: nothing else talks, and the console holds only the unit's own lines.
inline zsim::Scenario quiet(bool diagnostics = true) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.gps.present = false;
    sc.transponder.present = false;   // the test speaks for it
    sc.dip_on = {false, false, diagnostics, false};
    sc.pin_actions.clear();
    sc.power.noise_counts = 0;
    return sc;
}

// The transponder's end of the line: whole lines as the unit sent them, with
// the time of their last byte, and replies chosen by the test.
struct Transponder : zplat::SerialPeer {
    struct Line {
        vtime at;
        std::string text;
    };
    std::string partial;
    std::vector<Line> lines;
    std::function<std::string(const std::string&)> reply;
    vtime delay = 30 * kMs;

    void on_byte(uint8_t byte, uint64_t at, uint32_t) override {
        partial.push_back(static_cast<char>(byte));
        if (byte != '\n') return;
        lines.push_back({at, partial});
        const std::string r = reply ? reply(partial) : std::string();
        partial.clear();
        if (!r.empty()) Serial3.host_feed(reinterpret_cast<const uint8_t*>(r.data()), r.size(), at + delay, 38400);
    }
    std::string all() const {
        std::string s;
        for (const Line& l : lines) s += l.text;
        return s;
    }
};

inline void feed(const std::string& s, vtime at) {
    Serial3.host_feed(reinterpret_cast<const uint8_t*>(s.data()), s.size(), at, 38400);
}

// Firmware functions called from the test thread, with the start-up's
// peripherals, the configuration of the default image and the tick running.
struct Bench {
    zsim::Board b;
    Transponder t;

    explicit Bench(const zsim::Scenario& sc = quiet()) : b(sc) {
        PinConfig(1);
        Serial0.begin(38400);
        Wire.begin();
        E2PROM_SPI.begin();
        setup_timerTC0(1, 8000);
        start_timerTC0();
        cargar_estructuras_configuracion_orv();
        zplat::uart_by_index(2)->host_attach(&t);
        inicializacion_periferico(1);
        periferico1.cextraigo = 1;
        clear_console();
    }
    ~Bench() { zplat::uart_by_index(2)->host_attach(nullptr); }

    // The identification done: both MMSIs known, the cycle idle.
    void identified() {
        periferico1.lmmsi = kOwnMmsi;
        periferico1.lmmsi_destino_msg6 = kDestination;
        periferico1.ccomando = 0;
    }
    // A burst from the transponder, handed to the receive step once its first byte is in.
    void burst(const std::string& s) {
        feed(s, b.now());
        b.advance(kMs);
        procesamos_periferico();
    }
    // Passes of the transponder steps of the main loop, one per millisecond.
    void run(vtime d) {
        const vtime end = b.now() + d;
        while (b.now() < end) {
            supervision_periferico();
            ciclo_comandos_ais();
            b.advance(kMs);
        }
    }
    std::string console() {
        Serial0.flush();
        return b.console();
    }
    void clear_console() {
        Serial0.flush();
        b.clear_console();
    }
    std::string sent() {
        Serial3.flush();
        return t.all();
    }
};

// The packed payload as a string of bits, six per value of cmsg.
inline std::string payload_bits(size_t values = 75) {
    std::string s;
    for (size_t i = 0; i < values; ++i)
        for (int b = 5; b >= 0; --b) s.push_back(((periferico1.cmsg[i] >> b) & 1) ? '1' : '0');
    return s;
}

inline uint64_t bits_value(const std::string& bits, size_t from, size_t width) {
    uint64_t v = 0;
    for (size_t i = from; i < from + width; ++i) v = (v << 1) | (bits[i] == '1' ? 1u : 0u);
    return v;
}

}  // namespace aisfw
