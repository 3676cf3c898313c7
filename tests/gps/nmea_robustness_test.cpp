// Garbage on the GPS line: NMEA-like bytes in every arrangement must never
// make the toolkit or the sentence processing read outside what they were
// given (each buffer below has exactly its own size, so the sanitizer build
// catches any over-read) or upset the unit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "gps_fw_support.h"

namespace {
// Mostly NMEA's own alphabet, with the odd arbitrary byte.
std::vector<uint8_t> nmea_like(std::mt19937& rng, size_t n) {
    static const std::string alphabet = "$!GPNVTGGAZDA,,,,***.-0123456789ABCDEFabcNSEW\r\n";
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        const uint32_t r = rng();
        b = r % 16 == 0 ? static_cast<uint8_t>(r >> 8) : static_cast<uint8_t>(alphabet[(r >> 8) % alphabet.size()]);
    }
    return v;
}
}  // namespace

TEST(NmeaRobustness, ToolkitStaysInsideItsBuffer) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 20000; ++round) {
        const size_t n = 1 + rng() % 120;
        const std::vector<uint8_t> buf = nmea_like(rng, n);
        const uint8_t* p = buf.data();
        const uint16_t end = static_cast<uint16_t>(n);
        uint8_t cks = 0;
        comprobacion_checksum_nmea(p, 0, end, &cks);
        for (uint8_t f = 0; f < 24; ++f) {
            EXPECT_LE(busqueda_campo(f, p, 0, end), end);
            uint32_t u = 0;
            int32_t s = 0;
            float x = 0;
            extraccion_dato_nmea(f, p, 0, end, &u);
            extraccion_dato_con_signo_nmea(f, p, 0, end, &s);
            extraccion_dato_nmea_float(f, p, 0, end, &x);
        }
        const uint16_t from = static_cast<uint16_t>(rng() % n);
        const uint8_t count = static_cast<uint8_t>(1 + rng() % (n - from));
        conversion_ascii_decimal(from, count, p);
        conversion_ascii_float(from, count, p);
        busqueda_trama(p, "$GPZDA", end, from);
        EXPECT_LE(ibusqueda_dato_en_buffer_rx(p, '\n', 1, from, end), end);
    }
}

TEST(NmeaRobustness, RandomBurstsNeverUpsetTheProcessing) {
    gpsfw::Bench t;
    l76lb.cdebug = 2;   // the diagnostic echo walks the same bytes
    std::mt19937 rng(7);
    for (int burst = 0; burst < 120; ++burst) {
        const std::vector<uint8_t> bytes = nmea_like(rng, 1 + rng() % 700);
        t.send(std::string(bytes.begin(), bytes.end()));
        t.run(800 * gpsfw::kMs);
        EXPECT_LE(l76lb.ibytes_rx, 512);
        EXPECT_LE(l76lb.cqgps, 99);
        EXPECT_LE(l76lb.cmuestra_valida_speed, 5);
        EXPECT_LE(l76lb.cmuestra_valida_rumbo, 3);
    }
    EXPECT_EQ(t.b.restarts(), 0u);
    EXPECT_EQ(balizaQ77.csincronizada, 0);   // nothing in garbage passes for a date
}
