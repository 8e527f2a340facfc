// The device's resource calls: creation, copies between surfaces, render
// targets and the bindings of textures, streams and indices.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/CubeTexture.h"
#include "platform/d3d9/Device.h"
#include "platform/d3d9/IndexBuffer.h"
#include "platform/d3d9/Surface.h"
#include "platform/d3d9/Texture.h"
#include "platform/d3d9/TextureStorage.h"
#include "platform/d3d9/VertexBuffer.h"

namespace d3d9 {

namespace {

bool isTextureFormat(D3DFORMAT format) {
  const FormatInfo* info = formatInfo(format);
  return info && !info->depth;
}

bool isRenderTargetFormat(D3DFORMAT format) {
  const FormatInfo* info = formatInfo(format);
  return info && !info->depth && !info->blockBytes && format != D3DFMT_L8 &&
         format != D3DFMT_A8L8 && format != D3DFMT_A8;
}

// The bytes that `faces` chains of the given levels (0 or more than the
// chain has: the whole chain; automatic mipmaps: the whole chain too) take.
uint64_t textureBytes(UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format,
                      UINT faces) {
  const UINT chain = fullMipChain(width, height);
  if (levels == 0 || levels > chain || (usage & D3DUSAGE_AUTOGENMIPMAP)) levels = chain;
  uint64_t bytes = 0;
  for (UINT level = 0; level < levels; ++level) {
    bytes += uint64_t(levelPitch(format, width)) * levelRows(format, height);
    width = std::max(1u, width / 2);
    height = std::max(1u, height / 2);
  }
  return bytes * faces;
}

Surface* ours(IDirect3DSurface9* surface) { return dynamic_cast<Surface*>(surface); }

RECT wholeOf(const Surface* s) { return RECT{0, 0, LONG(s->width), LONG(s->height)}; }

bool inside(const RECT& r, const Surface* s) {
  return r.left >= 0 && r.top >= 0 && r.right <= LONG(s->width) && r.bottom <= LONG(s->height) &&
         r.left < r.right && r.top < r.bottom;
}

// Copies pixels between two surfaces of one format through memory.
bool copyThroughMemory(Surface* source, const RECT& s, Surface* destination, LONG dx, LONG dy) {
  if (source->format != destination->format || !source->info || source->info->blockBytes)
    return false;
  D3DLOCKED_RECT from, to;
  if (FAILED(source->LockRect(&from, &s, D3DLOCK_READONLY))) return false;
  RECT d = {dx, dy, dx + (s.right - s.left), dy + (s.bottom - s.top)};
  if (FAILED(destination->LockRect(&to, &d, 0))) {
    source->UnlockRect();
    return false;
  }
  size_t rowBytes = size_t(s.right - s.left) * size_t(source->info->bytesPerPixel);
  for (LONG y = 0; y < s.bottom - s.top; ++y)
    std::memcpy(static_cast<uint8_t*>(to.pBits) + size_t(y) * to.Pitch,
                static_cast<const uint8_t*>(from.pBits) + size_t(y) * from.Pitch, rowBytes);
  destination->UnlockRect();
  source->UnlockRect();
  return true;
}

template <typename T, typename Interface>
HRESULT handOut(T* object, Interface** out) {
  if (!object->storage.valid()) {
    object->Release();
    return D3DERR_INVALIDCALL;
  }
  *out = object;
  return D3D_OK;
}

}  // namespace

HRESULT Device::CreateTexture(UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format,
                              D3DPOOL pool, IDirect3DTexture9** out, HANDLE*) {
  logCall("CreateTexture", width, height, levels, usage, format, pool);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (width == 0 || height == 0 || width > 8192 || height > 8192 || !isTextureFormat(format))
    return D3DERR_INVALIDCALL;
  if ((usage & D3DUSAGE_RENDERTARGET) && (pool != D3DPOOL_DEFAULT || !isRenderTargetFormat(format)))
    return D3DERR_INVALIDCALL;
  // One texture larger than all the texture memory the device reports
  // cannot be had, as on a card of that size.
  if (textureBytes(width, height, levels, usage, format, 1) > GetAvailableTextureMem())
    return D3DERR_OUTOFVIDEOMEMORY;
  activate();
  return handOut(new Texture(this, width, height, levels, usage, format, pool), out);
}

HRESULT Device::CreateCubeTexture(UINT edge, UINT levels, DWORD usage, D3DFORMAT format,
                                  D3DPOOL pool, IDirect3DCubeTexture9** out, HANDLE*) {
  logCall("CreateCubeTexture", edge, levels, usage, format, pool);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (edge == 0 || edge > 8192 || !isTextureFormat(format)) return D3DERR_INVALIDCALL;
  if ((usage & D3DUSAGE_RENDERTARGET) && (pool != D3DPOOL_DEFAULT || !isRenderTargetFormat(format)))
    return D3DERR_INVALIDCALL;
  if (textureBytes(edge, edge, levels, usage, format, 6) > GetAvailableTextureMem())
    return D3DERR_OUTOFVIDEOMEMORY;
  activate();
  return handOut(new CubeTexture(this, edge, levels, usage, format, pool), out);
}

HRESULT Device::CreateVertexBuffer(UINT length, DWORD usage, DWORD fvf, D3DPOOL pool,
                                   IDirect3DVertexBuffer9** out, HANDLE*) {
  logCall("CreateVertexBuffer", length, usage, fvf, pool);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (length == 0 || length > (1u << 30)) return D3DERR_INVALIDCALL;
  activate();
  *out = new VertexBuffer(this, length, usage, fvf, pool);
  return D3D_OK;
}

HRESULT Device::CreateIndexBuffer(UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                                  IDirect3DIndexBuffer9** out, HANDLE*) {
  logCall("CreateIndexBuffer", length, usage, format, pool);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (length == 0 || length > (1u << 30) || (format != D3DFMT_INDEX16 && format != D3DFMT_INDEX32))
    return D3DERR_INVALIDCALL;
  activate();
  *out = new IndexBuffer(this, length, usage, format, pool);
  return D3D_OK;
}

HRESULT Device::CreateRenderTarget(UINT width, UINT height, D3DFORMAT format, D3DMULTISAMPLE_TYPE,
                                   DWORD, BOOL, IDirect3DSurface9** out, HANDLE*) {
  logCall("CreateRenderTarget", width, height, format);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (width == 0 || height == 0 || width > 8192 || height > 8192 || !isRenderTargetFormat(format))
    return D3DERR_INVALIDCALL;
  activate();
  auto* surface =
      new Surface(this, Surface::Kind::RenderTarget, width, height, format, D3DPOOL_DEFAULT);
  if (!surface->valid()) {
    surface->Release();
    return D3DERR_INVALIDCALL;
  }
  *out = surface;
  return D3D_OK;
}

HRESULT Device::CreateDepthStencilSurface(UINT width, UINT height, D3DFORMAT format,
                                          D3DMULTISAMPLE_TYPE, DWORD, BOOL, IDirect3DSurface9** out,
                                          HANDLE*) {
  logCall("CreateDepthStencilSurface", width, height, format);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  const FormatInfo* info = formatInfo(format);
  if (width == 0 || height == 0 || width > 8192 || height > 8192 || !info || !info->depth)
    return D3DERR_INVALIDCALL;
  activate();
  auto* surface =
      new Surface(this, Surface::Kind::DepthStencil, width, height, format, D3DPOOL_DEFAULT);
  if (!surface->valid()) {
    surface->Release();
    return D3DERR_INVALIDCALL;
  }
  *out = surface;
  return D3D_OK;
}

HRESULT Device::CreateOffscreenPlainSurface(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                                            IDirect3DSurface9** out, HANDLE*) {
  logCall("CreateOffscreenPlainSurface", width, height, format, pool);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (width == 0 || height == 0 || width > 8192 || height > 8192 || !isTextureFormat(format))
    return D3DERR_INVALIDCALL;
  auto* surface = new Surface(this, Surface::Kind::Plain, width, height, format, pool);
  if (!surface->valid()) {
    surface->Release();
    return D3DERR_INVALIDCALL;
  }
  *out = surface;
  return D3D_OK;
}

// Copies without scaling. Direct3D asks for a system-memory source and a
// GPU destination; this device copies between any two surfaces that it can
// reach, so copying from the back buffer into a texture works as its users
// mean it to.
HRESULT Device::UpdateSurface(IDirect3DSurface9* source, const RECT* sourceRect,
                              IDirect3DSurface9* destination, const POINT* destPoint) {
  logCall("UpdateSurface", source, sourceRect, destination, destPoint);
  Surface* from = ours(source);
  Surface* to = ours(destination);
  if (!from || !to || from == to || from->isDepth() || to->isDepth()) return D3DERR_INVALIDCALL;
  RECT s = sourceRect ? *sourceRect : wholeOf(from);
  POINT p = destPoint ? *destPoint : POINT{0, 0};
  RECT d = {p.x, p.y, p.x + (s.right - s.left), p.y + (s.bottom - s.top)};
  if (!inside(s, from) || !inside(d, to)) return D3DERR_INVALIDCALL;
  activate();
  bool gpuFrom = from->kind != Surface::Kind::Plain && !from->info->blockBytes;
  bool gpuTo = to->kind != Surface::Kind::Plain && !to->info->blockBytes;
  if (gpuFrom && gpuTo) return backend->copy(from, s, to, d, false) ? D3D_OK : D3DERR_INVALIDCALL;
  return copyThroughMemory(from, s, to, p.x, p.y) ? D3D_OK : D3DERR_INVALIDCALL;
}

HRESULT Device::UpdateTexture(IDirect3DBaseTexture9* source, IDirect3DBaseTexture9* destination) {
  logCall("UpdateTexture", source, destination);
  TextureStorage* from = storageOf(source);
  TextureStorage* to = storageOf(destination);
  if (!from || !to || from == to || from->target != to->target || from->format != to->format ||
      from->width != to->width || from->height != to->height)
    return D3DERR_INVALIDCALL;
  UINT levels = std::min(from->levelCount, to->levelCount);
  for (int face = 0; face < from->faceCount; ++face)
    for (UINT level = 0; level < levels; ++level) {
      Surface* s = from->surface(UINT(face), level);
      Surface* d = to->surface(UINT(face), level);
      D3DLOCKED_RECT a, b;
      if (FAILED(s->LockRect(&a, nullptr, D3DLOCK_READONLY))) return D3DERR_INVALIDCALL;
      if (FAILED(d->LockRect(&b, nullptr, D3DLOCK_DISCARD))) {
        s->UnlockRect();
        return D3DERR_INVALIDCALL;
      }
      std::memcpy(b.pBits, a.pBits, size_t(a.Pitch) * levelRows(from->format, s->height));
      d->UnlockRect();
      s->UnlockRect();
    }
  if (to->usage & D3DUSAGE_AUTOGENMIPMAP) to->mipsWentStale();
  return D3D_OK;
}

HRESULT Device::GetRenderTargetData(IDirect3DSurface9* renderTarget,
                                    IDirect3DSurface9* destination) {
  logCall("GetRenderTargetData", renderTarget, destination);
  Surface* from = ours(renderTarget);
  Surface* to = ours(destination);
  if (!from || !to || from->width != to->width || from->height != to->height ||
      from->format != to->format || from->isDepth())
    return D3DERR_INVALIDCALL;
  return copyThroughMemory(from, wholeOf(from), to, 0, 0) ? D3D_OK : D3DERR_INVALIDCALL;
}

HRESULT Device::StretchRect(IDirect3DSurface9* source, const RECT* sourceRect,
                            IDirect3DSurface9* destination, const RECT* destRect,
                            D3DTEXTUREFILTERTYPE filter) {
  logCall("StretchRect", source, sourceRect, destination, destRect, filter);
  Surface* from = ours(source);
  Surface* to = ours(destination);
  if (!from || !to || from->kind == Surface::Kind::Plain || to->kind == Surface::Kind::Plain ||
      from->info->blockBytes || to->info->blockBytes || from->isDepth() != to->isDepth())
    return D3DERR_INVALIDCALL;
  RECT s = sourceRect ? *sourceRect : wholeOf(from);
  RECT d = destRect ? *destRect : wholeOf(to);
  if (!inside(s, from) || !inside(d, to)) return D3DERR_INVALIDCALL;
  // Depth copies cannot scale, and a surface cannot overlap itself.
  if (from->isDepth() &&
      (s.right - s.left != d.right - d.left || s.bottom - s.top != d.bottom - d.top))
    return D3DERR_INVALIDCALL;
  if (from == to) return D3DERR_INVALIDCALL;
  activate();
  bool linear = filter == D3DTEXF_LINEAR || filter == D3DTEXF_ANISOTROPIC;
  return backend->copy(from, s, to, d, linear) ? D3D_OK : D3DERR_INVALIDCALL;
}

HRESULT Device::ColorFill(IDirect3DSurface9* surface, const RECT* rect, D3DCOLOR color) {
  logCall("ColorFill", surface, rect, Hex{color});
  Surface* s = ours(surface);
  if (!s || s->isDepth()) return D3DERR_INVALIDCALL;
  RECT r = rect ? *rect : wholeOf(s);
  if (!inside(r, s)) return D3DERR_INVALIDCALL;
  // A GPU clear writes red, green, blue and alpha into the stored channels;
  // formats that keep alpha or luminance in the red channel (A8, L8, A8L8)
  // are filled through memory in their own layout.
  const GLint* swizzle = s->info->swizzle;
  bool storedAsRGB = swizzle[0] == GL_RED && swizzle[1] == GL_GREEN && swizzle[2] == GL_BLUE;
  if (s->kind == Surface::Kind::Plain || s->info->blockBytes || !storedAsRGB) {
    if (s->info->blockBytes) return D3DERR_INVALIDCALL;
    D3DLOCKED_RECT locked;
    if (FAILED(s->LockRect(&locked, &r, 0))) return D3DERR_INVALIDCALL;
    for (LONG y = 0; y < r.bottom - r.top; ++y)
      for (LONG x = 0; x < r.right - r.left; ++x)
        pixelFromARGB(s->format, color,
                      static_cast<uint8_t*>(locked.pBits) + size_t(y) * locked.Pitch +
                          size_t(x) * s->info->bytesPerPixel);
    s->UnlockRect();
    return D3D_OK;
  }
  activate();
  return backend->fill(s, r, color) ? D3D_OK : D3DERR_INVALIDCALL;
}

HRESULT Device::SetRenderTarget(DWORD index, IDirect3DSurface9* surface) {
  logCall("SetRenderTarget", index, surface);
  Surface* target = ours(surface);
  if (index >= D3D_MAX_SIMULTANEOUS_RENDERTARGETS || (surface && !target))
    return D3DERR_INVALIDCALL;
  // Only the first target must always be there.
  if (index == 0 && !target) return D3DERR_INVALIDCALL;
  if (target) {
    bool renderable = target->kind == Surface::Kind::RenderTarget ||
                      (target->kind == Surface::Kind::TextureLevel && target->texture() &&
                       (target->texture()->usage & D3DUSAGE_RENDERTARGET));
    if (!renderable) return D3DERR_INVALIDCALL;
    // One surface is one target of the set, not two.
    for (DWORD i = 0; i < D3D_MAX_SIMULTANEOUS_RENDERTARGETS; ++i)
      if (i != index && target == (i == 0 ? state.renderTarget : state.moreTargets[i - 1]))
        return D3DERR_INVALIDCALL;
    target->bindSurface();
  }
  Surface*& slot = index == 0 ? state.renderTarget : state.moreTargets[index - 1];
  if (slot) slot->unbindSurface();
  slot = target;
  if (index != 0) return D3D_OK;
  // A new first target resets the viewport and the scissor rectangle to all
  // of it.
  state.viewport = {0, 0, target->width, target->height, 0.0f, 1.0f};
  state.scissor = {0, 0, LONG(target->width), LONG(target->height)};
  state.versions.bump(state.versions.viewport);
  state.versions.bump(state.versions.scissor);
  return D3D_OK;
}

HRESULT Device::GetRenderTarget(DWORD index, IDirect3DSurface9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (index >= D3D_MAX_SIMULTANEOUS_RENDERTARGETS) return D3DERR_INVALIDCALL;
  Surface* target = index == 0 ? state.renderTarget : state.moreTargets[index - 1];
  if (!target) return D3DERR_NOTFOUND;
  *out = target;
  target->AddRef();
  return D3D_OK;
}

HRESULT Device::SetDepthStencilSurface(IDirect3DSurface9* surface) {
  logCall("SetDepthStencilSurface", surface);
  Surface* depth = surface ? ours(surface) : nullptr;
  if (surface && (!depth || !depth->isDepth())) return D3DERR_INVALIDCALL;
  if (depth) depth->bindSurface();
  if (state.depthStencil) state.depthStencil->unbindSurface();
  state.depthStencil = depth;
  return D3D_OK;
}

HRESULT Device::GetDepthStencilSurface(IDirect3DSurface9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = state.depthStencil;
  if (!state.depthStencil) return D3DERR_NOTFOUND;
  state.depthStencil->AddRef();
  return D3D_OK;
}

HRESULT Device::GetTexture(DWORD stage, IDirect3DBaseTexture9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (stage >= D3DMAX_SAMPLERS) return D3DERR_INVALIDCALL;
  *out = state.textures[stage];
  if (*out) (*out)->AddRef();
  return D3D_OK;
}

[[gnu::hot]] HRESULT Device::SetTexture(DWORD stage, IDirect3DBaseTexture9* texture) {
  logCall("SetTexture", stage, texture);
  if (stage >= D3DMAX_SAMPLERS) return D3DERR_INVALIDCALL;
  // (What is bound is always a texture of ours.)
  if (state.textures[stage] == texture) return D3D_OK;
  TextureStorage* storage = texture ? storageOf(texture) : nullptr;
  if (texture && !storage) return D3DERR_INVALIDCALL;
  // A texture of another kind (none, 2D, cube) may need another program;
  // one of the same kind only needs binding.
  TextureStorage* before = state.textureStorages[stage];
  const bool otherKind = (before ? before->target : 0) != (storage ? storage->target : 0);
  if (storage) storage->counter->bind();
  if (before) before->counter->unbind();  // (which may end it)
  state.textures[stage] = texture;
  state.textureStorages[stage] = storage;
  if (otherKind) {
    ++state.versions.textureKinds;
    state.versions.bump(state.versions.textures);
  } else {
    state.versions.valueChanged(state.versions.textures);
  }
  return D3D_OK;
}

HRESULT Device::SetStreamSource(UINT stream, IDirect3DVertexBuffer9* buffer, UINT offset,
                                UINT stride) {
  logCall("SetStreamSource", stream, buffer, offset, stride);
  if (stream != 0) return D3DERR_INVALIDCALL;
  auto* vb = buffer ? dynamic_cast<VertexBuffer*>(buffer) : nullptr;
  if (buffer && !vb) return D3DERR_INVALIDCALL;
  if (vb) vb->bind();
  if (state.stream) state.stream->unbind();
  state.stream = vb;
  state.streamOffset = offset;
  state.streamStride = stride;
  return D3D_OK;
}

HRESULT Device::GetStreamSource(UINT stream, IDirect3DVertexBuffer9** buffer, UINT* offset,
                                UINT* stride) {
  if (!buffer || !offset || !stride || stream != 0) return D3DERR_INVALIDCALL;
  *buffer = state.stream;
  if (state.stream) state.stream->AddRef();
  *offset = state.streamOffset;
  *stride = state.streamStride;
  return D3D_OK;
}

HRESULT Device::SetIndices(IDirect3DIndexBuffer9* buffer) {
  logCall("SetIndices", buffer);
  auto* ib = buffer ? dynamic_cast<IndexBuffer*>(buffer) : nullptr;
  if (buffer && !ib) return D3DERR_INVALIDCALL;
  if (ib) ib->bind();
  if (state.indices) state.indices->unbind();
  state.indices = ib;
  return D3D_OK;
}

HRESULT Device::GetIndices(IDirect3DIndexBuffer9** buffer) {
  if (!buffer) return D3DERR_INVALIDCALL;
  *buffer = state.indices;
  if (state.indices) state.indices->AddRef();
  return D3D_OK;
}

}  // namespace d3d9
