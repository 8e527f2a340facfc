#include "platform/d3d9/VertexInput.h"

#include <GL/glext.h>

#include <algorithm>

#include "platform/d3d9/DeviceState.h"
#include "platform/d3d9/FixedFunction.h"
#include "platform/d3d9/VertexFormat.h"

namespace d3d9 {

namespace {

// The GL format of a declaration type: components, type, normalised.
struct GLFormat {
  GLint size;
  GLenum type;
  GLboolean normalised;
};

bool formatOf(BYTE type, GLFormat& out) {
  switch (type) {
    case D3DDECLTYPE_FLOAT1:
      out = {1, GL_FLOAT, GL_FALSE};
      return true;
    case D3DDECLTYPE_FLOAT2:
      out = {2, GL_FLOAT, GL_FALSE};
      return true;
    case D3DDECLTYPE_FLOAT3:
      out = {3, GL_FLOAT, GL_FALSE};
      return true;
    case D3DDECLTYPE_FLOAT4:
      out = {4, GL_FLOAT, GL_FALSE};
      return true;
    case D3DDECLTYPE_D3DCOLOR:
      out = {GL_BGRA, GL_UNSIGNED_BYTE, GL_TRUE};
      return true;
    case D3DDECLTYPE_UBYTE4:
      out = {4, GL_UNSIGNED_BYTE, GL_FALSE};
      return true;
    case D3DDECLTYPE_SHORT2:
      out = {2, GL_SHORT, GL_FALSE};
      return true;
    case D3DDECLTYPE_SHORT4:
      out = {4, GL_SHORT, GL_FALSE};
      return true;
    case D3DDECLTYPE_UBYTE4N:
      out = {4, GL_UNSIGNED_BYTE, GL_TRUE};
      return true;
    case D3DDECLTYPE_SHORT2N:
      out = {2, GL_SHORT, GL_TRUE};
      return true;
    case D3DDECLTYPE_SHORT4N:
      out = {4, GL_SHORT, GL_TRUE};
      return true;
    case D3DDECLTYPE_USHORT2N:
      out = {2, GL_UNSIGNED_SHORT, GL_TRUE};
      return true;
    case D3DDECLTYPE_USHORT4N:
      out = {4, GL_UNSIGNED_SHORT, GL_TRUE};
      return true;
    // Three 10-bit components; GL reads the packed word with a fourth,
    // which the two spare bits fill.
    case D3DDECLTYPE_UDEC3:
      out = {4, GL_UNSIGNED_INT_2_10_10_10_REV, GL_FALSE};
      return true;
    case D3DDECLTYPE_DEC3N:
      out = {4, GL_INT_2_10_10_10_REV, GL_TRUE};
      return true;
    case D3DDECLTYPE_FLOAT16_2:
      out = {2, GL_HALF_FLOAT, GL_FALSE};
      return true;
    case D3DDECLTYPE_FLOAT16_4:
      out = {4, GL_HALF_FLOAT, GL_FALSE};
      return true;
    default:
      return false;
  }
}

}  // namespace

bool inputOfElements(const D3DVERTEXELEMENT9* elements, size_t count, VertexInput& out) {
  out = VertexInput{};
  bool hasPosition = false;
  for (size_t i = 0; i < count; ++i) {
    const D3DVERTEXELEMENT9& e = elements[i];
    GLFormat f;
    if (e.Stream != 0 || e.Method != D3DDECLMETHOD_DEFAULT || !formatOf(e.Type, f)) return false;
    if (e.Usage > D3DDECLUSAGE_SAMPLE) return false;
    out.size = std::max<UINT>(out.size, UINT(e.Offset) + declTypeSize(e.Type));
    const int location = attributeLocation(e.Usage, e.UsageIndex);
    for (const VertexInput::Attribute& a : out.attributes)
      if ((a.usage == e.Usage && a.usageIndex == e.UsageIndex) ||
          (location >= 0 && a.location == location))
        return false;
    out.attributes.push_back(
        {e.Usage, e.UsageIndex, location, f.size, f.type, f.normalised, e.Offset});

    const bool floats = e.Type <= D3DDECLTYPE_FLOAT4;
    const int components = f.size == GL_BGRA ? 4 : f.size;
    switch (e.Usage) {
      case D3DDECLUSAGE_POSITION:
        if (e.UsageIndex == 0) {
          hasPosition = true;
          out.position = components == 4 ? kPositionXYZW : kPositionXYZ;
        }
        break;
      case D3DDECLUSAGE_POSITIONT:
        hasPosition = true;
        out.position = kPositionRHW;
        break;
      case D3DDECLUSAGE_BLENDWEIGHT:
        if (e.UsageIndex == 0 && floats) out.weights = uint8_t(components);
        break;
      case D3DDECLUSAGE_NORMAL:
        if (e.UsageIndex == 0) out.normal = true;
        break;
      case D3DDECLUSAGE_PSIZE:
        if (e.UsageIndex == 0) out.pointSize = true;
        break;
      case D3DDECLUSAGE_COLOR:
        if (e.UsageIndex == 0) out.diffuse = true;
        if (e.UsageIndex == 1) out.specular = true;
        break;
      case D3DDECLUSAGE_TEXCOORD:
        out.texCoordSize[e.UsageIndex] = uint8_t(components);
        break;
      default:
        break;
    }
  }
  // Without a position nothing can be drawn; a vertex of no bytes neither.
  if (!hasPosition) out.size = 0;
  return true;
}

VertexInput inputOfFVF(DWORD fvf) {
  VertexInput input;
  std::vector<D3DVERTEXELEMENT9> elements;
  if (elementsOfFVF(fvf, elements) && inputOfElements(elements.data(), elements.size(), input)) {
    // The FVF's own size, which may hold bytes no element reads.
    if (input.size) input.size = vertexSize(fvf);
  } else {
    input = VertexInput{};
  }
  input.id = fvf;
  return input;
}

}  // namespace d3d9
