#include <gtest/gtest.h>
TEST(GpsPlaceholder, Builds) { SUCCEED(); }
