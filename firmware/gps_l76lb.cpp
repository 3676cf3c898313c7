#include "gps_l76lb.h"

#include <Arduino.h>
#include <string.h>

#include "Sodaq_wdt.h"
#include "comunicaciones_pc.h"
#include "constantes.h"
#include "globals.h"
#include "mcp7940.h"
#include "zelmora.h"

// ============================================================ toolkit ====

static const uint8_t kCifrasMaximas = 10;   // entries of lvalores_decimales
static const uint8_t kClaseMenos = 0xFD;
static const uint8_t kClasePunto = 0xFE;

uint8_t desconversion_ascii(uint8_t cascii) {
    if (cascii < 0x20 || cascii > 0x46) return 0xFF;
    return m_desconversion_ascii[cascii - 0x20];
}

uint16_t busqueda_campo(uint8_t ccampo_buscado, const uint8_t* pctrama, uint16_t iposicion_inicial,
                        uint16_t iposicion_final) {
    uint8_t ccomas = 0;
    uint16_t i = iposicion_inicial;
    while (ccomas != ccampo_buscado && i < iposicion_final) {
        if (pctrama[i] == ',') {
            ccomas = static_cast<uint8_t>(ccomas + 1);
        } else if (pctrama[i] == '*') {
            ccomas = ccampo_buscado;   // the fields end at the checksum
        }
        ++i;
    }
    return i;
}

uint8_t comprobacion_checksum_nmea(const uint8_t* pctrama, uint16_t iposicion_inicio, uint16_t iposicion_final,
                                   uint8_t* pcchecksum) {
    *pcchecksum = 0;
    uint32_t i = iposicion_inicio;   // the '$' or '!' itself is not summed
    for (;;) {
        ++i;
        if (i >= iposicion_final) return 0;   // no '*' inside the sentence
        if (pctrama[i] == '*') break;
        *pcchecksum = static_cast<uint8_t>(*pcchecksum ^ pctrama[i]);
    }
    // Both digits must lie inside the sentence: "*2" and a line feed is no checksum.
    if (i + 2 >= iposicion_final) return 0;
    const uint8_t calto = desconversion_ascii(pctrama[i + 1]);
    const uint8_t cbajo = desconversion_ascii(pctrama[i + 2]);
    if (calto > 15 || cbajo > 15) return 0;
    return static_cast<uint8_t>((calto << 4) | cbajo) == *pcchecksum ? 1 : 0;
}

uint32_t conversion_ascii_decimal(uint16_t iposicion_mas_significativa, uint8_t ccantidad, const uint8_t* pctrama) {
    uint32_t lvalor = 0;
    uint8_t k = 0;
    // From the least significant byte back; digits past the tenth are dropped.
    for (uint32_t j = ccantidad; j != 0 && k < kCifrasMaximas; --j) {
        const uint8_t c = desconversion_ascii(pctrama[iposicion_mas_significativa + j - 1]);
        if (c <= 9) {
            lvalor += c * lvalores_decimales[k];
            ++k;
        }
    }
    return lvalor;
}

float conversion_ascii_float(uint16_t iposicion_mas_significativa, uint8_t ccantidad, const uint8_t* pctrama) {
    if (ccantidad == 0) return 0.0f;
    uint32_t lvalor = 0;
    uint8_t k = 0;
    uint8_t cdecimales = 0;
    bool sin_punto = true;
    bool negativo = false;
    for (uint32_t j = ccantidad; j != 0; --j) {
        const uint8_t c = desconversion_ascii(pctrama[iposicion_mas_significativa + j - 1]);
        if (c == kClaseMenos) {
            negativo = true;
        } else if (c == kClasePunto) {
            sin_punto = false;
        } else if (c <= 9 && k < kCifrasMaximas) {
            lvalor += c * lvalores_decimales[k];
            ++k;
            if (sin_punto) ++cdecimales;
        }
    }
    float fvalor = static_cast<float>(lvalor);
    if (!sin_punto) {
        // Ten decimals need 10^10, one past the table.
        const float fdivisor = cdecimales < kCifrasMaximas ? static_cast<float>(lvalores_decimales[cdecimales])
                                                           : static_cast<float>(lvalores_decimales[9]) * 10.0f;
        fvalor /= fdivisor;
    }
    return negativo ? 0.0f - fvalor : fvalor;
}

// First byte and length of a non-empty field. A field past the last one
// (both searches end at the same place) counts as empty.
static uint8_t delimitacion_campo(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                                  uint16_t iposicion_final, uint16_t* piinicio, uint8_t* pclongitud) {
    const uint16_t s = busqueda_campo(ccampo, pctrama, iposicion_inicial, iposicion_final);
    const uint16_t e = busqueda_campo(static_cast<uint8_t>(ccampo + 1), pctrama, iposicion_inicial, iposicion_final);
    if (static_cast<uint32_t>(e) <= static_cast<uint32_t>(s) + 1) return 0;
    *piinicio = s;
    *pclongitud = static_cast<uint8_t>(e - 1 - s);
    return 1;
}

uint8_t extraccion_dato_nmea(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                             uint16_t iposicion_final, uint32_t* pldato) {
    uint16_t s;
    uint8_t n;
    if (delimitacion_campo(ccampo, pctrama, iposicion_inicial, iposicion_final, &s, &n) == 0) return 0;
    *pldato = conversion_ascii_decimal(s, n, pctrama);
    return 1;
}

uint8_t extraccion_dato_con_signo_nmea(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                                       uint16_t iposicion_final, int32_t* pldato) {
    uint16_t s;
    uint8_t n;
    if (delimitacion_campo(ccampo, pctrama, iposicion_inicial, iposicion_final, &s, &n) == 0) return 0;
    const bool negativo = pctrama[s] == '-';
    if (negativo) {
        ++s;
        n = static_cast<uint8_t>(n - 1);
    }
    const uint32_t lvalor = conversion_ascii_decimal(s, n, pctrama);
    *pldato = static_cast<int32_t>(negativo ? 0u - lvalor : lvalor);
    return 1;
}

uint8_t extraccion_dato_nmea_float(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                                   uint16_t iposicion_final, float* pfdato) {
    uint16_t s;
    uint8_t n;
    if (delimitacion_campo(ccampo, pctrama, iposicion_inicial, iposicion_final, &s, &n) == 0) return 0;
    *pfdato = conversion_ascii_float(s, n, pctrama);
    return 1;
}

uint8_t comparacion(uint16_t iinicio, const uint8_t* pctrama_comparar, const char* pctrama_comparada,
                    uint8_t clongitud_comparada) {
    uint8_t clongitud = 0;
    while (clongitud < 255 && pctrama_comparada[clongitud] != '\0') ++clongitud;
    if (clongitud_comparada != 0 && clongitud_comparada != clongitud) return 0;
    for (uint8_t i = 0; i < clongitud; ++i) {
        if (pctrama_comparar[iinicio + i] != static_cast<uint8_t>(pctrama_comparada[i])) return 0;
    }
    return 1;
}

uint16_t busqueda_trama(const uint8_t* pctrama_comparar, const char* pctrama_comparada, uint16_t ilongitud,
                        uint16_t iposicion_inicial) {
    if (pctrama_comparada[0] == '\0') return 0xFFFF;   // an empty text is found nowhere
    uint16_t ccoincidentes = 0;
    bool completa = false;
    uint16_t i = iposicion_inicial;
    while (i < ilongitud) {
        if (completa) return i;
        if (pctrama_comparar[i] == static_cast<uint8_t>(pctrama_comparada[ccoincidentes])) {
            ++ccoincidentes;
            completa = pctrama_comparada[ccoincidentes] == '\0';
        } else {
            ccoincidentes = 0;
        }
        ++i;
    }
    return completa ? i : 0xFFFF;
}

uint16_t ibusqueda_dato_en_buffer_rx(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar,
                                     uint16_t iposicion_inicio, uint16_t iposicion_final) {
    // A start already at or past the end has nothing inside the range to read.
    if (iposicion_inicio >= iposicion_final) return static_cast<uint16_t>(iposicion_inicio + 1);
    uint16_t cveces = 0;   // wider than the request: 0 occurrences never matches
    uint16_t i = iposicion_inicio;
    for (;;) {
        if (pctrama[i] == cdato) {
            ++cveces;
            if (cveces == cveces_a_encontrar) return i;
        }
        ++i;
        if (i >= iposicion_final) return i;
    }
}

uint16_t ibusqueda_dato_gps(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar, uint16_t iposicion) {
    return ibusqueda_dato_en_buffer_rx(pctrama, cdato, cveces_a_encontrar, iposicion, l76lb.ibytes_rx);
}

int32_t conversor_a_diezmilesimas(uint32_t lgrados, uint32_t lminutos, uint32_t ldiez_milesimas_minutos,
                                  uint8_t cdireccion) {
    const uint32_t lvalor = lgrados * 600000u + lminutos * 10000u + ldiez_milesimas_minutos;
    const bool negativo = cdireccion == 'S' || cdireccion == 'W';
    return static_cast<int32_t>(negativo ? 0u - lvalor : lvalor);
}

// =================================================== receiver control ====

static const uint8_t kPasoUnSegundo = 10;   // cdelay counts 100 ms steps

void inicializacion_l76lb() {
    l76lb.cinicio = 1;
    l76lb.cqgps = 99;
    l76lb.iminutos_sin_cobertura_gps = 180;
    l76lb.cconfigurado = 0;
    l76lb.cmodo = 0;
    l76lb.ctimeout_entre_bytes_rx = 0;
    l76lb.cdebug = 0;
    l76lb.calarma = 0;
    l76lb.csatelites = 0;
    l76lb.cgrados_latitud = 0;
    l76lb.cminutos_latitud = 0;
    l76lb.idiez_milesimas_minutos_latitud = 0;
    l76lb.cnorte_sur = 0;
    l76lb.cgrados_longitud = 0;
    l76lb.cminutos_longitud = 0;
    l76lb.idiez_milesimas_minutos_longitud = 0;
    l76lb.ceste_oeste = 0;
    l76lb.cposicion_gps = 0;
    l76lb.cmuestra_valida_rumbo = 0;
    l76lb.cmuestra_valida_speed = 0;
    l76lb.cminutos_restantes_actualizacion_fecha = 0;
    l76lb.cdia_zda = 0;
    l76lb.cmes_zda = 0;
    l76lb.cano_zda = 0;
    l76lb.chora_zda = 0;
    l76lb.cminuto_zda = 0;
    l76lb.csegundo_zda = 0;
    l76lb.ibytes_rx = 0;
    l76lb.iporcentaje_latitud = 0;
    l76lb.imetros = 0;
    l76lb.ldiezmilesimas_latitud = 0;
    l76lb.ldiezmilesimas_longitud = 0;
    l76lb.lsumas_latitud = 0;
    l76lb.lsumas_longitud = 0;
    l76lb.cdelay = 0;
}

void envio_trama_nmea_configuracion_a_gps() {
    const char* ptrama = l76lb.cconfigurado == 2 ? m_trama_configuracion_gps : m_trama_enable_sbass;
    if (l76lb.cdebug != 0) {
        Serial0.print("Tx GPS => ");
        Serial0.println(ptrama);
    }
    for (const char* p = ptrama; *p != '\0'; ++p) Serial1.write(static_cast<uint8_t>(*p));
    Serial1.write(static_cast<uint8_t>(13));
    Serial1.write(static_cast<uint8_t>(10));
}

void configuracion_frames_gps() {
    switch (l76lb.cconfigurado) {
        case 0:
            if (l76lb.cdebug != 0) Serial0.println("Arrancamos modulo GPS");
            Serial1.begin(9600);
            digitalWrite(PIN_POWER_GPS, HIGH);
            Serial1.flush();
            l76lb.cconfigurado = 2;
            l76lb.cdelay = kPasoUnSegundo;   // the module needs a moment to boot
            break;
        case 2:
            if (l76lb.cdebug != 0) {
                linea();
                Serial0.println("Configuramos modulo GPS");
            }
            envio_trama_nmea_configuracion_a_gps();
            l76lb.cdelay = kPasoUnSegundo;   // repeated until acknowledged
            break;
        case 3:
            envio_trama_nmea_configuracion_a_gps();
            l76lb.cdelay = kPasoUnSegundo;
            break;
        case 4:
            if (l76lb.cdebug != 0) {
                linea();
                Serial0.println("Apagamos modulo GPS => Posicion a traves AIS");
            }
            digitalWrite(PIN_POWER_GPS, LOW);
            Serial1.flush();
            Serial1.end();
            l76lb.cmodo = 0;
            l76lb.cconfigurado = 0;
            break;
        default:   // 1: configured, nothing to send
            break;
    }
}

// ================================================= sentence processing ====

static const uint8_t kLf = 10;
static const uint8_t kCr = 13;
static const uint8_t kSilencioMs = 20;   // a burst ends after this long without a byte
static const uint32_t kRafagaMaximaMs = 1000;   // and at the latest after this long
static const uint8_t kQgpsDesconocida = 99;
static const uint16_t kMinutosCobertura = 180;
static const uint8_t kMuestrasSpeed = 5;
static const uint8_t kMuestrasRumbo = 3;

namespace {
// What one burst decoded; nothing of it survives the call.
struct stmuestra_gps {
    uint8_t cgrados_latitud;
    uint8_t cminutos_latitud;
    uint16_t idiez_milesimas_latitud;
    uint8_t cnorte_sur;
    uint8_t cgrados_longitud;
    uint8_t cminutos_longitud;
    uint16_t idiez_milesimas_longitud;
    uint8_t ceste_oeste;
    uint8_t cfix;
    float fspeed;
    float frumbo;
    uint8_t cchecksum;
    uint8_t cposicion;   // a GGA carried a usable position
    uint8_t cvtg;        // a VTG was decoded
};
}  // namespace

// Shows bytes [desde, hasta) with CR as 'd' and LF as 'a'.
static void muestra_bytes(uint16_t desde, uint16_t hasta) {
    for (uint16_t i = desde; i < hasta; ++i) {
        const uint8_t c = l76lb.cframe_rx[i];
        Serial0.write(c == kCr ? static_cast<uint8_t>('d') : c == kLf ? static_cast<uint8_t>('a') : c);
    }
}

// One past the last readable byte of a sentence: its line feed included, or
// the end of the burst when it has none.
static uint16_t limite_trama(uint16_t ifin) {
    return ifin < l76lb.ibytes_rx ? static_cast<uint16_t>(ifin + 1) : l76lb.ibytes_rx;
}

// comparacion() only where the whole text fits before the sentence's limit,
// so a short tail of the buffer is never compared past its end.
static bool empieza_con(uint16_t iposicion, uint16_t ilimite, const char* ptexto) {
    const size_t n = strlen(ptexto);
    if (iposicion > ilimite || static_cast<size_t>(ilimite - iposicion) < n) return false;
    return comparacion(iposicion, l76lb.cframe_rx, ptexto, 0) == 1;
}

static bool checksum_valido(uint16_t iinicio, uint16_t ifin, stmuestra_gps& m) {
    if (comprobacion_checksum_nmea(l76lb.cframe_rx, iinicio, ifin, &m.cchecksum) == 1) return true;
    if (l76lb.cdebug == 2) {
        Serial0.print("Checksum calculated wrong => ");
        if (m.cchecksum < 0x10) Serial0.print('0');
        Serial0.println(m.cchecksum, HEX);
    }
    return false;
}

// HDOP x 10, truncated; 99 at or above 9.9, and for nonsense.
static uint8_t calidad_hdop(float fhdop) {
    const float f = fhdop * 10.0f;
    if (!(f >= 0.0f) || f >= static_cast<float>(kQgpsDesconocida)) return kQgpsDesconocida;
    return static_cast<uint8_t>(f);
}

// A coordinate and its hemisphere: "4807.038000,N" (2 digits of degrees) or
// "01131.000000,E" (3). The minute's fraction is scaled to ten-thousandths
// from however many decimals the receiver sends: its first four digits,
// padded with zeros. An empty, short or malformed field is no position.
static bool lectura_coordenada(uint8_t ccampo, uint8_t ccifras_grados, uint16_t iinicio, uint16_t ifin,
                               uint8_t* pcgrados, uint8_t* pcminutos, uint16_t* pidiez, uint8_t* pchemisferio) {
    const uint8_t* p = l76lb.cframe_rx;
    uint16_t s;
    uint8_t n;
    uint16_t sh;
    uint8_t nh;
    if (delimitacion_campo(ccampo, p, iinicio, ifin, &s, &n) == 0) return false;
    if (delimitacion_campo(static_cast<uint8_t>(ccampo + 1), p, iinicio, ifin, &sh, &nh) == 0) return false;
    const uint8_t centeros = static_cast<uint8_t>(ccifras_grados + 2);
    if (n < centeros) return false;
    if (n > centeros && p[s + centeros] != '.') return false;
    const uint8_t cdecimales = n > centeros + 1 ? static_cast<uint8_t>(n - centeros - 1) : 0;
    const uint8_t ctomadas = cdecimales < 4 ? cdecimales : 4;
    // The digits read must be digits, the hemisphere one letter of its pair
    // ("N"/"S" for latitude, "E"/"W" for longitude): the unit broadcasts it.
    for (uint8_t i = 0; i < centeros + 1 + ctomadas; ++i) {
        if (i != centeros && (p[s + i] < '0' || p[s + i] > '9')) return false;
    }
    const uint8_t chemisferio = p[sh];
    const bool latitud = ccifras_grados == 2;
    if (nh != 1 || (latitud ? chemisferio != 'N' && chemisferio != 'S' : chemisferio != 'E' && chemisferio != 'W')) {
        return false;
    }
    uint32_t ldiez = ctomadas != 0 ? conversion_ascii_decimal(static_cast<uint16_t>(s + centeros + 1), ctomadas, p) : 0;
    ldiez *= lvalores_decimales[4 - ctomadas];
    const uint32_t lgrados = conversion_ascii_decimal(s, ccifras_grados, p);
    const uint32_t lminutos = conversion_ascii_decimal(static_cast<uint16_t>(s + ccifras_grados), 2, p);
    // On Earth: up to 90 degrees of latitude, 180 of longitude.
    const uint32_t lmaximo = latitud ? 90u : 180u;
    if (lminutos > 59 || lgrados > lmaximo || (lgrados == lmaximo && (lminutos != 0 || ldiez != 0))) return false;
    *pcgrados = static_cast<uint8_t>(lgrados);
    *pcminutos = static_cast<uint8_t>(lminutos);
    *pidiez = static_cast<uint16_t>(ldiez);
    *pchemisferio = chemisferio;
    return true;
}

// $GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47
static void trama_gga(uint16_t iinicio, uint16_t ifin, stmuestra_gps& m) {
    const uint8_t* p = l76lb.cframe_rx;
    uint32_t ldato;
    if (extraccion_dato_nmea(7, p, iinicio, ifin, &ldato) == 1) l76lb.csatelites = static_cast<uint8_t>(ldato);
    float fhdop;
    l76lb.cqgps = extraccion_dato_nmea_float(8, p, iinicio, ifin, &fhdop) == 1 ? calidad_hdop(fhdop) : kQgpsDesconocida;

    // The latest GGA decides: without a position it leaves none behind.
    const bool posicion = lectura_coordenada(2, 2, iinicio, ifin, &m.cgrados_latitud, &m.cminutos_latitud,
                                             &m.idiez_milesimas_latitud, &m.cnorte_sur) &&
                          lectura_coordenada(4, 3, iinicio, ifin, &m.cgrados_longitud, &m.cminutos_longitud,
                                             &m.idiez_milesimas_longitud, &m.ceste_oeste);
    m.cposicion = posicion ? 1 : 0;
    if (!posicion) {
        m.cgrados_latitud = 0;
        m.cminutos_latitud = 0;
        m.idiez_milesimas_latitud = 0;
        m.cnorte_sur = 0;
        m.cgrados_longitud = 0;
        m.cminutos_longitud = 0;
        m.idiez_milesimas_longitud = 0;
        m.ceste_oeste = 0;
    }

    if (extraccion_dato_nmea(6, p, iinicio, ifin, &ldato) == 1) m.cfix = static_cast<uint8_t>(ldato);
}

// $GPVTG,054.7,T,034.4,M,005.5,N,010.2,K,A*25
static void trama_vtg(uint16_t iinicio, uint16_t ifin, stmuestra_gps& m) {
    const uint8_t* p = l76lb.cframe_rx;
    m.cvtg = 1;
    uint16_t s;
    uint8_t n;
    // A VTG without its mode field (before NMEA 2.3) counts as not valid.
    const bool valido = delimitacion_campo(9, p, iinicio, ifin, &s, &n) == 1 && (p[s] == 'A' || p[s] == 'D');
    if (!valido) {
        m.fspeed = 0.0f;
        return;
    }
    float f;
    if (extraccion_dato_nmea_float(1, p, iinicio, ifin, &f) == 1) m.frumbo = f;
    if (extraccion_dato_nmea_float(5, p, iinicio, ifin, &f) == 1) m.fspeed = f;
}

static uint8_t dos_cifras(uint16_t iposicion) {
    return static_cast<uint8_t>(conversion_ascii_decimal(iposicion, 2, l76lb.cframe_rx));
}

// $GPZDA,201530.00,04,07,2002,00,00*60
static void trama_zda(uint16_t iinicio, uint16_t ifin) {
    const uint8_t* p = l76lb.cframe_rx;
    uint16_t s;
    uint8_t n;
    bool hora_valida = false;
    if (delimitacion_campo(1, p, iinicio, ifin, &s, &n) == 1 && n >= 6) {
        l76lb.chora_zda = dos_cifras(s);
        l76lb.cminuto_zda = dos_cifras(static_cast<uint16_t>(s + 2));
        l76lb.csegundo_zda = dos_cifras(static_cast<uint16_t>(s + 4));
        hora_valida = l76lb.chora_zda <= 23 && l76lb.cminuto_zda <= 59 && l76lb.csegundo_zda <= 59;
    }

    uint32_t ldia;
    uint32_t lmes;
    uint32_t lano;
    if (extraccion_dato_nmea(2, p, iinicio, ifin, &ldia) == 1 &&
        extraccion_dato_nmea(3, p, iinicio, ifin, &lmes) == 1 &&
        extraccion_dato_nmea(4, p, iinicio, ifin, &lano) == 1) {
        l76lb.cdia_zda = static_cast<uint8_t>(ldia);
        l76lb.cmes_zda = static_cast<uint8_t>(lmes);
        l76lb.cano_zda = static_cast<uint8_t>(lano % 100u);
    } else {
        l76lb.cdia_zda = 0;
        l76lb.cmes_zda = 0;
        l76lb.cano_zda = 0;
        return;
    }

    // The clock takes years 2020..2099 only; a receiver that lost its week
    // number reports 1999 or 1980, which must not reach it. A date without a
    // readable time is no use for the clock either.
    const bool fecha_valida = lmes >= 1 && lmes <= 12 && ldia >= 1 && ldia <= m_meses_bisiesto[lmes - 1] &&
                              lano >= 2020 && lano <= 2099 && hora_valida;
    if (!fecha_valida) {
        l76lb.cdia_zda = 0;
        l76lb.cmes_zda = 0;
        l76lb.cano_zda = 0;
    }
}

// $PMTK001,314,3*36: command 314 acknowledged (the status is not looked at).
static void trama_ack(uint16_t iinicio, uint16_t ifin) {
    uint32_t lcomando;
    if (extraccion_dato_nmea(1, l76lb.cframe_rx, iinicio, ifin, &lcomando) == 0) return;
    if (l76lb.cconfigurado == 2 && lcomando == 314) {
        l76lb.cconfigurado = 3;
    } else if (l76lb.cconfigurado == 3 && lcomando == 313) {
        l76lb.cconfigurado = 1;
        if (balizaQ77.ctest == 1 && test.test_gps_activo != 0) Serial0.println("GPS=> CONFIGURACION OK");
    }
    l76lb.cdelay = 0;   // the next command, if any, goes out on the next pass
}

// A configured module sending something else has lost its output selection
// (it restarted): configure it again a second later.
static void trama_no_deseada(uint16_t iinicio, uint16_t ifin, stmuestra_gps& m) {
    if (l76lb.cconfigurado != 1) return;
    if (comprobacion_checksum_nmea(l76lb.cframe_rx, iinicio, ifin, &m.cchecksum) == 0) return;
    if (l76lb.cdebug == 2) {
        linea();
        Serial0.print("Frame not processed: ");
        muestra_bytes(iinicio, limite_trama(ifin));
        linea();
    }
    l76lb.cconfigurado = 2;
    l76lb.cdelay = kPasoUnSegundo;
}

static void trama(uint16_t iinicio, uint16_t ifin, stmuestra_gps& m) {
    const uint16_t ilimite = limite_trama(ifin);
    const uint16_t idireccion = static_cast<uint16_t>(iinicio + 3);   // "$GP" or "$GN" before the type
    if (empieza_con(idireccion, ilimite, "GGA")) {
        if (checksum_valido(iinicio, ifin, m)) trama_gga(iinicio, ifin, m);
    } else if (empieza_con(idireccion, ilimite, "VTG")) {
        if (checksum_valido(iinicio, ifin, m)) trama_vtg(iinicio, ifin, m);
    } else if (empieza_con(idireccion, ilimite, "ZDA")) {
        if (checksum_valido(iinicio, ifin, m)) trama_zda(iinicio, ifin);
    } else if (empieza_con(iinicio, ilimite, m_trama_respuesta_ack)) {
        if (checksum_valido(iinicio, ifin, m)) trama_ack(iinicio, ifin);
    } else if (empieza_con(iinicio, ilimite, m_trama_respuesta_configuracion)) {
        // the module's other messages (its start-up text) mean nothing here
    } else {
        trama_no_deseada(iinicio, ifin, m);
    }
}

// Reads one burst into cframe_rx. It ends at the first 20 ms of silence, or
// when the buffer is full, or after about a second: a receiver that sends
// back to back must not hold the main loop. What is left on the line is read
// on the next pass. The wait kicks the watchdog.
static void recepcion_rafaga() {
    l76lb.ibytes_rx = 0;
    const uint32_t linicio = millis();
    do {
        sodaq_wdt_reset();
        while (l76lb.ibytes_rx < sizeof l76lb.cframe_rx && Serial1.available() > 0) {
            const int c = Serial1.read();
            if (c < 0) break;
            l76lb.cframe_rx[l76lb.ibytes_rx] = static_cast<uint8_t>(c);
            ++l76lb.ibytes_rx;
            l76lb.ctimeout_entre_bytes_rx = kSilencioMs;
        }
        if (l76lb.ibytes_rx >= sizeof l76lb.cframe_rx) break;
    } while (l76lb.ctimeout_entre_bytes_rx != 0 && millis() - linicio < kRafagaMaximaMs);
}

static void calidad_en_consola() {
    transmito_variable(l76lb.cqgps / 10u, 1, '.');
    transmito_variable(l76lb.cqgps % 10u, 1, 0);
}

static void latitud_en_consola(const stmuestra_gps& m) {
    transmito_coordenada(m.cgrados_latitud, 2, m.cminutos_latitud, m.idiez_milesimas_latitud, m.cnorte_sur);
}

static void longitud_en_consola(const stmuestra_gps& m) {
    transmito_coordenada(m.cgrados_longitud, 3, m.cminutos_longitud, m.idiez_milesimas_longitud, m.ceste_oeste);
}

static bool fecha_gps_nula() { return l76lb.cdia_zda == 0 && l76lb.cmes_zda == 0 && l76lb.cano_zda == 0; }

static uint8_t escritura_fecha_gps() {
    const uint8_t cdia_semana = calculo_dia_semana(l76lb.cano_zda, l76lb.cmes_zda, l76lb.cdia_zda);
    return escritura_fecha(l76lb.cdia_zda, l76lb.cmes_zda, l76lb.cano_zda, cdia_semana, l76lb.chora_zda,
                           l76lb.cminuto_zda, l76lb.csegundo_zda, 1);
}

// dd/mm/yy, the separator, hh:mm:ss of the last ZDA.
static void fecha_gps_en_consola(uint8_t separador) {
    transmito_variable(l76lb.cdia_zda, 2, '/');
    transmito_variable(l76lb.cmes_zda, 2, '/');
    transmito_variable(l76lb.cano_zda, 2, separador);
    transmito_variable(l76lb.chora_zda, 2, ':');
    transmito_variable(l76lb.cminuto_zda, 2, ':');
    transmito_variable(l76lb.csegundo_zda, 2, 0);
}

static void informe(const stmuestra_gps& m) {
    if (balizaQ77.ctest == 1 && test.test_gps_activo != 0) {
        linea();
        Serial0.print("Fecha UTC:");
        fecha_gps_en_consola('_');
        Serial0.print(" Sat:");
        Serial0.print(l76lb.csatelites);
        Serial0.print(" QGPS:");
        calidad_en_consola();
        Serial0.print('/');
        calidad_en_consola();
        Serial0.print('/');
        calidad_en_consola();
        Serial0.print("  Lat:");
        latitud_en_consola(m);
        Serial0.print(" Long:");
        longitud_en_consola(m);
        linea();
        // Test mode shows the GPS time on the clock at once; a zero date would
        // only be refused by the clock's own check.
        if (l76lb.csatelites != 0 && !fecha_gps_nula()) {
            escritura_fecha_gps();
            lectura_fecha();
        }
    } else if (l76lb.cdebug != 0) {
        linea();
        Serial0.print("Date UTC:");
        fecha_gps_en_consola(' ');
        Serial0.print(" Sat:");
        Serial0.print(l76lb.csatelites);
        Serial0.print(" QGPS:");
        calidad_en_consola();
        Serial0.print(' ');
        Serial0.print("Fix:");
        Serial0.print(m.cfix);
        Serial0.print(" Lat ");
        latitud_en_consola(m);
        Serial0.print(" Long ");
        longitud_en_consola(m);
        Serial0.print(" Speed (knots):");
        Serial0.print(static_cast<double>(m.fspeed), 2);
        Serial0.print(" Course:");
        Serial0.print(static_cast<double>(m.frumbo), 2);
        linea();
    }
}

// Newest sample at index 0; once `ccapacidad` are held the oldest falls out.
static void nueva_muestra(float* pfmuestras, uint8_t* pccuenta, uint8_t ccapacidad, float fvalor) {
    const uint8_t n = *pccuenta < ccapacidad ? static_cast<uint8_t>(*pccuenta + 1) : ccapacidad;
    *pccuenta = n;
    for (uint8_t i = static_cast<uint8_t>(n - 1); i >= 1; --i) pfmuestras[i] = pfmuestras[i - 1];
    pfmuestras[0] = fvalor;
}

static void actualizacion(const stmuestra_gps& m) {
    const bool valida =
        l76lb.csatelites >= configuracion_gps.csatelites_minimos && l76lb.cqgps <= configuracion_gps.ccalidad_minima;
    if (!valida) {
        l76lb.cmuestra_valida_rumbo = 0;
        l76lb.cmuestra_valida_speed = 0;
        return;
    }

    l76lb.iminutos_sin_cobertura_gps = kMinutosCobertura;
    if (l76lb.calarma == 1) disable_alarma(6);

    // A burst without VTG has no sample to add.
    if (m.cvtg == 1) {
        nueva_muestra(l76lb.fspeed_gps_knots, &l76lb.cmuestra_valida_speed, kMuestrasSpeed, m.fspeed);
        nueva_muestra(l76lb.frumbo_gps, &l76lb.cmuestra_valida_rumbo, kMuestrasRumbo, m.frumbo);
    }

    if (m.cposicion == 1) {
        l76lb.cgrados_longitud = m.cgrados_longitud;
        l76lb.cminutos_longitud = m.cminutos_longitud;
        l76lb.idiez_milesimas_minutos_longitud = m.idiez_milesimas_longitud;
        l76lb.ceste_oeste = m.ceste_oeste;
        l76lb.cgrados_latitud = m.cgrados_latitud;
        l76lb.cminutos_latitud = m.cminutos_latitud;
        l76lb.idiez_milesimas_minutos_latitud = m.idiez_milesimas_latitud;
        l76lb.cnorte_sur = m.cnorte_sur;
        l76lb.cfix_status = m.cfix;
        l76lb.cposicion_gps = 1;   // a valid position since start-up
    }

    // Without a GPS date the counter stays at 0, so the next dated burst tries.
    if (l76lb.cminutos_restantes_actualizacion_fecha == 0 && !fecha_gps_nula()) {
        escritura_fecha_gps();
        l76lb.cminutos_restantes_actualizacion_fecha = configuracion_gps.cminutos_actualizacion_fecha;
        Serial0.println("Escrita nueva fecha");
        balizaQ77.csincronizada = 1;
    }
}

void procesamos_gps() {
    if (Serial1.available() <= 0) return;
    recepcion_rafaga();

    if (l76lb.cdebug == 2) {
        linea();
        Serial0.print("GPS rx (");
        Serial0.print(l76lb.ibytes_rx);
        Serial0.print(") => ");
        muestra_bytes(0, l76lb.ibytes_rx);
        linea();
    }
    if (l76lb.ibytes_rx == 0) return;

    stmuestra_gps m = {};
    uint16_t iinicio = 0;
    while (iinicio < l76lb.ibytes_rx) {
        const uint16_t ifin = ibusqueda_dato_gps(l76lb.cframe_rx, kLf, 1, iinicio);
        if (l76lb.cdebug == 2) {
            linea();
            Serial0.print("Processing: ");
            muestra_bytes(iinicio, limite_trama(ifin));
            linea();
        }
        trama(iinicio, ifin, m);
        iinicio = static_cast<uint16_t>(ifin + 1);
    }

    informe(m);
    actualizacion(m);
}
