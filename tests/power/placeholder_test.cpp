#include <gtest/gtest.h>
TEST(PowerPlaceholder, Builds) { SUCCEED(); }
