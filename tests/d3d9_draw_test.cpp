// Drawing through the device: rasterisation rules, culling, depth, vertex
// and index buffers. Expected pixels follow Direct3D 9's rules.
#include <cstring>

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
  ScreenVertex clockwise[3] = {{4, 4, 0.5f, 1, 0xffff0000}, {20, 4, 0.5f, 1, 0xffff0000},
                               {4, 20, 0.5f, 1, 0xffff0000}};
  ScreenVertex counter[3] = {{40, 4, 0.5f, 1, 0xff0000ff}, {40, 20, 0.5f, 1, 0xff0000ff},
                             {56, 4, 0.5f, 1, 0xff0000ff}};
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
  ScreenVertex fan[4] = {{2, 30, 0.5f, 1, 0xffffff00}, {12, 30, 0.5f, 1, 0xffffff00},
                         {12, 40, 0.5f, 1, 0xffffff00}, {2, 40, 0.5f, 1, 0xffffff00}};
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
  } quad[4] = {{-0.5f, 0.5f, 0.5f, 0xffffffff}, {0.5f, 0.5f, 0.5f, 0xffffffff},
               {-0.5f, -0.5f, 0.5f, 0xffffffff}, {0.5f, -0.5f, 0.5f, 0xffffffff}};
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
