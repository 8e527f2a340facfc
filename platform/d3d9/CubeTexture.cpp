#include "platform/d3d9/CubeTexture.h"

#include "platform/d3d9/Surface.h"

namespace d3d9 {

CubeTexture::CubeTexture(Device* device, UINT edge, UINT levels, DWORD usage, D3DFORMAT format,
                         D3DPOOL pool)
    : TextureObject(device, GL_TEXTURE_CUBE_MAP, edge, edge, levels, usage, format, pool) {}

HRESULT CubeTexture::GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level, IDirect3DSurface9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  Surface* surface = storage.surface(UINT(face), level);
  *out = surface;
  if (!surface) return D3DERR_INVALIDCALL;
  surface->AddRef();
  return D3D_OK;
}

HRESULT CubeTexture::LockRect(D3DCUBEMAP_FACES face, UINT level, D3DLOCKED_RECT* locked,
                              const RECT* rect, DWORD flags) {
  return storage.lock(UINT(face), level, locked, rect, flags);
}

HRESULT CubeTexture::UnlockRect(D3DCUBEMAP_FACES face, UINT level) {
  return storage.unlock(UINT(face), level);
}

}  // namespace d3d9
