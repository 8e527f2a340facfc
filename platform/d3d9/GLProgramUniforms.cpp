// The fixed-function program for the state, and the uniforms derived from
// the state in groups, each uploaded only to programs that have not seen it.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "platform/d3d9/GLPipelineInternal.h"
#include "platform/d3d9/TextureStorage.h"

namespace d3d9 {

namespace {

constexpr size_t kMaxPrograms = 512;

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

// Row `a` (four floats) times the matrix `b` (16 floats, row by row),
// straight into `out` (which must be neither).
void multiplyRow(const float* __restrict a, const float* __restrict b, float* __restrict out) {
  for (int j = 0; j < 4; ++j)
    out[j] = a[0] * b[j] + a[1] * b[4 + j] + a[2] * b[8 + j] + a[3] * b[12 + j];
}

// The same for a whole matrix: each row of the product is its row of `a`
// times `b`, made as multiplyRow makes it.
void multiplyRows(const float* __restrict a, const float* __restrict b, float* __restrict out) {
  for (int i = 0; i < 4; ++i) multiplyRow(a + 4 * i, b, out + 4 * i);
}

// The matrix that takes normals along with a matrix whose upper 3x3 is `m`
// (row vectors, row by row): the inverse transpose of it, written row by
// row as GL receives it.
void normalMatrixOf(const float m[9], float out[9]) {
  float a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
  float A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
  float det = a * A + b * B + c * C;
  if (std::fabs(det) < 1e-30f) {
    for (int k = 0; k < 9; ++k) out[k] = m[k];
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

// The three rows a program reads for the normal matrix of a world-view
// matrix whose first three rows are `rows`: its normal matrix, a zero
// after each row.
void normalRowsOf(const float rows[3][4], float out[3][4]) {
  float upper[9];
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 3; ++column) upper[3 * row + column] = rows[row][column];
  float normal[9];
  normalMatrixOf(upper, normal);
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 4; ++column)
      out[row][column] = column < 3 ? normal[3 * row + column] : 0.0f;
}

bool isIdentity(const D3DMATRIX& m) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      if (m.m[i][j] != (i == j ? 1.0f : 0.0f)) return false;
  return true;
}

void transformPoint(const D3DVECTOR& p, const D3DMATRIX& m, float out[4]) {
  for (int j = 0; j < 3; ++j)
    out[j] = p.x * m.m[0][j] + p.y * m.m[1][j] + p.z * m.m[2][j] + m.m[3][j];
  out[3] = 1.0f;
}

void transformDirection(const D3DVECTOR& d, const D3DMATRIX& m, float out[4]) {
  for (int j = 0; j < 3; ++j) out[j] = d.x * m.m[0][j] + d.y * m.m[1][j] + d.z * m.m[2][j];
  float length = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
  if (length > 0.0f)
    for (int j = 0; j < 3; ++j) out[j] /= length;
  out[3] = 0.0f;
}

bool perspective(const D3DMATRIX& p) {
  return !(p._14 == 0.0f && p._24 == 0.0f && p._34 == 0.0f && p._44 == 1.0f);
}

}  // namespace

bool Pipeline::takeTextures(const DeviceState& state) {
  if (textureVersion == state.versions.textures) return false;
  textureVersion = state.versions.textures;
  // Other textures of the kinds the stages had change no kind (what is
  // bound is read from the state when it is bound).
  if (textureKindsVersion == state.versions.textureKinds) return false;
  textureKindsVersion = state.versions.textureKinds;
  bool kindsChanged = false;
  for (int i = 0; i < D3DMAX_TEXTURE_STAGES; ++i) {
    const TextureStorage* t = state.textureStorages[i];
    TextureKind kind = !t                                 ? kTextureNone
                       : t->target == GL_TEXTURE_CUBE_MAP ? kTextureCube
                                                          : kTexture2D;
    kindsChanged = kindsChanged || kinds[i] != kind;
    kinds[i] = kind;
  }
  if (kindsChanged) ++kindsVersion;
  return kindsChanged;
}

Program* Pipeline::selectProgram(DeviceState& state, bool points) {
  const StateVersions& v = state.versions;
  // Another texture of the same kind on a stage keeps the program.
  takeTextures(state);
  uint64_t now[6] = {v.programKey,   v.stageStates, kindsVersion,
                     v.vertexFormat, v.lights,      uint64_t(points)};
  // Table fog is the one part of the program that follows a matrix: it
  // fogs on eye depth under a perspective projection.
  bool same = std::memcmp(now, keyVersions, sizeof now) == 0 &&
              (!keyTableFog || perspective(state.projection) == keyFogFromW);
  if (same) return program;
  std::memcpy(keyVersions, now, sizeof now);
  ProgramKey key = makeProgramKey(state, *state.input, kinds, points);
  keyTableFog = key.fog == 2;
  keyFogFromW = key.fogFromW;
  if (programs.size() >= kMaxPrograms) {
    // A demo uses some dozens of state combinations; this many means states
    // that wander without end. Start over rather than grow without bound.
    programs.clear();
    gl.shadow.program = GLuint(-1);
  }
  program = programs.get(key);
  // Only the units the program reads are bound and prepared.
  sampledUnits = 0;
  for (int i = 0; i < key.stageCount; ++i)
    if (key.stage[i].texture != kTextureNone) sampledUnits |= 1u << i;
  samplerVersion = 0;  // textures may have moved between units
  return program;
}

[[gnu::hot]] bool Pipeline::groupChanged(UniformGroup group, std::initializer_list<uint64_t> now) {
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

[[gnu::hot]] void Pipeline::deriveWorldView(const DeviceState& s, int count, bool normals) {
  if (groupChanged(kGroupWorldView, {s.versions.world, s.versions.view})) {
    worldViewCount = normalCount = 0;
    viewIdentity(s);
  }
  if (worldViewCount < count) {
    // An identity view (common for screen-space work) leaves the world
    // matrix as it is.
    for (int i = worldViewCount; i < count; ++i) {
      if (viewIsIdentity) {
        std::memcpy(worldViewNormal[i], &s.world[i], sizeof s.world[i]);
      } else {
        D3DMATRIX wv = multiply(s.world[i], s.view);
        std::memcpy(worldViewNormal[i], &wv, sizeof wv);
      }
    }
    if (worldViewCount > 0) ++epochs[kGroupWorldView];  // programs with fewer matrices re-upload
    worldViewCount = count;
  }
  // The normal matrices only for programs that read them; the rows stay
  // as they were for the others, which never look at them.
  if (normals && normalCount < count) {
    for (int i = normalCount; i < count; ++i) {
      // A normal matrix follows the first three rows alone: a matrix that
      // only moves things from the last one (objects placed by
      // translation) keeps the rows already made from them.
      if (normalKnown[i] && sameBytes<sizeof normalSource[i]>(worldViewNormal[i], normalSource[i]))
        continue;
      std::memcpy(normalSource[i], worldViewNormal[i], sizeof normalSource[i]);
      normalKnown[i] = true;
      normalRowsOf(worldViewNormal[i], &worldViewNormal[i][4]);
    }
    // No epoch moves: programs that read normals upload after this, and
    // the others have no use for them.
    normalCount = count;
  }
}

[[gnu::hot]] void Pipeline::deriveLights(const DeviceState& s) {
  // The lights themselves only when they or the view moved (a new material
  // per draw is common, a new light is not).
  if (groupChanged(kGroupLights, {s.versions.lights, s.versions.view})) deriveLightValues(s);
  // (Whether the scene's ambient colour moved, before groupChanged takes
  // the version: most often only the material did.)
  const bool ambientMoved = sources[kGroupMaterial][1] != s.versions.lighting;
  if (!groupChanged(kGroupMaterial,
                    {s.versions.material, s.versions.lighting, epochs[kGroupLights]}))
    return;
  // The four colours in the order the material holds them (diffuse,
  // ambient, specular, emissive), in one copy.
  static_assert(offsetof(D3DMATERIAL9, Emissive) == sizeof material - sizeof material[0]);
  std::memcpy(material, &s.material, sizeof material);
  materialPower = s.material.Power;
  if (ambientMoved) colourToFloats(s.renderStates[D3DRS_AMBIENT], globalAmbient);
  // Combined with the material. Directional lights reach every vertex with
  // their whole ambient colour, which therefore joins the scene's. (Four
  // components at a time throughout: a draw with a new material runs this,
  // and the short loops stay short in code as well.)
  float ambient[4];
  std::memcpy(ambient, globalAmbient, sizeof ambient);
  for (int i = 0; i < directionalLights; ++i)
    for (int c = 0; c < 4; ++c) ambient[c] += lightAmbient[i][c];
  for (int c = 0; c < 4; ++c) litColour[0][c] = material[3][c] + material[1][c] * ambient[c];
  litColour[0][3] = material[0][3];
  for (int i = 0; i < activeLights; ++i)
    for (int c = 0; c < 4; ++c) {
      litColour[1 + i][c] = material[0][c] * lightDiffuse[i][c];
      litAmbient[i][c] = material[1][c] * lightAmbient[i][c];
      litSpecular[i][c] = material[2][c] * lightSpecular[i][c];
    }
}

void Pipeline::deriveLightValues(const DeviceState& s) {
  // Lights go in the order the program expects: directional, point, spot.
  size_t active = std::min<size_t>(s.activeLights.size(), D3DMAX_ACTIVE_LIGHTS);
  int slot = 0, directional = 0;
  for (D3DLIGHTTYPE type : {D3DLIGHT_DIRECTIONAL, D3DLIGHT_POINT, D3DLIGHT_SPOT}) {
    for (size_t i = 0; i < active; ++i) {
      const D3DLIGHT9& l = s.lights.at(s.activeLights[i]).light;
      D3DLIGHTTYPE t =
          l.Type == D3DLIGHT_POINT || l.Type == D3DLIGHT_DIRECTIONAL ? l.Type : D3DLIGHT_SPOT;
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
    if (type == D3DLIGHT_DIRECTIONAL) directional = slot;
  }
  activeLights = slot;
  directionalLights = directional;
}

[[gnu::hot]] void Pipeline::deriveStates(const DeviceState& s) {
  // (Which sources moved, before groupChanged takes them: the fog and the
  // stage constants follow their own.)
  const uint64_t* before = sources[kGroupStates];
  const bool fogMoved = before[1] != s.versions.fog,
             stagesMoved = before[2] != s.versions.stageStates;
  if (!groupChanged(kGroupStates, {s.versions.uniforms, s.versions.fog, s.versions.stageStates,
                                   s.versions.viewport}))
    return;
  const DWORD* rs = s.renderStates;
  // Colours are converted when their value moved (most often one of them
  // moves: the texture factor of each draw).
  auto convert = [](DWORD value, DWORD& seen, float out[4]) {
    if (value == seen) return;
    seen = value;
    colourToFloats(value, out);
  };
  if (fogMoved) {
    fog[0] = asFloat(rs[D3DRS_FOGSTART]);
    fog[1] = asFloat(rs[D3DRS_FOGEND]);
    fog[2] = asFloat(rs[D3DRS_FOGDENSITY]);
    fog[3] = 0.0f;
    if (fog[1] == fog[0]) fog[1] = fog[0] + 1e-6f;  // linear fog over no distance
    convert(rs[D3DRS_FOGCOLOR], convertedColours[0], fogColor);
  }
  convert(rs[D3DRS_TEXTUREFACTOR], convertedColours[1], textureFactor);
  if (stagesMoved)
    for (int i = 0; i < 8; ++i)
      convert(s.stageStates[i][D3DTSS_CONSTANT], convertedColours[2 + i], stageConstant[i]);
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

bool Pipeline::viewIdentity(const DeviceState& s) {
  if (viewVersion != s.versions.view) {
    viewVersion = s.versions.view;
    viewIsIdentity = isIdentity(s.view);
  }
  return viewIsIdentity;
}

[[gnu::hot]] void Pipeline::deriveProjected(const DeviceState& s, bool normals) {
  const uint64_t now[3] = {s.versions.world, s.versions.view, epochs[kGroupProjection]};
  if (!sameBytes<sizeof now>(now, projectedSources)) {
    std::memcpy(projectedSources, now, sizeof now);
    ++epochs[kGroupProjected];
    // World-view as deriveWorldView makes it: under an identity view the
    // world matrix itself, read where it is.
    D3DMATRIX product;
    const D3DMATRIX* worldViewMatrix = &s.world[0];
    if (!viewIdentity(s)) {
      product = multiply(s.world[0], s.view);
      worldViewMatrix = &product;
    }
    const auto& worldView = worldViewMatrix->m;
    // A world-view matrix that only moved things (its last row) since the
    // product was made, under the same projection, leaves the product's
    // first three rows and the normal matrix as they are (objects placed
    // by translation).
    if (projectedKnown && projectedFrom == epochs[kGroupProjection] &&
        sameBytes<sizeof projectedUpper>(worldView, projectedUpper)) {
      multiplyRow(worldView[3], projection, projectedWorld[3]);
    } else {
      projectedKnown = true;
      projectedFrom = epochs[kGroupProjection];
      std::memcpy(projectedUpper, worldView, sizeof projectedUpper);
      multiplyRows(&worldView[0][0], projection, &projectedWorld[0][0]);
      projectedNormals = false;
    }
  }
  if (normals && !projectedNormals) {
    normalRowsOf(projectedUpper, &projectedWorld[4]);
    projectedNormals = true;
  }
}

[[gnu::hot]] void Pipeline::uploadWorld(const DeviceState& s, Program& p) {
  const ProgramUniforms& u = p.uniforms;
  if (u.worldView >= 0 && p.projected) {
    // World-view-projection in the first four rows, the normal matrix (of
    // world-view) after them. The projection is as uploadUniforms derived
    // it last: it cannot have moved since without a call there.
    deriveProjected(s, p.normals);
    // (A program that reads the normal matrix and has not seen this epoch
    // receives it with the rest; one that has, received it then.)
    if (due(p, kGroupProjected)) {
      glUniform4fv(u.worldView, p.normals ? 7 : 4, &projectedWorld[0][0]);
    }
  } else if (u.worldView >= 0) {
    deriveWorldView(s, p.blendMatrices, p.normals);
    if (due(p, kGroupWorldView)) {
      // One matrix without normals: its four rows are all the program reads.
      GLsizei rows = !p.normals && p.blendMatrices == 1 ? 4 : 7 * p.blendMatrices;
      glUniform4fv(u.worldView, rows, &worldViewNormal[0][0][0]);
    }
  }
  if (u.clipPlane >= 0) {
    if (groupChanged(kGroupClip, {s.versions.clipPlanes, s.versions.world})) {
      std::memcpy(world, &s.world[0], sizeof world);
      for (int i = 0; i < kClipPlanes; ++i)
        std::memcpy(clipPlane[i], s.clipPlanes[i], sizeof clipPlane[i]);
    }
    if (due(p, kGroupClip)) {
      glUniform4fv(u.clipPlane, 6, &clipPlane[0][0]);
      if (u.world >= 0) glUniformMatrix4fv(u.world, 1, GL_FALSE, world);
    }
  }
}

// Uniforms go to the program in use (bound just before), which spares GL
// looking the program up by name.
void Pipeline::uploadUniforms(DeviceState& s, Program& p) {
  const ProgramUniforms& u = p.uniforms;
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
  if (due(p, kGroupViewport)) {
    if (u.viewport >= 0) glUniform4fv(u.viewport, 1, viewport);
    if (u.depthRange >= 0) glUniform2fv(u.depthRange, 1, depthRange);
  }
  // (Programs that take world-view and projection as one need the
  // projection derived as well.)
  if (u.projection >= 0 || p.projected) {
    if (groupChanged(kGroupProjection, {s.versions.projection, epochs[kGroupViewport]})) {
      // The half-pixel shift goes into the projection: clip x and y move
      // by the shift times clip w, which its fourth column gives.
      const D3DMATRIX& m = s.projection;
      for (int i = 0; i < 4; ++i) {
        projection[4 * i + 0] = m.m[i][0] + halfPixel[0] * m.m[i][3];
        projection[4 * i + 1] = m.m[i][1] + halfPixel[1] * m.m[i][3];
        projection[4 * i + 2] = m.m[i][2];
        projection[4 * i + 3] = m.m[i][3];
      }
    }
    if (u.projection >= 0 && due(p, kGroupProjection))
      glUniformMatrix4fv(u.projection, 1, GL_FALSE, projection);
  }
  uploadWorld(s, p);
  if (u.textureMatrix >= 0) {
    if (groupChanged(kGroupTexture, {s.versions.textureMatrices}))
      for (int i = 0; i < 8; ++i)
        std::memcpy(textureMatrix[i], &s.texture[i], sizeof textureMatrix[i]);
    if (due(p, kGroupTexture))
      glUniformMatrix4fv(u.textureMatrix, 8, GL_FALSE, &textureMatrix[0][0]);
  }
  uploadValues(s, p);
}

[[gnu::hot]] void Pipeline::uploadValues(const DeviceState& s, Program& p) {
  const ProgramUniforms& u = p.uniforms;
  if (p.lit) {
    deriveLights(s);
    bool combined = u.litColour >= 0;
    GLsizei n = p.lights;
    if (due(p, kGroupLights) && n > 0) {
      if (u.lightPosition >= 0) glUniform4fv(u.lightPosition, n, &lightPosition[0][0]);
      if (u.lightDirection >= 0) glUniform4fv(u.lightDirection, n, &lightDirection[0][0]);
      if (u.lightAttenuation >= 0) glUniform4fv(u.lightAttenuation, n, &lightAttenuation[0][0]);
      if (u.lightSpot >= 0) glUniform4fv(u.lightSpot, n, &lightSpot[0][0]);
      if (!combined) {
        if (u.lightDiffuse >= 0) glUniform4fv(u.lightDiffuse, n, &lightDiffuse[0][0]);
        if (u.lightSpecular >= 0) glUniform4fv(u.lightSpecular, n, &lightSpecular[0][0]);
        if (u.lightAmbient >= 0) glUniform4fv(u.lightAmbient, n, &lightAmbient[0][0]);
      }
    }
    if (due(p, kGroupMaterial)) {
      if (u.materialSpecular >= 0) glUniform4fv(u.materialSpecular, 1, material[2]);
      if (u.materialPower >= 0) glUniform1f(u.materialPower, materialPower);
      if (combined) {
        glUniform4fv(u.litColour, 1 + n, &litColour[0][0]);
        if (n > 0) {
          if (u.litSpecular >= 0) glUniform4fv(u.litSpecular, n, &litSpecular[0][0]);
          if (u.litAmbient >= 0) glUniform4fv(u.litAmbient, n, &litAmbient[0][0]);
        }
      } else {
        if (u.materialDiffuse >= 0) glUniform4fv(u.materialDiffuse, 1, material[0]);
        if (u.materialAmbient >= 0) glUniform4fv(u.materialAmbient, 1, material[1]);
        if (u.materialEmissive >= 0) glUniform4fv(u.materialEmissive, 1, material[3]);
        if (u.globalAmbient >= 0) glUniform4fv(u.globalAmbient, 1, globalAmbient);
      }
    }
  }
  deriveStates(s);
  if (due(p, kGroupStates)) {
    if (u.fog >= 0) glUniform4fv(u.fog, 1, fog);
    if (u.fogColor >= 0) glUniform4fv(u.fogColor, 1, fogColor);
    if (u.textureFactor >= 0) glUniform4fv(u.textureFactor, 1, textureFactor);
    if (u.stageConstant >= 0) glUniform4fv(u.stageConstant, 8, &stageConstant[0][0]);
    if (u.alphaRef >= 0) glUniform1f(u.alphaRef, alphaRef);
    if (u.pointSize >= 0) glUniform4fv(u.pointSize, 1, pointSize);
    if (u.pointScale >= 0) glUniform4fv(u.pointScale, 1, pointScale);
  }
}

}  // namespace d3d9
