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

#include "platform/win32/HelperProcess.h"
#include "platform/win32/Win32.h"
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
// with no lock held. The copy builds the text, tells that the build came
// back and leaves with _exit (no atexit handlers, no static destructors, no
// leak check); the origin tells from that, or from how the copy ended
// within the time limit, what became of the build. A compiler that ends its
// process ends only the copy.
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
// How often a trial's wait looks for a stop request.
constexpr int kStopPollMs = 100;

// Writes all of `data` to a pipe (SIGPIPE is ignored where pipes are written).
bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
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

// Waits for one byte from the pipe `fd`, at most `limitMs`: 1 with the
// byte in `byte`, 0 when the other end closed first, -1 when the time
// passed first.
int waitForByte(int fd, char& byte, int limitMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int ready = left <= 0 ? 0 : poll(&p, 1, int(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    const ssize_t n = read(fd, &byte, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n > 0 ? 1 : 0;
  }
}

// A copy of the origin made ahead of its request, so that neither the
// copy's making nor its end is part of a trial's time: it waits for its
// request on `request`, builds, writes one byte on `done` when the build
// has come back and leaves. `done` closes when the copy ends, however it
// ends.
struct Copy {
  pid_t pid = -1;
  int request = -1;
  int done = -1;
};

// The copy's side: the request is the two limits and the stall byte as in
// the socket's request, then the text's length and the text.
[[noreturn]] void runCopy(asIScriptEngine* engine, int request, int done) {
  // A compiler that ends the copy leaves no core file behind.
  prctl(PR_SET_DUMPABLE, 0);
  char head[13];
  if (!helper_process::readAll(request, head, sizeof head, -1)) _exit(0);
  std::string text(getCount(head + 9), '\0');
  if (!helper_process::readAll(request, text.data(), text.size(), -1)) _exit(0);
  close(request);
  // A build that runs on and on is ended by the processor time it takes,
  // however busy the machine is; one that waits, by the origin's limit.
  const rlim_t cpuSeconds = getCount(head);
  const rlimit cpu{cpuSeconds, cpuSeconds + 1};
  setrlimit(RLIMIT_CPU, &cpu);
  while (head[8] == 1) pause();
  volatile unsigned spin = 0;
  while (head[8] == 2) spin = spin + 1;
  asIScriptModule* module = engine->GetModule("trial", asGM_ALWAYS_CREATE);
  if (module && module->AddScriptSection("section", text.data(), text.size(), 0) >= 0)
    buildOnLargeStack(module);
  const char returned = 'd';
  if (write(done, &returned, 1) != 1) _exit(1);
  _exit(0);
}

// `socket` is the origin's end of this process's socket: the copy does not
// keep it, so the socket closes when the origin ends.
Copy makeCopy(asIScriptEngine* engine, int socket) {
  int request[2], done[2];
  if (pipe2(request, O_CLOEXEC) != 0) return {};
  if (pipe2(done, O_CLOEXEC) != 0) {
    close(request[0]);
    close(request[1]);
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(socket);
    close(request[1]);
    close(done[0]);
    runCopy(engine, request[0], done[1]);
  }
  close(request[0]);
  close(done[1]);
  if (pid < 0) {
    close(request[1]);
    close(done[0]);
    return {};
  }
  return {pid, request[1], done[0]};
}

// Ends a copy (killed when `kill` is set) and reaps it; its status.
int endCopy(Copy& copy, bool kill) {
  if (copy.pid < 0) return 0;
  if (kill) ::kill(copy.pid, SIGKILL);
  if (copy.request >= 0) close(copy.request);
  close(copy.done);
  int status = 0;
  while (waitpid(copy.pid, &status, 0) < 0 && errno == EINTR) {
  }
  copy = {};
  return status;
}

// One trial, in the origin, by the waiting copy; a fresh copy waits for the
// next one after the answer has gone. `body` is the socket request's body.
char trial(asIScriptEngine* engine, int socket, Copy& copy, const std::string& body) {
  if (!engine) return 'n';
  const int limitMs = int(getCount(body.data() + 4));
  std::string request = body.substr(0, 9);
  putCount(request, uint32_t(body.size() - 9));
  request.append(body, 9, std::string::npos);
  // A copy that cannot take its request (ended by something else while it
  // waited) says nothing about the text: a fresh one takes it.
  bool sent = false;
  for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
    if (copy.pid < 0) copy = makeCopy(engine, socket);
    if (copy.pid < 0) return 'n';
    sent = writeAll(copy.request, request.data(), request.size());
    close(copy.request);
    copy.request = -1;
    if (!sent) endCopy(copy, true);
  }
  if (!sent) return 'n';
  char byte = 0;
  const int got = waitForByte(copy.done, byte, limitMs);
  if (got > 0) return 'r';  // reaped after the answer
  const int status = endCopy(copy, got < 0);
  if (got < 0 || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)) return 't';
  return 's';
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
  if (!helper_process::announce(fd)) _exit(1);

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

  Copy copy;
  if (engine) copy = makeCopy(engine, fd);
  char head[4];
  while (helper_process::readAll(fd, head, sizeof head, -1)) {
    std::string body(getCount(head), '\0');
    if (body.size() < 9 || !helper_process::readAll(fd, body.data(), body.size(), -1)) break;
    const char answer = trial(engine, fd, copy, body);
    if (!helper_process::sendAll(fd, &answer, 1)) break;
    // The copy that built is done (or leaving); the next one is made now,
    // between requests.
    endCopy(copy, false);
    if (engine) copy = makeCopy(engine, fd);
  }
  _exit(0);
}

// The origin as this process sees it: a helper process, which ends by
// itself when its socket closes.
std::mutex originMutex;
helper_process::Process origin;

void stopOrigin() { helper_process::stop(origin); }

bool startOrigin() {
  return helper_process::start(origin, serve, timeLimitMs.load() + kAnswerMargin);
}

}  // namespace

void start() {
  std::lock_guard<std::mutex> lock(originMutex);
  if (origin.fd < 0) startOrigin();
}

Limits limitsFor(size_t textBytes) {
  // Past the base, each 16 KiB adds a second of processor time and six of
  // waiting (the base limits' ratio). Held below a day.
  const long long steps = (long long)std::min<size_t>(textBytes / (size_t(16) << 10), 86400);
  return {int(cpuLimitSeconds.load() + steps), int(timeLimitMs.load() + steps * 6000)};
}

Outcome tryBuild(const std::string& text) {
  const Limits limits = limitsFor(text.size());
  const int limit = limits.waitMs;
  std::string request;
  putCount(request, uint32_t(text.size() + 9));
  putCount(request, uint32_t(limits.cpuSeconds));
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
    bool answered = false;
    if (helper_process::sendAll(origin.fd, request.data(), request.size())) {
      // Waited for in short steps, so that a show being stopped need not
      // wait for a long build: the origin goes with the trial it runs.
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(limit + kAnswerMargin);
      for (;;) {
        bool timedOut = false;
        answered = helper_process::readAll(origin.fd, &answer, 1, kStopPollMs, &timedOut);
        if (answered || !timedOut || std::chrono::steady_clock::now() >= deadline) break;
        if (platformStopRequested()) {
          stopOrigin();
          return Outcome::Abandoned;
        }
      }
    }
    if (answered) {
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
