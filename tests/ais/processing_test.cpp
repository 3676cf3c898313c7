// What the unit makes of the transponder's sentences: the transmission
// echo, the replies, the notices, the PC-software detection, and bursts of
// anything at all.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "ais_support.h"

using namespace aisfw;

namespace {

// A Message 6 echo: the payload opens with '6' (message number 6).
std::string echo(char channel = 'A', char first = '6') {
    return sentence(std::string("AIVDO,1,1,,") + channel + "," + first + "1mg=5@01@<KiL4,0", '!');
}

}  // namespace

TEST(Processing, EchoReschedulesTheReload) {
    Bench t;
    t.identified();
    for (const auto& c : {std::pair<uint16_t, uint16_t>{60, 55}, {3, 2}, {0, 0}}) {
        periferico1.ccomando = 0;
        periferico1.ifrecuencia_msg6 = c.first;
        periferico1.itimeout_tx_msg6 = 999;
        t.burst(echo());
        EXPECT_EQ(periferico1.itimeout_tx_msg6, c.second) << c.first;
        EXPECT_EQ(periferico1.ccomando, 13);
    }
    EXPECT_NE(t.console().find("\r\n\tMsg 6 AIS sended => !AIVDO,1,1,,A,6"), std::string::npos);

    // Another message, another channel, or a command outstanding: nothing.
    periferico1.ifrecuencia_msg6 = 60;
    for (const std::string& s : {echo('A', 'E'), echo('C'), echo()}) {
        periferico1.ccomando = s == echo() ? 14 : 0;
        const uint8_t before = periferico1.ccomando;
        periferico1.itimeout_tx_msg6 = 999;
        t.burst(s);
        EXPECT_EQ(periferico1.itimeout_tx_msg6, 999);
        EXPECT_EQ(periferico1.ccomando, before);
    }
    // Own MMSI unknown: the echo starts the identification.
    periferico1.lmmsi = kMmsiDesconocido;
    periferico1.ccomando = 0;
    t.burst(echo());
    EXPECT_EQ(periferico1.ccomando, 4);
    EXPECT_EQ(periferico1.itimeout_tx_msg6, 999);
}

TEST(Processing, ProprietaryRepliesAndTheirTexts) {
    Bench t;
    t.identified();
    periferico1.ccomando = 11;
    periferico1.cesperando_respuesta = 1;
    t.burst(sentence("PSMT,0,appver,1,V2.04.17-build,1234567890"));
    EXPECT_STREQ(periferico1.cfirmware, "V2.04.17-build,1234");   // cut to 19
    EXPECT_EQ(periferico1.ccomando, 12);
    EXPECT_EQ(periferico1.cesperando_respuesta, 0);
    t.burst(sentence("PSMT,0,getserno,4,SN-000000000000042"));
    EXPECT_STREQ(periferico1.csn, "SN-000000000000");   // cut to 15
    EXPECT_EQ(periferico1.ccomando, 13);
    // A reply without its value field leaves an empty text.
    periferico1.ccomando = 12;
    t.burst(sentence("PSMT,0,getserno,4"));
    EXPECT_STREQ(periferico1.csn, "");
    EXPECT_NE(t.console().find("\r\n\tFirmware:V2.04.17-build,1234\r\n\r\n\tSN:SN-000000000000\r\n"),
              std::string::npos);
    // A code without its number changes nothing; another code nothing either.
    periferico1.ccomando = 13;
    periferico1.cesperando_respuesta = 1;
    t.burst(sentence("PSMT,0,vswr,5,") + sentence("PSMT,0,temp,9,21"));
    EXPECT_EQ(periferico1.ccomando, 13);
    EXPECT_EQ(periferico1.cesperando_respuesta, 1);
}

TEST(Processing, ConfigurationCheckNeedsBothAnswers) {
    Bench t;
    t.identified();
    periferico1.ccomando = 7;
    periferico1.cextraigo = 0;
    t.burst(sentence("ANMCR,992241234,SBS,0"));
    EXPECT_EQ(periferico1.ccomando, 7);
    t.burst(sentence("ANMCR,992241234,MSS,0"));
    EXPECT_EQ(periferico1.ccomando, 9);
    EXPECT_EQ(t.console(), "\tBit status => OK\r\n\tConfiguration GLA => OK\r\n");
}

TEST(Processing, ReportingRates) {
    Bench t;
    t.identified();
    periferico1.ccomando = 15;
    const std::string unequal = sentence("ANAAR,992241234,6,4,0,0,100,2250,0,0,0,100,2249");
    t.burst(unequal);
    EXPECT_EQ(periferico1.ifrecuencia_msg6, 0);
    EXPECT_EQ(periferico1.cindice_msg6, 0);
    t.burst(sentence("ANAAR,992241234,6,4,0,0,-1,2250,0,0,0,100,2250"));
    EXPECT_EQ(periferico1.ifrecuencia_msg6, 0);
    t.burst(sentence("ANAAR,992241234,6,4,0,0,100,2250,0,0,0,,2250"));
    EXPECT_EQ(periferico1.ifrecuencia_msg6, 30);
    EXPECT_EQ(periferico1.cindice_msg6, 4);
    EXPECT_EQ(periferico1.ccomando, 15);
    // Message 21 without a start slot, with a type other than 1: random access.
    periferico1.ctipo_aton = 2;
    periferico1.itimeout_tx_msg6 = 77;
    t.burst(sentence("ANAAR,992241234,21,1,0,0,,6750,0,0,0,,6750"));
    EXPECT_EQ(periferico1.ctipo_aton, 3);
    EXPECT_EQ(periferico1.itimeout_tx_msg6, 0);
    EXPECT_EQ(periferico1.ccomando, 11);
    EXPECT_NE(t.console().find("Msg 6 => Frequency:30\tIndex:4\r\n\r\nAis type:Type 3 RATDMA\r\n"), std::string::npos);
}

TEST(Processing, PcSoftwareDetection) {
    {
        Bench t;
        t.identified();
        t.burst(sentence("PSMT,0,status,9,1"));   // idle: nobody asked
        EXPECT_EQ(periferico1.cconexion_software_pc, 1);
        EXPECT_EQ(periferico1.ccomando, 16);
        EXPECT_NE(t.console().find("\r\n\t*********************************\r\n\t\tSofware AIS connected\r\n"
                                   "\t*********************************\r\n"),
                  std::string::npos);
    }

    // A reply to our own command is no sign of a PC; a NAK is, whatever is outstanding.
    Bench u;
    u.identified();
    periferico1.ccomando = 13;
    u.burst(sentence("ANACF,992241234,0,0"));
    EXPECT_EQ(periferico1.cconexion_software_pc, 0);
    u.burst(sentence("AINAK,AI,MEB,992241234,1,Rejected"));
    EXPECT_EQ(periferico1.cconexion_software_pc, 1);
    EXPECT_EQ(periferico1.ccomando, 16);
    EXPECT_NE(u.console().find("\r\n\t\tFrame NAK\r\n\t\t\tMMSI: 992241234\r\n\t\t\tACK: 1\r\n"), std::string::npos);
}

// MMSIs go back out in nine digits: a reply with 0 or ten digits identifies nothing.
TEST(Processing, IdentificationTakesOnlyNineDigitMmsis) {
    Bench t;
    periferico1.lmmsi = kMmsiDesconocido;
    periferico1.lmmsi_destino_msg6 = kMmsiDesconocido;
    periferico1.ccomando = 4;
    t.burst(sentence("AIAID,1992241234,1,0,0,C"));
    EXPECT_EQ(periferico1.lmmsi, kMmsiDesconocido);
    EXPECT_EQ(periferico1.lmmsi_destino_msg6, kMmsiDesconocido);
    t.burst(sentence("AIAID,992241234,1,2241234560,0,C"));
    EXPECT_EQ(periferico1.lmmsi, kOwnMmsi);
    EXPECT_EQ(periferico1.lmmsi_destino_msg6, kMmsiDesconocido);
    t.burst(sentence("AIAID,992241234,1,224123456,0,C"));
    EXPECT_EQ(periferico1.lmmsi_destino_msg6, kDestination);
}

TEST(Processing, BadChecksumsAndLeadingGarbage) {
    Bench t;
    t.identified();
    periferico1.ccomando = 13;
    periferico1.ctimeout_alarm = 2;
    std::string bad = sentence("PSMT,0,vswr,5,99");
    bad[bad.size() - 3] = '0';
    t.burst(bad + "\x07junk" + sentence("PSMT,0,vswr,5,15"));
    EXPECT_EQ(periferico1.iq, 15);
    EXPECT_EQ(periferico1.ctimeout_alarm, 10);
    EXPECT_NE(t.console().find("\r\n$PSMT,0,vswr,5,99*10\r\n\r\nChecksum failed AIS => 1F\r\n"), std::string::npos);
    EXPECT_NE(t.console().find("\tROE level:01.5\r\n"), std::string::npos);
}

// Whatever arrives, the processor stays inside its buffers (ASan watches)
// and its texts stay terminated.
TEST(Processing, AnyBurstStaysInsideTheBuffers) {
    Bench t;
    std::mt19937 rng(11);
    const std::vector<std::string> shapes = {
        "AIVDO,1,1,,A,6", "AIAID,992241234,1,224123456,0", "AIAID,12345678901,1,,0", "AINAK,AI,MEB,1,2",
        "PSMT,0,gpsfilt", "PSMT,0,x,1,", "PSMT,0,x,4,", "PSMT,0,x,6,123", "PSMT,0,x,5", "ANTXT,1,1,62,msg ",
        "ANTXT,1,1,62,msg 6", "ANTXT,1,1,80,USB connected", "ANTXT,1,1,80", "GPGGA", "ANACE,992241234,,,,,,",
        "ANACE,992241234", "ANACF", "ANMCR,992241234,SBS", "ANMCR,992241234,MSS,0", "ANAAR,992241234,6,9,,,-1",
        "ANAAR,992241234,21,1,,,,,,,,,,", "ANAAR,992241234,6,1,0,0,0,4294967295,0,0,0,0,4294967295"};
    const uint8_t states[] = {0, 5, 9, 11, 12, 13, 14, 15, 4, 19};
    for (int round = 0; round < 400; ++round) {
        std::string burst;
        const int n = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < n; ++i) {
            std::string body = shapes[rng() % shapes.size()];
            const int extra = static_cast<int>(rng() % 4 == 0 ? rng() % 300 : rng() % 12);
            for (int k = 0; k < extra; ++k) body.push_back(static_cast<char>(rng() % 3 == 0 ? ',' : 32 + rng() % 95));
            std::string s = sentence(body, rng() % 3 == 0 ? '!' : '$');
            if (rng() % 5 == 0) s.erase(s.size() - 1 - rng() % 4);   // cut short, line end lost
            if (rng() % 7 == 0) s.insert(0, std::string(rng() % 5, static_cast<char>(rng())));
            burst += s;
        }
        if (rng() % 10 == 0) {
            burst.assign(rng() % 1700, '\0');
            for (char& c : burst) c = static_cast<char>(rng());
        }
        periferico1.ccomando = states[rng() % sizeof states];
        periferico1.lmmsi = rng() % 4 == 0 ? kMmsiDesconocido : kOwnMmsi;
        periferico1.lmmsi_destino_msg6 = kMmsiDesconocido;
        periferico1.cconexion_software_pc = static_cast<uint8_t>(rng() % 2);
        periferico1.cextraigo = static_cast<uint8_t>(rng() % 2);
        const size_t len = burst.size() < sizeof periferico1.cframe_rx ? burst.size() : sizeof periferico1.cframe_rx;
        memcpy(periferico1.cframe_rx, burst.data(), len);
        periferico1.ibytes_rx = static_cast<uint16_t>(len);
        procesamos_trama_rx_ais();
        ASSERT_EQ(periferico1.cfirmware[19], 0);
        ASSERT_EQ(periferico1.csn[15], 0);
        t.clear_console();
    }
}
