// Text lines into zelmora-msg6: its reading of a stream, the decoder's
// reassembly and decoding, the readable and the JSON output.
//
// State byte 0: JSON or readable output, and a file name that is not UTF-8.
#include <sstream>
#include <string>

#include "ais/ais.h"
#include "fuzz.h"

namespace zfuzz {

namespace {
const char* const kName = "msg6";
namespace ais = zelmora::ais;

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Bits, most significant first, armoured six at a time.
struct Writer {
    std::string bits;
    void put(uint64_t v, unsigned width) {
        for (unsigned i = width; i-- > 0;) bits += ((v >> i) & 1u) != 0 ? '1' : '0';
    }
    std::string armour(unsigned* fill) const {
        std::string b = bits;
        *fill = static_cast<unsigned>((6 - b.size() % 6) % 6);
        b.append(*fill, '0');
        std::string out;
        for (size_t i = 0; i < b.size(); i += 6) {
            const int v = std::stoi(b.substr(i, 6), nullptr, 2);
            out += static_cast<char>(v < 40 ? v + 48 : v + 56);
        }
        return out;
    }
};

// A monitoring report's binary data: DAC 1, FI 51 and 430 bits of fields.
Writer report_data(uint64_t salt) {
    Writer w;
    w.put(1, 10);
    w.put(51, 6);
    uint64_t x = 0x9E3779B97F4A7C15ull ^ salt;
    for (int i = 0; i < 430; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        w.put(x & 1u, 1);
    }
    w.put(0, 2);
    return w;
}
}  // namespace

void run_msg6(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t s0 = in.byte();
    const bool json = (s0 & 1) != 0;
    const std::string name = (s0 & 2) != 0 ? "feed\xC1.nmea" : "night.log";
    const std::string text(in.rest());

    std::istringstream stream(text);
    std::ostringstream out, err;
    ais::read_stream(stream, name, json, out, err);

    // Every error names the input and a line.
    std::istringstream errors(err.str());
    for (std::string line; std::getline(errors, line);) {
        ZFUZZ_CHECK(kName, starts_with(line, name + ":"), "an error line without its input: " + line);
    }
    if (json) {
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);) {
            nlohmann::json j;
            try {
                j = nlohmann::json::parse(line);
            } catch (const nlohmann::json::exception& e) {
                broken(kName, std::string("JSON output that does not parse back: ") + e.what());
            }
            ZFUZZ_CHECK(kName, j.is_object() && j.contains("line") && j.contains("type") && j.contains("report"),
                        "a JSON line without its keys: " + line);
        }
    }

    // The decoder's own promises.
    ais::Decoder dec;
    long n = 0;
    std::istringstream again(text);
    const auto check = [&n](const ais::Output& o) {
        for (const ais::Error& e : o.errors) {
            ZFUZZ_CHECK(kName, e.line >= 1 && e.line <= n, "an error at line " + std::to_string(e.line));
        }
        for (const ais::Message& m : o.messages) {
            ZFUZZ_CHECK(kName, m.line >= 1 && m.line <= m.last_line && m.last_line <= n, "message lines out of order");
            ZFUZZ_CHECK(kName, m.bits.size() <= ais::kMaxMessageBits, "a message above the longest");
            ZFUZZ_CHECK(kName, ais::minimum_bits(m.type) != 0, "a message of no type");
            if (m.report) {
                ZFUZZ_CHECK(kName, m.report->values.size() == ais::report_fields().size(), "a report short of fields");
            }
        }
    };
    for (std::string line; std::getline(again, line);) check(dec.feed(line, ++n));
    check(dec.finish());
}

std::vector<Bytes> seeds_msg6(const std::string& testdata) {
    std::vector<std::string> lines;
    // The unit's report on the air, one sentence and two.
    for (uint64_t salt = 0; salt < 3; ++salt) {
        Writer w;
        w.put(6, 6);
        w.put(0, 2);
        w.put(992241234, 30);
        w.put(salt, 2);
        w.put(224123456, 30);
        w.put(0, 1);
        w.put(0, 1);
        w.bits += report_data(salt).bits;
        unsigned fill = 0;
        const std::string payload = w.armour(&fill);
        lines.push_back(sentence("AIVDO,2,1,3,A," + payload.substr(0, 60) + ",0", '!'));
        lines.push_back(sentence("AIVDO,2,2,3,A," + payload.substr(60) + "," + std::to_string(fill), '!'));
        lines.push_back(sentence("AIVDM,1,1,,B," + payload + "," + std::to_string(fill), '!'));
        // The load the unit sends its transponder, 25 characters a sentence.
        unsigned mfill = 0;
        const std::string data = report_data(salt).armour(&mfill);
        const size_t parts = (data.size() + 24) / 25;
        for (size_t k = 0; k < parts; ++k) {
            lines.push_back(sentence("AIMEB," + std::to_string(parts) + "," + std::to_string(k + 1) + ",0,0,992241234,6,0,1,224123456,0,C," +
                                         data.substr(k * 25, 25) + "," + (k + 1 == parts ? std::to_string(mfill) : "0"),
                                     '!'));
        }
    }
    lines.push_back("\\s:r003669946,c:1325397545*73\\" + sentence("AIVDM,1,1,,A,13aGD3PP00PN?5DMRh878wwn0>`<,0", '!'));
    lines.push_back("# a comment");
    lines.push_back("$GPGGA,134500.000,4322.7364,N,00823.5710,W,1,09,0.9,12,M,50,M,,*5C");
    std::string all;
    for (const std::string& l : lines) all += l.back() == '\n' ? l : l + "\n";
    std::vector<Bytes> out = {seed({0}, all), seed({1}, all), seed({3}, all)};
    for (const std::string& path : files_in(testdata + "/ais")) {
        if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0) continue;
        std::string text = file_text(path);
        if (text.size() > 6000) text.resize(6000);
        out.push_back(seed({0}, text));
        out.push_back(seed({1}, text));
    }
    return out;
}

}  // namespace zfuzz
