// The player on a real display: a virtual X server, the setup dialog
// answered with Enter, then an SDL window with its own GL context. xvfb and
// xdotool are among the packages the set-up installs: without them this
// fails rather than skips.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

TEST(WindowedPlayer, PlaysInAWindowAndEndsWhenTheScriptSaysSo) {
  ASSERT_EQ(std::system("command -v xvfb-run >/dev/null 2>&1"), 0) << "xvfb-run is not installed";
  ASSERT_EQ(std::system("command -v xdotool >/dev/null 2>&1"), 0) << "xdotool is not installed";
  fs::path dir = fs::temp_directory_path() / ("windowed-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "show.txt") << "0 1 1 stop stop.as 0 -1 0 0\n";
  std::ofstream(dir / "stop.as") << "int frames = 0;\n"
                                    "void render(float t) {\n"
                                    "  frames = frames + 1;\n"
                                    "  if (frames == 5) endDemo();\n"
                                    "}\n";
  // Enter, once the dialog is on the screen, presses "Start Demo".
  std::string command =
      "cd " + dir.string() +
      " && timeout -s KILL 60 xvfb-run -a -s '-screen 0 1024x768x24' sh -c '" + ENGINE_PLAYER_PATH +
      " show.txt & player=$!; "
      "xdotool search --sync --onlyvisible --name \"^TQ07$\" windowfocus --sync key Return; "
      "wait $player' > output.txt 2>&1";
  int status = std::system(command.c_str());
  std::ifstream log(dir / "output.txt");
  std::string output((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  fs::remove_all(dir);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
}
