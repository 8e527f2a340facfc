// Per-frame cost of the sequencer's three passes with 100 active script
// scenes whose entry functions are empty.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/DeviceGlobal.h"
#include "core/TQDatabase.h"
#include "platform/d3d9/D3D9.h"
#include "platform/win32/Win32.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"

namespace {

// A device that accepts every call and keeps the world transform.
struct QuietDevice : IDirect3DDevice9 {
  HRESULT BeginScene() override { return D3D_OK; }
  HRESULT EndScene() override { return D3D_OK; }
  HRESULT Clear(DWORD, const D3DRECT*, DWORD, D3DCOLOR, float, DWORD) override { return D3D_OK; }
  HRESULT SetTransform(D3DTRANSFORMSTATETYPE, const D3DMATRIX* matrix) override {
    world = *matrix;
    return D3D_OK;
  }
  HRESULT GetTransform(D3DTRANSFORMSTATETYPE, D3DMATRIX* matrix) override {
    *matrix = world;
    return D3D_OK;
  }
  D3DMATRIX world = {};
};

void BM_RenderFrame100Scenes(benchmark::State& state) {
  char pattern[] = "/tmp/sequencer-bench-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  char cwd[4096];
  _getcwd(cwd, sizeof cwd);
  _chdir(folder.c_str());
  std::ofstream("empty.as") << "void init() {}\nvoid begin() {}\nvoid preRender(float t) {}\n"
                               "void render(float t) {}\nvoid postRender(float t) {}\n"
                               "void end() {}\n";
  std::string description = "1 4\n";
  for (int track = 0; track < 4; ++track) {
    description += "25\n";
    for (int i = 0; i < 25; ++i) {
      description += 's';
      description += std::to_string(track * 25 + i);
      description += " empty.as 0 -1 0 0\n";
    }
  }
  std::ofstream("bench.demo") << description;

  TQDatabaseFilesystem database;
  gDatabase = &database;
  QuietDevice device;
  gDevice = &device;
  {
    ScriptHost host;
    DemoSequencer sequencer(&host, &device);
    if (!sequencer.loadDescription("bench.demo")) state.SkipWithError("description did not load");
    sequencer.initScenes();
    float t = 0;
    for (auto _ : state) {
      host.setTime(t += 0.016f);
      sequencer.renderFrame();
    }
  }
  gDevice = nullptr;
  gDatabase = nullptr;
  _chdir(cwd);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_RenderFrame100Scenes)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
