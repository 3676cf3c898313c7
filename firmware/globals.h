// The unit's global records. Fields shared with the millisecond tick are
// volatile: the interrupt changes them behind the main loop's back.
#ifndef ZELMORA_GLOBALS_H
#define ZELMORA_GLOBALS_H

#include <stdint.h>

// Beacon state: power measurements, calibration, alarms, charger.
struct stbaliza {
    float fbateria;
    float fconversor_bateria;
    float fcorriente_panel_solar;
    float fconversor_corriente_panel_solar;
    float fcorriente_panel_solar_en_una_hora;
    float famperios_hora_panel_solar_acumulados;
    volatile uint16_t iretardo_milisegundos;
    uint16_t iseguridad_enable_alarma_mppt;
    uint16_t iseguridad_disable_alarma_mppt;
    uint16_t iorto_reloj_astronomico;
    uint16_t iocaso_reloj_astronomico;
    volatile uint8_t cmedicion_bateria;
    uint8_t cestado;
    uint8_t crefresco;
    volatile uint8_t cretardo_medicion_bateria;
    uint8_t ccambios_bruscos_bateria;
    uint8_t cseguridad_bateria_baja_high;
    uint8_t cseguridad_bateria_baja_low;
    uint8_t calarma_bateria;
    uint8_t calarma_gps;
    uint8_t calarma_panel_solar;
    uint8_t calarma_entrada_externa1;
    uint8_t calarma_entrada_externa2;
    uint8_t calarma_entrada_externa3;
    uint8_t creset;
    volatile uint8_t cretardo_reset;
    uint8_t cextraigo;
    volatile uint8_t cmppt;
    uint8_t cstatus_mppt;
    uint8_t cseguridad_enable_panel_solar;
    uint8_t cseguridad_disable_panel_solar;
    volatile uint8_t creset_ciclo_mppt;
    volatile uint8_t cminutos_disable_reset_ciclo_mppt;
    uint8_t cdia_panel_solar;
    uint8_t cmes_panel_solar;
    uint8_t cano_panel_solar;
    uint8_t cminutos_panel_solar_amperios_hora;
    uint8_t ctest;
    uint8_t cincidencia_reset;
    uint8_t csincronizada;
    uint8_t cprimera_medicion;   // 1 once the minute's power evaluation has run
};

// GPS receiver state. Zero at reset, as every global here.
struct stmodulo_gps {
    float frumbo_gps[3];
    float fspeed_gps_knots[5];
    int32_t ldiezmilesimas_latitud;
    int32_t ldiezmilesimas_longitud;
    int32_t lsumas_latitud;
    int32_t lsumas_longitud;
    int32_t ldiezmilesimas_latitud_origen;
    int32_t ldiezmilesimas_longitud_origen;
    volatile uint8_t cdelay;
    volatile uint8_t cminutos_restantes_actualizacion_fecha;
    uint16_t ibytes_rx;
    uint16_t iporcentaje_latitud;
    uint16_t imetros;
    volatile uint16_t iminutos_sin_cobertura_gps;
    uint8_t cinicio;
    uint8_t cconfigurado;
    uint8_t cmodo;
    volatile uint8_t ctimeout_entre_bytes_rx;
    uint8_t cdebug;
    uint8_t calarma;
    uint8_t csatelites;
    uint8_t cqgps;
    uint8_t cfix_status;
    uint8_t cmuestra_valida_rumbo;
    uint8_t cmuestra_valida_speed;
    uint8_t cgrados_latitud;
    uint8_t cminutos_latitud;
    uint16_t idiez_milesimas_minutos_latitud;
    uint8_t cnorte_sur;
    uint8_t cgrados_longitud;
    uint8_t cminutos_longitud;
    uint16_t idiez_milesimas_minutos_longitud;
    uint8_t ceste_oeste;
    uint8_t cposicion_gps;
    uint8_t cdia_zda;
    uint8_t cmes_zda;
    uint8_t cano_zda;
    uint8_t chora_zda;
    uint8_t cminuto_zda;
    uint8_t csegundo_zda;
    uint8_t ctimeout_frame;
    uint8_t cframe_rx[512];
};

// Transponder state and buffers; also the debounce state of the external inputs.
struct stperiferico {
    uint16_t iq;
    uint16_t iseguridad_entrada_externa_high[3];
    uint16_t iseguridad_entrada_externa_low[3];
    volatile uint8_t calarma_activada[3];
    volatile uint8_t cdisable[3];
    volatile uint8_t cenable[3];
    uint8_t cextraigo;
    uint8_t calarma;
    uint8_t cseguridad_alarma;
    uint8_t creset;
    uint32_t lmmsi;
    uint32_t lmmsi_destino_msg6;
    volatile uint16_t itimeout_tx_msg6;
    uint16_t ibytes_rx;
    uint16_t ibateria;
    uint16_t ibytes_mensaje_a_tx;
    uint16_t ifrecuencia_msg6;
    uint8_t cindice_msg6;
    uint8_t ccambios_bruscos_roe;
    uint8_t cesperando_respuesta;
    volatile uint8_t ctimeout_rx_frame;
    uint8_t ccalculo_checksum_nmea;
    uint8_t cchecksum_nmea;
    uint8_t ccomando;
    uint8_t cconexion_software_pc;
    uint8_t creintentos_comando;
    volatile uint8_t ctimeout_respuesta_comando;
    uint8_t cstatus_gps;
    uint8_t ctipo_aton;
    uint8_t creintentos_msg6;
    volatile uint8_t csegundos_sin_tramas_deteccion_usb;
    volatile uint8_t csegundos_sin_tramas_gps_ais;
    volatile uint8_t ctimeout_alarm;
    uint8_t cresultados_configuracion;
    uint8_t cmsg_tx[90];
    uint8_t cmsg[90];
    uint8_t cnombre_ais[35];
    uint8_t cframe_tx[512];
    uint8_t cframe_rx[1600];
    uint8_t csleep;
    uint8_t cid_msg6;
    char cfirmware[20];
    char csn[16];
    // Keeping the report schedule alive: no state in which the transponder
    // answers and the unit never reports again.
    uint32_t lconsulta_tasas_ms;   // millis() at the last reporting-rate query
    uint32_t linforme_debido_ms;   // millis() since when a due report has not gone out
    uint8_t cinforme_debido;       // 1 while a due report has not been transmitted
    uint8_t calarma_informe;       // 1 while the transponder alarm is up for missing reports
    uint8_t crechazos_msg6;        // report loads refused in a row
    uint8_t cidentificar;          // 1: the next recovery identifies the transponder again
};

// The unit's UTC date and time.
struct stFechaHora {
    uint8_t cdia_semana;
    uint8_t cdia_utc;
    uint8_t cmes_utc;
    uint8_t cano_utc;
    uint8_t chora_utc;
    uint8_t cminuto_utc;
    uint8_t csegundo_utc;
    uint8_t cdia_local;
    uint8_t cmes_local;
    uint8_t cano_local;
    uint8_t chora_local;
    uint8_t cminuto_local;
    uint8_t csegundo_local;
    uint8_t cverano_invierno;
};

struct strtc {
    volatile uint8_t ctimeout;
};

// Static data of the AIS station.
struct stconfig_msg_ais {
    uint32_t lmmsi;
    uint32_t lcommunication_state_msg18;
    uint8_t cclass_b_unit_flag_msg18;
    uint8_t cclass_b_display_flag_msg18;
    uint8_t cclass_b_dsc_flag_msg18;
    uint8_t cclass_b_band_flag_msg18;
    uint8_t cclass_b_msg22_flag_msg18;
    uint8_t cassigned_mode_flag_msg18;
    uint8_t craim_flag_msg18;
    uint8_t ccommunication_state_selector_flag_msg18;
    uint16_t idimension_to_bow_msg19;
    uint16_t idimension_to_stern_msg19;
    uint8_t cdimension_to_port_msg19;
    uint8_t cdimension_to_startboard_msg19;
    uint8_t cnombre_msg19[20];
    uint8_t ctype_ship_and_cargo_msg19;
    uint8_t ccall_sing_msg24[7];
    uint8_t cid_vendor_msg24[3];
    uint32_t lserial_number_msg24;
    uint8_t cmodel_code_msg24;
    // 1 when lmmsi comes from a configuration page the unit can trust: read,
    // written whole and in range. Otherwise the transponder keeps its own.
    uint8_t cmmsi_fiable;
};

struct stconfig_power {
    float ftension_alarma_bateria_off;
    float ftension_alarma_bateria_baja;
    float ftension_disable_panel_solar;
    float ftension_enable_panel_solar;
};

// Read by the tick while the loader may be rewriting it; each field is a
// single aligned load.
struct stconfig_external_inputs {
    volatile uint16_t itemporizacion[3];
    volatile uint8_t ctipo[3];
    volatile uint8_t cestado_en_reposo[3];
};

struct stconfig_gps {
    uint8_t csatelites_minimos;
    uint8_t ccalidad_minima;
    uint8_t cminutos_actualizacion_fecha;
};

struct sttest {
    uint8_t crtc_in_time;
    uint8_t test_gps_activo;
    uint8_t test_bateria_activo;
    uint8_t test_corriente_panel_activo;
    uint8_t test_minidips_activo;
    uint8_t test_inputs_outputs;
};

extern stbaliza balizaQ77;
extern stmodulo_gps l76lb;
extern stperiferico periferico1;
extern stFechaHora mvarFechaHora;
extern strtc rtc;
extern stconfig_msg_ais configuracion_ais;
extern stconfig_power configuracion_power;
extern stconfig_external_inputs configuracion_external_inputs;
extern stconfig_gps configuracion_gps;
extern sttest test;

// Period counters of the tick.
extern volatile uint8_t cacciones_100ms;
extern volatile uint8_t cacciones_1s;
extern volatile uint8_t cacciones_1min;

// Main loop.
extern volatile uint8_t clisto;
extern uint8_t cfecha_inicial_puesta;
extern uint32_t TIMEOUT_MODO_TEST_ACTIVO;
extern uint32_t ulTUltimaTramaTestRecibida;

// PC link receive state and reply buffer.
extern uint8_t bufferRx[400];
extern uint8_t iBytesRx;
extern uint32_t mTimeStamp;
extern uint32_t mTimeOut;
extern uint8_t vSalida[150];
extern uint8_t tramaOut[150];

// Shared EEPROM work buffers.
extern uint8_t vArray[150];
extern uint8_t vMemo[130];

// Event record being built.
extern uint8_t cdatos_incidencia[9];

#endif
