// A block of bytes with a reference count: what the D3DX helpers hand out
// (materials, adjacency, bone tables, compiled shader code, error texts).
#pragma once

#include <cstddef>

#include "platform/d3d9/D3D9.h"

struct ID3DXBuffer : IUnknown {
  virtual void* GetBufferPointer() = 0;
  virtual DWORD GetBufferSize() = 0;
};
typedef ID3DXBuffer* LPD3DXBUFFER;

// A buffer of `size` zeroed bytes, 16-byte aligned.
HRESULT D3DXCreateBuffer(DWORD size, ID3DXBuffer** buffer);

namespace d3dx_buffer {
// A buffer holding a copy of `size` bytes from `data` (zeroes when data is
// null); null when memory runs out.
ID3DXBuffer* make(const void* data, size_t size);
}  // namespace d3dx_buffer
