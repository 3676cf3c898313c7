// The NMEA toolkit on plain byte strings. Each string sits in a buffer of
// exactly its own size, so a read past its end shows under the sanitizer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "gps_fw_support.h"

namespace {
struct Bytes {
    std::vector<uint8_t> v;
    explicit Bytes(const std::string& s) : v(s.begin(), s.end()) {}
    const uint8_t* p() const { return v.data(); }
    uint16_t size() const { return static_cast<uint16_t>(v.size()); }
    uint8_t count() const { return static_cast<uint8_t>(v.size()); }
};
}  // namespace

TEST(NmeaToolkit, ByteClasses) {
    for (int c = 0; c < 256; ++c) {
        uint8_t expected = 0xFF;   // lower-case hexadecimal letters included
        if (c >= '0' && c <= '9') expected = static_cast<uint8_t>(c - '0');
        if (c >= 'A' && c <= 'F') expected = static_cast<uint8_t>(c - 'A' + 10);
        if (c == ' ') expected = 0xFC;
        if (c == '-') expected = 0xFD;
        if (c == '.') expected = 0xFE;
        EXPECT_EQ(desconversion_ascii(static_cast<uint8_t>(c)), expected) << "byte " << c;
    }
}

TEST(NmeaToolkit, FieldsByCommaCount) {
    const Bytes zda("$GPZDA,1,2*4B\r\n");
    const uint16_t positions[] = {0, 7, 9, 11, 11};   // fields 0..4; past the last: just after the '*'
    for (uint8_t f = 0; f < 5; ++f) EXPECT_EQ(busqueda_campo(f, zda.p(), 0, zda.size()), positions[f]) << int(f);
    const Bytes open("$GPZDA");
    EXPECT_EQ(busqueda_campo(1, open.p(), 0, open.size()), 6);   // neither comma nor '*': the end

    const Bytes x("$X,1,,3*76\r\n");
    uint32_t u = 77;
    EXPECT_EQ(extraccion_dato_nmea(2, x.p(), 0, x.size(), &u), 0);
    EXPECT_EQ(u, 77u);   // empty: untouched
    for (uint8_t past : {4, 200, 255}) EXPECT_EQ(extraccion_dato_nmea(past, x.p(), 0, x.size(), &u), 0);
    EXPECT_EQ(u, 77u);   // a field past the last is no field
    EXPECT_EQ(extraccion_dato_nmea(3, x.p(), 0, x.size(), &u), 1);
    EXPECT_EQ(u, 3u);

    const Bytes two("$A,1*5C\r\n$B,2,-3*6E\r\n");   // a sentence inside a buffer
    int32_t i = 0;
    EXPECT_EQ(extraccion_dato_con_signo_nmea(2, two.p(), 9, two.size(), &i), 1);
    EXPECT_EQ(i, -3);

    struct Signed {
        const char* sentence;
        int32_t value;
    } signed_cases[] = {{"$Y,-25*5F", -25}, {"$Y,25*72", 25}, {"$Y,-*58", 0}, {"$Y,-2147483648*5D", INT32_MIN}};
    for (const Signed& c : signed_cases) {
        const Bytes b(c.sentence);
        EXPECT_EQ(extraccion_dato_con_signo_nmea(1, b.p(), 0, b.size(), &i), 1) << c.sentence;
        EXPECT_EQ(i, c.value) << c.sentence;
    }
    struct Real {
        const char* sentence;
        uint8_t result;
        float value;
    } real_cases[] = {{"$Z,,1*6B", 0, 42.0f},   // empty: untouched
                      {"$Z,0.5*5D", 1, 0.5f},
                      {"$Z,-12.25*71", 1, -12.25f},
                      {"$Z,12*75", 1, 12.0f}};
    for (const Real& c : real_cases) {
        const Bytes b(c.sentence);
        float f = 42.0f;
        EXPECT_EQ(extraccion_dato_nmea_float(1, b.p(), 0, b.size(), &f), c.result) << c.sentence;
        EXPECT_FLOAT_EQ(f, c.value) << c.sentence;
    }
}

TEST(NmeaToolkit, ConversionsSkipWhatIsNotADigit) {
    struct Case {
        const char* text;
        uint32_t value;
    } cases[] = {{"4807.12345", 480712345u},
                 {"A5", 5u},
                 {"5,", 5u},
                 {"4294967295", 4294967295u},
                 {"12345678901", 2345678901u}};   // ten digits at most
    for (const Case& c : cases) {
        const Bytes b(c.text);
        EXPECT_EQ(conversion_ascii_decimal(0, b.count(), b.p()), c.value) << c.text;
    }
    struct Real {
        const char* text;
        float value;
    } reals[] = {{"1.2.3", 12.3f}, {"3-", -3.0f}, {".5", 0.5f}, {"0.1234567890", 0.123456789f}};
    for (const Real& c : reals) {
        const Bytes b(c.text);
        EXPECT_FLOAT_EQ(conversion_ascii_float(0, b.count(), b.p()), c.value) << c.text;
    }
    const Bytes any("987");
    EXPECT_EQ(conversion_ascii_decimal(0, 0, any.p()), 0u);
    EXPECT_EQ(conversion_ascii_float(0, 0, any.p()), 0.0f);
}

TEST(NmeaToolkit, ChecksumNeedsTwoUpperCaseDigitsInsideTheSentence) {
    struct Case {
        const char* sentence;
        uint8_t result, computed;
    } cases[] = {
        {"$PMTK313,1*2E", 1, 0x2E},
        {"$PMTK313,1*2E\r\n", 1, 0x2E},
        {"$PMTK313,1*2e", 0, 0x2E},   // lower case
        {"$PMTK313,1*2F", 0, 0x2E},
        {"$PMTK313,1", 0, 0x2E},     // no '*'
        {"$PMTK313,1*2", 0, 0x2E},   // one digit inside the sentence
        {"$PMTK313,1*2\n2", 0, 0x2E},
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47", 1, 0x47},
        {"!AIVDM,1,1,,B,6>jHCW<00000>da6h000800,2*78", 1, 0x78},
    };
    for (const Case& c : cases) {
        const std::string s = c.sentence;
        const Bytes b(s);
        const uint16_t end = static_cast<uint16_t>(s.find('\n') == std::string::npos ? s.size() : s.find('\n'));
        uint8_t computed = 0xAA;
        EXPECT_EQ(comprobacion_checksum_nmea(b.p(), 0, end, &computed), c.result) << c.sentence;
        EXPECT_EQ(computed, c.computed) << c.sentence;
    }
}

TEST(NmeaToolkit, TextAndByteSearches) {
    const Bytes gp("$GPGGA,1*4B");
    const Bytes gn("$GNGGA,1*55");
    EXPECT_EQ(comparacion(3, gp.p(), "GGA", 0), 1);
    EXPECT_EQ(comparacion(3, gn.p(), "GGA", 0), 1);
    EXPECT_EQ(comparacion(3, gp.p(), "VTG", 0), 0);
    EXPECT_EQ(comparacion(3, gp.p(), "GGA", 3), 1);
    EXPECT_EQ(comparacion(3, gp.p(), "GGA", 4), 0);   // a length that is not the text's

    struct Search {
        const char* buffer;
        const char* text;
        uint16_t start, result;
    } searches[] = {
        {"xx$GPZDA,1", "$GPZDA", 0, 8},   {"$GPZDA", "$GPZDA", 0, 6}, {"$GPGGA,1", "$GPZDA", 0, 0xFFFF},
        {"$$GPZDA", "$GPZDA", 0, 0xFFFF},   // a mismatching byte is not retried as the first
        {"$$GPZDA", "$GPZDA", 1, 7},      {"abc", "", 0, 0xFFFF},
    };
    for (const Search& c : searches) {
        const Bytes b(c.buffer);
        EXPECT_EQ(busqueda_trama(b.p(), c.text, b.size(), c.start), c.result) << c.buffer << " / " << c.text;
    }

    const Bytes b("$A*41\r\n$B*42\r\n$C");
    EXPECT_EQ(ibusqueda_dato_en_buffer_rx(b.p(), '\n', 1, 0, b.size()), 6);
    EXPECT_EQ(ibusqueda_dato_en_buffer_rx(b.p(), '\n', 2, 0, b.size()), 13);
    EXPECT_EQ(ibusqueda_dato_en_buffer_rx(b.p(), '\n', 1, 14, b.size()), b.size());   // none left: the end
    EXPECT_EQ(ibusqueda_dato_en_buffer_rx(b.p(), '$', 1, 3, 3), 4);                   // start at the end
    gpsfw::Bench t;
    l76lb.ibytes_rx = 10;   // the GPS variant ends at the burst's byte count
    EXPECT_EQ(ibusqueda_dato_gps(b.p(), '\n', 1, 7), 10);
}

TEST(NmeaToolkit, PositionInTenThousandthsOfAMinute) {
    EXPECT_EQ(conversor_a_diezmilesimas(48, 7, 383, 'S'), -28870383);
    EXPECT_EQ(conversor_a_diezmilesimas(48, 7, 383, 'N'), 28870383);
    EXPECT_EQ(conversor_a_diezmilesimas(8, 23, 5710, 'W'), -5035710);
    EXPECT_EQ(conversor_a_diezmilesimas(8, 23, 5710, 'E'), 5035710);
    EXPECT_EQ(conversor_a_diezmilesimas(8, 23, 5710, 0), 5035710);
    EXPECT_EQ(conversor_a_diezmilesimas(180, 0, 0, 'W'), -108000000);
}

// Every line of real receiver logs, junk included: the checksum routine
// agrees with a plain computation, and the unit's fields decode in range.
TEST(NmeaToolkit, RealReceiverLogs) {
    const char* files[] = {"mt3339.log",
                           "hemi.log",
                           "gp-320fw-2019-04-07-coldboot.log",
                           "quectel-l76k-nmea.log",
                           "mtk-3301.log",
                           "firefly-II.log",
                           "bu353-glonass.log",
                           "ublox-lea-5q.log"};
    size_t lines_read = 0, valid = 0;
    for (const char* name : files) {
        for (const std::string& line : gpsfw::log_lines(name)) {
            ++lines_read;
            const Bytes b(line);
            bool expected = false;
            const size_t star = line.find('*', 1);
            if (star != std::string::npos && star + 2 < line.size()) {
                unsigned x = 0;
                for (size_t i = 1; i < star; ++i) x ^= static_cast<uint8_t>(line[i]);
                char hex[3];
                snprintf(hex, sizeof hex, "%02X", x);
                expected = line.compare(star + 1, 2, hex) == 0;
            }
            uint8_t computed = 0;
            const bool ok = comprobacion_checksum_nmea(b.p(), 0, b.size(), &computed) == 1;
            ASSERT_EQ(ok, expected) << name << ": " << line;
            if (!ok || line.size() < 6) continue;
            ++valid;
            float f = 0;
            if (comparacion(3, b.p(), "GGA", 0) && extraccion_dato_nmea_float(8, b.p(), 0, b.size(), &f)) {
                EXPECT_TRUE(f >= 0.0f && f <= 99.99f) << line;   // HDOP
            }
            if (comparacion(3, b.p(), "ZDA", 0) && extraccion_dato_nmea_float(3, b.p(), 0, b.size(), &f)) {
                EXPECT_TRUE(f >= 1.0f && f <= 12.0f) << line;   // month
            }
        }
    }
    if (lines_read == 0) GTEST_SKIP() << "no receiver logs in " ZELMORA_TESTDATA_DIR;
    EXPECT_GT(valid, 1000u);
}
