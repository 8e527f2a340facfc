// The device's resources: textures (2D and cube), surfaces, vertex and index
// buffers, each with a COM-style reference count and the OpenGL object that
// holds it on the GPU.
//
// Lockable data lives in system memory as Direct3D lays it out (rows top
// first, Direct3D's pixel formats) and is uploaded on unlock. When the GPU
// writes a level (render to texture, StretchRect, UpdateSurface), its memory
// copy is marked stale and read back on the next lock.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/Formats.h"

namespace d3d9 {

class Device;
class Surface;

// Keeps the device alive while the application holds a resource.
void retainDevice(Device* device);
void releaseDevice(Device* device);

// Reference counting shared by every resource. The application's references
// (AddRef/Release) keep the device alive; the device's own bindings (a
// texture set on a stage, a buffer set as stream source) are counted apart,
// so that the device and what it has bound never hold each other. The
// object goes when both counts are zero.
class RefCounter {
 public:
  // `countsDevice` false: the object is part of the device or of another
  // object and holds no reference on the device itself.
  explicit RefCounter(Device* device, bool countsDevice = true)
      : owner(device), countsDevice(countsDevice) {
    if (countsDevice) retainDevice(device);
  }
  RefCounter(const RefCounter&) = delete;
  RefCounter& operator=(const RefCounter&) = delete;

  ULONG addRef() {
    if (publicReferences++ == 0 && countsDevice) retainDevice(owner);
    return publicReferences;
  }
  ULONG release() {
    if (publicReferences == 0) return 0;
    ULONG left = --publicReferences;
    if (left == 0) {
      Device* device = owner;
      bool counts = countsDevice;
      if (bindings == 0) destroy();
      if (counts) releaseDevice(device);  // last: it may end the device, and us
    }
    return left;
  }
  void bind() { ++bindings; }
  void unbind() {
    if (bindings > 0 && --bindings == 0 && publicReferences == 0) destroy();
  }
  Device* device() const { return owner; }

 protected:
  virtual ~RefCounter() = default;
  virtual void destroy() = 0;  // deletes the whole object
  Device* owner;

 private:
  bool countsDevice;
  ULONG publicReferences = 1;
  ULONG bindings = 0;
};

// One mip level of one face: its size, its memory copy and what is current.
struct Level {
  UINT width = 0, height = 0;
  std::vector<uint8_t> memory;
  bool memoryCurrent = true;  // false after the GPU wrote the level
  bool locked = false;
  DWORD lockFlags = 0;
  std::unique_ptr<Surface> surface;  // made on first GetSurfaceLevel
};

// The GL texture behind a 2D or cube texture, and its levels.
class TextureStorage {
 public:
  TextureStorage(Device* device, IDirect3DBaseTexture9* owner, RefCounter* counter,
                 GLenum target, UINT width,
                 UINT height, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool);
  ~TextureStorage();
  bool valid() const { return texture != 0; }

  GLenum target;  // GL_TEXTURE_2D or GL_TEXTURE_CUBE_MAP
  GLuint texture = 0;
  const FormatInfo* info;
  D3DFORMAT format;
  DWORD usage;
  D3DPOOL pool;
  UINT width, height;
  UINT levelCount;     // as the caller sees it (1 with automatic mipmaps)
  UINT glLevelCount;   // levels held by GL
  int faceCount;
  bool mipsStale = false;  // level 0 changed on the GPU and the chain must follow
  DWORD lod = 0;
  D3DTEXTUREFILTERTYPE autoGenFilter = D3DTEXF_LINEAR;

  Level* level(UINT face, UINT index);
  GLenum faceTarget(UINT face) const;
  HRESULT lock(UINT face, UINT index, D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags);
  HRESULT unlock(UINT face, UINT index);
  HRESULT describe(UINT index, D3DSURFACE_DESC* desc) const;
  Surface* surface(UINT face, UINT index);
  // The GPU wrote this level: the memory copy is stale, the chain too.
  void gpuWrote(UINT face, UINT index);
  // The most detailed level sampled (SetLOD); answers the previous one.
  DWORD setLOD(DWORD value);
  // Brings the automatic mip chain up to date before sampling.
  void prepareForSampling();
  void generateMips();

  IDirect3DBaseTexture9* owner;  // the texture object
  RefCounter* counter;           // its reference counts

 private:
  Device* device;
  std::vector<Level> levels;  // face-major: face * glLevelCount + index
  void upload(UINT face, UINT index);
  void writeLevel(UINT face, UINT index, const void* pixels, size_t bytes);
  void readBack(UINT face, UINT index);
};

class Texture final : public IDirect3DTexture9, public RefCounter {
 public:
  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  void destroy() override { delete this; }
  Texture(Device* device, UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format,
          D3DPOOL pool);
  TextureStorage storage;

  HRESULT GetDevice(IDirect3DDevice9** device) override;
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return D3DRTYPE_TEXTURE; }
  DWORD SetLOD(DWORD lod) override;
  DWORD GetLOD() override { return storage.lod; }
  DWORD GetLevelCount() override { return storage.levelCount; }
  HRESULT SetAutoGenFilterType(D3DTEXTUREFILTERTYPE filter) override;
  D3DTEXTUREFILTERTYPE GetAutoGenFilterType() override { return storage.autoGenFilter; }
  void GenerateMipSubLevels() override { storage.generateMips(); }
  HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) override;
  HRESULT GetSurfaceLevel(UINT level, IDirect3DSurface9** surface) override;
  HRESULT LockRect(UINT level, D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) override;
  HRESULT UnlockRect(UINT level) override;
  HRESULT AddDirtyRect(const RECT*) override { return D3D_OK; }
};

class CubeTexture final : public IDirect3DCubeTexture9, public RefCounter {
 public:
  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  void destroy() override { delete this; }
  CubeTexture(Device* device, UINT edge, UINT levels, DWORD usage, D3DFORMAT format,
              D3DPOOL pool);
  TextureStorage storage;

  HRESULT GetDevice(IDirect3DDevice9** device) override;
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return D3DRTYPE_CUBETEXTURE; }
  DWORD SetLOD(DWORD lod) override;
  DWORD GetLOD() override { return storage.lod; }
  DWORD GetLevelCount() override { return storage.levelCount; }
  HRESULT SetAutoGenFilterType(D3DTEXTUREFILTERTYPE filter) override;
  D3DTEXTUREFILTERTYPE GetAutoGenFilterType() override { return storage.autoGenFilter; }
  void GenerateMipSubLevels() override { storage.generateMips(); }
  HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) override;
  HRESULT GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level,
                            IDirect3DSurface9** surface) override;
  HRESULT LockRect(D3DCUBEMAP_FACES face, UINT level, D3DLOCKED_RECT* locked, const RECT* rect,
                   DWORD flags) override;
  HRESULT UnlockRect(D3DCUBEMAP_FACES face, UINT level) override;
  HRESULT AddDirtyRect(D3DCUBEMAP_FACES, const RECT*) override { return D3D_OK; }
};

// The storage behind a texture object of ours, or null.
TextureStorage* storageOf(IDirect3DBaseTexture9* texture);

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
  void gpuWrote();
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
};

// Shared by vertex and index buffers: system memory mirrored in a GL buffer.
class BufferStorage {
 public:
  BufferStorage(Device* device, UINT size, DWORD usage, D3DPOOL pool);
  ~BufferStorage();
  HRESULT lock(UINT offset, UINT size, void** data, DWORD flags);
  HRESULT unlock();
  // The GL buffer with every unlocked change uploaded.
  GLuint glBuffer();
  const uint8_t* bytes() const { return memory.data(); }

  UINT size;
  DWORD usage;
  D3DPOOL pool;
  uint64_t generation = 0;  // moves on at every lock that may write and its unlock

 private:
  Device* device;
  std::vector<uint8_t> memory;
  GLuint buffer = 0;
  int lockDepth = 0;
  UINT dirtyBegin = 0, dirtyEnd = 0;  // bytes changed since the last upload
};

class VertexBuffer final : public IDirect3DVertexBuffer9, public RefCounter {
 public:
  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  void destroy() override { delete this; }
  VertexBuffer(Device* device, UINT length, DWORD usage, DWORD fvf, D3DPOOL pool);
  BufferStorage storage;
  DWORD fvf;

  HRESULT GetDevice(IDirect3DDevice9** device) override;
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return D3DRTYPE_VERTEXBUFFER; }
  HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) override {
    return storage.lock(offset, size, data, flags);
  }
  HRESULT Unlock() override { return storage.unlock(); }
  HRESULT GetDesc(D3DVERTEXBUFFER_DESC* desc) override;
};

class IndexBuffer final : public IDirect3DIndexBuffer9, public RefCounter {
 public:
  // The smallest and largest index among `count` indices from `start`, so
  // that draws never reach outside their vertex buffer. Remembered for the
  // ranges drawn lately, until the buffer is written again.
  void indexRange(UINT start, UINT count, uint32_t& smallest, uint32_t& largest);

  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  void destroy() override { delete this; }
  IndexBuffer(Device* device, UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool);
  BufferStorage storage;
  D3DFORMAT format;

 private:
  struct Range {
    uint64_t generation = ~0ull;
    UINT start = 0, count = 0;
    uint32_t smallest = 0, largest = 0;
  };
  Range ranges[4];
  int nextRange = 0;

 public:

  HRESULT GetDevice(IDirect3DDevice9** device) override;
  DWORD SetPriority(DWORD) override { return 0; }
  DWORD GetPriority() override { return 0; }
  void PreLoad() override {}
  D3DRESOURCETYPE GetType() override { return D3DRTYPE_INDEXBUFFER; }
  HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) override {
    return storage.lock(offset, size, data, flags);
  }
  HRESULT Unlock() override { return storage.unlock(); }
  HRESULT GetDesc(D3DINDEXBUFFER_DESC* desc) override;
};

}  // namespace d3d9
