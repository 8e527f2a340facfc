// The entry routine: choice of store and description from the command line,
// the main loop's end conditions and exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/d3d9/D3D9TestSeams.h"
#include "platform/win32/TestSeams.h"
#include "runtime/WinMain.h"

namespace fs = std::filesystem;

namespace {

// A scratch folder that becomes the working directory for one test.
class EntryTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_test::reset();
    d3d9_test::reset();
    root = fs::temp_directory_path() / ("entry-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    fs::current_path(root);
  }
  void TearDown() override {
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(root);
  }
  void write(const std::string& name, const std::string& text) {
    fs::path path = root / name;
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  int run(std::string commandLine) { return WinMain(nullptr, nullptr, commandLine.data(), 1); }
  bool sawBox(const std::string& text) {
    for (auto& box : platform_test::messageBoxes())
      if (box.text == text) return true;
    return false;
  }

  fs::path root;
};

struct CommandLineCase {
  const char* line;
  const char* file;    // where the description is written ("" for none)
  int exitCode;
  const char* folder;  // expected working directory below the scratch folder
};

class CommandLineTable : public EntryTest, public testing::WithParamInterface<CommandLineCase> {};

// An empty description ("0 0": header, no tracks) loads; Escape is down
// before the first frame, so the run ends normally at once.
TEST_P(CommandLineTable, ChoosesDescriptionAndFolder) {
  const CommandLineCase& c = GetParam();
  if (*c.file) write(c.file, "0 0\n");
  platform_test::pressEscapeAfterPolls(0);
  EXPECT_EQ(run(c.line), c.exitCode);
  EXPECT_EQ(fs::current_path(), fs::weakly_canonical(root / c.folder));
  EXPECT_EQ(sawBox("Error loading demo"), c.exitCode == 1);
}

INSTANTIATE_TEST_SUITE_P(
    Loose, CommandLineTable,
    testing::Values(CommandLineCase{"show.txt", "show.txt", 0, ""},
                    CommandLineCase{"intro\\show.txt", "intro/show.txt", 0, "intro"},
                    CommandLineCase{"a\\b\\show.txt", "a/b/show.txt", 0, "a/b"},
                    // A backslash in the first position is part of the name,
                    // which then names a file at the root: not there.
                    CommandLineCase{"\\show.txt", "show.txt", 1, ""},
                    // Changes to the folder, then asks for an empty name.
                    CommandLineCase{"intro\\", "intro/show.txt", 1, "intro"},
                    // Quotes are part of the name.
                    CommandLineCase{"\"show.txt\"", "\"show.txt\"", 0, ""},
                    CommandLineCase{"\"show.txt\"", "show.txt", 1, ""},
                    CommandLineCase{"missing.txt", "", 1, ""}));

// Text containing ".dat" names a package, which here does not exist; the
// working directory stays.
TEST_F(EntryTest, AnyLineContainingDatNamesAPackage) {
  write("x.data/main.txt", "0 0\n");
  EXPECT_EQ(run("x.data\\main.txt"), 1);
  EXPECT_EQ(fs::current_path(), root);
  EXPECT_TRUE(sawBox("Error loading demo"));
}

TEST_F(EntryTest, EmptyLineOpensDefaultPackage) {
  EXPECT_EQ(run(""), 1);
  EXPECT_TRUE(sawBox("Error loading demo"));
}

// Full screen (the dialog's default) presents once before the clock starts;
// with Escape already down no frame follows.
TEST_F(EntryTest, EscapeIsTestedBeforeTheFirstFrame) {
  write("show.txt", "0 0\n");
  platform_test::pressEscapeAfterPolls(0);
  EXPECT_EQ(run("show.txt"), 0);
  EXPECT_EQ(platform_test::escapePolls(), 1);
  EXPECT_EQ(d3d9_test::presentCount(), 1);
}

// Every frame clears target and depth to black with alpha 0, then presents.
TEST_F(EntryTest, EscapeAfterSomeFramesEndsTheLoop) {
  write("show.txt", "0 0\n");
  platform_test::pressEscapeAfterPolls(3);
  d3d9_test::setCallLogEnabled(true);
  EXPECT_EQ(run("show.txt"), 0);
  EXPECT_EQ(platform_test::escapePolls(), 4);
  EXPECT_EQ(d3d9_test::presentCount(), 1 + 3);
  // Count the loop's clears, after the start-up present.
  int clears = 0;
  bool started = false;
  for (const std::string& call : d3d9_test::callLog()) {
    if (call == "Present()") started = true;
    if (started && call == "Clear(0, null, 3, 0x00000000, 1, 0)") ++clears;
  }
  EXPECT_EQ(clears, 3) << testing::PrintToString(d3d9_test::callLog());
}

// The player itself, started headless on a description that is not there.
TEST(Player, MissingDescriptionPrintsErrorAndExitsWithOne) {
  std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY ") + ENGINE_PLAYER_PATH +
                        " /nonexistent/folder/show.txt 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_TRUE(pipe);
  std::string output;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("Error loading demo"), std::string::npos) << output;
}

}  // namespace
