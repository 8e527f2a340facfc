// What the presets, fog and lights look like: a scriplet sets them, the test
// draws one full-screen area on the headless device and reads its centre.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "tests/render_state_fixture.h"

using d3d9_testing::colourNear;

namespace {

// One channel (shift 16 red, 8 green, 0 blue) of a colour as 0..1.
float ch(D3DCOLOR c, int shift) { return float((c >> shift) & 0xff) / 255.0f; }

// An opaque colour from per-channel values 0..1 of `f(shift)`.
D3DCOLOR opaque(const std::function<float(int)>& f) {
  D3DCOLOR out = 0xff000000;
  for (int shift : {16, 8, 0})
    out |= D3DCOLOR(std::lround(std::clamp(f(shift), 0.0f, 1.0f) * 255.0f)) << shift;
  return out;
}

struct TexturedVertex {
  float x, y, z, rhw;
  D3DCOLOR diffuse;
  float u, v;
};

struct NormalVertex {
  float x, y, z, nx, ny, nz;
};

class RenderStatePixels : public RenderStateScript {
 protected:
  void SetUp() override {
    RenderStateScript::SetUp();
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    captureAllStates();
  }
  void TearDown() override {
    for (int stage = 0; stage < 2; ++stage) device->SetTexture(DWORD(stage), nullptr);
    for (IDirect3DTexture9* t : textures) t->Release();
    RenderStateScript::TearDown();
  }

  void bindTexture(int stage, D3DCOLOR texel) {
    IDirect3DTexture9* t = nullptr;
    ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
              D3D_OK);
    D3DLOCKED_RECT locked;
    ASSERT_EQ(t->LockRect(0, &locked, nullptr, 0), D3D_OK);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        std::memcpy(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch + x * 4, &texel, 4);
    t->UnlockRect(0);
    textures.push_back(t);
    device->SetTexture(DWORD(stage), t);
  }

  // The whole target cleared to `target`, then covered by one pretransformed
  // rectangle of vertex colour `diffuse`; answers the centre pixel.
  D3DCOLOR drawOver(D3DCOLOR target, D3DCOLOR diffuse) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, target, 1.0f, 0);
    const float w = float(kWidth), h = float(kHeight);
    TexturedVertex v[4] = {{0, 0, 0.5f, 1, diffuse, 0, 0},
                           {w, 0, 0.5f, 1, diffuse, 1, 0},
                           {0, h, 0.5f, 1, diffuse, 0, 1},
                           {w, h, 0.5f, 1, diffuse, 1, 1}};
    device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    return centre();
  }

  // A square facing the viewer over the whole screen at eye depth z, under
  // identity transforms; answers the centre pixel.
  D3DCOLOR drawFacingSquare(float z) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    NormalVertex v[4] = {
        {-1, 1, z, 0, 0, -1}, {1, 1, z, 0, 0, -1}, {-1, -1, z, 0, 0, -1}, {1, -1, z, 0, 0, -1}};
    device->SetFVF(D3DFVF_XYZ | D3DFVF_NORMAL);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    return centre();
  }

  D3DCOLOR centre() { return frame().at(kWidth / 2, kHeight / 2); }

  std::vector<IDirect3DTexture9*> textures;
};

constexpr D3DCOLOR kTarget = 0xff204060;

}  // namespace

// The blend presets over a target, with the vertex colour as the source.
TEST_F(RenderStatePixels, BlendPresetsCombineSourceAndTarget) {
  const D3DCOLOR source = 0xff402010;
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG2);
  device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
  struct Case {
    const char* statement;
    std::function<float(float s, float d)> blend;
  } cases[] = {
      {"blendOp_null();", [](float s, float) { return s; }},
      {"blendOp_additiveBlending();", [](float s, float d) { return s + d; }},
      {"blendOp_colorBurn();", [](float s, float d) { return s * d; }},
      // The factor becomes the draw's alpha: 127 / 255 for 0.5.
      {"blendOp_additiveBlendingFactor(0.5f);", [](float s, float d) { return s * 127 / 255 + d; }},
      {"blendOp_blend(0.5f);",
       [](float s, float d) { return s * 127 / 255 + d * (1 - 127.0f / 255); }},
      {"blendOp_blend(2.0f);",
       [](float s, float d) { return s * 254 / 255 + d * (1 - 254.0f / 255); }},
  };
  for (const Case& c : cases) {
    pushAllStates();
    run(c.statement);
    const D3DCOLOR expected =
        opaque([&](int shift) { return c.blend(ch(source, shift), ch(kTarget, shift)); });
    EXPECT_TRUE(colourNear(drawOver(kTarget, source), expected, 2)) << c.statement;
    popAllStates();
  }
}

// The texture presets with a texture on stage 0 (and one on stage 1 that
// only the two-stage preset reads).
TEST_F(RenderStatePixels, TexturePresetsCombineTexturesAndVertexColour) {
  const D3DCOLOR texel = 0x80c04020, diffuse = 0xff808080;
  const float texelAlpha = 128.0f / 255, stage1Alpha = 64.0f / 255;
  bindTexture(0, texel);
  bindTexture(1, 0x40ffffff);
  struct Case {
    const char* statement;
    std::function<float(int shift)> colour;
  } cases[] = {
      {"textureOp_null();", [&](int shift) { return ch(texel, shift); }},
      {"textureOp_stdLighting();",
       [&](int shift) { return ch(texel, shift) * ch(diffuse, shift); }},
      // Doubled, times the grey factor 63, blended by the texel's alpha.
      {"textureOp_modulate(2, 0.25f);",
       [&](int shift) {
         const float colour = std::min(1.0f, ch(texel, shift) * 63 / 255 * 2);
         return colour * texelAlpha + ch(kTarget, shift) * (1 - texelAlpha);
       }},
      // Colour from stage 0's texture, alpha from stage 1's.
      {"blendOp_2stageModulateAlpha();",
       [&](int shift) {
         return ch(texel, shift) * stage1Alpha + ch(kTarget, shift) * (1 - stage1Alpha);
       }},
  };
  for (const Case& c : cases) {
    pushAllStates();
    run(c.statement);
    EXPECT_TRUE(colourNear(drawOver(kTarget, diffuse), opaque(c.colour), 2)) << c.statement;
    popAllStates();
  }
}

// Linear fog between start and end, in the fog colour; it stays after the
// undo and goes with disableFog.
TEST_F(RenderStatePixels, LinearFogTowardsItsColour) {
  pushAllStates();
  run("enableFog(color(0, 0, 1, 1), 0.0, 1.0);");
  popAllStates();
  EXPECT_TRUE(colourNear(drawFacingSquare(0.25f), 0xffbfbfff, 2));  // a quarter of the way
  run("enableFog(color(1, 0, 0, 1), 0.4, 1.4);");
  EXPECT_TRUE(colourNear(drawFacingSquare(0.9f), 0xffff8080, 2));  // halfway
  run("disableFog();");
  EXPECT_EQ(drawFacingSquare(0.9f), 0xffffffffu);
}

// A directional light with the global ambient on a white material; the
// undo turns lighting off again and leaves the light and material bound.
TEST_F(RenderStatePixels, LightAndAmbientLightUntilTheUndo) {
  pushAllStates();
  run("light l; l.type = 3; l.diffuse = color(1, 0.5, 0.25, 1); l.direction = vector3(0, 0, 1);"
      " l.bind(0); material m; m.diffuse = color(1, 1, 1, 1); m.ambient = color(1, 1, 1, 1);"
      " m.setCurrent(1); l.enable(1); setGlobalAmbient(color(0.2, 0.2, 0.2, 1));");
  // 0.2 is 51 / 255 once packed.
  EXPECT_TRUE(colourNear(drawFacingSquare(0.5f), opaque([](int shift) {
                           const float lit[3] = {0.25f, 0.5f, 1.0f};  // blue, green, red
                           return lit[shift / 8] + 51.0f / 255;
                         }),
                         2));
  popAllStates();
  EXPECT_EQ(drawFacingSquare(0.5f), 0xffffffffu);  // unlit: the vertex colour, white

  // Lighting on again by hand: the light and the material are still there.
  device->SetRenderState(D3DRS_LIGHTING, TRUE);
  EXPECT_TRUE(colourNear(drawFacingSquare(0.5f), 0xffff8040, 2));
}
