// Sentences in, messages out: IEC 61162-1 VDM/VDO and MEB, checksums, fill
// bits, reassembly of multi-sentence messages, the header of the message.
#include "ais.h"

#include <cstdio>

namespace zelmora::ais {

namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto p = s.find(sep);
        parts.push_back(s.substr(0, p));
        if (p == std::string_view::npos) return parts;
        s.remove_prefix(p + 1);
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decimal digits only, at most `max_len` of them.
std::optional<std::uint64_t> digits(std::string_view s, std::size_t max_len) {
    if (s.empty() || s.size() > max_len) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return v;
}

// An MMSI is 30 bits: up to 1073741823, ten digits.
constexpr std::uint64_t kMaxMmsi = (std::uint64_t{1} << 30) - 1;

std::string hex2(unsigned v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
    return b;
}

std::string printable(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) return std::string("'") + c + "'";
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", u);
    return b;
}

// A field as it can be shown: printable ASCII kept, every other byte as \xHH.
std::string shown(std::string_view s) {
    std::string t;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            t += c;
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", u);
            t += b;
        }
    }
    return t;
}

// Talker and channel reach the output as they came; a feed's line noise
// (bytes that are not even UTF-8) must not.
bool is_text(std::string_view s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) return false;
    }
    return true;
}

// What a tag block tells us.
struct Tag {
    std::optional<std::int64_t> received;   // c:, seconds since 1970
    std::string source;                     // s:
};

// The inside of one tag block, "s:r003669978,c:1272413573*4B": its checksum
// checked, c: and s: kept; other parameters (g:, n:, d:, t:, ...) are not
// ours. An error text, or "" when it is good.
std::string read_tag(std::string_view block, Tag& tag) {
    const auto star = block.rfind('*');
    if (star == std::string_view::npos || star + 3 != block.size() || hex_digit(block[star + 1]) < 0 ||
        hex_digit(block[star + 2]) < 0)
        return "tag block without its checksum";
    unsigned sum = 0;
    for (char c : block.substr(0, star)) sum ^= static_cast<unsigned char>(c);
    const unsigned given = static_cast<unsigned>(hex_digit(block[star + 1]) * 16 + hex_digit(block[star + 2]));
    if (sum != given) return "bad tag block checksum *" + hex2(given) + ", computed *" + hex2(sum);
    for (const auto field : split(block.substr(0, star), ',')) {
        if (field.size() < 2 || field[1] != ':') continue;
        const std::string_view value = field.substr(2);
        if (field[0] == 'c') {
            // UNIX seconds, perhaps with decimals; 13 digits are
            // milliseconds, as some receivers write.
            const std::string_view whole = value.substr(0, value.find('.'));
            const std::string_view part = value.size() > whole.size() ? value.substr(whole.size() + 1) : "";
            const auto v = digits(whole, 13);
            if (!v || (whole.size() > 10 && whole.size() != 13) || (!part.empty() && !digits(part, 9)))
                return "bad receive time \"" + shown(field) + "\" in the tag block";
            tag.received = static_cast<std::int64_t>(whole.size() == 13 ? *v / 1000 : *v);
        } else if (field[0] == 's') {
            tag.source = shown(value);
        }
    }
    return "";
}

std::string fragment_text(unsigned num, unsigned count) {
    return "fragment " + std::to_string(num) + " of " + std::to_string(count);
}

// The fields of a sentence that place it in its message.
struct Place {
    std::string key;
    unsigned count = 0;
    unsigned num = 0;
};

// VDM/VDO: !AIVDM,count,num,seq,channel,payload,fill*hh
// MEB:     !AIMEB,count,num,seq,0,mmsi,6,index,behaviour,dest,0,C,payload,fill*hh
std::optional<Place> place_of(Sentence kind, std::string_view talker, const std::vector<std::string_view>& f) {
    if (f.size() < 4) return std::nullopt;
    const auto count = digits(f[1], 1);
    const auto num = digits(f[2], 1);
    if (!count || !num || *count < 1 || *num < 1 || *num > *count) return std::nullopt;
    if (!f[3].empty() && !digits(f[3], 2)) return std::nullopt;
    Place p;
    p.count = static_cast<unsigned>(*count);
    p.num = static_cast<unsigned>(*num);
    p.key = sentence_name(kind) + std::string(talker) + "," + std::string(f[3]);
    if (kind != Sentence::MEB && f.size() > 4) p.key += "," + std::string(f[4]);
    return p;
}

bool is_monitor(unsigned dac, unsigned fi) {
    return fi == kMonitorFi && (dac == kMonitorDacs[0] || dac == kMonitorDacs[1]);
}

}  // namespace

std::string sentence_name(Sentence s) {
    switch (s) {
    case Sentence::VDM: return "VDM";
    case Sentence::VDO: return "VDO";
    case Sentence::MEB: return "MEB";
    }
    return "?";
}

Output Decoder::feed(std::string_view line, long n) {
    Output out;
    auto error = [&](long at, std::string text) { out.errors.push_back(Error{at, std::move(text)}); };

    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' ||
                             line.back() == '\t' || line.back() == '\0'))
        line.remove_suffix(1);
    const std::size_t length = line.size();   // tag block included
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') return out;

    // IEC 61162-450 tag blocks: \s:r003669978,c:1272413573*4B\ before the sentence.
    // Kept: the receive time (c:) and the source (s:); a bad one spoils
    // the sentence, as a bad checksum does, once we know it is ours.
    Tag tag;
    std::string tag_error;
    while (!line.empty() && line.front() == '\\') {
        const auto end = line.find('\\', 1);
        if (end == std::string_view::npos) {
            error(n, "tag block without its closing backslash");
            return out;
        }
        if (tag_error.empty()) tag_error = read_tag(line.substr(1, end - 1), tag);
        line.remove_prefix(end + 1);
    }

    // !xxVDM, !xxVDO, !xxMEB; everything else is not for us.
    if (line.size() < 7 || line[0] != '!' || line[6] != ',') return out;
    const std::string_view formatter = line.substr(3, 3);
    Sentence kind;
    if (formatter == "VDM") kind = Sentence::VDM;
    else if (formatter == "VDO") kind = Sentence::VDO;
    else if (formatter == "MEB") kind = Sentence::MEB;
    else return out;
    const std::string_view talker = line.substr(1, 2);
    if (length > kMaxLineBytes) {
        error(n, "line too long: " + std::to_string(length) + " bytes, at most " + std::to_string(kMaxLineBytes));
        return out;
    }

    const auto star = line.find('*');
    if (star == std::string_view::npos || star + 3 > line.size() || hex_digit(line[star + 1]) < 0 ||
        hex_digit(line[star + 2]) < 0) {
        error(n, "no checksum");
        return out;
    }
    const std::string_view body = line.substr(1, star - 1);
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    const unsigned given = static_cast<unsigned>(hex_digit(line[star + 1]) * 16 + hex_digit(line[star + 2]));
    // Receiver fields after the checksum (",b003669978,1272413573") are ignored.

    const auto f = split(body, ',');
    const auto place = place_of(kind, talker, f);

    // A bad fragment: report it once, and swallow the rest of its message.
    auto reject = [&](std::string text) {
        if (place && place->count > 1) {
            auto it = pending_.find(place->key);
            const bool continues = it != pending_.end() && it->second.count == place->count &&
                                   it->second.next == place->num;
            if (!continues && place->num == 1 && it != pending_.end() && !it->second.dropping)
                error(it->second.first_line, "incomplete message: " +
                                                 fragment_text(it->second.next, it->second.count) +
                                                 " missing");
            if (continues || place->num == 1) {
                if (place->num < place->count) {
                    Pending& p = pending_[place->key];
                    p.first_line = n;
                    p.count = place->count;
                    p.next = place->num + 1;
                    p.dropping = true;
                } else {
                    pending_.erase(place->key);
                }
            }
            text += " (" + fragment_text(place->num, place->count) + ")";
        }
        error(n, std::move(text));
    };

    if (sum != given) {
        reject("bad checksum *" + hex2(given) + ", computed *" + hex2(sum));
        return out;
    }
    if (!tag_error.empty()) {
        reject(tag_error);
        return out;
    }
    const std::size_t want = kind == Sentence::MEB ? 14 : 7;
    if (f.size() != want) {
        reject("malformed " + sentence_name(kind) + " sentence: " + std::to_string(f.size() - 1) + " fields, " +
               std::to_string(want - 1) + " expected");
        return out;
    }
    if (!place) {
        error(n, "bad fragment count, number or sequential message id");
        return out;
    }
    if (!is_text(talker)) {
        reject("talker \"" + shown(talker) + "\" is not text");
        return out;
    }
    if (kind != Sentence::MEB && !is_text(f[4])) {
        reject("channel \"" + shown(f[4]) + "\" is not text");
        return out;
    }
    const std::string_view payload = f[want - 2];
    const std::string_view fill_field = f[want - 1];
    for (char c : payload) {
        const auto u = static_cast<unsigned char>(c);
        if (!((u >= '0' && u <= 'W') || (u >= '`' && u <= 'w'))) {
            reject("character " + printable(c) + " outside the six-bit armouring");
            return out;
        }
    }
    // Fill bits: a digit 0..5. Some receivers leave the field empty when
    // there are none; only the last fragment may have any.
    unsigned fill = 0;
    if (!fill_field.empty()) {
        const auto v = digits(fill_field, 1);
        if (!v || *v > 5) {
            reject("bad fill bits \"" + shown(fill_field) + "\"");
            return out;
        }
        fill = static_cast<unsigned>(*v);
    }
    if (fill != 0 && place->num < place->count) {
        reject(std::to_string(fill) + " fill bits before the last fragment");
        return out;
    }
    if (fill > 6 * payload.size()) {
        reject(std::to_string(fill) + " fill bits in a payload of " + std::to_string(6 * payload.size()) + " bits");
        return out;
    }

    if (place->count == 1) {
        Pending one;
        one.first_line = n;
        one.count = 1;
        one.sentence = kind;
        one.talker = std::string(talker);
        if (kind != Sentence::MEB) one.channel = std::string(f[4]);
        else one.meb_fields.assign(f.begin() + 4, f.begin() + 12);
        one.payload = std::string(payload);
        one.seq_id = std::string(f[3]);
        one.received = tag.received;
        one.tag_source = tag.source;
        complete(one, n, fill, out);
        return out;
    }

    auto it = pending_.find(place->key);
    if (place->num == 1) {
        if (it != pending_.end() && !it->second.dropping)
            error(it->second.first_line,
                  "incomplete message: " + fragment_text(it->second.next, it->second.count) + " missing");
        Pending& p = pending_[place->key];
        p = Pending{};
        p.first_line = n;
        p.count = place->count;
        p.next = 2;
        p.sentence = kind;
        p.talker = std::string(talker);
        if (kind != Sentence::MEB) p.channel = std::string(f[4]);
        else p.meb_fields.assign(f.begin() + 4, f.begin() + 12);
        p.payload = std::string(payload);
        p.seq_id = std::string(f[3]);
        p.received = tag.received;
        p.tag_source = tag.source;
        return out;
    }
    if (it == pending_.end()) {
        error(n, fragment_text(place->num, place->count) + " without fragment 1");
        return out;
    }
    Pending& p = it->second;
    if (p.count != place->count || p.next != place->num) {
        // The message begun earlier is broken, and so is the one this
        // fragment belongs to: one error, the rest of it swallowed.
        const Pending was = p;
        pending_.erase(it);
        if (was.dropping) {
            // Later fragments of the message already reported pass quietly.
            if (was.count != place->count || place->num < was.next)
                error(n, fragment_text(place->num, place->count) + " without fragment 1");
        } else {
            if (was.count != place->count)
                error(n, fragment_text(place->num, place->count) + " in a message of " +
                             std::to_string(was.count) + " fragments begun at line " + std::to_string(was.first_line));
            else
                error(n, fragment_text(place->num, place->count) + " out of order: " +
                             fragment_text(was.next, was.count) + " expected (message begun at line " +
                             std::to_string(was.first_line) + ")");
        }
        if (place->num < place->count) {
            Pending& d = pending_[place->key];
            d.first_line = n;
            d.count = place->count;
            d.next = place->num + 1;
            d.dropping = true;
        }
        return out;
    }
    if (p.dropping) {
        if (place->num == place->count) pending_.erase(it);
        else ++p.next;
        return out;
    }
    if (kind == Sentence::MEB) {
        for (std::size_t i = 0; i < p.meb_fields.size(); ++i) {
            if (!f[4 + i].empty() && f[4 + i] != p.meb_fields[i]) {
                reject("MEB fields differ from fragment 1 at line " + std::to_string(p.first_line));
                return out;
            }
        }
    }
    p.payload += payload;
    // Some receivers stamp only a later sentence of the group.
    if (!p.received) p.received = tag.received;
    if (p.tag_source.empty()) p.tag_source = tag.source;
    if (place->num < place->count) {
        ++p.next;
        return out;
    }
    Pending done = std::move(p);
    pending_.erase(it);
    complete(done, n, fill, out);
    return out;
}

Output Decoder::finish() {
    Output out;
    for (const auto& [key, p] : pending_)
        if (!p.dropping)
            out.errors.push_back(Error{p.first_line, "incomplete message: " + fragment_text(p.next, p.count) +
                                                         " missing at the end of the input"});
    pending_.clear();
    return out;
}

namespace {
std::string monitor_short(const Message& m, std::size_t bits, std::size_t needed) {
    return "Message " + std::to_string(m.type) + " DAC " + std::to_string(*m.dac) + " FI " + std::to_string(*m.fi) +
           " too short for an AtoN monitoring report: " + std::to_string(bits) + " bits" +
           (m.sentence == Sentence::MEB ? " of binary data, " : ", ") + std::to_string(needed) + " needed";
}
}  // namespace

void Decoder::complete(Pending& p, long last_line, unsigned fill, Output& out) {
    auto error = [&](std::string text) { out.errors.push_back(Error{p.first_line, std::move(text)}); };
    Message m;
    m.line = p.first_line;
    m.last_line = last_line;
    m.sentence = p.sentence;
    m.talker = p.talker;
    m.channel = p.channel;
    m.received = p.received;
    m.tag_source = p.tag_source;
    m.bits.append_armoured(p.payload);   // characters checked sentence by sentence
    m.bits.drop_last(fill);
    const std::size_t nbits = m.bits.size();

    if (p.sentence == Sentence::MEB) {
        // 0,mmsi,6,index,behaviour,dest,0,C
        const auto& h = p.meb_fields;
        // Not a number reads as out of range (an optional reset here has GCC
        // on 32-bit ARM see an uninitialised read).
        const std::uint64_t mmsi = digits(h[1], 10).value_or(std::uint64_t{kMaxMmsi} + 1);
        const auto type = digits(h[2], 2);
        if (mmsi > kMaxMmsi) return error("MEB: own MMSI \"" + shown(h[1]) + "\" is not a number up to 1073741823");
        if (!type || minimum_bits(static_cast<unsigned>(*type)) == 0)
            return error("MEB: message number \"" + shown(h[2]) + "\" is not an AIS message type");
        m.mmsi = static_cast<std::uint32_t>(mmsi);
        m.type = static_cast<unsigned>(*type);
        if (const auto seq = digits(p.seq_id, 2)) m.meb_seq_id = static_cast<unsigned>(*seq);
        auto optional_number = [&](const std::string& s, std::size_t len, const char* what,
                                   auto& into) -> bool {
            if (s.empty()) return true;
            const auto v = digits(s, len);
            if (!v) {
                error(std::string("MEB: ") + what + " \"" + shown(s) + "\" is not a number");
                return false;
            }
            into = static_cast<std::remove_reference_t<decltype(*into)>>(*v);
            return true;
        };
        if (!optional_number(h[3], 1, "message index", m.meb_index)) return;
        if (!optional_number(h[4], 1, "broadcast behaviour", m.meb_broadcast)) return;
        std::optional<std::uint64_t> dest;
        if (!optional_number(h[5], 10, "destination MMSI", dest)) return;
        if (dest && *dest > kMaxMmsi) return error("MEB: destination MMSI \"" + shown(h[5]) + "\" is above 1073741823");
        if (m.type == 6 && dest) m.dest_mmsi = static_cast<std::uint32_t>(*dest);
        if (nbits == 0) return error("empty payload");
        const std::size_t header = m.type == 6 ? 72 : 40;
        if (header + nbits > kMaxMessageBits)
            return error("message too long: " + std::to_string(nbits) + " bits of binary data, at most " +
                         std::to_string(kMaxMessageBits - header) + " for Message " + std::to_string(m.type));
        if (m.type == 6 || m.type == 8) {
            if (nbits < 16)
                return error("Message " + std::to_string(m.type) + " too short: " + std::to_string(nbits) +
                             " bits of binary data, at least 16 (DAC and FI)");
            m.dac = static_cast<unsigned>(m.bits.u(0, 10));
            m.fi = static_cast<unsigned>(m.bits.u(10, 6));
            if (m.type == 6 && *m.dac == kReportDac && *m.fi == kReportFi) {
                if (nbits < kReportBits)
                    return error("Message 6 DAC 1 FI 51 too short for a monitoring report: " +
                                 std::to_string(nbits) + " bits of binary data, " +
                                 std::to_string(kReportBits) + " needed");
                m.report = decode_report(m.bits, 0);
            }
            if (is_monitor(*m.dac, *m.fi)) {
                if (nbits < kMonitorBits)
                    return error(monitor_short(m, nbits, kMonitorBits));
                m.monitor = decode_monitor(m.bits, 0);
            }
        }
        out.messages.push_back(std::move(m));
        return;
    }

    if (nbits == 0) return error("empty payload");
    if (nbits > kMaxMessageBits)
        return error("message too long: " + std::to_string(nbits) + " bits, at most " +
                     std::to_string(kMaxMessageBits));
    m.type = static_cast<unsigned>(m.bits.u(0, 6));
    const std::size_t least = minimum_bits(m.type);
    if (least == 0) return error("unknown message type " + std::to_string(m.type));
    if (nbits < least)
        return error("Message " + std::to_string(m.type) + " too short: " + std::to_string(nbits) +
                     " bits, at least " + std::to_string(least));
    m.repeat = static_cast<unsigned>(m.bits.u(6, 2));
    m.mmsi = static_cast<std::uint32_t>(m.bits.u(8, 30));
    if (m.type == 6) {
        // ITU-R M.1371 Message 6: ..., sequence number 2, destination 30,
        // retransmit 1, spare 1, then the binary data from bit 72.
        m.seqno = static_cast<unsigned>(m.bits.u(38, 2));
        m.dest_mmsi = static_cast<std::uint32_t>(m.bits.u(40, 30));
        m.retransmit = m.bits.u(70, 1) != 0;
        m.dac = static_cast<unsigned>(m.bits.u(72, 10));
        m.fi = static_cast<unsigned>(m.bits.u(82, 6));
        if (*m.dac == kReportDac && *m.fi == kReportFi) {
            if (nbits < 72 + kReportBits)
                return error("Message 6 DAC 1 FI 51 too short for a monitoring report: " + std::to_string(nbits) +
                             " bits, " + std::to_string(72 + kReportBits) + " needed");
            m.report = decode_report(m.bits, 72);
        }
    } else if (m.type == 8) {
        // Message 8: ..., spare 2, binary data from bit 40.
        m.dac = static_cast<unsigned>(m.bits.u(40, 10));
        m.fi = static_cast<unsigned>(m.bits.u(50, 6));
    } else if (m.type == 21) {
        m.aton = decode_aton(m.bits);
    }
    if (m.dac && is_monitor(*m.dac, *m.fi)) {
        const std::size_t base = m.type == 6 ? 72 : 40;
        if (nbits < base + kMonitorBits) return error(monitor_short(m, nbits, base + kMonitorBits));
        m.monitor = decode_monitor(m.bits, base);
    }
    out.messages.push_back(std::move(m));
}

}  // namespace zelmora::ais
