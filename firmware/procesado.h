// Verified EEPROM access, the configuration loader and the byte helpers used
// to pick values out of frames and EEPROM blocks.
#ifndef ZELMORA_PROCESADO_H
#define ZELMORA_PROCESADO_H

#include <stdint.h>

// EEPROM map.
constexpr uint32_t kEepromPagina = 128;
constexpr uint32_t kDirConfiguracion = 0;
constexpr uint8_t kLongConfiguracion = 98;
constexpr uint32_t kDirContadorResets = 252;
constexpr uint32_t kDirIndiceLog = 254;
constexpr uint32_t kDirLog = 256;
constexpr uint32_t kFinLog = 4352;   // first byte after records 0..511
constexpr uint32_t kDirFactorPanel = 0xFFF4;
constexpr uint32_t kDirFactorBateria = 0xFFF8;
// The unit's own bookkeeping, each in a page of its own: a loss of supply
// during a write cycle leaves the bytes being written undefined (M95512
// datasheet, Write cycle), so each cycle may tear only one of them.
// - 0xFF while no write of the configuration area is in progress;
// - two more copies of the log's write index (the third is at 254).
constexpr uint32_t kDirMarcaConfiguracion = 4480;
constexpr uint32_t kDirIndiceLogCopia1 = 4608;
constexpr uint32_t kDirIndiceLogCopia2 = 4736;

// Reads up to 128 bytes; 1 on success, 0 when refused or the EEPROM does not answer.
uint8_t lectura_memoria(uint32_t nAddress, uint8_t inBytes, uint8_t* bufferOut);
// Writes any length split at page boundaries; with VerificarEscritura 1
// (at most 150 bytes) returns the read-back check, otherwise 1.
uint8_t escritura_memoria(uint32_t nAddress, uint16_t iNbBytes, const uint8_t* bufferIn, uint8_t VerificarEscritura);
// Reads up to 150 bytes back into vArray; 1 when equal to bufferIn.
uint8_t verficar_escritura_memoria(uint32_t nAddress, uint16_t iNbBytes, const uint8_t* bufferIn);
// A write from the PC: bracketed by the configuration-write mark when it
// touches the configuration area (addresses modulo 64 KiB, as the driver).
void escritura_memoria_pc(uint32_t nAddress, uint16_t iNbBytes, const uint8_t* bufferIn);
// Configuration page (0..127) to 0xFF, under the configuration-write mark.
void InicializarMemoria();
// Log records 0..511 (256..4351) to 0; index, reset counter and record 512 kept.
void Inicializar_ZonaLog();
// Decodes EEPROM 0..97 into the four configuration records; 1 on success,
// 0 when the EEPROM did not answer (the records then hold the erased defaults).
// The MMSI is trusted only from a page that was read, written whole (the
// configuration-write mark erased) and in range.
uint8_t cargar_estructuras_configuracion_orv();

// Copies min(Longitud, 128) bytes from bufferSrc[PosIni..] to bufferDst[0..].
void copyArray(uint8_t* bufferDst, const uint8_t* bufferSrc, uint16_t PosIni, uint8_t Longitud);
// Copies exactly Longitud bytes from vecSrc[PosIni..]; no terminator.
void Extraer_Cadena(const uint8_t* vecSrc, uint32_t PosIni, uint8_t Longitud, uint8_t* vecDst);
// The 4 bytes in memory order as an IEEE 754 single (little-endian).
void BytesToFloat(const uint8_t valorIn[4], float* fOut);
float Extraer_Float(const uint8_t* vecSrc, uint32_t PosIni);

// Leaves test mode: every monitor off, the charger on again.
void salida_modo_test();

// ---- PC link on Serial0 ----
// Request "@ORV", LongTrama, Comando, Subcomando, PosIni (24 bits), nDatos,
// data, CRC; reply "#ORV", length, Comando, Subcomando, PosEEPROM, Resultado,
// data, CRC. Integers and the CRC most significant byte first.
constexpr uint8_t kLongMinimaTrama = 13;   // header, count and CRC without data
constexpr uint8_t kMaxDatosPc = 128;       // data bytes of a write or an export

// CRC-16 with the reflected polynomial 0xA001, initial value 0xFFFF, no final XOR.
uint16_t calculo_crc16(const uint8_t* pframe, uint16_t ilongitud);
// 1 when the first `Longitud` bytes received hold a whole request with its
// tag and a correct CRC. Nothing past `Longitud` is read.
uint8_t verificar_trama(const uint8_t* bufferIn, uint8_t Longitud);
// Builds the reply in vSalida; sends it on Serial0 when Tipo_Uart is 0.
// Data that would not fit vSalida is not copied: the reply is then a refusal.
void enviar_respuesta_pc(uint8_t Comando, uint8_t Subcomando, uint32_t PosEEPROM, uint8_t Resultado,
                         const uint8_t* bufferIn, uint8_t Longitud, uint8_t Tipo_Uart);
// Reply 0 with up to 128 EEPROM bytes read at nAddress (modulo 65536); a
// refused or failed read is answered with Resultado 0 and no data.
void exportar_memoria_eeprom(uint8_t Subcomando, uint32_t nAddress, uint8_t iNbBytes, uint8_t Tipo_Uart);
// Acts on one verified request frame and answers it.
void procesar_trama(const uint8_t* bufferIn, uint8_t Tipo_Uart);
// One main-loop step: drains Serial0 into bufferRx from an "@" on, drops a
// partial frame after mTimeOut ms of silence, dispatches a verified frame.
void recepcion_trama_pc();

#endif
