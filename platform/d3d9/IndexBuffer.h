// An index buffer: 16- or 32-bit indices, with the index ranges of recent
// draws remembered.
#pragma once

#include <cstdint>

#include "platform/d3d9/BufferStorage.h"

namespace d3d9 {

class IndexBuffer final : public IDirect3DIndexBuffer9, public RefCounter {
 public:
  // The smallest and largest index among `count` indices from `start`, so
  // that draws never reach outside their vertex buffer. Remembered for the
  // ranges drawn lately, until the buffer is written again.
  void indexRange(UINT start, UINT count, uint32_t& smallest, uint32_t& largest);

  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  void destroy() override { delete this; }
  IndexBuffer(Device* device, UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool);
  BufferStorage storage;
  D3DFORMAT format;

 private:
  struct Range {
    uint64_t generation = ~0ull;
    UINT start = 0, count = 0;
    uint32_t smallest = 0, largest = 0;
  };
  Range ranges[4];
  int nextRange = 0;

 public:
  HRESULT GetDevice(IDirect3DDevice9** device) override;
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return D3DRTYPE_INDEXBUFFER; }
  HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) override {
    return storage.lock(offset, size, data, flags);
  }
  HRESULT Unlock() override { return storage.unlock(); }
  HRESULT GetDesc(D3DINDEXBUFFER_DESC* desc) override;
};

}  // namespace d3d9
