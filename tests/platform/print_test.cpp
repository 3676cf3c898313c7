// Text formatting of the core's Print: what the console shows for numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Print.h"

namespace {
class Capture : public Print {
public:
    size_t write(uint8_t c) override {
        text.push_back(static_cast<char>(c));
        return 1;
    }
    using Print::write;
    std::string text;
};

template <typename T, typename... A>
std::string shown(T v, A... a) {
    Capture c;
    c.print(v, a...);
    return c.text;
}
}  // namespace

TEST(PrintNumbers, IntegersInDecimalAndUpperCaseHexWithoutPrefix) {
    EXPECT_EQ(shown(0), "0");
    EXPECT_EQ(shown(-5), "-5");
    EXPECT_EQ(shown(4294967295u), "4294967295");
    EXPECT_EQ(shown(255, HEX), "FF");
    EXPECT_EQ(shown(static_cast<uint8_t>(10), HEX), "A");
    EXPECT_EQ(shown(0, HEX), "0");
    // The target's long is 32 bits: a negative number in hex is its 32-bit pattern.
    EXPECT_EQ(shown(-1, HEX), "FFFFFFFF");
    EXPECT_EQ(shown(static_cast<uint8_t>(200)), "200");   // a byte prints as a number
}

TEST(PrintNumbers, FloatsRoundByAddingHalfOfTheLastDecimal) {
    EXPECT_EQ(shown(12.345f), "12.35");
    EXPECT_EQ(shown(1.23456, 4), "1.2346");
    EXPECT_EQ(shown(2.5, 0), "3");
    EXPECT_EQ(shown(-0.5, 0), "-1");
    EXPECT_EQ(shown(-12.25), "-12.25");
    EXPECT_EQ(shown(0.0), "0.00");
    EXPECT_EQ(shown(0.0049), "0.00");
    EXPECT_EQ(shown(0.005), "0.01");
    EXPECT_EQ(shown(0.1234567891, 10), "0.1234567891");
}

TEST(PrintNumbers, FloatsOutOfRangePrintNanInfOvf) {
    EXPECT_EQ(shown(NAN), "nan");
    EXPECT_EQ(shown(0.0f / 0.0f), "nan");
    EXPECT_EQ(shown(INFINITY), "inf");
    EXPECT_EQ(shown(-INFINITY), "inf");
    EXPECT_EQ(shown(4294967040.0, 0), "4294967040");
    EXPECT_EQ(shown(4294967041.0), "ovf");
    EXPECT_EQ(shown(-4294967041.0), "ovf");
}

TEST(PrintLines, PrintlnEndsWithCarriageReturnAndLineFeed) {
    Capture c;
    c.println("abc");
    c.println(7);
    c.println();
    EXPECT_EQ(c.text, "abc\r\n7\r\n\r\n");
}
