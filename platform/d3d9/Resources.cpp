#include "platform/d3d9/Resources.h"

#include <algorithm>
#include <cstring>

#include "platform/d3d9/Device.h"

namespace d3d9 {

namespace {

// Where a locked rectangle starts in memory rows of `pitch` bytes; rows of a
// compressed format are rows of 4x4 blocks.
size_t lockOffset(const FormatInfo* info, UINT pitch, const RECT& rect) {
  if (info->blockBytes)
    return size_t(rect.top / 4) * pitch + size_t(rect.left / 4) * UINT(info->blockBytes);
  return size_t(rect.top) * pitch + size_t(rect.left) * UINT(info->bytesPerPixel);
}

HRESULT giveDevice(Device* device, IDirect3DDevice9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = device;
  device->AddRef();
  return D3D_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// TextureStorage

TextureStorage::TextureStorage(Device* device, IDirect3DBaseTexture9* owner,
                               RefCounter* counter, GLenum target, UINT width, UINT height,
                               UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool)
    : target(target),
      info(formatInfo(format)),
      format(format),
      usage(usage),
      pool(pool),
      width(width),
      height(height),
      faceCount(target == GL_TEXTURE_CUBE_MAP ? 6 : 1),
      owner(owner),
      counter(counter),
      device(device) {
  UINT chain = fullMipChain(width, height);
  if (levels == 0 || levels > chain) levels = chain;
  bool autoGen = (usage & D3DUSAGE_AUTOGENMIPMAP) != 0;
  levelCount = autoGen ? 1 : levels;
  glLevelCount = autoGen ? chain : levels;
  if (!info || info->depth || width == 0 || height == 0) return;

  glCreateTextures(target, 1, &texture);
  glTextureStorage2D(texture, GLsizei(glLevelCount), info->internalFormat, GLsizei(width),
                     GLsizei(height));
  glTextureParameteriv(texture, GL_TEXTURE_SWIZZLE_RGBA, info->swizzle);
  glTextureParameteri(texture, GL_TEXTURE_MAX_LEVEL, GLint(glLevelCount - 1));

  this->levels.resize(size_t(faceCount) * glLevelCount);
  for (int face = 0; face < faceCount; ++face) {
    UINT w = width, h = height;
    for (UINT i = 0; i < glLevelCount; ++i) {
      Level& l = this->levels[size_t(face) * glLevelCount + i];
      l.width = w;
      l.height = h;
      w = std::max(1u, w / 2);
      h = std::max(1u, h / 2);
    }
  }
  // Direct3D leaves new textures undefined; ours start black and
  // transparent, the same in memory and on the GPU.
  std::vector<uint8_t> zeros(size_t(levelPitch(format, width)) * levelRows(format, height));
  for (int face = 0; face < faceCount; ++face)
    for (UINT i = 0; i < glLevelCount; ++i) {
      const Level& l = *level(UINT(face), i);
      writeLevel(UINT(face), i, zeros.data(),
                 size_t(levelPitch(format, l.width)) * levelRows(format, l.height));
    }
}

TextureStorage::~TextureStorage() {
  device->activate();
  levels.clear();  // the level surfaces first, they refer to us
  if (texture) {
    device->forgetTexture(texture);
    glDeleteTextures(1, &texture);
  }
}

Level* TextureStorage::level(UINT face, UINT index) {
  if (face >= UINT(faceCount) || index >= glLevelCount || levels.empty()) return nullptr;
  return &levels[size_t(face) * glLevelCount + index];
}

GLenum TextureStorage::faceTarget(UINT face) const {
  return target == GL_TEXTURE_CUBE_MAP ? GL_TEXTURE_CUBE_MAP_POSITIVE_X + face : GL_TEXTURE_2D;
}

HRESULT TextureStorage::describe(UINT index, D3DSURFACE_DESC* desc) const {
  if (!desc || index >= levelCount) return D3DERR_INVALIDCALL;
  const Level& l = levels[index];
  desc->Format = format;
  desc->Type = D3DRTYPE_SURFACE;
  desc->Usage = usage;
  desc->Pool = pool;
  desc->MultiSampleType = D3DMULTISAMPLE_NONE;
  desc->MultiSampleQuality = 0;
  desc->Width = l.width;
  desc->Height = l.height;
  return D3D_OK;
}

HRESULT TextureStorage::lock(UINT face, UINT index, D3DLOCKED_RECT* locked, const RECT* rect,
                             DWORD flags) {
  Level* l = index < levelCount ? level(face, index) : nullptr;
  if (!l || !locked || l->locked) return D3DERR_INVALIDCALL;
  device->activate();
  UINT pitch = levelPitch(format, l->width);
  size_t bytes = size_t(pitch) * levelRows(format, l->height);
  if (l->memory.size() != bytes) {
    l->memory.assign(bytes, 0);
    l->memoryCurrent = false;
  }
  if (!l->memoryCurrent && !(flags & D3DLOCK_DISCARD)) readBack(face, index);
  l->memoryCurrent = true;
  size_t offset = 0;
  if (rect) {
    if (rect->left < 0 || rect->top < 0 || rect->right > LONG(l->width) ||
        rect->bottom > LONG(l->height) || rect->left >= rect->right || rect->top >= rect->bottom)
      return D3DERR_INVALIDCALL;
    offset = lockOffset(info, pitch, *rect);
  }
  l->locked = true;
  l->lockFlags = flags;
  locked->Pitch = INT(pitch);
  locked->pBits = l->memory.data() + offset;
  return D3D_OK;
}

HRESULT TextureStorage::unlock(UINT face, UINT index) {
  Level* l = index < levelCount ? level(face, index) : nullptr;
  if (!l || !l->locked) return D3DERR_INVALIDCALL;
  device->activate();
  l->locked = false;
  if (!(l->lockFlags & D3DLOCK_READONLY)) {
    upload(face, index);
    if (index == 0 && (usage & D3DUSAGE_AUTOGENMIPMAP)) mipsStale = true;
  }
  return D3D_OK;
}

void TextureStorage::upload(UINT face, UINT index) {
  Level& l = *level(face, index);
  writeLevel(face, index, l.memory.data(), l.memory.size());
}

void TextureStorage::writeLevel(UINT face, UINT index, const void* pixels, size_t bytes) {
  Level& l = *level(face, index);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  GLsizei w = GLsizei(l.width), h = GLsizei(l.height);
  bool cube = target == GL_TEXTURE_CUBE_MAP;
  if (info->blockBytes) {
    if (cube)
      glCompressedTextureSubImage3D(texture, GLint(index), 0, 0, GLint(face), w, h, 1,
                                    info->internalFormat, GLsizei(bytes), pixels);
    else
      glCompressedTextureSubImage2D(texture, GLint(index), 0, 0, w, h, info->internalFormat,
                                    GLsizei(bytes), pixels);
  } else if (cube) {
    glTextureSubImage3D(texture, GLint(index), 0, 0, GLint(face), w, h, 1, info->uploadFormat,
                        info->uploadType, pixels);
  } else {
    glTextureSubImage2D(texture, GLint(index), 0, 0, w, h, info->uploadFormat, info->uploadType,
                        pixels);
  }
}

void TextureStorage::readBack(UINT face, UINT index) {
  Level& l = *level(face, index);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  if (info->blockBytes) {
    glGetCompressedTextureSubImage(texture, GLint(index), 0, 0, GLint(face), GLsizei(l.width),
                                   GLsizei(l.height), 1, GLsizei(l.memory.size()),
                                   l.memory.data());
  } else {
    glGetTextureSubImage(texture, GLint(index), 0, 0, GLint(face), GLsizei(l.width),
                         GLsizei(l.height), 1, info->uploadFormat, info->uploadType,
                         GLsizei(l.memory.size()), l.memory.data());
  }
}

Surface* TextureStorage::surface(UINT face, UINT index) {
  Level* l = index < levelCount ? level(face, index) : nullptr;
  if (!l) return nullptr;
  if (!l->surface) l->surface = std::make_unique<Surface>(device, this, face, index);
  return l->surface.get();
}

void TextureStorage::gpuWrote(UINT face, UINT index) {
  if (Level* l = level(face, index)) l->memoryCurrent = false;
  if (index == 0 && glLevelCount > 1 && (usage & D3DUSAGE_AUTOGENMIPMAP)) mipsStale = true;
}

DWORD TextureStorage::setLOD(DWORD value) {
  // Managed textures only, as in Direct3D: the most detailed level used.
  if (pool != D3DPOOL_MANAGED) return 0;
  DWORD old = lod;
  lod = std::min<DWORD>(value, levelCount - 1);
  device->activate();
  glTextureParameteri(texture, GL_TEXTURE_BASE_LEVEL, GLint(lod));
  return old;
}

void TextureStorage::prepareForSampling() {
  if (mipsStale) generateMips();
}

void TextureStorage::generateMips() {
  mipsStale = false;
  if (glLevelCount < 2 || !texture || (info && info->blockBytes)) return;
  device->activate();
  glGenerateTextureMipmap(texture);
  for (int face = 0; face < faceCount; ++face)
    for (UINT i = 1; i < glLevelCount; ++i) level(UINT(face), i)->memoryCurrent = false;
}

TextureStorage* storageOf(IDirect3DBaseTexture9* texture) {
  if (auto* t = dynamic_cast<Texture*>(texture)) return &t->storage;
  if (auto* c = dynamic_cast<CubeTexture*>(texture)) return &c->storage;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Texture and CubeTexture

Texture::Texture(Device* device, UINT width, UINT height, UINT levels, DWORD usage,
                 D3DFORMAT format, D3DPOOL pool)
    : RefCounter(device),
      storage(device, this, this, GL_TEXTURE_2D, width, height, levels, usage, format, pool) {}

HRESULT Texture::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

DWORD Texture::SetLOD(DWORD lod) { return storage.setLOD(lod); }

HRESULT Texture::SetAutoGenFilterType(D3DTEXTUREFILTERTYPE filter) {
  if (filter == D3DTEXF_NONE) return D3DERR_INVALIDCALL;
  storage.autoGenFilter = filter;
  return D3D_OK;
}

HRESULT Texture::GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) {
  return storage.describe(level, desc);
}

HRESULT Texture::GetSurfaceLevel(UINT level, IDirect3DSurface9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  Surface* surface = storage.surface(0, level);
  *out = surface;
  if (!surface) return D3DERR_INVALIDCALL;
  surface->AddRef();
  return D3D_OK;
}

HRESULT Texture::LockRect(UINT level, D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) {
  return storage.lock(0, level, locked, rect, flags);
}

HRESULT Texture::UnlockRect(UINT level) { return storage.unlock(0, level); }

CubeTexture::CubeTexture(Device* device, UINT edge, UINT levels, DWORD usage, D3DFORMAT format,
                         D3DPOOL pool)
    : RefCounter(device),
      storage(device, this, this, GL_TEXTURE_CUBE_MAP, edge, edge, levels, usage, format, pool) {}

HRESULT CubeTexture::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

DWORD CubeTexture::SetLOD(DWORD lod) { return storage.setLOD(lod); }

HRESULT CubeTexture::SetAutoGenFilterType(D3DTEXTUREFILTERTYPE filter) {
  if (filter == D3DTEXF_NONE) return D3DERR_INVALIDCALL;
  storage.autoGenFilter = filter;
  return D3D_OK;
}

HRESULT CubeTexture::GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) {
  return storage.describe(level, desc);
}

HRESULT CubeTexture::GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level,
                                       IDirect3DSurface9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  Surface* surface = storage.surface(UINT(face), level);
  *out = surface;
  if (!surface) return D3DERR_INVALIDCALL;
  surface->AddRef();
  return D3D_OK;
}

HRESULT CubeTexture::LockRect(D3DCUBEMAP_FACES face, UINT level, D3DLOCKED_RECT* locked,
                              const RECT* rect, DWORD flags) {
  return storage.lock(UINT(face), level, locked, rect, flags);
}

HRESULT CubeTexture::UnlockRect(D3DCUBEMAP_FACES face, UINT level) {
  return storage.unlock(UINT(face), level);
}

// ---------------------------------------------------------------------------
// Surface

Surface::Surface(Device* device, TextureStorage* container, UINT face, UINT level)
    : RefCounter(device, false),
      kind(Kind::TextureLevel),
      format(container->format),
      pool(container->pool),
      info(container->info),
      container(container),
      face(face),
      level(level) {
  Level* l = container->level(face, level);
  width = l->width;
  height = l->height;
}

Surface::Surface(Device* device, Kind kind, UINT width, UINT height, D3DFORMAT format,
                 D3DPOOL pool, bool ofDevice)
    : RefCounter(device, !ofDevice),
      kind(kind),
      width(width),
      height(height),
      format(format),
      pool(pool),
      info(formatInfo(format)),
      ofDevice(ofDevice) {
  if (!info || width == 0 || height == 0) return;
  switch (kind) {
    case Kind::RenderTarget:
      if (info->depth || info->blockBytes) return;
      glCreateTextures(GL_TEXTURE_2D, 1, &glTexture);
      glTextureStorage2D(glTexture, 1, info->internalFormat, GLsizei(width), GLsizei(height));
      break;
    case Kind::DepthStencil:
      if (!info->depth) return;
      glCreateRenderbuffers(1, &glRenderbuffer);
      glNamedRenderbufferStorage(glRenderbuffer, info->internalFormat, GLsizei(width),
                                 GLsizei(height));
      break;
    case Kind::Plain:
      memory.assign(size_t(levelPitch(format, width)) * levelRows(format, height), 0);
      break;
    case Kind::TextureLevel:
      break;
  }
}

Surface::~Surface() {
  owner->forgetSurface(this);
  if (glTexture) {
    owner->forgetTexture(glTexture);
    glDeleteTextures(1, &glTexture);
  }
  if (glRenderbuffer) glDeleteRenderbuffers(1, &glRenderbuffer);
}

bool Surface::valid() const {
  if (!info) return false;
  switch (kind) {
    case Kind::TextureLevel:
      return container != nullptr;
    case Kind::RenderTarget:
      return glTexture != 0;
    case Kind::DepthStencil:
      return glRenderbuffer != 0;
    case Kind::Plain:
      return !memory.empty();
  }
  return false;
}

ULONG Surface::AddRef() {
  if (container) return container->counter->addRef();
  if (ofDevice) return owner->AddRef();
  return addRef();
}

ULONG Surface::Release() {
  if (container) return container->counter->release();
  if (ofDevice) return owner->Release();
  return release();
}

void Surface::bindSurface() {
  if (container)
    container->counter->bind();
  else if (!ofDevice)
    bind();
}

void Surface::unbindSurface() {
  if (container)
    container->counter->unbind();
  else if (!ofDevice)
    unbind();
}

HRESULT Surface::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

HRESULT Surface::GetDesc(D3DSURFACE_DESC* desc) {
  if (!desc) return D3DERR_INVALIDCALL;
  desc->Format = format;
  desc->Type = D3DRTYPE_SURFACE;
  desc->Usage = kind == Kind::RenderTarget   ? D3DUSAGE_RENDERTARGET
                : kind == Kind::DepthStencil ? D3DUSAGE_DEPTHSTENCIL
                : container                  ? container->usage
                                             : 0;
  desc->Pool = pool;
  desc->MultiSampleType = D3DMULTISAMPLE_NONE;
  desc->MultiSampleQuality = 0;
  desc->Width = width;
  desc->Height = height;
  return D3D_OK;
}

HRESULT Surface::LockRect(D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) {
  if (container) return container->lock(face, level, locked, rect, flags);
  if (!locked || this->locked || !info || info->depth) return D3DERR_INVALIDCALL;
  if (kind != Kind::Plain && kind != Kind::RenderTarget) return D3DERR_INVALIDCALL;
  UINT pitch = levelPitch(format, width);
  if (kind == Kind::RenderTarget) {
    owner->activate();
    // A lockable render target: its pixels come from the GPU.
    memory.resize(size_t(pitch) * height);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTextureImage(glTexture, 0, info->uploadFormat, info->uploadType, GLsizei(memory.size()),
                      memory.data());
  }
  size_t offset = 0;
  if (rect) {
    if (rect->left < 0 || rect->top < 0 || rect->right > LONG(width) ||
        rect->bottom > LONG(height) || rect->left >= rect->right || rect->top >= rect->bottom)
      return D3DERR_INVALIDCALL;
    offset = lockOffset(info, pitch, *rect);
  }
  this->locked = true;
  lockFlags = flags;
  locked->Pitch = INT(pitch);
  locked->pBits = memory.data() + offset;
  return D3D_OK;
}

HRESULT Surface::UnlockRect() {
  if (container) return container->unlock(face, level);
  if (!locked) return D3DERR_INVALIDCALL;
  locked = false;
  if (kind == Kind::RenderTarget && !(lockFlags & D3DLOCK_READONLY)) {
    owner->activate();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTextureSubImage2D(glTexture, 0, 0, 0, GLsizei(width), GLsizei(height), info->uploadFormat,
                        info->uploadType, memory.data());
  }
  return D3D_OK;
}

bool Surface::attach(GLuint framebuffer, GLenum attachment) const {
  if (container) {
    if (container->target == GL_TEXTURE_CUBE_MAP)
      glNamedFramebufferTextureLayer(framebuffer, attachment, container->texture, GLint(level),
                                     GLint(face));
    else
      glNamedFramebufferTexture(framebuffer, attachment, container->texture, GLint(level));
    return true;
  }
  if (glTexture) {
    glNamedFramebufferTexture(framebuffer, attachment, glTexture, 0);
    return true;
  }
  if (glRenderbuffer) {
    glNamedFramebufferRenderbuffer(framebuffer, attachment, GL_RENDERBUFFER, glRenderbuffer);
    return true;
  }
  return false;
}

void Surface::gpuWrote() {
  if (container) container->gpuWrote(face, level);
}

// ---------------------------------------------------------------------------
// Buffers

BufferStorage::BufferStorage(Device* device, UINT size, DWORD usage, D3DPOOL pool)
    : size(size), usage(usage), pool(pool), device(device), memory(size, 0) {
  glCreateBuffers(1, &buffer);
  glNamedBufferData(buffer, GLsizeiptr(size), memory.data(),
                    (usage & D3DUSAGE_DYNAMIC) ? GL_DYNAMIC_DRAW : GL_STATIC_DRAW);
}

BufferStorage::~BufferStorage() {
  device->activate();
  device->forgetBuffer(buffer);
  glDeleteBuffers(1, &buffer);
}

HRESULT BufferStorage::lock(UINT offset, UINT lockSize, void** data, DWORD flags) {
  if (!data) return D3DERR_INVALIDCALL;
  *data = nullptr;
  // Size 0 locks everything from the offset on, as Direct3D does.
  if (offset > size || (lockSize != 0 && lockSize > size - offset)) return D3DERR_INVALIDCALL;
  UINT end = lockSize == 0 ? size : offset + lockSize;
  if (!(flags & D3DLOCK_READONLY)) {
    ++generation;
    if (dirtyBegin == dirtyEnd) {
      dirtyBegin = offset;
      dirtyEnd = end;
    } else {
      dirtyBegin = std::min(dirtyBegin, offset);
      dirtyEnd = std::max(dirtyEnd, end);
    }
  }
  ++lockDepth;
  *data = memory.data() + offset;
  return D3D_OK;
}

HRESULT BufferStorage::unlock() {
  if (lockDepth == 0) return D3DERR_INVALIDCALL;
  --lockDepth;
  // The caller may have written after a draw made under the open lock read
  // the buffer: what was learnt from its contents then is stale now.
  if (dirtyEnd > dirtyBegin) ++generation;
  return D3D_OK;
}

GLuint BufferStorage::glBuffer() {
  if (dirtyEnd > dirtyBegin && lockDepth == 0) {
    glNamedBufferSubData(buffer, GLintptr(dirtyBegin), GLsizeiptr(dirtyEnd - dirtyBegin),
                         memory.data() + dirtyBegin);
    dirtyBegin = dirtyEnd = 0;
  }
  return buffer;
}

VertexBuffer::VertexBuffer(Device* device, UINT length, DWORD usage, DWORD fvf, D3DPOOL pool)
    : RefCounter(device), storage(device, length, usage, pool), fvf(fvf) {}

HRESULT VertexBuffer::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

HRESULT VertexBuffer::GetDesc(D3DVERTEXBUFFER_DESC* desc) {
  if (!desc) return D3DERR_INVALIDCALL;
  desc->Format = D3DFMT_VERTEXDATA;
  desc->Type = D3DRTYPE_VERTEXBUFFER;
  desc->Usage = storage.usage;
  desc->Pool = storage.pool;
  desc->Size = storage.size;
  desc->FVF = fvf;
  return D3D_OK;
}

IndexBuffer::IndexBuffer(Device* device, UINT length, DWORD usage, D3DFORMAT format,
                         D3DPOOL pool)
    : RefCounter(device), storage(device, length, usage, pool), format(format) {}

HRESULT IndexBuffer::GetDevice(IDirect3DDevice9** out) { return giveDevice(owner, out); }

void IndexBuffer::indexRange(UINT start, UINT count, uint32_t& smallest, uint32_t& largest) {
  for (const Range& r : ranges)
    if (r.generation == storage.generation && r.start == start && r.count == count) {
      smallest = r.smallest;
      largest = r.largest;
      return;
    }
  smallest = ~0u;
  largest = 0;
  const uint8_t* bytes = storage.bytes();
  for (UINT i = 0; i < count; ++i) {
    uint32_t index;
    if (format == D3DFMT_INDEX16) {
      uint16_t v;
      std::memcpy(&v, bytes + size_t(start + i) * 2, 2);
      index = v;
    } else {
      std::memcpy(&index, bytes + size_t(start + i) * 4, 4);
    }
    smallest = std::min(smallest, index);
    largest = std::max(largest, index);
  }
  Range& r = ranges[nextRange];
  nextRange = (nextRange + 1) % 4;
  r = {storage.generation, start, count, smallest, largest};
}

HRESULT IndexBuffer::GetDesc(D3DINDEXBUFFER_DESC* desc) {
  if (!desc) return D3DERR_INVALIDCALL;
  desc->Format = format;
  desc->Type = D3DRTYPE_INDEXBUFFER;
  desc->Usage = storage.usage;
  desc->Pool = storage.pool;
  desc->Size = storage.size;
  return D3D_OK;
}

}  // namespace d3d9
