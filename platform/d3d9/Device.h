// The device: takes Direct3D 9 calls, keeps their state (DeviceState), owns
// the resources' GL context and hands drawing to the GL backend.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/DeviceState.h"
#include "platform/d3d9/GLBackend.h"
#include "platform/d3d9/VertexInput.h"
#include "platform/gl/GLContext.h"

namespace d3d9 {

class Surface;

class Device final : public IDirect3DDevice9 {
 public:
  // Makes a device, or null with the reason in `error`.
  static Device* create(IDirect3D9* direct3d, HWND window, DWORD behaviourFlags,
                        const D3DPRESENT_PARAMETERS& parameters, std::string& error);
  ~Device() override;

  // Resources call these when their GL objects go, so that no cache keeps
  // a name GL may hand out again.
  void forgetTexture(GLuint texture);
  void forgetBuffer(GLuint buffer);
  void forgetSurface(Surface* surface);
  // A vertex declaration goes: its vertex arrays go with it.
  void forgetVertexInput(uint64_t id);
  // A texture's mipmaps must be made anew before it is sampled again:
  // draws that keep their states look at the bound textures once more.
  void textureMipsStale() { state.versions.valueChanged(state.versions.textures); }

  // Makes this device's GL context the current one (a no-op when it is).
  void activate();

  Surface* backBuffer() const { return backBufferSurface; }
  GLBackend& gl() {
    activate();
    return *backend;
  }

  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT TestCooperativeLevel() override;
  UINT GetAvailableTextureMem() override;
  HRESULT GetDirect3D(IDirect3D9** direct3d) override;
  HRESULT GetDeviceCaps(D3DCAPS9* caps) override;
  HRESULT GetDisplayMode(UINT swapChain, D3DDISPLAYMODE* mode) override;
  HRESULT Reset(D3DPRESENT_PARAMETERS* parameters) override;
  HRESULT Present(const RECT* sourceRect, const RECT* destRect, HWND destWindow,
                  const void* dirtyRegion) override;
  HRESULT GetBackBuffer(UINT swapChain, UINT index, D3DBACKBUFFER_TYPE type,
                        IDirect3DSurface9** surface) override;

  HRESULT CreateTexture(UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format,
                        D3DPOOL pool, IDirect3DTexture9** texture, HANDLE* sharedHandle) override;
  HRESULT CreateCubeTexture(UINT edgeLength, UINT levels, DWORD usage, D3DFORMAT format,
                            D3DPOOL pool, IDirect3DCubeTexture9** texture,
                            HANDLE* sharedHandle) override;
  HRESULT CreateVertexBuffer(UINT length, DWORD usage, DWORD fvf, D3DPOOL pool,
                             IDirect3DVertexBuffer9** buffer, HANDLE* sharedHandle) override;
  HRESULT CreateIndexBuffer(UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                            IDirect3DIndexBuffer9** buffer, HANDLE* sharedHandle) override;
  HRESULT CreateRenderTarget(UINT width, UINT height, D3DFORMAT format,
                             D3DMULTISAMPLE_TYPE multiSample, DWORD multisampleQuality,
                             BOOL lockable, IDirect3DSurface9** surface,
                             HANDLE* sharedHandle) override;
  HRESULT CreateDepthStencilSurface(UINT width, UINT height, D3DFORMAT format,
                                    D3DMULTISAMPLE_TYPE multiSample, DWORD multisampleQuality,
                                    BOOL discard, IDirect3DSurface9** surface,
                                    HANDLE* sharedHandle) override;
  HRESULT CreateOffscreenPlainSurface(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                                      IDirect3DSurface9** surface, HANDLE* sharedHandle) override;
  HRESULT UpdateSurface(IDirect3DSurface9* source, const RECT* sourceRect,
                        IDirect3DSurface9* destination, const POINT* destPoint) override;
  HRESULT UpdateTexture(IDirect3DBaseTexture9* source, IDirect3DBaseTexture9* destination) override;
  HRESULT GetRenderTargetData(IDirect3DSurface9* renderTarget,
                              IDirect3DSurface9* destination) override;
  HRESULT StretchRect(IDirect3DSurface9* source, const RECT* sourceRect,
                      IDirect3DSurface9* destination, const RECT* destRect,
                      D3DTEXTUREFILTERTYPE filter) override;
  HRESULT ColorFill(IDirect3DSurface9* surface, const RECT* rect, D3DCOLOR color) override;
  HRESULT SetRenderTarget(DWORD index, IDirect3DSurface9* surface) override;
  HRESULT GetRenderTarget(DWORD index, IDirect3DSurface9** surface) override;
  HRESULT SetDepthStencilSurface(IDirect3DSurface9* surface) override;
  HRESULT GetDepthStencilSurface(IDirect3DSurface9** surface) override;

  HRESULT BeginScene() override;
  HRESULT EndScene() override;
  HRESULT Clear(DWORD count, const D3DRECT* rects, DWORD flags, D3DCOLOR color, float z,
                DWORD stencil) override;

  HRESULT SetTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix) override;
  HRESULT GetTransform(D3DTRANSFORMSTATETYPE state, D3DMATRIX* matrix) override;
  HRESULT MultiplyTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix) override;
  HRESULT SetViewport(const D3DVIEWPORT9* viewport) override;
  HRESULT GetViewport(D3DVIEWPORT9* viewport) override;
  HRESULT SetMaterial(const D3DMATERIAL9* material) override;
  HRESULT GetMaterial(D3DMATERIAL9* material) override;
  HRESULT SetLight(DWORD index, const D3DLIGHT9* light) override;
  HRESULT GetLight(DWORD index, D3DLIGHT9* light) override;
  HRESULT LightEnable(DWORD index, BOOL enable) override;
  HRESULT GetLightEnable(DWORD index, BOOL* enable) override;
  HRESULT SetClipPlane(DWORD index, const float* plane) override;
  HRESULT GetClipPlane(DWORD index, float* plane) override;
  HRESULT SetRenderState(D3DRENDERSTATETYPE state, DWORD value) override;
  HRESULT GetRenderState(D3DRENDERSTATETYPE state, DWORD* value) override;
  HRESULT GetTexture(DWORD stage, IDirect3DBaseTexture9** texture) override;
  HRESULT SetTexture(DWORD stage, IDirect3DBaseTexture9* texture) override;
  HRESULT GetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE type, DWORD* value) override;
  HRESULT SetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE type, DWORD value) override;
  HRESULT GetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE type, DWORD* value) override;
  HRESULT SetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE type, DWORD value) override;
  HRESULT SetScissorRect(const RECT* rect) override;
  HRESULT GetScissorRect(RECT* rect) override;
  HRESULT SetSoftwareVertexProcessing(BOOL software) override;
  BOOL GetSoftwareVertexProcessing() override;

  HRESULT DrawPrimitive(D3DPRIMITIVETYPE type, UINT startVertex, UINT primitiveCount) override;
  HRESULT DrawIndexedPrimitive(D3DPRIMITIVETYPE type, INT baseVertexIndex, UINT minVertexIndex,
                               UINT numVertices, UINT startIndex, UINT primitiveCount) override;
  HRESULT DrawPrimitiveUP(D3DPRIMITIVETYPE type, UINT primitiveCount, const void* vertexData,
                          UINT vertexStride) override;
  HRESULT DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE type, UINT minVertexIndex, UINT numVertices,
                                 UINT primitiveCount, const void* indexData, D3DFORMAT indexFormat,
                                 const void* vertexData, UINT vertexStride) override;
  HRESULT SetFVF(DWORD fvf) override;
  HRESULT GetFVF(DWORD* fvf) override;
  HRESULT CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements,
                                  IDirect3DVertexDeclaration9** declaration) override;
  HRESULT SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration) override;
  HRESULT GetVertexDeclaration(IDirect3DVertexDeclaration9** declaration) override;
  HRESULT SetStreamSource(UINT stream, IDirect3DVertexBuffer9* buffer, UINT offset,
                          UINT stride) override;
  HRESULT GetStreamSource(UINT stream, IDirect3DVertexBuffer9** buffer, UINT* offset,
                          UINT* stride) override;
  HRESULT SetIndices(IDirect3DIndexBuffer9* buffer) override;
  HRESULT GetIndices(IDirect3DIndexBuffer9** buffer) override;

 private:
  Device(IDirect3D9* direct3d, std::unique_ptr<platform_gl::GLContext> context,
         const D3DPRESENT_PARAMETERS& parameters, DWORD behaviourFlags);
  bool init(std::string& error);
  void releaseBindings();
  // The input of an FVF, made once and kept.
  const VertexInput& fvfInput(DWORD fvf);
  void setVertexInput(DWORD fvf, VertexDeclaration* declaration, const VertexInput& input);

  ULONG references = 1;
  IDirect3D9* direct3d;
  std::unique_ptr<platform_gl::GLContext> context;
  std::unique_ptr<GLBackend> backend;
  D3DPRESENT_PARAMETERS parameters;
  DWORD behaviourFlags;
  DeviceState state;
  Surface* backBufferSurface = nullptr;
  Surface* autoDepthSurface = nullptr;
  bool inScene = false;
  std::unordered_map<DWORD, std::unique_ptr<VertexInput>> fvfInputs;
};

}  // namespace d3d9
