// A vertex declaration: the elements it was made from and the vertex input
// they give.
#pragma once

#include <vector>

#include "platform/d3d9/Resource.h"
#include "platform/d3d9/VertexInput.h"

namespace d3d9 {

class VertexDeclaration final : public IDirect3DVertexDeclaration9, public RefCounter {
 public:
  // `elements` without the end marker; `input` made from them.
  VertexDeclaration(Device* device, std::vector<D3DVERTEXELEMENT9> elements, VertexInput input);
  ~VertexDeclaration() override;
  void destroy() override { delete this; }

  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  HRESULT GetDevice(IDirect3DDevice9** device) override;
  HRESULT GetDeclaration(D3DVERTEXELEMENT9* elements, UINT* count) override;

  const std::vector<D3DVERTEXELEMENT9> elements;
  const VertexInput input;
};

}  // namespace d3d9
