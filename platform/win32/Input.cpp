// The keyboard state: Escape is reported as down while held, and as pressed
// once when it went down since the last test (a quick press and release can
// arrive within one event pump).
#include <SDL2/SDL.h>

#include <climits>

#include "platform/win32/PlatformInternal.h"
#include "platform/win32/TestSeams.h"
#include "platform/win32/Win32.h"

namespace {

bool gEscapeLatched = false;
int gEscapeScriptedAt = -1;
int gEscapePolls = 0;

}  // namespace

void platform_internal::latchKey(int sdlKey) {
  if (sdlKey == SDLK_ESCAPE) gEscapeLatched = true;
}

short GetAsyncKeyState(int virtualKey) {
  if (virtualKey != VK_ESCAPE) return 0;
  // Counted for the tests' scripted presses; held at its top rather than
  // overflowing in a show that runs for months.
  const int poll = gEscapePolls;
  if (gEscapePolls < INT_MAX) ++gEscapePolls;
  if (gEscapeScriptedAt >= 0 && poll >= gEscapeScriptedAt) return short(0x8001);
  platformPumpEvents();
  short state = 0;
  if (platformStopRequested()) state |= 1;
  if (gEscapeLatched) state |= 1;  // pressed since the last test
  gEscapeLatched = false;
  if (!platformHeadless()) {
    const Uint8* keys = SDL_GetKeyboardState(nullptr);
    if (keys && keys[SDL_SCANCODE_ESCAPE]) state |= short(0x8000);
  }
  return state;
}

bool platformEscapePending() {
  platformPumpEvents();
  if (gEscapeLatched) return true;
  if (platformHeadless()) return false;
  const Uint8* keys = SDL_GetKeyboardState(nullptr);
  return keys && keys[SDL_SCANCODE_ESCAPE];
}

namespace platform_test {

void pressEscapeAfterPolls(int polls) {
  gEscapeScriptedAt = polls;
  gEscapePolls = 0;
  gEscapeLatched = false;
}

int escapePolls() { return gEscapePolls; }

}  // namespace platform_test
