#include "runtime/ScriptHost.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "core/Log.h"
#include "platform/file/FileSystem.h"
#include "platform/win32/Win32.h"
#include "runtime/ScriptDebug.h"
#include "runtime/ScriptGuard.h"
#include "runtime/ScriptString.h"
#include "runtime/SourceNesting.h"
#include "runtime/TrialBuild.h"
#include "scriptapi/Arrays.h"
#include "scriptapi/D3DEffect.h"
#include "scriptapi/D3DMesh.h"
#include "scriptapi/D3DTexture.h"
#include "scriptapi/D3DXVector3.h"
#include "scriptapi/Music.h"
#include "scriptapi/PostProcess.h"
#include "scriptapi/RenderState.h"
#include "scriptapi/ScriptUtils.h"

ScriptHost* gScriptHost = nullptr;

void (*ScriptHost::extraRegistrations)(asIScriptEngine* engine) = nullptr;
void (*ScriptHost::contextCreated)(asIScriptContext* context) = nullptr;
bool ScriptHost::watchLongCalls = true;
bool ScriptHost::trialBuilds = true;

const char* const kEntryDeclarations[ENTRY_COUNT] = {
    "void initGlobals()", "void init()",
    "void begin()",       "void preRender(float)",
    "void render(float)", "void postRender(float)",
    "void end()",         "void died()",
};

namespace {

// The echo of a compiled line is built in a buffer of this size, so at most
// kEchoBuffer - 1 characters of a line are shown.
constexpr size_t kEchoBuffer = 128;
// The working directory saved around an entry call, at most this size with its NUL.
constexpr int kDirectoryBuffer = 2048;
// Bounds of one context: its script stack in bytes and its depth of nested
// script function calls. Scriplets need a few kilobytes and a few dozen
// levels; a recursion without end reaches a bound and ends its call with a
// stack overflow instead of growing until memory runs out.
constexpr asPWORD kScriptStackLimit = 4 * 1024 * 1024;
constexpr asPWORD kScriptCallLimit = 10000;

// The engine's compile messages, formatted as "section (row, column) : Kind :
// text\n" and handed to the collector. A message that names no section is
// passed as its bare text; the one for a configuration that a rejected
// registration left failed reads "Invalid configuration\n".
void compileMessage(const asSMessageInfo* message, void* param) {
  LogParseError* collector = static_cast<LogParseError*>(param);
  const char* kind = message->type == asMSGTYPE_ERROR     ? "Error"
                     : message->type == asMSGTYPE_WARNING ? "Warning"
                                                          : "Info";
  const char* section = message->section ? message->section : "";
  std::string text = message->message ? message->message : "";
  // Built without a fixed buffer: a message may quote a long identifier.
  std::string formatted;
  if (!*section && text.compare(0, 21, "Invalid configuration") == 0) {
    formatted = "Invalid configuration\n";
  } else if (*section) {
    char position[64];
    std::snprintf(position, sizeof position, " (%d, %d) : ", message->row, message->col);
    formatted = std::string(section) + position + kind + " : " + text + "\n";
  } else {
    formatted = text + "\n";
  }
  collector->Write(formatted.c_str());
}

// The compile message for a text whose trial build did not come back (see
// runtime/TrialBuild.h), or null when it came back or was not tried; empty
// when the show is being stopped (the trial was given up).
const char* trialFailure(const std::string& text) {
  if (!ScriptHost::trialBuilds) return nullptr;
  switch (trial_build::tryBuild(text)) {
    case trial_build::Outcome::Stopped:
      return "The script compiler failed on this text and gave no message\n";
    case trial_build::Outcome::TimedOut:
      return "The script compiler did not finish on this text in time\n";
    case trial_build::Outcome::Abandoned:
      return "";
    default:
      return nullptr;
  }
}

// Makes a scriplet's folder (its name up to and including the last backslash)
// the working directory for the life of the object and restores the previous
// one when it goes. Names without a backslash change nothing, nor does a
// working directory too long to be saved.
class FolderScope {
 public:
  explicit FolderScope(const Scriplet& scriplet) {
    if (!scriplet.inFolder) return;
    const std::string& name = scriplet.name;
    size_t slash = name.rfind('\\');
    if (slash == std::string::npos) return;
    if (!_getcwd(saved, kDirectoryBuffer)) return;
    restore = true;
    _chdir(name.substr(0, slash + 1).c_str());
  }
  ~FolderScope() {
    if (restore) _chdir(saved);
  }
  FolderScope(const FolderScope&) = delete;
  FolderScope& operator=(const FolderScope&) = delete;

 private:
  char saved[kDirectoryBuffer];
  bool restore = false;
};

// Whether a function can be run by name with what the host hands it:
// callFunction passes nothing, callFunctionWithArgs two ints and a vectorN.
// The engine starts every parameter that is not passed at zero, harmless for
// a number or an enum taken by value but a null object or a null reference
// for anything else, which the function would then read or write; such a
// function is not run. Of the passed ones, the engine itself refuses anything
// but a 32-bit number by value for the two ints when they are set. The third
// must be a vectorN (by value or by reference): a string, a matrixStack, a
// script class or a handle declared there would be built over the vectorN's
// bytes.
bool fitsCallback(asIScriptEngine* engine, asIScriptFunction* function, bool withArgs) {
  const asUINT passed = withArgs ? 3 : 0;
  for (asUINT i = 0; i < function->GetParamCount(); ++i) {
    int typeId = 0;
    asDWORD flags = 0;
    if (function->GetParam(i, &typeId, &flags) < 0) return false;
    if (i + 1 < passed) continue;
    if (i + 1 == passed) {
      if (typeId != engine->GetTypeIdByDecl("vectorN")) return false;
      continue;
    }
    if (flags & asTM_INOUTREF) return false;
    if (typeId > asTYPEID_VOID && typeId <= asTYPEID_DOUBLE) continue;
    asITypeInfo* type = engine->GetTypeInfoById(typeId);
    if (!type || !(type->GetFlags() & asOBJ_ENUM)) return false;
  }
  return true;
}

// Releases an engine; objects its initialisers or calls made go with it.
void releaseEngine(asIScriptEngine* engine) {
  script_guard::untieBeforeRelease(engine);
  engine->ShutDownAndRelease();
}

// Whether the garbage collector of a built scriplet can ever be given an
// object: only script classes and registered reference types make any (a
// delegate needs an object of one of them too).
bool mayMakeGarbage(asIScriptEngine* engine, asIScriptModule* module) {
  if (module->GetObjectTypeCount() > 0) return true;
  for (asUINT i = 0; i < engine->GetObjectTypeCount(); ++i)
    if (engine->GetObjectTypeByIndex(i)->GetFlags() & (asOBJ_REF | asOBJ_GC)) return true;
  asUINT held = 0;
  engine->GetGCStatistics(&held);
  return held > 0;
}

}  // namespace

void LogParseError::Write(const char* text) {
  if (*text) logMessage(text);
  collected = text;
  int row = 0, column = 0;
  if (std::sscanf(text, "section (%d, %d)", &row, &column) != 2 || !scriptText) return;

  // Find line `row` (numbered from 1; anything below 1 means line 1).
  const std::string& script = *scriptText;
  if (lineStarts.empty()) {
    lineStarts.push_back(0);
    for (size_t feed = script.find('\n'); feed != std::string::npos;
         feed = script.find('\n', feed + 1))
      lineStarts.push_back(feed + 1);
  }
  const size_t line = row > 1 ? size_t(row) - 1 : 0;
  const bool found = line < lineStarts.size();
  const size_t start = found ? lineStarts[line] : 0;
  std::string echo;
  if (found) {
    // A line that has a line feed ends where the next one starts.
    const bool fed = line + 1 < lineStarts.size();
    size_t end = fed ? lineStarts[line + 1] - 1 : script.size();
    if (fed && end > start && script[end - 1] == '\r') --end;
    echo = script.substr(start, std::min(end - start, kEchoBuffer - 1));
  }
  collected += echo;
  collected += "\r\n";
  // The caret goes under the column, at most just past the longest echo.
  if (column > 1) collected.append(std::min(size_t(column - 1), kEchoBuffer - 1), ' ');
  collected += "^\r\n";
}

ScriptHost::ScriptHost() {
  script_guard::install();
  gScriptHost = this;
  gScriptCallbacks = this;
  touch();
}

void ScriptHost::touch() {
  static std::uint64_t lastStamp = 0;
  stamp = ++lastStamp;
}

Scriplet* ScriptHost::findScriplet(const std::string& name) {
  auto found = scriplets.find(name);
  return found == scriplets.end() ? nullptr : &found->second;
}

ScriptHost::~ScriptHost() {
  shutdown();
  if (gScriptHost == this) gScriptHost = nullptr;
  if (gScriptCallbacks == this) gScriptCallbacks = nullptr;
  // The texture callbacks must not reach a host that is gone; the next
  // host's first registration takes its place.
  if (gTextureScriptHost == this) gTextureScriptHost = nullptr;
}

int ScriptHost::registerModules(asIScriptEngine* engine) {
  // Later modules name the types of earlier ones, so the order is fixed.
  initString(engine);
  initD3DXVector3(engine);       // vector3, color, matrix4, matrixStack, vectorN
  initD3DTexture(engine, this);  // texture, cubeTexture
  initD3DMesh(engine);           // mesh, vertexBuffer, skinnedMesh
  initD3DEffect(engine);         // effect
  initRenderState(engine);       // render states, light, material, fog, camera
  initPostProcess(engine);       // postProcess
  initMusic(engine);             // music
  initArrays(engine);            // arrayTexture
  registerDebugFunctions(engine);
  int result = initTQScriptUtils(engine);  // utilities
  if (extraRegistrations) extraRegistrations(engine);
  return result;
}

void ScriptHost::releaseScriplet(Scriplet& scriplet) {
  if (scriplet.context) scriplet.context->Release();
  if (scriplet.engine) releaseEngine(scriplet.engine);
  scriplet.context = nullptr;
  scriplet.engine = nullptr;
}

asIScriptContext* ScriptHost::createContext(asIScriptEngine* engine) {
  asIScriptContext* context = engine->CreateContext();
  if (context && contextCreated) contextCreated(context);
  return context;
}

void ScriptHost::prepareEngine(asIScriptEngine* engine) {
  // Scriplets pass primitives and values as "&inout" and write literals over
  // several lines.
  engine->SetEngineProperty(asEP_ALLOW_UNSAFE_REFERENCES, 1);
  engine->SetEngineProperty(asEP_ALLOW_MULTILINE_STRINGS, 1);
  engine->SetEngineProperty(asEP_MAX_STACK_SIZE, kScriptStackLimit);
  engine->SetEngineProperty(asEP_MAX_CALL_STACK_SIZE, kScriptCallLimit);
  // Global initialisers run after the build, on this thread (they may call
  // natives that draw), while the build itself runs on a large stack. So a
  // build runs no script code, which the trial build relies on.
  engine->SetEngineProperty(asEP_INIT_GLOBAL_VARS_AFTER_BUILD, 0);
  engine->SetContextCallbacks(requestContext, returnContext, this);
  registerModules(engine);
}

asIScriptContext* ScriptHost::requestContext(asIScriptEngine* engine, void* param) {
  ScriptHost* host = static_cast<ScriptHost*>(param);
  asIScriptContext* context = engine->CreateContext();
  if (!context) return nullptr;
  if (contextCreated) contextCreated(context);
  if (watchLongCalls) {
    if (!host->watch) host->watch = std::make_unique<LongCallWatch>();
    host->watch->enter(context);
  }
  return context;
}

void ScriptHost::returnContext(asIScriptEngine*, asIScriptContext* context, void* param) {
  ScriptHost* host = static_cast<ScriptHost*>(param);
  if (host->watch) host->watch->leave(context);
  context->Release();
}

bool ScriptHost::compile(const std::string& name, const std::string& source, std::string& error) {
  asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  if (!engine) return false;
  prepareEngine(engine);

  std::string text = source;
  Scriplet record;
  bool ok = preprocess(name, text, record, error) == 0;
  LogParseError collector(&text);
  if (ok) {
    engine->SetMessageCallback(asFUNCTION(compileMessage), &collector, asCALL_CDECL);
    asIScriptModule* module = engine->GetModule(name.c_str(), asGM_ALWAYS_CREATE);
    const NestingReport nesting = measureSourceNesting(text);
    if (!module || module->AddScriptSection("section", text.data(), text.size(), 0) < 0) {
      ok = false;
    } else if (nesting.tooDeep) {
      // Refused before the compiler sees it, as the compiler would refuse
      // a syntax error.
      char message[160];
      std::snprintf(message, sizeof message,
                    "section (%d, %d) : Error : Nested deeper than %d levels\n", nesting.row,
                    nesting.column, kMaxSourceNesting);
      collector.Write(message);
      error = "Syntax error in script\n" + collector.collected;
      ok = false;
    } else if (const char* failure = trialFailure(text)) {
      // The compiler would have ended this process on the text; or the
      // show is being stopped, and the scene is left out quietly.
      if (*failure) {
        collector.Write(failure);
        error = "Syntax error in script\n" + collector.collected;
      }
      ok = false;
    } else {
      int built = buildOnLargeStack(module);
      if (built >= 0) {
        script_guard::watchModule(engine, module, name);
        built = initGlobals(engine, module);
      }
      if (built < 0) {
        // An initialiser that made too many objects says so.
        const std::string refusal = script_guard::takeRefusal();
        if (!refusal.empty()) collector.collected = refusal + "\n";
        error = "Syntax error in script\n" + collector.collected;
        ok = false;
        // A stop requested while an initialiser ran: the scene is left out
        // quietly, the show ends as Escape ends it.
        if (watch && watch->stoppedCall()) error.clear();
      }
    }
    engine->ClearMessageCallback();
  }
  if (!ok) {
    releaseEngine(engine);
    return false;
  }

  asIScriptModule* module = engine->GetModule(name.c_str(), asGM_ONLY_IF_EXISTS);
  // The engine looks into its collector before and after every call to see
  // whether the call made garbage; where none can be made that is all it
  // would ever do there, at the price of memory the call does not need.
  if (!mayMakeGarbage(engine, module)) engine->SetEngineProperty(asEP_AUTO_GARBAGE_COLLECT, 0);
  asIScriptContext* context = createContext(engine);
  asIScriptFunction* render = module->GetFunctionByDecl(kEntryDeclarations[ENTRY_RENDER]);
  if (!render) error += "No render() function";
  if (!context || !render) {
    if (context) context->Release();
    releaseEngine(engine);
    return false;
  }

  mergeSavedExterns(name, record);
  record.engine = engine;
  record.context = context;
  record.name = name;
  for (int code = 0; code < ENTRY_COUNT; ++code) {
    asIScriptFunction* function = module->GetFunctionByDecl(kEntryDeclarations[code]);
    record.entryIds[code] = function ? function->GetId() : -1;
    record.entryFunctions[code] = function;
  }
  record.inFolder = name.find('\\') != std::string::npos;
  record.guarded = module->GetObjectTypeCount() > 0;

  touch();
  auto existing = scriplets.find(name);
  if (existing != scriplets.end()) {
    releaseScriplet(existing->second);
    existing->second = std::move(record);
  } else {
    scriplets.emplace(name, std::move(record));
  }
  callEntry(name, ENTRY_INITGLOBALS);
  return true;
}

void ScriptHost::callEntry(const std::string& name, EntryPoint code) {
  auto found = scriplets.find(name);
  if (found != scriplets.end()) callEntry(found->second, code);
}

void ScriptHost::callEntry(Scriplet& scriplet, EntryPoint code) {
  FolderScope folder(scriplet);
  if (scriplet.externsPending) applyExterns(scriplet);
  if (code < 0 || code >= ENTRY_COUNT) return;

  asIScriptFunction* function = scriplet.entryFunctions[code];
  if (!function) {
    if (scriplet.entryIds[code] < 0) return;
    function = scriplet.engine->GetFunctionById(scriplet.entryIds[code]);
  }
  asIScriptContext* context = scriplet.context;
  context->Prepare(function);
  if (code == ENTRY_PRERENDER || code == ENTRY_RENDER || code == ENTRY_POSTRENDER)
    context->SetArgFloat(0, time);
  asIScriptContext* outer = running;
  running = context;
  execute(context, scriplet.guarded);
  running = outer;

  gTraceName.clear();
  gTraceLine = -1;
  aborted = false;
}

void ScriptHost::runByName(const std::string& name, const std::string& function, bool withArgs,
                           int32_t a, int32_t b, void* object) {
  auto found = scriplets.find(name);
  if (found == scriplets.end()) return;
  Scriplet& scriplet = found->second;
  asIScriptModule* module = scriplet.engine->GetModule(name.c_str(), asGM_ONLY_IF_EXISTS);
  // By name alone: an overloaded name finds nothing.
  asIScriptFunction* target = module ? module->GetFunctionByName(function.c_str()) : nullptr;
  if (!target) return;
  if (!fitsCallback(scriplet.engine, target, withArgs)) return;
  asIScriptContext* context = createContext(scriplet.engine);
  if (!context) return;
  context->Prepare(target);
  if (withArgs) {
    context->SetArgDWord(0, asDWORD(a));
    context->SetArgDWord(1, asDWORD(b));
    context->SetArgObject(2, object);
  }
  std::string traceName = gTraceName;
  int32_t traceLine = gTraceLine;
  execute(context, scriplet.guarded);
  gTraceName = traceName;
  gTraceLine = traceLine;
  context->Release();
}

int ScriptHost::execute(asIScriptContext* context, bool guarded) {
  std::optional<script_guard::CallScope> guard;
  if (guarded) guard.emplace(context);
  if (!watchLongCalls) return context->Execute();
  if (!watch) watch = std::make_unique<LongCallWatch>();
  watch->enter(context);
  int result = context->Execute();
  watch->leave(context);
  return result;
}

int ScriptHost::initGlobals(asIScriptEngine* engine, asIScriptModule* module) {
  asIScriptContext* context = createContext(engine);
  if (!context) return module->ResetGlobalVars(nullptr);
  if (watchLongCalls) {
    if (!watch) watch = std::make_unique<LongCallWatch>();
    watch->enter(context);
  }
  int result;
  {
    script_guard::CallScope guard(context);
    result = module->ResetGlobalVars(context);
  }
  if (watchLongCalls) watch->leave(context);
  context->Release();
  return result;
}

void ScriptHost::callFunction(const std::string& scriplet, const std::string& function) {
  runByName(scriplet, function, false, 0, 0, nullptr);
}

void ScriptHost::callFunctionWithArgs(const std::string& scriplet, const std::string& function,
                                      int32_t a, int32_t b, void* object) {
  runByName(scriplet, function, true, a, b, object);
}

bool ScriptHost::unload(const std::string& name, bool keepExterns) {
  auto found = scriplets.find(name);
  if (found == scriplets.end()) return false;
  if (keepExterns) saveExterns(name, found->second);
  callEntry(name, ENTRY_DIED);
  found = scriplets.find(name);
  if (found == scriplets.end()) return true;
  touch();
  releaseScriplet(found->second);
  scriplets.erase(found);
  return true;
}

void ScriptHost::abortCurrent() {
  if (running) running->Abort();
  aborted = true;
}

void ScriptHost::shutdown() {
  touch();
  for (auto& entry : scriplets) releaseScriplet(entry.second);
  scriplets.clear();
  asThreadCleanup();
}
