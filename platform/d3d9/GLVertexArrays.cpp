// Vertex inputs as vertex arrays: one per FVF or declaration, made on first
// use and kept, with the buffers it was last bound to.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <algorithm>

#include "platform/d3d9/VertexFormat.h"

namespace d3d9 {

void Pipeline::forgetBuffer(GLuint buffer) {
  for (auto& entry : vertexArrays) {
    if (entry.second.buffer == buffer) entry.second.buffer = GLuint(-1);
    if (entry.second.elements == buffer) entry.second.elements = GLuint(-1);
  }
}

void Pipeline::forgetVertexInput(uint64_t id) {
  for (auto it = vertexArrays.begin(); it != vertexArrays.end();) {
    if (it->first.input != id) {
      ++it;
      continue;
    }
    if (lastVertexArray == &it->second) lastVertexArray = nullptr;
    glDeleteVertexArrays(1, &it->second.name);
    it = vertexArrays.erase(it);
  }
}

void Pipeline::readProgramInputs(GLuint program) {
  programInputs.clear();
  programInputsSignature = 0;
  if (!program) return;
  GLint count = 0, longest = 0;
  glGetProgramiv(program, GL_ACTIVE_ATTRIBUTES, &count);
  glGetProgramiv(program, GL_ACTIVE_ATTRIBUTE_MAX_LENGTH, &longest);
  std::vector<char> name(size_t(std::max(longest, 1)));
  for (GLint i = 0; i < count; ++i) {
    GLint size = 0;
    GLenum type = 0;
    glGetActiveAttrib(program, GLuint(i), GLsizei(name.size()), nullptr, &size, &type, name.data());
    BYTE usage, index;
    if (!semanticOfInput(name.data(), usage, index)) continue;
    const GLint location = glGetAttribLocation(program, name.data());
    if (location >= 0) programInputs.push_back({usage, index, GLuint(location)});
  }
  std::sort(programInputs.begin(), programInputs.end(),
            [](const ProgramInput& a, const ProgramInput& b) { return a.location < b.location; });
  // FNV-1a over the list; never 0 when there is one.
  uint64_t hash = 1469598103934665603ull;
  for (const ProgramInput& p : programInputs)
    for (uint64_t v : {uint64_t(p.usage), uint64_t(p.usageIndex), uint64_t(p.location)}) {
      hash ^= v + 1;
      hash *= 1099511628211ull;
    }
  programInputsSignature = programInputs.empty() ? 0 : hash | 1;
}

Pipeline::VertexArray& Pipeline::findVertexArray(const VertexArrayKey& key,
                                                 const VertexInput& input) {
  const uint64_t inputs = key.inputs;
  auto found = vertexArrays.find(key);
  if (found != vertexArrays.end()) {
    lastInput = key;
    lastVertexArray = &found->second;
    return found->second;
  }
  VertexArray& va = vertexArrays[key];
  lastInput = key;
  lastVertexArray = &va;
  glCreateVertexArrays(1, &va.name);
  for (const VertexInput::Attribute& a : input.attributes) {
    int location = -1;
    bool fixedTaken = false;
    if (inputs) {
      for (const ProgramInput& p : programInputs) {
        if (p.usage == a.usage && p.usageIndex == a.usageIndex) location = int(p.location);
        if (a.location >= 0 && int(p.location) == a.location) fixedTaken = true;
      }
    }
    if (location < 0 && a.location >= 0 && !fixedTaken) location = a.location;
    if (location < 0) continue;  // nothing reads it
    const GLuint at = GLuint(location);
    glEnableVertexArrayAttrib(va.name, at);
    glVertexArrayAttribFormat(va.name, at, a.size, a.type, a.normalised, a.offset);
    glVertexArrayAttribBinding(va.name, at, 0);
  }
  return va;
}

}  // namespace d3d9
