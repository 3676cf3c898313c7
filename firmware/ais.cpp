#include "ais.h"

#include <Arduino.h>
#include <string.h>

#include "Sodaq_wdt.h"
#include "comunicaciones_pc.h"
#include "constantes.h"
#include "globals.h"
#include "gps_l76lb.h"
#include "periferico.h"
#include "zelmora.h"

// ===================================================== six-bit coding ====

uint8_t cpartimos_y_codificamos_en_6bits(uint32_t ldato, uint8_t cbits_utiles, uint8_t cbits_resto,
                                         uint8_t* pcbytes_codificados, uint8_t* pcdatos_trama_codificados) {
    // Out-of-contract counts are pulled back so the weight tables are never left.
    if (cbits_utiles > 32) cbits_utiles = 32;
    if (cbits_resto == 0 || cbits_resto > 6) cbits_resto = 6;
    uint8_t cindice = *pcbytes_codificados;
    for (uint8_t b = cbits_utiles; b != 0; --b) {
        cbits_resto = static_cast<uint8_t>(cbits_resto - 1);
        if ((ldato & lpeso[b - 1]) != 0) {
            pcdatos_trama_codificados[cindice] =
                static_cast<uint8_t>(pcdatos_trama_codificados[cindice] + cpeso[cbits_resto]);
        }
        if (cbits_resto == 0) {
            cindice = static_cast<uint8_t>(cindice + 1);
            cbits_resto = 6;
        }
    }
    *pcbytes_codificados = cindice;
    return cbits_resto;
}

// IEC 61162-1 armouring: 0..39 -> '0'..'W', 40..63 -> '`'..'w'.
uint8_t codificacion_caracteres_ascii_seis_bits(uint8_t cdato) {
    return static_cast<uint8_t>(cdato < 40 ? cdato + 48 : cdato + 56);
}

uint8_t decodificacion_mensaje_vdo(uint8_t cdato_codificado) {
    const uint8_t c = static_cast<uint8_t>(cdato_codificado - 48);
    return c <= 39 ? c : static_cast<uint8_t>(cdato_codificado - 56);
}

uint16_t reconvertimos_valor_analogico_mensaje6(uint16_t ivalor) { return static_cast<uint16_t>(ivalor / 5u); }

// ================================================== Message 6 report ====

namespace {

struct Empaquetado {
    uint8_t cindice = 0;
    uint8_t cresto = 6;
    void campo(uint32_t ldato, uint8_t cbits) {
        cresto = cpartimos_y_codificamos_en_6bits(ldato, cbits, cresto, &cindice, periferico1.cmsg);
    }
    // Each byte of a text gives its low six bits: the ITU-R M.1371 six-bit
    // code of upper-case letters, digits, blank and punctuation; NUL is '@'.
    void texto(const uint8_t* pc, uint8_t n) {
        for (uint8_t i = 0; i < n; ++i) campo(pc[i] & 0x3Fu, 6);
    }
};

}  // namespace

// A float to unsigned as the target's conversion does it: NaN and negatives
// give 0, values past the range all ones (an uncalibrated unit reads NaN).
static uint32_t entero_sin_signo(float f) {
    if (!(f > 0.0f)) return 0;
    if (f >= 4294967296.0f) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(f);
}

static uint16_t escala_analogica(float f) {
    return reconvertimos_valor_analogico_mensaje6(static_cast<uint16_t>(entero_sin_signo(f * 100.0f)));
}

// 181 degrees and 91 degrees in ten-thousandths of a minute.
static const int32_t kLongitudNoDisponible = 181L * 600000L;
static const int32_t kLatitudNoDisponible = 91L * 600000L;

static uint8_t muestras_validas(uint8_t n, uint8_t capacidad) { return n < capacidad ? n : capacidad; }

static float media(const float* pf, uint8_t n) {
    if (n == 0) return 0.0f;
    float suma = 0.0f;
    for (uint8_t i = 0; i < n; ++i) suma += pf[i];
    return suma / static_cast<float>(n);
}

static void muestras_en_consola(const char* titulo, uint8_t cuenta, const float* pf, uint8_t n) {
    Serial0.print(titulo);
    Serial0.print(cuenta);
    Serial0.print(") =>");
    for (uint8_t i = 0; i < n; ++i) {
        Serial0.print(pf[i], 2);
        Serial0.print(' ');
    }
    Serial0.print('/');
}

// The bytes of a fixed-length text up to its first NUL.
static void texto_en_consola(const uint8_t* pc, uint8_t n) {
    for (uint8_t i = 0; i < n && pc[i] != 0; ++i) Serial0.write(pc[i]);
}

namespace {
struct ValoresInforme {
    uint16_t ibateria;
    uint16_t ipanel;
    uint16_t iacumulado;
    float facumulado;
    uint8_t cestado;
    float fvelocidad;
    float frumbo;
    int32_t llongitud;
    int32_t llatitud;
};
}  // namespace

static void dato_con_linea(const char* titulo, uint32_t valor) {
    Serial0.print(titulo);
    Serial0.println(valor);
}

static void analogico_en_consola(const char* titulo, float f, uint16_t empaquetado) {
    Serial0.print(titulo);
    Serial0.print(f, 2);
    Serial0.print('\t');
    Serial0.println(empaquetado);
}

static void informe_mensaje6(const ValoresInforme& v) {
    const stconfig_msg_ais& c = configuracion_ais;
    Serial0.println("**********      Msg 6 ORV      **********");
    dato_con_linea("\tID msg:", periferico1.cid_msg6);
    analogico_en_consola("\tBattery:", balizaQ77.fbateria, v.ibateria);
    analogico_en_consola("\tI solar panel:", balizaQ77.fcorriente_panel_solar, v.ipanel);
    analogico_en_consola("\tI solar panel accumulated:", v.facumulado, v.iacumulado);
    Serial0.print("\tStatus and alarms:");
    Serial0.println(v.cestado, HEX);
    dato_con_linea("\tROE AIS:", periferico1.iq);

    Serial0.println("**********      Msg 18      **********");
    Serial0.print("\tSpeed Over Ground:");
    Serial0.println(v.fvelocidad, 2);
    dato_con_linea("\tPosition Accuracy:", 0);
    Serial0.print("\tLongitude:");
    transmito_coordenada(l76lb.cgrados_longitud, 3, l76lb.cminutos_longitud, l76lb.idiez_milesimas_minutos_longitud,
                         l76lb.ceste_oeste);
    Serial0.print('\t');
    Serial0.println(static_cast<long>(v.llongitud));
    Serial0.print("\tLatitude:");
    transmito_coordenada(l76lb.cgrados_latitud, 2, l76lb.cminutos_latitud, l76lb.idiez_milesimas_minutos_latitud,
                         l76lb.cnorte_sur);
    Serial0.print('\t');
    Serial0.println(static_cast<long>(v.llatitud));
    Serial0.print("\tCourse Over Ground:");
    Serial0.println(v.frumbo, 2);
    dato_con_linea("\tTrue Heading:", 511);
    dato_con_linea("\tTime Stamp:", mvarFechaHora.csegundo_utc);
    dato_con_linea("\tCS Unit:", c.cclass_b_unit_flag_msg18);
    dato_con_linea("\tDisplay flag:", c.cclass_b_display_flag_msg18);
    dato_con_linea("\tDSC Flag:", c.cclass_b_dsc_flag_msg18);
    dato_con_linea("\tBand flag:", c.cclass_b_band_flag_msg18);
    dato_con_linea("\tMessage 22 flag:", c.cclass_b_msg22_flag_msg18);
    dato_con_linea("\tAssigned mode flag:", c.cassigned_mode_flag_msg18);
    dato_con_linea("\tRAIM flag:", c.craim_flag_msg18);
    dato_con_linea("\tCommunication state selector flag:", c.ccommunication_state_selector_flag_msg18);
    dato_con_linea("\tCommunication state:", c.lcommunication_state_msg18);

    Serial0.println("**********      Msg 19      **********");
    Serial0.print("\tName:");
    texto_en_consola(c.cnombre_msg19, sizeof c.cnombre_msg19);
    linea();
    dato_con_linea("\tType of ship and cargo:", c.ctype_ship_and_cargo_msg19);
    Serial0.println("\tDimension ship:");
    Serial0.print("\t\tTo bow:");
    Serial0.print(c.idimension_to_bow_msg19);
    dato_con_linea("\tTo stern:", c.idimension_to_stern_msg19);
    Serial0.print("\t\tTo port:");
    Serial0.print(c.cdimension_to_port_msg19);
    dato_con_linea("\tTo Starboard:", c.cdimension_to_startboard_msg19);
    dato_con_linea("\tPosition Fix Type:", l76lb.cfix_status);

    Serial0.println("**********      Msg 24      **********");
    Serial0.print("\tVendor ID:");
    texto_en_consola(c.cid_vendor_msg24, sizeof c.cid_vendor_msg24);
    dato_con_linea("\tModel code:", c.cmodel_code_msg24);
    dato_con_linea("\tSerial number:", c.lserial_number_msg24);
    Serial0.print("\tCall sing:");
    texto_en_consola(c.ccall_sing_msg24, sizeof c.ccall_sing_msg24);
    linea();
}

void codifico_datos_trama_nmea_mensaje_6_zelmora() {
    stperiferico& p = periferico1;
    const stconfig_msg_ais& c = configuracion_ais;
    const uint8_t cdetalle = p.cextraigo == 2;
    memset(p.cmsg, 0, sizeof p.cmsg);
    Empaquetado e;
    ValoresInforme v;

    if (cdetalle) Serial0.print("Bits MSG6:");

    // Monitoring block, bits 0..71.
    v.ibateria = escala_analogica(balizaQ77.fbateria);
    v.ipanel = escala_analogica(balizaQ77.fcorriente_panel_solar);
    v.facumulado = fconversor_corriente_panel_solar_acumulada();
    v.iacumulado = escala_analogica(v.facumulado);
    v.cestado = static_cast<uint8_t>((balizaQ77.cstatus_mppt & 3u) + (balizaQ77.calarma_bateria != 0 ? 4 : 0) +
                                     (balizaQ77.calarma_gps != 0 ? 8 : 0) +
                                     (balizaQ77.calarma_entrada_externa1 != 0 ? 16 : 0) +
                                     (balizaQ77.calarma_entrada_externa2 != 0 ? 32 : 0) +
                                     (balizaQ77.calarma_entrada_externa3 != 0 ? 64 : 0));
    e.campo(1, 10);    // designated area code
    e.campo(51, 6);    // function identifier
    e.campo(p.cid_msg6, 8);
    e.campo(v.ibateria, 10);
    e.campo(v.ipanel, 10);
    e.campo(v.iacumulado, 10);
    e.campo(v.cestado, 8);
    e.campo(p.iq, 10);

    const uint8_t nspeed = muestras_validas(l76lb.cmuestra_valida_speed, 5);
    const uint8_t nrumbo = muestras_validas(l76lb.cmuestra_valida_rumbo, 3);
    if (cdetalle) {
        linea();
        muestras_en_consola("Muestras speed (", l76lb.cmuestra_valida_speed, l76lb.fspeed_gps_knots, nspeed);
    }
    v.fvelocidad = media(l76lb.fspeed_gps_knots, nspeed);
    if (cdetalle) {
        Serial0.println(v.fvelocidad, 2);
        muestras_en_consola("Muestras rumbo(", l76lb.cmuestra_valida_rumbo, l76lb.frumbo_gps, nrumbo);
    }
    v.frumbo = media(l76lb.frumbo_gps, nrumbo);
    if (cdetalle) Serial0.println(v.frumbo, 2);
    mvarFechaHora.csegundo_utc = l76lb.csegundo_zda;

    // The unit's own Message 18 data, bits 72..191. Until the first valid
    // fix there is no position: the values every receiver reads as "not
    // available" (ITU-R M.1371), not 0 N 0 E.
    const bool sin_posicion = l76lb.cposicion_gps == 0;
    v.llongitud = sin_posicion ? kLongitudNoDisponible
                               : conversor_a_diezmilesimas(l76lb.cgrados_longitud, l76lb.cminutos_longitud,
                                                           l76lb.idiez_milesimas_minutos_longitud, l76lb.ceste_oeste);
    v.llatitud = sin_posicion ? kLatitudNoDisponible
                              : conversor_a_diezmilesimas(l76lb.cgrados_latitud, l76lb.cminutos_latitud,
                                                          l76lb.idiez_milesimas_minutos_latitud, l76lb.cnorte_sur);
    e.campo(sin_posicion ? 1023u : static_cast<uint16_t>(entero_sin_signo(v.fvelocidad * 10.0f)), 10);
    e.campo(0, 1);   // position accuracy
    e.campo(static_cast<uint32_t>(v.llongitud), 28);
    e.campo(static_cast<uint32_t>(v.llatitud), 27);
    e.campo(sin_posicion ? 3600u : static_cast<uint16_t>(entero_sin_signo(v.frumbo * 10.0f)), 12);
    e.campo(511, 9);   // true heading not available
    e.campo(sin_posicion ? 60u : l76lb.csegundo_zda, 6);
    e.campo(c.cclass_b_unit_flag_msg18, 1);
    e.campo(c.cclass_b_display_flag_msg18, 1);
    e.campo(c.cclass_b_dsc_flag_msg18, 1);
    e.campo(c.cclass_b_band_flag_msg18, 1);
    e.campo(c.cclass_b_msg22_flag_msg18, 1);
    e.campo(c.cassigned_mode_flag_msg18, 1);
    e.campo(c.craim_flag_msg18, 1);
    e.campo(c.ccommunication_state_selector_flag_msg18, 1);
    e.campo(c.lcommunication_state_msg18, 19);

    // Message 19 data, bits 192..353.
    e.texto(c.cnombre_msg19, sizeof c.cnombre_msg19);
    e.campo(c.ctype_ship_and_cargo_msg19, 8);
    e.campo(c.idimension_to_bow_msg19, 9);
    e.campo(c.idimension_to_stern_msg19, 9);
    e.campo(c.cdimension_to_port_msg19, 6);
    e.campo(c.cdimension_to_startboard_msg19, 6);
    e.campo(l76lb.cfix_status, 4);

    // Message 24 data, bits 354..437: no vendor ID, model or serial gives 42 zero bits.
    if (c.cid_vendor_msg24[0] == 0 && c.cmodel_code_msg24 == 0 && c.lserial_number_msg24 == 0) {
        e.campo(0, 18);
        e.campo(0, 4);
        e.campo(0, 20);
    } else {
        e.texto(c.cid_vendor_msg24, sizeof c.cid_vendor_msg24);
        e.campo(c.cmodel_code_msg24, 4);
        e.campo(c.lserial_number_msg24, 20);
    }
    e.texto(c.ccall_sing_msg24, sizeof c.ccall_sing_msg24);
    e.campo(p.cid_msg6, 8);

    uint8_t n = static_cast<uint8_t>(e.cindice + (e.cresto != 6 ? 1 : 0));
    if (n > sizeof p.cmsg_tx - 1) n = sizeof p.cmsg_tx - 1;
    p.cmsg_tx[0] = n;
    for (uint8_t i = 0; i < n; ++i) p.cmsg_tx[i + 1] = codificacion_caracteres_ascii_seis_bits(p.cmsg[i]);

    if (cdetalle) {
        linea();
        Serial0.print("Bytes: ");
        Serial0.print(n);
        Serial0.print(" Rest bits: ");
        Serial0.print(e.cresto);
        Serial0.print(" Data: ");
        for (uint8_t i = 0; i < n; ++i) {
            if (p.cmsg[i] < 0x10) Serial0.print('0');
            Serial0.print(p.cmsg[i], HEX);
            Serial0.print(' ');
        }
        linea();
        Serial0.print("Encoded (");
        Serial0.print(n);
        Serial0.print(") => ");
        for (uint8_t i = 0; i < n; ++i) Serial0.write(p.cmsg_tx[i + 1]);
        linea();
    }
    if (p.cextraigo != 0) informe_mensaje6(v);
    p.cid_msg6 = static_cast<uint8_t>(p.cid_msg6 + 1);
}

static const uint8_t kCaracteresPorTrama = 25;

// !AIMEB,3,1,0,0,992241234,6,0,1,123456789,0,C,<25 characters>,0*hh
void composicion_tramas_meb_mensaje6() {
    stperiferico& p = periferico1;
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    const uint8_t n = p.cmsg_tx[0];
    uint8_t s = static_cast<uint8_t>(n / kCaracteresPorTrama + (n % kCaracteresPorTrama != 0 ? 1 : 0));
    if (s == 0) s = 1;

    p.ibytes_mensaje_a_tx = 0;
    for (uint8_t k = 1; k <= s; ++k) {
        inserto_caracter_periferico('!');
        p.cchecksum_nmea = 0;
        p.ccalculo_checksum_nmea = 1;
        inserto_mensaje_periferico("AIMEB,");
        inserto_variable_periferico(s, 1, ',');
        inserto_variable_periferico(k, 1, ',');
        inserto_variable_periferico(p.creintentos_msg6, 1, ',');
        inserto_variable_periferico(0, 1, ',');
        inserto_variable_periferico(p.lmmsi, 9, ',');
        inserto_variable_periferico(6, 1, ',');
        inserto_variable_periferico(p.cindice_msg6, 1, ',');
        inserto_variable_periferico(p.ctipo_aton == 2 || p.ctipo_aton == 3 ? 1 : 0, 1, ',');
        inserto_variable_periferico(p.lmmsi_destino_msg6, 9, ',');
        inserto_variable_periferico(0, 1, ',');
        inserto_mensaje_periferico("C,");
        const uint16_t idesde = static_cast<uint16_t>((k - 1) * kCaracteresPorTrama + 1);
        const uint16_t ihasta = k * kCaracteresPorTrama < n ? static_cast<uint16_t>(k * kCaracteresPorTrama) : n;
        for (uint16_t i = idesde; i <= ihasta; ++i) inserto_caracter_periferico(p.cmsg_tx[i]);
        inserto_caracter_periferico(',');
        // Fill bits: 75 characters carry 450 bits, of which the last 2 are dropped (448 bits, 56 bytes).
        inserto_variable_periferico(k < s ? 0u : (n * 6u) % 8u, 1, 0);
        p.ccalculo_checksum_nmea = 0;
        inserto_caracter_periferico('*');
        inserto_variable_hex_periferico(p.cchecksum_nmea, 2, 1);
    }

    p.itimeout_tx_msg6 = p.ifrecuencia_msg6;
    if (p.cextraigo == 2) {
        Serial0.print("Frecuencia msg6:");
        Serial0.print(p.ifrecuencia_msg6);
        Serial0.print(" Siguiente recarga datos:");
        Serial0.println(p.itimeout_tx_msg6);
    }
}

// ====================================================== command cycle ====

// Waits, tenths of a second.
static const uint8_t kEspera1s = 10;
static const uint8_t kEspera2s = 20;
static const uint8_t kEspera3s = 30;
static const uint8_t kEspera4s = 40;

// Why the due report waits, once the console has been told (0: it does not).
static uint8_t caviso_informe_aplazado;

// A transponder that answers but gave no Message 6 interval is asked again
// this often; so is one whose identification ran out of retries.
static const uint32_t kReconsultaTasasMs = 180000;
// A due report that has not gone out for this long raises the transponder alarm.
static const uint32_t kSinInformeMs = 600000;
// Loads refused in a row before the transponder is identified again: it may
// have been swapped for one with another MMSI.
static const uint8_t kRechazosReidentificacion = 3;

static void banner_gps(const char* texto) {
    if (periferico1.cextraigo == 0) return;
    linea();
    for (uint8_t i = 0; i < 46; ++i) Serial0.print('*');
    linea();
    Serial0.print('\t');
    Serial0.println(texto);
    for (uint8_t i = 0; i < 46; ++i) Serial0.print('*');
    linea();
    linea();
}

static void comando_fijo(const char* trama) {
    inserto_mensaje_periferico(trama);
    inserto_linea_periferico();
}

static void inicio_trama_con_checksum(const char* direccion) {
    inserto_caracter_periferico('$');
    periferico1.cchecksum_nmea = 0;
    periferico1.ccalculo_checksum_nmea = 1;
    inserto_mensaje_periferico(direccion);
}

static void fin_trama_con_checksum() {
    periferico1.ccalculo_checksum_nmea = 0;
    inserto_caracter_periferico('*');
    inserto_variable_hex_periferico(periferico1.cchecksum_nmea, 2, 1);
}

// $UPAID,<own MMSI>,1,<second MMSI>,0,C*hh (17) or ...,R,C*hh (21).
static void escritura_mmsi(uint32_t lsegundo, const char* cola) {
    inicio_trama_con_checksum("UPAID,");
    inserto_variable_periferico(periferico1.lmmsi, 9, ',');
    inserto_mensaje_periferico("1,");
    inserto_variable_periferico(lsegundo, 9, ',');
    inserto_mensaje_periferico(cola);
    fin_trama_con_checksum();
}

// The transponder takes these two without a checksum field.
static void escritura_configuracion() {
    inicio_trama_con_checksum("UPMCR,");
    inserto_variable_periferico(periferico1.lmmsi, 9, ',');
    inserto_mensaje_periferico("SBS,0,C");
    inserto_linea_periferico();
    inicio_trama_con_checksum("UPMCR,");
    inserto_variable_periferico(periferico1.lmmsi, 9, ',');
    inserto_mensaje_periferico("MSS,0,4294967295,C");
    inserto_linea_periferico();
    periferico1.ccalculo_checksum_nmea = 0;
    periferico1.cresultados_configuracion = 0;
}

static void aviso_aplazado(uint8_t cmotivo, const char* texto) {
    if (caviso_informe_aplazado == cmotivo) return;
    caviso_informe_aplazado = cmotivo;
    if (periferico1.cextraigo != 0) Serial0.println(texto);
}

// A report is due when its countdown has run out. It waits while either
// MMSI is unknown, since the nine-digit fields cannot carry that, and until
// the first minute's measurement, which it would otherwise report as 0 V.
static void eleccion_en_reposo() {
    stperiferico& p = periferico1;
    if (p.itimeout_tx_msg6 == 0 && p.ifrecuencia_msg6 != 0) {
        if (p.lmmsi == kMmsiDesconocido || p.lmmsi_destino_msg6 == kMmsiDesconocido) {
            aviso_aplazado(1, "Msg 6 => MMSI unknown, report postponed");
        } else if (balizaQ77.cprimera_medicion == 0) {
            aviso_aplazado(2, "Msg 6 => no measurement yet, report postponed");
        } else {
            caviso_informe_aplazado = 0;
            p.ccomando = 18;
            return;
        }
    } else {
        caviso_informe_aplazado = 0;
    }
    if (p.cstatus_gps == 2) {
        p.ccomando = 2;
    } else if (p.cstatus_gps == 1) {
        p.cstatus_gps = 0;
        p.ccomando = 1;
    } else if (p.ifrecuencia_msg6 == 0 && millis() - p.lconsulta_tasas_ms >= kReconsultaTasasMs) {
        // No interval: the rates' reply was lost, or the identification ran
        // out of retries. Ask again, not flooding a transponder that has none.
        p.lconsulta_tasas_ms = millis();
        if (p.cidentificar != 0 || p.lmmsi == kMmsiDesconocido) {
            p.cidentificar = 0;
            p.ccomando = 4;
        } else {
            p.ccomando = 15;
        }
        if (p.cextraigo != 0) Serial0.println("Msg 6 => no interval, asking the transponder again");
    }
}

// Every pass: a report due and not transmitted for ten minutes raises the
// transponder alarm, as a silent link does; the next report sent clears it.
static void vigilancia_informes() {
    stperiferico& p = periferico1;
    if (p.cinforme_debido == 0) {
        if (p.ifrecuencia_msg6 != 0 && p.itimeout_tx_msg6 == 0) {
            p.cinforme_debido = 1;
            p.linforme_debido_ms = millis();
        }
        return;
    }
    if (p.calarma_informe != 0 || millis() - p.linforme_debido_ms < kSinInformeMs) return;
    p.calarma_informe = 1;
    if (p.cextraigo != 0) Serial0.println("AIS => NO MSG 6 SENT!!!! Enable alarm");
    if (p.calarma == 0) {
        grabacion_nueva_incidencia(11, 0);
        balizaQ77.crefresco = 1;
    }
}

// The transponder echoed a Message 6 of ours: a report went out.
static void informe_transmitido() {
    stperiferico& p = periferico1;
    p.cinforme_debido = 0;
    p.crechazos_msg6 = 0;
    if (p.calarma_informe == 0) return;
    p.calarma_informe = 0;
    if (p.cextraigo != 0) Serial0.println("AIS => MSG 6 SENT!!!! Disable alarm");
    if (p.calarma == 0) {
        grabacion_nueva_incidencia(12, 0);
        balizaQ77.crefresco = 1;
    }
}

static void bytes_en_consola(const uint8_t* pc, uint16_t n) {
    for (uint16_t i = 0; i < n; ++i) {
        const uint8_t c = pc[i];
        Serial0.write(c == 13 ? static_cast<uint8_t>('d') : c == 10 ? static_cast<uint8_t>('a') : c);
    }
}

void envio_comandos_ais() {
    stperiferico& p = periferico1;
    p.ibytes_mensaje_a_tx = 0;
    uint8_t cespera = 0;
    switch (p.ccomando) {
        case 0: eleccion_en_reposo(); return;
        case 1:
            banner_gps("Disable GPS AIS");
            comando_fijo(m_trama_gps_ais_off);
            cespera = kEspera3s;
            break;
        case 2:
            banner_gps("Enable GPS AIS");
            comando_fijo(m_trama_gps_ais_on);
            cespera = kEspera3s;
            break;
        case 4:
        case 19:
            comando_fijo(m_trama_consulta_aid);
            cespera = kEspera2s;
            break;
        case 5: comando_fijo(m_trama_consulta_ace); cespera = kEspera1s; break;
        case 6: comando_fijo(m_trama_consulta_acf); cespera = kEspera1s; break;
        case 7:
            comando_fijo(m_trama_consulta_mcr);
            p.cresultados_configuracion = 0;
            cespera = kEspera1s;
            break;
        case 9: comando_fijo(m_trama_tipo_aton); cespera = kEspera1s; break;
        case 11: comando_fijo(m_trama_version_firmware); cespera = kEspera1s; break;
        case 12: comando_fijo(m_trama_numero_serie); cespera = kEspera1s; break;
        case 13: comando_fijo(m_trama_roe); cespera = kEspera1s; break;
        case 14: comando_fijo(m_trama_tension); cespera = kEspera1s; break;
        case 15:
            comando_fijo(m_trama_consulta_aar);
            p.ifrecuencia_msg6 = 0;
            p.lconsulta_tasas_ms = millis();
            cespera = kEspera4s;
            break;
        case 16:
            banner_gps("Enable GPS by USB AIS");
            comando_fijo(m_trama_gps_ais_usb);
            cespera = kEspera3s;
            break;
        case 17: escritura_mmsi(111111111u, "0,C"); cespera = kEspera1s; break;
        case 18: composicion_tramas_meb_mensaje6(); cespera = kEspera2s; break;
        case 20: escritura_configuracion(); cespera = kEspera1s; break;
        case 21: escritura_mmsi(configuracion_ais.lmmsi, "R,C"); cespera = kEspera1s; break;
        default: return;   // 3, 8, 10 and anything unknown send nothing
    }

    for (uint16_t i = 0; i < p.ibytes_mensaje_a_tx; ++i) Serial3.write(p.cframe_tx[i]);
    if (p.cextraigo == 2) {
        linea();
        Serial0.print("Tx AIS (");
        transmito_variable(p.ibytes_mensaje_a_tx, 2, ')');
        Serial0.print(" => ");
        bytes_en_consola(p.cframe_tx, p.ibytes_mensaje_a_tx);
        linea();
    }
    p.ctimeout_respuesta_comando = cespera;
    p.cesperando_respuesta = 1;
}

// The reply to the command in progress did not come in time.
static void respuesta_vencida() {
    stperiferico& p = periferico1;
    switch (p.ccomando) {
        case 0: break;
        case 1: p.ccomando = 0; break;
        case 4:
        case 19:
            if (p.lmmsi == kMmsiDesconocido) {
                p.ccomando = 4;
            } else if (p.lmmsi_destino_msg6 == kMmsiDesconocido && p.ifrecuencia_msg6 != 0) {
                p.ccomando = 17;
            } else {
                p.ccomando = p.ccomando == 4 ? 5 : 11;
            }
            break;
        case 7: p.ccomando = 20; break;
        case 17: p.ccomando = 19; break;
        case 18: p.ccomando = 13; break;
        case 20: p.ccomando = 7; break;
        case 21:
            // A rewritten transponder is a new one to the unit: identify it
            // from the start (name, configuration, type, rates), or it would
            // never be asked its reporting rates and no report would be due.
            p.lmmsi = kMmsiDesconocido;
            p.ccomando = 4;
            break;
        default:
            if (p.creintentos_comando >= 4) {
                // An identification that ran out of retries starts over
                // from idle, a few minutes on, when no interval is known.
                if (p.ccomando == 5 || p.ccomando == 9 || p.ccomando == 15) {
                    p.cidentificar = 1;
                    p.lconsulta_tasas_ms = millis();
                }
                p.creintentos_comando = 0;
                p.ccomando = 0;
            } else {
                p.creintentos_comando = static_cast<uint8_t>(p.creintentos_comando + 1);
            }
            break;
    }
}

void ciclo_comandos_ais() {
    stperiferico& p = periferico1;
    vigilancia_informes();
    if (p.calarma == 0 && p.cconexion_software_pc == 0) {
        if (p.cesperando_respuesta == 0) {
            envio_comandos_ais();
        } else if (p.ctimeout_respuesta_comando == 0) {
            p.cesperando_respuesta = 0;
            respuesta_vencida();
        }
    } else if (p.cconexion_software_pc == 1) {
        envio_comandos_ais();
        p.cconexion_software_pc = 2;
    } else if (p.cconexion_software_pc != 0 && p.csegundos_sin_tramas_deteccion_usb >= 120) {
        p.cstatus_gps = 1;
        p.cconexion_software_pc = 0;
    }
}

// ================================================= sentence processing ====

namespace {

// One sentence of the burst, copied and NUL-terminated; every look into it
// stays below its length.
struct Trama {
    uint8_t c[256];   // cprocesada
    uint16_t l;       // bytes kept, at most 255

    bool en(uint16_t pos, const char* texto) const {
        const size_t n = strlen(texto);
        if (pos > l || static_cast<size_t>(l - pos) < n) return false;
        return comparacion(pos, c, texto, 0) == 1;
    }
    uint16_t campo(uint8_t n) const { return busqueda_campo(n, c, 0, l); }
    // Field n (n >= 1) exists when a comma opens it; a sentence with fewer
    // fields ends them at its '*'.
    bool existe(uint8_t n, uint16_t* ppos) const {
        const uint16_t pos = campo(n);
        *ppos = pos;
        return pos > 0 && pos < l && c[pos - 1] == ',';
    }
    bool empieza(uint8_t n, const char* texto) const {
        uint16_t pos;
        return existe(n, &pos) && en(pos, texto);
    }
    uint8_t primer_byte(uint8_t n) const {
        uint16_t pos;
        return existe(n, &pos) ? c[pos] : 0;
    }
    bool numero(uint8_t n, uint32_t* pl) const { return extraccion_dato_nmea(n, c, 0, l, pl) == 1; }
    bool con_signo(uint8_t n, int32_t* pl) const { return extraccion_dato_con_signo_nmea(n, c, 0, l, pl) == 1; }
    // Bytes of field n up to the first of `fines` (or the end) into pcdestino,
    // at most `cmaximo`; returns how many.
    uint8_t copia_campo(uint8_t n, uint8_t* pcdestino, uint8_t cmaximo, const char* fines) const {
        uint16_t pos;
        if (!existe(n, &pos)) return 0;
        uint8_t k = 0;
        for (; k < cmaximo && pos < l && strchr(fines, c[pos]) == nullptr; ++k, ++pos) pcdestino[k] = c[pos];
        return k;
    }
    void en_consola() const {
        for (uint16_t i = 0; i < l && c[i] != 0; ++i) Serial0.write(c[i]);
    }
};

}  // namespace

// A reply the unit did not ask for means a PC program is talking to the transponder.
static void paso_deteccion_pc() {
    if (periferico1.cconexion_software_pc != 0) {
        periferico1.csegundos_sin_tramas_deteccion_usb = 0;
    } else if (periferico1.ccomando == 0) {
        deteccion_conexion_pc();
    }
}

static void paso_ciclo(uint8_t cdesde, uint8_t chasta) {
    if (periferico1.ccomando == cdesde) periferico1.ccomando = chasta;
}

static void hex_en_consola(uint8_t c) {
    if (c < 0x10) Serial0.print('0');
    Serial0.println(c, HEX);
}

// !AIVDO,1,1,,A,6...: on channel A or B, a payload opening with message number 6.
static bool eco_mensaje6(const Trama& t) {
    const uint8_t ccanal = t.primer_byte(4);
    if (ccanal != 'A' && ccanal != 'B') return false;
    uint16_t pos;
    return t.existe(5, &pos) && decodificacion_mensaje_vdo(t.c[pos]) == 6;
}

// The transponder transmitted; a Message 6 reschedules the reload.
static void trama_vdo(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    if (p.lmmsi == kMmsiDesconocido) {
        p.ccomando = 4;
        return;
    }
    if (!eco_mensaje6(t)) return;
    if (p.cextraigo != 0) {
        linea();
        Serial0.print("\tMsg 6 AIS sended => ");
        t.en_consola();
        linea();
    }
    const uint16_t f = p.ifrecuencia_msg6;
    p.itimeout_tx_msg6 = f > 5 ? static_cast<uint16_t>(f - 5) : f != 0 ? static_cast<uint16_t>(f - 1) : 0;
    p.ccomando = 13;
    cframe_procesada = 1;
}

// An MMSI goes back out in nine digits: 0 and anything longer are none.
static bool mmsi_valido(uint32_t v) { return v >= 1 && v <= 999999999u; }

// $AIAID,<own MMSI>,<n>,<destination MMSI>,0,...
static void trama_aid(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    uint32_t v;
    if (p.lmmsi == kMmsiDesconocido && t.numero(1, &v) && mmsi_valido(v)) {
        // An MMSI the unit cannot trust (a configuration write cut short, an
        // erased page, no EEPROM) is never written over the transponder's.
        if (v == configuracion_ais.lmmsi || configuracion_ais.cmmsi_fiable == 0) {
            p.lmmsi = v;
            if (p.cextraigo != 0) {
                linea();
                Serial0.print("\t\tOwn MMSI identified:");
                transmito_variable(p.lmmsi, 9, 1);
                linea();
            }
        } else {
            if (p.cextraigo != 0) {
                linea();
                Serial0.print("\tDetected another MMSI => Reconfiging");
            }
            p.ccomando = 21;
            p.lmmsi = v;
            cframe_procesada = 1;
        }
    }
    uint32_t d;
    if (p.lmmsi_destino_msg6 == kMmsiDesconocido && cframe_procesada == 0 && t.primer_byte(4) == '0' &&
        t.numero(3, &d) && mmsi_valido(d)) {
        p.lmmsi_destino_msg6 = d;
        if (p.cextraigo != 0) {
            linea();
            Serial0.println("\tFrame AID");
            Serial0.print("\t\tMMSI Destination Msg6: ");
            transmito_variable(d, 9, 1);
            linea();
        }
    }
    if (p.ccomando == 4 || p.ccomando == 19) return;
    if (p.cconexion_software_pc == 0 && cframe_procesada == 0) {
        deteccion_conexion_pc();
        cframe_procesada = 1;
    }
}

static void trama_nak(const Trama& t) {
    stperiferico& p = periferico1;
    const bool carga = t.empieza(1, "AI") && t.empieza(2, "MEB");
    if (carga && p.cconexion_software_pc == 0) {
        p.crechazos_msg6 = static_cast<uint8_t>(p.crechazos_msg6 + 1);
        if (p.crechazos_msg6 >= kRechazosReidentificacion) {
            // Refused again and again: not a PC at work but another
            // transponder, or one that forgot its MMSI. Identify it afresh.
            p.crechazos_msg6 = 0;
            p.lmmsi = kMmsiDesconocido;
            p.lmmsi_destino_msg6 = kMmsiDesconocido;
            p.ccomando = 4;
            if (p.cextraigo != 0) Serial0.println("Msg 6 => loads refused, identifying the transponder again");
            return;
        }
    }
    if (p.cconexion_software_pc != 0) {
        p.csegundos_sin_tramas_deteccion_usb = 0;
    } else {
        deteccion_conexion_pc();
    }
    uint32_t lmmsi;
    uint32_t lack;
    if (carga && t.numero(3, &lmmsi) && t.numero(4, &lack) && p.cextraigo != 0) {
        linea();
        Serial0.println("\t\tFrame NAK");
        Serial0.print("\t\t\tMMSI: ");
        Serial0.println(lmmsi);
        Serial0.print("\t\t\tACK: ");
        Serial0.println(lack);
    }
}

// Clears the text, then copies field 4 up to its '*' (commas included).
static void copia_texto(const Trama& t, char* pctexto, uint8_t ctamano, const char* titulo) {
    memset(pctexto, 0, ctamano);
    t.copia_campo(4, reinterpret_cast<uint8_t*>(pctexto), static_cast<uint8_t>(ctamano - 1), "*");
    if (periferico1.cextraigo != 0) {
        linea();
        Serial0.print(titulo);
        Serial0.println(pctexto);
    }
}

// $PSMT,...,<code>,<value>*hh
static void trama_psmt(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    paso_deteccion_pc();
    if (t.empieza(2, "gpsfilt")) {
        if (p.cextraigo != 0) {
            linea();
            Serial0.println("\t\tAck GPS received");
        }
        p.ccomando = 0;
        cframe_procesada = 1;
        return;
    }
    uint32_t ccodigo;
    if (!t.numero(3, &ccodigo)) return;
    uint32_t v = 0;
    const bool hay_valor = t.numero(4, &v);
    switch (ccodigo) {
        case 6:   // supply voltage, thousandths of a volt
            if (!hay_valor) return;
            p.ibateria = static_cast<uint16_t>(v / 10u);
            if (p.cextraigo != 0) {
                linea();
                Serial0.print("\tV ais:");
                transmito_variable(p.ibateria / 100u, 2, '.');
                transmito_variable(p.ibateria % 100u, 2, 1);
            }
            paso_ciclo(14, 0);
            break;
        case 5:   // VSWR, tenths
            if (!hay_valor) return;
            p.iq = static_cast<uint16_t>(v);
            p.ccambios_bruscos_roe = 0;
            if (p.cextraigo != 0) {
                linea();
                Serial0.print("\tROE level:");
                transmito_variable(p.iq / 10u, 2, '.');
                transmito_variable(p.iq % 10u, 1, 1);
            }
            paso_ciclo(13, 14);
            break;
        case 7:
            if (!hay_valor) return;
            p.ctipo_aton = static_cast<uint8_t>(v);
            if (p.cextraigo != 0) {
                linea();
                Serial0.print("\tType aton:");
                Serial0.println(p.ctipo_aton);
            }
            paso_ciclo(9, 15);
            break;
        case 1:
            copia_texto(t, p.cfirmware, sizeof p.cfirmware, "\tFirmware:");
            paso_ciclo(11, 12);
            break;
        case 4:
            copia_texto(t, p.csn, sizeof p.csn, "\tSN:");
            paso_ciclo(12, 13);
            break;
        default: return;
    }
    cframe_procesada = 1;
}

// $ANTXT,01,01,62,... msg 06 ...: notices of the transponder.
static void trama_txt(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    uint32_t ltexto;
    if (!t.numero(3, &ltexto)) return;
    if (ltexto == 62) {
        const uint16_t pos = busqueda_trama(t.c, "msg ", t.l, 0);
        if (pos == 0xFFFF) return;
        const uint8_t ccifras = t.l - pos < 2 ? static_cast<uint8_t>(t.l - pos) : 2;
        const uint32_t n = conversion_ascii_decimal(pos, ccifras, t.c);
        if (p.cextraigo != 0) {
            linea();
            Serial0.print("\tNo data in buffer msg ");
            Serial0.println(n);
        }
        if (n == 6) p.itimeout_tx_msg6 = 0;
    } else if (ltexto == 80) {
        const uint16_t pos = t.campo(4);
        if (busqueda_trama(t.c, "USB connected", t.l, pos) != 0xFFFF) {
            if (p.cextraigo != 0) {
                linea();
                Serial0.println("\tUSB connected");
            }
            if (p.cconexion_software_pc == 0) deteccion_conexion_pc();
            p.csegundos_sin_tramas_deteccion_usb = 0;
        } else if (busqueda_trama(t.c, "Exiting standby", t.l, pos) != 0xFFFF) {
            if (p.cextraigo != 0) {
                linea();
                Serial0.println("\tReload data msg6");
            }
            cframe_procesada = 1;
        }
    }
}

static void trama_gps_ais() {
    stperiferico& p = periferico1;
    if (p.ccomando == 2 || p.ccomando == 16) p.ccomando = 0;
    p.csegundos_sin_tramas_gps_ais = 0;
    p.csleep = 0;
}

// $ANACE,<MMSI>,...,<name in field 7>,...
static void trama_ace(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    paso_deteccion_pc();
    uint32_t lmmsi;
    if (!t.numero(1, &lmmsi) || lmmsi != p.lmmsi || p.ccomando != 5) return;
    const uint8_t n = t.copia_campo(7, p.cnombre_ais, sizeof p.cnombre_ais, ",*");
    for (uint8_t i = n; i < sizeof p.cnombre_ais; ++i) p.cnombre_ais[i] = '@';
    if (p.cextraigo != 0) {
        linea();
        Serial0.print("\tOwn name: ");
        for (uint8_t i = 0; i < sizeof p.cnombre_ais && p.cnombre_ais[i] != '@'; ++i) Serial0.write(p.cnombre_ais[i]);
        linea();
    }
    p.ccomando = 7;
    cframe_procesada = 1;
}

// $ANMCR,<MMSI>,SBS,0,... and $ANMCR,<MMSI>,MSS,0,...
static void trama_mcr(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    paso_deteccion_pc();
    uint32_t r;
    if (t.empieza(2, "SBS") && t.numero(3, &r)) {
        if (r == 0) {
            Serial0.println("\tBit status => OK");
            p.cresultados_configuracion = static_cast<uint8_t>(p.cresultados_configuracion | 0x01);
        } else if (p.cextraigo != 0) {
            linea();
            Serial0.println("\tError detected configuration source bit status");
        }
    }
    if (t.empieza(2, "MSS") && t.numero(3, &r)) {
        if (r == 0) {
            Serial0.println("\tConfiguration GLA => OK");
            p.cresultados_configuracion = static_cast<uint8_t>(p.cresultados_configuracion | 0x10);
        } else if (p.cextraigo != 0) {
            linea();
            Serial0.println("\tError detected in the configuration");
        }
    }
    if (p.cresultados_configuracion == 0x11) {
        p.ccomando = 9;
        cframe_procesada = 1;
    }
}

// $ANAAR,<MMSI>,<message>,<index>,...: the reporting rates, per channel a
// start slot (fields 6 and 11) and an increment in slots (7 and 12).
static void trama_aar(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    paso_deteccion_pc();
    if (p.ccomando != 15) return;
    uint32_t lmmsi;
    uint32_t lmensaje;
    if (!t.numero(1, &lmmsi) || lmmsi != p.lmmsi || !t.numero(2, &lmensaje)) return;
    if (lmensaje == 6) {
        int32_t lsigned_aux = 0;
        int32_t lsigned_aux2 = 0;
        t.con_signo(6, &lsigned_aux);
        t.con_signo(11, &lsigned_aux2);
        if (lsigned_aux == -1 || lsigned_aux2 == -1) return;
        uint32_t la;
        uint32_t lb;
        if (!t.numero(7, &la) || !t.numero(12, &lb) || la != lb) return;
        // 37.5 slots a second on each channel, reported on both.
        p.ifrecuencia_msg6 = static_cast<uint16_t>(entero_sin_signo(static_cast<float>(la) / 37.5f * 0.5f));
        uint32_t lindice;
        if (t.numero(3, &lindice)) p.cindice_msg6 = static_cast<uint8_t>(lindice);
        if (p.cextraigo != 0) {
            Serial0.print("Msg 6 => Frequency:");
            Serial0.print(p.ifrecuencia_msg6);
            Serial0.print("\tIndex:");
            Serial0.println(p.cindice_msg6);
        }
    } else if (lmensaje == 21) {
        uint32_t luno;
        if (!t.numero(3, &luno) || luno != 1) return;
        p.itimeout_tx_msg6 = 0;
        p.ccomando = p.ifrecuencia_msg6 != 0 && p.lmmsi_destino_msg6 == kMmsiDesconocido ? 17 : 11;
        if (p.ctipo_aton != 1) {
            uint32_t lslot;
            p.ctipo_aton = t.numero(6, &lslot) ? 2 : 3;
        }
        cframe_procesada = 1;
        if (p.cextraigo != 0) {
            linea();
            Serial0.print("Ais type:");
            Serial0.println(p.ctipo_aton == 3 ? "Type 3 RATDMA" : "Type 3 FATDMA");
        }
    }
}

static void trama_valida(const Trama& t, uint8_t& cframe_procesada) {
    stperiferico& p = periferico1;
    // Heard again: the silence watch starts over, and so does the count of restarts.
    p.ctimeout_alarm = 10;
    p.cseguridad_alarma = 0;
    if (p.calarma != 0) disable_alarma(5);

    // A report went out, whatever the cycle is busy with.
    if (t.en(3, "VDO") && eco_mensaje6(t)) informe_transmitido();

    if (t.en(3, "VDO") && p.ccomando == 0) {
        trama_vdo(t, cframe_procesada);
    } else if (t.en(3, "AID")) {
        trama_aid(t, cframe_procesada);
    } else if (t.en(3, "NAK")) {
        trama_nak(t);
    } else if (t.en(1, "PSMT")) {
        trama_psmt(t, cframe_procesada);
    } else if (t.en(1, "ANTXT")) {
        trama_txt(t, cframe_procesada);
    } else if (t.c[0] == '$' && t.en(1, "GP")) {
        trama_gps_ais();
    } else if (t.en(1, "ANACE")) {
        trama_ace(t, cframe_procesada);
    } else if (t.en(1, "ANACF")) {
        paso_deteccion_pc();
    } else if (t.en(1, "ANMCR")) {
        trama_mcr(t, cframe_procesada);
    } else if (t.en(1, "ANAAR")) {
        trama_aar(t, cframe_procesada);
    }
}

void procesamos_trama_rx_ais() {
    stperiferico& p = periferico1;
    if (p.cextraigo == 2) {
        linea();
        Serial0.print("AIS rx (");
        Serial0.print(p.ibytes_rx);
        Serial0.print(") =>");
        bytes_en_consola(p.cframe_rx, p.ibytes_rx);
        linea();
    }
    if (p.ibytes_rx != 0) {
        uint8_t cframe_procesada = 0;
        Trama t;
        uint16_t inicio = 0;
        const uint16_t n = p.ibytes_rx < sizeof p.cframe_rx ? p.ibytes_rx : sizeof p.cframe_rx;
        while (inicio < n) {
            sodaq_wdt_reset();
            const uint16_t fin = ibusqueda_dato_en_buffer_rx(p.cframe_rx, 10, 1, inicio, n);
            if (p.cframe_rx[inicio] != '!' && p.cframe_rx[inicio] != '$' && inicio < fin) {
                uint16_t pos = ibusqueda_dato_en_buffer_rx(p.cframe_rx, '!', 1, inicio, fin);
                if (pos >= fin) pos = ibusqueda_dato_en_buffer_rx(p.cframe_rx, '$', 1, inicio, fin);
                if (pos < fin) inicio = pos;
            }
            const uint16_t ultimo = fin < n ? fin : static_cast<uint16_t>(n - 1);
            uint16_t l = static_cast<uint16_t>(ultimo - inicio + 1);
            if (l > sizeof t.c - 1) l = sizeof t.c - 1;
            memcpy(t.c, &p.cframe_rx[inicio], l);
            t.c[l] = 0;
            t.l = l;

            if (p.cextraigo == 2) {
                Serial0.print("\tProcessing (");
                Serial0.print(l);
                Serial0.print("): ");
                t.en_consola();
                linea();
            }
            uint8_t cchecksum = 0;
            if (comprobacion_checksum_nmea(t.c, 0, l, &cchecksum) == 1) {
                trama_valida(t, cframe_procesada);
            } else if (p.cextraigo != 0) {
                linea();
                t.en_consola();
                linea();
                Serial0.print("Checksum failed AIS => ");
                hex_en_consola(cchecksum);
            }
            inicio = static_cast<uint16_t>(fin + 1);
        }
        if (cframe_procesada == 1) {
            p.cesperando_respuesta = 0;
            p.creintentos_comando = 0;
            p.ctimeout_respuesta_comando = 0;
        }
    }
    if (p.cextraigo == 2) {
        Serial0.print("Timeout msg 6:");
        Serial0.println(p.itimeout_tx_msg6);
    }
}
