// Analog measurement: averaging, the battery jump filter, calibration and the
// ampere-hour accumulation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "comunicaciones_pc.h"
#include "host/pins.h"
#include "power_support.h"

using zplat::kMs;

TEST(BatteryReading, AJumpOfMoreThanHalfAVoltIsBelievedOnItsFifthReading) {
    PowerBench t;
    balizaQ77.fconversor_bateria = 0.125f;   // exact in binary: counts x 1/8 V
    uint16_t raw = 0;
    t.battery_counts(96);
    EXPECT_EQ(extraigo_valor_analogico(0, &raw, 0), 12.0f);   // first reading: accepted whatever it is
    EXPECT_EQ(raw, 96);
    t.battery_counts(104);   // 13.0 V
    for (int i = 0; i < 4; ++i) EXPECT_EQ(extraigo_valor_analogico(0, &raw, 0), 12.0f) << i;
    EXPECT_EQ(balizaQ77.ccambios_bruscos_bateria, 4);
    EXPECT_EQ(extraigo_valor_analogico(0, &raw, 0), 13.0f);
    EXPECT_EQ(balizaQ77.fbateria, 13.0f);
    EXPECT_EQ(balizaQ77.ccambios_bruscos_bateria, 0);

    t.battery_counts(100);   // 12.5 V: exactly half a volt away counts as no jump
    EXPECT_EQ(extraigo_valor_analogico(0, &raw, 0), 12.5f);

    t.battery_counts(20);   // a single spike is ignored
    EXPECT_EQ(extraigo_valor_analogico(0, &raw, 0), 12.5f);
    t.battery_counts(100);
    EXPECT_EQ(extraigo_valor_analogico(0, &raw, 0), 12.5f);
    EXPECT_EQ(balizaQ77.ccambios_bruscos_bateria, 0);
}

TEST(BatteryReading, RawOnlyReadingsLeaveTheFilterAlone) {
    PowerBench t;
    balizaQ77.fconversor_bateria = 0.125f;
    balizaQ77.fbateria = 12.0f;
    balizaQ77.ccambios_bruscos_bateria = 2;
    uint16_t raw = 0;
    t.battery_counts(3000);
    EXPECT_EQ(extraigo_valor_analogico(0, &raw, 1), 0.0f);
    EXPECT_EQ(raw, 3000);
    EXPECT_EQ(balizaQ77.fbateria, 12.0f);
    EXPECT_EQ(balizaQ77.ccambios_bruscos_bateria, 2);
    EXPECT_EQ(extraigo_valor_analogico(7, &raw, 0), 0.0f);   // no such channel
    EXPECT_EQ(raw, 0);
}

TEST(BatteryReading, TestModeEnablesAndSettlesItself) {
    PowerBench t;
    balizaQ77.fconversor_bateria = 0.125f;
    balizaQ77.fconversor_corriente_panel_solar = 0.5f;
    balizaQ77.fbateria = 4.0f;
    balizaQ77.ctest = 1;
    t.battery_counts(96);
    t.panel_counts(6);
    uint16_t raw = 0;
    const auto t0 = t.b.now();
    EXPECT_EQ(extraigo_valor_analogico(0, &raw, 0), 12.0f);   // no filter in test mode
    EXPECT_GE(t.b.now() - t0, 49 * kMs);
    EXPECT_EQ(zplat::pin_level(13), 0);
    const auto t1 = t.b.now();
    EXPECT_EQ(extraigo_valor_analogico(2, &raw, 0), 3.0f);
    EXPECT_GE(t.b.now() - t1, 9 * kMs);
    EXPECT_EQ(zplat::pin_level(10), 0);

    balizaQ77.ctest = 0;   // outside test mode the panel enable is the caller's
    digitalWrite(10, HIGH);
    extraigo_valor_analogico(2, &raw, 0);
    EXPECT_EQ(zplat::pin_level(10), 1);
}

TEST(Calibration, FactorIsStoredLittleEndianAndPrinted) {
    PowerBench t;
    t.battery_counts(2500);
    ajuste_tension_bateria(12.5f);
    EXPECT_FLOAT_EQ(balizaQ77.fconversor_bateria, 0.005f);
    const float f = 0.005f;
    uint8_t expect[4];
    std::memcpy(expect, &f, 4);
    t.b.advance(10 * kMs);   // the write cycle
    const auto& m = t.b.eeprom().contents();
    EXPECT_EQ(std::vector<uint8_t>(m.begin() + 0xFFF8, m.begin() + 0xFFFC), std::vector<uint8_t>(expect, expect + 4));
    EXPECT_NE(t.console().find("\tEntrada bateria ajustada\r\nDato:12.50\r\nValor AD:2500\r\nConversor:0.00"),
              std::string::npos)
        << t.console();

    t.panel_counts(1000);
    ajuste_corriente_panel_solar(2.0f);
    t.b.advance(10 * kMs);
    float stored;
    std::memcpy(&stored, &t.b.eeprom().contents()[0xFFF4], 4);
    EXPECT_FLOAT_EQ(stored, 0.002f);
    EXPECT_NE(t.console().find("\tI corriente panel solar\r\nDato:2.00\r\nValor AD:1000\r\n"), std::string::npos);

    // Read back at the next start-up.
    inicializacion_balizaQ77();
    EXPECT_FLOAT_EQ(balizaQ77.fconversor_bateria, 0.005f);
    EXPECT_FLOAT_EQ(balizaQ77.fconversor_corriente_panel_solar, 0.002f);
}

TEST(Calibration, ARawZeroStoresNothing) {
    PowerBench t;
    balizaQ77.fconversor_bateria = 0.005f;
    const std::vector<uint8_t> before(t.b.eeprom().contents().begin() + 0xFFF8, t.b.eeprom().contents().begin() + 0xFFFC);
    t.battery_counts(0);
    EXPECT_EQ(ajuste_tension_bateria(12.0f), 0);
    EXPECT_EQ(balizaQ77.fconversor_bateria, 0.005f);
    t.b.advance(10 * kMs);
    EXPECT_EQ(std::vector<uint8_t>(t.b.eeprom().contents().begin() + 0xFFF8, t.b.eeprom().contents().begin() + 0xFFFC),
              before);
    EXPECT_NE(t.console().find("\tAjuste rechazado\r\nDato:12.00\r\nValor AD:0\r\n"), std::string::npos);
    EXPECT_EQ(t.console().find("Conversor:"), std::string::npos);
}

TEST(AmpereHours, HoursCloseEverySixtySamplesAndTheRunningHourCounts) {
    PowerBench t;
    reset_panel_solar();
    balizaQ77.fcorriente_panel_solar = 2.0f;
    for (int i = 0; i < 60; ++i) acumulacion_amperios_hora();
    EXPECT_FLOAT_EQ(balizaQ77.famperios_hora_panel_solar_acumulados, 2.0f);
    EXPECT_EQ(balizaQ77.fcorriente_panel_solar_en_una_hora, 0.0f);
    EXPECT_EQ(balizaQ77.cminutos_panel_solar_amperios_hora, 0);
    for (int i = 0; i < 30; ++i) acumulacion_amperios_hora();
    EXPECT_FLOAT_EQ(fconversor_corriente_panel_solar_acumulada(), 3.0f);
    reset_panel_solar();
    EXPECT_EQ(fconversor_corriente_panel_solar_acumulada(), 0.0f);
}
