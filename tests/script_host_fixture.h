// Shared helpers for the script host tests: a host, compiles of small
// scriplets and access to their globals.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Log.h"
#include "runtime/ScriptHost.h"

// Every text given to logMessage while a test runs.
inline std::vector<std::string>& loggedMessages() {
  static std::vector<std::string> messages;
  return messages;
}

class ScriptHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loggedMessages().clear();
    gLogHook = [](const char* text) { loggedMessages().push_back(text); };
  }
  void TearDown() override {
    gLogHook = nullptr;
    ScriptHost::extraRegistrations = nullptr;
  }

  bool compile(const std::string& source, const std::string& name = "scene") {
    error.clear();
    return host.compile(name, source, error);
  }

  // The address of a script global of a loaded scriplet, or null.
  template <typename T>
  T* global(const std::string& variable, const std::string& name = "scene") {
    auto found = host.scriplets.find(name);
    if (found == host.scriplets.end()) return nullptr;
    asIScriptModule* module = found->second.engine->GetModule(name.c_str());
    int index = module->GetGlobalVarIndexByName(variable.c_str());
    if (index < 0) return nullptr;
    return static_cast<T*>(module->GetAddressOfGlobalVar(asUINT(index)));
  }

  ScriptHost host;
  std::string error;
};
