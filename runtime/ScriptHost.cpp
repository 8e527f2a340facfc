#include "runtime/ScriptHost.h"

ScriptHost* gScriptHost = nullptr;
