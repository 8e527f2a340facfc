// The renderer against a minimal hand-written OpenGL loop drawing the same
// frames on the same headless context: 2,000 small lit, textured triangle
// strips each with its own world matrix (from a vertex buffer, and from
// memory, which GL streams as the device does; the device's strips from
// memory are also set against GL's from a buffer), one lit, textured batch
// of 100,000 triangles, and a show's state
// churn: 40 scenes of 50 small draws, each draw with its own texture,
// material and texture factor, each scene's states set through the undo
// stacks and undone after it. Each iteration is one frame, finished on the
// GPU; one frame is drawn before timing starts. Both sides count the pixels
// they covered, which must agree.
// Runs are repeated and interleaved (device and GL in random order) unless
// the command line says otherwise; after the table, each device median is
// set against its GL counterpart's, in wall time, in the CPU time of the
// whole process (llvmpipe's threads included), which other load on the
// machine disturbs less, and in the CPU time of the thread that makes the
// GL calls (see runFrames).
#include <GL/gl.h>
#include <GL/glext.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/RenderStateStack.h"
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

// The CPU time of the calling thread, in milliseconds.
double threadMilliseconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// Runs the timed frames and reports the CPU time per frame of the thread
// that makes the GL calls. llvmpipe runs vertex shading and binning on
// that thread and only rasterises on its own, so with threads this is the
// part of the frame that does not shrink, and what the two sides of a pair
// differ in. (Never inlined, so that a profiler can be told to look at
// the timed frames alone.)
template <typename Frame>
__attribute__((noinline)) void runFrames(benchmark::State& state, Frame& frame) {
  const double before = threadMilliseconds();
  for (auto _ : state) frame();
  state.counters["main ms"] =
      state.iterations() ? (threadMilliseconds() - before) / double(state.iterations()) : 0.0;
}

constexpr UINT kWidth = 640, kHeight = 480;
constexpr int kStrips = 2000;
constexpr int kBatchTriangles = 100000;
constexpr int kScenes = 40, kDrawsPerScene = 50;  // the churn: kStrips draws in all
static_assert(kScenes * kDrawsPerScene == kStrips);
constexpr int kChurnTextures = 4, kChurnMaterials = 3, kChurnFactors = 5;

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

// Texel (x, y) of churn texture `n` (0 is the texture every other
// workload draws with).
uint32_t texel(int n, int x, int y) {
  const uint32_t light[kChurnTextures] = {0xffffffff, 0xffffc0c0, 0xffc0ffc0, 0xffc0c0ff};
  return ((x ^ y) & (8 >> (n & 1))) ? light[n] : 0xff808080;
}

// The churn's per-draw values: texture, material colour and texture
// factor of draw i.
int churnTexture(int i) { return i % kChurnTextures; }
D3DCOLORVALUE churnMaterial(int i) {
  const D3DCOLORVALUE colours[kChurnMaterials] = {
      {1, 1, 1, 1}, {1, 0.8f, 0.6f, 1}, {0.6f, 0.8f, 1, 1}};
  return colours[i % kChurnMaterials];
}
D3DCOLOR churnFactor(int i) {
  const D3DCOLOR factors[kChurnFactors] = {0xffffffff, 0xffe0e0ff, 0xffffe0e0, 0xffe0ffe0,
                                           0xfff0f0f0};
  return factors[i % kChurnFactors];
}
// Odd scenes blend.
bool churnBlends(int scene) { return scene & 1; }

struct DeviceSetup : HeadlessDevice {
  IDirect3DTexture9* texture = nullptr;
  IDirect3DTexture9* churnTextures[kChurnTextures] = {};

  DeviceSetup()
      : HeadlessDevice(kWidth, kHeight, D3DCREATE_HARDWARE_VERTEXPROCESSING, false, D3DFMT_D16,
                       D3DPRESENT_INTERVAL_IMMEDIATE) {
    for (int n = 0; n < kChurnTextures; ++n) {
      IDirect3DTexture9*& t = churnTextures[n];
      device->CreateTexture(64, 64, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr);
      for (UINT level = 0; level < t->GetLevelCount(); ++level) {
        D3DLOCKED_RECT locked;
        D3DSURFACE_DESC desc;
        t->GetLevelDesc(level, &desc);
        t->LockRect(level, &locked, nullptr, 0);
        for (UINT y = 0; y < desc.Height; ++y)
          for (UINT x = 0; x < desc.Width; ++x)
            reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch)[x] =
                texel(n, int(x), int(y));
        t->UnlockRect(level);
      }
    }
    texture = churnTextures[0];
    texture->AddRef();
  }
  ~DeviceSetup() {
    for (IDirect3DTexture9* t : churnTextures) t->Release();
    texture->Release();
  }

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
    // The player starts every show without culling, as the GL loop draws.
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
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

// Pixels of the device's render target that are not the clear colour.
double coveredPixels(IDirect3DDevice9* d) {
  double covered = 0;
  for (uint32_t p : d3d9_test::readRenderTarget(d).pixels) covered += (p & 0xffffff) != 0x000040;
  return covered;
}

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
  runFrames(state, frame);
  reportAllocations(state, allocationsBefore);
  state.counters["covered"] = coveredPixels(d);
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
  runFrames(state, frame);
  reportAllocations(state, allocationsBefore);
  state.counters["covered"] = coveredPixels(d);
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
  runFrames(state, frame);
  reportAllocations(state, allocationsBefore);
  state.counters["covered"] = coveredPixels(d);
  d->SetStreamSource(0, nullptr, 0, 0);
  vb->Release();
}

// The churn as a show makes it: each scene marks the undo stacks, sets its
// blending and its second texture stage (the texture factor over the lit
// texture) through them, draws, and is undone; each draw sets its texture,
// material, texture factor and world matrix.
void deviceChurn(benchmark::State& state) {
  DeviceSetup s;
  IDirect3DDevice9* d = s.device;
  gDevice = d;
  gRenderStateStack = new RenderStateStack;
  for (int stage = 0; stage < 4; ++stage)
    gTextureStageStateStacks[stage] = new TextureStageStateStack(stage);
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
  captureAllStates();
  std::vector<D3DMATRIX> worlds;
  for (int i = 0; i < kStrips; ++i) worlds.push_back(stripWorld(i));
  D3DMATERIAL9 materials[kChurnMaterials];
  for (int m = 0; m < kChurnMaterials; ++m) {
    materials[m] = {};
    materials[m].Diffuse = materials[m].Ambient = churnMaterial(m);
  }
  RenderStateStack& rs = *gRenderStateStack;
  TextureStageStateStack& stage1 = *gTextureStageStateStacks[1];
  auto frame = [&] {
    d->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000040, 1.0f, 0);
    d->BeginScene();
    for (int scene = 0; scene < kScenes; ++scene) {
      pushAllStates();
      if (churnBlends(scene)) {
        rs.set(D3DRS_ALPHABLENDENABLE, TRUE);
        rs.set(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
        rs.set(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
      }
      stage1.set(D3DTSS_COLOROP, D3DTOP_MODULATE);
      stage1.set(D3DTSS_COLORARG1, D3DTA_CURRENT);
      stage1.set(D3DTSS_COLORARG2, D3DTA_TFACTOR);
      stage1.set(D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
      stage1.set(D3DTSS_ALPHAARG1, D3DTA_CURRENT);
      for (int k = 0; k < kDrawsPerScene; ++k) {
        int i = scene * kDrawsPerScene + k;
        d->SetTexture(0, s.churnTextures[churnTexture(i)]);
        d->SetMaterial(&materials[i % kChurnMaterials]);
        rs.set(D3DRS_TEXTUREFACTOR, churnFactor(i));
        d->SetTransform(D3DTS_WORLD, &worlds[size_t(i)]);
        d->DrawPrimitive(D3DPT_TRIANGLESTRIP, UINT(i * 4), 2);
      }
      popAllStates();
    }
    d->EndScene();
    d->Present(nullptr, nullptr, nullptr, nullptr);
    glFinish();
  };
  frame();  // compiles and first uses stay out of the figures
  const uint64_t allocationsBefore = allocations.load();
  runFrames(state, frame);
  reportAllocations(state, allocationsBefore);
  state.counters["covered"] = coveredPixels(d);
  d->SetStreamSource(0, nullptr, 0, 0);
  vb->Release();
  for (TextureStageStateStack*& stack : gTextureStageStateStacks) {
    delete stack;
    stack = nullptr;
  }
  delete gRenderStateStack;
  gRenderStateStack = nullptr;
  gDevice = nullptr;
}

// ---------------------------------------------------------------------------
// The same frames in plain GL: one program, one vertex array, one uniform
// per strip. The light's colour and the ambient colour are uniforms, as in
// any program that lights with lights of its scene: written as the literal
// grey they happen to be here, the compiler would find the three colour
// channels equal and interpolate one of them where a coloured light (and
// the device, whose colours are state) needs three, which alone made the
// vertex work of a frame an eighth cheaper.

const char* kVertexShader = R"(#version 330 core
layout(location = 0) in vec3 a_position;
layout(location = 1) in vec3 a_normal;
layout(location = 2) in vec2 a_uv;
uniform mat4 u_worldView;
uniform mat4 u_projection;
uniform vec3 u_light;
uniform vec3 u_lightColour;
uniform vec3 u_ambient;
out vec4 v_colour;
out vec2 v_uv;
void main() {
  vec4 eye = u_worldView * vec4(a_position, 1.0);
  gl_Position = u_projection * eye;
  vec3 n = mat3(u_worldView) * a_normal;
  v_colour = vec4(clamp(u_ambient + max(dot(n, -u_light), 0.0) * u_lightColour, 0.0, 1.0), 1.0);
  v_uv = a_uv;
})";

const char* kFragmentShader = R"(#version 330 core
in vec4 v_colour;
in vec2 v_uv;
uniform sampler2D u_texture;
out vec4 o_colour;
void main() { o_colour = texture(u_texture, v_uv) * v_colour; })";

// The churn's program: the same lighting, the material colour and the
// texture factor as uniforms.
const char* kChurnVertexShader = R"(#version 330 core
layout(location = 0) in vec3 a_position;
layout(location = 1) in vec3 a_normal;
layout(location = 2) in vec2 a_uv;
uniform mat4 u_worldView;
uniform mat4 u_projection;
uniform vec3 u_light;
uniform vec4 u_material;
out vec4 v_colour;
out vec2 v_uv;
void main() {
  vec4 eye = u_worldView * vec4(a_position, 1.0);
  gl_Position = u_projection * eye;
  vec3 n = mat3(u_worldView) * a_normal;
  v_colour = vec4(clamp(u_material.rgb * (vec3(0.125) + max(dot(n, -u_light), 0.0)), 0.0, 1.0),
                  u_material.a);
  v_uv = a_uv;
})";

const char* kChurnFragmentShader = R"(#version 330 core
in vec4 v_colour;
in vec2 v_uv;
uniform sampler2D u_texture;
uniform vec4 u_factor;
out vec4 o_colour;
void main() {
  vec4 c = texture(u_texture, v_uv) * v_colour;
  o_colour = vec4(c.rgb * u_factor.rgb, c.a);
})";

struct RawGL {
  GLuint program = 0, vao = 0, buffer = 0, texture = 0, framebuffer = 0, colour = 0, depth = 0;
  GLint worldView = -1, material = -1, factor = -1;
  GLuint churnTextures[kChurnTextures] = {};

  explicit RawGL(const std::vector<Vertex>& vertices, bool churn = false) {
    auto compile = [](GLenum type, const char* text) {
      GLuint s = glCreateShader(type);
      glShaderSource(s, 1, &text, nullptr);
      glCompileShader(s);
      return s;
    };
    program = glCreateProgram();
    GLuint vs = compile(GL_VERTEX_SHADER, churn ? kChurnVertexShader : kVertexShader),
           fs = compile(GL_FRAGMENT_SHADER, churn ? kChurnFragmentShader : kFragmentShader);
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glLinkProgram(program);
    glDeleteShader(vs);
    glDeleteShader(fs);
    glUseProgram(program);
    worldView = glGetUniformLocation(program, "u_worldView");
    material = glGetUniformLocation(program, "u_material");
    factor = glGetUniformLocation(program, "u_factor");
    // Direct3D's pixel centres, as a port to GL would place them: half a
    // pixel (less one sub-pixel step, as the device does) folded into the
    // projection.
    D3DMATRIX p = perspective();
    const float shift = 2.0f * (0.5f - 1.0f / 256.0f);
    for (int i = 0; i < 4; ++i) {
      p.m[i][0] += shift / float(kWidth) * p.m[i][3];
      p.m[i][1] -= shift / float(kHeight) * p.m[i][3];
    }
    glUniformMatrix4fv(glGetUniformLocation(program, "u_projection"), 1, GL_FALSE, &p._11);
    float light[3] = {0.3f, -0.3f, 0.9f};
    float length = std::sqrt(light[0] * light[0] + light[1] * light[1] + light[2] * light[2]);
    glUniform3f(glGetUniformLocation(program, "u_light"), light[0] / length, light[1] / length,
                light[2] / length);
    glUniform1i(glGetUniformLocation(program, "u_texture"), 0);
    glUniform3f(glGetUniformLocation(program, "u_lightColour"), 1, 1, 1);
    glUniform3f(glGetUniformLocation(program, "u_ambient"), 0.125f, 0.125f, 0.125f);

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

    for (int n = 0; n < kChurnTextures; ++n) {
      std::vector<uint32_t> texels(64 * 64);
      for (int i = 0; i < 64 * 64; ++i) texels[size_t(i)] = texel(n, i % 64, i / 64);
      GLuint& t = churnTextures[n];
      glCreateTextures(GL_TEXTURE_2D, 1, &t);
      glTextureStorage2D(t, 7, GL_RGBA8, 64, 64);
      glTextureSubImage2D(t, 0, 0, 0, 64, 64, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, texels.data());
      glGenerateTextureMipmap(t);
      glTextureParameteri(t, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
      glTextureParameteri(t, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    }
    texture = churnTextures[0];
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
    glDeleteTextures(kChurnTextures, churnTextures);
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
  runFrames(state, frame);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, gl.framebuffer);
  state.counters["covered"] = coveredPixels();
}

// The strips' vertices from memory, streamed as a careful hand-written GL
// loop streams them: into one persistently mapped buffer, front to back, a
// fence behind each quarter so that no quarter is written again before the
// GPU has drawn from it; each strip drawn from where its vertices landed.
void plainGLStripsFromMemory(benchmark::State& state) {
  DeviceSetup s;  // for the context only
  std::vector<Vertex> vertices = stripVertices();
  RawGL gl(vertices);
  constexpr size_t kRingSize = 8u << 20, kQuarter = kRingSize / 4;
  static_assert(kQuarter % sizeof(Vertex) == 0);
  const GLbitfield flags = GL_MAP_WRITE_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT;
  GLuint ring = 0;
  glCreateBuffers(1, &ring);
  glNamedBufferStorage(ring, GLsizeiptr(kRingSize), nullptr, flags);
  auto* memory =
      static_cast<uint8_t*>(glMapNamedBufferRange(ring, 0, GLsizeiptr(kRingSize), flags));
  glVertexArrayVertexBuffer(gl.vao, 0, ring, 0, sizeof(Vertex));
  GLsync fences[4] = {};
  size_t position = 0;
  int quarter = 0;
  std::vector<D3DMATRIX> worlds;
  for (int i = 0; i < kStrips; ++i) worlds.push_back(stripWorld(i));
  auto frame = [&] {
    gl.clear();
    for (int i = 0; i < kStrips; ++i) {
      const size_t bytes = 4 * sizeof(Vertex);
      if (position + bytes > size_t(quarter + 1) * kQuarter) {
        fences[quarter] = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
        quarter = (quarter + 1) % 4;
        if (quarter == 0) position = 0;
        if (fences[quarter]) {
          glClientWaitSync(fences[quarter], GL_SYNC_FLUSH_COMMANDS_BIT, GLuint64(10) * 1000000000);
          glDeleteSync(fences[quarter]);
          fences[quarter] = nullptr;
        }
      }
      std::memcpy(memory + position, &vertices[size_t(i) * 4], bytes);
      glUniformMatrix4fv(gl.worldView, 1, GL_FALSE, &worlds[size_t(i)]._11);
      glDrawArrays(GL_TRIANGLE_STRIP, GLint(position / sizeof(Vertex)), 4);
      position += bytes;
    }
    glFinish();
  };
  frame();
  runFrames(state, frame);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, gl.framebuffer);
  state.counters["covered"] = coveredPixels();
  for (GLsync fence : fences)
    if (fence) glDeleteSync(fence);
  glUnmapNamedBuffer(ring);
  glDeleteBuffers(1, &ring);
}

// The churn in GL as one would write it by hand: per scene the blending,
// per draw the texture, the two colours and the matrix.
void plainGLChurn(benchmark::State& state) {
  DeviceSetup s;
  RawGL gl(stripVertices(), true);
  std::vector<D3DMATRIX> worlds;
  for (int i = 0; i < kStrips; ++i) worlds.push_back(stripWorld(i));
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  auto frame = [&] {
    gl.clear();
    for (int scene = 0; scene < kScenes; ++scene) {
      if (churnBlends(scene))
        glEnable(GL_BLEND);
      else
        glDisable(GL_BLEND);
      for (int k = 0; k < kDrawsPerScene; ++k) {
        int i = scene * kDrawsPerScene + k;
        glBindTextureUnit(0, gl.churnTextures[churnTexture(i)]);
        D3DCOLORVALUE m = churnMaterial(i);
        glUniform4f(gl.material, m.r, m.g, m.b, m.a);
        D3DCOLOR f = churnFactor(i);
        glUniform4f(gl.factor, float((f >> 16) & 0xff) / 255.0f, float((f >> 8) & 0xff) / 255.0f,
                    float(f & 0xff) / 255.0f, float(f >> 24) / 255.0f);
        glUniformMatrix4fv(gl.worldView, 1, GL_FALSE, &worlds[size_t(i)]._11);
        glDrawArrays(GL_TRIANGLE_STRIP, i * 4, 4);
      }
    }
    glFinish();
  };
  frame();
  runFrames(state, frame);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, gl.framebuffer);
  state.counters["covered"] = coveredPixels();
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
  runFrames(state, frame);
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
      auto main = run.counters.find("main ms");
      const double mainTime = main != run.counters.end() ? main->second.value : 0.0;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians[name] = run.GetAdjustedRealTime();
        cpuMedians[name] = run.GetAdjustedCPUTime();
        mainMedians[name] = mainTime;
      } else if (run.run_type == Run::RT_Iteration) {
        lastRuns[name] = run.GetAdjustedRealTime();
        cpuLastRuns[name] = run.GetAdjustedCPUTime();
        mainLastRuns[name] = mainTime;
      }
      auto covered = run.counters.find("covered");
      if (run.run_type == Run::RT_Iteration && covered != run.counters.end())
        coverage[name] = covered->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const char* threads = std::getenv("LP_NUM_THREADS");
    std::printf("\nLP_NUM_THREADS=%s\n", threads ? threads : "(unset: llvmpipe's default)");
    const char* pairs[][3] = {
        {"strips, vertex buffer", "deviceStrips", "plainGLStrips"},
        {"strips, from memory", "deviceStripsFromMemory", "plainGLStripsFromMemory"},
        {"  (against GL's buffer)", "deviceStripsFromMemory", "plainGLStrips"},
        {"100,000-triangle batch", "deviceBatch", "plainGLBatch"},
        {"state churn", "deviceChurn", "plainGLChurn"}};
    for (const auto& pair : pairs) {
      double device = time(medians, lastRuns, pair[1]), plain = time(medians, lastRuns, pair[2]);
      if (device <= 0 || plain <= 0) continue;
      double deviceCPU = time(cpuMedians, cpuLastRuns, pair[1]),
             plainCPU = time(cpuMedians, cpuLastRuns, pair[2]);
      double deviceMain = time(mainMedians, mainLastRuns, pair[1]),
             plainMain = time(mainMedians, mainLastRuns, pair[2]);
      double deviceCovered = coverage[pair[1]], plainCovered = coverage[pair[2]];
      std::printf(
          "%-24s device %7.3f ms  plain GL %7.3f ms  ratio %.3f   CPU ratio %.3f   "
          "main thread ratio %.3f   covered %.0f / %.0f%s\n",
          pair[0], device, plain, device / plain, plainCPU > 0 ? deviceCPU / plainCPU : 0.0,
          plainMain > 0 ? deviceMain / plainMain : 0.0, deviceCovered, plainCovered,
          deviceCovered == plainCovered ? "" : "  (DIFFER)");
    }
  }

 private:
  using Times = std::map<std::string, double>;
  static double time(const Times& medians, const Times& lastRuns, const std::string& name) {
    auto found = medians.find(name);
    if (found != medians.end()) return found->second;
    found = lastRuns.find(name);
    return found != lastRuns.end() ? found->second : 0.0;
  }

  Times medians, lastRuns, cpuMedians, cpuLastRuns, mainMedians, mainLastRuns, coverage;
};

}  // namespace

BENCHMARK(deviceStrips)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(plainGLStrips)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(deviceStripsFromMemory)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(plainGLStripsFromMemory)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(deviceBatch)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(plainGLBatch)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(deviceChurn)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(plainGLChurn)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

int main(int argc, char** argv) {
  // Unless told otherwise: repetitions in random order, so that the device
  // and GL runs of a pair meet the machine in the same states.
  std::vector<char*> args(argv, argv + argc);
  auto given = [&](const char* flag) {
    for (int i = 1; i < argc; ++i)
      if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) return true;
    return false;
  };
  char repetitions[] = "--benchmark_repetitions=7";
  char interleaving[] = "--benchmark_enable_random_interleaving=true";
  char minTime[] = "--benchmark_min_time=0.3";
  if (!given("--benchmark_repetitions")) args.push_back(repetitions);
  if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleaving);
  if (!given("--benchmark_min_time")) args.push_back(minTime);
  argc = int(args.size());
  args.push_back(nullptr);
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
