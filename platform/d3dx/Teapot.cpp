// The teapot, from Martin Newell's public-domain bicubic Bezier patches:
// rim, body, lid and bottom are surfaces of revolution (a profile curve
// swept through four quarter circles), handle and spout are two patches
// each, mirrored across their plane of symmetry. The patch data is in
// Newell's frame (z up, 3.15 high); the mesh turns it to y up, centred on
// the origin.
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/d3dx/MeshInternal.h"

namespace {

using Vec = D3DXVECTOR3;

// Points per patch edge minus one.
constexpr int kSteps = 6;
// The quarter circle of a cubic Bezier: the control points of the sweep
// sit at (1, 0), (1, k), (k, 1), (0, 1) times the radius.
constexpr float kCircle = 0.56f;

struct Patch {
  Vec p[4][4];  // [u][v]
  bool revolution;
};

// Profiles (radius, height), top of the surface first.
const float kProfiles[][4][2] = {
    {{1.4f, 2.4f}, {1.3375f, 2.53125f}, {1.4375f, 2.53125f}, {1.5f, 2.4f}},  // rim
    {{1.5f, 2.4f}, {1.75f, 1.875f}, {2.0f, 1.35f}, {2.0f, 0.9f}},            // upper body
    {{2.0f, 0.9f}, {2.0f, 0.45f}, {1.5f, 0.225f}, {1.5f, 0.15f}},            // lower body
    {{0.0f, 3.15f}, {0.8f, 3.15f}, {0.0f, 2.85f}, {0.2f, 2.7f}},             // lid knob
    {{0.2f, 2.7f}, {0.4f, 2.55f}, {1.3f, 2.55f}, {1.3f, 2.4f}},              // lid
    {{1.5f, 0.15f}, {1.5f, 0.075f}, {1.425f, 0.0f}, {0.0f, 0.0f}},           // bottom
};

// Half of the handle and of the spout (the y <= 0 side).
const float kTubes[][4][4][3] = {
    {{{-1.6f, 0, 2.025f}, {-1.6f, -0.3f, 2.025f}, {-1.5f, -0.3f, 2.25f}, {-1.5f, 0, 2.25f}},
     {{-2.3f, 0, 2.025f}, {-2.3f, -0.3f, 2.025f}, {-2.5f, -0.3f, 2.25f}, {-2.5f, 0, 2.25f}},
     {{-2.7f, 0, 2.025f}, {-2.7f, -0.3f, 2.025f}, {-3.0f, -0.3f, 2.25f}, {-3.0f, 0, 2.25f}},
     {{-2.7f, 0, 1.8f}, {-2.7f, -0.3f, 1.8f}, {-3.0f, -0.3f, 1.8f}, {-3.0f, 0, 1.8f}}},
    {{{-2.7f, 0, 1.8f}, {-2.7f, -0.3f, 1.8f}, {-3.0f, -0.3f, 1.8f}, {-3.0f, 0, 1.8f}},
     {{-2.7f, 0, 1.575f}, {-2.7f, -0.3f, 1.575f}, {-3.0f, -0.3f, 1.35f}, {-3.0f, 0, 1.35f}},
     {{-2.5f, 0, 1.125f}, {-2.5f, -0.3f, 1.125f}, {-2.65f, -0.3f, 0.9375f}, {-2.65f, 0, 0.9375f}},
     {{-2.0f, 0, 0.9f}, {-2.0f, -0.3f, 0.9f}, {-1.9f, -0.3f, 0.6f}, {-1.9f, 0, 0.6f}}},
    {{{1.7f, 0, 1.275f}, {1.7f, -0.66f, 1.275f}, {1.7f, -0.66f, 0.45f}, {1.7f, 0, 0.45f}},
     {{2.6f, 0, 1.275f}, {2.6f, -0.66f, 1.275f}, {3.1f, -0.66f, 0.675f}, {3.1f, 0, 0.675f}},
     {{2.3f, 0, 1.95f}, {2.3f, -0.25f, 1.95f}, {2.4f, -0.25f, 1.875f}, {2.4f, 0, 1.875f}},
     {{2.7f, 0, 2.25f}, {2.7f, -0.25f, 2.25f}, {3.3f, -0.25f, 2.25f}, {3.3f, 0, 2.25f}}},
    {{{2.7f, 0, 2.25f}, {2.7f, -0.25f, 2.25f}, {3.3f, -0.25f, 2.25f}, {3.3f, 0, 2.25f}},
     {{2.8f, 0, 2.325f}, {2.8f, -0.25f, 2.325f}, {3.525f, -0.25f, 2.34375f}, {3.525f, 0, 2.34375f}},
     {{2.9f, 0, 2.325f}, {2.9f, -0.15f, 2.325f}, {3.45f, -0.15f, 2.3625f}, {3.45f, 0, 2.3625f}},
     {{2.8f, 0, 2.25f}, {2.8f, -0.15f, 2.25f}, {3.2f, -0.15f, 2.25f}, {3.2f, 0, 2.25f}}},
};

void bernstein(float t, float b[4], float d[4]) {
  const float s = 1 - t;
  b[0] = s * s * s;
  b[1] = 3 * t * s * s;
  b[2] = 3 * t * t * s;
  b[3] = t * t * t;
  d[0] = -3 * s * s;
  d[1] = 3 * s * s - 6 * t * s;
  d[2] = 6 * t * s - 3 * t * t;
  d[3] = 3 * t * t;
}

void evaluate(const Patch& patch, float u, float v, Vec& point, Vec& du, Vec& dv) {
  float bu[4], du_[4], bv[4], dv_[4];
  bernstein(u, bu, du_);
  bernstein(v, bv, dv_);
  point = du = dv = Vec(0, 0, 0);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      point += patch.p[i][j] * (bu[i] * bv[j]);
      du += patch.p[i][j] * (du_[i] * bv[j]);
      dv += patch.p[i][j] * (bu[i] * dv_[j]);
    }
}

// The surface normal (du x dv); at a pole, where one derivative vanishes,
// taken a little way into the patch.
Vec surfaceNormal(const Patch& patch, float u, float v) {
  Vec point, du, dv, n;
  for (int attempt = 0; attempt < 3; ++attempt) {
    evaluate(patch, u, v, point, du, dv);
    D3DXVec3Cross(&n, &du, &dv);
    if (D3DXVec3Length(&n) > 1e-6f) break;
    u = std::fmin(std::fmax(u, 1e-3f), 1 - 1e-3f);
    v = std::fmin(std::fmax(v, 1e-3f), 1 - 1e-3f);
  }
  return *D3DXVec3Normalize(&n, &n);
}

// A direction away from the solid at the middle of the patch: for a
// surface of revolution, the profile's tangent turned a quarter towards
// the outside (the profiles all run the same way round the solid); for a
// tube, away from the middle of its cross-section.
Vec outside(const Patch& patch) {
  Vec point, du, dv;
  evaluate(patch, 0.5f, 0.5f, point, du, dv);
  if (patch.revolution) {
    const float r = std::hypot(point.x, point.y);
    const float dr = (point.x * du.x + point.y * du.y) / r;
    return Vec(-du.z * point.x / r, -du.z * point.y / r, dr);
  }
  Vec a, b, unused1, unused2;
  evaluate(patch, 0.5f, 0.0f, a, unused1, unused2);
  evaluate(patch, 0.5f, 1.0f, b, unused1, unused2);
  return point - (a + b) * 0.5f;
}

std::vector<Patch> patches() {
  std::vector<Patch> out;
  const float signs[4][2] = {{1, -1}, {-1, -1}, {-1, 1}, {1, 1}};
  for (const auto& profile : kProfiles)
    for (const auto& sign : signs) {
      Patch patch;
      patch.revolution = true;
      const float circle[4][2] = {{1, 0}, {1, kCircle}, {kCircle, 1}, {0, 1}};
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
          patch.p[i][j] = Vec(profile[i][0] * circle[j][0] * sign[0],
                              profile[i][0] * circle[j][1] * sign[1], profile[i][1]);
      out.push_back(patch);
    }
  for (const auto& tube : kTubes)
    for (float side : {1.0f, -1.0f}) {
      Patch patch;
      patch.revolution = false;
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
          patch.p[i][j] = Vec(tube[i][j][0], tube[i][j][1] * side, tube[i][j][2]);
      out.push_back(patch);
    }
  return out;
}

}  // namespace

HRESULT D3DXCreateTeapot(IDirect3DDevice9* device, ID3DXMesh** mesh, ID3DXBuffer** adjacency) {
  if (adjacency) *adjacency = nullptr;
  if (!mesh) return D3DERR_INVALIDCALL;
  *mesh = nullptr;
  if (!device) return D3DERR_INVALIDCALL;

  d3dx_mesh::MeshData data;
  data.fvf = D3DFVF_XYZ | D3DFVF_NORMAL;
  data.stride = 24;
  std::vector<Vec> positions, normals;
  const float height = 3.15f;
  // Newell's (x, y, z) with z up becomes (x, z - height / 2, y).
  auto turn = [&](const Vec& v, float lift) { return Vec(v.x, v.z - lift, v.y); };
  for (const Patch& patch : patches()) {
    Vec n;
    const Vec mid = surfaceNormal(patch, 0.5f, 0.5f), away = outside(patch);
    const bool flip = D3DXVec3Dot(&mid, &away) < 0;
    const DWORD first = DWORD(positions.size());
    for (int i = 0; i <= kSteps; ++i)
      for (int j = 0; j <= kSteps; ++j) {
        const float u = float(i) / kSteps, v = float(j) / kSteps;
        Vec point, du, dv;
        evaluate(patch, u, v, point, du, dv);
        n = surfaceNormal(patch, u, v);
        if (flip) n = -n;
        positions.push_back(turn(point, height / 2));
        normals.push_back(turn(n, 0));
      }
    for (int i = 0; i < kSteps; ++i)
      for (int j = 0; j < kSteps; ++j) {
        const DWORD a = first + i * (kSteps + 1) + j, b = a + kSteps + 1, c = a + 1, d = b + 1;
        const DWORD quad[2][3] = {{a, b, d}, {a, d, c}};
        for (const auto& t : quad) {
          DWORD tri[3] = {t[0], t[1], t[2]};
          Vec e1 = positions[tri[1]] - positions[tri[0]],
              e2 = positions[tri[2]] - positions[tri[0]];
          Vec g;
          D3DXVec3Cross(&g, &e1, &e2);
          if (D3DXVec3Length(&g) < 1e-7f) continue;  // collapsed at a pole
          // Front faces run clockwise as seen from outside.
          Vec sum = normals[tri[0]] + normals[tri[1]] + normals[tri[2]];
          if (D3DXVec3Dot(&g, &sum) < 0) std::swap(tri[1], tri[2]);
          data.indices.insert(data.indices.end(), tri, tri + 3);
        }
      }
  }
  data.vertices.resize(positions.size() * 24);
  for (std::size_t v = 0; v < positions.size(); ++v) {
    std::memcpy(data.vertices.data() + v * 24, &positions[v], 12);
    std::memcpy(data.vertices.data() + v * 24 + 12, &normals[v], 12);
  }
  HRESULT hr = d3dx_mesh::makeMesh(device, D3DXMESH_MANAGED, data,
                                   std::vector<DWORD>(data.indices.size() / 3, 0), mesh);
  if (FAILED(hr)) return hr;
  if (adjacency) {
    hr = D3DXCreateBuffer(DWORD(data.indices.size() * sizeof(DWORD)), adjacency);
    if (FAILED(hr)) {
      (*mesh)->Release();
      *mesh = nullptr;
      return hr;
    }
    d3dx_mesh::adjacency(data, 0.0f, static_cast<DWORD*>((*adjacency)->GetBufferPointer()));
  }
  return D3D_OK;
}
