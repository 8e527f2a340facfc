// What 2D and cube textures share: the reference counts, the storage and
// the methods of IDirect3DBaseTexture9 that only pass on to the storage.
#pragma once

#include "platform/d3d9/Resource.h"
#include "platform/d3d9/TextureStorage.h"

namespace d3d9 {

template <class Interface, D3DRESOURCETYPE kType>
class TextureObject : public Interface, public RefCounter {
 public:
  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  void destroy() override { delete this; }
  TextureStorage storage;

  HRESULT GetDevice(IDirect3DDevice9** device) override { return giveDevice(owner, device); }
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return kType; }
  DWORD SetLOD(DWORD lod) override { return storage.setLOD(lod); }
  DWORD GetLOD() override { return storage.lod; }
  DWORD GetLevelCount() override { return storage.levelCount; }
  HRESULT SetAutoGenFilterType(D3DTEXTUREFILTERTYPE filter) override {
    if (filter == D3DTEXF_NONE) return D3DERR_INVALIDCALL;
    storage.autoGenFilter = filter;
    return D3D_OK;
  }
  D3DTEXTUREFILTERTYPE GetAutoGenFilterType() override { return storage.autoGenFilter; }
  void GenerateMipSubLevels() override { storage.generateMips(); }
  HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) override {
    return storage.describe(level, desc);
  }

 protected:
  TextureObject(Device* device, GLenum target, UINT width, UINT height, UINT levels, DWORD usage,
                D3DFORMAT format, D3DPOOL pool)
      : RefCounter(device),
        storage(device, this, this, target, width, height, levels, usage, format, pool) {}
};

}  // namespace d3d9
