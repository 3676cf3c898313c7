// The event log: dated 8-byte records in a 513-slot ring of the EEPROM, each
// echoed as a block on the console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Arduino.h"
#include "M95512.h"
#include "Wire.h"
#include "board.h"
#include "globals.h"
#include "zelmora.h"
#include "text_support.h"

using zsim::Board;
using zplat::kMs;

namespace {
// The unit's peripherals as start-up leaves them, driven from the test.
void bring_up() {
    Serial0.begin(38400);
    Wire.begin();
    E2PROM_SPI.begin();
    setup_timerTC0(1, 8000);
    start_timerTC0();
}

std::vector<uint8_t> bytes_at(Board& b, size_t at, size_t n) {
    const auto& m = b.eeprom().contents();
    return std::vector<uint8_t>(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + n));
}

uint16_t index_of(Board& b) {
    const auto v = bytes_at(b, 254, 2);
    return static_cast<uint16_t>(v[0] << 8 | v[1]);
}

void set_index(Board& b, uint16_t k) { b.eeprom().poke(254, {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)}); }
}  // namespace

TEST(EventLog, RecordHoldsPackedDateSecondCodeAndData) {
    Board b(world_at("2026-12-08T13:45:30Z"));
    bring_up();
    set_index(b, 3);
    grabacion_nueva_incidencia(1, 1125);
    Serial0.flush();
    EXPECT_EQ(bytes_at(b, 280, 8), (std::vector<uint8_t>{0x49, 0x14, 0x84, 0x41, 0x1E, 0x01, 0x04, 0x65}));
    EXPECT_EQ(index_of(b), 4);
    const std::string block =
        "\t******************\r\n"
        "\tNew incidence (3) => 49 14 84 41 1E 01 04 65 \r\n"
        "\t\tFecha:1226081345 30\r\n"
        "\t\tIncidencia:1\tDato:1125\r\n"
        "\t******************\r\n";
    EXPECT_NE(b.console().find(block), std::string::npos) << b.console();
}

TEST(EventLog, RingHas513SlotsAndWrapsToSlotZero) {
    Board b(world_at("2027-01-02T03:04:05Z"));
    bring_up();
    set_index(b, 511);
    grabacion_nueva_incidencia(6, 0);
    EXPECT_EQ(bytes_at(b, 4344, 8)[5], 6);
    EXPECT_EQ(index_of(b), 512);
    grabacion_nueva_incidencia(7, 0);
    EXPECT_EQ(bytes_at(b, 4352, 8)[5], 7);   // slot 512, beyond the wiped area
    EXPECT_EQ(index_of(b), 0);
    grabacion_nueva_incidencia(8, 0);
    EXPECT_EQ(bytes_at(b, 256, 8)[5], 8);
    EXPECT_EQ(index_of(b), 1);
}

TEST(EventLog, AnErasedIndexPutsTheRecordInSlotZeroAndTheNextInSlotOne) {
    Board b(world_at("2027-01-02T03:04:05Z"));
    bring_up();
    set_index(b, 0xFFFF);
    const auto before = bytes_at(b, 4096, 300);
    grabacion_nueva_incidencia(9, 0);
    EXPECT_EQ(bytes_at(b, 256, 8)[5], 9);
    EXPECT_EQ(index_of(b), 1);
    grabacion_nueva_incidencia(10, 0);
    EXPECT_EQ(bytes_at(b, 256, 8)[5], 9);   // not overwritten
    EXPECT_EQ(bytes_at(b, 264, 8)[5], 10);
    EXPECT_EQ(bytes_at(b, 4096, 300), before);   // nothing written outside the ring's slots used
}

TEST(EventLog, StartUpEventCountsResetsFromAnErasedCounter) {
    Board b(world_at("2027-01-02T03:04:05Z"));
    bring_up();
    set_index(b, 0);
    nueva_incidencia_reset();   // counter erased (0xFFFF): becomes 0
    EXPECT_EQ(bytes_at(b, 252, 2), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(bytes_at(b, 256, 8)[5], 15);
    b.eeprom().poke(252, {0, 41});
    nueva_incidencia_reset();
    EXPECT_EQ(bytes_at(b, 252, 2), (std::vector<uint8_t>{0, 42}));
    EXPECT_EQ(bytes_at(b, 264, 8)[5], 15);
    EXPECT_EQ(bytes_at(b, 264, 8)[7], 42);
}

TEST(EventLog, BytesBelowSixteenPrintWithALeadingZero) {
    Board b(world_at("2027-01-02T03:04:05Z"));
    bring_up();
    set_index(b, 0);
    grabacion_nueva_incidencia(10, 0x0F00);
    Serial0.flush();
    // month 01, year 27, day 02, 03:04 = 127020304 = 0x07922D10; second 5, code 10, data 0x0F00
    EXPECT_NE(b.console().find("=> 07 92 2D 10 05 0A 0F 00 \r\n"), std::string::npos) << b.console();
}

TEST(EventLog, AFailingWriteIsRetriedTenTimesAndTheIndexStillMoves) {
    zsim::Scenario sc = world_at("2027-01-02T03:04:05Z");
    sc.eeprom.writes_lost.push_back({0, 500 * kMs});
    Board b(sc);
    bring_up();
    set_index(b, 5);
    const uint32_t cycles = b.eeprom().write_cycles();
    grabacion_nueva_incidencia(3, 1450);
    // The index's two copies made from 254, ten tries, the index three times.
    EXPECT_EQ(b.eeprom().write_cycles() - cycles, 15u);
    EXPECT_EQ(bytes_at(b, 296, 8), std::vector<uint8_t>(8, 0xFF));
    Serial0.flush();
    EXPECT_NE(b.console().find("Incidencia:3\tDato:1450"), std::string::npos);
}
