// Draws a dialog with Dear ImGui: in a window of its own on the display, or
// offscreen into a framebuffer object when there is none (tests then play
// the user through ImGui's input). Controls sit at their template
// positions; what the user does goes back to the dialog manager as
// notifications once the frame is drawn.
#include <GL/gl.h>
#include <GL/glext.h>
#include <SDL2/SDL.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>
#include <imgui.h>
#include <imgui_internal.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

#include "platform/gl/GLContext.h"
#include "platform/win32/DialogInternal.h"

namespace dialog_internal {

namespace {

using dialog_test::Step;

// Where things were drawn in the last frame, for the scripted user.
struct Layout {
  std::map<int, ImVec4> items;                 // control id -> x0, y0, x1, y1
  std::map<int, ImVec4> arrows;                // combo box id -> its drop-down button
  std::map<int, std::vector<ImVec4>> entries;  // combo box id -> its open list's entries
  std::map<int, ImVec4> lists;                 // combo box id -> the open list's visible area
  std::map<int, ImGuiID> ids;                  // control id -> the item that shows its focus
};

ImVec2 centre(const ImVec4& r) { return {(r.x + r.z) * 0.5f, (r.y + r.w) * 0.5f}; }
bool inside(const ImVec4& item, const ImVec4& area) {
  return item.y >= area.y && item.w <= area.w + 0.5f;
}
ImVec4 lastItem() {
  ImVec2 min = ImGui::GetItemRectMin(), max = ImGui::GetItemRectMax();
  return {min.x, min.y, max.x, max.y};
}

// The classic dialog look: grey face, black text, sunken white fields.
const ImVec4 kFace(0.83f, 0.82f, 0.78f, 1.0f);
const ImVec4 kWhite(1, 1, 1, 1);
const ImVec4 kBlack(0, 0, 0, 1);
const ImVec4 kSelection(0.0f, 0.0f, 0.5f, 1.0f);

void applyStyle() {
  ImGui::StyleColorsLight();
  ImGuiStyle& style = ImGui::GetStyle();
  style.WindowRounding = style.FrameRounding = style.PopupRounding = style.GrabRounding = 0.0f;
  style.WindowBorderSize = 0.0f;
  style.FrameBorderSize = 1.0f;
  style.PopupBorderSize = 1.0f;
  style.FramePadding = ImVec2(4.0f, 3.0f);
  style.ItemInnerSpacing = ImVec2(4.0f, 4.0f);
  ImVec4* colours = style.Colors;
  colours[ImGuiCol_WindowBg] = kFace;
  colours[ImGuiCol_PopupBg] = kWhite;
  colours[ImGuiCol_Text] = kBlack;
  colours[ImGuiCol_Border] = ImVec4(0.5f, 0.5f, 0.5f, 1.0f);
  colours[ImGuiCol_FrameBg] = colours[ImGuiCol_FrameBgHovered] = colours[ImGuiCol_FrameBgActive] =
      kWhite;
  colours[ImGuiCol_Button] = kFace;
  colours[ImGuiCol_ButtonHovered] = ImVec4(0.88f, 0.87f, 0.84f, 1.0f);
  colours[ImGuiCol_ButtonActive] = ImVec4(0.74f, 0.73f, 0.70f, 1.0f);
  colours[ImGuiCol_CheckMark] = kBlack;
  colours[ImGuiCol_Header] = colours[ImGuiCol_HeaderActive] = kSelection;
  colours[ImGuiCol_HeaderHovered] = ImVec4(0.75f, 0.8f, 0.95f, 1.0f);
  // The keyboard focus: a dark outline around the focused control.
  colours[ImGuiCol_NavHighlight] = kBlack;
}

// The dialog's font: Windows' sans serif faces are replaced by a free sans
// serif of the same size (points at 96 dots per inch); ImGui's own font when
// none is installed or the dialog names none.
void loadFont(const Dialog& dialog) {
  static const char* const kSansSerif[] = {
      "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
      "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
  };
  ImGuiIO& io = ImGui::GetIO();
  if (dialog.pointSize > 0) {
    // The face's full height is about 1.15 of its em.
    float pixels = std::round(float(dialog.pointSize) * 96.0f / 72.0f * 1.15f + 0.5f);
    for (const char* path : kSansSerif) {
      if (access(path, R_OK) != 0) continue;
      if (io.Fonts->AddFontFromFileTTF(path, pixels)) return;
    }
  }
  io.Fonts->AddFontDefault();
}

class ImGuiView final : public View {
 public:
  ImGuiView(Dialog& dialog, bool onDisplay) : dialog(dialog), onDisplay(onDisplay) {}

  bool open(std::string& error) {
    if (onDisplay) {
      int x = dialog.centred ? int(SDL_WINDOWPOS_CENTERED) : dialog.window->x;
      int y = dialog.centred ? int(SDL_WINDOWPOS_CENTERED) : dialog.window->y;
      window = SDL_CreateWindow(dialog.caption.c_str(), x, y, dialog.width, dialog.height,
                                SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN);
      shownCaption = dialog.caption;
      if (!window) {
        error = std::string("cannot open a window: ") + SDL_GetError();
        return false;
      }
      dialog.window->sdlWindow = window;
      SDL_GetWindowPosition(window, &dialog.window->x, &dialog.window->y);
    }
    context =
        platform_gl::GLContext::create(dialog.window ? dialog.window->sdlWindow : nullptr, error);
    if (!context) return false;
    if (!glGetString(GL_VERSION)) {
      error = "the OpenGL context cannot be used";
      return false;
    }
    if (!onDisplay) {
      glGenFramebuffers(1, &framebuffer);
      glGenRenderbuffers(1, &colour);
      glBindRenderbuffer(GL_RENDERBUFFER, colour);
      glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, dialog.width, dialog.height);
      glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
      glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
      if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        error = "cannot draw offscreen";
        return false;
      }
    }
    IMGUI_CHECKVERSION();
    imgui = ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    // The toolkit's keyboard navigation keeps and shows the focus; which
    // control Tab, the arrows and Space reach is the dialog manager's.
    io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    applyStyle();
    loadFont(dialog);
    if (onDisplay) {
      ImGui_ImplSDL2_InitForOpenGL(window, nullptr);
      sdlBackend = true;
    } else {
      io.DisplaySize = ImVec2(float(dialog.width), float(dialog.height));
      io.KeyMap[ImGuiKey_Enter] = SDL_SCANCODE_RETURN;
      io.KeyMap[ImGuiKey_Escape] = SDL_SCANCODE_ESCAPE;
      io.KeyMap[ImGuiKey_Backspace] = SDL_SCANCODE_BACKSPACE;
      io.KeyMap[ImGuiKey_A] = SDL_SCANCODE_A;
      io.KeyMap[ImGuiKey_Tab] = SDL_SCANCODE_TAB;
      io.KeyMap[ImGuiKey_Space] = SDL_SCANCODE_SPACE;
      io.KeyMap[ImGuiKey_UpArrow] = SDL_SCANCODE_UP;
      io.KeyMap[ImGuiKey_DownArrow] = SDL_SCANCODE_DOWN;
      io.KeyMap[ImGuiKey_LeftArrow] = SDL_SCANCODE_LEFT;
      io.KeyMap[ImGuiKey_RightArrow] = SDL_SCANCODE_RIGHT;
    }
    if (!ImGui_ImplOpenGL3_Init("#version 330")) {
      error = "cannot set up drawing";
      return false;
    }
    glBackend = true;
    return true;
  }

  ~ImGuiView() override {
    if (context) context->makeCurrent();
    for (auto& [id, texture] : textures) glDeleteTextures(1, &texture);
    if (glBackend) ImGui_ImplOpenGL3_Shutdown();
    if (sdlBackend) ImGui_ImplSDL2_Shutdown();
    if (imgui) ImGui::DestroyContext(imgui);
    if (framebuffer) glDeleteFramebuffers(1, &framebuffer);
    if (colour) glDeleteRenderbuffers(1, &colour);
    context.reset();
    if (window) SDL_DestroyWindow(window);
    dialog.window->sdlWindow = nullptr;
  }

  void frame(Dialog& d) override {
    context->makeCurrent();
    actions.clear();
    ImGuiIO& io = ImGui::GetIO();
    if (onDisplay) {
      pumpEvents();
      ImGui_ImplOpenGL3_NewFrame();
      ImGui_ImplSDL2_NewFrame();
      if (d.caption != shownCaption) {
        shownCaption = d.caption;
        SDL_SetWindowTitle(window, shownCaption.c_str());
      }
    } else {
      ImGui_ImplOpenGL3_NewFrame();
      io.DeltaTime = 1.0f / 60.0f;
    }
    bool scripted = !testUser().empty();
    if (scripted) playUser(io);
    keepDialogKeys(io);
    ImGui::NewFrame();
    drawControls();
    editing = editingNow;
    closeList = false;
    listOpen = ImGui::IsPopupOpen(nullptr, ImGuiPopupFlags_AnyPopupId);
    ImGui::Render();
    glViewport(0, 0, d.width, d.height);
    glClearColor(kFace.x, kFace.y, kFace.z, kFace.w);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    if (scripted) readFrame();
    if (onDisplay) context->swap();
    // The dialog procedure hears of the frame's input only now, so that it
    // may end the dialog (or the process) with the frame complete.
    for (auto& action : actions) {
      if (d.ended) break;
      action();
    }
    if (onDisplay && !scripted) SDL_Delay(10);
  }

 private:
  // Enter, Escape, Tab, Space and the arrows are the dialog manager's keys,
  // taken from the key's going down (ImGui may see a quick press and release
  // as no press at all). While the list is open, Enter and Escape close it
  // and up and down step through it; Tab closes it and moves on.
  void keyDown(SDL_Scancode key, bool shift) {
    bool up = key == SDL_SCANCODE_UP, down = key == SDL_SCANCODE_DOWN;
    bool left = key == SDL_SCANCODE_LEFT, right = key == SDL_SCANCODE_RIGHT;
    if (listOpen) {
      closeList = key == SDL_SCANCODE_ESCAPE || key == SDL_SCANCODE_RETURN ||
                  key == SDL_SCANCODE_KP_ENTER || key == SDL_SCANCODE_TAB;
      if (up || down) actions.push_back([this, down] { pressArrow(dialog, down ? 1 : -1, true); });
      if (key == SDL_SCANCODE_TAB) actions.push_back([this, shift] { pressTab(dialog, shift); });
      return;
    }
    if (key == SDL_SCANCODE_RETURN || key == SDL_SCANCODE_KP_ENTER)
      actions.push_back([this] { pressEnter(dialog); });
    if (key == SDL_SCANCODE_ESCAPE) actions.push_back([this] { pressEscape(dialog); });
    if (key == SDL_SCANCODE_TAB) actions.push_back([this, shift] { pressTab(dialog, shift); });
    if (key == SDL_SCANCODE_SPACE) actions.push_back([this] { pressSpace(dialog); });
    // Left and right move the caret while the list's field is being edited.
    if (up || down || ((left || right) && !editing))
      actions.push_back([this, step = down || right ? 1 : -1, vertical = up || down] {
        pressArrow(dialog, step, vertical);
      });
  }

  // ImGui does not see the dialog manager's keys (its own moves would go
  // elsewhere), except left and right while a field is being edited.
  void keepDialogKeys(ImGuiIO& io) {
    for (SDL_Scancode key :
         {SDL_SCANCODE_RETURN, SDL_SCANCODE_KP_ENTER, SDL_SCANCODE_ESCAPE, SDL_SCANCODE_TAB,
          SDL_SCANCODE_SPACE, SDL_SCANCODE_UP, SDL_SCANCODE_DOWN})
      io.KeysDown[key] = false;
    if (!editing) io.KeysDown[SDL_SCANCODE_LEFT] = io.KeysDown[SDL_SCANCODE_RIGHT] = false;
  }

  // A key moved the focus: the toolkit's focus follows, shown with its
  // outline, and a field being edited lets go.
  void followFocus() {
    if (!dialog.focusMoved || listOpen) return;
    dialog.focusMoved = false;
    if (ImGui::GetActiveID() != 0) ImGui::ClearActiveID();
    Control* control = dialog.focused();
    auto found = control ? layout.ids.find(control->id) : layout.ids.end();
    if (found == layout.ids.end()) return;
    ImGui::SetFocusID(found->second, ImGui::GetCurrentWindow());
    ImGuiContext& g = *ImGui::GetCurrentContext();
    g.NavDisableHighlight = false;
    g.NavDisableMouseHover = true;
  }

  void pumpEvents() {
    SDL_Event event;
    bool closing = false;
    while (SDL_PollEvent(&event)) {
      ImGui_ImplSDL2_ProcessEvent(&event);
      bool close = event.type == SDL_QUIT ||
                   (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE);
      if (close && !closing) {
        closing = true;
        actions.push_back([this] { closeRequest(dialog); });
      }
      if (event.type == SDL_KEYDOWN) {
        // A held Tab or arrow repeats; Enter, Escape and Space act once.
        SDL_Scancode key = event.key.keysym.scancode;
        bool repeats = key == SDL_SCANCODE_TAB || key == SDL_SCANCODE_UP ||
                       key == SDL_SCANCODE_DOWN || key == SDL_SCANCODE_LEFT ||
                       key == SDL_SCANCODE_RIGHT;
        if (!event.key.repeat || repeats) keyDown(key, (event.key.keysym.mod & KMOD_SHIFT) != 0);
      }
      if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_EXPOSED)
        dialog.needsPaint = true;
    }
  }

  GLuint textureFor(Control& control) {
    GLuint& texture = textures[control.id];
    if (!texture) {
      glGenTextures(1, &texture);
      glBindTexture(GL_TEXTURE_2D, texture);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
      control.changed = true;
    }
    if (control.changed) {
      glBindTexture(GL_TEXTURE_2D, texture);
      glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, control.width(), control.height(), 0, GL_RGBA,
                   GL_UNSIGNED_BYTE, control.pixels.data());
      control.changed = false;
    }
    return texture;
  }

  void drawControls() {
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(float(dialog.width), float(dialog.height)));
    ImGui::Begin("##dialog", nullptr,
                 ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBringToFrontOnFocus);
    followFocus();
    editingNow = false;
    layout.items.clear();
    layout.arrows.clear();
    layout.entries.clear();
    layout.lists.clear();
    ImDrawList* draw = ImGui::GetWindowDrawList();
    const Control* defaultButton = dialog.defaultButton();
    for (Control& control : dialog.controls) {
      ImVec2 at(float(control.rect.left), float(control.rect.top));
      ImVec2 size(float(control.width()), float(control.height()));
      ImGui::PushID(control.id);
      ImGui::SetCursorPos(at);
      switch (control.kind) {
        case Kind::Frame:
          drawFrame(control, draw, at, size);
          break;
        case Kind::ComboBox:
          drawComboBox(control, at, size);
          break;
        case Kind::PushButton: {
          // The button Enter would press has the heavy border.
          bool heavy = &control == defaultButton;
          if (heavy) {
            ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, 2.0f);
            ImGui::PushStyleColor(ImGuiCol_Border, kBlack);
          }
          if (ImGui::Button(control.text.c_str(), size)) clicked(control);
          if (heavy) {
            ImGui::PopStyleColor();
            ImGui::PopStyleVar();
          }
          layout.items[control.id] = lastItem();
          layout.ids[control.id] = ImGui::GetItemID();
          break;
        }
        case Kind::CheckBox: {
          bool shown = control.checked;
          if (ImGui::Checkbox(control.text.c_str(), &shown)) clicked(control);
          layout.items[control.id] = lastItem();
          layout.ids[control.id] = ImGui::GetItemID();
          break;
        }
        case Kind::RadioButton:
          if (ImGui::RadioButton(control.text.c_str(), control.checked)) clicked(control);
          layout.items[control.id] = lastItem();
          layout.ids[control.id] = ImGui::GetItemID();
          break;
        case Kind::Other:
          break;
      }
      ImGui::PopID();
    }
    ImGui::End();
  }

  void clicked(Control& control) {
    Control* target = &control;
    actions.push_back([this, target] { clickButton(dialog, *target); });
  }

  // A black outline; what was painted into the frame covers it.
  void drawFrame(Control& control, ImDrawList* draw, ImVec2 at, ImVec2 size) {
    ImVec2 origin = ImGui::GetWindowPos();
    ImVec2 min(origin.x + at.x, origin.y + at.y), max(min.x + size.x, min.y + size.y);
    if (control.style & SS_BLACKFRAME) draw->AddRect(min, max, IM_COL32(0, 0, 0, 255));
    if (!control.pixels.empty()) {
      GLuint texture = textureFor(control);
      draw->AddImage(ImTextureID(intptr_t(texture)), min, max);
    }
    layout.items[control.id] = {min.x, min.y, max.x, max.y};
  }

  // A drop-down combo box: an edit field with a button that opens the list
  // below it; the height in the template is that of the open list.
  void drawComboBox(Control& control, ImVec2 at, ImVec2 size) {
    float fieldHeight = ImGui::GetFrameHeight();
    float arrowWidth = fieldHeight;
    ImGui::SetNextItemWidth(size.x - arrowWidth);
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "%s", control.editText.c_str());
    if (ImGui::InputText("##edit", buffer, sizeof buffer)) {
      Control* target = &control;
      std::string text = buffer;
      control.editText = text;  // shown at once; the notification follows the frame
      actions.push_back([this, target, text] { editChanged(dialog, *target, text); });
    }
    Control* target = &control;
    if (ImGui::IsItemActivated())
      actions.push_back([this, target] { focusControl(dialog, *target); });
    editingNow = editingNow || ImGui::IsItemActive();
    layout.items[control.id] = lastItem();
    layout.ids[control.id] = ImGui::GetItemID();
    ImGui::SetCursorPos(ImVec2(at.x + size.x - arrowWidth, at.y));
    if (ImGui::ArrowButton("##open", ImGuiDir_Down)) {
      ImGui::OpenPopup("##list");
      actions.push_back([this, target] { focusControl(dialog, *target); });
    }
    layout.arrows[control.id] = lastItem();
    ImVec2 origin = ImGui::GetWindowPos();
    ImGui::SetNextWindowPos(ImVec2(origin.x + at.x, origin.y + at.y + fieldHeight));
    ImGui::SetNextWindowSize(ImVec2(size.x, std::max(size.y - fieldHeight, fieldHeight)));
    if (ImGui::BeginPopup("##list", ImGuiWindowFlags_AlwaysVerticalScrollbar)) {
      ImVec2 listMin = ImGui::GetWindowPos(), listSize = ImGui::GetWindowSize();
      layout.lists[control.id] = {listMin.x, listMin.y, listMin.x + listSize.x,
                                  listMin.y + listSize.y};
      std::vector<ImVec4>& entries = layout.entries[control.id];
      for (size_t i = 0; i < control.items.size(); ++i) {
        ImGui::PushID(int(i));
        bool selected = control.selection == int(i);
        if (selected) ImGui::PushStyleColor(ImGuiCol_Text, kWhite);
        bool picked = ImGui::Selectable(control.items[i].c_str(), selected);
        if (selected) ImGui::PopStyleColor();
        if (picked) {
          Control* target = &control;
          int index = int(i);
          actions.push_back([this, target, index] { pickEntry(dialog, *target, index); });
        }
        entries.push_back(lastItem());
        ImGui::PopID();
      }
      if (closeList) ImGui::CloseCurrentPopup();
      ImGui::EndPopup();
    }
  }

  void readFrame() {
    dialog_test::Frame& frame = testFrame();
    frame.width = dialog.width;
    frame.height = dialog.height;
    frame.pixels.assign(size_t(frame.width) * size_t(frame.height), 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, frame.width, frame.height, GL_RGBA, GL_UNSIGNED_BYTE, frame.pixels.data());
    // GL's rows go bottom-up.
    for (int y = 0; y < frame.height / 2; ++y)
      std::swap_ranges(frame.pixels.begin() + ptrdiff_t(y) * frame.width,
                       frame.pixels.begin() + ptrdiff_t(y + 1) * frame.width,
                       frame.pixels.begin() + ptrdiff_t(frame.height - 1 - y) * frame.width);
  }

  // The scripted user: one step at a time, each over a few frames, through
  // ImGui's mouse and keyboard input as a person would give it.
  void playUser(ImGuiIO& io) {
    std::vector<Step>& steps = testUser();
    io.MouseDown[0] = false;
    io.KeysDown[SDL_SCANCODE_RETURN] = io.KeysDown[SDL_SCANCODE_ESCAPE] = false;
    for (SDL_Scancode key : {SDL_SCANCODE_TAB, SDL_SCANCODE_SPACE, SDL_SCANCODE_UP,
                             SDL_SCANCODE_DOWN, SDL_SCANCODE_LEFT, SDL_SCANCODE_RIGHT})
      io.KeysDown[key] = false;
    io.KeyShift = false;
    io.MouseWheel = 0.0f;
    io.KeysDown[SDL_SCANCODE_A] = false;
    io.KeyCtrl = false;
    if (next >= steps.size()) {
      actions.push_back([this] { closeRequest(dialog); });
      return;
    }
    Step& step = steps[next];
    int p = phase++;
    auto done = [this] {
      ++next;
      phase = 0;
    };
    // A click over three frames: hover, press, release.
    auto clickAt = [&](const ImVec4* where, int from) -> bool {
      if (!where) return p >= from + 2;
      io.MousePos = centre(*where);
      io.MouseDown[0] = p == from + 1;
      return p >= from + 2;
    };
    auto find = [](std::map<int, ImVec4>& in, int id) -> ImVec4* {
      auto found = in.find(id);
      return found == in.end() ? nullptr : &found->second;
    };
    switch (step.kind) {
      case Step::Kind::Click:
        if (p == 0) break;  // the first frame lays the dialog out
        if (clickAt(find(layout.items, step.control), 1)) done();
        break;
      case Step::Kind::PickEntry: {
        if (p == 0) break;
        if (p <= 3) {
          clickAt(find(layout.arrows, step.control), 1);
          break;
        }
        auto entries = layout.entries.find(step.control);
        ImVec4* list = find(layout.lists, step.control);
        if (entries == layout.entries.end() || !list ||
            size_t(step.index) >= entries->second.size()) {
          done();  // nothing to pick: the list did not open or is shorter
          break;
        }
        const ImVec4& entry = entries->second[size_t(step.index)];
        if (!inside(entry, *list) && clickPhase == 0) {
          io.MousePos = centre(*list);
          io.MouseWheel = entry.y < list->y ? 1.0f : -1.0f;
          break;
        }
        io.MousePos = centre(entry);
        io.MouseDown[0] = clickPhase == 1;
        if (++clickPhase == 3) {
          clickPhase = 0;
          done();
        }
        break;
      }
      case Step::Kind::Type:
        if (p == 0) break;
        if (p <= 3) {
          clickAt(find(layout.items, step.control), 1);
        } else if (p == 4) {
          io.KeyCtrl = true;
          io.KeysDown[SDL_SCANCODE_A] = true;
        } else if (p == 5) {
          for (char c : step.text) io.AddInputCharacter(unsigned(c));
          if (step.text.empty()) io.KeysDown[SDL_SCANCODE_BACKSPACE] = true;
        } else {
          io.KeysDown[SDL_SCANCODE_BACKSPACE] = false;
          done();
        }
        break;
      case Step::Kind::Enter:
      case Step::Kind::Escape: {
        SDL_Scancode key =
            step.kind == Step::Kind::Enter ? SDL_SCANCODE_RETURN : SDL_SCANCODE_ESCAPE;
        io.KeysDown[key] = true;
        keyDown(key, false);
        done();
        break;
      }
      case Step::Kind::Key: {
        static const SDL_Scancode kKeys[] = {SDL_SCANCODE_TAB,  SDL_SCANCODE_SPACE,
                                             SDL_SCANCODE_UP,   SDL_SCANCODE_DOWN,
                                             SDL_SCANCODE_LEFT, SDL_SCANCODE_RIGHT};
        SDL_Scancode key = kKeys[int(step.key)];
        io.KeysDown[key] = true;
        io.KeyShift = step.shift;
        if (step.key == dialog_test::Key::Space)
          io.AddInputCharacter(' ');  // as the keyboard types it
        keyDown(key, step.shift);
        done();
        break;
      }
      case Step::Kind::Close:
        actions.push_back([this] { closeRequest(dialog); });
        done();
        break;
      case Step::Kind::Inspect: {
        auto check = step.inspect;
        actions.push_back([this, check] {
          if (check) check(dialog.window);
        });
        done();
        break;
      }
    }
  }

  Dialog& dialog;
  bool onDisplay;
  SDL_Window* window = nullptr;
  std::string shownCaption;
  std::unique_ptr<platform_gl::GLContext> context;
  GLuint framebuffer = 0, colour = 0;
  ImGuiContext* imgui = nullptr;
  bool sdlBackend = false, glBackend = false;
  std::map<int, GLuint> textures;
  std::vector<std::function<void()>> actions;
  Layout layout;
  bool listOpen = false, closeList = false;
  bool editing = false, editingNow = false;  // the list's field takes the keys
  size_t next = 0;
  int phase = 0, clickPhase = 0;
};

}  // namespace

std::unique_ptr<View> makeView(Dialog& dialog, bool onDisplay, std::string& error) {
  auto view = std::make_unique<ImGuiView>(dialog, onDisplay);
  if (!view->open(error)) return nullptr;
  return view;
}

}  // namespace dialog_internal
