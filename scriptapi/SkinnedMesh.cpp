#include "scriptapi/SkinnedMesh.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/RenderStateStack.h"
#include "core/TQDatabase.h"
#include "platform/d3dx/D3DXTexture.h"
#include "scriptapi/Binding.h"

namespace {

constexpr DWORD kNoBone = 0xFFFFFFFF;

// Every copy the raw handler made, with its size: they live for the run.
std::map<const void*, std::unique_ptr<char[]>>& rawCopies() {
  static std::map<const void*, std::unique_ptr<char[]>> copies;
  return copies;
}
std::map<const void*, std::int32_t>& rawSizes() {
  static std::map<const void*, std::int32_t> sizes;
  return sizes;
}

char* keepCopy(const char* bytes, std::int32_t size) {
  const std::size_t n = size > 0 ? std::size_t(size) : 0;
  std::unique_ptr<char[]> copy(new char[n + 1]);
  if (n) std::memcpy(copy.get(), bytes, n);
  char* address = copy.get();
  rawSizes()[address] = std::int32_t(n);
  rawCopies()[address] = std::move(copy);
  return address;
}

HRESULT duplicateName(LPCSTR name, LPSTR* out) {
  *out = nullptr;
  if (!name) return S_OK;
  const std::size_t length = std::strlen(name);
  *out = static_cast<LPSTR>(std::malloc(length + 1));
  if (!*out) return E_OUTOFMEMORY;
  std::memcpy(*out, name, length + 1);
  return S_OK;
}

}  // namespace

std::int32_t rawCopySize(const void* copy) {
  auto found = rawSizes().find(copy);
  return found == rawSizes().end() ? 0 : found->second;
}

bool TQDataHandler_Raw::loadFromMemory(const char* bytes, std::int32_t count, void** object,
                                       std::string&) {
  data = keepCopy(bytes, count);
  size = rawCopySize(data);
  *object = data;
  return true;
}

bool TQDataHandler_Raw::saveToMemory(void* object, std::int32_t count, char** buffer,
                                     std::uint32_t* length, std::string&) {
  const std::int32_t n = count > 0 ? count : 0;
  *buffer = new char[std::size_t(n) + 1];
  if (n && object) std::memcpy(*buffer, object, std::size_t(n));
  *length = std::uint32_t(n);
  data = keepCopy(*buffer, n);
  size = n;
  return true;
}

// --- hierarchy records -----------------------------------------------------------

HRESULT CAllocateHierarchy::CreateFrame(LPCSTR name, D3DXFRAME** newFrame) {
  *newFrame = nullptr;
  auto* frame = new (std::nothrow) SkinFrame();
  if (!frame) return E_OUTOFMEMORY;
  const HRESULT hr = duplicateName(name, &frame->Name);
  if (FAILED(hr)) {
    delete frame;
    return hr;
  }
  D3DXMatrixIdentity(static_cast<D3DXMATRIX*>(&frame->TransformationMatrix));
  D3DXMatrixIdentity(&frame->combinedTransform);
  frame->pMeshContainer = nullptr;
  frame->pFrameSibling = frame->pFrameFirstChild = nullptr;
  *newFrame = frame;
  return S_OK;
}

HRESULT CAllocateHierarchy::CreateMeshContainer(LPCSTR name, const D3DXMESHDATA* meshData,
                                                const D3DXMATERIAL* materials,
                                                const D3DXEFFECTINSTANCE*, DWORD numMaterials,
                                                const DWORD* adjacency, ID3DXSkinInfo* skinInfo,
                                                D3DXMESHCONTAINER** newMeshContainer) {
  *newMeshContainer = nullptr;
  if (!meshData || meshData->Type != D3DXMESHTYPE_MESH || !meshData->pMesh) return E_FAIL;
  ID3DXMesh* mesh = meshData->pMesh;
  if (mesh->GetFVF() == 0) return E_FAIL;

  auto* c = static_cast<SkinMeshContainer*>(std::calloc(1, sizeof(SkinMeshContainer)));
  if (!c) return E_OUTOFMEMORY;
  HRESULT hr = duplicateName(name, &c->Name);
  IDirect3DDevice9* meshDevice = nullptr;
  mesh->GetDevice(&meshDevice);
  const DWORD faces = mesh->GetNumFaces();
  if (SUCCEEDED(hr)) {
    if (mesh->GetFVF() & D3DFVF_NORMAL) {
      c->MeshData.pMesh = mesh;
      mesh->AddRef();
    } else {
      hr = mesh->CloneMeshFVF(mesh->GetOptions(), mesh->GetFVF() | D3DFVF_NORMAL, meshDevice,
                              &c->MeshData.pMesh);
      if (SUCCEEDED(hr)) D3DXComputeNormals(c->MeshData.pMesh, nullptr);
    }
    c->MeshData.Type = D3DXMESHTYPE_MESH;
  }
  if (SUCCEEDED(hr)) {
    const DWORD count = numMaterials > 0 ? numMaterials : 1;
    c->NumMaterials = count;
    c->pMaterials = static_cast<D3DXMATERIAL*>(std::calloc(count, sizeof(D3DXMATERIAL)));
    c->textures = static_cast<IDirect3DTexture9**>(std::calloc(count, sizeof(IDirect3DTexture9*)));
    c->pAdjacency = static_cast<DWORD*>(std::malloc(sizeof(DWORD) * 3 * (faces ? faces : 1)));
    if (!c->pMaterials || !c->textures || !c->pAdjacency) {
      hr = E_OUTOFMEMORY;
    } else {
      if (adjacency) std::memcpy(c->pAdjacency, adjacency, sizeof(DWORD) * 3 * faces);
      if (numMaterials > 0) {
        // Texture file names are paths from the working directory (the
        // scriplet's folder while it runs), not names in the resource store.
        // A texture that does not load leaves its material without one; the
        // container keeps no file names.
        for (DWORD i = 0; i < numMaterials; ++i) {
          c->pMaterials[i] = materials[i];
          const char* file = materials[i].pTextureFilename;
          if (file && file[0] &&
              FAILED(D3DXCreateTextureFromFileA(meshDevice, file, &c->textures[i])))
            c->textures[i] = nullptr;
          c->pMaterials[i].pTextureFilename = nullptr;
        }
      } else {
        D3DMATERIAL9& m = c->pMaterials[0].MatD3D;
        m.Diffuse = {0.5f, 0.5f, 0.5f, 0.0f};
        m.Specular = m.Diffuse;
      }
    }
  }
  if (SUCCEEDED(hr) && skinInfo) {
    c->pSkinInfo = skinInfo;
    skinInfo->AddRef();
    c->unblendedMesh = c->MeshData.pMesh;
    c->unblendedMesh->AddRef();
    const DWORD bones = skinInfo->GetNumBones();
    c->boneOffsetMatrices =
        static_cast<D3DXMATRIX*>(std::malloc(sizeof(D3DXMATRIX) * (bones ? bones : 1)));
    if (!c->boneOffsetMatrices) {
      hr = E_OUTOFMEMORY;
    } else {
      for (DWORD b = 0; b < bones; ++b)
        c->boneOffsetMatrices[b] = *skinInfo->GetBoneOffsetMatrix(b);
      hr = owner->buildBlendedMesh(c);
    }
  }
  if (meshDevice) meshDevice->Release();
  if (FAILED(hr)) {
    DestroyMeshContainer(c);
    return hr;
  }
  *newMeshContainer = c;
  return S_OK;
}

HRESULT CAllocateHierarchy::DestroyFrame(D3DXFRAME* frame) {
  std::free(frame->Name);
  delete static_cast<SkinFrame*>(frame);
  return S_OK;
}

HRESULT CAllocateHierarchy::DestroyMeshContainer(D3DXMESHCONTAINER* base) {
  auto* c = static_cast<SkinMeshContainer*>(base);
  std::free(c->Name);
  std::free(c->pAdjacency);
  std::free(c->pMaterials);
  std::free(c->boneOffsetMatrices);
  if (c->textures) {
    for (DWORD i = 0; i < c->NumMaterials; ++i)
      if (c->textures[i]) c->textures[i]->Release();
    std::free(c->textures);
  }
  std::free(c->boneMatrixPointers);
  if (c->boneCombinationBuffer) c->boneCombinationBuffer->Release();
  if (c->MeshData.pMesh) c->MeshData.pMesh->Release();
  if (c->pSkinInfo) c->pSkinInfo->Release();
  if (c->unblendedMesh) c->unblendedMesh->Release();
  std::free(c);
  return S_OK;
}

// --- the skinned mesh ----------------------------------------------------------------

CSkinMesh9::CSkinMesh9(IDirect3DDevice9* device) : device(device) {}

CSkinMesh9::~CSkinMesh9() {
  if (frameRoot) {
    CAllocateHierarchy allocator(this);
    D3DXFrameDestroy(frameRoot, &allocator);
    frameRoot = nullptr;
  }
  if (animController) animController->Release();
}

HRESULT CSkinMesh9::load(const void* bytes, DWORD count) {
  if (!device) return D3DERR_INVALIDCALL;
  device->GetDeviceCaps(&caps);
  CAllocateHierarchy allocator(this);
  const HRESULT hr = D3DXLoadMeshHierarchyFromXInMemory(
      bytes, count, D3DXMESH_MANAGED, device, &allocator, nullptr, &frameRoot, &animController);
  if (FAILED(hr)) {
    logMessage("Failed to load skin mesh");
    return hr;
  }
  return linkAllBoneMatrices(frameRoot);
}

HRESULT CSkinMesh9::buildBlendedMesh(SkinMeshContainer* c) {
  if (!c->pSkinInfo) return S_OK;
  if (c->MeshData.pMesh) c->MeshData.pMesh->Release();
  c->MeshData.pMesh = nullptr;
  if (c->boneCombinationBuffer) c->boneCombinationBuffer->Release();
  c->boneCombinationBuffer = nullptr;
  const HRESULT hr = c->pSkinInfo->ConvertToBlendedMesh(
      c->unblendedMesh, D3DXMESH_MANAGED | D3DXMESHOPT_VERTEXCACHE, c->pAdjacency, nullptr, nullptr,
      nullptr, &c->numInfluences, &c->numAttributeGroups, &c->boneCombinationBuffer,
      &c->MeshData.pMesh);
  if (FAILED(hr)) return hr;
  const auto* groups =
      static_cast<const D3DXBONECOMBINATION*>(c->boneCombinationBuffer->GetBufferPointer());
  c->softwareStartGroup = c->numAttributeGroups;
  for (DWORD g = 0; g < c->numAttributeGroups; ++g) {
    DWORD used = 0;
    for (DWORD s = 0; s < c->numInfluences; ++s)
      if (groups[g].BoneId[s] != kNoBone) ++used;
    if (used > caps.MaxVertexBlendMatrices) {
      c->softwareStartGroup = g;
      break;
    }
  }
  return S_OK;
}

HRESULT CSkinMesh9::linkBoneMatrices(SkinMeshContainer* c) {
  if (!c->pSkinInfo) return S_OK;
  const DWORD bones = c->pSkinInfo->GetNumBones();
  // Zeroed, so that bones left unlinked by a failure stay null.
  c->boneMatrixPointers =
      static_cast<D3DXMATRIX**>(std::calloc(bones ? bones : 1, sizeof(D3DXMATRIX*)));
  if (!c->boneMatrixPointers) return E_OUTOFMEMORY;
  for (DWORD b = 0; b < bones; ++b) {
    auto* frame = static_cast<SkinFrame*>(D3DXFrameFind(frameRoot, c->pSkinInfo->GetBoneName(b)));
    if (!frame) return E_FAIL;
    c->boneMatrixPointers[b] = &frame->combinedTransform;
  }
  return S_OK;
}

namespace {

// The frames in the order both walks take them: a frame's own containers,
// then its sibling's whole tree, then its first child's. The walk keeps its
// own stack, so long sibling chains and deep files cost no call depth.
template <typename Visit>
bool walkFrames(D3DXFRAME* root, Visit visit) {
  std::vector<D3DXFRAME*> pending;
  if (root) pending.push_back(root);
  while (!pending.empty()) {
    D3DXFRAME* frame = pending.back();
    pending.pop_back();
    if (!visit(frame)) return false;
    // Pushed child first: the sibling's tree comes off the stack before it.
    if (frame->pFrameFirstChild) pending.push_back(frame->pFrameFirstChild);
    if (frame->pFrameSibling) pending.push_back(frame->pFrameSibling);
  }
  return true;
}

}  // namespace

HRESULT CSkinMesh9::linkAllBoneMatrices(D3DXFRAME* frame) {
  HRESULT result = S_OK;
  walkFrames(frame, [&](D3DXFRAME* f) {
    for (D3DXMESHCONTAINER* c = f->pMeshContainer; c; c = c->pNextMeshContainer) {
      result = linkBoneMatrices(static_cast<SkinMeshContainer*>(c));
      if (FAILED(result)) return false;
    }
    return true;
  });
  return result;
}

void CSkinMesh9::render(IDirect3DDevice9*, double timeStep, const D3DXMATRIX& world) {
  if (animController) animController->AdvanceTime(timeStep, nullptr);
  if (frameRoot) {
    updateCombinedMatrices(frameRoot, &world);
    drawFrameTree(frameRoot);
  }
}

void CSkinMesh9::updateCombinedMatrices(D3DXFRAME* frame, const D3DXMATRIX* parent) {
  for (; frame; frame = frame->pFrameSibling) {
    auto* f = static_cast<SkinFrame*>(frame);
    const D3DXMATRIX local(f->TransformationMatrix);
    if (parent)
      D3DXMatrixMultiply(&f->combinedTransform, &local, parent);
    else
      f->combinedTransform = local;
    if (f->pFrameFirstChild) updateCombinedMatrices(f->pFrameFirstChild, &f->combinedTransform);
  }
}

void CSkinMesh9::drawFrameTree(D3DXFRAME* frame) {
  walkFrames(frame, [&](D3DXFRAME* f) {
    for (D3DXMESHCONTAINER* c = f->pMeshContainer; c; c = c->pNextMeshContainer)
      drawMeshContainer(static_cast<SkinMeshContainer*>(c), static_cast<SkinFrame*>(f));
    return true;
  });
}

void CSkinMesh9::drawMeshContainer(SkinMeshContainer* c, SkinFrame* frame) {
  ID3DXMesh* mesh = c->MeshData.pMesh;
  if (!mesh) return;
  if (!c->pSkinInfo) {
    device->SetTransform(D3DTS_WORLD, &frame->combinedTransform);
    for (DWORD i = 0; i < c->NumMaterials; ++i) {
      if (!overloadMaterial) device->SetMaterial(&c->pMaterials[i].MatD3D);
      if (!overloadTexture) device->SetTexture(0, c->textures[i]);
      mesh->DrawSubset(i);
    }
    return;
  }
  // A container whose bones were not all linked has nothing to place its
  // vertices with: it is not drawn.
  if (!c->boneMatrixPointers) return;
  const DWORD bones = c->pSkinInfo->GetNumBones();
  for (DWORD b = 0; b < bones; ++b)
    if (!c->boneMatrixPointers[b]) return;
  const auto* groups =
      static_cast<const D3DXBONECOMBINATION*>(c->boneCombinationBuffer->GetBufferPointer());
  auto lastSlot = [&](DWORD g) {
    DWORD k = 0;
    for (DWORD s = 0; s < c->numInfluences; ++s)
      if (groups[g].BoneId[s] != kNoBone) k = s;
    return k;
  };
  DWORD lastAttribute = kNoBone;
  auto drawGroup = [&](DWORD g, DWORD k) {
    for (DWORD s = 0; s < c->numInfluences; ++s) {
      const DWORD b = groups[g].BoneId[s];
      if (b == kNoBone || b >= bones) continue;
      D3DXMATRIX m;
      D3DXMatrixMultiply(&m, &c->boneOffsetMatrices[b], c->boneMatrixPointers[b]);
      device->SetTransform(D3DTS_WORLDMATRIX(s), &m);
    }
    device->SetRenderState(D3DRS_VERTEXBLEND, k);
    const DWORD attribute = groups[g].AttribId;
    if (attribute != lastAttribute && attribute < c->NumMaterials) {
      if (!overloadMaterial) device->SetMaterial(&c->pMaterials[attribute].MatD3D);
      if (!overloadTexture) device->SetTexture(0, c->textures[attribute]);
      lastAttribute = attribute;
    }
    mesh->DrawSubset(g);
  };
  for (DWORD g = 0; g < c->numAttributeGroups; ++g) {
    const DWORD k = lastSlot(g);
    if (caps.MaxVertexBlendMatrices >= k + 1) drawGroup(g, k);
  }
  if (c->softwareStartGroup < c->numAttributeGroups) {
    device->SetSoftwareVertexProcessing(TRUE);
    lastAttribute = kNoBone;
    for (DWORD g = c->softwareStartGroup; g < c->numAttributeGroups; ++g) {
      const DWORD k = lastSlot(g);
      if (caps.MaxVertexBlendMatrices < k + 1) drawGroup(g, k);
    }
    device->SetSoftwareVertexProcessing(FALSE);
  }
  device->SetRenderState(D3DRS_VERTEXBLEND, 0);
}

// --- script functions ---------------------------------------------------------

namespace {

// void draw(float): advances the animation by the time step and draws.
void skinnedMesh_draw(float timeStep, SkinnedMeshHandle* self) {
  CSkinMesh9* mesh = self->object;
  if (!mesh) return;
  if (gRenderStateStack) gRenderStateStack->set(D3DRS_NORMALIZENORMALS, 1);
  D3DXMATRIX world;
  D3DXMatrixIdentity(&world);
  if (gDevice) gDevice->GetTransform(D3DTS_WORLD, &world);
  mesh->render(gDevice, double(timeStep), world);
}

void skinnedMesh_setOverloadTexture(int on, SkinnedMeshHandle* self) {
  if (self->object) self->object->overloadTexture = on != 0;
}

void skinnedMesh_setOverloadMaterial(int on, SkinnedMeshHandle* self) {
  if (self->object) self->object->overloadMaterial = on != 0;
}

// skinnedMesh createSkinnedMeshFromFile(string): a mesh of its own on the
// file's bytes, which the store shares between calls.
SkinnedMeshHandle createSkinnedMeshFromFile(std::string name) {
  TQDataHandler_Raw handler;
  TQSmartPointer<void, NullDestruct<void>> bytes;
  loadOrAbort(name, handler, bytes, 0, "skinned mesh");
  auto* mesh = new CSkinMesh9(gDevice);
  if (bytes.object) mesh->load(bytes.object, DWORD(rawCopySize(bytes.object)));
  return makeFactoryHandle<SkinnedMeshHandle>(mesh);
}

}  // namespace

int registerSkinnedMeshType(asIScriptEngine* engine) {
  return registerHandleObjectType<SkinnedMeshHandle>(engine, "skinnedMesh");
}

void registerSkinnedMesh(asIScriptEngine* engine, RegistrationSum& r) {
  const char* t = "skinnedMesh";
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  r += registerHandleBehaviours<SkinnedMeshHandle>(engine, t);
  r += engine->RegisterObjectMethod(t, "void draw(float)", asFUNCTION(skinnedMesh_draw), objLast);
  r += engine->RegisterObjectMethod(t, "void setOverloadTexture(int)",
                                    asFUNCTION(skinnedMesh_setOverloadTexture), objLast);
  r += engine->RegisterObjectMethod(t, "void setOverloadMaterial(int)",
                                    asFUNCTION(skinnedMesh_setOverloadMaterial), objLast);
  r += engine->RegisterGlobalFunction("skinnedMesh createSkinnedMeshFromFile(string)",
                                      asFUNCTION(createSkinnedMeshFromFile), asCALL_CDECL);
}
