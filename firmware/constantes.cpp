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

const uint8_t cvalores_ascii[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                    '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
const uint32_t lvalores_hexadecimales[8] = {0x1u, 0x10u, 0x100u, 0x1000u, 0x10000u, 0x100000u, 0x1000000u, 0x10000000u};

const uint32_t lpeso[32] = {
    0x00000001u, 0x00000002u, 0x00000004u, 0x00000008u, 0x00000010u, 0x00000020u, 0x00000040u, 0x00000080u,
    0x00000100u, 0x00000200u, 0x00000400u, 0x00000800u, 0x00001000u, 0x00002000u, 0x00004000u, 0x00008000u,
    0x00010000u, 0x00020000u, 0x00040000u, 0x00080000u, 0x00100000u, 0x00200000u, 0x00400000u, 0x00800000u,
    0x01000000u, 0x02000000u, 0x04000000u, 0x08000000u, 0x10000000u, 0x20000000u, 0x40000000u, 0x80000000u};
const uint8_t cpeso[8] = {1, 2, 4, 8, 16, 32, 64, 128};

const char m_trama_gps_ais_off[] = "$PSMT,0,0,0x00000000,0,gpsfilt 0,0*31";
const char m_trama_gps_ais_on[] = "$PSMT,0,0,0x00000000,0,gpsfilt 9,0*38";
const char m_trama_gps_ais_usb[] = "$PSMT,0,0,0x00000000,0,gpsfilt 49,0*0C";
const char m_trama_consulta_aid[] = "$UPANQ,AID*3B";
const char m_trama_consulta_ace[] = "$UPANQ,ACE*30";
const char m_trama_consulta_acf[] = "$UPANQ,ACF*33";
const char m_trama_consulta_mcr[] = "$UPANQ,MCR*2B";
const char m_trama_consulta_aar[] = "$UPANQ,AAR*25";
const char m_trama_tipo_aton[] = "$PSMT,0,0,0x00000000,1,getatontype,7*2E";
const char m_trama_version_firmware[] = "$PSMT,0,0,0x00000000,2,appver,1*51";
const char m_trama_numero_serie[] = "$PSMT,0,0,0x00000000,2,getserno,4*47";
const char m_trama_roe[] = "$PSMT,0,0,0x00000000,1,vswr,5*56";
const char m_trama_tension[] = "$PSMT,0,0,0x00000000,1,vin,6*24";
