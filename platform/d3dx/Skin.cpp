// Skin information and the blended meshes made from it.
#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/d3dx/Counted.h"
#include "platform/d3dx/D3DXSkin.h"
#include "platform/d3dx/MeshInternal.h"

namespace {

constexpr DWORD kNoBone = 0xFFFFFFFF;

struct Bone {
  std::string name;
  D3DXMATRIX offset;
  std::vector<DWORD> vertices;
  std::vector<float> weights;
};

class SkinInfo final : public d3dx_com::Counted<ID3DXSkinInfo> {
 public:
  SkinInfo(DWORD vertices, DWORD bones) : vertices_(vertices), bones_(bones) {
    for (Bone& b : bones_) D3DXMatrixIdentity(&b.offset);
  }

  DWORD GetNumBones() override { return DWORD(bones_.size()); }
  LPCSTR GetBoneName(DWORD bone) override {
    return bone < bones_.size() ? bones_[bone].name.c_str() : nullptr;
  }
  D3DXMATRIX* GetBoneOffsetMatrix(DWORD bone) override {
    return bone < bones_.size() ? &bones_[bone].offset : nullptr;
  }
  DWORD GetNumBoneInfluences(DWORD bone) override {
    return bone < bones_.size() ? DWORD(bones_[bone].vertices.size()) : 0;
  }
  HRESULT GetBoneInfluence(DWORD bone, DWORD* vertices, float* weights) override {
    if (bone >= bones_.size() || !vertices || !weights) return D3DERR_INVALIDCALL;
    std::copy(bones_[bone].vertices.begin(), bones_[bone].vertices.end(), vertices);
    std::copy(bones_[bone].weights.begin(), bones_[bone].weights.end(), weights);
    return D3D_OK;
  }
  HRESULT GetMaxVertexInfluences(DWORD* maxInfluences) override {
    if (!maxInfluences) return D3DERR_INVALIDCALL;
    std::vector<DWORD> count(vertices_, 0);
    for (const Bone& b : bones_)
      for (std::size_t i = 0; i < b.vertices.size(); ++i)
        if (b.weights[i] != 0) ++count[b.vertices[i]];
    *maxInfluences = count.empty() ? 0 : *std::max_element(count.begin(), count.end());
    return D3D_OK;
  }
  DWORD GetNumVertices() override { return vertices_; }
  HRESULT SetBoneName(DWORD bone, LPCSTR name) override {
    if (bone >= bones_.size() || !name) return D3DERR_INVALIDCALL;
    bones_[bone].name = name;
    return D3D_OK;
  }
  HRESULT SetBoneOffsetMatrix(DWORD bone, const D3DXMATRIX* offset) override {
    if (bone >= bones_.size() || !offset) return D3DERR_INVALIDCALL;
    bones_[bone].offset = *offset;
    return D3D_OK;
  }
  HRESULT SetBoneInfluence(DWORD bone, DWORD count, const DWORD* vertices,
                           const float* weights) override {
    if (bone >= bones_.size() || (count && (!vertices || !weights))) return D3DERR_INVALIDCALL;
    for (DWORD i = 0; i < count; ++i)
      if (vertices[i] >= vertices_) return D3DERR_INVALIDCALL;
    bones_[bone].vertices.assign(vertices, vertices + count);
    bones_[bone].weights.assign(weights, weights + count);
    return D3D_OK;
  }

  HRESULT ConvertToBlendedMesh(ID3DXMesh* mesh, DWORD options, const DWORD* adjacencyIn,
                               DWORD* adjacencyOut, DWORD* faceRemap, ID3DXBuffer** vertexRemap,
                               DWORD* maxFaceInfluences, DWORD* numBoneCombinations,
                               ID3DXBuffer** boneCombinationTable,
                               ID3DXMesh** blendedMesh) override;

 private:
  ~SkinInfo() override = default;

  DWORD vertices_;
  std::vector<Bone> bones_;
};

struct Combination {
  DWORD attribute;
  std::vector<DWORD> bones;  // in slot order
  std::vector<DWORD> faces;  // of the source mesh
};

HRESULT SkinInfo::ConvertToBlendedMesh(ID3DXMesh* mesh, DWORD options, const DWORD* adjacencyIn,
                                       DWORD* adjacencyOut, DWORD* faceRemap,
                                       ID3DXBuffer** vertexRemap, DWORD* maxFaceInfluences,
                                       DWORD* numBoneCombinations,
                                       ID3DXBuffer** boneCombinationTable,
                                       ID3DXMesh** blendedMesh) {
  if (vertexRemap) *vertexRemap = nullptr;
  if (boneCombinationTable) *boneCombinationTable = nullptr;
  if (!blendedMesh) return D3DERR_INVALIDCALL;
  *blendedMesh = nullptr;
  if (!mesh || mesh->GetNumVertices() != vertices_) return D3DERR_INVALIDCALL;
  d3dx_mesh::MeshData source;
  if (!d3dx_mesh::readMesh(mesh, source)) return D3DERR_INVALIDCALL;
  const d3dx_mesh::VertexLayout sourceLayout = d3dx_mesh::layoutOf(source.fvf);
  if (!sourceLayout.valid || sourceLayout.weights != 0) return D3DERR_INVALIDCALL;
  const DWORD faces = mesh->GetNumFaces();
  DWORD* attributeData = nullptr;
  mesh->LockAttributeBuffer(D3DLOCK_READONLY, &attributeData);
  const std::vector<DWORD> attributes(attributeData, attributeData + faces);
  mesh->UnlockAttributeBuffer();

  // Each vertex's bones and normalised weights.
  std::vector<std::map<DWORD, float>> influence(vertices_);
  for (DWORD b = 0; b < bones_.size(); ++b)
    for (std::size_t i = 0; i < bones_[b].vertices.size(); ++i)
      if (bones_[b].weights[i] != 0) influence[bones_[b].vertices[i]][b] += bones_[b].weights[i];
  for (auto& weights : influence) {
    float sum = 0;
    for (auto& [bone, w] : weights) sum += w;
    if (sum > 0)
      for (auto& [bone, w] : weights) w /= sum;
  }

  // The bones of each face, and the most of them on one face. Vertex
  // blending takes at most four matrices: a face touched by more bones
  // keeps the four that weigh most on its corners.
  std::vector<std::vector<DWORD>> faceBones(faces);
  DWORD slots = 1;
  for (DWORD f = 0; f < faces; ++f) {
    std::map<DWORD, float> score;
    for (int c = 0; c < 3; ++c)
      for (const auto& [bone, w] : influence[source.indices[3 * f + c]]) score[bone] += w;
    std::vector<std::pair<float, DWORD>> ranked;
    for (const auto& [bone, w] : score) ranked.push_back({-w, bone});
    std::sort(ranked.begin(), ranked.end());
    if (ranked.size() > 4) ranked.resize(4);
    for (const auto& [w, bone] : ranked) faceBones[f].push_back(bone);
    std::sort(faceBones[f].begin(), faceBones[f].end());
    slots = std::max<DWORD>(slots, DWORD(faceBones[f].size()));
  }

  // Faces of one attribute go into combinations in their order; a face
  // joins the current combination while the union of bones fits the slots.
  std::vector<Combination> combinations;
  std::map<DWORD, std::vector<DWORD>> byAttribute;
  for (DWORD f = 0; f < faces; ++f) byAttribute[attributes[f]].push_back(f);
  for (const auto& [attribute, list] : byAttribute) {
    Combination* current = nullptr;
    for (DWORD f : list) {
      if (current) {
        std::vector<DWORD> merged = current->bones;
        for (DWORD b : faceBones[f])
          if (std::find(merged.begin(), merged.end(), b) == merged.end()) merged.push_back(b);
        if (merged.size() <= slots) {
          current->bones = std::move(merged);
          current->faces.push_back(f);
          continue;
        }
      }
      combinations.push_back({attribute, faceBones[f], {f}});
      current = &combinations.back();
    }
  }

  // Vertices are copied per combination, each with the weights of that
  // combination's slots.
  static const DWORD kPositions[] = {D3DFVF_XYZ, D3DFVF_XYZB1, D3DFVF_XYZB2, D3DFVF_XYZB3};
  const DWORD fvf = (source.fvf & ~DWORD(D3DFVF_POSITION_MASK)) | kPositions[slots - 1];
  const d3dx_mesh::VertexLayout layout = d3dx_mesh::layoutOf(fvf);
  d3dx_mesh::MeshData out;
  out.fvf = fvf;
  out.stride = layout.stride;
  std::vector<DWORD> remap, outAttributes, faceOrder;
  std::vector<D3DXATTRIBUTERANGE> table;
  for (DWORD g = 0; g < combinations.size(); ++g) {
    const Combination& combination = combinations[g];
    std::map<DWORD, DWORD> placed;
    const DWORD vertexStart = DWORD(remap.size());
    const DWORD faceStart = DWORD(out.indices.size() / 3);
    for (DWORD f : combination.faces) {
      for (int c = 0; c < 3; ++c) {
        const DWORD v = source.indices[3 * f + c];
        auto found = placed.find(v);
        if (found == placed.end()) {
          found = placed.emplace(v, DWORD(remap.size())).first;
          remap.push_back(v);
          const std::size_t at = out.vertices.size();
          out.vertices.resize(at + layout.stride);
          unsigned char* d = out.vertices.data() + at;
          d3dx_mesh::convertVertices(source.vertices.data() + std::size_t(v) * source.stride,
                                     source.fvf, d, fvf, 1);
          // The vertex's weights on this combination's bones, scaled to
          // add up to 1 again where bones were left out.
          float kept = 0;
          for (DWORD bone : combination.bones) {
            auto w = influence[v].find(bone);
            if (w != influence[v].end()) kept += w->second;
          }
          for (DWORD s = 0; s + 1 < slots && s < combination.bones.size(); ++s) {
            auto w = influence[v].find(combination.bones[s]);
            const float weight = w == influence[v].end() || kept <= 0 ? 0.0f : w->second / kept;
            std::memcpy(d + 12 + 4 * s, &weight, 4);
          }
        }
        out.indices.push_back(found->second);
      }
      outAttributes.push_back(g);
      faceOrder.push_back(f);
    }
    table.push_back({g, faceStart, DWORD(combination.faces.size()), vertexStart,
                     DWORD(remap.size()) - vertexStart});
  }
  if (out.indices.empty()) return D3DERR_INVALIDCALL;

  IDirect3DDevice9* device = nullptr;
  mesh->GetDevice(&device);
  ID3DXMesh* made = nullptr;
  HRESULT hr = d3dx_mesh::makeMesh(device, options & ~DWORD(0xFF000000), out, outAttributes, &made);
  device->Release();
  if (FAILED(hr)) return hr;
  made->SetAttributeTable(table.data(), DWORD(table.size()));

  if (boneCombinationTable) {
    const std::size_t size = combinations.size() * (sizeof(D3DXBONECOMBINATION) + slots * 4);
    hr = D3DXCreateBuffer(DWORD(size), boneCombinationTable);
    if (FAILED(hr)) {
      made->Release();
      return hr;
    }
    auto* records = static_cast<D3DXBONECOMBINATION*>((*boneCombinationTable)->GetBufferPointer());
    auto* ids = reinterpret_cast<DWORD*>(records + combinations.size());
    for (std::size_t g = 0; g < combinations.size(); ++g) {
      records[g] = {combinations[g].attribute, table[g].FaceStart,   table[g].FaceCount,
                    table[g].VertexStart,      table[g].VertexCount, ids};
      for (DWORD s = 0; s < slots; ++s)
        ids[s] = s < combinations[g].bones.size() ? combinations[g].bones[s] : kNoBone;
      ids += slots;
    }
  }
  if (vertexRemap && SUCCEEDED(D3DXCreateBuffer(DWORD(remap.size() * 4), vertexRemap)))
    std::memcpy((*vertexRemap)->GetBufferPointer(), remap.data(), remap.size() * 4);
  if (faceRemap) std::copy(faceOrder.begin(), faceOrder.end(), faceRemap);
  // Adjacency of the result is found anew from positions; the given one is
  // not needed for that.
  if (adjacencyOut) d3dx_mesh::adjacency(out, 0.0f, adjacencyOut);
  if (maxFaceInfluences) *maxFaceInfluences = slots;
  if (numBoneCombinations) *numBoneCombinations = DWORD(combinations.size());
  *blendedMesh = made;
  return D3D_OK;
}

}  // namespace

HRESULT D3DXCreateSkinInfoFVF(DWORD numVertices, DWORD fvf, DWORD numBones,
                              ID3DXSkinInfo** skinInfo) {
  if (!skinInfo) return D3DERR_INVALIDCALL;
  *skinInfo = nullptr;
  if (numBones > 0xFFFF) return D3DERR_INVALIDCALL;
  *skinInfo = new (std::nothrow) SkinInfo(numVertices, numBones);
  return *skinInfo ? D3D_OK : E_OUTOFMEMORY;
}
