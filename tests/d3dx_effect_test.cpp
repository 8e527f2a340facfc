// Effects and texture shaders drawn on the headless device.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/d3dx/D3DXEffect.h"
#include "tests/d3d9_fixture.h"

namespace {

using d3d9_testing::colourNear;

}  // namespace

// Under AddressSanitizer the heap's live bytes come from its allocator
// (freed blocks wait in its quarantine and would count as used otherwise).
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

// Bytes the process holds on its heap now, the GL driver's included.
size_t liveHeapBytes() {
  if (__sanitizer_get_current_allocated_bytes) return __sanitizer_get_current_allocated_bytes();
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

struct Vertex {
  float x, y, z, u, v;
};

// Draws a quad over clip space -1..1 with texture coordinates 0..1 (v down).
void drawQuad(IDirect3DDevice9* device) {
  const Vertex quad[] = {
      {-1, 1, 0.5f, 0, 0}, {1, 1, 0.5f, 1, 0}, {-1, -1, 0.5f, 0, 1}, {1, -1, 0.5f, 1, 1}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(Vertex));
}

std::string errorText(ID3DXBuffer* errors) {
  std::string text = errors ? static_cast<const char*>(errors->GetBufferPointer()) : "";
  if (errors) errors->Release();
  return text;
}

const char* kColourEffect = R"(
float4x4 transform : WORLDVIEWPROJECTION;
float4 colour : DIFFUSE = {0.0, 1.0, 0.0, 1.0};
float4 vs(float4 p : POSITION) : POSITION { return mul(p, transform); }
float4 ps() : COLOR { return colour; }
technique tec0 <string note = "annotations are skipped";> {
  pass p0 { CullMode = None; VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); }
}
)";

class EffectTest : public d3d9_testing::DeviceFixture {
 protected:
  ID3DXEffect* create(const char* text) {
    ID3DXEffect* effect = nullptr;
    ID3DXBuffer* errors = nullptr;
    HRESULT r = D3DXCreateEffect(device, text, UINT(std::string(text).size()), nullptr, nullptr, 0,
                                 nullptr, &effect, &errors);
    const std::string messages = errorText(errors);  // warnings come with success too
    EXPECT_EQ(r, D3D_OK) << messages;
    return effect;
  }
  // A 2x1 texture: red on the left, blue on the right.
  IDirect3DTexture9* redThenBlue() {
    IDirect3DTexture9* texture = nullptr;
    if (device->CreateTexture(2, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr) !=
        D3D_OK)
      return nullptr;
    D3DLOCKED_RECT locked{};
    texture->LockRect(0, &locked, nullptr, 0);
    static_cast<uint32_t*>(locked.pBits)[0] = 0xffff0000;
    static_cast<uint32_t*>(locked.pBits)[1] = 0xff0000ff;
    texture->UnlockRect(0);
    return texture;
  }
  // Clears, runs every pass of the current technique over the quad.
  void drawWith(ID3DXEffect* effect, DWORD flags = 0) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    device->BeginScene();
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, flags), D3D_OK);
    for (UINT i = 0; i < passes; ++i) {
      ASSERT_EQ(effect->BeginPass(i), D3D_OK);
      drawQuad(device);
      effect->EndPass();
    }
    effect->End();
    device->EndScene();
  }
};

TEST_F(EffectTest, ParameterColourAndMatrixReachTheShaders) {
  ID3DXEffect* effect = create(kColourEffect);
  ASSERT_NE(effect, nullptr);
  // The default of the file until set.
  D3DXHANDLE transform = effect->GetParameterBySemantic(nullptr, "WorldViewProjection");
  ASSERT_NE(transform, nullptr);
  EXPECT_EQ(effect->GetParameterByName(nullptr, "transform"), transform);
  EXPECT_EQ(effect->GetParameterByName(nullptr, "missing"), nullptr);
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  effect->SetMatrix(transform, &identity);
  ASSERT_EQ(effect->SetTechnique(effect->GetTechniqueByName("tec0")), D3D_OK);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(10, 10), 0xff00ff00, 1));

  // Scaled to half the width and moved right: the matrix is read row by
  // row as the HLSL mul(row, matrix) expects.
  D3DXMATRIX scale, move, both;
  D3DXMatrixScaling(&scale, 0.5f, 1, 1);
  D3DXMatrixTranslation(&move, 0.5f, 0, 0);
  D3DXMatrixMultiply(&both, &scale, &move);
  effect->SetMatrix(transform, &both);
  // By name works where a handle is expected.
  D3DXVECTOR4 red(1, 0, 0, 1);
  effect->SetVector("colour", &red);
  drawWith(effect);
  d3d9_test::Frame f = frame();
  EXPECT_TRUE(colourNear(f.at(10, 24), 0xff000000, 1));
  EXPECT_TRUE(colourNear(f.at(54, 24), 0xffff0000, 1));

  // A change inside a pass shows after CommitChanges.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  device->BeginScene();
  UINT passes = 0;
  effect->Begin(&passes, 0);
  effect->BeginPass(0);
  D3DXVECTOR4 blue(0, 0, 1, 1);
  effect->SetVector("colour", &blue);
  EXPECT_EQ(effect->CommitChanges(), D3D_OK);
  drawQuad(device);
  effect->EndPass();
  effect->End();
  device->EndScene();
  EXPECT_TRUE(colourNear(frame().at(54, 24), 0xff0000ff, 1));
  effect->Release();
}

// Scalars, vectors, whole numbers (signed, unsigned, and the older DWORD),
// flags and arrays, from the file's defaults and then from the setters (a
// float3 takes x, y and z of a vector).
TEST_F(EffectTest, ParameterKindsFromDefaultsAndSetters) {
  ID3DXEffect* effect = create(R"(
float3 base = {0.2, 0.4, 0.6};
int steps = 2;
uint2 scale = {1, 2};
DWORD parts = 1;
bool flag = true;
float weights[2] = {0.25, 0.5};
static const float one = 1.0;
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR {
  return float4(base.x * steps, base.y * weights[1] * scale.y, flag ? base.z * parts : 0, one);
}
technique tec0 { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  EXPECT_EQ(effect->GetParameterByName(nullptr, "one"), nullptr);  // static: not a parameter
  EXPECT_NE(effect->GetParameterByName(nullptr, "parts"), nullptr);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff666699, 1));

  D3DXVECTOR4 base(0.1f, 0.2f, 0.3f, 0.9f);
  effect->SetVector("base", &base);
  effect->SetInt("steps", 4);
  effect->SetBool("flag", FALSE);
  const float weights[] = {0.25f, 0.25f};
  effect->SetFloatArray("weights", weights, 2);
  const D3DXVECTOR4 scale(1, 4, 0, 0);
  effect->SetVector("scale", &scale);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff663300, 1));
  D3DXVECTOR4 back;
  effect->GetVector("base", &back);
  EXPECT_EQ(back, D3DXVECTOR4(0.1f, 0.2f, 0.3f, 0.0f));
  effect->Release();
}

TEST_F(EffectTest, TextureThroughSamplerState) {
  IDirect3DTexture9* texture = redThenBlue();
  ASSERT_NE(texture, nullptr);
  ID3DXEffect* effect = create(R"(
texture image;
sampler2D source = sampler_state { Texture = <image>; MinFilter = Point; MagFilter = Point; AddressU = Clamp; };
struct Out { float4 p : POSITION; float2 uv : TEXCOORD0; };
Out vs(float4 p : POSITION, float2 uv : TEXCOORD0) { Out o; o.p = p; o.uv = uv; return o; }
float4 ps(Out input) : COLOR { return tex2D(source, input.uv); }
technique tec0 { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  ASSERT_EQ(effect->SetTexture(effect->GetParameterByName(nullptr, "image"), texture), D3D_OK);
  device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
  drawWith(effect);
  d3d9_test::Frame f = frame();
  EXPECT_TRUE(colourNear(f.at(8, 24), 0xffff0000, 1));
  EXPECT_TRUE(colourNear(f.at(28, 24), 0xffff0000, 1));  // point sampling: no blend at the middle
  EXPECT_TRUE(colourNear(f.at(36, 24), 0xff0000ff, 1));
  // End gave the sampler and the stage back.
  DWORD filter = 0;
  device->GetSamplerState(0, D3DSAMP_MAGFILTER, &filter);
  EXPECT_EQ(filter, DWORD(D3DTEXF_LINEAR));
  IDirect3DBaseTexture9* bound = reinterpret_cast<IDirect3DBaseTexture9*>(1);
  device->GetTexture(0, &bound);
  EXPECT_EQ(bound, nullptr);
  effect->Release();
  texture->Release();
}

// A sampler declared with a register reads the texture of that stage,
// whatever the order the shader uses its samplers in; samplers without one
// take the lowest stages left.
TEST_F(EffectTest, SamplersGivenARegisterReadThatStage) {
  // Stage i holds colour[i].
  const uint32_t colours[] = {0xff0000ff, 0xffff0000, 0xff00ff00};
  IDirect3DTexture9* textures[3] = {};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(
        device->CreateTexture(1, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &textures[i], nullptr),
        D3D_OK);
    D3DLOCKED_RECT locked{};
    textures[i]->LockRect(0, &locked, nullptr, 0);
    *static_cast<uint32_t*>(locked.pBits) = colours[i];
    textures[i]->UnlockRect(0);
    device->SetTexture(DWORD(i), textures[i]);
  }
  const struct {
    const char* samplers;
    const char* colour;  // of samplers a and b
    uint32_t expected;
  } cases[] = {
      // a is used first but reads stage 1 (red), b stage 0 (blue).
      {"sampler2D a : register(s1); sampler2D b : register(s0);",
       "tex2D(a, uv) * 0.5 + tex2D(b, uv) * 0.25", 0xff800040},
      {"sampler2D a : register(s2);", "tex2D(a, uv)", 0xff00ff00},
      // With the profile named first.
      {"sampler a : register(ps, s2);", "tex2D(a, uv)", 0xff00ff00},
      // b has stage 0; a, without a register, takes stage 1.
      {"sampler2D a; sampler2D b : register(s0);", "tex2D(a, uv) * 0.5 + tex2D(b, uv) * 0.25",
       0xff800040},
      // Without registers, in the order the shader uses them.
      {"sampler2D a; sampler2D b;", "tex2D(a, uv) * 0.5 + tex2D(b, uv) * 0.25", 0xff400080},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.samplers);
    const std::string text = std::string(c.samplers) + R"(
struct Out { float4 p : POSITION; float2 uv : TEXCOORD0; };
Out vs(float4 p : POSITION, float2 uv : TEXCOORD0) { Out o; o.p = p; o.uv = uv; return o; }
float4 ps(float2 uv : TEXCOORD0) : COLOR { return )" +
                             c.colour +
                             R"(; }
technique tec0 { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
technique alone { pass { VertexShader = NULL; PixelShader = compile ps_2_0 ps(); } }
)";
    ID3DXEffect* effect = create(text.c_str());
    ASSERT_NE(effect, nullptr);
    // With the pixel shader alone the device makes the programs.
    for (const char* technique : {"tec0", "alone"}) {
      SCOPED_TRACE(technique);
      ASSERT_EQ(effect->SetTechnique(technique), D3D_OK);
      drawWith(effect);
      EXPECT_TRUE(colourNear(frame().at(32, 24), c.expected, 2));
    }
    effect->Release();
  }
  for (int i = 0; i < 3; ++i) {
    device->SetTexture(DWORD(i), nullptr);
    textures[i]->Release();
  }
}

// However the shader declares and reads a matrix (packed by rows or by
// columns, 4x3, an element of a palette indexed at run time, by element,
// its type written as a template), the one set by the application halves
// the quad and moves it right; a vector of template type moves it by its
// default.
TEST_F(EffectTest, MatricesReadAsSetWhateverTheirPackingAndShape) {
  const struct {
    const char* declaration;
    const char* position;
    int palette;         // elements of m set with SetFloatArray, 0 for SetMatrix
    float moveX = 0.5f;  // the translation set, the rest coming from the vector
  } cases[] = {
      {"row_major float4x4 m;", "mul(p, m)", 0},
      {"#pragma pack_matrix(row_major)\nfloat4x4 m;", "mul(p, m)", 0},
      {"column_major float4x3 m;", "float4(mul(p, m), 1)", 0},
      {"row_major float4x3 m;", "float4(mul(p, m), 1)", 0},
      {"float4x4 m;", "float4(p.x * m._11 + m._41, p.y * m[1][1] + m[3][1], p.z, 1)", 0},
      {"float4x4 m;", "mul(transpose(m), p)", 0},
      {"float4x3 m[3]; int bone = 1;", "float4(mul(p, m[bone]), 1)", 3},
      {"row_major float4x3 m[3]; int bone = 1;", "float4(mul(p, m[bone]), 1)", 3},
      {"matrix<float, 4, 4> m;", "mul(p, m)", 0},
      {"matrix<float, 4, 3> m;", "float4(mul(p, m), 1)", 0},
      {"vector<float, 4> v = {0.5, 0, 0, 0}; float4x4 m;", "mul(p, m) + v", 0, 0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.declaration);
    D3DXMATRIX scale, move, both;
    D3DXMatrixScaling(&scale, 0.5f, 1, 1);
    D3DXMatrixTranslation(&move, c.moveX, 0, 0);
    D3DXMatrixMultiply(&both, &scale, &move);
    const std::string text = std::string(c.declaration) +
                             "\nfloat4 vs(float4 p : POSITION) : POSITION { return " + c.position +
                             R"(; }
float4 ps() : COLOR { return float4(1, 0, 0, 1); }
technique tec0 { pass { VertexShader = compile vs_3_0 vs(); PixelShader = compile ps_3_0 ps(); } }
)";
    ID3DXEffect* effect = create(text.c_str());
    ASSERT_NE(effect, nullptr);
    if (c.palette) {
      // Rows of 4x3 matrices: identities around the one of element 1.
      std::vector<float> rows;
      for (int e = 0; e < c.palette; ++e)
        for (int r = 0; r < 4; ++r)
          for (int k = 0; k < 3; ++k) rows.push_back(e == 1 ? both.m[r][k] : r == k ? 1.0f : 0.0f);
      EXPECT_EQ(effect->SetFloatArray("m", rows.data(), UINT(rows.size())), D3D_OK);
    } else {
      EXPECT_EQ(effect->SetMatrix("m", &both), D3D_OK);
    }
    drawWith(effect);
    d3d9_test::Frame f = frame();
    EXPECT_TRUE(colourNear(f.at(10, 24), 0xff000000, 1));
    EXPECT_TRUE(colourNear(f.at(54, 24), 0xffff0000, 1));
    effect->Release();
  }
}

// Globals declared with a register, or "const" without "static", are
// parameters like any other: found by name and semantic, given their
// default, and set by the application.
TEST_F(EffectTest, ParametersDeclaredWithARegisterOrConstTakeTheirValues) {
  const struct {
    const char* declaration;
    uint32_t before;  // the default drawn
  } cases[] = {
      {"float4 c : register(c4);", 0xff000000},
      {"float4 c : COLOUR : register(c5);", 0xff000000},
      {"float4 c : register(ps, c2) = {0, 0, 1, 1};", 0xff0000ff},
      {"const float4 c;", 0xff000000},
      {"uniform const float4 c : COLOUR = {0, 0, 1, 1};", 0xff0000ff},
      {"extern const float4 c : register(c0) = {0, 1, 0, 1};", 0xff00ff00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.declaration);
    const std::string text = std::string(c.declaration) + R"(
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR { return c; }
technique tec0 { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)";
    ID3DXEffect* effect = create(text.c_str());
    ASSERT_NE(effect, nullptr);
    EXPECT_NE(effect->GetParameterByName(nullptr, "c"), nullptr);
    drawWith(effect);
    EXPECT_TRUE(colourNear(frame().at(32, 24), c.before, 1));
    const D3DXVECTOR4 red(1, 0, 0, 1);
    EXPECT_EQ(effect->SetVector("c", &red), D3D_OK);
    drawWith(effect);
    EXPECT_TRUE(colourNear(frame().at(32, 24), 0xffff0000, 1));
    effect->Release();
  }
  // A constant whole number keeps its value for the shader: it may size
  // an array.
  ID3DXEffect* effect = create(R"(
const int count = 2;
float weights[count] = {0.5, 1};
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR { return float4(weights[0], weights[count - 1], 0, 1); }
technique tec0 { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff80ff00, 1));
  effect->Release();
}

TEST_F(EffectTest, PassStatesAreAppliedAndRestoredUnlessNotSaved) {
  ID3DXEffect* effect = create(R"(
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR { return float4(1, 1, 1, 0.5); }
technique tec0 { pass {
  AlphaBlendEnable = TRUE; SrcBlend = SrcAlpha; DestBlend = InvSrcAlpha; ZEnable = false;
  VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff808080, 2));
  DWORD blend = 0, src = 0;
  device->GetRenderState(D3DRS_ALPHABLENDENABLE, &blend);
  device->GetRenderState(D3DRS_SRCBLEND, &src);
  EXPECT_EQ(blend, 0u);
  EXPECT_EQ(src, DWORD(D3DBLEND_ONE));

  // The alpha test of the device applies to what the pixel shader gives:
  // 0.5 is 128, which fails "greater than 128".
  device->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
  device->SetRenderState(D3DRS_ALPHAFUNC, D3DCMP_GREATER);
  for (DWORD reference : {127u, 128u}) {
    device->SetRenderState(D3DRS_ALPHAREF, reference);
    drawWith(effect);
    EXPECT_TRUE(colourNear(frame().at(32, 24), reference == 127 ? 0xff808080 : 0xff000000, 2));
  }
  device->SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);

  // A Begin without its End is ended by the next Begin, which then saves
  // and restores as usual.
  UINT passes = 0;
  ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
  effect->BeginPass(0);
  drawWith(effect);
  device->GetRenderState(D3DRS_SRCBLEND, &src);
  EXPECT_EQ(src, DWORD(D3DBLEND_ONE));

  drawWith(effect, D3DXFX_DONOTSAVESTATE);
  device->GetRenderState(D3DRS_ALPHABLENDENABLE, &blend);
  device->GetRenderState(D3DRS_SRCBLEND, &src);
  EXPECT_EQ(blend, 1u);
  EXPECT_EQ(src, DWORD(D3DBLEND_SRCALPHA));
  effect->Release();
}

TEST_F(EffectTest, PassesRunInTurnAndAPassWithoutShadersUsesTheFixedPipeline) {
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(1, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  D3DLOCKED_RECT locked{};
  texture->LockRect(0, &locked, nullptr, 0);
  *static_cast<uint32_t*>(locked.pBits) = 0xff0000ff;
  texture->UnlockRect(0);
  ID3DXEffect* effect = create(R"(
texture image;
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 red() : COLOR { return float4(1, 0, 0, 1); }
float4 green() : COLOR { return float4(0, 1, 0, 1); }
technique tec0 {
  pass first { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 red(); }
  pass second { AlphaBlendEnable = true; SrcBlend = One; DestBlend = One;
                VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 green(); }
  pass third { VertexShader = NULL; PixelShader = 0; Texture[0] = <image>; Lighting = false; }
}
)");
  ASSERT_NE(effect, nullptr);
  effect->SetTexture("image", texture);
  device->SetRenderState(D3DRS_LIGHTING, TRUE);
  drawWith(effect);
  // Red, plus green, plus the texture's blue through the fixed pipeline.
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xffffffff, 1));
  // And after End the fixed pipeline draws again, lit as before.
  DWORD lighting = 0;
  device->GetRenderState(D3DRS_LIGHTING, &lighting);
  EXPECT_EQ(lighting, 1u);
  effect->Release();
  texture->Release();
}

// A pass sets only the shaders it names: one that names none for a stage
// draws with the shader the pass before it set there, and NULL is a shader
// like any other.
TEST_F(EffectTest, APassKeepsTheShadersThePassBeforeItSetForStagesItDoesNotName) {
  ID3DXEffect* effect = create(R"(
float4 right(float4 p : POSITION) : POSITION { return float4(p.x * 0.5 + 0.5, p.yzw); }
float4 red() : COLOR { return float4(1, 0, 0, 1); }
float4 green() : COLOR { return float4(0, 1, 0, 1); }
float4 blue() : COLOR { return float4(0, 0, 1, 1); }
float4 dim() : COLOR { return float4(0.25, 0, 0, 1); }
technique kept {
  pass p0 { VertexShader = compile vs_2_0 right(); PixelShader = compile ps_2_0 red(); }
  pass p1 { AlphaBlendEnable = true; SrcBlend = One; DestBlend = One; PixelShader = compile ps_2_0 green(); }
  pass p2 { VertexShader = NULL; PixelShader = compile ps_2_0 blue(); }
  pass p3 { PixelShader = compile ps_2_0 dim(); }
}
)");
  ASSERT_NE(effect, nullptr);
  drawWith(effect);
  d3d9_test::Frame f = frame();
  // p0 and p1 on the right half only; p2 and p3 through the fixed-function
  // vertex stage over the whole target.
  EXPECT_TRUE(colourNear(f.at(10, 24), 0xff4000ff, 1));
  EXPECT_TRUE(colourNear(f.at(54, 24), 0xffffffff, 1));
  effect->Release();
}

TEST_F(EffectTest, PixelPositionAndFacingInDirect3DTerms) {
  ID3DXEffect* effect = create(R"(
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps(float2 pixel : VPOS, float face : VFACE) : COLOR {
  return float4(pixel.x / 255.0, pixel.y / 255.0, face * 0.5 + 0.5, 1);
}
technique tec0 { pass { VertexShader = compile vs_3_0 vs(); PixelShader = compile ps_3_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  drawWith(effect);
  d3d9_test::Frame f = frame();
  // Whole pixel numbers from the top left; the quad is clockwise: a front face.
  EXPECT_TRUE(colourNear(f.at(10, 20), 0xff0a14ff, 1));
  EXPECT_TRUE(colourNear(f.at(40, 3), 0xff2803ff, 1));
  effect->Release();
}

TEST_F(EffectTest, FailuresAnswerAnErrorWithTheCompilersText) {
  struct Case {
    const char* name;
    const char* text;
    const char* expected;  // in the error text
  } cases[] = {
      {"undeclared",
       "float4 ps() : COLOR {\n  return missingValue;\n}\n"
       "technique tec0 { pass { VertexShader = compile vs_2_0 ps(); PixelShader = compile ps_2_0 ps(); } }",
       "memory(2): error"},
      {"no such function",
       "technique tec0 { pass { VertexShader = compile vs_2_0 nowhere(); PixelShader = compile ps_2_0 nowhere(); } }",
       "error: entry point 'nowhere' not found"},
      {"unknown state", "technique tec0 { pass { NoSuchState = 1; } }",
       "memory(1): error: unknown state 'NoSuchState'"},
      {"bad value", "technique tec0 {\n pass { CullMode = Sideways; } }",
       "memory(2): error: invalid value for CullMode: 'Sideways' is neither one of its values nor "
       "a parameter"},
      {"value of an undeclared parameter", "technique tec0 {\n pass { AlphaRef = threshold; } }",
       "memory(2): error: invalid value for AlphaRef: 'threshold' is neither one of its values nor "
       "a parameter"},
      {"unclosed", "technique tec0 { pass { CullMode = None; }", "unexpected end of file"},
      // The linker's words come with the file and the kind.
      {"recursion",
       "float4 f(float x) { return f(x - 1); }\nfloat4 ps() : COLOR { return f(1); }\n"
       "technique tec0 { pass { PixelShader = compile ps_2_0 ps(); } }",
       "memory: error: 'ps' does not link: Linking fragment stage: Recursion detected"},
      {"huge array", "float4 many[100000000];", "memory(1): error: invalid array size for 'many'"},
      {"stage out of range", "technique tec0 { pass { MinFilter[99] = Point; } }",
       "invalid index for MinFilter"},
      {"declared again",
       "bool r;\nfloat r;\nfloat4 ps() : COLOR { return 1; }\n"
       "technique tec0 { pass { VertexShader = compile vs_2_0 ps(); PixelShader = compile ps_2_0 ps(); } }",
       "'r' is declared again with another type"},
      {"sampler without ';'",
       "sampler s = sampler_state { MinFilter = Linear; }\nfloat4 c[2] = {0, 0, 0, 0, 1, 1, 1, 1};",
       "memory(2): error: expected ';' after the sampler_state of 's' near 'float4'"},
      {"constants by register",
       "float4 c;\ntechnique tec0 {\n pass { PixelShaderConstantF[0] = <c>; } }",
       "memory(3): error: 'PixelShaderConstantF' sets shader constants by register"},
      {"shader assembly",
       "technique tec0 {\n pass { PixelShader = asm { ps.1.1\n mov r0, v0 }; } }",
       "memory(2): error: shader assembly (asm { ... }) is not supported"},
      {"sampler array",
       "texture t;\nsampler2D s[2] = { sampler_state { Texture = <t>; }, sampler_state { Texture = <t>; } };",
       "memory(2): error: arrays of samplers ('s') are not supported"},
      // A struct array whose size times the struct's components wraps to
      // the number of its (no) values: left to the compiler, which refuses it.
      {"struct array of a wrapping size",
       "struct S { float4 v; };\nfloat4 ps() : COLOR {\n  S a[4611686018427387904] = {};\n"
       "  return a[0].v;\n}\n"
       "technique tec0 { pass { PixelShader = compile ps_2_0 ps(); } }",
       "memory(3): error"},
      {"shader assembly in a function",
       "float4 ps() : COLOR {\n  float4 c;\n  asm { mov c, c0 };\n  return c;\n}\n"
       "technique tec0 { pass { PixelShader = compile ps_2_0 ps(); } }",
       "memory(3): error: shader assembly (asm { ... }) is not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ID3DXEffect* effect = reinterpret_cast<ID3DXEffect*>(1);
    ID3DXBuffer* errors = nullptr;
    EXPECT_EQ(D3DXCreateEffect(device, c.text, UINT(std::string(c.text).size()), nullptr, nullptr,
                               0, nullptr, &effect, &errors),
              D3DXERR_INVALIDDATA);
    EXPECT_EQ(effect, nullptr);
    std::string text = errorText(errors);
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
  }
  ID3DXEffect* effect = nullptr;
  EXPECT_EQ(D3DXCreateEffectFromFileA(device, "no\\such.fx", nullptr, nullptr, 0, nullptr, &effect,
                                      nullptr),
            D3DERR_NOTFOUND);
  EXPECT_EQ(effect, nullptr);
}

// Text that crashes the compiler's front end fails like any other error,
// and effects compile as before afterwards.
const char* kCompilerCrash = "float base s(){u(base?base:h)}";

TEST_F(EffectTest, TextThatCrashesTheCompilerFailsCleanly) {
  const std::string text = std::string(kCompilerCrash) +
                           "\ntechnique tec0 { pass { PixelShader = compile ps_2_0 s(); } }";
  ID3DXEffect* effect = nullptr;
  ID3DXBuffer* errors = nullptr;
  EXPECT_EQ(D3DXCreateEffect(device, text.c_str(), UINT(text.size()), nullptr, nullptr, 0, nullptr,
                             &effect, &errors),
            D3DXERR_INVALIDDATA);
  EXPECT_EQ(effect, nullptr);
  EXPECT_EQ(errorText(errors), "memory: error: the shader compiler failed on this text\n");
  effect = create(kColourEffect);
  ASSERT_NE(effect, nullptr);
  effect->Release();
}

TEST_F(EffectTest, EffectFromFileWithoutTechniqueNamedTec0) {
  std::string path = ::testing::TempDir() + "effect_test.fx";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(kColourEffect, f);
  std::fclose(f);
  ID3DXEffect* effect = nullptr;
  ASSERT_EQ(D3DXCreateEffectFromFileA(device, path.c_str(), nullptr, nullptr, 0, nullptr, &effect,
                                      nullptr),
            D3D_OK);
  // A technique that is not there: the call fails and the current one stays.
  D3DXHANDLE first = effect->GetCurrentTechnique();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(effect->SetTechnique(effect->GetTechniqueByName("other")), D3DERR_INVALIDCALL);
  EXPECT_EQ(effect->GetCurrentTechnique(), first);
  D3DXVECTOR4 colour;
  ASSERT_EQ(effect->GetVector("colour", &colour), D3D_OK);
  EXPECT_EQ(colour, D3DXVECTOR4(0, 1, 0, 1));
  // Setters on a missing parameter fail.
  EXPECT_EQ(effect->SetVector(nullptr, &colour), D3DERR_INVALIDCALL);
  effect->Release();
  std::remove(path.c_str());
}

// A pass with a pixel shader alone: the fixed-function vertex stage feeds
// it, pretransformed or through the device's transforms, with the vertex
// colour as COLOR0 and the coordinates as TEXCOORD0.
TEST_F(EffectTest, PixelShaderAloneOverFixedFunctionVertices) {
  ID3DXEffect* effect = create(R"(
float4 ps(float4 colour : COLOR0, float2 uv : TEXCOORD0) : COLOR { return float4(uv.x, uv.y, colour.b, 1); }
technique tec0 { pass p { PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  struct Screen {
    float x, y, z, rhw;
    DWORD colour;
    float u, v;
  };
  const float w = float(kWidth), h = float(kHeight);
  const Screen screen[] = {{0, 0, 0.5f, 1, 0xff0000ff, 0, 0},
                           {w, 0, 0.5f, 1, 0xff0000ff, 1, 0},
                           {0, h, 0.5f, 1, 0xff0000ff, 0, 1},
                           {w, h, 0.5f, 1, 0xff0000ff, 1, 1}};
  struct World {
    float x, y, z;
    DWORD colour;
    float u, v;
  };
  const World world[] = {{-1, 1, 0.5f, 0xff0000ff, 0, 0},
                         {1, 1, 0.5f, 0xff0000ff, 1, 0},
                         {-1, -1, 0.5f, 0xff0000ff, 0, 1},
                         {1, -1, 0.5f, 0xff0000ff, 1, 1}};
  auto draw = [&](bool pretransformed) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    device->BeginScene();
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
    ASSERT_EQ(effect->BeginPass(0), D3D_OK);
    if (pretransformed) {
      device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1);
      EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, screen, sizeof(Screen)), D3D_OK);
    } else {
      device->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE | D3DFVF_TEX1);
      EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, world, sizeof(World)), D3D_OK);
    }
    effect->EndPass();
    effect->End();
    device->EndScene();
  };
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  draw(true);
  d3d9_test::Frame f = frame();
  EXPECT_TRUE(colourNear(f.at(0, 0), 0xff0000ff, 6));
  EXPECT_TRUE(colourNear(f.at(kWidth - 1, kHeight - 1), 0xfffbfaff, 6));
  EXPECT_TRUE(colourNear(f.at(kWidth / 2, 0), 0xff8000ff, 6));
  // Through the world matrix: the quad squeezed into the right half.
  D3DXMATRIX scale, move, m;
  D3DXMatrixScaling(&scale, 0.5f, 1, 1);
  D3DXMatrixTranslation(&move, 0.5f, 0, 0);
  D3DXMatrixMultiply(&m, &scale, &move);
  device->SetTransform(D3DTS_WORLD, &m);
  draw(false);
  f = frame();
  EXPECT_TRUE(colourNear(f.at(kWidth / 4, kHeight / 2), 0xff000000, 0));
  EXPECT_TRUE(colourNear(f.at(kWidth / 2 + 1, 0), 0xff0000ff, 8));
  EXPECT_TRUE(colourNear(f.at(kWidth - 1, kHeight - 1), 0xfffbfaff, 8));
  effect->Release();
}

// A pass with a vertex shader alone: the fixed-function pixel stage takes
// its COLOR0 and TEXCOORD0 (a float2 here) as the vertex colour and the
// stage's coordinate.
TEST_F(EffectTest, VertexShaderAloneFeedsTheFixedFunctionPixelStage) {
  IDirect3DTexture9* texture = redThenBlue();
  ASSERT_NE(texture, nullptr);
  ID3DXEffect* effect = create(R"(
texture image;
float4 tint = {1, 1, 0.5, 1};
struct Out { float4 p : POSITION; float4 c : COLOR0; float2 uv : TEXCOORD0; };
Out vs(float4 p : POSITION) { Out o; o.p = p; o.c = tint; o.uv = float2(p.x * 0.5 + 0.5, 0.5); return o; }
technique tec0 { pass p { VertexShader = compile vs_2_0 vs(); Texture[0] = <image>;
  MinFilter[0] = Point; MagFilter[0] = Point; ColorOp[0] = Modulate; ColorArg1[0] = Texture; ColorArg2[0] = Diffuse; } }
)");
  ASSERT_NE(effect, nullptr);
  effect->SetTexture("image", texture);
  drawWith(effect);
  d3d9_test::Frame f = frame();
  EXPECT_TRUE(colourNear(f.at(8, 24), 0xffff0000, 1));
  EXPECT_TRUE(colourNear(f.at(56, 24), 0xff000080, 1));
  effect->Release();
  texture->Release();
}

// Direct3D 9 shader code the compiler's front end does not take as
// written, put in terms it takes.
TEST_F(EffectTest, ShaderCodeTheFrontEndRefusesIsRewritten) {
  struct Case {
    const char* pixelShader;
    uint32_t colour;
  } cases[] = {
      // A vector cast to an array.
      {"float4 ps() : COLOR { float4 v = float4(0, 1, 0, 1); float a[4] = (float[4])v;\n"
       "  return float4(a[0], a[1], a[2], a[3]); }",
       0xff00ff00},
      // An array of vectors initialised with its components flat.
      {"float4 ps() : COLOR { float4 c[2] = {0, 0, 1, 1, 1, 0, 0, 1}; return c[0] + c[1] * 0.5; }",
       0xff8000ff},
      // The same with whole numbers among them and a comma after the last.
      {"float4 ps() : COLOR { static const float2 c[2] = {0, 1, 1, 1,}; return float4(c[0], c[1]); }",
       0xff00ffff},
      // An array of structs, each with its components flat.
      {"struct L { float3 c; float w; };\n"
       "static const L ls[2] = {{0, 1, 0, 0.5,}, {1, 0, 0, 0.5}};\n"
       "float4 ps() : COLOR { return float4(ls[0].c * ls[0].w + ls[1].c * ls[1].w, 1); }",
       0xff808000},
      // A matrix of whole numbers, a parameter with its default.
      {"int2x2 m = {0, 1, 2, 3};\n"
       "float4 ps() : COLOR { int i = 1; return float4(m[0][i], m[i][0] / 4.0, m[i][i] - 3, 1); }",
       0xffff8000},
      // An array parameter sized by its value.
      {"float2 k[] = {{0, 1}, {1, 1}};\nfloat4 ps() : COLOR { return float4(k[0], k[1]); }",
       0xff00ffff},
      // A struct without members for the input.
      {"struct Nothing { };\nfloat4 ps(Nothing n) : COLOR { return float4(0, 1, 0, 1); }",
       0xff00ff00},
      // The pixel position as a float2 declared "in".
      {"float4 ps(in float2 p : VPOS) : COLOR { return float4(p.x / 255.0, 0, 0, 1); }",
       0xff200000},
      // A constructor assigned to: its parts take the value in turn.
      {"float4 ps() : COLOR { float2 a, b; float4(a, b) = float4(0.25, 0.5, 1, 0); return float4(a.x, a.y, b.x, 1); }",
       0xff4080ff},
      // Swizzles of several matrix elements, counted from 0 and from 1, of
      // a parameter and of a local.
      {"float4x4 m = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0, 1};\n"
       "float4 ps() : COLOR { return float4(m._m10_m21_m33, 1); }",
       0xffff80ff},
      {"float4x4 m = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0, 1};\n"
       "float4 ps() : COLOR { float4x4 l = m; return float4(l._44_21_32, 1); }",
       0xffffff80},
      // Conditionals whose second value is named like a semantic.
      {"float4 ps(float2 uv : TEXCOORD0) : COLOR { float depth = 0.5, vpos = 1;\n"
       "  return float4(uv.x > 2 ? vpos : depth, 0, 0, 1); }",
       0xff800000},
      // Samplers declared const, as a parameter and as a function's argument.
      {"uniform const sampler s;\nfloat4 get(const sampler2D p) { return tex2D(p, float2(0.5, 0.5)); }\n"
       "float4 ps() : COLOR { return get(s) * 0 + float4(0, 0, 1, 1); }",
       0xff0000ff},
      // A sampler declared static, with its sampler_state.
      {"static const sampler t = sampler_state { MinFilter = Point; };\n"
       "float4 ps() : COLOR { return tex2D(t, float2(0.5, 0.5)) * 0 + float4(1, 1, 0, 1); }",
       0xffffff00},
      // Type keywords written in another case, with their defaults.
      {"Matrix m = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0, 1};\nVector v = {0, 0, 1, 1};\n"
       "float4 ps() : COLOR { return float4(m._21_32, v.z, 1); }",
       0xffff80ff},
      // A static global whose value calls a function of the file, of a
      // parameter, and one that a second such global reads.
      {"float b = 0.5;\nfloat4 mk(float v) { return float4(v, 1 - v, 0, 1); }\n"
       "static const float4 c = mk(b);\nstatic float4 d = mk(c.x * 2) * 0.5;\n"
       "float4 ps() : COLOR { return c + d; }",
       0xffff8000},
      // frexp, of a scalar and of a vector with a negative value and 0.
      {"float4 ps() : COLOR { float e; float m = frexp(6.0, e); return float4(m, e / 4, 0, 1); }",
       0xffbfbf00},
      {"float4 ps() : COLOR { float2 e; float2 m = frexp(float2(-2, 0), e);\n"
       "  return float4(-m.x, e.x / 4, m.y + e.y, 1); }",
       0xff808000},
      // SamplerState used with tex2D: a Direct3D 9 sampler.
      {"SamplerState s;\nfloat4 ps() : COLOR { return tex2D(s, float2(0.5, 0.5)) * 0 + float4(1, 0, 1, 1); }",
       0xffff00ff},
      // A matrix's layout in registers does not change what mul() gives.
      {"row_major float4x4 M = {1,0,0,0, 0,1,0,0, 0,0,1,0, 0.5,0.25,0,1};\n"
       "float4 ps() : COLOR { return mul(float4(0,0,0,1), M); }",
       0xff804000},
      {"#pragma pack_matrix(row_major)\nfloat4x4 M = {1,0,0,0, 0,1,0,0, 0,0,1,0, 0.5,0.25,0,1};\n"
       "float4 ps() : COLOR { return mul(float4(0,0,0,1), M); }",
       0xff804000},
      {"float4x3 m = {0,0,0, 0,0,0, 0,0,0, 0.5,0.25,1};\n"
       "float4 ps() : COLOR { return float4(mul(float4(0,0,0,1), m), 1); }",
       0xff8040ff},
      // Vector and matrix types written with their element type and sizes.
      {"vector<float, 3> v = {0.5, 0.25, 1}; matrix<float, 2, 2> m = {0, 1, 1, 0};\n"
       "float4 ps() : COLOR { return float4(mul(v.xy, m), v.z, 1); }",
       0xff4080ff},
      // A value in brackets with commas: the comma operator, the last counts.
      {"float2 k = (0.25, 0.5);\nfloat4 ps() : COLOR { return float4(k, 0, 1); }", 0xff808000},
      // Functions of the file named like intrinsics we give our own
      // versions of: the file's answer its calls.
      {"float noise(float2 p) { return p.x * 0.5; }\n"
       "float4 ps() : COLOR { return float4(noise(float2(1, 0)), 0, 0, 1); }",
       0xff800000},
      {"float4 lit(float a, float b, float c) { return float4(a, b, c, 1); }\n"
       "float4 ps() : COLOR { return lit(0.25, 0.5, 1); }",
       0xff4080ff},
      // Conversions that code for shader models 2 and 3 relies on: a
      // vector condition with scalar values, vectors cut down to the
      // other operand's size.
      {"float4 ps() : COLOR { float2 v = float2(-1, 1); int2 b = v < 0 ? -1 : 0;\n"
       "  return float4(-b.x * 0.5, -b.y, 0, 1); }",
       0xff800000},
      {"float4 ps() : COLOR { float4 a = float4(1, 0, 0, 1); float3 b = float3(0, 1, 0.5);\n"
       "  float2 o = float2(0.5, 0.5); o *= float4(1, 0.5, 7, 7); return float4(lerp(a, b, o.x), 1); }",
       0xff808040},
      // % and fmod() keep the sign of the dividend.
      {"float4 ps() : COLOR { float a = -0.75; return float4(-(a % 0.5), -fmod(a, 0.5), 0, 1); }",
       0xff404000},
      // Vectors passed for scalar parameters: their first components count,
      // also beside a parameter written to and in a second function.
      {"float2 r(float2 x, float a) { return x * a; }\n"
       "float4 ps() : COLOR { float2 v = float2(0.5, 0.25); return float4(r(float2(1, 0.5), v), 0, 1); }",
       0xff804000},
      {"void s(float a, out float b) { b = a * 2; }\nfloat h(float a, float b) { return a - b; }\n"
       "float4 ps() : COLOR { float r; s(float4(0.25, 1, 1, 1), r);\n"
       "  return float4(r, h(float2(1, 0), 0.5), h(0.75, float3(0.5, 1, 1)), 1); }",
       0xff808040},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pixelShader);
    const std::string text =
        std::string("float4 vs(float4 p : POSITION) : POSITION { return p; }\n") + c.pixelShader +
        "\ntechnique t { pass p { VertexShader = compile vs_2_0 vs(); "
        "PixelShader = compile ps_3_0 ps(); } }\n";
    ID3DXEffect* effect = create(text.c_str());
    if (!effect) continue;
    drawWith(effect);
    EXPECT_TRUE(colourNear(frame().at(32, 24), c.colour, 1));
    effect->Release();
  }
}

// texCUBEproj divides the direction by w before the lookup: a negative w
// turns it to the opposite face.
TEST_F(EffectTest, ProjectiveCubeLookupDividesByW) {
  IDirect3DCubeTexture9* cube = nullptr;
  ASSERT_EQ(device->CreateCubeTexture(1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &cube, nullptr),
            D3D_OK);
  for (int face = 0; face < 6; ++face) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACES(face), 0, &locked, nullptr, 0), D3D_OK);
    *static_cast<D3DCOLOR*>(locked.pBits) =
        face == D3DCUBEMAP_FACE_NEGATIVE_X ? 0xff00ff00 : 0xffff0000;
    cube->UnlockRect(D3DCUBEMAP_FACES(face), 0);
  }
  ID3DXEffect* effect = create(R"(
textureCUBE sky;
samplerCUBE s = sampler_state { Texture = <sky>; MinFilter = Point; MagFilter = Point; };
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR { return texCUBEproj(s, float4(1, 0.1, 0.1, -1)); }
technique t { pass p { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  effect->SetTexture("sky", cube);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff00ff00, 1));
  effect->Release();
  cube->Release();
}

// A function may assign to a parameter that is not const: it works on its
// own copy, and the parameter still takes the values the effect is given.
TEST_F(EffectTest, ParametersThatFunctionsWriteStayParameters) {
  ID3DXEffect* effect = create(R"(
float2 offset = {0.25, 0.5}, unused;
float weights[2];
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR { offset.x += 0.25; weights[1] = 1; return float4(offset, weights[0] + weights[1] * 0.5, 1); }
technique t { pass p { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff808080, 1));
  const float offset[] = {0, 1};
  const float weights[] = {0.5f, 0};
  ASSERT_EQ(effect->SetFloatArray("offset", offset, 2), D3D_OK);
  ASSERT_EQ(effect->SetFloatArray("weights", weights, 2), D3D_OK);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff40ffff, 1));
  effect->Release();
}

// Parameters of struct type: each member is a parameter of its own,
// "light.colour" or through the struct's handle, arrays of them element
// by element, and the struct's initialiser gives the members' values.
TEST_F(EffectTest, StructParametersHaveTheirMembersAsParameters) {
  ID3DXEffect* effect = create(R"(
struct Tint { float4 colour; float scale; };
struct Light { Tint tint; float3 weights[2]; };
Light light = {0.25, 0, 0, 1, 2, 0, 0, 0, 0, 0.5, 0};
Tint extra[2];
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR {
  return light.tint.colour * light.tint.scale + float4(light.weights[1], 0) + extra[1].colour;
}
technique t { pass p { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff808000, 1));
  D3DXHANDLE tint =
      effect->GetParameterByName(effect->GetParameterByName(nullptr, "light"), "tint");
  ASSERT_NE(tint, nullptr);
  ASSERT_EQ(effect->SetFloat(effect->GetParameterByName(tint, "scale"), 4), D3D_OK);
  const D3DXVECTOR4 blue(0, 0, 1, 0);
  ASSERT_EQ(effect->SetVector(effect->GetParameterByName(nullptr, "extra[1].colour"), &blue),
            D3D_OK);
  EXPECT_EQ(effect->GetParameterByName(nullptr, "tint"), nullptr);
  EXPECT_EQ(effect->SetFloat(effect->GetParameterByName(nullptr, "light"), 1), D3DERR_INVALIDCALL);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xffff80ff, 1));
  effect->Release();
}

// Parameters named like words GLSL keeps for itself take their values
// all the same.
TEST_F(EffectTest, ParametersNamedLikeGlslWordsReachTheShader) {
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(1, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  D3DLOCKED_RECT locked{};
  texture->LockRect(0, &locked, nullptr, 0);
  static_cast<uint32_t*>(locked.pBits)[0] = 0xff0000ff;
  texture->UnlockRect(0);
  ID3DXEffect* effect = create(R"(
float4 input = {1, 0, 0, 1};
float filter[2] = {0.25, 0.5};
float sample = 0.25, my__half = 0.5, gl_one = 1;
texture image, none;
sampler flat = sampler_state { Texture = <none>; };
sampler smooth = sampler_state { Texture = <image>; };
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps() : COLOR {
  return float4(input.r * sample * gl_one / my__half, filter[1], filter[0], 1) + tex2D(smooth, 0.5) * 0.5 +
         tex2D(flat, 0.5).b;
}
technique t { pass p { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  ASSERT_EQ(effect->SetTexture(effect->GetParameterByName(nullptr, "image"), texture), D3D_OK);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff8080bf, 1));
  effect->Release();
  texture->Release();
}

// A pixel shader's DEPTH output is the depth the test compares: the
// first pass writes 0.25 for a quad at 0.5, and the second pass, drawn
// where the depth is less than its own 0.5, covers it.
TEST_F(EffectTest, PixelDepthOutputReachesTheDepthTest) {
  ID3DXEffect* effect = create(R"(
bool flip;
float4 vs(float4 position : POSITION) : POSITION { return flip ? -position : position; }
float4 near(out float depth : DEPTH) : COLOR { depth = 0.25; return float4(0, 1, 0, 1); }
float4 far() : COLOR { return float4(1, 0, 0, 1); }
technique t {
  pass p0 { ZEnable = true; ZWriteEnable = true; ZFunc = Always;
            VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 near(); }
  pass p1 { ZFunc = Greater; VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 far(); }
}
)");
  ASSERT_NE(effect, nullptr);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xffff0000, 1));
  effect->Release();
}

// Values pass between the stages by semantic: a float2 written and a
// float4 read (filled with 0 and a last 1), a float4 written and a float2
// read, and one nobody wrote (0).
TEST_F(EffectTest, ValuesBetweenStagesMeetBySemanticWhateverTheirTypes) {
  ID3DXEffect* effect = create(R"(
struct Out { float4 p : POSITION; float2 a : TEXCOORD0; float4 b : TEXCOORD1; };
Out vs(float4 p : POSITION) { Out o; o.p = p; o.a = float2(0.25, 0.75); o.b = float4(0.5, 0.125, 0, 0); return o; }
float4 ps(float4 a : TEXCOORD0, float2 b : TEXCOORD1, float4 c : TEXCOORD2) : COLOR {
  return float4(a.x + a.z, a.w * 0.5 + c.x, b.x + b.y, 1);
}
technique tec0 { pass p { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff4080a0, 1));
  effect->Release();
}

// An array with a semantic takes a register for each element, counting on
// from its semantic's, whichever stage declares it as an array.
TEST_F(EffectTest, ArraysBetweenStagesTakeARegisterForEachElement) {
  const char* arrayOut =
      "struct V { float4 pos : POSITION; float2 t[2] : TEXCOORD1; };\n"
      "V vs(float4 p : POSITION) { V o; o.pos = p; o.t[0] = float2(0.25, 0.5); o.t[1] = float2(0.75, 1); "
      "return o; }\n";
  const char* separateOut =
      "struct V { float4 pos : POSITION; float2 a : TEXCOORD1; float2 b : TEXCOORD2; };\n"
      "V vs(float4 p : POSITION) { V o; o.pos = p; o.a = float2(0.25, 0.5); o.b = float2(0.75, 1); "
      "return o; }\n";
  struct Case {
    const char* vertex;
    const char* pixel;
  } cases[] = {
      {arrayOut,
       "float4 ps(float2 a : TEXCOORD1, float2 b : TEXCOORD2) : COLOR { return float4(a, b.x, 1); }"},
      {arrayOut,
       "struct P { float2 t[2] : TEXCOORD1; };\n"
       "float4 ps(P i) : COLOR { return float4(i.t[0], i.t[1].x, 1); }"},
      {separateOut,
       "float4 ps(float2 t[2] : TEXCOORD1) : COLOR { return float4(t[0], t[1].x, 1); }"},
      {"void vs(float4 p : POSITION, out float4 o : POSITION, out float2 t[2] : TEXCOORD1) {\n"
       "  o = p; t[0] = float2(0.25, 0.5); t[1] = float2(0.75, 1); }\n",
       "float4 ps(float2 a : TEXCOORD1, float2 b : TEXCOORD2) : COLOR { return float4(a, b.x, 1); }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pixel);
    const std::string text = std::string(c.vertex) + c.pixel +
                             "\ntechnique t { pass p { VertexShader = compile vs_2_0 vs(); "
                             "PixelShader = compile ps_2_0 ps(); } }\n";
    ID3DXEffect* effect = create(text.c_str());
    if (!effect) continue;
    drawWith(effect);
    EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff4080bf, 1));
    effect->Release();
  }
}

// "PixelShader = (shaders[count])": the element the parameter names when
// the pass begins (held to the array's bounds).
TEST_F(EffectTest, ShaderArraysIndexedByAParameter) {
  ID3DXEffect* effect = create(R"(
int count = 1;
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps(uniform int which) : COLOR { return which == 0 ? float4(1, 0, 0, 1) : which == 1 ? float4(0, 1, 0, 1) : float4(0, 0, 1, 1); }
PixelShader shaders[3] = { compile ps_2_0 ps(0), compile ps_2_0 ps(1), compile ps_2_0 ps(2) };
VertexShader single = compile vs_2_0 vs();
technique tec0 { pass p { VertexShader = <single>; PixelShader = (shaders[count]); } }
)");
  ASSERT_NE(effect, nullptr);
  struct Case {
    int count;
    uint32_t colour;
  } cases[] = {
      {1, 0xff00ff00}, {0, 0xffff0000}, {2, 0xff0000ff}, {7, 0xff0000ff}, {-3, 0xffff0000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    EXPECT_EQ(effect->SetInt("count", c.count), D3D_OK);
    drawWith(effect);
    EXPECT_TRUE(colourNear(frame().at(32, 24), c.colour, 1));
  }
  effect->Release();
}

// Vertices through a declaration: a TANGENT input reaches the vertex
// shader, and a pixel shader's COLOR1 goes to render target 1.
TEST_F(EffectTest, DeclarationTangentsAndASecondRenderTarget) {
  ID3DXEffect* effect = create(R"(
struct Out { float4 p : POSITION; float3 t : TEXCOORD0; };
Out vs(float4 p : POSITION, float3 t : TANGENT) { Out o; o.p = p; o.t = t; return o; }
struct Colours { float4 c0 : COLOR0; float4 c1 : COLOR1; };
Colours ps(float3 t : TEXCOORD0) { Colours c; c.c0 = float4(t, 1); c.c1 = float4(1 - t, 1); return c; }
technique tec0 { pass p { CullMode = None; VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  const D3DVERTEXELEMENT9 elements[] = {
      {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
      {0, 12, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TANGENT, 0},
      D3DDECL_END()};
  IDirect3DVertexDeclaration9* declaration = nullptr;
  ASSERT_EQ(device->CreateVertexDeclaration(elements, &declaration), D3D_OK);
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(kWidth, kHeight, 1, D3DUSAGE_RENDERTARGET, D3DFMT_A8R8G8B8,
                                  D3DPOOL_DEFAULT, &texture, nullptr),
            D3D_OK);
  IDirect3DSurface9* target = nullptr;
  texture->GetSurfaceLevel(0, &target);
  ASSERT_EQ(device->SetRenderTarget(1, target), D3D_OK);
  struct Vertex {
    float x, y, z, tx, ty, tz;
  };
  const Vertex quad[] = {{-1, 1, 0.5f, 1, 0.5f, 0},
                         {1, 1, 0.5f, 1, 0.5f, 0},
                         {-1, -1, 0.5f, 1, 0.5f, 0},
                         {1, -1, 0.5f, 1, 0.5f, 0}};
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  device->BeginScene();
  UINT passes = 0;
  ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
  ASSERT_EQ(effect->BeginPass(0), D3D_OK);
  device->SetVertexDeclaration(declaration);
  EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(Vertex)), D3D_OK);
  effect->EndPass();
  effect->End();
  device->EndScene();
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xffff8000, 1));
  EXPECT_TRUE(colourNear(d3d9_test::readSurface(target).at(32, 24), 0xff0080ff, 1));
  device->SetRenderTarget(1, nullptr);
  target->Release();
  texture->Release();
  declaration->Release();
  effect->Release();
}

// ColorWriteEnable with flags joined by '|', and a state whose value is a
// parameter read when the pass begins, or a static variable's value (an
// element of one too), which is no parameter.
TEST_F(EffectTest, ColorWriteMasksAndStatesTakenFromParameters) {
  ID3DXEffect* effect = create(R"(
int cull = 1;
static int masks[2] = {1, 2};
static const int none = 1;
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 white() : COLOR { return float4(1, 1, 1, 1); }
technique redBlue { pass p { ColorWriteEnable = RED | BLUE; CullMode = <cull>;
  VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 white(); } }
technique green { pass p { ColorWriteEnable = D3DCOLORWRITEENABLE_GREEN; CullMode = (cull);
  VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 white(); } }
technique fromStatics { pass p { ColorWriteEnable = (masks[1]); CullMode = <none>;
  VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 white(); } }
)");
  ASSERT_NE(effect, nullptr);
  EXPECT_EQ(effect->GetParameterByName(nullptr, "masks"), nullptr);
  struct Case {
    const char* technique;
    uint32_t colour;
  } cases[] = {{"fromStatics", 0xff00ff00}, {"redBlue", 0xffff00ff}, {"green", 0xff00ff00}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.technique);
    ASSERT_EQ(effect->SetTechnique(c.technique), D3D_OK);
    drawWith(effect);
    EXPECT_TRUE(colourNear(frame().at(32, 24) | 0xff000000, c.colour, 1));
    DWORD mask = 0;
    device->GetRenderState(D3DRS_COLORWRITEENABLE, &mask);
    EXPECT_EQ(mask, 0xfu);  // put back by End
  }
  EXPECT_EQ(effect->SetInt("cull", D3DCULL_CW), D3D_OK);
  UINT passes = 0;
  effect->Begin(&passes, 0);
  effect->BeginPass(0);
  DWORD cull = 0;
  device->GetRenderState(D3DRS_CULLMODE, &cull);
  EXPECT_EQ(cull, DWORD(D3DCULL_CW));
  effect->EndPass();
  effect->End();
  effect->Release();
}

// A state written as an expression of parameters (and of the state's own
// value names) takes its value when the pass begins, from the parameters
// as they are then.
TEST_F(EffectTest, StatesWrittenAsExpressionsFollowTheirParameters) {
  ID3DXEffect* effect = create(R"(
bool twoSided = false;
int layers = 2;
static const float scale = 0.5;
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 white() : COLOR { return float4(1, 1, 1, 1); }
technique t { pass p { CullMode = (twoSided ? 1 : 3); SrcBlend = (layers > 1 && !twoSided ? ONE : SRCALPHA);
  AlphaRef = (layers * 64 * scale + 0x10); VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 white(); } }
)");
  ASSERT_NE(effect, nullptr);
  struct Case {
    BOOL twoSided;
    INT layers;
    DWORD cull, srcBlend, alphaRef;
  } cases[] = {{FALSE, 2, D3DCULL_CCW, D3DBLEND_ONE, 80},
               {TRUE, 2, D3DCULL_NONE, D3DBLEND_SRCALPHA, 80},
               {FALSE, 1, D3DCULL_CCW, D3DBLEND_SRCALPHA, 48}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layers);
    effect->SetBool("twoSided", c.twoSided);
    effect->SetInt("layers", c.layers);
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
    ASSERT_EQ(effect->BeginPass(0), D3D_OK);
    DWORD cull = 0, srcBlend = 0, alphaRef = 0;
    device->GetRenderState(D3DRS_CULLMODE, &cull);
    device->GetRenderState(D3DRS_SRCBLEND, &srcBlend);
    device->GetRenderState(D3DRS_ALPHAREF, &alphaRef);
    EXPECT_EQ(cull, c.cull);
    EXPECT_EQ(srcBlend, c.srcBlend);
    EXPECT_EQ(alphaRef, c.alphaRef);
    effect->EndPass();
    effect->End();
  }
  effect->Release();
  // An expression whose names are neither parameters nor values is refused.
  ID3DXBuffer* errors = nullptr;
  ID3DXEffect* refused = nullptr;
  const char* text = "technique t { pass p { CullMode = (nowhere ? 1 : 3); } }";
  EXPECT_NE(D3DXCreateEffect(device, text, UINT(std::strlen(text)), nullptr, nullptr, 0, nullptr,
                             &refused, &errors),
            D3D_OK);
  ASSERT_NE(errors, nullptr);
  EXPECT_NE(std::string(static_cast<const char*>(errors->GetBufferPointer()))
                .find("invalid value for CullMode"),
            std::string::npos);
  errors->Release();
}

// Parameters changed inside a pass reach the states that follow them at
// CommitChanges (not before); a state whose parameters did not change keeps
// what the application set since the pass began.
TEST_F(EffectTest, CommitChangesSetsAgainTheStatesThatFollowChangedParameters) {
  ID3DXEffect* effect = create(R"(
int ref = 16;
bool twoSided = false;
int fill = 3;
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 white() : COLOR { return float4(1, 1, 1, 1); }
technique t { pass p { AlphaRef = <ref>; CullMode = (twoSided ? 1 : 3); FillMode = <fill>;
  VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 white(); } }
)");
  ASSERT_NE(effect, nullptr);
  auto render = [&](D3DRENDERSTATETYPE s) {
    DWORD v = 0;
    device->GetRenderState(s, &v);
    return v;
  };
  const struct {
    const char* change;
    DWORD alphaRef, cull;
  } cases[] = {{"ref", 32, D3DCULL_CCW}, {"twoSided", 16, D3DCULL_NONE}, {"", 16, D3DCULL_CCW}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    effect->SetInt("ref", 16);
    effect->SetBool("twoSided", FALSE);
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
    ASSERT_EQ(effect->BeginPass(0), D3D_OK);
    EXPECT_EQ(render(D3DRS_ALPHAREF), 16u);
    EXPECT_EQ(render(D3DRS_CULLMODE), DWORD(D3DCULL_CCW));
    device->SetRenderState(D3DRS_FILLMODE, D3DFILL_WIREFRAME);  // the application's own
    if (std::string(c.change) == "ref") effect->SetInt("ref", 32);
    if (std::string(c.change) == "twoSided") effect->SetBool("twoSided", TRUE);
    EXPECT_EQ(render(D3DRS_ALPHAREF), 16u);  // not yet
    EXPECT_EQ(render(D3DRS_CULLMODE), DWORD(D3DCULL_CCW));
    ASSERT_EQ(effect->CommitChanges(), D3D_OK);
    EXPECT_EQ(render(D3DRS_ALPHAREF), c.alphaRef);
    EXPECT_EQ(render(D3DRS_CULLMODE), c.cull);
    EXPECT_EQ(render(D3DRS_FILLMODE), DWORD(D3DFILL_WIREFRAME));
    effect->EndPass();
    effect->End();
    EXPECT_EQ(render(D3DRS_FILLMODE), DWORD(D3DFILL_SOLID));
  }
  effect->Release();
}

// The same for the states of a sampler_state and the textures of a pass:
// at CommitChanges those that follow a changed parameter are set again,
// the others keep what the application set since the pass began.
TEST_F(EffectTest, CommitChangesSetsAgainTheSamplerStatesThatFollowChangedParameters) {
  IDirect3DTexture9* first = redThenBlue();
  IDirect3DTexture9* second = redThenBlue();
  IDirect3DTexture9* own = redThenBlue();
  ASSERT_TRUE(first && second && own);
  ID3DXEffect* effect = create(R"(
int filter = 1;
texture image;
texture other;
sampler2D source = sampler_state { Texture = <image>; MagFilter = <filter>; AddressU = Clamp; };
struct Out { float4 p : POSITION; float2 uv : TEXCOORD0; };
Out vs(float4 p : POSITION, float2 uv : TEXCOORD0) { Out o; o.p = p; o.uv = uv; return o; }
float4 ps(Out input) : COLOR { return tex2D(source, input.uv); }
technique tec0 { pass { Texture[1] = <other>; VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  ASSERT_NE(effect, nullptr);
  auto sampler = [&](D3DSAMPLERSTATETYPE s) {
    DWORD v = 0;
    device->GetSamplerState(0, s, &v);
    return v;
  };
  auto bound = [&](DWORD stage) {
    IDirect3DBaseTexture9* t = nullptr;
    device->GetTexture(stage, &t);
    if (t) t->Release();
    return t;
  };
  const struct {
    const char* change;
    DWORD filter;
    IDirect3DBaseTexture9 *stage0, *stage1;
  } cases[] = {{"filter", D3DTEXF_LINEAR, own, own},
               {"image", D3DTEXF_POINT, second, own},
               {"other", D3DTEXF_POINT, own, second},
               {"", D3DTEXF_POINT, own, own}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    effect->SetInt("filter", D3DTEXF_POINT);
    effect->SetTexture("image", first);
    effect->SetTexture("other", first);
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
    ASSERT_EQ(effect->BeginPass(0), D3D_OK);
    EXPECT_EQ(sampler(D3DSAMP_MAGFILTER), DWORD(D3DTEXF_POINT));
    EXPECT_EQ(bound(0), first);
    EXPECT_EQ(bound(1), first);
    // The application's own, after the pass began.
    device->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_MIRROR);
    device->SetTexture(0, own);
    device->SetTexture(1, own);
    const std::string change = c.change;
    if (change == "filter") effect->SetInt("filter", D3DTEXF_LINEAR);
    if (change == "image") effect->SetTexture("image", second);
    if (change == "other") effect->SetTexture("other", second);
    ASSERT_EQ(effect->CommitChanges(), D3D_OK);
    EXPECT_EQ(sampler(D3DSAMP_MAGFILTER), c.filter);
    EXPECT_EQ(sampler(D3DSAMP_ADDRESSU), DWORD(D3DTADDRESS_MIRROR));
    EXPECT_EQ(bound(0), c.stage0);
    EXPECT_EQ(bound(1), c.stage1);
    effect->EndPass();
    effect->End();
  }
  effect->Release();
  for (IDirect3DTexture9* t : {first, second, own}) t->Release();
}

// A whole-number state taken from a float parameter, or from an expression
// of one, that lies beyond a DWORD's range: held at the nearest end of it
// (negative numbers as their two's complement); a NaN parameter gives 0.
TEST_F(EffectTest, WholeNumberStatesFromFloatsBeyondTheirRange) {
  ID3DXEffect* effect = create(R"(
float ref = 0;
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 white() : COLOR { return float4(1, 1, 1, 1); }
technique t { pass p { AlphaRef = <ref>; StencilRef = (ref * 2);
  VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 white(); } }
)");
  ASSERT_NE(effect, nullptr);
  const struct {
    float ref;
    DWORD alphaRef, stencilRef;
  } cases[] = {{1e30f, 0xffffffffu, 0xffffffffu},
               {-1e30f, 0x80000000u, 0x80000000u},
               {3e9f, 3000000000u, 0xffffffffu},
               {-1.0f, 0xffffffffu, 0xfffffffeu},
               // An expression that comes to NaN keeps the value it had when the effect was made.
               {std::nanf(""), 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ref);
    device->SetRenderState(D3DRS_STENCILREF, 0x12345678u);
    ASSERT_EQ(effect->SetFloat("ref", c.ref), D3D_OK);
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, D3DXFX_DONOTSAVESTATE), D3D_OK);
    ASSERT_EQ(effect->BeginPass(0), D3D_OK);
    DWORD alphaRef = 1, stencilRef = 1;
    device->GetRenderState(D3DRS_ALPHAREF, &alphaRef);
    device->GetRenderState(D3DRS_STENCILREF, &stencilRef);
    EXPECT_EQ(alphaRef, c.alphaRef);
    EXPECT_EQ(stencilRef, c.stencilRef);
    effect->EndPass();
    effect->End();
  }
  effect->Release();
}

// "Texture[1] = NULL" leaves the stage without a texture for the pass;
// End gives the stage its texture back.
TEST_F(EffectTest, TextureNullEmptiesTheStageForThePass) {
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(1, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  // NULL, or 0 as older files write it.
  for (const char* none : {"NULL", "0"}) {
    SCOPED_TRACE(none);
    ID3DXEffect* effect = create((std::string("technique tec0 { pass p { Texture[1] = ") + none +
                                  "; ColorOp[1] = Disable; } }")
                                     .c_str());
    ASSERT_NE(effect, nullptr);
    device->SetTexture(1, texture);
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
    ASSERT_EQ(effect->BeginPass(0), D3D_OK);
    IDirect3DBaseTexture9* bound = reinterpret_cast<IDirect3DBaseTexture9*>(1);
    device->GetTexture(1, &bound);
    EXPECT_EQ(bound, nullptr);
    effect->EndPass();
    effect->End();
    device->GetTexture(1, &bound);
    EXPECT_EQ(bound, texture);
    if (bound) bound->Release();
    device->SetTexture(1, nullptr);
    effect->Release();
  }
  texture->Release();
}

// States of every kind a pass may set reach the device, and End puts
// them back.
TEST_F(EffectTest, FixedFunctionStatesInPassesReachTheDeviceAndGoBack) {
  ID3DXEffect* effect = create(R"(
float4x4 m = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 1, 2, 3, 1};
float4 lightColour = {0.5, 0.25, 1, 1};
float3 positions[2] = {0, 0, 0, 4, 5, 6};
technique tec0 { pass p {
  CCW_StencilFunc = Equal; CcwStencilPass = Incr; ZWriteEnable = (false); FogColor = float4(1, 0.5, 0, 1); SrcBlend = D3DBLEND_SRCALPHA;
  ColorOp[1] = Modulate2x; ColorArg1[1] = Texture | Complement; TexCoordIndex[2] = CameraSpaceNormal | 1;
  WorldTransform[1] = <m>; ViewTransform = (m); TextureTransform[3] = <m>;
  LightEnable[2] = true; LightType[2] = Point; LightDiffuse[2] = <lightColour>; LightPosition[2] = <positions[1]>;
  LightRange[2] = 10; MaterialPower = 5; MaterialDiffuse = {0.5, 0.25, 1, 1}; AddressU[3] = Mirror;
  MaterialAmbient = (float4(0.25, 0.5, 0, 1)); FVF = XYZ | Diffuse | Tex1;
} }
)");
  ASSERT_NE(effect, nullptr);
  device->SetFVF(D3DFVF_XYZRHW);
  auto fvf = [&] {
    DWORD v = 0;
    device->GetFVF(&v);
    return v;
  };
  auto render = [&](D3DRENDERSTATETYPE s) {
    DWORD v = 0;
    device->GetRenderState(s, &v);
    return v;
  };
  auto stage = [&](DWORD i, D3DTEXTURESTAGESTATETYPE s) {
    DWORD v = 0;
    device->GetTextureStageState(i, s, &v);
    return v;
  };
  auto matrix = [&](D3DTRANSFORMSTATETYPE t) {
    D3DMATRIX m{};
    device->GetTransform(t, &m);
    return m._41 * 100 + m._42 * 10 + m._43 + m._11 * 1000;
  };
  const DWORD before[] = {render(D3DRS_CCW_STENCILFUNC), render(D3DRS_FOGCOLOR),
                          stage(1, D3DTSS_COLOROP), stage(2, D3DTSS_TEXCOORDINDEX)};
  const float viewBefore = matrix(D3DTS_VIEW);
  UINT passes = 0;
  ASSERT_EQ(effect->Begin(&passes, 0), D3D_OK);
  ASSERT_EQ(effect->BeginPass(0), D3D_OK);
  EXPECT_EQ(render(D3DRS_CCW_STENCILFUNC), DWORD(D3DCMP_EQUAL));
  EXPECT_EQ(render(D3DRS_CCW_STENCILPASS), DWORD(D3DSTENCILOP_INCR));
  EXPECT_EQ(render(D3DRS_ZWRITEENABLE), 0u);
  EXPECT_EQ(render(D3DRS_FOGCOLOR), 0xffff8000u);
  EXPECT_EQ(render(D3DRS_SRCBLEND), DWORD(D3DBLEND_SRCALPHA));
  EXPECT_EQ(stage(1, D3DTSS_COLOROP), DWORD(D3DTOP_MODULATE2X));
  EXPECT_EQ(stage(1, D3DTSS_COLORARG1), DWORD(D3DTA_TEXTURE | D3DTA_COMPLEMENT));
  EXPECT_EQ(stage(2, D3DTSS_TEXCOORDINDEX), DWORD(D3DTSS_TCI_CAMERASPACENORMAL | 1));
  EXPECT_FLOAT_EQ(matrix(D3DTS_WORLDMATRIX(1)), 2123);
  EXPECT_FLOAT_EQ(matrix(D3DTS_VIEW), 2123);
  EXPECT_FLOAT_EQ(matrix(D3DTRANSFORMSTATETYPE(D3DTS_TEXTURE0 + 3)), 2123);
  BOOL on = FALSE;
  device->GetLightEnable(2, &on);
  EXPECT_TRUE(on);
  D3DLIGHT9 light{};
  ASSERT_EQ(device->GetLight(2, &light), D3D_OK);
  EXPECT_EQ(light.Type, D3DLIGHT_POINT);
  EXPECT_FLOAT_EQ(light.Diffuse.g, 0.25f);
  EXPECT_FLOAT_EQ(light.Position.y, 5.0f);
  EXPECT_FLOAT_EQ(light.Range, 10.0f);
  D3DMATERIAL9 material{};
  device->GetMaterial(&material);
  EXPECT_FLOAT_EQ(material.Power, 5.0f);
  EXPECT_FLOAT_EQ(material.Diffuse.b, 1.0f);
  EXPECT_FLOAT_EQ(material.Ambient.g, 0.5f);
  DWORD address = 0;
  device->GetSamplerState(3, D3DSAMP_ADDRESSU, &address);
  EXPECT_EQ(address, DWORD(D3DTADDRESS_MIRROR));
  EXPECT_EQ(fvf(), DWORD(D3DFVF_XYZ | D3DFVF_DIFFUSE | D3DFVF_TEX1));
  effect->EndPass();
  effect->End();
  EXPECT_EQ(fvf(), DWORD(D3DFVF_XYZRHW));
  EXPECT_EQ(render(D3DRS_CCW_STENCILFUNC), before[0]);
  EXPECT_EQ(render(D3DRS_FOGCOLOR), before[1]);
  EXPECT_EQ(stage(1, D3DTSS_COLOROP), before[2]);
  EXPECT_EQ(stage(2, D3DTSS_TEXCOORDINDEX), before[3]);
  EXPECT_FLOAT_EQ(matrix(D3DTS_VIEW), viewBefore);
  device->GetLightEnable(2, &on);
  EXPECT_FALSE(on);
  device->GetMaterial(&material);
  EXPECT_FLOAT_EQ(material.Power, 0.0f);
  effect->Release();
}

// "compile ps_2_0 f(args)" binds the function's uniform parameters; what
// is not a Direct3D 9 profile, or not one of the stage, is refused.
TEST_F(EffectTest, CompileWithArgumentsAndProfilesChecked) {
  ID3DXEffect* effect = create(R"(
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 ps(uniform float3 rgb, float2 unused : TEXCOORD0, uniform bool dim) : COLOR {
  return float4(dim ? rgb * 0.5 : rgb, 1);
}
technique red { pass p { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(float3(1, 0, 0), false); } }
technique dimGreen { pass p { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_3_0 ps(float3(0, 1, 0), true); } }
)");
  ASSERT_NE(effect, nullptr);
  ASSERT_EQ(effect->SetTechnique("red"), D3D_OK);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xffff0000, 1));
  ASSERT_EQ(effect->SetTechnique("dimGreen"), D3D_OK);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff008000, 1));
  effect->Release();

  const std::string shaders =
      "float4 vs(float4 p : POSITION) : POSITION { return p; }\n"
      "float4 ps(uniform float k) : COLOR { return k; }\n";
  struct Case {
    const char* pass;
    const char* error;
  } cases[] = {
      {"VertexShader = compile vs_5_0 vs();",
       "memory(3): error: 'vs_5_0' is not a Direct3D 9 shader profile"},
      {"VertexShader = compile nonsense vs();", "'nonsense' is not a Direct3D 9 shader profile"},
      {"PixelShader = compile vs_2_0 vs();", "profile 'vs_2_0' is for the other shader stage"},
      {"PixelShader = compile ps_2_0 ps(1, 2);",
       "'ps' has no definition with 2 uniform parameters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pass);
    const std::string text = shaders + "technique t { pass p { " + c.pass + " } }\n";
    ID3DXEffect* refused = nullptr;
    ID3DXBuffer* errors = nullptr;
    EXPECT_EQ(D3DXCreateEffect(device, text.c_str(), UINT(text.size()), nullptr, nullptr, 0,
                               nullptr, &refused, &errors),
              D3DXERR_INVALIDDATA);
    EXPECT_EQ(refused, nullptr);
    const std::string messages = errorText(errors);
    EXPECT_NE(messages.find(c.error), std::string::npos) << messages;
  }
}

// Macros written by the caller and by the file reach the effect parser as
// well as the compiler: a technique made by a macro, a size from a macro.
TEST_F(EffectTest, MacrosWriteTechniquesAndReachTheCompiler) {
  const char* text = R"(
#define TECHNIQUE(name, ps) technique name { pass { VertexShader = compile vs_2_0 vs(); \
                                                  PixelShader = compile ps_2_0 ps(); } }
float4 tint[COUNT];
#if NOT_A_MACRO(COUNT)
#error not read
#endif
float4 vs(float4 p : POSITION) : POSITION { return p; }
float4 last() : COLOR { return tint[COUNT - 1]; }
TECHNIQUE(fromMacro, last)
)";
  const D3DXMACRO defines[] = {{"COUNT", "2"}, {nullptr, nullptr}};
  ID3DXEffect* effect = nullptr;
  ID3DXBuffer* errors = nullptr;
  const HRESULT r = D3DXCreateEffect(device, text, UINT(std::strlen(text)), defines, nullptr, 0,
                                     nullptr, &effect, &errors);
  // A warning comes back with the effect.
  const std::string messages = errorText(errors);
  ASSERT_EQ(r, D3D_OK) << messages;
  EXPECT_NE(messages.find("memory(5): warning: 'NOT_A_MACRO' is not a macro"), std::string::npos)
      << messages;
  ASSERT_NE(effect->GetTechniqueByName("fromMacro"), nullptr);
  const float tint[8] = {0, 0, 0, 1, 0, 0, 1, 1};
  EXPECT_EQ(effect->SetFloatArray("tint", tint, 8), D3D_OK);
  drawWith(effect);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff0000ff, 1));
  effect->Release();
}

// Effects made, drawn once and dropped, by the hundred: what each leaves
// behind in the driver (its programs and what was compiled for them) must
// go with it, whether the frame ends between them or not.
TEST_F(EffectTest, EffectsMadeDrawnAndDroppedLeaveNothingBehind) {
  struct Case {
    const char* name;
    bool presentEach;
  };
  const Case cases[] = {{"all in one frame", false}, {"a frame each", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto churn = [&](int count) {
      for (int i = 0; i < count; ++i) {
        ID3DXEffect* effect = create(kColourEffect);
        ASSERT_NE(effect, nullptr);
        drawWith(effect);
        effect->Release();
        if (c.presentEach) device->Present(nullptr, nullptr, nullptr, nullptr);
      }
    };
    churn(5);  // the driver's and the compiler's first-use caches
    size_t before = liveHeapBytes();
    churn(30);
    size_t after = liveHeapBytes();
    // Each effect left in the driver holds some hundreds of kilobytes; the
    // bound leaves room for the heap's own bookkeeping only.
    EXPECT_LT(double(after) - double(before), 3.0 * 1024 * 1024)
        << before << " -> " << after << " bytes";
    device->Present(nullptr, nullptr, nullptr, nullptr);
  }
}

// ---------------------------------------------------------------------------
// Texture shaders

class TextureShaderTest : public d3d9_testing::DeviceFixture {
 protected:
  // Compiles `function` of `source` and fills a new w x h texture; null
  // when a step fails.
  IDirect3DTexture9* fill(const std::string& source, const char* function, UINT w, UINT h,
                          std::string* errorsOut = nullptr) {
    ID3DXBuffer* code = nullptr;
    ID3DXBuffer* errors = nullptr;
    ID3DXConstantTable* constants = nullptr;
    HRESULT r = D3DXCompileShader(source.c_str(), UINT(source.size()), nullptr, nullptr, function,
                                  "tx_1_0", D3DXSHADER_DEBUG, &code, &errors, &constants);
    std::string text = errorText(errors);
    if (errorsOut) *errorsOut = text;
    if (r < 0) return nullptr;
    ID3DXTextureShader* shader = nullptr;
    EXPECT_EQ(D3DXCreateTextureShader(static_cast<const DWORD*>(code->GetBufferPointer()), &shader),
              D3D_OK);
    shader->SetDefaults();
    IDirect3DTexture9* texture = nullptr;
    EXPECT_EQ(
        device->CreateTexture(w, h, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
        D3D_OK);
    EXPECT_EQ(D3DXFillTextureTX(texture, shader), D3D_OK);
    shader->Release();
    code->Release();
    constants->Release();
    return texture;
  }
  uint32_t texel(IDirect3DTexture9* texture, int x, int y) {
    D3DLOCKED_RECT locked{};
    texture->LockRect(0, &locked, nullptr, D3DLOCK_READONLY);
    uint32_t value = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(locked.pBits) +
                                                       y * locked.Pitch)[x];
    texture->UnlockRect(0);
    return value;
  }
};

TEST_F(TextureShaderTest, EveryTexelGetsTheFunctionAtItsCentre) {
  IDirect3DTexture9* texture = fill(R"(
float blue = 0.25;
float4 gradient(float2 pos : POSITION, float2 size : PSIZE) : COLOR {
  return float4(pos.x, pos.y, blue, size.x * 4.0);
}
)",
                                    "gradient", 4, 2);
  ASSERT_NE(texture, nullptr);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) {
      int r = int((x + 0.5) / 4 * 255 + 0.5), g = int((y + 0.5) / 2 * 255 + 0.5);
      uint32_t expected = 0xff000000u | uint32_t(r) << 16 | uint32_t(g) << 8 | 64u;
      EXPECT_TRUE(colourNear(texel(texture, x, y), expected, 1)) << x << "," << y;
    }
  texture->Release();
}

// Intrinsics the compiler lacks or gets wrong are our own.
TEST_F(TextureShaderTest, NoiseAndLitIntrinsics) {
  struct Case {
    const char* value;
    uint32_t expected;
  } cases[] = {
      {"lit(0.5, 0.5, 2)", 0xffff8040},
      {"lit(-0.5, 0.5, 2)", 0xffff0000},
      {"lit(0.5, -0.5, 2)", 0xffff8000},
      // Gradient noise is zero at whole-number points.
      {"float4(float3(noise(float2(3, 5)), noise(7.0), noise(float3(1, 2, 3))) * 0.5 + 0.5, 1)",
       0xff808080},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string source =
        std::string("float4 f(float2 p : POSITION) : COLOR { return ") + c.value + "; }";
    IDirect3DTexture9* texture = fill(source, "f", 1, 1);
    ASSERT_NE(texture, nullptr);
    EXPECT_TRUE(colourNear(texel(texture, 0, 0), c.expected, 1));
    texture->Release();
  }
  // Between those points it varies, and stays within -1..1.
  IDirect3DTexture9* texture = fill(
      "float4 f(float2 p : POSITION) : COLOR { return noise(p * 8) * 0.5 + 0.5; }", "f", 16, 16);
  ASSERT_NE(texture, nullptr);
  int low = 255, high = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      int v = d3d9_testing::channel(texel(texture, x, y), 16);
      low = std::min(low, v);
      high = std::max(high, v);
    }
  EXPECT_GT(high - low, 40);
  texture->Release();
}

// The compiler's front end crashes on a shader-wide variable declared again
// with another type: such sources are refused before it sees them. Other
// reuses of a name compile as before.
TEST_F(TextureShaderTest, GlobalsDeclaredAgainWithAnotherTypeAreRefused) {
  const std::string f = "\nfloat4 f(float2 p : POSITION) : COLOR { return float4(p, 0, 1); }\n";
  struct Case {
    const char* globals;
    bool refused;
  } cases[] = {
      {"bool r; float r;", true},
      {"bool r; float r", true},  // without its ";", before the function
      {"float r; float r[2];", true},
      {"float r : A; float2 r : B;", true},
      {"const bool r = true; float r;", true},
      {"uniform bool r; uniform float r;", true},
      {"struct S { float a; }; S r; float r;", true},
      {"cbuffer c { float r; }; int r;", true},
      {"float4 t = {1, 2, 3, 4}; int t;", true},
      {"float r; float r;", false},
      {"float r; float g(float r) { return r; }", false},
      {"struct S { float r; }; float r;", false},
      {"float4 v = float4(1, 2, 3, 4), w; float2 x; /* float v; */ // int v;", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.globals);
    std::string errors;
    IDirect3DTexture9* texture = fill(c.globals + f, "f", 2, 2, &errors);
    EXPECT_EQ(texture == nullptr, c.refused) << errors;
    if (c.refused) {
      EXPECT_NE(errors.find("is declared again with another type"), std::string::npos) << errors;
    }
    if (texture) texture->Release();
  }
}

// The front end also reads past the end of a text whose last word is a
// parameter qualifier, and takes a declaration broken by brackets that do
// not pair up for a second one.
TEST_F(TextureShaderTest, TextTheCompilerCannotTakeIsRefused) {
  const std::string f = "float4 f(float2 p : POSITION) : COLOR { return float4(p, 0, 1); }\n";
  struct Case {
    std::string tail;
    const char* error;
  } cases[] = {
      {"in", "unexpected end of file after 'in'"},
      {"static out", "unexpected end of file after 'out'"},
      {"inout // the end\n", "unexpected end of file after 'inout'"},
      {"in\n#define X 1\n", "unexpected end of file after 'in'"},
      {"float y[1y", "unbalanced '['"},
      {"float a[2);", "unbalanced"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    std::string errors;
    EXPECT_EQ(fill(f + c.tail, "f", 2, 2, &errors), nullptr);
    EXPECT_NE(errors.find(c.error), std::string::npos) << errors;
  }
  IDirect3DTexture9* texture = fill(f + "// in [ (\n", "f", 2, 2);  // comments hold no words
  EXPECT_NE(texture, nullptr);
  if (texture) texture->Release();
}

TEST_F(TextureShaderTest, TextThatCrashesTheCompilerFailsCleanly) {
  std::string errors;
  EXPECT_EQ(
      fill(std::string(kCompilerCrash) + "\nfloat4 f(float2 p : POSITION) : COLOR { return 1; }",
           "f", 2, 2, &errors),
      nullptr);
  EXPECT_EQ(errors, "memory: error: the shader compiler failed on this text\n");
}

TEST_F(TextureShaderTest, CompileFailuresAndTheSourceUpToANul) {
  std::string errors;
  EXPECT_EQ(
      fill("float4 f(float2 p : POSITION) : COLOR { return undefinedThing; }", "f", 2, 2, &errors),
      nullptr);
  EXPECT_NE(errors.find("undefinedThing"), std::string::npos) << errors;
  EXPECT_EQ(fill("float4 f(float2 p : POSITION) : COLOR { return 1; }", "g", 2, 2), nullptr);

  // Whatever follows a NUL byte is not compiled.
  std::string source =
      "float4 f(float2 p : POSITION) : COLOR { return float4(1, 0, noise(p) * 0, 1); }";
  source += '\0';
  source += "this is not HLSL";
  IDirect3DTexture9* texture = fill(source, "f", 2, 2);
  ASSERT_NE(texture, nullptr);
  EXPECT_TRUE(colourNear(texel(texture, 1, 1), 0xffff0000, 1));
  texture->Release();

  ID3DXBuffer* code = nullptr;
  EXPECT_LT(D3DXCompileShader("float4 f() : COLOR { return 1; }", 33, nullptr, nullptr, "f",
                              "ps_2_0", 0, &code, nullptr, nullptr),
            0);
  EXPECT_EQ(code, nullptr);
}

}  // namespace
