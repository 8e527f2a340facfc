// The device's vertex format: an FVF or a vertex declaration in its place.
// Either becomes one VertexInput, which is all that drawing reads.
#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/Device.h"
#include "platform/d3d9/VertexDeclaration.h"
#include "platform/d3d9/VertexFormat.h"

namespace d3d9 {

namespace {

// Declarations' inputs are told apart from FVFs' above 2^32.
uint64_t gNextDeclarationId = uint64_t(1) << 32;

}  // namespace

const VertexInput& Device::fvfInput(DWORD fvf) {
  auto found = fvfInputs.find(fvf);
  if (found == fvfInputs.end())
    found = fvfInputs.emplace(fvf, std::make_unique<VertexInput>(inputOfFVF(fvf))).first;
  return *found->second;
}

void Device::setVertexInput(DWORD fvf, VertexDeclaration* declaration, const VertexInput& input) {
  if (declaration) declaration->bind();
  if (state.declaration) state.declaration->unbind();
  state.declaration = declaration;
  state.fvf = fvf;
  state.input = &input;
  state.fvfSize = input.size;
  state.versions.bump(state.versions.vertexFormat);
}

HRESULT Device::SetFVF(DWORD fvf) {
  logCall("SetFVF", fvf);
  if (state.fvf != fvf || state.declaration || !state.input)
    setVertexInput(fvf, nullptr, fvfInput(fvf));
  return D3D_OK;
}

HRESULT Device::GetFVF(DWORD* fvf) {
  if (!fvf) return D3DERR_INVALIDCALL;
  *fvf = state.fvf;
  return D3D_OK;
}

HRESULT Device::CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements,
                                        IDirect3DVertexDeclaration9** out) {
  logCall("CreateVertexDeclaration", elements);
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  const int count = declarationLength(elements);
  if (count < 0) return D3DERR_INVALIDCALL;
  VertexInput input;
  if (!inputOfElements(elements, size_t(count), input)) return D3DERR_INVALIDCALL;
  input.id = gNextDeclarationId++;
  *out = new VertexDeclaration(this, std::vector<D3DVERTEXELEMENT9>(elements, elements + count),
                               std::move(input));
  return D3D_OK;
}

HRESULT Device::SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration) {
  logCall("SetVertexDeclaration", declaration);
  auto* ours = declaration ? dynamic_cast<VertexDeclaration*>(declaration) : nullptr;
  if (declaration && !ours) return D3DERR_INVALIDCALL;
  if (ours == state.declaration && state.input) return D3D_OK;
  if (!ours) {
    // No declaration: nothing can be drawn until a format is set.
    setVertexInput(0, nullptr, fvfInput(0));
    return D3D_OK;
  }
  setVertexInput(0, ours, ours->input);
  return D3D_OK;
}

HRESULT Device::GetVertexDeclaration(IDirect3DVertexDeclaration9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = state.declaration;
  if (*out) (*out)->AddRef();
  return D3D_OK;
}

void Device::forgetVertexInput(uint64_t id) {
  activate();
  backend->forgetVertexInput(id);
}

}  // namespace d3d9
