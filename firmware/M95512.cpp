#include "M95512.h"

#include <Arduino.h>

#include "constantes.h"

namespace {
constexpr uint8_t kWREN = 0x06;
constexpr uint8_t kRDSR = 0x05;
constexpr uint8_t kREAD = 0x03;
constexpr uint8_t kWRITE = 0x02;
constexpr uint8_t kStatusWIP = 0x01;

constexpr SPISettings kAjustes(2000000, MSBFIRST, SPI_MODE0);
}  // namespace

M95512 E2PROM_SPI(&SPI, PIN_CS_EEPROM);

// Chip select high before it becomes an output, so the device never sees a
// spurious select.
void M95512::begin() {
    digitalWrite(static_cast<uint32_t>(ns_pin), HIGH);
    pinMode(static_cast<uint32_t>(ns_pin), OUTPUT);
    dev_spi->begin();
}

void M95512::seleccionar() {
    dev_spi->beginTransaction(kAjustes);
    digitalWrite(static_cast<uint32_t>(ns_pin), LOW);
}

void M95512::deseleccionar() {
    digitalWrite(static_cast<uint32_t>(ns_pin), HIGH);
    dev_spi->endTransaction();
}

// Bounded: an absent device reads 0xFF, i.e. busy for ever, and an unbounded
// poll would leave the unit to the watchdog on every start-up.
void M95512::EepromWaitEndWriteOperation() {
    seleccionar();
    dev_spi->transfer(kRDSR);
    const uint32_t inicio = millis();
    uint8_t estado = dev_spi->transfer(0xFF);
    while ((estado & kStatusWIP) != 0 && millis() - inicio <= kEsperaMaximaMs) {
        estado = dev_spi->transfer(0xFF);
    }
    deseleccionar();
    cfallo = (estado & kStatusWIP) != 0 ? 1 : 0;
}

void M95512::EepromWriteEnable() {
    seleccionar();
    dev_spi->transfer(kWREN);
    deseleccionar();
}

void M95512::EepromRead(uint16_t nAddress, uint16_t iNbBytes, uint8_t* pcBuffer) {
    EepromWaitEndWriteOperation();   // a read right after a write sees the new data
    seleccionar();
    dev_spi->transfer(kREAD);
    dev_spi->transfer(static_cast<uint8_t>(nAddress >> 8));
    dev_spi->transfer(static_cast<uint8_t>(nAddress & 0xFF));
    if (iNbBytes != 0) dev_spi->transfer(pcBuffer, iNbBytes);
    deseleccionar();
}

// Returns as soon as chip select rises: the next operation absorbs the
// device's write cycle in its status poll.
void M95512::EepromWrite(uint16_t nAddress, uint8_t cNbBytes, uint8_t* pcBuffer) {
    EepromWaitEndWriteOperation();
    EepromWriteEnable();
    seleccionar();
    dev_spi->transfer(kWRITE);
    dev_spi->transfer(static_cast<uint8_t>(nAddress >> 8));
    dev_spi->transfer(static_cast<uint8_t>(nAddress & 0xFF));
    if (cNbBytes != 0) dev_spi->transfer(pcBuffer, cNbBytes);
    deseleccionar();
}
