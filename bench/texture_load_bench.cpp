// Loading a texture from image-file bytes (PNG, 512 x 512 and 1024 x 1024,
// with alpha) through D3DXCreateTextureFromFileInMemory, against the same
// written by hand: the same decoder, one GL texture with a full mip chain,
// the decoded texels uploaded as they come and the chain made by GL. Both
// finish on the GPU (glFinish) before the iteration ends; the hand-written
// load is measured with the chain made by GL and with a plain CPU box filter.
// The ratios printed at the end compare the engine with each, and with the
// decode alone.
#include <GL/gl.h>
#include <GL/glext.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/ratio_report.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/Formats.h"
#include "platform/d3dx/D3DXTexture.h"
#include "platform/image/ImageDecode.h"
#include "tests/image_files.h"
#include "testsupport/HeadlessDevice.h"

namespace {

// A picture with smooth areas and edges, as photographs and drawings have.
const std::string& pngBytes(int side) {
  static std::string bytes[2];
  std::string& made = bytes[side > 512];
  if (made.empty()) {
    std::vector<uint32_t> pixels(size_t(side) * size_t(side));
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        const uint32_t r = uint32_t(x * 255 / side), g = uint32_t(y * 255 / side);
        const uint32_t b = ((x / 32 + y / 32) % 2) ? 200u : uint32_t((x * y) & 0xFF);
        const uint32_t a = 128u + uint32_t((x ^ y) & 0x7F);
        pixels[size_t(y) * size_t(side) + size_t(x)] = a << 24 | r << 16 | g << 8 | b;
      }
    made = image_files::png(side, side, pixels);
  }
  return made;
}

HeadlessDevice& device() {
  static HeadlessDevice d(64, 64);
  return d;
}

void engineLoad(benchmark::State& state) {
  const std::string& bytes = pngBytes(int(state.range(0)));
  IDirect3DDevice9* d = device().device;
  for (auto _ : state) {
    IDirect3DTexture9* texture = nullptr;
    if (FAILED(D3DXCreateTextureFromFileInMemory(d, bytes.data(), UINT(bytes.size()), &texture))) {
      state.SkipWithError("load failed");
      return;
    }
    glFinish();
    texture->Release();
  }
}

void handWritten(benchmark::State& state) {
  const std::string& bytes = pngBytes(int(state.range(0)));
  device();  // its GL context is current
  for (auto _ : state) {
    int width = 0, height = 0, channels = 0;
    DecodedImage texels = decodeImage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      int(bytes.size()), &width, &height, &channels);
    GLuint texture = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    glTextureStorage2D(texture, GLsizei(d3d9::fullMipChain(UINT(width), UINT(height))), GL_RGBA8,
                       width, height);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTextureSubImage2D(texture, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, texels.get());
    glGenerateTextureMipmap(texture);
    glFinish();
    glDeleteTextures(1, &texture);
  }
}

// The same with the chain made on the CPU, 2x2 means level by level, each
// level uploaded as it is made.
void handWrittenCpuMips(benchmark::State& state) {
  const std::string& bytes = pngBytes(int(state.range(0)));
  device();
  for (auto _ : state) {
    int width = 0, height = 0, channels = 0;
    DecodedImage texels = decodeImage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      int(bytes.size()), &width, &height, &channels);
    const GLsizei levels = GLsizei(d3d9::fullMipChain(UINT(width), UINT(height)));
    GLuint texture = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    glTextureStorage2D(texture, levels, GL_RGBA8, width, height);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTextureSubImage2D(texture, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, texels.get());
    std::vector<unsigned char> level(texels.get(),
                                     texels.get() + size_t(width) * size_t(height) * 4),
        next;
    int w = width, h = height;
    for (GLsizei i = 1; i < levels; ++i) {
      const int nw = std::max(1, w / 2), nh = std::max(1, h / 2);
      next.resize(size_t(nw) * size_t(nh) * 4);
      for (int y = 0; y < nh; ++y)
        for (int x = 0; x < nw; ++x) {
          const int x0 = 2 * x, x1 = std::min(2 * x + 1, w - 1), y0 = 2 * y,
                    y1 = std::min(2 * y + 1, h - 1);
          for (int c = 0; c < 4; ++c)
            next[(size_t(y) * nw + x) * 4 + c] =
                (unsigned char)((level[(size_t(y0) * w + x0) * 4 + c] +
                                 level[(size_t(y0) * w + x1) * 4 + c] +
                                 level[(size_t(y1) * w + x0) * 4 + c] +
                                 level[(size_t(y1) * w + x1) * 4 + c] + 2) /
                                4);
        }
      glTextureSubImage2D(texture, i, 0, 0, nw, nh, GL_RGBA, GL_UNSIGNED_BYTE, next.data());
      level.swap(next);
      w = nw;
      h = nh;
    }
    glFinish();
    glDeleteTextures(1, &texture);
  }
}

void decodeOnly(benchmark::State& state) {
  const std::string& bytes = pngBytes(int(state.range(0)));
  for (auto _ : state) {
    int width = 0, height = 0, channels = 0;
    DecodedImage texels = decodeImage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      int(bytes.size()), &width, &height, &channels);
    benchmark::DoNotOptimize(texels.get());
  }
}

BENCHMARK(engineLoad)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(handWritten)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(handWrittenCpuMips)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeOnly)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench_ratio::run(
      argc, argv,
      {{"PNG 512: engine vs hand-written, GL mips", "engineLoad/512", "handWritten/512"},
       {"PNG 1024: engine vs hand-written, GL mips", "engineLoad/1024", "handWritten/1024"},
       {"PNG 512: engine vs hand-written, CPU mips", "engineLoad/512", "handWrittenCpuMips/512"},
       {"PNG 1024: engine vs hand-written, CPU mips", "engineLoad/1024", "handWrittenCpuMips/1024"},
       {"PNG 512: engine vs decode alone", "engineLoad/512", "decodeOnly/512"},
       {"PNG 1024: engine vs decode alone", "engineLoad/1024", "decodeOnly/1024"}});
}
