#include "runtime/ScriptGuard.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "core/Log.h"

namespace script_guard {

namespace {

// Where an engine keeps its state here (engine user data).
constexpr asPWORD kUserDataKey = 0x53475244;  // "SGRD"
// The library ends the process at a count of a million; past this many a
// refusal has not stopped the scriplet in time (thousands of objects made in
// one statement), and the show ends with a message of its own instead.
constexpr unsigned kLastResort = 999000;
// The garbage collector's full cycle runs once the engine's collected
// objects have grown to twice what the last cycle left and by this many.
constexpr asUINT kCollectSlack = 1024;

}  // namespace

struct EngineState {
  struct Class {
    asUINT size;  // as the library allocates it
    asITypeInfo* type;
    int baseline;  // references the library itself holds
  };
  std::string scriplet;
  std::vector<Class> classes;
  asUINT smallest = UINT_MAX;
  asUINT largest = 0;
  std::set<std::string> reported;
  bool silenced = false;
  asUINT collectedAfterCycle = 0;
  int calls = 0;  // calls of this engine in progress
};

namespace {

struct Frame {
  asIScriptContext* context;
  EngineState* state;
};

// The calls in progress on this thread, innermost last, and the state of
// the innermost one (read by every allocation).
thread_local std::vector<Frame> tFrames;
thread_local EngineState* tActive = nullptr;
thread_local bool tRefused = false;
thread_local std::string tRefusal;

void releaseState(asIScriptEngine* engine) {
  delete static_cast<EngineState*>(engine->GetUserData(kUserDataKey));
}

void report(EngineState* state, const std::string& key, const std::string& text) {
  if (!state) {
    logMessage(text.c_str());
    return;
  }
  if (state->silenced || state->reported.count(key)) return;
  if (state->reported.size() >= kMaxReports) {
    state->silenced = true;
    logMessage((state->scriplet + ": further script faults are not reported").c_str());
    return;
  }
  state->reported.insert(key);
  logMessage(text.c_str());
}

// The references to `type` now: the count it answers to one more, less one.
int referencesTo(asITypeInfo* type) {
  const int count = type->AddRef() - 1;
  type->Release();
  return count;
}

void refuse(EngineState& state, asITypeInfo* type) {
  // Every call of the chain: the innermost one stops at its next statement,
  // the ones waiting in natives as soon as those return.
  for (const Frame& frame : tFrames) frame.context->Abort();
  if (tRefused) return;
  tRefused = true;
  char text[320];
  std::snprintf(text, sizeof text,
                "%s: more than %u objects of script class '%s' at once, the call is stopped",
                state.scriplet.c_str(), kMaxObjectsPerClass, type->GetName());
  tRefusal = text;
  report(&state, std::string("objects ") + type->GetName(), text);
}

void checkAllocation(EngineState& state, size_t size) {
  for (const EngineState::Class& c : state.classes) {
    if (c.size != size) continue;
    const int objects = referencesTo(c.type) - c.baseline;
    if (objects + c.baseline >= int(kLastResort)) {
      char text[320];
      std::snprintf(text, sizeof text,
                    "Script error in scene (%s): too many objects of script class '%s' - Abort",
                    state.scriplet.c_str(), c.type->GetName());
      fatalError(text);
    }
    if (objects >= int(kMaxObjectsPerClass)) refuse(state, c.type);
  }
}

void* guardedAlloc(size_t size) {
  EngineState* state = tActive;
  if (state && size >= state->smallest && size <= state->largest) checkAllocation(*state, size);
  return std::malloc(size);
}

void guardedFree(void* memory) { std::free(memory); }

void collectIfGrown(asIScriptEngine* engine, EngineState& state) {
  asUINT collected = 0;
  engine->GetGCStatistics(&collected);
  if (collected < 2 * state.collectedAfterCycle + kCollectSlack) return;
  engine->GarbageCollect(asGC_FULL_CYCLE);
  engine->GetGCStatistics(&collected);
  state.collectedAfterCycle = collected;
}

}  // namespace

void install() {
  static const bool installed = [] {
    asSetGlobalMemoryFunctions(guardedAlloc, guardedFree);
    return true;
  }();
  (void)installed;
}

void watchModule(asIScriptEngine* engine, asIScriptModule* module, const std::string& scriplet) {
  install();
  EngineState* state = static_cast<EngineState*>(engine->GetUserData(kUserDataKey));
  if (!state) {
    state = new EngineState;
    engine->SetUserData(state, kUserDataKey);
    engine->SetEngineUserDataCleanupCallback(releaseState, kUserDataKey);
  }
  state->scriplet = scriplet;
  state->classes.clear();
  for (asUINT i = 0; i < module->GetObjectTypeCount(); ++i) {
    asITypeInfo* type = module->GetObjectTypeByIndex(i);
    if (!type || !(type->GetFlags() & asOBJ_SCRIPT_OBJECT)) continue;
    // The library rounds an object's size up to four bytes.
    const asUINT size = (type->GetSize() + 3) & ~asUINT(3);
    state->classes.push_back({size, type, referencesTo(type)});
    state->smallest = std::min(state->smallest, size);
    state->largest = std::max(state->largest, size);
  }
}

CallScope::CallScope(asIScriptContext* context)
    : context(context),
      engine(context->GetEngine()),
      state(static_cast<EngineState*>(engine->GetUserData(kUserDataKey))) {
  if (tFrames.empty()) tRefused = false;
  tFrames.push_back({context, state});
  tActive = state;
  if (state) ++state->calls;
}

CallScope::~CallScope() {
  tFrames.pop_back();
  tActive = tFrames.empty() ? nullptr : tFrames.back().state;
  if (state && --state->calls == 0) collectIfGrown(engine, *state);
}

void untieBeforeRelease(asIScriptEngine* engine) {
  asUINT collected = 0;
  engine->GetGCStatistics(&collected);
  if (collected <= kUntieAbove) return;
  void* object = nullptr;
  asITypeInfo* type = nullptr;
  // A release below frees no collected object (the collector holds one
  // reference to each), so the indices stay.
  for (asUINT i = 0; engine->GetObjectInGC(i, nullptr, &object, &type) >= 0; ++i) {
    if (!object || !type || !(type->GetFlags() & asOBJ_SCRIPT_OBJECT)) continue;
    asIScriptObject* scriptObject = static_cast<asIScriptObject*>(object);
    for (asUINT p = 0; p < scriptObject->GetPropertyCount(); ++p) {
      const int typeId = scriptObject->GetPropertyTypeId(p);
      if (!(typeId & asTYPEID_OBJHANDLE)) continue;
      void** handle = static_cast<void**>(scriptObject->GetAddressOfProperty(p));
      if (!handle || !*handle) continue;
      void* target = *handle;
      *handle = nullptr;
      engine->ReleaseScriptObject(target, engine->GetTypeInfoById(typeId));
    }
  }
}

std::string takeRefusal() {
  std::string refusal;
  refusal.swap(tRefusal);
  return refusal;
}

}  // namespace script_guard
