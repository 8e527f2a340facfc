// The default bodies of the device interface: a device that refuses every
// call and touches nothing. Tests derive from it and override what they
// watch; the GL device overrides everything.
#include <cstring>

#include "platform/d3d9/D3D9.h"

namespace {

template <typename T>
void zero(T* out) {
  if (out) std::memset(static_cast<void*>(out), 0, sizeof *out);
}

}  // namespace

ULONG IDirect3DDevice9::AddRef() { return 1; }
ULONG IDirect3DDevice9::Release() { return 0; }

HRESULT IDirect3DDevice9::TestCooperativeLevel() { return D3DERR_INVALIDCALL; }
UINT IDirect3DDevice9::GetAvailableTextureMem() { return 0; }
HRESULT IDirect3DDevice9::GetDirect3D(IDirect3D9** direct3d) {
  zero(direct3d);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetDeviceCaps(D3DCAPS9* caps) {
  zero(caps);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetDisplayMode(UINT, D3DDISPLAYMODE* mode) {
  zero(mode);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::Reset(D3DPRESENT_PARAMETERS*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::Present(const RECT*, const RECT*, HWND, const void*) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetBackBuffer(UINT, UINT, D3DBACKBUFFER_TYPE,
                                        IDirect3DSurface9** surface) {
  zero(surface);
  return D3DERR_INVALIDCALL;
}

HRESULT IDirect3DDevice9::CreateTexture(UINT, UINT, UINT, DWORD, D3DFORMAT, D3DPOOL,
                                        IDirect3DTexture9** texture, HANDLE*) {
  zero(texture);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::CreateCubeTexture(UINT, UINT, DWORD, D3DFORMAT, D3DPOOL,
                                            IDirect3DCubeTexture9** texture, HANDLE*) {
  zero(texture);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::CreateVertexBuffer(UINT, DWORD, DWORD, D3DPOOL,
                                             IDirect3DVertexBuffer9** buffer, HANDLE*) {
  zero(buffer);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::CreateIndexBuffer(UINT, DWORD, D3DFORMAT, D3DPOOL,
                                            IDirect3DIndexBuffer9** buffer, HANDLE*) {
  zero(buffer);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::CreateRenderTarget(UINT, UINT, D3DFORMAT, D3DMULTISAMPLE_TYPE, DWORD,
                                             BOOL, IDirect3DSurface9** surface, HANDLE*) {
  zero(surface);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::CreateDepthStencilSurface(UINT, UINT, D3DFORMAT, D3DMULTISAMPLE_TYPE,
                                                    DWORD, BOOL, IDirect3DSurface9** surface,
                                                    HANDLE*) {
  zero(surface);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::CreateOffscreenPlainSurface(UINT, UINT, D3DFORMAT, D3DPOOL,
                                                      IDirect3DSurface9** surface, HANDLE*) {
  zero(surface);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::UpdateSurface(IDirect3DSurface9*, const RECT*, IDirect3DSurface9*,
                                        const POINT*) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::UpdateTexture(IDirect3DBaseTexture9*, IDirect3DBaseTexture9*) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetRenderTargetData(IDirect3DSurface9*, IDirect3DSurface9*) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::StretchRect(IDirect3DSurface9*, const RECT*, IDirect3DSurface9*,
                                      const RECT*, D3DTEXTUREFILTERTYPE) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::ColorFill(IDirect3DSurface9*, const RECT*, D3DCOLOR) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetRenderTarget(DWORD, IDirect3DSurface9*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetRenderTarget(DWORD, IDirect3DSurface9** surface) {
  zero(surface);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetDepthStencilSurface(IDirect3DSurface9*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetDepthStencilSurface(IDirect3DSurface9** surface) {
  zero(surface);
  return D3DERR_INVALIDCALL;
}

HRESULT IDirect3DDevice9::BeginScene() { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::EndScene() { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::Clear(DWORD, const D3DRECT*, DWORD, D3DCOLOR, float, DWORD) {
  return D3DERR_INVALIDCALL;
}

HRESULT IDirect3DDevice9::SetTransform(D3DTRANSFORMSTATETYPE, const D3DMATRIX*) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetTransform(D3DTRANSFORMSTATETYPE, D3DMATRIX* matrix) {
  zero(matrix);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::MultiplyTransform(D3DTRANSFORMSTATETYPE, const D3DMATRIX*) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetViewport(const D3DVIEWPORT9*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetViewport(D3DVIEWPORT9* viewport) {
  zero(viewport);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetMaterial(const D3DMATERIAL9*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetMaterial(D3DMATERIAL9* material) {
  zero(material);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetLight(DWORD, const D3DLIGHT9*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetLight(DWORD, D3DLIGHT9* light) {
  zero(light);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::LightEnable(DWORD, BOOL) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetLightEnable(DWORD, BOOL* enable) {
  zero(enable);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetClipPlane(DWORD, const float*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetClipPlane(DWORD, float* plane) {
  if (plane) std::memset(plane, 0, 4 * sizeof(float));
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetRenderState(D3DRENDERSTATETYPE, DWORD) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetRenderState(D3DRENDERSTATETYPE, DWORD* value) {
  zero(value);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetTexture(DWORD, IDirect3DBaseTexture9** texture) {
  zero(texture);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetTexture(DWORD, IDirect3DBaseTexture9*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetTextureStageState(DWORD, D3DTEXTURESTAGESTATETYPE, DWORD* value) {
  zero(value);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetTextureStageState(DWORD, D3DTEXTURESTAGESTATETYPE, DWORD) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetSamplerState(DWORD, D3DSAMPLERSTATETYPE, DWORD* value) {
  zero(value);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetSamplerState(DWORD, D3DSAMPLERSTATETYPE, DWORD) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetScissorRect(const RECT*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetScissorRect(RECT* rect) {
  zero(rect);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetSoftwareVertexProcessing(BOOL) { return D3DERR_INVALIDCALL; }
BOOL IDirect3DDevice9::GetSoftwareVertexProcessing() { return FALSE; }

HRESULT IDirect3DDevice9::DrawPrimitive(D3DPRIMITIVETYPE, UINT, UINT) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::DrawIndexedPrimitive(D3DPRIMITIVETYPE, INT, UINT, UINT, UINT, UINT) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::DrawPrimitiveUP(D3DPRIMITIVETYPE, UINT, const void*, UINT) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE, UINT, UINT, UINT, const void*,
                                                 D3DFORMAT, const void*, UINT) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetFVF(DWORD) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetFVF(DWORD* fvf) {
  zero(fvf);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::CreateVertexDeclaration(const D3DVERTEXELEMENT9*,
                                                  IDirect3DVertexDeclaration9** declaration) {
  if (declaration) *declaration = nullptr;
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetVertexDeclaration(IDirect3DVertexDeclaration9*) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetVertexDeclaration(IDirect3DVertexDeclaration9** declaration) {
  if (declaration) *declaration = nullptr;
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetStreamSource(UINT, IDirect3DVertexBuffer9*, UINT, UINT) {
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::GetStreamSource(UINT, IDirect3DVertexBuffer9** buffer, UINT* offset,
                                          UINT* stride) {
  zero(buffer);
  zero(offset);
  zero(stride);
  return D3DERR_INVALIDCALL;
}
HRESULT IDirect3DDevice9::SetIndices(IDirect3DIndexBuffer9*) { return D3DERR_INVALIDCALL; }
HRESULT IDirect3DDevice9::GetIndices(IDirect3DIndexBuffer9** buffer) {
  zero(buffer);
  return D3DERR_INVALIDCALL;
}
