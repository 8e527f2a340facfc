// What native functions of the script API ask of the script host: running
// a script function by name while they work (texture fills, render to
// texture, mesh planes). The script host implements it.
#pragma once

#include <cstdint>
#include <string>

class ScriptCallbacks {
 public:
  virtual ~ScriptCallbacks() = default;
  // Runs a script function found by its name alone.
  virtual void callFunction(const std::string& scriplet, const std::string& function) = 0;
  // The same with the arguments (a, b, object), where object is a vectorN.
  virtual void callFunctionWithArgs(const std::string& scriplet, const std::string& function,
                                    int32_t a, int32_t b, void* object) = 0;
};

// The host while one exists.
extern ScriptCallbacks* gScriptCallbacks;
