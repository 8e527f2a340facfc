// Display detection and the SDL event pump shared by the window and input
// layers.
#include <SDL2/SDL.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>

#include "platform/win32/PlatformInternal.h"
#include "platform/win32/Win32.h"

namespace {

enum class VideoState { Unknown, Available, Headless };
VideoState gVideoState = VideoState::Unknown;

// Lock-free, so that a signal handler may set it.
std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

struct sigaction gPreviousInt, gPreviousTerm;

void onStopSignal(int signal) {
  gStopRequested.store(true);
  const struct sigaction& previous = signal == SIGINT ? gPreviousInt : gPreviousTerm;
  if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL &&
      previous.sa_handler != SIG_IGN && previous.sa_handler != onStopSignal)
    previous.sa_handler(signal);
}

bool envSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

bool platformHeadless() {
  if (gVideoState == VideoState::Unknown) {
    // Without a display SDL's video drivers either fail or pick a dummy one;
    // both mean nothing can be shown.
    bool display = envSet("DISPLAY") || envSet("WAYLAND_DISPLAY");
    if (display && SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) == 0) {
      const char* driver = SDL_GetCurrentVideoDriver();
      bool real =
          driver && SDL_strcmp(driver, "dummy") != 0 && SDL_strcmp(driver, "offscreen") != 0;
      gVideoState = real ? VideoState::Available : VideoState::Headless;
      if (!real) SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
    } else {
      gVideoState = VideoState::Headless;
    }
  }
  return gVideoState == VideoState::Headless;
}

void platformPumpEvents() {
  if (platformHeadless()) return;
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    switch (event.type) {
      case SDL_KEYDOWN:
        platform_internal::latchKey(event.key.keysym.sym);
        break;
      case SDL_QUIT:
        // Closing the window stops the demo the way Escape does.
        platform_internal::latchKey(SDLK_ESCAPE);
        break;
      default:
        break;
    }
  }
}

void platformRequestStop() { gStopRequested.store(true); }

bool platformStopRequested() { return gStopRequested.load(); }

void platformCatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls go on: the stop is taken up by the main loop.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &gPreviousInt);
  sigaction(SIGTERM, &action, &gPreviousTerm);
}

namespace platform_test {

void clearStopRequest() { gStopRequested.store(false); }

}  // namespace platform_test
