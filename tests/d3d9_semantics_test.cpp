// Fixed-function details against Direct3D 9's documented behaviour: point
// sprite orientation, formats sampled as Direct3D reads them, fog mode
// precedence, generated coordinates, cube face orientation and locks of
// compressed levels. Expected values come from Direct3D's formulas.
#include <cmath>
#include <cstring>

#include "tests/d3d9_fixture.h"

using d3d9_testing::colourNear;
using d3d9_testing::DeviceFixture;

namespace {

DWORD bits(float f) {
  DWORD d;
  std::memcpy(&d, &f, 4);
  return d;
}

struct ScreenVertex {
  float x, y, z, rhw;
  D3DCOLOR diffuse, specular;
  float u, v;
};
constexpr DWORD kScreenFVF = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_SPECULAR | D3DFVF_TEX1;

class SemanticsTest : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
  }
  void TearDown() override {
    device->SetTexture(0, nullptr);
    for (auto* t : textures) t->Release();
    DeviceFixture::TearDown();
  }

  // A texture of w x h texels in `format`, rows of raw bytes given.
  IDirect3DTexture9* texture(UINT w, UINT h, D3DFORMAT format, const void* bytes, UINT rowBytes) {
    IDirect3DTexture9* t = nullptr;
    EXPECT_EQ(device->CreateTexture(w, h, 1, 0, format, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
    if (!t) return nullptr;
    D3DLOCKED_RECT locked;
    EXPECT_EQ(t->LockRect(0, &locked, nullptr, 0), D3D_OK);
    UINT rows = (format >= D3DFMT_DXT1 && format <= D3DFMT_DXT5) ? (h + 3) / 4 : h;
    for (UINT y = 0; y < rows; ++y)
      std::memcpy(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch,
                  static_cast<const uint8_t*>(bytes) + y * rowBytes, rowBytes);
    t->UnlockRect(0);
    textures.push_back(t);
    return t;
  }

  void screenQuad(float x0, float y0, float x1, float y1, D3DCOLOR diffuse = 0xffffffff,
                  D3DCOLOR specular = 0xff000000) {
    ScreenVertex v[4] = {{x0, y0, 0.5f, 1, diffuse, specular, 0, 0},
                         {x1, y0, 0.5f, 1, diffuse, specular, 1, 0},
                         {x0, y1, 0.5f, 1, diffuse, specular, 0, 1},
                         {x1, y1, 0.5f, 1, diffuse, specular, 1, 1}};
    device->SetFVF(kScreenFVF);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  }

  std::vector<IDirect3DTexture9*> textures;
};

}  // namespace

TEST_F(SemanticsTest, PointSpritesHaveTheTextureTopRowAtTheirTop) {
  // Direct3D gives a sprite's top-left corner (u, v) = (0, 0): the top row
  // of the texture lands on the top of the point on screen.
  const D3DCOLOR texels[4] = {0xffff0000, 0xffff0000, 0xff00ff00, 0xff00ff00};
  device->SetTexture(0, texture(2, 2, D3DFMT_A8R8G8B8, texels, 8));
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetRenderState(D3DRS_POINTSPRITEENABLE, TRUE);
  device->SetRenderState(D3DRS_POINTSIZE, bits(16.0f));
  ScreenVertex point = {32, 24, 0.5f, 1, 0xffffffff, 0, 0, 0};
  device->SetFVF(kScreenFVF);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_POINTLIST, 1, &point, sizeof point), D3D_OK);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(32, 18), 0xffff0000u);
  EXPECT_EQ(f.at(32, 30), 0xff00ff00u);
}

TEST_F(SemanticsTest, SingleChannelFormatsSampleAsDirect3DReadsThem) {
  // Blended onto a grey background so that alpha shows: result =
  // texel * alpha + grey * (1 - alpha).
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
  device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
  device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
  struct Case {
    D3DFORMAT format;
    uint8_t bytes[2];
    UINT size;
    float r, g, b, a;
  } cases[] = {
      {D3DFMT_A8, {0x40, 0}, 1, 0, 0, 0, 0x40 / 255.0f},
      {D3DFMT_L8, {0xc0, 0}, 1, 0xc0 / 255.0f, 0xc0 / 255.0f, 0xc0 / 255.0f, 1},
      {D3DFMT_A8L8, {0xc0, 0x80}, 2, 0xc0 / 255.0f, 0xc0 / 255.0f, 0xc0 / 255.0f, 0x80 / 255.0f},
  };
  for (const Case& c : cases) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff808080, 1.0f, 0);
    device->SetTexture(0, texture(1, 1, c.format, c.bytes, c.size));
    screenQuad(0, 0, 16, 16);
    float grey = 128.0f / 255.0f;
    auto mix = [&](float v) { return uint32_t(std::lround((v * c.a + grey * (1 - c.a)) * 255)); };
    uint32_t expected = 0xff000000u | mix(c.r) << 16 | mix(c.g) << 8 | mix(c.b);
    EXPECT_TRUE(colourNear(frame().at(8, 8), expected, 1)) << c.format;
  }
}

TEST_F(SemanticsTest, TableFogTakesPrecedenceAndPretransformedFogComesFromSpecularAlpha) {
  device->SetRenderState(D3DRS_FOGENABLE, TRUE);
  device->SetRenderState(D3DRS_FOGCOLOR, 0xff0000ff);
  device->SetRenderState(D3DRS_FOGSTART, bits(0.0f));
  device->SetRenderState(D3DRS_FOGEND, bits(1.0f));
  // Pretransformed, no table fog: the factor is the specular alpha (0x40).
  device->SetRenderState(D3DRS_FOGVERTEXMODE, D3DFOG_LINEAR);
  screenQuad(0, 0, 16, 16, 0xffffffff, 0x40000000);
  float f = 0x40 / 255.0f;
  uint32_t v = uint32_t(std::lround(f * 255));
  EXPECT_TRUE(colourNear(frame().at(8, 8), 0xff000000u | v << 16 | v << 8 | 0xff, 1));
  // With table fog as well, the table wins: linear on z = 0.5.
  device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_LINEAR);
  screenQuad(0, 0, 16, 16, 0xffffffff, 0x40000000);
  EXPECT_TRUE(colourNear(frame().at(8, 8), 0xff8080ff, 1));
}

TEST_F(SemanticsTest, CubeFacesKeepDirect3DOrientation) {
  // On the +X face u runs along -z and v along -y: the direction (1, 1, 1)
  // meets its top-left texel and (1, -1, -1) its bottom-right one.
  IDirect3DCubeTexture9* cube = nullptr;
  ASSERT_EQ(device->CreateCubeTexture(2, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &cube, nullptr),
            D3D_OK);
  const D3DCOLOR texels[4] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffffff};
  for (int face = 0; face < 6; ++face) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACES(face), 0, &locked, nullptr, 0), D3D_OK);
    for (int y = 0; y < 2; ++y)
      std::memcpy(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch, texels + 2 * y, 8);
    cube->UnlockRect(D3DCUBEMAP_FACES(face), 0);
  }
  device->SetTexture(0, cube);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  struct CubeVertex {
    float x, y, z, rhw, u, v, w;
  };
  struct Case {
    float u, v, w;
    D3DCOLOR expected;
  } cases[] = {
      {1, 0.9f, 0.9f, texels[0]},
      {1, 0.9f, -0.9f, texels[1]},
      {1, -0.9f, 0.9f, texels[2]},
      {1, -0.9f, -0.9f, texels[3]},
      // The other faces' top-left texels: -X (u along +z), +Y (u along +x,
      // v along +z), -Y (v along -z), +Z and -Z (v along -y).
      {-1, 0.9f, -0.9f, texels[0]},
      {-0.9f, 1, -0.9f, texels[0]},
      {-0.9f, -1, 0.9f, texels[0]},
      {-0.9f, 0.9f, 1, texels[0]},
      {0.9f, 0.9f, -1, texels[0]},
      {0.9f, -0.9f, 1, texels[3]},
  };
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE3(0));
  for (const Case& c : cases) {
    CubeVertex v[4] = {{0, 0, 0.5f, 1, c.u, c.v, c.w},
                       {16, 0, 0.5f, 1, c.u, c.v, c.w},
                       {0, 16, 0.5f, 1, c.u, c.v, c.w},
                       {16, 16, 0.5f, 1, c.u, c.v, c.w}};
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    EXPECT_EQ(frame().at(8, 8), c.expected) << c.u << " " << c.v << " " << c.w;
  }
  device->SetTexture(0, nullptr);
  cube->Release();
}

TEST_F(SemanticsTest, CompressedAlphaAndSubRectangleLocks) {
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE | D3DTA_ALPHAREPLICATE);
  // DXT3: explicit 4-bit alpha, row 0 alpha 0xf, rows 1-3 alpha 0x8.
  const uint8_t dxt3[16] = {0xff, 0xff, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                            0x00, 0xf8, 0x00, 0xf8, 0,    0,    0,    0};
  device->SetTexture(0, texture(4, 4, D3DFMT_DXT3, dxt3, 16));
  screenQuad(0, 0, 16, 16);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(8, 1), 0xffffffffu);
  EXPECT_EQ(f.at(8, 9), 0xff888888u);
  // DXT5: alpha 0 = 0xff, alpha 1 = 0x00, every index 1: transparent.
  const uint8_t dxt5[16] = {0xff, 0x00, 0x49, 0x92, 0x24, 0x49, 0x92, 0x24,
                            0x00, 0xf8, 0x00, 0xf8, 0,    0,    0,    0};
  device->SetTexture(0, texture(4, 4, D3DFMT_DXT5, dxt5, 16));
  screenQuad(0, 0, 16, 16);
  EXPECT_EQ(frame().at(8, 8), 0xff000000u);
  // DXT1 with colour 0 <= colour 1 has a transparent fourth colour.
  const uint8_t dxt1[8] = {0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  device->SetTexture(0, texture(4, 4, D3DFMT_DXT1, dxt1, 8));
  screenQuad(0, 0, 16, 16);
  EXPECT_EQ(frame().at(8, 8), 0xff000000u);
  // A lock of the second block row of an 8x8 DXT1 level points at it.
  IDirect3DTexture9* t = nullptr;
  ASSERT_EQ(device->CreateTexture(8, 8, 1, 0, D3DFMT_DXT1, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
  D3DLOCKED_RECT whole, part;
  ASSERT_EQ(t->LockRect(0, &whole, nullptr, 0), D3D_OK);
  t->UnlockRect(0);
  RECT r = {4, 4, 8, 8};
  ASSERT_EQ(t->LockRect(0, &part, &r, 0), D3D_OK);
  EXPECT_EQ(part.Pitch, 16);
  EXPECT_EQ(static_cast<uint8_t*>(part.pBits) - static_cast<uint8_t*>(whole.pBits), 16 + 8);
  t->UnlockRect(0);
  t->Release();
  // The same for a surface of its own in memory.
  IDirect3DSurface9* plain = nullptr;
  ASSERT_EQ(
      device->CreateOffscreenPlainSurface(8, 8, D3DFMT_DXT1, D3DPOOL_SYSTEMMEM, &plain, nullptr),
      D3D_OK);
  ASSERT_EQ(plain->LockRect(&whole, nullptr, 0), D3D_OK);
  plain->UnlockRect();
  ASSERT_EQ(plain->LockRect(&part, &r, 0), D3D_OK);
  EXPECT_EQ(part.Pitch, 16);
  EXPECT_EQ(static_cast<uint8_t*>(part.pBits) - static_cast<uint8_t*>(whole.pBits), 16 + 8);
  plain->UnlockRect();
  plain->Release();
}

TEST_F(SemanticsTest, CameraSpaceNormalAsCoordinates) {
  // A 2x1 texture: u < 0.5 red, else green. The unit normal (0.6, 0, -0.8)
  // in camera space gives u = 0.6: green.
  const D3DCOLOR texels[2] = {0xffff0000, 0xff00ff00};
  device->SetTexture(0, texture(2, 1, D3DFMT_A8R8G8B8, texels, 8));
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, D3DTSS_TCI_CAMERASPACENORMAL);
  device->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
  struct Vertex {
    float x, y, z, nx, ny, nz;
  } quad[4] = {{-1, 1, 0.5f, 0.6f, 0, -0.8f},
               {1, 1, 0.5f, 0.6f, 0, -0.8f},
               {-1, -1, 0.5f, 0.6f, 0, -0.8f},
               {1, -1, 0.5f, 0.6f, 0, -0.8f}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_NORMAL);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_EQ(frame().at(32, 24), texels[1]);
  // Through the texture matrix, u = x - 0.15 = 0.45: red.
  D3DMATRIX m{};
  m._11 = m._22 = m._33 = m._44 = 1;
  m._41 = -0.15f;
  device->SetTransform(D3DTS_TEXTURE0, &m);
  device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_EQ(frame().at(32, 24), texels[0]);
}

TEST_F(SemanticsTest, OneComponentCoordinatesSampleTheFirstRow) {
  // Without a texture transform a 1D coordinate reads v = 0: the top row,
  // also when the address mode clamps.
  const D3DCOLOR texels[2] = {0xffff0000, 0xff00ff00};
  device->SetTexture(0, texture(1, 2, D3DFMT_A8R8G8B8, texels, 4));
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetSamplerState(0, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
  struct Vertex {
    float x, y, z, rhw, u;
  } quad[4] = {{0, 0, 0.5f, 1, 0.5f},
               {16, 0, 0.5f, 1, 0.5f},
               {0, 16, 0.5f, 1, 0.5f},
               {16, 16, 0.5f, 1, 0.5f}};
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE1(0));
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_EQ(frame().at(8, 8), texels[0]);
  // Transformed, the 1D coordinate takes its translation from the second
  // row: v = 0.75 is the bottom row.
  struct Vertex3 {
    float x, y, z, u;
  } square[4] = {
      {-1, 1, 0.5f, 0.5f}, {1, 1, 0.5f, 0.5f}, {-1, -1, 0.5f, 0.5f}, {1, -1, 0.5f, 0.5f}};
  D3DMATRIX m{};
  m._11 = m._44 = 1;
  m._22 = 0.75f;  // v = 1 * 0.75 from the filled second component
  device->SetTransform(D3DTS_TEXTURE0, &m);
  device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
  device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE1(0));
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, square, sizeof square[0]), D3D_OK);
  EXPECT_EQ(frame().at(32, 24), texels[1]);
}

TEST_F(SemanticsTest, LocalViewerSpecularUsesTheDirectionToTheEye) {
  // A square at eye depth 1 spanning x, y = +-1 (identity transforms), lit
  // head-on. Per vertex, with the eye at the origin, a corner P = (+-1,
  // +-1, 1) has H = norm(norm(-P) + (0, 0, -1)) and N.H = 1.577 / 1.776.
  device->SetRenderState(D3DRS_LIGHTING, TRUE);
  D3DMATERIAL9 m{};
  m.Specular = {1, 1, 1, 1};
  m.Power = 10.0f;
  device->SetMaterial(&m);
  D3DLIGHT9 light{};
  light.Type = D3DLIGHT_DIRECTIONAL;
  light.Specular = {1, 1, 1, 1};
  light.Direction = {0, 0, 1};
  device->SetLight(0, &light);
  device->LightEnable(0, TRUE);
  device->SetRenderState(D3DRS_SPECULARENABLE, TRUE);
  struct Vertex {
    float x, y, z, nx, ny, nz;
  } quad[4] = {
      {-1, 1, 1, 0, 0, -1}, {1, 1, 1, 0, 0, -1}, {-1, -1, 1, 0, 0, -1}, {1, -1, 1, 0, 0, -1}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_NORMAL);
  float s = 1.0f / std::sqrt(3.0f);
  float hz = s + 1, length = std::sqrt(2 * s * s + hz * hz);
  uint32_t v = uint32_t(std::lround(std::pow(hz / length, 10.0f) * 255));
  struct Case {
    DWORD localViewer;
    uint32_t expected;
  } cases[] = {{TRUE, 0xff000000u | v * 0x010101u}, {FALSE, 0xffffffffu}};
  for (const Case& c : cases) {
    device->SetRenderState(D3DRS_LOCALVIEWER, c.localViewer);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
    EXPECT_TRUE(colourNear(frame().at(32, 24), c.expected, 2)) << c.localViewer;
  }
}

TEST_F(SemanticsTest, TableFogUnderAPerspectiveProjectionUsesEyeDepth) {
  // A perspective projection (w = eye z): linear table fog from 1 to 3 at
  // eye depth 2 gives the factor 0.5, whatever z the projection makes.
  D3DMATRIX p{};
  float zn = 0.5f, zf = 10.0f;
  p._11 = p._22 = 1;
  p._33 = zf / (zf - zn);
  p._34 = 1;
  p._43 = -zn * zf / (zf - zn);
  device->SetTransform(D3DTS_PROJECTION, &p);
  device->SetRenderState(D3DRS_FOGENABLE, TRUE);
  device->SetRenderState(D3DRS_FOGCOLOR, 0xff0000ff);
  device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_LINEAR);
  device->SetRenderState(D3DRS_FOGSTART, bits(1.0f));
  device->SetRenderState(D3DRS_FOGEND, bits(3.0f));
  struct Vertex {
    float x, y, z;
  } quad[4] = {{-4, 4, 2}, {4, 4, 2}, {-4, -4, 2}, {4, -4, 2}};
  device->SetFVF(D3DFVF_XYZ);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_TRUE(colourNear(frame().at(32, 24), 0xff8080ff, 1));
}

TEST_F(SemanticsTest, ColorFillConvertsToTheSurfaceFormat) {
  // Each format keeps the channels it has: alpha alone in A8, luminance
  // (taken from red) and alpha in A8L8, five-bit channels in A1R5G5B5.
  struct Case {
    D3DFORMAT format;
    D3DCOLOR colour;
    uint8_t bytes[2];
    UINT size;
  } cases[] = {
      {D3DFMT_A8, 0x80ffffff, {0x80, 0}, 1},
      {D3DFMT_A8L8, 0x40c00000, {0xc0, 0x40}, 2},
      {D3DFMT_A1R5G5B5, 0x80ff0000, {0x00, 0xfc}, 2},
  };
  for (const Case& c : cases) {
    IDirect3DTexture9* t = nullptr;
    ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, c.format, D3DPOOL_DEFAULT, &t, nullptr), D3D_OK);
    IDirect3DSurface9* level = nullptr;
    ASSERT_EQ(t->GetSurfaceLevel(0, &level), D3D_OK);
    ASSERT_EQ(device->ColorFill(level, nullptr, c.colour), D3D_OK);
    D3DLOCKED_RECT locked;
    ASSERT_EQ(t->LockRect(0, &locked, nullptr, D3DLOCK_READONLY), D3D_OK);
    const uint8_t* p = static_cast<const uint8_t*>(locked.pBits) + 2 * locked.Pitch + 2 * c.size;
    EXPECT_EQ(std::memcmp(p, c.bytes, c.size), 0) << c.format << ": " << int(p[0]);
    t->UnlockRect(0);
    level->Release();
    t->Release();
  }
}

TEST_F(SemanticsTest, DisabledStagesEndTheCascade) {
  const D3DCOLOR diffuse = 0x80c06040, factor = 0xff20a0e0;
  device->SetRenderState(D3DRS_TEXTUREFACTOR, factor);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
  for (DWORD stage : {1u, 2u}) {
    device->SetTextureStageState(stage, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(stage, D3DTSS_COLORARG1, D3DTA_TFACTOR);
    device->SetTextureStageState(stage, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(stage, D3DTSS_ALPHAARG1, D3DTA_TFACTOR);
  }
  // Alpha shows through blending onto black: colour times alpha.
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
  device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
  device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ZERO);
  auto scaled = [](D3DCOLOR c, float a) {
    uint32_t out = 0xff000000u;
    for (int shift = 0; shift < 24; shift += 8)
      out |= uint32_t(std::lround(float((c >> shift) & 0xff) * a)) << shift;
    return out;
  };
  float diffuseAlpha = 0x80 / 255.0f;
  struct Case {
    const char* what;
    DWORD stage1ColorOp, stage1AlphaOp;
    uint32_t expected;
  } cases[] = {
      // Stage 1 off: stage 2 is never reached, whatever it holds.
      {"stage 1 disabled", D3DTOP_DISABLE, D3DTOP_SELECTARG1, scaled(diffuse, diffuseAlpha)},
      // Stage 1's alpha off while its colour works: the alpha that came in
      // goes on, and stage 2 still runs.
      {"stage 1 alpha disabled", D3DTOP_SELECTARG1, D3DTOP_DISABLE, scaled(factor, 1.0f)},
  };
  for (const Case& c : cases) {
    device->SetTextureStageState(1, D3DTSS_COLOROP, c.stage1ColorOp);
    device->SetTextureStageState(1, D3DTSS_ALPHAOP, c.stage1AlphaOp);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
    screenQuad(0, 0, 16, 16, diffuse);
    EXPECT_TRUE(colourNear(frame().at(8, 8), c.expected, 2)) << c.what;
  }
  // Stage 2 off too: stage 1's colour with the diffuse alpha.
  device->SetTextureStageState(2, D3DTSS_COLOROP, D3DTOP_DISABLE);
  screenQuad(0, 0, 16, 16, diffuse);
  EXPECT_TRUE(colourNear(frame().at(8, 8), scaled(factor, diffuseAlpha), 2));
}

TEST_F(SemanticsTest, NonPowerOfTwoChainsAndTheirPitches) {
  // 20x6 halves (rounding down, never below 1) to 10x3, 5x1, 2x1, 1x1. A
  // compressed level smaller than a block still takes one block per row.
  const UINT widths[] = {20, 10, 5, 2, 1}, heights[] = {6, 3, 1, 1, 1};
  struct Case {
    D3DFORMAT format;
    INT pitches[5];
  } cases[] = {
      {D3DFMT_A8R8G8B8, {80, 40, 20, 8, 4}},
      {D3DFMT_R5G6B5, {40, 20, 10, 4, 2}},
      {D3DFMT_DXT1, {40, 24, 16, 8, 8}},
      {D3DFMT_DXT5, {80, 48, 32, 16, 16}},
  };
  for (const Case& c : cases) {
    IDirect3DTexture9* t = nullptr;
    ASSERT_EQ(device->CreateTexture(20, 6, 0, 0, c.format, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
    ASSERT_EQ(t->GetLevelCount(), 5u) << c.format;
    for (UINT level = 0; level < 5; ++level) {
      D3DSURFACE_DESC desc;
      ASSERT_EQ(t->GetLevelDesc(level, &desc), D3D_OK);
      EXPECT_EQ(desc.Width, widths[level]);
      EXPECT_EQ(desc.Height, heights[level]);
      D3DLOCKED_RECT locked;
      ASSERT_EQ(t->LockRect(level, &locked, nullptr, 0), D3D_OK);
      EXPECT_EQ(locked.Pitch, c.pitches[level]) << c.format << " level " << level;
      t->UnlockRect(level);
    }
    t->Release();
  }
}
