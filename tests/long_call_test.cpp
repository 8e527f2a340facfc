// Script calls that never return: the window stays alive while a call runs
// long, and Escape, closing the window or a stop request (SIGINT, SIGTERM)
// abort the call and end the show as Escape does. Calls that return, however
// slow, run to their end.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "platform/win32/TestSeams.h"
#include "platform/win32/Win32.h"
#include "tests/script_host_fixture.h"
#include "tests/virtual_display.h"

namespace {

const char* const kLoopingRender = "void render(float t) { while (true) {} }\n";

// Requests the stop from another thread once the script thread has started,
// as a signal handler would.
class StopLater {
 public:
  explicit StopLater(std::function<void()> stop)
      : thread([stop] {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          stop();
        }) {}
  ~StopLater() { thread.join(); }

 private:
  std::thread thread;
};

class LongCallTest : public ScriptHostTest {
 protected:
  void SetUp() override {
    ScriptHostTest::SetUp();
    platform_test::reset();
  }
  void TearDown() override {
    platform_test::reset();
    ScriptHostTest::TearDown();
  }
};

// A native that runs a script function of the calling scriplet by name, as
// the texture fill and the procedural mesh plane do.
// void runBack(const string &in, const string &in)
void runBack(const std::string& scriplet, const std::string& function) {
  gScriptHost->callFunction(scriplet, function);
}
void registerRunBack(asIScriptEngine* engine) {
  engine->RegisterGlobalFunction("void runBack(const string &in, const string &in)",
                                 asFUNCTION(runBack), asCALL_CDECL);
}

// A stop request during a call that never returns ends that call, whichever
// entry it is, also inside a function that a native called back by name,
// also a loop that keeps allocating; it reads as Escape afterwards, and the
// scriplet stays usable (its "died" runs at the unload).
TEST_F(LongCallTest, StopRequestAbortsAnEndlessEntryCall) {
  const std::string died = "int deaths = 0;\nvoid died() { ++deaths; }\n";
  struct Case {
    const char* entry;
    EntryPoint code;
    std::string source;
  } cases[] = {
      {"render", ENTRY_RENDER, kLoopingRender + died},
      {"init", ENTRY_INIT,
       "int inits = 0;\nvoid init() { ++inits; while (inits > 0) {} }\nvoid render(float t) {}\n" +
           died},
      {"begin", ENTRY_BEGIN, "void begin() { while (true) {} }\nvoid render(float t) {}\n" + died},
      {"preRender", ENTRY_PRERENDER,
       "void preRender(float t) { while (t >= 0) {} }\nvoid render(float t) {}\n" + died},
      {"postRender", ENTRY_POSTRENDER,
       "void postRender(float t) { do {} while (true); }\nvoid render(float t) {}\n" + died},
      {"end", ENTRY_END, "void end() { for (;;) {} }\nvoid render(float t) {}\n" + died},
      {"died", ENTRY_DIED, "void died() { while (true) {} }\nvoid render(float t) {}\n"},
      {"a callback by name", ENTRY_RENDER,
       "void spin() { while (true) {} }\nvoid render(float t) { runBack(@spin); }\n" + died},
      {"a growing string", ENTRY_RENDER,
       "string s;\nvoid render(float t) { while (true) s += \"abcdefgh\"; }\n" + died},
      // The garbage collector runs it in a context the engine makes itself.
      {"a destructor the garbage collector runs", ENTRY_RENDER,
       "bool looped = false;\n"
       "class Ring { /*@*/ Ring@ other; ~Ring() { if (!looped) { looped = true; while (true) {} } } }\n"
       "void render(float t) { for (int i = 0; i < 2000; ++i) { Ring a; Ring b;\n"
       "  /*@*/ @a.other = b;\n  /*@*/ @b.other = a; } }\n" +
           died},
  };
  ScriptHost::extraRegistrations = registerRunBack;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    platform_test::reset();
    ASSERT_TRUE(compile(c.source)) << error;
    {
      StopLater stop(platformRequestStop);
      host.callEntry("scene", c.code);
    }
    EXPECT_NE(GetAsyncKeyState(VK_ESCAPE), 0);
    EXPECT_TRUE(host.unload("scene", false));
  }
}

// Calls of a native that takes a while, and how many began after the stop
// was requested.
std::atomic<bool> gStopSent{false};
std::atomic<int> gStepsAfterStop{0};
// void slowStep()
void slowStep() {
  if (gStopSent.load()) ++gStepsAfterStop;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}
void registerSlowStep(asIScriptEngine* engine) {
  engine->RegisterGlobalFunction("void slowStep()", asFUNCTION(slowStep), asCALL_CDECL);
}

// A loop whose every statement takes long (here a native that waits, as a
// copy of a big string does) still looks for the stop a few dozen times a
// second, not once in hundreds of statements.
TEST_F(LongCallTest, AStopEndsALoopOfSlowStatementsWithinAFewOfThem) {
  ScriptHost::extraRegistrations = registerSlowStep;
  ASSERT_TRUE(compile("void render(float t) { while (true) slowStep(); }\n")) << error;
  gStopSent = false;
  gStepsAfterStop = 0;
  {
    StopLater stop([] {
      gStopSent = true;
      platformRequestStop();
    });
    host.callEntry("scene", ENTRY_RENDER);
  }
  EXPECT_NE(GetAsyncKeyState(VK_ESCAPE), 0);
  // Typically one or two; hundreds when the watch only looked every few
  // hundred statements.
  EXPECT_LT(gStepsAfterStop.load(), 40);
}

// A string that doubles in a loop would take all of memory within a few
// dozen steps, each one statement: at 256 MiB the next doubling raises a
// script exception instead, which ends the call; the string keeps its value
// and the next frame runs as before.
TEST_F(LongCallTest, AStringThatDoublesInALoopEndsItsCall) {
  ASSERT_TRUE(
      compile("string s;\nint calls = 0;\n"
              "void render(float t) { ++calls; s = \"x\"; while (true) s += s; }\n"
              "void preRender(float t) { s = \"y\"; string b = \"x\"; while (true) b = b + b; }\n"))
      << error;
  host.callEntry("scene", ENTRY_RENDER);
  ASSERT_NE(global<std::string>("s"), nullptr);
  EXPECT_EQ(global<std::string>("s")->size(), size_t(1) << 28);
  host.callEntry("scene", ENTRY_PRERENDER);
  EXPECT_EQ(*global<std::string>("s"), "y");
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(*global<int>("calls"), 2);
  EXPECT_EQ(GetAsyncKeyState(VK_ESCAPE), 0);
}

// A stop while a global initialiser loops leaves the scene out without an
// error message, so the show can end in order instead of with a fatal box.
TEST_F(LongCallTest, StopDuringAnEndlessInitialiserFailsTheCompileQuietly) {
  StopLater stop(platformRequestStop);
  EXPECT_FALSE(compile(
      "int spin() { while (true) {} return 1; }\nint x = spin();\nvoid render(float t) {}\n"));
  EXPECT_EQ(error, "");
  EXPECT_TRUE(host.scriplets.empty());
}

// Set when a logged text tells of a call running long (the hook runs on the
// script thread, the test's stop thread waits for it).
std::atomic<bool> gToldLong{false};
void noteLongCall(const char* text) {
  loggedMessages().push_back(text);
  if (std::string(text).find("has run for more than") != std::string::npos) gToldLong = true;
}

// A call that runs long says so once, naming its scriplet and function,
// whether it is an entry or a function called back by name.
TEST_F(LongCallTest, ACallThatRunsLongIsLoggedOnce) {
  struct Case {
    const char* what;
    std::string source;
    const char* told;
  } cases[] = {
      {"render", kLoopingRender, "scene: 'void render(float)' has run for more than 500 ms"},
      {"a callback by name",
       "void spin() { while (true) {} }\nvoid render(float t) { runBack(@spin); }\n",
       "scene: 'void spin()' has run for more than 500 ms"},
  };
  ScriptHost::extraRegistrations = registerRunBack;
  // Told as soon as the watch takes the call for long.
  const auto tellAfter = LongCallWatch::tellAfter;
  LongCallWatch::tellAfter = std::chrono::milliseconds(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform_test::reset();
    ASSERT_TRUE(compile(c.source)) << error;
    loggedMessages().clear();
    gToldLong = false;
    gLogHook = noteLongCall;
    {
      StopLater stop([] {
        for (int i = 0; i < 3000 && !gToldLong; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        platformRequestStop();
      });
      host.callEntry("scene", ENTRY_RENDER);
    }
    ASSERT_EQ(loggedMessages().size(), 1u);
    EXPECT_EQ(loggedMessages()[0].rfind(c.told, 0), 0u) << loggedMessages()[0];
    EXPECT_TRUE(host.unload("scene", false));
  }
  LongCallWatch::tellAfter = tellAfter;
}

// A call that takes longer than the watch's threshold but returns by itself
// is not cut short, and a nested callback inside it is not either.
TEST_F(LongCallTest, SlowCallsThatReturnRunToTheirEnd) {
  ASSERT_TRUE(
      compile("int count = 0;\n"
              "void render(float t) { for (int i = 0; i < 40000000; ++i) ++count; }\n"))
      << error;
  const auto started = std::chrono::steady_clock::now();
  host.callEntry("scene", ENTRY_RENDER);
  const bool wasLong = std::chrono::steady_clock::now() - started > LongCallWatch::kLongCall;
  EXPECT_EQ(*global<int>("count"), 40000000);
  EXPECT_EQ(GetAsyncKeyState(VK_ESCAPE), 0);
  // Only meaningful when the machine took long enough to arm the watch.
  if (!wasLong) std::fprintf(stderr, "note: the slow call returned before the watch armed\n");
  // The next call runs again without the line callback and as before.
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(*global<int>("count"), 80000000);
}

// ---- In a window: Escape and closing the window -------------------------

bool useVirtualDisplay() {
  const char* display = std::getenv("LONG_CALL_TEST_DISPLAY");
  if (!display) return false;
  setenv("DISPLAY", display, 1);
  return true;
}

void pushEvent(Uint32 type, SDL_Keycode key) {
  SDL_Event event{};
  event.type = type;
  event.key.keysym.sym = key;
  SDL_PushEvent(&event);
}

TEST(LongCallOnVirtualDisplay, EscapeOrClosingTheWindowStopsALoopingRender) {
  if (!useVirtualDisplay()) GTEST_SKIP() << "started by LongScriptCall.UnderAVirtualDisplay";
  HWND window = CreateWindowExA(0, "Static", "", WS_VISIBLE | WS_SYSMENU, 0, 0, 800, 600, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(window->sdlWindow, nullptr);
  const std::function<void()> actions[] = {
      [] {
        pushEvent(SDL_KEYDOWN, SDLK_ESCAPE);
        pushEvent(SDL_KEYUP, SDLK_ESCAPE);
      },
      [] { pushEvent(SDL_QUIT, 0); },
  };
  for (const auto& action : actions) {
    platform_test::reset();
    GetAsyncKeyState(VK_ESCAPE);  // whatever the window system sent so far
    ScriptHost host;
    std::string error;
    ASSERT_TRUE(host.compile("scene", kLoopingRender, error)) << error;
    {
      StopLater press(action);
      host.callEntry("scene", ENTRY_RENDER);
    }
    // The show ends as after Escape.
    EXPECT_NE(GetAsyncKeyState(VK_ESCAPE), 0);
  }
  platform_test::reset();
  DestroyWindow(window);
}

TEST(LongScriptCall, UnderAVirtualDisplay) {
  ASSERT_EQ(std::system("command -v xvfb-run >/dev/null 2>&1"), 0) << "xvfb-run is not installed";
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const VirtualDisplayRun run = runUnderVirtualDisplay(
      self, "LONG_CALL_TEST_DISPLAY", "LongCallOnVirtualDisplay.*", "long-call-display-");
  ASSERT_TRUE(WIFEXITED(run.status)) << run.log;
  EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.log;
  EXPECT_NE(run.log.find("[  PASSED  ] 1 test."), std::string::npos) << run.log;
}

// ---- The player, headless: SIGINT and SIGTERM ---------------------------

// CPU time the process has used, in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  // After the command's name: state, then fields 4 to 13; utime and stime are 14 and 15.
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

TEST(PlayerSignals, SigintAndSigtermEndTheRunInOrder) {
  struct Case {
    const char* what;
    int signal;
    std::string scene;
  } cases[] = {
      {"looping render, SIGTERM", SIGTERM, kLoopingRender},
      {"looping init, SIGINT", SIGINT,
       "void init() { while (true) {} }\nvoid render(float t) {}\n"},
      {"plain frames, SIGTERM", SIGTERM, "float x;\nvoid render(float t) { x = t; }\n"},
  };
  const std::filesystem::path folder =
      testing::TempDir() + "player-signals-" + std::to_string(getpid());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "scene.as")
        << c.scene << "void died() { while (true) {} }\n";  // ended too once stopped
    std::ofstream(folder / "show.txt") << "0 1 1 scene scene.as 0 1000 0 0\n";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      setenv("SDL_AUDIODRIVER", "dummy", 1);
      const std::string line = (folder / "show.txt").string();
      execl(ENGINE_PLAYER_PATH, ENGINE_PLAYER_PATH, line.c_str(), (char*)nullptr);
      _exit(127);
    }
    // Let it get going (start-up and a while of the show); any moment is
    // fine for the signal, this only makes the script the likely place.
    const long second = sysconf(_SC_CLK_TCK);
    for (int i = 0; i < 600 && cpuTicks(child) >= 0 && cpuTicks(child) < second * 3 / 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(child, c.signal);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1200 && (done = waitpid(child, &status, WNOHANG)) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "the player did not end after the signal";
      continue;
    }
    ASSERT_TRUE(WIFEXITED(status))
        << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
