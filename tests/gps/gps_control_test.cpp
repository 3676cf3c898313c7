// Control of the GPS module: power, the two PMTK commands repeated once a
// second until acknowledged, re-configuration after unwanted output, and the
// switch-off of test mode. The test plays the module's side of the line.
#include <gtest/gtest.h>

#include <string>

#include "constantes.h"
#include "gps_fw_support.h"
#include "host/pins.h"

using gpsfw::Bench;
using gpsfw::kMs;
using gpsfw::kSec;

namespace {
const std::string kSelection = "$PMTK314,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0,1,0,0,0,0*35\r\n";
const std::string kSbas = "$PMTK313,1*2E\r\n";
const std::string kAck314 = "$PMTK001,314,3*36\r\n";
const std::string kAck313 = "$PMTK001,313,3*31\r\n";
}  // namespace

TEST(GpsControl, OneStepPerState) {
    const std::string selection = kSelection.substr(0, kSelection.size() - 2);
    struct Case {
        uint8_t state, debug;
        std::string console, sent;
        uint8_t next, delay, pin;
    } cases[] = {
        {0, 1, "Arrancamos modulo GPS\r\n", "", 2, 10, 1},
        {0, 0, "", "", 2, 10, 1},
        {1, 1, "", "", 1, 77, 0},
        {2, 1, "\r\nConfiguramos modulo GPS\r\nTx GPS => " + selection + "\r\n", kSelection, 2, 10, 0},
        {2, 0, "", kSelection, 2, 10, 0},
        {3, 1, "Tx GPS => $PMTK313,1*2E\r\n", kSbas, 3, 10, 0},
        {3, 0, "", kSbas, 3, 10, 0},
        {4, 1, "\r\nApagamos modulo GPS => Posicion a traves AIS\r\n", "", 0, 77, 0},
        {4, 0, "", "", 0, 77, 0},
        {9, 1, "", "", 9, 77, 0},
    };
    for (const Case& c : cases) {
        Bench t;
        const std::string what = "state " + std::to_string(c.state) + ", debug " + std::to_string(c.debug);
        l76lb.cconfigurado = c.state;
        l76lb.cdebug = c.debug;
        l76lb.cdelay = 77;
        l76lb.cmodo = 3;
        if (c.state == 4) digitalWrite(PIN_POWER_GPS, HIGH);
        configuracion_frames_gps();
        EXPECT_EQ(l76lb.cconfigurado, c.next) << what;
        EXPECT_EQ(l76lb.cdelay, c.delay) << what;
        EXPECT_EQ(zplat::pin_level(PIN_POWER_GPS), c.pin) << what;
        EXPECT_EQ(t.sent(), c.sent) << what;
        EXPECT_EQ(t.console(), c.console) << what;
        if (c.state == 4) {
            EXPECT_EQ(Serial1.host_baud(), 0u) << what;   // the port is closed
            EXPECT_EQ(l76lb.cmodo, 0) << what;
        } else {
            EXPECT_EQ(Serial1.host_baud(), 9600u) << what;
        }
    }
}

TEST(GpsControl, StartUpPowersTheModuleThenSendsEachCommandUntilAcknowledged) {
    Bench t;
    l76lb.cdebug = 1;
    t.run(10 * kMs);
    EXPECT_EQ(zplat::pin_level(PIN_POWER_GPS), 1);
    EXPECT_EQ(l76lb.cconfigurado, 2);
    EXPECT_EQ(t.sent(), "");

    // A silent module gets the output selection once a second.
    t.run(3500 * kMs);
    EXPECT_EQ(count(t.sent(), kSelection), 3u);
    EXPECT_EQ(t.sent().size(), 3 * kSelection.size());

    // Its acknowledgement brings the SBAS command on the next pass.
    t.send(kAck314);
    t.run(100 * kMs);
    EXPECT_EQ(l76lb.cconfigurado, 3);
    EXPECT_EQ(t.sent(), kSelection + kSelection + kSelection + kSbas);

    t.send(kAck313);
    t.run(5 * kSec);
    EXPECT_EQ(l76lb.cconfigurado, 1);
    EXPECT_EQ(t.sent(), kSelection + kSelection + kSelection + kSbas);   // nothing more
    const std::string console = t.console();
    EXPECT_EQ(count(console, "Arrancamos modulo GPS\r\n"), 1u);
    EXPECT_EQ(count(console, "\r\nConfiguramos modulo GPS\r\n"), 3u);
    EXPECT_EQ(count(console, "Tx GPS => $PMTK313,1*2E\r\n"), 1u);
}

TEST(GpsControl, UnwantedOutputOfAConfiguredModuleRepeatsTheConfiguration) {
    Bench t;
    l76lb.cconfigurado = 1;
    l76lb.cdelay = 0;
    t.send("$GPGSV,1,1,01,05,40,083,46*40\r\n");   // the module restarted with its default output
    t.run(500 * kMs);
    EXPECT_EQ(l76lb.cconfigurado, 2);
    EXPECT_EQ(t.sent(), "");   // one second after the sentence
    t.run(600 * kMs);
    EXPECT_EQ(t.sent(), kSelection);
    t.send(kAck314);
    t.run(100 * kMs);
    t.send(kAck313);
    t.run(2 * kSec);
    EXPECT_EQ(l76lb.cconfigurado, 1);
    EXPECT_EQ(t.sent(), kSelection + kSbas);
}
