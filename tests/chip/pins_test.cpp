// Every signal goes through the pad it is on: the pins image sets up each of
// the board's buses with one pad setting wrong, and the device on that bus
// hears nothing (or the chip's input reads idle) while the chip report names
// the wire left unconnected; with every setting right each device is reached.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "elf.h"
#include "host/serial_peer.h"
#include "unit.h"

namespace {

using zplat::kMs;

struct Recorder : zplat::SerialPeer {
    std::string bytes;
    void on_byte(uint8_t byte, uint64_t, uint32_t) override { bytes.push_back(static_cast<char>(byte)); }
};

// What the devices and the image saw.
struct Seen {
    std::string pc, transponder;
    uint32_t ready = 0, gps_bytes = 0, eeprom_status = 0, rtc_nack = 0, battery = 0;
    zchip::ChipReport report;
    std::string text;
};

const char kNmea[] = "$GPZDA*00\r\n";

#ifdef ZELMORA_PINS_IMAGE
Seen run_image(uint32_t wrong) {
    Seen s;
    Recorder pc, transponder;
    zsim::Board b(zsim::Scenario::builtin());
    zchip::ChipUnit unit(b, ZELMORA_PINS_IMAGE);
    // Stand-ins for the PC and the transponder, to see every byte they get.
    zplat::uart_by_index(0)->host_attach(&pc);
    zplat::uart_by_index(2)->host_attach(&transponder);
    const zchip::Elf elf = zchip::Elf::read_file(ZELMORA_PINS_IMAGE);
    auto at = [&](const char* name) { return elf.symbol(name).value(); };
    unit.core().write_memory(at("wrong"), &wrong, sizeof wrong);
    // The GPS talks once the image is set up.
    zplat::uart_by_index(1)->host_feed(reinterpret_cast<const uint8_t*>(kNmea), sizeof kNmea - 1, 10 * kMs, 9600);
    b.run_for(30 * kMs);
    EXPECT_FALSE(unit.faulted()) << unit.fault_report();
    const std::pair<const char*, uint32_t*> results[] = {{"ready", &s.ready},
                                                         {"gps_bytes", &s.gps_bytes},
                                                         {"eeprom_status", &s.eeprom_status},
                                                         {"rtc_nack", &s.rtc_nack},
                                                         {"battery", &s.battery}};
    for (auto [name, out] : results) unit.core().read_memory(at(name), out, sizeof *out);
    zplat::uart_by_index(0)->host_attach(nullptr);
    zplat::uart_by_index(2)->host_attach(nullptr);
    s.pc = pc.bytes;
    s.transponder = transponder.bytes;
    s.report = unit.report();
    s.text = unit.report_text();
    return s;
}

bool starts(const std::vector<std::string>& lines, const std::string& head) {
    for (const std::string& l : lines)
        if (l.rfind(head, 0) == 0) return true;
    return false;
}
#endif

struct Case {
    const char* name;
    uint32_t wrong;     // the image's setting to get wrong (pins_image.c)
    const char* wire;   // the device wire that leaves unconnected
    const char* pin;    // what carries it with the settings right
    bool (*reached)(const Seen&);
    bool (*idle)(const Seen&);
};

const Case kCases[] = {
    {"PcTxWithoutPmuxen", 1, "PC TX (line 1, PA04)", "SERCOM0 TX on PA04, function D, PAD0 = line 1 (PC TX)",
     [](const Seen& s) { return s.pc == "PC"; }, [](const Seen& s) { return s.pc.empty(); }},
    {"GpsRxOnTheWrongLetter", 2, "GPS RX (line 2, PA17)", "SERCOM1 RX on PA17, function C, PAD1 = line 2 (GPS RX)",
     [](const Seen& s) { return s.gps_bytes == sizeof kNmea - 1; }, [](const Seen& s) { return s.gps_bytes == 0; }},
    {"TransponderTxOnTheWrongTxpo", 3, "transponder TX (line 5, PB22)",
     "SERCOM5 TX on PB22, function D, PAD2 = line 5 (transponder TX)",
     [](const Seen& s) { return s.transponder == "$X"; }, [](const Seen& s) { return s.transponder.empty(); }},
    {"EepromMisoOnTheWrongDipo", 4, "EEPROM MISO (line 51, PA12)",
     "SERCOM4 MISO on PA12, function D, PAD0 = line 51 (EEPROM MISO)",
     [](const Seen& s) { return s.eeprom_status == 0x02; },   // WEL, after WREN
     [](const Seen& s) { return s.eeprom_status == 0xFF; }},
    {"RtcSclWithoutPmuxen", 5, "RTC SCL (line 48, PA09)", "SERCOM2 SCL on PA09, function D, PAD1 = line 48 (RTC SCL)",
     [](const Seen& s) { return s.rtc_nack == 0; }, [](const Seen& s) { return s.rtc_nack == 1; }},
    {"BatteryOffItsAnalogFunction", 6, "battery (line 39, PB00)", "ADC AIN8 on PB00, function B = line 39 (battery)",
     [](const Seen& s) { return s.battery > 0; }, [](const Seen& s) { return s.battery == 0; }},
};

class ChipPins : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(ChipPins, OneWrongPadSettingLeavesItsDeviceUnconnectedAndTheReportSaysWhich) {
#ifndef ZELMORA_PINS_IMAGE
    GTEST_SKIP() << "no arm-none-eabi-gcc: the pins image was not built";
#else
    static const Seen right = run_image(0);
    const Case& c = GetParam();
    const Seen wrong = run_image(c.wrong);
    ASSERT_EQ(right.ready, 1u);
    ASSERT_EQ(wrong.ready, 1u);

    EXPECT_TRUE(c.reached(right));
    EXPECT_TRUE(starts(right.report.pins, c.pin)) << right.text;
    EXPECT_TRUE(right.report.unconnected.empty()) << right.text;

    EXPECT_TRUE(c.idle(wrong));
    EXPECT_FALSE(starts(wrong.report.pins, c.pin)) << wrong.text;
    ASSERT_EQ(wrong.report.unconnected.size(), 1u) << wrong.text;
    EXPECT_TRUE(starts(wrong.report.unconnected, c.wire)) << wrong.text;
    EXPECT_NE(wrong.text.find("  pins\n"), std::string::npos);
    EXPECT_NE(wrong.text.find("    unconnected: " + std::string(c.wire)), std::string::npos) << wrong.text;
#endif
}

INSTANTIATE_TEST_SUITE_P(Buses, ChipPins, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });
