// The driver and the verified memory access on top of it: page splitting,
// read limits, read-back, the two wipes, and a missing chip.
#include <gtest/gtest.h>

#include "Sodaq_wdt.h"
#include "globals.h"
#include "procesado.h"
#include "storage_helpers.h"
#include "tools.h"

using namespace storage_test;
using zplat::kMs;
using zplat::kSec;

TEST(MemoryAccess, WritesAreSplitAtPageBoundaries) {
    zsim::Board b;
    bring_up();
    struct Case {
        uint32_t at;
        uint16_t n;
        uint32_t writes;
        const char* console;
    };
    const Case cases[] = {
        {120, 10, 2, "LongInicial=8\r\ncont=0\r\nresto=2\r\n"},   // 8 + 2, not wrapped into page 0
        {100, 200, 3, "LongInicial=28\r\ncont=1\r\nresto=44\r\n"},
        {256, 128, 1, "Grabacion dentro de pagina.\r\n"},
        {4352, 8, 1, "Grabacion dentro de pagina.\r\n"},
        {1000, 40000, 314, "LongInicial=24\r\ncont=312\r\nresto=40\r\n"},   // counts beyond 8 bits
    };
    for (const Case& c : cases) {
        reset_console(b);
        const uint32_t before = b.eeprom().write_cycles();
        const auto data = pattern(c.n, static_cast<uint8_t>(c.at));
        EXPECT_EQ(escritura_memoria(c.at, c.n, data.data(), 0), 1);
        EXPECT_EQ(b.eeprom().write_cycles() - before, c.writes) << c.at;
        EXPECT_EQ(bytes_at(b, c.at, c.n), data) << c.at;
        EXPECT_EQ(console_of(b), c.console);
    }
}

TEST(MemoryAccess, ReadsSeeTheLastWriteAndStopAt128Bytes) {
    zsim::Board b;
    bring_up();
    uint8_t src[4] = {1, 2, 3, 4};
    const zplat::vtime t0 = b.now();
    E2PROM_SPI.EepromWrite(65524, 4, src);   // 65524 mod 128 = 116: one page
    EXPECT_NE(src[0], 1);                     // the source was clocked over
    uint8_t out[130] = {};
    EXPECT_EQ(lectura_memoria(65524, 4, out), 1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_GE(b.now() - t0, zsim::Eeprom::kWriteCycle);   // the status poll waited

    EXPECT_EQ(lectura_memoria(0, 128, out), 1);
    reset_console(b);
    out[0] = 0x42;
    EXPECT_EQ(lectura_memoria(0, 129, out), 0);
    EXPECT_EQ(out[0], 0x42);
    EXPECT_EQ(console_of(b), "Error de lectura de memoria. Len=129\r\n");
}

TEST(MemoryAccess, VerifiedWritesCompareTheReadBack) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.eeprom.writes_lost.push_back({1 * kSec, 1 * kSec});
    zsim::Board b(sc);
    bring_up();

    const auto data = pattern(150, 30);
    EXPECT_EQ(escritura_memoria(230, 150, data.data(), 1), 1);
    EXPECT_NE(console_of(b).find("Comparativa Vectores = 0.00\r\nMillisDif = "), std::string::npos);

    // Longer than the read-back buffer: refused before anything is written.
    const uint32_t cycles = b.eeprom().write_cycles();
    reset_console(b);
    EXPECT_EQ(escritura_memoria(1024, 151, pattern(151, 0).data(), 1), 0);
    EXPECT_EQ(b.eeprom().write_cycles(), cycles);
    EXPECT_NE(console_of(b).find("Len=151"), std::string::npos);

    // Inside the window the cells keep their old bytes: the check sees it.
    b.advance(1 * kSec);
    const uint8_t two[2] = {static_cast<uint8_t>(data[0] + 1), static_cast<uint8_t>(data[1] + 3)};
    reset_console(b);
    EXPECT_EQ(escritura_memoria(230, 2, two, 1), 0);
    EXPECT_EQ(b.eeprom().write_cycles(), cycles + 1);
    EXPECT_EQ(bytes_at(b, 230, 2), (std::vector<uint8_t>{data[0], data[1]}));
    EXPECT_NE(console_of(b).find("Comparativa Vectores = 4.00\r\n"), std::string::npos);
}

TEST(MemoryAccess, WipesTouchOnlyTheirAreaAndKickTheWatchdog) {
    zsim::Board b;
    bring_up();
    b.eeprom().poke(0, std::vector<uint8_t>(4400, 0xAA));

    InicializarMemoria();
    EXPECT_EQ(bytes_at(b, 0, 129), [] { std::vector<uint8_t> v(129, 0xFF); v[128] = 0xAA; return v; }());
    EXPECT_EQ(console_of(b),
              "INICIO INICIALIZAR MEMORIA A 255\r\nGrabacion dentro de pagina.\r\nFIN INICIALIZAR MEMORIA\r\n");

    sodaq_wdt_enable(WDT_PERIOD_1DIV8);   // far shorter than the whole wipe
    reset_console(b);
    EXPECT_NO_THROW(Inicializar_ZonaLog());
    sodaq_wdt_enable(WDT_PERIOD_16X);
    EXPECT_EQ(b.eeprom().write_cycles(), 3u + 32u);   // the page inside the configuration-write mark
    EXPECT_EQ(bytes_at(b, 256, 4096), std::vector<uint8_t>(4096, 0x00));
    EXPECT_EQ(bytes_at(b, 252, 4), std::vector<uint8_t>(4, 0xAA));
    EXPECT_EQ(bytes_at(b, 4352, 8), std::vector<uint8_t>(8, 0xAA));
    std::string expected = "INICIO INICIALIZAR MEMORIA LOG A 0\r\n";
    for (int i = 0; i < 32; ++i) expected += "Grabacion dentro de pagina.\r\n";
    EXPECT_EQ(console_of(b), expected + "FIN INICIALIZAR MEMORIA LOG\r\n");
}

TEST(MemoryAccess, AMissingChipNeitherHangsNorRestartsTheUnit) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.eeprom.absent.push_back({0, 2 * kSec});
    zsim::Board b(sc);
    bring_up();
    sodaq_wdt_enable(WDT_PERIOD_2X);
    b.eeprom().poke(40, {9});

    uint8_t out[8] = {};
    zplat::vtime t0 = b.now();
    EXPECT_EQ(lectura_memoria(40, 1, out), 0);
    EXPECT_EQ(E2PROM_SPI.fallo(), 1);
    EXPECT_GE(b.now() - t0, 10 * kMs);   // the poll gave the chip its time
    EXPECT_LE(b.now() - t0, 13 * kMs);   // and then gave up

    const uint8_t two[2] = {1, 2};
    EXPECT_EQ(escritura_memoria(252, 2, two, 1), 0);
    EXPECT_EQ(escritura_memoria(252, 2, two, 0), 1);   // unverified writes report nothing
    EXPECT_EQ(cargar_estructuras_configuracion_orv(), 0);
    EXPECT_EQ(configuracion_ais.lmmsi, 1u);   // the erased-area defaults
    t0 = b.now();
    EXPECT_NO_THROW(Inicializar_ZonaLog());   // gives up after the first page
    EXPECT_LE(b.now() - t0, 100 * kMs);

    ACTIVAR_DEBUG = 0;   // the error line does not depend on debug output
    reset_console(b);
    lectura_memoria(40, 1, out);
    EXPECT_EQ(console_of(b), "ERROR EEPROM: no responde\r\n");
    EXPECT_EQ(b.restarts(), 0u);

    // Once the chip answers again, so does the driver.
    sodaq_wdt_enable(WDT_PERIOD_16X);
    b.advance(2 * kSec);
    EXPECT_EQ(lectura_memoria(40, 1, out), 1);
    EXPECT_EQ(E2PROM_SPI.fallo(), 0);
    EXPECT_EQ(out[0], 9);
}
