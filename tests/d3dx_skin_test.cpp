// Frame hierarchies, skin information, blended meshes and the animation
// controller loaded from X files.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/d3dx/D3DXSkin.h"
#include "tests/d3d9_fixture.h"

namespace {

using d3d9_testing::DeviceFixture;

// Keeps what the loader hands over, and counts what it made and destroyed.
struct Allocator : ID3DXAllocateHierarchy {
  HRESULT CreateFrame(LPCSTR name, D3DXFRAME** out) override {
    auto* frame = new D3DXFRAME{};
    frame->Name = name ? strdup(name) : nullptr;
    D3DXMatrixIdentity(static_cast<D3DXMATRIX*>(&frame->TransformationMatrix));
    *out = frame;
    ++frames;
    return S_OK;
  }
  HRESULT CreateMeshContainer(LPCSTR name, const D3DXMESHDATA* data, const D3DXMATERIAL* materials,
                              const D3DXEFFECTINSTANCE*, DWORD numMaterials, const DWORD* adjacency,
                              ID3DXSkinInfo* skin, D3DXMESHCONTAINER** out) override {
    *out = nullptr;
    if (failContainers) return E_OUTOFMEMORY;
    auto* c = new D3DXMESHCONTAINER{};
    c->Name = strdup(name ? name : "");
    c->MeshData = *data;
    data->pMesh->AddRef();
    c->NumMaterials = numMaterials;
    c->pMaterials = new D3DXMATERIAL[numMaterials ? numMaterials : 1];
    for (DWORD i = 0; i < numMaterials; ++i) {
      c->pMaterials[i] = materials[i];
      c->pMaterials[i].pTextureFilename =
          materials[i].pTextureFilename ? strdup(materials[i].pTextureFilename) : nullptr;
    }
    const DWORD faces = data->pMesh->GetNumFaces();
    c->pAdjacency = new DWORD[3 * faces];
    std::memcpy(c->pAdjacency, adjacency, 12 * faces);
    c->pSkinInfo = skin;
    if (skin) skin->AddRef();
    *out = c;
    ++containers;
    return S_OK;
  }
  HRESULT DestroyFrame(D3DXFRAME* frame) override {
    free(frame->Name);
    delete frame;
    --frames;
    return S_OK;
  }
  HRESULT DestroyMeshContainer(D3DXMESHCONTAINER* c) override {
    free(c->Name);
    for (DWORD i = 0; i < c->NumMaterials; ++i) free(c->pMaterials[i].pTextureFilename);
    delete[] c->pMaterials;
    delete[] c->pAdjacency;
    c->MeshData.pMesh->Release();
    if (c->pSkinInfo) c->pSkinInfo->Release();
    delete c;
    --containers;
    return S_OK;
  }

  int frames = 0, containers = 0;
  bool failContainers = false;
};

// Three bones under a root frame; a mesh of two triangles, the first moved
// by bones A and B, the second by C alone; bone B slides along x over ten
// ticks, at ten ticks per second.
const char* const kSkinnedFile = R"(xof 0303txt 0032
AnimTicksPerSecond { 10; }
Frame Root {
  FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }
  Frame A { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 1,0,0,1;; } }
  Frame B { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,2,0,1;; }
    Frame C { } }
  Mesh Skin {
    6; 0;0;0;, 0;1;0;, 1;0;0;, 5;0;0;, 5;1;0;, 6;0;0;;
    2; 3;0,1,2;, 3;3,4,5;;
    MeshNormals { 1; 0;0;-1;; 2; 3;0,0,0;, 3;0,0,0;; }
    XSkinMeshHeader { 2; 2; 3; }
    SkinWeights { "A"; 3; 0,1,2; 1.0,0.75,0.5; 1,0,0,0, 0,1,0,0, 0,0,1,0, -1,0,0,1;; }
    SkinWeights { "B"; 2; 1,2; 0.25,0.5; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,-2,0,1;; }
    SkinWeights { "C"; 3; 3,4,5; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }
  }
}
AnimationSet Slide {
  Animation { { B }
    AnimationKey { 2; 2; 0;3;0,2,0;;, 10;3;4,2,0;;; }
  }
}
)";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class SkinFixture : public DeviceFixture {
 protected:
  void TearDown() override {
    unload();
    EXPECT_EQ(allocator.frames, 0);
    EXPECT_EQ(allocator.containers, 0);
    DeviceFixture::TearDown();
  }
  // Drops what the last load made, for the next one.
  void unload() {
    if (root) D3DXFrameDestroy(root, &allocator);
    if (controller) controller->Release();
    root = nullptr;
    controller = nullptr;
  }
  HRESULT load(const std::string& bytes) {
    return D3DXLoadMeshHierarchyFromXInMemory(bytes.data(), DWORD(bytes.size()), D3DXMESH_MANAGED,
                                              device, &allocator, nullptr, &root, &controller);
  }
  // Loads the skinned file with bone B resting at `rest` (a matrix's 16
  // numbers) and animated by `keys` alone, advances `seconds` and gives B's
  // matrix then; false when the file does not load or animate.
  bool boneBAfter(const char* rest, const std::string& keys, double seconds, D3DXMATRIX& out) {
    const std::string file = kSkinnedFile;
    const std::string restOfB = "1,0,0,0, 0,1,0,0, 0,0,1,0, 0,2,0,1";
    const std::size_t at = file.find(restOfB, file.find("Frame B"));
    if (at == std::string::npos) return false;
    unload();
    std::string placed = file;
    placed.replace(at, restOfB.size(), rest);
    placed = placed.substr(0, placed.find("AnimationSet")) +
             "AnimationSet Moved {\n  Animation { { B }\n" + keys + "\n  }\n}\n";
    if (load(placed) != D3D_OK || !controller) return false;
    if (controller->AdvanceTime(seconds, nullptr) != D3D_OK) return false;
    out = D3DXFrameFind(root, "B")->TransformationMatrix;
    return true;
  }

  Allocator allocator;
  D3DXFRAME* root = nullptr;
  ID3DXAnimationController* controller = nullptr;
};

TEST_F(SkinFixture, HierarchyFramesContainersAndSkin) {
  ASSERT_EQ(load(kSkinnedFile), D3D_OK);
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->Name, "Root");
  EXPECT_EQ(root->pFrameSibling, nullptr);
  D3DXFRAME* a = root->pFrameFirstChild;
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->Name, "A");
  EXPECT_EQ(a->TransformationMatrix._41, 1.0f);
  ASSERT_NE(a->pFrameSibling, nullptr);
  EXPECT_STREQ(a->pFrameSibling->Name, "B");
  EXPECT_EQ(D3DXFrameFind(root, "C"), a->pFrameSibling->pFrameFirstChild);
  EXPECT_EQ(D3DXFrameFind(root, "D"), nullptr);

  D3DXMESHCONTAINER* c = root->pMeshContainer;
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(c->Name, "Skin");
  EXPECT_EQ(c->MeshData.Type, D3DXMESHTYPE_MESH);
  EXPECT_EQ(c->MeshData.pMesh->GetOptions(), DWORD(D3DXMESH_MANAGED));
  EXPECT_EQ(c->NumMaterials, 0u);
  ID3DXSkinInfo* skin = c->pSkinInfo;
  ASSERT_NE(skin, nullptr);
  ASSERT_EQ(skin->GetNumBones(), 3u);
  EXPECT_STREQ(skin->GetBoneName(1), "B");
  EXPECT_EQ(skin->GetBoneName(3), nullptr);
  EXPECT_EQ(skin->GetBoneOffsetMatrix(1)->_42, -2.0f);
  ASSERT_EQ(skin->GetNumBoneInfluences(0), 3u);
  DWORD vertices[3];
  float weights[3];
  ASSERT_EQ(skin->GetBoneInfluence(0, vertices, weights), D3D_OK);
  EXPECT_EQ(vertices[2], 2u);
  EXPECT_EQ(weights[1], 0.75f);
  DWORD most = 0;
  skin->GetMaxVertexInfluences(&most);
  EXPECT_EQ(most, 2u);
}

TEST_F(SkinFixture, BlendedMeshGroupsFacesByTheirBones) {
  ASSERT_EQ(load(kSkinnedFile), D3D_OK);
  D3DXMESHCONTAINER* c = root->pMeshContainer;
  ID3DXMesh* blended = nullptr;
  ID3DXBuffer* combinations = nullptr;
  DWORD influences = 0, groups = 0;
  ASSERT_EQ(c->pSkinInfo->ConvertToBlendedMesh(
                c->MeshData.pMesh, D3DXMESH_MANAGED | D3DXMESHOPT_VERTEXCACHE, c->pAdjacency,
                nullptr, nullptr, nullptr, &influences, &groups, &combinations, &blended),
            D3D_OK);
  // Face 0 needs A and B, face 1 needs C: two slots, and C does not fit
  // with A and B, so two combinations.
  EXPECT_EQ(influences, 2u);
  ASSERT_EQ(groups, 2u);
  EXPECT_EQ(blended->GetFVF(), DWORD(D3DFVF_XYZB1 | D3DFVF_NORMAL));
  const auto* g = static_cast<const D3DXBONECOMBINATION*>(combinations->GetBufferPointer());
  EXPECT_EQ(g[0].BoneId[0], 0u);
  EXPECT_EQ(g[0].BoneId[1], 1u);
  EXPECT_EQ(g[1].BoneId[0], 2u);
  EXPECT_EQ(g[1].BoneId[1], 0xFFFFFFFFu);
  EXPECT_EQ(g[1].FaceStart, 1u);
  EXPECT_EQ(g[1].FaceCount, 1u);
  DWORD tableSize = 0;
  blended->GetAttributeTable(nullptr, &tableSize);
  EXPECT_EQ(tableSize, 2u);

  // Vertex 1 in combination 0: weight 0.75 on A (slot 0), B takes the rest.
  void* data = nullptr;
  ASSERT_EQ(blended->LockVertexBuffer(D3DLOCK_READONLY, &data), D3D_OK);
  const auto* v = static_cast<const float*>(data);
  const DWORD stride = blended->GetNumBytesPerVertex() / 4;
  EXPECT_EQ(v[stride * 1 + 1], 1.0f);  // y of vertex 1
  EXPECT_EQ(v[stride * 1 + 3], 0.75f);
  EXPECT_EQ(v[stride * 2 + 3], 0.5f);
  blended->UnlockVertexBuffer();

  // Drawing a combination draws its faces alone.
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  device->BeginScene();
  blended->DrawSubset(1);
  device->EndScene();
  d3d9_test::setCallLogEnabled(false);
  bool drawn = false;
  for (const std::string& call : d3d9_test::callLog())
    if (call.rfind("DrawIndexedPrimitive", 0) == 0) {
      EXPECT_EQ(call, "DrawIndexedPrimitive(4, 0, 3, 3, 3, 1)");
      drawn = true;
    }
  EXPECT_TRUE(drawn);
  combinations->Release();
  blended->Release();
}

TEST_F(SkinFixture, AnimationMovesFramesAndLoops) {
  ASSERT_EQ(load(kSkinnedFile), D3D_OK);
  ASSERT_NE(controller, nullptr);
  D3DXFRAME* b = D3DXFrameFind(root, "B");
  struct Step {
    double delta;
    float x;
  } steps[] = {{0.0, 0.0f}, {0.5, 2.0f}, {0.25, 3.0f}, {0.5, 1.0f}, {-0.25, 0.0f}};
  double time = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.delta);
    ASSERT_EQ(controller->AdvanceTime(step.delta, nullptr), D3D_OK);
    time += step.delta;
    EXPECT_DOUBLE_EQ(controller->GetTime(), time);
    EXPECT_NEAR(b->TransformationMatrix._41, step.x, 1e-5f);
    EXPECT_EQ(b->TransformationMatrix._42, 2.0f);
    EXPECT_EQ(b->TransformationMatrix._11, 1.0f);
  }
  // Frames without animation keep the file's matrix.
  EXPECT_EQ(D3DXFrameFind(root, "A")->TransformationMatrix._41, 1.0f);
}

// The skinned file with another animation of bone B (at rest at (0, 2, 0);
// ten ticks per second).
std::string withAnimation(const std::string& keys) {
  const std::string file = kSkinnedFile;
  return file.substr(0, file.find("AnimationSet")) + "AnimationSet Other {\n  Animation { { B }\n" +
         keys + "\n  }\n}\n";
}

TEST_F(SkinFixture, AnimationKeysThatDoNotReadAreLeftOutAlone) {
  const char* const kMove4 = "1,0,0,0, 0,1,0,0, 0,0,1,0, 4,2,0,1";
  const char* const kRest = "1,0,0,0, 0,1,0,0, 0,0,1,0, 0,2,0,1";
  const struct {
    const char* what;
    std::string keys;
    double seconds;  // advanced once from 0
    float x;         // of bone B then
  } cases[] = {
      {"matrix keys of type 3",
       std::string("AnimationKey { 3; 2; 0;16;") + kRest + ";;, 10;16;" + kMove4 + ";;; }", 0.5,
       2.0f},
      {"matrix keys of type 4",
       std::string("AnimationKey { 4; 2; 0;16;") + kRest + ";;, 10;16;" + kMove4 + ";;; }", 0.25,
       1.0f},
      {"a key with too few values", "AnimationKey { 2; 3; 0;3;0,2,0;;, 5;2;9,9;;, 10;3;4,2,0;;; }",
       0.5, 2.0f},
      {"a key with too many values",
       "AnimationKey { 2; 3; 0;3;0,2,0;;, 5;4;9,9,9,9;;, 10;3;4,2,0;;; }", 0.5, 2.0f},
      {"a key back in time", "AnimationKey { 2; 3; 0;3;0,2,0;;, 10;3;4,2,0;;, 5;3;99,2,0;;; }",
       0.75, 3.0f},
      {"fewer keys than announced", "AnimationKey { 2; 5; 0;3;0,2,0;;, 10;3;4,2,0;;; }", 0.5, 2.0f},
      {"an unknown key type beside a good one",
       "AnimationKey { 7; 1; 0;3;1,1,1;;; }\n AnimationKey { 2; 2; 0;3;0,2,0;;, 10;3;4,2,0;;; }",
       0.5, 2.0f},
      {"only an unknown key type: the frame rests", "AnimationKey { 9; 1; 0;3;1,1,1;;; }", 0.5,
       0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unload();
    ASSERT_EQ(load(withAnimation(c.keys)), D3D_OK);
    // The skinned mesh is there in every case.
    ASSERT_NE(root, nullptr);
    ASSERT_NE(root->pMeshContainer, nullptr);
    EXPECT_NE(root->pMeshContainer->pSkinInfo, nullptr);
    ASSERT_NE(controller, nullptr);
    ASSERT_EQ(controller->AdvanceTime(c.seconds, nullptr), D3D_OK);
    const D3DXFRAME* b = D3DXFrameFind(root, "B");
    EXPECT_NEAR(b->TransformationMatrix._41, c.x, 1e-5f);
    EXPECT_NEAR(b->TransformationMatrix._42, 2.0f, 1e-5f);
  }
}

TEST_F(SkinFixture, RotationKeysTurnTheFrameTheWayItsOwnMatrixDoes) {
  // Writers store the first rotation key of a track as the frame's own
  // rotation: read right, it leaves the frame where the file placed it.
  // The first two cases take a frame's rows and its first key (w, x, y, z)
  // as two exporters wrote them; the last turns by a quarter about z in ten
  // ticks and is read half way, which tells the direction of the turn.
  const char* const kQuarterZ = "0,1,0,0, -1,0,0,0, 0,0,1,0, 0,2,0,1";
  const struct {
    const char* what;
    const char* rest;  // bone B's FrameTransformMatrix
    std::string keys;
    double seconds;
    D3DXMATRIX expected;
  } cases[] = {
      {"a quarter turn about x", "1,0,0,0, 0,0,-1,0, 0,1,0,0, 0,0,0.35,1",
       "AnimationKey { 0; 1; 0;4;-0.707107,-0.707107,0,0;;; }", 0.0,
       D3DXMATRIX(1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0.35f, 1)},
      {"a turn about no axis of the frame",
       "-0.2911,0.047319,-0.955522,0, 0.928978,-0.224683,-0.29414,0, "
       "-0.228608,-0.973282,0.021447,0, 0.088443,0.016103,-0.032549,1",
       "AnimationKey { 0; 2; 0;4;-0.35555,0.477529,0.511119,-0.619925;;, "
       "10;4;-0.35555,0.477529,0.511119,-0.619925;;; }",
       0.5,
       D3DXMATRIX(-0.2911f, 0.047319f, -0.955522f, 0, 0.928978f, -0.224683f, -0.29414f, 0,
                  -0.228608f, -0.973282f, 0.021447f, 0, 0.088443f, 0.016103f, -0.032549f, 1)},
      {"a quarter turn about z, half way", kQuarterZ,
       "AnimationKey { 0; 2; 0;4;1,0,0,0;;, 10;4;0.707107,0,0,-0.707107;;; }", 0.5,
       D3DXMATRIX(0.707107f, 0.707107f, 0, 0, -0.707107f, 0.707107f, 0, 0, 0, 0, 1, 0, 0, 2, 0, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    D3DXMATRIX m;
    ASSERT_TRUE(boneBAfter(c.rest, c.keys, c.seconds, m));
    for (int i = 0; i < 16; ++i)
      EXPECT_NEAR(m.m[i / 4][i % 4], c.expected.m[i / 4][i % 4], 2e-4f) << "element " << i;
  }
}

TEST_F(SkinFixture, KindsOfKeyATrackLacksKeepTheFramesOwn) {
  // Bone B rests scaled and turned: scale (1, 2, 3) along its rows, a
  // quarter turn about z, at (0, 2, 0). A track keeps, of that pose, the
  // scale, rotation or position it has no keys for. The first key
  // (w, x, y, z) 1,0,0,0 is no turn.
  const char* const kScaledTurned = "0,1,0,0, -2,0,0,0, 0,0,3,0, 0,2,0,1";
  const char* const kMirrored = "-1,0,0,0, 0,1,0,0, 0,0,1,0, 0,2,0,1";
  const struct {
    const char* what;
    const char* rest;
    std::string keys;
    D3DXMATRIX expected;
  } cases[] = {
      {"scale keys alone keep the turn and the place", kScaledTurned,
       "AnimationKey { 1; 2; 0;3;4,4,4;;, 10;3;4,4,4;;; }",
       D3DXMATRIX(0, 4, 0, 0, -4, 0, 0, 0, 0, 0, 4, 0, 0, 2, 0, 1)},
      {"rotation keys alone keep the scale and the place", kScaledTurned,
       "AnimationKey { 0; 2; 0;4;1,0,0,0;;, 10;4;1,0,0,0;;; }",
       D3DXMATRIX(1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 3, 0, 0, 2, 0, 1)},
      {"position keys alone keep the scale and the turn", kScaledTurned,
       "AnimationKey { 2; 2; 0;3;5,6,7;;, 10;3;5,6,7;;; }",
       D3DXMATRIX(0, 1, 0, 0, -2, 0, 0, 0, 0, 0, 3, 0, 5, 6, 7, 1)},
      {"scale and rotation keys keep the place", kScaledTurned,
       "AnimationKey { 1; 1; 0;3;2,2,2;;; }\n AnimationKey { 0; 1; 0;4;1,0,0,0;;; }",
       D3DXMATRIX(2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 2, 0, 1)},
      {"rotation keys alone keep a mirroring", kMirrored, "AnimationKey { 0; 1; 0;4;1,0,0,0;;; }",
       D3DXMATRIX(-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 2, 0, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    D3DXMATRIX m;
    ASSERT_TRUE(boneBAfter(c.rest, c.keys, 0.5, m));
    for (int i = 0; i < 16; ++i)
      EXPECT_NEAR(m.m[i / 4][i % 4], c.expected.m[i / 4][i % 4], 1e-5f) << "element " << i;
  }
}

TEST_F(SkinFixture, AMeshPlacedByReferenceStandsInEachFrameThatPlacesIt) {
  // The mesh is defined last, after a frame of the same name places it.
  const char* const kFile = R"(xof 0303txt 0032
Frame Tri {
  FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, -5,0,0,1;; }
  { Tri }
}
Frame Right {
  FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 5,0,0,1;; }
  Frame Inner { { Tri } }
}
Mesh Tri { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; }
)";
  ASSERT_EQ(load(kFile), D3D_OK);
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->Name, "Tri");
  ASSERT_NE(root->pMeshContainer, nullptr);
  EXPECT_STREQ(root->pMeshContainer->Name, "Tri");
  EXPECT_EQ(root->pMeshContainer->MeshData.pMesh->GetNumFaces(), 1u);
  EXPECT_EQ(root->pMeshContainer->pNextMeshContainer, nullptr);
  D3DXFRAME* inner = D3DXFrameFind(root, "Inner");
  ASSERT_NE(inner, nullptr);
  ASSERT_NE(inner->pMeshContainer, nullptr);
  EXPECT_STREQ(inner->pMeshContainer->Name, "Tri");
  // Two frames, no third one standing alone at the origin.
  ASSERT_NE(root->pFrameSibling, nullptr);
  EXPECT_STREQ(root->pFrameSibling->Name, "Right");
  EXPECT_EQ(root->pFrameSibling->pFrameSibling, nullptr);
  EXPECT_EQ(allocator.containers, 2);
}

TEST_F(SkinFixture, ContainersKeepAnFVFWhereAPlainLoadKeepsTangents) {
  // Two meshes with tangents, one skinned: a plain load of the file keeps
  // the tangents through a declaration; the hierarchy's containers, which
  // allocators refuse without an FVF, keep one and leave the tangents out.
  const std::string tangents =
      "DeclData { 1; 2;0;6;0;; 9; 1065353216,0,0, 1065353216,0,0, 1065353216,0,0; }";
  const std::string file =
      "xof 0303txt 0032\nFrame Bone {\n"
      " Mesh Plain { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n" +
      tangents +
      " }\n"
      " Mesh Skinned { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n" +
      tangents +
      "\n  SkinWeights { \"Bone\"; 3; 0,1,2; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, "
      "0,0,0,1;; } }\n}\n";
  ID3DXMesh* whole = nullptr;
  ASSERT_EQ(D3DXLoadMeshFromXInMemory(file.data(), DWORD(file.size()), D3DXMESH_MANAGED, device,
                                      nullptr, nullptr, nullptr, nullptr, &whole),
            D3D_OK);
  EXPECT_EQ(whole->GetFVF(), 0u);
  D3DVERTEXELEMENT9 d[MAX_FVF_DECL_SIZE];
  ASSERT_EQ(whole->GetDeclaration(d), D3D_OK);
  EXPECT_EQ(d[1].Usage, D3DDECLUSAGE_TANGENT);
  whole->Release();

  ASSERT_EQ(load(file), D3D_OK);
  D3DXMESHCONTAINER* plain = root->pMeshContainer;
  ASSERT_NE(plain, nullptr);
  D3DXMESHCONTAINER* skinned = plain->pNextMeshContainer;
  ASSERT_NE(skinned, nullptr);
  ASSERT_NE(skinned->pSkinInfo, nullptr);
  for (D3DXMESHCONTAINER* c : {plain, skinned}) {
    SCOPED_TRACE(c->Name);
    EXPECT_EQ(c->MeshData.pMesh->GetFVF(), DWORD(D3DFVF_XYZ));
    EXPECT_EQ(c->MeshData.pMesh->GetNumBytesPerVertex(), 12u);
  }
}

TEST_F(SkinFixture, WhatOtherWritersEmitLoads) {
  // A triangle skinned to frame A beside what other tools leave in files.
  // `containers`: mesh containers of frame A; `weights`: influences of
  // the triangle's bone; `x`: frame A's x after half a second of the
  // animation (no controller when negative).
  const std::string tri =
      "Mesh Tri { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n"
      "  SkinWeights { \"A\"; 3; 0,1,2; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; } }\n";
  const std::string guid = "<0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0>";
  const std::string move = "AnimationKey { 2; 2; 0;3;0,0,0;;, 10;3;4,0,0;;; }";
  const struct {
    const char* what;
    std::string file;
    DWORD containers, weights;
    float x;
  } cases[] = {
      {"an empty mesh beside the triangle", "Frame A { Mesh Empty { 0;; 0;; } " + tri + " }", 1, 3,
       -1},
      {"a mesh of lines beside the triangle",
       "Frame A { Mesh Lines { 2; 0;0;0;, 0;1;0;; 1; 2;0,1;; } " + tri + " }", 1, 3, -1},
      {"only an empty mesh", "Frame A { Mesh Empty { 0;; 0;; } }", 0, 0, -1},
      {"weights of vertices the mesh does not have",
       "Frame A { Mesh Tri { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n"
       "  SkinWeights { \"A\"; 3; 0,7,2; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; } } }",
       1, 2, -1},
      {"an animation set naming an animation defined before it",
       "Frame A { " + tri + " }\nAnimTicksPerSecond { 10; }\nAnimation Move { { A } " + move +
           " }\nAnimationSet Walk { { Move } }",
       1, 3, 2.0f},
      {"an animation naming its frame by GUID",
       "Frame A { " + guid + " " + tri + " }\nAnimTicksPerSecond { 10; }\n" +
           "AnimationSet Walk { Animation { { " + guid + " } " + move + " } }",
       1, 3, 2.0f},
      {"a closing brace that closes nothing between the frames and the animation",
       "Frame A { " + tri +
           " }\n}\nAnimTicksPerSecond { 10; }\nAnimationSet Walk { Animation { { A } " + move +
           " } }\n}",
       1, 3, 2.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unload();
    ASSERT_EQ(load("xof 0303txt 0032\n" + c.file + "\n"), D3D_OK);
    D3DXFRAME* a = D3DXFrameFind(root, "A");
    ASSERT_NE(a, nullptr);
    DWORD containers = 0;
    for (D3DXMESHCONTAINER* m = a->pMeshContainer; m; m = m->pNextMeshContainer) {
      ++containers;
      EXPECT_STREQ(m->Name, "Tri");
      EXPECT_EQ(m->MeshData.pMesh->GetNumFaces(), 1u);
      ASSERT_NE(m->pSkinInfo, nullptr);
      ASSERT_EQ(m->pSkinInfo->GetNumBones(), 1u);
      EXPECT_EQ(m->pSkinInfo->GetNumBoneInfluences(0), c.weights);
    }
    EXPECT_EQ(containers, c.containers);
    if (c.x < 0) {
      EXPECT_EQ(controller, nullptr);
      continue;
    }
    ASSERT_NE(controller, nullptr);
    ASSERT_EQ(controller->AdvanceTime(0.5, nullptr), D3D_OK);
    EXPECT_NEAR(a->TransformationMatrix._41, c.x, 1e-5f);
  }
}

TEST_F(SkinFixture, AllocatorFailureFailsTheLoadAndFreesEverything) {
  allocator.failContainers = true;
  EXPECT_EQ(load(kSkinnedFile), E_OUTOFMEMORY);
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(controller, nullptr);
  EXPECT_EQ(allocator.frames, 0);
}

TEST_F(SkinFixture, AFileWithoutAnimationHasNoController) {
  ASSERT_EQ(load("xof 0303txt 0032 Mesh M { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; }"), D3D_OK);
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->Name, "");
  ASSERT_NE(root->pMeshContainer, nullptr);
  EXPECT_EQ(root->pMeshContainer->pSkinInfo, nullptr);
  EXPECT_EQ(controller, nullptr);
}

TEST_F(SkinFixture, InstalledSkinnedModels) {
  const char* const files[] = {"BCN_Epileptic.X", "Testwuson.X", "test_cube_text.x", "anim_test.x"};
  for (const char* file : files) {
    SCOPED_TRACE(file);
    const std::string bytes = readFile(std::string("/usr/share/assimp/models/X/") + file);
    if (bytes.empty()) GTEST_SKIP() << "assimp-testmodels is not installed";
    unload();
    ASSERT_EQ(load(bytes), D3D_OK);
    int skinned = 0, unresolved = 0;
    std::vector<D3DXFRAME*> stack = {root};
    while (!stack.empty()) {
      D3DXFRAME* f = stack.back();
      stack.pop_back();
      if (f->pFrameSibling) stack.push_back(f->pFrameSibling);
      if (f->pFrameFirstChild) stack.push_back(f->pFrameFirstChild);
      for (D3DXMESHCONTAINER* c = f->pMeshContainer; c; c = c->pNextMeshContainer) {
        ID3DXSkinInfo* skin = c->pSkinInfo;
        if (!skin) continue;
        ++skinned;
        for (DWORD b = 0; b < skin->GetNumBones(); ++b)
          if (!D3DXFrameFind(root, skin->GetBoneName(b))) ++unresolved;
        ID3DXMesh* blended = nullptr;
        ID3DXBuffer* table = nullptr;
        DWORD influences = 0, groups = 0;
        ID3DXMesh* source = c->MeshData.pMesh;
        ASSERT_EQ(
            skin->ConvertToBlendedMesh(source, D3DXMESH_MANAGED, c->pAdjacency, nullptr, nullptr,
                                       nullptr, &influences, &groups, &table, &blended),
            D3D_OK);
        EXPECT_LE(influences, 4u);
        EXPECT_EQ(blended->GetNumFaces(), source->GetNumFaces());
        const auto* g = static_cast<const D3DXBONECOMBINATION*>(table->GetBufferPointer());
        DWORD faces = 0;
        for (DWORD i = 0; i < groups; ++i) {
          EXPECT_EQ(g[i].FaceStart, faces);
          faces += g[i].FaceCount;
          for (DWORD s = 0; s < influences; ++s)
            EXPECT_TRUE(g[i].BoneId[s] == 0xFFFFFFFF || g[i].BoneId[s] < skin->GetNumBones());
        }
        EXPECT_EQ(faces, source->GetNumFaces());
        table->Release();
        blended->Release();
      }
    }
    EXPECT_GT(skinned, 0);
    // The animated cylinder's mesh names four bones of which the file
    // holds two frames.
    EXPECT_EQ(unresolved, std::string(file) == "anim_test.x" ? 2 : 0);
    if (controller) {
      EXPECT_EQ(controller->AdvanceTime(0.1, nullptr), D3D_OK);
    }
  }
}

}  // namespace
