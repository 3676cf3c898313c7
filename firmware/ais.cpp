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
    transmito_variable(l76lb.cgrados_longitud, 3, '*');
    transmito_variable(l76lb.cminutos_longitud, 2, '.');
    transmito_variable(l76lb.idiez_milesimas_minutos_longitud, 4, 0);
    Serial0.write(l76lb.ceste_oeste);
    Serial0.print('\t');
    Serial0.println(static_cast<long>(v.llongitud));
    Serial0.print("\tLatitude:");
    transmito_variable(l76lb.cgrados_latitud, 2, '*');
    transmito_variable(l76lb.cminutos_latitud, 2, '.');
    transmito_variable(l76lb.idiez_milesimas_minutos_latitud, 4, 0);
    Serial0.write(l76lb.cnorte_sur);
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

    // The unit's own Message 18 data, bits 72..191.
    v.llongitud = conversor_a_diezmilesimas(l76lb.cgrados_longitud, l76lb.cminutos_longitud,
                                            l76lb.idiez_milesimas_minutos_longitud, l76lb.ceste_oeste);
    v.llatitud = conversor_a_diezmilesimas(l76lb.cgrados_latitud, l76lb.cminutos_latitud,
                                           l76lb.idiez_milesimas_minutos_latitud, l76lb.cnorte_sur);
    e.campo(static_cast<uint16_t>(entero_sin_signo(v.fvelocidad * 10.0f)), 10);
    e.campo(0, 1);   // position accuracy
    e.campo(static_cast<uint32_t>(v.llongitud), 28);
    e.campo(static_cast<uint32_t>(v.llatitud), 27);
    e.campo(static_cast<uint16_t>(entero_sin_signo(v.frumbo * 10.0f)), 12);
    e.campo(511, 9);   // true heading not available
    e.campo(l76lb.csegundo_zda, 6);
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

void envio_comandos_ais() {}

void ciclo_comandos_ais() {}

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

static void bytes_en_consola(const uint8_t* pc, uint16_t n) {
    for (uint16_t i = 0; i < n; ++i) {
        const uint8_t c = pc[i];
        Serial0.write(c == 13 ? static_cast<uint8_t>('d') : c == 10 ? static_cast<uint8_t>('a') : c);
    }
}

static void hex_en_consola(uint8_t c) {
    if (c < 0x10) Serial0.print('0');
    Serial0.println(c, HEX);
}

static void trama_valida(const Trama&, uint8_t&) {
    // Heard: the silence watch starts over.
    periferico1.ctimeout_alarm = 10;
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
