#include "core/RenderStateStack.h"

#include "core/DeviceGlobal.h"
#include "platform/d3d9/D3D9.h"

RenderStateStack* gRenderStateStack = nullptr;
TextureStageStateStack* gTextureStageStateStacks[4] = {nullptr, nullptr, nullptr, nullptr};

namespace {

// Every render state the device defines, in ascending order.
constexpr int kRenderStates[] = {
    7,   8,   9,   14,  15,  16,  19,  20,  22,  23,  24,  25,  26,  27,  28,  29,  34,  35,
    36,  37,  38,  48,  52,  53,  54,  55,  56,  57,  58,  59,  60,  128, 129, 130, 131, 132,
    133, 134, 135, 136, 137, 139, 140, 141, 142, 143, 145, 146, 147, 148, 151, 152, 154, 155,
    156, 157, 158, 159, 160, 161, 162, 163, 165, 166, 167, 168, 170, 171, 172, 173, 174, 175,
    176, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191, 192, 193, 194,
    195, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209};
static_assert(sizeof kRenderStates / sizeof kRenderStates[0] == 103);

// Every texture-stage state the device defines, in ascending order.
constexpr int kTextureStageStates[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,
                                       10, 11, 22, 23, 24, 26, 27, 28, 32};
static_assert(sizeof kTextureStageStates / sizeof kTextureStageStates[0] == 18);

constexpr std::size_t kReservedChanges = 1024;
constexpr std::size_t kReservedValuesPerState = 32;

template <class Stack>
void initialise(Stack& stack) {
  stack.changeLog.reserve(kReservedChanges);
  stack.marks.push_back(0);
  stack.current.assign(Stack::kStates, 0);
  stack.previous.resize(Stack::kStates);
  for (auto& values : stack.previous) values.reserve(kReservedValuesPerState);
}

void mark(std::vector<int>& changeLog, std::vector<int>& marks) {
  marks.push_back(int(changeLog.size()));
}

// Whether the stack's tables hold the state. The device defines no state
// beyond them, so a change of any other id is dropped.
template <class Stack>
bool tracked(int state) {
  return state >= 0 && state < Stack::kStates;
}

template <class Stack>
void logChange(Stack& stack, int state, std::uint32_t value) {
  stack.previous[state].push_back(stack.current[state]);
  stack.current[state] = value;
  stack.changeLog.push_back(state);
}

// Undoes back to the newest mark, sending each restored value through
// `send(state, value)`, newest change first.
template <class Stack, class Send>
void undo(Stack& stack, Send send) {
  std::size_t keep = 0;
  if (!stack.marks.empty()) {
    keep = std::size_t(stack.marks.back());
    stack.marks.pop_back();
  }
  while (stack.changeLog.size() > keep) {
    const int state = stack.changeLog.back();
    stack.changeLog.pop_back();
    const std::uint32_t value = stack.previous[state].back();
    stack.previous[state].pop_back();
    stack.current[state] = value;
    send(state, value);
  }
}

}  // namespace

RenderStateStack::RenderStateStack() { initialise(*this); }

void RenderStateStack::capture() {
  if (!gDevice) return;
  for (int state : kRenderStates) {
    DWORD value = current[state];
    // A state the device does not report keeps the stack's belief.
    if (SUCCEEDED(gDevice->GetRenderState(D3DRENDERSTATETYPE(state), &value)))
      current[state] = value;
  }
}

void RenderStateStack::set(int state, std::uint32_t value) {
  if (!tracked<RenderStateStack>(state)) return;
  logChange(*this, state, value);
  if (gDevice) gDevice->SetRenderState(D3DRENDERSTATETYPE(state), value);
}

void RenderStateStack::push() { mark(changeLog, marks); }

void RenderStateStack::pop() {
  undo(*this, [](int state, std::uint32_t value) {
    if (gDevice) gDevice->SetRenderState(D3DRENDERSTATETYPE(state), value);
  });
}

TextureStageStateStack::TextureStageStateStack(int stage) : stage(stage) { initialise(*this); }

void TextureStageStateStack::capture() {
  if (!gDevice) return;
  for (int state : kTextureStageStates) {
    DWORD value = current[state];
    if (SUCCEEDED(
            gDevice->GetTextureStageState(DWORD(stage), D3DTEXTURESTAGESTATETYPE(state), &value)))
      current[state] = value;
  }
}

void TextureStageStateStack::set(int state, std::uint32_t value) {
  if (!tracked<TextureStageStateStack>(state)) return;
  logChange(*this, state, value);
  if (gDevice) gDevice->SetTextureStageState(DWORD(stage), D3DTEXTURESTAGESTATETYPE(state), value);
}

// The same mark as the render-state stack's: only the log and the marks.
void TextureStageStateStack::push() { mark(changeLog, marks); }

void TextureStageStateStack::pop() {
  undo(*this, [this](int state, std::uint32_t value) {
    if (gDevice)
      gDevice->SetTextureStageState(DWORD(stage), D3DTEXTURESTAGESTATETYPE(state), value);
  });
}

void captureAllStates() {
  if (!gRenderStateStack) return;
  gRenderStateStack->capture();
  for (TextureStageStateStack* stack : gTextureStageStateStacks)
    if (stack) stack->capture();
}

void pushAllStates() {
  if (!gRenderStateStack) return;
  gRenderStateStack->push();
  for (TextureStageStateStack* stack : gTextureStageStateStacks)
    if (stack) stack->push();
}

void popAllStates() {
  if (!gRenderStateStack) return;
  gRenderStateStack->pop();
  for (TextureStageStateStack* stack : gTextureStageStateStacks)
    if (stack) stack->pop();
}
