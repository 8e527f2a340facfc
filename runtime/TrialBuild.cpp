#include "runtime/TrialBuild.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "platform/win32/HelperProcess.h"
#include "platform/win32/LargeStack.h"
#include "platform/win32/Win32.h"
#include "runtime/ScriptHost.h"

namespace {

// The machine stack the script compiler runs on. It parses and compiles by
// recursion, a few kilobytes a level of nesting; a text within
// kMaxSourceNesting needs a small part of this. Only the pages it touches
// are ever backed by memory.
constexpr size_t kCompileStack = size_t(128) << 20;

}  // namespace

int buildOnLargeStack(asIScriptModule* module) {
  int built = 0;
  // The compiler keeps state per thread, which goes with the thread.
  large_stack::run(
      kCompileStack, [&] { built = module->Build(); }, [] { asThreadCleanup(); });
  return built;
}

namespace trial_build {

namespace {

// ---------------------------------------------------------------------------
// Each trial is a helper process (platform/win32/HelperProcess.h), a copy of
// the helpers' origin, in which an engine with the script API registered was
// set up once. The copy takes one text, builds it, tells that the build came
// back and leaves; how it ended otherwise (a crash, a failed check, the
// processor time used up) or that it did not answer within the time limit
// tells what became of the build. A compiler that ends its process ends only
// the copy.
//
// The request to a copy: the processor time limit in seconds as 32 bits, a
// byte for a copy that stalls instead of building (tests: 1 waits, 2 spins),
// then the text's length as 32 bits and the text. The answer is one byte: 'd'
// when the build came back, 'n' when the copy has no engine to build with.

std::atomic<int> cpuLimitSeconds{20};
std::atomic<int> timeLimitMs{120000};
std::atomic<int> stallCopies{0};
// How much longer than a copy's limit this process waits for the origin to
// hand a copy over (the first one waits for the origin's engine), and how
// long for it to tell how a copy ended.
constexpr int kAnswerMargin = 5000;
// How often a trial's wait looks for a stop request.
constexpr int kStopPollMs = 100;

void putCount(std::string& data, uint32_t value) {
  data.append(reinterpret_cast<const char*>(&value), sizeof value);
}

uint32_t getCount(const char* data) {
  uint32_t value = 0;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// In the origin, once: the engine every copy builds with. The engine readies
// every registered function at its first build, and the dynamic linker binds
// each library function at its first call: an empty build here, the way a
// copy builds, does both once for all the copies.
asIScriptEngine* originEngine = nullptr;

void prepareEngine() {
  static ScriptHost host;
  originEngine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  if (!originEngine) return;
  host.prepareEngine(originEngine);
  if (asIScriptModule* warm = originEngine->GetModule("warm", asGM_ALWAYS_CREATE)) {
    buildOnLargeStack(warm);
    warm->Discard();
  }
}

// The copy's side.
void buildCopy(int fd) {
  char head[9];
  if (!helper_process::readAll(fd, head, sizeof head, -1)) return;
  std::string text(getCount(head + 5), '\0');
  if (!helper_process::readAll(fd, text.data(), text.size(), -1)) return;
  if (!originEngine) {
    helper_process::sendAll(fd, "n", 1);
    return;
  }
  // A build that runs on and on is ended by the processor time it takes,
  // however busy the machine is; one that waits, by this process's limit.
  helper_process::limitCpuTime(getCount(head));
  while (head[4] == 1) std::this_thread::sleep_for(std::chrono::hours(1));
  volatile unsigned spin = 0;
  while (head[4] == 2) spin = spin + 1;
  asIScriptModule* module = originEngine->GetModule("trial", asGM_ALWAYS_CREATE);
  if (module && module->AddScriptSection("section", text.data(), text.size(), 0) >= 0)
    buildOnLargeStack(module);
  helper_process::sendAll(fd, "d", 1);
}

const helper_process::Kind kCopy{prepareEngine, buildCopy};

}  // namespace

void start() { helper_process::prepare(kCopy); }

Limits limitsFor(size_t textBytes) {
  // Past the base, each 16 KiB adds a second of processor time and six of
  // waiting (the base limits' ratio). The wait is held below a day (a text
  // of 224 MiB reaches that).
  const long long steps = (long long)std::min<size_t>(textBytes / (size_t(16) << 10), 14000);
  return {int(cpuLimitSeconds.load() + steps), int(timeLimitMs.load() + steps * 6000)};
}

Outcome tryBuild(const std::string& text) {
  // The request gives the length in 32 bits; a longer text could not be
  // built within any limit here anyway.
  if (text.size() > UINT32_MAX) return Outcome::TimedOut;
  const Limits limits = limitsFor(text.size());
  const int limit = limits.waitMs;
  std::string request;
  putCount(request, uint32_t(limits.cpuSeconds));
  request += char(stallCopies.load());
  putCount(request, uint32_t(text.size()));
  request += text;
  // A copy that cannot take its request (ended by something else while it
  // waited) says nothing about the text: a fresh one takes it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    helper_process::Process copy;
    if (!helper_process::start(copy, kCopy, limit + kAnswerMargin)) return Outcome::NotTried;
    if (!helper_process::sendAll(copy.fd, request.data(), request.size())) {
      helper_process::stop(copy);
      continue;
    }
    // Waited for in short steps, so that a show being stopped need not wait
    // for a long build: the copy goes with the stop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    char answer = 0;
    bool answered = false, timedOut = false;
    for (;;) {
      timedOut = false;
      answered = helper_process::readAll(copy.fd, &answer, 1, kStopPollMs, &timedOut);
      if (answered || !timedOut || std::chrono::steady_clock::now() >= deadline) break;
      if (platformStopRequested()) {
        helper_process::stop(copy);
        return Outcome::Abandoned;
      }
    }
    if (answered) {
      helper_process::stop(copy);
      return answer == 'd' ? Outcome::Returned : Outcome::NotTried;
    }
    if (timedOut) {
      helper_process::stop(copy);
      return Outcome::TimedOut;
    }
    return helper_process::finish(copy, kAnswerMargin) == helper_process::Ending::OutOfCpuTime
               ? Outcome::TimedOut
               : Outcome::Stopped;
  }
  return Outcome::NotTried;
}

void setTimeLimitsForTesting(int cpuSeconds, int milliseconds) {
  cpuLimitSeconds = cpuSeconds;
  timeLimitMs = milliseconds;
}

void setStallForTesting(Stall stall) { stallCopies = int(stall); }

int originProcess() { return helper_process::originProcess(); }

}  // namespace trial_build
