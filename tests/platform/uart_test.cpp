// Serial ports: receive ring limits, transmit pacing at the baud rate.
#include <gtest/gtest.h>

#include <string>

#include "Arduino.h"
#include "board.h"

using zsim::Board;
using zplat::kMs;

namespace {
constexpr zplat::vtime kByte38400 = 260417;   // 10 bit times
}

TEST(UartTransmit, BytesLeaveAtTheBaudRateAndFlushWaitsForTheLast) {
    Board b;
    Serial0.begin(38400);
    const auto t0 = b.now();
    for (int i = 0; i < 100; ++i) Serial0.write(static_cast<uint8_t>('a' + i % 26));
    EXPECT_LT(b.now() - t0, 2 * kMs);   // the ring takes them without waiting
    Serial0.flush();
    const auto sent = b.now() - t0;
    EXPECT_GE(sent, 100 * kByte38400);
    EXPECT_LT(sent, 100 * kByte38400 + kMs);
    ASSERT_EQ(b.console().size(), 100u);
    EXPECT_EQ(b.console().substr(0, 3), "abc");
}

TEST(UartTransmit, PrintingBlocksWhileTheRingIsFull) {
    Board b;
    Serial0.begin(38400);
    const auto t0 = b.now();
    for (int i = 0; i < 1000; ++i) Serial0.write('x');
    // 512 queued; the rest had to wait for room.
    const auto waited = b.now() - t0;
    EXPECT_GE(waited, (1000 - 512) * kByte38400);
    EXPECT_LT(waited, (1000 - 512 + 4) * kByte38400);
    Serial0.flush();
    EXPECT_EQ(b.console(), std::string(1000, 'x'));
}

TEST(UartReceive, RingHoldsAtMost511BytesAndLosesTheRest) {
    Board b;
    Serial1.begin(9600);
    std::string burst(600, 'g');
    Serial1.host_feed(reinterpret_cast<const uint8_t*>(burst.data()), burst.size(), b.now(), 9600);
    b.advance(700 * kMs);   // 600 bytes at 9600 baud take 625 ms
    EXPECT_EQ(Serial1.available(), 511);
    EXPECT_EQ(Serial1.host_rx_lost(), 89u);
    int n = 0;
    while (Serial1.available() > 0 && Serial1.read() == 'g') ++n;
    EXPECT_EQ(n, 511);
    EXPECT_EQ(Serial1.read(), -1);
}

TEST(UartReceive, BytesArriveAtTheirTimeOnlyOnAnOpenPortAtTheSameBaud) {
    Board b;
    const uint8_t msg[] = {'$', 'G', 'P'};
    Serial1.host_feed(msg, 3, b.now(), 9600);   // port still closed
    b.advance(10 * kMs);
    Serial1.begin(9600);
    EXPECT_EQ(Serial1.available(), 0);

    Serial1.host_feed(msg, 3, b.now(), 9600);
    b.advance(2 * kMs);   // one byte takes 1.04 ms
    EXPECT_EQ(Serial1.available(), 1);
    b.advance(2 * kMs);
    EXPECT_EQ(Serial1.available(), 3);
    EXPECT_EQ(Serial1.read(), '$');

    Serial1.begin(38400);   // wrong speed: garbage, not the bytes
    Serial1.host_feed(msg, 3, b.now(), 9600);
    b.advance(10 * kMs);
    ASSERT_EQ(Serial1.available(), 3);
    EXPECT_NE(Serial1.read(), '$');
}
