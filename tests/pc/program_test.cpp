// zelmora-pc against a stand-in unit on a pseudo-terminal: what the
// technician types, what goes over the line, what comes back.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app.h"
#include "fake_unit.h"
#include "text.h"
#include "unit_config.h"

namespace {

struct Result {
    int status;
    std::string out, err;
};

// Short time-outs: the stand-in answers at once. `typed` is what the
// technician answers on a terminal, if there is one.
Result pc(FakeUnit& unit, std::vector<std::string> args, const std::string* typed = nullptr) {
    args.insert(args.begin(), {"--port", unit.path, "--timeout", "300", "--resync", "100"});
    std::ostringstream out, err;
    std::istringstream in(typed ? *typed : "");
    const int status = zpc::run(args, out, err, in, typed != nullptr);
    return {status, out.str(), err.str()};
}

bool sent(FakeUnit& unit, uint8_t command, uint8_t sub) {
    for (const auto& q : unit.requests())
        if (q.command == command && q.subcommand == sub) return true;
    return false;
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put_record(FakeUnit& u, uint16_t slot, std::vector<uint8_t> rec) {
    std::copy(rec.begin(), rec.end(), u.mem.begin() + 256 + slot * 8);
}

}  // namespace

TEST(PcProgram, ReadsInExportsOfAtMost128BytesOverAChattyLine) {
    FakeUnit unit;
    unit.chatty = true;
    for (size_t i = 0; i < 300; ++i) unit.mem[0x100 + i] = static_cast<uint8_t>(i * 7);
    const Result r = pc(unit, {"read", "0x100", "300"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto reqs = unit.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].count, 128);
    EXPECT_EQ(reqs[1].address, 0x180u);
    EXPECT_EQ(reqs[2].count, 44);
    // 19 rows; the second row starts at 0x0110 with byte 16 * 7 = 0x70.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 19);
    EXPECT_NE(r.out.find("0110  70 77 7E 85"), std::string::npos) << r.out;
    // The console text went to standard error, untouched.
    EXPECT_NE(r.err.find("\r\n\t\tSTATUS: 08/12/26 13:45\r\n\t\tBattery:12.60 v\r\n"), std::string::npos);

    const Result q = pc(unit, {"--quiet", "ping"});
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(q.err, "");
}

TEST(PcProgram, ALostReplyIsAskedForAgainButARestartIsNeverSentTwice) {
    FakeUnit unit;
    unit.lose = 1;
    const Result r = pc(unit, {"ping"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit.requests().size(), 2u);
    EXPECT_NE(r.err.find("asking again (attempt 2 of 3)"), std::string::npos) << r.err;

    unit.forget();
    unit.lose = 1;
    const Result s = pc(unit, {"restart"});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(unit.requests().size(), 1u);
    EXPECT_NE(s.err.find("not repeated"), std::string::npos) << s.err;

    // Answered: the second reply of a restart is taken in, not left on the line.
    unit.forget();
    EXPECT_EQ(pc(unit, {"restart"}).status, 0);
    EXPECT_EQ(pc(unit, {"ping"}).status, 0);
}

TEST(PcProgram, AUnitThatNeverAnswersGivesAClearMessageAndStatus1) {
    FakeUnit unit;
    unit.silent = true;
    const Result r = pc(unit, {"--retries", "1", "memtest"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(unit.requests().size(), 2u);
    EXPECT_NE(r.err.find("no answer from the unit on " + unit.path + " to the EEPROM test (2 attempts, 300 ms each)"),
              std::string::npos)
        << r.err;
    std::ostringstream out, err;
    EXPECT_EQ(zpc::run({"--port", "/nonexistent/tty", "ping"}, out, err), 1);
    EXPECT_NE(err.str().find("cannot open /nonexistent/tty"), std::string::npos) << err.str();
    EXPECT_EQ(pc(unit, {"read", "0xFFF0", "32"}).status, 2);   // past the end: refused before the line is used
}

TEST(PcProgram, ConfigSetChecksTheRulesThenWritesThePageForReloadAndReadsItBack) {
    FakeUnit unit;
    const zcfg::Config def = zcfg::from_toml(file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml"), "default");
    unit.mem = zcfg::eeprom_image(def);

    const Result bad = pc(unit, {"config", "set", "station.name=NUEVA", "station.mmsi=0"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("station.mmsi must be a whole number 1..999999999"), std::string::npos) << bad.err;
    EXPECT_TRUE(unit.requests().empty());

    const Result ok = pc(unit, {"config", "set", "station.mmsi=992241235", "power.low_battery=11.5"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    bool page_written = false;
    for (const auto& q : unit.requests())
        page_written = page_written || (q.command == 1 && q.subcommand == 0 && q.address == 0 && q.data.size() == 98);
    EXPECT_TRUE(page_written);
    EXPECT_EQ(std::vector<uint8_t>(unit.mem.begin() + 46, unit.mem.begin() + 50),
              (std::vector<uint8_t>{0x53, 0x66, 0x24, 0x3B}));   // 992241235, least significant first
    // 12.4 typed is the single 12.4000001 the unit holds: nothing is written.
    unit.forget();
    const Result again = pc(unit, {"config", "set", "power.alarm_off=12.4", "station.mmsi=992241235"});
    EXPECT_EQ(again.out, "nothing to change: the unit holds these values already\n");
    for (const auto& q : unit.requests()) EXPECT_EQ(q.command, 0);   // exports only

    const Result got = pc(unit, {"config", "get", "power.low_battery"});
    EXPECT_EQ(got.out, "11.5\n");
    // What `config show` prints loads back as the same bytes.
    const Result shown = pc(unit, {"config", "show"});
    ASSERT_EQ(shown.status, 0);
    const zcfg::Config back = zcfg::from_toml(shown.out, "shown");
    EXPECT_EQ(zcfg::eeprom_image(back), unit.mem);
}

TEST(PcProgram, TheLogComesOutOldestFirstWithVolts) {
    FakeUnit unit;
    std::fill(unit.mem.begin() + 256, unit.mem.begin() + 4360, 0);
    unit.mem[252] = 0;
    unit.mem[253] = 42;   // restarts
    unit.mem[254] = 0;
    unit.mem[255] = 2;    // the next record goes to slot 2: the oldest is there
    put_record(unit, 2, {0x49, 0x14, 0x84, 0x41, 0x1E, 0x01, 0x04, 0x65});   // 1226081345, :30, low battery, 11.25 V
    put_record(unit, 512, {0x49, 0x14, 0x84, 0x42, 0x00, 0x0F, 0x00, 0x2A});   // 13:46:00, start-up 42
    put_record(unit, 0, {0x49, 0x14, 0x84, 0x9C, 0x05, 0x05, 0x00, 0x00});     // 1226081436: 14:36:05, input 1
    const Result r = pc(unit, {"log", "--csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "slot,utc,code,event,data,volts\n"
              "2,2026-12-08T13:45:30Z,1,\"low-battery alarm raised\",1125,11.25\n"
              "512,2026-12-08T13:46:00Z,15,\"start-up\",42,\n"
              "0,2026-12-08T14:36:05Z,5,\"external input 1 alarm raised\",0,\n");
}

TEST(PcProgram, ClockAndCalibrationInTestMode) {
    FakeUnit unit;
    const Result rtc = pc(unit, {"rtc"});
    ASSERT_EQ(rtc.status, 0) << rtc.err;
    EXPECT_EQ(rtc.out, "2026-12-08 13:45:30 UTC (Tuesday)\n");

    unit.forget();
    const Result cal = pc(unit, {"calibrate", "battery", "12.47"});
    ASSERT_EQ(cal.status, 0) << cal.err;
    // Test mode on before the calibration, and off again after it; the
    // battery monitor's counts checked the factor before it was sent.
    std::vector<int> order;
    for (const auto& q : unit.requests())
        if (q.command == 3 && (q.subcommand == 1 || q.subcommand == 11)) order.push_back(q.subcommand * 10 + q.data[0]);
    EXPECT_EQ(order, (std::vector<int>{11, 111, 112, 110, 10}));
    EXPECT_NE(cal.out.find("battery factor at 0xFFF8: 0.00459131"), std::string::npos) << cal.out;
    EXPECT_NE(cal.out.find("from 2716 counts"), std::string::npos) << cal.out;
    EXPECT_FALSE(unit.test_mode);
    EXPECT_EQ(pc(unit, {"calibrate", "battery", "0"}).status, 2);
}

// The unit reports success for these requests outside test mode, where
// they do nothing (or, on older units, switch the charger on).
TEST(PcProgram, RequestsForTestModeOutsideItChangeNothingAndSaySo) {
    FakeUnit unit;
    unit.cmppt = 0;   // the unit switched its charger off for a full battery
    const Result off = pc(unit, {"-q", "test", "panel", "off"});
    EXPECT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(off.out, "the unit is not in test mode: its panel current monitor is not running, and nothing was changed\n");
    const Result leave = pc(unit, {"-q", "test", "off"});
    EXPECT_EQ(leave.status, 0) << leave.err;
    EXPECT_TRUE(has(leave.out, "not in test mode")) << leave.out;
    const Result on = pc(unit, {"-q", "test", "battery", "on"});
    EXPECT_EQ(on.status, 1);
    EXPECT_TRUE(has(on.err, "not in test mode")) << on.err;
    // Asked with the DIP monitor, switched off again; nothing else sent.
    EXPECT_FALSE(sent(unit, 3, 13) || sent(unit, 3, 11) || sent(unit, 3, 1));
    EXPECT_EQ(unit.cmppt, 0);
    EXPECT_EQ(unit.dips, 0);

    // In test mode the same requests act.
    ASSERT_EQ(pc(unit, {"test", "on"}).status, 0);
    const Result panel = pc(unit, {"-q", "test", "panel", "on"});
    EXPECT_TRUE(has(panel.out, "  I PANEL => ")) << panel.out << panel.err;
    EXPECT_EQ(unit.cmppt, 1);
    // The monitor already printing tells test mode: no DIP request needed.
    unit.forget();
    EXPECT_TRUE(has(pc(unit, {"-q", "test", "panel", "off"}).out, "panel current monitor off"));
    EXPECT_FALSE(sent(unit, 3, 5));
    EXPECT_EQ(unit.cmppt, 0);
    EXPECT_EQ(pc(unit, {"-q", "test", "off"}).out, "test mode off: normal supervision again, charger on\n");
    EXPECT_FALSE(unit.test_mode);
    EXPECT_EQ(unit.cmppt, 1);
}

TEST(PcProgram, PanelCalibrationLeavesTestModeMonitorAndChargerAsFound) {
    FakeUnit unit;
    // No current from the panel: refused, and everything put back.
    const Result none = pc(unit, {"-q", "calibrate", "panel", "1.32"});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(has(none.err, "measured 0 counts for 1.32 A, no plausible reading (is the panel connected?)")) << none.err;
    EXPECT_TRUE(has(none.err, "test mode left again")) << none.err;
    EXPECT_FALSE(unit.test_mode);
    EXPECT_EQ(unit.panel, 0);
    EXPECT_EQ(unit.cmppt, 1);
    EXPECT_TRUE(sent(unit, 3, 13));   // the monitor was on for the attempt

    // In test mode with the battery monitor on: it stays so, the charger off.
    unit.panel_counts = 400;
    ASSERT_EQ(pc(unit, {"test", "on"}).status, 0);
    ASSERT_EQ(pc(unit, {"test", "battery", "on"}).status, 0);
    const Result ok = pc(unit, {"-q", "calibrate", "panel", "1.32"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_TRUE(has(ok.out, "panel current factor at 0xFFF4: 0.00330000")) << ok.out;
    EXPECT_TRUE(has(ok.out, "stays in test mode, its panel current monitor off again")) << ok.out;
    EXPECT_TRUE(unit.test_mode);
    EXPECT_EQ(unit.battery, 1);
    EXPECT_EQ(unit.panel, 0);
    EXPECT_EQ(unit.cmppt, 0);
}

TEST(PcProgram, AnEepromThatDoesNotAnswerIsReportedInTheUnitsOwnWords) {
    FakeUnit unit;
    unit.eeprom_absent = true;
    const Result read = pc(unit, {"-q", "read", "0x100", "16"});
    EXPECT_EQ(read.status, 1);
    EXPECT_TRUE(has(read.err, "could not read its EEPROM at 0x0100..0x010F")) << read.err;
    EXPECT_TRUE(has(read.err, "it said \"ERROR EEPROM: no responde\" (its EEPROM does not answer)")) << read.err;
    const Result write = pc(unit, {"-q", "write", "0xE6", "54"});
    EXPECT_EQ(write.status, 1);
    EXPECT_TRUE(has(write.err, "could not store 1 byte at 0x00E6: it said \"ERROR EEPROM: no responde\"")) << write.err;

    unit.eeprom_absent = false;
    unit.eeprom_reads_fail = true;
    const Result check = pc(unit, {"-q", "write", "0xE6", "54"});
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(has(check.err, "the 1 byte sent to 0x00E6 could not be read back")) << check.err;
    EXPECT_TRUE(has(check.err, "(its EEPROM does not answer)")) << check.err;
}

TEST(PcProgram, WipesAskFirstAndDryRunsWriteNothing) {
    FakeUnit unit;
    const zcfg::Config def = zcfg::from_toml(file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml"), "default");
    unit.mem = zcfg::eeprom_image(def);
    const Result blind = pc(unit, {"config", "wipe"});   // no terminal
    EXPECT_EQ(blind.status, 2);
    EXPECT_TRUE(has(blind.err, "needs --yes")) << blind.err;
    const std::string no = "n\n", yes = "y\n";
    const Result declined = pc(unit, {"log", "wipe"}, &no);
    EXPECT_EQ(declined.status, 1);
    EXPECT_TRUE(has(declined.err, "clear the event log (every event in it) of the unit on " + unit.path + "? [y/N] "));
    EXPECT_TRUE(unit.requests().empty());
    EXPECT_EQ(pc(unit, {"log", "wipe"}, &yes).status, 0);
    EXPECT_TRUE(sent(unit, 2, 2));

    unit.forget();
    const Result dry = pc(unit, {"config", "set", "--dry-run", "power.low_battery=11.5"});
    EXPECT_EQ(dry.out, "power.low_battery: 11.8 -> 11.5\ndry run: nothing written\n");
    const std::string file = testing::TempDir() + "zelmora-dry.toml";
    std::string text = file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml");
    text.replace(text.find("min_satellites = 4"), 18, "min_satellites = 5");
    std::ofstream(file) << text;
    const Result load = pc(unit, {"config", "load", "--dry-run", file});
    EXPECT_EQ(load.out, "gps.min_satellites: 4 -> 5\ndry run: nothing written\n") << load.err;
    for (const auto& q : unit.requests()) EXPECT_EQ(q.command, 0);   // exports only

    EXPECT_EQ(pc(unit, {"config", "wipe", "--yes"}).status, 0);
    EXPECT_EQ(unit.mem[46], 0xFF);
}

// A plain JSON dump throws on bytes that are not UTF-8.
TEST(PcProgram, TextThatIsNotUtf8NeverStopsJsonOrCsv) {
    const std::string bad = "ZELMORA \xC3\x28 \xFF\xED\xA0\x80 \xE2\x82";
    nlohmann::ordered_json j;
    j["name"] = bad;
    std::string text;
    ASSERT_NO_THROW(text = zpc::json_text(j));
    const std::string name = nlohmann::json::parse(text)["name"];
    EXPECT_EQ(name.rfind("ZELMORA \xEF\xBF\xBD(", 0), 0u) << name;
    EXPECT_EQ(zpc::valid_utf8("\xC3\xB1 \xF0\x9F\x9A\xA2"), "\xC3\xB1 \xF0\x9F\x9A\xA2");   // valid text is left alone
    EXPECT_EQ(zpc::csv_field("a,\"b\"\r\n"), "\"a,\"\"b\"\"\r\n\"");
    EXPECT_EQ(zpc::csv_field("\xFF"), "\xEF\xBF\xBD");
    EXPECT_EQ(zpc::printable("\tno\xFF"), "\\x09no\\xFF");

    // A station name of such bytes, as `config show --json` meets it.
    FakeUnit unit;
    const zcfg::Config def = zcfg::from_toml(file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml"), "default");
    unit.mem = zcfg::eeprom_image(def);
    std::copy(bad.begin(), bad.end(), unit.mem.begin() + 7);
    const Result shown = pc(unit, {"-q", "config", "show", "--json"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(nlohmann::json::accept(shown.out)) << shown.out;
}

// What the unit would misbehave with never reaches it, whichever command
// would write it: exit status 2, the rule named, nothing but reads sent.
TEST(PcProgram, WritesThatWouldBreakTheUnitAreRefusedBeforeAnythingIsWritten) {
    FakeUnit unit;
    const zcfg::Config def = zcfg::from_toml(file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml"), "default");
    unit.mem = zcfg::eeprom_image(def);
    const std::vector<uint8_t> image = unit.mem;
    const auto only_reads = [&unit] {
        for (const auto& q : unit.requests())
            if (q.command != 0 && !(q.command == 3 && q.data[0] != 2)) return false;
        return true;
    };
    const std::string file = testing::TempDir() + "zelmora-orders.toml";
    std::string text = file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml");
    text.replace(text.find("charger_on = 13.2"), 17, "charger_on = 15.0");
    std::ofstream(file) << text;
    const struct {
        std::vector<std::string> args;
        const char* rule;
    } refused[] = {
        {{"config", "set", "gps.min_satellites=200"}, "gps.min_satellites must be a whole number 3..12"},
        {{"config", "set", "station.mmsi=0x3B"}, "nine decimal digits"},
        {{"config", "set", "power.charger_on=15"}, "power.charger_on=15.0 must be below power.charger_off=14.4"},
        {{"config", "set", "power.charger_on=13.8", "power.charger_off=13.6"},
         "power.charger_on=13.8 must be below power.charger_off=13.6"},
        {{"config", "load", file}, "power.charger_on=15.0 must be below power.charger_off=14.4"},
        {{"write", "0xFFF8", "00 00 A0 40"}, "calibration.battery_volts_per_count = 5.0, but"},
        {{"write", "0x43", "00 00 38 41"}, "power.low_battery=11.8 must be below power.alarm_off=11.5"},
        // 1.26 V over the 2716 counts of a 12.6 V battery: a tenth of the factor.
        {{"calibrate", "battery", "1.26"}, "must be a positive factor within 20 %"},
        {{"calibrate", "battery", "14.0"}, "(+12.2 %), more than the 10 %"},
    };
    for (const auto& c : refused) {
        unit.forget();
        const Result r = pc(unit, c.args);
        EXPECT_EQ(r.status, 2) << c.args[1] << ": " << r.err;
        EXPECT_TRUE(has(r.err, c.rule)) << r.err;
        EXPECT_TRUE(only_reads()) << c.args[1];
        EXPECT_EQ(unit.mem, image);
        EXPECT_FALSE(unit.test_mode);
    }
    // Values the unit holds go back with the page: a bad one is named.
    std::fill(unit.mem.begin() + 67, unit.mem.begin() + 83, 0xFF);
    const Result held = pc(unit, {"config", "set", "station.name=FARO"});
    EXPECT_EQ(held.status, 2);
    EXPECT_TRUE(has(held.err, "the unit holds power.alarm_off = nan")) << held.err;
    unit.mem = image;

    // Deliberately: a bigger change with --force, raw bytes as they are.
    const Result forced = pc(unit, {"-q", "calibrate", "--force", "battery", "14.0"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(has(forced.out, "(was 0.00459228503, +12.2 %)")) << forced.out;
    EXPECT_EQ(pc(unit, {"write", "--force", "0xFFF8", "00 00 A0 40"}).status, 0);
    // A sound value still goes through.
    EXPECT_EQ(pc(unit, {"config", "set", "power.charger_on=13.0"}).status, 0);
}

TEST(PcProgram, ALineThatDropsDuringAWriteSaysItMayHaveLandedAndHowToCheck) {
    {
        FakeUnit unit;
        unit.mem = zcfg::eeprom_image(
            zcfg::from_toml(file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml"), "default"));
        unit.hang_up_on_write = true;
        const Result r = pc(unit, {"-q", "config", "set", "power.low_battery=11.5"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.err, "hung up")) << r.err;
        EXPECT_TRUE(has(r.err, "; the line dropped during the write: it may have landed; check with `zelmora-pc config show`"))
            << r.err;
    }
    FakeUnit unit;
    unit.lose = 1;
    const Result r = pc(unit, {"-q", "--retries", "0", "write", "0xE6", "54"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "The write may have landed all the same: check with `zelmora-pc read 0x00E6 1`.")) << r.err;
    // A read that goes unanswered says nothing of the kind.
    unit.lose = 1;
    EXPECT_FALSE(has(pc(unit, {"-q", "--retries", "0", "read", "0xE6", "1"}).err, "landed"));
}

// The unit writes its log's index three times (copy 1 at 4608, copy 2 at
// 4736, then 254); a loss of supply cuts the update anywhere in between.
TEST(PcProgram, TheLogTakesItsWriteIndexFromTheCopiesAsTheUnitDoes) {
    FakeUnit unit;
    std::fill(unit.mem.begin() + 252, unit.mem.begin() + 4360, 0);
    for (uint8_t k = 0; k < 42; ++k) put_record(unit, k, {0x49, 0x14, 0x84, 0x41, k, 0x05, 0x00, 0x00});
    const auto index = [&unit](uint16_t copy1, uint16_t copy2, uint16_t at254) {
        for (const auto& [at, v] : {std::pair<size_t, uint16_t>{4608, copy1}, {4736, copy2}, {254, at254}}) {
            unit.mem[at] = static_cast<uint8_t>(v >> 8);
            unit.mem[at + 1] = static_cast<uint8_t>(v);
        }
    };
    // Cut after both copies moved on to 42 and before 254 did: slot 41 is the newest.
    index(42, 42, 41);
    const Result cut = pc(unit, {"-q", "log", "--csv"});
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_EQ(cut.out.rfind("slot,utc,code,event,data,volts\n0,2026-12-08T13:45:00Z,", 0), 0u) << cut.out;
    const std::string newest = "\n41,2026-12-08T13:45:41Z,5,\"external input 1 alarm raised\",0,\n";
    EXPECT_EQ(cut.out.rfind(newest), cut.out.size() - newest.size()) << cut.out;
    EXPECT_TRUE(has(cut.err, "the write index at 254 reads 41 and its copies at 4608 and 4736 42")) << cut.err;
    // Copies that disagree, all three differing, or copy 2 erased (not made yet): 254 counts.
    for (const auto& [c1, c2] : {std::pair<uint16_t, uint16_t>{42, 40}, {10, 11}, {42, 0xFFFF}}) {
        index(c1, c2, 5);
        const Result r = pc(unit, {"-q", "log"});
        EXPECT_TRUE(has(r.out, "42 events; next slot 5, restarts counted 0\n")) << c1 << " " << c2 << ": " << r.out;
        EXPECT_TRUE(has(r.out, "slot  date (UTC)           event                                      data\n   5  "))
            << r.out;
    }
}

// Without --with-calibration the file's factor is not written, so the unit's
// own says what the battery input can read.
TEST(PcProgram, ConfigLoadChecksTheSwitchOffAgainstTheBatteryFactorTheUnitHolds) {
    FakeUnit unit;
    unit.mem = zcfg::eeprom_image(zcfg::from_toml(file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml"), "default"));
    const float low = 0.00368f;   // within 20 % of the nominal factor: full scale is 15.07 V
    std::memcpy(unit.mem.data() + 0xFFF8, &low, 4);
    const std::vector<uint8_t> image = unit.mem;
    std::string text = file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml");
    text.replace(text.find("charger_off = 14.4"), 18, "charger_off = 15.4");
    const std::string with_factors = testing::TempDir() + "zelmora-high.toml";
    std::ofstream(with_factors) << text;
    std::string bare = text;
    bare.erase(bare.find("[calibration]"), bare.find("[gps]") - bare.find("[calibration]"));
    const std::string without = testing::TempDir() + "zelmora-high-bare.toml";
    std::ofstream(without) << bare;
    const std::string rule = "power.charger_off=15.4 must be below what the battery input can read with "
                             "calibration.battery_volts_per_count=0.00368 (4095 counts, 15.07 V)";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"config", "load", with_factors},
                                                 {"config", "load", "--dry-run", without},
                                                 {"config", "set", "power.charger_off=15.4"}}) {
        const Result r = pc(unit, args);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
        EXPECT_TRUE(has(r.err, rule)) << r.err;
        EXPECT_EQ(unit.mem, image);
    }
    // Its own factor written with it, the file's reach counts.
    EXPECT_EQ(pc(unit, {"-q", "config", "load", "--with-calibration", with_factors}).status, 0);
    // A factor the unit cannot use checks nothing: refused, saying how to go on.
    std::fill(unit.mem.begin() + 0xFFF4, unit.mem.end(), 0xFF);
    const Result none = pc(unit, {"-q", "config", "load", without});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(has(none.err, "it holds none the unit can use (nan); nothing was written (`zelmora-pc calibrate "
                              "battery VOLTS` stores a factor, or --with-calibration loads the file's)"))
        << none.err;
}

// For every key of a unit's configuration, `config set KEY=` what `config
// get KEY` printed writes nothing: the unit holds that value already.
TEST(PcProgram, ConfigGetPrintsEveryValueAsConfigSetTakesItBack) {
    FakeUnit unit;
    zcfg::Config c = zcfg::from_toml(file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml"), "default");
    c[*zcfg::find("station.mmsi")].number = 2;
    c[*zcfg::find("station.name")].text = "\"FARO\" SUR";
    c[*zcfg::find("station.call_sign")].text = "\"EA1\"";
    unit.mem = zcfg::eeprom_image(c);
    const std::vector<uint8_t> image = unit.mem;
    for (const zcfg::Field& f : zcfg::fields()) {
        const Result got = pc(unit, {"-q", "config", "get", f.key});
        ASSERT_EQ(got.status, 0) << f.key << ": " << got.err;
        const std::string typed = std::string(f.key) + "=" + got.out.substr(0, got.out.size() - 1);
        const Result set = pc(unit, {"-q", "config", "set", typed});
        EXPECT_EQ(set.status, 0) << typed << ": " << set.err;
        EXPECT_TRUE(has(set.out, "nothing to change")) << typed << ": " << set.out;
    }
    EXPECT_EQ(unit.mem, image);
    EXPECT_EQ(pc(unit, {"-q", "config", "get", "station.mmsi"}).out, "000000002\n");
    EXPECT_EQ(pc(unit, {"-q", "config", "get", "station.call_sign"}).out, "\"\"EA1\"\"\n");
}

TEST(PcProgram, ADecimalCommaAndAMisspeltKeyAreToldInPlainWords) {
    FakeUnit unit;
    const struct {
        std::vector<std::string> args;
        const char* said;
    } typed[] = {
        {{"calibrate", "battery", "12,6"}, "calibrate: 12,6 is not a number of volts: write it with a decimal point, 12.6"},
        {{"calibrate", "panel", "1.3A"}, "calibrate: 1.3A is not a number of amperes (the meter's reading, e.g. 1.32)"},
        {{"config", "set", "power.low_battery=11,6"},
         "refused: power.low_battery: 11,6 is not a number: write it with a decimal point, 11.6"},
        {{"config", "set", "power.low_batery=11"}, "unknown key power.low_batery: did you mean power.low_battery?"},
        {{"config", "get", "gps.min_satelites"}, "unknown key gps.min_satelites: did you mean gps.min_satellites?"},
        {{"config", "get", "gps.min_sats"}, "unknown key gps.min_sats (`zelmora-pc config show` lists them)"},
        // As near to input.1.type as to input.2.type: no guess.
        {{"config", "get", "input.4.type"}, "unknown key input.4.type (`zelmora-pc config show` lists them)"},
    };
    for (const auto& t : typed) {
        const Result r = pc(unit, t.args);
        EXPECT_EQ(r.status, 2) << t.said;
        EXPECT_EQ(r.err, std::string("zelmora-pc: ") + t.said + "\n");
    }
    std::string text = file_text(ZELMORA_SOURCE_DIR "/tools/default-config.toml");
    text.replace(text.find("low_battery = "), 14, "low_batery = ");
    const std::string file = testing::TempDir() + "zelmora-typo.toml";
    std::ofstream(file) << text;
    const Result load = pc(unit, {"config", "load", file});
    EXPECT_EQ(load.status, 2);
    EXPECT_TRUE(has(load.err, ": unknown key 'power.low_batery': did you mean power.low_battery?")) << load.err;
    EXPECT_TRUE(unit.requests().empty());
}
