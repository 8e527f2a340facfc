// A 2D texture: one face, its mip levels locked and handed out as surfaces.
#pragma once

#include "platform/d3d9/TextureObject.h"

namespace d3d9 {

class Texture final : public TextureObject<IDirect3DTexture9, D3DRTYPE_TEXTURE> {
 public:
  Texture(Device* device, UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format,
          D3DPOOL pool);

  HRESULT GetSurfaceLevel(UINT level, IDirect3DSurface9** surface) override;
  HRESULT LockRect(UINT level, D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) override;
  HRESULT UnlockRect(UINT level) override;
  HRESULT AddDirtyRect(const RECT*) override { return D3D_OK; }
};

}  // namespace d3d9
