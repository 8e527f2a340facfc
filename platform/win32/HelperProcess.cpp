#include "platform/win32/HelperProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace helper_process {

bool start(Process& process, void (*serve)(int fd), int limitMs) {
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
    // The middle process only forks the helper and leaves.
    if (fork() == 0) {
      serve(fds[1]);
      _exit(0);
    }
    _exit(0);
  }
  close(fds[1]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  uint32_t pid = 0;
  char hello[sizeof pid];
  if (!readAll(fds[0], hello, sizeof hello, limitMs)) {
    close(fds[0]);
    return false;
  }
  std::memcpy(&pid, hello, sizeof pid);
  process.fd = fds[0];
  process.pid = pid_t(pid);
  return true;
}

void stop(Process& process) {
  if (process.fd < 0) return;
  if (process.pid > 0) kill(process.pid, SIGKILL);
  close(process.fd);
  process = {};
}

bool announce(int fd) {
  const uint32_t pid = uint32_t(getpid());
  char hello[sizeof pid];
  std::memcpy(hello, &pid, sizeof pid);
  return sendAll(fd, hello, sizeof hello);
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
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  while (size > 0) {
    if (limitMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      const int ready = left <= 0 ? 0 : poll(&p, 1, int(left));
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
