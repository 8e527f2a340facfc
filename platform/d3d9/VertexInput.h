// What a draw reads from its vertices, worked out in one place from either
// an FVF or a vertex declaration: the vertex attributes (location, format,
// offset in stream 0) and what the fixed-function pipeline finds among them.
#pragma once

#include <GL/gl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/d3d9/D3D9Constants.h"
#include "platform/d3d9/D3D9Types.h"

namespace d3d9 {

struct VertexInput {
  struct Attribute {
    BYTE usage, usageIndex;
    int location;  // where the fixed-function program reads it; -1: nowhere
    GLint size;    // components, or GL_BGRA for colours stored B, G, R, A
    GLenum type;
    GLboolean normalised;
    GLuint offset;
  };
  // Distinguishes inputs for the vertex arrays made from them: an FVF's
  // input has the FVF, a declaration's one above 2^32.
  uint64_t id = 0;
  std::vector<Attribute> attributes;
  // Bytes of stream 0 that one vertex reads (the end of its last element);
  // 0 when the input cannot be drawn.
  UINT size = 0;

  // What the fixed-function pipeline reads: its position kind
  // (PositionKind of FixedFunction.h), blend weights, the FVF components
  // and the components of each texture coordinate set (0: absent).
  uint8_t position = 0;
  uint8_t weights = 0;
  bool normal = false, pointSize = false, diffuse = false, specular = false;
  uint8_t texCoordSize[8] = {};
};

// The input of a declaration (`count` elements, no end marker); false for
// elements the device cannot draw from (a stream other than 0, an unknown
// type, method or usage, or one meaning given twice).
bool inputOfElements(const D3DVERTEXELEMENT9* elements, size_t count, VertexInput& out);

// The input of an FVF; its size is 0 when the FVF has no position the
// device knows.
VertexInput inputOfFVF(DWORD fvf);

}  // namespace d3d9
