// Extruded 3D text from the outlines of the font selected into a device
// context.
//
// Geometry: units of the font's em square (a capital letter is about 0.7
// high); the first character's origin is at (0, 0) on the baseline and each
// character advances along +x by its advance width, without kerning. The
// outline is extruded from z = 0 towards negative z by the extrusion depth:
// the face at z = -extrusion looks towards -z (a camera on the -z side reads
// the text), the face at z = 0 towards +z, and the sides close the solid.
// Triangles are wound clockwise seen from outside (Direct3D's front faces)
// and every normal points outwards; side normals are smoothed across the
// small turns of flattened curves and kept sharp at corners.
//
// Curves are flattened so that no point of the outline lies further than the
// deviation from the polygon that replaces it; a deviation of 0 means one
// design unit of the font.
//
// The text is 8-bit, in the Windows western code page; a character the font
// lacks is drawn as the font's missing-glyph shape.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMath.h"
#include "platform/win32/Gdi.h"

// One vertex of a text mesh: the vertex format D3DFVF_XYZ | D3DFVF_NORMAL.
struct TextMeshVertex {
  D3DXVECTOR3 position;
  D3DXVECTOR3 normal;
};
static_assert(sizeof(TextMeshVertex) == 24, "text mesh vertices are 24 bytes");

struct TextMeshData {
  std::vector<TextMeshVertex> vertices;
  std::vector<uint32_t> indices;           // three per triangle
  std::vector<DWORD> attributes;           // one per triangle, all 0
  std::vector<GLYPHMETRICSFLOAT> metrics;  // one per character of the text
};

// Builds the text's triangles. D3DERR_INVALIDCALL when the context holds no
// usable font, the text is null, the deviation is negative or either number
// is not finite; `out` is then left empty. Text without visible characters
// (empty, blanks only) succeeds with no triangles.
HRESULT buildTextMeshData(HDC dc, const char* text, float deviation, float extrusion,
                          TextMeshData& out);

namespace platform_test {
// The solid that closed contours (em units, any orientation) make under the
// non-zero or the even-odd fill rule, built as glyph outlines are.
void buildContourSolid(const std::vector<std::vector<D3DXVECTOR2>>& contours, bool evenOdd,
                       float extrusion, TextMeshData& out);
}  // namespace platform_test

struct ID3DXMesh;
struct ID3DXBuffer;
typedef ID3DXMesh* LPD3DXMESH;
typedef ID3DXBuffer* LPD3DXBUFFER;

// The text as a mesh on the device: 24-byte vertices, every face in
// attribute group 0, 32-bit indices only when 16 bits cannot address the
// vertices. Fails (and leaves *mesh null) where buildTextMeshData fails and
// when the text gives no triangles. Adjacency is not produced: asking for
// it fails with E_NOTIMPL. The metrics are optional; their array needs one
// entry per character.
HRESULT D3DXCreateTextA(IDirect3DDevice9* device, HDC dc, LPCSTR text, FLOAT deviation,
                        FLOAT extrusion, LPD3DXMESH* mesh, LPD3DXBUFFER* adjacency,
                        GLYPHMETRICSFLOAT* glyphMetrics);
