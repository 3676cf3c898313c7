#ifndef ZELMORA_COMUNICACIONES_PC_H
#define ZELMORA_COMUNICACIONES_PC_H

#include <stdint.h>

// An empty console line.
void linea();
// `laux` as exactly `cnumero_cifras` (1..10) decimal digits with leading
// zeros, then: nothing (0), a line end (1) or the byte itself (any other).
void transmito_variable(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccon_linea);

#endif
