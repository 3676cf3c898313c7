#include "tools.h"

#include <Arduino.h>

uint8_t ACTIVAR_DEBUG = 1;

void Debug(const char* msg) { Debug(msg, true); }

void Debug(const char* msg, bool crlf) {
    if (ACTIVAR_DEBUG != 1) return;
    Serial0.print(msg);
    if (crlf) Serial0.println();
}

uint8_t unir_texto_numero(char* texto, uint8_t capacidad, const char* msg, uint32_t valor) {
    uint8_t n = 0;
    while (msg[n] != '\0' && n < capacidad - 12) {
        texto[n] = msg[n];
        ++n;
    }
    char cifras[10];
    uint8_t k = 0;
    do {
        cifras[k++] = static_cast<char>('0' + valor % 10u);
        valor /= 10u;
    } while (valor != 0u);
    while (k != 0) texto[n++] = cifras[--k];
    texto[n] = '\0';
    return n;
}

void Debug_dato(const char* msg, uint32_t valor) {
    char texto[96];
    unir_texto_numero(texto, sizeof(texto), msg, valor);
    Debug(texto);
}
