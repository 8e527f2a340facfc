// Hooks that let tests play the user of a dialog without a display: the
// dialog is then drawn offscreen, and the steps below are fed to it as
// mouse and keyboard input, one after another. Not used by the engine
// itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/Dialog.h"

namespace dialog_test {

// Keys beyond Enter and Escape.
enum class Key { Tab, Space, Up, Down, Left, Right };

struct Step {
  enum class Kind {
    Click,      // a left click in the middle of control `control`
    PickEntry,  // opens combo box `control` and clicks its entry `index`
    Type,       // clicks into combo box `control`'s edit field, clears it, types `text`
    Enter,      // presses Enter
    Escape,     // presses Escape
    Key,        // presses and releases `key`, with Shift held when `shift` is set
    Close,      // closes the dialog's window
    Inspect,    // calls `inspect` with the dialog while it runs
  };
  Kind kind;
  int control = 0;
  int index = 0;
  std::string text;
  std::function<void(HWND dialog)> inspect;
  Key key = Key::Tab;
  bool shift = false;
};

Step click(int control);
Step pickEntry(int control, int index);
Step type(int control, std::string text);
Step enter();
Step escape();
Step press(Key key, bool shift = false);
Step closeWindow();
Step inspect(std::function<void(HWND dialog)> check);

// The user of the next dialogs; an empty list removes it. When the steps
// run out while the dialog still runs, it is closed.
void setUser(std::vector<Step> steps);

// The last frame the dialog drew (rows top-down, RGBA with R in the lowest
// byte); empty when the dialog drew nothing.
struct Frame {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
};
const Frame& lastFrame();

// A control's rectangle in the dialog's client area, in pixels.
RECT controlRect(HWND dialog, int id);
// The id of the control with the keyboard focus; 0 when none has it.
int focusedControl(HWND dialog);

void reset();  // no user, no frame

}  // namespace dialog_test
