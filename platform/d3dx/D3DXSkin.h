// Frame hierarchies, skinned meshes and their animation, loaded from X
// files in the D3DX style.
//
// The loader walks the file's frames and asks the caller's allocator for
// every frame and every mesh container, so that the caller's records may
// carry more than the D3DX ones. Skin information ties a mesh's vertices to
// bones (frames named in the file); `ConvertToBlendedMesh` turns such a
// mesh into groups of faces (bone combinations) that the fixed-function
// vertex blending of the device draws with one world matrix per bone slot.
// The animation controller moves the frames' transformation matrices.
#pragma once

#include "platform/d3dx/D3DXMesh.h"

struct ID3DXSkinInfo;

enum D3DXMESHDATATYPE : DWORD {
  D3DXMESHTYPE_MESH = 1,
  D3DXMESHTYPE_PMESH = 2,
  D3DXMESHTYPE_PATCHMESH = 3,
};

struct D3DXMESHDATA {
  D3DXMESHDATATYPE Type;
  ID3DXMesh* pMesh;
};

struct D3DXMESHCONTAINER {
  LPSTR Name;
  D3DXMESHDATA MeshData;
  D3DXMATERIAL* pMaterials;
  D3DXEFFECTINSTANCE* pEffects;
  DWORD NumMaterials;
  DWORD* pAdjacency;
  ID3DXSkinInfo* pSkinInfo;
  D3DXMESHCONTAINER* pNextMeshContainer;
};

struct D3DXFRAME {
  LPSTR Name;
  D3DXMATRIX TransformationMatrix;
  D3DXMESHCONTAINER* pMeshContainer;
  D3DXFRAME* pFrameSibling;
  D3DXFRAME* pFrameFirstChild;
};

// Makes and frees the caller's frame and container records. Whatever the
// loader passes in belongs to the loader: an implementation copies what it
// keeps and takes its own references.
struct ID3DXAllocateHierarchy {
  virtual HRESULT CreateFrame(LPCSTR name, D3DXFRAME** newFrame) = 0;
  virtual HRESULT CreateMeshContainer(LPCSTR name, const D3DXMESHDATA* meshData,
                                      const D3DXMATERIAL* materials,
                                      const D3DXEFFECTINSTANCE* effectInstances, DWORD numMaterials,
                                      const DWORD* adjacency, ID3DXSkinInfo* skinInfo,
                                      D3DXMESHCONTAINER** newMeshContainer) = 0;
  virtual HRESULT DestroyFrame(D3DXFRAME* frame) = 0;
  virtual HRESULT DestroyMeshContainer(D3DXMESHCONTAINER* meshContainer) = 0;

 protected:
  ~ID3DXAllocateHierarchy() = default;
};

// Reader of data objects that the loader does not know; not supported (the
// loaders accept only null).
struct ID3DXLoadUserData;

// One group of faces drawn with one set of bones: the original attribute,
// the faces and vertices of the blended mesh, and the bone of each slot
// (0xFFFFFFFF for an unused slot).
struct D3DXBONECOMBINATION {
  DWORD AttribId;
  DWORD FaceStart;
  DWORD FaceCount;
  DWORD VertexStart;
  DWORD VertexCount;
  DWORD* BoneId;
};

struct ID3DXSkinInfo {
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  virtual DWORD GetNumBones() = 0;
  // The bone's frame name; null for a bone out of range.
  virtual LPCSTR GetBoneName(DWORD bone) = 0;
  // From the mesh's space into the bone's; null for a bone out of range.
  virtual D3DXMATRIX* GetBoneOffsetMatrix(DWORD bone) = 0;
  virtual DWORD GetNumBoneInfluences(DWORD bone) = 0;
  // The vertices and weights of one bone (arrays of GetNumBoneInfluences).
  virtual HRESULT GetBoneInfluence(DWORD bone, DWORD* vertices, float* weights) = 0;
  // The most bones that influence one vertex.
  virtual HRESULT GetMaxVertexInfluences(DWORD* maxInfluences) = 0;
  virtual DWORD GetNumVertices() = 0;
  virtual HRESULT SetBoneName(DWORD bone, LPCSTR name) = 0;
  virtual HRESULT SetBoneOffsetMatrix(DWORD bone, const D3DXMATRIX* offset) = 0;
  // Replaces the bone's influences.
  virtual HRESULT SetBoneInfluence(DWORD bone, DWORD count, const DWORD* vertices,
                                   const float* weights) = 0;

  // The blended mesh of `mesh`: faces grouped into bone combinations of
  // `*maxFaceInfluences` slots (the most bones that influence one face),
  // each vertex carrying the blend weights of its combination's slots
  // (position format XYZB of slots - 1 weights; the last weight is what the
  // others leave of 1). Face g of the result has attribute g's combination
  // index, and the result's attribute table lists the combinations.
  // Optional outputs may be null.
  virtual HRESULT ConvertToBlendedMesh(ID3DXMesh* mesh, DWORD options, const DWORD* adjacencyIn,
                                       DWORD* adjacencyOut, DWORD* faceRemap,
                                       ID3DXBuffer** vertexRemap, DWORD* maxFaceInfluences,
                                       DWORD* numBoneCombinations,
                                       ID3DXBuffer** boneCombinationTable,
                                       ID3DXMesh** blendedMesh) = 0;

 protected:
  virtual ~ID3DXSkinInfo() = default;
};

// Skin information for `numVertices` vertices and `numBones` bones without
// influences, offsets identity, names empty.
HRESULT D3DXCreateSkinInfoFVF(DWORD numVertices, DWORD fvf, DWORD numBones,
                              ID3DXSkinInfo** skinInfo);

struct ID3DXAnimationCallbackHandler;

// Plays the file's first animation set, looping, on the frames it names.
struct ID3DXAnimationController {
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  // Moves the animation time on by `timeDelta` seconds and writes the pose
  // of the new time into the animated frames' transformation matrices.
  // Callback handlers are not supported (null is expected).
  virtual HRESULT AdvanceTime(double timeDelta, ID3DXAnimationCallbackHandler* handler) = 0;
  virtual double GetTime() = 0;
  virtual HRESULT ResetTime() = 0;

 protected:
  virtual ~ID3DXAnimationController() = default;
};

// Loads the frames and meshes of an X file through `allocator`; the
// controller is null when the file has no animation. On failure whatever
// was built is destroyed through the allocator again.
//
// A Mesh placed in a Frame by reference ("{ name }") is a container of
// that frame (and of every frame that places it), not a frame of its own.
// Every container's mesh has an FVF: file data that no FVF can say
// (tangents, binormals) is left out here, while D3DXLoadMeshFromXInMemory
// keeps it. Animation keys of types 0 to 2 are rotations, scales and
// positions, 3 and 4 whole matrices; a key that does not read (wrong value
// count, a time before the key ahead of it) is left out and the rest of the
// animation stays.
HRESULT D3DXLoadMeshHierarchyFromXInMemory(const void* memory, DWORD size, DWORD options,
                                           IDirect3DDevice9* device,
                                           ID3DXAllocateHierarchy* allocator,
                                           ID3DXLoadUserData* userDataLoader,
                                           D3DXFRAME** frameHierarchy,
                                           ID3DXAnimationController** animController);

// Destroys a hierarchy: every container and frame, children and siblings
// included, through the allocator.
HRESULT D3DXFrameDestroy(D3DXFRAME* root, ID3DXAllocateHierarchy* allocator);

// The frame named `name` in the hierarchy (depth first, the frame before its
// children before its siblings); null when none.
D3DXFRAME* D3DXFrameFind(const D3DXFRAME* root, LPCSTR name);
