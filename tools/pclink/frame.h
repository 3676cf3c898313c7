// The unit's PC link frames as the PC sees them.
//
// Request (PC to unit), header integers most significant byte first:
//   '@' 'O' 'R' 'V'  length  command  subcommand  address(24)  count  data...  CRC-hi CRC-lo
// Reply (unit to PC): the same header after '#', a result byte where the
// request has its count, then the data (length - 13 bytes) and the CRC.
// The CRC is CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF) over every
// byte before it, sent high byte first.
//
// Console text shares the line: a reply is recognised by its tag, a
// plausible length and its CRC; every other byte is console text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zpc {

constexpr size_t kHeader = 11;        // bytes before the data
constexpr size_t kOverhead = 13;      // header and CRC
constexpr size_t kMaxExport = 128;    // data bytes the unit exports or writes in one frame
constexpr size_t kMaxReply = 150;     // the unit's output buffer

uint16_t crc16(const uint8_t* data, size_t n);

struct Request {
    uint8_t command = 0;
    uint8_t subcommand = 0;
    uint32_t address = 0;             // 24 bits
    uint8_t count = 0;                // the data count byte; an export states the bytes wanted here
    std::vector<uint8_t> data;        // at most 242 bytes

    // Command 0: `n` bytes from `address` (n at most 128).
    static Request export_of(uint32_t address, uint8_t n) { return {0, 0, address, n, {}}; }
    // Command 1: store `bytes` at `address`; subcommand 0 also has the unit
    // reload its configuration.
    static Request store(uint32_t address, std::vector<uint8_t> bytes, bool reload) {
        const auto n = static_cast<uint8_t>(bytes.size());
        return {1, static_cast<uint8_t>(reload ? 0 : 1), address, n, std::move(bytes)};
    }
    // Command 3: test and calibration, an action byte and what follows it.
    static Request test(uint8_t subcommand, uint8_t action, std::vector<uint8_t> more = {}) {
        more.insert(more.begin(), action);
        const auto n = static_cast<uint8_t>(more.size());
        return {3, subcommand, 0, n, std::move(more)};
    }
};

struct Reply {
    uint8_t command = 0;
    uint8_t subcommand = 0;
    uint32_t address = 0;
    uint8_t result = 0;               // 1 done, 0 refused or failed
    std::vector<uint8_t> data;
};

std::vector<uint8_t> encode(const Request& r);
std::vector<uint8_t> encode(const Reply& r);   // what the unit sends (test doubles)

// One whole frame, checked: tag, length and CRC. Bytes past the stated
// length are ignored, as the unit ignores them.
std::optional<Request> decode_request(const uint8_t* p, size_t n);
std::optional<Reply> decode_reply(const uint8_t* p, size_t n);

// Separates the bytes coming from the unit into console text and replies,
// in the order they arrived, whatever pieces the line delivers them in.
class ReplyScanner {
public:
    std::function<void(const std::string&)> on_text;
    std::function<void(const Reply&)> on_reply;
    std::function<void()> on_damaged;   // a tagged frame whose CRC is wrong (dropped)

    void feed(const uint8_t* p, size_t n);
    // Held bytes that may still become a frame go out as text (the line has
    // been quiet long enough for a frame to have ended).
    void flush();
    // Bytes held back because they may be the start of a reply.
    size_t held() const { return buf_.size(); }

private:
    void scan(bool final);
    std::string buf_;
};

}  // namespace zpc
