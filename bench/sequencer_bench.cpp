// The sequencer's per-scene costs: one frame (its three passes) with 10, 100,
// 300, 600 and 1,000 active script scenes whose entry functions are empty, per
// scene; and loading a description of 1,000, 4,000 and 16,000 camera scenes,
// per scene. The ratios printed at the end compare the larger timelines with
// the smallest: a cost that does not grow with the timeline gives 1.
//
// Each scene's three calls read some 40 cache lines of its own (2.7 KB:
// mostly its script engine's context, functions, byte code and stack, the
// rest the scene and its scriplet record), so a frame of n scenes touches
// about n x 2.7 KB. The frame cost per scene stays flat while that fits in
// the processor's second-level cache (2 MB here: 300 scenes do, 1,000 do
// not) and grows beyond it, where the passes find each scene's lines evicted
// by the scenes walked since.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "bench/ratio_report.h"
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

// A scratch folder as the working directory, with loose-file store and
// device set up; everything is undone when it goes.
struct Stage {
  Stage() {
    char pattern[] = "/tmp/sequencer-bench-XXXXXX";
    folder = mkdtemp(pattern);
    _getcwd(cwd, sizeof cwd);
    _chdir(folder.c_str());
    gDatabase = &database;
    gDevice = &device;
  }
  ~Stage() {
    gDevice = nullptr;
    gDatabase = nullptr;
    _chdir(cwd);
    std::filesystem::remove_all(folder);
  }
  std::string folder;
  char cwd[4096];
  TQDatabaseFilesystem database;
  QuietDevice device;
};

// n active script scenes on four tracks, each with a placement.
struct ScriptTimeline {
  explicit ScriptTimeline(int n)
      : host(new ScriptHost), sequencer(new DemoSequencer(host.get(), &stage.device)) {
    std::ofstream("empty.as") << "void init() {}\nvoid begin() {}\nvoid preRender(float t) {}\n"
                                 "void render(float t) {}\nvoid postRender(float t) {}\n"
                                 "void end() {}\n";
    std::string description = "1 4\n";
    for (int track = 0; track < 4; ++track) {
      const int count = n / 4 + (track < n % 4 ? 1 : 0);
      description += std::to_string(count) + "\n";
      for (int i = 0; i < count; ++i)
        description += "scene" + std::to_string(track) + "_" + std::to_string(i) +
                       " empty.as 0 -1 2 0\nscript_pos_x 1.5\nscript_rot_y 0.25\n";
    }
    std::ofstream("bench.demo") << description;
    loaded = sequencer->loadDescription("bench.demo");
    sequencer->initScenes();
  }
  ~ScriptTimeline() {
    sequencer.reset();
    host.reset();
  }
  Stage stage;
  std::unique_ptr<ScriptHost> host;
  std::unique_ptr<DemoSequencer> sequencer;
  bool loaded = false;
};

// The compiled timelines live for the whole run: repetitions reuse them.
ScriptTimeline& scriptTimeline(int n) {
  static std::map<int, std::unique_ptr<ScriptTimeline>> made;
  std::unique_ptr<ScriptTimeline>& timeline = made[n];
  if (!timeline) timeline.reset(new ScriptTimeline(n));
  return *timeline;
}

void BM_FramePerScene(benchmark::State& state) {
  const int n = int(state.range(0));
  ScriptTimeline& timeline = scriptTimeline(n);
  if (!timeline.loaded) {
    state.SkipWithError("description did not load");
    return;
  }
  gDatabase = &timeline.stage.database;
  gDevice = &timeline.stage.device;
  float t = 0;
  for (auto _ : state) {
    timeline.host->setTime(t += 0.016f);
    timeline.sequencer->renderFrame();
  }
  state.counters["units"] = n;
}
BENCHMARK(BM_FramePerScene)
    ->Arg(10)
    ->Arg(100)
    ->Arg(300)
    ->Arg(600)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond);

void BM_LoadCameraScenes(benchmark::State& state) {
  const int n = int(state.range(0));
  Stage stage;
  std::string description = "1 1 " + std::to_string(n) + "\n";
  for (int i = 0; i < n; ++i)
    description +=
        "cam" + std::to_string(i) + " path " + std::to_string(i) +
        " -1 0 1\n2 0 0 2.0 0 0 -10 0 0 0 0 1 0 0.1 1000\n 0 20 2.0 0 5 -10 0 0 0 0 1 0 0.1 1000\n";
  std::ofstream("cameras.demo") << description;
  ScriptHost host;
  for (auto _ : state) {
    DemoSequencer sequencer(&host, &stage.device);
    if (!sequencer.loadDescription("cameras.demo")) state.SkipWithError("description did not load");
  }
  state.counters["units"] = n;
}
BENCHMARK(BM_LoadCameraScenes)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench_ratio::run(
      argc, argv,
      {{"frame, per scene: 100 vs 10 scenes", "BM_FramePerScene/100", "BM_FramePerScene/10"},
       {"frame, per scene: 300 vs 10 scenes", "BM_FramePerScene/300", "BM_FramePerScene/10"},
       {"frame, per scene: 600 vs 10 scenes", "BM_FramePerScene/600", "BM_FramePerScene/10"},
       {"frame, per scene: 1,000 vs 10 scenes", "BM_FramePerScene/1000", "BM_FramePerScene/10"},
       {"camera load, per scene: 4k vs 1k", "BM_LoadCameraScenes/4000", "BM_LoadCameraScenes/1000"},
       {"camera load, per scene: 16k vs 1k", "BM_LoadCameraScenes/16000",
        "BM_LoadCameraScenes/1000"}});
}
