// Feeds arbitrary bytes to the whole effect path on the headless device: the
// effect is compiled (reader, HLSL compiler, translation to GLSL, program
// link), then every technique is drawn with: parameters set by name and by
// semantic, each pass begun (and one past the last), changes committed, a
// triangle drawn. The same bytes also go through the texture-shader path
// ("tx_1_0" for a function named "f") to fill a small texture. What does
// not compile must be refused; nothing may touch memory it does not own.
//
// Compiles are slow (milliseconds), so runs are few per second.
//
// Run:
//   cmake -S . -B build-fuzz -DENGINE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_C_COMPILER=clang -DENGINE_BENCH=OFF
//   cmake --build build-fuzz --target fuzz_effect_file
//   (seed with effect files, e.g. the effect texts of the unit tests)
//   LP_NUM_THREADS=0 ASAN_OPTIONS=detect_leaks=0 build-fuzz/fuzz_effect_file \
//       -max_len=2048 -timeout=20 build-fuzz/ecorpus
#include <stdlib.h>

#include <cstddef>
#include <cstdint>

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXEffect.h"
#include "platform/d3dx/D3DXMath.h"
#include "platform/d3dx/D3DXTexture.h"
#include "platform/d3dx/HLSLCompiler.h"
#include "testsupport/HeadlessDevice.h"
#include "testsupport/HeadlessEnvironment.h"

namespace {

struct Session : HeadlessDevice {
  IDirect3DTexture9* texture = nullptr;
  Session() : HeadlessDevice(16, 16) {
    if (device) D3DXCreateTexture(device, 4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture);
  }
};

struct Vertex {
  float x, y, z;
  float u, v;
};

const char* const kNames[] = {"image", "tint", "world", "worldViewProj", "time", "source", "t"};
const char* const kSemantics[] = {"WORLD", "VIEW", "PROJECTION", "WORLDVIEWPROJECTION", "TIME"};

void drawEffect(IDirect3DDevice9* device, ID3DXEffect* effect, IDirect3DBaseTexture9* texture) {
  D3DXMATRIX m;
  D3DXMatrixIdentity(&m);
  const D3DXVECTOR4 v(0.5f, 0.25f, 1.0f, 1.0f);
  float values[20] = {};
  for (const char* name : kNames) {
    D3DXHANDLE p = effect->GetParameterByName(nullptr, name);
    effect->SetMatrix(p, &m);
    effect->SetVector(p, &v);
    effect->SetFloat(p, 2.0f);
    effect->SetFloatArray(p, values, 20);
    effect->SetTexture(p, texture);
  }
  for (const char* semantic : kSemantics)
    effect->SetMatrix(effect->GetParameterBySemantic(nullptr, semantic), &m);
  const Vertex triangle[3] = {{-1, -1, 0.5f, 0, 0}, {1, -1, 0.5f, 1, 0}, {0, 1, 0.5f, 0.5f, 1}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1);
  device->BeginScene();
  for (UINT t = 0; t < 4; ++t) {
    D3DXHANDLE technique = effect->GetTechnique(t);
    if (!technique && t > 0) break;
    effect->SetTechnique(technique);
    UINT passes = 0;
    if (FAILED(effect->Begin(&passes, 0))) continue;
    for (UINT pass = 0; pass <= passes && pass < 8; ++pass) {
      if (FAILED(effect->BeginPass(pass))) continue;
      effect->SetVector(effect->GetParameterByName(nullptr, "tint"), &v);
      effect->CommitChanges();
      device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, triangle, sizeof(Vertex));
      effect->EndPass();
    }
    effect->End();
  }
  device->EndScene();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The compile worker's origin is split off before the device starts any
  // thread, as the player does it.
  d3dx_hlsl::startCompiler();
  useHeadlessEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session& session = *new Session;  // kept for the whole run
  if (!session.device) return 0;

  ID3DXEffect* effect = nullptr;
  ID3DXBuffer* errors = nullptr;
  if (SUCCEEDED(D3DXCreateEffect(session.device, data, UINT(size), nullptr, nullptr, 0, nullptr,
                                 &effect, &errors))) {
    drawEffect(session.device, effect, session.texture);
    effect->Release();
  }
  if (errors) errors->Release();

  ID3DXBuffer* code = nullptr;
  ID3DXTextureShader* shader = nullptr;
  if (SUCCEEDED(D3DXCompileShader(reinterpret_cast<const char*>(data), UINT(size), nullptr, nullptr,
                                  "f", "tx_1_0", 0, &code, nullptr, nullptr))) {
    if (SUCCEEDED(D3DXCreateTextureShader(static_cast<const DWORD*>(code->GetBufferPointer()),
                                          &shader))) {
      shader->SetDefaults();
      if (session.texture) D3DXFillTextureTX(session.texture, shader);
      shader->Release();
    }
    code->Release();
  }
  return 0;
}
