// GPS bytes on Serial1 into the receive step and the sentence processing,
// from every state of the receiver control, then what uses the fix: the
// status report and the Message 6 packer.
//
// State bytes: 0 the control state (cconfigurado 0..4, 5 unknown), the debug
// level and cmodo; 1 test mode, the GPS monitor, the alarm, a position held,
// whether the clock is due an update, the RTC present; 2 fewest satellites;
// 3 worst quality; 4 samples already held.
#include <string>

#include "Arduino.h"
#include "M95512.h"
#include "Wire.h"
#include "ais.h"
#include "comunicaciones_pc.h"
#include "fuzz.h"
#include "globals.h"
#include "gps_l76lb.h"
#include "procesado.h"
#include "setup.h"
#include "unit.h"
#include "zelmora.h"

namespace zfuzz {

namespace {
const char* const kName = "gps";
constexpr int kPassesPerBurst = 8;

uint8_t month_days(int year, int month) {
    static const uint8_t days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && year % 4 != 0) return 28;
    return days[(month - 1) % 12];
}
}  // namespace

void run_gps(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t s0 = in.byte(), s1 = in.byte(), s2 = in.byte(), s3 = in.byte(), s4 = in.byte();

    // What the receiver's steps need of start-up, once for each RTC fitting.
    const bool rtc = (s1 & 0x80) == 0;
    zsim::Board& b = start_from(kName, rtc ? 1 : 0, [rtc](zsim::Board& fresh) {
        fresh.rtc().refit(rtc, fresh.scenario().rtc.running);
        PinConfig(1);
        Serial0.begin(38400);
        Serial1.begin(9600);
        Wire.begin();
        E2PROM_SPI.begin();
        setup_timerTC0(1, 8000);
        start_timerTC0();
        cargar_estructuras_configuracion_orv();
        inicializacion_l76lb();
    });
    Feeder line(b, Serial1);

    l76lb.cconfigurado = static_cast<uint8_t>(s0 % 6);
    l76lb.cdebug = static_cast<uint8_t>(s0 / 6 % 3);
    l76lb.cmodo = static_cast<uint8_t>(s0 / 18 % 2);
    balizaQ77.ctest = s1 & 1;
    static const uint8_t monitors[4] = {0, 1, 4, 5};
    test.test_gps_activo = monitors[(s1 >> 1) & 3];
    l76lb.calarma = (s1 >> 3) & 1;
    balizaQ77.calarma_gps = l76lb.calarma;
    l76lb.cposicion_gps = (s1 >> 4) & 1;
    if (l76lb.cposicion_gps == 1) {
        // A fix held from before: 43 22.7364 N, 8 23.5710 W.
        l76lb.cgrados_latitud = 43;
        l76lb.cminutos_latitud = 22;
        l76lb.idiez_milesimas_minutos_latitud = 7364;
        l76lb.cnorte_sur = 'N';
        l76lb.cgrados_longitud = 8;
        l76lb.cminutos_longitud = 23;
        l76lb.idiez_milesimas_minutos_longitud = 5710;
        l76lb.ceste_oeste = 'W';
    }
    l76lb.cminutos_restantes_actualizacion_fecha = (s1 & 0x20) != 0 ? 0 : 30;
    configuracion_gps.csatelites_minimos = static_cast<uint8_t>(s2 % 16);
    configuracion_gps.ccalidad_minima = s3;
    l76lb.cmuestra_valida_speed = static_cast<uint8_t>(s4 & 7);
    l76lb.cmuestra_valida_rumbo = static_cast<uint8_t>((s4 >> 3) & 7);
    const uint32_t clock_writes = b.rtc().writes_to(6);

    for (std::string_view burst : bursts(in.rest())) {
        line.give(burst);
        // Main-loop passes as the normal step makes them, until the burst is in.
        for (int pass = 0; pass < kPassesPerBurst; ++pass) {
            if (l76lb.cdelay == 0) configuracion_frames_gps();
            if (Serial1.available() > 0) {
                procesamos_gps();
            } else if (line.done()) {
                break;
            } else {
                b.advance(zplat::kMs);
            }
            check_buffers(kName);
        }
    }

    // What uses the fix.
    estado();
    periferico1.cextraigo = 2;
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    check_buffers(kName);
    ZFUZZ_CHECK(kName, l76lb.cqgps <= 99, "quality above 9.9 kept");
    // The position the unit reports is one on Earth, or none.
    if (l76lb.cposicion_gps == 1) {
        const uint32_t lat = l76lb.cgrados_latitud * 600000u + l76lb.cminutos_latitud * 10000u +
                             l76lb.idiez_milesimas_minutos_latitud;
        const uint32_t lon = l76lb.cgrados_longitud * 600000u + l76lb.cminutos_longitud * 10000u +
                             l76lb.idiez_milesimas_minutos_longitud;
        ZFUZZ_CHECK(kName,
                    l76lb.cminutos_latitud <= 59 && l76lb.cminutos_longitud <= 59 &&
                        l76lb.idiez_milesimas_minutos_latitud <= 9999 && l76lb.idiez_milesimas_minutos_longitud <= 9999 &&
                        lat <= 90u * 600000u && lon <= 180u * 600000u,
                    "a position off the Earth kept: " + std::to_string(lat) + " " + std::to_string(lon));
        ZFUZZ_CHECK(kName,
                    (l76lb.cnorte_sur == 'N' || l76lb.cnorte_sur == 'S') &&
                        (l76lb.ceste_oeste == 'E' || l76lb.ceste_oeste == 'W'),
                    "a position without its hemispheres kept");
    }

    // A date reaches the clock only when it is one.
    if (b.rtc().writes_to(6) != clock_writes) {
        const auto bcd = [&b](uint8_t reg, uint8_t mask) {
            const uint8_t v = static_cast<uint8_t>(b.rtc().peek(reg) & mask);
            return (v >> 4) * 10 + (v & 15);
        };
        const int year = bcd(6, 0xFF), month = bcd(5, 0x1F), day = bcd(4, 0x3F);
        ZFUZZ_CHECK(kName, month >= 1 && month <= 12 && day >= 1 && day <= month_days(year, month),
                    "the clock was set to day " + std::to_string(day) + " of month " + std::to_string(month));
    }
}

std::vector<Bytes> seeds_gps(const std::string& testdata) {
    const std::string zda = sentence("GPZDA,134500.000,08,12,2026,,");
    const std::string gga = sentence("GPGGA,134500.000,4322.736400,N,00823.571000,W,1,09,0.90,12.0,M,50.0,M,,");
    const std::string vtg = sentence("GPVTG,12.50,T,,M,0.10,N,0.19,K,A");
    const std::string ack314 = sentence("PMTK001,314,3");
    const std::string ack313 = sentence("PMTK001,313,3");
    const std::string boot = sentence("PMTK011,MTKGPS") + sentence("PMTK010,001");
    const std::string rmc = sentence("GPRMC,134500.000,A,4322.7364,N,00823.5710,W,0.10,12.50,081226,,,A");
    const std::string burst = gga + sentence("GPGSA,A,3,01,02,03,04,05,06,07,08,09,,,,1.5,0.9,1.2") + rmc + vtg + zda;
    std::vector<Bytes> out = {
        seed({1, 0x20, 4, 20, 0}, with_pauses({burst, burst, burst})),
        seed({1 + 12, 0x20, 4, 20, 0}, with_pauses({burst, boot, burst})),
        seed({2, 0, 4, 20, 0}, with_pauses({ack314, ack313, burst})),
        seed({3, 0x21 | 0x06, 4, 20, 3}, with_pauses({ack313, burst})),
        seed({4 + 6, 0, 4, 20, 0}, with_pauses({burst})),
        seed({0, 0, 4, 20, 0}, with_pauses({boot, ack314})),
        seed({1, 0x31, 4, 20, 0x2D}, with_pauses({sentence("GPGGA,,,,,,0,00,99.99,,,,,,") + sentence("GPVTG,,,,,,,,,N") +
                                                   sentence("GPZDA,193913.00,07,09,2018,00,00")})),
        seed({1, 0x20, 4, 20, 0}, with_pauses({sentence("GNGGA,055234.000,4322.73641,N,00823.57100,W,1,14,0.8,10,M,50,M,,") +
                                                   sentence("GNVTG,0.00,T,,M,0.00,N,0.00,K,D") +
                                                   sentence("GNZDA,055234.000,05,08,2026,00,00")})),
    };
    // Real receivers' logs, a second's worth of lines per burst.
    for (const std::string& path : files_in(testdata + "/nmea")) {
        std::vector<std::string> parts;
        std::string part;
        int n = 0;
        for (const std::string& l : file_lines(path)) {
            part += l + "\r\n";
            if (++n % 6 == 0) {
                parts.push_back(part);
                part.clear();
            }
            if (parts.size() >= 8) break;
        }
        if (!part.empty()) parts.push_back(part);
        out.push_back(seed({1, 0x20, 4, 20, 0}, with_pauses(parts)));
        out.push_back(seed({2 + 12, 0x21, 3, 30, 0}, with_pauses(parts)));
    }
    return out;
}

}  // namespace zfuzz
