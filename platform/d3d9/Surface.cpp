#include "platform/d3d9/Surface.h"

#include "platform/d3d9/Device.h"
#include "platform/d3d9/TextureStorage.h"

namespace d3d9 {

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

Surface::Surface(Device* device, Kind kind, UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                 bool ofDevice)
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
    container->settle();
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

void Surface::containerWrote() { container->gpuWrote(face, level); }

}  // namespace d3d9
