#include "platform/d3d9/GLInterop.h"

#include <GL/glext.h>

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
  if (d3d9::Device* d = ours(device))
    d->gl().drawPipeline().setShaderOverride(shader, vertex, prepare, context);
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
  storage->settle();  // the caller samples it
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

OffscreenPass::OffscreenPass(IDirect3DDevice9* device, GLuint program) : device(device) {
  glGetIntegerv(GL_CLIP_ORIGIN, &origin);
  glGenFramebuffers(1, &framebuffer);
  glGenTextures(1, &target);
  glGenVertexArrays(1, &vertexArray);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
  glUseProgram(program);
  glBindVertexArray(vertexArray);
  for (GLenum cap : {GL_BLEND, GL_DEPTH_TEST, GL_STENCIL_TEST, GL_SCISSOR_TEST, GL_CULL_FACE})
    glDisable(cap);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  glPixelStorei(GL_PACK_ALIGNMENT, 4);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
}

OffscreenPass::~OffscreenPass() {
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &framebuffer);
  glDeleteTextures(1, &target);
  glDeleteVertexArrays(1, &vertexArray);
  glUseProgram(0);
  stateTouched(device);
}

void OffscreenPass::draw(int width, int height, std::vector<uint32_t>& pixels) {
  glBindTexture(GL_TEXTURE_2D, target);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_BGRA, GL_UNSIGNED_BYTE, nullptr);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target, 0);
  glViewport(0, 0, width, height);
  glDrawArrays(GL_TRIANGLES, 0, 3);
  pixels.assign(size_t(width) * size_t(height), 0);
  glReadPixels(0, 0, width, height, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, pixels.data());
}

}  // namespace d3d9_gl
