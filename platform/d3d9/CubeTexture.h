// A cube texture: six square faces, each with its mip levels.
#pragma once

#include "platform/d3d9/TextureObject.h"

namespace d3d9 {

class CubeTexture final : public TextureObject<IDirect3DCubeTexture9, D3DRTYPE_CUBETEXTURE> {
 public:
  CubeTexture(Device* device, UINT edge, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool);

  HRESULT GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level,
                            IDirect3DSurface9** surface) override;
  HRESULT LockRect(D3DCUBEMAP_FACES face, UINT level, D3DLOCKED_RECT* locked, const RECT* rect,
                   DWORD flags) override;
  HRESULT UnlockRect(D3DCUBEMAP_FACES face, UINT level) override;
  HRESULT AddDirtyRect(D3DCUBEMAP_FACES, const RECT*) override { return D3D_OK; }
};

}  // namespace d3d9
