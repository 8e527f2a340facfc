// Shared between the dialog manager (Dialog.cpp) and the dialog's view
// (DialogView.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/win32/Dialog.h"
#include "platform/win32/DialogTestSeams.h"

namespace dialog_internal {

enum class Kind { Frame, ComboBox, PushButton, CheckBox, RadioButton, Other };

struct Control {
  HWND window = nullptr;
  int id = 0;
  Kind kind = Kind::Other;
  std::string text;
  DWORD style = 0;
  RECT rect{};  // in the dialog's client area, pixels
  bool isDefault = false;
  bool checked = false;
  // Combo boxes: the list, its selection (-1: none) and the edit field.
  std::vector<std::string> items;
  int selection = -1;
  std::string editText;
  // Painted pixels (client size, RGBA); `changed` tells the view to show
  // them anew.
  std::vector<uint32_t> pixels;
  bool changed = false;
  bool invalid = false;
  bool erase = false;

  int width() const { return rect.right - rect.left; }
  int height() const { return rect.bottom - rect.top; }
};

struct Dialog {
  HWND window = nullptr;
  DLGPROC proc = nullptr;
  std::string caption;
  std::string fontName;
  int pointSize = 0;
  int width = 0, height = 0;  // client area, pixels
  bool centred = false;       // on the screen; else at the window's x and y
  std::vector<Control> controls;
  // The control with the keyboard focus (-1: none, as the dialog opens);
  // `focusMoved` tells the view that a key moved it.
  int focus = -1;
  bool focusMoved = false;
  bool ended = false;
  INT_PTR result = 0;
  bool needsPaint = true;

  Control* find(int id);
  Control* focused();
  // The push button that Enter presses: the focused one, else the
  // template's default.
  Control* defaultButton();
};

// What the user did, as the dialog manager turns it into notifications.
void clickButton(Dialog& dialog, Control& control);
void pickEntry(Dialog& dialog, Control& control, int index);
void editChanged(Dialog& dialog, Control& control, const std::string& text);
void pressEnter(Dialog& dialog);
void pressEscape(Dialog& dialog);
void closeRequest(Dialog& dialog);
// The keyboard's way through the dialog: Tab and Shift+Tab go from tab stop
// to tab stop in template order; the arrow keys move within a radio group
// (checking the button they reach) and through a combo box's list (up and
// down); Space presses the focused button or flips the focused check box.
void pressTab(Dialog& dialog, bool backwards);
void pressArrow(Dialog& dialog, int step, bool vertical);
void pressSpace(Dialog& dialog);
// A click or an edit gives the control the focus.
void focusControl(Dialog& dialog, Control& control);

// Draws the dialog and takes the user's input, one frame per call.
class View {
 public:
  virtual ~View() = default;
  virtual void frame(Dialog& dialog) = 0;
};
// On the display when there is one, otherwise offscreen. Null (with the
// reason) when it cannot be made.
std::unique_ptr<View> makeView(Dialog& dialog, bool onDisplay, std::string& error);

// The scripted user of the tests (empty: none) and the frame they see.
std::vector<dialog_test::Step>& testUser();
dialog_test::Frame& testFrame();

}  // namespace dialog_internal
