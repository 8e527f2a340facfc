// The entry routine: choice of store and description from the command line,
// the main loop's end conditions and exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/TQDatabase.h"

#include "PackageWriter.h"
#include "core/DeviceGlobal.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "platform/win32/TestSeams.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"
#include "runtime/SetupDialog.h"
#include "runtime/WinMain.h"
#include "scriptapi/Music.h"
#include "tests/SoundFixtures.h"
#include "tests/runtime_globals.h"

namespace fs = std::filesystem;

namespace {

// A scratch folder that becomes the working directory for one test.
class EntryTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_test::reset();
    d3d9_test::reset();
    test_globals::resetRuntimeGlobals();
    root = fs::temp_directory_path() / ("entry-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    fs::current_path(root);
  }
  void TearDown() override {
    test_globals::keepWhatAFailedRunLeft();
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
  const char* file;  // where the description is written ("" for none)
  int exitCode;
  const char* folder;  // expected working directory below the scratch folder
};
// Names the case by its command line and file, so that test names stay the
// same from build to build.
void PrintTo(const CommandLineCase& c, std::ostream* os) {
  *os << "line <" << c.line << "> file <" << c.file << ">";
}

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
                    CommandLineCase{"missing.txt", "", 1, ""},
                    // A folder that cannot be entered: the description of
                    // that name in the current folder is not the one named.
                    CommandLineCase{"nowhere\\show.txt", "show.txt", 1, ""},
                    CommandLineCase{"\\nonexistent\\folder\\show.txt", "show.txt", 1, ""},
                    CommandLineCase{"show.txt\\show.txt", "show.txt", 1, ""}));

// Text containing ".dat" names a package, which always describes the show
// in its entry "main.demo"; the working directory stays.
TEST_F(EntryTest, AnyLineContainingDatNamesAPackage) {
  fs::create_directories(root / "x.data");
  ASSERT_TRUE(package_writer::writeFile((root / "x.data/main.txt").string(),
                                        package_writer::package({{"main.demo", "0 0\n"}}), true));
  write("main.txt", "not a description");
  platform_test::pressEscapeAfterPolls(0);
  EXPECT_EQ(run("x.data\\main.txt"), 0);
  EXPECT_EQ(fs::current_path(), root);
  EXPECT_FALSE(sawBox("Error loading demo"));
}

TEST_F(EntryTest, PackageWithoutMainDemoFailsToLoad) {
  ASSERT_TRUE(package_writer::writeFile((root / "demos.dat").string(),
                                        package_writer::package({{"other.demo", "0 0\n"}}), false));
  write("main.demo", "0 0\n");  // a loose file of that name is not looked at
  EXPECT_EQ(run("demos.dat"), 1);
  EXPECT_TRUE(sawBox("Error loading demo"));
}

// (The failed load leaves the host and the sequencer alive, as the entry
// routine does; the fixture keeps them reachable.)
TEST_F(EntryTest, EmptyLineWithoutDefaultPackageFails) {
  EXPECT_EQ(run(""), 1);
  EXPECT_TRUE(sawBox("Error loading demo"));
}

TEST_F(EntryTest, EmptyLineOpensDefaultPackage) {
  ASSERT_TRUE(package_writer::writeFile((root / "demo.dat").string(),
                                        package_writer::package({{"main.demo", "0 0\n"}}), false));
  platform_test::pressEscapeAfterPolls(0);
  EXPECT_EQ(run(""), 0);
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

// Escape down at the start: no frame, yet every scriplet's "died" runs; after
// the run no global still points at the objects that the run owned.
TEST_F(EntryTest, EscapeAtTheStartStillRunsDiedAndLeavesNoDanglingGlobals) {
  write("show.txt", "0 1 1 s s.as 0 -1 0 0\n");
  write("s.as",
        "void render(float t) { logPrint(\"render\"); }\n"
        "void died() { logPrint(\"died\"); }\n");
  static std::vector<std::string> logged;
  logged.clear();
  // "died" runs first in the shutdown: host, device and store are still there.
  gLogHook = [](const char* text) {
    logged.push_back(std::string(text) +
                     (gScriptHost && gDevice && gDatabase ? " (all alive)" : ""));
  };
  platform_test::pressEscapeAfterPolls(0);
  EXPECT_EQ(run("show.txt"), 0);
  gLogHook = nullptr;
  EXPECT_EQ(logged, std::vector<std::string>{"died (all alive)"});
  EXPECT_EQ(gDatabase, nullptr);
  EXPECT_EQ(gDevice, nullptr);
  EXPECT_EQ(gDemoSequencer, nullptr);
  EXPECT_EQ(gScriptHost, nullptr);
}

// A description that does not load: the stores are gone, and so is the
// pointer to the one in use.
TEST_F(EntryTest, FailedLoadLeavesNoPointerToTheDestroyedStore) {
  EXPECT_EQ(run("missing.txt"), 1);
  EXPECT_EQ(gDatabase, nullptr);
  EXPECT_EQ(gDevice, nullptr);
}

// The cursor's display counter, read without changing it.
int cursorCounter() {
  int counter = ShowCursor(TRUE) - 1;
  ShowCursor(FALSE);
  return counter;
}

// The load failure's box is a plain one captioned "Error"; before it the
// window was minimised and the cursor shown again.
TEST_F(EntryTest, FailedLoadShowsAPlainErrorBoxAfterReleasingTheWindow) {
  int cursorBefore = cursorCounter();
  EXPECT_EQ(run("missing.txt"), 1);
  ASSERT_EQ(platform_test::messageBoxes().size(), 1u);
  const auto& box = platform_test::messageBoxes()[0];
  EXPECT_EQ(box.text, "Error loading demo");
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.type, unsigned(MB_OK));
  ASSERT_EQ(d3d9_test::deviceCreations().size(), 1u);
  EXPECT_TRUE(d3d9_test::deviceCreations()[0].window->minimised);
  EXPECT_EQ(cursorCounter(), cursorBefore + 1);
  ShowCursor(FALSE);
}

// Start-up order: the basic render states before any scriplet is compiled;
// every "init" before the full-screen present; the clock read only after it.
TEST_F(EntryTest, StartUpOrderUpToTheClock) {
  write("show.txt", "0 1 1 s s.as 0 -1 0 0\n");
  write("s.as",
        "void initGlobals() { logPrint(\"initGlobals\"); }\n"
        "void init() { logPrint(\"init\"); }\n"
        "void render(float t) { logPrint(\"render\"); }\n");
  struct Seen {
    std::vector<std::string> events;
    bool initRan = false;
  };
  static Seen seen;
  seen = {};
  gLogHook = [](const char* text) {
    std::string event = text;
    if (event == "initGlobals") {
      // The device creation and render states so far, in order.
      for (const std::string& call : d3d9_test::callLog())
        if (call.rfind("CreateDevice", 0) == 0 || call.rfind("SetRenderState", 0) == 0)
          event += " " + call;
    }
    if (event == "init") seen.initRan = true;
    seen.events.push_back(event + " presents=" + std::to_string(d3d9_test::presentCount()));
  };
  // Readings from "init" on (a clock anchored earlier would show one reading
  // too few here).
  platform_test::setTickSource([] {
    if (seen.initRan)
      seen.events.push_back("tick presents=" + std::to_string(d3d9_test::presentCount()));
    return 0u;
  });
  d3d9_test::setCallLogEnabled(true);
  platform_test::pressEscapeAfterPolls(1);
  EXPECT_EQ(run("show.txt"), 0);
  gLogHook = nullptr;
  const std::vector<std::string> expected = {
      // Hardware vertex processing first; cull mode off, lighting off, depth on.
      "initGlobals CreateDevice(0, 1, ptr, 64, ptr) SetRenderState(22, 1) SetRenderState(137, 0)"
      " SetRenderState(7, 1) presents=0",
      "init presents=0",
      "tick presents=1",  // the anchor, after the full-screen present
      "tick presents=1",  // the first frame's time
      "render presents=1",
  };
  EXPECT_EQ(seen.events, expected);
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

// The program's arguments become one command line: joined by single blanks,
// every '/' turned into '\\', nothing else touched.
TEST(CommandLine, JoinsTheArgumentsWithWindowsSeparators) {
  struct Case {
    std::vector<std::string> arguments;
    std::string line;
  } cases[] = {
      {{}, ""},
      {{"show.txt"}, "show.txt"},
      {{"intro/show.txt"}, "intro\\show.txt"},
      {{"/home/me/demos/show.txt"}, "\\home\\me\\demos\\show.txt"},
      {{"my", "demo.dat"}, "my demo.dat"},
      {{"\"a b/show.txt\"", ""}, "\"a b\\show.txt\" "},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv{const_cast<char*>("demoplayer")};
    for (const std::string& argument : c.arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    EXPECT_EQ(buildCommandLine(int(argv.size()), argv.data()), c.line)
        << testing::PrintToString(c.arguments);
  }
}

// The player itself, started headless on a description that is not there,
// from a folder that holds a show of that name (which would end at once).
TEST(Player, MissingDescriptionPrintsErrorAndExitsWithOne) {
  fs::path dir = fs::temp_directory_path() / ("player-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "show.txt") << "0 1 1 stop stop.as 0 -1 0 0\n";
  std::ofstream(dir / "stop.as") << "void render(float t) { endDemo(); }\n";
  std::string command = "cd " + dir.string() +
                        " && env -u DISPLAY -u WAYLAND_DISPLAY SDL_AUDIODRIVER=dummy " +
                        ENGINE_PLAYER_PATH + " /nonexistent/folder/show.txt 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_TRUE(pipe);
  std::string output;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = pclose(pipe);
  fs::remove_all(dir);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("Error loading demo"), std::string::npos) << output;
}

}  // namespace

namespace {

// Demo time as each frame's "render" saw it, and a clock the test moves.
struct FrameClock {
  uint32_t now = 1000;
  std::vector<float> seen;
  std::function<void(int frame)> onFrame;
};
FrameClock* gClock = nullptr;

// Demo time as the loop computes it from milliseconds.
float demoTime(int milliseconds) { return float(milliseconds) * 0.001f; }

void onScriptLog(const char* text) {
  if (std::string(text) != "frame") return;
  gClock->seen.push_back(gScriptHost->getTime());
  if (gClock->onFrame) gClock->onFrame(int(gClock->seen.size()));
}

class EntryLoopTest : public EntryTest {
 protected:
  void SetUp() override {
    EntryTest::SetUp();
    gClock = &clock;
    platform_test::setTickSource([this] { return clock.now; });
    gLogHook = onScriptLog;
  }
  void TearDown() override {
    gLogHook = nullptr;
    gClock = nullptr;
    EntryTest::TearDown();
  }
  // One open-ended scene whose "render" logs "frame" and ends the demo in
  // frame `endAt`.
  void writeDemo(int endAt) {
    write("show.txt", "0 1 1 loop loop.as 0 -1 0 0\n");
    write("loop.as",
          "int frames = 0;\n"
          "void render(float t) {\n"
          "  frames = frames + 1;\n"
          "  logPrint(\"frame\");\n"
          "  if (frames == " +
              std::to_string(endAt) +
              ") endDemo();\n"
              "}\n");
  }
  FrameClock clock;
};

// The frame that calls endDemo is still presented; then the run ends with 0.
TEST_F(EntryLoopTest, EndDemoEndsAfterThePresentedFrame) {
  writeDemo(2);
  clock.onFrame = [this](int) { clock.now += 20; };
  EXPECT_EQ(run("show.txt"), 0);
  EXPECT_EQ(clock.seen.size(), 2u);
  EXPECT_EQ(d3d9_test::presentCount(), 1 + 2);  // start-up present + two frames
  EXPECT_EQ(clock.seen, (std::vector<float>{demoTime(0), demoTime(20)}));
}

// The 32-bit tick counter wraps (after 49.7 days of uptime): demo time
// still runs on from the anchor.
TEST_F(EntryLoopTest, DemoTimeRunsOnAcrossTheTickCounterWrap) {
  writeDemo(3);
  clock.now = 0xFFFFFFF0u;
  clock.onFrame = [this](int) { clock.now += 0x20; };
  EXPECT_EQ(run("show.txt"), 0);
  EXPECT_EQ(clock.seen, (std::vector<float>{demoTime(0), demoTime(32), demoTime(64)}));
}

// A show that runs for weeks: the demo time grows on past 24.8 days (where
// a signed count of milliseconds would turn negative) up to the counter's
// full cycle, and a resync that late re-anchors the clock there.
TEST_F(EntryLoopTest, DemoTimeRunsOnForTheCountersWholeCycle) {
  writeDemo(6);
  const uint32_t start = clock.now;
  // Milliseconds since the anchor that frames 2 to 4 see; frame 4 asks for
  // a resync, and frame 6 comes almost a whole cycle after the new anchor.
  const uint32_t late[] = {0x7FFFFFF0u, 0x80000010u, 0xF0000000u};
  clock.onFrame = [&](int frame) {
    if (frame <= 3) clock.now = start + late[frame - 1];
    if (frame == 4) gTimeResyncRequest = true;
    if (frame == 5) clock.now += 0x0FFFFF00u;
  };
  EXPECT_EQ(run("show.txt"), 0);
  const float seconds[] = {0.0f,
                           float(late[0]) * 0.001f,
                           float(late[1]) * 0.001f,
                           float(late[2]) * 0.001f,
                           float(late[2]) * 0.001f,
                           float(late[2] + 0x0FFFFF00u) * 0.001f};
  ASSERT_EQ(clock.seen.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    if (i > 0) {
      EXPECT_GT(clock.seen[i], 2.1e6f);
    }
    // Re-anchored from the float time, the clock is off by at most one
    // step of a float there (half a second at 49 days).
    EXPECT_NEAR(clock.seen[i], seconds[i], i < 4 ? 0.0f : 0.5f);
  }
}

// Music started in the frame at 12.5 s takes 3 s to load: the next frame
// goes on from 12.5 s, plus only what passed after the re-anchoring.
TEST_F(EntryLoopTest, ResyncRequestReanchorsTheClockAtTheFrameThatAskedForIt) {
  writeDemo(4);
  clock.onFrame = [this](int frame) {
    if (frame == 1) clock.now += 12500;
    if (frame == 2) {
      gTimeResyncRequest = true;  // what the music start does after loading
      clock.now += 3000;
    }
    if (frame == 3) clock.now += 16;
  };
  EXPECT_EQ(run("show.txt"), 0);
  EXPECT_EQ(clock.seen,
            (std::vector<float>{demoTime(0), demoTime(12500), demoTime(12500), demoTime(12516)}));
  EXPECT_FALSE(gTimeResyncRequest);
}

// The same through a scriplet that starts real music in the frame at 12.5 s,
// with 3 s passing in that frame.
TEST_F(EntryLoopTest, MusicStartedInAFrameCostsNoDemoTime) {
  write("song.wav", sineWav(44100, 1, 4410, 440, 0.5));
  write("show.txt", "0 1 1 loop loop.as 0 -1 0 0\n");
  write("loop.as",
        "int frames = 0;\n"
        "void render(float t) {\n"
        "  frames = frames + 1;\n"
        "  logPrint(\"frame\");\n"
        "  if (frames == 2) startMusic(\"song.wav\");\n"
        "  if (frames == 4) endDemo();\n"
        "}\n");
  clock.onFrame = [this](int frame) {
    if (frame == 1) clock.now += 12500;
    if (frame == 2) clock.now += 3000;
    if (frame == 3) clock.now += 16;
  };
  EXPECT_EQ(run("show.txt"), 0);
  EXPECT_NE(gMusicChannel, 0u);
  stopMusic();
  EXPECT_EQ(clock.seen,
            (std::vector<float>{demoTime(0), demoTime(12500), demoTime(12500), demoTime(12516)}));
}

}  // namespace

namespace {

struct SetupCase {
  setup_test::Choices choices;
  D3DFORMAT format;
  int reduceLOD, noPostProcess;
};
void PrintTo(const SetupCase& c, std::ostream* os) {
  const setup_test::Choices& m = c.choices;
  *os << m.width << "x" << m.height << "x" << m.colorBits
      << (m.fullscreen ? " fullscreen" : " windowed") << (m.vsync ? " vsync" : "")
      << (m.highResModels ? " highres" : "") << (m.additionalEffects ? " effects" : "");
}

class EntrySetupTable : public EntryTest, public testing::WithParamInterface<SetupCase> {};

D3DSURFACE_DESC gBackBuffer;
void readBackBuffer(const char* text) {
  if (std::string(text) != "frame") return;
  IDirect3DSurface9* surface = nullptr;
  if (SUCCEEDED(gDevice->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &surface))) {
    surface->GetDesc(&gBackBuffer);
    surface->Release();
  }
}

// The device's back buffer has the chosen mode and depth, whether windowed
// or not; cleared switches set the quality flags.
TEST_P(EntrySetupTable, DeviceAndQualityFollowTheSetupChoices) {
  const SetupCase& c = GetParam();
  setup_test::presetChoices(c.choices);
  gReduceLOD = gNoPostProcess = 0;  // as at program start
  write("show.txt", "0 1 1 probe probe.as 0 -1 0 0\n");
  write("probe.as", "void render(float t) { logPrint(\"frame\"); endDemo(); }\n");
  gBackBuffer = {};
  gLogHook = readBackBuffer;
  EXPECT_EQ(run("show.txt"), 0);
  gLogHook = nullptr;
  setup_test::clearChoices();
  EXPECT_EQ(gBackBuffer.Format, c.format);
  EXPECT_EQ(int(gBackBuffer.Width), c.choices.width);
  EXPECT_EQ(int(gBackBuffer.Height), c.choices.height);
  EXPECT_EQ(gReduceLOD, c.reduceLOD);
  EXPECT_EQ(gNoPostProcess, c.noPostProcess);
  // A windowed run presents no extra frame before the clock starts.
  EXPECT_EQ(d3d9_test::presentCount(), c.choices.fullscreen ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, EntrySetupTable,
    testing::Values(SetupCase{{640, 480, 32, true, true, true, true}, D3DFMT_X8R8G8B8, 0, 0},
                    SetupCase{{320, 200, 16, false, false, false, true}, D3DFMT_R5G6B5, 1, 0},
                    SetupCase{{1024, 768, 32, false, true, true, false}, D3DFMT_X8R8G8B8, 0, 1}));

}  // namespace

namespace {

// The device is asked for with the chosen mode in the window the routine
// made: 800 x 600 at the top left, whatever the mode.
TEST_F(EntryTest, PresentationParametersFollowTheChoices) {
  struct Case {
    setup_test::Choices choices;
    D3DFORMAT format;
    BOOL windowed;
    UINT interval;
  } cases[] = {
      {{640, 480, 32, true, true, true, true}, D3DFMT_X8R8G8B8, FALSE, D3DPRESENT_INTERVAL_DEFAULT},
      {{320, 200, 16, false, false, true, true},
       D3DFMT_R5G6B5,
       TRUE,
       D3DPRESENT_INTERVAL_IMMEDIATE},
  };
  write("show.txt", "0 0\n");
  for (const Case& c : cases) {
    d3d9_test::reset();
    setup_test::presetChoices(c.choices);
    platform_test::pressEscapeAfterPolls(0);
    ASSERT_EQ(run("show.txt"), 0);
    ASSERT_EQ(d3d9_test::deviceCreations().size(), 1u);
    const d3d9_test::DeviceCreation& made = d3d9_test::deviceCreations()[0];
    const D3DPRESENT_PARAMETERS& p = made.parameters;
    EXPECT_EQ(made.adapter, 0u);
    EXPECT_EQ(made.type, DWORD(D3DDEVTYPE_HAL));
    EXPECT_EQ(made.behaviourFlags, DWORD(D3DCREATE_HARDWARE_VERTEXPROCESSING));
    EXPECT_EQ(p.BackBufferWidth, UINT(c.choices.width));
    EXPECT_EQ(p.BackBufferHeight, UINT(c.choices.height));
    EXPECT_EQ(p.BackBufferFormat, c.format);
    EXPECT_EQ(p.BackBufferCount, 0u);
    EXPECT_EQ(p.MultiSampleType, D3DMULTISAMPLE_NONE);
    EXPECT_EQ(p.SwapEffect, D3DSWAPEFFECT_DISCARD);
    EXPECT_EQ(p.hDeviceWindow, made.window);
    EXPECT_EQ(p.Windowed, c.windowed);
    EXPECT_EQ(p.EnableAutoDepthStencil, TRUE);
    EXPECT_EQ(p.AutoDepthStencilFormat, D3DFMT_D16);
    EXPECT_EQ(p.Flags, 0u);
    EXPECT_EQ(p.FullScreen_RefreshRateInHz, 0u);
    EXPECT_EQ(p.PresentationInterval, c.interval);
    ASSERT_TRUE(made.window);
    EXPECT_EQ(made.window->x, 0);
    EXPECT_EQ(made.window->y, 0);
    EXPECT_TRUE(made.window->visible);
  }
  setup_test::clearChoices();
}

TEST_F(EntryTest, SoftwareVertexProcessingIsTheFallback) {
  write("show.txt", "0 0\n");
  d3d9_test::failDeviceCreations(1, D3DERR_NOTAVAILABLE);
  platform_test::pressEscapeAfterPolls(0);
  EXPECT_EQ(run("show.txt"), 0);
  ASSERT_EQ(d3d9_test::deviceCreations().size(), 2u);
  EXPECT_EQ(d3d9_test::deviceCreations()[1].behaviourFlags,
            DWORD(D3DCREATE_SOFTWARE_VERTEXPROCESSING));
}

TEST_F(EntryTest, CullModeFailureEndsWithOneAndABoxWithoutIcon) {
  write("show.txt", "0 0\n");
  d3d9_test::failRenderState(D3DRS_CULLMODE);
  EXPECT_EQ(run("show.txt"), 1);
  ASSERT_EQ(platform_test::messageBoxes().size(), 1u);
  const auto& box = platform_test::messageBoxes()[0];
  EXPECT_EQ(box.text, "DirectX init error - basic renderstate");
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.type, unsigned(MB_OK));
  ASSERT_EQ(d3d9_test::deviceCreations().size(), 1u);
  EXPECT_TRUE(d3d9_test::deviceCreations()[0].window->minimised);
  EXPECT_EQ(gDevice, nullptr);
}

using EntryDeathTest = EntryTest;

TEST_F(EntryDeathTest, StartupFailuresShowTheirBoxAndExitWithOne) {
  write("show.txt", "0 0\n");
  EXPECT_EXIT(
      {
        d3d9_test::failDirect3DCreate(true);
        run("show.txt");
      },
      testing::ExitedWithCode(1),
      "\\[Exiting Demo \\(Failure\\)\\] Failed to init Direct3D 9 device");
  // Both attempts fail: the message names the second attempt's result.
  EXPECT_EXIT(
      {
        d3d9_test::failDeviceCreations(2, D3DERR_OUTOFVIDEOMEMORY);
        run("show.txt");
      },
      testing::ExitedWithCode(1),
      "\\[Exiting Demo \\(Failure\\)\\] Failed to create DirectX device:\n"
      "Direct3D does not have enough display memory to perform the operation.\n");
}

}  // namespace
