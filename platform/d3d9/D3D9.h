// The Direct3D 9 style programming interface the engine draws through: the
// factory object, the device and its resources (textures, surfaces, vertex
// and index buffers), as COM-style objects with reference counts.
//
// `IDirect3DDevice9` implements every method with a harmless default (it
// answers D3DERR_INVALIDCALL, or does nothing), so that a test can derive a
// small recording device that overrides only what it watches. The real
// device, an OpenGL renderer, overrides all of them.
#pragma once

#include "platform/d3d9/D3D9Constants.h"
#include "platform/d3d9/D3D9Types.h"
#include "platform/d3d9/ErrorText.h"
#include "platform/win32/Unknown.h"

typedef int INT;

struct IDirect3D9;
struct IDirect3DDevice9;
struct IDirect3DSurface9;
struct IDirect3DTexture9;
struct IDirect3DCubeTexture9;
struct IDirect3DVertexBuffer9;
struct IDirect3DIndexBuffer9;
struct IDirect3DVertexDeclaration9;

// ---------------------------------------------------------------------------
// Plain records exchanged with the device

struct D3DPRESENT_PARAMETERS {
  UINT BackBufferWidth;
  UINT BackBufferHeight;
  D3DFORMAT BackBufferFormat;
  UINT BackBufferCount;
  D3DMULTISAMPLE_TYPE MultiSampleType;
  DWORD MultiSampleQuality;
  D3DSWAPEFFECT SwapEffect;
  HWND hDeviceWindow;
  BOOL Windowed;
  BOOL EnableAutoDepthStencil;
  D3DFORMAT AutoDepthStencilFormat;
  DWORD Flags;
  UINT FullScreen_RefreshRateInHz;
  UINT PresentationInterval;
};

struct D3DDISPLAYMODE {
  UINT Width;
  UINT Height;
  UINT RefreshRate;
  D3DFORMAT Format;
};

struct D3DSURFACE_DESC {
  D3DFORMAT Format;
  D3DRESOURCETYPE Type;
  DWORD Usage;
  D3DPOOL Pool;
  D3DMULTISAMPLE_TYPE MultiSampleType;
  DWORD MultiSampleQuality;
  UINT Width;
  UINT Height;
};

struct D3DVERTEXBUFFER_DESC {
  D3DFORMAT Format;
  D3DRESOURCETYPE Type;
  DWORD Usage;
  D3DPOOL Pool;
  UINT Size;
  DWORD FVF;
};

struct D3DINDEXBUFFER_DESC {
  D3DFORMAT Format;
  D3DRESOURCETYPE Type;
  DWORD Usage;
  D3DPOOL Pool;
  UINT Size;
};

struct D3DLOCKED_RECT {
  INT Pitch;
  void* pBits;
};

// What the device can do. Only the fields the engine reads carry meaning
// beyond "plausible for a fixed-function device of its time".
struct D3DCAPS9 {
  D3DDEVTYPE DeviceType;
  UINT AdapterOrdinal;
  DWORD Caps, Caps2, Caps3;
  DWORD PresentationIntervals;
  DWORD CursorCaps;
  DWORD DevCaps;
  DWORD PrimitiveMiscCaps;
  DWORD RasterCaps;
  DWORD ZCmpCaps;
  DWORD SrcBlendCaps, DestBlendCaps;
  DWORD AlphaCmpCaps;
  DWORD ShadeCaps;
  DWORD TextureCaps;
  DWORD TextureFilterCaps, CubeTextureFilterCaps, VolumeTextureFilterCaps;
  DWORD TextureAddressCaps, VolumeTextureAddressCaps;
  DWORD LineCaps;
  DWORD MaxTextureWidth, MaxTextureHeight, MaxVolumeExtent;
  DWORD MaxTextureRepeat, MaxTextureAspectRatio, MaxAnisotropy;
  float MaxVertexW;
  float GuardBandLeft, GuardBandTop, GuardBandRight, GuardBandBottom;
  float ExtentsAdjust;
  DWORD StencilCaps;
  DWORD FVFCaps;
  DWORD TextureOpCaps;
  DWORD MaxTextureBlendStages, MaxSimultaneousTextures;
  DWORD VertexProcessingCaps;
  DWORD MaxActiveLights, MaxUserClipPlanes;
  DWORD MaxVertexBlendMatrices, MaxVertexBlendMatrixIndex;
  float MaxPointSize;
  DWORD MaxPrimitiveCount, MaxVertexIndex;
  DWORD MaxStreams, MaxStreamStride;
  DWORD VertexShaderVersion, MaxVertexShaderConst;
  DWORD PixelShaderVersion;
  float PixelShader1xMaxValue;
  DWORD DevCaps2;
  float MaxNpatchTessellationLevel;
  UINT MasterAdapterOrdinal, AdapterOrdinalInGroup, NumberOfAdaptersInGroup;
  DWORD DeclTypes;
  DWORD NumSimultaneousRTs;
  DWORD StretchRectFilterCaps;
  DWORD VertexTextureFilterCaps;
  DWORD MaxVShaderInstructionsExecuted, MaxPShaderInstructionsExecuted;
};

// ---------------------------------------------------------------------------
// Objects

struct IDirect3DResource9 : IUnknown {
  virtual HRESULT GetDevice(IDirect3DDevice9** device) = 0;
  virtual DWORD SetPriority(DWORD priority) = 0;
  virtual DWORD GetPriority() = 0;
  virtual void PreLoad() = 0;
  virtual D3DRESOURCETYPE GetType() = 0;
};

struct IDirect3DSurface9 : IDirect3DResource9 {
  virtual HRESULT GetDesc(D3DSURFACE_DESC* desc) = 0;
  virtual HRESULT LockRect(D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) = 0;
  virtual HRESULT UnlockRect() = 0;
};

struct IDirect3DBaseTexture9 : IDirect3DResource9 {
  virtual DWORD SetLOD(DWORD lod) = 0;
  virtual DWORD GetLOD() = 0;
  virtual DWORD GetLevelCount() = 0;
  virtual HRESULT SetAutoGenFilterType(D3DTEXTUREFILTERTYPE filter) = 0;
  virtual D3DTEXTUREFILTERTYPE GetAutoGenFilterType() = 0;
  virtual void GenerateMipSubLevels() = 0;
};

struct IDirect3DTexture9 : IDirect3DBaseTexture9 {
  virtual HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) = 0;
  virtual HRESULT GetSurfaceLevel(UINT level, IDirect3DSurface9** surface) = 0;
  virtual HRESULT LockRect(UINT level, D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) = 0;
  virtual HRESULT UnlockRect(UINT level) = 0;
  virtual HRESULT AddDirtyRect(const RECT* rect) = 0;
};

struct IDirect3DCubeTexture9 : IDirect3DBaseTexture9 {
  virtual HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) = 0;
  virtual HRESULT GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level,
                                    IDirect3DSurface9** surface) = 0;
  virtual HRESULT LockRect(D3DCUBEMAP_FACES face, UINT level, D3DLOCKED_RECT* locked,
                           const RECT* rect, DWORD flags) = 0;
  virtual HRESULT UnlockRect(D3DCUBEMAP_FACES face, UINT level) = 0;
  virtual HRESULT AddDirtyRect(D3DCUBEMAP_FACES face, const RECT* rect) = 0;
};

struct IDirect3DVertexBuffer9 : IDirect3DResource9 {
  virtual HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) = 0;
  virtual HRESULT Unlock() = 0;
  virtual HRESULT GetDesc(D3DVERTEXBUFFER_DESC* desc) = 0;
};

struct IDirect3DIndexBuffer9 : IDirect3DResource9 {
  virtual HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) = 0;
  virtual HRESULT Unlock() = 0;
  virtual HRESULT GetDesc(D3DINDEXBUFFER_DESC* desc) = 0;
};

// The layout of the vertices a draw reads, made by the device from an
// array of elements closed by D3DDECL_END().
struct IDirect3DVertexDeclaration9 : IUnknown {
  virtual HRESULT GetDevice(IDirect3DDevice9** device) = 0;
  // The elements with the end marker; with a null array only their count
  // (end marker included) in `count`.
  virtual HRESULT GetDeclaration(D3DVERTEXELEMENT9* elements, UINT* count) = 0;
};

// The device. Every method has a default body (in DeviceDefaults.cpp) that
// answers D3DERR_INVALIDCALL, leaves out-parameters zeroed where it has
// them, or does nothing.
struct IDirect3DDevice9 {
  virtual ULONG AddRef();
  virtual ULONG Release();

  // Device and presentation
  virtual HRESULT TestCooperativeLevel();
  virtual UINT GetAvailableTextureMem();
  virtual HRESULT GetDirect3D(IDirect3D9** direct3d);
  virtual HRESULT GetDeviceCaps(D3DCAPS9* caps);
  virtual HRESULT GetDisplayMode(UINT swapChain, D3DDISPLAYMODE* mode);
  virtual HRESULT Reset(D3DPRESENT_PARAMETERS* parameters);
  virtual HRESULT Present(const RECT* sourceRect, const RECT* destRect, HWND destWindow,
                          const void* dirtyRegion);
  virtual HRESULT GetBackBuffer(UINT swapChain, UINT index, D3DBACKBUFFER_TYPE type,
                                IDirect3DSurface9** surface);

  // Resources
  virtual HRESULT CreateTexture(UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format,
                                D3DPOOL pool, IDirect3DTexture9** texture, HANDLE* sharedHandle);
  virtual HRESULT CreateCubeTexture(UINT edgeLength, UINT levels, DWORD usage, D3DFORMAT format,
                                    D3DPOOL pool, IDirect3DCubeTexture9** texture,
                                    HANDLE* sharedHandle);
  virtual HRESULT CreateVertexBuffer(UINT length, DWORD usage, DWORD fvf, D3DPOOL pool,
                                     IDirect3DVertexBuffer9** buffer, HANDLE* sharedHandle);
  virtual HRESULT CreateIndexBuffer(UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                                    IDirect3DIndexBuffer9** buffer, HANDLE* sharedHandle);
  virtual HRESULT CreateRenderTarget(UINT width, UINT height, D3DFORMAT format,
                                     D3DMULTISAMPLE_TYPE multiSample, DWORD multisampleQuality,
                                     BOOL lockable, IDirect3DSurface9** surface,
                                     HANDLE* sharedHandle);
  virtual HRESULT CreateDepthStencilSurface(UINT width, UINT height, D3DFORMAT format,
                                            D3DMULTISAMPLE_TYPE multiSample,
                                            DWORD multisampleQuality, BOOL discard,
                                            IDirect3DSurface9** surface, HANDLE* sharedHandle);
  virtual HRESULT CreateOffscreenPlainSurface(UINT width, UINT height, D3DFORMAT format,
                                              D3DPOOL pool, IDirect3DSurface9** surface,
                                              HANDLE* sharedHandle);
  virtual HRESULT UpdateSurface(IDirect3DSurface9* source, const RECT* sourceRect,
                                IDirect3DSurface9* destination, const POINT* destPoint);
  virtual HRESULT UpdateTexture(IDirect3DBaseTexture9* source, IDirect3DBaseTexture9* destination);
  virtual HRESULT GetRenderTargetData(IDirect3DSurface9* renderTarget,
                                      IDirect3DSurface9* destination);
  virtual HRESULT StretchRect(IDirect3DSurface9* source, const RECT* sourceRect,
                              IDirect3DSurface9* destination, const RECT* destRect,
                              D3DTEXTUREFILTERTYPE filter);
  virtual HRESULT ColorFill(IDirect3DSurface9* surface, const RECT* rect, D3DCOLOR color);
  // Render targets 0 to 3: a pixel program's colour outputs 0 to 3 go to
  // them, and Clear clears them all. Target 0 is always set; the others may
  // be null. One surface is at most one target of the set.
  virtual HRESULT SetRenderTarget(DWORD index, IDirect3DSurface9* surface);
  virtual HRESULT GetRenderTarget(DWORD index, IDirect3DSurface9** surface);
  virtual HRESULT SetDepthStencilSurface(IDirect3DSurface9* surface);
  virtual HRESULT GetDepthStencilSurface(IDirect3DSurface9** surface);

  // Frame
  virtual HRESULT BeginScene();
  virtual HRESULT EndScene();
  virtual HRESULT Clear(DWORD count, const D3DRECT* rects, DWORD flags, D3DCOLOR color, float z,
                        DWORD stencil);

  // Fixed-function state
  virtual HRESULT SetTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix);
  virtual HRESULT GetTransform(D3DTRANSFORMSTATETYPE state, D3DMATRIX* matrix);
  virtual HRESULT MultiplyTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix);
  virtual HRESULT SetViewport(const D3DVIEWPORT9* viewport);
  virtual HRESULT GetViewport(D3DVIEWPORT9* viewport);
  virtual HRESULT SetMaterial(const D3DMATERIAL9* material);
  virtual HRESULT GetMaterial(D3DMATERIAL9* material);
  virtual HRESULT SetLight(DWORD index, const D3DLIGHT9* light);
  virtual HRESULT GetLight(DWORD index, D3DLIGHT9* light);
  virtual HRESULT LightEnable(DWORD index, BOOL enable);
  virtual HRESULT GetLightEnable(DWORD index, BOOL* enable);
  virtual HRESULT SetClipPlane(DWORD index, const float* plane);
  virtual HRESULT GetClipPlane(DWORD index, float* plane);
  virtual HRESULT SetRenderState(D3DRENDERSTATETYPE state, DWORD value);
  virtual HRESULT GetRenderState(D3DRENDERSTATETYPE state, DWORD* value);
  virtual HRESULT GetTexture(DWORD stage, IDirect3DBaseTexture9** texture);
  virtual HRESULT SetTexture(DWORD stage, IDirect3DBaseTexture9* texture);
  virtual HRESULT GetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE type, DWORD* value);
  virtual HRESULT SetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE type, DWORD value);
  virtual HRESULT GetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE type, DWORD* value);
  virtual HRESULT SetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE type, DWORD value);
  virtual HRESULT SetScissorRect(const RECT* rect);
  virtual HRESULT GetScissorRect(RECT* rect);
  virtual HRESULT SetSoftwareVertexProcessing(BOOL software);
  virtual BOOL GetSoftwareVertexProcessing();

  // Drawing
  virtual HRESULT DrawPrimitive(D3DPRIMITIVETYPE type, UINT startVertex, UINT primitiveCount);
  virtual HRESULT DrawIndexedPrimitive(D3DPRIMITIVETYPE type, INT baseVertexIndex,
                                       UINT minVertexIndex, UINT numVertices, UINT startIndex,
                                       UINT primitiveCount);
  virtual HRESULT DrawPrimitiveUP(D3DPRIMITIVETYPE type, UINT primitiveCount,
                                  const void* vertexData, UINT vertexStride);
  virtual HRESULT DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE type, UINT minVertexIndex,
                                         UINT numVertices, UINT primitiveCount,
                                         const void* indexData, D3DFORMAT indexFormat,
                                         const void* vertexData, UINT vertexStride);
  virtual HRESULT SetFVF(DWORD fvf);
  virtual HRESULT GetFVF(DWORD* fvf);
  // A declaration in place of an FVF: draws read the elements it lists.
  // SetFVF replaces the declaration, and setting a declaration makes
  // GetFVF answer 0.
  virtual HRESULT CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements,
                                          IDirect3DVertexDeclaration9** declaration);
  virtual HRESULT SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration);
  virtual HRESULT GetVertexDeclaration(IDirect3DVertexDeclaration9** declaration);
  virtual HRESULT SetStreamSource(UINT stream, IDirect3DVertexBuffer9* buffer, UINT offset,
                                  UINT stride);
  virtual HRESULT GetStreamSource(UINT stream, IDirect3DVertexBuffer9** buffer, UINT* offset,
                                  UINT* stride);
  virtual HRESULT SetIndices(IDirect3DIndexBuffer9* buffer);
  virtual HRESULT GetIndices(IDirect3DIndexBuffer9** buffer);

 protected:
  virtual ~IDirect3DDevice9() = default;
};

// The factory: reports the display and makes devices.
struct IDirect3D9 : IUnknown {
  virtual UINT GetAdapterCount() = 0;
  virtual HRESULT GetAdapterDisplayMode(UINT adapter, D3DDISPLAYMODE* mode) = 0;
  virtual HRESULT CreateDevice(UINT adapter, D3DDEVTYPE deviceType, HWND focusWindow,
                               DWORD behaviourFlags, D3DPRESENT_PARAMETERS* parameters,
                               IDirect3DDevice9** device) = 0;
};

// Makes the factory; null when `sdkVersion` is not D3D_SDK_VERSION.
IDirect3D9* Direct3DCreate9(UINT sdkVersion);
