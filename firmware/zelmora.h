// Main file: start-up, main loop, the millisecond tick and its timers.
#ifndef ZELMORA_H
#define ZELMORA_H

#include <stdint.h>

void setup();
void loop();

// Millisecond tick on TC0.
void setup_timerTC0(uint32_t prescaler, uint32_t compare);
void start_timerTC0();
void interrupcion_timer_cada_miliseg();
void retardo_milisegundos(uint32_t ms);

void configuracion_adc();

#endif
