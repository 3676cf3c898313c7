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

#endif
