// Start-up with the clock and the EEPROM around the unit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "board.h"
#include "default_image.h"
#include "globals.h"
#include "text_support.h"

using zsim::Board;
using zplat::kMs;
using zplat::kSec;

namespace {
const char* const kRtcOk = "Configuracion RTC:\r\n\tOscilador enable\r\n\tReloj en 24 horas\r\nRTC configurado OK\r\n";
const char* const kEnd = "------------>>>>>>>>>>>>>>>    END SETUP <<<<<<<<<<<<<<<--------------";

}  // namespace

TEST(StartUpClock, RunningClockIsConfirmedBeforeTheEndLine) {
    Board b;
    b.run_for(5 * kSec);
    const auto ok = b.console().find(kRtcOk);
    ASSERT_NE(ok, std::string::npos) << b.console();
    EXPECT_LT(ok, b.console().find(kEnd));
    EXPECT_EQ(count(b.console(), "Oscilador enable"), 1u);
}

TEST(StartUpClock, StoppedClockIsStartedThenConfirmed) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.rtc.running = false;
    Board b(sc);
    b.run_for(5 * kSec);
    EXPECT_NE(b.console().find(kRtcOk), std::string::npos) << b.console();
    EXPECT_TRUE(b.rtc().running());
    EXPECT_EQ(b.restarts(), 0u);
}

TEST(StartUpClock, TwelveHourClockIsSwitchedTo24Hours) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.rtc.twelve_hour = true;
    sc.utc_start = *zsim::parse_utc("2026-12-08T15:10:00Z");
    Board b(sc);
    b.run_for(5 * kSec);
    // Oscillator seen running twice: before and after the switch to 24 hours.
    EXPECT_NE(b.console().find("Configuracion RTC:\r\n\tOscilador enable\r\n\tOscilador enable\r\n\tReloj en 24 "
                               "horas\r\nRTC configurado OK\r\n"),
              std::string::npos);
    EXPECT_FALSE(b.rtc().twelve_hour());
    EXPECT_EQ(b.rtc().time().hour, 15);
}

TEST(StartUpClock, MissingClockIsReportedAndTheUnitCarriesOn) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.rtc.present = false;
    Board b(sc);
    b.run_for(60 * kSec);
    const auto err = b.console().find("Configuracion RTC:\r\nERROR en RTC\r\n");
    ASSERT_NE(err, std::string::npos) << b.console();
    EXPECT_LT(err, b.console().find(kEnd));
    EXPECT_EQ(b.restarts(), 0u);
    EXPECT_EQ(count(b.console(), kEnd), 1u);
}

TEST(StartUpStorage, ConfigurationRecordsHoldTheFreshUnitsValues) {
    Board b;
    b.run_for(5 * kSec);
    EXPECT_EQ(configuracion_ais.lmmsi, 992241234u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(configuracion_ais.cnombre_msg19), 13), "ZELMORA NORTE");
    EXPECT_EQ(configuracion_ais.cnombre_msg19[13], 0);
    EXPECT_EQ(configuracion_ais.idimension_to_bow_msg19, 2);
    EXPECT_EQ(configuracion_ais.cmodel_code_msg24, 1);
    EXPECT_EQ(configuracion_ais.lserial_number_msg24, 4711u);
    EXPECT_EQ(configuracion_ais.lcommunication_state_msg18, 393222u);
    EXPECT_FLOAT_EQ(configuracion_power.ftension_alarma_bateria_off, 12.4f);
    EXPECT_FLOAT_EQ(configuracion_power.ftension_alarma_bateria_baja, 11.8f);
    EXPECT_FLOAT_EQ(configuracion_power.ftension_disable_panel_solar, 14.4f);
    EXPECT_FLOAT_EQ(configuracion_power.ftension_enable_panel_solar, 13.2f);
    EXPECT_EQ(configuracion_gps.csatelites_minimos, 4);
    EXPECT_EQ(configuracion_gps.ccalidad_minima, 20);
    EXPECT_EQ(configuracion_gps.cminutos_actualizacion_fecha, 60);
    EXPECT_EQ(configuracion_external_inputs.ctipo[0], 2);
    EXPECT_EQ(configuracion_external_inputs.cestado_en_reposo[0], 0);
    EXPECT_EQ(configuracion_external_inputs.itemporizacion[0], 20);
    EXPECT_EQ(configuracion_external_inputs.ctipo[1], 1);
    EXPECT_EQ(configuracion_external_inputs.ctipo[2], 0);
}

TEST(StartUpStorage, MissingEepromLoadsAsErasedWithoutRestarts) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.eeprom.present = false;
    Board b(sc);
    b.run_for(30 * kSec);
    EXPECT_EQ(b.restarts(), 0u);
    EXPECT_NE(b.console().find("ERROR EEPROM"), std::string::npos) << b.console();
    EXPECT_EQ(configuracion_ais.lmmsi, 1u);
    EXPECT_TRUE(std::isnan(configuracion_power.ftension_alarma_bateria_baja));
}

TEST(StartUpStorage, ImageFileIsCreatedFromTheDefaultAndKeptAcrossRuns) {
    // Its own file: test runs of other builds on the machine share the temporary folder.
    const std::string path = ::testing::TempDir() + "zelmora_image_test_" + std::to_string(getpid()) + ".bin";
    std::remove(path.c_str());
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.eeprom.image_path = path;
    {
        Board b(sc);
        b.run_for(3 * kSec);
        b.eeprom().poke(200, {1, 2, 3});   // something the next run must find again
        b.run_for(3 * kSec);
    }
    {
        std::ifstream f(path, std::ios::binary);
        const std::vector<uint8_t> img((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        ASSERT_EQ(img.size(), 65536u);
        const auto def = zsim::default_eeprom_image();
        EXPECT_TRUE(std::equal(def.begin(), def.begin() + 98, img.begin()));
    }
    Board b2(sc);
    EXPECT_EQ(b2.eeprom().contents()[200], 1);
    std::remove(path.c_str());
}
