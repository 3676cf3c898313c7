// The fault campaign on the image we would flash: cuts through a
// configuration write and through an event-log write, a brown-out and a
// short soak, with the host build's checks (fault_support.h, the soak's).
// The image runs ten to twenty times faster than real time, so CI takes a
// stride of the sweeps and a short brown-out; ZELMORA_PROOF_CHIP=1 (make
// proof-chip) every millisecond, brownout.toml whole and the winter week.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "board.h"
#include "fault_support.h"
#include "soak/soak.h"
#include "unit.h"

namespace {

using namespace zfault;

const std::string kElf = ZELMORA_CHIP_ELF;

bool proof() {
    const char* e = std::getenv("ZELMORA_PROOF_CHIP");
    return e && std::strcmp(e, "1") == 0;
}

std::unique_ptr<zsim::ExternalUnit> chip(zsim::Board& b) { return std::make_unique<zchip::ChipUnit>(b, kElf); }

// The start-up is logged and the transponder identified within 6 s of
// power-on, a reload within 4 s of the write: the sweeps wait less than the
// host build's. CI: every `step_ms`-th millisecond and every write cycle
// torn once; the sanitized build, some twenty times slower: the window's end alone.
Sweep sweep(int step_ms) {
    Sweep sw{chip};
    sw.started = 7 * kSec;
    sw.settle = 10 * kSec;
    sw.edges = !proof();
    sw.step_ms = proof() ? 1 : step_ms;
#ifdef ZELMORA_SANITIZED
    if (!proof()) {
        sw.edges = false;
        sw.step_ms = 0;
    }
#endif
    return sw;
}

zsim::Scenario shipped(const char* name) {
    return zsim::Scenario::from_file(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/" + name);
}

constexpr vtime kMinute = 60 * kSec;

#define NEED_IMAGE() \
    if (!std::filesystem::exists(kElf)) GTEST_SKIP() << kElf << " not built (make target)"

}  // namespace

TEST(ChipFault, CutsThroughAConfigurationWriteLeaveTheTransponderAConfiguredMmsi) {
    NEED_IMAGE();
    configuration_write_sweep(sweep(10));
}

TEST(ChipFault, CutsThroughAnEventLogWriteKeepTheEventsWrittenBefore) {
    NEED_IMAGE();
    Sweep sw = sweep(20);
    sw.settle = 5 * kSec;   // the restart logged 3 s after the supply returns
    event_log_sweep(sw);
}

TEST(ChipFault, BelowTheRegulatorsDropOutTheImageStopsUntilTheBatteryRecovers) {
    NEED_IMAGE();
#ifdef ZELMORA_SANITIZED
    if (!proof()) GTEST_SKIP() << "minutes of the image: not under the sanitizers";
#endif
    zsim::Scenario sc = shipped("brownout.toml");
    if (proof()) {
        Bench u(sc, chip);
        check_brownout(u.b, {(23 * 60 + 50) * kSec, 24 * kMinute, 76 * kMinute - kSec,
                             static_cast<vtime>(sc.minutes * 60) * kSec, 3});
        return;
    }
    // The same story in eight and a half minutes: the alarm on the second
    // reading below 11.8 V (2:00), 10.5 V at 2:28, 11.5 V at 3:28, the alarm
    // afresh at 5:05, cleared at 8:05 (the second reading over 12.4 V), no
    // reading half a volt from the last.
    sc.power.battery_volts.points = {{0, 11.75},          {130 * kSec, 11.7},  {150 * kSec, 10.4},
                                     {180 * kSec, 10.4},  {210 * kSec, 11.6},  {330 * kSec, 11.75},
                                     {390 * kSec, 12.2},  {430 * kSec, 12.55}, {510 * kSec, 12.7}};
    Bench u(sc, chip);
    check_brownout(u.b, {140 * kSec, 155 * kSec, 200 * kSec, 510 * kSec, 1});
}

TEST(ChipFault, AWinterWeekStopsTheImageEveryNightAndBringsItBackEveryMorning) {
    NEED_IMAGE();
    if (!proof()) GTEST_SKIP() << "hours of the image: ZELMORA_PROOF_CHIP=1 (make proof-chip)";
    const zsim::Scenario sc = shipped("winter-week.toml");
    Bench u(sc, chip);
    check_winter_week(u.b, 7, static_cast<vtime>(sc.minutes * 60) * kSec);
}

// The soak's checks (zelmora-bench --soak) over minutes: every report due
// sent under the station's MMSI, every minute's status, no restart, the log.
TEST(ChipFault, MinutesAtSeaPassTheSoaksChecks) {
    NEED_IMAGE();
#ifdef ZELMORA_SANITIZED
    GTEST_SKIP() << "minutes of the image: not under the sanitizers";
#endif
    EXPECT_EQ(zsoak::run({10.0 / (24 * 60), kElf}), 0);
}
