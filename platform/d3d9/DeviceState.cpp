#include "platform/d3d9/DeviceState.h"

#include <array>
#include <bit>
#include <cstring>
#include <iterator>

namespace d3d9 {

namespace {

constexpr DWORD floatBits(float value) { return std::bit_cast<DWORD>(value); }

struct RenderState {
  D3DRENDERSTATETYPE id;
  DWORD value;
  uint8_t feeds;  // RenderStateFeed bits
};

// Every render state Direct3D 9 has, with its documented initial value and
// what its value feeds at draw time. ZENABLE's initial value is set apart
// since it depends on the presentation parameters.
constexpr RenderState kRenderStates[] = {
    {D3DRS_ZENABLE, D3DZB_FALSE, kFeedsDepthStencil},
    {D3DRS_FILLMODE, D3DFILL_SOLID, kFeedsProgram | kFeedsRaster},
    {D3DRS_SHADEMODE, D3DSHADE_GOURAUD, kFeedsProgram},
    {D3DRS_ZWRITEENABLE, TRUE, kFeedsDepthStencil},
    {D3DRS_ALPHATESTENABLE, FALSE, kFeedsProgram},
    {D3DRS_LASTPIXEL, TRUE, kFeedsNothing},
    {D3DRS_SRCBLEND, D3DBLEND_ONE, kFeedsBlend},
    {D3DRS_DESTBLEND, D3DBLEND_ZERO, kFeedsBlend},
    {D3DRS_CULLMODE, D3DCULL_CCW, kFeedsRaster},
    {D3DRS_ZFUNC, D3DCMP_LESSEQUAL, kFeedsDepthStencil},
    {D3DRS_ALPHAREF, 0, kFeedsUniforms},
    {D3DRS_ALPHAFUNC, D3DCMP_ALWAYS, kFeedsProgram},
    {D3DRS_DITHERENABLE, FALSE, kFeedsBlend},
    {D3DRS_ALPHABLENDENABLE, FALSE, kFeedsBlend},
    {D3DRS_FOGENABLE, FALSE, kFeedsProgram},
    {D3DRS_SPECULARENABLE, FALSE, kFeedsProgram},
    {D3DRS_FOGCOLOR, 0, kFeedsFog},
    {D3DRS_FOGTABLEMODE, D3DFOG_NONE, kFeedsProgram},
    {D3DRS_FOGSTART, floatBits(0.0f), kFeedsFog},
    {D3DRS_FOGEND, floatBits(1.0f), kFeedsFog},
    {D3DRS_FOGDENSITY, floatBits(1.0f), kFeedsFog},
    {D3DRS_RANGEFOGENABLE, FALSE, kFeedsProgram},
    {D3DRS_STENCILENABLE, FALSE, kFeedsDepthStencil},
    {D3DRS_STENCILFAIL, D3DSTENCILOP_KEEP, kFeedsDepthStencil},
    {D3DRS_STENCILZFAIL, D3DSTENCILOP_KEEP, kFeedsDepthStencil},
    {D3DRS_STENCILPASS, D3DSTENCILOP_KEEP, kFeedsDepthStencil},
    {D3DRS_STENCILFUNC, D3DCMP_ALWAYS, kFeedsDepthStencil},
    {D3DRS_STENCILREF, 0, kFeedsDepthStencil},
    {D3DRS_STENCILMASK, 0xffffffff, kFeedsDepthStencil},
    {D3DRS_STENCILWRITEMASK, 0xffffffff, kFeedsDepthStencil},
    {D3DRS_TEXTUREFACTOR, 0xffffffff, kFeedsUniforms},
    {D3DRS_WRAP0, 0, kFeedsNothing},
    {D3DRS_WRAP1, 0, kFeedsNothing},
    {D3DRS_WRAP2, 0, kFeedsNothing},
    {D3DRS_WRAP3, 0, kFeedsNothing},
    {D3DRS_WRAP4, 0, kFeedsNothing},
    {D3DRS_WRAP5, 0, kFeedsNothing},
    {D3DRS_WRAP6, 0, kFeedsNothing},
    {D3DRS_WRAP7, 0, kFeedsNothing},
    {D3DRS_CLIPPING, TRUE, kFeedsNothing},
    {D3DRS_LIGHTING, TRUE, kFeedsProgram},
    {D3DRS_AMBIENT, 0, kFeedsLighting},
    {D3DRS_FOGVERTEXMODE, D3DFOG_NONE, kFeedsProgram},
    {D3DRS_COLORVERTEX, TRUE, kFeedsProgram},
    {D3DRS_LOCALVIEWER, TRUE, kFeedsProgram},
    {D3DRS_NORMALIZENORMALS, FALSE, kFeedsProgram},
    {D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR1, kFeedsProgram},
    {D3DRS_SPECULARMATERIALSOURCE, D3DMCS_COLOR2, kFeedsProgram},
    {D3DRS_AMBIENTMATERIALSOURCE, D3DMCS_MATERIAL, kFeedsProgram},
    {D3DRS_EMISSIVEMATERIALSOURCE, D3DMCS_MATERIAL, kFeedsProgram},
    {D3DRS_VERTEXBLEND, D3DVBF_DISABLE, kFeedsProgram},
    {D3DRS_CLIPPLANEENABLE, 0, kFeedsProgram | kFeedsRaster},
    {D3DRS_POINTSIZE, floatBits(1.0f), kFeedsUniforms},
    {D3DRS_POINTSIZE_MIN, floatBits(1.0f), kFeedsUniforms},
    {D3DRS_POINTSPRITEENABLE, FALSE, kFeedsProgram},
    {D3DRS_POINTSCALEENABLE, FALSE, kFeedsProgram},
    {D3DRS_POINTSCALE_A, floatBits(1.0f), kFeedsUniforms},
    {D3DRS_POINTSCALE_B, floatBits(0.0f), kFeedsUniforms},
    {D3DRS_POINTSCALE_C, floatBits(0.0f), kFeedsUniforms},
    {D3DRS_MULTISAMPLEANTIALIAS, TRUE, kFeedsNothing},
    {D3DRS_MULTISAMPLEMASK, 0xffffffff, kFeedsNothing},
    {D3DRS_PATCHEDGESTYLE, D3DPATCHEDGE_DISCRETE, kFeedsNothing},
    {D3DRS_DEBUGMONITORTOKEN, D3DDMT_ENABLE, kFeedsNothing},
    {D3DRS_POINTSIZE_MAX, floatBits(64.0f), kFeedsUniforms},
    {D3DRS_INDEXEDVERTEXBLENDENABLE, FALSE, kFeedsNothing},
    {D3DRS_COLORWRITEENABLE, 0x0000000f, kFeedsBlend},
    {D3DRS_TWEENFACTOR, floatBits(0.0f), kFeedsNothing},
    {D3DRS_BLENDOP, D3DBLENDOP_ADD, kFeedsBlend},
    {D3DRS_POSITIONDEGREE, D3DDEGREE_CUBIC, kFeedsNothing},
    {D3DRS_NORMALDEGREE, D3DDEGREE_LINEAR, kFeedsNothing},
    {D3DRS_SCISSORTESTENABLE, FALSE, kFeedsRaster},
    {D3DRS_SLOPESCALEDEPTHBIAS, 0, kFeedsDepthStencil},
    {D3DRS_ANTIALIASEDLINEENABLE, FALSE, kFeedsNothing},
    {D3DRS_MINTESSELLATIONLEVEL, floatBits(1.0f), kFeedsNothing},
    {D3DRS_MAXTESSELLATIONLEVEL, floatBits(1.0f), kFeedsNothing},
    {D3DRS_ADAPTIVETESS_X, floatBits(0.0f), kFeedsNothing},
    {D3DRS_ADAPTIVETESS_Y, floatBits(0.0f), kFeedsNothing},
    {D3DRS_ADAPTIVETESS_Z, floatBits(1.0f), kFeedsNothing},
    {D3DRS_ADAPTIVETESS_W, floatBits(0.0f), kFeedsNothing},
    {D3DRS_ENABLEADAPTIVETESSELLATION, FALSE, kFeedsNothing},
    {D3DRS_TWOSIDEDSTENCILMODE, FALSE, kFeedsDepthStencil},
    {D3DRS_CCW_STENCILFAIL, D3DSTENCILOP_KEEP, kFeedsDepthStencil},
    {D3DRS_CCW_STENCILZFAIL, D3DSTENCILOP_KEEP, kFeedsDepthStencil},
    {D3DRS_CCW_STENCILPASS, D3DSTENCILOP_KEEP, kFeedsDepthStencil},
    {D3DRS_CCW_STENCILFUNC, D3DCMP_ALWAYS, kFeedsDepthStencil},
    {D3DRS_COLORWRITEENABLE1, 0x0000000f, kFeedsNothing},
    {D3DRS_COLORWRITEENABLE2, 0x0000000f, kFeedsNothing},
    {D3DRS_COLORWRITEENABLE3, 0x0000000f, kFeedsNothing},
    {D3DRS_BLENDFACTOR, 0xffffffff, kFeedsBlend},
    {D3DRS_SRGBWRITEENABLE, 0, kFeedsNothing},
    {D3DRS_DEPTHBIAS, 0, kFeedsDepthStencil},
    {D3DRS_WRAP8, 0, kFeedsNothing},
    {D3DRS_WRAP9, 0, kFeedsNothing},
    {D3DRS_WRAP10, 0, kFeedsNothing},
    {D3DRS_WRAP11, 0, kFeedsNothing},
    {D3DRS_WRAP12, 0, kFeedsNothing},
    {D3DRS_WRAP13, 0, kFeedsNothing},
    {D3DRS_WRAP14, 0, kFeedsNothing},
    {D3DRS_WRAP15, 0, kFeedsNothing},
    {D3DRS_SEPARATEALPHABLENDENABLE, FALSE, kFeedsBlend},
    {D3DRS_SRCBLENDALPHA, D3DBLEND_ONE, kFeedsBlend},
    {D3DRS_DESTBLENDALPHA, D3DBLEND_ZERO, kFeedsBlend},
    {D3DRS_BLENDOPALPHA, D3DBLENDOP_ADD, kFeedsBlend},
};

constexpr bool everyStateFeedsSomething() {
  for (const RenderState& entry : kRenderStates) {
    if (entry.feeds == 0 || entry.id >= D3DRS_COUNT) return false;
    // States that feed nothing say so alone.
    if ((entry.feeds & kFeedsNothing) && entry.feeds != kFeedsNothing) return false;
  }
  return true;
}
constexpr bool noStateTwice() {
  for (size_t i = 0; i < std::size(kRenderStates); ++i)
    for (size_t j = i + 1; j < std::size(kRenderStates); ++j)
      if (kRenderStates[i].id == kRenderStates[j].id) return false;
  return true;
}
static_assert(everyStateFeedsSomething(), "every render state names what it feeds");
static_assert(noStateTwice(), "every render state is listed once");

// What each id feeds, filled from the table above; 0 for ids that are not
// render states.
constexpr std::array<uint8_t, D3DRS_COUNT> feedsById() {
  std::array<uint8_t, D3DRS_COUNT> feeds{};
  for (const auto& entry : kRenderStates) feeds[entry.id] = entry.feeds;
  return feeds;
}

}  // namespace

const std::array<uint8_t, D3DRS_COUNT> kRenderStateFeeds = feedsById();

UINT vertexSize(DWORD fvf) {
  UINT size = 0;
  DWORD position = fvf & D3DFVF_POSITION_MASK;
  if (position == D3DFVF_XYZRHW || position == D3DFVF_XYZW)
    size += 16;
  else if (position == D3DFVF_XYZ)
    size += 12;
  else if (position >= D3DFVF_XYZB1 && position <= D3DFVF_XYZB5)
    size += 12 + 4 * ((position - 4) / 2);
  else
    return 0;
  if (fvf & D3DFVF_NORMAL) size += 12;
  if (fvf & D3DFVF_PSIZE) size += 4;
  if (fvf & D3DFVF_DIFFUSE) size += 4;
  if (fvf & D3DFVF_SPECULAR) size += 4;
  UINT sets = (fvf & D3DFVF_TEXCOUNT_MASK) >> D3DFVF_TEXCOUNT_SHIFT;
  for (UINT i = 0; i < sets && i < 8; ++i) {
    switch ((fvf >> (16 + i * 2)) & 3) {
      case D3DFVF_TEXTUREFORMAT1:
        size += 4;
        break;
      case D3DFVF_TEXTUREFORMAT3:
        size += 12;
        break;
      case D3DFVF_TEXTUREFORMAT4:
        size += 16;
        break;
      default:
        size += 8;
        break;
    }
  }
  return size;
}

D3DMATRIX identityMatrix() {
  D3DMATRIX m{};
  m._11 = m._22 = m._33 = m._44 = 1.0f;
  return m;
}

D3DLIGHT9 defaultLight() {
  D3DLIGHT9 light{};
  light.Type = D3DLIGHT_DIRECTIONAL;
  light.Diffuse = {1.0f, 1.0f, 1.0f, 0.0f};
  light.Direction = {0.0f, 0.0f, 1.0f};
  return light;
}

void DeviceState::setDefaults(UINT width, UINT height, bool autoDepthStencil) {
  std::memset(renderStates, 0, sizeof renderStates);
  for (const auto& entry : kRenderStates) renderStates[entry.id] = entry.value;
  renderStates[D3DRS_ZENABLE] = autoDepthStencil ? D3DZB_TRUE : D3DZB_FALSE;

  std::memset(stageStates, 0, sizeof stageStates);
  for (DWORD stage = 0; stage < D3DMAX_TEXTURE_STAGES; ++stage) {
    DWORD* s = stageStates[stage];
    s[D3DTSS_COLOROP] = stage == 0 ? D3DTOP_MODULATE : D3DTOP_DISABLE;
    s[D3DTSS_COLORARG1] = D3DTA_TEXTURE;
    s[D3DTSS_COLORARG2] = D3DTA_CURRENT;
    s[D3DTSS_ALPHAOP] = stage == 0 ? D3DTOP_SELECTARG1 : D3DTOP_DISABLE;
    s[D3DTSS_ALPHAARG1] = D3DTA_TEXTURE;
    s[D3DTSS_ALPHAARG2] = D3DTA_CURRENT;
    s[D3DTSS_TEXCOORDINDEX] = stage;
    s[D3DTSS_TEXTURETRANSFORMFLAGS] = D3DTTFF_DISABLE;
    s[D3DTSS_COLORARG0] = D3DTA_CURRENT;
    s[D3DTSS_ALPHAARG0] = D3DTA_CURRENT;
    s[D3DTSS_RESULTARG] = D3DTA_CURRENT;
  }

  std::memset(samplerStates, 0, sizeof samplerStates);
  for (auto& s : samplerStates) {
    s[D3DSAMP_ADDRESSU] = s[D3DSAMP_ADDRESSV] = s[D3DSAMP_ADDRESSW] = D3DTADDRESS_WRAP;
    s[D3DSAMP_MAGFILTER] = s[D3DSAMP_MINFILTER] = D3DTEXF_POINT;
    s[D3DSAMP_MIPFILTER] = D3DTEXF_NONE;
    s[D3DSAMP_MAXANISOTROPY] = 1;
  }

  view = projection = identityMatrix();
  for (auto& m : texture) m = identityMatrix();
  for (auto& m : world) m = identityMatrix();

  viewport = {0, 0, width, height, 0.0f, 1.0f};
  scissor = {0, 0, LONG(width), LONG(height)};
  material = {};
  lights.clear();
  activeLights.clear();
  std::memset(clipPlanes, 0, sizeof clipPlanes);
  fvf = 0;
  fvfSize = 0;
  input = nullptr;
  softwareVertexProcessing = false;

  versions.renderStateChanged(kFeedsEverything);
  versions.bump(versions.stageStates);
  versions.bump(versions.samplers);
  versions.bump(versions.transforms);
  versions.world++;
  versions.bump(versions.view);
  versions.bump(versions.projection);
  versions.bump(versions.textureMatrices);
  versions.bump(versions.clipPlanes);
  versions.bump(versions.lights);
  versions.bump(versions.material);
  versions.bump(versions.viewport);
  versions.bump(versions.scissor);
  versions.bump(versions.textures);
  ++versions.textureKinds;
  versions.bump(versions.vertexFormat);
}

}  // namespace d3d9
