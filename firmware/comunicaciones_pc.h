#ifndef ZELMORA_COMUNICACIONES_PC_H
#define ZELMORA_COMUNICACIONES_PC_H

#include <stdint.h>

// An empty console line.
void linea();
// `laux` as exactly `cnumero_cifras` (1..10) decimal digits with leading
// zeros, then: nothing (0), a line end (1) or the byte itself (any other).
void transmito_variable(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccon_linea);
// A coordinate as "43*22.7364N" (2 digits of degrees) or "008*23.5710W" (3);
// the hemisphere byte goes out as it is held, 0 included.
void transmito_coordenada(uint8_t cgrados, uint8_t ccifras_grados, uint8_t cminutos, uint16_t idiez_milesimas,
                          uint8_t chemisferio);

#endif

// ---- analog measurement and calibration ----

// Channel 0: battery (pin 39, enable 13); 2: panel current (pin 40, enable
// 10). `pivalor_ad` receives the mean of 100 raw readings; with
// `cdato_necesario` 1 only the raw value is wanted and 0.0 is returned.
float extraigo_valor_analogico(uint8_t clectura, uint16_t* pivalor_ad, uint8_t cdato_necesario);
// Calibration against a reference value: the new factor is the reference
// over the raw reading. 1: stored (RAM and EEPROM); 0: it would not be a
// finite positive number (reference 0, negative or NaN, a raw 0), nothing stored.
uint8_t ajuste_tension_bateria(float fvalor_real_bateria);
uint8_t ajuste_corriente_panel_solar(float fvalor);

// Ampere-hours of the current UTC day, the running hour included.
float fconversor_corriente_panel_solar_acumulada();
void reset_panel_solar();
// One minute sample of the panel current into the hour and the day.
void acumulacion_amperios_hora();

// Status report on the console; after a measurement it reads the RTC first.
void estado();

// EEPROM addresses of the calibration factors (IEEE 754 singles, LE).
#define DIRECCION_CONVERSOR_PANEL 0xFFF4
#define DIRECCION_CONVERSOR_BATERIA 0xFFF8
