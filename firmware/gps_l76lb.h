// GPS receiver: the NMEA field toolkit (shared with the transponder side),
// control of the GPS module and processing of its sentences.
#ifndef ZELMORA_GPS_L76LB_H
#define ZELMORA_GPS_L76LB_H

#include <stdint.h>

// ---- NMEA toolkit ----
// Pure routines over a byte buffer and 16-bit positions into it: no port, no
// clock, no copies. A sentence is given by the position of its '$' or '!'
// and an end position (its line feed, or the number of bytes held).

// Class of one byte: '0'..'9' -> 0..9, 'A'..'F' -> 10..15, ' ' -> 0xFC,
// '-' -> 0xFD, '.' -> 0xFE, anything else (lower case included) -> 0xFF.
uint8_t desconversion_ascii(uint8_t cascii);

// Position of the first byte of field `ccampo_buscado` (field 0 is the
// address): just after its comma; just after the '*' when the sentence has
// fewer fields; `iposicion_final` when neither is met.
uint16_t busqueda_campo(uint8_t ccampo_buscado, const uint8_t* pctrama, uint16_t iposicion_inicial,
                        uint16_t iposicion_final);

// 1 when the two upper-case hexadecimal digits after the '*' match the XOR of
// the bytes between the '$'/'!' and the '*'; both digits must lie before the
// end. The computed XOR is left in *pcchecksum either way.
uint8_t comprobacion_checksum_nmea(const uint8_t* pctrama, uint16_t iposicion_inicio, uint16_t iposicion_final,
                                   uint8_t* pcchecksum);

// The digits among `ccantidad` bytes read as one number; any other byte is
// skipped (12.34 reads 1234). Only the ten least significant digits count.
uint32_t conversion_ascii_decimal(uint16_t iposicion_mas_significativa, uint8_t ccantidad, const uint8_t* pctrama);
// As above with the digits right of the rightmost '.' as decimals and a '-'
// anywhere making it negative. A count of 0 gives 0.0.
float conversion_ascii_float(uint16_t iposicion_mas_significativa, uint8_t ccantidad, const uint8_t* pctrama);

// Field `ccampo` of the sentence as a number: 1 and the value stored, or 0
// (empty or missing field) with the output untouched.
uint8_t extraccion_dato_nmea(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                             uint16_t iposicion_final, uint32_t* pldato);
uint8_t extraccion_dato_con_signo_nmea(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                                       uint16_t iposicion_final, int32_t* pldato);
uint8_t extraccion_dato_nmea_float(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                                   uint16_t iposicion_final, float* pfdato);

// 1 when the buffer holds the NUL-terminated text at `iinicio`. A non-zero
// `clongitud_comparada` must also equal the text's length. The caller makes
// sure the text's length fits in the buffer from `iinicio` on.
uint8_t comparacion(uint16_t iinicio, const uint8_t* pctrama_comparar, const char* pctrama_comparada,
                    uint8_t clongitud_comparada);

// Position just after the first occurrence of the text between
// `iposicion_inicial` and `ilongitud`, or 0xFFFF. A mismatch does not retry
// its byte as the text's first one: "$GPZDA" is not found in "$$GPZDA".
uint16_t busqueda_trama(const uint8_t* pctrama_comparar, const char* pctrama_comparada, uint16_t ilongitud,
                        uint16_t iposicion_inicial);

// Position of the `cveces_a_encontrar`-th byte equal to `cdato` from
// `iposicion_inicio` on, or the end position when there are fewer (start + 1
// when the start is already at or past the end).
uint16_t ibusqueda_dato_en_buffer_rx(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar,
                                     uint16_t iposicion_inicio, uint16_t iposicion_final);
// The same with the GPS burst's byte count `l76lb.ibytes_rx` as the end.
uint16_t ibusqueda_dato_gps(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar, uint16_t iposicion);

// Degrees, minutes and ten-thousandths of a minute as one signed count of
// ten-thousandths of a minute; 'S' and 'W' negative.
int32_t conversor_a_diezmilesimas(uint32_t lgrados, uint32_t lminutos, uint32_t ldiez_milesimas_minutos,
                                  uint8_t cdireccion);

// ---- receiver control ----
// States in l76lb.cconfigurado: 0 off / to start, 1 configured, 2 output
// selection awaiting its acknowledgement, 3 SBAS awaiting its
// acknowledgement, 4 switch-off requested.
void inicializacion_l76lb();
// One control step; the main loop calls it whenever l76lb.cdelay is 0.
void configuracion_frames_gps();
void envio_trama_nmea_configuracion_a_gps();

// ---- sentence processing ----
// Gathers one burst from Serial1 (it ends after 20 ms of silence), decodes
// GGA, VTG, ZDA and the module's acknowledgements, and keeps the last valid
// fix, the speed and course histories and the clock up to date.
void procesamos_gps();

#endif
