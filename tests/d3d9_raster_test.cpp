// Raster states and texture coordinates: stencil, scissor, fill and shade
// modes, sampler address modes and filters, generated coordinates and
// texture transforms.
#include <cstring>

#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/d3d9/GLInterop.h"
#include "tests/d3d9_fixture.h"

using d3d9_testing::colourNear;
using d3d9_testing::DeviceFixture;

namespace {

struct ScreenVertex {
  float x, y, z, rhw;
  D3DCOLOR colour;
  float u, v;
};
constexpr DWORD kScreenFVF = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1;

class RasterTest : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device->SetFVF(kScreenFVF);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
  }

  void rectangle(float x0, float y0, float x1, float y1, D3DCOLOR c, float u1 = 1, float v1 = 1) {
    ScreenVertex v[4] = {{x0, y0, 0.5f, 1, c, 0, 0},
                         {x1, y0, 0.5f, 1, c, u1, 0},
                         {x0, y1, 0.5f, 1, c, 0, v1},
                         {x1, y1, 0.5f, 1, c, u1, v1}};
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  }

  // A texture of w x h texels, texel (x, y) = colours[y * w + x].
  IDirect3DTexture9* texture(UINT w, UINT h, const D3DCOLOR* colours) {
    IDirect3DTexture9* t = nullptr;
    EXPECT_EQ(device->CreateTexture(w, h, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
              D3D_OK);
    D3DLOCKED_RECT locked;
    t->LockRect(0, &locked, nullptr, 0);
    for (UINT y = 0; y < h; ++y)
      std::memcpy(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch, colours + y * w, w * 4);
    t->UnlockRect(0);
    return t;
  }
};

}  // namespace

TEST_F(RasterTest, StencilMarksAndMasks) {
  IDirect3DSurface9* depth = nullptr;
  ASSERT_EQ(device->CreateDepthStencilSurface(kWidth, kHeight, D3DFMT_D24S8, D3DMULTISAMPLE_NONE, 0,
                                              FALSE, &depth, nullptr),
            D3D_OK);
  ASSERT_EQ(device->SetDepthStencilSurface(depth), D3D_OK);
  ASSERT_EQ(device->Clear(0, nullptr, D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL, 0, 1.0f, 0), D3D_OK);
  // Mark a rectangle with stencil 1 without drawing colour.
  device->SetRenderState(D3DRS_STENCILENABLE, TRUE);
  device->SetRenderState(D3DRS_STENCILFUNC, D3DCMP_ALWAYS);
  device->SetRenderState(D3DRS_STENCILREF, 1);
  device->SetRenderState(D3DRS_STENCILPASS, D3DSTENCILOP_REPLACE);
  device->SetRenderState(D3DRS_COLORWRITEENABLE, 0);
  rectangle(10, 10, 30, 30, 0xffffffff);
  device->SetRenderState(D3DRS_COLORWRITEENABLE, 0xf);
  // Draw where the stencil equals 1 only.
  device->SetRenderState(D3DRS_STENCILFUNC, D3DCMP_EQUAL);
  device->SetRenderState(D3DRS_STENCILPASS, D3DSTENCILOP_KEEP);
  rectangle(0, 0, 64, 48, 0xff00ff00);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(20, 20), 0xff00ff00u);
  EXPECT_EQ(f.at(5, 5), 0xff000000u);
  EXPECT_EQ(f.at(40, 20), 0xff000000u);
  // Clearing the stencil to 1 opens everything.
  device->Clear(0, nullptr, D3DCLEAR_STENCIL, 0, 1.0f, 1);
  rectangle(0, 0, 64, 48, 0xff0000ff);
  EXPECT_EQ(frame().at(40, 20), 0xff0000ffu);
  device->SetRenderState(D3DRS_STENCILENABLE, FALSE);
  device->SetDepthStencilSurface(nullptr);
  // Without a depth surface, stencil and depth clears are refused.
  EXPECT_EQ(device->Clear(0, nullptr, D3DCLEAR_STENCIL, 0, 1.0f, 0), D3DERR_INVALIDCALL);
  depth->Release();
}

TEST_F(RasterTest, StencilOperationsFacesAndMasks) {
  IDirect3DSurface9* depth = nullptr;
  ASSERT_EQ(device->CreateDepthStencilSurface(kWidth, kHeight, D3DFMT_D24S8, D3DMULTISAMPLE_NONE, 0,
                                              FALSE, &depth, nullptr),
            D3D_OK);
  ASSERT_EQ(device->SetDepthStencilSurface(depth), D3D_OK);
  // Each case clears the stencil to `start` (and depth to `clearZ`), draws
  // a rectangle at depth 0.5 with its states, and then finds the stencil
  // value by drawing where it equals `expected`.
  struct Case {
    const char* name;
    DWORD start, op, expected;
    // Where the operation goes; the other two outcomes would write zero.
    D3DRENDERSTATETYPE outcome = D3DRS_STENCILPASS;
    DWORD func = D3DCMP_ALWAYS, ref = 0, mask = 0xff, writeMask = 0xff;
    float clearZ = 1.0f;
    bool counterClockwise = false, twoSided = false;
  } cases[] = {
      {"keep", 5, D3DSTENCILOP_KEEP, 5},
      {"zero", 5, D3DSTENCILOP_ZERO, 0},
      {.name = "replace", .start = 5, .op = D3DSTENCILOP_REPLACE, .expected = 9, .ref = 9},
      {"increment, saturating", 255, D3DSTENCILOP_INCRSAT, 255},
      {"increment, saturating below the top", 5, D3DSTENCILOP_INCRSAT, 6},
      {"decrement, saturating", 0, D3DSTENCILOP_DECRSAT, 0},
      {"increment, wrapping", 255, D3DSTENCILOP_INCR, 0},
      {"decrement, wrapping", 0, D3DSTENCILOP_DECR, 255},
      {"invert", 5, D3DSTENCILOP_INVERT, 250},
      // Only the write mask's bits change.
      {.name = "write mask",
       .start = 0xa0,
       .op = D3DSTENCILOP_REPLACE,
       .expected = 0xaf,
       .ref = 0xff,
       .writeMask = 0x0f},
      // The test compares ref & mask with stencil & mask.
      {.name = "masked test passes",
       .start = 0x25,
       .op = D3DSTENCILOP_INCRSAT,
       .expected = 0x26,
       .func = D3DCMP_EQUAL,
       .ref = 0x15,
       .mask = 0x0f},
      {.name = "stencil test fails",
       .start = 0x25,
       .op = D3DSTENCILOP_INCRSAT,
       .expected = 0x26,
       .outcome = D3DRS_STENCILFAIL,
       .func = D3DCMP_EQUAL,
       .ref = 0x16,
       .mask = 0x0f},
      {.name = "depth test fails",
       .start = 7,
       .op = D3DSTENCILOP_INCRSAT,
       .expected = 8,
       .outcome = D3DRS_STENCILZFAIL,
       .clearZ = 0.25f},
      // Two-sided: counter-clockwise triangles take the CCW operations
      // (DECR below), clockwise ones and one-sided mode the others.
      {.name = "two-sided, counter-clockwise",
       .start = 5,
       .op = D3DSTENCILOP_INCR,
       .expected = 4,
       .counterClockwise = true,
       .twoSided = true},
      {.name = "two-sided, clockwise",
       .start = 5,
       .op = D3DSTENCILOP_INCR,
       .expected = 6,
       .twoSided = true},
      {.name = "one-sided, counter-clockwise",
       .start = 5,
       .op = D3DSTENCILOP_INCR,
       .expected = 6,
       .counterClockwise = true},
  };
  for (const Case& c : cases) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL, 0xff000000,
                  c.clearZ, c.start);
    device->SetRenderState(D3DRS_STENCILENABLE, TRUE);
    device->SetRenderState(D3DRS_STENCILFUNC, c.func);
    device->SetRenderState(D3DRS_STENCILREF, c.ref);
    device->SetRenderState(D3DRS_STENCILMASK, c.mask);
    device->SetRenderState(D3DRS_STENCILWRITEMASK, c.writeMask);
    for (D3DRENDERSTATETYPE op : {D3DRS_STENCILFAIL, D3DRS_STENCILZFAIL, D3DRS_STENCILPASS})
      device->SetRenderState(op, op == c.outcome ? c.op : DWORD(D3DSTENCILOP_ZERO));
    device->SetRenderState(D3DRS_TWOSIDEDSTENCILMODE, c.twoSided);
    device->SetRenderState(D3DRS_CCW_STENCILFUNC, D3DCMP_ALWAYS);
    device->SetRenderState(D3DRS_CCW_STENCILPASS, D3DSTENCILOP_DECR);
    device->SetRenderState(D3DRS_CCW_STENCILFAIL, D3DSTENCILOP_ZERO);
    device->SetRenderState(D3DRS_CCW_STENCILZFAIL, D3DSTENCILOP_ZERO);
    device->SetRenderState(D3DRS_COLORWRITEENABLE, 0);
    if (c.counterClockwise) {
      ScreenVertex v[4] = {{8, 8, 0.5f, 1, 0, 0, 0},
                           {8, 40, 0.5f, 1, 0, 0, 0},
                           {56, 8, 0.5f, 1, 0, 0, 0},
                           {56, 40, 0.5f, 1, 0, 0, 0}};
      ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    } else {
      rectangle(8, 8, 56, 40, 0xffffffff);
    }
    // The probe: green where the stencil holds `expected`.
    device->SetRenderState(D3DRS_COLORWRITEENABLE, 0xf);
    device->SetRenderState(D3DRS_ZENABLE, D3DZB_FALSE);
    device->SetRenderState(D3DRS_TWOSIDEDSTENCILMODE, FALSE);
    device->SetRenderState(D3DRS_STENCILFUNC, D3DCMP_EQUAL);
    device->SetRenderState(D3DRS_STENCILREF, c.expected);
    device->SetRenderState(D3DRS_STENCILMASK, 0xff);
    for (D3DRENDERSTATETYPE op : {D3DRS_STENCILFAIL, D3DRS_STENCILZFAIL, D3DRS_STENCILPASS})
      device->SetRenderState(op, D3DSTENCILOP_KEEP);
    rectangle(0, 0, 64, 48, 0xff00ff00);
    device->SetRenderState(D3DRS_ZENABLE, D3DZB_TRUE);
    EXPECT_EQ(frame().at(32, 24), 0xff00ff00u) << c.name;
  }
  device->SetRenderState(D3DRS_STENCILENABLE, FALSE);
  device->SetDepthStencilSurface(nullptr);
  depth->Release();
}

TEST_F(RasterTest, ScissorFillAndShadeModes) {
  RECT scissor = {8, 8, 24, 16};
  device->SetScissorRect(&scissor);
  device->SetRenderState(D3DRS_SCISSORTESTENABLE, TRUE);
  rectangle(0, 0, 64, 48, 0xffff0000);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(8, 8), 0xffff0000u);
  EXPECT_EQ(f.at(23, 15), 0xffff0000u);
  EXPECT_EQ(f.at(24, 15), 0xff000000u);
  EXPECT_EQ(f.at(8, 16), 0xff000000u);
  // Clears keep to the scissor rectangle too.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff0000ff, 1.0f, 0);
  f = frame();
  EXPECT_EQ(f.at(10, 10), 0xff0000ffu);
  EXPECT_EQ(f.at(30, 30), 0xff000000u);
  device->SetRenderState(D3DRS_SCISSORTESTENABLE, FALSE);

  // Wireframe leaves the inside of a large rectangle empty.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  device->SetRenderState(D3DRS_FILLMODE, D3DFILL_WIREFRAME);
  rectangle(4, 4, 60, 44, 0xffffffff);
  f = frame();
  EXPECT_EQ(f.at(4, 4), 0xffffffffu);
  EXPECT_EQ(f.at(20, 30), 0xff000000u);
  // Point fill draws the corners alone, one pixel each at the default size.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  device->SetRenderState(D3DRS_FILLMODE, D3DFILL_POINT);
  rectangle(10, 10, 50, 40, 0xffffffff);
  f = frame();
  EXPECT_EQ(f.at(10, 10), 0xffffffffu);
  EXPECT_EQ(f.at(50, 40), 0xffffffffu);
  EXPECT_EQ(f.at(11, 11), 0xff000000u);
  EXPECT_EQ(f.at(30, 10), 0xff000000u);
  EXPECT_EQ(f.at(30, 25), 0xff000000u);
  device->SetRenderState(D3DRS_FILLMODE, D3DFILL_SOLID);

  // Flat shading takes each triangle's first vertex colour.
  device->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_FLAT);
  ScreenVertex v[3] = {{0, 0, 0.5f, 1, 0xffff0000, 0, 0},
                       {64, 0, 0.5f, 1, 0xff00ff00, 0, 0},
                       {0, 48, 0.5f, 1, 0xff0000ff, 0, 0}};
  device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, v, sizeof v[0]);
  f = frame();
  EXPECT_EQ(f.at(2, 2), 0xffff0000u);
  EXPECT_EQ(f.at(30, 5), 0xffff0000u);
  EXPECT_EQ(f.at(3, 35), 0xffff0000u);
  // Gouraud blends them.
  device->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_GOURAUD);
  device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, v, sizeof v[0]);
  EXPECT_FALSE(colourNear(frame().at(30, 5), 0xffff0000, 40));
}

TEST_F(RasterTest, SamplerAddressModesAndFilters) {
  const D3DCOLOR texels[4] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffffff};
  IDirect3DTexture9* t = texture(2, 2, texels);
  device->SetTexture(0, t);
  // Coordinates run to 2: wrap repeats the texture, clamp holds the edge,
  // mirror reflects it, border shows the border colour.
  struct Case {
    DWORD mode;
    D3DCOLOR right;  // the texel seen at u = 1.75, v = 0.25
  } cases[] = {{D3DTADDRESS_WRAP, texels[1]},
               {D3DTADDRESS_CLAMP, texels[1]},
               {D3DTADDRESS_MIRROR, texels[0]},
               {D3DTADDRESS_BORDER, 0xff123456}};
  device->SetSamplerState(0, D3DSAMP_BORDERCOLOR, 0xff123456);
  for (const Case& c : cases) {
    device->SetSamplerState(0, D3DSAMP_ADDRESSU, c.mode);
    device->SetSamplerState(0, D3DSAMP_ADDRESSV, c.mode);
    rectangle(0, 0, 64, 48, 0xffffffff, 2, 2);
    d3d9_test::Frame f = frame();
    // u = 1.75 at x = 56, v = 0.25 at y = 6; u = 1.25 at x = 40.
    EXPECT_EQ(f.at(56, 6), c.right) << c.mode;
    EXPECT_EQ(f.at(8, 6), texels[0]) << c.mode;
  }
  device->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_WRAP);
  device->SetSamplerState(0, D3DSAMP_ADDRESSV, D3DTADDRESS_WRAP);
  // Point sampling keeps texels whole; linear blends across the middle.
  rectangle(0, 0, 64, 48, 0xffffffff);
  EXPECT_EQ(frame().at(31, 10), texels[0]);
  device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
  device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
  device->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
  device->SetSamplerState(0, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
  rectangle(0, 0, 64, 48, 0xffffffff);
  uint32_t middle = frame().at(32, 12);
  EXPECT_TRUE(colourNear(middle, 0xff808000, 8)) << std::hex << middle;
  device->SetTexture(0, nullptr);
  t->Release();
}

TEST_F(RasterTest, MipLevelsFollowTheMipFilterBiasAndLimit) {
  // An 8 x 8 texture with four levels, each one colour.
  const D3DCOLOR levels[4] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffff00};
  IDirect3DTexture9* t = nullptr;
  ASSERT_EQ(device->CreateTexture(8, 8, 4, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
            D3D_OK);
  for (UINT level = 0; level < 4; ++level) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(t->LockRect(level, &locked, nullptr, 0), D3D_OK);
    UINT size = 8u >> level;
    for (UINT y = 0; y < size; ++y)
      for (UINT x = 0; x < size; ++x)
        std::memcpy(static_cast<uint8_t*>(locked.pBits) + y * UINT(locked.Pitch) + x * 4,
                    &levels[level], 4);
    t->UnlockRect(level);
  }
  device->SetTexture(0, t);
  auto bits = [](float f) {
    DWORD d;
    std::memcpy(&d, &f, sizeof d);
    return d;
  };
  struct Case {
    DWORD mipFilter, maxLevel;
    float bias, pixels;  // the texture drawn over pixels x pixels
    int level;
  } cases[] = {
      {D3DTEXF_NONE, 0, 0, 2, 0},   // four texels a pixel, but no mipmapping
      {D3DTEXF_POINT, 0, 0, 2, 2},  // four texels a pixel: level 2
      {D3DTEXF_POINT, 0, 0, 8, 0},
      {D3DTEXF_POINT, 0, -1, 2, 1},  // the bias moves one level up
      {D3DTEXF_POINT, 0, 1, 2, 3},
      {D3DTEXF_POINT, 3, 0, 2, 3},  // no level more detailed than the limit
      {D3DTEXF_POINT, 1, 0, 2, 2},  // a limit above the level chosen changes nothing
      {D3DTEXF_POINT, 2, 0, 8, 2},
  };
  for (const Case& c : cases) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
    device->SetSamplerState(0, D3DSAMP_MIPFILTER, c.mipFilter);
    device->SetSamplerState(0, D3DSAMP_MAXMIPLEVEL, c.maxLevel);
    device->SetSamplerState(0, D3DSAMP_MIPMAPLODBIAS, bits(c.bias));
    rectangle(0, 0, c.pixels, c.pixels, 0xffffffff);
    EXPECT_EQ(frame().at(0, 0), levels[c.level])
        << "filter " << c.mipFilter << ", limit " << c.maxLevel << ", bias " << c.bias << ", over "
        << c.pixels << " pixels";
  }
  device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
  device->SetSamplerState(0, D3DSAMP_MAXMIPLEVEL, 0);
  device->SetSamplerState(0, D3DSAMP_MIPMAPLODBIAS, 0);
  device->SetTexture(0, nullptr);
  t->Release();
}

TEST_F(RasterTest, TextureTransformsAndGeneratedCoordinates) {
  // A 4 x 1 texture: u picks one of four colours.
  const D3DCOLOR texels[4] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffffff};
  IDirect3DTexture9* t = texture(4, 1, texels);
  device->SetTexture(0, t);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  // Transformed vertices so that the transform stage runs: a square over
  // the whole view with u = v = 0 everywhere.
  struct Vertex {
    float x, y, z;
    float u, v;
  } quad[4] = {{-1, 1, 0.5f, 0, 0}, {1, 1, 0.5f, 0, 0}, {-1, -1, 0.5f, 0, 0}, {1, -1, 0.5f, 0, 0}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1);
  auto draw = [&] {
    device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]);
    return frame().at(kWidth / 2, kHeight / 2);
  };
  EXPECT_EQ(draw(), texels[0]);
  // Two-component coordinates take their translation from the third row.
  D3DMATRIX m{};
  m._11 = m._22 = m._33 = m._44 = 1;
  m._31 = 0.625f;  // u = 0.625: the third texel
  device->SetTransform(D3DTS_TEXTURE0, &m);
  EXPECT_EQ(draw(), texels[0]);  // no effect while the transform is off
  device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
  EXPECT_EQ(draw(), texels[2]);
  // Projected: u / v' where the second output component is 2 (_32 = 2).
  m._31 = 0.875f;
  m._22 = 0.0f;
  m._32 = 2.0f;
  device->SetTransform(D3DTS_TEXTURE0, &m);
  device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2 | D3DTTFF_PROJECTED);
  EXPECT_EQ(draw(), texels[1]);  // 0.875 / 2 = 0.4375
  // Wider outputs: u' = 0.875 from the third row, z' = _33 and w' = _34;
  // PROJECTED divides by the last component kept.
  m._22 = 1.0f;
  m._32 = 0.0f;
  m._33 = 4.0f;
  m._34 = 2.0f;
  device->SetTransform(D3DTS_TEXTURE0, &m);
  const struct {
    DWORD flags;
    D3DCOLOR seen;
  } wider[] = {{D3DTTFF_COUNT3, texels[3]},
               {D3DTTFF_COUNT3 | D3DTTFF_PROJECTED, texels[0]},   // 0.875 / 4
               {D3DTTFF_COUNT4 | D3DTTFF_PROJECTED, texels[1]}};  // 0.875 / 2
  for (const auto& c : wider) {
    device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, c.flags);
    EXPECT_EQ(draw(), c.seen) << c.flags;
  }

  // Camera-space position as coordinates: x of the eye position, shifted
  // by the matrix from [-1, 1] into [0, 1].
  D3DMATRIX g{};
  g._11 = 0.5f;
  g._41 = 0.5f;
  g._22 = g._33 = g._44 = 1;
  device->SetTransform(D3DTS_TEXTURE0, &g);
  device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
  device->SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, D3DTSS_TCI_CAMERASPACEPOSITION);
  device->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(4, 20), texels[0]);
  EXPECT_EQ(f.at(20, 20), texels[1]);
  EXPECT_EQ(f.at(40, 20), texels[2]);
  EXPECT_EQ(f.at(60, 20), texels[3]);
  device->SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, 0);
  device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_DISABLE);
  device->SetTexture(0, nullptr);
  t->Release();
}

TEST_F(RasterTest, ProgramsAreSharedBetweenEqualStates) {
  // Changing a state back and forth must not make new programs each time,
  // and states that cannot matter (a disabled stage's arguments) none at all.
  rectangle(0, 0, 8, 8, 0xffffffff);
  device->SetTextureStageState(3, D3DTSS_COLORARG1, D3DTA_TFACTOR);
  device->SetRenderState(D3DRS_FOGCOLOR, 0xff00ff00);
  // The alpha test with its default function ALWAYS is no test at all.
  device->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
  rectangle(0, 0, 8, 8, 0xffffffff);
  EXPECT_EQ(d3d9_test::programCount(device), 1u);
  device->SetRenderState(D3DRS_ALPHAFUNC, D3DCMP_GREATER);
  for (int i = 0; i < 3; ++i) {
    device->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
    rectangle(0, 0, 8, 8, 0xffffffff);
    device->SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);
    rectangle(0, 0, 8, 8, 0xffffffff);
  }
  EXPECT_EQ(d3d9_test::programCount(device), 2u);
}

TEST_F(RasterTest, PointSizeAndClipPlanes) {
  auto asDword = [](float f) {
    DWORD d;
    std::memcpy(&d, &f, 4);
    return d;
  };
  // A point of size 4 centred on pixel (20, 20) covers 18..21.
  device->SetRenderState(D3DRS_POINTSIZE, asDword(4.0f));
  ScreenVertex point = {20, 20, 0.5f, 1, 0xffffff00, 0, 0};
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_POINTLIST, 1, &point, sizeof point), D3D_OK);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(18, 18), 0xffffff00u);
  EXPECT_EQ(f.at(21, 21), 0xffffff00u);
  EXPECT_EQ(f.at(23, 20), 0xff000000u);
  EXPECT_EQ(f.at(16, 20), 0xff000000u);

  // A world-space clip plane x >= 0 keeps the right half of a square.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  const float plane[4] = {1, 0, 0, 0};
  ASSERT_EQ(device->SetClipPlane(0, plane), D3D_OK);
  device->SetRenderState(D3DRS_CLIPPLANEENABLE, D3DCLIPPLANE0);
  struct Vertex {
    float x, y, z;
    D3DCOLOR c;
  } quad[4] = {{-1, 1, 0.5f, 0xff00ffff},
               {1, 1, 0.5f, 0xff00ffff},
               {-1, -1, 0.5f, 0xff00ffff},
               {1, -1, 0.5f, 0xff00ffff}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]);
  f = frame();
  EXPECT_EQ(f.at(10, 20), 0xff000000u);
  EXPECT_EQ(f.at(50, 20), 0xff00ffffu);
  device->SetRenderState(D3DRS_CLIPPLANEENABLE, 0);
}

TEST_F(RasterTest, ColorFillAndRenderTargetData) {
  IDirect3DSurface9* back = nullptr;
  device->GetRenderTarget(0, &back);
  RECT r = {4, 4, 12, 12};
  ASSERT_EQ(device->ColorFill(back, &r, 0xff406080), D3D_OK);
  IDirect3DSurface9* copy = nullptr;
  ASSERT_EQ(device->CreateOffscreenPlainSurface(kWidth, kHeight, D3DFMT_X8R8G8B8, D3DPOOL_SYSTEMMEM,
                                                &copy, nullptr),
            D3D_OK);
  ASSERT_EQ(device->GetRenderTargetData(back, copy), D3D_OK);
  D3DLOCKED_RECT locked;
  ASSERT_EQ(copy->LockRect(&locked, nullptr, D3DLOCK_READONLY), D3D_OK);
  auto pixel = [&](int x, int y) {
    uint32_t p;
    std::memcpy(&p, static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch + x * 4, 4);
    return p | 0xff000000u;
  };
  EXPECT_EQ(pixel(5, 5), 0xff406080u);
  EXPECT_EQ(pixel(12, 12), 0xff000000u);
  copy->UnlockRect();
  RECT outside = {60, 40, 70, 50};
  EXPECT_EQ(device->ColorFill(back, &outside, 0), D3DERR_INVALIDCALL);
  copy->Release();
  back->Release();
}

TEST_F(RasterTest, NonsenseStatesDrawWithoutHarm) {
  // Scripts can put any number into any state; the device must still draw
  // (whatever it draws) and stay usable.
  const DWORD values[] = {0, 0xffffffffu, 0x7fffffffu, 300, 27};
  const DWORD formats[] = {kScreenFVF, D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX2,
                           D3DFVF_XYZB4 | D3DFVF_LASTBETA_UBYTE4 | D3DFVF_NORMAL | D3DFVF_SPECULAR,
                           D3DFVF_XYZW | D3DFVF_PSIZE | D3DFVF_TEX8};
  std::vector<float> vertices(64 * 4, 0.5f);
  // Every program these states ask for must compile: a refused one would
  // be logged and its draws silently dropped.
  static std::vector<std::string> messages;
  messages.clear();
  gLogHook = [](const char* text) { messages.push_back(text); };
  for (DWORD value : values) {
    for (DWORD id = 0; id < D3DRS_COUNT; ++id)
      device->SetRenderState(D3DRENDERSTATETYPE(id), value);
    for (DWORD stage = 0; stage < 8; ++stage)
      for (DWORD type = 1; type < D3DTSS_COUNT; ++type)
        device->SetTextureStageState(stage, D3DTEXTURESTAGESTATETYPE(type), value);
    for (DWORD sampler = 0; sampler < 8; ++sampler)
      for (DWORD type = 1; type < D3DSAMP_COUNT; ++type)
        device->SetSamplerState(sampler, D3DSAMPLERSTATETYPE(type), value);
    for (DWORD fvf : formats) {
      device->SetFVF(fvf);
      for (D3DPRIMITIVETYPE type : {D3DPT_POINTLIST, D3DPT_LINESTRIP, D3DPT_TRIANGLELIST})
        EXPECT_EQ(device->DrawPrimitiveUP(type, 1, vertices.data(), 128), D3D_OK)
            << value << " " << fvf;
    }
  }
  gLogHook = nullptr;
  EXPECT_TRUE(messages.empty()) << messages.front();
  // Back to sane states, the device draws as before.
  device->SetRenderState(D3DRS_ZENABLE, FALSE);
  device->SetRenderState(D3DRS_FILLMODE, D3DFILL_SOLID);
  device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
  device->SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);
  device->SetRenderState(D3DRS_STENCILENABLE, FALSE);
  device->SetRenderState(D3DRS_SCISSORTESTENABLE, FALSE);
  device->SetRenderState(D3DRS_COLORWRITEENABLE, 0xf);
  device->SetRenderState(D3DRS_FOGENABLE, FALSE);
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->SetRenderState(D3DRS_CLIPPLANEENABLE, 0);
  device->SetRenderState(D3DRS_SPECULARENABLE, FALSE);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
  device->SetTextureStageState(0, D3DTSS_RESULTARG, D3DTA_CURRENT);
  device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
  device->SetFVF(kScreenFVF);
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  rectangle(0, 0, 16, 16, 0xff00ff00);
  EXPECT_EQ(frame().at(8, 8), 0xff00ff00u);
}

TEST_F(RasterTest, ProgramsOfOthersDrawThroughTheDevice) {
  ASSERT_TRUE(d3d9_gl::makeCurrent(device));
  auto compile = [](GLenum type, const char* text) {
    GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    return shader;
  };
  GLuint vs = compile(
      GL_VERTEX_SHADER,
      "#version 330 core\nlayout(location = 0) in vec4 p;\nlayout(location = 7) in "
      "vec2 uv;\nout vec2 t;\nvoid main() { gl_Position = vec4(p.xy, 0.5, 1.0); t = uv; }\n");
  GLuint fs = compile(GL_FRAGMENT_SHADER,
                      "#version 330 core\nuniform sampler2D s;\nin vec2 t;\nout vec4 c;\n"
                      "void main() { c = texture(s, t).bgra; }\n");
  GLuint program = glCreateProgram();
  glAttachShader(program, vs);
  glAttachShader(program, fs);
  glLinkProgram(program);
  glDeleteShader(vs);
  glDeleteShader(fs);
  const D3DCOLOR texel = 0xff102030;
  IDirect3DTexture9* t = texture(1, 1, &texel);
  GLenum target = 0;
  EXPECT_NE(d3d9_gl::textureName(t, &target), 0u);
  EXPECT_EQ(target, GLenum(GL_TEXTURE_2D));
  device->SetTexture(0, t);
  struct Vertex {
    float x, y, z, u, v;
  } quad[4] = {{-1, 1, 0, 0, 0}, {1, 1, 0, 1, 0}, {-1, -1, 0, 0, 1}, {1, -1, 0, 1, 1}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1);
  d3d9_gl::setProgram(device, program);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  // The program swapped red and blue.
  EXPECT_EQ(frame().at(10, 10), 0xff302010u);
  // GL changed behind the device's back, then the fixed function again.
  glDisable(GL_CULL_FACE);
  glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
  d3d9_gl::stateTouched(device);
  d3d9_gl::setProgram(device, 0);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_EQ(frame().at(10, 10), texel);
  device->SetTexture(0, nullptr);
  t->Release();
  glDeleteProgram(program);
}

TEST_F(RasterTest, EveryStageOperationCompilesInEveryPosition) {
  static std::vector<std::string> messages;
  messages.clear();
  gLogHook = [](const char* text) { messages.push_back(text); };
  const D3DCOLOR texel = 0xff808080;
  IDirect3DTexture9* t = texture(1, 1, &texel);
  for (DWORD stage = 0; stage < 3; ++stage) device->SetTexture(stage, t);
  const DWORD args[] = {D3DTA_TEXTURE | D3DTA_COMPLEMENT,
                        D3DTA_TEMP | D3DTA_ALPHAREPLICATE,
                        D3DTA_CONSTANT,
                        D3DTA_SPECULAR,
                        D3DTA_CURRENT,
                        D3DTA_TFACTOR};
  device->SetRenderState(D3DRS_SPECULARENABLE, TRUE);
  device->SetRenderState(D3DRS_FOGENABLE, TRUE);
  device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_EXP2);
  device->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
  device->SetRenderState(D3DRS_ALPHAFUNC, D3DCMP_GREATER);
  for (DWORD op = D3DTOP_SELECTARG1; op <= D3DTOP_LERP; ++op) {
    for (DWORD stage = 0; stage < 3; ++stage) {
      DWORD a = args[(op + stage) % 6], b = args[(op + stage + 1) % 6], c = args[(op + 2) % 6];
      device->SetTextureStageState(stage, D3DTSS_COLOROP, op);
      device->SetTextureStageState(stage, D3DTSS_ALPHAOP, D3DTOP_LERP + D3DTOP_SELECTARG1 - op);
      device->SetTextureStageState(stage, D3DTSS_COLORARG0, c);
      device->SetTextureStageState(stage, D3DTSS_COLORARG1, a);
      device->SetTextureStageState(stage, D3DTSS_COLORARG2, b);
      device->SetTextureStageState(stage, D3DTSS_ALPHAARG0, b);
      device->SetTextureStageState(stage, D3DTSS_ALPHAARG1, c);
      device->SetTextureStageState(stage, D3DTSS_ALPHAARG2, a);
      device->SetTextureStageState(stage, D3DTSS_RESULTARG,
                                   stage == 1 ? D3DTA_TEMP : D3DTA_CURRENT);
      device->SetTextureStageState(stage, D3DTSS_TEXCOORDINDEX,
                                   stage == 2 ? D3DTSS_TCI_SPHEREMAP : 0);
      device->SetTextureStageState(
          stage, D3DTSS_TEXTURETRANSFORMFLAGS,
          stage == 1 ? D3DTTFF_COUNT3 | D3DTTFF_PROJECTED : D3DTTFF_DISABLE);
    }
    device->SetFVF(kScreenFVF);
    rectangle(0, 0, 8, 8, 0xffffffff);
    // Transformed and lit, so that the coordinate generation runs too.
    struct Vertex {
      float x, y, z, nx, ny, nz, u, v;
    } quad[4] = {{-1, 1, 0.5f, 0, 0, -1, 0, 0},
                 {1, 1, 0.5f, 0, 0, -1, 1, 0},
                 {-1, -1, 0.5f, 0, 0, -1, 0, 1},
                 {1, -1, 0.5f, 0, 0, -1, 1, 1}};
    device->SetRenderState(D3DRS_LIGHTING, TRUE);
    device->LightEnable(0, TRUE);
    device->SetFVF(D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX1);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
  }
  gLogHook = nullptr;
  EXPECT_TRUE(messages.empty()) << messages.front();
  for (DWORD stage = 0; stage < 3; ++stage) device->SetTexture(stage, nullptr);
  t->Release();
}

TEST_F(RasterTest, EveryVertexFeatureCompilesTogether) {
  static std::vector<std::string> messages;
  messages.clear();
  gLogHook = [](const char* text) { messages.push_back(text); };
  D3DLIGHT9 light{};
  light.Diffuse = light.Specular = light.Ambient = {1, 1, 1, 1};
  light.Direction = {0, 0, 1};
  light.Range = 10;
  light.Attenuation0 = 1;
  light.Theta = 0.5f;
  light.Phi = 1.0f;
  light.Falloff = 1;
  for (DWORD i = 0; i < 8; ++i) {
    light.Type = D3DLIGHTTYPE(D3DLIGHT_POINT + i % 3);
    device->SetLight(i, &light);
    device->LightEnable(i, TRUE);
  }
  device->SetRenderState(D3DRS_LIGHTING, TRUE);
  device->SetRenderState(D3DRS_SPECULARENABLE, TRUE);
  device->SetRenderState(D3DRS_LOCALVIEWER, TRUE);
  device->SetRenderState(D3DRS_NORMALIZENORMALS, TRUE);
  device->SetRenderState(D3DRS_VERTEXBLEND, D3DVBF_3WEIGHTS);
  device->SetRenderState(D3DRS_FOGENABLE, TRUE);
  device->SetRenderState(D3DRS_CLIPPLANEENABLE, 0x3f);
  device->SetRenderState(D3DRS_POINTSCALEENABLE, TRUE);
  device->SetRenderState(D3DRS_POINTSPRITEENABLE, TRUE);
  device->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_FLAT);
  device->SetRenderState(D3DRS_AMBIENTMATERIALSOURCE, D3DMCS_COLOR2);
  device->SetRenderState(D3DRS_EMISSIVEMATERIALSOURCE, D3DMCS_COLOR1);
  std::vector<float> vertices(3 * 32, 0.25f);
  const DWORD fvf = D3DFVF_XYZB3 | D3DFVF_NORMAL | D3DFVF_PSIZE | D3DFVF_DIFFUSE | D3DFVF_SPECULAR |
                    D3DFVF_TEX2 | D3DFVF_TEXCOORDSIZE3(1);
  device->SetFVF(fvf);
  for (DWORD fog : {DWORD(D3DRS_FOGVERTEXMODE), DWORD(D3DRS_FOGTABLEMODE)}) {
    device->SetRenderState(D3DRENDERSTATETYPE(fog), D3DFOG_LINEAR);
    device->SetRenderState(D3DRS_RANGEFOGENABLE, fog == D3DRS_FOGVERTEXMODE);
    for (D3DPRIMITIVETYPE type : {D3DPT_TRIANGLELIST, D3DPT_POINTLIST})
      EXPECT_EQ(device->DrawPrimitiveUP(type, 1, vertices.data(), 128), D3D_OK);
    device->SetRenderState(D3DRENDERSTATETYPE(fog), D3DFOG_NONE);
  }
  gLogHook = nullptr;
  EXPECT_TRUE(messages.empty()) << messages.front();
}
