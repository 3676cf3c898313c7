// The PC side of the link's frames: the worked frames, and replies picked
// out of a line that also carries console text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame.h"

using zpc::Reply;
using zpc::Request;

namespace {
std::vector<uint8_t> bytes(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

// Everything the scanner made of a line, in order: text as it is, replies as "<reply c/s r n>".
struct Seen {
    std::string log;
    int damaged = 0;
    zpc::ReplyScanner scanner;
    Seen() {
        scanner.on_text = [this](const std::string& t) { log += t; };
        scanner.on_reply = [this](const Reply& r) {
            log += "<reply " + std::to_string(r.command) + "/" + std::to_string(r.subcommand) + " " +
                   std::to_string(r.result) + " " + std::to_string(r.data.size()) + ">";
        };
        scanner.on_damaged = [this] { ++damaged; };
    }
    void feed(const std::string& s) { scanner.feed(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    void feed(const std::vector<uint8_t>& v) { scanner.feed(v.data(), v.size()); }
};

std::string str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }
}  // namespace

TEST(PcFrames, WorkedFramesAndCrc) {
    const std::string check = "123456789";
    EXPECT_EQ(zpc::crc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x4B37);

    EXPECT_EQ(zpc::encode(Request::export_of(256, 16)),
              bytes({0x40, 0x4F, 0x52, 0x56, 0x0D, 0x00, 0x00, 0x00, 0x01, 0x00, 0x10, 0x78, 0x8D}));
    EXPECT_EQ(zpc::encode(Request::test(1, 3)),
              bytes({0x40, 0x4F, 0x52, 0x56, 0x0E, 0x03, 0x01, 0x00, 0x00, 0x00, 0x01, 0x03, 0x0C, 0x87}));

    const auto link_reply = bytes({0x23, 0x4F, 0x52, 0x56, 0x0D, 0x03, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02, 0xD0});
    const auto r = zpc::decode_reply(link_reply.data(), link_reply.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->command, 3);
    EXPECT_EQ(r->subcommand, 1);
    EXPECT_EQ(r->result, 1);
    EXPECT_TRUE(r->data.empty());
    EXPECT_EQ(zpc::encode(*r), link_reply);

    // An export reply of 128 bytes is 141 long and says so.
    Reply big{0, 0, 0, 1, std::vector<uint8_t>(128, 0xAB)};
    const auto f = zpc::encode(big);
    EXPECT_EQ(f.size(), 141u);
    EXPECT_EQ(f[4], 141);
    ASSERT_TRUE(zpc::decode_reply(f.data(), f.size()));
    EXPECT_EQ(zpc::decode_reply(f.data(), f.size())->data, big.data);
}

TEST(PcFrames, ReplySplitInPiecesAmidConsoleText) {
    Seen s;
    const std::string frame = str(zpc::encode(Reply{0, 0, 256, 1, {0x49, 0x14, 0x84, 0x41}}));
    const std::string line = "noise\r\n--> ENTRADA TRAMA TEST <<<<\r\n" + frame + "TEST ECHO\r\n# not a frame\r\n";
    for (char c : line) s.feed(std::string(1, c));   // one byte per read
    s.scanner.flush();
    EXPECT_EQ(s.log, "noise\r\n--> ENTRADA TRAMA TEST <<<<\r\n<reply 0/0 1 4>TEST ECHO\r\n# not a frame\r\n");
    EXPECT_EQ(s.damaged, 0);
}

TEST(PcFrames, NoiseBeforeTheStartAndATextHashThatLooksLikeAStart) {
    Seen s;
    s.feed(bytes({0x00, 0xFF, '#', 'O', 0x07}));   // '#' 'O' then something else: text
    s.feed(zpc::encode(Reply{2, 2, 0, 1, {}}));
    // A text '#ORV' with an impossible length is text too.
    s.feed(std::string("#ORV\x05 rest"));
    s.scanner.flush();
    EXPECT_EQ(s.log, std::string("\x00\xFF#O\x07", 5) + "<reply 2/2 1 0>" + "#ORV\x05 rest");
}

TEST(PcFrames, ABadCrcReplyIsIgnoredAndTheNextOneTaken) {
    Seen s;
    auto bad = zpc::encode(Reply{0, 0, 0, 1, {1, 2, 3}});
    bad[12] ^= 0x01;
    s.feed(bad);
    s.feed(zpc::encode(Reply{0, 0, 0, 1, {1, 2, 3}}));
    s.scanner.flush();
    EXPECT_EQ(s.log, "<reply 0/0 1 3>");
    EXPECT_EQ(s.damaged, 1);

    // A request as the unit gathers it: its own stated length, CRC over what precedes the CRC.
    auto req = zpc::encode(Request::store(0, {9, 8, 7}, true));
    EXPECT_TRUE(zpc::decode_request(req.data(), req.size()));
    req[11] ^= 0x40;
    EXPECT_FALSE(zpc::decode_request(req.data(), req.size()));
}
