// The dialog manager: builds a dialog from its template, keeps its controls'
// state, sends the dialog procedure its messages and runs the modal loop.
#include "platform/win32/Dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/win32/DialogInternal.h"

using namespace dialog_internal;

namespace {

// Dialog units to pixels for the dialog font (8-point sans serif at 96
// dots per inch: 6 by 13 pixels of average character cell).
int unitsToX(int units) { return units * 6 / 4; }
int unitsToY(int units) { return units * 13 / 8; }

// Every live dialog window and control window, to their records.
std::map<HWND, Dialog*> gDialogs;
std::map<HWND, std::pair<Dialog*, Control*>> gControls;

Dialog* dialogOf(HWND window) {
  auto found = gDialogs.find(window);
  return found == gDialogs.end() ? nullptr : found->second;
}
Control* controlOf(HWND window) {
  auto found = gControls.find(window);
  return found == gControls.end() ? nullptr : found->second.second;
}
// The control with this id in the dialog that is this window.
Control* dialogItem(HWND window, int id) {
  Dialog* dialog = dialogOf(window);
  return dialog ? dialog->find(id) : nullptr;
}

Kind kindOf(LPCSTR className, DWORD style) {
  if (!className) return Kind::Other;
  if (strcasecmp(className, "Static") == 0) return Kind::Frame;
  if (strcasecmp(className, "ComboBox") == 0) return Kind::ComboBox;
  if (strcasecmp(className, "Button") != 0) return Kind::Other;
  switch (style & BS_TYPEMASK) {
    case BS_PUSHBUTTON:
    case BS_DEFPUSHBUTTON:
      return Kind::PushButton;
    case BS_AUTOCHECKBOX:
      return Kind::CheckBox;
    case BS_AUTORADIOBUTTON:
      return Kind::RadioButton;
    default:
      return Kind::Other;
  }
}

BOOL send(Dialog& dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  return dialog.proc(dialog.window, message, wParam, lParam);
}

void notify(Dialog& dialog, Control& control, WORD code) {
  send(dialog, WM_COMMAND, MAKEWPARAM(control.id, code), LPARAM(control.window));
}

// The radio buttons that go together: from the nearest WS_GROUP at or
// before `index` up to the next one.
std::vector<size_t> radioGroup(Dialog& dialog, size_t index) {
  size_t first = index;
  while (first > 0 && !(dialog.controls[first].style & WS_GROUP)) --first;
  std::vector<size_t> group;
  for (size_t i = first; i < dialog.controls.size(); ++i) {
    if (i > first && (dialog.controls[i].style & WS_GROUP)) break;
    if (dialog.controls[i].kind == Kind::RadioButton) group.push_back(i);
  }
  return group;
}

void checkInGroup(Dialog& dialog, size_t index) {
  for (size_t i : radioGroup(dialog, index)) dialog.controls[i].checked = i == index;
}

bool isTabStop(const Control& control) {
  return (control.style & WS_TABSTOP) && control.window->visible && control.kind != Kind::Frame &&
         control.kind != Kind::Other;
}

void moveFocus(Dialog& dialog, size_t index) {
  dialog.focus = int(index);
  dialog.focusMoved = true;
}

void setSelection(Control& control, int index) {
  control.selection = index >= 0 && size_t(index) < control.items.size() ? index : -1;
  control.editText = control.selection >= 0 ? control.items[size_t(control.selection)] : "";
}

void destroyDialog(Dialog& dialog) {
  for (Control& control : dialog.controls) {
    gControls.erase(control.window);
    delete control.window;
  }
  gDialogs.erase(dialog.window);
  DestroyWindow(dialog.window);
}

}  // namespace

namespace dialog_internal {

Control* Dialog::find(int id) {
  for (Control& control : controls)
    if (control.id == id) return &control;
  return nullptr;
}

Control* Dialog::focused() {
  return focus >= 0 && size_t(focus) < controls.size() ? &controls[size_t(focus)] : nullptr;
}

Control* Dialog::defaultButton() {
  Control* current = focused();
  if (current && current->kind == Kind::PushButton) return current;
  for (Control& control : controls)
    if (control.isDefault) return &control;
  return nullptr;
}

void focusControl(Dialog& dialog, Control& control) {
  dialog.focus = int(&control - dialog.controls.data());
}

void pressTab(Dialog& dialog, bool backwards) {
  size_t count = dialog.controls.size();
  if (count == 0) return;
  // From no focus, Tab reaches the first tab stop and Shift+Tab the last.
  size_t at = dialog.focus >= 0 ? size_t(dialog.focus) : (backwards ? 0 : count - 1);
  for (size_t step = 1; step <= count; ++step) {
    size_t next = backwards ? (at + count - step) % count : (at + step) % count;
    if (isTabStop(dialog.controls[next])) {
      moveFocus(dialog, next);
      return;
    }
  }
}

void pressArrow(Dialog& dialog, int step, bool vertical) {
  Control* control = dialog.focused();
  if (!control) return;
  if (control->kind == Kind::RadioButton) {
    std::vector<size_t> group = radioGroup(dialog, size_t(dialog.focus));
    size_t n = group.size();
    size_t here =
        size_t(std::find(group.begin(), group.end(), size_t(dialog.focus)) - group.begin());
    size_t next = group[(here + (step > 0 ? 1 : n - 1)) % n];
    moveFocus(dialog, next);
    clickButton(dialog, dialog.controls[next]);
    return;
  }
  if (control->kind == Kind::ComboBox && vertical && !control->items.empty()) {
    // With no entry selected (a typed text), either key selects the first.
    int last = int(control->items.size()) - 1;
    int index =
        control->selection < 0 ? 0 : std::clamp(control->selection + (step > 0 ? 1 : -1), 0, last);
    dialog.focusMoved = true;
    if (index != control->selection) pickEntry(dialog, *control, index);
  }
}

void pressSpace(Dialog& dialog) {
  Control* control = dialog.focused();
  if (control && (control->kind == Kind::PushButton || control->kind == Kind::CheckBox ||
                  control->kind == Kind::RadioButton))
    clickButton(dialog, *control);
}

void clickButton(Dialog& dialog, Control& control) {
  focusControl(dialog, control);
  if (control.kind == Kind::CheckBox) control.checked = !control.checked;
  if (control.kind == Kind::RadioButton)
    checkInGroup(dialog, size_t(&control - dialog.controls.data()));
  notify(dialog, control, BN_CLICKED);
}

void pickEntry(Dialog& dialog, Control& control, int index) {
  focusControl(dialog, control);
  setSelection(control, index);
  notify(dialog, control, CBN_SELCHANGE);
}

// Typing into a drop-down combo box leaves no entry selected.
void editChanged(Dialog& dialog, Control& control, const std::string& text) {
  focusControl(dialog, control);
  control.editText = text;
  control.selection = -1;
  notify(dialog, control, CBN_EDITCHANGE);
}

void pressEnter(Dialog& dialog) {
  if (Control* button = dialog.defaultButton()) notify(dialog, *button, BN_CLICKED);
}

void pressEscape(Dialog& dialog) {
  Control* cancel = dialog.find(IDCANCEL);
  send(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
       LPARAM(cancel ? cancel->window : nullptr));
}

// A procedure that does not handle WM_CLOSE gets the cancel command.
void closeRequest(Dialog& dialog) {
  if (!send(dialog, WM_CLOSE, 0, 0) && !dialog.ended) pressEscape(dialog);
}

}  // namespace dialog_internal

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM param) {
  HRSRC found = FindResourceA(instance, templateName, RT_DIALOG);
  const auto* layout =
      found ? static_cast<const DialogTemplate*>(LockResource(LoadResource(instance, found)))
            : nullptr;
  if (!layout || !dialogProc) return -1;

  Dialog dialog;
  dialog.proc = dialogProc;
  dialog.caption = layout->caption ? layout->caption : "";
  if (layout->style & DS_SETFONT) {
    dialog.fontName = layout->fontName ? layout->fontName : "";
    dialog.pointSize = layout->pointSize;
  }
  dialog.width = unitsToX(layout->cx);
  dialog.height = unitsToY(layout->cy);
  dialog.centred = (layout->style & DS_CENTER) != 0;
  dialog.window = new HWND__;
  dialog.window->x = unitsToX(layout->x);
  dialog.window->y = unitsToY(layout->y);
  dialog.window->width = dialog.width;
  dialog.window->height = dialog.height;
  gDialogs[dialog.window] = &dialog;
  dialog.controls.resize(layout->controlCount);
  for (size_t i = 0; i < dialog.controls.size(); ++i) {
    const DialogControlTemplate& from = layout->controls[i];
    Control& control = dialog.controls[i];
    control.window = new HWND__;
    control.id = from.id;
    control.kind = kindOf(from.className, from.style);
    control.text = from.text ? from.text : "";
    control.style = from.style;
    control.isDefault =
        control.kind == Kind::PushButton && (from.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    control.rect = {unitsToX(from.x), unitsToY(from.y), unitsToX(from.x + from.cx),
                    unitsToY(from.y + from.cy)};
    control.window->x = control.rect.left;
    control.window->y = control.rect.top;
    control.window->width = control.width();
    control.window->height = control.height();
    control.window->visible = true;
    gControls[control.window] = {&dialog, &control};
  }

  bool onDisplay = !platformHeadless();
  std::unique_ptr<View> view;
  if (onDisplay || !testUser().empty()) {
    std::string error;
    view = makeView(dialog, onDisplay, error);
    if (!view) {
      std::fprintf(stderr, "The dialog cannot be shown: %s\n", error.c_str());
      destroyDialog(dialog);
      return -1;
    }
  }
  dialog.window->visible = true;

  Control* focus = nullptr;
  for (Control& control : dialog.controls)
    if (control.style & WS_TABSTOP) {
      focus = &control;
      break;
    }
  send(dialog, WM_INITDIALOG, WPARAM(focus ? focus->window : nullptr), param);
  if (!view)
    std::fprintf(stderr, "No display to show the dialog \"%s\" on: it takes its default choices.\n",
                 dialog.caption.c_str());

  // Without a view nobody answers: paint once, then Enter, as a user who
  // takes the defaults would.
  bool answered = false;
  while (!dialog.ended) {
    if (dialog.needsPaint) {
      dialog.needsPaint = false;
      send(dialog, WM_PAINT, 0, 0);
      if (dialog.ended) break;
    }
    if (view) {
      view->frame(dialog);
    } else if (!answered) {
      answered = true;
      pressEnter(dialog);
    } else {
      closeRequest(dialog);
      if (!dialog.ended) dialog.result = -1;
      break;
    }
  }
  INT_PTR result = dialog.result;
  view.reset();
  destroyDialog(dialog);
  return result;
}

BOOL EndDialog(HWND window, INT_PTR result) {
  Dialog* dialog = dialogOf(window);
  if (!dialog) return FALSE;
  dialog->ended = true;
  dialog->result = result;
  return TRUE;
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
  if (Dialog* dialog = dialogOf(window)) {
    dialog->caption = text ? text : "";
    return TRUE;
  }
  if (Control* control = controlOf(window)) {
    control->text = text ? text : "";
    return TRUE;
  }
  return FALSE;
}

int GetWindowTextA(HWND window, LPSTR buffer, int size) {
  if (!buffer || size <= 0) return 0;
  const std::string* text = nullptr;
  if (Dialog* dialog = dialogOf(window)) text = &dialog->caption;
  if (Control* control = controlOf(window))
    text = control->kind == Kind::ComboBox ? &control->editText : &control->text;
  if (!text) {
    buffer[0] = 0;
    return 0;
  }
  int length = int(std::min(text->size(), size_t(size - 1)));
  std::memcpy(buffer, text->data(), size_t(length));
  buffer[length] = 0;
  return length;
}

HWND GetDlgItem(HWND window, int id) {
  Control* control = dialogItem(window, id);
  return control ? control->window : nullptr;
}

LRESULT SendDlgItemMessageA(HWND window, int id, UINT message, WPARAM wParam, LPARAM lParam) {
  Control* control = dialogItem(window, id);
  if (!control || control->kind != Kind::ComboBox) return 0;
  switch (message) {
    case CB_ADDSTRING:
      if (!lParam) return CB_ERR;
      control->items.emplace_back(reinterpret_cast<const char*>(lParam));
      return LRESULT(control->items.size() - 1);
    case CB_GETCOUNT:
      return LRESULT(control->items.size());
    case CB_GETCURSEL:
      return control->selection;
    case CB_SETCURSEL: {
      // An index out of range clears the selection and answers CB_ERR.
      int index = int(intptr_t(wParam));
      setSelection(*control, index);
      return control->selection == index && index >= 0 ? index : CB_ERR;
    }
    case CB_GETLBTEXT: {
      if (wParam >= control->items.size() || !lParam) return CB_ERR;
      const std::string& item = control->items[wParam];
      std::memcpy(reinterpret_cast<char*>(lParam), item.c_str(), item.size() + 1);
      return LRESULT(item.size());
    }
    default:
      return 0;
  }
}

BOOL CheckDlgButton(HWND window, int id, UINT check) {
  Control* control = dialogItem(window, id);
  if (!control) return FALSE;
  control->checked = check == BST_CHECKED;
  return TRUE;
}

UINT IsDlgButtonChecked(HWND window, int id) {
  Control* control = dialogItem(window, id);
  return control && control->checked ? BST_CHECKED : BST_UNCHECKED;
}

BOOL CheckRadioButton(HWND window, int firstId, int lastId, int checkId) {
  Dialog* dialog = dialogOf(window);
  if (!dialog) return FALSE;
  for (Control& control : dialog->controls)
    if (control.id >= firstId && control.id <= lastId) control.checked = control.id == checkId;
  return TRUE;
}

BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) {
  if (Dialog* dialog = dialogOf(window)) {
    dialog->needsPaint = true;
    return TRUE;
  }
  Control* control = controlOf(window);
  if (!control) return FALSE;
  control->invalid = true;
  control->erase = control->erase || erase;
  return TRUE;
}

// A control paints itself: its background when erasing; the view draws its
// outline and text every frame.
BOOL UpdateWindow(HWND window) {
  Control* control = controlOf(window);
  if (!control) return dialogOf(window) != nullptr;
  if (control->invalid) {
    if (control->erase) {
      control->pixels.assign(size_t(control->width()) * size_t(control->height()), 0);
      control->changed = true;
    }
    control->invalid = control->erase = false;
  }
  return TRUE;
}

BOOL GetClientRect(HWND window, RECT* rect) {
  if (!rect) return FALSE;
  if (Dialog* dialog = dialogOf(window)) {
    *rect = {0, 0, dialog->width, dialog->height};
    return TRUE;
  }
  if (Control* control = controlOf(window)) {
    *rect = {0, 0, control->width(), control->height()};
    return TRUE;
  }
  return FALSE;
}

namespace dialog_internal {

bool lendSurface(HWND window, HDC__* dc) {
  Control* control = controlOf(window);
  if (!control) return false;
  size_t size = size_t(control->width()) * size_t(control->height());
  if (control->pixels.size() != size) control->pixels.assign(size, 0);
  dc->width = control->width();
  dc->height = control->height();
  dc->pixels = &control->pixels;
  dc->changed = &control->changed;
  return true;
}

}  // namespace dialog_internal

namespace dialog_internal {

std::vector<dialog_test::Step>& testUser() {
  static std::vector<dialog_test::Step>& steps = *new std::vector<dialog_test::Step>;
  return steps;
}
dialog_test::Frame& testFrame() {
  static dialog_test::Frame& frame = *new dialog_test::Frame;
  return frame;
}

}  // namespace dialog_internal

namespace dialog_test {

Step click(int control) { return {Step::Kind::Click, control, 0, {}, {}}; }
Step pickEntry(int control, int index) { return {Step::Kind::PickEntry, control, index, {}, {}}; }
Step type(int control, std::string text) {
  return {Step::Kind::Type, control, 0, std::move(text), {}};
}
Step enter() { return {Step::Kind::Enter, 0, 0, {}, {}}; }
Step escape() { return {Step::Kind::Escape, 0, 0, {}, {}}; }
Step press(Key key, bool shift) {
  Step step{Step::Kind::Key, 0, 0, {}, {}};
  step.key = key;
  step.shift = shift;
  return step;
}
Step closeWindow() { return {Step::Kind::Close, 0, 0, {}, {}}; }
Step inspect(std::function<void(HWND)> check) {
  return {Step::Kind::Inspect, 0, 0, {}, std::move(check)};
}

void setUser(std::vector<Step> steps) { testUser() = std::move(steps); }
const Frame& lastFrame() { return testFrame(); }

RECT controlRect(HWND window, int id) {
  Control* control = dialogItem(window, id);
  return control ? control->rect : RECT{};
}

int focusedControl(HWND window) {
  Dialog* dialog = dialogOf(window);
  Control* control = dialog ? dialog->focused() : nullptr;
  return control ? control->id : 0;
}

void reset() {
  testUser().clear();
  testFrame() = {};
}

}  // namespace dialog_test
