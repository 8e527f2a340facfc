#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/RenderStateStack.h"
#include "platform/d3d9/D3D9.h"
#include "tests/d3d9_fixture.h"

namespace {

// A device that holds render and texture-stage states and logs every get and
// set in order.
struct Call {
  char kind;  // 'g' / 's': render state get / set; 'G' / 'S': texture stage
  int stage;
  int state;
  std::uint32_t value;
  bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Call& c) {
  return out << c.kind << "(" << c.stage << "," << c.state << "," << c.value << ")";
}

Call renderSet(int state, std::uint32_t value) { return {'s', -1, state, value}; }
Call stageSet(int stage, int state, std::uint32_t value) { return {'S', stage, state, value}; }

class RecordingDevice : public IDirect3DDevice9 {
 public:
  HRESULT GetRenderState(D3DRENDERSTATETYPE state, DWORD* value) override {
    *value = renderStates[state];
    calls.push_back({'g', -1, int(state), *value});
    return D3D_OK;
  }
  HRESULT SetRenderState(D3DRENDERSTATETYPE state, DWORD value) override {
    renderStates[state] = value;
    calls.push_back({'s', -1, int(state), value});
    return D3D_OK;
  }
  HRESULT GetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE state, DWORD* value) override {
    *value = stageStates[{int(stage), int(state)}];
    calls.push_back({'G', int(stage), int(state), *value});
    return D3D_OK;
  }
  HRESULT SetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE state, DWORD value) override {
    stageStates[{int(stage), int(state)}] = value;
    calls.push_back({'S', int(stage), int(state), value});
    return D3D_OK;
  }

  std::map<int, DWORD> renderStates;
  std::map<std::pair<int, int>, DWORD> stageStates;
  std::vector<Call> calls;
};

class StateStacks : public testing::Test {
 protected:
  void SetUp() override {
    gDevice = &device;
    // Stacks that an earlier registration made in this process go first.
    delete gRenderStateStack;
    gRenderStateStack = nullptr;
    for (auto& stack : gTextureStageStateStacks) {
      delete stack;
      stack = nullptr;
    }
  }
  void TearDown() override {
    gDevice = nullptr;
    gRenderStateStack = nullptr;
    for (auto& stack : gTextureStageStateStacks) stack = nullptr;
  }

  // Builds the five global stacks the way the render-state module does.
  void makeGlobalStacks() {
    renderStack = std::make_unique<RenderStateStack>();
    gRenderStateStack = renderStack.get();
    for (int stage = 0; stage < 4; ++stage) {
      stageStacks[stage] = std::make_unique<TextureStageStateStack>(stage);
      gTextureStageStateStacks[stage] = stageStacks[stage].get();
    }
  }

  RecordingDevice device;
  std::unique_ptr<RenderStateStack> renderStack;
  std::unique_ptr<TextureStageStateStack> stageStacks[4];
};

constexpr int kLighting = 137, kCull = 22, kAmbient = 139;
constexpr int kColorOp = 1, kColorArg1 = 2;

TEST_F(StateStacks, ConstructionStartsWithOneBottomMarkAndZeros) {
  RenderStateStack stack;
  EXPECT_EQ(stack.marks, std::vector<int>{0});
  EXPECT_TRUE(stack.changeLog.empty());
  EXPECT_GE(stack.changeLog.capacity(), 1024u);
  ASSERT_EQ(stack.current.size(), 210u);
  ASSERT_EQ(stack.previous.size(), 210u);
  EXPECT_GE(stack.previous[7].capacity(), 32u);
  TextureStageStateStack stage(2);
  EXPECT_EQ(stage.stage, 2);
  EXPECT_EQ(stage.current.size(), 33u);
  EXPECT_EQ(stage.marks, std::vector<int>{0});
  EXPECT_TRUE(device.calls.empty());
}

TEST_F(StateStacks, CaptureReadsEveryDefinedStateInAscendingOrder) {
  for (int state = 0; state < 210; ++state) device.renderStates[state] = 1000 + state;
  RenderStateStack stack;
  stack.capture();
  ASSERT_EQ(device.calls.size(), 103u);
  EXPECT_EQ(device.calls.front(), (Call{'g', -1, 7, 1007}));
  EXPECT_EQ(device.calls.back(), (Call{'g', -1, 209, 1209}));
  for (std::size_t i = 1; i < device.calls.size(); ++i)
    EXPECT_LT(device.calls[i - 1].state, device.calls[i].state);
  EXPECT_EQ(stack.current[kLighting], 1000u + kLighting);
  EXPECT_EQ(stack.current[10], 0u);  // not a render state: not asked
  EXPECT_EQ(stack.marks, std::vector<int>{0});

  device.calls.clear();
  TextureStageStateStack stage(3);
  stage.capture();
  std::vector<int> asked;
  for (const Call& c : device.calls) {
    EXPECT_EQ(c.kind, 'G');
    EXPECT_EQ(c.stage, 3);
    asked.push_back(c.state);
  }
  EXPECT_EQ(asked,
            (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 22, 23, 24, 26, 27, 28, 32}));
}

TEST_F(StateStacks, PushThenPopMakesNoDeviceCall) {
  RenderStateStack stack;
  stack.push();
  stack.pop();
  EXPECT_TRUE(device.calls.empty());
  EXPECT_EQ(stack.marks, std::vector<int>{0});
}

TEST_F(StateStacks, EverySetIsOneCallAndIsUndoneNewestFirst) {
  device.renderStates[kLighting] = 1;
  RenderStateStack stack;
  stack.capture();
  device.calls.clear();
  stack.push();
  stack.set(kLighting, 0);
  stack.set(kCull, 1);
  stack.set(kLighting, 5);
  stack.set(kCull, 1);  // the value it already holds: still logged and sent
  EXPECT_EQ(device.calls, (std::vector<Call>{renderSet(kLighting, 0), renderSet(kCull, 1),
                                             renderSet(kLighting, 5), renderSet(kCull, 1)}));
  device.calls.clear();
  stack.pop();
  EXPECT_EQ(device.calls, (std::vector<Call>{renderSet(kCull, 1), renderSet(kLighting, 0),
                                             renderSet(kCull, 0), renderSet(kLighting, 1)}));
  EXPECT_EQ(stack.current[kLighting], 1u);
  EXPECT_TRUE(stack.changeLog.empty());
  EXPECT_TRUE(stack.previous[kLighting].empty());
}

TEST_F(StateStacks, NestedMarksUndoTheirOwnChanges) {
  TextureStageStateStack stack(1);
  stack.push();
  stack.set(kColorOp, 4);
  stack.push();
  stack.set(kColorArg1, 2);
  stack.set(kColorOp, 7);
  stack.pop();
  EXPECT_EQ(device.calls, (std::vector<Call>{stageSet(1, kColorOp, 4), stageSet(1, kColorArg1, 2),
                                             stageSet(1, kColorOp, 7), stageSet(1, kColorOp, 4),
                                             stageSet(1, kColorArg1, 0)}));
  device.calls.clear();
  stack.pop();
  EXPECT_EQ(device.calls, (std::vector<Call>{stageSet(1, kColorOp, 0)}));
  EXPECT_EQ(stack.marks, std::vector<int>{0});
}

// Before a capture the stack believes 0 for every state.
TEST_F(StateStacks, UnbalancedPopConsumesTheBottomMarkAndUndoesEverything) {
  device.renderStates[kAmbient] = 0x404040;
  RenderStateStack stack;
  stack.set(kAmbient, 0xFFFFFF);
  stack.capture();
  stack.set(kCull, 3);
  device.calls.clear();
  stack.pop();
  EXPECT_EQ(device.calls, (std::vector<Call>{renderSet(kCull, 0), renderSet(kAmbient, 0)}));
  EXPECT_TRUE(stack.marks.empty());

  // With no mark left a pop still undoes whatever was logged since, and a
  // later push and pop work as before.
  stack.set(kLighting, 1);
  device.calls.clear();
  stack.pop();
  stack.pop();
  EXPECT_EQ(device.calls, (std::vector<Call>{renderSet(kLighting, 0)}));
  stack.push();
  stack.set(kLighting, 1);
  stack.pop();
  EXPECT_EQ(device.calls.back(), renderSet(kLighting, 0));
  EXPECT_TRUE(stack.marks.empty());
  EXPECT_TRUE(stack.changeLog.empty());
}

TEST_F(StateStacks, UndoRestoresTheStacksBeliefNotADirectChange) {
  device.renderStates[kCull] = 1;
  RenderStateStack stack;
  stack.capture();
  device.SetRenderState(D3DRENDERSTATETYPE(kCull), 2);  // behind the stack's back
  stack.push();
  stack.set(kCull, 3);
  stack.pop();
  EXPECT_EQ(device.renderStates[kCull], 1u);
}

TEST_F(StateStacks, AllStateFunctionsDoNothingWithoutTheStacks) {
  captureAllStates();
  pushAllStates();
  popAllStates();
  EXPECT_TRUE(device.calls.empty());
}

TEST_F(StateStacks, AllStateFunctionsRunRenderStatesFirstThenStagesInOrder) {
  makeGlobalStacks();
  captureAllStates();
  std::vector<std::pair<char, int>> order;
  for (const Call& c : device.calls)
    if (order.empty() || order.back() != std::make_pair(c.kind, c.stage))
      order.emplace_back(c.kind, c.stage);
  EXPECT_EQ(order,
            (std::vector<std::pair<char, int>>{{'g', -1}, {'G', 0}, {'G', 1}, {'G', 2}, {'G', 3}}));

  pushAllStates();
  for (int stage = 3; stage >= 0; --stage) stageStacks[stage]->set(kColorOp, 9);
  renderStack->set(kLighting, 1);
  device.calls.clear();
  popAllStates();
  EXPECT_EQ(device.calls, (std::vector<Call>{renderSet(kLighting, 0), stageSet(0, kColorOp, 0),
                                             stageSet(1, kColorOp, 0), stageSet(2, kColorOp, 0),
                                             stageSet(3, kColorOp, 0)}));
  for (auto& stack : stageStacks) EXPECT_EQ(stack->marks, std::vector<int>{0});
}

// The device defines no state beyond the tables: such ids are dropped.
TEST_F(StateStacks, StatesOutsideTheTablesAreIgnored) {
  RenderStateStack stack;
  TextureStageStateStack stage(0);
  stack.push();
  stack.set(210, 1);
  stack.set(-1, 1);
  stage.set(33, 1);
  stack.pop();
  stage.pop();
  EXPECT_TRUE(device.calls.empty());
  EXPECT_TRUE(stack.changeLog.empty());
  EXPECT_TRUE(stage.changeLog.empty());
}

}  // namespace

namespace {

// The stacks over the engine's own device: a capture reads back what was set
// on it, and an undo leaves the device as it was captured.
class StateStacksOnDevice : public d3d9_testing::DeviceFixture {
 protected:
  void TearDown() override {
    gDevice = nullptr;
    DeviceFixture::TearDown();
  }
};

TEST_F(StateStacksOnDevice, UndoRestoresWhatTheCaptureRead) {
  gDevice = device;
  device->SetRenderState(D3DRENDERSTATETYPE(kCull), 1);
  device->SetRenderState(D3DRENDERSTATETYPE(kAmbient), 0x00203040);
  device->SetTextureStageState(2, D3DTEXTURESTAGESTATETYPE(kColorOp), 3);
  RenderStateStack renderStates;
  TextureStageStateStack stage(2);
  renderStates.capture();
  stage.capture();
  EXPECT_EQ(renderStates.current[kCull], 1u);
  EXPECT_EQ(renderStates.current[kAmbient], 0x00203040u);
  EXPECT_EQ(stage.current[kColorOp], 3u);

  renderStates.push();
  stage.push();
  renderStates.set(kCull, 3);
  renderStates.set(kAmbient, 0xFFFFFFFF);
  stage.set(kColorOp, 7);
  renderStates.pop();
  stage.pop();
  DWORD value = 0;
  device->GetRenderState(D3DRENDERSTATETYPE(kCull), &value);
  EXPECT_EQ(value, 1u);
  device->GetRenderState(D3DRENDERSTATETYPE(kAmbient), &value);
  EXPECT_EQ(value, 0x00203040u);
  device->GetTextureStageState(2, D3DTEXTURESTAGESTATETYPE(kColorOp), &value);
  EXPECT_EQ(value, 3u);
}

}  // namespace

namespace {

// Every state that a capture asks for is one the engine's device stores.
TEST_F(StateStacksOnDevice, CaptureReadsEveryStateBackFromTheDevice) {
  gDevice = device;
  for (int state = 0; state < RenderStateStack::kStates; ++state)
    device->SetRenderState(D3DRENDERSTATETYPE(state), DWORD(1000 + state));
  for (int state = 0; state < TextureStageStateStack::kStates; ++state)
    device->SetTextureStageState(3, D3DTEXTURESTAGESTATETYPE(state), DWORD(2000 + state));
  RenderStateStack renderStates;
  TextureStageStateStack stage(3);
  renderStates.capture();
  stage.capture();
  int captured = 0;
  for (int state = 0; state < RenderStateStack::kStates; ++state)
    if (renderStates.current[state] != 0) {
      EXPECT_EQ(renderStates.current[state], DWORD(1000 + state)) << state;
      ++captured;
    }
  EXPECT_EQ(captured, 103);
  captured = 0;
  for (int state = 0; state < TextureStageStateStack::kStates; ++state)
    if (stage.current[state] != 0) {
      EXPECT_EQ(stage.current[state], DWORD(2000 + state)) << state;
      ++captured;
    }
  EXPECT_EQ(captured, 18);
}

}  // namespace
