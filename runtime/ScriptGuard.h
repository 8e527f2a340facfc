// Keeps a scriplet inside the script library's own limits and reports how
// its calls fail.
//
// The script library counts the references to every script class (one for
// each live object of it) and ends the process when such a count reaches a
// million: it takes so high a count for memory overwritten. A scriplet that
// keeps adding objects to a list would get there within seconds. So every
// allocation the library makes while a scriplet runs is seen here first
// (through the library's memory functions), and one that would take a
// script class past kMaxObjectsPerClass objects stops the call instead (all
// its nested calls with it), with a warning; the objects the scriplet holds
// stay, and later calls run as before until they make the next one.
//
// Objects that refer to each other in a ring are freed only by the
// library's garbage collector, whose own steps fall behind a scriplet that
// leaves such rings every frame. After each call of a scriplet the
// collector runs a full cycle once its objects have grown to twice what the
// last cycle left.
//
// A call that ends in a script exception just ends, as any entry call's
// does, and reports nothing.
#pragma once

#include <angelscript.h>

#include <string>

using namespace AngelScript;

namespace script_guard {

constexpr unsigned kMaxObjectsPerClass = 900000;
// Distinct refusals logged for one scriplet; the next one logs that further
// faults are not reported.
constexpr unsigned kMaxReports = 20;

// Puts the checks in the script library's memory functions. Done by every
// host; the functions allocate as the library does by default, so memory
// allocated before stays valid.
void install();

// After a successful build of `module` on `engine`: the script classes to
// count and the scriplet's name for the warnings.
void watchModule(asIScriptEngine* engine, asIScriptModule* module, const std::string& scriplet);

// Around every Execute of a context of a watched engine (calls nest).
class CallScope {
 public:
  explicit CallScope(asIScriptContext* context);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  asIScriptContext* context;
  asIScriptEngine* engine;
  struct EngineState* state;
};

// Before an engine is released: with more than kUntieAbove objects in its
// garbage collector, the handles that script objects hold are cleared first.
// The collector frees a chain of objects one link per pass over all of
// them, so a list of a hundred thousand nodes took it minutes; untied, one
// pass frees them all. (Their destructors, if the classes have any, then
// see those handles as null.)
constexpr asUINT kUntieAbove = 4096;
void untieBeforeRelease(asIScriptEngine* engine);

// The warning of the last object refusal on this thread, or empty; taking
// it clears it (a refused global initialiser fails its compile with it).
std::string takeRefusal();

}  // namespace script_guard
