// Processes of our own for work that a library may not survive: a compiler
// that crashes or hangs on some input then ends only its helper. A helper
// is split off by a double fork, so it is nobody's child here (nothing to
// reap, nothing left behind for waitpid), talks over a socket pair, first
// announces its process id, and ends when its socket closes, also when the
// process that started it dies. Start helpers before any other thread, so
// that no lock is inherited held.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace helper_process {

struct Process {
  int fd = -1;
  pid_t pid = -1;
};

// Runs `serve` with its end of the socket in a new helper (which leaves
// with _exit when `serve` returns) and waits up to `limitMs` for it to
// announce itself; false, with `process` untouched, when it does not.
bool start(Process& process, void (*serve)(int fd), int limitMs);
// Kills the helper (a stuck one would not notice its socket close) and
// closes the socket.
void stop(Process& process);

// In the helper, first thing: tells the starter the helper's process id.
bool announce(int fd);

// Writes all of `data`; a peer that has gone makes it fail rather than
// raise SIGPIPE, which would end the program.
bool sendAll(int fd, const char* data, size_t size);
// Reads `size` bytes; false when the socket fails or closes first, or when
// `limitMs` (unless negative) passes first, which sets `*timedOut`.
bool readAll(int fd, char* into, size_t size, int limitMs, bool* timedOut = nullptr);

}  // namespace helper_process
