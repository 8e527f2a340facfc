// The script type vertexBuffer: what each factory puts in its buffer, the
// grid's callback, drawing whole, by batch and as billboards, and the
// texture of stage 0 around untextured buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/CameraPath.h"
#include "scriptapi/VertexBuffer.h"
#include "tests/d3d9_fixture.h"
#include "tests/fake_device.h"
#include "tests/script_host_fixture.h"

namespace {

struct Lit {
  float x, y, z, nx, ny, nz;
  DWORD diffuse;
  float u, v;
};

class ScriptVertexBuffer : public d3d9_testing::DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    deviceScope = std::make_unique<DeviceScope>(device);
    host = std::make_unique<ScriptHost>();
    savedPos = gCameraPos;
    savedUp = gCameraUp;
  }
  void TearDown() override {
    gCameraPos = savedPos;
    gCameraUp = savedUp;
    host.reset();
    deviceScope.reset();
    DeviceFixture::TearDown();
  }
  void compile(const std::string& source) {
    std::string error;
    ASSERT_TRUE(host->compile("scene", source, error)) << error;
  }
  void call(const std::string& function) { host->callFunction("scene", function); }
  VertexBufferData* buffer(const char* name) {
    asIScriptModule* module = host->scriplets.at("scene").engine->GetModule("scene");
    const int index = module->GetGlobalVarIndexByName(name);
    EXPECT_GE(index, 0) << name;
    return index < 0
               ? nullptr
               : static_cast<VertexBufferHandle*>(module->GetAddressOfGlobalVar(index))->object;
  }
  template <class Vertex>
  std::vector<Vertex> vertices(VertexBufferData* data) {
    D3DVERTEXBUFFER_DESC desc;
    data->buffer->GetDesc(&desc);
    void* bytes = nullptr;
    EXPECT_EQ(data->buffer->Lock(0, 0, &bytes, D3DLOCK_READONLY), D3D_OK);
    std::vector<Vertex> out(desc.Size / sizeof(Vertex));
    std::memcpy(out.data(), bytes, out.size() * sizeof(Vertex));
    data->buffer->Unlock();
    return out;
  }
  std::vector<std::string> draws(const std::string& function) {
    d3d9_test::setCallLogEnabled(true);
    d3d9_test::clearCallLog();
    device->BeginScene();
    call(function);
    device->EndScene();
    d3d9_test::setCallLogEnabled(false);
    std::vector<std::string> out;
    for (const std::string& c : d3d9_test::callLog())
      if (c.rfind("DrawPrimitive(", 0) == 0) out.push_back(c);
    return out;
  }

  std::unique_ptr<DeviceScope> deviceScope;
  std::unique_ptr<ScriptHost> host;
  D3DXVECTOR3 savedPos, savedUp;
};

const char* const kFactories = R"(
void render(float t) {}
vertexBuffer quad, screen, cube, plane, wide, axis, one, empty, huge, tall;
float seenW, seenH, seenLength;
bool madeAll = false;
void lift(int w, int h, vectorN &in v) {
  seenW = w; seenH = h;
  v.set3(1, 0, 0, 1);
  v.set(11, 5); v.set(12, 7);  // the last element, and one past the end
  seenLength = v.get(11) + 10 * v.get(12);
}
void make() {
  quad = createTexturedQuad(); screen = createTexturedQuad2D(10, 20, 100, 50);
  cube = createTexturedCube(); plane = createMeshPlane(4, 4, "scene", "missing");
  wide = createMeshPlane(2, 4, "scene", "missing"); axis = createAxis();
  one = createMeshPlane(1, 1, "scene", "lift"); empty = createMeshPlane(0, 3, "scene", "lift");
  huge = createMeshPlane(2147483647, 2147483647, "scene", "lift");
  tall = createMeshPlane(1, 2147483647, "scene", "lift");
  madeAll = true;
}
)";

TEST_F(ScriptVertexBuffer, FactoriesFillTheirRecords) {
  compile(kFactories);
  call("make");
  const struct {
    const char* name;
    DWORD fvf, stride;
    D3DPRIMITIVETYPE type;
    UINT count;
    int batches, step;
    bool textured;
    UINT vertices;
  } cases[] = {
      {"quad", 0x152, 36, D3DPT_TRIANGLESTRIP, 2, 1, 0, true, 4},
      {"screen", 0x104, 24, D3DPT_TRIANGLESTRIP, 2, 1, 0, true, 4},
      {"cube", 0x152, 36, D3DPT_TRIANGLESTRIP, 2, 6, 4, true, 24},
      {"plane", 0x152, 36, D3DPT_TRIANGLESTRIP, 8, 4, 10, true, 40},
      {"wide", 0x152, 36, D3DPT_TRIANGLESTRIP, 4, 4, 6, true, 24},
      {"axis", 0x42, 16, D3DPT_LINELIST, 3, 1, 0, false, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VertexBufferData* data = buffer(c.name);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->fvf, c.fvf);
    EXPECT_EQ(data->vertexStride, c.stride);
    EXPECT_EQ(data->primitiveType, c.type);
    EXPECT_EQ(data->primitiveCount, c.count);
    EXPECT_EQ(data->batchCount, c.batches);
    EXPECT_EQ(data->batchVertexStep, c.step);
    EXPECT_EQ(data->textured, c.textured);
    D3DVERTEXBUFFER_DESC desc;
    data->buffer->GetDesc(&desc);
    EXPECT_EQ(desc.Size, c.vertices * c.stride);
    EXPECT_EQ(desc.Pool, D3DPOOL_DEFAULT);
    EXPECT_EQ(desc.Usage, DWORD(D3DUSAGE_WRITEONLY));
  }
  EXPECT_EQ(buffer("empty"), nullptr);  // a grid without cells
  // Grids too large for a buffer, however large, are refused the same way.
  EXPECT_EQ(buffer("huge"), nullptr);
  EXPECT_EQ(buffer("tall"), nullptr);
  asIScriptModule* module = host->scriplets.at("scene").engine->GetModule("scene");
  EXPECT_TRUE(*static_cast<bool*>(
      module->GetAddressOfGlobalVar(module->GetGlobalVarIndexByName("madeAll"))));
}

TEST_F(ScriptVertexBuffer, FactoryGeometry) {
  compile(kFactories);
  call("make");
  struct Screen {
    float x, y, z, rhw, u, v;
  };
  const std::vector<Screen> s = vertices<Screen>(buffer("screen"));
  EXPECT_EQ(s[1].x, 110.0f);
  EXPECT_EQ(s[1].y, 20.0f);
  EXPECT_EQ(s[2].y, 70.0f);
  EXPECT_EQ(s[3].u, 1.0f);
  EXPECT_EQ(s[0].rhw, 1.0f);

  // Cube face 2 (z = 1, facing +z), corner 3 at (1, 1, 1).
  const std::vector<Lit> cube = vertices<Lit>(buffer("cube"));
  const Lit& corner = cube[4 * 2 + 3];
  EXPECT_EQ(corner.x + corner.y + corner.z, 3.0f);
  EXPECT_EQ(corner.nz, 1.0f);
  EXPECT_EQ(corner.ny, 0.0f);
  EXPECT_EQ(corner.u, 1.0f);
  EXPECT_EQ(cube[4 * 4 + 1].ny, -1.0f);  // face 4: y = 0 facing -y
  EXPECT_EQ(cube[4 * 4 + 1].x, 1.0f);

  struct Line {
    float x, y, z;
    DWORD colour;
  };
  const std::vector<Line> axis = vertices<Line>(buffer("axis"));
  EXPECT_EQ(axis[1].x, 1.0f);
  EXPECT_EQ(axis[1].colour, 0xFF0000FFu);
  EXPECT_EQ(axis[5].z, 1.0f);
  EXPECT_EQ(axis[5].colour, 0xFFFFFFFFu);

  // The 4 x 4 grid without a callback: flat at z = 0 from (0, 0) to (1, 1),
  // every normal +z; strip 2 runs along rows 2 and 3.
  const std::vector<Lit> plane = vertices<Lit>(buffer("plane"));
  for (const Lit& v : plane) {
    EXPECT_EQ(v.z, 0.0f);
    EXPECT_EQ(v.nz, 1.0f);
    EXPECT_EQ(v.u, v.x);
    EXPECT_EQ(v.diffuse, 0xFFFFFFFFu);
  }
  EXPECT_EQ(plane[20].y, 0.5f);
  EXPECT_EQ(plane[21].y, 0.75f);
  EXPECT_EQ(plane[39].x, 1.0f);
  EXPECT_EQ(plane[39].y, 1.0f);
  // 2 x 4: x to 1, y to 2 (y is divided by nx as well).
  const std::vector<Lit> wide = vertices<Lit>(buffer("wide"));
  EXPECT_EQ(wide.back().x, 1.0f);
  EXPECT_EQ(wide.back().y, 2.0f);
}

TEST_F(ScriptVertexBuffer, GridCallbackDisplacesItsPoints) {
  compile(kFactories);
  call("make");
  asIScriptModule* module = host->scriplets.at("scene").engine->GetModule("scene");
  auto number = [&](const char* name) {
    return *static_cast<float*>(
        module->GetAddressOfGlobalVar(module->GetGlobalVarIndexByName(name)));
  };
  EXPECT_EQ(number("seenW"), 2.0f);
  EXPECT_EQ(number("seenH"), 2.0f);
  EXPECT_EQ(number("seenLength"), 5.0f);  // four triples exactly
  // Triple e is grid point (column e div 2, row e mod 2): triple 1 lifts
  // vertex 1 of the only strip, triple 3 vertex 3.
  const std::vector<Lit> one = vertices<Lit>(buffer("one"));
  ASSERT_EQ(one.size(), 4u);
  EXPECT_EQ(one[1].z, 1.0f);
  EXPECT_EQ(one[3].z, 5.0f);
  EXPECT_EQ(one[0].z + one[2].z, 0.0f);
}

TEST_F(ScriptVertexBuffer, DrawingWholeByBatchAndEmpty) {
  compile(std::string(kFactories) + R"(
    vertexBuffer none;
    void whole() { plane.draw(); }
    void third() { plane.drawSubset(2); plane.drawSubset(4); plane.drawSubset(-1); }
    void nothing() { none.draw(); none.drawSubset(0); none.draw2D(vector3(0, 0, 0), 1);
                     none.draw2DUp(vector3(0, 0, 0), 1, vector3(0, 1, 0)); })");
  call("make");
  EXPECT_EQ(draws("whole"),
            (std::vector<std::string>{"DrawPrimitive(5, 0, 8)", "DrawPrimitive(5, 10, 8)",
                                      "DrawPrimitive(5, 20, 8)", "DrawPrimitive(5, 30, 8)"}));
  EXPECT_EQ(draws("third"), std::vector<std::string>{"DrawPrimitive(5, 20, 8)"});
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  call("nothing");
  d3d9_test::setCallLogEnabled(false);
  EXPECT_TRUE(d3d9_test::callLog().empty());
}

TEST_F(ScriptVertexBuffer, UntexturedBuffersLeaveStageZeroAsTheyFoundIt) {
  compile(std::string(kFactories) + "void lines() { axis.draw(); } void quads() { quad.draw(); }");
  call("make");
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  device->SetTexture(0, texture);
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  call("lines");
  call("quads");
  d3d9_test::setCallLogEnabled(false);
  std::vector<std::string> textures;
  for (const std::string& c : d3d9_test::callLog())
    if (c.rfind("SetTexture(", 0) == 0) textures.push_back(c.substr(0, 16));
  // The lines unbind and rebind; the quad touches nothing.
  ASSERT_EQ(textures.size(), 2u);
  EXPECT_EQ(textures[0], "SetTexture(0, nu");
  IDirect3DBaseTexture9* bound = nullptr;
  device->GetTexture(0, &bound);
  EXPECT_EQ(bound, texture);
  bound->Release();
  device->SetTexture(0, nullptr);
  texture->Release();
}

// Keeps the world transform in force at each draw.
struct DrawProbe : TransformDevice {
  HRESULT DrawPrimitive(D3DPRIMITIVETYPE, UINT, UINT) override {
    atDraw.push_back(transform(D3DTS_WORLD));
    return D3D_OK;
  }
  std::vector<D3DXMATRIX> atDraw;
};

TEST_F(ScriptVertexBuffer, BillboardsPlaceAndRestoreTheWorld) {
  compile(std::string(kFactories) + R"(
    void flat() { quad.draw2D(vector3(1, 0, 0), 2); }
    void up() { quad.draw2DUp(vector3(1, 0, 0), 2, vector3(0, 1, 0)); })");
  call("make");
  gCameraPos = D3DXVECTOR3(0, 0, -5);
  gCameraUp = D3DXVECTOR3(0, 1, 0);
  DrawProbe probe;
  D3DXMatrixTranslation(&probe.transforms[D3DTS_WORLD], 7, 8, 9);
  const D3DXMATRIX saved = probe.transform(D3DTS_WORLD);
  {
    DeviceScope scope(&probe);
    call("flat");
    call("up");
  }
  EXPECT_EQ(probe.transform(D3DTS_WORLD), saved);
  ASSERT_EQ(probe.atDraw.size(), 2u);
  // draw2D: x to the right, y down, z towards the eye, scaled by 2 with the
  // translation: the centre lands at (2, 0, 0).
  EXPECT_EQ(probe.atDraw[0], D3DXMATRIX(2, 0, 0, 0, 0, -2, 0, 0, 0, 0, -2, 0, 2, 0, 0, 1));
  // draw2DUp: the rows Q, R, F at the world origin, unscaled; F points from
  // the position to the eye.
  const D3DXMATRIX& w = probe.atDraw[1];
  const float length = std::sqrt(26.0f);
  EXPECT_NEAR(w._31, -1 / length, 1e-6f);
  EXPECT_NEAR(w._33, -5 / length, 1e-6f);
  EXPECT_NEAR(w._21, -5 / length, 1e-6f);
  EXPECT_NEAR(w._23, 1 / length, 1e-6f);
  EXPECT_EQ(w._41, 0.0f);
  EXPECT_EQ(w._44, 1.0f);
}

}  // namespace
