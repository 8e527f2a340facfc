// The script type skinnedMesh: an animated, skinned mesh from an X file, a
// hierarchy of frames carrying mesh containers whose vertices follow bones
// (frames), moved by the file's animation. Drawing advances the animation,
// recomputes the frames' matrices and draws every container, blending
// between bone matrices in hardware where the device offers enough of them
// and with software vertex processing where it does not.
#pragma once

#include <cstdint>
#include <string>

#include "core/TQDataHandler.h"
#include "core/TQSmartPointer.h"
#include "platform/d3dx/D3DXSkin.h"

namespace AngelScript {
class asIScriptEngine;
}
class RegistrationSum;

class CSkinMesh9;

struct SkinFrame : D3DXFRAME {
  D3DXMATRIX combinedTransform;  // TransformationMatrix times the parent's, rebuilt at each draw
};

struct SkinMeshContainer : D3DXMESHCONTAINER {
  IDirect3DTexture9** textures;  // one per material, null where none
  ID3DXMesh* unblendedMesh;      // the mesh with normals that the blended one is made from
  DWORD numAttributeGroups;      // bone combinations
  DWORD numInfluences;           // bone slots per combination
  ID3DXBuffer* boneCombinationBuffer;
  D3DXMATRIX** boneMatrixPointers;  // per bone, the combinedTransform of its frame
  D3DXMATRIX* boneOffsetMatrices;   // per bone, from the skin information
  DWORD softwareStartGroup;         // first combination needing more matrices than the device has
};

// Builds and destroys the records of one skinned mesh's hierarchy.
class CAllocateHierarchy : public ID3DXAllocateHierarchy {
 public:
  explicit CAllocateHierarchy(CSkinMesh9* owner) : owner(owner) {}
  HRESULT CreateFrame(LPCSTR name, D3DXFRAME** newFrame) override;
  HRESULT CreateMeshContainer(LPCSTR name, const D3DXMESHDATA* meshData,
                              const D3DXMATERIAL* materials,
                              const D3DXEFFECTINSTANCE* effectInstances, DWORD numMaterials,
                              const DWORD* adjacency, ID3DXSkinInfo* skinInfo,
                              D3DXMESHCONTAINER** newMeshContainer) override;
  HRESULT DestroyFrame(D3DXFRAME* frame) override;
  HRESULT DestroyMeshContainer(D3DXMESHCONTAINER* meshContainer) override;

  CSkinMesh9* owner;
};

class CSkinMesh9 {
 public:
  explicit CSkinMesh9(IDirect3DDevice9* device);
  ~CSkinMesh9();
  CSkinMesh9(const CSkinMesh9&) = delete;
  CSkinMesh9& operator=(const CSkinMesh9&) = delete;

  HRESULT load(const void* bytes, DWORD count);
  // Advances the animation by `timeStep` seconds and draws with `world` as
  // the root's parent transform; `device` is not used (the mesh draws on
  // its own device).
  void render(IDirect3DDevice9* device, double timeStep, const D3DXMATRIX& world);

  HRESULT buildBlendedMesh(SkinMeshContainer* container);
  HRESULT linkBoneMatrices(SkinMeshContainer* container);
  HRESULT linkAllBoneMatrices(D3DXFRAME* frame);
  void updateCombinedMatrices(D3DXFRAME* frame, const D3DXMATRIX* parent);
  void drawFrameTree(D3DXFRAME* frame);
  void drawMeshContainer(SkinMeshContainer* container, SkinFrame* frame);

  IDirect3DDevice9* device;
  D3DXFRAME* frameRoot = nullptr;
  ID3DXAnimationController* animController = nullptr;
  D3DCAPS9 caps{};
  bool overloadMaterial = false;
  bool overloadTexture = false;
};

using SkinnedMeshHandle = TQSmartPointer<CSkinMesh9, DeleteDestruct<CSkinMesh9>>;

// Keeps the bytes it is given as they are. Its copies live for the rest of
// the run (the resource store caches them).
class TQDataHandler_Raw : public TQDataHandler {
 public:
  bool loadFromMemory(const char* bytes, std::int32_t size, void** object,
                      std::string& error) override;
  bool saveToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                    std::string& error) override;

  char* data = nullptr;   // the last copy made; null before
  std::int32_t size = 0;  // its byte count
};

// The byte count of a copy that a TQDataHandler_Raw made; 0 for anything
// else.
std::int32_t rawCopySize(const void* copy);

// skinnedMesh type, then (after the mesh rows) its behaviours, methods and
// factory, in the module's order.
int registerSkinnedMeshType(AngelScript::asIScriptEngine* engine);
void registerSkinnedMesh(AngelScript::asIScriptEngine* engine, RegistrationSum& r);
