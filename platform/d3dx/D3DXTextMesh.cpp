// The text as a D3DX mesh: buildTextMeshData's arrays copied into a mesh of
// the vertex format D3DFVF_XYZ | D3DFVF_NORMAL.

#include <cstring>

#include "platform/d3dx/D3DXMesh.h"
#include "platform/d3dx/D3DXText.h"

HRESULT D3DXCreateTextA(IDirect3DDevice9* device, HDC dc, LPCSTR text, FLOAT deviation,
                        FLOAT extrusion, LPD3DXMESH* mesh, LPD3DXBUFFER* adjacency,
                        GLYPHMETRICSFLOAT* glyphMetrics) {
  if (!mesh) return D3DERR_INVALIDCALL;
  *mesh = nullptr;
  if (!device) return D3DERR_INVALIDCALL;
  // Nothing in the engine asks for adjacency; say so rather than hand back
  // none.
  if (adjacency) return E_NOTIMPL;
  TextMeshData data;
  HRESULT hr = buildTextMeshData(dc, text, deviation, extrusion, data);
  if (FAILED(hr)) return hr;
  if (data.indices.empty()) return D3DERR_INVALIDCALL;  // a mesh needs a face

  const DWORD faces = DWORD(data.indices.size() / 3);
  const DWORD vertices = DWORD(data.vertices.size());
  const bool wide = vertices > 0xFFFF;
  LPD3DXMESH created = nullptr;
  hr = D3DXCreateMeshFVF(faces, vertices, D3DXMESH_MANAGED | (wide ? D3DXMESH_32BIT : 0),
                         D3DFVF_XYZ | D3DFVF_NORMAL, device, &created);
  if (FAILED(hr)) return hr;

  void* vertexData = nullptr;
  void* indexData = nullptr;
  DWORD* attributeData = nullptr;
  if (FAILED(created->LockVertexBuffer(0, &vertexData)) ||
      FAILED(created->LockIndexBuffer(0, &indexData)) ||
      FAILED(created->LockAttributeBuffer(0, &attributeData))) {
    created->Release();
    return D3DERR_INVALIDCALL;
  }
  std::memcpy(vertexData, data.vertices.data(), data.vertices.size() * sizeof(TextMeshVertex));
  if (wide) {
    std::memcpy(indexData, data.indices.data(), data.indices.size() * sizeof(uint32_t));
  } else {
    auto* narrow = static_cast<uint16_t*>(indexData);
    for (size_t i = 0; i < data.indices.size(); ++i) narrow[i] = uint16_t(data.indices[i]);
  }
  std::memcpy(attributeData, data.attributes.data(), data.attributes.size() * sizeof(DWORD));
  created->UnlockAttributeBuffer();
  created->UnlockIndexBuffer();
  created->UnlockVertexBuffer();

  if (glyphMetrics)
    std::memcpy(glyphMetrics, data.metrics.data(), data.metrics.size() * sizeof(GLYPHMETRICSFLOAT));
  *mesh = created;
  return D3D_OK;
}
