// The OpenGL context the device and the setup dialog draw with: an SDL
// context on the output window when there is one, otherwise a surfaceless
// EGL context (Mesa), in which everything renders into framebuffer objects
// and nothing is shown.
#pragma once

#include <memory>
#include <string>

struct SDL_Window;

namespace platform_gl {

class GLContext {
 public:
  virtual ~GLContext() = default;

  // Makes a context for `window` (null: headless). Null on failure, with
  // the reason in `error`.
  static std::unique_ptr<GLContext> create(SDL_Window* window, std::string& error);

  virtual void makeCurrent() = 0;
  // Shows the default framebuffer. Headless, where nothing is shown, it
  // ends the frame as a swap chain would: the frame's commands go to the
  // GPU and the call returns only when the frame before it is done, so
  // that at most two frames are ever queued.
  virtual void swap() = 0;
  // Size of the default framebuffer in pixels; 0 x 0 when headless.
  virtual void drawableSize(int& width, int& height) = 0;
  // Asks for waiting on the display's refresh (1) or not (0); may be
  // ignored by the system.
  virtual void setSwapInterval(int interval) = 0;
  virtual bool headless() const = 0;
};

}  // namespace platform_gl
