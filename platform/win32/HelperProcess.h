// Processes of our own for work that a library may not survive: a compiler
// that crashes or hangs on some input then ends only its helper.
//
// Every helper is made by one origin: a small process that the first start
// splits off (the player and the test binary make that start first thing,
// before any other thread exists). The origin has one thread and makes each
// helper as a copy of itself, so no helper starts with a lock held that
// another thread had at the fork, however many threads this process has by
// then. A kind of helper may have the origin prepare something once (tables,
// a warm compiler) that each of its helpers then starts with, and the origin
// keeps one helper of each kind made ahead, so that a start, also that of a
// replacement for one that crashed, waits for no fork.
//
// A helper talks to this process over a socket pair of its own and ends when
// its socket closes. When this process ends, the origin ends every helper it
// made that still runs (a stuck one too), and a helper ends with its origin.
// The origin reaps them: nothing is left for this process to wait for. The
// origin and its helpers ignore SIGINT and SIGTERM (sent to the whole process
// group, they are this process's to take), leave no core file, and write
// nothing: their standard streams are /dev/null.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace helper_process {

struct Process {
  int fd = -1;
  pid_t pid = -1;
};

// A kind of helper. `prepare` (may be null) runs once in the origin, before
// the first helper of the kind is made; `serve` runs in each helper with its
// end of the socket, and the helper leaves with _exit (no atexit handlers, no
// static destructors, no leak check) when it returns. Both run in a copy of
// this program without its other threads, its GL context or its audio: they
// use none of those, nor the log.
struct Kind {
  void (*prepare)();
  void (*serve)(int fd);
};

// Starts a helper of `kind`, and the origin first when none runs; false, with
// `process` untouched, when the origin cannot be started or does not hand the
// helper over within `limitMs`.
bool start(Process& process, const Kind& kind, int limitMs);
// Kills the helper (a stuck one would not notice its socket close) and closes
// the socket; the origin reaps it.
void stop(Process& process);
// Has the origin prepare `kind` and make a helper of it ahead, without
// waiting for either, and starts the origin first when none runs.
void prepare(const Kind& kind);

// How a helper ended.
enum class Ending {
  Exited,        // it left by itself
  Signalled,     // a signal ended it: a crash, a failed check, a kill
  OutOfCpuTime,  // it used up the processor time limitCpuTime gave it
  Unknown,       // the origin did not tell within the limit
};
// For a helper whose socket has closed (it has ended or is ending): stops it
// as stop() does and tells how it ended.
Ending finish(Process& process, int limitMs);

// In a helper: a limit on the processor time it may take, in seconds, after
// which the system ends it (OutOfCpuTime); busy machines do not stretch it.
void limitCpuTime(unsigned seconds);

// The origin's process id, or -1 when none runs (tests and benchmarks).
int originProcess();

// Writes all of `data`; a peer that has gone makes it fail rather than
// raise SIGPIPE, which would end the program.
bool sendAll(int fd, const char* data, size_t size);
// Reads `size` bytes; false when the socket fails or closes first, or when
// `limitMs` (unless negative) passes first, which sets `*timedOut`.
bool readAll(int fd, char* into, size_t size, int limitMs, bool* timedOut = nullptr);

}  // namespace helper_process
