// The output window: an SDL window when there is a display, a bare record
// otherwise.
#include <SDL2/SDL.h>

#include <algorithm>
#include <vector>

#include "platform/win32/Win32.h"

namespace {
// Windows that nobody destroyed go with the process, as on Windows; the list
// keeps them owned until then.
std::vector<HWND>& gLiveWindows = *new std::vector<HWND>;  // never destroyed
}  // namespace

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  HWND window = new HWND__;
  gLiveWindows.push_back(window);
  window->x = x;
  window->y = y;
  window->width = width;
  window->height = height;
  window->visible = (style & WS_VISIBLE) != 0;
  if (!platformHeadless()) {
    Uint32 flags = SDL_WINDOW_OPENGL | (window->visible ? SDL_WINDOW_SHOWN : SDL_WINDOW_HIDDEN);
    if (!(style & WS_SYSMENU) || (style & WS_POPUP)) flags |= SDL_WINDOW_BORDERLESS;
    window->sdlWindow = SDL_CreateWindow(windowName ? windowName : "", x, y, width, height, flags);
  }
  return window;
}

BOOL CloseWindow(HWND window) {
  if (!window) return FALSE;
  window->minimised = true;
  if (window->sdlWindow) SDL_MinimizeWindow(window->sdlWindow);
  return TRUE;
}

BOOL DestroyWindow(HWND window) {
  if (!window) return FALSE;
  if (window->sdlWindow) SDL_DestroyWindow(window->sdlWindow);
  gLiveWindows.erase(std::remove(gLiveWindows.begin(), gLiveWindows.end(), window),
                     gLiveWindows.end());
  delete window;
  return TRUE;
}

int ShowCursor(BOOL show) {
  // The display counter of Windows: shown while it is zero or more.
  static int counter = 0;
  counter += show ? 1 : -1;
  if (!platformHeadless()) SDL_ShowCursor(counter >= 0 ? SDL_ENABLE : SDL_DISABLE);
  return counter;
}
