// Effects and texture shaders on the headless device: compiling an effect
// file, a frame of 2,000 small quads drawn through one effect pass with a
// new matrix committed before each, the same frame through the fixed
// pipeline for comparison, and filling a 256x256 texture from a texture
// shader. Frames are finished on the GPU.
#include <GL/gl.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/GLInterop.h"
#include "platform/d3dx/D3DXEffect.h"
#include "testsupport/HeadlessDevice.h"

namespace {

constexpr int kQuads = 2000;

const char* kEffect = R"(
float4x4 transform : WORLDVIEWPROJECTION;
float4 colour = {1, 0.5, 0.25, 1};
texture image;
sampler2D source = sampler_state { Texture = <image>; MinFilter = Linear; MagFilter = Linear; };
struct Out { float4 p : POSITION; float2 uv : TEXCOORD0; };
Out vs(float4 p : POSITION, float2 uv : TEXCOORD0) { Out o; o.p = mul(p, transform); o.uv = uv; return o; }
float4 ps(Out i) : COLOR { return tex2D(source, i.uv) * colour; }
technique tec0 { pass { CullMode = None; VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)";

const char* kTextureShader = R"(
float scale = 8;
float4 marble(float2 p : POSITION, float2 size : PSIZE) : COLOR {
  float n = noise(p * scale) + 0.5 * noise(p * scale * 2) + 0.25 * noise(p * scale * 4);
  return float4(0.5 + 0.5 * sin(p.x * 20 + n * 4), 0.4, 0.3, 1);
}
)";

struct Vertex {
  float x, y, z, u, v;
};

// Set before the device's context exists.
struct OneRenderThread {
  OneRenderThread() { setenv("LP_NUM_THREADS", "0", 0); }
};

struct Setup : OneRenderThread, HeadlessDevice {
  IDirect3DTexture9* texture = nullptr;

  Setup()
      : HeadlessDevice(640, 480, D3DCREATE_HARDWARE_VERTEXPROCESSING, false, D3DFMT_D16,
                       D3DPRESENT_INTERVAL_IMMEDIATE) {
    device->CreateTexture(64, 64, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr);
  }
  ~Setup() { texture->Release(); }
  void finish() {
    d3d9_gl::makeCurrent(device);
    glFinish();
  }
};

const Vertex kQuad[] = {
    {-1, 1, 0.5f, 0, 0}, {1, 1, 0.5f, 1, 0}, {-1, -1, 0.5f, 0, 1}, {1, -1, 0.5f, 1, 1}};

D3DXMATRIX quadMatrix(int i) {
  D3DXMATRIX scale, move, both;
  D3DXMatrixScaling(&scale, 0.02f, 0.02f, 1);
  D3DXMatrixTranslation(&move, float(i % 50) / 25 - 0.98f, float(i / 50) / 20 - 0.98f, 0);
  return *D3DXMatrixMultiply(&both, &scale, &move);
}

void compileEffect(benchmark::State& state) {
  Setup s;
  for (auto _ : state) {
    ID3DXEffect* effect = nullptr;
    D3DXCreateEffect(s.device, kEffect, UINT(std::string(kEffect).size()), nullptr, nullptr, 0,
                     nullptr, &effect, nullptr);
    if (!effect)
      state.SkipWithError("the effect does not compile");
    else
      effect->Release();
  }
}

void effectQuads(benchmark::State& state) {
  Setup s;
  ID3DXEffect* effect = nullptr;
  D3DXCreateEffect(s.device, kEffect, UINT(std::string(kEffect).size()), nullptr, nullptr, 0,
                   nullptr, &effect, nullptr);
  if (!effect) {
    state.SkipWithError("the effect does not compile");
    return;
  }
  effect->SetTexture("image", s.texture);
  D3DXHANDLE transform = effect->GetParameterBySemantic(nullptr, "WORLDVIEWPROJECTION");
  s.device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1);
  auto frame = [&] {
    s.device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 1, 0);
    s.device->BeginScene();
    UINT passes = 0;
    effect->Begin(&passes, 0);
    effect->BeginPass(0);
    for (int i = 0; i < kQuads; ++i) {
      D3DXMATRIX m = quadMatrix(i);
      effect->SetMatrix(transform, &m);
      effect->CommitChanges();
      s.device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, kQuad, sizeof(Vertex));
    }
    effect->EndPass();
    effect->End();
    s.device->EndScene();
    s.finish();
  };
  frame();
  for (auto _ : state) frame();
  effect->Release();
}

void fixedFunctionQuads(benchmark::State& state) {
  Setup s;
  s.device->SetTexture(0, s.texture);
  s.device->SetRenderState(D3DRS_LIGHTING, FALSE);
  s.device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  s.device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1);
  auto frame = [&] {
    s.device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 1, 0);
    s.device->BeginScene();
    for (int i = 0; i < kQuads; ++i) {
      D3DXMATRIX m = quadMatrix(i);
      s.device->SetTransform(D3DTS_WORLD, &m);
      s.device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, kQuad, sizeof(Vertex));
    }
    s.device->EndScene();
    s.finish();
  };
  frame();
  for (auto _ : state) frame();
  s.device->SetTexture(0, nullptr);
}

void fillTexture256(benchmark::State& state) {
  Setup s;
  ID3DXBuffer* code = nullptr;
  ID3DXConstantTable* constants = nullptr;
  ID3DXTextureShader* shader = nullptr;
  IDirect3DTexture9* texture = nullptr;
  if (D3DXCompileShader(kTextureShader, UINT(std::string(kTextureShader).size()), nullptr, nullptr,
                        "marble", "tx_1_0", 0, &code, nullptr, &constants) < 0 ||
      D3DXCreateTextureShader(static_cast<const DWORD*>(code->GetBufferPointer()), &shader) < 0) {
    state.SkipWithError("the texture shader does not compile");
    return;
  }
  shader->SetDefaults();
  s.device->CreateTexture(256, 256, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr);
  for (auto _ : state) D3DXFillTextureTX(texture, shader);
  texture->Release();
  shader->Release();
  constants->Release();
  code->Release();
}

}  // namespace

BENCHMARK(compileEffect)->Unit(benchmark::kMillisecond);
BENCHMARK(effectQuads)->Unit(benchmark::kMillisecond);
BENCHMARK(fixedFunctionQuads)->Unit(benchmark::kMillisecond);
BENCHMARK(fillTexture256)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
