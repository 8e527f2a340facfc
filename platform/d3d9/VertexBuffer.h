// A vertex buffer: vertices of one flexible vertex format.
#pragma once

#include "platform/d3d9/BufferStorage.h"

namespace d3d9 {

class VertexBuffer final : public IDirect3DVertexBuffer9, public RefCounter {
 public:
  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  void destroy() override { delete this; }
  VertexBuffer(Device* device, UINT length, DWORD usage, DWORD fvf, D3DPOOL pool);
  BufferStorage storage;
  DWORD fvf;

  HRESULT GetDevice(IDirect3DDevice9** device) override;
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return D3DRTYPE_VERTEXBUFFER; }
  HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) override {
    return storage.lock(offset, size, data, flags);
  }
  HRESULT Unlock() override { return storage.unlock(); }
  HRESULT GetDesc(D3DVERTEXBUFFER_DESC* desc) override;
};

}  // namespace d3d9
