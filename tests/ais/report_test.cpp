// The Message 6 monitoring report: its 446-bit payload, its printout, and
// the three MEB sentences that load it into the transponder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ais_support.h"

using namespace aisfw;

namespace {

// Everything the payload reads, at zero: a fix at 0 N 0 E.
void zero_inputs() {
    balizaQ77 = stbaliza{};
    l76lb = stmodulo_gps{};
    l76lb.cposicion_gps = 1;
    configuracion_ais = stconfig_msg_ais{};
    periferico1.iq = 0;
    periferico1.cid_msg6 = 0;
}

// A fix off Galicia, the battery charging, the default image's station.
void live_inputs() {
    balizaQ77.fbateria = 12.54f;
    balizaQ77.fcorriente_panel_solar = 1.25f;
    balizaQ77.famperios_hora_panel_solar_acumulados = 3.5f;
    balizaQ77.cstatus_mppt = 1;
    periferico1.iq = 15;
    l76lb.fspeed_gps_knots[0] = 0.5f;
    l76lb.fspeed_gps_knots[1] = 1.5f;
    l76lb.cmuestra_valida_speed = 2;
    l76lb.frumbo_gps[0] = 90.0f;
    l76lb.frumbo_gps[1] = 100.0f;
    l76lb.cmuestra_valida_rumbo = 2;
    l76lb.cgrados_latitud = 43;
    l76lb.cminutos_latitud = 22;
    l76lb.idiez_milesimas_minutos_latitud = 7364;
    l76lb.cnorte_sur = 'N';
    l76lb.cgrados_longitud = 8;
    l76lb.cminutos_longitud = 23;
    l76lb.idiez_milesimas_minutos_longitud = 5710;
    l76lb.ceste_oeste = 'W';
    l76lb.csegundo_zda = 42;
    l76lb.cfix_status = 1;
    l76lb.cposicion_gps = 1;
}

std::string armoured() {
    return std::string(reinterpret_cast<const char*>(periferico1.cmsg_tx + 1), periferico1.cmsg_tx[0]);
}

std::string composed_text() {
    return std::string(reinterpret_cast<const char*>(periferico1.cframe_tx), periferico1.ibytes_mensaje_a_tx);
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> v;
    for (size_t p = 0, q; (q = s.find("\r\n", p)) != std::string::npos; p = q + 2) v.push_back(s.substr(p, q + 2 - p));
    return v;
}

}  // namespace

TEST(Report, AllZeroPayload) {
    Bench t;
    zero_inputs();
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    ASSERT_EQ(periferico1.cmsg_tx[0], 75);
    const std::string bits = payload_bits();
    std::string expected(450, '0');
    expected[9] = '1';
    expected.replace(10, 6, "110011");
    expected.replace(150, 9, "111111111");
    EXPECT_EQ(bits, expected);
    EXPECT_EQ(armoured().size(), 75u);
    EXPECT_EQ(periferico1.cid_msg6, 1);
    for (size_t i = 75; i < sizeof periferico1.cmsg; ++i) EXPECT_EQ(periferico1.cmsg[i], 0);
}

TEST(Report, FieldsAtTheirBits) {
    Bench t;
    zero_inputs();
    periferico1.cid_msg6 = 255;
    l76lb.cgrados_longitud = 0;
    l76lb.idiez_milesimas_minutos_longitud = 1;
    l76lb.ceste_oeste = 'W';
    balizaQ77.fbateria = 12.54f;
    balizaQ77.cstatus_mppt = 3;
    balizaQ77.calarma_bateria = 1;
    memcpy(configuracion_ais.cnombre_msg19, "ABC", 3);
    configuracion_ais.cmodel_code_msg24 = 5;
    l76lb.cmuestra_valida_speed = 0;   // no samples: speed and course 0
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    const std::string bits = payload_bits();
    EXPECT_EQ(bits_value(bits, 16, 8), 255u);
    EXPECT_EQ(bits_value(bits, 438, 8), 255u);
    EXPECT_EQ(periferico1.cid_msg6, 0);
    EXPECT_EQ(bits_value(bits, 24, 10), 250u);
    EXPECT_EQ(bits_value(bits, 54, 8), 7u);
    EXPECT_EQ(bits.substr(83, 28), std::string(28, '1'));
    EXPECT_EQ(bits_value(bits, 72, 10), 0u);
    EXPECT_EQ(bits_value(bits, 138, 12), 0u);
    EXPECT_EQ(bits.substr(192, 18), "000001000010000011");
    EXPECT_EQ(bits.substr(210, 102), std::string(102, '0'));
    // Message 24 block with the model code alone.
    EXPECT_EQ(bits.substr(354, 42), std::string(18, '0') + "0101" + std::string(20, '0'));
    EXPECT_EQ(bits.substr(446), "0000");

    configuracion_ais.cmodel_code_msg24 = 0;
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    EXPECT_EQ(payload_bits().substr(354, 42), std::string(42, '0'));
}

// Before the first valid fix the position block says "not available", as
// every receiver reads it, instead of a beacon at 0 N 0 E.
TEST(Report, NoFixSinceStartUpIsNotAvailable) {
    Bench t;
    live_inputs();
    l76lb.cposicion_gps = 0;
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    const std::string bits = payload_bits();
    EXPECT_EQ(bits_value(bits, 72, 10), 1023u);                 // speed
    EXPECT_EQ(bits_value(bits, 83, 28), 181u * 600000u);        // longitude 181
    EXPECT_EQ(bits_value(bits, 111, 27), 91u * 600000u);        // latitude 91
    EXPECT_EQ(bits_value(bits, 138, 12), 3600u);                // course
    EXPECT_EQ(bits_value(bits, 159, 6), 60u);                   // time stamp
    EXPECT_EQ(bits_value(bits, 24, 10), 250u);                  // the rest as ever
}

// The GPS and input alarms reach the status byte as the event log has them.
TEST(Report, AlarmsInTheStatusByte) {
    Bench t;
    auto status = [] {
        codifico_datos_trama_nmea_mensaje_6_zelmora();
        return bits_value(payload_bits(), 54, 8);
    };
    balizaQ77.cstatus_mppt = 1;
    EXPECT_EQ(status(), 1u);
    enable_alarma(6);
    EXPECT_EQ(status(), 1u + 8);
    enable_alarma(2);
    enable_alarma(3);
    enable_alarma(4);
    EXPECT_EQ(status(), 1u + 8 + 16 + 32 + 64);
    disable_alarma(3);
    disable_alarma(6);
    EXPECT_EQ(status(), 1u + 16 + 64);
    enable_alarma(1);   // the charger switched off is not reported
    EXPECT_EQ(status(), 1u + 16 + 64);
}

TEST(Report, CarriesTheStationOfTheDefaultImage) {
    Bench t;
    live_inputs();
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    const std::string bits = payload_bits();
    auto text = [&](size_t from, size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back("@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_ !\"#$%&'()*+,-./0123456789:;<=>?"
                                                     [bits_value(bits, from + 6 * i, 6)]);
        return s;
    };
    EXPECT_EQ(text(192, 20), "ZELMORA NORTE@@@@@@@");
    EXPECT_EQ(text(354, 3) + "/" + std::to_string(bits_value(bits, 372, 24)), "ZLM/" + std::to_string((1u << 20) | 4711u));
    EXPECT_EQ(text(396, 7), "EAZN1@@");
    EXPECT_EQ(bits.substr(165, 27), "10011001" "1100000000000000110");   // flags, then the CS default communication state
    EXPECT_EQ(static_cast<int32_t>(bits_value(bits, 83, 28) << 4) >> 4, -5035710);
    EXPECT_EQ(bits_value(bits, 111, 27), 26027364u);
    EXPECT_EQ(bits_value(bits, 72, 10), 10u);
    EXPECT_EQ(bits_value(bits, 138, 12), 950u);
}

TEST(Report, PrintoutAtLevelOne) {
    Bench t;
    live_inputs();
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    EXPECT_EQ(t.console(),
              "**********      Msg 6 ORV      **********\r\n"
              "\tID msg:0\r\n"
              "\tBattery:12.54\t250\r\n"
              "\tI solar panel:1.25\t25\r\n"
              "\tI solar panel accumulated:3.50\t70\r\n"
              "\tStatus and alarms:1\r\n"
              "\tROE AIS:15\r\n"
              "**********      Msg 18      **********\r\n"
              "\tSpeed Over Ground:1.00\r\n"
              "\tPosition Accuracy:0\r\n"
              "\tLongitude:008*23.5710W\t-5035710\r\n"
              "\tLatitude:43*22.7364N\t26027364\r\n"
              "\tCourse Over Ground:95.00\r\n"
              "\tTrue Heading:511\r\n"
              "\tTime Stamp:42\r\n"
              "\tCS Unit:1\r\n"
              "\tDisplay flag:0\r\n"
              "\tDSC Flag:0\r\n"
              "\tBand flag:1\r\n"
              "\tMessage 22 flag:1\r\n"
              "\tAssigned mode flag:0\r\n"
              "\tRAIM flag:0\r\n"
              "\tCommunication state selector flag:1\r\n"
              "\tCommunication state:393222\r\n"
              "**********      Msg 19      **********\r\n"
              "\tName:ZELMORA NORTE\r\n"
              "\tType of ship and cargo:0\r\n"
              "\tDimension ship:\r\n"
              "\t\tTo bow:2\tTo stern:2\r\n"
              "\t\tTo port:1\tTo Starboard:1\r\n"
              "\tPosition Fix Type:1\r\n"
              "**********      Msg 24      **********\r\n"
              "\tVendor ID:ZLM\tModel code:1\r\n"
              "\tSerial number:4711\r\n"
              "\tCall sing:EAZN1\r\n");

    // Level 2 adds the samples and the packing detail.
    t.clear_console();
    periferico1.cextraigo = 2;
    codifico_datos_trama_nmea_mensaje_6_zelmora();
    const std::string c = t.console();
    EXPECT_EQ(c.substr(0, c.find("Bytes: ")),
              "Bits MSG6:\r\nMuestras speed (2) =>0.50 1.50 /1.00\r\nMuestras rumbo(2) =>90.00 100.00 /95.00\r\n\r\n");
    EXPECT_NE(c.find("Bytes: 75 Rest bits: 4 Data: 00 "), std::string::npos);
    EXPECT_NE(c.find("\r\nEncoded (75) => " + armoured() + "\r\n**********      Msg 6 ORV"), std::string::npos);
    EXPECT_NE(c.find("\tID msg:1\r\n"), std::string::npos);
}

TEST(Report, ThreeMebSentences) {
    Bench t;
    t.identified();
    live_inputs();
    periferico1.ifrecuencia_msg6 = 30;
    periferico1.cindice_msg6 = 3;
    periferico1.ctipo_aton = 3;
    periferico1.cextraigo = 0;
    composicion_tramas_meb_mensaje6();
    const std::string chars = armoured();
    const std::vector<std::string> s = lines_of(composed_text());
    ASSERT_EQ(s.size(), 3u);
    const char fill[3] = {'0', '0', '2'};
    for (size_t k = 0; k < 3; ++k) {
        const std::string body = "AIMEB,3," + std::to_string(k + 1) + ",0,0,992241234,6,3,1,224123456,0,C," +
                                 chars.substr(25 * k, 25) + "," + fill[k];
        EXPECT_EQ(s[k], sentence(body, '!'));
    }
    EXPECT_EQ(periferico1.itimeout_tx_msg6, 30);
}
