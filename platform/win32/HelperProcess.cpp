#include "platform/win32/HelperProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace helper_process {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from now to `deadline`, at least 0.
int leftUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return int(std::max<long long>(left, 0));
}

// ---------------------------------------------------------------------------
// The origin's socket carries packets (a sequenced-packet socket), one message
// each. The origin is a copy of this program made without exec, so the
// functions of a kind are named by their addresses, which are the same there.

enum class Op : uint32_t { Start, End, Prepare };

struct Request {
  Op op;
  // Who asks, and the how-manieth question: an answer that comes after its
  // asker stopped waiting is told apart from the one awaited now, and a copy
  // of this process made by fork (a test's death test) that shares the socket
  // does not take answers meant for this one.
  int32_t asker;
  uint32_t serial;
  int32_t pid;      // End: the helper
  uint32_t answer;  // End: whether to tell how it ended
  void (*prepare)();
  void (*serve)(int fd);
};

struct Answer {
  Op op;
  int32_t asker;
  uint32_t serial;
  int32_t pid;  // Start: the helper, whose socket comes with the message; -1 when none
  int32_t ending;
};

// Sends `answer`, with the descriptor `fd` unless it is negative.
bool sendAnswer(int socket, const Answer& answer, int fd) {
  iovec part{const_cast<Answer*>(&answer), sizeof answer};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  while (sendmsg(socket, &message, MSG_NOSIGNAL) < 0)
    if (errno != EINTR) return false;
  return true;
}

enum class Received { Yes, Closed, TimedOut };

// Receives one answer within `limitMs`, and the descriptor that came with
// it in `*fd` (-1 when none did).
Received receiveAnswer(int socket, Answer& answer, int& fd, int limitMs) {
  fd = -1;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    pollfd p{socket, POLLIN, 0};
    const int ready = poll(&p, 1, leftUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Received::TimedOut;
    if (ready < 0) return Received::Closed;
    iovec part{&answer, sizeof answer};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS)
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    if (n == ssize_t(sizeof answer)) return Received::Yes;
    if (fd >= 0) close(fd);
    fd = -1;
    return Received::Closed;
  }
}

// Closes every descriptor but the standard three and `keep`: a pipe or a
// socket of the starting process held open here would never reach its end
// for its reader.
void closeOthers(int keep) {
  if ((keep <= 3 || close_range(3, unsigned(keep) - 1, 0) == 0) &&
      close_range(unsigned(keep) + 1, ~0u, 0) == 0)
    return;
  const int top = int(std::min<long>(sysconf(_SC_OPEN_MAX), 65536));
  for (int fd = 3; fd < top; ++fd)
    if (fd != keep) close(fd);
}

// ---------------------------------------------------------------------------
// The origin's side.

struct Made {
  pid_t pid;
  bool ended;  // reaped already, with `status`
  int status;
};

struct Spare {
  Kind kind;
  Process helper;
};

struct Origin {
  int socket = -1;
  pid_t self = -1;
  std::vector<void (*)()> prepared;
  std::vector<Made> made;     // helpers made and not stopped yet
  std::vector<Spare> spares;  // made ahead, one a kind
};

// Makes a helper of `kind`: its socket's other end, or nothing when it
// cannot be made.
Process make(Origin& origin, const Kind& kind) {
  if (kind.prepare && std::find(origin.prepared.begin(), origin.prepared.end(), kind.prepare) ==
                          origin.prepared.end()) {
    kind.prepare();
    origin.prepared.push_back(kind.prepare);
  }
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    // It ends with the origin, also when something else kills the origin;
    // one that has gone already leaves it nothing to do.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != origin.self) _exit(0);
    // A compiler that crashes here leaves no core file behind.
    prctl(PR_SET_DUMPABLE, 0);
    // Its own socket only: the origin's and those of the helpers made ahead
    // must close when their other holders close them.
    close(origin.socket);
    for (const Spare& spare : origin.spares) close(spare.helper.fd);
    close(fds[0]);
    kind.serve(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return {};
  }
  origin.made.push_back({pid, false, 0});
  return {fds[0], pid};
}

// Reaps the helpers that have ended, keeping their status for the question
// how they ended.
void reap(Origin& origin) {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
    for (Made& made : origin.made)
      if (made.pid == pid) {
        made.ended = true;
        made.status = status;
      }
}

// Kills the helper unless it has ended, reaps it and tells how it ended.
// Its parent, and the only one to reap it, kills it: its process id cannot
// have gone to another process yet.
Ending end(Origin& origin, pid_t pid) {
  const auto found = std::find_if(origin.made.begin(), origin.made.end(),
                                  [&](const Made& made) { return made.pid == pid; });
  if (found == origin.made.end()) return Ending::Unknown;
  int status = found->status;
  if (!found->ended) {
    // A helper that is ending already keeps the status it ends with.
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  origin.made.erase(found);
  if (!WIFSIGNALED(status)) return Ending::Exited;
  return WTERMSIG(status) == SIGXCPU ? Ending::OutOfCpuTime : Ending::Signalled;
}

bool sameKind(const Kind& a, const Kind& b) { return a.serve == b.serve && a.prepare == b.prepare; }

bool hasSpare(const Origin& origin, const Kind& kind) {
  return std::any_of(origin.spares.begin(), origin.spares.end(),
                     [&](const Spare& spare) { return sameKind(spare.kind, kind); });
}

// The helper of `kind` made ahead, if it still runs.
Process takeSpare(Origin& origin, const Kind& kind) {
  const auto found = std::find_if(origin.spares.begin(), origin.spares.end(),
                                  [&](const Spare& spare) { return sameKind(spare.kind, kind); });
  if (found == origin.spares.end()) return {};
  const Process helper = found->helper;
  origin.spares.erase(found);
  const bool ended = std::any_of(origin.made.begin(), origin.made.end(), [&](const Made& made) {
    return made.pid == helper.pid && made.ended;
  });
  if (!ended) return helper;
  close(helper.fd);
  end(origin, helper.pid);
  return {};
}

// The origin: answers until its socket closes (the process that started it
// has ended, or let it go), then ends the helpers and leaves with _exit.
[[noreturn]] void runOrigin(int socket) {
  // A stop signal sent to the whole process group is the starter's to take.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  closeOthers(socket);
  // Nothing is written from here or from a helper (a compiler's failed
  // check prints its text before it ends the helper).
  const int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
  Origin origin;
  origin.socket = socket;
  origin.self = getpid();
  if (!sendAnswer(socket, {Op::Start, 0, 0, origin.self, 0}, -1)) _exit(1);

  for (;;) {
    Request request;
    const ssize_t n = recv(socket, &request, sizeof request, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n != ssize_t(sizeof request)) break;
    reap(origin);
    Answer answer{request.op, request.asker, request.serial, request.pid, 0};
    const Kind kind{request.prepare, request.serve};
    if (request.op == Op::Prepare) {
      if (!hasSpare(origin, kind)) {
        const Process spare = make(origin, kind);
        if (spare.fd >= 0) origin.spares.push_back({kind, spare});
      }
    } else if (request.op == Op::Start) {
      Process helper = takeSpare(origin, kind);
      if (helper.fd < 0) helper = make(origin, kind);
      answer.pid = helper.pid;
      const bool sent = sendAnswer(socket, answer, helper.fd);
      if (helper.fd >= 0) close(helper.fd);
      if (!sent) break;
      // The next helper of the kind is made now, between requests.
      if (helper.fd >= 0) {
        const Process spare = make(origin, kind);
        if (spare.fd >= 0) origin.spares.push_back({kind, spare});
      }
    } else {
      answer.ending = int32_t(end(origin, request.pid));
      if (request.answer && !sendAnswer(socket, answer, -1)) break;
    }
  }
  for (const Spare& spare : origin.spares) close(spare.helper.fd);
  for (const Made& made : origin.made)
    if (!made.ended) kill(made.pid, SIGKILL);
  for (const Made& made : origin.made)
    while (!made.ended && waitpid(made.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  _exit(0);
}

// ---------------------------------------------------------------------------
// This process's side.

// How long prepare() waits for a new origin to tell its process id.
constexpr int kOriginLimitMs = 10000;

std::mutex originMutex;
int originSocket = -1;
pid_t originPid = -1;
uint32_t serial = 0;

void closeOrigin() {
  if (originSocket >= 0) close(originSocket);
  originSocket = -1;
  originPid = -1;
}

// Splits off the origin by a double fork, so that it is nobody's child here
// (nothing to reap, nothing left for waitpid), and waits up to `limitMs` for
// it to tell its process id.
bool startOrigin(int limitMs) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return false;
  const pid_t middle = fork();
  if (middle < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (middle == 0) {
    // The middle process only forks the origin and leaves.
    if (fork() == 0) runOrigin(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  Answer hello;
  int fd = -1;
  if (receiveAnswer(fds[0], hello, fd, limitMs) != Received::Yes) {
    close(fds[0]);
    return false;
  }
  originSocket = fds[0];
  originPid = hello.pid;
  return true;
}

enum class Asked { Answered, Lost, TimedOut };

// Asks the origin (with originMutex held) and, when `answer` is given,
// waits up to `limitMs` for its answer, and the descriptor that came with it
// in `*fd`.
Asked ask(Request request, Answer* answer, int* fd, int limitMs) {
  request.asker = int32_t(getpid());
  request.serial = ++serial;
  if (send(originSocket, &request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request))
    return Asked::Lost;
  if (!answer) return Asked::Answered;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    switch (receiveAnswer(originSocket, *answer, *fd, leftUntil(deadline))) {
      case Received::Closed:
        return Asked::Lost;
      case Received::TimedOut:
        return Asked::TimedOut;
      case Received::Yes:
        break;
    }
    if (answer->asker == request.asker && answer->serial == request.serial) return Asked::Answered;
    // A late answer to an earlier question: the helper it hands over is not
    // wanted any more.
    if (*fd >= 0) close(*fd);
    if (answer->op == Op::Start && answer->pid > 0) {
      Request stop{Op::End, 0, 0, answer->pid, 0, nullptr, nullptr};
      if (ask(stop, nullptr, nullptr, 0) == Asked::Lost) return Asked::Lost;
    }
  }
}

}  // namespace

bool start(Process& process, const Kind& kind, int limitMs) {
  std::lock_guard<std::mutex> lock(originMutex);
  // A second attempt with a fresh origin when this one has gone: only
  // something from outside (the system short of memory) ends it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (originSocket < 0 && !startOrigin(limitMs)) return false;
    Answer answer{};
    int fd = -1;
    switch (ask({Op::Start, 0, 0, -1, 0, kind.prepare, kind.serve}, &answer, &fd, limitMs)) {
      case Asked::Answered:
        if (fd < 0 || answer.pid <= 0) {
          if (fd >= 0) close(fd);
          return false;
        }
        process = {fd, answer.pid};
        return true;
      case Asked::TimedOut:
        return false;
      case Asked::Lost:
        closeOrigin();
        break;
    }
  }
  return false;
}

void stop(Process& process) {
  if (process.fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(originMutex);
    if (originSocket >= 0 && process.pid > 0 &&
        ask({Op::End, 0, 0, process.pid, 0, nullptr, nullptr}, nullptr, nullptr, 0) == Asked::Lost)
      closeOrigin();
  }
  close(process.fd);
  process = {};
}

void prepare(const Kind& kind) {
  std::lock_guard<std::mutex> lock(originMutex);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (originSocket < 0 && !startOrigin(kOriginLimitMs)) return;
    if (ask({Op::Prepare, 0, 0, -1, 0, kind.prepare, kind.serve}, nullptr, nullptr, 0) !=
        Asked::Lost)
      return;
    closeOrigin();
  }
}

Ending finish(Process& process, int limitMs) {
  if (process.fd < 0) return Ending::Unknown;
  Ending ending = Ending::Unknown;
  {
    std::lock_guard<std::mutex> lock(originMutex);
    Answer answer{};
    int fd = -1;
    if (originSocket >= 0 && process.pid > 0) {
      switch (ask({Op::End, 0, 0, process.pid, 1, nullptr, nullptr}, &answer, &fd, limitMs)) {
        case Asked::Answered:
          ending = Ending(answer.ending);
          break;
        case Asked::Lost:
          closeOrigin();
          break;
        case Asked::TimedOut:
          break;
      }
    }
    if (fd >= 0) close(fd);
  }
  close(process.fd);
  process = {};
  return ending;
}

void limitCpuTime(unsigned seconds) {
  const rlimit cpu{rlim_t(seconds), rlim_t(seconds) + 1};
  setrlimit(RLIMIT_CPU, &cpu);
}

int originProcess() {
  std::lock_guard<std::mutex> lock(originMutex);
  return originSocket < 0 ? -1 : int(originPid);
}

bool sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool readAll(int fd, char* into, size_t size, int limitMs, bool* timedOut) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  while (size > 0) {
    if (limitMs >= 0) {
      pollfd p{fd, POLLIN, 0};
      const int left = leftUntil(deadline);
      const int ready = left <= 0 ? 0 : poll(&p, 1, left);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0 && timedOut) *timedOut = true;
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

}  // namespace helper_process
