// The script type skinnedMesh: loading through the resource store, the
// animation of each mesh, the draw calls of skinned and rigid containers,
// the overload switches and the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "core/RenderStateStack.h"
#include "core/TQDatabase.h"
#include "scriptapi/D3DMesh.h"
#include "scriptapi/SkinnedMesh.h"
#include "tests/d3d9_fixture.h"
#include "tests/fake_device.h"
#include "tests/image_files.h"
#include "tests/math_script_fixture.h"

namespace {

void writeFile(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
}

// Bones A, B (with a child C) under Root; a mesh of two triangles, the
// first moved by A and B, the second by C; B slides along x over ten ticks
// at ten ticks per second.
const char* const kSkinned = R"(xof 0303txt 0032
AnimTicksPerSecond { 10; }
Frame Root {
  Frame A { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 1,0,0,1;; } }
  Frame B { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,2,0,1;; } Frame C { } }
  Mesh Skin {
    6; 0;0;0;, 0;1;0;, 1;0;0;, 5;0;0;, 5;1;0;, 6;0;0;;
    2; 3;0,1,2;, 3;3,4,5;;
    MeshMaterialList { 1; 2; 0, 0;; Material { 1;0;0;1;; 0; 0;0;0;; 0;0;0;; } }
    SkinWeights { "A"; 3; 0,1,2; 1.0,0.75,0.5; 1,0,0,0, 0,1,0,0, 0,0,1,0, -1,0,0,1;; }
    SkinWeights { "B"; 2; 1,2; 0.25,0.5; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,-2,0,1;; }
    SkinWeights { "C"; 3; 3,4,5; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }
  }
}
AnimationSet Slide { Animation { { B } AnimationKey { 2; 2; 0;3;0,2,0;;, 10;3;4,2,0;;; } } }
)";

// A rigid mesh without materials and without normals, in a frame moved by
// (0, 0, 3).
const char* const kRigid = R"(xof 0303txt 0032
Frame F { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,3,1;; }
  Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; } }
)";

class ScriptSkinnedMesh : public d3d9_testing::DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    previous = std::filesystem::current_path();
    char pattern[] = "/tmp/engine-skin-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    std::filesystem::current_path(folder);
    writeFile("skin.x", kSkinned);
    writeFile("rigid.x", kRigid);
    writeFile("broken.x", "xof 0303txt 0032 Frame { Mesh { 1; }");
    store = std::make_unique<TQDatabaseFilesystem>();
    gDatabase = store.get();
    deviceScope = std::make_unique<DeviceScope>(device);
    states = std::make_unique<RenderStateStack>();
    previousStack = gRenderStateStack;
    gRenderStateStack = states.get();
    script = std::make_unique<MathScript>();
    ASSERT_EQ(initD3DMesh(script->engine()), 0);
  }
  void TearDown() override {
    script.reset();
    gRenderStateStack = previousStack;
    states.reset();
    store.reset();
    gDatabase = nullptr;
    deviceScope.reset();
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(folder);
    DeviceFixture::TearDown();
  }

  // Builds the globals `skinnedMesh a, b;` and `body`, runs main().
  void run(const std::string& body) {
    ASSERT_TRUE(script->build("skinnedMesh a; skinnedMesh b;\n" + body)) << script->messages();
    script->call("void main()");
  }
  CSkinMesh9* global(int index) {
    return static_cast<SkinnedMeshHandle*>(
               script->engine()->GetModule("test")->GetAddressOfGlobalVar(index))
        ->object;
  }
  // The logged calls of one draw that matter here, shortened.
  std::vector<std::string> drawCalls(const std::string& body) {
    d3d9_test::setCallLogEnabled(true);
    d3d9_test::clearCallLog();
    run(body);
    d3d9_test::setCallLogEnabled(false);
    std::vector<std::string> out;
    auto argument = [](const std::string& call) {
      const size_t open = call.find('('), comma = call.find_first_of(",)", open);
      return call.substr(open + 1, comma - open - 1);
    };
    for (const std::string& call : d3d9_test::callLog()) {
      if (call.rfind("SetTransform(", 0) == 0)
        out.push_back("world " + argument(call));
      else if (call.rfind("SetRenderState(151,", 0) == 0)
        out.push_back("blend " + call.substr(20, call.size() - 21));
      else if (call.rfind("SetMaterial(", 0) == 0)
        out.push_back("material");
      else if (call.rfind("SetTexture(", 0) == 0)
        out.push_back("texture");
      else if (call.rfind("DrawIndexedPrimitive(", 0) == 0)
        out.push_back("draw");
      else if (call.rfind("SetSoftwareVertexProcessing(", 0) == 0)
        out.push_back("software " + argument(call));
    }
    return out;
  }

  std::filesystem::path folder, previous;
  std::unique_ptr<TQDatabaseFilesystem> store;
  std::unique_ptr<DeviceScope> deviceScope;
  std::unique_ptr<RenderStateStack> states;
  RenderStateStack* previousStack = nullptr;
  std::unique_ptr<MathScript> script;
};

TEST_F(ScriptSkinnedMesh, OneFileReadOnceMeshesAnimateIndependently) {
  run(R"(void main() { a = createSkinnedMeshFromFile("skin.x"); })");
  std::filesystem::remove("skin.x");  // the second load must come from the cache
  run(R"(void main() { a = createSkinnedMeshFromFile("skin.x");
                       b = createSkinnedMeshFromFile("skin.x"); }
         void drawA() { a.draw(0.5); }
         void drawB() { b.draw(0.25); })");
  // Each draw starts from the identity world: a skinned draw leaves its
  // last bone matrix there.
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  device->SetTransform(D3DTS_WORLD, &identity);
  script->call("void drawA()");
  device->SetTransform(D3DTS_WORLD, &identity);
  script->call("void drawB()");
  CSkinMesh9* a = global(0);
  CSkinMesh9* b = global(1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a, b);
  ASSERT_NE(a->frameRoot, nullptr);
  ASSERT_NE(b->frameRoot, nullptr);
  auto combinedX = [](CSkinMesh9* mesh, const char* name) {
    return static_cast<SkinFrame*>(D3DXFrameFind(mesh->frameRoot, name))->combinedTransform._41;
  };
  EXPECT_NEAR(combinedX(a, "C"), 2.0f, 1e-5f);
  EXPECT_NEAR(combinedX(b, "C"), 1.0f, 1e-5f);
  EXPECT_DOUBLE_EQ(a->animController->GetTime(), 0.5);
  EXPECT_DOUBLE_EQ(b->animController->GetTime(), 0.25);
  EXPECT_EQ(D3DXFrameFind(b->frameRoot, "B")->TransformationMatrix._41, 1.0f);
}

TEST_F(ScriptSkinnedMesh, SkinnedContainerDrawsEachBoneCombination) {
  const std::vector<std::string> calls =
      drawCalls(R"(void main() { a = createSkinnedMeshFromFile("skin.x"); a.draw(0.5); })");
  // Combination 0 uses slots 0 and 1 (A, B), combination 1 slot 0 (C) with
  // the same material, which is therefore set once.
  EXPECT_EQ(calls,
            (std::vector<std::string>{"world 256", "world 257", "blend 1", "material", "texture",
                                      "draw", "world 256", "blend 0", "draw", "blend 0"}));
  // Slot 0 holds C's matrix last: its offset (identity) times its frame,
  // which follows B moved to (2, 2, 0) at 0.5 s.
  D3DXMATRIX slot0;
  device->GetTransform(D3DTS_WORLDMATRIX(0), &slot0);
  EXPECT_NEAR(slot0._41, 2.0f, 1e-5f);
  EXPECT_NEAR(slot0._42, 2.0f, 1e-5f);
  DWORD blend = 9;
  device->GetRenderState(D3DRS_VERTEXBLEND, &blend);
  EXPECT_EQ(blend, 0u);
  D3DMATERIAL9 m;
  device->GetMaterial(&m);
  EXPECT_EQ(m.Diffuse.r, 1.0f);
  // The normalisation went through the undo stack.
  ASSERT_FALSE(states->changeLog.empty());
  EXPECT_EQ(states->changeLog.back(), int(D3DRS_NORMALIZENORMALS));
}

TEST_F(ScriptSkinnedMesh, OverloadsLeaveMaterialAndTextureAlone) {
  const std::vector<std::string> calls = drawCalls(R"(void main() {
      a = createSkinnedMeshFromFile("skin.x"); a.setOverloadMaterial(1); a.setOverloadTexture(7);
      b = createSkinnedMeshFromFile("rigid.x"); b.setOverloadMaterial(1); b.setOverloadTexture(1);
      a.draw(0); b.draw(0); })");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "material"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "texture"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "draw"), 3);
}

TEST_F(ScriptSkinnedMesh, RigidMeshGetsGreyMaterialAndItsFrameTransform) {
  const std::vector<std::string> calls =
      drawCalls(R"(void main() { a = createSkinnedMeshFromFile("rigid.x"); a.draw(0); })");
  EXPECT_EQ(calls, (std::vector<std::string>{"world 256", "material", "texture", "draw"}));
  D3DMATERIAL9 m;
  device->GetMaterial(&m);
  EXPECT_EQ(m.Diffuse.r, 0.5f);
  EXPECT_EQ(m.Diffuse.a, 0.0f);
  EXPECT_EQ(m.Specular.g, 0.5f);
  D3DXMATRIX world;
  device->GetTransform(D3DTS_WORLD, &world);
  EXPECT_EQ(world._43, 3.0f);
  CSkinMesh9* a = global(0);
  EXPECT_EQ(a->animController, nullptr);
  // The mesh had no normals: the container's copy has them.
  EXPECT_TRUE(a->frameRoot->pMeshContainer->MeshData.pMesh->GetFVF() & D3DFVF_NORMAL);
}

TEST_F(ScriptSkinnedMesh, EmptyAndFailedMeshesDrawNothing) {
  LogCapture log;
  const std::vector<std::string> calls = drawCalls(R"(void main() {
      skinnedMesh e; e.draw(1); e.setOverloadTexture(1); e.setOverloadMaterial(1);
      a = createSkinnedMeshFromFile("broken.x"); a.draw(1); })");
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(LogCapture::lines(), std::vector<std::string>{"Failed to load skin mesh"});
  EXPECT_EQ(global(0)->frameRoot, nullptr);
  // The empty handle set no render state; the failed mesh did, as drawing
  // any held mesh does.
  EXPECT_EQ(states->changeLog.size(), 1u);
}

TEST_F(ScriptSkinnedMesh, BonesWithoutFramesAreNotDrawn) {
  const std::string path = "/usr/share/assimp/models/X/anim_test.x";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "assimp-testmodels is not installed";
  std::filesystem::copy_file(path, "anim.x");
  // The cylinder's skin names four bones; the file has frames for two.
  const std::vector<std::string> calls =
      drawCalls(R"(void main() { a = createSkinnedMeshFromFile("anim.x"); a.draw(0.1); })");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "draw"), 0);
  EXPECT_NE(global(0)->frameRoot, nullptr);
  EXPECT_NE(global(0)->animController, nullptr);
}

TEST_F(ScriptSkinnedMesh, CombinationsBeyondTheDeviceBlendMatricesDrawInSoftware) {
  // As on a device that blends with one matrix only: combination 0 (two
  // bones) moves to the software pass, combination 1 (one bone) stays.
  CSkinMesh9 mesh(device);
  ASSERT_EQ(mesh.load(kSkinned, DWORD(std::strlen(kSkinned))), D3D_OK);
  mesh.caps.MaxVertexBlendMatrices = 1;
  auto* container = static_cast<SkinMeshContainer*>(mesh.frameRoot->pMeshContainer);
  ASSERT_EQ(mesh.buildBlendedMesh(container), D3D_OK);
  EXPECT_EQ(container->softwareStartGroup, 0u);
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  mesh.render(nullptr, 0.0, identity);
  d3d9_test::setCallLogEnabled(false);
  std::vector<std::string> order;
  for (const std::string& call : d3d9_test::callLog())
    if (call.rfind("SetSoftwareVertexProcessing", 0) == 0 ||
        call.rfind("SetRenderState(151", 0) == 0)
      order.push_back(call);
  EXPECT_EQ(order,
            (std::vector<std::string>{"SetRenderState(151, 0)", "SetSoftwareVertexProcessing(1)",
                                      "SetRenderState(151, 1)", "SetSoftwareVertexProcessing(0)",
                                      "SetRenderState(151, 0)"}));
}

// A rigid quad over the whole clip space, both faces in a material whose
// texture lies in a subfolder (named the Windows way); a second material
// names a file that is not there.
const char* const kTextured = R"(xof 0303txt 0032
Frame F {
  Mesh { 4; -1;1;0.5;, 1;1;0.5;, -1;-1;0.5;, 1;-1;0.5;;
    2; 3;0,1,2;, 3;2,1,3;;
    MeshNormals { 1; 0;0;-1;; 2; 3;0,0,0;, 3;0,0,0;; }
    MeshTextureCoords { 4; 0;0;, 1;0;, 0;1;, 1;1;; }
    MeshMaterialList { 2; 2; 0, 0;;
      Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "pics\checker.bmp"; } }
      Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "missing.bmp"; } } } } }
)";

TEST_F(ScriptSkinnedMesh, MaterialTexturesOpenFromTheWorkingDirectory) {
  // Left half red, right half green.
  std::vector<uint32_t> texels(8 * 8);
  for (int i = 0; i < 64; ++i) texels[i] = i % 8 < 4 ? 0xFFFF0000 : 0xFF00FF00;
  std::filesystem::create_directory("pics");
  writeFile("pics/checker.bmp", image_files::bmp(8, 8, texels));
  writeFile("textured.x", kTextured);
  run(R"(void main() { a = createSkinnedMeshFromFile("textured.x"); }
         void render() { a.draw(0); })");
  ASSERT_NE(global(0)->frameRoot, nullptr);
  auto* container = static_cast<SkinMeshContainer*>(global(0)->frameRoot->pMeshContainer);
  ASSERT_NE(container, nullptr);
  ASSERT_EQ(container->NumMaterials, 2u);
  EXPECT_NE(container->textures[0], nullptr);
  EXPECT_EQ(container->textures[1], nullptr);  // the file is not there
  EXPECT_EQ(container->pMaterials[0].pTextureFilename, nullptr);
  EXPECT_EQ(container->pMaterials[1].pTextureFilename, nullptr);

  // Drawn in clip space without lighting, the quad shows the texture.
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  for (D3DTRANSFORMSTATETYPE t : {D3DTS_WORLD, D3DTS_VIEW, D3DTS_PROJECTION})
    device->SetTransform(t, &identity);
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF0000FF, 1.0f, 0);
  device->BeginScene();
  script->call("void render()");
  device->EndScene();
  const d3d9_test::Frame f = frame();
  for (int y : {int(kHeight) / 4, int(kHeight) * 3 / 4}) {
    EXPECT_TRUE(d3d9_testing::colourNear(f.at(kWidth / 4, y) | 0xFF000000u, 0xFFFF0000u, 4));
    EXPECT_TRUE(d3d9_testing::colourNear(f.at(kWidth * 3 / 4, y) | 0xFF000000u, 0xFF00FF00u, 4));
  }
}

// Root holds P (whose child P1 has a mesh) and, after P, its sibling Q
// with a mesh: each mesh with a material and a texture of its own, each
// frame moved along an axis of its own.
const char* const kSiblingAndChild = R"(xof 0303txt 0032
Frame Root {
  Frame P { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 1,0,0,1;; }
    Frame P1 { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,5,0,1;; }
      Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;
        MeshMaterialList { 1; 1; 0;;
          Material { 1;0;0;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "p1.bmp"; } } } } } }
  Frame Q { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,7,1;; }
    Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;
      MeshMaterialList { 1; 1; 0;;
        Material { 0;1;0;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "q.bmp"; } } } } }
}
)";

TEST_F(ScriptSkinnedMesh, SiblingTreeIsDrawnBeforeTheChildTree) {
  writeFile("tree.x", kSiblingAndChild);
  writeFile("p1.bmp", image_files::bmp(2, 2, std::vector<uint32_t>(4, 0xFFFF0000)));
  writeFile("q.bmp", image_files::bmp(2, 2, std::vector<uint32_t>(4, 0xFF00FF00)));
  const std::vector<std::string> calls =
      drawCalls(R"(void main() { a = createSkinnedMeshFromFile("tree.x"); a.draw(0); })");
  CSkinMesh9* mesh = global(0);
  ASSERT_NE(mesh->frameRoot, nullptr);
  D3DXFRAME* p = D3DXFrameFind(mesh->frameRoot, "P");
  D3DXFRAME* q = D3DXFrameFind(mesh->frameRoot, "Q");
  D3DXFRAME* p1 = D3DXFrameFind(mesh->frameRoot, "P1");
  ASSERT_TRUE(p && q && p1);
  ASSERT_EQ(p->pFrameSibling, q);
  ASSERT_EQ(p->pFrameFirstChild, p1);
  const std::vector<std::string> one = {"world 256", "material", "texture", "draw"};
  std::vector<std::string> both = one;
  both.insert(both.end(), one.begin(), one.end());
  EXPECT_EQ(calls, both);

  // What the draw leaves is P1's, the container drawn last.
  D3DXMATRIX world;
  device->GetTransform(D3DTS_WORLD, &world);
  EXPECT_EQ(world._41, 1.0f);
  EXPECT_EQ(world._42, 5.0f);
  EXPECT_EQ(world._43, 0.0f);
  D3DMATERIAL9 m;
  device->GetMaterial(&m);
  EXPECT_EQ(m.Diffuse.r, 1.0f);
  EXPECT_EQ(m.Diffuse.g, 0.0f);
  IDirect3DBaseTexture9* stage0 = nullptr;
  device->GetTexture(0, &stage0);
  auto* p1Container = static_cast<SkinMeshContainer*>(p1->pMeshContainer);
  ASSERT_NE(p1Container->textures[0], nullptr);
  EXPECT_EQ(stage0, p1Container->textures[0]);
  if (stage0) stage0->Release();
}

TEST_F(ScriptSkinnedMesh, BoneLinksStopAtTheFirstFailureInFrameOrder) {
  // The same tree with skinned meshes: Q's skin names a bone without a
  // frame. Q's tree is linked before P's child, so P1 is never linked.
  const std::string skinned = R"(xof 0303txt 0032
Frame Root {
  Frame P { Frame P1 {
    Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;
      SkinWeights { "P1"; 3; 0,1,2; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; } } } }
  Frame Q {
    Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;
      SkinWeights { "Nowhere"; 3; 0,1,2; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; } } }
}
)";
  CSkinMesh9 mesh(device);
  EXPECT_EQ(mesh.load(skinned.data(), DWORD(skinned.size())), E_FAIL);
  ASSERT_NE(mesh.frameRoot, nullptr);
  auto container = [&](const char* frame) {
    D3DXFRAME* f = D3DXFrameFind(mesh.frameRoot, frame);
    return f ? static_cast<SkinMeshContainer*>(f->pMeshContainer) : nullptr;
  };
  ASSERT_NE(container("Q"), nullptr);
  ASSERT_NE(container("P1"), nullptr);
  ASSERT_NE(container("Q")->pSkinInfo, nullptr);
  ASSERT_NE(container("Q")->boneMatrixPointers, nullptr);
  EXPECT_EQ(container("Q")->boneMatrixPointers[0], nullptr);
  EXPECT_EQ(container("P1")->boneMatrixPointers, nullptr);
}

TEST(ScriptSkinnedMeshDeathTest, AFileTheStoreCannotDeliverEndsTheRun) {
  EXPECT_EXIT(
      {
        gFatalErrorHook = [](const char* text) { std::fprintf(stderr, "<%s>\n", text); };
        TQDatabaseFilesystem store;
        gDatabase = &store;
        MathScript script;
        initD3DMesh(script.engine());
        script.build("void main() { skinnedMesh m = createSkinnedMeshFromFile(\"none.x\"); }");
        script.call("void main()");
      },
      testing::ExitedWithCode(255), "<Error loading skinned mesh \\(none.x\\) - Abort>");
}

}  // namespace
