// zelmora_ais: the shore side's reading of AIS sentences (IEC 61162-1 / -450
// encapsulation, ITU-R M.1371 messages) and of the unit's Message 6
// monitoring report (DAC 1, FI 51). Shares nothing with the firmware, so a
// fault in the unit's packer shows up here.
//
// Use:
//
//     zelmora::ais::Decoder dec;
//     long n = 0;
//     for (std::string line; std::getline(in, line);) {
//         auto out = dec.feed(line, ++n);
//         for (const auto& m : out.messages) ...   // complete messages, in order
//         for (const auto& e : out.errors) ...     // one per bad message
//     }
//     auto rest = dec.finish();                     // messages left incomplete
//
// A line is one sentence as it arrives: "!AIVDM,1,1,,B,6>jR06...,2*02",
// optionally with an IEC 61162-450 tag block in front ("\s:r1,c:1272413573*4B\")
// and receiver fields after the checksum (",b003669978,1272413573").
// "!AIMEB" sentences (the unit's load of a Message 6 into its transponder)
// are read as well: their payload is the binary data alone (DAC, FI,
// application data) and the message header comes from the sentence fields.
//
// What the decoder says nothing about: empty lines, '#' comment lines, and
// lines that are not one of those three sentences ($GP..., JSON, other '!'
// sentences).
//
// A round trip through the unit's report: give the !AIMEB lines the unit
// sends to feed(); the message that comes back has `report` set, and
// report->find("battery_v")->number() is the battery voltage the unit packed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelmora::ais {

// Limits. A VDM/VDO/MEB line above kMaxLineBytes (tag block and receiver
// fields included) is refused before it is read; a message
// above kMaxMessageBits (five slots of ITU-R M.1371, the largest Message 6
// or 8) is refused after reassembly. A single 170-character sentence
// carrying 896 bits, as some stations send, is within both.
constexpr std::size_t kMaxLineBytes = 1024;
constexpr std::size_t kMaxMessageBits = 1008;

// Fewest bits a message of this type can have (ITU-R M.1371-5 Annex 8:
// the fixed-length types at their length, the variable ones at their
// header), 0 for a type that does not exist (0, 28..63).
std::size_t minimum_bits(unsigned type);

// The payload as six-bit values; bits are read most significant first,
// bit 0 being the first bit of the first character.
class Bits {
public:
    Bits() = default;
    // Appends the bits of armoured characters; false (and nothing appended
    // from that character on) at a character outside the armouring.
    bool append_armoured(std::string_view chars);
    void drop_last(std::size_t n);                 // the fill bits
    std::size_t size() const { return count_; }
    // `width` bits (1..64) from `first`; bits beyond the end read as 0.
    std::uint64_t u(std::size_t first, unsigned width) const;
    std::int64_t s(std::size_t first, unsigned width) const;   // two's complement
    // `chars` six-bit characters of ITU-R M.1371 text (0 = '@', 32 = ' ').
    std::string text(std::size_t first, unsigned chars) const;

private:
    std::vector<std::uint8_t> values_;
    std::size_t count_ = 0;
};

// ---- the monitoring report: one table of fields ----

enum class Kind {
    Number,     // raw / divisor in `unit`; raw == not_available: not available
    Flag,       // one bit, no/yes
    Hex,        // shown in hexadecimal
    Label,      // raw indexes `labels`
    Text,       // six-bit text, width / 6 characters, trailing '@' and spaces trimmed
    Longitude,  // signed ten-thousandths of a minute; east positive
    Latitude,   // likewise, north positive
    TimeStamp,  // UTC second 0..59; 60..63 say why there is none
    Repeat,     // the message identifier again: must match the first one
};

struct Field {
    const char* name;        // readable label
    unsigned first;          // first bit, counted from the first bit of the binary data (the DAC)
    unsigned width;          // bits
    bool is_signed;
    double divisor;          // value = raw / divisor
    const char* unit;        // "V", "A", "Ah", "kn", "deg", "m", "s" or ""
    const char* key;         // JSON key
    Kind kind;
    std::int64_t not_available;   // raw value meaning "not available", or -1
    int decimals;            // for readable output of Number
    const char* const* labels = nullptr;   // Label: one per raw value
    unsigned label_count = 0;
};

// The report's binary data: DAC 1, FI 51, then the fields below, 446 bits.
constexpr unsigned kReportDac = 1;
constexpr unsigned kReportFi = 51;
constexpr std::size_t kReportBits = 446;

// The fields of the report in bit order (the DAC and FI not included).
const std::vector<Field>& report_fields();

struct Value {
    const Field* field = nullptr;
    std::int64_t raw = 0;
    std::string text;                  // Text fields

    bool available() const;            // false for the field's "not available" value
    std::optional<double> number() const;   // raw / divisor, nullopt when not available
    bool flag() const { return raw != 0; }
    std::string label() const;         // Label fields
};

struct Report {
    std::vector<Value> values;         // one per row of report_fields(), same order
    const Value* find(std::string_view key) const;   // nullptr for an unknown key
    bool ids_match() const;            // first and repeated message identifier agree
};

// Reads the report from `bits`, whose binary data (the DAC) starts at `base`.
// The caller has checked that base + kReportBits bits are there.
Report decode_report(const Bits& bits, std::size_t base);

// ---- messages ----

enum class Sentence { VDM, VDO, MEB };

struct Message {
    long line = 0;                     // line of its first sentence
    long last_line = 0;                // line of its last sentence
    Sentence sentence = Sentence::VDM;
    // Both printable ASCII: a sentence with anything else in them is an error.
    std::string talker;                // "AI", "AB", "BS", ...
    std::string channel;               // "A", "B", ... or "" (not in MEB)
    Bits bits;                         // VDM/VDO: the whole message; MEB: the binary data
    unsigned type = 0;
    std::optional<unsigned> repeat;    // not in MEB
    std::uint32_t mmsi = 0;            // source (MEB: the transponder's own MMSI)
    // Message 6: sequence number, destination, retransmit flag (MEB: destination only)
    std::optional<unsigned> seqno;
    std::optional<std::uint32_t> dest_mmsi;
    std::optional<bool> retransmit;
    // Messages 6 and 8
    std::optional<unsigned> dac;
    std::optional<unsigned> fi;
    // MEB fields: sequential message identifier, message index, broadcast behaviour
    std::optional<unsigned> meb_seq_id;
    std::optional<unsigned> meb_index;
    std::optional<unsigned> meb_broadcast;
    std::optional<Report> report;      // a Message 6 with DAC 1, FI 51
};

struct Error {
    long line = 0;
    std::string text;                  // e.g. "bad checksum *5F, computed *5D"
};

struct Output {
    std::vector<Message> messages;
    std::vector<Error> errors;
};

// Reassembles and decodes one input stream (one file). Fragments of a
// multi-sentence message are matched by sentence kind and talker, sequential
// message identifier and channel; they must come in order, each with a good
// checksum. A bad message gives exactly one Error and is dropped.
class Decoder {
public:
    Output feed(std::string_view line, long line_number);
    Output finish();                   // end of input: incomplete messages are errors

private:
    struct Pending {
        long first_line = 0;
        unsigned count = 0;
        unsigned next = 0;             // fragment number expected next
        bool dropping = false;         // the message is already reported bad: swallow the rest
        Sentence sentence = Sentence::VDM;
        std::string talker, channel;
        std::string payload;
        std::string seq_id;
        std::vector<std::string> meb_fields;   // MEB header fields of the first sentence
    };
    void complete(Pending& p, long last_line, unsigned fill, Output& out);
    std::map<std::string, Pending> pending_;
};

// ---- output ----

std::string sentence_name(Sentence s);   // "VDM", "VDO", "MEB"

// Readable text: one line for any message; for a report that line and then
// one indented line per field. `where` starts the first line ("file:12").
std::string describe(const Message& m, std::string_view where);

// One JSON object: "line", "sentence", "type", "mmsi", the header fields that
// are known, "report", and for a report one key per field of the table and
// "msg_ids_match".
nlohmann::ordered_json to_json(const Message& m);

// What zelmora-msg6 does with one input named `name`: every line decoded,
// each message to `out` (readable, or one JSON object per line), each bad
// one as "name:line: what" to `err`. False when something was bad.
bool read_stream(std::istream& in, const std::string& name, bool json, std::ostream& out, std::ostream& err);

}  // namespace zelmora::ais
