#include "platform/d3d9/IndexBuffer.h"

#include <algorithm>
#include <cstring>

namespace d3d9 {

IndexBuffer::IndexBuffer(Device* device, UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool)
    : RefCounter(device), storage(device, length, usage, pool), format(format) {}

HRESULT IndexBuffer::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

void IndexBuffer::indexRange(UINT start, UINT count, uint32_t& smallest, uint32_t& largest) {
  for (const Range& r : ranges)
    if (r.generation == storage.generation && r.start == start && r.count == count) {
      smallest = r.smallest;
      largest = r.largest;
      return;
    }
  smallest = ~0u;
  largest = 0;
  const uint8_t* bytes = storage.bytes();
  for (UINT i = 0; i < count; ++i) {
    uint32_t index;
    if (format == D3DFMT_INDEX16) {
      uint16_t v;
      std::memcpy(&v, bytes + size_t(start + i) * 2, 2);
      index = v;
    } else {
      std::memcpy(&index, bytes + size_t(start + i) * 4, 4);
    }
    smallest = std::min(smallest, index);
    largest = std::max(largest, index);
  }
  Range& r = ranges[nextRange];
  nextRange = (nextRange + 1) % 4;
  r = {storage.generation, start, count, smallest, largest};
}

HRESULT IndexBuffer::GetDesc(D3DINDEXBUFFER_DESC* desc) {
  if (!desc) return D3DERR_INVALIDCALL;
  desc->Format = format;
  desc->Type = D3DRTYPE_INDEXBUFFER;
  desc->Usage = storage.usage;
  desc->Pool = storage.pool;
  desc->Size = storage.size;
  return D3D_OK;
}

}  // namespace d3d9
