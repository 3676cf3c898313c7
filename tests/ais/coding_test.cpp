// Six-bit coding, the composition of sentences for the transponder, and the
// receive step's bursts.
#include <gtest/gtest.h>

#include <string>

#include "ais_support.h"

using namespace aisfw;

namespace {

std::string composed() {
    return std::string(reinterpret_cast<const char*>(periferico1.cframe_tx), periferico1.ibytes_mensaje_a_tx);
}

std::string compose(const std::function<void()>& f) {
    periferico1.ibytes_mensaje_a_tx = 0;
    f();
    return composed();
}

}  // namespace

TEST(SixBit, PackerWorkedExamples) {
    zsim::Board b(quiet());
    uint8_t buf[8] = {};
    uint8_t idx = 0;
    uint8_t rest = cpartimos_y_codificamos_en_6bits(1, 10, 6, &idx, buf);
    rest = cpartimos_y_codificamos_en_6bits(51, 6, rest, &idx, buf);
    EXPECT_EQ(rest, 2);
    EXPECT_EQ(idx, 2);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 7);
    EXPECT_EQ(buf[2], 12);

    uint8_t full[4] = {};
    idx = 1;
    EXPECT_EQ(cpartimos_y_codificamos_en_6bits(63, 6, 6, &idx, full), 6);
    EXPECT_EQ(idx, 2);
    EXPECT_EQ(full[1], 63);

    // -1 in 28 bits: 28 ones from a fresh value, bits above ignored.
    uint8_t ones[6] = {};
    idx = 0;
    EXPECT_EQ(cpartimos_y_codificamos_en_6bits(0xFFFFFFFFu, 28, 6, &idx, ones), 2);
    EXPECT_EQ(idx, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ones[i], 63);
    EXPECT_EQ(ones[4], 0x3C);
    EXPECT_EQ(ones[5], 0);
}

TEST(SixBit, ArmouringAndScaling) {
    EXPECT_EQ(codificacion_caracteres_ascii_seis_bits(0), '0');
    EXPECT_EQ(codificacion_caracteres_ascii_seis_bits(39), 'W');
    EXPECT_EQ(codificacion_caracteres_ascii_seis_bits(40), '`');
    EXPECT_EQ(codificacion_caracteres_ascii_seis_bits(63), 'w');
    for (uint8_t v = 0; v < 64; ++v) EXPECT_EQ(decodificacion_mensaje_vdo(codificacion_caracteres_ascii_seis_bits(v)), v);
    EXPECT_EQ(decodificacion_mensaje_vdo('6'), 6);
    EXPECT_EQ(reconvertimos_valor_analogico_mensaje6(1254), 250);
    EXPECT_EQ(reconvertimos_valor_analogico_mensaje6(4), 0);
}

TEST(Composition, NumbersTextsAndTheRunningChecksum) {
    zsim::Board b(quiet());
    EXPECT_EQ(compose([] { inserto_variable_periferico(5, 1, ','); }), "5,");
    EXPECT_EQ(compose([] { inserto_variable_periferico(123456789, 9, ','); }), "123456789,");
    EXPECT_EQ(compose([] { inserto_variable_periferico(42, 9, 0); }), "000000042");
    EXPECT_EQ(compose([] { inserto_variable_periferico(42, 0, 0); }), "42");
    EXPECT_EQ(compose([] { inserto_variable_periferico(0, 0, 0); }), "0");
    EXPECT_EQ(compose([] { inserto_variable_periferico(0, 9, ','); }), "000000000,");
    EXPECT_EQ(compose([] { inserto_variable_hex_periferico(46, 2, 1); }), "2E\r\n");
    EXPECT_EQ(compose([] { inserto_variable_hex_periferico(5, 2, 1); }), "05\r\n");
    EXPECT_EQ(compose([] { inserto_variable_hex_periferico(0, 2, 1); }), "00\r\n");
    // Values wider than their digits keep their low digits; no digit leaves the table.
    EXPECT_EQ(compose([] { inserto_variable_periferico(0xFFFFFFFFu, 9, 0); }), "294967295");
    EXPECT_EQ(compose([] { inserto_variable_periferico(0xFFFFFFFFu, 0, 0); }), "4294967295");
    EXPECT_EQ(compose([] { inserto_variable_hex_periferico(0x1FF, 2, 0); }), "FF");
    EXPECT_EQ(compose([] { inserto_variable_hex_periferico(0xABCDEF12u, 0, 0); }), "ABCDEF12");

    EXPECT_EQ(compose([] {
                  inserto_caracter_periferico('$');
                  periferico1.cchecksum_nmea = 0;
                  periferico1.ccalculo_checksum_nmea = 1;
                  inserto_mensaje_periferico("UPANQ,AID");
                  periferico1.ccalculo_checksum_nmea = 0;
                  inserto_caracter_periferico('*');
                  inserto_variable_hex_periferico(periferico1.cchecksum_nmea, 2, 1);
              }),
              "$UPANQ,AID*3B\r\n");
    EXPECT_EQ(periferico1.cchecksum_nmea, 0x3B);

    // The output buffer holds 512 bytes and drops the rest.
    periferico1.ibytes_mensaje_a_tx = 0;
    for (int i = 0; i < 600; ++i) inserto_caracter_periferico('x');
    EXPECT_EQ(periferico1.ibytes_mensaje_a_tx, 512);
}

TEST(ReceiveStep, LineFeedEndsTheBurstOnlyWhileNoCommandIsOutstanding) {
    Bench t;
    periferico1.cextraigo = 2;
    periferico1.ctimeout_alarm = 3;
    const std::string gll = sentence("GPGLL,4322.7364,N,00823.5710,W,134500,A");   // 45 bytes
    const std::string txt = sentence("ANTXT,01,01,07,Idle");                        // 25 bytes
    // Idle: processed as soon as its line feed is in; what follows is the next burst.
    periferico1.ccomando = 0;
    vtime start = t.b.now();
    feed(gll, start);
    feed(txt, start + 60 * kMs);
    t.b.advance(kMs);
    procesamos_periferico();
    EXPECT_LT(t.b.now() - start, 15 * kMs);
    EXPECT_NE(t.console().find("AIS rx (45) =>$GPGLL"), std::string::npos);
    EXPECT_EQ(periferico1.ctimeout_alarm, 10);   // a valid sentence
    t.b.advance(80 * kMs);
    procesamos_periferico();
    EXPECT_NE(t.console().find("AIS rx (25) =>$ANTXT"), std::string::npos);

    // A command outstanding: the burst ends 100 ms after its last byte and
    // takes along what followed within 100 ms, even in several groups.
    periferico1.ccomando = 13;
    t.b.advance(200 * kMs);
    t.clear_console();
    start = t.b.now();
    feed(gll, start);
    feed(txt, start + 60 * kMs);
    feed(txt, start + 150 * kMs);
    t.b.advance(kMs);
    procesamos_periferico();
    const vtime last_byte = start + 150 * kMs + txt.size() * 260417;
    EXPECT_GE(t.b.now(), last_byte + 99 * kMs);
    EXPECT_LT(t.b.now(), last_byte + 110 * kMs);
    EXPECT_EQ(t.console().substr(0, 16), "\r\nAIS rx (95) =>");
    EXPECT_EQ(count(t.console(), "\tProcessing ("), 3u);
}

TEST(ReceiveStep, ABurstKeepsAtMost1600BytesAndTheRestFollows) {
    Bench t;
    periferico1.ccomando = 13;
    std::string junk(2000, 'x');
    feed(junk, t.b.now());
    t.b.advance(kMs);
    periferico1.cextraigo = 2;
    procesamos_periferico();
    EXPECT_NE(t.console().find("AIS rx (1600) =>xxx"), std::string::npos);
    EXPECT_EQ(periferico1.ibytes_rx, 0);
    procesamos_periferico();
    EXPECT_NE(t.console().find("AIS rx (400) =>"), std::string::npos);
    EXPECT_EQ(Serial3.available(), 0);
}

// A sender with 30 ms between its bytes, a command outstanding: the step
// ends after about a second with the sentences complete by then; the one
// cut short stays for the next pass, which completes it.
TEST(ReceiveStep, EndsAfterASecondAndKeepsTheCutSentence) {
    Bench t;
    periferico1.ccomando = 13;
    const std::string s = sentence("PSMT,0,vswr,5,12") + sentence("PSMT,0,vin,6,12600");   // 22 + 24 bytes
    const vtime start = t.b.now();
    for (size_t i = 0; i < s.size(); ++i) feed(s.substr(i, 1), start + i * 30 * kMs);
    t.b.advance(kMs);
    procesamos_periferico();
    EXPECT_GE(t.b.now() - start, 995 * kMs);
    EXPECT_LT(t.b.now() - start, 1050 * kMs);
    EXPECT_EQ(periferico1.ccomando, 14);   // the VSWR reply handled
    EXPECT_GT(periferico1.ibytes_rx, 0);   // the cut sentence kept
    t.b.advance(500 * kMs);
    procesamos_periferico();
    EXPECT_EQ(periferico1.ibytes_rx, 0);
    EXPECT_EQ(periferico1.ccomando, 0);   // the supply reply, whole
    EXPECT_EQ(periferico1.ibateria, 1260);
    EXPECT_EQ(count(t.console(), "Checksum failed"), 0u);
}
