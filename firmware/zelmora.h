// Main file: start-up, main loop, the millisecond tick and its timers.
#ifndef ZELMORA_H
#define ZELMORA_H

#include <stdint.h>

void setup();
void loop();
// setup() in its two halves: the board and the clock, then everything that
// follows from the configuration the EEPROM holds.
void arranque_placa();
void arranque_configuracion();

// Millisecond tick on TC0.
void setup_timerTC0(uint32_t prescaler, uint32_t compare);
void start_timerTC0();
void interrupcion_timer_cada_miliseg();
void retardo_milisegundos(uint32_t ms);

void configuracion_adc();

// Power supervision.
void inicializacion_balizaQ77();
void lectura_entradas_status_mppt();
void evaluacion_potencia_minuto();

// Alarm codes: 0 low battery, 1 charger off, 2..4 external inputs 1..3,
// 5 transponder silent, 6 no GPS coverage.
void enable_alarma(uint8_t ctipo);
void disable_alarma(uint8_t ctipo);

// Event log: a ring of 513 dated 8-byte records in the EEPROM.
void grabacion_nueva_incidencia(uint8_t cincidencia, uint16_t idato);
void nueva_incidencia_reset();
uint8_t inserto_variable_incidencia(uint8_t* pcframe, uint8_t cposicion, uint32_t lvariable, uint8_t ccantidad_bytes);

// EEPROM map of the log.
#define DIRECCION_CONTADOR_RESETS 252
#define DIRECCION_INDICE_LOG 254
#define SLOTS_LOG 513

#endif
