#include "core/ScriptCallbacks.h"

ScriptCallbacks* gScriptCallbacks = nullptr;
