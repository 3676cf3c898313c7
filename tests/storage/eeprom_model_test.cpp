// The EEPROM model on the SPI bus, driven byte by byte from the test: the
// write-enable latch, the write cycle, page wrap, faults and the image file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

#include "default_image.h"
#include "procesado.h"
#include "storage_helpers.h"

using namespace storage_test;
using zplat::kMs;
using V = std::vector<uint8_t>;

TEST(EepromModel, WriteNeedsTheLatchAndTheCycleIgnoresAllButStatus) {
    zsim::Board b;
    bring_up();
    b.eeprom().poke(0x0200, {0x11, 0x22, 0x33});
    raw_write(0x0200, {0xA1, 0xA2});   // no WREN: ignored
    EXPECT_EQ(b.eeprom().write_cycles(), 0u);

    wren();
    EXPECT_EQ(rdsr(), 0x02);   // WEL
    raw_write(0x0200, {0xA1, 0xA2});
    EXPECT_EQ(rdsr(), 0x01);   // WIP; the latch went with the write
    EXPECT_EQ(raw_read(0x0200, 2), (V{0xFF, 0xFF}));   // not decoded during the cycle
    wren();
    EXPECT_FALSE(b.eeprom().write_enable_latch());
    b.advance(zsim::Eeprom::kWriteCycle);
    EXPECT_EQ(rdsr(), 0x00);
    EXPECT_EQ(raw_read(0x0200, 3), (V{0xA1, 0xA2, 0x33}));
    EXPECT_EQ(b.eeprom().write_cycles(), 1u);
}

TEST(EepromModel, WritesWrapInTheirPageReadsAt64KAndOtherModesAreNoise) {
    zsim::Board b;
    bring_up();
    wren();
    raw_write(0x017E, {1, 2, 3, 4});   // offset 126 of the page at 0x0100
    b.advance(zsim::Eeprom::kWriteCycle);
    EXPECT_EQ(bytes_at(b, 0x017E, 2), (V{1, 2}));
    EXPECT_EQ(bytes_at(b, 0x0100, 2), (V{3, 4}));

    b.eeprom().poke(0xFFFF, {0xAB, 0xCD});
    EXPECT_EQ(raw_read(0xFFFF, 2), (V{0xAB, 0xCD}));
    EXPECT_EQ(spi_frame({0x03, 0xFF, 0xFF, 0x00}, SPI_MODE3)[3], 0xFF);
    spi_frame({0x06}, SPI_MODE3);
    EXPECT_FALSE(b.eeprom().write_enable_latch());
}

TEST(EepromModel, ImageFileIsCreatedReusedAndKeptUpToDate) {
    const std::string path = ::testing::TempDir() + "zelmora_storage_image_" + std::to_string(getpid()) + ".bin";
    std::remove(path.c_str());
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.eeprom.image_path = path;
    auto file_bytes = [&] {
        std::ifstream in(path, std::ios::binary);
        return V((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };

    const V data = pattern(10, 40);
    {
        zsim::Board b(sc);
        EXPECT_EQ(file_bytes(), zsim::default_eeprom_image());
        bring_up();
        escritura_memoria(1000, 10, data.data(), 0);   // crosses a page: two writes
        const V f = file_bytes();
        EXPECT_EQ(V(f.begin() + 1000, f.begin() + 1010), data);
    }
    {
        zsim::Board b(sc);   // a second run starts where the first stopped
        EXPECT_EQ(bytes_at(b, 1000, 10), data);
    }

    std::ofstream(path, std::ios::binary | std::ios::trunc) << "short";
    zsim::Board b;
    try {
        zsim::Eeprom bad(b, sc);
        ADD_FAILURE() << "a short image was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("65536"), std::string::npos) << e.what();
    }
    std::remove(path.c_str());
}

// M95512 datasheet, Write cycle: the supply lost while the cycle runs leaves
// the bytes being written undefined; the model gives each a seeded mix of
// its old and new bits. The part comes back with its latch reset.
TEST(EepromModel, ALossOfSupplyDuringTheCycleLeavesTheBytesItWroteAMixOfOldAndNew) {
    auto cut_at = [](zplat::vtime at) {
        zsim::Scenario sc = zsim::Scenario::builtin();
        sc.power.power_cuts.push_back({at, 10 * kMs});
        return sc;
    };
    const V old_bytes(16, 0x0F), new_bytes(16, 0x3C);   // bits 2, 3, 6 and 7 the same in both
    for (const zplat::vtime after : {2 * kMs, 6 * kMs}) {
        zsim::Board b(cut_at(after));
        bring_up();
        b.eeprom().poke(0x0400, V(40, 0x77));
        b.eeprom().poke(0x0408, old_bytes);
        wren();
        raw_write(0x0408, new_bytes);
        b.advance(after + 20 * kMs - b.now());   // the cut and the supply back
        bring_up();
        EXPECT_FALSE(b.eeprom().write_enable_latch());
        EXPECT_EQ(rdsr(), 0x00);
        const V cells = bytes_at(b, 0x0408, 16);
        EXPECT_EQ(bytes_at(b, 0x0400, 8), V(8, 0x77));   // bytes not written keep theirs
        EXPECT_EQ(bytes_at(b, 0x0418, 16), V(16, 0x77));
        if (after > zsim::Eeprom::kWriteCycle) {
            EXPECT_EQ(b.eeprom().torn_cycles(), 0u);
            EXPECT_EQ(cells, new_bytes);
            continue;
        }
        EXPECT_EQ(b.eeprom().torn_cycles(), 1u);
        int mixed = 0;
        for (uint8_t c : cells) {
            EXPECT_EQ(c & 0xCC, 0x0C);
            mixed += c != 0x0F && c != 0x3C;
        }
        EXPECT_GT(mixed, 8);
    }
}
