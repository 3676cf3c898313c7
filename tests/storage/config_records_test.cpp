// The configuration records decoded from EEPROM bytes 0..97: byte orders,
// range rules, and what an erased area gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "globals.h"
#include "procesado.h"
#include "storage_helpers.h"

using namespace storage_test;

namespace {
// A fresh board whose configuration area is erased.
class ConfigRecords : public ::testing::Test {
protected:
    void SetUp() override {
        bring_up();
        board.eeprom().poke(0, std::vector<uint8_t>(128, 0xFF));
    }
    zsim::Board board;
};
}  // namespace

TEST_F(ConfigRecords, AnErasedAreaLoadsSafeDefaults) {
    ASSERT_EQ(cargar_estructuras_configuracion_orv(), 1);
    const auto& a = configuracion_ais;
    EXPECT_EQ(a.ctype_ship_and_cargo_msg19 + a.idimension_to_bow_msg19 + a.idimension_to_stern_msg19 +
                  a.cdimension_to_port_msg19 + a.cdimension_to_startboard_msg19 + a.cmodel_code_msg24,
              0);
    EXPECT_EQ(a.lserial_number_msg24, 0u);
    EXPECT_EQ(a.lmmsi, 1u);
    EXPECT_EQ(a.cnombre_msg19[19], 0xFF);
    EXPECT_TRUE(std::isnan(configuracion_power.ftension_alarma_bateria_off));
    EXPECT_TRUE(std::isnan(configuracion_power.ftension_alarma_bateria_baja));
    EXPECT_TRUE(std::isnan(configuracion_power.ftension_disable_panel_solar));
    EXPECT_TRUE(std::isnan(configuracion_power.ftension_enable_panel_solar));
    EXPECT_EQ(configuracion_gps.csatelites_minimos, 255);
    EXPECT_EQ(configuracion_gps.ccalidad_minima, 255);
    EXPECT_EQ(configuracion_gps.cminutos_actualizacion_fecha, 255);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(configuracion_external_inputs.ctipo[i], 255);
        EXPECT_EQ(configuracion_external_inputs.cestado_en_reposo[i], 255);
        EXPECT_EQ(configuracion_external_inputs.itemporizacion[i], 65535);
    }
}

TEST_F(ConfigRecords, ByteOrdersAndRangeRules) {
    struct Case {
        uint16_t at;
        std::vector<uint8_t> bytes;
        std::function<uint32_t()> field;
        uint32_t expected;
    };
    const auto mmsi = [] { return configuracion_ais.lmmsi; };
    const auto bow = [] { return uint32_t{configuracion_ais.idimension_to_bow_msg19}; };
    const auto type = [] { return uint32_t{configuracion_ais.ctype_ship_and_cargo_msg19}; };
    const auto serial = [] { return configuracion_ais.lserial_number_msg24; };
    const Case cases[] = {
        {46, {0x15, 0xCD, 0x5B, 0x07}, mmsi, 123456789},
        {46, {0xFF, 0xC9, 0x9A, 0x3B}, mmsi, 999999999},
        {46, {0x00, 0xCA, 0x9A, 0x3B}, mmsi, 1},   // 1000000000
        {46, {0, 0, 0, 0}, mmsi, 1},
        {1, {0x01, 0xFF}, bow, 511},
        {1, {0x02, 0x00}, bow, 0},
        {3, {0x00, 0x05}, [] { return uint32_t{configuracion_ais.idimension_to_stern_msg19}; }, 5},
        {0, {100}, type, 100},
        {0, {101}, type, 0},
        {5, {63}, [] { return uint32_t{configuracion_ais.cdimension_to_port_msg19}; }, 63},
        {6, {64}, [] { return uint32_t{configuracion_ais.cdimension_to_startboard_msg19}; }, 0},
        {63, {15}, [] { return uint32_t{configuracion_ais.cmodel_code_msg24}; }, 15},
        {64, {0xFF, 0xFF, 0x0F}, serial, 1048575},
        {64, {0x00, 0x00, 0x10}, serial, 0},
        {36, {0x00, 0x0A}, [] { return uint32_t{configuracion_external_inputs.itemporizacion[0]}; }, 10},
        {44, {0x01, 0x02}, [] { return uint32_t{configuracion_external_inputs.itemporizacion[2]}; }, 258},
        {39, {1}, [] { return uint32_t{configuracion_external_inputs.cestado_en_reposo[1]}; }, 1},
        {86, {0x01, 0x02, 0x03, 0x04}, [] { return configuracion_ais.lcommunication_state_msg18; }, 0x04030201},
        {96, {1}, [] { return uint32_t{configuracion_ais.craim_flag_msg18}; }, 1},
    };
    for (const Case& c : cases) {
        board.eeprom().poke(c.at, c.bytes);
        ASSERT_EQ(cargar_estructuras_configuracion_orv(), 1);
        EXPECT_EQ(c.field(), c.expected) << "bytes at " << c.at;
    }
}

TEST_F(ConfigRecords, TextsAndFloatsAreCopiedAsStored) {
    board.eeprom().poke(7, {'N', 'O', 'R', 'T', 'E'});
    board.eeprom().poke(27, {'E', 'A', '1', '2', '3', '4', '5'});
    board.eeprom().poke(60, {'Z', 'L', 'M'});
    board.eeprom().poke(71, {0x00, 0x00, 0x48, 0x41});   // 12.5 V
    board.eeprom().poke(50, std::vector<uint8_t>(10, 0x00));   // unused bytes
    board.eeprom().poke(98, std::vector<uint8_t>(30, 0x00));
    ASSERT_EQ(cargar_estructuras_configuracion_orv(), 1);
    const auto& a = configuracion_ais;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.cnombre_msg19), 6), "NORTE\xFF");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.ccall_sing_msg24), 7), "EA12345");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.cid_vendor_msg24), 3), "ZLM");
    EXPECT_EQ(configuracion_power.ftension_alarma_bateria_baja, 12.5f);
    EXPECT_TRUE(std::isnan(configuracion_power.ftension_disable_panel_solar));
    EXPECT_EQ(a.lmmsi, 1u);
    EXPECT_EQ(a.ccommunication_state_selector_flag_msg18, 0xFF);
}

TEST(ByteHelpers, CopyIsCappedAtAPageAndFloatsNeedNoAlignment) {
    uint8_t src[300];
    for (size_t i = 0; i < sizeof(src); ++i) src[i] = static_cast<uint8_t>(i);
    uint8_t dst[200];
    std::memset(dst, 0xEE, sizeof(dst));
    copyArray(dst, src, 5, 200);
    EXPECT_EQ(dst[127], 132);
    EXPECT_EQ(dst[128], 0xEE);

    const uint8_t bytes[5] = {0xAA, 0x00, 0x00, 0x48, 0x41};
    EXPECT_EQ(Extraer_Float(bytes, 1), 12.5f);
}
