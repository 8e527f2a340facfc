// The OpenGL side of the device: it turns the device's state into GL state
// when something is drawn, cleared or copied, and changes in GL only what
// differs from what GL already holds.
//
// Conventions: every render target is drawn with glClipControl(UPPER_LEFT,
// ZERO_TO_ONE), so memory row 0 is the image's top row, as in Direct3D, and
// depth runs from 0 to 1. Only presenting into the window flips the image.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "platform/d3d9/DeviceState.h"

namespace d3d9 {

class Surface;
class ProgramCache;
class Pipeline;

// One draw, with its vertices (and indices) already in GL buffers.
struct DrawCall {
  GLenum mode;
  GLsizei count;  // vertices, or indices when indexed
  GLuint vertexBuffer;
  GLintptr vertexOffset;  // bytes to vertex 0
  GLsizei stride;
  GLint first;  // first vertex when not indexed
  bool indexed;
  GLuint indexBuffer;
  GLenum indexType;
  GLintptr indexOffset;  // bytes to the first index
  GLint baseVertex;
};

// What GL currently holds for the state we touch, so that unchanged state
// costs no GL call. Values are GL's; "unknown" forces the first call.
struct GLStateShadow {
  int enabled[16];  // by the Cap index below, -1 unknown
  GLint scissor[4];
  GLint viewport[4];
  float depthRange[2];
  GLuint colorMask;  // four bits, RGBA
  int depthMask;
  GLuint stencilWriteMask[2];
  GLenum depthFunc;
  GLenum blendEquation[2];
  GLenum blendFunc[4];
  float blendColor[4];
  GLenum stencilFunc[2];
  GLint stencilRef[2];
  GLuint stencilMask[2];
  GLenum stencilOp[2][3];
  GLenum cullFace, frontFace, polygonMode;
  float polygonOffset[2];
  float pointSize;
  GLuint program;
  GLuint vertexArray;
  GLuint drawFramebuffer;
  GLuint texture[D3DMAX_SAMPLERS];
  GLenum textureTarget[D3DMAX_SAMPLERS];

  void invalidate();
};

enum Cap {
  kCapScissor,
  kCapDepthTest,
  kCapBlend,
  kCapCull,
  kCapStencil,
  kCapPolygonOffsetFill,
  kCapProgramPointSize,
  kCapDither,
  kCapClipDistance0,  // ..5
  kCapCount = kCapClipDistance0 + 6,
};

class GLBackend {
 public:
  GLBackend();
  ~GLBackend();
  // Sets up what every frame needs; false with the reason in `error` when
  // the GL context lacks something the device relies on.
  bool init(std::string& error);

  // Draw-target management: makes `color` and `depth` the targets of the
  // draw framebuffer (either may be null).
  void bindTargets(Surface* color, Surface* depth);
  // Render targets 1 to 3 beside the first (null where none) and the draw
  // buffers that send a program's colour outputs to them.
  void bindMoreTargets(Surface* const more[D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1]);

  // Clears rectangles of the current targets, clipped to the viewport (and
  // the scissor rectangle when its test is on).
  void clear(const DeviceState& state, DWORD count, const D3DRECT* rects, DWORD flags,
             D3DCOLOR color, float z, DWORD stencil);

  // Shows `source` in the default framebuffer of `width` x `height`,
  // stretched, or fitted with its aspect kept.
  void present(Surface* source, int width, int height, bool keepAspect);

  // Copies a rectangle between surfaces on the GPU (scaled when the sizes
  // differ). False when either has no GPU image or the formats cannot mix.
  bool copy(Surface* source, const RECT& sourceRect, Surface* destination, const RECT& destRect,
            bool linear);
  // Fills a rectangle of a GPU surface with one colour.
  bool fill(Surface* surface, const RECT& rect, D3DCOLOR color);

  // The surface's pixels as ARGB, top row first.
  d3d9_test::Frame read(Surface* surface);

  // Draws with the fixed-function pipeline described by `state`.
  void draw(DeviceState& state, const DrawCall& call);
  Pipeline& drawPipeline() { return *pipeline; }
  ProgramCache& programCache() { return *programs; }
  int currentTargetWidth() const { return targetWidth; }
  int currentTargetHeight() const { return targetHeight; }

  // The streaming buffer for vertices and indices that come from memory.
  // Returns the byte offset where `bytes` now live in `streamBuffer()`.
  GLintptr stream(const void* data, size_t bytes, size_t alignment);
  // Vertices of `stride` bytes, on a whole vertex of `streamBuffer()`:
  // returns the index of the first.
  GLint streamVertices(const void* data, size_t bytes, size_t stride);
  GLuint streamBuffer() const;
  // Makes room for `bytes` in a row, so that the next streams share storage.
  void streamReserve(size_t bytes);

  // Objects going away: no cache may keep a name GL can hand out again.
  void forgetTexture(GLuint texture);
  void forgetBuffer(GLuint buffer);
  void forgetVertexInput(uint64_t id);
  // A surface goes: it must not stay attached, nor be taken for a new one
  // made at the same address.
  void forgetSurface(Surface* surface);
  // GL was changed behind our back: believe nothing about it any more.
  void invalidate();

  // Cached GL calls: each changes GL only when the value differs.
  void enable(Cap cap, bool on);
  void setScissor(GLint x, GLint y, GLint w, GLint h);
  void setColorMask(GLuint mask);
  void setDepthMask(bool on);
  void setStencilWriteMask(GLuint front, GLuint back);
  void bindDrawFramebuffer(GLuint framebuffer);
  void bindProgram(GLuint program) {
    if (shadow.program == program) return;
    shadow.program = program;
    glUseProgram(program);
  }
  void bindVertexArray(GLuint vertexArray) {
    if (shadow.vertexArray == vertexArray) return;
    shadow.vertexArray = vertexArray;
    glBindVertexArray(vertexArray);
  }
  void bindTexture(int unit, GLenum target, GLuint texture) {
    if (shadow.texture[unit] == texture && shadow.textureTarget[unit] == target) return;
    shadow.texture[unit] = texture;
    shadow.textureTarget[unit] = target;
    glBindTextureUnit(GLuint(unit), texture);
  }
  void setViewport(GLint x, GLint y, GLint w, GLint h);
  void setDepthRange(float near, float far);
  void setDepthFunc(GLenum func);
  void setPolygonOffset(float slope, float units);
  // `face` 0 is GL's front, 1 its back.
  void setStencilFunc(int face, GLenum func, GLint ref, GLuint mask);
  void setStencilOp(int face, GLenum fail, GLenum depthFail, GLenum pass);
  // Source and destination factors of colour, then of alpha.
  void setBlendFunc(const GLenum factors[4]);
  void setBlendEquation(GLenum colour, GLenum alpha);
  void setBlendColor(const float rgba[4]);
  void setFrontFace(GLenum mode);
  void setCullFace(GLenum face);
  void setPolygonMode(GLenum mode);

  GLStateShadow shadow;
  // Counts operations other than draws that change GL's raster state, so
  // that the draw path knows when to look at it again.
  uint64_t disturbances = 1;

 private:
  // Whether the pair the last bindTargets was given is asked for again and
  // still attached (then it needs nothing).
  bool targetsBound(Surface* color, Surface* depth) const {
    return color == askedColor && depth == askedDepth && color == boundColor &&
           shadow.drawFramebuffer == drawFramebuffer;
  }

  GLuint drawFramebuffer = 0, readFramebuffer = 0, copyFramebuffer = 0;
  Surface* boundColor = nullptr;
  Surface* boundDepth = nullptr;
  // What bindTargets was last asked for (the depth buffer may have been
  // left out).
  Surface* askedColor = nullptr;
  Surface* askedDepth = nullptr;
  Surface* boundMore[D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1] = {};
  bool moreBound = false;  // any of them
  int targetWidth = 0, targetHeight = 0;
  std::unique_ptr<ProgramCache> programs;
  std::unique_ptr<Pipeline> pipeline;
};

}  // namespace d3d9
