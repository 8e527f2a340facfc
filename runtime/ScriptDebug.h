// The host's own script functions: the assertion that the preprocessor's
// rewritten assertion lines call, and the trace functions that record which
// scriplet and source line are running.
#pragma once

#include <angelscript.h>

#include <cstdint>
#include <string>

using namespace AngelScript;

// The scriplet whose traced block is running ("" when none) and the source
// line last recorded (-1 when none). Shared by all scriplets.
extern std::string gTraceName;
extern int32_t gTraceLine;

// void testDebug(int,string,string,int): when the condition is 0, logs the
// message and aborts the entry call that the host is running.
void testDebug(int condition, std::string message, std::string scriplet, int line);
// void testDebug(bool,string,string,int): the same for a bool condition.
void testDebugBool(bool condition, std::string message, std::string scriplet, int line);
// void traceScriptInit(string)
void traceScriptInit(std::string name);
// void traceScript(int)
void traceScript(int line);
// void traceScriptEnd()
void traceScriptEnd();

// Registers the functions above, in this order. Returns the sum of the
// error codes (0 when all succeeded); the host does not act on it.
int registerDebugFunctions(asIScriptEngine* engine);
