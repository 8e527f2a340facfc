// Texture work a demo does while it loads and per frame: a procedural fill
// of 256 x 256 texels through a script function, image loads from memory
// (a PNG with its mip chain, a DXT1 DDS file), and a full-screen overlay.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/DeviceGlobal.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXTexture.h"
#include "runtime/ScriptHost.h"
#include "scriptapi/D3DTexture.h"
#include "tests/image_files.h"
#include "testsupport/HeadlessDevice.h"

namespace {

struct Device : HeadlessDevice {
  Device() : HeadlessDevice(640, 480, D3DCREATE_HARDWARE_VERTEXPROCESSING, true) {}
};

const char* kScene =
    "texture t;\n"
    "void plasma(int w, int h, vectorN v) {\n"
    "  for (int y = 0; y < h; y++)\n"
    "    for (int x = 0; x < w; x++)\n"
    "      v.set4(y * w + x, x / 256.0f, y / 256.0f, 0.5f, 1);\n"
    "}\n"
    "void init() { t = createTexture(256, 256); }\n"
    "void begin() { t.fill(@plasma); }\n"
    "void render(float time) { t.renderOverlay(0, 0); }\n";

void BM_FillThroughScript(benchmark::State& state) {
  Device d;
  ScriptHost host;
  std::string error;
  if (!host.compile("scene", kScene, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  host.callEntry("scene", ENTRY_INIT);
  host.callEntry("scene", ENTRY_BEGIN);
  for (auto _ : state) host.callEntry("scene", ENTRY_BEGIN);
  state.counters["texels/s"] =
      benchmark::Counter(double(state.iterations()) * 65536.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FillThroughScript)->Unit(benchmark::kMillisecond);

void BM_FullScreenOverlay(benchmark::State& state) {
  Device d;
  ScriptHost host;
  std::string error;
  if (!host.compile("scene", kScene, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  host.callEntry("scene", ENTRY_INIT);
  auto frame = [&] {
    d.device->BeginScene();
    host.callEntry("scene", ENTRY_RENDER);
    d.device->EndScene();
    d.device->Present(nullptr, nullptr, nullptr, nullptr);
  };
  frame();
  for (auto _ : state) frame();
}
BENCHMARK(BM_FullScreenOverlay)->Unit(benchmark::kMicrosecond);

void load(benchmark::State& state, const std::string& bytes) {
  Device d;
  for (auto _ : state) {
    IDirect3DTexture9* texture = nullptr;
    if (FAILED(D3DXCreateTextureFromFileInMemory(d.device, bytes.data(), UINT(bytes.size()),
                                                 &texture))) {
      state.SkipWithError("load failed");
      return;
    }
    texture->Release();
  }
}

void BM_LoadPNG256(benchmark::State& state) {
  std::vector<uint32_t> pixels(256 * 256);
  for (size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = 0xFF000000u | uint32_t(i * 2654435761u >> 8);
  load(state, image_files::png(256, 256, pixels));
}
BENCHMARK(BM_LoadPNG256)->Unit(benchmark::kMillisecond);

void BM_LoadDXT1DDS256(benchmark::State& state) {
  std::string blocks;
  for (int i = 0; i < 64 * 64; ++i) blocks += image_files::dxt1Block(uint16_t(i));
  load(state, image_files::dds(256, 256, 1, image_files::ddsDXT('1'), blocks));
}
BENCHMARK(BM_LoadDXT1DDS256)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
