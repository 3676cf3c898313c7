// Start-up, main loop and the millisecond tick of the beacon monitor.
#include "zelmora.h"

#include <Arduino.h>
#include <string.h>
#include <Wire.h>
#include <sam.h>

#include "Sodaq_wdt.h"
#include "comunicaciones_pc.h"
#include "constantes.h"
#include "M95512.h"
#include "ais.h"
#include "globals.h"
#include "gps_l76lb.h"
#include "mcp7940.h"
#include "periferico.h"
#include "procesado.h"
#include "setup.h"
#include "tools.h"

// ---------------------------------------------------------------- tick ----

static void resetTC(Tc* tc) {
    tc->COUNT16.CTRLA.reg &= ~TC_CTRLA_ENABLE;
    while (tc->COUNT16.SYNCBUSY.reg) {
    }
    tc->COUNT16.CTRLA.reg = TC_CTRLA_SWRST;
    while (tc->COUNT16.SYNCBUSY.reg) {
    }
    while (tc->COUNT16.CTRLA.reg & TC_CTRLA_SWRST) {
    }
}

// Configures TC0 as a 16-bit counter restarting at `compare`, clocked from
// generic clock generator 1 (8 MHz); it does not start it.
void setup_timerTC0(uint32_t prescaler, uint32_t compare) {
    NVIC->ICER[0].reg = 1ul << TC0_IRQn;
    NVIC_ClearPendingIRQ(TC0_IRQn);
    NVIC_SetPriority(TC0_IRQn, 1);   // 0x40

    TC0->COUNT16.INTFLAG.reg = TC_INTFLAG_MC0;   // stale match

    GCLK->PCHCTRL[TC0_GCLK_ID].reg = GCLK_PCHCTRL_CHEN | GCLK_PCHCTRL_GEN_GCLK1;
    while (!(GCLK->PCHCTRL[TC0_GCLK_ID].reg & GCLK_PCHCTRL_CHEN)) {
    }

    uint32_t prescaler_bits;
    switch (prescaler) {
        case 1: prescaler_bits = TC_CTRLA_PRESCALER_DIV1; break;
        case 2: prescaler_bits = TC_CTRLA_PRESCALER_DIV2; break;
        case 4: prescaler_bits = TC_CTRLA_PRESCALER_DIV4; break;
        case 8: prescaler_bits = TC_CTRLA_PRESCALER_DIV8; break;
        case 16: prescaler_bits = TC_CTRLA_PRESCALER_DIV16; break;
        case 64: prescaler_bits = TC_CTRLA_PRESCALER_DIV64; break;
        case 256: prescaler_bits = TC_CTRLA_PRESCALER_DIV256; break;
        case 1024: prescaler_bits = TC_CTRLA_PRESCALER_DIV1024; break;
        default: prescaler_bits = TC_CTRLA_PRESCALER_DIV1; break;
    }

    resetTC(TC0);
    TC0->COUNT16.CTRLA.reg |= prescaler_bits;   // stays a 16-bit counter
    while (TC0->COUNT16.SYNCBUSY.reg) {
    }
    TC0->COUNT16.WAVE.reg = TC_WAVE_WAVEGEN_MFRQ;   // restart after CC0
    while (TC0->COUNT16.SYNCBUSY.reg) {
    }
    TC0->COUNT16.CC[0].reg = static_cast<uint16_t>(compare);
    while (TC0->COUNT16.SYNCBUSY.reg) {
    }
    TC0->COUNT16.INTENSET.reg = TC_INTENSET_MC0;
}

void start_timerTC0() {
    TC0->COUNT16.CTRLA.reg |= TC_CTRLA_ENABLE;
    while (TC0->COUNT16.SYNCBUSY.reg) {
    }
    NVIC_EnableIRQ(TC0_IRQn);
}

extern "C" void TC0_Handler(void) {
    TC0->COUNT16.INTFLAG.reg = TC_INTFLAG_MC0;
    interrupcion_timer_cada_miliseg();
}

static inline void descontar(volatile uint8_t& c) {
    if (c != 0) c = static_cast<uint8_t>(c - 1);
}

static inline void descontar(volatile uint16_t& c) {
    if (c != 0) c = static_cast<uint16_t>(c - 1);
}

// Input i becomes active after more than itemporizacion[i] consecutive
// 100 ms samples at its active level; type 2 inputs also clear that way.
static void antirrebote_entrada(uint8_t i, uint8_t pin) {
    const uint8_t ctipo = configuracion_external_inputs.ctipo[i];
    if (ctipo == 0) {
        periferico1.cenable[i] = 0;
        periferico1.cdisable[i] = 0;
        periferico1.calarma_activada[i] = 0;
        return;
    }
    const uint8_t nivel = static_cast<uint8_t>(digitalRead(pin));
    uint16_t* contador;
    if (nivel) {
        periferico1.iseguridad_entrada_externa_high[i]++;
        periferico1.iseguridad_entrada_externa_low[i] = 0;
        contador = &periferico1.iseguridad_entrada_externa_high[i];
    } else {
        periferico1.iseguridad_entrada_externa_low[i]++;
        periferico1.iseguridad_entrada_externa_high[i] = 0;
        contador = &periferico1.iseguridad_entrada_externa_low[i];
    }
    if (*contador <= configuracion_external_inputs.itemporizacion[i]) return;

    const uint8_t reposo = configuracion_external_inputs.cestado_en_reposo[i];
    // Rest level 0: active when low; 1: active when high; else never changes.
    const bool activo = (reposo == 0 && nivel == 0) || (reposo == 1 && nivel == 1);
    const bool en_reposo = (reposo == 0 && nivel == 1) || (reposo == 1 && nivel == 0);
    if (activo && periferico1.calarma_activada[i] == 0) {
        periferico1.cenable[i] = 1;
        periferico1.calarma_activada[i] = 1;
    } else if (en_reposo && periferico1.calarma_activada[i] == 1 && ctipo == 2) {
        periferico1.cdisable[i] = 1;
        periferico1.calarma_activada[i] = 0;
    }
    *contador = 0;
}

void interrupcion_timer_cada_miliseg() {
    descontar(periferico1.ctimeout_rx_frame);
    descontar(balizaQ77.cretardo_medicion_bateria);
    descontar(balizaQ77.iretardo_milisegundos);
    descontar(l76lb.ctimeout_entre_bytes_rx);
    descontar(rtc.ctimeout);

    const uint8_t ms = static_cast<uint8_t>(cacciones_100ms + 1);
    if (ms <= 99) {
        cacciones_100ms = ms;
        return;
    }
    cacciones_100ms = 0;

    // Charger reset pulse: pin 21 stays high for ten 100 ms steps.
    if (balizaQ77.cmppt == 1 && balizaQ77.creset_ciclo_mppt != 0) {
        balizaQ77.creset_ciclo_mppt = static_cast<uint8_t>(balizaQ77.creset_ciclo_mppt - 1);
        digitalWrite(PIN_DISABLE_MPPT, balizaQ77.creset_ciclo_mppt != 0 ? HIGH : LOW);
    }
    descontar(balizaQ77.cretardo_reset);
    descontar(periferico1.ctimeout_respuesta_comando);
    if (clisto == 1) {
        antirrebote_entrada(0, PIN_ENTRADA_EXTERNA1);
        antirrebote_entrada(1, PIN_ENTRADA_EXTERNA2);
        antirrebote_entrada(2, PIN_ENTRADA_EXTERNA3);
    }
    descontar(l76lb.cdelay);

    const uint8_t s = static_cast<uint8_t>(cacciones_1s + 1);
    if (s <= 9) {
        cacciones_1s = s;
        return;
    }
    cacciones_1s = 0;

    if (periferico1.csegundos_sin_tramas_deteccion_usb < 120) periferico1.csegundos_sin_tramas_deteccion_usb++;
    if (periferico1.csegundos_sin_tramas_gps_ais < 10) periferico1.csegundos_sin_tramas_gps_ais++;
    descontar(periferico1.itimeout_tx_msg6);

    const uint8_t m = static_cast<uint8_t>(cacciones_1min + 1);
    if (m <= 59) {
        cacciones_1min = m;
        return;
    }
    cacciones_1min = 0;

    balizaQ77.cmedicion_bateria = 1;
    descontar(l76lb.cminutos_restantes_actualizacion_fecha);
    descontar(l76lb.iminutos_sin_cobertura_gps);
    descontar(periferico1.ctimeout_alarm);
    descontar(balizaQ77.cminutos_disable_reset_ciclo_mppt);
}

// The countdown is 16 bits wide: longer requests keep their low 16 bits.
void retardo_milisegundos(uint32_t ms) {
    balizaQ77.iretardo_milisegundos = static_cast<uint16_t>(ms);
    while (balizaQ77.iretardo_milisegundos != 0) sodaq_wdt_reset();
}

void configuracion_adc() { analogReadResolution(12); }

// ------------------------------------------------------------ event log ----

static const uint32_t lpartes[4] = {1u, 256u, 65536u, 16777216u};

// Positions never pass 8 in the 9-byte record buffer.
static uint8_t inserto_byte_incidencia(uint8_t* pcframe, uint8_t cposicion, uint8_t cdato) {
    pcframe[cposicion] = cdato;
    if (cposicion <= 7) cposicion++;
    return cposicion;
}

// The low `ccantidad_bytes` bytes of `lvariable`, most significant first.
uint8_t inserto_variable_incidencia(uint8_t* pcframe, uint8_t cposicion, uint32_t lvariable, uint8_t ccantidad_bytes) {
    if (ccantidad_bytes > 4) ccantidad_bytes = 4;
    for (int8_t i = static_cast<int8_t>(ccantidad_bytes - 1); i >= 0; --i) {
        cposicion = inserto_byte_incidencia(pcframe, cposicion, static_cast<uint8_t>(lvariable / lpartes[i]));
    }
    return cposicion;
}

static uint16_t leer_entero_eeprom(uint32_t direccion) {
    uint8_t b[2] = {0xFF, 0xFF};
    lectura_memoria(direccion, 2, b);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

static void grabar_entero_eeprom(uint32_t direccion, uint16_t valor) {
    const uint8_t b[2] = {static_cast<uint8_t>(valor >> 8), static_cast<uint8_t>(valor)};
    escritura_memoria(direccion, 2, b, 1);
}

// The write index is kept three times, each in a page of its own: copy 1,
// copy 2 and 254 (the one the PC reads), always rewritten in that order, so
// that a loss of supply tears at most the one being written (M95512
// datasheet, Write cycle). Copies 1 and 2 agreeing give the index, else 254
// does: through every step of a move from k to k + 1 that is k or k + 1,
// never a torn value. Copy 2 erased (0xFFFF, never a torn index below 513):
// the copies are not made yet and 254 alone counts.
static uint16_t leer_indice_log(uint16_t copias[3]) {
    copias[0] = leer_entero_eeprom(kDirIndiceLogCopia1);
    copias[1] = leer_entero_eeprom(kDirIndiceLogCopia2);
    copias[2] = leer_entero_eeprom(DIRECCION_INDICE_LOG);
    if (copias[1] != 0xFFFF && copias[0] == copias[1]) return copias[0];
    return copias[2];
}

// Before the index moves all three must hold k: a copy torn by an earlier
// loss of supply is written again, and the copies are made the first time.
// Copy 2 goes first: while it is written, copy 1 either differs from it or
// holds k + 1 whole (its record was written in full before), so no reading
// gives a torn value then either.
static void reparar_indice_log(const uint16_t copias[3], uint16_t k) {
    if (copias[1] != k) grabar_entero_eeprom(kDirIndiceLogCopia2, k);
    if (copias[0] != k) grabar_entero_eeprom(kDirIndiceLogCopia1, k);
    if (copias[2] != k) grabar_entero_eeprom(DIRECCION_INDICE_LOG, k);
}

static void grabar_indice_log(uint16_t k) {
    grabar_entero_eeprom(kDirIndiceLogCopia1, k);
    grabar_entero_eeprom(kDirIndiceLogCopia2, k);
    grabar_entero_eeprom(DIRECCION_INDICE_LOG, k);
}

void grabacion_nueva_incidencia(uint8_t cincidencia, uint16_t idato) {
    Leer_FechaHora_Interna();
    const uint32_t lfecha = creacion_variable_fecha(mvarFechaHora.cdia_utc, mvarFechaHora.cmes_utc,
                                                    mvarFechaHora.cano_utc, mvarFechaHora.chora_utc,
                                                    mvarFechaHora.cminuto_utc);
    uint8_t pos = inserto_variable_incidencia(cdatos_incidencia, 0, lfecha, 4);
    pos = inserto_variable_incidencia(cdatos_incidencia, pos, mvarFechaHora.csegundo_utc, 1);
    pos = inserto_variable_incidencia(cdatos_incidencia, pos, cincidencia, 1);
    inserto_variable_incidencia(cdatos_incidencia, pos, idato, 2);

    uint16_t copias[3];
    uint16_t k = leer_indice_log(copias);
    // An erased or corrupt index (above the last slot) starts the ring again.
    if (k >= SLOTS_LOG) k = 0;
    reparar_indice_log(copias, k);

    Serial0.println("\t******************");
    Serial0.print("\tNew incidence (");
    Serial0.print(k);
    Serial0.print(") => ");
    for (uint8_t i = 0; i < 8; ++i) {
        if (cdatos_incidencia[i] < 0x10) Serial0.print('0');
        Serial0.print(cdatos_incidencia[i], HEX);
        Serial0.print(' ');
    }
    Serial0.println();
    Serial0.print("\t\tFecha:");
    Serial0.print(lfecha);
    Serial0.print(" ");
    Serial0.println(mvarFechaHora.csegundo_utc);
    Serial0.print("\t\tIncidencia:");
    Serial0.print(cincidencia);
    Serial0.print("\tDato:");
    Serial0.println(idato);
    Serial0.println("\t******************");

    for (uint8_t intento = 0; intento < 10; ++intento) {
        sodaq_wdt_reset();
        if (escritura_memoria((static_cast<uint32_t>(k) + 32u) * 8u, 8, cdatos_incidencia, 1) == 1) break;
    }
    // The index moves on even when the record could not be written.
    grabar_indice_log(k <= 511 ? static_cast<uint16_t>(k + 1) : 0);
}

void nueva_incidencia_reset() {
    uint16_t r = leer_entero_eeprom(DIRECCION_CONTADOR_RESETS);
    r = r == 65535 ? 0 : static_cast<uint16_t>(r + 1);   // an erased counter starts at 0
    grabar_entero_eeprom(DIRECCION_CONTADOR_RESETS, r);
    grabacion_nueva_incidencia(15, r);
}

// ------------------------------------------------------ power supervision ----

static float leer_conversor(uint16_t direccion) {
    uint8_t bytes[4];
    E2PROM_SPI.EepromRead(direccion, 4, bytes);
    float f;
    memcpy(&f, bytes, sizeof f);
    return f;
}

void inicializacion_balizaQ77() {
    balizaQ77.fconversor_corriente_panel_solar = leer_conversor(DIRECCION_CONVERSOR_PANEL);
    balizaQ77.fconversor_bateria = leer_conversor(DIRECCION_CONVERSOR_BATERIA);

    balizaQ77.fbateria = 0.0f;
    balizaQ77.fcorriente_panel_solar = 0.0f;
    balizaQ77.fcorriente_panel_solar_en_una_hora = 0.0f;
    balizaQ77.famperios_hora_panel_solar_acumulados = 0.0f;
    balizaQ77.cminutos_panel_solar_amperios_hora = 0;
    balizaQ77.creset = 0;
    balizaQ77.cretardo_reset = 0;
    balizaQ77.cmedicion_bateria = 0;
    balizaQ77.ccambios_bruscos_bateria = 0;
    balizaQ77.cseguridad_bateria_baja_high = 0;
    balizaQ77.cseguridad_bateria_baja_low = 0;
    balizaQ77.calarma_bateria = 0;
    balizaQ77.calarma_gps = 0;
    balizaQ77.calarma_panel_solar = 0;
    balizaQ77.calarma_entrada_externa1 = 0;
    balizaQ77.calarma_entrada_externa2 = 0;
    balizaQ77.calarma_entrada_externa3 = 0;
    balizaQ77.cextraigo = 0;
    balizaQ77.cretardo_medicion_bateria = 0;
    balizaQ77.creset_ciclo_mppt = 0;
    balizaQ77.cminutos_disable_reset_ciclo_mppt = 0;
    balizaQ77.ctest = 0;
    balizaQ77.cestado = 0;
    balizaQ77.crefresco = 0;
    balizaQ77.cseguridad_enable_panel_solar = 0;
    balizaQ77.cseguridad_disable_panel_solar = 0;
    balizaQ77.iseguridad_enable_alarma_mppt = 0;
    balizaQ77.cdia_panel_solar = 0;
    balizaQ77.cmes_panel_solar = 0;
    balizaQ77.cano_panel_solar = 0;
    balizaQ77.cprimera_medicion = 0;

    balizaQ77.cmppt = 1;
    balizaQ77.cstatus_mppt = 2;   // not read yet
    reset_panel_solar();
}

// Applies cmppt to the disable line, reads the charger's status lines and
// pulses the charger off for about a second when it reports no charge.
void lectura_entradas_status_mppt() {
    if (balizaQ77.cmppt == 1) {
        digitalWrite(PIN_DISABLE_MPPT, LOW);
        const int s1 = digitalRead(PIN_STATUS_MPPT_1);
        const int s2 = digitalRead(PIN_STATUS_MPPT_2);
        if (s1 == 1 && s2 == 1) {
            balizaQ77.cstatus_mppt = 3;
            if (balizaQ77.cminutos_disable_reset_ciclo_mppt == 0) {
                balizaQ77.creset_ciclo_mppt = 10;   // the tick ends the pulse
                balizaQ77.cminutos_disable_reset_ciclo_mppt = 30;
                digitalWrite(PIN_DISABLE_MPPT, HIGH);
            }
        } else {
            balizaQ77.cstatus_mppt = 1;
        }
    } else {
        digitalWrite(PIN_DISABLE_MPPT, HIGH);
        balizaQ77.cstatus_mppt = 0;
        balizaQ77.creset_ciclo_mppt = 0;
        balizaQ77.cminutos_disable_reset_ciclo_mppt = 0;
        balizaQ77.calarma_panel_solar = 0;
    }
}

// Threshold tests are written so that a never-configured (NaN) threshold
// neither raises nor clears anything.
void evaluacion_potencia_minuto() {
    uint16_t ivalor_ad = 0;
    balizaQ77.fbateria = extraigo_valor_analogico(0, &ivalor_ad, 0);
    const float v = balizaQ77.fbateria;

    if (v <= configuracion_power.ftension_alarma_bateria_baja) {
        balizaQ77.cseguridad_bateria_baja_high = 0;
        if (balizaQ77.calarma_bateria == 0) {
            balizaQ77.cseguridad_bateria_baja_low++;
            if (balizaQ77.cseguridad_bateria_baja_low > 1) {
                enable_alarma(0);
                balizaQ77.cseguridad_bateria_baja_low = 0;
            }
        } else {
            balizaQ77.cseguridad_bateria_baja_low = 0;
        }
    } else {
        balizaQ77.cseguridad_bateria_baja_low = 0;
        if (balizaQ77.calarma_bateria != 0 && v >= configuracion_power.ftension_alarma_bateria_off) {
            balizaQ77.cseguridad_bateria_baja_high++;
            if (balizaQ77.cseguridad_bateria_baja_high > 1) {
                disable_alarma(0);
                balizaQ77.cseguridad_bateria_baja_high = 0;
            }
        } else {
            balizaQ77.cseguridad_bateria_baja_high = 0;
        }
    }

    if (v >= configuracion_power.ftension_disable_panel_solar) {
        balizaQ77.cseguridad_enable_panel_solar = 0;
        if (balizaQ77.cmppt == 1) {
            balizaQ77.cseguridad_disable_panel_solar++;
            if (balizaQ77.cseguridad_disable_panel_solar > 4) {
                enable_alarma(1);
                balizaQ77.cseguridad_disable_panel_solar = 0;
                balizaQ77.cmppt = 0;
            }
        }
    }
    if (v <= configuracion_power.ftension_enable_panel_solar) {
        balizaQ77.cseguridad_disable_panel_solar = 0;
        if (balizaQ77.cmppt == 0) {
            balizaQ77.cseguridad_enable_panel_solar++;
            if (balizaQ77.cseguridad_enable_panel_solar > 4) {
                disable_alarma(1);
                balizaQ77.cmppt = 1;
                balizaQ77.cseguridad_enable_panel_solar = 0;
            }
        }
    }

    lectura_entradas_status_mppt();

    balizaQ77.fcorriente_panel_solar = extraigo_valor_analogico(2, &ivalor_ad, 0);
    acumulacion_amperios_hora();

    balizaQ77.cmedicion_bateria = 0;
    balizaQ77.cestado = 1;
    balizaQ77.cprimera_medicion = 1;
}

// ---------------------------------------------------------------- alarms ----

// Volts x 100, truncated and kept to 16 bits; NaN or negative give 0.
static uint16_t dato_bateria() {
    const float centesimas = balizaQ77.fbateria * 100.0f;
    if (!(centesimas >= 0.0f)) return 0;
    if (centesimas >= 4294967295.0f) return 0xFFFF;
    return static_cast<uint16_t>(static_cast<uint32_t>(centesimas));
}

void enable_alarma(uint8_t ctipo) {
    if (ctipo > 6) return;
    uint16_t dato = 0;
    switch (ctipo) {
        case 0:
            balizaQ77.calarma_bateria = 1;
            dato = dato_bateria();
            break;
        case 1:
            balizaQ77.calarma_panel_solar = 1;
            dato = dato_bateria();
            break;
        case 2: balizaQ77.calarma_entrada_externa1 = 1; break;
        case 3: balizaQ77.calarma_entrada_externa2 = 1; break;
        case 4: balizaQ77.calarma_entrada_externa3 = 1; break;
        case 5:
            periferico1.calarma = 1;
            periferico1.cseguridad_alarma = 0;
            // Already up for missing reports: one alarm, one event.
            if (periferico1.calarma_informe != 0) return;
            break;
        case 6:
            l76lb.calarma = 1;
            balizaQ77.calarma_gps = 1;
            break;
        default:
            break;
    }
    static const uint8_t eventos[7] = {1, 3, 5, 7, 9, 11, 13};
    grabacion_nueva_incidencia(eventos[ctipo], dato);
    balizaQ77.crefresco = 1;
}

void disable_alarma(uint8_t ctipo) {
    if (ctipo > 6) return;
    uint16_t dato = 0;
    switch (ctipo) {
        case 0:
            balizaQ77.calarma_bateria = 0;
            dato = dato_bateria();
            break;
        case 1:
            dato = dato_bateria();   // the status read clears the panel flag
            break;
        case 5:
            periferico1.cseguridad_alarma = 0;
            periferico1.calarma = 0;
            if (periferico1.cextraigo != 0) Serial0.println("AIS => RX FRAMES!!!! Disable alarm ");
            // Still up while no report goes out: the report clears it.
            if (periferico1.calarma_informe != 0) return;
            break;
        case 2: balizaQ77.calarma_entrada_externa1 = 0; break;
        case 3: balizaQ77.calarma_entrada_externa2 = 0; break;
        case 4: balizaQ77.calarma_entrada_externa3 = 0; break;
        case 6:
            l76lb.calarma = 0;
            balizaQ77.calarma_gps = 0;
            break;
        default:
            break;
    }
    static const uint8_t eventos[7] = {2, 4, 6, 8, 10, 12, 14};
    grabacion_nueva_incidencia(eventos[ctipo], dato);
    balizaQ77.crefresco = 1;
}

// -------------------------------------------------------------- start-up ----

static void asteriscos(uint8_t n) {
    for (uint8_t i = 0; i < n; ++i) Serial0.print('*');
    Serial0.println();
}

static void banner() {
    asteriscos(82);
    Serial0.print("\t\t");
    Serial0.print(m_fabricante);
    Serial0.print("\t");
    Serial0.println(m_lema);
    Serial0.print("\t\t\tORV ZELMORA  Firmare:");
    Serial0.print(FIRMWARE_VERSION);
    Serial0.print("\tHardware:");
    Serial0.println(HARDWARE_VERSION);
    asteriscos(82);
    linea();
}

void setup() {
    arranque_placa();
    arranque_configuracion();
}

void arranque_placa() {
    PinConfig(1);

    // Safe levels: transponder on, GPS off, measurements off, charger held off.
    digitalWrite(PIN_POWER_AIS, HIGH);
    digitalWrite(PIN_POWER_GPS, LOW);
    digitalWrite(PIN_ENABLE_CORRIENTE_PANEL, LOW);
    digitalWrite(PIN_ENABLE_BATERIA, LOW);
    digitalWrite(PIN_DISABLE_MPPT, HIGH);
    digitalWrite(PIN_CS_EEPROM, HIGH);
    digitalWrite(PIN_LIBRE_24, HIGH);

    Wire.begin();
    configuracion_adc();
    Serial0.begin(38400);
    Serial1.begin(9600);

    E2PROM_SPI.begin();

    setup_timerTC0(1, 8000);
    start_timerTC0();
    sodaq_wdt_enable(WDT_PERIOD_2X);

    banner();

    sodaq_wdt_enable(WDT_PERIOD_2X);
    sodaq_wdt_reset();
    balizaQ77.cextraigo = 1;
    sodaq_wdt_reset();

    config_clock();
}

void arranque_configuracion() {
    cargar_estructuras_configuracion_orv();
    inicializacion_balizaQ77();
    inicializacion_periferico(1);
    inicializacion_l76lb();

    // First battery reading, at once: no settling wait outside test mode.
    digitalWrite(PIN_ENABLE_BATERIA, HIGH);
    uint16_t ivalor_ad = 0;
    balizaQ77.fbateria = extraigo_valor_analogico(0, &ivalor_ad, 0);
    lectura_entradas_status_mppt();
    digitalWrite(PIN_ENABLE_BATERIA, LOW);

    digitalWrite(PIN_DISABLE_MPPT, LOW);   // charger enabled
    Serial0.println(m_fin_setup);

    balizaQ77.csincronizada = 0;
    balizaQ77.cincidencia_reset = 1;
}

// ------------------------------------------------------------- main loop ----

// Test mode: monitors the PC switches on, printed straight to Serial0.
static void monitor_gps() {
    if (test.test_gps_activo == 5) {
        linea();
        Serial0.println("GPS=> ON");
        test.test_gps_activo = 1;
    } else if (test.test_gps_activo == 4) {
        if (l76lb.cconfigurado == 0) {
            test.test_gps_activo = 0;
            Serial0.println("GPS=> OFF");
        } else {
            l76lb.cconfigurado = 4;   // the receiver control switches it off
        }
    }
    // Once off, the control step would power the module up again from state 0.
    if (test.test_gps_activo == 0) return;
    if (l76lb.cdelay == 0) configuracion_frames_gps();
    procesamos_gps();
}

static void monitor_dips() {
    static const uint8_t pines[4] = {PIN_DIP1, PIN_DIP2, PIN_DIP3, PIN_DIP4};
    for (uint8_t i = 0; i < 4; ++i) {
        Serial0.print("DIP ");
        Serial0.print(static_cast<uint8_t>(i + 1));
        Serial0.println(digitalRead(pines[i]) == 1 ? " => OFF" : " => ON");
        Serial0.flush();
    }
}

static void monitor_analogico(uint8_t canal, const char* valor, const char* ad) {
    uint16_t raw = 0;
    const float f = extraigo_valor_analogico(canal, &raw, 0);
    Serial0.print(valor);
    Serial0.println(f, 4);
    Serial0.print(ad);
    Serial0.println(raw);
}

// Bit 0 input 1, bit 1 input 2, bit 2 input 3; 1 = the pin reads high.
static void monitor_entradas() {
    static const uint8_t pines[3] = {PIN_ENTRADA_EXTERNA1, PIN_ENTRADA_EXTERNA2, PIN_ENTRADA_EXTERNA3};
    uint8_t patron = 0;
    for (uint8_t i = 0; i < 3; ++i) {
        if (digitalRead(pines[i]) == 1) patron = static_cast<uint8_t>(patron | (1u << i));
    }
    const uint8_t cambios = static_cast<uint8_t>(patron ^ test.test_inputs_outputs);
    if (cambios == 0) return;
    for (uint8_t i = 0; i < 3; ++i) {
        if ((cambios & (1u << i)) == 0) continue;
        Serial0.print("EXTERNA");
        Serial0.print(static_cast<uint8_t>(i + 1));
        Serial0.println((patron & (1u << i)) != 0 ? " OFF" : " ON");
    }
    test.test_inputs_outputs = patron;
}

static void paso_modo_test() {
    if (test.test_gps_activo != 0) monitor_gps();
    if (test.test_minidips_activo == 1) monitor_dips();
    if (test.test_bateria_activo == 1) monitor_analogico(0, "BATERIA => ", "BATERIA AD => ");
    if (test.test_corriente_panel_activo == 1) monitor_analogico(2, "I PANEL => ", "PANEL AD => ");
    lectura_entradas_status_mppt();
    monitor_entradas();
    // A PC that went away leaves the charger off for at most this long.
    if (millis() - ulTUltimaTramaTestRecibida > TIMEOUT_MODO_TEST_ACTIVO) {
        Debug("Salgo del modo test por inactividad");
        salida_modo_test();
    }
}

static void niveles_depuracion() {
    const uint8_t nivel = digitalRead(PIN_DIP1) == LOW ? 2 : 1;
    l76lb.cdebug = digitalRead(PIN_DIP2) == LOW ? nivel : 0;
    periferico1.cextraigo = digitalRead(PIN_DIP3) == LOW ? nivel : 0;
    balizaQ77.cextraigo = digitalRead(PIN_DIP4) == LOW ? nivel : 0;
}

static void secuenciador_bateria() {
    switch (balizaQ77.cmedicion_bateria) {
        case 1:
            digitalWrite(PIN_ENABLE_BATERIA, HIGH);
            digitalWrite(PIN_ENABLE_CORRIENTE_PANEL, HIGH);
            balizaQ77.cretardo_medicion_bateria = 10;
            balizaQ77.cmedicion_bateria = 2;
            break;
        case 2:
            if (balizaQ77.cretardo_medicion_bateria != 0) break;
            evaluacion_potencia_minuto();
            balizaQ77.cmedicion_bateria = 0;
            balizaQ77.cestado = 1;
            break;
        case 0:
            digitalWrite(PIN_ENABLE_BATERIA, LOW);
            digitalWrite(PIN_ENABLE_CORRIENTE_PANEL, LOW);
            break;
        default:
            break;
    }
}

void loop() {
    if (cfecha_inicial_puesta == 0) {
        // Until the RTC is read: 1 January of year 20, 00:01:00.
        mvarFechaHora.cdia_utc = 1;
        mvarFechaHora.cmes_utc = 1;
        mvarFechaHora.cano_utc = 20;
        mvarFechaHora.chora_utc = 0;
        mvarFechaHora.cminuto_utc = 1;
        mvarFechaHora.csegundo_utc = 0;
        cfecha_inicial_puesta = 1;
    }

    sodaq_wdt_reset();
    PinConfig(0);

    if (balizaQ77.csincronizada == 1) {
        if (balizaQ77.cincidencia_reset == 1) {
            nueva_incidencia_reset();
            balizaQ77.cincidencia_reset = 0;
        }
        // One request per input and pass; a clear waits for the next pass.
        for (uint8_t i = 0; i < 3; ++i) {
            if (periferico1.cenable[i] == 1) {
                enable_alarma(static_cast<uint8_t>(2 + i));
                periferico1.cenable[i] = 0;
            } else if (periferico1.cdisable[i] == 1) {
                disable_alarma(static_cast<uint8_t>(2 + i));
                periferico1.cdisable[i] = 0;
            }
        }
    }

    if (balizaQ77.ctest == 1) {
        paso_modo_test();
    } else {
        niveles_depuracion();
        secuenciador_bateria();
        if (balizaQ77.cestado == 1 || balizaQ77.crefresco == 1) {
            estado();
            balizaQ77.cestado = 0;
            balizaQ77.crefresco = 0;
        }
        if (l76lb.calarma == 0 && l76lb.iminutos_sin_cobertura_gps == 0) enable_alarma(6);
        if (l76lb.cdelay == 0) configuracion_frames_gps();
        procesamos_gps();
    }

    supervision_periferico();
    ciclo_comandos_ais();
    recepcion_trama_pc();
    // A restart the PC asked for; its last reply leaves the port first.
    if (balizaQ77.creset == 1 && balizaQ77.cretardo_reset == 0) {
        Serial0.flush();
        reinicio_por_watchdog();
    }

    clisto = 1;
}
