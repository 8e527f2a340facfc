// The sample demo, played headless through the entry routine from loose
// files and from packages, until its director scriplet ends it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "platform/win32/TestSeams.h"
#include "runtime/DemoSequencer.h"
#include "runtime/WinMain.h"
#include "tests/PackageWriter.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string>& sampleLog() {
  static std::vector<std::string> texts;
  return texts;
}

std::string readSample(const std::string& name) {
  std::ifstream in(fs::path(ENGINE_SOURCE_DIR) / "sample" / name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class SampleDemoTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_test::reset();
    d3d9_test::reset();
    sampleLog().clear();
    gLogHook = [](const char* text) { sampleLog().push_back(text); };
    previous = fs::current_path();
    scratch = fs::temp_directory_path() / ("sample-" + std::to_string(getpid()));
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    fs::current_path(scratch);
  }
  void TearDown() override {
    gLogHook = nullptr;
    platform_test::reset();
    fs::current_path(previous);
    fs::remove_all(scratch);
  }

  // Plays with a clock that advances 40 ms at every reading.
  int play(std::string commandLine) {
    gEndDemo = false;
    platform_test::setTickSource([ticks = 0u]() mutable { return 40u * ticks++; });
    return WinMain(nullptr, nullptr, commandLine.data(), 1);
  }

  void writePackage(bool gzipped) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const char* name : {"main.demo", "director.as", "scenes\\intro.as", "scenes\\outro.as"}) {
      std::string file = name;
      for (char& c : file)
        if (c == '\\') c = '/';
      entries.push_back({name, readSample(file)});
    }
    ASSERT_TRUE(package_writer::writeFile("demo.dat", package_writer::package(entries), gzipped));
  }

  bool logged(const std::string& text) const {
    for (const std::string& t : sampleLog())
      if (t == text) return true;
    return false;
  }

  // The show ran to its twelfth second and ended by the director's request.
  void expectPlayedToTheEnd(int exitCode) {
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(gEndDemo);
    EXPECT_GE(gCurrentTime, 12.0f);
    EXPECT_LT(gCurrentTime, 12.2f);
    // One frame per clock step of 40 ms: the 300th frame reaches 12 s. (Full
    // screen presents once more before the first frame.)
    EXPECT_GE(d3d9_test::presentCount(), 300);
    EXPECT_LE(d3d9_test::presentCount(), 301);
    EXPECT_TRUE(logged("director: the show begins"));
    EXPECT_TRUE(logged("intro: hello from the intro"));  // a description value
    EXPECT_TRUE(logged("intro: done"));
    EXPECT_TRUE(logged("outro: done"));
    EXPECT_TRUE(logged("director: the show is over"));
    EXPECT_TRUE(platform_test::messageBoxes().empty());
    // The last frame flew the orbit camera: its third key, at 6 s into it.
    EXPECT_NEAR(gCameraPos.x, 0.0f, 1e-3f);
    EXPECT_NEAR(gCameraPos.y, 8.0f, 1e-3f);
    EXPECT_NEAR(gCameraPos.z, 8.0f, 1e-3f);
    EXPECT_EQ(gCameraFar, 500.0f);
  }

  fs::path previous, scratch;
};

}  // namespace

TEST_F(SampleDemoTest, PlaysFromLooseFiles) {
  std::string line = (fs::path(ENGINE_SOURCE_DIR) / "sample" / "main.demo").string();
  for (char& c : line)
    if (c == '/') c = '\\';
  expectPlayedToTheEnd(play(line));
}

TEST_F(SampleDemoTest, PlaysFromAPlainPackage) {
  writePackage(false);
  expectPlayedToTheEnd(play("demo.dat"));
}

TEST_F(SampleDemoTest, PlaysFromAGzippedPackage) {
  writePackage(true);
  expectPlayedToTheEnd(play(""));  // the default package name
}
