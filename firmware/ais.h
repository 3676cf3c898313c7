// AIS transponder: the command cycle, the processing of its sentences, the
// six-bit payload coding (ITU-R M.1371 / IEC 61162-1 armouring) and the
// Message 6 monitoring report.
#ifndef ZELMORA_AIS_H
#define ZELMORA_AIS_H

#include <stdint.h>

// ---- command cycle ----
// Sends the command named by periferico1.ccomando and arms its reply wait;
// state 0 (idle) only chooses the next command.
void envio_comandos_ais();
// The main loop's step of the cycle: send when no reply is awaited, move on
// when a reply is overdue, and the PC-software mode.
void ciclo_comandos_ais();

// ---- sentence processing ----
// Every sentence of the burst in cframe_rx (ibytes_rx bytes).
void procesamos_trama_rx_ais();

// ---- six-bit coding ----
// Packs the low `cbits_utiles` (1..32) bits of `ldato`, most significant
// first, into six-bit values of a cleared buffer. `cbits_resto` is the
// number of free bits (1..6) of the value at *pcbytes_codificados; returns
// the new count and advances the index past every filled value.
uint8_t cpartimos_y_codificamos_en_6bits(uint32_t ldato, uint8_t cbits_utiles, uint8_t cbits_resto,
                                         uint8_t* pcbytes_codificados, uint8_t* pcdatos_trama_codificados);
// Six-bit value to its armoured character and back.
uint8_t codificacion_caracteres_ascii_seis_bits(uint8_t cdato);
uint8_t decodificacion_mensaje_vdo(uint8_t cdato_codificado);
// Hundredths to twentieths (steps of 0.05), remainder dropped.
uint16_t reconvertimos_valor_analogico_mensaje6(uint16_t ivalor);

// ---- Message 6 report ----
// Packs the 446-bit payload into periferico1.cmsg and armours it into
// cmsg_tx (count at index 0); increments cid_msg6.
void codifico_datos_trama_nmea_mensaje_6_zelmora();
// Builds the report and composes it into cframe_tx as "!AIMEB" sentences of
// 25 characters each; reloads itimeout_tx_msg6. The caller sends it.
void composicion_tramas_meb_mensaje6();

#endif
