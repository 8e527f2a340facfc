// Small scriplets of the render-state module run on the headless device, with
// the device's call log and its state read back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/RenderStateStack.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "scriptapi/RenderState.h"
#include "tests/d3d9_fixture.h"
#include "tests/math_script_fixture.h"

// Drops the undo stacks so that the next registration makes new ones.
inline void dropStateStacks() {
  delete gRenderStateStack;
  gRenderStateStack = nullptr;
  for (TextureStageStateStack*& stack : gTextureStageStateStacks) {
    delete stack;
    stack = nullptr;
  }
}

// A device call as the call log prints it.
inline std::string renderStateCall(int state, DWORD value) {
  return "SetRenderState(" + std::to_string(state) + ", " + std::to_string(value) + ")";
}
inline std::string stageStateCall(int stage, int state, DWORD value) {
  return "SetTextureStageState(" + std::to_string(stage) + ", " + std::to_string(state) + ", " +
         std::to_string(value) + ")";
}

class RenderStateScript : public d3d9_testing::DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    gDevice = device;
    dropStateStacks();
    script = std::make_unique<MathScript>(false);
    initRenderState(script->engine());
    // What the sequencer does before its first frame: the stacks learn the
    // device's values.
    captureAllStates();
  }
  void TearDown() override {
    script.reset();
    dropStateStacks();
    gDevice = nullptr;
    DeviceFixture::TearDown();
  }

  // Runs the statements as the body of a function; `globals` are declared
  // before it.
  void run(const std::string& body, const std::string& globals = "") {
    ASSERT_TRUE(script->build(globals + "\nvoid f() {\n" + body + "\n}\n")) << script->messages();
    script->call("void f()");
  }

  // The device calls that running the statements makes, in order.
  std::vector<std::string> calls(const std::string& body) {
    d3d9_test::clearCallLog();
    d3d9_test::setCallLogEnabled(true);
    run(body);
    d3d9_test::setCallLogEnabled(false);
    return d3d9_test::callLog();
  }

  DWORD renderState(int state) {
    DWORD value = 0xdeadbeef;
    device->GetRenderState(D3DRENDERSTATETYPE(state), &value);
    return value;
  }
  DWORD stageState(int stage, int state) {
    DWORD value = 0xdeadbeef;
    device->GetTextureStageState(DWORD(stage), D3DTEXTURESTAGESTATETYPE(state), &value);
    return value;
  }

  std::unique_ptr<MathScript> script;
};
