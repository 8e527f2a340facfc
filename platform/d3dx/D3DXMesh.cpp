#include "platform/d3dx/D3DXMesh.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <vector>

#include "platform/d3d9/VertexFormat.h"
#include "platform/d3dx/Counted.h"
#include "platform/d3dx/MeshInternal.h"

namespace {

D3DPOOL poolOf(DWORD options, DWORD systemBit, DWORD managedBit) {
  if (options & systemBit) return D3DPOOL_SYSTEMMEM;
  if (options & managedBit) return D3DPOOL_MANAGED;
  return D3DPOOL_MANAGED;  // the device keeps every buffer's bytes itself
}

class Mesh final : public d3dx_com::Counted<ID3DXMesh> {
 public:
  Mesh(IDirect3DDevice9* device, DWORD options, const d3dx_mesh::VertexLayout& layout, DWORD fvf,
       DWORD faces, DWORD vertices)
      : device_(device),
        options_(options),
        fvf_(fvf),
        stride_(layout.stride),
        faces_(faces),
        vertices_(vertices),
        extra_(layout.extra),
        attributes_(faces, 0) {
    device_->AddRef();
  }

  HRESULT create() {
    HRESULT hr = device_->CreateVertexBuffer(
        vertices_ * stride_, 0, GetFVF(),
        poolOf(options_, D3DXMESH_VB_SYSTEMMEM, D3DXMESH_VB_MANAGED), &vb_, nullptr);
    if (FAILED(hr)) return hr;
    hr = device_->CreateIndexBuffer(
        faces_ * 3 * indexSize(), 0, wide() ? D3DFMT_INDEX32 : D3DFMT_INDEX16,
        poolOf(options_, D3DXMESH_IB_SYSTEMMEM, D3DXMESH_IB_MANAGED), &ib_, nullptr);
    if (FAILED(hr)) return hr;
    // Fresh buffers start zeroed.
    void* data = nullptr;
    if (SUCCEEDED(vb_->Lock(0, 0, &data, 0))) {
      std::memset(data, 0, vertices_ * stride_);
      vb_->Unlock();
    }
    if (SUCCEEDED(ib_->Lock(0, 0, &data, 0))) {
      std::memset(data, 0, faces_ * 3 * indexSize());
      ib_->Unlock();
    }
    return D3D_OK;
  }

  HRESULT DrawSubset(DWORD attribId) override {
    if (vertexLocks_ > 0 || indexLocks_ > 0) return D3DERR_INVALIDCALL;
    if (extra_.empty()) {
      device_->SetFVF(fvf_);
    } else {
      // Vertices an FVF cannot say are drawn through a declaration, made
      // once per mesh.
      if (!declaration_) {
        const std::vector<D3DVERTEXELEMENT9> elements = d3dx_mesh::declarationOf(fvf_, extra_);
        device_->CreateVertexDeclaration(elements.data(), &declaration_);
      }
      device_->SetVertexDeclaration(declaration_);
    }
    device_->SetStreamSource(0, vb_, 0, stride_);
    device_->SetIndices(ib_);
    if (!table_.empty()) {
      for (const D3DXATTRIBUTERANGE& range : table_)
        if (range.AttribId == attribId && range.FaceCount > 0)
          device_->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, range.VertexStart, range.VertexCount,
                                        range.FaceStart * 3, range.FaceCount);
      return D3D_OK;
    }
    if (runsStale_) buildRuns();
    for (const D3DXATTRIBUTERANGE& range : runs_)
      if (range.AttribId == attribId)
        device_->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, range.VertexStart, range.VertexCount,
                                      range.FaceStart * 3, range.FaceCount);
    return D3D_OK;
  }

  DWORD GetNumFaces() override { return faces_; }
  DWORD GetNumVertices() override { return vertices_; }
  // 0 for a mesh whose vertices hold elements beyond an FVF.
  DWORD GetFVF() override { return extra_.empty() ? fvf_ : 0; }
  HRESULT GetDeclaration(D3DVERTEXELEMENT9 declaration[MAX_FVF_DECL_SIZE]) override {
    if (!declaration) return D3DERR_INVALIDCALL;
    const std::vector<D3DVERTEXELEMENT9> elements = d3dx_mesh::declarationOf(fvf_, extra_);
    if (elements.size() > MAX_FVF_DECL_SIZE) return D3DERR_INVALIDCALL;
    std::copy(elements.begin(), elements.end(), declaration);
    return D3D_OK;
  }
  DWORD GetNumBytesPerVertex() override { return stride_; }
  DWORD GetOptions() override { return options_; }
  HRESULT GetDevice(IDirect3DDevice9** device) override {
    if (!device) return D3DERR_INVALIDCALL;
    device_->AddRef();
    *device = device_;
    return D3D_OK;
  }

  HRESULT CloneMeshFVF(DWORD options, DWORD fvf, IDirect3DDevice9* device,
                       ID3DXMesh** clone) override {
    if (!clone) return D3DERR_INVALIDCALL;
    *clone = nullptr;
    if (!device) return D3DERR_INVALIDCALL;
    ID3DXMesh* made = nullptr;
    HRESULT hr = D3DXCreateMeshFVF(faces_, vertices_, options, fvf, device, &made);
    if (FAILED(hr)) return hr;
    auto* copy = static_cast<Mesh*>(made);
    void* from = nullptr;
    void* to = nullptr;
    if (SUCCEEDED(vb_->Lock(0, 0, &from, D3DLOCK_READONLY))) {
      if (SUCCEEDED(copy->vb_->Lock(0, 0, &to, 0))) {
        d3dx_mesh::convertVertices(
            static_cast<const unsigned char*>(from), d3dx_mesh::layoutOf(fvf_, extra_),
            static_cast<unsigned char*>(to), d3dx_mesh::layoutOf(fvf), vertices_);
        copy->vb_->Unlock();
      }
      vb_->Unlock();
    }
    std::vector<DWORD> indices = readIndices();
    copy->writeIndices(indices);
    copy->attributes_ = attributes_;
    copy->table_ = table_;
    *clone = copy;
    return D3D_OK;
  }

  HRESULT GetVertexBuffer(IDirect3DVertexBuffer9** buffer) override {
    if (!buffer) return D3DERR_INVALIDCALL;
    vb_->AddRef();
    *buffer = vb_;
    return D3D_OK;
  }
  HRESULT GetIndexBuffer(IDirect3DIndexBuffer9** buffer) override {
    if (!buffer) return D3DERR_INVALIDCALL;
    ib_->AddRef();
    *buffer = ib_;
    return D3D_OK;
  }

  HRESULT LockVertexBuffer(DWORD flags, LPVOID* data) override {
    if (!data) return D3DERR_INVALIDCALL;
    HRESULT hr = vb_->Lock(0, 0, data, flags);
    if (SUCCEEDED(hr)) ++vertexLocks_;
    return hr;
  }
  HRESULT UnlockVertexBuffer() override {
    if (vertexLocks_ == 0) return D3DERR_INVALIDCALL;
    --vertexLocks_;
    return vb_->Unlock();
  }
  HRESULT LockIndexBuffer(DWORD flags, LPVOID* data) override {
    if (!data) return D3DERR_INVALIDCALL;
    HRESULT hr = ib_->Lock(0, 0, data, flags);
    if (SUCCEEDED(hr)) {
      ++indexLocks_;
      if (!(flags & D3DLOCK_READONLY)) runsStale_ = true;
    }
    return hr;
  }
  HRESULT UnlockIndexBuffer() override {
    if (indexLocks_ == 0) return D3DERR_INVALIDCALL;
    --indexLocks_;
    return ib_->Unlock();
  }

  HRESULT GetAttributeTable(D3DXATTRIBUTERANGE* table, DWORD* size) override {
    if (!size) return D3DERR_INVALIDCALL;
    if (table) std::copy(table_.begin(), table_.end(), table);
    *size = DWORD(table_.size());
    return D3D_OK;
  }

  HRESULT GenerateAdjacency(float epsilon, DWORD* adjacency) override {
    if (!adjacency) return D3DERR_INVALIDCALL;
    d3dx_mesh::MeshData data;
    if (!readData(data)) return D3DERR_INVALIDCALL;
    d3dx_mesh::adjacency(data, epsilon, adjacency);
    return D3D_OK;
  }

  HRESULT LockAttributeBuffer(DWORD flags, DWORD** data) override {
    if (!data) return D3DERR_INVALIDCALL;
    *data = attributes_.data();
    if (!(flags & D3DLOCK_READONLY)) runsStale_ = true;
    return D3D_OK;
  }
  HRESULT UnlockAttributeBuffer() override { return D3D_OK; }
  HRESULT SetAttributeTable(const D3DXATTRIBUTERANGE* table, DWORD size) override {
    if (!table && size) return D3DERR_INVALIDCALL;
    table_.assign(table, table + size);
    return D3D_OK;
  }

  // Indices widened to 32 bits.
  std::vector<DWORD> readIndices() {
    std::vector<DWORD> indices(std::size_t(faces_) * 3);
    void* data = nullptr;
    if (FAILED(ib_->Lock(0, 0, &data, D3DLOCK_READONLY))) return indices;
    for (std::size_t i = 0; i < indices.size(); ++i)
      indices[i] = wide() ? static_cast<const DWORD*>(data)[i] : static_cast<const WORD*>(data)[i];
    ib_->Unlock();
    return indices;
  }
  void writeIndices(const std::vector<DWORD>& indices) {
    void* data = nullptr;
    if (FAILED(ib_->Lock(0, 0, &data, 0))) return;
    const std::size_t n = std::min(indices.size(), std::size_t(faces_) * 3);
    for (std::size_t i = 0; i < n; ++i) {
      if (wide())
        static_cast<DWORD*>(data)[i] = indices[i];
      else
        static_cast<WORD*>(data)[i] = WORD(indices[i]);
    }
    ib_->Unlock();
    runsStale_ = true;
  }
  bool readData(d3dx_mesh::MeshData& out) {
    out.fvf = fvf_;
    out.stride = stride_;
    out.extra = extra_;
    out.indices = readIndices();
    out.vertices.resize(std::size_t(vertices_) * stride_);
    void* data = nullptr;
    if (FAILED(vb_->Lock(0, 0, &data, D3DLOCK_READONLY))) return false;
    std::memcpy(out.vertices.data(), data, out.vertices.size());
    vb_->Unlock();
    return true;
  }
  std::vector<DWORD>& attributes() { return attributes_; }

 private:
  ~Mesh() override {
    if (declaration_) declaration_->Release();
    if (ib_) ib_->Release();
    if (vb_) vb_->Release();
    device_->Release();
  }

  bool wide() const { return (options_ & D3DXMESH_32BIT) != 0; }
  UINT indexSize() const { return wide() ? 4 : 2; }

  // Runs of consecutive faces with one attribute, with the vertex range each
  // run uses.
  void buildRuns() {
    runs_.clear();
    const std::vector<DWORD> indices = readIndices();
    for (DWORD f = 0; f < faces_; ++f) {
      DWORD lo = std::min({indices[3 * f], indices[3 * f + 1], indices[3 * f + 2]});
      DWORD hi = std::max({indices[3 * f], indices[3 * f + 1], indices[3 * f + 2]});
      if (!runs_.empty() && runs_.back().AttribId == attributes_[f]) {
        D3DXATTRIBUTERANGE& run = runs_.back();
        const DWORD end = std::max(run.VertexStart + run.VertexCount, hi + 1);
        run.VertexStart = std::min(run.VertexStart, lo);
        run.VertexCount = end - run.VertexStart;
        ++run.FaceCount;
      } else {
        runs_.push_back({attributes_[f], f, 1, lo, hi - lo + 1});
      }
    }
    runsStale_ = false;
  }

  IDirect3DDevice9* device_;
  DWORD options_, fvf_, stride_, faces_, vertices_;
  std::vector<D3DVERTEXELEMENT9> extra_;  // after the FVF part of each vertex
  IDirect3DVertexDeclaration9* declaration_ = nullptr;
  IDirect3DVertexBuffer9* vb_ = nullptr;
  IDirect3DIndexBuffer9* ib_ = nullptr;
  std::vector<DWORD> attributes_;
  std::vector<D3DXATTRIBUTERANGE> table_;
  std::vector<D3DXATTRIBUTERANGE> runs_;
  bool runsStale_ = true;
  int vertexLocks_ = 0, indexLocks_ = 0;

 public:
  int vertexLocks() const { return vertexLocks_; }
};

// A new mesh of zeroed vertices and indices in `layout` (the layout of
// `fvf` and perhaps extra elements).
HRESULT createMesh(DWORD faces, DWORD vertices, DWORD options,
                   const d3dx_mesh::VertexLayout& layout, DWORD fvf, IDirect3DDevice9* device,
                   Mesh** out) {
  *out = nullptr;
  if (!device || faces == 0 || vertices == 0 || !layout.valid || layout.stride == 0 ||
      (fvf & D3DFVF_POSITION_MASK) == D3DFVF_XYZRHW)
    return D3DERR_INVALIDCALL;
  if (!(options & D3DXMESH_32BIT) && vertices > D3DX_MAX_16BIT_VERTICES) return D3DERR_INVALIDCALL;
  // Keep the byte sizes of both buffers within 32 bits.
  if (faces > (1u << 30) / 12 || vertices > (1u << 30) / layout.stride) return E_OUTOFMEMORY;
  auto* made = new Mesh(device, options, layout, fvf, faces, vertices);
  const HRESULT hr = made->create();
  if (FAILED(hr)) {
    made->Release();
    return hr;
  }
  *out = made;
  return D3D_OK;
}

}  // namespace

namespace d3dx_mesh {

VertexLayout layoutOf(DWORD fvf, const std::vector<D3DVERTEXELEMENT9>& extra) {
  VertexLayout l = layoutOf(fvf);
  if (!l.valid) return l;
  for (const D3DVERTEXELEMENT9& e : extra) {
    const UINT size = d3d9::declTypeSize(e.Type);
    if (size == 0 || e.Offset != l.stride) {
      l.valid = false;
      return l;
    }
    l.extra.push_back(e);
    l.stride += size;
  }
  return l;
}

std::vector<D3DVERTEXELEMENT9> declarationOf(DWORD fvf,
                                             const std::vector<D3DVERTEXELEMENT9>& extra) {
  std::vector<D3DVERTEXELEMENT9> elements;
  d3d9::elementsOfFVF(fvf, elements);
  elements.insert(elements.end(), extra.begin(), extra.end());
  elements.push_back(D3DDECL_END());
  return elements;
}

VertexLayout layoutOf(DWORD fvf) {
  VertexLayout l;
  UINT offset = 0;
  switch (fvf & D3DFVF_POSITION_MASK) {
    case D3DFVF_XYZ:
      offset = 12;
      break;
    case D3DFVF_XYZRHW:
      offset = 16;
      break;
    case D3DFVF_XYZW:
      offset = 16;
      break;
    case D3DFVF_XYZB1:
      offset = 16;
      l.weights = 1;
      break;
    case D3DFVF_XYZB2:
      offset = 20;
      l.weights = 2;
      break;
    case D3DFVF_XYZB3:
      offset = 24;
      l.weights = 3;
      break;
    case D3DFVF_XYZB4:
      offset = 28;
      l.weights = 4;
      break;
    case D3DFVF_XYZB5:
      offset = 32;
      l.weights = 5;
      break;
    default:
      l.valid = false;
      return l;
  }
  l.position = 0;
  l.positionSize = offset;
  if (fvf & D3DFVF_NORMAL) {
    l.normal = int(offset);
    offset += 12;
  }
  if (fvf & D3DFVF_PSIZE) {
    l.psize = int(offset);
    offset += 4;
  }
  if (fvf & D3DFVF_DIFFUSE) {
    l.diffuse = int(offset);
    offset += 4;
  }
  if (fvf & D3DFVF_SPECULAR) {
    l.specular = int(offset);
    offset += 4;
  }
  const UINT sets = (fvf & D3DFVF_TEXCOUNT_MASK) >> D3DFVF_TEXCOUNT_SHIFT;
  if (sets > 8) {
    l.valid = false;
    return l;
  }
  for (UINT s = 0; s < sets; ++s) {
    static const UINT sizes[4] = {8, 12, 16, 4};
    l.tex[s] = int(offset);
    l.texSize[s] = sizes[(fvf >> (16 + 2 * s)) & 3];
    offset += l.texSize[s];
  }
  l.texSets = sets;
  l.stride = offset;
  return l;
}

void convertVertices(const unsigned char* from, DWORD fromFvf, unsigned char* to, DWORD toFvf,
                     DWORD count) {
  convertVertices(from, layoutOf(fromFvf), to, layoutOf(toFvf), count);
}

void convertVertices(const unsigned char* from, const VertexLayout& a, unsigned char* to,
                     const VertexLayout& b, DWORD count) {
  if (!a.valid || !b.valid) return;
  auto copyPart = [](const unsigned char* src, int srcOffset, UINT srcSize, unsigned char* dst,
                     int dstOffset, UINT dstSize) {
    if (srcOffset < 0 || dstOffset < 0) return;
    std::memcpy(dst + dstOffset, src + srcOffset, std::min(srcSize, dstSize));
  };
  for (DWORD v = 0; v < count; ++v) {
    const unsigned char* s = from + std::size_t(v) * a.stride;
    unsigned char* d = to + std::size_t(v) * b.stride;
    std::memset(d, 0, b.stride);
    // Position first; blend weights follow only between equal counts.
    copyPart(s, 0, 12, d, 0, 12);
    if (a.weights == b.weights) copyPart(s, 12, a.positionSize - 12, d, 12, b.positionSize - 12);
    copyPart(s, a.normal, 12, d, b.normal, 12);
    copyPart(s, a.psize, 4, d, b.psize, 4);
    copyPart(s, a.diffuse, 4, d, b.diffuse, 4);
    copyPart(s, a.specular, 4, d, b.specular, 4);
    for (UINT t = 0; t < 8; ++t)
      if (t < a.texSets && t < b.texSets)
        copyPart(s, a.tex[t], a.texSize[t], d, b.tex[t], b.texSize[t]);
    // Extra elements by meaning, where both formats store them alike.
    for (const D3DVERTEXELEMENT9& e : b.extra)
      for (const D3DVERTEXELEMENT9& f : a.extra)
        if (f.Usage == e.Usage && f.UsageIndex == e.UsageIndex && f.Type == e.Type) {
          std::memcpy(d + e.Offset, s + f.Offset, d3d9::declTypeSize(e.Type));
          break;
        }
  }
}

namespace {
D3DXVECTOR3 positionOf(const MeshData& data, DWORD v) {
  D3DXVECTOR3 p;
  std::memcpy(&p, data.vertices.data() + std::size_t(v) * data.stride, 12);
  return p;
}
}  // namespace

void adjacency(const MeshData& data, float epsilon, DWORD* out) {
  const std::size_t faces = data.indices.size() / 3;
  const DWORD vertices = data.stride ? DWORD(data.vertices.size() / data.stride) : 0;
  // Each vertex is represented by the first vertex at the same position
  // (within epsilon along each axis when epsilon > 0): vertices sorted by
  // position, then by index, and each run of one position takes its first.
  // Positions compare by their bits, with -0 taken as 0 and every NaN as
  // one value, so that the order is total.
  auto bitsOf = [](float f) {
    if (f == 0.0f) f = 0.0f;
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    if (std::isnan(f)) u = 0x7FC00000u;
    return u;
  };
  struct Keyed {
    std::uint32_t x, y, z;
    DWORD vertex;
    bool samePlace(const Keyed& o) const { return x == o.x && y == o.y && z == o.z; }
    bool operator<(const Keyed& o) const {
      return std::tie(x, y, z, vertex) < std::tie(o.x, o.y, o.z, o.vertex);
    }
  };
  std::vector<Keyed> keyed(vertices);
  for (DWORD v = 0; v < vertices; ++v) {
    D3DXVECTOR3 p = positionOf(data, v);
    if (epsilon > 0) {
      p.x = std::round(p.x / epsilon);
      p.y = std::round(p.y / epsilon);
      p.z = std::round(p.z / epsilon);
    }
    keyed[v] = {bitsOf(p.x), bitsOf(p.y), bitsOf(p.z), v};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<DWORD> rep(vertices);
  for (std::size_t i = 0, first = 0; i < keyed.size(); ++i) {
    if (!keyed[i].samePlace(keyed[first])) first = i;
    rep[keyed[i].vertex] = keyed[first].vertex;
  }
  auto repOf = [&](DWORD i) { return i < vertices ? rep[i] : i; };

  // The directed edges leaving each represented vertex, in face order: the
  // face across an edge is the first other face that holds it the other way
  // round, found among the few edges leaving the edge's far end.
  const std::size_t slots = faces * 3;
  std::vector<DWORD> from(slots), to(slots);
  std::vector<std::size_t> start(std::size_t(vertices) + 2, 0);
  auto bucket = [&](DWORD v) { return v < vertices ? std::size_t(v) : std::size_t(vertices); };
  for (std::size_t i = 0; i < slots; ++i) {
    const std::size_t f = i / 3, e = i % 3;
    from[i] = repOf(data.indices[3 * f + e]);
    to[i] = repOf(data.indices[3 * f + (e + 1) % 3]);
    ++start[bucket(from[i]) + 1];
  }
  for (std::size_t v = 1; v < start.size(); ++v) start[v] += start[v - 1];
  std::vector<std::size_t> fill(start.begin(), start.end() - 1), leaving(slots);
  for (std::size_t i = 0; i < slots; ++i) leaving[fill[bucket(from[i])]++] = i;
  for (std::size_t i = 0; i < slots; ++i) {
    out[i] = 0xFFFFFFFF;
    const std::size_t b = bucket(to[i]);
    for (std::size_t k = start[b]; k < start[b + 1]; ++k) {
      const std::size_t other = leaving[k];
      // Indices beyond the vertices share one list: match them exactly.
      if (from[other] == to[i] && to[other] == from[i] && other / 3 != i / 3) {
        out[i] = DWORD(other / 3);
        break;
      }
    }
  }
}

void computeNormals(MeshData& data, const DWORD* adjacencyIn) {
  const VertexLayout layout = layoutOf(data.fvf);
  if (!layout.valid || layout.normal < 0) return;
  const DWORD vertices = DWORD(data.vertices.size() / data.stride);
  // With adjacency, vertices at one position whose faces are adjacent share
  // a group; without it every vertex stands alone.
  std::vector<DWORD> group(vertices);
  for (DWORD v = 0; v < vertices; ++v) group[v] = v;
  const std::size_t faces = data.indices.size() / 3;
  if (adjacencyIn) {
    auto find = [&](DWORD v) {
      while (group[v] != v) v = group[v] = group[group[v]];
      return v;
    };
    for (std::size_t f = 0; f < faces; ++f)
      for (int e = 0; e < 3; ++e) {
        const DWORD g = adjacencyIn[3 * f + e];
        if (g >= faces) continue;
        for (int c = 0; c < 2; ++c) {
          const DWORD v = data.indices[3 * f + (e + c) % 3];
          if (v >= vertices) continue;
          const D3DXVECTOR3 p = positionOf(data, v);
          for (int k = 0; k < 3; ++k) {
            const DWORD w = data.indices[3 * g + k];
            if (w < vertices && positionOf(data, w) == p) group[find(v)] = find(w);
          }
        }
      }
    for (DWORD v = 0; v < vertices; ++v) group[v] = find(v);
  }
  std::vector<D3DXVECTOR3> sums(vertices, D3DXVECTOR3(0, 0, 0));
  for (std::size_t f = 0; f < faces; ++f) {
    DWORD idx[3] = {data.indices[3 * f], data.indices[3 * f + 1], data.indices[3 * f + 2]};
    if (idx[0] >= vertices || idx[1] >= vertices || idx[2] >= vertices) continue;
    D3DXVECTOR3 p[3] = {positionOf(data, idx[0]), positionOf(data, idx[1]),
                        positionOf(data, idx[2])};
    D3DXVECTOR3 e1 = p[1] - p[0], e2 = p[2] - p[0], n;
    D3DXVec3Cross(&n, &e1, &e2);
    D3DXVec3Normalize(&n, &n);
    for (int c = 0; c < 3; ++c) {
      D3DXVECTOR3 u = p[(c + 1) % 3] - p[c], w = p[(c + 2) % 3] - p[c];
      D3DXVec3Normalize(&u, &u);
      D3DXVec3Normalize(&w, &w);
      const float cosine = std::fmax(-1.0f, std::fmin(1.0f, D3DXVec3Dot(&u, &w)));
      sums[group[idx[c]]] += n * std::acos(cosine);
    }
  }
  for (DWORD v = 0; v < vertices; ++v) {
    D3DXVECTOR3 n = sums[group[v]];
    D3DXVec3Normalize(&n, &n);
    std::memcpy(data.vertices.data() + std::size_t(v) * data.stride + layout.normal, &n, 12);
  }
}

HRESULT makeMesh(IDirect3DDevice9* device, DWORD options, const MeshData& data,
                 const std::vector<DWORD>& attributes, ID3DXMesh** out) {
  *out = nullptr;
  const DWORD vertices = data.stride ? DWORD(data.vertices.size() / data.stride) : 0;
  const DWORD faces = DWORD(data.indices.size() / 3);
  if (vertices > D3DX_MAX_16BIT_VERTICES) options |= D3DXMESH_32BIT;
  Mesh* mesh = nullptr;
  HRESULT hr =
      createMesh(faces, vertices, options, layoutOf(data.fvf, data.extra), data.fvf, device, &mesh);
  if (FAILED(hr)) return hr;
  void* to = nullptr;
  if (SUCCEEDED(mesh->LockVertexBuffer(0, &to))) {
    std::memcpy(to, data.vertices.data(), data.vertices.size());
    mesh->UnlockVertexBuffer();
  }
  mesh->writeIndices(data.indices);
  if (attributes.size() == faces) mesh->attributes() = attributes;
  *out = mesh;
  return D3D_OK;
}

bool readMesh(ID3DXBaseMesh* mesh, MeshData& out) {
  auto* own = dynamic_cast<Mesh*>(mesh);
  return own && own->readData(out);
}

int openVertexLocks(ID3DXBaseMesh* mesh) {
  auto* own = dynamic_cast<Mesh*>(mesh);
  return own ? own->vertexLocks() : 0;
}

bool writeVertices(ID3DXBaseMesh* mesh, const MeshData& data) {
  void* to = nullptr;
  if (FAILED(mesh->LockVertexBuffer(0, &to))) return false;
  std::memcpy(to, data.vertices.data(),
              std::min<std::size_t>(data.vertices.size(), std::size_t(mesh->GetNumVertices()) *
                                                              mesh->GetNumBytesPerVertex()));
  mesh->UnlockVertexBuffer();
  return true;
}

}  // namespace d3dx_mesh

UINT D3DXGetFVFVertexSize(DWORD fvf) {
  const d3dx_mesh::VertexLayout layout = d3dx_mesh::layoutOf(fvf);
  return layout.valid ? layout.stride : 0;
}

HRESULT D3DXCreateMeshFVF(DWORD numFaces, DWORD numVertices, DWORD options, DWORD fvf,
                          IDirect3DDevice9* device, ID3DXMesh** mesh) {
  if (!mesh) return D3DERR_INVALIDCALL;
  *mesh = nullptr;
  Mesh* made = nullptr;
  const HRESULT hr =
      createMesh(numFaces, numVertices, options, d3dx_mesh::layoutOf(fvf), fvf, device, &made);
  if (SUCCEEDED(hr)) *mesh = made;
  return hr;
}

HRESULT D3DXComputeNormals(ID3DXBaseMesh* mesh, const DWORD* adjacency) {
  if (!mesh) return D3DERR_INVALIDCALL;
  d3dx_mesh::MeshData data;
  if (!d3dx_mesh::readMesh(mesh, data) || !(data.fvf & D3DFVF_NORMAL)) return D3DERR_INVALIDCALL;
  d3dx_mesh::computeNormals(data, adjacency);
  return d3dx_mesh::writeVertices(mesh, data) ? D3D_OK : D3DERR_INVALIDCALL;
}
