// Loading X files into meshes on the headless device: a large text file
// nobody here wrote, the same cube in text, binary and compressed form,
// and the teapot; what a hierarchy load of a file costs beside a plain
// load of the same file (both interleaved in one benchmark, the ratio of
// their medians reported); and how loads of files whose frames place their
// meshes by reference grow with the number of meshes (a file four times
// larger, interleaved with the smaller one: a ratio near 4 is linear).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <time.h>

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMesh.h"
#include "platform/d3dx/D3DXSkin.h"
#include "testsupport/HeadlessDevice.h"

namespace {

const char* const kModels = "/usr/share/assimp/models/X/";

std::string readModel(const char* name) {
  std::ifstream in(std::string(kModels) + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Session : HeadlessDevice {
  Session() : HeadlessDevice(64, 64) {}
};

Session& session() {
  static Session* s = new Session;  // kept for the whole run
  return *s;
}

void BM_LoadMesh(benchmark::State& state, const char* file) {
  const std::string bytes = readModel(file);
  if (bytes.empty() || !session().device) {
    state.SkipWithError("model or device missing");
    return;
  }
  DWORD faces = 0;
  for (auto _ : state) {
    ID3DXMesh* mesh = nullptr;
    ID3DXBuffer* materials = nullptr;
    DWORD count = 0;
    if (FAILED(D3DXLoadMeshFromXInMemory(bytes.data(), DWORD(bytes.size()), D3DXMESH_SYSTEMMEM,
                                         session().device, nullptr, &materials, nullptr, &count,
                                         &mesh))) {
      state.SkipWithError("load failed");
      return;
    }
    faces = mesh->GetNumFaces();
    mesh->Release();
    if (materials) materials->Release();
  }
  state.counters["faces"] = faces;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

// Keeps what a hierarchy load hands over, as a skinned-mesh owner would:
// names, the mesh, materials, adjacency and skin.
struct Allocator : ID3DXAllocateHierarchy {
  HRESULT CreateFrame(LPCSTR name, D3DXFRAME** out) override {
    auto* frame = new D3DXFRAME{};
    frame->Name = strdup(name ? name : "");
    *out = frame;
    return S_OK;
  }
  HRESULT CreateMeshContainer(LPCSTR name, const D3DXMESHDATA* data, const D3DXMATERIAL* materials,
                              const D3DXEFFECTINSTANCE*, DWORD numMaterials, const DWORD* adjacency,
                              ID3DXSkinInfo* skin, D3DXMESHCONTAINER** out) override {
    auto* c = new D3DXMESHCONTAINER{};
    c->Name = strdup(name ? name : "");
    c->MeshData = *data;
    data->pMesh->AddRef();
    c->NumMaterials = numMaterials;
    c->pMaterials = new D3DXMATERIAL[numMaterials ? numMaterials : 1];
    std::copy(materials, materials + numMaterials, c->pMaterials);
    const DWORD faces = data->pMesh->GetNumFaces();
    c->pAdjacency = new DWORD[3 * faces];
    std::memcpy(c->pAdjacency, adjacency, 12 * faces);
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
    delete[] c->pMaterials;
    delete[] c->pAdjacency;
    c->MeshData.pMesh->Release();
    if (c->pSkinInfo) c->pSkinInfo->Release();
    delete c;
    return S_OK;
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// One plain load and one hierarchy load of the same file per iteration;
// "ratio" is the median hierarchy load over the median plain load.
void BM_HierarchyOverPlain(benchmark::State& state, const char* file) {
  const std::string bytes = readModel(file);
  IDirect3DDevice9* device = session().device;
  if (bytes.empty() || !device) {
    state.SkipWithError("model or device missing");
    return;
  }
  using Clock = std::chrono::steady_clock;
  std::vector<double> plain, hierarchy;
  Allocator allocator;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    ID3DXMesh* mesh = nullptr;
    ID3DXBuffer* materials = nullptr;
    DWORD count = 0;
    const HRESULT plainResult =
        D3DXLoadMeshFromXInMemory(bytes.data(), DWORD(bytes.size()), D3DXMESH_SYSTEMMEM, device,
                                  nullptr, &materials, nullptr, &count, &mesh);
    if (mesh) mesh->Release();
    if (materials) materials->Release();
    const auto t1 = Clock::now();
    D3DXFRAME* root = nullptr;
    ID3DXAnimationController* controller = nullptr;
    const HRESULT hierarchyResult =
        D3DXLoadMeshHierarchyFromXInMemory(bytes.data(), DWORD(bytes.size()), D3DXMESH_MANAGED,
                                           device, &allocator, nullptr, &root, &controller);
    if (root) D3DXFrameDestroy(root, &allocator);
    if (controller) controller->Release();
    const auto t2 = Clock::now();
    if (FAILED(plainResult) || FAILED(hierarchyResult)) {
      state.SkipWithError("load failed");
      return;
    }
    plain.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    hierarchy.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  state.counters["plain_ms"] = median(plain);
  state.counters["hierarchy_ms"] = median(hierarchy);
  state.counters["ratio"] = median(hierarchy) / median(plain);
}

// `count` frames, each placing by name a mesh defined after all frames,
// every mesh naming one shared material.
std::string placedMeshes(int count) {
  std::string file = "xof 0303txt 0032\nMaterial Shared { 1;0;0;1;; 5; 1;1;1;; 0;0;0;; }\n";
  char line[200];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line,
                  "Frame F%d { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, %d,0,0,1;; } "
                  "{ M%d } }\n",
                  i, i, i);
    file += line;
  }
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line,
                  "Mesh M%d { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; "
                  "MeshMaterialList { 1; 1; 0;; { Shared } } }\n",
                  i);
    file += line;
  }
  return file;
}

// The loading thread's processor time in milliseconds: the machine is
// shared, and wall time would count the waits of a loaded machine too.
double threadMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// One plain load of a file of `state.range(0)` placed meshes and one of a
// file of four times as many per iteration, in the loading thread's
// processor time; "ratio" is the median of the larger over the median of
// the smaller.
void BM_PlacedMeshesScale(benchmark::State& state) {
  IDirect3DDevice9* device = session().device;
  if (!device) {
    state.SkipWithError("device missing");
    return;
  }
  const int count = int(state.range(0));
  const std::string files[2] = {placedMeshes(count), placedMeshes(4 * count)};
  std::vector<double> times[2];
  for (auto _ : state) {
    for (int f = 0; f < 2; ++f) {
      const double t0 = threadMs();
      ID3DXMesh* mesh = nullptr;
      ID3DXBuffer* materials = nullptr;
      DWORD materialCount = 0;
      const HRESULT hr =
          D3DXLoadMeshFromXInMemory(files[f].data(), DWORD(files[f].size()), D3DXMESH_SYSTEMMEM,
                                    device, nullptr, &materials, nullptr, &materialCount, &mesh);
      if (mesh) mesh->Release();
      if (materials) materials->Release();
      if (FAILED(hr)) {
        state.SkipWithError("load failed");
        return;
      }
      times[f].push_back(threadMs() - t0);
    }
  }
  state.counters["small_ms"] = median(times[0]);
  state.counters["large_ms"] = median(times[1]);
  state.counters["ratio"] = median(times[1]) / median(times[0]);
}

void BM_Teapot(benchmark::State& state) {
  for (auto _ : state) {
    ID3DXMesh* mesh = nullptr;
    D3DXCreateTeapot(session().device, &mesh, nullptr);
    if (mesh) mesh->Release();
  }
}

}  // namespace

BENCHMARK_CAPTURE(BM_LoadMesh, large_text, "Testwuson.X")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadMesh, cube_text, "test_cube_text.x")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_LoadMesh, cube_binary, "test_cube_binary.x")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_LoadMesh, cube_compressed, "test_cube_compressed.x")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Teapot)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_HierarchyOverPlain, large_text, "Testwuson.X")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HierarchyOverPlain, skinned_cylinder, "anim_test.x")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HierarchyOverPlain, skinned_figure, "BCN_Epileptic.X")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlacedMeshesScale)->Arg(500)->Unit(benchmark::kMillisecond)->Repetitions(5);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const char* threads = std::getenv("LP_NUM_THREADS");
  std::printf("LP_NUM_THREADS=%s\n", threads ? threads : "(unset: llvmpipe's default)");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
