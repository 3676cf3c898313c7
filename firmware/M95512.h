// Driver of the 64 KiB SPI EEPROM (128-byte pages): raw reads and
// single-page writes. Page splitting and verification live in procesado.
#ifndef ZELMORA_M95512_H
#define ZELMORA_M95512_H

#include <SPI.h>
#include <stdint.h>

class M95512 {
public:
    // constexpr: the global is constant-initialised, so it is valid before
    // any constructor runs and part of the firmware's power-on RAM image.
    constexpr M95512(SPIClass* spi, int ns) : dev_spi(spi), ns_pin(ns), cfallo(0) {}

    void begin();
    // Polls the status register until the internal write cycle ends, for at
    // most kEsperaMaximaMs; on time-out sets fallo() and returns anyway.
    void EepromWaitEndWriteOperation();
    void EepromWriteEnable();
    // Reads into pcBuffer, which is also clocked out as filler.
    void EepromRead(uint16_t nAddress, uint16_t iNbBytes, uint8_t* pcBuffer);
    // The bytes must lie in one page. pcBuffer is overwritten with the bytes
    // clocked in during the transfer: pass a scratch copy.
    void EepromWrite(uint16_t nAddress, uint8_t cNbBytes, uint8_t* pcBuffer);

    // 1 when the last status poll timed out (no device, or stuck busy);
    // cleared by the next poll that sees the device idle.
    uint8_t fallo() const { return cfallo; }

    // The data sheet's write cycle is at most 5 ms; twice that is "no answer".
    static constexpr uint32_t kEsperaMaximaMs = 10;

private:
    void seleccionar();
    void deseleccionar();

    SPIClass* dev_spi;
    int ns_pin;
    uint8_t cfallo;
};

extern M95512 E2PROM_SPI;

#endif
