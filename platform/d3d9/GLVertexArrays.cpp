// Vertex inputs as vertex arrays: one per FVF or declaration, made on first
// use and kept, with the buffers it was last bound to.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>



namespace d3d9 {

void Pipeline::forgetBuffer(GLuint buffer) {
  for (auto& entry : vertexArrays) {
    if (entry.second.buffer == buffer) entry.second.buffer = GLuint(-1);
    if (entry.second.elements == buffer) entry.second.elements = GLuint(-1);
  }
}

void Pipeline::forgetVertexInput(uint64_t id) {
  auto found = vertexArrays.find(id);
  if (found == vertexArrays.end()) return;
  if (lastVertexArray == &found->second) lastVertexArray = nullptr;
  glDeleteVertexArrays(1, &found->second.name);
  vertexArrays.erase(found);
}

Pipeline::VertexArray& Pipeline::vertexArray(const VertexInput& input) {
  if (lastVertexArray && lastInput == input.id) return *lastVertexArray;
  auto found = vertexArrays.find(input.id);
  if (found != vertexArrays.end()) {
    lastInput = input.id;
    lastVertexArray = &found->second;
    return found->second;
  }
  VertexArray& va = vertexArrays[input.id];
  lastInput = input.id;
  lastVertexArray = &va;
  glCreateVertexArrays(1, &va.name);
  for (const VertexInput::Attribute& a : input.attributes) {
    glEnableVertexArrayAttrib(va.name, a.location);
    glVertexArrayAttribFormat(va.name, a.location, a.size, a.type, a.normalised, a.offset);
    glVertexArrayAttribBinding(va.name, a.location, 0);
  }
  return va;
}

}  // namespace d3d9
