#include "ais.h"

void envio_comandos_ais() {}
void ciclo_comandos_ais() {}
void procesamos_trama_rx_ais() {}
uint8_t cpartimos_y_codificamos_en_6bits(uint32_t, uint8_t, uint8_t cbits_resto, uint8_t*, uint8_t*) { return cbits_resto; }
uint8_t codificacion_caracteres_ascii_seis_bits(uint8_t cdato) { return cdato; }
uint8_t decodificacion_mensaje_vdo(uint8_t cdato_codificado) { return cdato_codificado; }
uint16_t reconvertimos_valor_analogico_mensaje6(uint16_t ivalor) { return ivalor; }
void codifico_datos_trama_nmea_mensaje_6_zelmora() {}
void composicion_tramas_meb_mensaje6() {}
