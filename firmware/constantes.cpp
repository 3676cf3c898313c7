#include "constantes.h"

const char m_fabricante[] = "Talleres Nauticos Zelmora";
const char m_lema[] = "Luz que guia, dato que vuelve";
const char m_fin_setup[] = "------------>>>>>>>>>>>>>>>    END SETUP <<<<<<<<<<<<<<<--------------";

const uint32_t lvalores_decimales[10] = {1u,      10u,      100u,      1000u,      10000u,
                                         100000u, 1000000u, 10000000u, 100000000u, 1000000000u};

const uint8_t m_meses[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const uint8_t m_meses_bisiesto[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

const char m_trama_configuracion_gps[] = "$PMTK314,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0,1,0,0,0,0*35";
const char m_trama_enable_sbass[] = "$PMTK313,1*2E";
const char m_trama_respuesta_ack[] = "$PMTK001";
const char m_trama_respuesta_configuracion[] = "$PMTK";

const uint8_t m_desconversion_ascii[39] = {
    0xFC,                                                                     // ' '
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,   // '!' .. ','
    0xFD, 0xFE, 0xFF,                                                         // '-' '.' '/'
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9,                                             // '0' .. '9'
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,                                 // ':' .. '@'
    10, 11, 12, 13, 14, 15,                                                   // 'A' .. 'F'
};
