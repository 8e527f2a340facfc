#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/d3d9/Resources.h"

namespace d3d9 {

namespace {

constexpr size_t kStreamSize = 8u << 20;
constexpr size_t kMaxPrograms = 512;

void colourToFloats(D3DCOLOR c, float out[4]) {
  out[0] = float((c >> 16) & 0xff) / 255.0f;
  out[1] = float((c >> 8) & 0xff) / 255.0f;
  out[2] = float(c & 0xff) / 255.0f;
  out[3] = float(c >> 24) / 255.0f;
}

void valueToFloats(const D3DCOLORVALUE& c, float out[4]) {
  out[0] = c.r;
  out[1] = c.g;
  out[2] = c.b;
  out[3] = c.a;
}

D3DMATRIX multiply(const D3DMATRIX& a, const D3DMATRIX& b) {
  D3DMATRIX r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j] +
                  a.m[i][3] * b.m[3][j];
  return r;
}

// The matrix that takes normals along with `m` (row vectors): the inverse
// transpose of its upper 3x3, written row by row as GL receives it.
void normalMatrixOf(const D3DMATRIX& m, float out[9]) {
  float a = m._11, b = m._12, c = m._13, d = m._21, e = m._22, f = m._23, g = m._31, h = m._32,
        i = m._33;
  float A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
  float det = a * A + b * B + c * C;
  if (std::fabs(det) < 1e-30f) {
    for (int k = 0; k < 9; ++k) out[k] = m.m[k / 3][k % 3];
    return;
  }
  float inv = 1.0f / det;
  // Inverse transpose = cofactor matrix / det.
  out[0] = A * inv;
  out[1] = B * inv;
  out[2] = C * inv;
  out[3] = -(b * i - c * h) * inv;
  out[4] = (a * i - c * g) * inv;
  out[5] = -(a * h - b * g) * inv;
  out[6] = (b * f - c * e) * inv;
  out[7] = -(a * f - c * d) * inv;
  out[8] = (a * e - b * d) * inv;
}

void transformPoint(const D3DVECTOR& p, const D3DMATRIX& m, float out[4]) {
  for (int j = 0; j < 3; ++j) out[j] = p.x * m.m[0][j] + p.y * m.m[1][j] + p.z * m.m[2][j] + m.m[3][j];
  out[3] = 1.0f;
}

void transformDirection(const D3DVECTOR& d, const D3DMATRIX& m, float out[4]) {
  for (int j = 0; j < 3; ++j) out[j] = d.x * m.m[0][j] + d.y * m.m[1][j] + d.z * m.m[2][j];
  float length = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
  if (length > 0.0f)
    for (int j = 0; j < 3; ++j) out[j] /= length;
  out[3] = 0.0f;
}

float asFloat(DWORD bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

GLenum compareFunction(DWORD func) {
  switch (func) {
    case D3DCMP_NEVER:
      return GL_NEVER;
    case D3DCMP_LESS:
      return GL_LESS;
    case D3DCMP_EQUAL:
      return GL_EQUAL;
    case D3DCMP_LESSEQUAL:
      return GL_LEQUAL;
    case D3DCMP_GREATER:
      return GL_GREATER;
    case D3DCMP_NOTEQUAL:
      return GL_NOTEQUAL;
    case D3DCMP_GREATEREQUAL:
      return GL_GEQUAL;
    default:
      return GL_ALWAYS;
  }
}

GLenum stencilOperation(DWORD op) {
  switch (op) {
    case D3DSTENCILOP_ZERO:
      return GL_ZERO;
    case D3DSTENCILOP_REPLACE:
      return GL_REPLACE;
    case D3DSTENCILOP_INCRSAT:
      return GL_INCR;
    case D3DSTENCILOP_DECRSAT:
      return GL_DECR;
    case D3DSTENCILOP_INVERT:
      return GL_INVERT;
    case D3DSTENCILOP_INCR:
      return GL_INCR_WRAP;
    case D3DSTENCILOP_DECR:
      return GL_DECR_WRAP;
    default:
      return GL_KEEP;
  }
}

// A blend factor; targets without alpha read a destination alpha of one
// (GL would read whatever the unused byte of their storage holds).
GLenum blendFactor(DWORD factor, bool destinationAlpha) {
  switch (factor) {
    case D3DBLEND_ZERO:
      return GL_ZERO;
    case D3DBLEND_ONE:
      return GL_ONE;
    case D3DBLEND_SRCCOLOR:
      return GL_SRC_COLOR;
    case D3DBLEND_INVSRCCOLOR:
      return GL_ONE_MINUS_SRC_COLOR;
    case D3DBLEND_SRCALPHA:
      return GL_SRC_ALPHA;
    case D3DBLEND_INVSRCALPHA:
      return GL_ONE_MINUS_SRC_ALPHA;
    case D3DBLEND_DESTALPHA:
      return destinationAlpha ? GL_DST_ALPHA : GL_ONE;
    case D3DBLEND_INVDESTALPHA:
      return destinationAlpha ? GL_ONE_MINUS_DST_ALPHA : GL_ZERO;
    case D3DBLEND_DESTCOLOR:
      return GL_DST_COLOR;
    case D3DBLEND_INVDESTCOLOR:
      return GL_ONE_MINUS_DST_COLOR;
    case D3DBLEND_SRCALPHASAT:
      // min(As, 1 - Ad) on the colour: zero when the destination alpha is one.
      return destinationAlpha ? GL_SRC_ALPHA_SATURATE : GL_ZERO;
    case D3DBLEND_BLENDFACTOR:
      return GL_CONSTANT_COLOR;
    case D3DBLEND_INVBLENDFACTOR:
      return GL_ONE_MINUS_CONSTANT_COLOR;
    default:
      return GL_ONE;
  }
}

// Source and destination factors, with the two "both" modes, which set the
// destination from the source.
void blendFactors(DWORD source, DWORD destination, bool destinationAlpha, GLenum& s, GLenum& d) {
  if (source == D3DBLEND_BOTHSRCALPHA) {
    s = GL_SRC_ALPHA;
    d = GL_ONE_MINUS_SRC_ALPHA;
  } else if (source == D3DBLEND_BOTHINVSRCALPHA) {
    s = GL_ONE_MINUS_SRC_ALPHA;
    d = GL_SRC_ALPHA;
  } else {
    s = blendFactor(source, destinationAlpha);
    d = blendFactor(destination, destinationAlpha);
  }
}

GLenum blendEquation(DWORD op) {
  switch (op) {
    case D3DBLENDOP_SUBTRACT:
      return GL_FUNC_SUBTRACT;
    case D3DBLENDOP_REVSUBTRACT:
      return GL_FUNC_REVERSE_SUBTRACT;
    case D3DBLENDOP_MIN:
      return GL_MIN;
    case D3DBLENDOP_MAX:
      return GL_MAX;
    default:
      return GL_FUNC_ADD;
  }
}

GLint addressMode(DWORD mode) {
  switch (mode) {
    case D3DTADDRESS_MIRROR:
      return GL_MIRRORED_REPEAT;
    case D3DTADDRESS_CLAMP:
      return GL_CLAMP_TO_EDGE;
    case D3DTADDRESS_BORDER:
      return GL_CLAMP_TO_BORDER;
    case D3DTADDRESS_MIRRORONCE:
      return GL_MIRROR_CLAMP_TO_EDGE;
    default:
      return GL_REPEAT;
  }
}

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

void Pipeline::makeStream(size_t size) {
  if (streamName) {
    // Draws still queued keep the old storage alive until they are done.
    glUnmapNamedBuffer(streamName);
    glDeleteBuffers(1, &streamName);
    forgetBuffer(streamName);
  }
  for (GLsync& fence : quarterFences) {
    if (fence) glDeleteSync(fence);
    fence = nullptr;
  }
  const GLbitfield flags = GL_MAP_WRITE_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT;
  glCreateBuffers(1, &streamName);
  glNamedBufferStorage(streamName, GLsizeiptr(size), nullptr, flags);
  streamMemory = static_cast<uint8_t*>(glMapNamedBufferRange(streamName, 0, GLsizeiptr(size), flags));
  streamSize = size;
  streamPosition = 0;
  streamQuarter = 0;
}

void Pipeline::enterQuarter(int quarter) {
  // The quarter we leave is fenced behind the draws that read it; the one
  // we enter must be free of the draws that read it last time round.
  if (!quarterFences[streamQuarter])
    quarterFences[streamQuarter] = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
  streamQuarter = quarter;
  if (GLsync fence = quarterFences[quarter]) {
    glClientWaitSync(fence, GL_SYNC_FLUSH_COMMANDS_BIT, GLuint64(10) * 1000 * 1000 * 1000);
    glDeleteSync(fence);
    quarterFences[quarter] = nullptr;
  }
}

size_t Pipeline::programCount() const { return programs.size(); }

void Pipeline::invalidate() {
  for (auto& entry : vertexArrays) {
    entry.second.buffer = entry.second.elements = GLuint(-1);
    entry.second.offset = entry.second.stride = -1;
  }
  std::memset(samplerValues, 0xff, sizeof samplerValues);
  samplerVersion = 0;
  std::memset(rasterVersions, 0, sizeof rasterVersions);
  settled = {};
  // Uniforms live in the programs, which others do not touch.
}

void Pipeline::forgetBuffer(GLuint buffer) {
  for (auto& entry : vertexArrays) {
    if (entry.second.buffer == buffer) entry.second.buffer = GLuint(-1);
    if (entry.second.elements == buffer) entry.second.elements = GLuint(-1);
  }
}

void Pipeline::reserve(size_t bytes) {
  size_t quarter = streamSize / 4;
  if (bytes > quarter) {
    size_t size = streamSize;
    while (bytes > size / 4) size *= 2;
    makeStream(size);
    quarter = streamSize / 4;
  }
  if (streamPosition + bytes > streamSize) {
    enterQuarter(0);
    streamPosition = 0;
  }
  int last = int((streamPosition + bytes - 1) / quarter);
  while (streamQuarter < last) enterQuarter(streamQuarter + 1);
}

GLintptr Pipeline::stream(const void* data, size_t bytes, size_t alignment) {
  reserve(bytes + alignment);
  size_t start = (streamPosition + alignment - 1) / alignment * alignment;
  std::memcpy(streamMemory + start, data, bytes);
  streamPosition = start + bytes;
  return GLintptr(start);
}

// ---------------------------------------------------------------------------
// Vertex formats

Pipeline::VertexArray& Pipeline::vertexArray(DWORD fvf) {
  if (lastVertexArray && lastFVF == fvf) return *lastVertexArray;
  auto found = vertexArrays.find(fvf);
  if (found != vertexArrays.end()) {
    lastFVF = fvf;
    lastVertexArray = &found->second;
    return found->second;
  }
  VertexArray& va = vertexArrays[fvf];
  lastFVF = fvf;
  lastVertexArray = &va;
  glCreateVertexArrays(1, &va.name);
  GLuint vao = va.name;
  GLuint offset = 0;
  auto attribute = [&](GLuint index, GLint size, GLenum type, bool normalised, GLuint bytes) {
    glEnableVertexArrayAttrib(vao, index);
    glVertexArrayAttribFormat(vao, index, size, type, normalised ? GL_TRUE : GL_FALSE, offset);
    glVertexArrayAttribBinding(vao, index, 0);
    offset += bytes;
  };
  DWORD position = fvf & D3DFVF_POSITION_MASK;
  if (position == D3DFVF_XYZRHW || position == D3DFVF_XYZW) {
    attribute(kAttrPosition, 4, GL_FLOAT, false, 16);
  } else {
    attribute(kAttrPosition, 3, GL_FLOAT, false, 12);
    if (position >= D3DFVF_XYZB1 && position <= D3DFVF_XYZB5) {
      GLuint betas = (position - 4) / 2;
      bool lastIsIndex = (fvf & (D3DFVF_LASTBETA_UBYTE4 | D3DFVF_LASTBETA_D3DCOLOR)) != 0;
      GLuint weights = betas - (lastIsIndex ? 1 : 0);
      if (weights > 0) attribute(kAttrWeights, GLint(std::min(weights, 4u)), GL_FLOAT, false, 4 * weights);
      if (lastIsIndex) offset += 4;
    }
  }
  if (fvf & D3DFVF_NORMAL) attribute(kAttrNormal, 3, GL_FLOAT, false, 12);
  if (fvf & D3DFVF_PSIZE) attribute(kAttrPointSize, 1, GL_FLOAT, false, 4);
  // Colours are stored B, G, R, A: GL reads them that way with GL_BGRA.
  if (fvf & D3DFVF_DIFFUSE) attribute(kAttrDiffuse, GL_BGRA, GL_UNSIGNED_BYTE, true, 4);
  if (fvf & D3DFVF_SPECULAR) attribute(kAttrSpecular, GL_BGRA, GL_UNSIGNED_BYTE, true, 4);
  int sets = std::min<int>(int((fvf & D3DFVF_TEXCOUNT_MASK) >> D3DFVF_TEXCOUNT_SHIFT), 8);
  for (int i = 0; i < sets; ++i) {
    GLint size = 2;
    switch ((fvf >> (16 + i * 2)) & 3) {
      case D3DFVF_TEXTUREFORMAT1:
        size = 1;
        break;
      case D3DFVF_TEXTUREFORMAT3:
        size = 3;
        break;
      case D3DFVF_TEXTUREFORMAT4:
        size = 4;
        break;
      default:
        break;
    }
    attribute(GLuint(kAttrTexCoord0 + i), size, GL_FLOAT, false, GLuint(4 * size));
  }
  return va;
}

// ---------------------------------------------------------------------------
// Program and uniforms

namespace {

bool perspective(const D3DMATRIX& p) {
  return !(p._14 == 0.0f && p._24 == 0.0f && p._34 == 0.0f && p._44 == 1.0f);
}

}  // namespace

Program* Pipeline::selectProgram(DeviceState& state, bool points) {
  const StateVersions& v = state.versions;
  uint64_t now[6] = {v.renderStates, v.stageStates, v.textures, v.vertexFormat, v.lights,
                     uint64_t(points)};
  // Table fog is the one part of the program that follows a matrix: it
  // fogs on eye depth under a perspective projection.
  bool same = std::memcmp(now, keyVersions, sizeof now) == 0 &&
              (!keyTableFog || perspective(state.projection) == keyFogFromW);
  if (same) return program;
  std::memcpy(keyVersions, now, sizeof now);
  for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) {
    TextureStorage* t = state.textures[i] ? storageOf(state.textures[i]) : nullptr;
    storages[i] = t;
    kinds[i] = !t ? kTextureNone : t->target == GL_TEXTURE_CUBE_MAP ? kTextureCube : kTexture2D;
  }
  ProgramKey key = makeProgramKey(state, state.fvf, kinds, points);
  keyTableFog = key.fog == 2;
  keyFogFromW = key.fogFromW;
  if (programs.size() >= kMaxPrograms) {
    // A demo uses some dozens of state combinations; this many means states
    // that wander without end. Start over rather than grow without bound.
    programs.clear();
    gl.shadow.program = GLuint(-1);
  }
  program = programs.get(key);
  samplerVersion = 0;  // textures may have moved between units
  return program;
}

bool Pipeline::groupChanged(UniformGroup group, std::initializer_list<uint64_t> now) {
  uint64_t* seen = sources[group];
  size_t i = 0;
  bool changed = false;
  for (uint64_t value : now) {
    changed = changed || seen[i] != value;
    seen[i++] = value;
  }
  if (changed) ++epochs[group];
  return changed;
}

void Pipeline::deriveWorldView(const DeviceState& s, int count) {
  if (groupChanged(kGroupWorldView, {s.versions.world, s.versions.view})) worldViewCount = 0;
  if (worldViewCount >= count) return;
  for (int i = worldViewCount; i < count; ++i) {
    D3DMATRIX wv = multiply(s.world[i], s.view);
    std::memcpy(worldViewNormal[i], &wv, sizeof wv);
    float normal[9];
    normalMatrixOf(wv, normal);
    for (int row = 0; row < 3; ++row) {
      std::memcpy(worldViewNormal[i][4 + row], normal + 3 * row, 3 * sizeof(float));
      worldViewNormal[i][4 + row][3] = 0.0f;
    }
  }
  if (worldViewCount > 0) ++epochs[kGroupWorldView];  // programs with fewer matrices re-upload
  worldViewCount = count;
}

void Pipeline::deriveLights(const DeviceState& s) {
  if (!groupChanged(kGroupLights, {s.versions.lights, s.versions.material, s.versions.renderStates,
                                   s.versions.view}))
    return;
  valueToFloats(s.material.Diffuse, material[0]);
  valueToFloats(s.material.Ambient, material[1]);
  valueToFloats(s.material.Specular, material[2]);
  valueToFloats(s.material.Emissive, material[3]);
  materialPower = s.material.Power;
  colourToFloats(s.renderStates[D3DRS_AMBIENT], globalAmbient);
  // Lights go in the order the program expects: directional, point, spot.
  size_t active = std::min<size_t>(s.activeLights.size(), D3DMAX_ACTIVE_LIGHTS);
  int slot = 0;
  for (D3DLIGHTTYPE type : {D3DLIGHT_DIRECTIONAL, D3DLIGHT_POINT, D3DLIGHT_SPOT}) {
    for (size_t i = 0; i < active; ++i) {
      const D3DLIGHT9& l = s.lights.at(s.activeLights[i]).light;
      D3DLIGHTTYPE t = l.Type == D3DLIGHT_POINT || l.Type == D3DLIGHT_DIRECTIONAL ? l.Type
                                                                                  : D3DLIGHT_SPOT;
      if (t != type) continue;
      valueToFloats(l.Diffuse, lightDiffuse[slot]);
      valueToFloats(l.Specular, lightSpecular[slot]);
      valueToFloats(l.Ambient, lightAmbient[slot]);
      transformPoint(l.Position, s.view, lightPosition[slot]);
      transformDirection(l.Direction, s.view, lightDirection[slot]);
      lightAttenuation[slot][0] = l.Attenuation0;
      lightAttenuation[slot][1] = l.Attenuation1;
      lightAttenuation[slot][2] = l.Attenuation2;
      lightAttenuation[slot][3] = l.Range;
      lightSpot[slot][0] = std::cos(l.Theta * 0.5f);
      lightSpot[slot][1] = std::cos(l.Phi * 0.5f);
      lightSpot[slot][2] = l.Falloff;
      lightSpot[slot][3] = 0.0f;
      ++slot;
    }
  }
}

void Pipeline::deriveStates(const DeviceState& s) {
  if (!groupChanged(kGroupStates, {s.versions.renderStates, s.versions.stageStates, s.versions.viewport}))
    return;
  const DWORD* rs = s.renderStates;
  fog[0] = asFloat(rs[D3DRS_FOGSTART]);
  fog[1] = asFloat(rs[D3DRS_FOGEND]);
  fog[2] = asFloat(rs[D3DRS_FOGDENSITY]);
  fog[3] = 0.0f;
  if (fog[1] == fog[0]) fog[1] = fog[0] + 1e-6f;  // linear fog over no distance
  colourToFloats(rs[D3DRS_FOGCOLOR], fogColor);
  colourToFloats(rs[D3DRS_TEXTUREFACTOR], textureFactor);
  for (int i = 0; i < 8; ++i) colourToFloats(s.stageStates[i][D3DTSS_CONSTANT], stageConstant[i]);
  alphaRef = float(rs[D3DRS_ALPHAREF] & 0xff);
  pointSize[0] = asFloat(rs[D3DRS_POINTSIZE]);
  pointSize[1] = asFloat(rs[D3DRS_POINTSIZE_MIN]);
  pointSize[2] = asFloat(rs[D3DRS_POINTSIZE_MAX]);
  pointSize[3] = 0.0f;
  pointScale[0] = asFloat(rs[D3DRS_POINTSCALE_A]);
  pointScale[1] = asFloat(rs[D3DRS_POINTSCALE_B]);
  pointScale[2] = asFloat(rs[D3DRS_POINTSCALE_C]);
  pointScale[3] = float(s.viewport.Height);
}

void Pipeline::uploadWorld(const DeviceState& s, Program& p) {
  const ProgramUniforms& u = p.uniforms;
  uint64_t* stamps = p.stamps;
  if (u.worldView >= 0) {
    deriveWorldView(s, p.blendMatrices);
    if (stamps[kGroupWorldView] != epochs[kGroupWorldView]) {
      stamps[kGroupWorldView] = epochs[kGroupWorldView];
      glUniform4fv(u.worldView, 7 * p.blendMatrices, &worldViewNormal[0][0][0]);
    }
  }
  if (u.clipPlane >= 0) {
    if (groupChanged(kGroupClip, {s.versions.clipPlanes, s.versions.world})) {
      std::memcpy(world, &s.world[0], sizeof world);
      for (int i = 0; i < kClipPlanes; ++i)
        std::memcpy(clipPlane[i], s.clipPlanes[i], sizeof clipPlane[i]);
    }
    if (stamps[kGroupClip] != epochs[kGroupClip]) {
      stamps[kGroupClip] = epochs[kGroupClip];
      glUniform4fv(u.clipPlane, 6, &clipPlane[0][0]);
      if (u.world >= 0) glUniformMatrix4fv(u.world, 1, GL_FALSE, world);
    }
  }
}

// Uniforms go to the program in use (bound just before), which spares GL
// looking the program up by name.
void Pipeline::uploadUniforms(DeviceState& s, Program& p) {
  const ProgramUniforms& u = p.uniforms;
  uint64_t* stamps = p.stamps;
  auto due = [&](UniformGroup g) {
    if (stamps[g] == epochs[g]) return false;
    stamps[g] = epochs[g];
    return true;
  };
  uploadWorld(s, p);
  if (u.projection >= 0) {
    if (groupChanged(kGroupProjection, {s.versions.projection}))
      std::memcpy(projection, &s.projection, sizeof projection);
    if (due(kGroupProjection)) glUniformMatrix4fv(u.projection, 1, GL_FALSE, projection);
  }
  int w = gl.currentTargetWidth(), h = gl.currentTargetHeight();
  if (groupChanged(kGroupViewport, {s.versions.viewport, uint64_t(w) << 32 | uint64_t(h)})) {
    const D3DVIEWPORT9& vp = s.viewport;
    viewport[0] = float(vp.X);
    viewport[1] = float(vp.Y);
    viewport[2] = float(std::max<DWORD>(vp.Width, 1));
    viewport[3] = float(std::max<DWORD>(vp.Height, 1));
    depthRange[0] = vp.MinZ;
    depthRange[1] = vp.MaxZ;
    // Direct3D puts pixel centres on whole coordinates; GL half a pixel on.
    // One sub-pixel step less keeps edges from tying with centres (see the
    // pretransformed path in FixedFunction.cpp).
    const float shift = 2.0f * (0.5f - 1.0f / 256.0f);
    halfPixel[0] = shift / viewport[2];
    halfPixel[1] = -shift / viewport[3];
  }
  if (due(kGroupViewport)) {
    if (u.viewport >= 0) glUniform4fv(u.viewport, 1, viewport);
    if (u.depthRange >= 0) glUniform2fv(u.depthRange, 1, depthRange);
    if (u.halfPixel >= 0) glUniform2fv(u.halfPixel, 1, halfPixel);
  }
  if (u.textureMatrix >= 0) {
    if (groupChanged(kGroupTexture, {s.versions.textureMatrices}))
      for (int i = 0; i < 8; ++i) std::memcpy(textureMatrix[i], &s.texture[i], sizeof textureMatrix[i]);
    if (due(kGroupTexture))
      glUniformMatrix4fv(u.textureMatrix, 8, GL_FALSE, &textureMatrix[0][0]);
  }
  if (u.materialDiffuse >= 0 || u.lightDiffuse >= 0) {
    deriveLights(s);
    if (due(kGroupLights)) {
      if (u.materialDiffuse >= 0) glUniform4fv(u.materialDiffuse, 1, material[0]);
      if (u.materialAmbient >= 0) glUniform4fv(u.materialAmbient, 1, material[1]);
      if (u.materialSpecular >= 0) glUniform4fv(u.materialSpecular, 1, material[2]);
      if (u.materialEmissive >= 0) glUniform4fv(u.materialEmissive, 1, material[3]);
      if (u.materialPower >= 0) glUniform1f(u.materialPower, materialPower);
      if (u.globalAmbient >= 0) glUniform4fv(u.globalAmbient, 1, globalAmbient);
      if (u.lightDiffuse >= 0) {
        GLsizei n = p.lights;
        glUniform4fv(u.lightDiffuse, n, &lightDiffuse[0][0]);
        glUniform4fv(u.lightSpecular, n, &lightSpecular[0][0]);
        glUniform4fv(u.lightAmbient, n, &lightAmbient[0][0]);
        glUniform4fv(u.lightPosition, n, &lightPosition[0][0]);
        glUniform4fv(u.lightDirection, n, &lightDirection[0][0]);
        glUniform4fv(u.lightAttenuation, n, &lightAttenuation[0][0]);
        glUniform4fv(u.lightSpot, n, &lightSpot[0][0]);
      }
    }
  }
  deriveStates(s);
  if (due(kGroupStates)) {
    if (u.fog >= 0) glUniform4fv(u.fog, 1, fog);
    if (u.fogColor >= 0) glUniform4fv(u.fogColor, 1, fogColor);
    if (u.textureFactor >= 0) glUniform4fv(u.textureFactor, 1, textureFactor);
    if (u.stageConstant >= 0) glUniform4fv(u.stageConstant, 8, &stageConstant[0][0]);
    if (u.alphaRef >= 0) glUniform1f(u.alphaRef, alphaRef);
    if (u.pointSize >= 0) glUniform4fv(u.pointSize, 1, pointSize);
    if (u.pointScale >= 0) glUniform4fv(u.pointScale, 1, pointScale);
  }
}

// ---------------------------------------------------------------------------
// Textures and samplers

void Pipeline::applySampler(int unit, const DWORD* v) {
  DWORD* seen = samplerValues[unit];
  if (std::memcmp(seen, v, sizeof samplerValues[unit]) == 0) return;
  GLuint sampler = samplers[unit];
  auto changed = [&](int id) { return seen[id] != v[id]; };
  if (changed(D3DSAMP_ADDRESSU)) glSamplerParameteri(sampler, GL_TEXTURE_WRAP_S, addressMode(v[D3DSAMP_ADDRESSU]));
  if (changed(D3DSAMP_ADDRESSV)) glSamplerParameteri(sampler, GL_TEXTURE_WRAP_T, addressMode(v[D3DSAMP_ADDRESSV]));
  if (changed(D3DSAMP_ADDRESSW)) glSamplerParameteri(sampler, GL_TEXTURE_WRAP_R, addressMode(v[D3DSAMP_ADDRESSW]));
  if (changed(D3DSAMP_BORDERCOLOR)) {
    float c[4];
    colourToFloats(v[D3DSAMP_BORDERCOLOR], c);
    glSamplerParameterfv(sampler, GL_TEXTURE_BORDER_COLOR, c);
  }
  if (changed(D3DSAMP_MAGFILTER))
    glSamplerParameteri(sampler, GL_TEXTURE_MAG_FILTER,
                        v[D3DSAMP_MAGFILTER] <= D3DTEXF_POINT ? GL_NEAREST : GL_LINEAR);
  if (changed(D3DSAMP_MINFILTER) || changed(D3DSAMP_MIPFILTER)) {
    bool linear = v[D3DSAMP_MINFILTER] > D3DTEXF_POINT;
    DWORD mip = v[D3DSAMP_MIPFILTER];
    GLint filter = mip == D3DTEXF_NONE    ? (linear ? GL_LINEAR : GL_NEAREST)
                   : mip == D3DTEXF_POINT ? (linear ? GL_LINEAR_MIPMAP_NEAREST : GL_NEAREST_MIPMAP_NEAREST)
                                          : (linear ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST_MIPMAP_LINEAR);
    glSamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, filter);
  }
  if (changed(D3DSAMP_MAXANISOTROPY) || changed(D3DSAMP_MINFILTER) || changed(D3DSAMP_MAGFILTER)) {
    bool anisotropic = v[D3DSAMP_MINFILTER] == D3DTEXF_ANISOTROPIC ||
                       v[D3DSAMP_MAGFILTER] == D3DTEXF_ANISOTROPIC;
    float amount = anisotropic ? float(std::clamp<DWORD>(v[D3DSAMP_MAXANISOTROPY], 1, 16)) : 1.0f;
    glSamplerParameterf(sampler, GL_TEXTURE_MAX_ANISOTROPY, amount);
  }
  if (changed(D3DSAMP_MIPMAPLODBIAS))
    glSamplerParameterf(sampler, GL_TEXTURE_LOD_BIAS, asFloat(v[D3DSAMP_MIPMAPLODBIAS]));
  if (changed(D3DSAMP_MAXMIPLEVEL)) {
    // The largest level allowed; at 0 GL's own default (no limit) does the
    // same and keeps the sampler on GL's fast paths.
    DWORD level = std::min<DWORD>(v[D3DSAMP_MAXMIPLEVEL], 16);
    glSamplerParameterf(sampler, GL_TEXTURE_MIN_LOD, level ? float(level) : -1000.0f);
  }
  std::memcpy(seen, v, sizeof samplerValues[unit]);
}

void Pipeline::bindTextures(DeviceState& s) {
  bool samplersCurrent = samplerVersion == s.versions.samplers;
  samplerVersion = s.versions.samplers;
  for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) {
    if (kinds[i] == kTextureNone) continue;
    TextureStorage* t = storages[i];
    t->prepareForSampling();
    gl.bindTexture(i, t->target, t->texture);
    if (!samplersCurrent) applySampler(i, s.samplerStates[i]);
  }
}

// ---------------------------------------------------------------------------
// Raster state

void Pipeline::applyRasterState(const DeviceState& s) {
  uint64_t now[5] = {s.versions.renderStates, s.versions.viewport, uint64_t(uintptr_t(s.renderTarget)),
                     uint64_t(uintptr_t(s.depthStencil)), gl.disturbances};
  if (std::memcmp(now, rasterVersions, sizeof now) == 0) return;
  std::memcpy(rasterVersions, now, sizeof now);
  const DWORD* rs = s.renderStates;
  GLStateShadow& sh = gl.shadow;
  const D3DVIEWPORT9& vp = s.viewport;
  GLint box[4] = {GLint(vp.X), GLint(vp.Y), GLint(vp.Width), GLint(vp.Height)};
  if (std::memcmp(box, sh.viewport, sizeof box) != 0) {
    std::memcpy(sh.viewport, box, sizeof box);
    glViewport(box[0], box[1], box[2], box[3]);
  }
  if (sh.depthRange[0] != vp.MinZ || sh.depthRange[1] != vp.MaxZ) {
    sh.depthRange[0] = vp.MinZ;
    sh.depthRange[1] = vp.MaxZ;
    glDepthRange(vp.MinZ, vp.MaxZ);
  }

  if (rs[D3DRS_SCISSORTESTENABLE]) {
    gl.enable(kCapScissor, true);
    RECT r = s.scissor;
    r.left = std::max<LONG>(r.left, 0);
    r.top = std::max<LONG>(r.top, 0);
    gl.setScissor(r.left, r.top, std::max<LONG>(r.right - r.left, 0), std::max<LONG>(r.bottom - r.top, 0));
  } else {
    gl.enable(kCapScissor, false);
  }

  bool depth = s.depthStencil && rs[D3DRS_ZENABLE] != D3DZB_FALSE;
  gl.enable(kCapDepthTest, depth);
  if (depth) {
    GLenum func = compareFunction(rs[D3DRS_ZFUNC]);
    if (sh.depthFunc != func) {
      sh.depthFunc = func;
      glDepthFunc(func);
    }
    gl.setDepthMask(rs[D3DRS_ZWRITEENABLE] != 0);
  }
  float slope = asFloat(rs[D3DRS_SLOPESCALEDEPTHBIAS]);
  float bias = asFloat(rs[D3DRS_DEPTHBIAS]);
  bool offset = depth && (slope != 0.0f || bias != 0.0f);
  gl.enable(kCapPolygonOffsetFill, offset);
  if (offset) {
    // Direct3D's bias is in depth units; GL's in steps of the depth format.
    int bits = s.depthStencil->format == D3DFMT_D16 || s.depthStencil->format == D3DFMT_D16_LOCKABLE ? 16 : 24;
    float units = bias * float((1u << bits) - 1);
    if (sh.polygonOffset[0] != slope || sh.polygonOffset[1] != units) {
      sh.polygonOffset[0] = slope;
      sh.polygonOffset[1] = units;
      glPolygonOffset(slope, units);
    }
  }

  bool hasStencil = s.depthStencil && s.depthStencil->info && s.depthStencil->info->stencil;
  bool stencil = hasStencil && rs[D3DRS_STENCILENABLE];
  gl.enable(kCapStencil, stencil);
  if (stencil) {
    bool twoSided = rs[D3DRS_TWOSIDEDSTENCILMODE] != 0;
    // GL's front faces are Direct3D's clockwise ones.
    for (int face = 0; face < 2; ++face) {
      bool ccw = face == 1 && twoSided;
      GLenum func = compareFunction(rs[ccw ? D3DRS_CCW_STENCILFUNC : D3DRS_STENCILFUNC]);
      GLint ref = GLint(rs[D3DRS_STENCILREF] & 0xff);
      GLuint mask = rs[D3DRS_STENCILMASK];
      GLenum side = face == 0 ? GL_FRONT : GL_BACK;
      if (sh.stencilFunc[face] != func || sh.stencilRef[face] != ref || sh.stencilMask[face] != mask) {
        sh.stencilFunc[face] = func;
        sh.stencilRef[face] = ref;
        sh.stencilMask[face] = mask;
        glStencilFuncSeparate(side, func, ref, mask);
      }
      GLenum ops[3] = {stencilOperation(rs[ccw ? D3DRS_CCW_STENCILFAIL : D3DRS_STENCILFAIL]),
                       stencilOperation(rs[ccw ? D3DRS_CCW_STENCILZFAIL : D3DRS_STENCILZFAIL]),
                       stencilOperation(rs[ccw ? D3DRS_CCW_STENCILPASS : D3DRS_STENCILPASS])};
      if (std::memcmp(ops, sh.stencilOp[face], sizeof ops) != 0) {
        std::memcpy(sh.stencilOp[face], ops, sizeof ops);
        glStencilOpSeparate(side, ops[0], ops[1], ops[2]);
      }
    }
    gl.setStencilWriteMask(rs[D3DRS_STENCILWRITEMASK], rs[D3DRS_STENCILWRITEMASK]);
  }

  bool blend = rs[D3DRS_ALPHABLENDENABLE] != 0;
  gl.enable(kCapBlend, blend);
  if (blend) {
    bool destinationAlpha = s.renderTarget && s.renderTarget->info && s.renderTarget->info->hasAlpha;
    GLenum f[4];
    blendFactors(rs[D3DRS_SRCBLEND], rs[D3DRS_DESTBLEND], destinationAlpha, f[0], f[1]);
    GLenum eq[2] = {blendEquation(rs[D3DRS_BLENDOP]), 0};
    if (rs[D3DRS_SEPARATEALPHABLENDENABLE]) {
      blendFactors(rs[D3DRS_SRCBLENDALPHA], rs[D3DRS_DESTBLENDALPHA], destinationAlpha, f[2], f[3]);
      eq[1] = blendEquation(rs[D3DRS_BLENDOPALPHA]);
    } else {
      f[2] = f[0];
      f[3] = f[1];
      eq[1] = eq[0];
    }
    if (std::memcmp(f, sh.blendFunc, sizeof f) != 0) {
      std::memcpy(sh.blendFunc, f, sizeof f);
      glBlendFuncSeparate(f[0], f[1], f[2], f[3]);
    }
    if (std::memcmp(eq, sh.blendEquation, sizeof eq) != 0) {
      std::memcpy(sh.blendEquation, eq, sizeof eq);
      glBlendEquationSeparate(eq[0], eq[1]);
    }
    float factor[4];
    colourToFloats(rs[D3DRS_BLENDFACTOR], factor);
    if (std::memcmp(factor, sh.blendColor, sizeof factor) != 0) {
      std::memcpy(sh.blendColor, factor, sizeof factor);
      glBlendColor(factor[0], factor[1], factor[2], factor[3]);
    }
  }

  // Direct3D's clockwise triangles (as seen on screen) are GL's front faces.
  if (sh.frontFace != GL_CW) {
    sh.frontFace = GL_CW;
    glFrontFace(GL_CW);
  }
  DWORD cull = rs[D3DRS_CULLMODE];
  gl.enable(kCapCull, cull == D3DCULL_CW || cull == D3DCULL_CCW);
  GLenum face = cull == D3DCULL_CW ? GL_FRONT : GL_BACK;
  if ((cull == D3DCULL_CW || cull == D3DCULL_CCW) && sh.cullFace != face) {
    sh.cullFace = face;
    glCullFace(face);
  }
  GLenum fill = rs[D3DRS_FILLMODE] == D3DFILL_POINT       ? GL_POINT
                : rs[D3DRS_FILLMODE] == D3DFILL_WIREFRAME ? GL_LINE
                                                          : GL_FILL;
  if (sh.polygonMode != fill) {
    sh.polygonMode = fill;
    glPolygonMode(GL_FRONT_AND_BACK, fill);
  }
  gl.setColorMask(rs[D3DRS_COLORWRITEENABLE] & 0xf);
  gl.enable(kCapDither, rs[D3DRS_DITHERENABLE] != 0);
  DWORD planes = rs[D3DRS_CLIPPLANEENABLE];
  for (int i = 0; i < kClipPlanes; ++i) gl.enable(Cap(kCapClipDistance0 + i), (planes >> i) & 1);
}

// ---------------------------------------------------------------------------

void Pipeline::setProgramOverride(GLuint name) {
  overrideProgram = name;
  // The textures to bind are worked out anew for the next draw.
  std::memset(keyVersions, 0, sizeof keyVersions);
  settled = {};
}

void Pipeline::draw(DeviceState& s, const DrawCall& call) {
  bool points = call.mode == GL_POINTS || s.renderStates[D3DRS_FILLMODE] == D3DFILL_POINT;
  if (overrideProgram) {
    // A program of the caller's: every bound texture on its unit, no
    // fixed-function uniforms.
    if (std::memcmp(&s.versions.textures, &keyVersions[2], sizeof(uint64_t)) != 0) {
      std::memset(keyVersions, 0, sizeof keyVersions);
      keyVersions[2] = s.versions.textures;
      for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) {
        TextureStorage* t = s.textures[i] ? storageOf(s.textures[i]) : nullptr;
        storages[i] = t;
        kinds[i] = !t ? kTextureNone : t->target == GL_TEXTURE_CUBE_MAP ? kTextureCube : kTexture2D;
      }
      samplerVersion = 0;
    }
    gl.bindProgram(overrideProgram);
    bindTextures(s);
    applyRasterState(s);
  } else if (settled.program && settled.settings == s.versions.settings &&
             settled.disturbances == gl.disturbances && settled.target == s.renderTarget &&
             settled.depth == s.depthStencil && settled.points == points) {
    gl.bindProgram(settled.program->name);
    uploadWorld(s, *settled.program);
    bindTextures(s);  // textures may want their mipmaps made anew
  } else {
    settled = {};
    Program* p = selectProgram(s, points);
    if (!p) return;
    gl.bindProgram(p->name);
    uploadUniforms(s, *p);
    bindTextures(s);
    applyRasterState(s);
    settled = {p, s.versions.settings, gl.disturbances, s.renderTarget, s.depthStencil, points};
  }
  VertexArray& va = vertexArray(s.fvf);
  gl.bindVertexArray(va.name);
  if (va.buffer != call.vertexBuffer || va.offset != call.vertexOffset || va.stride != call.stride) {
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
