// Shared between the mesh object, the X-file loaders and the teapot: vertex
// layouts of flexible vertex formats and meshes as plain arrays.
#pragma once

#include <string>
#include <vector>

#include "platform/d3dx/D3DXMesh.h"

namespace d3dx_mesh {

// Byte offsets of the components of one vertex; -1 for a missing one.
// `extra` holds the elements that follow the FVF part of the vertex and
// that no FVF can say (tangents, binormals...), offsets from the start of
// the vertex; `stride` counts them too.
struct VertexLayout {
  bool valid = true;
  UINT stride = 0;
  int position = 0;
  UINT positionSize = 12;  // position with its blend weights
  UINT weights = 0;
  int normal = -1, psize = -1, diffuse = -1, specular = -1;
  UINT texSets = 0;
  int tex[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  UINT texSize[8] = {};
  std::vector<D3DVERTEXELEMENT9> extra;
};

VertexLayout layoutOf(DWORD fvf);
VertexLayout layoutOf(DWORD fvf, const std::vector<D3DVERTEXELEMENT9>& extra);

// `count` vertices from one format into another: shared components are
// copied, the others are zero.
void convertVertices(const unsigned char* from, DWORD fromFvf, unsigned char* to, DWORD toFvf,
                     DWORD count);
void convertVertices(const unsigned char* from, const VertexLayout& a, unsigned char* to,
                     const VertexLayout& b, DWORD count);

// A mesh as arrays: packed vertices of `fvf` followed by the `extra`
// elements, and three indices per face.
struct MeshData {
  DWORD fvf = 0;
  UINT stride = 0;
  std::vector<D3DVERTEXELEMENT9> extra;
  std::vector<unsigned char> vertices;
  std::vector<DWORD> indices;
};

// The full declaration of a vertex format (FVF part, then the extra
// elements), with its end marker.
std::vector<D3DVERTEXELEMENT9> declarationOf(DWORD fvf,
                                             const std::vector<D3DVERTEXELEMENT9>& extra);

void adjacency(const MeshData& data, float epsilon, DWORD* out);
void computeNormals(MeshData& data, const DWORD* adjacency);

// A device mesh holding `data` (in its format, extra elements included);
// 32-bit indices are chosen when the vertices need them.
HRESULT makeMesh(IDirect3DDevice9* device, DWORD options, const MeshData& data,
                 const std::vector<DWORD>& attributes, ID3DXMesh** out);
// The vertices and indices of a mesh made here.
bool readMesh(ID3DXBaseMesh* mesh, MeshData& out);
bool writeVertices(ID3DXBaseMesh* mesh, const MeshData& data);
// How many locks of a mesh's vertex buffer are open (0 for a mesh not made
// here): the buffer stays locked until the last of them is released.
int openVertexLocks(ID3DXBaseMesh* mesh);

}  // namespace d3dx_mesh

namespace xfile {
struct Document;
struct Object;
}  // namespace xfile

namespace d3dx_mesh {

struct LoadedMaterial {
  D3DMATERIAL9 material{};
  std::string texture;  // empty when the material names none
};

// The bone influences of one mesh as the file gives them (file vertex
// indices).
struct LoadedSkinWeights {
  std::string bone;
  std::vector<DWORD> vertices;
  std::vector<float> weights;
  D3DXMATRIX offset;
};

// One Mesh object of a file, triangulated.
struct LoadedMesh {
  std::string name;
  MeshData data;
  std::vector<DWORD> attributes;  // per triangle
  std::vector<LoadedMaterial> materials;
  std::vector<DWORD> fileVertexOf;  // per mesh vertex, the file's vertex it came from
  std::vector<LoadedSkinWeights> skin;
  bool hasSkinHeader = false;
};

// The grey material that stands in where a file names none.
D3DMATERIAL9 defaultMaterial();

// Reads one Mesh object with its normals, texture coordinates, vertex
// colours, material list and skin weights.
bool buildMesh(const xfile::Document& document, const xfile::Object& mesh, LoadedMesh& out,
               std::string& error);

// The Mesh that a reference inside a Frame ("{ name }") places there; null
// when the reference names no Mesh.
const xfile::Object* referencedMesh(const xfile::Document& document, const xfile::Object& child);
// The meshes that some Frame places by reference, in address order (for
// binary search): such a mesh stands only where it is placed, not also on
// its own at the top level.
std::vector<const xfile::Object*> meshesPlacedByReference(const xfile::Document& document);

// The 16 numbers of a FrameTransformMatrix (identity when absent or short).
D3DXMATRIX frameTransform(const xfile::Object& frame);

// The vertices in their FVF part alone, the extra elements left out.
void dropExtraElements(MeshData& data);

// Positions, normals, tangents and binormals moved by a transform (normals
// by its inverse transpose; directions renormalised).
void transformMesh(MeshData& data, const D3DXMATRIX& m);

// A material array (D3DXMATERIAL records followed by the names they point
// at) in a new buffer; null when there are no materials.
HRESULT materialBuffer(const std::vector<LoadedMaterial>& materials, ID3DXBuffer** out);

}  // namespace d3dx_mesh
