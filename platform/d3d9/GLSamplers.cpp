// Textures on their units and the sampler states of each unit, set on GL
// sampler objects where they changed.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <algorithm>
#include <cstring>

#include "platform/d3d9/GLPipelineInternal.h"
#include "platform/d3d9/TextureStorage.h"

namespace d3d9 {

namespace {

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

void Pipeline::applySampler(int unit, const DWORD* v) {
  DWORD* seen = samplerValues[unit];
  if (std::memcmp(seen, v, sizeof samplerValues[unit]) == 0) return;
  GLuint sampler = samplers[unit];
  auto changed = [&](int id) { return seen[id] != v[id]; };
  if (changed(D3DSAMP_ADDRESSU))
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_S, addressMode(v[D3DSAMP_ADDRESSU]));
  if (changed(D3DSAMP_ADDRESSV))
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_T, addressMode(v[D3DSAMP_ADDRESSV]));
  if (changed(D3DSAMP_ADDRESSW))
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_R, addressMode(v[D3DSAMP_ADDRESSW]));
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
    GLint filter = mip == D3DTEXF_NONE ? (linear ? GL_LINEAR : GL_NEAREST)
                   : mip == D3DTEXF_POINT
                       ? (linear ? GL_LINEAR_MIPMAP_NEAREST : GL_NEAREST_MIPMAP_NEAREST)
                       : (linear ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST_MIPMAP_LINEAR);
    glSamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, filter);
  }
  if (changed(D3DSAMP_MAXANISOTROPY) || changed(D3DSAMP_MINFILTER) || changed(D3DSAMP_MAGFILTER)) {
    bool anisotropic =
        v[D3DSAMP_MINFILTER] == D3DTEXF_ANISOTROPIC || v[D3DSAMP_MAGFILTER] == D3DTEXF_ANISOTROPIC;
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

[[gnu::hot]] void Pipeline::bindTextures(DeviceState& s) {
  bool samplersCurrent = samplerVersion == s.versions.samplers;
  samplerVersion = s.versions.samplers;
  for (unsigned units = sampledUnits; units; units &= units - 1) {
    const int i = __builtin_ctz(units);
    TextureStorage* t = s.textureStorages[i];
    if (!t) continue;
    t->prepareForSampling();
    gl.bindTexture(i, t->target, t->texture);
    if (!samplersCurrent) applySampler(i, s.samplerStates[i]);
  }
}

}  // namespace d3d9
