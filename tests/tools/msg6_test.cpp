// The shore-side decoder: the unit's monitoring report built bit by bit here,
// framed as the air and the transponder line carry it, real captures, and
// the bad input a receiver's log holds.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "ais/ais.h"
#include "program_support.h"

namespace ais = zelmora::ais;
namespace fs = std::filesystem;

namespace {

// A bit writer of our own, most significant bit first, as ITU-R M.1371 sends.
struct Writer {
    std::string bits;
    void put(std::int64_t v, unsigned width) {
        for (unsigned i = width; i-- > 0;) bits += ((static_cast<std::uint64_t>(v) >> i) & 1u) ? '1' : '0';
    }
    void text(const std::string& s, unsigned chars) {
        for (unsigned i = 0; i < chars; ++i) put(i < s.size() ? (s[i] & 0x3F) : 0, 6);
    }
    // Armoured characters and the fill bits that pad the last one.
    std::pair<std::string, unsigned> armour() const {
        std::string b = bits, out;
        const unsigned fill = static_cast<unsigned>((6 - b.size() % 6) % 6);
        b.append(fill, '0');
        for (std::size_t i = 0; i < b.size(); i += 6) {
            const int v = std::stoi(b.substr(i, 6), nullptr, 2);
            out += static_cast<char>(v < 40 ? v + 48 : v + 56);
        }
        return {out, fill};
    }
};

std::string sentence(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char b[4];
    std::snprintf(b, sizeof b, "%02X", sum);
    return "!" + body + "*" + b;
}

// An IEC 61162-450 tag block around `body`, with its checksum.
std::string tag(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char b[4];
    std::snprintf(b, sizeof b, "%02X", sum);
    return "\\" + body + "*" + b + "\\";
}

// The report's fields in bit order with the value written, keyed as the
// decoder's JSON names them; the status byte is one 8-bit value here.
struct Written {
    const char* key;
    unsigned width;
    std::int64_t value;
};
const std::vector<Written> kReport = {
    {"dac", 10, 1}, {"fi", 6, 51}, {"msg_id", 8, 255}, {"battery_v", 10, 250}, {"panel_a", 10, 25},
    {"charge_ah", 10, 1023},
    {"status", 8, 0x47},   // NO CHARGE, low battery, input 3
    {"vswr", 10, 999}, {"speed_kn", 10, 1023},
    {"position_accuracy", 1, 0}, {"lon_deg", 28, -1}, {"lat_deg", 27, 91 * 600000},
    {"course_deg", 12, 3599}, {"heading_deg", 9, 511}, {"time_stamp", 6, 61}, {"cs_unit", 1, 1},
    {"display", 1, 0}, {"dsc", 1, 1}, {"band", 1, 1}, {"msg22", 1, 0}, {"assigned", 1, 0},
    {"raim", 1, 1}, {"comm_state_selector", 1, 1}, {"comm_state", 19, 0x60006}, {"name", 120, 0},
    {"ship_type", 8, 0}, {"to_bow_m", 9, 511}, {"to_stern_m", 9, 3}, {"to_port_m", 6, 63},
    {"to_starboard_m", 6, 2}, {"fix_type", 4, 2}, {"vendor_id", 18, 0}, {"model", 4, 5},
    {"serial", 20, 1048575}, {"callsign", 42, 0}, {"msg_id_end", 8, 254},
};

using Values = std::map<std::string, std::int64_t>;

// The 448 bits the unit loads: the report (`with` replacing some values),
// then 2 zero bits.
Writer report_data(const Values& with = {}) {
    Writer w;
    for (const auto& f : kReport) {
        const auto other = with.find(f.key);
        if (std::string(f.key) == "name") w.text("ABC", 20);
        else if (std::string(f.key) == "vendor_id") w.text("ORV", 3);
        else if (std::string(f.key) == "callsign") w.text("EA12  ", 7);
        else w.put(other != with.end() ? other->second : f.value, f.width);
    }
    w.put(0, 2);
    return w;
}

std::string report_vdm(const Values& with = {}) {
    Writer w;
    for (auto [v, width] : {std::pair<std::int64_t, unsigned>{6, 6}, {1, 2}, {992501234, 30}, {3, 2}, {2320747, 30}, {1, 1}, {0, 1}})
        w.put(v, width);
    w.bits += report_data(with).bits;
    const auto [chars, fill] = w.armour();
    return sentence("AIVDM,1,1,,B," + chars + "," + std::to_string(fill));
}

std::vector<std::string> report_meb() {
    const auto [chars, fill] = report_data().armour();
    std::vector<std::string> lines;
    for (std::size_t k = 0; k * 25 < chars.size(); ++k)
        lines.push_back(sentence("AIMEB,3," + std::to_string(k + 1) + ",0,0,992501234,6,1,0,002320747,0,C," +
                                 chars.substr(k * 25, 25) + "," + (k == 2 ? std::to_string(fill) : "0")));
    return lines;
}

ais::Output feed_all(const std::vector<std::string>& lines) {
    ais::Decoder dec;
    ais::Output all;
    long n = 0;
    auto take = [&](ais::Output o) {
        for (auto& m : o.messages) all.messages.push_back(std::move(m));
        for (auto& e : o.errors) all.errors.push_back(std::move(e));
    };
    for (const auto& l : lines) take(dec.feed(l, ++n));
    take(dec.finish());
    return all;
}

}  // namespace

TEST(Msg6Report, EveryFieldOfABuiltReportReadsBackFromTheAir) {
    const auto out = feed_all({report_vdm()});
    ASSERT_TRUE(out.errors.empty()) << out.errors[0].text;
    ASSERT_EQ(out.messages.size(), 1u);
    const ais::Message& m = out.messages[0];
    EXPECT_EQ(m.bits.size(), 520u);   // 72 header + 448, as 87 characters less 2 fill bits
    EXPECT_EQ(m.type, 6u);
    EXPECT_EQ(*m.repeat, 1u);
    EXPECT_EQ(m.mmsi, 992501234u);
    EXPECT_EQ(*m.seqno, 3u);
    EXPECT_EQ(*m.dest_mmsi, 2320747u);
    EXPECT_TRUE(*m.retransmit);
    ASSERT_TRUE(m.report);
    const ais::Report& r = *m.report;

    // Every row of the decoder's table against what the writer put there.
    std::map<std::string, std::int64_t> written;
    for (const auto& f : kReport) written[f.key] = f.value;
    const std::map<std::string, std::int64_t> status_split = {
        {"charger", 3}, {"alarm_low_battery", 1}, {"alarm_gps", 0}, {"alarm_input1", 0},
        {"alarm_input2", 0}, {"alarm_input3", 1}};
    written.insert(status_split.begin(), status_split.end());
    ASSERT_EQ(r.values.size(), ais::report_fields().size());
    for (const auto& v : r.values) {
        if (v.field->kind == ais::Kind::Text) continue;
        ASSERT_TRUE(written.count(v.field->key)) << v.field->key;
        EXPECT_EQ(v.raw, written[v.field->key]) << v.field->key;
    }
    EXPECT_EQ(r.find("name")->text, "ABC");
    EXPECT_EQ(r.find("vendor_id")->text, "ORV");
    EXPECT_EQ(r.find("callsign")->text, "EA12");
    EXPECT_FALSE(r.ids_match());

    // Scaling and the values that mean "not available", as JSON gives them.
    const auto j = ais::to_json(m);
    EXPECT_EQ(j["report"], true);
    EXPECT_DOUBLE_EQ(j["battery_v"].get<double>(), 12.5);
    EXPECT_DOUBLE_EQ(j["panel_a"].get<double>(), 1.25);
    EXPECT_DOUBLE_EQ(j["charge_ah"].get<double>(), 51.15);
    EXPECT_DOUBLE_EQ(j["lon_deg"].get<double>(), -1.0 / 600000);
    EXPECT_DOUBLE_EQ(j["course_deg"].get<double>(), 359.9);
    EXPECT_TRUE(j["lat_deg"].is_null());
    EXPECT_TRUE(j["heading_deg"].is_null());
    EXPECT_TRUE(j["speed_kn"].is_null());
    EXPECT_EQ(j["charger"], "NO CHARGE");
    EXPECT_EQ(j["alarm_low_battery"], true);
    EXPECT_EQ(j["comm_state_selector"], "ITDMA");
    EXPECT_EQ(j["msg_ids_match"], false);

    const std::string text = ais::describe(m, "log:1");
    for (const char* s : {"monitoring report", "NO CHARGE (3)", "000\u00B000.0001'W", "not available (91\u00B0)",
                          "manual input (61)", "254, does not match 255", "51.15 Ah"})
        EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
}

// A latitude past 90° or a longitude past 180° is no position: not a
// number in JSON, "invalid" in text and brief, in a report and in Message 21.
TEST(Msg6Report, PositionsOutOfRangeAreInvalidNotNumbers) {
    const auto rep = feed_all({report_vdm({{"lon_deg", -181 * 600000 - 1}, {"lat_deg", 95 * 600000}})});
    const auto air = feed_all({"!AIVDM,1,1,,A,E>jAVDb7S3@3V7Q2P0000000000@0000ON:@000003g000,4*1B"});
    ASSERT_EQ(rep.messages.size(), 1u);
    ASSERT_EQ(air.messages.size(), 1u);
    const auto r = ais::to_json(rep.messages[0]), a = ais::to_json(air.messages[0]);
    EXPECT_TRUE(r["lat_deg"].is_null() && r["lon_deg"].is_null()) << r;
    EXPECT_EQ(r["invalid"], nlohmann::ordered_json::array({"lon_deg", "lat_deg"}));
    EXPECT_TRUE(a["lat_deg"].is_null()) << a;
    EXPECT_EQ(a["lon_deg"], 0.0);
    EXPECT_EQ(a["invalid"], nlohmann::ordered_json::array({"lat_deg"}));
    EXPECT_FALSE(rep.messages[0].report->find("lat_deg")->number());
    EXPECT_DOUBLE_EQ(*air.messages[0].aton->bad_lat, 110.0);
    const std::string rt = ais::describe(rep.messages[0], "log:1"), at = ais::describe(air.messages[0], "log:1");
    EXPECT_NE(rt.find("Latitude                      invalid: 95\u00B000.0000'N  95.000000\u00B0 (out of range)"),
              std::string::npos)
        << rt;
    EXPECT_NE(at.find("Latitude                      invalid: 110\u00B000.0000'N  110.000000\u00B0 (out of range)"),
              std::string::npos)
        << at;
    EXPECT_NE(ais::brief(rep.messages[0], "log:1").find("  position invalid\n"), std::string::npos)
        << ais::brief(rep.messages[0], "log:1");
    EXPECT_EQ(ais::brief(air.messages[0], "log:1"),
              "log:1  992241234  aton  \"OFF GLOBE\"  invalid 0.00000  cardinal mark N\n");
}

// Until its first fix the unit sends the position block's "not available" values.
TEST(Msg6Report, PositionBlockWithoutAFixReadsNotAvailable) {
    const auto out = feed_all({report_vdm({{"speed_kn", 1023}, {"lon_deg", 181 * 600000}, {"lat_deg", 91 * 600000},
                                           {"course_deg", 3600}, {"time_stamp", 60}})});
    ASSERT_EQ(out.messages.size(), 1u);
    const auto j = ais::to_json(out.messages[0]);
    for (const char* key : {"speed_kn", "lon_deg", "lat_deg", "course_deg"}) EXPECT_TRUE(j[key].is_null()) << key;
    EXPECT_EQ(j["time_stamp"], 60);   // raw, as 61..63 are
    const std::string text = ais::describe(out.messages[0], "log:1");
    for (const char* s : {"Speed over ground             not available (1023)", "not available (181\u00B0)",
                          "not available (91\u00B0)", "Course over ground            not available (3600)",
                          "Time stamp                    not available (60)"})
        EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
}

TEST(Msg6Report, ThreeMebSentencesGiveTheSameReportWithTheirHeaderFields) {
    const auto meb = report_meb();
    ASSERT_EQ(meb.size(), 3u);
    const auto out = feed_all({meb[0], "$GPGGA,,,,,,0,,,,M,,M,,*66", meb[1], meb[2]});
    ASSERT_TRUE(out.errors.empty()) << out.errors[0].text;
    ASSERT_EQ(out.messages.size(), 1u);
    const ais::Message& m = out.messages[0];
    EXPECT_EQ(m.sentence, ais::Sentence::MEB);
    EXPECT_EQ(m.line, 1);
    EXPECT_EQ(m.last_line, 4);
    EXPECT_EQ(m.bits.size(), 448u);
    EXPECT_EQ(m.mmsi, 992501234u);
    EXPECT_EQ(*m.dest_mmsi, 2320747u);
    EXPECT_EQ(*m.meb_index, 1u);
    EXPECT_FALSE(m.seqno);
    ASSERT_TRUE(m.report);
    const auto air = feed_all({report_vdm()}).messages.at(0);
    for (std::size_t i = 0; i < m.report->values.size(); ++i)
        EXPECT_EQ(m.report->values[i].raw, air.report->values[i].raw) << m.report->values[i].field->key;
}

TEST(Msg6Input, BadMessagesGiveOneErrorEachAndTheNextLineStillDecodes) {
    const std::string good = sentence("AIVDM,1,1,,A,13aGD3PP00PN?5DMRh878wwn0>`<,0");
    std::string long_line = good + ",";
    long_line.append(1100, 'x');
    const std::string part1 = sentence("AIVDM,2,1,7,A,53aGulD0000000c7?0918Tq<E>0<Q8U=@Tp400155P:22uG`002ShTj0,0");
    const std::string part2 = sentence("AIVDM,2,2,7,A,EQC`4Sm51A0C@08,2");
    const std::string bad_sum = "!AIVDM,1,1,,A,13aGD3PP00PN?5DMRh878wwn0>`<,0*58";
    const auto data = report_data().armour().first;
    struct Case {
        std::vector<std::string> lines;
        const char* error;
        long line;
    } cases[] = {
        {{bad_sum, good}, "bad checksum *58, computed *59", 1},
        {{part1, good}, "incomplete message: fragment 2 of 2 missing", 1},
        {{part1, part1, part2}, "incomplete message: fragment 2 of 2 missing", 1},
        {{part2, good}, "fragment 2 of 2 without fragment 1", 1},
        {{sentence("AIVDM,3,1,1,A,5,0"), sentence("AIVDM,3,3,1,A,5,0"), good}, "out of order", 2},
        {{sentence("AIVDM,1,1,,A,13aGD3PP00PN?5,0"), good}, "Message 1 too short: 84 bits, at least 168", 1},
        {{sentence("AIMEB,1,1,0,0,992501234,6,1,0,002320747,0,C," + data.substr(0, 60) + ",0"), good},
         "too short for a monitoring report: 360 bits", 1},
        {{sentence("AIVDM,1,1,,A,13aGD3PP00PN?5DMRh8X8wwn0>`<,0"), good}, "character 'X' outside", 1},
        {{sentence("AIVDM,1,1,,A,13aGD3PP00PN?5DMRh878wwn0>`<,6"), good}, "bad fill bits \"6\"", 1},
        {{sentence("AIVDM,2,1,7,A,53aGulD0000000c7?0918Tq<E>0<Q8U=@Tp400155P:22uG`002ShTj0,2"), part2, good},
         "2 fill bits before the last fragment", 1},
        {{long_line, good}, "line too long", 1},
        {{sentence("AIVDM,1,1,,A,t3aGD3PP00PN?5DMRh878wwn0>`<,0"), good}, "unknown message type 60", 1},
        // Line noise in a checksum-valid talker or channel: not text, and not UTF-8 either.
        {{"!AIVDM,1,1,,\xC1\xC1,>MEB0`<,0*7F", good}, "channel \"\\xC1\\xC1\" is not text", 1},
        {{sentence("A\x80VDM,1,1,,A,13aGD3PP00PN?5DMRh878wwn0>`<,0"), good}, "talker \"A\\x80\" is not text", 1},
        // Tag blocks are checked as sentences are; a bad one costs its message.
        {{"\\c:1765280000*00\\" + good, good}, "bad tag block checksum *00, computed *56", 1},
        {{"\\c:1765280000\\" + good, good}, "tag block without its checksum", 1},
        {{tag("c:17652800x0") + good, good}, "bad receive time \"c:17652800x0\"", 1},
        {{tag("g:1-2-73") + part1, "\\g:2-2-73*00\\" + part2, good}, "bad tag block checksum", 2},
    };
    for (const auto& c : cases) {
        const auto out = feed_all(c.lines);
        ASSERT_EQ(out.errors.size(), 1u) << c.lines[0] << (out.errors.size() > 1 ? out.errors[1].text : "");
        EXPECT_NE(out.errors[0].text.find(c.error), std::string::npos) << out.errors[0].text;
        EXPECT_EQ(out.errors[0].line, c.line) << c.error;
        EXPECT_EQ(out.messages.size(), 1u) << c.error;   // the message after the bad one
    }

    // What real receivers add around a good sentence is no error; other lines are not ours.
    const auto out = feed_all({"\\s:r003669946,c:1325397545*73\\" + good + ",b003669978,1272413573\r", "# note", "",
                               "$GPZDA,150119.000,09,03,2022,,*53", "{\"class\":\"AIS\"}", part1, part2});
    EXPECT_TRUE(out.errors.empty());
    ASSERT_EQ(out.messages.size(), 2u);
    EXPECT_EQ(out.messages[1].type, 5u);
    EXPECT_EQ(out.messages[1].line, 6);
}

TEST(Msg6Captures, RealMessagesDecodeAndHeadersAgreeWithTheReferenceDecode) {
    const fs::path dir = fs::path(ZELMORA_TESTDATA_DIR) / "ais";
    if (!fs::is_directory(dir)) GTEST_SKIP() << dir << " is not there";
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path());
    std::sort(files.begin(), files.end());

    fs::path reference;
    int bad_checksums = 0, multi = 0, three = 0;
    for (const auto& file : files) {
        if (file.extension() == ".json") {
            reference = file;
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        const auto out = feed_all(lines);
        EXPECT_GT(out.messages.size(), 0u) << file;
        for (const auto& m : out.messages) {
            multi += m.last_line > m.line;
            three += m.last_line == m.line + 2;
        }
        for (const auto& e : out.errors) {
            // Only the junk a decoder test suite keeps on purpose: types that do
            // not exist and messages shorter than their type allows.
            if (e.text.rfind("bad checksum", 0) == 0) {
                ++bad_checksums;
                continue;
            }
            const bool junk = e.text.rfind("unknown message type", 0) == 0 ||
                              e.text.rfind("Message 23 too short", 0) == 0 ||
                              e.text.rfind("Message 26 too short", 0) == 0 ||
                              e.text.rfind("Message 27 too short", 0) == 0;
            EXPECT_TRUE(junk && file.extension() == ".aivdm") << file << ":" << e.line << ": " << e.text;
        }
    }
    EXPECT_EQ(bad_checksums, 1);   // the two-sentence VDO, and nothing more for its second fragment
    EXPECT_GT(multi, 20);
    EXPECT_GE(three, 2);

    // The reference decode sits beside its input: NAME.DECODER.json for NAME.nmea.
    fs::path sample;
    for (const auto& file : files)
        if (!reference.empty() && file.extension() == ".nmea" && file.stem() == reference.stem().stem()) sample = file;
    if (sample.empty()) GTEST_SKIP() << "no reference decode";
    std::ifstream in(sample, std::ios::binary), ref(reference);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    const auto out = feed_all(lines);
    std::vector<nlohmann::json> expected;
    for (std::string l; std::getline(ref, l);) expected.push_back(nlohmann::json::parse(l));
    int monitors = 0;
    ASSERT_EQ(out.messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& m = out.messages[i];
        const auto& x = expected[i];
        SCOPED_TRACE("line " + std::to_string(m.line));
        EXPECT_EQ(m.type, x["type"].get<unsigned>());
        EXPECT_EQ(*m.repeat, x["repeat"].get<unsigned>());
        EXPECT_EQ(m.mmsi, x["mmsi"].get<std::uint32_t>());
        if (m.type == 6) {
            EXPECT_EQ(*m.seqno, x["seqno"].get<unsigned>());
            EXPECT_EQ(*m.dest_mmsi, x["dest_mmsi"].get<std::uint32_t>());
            EXPECT_EQ(*m.retransmit, x["retransmit"].get<bool>());
        }
        if (m.type == 6 || m.type == 8) {
            EXPECT_EQ(*m.dac, x["dac"].get<unsigned>());
            EXPECT_EQ(*m.fi, x["fid"].get<unsigned>());
        }
        // The AtoN monitoring reports, field by field ("not used" is 0 there).
        ASSERT_EQ(m.monitor.has_value(), x.contains("ana_int"));
        if (m.monitor) {
            ++monitors;
            const auto volts = [](const std::optional<double>& v) { return v ? *v : 0.0; };
            EXPECT_NEAR(volts(m.monitor->internal_v), x["ana_int"].get<double>(), 1e-9);
            EXPECT_NEAR(volts(m.monitor->external1_v), x["ana_ext1"].get<double>(), 1e-9);
            EXPECT_NEAR(volts(m.monitor->external2_v), x["ana_ext2"].get<double>(), 1e-9);
            EXPECT_EQ(m.monitor->racon, x["racon"].get<unsigned>());
            EXPECT_EQ(m.monitor->light, x["light"].get<unsigned>());
            EXPECT_EQ(m.monitor->alarm, x["alarm"].get<bool>());
            EXPECT_EQ(m.monitor->digital, x["stat_ext"].get<unsigned>());
            EXPECT_EQ(m.monitor->off_position, x["off_pos"].get<bool>());
        }
    }
    EXPECT_GE(monitors, 4);
}

TEST(Msg6Cli, ExitStatusSaysWhetherTheInputWasGoodAndJsonIsOneObjectALine) {
    const fs::path dir = fs::temp_directory_path() / ("zelmora-msg6-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    auto write = [&](const char* name, const std::vector<std::string>& lines) {
        std::ofstream f(dir / name);
        for (const auto& l : lines) f << l << "\r\n";
        return (dir / name).string();
    };
    auto run = [&](const std::string& args) {
        const std::string cmd = program_command(ZELMORA_MSG6) + " " + args + " >" + (dir / "out").string() + " 2>" +
                                (dir / "err").string();
        const int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    auto slurp = [&](const char* name) {
        std::ifstream f(dir / name);
        return std::string((std::istreambuf_iterator<char>(f)), {});
    };
    auto meb = report_meb();
    meb.insert(meb.begin(), report_vdm());
    const std::string good = write("good.nmea", meb);
    const std::string bad = write("bad.nmea", {"!AIVDM,1,1,,A,13aGD3PP00PN?5DMRh878wwn0>`<,0*58", report_vdm()});
    // Neither the channel nor the file's name is UTF-8: the JSON stays valid and reading goes on.
    const std::string noise = write("feed\xC1.nmea", {"!AIVDM,1,1,,\xC1\xC1,>MEB0`<,0*7F", report_vdm()});

    EXPECT_EQ(run("--json " + good), 0);
    std::istringstream json(slurp("out"));
    int reports = 0;
    for (std::string l; std::getline(json, l);) {
        const auto j = nlohmann::json::parse(l);
        reports += j["report"].get<bool>();
        EXPECT_EQ(j["fi"], 51);
    }
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(slurp("err"), "");

    // --mmsi takes one value or a comma list per use, never the file after it.
    EXPECT_EQ(run("--json --reports-only --mmsi 992501234,992351101 " + good), 0) << slurp("err");
    EXPECT_EQ(slurp("err"), "");
    const std::string two = slurp("out");
    EXPECT_EQ(std::count(two.begin(), two.end(), '\n'), 2) << two;
    EXPECT_EQ(run("--mmsi 992351101 --mmsi=1 " + good), 0) << slurp("err");
    EXPECT_EQ(slurp("out"), "");

    EXPECT_EQ(run("--json " + noise), 1);
    EXPECT_EQ(nlohmann::json::parse(slurp("out"))["report"], true);
    EXPECT_EQ(slurp("err"), noise + ":1: channel \"\\xC1\\xC1\" is not text\n");

    EXPECT_EQ(run(bad), 1);
    EXPECT_EQ(slurp("err"), bad + ":1: bad checksum *58, computed *59\n");
    EXPECT_NE(slurp("out").find(bad + ":2: Message 6 from 992501234 to 002320747"), std::string::npos);
    EXPECT_EQ(run("- < " + bad), 1);
    EXPECT_EQ(run("--no-such-option " + good), 2);
    EXPECT_EQ(run((dir / "missing.nmea").string()), 2);
    fs::remove_all(dir);
}

// A Message 21 of our own making: every field a value of its own, the name
// running on into its extension, over two sentences stamped by the receiver.
TEST(Msg6Aton, Message21ReadsBackWithItsNameExtensionAndTheReceiveTime) {
    Writer w;
    for (auto [v, width] : std::vector<std::pair<std::int64_t, unsigned>>{
             {21, 6}, {1, 2}, {992241234, 30}, {20, 5}})
        w.put(v, width);
    w.text("ZELMORA NORTE LONG N", 20);
    for (auto [v, width] : std::vector<std::pair<std::int64_t, unsigned>>{
             {1, 1}, {-5035710, 28}, {26027364, 27}, {5, 9}, {6, 9}, {7, 6}, {8, 6}, {7, 4}, {42, 6}, {1, 1},
             {0x5A, 8}, {1, 1}, {0, 1}, {1, 1}, {0, 1}})
        w.put(v, width);
    w.text("AME EXT", 7);
    w.put(0, 6);   // spare up to a whole byte
    const auto [chars, fill] = w.armour();
    ASSERT_GT(chars.size(), 30u);
    const auto out = feed_all({tag("s:base1,c:1765280000123") + sentence("AIVDM,2,1,4,B," + chars.substr(0, 30) + ",0"),
                               tag("g:2-2-9") + sentence("AIVDM,2,2,4,B," + chars.substr(30) + "," + std::to_string(fill))});
    ASSERT_TRUE(out.errors.empty()) << out.errors[0].text;
    ASSERT_EQ(out.messages.size(), 1u);
    const ais::Message& m = out.messages[0];
    ASSERT_TRUE(m.aton);
    EXPECT_FALSE(m.report);
    const ais::AtonPosition& a = *m.aton;
    EXPECT_EQ(a.aid_type, 20u);
    EXPECT_EQ(a.name, "ZELMORA NORTE LONG NAME EXT");
    EXPECT_TRUE(a.accuracy);
    EXPECT_DOUBLE_EQ(*a.lon, -5035710 / 600000.0);
    EXPECT_DOUBLE_EQ(*a.lat, 26027364 / 600000.0);
    EXPECT_EQ(std::vector<unsigned>({a.dim_a, a.dim_b, a.dim_c, a.dim_d}), std::vector<unsigned>({5, 6, 7, 8}));
    EXPECT_EQ(a.epfd, 7u);
    EXPECT_EQ(a.second, 42u);
    EXPECT_TRUE(a.off_position);
    EXPECT_EQ(a.status, 0x5Au);
    EXPECT_TRUE(a.raim);
    EXPECT_FALSE(a.virtual_aid);
    EXPECT_TRUE(a.assigned);
    // Milliseconds in c: are cut to the second; the source is kept.
    EXPECT_EQ(*m.received, 1765280000);
    EXPECT_EQ(m.tag_source, "base1");

    const auto j = ais::to_json(m);
    EXPECT_EQ(j["received"], "2025-12-09T11:33:20Z");
    EXPECT_EQ(j["received_unix"], 1765280000);
    EXPECT_EQ(j["tag_source"], "base1");
    EXPECT_EQ(j["aid_type_name"], "cardinal mark N");
    EXPECT_EQ(j["epfd_name"], "surveyed");
    EXPECT_EQ(j["report"], false);
    const std::string text = ais::describe(m, "log:1");
    for (const char* s : {"Message 21 from 992241234 (repeat 1): aid-to-navigation report, received "
                          "2025-12-09T11:33:20Z from base1",
                          "cardinal mark N (20)", "008\u00B023.5710'W", "to bow 5 m, to stern 6 m, to port 7 m",
                          "Time stamp                    42 s", "Off position                  yes"})
        EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
    EXPECT_EQ(ais::brief(m, "log:1"),
              "2025-12-09T11:33:20Z  992241234  aton  \"ZELMORA NORTE LONG NAME EXT\"  43.37894 -8.39285  "
              "cardinal mark N  OFF POSITION\n");
}

// DAC 235 FI 10 in an addressed Message 6 and DAC 250 FI 10 in a broadcast
// Message 8: the same fields, from where each message's data begins.
TEST(Msg6Aton, AtonMonitoringReportsInMessages6And8) {
    const auto data = [](unsigned dac, bool spare) {
        Writer w;
        for (auto [v, width] : std::vector<std::pair<std::int64_t, unsigned>>{
                 {dac, 10}, {10, 6}, {250, 10}, {0, 10}, {1023, 10}, {2, 2}, {3, 2}, {1, 1}, {0x81, 8}, {1, 1}})
            w.put(v, width);
        if (spare) w.put(0, 4);
        return w.bits;
    };
    Writer six, eight, short6;
    for (auto [v, width] : {std::pair<std::int64_t, unsigned>{6, 6}, {0, 2}, {992351101, 30}, {0, 2}, {2320747, 30}, {0, 2}})
        six.put(v, width);
    short6 = six;
    six.bits += data(235, true);
    short6.bits += data(235, false).substr(0, 50);
    for (auto [v, width] : {std::pair<std::int64_t, unsigned>{8, 6}, {0, 2}, {992351102, 30}, {0, 2}})
        eight.put(v, width);
    eight.bits += data(250, false);
    const auto vdm = [](const Writer& w) {
        const auto [chars, fill] = w.armour();
        return sentence("AIVDM,1,1,,A," + chars + "," + std::to_string(fill));
    };
    const auto out = feed_all({vdm(six), vdm(eight), vdm(short6)});
    ASSERT_EQ(out.errors.size(), 1u);
    EXPECT_EQ(out.errors[0].text, "Message 6 DAC 235 FI 10 too short for an AtoN monitoring report: 122 bits, 132 needed");
    ASSERT_EQ(out.messages.size(), 2u);
    for (const auto& m : out.messages) {
        ASSERT_TRUE(m.monitor) << m.type;
        const ais::AtonMonitor& x = *m.monitor;
        EXPECT_DOUBLE_EQ(*x.internal_v, 12.5);
        EXPECT_FALSE(x.external1_v);
        EXPECT_DOUBLE_EQ(*x.external2_v, 51.15);
        EXPECT_EQ(x.racon, 2u);
        EXPECT_EQ(x.light, 3u);
        EXPECT_TRUE(x.alarm);
        EXPECT_EQ(x.digital, 0x81u);
        EXPECT_TRUE(x.off_position);
    }
    EXPECT_EQ(*out.messages[1].dac, 250u);
    const auto j = ais::to_json(out.messages[0]);
    EXPECT_TRUE(j["external1_v"].is_null());
    EXPECT_EQ(j["racon"], "operational");
    EXPECT_EQ(j["light"], "error");
    EXPECT_EQ(j["digital_inputs"], 0x81);
    EXPECT_EQ(ais::brief(out.messages[0], "log:1"),
              "log:1  992351101  monitor  12.50 V  ext - / 51.15 V  light error  racon operational  inputs 10000001  "
              "ALARM  OFF POSITION\n");
    EXPECT_NE(ais::describe(out.messages[1], "log:2").find("Message 8 (DAC 250 FI 10) from 992351102 (repeat 0): AtoN "
                                                           "monitoring report"),
              std::string::npos);

    // --reports-only keeps both kinds of monitoring report, and nothing else.
    ais::Filter only{{}, true};
    EXPECT_TRUE(only.passes(out.messages[0]));
    EXPECT_TRUE(only.passes(feed_all({report_vdm()}).messages.at(0)));
    EXPECT_FALSE(only.passes(feed_all({sentence("AIVDM,1,1,,A,13aGD3PP00PN?5DMRh878wwn0>`<,0")}).messages.at(0)));
    EXPECT_FALSE((ais::Filter{{992351101}, false}.passes(out.messages[1])));
}
