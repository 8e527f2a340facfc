#include "platform/d3d9/Texture.h"

#include "platform/d3d9/Surface.h"

namespace d3d9 {

Texture::Texture(Device* device, UINT width, UINT height, UINT levels, DWORD usage,
                 D3DFORMAT format, D3DPOOL pool)
    : TextureObject(device, GL_TEXTURE_2D, width, height, levels, usage, format, pool) {}

HRESULT Texture::GetSurfaceLevel(UINT level, IDirect3DSurface9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  Surface* surface = storage.surface(0, level);
  *out = surface;
  if (!surface) return D3DERR_INVALIDCALL;
  surface->AddRef();
  return D3D_OK;
}

HRESULT Texture::LockRect(UINT level, D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) {
  return storage.lock(0, level, locked, rect, flags);
}

HRESULT Texture::UnlockRect(UINT level) { return storage.unlock(0, level); }

}  // namespace d3d9
