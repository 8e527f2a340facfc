// The blur a demo runs every frame: the frame copied into a render target,
// 17 blended full-screen quads between two targets, and the result drawn
// back as an overlay, at 640 x 480 and 800 x 600.
#include <benchmark/benchmark.h>

#include <string>

#include "core/DeviceGlobal.h"
#include "core/RenderStateStack.h"
#include "platform/d3d9/D3D9.h"
#include "runtime/ScriptHost.h"
#include "testsupport/HeadlessDevice.h"

namespace {

struct Device : HeadlessDevice {
  Device(UINT width, UINT height)
      : HeadlessDevice(width, height, D3DCREATE_HARDWARE_VERTEXPROCESSING, true) {}
};

void BM_BlurFrame(benchmark::State& state) {
  const int width = int(state.range(0)), height = int(state.range(1));
  Device d{UINT(width), UINT(height)};
  ScriptHost host;
  const std::string size = std::to_string(width) + ", " + std::to_string(height);
  const std::string scene =
      "postProcess blur;\n"
      "texture a;\n"
      "texture b;\n"
      "void init() { blur = createBlur(" +
      size + ", 1.0); a = createRenderTarget(" + size + "); b = createRenderTarget(" + size +
      "); }\n"
      "void render(float time) { blur.executePostProcess(a, b, 1.0f); a.renderOverlay(0, 0); }\n";
  std::string error;
  if (!host.compile("scene", scene, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  host.callEntry("scene", ENTRY_INIT);
  captureAllStates();  // as the sequencer does before the first frame
  auto frame = [&] {
    d.device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF204060, 1.0f, 0);
    d.device->BeginScene();
    host.callEntry("scene", ENTRY_RENDER);
    d.device->EndScene();
    d.device->Present(nullptr, nullptr, nullptr, nullptr);
  };
  frame();
  for (auto _ : state) frame();
  state.counters["frames/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
// The GL driver draws on threads of its own: wall time is what a frame costs.
BENCHMARK(BM_BlurFrame)
    ->Args({640, 480})
    ->Args({800, 600})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
