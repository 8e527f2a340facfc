// The device's calls that set and answer its state: transforms, viewport,
// material, lights, clip planes, render, texture-stage and sampler states
// and the scissor. Each setter changes nothing when the value is the same.
#include "platform/d3d9/Device.h"

#include <SDL2/SDL.h>

#include <cstring>

#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/IndexBuffer.h"
#include "platform/d3d9/Resource.h"
#include "platform/d3d9/Surface.h"
#include "platform/d3d9/TextureStorage.h"
#include "platform/d3d9/VertexBuffer.h"
#include "platform/d3d9/VertexDeclaration.h"
namespace d3d9 {

namespace {

D3DMATRIX multiply(const D3DMATRIX& a, const D3DMATRIX& b) {
  D3DMATRIX r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j] +
                  a.m[i][3] * b.m[3][j];
  return r;
}

}  // namespace

// Transforms, viewport, material, lights, clip planes

[[gnu::hot]] HRESULT Device::SetTransform(D3DTRANSFORMSTATETYPE id, const D3DMATRIX* matrix) {
  logCall("SetTransform", id, matrix);
  D3DMATRIX* slot = state.transform(id);
  if (!slot || !matrix) return D3DERR_INVALIDCALL;
  if (sameBytes(*slot, *matrix)) return D3D_OK;
  *slot = *matrix;
  state.transformChanged(id);
  return D3D_OK;
}

HRESULT Device::GetTransform(D3DTRANSFORMSTATETYPE id, D3DMATRIX* matrix) {
  D3DMATRIX* slot = state.transform(id);
  if (!slot || !matrix) return D3DERR_INVALIDCALL;
  *matrix = *slot;
  return D3D_OK;
}

HRESULT Device::MultiplyTransform(D3DTRANSFORMSTATETYPE id, const D3DMATRIX* matrix) {
  logCall("MultiplyTransform", id, matrix);
  D3DMATRIX* slot = state.transform(id);
  if (!slot || !matrix) return D3DERR_INVALIDCALL;
  D3DMATRIX product = multiply(*matrix, *slot);
  if (std::memcmp(slot, &product, sizeof product) == 0) return D3D_OK;
  *slot = product;
  state.transformChanged(id);
  return D3D_OK;
}

HRESULT Device::SetViewport(const D3DVIEWPORT9* viewport) {
  if (!viewport) return D3DERR_INVALIDCALL;
  logCall("SetViewport", viewport->X, viewport->Y, viewport->Width, viewport->Height,
          viewport->MinZ, viewport->MaxZ);
  UINT width = state.renderTarget ? state.renderTarget->width : 0;
  UINT height = state.renderTarget ? state.renderTarget->height : 0;
  // Direct3D refuses a viewport that does not fit the render target.
  if (viewport->Width == 0 || viewport->Height == 0 || viewport->X >= width ||
      viewport->Y >= height || viewport->Width > width - viewport->X ||
      viewport->Height > height - viewport->Y)
    return D3DERR_INVALIDCALL;
  if (!(viewport->MinZ >= 0.0f && viewport->MaxZ <= 1.0f && viewport->MinZ <= viewport->MaxZ))
    return D3DERR_INVALIDCALL;
  state.versions.store(state.viewport, *viewport, state.versions.viewport);
  return D3D_OK;
}

HRESULT Device::GetViewport(D3DVIEWPORT9* viewport) {
  if (!viewport) return D3DERR_INVALIDCALL;
  *viewport = state.viewport;
  return D3D_OK;
}

[[gnu::hot]] HRESULT Device::SetMaterial(const D3DMATERIAL9* material) {
  logCall("SetMaterial", material);
  if (!material) return D3DERR_INVALIDCALL;
  // (Compared inline, byte for byte: a new material per draw is common.)
  static_assert(sizeof *material == 4 * sizeof(D3DCOLORVALUE) + sizeof(float));
  if (sameBytes<4 * sizeof(D3DCOLORVALUE)>(&state.material, material) &&
      std::memcmp(&state.material.Power, &material->Power, sizeof(float)) == 0)
    return D3D_OK;
  state.material = *material;
  state.versions.valueChanged(state.versions.material);
  return D3D_OK;
}

HRESULT Device::GetMaterial(D3DMATERIAL9* material) {
  if (!material) return D3DERR_INVALIDCALL;
  *material = state.material;
  return D3D_OK;
}

HRESULT Device::SetLight(DWORD index, const D3DLIGHT9* light) {
  logCall("SetLight", index, light);
  if (!light) return D3DERR_INVALIDCALL;
  if (light->Type < D3DLIGHT_POINT || light->Type > D3DLIGHT_DIRECTIONAL) return D3DERR_INVALIDCALL;
  auto found = state.lights.find(index);
  if (found != state.lights.end() && std::memcmp(&found->second.light, light, sizeof *light) == 0)
    return D3D_OK;
  state.lights[index].light = *light;
  state.versions.bump(state.versions.lights);
  return D3D_OK;
}

HRESULT Device::GetLight(DWORD index, D3DLIGHT9* light) {
  auto found = state.lights.find(index);
  if (!light || found == state.lights.end()) return D3DERR_INVALIDCALL;
  *light = found->second.light;
  return D3D_OK;
}

HRESULT Device::LightEnable(DWORD index, BOOL enable) {
  logCall("LightEnable", index, enable);
  auto found = state.lights.find(index);
  if (found == state.lights.end()) {
    if (!enable) return D3D_OK;
    found = state.lights.emplace(index, LightSlot{defaultLight(), false}).first;
  }
  bool on = enable != FALSE;
  if (found->second.enabled == on) return D3D_OK;
  found->second.enabled = on;
  auto& active = state.activeLights;
  if (on) {
    active.push_back(index);
  } else {
    for (auto it = active.begin(); it != active.end(); ++it)
      if (*it == index) {
        active.erase(it);
        break;
      }
  }
  state.versions.bump(state.versions.lights);
  return D3D_OK;
}

HRESULT Device::GetLightEnable(DWORD index, BOOL* enable) {
  auto found = state.lights.find(index);
  if (!enable || found == state.lights.end()) return D3DERR_INVALIDCALL;
  // Direct3D answers a non-zero value for an enabled light.
  *enable = found->second.enabled ? 128 : 0;
  return D3D_OK;
}

HRESULT Device::SetClipPlane(DWORD index, const float* plane) {
  if (index >= DWORD(kClipPlanes) || !plane) return D3DERR_INVALIDCALL;
  if (std::memcmp(state.clipPlanes[index], plane, 4 * sizeof(float)) == 0) return D3D_OK;
  std::memcpy(state.clipPlanes[index], plane, 4 * sizeof(float));
  state.versions.bump(state.versions.clipPlanes);
  return D3D_OK;
}

HRESULT Device::GetClipPlane(DWORD index, float* plane) {
  if (index >= DWORD(kClipPlanes) || !plane) return D3DERR_INVALIDCALL;
  std::memcpy(plane, state.clipPlanes[index], 4 * sizeof(float));
  return D3D_OK;
}

// ---------------------------------------------------------------------------
// Render, texture-stage and sampler states

[[gnu::hot]] HRESULT Device::SetRenderState(D3DRENDERSTATETYPE id, DWORD value) {
  logCall("SetRenderState", id, value);
  const uint8_t feeds = renderStateFeeds(id);
  if (!feeds || (gFailRenderState != 0 && id == gFailRenderState)) return D3DERR_INVALIDCALL;
  if (state.renderStates[id] != value) {
    state.renderStates[id] = value;
    state.versions.renderStateChanged(feeds);
  }
  return D3D_OK;
}

HRESULT Device::GetRenderState(D3DRENDERSTATETYPE id, DWORD* value) {
  if (!value) return D3DERR_INVALIDCALL;
  if (!isRenderState(id)) {
    *value = 0;
    return D3DERR_INVALIDCALL;
  }
  *value = state.renderStates[id];
  return D3D_OK;
}

HRESULT Device::GetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE type, DWORD* value) {
  if (!value) return D3DERR_INVALIDCALL;
  if (stage >= D3DMAX_TEXTURE_STAGES || !isStageState(type)) {
    *value = 0;
    return D3DERR_INVALIDCALL;
  }
  *value = state.stageStates[stage][type];
  return D3D_OK;
}

[[gnu::hot]] HRESULT Device::SetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE type,
                                                  DWORD value) {
  logCall("SetTextureStageState", stage, type, value);
  if (stage >= D3DMAX_TEXTURE_STAGES || !isStageState(type)) return D3DERR_INVALIDCALL;
  state.versions.store(state.stageStates[stage][type], value, state.versions.stageStates);
  return D3D_OK;
}

HRESULT Device::GetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE type, DWORD* value) {
  if (!value) return D3DERR_INVALIDCALL;
  if (sampler >= D3DMAX_SAMPLERS || type < D3DSAMP_ADDRESSU || type >= D3DSAMP_COUNT) {
    *value = 0;
    return D3DERR_INVALIDCALL;
  }
  *value = state.samplerStates[sampler][type];
  return D3D_OK;
}

HRESULT Device::SetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE type, DWORD value) {
  logCall("SetSamplerState", sampler, type, value);
  if (sampler >= D3DMAX_SAMPLERS || type < D3DSAMP_ADDRESSU || type >= D3DSAMP_COUNT)
    return D3DERR_INVALIDCALL;
  state.versions.store(state.samplerStates[sampler][type], value, state.versions.samplers);
  return D3D_OK;
}

HRESULT Device::SetScissorRect(const RECT* rect) {
  if (!rect) return D3DERR_INVALIDCALL;
  logCall("SetScissorRect", rect->left, rect->top, rect->right, rect->bottom);
  state.versions.store(state.scissor, *rect, state.versions.scissor);
  return D3D_OK;
}

HRESULT Device::GetScissorRect(RECT* rect) {
  if (!rect) return D3DERR_INVALIDCALL;
  *rect = state.scissor;
  return D3D_OK;
}

HRESULT Device::SetSoftwareVertexProcessing(BOOL software) {
  logCall("SetSoftwareVertexProcessing", software);
  // Only a device made for mixed processing can switch; both ways draw the
  // same here, so the switch is remembered and otherwise changes nothing.
  if (!(behaviourFlags & D3DCREATE_MIXED_VERTEXPROCESSING)) return D3DERR_INVALIDCALL;
  state.softwareVertexProcessing = software != FALSE;
  return D3D_OK;
}

BOOL Device::GetSoftwareVertexProcessing() { return state.softwareVertexProcessing; }

}  // namespace d3d9
