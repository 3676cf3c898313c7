// Console helpers and the determinism of the console as a whole.
#include <gtest/gtest.h>

#include <string>

#include "Arduino.h"
#include "board.h"
#include "comunicaciones_pc.h"
#include "tools.h"

using zsim::Board;
using zplat::kSec;

namespace {
std::string printed(void (*what)()) {
    Board b;
    Serial0.begin(38400);
    what();
    Serial0.flush();
    return b.console();
}
}  // namespace

TEST(Console, FixedWidthDecimalWithTerminator) {
    EXPECT_EQ(printed([] { transmito_variable(5, 2, 0); }), "05");
    EXPECT_EQ(printed([] { transmito_variable(5, 2, 1); }), "05\r\n");
    EXPECT_EQ(printed([] { transmito_variable(5, 2, 47); }), "05/");
    EXPECT_EQ(printed([] { transmito_variable(0, 10, 0); }), "0000000000");
    EXPECT_EQ(printed([] { transmito_variable(7, 3, ':'); }), "007:");
    // Wider values are not cut.
    EXPECT_EQ(printed([] { transmito_variable(123, 2, 0); }), "123");
    EXPECT_EQ(printed([] { transmito_variable(4294967295u, 10, 0); }), "4294967295");
}

TEST(Console, DebugFollowsTheSwitch) {
    EXPECT_EQ(printed([] {
                  Debug("uno");
                  Debug("dos", false);
                  Serial0.print(3);
                  linea();
              }),
              "uno\r\ndos3\r\n");
    EXPECT_EQ(printed([] {
                  ACTIVAR_DEBUG = 0;
                  Debug("uno");
                  Debug("dos", false);
                  Debug_dato("Len=", 129);
              }),
              "");
    EXPECT_EQ(printed([] { Debug_dato("Len=", 129); }), "Len=129\r\n");
}

TEST(Console, TheSameScenarioGivesTheSameBytes) {
    zsim::Scenario sc = zsim::Scenario::builtin();
    sc.dip_on = {true, true, true, true};
    sc.stalls.push_back({90 * kSec, 2500 * zplat::kMs});
    std::string first, second;
    {
        Board b(sc);
        b.run_for(300 * kSec);
        first = b.console();
    }
    {
        Board b(sc);
        b.run_for(120 * kSec);
        b.run_for(180 * kSec);   // stopping in between changes nothing
        second = b.console();
    }
    EXPECT_GT(first.size(), 500u);
    EXPECT_EQ(first, second);
}
