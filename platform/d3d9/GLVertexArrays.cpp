// Vertex formats as vertex arrays: one per FVF, made on first use and kept,
// with the buffers it was last bound to.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <algorithm>


namespace d3d9 {

void Pipeline::forgetBuffer(GLuint buffer) {
  for (auto& entry : vertexArrays) {
    if (entry.second.buffer == buffer) entry.second.buffer = GLuint(-1);
    if (entry.second.elements == buffer) entry.second.elements = GLuint(-1);
  }
}

Pipeline::VertexArray& Pipeline::vertexArray(DWORD fvf) {
  if (lastVertexArray && lastFVF == fvf) return *lastVertexArray;
  auto found = vertexArrays.find(fvf);
  if (found != vertexArrays.end()) {
    lastFVF = fvf;
    lastVertexArray = &found->second;
    return found->second;
  }
  VertexArray& va = vertexArrays[fvf];
  lastFVF = fvf;
  lastVertexArray = &va;
  glCreateVertexArrays(1, &va.name);
  GLuint vao = va.name;
  GLuint offset = 0;
  auto attribute = [&](GLuint index, GLint size, GLenum type, bool normalised, GLuint bytes) {
    glEnableVertexArrayAttrib(vao, index);
    glVertexArrayAttribFormat(vao, index, size, type, normalised ? GL_TRUE : GL_FALSE, offset);
    glVertexArrayAttribBinding(vao, index, 0);
    offset += bytes;
  };
  DWORD position = fvf & D3DFVF_POSITION_MASK;
  if (position == D3DFVF_XYZRHW || position == D3DFVF_XYZW) {
    attribute(kAttrPosition, 4, GL_FLOAT, false, 16);
  } else {
    attribute(kAttrPosition, 3, GL_FLOAT, false, 12);
    if (position >= D3DFVF_XYZB1 && position <= D3DFVF_XYZB5) {
      GLuint betas = (position - 4) / 2;
      bool lastIsIndex = (fvf & (D3DFVF_LASTBETA_UBYTE4 | D3DFVF_LASTBETA_D3DCOLOR)) != 0;
      GLuint weights = betas - (lastIsIndex ? 1 : 0);
      if (weights > 0) attribute(kAttrWeights, GLint(std::min(weights, 4u)), GL_FLOAT, false, 4 * weights);
      if (lastIsIndex) offset += 4;
    }
  }
  if (fvf & D3DFVF_NORMAL) attribute(kAttrNormal, 3, GL_FLOAT, false, 12);
  if (fvf & D3DFVF_PSIZE) attribute(kAttrPointSize, 1, GL_FLOAT, false, 4);
  // Colours are stored B, G, R, A: GL reads them that way with GL_BGRA.
  if (fvf & D3DFVF_DIFFUSE) attribute(kAttrDiffuse, GL_BGRA, GL_UNSIGNED_BYTE, true, 4);
  if (fvf & D3DFVF_SPECULAR) attribute(kAttrSpecular, GL_BGRA, GL_UNSIGNED_BYTE, true, 4);
  int sets = std::min<int>(int((fvf & D3DFVF_TEXCOUNT_MASK) >> D3DFVF_TEXCOUNT_SHIFT), 8);
  for (int i = 0; i < sets; ++i) {
    GLint size = 2;
    switch ((fvf >> (16 + i * 2)) & 3) {
      case D3DFVF_TEXTUREFORMAT1:
        size = 1;
        break;
      case D3DFVF_TEXTUREFORMAT3:
        size = 3;
        break;
      case D3DFVF_TEXTUREFORMAT4:
        size = 4;
        break;
      default:
        break;
    }
    attribute(GLuint(kAttrTexCoord0 + i), size, GL_FLOAT, false, GLuint(4 * size));
  }
  return va;
}

}  // namespace d3d9
