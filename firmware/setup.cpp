#include "setup.h"

#include <Arduino.h>

#include "constantes.h"

// Re-applied on every main-loop pass: an output keeps its level when its mode
// is applied again; only pins 15 and 49 get a level here.
void PinConfig(uint8_t arg) {
    pinMode(PIN_ANALOGICO_BATERIA, INPUT);
    pinMode(PIN_ANALOGICO_PANEL, INPUT);
    pinMode(PIN_POWER_AIS, OUTPUT);
    digitalWrite(PIN_LIBRE_49, HIGH);
    pinMode(PIN_LIBRE_15, OUTPUT);
    digitalWrite(PIN_LIBRE_15, LOW);
    pinMode(PIN_LIBRE_20, INPUT);
    pinMode(PIN_LIBRE_42, INPUT_PULLUP);
    pinMode(PIN_LIBRE_43, INPUT_PULLUP);
    pinMode(PIN_ENTRADA_EXTERNA1, INPUT_PULLUP);
    pinMode(PIN_ENTRADA_EXTERNA3, INPUT_PULLUP);
    pinMode(PIN_ENTRADA_EXTERNA2, INPUT_PULLUP);
    pinMode(PIN_POWER_GPS, OUTPUT);
    pinMode(PIN_DIP1, INPUT_PULLUP);
    pinMode(PIN_DIP2, INPUT_PULLUP);
    pinMode(PIN_DIP3, INPUT_PULLUP);
    pinMode(PIN_DIP4, INPUT_PULLUP);
    pinMode(PIN_ENABLE_CORRIENTE_PANEL, OUTPUT);
    pinMode(PIN_ENABLE_BATERIA, OUTPUT);
    pinMode(PIN_DISABLE_MPPT, OUTPUT);
    pinMode(PIN_STATUS_MPPT_1, INPUT_PULLUP);
    pinMode(PIN_STATUS_MPPT_2, INPUT_PULLUP);
    pinMode(PIN_LIBRE_32, INPUT_PULLUP);
    pinMode(PIN_LIBRE_33, INPUT_PULLUP);
    pinMode(PIN_CS_EEPROM, OUTPUT);
    pinMode(PIN_LIBRE_24, OUTPUT);
    if (arg == 1) pinMode(PIN_LIBRE_16, INPUT);
}
