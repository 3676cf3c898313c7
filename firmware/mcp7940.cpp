// Real-time clock driver and the unit's UTC calendar.
//
// Timekeeping registers, BCD:
//   0x00 seconds  ST(7) | seconds
//   0x01 minutes
//   0x02 hours    12/24(6) | hours (24-hour mode: bits 5..0)
//   0x03 weekday  OSCRUN(5) | VBATEN(3) | weekday 1..7
//   0x04 date     0x05 month (LPYR(5), read only)   0x06 year 00..99
//   0x07 control  EXTOSC(3)
#include "mcp7940.h"

#include <Arduino.h>
#include <Wire.h>

#include "Sodaq_wdt.h"
#include "comunicaciones_pc.h"
#include "constantes.h"
#include "globals.h"
#include "zelmora.h"

namespace {

constexpr uint8_t kDireccionRtc = 0xDE;
constexpr uint8_t kRegSegundos = 0x00;
constexpr uint8_t kRegHoras = 0x02;
constexpr uint8_t kRegDiaSemana = 0x03;
constexpr uint8_t kRegControl = 0x07;

constexpr uint8_t kBitSt = 0x80;
constexpr uint8_t kBitModo12h = 0x40;
constexpr uint8_t kBitOscrun = 0x20;
constexpr uint8_t kBitExtosc = 0x08;

constexpr uint8_t kIntentosConfiguracion = 20;
constexpr uint8_t kIntentosEscritura = 5;
constexpr uint8_t kIntentosLectura = 5;
constexpr uint8_t kTimeoutLecturaMs = 20;

// Month length, leap table when the two-digit year is a multiple of 4;
// 0 for a month outside 1..12.
uint8_t dias_del_mes(uint8_t cano, uint8_t cmes) {
    if (cmes < 1 || cmes > 12) return 0;
    return (cano % 4 == 0) ? m_meses_bisiesto[cmes - 1] : m_meses[cmes - 1];
}

bool detalle_lectura() { return balizaQ77.cextraigo == 2 || balizaQ77.ctest == 1; }

}  // namespace

// ------------------------------------------------------------ registers ----

void writeclock(uint8_t cid, uint8_t caddress, uint8_t cdato) {
    Wire.beginTransmission(static_cast<uint8_t>(cid >> 1));
    Wire.write(caddress);
    Wire.write(cdato);
    Wire.endTransmission();
}

void writeclock_sequencial(uint8_t cid, uint8_t caddress, const uint8_t* pcdatos, uint8_t ccantidad_bytes) {
    Wire.beginTransmission(static_cast<uint8_t>(cid >> 1));
    Wire.write(caddress);
    // The clock advances its register pointer after every byte.
    for (uint8_t i = 0; i < ccantidad_bytes; ++i) Wire.write(pcdatos[i]);
    Wire.endTransmission();
}

uint8_t readclock(uint8_t cid, uint8_t caddress, uint8_t* pcdatos, uint8_t ccantidad_bytes) {
    const uint8_t cdireccion = static_cast<uint8_t>(cid >> 1);
    // Pointer set with a stop condition, then a separate read transaction.
    Wire.beginTransmission(cdireccion);
    Wire.write(caddress);
    Wire.endTransmission();
    Wire.requestFrom(cdireccion, ccantidad_bytes);

    rtc.ctimeout = kTimeoutLecturaMs;   // counted down by the 1 ms tick
    while (static_cast<uint8_t>(Wire.available()) < ccantidad_bytes) {
        if (rtc.ctimeout == 0) return 0;   // the tick stops at 0: it stays 0
    }
    for (uint8_t i = 0; i < ccantidad_bytes; ++i) pcdatos[i] = static_cast<uint8_t>(Wire.read());
    rtc.ctimeout = 0;
    return 1;
}

void config_clock() {
    Serial0.println("Configuracion RTC:");
    for (uint8_t cintento = 0; cintento < kIntentosConfiguracion; ++cintento) {
        sodaq_wdt_reset();
        uint8_t cregistros[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        retardo_milisegundos(100);
        if (readclock(kDireccionRtc, kRegSegundos, cregistros, 8) == 0) continue;

        if ((cregistros[kRegDiaSemana] & kBitOscrun) == 0) {
            // Stopped: start it from the crystal; the next attempt confirms,
            // since the oscillator needs a moment before OSCRUN shows it.
            writeclock(kDireccionRtc, kRegSegundos, static_cast<uint8_t>(cregistros[kRegSegundos] | kBitSt));
            writeclock(kDireccionRtc, kRegControl, static_cast<uint8_t>(cregistros[kRegControl] & ~kBitExtosc));
            continue;
        }
        Serial0.println("\tOscilador enable");

        if (cregistros[kRegHoras] & kBitModo12h) {
            // In 12-hour mode bit 5 is PM and the hour runs 12, 1 .. 11;
            // clearing the mode bit alone would turn 3 PM into 23:00.
            const uint8_t c12 = convert_bcd_decimal(cregistros[kRegHoras] & 0x1F);
            const uint8_t c24 = static_cast<uint8_t>(c12 % 12 + ((cregistros[kRegHoras] & 0x20) ? 12 : 0));
            writeclock(kDireccionRtc, kRegHoras, convert_decimal_bcd(c24));
            continue;
        }
        Serial0.println("\tReloj en 24 horas");
        Serial0.println("RTC configurado OK");
        return;
    }
    Serial0.println("ERROR en RTC");
}

// ------------------------------------------------------------- calendar ----

uint8_t convert_bcd_decimal(uint8_t cdata) { return static_cast<uint8_t>((cdata >> 4) * 10 + (cdata & 0x0F)); }

uint8_t convert_decimal_bcd(uint8_t cdata) { return static_cast<uint8_t>(((cdata / 10) << 4) + cdata % 10); }

uint8_t verificacion_limites_fecha(uint8_t cano, uint8_t cmes, uint8_t cdia, uint8_t cdia_semana, uint8_t chora,
                                   uint8_t cminuto, uint8_t csegundo) {
    if (cano < 20 || cano > 99) return 1;
    if (cmes < 1 || cmes > 12) return 1;
    if (cdia < 1 || cdia > dias_del_mes(cano, cmes)) return 1;
    if (cdia_semana < 1 || cdia_semana > 7) return 1;
    if (chora > 23 || cminuto > 59 || csegundo > 59) return 1;
    return 0;
}

uint8_t calculo_dia_semana(uint8_t cano, uint8_t cmes, uint8_t cdia) {
    uint32_t ldias = 0;
    if (cano != 0) ldias = (cano - 1u) * 365u + (cano - 1u) / 4u + 1u;
    const uint8_t* pmeses = (cano % 4 == 0) ? m_meses_bisiesto : m_meses;
    for (uint8_t i = 0; i + 1 < cmes && i < 12; ++i) ldias += pmeses[i];
    ldias += cdia;
    // n mod 7 = 0 falls on a Saturday for 2001..2099 (1 January 2001, n = 2,
    // was a Monday); year 00 comes out one day late, but is never valid here.
    const uint16_t n = static_cast<uint16_t>(ldias);
    const uint8_t r = static_cast<uint8_t>(n % 7);
    return static_cast<uint8_t>((r + 5) % 7 + 1);
}

uint8_t lectura_fecha() {
    uint8_t cregistros[7];
    if (readclock(kDireccionRtc, kRegSegundos, cregistros, 7) == 0) {
        if (detalle_lectura()) Serial0.println("lectura fecha erronea");
        return 0;
    }

    if ((cregistros[kRegDiaSemana] & kBitOscrun) == 0) {
        // Found stopped (a flat backup cell, or a glitch): start it again.
        writeclock(kDireccionRtc, kRegSegundos, static_cast<uint8_t>(cregistros[kRegSegundos] | kBitSt));
        // Only the EXTOSC bit changes, so the rest must be read first; if
        // that read fails the control register is left as it is.
        uint8_t ccontrol;
        if (readclock(kDireccionRtc, kRegControl, &ccontrol, 1) == 1) {
            writeclock(kDireccionRtc, kRegControl, static_cast<uint8_t>(ccontrol & ~kBitExtosc));
        }
        if (balizaQ77.cextraigo == 2) Serial0.println("Possible error RTC");
    }

    const uint8_t csegundo = convert_bcd_decimal(cregistros[0] & 0x7F);
    const uint8_t cminuto = convert_bcd_decimal(cregistros[1] & 0x7F);
    const uint8_t chora = convert_bcd_decimal(cregistros[2] & 0x3F);
    const uint8_t cdia_semana = convert_bcd_decimal(cregistros[3] & 0x07);
    const uint8_t cdia = convert_bcd_decimal(cregistros[4] & 0x3F);
    const uint8_t cmes = convert_bcd_decimal(cregistros[5] & 0x1F);
    const uint8_t cano = convert_bcd_decimal(cregistros[6]);

    const uint8_t cfuera = verificacion_limites_fecha(cano, cmes, cdia, cdia_semana, chora, cminuto, csegundo);

    if (detalle_lectura()) {
        // "Fecha rx: 08/12/26 2 13:45:00"
        Serial0.print("Fecha rx: ");
        transmito_variable(cdia, 2, '/');
        transmito_variable(cmes, 2, '/');
        transmito_variable(cano, 2, ' ');
        transmito_variable(cdia_semana, 1, ' ');
        transmito_variable(chora, 2, ':');
        transmito_variable(cminuto, 2, ':');
        transmito_variable(csegundo, 2, 1);
        linea();
    }

    if (cfuera == 0) {
        mvarFechaHora.cdia_semana = cdia_semana;
        mvarFechaHora.cdia_utc = cdia;
        mvarFechaHora.cmes_utc = cmes;
        mvarFechaHora.cano_utc = cano;
        mvarFechaHora.chora_utc = chora;
        mvarFechaHora.cminuto_utc = cminuto;
        mvarFechaHora.csegundo_utc = csegundo;
        return 1;
    }
    if (detalle_lectura()) Serial0.println("fecha erronea");
    return 0;
}

// One hour later: past midnight the weekday and the date follow.
static void siguiente_hora(uint8_t& cano, uint8_t& cmes, uint8_t& cdia, uint8_t& cdia_semana, uint8_t& chora) {
    chora = static_cast<uint8_t>(chora + 1);
    if (chora < 24) return;
    chora = 0;
    cdia_semana = (cdia_semana >= 7) ? 1 : static_cast<uint8_t>(cdia_semana + 1);
    cdia = static_cast<uint8_t>(cdia + 1);
    if (cdia <= dias_del_mes(cano, cmes)) return;
    cdia = 1;
    cmes = static_cast<uint8_t>(cmes + 1);
    if (cmes == 13) {
        cmes = 1;
        cano = static_cast<uint8_t>(cano + 1);
    }
}

uint8_t escritura_fecha(uint8_t cdia, uint8_t cmes, uint8_t cano, uint8_t cdia_semana, uint8_t chora,
                        uint8_t cminuto, uint8_t csegundo, uint8_t cnueva_fecha) {
    (void)cnueva_fecha;
    for (uint8_t cintento = 0; cintento < kIntentosEscritura; ++cintento) {
        if (cdia_semana == 0) cdia_semana = calculo_dia_semana(cano, cmes, cdia);

        const uint8_t cregistros[7] = {
            static_cast<uint8_t>(convert_decimal_bcd(csegundo) | kBitSt),
            convert_decimal_bcd(cminuto),
            convert_decimal_bcd(chora),   // bit 6 clear: 24-hour mode
            cdia_semana,                  // VBATEN and the rest cleared
            convert_decimal_bcd(cdia),
            convert_decimal_bcd(cmes),
            convert_decimal_bcd(cano),
        };
        writeclock_sequencial(kDireccionRtc, kRegSegundos, cregistros, 7);

        if (lectura_fecha() == 1) {
            // The clock may have ticked into the next minute between the
            // write and the read-back; that still confirms the write.
            const uint8_t cleido = mvarFechaHora.cminuto_utc;
            bool cminuto_valido = true;
            if (cleido == cminuto) {
                // as written
            } else if (cminuto <= 58 && cleido == cminuto + 1) {
                cminuto = static_cast<uint8_t>(cminuto + 1);
            } else if (cminuto == 59 && cleido == 0) {
                cminuto = 0;
                siguiente_hora(cano, cmes, cdia, cdia_semana, chora);
            } else {
                cminuto_valido = false;
                // The retry writes the next minute; past minute 59 the hour
                // and the date carry too, or the clock would be set an hour back.
                if (cminuto == 59) {
                    cminuto = 0;
                    siguiente_hora(cano, cmes, cdia, cdia_semana, chora);
                } else {
                    cminuto = static_cast<uint8_t>(cminuto + 1);
                }
            }

            if (cminuto_valido && mvarFechaHora.cano_utc == cano && mvarFechaHora.chora_utc == chora &&
                mvarFechaHora.cdia_semana == cdia_semana && mvarFechaHora.cdia_utc == cdia &&
                mvarFechaHora.cmes_utc == cmes) {
                return 1;
            }
        }
        // The next attempt writes the values expected from this one.
        if (balizaQ77.cextraigo != 0) Serial0.println("Error escritura fecha");
    }
    return 0;
}

void Leer_FechaHora_Interna() {
    for (uint8_t cintento = 0; cintento < kIntentosLectura; ++cintento) {
        if (lectura_fecha() == 1) return;
    }
}

uint32_t creacion_variable_fecha(uint8_t cano, uint8_t cmes, uint8_t cdia, uint8_t chora, uint8_t cminutos) {
    return static_cast<uint32_t>(cmes) * 100000000u + static_cast<uint32_t>(cdia) * 1000000u +
           static_cast<uint32_t>(cano) * 10000u + static_cast<uint32_t>(chora) * 100u + cminutos;
}
