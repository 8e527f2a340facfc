// Undo stacks of device states: changes made through a stack can be taken
// back, newest first, down to a mark. A stack keeps its own table of the
// value it believes each state holds (filled from the device by a capture)
// and logs every change with the value that the change replaced.
#pragma once

#include <cstdint>
#include <vector>

// Render states (ids 0 to 209) of gDevice.
class RenderStateStack {
 public:
  static constexpr int kStates = 210;

  RenderStateStack();

  // Reads every render state from the device into `current`.
  void capture();
  // Logs the change and sends it to the device, whatever the old value was.
  // Ids outside the table are ignored.
  void set(int state, std::uint32_t value);
  // Marks the present end of the change log.
  void push();
  // Undoes the changes logged since the newest mark and removes that mark.
  // With no mark left, undoes every change still logged.
  void pop();

  std::vector<int> changeLog;  // state ids changed by set, oldest first
  std::vector<int> marks;      // change log lengths at each mark; starts with one mark 0
  std::vector<std::uint32_t> current;
  std::vector<std::vector<std::uint32_t>> previous;  // per state: the values set replaced
};

// Texture-stage states (ids 0 to 32) of one texture stage of gDevice.
class TextureStageStateStack {
 public:
  static constexpr int kStates = 33;

  explicit TextureStageStateStack(int stage);

  void capture();
  void set(int state, std::uint32_t value);
  void push();
  void pop();

  std::vector<int> changeLog;
  std::vector<int> marks;
  std::vector<std::uint32_t> current;
  std::vector<std::vector<std::uint32_t>> previous;
  int stage;
};

// Made by the render-state module's first registration; null before.
extern RenderStateStack* gRenderStateStack;
// Stacks of texture stages 0 to 3, made together with gRenderStateStack.
extern TextureStageStateStack* gTextureStageStateStacks[4];

// Capture, mark or undo the render-state stack, then the texture-stage
// stacks of stages 0 to 3. Nothing happens while gRenderStateStack is null.
void captureAllStates();
void pushAllStates();
void popAllStates();
