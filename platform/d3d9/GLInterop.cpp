#include "platform/d3d9/GLInterop.h"

#include "platform/d3d9/Device.h"
#include "platform/d3d9/GLPipeline.h"
#include "platform/d3d9/TextureStorage.h"

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

void setShader(IDirect3DDevice9* device, GLuint shader, bool vertex, void (*prepare)(GLuint, void*),
               void* context) {
  if (d3d9::Device* d = ours(device)) d->gl().drawPipeline().setShaderOverride(shader, vertex, prepare, context);
}

void forgetShader(IDirect3DDevice9* device, GLuint shader) {
  if (d3d9::Device* d = ours(device)) d->gl().programCache().forgetShader(shader);
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

GLuint compileShader(GLenum type, const std::string& source, std::string& log) {
  GLuint shader = glCreateShader(type);
  const char* text = source.c_str();
  glShaderSource(shader, 1, &text, nullptr);
  glCompileShader(shader);
  GLint ok = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (!ok) {
    char buffer[2048] = {};
    glGetShaderInfoLog(shader, sizeof buffer - 1, nullptr, buffer);
    log = buffer;
    glDeleteShader(shader);
    return 0;
  }
  return shader;
}

GLuint linkShaders(GLuint vertex, GLuint fragment, std::string& log) {
  GLuint program = glCreateProgram();
  glAttachShader(program, vertex);
  glAttachShader(program, fragment);
  glLinkProgram(program);
  glDeleteShader(vertex);
  glDeleteShader(fragment);
  GLint ok = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    char buffer[2048] = {};
    glGetProgramInfoLog(program, sizeof buffer - 1, nullptr, buffer);
    log = buffer;
    glDeleteProgram(program);
    return 0;
  }
  return program;
}

}  // namespace d3d9_gl
