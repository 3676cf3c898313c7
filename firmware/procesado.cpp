#include "procesado.h"

#include <Arduino.h>

#include <cstring>

#include "M95512.h"
#include "Sodaq_wdt.h"
#include "globals.h"
#include "tools.h"

static_assert(sizeof(float) == 4, "floats are stored as IEEE 754 singles");

namespace {

constexpr uint16_t kMaxLectura = 128;
constexpr uint16_t kMaxVerificada = sizeof(vArray);
constexpr uint16_t kMaxCopia = 128;

// Always shown, not only with debug on: a missing EEPROM must be visible.
void aviso_eeprom_no_responde() { Serial0.println("ERROR EEPROM: no responde"); }

// "texto" followed by a non-negative value with two decimals, as one Debug line.
void debug_float2(const char* texto, float valor) {
    char linea_txt[64];
    if (!(valor >= 0.0f)) valor = 0.0f;       // also NaN
    if (valor > 4.0e7f) valor = 4.0e7f;       // keeps the hundredths within 32 bits
    const uint32_t centesimas = static_cast<uint32_t>(valor * 100.0f + 0.5f);
    // Room left for the point and two decimals.
    uint8_t n = unir_texto_numero(linea_txt, sizeof(linea_txt) - 4, texto, centesimas / 100u);
    linea_txt[n++] = '.';
    linea_txt[n++] = static_cast<char>('0' + (centesimas / 10u) % 10u);
    linea_txt[n++] = static_cast<char>('0' + centesimas % 10u);
    linea_txt[n] = '\0';
    Debug(linea_txt);
}

// Stages one chunk (at most one page) in vArray, since the driver overwrites
// its buffer; returns 1 when the driver found the EEPROM answering.
uint8_t grabar_trozo(uint32_t nAddress, const uint8_t* origen, uint8_t longitud) {
    if (longitud != 0) std::memmove(vArray, origen, longitud);   // the source may be vArray itself
    E2PROM_SPI.EepromWrite(static_cast<uint16_t>(nAddress), longitud, vArray);
    return E2PROM_SPI.fallo() == 0 ? 1 : 0;
}

uint16_t be16(const uint8_t* v, uint8_t pos) {
    return static_cast<uint16_t>((static_cast<uint16_t>(v[pos]) << 8) | v[pos + 1]);
}

uint32_t le24(const uint8_t* v, uint8_t pos) {
    return static_cast<uint32_t>(v[pos]) | (static_cast<uint32_t>(v[pos + 1]) << 8) |
           (static_cast<uint32_t>(v[pos + 2]) << 16);
}

uint32_t le32(const uint8_t* v, uint8_t pos) {
    return le24(v, pos) | (static_cast<uint32_t>(v[pos + 3]) << 24);
}

}  // namespace

// ------------------------------------------------------- memory access ----

uint8_t lectura_memoria(uint32_t nAddress, uint8_t inBytes, uint8_t* bufferOut) {
    if (inBytes > kMaxLectura) {
        Debug_dato("Error de lectura de memoria. Len=", inBytes);
        return 0;
    }
    E2PROM_SPI.EepromRead(static_cast<uint16_t>(nAddress), inBytes, bufferOut);
    if (E2PROM_SPI.fallo() != 0) {
        aviso_eeprom_no_responde();
        return 0;
    }
    return 1;
}

uint8_t escritura_memoria(uint32_t nAddress, uint16_t iNbBytes, const uint8_t* bufferIn, uint8_t VerificarEscritura) {
    // The read-back goes through vArray: longer verified writes cannot be checked.
    if (VerificarEscritura == 1 && iNbBytes > kMaxVerificada) {
        Debug_dato("Escritura verificada rechazada, mayor que el buffer. Len=", iNbBytes);
        return 0;
    }

    uint8_t responde = 1;
    const uint32_t desplazamiento = nAddress % kEepromPagina;
    if (desplazamiento + iNbBytes <= kEepromPagina) {
        Debug("Grabacion dentro de pagina.");
        responde &= grabar_trozo(nAddress, bufferIn, static_cast<uint8_t>(iNbBytes));
    } else {
        // 16-bit counts throughout: a 64 KiB request has 511 whole pages.
        const uint16_t LongInicial = static_cast<uint16_t>(kEepromPagina - desplazamiento);
        Debug_dato("LongInicial=", LongInicial);
        responde &= grabar_trozo(nAddress, bufferIn, static_cast<uint8_t>(LongInicial));

        const uint16_t resto_total = static_cast<uint16_t>(iNbBytes - LongInicial);
        const uint16_t cont = static_cast<uint16_t>(resto_total / kEepromPagina);
        const uint16_t resto = static_cast<uint16_t>(resto_total % kEepromPagina);
        Debug_dato("cont=", cont);
        Debug_dato("resto=", resto);

        uint32_t offset = LongInicial;
        for (uint16_t k = 0; k < cont; ++k) {
            responde &= grabar_trozo(nAddress + offset, bufferIn + offset, static_cast<uint8_t>(kEepromPagina));
            offset += kEepromPagina;
        }
        if (resto != 0) responde &= grabar_trozo(nAddress + offset, bufferIn + offset, static_cast<uint8_t>(resto));
    }

    if (responde == 0) {
        aviso_eeprom_no_responde();
        if (VerificarEscritura == 1) return 0;
        return 1;   // unverified writes report nothing to their callers
    }
    if (VerificarEscritura == 1) return verficar_escritura_memoria(nAddress, iNbBytes, bufferIn);
    return 1;
}

uint8_t verficar_escritura_memoria(uint32_t nAddress, uint16_t iNbBytes, const uint8_t* bufferIn) {
    if (iNbBytes > kMaxVerificada) {
        Debug_dato("Verificacion rechazada, mayor que el buffer. Len=", iNbBytes);
        return 0;
    }
    const uint32_t inicio = millis();
    E2PROM_SPI.EepromRead(static_cast<uint16_t>(nAddress), iNbBytes, vArray);
    if (E2PROM_SPI.fallo() != 0) {
        aviso_eeprom_no_responde();
        return 0;
    }
    float suma = 0.0f;
    for (uint16_t i = 0; i < iNbBytes; ++i) {
        const int diferencia = static_cast<int>(vArray[i]) - static_cast<int>(bufferIn[i]);
        suma += static_cast<float>(diferencia < 0 ? -diferencia : diferencia);
    }
    const uint32_t fin = millis();
    debug_float2("Comparativa Vectores = ", suma);
    Debug_dato("MillisDif = ", fin - inicio);
    return suma == 0.0f ? 1 : 0;
}

void InicializarMemoria() {
    Debug("INICIO INICIALIZAR MEMORIA A 255");
    std::memset(vMemo, 0xFF, kEepromPagina);
    escritura_memoria(kDirConfiguracion, kEepromPagina, vMemo, 0);
    Debug("FIN INICIALIZAR MEMORIA");
}

// 32 page writes can outlast the watchdog period: kick it before each.
void Inicializar_ZonaLog() {
    Debug("INICIO INICIALIZAR MEMORIA LOG A 0");
    std::memset(vMemo, 0, kEepromPagina);
    for (uint32_t a = kDirLog; a < kFinLog; a += kEepromPagina) {
        sodaq_wdt_reset();
        escritura_memoria(a, kEepromPagina, vMemo, 0);
        // No answer: the remaining pages would each wait out the poll in vain.
        if (E2PROM_SPI.fallo() != 0) break;
    }
    Debug("FIN INICIALIZAR MEMORIA LOG");
}

// ------------------------------------------------- configuration loader ----

// Byte by byte with the stored byte orders (16-bit BE; 24/32-bit and floats
// LE), so the layout never depends on the compiler's struct packing.
uint8_t cargar_estructuras_configuracion_orv() {
    uint8_t resultado = lectura_memoria(kDirConfiguracion, kLongConfiguracion, vArray);
    if (resultado == 0) {
        // Decode what an erased area holds, whatever the bus returned: NaN
        // thresholds and inactive inputs make the unit take no action.
        std::memset(vArray, 0xFF, kLongConfiguracion);
    }
    const uint8_t* v = vArray;

    configuracion_ais.ctype_ship_and_cargo_msg19 = v[0] > 100 ? 0 : v[0];
    const uint16_t bow = be16(v, 1);
    configuracion_ais.idimension_to_bow_msg19 = bow > 511 ? 0 : bow;
    const uint16_t stern = be16(v, 3);
    configuracion_ais.idimension_to_stern_msg19 = stern > 511 ? 0 : stern;
    configuracion_ais.cdimension_to_port_msg19 = v[5] > 63 ? 0 : v[5];
    configuracion_ais.cdimension_to_startboard_msg19 = v[6] > 63 ? 0 : v[6];
    Extraer_Cadena(v, 7, sizeof(configuracion_ais.cnombre_msg19), configuracion_ais.cnombre_msg19);
    Extraer_Cadena(v, 27, sizeof(configuracion_ais.ccall_sing_msg24), configuracion_ais.ccall_sing_msg24);

    for (uint8_t i = 0; i < 3; ++i) {
        const uint8_t base = static_cast<uint8_t>(34 + 4 * i);
        configuracion_external_inputs.ctipo[i] = v[base];
        configuracion_external_inputs.cestado_en_reposo[i] = v[base + 1];
        configuracion_external_inputs.itemporizacion[i] = be16(v, static_cast<uint8_t>(base + 2));
    }

    // 0 and everything from 1000000000 up wrap past 999999998 when less one.
    const uint32_t mmsi = le32(v, 46);
    configuracion_ais.lmmsi = (mmsi - 1u) <= 999999998u ? mmsi : 1u;

    Extraer_Cadena(v, 60, sizeof(configuracion_ais.cid_vendor_msg24), configuracion_ais.cid_vendor_msg24);
    configuracion_ais.cmodel_code_msg24 = v[63] > 15 ? 0 : v[63];
    const uint32_t serie = le24(v, 64);
    configuracion_ais.lserial_number_msg24 = serie > 1048575u ? 0 : serie;

    configuracion_power.ftension_alarma_bateria_off = Extraer_Float(v, 67);
    configuracion_power.ftension_alarma_bateria_baja = Extraer_Float(v, 71);
    configuracion_power.ftension_disable_panel_solar = Extraer_Float(v, 75);
    configuracion_power.ftension_enable_panel_solar = Extraer_Float(v, 79);

    configuracion_gps.csatelites_minimos = v[83];
    configuracion_gps.ccalidad_minima = v[84];
    configuracion_gps.cminutos_actualizacion_fecha = v[85];

    configuracion_ais.lcommunication_state_msg18 = le32(v, 86);
    configuracion_ais.cclass_b_unit_flag_msg18 = v[90];
    configuracion_ais.cclass_b_display_flag_msg18 = v[91];
    configuracion_ais.cclass_b_dsc_flag_msg18 = v[92];
    configuracion_ais.cclass_b_band_flag_msg18 = v[93];
    configuracion_ais.cclass_b_msg22_flag_msg18 = v[94];
    configuracion_ais.cassigned_mode_flag_msg18 = v[95];
    configuracion_ais.craim_flag_msg18 = v[96];
    configuracion_ais.ccommunication_state_selector_flag_msg18 = v[97];
    return resultado;
}

// ------------------------------------------------------------ helpers ----

void copyArray(uint8_t* bufferDst, const uint8_t* bufferSrc, uint16_t PosIni, uint8_t Longitud) {
    const uint16_t n = Longitud > kMaxCopia ? kMaxCopia : Longitud;
    if (n != 0) std::memmove(bufferDst, bufferSrc + PosIni, n);
}

void Extraer_Cadena(const uint8_t* vecSrc, uint32_t PosIni, uint8_t Longitud, uint8_t* vecDst) {
    if (Longitud != 0) std::memmove(vecDst, vecSrc + PosIni, Longitud);
}

// memcpy, not a pointer cast: no alignment or aliasing assumptions.
void BytesToFloat(const uint8_t valorIn[4], float* fOut) { std::memcpy(fOut, valorIn, sizeof(float)); }

float Extraer_Float(const uint8_t* vecSrc, uint32_t PosIni) {
    uint8_t bytes[4];
    std::memcpy(bytes, vecSrc + PosIni, sizeof(bytes));
    float f;
    BytesToFloat(bytes, &f);
    return f;
}
