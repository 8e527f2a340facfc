#include "runtime/ScriptDebug.h"

#include <utility>
#include "core/Log.h"

#include "runtime/ScriptHost.h"
#include "scriptapi/Binding.h"

std::string gTraceName;
int32_t gTraceLine = -1;

void testDebug(int condition, std::string message, std::string scriplet, int line) {
  if (condition != 0) return;
  logMessage(message.c_str());
  if (gScriptHost) gScriptHost->abortCurrent();
}

void testDebugBool(bool condition, std::string message, std::string scriplet, int line) {
  testDebug(condition ? 1 : 0, std::move(message), std::move(scriplet), line);
}

void traceScriptInit(std::string name) { gTraceName = name; }

void traceScript(int line) { gTraceLine = line; }

void traceScriptEnd() {
  gTraceName.clear();
  gTraceLine = -1;
}

int registerDebugFunctions(asIScriptEngine* engine) {
  RegistrationSum r;
  r += engine->RegisterGlobalFunction("void testDebug(int,string,string,int)",
                                      asFUNCTION(testDebug), asCALL_CDECL);
  // Assertion conditions are mostly comparisons, and a bool no longer
  // converts to int by itself: the same function takes them as bool.
  r += engine->RegisterGlobalFunction("void testDebug(bool,string,string,int)",
                                      asFUNCTION(testDebugBool), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void traceScriptInit(string)", asFUNCTION(traceScriptInit),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void traceScript(int)", asFUNCTION(traceScript),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void traceScriptEnd()", asFUNCTION(traceScriptEnd),
                                      asCALL_CDECL);
  return r.value();
}
