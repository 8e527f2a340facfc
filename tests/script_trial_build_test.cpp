// Texts on which the script compiler ends its own process (a failed
// internal check, or a read through a null pointer): each is first built in
// a copy of the trial builds' origin process, so the compile fails with a
// message like any other compile error and this process goes on. Texts
// whose trial came back are built here exactly as before.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "core/Log.h"
#include "platform/win32/TestSeams.h"
#include "platform/win32/Win32.h"
#include "runtime/TrialBuild.h"
#include "tests/script_host_fixture.h"
#include "tests/timeline_fixture.h"

namespace {

const char kStopped[] =
    "Syntax error in script\nThe script compiler failed on this text and gave no message\n";
const char kTimedOut[] =
    "Syntax error in script\nThe script compiler did not finish on this text in time\n";

// Each of these ends the script compiler's process when it is built (nine
// different internal checks fail, and three texts make it read through a
// null pointer): the value of a call that returns nothing, a constant
// bool or a function literal as an operand of a bitwise operator;
// comparisons of constant bools; initialisation lists as operands or
// converted to a number; function literals compared; null as an operand.
struct Crasher {
  const char* what;
  const char* text;
};
const Crasher kCrashers[] = {
    {"void call & number", "void render(float t) { musicSyncChannel(1) & (2); }"},
    {"void call | number", "void render(float t) { musicSyncChannel(1) | (2); }"},
    {"void call ^ number", "void render(float t) { musicSyncChannel(1) ^ (2); }"},
    {"void call << number", "void render(float t) { musicSyncChannel(1) << (2); }"},
    {"void call >> number", "void render(float t) { musicSyncChannel(1) >> (2); }"},
    {"void call >>> number", "void render(float t) { musicSyncChannel(1) >>> (2); }"},
    {"number & void call", "void render(float t) { int x = 2 & musicSyncChannel(1); }"},
    {"compound &= void call", "void render(float t) { int x = 0; x &= musicSyncChannel(1); }"},
    {"compound <<= void call", "void render(float t) { uint x = 0; x <<= musicSyncChannel(1); }"},
    {"void script function", "void f() {}\nvoid render(float t) { int x = 3 | f(); }"},
    {"void method", "class C { void m() {} }\nvoid render(float t) { C c; int x = c.m() ^ 1; }"},
    {"void conditional",
     "void render(float t) { int x = (t > 0 ? musicSyncChannel(1) : musicSyncChannel(2)) & 2; }"},
    {"void operand of opAnd",
     "class C { int opAnd(int a) { return a; } }\n"
     "void render(float t) { C c; int x = c & musicSyncChannel(1); }"},
    {"in a global initialiser", "int g = musicSyncChannel(1) & 2;\nvoid render(float t) {}"},
    {"in a default argument",
     "void f(int a = musicSyncChannel(1) & 2) {}\nvoid render(float t) { f(); }"},
    {"in a case label",
     "void render(float t) { int x = 0; switch (x) { case musicSyncChannel(1) & 2: break; } }"},
    {"function literal & number",
     "funcdef void F();\nvoid render(float t) { int x = 2 & function() {}; }"},
    {"constant bools &", "void render(float t) { bool b = true & false; }"},
    {"constant comparisons ^", "void render(float t) { bool b = (1 < 2) ^ (2 < 3); }"},
    {"constant bool | number", "void render(float t) { int x = true | 1; }"},
    {"in an enum value", "enum E { A = true | 1 }\nvoid render(float t) {}"},
    {"constant bools <", "void render(float t) { bool b = true < false; }"},
    {"number is list", "void render(float t) { bool b = 2 is {1, 2}; }"},
    {"list to number", "void render(float t) { int x = int({1, 2}); }"},
    {"list & number in a condition", "void render(float t) { if ({1, 2} & 2) {} }"},
    {"list is number in a condition", "void render(float t) { if ({1, 2} is 2) {} }"},
    {"function literals compared",
     "funcdef void F();\nvoid render(float t) { bool b = function() {} is function() {}; }"},
    {"null + null", "void render(float t) { int x = null + null; }"},
    {"null indexed", "void render(float t) { int x = null[0]; }"},
    {"-null (null pointer read)", "void render(float t) { int x = -null; }"},
    {"++null (null pointer read)", "void render(float t) { ++null; }"},
    {"null.x (null pointer read)", "void render(float t) { null.x; }"},
};

class TrialBuildTest : public ScriptHostTest {};

TEST_F(TrialBuildTest, TextsThatEndTheCompilerFailTheirCompileWithAMessage) {
  for (const Crasher& c : kCrashers) {
    SCOPED_TRACE(c.what);
    loggedMessages().clear();
    EXPECT_FALSE(compile(c.text));
    EXPECT_EQ(error, kStopped);
    EXPECT_EQ(host.scriplets.count("scene"), 0u);
    // The message goes to the log as the compiler's own messages do.
    ASSERT_FALSE(loggedMessages().empty());
    EXPECT_EQ(loggedMessages().back(),
              "The script compiler failed on this text and gave no message\n");
    // And the next compile is a normal one.
    EXPECT_TRUE(compile("int n = 2;\nvoid render(float t) { n = n & 1; }", "next"));
    ASSERT_NE(global<int>("n", "next"), nullptr);
    EXPECT_EQ(*global<int>("n", "next"), 2);
  }
}

// Near neighbours of the texts above that the compiler takes as it should:
// their trial comes back, and the text is built here with its own result
// and messages.
TEST_F(TrialBuildTest, OtherTextsCompileOrFailAsBefore) {
  const char* const good[] = {
      "int f() { return 6; }\nvoid render(float t) { int x = f() & 3; x <<= f(); }",
      "void render(float t) { bool a = t > 0; bool b = a && true; int x = 1 | 2; }",
      "void render(float t) { musicSyncChannel(1); }",
      "void render(float t) { int x = 0; if (x == 0) {} }",
  };
  for (const char* text : good) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(compile(text)) << error;
  }

  struct Bad {
    const char* text;
    const char* message;  // the last compile message the compiler gave
  } bad[] = {
      {"void render(float t) { bool a = true; bool b = a & a; }",
       "section (1, 50) : Error : No conversion from 'bool' to 'bool' available.\n"},
      {"void render(float t) { int x = 1 + musicSyncChannel(1); }",
       "section (1, 34) : Error : No conversion from 'void' to math type available.\n"},
      {"void render(float t) { this is not a script }", nullptr},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    EXPECT_FALSE(compile(b.text));
    EXPECT_EQ(error.rfind("Syntax error in script\nsection (1, ", 0), 0u) << error;
    if (b.message) {
      EXPECT_EQ(error.substr(23, error.find('\n', 23) - 22), b.message) << error;
    }
    EXPECT_EQ(error.find("The script compiler"), std::string::npos) << error;
  }
}

// The origin's engine has the host's registrations but not the stand-ins
// that tests add: there the trial build fails, comes back, and the text is
// built here with them.
void registerStandIn(asIScriptEngine* engine) {
  engine->RegisterGlobalFunction("int standIn()", asFUNCTION(+[] { return 5; }), asCALL_CDECL);
}

TEST_F(TrialBuildTest, RegistrationsAddedLaterAreUsedByTheBuildHere) {
  ScriptHost::extraRegistrations = registerStandIn;
  EXPECT_TRUE(compile("int n;\nvoid initGlobals() { n = standIn() & 4; }\nvoid render(float t) {}"))
      << error;
  ASSERT_NE(global<int>("n"), nullptr);
  EXPECT_EQ(*global<int>("n"), 4);
}

// A copy that waits is ended by the time limit, one that is busy by the
// processor time it has taken; either fails only its own compile.
TEST_F(TrialBuildTest, ABuildThatDoesNotFinishFailsOnlyThatCompile) {
  struct Case {
    const char* what;
    trial_build::Stall stall;
    int cpuSeconds;
    int milliseconds;
  } cases[] = {
      {"waiting", trial_build::Stall::Wait, 20, 300},
      {"busy", trial_build::Stall::Spin, 1, 120000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    loggedMessages().clear();
    trial_build::setTimeLimitsForTesting(c.cpuSeconds, c.milliseconds);
    trial_build::setStallForTesting(c.stall);
    const bool compiled = compile("void render(float t) {}");
    trial_build::setStallForTesting(trial_build::Stall::None);
    trial_build::setTimeLimitsForTesting(20, 120000);
    EXPECT_FALSE(compiled);
    EXPECT_EQ(error, kTimedOut);
    ASSERT_FALSE(loggedMessages().empty());
    EXPECT_EQ(loggedMessages().back(), "The script compiler did not finish on this text in time\n");
    EXPECT_TRUE(host.scriplets.empty());
    // The stalled copy is gone; the next trials are made as before.
    EXPECT_TRUE(compile("void render(float t) {}")) << error;
    EXPECT_FALSE(compile(kCrashers[0].text));
    EXPECT_EQ(error, kStopped);
    host.shutdown();
  }
}

// A stop request (a signal while the show loads) ends a trial that would
// otherwise wait out its limit: that compile fails without a message, so
// the scene is left out instead of ending the run with the fatal box; once
// the stop is over, trials are made as before.
TEST_F(TrialBuildTest, AStopRequestEndsAWaitingTrialQuietly) {
  platform_test::reset();
  trial_build::setStallForTesting(trial_build::Stall::Wait);
  std::thread stop([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    platformRequestStop();
  });
  const bool compiled = compile("void render(float t) {}");
  stop.join();
  trial_build::setStallForTesting(trial_build::Stall::None);
  EXPECT_FALSE(compiled);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(host.scriplets.empty());
  platform_test::reset();
  EXPECT_TRUE(compile("void render(float t) {}")) << error;
  EXPECT_FALSE(compile(kCrashers[0].text));
  EXPECT_EQ(error, kStopped);
}

// The limits grow with the text: a scriplet of usual size keeps the base
// limits, and each 16 KiB past them adds a second of processor time and six
// of waiting, so that a long generated text that builds here, slowly, is
// not refused. A text that the build here takes a minute for (about 1.2 MB
// of thousands of locals in one function) gets more than that.
TEST(TrialBuildLimits, GrowWithTheLengthOfTheText) {
  const struct {
    size_t bytes;
    int cpuSeconds, waitMs;
  } cases[] = {
      {0, 20, 120000},
      {16383, 20, 120000},
      {16384, 21, 126000},
      {size_t(1200) << 10, 95, 570000},
      {size_t(8) << 20, 532, 3192000},
      {size_t(224) << 20, 14020, 84120000},
      {~size_t(0), 14020, 84120000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const trial_build::Limits limits = trial_build::limitsFor(c.bytes);
    EXPECT_EQ(limits.cpuSeconds, c.cpuSeconds);
    EXPECT_EQ(limits.waitMs, c.waitMs);
  }
}

// As the sequencer compiles a scene: the run ends with the fatal box that
// names the scene, not with the compiler's end of the process.
class TrialBuildSceneTest : public TimelineTest {};

TEST_F(TrialBuildSceneTest, ASceneTheCompilerWouldStopOnEndsTheRunWithTheCompileError) {
  writeFile("stop.as", std::string(kCrashers[0].text) + "\n");
  auto fatal = [](const char* text) {
    std::fprintf(stderr, "%s\n", text);
    std::_Exit(255);
  };
  EXPECT_EXIT((gFatalErrorHook = fatal, load("0 1 1 stop stop.as 0 1 0 0")),
              testing::ExitedWithCode(255), "Error compiling scene \\(stop\\) - Abort");
}

// A show stopped while it loads compiles no further scene: each is left
// out (the description itself still loads), and nothing is fatal.
TEST_F(TrialBuildSceneTest, AStopDuringTheLoadLeavesTheRemainingScenesOut) {
  writeFile("a.as", "void render(float t) {}\n");
  writeFile("stop.as", std::string(kCrashers[0].text) + "\n");
  platform_test::reset();
  platformRequestStop();
  const bool loaded = load("0 1 2 a a.as 0 1 0 0 stop stop.as 0 1 0 0");
  platform_test::reset();
  EXPECT_TRUE(loaded);
  EXPECT_TRUE(host->scriplets.empty());
  ASSERT_EQ(sequencer->tracks.size(), 1u);
  for (const Scene& scene : sequencer->tracks[0]) EXPECT_FALSE(scene.valid) << scene.name;
}

// The player itself, on a show whose scene the compiler would stop on:
// the fatal box (headless: its text on the error stream) and exit status
// 255, not the end by the compiler's abort.
TEST(TrialBuildPlayer, EndsWithTheCompileErrorBox) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("trial-player-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "show.txt") << "0 1 1 stop stop.as 0 1 0 0\n";
  std::ofstream(dir / "stop.as") << kCrashers[0].text << "\n";
  const std::string command = "cd " + dir.string() +
                              " && env -u DISPLAY -u WAYLAND_DISPLAY SDL_AUDIODRIVER=dummy " +
                              ENGINE_PLAYER_PATH + " show.txt 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_TRUE(pipe);
  std::string output;
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  fs::remove_all(dir);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 255) << output;
  EXPECT_NE(output.find("Error compiling scene (stop) - Abort"), std::string::npos) << output;
  EXPECT_EQ(output.find("Assertion"), std::string::npos) << output;
}

}  // namespace
