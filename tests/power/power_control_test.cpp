// The minute's power evaluation: low-battery hysteresis, charger switching,
// the charger's status lines and its reset pulse; the alarm operations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "comunicaciones_pc.h"
#include "host/pins.h"
#include "power_support.h"

using zplat::kMs;

namespace {
// Thresholds that are exact multiples of the 1/16 V test factor.
void thresholds(float off, float low, float disable, float enable) {
    configuracion_power.ftension_alarma_bateria_off = off;
    configuracion_power.ftension_alarma_bateria_baja = low;
    configuracion_power.ftension_disable_panel_solar = disable;
    configuracion_power.ftension_enable_panel_solar = enable;
}

struct Evaluation : PowerBench {
    Evaluation() {
        inicializacion_balizaQ77();
        balizaQ77.fconversor_bateria = 1.0f / 16;
        balizaQ77.fconversor_corriente_panel_solar = 1.0f / 16;
        thresholds(12.5f, 11.75f, 14.5f, 13.25f);
    }
    void minute(float volts) {
        battery_counts(static_cast<int>(std::lround(volts * 16)));
        evaluacion_potencia_minuto();
    }
};
}  // namespace

TEST(LowBattery, RaisedAndClearedOnTwoReadingsInARowWithTheThresholdsCounting) {
    Evaluation t;
    t.minute(12.0f);
    t.minute(11.75f);   // at the low threshold: counts as low
    EXPECT_EQ(balizaQ77.calarma_bateria, 0);
    t.minute(12.0f);    // in between: both counts start again
    t.minute(11.75f);
    EXPECT_EQ(balizaQ77.calarma_bateria, 0);
    t.minute(11.5f);
    EXPECT_EQ(balizaQ77.calarma_bateria, 1);
    EXPECT_EQ(balizaQ77.crefresco, 1);
    EXPECT_EQ(t.count("Incidencia:1\tDato:1150"), 1u);

    t.minute(12.0f);
    t.minute(12.5f);    // at the off threshold: counts as back to normal
    EXPECT_EQ(balizaQ77.calarma_bateria, 1);
    t.minute(12.5f);
    EXPECT_EQ(balizaQ77.calarma_bateria, 0);
    EXPECT_EQ(t.count("Incidencia:2\tDato:1250"), 1u);
    EXPECT_EQ(t.count("Incidencia:"), 2u);
}

TEST(Charger, SwitchedOffOnTheFifthHighReadingAndOnAgainAfterFiveLow) {
    Evaluation t;
    thresholds(12.5f, 11.75f, 14.4f, 13.25f);
    for (int i = 0; i < 4; ++i) t.minute(14.5f);
    EXPECT_EQ(balizaQ77.cmppt, 1);
    t.minute(14.5f);
    EXPECT_EQ(balizaQ77.cmppt, 0);
    EXPECT_EQ(t.count("Incidencia:3\tDato:1450"), 1u);
    EXPECT_EQ(zplat::pin_level(21), 1);        // charger held off
    EXPECT_EQ(balizaQ77.cstatus_mppt, 0);
    EXPECT_EQ(balizaQ77.calarma_panel_solar, 0);   // cleared by the status read while off
    for (int i = 0; i < 5; ++i) t.minute(14.5f);
    EXPECT_EQ(t.count("Incidencia:3"), 1u);

    t.minute(14.0f);
    t.minute(13.5f);
    for (int i = 0; i < 4; ++i) t.minute(13.25f);
    EXPECT_EQ(balizaQ77.cmppt, 0);
    t.minute(13.25f);
    EXPECT_EQ(balizaQ77.cmppt, 1);
    EXPECT_EQ(t.count("Incidencia:4\tDato:1325"), 1u);
    EXPECT_EQ(zplat::pin_level(21), 0);
}

TEST(Charger, OverlappingThresholdsLeaveItAsItIs) {
    Evaluation t;
    thresholds(12.5f, 11.75f, 13.0f, 14.0f);   // enable above disable
    for (int i = 0; i < 12; ++i) t.minute(13.5f);
    EXPECT_EQ(balizaQ77.cmppt, 1);
    EXPECT_EQ(t.count("Incidencia:"), 0u);
}

TEST(Charger, NeverConfiguredThresholdsRaiseAndClearNothing) {
    Evaluation t;
    thresholds(NAN, NAN, NAN, NAN);
    for (int i = 0; i < 6; ++i) t.minute(10.0f);
    balizaQ77.calarma_bateria = 1;
    for (int i = 0; i < 6; ++i) t.minute(13.0f);
    for (int i = 0; i < 8; ++i) t.minute(15.0f + 0.25f * (i % 2));
    EXPECT_EQ(balizaQ77.calarma_bateria, 1);
    EXPECT_EQ(balizaQ77.cmppt, 1);
    EXPECT_EQ(t.count("Incidencia:"), 0u);
}

TEST(Charger, StatusLinesGiveChargingOrNoChargeAndNoChargeStartsAPulse) {
    Evaluation t;
    zplat::drive_pin(14, 0);
    lectura_entradas_status_mppt();
    EXPECT_EQ(balizaQ77.cstatus_mppt, 1);
    EXPECT_EQ(balizaQ77.creset_ciclo_mppt, 0);
    zplat::drive_pin(14, 1);
    zplat::drive_pin(50, 1);
    lectura_entradas_status_mppt();
    EXPECT_EQ(balizaQ77.cstatus_mppt, 3);
    EXPECT_EQ(balizaQ77.creset_ciclo_mppt, 10);
    EXPECT_EQ(balizaQ77.cminutos_disable_reset_ciclo_mppt, 30);
    EXPECT_EQ(zplat::pin_level(21), 1);
    t.b.advance(1100 * kMs);   // the tick ends the pulse
    EXPECT_EQ(zplat::pin_level(21), 0);
    lectura_entradas_status_mppt();   // locked out for 30 minutes
    EXPECT_EQ(zplat::pin_level(21), 0);
    EXPECT_EQ(balizaQ77.creset_ciclo_mppt, 0);
}

TEST(Alarms, EveryCodeLogsItsEventAndRequestsAReport) {
    PowerBench t;
    balizaQ77.fbateria = 11.999f;
    enable_alarma(0);
    EXPECT_EQ(t.count("Incidencia:1\tDato:1199"), 1u);   // truncated, not rounded
    EXPECT_EQ(balizaQ77.calarma_bateria, 1);
    enable_alarma(0);   // no suppression of repeats
    EXPECT_EQ(t.count("Incidencia:1\t"), 2u);

    balizaQ77.crefresco = 0;
    enable_alarma(7);
    disable_alarma(200);
    EXPECT_EQ(balizaQ77.crefresco, 0);
    EXPECT_EQ(t.count("Incidencia:"), 2u);

    enable_alarma(1);
    EXPECT_EQ(balizaQ77.calarma_panel_solar, 1);
    disable_alarma(1);
    EXPECT_EQ(balizaQ77.calarma_panel_solar, 1);   // only the status read clears it

    const std::vector<std::pair<int, int>> codes = {{2, 5}, {3, 7}, {4, 9}, {5, 11}, {6, 13}};
    for (auto [code, event] : codes) {
        enable_alarma(static_cast<uint8_t>(code));
        disable_alarma(static_cast<uint8_t>(code));
        EXPECT_EQ(t.count("Incidencia:" + std::to_string(event) + "\tDato:0"), 1u) << code;
        EXPECT_EQ(t.count("Incidencia:" + std::to_string(event + 1) + "\tDato:0"), 1u) << code;
    }
    EXPECT_EQ(periferico1.calarma, 0);
    EXPECT_EQ(l76lb.calarma, 0);
    enable_alarma(5);
    enable_alarma(6);
    EXPECT_EQ(periferico1.calarma, 1);
    EXPECT_EQ(l76lb.calarma, 1);

    balizaQ77.fbateria = NAN;   // an uncalibrated unit logs 0, not garbage
    enable_alarma(0);
    EXPECT_EQ(t.count("Incidencia:1\tDato:0\r\n"), 1u);
}

TEST(Alarms, TransponderClearIsAnnouncedWhenItsDiagnosticsAreOn) {
    PowerBench t;
    periferico1.cextraigo = 1;
    disable_alarma(5);
    EXPECT_EQ(t.count("AIS => RX FRAMES!!!! Disable alarm \r\n"), 1u);
    periferico1.cextraigo = 0;
    disable_alarma(5);
    EXPECT_EQ(t.count("AIS => RX FRAMES"), 1u);
}
