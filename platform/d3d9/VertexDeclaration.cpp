#include "platform/d3d9/VertexDeclaration.h"

#include <algorithm>

#include "platform/d3d9/Device.h"

namespace d3d9 {

VertexDeclaration::VertexDeclaration(Device* device, std::vector<D3DVERTEXELEMENT9> elements,
                                     VertexInput input)
    : RefCounter(device), elements(std::move(elements)), input(std::move(input)) {}

VertexDeclaration::~VertexDeclaration() { owner->forgetVertexInput(input.id); }

HRESULT VertexDeclaration::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

HRESULT VertexDeclaration::GetDeclaration(D3DVERTEXELEMENT9* out, UINT* count) {
  if (!count) return D3DERR_INVALIDCALL;
  const UINT total = UINT(elements.size()) + 1;
  if (out) {
    if (*count != 0 && *count < total) return D3DERR_INVALIDCALL;
    std::copy(elements.begin(), elements.end(), out);
    out[elements.size()] = D3DDECL_END();
  }
  *count = total;
  return D3D_OK;
}

}  // namespace d3d9
