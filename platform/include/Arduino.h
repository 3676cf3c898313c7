// The board platform as the firmware sees it: pins, analog inputs, time and
// the serial ports, with the core's names.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "Print.h"
#include "Uart.h"

#define LOW 0
#define HIGH 1

#define INPUT 0x0
#define OUTPUT 0x1
#define INPUT_PULLUP 0x2
#define INPUT_PULLDOWN 0x3

// Analog inputs of the board variant.
#define A1 39
#define A2 40

// I2C and SPI pins of the board variant.
#define PIN_WIRE_SDA 47
#define PIN_WIRE_SCL 48
#define PIN_SPI_MISO 51
#define PIN_SPI_MOSI 53
#define PIN_SPI_SCK 54

#define NUM_DIGITAL_PINS 56

void pinMode(uint32_t pin, uint32_t mode);
void digitalWrite(uint32_t pin, uint32_t val);
int digitalRead(uint32_t pin);

void analogReadResolution(int res);
int analogRead(uint32_t pin);

uint32_t millis(void);
uint32_t micros(void);
void delay(uint32_t ms);
