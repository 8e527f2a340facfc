// The fixed-function pipeline against Direct3D 9's formulas: lighting, fog,
// texture-stage operations, blending, alpha test and vertex blending. Each
// test draws large flat areas and reads pixels well inside them.
#include <cmath>
#include <cstring>
#include <vector>

#include "tests/d3d9_fixture.h"
#include "tests/eye_light.h"

using d3d9_testing::colourNear;
using d3d9_testing::DeviceFixture;

namespace {

struct Rgb {
  float r, g, b;
};

uint32_t toColour(Rgb c, float a = 1.0f) {
  auto q = [](float v) { return uint32_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
  return q(a) << 24 | q(c.r) << 16 | q(c.g) << 8 | q(c.b);
}

struct NormalVertex {
  float x, y, z, nx, ny, nz;
};
constexpr DWORD kNormalFVF = D3DFVF_XYZ | D3DFVF_NORMAL;

class PipelineTest : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  }

  // A square facing the viewer over the whole screen (the transforms are
  // identities), at eye depth z, with its corners at x, y = +-1.
  void drawFacingSquare(float z) {
    NormalVertex v[4] = {
        {-1, 1, z, 0, 0, -1}, {1, 1, z, 0, 0, -1}, {-1, -1, z, 0, 0, -1}, {1, -1, z, 0, 0, -1}};
    device->SetFVF(kNormalFVF);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  }

  uint32_t centre() { return frame().at(kWidth / 2, kHeight / 2); }

  void setWhiteMaterial() {
    D3DMATERIAL9 m{};
    m.Diffuse = {1, 1, 1, 1};
    m.Ambient = {1, 1, 1, 1};
    device->SetMaterial(&m);
  }
};

}  // namespace

TEST_F(PipelineTest, DirectionalLightWithAmbientAndSpecular) {
  D3DMATERIAL9 m{};
  m.Diffuse = {0.5f, 1.0f, 0.25f, 1.0f};
  m.Ambient = {1.0f, 0.5f, 1.0f, 1.0f};
  m.Specular = {0.2f, 0.2f, 0.2f, 1.0f};
  m.Power = 10.0f;
  device->SetMaterial(&m);
  device->SetRenderState(D3DRS_AMBIENT, 0x00202020);
  D3DLIGHT9 light{};
  light.Type = D3DLIGHT_DIRECTIONAL;
  light.Diffuse = {0.8f, 0.6f, 0.4f, 1.0f};
  light.Ambient = {0.1f, 0.1f, 0.1f, 1.0f};
  light.Specular = {1.0f, 1.0f, 1.0f, 1.0f};
  // 60 degrees from the normal: N.L = 0.5.
  light.Direction = {std::sin(float(M_PI) / 3), 0.0f, std::cos(float(M_PI) / 3)};
  device->SetLight(0, &light);
  device->LightEnable(0, TRUE);
  drawFacingSquare(0.5f);
  float ga = 32.0f / 255.0f;
  Rgb expected = {m.Ambient.r * (ga + 0.1f) + m.Diffuse.r * 0.8f * 0.5f,
                  m.Ambient.g * (ga + 0.1f) + m.Diffuse.g * 0.6f * 0.5f,
                  m.Ambient.b * (ga + 0.1f) + m.Diffuse.b * 0.4f * 0.5f};
  EXPECT_TRUE(colourNear(centre(), toColour(expected), 2));

  // Head-on, with the viewer at infinity: H = N, so specular is Ms * Ls.
  light.Direction = {0, 0, 1};
  device->SetLight(0, &light);
  device->SetRenderState(D3DRS_SPECULARENABLE, TRUE);
  device->SetRenderState(D3DRS_LOCALVIEWER, FALSE);
  drawFacingSquare(0.5f);
  Rgb lit = {m.Ambient.r * (ga + 0.1f) + m.Diffuse.r * 0.8f + 0.2f,
             m.Ambient.g * (ga + 0.1f) + m.Diffuse.g * 0.6f + 0.2f,
             m.Ambient.b * (ga + 0.1f) + m.Diffuse.b * 0.4f + 0.2f};
  EXPECT_TRUE(colourNear(centre(), toColour(lit), 2));

  // Lighting off: the vertex colour (white when the vertex has none).
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->SetRenderState(D3DRS_SPECULARENABLE, FALSE);
  drawFacingSquare(0.5f);
  EXPECT_EQ(centre(), 0xffffffffu);
}

TEST_F(PipelineTest, PointAndSpotLightsAttenuateAndNarrow) {
  setWhiteMaterial();
  // The light sits on the axis in front of the square, so all four corners
  // see it alike and the square is one flat colour.
  D3DLIGHT9 light{};
  light.Type = D3DLIGHT_POINT;
  light.Diffuse = {1.0f, 0.5f, 0.25f, 1.0f};
  light.Position = {0, 0, -1};
  light.Range = 100.0f;
  light.Attenuation0 = 0.5f;
  light.Attenuation1 = 0.2f;
  light.Attenuation2 = 0.1f;
  device->SetLight(0, &light);
  device->LightEnable(0, TRUE);
  drawFacingSquare(0.5f);
  float d = std::sqrt(1.0f + 1.0f + 1.5f * 1.5f);
  float nl = 1.5f / d;
  float att = 1.0f / (0.5f + 0.2f * d + 0.1f * d * d);
  EXPECT_TRUE(colourNear(centre(), toColour({nl * att, 0.5f * nl * att, 0.25f * nl * att}), 2));

  // Out of range: dark.
  light.Range = 2.0f;
  device->SetLight(0, &light);
  drawFacingSquare(0.5f);
  EXPECT_TRUE(colourNear(centre(), 0xff000000, 1));

  // A spot light whose cone edge falls between the corners' angle.
  light.Type = D3DLIGHT_SPOT;
  light.Range = 100.0f;
  light.Direction = {0, 0, 1};
  light.Theta = float(M_PI) / 3;       // inner cone: cos 30 degrees
  light.Phi = 2.0f * float(M_PI) / 3;  // outer cone: cos 60 degrees
  light.Falloff = 2.0f;
  device->SetLight(0, &light);
  drawFacingSquare(0.5f);
  float rho = 1.5f / d;
  float spot = std::pow((rho - 0.5f) / (std::cos(float(M_PI) / 6) - 0.5f), 2.0f);
  EXPECT_TRUE(colourNear(
      centre(), toColour({nl * att * spot, 0.5f * nl * att * spot, 0.25f * nl * att * spot}), 2));
  // A narrow outer cone leaves the corners outside.
  light.Theta = 0.1f;
  light.Phi = 0.2f;
  device->SetLight(0, &light);
  drawFacingSquare(0.5f);
  EXPECT_TRUE(colourNear(centre(), 0xff000000, 1));
}

TEST_F(PipelineTest, MaterialSourcesTakeVertexColours) {
  struct ColourVertex {
    float x, y, z, nx, ny, nz;
    D3DCOLOR diffuse;
  };
  ColourVertex v[4] = {{-1, 1, 0.5f, 0, 0, -1, 0xff408000},
                       {1, 1, 0.5f, 0, 0, -1, 0xff408000},
                       {-1, -1, 0.5f, 0, 0, -1, 0xff408000},
                       {1, -1, 0.5f, 0, 0, -1, 0xff408000}};
  D3DMATERIAL9 m{};
  m.Diffuse = {0, 0, 1, 1};
  m.Emissive = {0, 0, 0.5f, 0};
  device->SetMaterial(&m);
  lightFromEye(device);
  device->SetFVF(D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE);
  // Default: diffuse from the vertex colour.
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]);
  EXPECT_TRUE(colourNear(centre(), 0xff408080, 1));
  // From the material once COLORVERTEX is off.
  device->SetRenderState(D3DRS_COLORVERTEX, FALSE);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]);
  EXPECT_TRUE(colourNear(centre(), 0xff0000ff, 1));
  // Emissive from the vertex.
  device->SetRenderState(D3DRS_COLORVERTEX, TRUE);
  device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_MATERIAL);
  device->SetRenderState(D3DRS_EMISSIVEMATERIALSOURCE, D3DMCS_COLOR1);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]);
  EXPECT_TRUE(colourNear(centre(), 0xff4080ff, 1));
}

TEST_F(PipelineTest, LightsOfEveryKindAddUp) {
  setWhiteMaterial();
  // One light per colour channel, set and enabled in no particular order
  // of their types; a fourth, white, is set but not enabled.
  D3DLIGHT9 directional{};
  directional.Type = D3DLIGHT_DIRECTIONAL;
  directional.Diffuse = {0.5f, 0, 0, 1};
  directional.Direction = {0, 0, 1};
  D3DLIGHT9 point{};
  point.Type = D3DLIGHT_POINT;
  point.Diffuse = {0, 1, 0, 1};
  point.Ambient = {0.2f, 0, 0, 1};
  point.Position = {0, 0, -1};
  point.Range = 100;
  point.Attenuation0 = 1;
  point.Attenuation2 = 0.25f;
  D3DLIGHT9 spot = point;
  spot.Type = D3DLIGHT_SPOT;
  spot.Diffuse = {0, 0, 1, 1};
  spot.Ambient = {0, 0, 0, 1};
  spot.Direction = {0, 0, 1};
  spot.Attenuation2 = 0;
  spot.Theta = float(M_PI) / 2;  // the corners lie inside the inner cone
  spot.Phi = 2 * float(M_PI) / 3;
  spot.Falloff = 1;
  D3DLIGHT9 unused = directional;
  unused.Diffuse = {1, 1, 1, 1};
  device->SetLight(5, &spot);
  device->SetLight(2, &point);
  device->SetLight(7, &directional);
  device->SetLight(1, &unused);
  device->LightEnable(5, TRUE);
  device->LightEnable(2, TRUE);
  device->LightEnable(7, TRUE);
  drawFacingSquare(0.5f);
  float d2 = 1 + 1 + 1.5f * 1.5f, d = std::sqrt(d2);
  float nl = 1.5f / d;  // from every corner to the lights on the axis
  float att = 1 / (1 + 0.25f * d2);
  Rgb expected = {0.5f + 0.2f * att, nl * att, nl};
  EXPECT_TRUE(colourNear(centre(), toColour(expected), 2));
  // Switching one off removes just its share.
  device->LightEnable(2, FALSE);
  drawFacingSquare(0.5f);
  EXPECT_TRUE(colourNear(centre(), toColour({0.5f, 0, nl}), 2));
}

TEST_F(PipelineTest, NormalsScaleWithTheWorldUnlessNormalized) {
  setWhiteMaterial();
  lightFromEye(device);
  // Scaled by two, the normals come out half as long (they go through the
  // inverse transpose), and so does the light they catch.
  D3DMATRIX world{};
  world._11 = world._22 = world._33 = 2;
  world._44 = 1;
  device->SetTransform(D3DTS_WORLD, &world);
  drawFacingSquare(0.25f);
  EXPECT_TRUE(colourNear(centre(), toColour({0.5f, 0.5f, 0.5f}), 2));
  device->SetRenderState(D3DRS_NORMALIZENORMALS, TRUE);
  drawFacingSquare(0.25f);
  EXPECT_TRUE(colourNear(centre(), 0xffffffff, 1));
}

TEST_F(PipelineTest, EachMaterialSourceTakesItsColour) {
  struct ColourVertex {
    float x, y, z, nx, ny, nz;
    D3DCOLOR diffuse, specular;
  };
  const D3DCOLOR c1 = 0xff402010, c2 = 0xff103050;
  ColourVertex v[4] = {{-1, 1, 0.5f, 0, 0, -1, c1, c2},
                       {1, 1, 0.5f, 0, 0, -1, c1, c2},
                       {-1, -1, 0.5f, 0, 0, -1, c1, c2},
                       {1, -1, 0.5f, 0, 0, -1, c1, c2}};
  D3DMATERIAL9 m{};
  m.Diffuse = {0.2f, 0.3f, 0.1f, 1};
  m.Ambient = {0.1f, 0.2f, 0.3f, 1};
  m.Specular = {0.3f, 0.1f, 0.2f, 1};
  m.Emissive = {0.05f, 0.1f, 0.15f, 1};
  m.Power = 4;
  device->SetMaterial(&m);
  D3DLIGHT9 light{};
  light.Type = D3DLIGHT_DIRECTIONAL;
  light.Diffuse = {0.5f, 0.5f, 0.5f, 1};
  light.Ambient = {0.2f, 0.2f, 0.2f, 1};
  light.Specular = {0.5f, 0.5f, 0.5f, 1};
  light.Direction = {0, 0, 1};  // head-on: N.L = 1 and, with the viewer far, N.H = 1
  device->SetLight(0, &light);
  device->LightEnable(0, TRUE);
  device->SetRenderState(D3DRS_AMBIENT, 0x00202020);
  device->SetRenderState(D3DRS_SPECULARENABLE, TRUE);
  device->SetRenderState(D3DRS_LOCALVIEWER, FALSE);
  device->SetFVF(D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_SPECULAR);
  const float ga = 32.0f / 255.0f;
  struct Case {
    BOOL colourVertex;
    DWORD diffuse, ambient, specular, emissive;
  } cases[] = {
      {TRUE, D3DMCS_COLOR1, D3DMCS_MATERIAL, D3DMCS_COLOR2, D3DMCS_MATERIAL},  // the defaults
      {TRUE, D3DMCS_MATERIAL, D3DMCS_COLOR2, D3DMCS_COLOR1, D3DMCS_COLOR1},
      {TRUE, D3DMCS_COLOR2, D3DMCS_COLOR1, D3DMCS_MATERIAL, D3DMCS_COLOR2},
      {FALSE, D3DMCS_COLOR1, D3DMCS_COLOR1, D3DMCS_COLOR2, D3DMCS_COLOR2},  // material throughout
  };
  for (const Case& c : cases) {
    device->SetRenderState(D3DRS_COLORVERTEX, c.colourVertex);
    device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, c.diffuse);
    device->SetRenderState(D3DRS_AMBIENTMATERIALSOURCE, c.ambient);
    device->SetRenderState(D3DRS_SPECULARMATERIALSOURCE, c.specular);
    device->SetRenderState(D3DRS_EMISSIVEMATERIALSOURCE, c.emissive);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    auto pick = [&](DWORD source, const D3DCOLORVALUE& material, int k) {
      if (c.colourVertex && source == D3DMCS_COLOR1)
        return float((c1 >> (16 - 8 * k)) & 0xff) / 255;
      if (c.colourVertex && source == D3DMCS_COLOR2)
        return float((c2 >> (16 - 8 * k)) & 0xff) / 255;
      return (&material.r)[k];
    };
    float out[3];
    for (int k = 0; k < 3; ++k) {
      float lit = pick(c.emissive, m.Emissive, k) + pick(c.ambient, m.Ambient, k) * (ga + 0.2f) +
                  pick(c.diffuse, m.Diffuse, k) * 0.5f;
      out[k] = std::min(lit, 1.0f) + pick(c.specular, m.Specular, k) * 0.5f;
    }
    EXPECT_TRUE(colourNear(centre(), toColour({out[0], out[1], out[2]}), 2))
        << c.diffuse << c.ambient << c.specular << c.emissive << " colour vertex "
        << c.colourVertex;
  }
}

TEST_F(PipelineTest, FogAtKnownDepths) {
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->SetRenderState(D3DRS_FOGENABLE, TRUE);
  device->SetRenderState(D3DRS_FOGCOLOR, 0xff0000ff);
  auto f = [](float v) {
    DWORD d;
    std::memcpy(&d, &v, 4);
    return d;
  };
  device->SetRenderState(D3DRS_FOGDENSITY, f(2.0f));
  // The square's corners are all sqrt(2 + z * z) from the eye, so range fog
  // is as flat over it as fog on depth.
  const float corner = std::sqrt(2.0f + 0.25f * 0.25f);
  struct Case {
    D3DRENDERSTATETYPE modeState;
    DWORD mode;
    float z, factor;
    bool range = false;
    float start = 0.0f, end = 1.0f;
  } cases[] = {
      {D3DRS_FOGVERTEXMODE, D3DFOG_LINEAR, 0.25f, 0.75f},
      {D3DRS_FOGVERTEXMODE, D3DFOG_LINEAR, 0.45f, 0.5f, false, 0.2f, 0.7f},
      {D3DRS_FOGVERTEXMODE, D3DFOG_EXP, 0.25f, std::exp(-0.5f)},
      {D3DRS_FOGVERTEXMODE, D3DFOG_EXP2, 0.25f, std::exp(-0.25f)},
      // Range fog: the distance to the eye rather than the depth.
      {D3DRS_FOGVERTEXMODE, D3DFOG_EXP, 0.25f, std::exp(-2.0f * corner), true},
      {D3DRS_FOGVERTEXMODE, D3DFOG_LINEAR, 0.25f, (3.0f - corner) / 3.0f, true, 0.0f, 3.0f},
      {D3DRS_FOGTABLEMODE, D3DFOG_LINEAR, 0.6f, 0.4f},
      {D3DRS_FOGTABLEMODE, D3DFOG_LINEAR, 0.6f, 0.2f, false, 0.5f, 0.625f},
      {D3DRS_FOGTABLEMODE, D3DFOG_EXP, 0.6f, std::exp(-1.2f)},
      {D3DRS_FOGTABLEMODE, D3DFOG_EXP2, 0.6f, std::exp(-1.2f * 1.2f)},
      // Range fog is for vertex fog only: the table still fogs on depth.
      {D3DRS_FOGTABLEMODE, D3DFOG_LINEAR, 0.6f, 0.4f, true},
  };
  for (const Case& c : cases) {
    device->SetRenderState(D3DRS_FOGVERTEXMODE, D3DFOG_NONE);
    device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_NONE);
    device->SetRenderState(c.modeState, c.mode);
    device->SetRenderState(D3DRS_RANGEFOGENABLE, c.range);
    device->SetRenderState(D3DRS_FOGSTART, f(c.start));
    device->SetRenderState(D3DRS_FOGEND, f(c.end));
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    drawFacingSquare(c.z);
    // White fogged toward blue.
    Rgb expected = {c.factor, c.factor, 1.0f};
    EXPECT_TRUE(colourNear(centre(), toColour(expected), 2))
        << c.mode << " at " << c.z << (c.range ? " (range)" : "");
  }
}

namespace {

struct TexturedVertex {
  float x, y, z, rhw;
  D3DCOLOR diffuse, specular;
  float u, v;
};
constexpr DWORD kTexturedFVF = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_SPECULAR | D3DFVF_TEX1;

class TextureStageTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    ASSERT_EQ(
        device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
        D3D_OK);
    fillTexture(texture, kTexel);
    device->SetTexture(0, texture);
    device->SetFVF(kTexturedFVF);
  }
  void TearDown() override {
    device->SetTexture(0, nullptr);
    if (texture) texture->Release();
    PipelineTest::TearDown();
  }

  static void fillTexture(IDirect3DTexture9* t, D3DCOLOR c) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(t->LockRect(0, &locked, nullptr, 0), D3D_OK);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        std::memcpy(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch + x * 4, &c, 4);
    t->UnlockRect(0);
  }

  uint32_t drawQuad() {
    TexturedVertex v[4] = {{0, 0, 0.5f, 1, kDiffuse, kSpecular, 0, 0},
                           {float(kWidth), 0, 0.5f, 1, kDiffuse, kSpecular, 1, 0},
                           {0, float(kHeight), 0.5f, 1, kDiffuse, kSpecular, 0, 1},
                           {float(kWidth), float(kHeight), 0.5f, 1, kDiffuse, kSpecular, 1, 1}};
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    return centre();
  }

  static constexpr D3DCOLOR kTexel = 0x80c04020;
  static constexpr D3DCOLOR kDiffuse = 0x40608090;
  static constexpr D3DCOLOR kSpecular = 0xc0102030;
  static constexpr D3DCOLOR kFactor = 0xa0405060;
  static constexpr D3DCOLOR kConstant = 0x3070a0d0;  // stage 0's own constant
  IDirect3DTexture9* texture = nullptr;
};

// Channel c (0 alpha, 1 red, 2 green, 3 blue) of a colour as 0..1.
float ch(D3DCOLOR colour, int c) { return float((colour >> (24 - 8 * c)) & 0xff) / 255.0f; }

}  // namespace

TEST_F(TextureStageTest, EachColourOperationOnKnownTexels) {
  device->SetRenderState(D3DRS_TEXTUREFACTOR, kFactor);
  device->SetTextureStageState(0, D3DTSS_CONSTANT, kConstant);
  device->SetRenderState(D3DRS_BLENDFACTOR, 0);
  struct Case {
    D3DTEXTUREOP op;
    DWORD arg1, arg2, arg0;
    float (*expected)(int c);  // per colour channel 1..3
  } cases[] = {
      {D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, [](int c) { return ch(kTexel, c); }},
      {D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, [](int c) { return ch(kDiffuse, c); }},
      {D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return ch(kTexel, c) * ch(kDiffuse, c); }},
      {D3DTOP_MODULATE2X, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::min(1.0f, 2 * ch(kTexel, c) * ch(kDiffuse, c)); }},
      {D3DTOP_MODULATE4X, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::min(1.0f, 4 * ch(kTexel, c) * ch(kDiffuse, c)); }},
      {D3DTOP_ADD, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::min(1.0f, ch(kTexel, c) + ch(kDiffuse, c)); }},
      {D3DTOP_ADDSIGNED, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::clamp(ch(kTexel, c) + ch(kDiffuse, c) - 0.5f, 0.0f, 1.0f); }},
      {D3DTOP_ADDSIGNED2X, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::clamp(2 * (ch(kTexel, c) + ch(kDiffuse, c) - 0.5f), 0.0f, 1.0f); }},
      {D3DTOP_SUBTRACT, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::max(0.0f, ch(kTexel, c) - ch(kDiffuse, c)); }},
      {D3DTOP_ADDSMOOTH, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return ch(kTexel, c) + ch(kDiffuse, c) * (1 - ch(kTexel, c)); }},
      {D3DTOP_BLENDDIFFUSEALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR, 0,
       [](int c) {
         return ch(kTexel, c) * ch(kDiffuse, 0) + ch(kFactor, c) * (1 - ch(kDiffuse, 0));
       }},
      {D3DTOP_BLENDTEXTUREALPHA, D3DTA_TFACTOR, D3DTA_DIFFUSE, 0,
       [](int c) {
         return ch(kFactor, c) * ch(kTexel, 0) + ch(kDiffuse, c) * (1 - ch(kTexel, 0));
       }},
      {D3DTOP_BLENDFACTORALPHA, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) {
         return ch(kTexel, c) * ch(kFactor, 0) + ch(kDiffuse, c) * (1 - ch(kFactor, 0));
       }},
      {D3DTOP_BLENDTEXTUREALPHAPM, D3DTA_TFACTOR, D3DTA_DIFFUSE, 0,
       [](int c) {
         return std::min(1.0f, ch(kFactor, c) + ch(kDiffuse, c) * (1 - ch(kTexel, 0)));
       }},
      {D3DTOP_BLENDCURRENTALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR, 0,
       [](int c) {
         return ch(kTexel, c) * ch(kDiffuse, 0) + ch(kFactor, c) * (1 - ch(kDiffuse, 0));
       }},
      {D3DTOP_MODULATEALPHA_ADDCOLOR, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::min(1.0f, ch(kTexel, c) + ch(kTexel, 0) * ch(kDiffuse, c)); }},
      {D3DTOP_MODULATECOLOR_ADDALPHA, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::min(1.0f, ch(kTexel, c) * ch(kDiffuse, c) + ch(kTexel, 0)); }},
      {D3DTOP_MODULATEINVALPHA_ADDCOLOR, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::min(1.0f, (1 - ch(kTexel, 0)) * ch(kDiffuse, c) + ch(kTexel, c)); }},
      {D3DTOP_MODULATEINVCOLOR_ADDALPHA, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int c) { return std::min(1.0f, (1 - ch(kTexel, c)) * ch(kDiffuse, c) + ch(kTexel, 0)); }},
      {D3DTOP_DOTPRODUCT3, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0,
       [](int) {
         float dot = 0;
         for (int c = 1; c <= 3; ++c) dot += (2 * ch(kTexel, c) - 1) * (2 * ch(kDiffuse, c) - 1);
         return std::clamp(dot, 0.0f, 1.0f);
       }},
      {D3DTOP_MULTIPLYADD, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTA_TFACTOR,
       [](int c) { return std::min(1.0f, ch(kFactor, c) + ch(kTexel, c) * ch(kDiffuse, c)); }},
      {D3DTOP_LERP, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTA_TFACTOR,
       [](int c) {
         return ch(kFactor, c) * ch(kTexel, c) + (1 - ch(kFactor, c)) * ch(kDiffuse, c);
       }},
      // Modifiers: the complement and the replicated alpha.
      {D3DTOP_SELECTARG1, D3DTA_TEXTURE | D3DTA_COMPLEMENT, D3DTA_DIFFUSE, 0,
       [](int c) { return 1 - ch(kTexel, c); }},
      {D3DTOP_SELECTARG1, D3DTA_DIFFUSE | D3DTA_ALPHAREPLICATE, D3DTA_DIFFUSE, 0,
       [](int) { return ch(kDiffuse, 0); }},
      {D3DTOP_SELECTARG1, D3DTA_CONSTANT, D3DTA_DIFFUSE, 0, [](int c) { return ch(kConstant, c); }},
      {D3DTOP_SELECTARG1, D3DTA_TFACTOR | D3DTA_COMPLEMENT | D3DTA_ALPHAREPLICATE, D3DTA_DIFFUSE, 0,
       [](int) { return 1 - ch(kFactor, 0); }},
      // The modifiers apply to the third argument too.
      {D3DTOP_LERP, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTA_CONSTANT | D3DTA_ALPHAREPLICATE,
       [](int c) {
         return ch(kConstant, 0) * ch(kTexel, c) + (1 - ch(kConstant, 0)) * ch(kDiffuse, c);
       }},
      // SPECULARENABLE is off: the specular argument reads as black.
      {D3DTOP_SELECTARG1, D3DTA_SPECULAR, D3DTA_DIFFUSE, 0, [](int) { return 0.0f; }},
  };
  for (const Case& c : cases) {
    device->SetTextureStageState(0, D3DTSS_COLOROP, c.op);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, c.arg1);
    device->SetTextureStageState(0, D3DTSS_COLORARG2, c.arg2);
    device->SetTextureStageState(0, D3DTSS_COLORARG0, c.arg0);
    uint32_t got = drawQuad();
    Rgb expected = {c.expected(1), c.expected(2), c.expected(3)};
    EXPECT_TRUE(colourNear(got | 0xff000000u, toColour(expected), 2)) << "operation " << c.op;
  }
  // With SPECULARENABLE the stage sees the vertex specular, and it is added
  // again after the last stage.
  device->SetRenderState(D3DRS_SPECULARENABLE, TRUE);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_SPECULAR);
  Rgb twice = {std::min(1.0f, 2 * ch(kSpecular, 1)), std::min(1.0f, 2 * ch(kSpecular, 2)),
               std::min(1.0f, 2 * ch(kSpecular, 3))};
  EXPECT_TRUE(colourNear(drawQuad() | 0xff000000u, toColour(twice), 2));
  device->SetRenderState(D3DRS_SPECULARENABLE, FALSE);
}

TEST_F(TextureStageTest, AlphaOperationsCascadeTempAndResult) {
  device->SetRenderState(D3DRS_TEXTUREFACTOR, kFactor);
  // Stage 0 puts the texture into TEMP and leaves CURRENT as the diffuse
  // colour; stage 1 modulates the two; stage 2 adds the factor's alpha to
  // the alpha only.
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
  device->SetTextureStageState(0, D3DTSS_RESULTARG, D3DTA_TEMP);
  device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MODULATE);
  device->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_TEMP);
  device->SetTextureStageState(1, D3DTSS_COLORARG2, D3DTA_CURRENT);
  device->SetTextureStageState(1, D3DTSS_ALPHAOP, D3DTOP_MODULATE);
  device->SetTextureStageState(1, D3DTSS_ALPHAARG1, D3DTA_TEMP);
  device->SetTextureStageState(1, D3DTSS_ALPHAARG2, D3DTA_CURRENT);
  device->SetTextureStageState(2, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(2, D3DTSS_COLORARG1, D3DTA_CURRENT);
  device->SetTextureStageState(2, D3DTSS_ALPHAOP, D3DTOP_ADD);
  device->SetTextureStageState(2, D3DTSS_ALPHAARG1, D3DTA_CURRENT);
  device->SetTextureStageState(2, D3DTSS_ALPHAARG2, D3DTA_TFACTOR);
  // Alpha is invisible in X8R8G8B8: blend with it onto black instead.
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
  device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
  device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ZERO);
  uint32_t got = drawQuad();
  float alpha = std::min(1.0f, ch(kTexel, 0) * ch(kDiffuse, 0) + ch(kFactor, 0));
  Rgb expected = {ch(kTexel, 1) * ch(kDiffuse, 1) * alpha, ch(kTexel, 2) * ch(kDiffuse, 2) * alpha,
                  ch(kTexel, 3) * ch(kDiffuse, 3) * alpha};
  EXPECT_TRUE(colourNear(got, toColour(expected), 2));
  for (int s = 1; s < 3; ++s) device->SetTextureStageState(s, D3DTSS_COLOROP, D3DTOP_DISABLE);
}

TEST_F(TextureStageTest, BlendFactorsAndOperations) {
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
  device->SetRenderState(D3DRS_BLENDFACTOR, kFactor);
  const D3DCOLOR dest = 0xff204060;
  auto s = [](int c) { return ch(kDiffuse, c); };
  auto dst = [&](int c) { return ch(dest, c); };
  struct Factors {
    DWORD src, dst, op;
    float sf, df;  // a single factor for all channels
  } cases[] = {
      {D3DBLEND_ONE, D3DBLEND_ZERO, D3DBLENDOP_ADD, 1, 0},
      {D3DBLEND_ZERO, D3DBLEND_ONE, D3DBLENDOP_ADD, 0, 1},
      {D3DBLEND_SRCALPHA, D3DBLEND_INVSRCALPHA, D3DBLENDOP_ADD, ch(kDiffuse, 0),
       1 - ch(kDiffuse, 0)},
      {D3DBLEND_BOTHSRCALPHA, D3DBLEND_ZERO, D3DBLENDOP_ADD, ch(kDiffuse, 0), 1 - ch(kDiffuse, 0)},
      {D3DBLEND_BOTHINVSRCALPHA, D3DBLEND_ZERO, D3DBLENDOP_ADD, 1 - ch(kDiffuse, 0),
       ch(kDiffuse, 0)},
      // The back buffer has no alpha: destination alpha reads as one.
      {D3DBLEND_DESTALPHA, D3DBLEND_INVDESTALPHA, D3DBLENDOP_ADD, 1, 0},
      {D3DBLEND_ONE, D3DBLEND_ONE, D3DBLENDOP_REVSUBTRACT, 1, 1},
      {D3DBLEND_ONE, D3DBLEND_ONE, D3DBLENDOP_SUBTRACT, 1, 1},
  };
  for (const Factors& c : cases) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, dest, 1.0f, 0);
    device->SetRenderState(D3DRS_SRCBLEND, c.src);
    device->SetRenderState(D3DRS_DESTBLEND, c.dst);
    device->SetRenderState(D3DRS_BLENDOP, c.op);
    uint32_t got = drawQuad();
    float v[3];
    for (int k = 0; k < 3; ++k) {
      float a = s(k + 1) * c.sf, b = dst(k + 1) * c.df;
      v[k] = c.op == D3DBLENDOP_ADD ? a + b : c.op == D3DBLENDOP_SUBTRACT ? a - b : b - a;
    }
    EXPECT_TRUE(colourNear(got, toColour({v[0], v[1], v[2]}), 2)) << c.src << " " << c.dst;
  }
  // The back buffer's unused byte is no alpha: cleared to zero it still
  // reads as one, so SRCALPHASAT (min(As, 1 - Ad)) is zero and DESTALPHA one.
  device->SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_ADD);
  const Factors unusedByte[] = {{D3DBLEND_SRCALPHASAT, D3DBLEND_ONE, D3DBLENDOP_ADD, 0, 1},
                                {D3DBLEND_DESTALPHA, D3DBLEND_DESTALPHA, D3DBLENDOP_ADD, 1, 1}};
  for (const Factors& c : unusedByte) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, dest & 0x00ffffffu, 1.0f, 0);
    device->SetRenderState(D3DRS_SRCBLEND, c.src);
    device->SetRenderState(D3DRS_DESTBLEND, c.dst);
    uint32_t got = drawQuad();
    Rgb expected = {s(1) * c.sf + dst(1) * c.df, s(2) * c.sf + dst(2) * c.df,
                    s(3) * c.sf + dst(3) * c.df};
    EXPECT_TRUE(colourNear(got, toColour(expected), 2)) << c.src << " " << c.dst;
  }
  // Colour factors: source colour times the blend factor, plus the
  // destination times the source colour.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, dest, 1.0f, 0);
  device->SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_ADD);
  device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_BLENDFACTOR);
  device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_SRCCOLOR);
  uint32_t got = drawQuad();
  Rgb expected = {s(1) * ch(kFactor, 1) + dst(1) * s(1), s(2) * ch(kFactor, 2) + dst(2) * s(2),
                  s(3) * ch(kFactor, 3) + dst(3) * s(3)};
  EXPECT_TRUE(colourNear(got, toColour(expected), 2));
  // MIN and MAX ignore the factors.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, dest, 1.0f, 0);
  device->SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_MAX);
  got = drawQuad();
  EXPECT_TRUE(colourNear(
      got, toColour({std::max(s(1), dst(1)), std::max(s(2), dst(2)), std::max(s(3), dst(3))}), 1));
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
  // Colour writes limited to green.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, dest, 1.0f, 0);
  device->SetRenderState(D3DRS_COLORWRITEENABLE, D3DCOLORWRITEENABLE_GREEN);
  got = drawQuad();
  EXPECT_EQ(got, (dest & 0xffff00ffu) | (kDiffuse & 0x0000ff00u));
}

TEST_F(TextureStageTest, EachAlphaOperationOnKnownTexels) {
  device->SetRenderState(D3DRS_TEXTUREFACTOR, kFactor);
  // Stage 0 works on alpha alone (its colour is the diffuse colour); stage
  // 1 shows the alpha it made as grey.
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_CURRENT | D3DTA_ALPHAREPLICATE);
  const float t = ch(kTexel, 0), d = ch(kDiffuse, 0), f = ch(kFactor, 0);
  struct Case {
    D3DTEXTUREOP op;
    DWORD arg1, arg2, arg0;
    float expected;
  } cases[] = {
      {D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, t},
      {D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, d},
      {D3DTOP_SELECTARG1, D3DTA_TEXTURE | D3DTA_COMPLEMENT, D3DTA_DIFFUSE, 0, 1 - t},
      {D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, t * d},
      {D3DTOP_MODULATE2X, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, 2 * t * d},
      {D3DTOP_MODULATE4X, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, std::min(1.0f, 4 * t * d)},
      {D3DTOP_ADD, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, t + d},
      {D3DTOP_ADDSIGNED, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, t + d - 0.5f},
      {D3DTOP_ADDSIGNED2X, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, 2 * (t + d - 0.5f)},
      {D3DTOP_SUBTRACT, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, t - d},
      {D3DTOP_SUBTRACT, D3DTA_DIFFUSE, D3DTA_TEXTURE, 0, 0.0f},  // clamped at zero
      {D3DTOP_ADDSMOOTH, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, t + d - t * d},
      {D3DTOP_BLENDDIFFUSEALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR, 0, t * d + f * (1 - d)},
      {D3DTOP_BLENDTEXTUREALPHA, D3DTA_TFACTOR, D3DTA_DIFFUSE, 0, f * t + d * (1 - t)},
      {D3DTOP_BLENDFACTORALPHA, D3DTA_TEXTURE, D3DTA_DIFFUSE, 0, t * f + d * (1 - f)},
      {D3DTOP_BLENDCURRENTALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR, 0, t * d + f * (1 - d)},
      {D3DTOP_BLENDTEXTUREALPHAPM, D3DTA_TFACTOR, D3DTA_DIFFUSE, 0,
       std::min(1.0f, f + d * (1 - t))},
      {D3DTOP_MULTIPLYADD, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTA_TFACTOR, std::min(1.0f, f + t * d)},
      {D3DTOP_LERP, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTA_TFACTOR, f * t + (1 - f) * d},
  };
  for (const Case& c : cases) {
    device->SetTextureStageState(0, D3DTSS_ALPHAOP, c.op);
    device->SetTextureStageState(0, D3DTSS_ALPHAARG1, c.arg1);
    device->SetTextureStageState(0, D3DTSS_ALPHAARG2, c.arg2);
    device->SetTextureStageState(0, D3DTSS_ALPHAARG0, c.arg0);
    float a = c.expected;
    EXPECT_TRUE(colourNear(drawQuad() | 0xff000000u, toColour({a, a, a}), 2))
        << "operation " << c.op;
  }
  device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
}

namespace {

// Direct3D's blend factor `factor` for channel c (0 to 2 colour, 3 alpha).
float blendFactorOf(DWORD factor, int c, const float src[4], const float dst[4],
                    const float constant[4]) {
  switch (factor) {
    case D3DBLEND_ZERO:
      return 0;
    case D3DBLEND_SRCCOLOR:
      return src[c];
    case D3DBLEND_INVSRCCOLOR:
      return 1 - src[c];
    case D3DBLEND_SRCALPHA:
      return src[3];
    case D3DBLEND_INVSRCALPHA:
      return 1 - src[3];
    case D3DBLEND_DESTALPHA:
      return dst[3];
    case D3DBLEND_INVDESTALPHA:
      return 1 - dst[3];
    case D3DBLEND_DESTCOLOR:
      return dst[c];
    case D3DBLEND_INVDESTCOLOR:
      return 1 - dst[c];
    case D3DBLEND_SRCALPHASAT:
      return c == 3 ? 1 : std::min(src[3], 1 - dst[3]);
    case D3DBLEND_BLENDFACTOR:
      return constant[c];
    case D3DBLEND_INVBLENDFACTOR:
      return 1 - constant[c];
    default:
      return 1;
  }
}

float blendOf(DWORD op, float s, float d, float sf, float df) {
  switch (op) {
    case D3DBLENDOP_SUBTRACT:
      return s * sf - d * df;
    case D3DBLENDOP_REVSUBTRACT:
      return d * df - s * sf;
    case D3DBLENDOP_MIN:
      return std::min(s, d);
    case D3DBLENDOP_MAX:
      return std::max(s, d);
    default:
      return s * sf + d * df;
  }
}

}  // namespace

// Onto a target with alpha, where destination alpha is real and the alpha
// channel can be blended apart from the colour.
TEST_F(TextureStageTest, BlendingOntoATargetWithAlpha) {
  IDirect3DTexture9* targetTexture = nullptr;
  ASSERT_EQ(device->CreateTexture(kWidth, kHeight, 1, D3DUSAGE_RENDERTARGET, D3DFMT_A8R8G8B8,
                                  D3DPOOL_DEFAULT, &targetTexture, nullptr),
            D3D_OK);
  IDirect3DSurface9* back = nullptr;
  IDirect3DSurface9* target = nullptr;
  ASSERT_EQ(device->GetRenderTarget(0, &back), D3D_OK);
  ASSERT_EQ(targetTexture->GetSurfaceLevel(0, &target), D3D_OK);
  ASSERT_EQ(device->SetRenderTarget(0, target), D3D_OK);

  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
  device->SetRenderState(D3DRS_BLENDFACTOR, kFactor);
  const D3DCOLOR dest = 0x80c04020;
  float src[4], dst[4], constant[4];
  for (int c = 0; c < 3; ++c) {
    src[c] = ch(kDiffuse, c + 1);
    dst[c] = ch(dest, c + 1);
    constant[c] = ch(kFactor, c + 1);
  }
  src[3] = ch(kDiffuse, 0);
  dst[3] = ch(dest, 0);
  constant[3] = ch(kFactor, 0);
  struct Case {
    DWORD src, dst, op;
    bool separate;
    DWORD srcAlpha, dstAlpha, opAlpha;
  } cases[] = {
      {D3DBLEND_SRCALPHA, D3DBLEND_INVSRCALPHA, D3DBLENDOP_ADD, false, 0, 0, 0},
      {D3DBLEND_DESTALPHA, D3DBLEND_INVDESTALPHA, D3DBLENDOP_ADD, false, 0, 0, 0},
      {D3DBLEND_DESTCOLOR, D3DBLEND_INVDESTCOLOR, D3DBLENDOP_ADD, false, 0, 0, 0},
      {D3DBLEND_INVSRCCOLOR, D3DBLEND_INVBLENDFACTOR, D3DBLENDOP_ADD, false, 0, 0, 0},
      {D3DBLEND_SRCALPHASAT, D3DBLEND_ONE, D3DBLENDOP_ADD, false, 0, 0, 0},
      {D3DBLEND_BLENDFACTOR, D3DBLEND_ONE, D3DBLENDOP_REVSUBTRACT, false, 0, 0, 0},
      {D3DBLEND_ONE, D3DBLEND_ONE, D3DBLENDOP_MIN, false, 0, 0, 0},
      // Alpha on its own factors and operation.
      {D3DBLEND_ONE, D3DBLEND_ZERO, D3DBLENDOP_ADD, true, D3DBLEND_ZERO, D3DBLEND_ONE,
       D3DBLENDOP_ADD},
      {D3DBLEND_SRCALPHA, D3DBLEND_ONE, D3DBLENDOP_ADD, true, D3DBLEND_ONE, D3DBLEND_ONE,
       D3DBLENDOP_REVSUBTRACT},
      {D3DBLEND_ONE, D3DBLEND_ONE, D3DBLENDOP_SUBTRACT, true, D3DBLEND_INVDESTALPHA,
       D3DBLEND_SRCCOLOR, D3DBLENDOP_MAX},
  };
  for (const Case& c : cases) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, dest, 1.0f, 0);
    device->SetRenderState(D3DRS_SRCBLEND, c.src);
    device->SetRenderState(D3DRS_DESTBLEND, c.dst);
    device->SetRenderState(D3DRS_BLENDOP, c.op);
    device->SetRenderState(D3DRS_SEPARATEALPHABLENDENABLE, c.separate);
    device->SetRenderState(D3DRS_SRCBLENDALPHA, c.srcAlpha ? c.srcAlpha : DWORD(D3DBLEND_ONE));
    device->SetRenderState(D3DRS_DESTBLENDALPHA, c.dstAlpha ? c.dstAlpha : DWORD(D3DBLEND_ZERO));
    device->SetRenderState(D3DRS_BLENDOPALPHA, c.opAlpha ? c.opAlpha : DWORD(D3DBLENDOP_ADD));
    float out[4];
    for (int k = 0; k < 4; ++k) {
      bool alpha = k == 3 && c.separate;
      DWORD sf = alpha ? c.srcAlpha : c.src, df = alpha ? c.dstAlpha : c.dst;
      out[k] = blendOf(alpha ? c.opAlpha : c.op, src[k], dst[k],
                       blendFactorOf(sf, k, src, dst, constant),
                       blendFactorOf(df, k, src, dst, constant));
    }
    EXPECT_TRUE(colourNear(drawQuad(), toColour({out[0], out[1], out[2]}, out[3]), 2))
        << c.src << " " << c.dst << " " << c.op << (c.separate ? " separate" : "");
  }
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
  device->SetRenderState(D3DRS_SEPARATEALPHABLENDENABLE, FALSE);
  device->SetRenderTarget(0, back);
  back->Release();
  target->Release();
  targetTexture->Release();
}

TEST_F(TextureStageTest, AlphaTestAgainstTheReference) {
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
  device->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
  const DWORD alpha = kDiffuse >> 24;  // 0x40
  struct Case {
    DWORD func, ref;
    bool drawn;
  } cases[] = {
      {D3DCMP_GREATER, alpha, false},  {D3DCMP_GREATEREQUAL, alpha, true},
      {D3DCMP_EQUAL, alpha, true},     {D3DCMP_EQUAL, alpha + 1, false},
      {D3DCMP_LESS, alpha + 1, true},  {D3DCMP_LESS, alpha, false},
      {D3DCMP_NOTEQUAL, alpha, false}, {D3DCMP_NEVER, 0, false},
      {D3DCMP_ALWAYS, 0xff, true},     {D3DCMP_LESSEQUAL, alpha, true},
  };
  for (const Case& c : cases) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
    device->SetRenderState(D3DRS_ALPHAFUNC, c.func);
    device->SetRenderState(D3DRS_ALPHAREF, c.ref);
    EXPECT_EQ(drawQuad(), c.drawn ? (kDiffuse | 0xff000000u) : 0xff000000u)
        << c.func << " " << c.ref;
  }
}

TEST_F(PipelineTest, VertexBlendingBetweenTwoWorldMatrices) {
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  struct BlendVertex {
    float x, y, z, weight;
    D3DCOLOR colour;
  };
  // A small square around the origin, moved by two worlds: +0.8 and -0.8
  // in x. With weight 0.75 for the first it lands at +0.4.
  auto square = [](BlendVertex v[4], float w) {
    v[0] = {-0.1f, 0.1f, 0.5f, w, 0xffffffff};
    v[1] = {0.1f, 0.1f, 0.5f, w, 0xffffffff};
    v[2] = {-0.1f, -0.1f, 0.5f, w, 0xffffffff};
    v[3] = {0.1f, -0.1f, 0.5f, w, 0xffffffff};
  };
  D3DMATRIX a{}, b{};
  a._11 = a._22 = a._33 = a._44 = 1;
  b = a;
  a._41 = 0.8f;
  b._41 = -0.8f;
  device->SetTransform(D3DTS_WORLD, &a);
  device->SetTransform(D3DTS_WORLD1, &b);
  device->SetRenderState(D3DRS_VERTEXBLEND, D3DVBF_1WEIGHTS);
  device->SetFVF(D3DFVF_XYZB1 | D3DFVF_DIFFUSE);
  BlendVertex v[4];
  square(v, 0.75f);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  d3d9_test::Frame f = frame();
  // x = +0.4 in the viewport: pixel 0.7 * 64 = 44.8; the square spans 3.2.
  EXPECT_EQ(f.at(45, kHeight / 2), 0xffffffffu);
  EXPECT_EQ(f.at(57, kHeight / 2), 0xff000000u);  // where world 0 alone puts it
  EXPECT_EQ(f.at(6, kHeight / 2), 0xff000000u);   // where world 1 alone does
  // Blending off: the first world matrix alone.
  device->SetRenderState(D3DRS_VERTEXBLEND, D3DVBF_DISABLE);
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]);
  f = frame();
  EXPECT_EQ(f.at(57, kHeight / 2), 0xffffffffu);
  EXPECT_EQ(f.at(45, kHeight / 2), 0xff000000u);

  D3DCAPS9 caps;
  device->GetDeviceCaps(&caps);
  EXPECT_EQ(caps.MaxVertexBlendMatrices, 4u);
}

TEST_F(PipelineTest, VertexBlendingOfThreeAndFourMatrices) {
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  D3DMATRIX worlds[4];
  const float offsets[4][2] = {{0.8f, 0}, {-0.8f, 0}, {0, 0.6f}, {0, -0.6f}};
  for (int i = 0; i < 4; ++i) {
    worlds[i] = D3DMATRIX{};
    worlds[i]._11 = worlds[i]._22 = worlds[i]._33 = worlds[i]._44 = 1;
    worlds[i]._41 = offsets[i][0];
    worlds[i]._42 = offsets[i][1];
    device->SetTransform(D3DTS_WORLDMATRIX(i), &worlds[i]);
  }
  struct BlendVertex {
    float x, y, z, w[3];
    D3DCOLOR colour;
  };
  struct Case {
    DWORD fvf, blend;
    float w[3];  // the last matrix takes what the weights leave
  } cases[] = {
      {D3DFVF_XYZB2, D3DVBF_2WEIGHTS, {0.5f, 0.25f, 0}},
      {D3DFVF_XYZB3, D3DVBF_3WEIGHTS, {0.5f, 0.125f, 0.125f}},
      // Fewer weights in use than the vertex holds: the rest are ignored.
      {D3DFVF_XYZB3, D3DVBF_1WEIGHTS, {0.75f, 0.5f, 0.5f}},
  };
  for (const Case& c : cases) {
    int used = int(c.blend);
    float weights[4] = {};
    float last = 1;
    for (int i = 0; i < used; ++i) last -= weights[i] = c.w[i];
    weights[used] = last;
    float x = 0, y = 0;
    for (int i = 0; i <= used; ++i) {
      x += weights[i] * offsets[i][0];
      y += weights[i] * offsets[i][1];
    }
    // A square of 0.1 around (x, y), read at its centre in pixels.
    BlendVertex v[4];
    const float corners[4][2] = {{-0.1f, 0.1f}, {0.1f, 0.1f}, {-0.1f, -0.1f}, {0.1f, -0.1f}};
    size_t stride = 12 + 4 * (c.fvf == D3DFVF_XYZB3 ? 3 : 2) + 4;
    std::vector<uint8_t> bytes(stride * 4);
    for (int k = 0; k < 4; ++k) {
      v[k] = {corners[k][0], corners[k][1], 0.5f, {c.w[0], c.w[1], c.w[2]}, 0xffffffff};
      std::memcpy(&bytes[stride * size_t(k)], &v[k], stride - 4);
      std::memcpy(&bytes[stride * size_t(k) + stride - 4], &v[k].colour, 4);
    }
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    device->SetRenderState(D3DRS_VERTEXBLEND, c.blend);
    device->SetFVF(c.fvf | D3DFVF_DIFFUSE);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, bytes.data(), UINT(stride)), D3D_OK);
    d3d9_test::Frame f = frame();
    int px = int((x + 1) / 2 * kWidth), py = int((1 - y) / 2 * kHeight);
    EXPECT_EQ(f.at(px, py), 0xffffffffu) << "blend " << c.blend << " at " << x << ", " << y;
    // Where the first world alone would put it stays empty.
    EXPECT_EQ(f.at(int(1.8f / 2 * kWidth), kHeight / 2), 0xff000000u) << "blend " << c.blend;
  }
  device->SetRenderState(D3DRS_VERTEXBLEND, D3DVBF_DISABLE);
}

TEST_F(PipelineTest, StagesReadTheirOwnCoordinateSetTextureAndSampler) {
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  // Two 2 x 1 textures; which texel each stage reads shows which texture
  // and which coordinate set it used.
  auto texture = [&](D3DCOLOR left, D3DCOLOR right) {
    IDirect3DTexture9* t = nullptr;
    EXPECT_EQ(device->CreateTexture(2, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
              D3D_OK);
    D3DLOCKED_RECT locked;
    t->LockRect(0, &locked, nullptr, 0);
    const D3DCOLOR texels[2] = {left, right};
    std::memcpy(locked.pBits, texels, sizeof texels);
    t->UnlockRect(0);
    return t;
  };
  IDirect3DTexture9* first = texture(0xff800000, 0xff008000);
  IDirect3DTexture9* second = texture(0xff000080, 0xff000040);
  device->SetTexture(0, first);
  device->SetTexture(1, second);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_ADD);
  device->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  device->SetTextureStageState(1, D3DTSS_COLORARG2, D3DTA_CURRENT);
  struct Vertex {
    float x, y, z, rhw;
    float u0, v0, u1, v1;
  };
  // Set 0 reads the left texels, set 1 at u = -0.25 the right ones when
  // wrapped and the left ones when clamped.
  Vertex v[4] = {{0, 0, 0.5f, 1, 0.25f, 0.5f, -0.25f, 0.5f},
                 {float(kWidth), 0, 0.5f, 1, 0.25f, 0.5f, -0.25f, 0.5f},
                 {0, float(kHeight), 0.5f, 1, 0.25f, 0.5f, -0.25f, 0.5f},
                 {float(kWidth), float(kHeight), 0.5f, 1, 0.25f, 0.5f, -0.25f, 0.5f}};
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX2);
  struct Case {
    DWORD set0, set1, address1;
    D3DCOLOR expected;
  } cases[] = {
      {0, 1, D3DTADDRESS_WRAP, 0xff800040},
      {0, 1, D3DTADDRESS_CLAMP, 0xff800080},  // stage 1's sampler alone clamps
      {0, 0, D3DTADDRESS_WRAP, 0xff800080},
      {1, 1, D3DTADDRESS_WRAP, 0xff008040},  // stage 0 on set 1: wrapped too
  };
  for (const Case& c : cases) {
    device->SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, c.set0);
    device->SetTextureStageState(1, D3DTSS_TEXCOORDINDEX, c.set1);
    device->SetSamplerState(1, D3DSAMP_ADDRESSU, c.address1);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    EXPECT_EQ(centre(), c.expected) << c.set0 << " " << c.set1 << " " << c.address1;
  }
  device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
  device->SetTexture(0, nullptr);
  device->SetTexture(1, nullptr);
  first->Release();
  second->Release();
}

TEST_F(PipelineTest, BlendedNormalsLightTheVertex) {
  setWhiteMaterial();
  lightFromEye(device);
  // World 1 scales by two, so its normals come out half as long; half of
  // each gives a normal of 0.75 and that much light (no renormalising).
  D3DMATRIX scaled{};
  scaled._11 = scaled._22 = scaled._33 = 2;
  scaled._44 = 1;
  device->SetTransform(D3DTS_WORLDMATRIX(1), &scaled);
  device->SetRenderState(D3DRS_VERTEXBLEND, D3DVBF_1WEIGHTS);
  struct Vertex {
    float x, y, z, weight, nx, ny, nz;
  };
  Vertex v[4] = {{-1, 1, 0.25f, 0.5f, 0, 0, -1},
                 {1, 1, 0.25f, 0.5f, 0, 0, -1},
                 {-1, -1, 0.25f, 0.5f, 0, 0, -1},
                 {1, -1, 0.25f, 0.5f, 0, 0, -1}};
  device->SetFVF(D3DFVF_XYZB1 | D3DFVF_NORMAL);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  EXPECT_TRUE(colourNear(centre(), toColour({0.75f, 0.75f, 0.75f}), 2));
  device->SetRenderState(D3DRS_VERTEXBLEND, D3DVBF_DISABLE);
}
