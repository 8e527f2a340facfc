// Message boxes: SDL's when there is a display; without one the caption and
// text go to the standard error stream and the box answers OK.
#include <SDL2/SDL.h>

#include <cstdio>

#include "platform/win32/TestSeams.h"
#include "platform/win32/Win32.h"

namespace {
std::vector<platform_test::MessageBoxRecord> gMessageBoxes;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  const char* message = text ? text : "";
  const char* title = caption ? caption : "Error";
  gMessageBoxes.push_back({message, title, type});
  if (!platformHeadless()) {
    Uint32 flags = SDL_MESSAGEBOX_INFORMATION;
    if ((type & 0xF0) == MB_ICONWARNING) flags = SDL_MESSAGEBOX_WARNING;
    if ((type & 0xF0) == MB_ICONERROR) flags = SDL_MESSAGEBOX_ERROR;
    SDL_Window* parent = owner ? owner->sdlWindow : nullptr;
    if (SDL_ShowSimpleMessageBox(flags, title, message, parent) == 0) return IDOK;
  }
  std::fprintf(stderr, "[%s] %s\n", title, message);
  std::fflush(stderr);
  return IDOK;
}

namespace platform_test {

std::vector<MessageBoxRecord>& messageBoxes() { return gMessageBoxes; }

void reset() {
  setTickSource({});
  pressEscapeAfterPolls(-1);
  clearStopRequest();
  gMessageBoxes.clear();
}

}  // namespace platform_test
