#include "constantes.h"

const char m_fabricante[] = "Talleres Nauticos Zelmora";
const char m_lema[] = "Luz que guia, dato que vuelve";
const char m_fin_setup[] = "------------>>>>>>>>>>>>>>>    END SETUP <<<<<<<<<<<<<<<--------------";

const uint32_t lvalores_decimales[10] = {1u,      10u,      100u,      1000u,      10000u,
                                         100000u, 1000000u, 10000000u, 100000000u, 1000000000u};

const uint8_t m_meses[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const uint8_t m_meses_bisiesto[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
