#include "platform/d3d9/TextureStorage.h"

#include <algorithm>
#include <typeinfo>

#include "platform/d3d9/CubeTexture.h"
#include "platform/d3d9/Device.h"
#include "platform/d3d9/Surface.h"
#include "platform/d3d9/Texture.h"

namespace d3d9 {

TextureStorage::TextureStorage(Device* device, IDirect3DBaseTexture9* owner, RefCounter* counter,
                               GLenum target, UINT width, UINT height, UINT levels, DWORD usage,
                               D3DFORMAT format, D3DPOOL pool)
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
  // transparent, the same in memory and on the GPU. Compressed levels are
  // written with zeros now; the others are cleared on the GPU only when they
  // are read there before being written whole (see settle), which a texture
  // loaded from a file never is.
  if (info->blockBytes) {
    std::vector<uint8_t> zeros(size_t(levelPitch(format, width)) * levelRows(format, height));
    for (int face = 0; face < faceCount; ++face)
      for (UINT i = 0; i < glLevelCount; ++i) {
        const Level& l = *level(UINT(face), i);
        writeLevel(UINT(face), i, zeros.data(),
                   size_t(levelPitch(format, l.width)) * levelRows(format, l.height));
      }
  }
}

void TextureStorage::settle() {
  if (settled || !texture) return;
  settled = true;
  for (int face = 0; face < faceCount; ++face)
    for (UINT i = 0; i < glLevelCount; ++i) {
      Level& l = *level(UINT(face), i);
      if (l.gpuDefined) continue;
      glClearTexSubImage(texture, GLint(i), 0, 0, face, GLsizei(l.width), GLsizei(l.height), 1,
                         info->uploadFormat, info->uploadType, nullptr);
      l.gpuDefined = true;
    }
}

bool TextureStorage::writeRGBA(UINT face, UINT index, const void* texels) {
  Level* l = level(face, index);
  if (!l || l->locked || !texture || (format != D3DFMT_A8R8G8B8 && format != D3DFMT_X8R8G8B8) ||
      info->internalFormat != GL_RGBA8)
    return false;
  device->activate();
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  if (target == GL_TEXTURE_CUBE_MAP)
    glTextureSubImage3D(texture, GLint(index), 0, 0, GLint(face), GLsizei(l->width),
                        GLsizei(l->height), 1, GL_RGBA, GL_UNSIGNED_BYTE, texels);
  else
    glTextureSubImage2D(texture, GLint(index), 0, 0, GLsizei(l->width), GLsizei(l->height), GL_RGBA,
                        GL_UNSIGNED_BYTE, texels);
  l->gpuDefined = true;
  std::vector<uint8_t>().swap(l->memory);
  l->memoryCurrent = false;
  if (index == 0 && (usage & D3DUSAGE_AUTOGENMIPMAP)) mipsWentStale();
  return true;
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
    // A level never written holds zeros, as the fresh memory copy does.
    l->memoryCurrent = !l->gpuDefined;
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
    if (index == 0 && (usage & D3DUSAGE_AUTOGENMIPMAP)) mipsWentStale();
  }
  return D3D_OK;
}

void TextureStorage::upload(UINT face, UINT index) {
  Level& l = *level(face, index);
  writeLevel(face, index, l.memory.data(), l.memory.size());
}

void TextureStorage::writeLevel(UINT face, UINT index, const void* pixels, size_t bytes) {
  Level& l = *level(face, index);
  l.gpuDefined = true;
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
  settle();
  Level& l = *level(face, index);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  if (info->blockBytes) {
    glGetCompressedTextureSubImage(texture, GLint(index), 0, 0, GLint(face), GLsizei(l.width),
                                   GLsizei(l.height), 1, GLsizei(l.memory.size()), l.memory.data());
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
  if (index == 0 && glLevelCount > 1 && (usage & D3DUSAGE_AUTOGENMIPMAP)) mipsWentStale();
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

void TextureStorage::mipsWentStale() {
  if (mipsStale) return;  // (the device was told when they went stale)
  mipsStale = true;
  device->textureMipsStale();
}

void TextureStorage::generateMips() {
  mipsStale = false;
  if (glLevelCount < 2 || !texture || (info && info->blockBytes)) return;
  device->activate();
  settle();
  glGenerateTextureMipmap(texture);
  for (int face = 0; face < faceCount; ++face)
    for (UINT i = 1; i < glLevelCount; ++i) level(UINT(face), i)->memoryCurrent = false;
}

[[gnu::hot]] TextureStorage* storageOf(IDirect3DBaseTexture9* texture) {
  // Both classes are final, so comparing the dynamic type is enough, and
  // much cheaper than a cast that searches the hierarchy (a texture is
  // bound for nearly every draw).
  if (!texture) return nullptr;
  const std::type_info& type = typeid(*texture);
  if (type == typeid(Texture)) return &static_cast<Texture*>(texture)->storage;
  if (type == typeid(CubeTexture)) return &static_cast<CubeTexture*>(texture)->storage;
  return nullptr;
}

}  // namespace d3d9
