#include "platform/gl/GLContext.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <SDL2/SDL.h>
#include <cstdio>

namespace platform_gl {

namespace {

// A context on an SDL window.
class SDLContext : public GLContext {
 public:
  SDLContext(SDL_Window* window, SDL_GLContext context) : window(window), context(context) {}
  ~SDLContext() override {
    if (SDL_GL_GetCurrentContext() == context) SDL_GL_MakeCurrent(window, nullptr);
    SDL_GL_DeleteContext(context);
  }
  void makeCurrent() override { SDL_GL_MakeCurrent(window, context); }
  void swap() override { SDL_GL_SwapWindow(window); }
  void drawableSize(int& width, int& height) override {
    SDL_GL_GetDrawableSize(window, &width, &height);
  }
  void setSwapInterval(int interval) override { SDL_GL_SetSwapInterval(interval); }
  bool headless() const override { return false; }

 private:
  SDL_Window* window;
  SDL_GLContext context;
};

// The frames a headless context has handed to the GPU and not yet seen
// finished: a fence behind each of the last two.
class FrameQueue {
 public:
  // Ends a frame: flushes it, fences it and waits for the frame before.
  void endFrame() {
    GLsync fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    glFlush();
    if (previous) {
      waitFor(previous);
      glDeleteSync(previous);
    }
    previous = fence;
  }
  // Deletes the fence still held (the context must be current).
  void drop() {
    if (previous) glDeleteSync(previous);
    previous = nullptr;
  }

 private:
  // Waits without a deadline, in steps that show up in the log when the GPU
  // is stuck on one frame for long.
  static void waitFor(GLsync fence) {
    const GLuint64 step = GLuint64(5) * 1000 * 1000 * 1000;
    for (int waited = 0;; ++waited) {
      GLenum result = glClientWaitSync(fence, 0, step);
      if (result == GL_ALREADY_SIGNALED || result == GL_CONDITION_SATISFIED) return;
      if (result == GL_WAIT_FAILED) return;  // a lost context has nothing left to finish
      // The context sits below the engine's log, so this goes straight to
      // the error stream.
      if (waited == 0)
        std::fputs("a frame has been drawing for more than 5 seconds, still waiting\n", stderr);
    }
  }

  GLsync previous = nullptr;
};

// A surfaceless EGL context: no default framebuffer at all.
class EGLContextHolder : public GLContext {
 public:
  EGLContextHolder(EGLDisplay display, EGLContext context) : display(display), context(context) {}
  ~EGLContextHolder() override {
    if (eglGetCurrentContext() == context) {
      frames.drop();
      eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    }
    eglDestroyContext(display, context);
    // The display stays initialised: other devices of the process may use
    // it, and initialising it again is costly.
  }
  void makeCurrent() override { eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context); }
  void swap() override { frames.endFrame(); }
  void drawableSize(int& width, int& height) override { width = height = 0; }
  void setSwapInterval(int) override {}
  bool headless() const override { return true; }

 private:
  EGLDisplay display;
  EGLContext context;
  FrameQueue frames;
};

std::unique_ptr<GLContext> createSDL(SDL_Window* window, std::string& error) {
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 3);
  SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
  SDL_GLContext context = SDL_GL_CreateContext(window);
  if (!context) {
    error = std::string("cannot create an OpenGL context: ") + SDL_GetError();
    return nullptr;
  }
  auto holder = std::make_unique<SDLContext>(window, context);
  holder->makeCurrent();
  return holder;
}

EGLDisplay surfacelessDisplay(std::string& error) {
  static EGLDisplay display = EGL_NO_DISPLAY;
  if (display != EGL_NO_DISPLAY) return display;
  auto getPlatformDisplay =
      (PFNEGLGETPLATFORMDISPLAYEXTPROC)eglGetProcAddress("eglGetPlatformDisplayEXT");
  if (!getPlatformDisplay) {
    error = "EGL has no eglGetPlatformDisplayEXT";
    return EGL_NO_DISPLAY;
  }
  EGLDisplay candidate =
      getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  EGLint major = 0, minor = 0;
  if (candidate == EGL_NO_DISPLAY || !eglInitialize(candidate, &major, &minor)) {
    error = "cannot open EGL's surfaceless display";
    return EGL_NO_DISPLAY;
  }
  display = candidate;
  return display;
}

std::unique_ptr<GLContext> createEGL(std::string& error) {
  EGLDisplay display = surfacelessDisplay(error);
  if (display == EGL_NO_DISPLAY) return nullptr;
  if (!eglBindAPI(EGL_OPENGL_API)) {
    error = "EGL cannot bind OpenGL";
    return nullptr;
  }
  const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
  EGLConfig config = nullptr;
  EGLint count = 0;
  if (!eglChooseConfig(display, configAttributes, &config, 1, &count) || count == 0)
    config = nullptr;
  const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION,
                                      3,
                                      EGL_CONTEXT_MINOR_VERSION,
                                      3,
                                      EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                      EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                      EGL_NONE};
  EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, contextAttributes);
  if (context == EGL_NO_CONTEXT) {
    error = "cannot create a surfaceless OpenGL context";
    return nullptr;
  }
  auto holder = std::make_unique<EGLContextHolder>(display, context);
  holder->makeCurrent();
  return holder;
}

}  // namespace

std::unique_ptr<GLContext> GLContext::create(SDL_Window* window, std::string& error) {
  if (window) return createSDL(window, error);
  return createEGL(error);
}

}  // namespace platform_gl
