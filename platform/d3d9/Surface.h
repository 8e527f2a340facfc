#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <vector>

#include "platform/d3d9/Resource.h"

namespace d3d9 {

class TextureStorage;

// A surface: a level of a texture (its reference counts are the
// texture's), the device's back buffer or depth buffer (counted with the
// device), or a render target, depth buffer or memory image of its own.
class Surface final : public IDirect3DSurface9, public RefCounter {
 public:
  enum class Kind { TextureLevel, RenderTarget, DepthStencil, Plain };

  // A level of `container`.
  Surface(Device* device, TextureStorage* container, UINT face, UINT level);
  // A stand-alone surface of the given kind; `ofDevice` for the device's
  // own back buffer and depth buffer.
  Surface(Device* device, Kind kind, UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
          bool ofDevice = false);
  ~Surface() override;
  void destroy() override { delete this; }
  bool valid() const;

  ULONG AddRef() override;
  ULONG Release() override;
  // The device's bindings (render target, depth buffer).
  void bindSurface();
  void unbindSurface();

  HRESULT GetDevice(IDirect3DDevice9** device) override;
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return D3DRTYPE_SURFACE; }
  HRESULT GetDesc(D3DSURFACE_DESC* desc) override;
  HRESULT LockRect(D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) override;
  HRESULT UnlockRect() override;

  Kind kind;
  UINT width, height;
  D3DFORMAT format;
  D3DPOOL pool;
  const FormatInfo* info;

  // Attaches the surface to a framebuffer object; false when it has no GPU
  // image (plain memory).
  bool attach(GLuint framebuffer, GLenum attachment) const;
  bool isDepth() const { return info && info->depth; }
  // The GPU image changed (the surface was drawn into or copied to).
  void gpuWrote() {
    if (container) containerWrote();
  }
  TextureStorage* texture() const { return container; }

 private:
  TextureStorage* container = nullptr;
  bool ofDevice = false;
  UINT face = 0, level = 0;
  GLuint glTexture = 0;       // render target colour
  GLuint glRenderbuffer = 0;  // depth and stencil
  std::vector<uint8_t> memory;
  bool locked = false;
  DWORD lockFlags = 0;
  void containerWrote();
};

}  // namespace d3d9
