// Building a scriplet's module, and trying the build first where a failure
// of the script compiler cannot take the program with it.
//
// The script compiler has its internal consistency checks compiled in, and
// some texts it does not expect fail one of them, which ends the process
// (for instance a call of a function that returns nothing, or a constant
// bool, as an operand of a bitwise operator; an initialisation list
// converted to a number; comparisons of constant bools); a few others make
// it read through a null pointer (`-null`). So the host first builds each
// text in a helper process (platform/win32/HelperProcess.h), a copy of the
// helpers' origin, which set up an engine with the same settings and the
// whole script API registered once, and builds it here only when that copy
// came back from its build, whatever the build itself said.
#pragma once

#include <angelscript.h>

#include <cstddef>
#include <string>

using namespace AngelScript;

// Builds the module on a thread whose stack holds the compiler's recursion
// for any text within kMaxSourceNesting (here, when no such thread can be
// made); returns what Build returned.
int buildOnLargeStack(asIScriptModule* module);

namespace trial_build {

enum class Outcome {
  Returned,   // the trial build came back (with or without errors)
  Stopped,    // the copy ended during the build: a crash or a failed check
  TimedOut,   // the build did not finish within the time limit
  NotTried,   // no copy could be made (the text is then built here untried)
  Abandoned,  // a stop was requested while it ran (the show is ending)
};

// Has the helpers' origin set up its engine and make the copy for the first
// trial, without waiting for either, and starts the origin when none runs
// yet. A copy of a process whose other threads hold locks (the allocator's,
// under the sanitizers) can be stuck on them, so the player and the test
// binary call this (or d3dx_hlsl::startCompiler, which comes first there)
// first thing, before any other thread. Otherwise the first trial does it.
void start();

// Builds `text` (a preprocessed scriplet) as a module of an engine set up
// as ScriptHost::compile sets up its own, in a fresh copy of that process,
// and tells how the build ended. A copy is ended when its build has taken
// the processor time of limitsFor(text), or when its waiting limit has
// passed (a build that waits on something). The build's messages are not
// kept. A stop request (platformStopRequested) ends the wait within a
// tenth of a second, and the trial with it.
Outcome tryBuild(const std::string& text);

// The limits of a trial of a text of that many bytes: 20 s of processor
// time and 120 s of waiting, and for every 16 KiB of text one second and
// six seconds more, until the wait reaches 23 hours (224 MiB of text).
// The compiler's time grows with the text, for some shapes faster than
// its length (thousands of functions, or thousands of locals in one
// function): a long generated scriplet that builds here in a minute must
// not be refused, also on a slow machine, one busy enough to give the copy
// a small share of a processor, or under the sanitizers.
struct Limits {
  int cpuSeconds;
  int waitMs;
};
Limits limitsFor(size_t textBytes);

// For tests: the two base time limits (processor seconds, and milliseconds
// of waiting), and copies that stall instead of building: waiting, or busy.
enum class Stall { None, Wait, Spin };
void setTimeLimitsForTesting(int cpuSeconds, int milliseconds);
void setStallForTesting(Stall stall);
// For benchmarks: the process id of the copies' origin, or -1 when it is
// not running.
int originProcess();

}  // namespace trial_build
