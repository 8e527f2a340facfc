// A script engine with the math and utility modules registered, for tests
// that run small scriplets and read back what they return.
#pragma once

#include <angelscript.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/d3dx/D3DXMath.h"
#include "runtime/ScriptString.h"
#include "scriptapi/D3DXVector3.h"
#include "scriptapi/ScriptUtils.h"

using namespace AngelScript;

// Collects what goes to logMessage while it lives.
class LogCapture {
 public:
  LogCapture() {
    lines().clear();
    previous_ = gLogHook;
    gLogHook = [](const char* text) { lines().push_back(text); };
  }
  ~LogCapture() { gLogHook = previous_; }
  static std::vector<std::string>& lines() {
    static std::vector<std::string> collected;
    return collected;
  }

 private:
  MessageHook previous_;
};

class MathScript {
 public:
  // withUtilities: also the string type and the utility functions.
  explicit MathScript(bool withUtilities = true) {
    engine_ = asCreateScriptEngine(ANGELSCRIPT_VERSION);
    engine_->SetEngineProperty(asEP_ALLOW_UNSAFE_REFERENCES, 1);
    engine_->SetMessageCallback(asMETHOD(MathScript, onMessage), this, asCALL_THISCALL);
    if (withUtilities) initString(engine_);
    initD3DXVector3(engine_);
    if (withUtilities) initTQScriptUtils(engine_);
    context_ = engine_->CreateContext();
  }
  ~MathScript() {
    context_->Release();
    engine_->ShutDownAndRelease();
  }
  MathScript(const MathScript&) = delete;
  MathScript& operator=(const MathScript&) = delete;

  asIScriptEngine* engine() { return engine_; }

  // Builds source as the module; false (with messages()) on errors.
  bool build(const std::string& source) {
    asIScriptModule* module = engine_->GetModule("test", asGM_ALWAYS_CREATE);
    module->AddScriptSection("test", source.data(), source.size());
    return module->Build() >= 0;
  }

  // Prepares the function with this declaration; the caller may set
  // arguments on context() before run().
  bool prepare(const std::string& declaration) {
    asIScriptFunction* f = engine_->GetModule("test")->GetFunctionByDecl(declaration.c_str());
    if (!f) {
      ADD_FAILURE() << "no function " << declaration << "\n" << messages_;
      return false;
    }
    return context_->Prepare(f) >= 0;
  }
  asIScriptContext* context() { return context_; }
  bool run() {
    int r = context_->Execute();
    if (r != asEXECUTION_FINISHED) {
      ADD_FAILURE() << "execution ended with " << r
                    << (r == asEXECUTION_EXCEPTION ? context_->GetExceptionString() : "");
      return false;
    }
    return true;
  }

  void call(const std::string& declaration) {
    if (prepare(declaration)) run();
  }
  float callFloat(const std::string& declaration) {
    return prepare(declaration) && run() ? context_->GetReturnFloat() : -12345.0f;
  }
  int callInt(const std::string& declaration) {
    return prepare(declaration) && run() ? (int)context_->GetReturnDWord() : -12345;
  }
  template <class T>
  T callObject(const std::string& declaration) {
    T out{};
    if (prepare(declaration) && run()) out = *static_cast<T*>(context_->GetReturnObject());
    return out;
  }

  const std::string& messages() const { return messages_; }

 private:
  void onMessage(const asSMessageInfo* info) {
    messages_ += std::to_string(info->row) + ": " + info->message + "\n";
  }

  asIScriptEngine* engine_;
  asIScriptContext* context_;
  std::string messages_;
};
