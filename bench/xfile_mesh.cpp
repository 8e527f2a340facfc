// Loading X files into meshes on the headless device: a large text file
// nobody here wrote, the same cube in text, binary and compressed form,
// and the teapot.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMesh.h"
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
BENCHMARK_MAIN();
