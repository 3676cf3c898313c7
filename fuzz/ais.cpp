// Transponder bytes on Serial3 into the receive step and the sentence
// processing, in every state of the command cycle, then the cycle's next
// steps and a report load composed from whatever was learnt.
//
// State bytes: 0 the command (ccomando 0..31: 0..21 and beyond); 1 own MMSI
// known, destination known, PC-software mode 0..3, the diagnostic level
// 0/1/2, and whether the bytes go through the receive step or straight into
// the sentence buffer; 2 AtoN type, configuration results, the alarm, a reply
// awaited; 3 the reporting interval and its countdown.
#include <cstring>
#include <string>

#include "Arduino.h"
#include "M95512.h"
#include "Wire.h"
#include "ais.h"
#include "fuzz.h"
#include "globals.h"
#include "periferico.h"
#include "procesado.h"
#include "setup.h"
#include "unit.h"
#include "zelmora.h"

namespace zfuzz {

namespace {
const char* const kName = "ais";
constexpr uint32_t kOwnMmsi = 992241234;   // tools/default-config.toml
constexpr uint32_t kDestination = 224123456;
constexpr int kPassesPerBurst = 8;

// The buffers, and the MMSIs learnt: they go back out in nine digits, so
// one held must be one, or none.
void check(const char* harness) {
    check_buffers(harness);
    const auto mmsi = [](uint32_t v) { return v == kMmsiDesconocido || (v >= 1 && v <= 999999999u); };
    ZFUZZ_CHECK(harness, mmsi(periferico1.lmmsi), "own MMSI held as " + std::to_string(periferico1.lmmsi));
    ZFUZZ_CHECK(harness, mmsi(periferico1.lmmsi_destino_msg6),
                "destination MMSI held as " + std::to_string(periferico1.lmmsi_destino_msg6));
}

// A few passes of the main loop's transponder steps, the tick running.
void cycle(zsim::Board& b, int passes) {
    for (int i = 0; i < passes; ++i) {
        supervision_periferico();
        ciclo_comandos_ais();
        b.advance(zplat::kMs);
        check(kName);
    }
}
}  // namespace

void run_ais(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t s0 = in.byte(), s1 = in.byte(), s2 = in.byte(), s3 = in.byte();

    // What the transponder's steps need of start-up, taken once.
    zsim::Board& b = start_from(kName, 0, [](zsim::Board&) {
        PinConfig(1);
        Serial0.begin(38400);
        Wire.begin();
        E2PROM_SPI.begin();
        setup_timerTC0(1, 8000);
        start_timerTC0();
        cargar_estructuras_configuracion_orv();
        inicializacion_periferico(1);
        balizaQ77.cprimera_medicion = 1;
    });
    Feeder line(b, Serial3);

    stperiferico& p = periferico1;
    p.ccomando = static_cast<uint8_t>(s0 % 32);
    p.lmmsi = (s1 & 1) != 0 ? kOwnMmsi : kMmsiDesconocido;
    p.lmmsi_destino_msg6 = (s1 & 2) != 0 ? kDestination : kMmsiDesconocido;
    p.cconexion_software_pc = static_cast<uint8_t>((s1 >> 2) & 3);
    p.cextraigo = static_cast<uint8_t>((s1 >> 4) % 3);
    const bool straight = (s1 & 0x40) != 0;
    p.ctipo_aton = static_cast<uint8_t>(s2 & 3);
    p.cresultados_configuracion = static_cast<uint8_t>(((s2 >> 2) & 1) | (((s2 >> 3) & 1) << 4));
    p.calarma = (s2 >> 4) & 1;
    p.calarma_informe = (s2 >> 5) & 1;
    p.cesperando_respuesta = (s2 >> 6) & 1;
    p.ctimeout_respuesta_comando = (s2 & 0x80) != 0 ? 0 : 10;
    p.ifrecuencia_msg6 = static_cast<uint16_t>((s3 & 0x0F) * 30);
    p.itimeout_tx_msg6 = static_cast<uint16_t>(s3 >> 4);

    for (std::string_view burst : bursts(in.rest())) {
        if (straight) {
            // A whole buffer's worth at once, as the receive step leaves it.
            const size_t n = burst.size() < sizeof p.cframe_rx ? burst.size() : sizeof p.cframe_rx;
            std::memcpy(p.cframe_rx, burst.data(), n);
            p.ibytes_rx = static_cast<uint16_t>(n);
            procesamos_trama_rx_ais();
            p.ibytes_rx = 0;
            check(kName);
            cycle(b, 2);
            continue;
        }
        line.give(burst);
        for (int pass = 0; pass < kPassesPerBurst; ++pass) {
            if (Serial3.available() > 0) {
                procesamos_periferico();
                check(kName);
                ciclo_comandos_ais();
            } else if (line.done()) {
                break;
            } else {
                b.advance(zplat::kMs);
            }
            check(kName);
        }
    }

    // What the cycle does next, and a report load with whatever was learnt.
    cycle(b, 3);
    p.ccomando = 18;
    p.cesperando_respuesta = 0;
    p.calarma = 0;
    p.cconexion_software_pc = 0;
    envio_comandos_ais();
    check(kName);
}

std::vector<Bytes> seeds_ais(const std::string& testdata) {
    const auto s = [](const char* body) { return sentence(body); };
    const std::string identification =
        s("AIAID,992241234,1,224123456,0,C") + s("ANACE,992241234,0,0,0,0,0,ZELMORA NORTE,0") +
        s("ANMCR,992241234,SBS,0") + s("ANMCR,992241234,MSS,0") + s("PSMT,0,getatontype,7,1") +
        s("ANAAR,992241234,6,0,0,0,100,2250,0,0,0,100,2250") + s("ANAAR,992241234,21,1,0,0,200,6750,0,0,0,200,6750") +
        s("PSMT,0,appver,1,2.4.1") + s("PSMT,0,getserno,4,ZT0042") + s("PSMT,0,vswr,5,12") + s("PSMT,0,vin,6,12600");
    const std::string echo = sentence("AIVDO,1,1,,A,6>jR0600V:C0>da4P106P00,2", '!');
    const std::string notices = s("ANTXT,01,01,80,Exiting standby") + s("ANTXT,01,01,62,Buffer empty msg 06") +
                                s("ANTXT,01,01,80,USB connected") + s("AINAK,AI,MEB,992241234,1,Rejected") +
                                s("PSMT,0,gpsfilt 0,0") + s("GPGGA,134500.000,4322.7364,N,00823.5710,W,1,09,0.9,12,M,50,M,,");
    std::vector<Bytes> out;
    const uint8_t commands[] = {0, 4, 5, 7, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
    for (uint8_t c : commands) {
        out.push_back(seed({c, 0x13, 0x03, 0x36}, with_pauses({identification, echo, notices})));
        out.push_back(seed({c, 0x40, 0x03, 0x00}, identification + echo + notices));
    }
    out.push_back(seed({0, 0x27, 0x0F, 0x36}, with_pauses({echo, notices, echo})));
    out.push_back(seed({21, 0x21, 0x00, 0x00}, s("AIAID,992249999,1,224123456,0,C")));
    // What a base station and receivers log is what the transponder echoes.
    for (const std::string& path : files_in(testdata + "/ais")) {
        if (path.size() < 5 || path.compare(path.size() - 5, 5, ".json") == 0) continue;
        std::string text;
        for (const std::string& l : file_lines(path)) {
            if (text.size() > 1500) break;
            if (!l.empty() && l[0] != '#') text += l + "\r\n";
        }
        out.push_back(seed({0, 0x13, 0x03, 0x36}, text));
        out.push_back(seed({18, 0x53, 0x03, 0x36}, text));
    }
    return out;
}

}  // namespace zfuzz
