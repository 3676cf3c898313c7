#include "periferico.h"

#include <Arduino.h>
#include <string.h>

#include "Sodaq_wdt.h"
#include "ais.h"
#include "comunicaciones_pc.h"
#include "constantes.h"
#include "globals.h"
#include "zelmora.h"

// ------------------------------------------------------------ composition ----

void inserto_caracter_periferico(uint8_t cdato) {
    if (periferico1.ibytes_mensaje_a_tx >= sizeof periferico1.cframe_tx) return;
    periferico1.cframe_tx[periferico1.ibytes_mensaje_a_tx] = cdato;
    periferico1.ibytes_mensaje_a_tx = static_cast<uint16_t>(periferico1.ibytes_mensaje_a_tx + 1);
    if (periferico1.ccalculo_checksum_nmea == 1) {
        periferico1.cchecksum_nmea = static_cast<uint8_t>(periferico1.cchecksum_nmea ^ cdato);
    }
}

void inserto_mensaje_periferico(const char* pcmensaje) {
    for (const char* p = pcmensaje; *p != '\0'; ++p) inserto_caracter_periferico(static_cast<uint8_t>(*p));
}

void inserto_linea_periferico() {
    inserto_caracter_periferico(13);
    inserto_caracter_periferico(10);
}

static void final_variable(uint8_t ccaracter_final) {
    if (ccaracter_final == 1) {
        inserto_linea_periferico();
    } else if (ccaracter_final != 0) {
        inserto_caracter_periferico(ccaracter_final);
    }
}

// Digits of `laux` over the place weights `pesos` (`cplazas` of them). A
// count of n keeps the low n digits, so a digit never leaves cvalores_ascii;
// a count of 0 writes every significant digit.
static void inserto_cifras(uint32_t laux, uint8_t cnumero_cifras, const uint32_t* pesos, uint8_t cplazas) {
    if (cnumero_cifras > cplazas) cnumero_cifras = cplazas;
    const bool sin_ceros = cnumero_cifras == 0;
    if (sin_ceros) {
        cnumero_cifras = cplazas;
    } else if (cnumero_cifras < cplazas) {
        laux %= pesos[cnumero_cifras];
    }
    bool escrito = false;
    for (int8_t p = static_cast<int8_t>(cnumero_cifras - 1); p >= 0; --p) {
        const uint32_t cifra = laux / pesos[p];
        laux %= pesos[p];
        if (sin_ceros && cifra == 0 && !escrito && p != 0) continue;
        inserto_caracter_periferico(cvalores_ascii[cifra]);
        escrito = true;
    }
}

void inserto_variable_periferico(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccaracter_final) {
    inserto_cifras(laux, cnumero_cifras, lvalores_decimales, 10);
    final_variable(ccaracter_final);
}

void inserto_variable_hex_periferico(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccaracter_final) {
    inserto_cifras(laux, cnumero_cifras, lvalores_hexadecimales, 8);
    final_variable(ccaracter_final);
}

// -------------------------------------------------------------- reception ----

static const uint8_t kSilencioRafagaMs = 100;
static const uint32_t kRafagaMaximaMs = 1000;

// Position just past the last line feed of cframe_rx, or 0 without one.
static uint16_t fin_ultima_linea() {
    for (uint16_t i = periferico1.ibytes_rx; i != 0; --i) {
        if (periferico1.cframe_rx[i - 1] == 10) return i;
    }
    return 0;
}

// A burst is collected whole before any of its sentences is looked at. It
// also ends when the buffer is full, the rest waiting in the port for the
// next burst, and after about a second: a transponder that sends with short
// gaps must not hold the main loop while the GPS's ring overflows. A
// sentence cut by that second stays in the buffer for the next pass.
void procesamos_periferico() {
    stperiferico& p = periferico1;
    if (Serial3.available() <= 0) return;
    const uint32_t linicio = millis();
    bool cortada = false;
    do {
        sodaq_wdt_reset();
        int n = Serial3.available();
        if (n > 0) {
            for (; n > 0 && p.ibytes_rx < sizeof p.cframe_rx; --n) {
                const int c = Serial3.read();
                if (c < 0) break;
                p.cframe_rx[p.ibytes_rx] = static_cast<uint8_t>(c);
                p.ibytes_rx = static_cast<uint16_t>(p.ibytes_rx + 1);
            }
            const bool completa = p.ibytes_rx != 0 && p.ccomando == 0 && p.cframe_rx[p.ibytes_rx - 1] == 10;
            p.ctimeout_rx_frame = completa ? 0 : kSilencioRafagaMs;
            if (completa) break;
        }
        cortada = millis() - linicio >= kRafagaMaximaMs;
    } while (!cortada && p.ctimeout_rx_frame != 0 && p.ibytes_rx < sizeof p.cframe_rx);

    uint16_t iresto = 0;
    if (cortada && p.ibytes_rx < sizeof p.cframe_rx) {
        const uint16_t icompletas = fin_ultima_linea();
        iresto = static_cast<uint16_t>(p.ibytes_rx - icompletas);
        p.ibytes_rx = icompletas;
    }
    if (p.ibytes_rx != 0) procesamos_trama_rx_ais();
    memmove(p.cframe_rx, p.cframe_rx + p.ibytes_rx, iresto);
    p.ibytes_rx = iresto;
}

// --------------------------------------------------- start-up, supervision ----

void inicializacion_periferico(uint8_t cinicial) {
    stperiferico& p = periferico1;
    if (cinicial == 0) {
        Serial3.end();
        if (p.calarma == 0) {
            p.cseguridad_alarma = static_cast<uint8_t>(p.cseguridad_alarma + 1);
            if (p.cseguridad_alarma > 2) enable_alarma(5);
            if (p.cextraigo != 0) {
                if (p.calarma == 1) {
                    Serial0.println("\tAIS => Alarm!!!!");
                } else {
                    Serial0.print("\tAIS => Alarm possible: ");
                    Serial0.println(p.cseguridad_alarma);
                }
            }
        }
    } else {
        Serial0.print("Inicio periferico:");
        p.cseguridad_alarma = 0;
        p.calarma = 0;
    }

    p.ctimeout_rx_frame = 0;
    p.ccalculo_checksum_nmea = 0;
    p.cchecksum_nmea = 0;
    p.ccomando = 0;
    p.creintentos_comando = 0;
    p.lmmsi = kMmsiDesconocido;
    p.lmmsi_destino_msg6 = kMmsiDesconocido;
    p.ctipo_aton = 1;
    p.creintentos_msg6 = 0;
    p.ccambios_bruscos_roe = 0;
    p.cid_msg6 = 0;
    p.cesperando_respuesta = 0;
    p.csegundos_sin_tramas_deteccion_usb = 120;
    p.csegundos_sin_tramas_gps_ais = 10;
    p.cconexion_software_pc = 0;
    p.ibytes_rx = 0;
    p.ibytes_mensaje_a_tx = 0;
    p.cextraigo = 0;
    p.ibateria = 0;
    p.ctimeout_alarm = 10;
    p.crechazos_msg6 = 0;
    p.cidentificar = 0;
    for (uint8_t i = 0; i < sizeof p.cmsg_tx; ++i) p.cmsg_tx[i] = 0;
    for (uint8_t i = 0; i < sizeof p.cmsg; ++i) p.cmsg[i] = 0;
    for (uint8_t i = 0; i < sizeof p.cfirmware; ++i) p.cfirmware[i] = 0;
    for (uint8_t i = 0; i < sizeof p.csn; ++i) p.csn[i] = 0;
    for (uint8_t i = 0; i < sizeof p.cnombre_ais; ++i) p.cnombre_ais[i] = '@';
    p.csleep = 0;

    digitalWrite(PIN_POWER_AIS, HIGH);
    Serial3.begin(38400);
    Serial3.flush();

    if (cinicial == 1) {
        Serial0.println("Inicializacion telecontrol AIS");
        Serial0.println("\tEnable msg 6 => ORV Zelmora");
        p.ccomando = 4;
        p.iq = 999;
    }
}

void supervision_periferico() {
    stperiferico& p = periferico1;
    if (p.creset == 1) {
        inicializacion_periferico(0);
        p.creset = 0;
    } else if (p.ctimeout_alarm == 0 && p.calarma == 0) {
        p.creset = 1;
        if (p.cextraigo != 0) Serial0.println("AIS => NO RX FRAMES!!!! Enable alarm !!!!!");
    }
    procesamos_periferico();
}

static void asteriscos(uint8_t n) {
    Serial0.print('\t');
    for (uint8_t i = 0; i < n; ++i) Serial0.print('*');
    linea();
}

void deteccion_conexion_pc() {
    periferico1.cconexion_software_pc = 1;
    if (periferico1.cextraigo != 0) {
        linea();
        asteriscos(33);
        Serial0.println("\t\tSofware AIS connected");
        asteriscos(33);
    }
    periferico1.ccomando = 16;
    periferico1.csegundos_sin_tramas_deteccion_usb = 0;
}
