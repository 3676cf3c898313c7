// AIS AtoN transponder on Serial3 (38400 baud): composition of the sentences
// sent to it, reception of its bursts, start-up and re-initialisation of the
// link, and the entry into PC-software mode.
#ifndef ZELMORA_PERIFERICO_H
#define ZELMORA_PERIFERICO_H

#include <stdint.h>

// ---- output composition into periferico1.cframe_tx ----
// Each appends at ibytes_mensaje_a_tx; bytes past the 512-byte buffer are
// dropped. While ccalculo_checksum_nmea is 1 every appended byte is XOR-ed
// into cchecksum_nmea.
void inserto_caracter_periferico(uint8_t cdato);
void inserto_mensaje_periferico(const char* pcmensaje);
// CR LF.
void inserto_linea_periferico();
// `laux` in decimal: `cnumero_cifras` (1..10) digits with leading zeros, or
// with 0 no leading zeros; then the end byte: 0 nothing, 1 CR LF, any other
// value as it is. A value wider than the digit count keeps its low digits.
void inserto_variable_periferico(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccaracter_final);
// The same in hexadecimal with upper-case digits, 1..8 digits or 0.
void inserto_variable_hex_periferico(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccaracter_final);

// ---- reception ----
// One burst from Serial3 into cframe_rx, then its sentences processed. The
// burst ends at once on a line feed while no command is outstanding
// (ccomando 0), otherwise 100 ms after its last byte.
void procesamos_periferico();

// ---- start-up and supervision ----
// 1 at start-up, 0 to restart a silent link (the third restart in a row
// raises the transponder alarm).
void inicializacion_periferico(uint8_t cinicial);
// The main loop's supervision of the link: the pending re-initialisation,
// the silence watch (ten minutes without a valid sentence) and reception.
void supervision_periferico();
// A PC program talks to the transponder: stop the command cycle and switch
// the transponder's GPS output on for it.
void deteccion_conexion_pc();

#endif
