// The script host: owns every compiled scriplet (one script engine and one
// execution context each), preprocesses and compiles scriplet sources, runs
// their entry functions and callbacks by name, and keeps their extern values
// and the demo time that the entry functions receive.
#pragma once

#include <angelscript.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/ScriptCallbacks.h"
#include "runtime/LongCallWatch.h"

using namespace AngelScript;

// The entry functions of a scriplet, indexing Scriplet::entryIds.
enum EntryPoint : int {
  ENTRY_INITGLOBALS = 0,  // "void initGlobals()"
  ENTRY_INIT = 1,         // "void init()"
  ENTRY_BEGIN = 2,        // "void begin()"
  ENTRY_PRERENDER = 3,    // "void preRender(float)"
  ENTRY_RENDER = 4,       // "void render(float)"
  ENTRY_POSTRENDER = 5,   // "void postRender(float)"
  ENTRY_END = 6,          // "void end()"
  ENTRY_DIED = 7,         // "void died()"
  ENTRY_COUNT = 8
};

// The declaration of each entry function, exactly as it is looked up.
extern const char* const kEntryDeclarations[ENTRY_COUNT];

// One extern variable of one scriplet; the value is kept as text.
struct ExternVar {
  ExternVar() = default;
  ExternVar(const std::string& name, const std::string& type, const std::string& value)
      : name(name), type(type), value(value) {}

  std::string name;
  std::string type;  // "float", "color", "string" and "enum" reach the script
  std::string value;
  std::map<std::string, int32_t> enumValues;
  int32_t reservedInt = 0;
  float reservedFloat = 1.0f;
  int32_t globalVarId = -1;  // -1: not looked up yet; other negatives: not found
  bool applyPending = true;
  bool orphan = false;  // the host's own record: never written into the script
};

// One compiled scriplet. What an entry call reads lies at the front, in
// the record's first cache line (the end and died functions excepted): with
// many scriplets, each call finds the record evicted by the calls since.
struct alignas(64) Scriplet {
  asIScriptContext* context = nullptr;
  bool externsPending = true;
  bool inFolder = false;  // the name has a folder (a backslash)
  // It has classes of its own, so its calls can make objects that the
  // object limit and the garbage collector's upkeep after each call watch.
  bool guarded = true;
  // The functions of the entries (null where the id is -1), found at
  // compile so that an entry call does not look them up in the engine.
  asIScriptFunction* entryFunctions[ENTRY_COUNT] = {};
  asIScriptEngine* engine = nullptr;
  std::string name;
  int32_t entryIds[ENTRY_COUNT] = {-1, -1, -1, -1, -1, -1, -1, -1};
  std::list<ExternVar> externs;
};

// The compile-message collector: keeps the latest message and, for a message
// that names a row and column of the compiled text, an echo of that line with
// a caret under the column.
class LogParseError {
 public:
  explicit LogParseError(const std::string* scriptText) : scriptText(scriptText) {}

  // Takes one formatted message (every message also goes to logMessage).
  void Write(const char* text);

  // The text stays as it is while the collector lives.
  const std::string* scriptText;
  std::string collected;

 private:
  // Where each line of scriptText starts, made at the first echo: a build
  // of a long text may give a warning on every line, and finding each
  // line from the start of the text would take time that grows with the
  // square of its length.
  std::vector<size_t> lineStarts;
};

class ScriptHost : public ScriptCallbacks {
 public:
  ScriptHost();
  ~ScriptHost();
  ScriptHost(const ScriptHost&) = delete;
  ScriptHost& operator=(const ScriptHost&) = delete;

  // Creates, preprocesses, builds and stores a scriplet, then runs its
  // initGlobals. On failure error holds the message (or stays empty when
  // there is nothing to tell) and nothing is stored.
  bool compile(const std::string& name, const std::string& source, std::string& error);
  // Runs died and releases the scriplet; false when none of that name is loaded.
  bool unload(const std::string& name, bool keepExterns);
  // Runs one entry function, in the scriplet's folder when its name has one.
  void callEntry(const std::string& name, EntryPoint code);
  // The same for a scriplet already found (by findScriplet, with the stamp
  // unchanged since).
  void callEntry(Scriplet& scriplet, EntryPoint code);
  // The loaded scriplet of that name, or null. The pointer holds while
  // `stamp` stays as it is.
  Scriplet* findScriplet(const std::string& name);
  // Runs a script function found by its name alone, in a temporary context.
  // A function with a parameter that would start as a null object or a null
  // reference (anything but a number or an enum by value) is not run.
  void callFunction(const std::string& scriplet, const std::string& function) override;
  // The same with the arguments (a, b, object), where object is a vectorN. A
  // function whose third parameter is no vectorN, or whose further parameters
  // are not numbers or enums by value, is not run.
  void callFunctionWithArgs(const std::string& scriplet, const std::string& function, int32_t a,
                            int32_t b, void* object) override;
  // Aborts the entry call in progress (if any) and sets aborted.
  void abortCurrent();

  void setTime(float seconds) { time = seconds; }
  float getTime() const { return time; }

  // Registers the whole script API into a new engine.
  int registerModules(asIScriptEngine* engine);
  // Sets up a new engine for a scriplet: its properties, then registerModules.
  void prepareEngine(asIScriptEngine* engine);
  // Releases every loaded scriplet without running died.
  void shutdown();

  // Extern variables.
  void applyExterns(Scriplet& scriplet);
  bool getExternValue(const std::string& scriplet, const std::string& variable, std::string& value);
  void getExternFloat(const std::string& scriplet, const std::string& variable, float& number);
  void setExternValue(const std::string& scriplet, const std::string& variable,
                      const std::string& value);
  void setExternTyped(const std::string& scriplet, const std::string& variable,
                      const std::string& type, const std::string& value);
  void setExternFloat(const std::string& scriplet, const std::string& variable,
                      const std::string& type, float number);
  void mergeSavedExterns(const std::string& name, Scriplet& scriplet);
  void saveExterns(const std::string& name, Scriplet& scriplet);

  // Rewrites a scriplet's source before it is compiled: assertion lines,
  // extern statements, "@" function references and (when traceEnabled) trace
  // calls. Returns 0 on success, 1 with the message in error on failure
  // (text is then left as it was).
  int preprocess(const std::string& name, std::string& text, Scriplet& scriplet,
                 std::string& error);

  std::map<std::string, Scriplet> scriplets;
  // Changes, to a value no host has had before, whenever a scriplet is
  // stored or released or an extern value is set: what callers resolved
  // from the host under an equal stamp still holds.
  std::uint64_t stamp = 0;
  void touch();
  std::map<std::string, std::list<ExternVar>> savedExterns;
  float time = 0.0f;
  asIScriptContext* running = nullptr;
  bool aborted = false;
  bool traceEnabled = false;
  bool assertEnabled = true;

  // Test seam: when set, called at the end of registerModules with every new
  // engine (tests register stand-ins for modules that are not built in).
  static void (*extraRegistrations)(asIScriptEngine* engine);
  // Test seam: when set, called with every context the host creates, before
  // anything runs in it (the fuzzer puts an instruction budget on them).
  static void (*contextCreated)(asIScriptContext* context);
  // Test seam: when false, script calls are not watched for running long
  // (the fuzzer bounds every context by a line callback of its own).
  static bool watchLongCalls;
  // Seam for benchmarks: when false, texts are built without a trial build
  // first (runtime/TrialBuild.h).
  static bool trialBuilds;

 private:
  void releaseScriplet(Scriplet& scriplet);
  // A new context of the engine, given to the contextCreated hook; null
  // when none can be made.
  asIScriptContext* createContext(asIScriptEngine* engine);
  // Executes a prepared context, watched for running long.
  int execute(asIScriptContext* context, bool guarded);
  // Runs the global variables' initialisers of a freshly built module.
  int initGlobals(asIScriptEngine* engine, asIScriptModule* module);
  std::unique_ptr<LongCallWatch> watch;
  // The contexts an engine makes for itself (the garbage collector's calls
  // of script destructors, among others) are watched as the host's own.
  static asIScriptContext* requestContext(asIScriptEngine* engine, void* host);
  static void returnContext(asIScriptEngine* engine, asIScriptContext* context, void* host);
  void runByName(const std::string& scriplet, const std::string& function, bool withArgs, int32_t a,
                 int32_t b, void* object);
};

extern ScriptHost* gScriptHost;
