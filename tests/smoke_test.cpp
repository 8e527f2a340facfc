#include <gtest/gtest.h>

#include "runtime/WinMain.h"

TEST(CommandLine, ArgumentsJoinWithBackslashes) {
  char a0[] = "player", a1[] = "demos/intro/show.txt", a2[] = "x";
  char* argv[] = {a0, a1, a2};
  EXPECT_EQ(buildCommandLine(3, argv), "demos\\intro\\show.txt x");
  EXPECT_EQ(buildCommandLine(1, argv), "");
}
