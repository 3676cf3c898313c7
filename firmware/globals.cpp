#include "globals.h"

stbaliza balizaQ77;
stmodulo_gps l76lb;
stperiferico periferico1;
stFechaHora mvarFechaHora;
strtc rtc;
stconfig_msg_ais configuracion_ais;
stconfig_power configuracion_power;
stconfig_external_inputs configuracion_external_inputs;
stconfig_gps configuracion_gps;
sttest test;

volatile uint8_t cacciones_100ms;
volatile uint8_t cacciones_1s;
volatile uint8_t cacciones_1min;

volatile uint8_t clisto;
uint8_t cfecha_inicial_puesta;
uint32_t TIMEOUT_MODO_TEST_ACTIVO = 600000;
uint32_t ulTUltimaTramaTestRecibida;

uint8_t bufferRx[400];
uint8_t iBytesRx;
uint32_t mTimeStamp;
uint32_t mTimeOut = 3000;
uint8_t vSalida[150];
uint8_t tramaOut[150];

uint8_t vArray[150];
uint8_t vMemo[130];

uint8_t cdatos_incidencia[9];
