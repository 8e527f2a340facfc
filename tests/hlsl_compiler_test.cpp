// The HLSL compiler's worker process: what it answers comes back whole, and
// a worker that crashes, hangs or says nothing fails the compile without
// leaving a process or a pipe behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/d3dx/HLSLCompiler.h"
#include "platform/win32/HelperProcess.h"
#include "tests/process_status.h"

namespace {

using d3dx_hlsl::CompiledStage;
using d3dx_hlsl::Stage;

const char* kPixel = R"(
float4 tint = {1, 0, 0, 1};
float gain;
sampler image;
float4 ps(float2 uv : TEXCOORD0, float4 c : COLOR0) : COLOR { return tex2D(image, uv) * tint * c * gain; }
)";

int openFiles() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

bool hasChildren() { return waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD; }

class HlslCompilerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    d3dx_hlsl::setChildHookForTesting(nullptr);
    d3dx_hlsl::setTimeLimitForTesting(10000);
  }
};

TEST_F(HlslCompilerTest, TheChildsAnswerComesBackWhole) {
  CompiledStage out;
  std::string errors;
  ASSERT_TRUE(d3dx_hlsl::compile(kPixel, "ps", Stage::Pixel, "memory", out, errors)) << errors;
  EXPECT_EQ(out.stage, Stage::Pixel);
  EXPECT_NE(out.glsl.find("void main()"), std::string::npos) << out.glsl;
  EXPECT_EQ(out.block, "fxp");
  EXPECT_EQ(out.members, (std::vector<std::string>{"tint", "gain"}));
  EXPECT_EQ(out.samplers, (std::vector<std::string>{"image"}));
  ASSERT_EQ(out.inputs.size(), 2u);
  EXPECT_EQ(out.inputs[0].name + " " + out.inputs[0].type, "v_TEXCOORD0 vec2");
  EXPECT_EQ(out.inputs[1].name + " " + out.inputs[1].type, "v_COLOR0 vec4");

  // The compiler's own errors come back as they are, after what the caller had.
  errors = "before\n";
  EXPECT_FALSE(d3dx_hlsl::compile("float4 ps() : COLOR { return nothing; }", "ps", Stage::Pixel,
                                  "a.fx", out, errors));
  EXPECT_EQ(errors.rfind("before\na.fx(1): error: ", 0), 0u) << errors;
  EXPECT_NE(errors.find("nothing"), std::string::npos) << errors;
  EXPECT_TRUE(out.glsl.empty());
}

TEST_F(HlslCompilerTest, AChildThatFailsFailsTheCompileAndIsReaped) {
  struct Case {
    const char* name;
    void (*hook)();
    const char* error;
    // Only the hang waits out its limit; a child that fails is given time
    // enough to be seen failing on a loaded machine.
    int limitMs;
  } cases[] = {
      {"crash", [] { std::abort(); }, "a.fx: error: the shader compiler failed on this text\n",
       30000},
      {"leaves without an answer", [] { _exit(0); },
       "a.fx: error: the shader compiler failed on this text\n", 30000},
      {"hangs",
       [] {
         for (;;) pause();
       },
       "a.fx: error: the shader compiler did not finish in time on this text\n", 300},
  };
  // With a worker running, as after every compile: a failed one is
  // replaced, so the count of open files stays.
  d3dx_hlsl::startCompiler();
  const int files = openFiles();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    d3dx_hlsl::setTimeLimitForTesting(c.limitMs);
    d3dx_hlsl::setChildHookForTesting(c.hook);
    CompiledStage out;
    std::string errors;
    EXPECT_FALSE(d3dx_hlsl::compile(kPixel, "ps", Stage::Pixel, "a.fx", out, errors));
    EXPECT_EQ(errors, c.error);
    EXPECT_TRUE(out.glsl.empty());
    EXPECT_FALSE(hasChildren());
    EXPECT_EQ(openFiles(), files);
  }
  // And the next compile works as before.
  d3dx_hlsl::setChildHookForTesting(nullptr);
  CompiledStage out;
  std::string errors;
  EXPECT_TRUE(d3dx_hlsl::compile(kPixel, "ps", Stage::Pixel, "a.fx", out, errors)) << errors;
  EXPECT_FALSE(hasChildren());
}

// A worker that dies while idle is found out when the next request is sent:
// the send fails (no SIGPIPE ends the program) and a fresh worker compiles.
TEST_F(HlslCompilerTest, AWorkerGoneBetweenCompilesIsReplacedForTheNext) {
  d3dx_hlsl::setChildHookForTesting([] { alarm(1); });
  CompiledStage out;
  std::string errors;
  ASSERT_TRUE(d3dx_hlsl::compile(kPixel, "ps", Stage::Pixel, "a.fx", out, errors)) << errors;
  // The alarm ends the worker after its answer; a little later it is gone.
  usleep(1500 * 1000);
  errors.clear();
  EXPECT_TRUE(d3dx_hlsl::compile(kPixel, "ps", Stage::Pixel, "a.fx", out, errors)) << errors;
}

// Threads that keep locks of this process taken, as a player's threads do
// (llvmpipe's, the audio thread, the watcher of long calls): two allocate
// and free blocks of many sizes, from a few bytes to a few hundred
// kilobytes (the allocator's locks), and one translates a shader here (the
// HLSL front end's own lock, which every compile takes).
class BusyThreads {
 public:
  BusyThreads() {
    for (unsigned seed = 1; seed <= 2; ++seed)
      threads.emplace_back([this, seed] {
        unsigned state = seed;
        std::vector<void*> blocks(64, nullptr);
        while (!done) {
          state = state * 1103515245u + 12345u;
          const size_t size = (state >> 8) % ((state & 1) ? 300000 : 3000) + 1;
          void*& block = blocks[(state >> 20) % blocks.size()];
          std::free(block);
          block = std::malloc(size);
        }
        for (void* block : blocks) std::free(block);
      });
    threads.emplace_back([this] {
      while (!done) {
        CompiledStage out;
        std::string errors;
        d3dx_hlsl::compileInProcess(kPixel, "ps", Stage::Pixel, "busy.fx", out, errors);
      }
    });
  }
  ~BusyThreads() {
    done = true;
    for (std::thread& thread : threads) thread.join();
  }

 private:
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
};

// A worker that crashes mid-show, while other threads of this process hold
// locks: its replacement is not a copy of this process (which could start
// with one of those locks held, and wait for it for ever) but of the
// helpers' origin, which has one thread. So every next compile succeeds.
TEST_F(HlslCompilerTest, AWorkerReplacedWhileOtherThreadsHoldLocksComesFromTheOrigin) {
  d3dx_hlsl::startCompiler();
  const int origin = helper_process::originProcess();
  ASSERT_GT(origin, 0);
  int previous = d3dx_hlsl::workerProcessForTesting();
  ASSERT_GT(previous, 0);
  EXPECT_EQ(statusField(previous, "PPid"), origin);
  {
    BusyThreads busy;
    for (int round = 0; round < 25; ++round) {
      SCOPED_TRACE(round);
      d3dx_hlsl::setChildHookForTesting([] { std::abort(); });
      CompiledStage out;
      std::string errors;
      EXPECT_FALSE(d3dx_hlsl::compile(kPixel, "ps", Stage::Pixel, "a.fx", out, errors));
      EXPECT_EQ(errors, "a.fx: error: the shader compiler failed on this text\n");
      d3dx_hlsl::setChildHookForTesting(nullptr);
      errors.clear();
      EXPECT_TRUE(d3dx_hlsl::compile(kPixel, "ps", Stage::Pixel, "a.fx", out, errors)) << errors;
      const int worker = d3dx_hlsl::workerProcessForTesting();
      EXPECT_NE(worker, previous);
      EXPECT_EQ(statusField(worker, "PPid"), origin);
      EXPECT_EQ(statusField(worker, "Threads"), 1);
      previous = worker;
    }
  }
  EXPECT_EQ(helper_process::originProcess(), origin);
  EXPECT_EQ(statusField(origin, "Threads"), 1);
  EXPECT_FALSE(hasChildren());
}

}  // namespace
