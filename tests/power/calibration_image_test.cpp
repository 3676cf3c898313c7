// The calibration factors of a fresh unit's EEPROM turn the front end's
// readings back into true volts and amperes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "default_image.h"

namespace {
float float_at(const std::vector<uint8_t>& img, size_t at) {
    const uint32_t bits = img[at] | img[at + 1] << 8 | img[at + 2] << 16 | static_cast<uint32_t>(img[at + 3]) << 24;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

int counts(double volts) { return static_cast<int>(std::lround(volts / 3.3 * 4096)); }
}  // namespace

TEST(CalibrationImage, FactorsGiveTheTrueValueWithinOneCountAndNothingElseMoves) {
    const std::vector<uint8_t> img = zsim::default_eeprom_image();
    const float battery = float_at(img, 0xFFF8);
    const float panel = float_at(img, 0xFFF4);
    for (double v : {10.0, 11.8, 12.6, 14.4, 15.0}) EXPECT_NEAR(counts(v * 10 / 57) * battery, v, battery) << v;
    for (double a : {0.05, 0.5, 2.0, 9.5}) EXPECT_NEAR(counts(a * 0.33) * panel, a, panel) << a;
    for (size_t a = 98; a < img.size(); ++a) {
        if (a < 0xFFF4 || a >= 0xFFFC) {
            ASSERT_EQ(img[a], 0xFF) << a;
        }
    }
}
