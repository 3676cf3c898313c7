// Real-time clock on the I2C bus (write address 0xDE, 7-bit 0x6F) and the
// unit's UTC calendar: BCD conversions, range check, weekday, read and
// confirmed write of the date, and the packed event date.
#ifndef ZELMORA_MCP7940_H
#define ZELMORA_MCP7940_H

#include <stdint.h>

// Register level. `cid` is the 8-bit write address; the bus gets cid >> 1.
void writeclock(uint8_t cid, uint8_t caddress, uint8_t cdato);
void writeclock_sequencial(uint8_t cid, uint8_t caddress, const uint8_t* pcdatos, uint8_t ccantidad_bytes);
// 1: all bytes read into pcdatos; 0: none arrived within 20 ms (pcdatos untouched).
uint8_t readclock(uint8_t cid, uint8_t caddress, uint8_t* pcdatos, uint8_t ccantidad_bytes);
// Start-up: oscillator running from the crystal, 24-hour mode. Reports on Serial0.
void config_clock();

// Calendar.
uint8_t convert_bcd_decimal(uint8_t cdata);
uint8_t convert_decimal_bcd(uint8_t cdata);
// 0: within limits; 1: out of limits.
uint8_t verificacion_limites_fecha(uint8_t cano, uint8_t cmes, uint8_t cdia, uint8_t cdia_semana, uint8_t chora,
                                   uint8_t cminuto, uint8_t csegundo);
// ISO weekday (1 = Monday) of a date of 2001..2099 given by its two-digit year.
uint8_t calculo_dia_semana(uint8_t cano, uint8_t cmes, uint8_t cdia);
// 1: a valid date was read and stored in mvarFechaHora; 0: record unchanged.
uint8_t lectura_fecha();
// cdia_semana 0: computed from the date. cnueva_fecha is not used.
// 1: written and confirmed by reading back; 0: not confirmed after 5 attempts.
uint8_t escritura_fecha(uint8_t cdia, uint8_t cmes, uint8_t cano, uint8_t cdia_semana, uint8_t chora,
                        uint8_t cminuto, uint8_t csegundo, uint8_t cnueva_fecha);
// Up to 5 reads until one is valid.
void Leer_FechaHora_Interna();
// cmes*10^8 + cdia*10^6 + cano*10^4 + chora*100 + cminutos. The event recorder
// passes (day, month, year, ...), which stores MMYYDDhhmm.
uint32_t creacion_variable_fecha(uint8_t cano, uint8_t cmes, uint8_t cdia, uint8_t chora, uint8_t cminutos);

#endif
