// Reply frames and console text from the unit into tools/pclink: the frame
// parsers, the scanner that tells replies from text, and the link gathering
// both while it waits for a reply.
//
// State bytes: 0 how the line splits what arrives into pieces; 1 the request
// the link waits for (command, subcommand, address).
#include <string>
#include <vector>

#include "frame.h"
#include "fuzz.h"
#include "link.h"

namespace zfuzz {

namespace {
const char* const kName = "pclink";

// What a scanner reported, in order: text (adjacent pieces joined), a
// reply, or a dropped frame.
struct Event {
    char kind;   // 't', 'r', 'd'
    std::string bytes;
    bool operator==(const Event& o) const { return kind == o.kind && bytes == o.bytes; }
};

struct Recorder {
    std::vector<Event> events;
    void text(const std::string& t) {
        if (t.empty()) return;
        if (!events.empty() && events.back().kind == 't') events.back().bytes += t;
        else events.push_back({'t', t});
    }
    void reply(const zpc::Reply& r) {
        const std::vector<uint8_t> f = zpc::encode(r);
        events.push_back({'r', std::string(f.begin(), f.end())});
    }
    void hook(zpc::ReplyScanner& s) {
        s.on_text = [this](const std::string& t) { text(t); };
        s.on_reply = [this](const zpc::Reply& r) { reply(r); };
        s.on_damaged = [this] { events.push_back({'d', ""}); };
    }
};

// Piece sizes 1..32 from a small generator seeded by the input.
std::vector<size_t> pieces(uint8_t how, size_t total) {
    std::vector<size_t> out;
    uint32_t x = 0x2545F491u ^ how;
    for (size_t done = 0; done < total;) {
        x = x * 1103515245u + 12345u;
        size_t n = how == 0 ? total : 1 + (x >> 16) % (how % 32 + 1);
        if (n > total - done) n = total - done;
        out.push_back(n);
        done += n;
    }
    return out;
}

// The unit's end of the line: what came in, in the input's pieces; then
// the line hangs up, which ends the link's wait at once.
class Script : public zpc::Line {
public:
    Script(const std::string& bytes, std::vector<size_t> sizes) : bytes_(bytes), sizes_(std::move(sizes)) {}
    void write_all(const uint8_t*, size_t n, zpc::Clock::time_point) override { written_ += n; }
    size_t read_some(uint8_t* buf, size_t cap, zpc::Clock::time_point) override {
        if (next_ >= sizes_.size()) throw zpc::LineError("hung up");
        size_t n = sizes_[next_++];
        if (n > cap) n = cap;
        std::copy(bytes_.begin() + static_cast<long>(at_), bytes_.begin() + static_cast<long>(at_ + n), buf);
        at_ += n;
        if (n < sizes_[next_ - 1]) {
            sizes_[--next_] -= n;   // the rest of this piece next time
        }
        return n;
    }
    size_t written() const { return written_; }

private:
    std::string bytes_;
    std::vector<size_t> sizes_;
    size_t next_ = 0, at_ = 0, written_ = 0;
};
}  // namespace

void run_pclink(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t how = in.byte(), which = in.byte();
    const std::string bytes(in.rest());
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());

    // A frame decoded is the frame encoded again.
    if (const auto r = zpc::decode_reply(p, bytes.size())) {
        const std::vector<uint8_t> f = zpc::encode(*r);
        ZFUZZ_CHECK(kName, bytes.compare(0, f.size(), std::string(f.begin(), f.end())) == 0, "reply does not encode back");
    }
    if (const auto r = zpc::decode_request(p, bytes.size())) {
        const std::vector<uint8_t> f = zpc::encode(*r);
        ZFUZZ_CHECK(kName, bytes.compare(0, f.size(), std::string(f.begin(), f.end())) == 0, "request does not encode back");
    }

    // Whole, and in the input's pieces: the same text and replies.
    Recorder whole, split;
    zpc::ReplyScanner a, b;
    whole.hook(a);
    split.hook(b);
    a.feed(p, bytes.size());
    a.flush();
    size_t at = 0;
    for (size_t n : pieces(how, bytes.size())) {
        b.feed(p + at, n);
        at += n;
    }
    b.flush();
    ZFUZZ_CHECK(kName, a.held() == 0 && b.held() == 0, "bytes held after the line went quiet");
    ZFUZZ_CHECK(kName, whole.events == split.events, "the scanner depends on how the line splits the bytes");

    // Every byte is accounted for, in order: text as it came, replies as
    // sent, dropped frames whole.
    size_t cursor = 0;
    for (const Event& e : whole.events) {
        if (e.kind == 'd') {
            ZFUZZ_CHECK(kName, bytes.compare(cursor, 4, "#ORV") == 0 && cursor + 4 < bytes.size(), "a dropped frame that was none");
            cursor += static_cast<uint8_t>(bytes[cursor + 4]);
            continue;
        }
        ZFUZZ_CHECK(kName, bytes.compare(cursor, e.bytes.size(), e.bytes) == 0, "text or a reply not as it came");
        cursor += e.bytes.size();
    }
    ZFUZZ_CHECK(kName, cursor == bytes.size(), "bytes lost or invented by the scanner");

    // The link waiting for a reply: the console gets the same text, and a
    // reply it returns answers the request.
    zpc::Request req = zpc::Request::export_of(static_cast<uint32_t>(which & 0x0F) << 8, 16);
    if ((which & 0x30) == 0x10) req = zpc::Request::test(1, 3);
    if ((which & 0x30) == 0x20) req = zpc::Request::store(230, {'T', 'E', 'S', 'T'}, false);
    Script line(bytes, pieces(how, bytes.size()));
    std::string console;
    zpc::LinkOptions options;
    options.timeout = std::chrono::hours(1);
    zpc::Link link(line, options, [&console](const std::string& t) { console += t; });
    std::optional<zpc::Reply> got;
    try {
        got = link.transact(req, (which & 0x40) != 0);
    } catch (const zpc::LineError&) {
    }
    const std::string before_flush = console;
    link.flush();
    ZFUZZ_CHECK(kName, line.written() == zpc::encode(req).size(), "the request went out more than once");
    if (got) {
        ZFUZZ_CHECK(kName, got->command == req.command && got->subcommand == req.subcommand && got->address == req.address,
                    "a reply to another request");
    }
    std::string text;
    for (const Event& e : whole.events) {
        if (e.kind == 't') text += e.bytes;
    }
    // The link stops reading at its reply: what it passed on is where the text begins.
    ZFUZZ_CHECK(kName, text.compare(0, before_flush.size(), before_flush) == 0,
                "the console got other text than the line carried");
    if (!got) ZFUZZ_CHECK(kName, console == text, "console text lost while waiting");
}

std::vector<Bytes> seeds_pclink(const std::string&) {
    const auto reply = [](uint8_t cmd, uint8_t sub, uint32_t addr, uint8_t result, std::vector<uint8_t> d) {
        zpc::Reply r{cmd, sub, addr, result, std::move(d)};
        const std::vector<uint8_t> f = zpc::encode(r);
        return std::string(f.begin(), f.end());
    };
    const std::string text = "\r\n\t\tSTATUS: 08/12/26 13:46\r\n#12 not a frame\r\n";
    std::string damaged = reply(0, 0, 0x100, 1, std::vector<uint8_t>(16, 0xAB));
    damaged[12] ^= 1;
    const std::string ping = reply(3, 1, 0, 1, {});
    const std::string exported = reply(0, 0, 0x100, 1, std::vector<uint8_t>(16, 0x5A));
    std::vector<Bytes> out = {
        seed({0, 0x10}, text + ping + text),
        seed({7, 0x01}, text + damaged + exported + "#ORV"),
        seed({31, 0x20}, "Actualizar estructuras basica.\r\n" + reply(1, 1, 230, 1, {}) + "#OR"),
        seed({3, 0x41}, exported + exported + text),
        seed({0, 0x00}, "#ORV\x05" + text + "##ORV"),
    };
    return out;
}

}  // namespace zfuzz
