// The battery, the panel, the charger and the analog front end on the
// virtual board, driven straight from the test through the unit's pins.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "Arduino.h"
#include "board.h"

namespace {

using zplat::kMs;
using zplat::kSec;
using zsim::Scenario;

constexpr zsim::vtime kMin = 60 * kSec;
constexpr zsim::vtime kHour = 60 * kMin;

Scenario world(const std::string& toml) { return Scenario::from_text(toml, "t.toml"); }

int counts_of_volts(double v) { return static_cast<int>(std::lround(v / 3.3 * 4096)); }

// The unit's side of the wiring, as start-up leaves it.
struct Rig {
    zsim::Board b;
    explicit Rig(const Scenario& sc) : b(sc) {
        analogReadResolution(12);
        for (uint32_t pin : {10u, 13u, 21u}) pinMode(pin, OUTPUT);
        pinMode(14, INPUT_PULLUP);
        pinMode(50, INPUT_PULLUP);
    }
    static int read(uint32_t enable, uint32_t pin) {
        digitalWrite(enable, HIGH);
        const int c = analogRead(pin);
        digitalWrite(enable, LOW);
        return c;
    }
    static int battery() { return read(13, 39); }
    static int panel() { return read(10, 40); }
    // The status lines as the unit reads them.
    static std::string lines() {
        const int s1 = digitalRead(14), s2 = digitalRead(50);
        if (s1 == 0 && s2 == 1) return "charging";
        if (s1 == 1 && s2 == 0) return "finished";
        return s1 == 1 ? "no charge" : "both low";
    }
    void pulse(zsim::vtime d) {
        digitalWrite(21, HIGH);
        b.advance(d);
        digitalWrite(21, LOW);
        b.advance(10 * kMs);
    }
};

}  // namespace

TEST(FrontEndModel, EachChannelOnlyWhileItsEnableIsHighAndQuantised) {
    Rig r(world("[battery]\nvolts = 12.6\n[panel]\namps = 1.5\n"));
    EXPECT_EQ(analogRead(39), 0);
    digitalWrite(13, HIGH);
    EXPECT_EQ(analogRead(39), counts_of_volts(12.6 * 10 / 57));   // 2745
    EXPECT_EQ(analogRead(40), 0);                                // pin 10 still low
    digitalWrite(10, HIGH);
    digitalWrite(13, LOW);
    EXPECT_EQ(analogRead(40), counts_of_volts(1.5 * 0.33));      // 614
    EXPECT_EQ(analogRead(39), 0);
}

TEST(FrontEndModel, ScriptedPointsAreFollowedLinearlyAndHeld) {
    Rig r(world("[battery]\npoints = [[\"00:01:00\", 12.0], [\"00:03:00\", 13.0]]\n"
                "[panel]\npoints = [[0, 0.0], [60, 3.0], [60, 1.0]]\n"));
    EXPECT_EQ(Rig::battery(), counts_of_volts(12.0 * 10 / 57));   // held before the first point
    r.b.advance(30 * kSec);
    EXPECT_EQ(Rig::panel(), counts_of_volts(1.5 * 0.33));
    r.b.advance(90 * kSec);
    EXPECT_EQ(Rig::battery(), counts_of_volts(12.5 * 10 / 57));
    EXPECT_EQ(Rig::panel(), counts_of_volts(1.0 * 0.33));          // a step at 60 s, then held
    r.b.advance(10 * kMin);
    EXPECT_EQ(Rig::battery(), counts_of_volts(13.0 * 10 / 57));
}

TEST(FrontEndModel, NoiseIsSeededAndCentredOnTheTrueReading) {
    auto readings = [](const std::string& extra) {
        Rig r(world(extra + "[battery]\nvolts = 12.0\n"));
        std::vector<int> v;
        for (int i = 0; i < 400; ++i) v.push_back(Rig::battery());
        return v;
    };
    const int truth = counts_of_volts(12.0 * 10 / 57);
    EXPECT_EQ(readings(""), std::vector<int>(400, truth));   // no noise by default
    const std::vector<int> a = readings("seed = 9\n[analog]\nnoise_counts = 3\n");
    EXPECT_EQ(a, readings("seed = 9\n[analog]\nnoise_counts = 3\n"));
    EXPECT_NE(a, readings("seed = 10\n[analog]\nnoise_counts = 3\n"));
    double sum = 0, sq = 0;
    for (int c : a) {
        sum += c - truth;
        sq += (c - truth) * (c - truth);
    }
    EXPECT_NEAR(sum / a.size(), 0.0, 0.5);
    EXPECT_NEAR(std::sqrt(sq / a.size()), 3.0, 0.6);
    const std::vector<int> u = readings("[analog]\nnoise_counts = 2\nnoise = \"uniform\"\n");
    const auto [lo, hi] = std::minmax_element(u.begin(), u.end());
    EXPECT_EQ(*lo, truth - 2);
    EXPECT_EQ(*hi, truth + 2);
}

TEST(DayProfile, SunAtNoonNothingAtNightAndTheBatteryFollowsItsCharge) {
    // 12:45 UTC: midday between sunrise 08:30 and sunset 17:00.
    Rig r(world("[world]\nutc = \"2026-12-08T12:45:00Z\"\n"
                "[day]\npeak_amps = 3.0\nsoc = 0.5\nload_amps = 0.5\ncapacity_ah = 50\n"));
    EXPECT_EQ(Rig::lines(), "charging");
    EXPECT_NEAR(Rig::panel(), counts_of_volts(3.0 * 0.33), 1);
    EXPECT_GT(r.b.battery().volts(), 12.2 + 0.2);   // above rest at half charge

    r.b.advance(4 * kHour);   // 16:45: low sun
    EXPECT_EQ(Rig::lines(), "charging");
    const double afternoon_soc = r.b.battery().soc();
    EXPECT_GT(afternoon_soc, 0.6);

    r.b.advance(2 * kHour);   // 18:45: night, the battery at rest
    EXPECT_EQ(Rig::lines(), "no charge");
    EXPECT_EQ(Rig::panel(), 0);
    EXPECT_NEAR(r.b.battery().volts(), 11.6 + 1.2 * r.b.battery().soc(), 0.01);
    r.b.advance(12 * kHour);  // 06:45: fourteen hours of load since 16:45
    EXPECT_NEAR(r.b.battery().soc(), afternoon_soc - 14 * 0.5 / 50, 0.02);
    r.b.advance(3 * kHour);   // 09:45
    EXPECT_EQ(Rig::lines(), "charging");
}

TEST(ChargerModel, FinishedAtFullChargeHoldsFloatAndCoversTheLoad) {
    {
        Rig r(world("[world]\nutc = \"2026-12-08T12:00:00Z\"\n"
                    "[day]\npeak_amps = 3.0\nsoc = 0.995\ncapacity_ah = 10\nload_amps = 0.4\n"));
        EXPECT_EQ(Rig::lines(), "charging");
        r.b.advance(2 * kMin);
        EXPECT_EQ(Rig::lines(), "finished");
        EXPECT_NEAR(Rig::panel(), counts_of_volts(0.4 * 0.33), 1);
        r.b.advance(10 * kMin);
        EXPECT_NEAR(r.b.battery().volts(), 13.6, 0.02);
        EXPECT_EQ(Rig::lines(), "finished");
    }
    // A scripted battery counts as full from the float level on.
    Rig r(world("[battery]\npoints = [[0, 13.0], [100, 14.0]]\n[panel]\namps = 2.0\n"));
    EXPECT_EQ(Rig::lines(), "charging");
    r.b.advance(70 * kSec);   // 13.7 V
    EXPECT_EQ(Rig::lines(), "finished");
}

TEST(ChargerModel, DisableLineAndDarknessReleaseBothLinesAndStopTheCurrent) {
    Rig r(world("[battery]\nvolts = 12.5\n[panel]\npoints = [[0, 2.0], [60, 2.0], [61, 0.0]]\n"));
    digitalWrite(21, HIGH);
    EXPECT_EQ(Rig::lines(), "no charge");
    EXPECT_EQ(Rig::panel(), 0);
    digitalWrite(21, LOW);
    EXPECT_EQ(Rig::lines(), "charging");
    EXPECT_EQ(Rig::panel(), counts_of_volts(2.0 * 0.33));
    r.b.advance(62 * kSec);   // the panel has gone dark: seen within a second
    EXPECT_EQ(Rig::lines(), "no charge");
    EXPECT_EQ(Rig::panel(), 0);
}

TEST(ChargerModel, StuckUntilAPulseOfAboutASecond) {
    Rig r(world("[panel]\namps = 2.0\n[battery]\nvolts = 12.5\n"
                "[[fault]]\nkind = \"mppt_stuck\"\nat = 10\n"
                "[[fault]]\nkind = \"mppt_stuck\"\nat = 30\n"));
    r.b.advance(9 * kSec);
    EXPECT_EQ(Rig::lines(), "charging");
    r.b.advance(1 * kSec);
    EXPECT_EQ(Rig::lines(), "no charge");
    EXPECT_EQ(Rig::panel(), 0);
    r.pulse(300 * kMs);
    r.pulse(700 * kMs);
    EXPECT_EQ(Rig::lines(), "no charge");
    r.pulse(950 * kMs);   // the unit's reset pulse
    EXPECT_EQ(Rig::lines(), "charging");
    EXPECT_EQ(Rig::panel(), counts_of_volts(2.0 * 0.33));

    // Stuck while the line is already high: only the time after the fault counts.
    r.b.advance(29500 * kMs - r.b.now());
    r.pulse(900 * kMs);
    EXPECT_EQ(Rig::lines(), "no charge");
    r.pulse(1000 * kMs);
    EXPECT_EQ(Rig::lines(), "charging");
}

TEST(BatteryModel, PastEmptyItsReserveRunsDownToTheKneeWhereTheUnitBrownsOut) {
    // At night, 1 A from 1 Ah at 5 %: empty (11.6 V) after three minutes.
    Rig r(world("[world]\nutc = \"2026-12-08T20:00:00Z\"\n[day]\ncapacity_ah = 1\nsoc = 0.05\nload_amps = 1\n"));
    r.b.advance(3 * kMin);
    EXPECT_NEAR(r.b.battery().volts(), 11.6, 0.01);
    // 10.5 V with 1.1 V of the reserve's 1.6 V gone: 2.06 minutes more.
    r.b.advance(2 * kMin);
    EXPECT_TRUE(r.b.powered());
    r.b.advance(5 * kSec);
    EXPECT_FALSE(r.b.powered());
    EXPECT_NEAR(r.b.battery().volts(), 10.5, 0.02);
    // Off, the unit's regulator alone draws: 2 mA, 0.064 V of the reserve an hour.
    r.b.advance(kHour);
    EXPECT_NEAR(r.b.battery().volts(), 10.5 - 0.064, 0.02);
    r.b.advance(10 * kHour);
    EXPECT_NEAR(r.b.battery().volts(), 10.0, 1e-9);   // the reserve gone
    EXPECT_FALSE(r.b.powered());
    // The morning sun brings it back at 11.5 V.
    r.b.advance(kHour + 25 * kMin);   // 08:30, sunrise
    EXPECT_FALSE(r.b.powered());
    while (!r.b.powered() && r.b.now() < 14 * kHour) r.b.advance(kSec);
    EXPECT_NEAR(r.b.battery().volts(), 11.5, 0.01);
    EXPECT_EQ(r.b.power_losses(), 1u);
}

TEST(PowerScenario, MistakesNameTheirLine) {
    auto error_of = [](const std::string& text) {
        try {
            Scenario::from_text(text, "t.toml");
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error_of("[battery]\npoints = [[\"00:10:00\", 12.0],\n  [\"00:05:00\", 11.0]]\n"),
              "t.toml:3: points must be in time order");
    EXPECT_EQ(error_of("[panel]\namps = 1\npoints = [[0, 1]]\n"), "t.toml:3: give 'amps' or 'points', not both");
    EXPECT_EQ(error_of("[day]\nsunrise = \"8:30\"\n"), "t.toml:2: expected a UTC time of day, \"HH:MM\"");
    EXPECT_EQ(error_of("[power]\nbrownout_volts = 11\nrestart_volts = 10.8\n"),
              "t.toml:1: 'restart_volts' must be above 'brownout_volts'");
    EXPECT_EQ(error_of("[[fault]]\nkind = \"power_cut\"\nat = 10\n"), "t.toml:1: missing 'ms'");
}
