#ifndef ZELMORA_TOOLS_H
#define ZELMORA_TOOLS_H

#include <stdint.h>

// 1: debug lines are printed. Set at build time; nothing changes it at run time.
extern uint8_t ACTIVAR_DEBUG;

void Debug(const char* msg);
void Debug(const char* msg, bool crlf);
// A debug line made of a fixed text and a decimal number, joined in a small
// buffer on the stack rather than on the heap.
void Debug_dato(const char* msg, uint32_t valor);
// Writes `msg` (cut to leave room) and `valor` in decimal into `texto`, of
// `capacidad` bytes (at least 12), NUL-terminated; returns the length.
uint8_t unir_texto_numero(char* texto, uint8_t capacidad, const char* msg, uint32_t valor);

#endif
