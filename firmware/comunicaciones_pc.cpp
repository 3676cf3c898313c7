#include "comunicaciones_pc.h"

#include <Arduino.h>
#include <math.h>
#include <string.h>

#include "M95512.h"
#include "Sodaq_wdt.h"
#include "constantes.h"
#include "globals.h"
#include "mcp7940.h"

void linea() { Serial0.println(); }

void transmito_variable(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccon_linea) {
    if (cnumero_cifras > 10) cnumero_cifras = 10;   // size of the powers table
    for (int8_t i = static_cast<int8_t>(cnumero_cifras - 1); i >= 0; --i) {
        Serial0.print(laux / lvalores_decimales[i]);
        laux %= lvalores_decimales[i];
    }
    if (ccon_linea == 1) {
        linea();
    } else if (ccon_linea != 0) {
        Serial0.write(ccon_linea);
    }
}

void transmito_coordenada(uint8_t cgrados, uint8_t ccifras_grados, uint8_t cminutos, uint16_t idiez_milesimas,
                          uint8_t chemisferio) {
    transmito_variable(cgrados, ccifras_grados, '*');
    transmito_variable(cminutos, 2, '.');
    transmito_variable(idiez_milesimas, 4, 0);
    // No letter yet (0) prints nothing: a NUL on the console is a byte no reader wants.
    if (chemisferio != 0) Serial0.write(chemisferio);
}

// ------------------------------------------------ analog measurement ----

static void espera_asentamiento(uint8_t ms) {
    balizaQ77.cretardo_medicion_bateria = ms;
    while (balizaQ77.cretardo_medicion_bateria != 0) sodaq_wdt_reset();
}

// 100 readings of at most 4095 cannot overflow 32 bits.
static uint16_t media_analogica(uint8_t pin) {
    uint32_t suma = 0;
    for (uint8_t i = 0; i < 100; ++i) suma += static_cast<uint32_t>(analogRead(pin));
    return static_cast<uint16_t>(suma / 100u);
}

float extraigo_valor_analogico(uint8_t clectura, uint16_t* pivalor_ad, uint8_t cdato_necesario) {
    uint16_t media = 0;
    if (clectura == 0) {
        if (balizaQ77.ctest == 1) {
            digitalWrite(PIN_ENABLE_BATERIA, HIGH);
            espera_asentamiento(50);
        }
        media = media_analogica(PIN_ANALOGICO_BATERIA);
        digitalWrite(PIN_ENABLE_BATERIA, LOW);
    } else if (clectura == 2) {
        if (balizaQ77.ctest == 1) {
            digitalWrite(PIN_ENABLE_CORRIENTE_PANEL, HIGH);
            espera_asentamiento(10);
        }
        media = media_analogica(PIN_ANALOGICO_PANEL);
        // Outside test mode the main loop lowers the enable on its next pass.
        if (balizaQ77.ctest == 1) digitalWrite(PIN_ENABLE_CORRIENTE_PANEL, LOW);
    }
    if (pivalor_ad != nullptr) *pivalor_ad = media;
    if (cdato_necesario == 1) return 0.0f;

    if (clectura == 0) {
        const float v = static_cast<float>(media) * balizaQ77.fconversor_bateria;
        // A jump of more than 0.5 V is believed only on its fifth reading in a row.
        if (balizaQ77.ctest != 1 && balizaQ77.fbateria != 0.0f && fabsf(balizaQ77.fbateria - v) > 0.5f) {
            balizaQ77.ccambios_bruscos_bateria++;
            if (balizaQ77.ccambios_bruscos_bateria <= 4) return balizaQ77.fbateria;
        }
        balizaQ77.fbateria = v;
        balizaQ77.ccambios_bruscos_bateria = 0;
        return v;
    }
    if (clectura == 2) return static_cast<float>(media) * balizaQ77.fconversor_corriente_panel_solar;
    return 0.0f;
}

static void grabar_conversor(uint16_t direccion, float conversor) {
    uint8_t bytes[4];   // a scratch copy: the driver overwrites what it sends
    memcpy(bytes, &conversor, sizeof bytes);
    E2PROM_SPI.EepromWrite(direccion, 4, bytes);
}

static uint8_t ajuste(uint8_t canal, const char* titulo, float fvalor, float* conversor, uint16_t direccion) {
    uint16_t raw = 0;
    extraigo_valor_analogico(canal, &raw, 1);
    const float nuevo = raw != 0 ? fvalor / static_cast<float>(raw) : 0.0f;
    // An infinite, NaN, zero or negative factor would turn every later reading
    // into nonsense, and it would survive the next reset.
    const bool valido = nuevo > 0.0f && isfinite(nuevo);
    Serial0.println(valido ? titulo : "\tAjuste rechazado");
    Serial0.print("Dato:");
    Serial0.println(fvalor, 2);
    Serial0.print("Valor AD:");
    Serial0.println(raw);
    if (!valido) return 0;
    *conversor = nuevo;
    Serial0.print("Conversor:");
    Serial0.println(*conversor, 10);
    grabar_conversor(direccion, *conversor);
    return 1;
}

uint8_t ajuste_tension_bateria(float fvalor_real_bateria) {
    return ajuste(0, "\tEntrada bateria ajustada", fvalor_real_bateria, &balizaQ77.fconversor_bateria,
                  DIRECCION_CONVERSOR_BATERIA);
}

uint8_t ajuste_corriente_panel_solar(float fvalor) {
    return ajuste(2, "\tI corriente panel solar", fvalor, &balizaQ77.fconversor_corriente_panel_solar,
                  DIRECCION_CONVERSOR_PANEL);
}

void acumulacion_amperios_hora() {
    balizaQ77.cminutos_panel_solar_amperios_hora++;
    balizaQ77.fcorriente_panel_solar_en_una_hora += balizaQ77.fcorriente_panel_solar;
    if (balizaQ77.cminutos_panel_solar_amperios_hora > 59) {
        // The mean current of the hour is the hour's ampere-hours.
        balizaQ77.famperios_hora_panel_solar_acumulados += balizaQ77.fcorriente_panel_solar_en_una_hora / 60.0f;
        balizaQ77.cminutos_panel_solar_amperios_hora = 0;
        balizaQ77.fcorriente_panel_solar_en_una_hora = 0.0f;
    }
}

float fconversor_corriente_panel_solar_acumulada() {
    return balizaQ77.fcorriente_panel_solar_en_una_hora / 60.0f + balizaQ77.famperios_hora_panel_solar_acumulados;
}

void reset_panel_solar() {
    balizaQ77.cminutos_panel_solar_amperios_hora = 0;
    balizaQ77.fcorriente_panel_solar_en_una_hora = 0.0f;
    balizaQ77.famperios_hora_panel_solar_acumulados = 0.0f;
}

// ------------------------------------------------------ status report ----

static void linea_asteriscos(uint8_t n) {
    for (uint8_t i = 0; i < n; ++i) Serial0.print('*');
    linea();
}

static float media_muestras(const float* muestras, uint8_t n) {
    float suma = 0.0f;
    for (uint8_t i = 0; i < n; ++i) suma += muestras[i];
    return suma / static_cast<float>(n);   // no samples: 0/0, printed as nan
}

static void linea_entrada(uint8_t i) {
    Serial0.print("\t\tAlarm input external ");
    Serial0.print(static_cast<uint8_t>(i + 1));
    Serial0.print(":");
    Serial0.println(periferico1.calarma_activada[i] != 0 ? "YES" : "NO");
}

void estado() {
    if (balizaQ77.cestado == 1) {
        // The next minute's measurement then falls at second 5 of the RTC. A
        // failed read leaves the second of an older read behind: aligning to
        // it again would shorten every minute.
        if (lectura_fecha() == 1 && mvarFechaHora.csegundo_utc > 10) {
            cacciones_1min = static_cast<uint8_t>(mvarFechaHora.csegundo_utc - 5);
        }
        if (mvarFechaHora.cdia_utc != balizaQ77.cdia_panel_solar || mvarFechaHora.cmes_utc != balizaQ77.cmes_panel_solar ||
            mvarFechaHora.cano_utc != balizaQ77.cano_panel_solar) {
            balizaQ77.cdia_panel_solar = mvarFechaHora.cdia_utc;
            balizaQ77.cmes_panel_solar = mvarFechaHora.cmes_utc;
            balizaQ77.cano_panel_solar = mvarFechaHora.cano_utc;
            reset_panel_solar();
        }
    }

    linea();
    linea_asteriscos(79);
    Serial0.print("\t\tSTATUS: ");
    transmito_variable(mvarFechaHora.cdia_utc, 2, '/');
    transmito_variable(mvarFechaHora.cmes_utc, 2, '/');
    transmito_variable(mvarFechaHora.cano_utc, 2, ' ');
    transmito_variable(mvarFechaHora.chora_utc, 2, ':');
    transmito_variable(mvarFechaHora.cminuto_utc, 2, 1);
    linea_asteriscos(79);

    Serial0.print("\t\tBattery:");
    Serial0.print(balizaQ77.fbateria, 2);
    Serial0.print(" v");
    if (balizaQ77.calarma_bateria != 0) {
        Serial0.print("\tAlarm low battery");
    } else if (balizaQ77.cmppt == 0) {
        Serial0.print("High battery voltage => Turn off Solar panel");
    }
    linea();

    Serial0.print("\tStatus MPPT (");
    Serial0.print(digitalRead(PIN_STATUS_MPPT_1));
    Serial0.print("/");
    Serial0.print(digitalRead(PIN_STATUS_MPPT_2));
    Serial0.print("):");
    switch (balizaQ77.cstatus_mppt) {
        case 1: Serial0.println("CHARGING"); break;
        case 2: Serial0.println("CHARGE FINISH"); break;
        case 3: Serial0.println("NO CHARGE"); break;
        default: Serial0.println("OFF"); break;
    }

    Serial0.print("\tSolar panel");
    if (balizaQ77.calarma_panel_solar == 1) Serial0.print(" Alarm!!!");
    linea();
    Serial0.print("\t\tCurrent:");
    Serial0.print(balizaQ77.fcorriente_panel_solar, 2);
    Serial0.println("A");
    const float hora = balizaQ77.cminutos_panel_solar_amperios_hora != 0
                           ? balizaQ77.fcorriente_panel_solar_en_una_hora / 60.0f
                           : 0.0f;
    Serial0.print("\t\tA/h accumulated in this hour:");
    Serial0.println(hora, 2);
    Serial0.print("\t\tA/h accumulated:");
    Serial0.println(hora + balizaQ77.famperios_hora_panel_solar_acumulados, 2);
    for (uint8_t i = 0; i < 3; ++i) linea_entrada(i);

    Serial0.println("\t\tGPS");
    Serial0.print("\t\t\tSatellites:");
    Serial0.print(l76lb.csatelites);
    Serial0.print("\t\t\t QGPS:");
    transmito_variable(l76lb.cqgps / 10u, 1, '.');
    transmito_variable(l76lb.cqgps % 10u, 1, 1);
    Serial0.print("\t\t\tFix:");
    Serial0.println(l76lb.cfix_status);
    Serial0.print("\t\t\tLatitude: ");
    transmito_coordenada(l76lb.cgrados_latitud, 2, l76lb.cminutos_latitud, l76lb.idiez_milesimas_minutos_latitud,
                         l76lb.cnorte_sur);
    Serial0.print("\tLongitude: ");
    transmito_coordenada(l76lb.cgrados_longitud, 3, l76lb.cminutos_longitud, l76lb.idiez_milesimas_minutos_longitud,
                         l76lb.ceste_oeste);
    linea();
    Serial0.print("\t\t\tSpeed:");
    Serial0.print(media_muestras(l76lb.fspeed_gps_knots, l76lb.cmuestra_valida_speed), 2);
    Serial0.println(" knots");
    Serial0.print("\t\t\tCourse:");
    Serial0.println(media_muestras(l76lb.frumbo_gps, l76lb.cmuestra_valida_rumbo), 2);
}
