// The script type mesh: loading through the resource store, the teapot,
// drawing, the vertex accessors and their bounds, sphere mapping and the
// radial deformation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "core/TQDatabase.h"
#include "runtime/CameraPath.h"
#include "scriptapi/D3DMesh.h"
#include "scriptapi/VectorN.h"
#include "tests/d3d9_fixture.h"
#include "tests/fake_device.h"
#include "tests/math_script_fixture.h"

namespace {

void writeFile(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
}

// Four vertices with normals and texture coordinates (32-byte vertices),
// two triangles.
const char* const kQuad = R"(xof 0303txt 0032
Mesh { 4; 0;0;0;, 2;0;0;, 0;2;0;, 0.01;0;0;;
  2; 3;0,2,1;, 3;1,2,3;;
  MeshNormals { 1; 0;0;-1;; 2; 3;0,0,0;, 3;0,0,0;; }
  MeshTextureCoords { 4; 0;0;, 1;0;, 0;1;, 1;1;; } }
)";

class ScriptMesh : public d3d9_testing::DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    char pattern[] = "/tmp/engine-mesh-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    writeFile("quad.x", kQuad);
    writeFile("broken.x", "xof 0303txt 0032 Mesh { 3; 0;0;0;; }");
    store = std::make_unique<TQDatabaseFilesystem>();
    gDatabase = store.get();
    deviceScope = std::make_unique<DeviceScope>(device);
    script = std::make_unique<MathScript>();
    ASSERT_EQ(initD3DMesh(script->engine()), 0);
    gRadialDeformRestPositions.clear();
    savedCamera = gCameraPos;
  }
  void TearDown() override {
    script.reset();
    store.reset();
    gDatabase = nullptr;
    deviceScope.reset();
    gCameraPos = savedCamera;
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(folder);
    DeviceFixture::TearDown();
  }
  // Builds `body` after the shared globals and runs `void main()`.
  void run(const std::string& body) {
    ASSERT_TRUE(script->build("mesh a; mesh b; vectorN n; vector3 v; float f;\n" + body))
        << script->messages();
    script->call("void main()");
  }

  std::filesystem::path folder, previous;
  std::unique_ptr<TQDatabaseFilesystem> store;
  std::unique_ptr<DeviceScope> deviceScope;
  std::unique_ptr<MathScript> script;
  D3DXVECTOR3 savedCamera;
};

TEST_F(ScriptMesh, SharedLoadsShareOneMeshUniqueLoadsDoNot) {
  ASSERT_TRUE(script->build(R"(
    float shared() {
      mesh a = createMeshFromFile("quad.x"); mesh b = createMeshFromFile("quad.x");
      a.lockVertex(); a.setVertex(1, vector3(5, 6, 7)); a.releaseVertex(0);
      vector3 v; b.lockVertex(); b.getVertex(1, v); b.releaseVertex(0);
      return v.x;
    }
    float unique() {
      mesh a = createMeshFromFile_uniqueInstance("fresh.x");
      mesh b = createMeshFromFile_uniqueInstance("fresh.x");
      a.lockVertex(); a.setVertex(1, vector3(5, 6, 7)); a.releaseVertex(0);
      vector3 v; b.lockVertex(); b.getVertex(1, v); b.releaseVertex(0);
      return v.x * 100 + a.getNumVertices();
    })"))
      << script->messages();
  EXPECT_EQ(script->callFloat("float shared()"), 5.0f);
  writeFile("fresh.x", kQuad);
  EXPECT_EQ(script->callFloat("float unique()"), 200.0f + 4.0f);
}

TEST_F(ScriptMesh, UndecodableDataGivesAnEmptyMesh) {
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  ASSERT_TRUE(script->build(R"(
    int main() { mesh m = createMeshFromFile("broken.x"); m.draw(); m.lockVertex();
                 m.releaseVertex(1); return m.getNumVertices(); })"))
      << script->messages();
  EXPECT_EQ(script->callInt("int main()"), 0);
  d3d9_test::setCallLogEnabled(false);
  for (const std::string& call : d3d9_test::callLog())
    EXPECT_EQ(call.find("Draw"), std::string::npos) << call;
}

TEST_F(ScriptMesh, DrawSetsNormalizeNormalsAndDrawsGroupZero) {
  device->SetRenderState(D3DRS_NORMALIZENORMALS, FALSE);
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  run(R"(void main() { a = createMeshFromFile("quad.x"); a.draw(); })");
  d3d9_test::setCallLogEnabled(false);
  DWORD value = 0;
  device->GetRenderState(D3DRS_NORMALIZENORMALS, &value);
  EXPECT_EQ(value, DWORD(TRUE));
  int draws = 0;
  for (const std::string& call : d3d9_test::callLog())
    if (call.rfind("DrawIndexedPrimitive", 0) == 0) {
      EXPECT_EQ(call, "DrawIndexedPrimitive(4, 0, 0, 4, 0, 2)");
      ++draws;
    }
  EXPECT_EQ(draws, 1);
}

TEST_F(ScriptMesh, AccessorsReadAndWriteTheLockedVertices) {
  ASSERT_TRUE(script->build(R"(
    vectorN n(50);
    float writeAndRead() {
      mesh a = createMeshFromFile("quad.x");
      a.lockVertex(); a.getVertexData(n);
      a.setVertex(2, vector3(0, 3, 0)); a.setUV(3, 0.25, 0.75); a.releaseVertex(1);
      mesh b = createMeshFromFile("quad.x");
      vector3 p, normal; b.lockVertex(); b.getVertex(2, p); b.getNormal(3, normal);
      b.releaseVertex(0);
      return p.y * 10 + normal.z;
    }
    float keepNormals(int how) {
      mesh a = createMeshFromFile_uniqueInstance("other.x");
      a.lockVertex(); a.setVertex(2, vector3(0, 3, 0)); a.releaseVertex(how);
      vector3 normal; a.lockVertex(); a.getNormal(3, normal); a.releaseVertex(0);
      return normal.z;
    })"))
      << script->messages();
  // Vertex 2 moved to y = 3 through the shared mesh; releaseVertex(1)
  // recomputed the normal of vertex 3, which the file gives as -z and whose
  // only face winds towards +z.
  EXPECT_EQ(script->callFloat("float writeAndRead()"), 31.0f);
  auto* n = static_cast<VectorN*>(script->engine()->GetModule("test")->GetAddressOfGlobalVar(0));
  ASSERT_EQ(n->elements().size(), 12u);
  EXPECT_EQ(n->elements()[3], 2.0f);
  EXPECT_EQ(n->elements()[9], 0.01f);
  auto* mesh = static_cast<ID3DXMesh*>(store->entries.at("quad.x").object);
  void* data = nullptr;
  ASSERT_EQ(mesh->LockVertexBuffer(D3DLOCK_READONLY, &data), D3D_OK);
  EXPECT_EQ(static_cast<const float*>(data)[8 * 3 + 6], 0.25f);
  EXPECT_EQ(static_cast<const float*>(data)[8 * 3 + 7], 0.75f);
  mesh->UnlockVertexBuffer();
  // Only 1 recomputes (a unique instance of a name never loaded shared).
  writeFile("other.x", kQuad);
  for (int how : {0, 2}) {
    script->prepare("float keepNormals(int)");
    script->context()->SetArgDWord(0, DWORD(how));
    script->run();
    EXPECT_EQ(script->context()->GetReturnFloat(), -1.0f) << how;
  }
}

TEST_F(ScriptMesh, AccessorsOutsideTheirOwnOpenLockTouchNothing) {
  // Each case's accessor in the middle must neither read (its output is
  // zeroed) nor write (vertex 1 of `a` stays at x = 2).
  const struct {
    const char* what;
    const char* steps;
  } cases[] = {
      {"index past the end",
       "a.lockVertex(); a.getVertex(4, v); a.setVertex(4, w);"
       "a.setVertex(-1, w); a.releaseVertex(0);"},
      {"not locked", "a.setVertex(1, w); a.getVertex(1, v);"},
      {"after the release",
       "a.lockVertex(); a.releaseVertex(0); a.setVertex(1, w);"
       "a.getVertex(1, v);"},
      {"another mesh locked",
       "b.lockVertex(); a.setVertex(1, w); a.getVertex(1, v);"
       "b.releaseVertex(0);"},
      {"another mesh locked since",
       "a.lockVertex(); b.lockVertex(); a.setVertex(1, w);"
       "a.getVertex(1, v); b.releaseVertex(0); a.releaseVertex(0);"},
      {"teapot vertices end before the texture coordinates",
       "b = createTeapot(); b.lockVertex(); b.setUV(0, f, f); b.releaseVertex(0); v = vector3();"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(script->build(
        std::string("mesh a; mesh b; vector3 v(9, 9, 9); vector3 w(7, 7, 7); float f = 1;\n"
                    "float main() { a = createMeshFromFile_uniqueInstance(\"quad.x\");"
                    "b = createMeshFromFile_uniqueInstance(\"quad.x\");") +
        c.steps +
        "vector3 r; a.lockVertex(); a.getVertex(1, r); a.releaseVertex(0);"
        "return r.x * 100 + v.x + v.y + v.z; }"))
        << script->messages();
    EXPECT_EQ(script->callFloat("float main()"), 200.0f);
  }
}

TEST_F(ScriptMesh, LocksNestAndTheLastReleaseEndsThem) {
  // After each case's steps the accessors on `a` either work (vertex 1
  // reads back as written) or touch nothing (it reads as zero and keeps
  // x = 2). Locks left open are closed before the check that follows.
  const struct {
    const char* what;
    const char* steps;
    int openAfter;  // locks of `a` the steps leave open
    bool works;
  } cases[] = {
      {"locked twice, released once", "a.lockVertex(); a.lockVertex(); a.releaseVertex(0);", 1,
       true},
      {"locked twice, released twice",
       "a.lockVertex(); a.lockVertex(); a.releaseVertex(0); a.releaseVertex(0);", 0, false},
      {"sphere map under the script's lock", "a.lockVertex(); a.updateSphereEnvMap(0);", 1, true},
      {"deformation under the script's lock", "a.lockVertex(); a.radialDeform(0, 1, 0, 0, 0);", 1,
       true},
      {"sphere map, then the script's release",
       "a.lockVertex(); a.updateSphereEnvMap(0); a.releaseVertex(0);", 0, false},
      {"sphere map without a lock of the script's", "a.updateSphereEnvMap(0);", 0, false},
      {"deformation without a lock of the script's", "a.radialDeform(0, 1, 0, 0, 0);", 0, false},
      {"locked again after another mesh",
       "a.lockVertex(); b.lockVertex(); a.lockVertex(); a.releaseVertex(0);", 1, true},
      {"another mesh's sphere map since", "a.lockVertex(); b.updateSphereEnvMap(0);", 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string closing;
    for (int i = 0; i < c.openAfter; ++i) closing += "a.releaseVertex(0);";
    ASSERT_TRUE(script->build(
        std::string("mesh a; mesh b; vector3 v(9, 9, 9); vector3 w(7, 7, 7);\n"
                    "float main() { a = createMeshFromFile_uniqueInstance(\"quad.x\");"
                    "b = createMeshFromFile_uniqueInstance(\"quad.x\");") +
        c.steps + "a.setVertex(1, w); a.getVertex(1, v);" + closing +
        "vector3 r; a.lockVertex(); a.getVertex(1, r); a.releaseVertex(0);"
        "return r.x * 100 + v.x + v.y + v.z; }"))
        << script->messages();
    EXPECT_EQ(script->callFloat("float main()"), c.works ? 721.0f : 200.0f);
  }
}

TEST_F(ScriptMesh, EmptyHandleDoesNothing) {
  unsigned char* before = gLockedVertices;
  run(R"(void main() {
    mesh m; m.draw(); m.lockVertex(); m.getVertexData(n); v = vector3(1, 2, 3); m.getVertex(0, v);
    m.setVertex(0, v); m.setUV(0, 1, 1); m.releaseVertex(1); m.updateSphereEnvMap(1);
    m.radialDeform(1, 1, 1, 1, 1); f = m.getNumVertices();
  })");
  EXPECT_EQ(gLockedVertices, before);
  EXPECT_TRUE(gRadialDeformRestPositions.empty());
}

TEST_F(ScriptMesh, TeapotHasPositionAndNormal) {
  ASSERT_TRUE(script->build(R"(
    float normal() { mesh t = createTeapot(); vector3 v; t.lockVertex(); t.getNormal(0, v);
                     t.releaseVertex(0); return v.length(); }
    int count() { mesh t = createTeapot(); return t.getNumVertices(); })"))
      << script->messages();
  EXPECT_GT(script->callInt("int count()"), 1000);
  EXPECT_NEAR(script->callFloat("float normal()"), 1.0f, 1e-5f);
}

TEST_F(ScriptMesh, SphereMapOfANormalFacingTheEye) {
  // The eye on the -z axis of the mesh's origin, every normal (0, 0, -1):
  // the reflection is the view direction reversed, u = v = 0.5.
  gCameraPos = D3DXVECTOR3(0, 0, -10);
  ASSERT_TRUE(script->build(R"(
    float uv() { mesh a = createMeshFromFile_uniqueInstance("quad.x");
      a.updateSphereEnvMap(0); a.lockVertex(); vector3 v; a.getNormal(2, v);
      a.releaseVertex(0); return v.z; })"));
  EXPECT_EQ(script->callFloat("float uv()"), -1.0f);
  // Read the written coordinates directly: they sit at bytes 24 and 28.
  ID3DXMesh* mesh = nullptr;
  TQDataHandler_Mesh handler;
  void* object = nullptr;
  std::string error;
  ASSERT_TRUE(handler.loadFromMemory(kQuad, int(std::strlen(kQuad)), &object, error));
  mesh = static_cast<ID3DXMesh*>(object);
  ASSERT_NE(mesh, nullptr);
  MeshHandle handle;
  handle.attach(mesh, new int(0), true);
  ASSERT_TRUE(script->build("void go(mesh &in m) { m.updateSphereEnvMap(1); }"));
  ASSERT_TRUE(script->prepare("void go(mesh &in)"));
  script->context()->SetArgAddress(0, &handle);
  ASSERT_TRUE(script->run());
  void* data = nullptr;
  ASSERT_EQ(mesh->LockVertexBuffer(D3DLOCK_READONLY, &data), D3D_OK);
  const float* v = static_cast<const float*>(data);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(v[8 * i + 6], 0.5f, 1e-6f);
    EXPECT_NEAR(v[8 * i + 7], 0.5f, 1e-6f);
  }
  mesh->UnlockVertexBuffer();
  delete handle.count;
  handle.count = nullptr;
  mesh->Release();
}

TEST_F(ScriptMesh, RadialDeformFromTheFirstMeshRestPositions) {
  ASSERT_TRUE(script->build(R"(
    vector3 deformed(float b, float c) {
      mesh a = createMeshFromFile_uniqueInstance("quad.x");
      a.lockVertex(); a.setVertex(1, vector3(4, 1, 1)); a.setVertex(3, vector3(0.05, 1, 1));
      a.releaseVertex(0);
      a.radialDeform(0.3, b, c, 1, 1);
      vector3 v; a.lockVertex(); a.getVertex(1, v); vector3 w; a.getVertex(3, w);
      a.releaseVertex(0);
      return vector3(v.x, v.y + v.z, w.z);
    })"))
      << script->messages();
  auto call = [&](float b, float c) {
    script->prepare("vector3 deformed(float, float)");
    script->context()->SetArgFloat(0, b);
    script->context()->SetArgFloat(1, c);
    script->run();
    return *static_cast<D3DXVECTOR3*>(script->context()->GetReturnObject());
  };
  // The first call takes the rest positions from its mesh as it is then.
  const D3DXVECTOR3 first = call(1, 0);
  ASSERT_EQ(gRadialDeformRestPositions.size(), 12u);
  EXPECT_EQ(gRadialDeformRestPositions[3], 4.0f);
  EXPECT_EQ(first.x, 4.0f);

  // From a rest at (2, 0, 0): with c = 0 x moves halfway from 4 to 2, y
  // and z return; vertex 3 rests within 0.1 b of the origin and stays.
  gRadialDeformRestPositions = {0, 0, 0, 2, 0, 0, 0, 2, 0, 0.01f, 0, 0};
  const D3DXVECTOR3 still = call(1, 0);
  EXPECT_EQ(still.x, 3.0f);
  EXPECT_EQ(still.y, 0.0f);
  EXPECT_EQ(still.z, 1.0f);
  // b = 0 and b < 0 move nothing.
  EXPECT_EQ(call(0, 1).x, 4.0f);
  EXPECT_EQ(call(-1, 1).x, 4.0f);
  // A wave moves the vertex off its rest line.
  EXPECT_NE(call(1, 1).y, 0.0f);
  // A mesh with more vertices than rest positions: the surplus stays.
  gRadialDeformRestPositions = {0, 0, 0, 2, 0, 0};
  const D3DXVECTOR3 beyond = call(1, 0);
  EXPECT_EQ(beyond.x, 3.0f);
  EXPECT_EQ(beyond.z, 1.0f);
}

TEST(ScriptMeshDeathTest, AFileTheStoreCannotDeliverEndsTheRun) {
  EXPECT_EXIT(
      {
        gFatalErrorHook = [](const char* text) { std::fprintf(stderr, "<%s>\n", text); };
        TQDatabaseFilesystem store;
        gDatabase = &store;
        MathScript script;
        initD3DMesh(script.engine());
        script.build("void main() { mesh m = createMeshFromFile(\"\"); }");
        script.call("void main()");
      },
      testing::ExitedWithCode(255), "<Error loading mesh \\(\\) - Abort>");
}

}  // namespace
