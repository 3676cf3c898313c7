// The AIS AtoN transponder on the virtual board, driven straight from the
// test through the unit's side of the wiring: power on pin 41, Serial3 at
// 38400. What it answers is read back with the unit's own field numbering
// (field 0 is the address field), and what it transmits is taken apart with
// a de-armourer of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Arduino.h"
#include "board.h"

namespace {

using zplat::kMs;
using zplat::kSec;
using zsim::Scenario;
using zsim::vtime;
using Lines = std::vector<std::string>;

constexpr uint32_t kOwn = 992241234;

std::string with_sum(char lead, const std::string& body) {
    unsigned sum = 0;
    for (const char c : body) sum ^= static_cast<unsigned char>(c);
    char hex[4];
    std::snprintf(hex, sizeof(hex), "*%02X", sum);
    return lead + body + hex;
}

bool checksum_ok(const std::string& s) {
    const size_t star = s.rfind('*');
    return s.size() > 3 && (s[0] == '$' || s[0] == '!') && star == s.size() - 3 &&
           with_sum(s[0], s.substr(1, star - 1)) == s;
}

// Field n of a sentence, as the unit counts them: up to the next comma or "*".
std::string field(const std::string& s, size_t n) {
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        start = s.find(',', start);
        if (start == std::string::npos) return "";
        ++start;
    }
    return s.substr(start, s.find_first_of(",*", start) - start);
}

// Six-bit de-armouring into a bit string, less the fill bits.
std::string bits_of(const std::string& payload, int fill) {
    std::string bits;
    for (const char c : payload) {
        int v = c - 48;
        if (v > 40) v -= 8;
        for (int b = 5; b >= 0; --b) bits.push_back((v >> b) & 1 ? '1' : '0');
    }
    return bits.substr(0, bits.size() - static_cast<size_t>(fill));
}

uint64_t value(const std::string& bits, size_t from, size_t width) {
    return std::stoull(bits.substr(from, width), nullptr, 2);
}

// One message from its !AIVDM/!AIVDO sentences: checks the framing a shore
// decoder checks and returns the bits ("" when broken).
std::string reassemble(const Lines& sentences) {
    std::string payload;
    int fill = -1;
    const size_t n = sentences.size();
    for (size_t k = 0; k < n; ++k) {
        const std::string& s = sentences[k];
        if (!checksum_ok(s) || field(s, 1) != std::to_string(n) || field(s, 2) != std::to_string(k + 1)) return "";
        if (field(s, 3) != (n > 1 ? field(sentences[0], 3) : "") || field(s, 5).size() > 60) return "";
        fill = std::stoi(field(s, 6));
        if (k + 1 < n && fill != 0) return "";
        payload += field(s, 5);
    }
    return bits_of(payload, fill);
}

// 448 bits of binary data and the three MEB sentences that load them, as the unit sends them.
std::string pattern() {
    std::string bits;
    for (int i = 0; i < 448; ++i) bits.push_back((i * 7 + 3) % 11 < 5 ? '1' : '0');
    return bits;
}

Lines meb(const std::string& bits, uint32_t mmsi = kOwn) {
    std::string chars;
    const std::string padded = bits + std::string((6 - bits.size() % 6) % 6, '0');
    for (size_t i = 0; i < padded.size(); i += 6) {
        const int v = static_cast<int>(std::stoi(padded.substr(i, 6), nullptr, 2));
        chars.push_back(static_cast<char>(v < 40 ? v + 48 : v + 56));
    }
    Lines out;
    const size_t total = (chars.size() + 24) / 25;
    for (size_t k = 0; k < total; ++k) {
        char head[80];
        std::snprintf(head, sizeof(head), "AIMEB,%zu,%zu,0,0,%09u,6,1,1,002241234,0,C,", total, k + 1, mmsi);
        const std::string fill = k + 1 == total ? std::to_string(padded.size() - bits.size()) : "0";
        out.push_back(with_sum('!', head + chars.substr(k * 25, 25) + "," + fill));
    }
    return out;
}

// The unit's side of the line; lines are kept with the time their LF arrived.
struct Rig {
    zsim::Board b;
    std::string cur;
    Lines lines;
    std::vector<vtime> times;

    explicit Rig(const Scenario& sc = Scenario::builtin()) : b(sc) {
        pinMode(41, OUTPUT);
        Serial3.begin(38400);
        digitalWrite(41, HIGH);
    }
    zsim::Transponder& x() { return b.transponder(); }
    static void send(const std::string& s) {
        for (const char c : s + "\r\n") Serial3.write(static_cast<uint8_t>(c));
    }
    // Runs until t; the lines completed meanwhile.
    Lines to(vtime t) {
        Lines got;
        while (b.now() < t) {
            b.advance(std::min<vtime>(2 * kMs, t - b.now()));
            while (Serial3.available() > 0) {
                const char c = static_cast<char>(Serial3.read());
                if (c != '\n') {
                    cur.push_back(c);
                    continue;
                }
                if (!cur.empty() && cur.back() == '\r') cur.pop_back();
                got.push_back(cur);
                lines.push_back(cur);
                times.push_back(b.now());
                cur.clear();
            }
        }
        return got;
    }
    // Sends s and returns what arrives within `wait`.
    Lines ask(const std::string& s, vtime wait = 200 * kMs) {
        send(s);
        return to(b.now() + wait);
    }
};

Lines starting(const Lines& ls, const std::string& prefix) {
    Lines out;
    for (const std::string& l : ls) {
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    }
    return out;
}

Scenario world(const std::string& toml) { return Scenario::from_text(toml, "t.toml"); }

}  // namespace

TEST(TransponderModel, AnswersEveryQueryWithTheFieldsTheUnitReads) {
    {
        Rig r;
        EXPECT_TRUE(r.ask("$UPANQ,AID*3B", zsim::Transponder::kBootTime - 300 * kMs).empty());   // booting: deaf
        EXPECT_EQ(r.to(zsim::Transponder::kBootTime + 10 * kMs), Lines{with_sum('$', "ANTXT,01,01,80,Exiting standby")});

        const vtime asked = r.b.now();
        const Lines aid = r.ask("$UPANQ,AID*3B");
        ASSERT_EQ(aid.size(), 1u);
        EXPECT_LT(r.times.back() - asked, 50 * kMs);   // tens of ms, as a real one answers
        EXPECT_EQ(aid[0], with_sum('$', "ANAID,992241234,1,002241234,0,R"));

        const Lines ace = r.ask("$UPANQ,ACE*30");
        ASSERT_EQ(ace.size(), 1u);
        EXPECT_EQ(field(ace[0], 1), "992241234");
        EXPECT_EQ(field(ace[0], 7), "ZELMORA NORTE");
        EXPECT_EQ(ace[0][ace[0].find("NORTE") + 5], ',');   // the unit copies field 7 up to a comma

        const Lines mcr = r.ask("$UPANQ,MCR*2B");
        ASSERT_EQ(mcr.size(), 2u);
        EXPECT_EQ(field(mcr[0], 2) + field(mcr[0], 3) + field(mcr[1], 2) + field(mcr[1], 3), "SBS0MSS0");

        // Rates: fields 6/11 start slots, 7/12 increments (interval = x / 37.5 * 0.5 s).
        const Lines aar = r.ask("$UPANQ,AAR*25");
        ASSERT_EQ(aar.size(), 2u);
        EXPECT_EQ(aar[0], with_sum('$', "ANAAR,992241234,6,1,A,0000,1125,13500,3,B,0003,1125,13500,3,R"));
        EXPECT_EQ(field(aar[1], 2) + "/" + field(aar[1], 3), "21/1");
        EXPECT_EQ(field(aar[1], 6), "");   // a type 3 station reports with RATDMA: no start slot
        EXPECT_EQ(field(aar[1], 7), "13500");

        // $PSMT: reply code in field 3, value in field 4.
        // Fed from the battery, less the drop on its feed.
        const Lines vin = r.ask("$PSMT,0,0,0x00000000,1,vin,6*24");
        ASSERT_EQ(vin.size(), 1u);
        EXPECT_EQ(field(vin[0], 3), "6");
        EXPECT_NEAR(std::stod(field(vin[0], 4)), (r.b.battery().volts() - 0.2) * 1000, 2);
        const char* const kPsmt[][2] = {{"$PSMT,0,0,0x00000000,1,vswr,5*56", "5/12"},
                                        {"$PSMT,0,0,0x00000000,1,getatontype,7*2E", "7/3"},
                                        {"$PSMT,0,0,0x00000000,2,appver,1*51", "1/2.1.7"},
                                        {"$PSMT,0,0,0x00000000,2,getserno,4*47", "4/AT240117"}};
        for (const auto& [cmd, want] : kPsmt) {
            const Lines got = r.ask(cmd);
            ASSERT_EQ(got.size(), 1u) << cmd;
            EXPECT_EQ(field(got[0], 3) + "/" + field(got[0], 4), want) << got[0];
        }
        for (const std::string& l : r.lines) EXPECT_TRUE(checksum_ok(l)) << l;

        // Ignored: a wrong checksum; refused: a query it does not know.
        EXPECT_TRUE(r.ask("$UPANQ,AID*3C").empty());
        EXPECT_EQ(r.ask(with_sum('$', "UPANQ,ACF")), Lines{with_sum('$', "ANNAK,UP,ACF,992241234,1,Sentence not supported")});
        EXPECT_EQ(r.x().counters().bad_checksum, 1u);

    }
    // Without a destination, and with its supply fixed.
    Scenario sc = Scenario::builtin();
    sc.transponder.destination = 0;
    sc.transponder.supply_volts = 13.1;
    sc.transponder.msg6_interval_s = 0;
    Rig r(sc);
    r.to(zsim::Transponder::kBootTime + 10 * kMs);
    EXPECT_EQ(r.ask("$UPANQ,AID*3B"), Lines{with_sum('$', "ANAID,992241234,1,,,R")});
    EXPECT_EQ(field(r.ask("$PSMT,0,0,0x00000000,1,vin,6*24").at(0), 4), "13100");
    EXPECT_EQ(field(r.ask("$UPANQ,AAR*25").at(0), 6), "-1");   // no Message 6 scheduled
}

TEST(TransponderModel, WritesSetItsMmsiDestinationAndConfiguration) {
    Scenario sc = Scenario::builtin();
    sc.transponder.config_ok = false;
    sc.transponder.mmsi = 992249999;
    sc.transponder.destination = 0;
    Rig r(sc);
    r.to(3 * kSec);
    auto check = [&r] {
        const Lines m = r.ask("$UPANQ,MCR*2B");
        return field(m.at(0), 3) + field(m.at(1), 3);
    };
    EXPECT_EQ(check(), "16");
    // The unit's configuration writes carry no checksum field.
    EXPECT_TRUE(r.ask("$UPMCR,992249999,SBS,0,C").empty());
    EXPECT_EQ(check(), "06");
    r.ask("$UPMCR,992249999,MSS,0,4294967295,C");
    EXPECT_EQ(check(), "00");
    EXPECT_TRUE(r.x().config_correct());

    // Destination (command 17), then the configured MMSI (command 21); nothing is sent back.
    EXPECT_TRUE(r.ask(with_sum('$', "UPAID,992249999,1,111111111,0,C")).empty());
    EXPECT_TRUE(r.ask(with_sum('$', "UPAID,992249999,1,992241234,R,C")).empty());
    EXPECT_EQ(r.x().mmsi(), kOwn);
    EXPECT_EQ(r.ask("$UPANQ,AID*3B"), Lines{with_sum('$', "ANAID,992241234,1,111111111,0,R")});
    // A write for another station is refused.
    EXPECT_EQ(field(r.ask(with_sum('$', "UPAID,992249999,1,992240000,R,C")).at(0), 4), "11");
    EXPECT_EQ(r.x().mmsi(), kOwn);
}

TEST(TransponderModel, ALoadGoesOutAtItsSlotAsTheWholeMessage6) {
    Rig r;
    r.to(20 * kSec);
    for (const std::string& s : meb(pattern())) Rig::send(s);
    EXPECT_TRUE(r.to(21 * kSec).empty());   // a load is not answered
    EXPECT_TRUE(r.x().load_pending());
    EXPECT_EQ(r.x().last_load(), pattern());
    EXPECT_EQ(r.x().next_msg6_slot(), 30 * kSec);   // 13:45:30, every third minute of the UTC day

    const Lines at_slot = r.to(31 * kSec);
    ASSERT_EQ(at_slot.size(), 2u);   // 87 characters: 60 + 27
    EXPECT_GE(r.times[r.times.size() - 2], 30 * kSec);
    const std::string bits = reassemble(at_slot);
    ASSERT_EQ(bits.size(), 520u);
    EXPECT_EQ(at_slot[0].substr(0, 14), "!AIVDO,2,1,0,A");   // its first on A, whatever Message 21 did at :10
    EXPECT_EQ(field(at_slot[1], 6), "2");
    EXPECT_EQ(value(bits, 0, 6), 6u);
    EXPECT_EQ(value(bits, 6, 2), 0u);
    EXPECT_EQ(value(bits, 8, 30), kOwn);
    EXPECT_EQ(value(bits, 38, 2), 0u);           // sequence number
    EXPECT_EQ(value(bits, 40, 30), 2241234u);    // the load's destination
    EXPECT_EQ(bits.substr(70, 2), "00");         // retransmit, spare
    EXPECT_EQ(bits.substr(72), pattern());
    EXPECT_EQ(r.x().last_msg6(), bits);
    EXPECT_FALSE(r.x().load_pending());

    // The next slot finds the buffer empty.
    const Lines empty = r.to(211 * kSec);
    const Lines txt = starting(empty, "$ANTXT");
    ASSERT_EQ(txt.size(), 1u);
    EXPECT_EQ(field(txt[0], 3), "62");
    EXPECT_EQ(txt[0].substr(txt[0].find("msg ") + 4, 2), "06");   // the unit reads two digits
    EXPECT_EQ(r.x().counters().empty, 1u);

    // A second load goes out at the slot after, on the other channel.
    for (const std::string& s : meb(pattern())) Rig::send(s);
    r.to(391 * kSec);

    // On the air, as a shore receiver logs it: Message 21, 6, 21, 21, 6;
    // each type alternates between the channels on its own.
    const Lines& air = r.x().air();
    ASSERT_EQ(air.size(), 7u);
    EXPECT_EQ(reassemble({air[1], air[2]}), bits);
    EXPECT_EQ(air[1].substr(0, 7), "!AIVDM,");
    const std::string m21 = reassemble({air[0]});
    ASSERT_EQ(m21.size(), 272u);
    EXPECT_EQ(value(m21, 0, 6), 21u);
    EXPECT_EQ(value(m21, 8, 30), kOwn);
    EXPECT_EQ(value(m21, 164, 28), (1u << 28) - 5035710u);   // 8.39285 W, in 1/10000 minute
    EXPECT_EQ(value(m21, 192, 27), 26027364u);               // 43.37894 N
    EXPECT_EQ(field(air[0], 6), "4");
    std::string channels;
    for (const std::string& s : {air[0], air[3], air[4], air[1], air[5]}) channels += field(s, 4);
    EXPECT_EQ(channels, "ABAAB");
}

TEST(TransponderModel, ItsGpsOutputFollowsGpsfilt) {
    Rig r;
    r.to(3 * kSec);
    EXPECT_TRUE(starting(r.to(5 * kSec), "$GP").empty());   // off as delivered
    const Lines ack = r.ask("$PSMT,0,0,0x00000000,0,gpsfilt 9,0*38");
    EXPECT_EQ(field(ack.at(0), 2), "gpsfilt 9");
    const Lines on = starting(r.to(8 * kSec), "$GP");
    ASSERT_EQ(on.size(), 4u);   // GGA and RMC every second
    EXPECT_EQ(on[0].substr(0, 17), "$GPGGA,134506.00,");
    EXPECT_EQ(on[1].substr(0, 6), "$GPRMC");
    r.ask("$PSMT,0,0,0x00000000,0,gpsfilt 49,0*0C");
    EXPECT_EQ(starting(r.to(10 * kSec), "$GP").size(), 3u);   // GGA, VTG, ZDA at 9.15 s
    r.ask("$PSMT,0,0,0x00000000,0,gpsfilt 0,0*31");
    EXPECT_TRUE(starting(r.to(12 * kSec), "$GP").empty());
    EXPECT_FALSE(r.x().gps_output());
}

TEST(TransponderModel, Faults) {
    {   // Silent and deaf on the line for a while; the radio goes on.
        Rig r(world("[[fault]]\nkind = \"ais_silent\"\nat = 5\nms = 20000\n"));
        r.to(6 * kSec);
        EXPECT_TRUE(r.ask("$UPANQ,AID*3B", 20 * kSec).empty());
        EXPECT_EQ(r.x().counters().msg21, 1u);
        EXPECT_EQ(r.ask("$UPANQ,AID*3B").size(), 1u);
    }
    {   // Loads refused.
        Rig r(world("[[fault]]\nkind = \"ais_nak\"\nat = 5\n"));
        r.to(6 * kSec);
        for (const std::string& s : meb(pattern())) Rig::send(s);
        const Lines nak = r.to(7 * kSec);
        ASSERT_EQ(nak.size(), 1u);
        EXPECT_EQ(field(nak[0], 0) + field(nak[0], 1) + field(nak[0], 2), "$ANNAKAIMEB");
        EXPECT_EQ(field(nak[0], 3) + "/" + field(nak[0], 4), "992241234/3");
        EXPECT_FALSE(r.x().load_pending());
    }
    {   // Swapped for one with another MMSI: it restarts, and refuses loads for the old one.
        Rig r(world("[[fault]]\nkind = \"ais_foreign_mmsi\"\nat = 5\nmmsi = 992249999\n"));
        r.to(6 * kSec);
        EXPECT_EQ(starting(r.to(8 * kSec), "$ANTXT").size(), 1u);   // its boot notice
        EXPECT_EQ(field(r.ask("$UPANQ,AID*3B").at(0), 1), "992249999");
        for (const std::string& s : meb(pattern())) Rig::send(s);
        EXPECT_EQ(field(r.to(9 * kSec).at(0), 4), "11");
    }
    {   // A PC on its USB port: unasked replies every few seconds while it stays.
        Rig r(world("[[fault]]\nkind = \"ais_pc\"\nat = 5\nms = 10000\n"));
        const Lines got = r.to(20 * kSec);
        EXPECT_EQ(starting(got, "$ANTXT,01,01,80,USB connected").size(), 1u);
        EXPECT_EQ(starting(got, "$ANACE").size(), 2u);   // at 9 and 13 s
        EXPECT_EQ(starting(got, "$ANAAR").size(), 4u);
        EXPECT_EQ(starting(got, "$ANTXT,01,01,80,USB disconnected").size(), 1u);
    }
    {   // Noise: corrupted bytes inside its window only, the same for the same seed.
        auto capture = [](int seed) {
            Rig r(world("seed = " + std::to_string(seed) +
                        "\n[transponder]\ngps_output = true\n[[fault]]\nkind = \"ais_noise\"\nat = 5\nms = 5000\n"
                        "rate = 0.02\n"));
            r.to(14 * kSec);
            std::vector<vtime> bad;
            for (size_t i = 0; i < r.lines.size(); ++i) {
                if (!checksum_ok(r.lines[i])) bad.push_back(r.times[i]);
            }
            return bad;
        };
        const std::vector<vtime> a = capture(3);
        EXPECT_GE(a.size(), 3u);
        for (const vtime t : a) EXPECT_TRUE(t > 5 * kSec && t < 10100 * kMs) << t;
        EXPECT_EQ(capture(3), a);
    }
}

TEST(TransponderModel, ScenarioSection) {
    EXPECT_EQ(Scenario().transponder.mmsi, kOwn);   // the configured station's
    const Scenario sc = world("[transponder]\nmmsi = 992240001\nname = \"NORTE\"\nmsg6_interval_s = 60\n"
                              "[[fault]]\nkind = \"ais_silent\"\nat = \"00:02:00\"\n");
    EXPECT_EQ(sc.transponder.mmsi, 992240001u);
    EXPECT_EQ(sc.transponder.msg6_interval_s, 60);
    EXPECT_EQ(sc.transponder.silent.at(0).duration, zplat::kNever);
    auto error_of = [](const std::string& text) {
        try {
            world(text);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error_of("[transponder]\nmmsi = 1\nchannel = 2\n"), "t.toml:3: unknown key 'channel'");
    EXPECT_EQ(error_of("[transponder]\n\naton_type = 4\n"), "t.toml:3: 'aton_type' must be an integer from 1 to 3");
    EXPECT_EQ(error_of("[transponder]\nname = \"A,B\"\n").substr(0, 35), "t.toml:2: 'name' must be text of 1 ");
    EXPECT_EQ(error_of("[[fault]]\nkind = \"ais_foreign_mmsi\"\nat = 5\n"), "t.toml:1: missing 'mmsi'");
    EXPECT_EQ(error_of("[[fault]]\nkind = \"ais_pc\"\nat = 5\nrate = 1\n"), "t.toml:4: unknown key 'rate'");
}
