// The millisecond tick: its countdowns, the period cascade, the external
// input debouncer and the charger reset pulse.
#include <gtest/gtest.h>

#include "Arduino.h"
#include "Wire.h"
#include "board.h"
#include "globals.h"
#include "zelmora.h"

using zsim::Board;
using zsim::LineState;

namespace {
void ticks(uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) interrupcion_timer_cada_miliseg();
}

// Every test starts from a freshly powered board: firmware RAM at power-on.
class Tick : public ::testing::Test {
protected:
    Board board;
};
}  // namespace

TEST_F(Tick, EachCountdownRunsInItsOwnUnit) {
    periferico1.ctimeout_rx_frame = 5;
    balizaQ77.cretardo_medicion_bateria = 5;
    balizaQ77.iretardo_milisegundos = 300;
    l76lb.ctimeout_entre_bytes_rx = 5;
    rtc.ctimeout = 5;
    balizaQ77.creset_ciclo_mppt = 0;
    balizaQ77.cretardo_reset = 3;
    periferico1.ctimeout_respuesta_comando = 3;
    l76lb.cdelay = 3;
    periferico1.itimeout_tx_msg6 = 3;
    l76lb.cminutos_restantes_actualizacion_fecha = 2;
    l76lb.iminutos_sin_cobertura_gps = 2;
    periferico1.ctimeout_alarm = 2;
    balizaQ77.cminutos_disable_reset_ciclo_mppt = 2;

    ticks(3);
    EXPECT_EQ(periferico1.ctimeout_rx_frame, 2);
    EXPECT_EQ(balizaQ77.cretardo_medicion_bateria, 2);
    EXPECT_EQ(balizaQ77.iretardo_milisegundos, 297);
    EXPECT_EQ(l76lb.ctimeout_entre_bytes_rx, 2);
    EXPECT_EQ(rtc.ctimeout, 2);
    ticks(10);
    EXPECT_EQ(rtc.ctimeout, 0);   // held at zero
    EXPECT_EQ(balizaQ77.cretardo_reset, 3);

    ticks(100 - 13);   // first 100 ms step
    EXPECT_EQ(balizaQ77.cretardo_reset, 2);
    EXPECT_EQ(periferico1.ctimeout_respuesta_comando, 2);
    EXPECT_EQ(l76lb.cdelay, 2);
    EXPECT_EQ(periferico1.itimeout_tx_msg6, 3);

    ticks(900);   // first second
    EXPECT_EQ(periferico1.itimeout_tx_msg6, 2);
    EXPECT_EQ(l76lb.cdelay, 0);
    EXPECT_EQ(l76lb.iminutos_sin_cobertura_gps, 2);

    ticks(59000);   // first minute
    EXPECT_EQ(balizaQ77.cmedicion_bateria, 1);
    EXPECT_EQ(l76lb.cminutos_restantes_actualizacion_fecha, 1);
    EXPECT_EQ(l76lb.iminutos_sin_cobertura_gps, 1);
    EXPECT_EQ(periferico1.ctimeout_alarm, 1);
    EXPECT_EQ(balizaQ77.cminutos_disable_reset_ciclo_mppt, 1);
}

TEST_F(Tick, MinuteWorkRunsOncePer600TenthsAndUpCountersHold) {
    periferico1.csegundos_sin_tramas_deteccion_usb = 119;
    periferico1.csegundos_sin_tramas_gps_ais = 8;
    ticks(59999);
    EXPECT_EQ(balizaQ77.cmedicion_bateria, 0);
    EXPECT_EQ(cacciones_1min, 59);
    EXPECT_EQ(cacciones_1s, 9);
    EXPECT_EQ(cacciones_100ms, 99);
    ticks(1);
    EXPECT_EQ(balizaQ77.cmedicion_bateria, 1);
    EXPECT_EQ(cacciones_1min, 0);
    EXPECT_EQ(periferico1.csegundos_sin_tramas_deteccion_usb, 120);
    EXPECT_EQ(periferico1.csegundos_sin_tramas_gps_ais, 10);

    // Realigned by the status report: the next minute comes sooner.
    balizaQ77.cmedicion_bateria = 0;
    cacciones_1min = 32;
    ticks(27999);
    EXPECT_EQ(balizaQ77.cmedicion_bateria, 0);
    ticks(1);
    EXPECT_EQ(balizaQ77.cmedicion_bateria, 1);
}

TEST_F(Tick, ChargerResetPulseHoldsPin21ForTenSteps) {
    pinMode(21, OUTPUT);
    balizaQ77.cmppt = 1;
    balizaQ77.creset_ciclo_mppt = 10;
    digitalWrite(21, HIGH);
    ticks(900);
    EXPECT_EQ(digitalRead(21), HIGH);
    EXPECT_EQ(balizaQ77.creset_ciclo_mppt, 1);
    ticks(100);
    EXPECT_EQ(digitalRead(21), LOW);
    EXPECT_EQ(balizaQ77.creset_ciclo_mppt, 0);
}

namespace {
// Input 1 on pin 44 with the given configuration; the main loop has run.
class Debounce : public Tick {
protected:
    void configure(uint8_t tipo, uint8_t reposo, uint16_t temporizacion) {
        pinMode(44, INPUT_PULLUP);
        configuracion_external_inputs.ctipo[0] = tipo;
        configuracion_external_inputs.cestado_en_reposo[0] = reposo;
        configuracion_external_inputs.itemporizacion[0] = temporizacion;
        clisto = 1;   // the 100 ms step falls on every hundredth tick from power-on
    }
    void line(LineState s) { board.inputs().set_input(1, s); }
    void samples(uint32_t n) { ticks(100 * n); }
};
}  // namespace

TEST_F(Debounce, ALevelMustBeSeenOnMoreThanTheDebounceCount) {
    configure(2, 0, 0);   // active when the pin reads low
    line(LineState::Low);
    samples(1);
    EXPECT_EQ(periferico1.cenable[0], 1);
    EXPECT_EQ(periferico1.calarma_activada[0], 1);

    periferico1.cenable[0] = 0;
    configure(2, 0, 3);
    line(LineState::Open);
    samples(3);
    EXPECT_EQ(periferico1.cdisable[0], 0);
    samples(1);
    EXPECT_EQ(periferico1.cdisable[0], 1);   // n + 1 samples
    EXPECT_EQ(periferico1.calarma_activada[0], 0);
}

TEST_F(Debounce, MaximumDebounceNeverChangesState) {
    configure(2, 0, 65535);
    line(LineState::Low);
    samples(70000);
    EXPECT_EQ(periferico1.cenable[0], 0);
    EXPECT_EQ(periferico1.calarma_activada[0], 0);
}

TEST_F(Debounce, ShortPulsesAreIgnored) {
    configure(2, 0, 5);
    for (int i = 0; i < 10; ++i) {
        line(LineState::Low);
        samples(5);
        line(LineState::Open);
        samples(1);   // the other level resets the count
    }
    EXPECT_EQ(periferico1.cenable[0], 0);
}

TEST_F(Debounce, LatchingInputRaisesOnceAndStaysActive) {
    configure(1, 1, 2);   // active when the pin reads high
    line(LineState::Low);
    samples(5);
    line(LineState::High);
    samples(3);
    EXPECT_EQ(periferico1.cenable[0], 1);
    periferico1.cenable[0] = 0;
    line(LineState::Low);
    samples(10);
    EXPECT_EQ(periferico1.cdisable[0], 0);
    EXPECT_EQ(periferico1.calarma_activada[0], 1);
    line(LineState::High);
    samples(10);
    EXPECT_EQ(periferico1.cenable[0], 0);   // no second raise

    // Retyped as following, it clears when seen at rest.
    configuracion_external_inputs.ctipo[0] = 2;
    line(LineState::Low);
    samples(3);
    EXPECT_EQ(periferico1.cdisable[0], 1);
}

TEST_F(Debounce, FollowingInputRaisesAndClearsOncePerActivation) {
    configure(2, 0, 1);
    int raises = 0, clears = 0;
    for (int k = 0; k < 3; ++k) {
        line(LineState::Low);
        for (int i = 0; i < 4; ++i) {
            samples(1);
            raises += periferico1.cenable[0];
            periferico1.cenable[0] = 0;
        }
        line(LineState::Open);
        for (int i = 0; i < 4; ++i) {
            samples(1);
            clears += periferico1.cdisable[0];
            periferico1.cdisable[0] = 0;
        }
    }
    EXPECT_EQ(raises, 3);
    EXPECT_EQ(clears, 3);
}

TEST_F(Debounce, TypeZeroDiscardsPendingRequestsAndOtherRestLevelsNeverChange) {
    configure(2, 0, 0);
    line(LineState::Low);
    samples(1);
    ASSERT_EQ(periferico1.cenable[0], 1);
    configuracion_external_inputs.ctipo[0] = 0;
    samples(1);
    EXPECT_EQ(periferico1.cenable[0], 0);
    EXPECT_EQ(periferico1.calarma_activada[0], 0);

    configure(2, 7, 0);   // neither level is the active one
    samples(5);
    line(LineState::Open);
    samples(5);
    EXPECT_EQ(periferico1.cenable[0], 0);
    EXPECT_EQ(periferico1.cdisable[0], 0);
}

TEST_F(Debounce, InputsAreIgnoredUntilTheMainLoopHasRun) {
    configure(2, 0, 0);
    clisto = 0;
    line(LineState::Low);
    samples(20);
    EXPECT_EQ(periferico1.cenable[0], 0);
    EXPECT_EQ(periferico1.iseguridad_entrada_externa_low[0], 0);
    clisto = 1;
    samples(1);
    EXPECT_EQ(periferico1.cenable[0], 1);
}

TEST_F(Tick, TimerRunsEveryCc0PlusOneCyclesAndDelaysUseIt) {
    setup_timerTC0(1, 8000);
    EXPECT_EQ(board.mcu().tc0_period(), 0u);   // configured, not started
    start_timerTC0();
    EXPECT_EQ(board.mcu().tc0_period(), 1000125u);

    const auto t0 = board.now();
    retardo_milisegundos(50);
    const auto waited = board.now() - t0;
    EXPECT_GE(waited, 49 * 1000125u);
    EXPECT_LE(waited, 51 * 1000125u);

    // A 16-bit countdown: 65541 ms waits 5.
    const auto t1 = board.now();
    retardo_milisegundos(65541);
    EXPECT_LE(board.now() - t1, 7 * 1000125u);

    setup_timerTC0(1024, 7);   // another rate, and stopped again by the set-up
    EXPECT_EQ(board.mcu().tc0_period(), 0u);
    start_timerTC0();
    EXPECT_EQ(board.mcu().tc0_period(), 8u * 1024u * 125u);
}

// A bus transfer that lasts longer than a millisecond holds the main loop,
// not the interrupt: every match of the timer inside it is delivered.
TEST(TickOnTheBoard, ABusTransferLongerThanAMillisecondLosesNoTick) {
    Board b;
    setup_timerTC0(1, 8000);
    start_timerTC0();
    Wire.begin();
    rtc.ctimeout = 200;
    const zplat::vtime t0 = b.now();
    Wire.beginTransmission(0x6F);
    Wire.write(0x20);   // the clock's SRAM
    for (uint8_t i = 0; i < 40; ++i) Wire.write(i);
    ASSERT_EQ(Wire.endTransmission(), 0);
    const zplat::vtime elapsed = b.now() - t0;
    ASSERT_GT(elapsed, 3 * zplat::kMs);   // 42 bytes of 9 bits at 100 kHz
    const int ticks = static_cast<int>(elapsed / 1000125);
    EXPECT_NEAR(200 - rtc.ctimeout, ticks, 1);
}
