// The warning sink and the fatal error box.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/win32/TestSeams.h"
#include "runtime/WinMain.h"

namespace {

std::vector<std::string> gLogged;
void recordLog(const char* text) { gLogged.push_back(text); }
void printHook(const char* text) { fprintf(stderr, "hook got <%s>\n", text); }

}  // namespace

TEST(LogMessage, WithoutHookDoesNothingAndWithHookPassesTextUnchanged) {
  gLogHook = nullptr;
  logMessage("");
  logMessage("dropped");
  gLogHook = recordLog;
  logMessage("exact text\n");
  logMessage("");
  gLogHook = nullptr;
  EXPECT_EQ(gLogged, (std::vector<std::string>{"exact text\n", ""}));
}

// Without a display the box prints "[caption] text" to stderr and answers OK.
TEST(FatalErrorDeathTest, ShowsWarningBoxCaptionedZJ6AndExitsWithMinusOne) {
  EXPECT_EXIT(fatalError("Error loading mesh (a.x) - Abort"), testing::ExitedWithCode(255),
              "\\[ZJ6\\] Error loading mesh \\(a.x\\) - Abort");
  EXPECT_EXIT(fatalError(""), testing::ExitedWithCode(255), "\\[ZJ6\\] \n");
}

// The box is a system-modal warning with one OK button, and the process ends
// through the normal exit: registered exit handlers still run.
TEST(FatalErrorDeathTest, BoxIsASystemModalWarningAndExitHandlersRun) {
  EXPECT_EXIT(
      {
        platform_test::reset();
        std::atexit([] {
          const auto& boxes = platform_test::messageBoxes();
          std::fprintf(stderr, "exit handler: %zu box, style 0x%x\n", boxes.size(),
                       boxes.empty() ? 0u : boxes.back().type);
        });
        fatalError("x");
      },
      testing::ExitedWithCode(255), "\\[ZJ6\\] x\nexit handler: 1 box, style 0x1030\n");
}

TEST(FatalErrorDeathTest, HookReplacesTheBoxButTheProcessStillEnds) {
  EXPECT_EXIT(
      {
        gFatalErrorHook = printHook;
        fatalError("scene failed");
      },
      testing::ExitedWithCode(255), "^hook got <scene failed>\n$");
}

TEST(FatalStartupErrorDeathTest, CaptionAndExitCodeOne) {
  EXPECT_EXIT(fatalStartupError("Failed to init Direct3D 9 device"), testing::ExitedWithCode(1),
              "\\[Exiting Demo \\(Failure\\)\\] Failed to init Direct3D 9 device");
}
