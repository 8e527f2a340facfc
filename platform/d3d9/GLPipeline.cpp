#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <cstring>

#include "platform/d3d9/Surface.h"
#include "platform/d3d9/TextureStorage.h"

namespace d3d9 {

namespace {

constexpr size_t kStreamSize = 8u << 20;

}  // namespace

Pipeline::Pipeline(GLBackend& backend, ProgramCache& programs) : gl(backend), programs(programs) {
  glCreateSamplers(D3DMAX_TEXTURE_STAGES, samplers);
  std::memset(samplerValues, 0xff, sizeof samplerValues);
  for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) glBindSampler(GLuint(i), samplers[i]);
  makeStream(kStreamSize);
}

Pipeline::~Pipeline() {
  for (auto& entry : vertexArrays) glDeleteVertexArrays(1, &entry.second.name);
  glDeleteSamplers(D3DMAX_TEXTURE_STAGES, samplers);
  for (GLsync& fence : quarterFences)
    if (fence) glDeleteSync(fence);
  glDeleteBuffers(1, &streamName);
}

size_t Pipeline::programCount() const { return programs.size(); }

void Pipeline::invalidate() {
  for (auto& entry : vertexArrays) {
    entry.second.buffer = entry.second.elements = GLuint(-1);
    entry.second.offset = entry.second.stride = -1;
  }
  std::memset(samplerValues, 0xff, sizeof samplerValues);
  samplerVersion = 0;
  rasterVersions = {};
  settled = {};
  // Uniforms live in the programs, which others do not touch.
}

void Pipeline::setProgramOverride(GLuint name) {
  overrideProgram = name;
  readProgramInputs(name);
  // The textures to bind are worked out anew for the next draw.
  std::memset(keyVersions, 0, sizeof keyVersions);
  textureVersion = 0;
  settled = {};
}

void Pipeline::setShaderOverride(GLuint shader, bool vertex, void (*prepare)(GLuint, void*),
                                 void* context) {
  overrideShader = shader;
  overrideIsVertex = vertex;
  textureVersion = 0;
  prepareFragment = prepare;
  prepareContext = context;
  std::memset(keyVersions, 0, sizeof keyVersions);
  settled = {};
}

[[gnu::hot]] void Pipeline::draw(DeviceState& s, const DrawCall& call) {
  const bool pointList = call.mode == GL_POINTS;
  // (Nothing is settled while a program or shader of the caller's draws.
  // The fill mode moves `settings`, so the same settings and the same kind
  // of call draw points as the settled draw did.)
  if (settled.program && settled.settings == s.versions.settings &&
      settled.disturbances == gl.disturbances && settled.target == s.renderTarget &&
      settled.depth == s.depthStencil && settled.pointList == pointList) {
    Program& p = *settled.program;
    gl.bindProgram(p.name);
    if (settled.values != s.versions.values) {
      settled.values = s.versions.values;
      uploadValues(s, p);
      // Another texture, or one that wants its mipmaps made anew.
      bindTextures(s);
    }
    uploadWorld(s, p);
  } else {
    const bool points = pointList || s.renderStates[D3DRS_FILLMODE] == D3DFILL_POINT;
    if (overrideShader && !overrideProgram) {
      // The fixed-function pipeline for one stage, the caller's shader for
      // the other: the fixed-function uniforms are ours, the rest the caller's.
      std::memset(keyVersions, 0, sizeof keyVersions);
      takeTextures(s);
      sampledUnits = 0xff;  // what the caller's stage samples is not known
      samplerVersion = 0;
      settled = {};
      Program* p = programs.getWithShader(overrideIsVertex
                                              ? makeShaderFragmentKey(s, *s.input, kinds, points)
                                              : makeShaderVertexKey(s, *s.input, points),
                                          overrideShader, overrideIsVertex);
      if (!p) return;
      gl.bindProgram(p->name);
      uploadUniforms(s, *p);
      bindTextures(s);
      applyRasterState(s);
      if (prepareFragment) prepareFragment(p->name, prepareContext);
    } else if (overrideProgram) {
      // A program of the caller's: every bound texture on its unit, no
      // fixed-function uniforms.
      if (takeTextures(s) || sampledUnits != 0xff) {
        std::memset(keyVersions, 0, sizeof keyVersions);
        sampledUnits = 0xff;  // what it samples is not known
        samplerVersion = 0;
      }
      gl.bindProgram(overrideProgram);
      bindTextures(s);
      applyRasterState(s);
    } else {
      settled = {};
      Program* p = selectProgram(s, points);
      if (!p) return;
      gl.bindProgram(p->name);
      uploadUniforms(s, *p);
      bindTextures(s);
      applyRasterState(s);
      settled = {p,
                 s.versions.settings,
                 s.versions.values,
                 gl.disturbances,
                 s.renderTarget,
                 s.depthStencil,
                 pointList};
    }
  }
  VertexArray& va = vertexArray(*s.input);
  gl.bindVertexArray(va.name);
  if (va.buffer != call.vertexBuffer || va.offset != call.vertexOffset ||
      va.stride != call.stride) {
    va.buffer = call.vertexBuffer;
    va.offset = call.vertexOffset;
    va.stride = call.stride;
    glVertexArrayVertexBuffer(va.name, 0, call.vertexBuffer, call.vertexOffset, call.stride);
  }
  if (call.indexed) {
    if (va.elements != call.indexBuffer) {
      va.elements = call.indexBuffer;
      glVertexArrayElementBuffer(va.name, call.indexBuffer);
    }
    glDrawElementsBaseVertex(call.mode, call.count, call.indexType,
                             reinterpret_cast<const void*>(call.indexOffset), call.baseVertex);
  } else {
    glDrawArrays(call.mode, call.first, call.count);
  }
  if (s.renderTarget) s.renderTarget->gpuWrote();
}

}  // namespace d3d9
