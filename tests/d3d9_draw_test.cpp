// Drawing through the device: rasterisation rules, culling, depth, vertex
// and index buffers. Expected pixels follow Direct3D 9's rules.
#include <cstring>
#include <vector>

#include "tests/d3d9_fixture.h"

using d3d9_testing::colourNear;
using d3d9_testing::DeviceFixture;

namespace {

struct ScreenVertex {
  float x, y, z, rhw;
  D3DCOLOR colour;
};
constexpr DWORD kScreenFVF = D3DFVF_XYZRHW | D3DFVF_DIFFUSE;

// A rectangle of pretransformed vertices as a strip: (x0,y0)-(x1,y1).
void rectangle(ScreenVertex out[4], float x0, float y0, float x1, float y1, float z, D3DCOLOR c) {
  out[0] = {x0, y0, z, 1.0f, c};
  out[1] = {x1, y0, z, 1.0f, c};
  out[2] = {x0, y1, z, 1.0f, c};
  out[3] = {x1, y1, z, 1.0f, c};
}

class DrawTest : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetFVF(kScreenFVF);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
  }

  void drawRectangle(float x0, float y0, float x1, float y1, float z, D3DCOLOR c) {
    ScreenVertex v[4];
    rectangle(v, x0, y0, x1, y1, z, c);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  }
};

}  // namespace

TEST_F(DrawTest, PretransformedRectangleCoversExactlyItsPixels) {
  drawRectangle(10, 10, 30, 20, 0.5f, 0xffff0000);
  d3d9_test::Frame f = frame();
  // Pixel centres are on whole coordinates: x from 10 to 29, y from 10 to 19.
  for (int y = 0; y < int(kHeight); ++y)
    for (int x = 0; x < int(kWidth); ++x) {
      bool inside = x >= 10 && x < 30 && y >= 10 && y < 20;
      ASSERT_EQ(f.at(x, y), inside ? 0xffff0000u : 0xff000000u) << x << "," << y;
    }
}

TEST_F(DrawTest, HalfPixelEdgesFollowTheTopLeftRule) {
  // Edges through pixel centres: the left and top one take the pixels, the
  // right and bottom ones leave them.
  drawRectangle(9.5f, 9.5f, 20.5f, 15.5f, 0.5f, 0xff00ff00);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(9, 10), 0xff000000u);
  EXPECT_EQ(f.at(10, 10), 0xff00ff00u);
  EXPECT_EQ(f.at(20, 15), 0xff00ff00u);
  EXPECT_EQ(f.at(21, 15), 0xff000000u);
  EXPECT_EQ(f.at(20, 16), 0xff000000u);
}

TEST_F(DrawTest, CullModesUseDirect3DWinding) {
  // On screen (y down) the first triangle runs clockwise, the second
  // counter-clockwise.
  ScreenVertex clockwise[3] = {
      {4, 4, 0.5f, 1, 0xffff0000}, {20, 4, 0.5f, 1, 0xffff0000}, {4, 20, 0.5f, 1, 0xffff0000}};
  ScreenVertex counter[3] = {
      {40, 4, 0.5f, 1, 0xff0000ff}, {40, 20, 0.5f, 1, 0xff0000ff}, {56, 4, 0.5f, 1, 0xff0000ff}};
  struct Case {
    DWORD cull;
    bool clockwiseShown, counterShown;
  } cases[] = {{D3DCULL_CCW, true, false}, {D3DCULL_CW, false, true}, {D3DCULL_NONE, true, true}};
  for (const Case& c : cases) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
    device->SetRenderState(D3DRS_CULLMODE, c.cull);
    device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, clockwise, sizeof clockwise[0]);
    device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, counter, sizeof counter[0]);
    d3d9_test::Frame f = frame();
    EXPECT_EQ(f.at(7, 7), c.clockwiseShown ? 0xffff0000u : 0xff000000u) << c.cull;
    EXPECT_EQ(f.at(43, 7), c.counterShown ? 0xff0000ffu : 0xff000000u) << c.cull;
  }
}

TEST_F(DrawTest, DepthTestWriteAndFunction) {
  drawRectangle(0, 0, 32, 32, 0.5f, 0xffff0000);
  // Farther: hidden by the first.
  drawRectangle(8, 8, 40, 40, 0.7f, 0xff00ff00);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(16, 16), 0xffff0000u);
  EXPECT_EQ(f.at(36, 36), 0xff00ff00u);
  // Without depth writes a nearer rectangle shows but leaves the depth.
  device->SetRenderState(D3DRS_ZWRITEENABLE, FALSE);
  drawRectangle(0, 0, 16, 16, 0.2f, 0xff0000ff);
  device->SetRenderState(D3DRS_ZWRITEENABLE, TRUE);
  drawRectangle(0, 0, 16, 16, 0.4f, 0xffffffff);
  f = frame();
  EXPECT_EQ(f.at(4, 4), 0xffffffffu);
  // GREATER passes only behind what is there; ZENABLE off passes all.
  device->SetRenderState(D3DRS_ZFUNC, D3DCMP_GREATER);
  drawRectangle(20, 20, 28, 28, 0.3f, 0xff123456);
  EXPECT_EQ(frame().at(24, 24), 0xffff0000u);
  drawRectangle(20, 20, 28, 28, 0.6f, 0xff123456);
  EXPECT_EQ(frame().at(24, 24), 0xff123456u);
  device->SetRenderState(D3DRS_ZENABLE, D3DZB_FALSE);
  drawRectangle(20, 20, 28, 28, 0.9f, 0xff654321);
  EXPECT_EQ(frame().at(24, 24), 0xff654321u);
}

TEST_F(DrawTest, VertexAndIndexBuffers) {
  IDirect3DVertexBuffer9* vb = nullptr;
  ASSERT_EQ(device->CreateVertexBuffer(8 * sizeof(ScreenVertex), D3DUSAGE_WRITEONLY, kScreenFVF,
                                       D3DPOOL_MANAGED, &vb, nullptr),
            D3D_OK);
  void* data = nullptr;
  ASSERT_EQ(vb->Lock(0, 0, &data, 0), D3D_OK);
  auto* v = static_cast<ScreenVertex*>(data);
  rectangle(v, 2, 2, 12, 12, 0.5f, 0xffff0000);
  rectangle(v + 4, 20, 2, 30, 12, 0.5f, 0xff00ff00);
  vb->Unlock();
  ASSERT_EQ(device->SetStreamSource(0, vb, 0, sizeof(ScreenVertex)), D3D_OK);
  ASSERT_EQ(device->DrawPrimitive(D3DPT_TRIANGLESTRIP, 4, 2), D3D_OK);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(5, 5), 0xff000000u);
  EXPECT_EQ(f.at(25, 5), 0xff00ff00u);
  // Reading past the buffer is refused, not drawn.
  EXPECT_EQ(device->DrawPrimitive(D3DPT_TRIANGLESTRIP, 5, 2), D3DERR_INVALIDCALL);

  IDirect3DIndexBuffer9* ib = nullptr;
  ASSERT_EQ(device->CreateIndexBuffer(6 * sizeof(WORD), D3DUSAGE_WRITEONLY, D3DFMT_INDEX16,
                                      D3DPOOL_MANAGED, &ib, nullptr),
            D3D_OK);
  ib->Lock(0, 0, &data, 0);
  const WORD indices[6] = {0, 1, 2, 2, 1, 3};
  std::memcpy(data, indices, sizeof indices);
  ib->Unlock();
  device->SetIndices(ib);
  ASSERT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 4, 0, 2), D3D_OK);
  EXPECT_EQ(frame().at(5, 5), 0xffff0000u);
  // The base vertex moves every index: the second rectangle again.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  ASSERT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 4, 0, 4, 0, 2), D3D_OK);
  f = frame();
  EXPECT_EQ(f.at(5, 5), 0xff000000u);
  EXPECT_EQ(f.at(25, 5), 0xff00ff00u);
  // Indices that reach past the vertices are refused.
  EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 5, 0, 4, 0, 2), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 4, 2, 2), D3DERR_INVALIDCALL);

  // The device keeps what it has bound alive after the caller lets go.
  vb->Release();
  ib->Release();
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  ASSERT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 4, 0, 2), D3D_OK);
  EXPECT_EQ(frame().at(5, 5), 0xffff0000u);
  device->SetStreamSource(0, nullptr, 0, 0);
  device->SetIndices(nullptr);
}

TEST_F(DrawTest, IndexedDrawFromMemoryAndEveryPrimitiveType) {
  ScreenVertex v[4];
  rectangle(v, 40, 30, 60, 44, 0.5f, 0xff00ffff);
  const WORD indices[6] = {0, 1, 2, 2, 1, 3};
  ASSERT_EQ(device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, 4, 2, indices, D3DFMT_INDEX16, v,
                                           sizeof v[0]),
            D3D_OK);
  EXPECT_EQ(frame().at(50, 40), 0xff00ffffu);
  const WORD bad[3] = {0, 1, 4};
  EXPECT_EQ(device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, 4, 1, bad, D3DFMT_INDEX16, v,
                                           sizeof v[0]),
            D3DERR_INVALIDCALL);

  // A fan, points and lines land where their vertices say.
  ScreenVertex fan[4] = {{2, 30, 0.5f, 1, 0xffffff00},
                         {12, 30, 0.5f, 1, 0xffffff00},
                         {12, 40, 0.5f, 1, 0xffffff00},
                         {2, 40, 0.5f, 1, 0xffffff00}};
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLEFAN, 2, fan, sizeof fan[0]), D3D_OK);
  EXPECT_EQ(frame().at(6, 35), 0xffffff00u);
  ScreenVertex point = {20, 40, 0.5f, 1, 0xffff00ff};
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_POINTLIST, 1, &point, sizeof point), D3D_OK);
  EXPECT_EQ(frame().at(20, 40), 0xffff00ffu);
  ScreenVertex line[2] = {{20, 2, 0.5f, 1, 0xff8080ff}, {30, 2, 0.5f, 1, 0xff8080ff}};
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_LINELIST, 1, line, sizeof line[0]), D3D_OK);
  EXPECT_EQ(frame().at(25, 2), 0xff8080ffu);
  EXPECT_EQ(device->DrawPrimitiveUP(D3DPRIMITIVETYPE(7), 1, line, sizeof line[0]),
            D3DERR_INVALIDCALL);
}

TEST_F(DrawTest, TransformedGeometryFollowsTheSamePixelRule) {
  // x from -0.5 to 0.5 and y from 0.5 to -0.5 of the 64 x 48 viewport: the
  // edges fall on 16, 48 and 12, 36, all whole coordinates.
  struct Vertex {
    float x, y, z;
    D3DCOLOR c;
  } quad[4] = {{-0.5f, 0.5f, 0.5f, 0xffffffff},
               {0.5f, 0.5f, 0.5f, 0xffffffff},
               {-0.5f, -0.5f, 0.5f, 0xffffffff},
               {0.5f, -0.5f, 0.5f, 0xffffffff}};
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  d3d9_test::Frame f = frame();
  for (int y = 0; y < int(kHeight); ++y)
    for (int x = 0; x < int(kWidth); ++x) {
      bool inside = x >= 16 && x < 48 && y >= 12 && y < 36;
      ASSERT_EQ(f.at(x, y), inside ? 0xffffffffu : 0xff000000u) << x << "," << y;
    }
}

TEST_F(DrawTest, EveryVertexLayoutFeedsItsAttributes) {
  // Each layout is laid out here by hand in Direct3D's order (position,
  // blend weights, normal, point size, diffuse, specular, coordinate sets)
  // and drawn over the whole target, from memory and from a buffer at an
  // offset. The texture is black on its left half and white on its right;
  // only the last coordinate set points into the white half, so the
  // diffuse colour shows only when every attribute is read from its place.
  struct Case {
    DWORD fvf;
    UINT padding;  // bytes after each vertex
  } cases[] = {
      {D3DFVF_XYZ | D3DFVF_DIFFUSE | D3DFVF_TEX1, 0},
      {D3DFVF_XYZB1 | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX1, 4},
      {D3DFVF_XYZB2 | D3DFVF_DIFFUSE | D3DFVF_SPECULAR | D3DFVF_TEX2, 0},
      {D3DFVF_XYZB3 | D3DFVF_NORMAL | D3DFVF_PSIZE | D3DFVF_DIFFUSE | D3DFVF_TEX1, 12},
      {D3DFVF_XYZB4 | D3DFVF_DIFFUSE | D3DFVF_TEX1, 0},
      {D3DFVF_XYZB4 | D3DFVF_LASTBETA_UBYTE4 | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX1, 0},
      {D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_SPECULAR | D3DFVF_TEX8, 0},
      {D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX3 | D3DFVF_TEXCOORDSIZE1(0) |
           D3DFVF_TEXCOORDSIZE3(1),
       8},
      {D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX4 | D3DFVF_TEXCOORDSIZE4(0) |
           D3DFVF_TEXCOORDSIZE3(2),
       0},
  };
  const D3DCOLOR diffuse = 0xff40c080;
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(2, 1, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  D3DLOCKED_RECT locked;
  texture->LockRect(0, &locked, nullptr, 0);
  static_cast<uint32_t*>(locked.pBits)[0] = 0xff000000;
  static_cast<uint32_t*>(locked.pBits)[1] = 0xffffffff;
  texture->UnlockRect(0);
  device->SetTexture(0, texture);
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->SetRenderState(D3DRS_ZENABLE, FALSE);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);

  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fvf 0x" << std::hex << c.fvf);
    DWORD position = c.fvf & D3DFVF_POSITION_MASK;
    bool screen = position == D3DFVF_XYZRHW;
    int betas = position >= D3DFVF_XYZB1 ? int(position - D3DFVF_XYZRHW) / 2 : 0;
    int sets = int((c.fvf & D3DFVF_TEXCOUNT_MASK) >> D3DFVF_TEXCOUNT_SHIFT);
    // Builds one vertex at (x, y) of -1..1, returns its size.
    auto build = [&](std::vector<float>& out, float x, float y) {
      size_t start = out.size();
      if (screen) {
        out.insert(out.end(), {(x + 1) * kWidth / 2, (1 - y) * kHeight / 2, 0.5f, 1.0f});
      } else {
        out.insert(out.end(), {x, y, 0.5f});
        for (int i = 0; i < betas; ++i) out.push_back(0.3f);
        if (c.fvf & D3DFVF_LASTBETA_UBYTE4) out.back() = 0.0f;  // blend indices 0
      }
      if (c.fvf & D3DFVF_NORMAL) out.insert(out.end(), {0.0f, 0.0f, -1.0f});
      if (c.fvf & D3DFVF_PSIZE) out.push_back(1.0f);
      float colour;
      if (c.fvf & D3DFVF_DIFFUSE) std::memcpy(&colour, &diffuse, 4), out.push_back(colour);
      const D3DCOLOR specular = 0xff102030;
      if (c.fvf & D3DFVF_SPECULAR) std::memcpy(&colour, &specular, 4), out.push_back(colour);
      for (int set = 0; set < sets; ++set) {
        static const int sizes[4] = {2, 3, 4, 1};  // by the two format bits
        int size = sizes[(c.fvf >> (16 + 2 * set)) & 3];
        for (int i = 0; i < size; ++i)
          out.push_back(i == 0 ? (set == sets - 1 ? 0.75f : 0.25f) : 0.5f);
      }
      out.insert(out.end(), c.padding / 4, -7.0f);
      return (out.size() - start) * sizeof(float);
    };
    std::vector<float> strip;
    UINT stride = 0;
    for (auto [x, y] : {std::pair{-1.0f, 1.0f}, {1.0f, 1.0f}, {-1.0f, -1.0f}, {1.0f, -1.0f}})
      stride = UINT(build(strip, x, y));
    device->SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, DWORD(sets - 1));
    device->SetFVF(c.fvf);

    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff0000ff, 1.0f, 0);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, strip.data(), stride), D3D_OK);
    d3d9_test::Frame f = frame();
    EXPECT_EQ(f.at(kWidth / 2, kHeight / 2), diffuse);
    EXPECT_EQ(f.at(0, 0), diffuse);
    EXPECT_EQ(f.at(kWidth - 1, kHeight - 1), diffuse);

    // The same from a buffer, one vertex of zeros in front of the strip
    // that the stream offset skips.
    IDirect3DVertexBuffer9* vb = nullptr;
    ASSERT_EQ(device->CreateVertexBuffer(5 * stride, D3DUSAGE_WRITEONLY, c.fvf, D3DPOOL_DEFAULT,
                                         &vb, nullptr),
              D3D_OK);
    void* data = nullptr;
    vb->Lock(0, 0, &data, 0);
    std::memset(data, 0, stride);
    std::memcpy(static_cast<uint8_t*>(data) + stride, strip.data(), 4 * stride);
    vb->Unlock();
    device->SetStreamSource(0, vb, stride, stride);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff0000ff, 1.0f, 0);
    ASSERT_EQ(device->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
    EXPECT_EQ(frame().at(kWidth / 2, kHeight / 2), diffuse);
    device->SetStreamSource(0, nullptr, 0, 0);
    vb->Release();
  }
  device->SetTexture(0, nullptr);
  texture->Release();
}

TEST_F(DrawTest, PretransformedOverlayMapsTexelForTexel) {
  // A texture the size of the target, drawn as a quad over the whole of it
  // with coordinates 0 to 1 and no half-pixel offset: with point sampling
  // every pixel shows its own texel, none shifted by one.
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(kWidth, kHeight, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_MANAGED, &texture,
                                  nullptr),
            D3D_OK);
  D3DLOCKED_RECT locked;
  texture->LockRect(0, &locked, nullptr, 0);
  for (UINT y = 0; y < kHeight; ++y)
    for (UINT x = 0; x < kWidth; ++x)
      static_cast<uint32_t*>(
          static_cast<void*>(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch))[x] =
          0xff000000u | x << 16 | y << 8;
  texture->UnlockRect(0);
  struct Vertex {
    float x, y, z, rhw, u, v;
  } quad[4] = {{0, 0, 0, 1, 0, 0},
               {float(kWidth), 0, 0, 1, 1, 0},
               {0, float(kHeight), 0, 1, 0, 1},
               {float(kWidth), float(kHeight), 0, 1, 1, 1}};
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetTexture(0, texture);
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX1);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  device->SetTexture(0, nullptr);
  d3d9_test::Frame f = frame();
  for (UINT y = 0; y < kHeight; ++y)
    for (UINT x = 0; x < kWidth; ++x)
      ASSERT_EQ(f.at(int(x), int(y)), 0xff000000u | x << 16 | y << 8) << x << "," << y;
  texture->Release();
}

TEST_F(DrawTest, EveryPrimitiveTypeDrawsItsCount) {
  // Corners of a square, then a point to its right: each case names a pixel
  // its primitives cover and one that the next primitive would cover.
  const ScreenVertex corners[6] = {{4, 4, 0.5f, 1, 0xffffffff},   {40, 4, 0.5f, 1, 0xffffffff},
                                   {40, 40, 0.5f, 1, 0xffffffff}, {4, 40, 0.5f, 1, 0xffffffff},
                                   {60, 4, 0.5f, 1, 0xffffffff},  {60, 40, 0.5f, 1, 0xffffffff}};
  struct Case {
    D3DPRIMITIVETYPE type;
    UINT count;
    int litX, litY, darkX, darkY;
  } cases[] = {
      {D3DPT_POINTLIST, 2, 40, 4, 40, 40},    {D3DPT_LINELIST, 1, 20, 4, 40, 20},
      {D3DPT_LINESTRIP, 2, 40, 20, 20, 40},   {D3DPT_TRIANGLELIST, 1, 36, 10, 30, 36},
      {D3DPT_TRIANGLESTRIP, 2, 30, 36, 6, 8}, {D3DPT_TRIANGLEFAN, 2, 10, 36, 54, 6},
  };
  IDirect3DVertexBuffer9* vb = nullptr;
  ASSERT_EQ(device->CreateVertexBuffer(sizeof corners, D3DUSAGE_WRITEONLY, kScreenFVF,
                                       D3DPOOL_MANAGED, &vb, nullptr),
            D3D_OK);
  void* data = nullptr;
  vb->Lock(0, 0, &data, 0);
  std::memcpy(data, corners, sizeof corners);
  vb->Unlock();
  IDirect3DIndexBuffer9* ib = nullptr;
  ASSERT_EQ(device->CreateIndexBuffer(6 * sizeof(DWORD), D3DUSAGE_WRITEONLY, D3DFMT_INDEX32,
                                      D3DPOOL_MANAGED, &ib, nullptr),
            D3D_OK);
  ib->Lock(0, 0, &data, 0);
  for (DWORD i = 0; i < 6; ++i) static_cast<DWORD*>(data)[i] = i;
  ib->Unlock();
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->SetStreamSource(0, vb, 0, sizeof(ScreenVertex));
  device->SetIndices(ib);
  for (const Case& c : cases) {
    for (bool indexed : {false, true}) {
      SCOPED_TRACE(testing::Message() << "type " << c.type << (indexed ? " indexed" : ""));
      device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
      ASSERT_EQ(indexed ? device->DrawIndexedPrimitive(c.type, 0, 0, 6, 0, c.count)
                        : device->DrawPrimitive(c.type, 0, c.count),
                D3D_OK);
      d3d9_test::Frame f = frame();
      EXPECT_EQ(f.at(c.litX, c.litY), 0xffffffffu);
      EXPECT_EQ(f.at(c.darkX, c.darkY), 0xff000000u);
    }
  }
  device->SetStreamSource(0, nullptr, 0, 0);
  device->SetIndices(nullptr);
  vb->Release();
  ib->Release();
}

TEST_F(DrawTest, IndicesWrittenUnderAnOpenLockAreCheckedAtTheNextDraw) {
  // A draw between Lock and Unlock sees the indices written so far; what
  // is written after it must still be checked against the vertices.
  ScreenVertex v[4];
  rectangle(v, 2, 2, 12, 12, 0.5f, 0xffff0000);
  IDirect3DVertexBuffer9* vb = nullptr;
  ASSERT_EQ(device->CreateVertexBuffer(sizeof v, 0, kScreenFVF, D3DPOOL_MANAGED, &vb, nullptr),
            D3D_OK);
  void* data = nullptr;
  vb->Lock(0, 0, &data, 0);
  std::memcpy(data, v, sizeof v);
  vb->Unlock();
  IDirect3DIndexBuffer9* ib = nullptr;
  ASSERT_EQ(
      device->CreateIndexBuffer(6 * sizeof(WORD), 0, D3DFMT_INDEX16, D3DPOOL_MANAGED, &ib, nullptr),
      D3D_OK);
  device->SetStreamSource(0, vb, 0, sizeof(ScreenVertex));
  device->SetIndices(ib);
  ASSERT_EQ(ib->Lock(0, 0, &data, 0), D3D_OK);
  auto* indices = static_cast<WORD*>(data);
  const WORD good[6] = {0, 1, 2, 2, 1, 3};
  std::memcpy(indices, good, sizeof good);
  EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 4, 0, 2), D3D_OK);
  indices[5] = 60000;  // far past the four vertices
  ib->Unlock();
  EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 4, 0, 2), D3DERR_INVALIDCALL);
  device->SetStreamSource(0, nullptr, 0, 0);
  device->SetIndices(nullptr);
  vb->Release();
  ib->Release();
}

TEST_F(DrawTest, LayoutsWithoutAPositionAreNotDrawn) {
  // A layout needs one of the positions; without it the vertices have no
  // place, and their size would not be the one the buffers were made for.
  const DWORD layouts[] = {D3DFVF_DIFFUSE, D3DFVF_NORMAL | D3DFVF_TEX1, 0x4000 | D3DFVF_DIFFUSE,
                           0x4000 | D3DFVF_XYZRHW | D3DFVF_DIFFUSE};
  IDirect3DVertexBuffer9* vb = nullptr;
  ASSERT_EQ(device->CreateVertexBuffer(48, 0, 0, D3DPOOL_MANAGED, &vb, nullptr), D3D_OK);
  IDirect3DIndexBuffer9* ib = nullptr;
  ASSERT_EQ(device->CreateIndexBuffer(6, 0, D3DFMT_INDEX16, D3DPOOL_MANAGED, &ib, nullptr), D3D_OK);
  const WORD indices[3] = {0, 1, 2};
  std::vector<uint8_t> vertices(48);
  for (DWORD fvf : layouts) {
    SCOPED_TRACE(testing::Message() << "fvf 0x" << std::hex << fvf);
    ASSERT_EQ(device->SetFVF(fvf), D3D_OK);
    DWORD got = 0;
    device->GetFVF(&got);
    EXPECT_EQ(got, fvf);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, vertices.data(), 16),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, 3, 1, indices, D3DFMT_INDEX16,
                                             vertices.data(), 16),
              D3DERR_INVALIDCALL);
    device->SetStreamSource(0, vb, 0, 4);
    device->SetIndices(ib);
    EXPECT_EQ(device->DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 3, 0, 1), D3DERR_INVALIDCALL);
  }
  device->SetStreamSource(0, nullptr, 0, 0);
  device->SetIndices(nullptr);
  vb->Release();
  ib->Release();
}

// Vertices drawn from memory go through a ring the GPU reads behind the
// device. When the GPU does not let go of a part of it in time, streaming
// moves to new storage rather than write what queued draws may still read.
// Bands of large draws go round the ring several times with every wait for
// it timing out; vertices and indices must land together in the new
// storage, and each band keeps its own colour.
TEST_F(DrawTest, StreamedVerticesOutliveAStuckGPU) {
  struct Case {
    const char* name;
    bool indexed;
    int failedWaits;
  };
  const Case cases[] = {{"no stuck waits", false, 0},
                        {"vertices, every wait stuck", false, 1 << 30},
                        {"indexed, every wait stuck", true, 1 << 30}};
  constexpr int kBands = 16;         // rows 3i .. 3i + 2 of the 48-row target
  constexpr int kTriangles = 20000;  // two cover the band, the rest are empty
  std::vector<ScreenVertex> vertices(size_t(kTriangles) * 3);
  std::vector<WORD> indices(vertices.size());
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = WORD(i);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    d3d9_test::failStreamWaits(c.failedWaits);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
    for (int band = 0; band < kBands; ++band) {
      D3DCOLOR colour = 0xff000000u | DWORD(band * 16 + 15) << 16 | DWORD(255 - band * 16);
      ScreenVertex quad[4];
      rectangle(quad, 0, float(band * 3), float(kWidth), float(band * 3 + 3), 0.5f, colour);
      const int order[6] = {0, 1, 2, 2, 1, 3};
      for (int k = 0; k < 6; ++k) vertices[size_t(k)] = quad[order[k]];
      for (size_t k = 6; k < vertices.size(); ++k) vertices[k] = {1, 1, 0.5f, 1, colour};
      HRESULT result =
          c.indexed ? device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, UINT(vertices.size()),
                                                     kTriangles, indices.data(), D3DFMT_INDEX16,
                                                     vertices.data(), sizeof(ScreenVertex))
                    : device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, kTriangles, vertices.data(),
                                              sizeof(ScreenVertex));
      ASSERT_EQ(result, D3D_OK);
    }
    d3d9_test::Frame image = frame();
    for (int band = 0; band < kBands; ++band) {
      D3DCOLOR colour = 0xff000000u | DWORD(band * 16 + 15) << 16 | DWORD(255 - band * 16);
      EXPECT_EQ(image.at(kWidth / 2, band * 3 + 1), colour) << "band " << band;
    }
  }
  d3d9_test::failStreamWaits(0);
}
