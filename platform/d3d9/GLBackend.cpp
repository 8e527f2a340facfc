#include "platform/d3d9/GLBackend.h"

#include <GL/glext.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>

#include "platform/d3d9/FixedFunction.h"
#include "platform/d3d9/GLPipeline.h"
#include "platform/d3d9/Surface.h"

namespace d3d9 {

void GLStateShadow::invalidate() {
  std::memset(this, 0xff, sizeof *this);
  depthRange[0] = depthRange[1] = -1.0f;
  pointSize = -1.0f;
  for (float& c : blendColor) c = -1.0f;
  polygonOffset[0] = polygonOffset[1] = -1e30f;
}

namespace {

const GLenum kCapEnum[kCapCount] = {
    GL_SCISSOR_TEST,       GL_DEPTH_TEST,     GL_BLEND,
    GL_CULL_FACE,          GL_STENCIL_TEST,   GL_POLYGON_OFFSET_FILL,
    GL_PROGRAM_POINT_SIZE, GL_DITHER,         GL_CLIP_DISTANCE0,
    GL_CLIP_DISTANCE1,     GL_CLIP_DISTANCE2, GL_CLIP_DISTANCE3,
    GL_CLIP_DISTANCE4,     GL_CLIP_DISTANCE5,
};

// Intersection of two rectangles; false when empty.
bool intersect(RECT& a, const RECT& b) {
  a.left = std::max(a.left, b.left);
  a.top = std::max(a.top, b.top);
  a.right = std::min(a.right, b.right);
  a.bottom = std::min(a.bottom, b.bottom);
  return a.left < a.right && a.top < a.bottom;
}

}  // namespace

GLBackend::GLBackend() { shadow.invalidate(); }

GLintptr GLBackend::stream(const void* data, size_t bytes, size_t alignment) {
  return pipeline->stream(data, bytes, alignment);
}

GLint GLBackend::streamVertices(const void* data, size_t bytes, size_t stride) {
  return pipeline->streamVertices(data, bytes, stride);
}

GLuint GLBackend::streamBuffer() const { return pipeline->streamBuffer(); }

void GLBackend::streamReserve(size_t bytes) { pipeline->reserve(bytes); }

[[gnu::hot]] void GLBackend::draw(DeviceState& state, const DrawCall& call) {
  if (!targetsBound(state.renderTarget, state.depthStencil))
    bindTargets(state.renderTarget, state.depthStencil);
  // (Most draws have no second target, nor had one before.)
  const auto& more = state.moreTargets;
  static_assert(D3D_MAX_SIMULTANEOUS_RENDERTARGETS == 4);
  if (moreBound || more[0] || more[1] || more[2]) bindMoreTargets(more);
  pipeline->draw(state, call);
  if (moreBound)
    for (Surface* target : boundMore)
      if (target) target->gpuWrote();
}

GLBackend::~GLBackend() {
  pipeline.reset();
  programs.reset();
  GLuint framebuffers[] = {drawFramebuffer, readFramebuffer, copyFramebuffer};
  glDeleteFramebuffers(3, framebuffers);
}

bool GLBackend::init(std::string& error) {
  GLint major = 0, minor = 0;
  glGetIntegerv(GL_MAJOR_VERSION, &major);
  glGetIntegerv(GL_MINOR_VERSION, &minor);
  if (major * 10 + minor < 45) {
    error = "OpenGL 4.5 is needed, the system offers " + std::to_string(major) + "." +
            std::to_string(minor);
    return false;
  }
  const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
  if (renderer && std::strstr(renderer, "llvmpipe")) {
    // llvmpipe allocates its binning memory anew for every frame, tens of
    // megabytes for a busy one. With glibc's default the freed memory goes
    // back to the kernel each time and comes back as page faults (that
    // doubled the time of a 100,000-triangle frame): keep it in the heap.
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // Setting the trim threshold also pins the size from which glibc maps
    // each allocation on its own at 128 KiB, so the megabyte buffers that
    // llvmpipe makes for every frame's constants and bins would still come
    // and go as fresh pages (a memset and a page fault per 4 KiB). Serve
    // them from the heap too, up to glibc's largest setting.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
  }
  // Direct3D's window origin (top left) and depth range (0 to 1).
  glClipControl(GL_UPPER_LEFT, GL_ZERO_TO_ONE);
  glCreateFramebuffers(1, &drawFramebuffer);
  glCreateFramebuffers(1, &readFramebuffer);
  glCreateFramebuffers(1, &copyFramebuffer);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glEnable(GL_TEXTURE_CUBE_MAP_SEAMLESS);
  // Flat shading takes the colour of a primitive's first vertex.
  glProvokingVertex(GL_FIRST_VERTEX_CONVENTION);
  enable(kCapProgramPointSize, true);
  // GL dithers by default, Direct3D only when asked (DITHERENABLE).
  enable(kCapDither, false);
  programs = std::make_unique<ProgramCache>();
  pipeline = std::make_unique<Pipeline>(*this, *programs);
  return true;
}

// ---------------------------------------------------------------------------
// Cached state

void GLBackend::enable(Cap cap, bool on) {
  if (shadow.enabled[cap] == int(on)) return;
  shadow.enabled[cap] = int(on);
  if (on)
    glEnable(kCapEnum[cap]);
  else
    glDisable(kCapEnum[cap]);
}

void GLBackend::setScissor(GLint x, GLint y, GLint w, GLint h) {
  GLint box[4] = {x, y, w, h};
  if (std::memcmp(box, shadow.scissor, sizeof box) == 0) return;
  std::memcpy(shadow.scissor, box, sizeof box);
  glScissor(x, y, w, h);
}

void GLBackend::setColorMask(GLuint mask) {
  if (shadow.colorMask == mask) return;
  shadow.colorMask = mask;
  glColorMask(mask & 1, (mask >> 1) & 1, (mask >> 2) & 1, (mask >> 3) & 1);
}

void GLBackend::setDepthMask(bool on) {
  if (shadow.depthMask == int(on)) return;
  shadow.depthMask = int(on);
  glDepthMask(on ? GL_TRUE : GL_FALSE);
}

void GLBackend::setStencilWriteMask(GLuint front, GLuint back) {
  if (shadow.stencilWriteMask[0] != front) {
    shadow.stencilWriteMask[0] = front;
    glStencilMaskSeparate(GL_FRONT, front);
  }
  if (shadow.stencilWriteMask[1] != back) {
    shadow.stencilWriteMask[1] = back;
    glStencilMaskSeparate(GL_BACK, back);
  }
}

void GLBackend::bindDrawFramebuffer(GLuint framebuffer) {
  if (shadow.drawFramebuffer == framebuffer) return;
  shadow.drawFramebuffer = framebuffer;
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
}

void GLBackend::setViewport(GLint x, GLint y, GLint w, GLint h) {
  GLint box[4] = {x, y, w, h};
  if (std::memcmp(box, shadow.viewport, sizeof box) == 0) return;
  std::memcpy(shadow.viewport, box, sizeof box);
  glViewport(x, y, w, h);
}

void GLBackend::setDepthRange(float near, float far) {
  if (shadow.depthRange[0] == near && shadow.depthRange[1] == far) return;
  shadow.depthRange[0] = near;
  shadow.depthRange[1] = far;
  glDepthRange(near, far);
}

void GLBackend::setDepthFunc(GLenum func) {
  if (shadow.depthFunc == func) return;
  shadow.depthFunc = func;
  glDepthFunc(func);
}

void GLBackend::setPolygonOffset(float slope, float units) {
  if (shadow.polygonOffset[0] == slope && shadow.polygonOffset[1] == units) return;
  shadow.polygonOffset[0] = slope;
  shadow.polygonOffset[1] = units;
  glPolygonOffset(slope, units);
}

void GLBackend::setStencilFunc(int face, GLenum func, GLint ref, GLuint mask) {
  if (shadow.stencilFunc[face] == func && shadow.stencilRef[face] == ref &&
      shadow.stencilMask[face] == mask)
    return;
  shadow.stencilFunc[face] = func;
  shadow.stencilRef[face] = ref;
  shadow.stencilMask[face] = mask;
  glStencilFuncSeparate(face == 0 ? GL_FRONT : GL_BACK, func, ref, mask);
}

void GLBackend::setStencilOp(int face, GLenum fail, GLenum depthFail, GLenum pass) {
  GLenum ops[3] = {fail, depthFail, pass};
  if (std::memcmp(ops, shadow.stencilOp[face], sizeof ops) == 0) return;
  std::memcpy(shadow.stencilOp[face], ops, sizeof ops);
  glStencilOpSeparate(face == 0 ? GL_FRONT : GL_BACK, fail, depthFail, pass);
}

void GLBackend::setBlendFunc(const GLenum f[4]) {
  if (std::memcmp(f, shadow.blendFunc, sizeof shadow.blendFunc) == 0) return;
  std::memcpy(shadow.blendFunc, f, sizeof shadow.blendFunc);
  glBlendFuncSeparate(f[0], f[1], f[2], f[3]);
}

void GLBackend::setBlendEquation(GLenum colour, GLenum alpha) {
  if (shadow.blendEquation[0] == colour && shadow.blendEquation[1] == alpha) return;
  shadow.blendEquation[0] = colour;
  shadow.blendEquation[1] = alpha;
  glBlendEquationSeparate(colour, alpha);
}

void GLBackend::setBlendColor(const float c[4]) {
  if (std::memcmp(c, shadow.blendColor, sizeof shadow.blendColor) == 0) return;
  std::memcpy(shadow.blendColor, c, sizeof shadow.blendColor);
  glBlendColor(c[0], c[1], c[2], c[3]);
}

void GLBackend::setFrontFace(GLenum mode) {
  if (shadow.frontFace == mode) return;
  shadow.frontFace = mode;
  glFrontFace(mode);
}

void GLBackend::setCullFace(GLenum face) {
  if (shadow.cullFace == face) return;
  shadow.cullFace = face;
  glCullFace(face);
}

void GLBackend::setPolygonMode(GLenum mode) {
  if (shadow.polygonMode == mode) return;
  shadow.polygonMode = mode;
  glPolygonMode(GL_FRONT_AND_BACK, mode);
}

void GLBackend::forgetBuffer(GLuint buffer) {
  if (pipeline) pipeline->forgetBuffer(buffer);
}

void GLBackend::forgetVertexInput(uint64_t id) {
  if (pipeline) pipeline->forgetVertexInput(id);
}

void GLBackend::invalidate() {
  shadow.invalidate();
  ++disturbances;
  if (pipeline) pipeline->invalidate();
  // Our framebuffers are ours alone, but the binding may have moved.
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, drawFramebuffer);
  shadow.drawFramebuffer = drawFramebuffer;
}

void GLBackend::forgetSurface(Surface* surface) {
  if (!drawFramebuffer) return;
  if (askedColor == surface || askedDepth == surface) askedColor = askedDepth = nullptr;
  if (boundColor == surface) {
    glNamedFramebufferTexture(drawFramebuffer, GL_COLOR_ATTACHMENT0, 0, 0);
    boundColor = nullptr;
  }
  for (int i = 0; i < D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1; ++i)
    if (boundMore[i] == surface) {
      glNamedFramebufferTexture(drawFramebuffer, GLenum(GL_COLOR_ATTACHMENT1 + i), 0, 0);
      boundMore[i] = nullptr;
    }
  if (boundDepth == surface) {
    glNamedFramebufferTexture(drawFramebuffer, GL_DEPTH_STENCIL_ATTACHMENT, 0, 0);
    glNamedFramebufferRenderbuffer(drawFramebuffer, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER,
                                   0);
    boundDepth = nullptr;
  }
}

void GLBackend::forgetTexture(GLuint texture) {
  for (int unit = 0; unit < D3DMAX_SAMPLERS; ++unit)
    if (shadow.texture[unit] == texture) shadow.texture[unit] = GLuint(-1);
}

// ---------------------------------------------------------------------------
// Targets, clears, copies

void GLBackend::bindTargets(Surface* color, Surface* depth) {
  if (targetsBound(color, depth)) return;
  askedColor = color;
  askedDepth = depth;
  // A depth buffer smaller than the target would shrink GL's drawing area to
  // its own size; Direct3D does not allow the pair, and drawing without
  // depth keeps the whole target reachable.
  if (color && depth && (depth->width < color->width || depth->height < color->height))
    depth = nullptr;
  if (color != boundColor) {
    if (!color || !color->attach(drawFramebuffer, GL_COLOR_ATTACHMENT0))
      glNamedFramebufferTexture(drawFramebuffer, GL_COLOR_ATTACHMENT0, 0, 0);
    boundColor = color;
  }
  if (depth != boundDepth) {
    glNamedFramebufferTexture(drawFramebuffer, GL_DEPTH_STENCIL_ATTACHMENT, 0, 0);
    glNamedFramebufferRenderbuffer(drawFramebuffer, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER,
                                   0);
    if (depth) {
      GLenum attachment =
          depth->info && depth->info->stencil ? GL_DEPTH_STENCIL_ATTACHMENT : GL_DEPTH_ATTACHMENT;
      depth->attach(drawFramebuffer, attachment);
    }
    boundDepth = depth;
  }
  bindDrawFramebuffer(drawFramebuffer);
  targetWidth = color ? int(color->width) : 0;
  targetHeight = color ? int(color->height) : 0;
}

void GLBackend::bindMoreTargets(Surface* const more[D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1]) {
  if (std::memcmp(more, boundMore, sizeof boundMore) == 0) return;
  bool changed = false;
  for (int i = 0; i < D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1; ++i) {
    if (more[i] == boundMore[i]) continue;
    const GLenum attachment = GLenum(GL_COLOR_ATTACHMENT1 + i);
    if (!more[i] || !more[i]->attach(drawFramebuffer, attachment))
      glNamedFramebufferTexture(drawFramebuffer, attachment, 0, 0);
    boundMore[i] = more[i];
    changed = true;
  }
  if (!changed) return;
  moreBound = false;
  for (Surface* target : boundMore) moreBound = moreBound || target;
  GLenum buffers[D3D_MAX_SIMULTANEOUS_RENDERTARGETS] = {GL_COLOR_ATTACHMENT0};
  GLsizei count = 1;
  for (int i = 0; i < D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1; ++i)
    if (boundMore[i]) count = i + 2;
  for (int i = 1; i < count; ++i)
    buffers[i] = boundMore[i - 1] ? GLenum(GL_COLOR_ATTACHMENT0 + i) : GL_NONE;
  glNamedFramebufferDrawBuffers(drawFramebuffer, count, buffers);
}

void GLBackend::clear(const DeviceState& state, DWORD count, const D3DRECT* rects, DWORD flags,
                      D3DCOLOR color, float z, DWORD stencil) {
  ++disturbances;
  bindTargets(state.renderTarget, state.depthStencil);
  bindMoreTargets(state.moreTargets);
  const D3DVIEWPORT9& vp = state.viewport;
  RECT viewport = {LONG(vp.X), LONG(vp.Y), LONG(vp.X + vp.Width), LONG(vp.Y + vp.Height)};
  RECT target = {0, 0, targetWidth, targetHeight};
  if (!intersect(viewport, target)) return;
  // With the scissor test on, Direct3D 9 clears only inside its rectangle.
  if (state.renderStates[D3DRS_SCISSORTESTENABLE] && !intersect(viewport, state.scissor)) return;

  // Clears write whatever the write masks say, and never dither.
  setColorMask(0xf);
  enable(kCapDither, false);
  setDepthMask(true);
  setStencilWriteMask(0xffffffffu, 0xffffffffu);

  bool depth = boundDepth && (flags & D3DCLEAR_ZBUFFER);
  bool hasStencil = boundDepth && boundDepth->info && boundDepth->info->stencil;
  bool stencilToo = hasStencil && (flags & D3DCLEAR_STENCIL);
  const float rgba[4] = {float((color >> 16) & 0xff) / 255.0f, float((color >> 8) & 0xff) / 255.0f,
                         float(color & 0xff) / 255.0f, float(color >> 24) / 255.0f};
  GLint stencilValue = GLint(stencil);
  auto clearRect = [&](RECT r) {
    if (!intersect(r, viewport)) return;
    // Whole-target clears go without the scissor: GL clears them fastest.
    bool whole = r.left == 0 && r.top == 0 && r.right == targetWidth && r.bottom == targetHeight;
    enable(kCapScissor, !whole);
    if (!whole) setScissor(r.left, r.top, r.right - r.left, r.bottom - r.top);
    if ((flags & D3DCLEAR_TARGET) && state.renderTarget) {
      glClearBufferfv(GL_COLOR, 0, rgba);
      // Every target of the set is cleared.
      for (int i = 0; i < D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1; ++i)
        if (boundMore[i]) glClearBufferfv(GL_COLOR, i + 1, rgba);
    }
    if (depth && stencilToo)
      glClearBufferfi(GL_DEPTH_STENCIL, 0, z, stencilValue);
    else if (depth)
      glClearBufferfv(GL_DEPTH, 0, &z);
    else if (stencilToo)
      glClearBufferiv(GL_STENCIL, 0, &stencilValue);
  };
  if (count == 0 || !rects) {
    clearRect(viewport);
  } else {
    for (DWORD i = 0; i < count; ++i)
      clearRect(RECT{rects[i].x1, rects[i].y1, rects[i].x2, rects[i].y2});
  }
  if ((flags & D3DCLEAR_TARGET) && state.renderTarget) {
    state.renderTarget->gpuWrote();
    for (Surface* target : boundMore)
      if (target) target->gpuWrote();
  }
}

void GLBackend::present(Surface* source, int width, int height, bool keepAspect) {
  ++disturbances;
  if (!source || width <= 0 || height <= 0) return;
  source->attach(readFramebuffer, GL_COLOR_ATTACHMENT0);
  bindDrawFramebuffer(0);
  // Some GL drivers look at the window's size again only when the viewport
  // is set: after the window grew (full screen) the image would be cut.
  glViewport(0, 0, width, height);
  shadow.viewport[2] = -1;
  enable(kCapScissor, false);
  setColorMask(0xf);
  const float black[4] = {0, 0, 0, 1};
  glClearBufferfv(GL_COLOR, 0, black);
  int x0 = 0, y0 = 0, x1 = width, y1 = height;
  if (keepAspect) {
    // Fit the image into the window with its proportions, centred.
    double scale = std::min(double(width) / source->width, double(height) / source->height);
    int w = int(source->width * scale + 0.5), h = int(source->height * scale + 0.5);
    x0 = (width - w) / 2;
    y0 = (height - h) / 2;
    x1 = x0 + w;
    y1 = y0 + h;
  }
  bool sameSize = x1 - x0 == int(source->width) && y1 - y0 == int(source->height);
  // The window's framebuffer has its origin at the bottom: flip.
  glBlitNamedFramebuffer(readFramebuffer, 0, 0, 0, GLint(source->width), GLint(source->height), x0,
                         y1, x1, y0, GL_COLOR_BUFFER_BIT, sameSize ? GL_NEAREST : GL_LINEAR);
  glNamedFramebufferTexture(readFramebuffer, GL_COLOR_ATTACHMENT0, 0, 0);
}

bool GLBackend::copy(Surface* source, const RECT& s, Surface* destination, const RECT& d,
                     bool linear) {
  ++disturbances;
  if (!source || !destination || source->isDepth() != destination->isDepth()) return false;
  GLenum attachment = source->isDepth() ? GL_DEPTH_ATTACHMENT : GL_COLOR_ATTACHMENT0;
  if (source->isDepth() && source->info->stencil) attachment = GL_DEPTH_STENCIL_ATTACHMENT;
  if (!source->attach(readFramebuffer, attachment)) return false;
  if (!destination->attach(copyFramebuffer, attachment)) {
    glNamedFramebufferTexture(readFramebuffer, attachment, 0, 0);
    return false;
  }
  enable(kCapScissor, false);
  setColorMask(0xf);
  GLbitfield mask = source->isDepth() ? GL_DEPTH_BUFFER_BIT : GL_COLOR_BUFFER_BIT;
  if (source->isDepth()) setDepthMask(true);
  bool scaled =
      (s.right - s.left) != (d.right - d.left) || (s.bottom - s.top) != (d.bottom - d.top);
  glBlitNamedFramebuffer(readFramebuffer, copyFramebuffer, s.left, s.top, s.right, s.bottom, d.left,
                         d.top, d.right, d.bottom, mask,
                         linear && scaled && !source->isDepth() ? GL_LINEAR : GL_NEAREST);
  destination->gpuWrote();
  // Neither framebuffer keeps what it held: a surface that goes must not
  // live on as an attachment.
  glNamedFramebufferTexture(copyFramebuffer, attachment, 0, 0);
  glNamedFramebufferTexture(readFramebuffer, attachment, 0, 0);
  return true;
}

bool GLBackend::fill(Surface* surface, const RECT& r, D3DCOLOR color) {
  ++disturbances;
  if (!surface || surface->isDepth() || !surface->attach(copyFramebuffer, GL_COLOR_ATTACHMENT0))
    return false;
  GLuint previous = shadow.drawFramebuffer;
  bindDrawFramebuffer(copyFramebuffer);
  enable(kCapScissor, true);
  setScissor(r.left, r.top, r.right - r.left, r.bottom - r.top);
  setColorMask(0xf);
  const float rgba[4] = {float((color >> 16) & 0xff) / 255.0f, float((color >> 8) & 0xff) / 255.0f,
                         float(color & 0xff) / 255.0f, float(color >> 24) / 255.0f};
  glClearBufferfv(GL_COLOR, 0, rgba);
  glNamedFramebufferTexture(copyFramebuffer, GL_COLOR_ATTACHMENT0, 0, 0);
  bindDrawFramebuffer(previous);
  surface->gpuWrote();
  return true;
}

d3d9_test::Frame GLBackend::read(Surface* surface) {
  ++disturbances;
  d3d9_test::Frame frame;
  if (!surface || !surface->info || surface->isDepth()) return frame;
  frame.width = int(surface->width);
  frame.height = int(surface->height);
  frame.pixels.resize(size_t(frame.width) * size_t(frame.height));
  if (surface->kind == Surface::Kind::Plain || surface->info->blockBytes ||
      surface->kind == Surface::Kind::TextureLevel) {
    // Through the surface's memory, in its own format.
    D3DLOCKED_RECT locked;
    if (FAILED(surface->LockRect(&locked, nullptr, D3DLOCK_READONLY))) return {};
    if (surface->info->blockBytes) {
      surface->UnlockRect();
      return {};
    }
    for (int y = 0; y < frame.height; ++y) {
      const uint8_t* row = static_cast<const uint8_t*>(locked.pBits) + size_t(y) * locked.Pitch;
      for (int x = 0; x < frame.width; ++x)
        frame.pixels[size_t(y) * frame.width + x] =
            pixelToARGB(surface->format, row + x * surface->info->bytesPerPixel);
    }
    surface->UnlockRect();
    return frame;
  }
  surface->attach(readFramebuffer, GL_COLOR_ATTACHMENT0);
  glNamedFramebufferReadBuffer(readFramebuffer, GL_COLOR_ATTACHMENT0);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, readFramebuffer);
  glPixelStorei(GL_PACK_ALIGNMENT, 4);
  glReadPixels(0, 0, frame.width, frame.height, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
               frame.pixels.data());
  glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  glNamedFramebufferTexture(readFramebuffer, GL_COLOR_ATTACHMENT0, 0, 0);
  if (!surface->info->hasAlpha)
    for (auto& p : frame.pixels) p |= 0xff000000u;
  return frame;
}

}  // namespace d3d9
