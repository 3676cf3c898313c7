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
// optionally with IEC 61162-450 tag blocks in front ("\s:r1,c:1272413573*73\":
// checksum checked, receive time and source kept in the message) and
// receiver fields after the checksum (",b003669978,1272413573").
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
#include <functional>
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
    // The bits as armoured characters again, the last one padded with zeros:
    // the same for every receiver that heard the message.
    std::string armoured() const;

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
    // False for a latitude past 90 degrees or a longitude past 180 (other
    // than "not available"): such a value is no position.
    bool valid() const;
    std::optional<double> number() const;   // raw / divisor, nullopt when not available or not valid
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

// Message 21, an aid to navigation's own report of itself.
struct AtonPosition {
    unsigned aid_type = 0;              // 0..31 (1 reference point ... 31 light vessel)
    std::string name;                   // name with its extension, trailing '@' and spaces trimmed
    bool accuracy = false;
    std::optional<double> lon, lat;     // degrees, east / north positive; nullopt: not available or invalid
    // A longitude past 180 degrees or a latitude past 90 (not the "not
    // available" value): no position, kept only to be shown.
    std::optional<double> bad_lon, bad_lat;
    unsigned dim_a = 0, dim_b = 0, dim_c = 0, dim_d = 0;   // metres
    unsigned epfd = 0;
    unsigned second = 60;               // UTC second; 60..63 none
    bool off_position = false;          // only meaningful when second <= 59
    bool raim = false;
    bool virtual_aid = false;
    bool assigned = false;
    unsigned status = 0;                // the AtoN status byte (IALA page id and the page's bits)
};

// Reads a Message 21 whose bits the caller has checked (at least 272).
AtonPosition decode_aton(const Bits& bits);
const char* aid_type_name(unsigned type);   // "north cardinal mark", ...
const char* epfd_name(unsigned epfd);       // "GPS", "surveyed", ...

// The AtoN monitoring report of DAC 235, FI 10 (in Message 6 or 8).
struct AtonMonitor {
    std::optional<double> internal_v, external1_v, external2_v;   // volts; nullopt: not available
    unsigned racon = 0;                 // 0 none, 1 not monitored, 2 operational, 3 error
    unsigned light = 0;                 // likewise
    bool alarm = false;
    unsigned digital = 0;               // eight digital inputs, input 7 in bit 7
    bool off_position = false;
};

// The DAC 235 FI 10 data (DAC 250 uses the same layout): three analogue
// values, the status bits, the digital inputs and the off-position flag
// after the FI; the 4 spare bits after them are not needed.
constexpr unsigned kMonitorDacs[] = {235, 250};
constexpr unsigned kMonitorFi = 10;
constexpr std::size_t kMonitorBits = 16 + 44;   // DAC and FI, then the fields
// Reads it from `bits`, whose binary data (the DAC) starts at `base`; the
// caller has checked that base + kMonitorBits bits are there.
AtonMonitor decode_monitor(const Bits& bits, std::size_t base);
const char* racon_name(unsigned racon);     // "none", "not monitored", "operational", "error"
const char* light_name(unsigned light);     // "none", "on", "off", "error"

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
    std::optional<AtonPosition> aton;  // a Message 21
    std::optional<AtonMonitor> monitor;   // DAC 235, FI 10
    // The IEC 61162-450 tag block of its first sentence: receive time (c:,
    // seconds since 1970 UTC) and source (s:), when there.
    std::optional<std::int64_t> received;
    std::string tag_source;
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
    // True while fragments of a message wait for the rest: a reader that
    // remembers where it stopped keeps the place before the first of them.
    bool waiting() const { return !pending_.empty(); }

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
        std::optional<std::int64_t> received;  // from the tag blocks, the first that has them
        std::string tag_source;
    };
    void complete(Pending& p, long last_line, unsigned fill, Output& out);
    std::map<std::string, Pending> pending_;
};

// ---- output ----

std::string sentence_name(Sentence s);   // "VDM", "VDO", "MEB"

// Readable text: one line for any message; for a report that line and then
// one indented line per field. `where` starts the first line ("file:12").
std::string describe(const Message& m, std::string_view where);

// One JSON object: "line", the tag block's "received" (ISO 8601 UTC),
// "received_unix" and "tag_source" when known, "sentence", "type", "mmsi",
// the header fields that are known, "report", and for a report one key per
// field of the table and "msg_ids_match"; a Message 21 and an AtoN
// monitoring report ("monitor": true) add their fields.
nlohmann::ordered_json to_json(const Message& m);

// One line for an aid to navigation's message: the unit's report, an AtoN
// monitoring report (FI 10) or a Message 21, led by the receive time (or
// `where` when there is none); "" for any other message.
std::string brief(const Message& m, std::string_view where);

// "2026-12-08T13:45:30Z" for seconds since 1970.
std::string utc_text(std::int64_t seconds);

// Which messages zelmora-msg6 writes.
struct Filter {
    std::vector<std::uint32_t> mmsi;   // empty: every station
    bool reports_only = false;         // only monitoring reports (DAC 1 FI 51 and DAC 235 FI 10)
    bool passes(const Message& m) const;
};

enum class Format { Text, Json, Brief };

// What zelmora-msg6 does with one input named `name`: each message that
// passes the filter to `out` (readable, one JSON object per line or one
// brief line), flushed at once; each error as "name:line: what" to `err`.
class Printer {
public:
    Printer(std::string name, Format format, Filter filter, std::ostream& out, std::ostream& err)
        : name_(std::move(name)), format_(format), filter_(std::move(filter)), out_(out), err_(err) {}
    void line(std::string_view text, long line_number) { write(dec_.feed(text, line_number)); }
    // The end of the input: what is left incomplete is an error.
    void finish() { write(dec_.finish()); }
    bool good() const { return good_; }   // no error so far
    // Hook for a writer shared between threads: called around each write.
    std::function<void(bool begin)> lock;

private:
    void write(const Output& o);
    std::string name_;
    Format format_;
    Filter filter_;
    std::ostream& out_;
    std::ostream& err_;
    Decoder dec_;
    bool good_ = true;
};

// The same for a whole stream: every line, then finish(). False when
// something was bad.
bool read_stream(std::istream& in, const std::string& name, bool json, std::ostream& out, std::ostream& err);

}  // namespace zelmora::ais
