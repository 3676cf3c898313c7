#include "frame.h"

namespace zpc {

namespace {
void put_header(std::vector<uint8_t>& f, char start, uint8_t cmd, uint8_t sub, uint32_t addr, uint8_t last,
                size_t data_bytes) {
    f.push_back(static_cast<uint8_t>(start));
    f.push_back('O');
    f.push_back('R');
    f.push_back('V');
    f.push_back(static_cast<uint8_t>(kOverhead + data_bytes));
    f.push_back(cmd);
    f.push_back(sub);
    f.push_back(static_cast<uint8_t>(addr >> 16));
    f.push_back(static_cast<uint8_t>(addr >> 8));
    f.push_back(static_cast<uint8_t>(addr));
    f.push_back(last);
}

void put_crc(std::vector<uint8_t>& f) {
    const uint16_t c = crc16(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(static_cast<uint8_t>(c));
}

// Tag, a length that holds a whole frame, and the CRC.
bool whole_frame(const uint8_t* p, size_t n, char start) {
    if (n < kOverhead || p[0] != static_cast<uint8_t>(start) || p[1] != 'O' || p[2] != 'R' || p[3] != 'V') return false;
    const size_t len = p[4];
    if (len < kOverhead || len > n) return false;
    return crc16(p, len - 2) == (p[len - 2] << 8 | p[len - 1]);
}

uint32_t address_of(const uint8_t* p) { return static_cast<uint32_t>(p[7] << 16 | p[8] << 8 | p[9]); }
}  // namespace

uint16_t crc16(const uint8_t* data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> encode(const Request& r) {
    std::vector<uint8_t> f;
    put_header(f, '@', r.command, r.subcommand, r.address, r.count, r.data.size());
    f.insert(f.end(), r.data.begin(), r.data.end());
    put_crc(f);
    return f;
}

std::vector<uint8_t> encode(const Reply& r) {
    std::vector<uint8_t> f;
    put_header(f, '#', r.command, r.subcommand, r.address, r.result, r.data.size());
    f.insert(f.end(), r.data.begin(), r.data.end());
    put_crc(f);
    return f;
}

std::optional<Request> decode_request(const uint8_t* p, size_t n) {
    if (!whole_frame(p, n, '@')) return std::nullopt;
    Request r;
    r.command = p[5];
    r.subcommand = p[6];
    r.address = address_of(p);
    r.count = p[10];
    r.data.assign(p + kHeader, p + p[4] - 2);
    return r;
}

std::optional<Reply> decode_reply(const uint8_t* p, size_t n) {
    if (!whole_frame(p, n, '#')) return std::nullopt;
    Reply r;
    r.command = p[5];
    r.subcommand = p[6];
    r.address = address_of(p);
    r.result = p[10];
    r.data.assign(p + kHeader, p + p[4] - 2);
    return r;
}

void ReplyScanner::feed(const uint8_t* p, size_t n) {
    buf_.append(reinterpret_cast<const char*>(p), n);
    scan(false);
}

void ReplyScanner::flush() { scan(true); }

// buf_ holds unsent text followed, possibly, by the start of a frame. A '#'
// starts a frame only if "ORV" and a plausible length follow; until enough
// bytes are there to tell, it and what follows are held back.
void ReplyScanner::scan(bool final) {
    size_t text_end = 0;   // bytes [0, text_end) are decided to be text
    size_t i = 0;
    const auto emit_text = [this](size_t end) {
        if (end != 0 && on_text) on_text(buf_.substr(0, end));
        buf_.erase(0, end);
    };
    while (i < buf_.size()) {
        if (buf_[i] != '#') {
            ++i;
            text_end = i;
            continue;
        }
        const size_t avail = buf_.size() - i;
        const auto* q = reinterpret_cast<const uint8_t*>(buf_.data() + i);
        static const char kTag[] = "#ORV";
        bool tag_ok = true;
        for (size_t k = 1; k < 4 && k < avail; ++k) tag_ok = tag_ok && q[k] == static_cast<uint8_t>(kTag[k]);
        const bool length_ok = avail < 5 || (q[4] >= kOverhead && q[4] <= kMaxReply);
        if (!tag_ok || !length_ok) {
            ++i;
            text_end = i;
            continue;
        }
        if (avail < 5 || avail < q[4]) {
            if (!final) break;   // wait for the rest
            ++i;                 // the line went quiet: it was text after all
            text_end = i;
            continue;
        }
        const size_t len = q[4];
        emit_text(i);
        if (auto r = decode_reply(reinterpret_cast<const uint8_t*>(buf_.data()), len)) {
            buf_.erase(0, len);
            if (on_reply) on_reply(*r);
        } else {
            // Tagged and complete but damaged: drop it rather than show its
            // binary bytes as text.
            buf_.erase(0, len);
            if (on_damaged) on_damaged();
        }
        i = 0;
        text_end = 0;
    }
    emit_text(text_end);
}

}  // namespace zpc
