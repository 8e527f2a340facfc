#include "testsupport/HeadlessEnvironment.h"

#include <cstdlib>

void useHeadlessEnvironment() {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("SDL_AUDIODRIVER", "dummy", 1);
}
