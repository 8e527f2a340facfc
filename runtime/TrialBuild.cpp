#include "runtime/TrialBuild.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>

#include "runtime/ScriptHost.h"

namespace {

// The machine stack the script compiler runs on. It parses and compiles by
// recursion, a few kilobytes a level of nesting; a text within
// kMaxSourceNesting needs a small part of this. Only the pages it touches
// are ever backed by memory.
constexpr size_t kCompileStack = size_t(128) << 20;

// Runs `work` on a thread with a stack of kCompileStack bytes and waits for
// it; runs it here when no such thread can be made. The compiler keeps state
// per thread, which goes with the thread.
void runOnLargeStack(const std::function<void()>& work) {
  struct Job {
    const std::function<void()>* work;
    static void* run(void* param) {
      (*static_cast<Job*>(param)->work)();
      asThreadCleanup();
      return nullptr;
    }
  } job{&work};
  pthread_attr_t attributes;
  pthread_t thread;
  bool started = pthread_attr_init(&attributes) == 0 &&
                 pthread_attr_setstacksize(&attributes, kCompileStack) == 0 &&
                 pthread_create(&thread, &attributes, &Job::run, &job) == 0;
  pthread_attr_destroy(&attributes);
  if (started)
    pthread_join(thread, nullptr);
  else
    work();
}

}  // namespace

int buildOnLargeStack(asIScriptModule* module) {
  int built = 0;
  runOnLargeStack([&] { built = module->Build(); });
  return built;
}

namespace trial_build {

namespace {

// ---------------------------------------------------------------------------
// Two processes besides this one. The origin is split off once, early, and
// does nothing but keep an engine with the script API registered and make a
// copy of itself for each request; it has one thread, so every copy starts
// with no lock held. The copy builds the text and leaves with _exit (no
// atexit handlers, no static destructors, no leak check); the origin tells
// from how the copy ended, within the time limit, what became of the
// build. A compiler that ends its process ends only the copy.
//
// A request on the socket: its length as 32 bits, then the time limits as
// 32 bits each (processor seconds, then milliseconds of waiting), a byte
// for a copy that stalls instead of building (tests: 1 waits, 2 spins) and
// the text. The answer is one byte: 'r' returned, 's' stopped, 't' timed
// out, 'n' no copy could be made.

std::atomic<int> cpuLimitSeconds{20};
std::atomic<int> timeLimitMs{120000};
std::atomic<int> stallCopies{0};
// How much longer than the copy's limit this process waits for the
// origin's answer before it takes the origin for lost.
constexpr int kAnswerMargin = 5000;

bool sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    // No SIGPIPE when the other end is gone: the send fails instead.
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

// Reads `size` bytes; false when the socket fails or closes first, or when
// `limitMs` (unless negative) passes first.
bool readAll(int fd, char* into, size_t size, int limitMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  while (size > 0) {
    if (limitMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      const int ready = left <= 0 ? 0 : poll(&p, 1, int(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
    }
    const ssize_t n = read(fd, into, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into += n;
    size -= size_t(n);
  }
  return true;
}

void putCount(std::string& data, uint32_t value) {
  data.append(reinterpret_cast<const char*>(&value), sizeof value);
}

uint32_t getCount(const char* data) {
  uint32_t value = 0;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// Waits until the other end of the pipe `fd` is closed, at most `limitMs`.
bool waitForClose(int fd, int limitMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int ready = left <= 0 ? 0 : poll(&p, 1, int(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char ignored[64];
    const ssize_t n = read(fd, ignored, sizeof ignored);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return true;
  }
}

// One trial, in the origin: a copy builds the text.
char trial(asIScriptEngine* engine, const std::string& text, int cpuSeconds, int limitMs,
           int stall) {
  if (!engine) return 'n';
  int done[2];
  if (pipe2(done, O_CLOEXEC) != 0) return 'n';
  const pid_t copy = fork();
  if (copy < 0) {
    close(done[0]);
    close(done[1]);
    return 'n';
  }
  if (copy == 0) {
    // The write end stays open for the copy's life: its close tells the
    // origin that the copy has ended, however it ended.
    close(done[0]);
    // A compiler that ends the copy leaves no core file behind.
    prctl(PR_SET_DUMPABLE, 0);
    // A build that runs on and on is ended by the processor time it takes,
    // however busy the machine is; one that waits, by the origin's limit.
    const rlimit cpu{rlim_t(cpuSeconds), rlim_t(cpuSeconds) + 1};
    setrlimit(RLIMIT_CPU, &cpu);
    while (stall == 1) pause();
    volatile unsigned spin = 0;
    while (stall == 2) spin = spin + 1;
    asIScriptModule* module = engine->GetModule("trial", asGM_ALWAYS_CREATE);
    if (module && module->AddScriptSection("section", text.data(), text.size(), 0) >= 0)
      buildOnLargeStack(module);
    _exit(0);
  }
  close(done[1]);
  const bool ended = waitForClose(done[0], limitMs);
  close(done[0]);
  if (!ended) kill(copy, SIGKILL);
  int status = 0;
  while (waitpid(copy, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)) return 't';
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 'r' : 's';
}

// Closes every descriptor but the standard three and `keep`: a pipe of the
// parent's held open here would never reach its end for the reader.
void closeOthers(int keep) {
  if ((keep <= 3 || close_range(3, unsigned(keep) - 1, 0) == 0) &&
      close_range(unsigned(keep) + 1, ~0u, 0) == 0)
    return;
  const int top = int(std::min<long>(sysconf(_SC_OPEN_MAX), 65536));
  for (int fd = 3; fd < top; ++fd)
    if (fd != keep) close(fd);
}

// The origin: answers requests until its socket closes (this process has
// ended or let it go), then leaves with _exit. Apart from the engine it does
// nothing: no GL, no SDL, no logging.
[[noreturn]] void serve(int fd) {
  // A stop signal sent to the whole process group is the parent's to take;
  // the origin ends when the parent's socket closes.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  closeOthers(fd);
  // Nothing is written from here or from a copy (the compiler's failed
  // check prints its text before it ends the copy).
  const int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
  std::string hello;
  putCount(hello, uint32_t(getpid()));
  if (!sendAll(fd, hello.data(), hello.size())) _exit(1);

  ScriptHost host;
  asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  if (engine) {
    host.prepareEngine(engine);
    // The engine readies every registered function at its first build, and
    // the dynamic linker binds each library function at its first call: an
    // empty build here, the way a copy builds, does both once for all the
    // copies.
    if (asIScriptModule* warm = engine->GetModule("warm", asGM_ALWAYS_CREATE)) {
      buildOnLargeStack(warm);
      warm->Discard();
    }
  }

  char head[4];
  while (readAll(fd, head, sizeof head, -1)) {
    std::string body(getCount(head), '\0');
    if (body.size() < 9 || !readAll(fd, body.data(), body.size(), -1)) break;
    const int cpuSeconds = int(getCount(body.data()));
    const int limit = int(getCount(body.data() + 4));
    const char answer = trial(engine, body.substr(9), cpuSeconds, limit, body[8]);
    if (!sendAll(fd, &answer, 1)) break;
  }
  _exit(0);
}

// The origin as this process sees it. It is started by a double fork, so it
// is nobody's child here (nothing to reap, nothing left behind for waitpid),
// and it ends by itself when its socket closes, also when this process dies.
struct Origin {
  int fd = -1;
  pid_t pid = -1;
};
std::mutex originMutex;
Origin origin;

void stopOrigin() {
  if (origin.fd < 0) return;
  // A stuck origin would not notice the closed socket.
  if (origin.pid > 0) kill(origin.pid, SIGKILL);
  close(origin.fd);
  origin = {};
}

bool startOrigin() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  const pid_t middle = fork();
  if (middle < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (middle == 0) {
    close(fds[0]);
    // The middle process only forks the origin and leaves.
    if (fork() == 0) serve(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  char hello[4];
  if (!readAll(fds[0], hello, sizeof hello, timeLimitMs.load() + kAnswerMargin)) {
    close(fds[0]);
    return false;
  }
  origin.fd = fds[0];
  origin.pid = pid_t(getCount(hello));
  return true;
}

}  // namespace

void start() {
  std::lock_guard<std::mutex> lock(originMutex);
  if (origin.fd < 0) startOrigin();
}

Outcome tryBuild(const std::string& text) {
  const int limit = timeLimitMs.load();
  std::string request;
  putCount(request, uint32_t(text.size() + 9));
  putCount(request, uint32_t(cpuLimitSeconds.load()));
  putCount(request, uint32_t(limit));
  request += char(stallCopies.load());
  request += text;
  std::lock_guard<std::mutex> lock(originMutex);
  // A second attempt with a fresh origin when the first one does not
  // answer: nothing a text does reaches the origin, so a lost one says
  // nothing about the text.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (origin.fd < 0 && !startOrigin()) return Outcome::NotTried;
    char answer = 0;
    if (sendAll(origin.fd, request.data(), request.size()) &&
        readAll(origin.fd, &answer, 1, limit + kAnswerMargin)) {
      switch (answer) {
        case 'r':
          return Outcome::Returned;
        case 's':
          return Outcome::Stopped;
        case 't':
          return Outcome::TimedOut;
        default:
          return Outcome::NotTried;
      }
    }
    stopOrigin();
  }
  return Outcome::NotTried;
}

void setTimeLimitsForTesting(int cpuSeconds, int milliseconds) {
  cpuLimitSeconds = cpuSeconds;
  timeLimitMs = milliseconds;
}

void setStallForTesting(Stall stall) { stallCopies = int(stall); }

int originProcess() {
  std::lock_guard<std::mutex> lock(originMutex);
  return origin.fd < 0 ? -1 : int(origin.pid);
}

}  // namespace trial_build
