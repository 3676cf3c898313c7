#include "procesado.h"

#include <Arduino.h>

#include <cstring>

#include "M95512.h"
#include "Sodaq_wdt.h"
#include "comunicaciones_pc.h"
#include "constantes.h"
#include "globals.h"
#include "mcp7940.h"
#include "periferico.h"
#include "tools.h"
#include "zelmora.h"

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

// The configuration-write mark, one byte in a cycle of its own (the driver
// waits out the cycle before). Its only "no write in progress" value is
// 0xFF: torn while being set it reads 0xFF only if no bit changed, before
// the area was touched; torn while being erased, only with the area whole.
void marca_configuracion(uint8_t valor) {
    uint8_t b = valor;   // the driver overwrites its buffer
    E2PROM_SPI.EepromWrite(static_cast<uint16_t>(kDirMarcaConfiguracion), 1, &b);
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

void escritura_memoria_pc(uint32_t nAddress, uint16_t iNbBytes, const uint8_t* bufferIn) {
    const uint32_t a = nAddress & 0xFFFFu;
    const bool marcar = iNbBytes != 0 && (a < kLongConfiguracion || a + iNbBytes > 0x10000u);
    if (marcar) marca_configuracion(0x00);
    escritura_memoria(nAddress, iNbBytes, bufferIn, 0);
    if (marcar) marca_configuracion(0xFF);
}

void InicializarMemoria() {
    Debug("INICIO INICIALIZAR MEMORIA A 255");
    std::memset(vMemo, 0xFF, kEepromPagina);
    escritura_memoria_pc(kDirConfiguracion, kEepromPagina, vMemo);
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
    const bool mmsi_en_rango = (mmsi - 1u) <= 999999998u;
    configuracion_ais.lmmsi = mmsi_en_rango ? mmsi : 1u;
    uint8_t marca = 0x00;
    if (resultado == 1) {
        E2PROM_SPI.EepromRead(static_cast<uint16_t>(kDirMarcaConfiguracion), 1, &marca);
        if (E2PROM_SPI.fallo() != 0) marca = 0x00;
        // A write of the area was cut short: its bytes may be any mix of old and new.
        else if (marca != 0xFF) Serial0.println("ERROR CONFIGURACION: escritura interrumpida");
    }
    configuracion_ais.cmmsi_fiable = resultado == 1 && marca == 0xFF && mmsi_en_rango ? 1 : 0;

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

// ------------------------------------------------------------- PC link ----

namespace {

const uint8_t kEtiqueta[4] = {'@', 'O', 'R', 'V'};
// Bytes 11 + the data + 2 of CRC must fit vSalida.
constexpr uint8_t kMaxDatosRespuesta = sizeof(vSalida) - kLongMinimaTrama;
// The memory test's pattern, written at 230..239.
const uint8_t kPatronTest[10] = {'T', 'E', 'S', 'T', ' ', 'B', 'Q', '7', '7', 0};
constexpr uint32_t kDirPatronTest = 230;

void respuesta(uint8_t Comando, uint8_t Subcomando, uint32_t PosIni, uint8_t Resultado, uint8_t Tipo_Uart) {
    enviar_respuesta_pc(Comando, Subcomando, PosIni, Resultado, nullptr, 0, Tipo_Uart);
}

void monitores_test_apagados() {
    test.test_gps_activo = 0;
    test.test_bateria_activo = 0;
    test.test_corriente_panel_activo = 0;
    test.test_minidips_activo = 0;
}

void inicio_modo_test_pc() {
    balizaQ77.ctest = 1;
    monitores_test_apagados();
    balizaQ77.cmppt = 0;
    digitalWrite(PIN_POWER_AIS, HIGH);
    digitalWrite(PIN_POWER_GPS, LOW);
    l76lb.cconfigurado = 0;
    l76lb.cmodo = 0;
    digitalWrite(PIN_ENABLE_CORRIENTE_PANEL, LOW);
    digitalWrite(PIN_ENABLE_BATERIA, LOW);
}

// Command 1: the data bytes to the EEPROM, unverified. A count above 128, or
// above what the frame carries, would write bytes that never came in it.
void escritura_pc(const uint8_t* bufferIn, uint8_t Subcomando, uint32_t PosIni, uint8_t nDatos,
                  uint8_t datos_en_trama, uint8_t Tipo_Uart) {
    if (nDatos > kMaxDatosPc || nDatos > datos_en_trama) {
        Debug_dato("Escritura PC rechazada. Len=", nDatos);
        respuesta(1, Subcomando, PosIni, 0, Tipo_Uart);
        return;
    }
    copyArray(tramaOut, bufferIn, 11, nDatos);
    escritura_memoria_pc(PosIni, nDatos, tramaOut);
    respuesta(1, Subcomando, PosIni, 1, Tipo_Uart);
    if (Subcomando != 0) return;
    Debug("Actualizar estructuras basica.");
    cargar_estructuras_configuracion_orv();
    if (Tipo_Uart == 0) inicializacion_periferico(1);
}

void comando_memoria(uint8_t Subcomando, uint32_t PosIni, uint8_t Tipo_Uart) {
    switch (Subcomando) {
        case 0:
            respuesta(2, 0, PosIni, 1, Tipo_Uart);
            retardo_milisegundos(100);
            balizaQ77.cretardo_reset = 0;
            balizaQ77.creset = 1;   // the main loop restarts the unit
            respuesta(2, 0, PosIni, 0, Tipo_Uart);
            break;
        case 1:
            InicializarMemoria();
            respuesta(2, 1, PosIni, 1, Tipo_Uart);
            break;
        case 2:
            Inicializar_ZonaLog();
            respuesta(2, 2, PosIni, 1, Tipo_Uart);
            break;
        default:
            respuesta(2, Subcomando, PosIni, 0, Tipo_Uart);
            break;
    }
}

// Calibration: the reference value is the float in bytes 12..15, which must
// lie in the frame and not be left over from an earlier one.
uint8_t referencia_calibracion(const uint8_t* bufferIn, uint8_t datos_en_trama, float* fvalor) {
    if (datos_en_trama < 5) return 0;
    *fvalor = Extraer_Float(bufferIn, 12);
    return 1;
}

// Command 3: test mode and calibration. Sub-requests marked "no reply" in
// the command set return without answering.
void comando_test(const uint8_t* bufferIn, uint8_t Subcomando, uint32_t PosIni, uint8_t datos_en_trama,
                  uint8_t Tipo_Uart) {
    ulTUltimaTramaTestRecibida = millis();
    Debug("--> ENTRADA TRAMA TEST <<<<");
    // Without its action byte the frame's CRC would be taken for one.
    if (datos_en_trama < 1) {
        respuesta(3, Subcomando, PosIni, 0, Tipo_Uart);
        return;
    }
    const uint8_t accion = bufferIn[11];
    float fvalor = 0.0f;
    switch (Subcomando) {
        case 1:
            if (accion == 0) {
                Debug("MODO TEST OFF");
                // Outside test mode the charger is the supervision's: leave it.
                if (balizaQ77.ctest == 1) {
                    salida_modo_test();
                } else {
                    monitores_test_apagados();
                }
                respuesta(3, 1, PosIni, 1, Tipo_Uart);
            } else if (accion == 1) {
                Debug("MODO TEST ON");
                inicio_modo_test_pc();
                respuesta(3, 1, PosIni, 1, Tipo_Uart);
            } else if (accion == 3) {
                Debug("TEST ECHO");
                respuesta(3, 1, PosIni, 1, Tipo_Uart);
            } else if (accion != 4 && accion != 5) {
                respuesta(3, 1, PosIni, 0, Tipo_Uart);
            }
            break;
        case 2:
            if (accion == 0) {
                Debug("\r\nTELEMANDO ALIMENTACI\xEF\xBF\xBDN GPS OFF");
                respuesta(3, 2, PosIni, 1, Tipo_Uart);
                test.test_gps_activo = 4;
            } else if (accion == 1) {
                Debug("\r\nTELEMANDO ALIMENTACI\xEF\xBF\xBDN GPS ONTEST GPS ON");
                respuesta(3, 2, PosIni, 1, Tipo_Uart);
                test.test_gps_activo = 5;
            } else if (accion == 4) {
                Debug("\r\nTELEMANDO TEST GPS ON");
                respuesta(3, 2, PosIni, 1, Tipo_Uart);
            } else {
                respuesta(3, 2, PosIni, 0, Tipo_Uart);
            }
            break;
        case 5:
            Debug("Test minidips");
            if (accion > 1) break;
            Debug(accion == 1 ? "\r\n\tTEST DIPS ON: " : "\r\n\tTEST DIPS OFF: ", false);
            test.test_minidips_activo = accion;
            respuesta(3, 5, PosIni, 1, Tipo_Uart);
            break;
        case 6:
            Debug("Test RTC");
            if (accion != 0) break;
            Debug("\r\n\tGET DATETIME ", false);
            respuesta(3, 6, PosIni, 1, Tipo_Uart);
            lectura_fecha();
            break;
        case 10:
            Debug("Test memoria");
            if (accion != 0) break;
            respuesta(3, 10, PosIni, escritura_memoria(kDirPatronTest, sizeof(kPatronTest), kPatronTest, 1), Tipo_Uart);
            break;
        case 11:
            Debug("Test display");
            if (accion <= 1) {
                Debug(accion == 1 ? "\r\n\tBATER\xEF\xBF\xBD" "A VERBOSO ON " : "\r\n\tBATER\xEF\xBF\xBD" "A VERBOSO OFF ",
                      false);
                respuesta(3, 11, PosIni, 1, Tipo_Uart);
                test.test_bateria_activo = accion;
            } else if (accion == 2) {
                Debug("\r\n BATER\xEF\xBF\xBD" "A AJUSTE TENSI\xEF\xBF\xBDN", false);
                const uint8_t r = referencia_calibracion(bufferIn, datos_en_trama, &fvalor) == 1
                                      ? ajuste_tension_bateria(fvalor)
                                      : 0;
                respuesta(3, 11, PosIni, r, Tipo_Uart);
            }
            break;
        case 13:
            if (accion <= 1) {
                Debug(accion == 1 ? "\r\n TEST CORRIENTE PANEL VERBOSO ON" : "\r\n TEST CORRIENTE PANEL VERBOSO OFF");
                respuesta(3, 13, PosIni, 1, Tipo_Uart);
                // The charger runs while the panel current is watched; only
                // test mode hands the charger to the PC.
                test.test_corriente_panel_activo = accion;
                if (balizaQ77.ctest == 1) balizaQ77.cmppt = accion;
            } else if (accion == 2) {
                Debug("\r\n AJUSTE CORRIENTE PANEL", false);
                const uint8_t r = referencia_calibracion(bufferIn, datos_en_trama, &fvalor) == 1
                                      ? ajuste_corriente_panel_solar(fvalor)
                                      : 0;
                respuesta(3, 13, PosIni, r, Tipo_Uart);
            }
            break;
        default:
            break;   // no reply
    }
}

}  // namespace

void salida_modo_test() {
    balizaQ77.ctest = 0;
    monitores_test_apagados();
    balizaQ77.cmppt = 1;   // the charger on again
}

uint16_t calculo_crc16(const uint8_t* pframe, uint16_t ilongitud) {
    uint16_t crc = 0xFFFF;
    for (uint16_t i = 0; i < ilongitud; ++i) {
        crc ^= pframe[i];
        for (uint8_t bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

uint8_t verificar_trama(const uint8_t* bufferIn, uint8_t Longitud) {
    if (Longitud < kLongMinimaTrama) return 0;
    if (std::memcmp(bufferIn, kEtiqueta, sizeof(kEtiqueta)) != 0) return 0;
    const uint8_t LongTrama = bufferIn[4];
    // Below 13 the stated length cannot hold a whole frame (below 2 not even a CRC).
    if (LongTrama < kLongMinimaTrama || LongTrama > Longitud) return 0;
    const uint16_t recibido = static_cast<uint16_t>((bufferIn[LongTrama - 2] << 8) | bufferIn[LongTrama - 1]);
    return calculo_crc16(bufferIn, static_cast<uint16_t>(LongTrama - 2)) == recibido ? 1 : 0;
}

void enviar_respuesta_pc(uint8_t Comando, uint8_t Subcomando, uint32_t PosEEPROM, uint8_t Resultado,
                         const uint8_t* bufferIn, uint8_t Longitud, uint8_t Tipo_Uart) {
    if (bufferIn == nullptr) Longitud = 0;
    if (Longitud > kMaxDatosRespuesta) {
        Longitud = 0;
        Resultado = 0;
    }
    const uint8_t longitud = static_cast<uint8_t>(Longitud + kLongMinimaTrama);
    vSalida[0] = '#';
    vSalida[1] = 'O';
    vSalida[2] = 'R';
    vSalida[3] = 'V';
    vSalida[4] = longitud;
    vSalida[5] = Comando;
    vSalida[6] = Subcomando;
    vSalida[7] = static_cast<uint8_t>(PosEEPROM >> 16);
    vSalida[8] = static_cast<uint8_t>(PosEEPROM >> 8);
    vSalida[9] = static_cast<uint8_t>(PosEEPROM);
    vSalida[10] = Resultado;
    if (Longitud != 0) std::memcpy(vSalida + 11, bufferIn, Longitud);
    const uint16_t crc = calculo_crc16(vSalida, static_cast<uint16_t>(longitud - 2));
    vSalida[longitud - 2] = static_cast<uint8_t>(crc >> 8);
    vSalida[longitud - 1] = static_cast<uint8_t>(crc);
    if (Tipo_Uart == 0) Serial0.write(vSalida, longitud);
}

void exportar_memoria_eeprom(uint8_t Subcomando, uint32_t nAddress, uint8_t iNbBytes, uint8_t Tipo_Uart) {
    if (Tipo_Uart > 2) return;
    const uint8_t leido = lectura_memoria(nAddress, iNbBytes, vArray);
    enviar_respuesta_pc(0, Subcomando, nAddress, leido, vArray, leido == 1 ? iNbBytes : 0, Tipo_Uart);
}

void procesar_trama(const uint8_t* bufferIn, uint8_t Tipo_Uart) {
    const uint8_t Comando = bufferIn[5];
    const uint8_t Subcomando = bufferIn[6];
    const uint32_t PosIni = (static_cast<uint32_t>(bufferIn[7]) << 16) | (static_cast<uint32_t>(bufferIn[8]) << 8) |
                            bufferIn[9];
    const uint8_t nDatos = bufferIn[10];
    // What the frame really carries between its count byte and its CRC.
    const uint8_t datos_en_trama =
        bufferIn[4] >= kLongMinimaTrama ? static_cast<uint8_t>(bufferIn[4] - kLongMinimaTrama) : 0;

    switch (Comando) {
        case 0: exportar_memoria_eeprom(Subcomando, PosIni, nDatos, Tipo_Uart); break;
        case 1: escritura_pc(bufferIn, Subcomando, PosIni, nDatos, datos_en_trama, Tipo_Uart); break;
        case 2: comando_memoria(Subcomando, PosIni, Tipo_Uart); break;
        case 3: comando_test(bufferIn, Subcomando, PosIni, datos_en_trama, Tipo_Uart); break;
        default:
            Debug("Trama no reconocida!!!");
            respuesta(Comando, Subcomando, PosIni, 0, Tipo_Uart);
            break;
    }
}

// Runs on every pass: one read when nothing has arrived. The tag and the
// length byte are checked as they come in, so that a frame that can never be
// valid does not hold the receiver until the line has been quiet for mTimeOut.
void recepcion_trama_pc() {
    int c = Serial0.read();
    if (c < 0) {
        if (iBytesRx != 0 && millis() - mTimeStamp > mTimeOut) {
            Debug("Timeout: Reset de contadores.");
            iBytesRx = 0;
            bufferRx[0] = 0;
        }
        return;
    }
    do {
        const uint8_t dato = static_cast<uint8_t>(c);
        if (iBytesRx != 0) {
            bufferRx[iBytesRx] = dato;
            // A frame is at most 255 bytes: the 256th wraps the count to 0 and
            // the receiver looks for "@" again.
            iBytesRx = static_cast<uint8_t>(iBytesRx + 1);
            if (iBytesRx >= 2 && iBytesRx <= 4 && dato != kEtiqueta[iBytesRx - 1]) {
                iBytesRx = 0;   // "ORV" holds no "@": only this byte can start the next frame
            } else if (iBytesRx == 5 && dato < kLongMinimaTrama) {
                iBytesRx = 0;
                bufferRx[0] = 0;
                continue;
            }
        }
        if (iBytesRx == 0 && dato == '@') {
            Debug("@ inicio trama");
            bufferRx[0] = dato;
            iBytesRx = 1;
        }
    } while ((c = Serial0.read()) >= 0);
    mTimeStamp = millis();

    if (iBytesRx > 5 && verificar_trama(bufferRx, iBytesRx) == 1) {
        procesar_trama(bufferRx, 0);
        iBytesRx = 0;
        bufferRx[0] = 0;
    }
}
