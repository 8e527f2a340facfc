// Meshes in the D3DX style: an indexed triangle list in a vertex and an
// index buffer of the device, with an attribute (material group) per face,
// loaded from X files or built in code, and the helpers around them.
//
// Faces are triangles; face f uses indices 3f, 3f + 1, 3f + 2. A loaded
// mesh keeps the vertex order of its file: vertex i of the file is vertex i
// of the mesh, and vertices that must be split because their corners carry
// different normals are appended after the file's vertices, in the order in
// which the faces meet them. Polygons are cut into fans around their first
// corner, one triangle per further corner, in the file's face order.
#pragma once

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXBuffer.h"
#include "platform/d3dx/D3DXMath.h"

// Mesh creation options: where the buffers live and how wide the indices are.
#define D3DXMESH_32BIT 0x001
#define D3DXMESH_DONOTCLIP 0x002
#define D3DXMESH_POINTS 0x004
#define D3DXMESH_RTPATCHES 0x008
#define D3DXMESH_NPATCHES 0x4000
#define D3DXMESH_VB_SYSTEMMEM 0x010
#define D3DXMESH_VB_MANAGED 0x020
#define D3DXMESH_VB_WRITEONLY 0x040
#define D3DXMESH_VB_DYNAMIC 0x080
#define D3DXMESH_IB_SYSTEMMEM 0x100
#define D3DXMESH_IB_MANAGED 0x200
#define D3DXMESH_IB_WRITEONLY 0x400
#define D3DXMESH_IB_DYNAMIC 0x800
#define D3DXMESH_SOFTWAREPROCESSING 0x18000
#define D3DXMESH_SYSTEMMEM 0x110
#define D3DXMESH_MANAGED 0x220
#define D3DXMESH_WRITEONLY 0x440
#define D3DXMESH_DYNAMIC 0x880

// Optimisation requests that are accepted with the creation options.
#define D3DXMESHOPT_COMPACT 0x01000000
#define D3DXMESHOPT_ATTRSORT 0x02000000
#define D3DXMESHOPT_VERTEXCACHE 0x04000000
#define D3DXMESHOPT_STRIPREORDER 0x08000000
#define D3DXMESHOPT_IGNOREVERTS 0x10000000
#define D3DXMESHOPT_DONOTSPLIT 0x20000000

// Room for a mesh's declaration, its end marker included.
#define MAX_FVF_DECL_SIZE (MAXD3DDECLLENGTH + 1)

// The largest index that a 16-bit index buffer holds (0xFFFF is reserved).
#define D3DX_MAX_16BIT_VERTICES 0xFFFF

struct ID3DXMesh;

// One group of faces that share an attribute, as a range of faces and the
// range of vertices those faces use.
struct D3DXATTRIBUTERANGE {
  DWORD AttribId;
  DWORD FaceStart;
  DWORD FaceCount;
  DWORD VertexStart;
  DWORD VertexCount;
};

// A material of an X file: the device material and the texture file name
// it names (null when none).
struct D3DXMATERIAL {
  D3DMATERIAL9 MatD3D;
  LPSTR pTextureFilename;
};

// The effect that a material asks for. The loaders do not read a file's
// EffectInstance objects (nothing here draws with them): they hand out one
// empty record per material.
struct D3DXEFFECTDEFAULT;
struct D3DXEFFECTINSTANCE {
  LPSTR pEffectFilename;
  DWORD NumDefaults;
  D3DXEFFECTDEFAULT* pDefaults;
};

struct ID3DXBaseMesh {
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  // Draws the faces whose attribute is `attribId`: through the attribute
  // table when the mesh has one, otherwise every run of consecutive faces
  // with that attribute. Sets the vertex format, stream 0 and the indices.
  virtual HRESULT DrawSubset(DWORD attribId) = 0;
  virtual DWORD GetNumFaces() = 0;
  virtual DWORD GetNumVertices() = 0;
  // The vertex format; 0 when the vertices hold elements that no FVF can
  // say (tangents, binormals...), which GetDeclaration then lists.
  virtual DWORD GetFVF() = 0;
  // The vertex format as declaration elements, closed by D3DDECL_END().
  virtual HRESULT GetDeclaration(D3DVERTEXELEMENT9 declaration[MAX_FVF_DECL_SIZE]) = 0;
  virtual DWORD GetNumBytesPerVertex() = 0;
  virtual DWORD GetOptions() = 0;
  // One more reference on the device the mesh was made on.
  virtual HRESULT GetDevice(IDirect3DDevice9** device) = 0;
  // A copy with another vertex format and other options: components that
  // both formats have are copied, new ones are zero (and elements that the
  // FVF cannot say are left out).
  virtual HRESULT CloneMeshFVF(DWORD options, DWORD fvf, IDirect3DDevice9* device,
                               ID3DXMesh** clone) = 0;
  virtual HRESULT GetVertexBuffer(IDirect3DVertexBuffer9** buffer) = 0;
  virtual HRESULT GetIndexBuffer(IDirect3DIndexBuffer9** buffer) = 0;
  virtual HRESULT LockVertexBuffer(DWORD flags, LPVOID* data) = 0;
  virtual HRESULT UnlockVertexBuffer() = 0;
  virtual HRESULT LockIndexBuffer(DWORD flags, LPVOID* data) = 0;
  virtual HRESULT UnlockIndexBuffer() = 0;
  // With a null table: the entry count only.
  virtual HRESULT GetAttributeTable(D3DXATTRIBUTERANGE* table, DWORD* size) = 0;
  // Three entries per face: the face across each edge (corner 0-1, 1-2,
  // 2-0), 0xFFFFFFFF where none; edges are matched by vertex position.
  virtual HRESULT GenerateAdjacency(float epsilon, DWORD* adjacency) = 0;

 protected:
  virtual ~ID3DXBaseMesh() = default;
};

struct ID3DXMesh : ID3DXBaseMesh {
  // One attribute per face.
  virtual HRESULT LockAttributeBuffer(DWORD flags, DWORD** data) = 0;
  virtual HRESULT UnlockAttributeBuffer() = 0;
  virtual HRESULT SetAttributeTable(const D3DXATTRIBUTERANGE* table, DWORD size) = 0;
};

// Bytes of one vertex of a flexible vertex format; 0 when the format
// cannot describe a mesh vertex.
UINT D3DXGetFVFVertexSize(DWORD fvf);

// An empty mesh (vertices and indices zero, attributes 0) of the given size.
HRESULT D3DXCreateMeshFVF(DWORD numFaces, DWORD numVertices, DWORD options, DWORD fvf,
                          IDirect3DDevice9* device, ID3DXMesh** mesh);

// Vertex normals: each vertex gets the normalised sum of the normals of the
// faces that use it, each face weighted by its angle at that vertex. The
// mesh must have a normal in its vertex format. With adjacency, vertices at
// one position that adjacent faces share are smoothed together.
HRESULT D3DXComputeNormals(ID3DXBaseMesh* mesh, const DWORD* adjacency);

// Loads every mesh of an X file into one mesh: the meshes of the frame
// hierarchy (those placed by reference included, once per frame that places
// them) are placed by their frames' transforms and their materials are
// concatenated. The vertex format has a position, a normal when the file
// gives normals, a diffuse colour when it gives vertex colours and one pair
// of texture coordinates when it gives them, and whatever FVFData and
// DeclData add (other texture coordinate sets and sizes, colours, point
// sizes; the sets of FVFData follow that pair; tangents, binormals and the
// like follow the FVF part, and the mesh then has FVF 0 and a declaration).
// Outputs other than `mesh` may
// be null. Materials come as an array of D3DXMATERIAL whose file names point
// into the same buffer; a file without materials gives 0 materials and no
// buffer.
HRESULT D3DXLoadMeshFromXInMemory(const void* memory, DWORD size, DWORD options,
                                  IDirect3DDevice9* device, ID3DXBuffer** adjacency,
                                  ID3DXBuffer** materials, ID3DXBuffer** effectInstances,
                                  DWORD* numMaterials, ID3DXMesh** mesh);

// The teapot: position and normal (24-byte vertices), lid up (+y), centred
// on the origin (y from -1.575 to 1.575), spout towards +x, handle towards
// -x; one attribute group (0). Front faces run clockwise.
HRESULT D3DXCreateTeapot(IDirect3DDevice9* device, ID3DXMesh** mesh, ID3DXBuffer** adjacency);
