// Feeds arbitrary bytes to the X-file loaders: the reader itself, the mesh
// loader on the headless device (then a clone with normals, computed
// normals and every subset drawn) and the hierarchy loader (then the
// animation advanced and every skinned mesh blended and drawn), and the
// skinned mesh of the script module on the same bytes. Malformed data
// must be refused without touching memory outside the input or the
// meshes.
//
// Run:
//   cmake -S . -B build-fuzz -DENGINE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_C_COMPILER=clang -DENGINE_BENCH=OFF
//   cmake --build build-fuzz --target fuzz_xfile_mesh
//   mkdir -p build-fuzz/xcorpus && cp /usr/share/assimp/models/X/test_cube_* build-fuzz/xcorpus
//   build-fuzz/fuzz_xfile_mesh -dict=fuzz/xfile_mesh.dict -max_len=4096 build-fuzz/xcorpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMesh.h"
#include "platform/d3dx/D3DXSkin.h"
#include "platform/d3dx/XFile.h"
#include "scriptapi/SkinnedMesh.h"
#include "testsupport/HeadlessDevice.h"

namespace {

struct Session : HeadlessDevice {
  Session() : HeadlessDevice(16, 16, D3DCREATE_MIXED_VERTEXPROCESSING) {}
};

// Keeps the mesh and skin of each container; names are copied.
struct Allocator : ID3DXAllocateHierarchy {
  HRESULT CreateFrame(LPCSTR name, D3DXFRAME** out) override {
    auto* frame = new D3DXFRAME{};
    frame->Name = strdup(name ? name : "");
    *out = frame;
    return S_OK;
  }
  HRESULT CreateMeshContainer(LPCSTR name, const D3DXMESHDATA* data, const D3DXMATERIAL*,
                              const D3DXEFFECTINSTANCE*, DWORD, const DWORD* adjacency,
                              ID3DXSkinInfo* skin, D3DXMESHCONTAINER** out) override {
    auto* c = new D3DXMESHCONTAINER{};
    c->Name = strdup(name ? name : "");
    c->MeshData = *data;
    data->pMesh->AddRef();
    const DWORD faces = data->pMesh->GetNumFaces();
    c->pAdjacency = new DWORD[3 * faces];
    std::memcpy(c->pAdjacency, adjacency, 12 * size_t(faces));
    c->pSkinInfo = skin;
    if (skin) skin->AddRef();
    *out = c;
    return S_OK;
  }
  HRESULT DestroyFrame(D3DXFRAME* frame) override {
    free(frame->Name);
    delete frame;
    return S_OK;
  }
  HRESULT DestroyMeshContainer(D3DXMESHCONTAINER* c) override {
    free(c->Name);
    delete[] c->pAdjacency;
    c->MeshData.pMesh->Release();
    if (c->pSkinInfo) c->pSkinInfo->Release();
    delete c;
    return S_OK;
  }
};

void blendAll(D3DXFRAME* frame) {
  for (; frame; frame = frame->pFrameSibling) {
    for (D3DXMESHCONTAINER* c = frame->pMeshContainer; c; c = c->pNextMeshContainer) {
      if (!c->pSkinInfo) continue;
      ID3DXMesh* blended = nullptr;
      ID3DXBuffer* table = nullptr;
      DWORD influences = 0, groups = 0;
      if (SUCCEEDED(c->pSkinInfo->ConvertToBlendedMesh(c->MeshData.pMesh, D3DXMESH_MANAGED,
                                                       c->pAdjacency, nullptr, nullptr, nullptr,
                                                       &influences, &groups, &table, &blended))) {
        for (DWORD g = 0; g < groups; ++g) blended->DrawSubset(g);
        table->Release();
        blended->Release();
      }
    }
    blendAll(frame->pFrameFirstChild);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session& session = *new Session;  // kept for the whole run
  xfile::Document document;
  std::string error;
  xfile::parse(data, size, document, error);

  IDirect3DDevice9* d = session.device;
  if (!d) return 0;
  ID3DXMesh* mesh = nullptr;
  ID3DXBuffer* materials = nullptr;
  ID3DXBuffer* adjacency = nullptr;
  DWORD count = 0;
  if (SUCCEEDED(D3DXLoadMeshFromXInMemory(data, DWORD(size), D3DXMESH_SYSTEMMEM, d, &adjacency,
                                          &materials, nullptr, &count, &mesh))) {
    if (count > 0 && !materials) __builtin_trap();
    ID3DXMesh* clone = nullptr;
    if (SUCCEEDED(
            mesh->CloneMeshFVF(D3DXMESH_MANAGED, mesh->GetFVF() | D3DFVF_NORMAL, d, &clone))) {
      D3DXComputeNormals(clone, static_cast<const DWORD*>(adjacency->GetBufferPointer()));
      clone->Release();
    }
    d->BeginScene();
    for (DWORD i = 0; i < count + 1; ++i) mesh->DrawSubset(i);
    d->EndScene();
    mesh->Release();
    if (materials) materials->Release();
    if (adjacency) adjacency->Release();
  }

  Allocator allocator;
  D3DXFRAME* root = nullptr;
  ID3DXAnimationController* controller = nullptr;
  if (SUCCEEDED(D3DXLoadMeshHierarchyFromXInMemory(data, DWORD(size), D3DXMESH_MANAGED, d,
                                                   &allocator, nullptr, &root, &controller))) {
    if (controller) {
      controller->AdvanceTime(0.25, nullptr);
      controller->AdvanceTime(1e9, nullptr);
      controller->Release();
    }
    d->BeginScene();
    blendAll(root);
    d->EndScene();
    D3DXFrameDestroy(root, &allocator);
  }

  // The script module's own records: normals added where missing, blended
  // meshes, bone links, two animated draws.
  {
    CSkinMesh9 skinned(d);
    skinned.load(data, DWORD(size));
    D3DXMATRIX world;
    D3DXMatrixIdentity(&world);
    d->BeginScene();
    skinned.render(d, 0.5, world);
    skinned.render(d, -3.0, world);
    d->EndScene();
  }
  return 0;
}
