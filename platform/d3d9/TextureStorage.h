// The GL texture behind a 2D or cube texture and its mip levels.
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

#include "platform/d3d9/Resource.h"

namespace d3d9 {

class Surface;

// One mip level of one face: its size, its memory copy and what is current.
struct Level {
  UINT width = 0, height = 0;
  std::vector<uint8_t> memory;
  bool memoryCurrent = true;  // false after the GPU wrote the level
  // Whether the GL level holds what the level's contents are. A new level is
  // all zeros in effect without having been written: it is cleared on the
  // GPU only when something reads it there before a whole-level write.
  bool gpuDefined = false;
  bool locked = false;
  DWORD lockFlags = 0;
  std::unique_ptr<Surface> surface;  // made on first GetSurfaceLevel
};

// The GL texture behind a 2D or cube texture, and its levels.
class TextureStorage {
 public:
  TextureStorage(Device* device, IDirect3DBaseTexture9* owner, RefCounter* counter, GLenum target,
                 UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool);
  ~TextureStorage();
  bool valid() const { return texture != 0; }

  GLenum target;  // GL_TEXTURE_2D or GL_TEXTURE_CUBE_MAP
  GLuint texture = 0;
  const FormatInfo* info;
  D3DFORMAT format;
  DWORD usage;
  D3DPOOL pool;
  UINT width, height;
  UINT levelCount;    // as the caller sees it (1 with automatic mipmaps)
  UINT glLevelCount;  // levels held by GL
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
  void prepareForSampling() {
    if (settled && !mipsStale) return;
    settle();
    if (mipsStale) generateMips();
  }
  void generateMips();
  // Level 0 changed: the chain must follow before the next sampling.
  void mipsWentStale();
  // Writes a whole level of an A8R8G8B8 or X8R8G8B8 texture from texels in
  // R, G, B, A byte order, rows top first and tightly packed, straight into
  // GL's own layout; the level's memory copy is dropped and read back at the
  // next lock. False when the format or the level does not allow it.
  bool writeRGBA(UINT face, UINT index, const void* texels);
  // Clears the GL levels that were never written, before anything but a
  // whole-level write reaches the GL texture.
  void settle();

  IDirect3DBaseTexture9* owner;  // the texture object
  RefCounter* counter;           // its reference counts

 private:
  Device* device;
  std::vector<Level> levels;  // face-major: face * glLevelCount + index
  bool settled = false;       // every GL level defined
  void upload(UINT face, UINT index);
  void writeLevel(UINT face, UINT index, const void* pixels, size_t bytes);
  void readBack(UINT face, UINT index);
};

// The storage behind a texture object of ours, or null.
TextureStorage* storageOf(IDirect3DBaseTexture9* texture);

}  // namespace d3d9
