#include "platform/gl/GLContext.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <SDL2/SDL.h>

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

// A surfaceless EGL context: no default framebuffer at all.
class EGLContextHolder : public GLContext {
 public:
  EGLContextHolder(EGLDisplay display, EGLContext context) : display(display), context(context) {}
  ~EGLContextHolder() override {
    if (eglGetCurrentContext() == context)
      eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(display, context);
    // The display stays initialised: other devices of the process may use
    // it, and initialising it again is costly.
  }
  void makeCurrent() override { eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context); }
  void swap() override {}
  void drawableSize(int& width, int& height) override { width = height = 0; }
  void setSwapInterval(int) override {}
  bool headless() const override { return true; }

 private:
  EGLDisplay display;
  EGLContext context;
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
  if (!eglChooseConfig(display, configAttributes, &config, 1, &count) || count == 0) config = nullptr;
  const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION, 3,
                                      EGL_CONTEXT_MINOR_VERSION, 3,
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
