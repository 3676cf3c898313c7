// How the devices around the microcontroller are wired to its pins.
#pragma once
#include <cstdint>

namespace zsim::wiring {

constexpr uint8_t kPanelEnable = 10;
constexpr uint8_t kBatteryEnable = 13;
constexpr uint8_t kMpptStatus1 = 14;
constexpr uint8_t kEepromCs = 19;
constexpr uint8_t kMpptDisable = 21;
constexpr uint8_t kDip[4] = {31, 30, 29, 28};       // DIP 1..4, closed to ground when on
constexpr uint8_t kGpsPower = 35;
constexpr uint8_t kInput[3] = {44, 36, 37};         // external inputs 1..3
constexpr uint8_t kBatteryAdc = 39;
constexpr uint8_t kPanelAdc = 40;
constexpr uint8_t kAisPower = 41;
constexpr uint8_t kMpptStatus2 = 50;
constexpr uint8_t kRtcAddress = 0x6F;

// Serial lines: index of the port on the microcontroller side.
constexpr uint8_t kConsolePort = 0;   // Serial0
constexpr uint8_t kGpsPort = 1;       // Serial1
constexpr uint8_t kAisPort = 2;       // Serial3

}  // namespace zsim::wiring
