// Everything the device remembers between calls and answers back: render,
// texture-stage and sampler states, transforms, lights, the material, the
// viewport, the bound resources. Plain data with Direct3D's defaults; the GL
// backend reads it at draw time. Change counters tell the backend which
// groups moved since it last looked.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "platform/d3d9/D3D9.h"

namespace d3d9 {

class Surface;
class TextureStorage;
class VertexBuffer;
class IndexBuffer;
class VertexDeclaration;
struct VertexInput;

struct LightSlot {
  D3DLIGHT9 light{};
  bool enabled = false;
};

// What a render state's value feeds at draw time; a change moves the
// version of each group it feeds and no other.
enum RenderStateFeed : uint8_t {
  kFeedsProgram = 1,       // the fixed-function program's key
  kFeedsBlend = 2,         // blending, colour writes, dithering
  kFeedsDepthStencil = 4,  // depth and stencil tests and writes, depth bias
  kFeedsRaster = 8,        // culling, fill mode, scissor test, clip planes on
  kFeedsUniforms = 16,     // values programs read: texture factor, alpha reference, points
  kFeedsFog = 32,          // fog colour and distances
  kFeedsLighting = 64,     // the global ambient colour
  kFeedsNothing = 128,     // kept and answered; nothing is drawn differently
  kFeedsEverything = 127,
};

// Counters bumped whenever a group of state changes; consumers compare them
// with the value they saw last.
struct StateVersions {
  // Counts a change of `group`, one of the counters below other than
  // `world` (transformChanged counts those).
  void bump(uint64_t& group) {
    ++group;
    ++settings;
  }
  // Counts a change of `group` that only moves values programs read (see
  // `values`).
  void valueChanged(uint64_t& group) {
    ++group;
    ++values;
  }
  // Stores `value` in `held` and counts a change of `group`, unless `held`
  // has that value already (compared byte for byte, as the device keeps it).
  template <typename T>
  void store(T& held, const T& value, uint64_t& group) {
    if (std::memcmp(&held, &value, sizeof held) == 0) return;
    held = value;
    bump(group);
  }

  // Counts a change of a render state that feeds `feeds`.
  void renderStateChanged(uint8_t feeds) {
    ++renderStates;
    if (feeds & kFeedsNothing) return;
    if (feeds == kFeedsUniforms) {  // read by programs alone
      valueChanged(uniforms);
      return;
    }
    ++settings;
    if (feeds & kFeedsProgram) ++programKey;
    if (feeds & kFeedsBlend) ++blend;
    if (feeds & kFeedsDepthStencil) ++depthStencil;
    if (feeds & kFeedsRaster) ++raster;
    if (feeds & kFeedsUniforms) ++uniforms;
    if (feeds & kFeedsFog) ++fog;
    if (feeds & kFeedsLighting) ++lighting;
  }

  uint64_t renderStates = 1;  // any render state
  // Render states by what they feed (RenderStateFeed).
  uint64_t programKey = 1, blend = 1, depthStencil = 1, raster = 1, uniforms = 1, fog = 1,
           lighting = 1;
  uint64_t stageStates = 1;
  uint64_t samplers = 1;
  uint64_t transforms = 1;  // any of the five below
  uint64_t world = 1, view = 1, projection = 1, textureMatrices = 1, clipPlanes = 1;
  uint64_t lights = 1;
  uint64_t material = 1;
  uint64_t viewport = 1;
  uint64_t scissor = 1;
  uint64_t textures = 1;
  // Moves when a stage's texture changes between none, 2D and cube (which
  // the program depends on); another texture of the same kind moves only
  // `textures`.
  uint64_t textureKinds = 1;
  uint64_t vertexFormat = 1;
  // Every change of the groups above but the world matrices and those that
  // `values` counts: a draw that finds it as the last one left it keeps
  // program, samplers and raster state, and needs only the world matrices
  // and the values anew.
  uint64_t settings = 1;
  // Changes that move only values programs read: the material, render
  // states that feed nothing but uniforms (texture factor, alpha reference,
  // points), another texture of the kind a stage had.
  uint64_t values = 1;
};

constexpr int kWorldMatrices = 256;
constexpr int kClipPlanes = 6;

struct DeviceState {
  DWORD renderStates[D3DRS_COUNT];
  DWORD stageStates[D3DMAX_TEXTURE_STAGES][D3DTSS_COUNT];
  DWORD samplerStates[D3DMAX_SAMPLERS][D3DSAMP_COUNT];

  D3DMATRIX view, projection;
  D3DMATRIX texture[D3DMAX_TEXTURE_STAGES];
  D3DMATRIX world[kWorldMatrices];

  D3DVIEWPORT9 viewport;
  RECT scissor;
  D3DMATERIAL9 material;
  std::map<DWORD, LightSlot> lights;
  // Enabled light indices in the order they were switched on (at most
  // D3DMAX_ACTIVE_LIGHTS of them take part in lighting).
  std::vector<DWORD> activeLights;
  float clipPlanes[kClipPlanes][4];

  // The vertex format: an FVF, or a declaration in its place (`fvf` 0).
  // `input` is what draws read, from either; `fvfSize` the bytes of one
  // vertex it needs, 0 when it cannot be drawn.
  DWORD fvf = 0;
  VertexDeclaration* declaration = nullptr;  // the device holds a binding
  const VertexInput* input = nullptr;
  UINT fvfSize = 0;
  VertexBuffer* stream = nullptr;  // stream 0; the device holds a reference
  UINT streamOffset = 0, streamStride = 0;
  IndexBuffer* indices = nullptr;
  IDirect3DBaseTexture9* textures[D3DMAX_SAMPLERS] = {};
  // The storage behind each bound texture, found once when it is set.
  TextureStorage* textureStorages[D3DMAX_SAMPLERS] = {};
  Surface* renderTarget = nullptr;
  // Render targets 1 to 3, which pixel programs writing more than one
  // colour fill; null when not set.
  Surface* moreTargets[D3D_MAX_SIMULTANEOUS_RENDERTARGETS - 1] = {};
  Surface* depthStencil = nullptr;
  bool softwareVertexProcessing = false;

  StateVersions versions;

  // Direct3D's defaults for a device of the given back-buffer size; the
  // depth test starts on when the device has an automatic depth buffer.
  void setDefaults(UINT width, UINT height, bool autoDepthStencil);

  // The matrix for a transform id, or null for an id Direct3D does not have.
  // (Inline, as a new world matrix per draw is the commonest call of all.)
  D3DMATRIX* transform(D3DTRANSFORMSTATETYPE id) {
    DWORD n = DWORD(id);
    if (n >= 256) return n < 256 + kWorldMatrices ? &world[n - 256] : nullptr;
    if (n == D3DTS_VIEW) return &view;
    if (n == D3DTS_PROJECTION) return &projection;
    if (n >= D3DTS_TEXTURE0 && n <= D3DTS_TEXTURE7) return &texture[n - D3DTS_TEXTURE0];
    return nullptr;
  }
  // Counts a change of that matrix.
  void transformChanged(D3DTRANSFORMSTATETYPE id) {
    versions.transforms++;
    DWORD n = DWORD(id);
    if (n >= 256)
      versions.world++;
    else if (n == D3DTS_VIEW)
      versions.bump(versions.view);
    else if (n == D3DTS_PROJECTION)
      versions.bump(versions.projection);
    else
      versions.bump(versions.textureMatrices);
  }
};

// Whether the `bytes` bytes (a multiple of 8) at `a` and `b` are the same,
// as memcmp would answer; inline, since matrices are compared so for nearly
// every draw.
template <size_t bytes>
inline bool sameBytes(const void* a, const void* b) {
  static_assert(bytes % 8 == 0);
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  uint64_t differ = 0;
  for (size_t i = 0; i < bytes; i += 8) {
    uint64_t u, v;
    std::memcpy(&u, x + i, 8);
    std::memcpy(&v, y + i, 8);
    differ |= u ^ v;
  }
  return differ == 0;
}
inline bool sameBytes(const D3DMATRIX& a, const D3DMATRIX& b) {
  return sameBytes<sizeof(D3DMATRIX)>(&a, &b);
}

// The light Direct3D makes when a light is enabled before it was set:
// white, directional, pointing down +z.
D3DLIGHT9 defaultLight();

D3DMATRIX identityMatrix();

// Bytes of one vertex of a flexible vertex format; 0 when it has no
// position the device knows, which makes it one that cannot be drawn.
UINT vertexSize(DWORD fvf);

// RenderStateFeed bits of every render state id; 0 for an id that is none.
// (Looked up inline: a render state is set on every other draw.)
extern const std::array<uint8_t, D3DRS_COUNT> kRenderStateFeeds;
inline uint8_t renderStateFeeds(DWORD id) { return id < D3DRS_COUNT ? kRenderStateFeeds[id] : 0; }

// One bit for each texture-stage state id that Direct3D 9 has.
constexpr uint64_t kStageStateIds =
    1ull << D3DTSS_COLOROP | 1ull << D3DTSS_COLORARG1 | 1ull << D3DTSS_COLORARG2 |
    1ull << D3DTSS_ALPHAOP | 1ull << D3DTSS_ALPHAARG1 | 1ull << D3DTSS_ALPHAARG2 |
    1ull << D3DTSS_BUMPENVMAT00 | 1ull << D3DTSS_BUMPENVMAT01 | 1ull << D3DTSS_BUMPENVMAT10 |
    1ull << D3DTSS_BUMPENVMAT11 | 1ull << D3DTSS_TEXCOORDINDEX | 1ull << D3DTSS_BUMPENVLSCALE |
    1ull << D3DTSS_BUMPENVLOFFSET | 1ull << D3DTSS_TEXTURETRANSFORMFLAGS |
    1ull << D3DTSS_COLORARG0 | 1ull << D3DTSS_ALPHAARG0 | 1ull << D3DTSS_RESULTARG |
    1ull << D3DTSS_CONSTANT;

// True for ids that name a real state of the given kind.
inline bool isRenderState(DWORD id) { return renderStateFeeds(id) != 0; }
inline bool isStageState(DWORD id) { return id < 64 && (kStageStateIds >> id & 1); }

}  // namespace d3d9
