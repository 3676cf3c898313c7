// Constant texts, tables and the board's pin map.
#ifndef ZELMORA_CONSTANTES_H
#define ZELMORA_CONSTANTES_H

#include <stdint.h>

// Pin map (board variant's Arduino numbers).
#define PIN_ENABLE_CORRIENTE_PANEL 10   // high while the panel current is measured
#define PIN_ENABLE_BATERIA 13           // high while the battery is measured
#define PIN_STATUS_MPPT_1 14
#define PIN_LIBRE_15 15
#define PIN_LIBRE_16 16
#define PIN_CS_EEPROM 19                // active low
#define PIN_LIBRE_20 20
#define PIN_DISABLE_MPPT 21             // high = charger off
#define PIN_LIBRE_24 24
#define PIN_DIP4 28                     // switches read low when on
#define PIN_DIP3 29
#define PIN_DIP2 30
#define PIN_DIP1 31
#define PIN_LIBRE_32 32
#define PIN_LIBRE_33 33
#define PIN_POWER_GPS 35                // high = module powered
#define PIN_ENTRADA_EXTERNA2 36
#define PIN_ENTRADA_EXTERNA3 37
#define PIN_ANALOGICO_BATERIA 39        // A1
#define PIN_ANALOGICO_PANEL 40          // A2
#define PIN_POWER_AIS 41                // high = transponder powered
#define PIN_LIBRE_42 42
#define PIN_LIBRE_43 43
#define PIN_ENTRADA_EXTERNA1 44
#define PIN_LIBRE_49 49
#define PIN_STATUS_MPPT_2 50

#define FIRMWARE_VERSION "4.0"
#define HARDWARE_VERSION "1.0"

extern const char m_fabricante[];
extern const char m_lema[];
extern const char m_fin_setup[];

// Powers of ten 10^0 .. 10^9.
extern const uint32_t lvalores_decimales[10];

// Days of each month, January first: common year and leap year.
extern const uint8_t m_meses[12];
extern const uint8_t m_meses_bisiesto[12];

// GPS module commands, sent as they stand followed by CR LF: NMEA output
// selection (VTG, GGA and ZDA once per fix) and SBAS search on.
extern const char m_trama_configuracion_gps[];
extern const char m_trama_enable_sbass[];
// Starts of the module's own messages: its acknowledgement, and any other.
extern const char m_trama_respuesta_ack[];
extern const char m_trama_respuesta_configuracion[];

// Class of each byte from 0x20 (space) to 0x46 ('F'): digit and upper-case
// hexadecimal values, 0xFC space, 0xFD '-', 0xFE '.', 0xFF anything else.
extern const uint8_t m_desconversion_ascii[39];

// Digits of composed numbers, and the weights of hexadecimal places 16^0 .. 16^7.
extern const uint8_t cvalores_ascii[16];
extern const uint32_t lvalores_hexadecimales[8];
// Weights of bit k of a value (2^0 .. 2^31) and of a bit inside a six-bit value.
extern const uint32_t lpeso[32];
extern const uint8_t cpeso[8];

// Transponder commands, sent as they stand followed by CR LF.
extern const char m_trama_gps_ais_off[];
extern const char m_trama_gps_ais_on[];
extern const char m_trama_gps_ais_usb[];
extern const char m_trama_consulta_aid[];
extern const char m_trama_consulta_ace[];
extern const char m_trama_consulta_acf[];
extern const char m_trama_consulta_mcr[];
extern const char m_trama_consulta_aar[];
extern const char m_trama_tipo_aton[];
extern const char m_trama_version_firmware[];
extern const char m_trama_numero_serie[];
extern const char m_trama_roe[];
extern const char m_trama_tension[];

#endif
