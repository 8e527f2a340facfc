#include "platform/d3d9/GLInterop.h"

#include "platform/d3d9/Device.h"
#include "platform/d3d9/GLPipeline.h"
#include "platform/d3d9/Resources.h"

namespace d3d9_gl {

namespace {
d3d9::Device* ours(IDirect3DDevice9* device) { return dynamic_cast<d3d9::Device*>(device); }
}  // namespace

bool makeCurrent(IDirect3DDevice9* device) {
  d3d9::Device* d = ours(device);
  if (!d) return false;
  d->activate();
  return true;
}

void setProgram(IDirect3DDevice9* device, GLuint program) {
  if (d3d9::Device* d = ours(device)) d->gl().drawPipeline().setProgramOverride(program);
}

void stateTouched(IDirect3DDevice9* device) {
  if (d3d9::Device* d = ours(device)) d->gl().invalidate();
}

GLuint textureName(IDirect3DBaseTexture9* texture, GLenum* target) {
  d3d9::TextureStorage* storage = texture ? d3d9::storageOf(texture) : nullptr;
  if (!storage) return 0;
  if (target) *target = storage->target;
  return storage->texture;
}

}  // namespace d3d9_gl
