#include "platform/d3d9/VertexBuffer.h"

namespace d3d9 {

VertexBuffer::VertexBuffer(Device* device, UINT length, DWORD usage, DWORD fvf, D3DPOOL pool)
    : RefCounter(device), storage(device, length, usage, pool), fvf(fvf) {}

HRESULT VertexBuffer::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

HRESULT VertexBuffer::GetDesc(D3DVERTEXBUFFER_DESC* desc) {
  if (!desc) return D3DERR_INVALIDCALL;
  desc->Format = D3DFMT_VERTEXDATA;
  desc->Type = D3DRTYPE_VERTEXBUFFER;
  desc->Usage = storage.usage;
  desc->Pool = storage.pool;
  desc->Size = storage.size;
  desc->FVF = fvf;
  return D3D_OK;
}

}  // namespace d3d9
