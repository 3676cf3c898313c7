#include "periferico.h"

void inserto_caracter_periferico(uint8_t) {}
void inserto_mensaje_periferico(const char*) {}
void inserto_linea_periferico() {}
void inserto_variable_periferico(uint32_t, uint8_t, uint8_t) {}
void inserto_variable_hex_periferico(uint32_t, uint8_t, uint8_t) {}
void procesamos_periferico() {}
void inicializacion_periferico(uint8_t) {}
void supervision_periferico() {}
void deteccion_conexion_pc() {}
