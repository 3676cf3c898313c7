#ifndef ZELMORA_SETUP_H
#define ZELMORA_SETUP_H

#include <stdint.h>

// Pin directions and pull-ups; pin 16 only when `arg` is 1 (start-up).
void PinConfig(uint8_t arg);

#endif
