// The renderer against a minimal hand-written OpenGL loop drawing the same
// frames on the same headless context: 2,000 small lit, textured triangle
// strips each with its own world matrix, and one lit, textured batch of
// 100,000 triangles. Each iteration is one frame, finished on the GPU; one
// frame is drawn before timing starts.
// After the table, each device figure is set against its GL counterpart.
#include <GL/gl.h>
#include <GL/glext.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "testsupport/HeadlessDevice.h"

// Every C++ allocation in the process is counted, so that the device
// loops can report what they allocate per frame; the aim is none. (What
// Mesa allocates in C is not seen.)
namespace {
std::atomic<uint64_t> allocations{0};
}

__attribute__((noinline)) void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// (The library's operator delete frees with free(), which fits.)

namespace {

// The C++ allocations per frame made since `before`.
void reportAllocations(benchmark::State& state, uint64_t before) {
  double made = double(allocations.load() - before);
  state.counters["news/frame"] = state.iterations() ? made / double(state.iterations()) : 0.0;
}

constexpr UINT kWidth = 640, kHeight = 480;
constexpr int kStrips = 2000;
constexpr int kBatchTriangles = 100000;

struct Vertex {
  float x, y, z, nx, ny, nz, u, v;
};
constexpr DWORD kFVF = D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX1;

D3DMATRIX identity() {
  D3DMATRIX m{};
  m._11 = m._22 = m._33 = m._44 = 1;
  return m;
}

D3DMATRIX translation(float x, float y, float z) {
  D3DMATRIX m = identity();
  m._41 = x;
  m._42 = y;
  m._43 = z;
  return m;
}

// A left-handed perspective projection, 45 degrees, as the engine uses.
D3DMATRIX perspective() {
  D3DMATRIX m{};
  float yScale = 1.0f / std::tan(float(M_PI) / 8), xScale = yScale * kHeight / kWidth;
  float zn = 0.1f, zf = 100.0f;
  m._11 = xScale;
  m._22 = yScale;
  m._33 = zf / (zf - zn);
  m._34 = 1;
  m._43 = -zn * zf / (zf - zn);
  return m;
}

// Strip i: a small quad; the strips tile the view.
std::vector<Vertex> stripVertices() {
  std::vector<Vertex> v;
  for (int i = 0; i < kStrips; ++i) {
    const float s = 0.05f;
    v.push_back({-s, s, 0, 0, 0, -1, 0, 0});
    v.push_back({s, s, 0, 0, 0, -1, 1, 0});
    v.push_back({-s, -s, 0, 0, 0, -1, 0, 1});
    v.push_back({s, -s, 0, 0, 0, -1, 1, 1});
  }
  return v;
}

D3DMATRIX stripWorld(int i) {
  return translation(float(i % 50) * 0.1f - 2.5f, float(i / 50) * 0.1f - 2.0f, 5.0f);
}

// A batch of small triangles over the view.
std::vector<Vertex> batchVertices() {
  std::vector<Vertex> v;
  v.reserve(size_t(kBatchTriangles) * 3);
  for (int i = 0; i < kBatchTriangles; ++i) {
    float x = float(i % 400) * 0.0125f - 2.5f, y = float(i / 400) * 0.016f - 2.0f;
    v.push_back({x, y, 5, 0, 0, -1, 0, 0});
    v.push_back({x + 0.0125f, y, 5, 0, 0, -1, 1, 0});
    v.push_back({x, y - 0.016f, 5, 0, 0, -1, 0, 1});
  }
  return v;
}

struct DeviceSetup : HeadlessDevice {
  IDirect3DTexture9* texture = nullptr;

  DeviceSetup()
      : HeadlessDevice(kWidth, kHeight, D3DCREATE_HARDWARE_VERTEXPROCESSING, false, D3DFMT_D16,
                       D3DPRESENT_INTERVAL_IMMEDIATE) {
    device->CreateTexture(64, 64, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr);
    for (UINT level = 0; level < texture->GetLevelCount(); ++level) {
      D3DLOCKED_RECT locked;
      D3DSURFACE_DESC desc;
      texture->GetLevelDesc(level, &desc);
      texture->LockRect(level, &locked, nullptr, 0);
      for (UINT y = 0; y < desc.Height; ++y)
        for (UINT x = 0; x < desc.Width; ++x)
          reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch)[x] =
              ((x ^ y) & 8) ? 0xffffffff : 0xff808080;
      texture->UnlockRect(level);
    }
  }
  ~DeviceSetup() { texture->Release(); }

  void lightAndTexture() {
    D3DMATERIAL9 m{};
    m.Diffuse = m.Ambient = {1, 1, 1, 1};
    device->SetMaterial(&m);
    D3DLIGHT9 light{};
    light.Type = D3DLIGHT_DIRECTIONAL;
    light.Diffuse = {1, 1, 1, 1};
    light.Direction = {0.3f, -0.3f, 0.9f};
    device->SetLight(0, &light);
    device->LightEnable(0, TRUE);
    device->SetRenderState(D3DRS_AMBIENT, 0xff202020);
    device->SetTexture(0, texture);
    device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_LINEAR);
    D3DMATRIX v = identity(), p = perspective();
    device->SetTransform(D3DTS_VIEW, &v);
    device->SetTransform(D3DTS_PROJECTION, &p);
    device->SetFVF(kFVF);
  }
};

void deviceStrips(benchmark::State& state) {
  DeviceSetup s;
  IDirect3DDevice9* d = s.device;
  std::vector<Vertex> vertices = stripVertices();
  IDirect3DVertexBuffer9* vb = nullptr;
  d->CreateVertexBuffer(UINT(vertices.size() * sizeof(Vertex)), D3DUSAGE_WRITEONLY, kFVF,
                        D3DPOOL_MANAGED, &vb, nullptr);
  void* data;
  vb->Lock(0, 0, &data, 0);
  std::memcpy(data, vertices.data(), vertices.size() * sizeof(Vertex));
  vb->Unlock();
  s.lightAndTexture();
  d->SetStreamSource(0, vb, 0, sizeof(Vertex));
  std::vector<D3DMATRIX> worlds;
  for (int i = 0; i < kStrips; ++i) worlds.push_back(stripWorld(i));
  auto frame = [&] {
    d->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000040, 1.0f, 0);
    d->BeginScene();
    for (int i = 0; i < kStrips; ++i) {
      d->SetTransform(D3DTS_WORLD, &worlds[i]);
      d->DrawPrimitive(D3DPT_TRIANGLESTRIP, UINT(i * 4), 2);
    }
    d->EndScene();
    d->Present(nullptr, nullptr, nullptr, nullptr);
    glFinish();
  };
  frame();  // compiles and first uses stay out of the figures
  const uint64_t allocationsBefore = allocations.load();
  for (auto _ : state) frame();
  reportAllocations(state, allocationsBefore);
  d->SetStreamSource(0, nullptr, 0, 0);
  vb->Release();
}

void deviceStripsFromMemory(benchmark::State& state) {
  DeviceSetup s;
  IDirect3DDevice9* d = s.device;
  std::vector<Vertex> vertices = stripVertices();
  s.lightAndTexture();
  std::vector<D3DMATRIX> worlds;
  for (int i = 0; i < kStrips; ++i) worlds.push_back(stripWorld(i));
  auto frame = [&] {
    d->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000040, 1.0f, 0);
    d->BeginScene();
    for (int i = 0; i < kStrips; ++i) {
      d->SetTransform(D3DTS_WORLD, &worlds[i]);
      d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, &vertices[size_t(i) * 4], sizeof(Vertex));
    }
    d->EndScene();
    d->Present(nullptr, nullptr, nullptr, nullptr);
    glFinish();
  };
  frame();  // compiles and first uses stay out of the figures
  const uint64_t allocationsBefore = allocations.load();
  for (auto _ : state) frame();
  reportAllocations(state, allocationsBefore);
}

void deviceBatch(benchmark::State& state) {
  DeviceSetup s;
  IDirect3DDevice9* d = s.device;
  std::vector<Vertex> vertices = batchVertices();
  IDirect3DVertexBuffer9* vb = nullptr;
  d->CreateVertexBuffer(UINT(vertices.size() * sizeof(Vertex)), D3DUSAGE_WRITEONLY, kFVF,
                        D3DPOOL_MANAGED, &vb, nullptr);
  void* data;
  vb->Lock(0, 0, &data, 0);
  std::memcpy(data, vertices.data(), vertices.size() * sizeof(Vertex));
  vb->Unlock();
  s.lightAndTexture();
  D3DMATRIX w = identity();
  d->SetTransform(D3DTS_WORLD, &w);
  d->SetStreamSource(0, vb, 0, sizeof(Vertex));
  auto frame = [&] {
    d->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000040, 1.0f, 0);
    d->BeginScene();
    d->DrawPrimitive(D3DPT_TRIANGLELIST, 0, kBatchTriangles);
    d->EndScene();
    d->Present(nullptr, nullptr, nullptr, nullptr);
    glFinish();
  };
  frame();  // compiles and first uses stay out of the figures
  const uint64_t allocationsBefore = allocations.load();
  for (auto _ : state) frame();
  reportAllocations(state, allocationsBefore);
  double covered = 0;
  for (uint32_t p : d3d9_test::readRenderTarget(d).pixels) covered += (p & 0xffffff) != 0x000040;
  state.counters["covered"] = covered;
  d->SetStreamSource(0, nullptr, 0, 0);
  vb->Release();
}

// ---------------------------------------------------------------------------
// The same frames in plain GL: one program, one vertex array, one uniform
// per strip.

const char* kVertexShader = R"(#version 330 core
layout(location = 0) in vec3 a_position;
layout(location = 1) in vec3 a_normal;
layout(location = 2) in vec2 a_uv;
uniform mat4 u_worldView;
uniform mat4 u_projection;
uniform vec3 u_light;
out vec4 v_colour;
out vec2 v_uv;
void main() {
  vec4 eye = u_worldView * vec4(a_position, 1.0);
  gl_Position = u_projection * eye;
  vec3 n = mat3(u_worldView) * a_normal;
  v_colour = vec4(clamp(vec3(0.125) + max(dot(n, -u_light), 0.0), 0.0, 1.0), 1.0);
  v_uv = a_uv;
})";

const char* kFragmentShader = R"(#version 330 core
in vec4 v_colour;
in vec2 v_uv;
uniform sampler2D u_texture;
out vec4 o_colour;
void main() { o_colour = texture(u_texture, v_uv) * v_colour; })";

struct RawGL {
  GLuint program = 0, vao = 0, buffer = 0, texture = 0, framebuffer = 0, colour = 0, depth = 0;
  GLint worldView = -1;

  explicit RawGL(const std::vector<Vertex>& vertices) {
    auto compile = [](GLenum type, const char* text) {
      GLuint s = glCreateShader(type);
      glShaderSource(s, 1, &text, nullptr);
      glCompileShader(s);
      return s;
    };
    program = glCreateProgram();
    GLuint vs = compile(GL_VERTEX_SHADER, kVertexShader), fs = compile(GL_FRAGMENT_SHADER, kFragmentShader);
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glLinkProgram(program);
    glDeleteShader(vs);
    glDeleteShader(fs);
    glUseProgram(program);
    worldView = glGetUniformLocation(program, "u_worldView");
    D3DMATRIX p = perspective();
    glUniformMatrix4fv(glGetUniformLocation(program, "u_projection"), 1, GL_FALSE, &p._11);
    float light[3] = {0.3f, -0.3f, 0.9f};
    float length = std::sqrt(light[0] * light[0] + light[1] * light[1] + light[2] * light[2]);
    glUniform3f(glGetUniformLocation(program, "u_light"), light[0] / length, light[1] / length,
                light[2] / length);
    glUniform1i(glGetUniformLocation(program, "u_texture"), 0);

    glCreateBuffers(1, &buffer);
    glNamedBufferData(buffer, GLsizeiptr(vertices.size() * sizeof(Vertex)), vertices.data(),
                      GL_STATIC_DRAW);
    glCreateVertexArrays(1, &vao);
    glVertexArrayVertexBuffer(vao, 0, buffer, 0, sizeof(Vertex));
    const GLint sizes[3] = {3, 3, 2};
    const GLuint offsets[3] = {0, 12, 24};
    for (GLuint i = 0; i < 3; ++i) {
      glEnableVertexArrayAttrib(vao, i);
      glVertexArrayAttribFormat(vao, i, sizes[i], GL_FLOAT, GL_FALSE, offsets[i]);
      glVertexArrayAttribBinding(vao, i, 0);
    }
    glBindVertexArray(vao);

    std::vector<uint32_t> texels(64 * 64);
    for (int i = 0; i < 64 * 64; ++i) texels[size_t(i)] = (((i % 64) ^ (i / 64)) & 8) ? 0xffffffff : 0xff808080;
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    glTextureStorage2D(texture, 7, GL_RGBA8, 64, 64);
    glTextureSubImage2D(texture, 0, 0, 0, 64, 64, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, texels.data());
    glGenerateTextureMipmap(texture);
    glTextureParameteri(texture, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTextureParameteri(texture, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glBindSampler(0, 0);
    glBindTextureUnit(0, texture);

    glCreateTextures(GL_TEXTURE_2D, 1, &colour);
    glTextureStorage2D(colour, 1, GL_RGBA8, kWidth, kHeight);
    glCreateRenderbuffers(1, &depth);
    glNamedRenderbufferStorage(depth, GL_DEPTH_COMPONENT16, kWidth, kHeight);
    glCreateFramebuffers(1, &framebuffer);
    glNamedFramebufferTexture(framebuffer, GL_COLOR_ATTACHMENT0, colour, 0);
    glNamedFramebufferRenderbuffer(framebuffer, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glViewport(0, 0, kWidth, kHeight);
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_CULL_FACE);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glDepthMask(GL_TRUE);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  }
  ~RawGL() {
    glDeleteProgram(program);
    glDeleteVertexArrays(1, &vao);
    glDeleteBuffers(1, &buffer);
    glDeleteTextures(1, &texture);
    glDeleteTextures(1, &colour);
    glDeleteRenderbuffers(1, &depth);
    glDeleteFramebuffers(1, &framebuffer);
  }

  void clear() {
    const float c[4] = {0, 0, 0.25f, 1};
    const float one = 1.0f;
    glClearBufferfv(GL_COLOR, 0, c);
    glClearBufferfv(GL_DEPTH, 0, &one);
  }
};

// Pixels of the bound read framebuffer that are not the clear colour: the
// two sides of a comparison must have drawn the same amount.
double coveredPixels() {
  std::vector<uint32_t> pixels(size_t(kWidth) * kHeight);
  glReadPixels(0, 0, kWidth, kHeight, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, pixels.data());
  double covered = 0;
  for (uint32_t p : pixels) covered += (p & 0xffffff) != 0x000040;
  return covered;
}

void plainGLStrips(benchmark::State& state) {
  DeviceSetup s;  // for the context only
  RawGL gl(stripVertices());
  std::vector<D3DMATRIX> worlds;
  for (int i = 0; i < kStrips; ++i) worlds.push_back(stripWorld(i));
  auto frame = [&] {
    gl.clear();
    for (int i = 0; i < kStrips; ++i) {
    glUniformMatrix4fv(gl.worldView, 1, GL_FALSE, &worlds[size_t(i)]._11);
    glDrawArrays(GL_TRIANGLE_STRIP, i * 4, 4);
    }
    glFinish();
  };
  frame();
  for (auto _ : state) frame();
}

void plainGLBatch(benchmark::State& state) {
  DeviceSetup s;
  RawGL gl(batchVertices());
  D3DMATRIX w = identity();
  glUniformMatrix4fv(gl.worldView, 1, GL_FALSE, &w._11);
  auto frame = [&] {
    gl.clear();
    glDrawArrays(GL_TRIANGLES, 0, kBatchTriangles * 3);
    glFinish();
  };
  frame();
  for (auto _ : state) frame();
  glBindFramebuffer(GL_READ_FRAMEBUFFER, gl.framebuffer);
  state.counters["covered"] = coveredPixels();
}

// The console table, then per workload the device's frame time, plain GL's
// and their ratio (medians when the run has repetitions).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians[name] = run.GetAdjustedRealTime();
      else if (run.run_type == Run::RT_Iteration)
        lastRuns[name] = run.GetAdjustedRealTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const char* threads = std::getenv("LP_NUM_THREADS");
    std::printf("\nLP_NUM_THREADS=%s\n", threads ? threads : "(unset: llvmpipe's default)");
    const char* pairs[][3] = {{"strips, vertex buffer", "deviceStrips", "plainGLStrips"},
                              {"strips, from memory", "deviceStripsFromMemory", "plainGLStrips"},
                              {"100,000-triangle batch", "deviceBatch", "plainGLBatch"}};
    for (const auto& pair : pairs) {
      double device = time(pair[1]), plain = time(pair[2]);
      if (device <= 0 || plain <= 0) continue;
      std::printf("%-24s device %8.3f ms   plain GL %8.3f ms   ratio %.3f\n", pair[0], device,
                  plain, device / plain);
    }
  }

 private:
  double time(const std::string& name) const {
    auto found = medians.find(name);
    if (found != medians.end()) return found->second;
    found = lastRuns.find(name);
    return found != lastRuns.end() ? found->second : 0.0;
  }

  std::map<std::string, double> medians, lastRuns;
};

}  // namespace

BENCHMARK(deviceStrips)->Unit(benchmark::kMillisecond);
BENCHMARK(plainGLStrips)->Unit(benchmark::kMillisecond);
BENCHMARK(deviceStripsFromMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(deviceBatch)->Unit(benchmark::kMillisecond);
BENCHMARK(plainGLBatch)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
