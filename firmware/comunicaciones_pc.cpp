#include "comunicaciones_pc.h"

#include <Arduino.h>

#include "constantes.h"

void linea() { Serial0.println(); }

void transmito_variable(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccon_linea) {
    if (cnumero_cifras > 10) cnumero_cifras = 10;   // size of the powers table
    for (int8_t i = static_cast<int8_t>(cnumero_cifras - 1); i >= 0; --i) {
        Serial0.print(laux / lvalores_decimales[i]);
        laux %= lvalores_decimales[i];
    }
    if (ccon_linea == 1) {
        linea();
    } else if (ccon_linea != 0) {
        Serial0.write(ccon_linea);
    }
}
