// Meshes from X-file data (text, binary, compressed), the mesh object, its
// clone, normals and drawing by attribute.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/d3dx/D3DXMesh.h"
#include "platform/d3dx/XFile.h"
#include "tests/d3d9_fixture.h"
#include "tests/eye_light.h"

namespace {

using d3d9_testing::DeviceFixture;

const char* const kModels = "/usr/share/assimp/models/X/";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Five vertices; a quad (cut into two triangles) and a triangle whose
// corners carry another normal than the quad's, so vertices 1 and 2 are
// split; two materials, the first by reference to a top-level object.
const char* const kTwoMaterialFile = R"(xof 0303txt 0032
template Unused { <11111111-2222-3333-4444-555555555555> DWORD x; }
Material Red {
  1.0;0.0;0.0;1.0;; 5.0; 1.0;1.0;1.0;; 0.0;0.0;0.0;;
  TextureFilename { "red.png"; }
}
Frame Root {
  FrameTransformMatrix { 1.0,0.0,0.0,0.0, 0.0,1.0,0.0,0.0, 0.0,0.0,1.0,0.0, 0.0,0.0,0.0,1.0;; }
  Mesh Sample {
    5;
    0.0;0.0;0.0;, 1.0;0.0;0.0;, 1.0;1.0;0.0;, 0.0;1.0;0.0;, 2.0;0.0;0.0;;
    2;
    4;0,3,2,1;,
    3;1,2,4;;
    MeshNormals {
      2; 0.0;0.0;-1.0;, 0.0;1.0;0.0;;
      2; 4;0,0,0,0;, 3;1,1,1;;
    }
    MeshTextureCoords { 5; 0.0;0.0;, 1.0;0.0;, 1.0;1.0;, 0.0;1.0;, 2.0;0.0;; }
    MeshMaterialList {
      2; 2; 1, 0;;
      { Red }
      Material { 0.0;0.0;1.0;1.0;; 1.0; 0.0;0.0;0.0;; 0.0;0.0;0.0;; }
    }
  }
}
)";

// The same file in the binary form, written token by token.
class BinaryWriter {
 public:
  BinaryWriter() { out_ = "xof 0303bin 0032"; }
  BinaryWriter& name(const std::string& n) {
    token(1);
    u32(uint32_t(n.size()));
    out_ += n;
    return *this;
  }
  BinaryWriter& string(const std::string& s) {
    token(2);
    u32(uint32_t(s.size()));
    out_ += s;
    token(20);
    return *this;
  }
  BinaryWriter& guid(const unsigned char (&bytes)[16]) {
    token(5);
    out_.append(reinterpret_cast<const char*>(bytes), 16);
    return *this;
  }
  BinaryWriter& open() { return token(10); }
  BinaryWriter& close() { return token(11); }
  BinaryWriter& ints(std::initializer_list<uint32_t> values) {
    token(6);
    u32(uint32_t(values.size()));
    for (uint32_t v : values) u32(v);
    return *this;
  }
  BinaryWriter& floats(std::initializer_list<float> values) {
    token(7);
    u32(uint32_t(values.size()));
    for (float f : values) {
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      u32(bits);
    }
    return *this;
  }
  const std::string& bytes() const { return out_; }

 private:
  BinaryWriter& token(uint16_t t) {
    out_ += char(t & 0xff);
    out_ += char(t >> 8);
    return *this;
  }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_ += char((v >> (8 * i)) & 0xff);
  }
  std::string out_;
};

std::string twoMaterialBinary() {
  BinaryWriter w;
  w.name("Material").name("Red").open().floats({1, 0, 0, 1, 5, 1, 1, 1, 0, 0, 0});
  w.name("TextureFilename").open().string("red.png").close().close();
  w.name("Frame").name("Root").open();
  w.name("FrameTransformMatrix")
      .open()
      .floats({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1})
      .close();
  w.name("Mesh").name("Sample").open().ints({5});
  w.floats({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0}).ints({2, 4, 0, 3, 2, 1, 3, 1, 2, 4});
  w.name("MeshNormals").open().ints({2}).floats({0, 0, -1, 0, 1, 0});
  w.ints({2, 4, 0, 0, 0, 0, 3, 1, 1, 1}).close();
  w.name("MeshTextureCoords").open().ints({5}).floats({0, 0, 1, 0, 1, 1, 0, 1, 2, 0}).close();
  w.name("MeshMaterialList").open().ints({2, 2, 1, 0});
  w.open().name("Red").close();
  w.name("Material").open().floats({0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0}).close();
  w.close().close().close();
  return w.bytes();
}

// Compresses the body of a binary file into the compressed form, cut into
// blocks of `blockSize` bytes, each block allowed to refer to the one
// before.
std::string compress(const std::string& binary, size_t blockSize) {
  std::string out = binary.compare(8, 4, "txt ") == 0 ? "xof 0303tzip0032" : "xof 0303bzip0032";
  const uint32_t total = uint32_t(binary.size());
  for (int i = 0; i < 4; ++i) out += char((total >> (8 * i)) & 0xff);
  const std::string body = binary.substr(16);
  for (size_t start = 0; start < body.size(); start += blockSize) {
    const size_t n = std::min(blockSize, body.size() - start);
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (start > 0) {
      const size_t from = start >= blockSize ? start - blockSize : 0;
      deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(body.data() + from),
                           uInt(start - from));
    }
    std::vector<unsigned char> packed(deflateBound(&z, uLong(n)) + 16);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data() + start));
    z.avail_in = uInt(n);
    z.next_out = packed.data();
    z.avail_out = uInt(packed.size());
    deflate(&z, Z_FINISH);
    const size_t packedSize = packed.size() - z.avail_out;
    deflateEnd(&z);
    const uint16_t plain = uint16_t(n), stored = uint16_t(packedSize + 2);
    out += char(plain & 0xff);
    out += char(plain >> 8);
    out += char(stored & 0xff);
    out += char(stored >> 8);
    out += "CK";
    out.append(reinterpret_cast<const char*>(packed.data()), packedSize);
  }
  return out;
}

struct Vertex32 {
  float x, y, z, nx, ny, nz, u, v;
};

class MeshFixture : public DeviceFixture {
 protected:
  void TearDown() override {
    if (mesh) mesh->Release();
    if (materials) materials->Release();
    if (adjacency) adjacency->Release();
    DeviceFixture::TearDown();
  }

  HRESULT load(const std::string& bytes, DWORD options = D3DXMESH_SYSTEMMEM) {
    if (mesh) mesh->Release();
    if (materials) materials->Release();
    if (adjacency) adjacency->Release();
    mesh = nullptr;
    materials = adjacency = nullptr;
    return D3DXLoadMeshFromXInMemory(bytes.data(), DWORD(bytes.size()), options, device, &adjacency,
                                     &materials, nullptr, &materialCount, &mesh);
  }

  std::vector<unsigned char> vertexBytes(ID3DXMesh* m) {
    void* data = nullptr;
    EXPECT_EQ(m->LockVertexBuffer(D3DLOCK_READONLY, &data), D3D_OK);
    const auto* p = static_cast<const unsigned char*>(data);
    std::vector<unsigned char> out(p, p + m->GetNumVertices() * m->GetNumBytesPerVertex());
    m->UnlockVertexBuffer();
    return out;
  }

  std::vector<DWORD> indices(ID3DXMesh* m) {
    void* data = nullptr;
    EXPECT_EQ(m->LockIndexBuffer(D3DLOCK_READONLY, &data), D3D_OK);
    std::vector<DWORD> out;
    for (DWORD i = 0; i < m->GetNumFaces() * 3; ++i)
      out.push_back((m->GetOptions() & D3DXMESH_32BIT) ? static_cast<DWORD*>(data)[i]
                                                       : static_cast<WORD*>(data)[i]);
    m->UnlockIndexBuffer();
    return out;
  }

  std::vector<DWORD> attributes(ID3DXMesh* m) {
    DWORD* data = nullptr;
    EXPECT_EQ(m->LockAttributeBuffer(D3DLOCK_READONLY, &data), D3D_OK);
    std::vector<DWORD> out(data, data + m->GetNumFaces());
    m->UnlockAttributeBuffer();
    return out;
  }

  ID3DXMesh* mesh = nullptr;
  ID3DXBuffer* materials = nullptr;
  ID3DXBuffer* adjacency = nullptr;
  DWORD materialCount = 0;
};

// The two-material file with its lists separated as hand-edited files have
// them: a list closed by ',' or run on with ';;' between elements, and a
// ';;' in the middle of a list.
std::string handEditedSeparators() {
  std::string text = kTwoMaterialFile;
  const char* const edits[][2] = {
      {"0.0;1.0;0.0;, 2.0;0.0;0.0;;", "0.0;1.0;0.0;, 2.0;0.0;0.0;,"},
      {"0.0;0.0;-1.0;, 0.0;1.0;0.0;;", "0.0;0.0;-1.0;; 0.0;1.0;0.0;,"},
      {"5; 0.0;0.0;, 1.0;0.0;,", "5; 0.0;0.0;; 1.0;0.0;;"},
      {"0.0;1.0;, 2.0;0.0;; }", "0.0;1.0;, 2.0;0.0;, }"},
      {"2; 2; 1, 0;;", "2; 2; 1; 0;"},
  };
  for (const auto& edit : edits) {
    const size_t at = text.find(edit[0]);
    EXPECT_NE(at, std::string::npos) << edit[0];
    if (at != std::string::npos) text.replace(at, std::strlen(edit[0]), edit[1]);
  }
  return text;
}

TEST_F(MeshFixture, EveryFormOfOneFileLoadsTheSameMesh) {
  const std::string binary = twoMaterialBinary();
  const struct {
    const char* form;
    std::string bytes;
  } forms[] = {
      {"text", kTwoMaterialFile},
      {"binary", binary},
      {"compressed, one block", compress(binary, 0x8000)},
      {"compressed, blocks referring back", compress(binary, 64)},
      {"compressed text", compress(kTwoMaterialFile, 100)},
      {"text with hand-edited separators", handEditedSeparators()},
  };
  for (const auto& form : forms) {
    SCOPED_TRACE(form.form);
    ASSERT_EQ(load(form.bytes), D3D_OK);
    EXPECT_EQ(mesh->GetFVF(), DWORD(D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX1));
    EXPECT_EQ(mesh->GetNumBytesPerVertex(), 32u);
    EXPECT_EQ(mesh->GetOptions(), DWORD(D3DXMESH_SYSTEMMEM));
    // The file's five vertices first, then the copies of 1 and 2 that the
    // triangle's other normal needs; vertex 4 meets only that normal.
    ASSERT_EQ(mesh->GetNumVertices(), 7u);
    const std::vector<unsigned char> bytes = vertexBytes(mesh);
    const auto* v = reinterpret_cast<const Vertex32*>(bytes.data());
    const float want[7][8] = {{0, 0, 0, 0, 0, -1, 0, 0}, {1, 0, 0, 0, 0, -1, 1, 0},
                              {1, 1, 0, 0, 0, -1, 1, 1}, {0, 1, 0, 0, 0, -1, 0, 1},
                              {2, 0, 0, 0, 1, 0, 2, 0},  {1, 0, 0, 0, 1, 0, 1, 0},
                              {1, 1, 0, 0, 1, 0, 1, 1}};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(std::memcmp(&v[i], want[i], 32), 0) << "vertex " << i;
    // The quad as a fan around its first corner, then the triangle.
    EXPECT_EQ(indices(mesh), (std::vector<DWORD>{0, 3, 2, 0, 2, 1, 5, 6, 4}));
    EXPECT_EQ(attributes(mesh), (std::vector<DWORD>{1, 1, 0}));

    ASSERT_EQ(materialCount, 2u);
    ASSERT_NE(materials, nullptr);
    const auto* m = static_cast<const D3DXMATERIAL*>(materials->GetBufferPointer());
    EXPECT_EQ(m[0].MatD3D.Diffuse.r, 1.0f);
    EXPECT_EQ(m[0].MatD3D.Power, 5.0f);
    EXPECT_EQ(m[0].MatD3D.Specular.g, 1.0f);
    EXPECT_EQ(m[0].MatD3D.Ambient.r, 0.0f);
    ASSERT_NE(m[0].pTextureFilename, nullptr);
    EXPECT_STREQ(m[0].pTextureFilename, "red.png");
    EXPECT_EQ(m[1].MatD3D.Diffuse.b, 1.0f);
    EXPECT_EQ(m[1].pTextureFilename, nullptr);

    // The quad's two triangles share their diagonal; the triangle's edge
    // between the copies of 1 and 2 meets the quad's edge 2-1: edges are
    // matched by position, not by vertex index.
    const auto* adj = static_cast<const DWORD*>(adjacency->GetBufferPointer());
    EXPECT_EQ(std::vector<DWORD>(adj, adj + 9),
              (std::vector<DWORD>{0xFFFFFFFF, 0xFFFFFFFF, 1, 0, 2, 0xFFFFFFFF, 1, 0xFFFFFFFF,
                                  0xFFFFFFFF}));
  }
}

TEST_F(MeshFixture, FramesPlaceTheirMeshesAndMeshesMerge) {
  // Two meshes, one moved by its frame by +10 in x and scaled by 2; the
  // second has no material list and gets the grey material after the
  // first's.
  const char* file = R"(xof 0302txt 0064
Frame F {
  FrameTransformMatrix { 2,0,0,0, 0,2,0,0, 0,0,2,0, 10,0,0,1;; }
  Mesh A { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;
    MeshMaterialList { 1; 1; 0;; Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; } } }
}
Mesh B { 3; 0;0;5;, 0;1;5;, 1;0;5;; 1; 3;0,1,2;; }
)";
  ASSERT_EQ(load(file), D3D_OK);
  EXPECT_EQ(mesh->GetFVF(), DWORD(D3DFVF_XYZ));
  ASSERT_EQ(mesh->GetNumVertices(), 6u);
  const std::vector<unsigned char> bytes = vertexBytes(mesh);
  const auto* p = reinterpret_cast<const D3DXVECTOR3*>(bytes.data());
  EXPECT_EQ(p[1], D3DXVECTOR3(10, 2, 0));
  EXPECT_EQ(p[2], D3DXVECTOR3(12, 0, 0));
  EXPECT_EQ(p[5], D3DXVECTOR3(1, 0, 5));
  EXPECT_EQ(indices(mesh), (std::vector<DWORD>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(attributes(mesh), (std::vector<DWORD>{0, 1}));
  ASSERT_EQ(materialCount, 2u);
  const auto* m = static_cast<const D3DXMATERIAL*>(materials->GetBufferPointer());
  EXPECT_EQ(m[1].MatD3D.Diffuse.r, 0.5f);
  EXPECT_EQ(m[1].MatD3D.Diffuse.a, 0.0f);
}

TEST_F(MeshFixture, AMeshPlacedByReferenceIsMergedWhereverItIsPlaced) {
  // A frame named like the mesh places it first; the mesh itself comes last
  // and does not stand on its own at the origin as well.
  const char* file = R"(xof 0303txt 0032
Frame Tri { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, -5,0,0,1;; } { Tri } }
Frame Right { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 5,0,0,1;; } { Tri } }
Mesh Tri { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; }
)";
  ASSERT_EQ(load(file), D3D_OK);
  ASSERT_EQ(mesh->GetNumVertices(), 6u);
  EXPECT_EQ(mesh->GetNumFaces(), 2u);
  const std::vector<unsigned char> bytes = vertexBytes(mesh);
  const auto* p = reinterpret_cast<const D3DXVECTOR3*>(bytes.data());
  EXPECT_EQ(p[2], D3DXVECTOR3(-4, 0, 0));
  EXPECT_EQ(p[5], D3DXVECTOR3(6, 0, 0));
}

// The bits of a float as the DWORD that FVFData and DeclData hold.
std::string bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return std::to_string(u);
}

std::string words(std::initializer_list<float> values) {
  std::string out;
  for (float f : values) out += (out.empty() ? "" : ",") + bits(f);
  return out;
}

TEST_F(MeshFixture, FVFDataComponentsJoinTheVertexFormat) {
  const std::string triangle = "3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n";
  const std::string uvs = "MeshTextureCoords { 3; 0;0;, 0;1;, 1;0;; }\n";
  const std::string cube = words({1, 0, 0, 0, 1, 0, 0, 0, -1});
  const struct {
    const char* what;
    std::string parts;
    DWORD fvf;
    std::vector<float> vertex2;  // the floats of vertex 2 after its position
  } cases[] = {
      {"cube-map coordinates",
       "FVFData { 65794; 9; " + cube + "; }",
       D3DFVF_XYZ | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE3(0),
       {0, 0, -1}},
      {"cube-map coordinates after flat ones",
       uvs + "FVFData { 65792; 9; " + cube + "; }",
       D3DFVF_XYZ | D3DFVF_TEX2 | D3DFVF_TEXCOORDSIZE3(1),
       {1, 0, 0, 0, -1}},
      {"a second flat set, whichever list comes first",
       "FVFData { 258; 6; " + words({0.5f, 0.5f, 0.25f, 0.5f, 0.75f, 0.125f}) + "; }\n" + uvs,
       D3DFVF_XYZ | D3DFVF_TEX2,
       {1, 0, 0.75f, 0.125f}},
      {"sets that would come past the eighth",
       uvs + "FVFData { 2050; 48; " +
           words({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,
                  2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 7, 8}) +
           "; }",
       D3DFVF_XYZ | D3DFVF_TEX8,
       {1, 0, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3}},
      {"a normal and a second set of one float",
       "FVFData { " + std::to_string(D3DFVF_NORMAL | D3DFVF_TEX2 | D3DFVF_TEXCOORDSIZE1(1)) +
           "; 18; " + words({0, 0, 1, 0, 0, 0.5f, 0, 0, 1, 0, 0, 0.25f, 0, 0, 1, 0.5f, 1, 0.75f}) +
           "; }",
       D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX2 | D3DFVF_TEXCOORDSIZE1(1),
       {0, 0, 1, 0.5f, 1, 0.75f}},
      {"data that does not fill the vertices is left out",
       uvs + "FVFData { 65792; 8; " + words({1, 0, 0, 0, 1, 0, 0, 0}) + "; }",
       D3DFVF_XYZ | D3DFVF_TEX1,
       {1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(load("xof 0303txt 0032\nMesh Sky {\n" + triangle + c.parts + "\n}\n"), D3D_OK);
    EXPECT_EQ(mesh->GetFVF(), c.fvf);
    ASSERT_EQ(mesh->GetNumBytesPerVertex(), 12 + 4 * c.vertex2.size());
    const std::vector<unsigned char> bytes = vertexBytes(mesh);
    std::vector<float> got(c.vertex2.size());
    std::memcpy(got.data(), bytes.data() + 2 * mesh->GetNumBytesPerVertex() + 12, 4 * got.size());
    EXPECT_EQ(got, c.vertex2);
  }
}

TEST_F(MeshFixture, DeclDataThatDoesNotReadIsLeftOutAndTheMeshStays) {
  const struct {
    const char* what;
    std::string decl;
  } cases[] = {
      {"an unused type", "DeclData { 1; 17;0;6;0;; 3; 0,0,0; }"},
      {"an unknown usage", "DeclData { 1; 2;0;14;0;; 9; 0,0,0,0,0,0,0,0,0; }"},
      {"too few words", "DeclData { 1; 2;0;6;0;; 8; 0,0,0,0,0,0,0,0; }"},
      {"more words announced than given", "DeclData { 1; 0;0;6;0;; 3; 0,0; }"},
      {"a word that is no DWORD", "DeclData { 1; 0;0;6;0;; 3; 0,-1,0; }"},
      {"more elements announced than given", "DeclData { 9; 2;0;6;0;; 3; 0,0,0; }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(load("xof 0303txt 0032\nMesh M { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n"
                   "MeshTextureCoords { 3; 0;0;, 0;1;, 1;0;; }\n" +
                   c.decl + "\n}\n"),
              D3D_OK);
    EXPECT_EQ(mesh->GetFVF(), DWORD(D3DFVF_XYZ | D3DFVF_TEX1));
    EXPECT_EQ(mesh->GetNumFaces(), 1u);
  }
}

TEST_F(MeshFixture, ASkyboxWithCubeCoordinatesInFVFDataDrawsTextured) {
  // A quad filling the view whose cube-map directions (only in FVFData)
  // point at the +x face on its left half and at the -z face on its right.
  const std::string left = words({1, 0, 0}), right = words({0, 0, -1});
  const std::string file =
      "xof 0303txt 0032\nMesh Sky { 4; -1;-1;0.5;, -1;1;0.5;, 1;1;0.5;, 1;-1;0.5;;\n"
      "2; 3;0,1,2;, 3;0,2,3;;\n"
      "FVFData { 65792; 12; " +
      left + "," + left + "," + right + "," + right + "; } }\n";
  ASSERT_EQ(load(file), D3D_OK);
  EXPECT_EQ(mesh->GetFVF(), DWORD(D3DFVF_XYZ | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE3(0)));
  IDirect3DCubeTexture9* cube = nullptr;
  ASSERT_EQ(device->CreateCubeTexture(1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &cube, nullptr),
            D3D_OK);
  const D3DCOLOR faces[6] = {0xffff0000, 0xff00ff00, 0xff0000ff,
                             0xffffff00, 0xff00ffff, 0xffff00ff};
  for (int f = 0; f < 6; ++f) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACES(f), 0, &locked, nullptr, 0), D3D_OK);
    std::memcpy(locked.pBits, &faces[f], 4);
    cube->UnlockRect(D3DCUBEMAP_FACES(f), 0);
  }
  device->SetTexture(0, cube);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
  ASSERT_EQ(mesh->DrawSubset(0), D3D_OK);
  const d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(2, kHeight / 2), faces[D3DCUBEMAP_FACE_POSITIVE_X]);
  EXPECT_EQ(f.at(kWidth - 3, kHeight / 2), faces[D3DCUBEMAP_FACE_NEGATIVE_Z]);
  device->SetTexture(0, nullptr);
  cube->Release();
}

TEST_F(MeshFixture, DeclDataKeepsTangentsThroughADeclaration) {
  // Tangent, binormal and a second texture coordinate set per vertex; the
  // frame turns the mesh a quarter about z.
  const std::string decl =
      "DeclData { 3; 2;0;6;0;, 2;0;7;0;, 1;0;5;1;; 24; " +
      words({1, 0, 0, 0, 1, 0, 0.5f, 0.5f, 1, 0, 0, 0, 1, 0, 0.25f, 0.5f, 1, 0, 0, 0, 1, 0, 1, 1}) +
      "; }";
  const std::string file =
      "xof 0303txt 0032\nFrame Turn {\n"
      "FrameTransformMatrix { 0,1,0,0, -1,0,0,0, 0,0,1,0, 0,0,0,1;; }\n"
      "Mesh M { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n"
      "MeshTextureCoords { 3; 0;0;, 0;1;, 1;0;; }\n" +
      decl + "\n} }\n";
  ASSERT_EQ(load(file), D3D_OK);
  EXPECT_EQ(mesh->GetFVF(), 0u);
  D3DVERTEXELEMENT9 d[MAX_FVF_DECL_SIZE];
  ASSERT_EQ(mesh->GetDeclaration(d), D3D_OK);
  const struct {
    BYTE type, usage, index;
    WORD offset;
  } want[] = {
      {D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_POSITION, 0, 0},
      {D3DDECLTYPE_FLOAT2, D3DDECLUSAGE_TEXCOORD, 0, 12},
      {D3DDECLTYPE_FLOAT2, D3DDECLUSAGE_TEXCOORD, 1, 20},
      {D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_TANGENT, 0, 28},
      {D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_BINORMAL, 0, 40},
  };
  for (size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(d[i].Stream, 0u);
    EXPECT_EQ(d[i].Type, want[i].type);
    EXPECT_EQ(d[i].Usage, want[i].usage);
    EXPECT_EQ(d[i].UsageIndex, want[i].index);
    EXPECT_EQ(d[i].Offset, want[i].offset);
  }
  EXPECT_EQ(d[std::size(want)].Stream, 0xFFu);
  ASSERT_EQ(mesh->GetNumBytesPerVertex(), 52u);
  const std::vector<unsigned char> bytes = vertexBytes(mesh);
  float v[13];
  std::memcpy(v, bytes.data() + 52, 52);                                        // vertex 1
  const float expected[13] = {-1, 0, 0, 0, 1, 0.25f, 0.5f, 0, 1, 0, -1, 0, 0};  // turned
  for (int i = 0; i < 13; ++i) EXPECT_NEAR(v[i], expected[i], 1e-6f) << "float " << i;

  // Cloning to an FVF keeps what the FVF can say and leaves the rest out.
  ID3DXMesh* clone = nullptr;
  ASSERT_EQ(mesh->CloneMeshFVF(D3DXMESH_SYSTEMMEM, D3DFVF_XYZ | D3DFVF_TEX2, device, &clone),
            D3D_OK);
  EXPECT_EQ(clone->GetNumBytesPerVertex(), 28u);
  const std::vector<unsigned char> cloned = vertexBytes(clone);
  float c[7];
  std::memcpy(c, cloned.data() + 28, 28);
  EXPECT_FLOAT_EQ(c[5], 0.25f);
  clone->Release();
}

// Adjacency by its definition: across edge a-b of face f lies the first
// other face with an edge from b's position to a's (positions rounded to
// multiples of epsilon when it is above 0).
std::vector<DWORD> adjacencyByDefinition(const std::vector<D3DXVECTOR3>& positions,
                                         const std::vector<DWORD>& indices, float epsilon) {
  auto place = [&](DWORD v) {
    D3DXVECTOR3 p = positions[v];
    if (epsilon > 0)
      p = D3DXVECTOR3(std::round(p.x / epsilon), std::round(p.y / epsilon),
                      std::round(p.z / epsilon));
    return p;
  };
  const size_t faces = indices.size() / 3;
  std::vector<DWORD> out(indices.size(), 0xFFFFFFFF);
  for (size_t f = 0; f < faces; ++f)
    for (int e = 0; e < 3; ++e) {
      const D3DXVECTOR3 a = place(indices[3 * f + e]), b = place(indices[3 * f + (e + 1) % 3]);
      for (size_t g = 0; g < faces && out[3 * f + e] == 0xFFFFFFFF; ++g)
        for (int k = 0; k < 3 && g != f; ++k)
          if (place(indices[3 * g + k]) == b && place(indices[3 * g + (k + 1) % 3]) == a) {
            out[3 * f + e] = DWORD(g);
            break;
          }
    }
  return out;
}

TEST_F(MeshFixture, AdjacencyMatchesItsDefinition) {
  // A strip with a duplicated seam vertex (6 at 1's place), an edge three
  // faces share, a face wound the other way, and the teapot.
  const std::vector<D3DXVECTOR3> small = {{0, 0, 0}, {1, 0, 0},       {0, 1, 0}, {1, 1, 0},
                                          {2, 0, 0}, {0.0004f, 1, 0}, {1, 0, 0}, {1, 0, 1}};
  const std::vector<DWORD> smallFaces = {0, 2, 1, 1, 2, 3, 6, 3, 4, 5, 3, 2, 2, 1, 7, 1, 2, 0};
  ID3DXMesh* teapot = nullptr;
  ASSERT_EQ(D3DXCreateTeapot(device, &teapot, nullptr), D3D_OK);
  std::vector<D3DXVECTOR3> teapotPositions(teapot->GetNumVertices());
  const std::vector<unsigned char> bytes = vertexBytes(teapot);
  for (size_t v = 0; v < teapotPositions.size(); ++v)
    std::memcpy(&teapotPositions[v], bytes.data() + v * teapot->GetNumBytesPerVertex(), 12);
  const std::vector<DWORD> teapotFaces = indices(teapot);
  teapot->Release();
  const struct {
    const char* what;
    const std::vector<D3DXVECTOR3>& positions;
    const std::vector<DWORD>& faces;
    float epsilon;
  } cases[] = {
      {"small, exact", small, smallFaces, 0.0f},
      {"small, welded within 0.001", small, smallFaces, 0.001f},
      {"teapot, exact", teapotPositions, teapotFaces, 0.0f},
      {"teapot, welded within 0.01", teapotPositions, teapotFaces, 0.01f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (mesh) mesh->Release();
    mesh = nullptr;
    const DWORD faceCount = DWORD(c.faces.size() / 3);
    ASSERT_EQ(D3DXCreateMeshFVF(faceCount, DWORD(c.positions.size()), D3DXMESH_32BIT, D3DFVF_XYZ,
                                device, &mesh),
              D3D_OK);
    void* data = nullptr;
    ASSERT_EQ(mesh->LockVertexBuffer(0, &data), D3D_OK);
    std::memcpy(data, c.positions.data(), 12 * c.positions.size());
    mesh->UnlockVertexBuffer();
    ASSERT_EQ(mesh->LockIndexBuffer(0, &data), D3D_OK);
    std::memcpy(data, c.faces.data(), 4 * c.faces.size());
    mesh->UnlockIndexBuffer();
    std::vector<DWORD> got(c.faces.size());
    ASSERT_EQ(mesh->GenerateAdjacency(c.epsilon, got.data()), D3D_OK);
    EXPECT_EQ(got, adjacencyByDefinition(c.positions, c.faces, c.epsilon));
  }
}

TEST_F(MeshFixture, AFileWithoutMaterialsHasNone) {
  ASSERT_EQ(load("xof 0303txt 0032 Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; }"), D3D_OK);
  EXPECT_EQ(materialCount, 0u);
  EXPECT_EQ(materials, nullptr);
  EXPECT_EQ(attributes(mesh), std::vector<DWORD>{0});
}

TEST_F(MeshFixture, MalformedDataIsRefused) {
  const std::string good = "xof 0303txt 0032\nMesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; }";
  const std::string binary = twoMaterialBinary();
  std::string badBlock = compress(binary, 0x8000);
  badBlock[30] ^= 0x55;  // inside the deflate data
  std::string shortTotal = compress(binary, 0x8000);
  shortTotal[16] = char(0xff);  // announces more than the blocks hold
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"header only", "xof 0303txt 0032"},
      {"no magic", "xyz 0303txt 0032 Mesh { }"},
      {"unknown format", "xof 0303abc 0032 Mesh { }"},
      {"unknown float size", "xof 0303txt 0016 Mesh { }"},
      {"truncated object", good.substr(0, good.size() - 3)},
      {"unterminated string", "xof 0303txt 0032 Material { 1;1;1;1;; TextureFilename { \"a"},
      {"face index out of range",
       "xof 0303txt 0032 Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,3;; }"},
      {"negative count", "xof 0303txt 0032 Mesh { -3; 0;0;0;; 1; 3;0,1,2;; }"},
      {"count beyond the data", "xof 0303txt 0032 Mesh { 4000000000; 0;0;0;; }"},
      {"fractional index", "xof 0303txt 0032 Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,1.5;; }"},
      {"material index past the materials",
       "xof 0303txt 0032 Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;; "
       "MeshMaterialList { 1; 1; 1;; } }"},
      {"no faces", "xof 0303txt 0032 Mesh { 3; 0;0;0;, 0;1;0;, 1;0;0;; 0;; }"},
      {"no mesh", "xof 0303txt 0032 Frame { }"},
      {"binary list past the end", binary.substr(0, binary.size() / 2)},
      {"corrupt compressed block", badBlock},
      {"compressed data shorter than announced", shortTotal},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(FAILED(load(c.bytes)));
    EXPECT_EQ(mesh, nullptr);
    EXPECT_EQ(materials, nullptr);
    EXPECT_EQ(materialCount, 0u);
  }
}

TEST_F(MeshFixture, WhatOtherWritersEmitLoads) {
  // One red triangle at a time, as files from other tools write it.
  // `normals`: whether the mesh keeps the file's normals; `materials` and
  // `red`: the material count and whether the first material is the red
  // one the file names.
  const std::string tri = "3; 0;0;0;, 0;1;0;, 1;0;0;; 1; 3;0,1,2;;\n";
  const std::string red = "1;0;0;1;; 5; 1;1;1;; 0;0;0;;";
  const std::string guid = "<8E0B2B1C-5F4D-4C3A-9E1F-0A1B2C3D4E5F>";
  const struct {
    const char* what;
    std::string body;
    bool normals;
    DWORD materials;
    bool red;
  } cases[] = {
      {"non-finite floats as a C runtime prints them",
       "Mesh { " + tri + " MeshNormals { 1; 1.#QNAN0;-1.#IND00;-1.#INF00;; 1; 3;0,0,0;; } }", true,
       0, false},
      {"names of digits, referenced",
       "Material 01 { " + red + " }\nFrame 1 { Mesh 2 { " + tri +
           " MeshMaterialList { 1; 1; 0;; { 01 } } } }",
       false, 1, true},
      {"a material referenced by its GUID alone",
       "Material { " + guid + " " + red + " }\nMesh { " + tri + " MeshMaterialList { 1; 1; 0;; { " +
           guid + " } } }",
       false, 1, true},
      {"a material referenced by name and GUID",
       "Material Red { " + guid + " " + red + " }\nMesh { " + tri +
           " MeshMaterialList { 1; 1; 0;; { Red " + guid + " } } }",
       false, 1, true},
      {"a material named like the frame and mesh before it",
       "Frame Cube { Mesh Cube { " + tri + " MeshMaterialList { 1; 1; 0;; { Cube } } } }\n" +
           "Material Cube { " + red + " }",
       false, 1, true},
      {"normals of no faces", "Mesh { " + tri + " MeshNormals { 0;; 0;; } }", false, 0, false},
      {"normals for other faces",
       "Mesh { " + tri + " MeshNormals { 1; 0;0;1;; 2; 3;0,0,0;, 3;0,0,0;; } }", false, 0, false},
      {"normal faces of other corner counts",
       "Mesh { " + tri + " MeshNormals { 1; 0;0;1;; 1; 4;0,0,0,0;; } }", false, 0, false},
      {"normal indices past the normals",
       "Mesh { " + tri + " MeshNormals { 1; 0;0;1;; 1; 3;0,1,0;; } }", false, 0, false},
      {"more material indices than faces",
       "Mesh { " + tri + " MeshMaterialList { 1; 3; 0,0,0;; Material { " + red + " } } }", false, 1,
       true},
      {"a material list without materials", "Mesh { " + tri + " MeshMaterialList { 0; 1; 0;; } }",
       false, 0, false},
      {"texture coordinates that end before their count",
       "Mesh { " + tri + " MeshTextureCoords { 3; 0;0;, 1;1;; } }", false, 0, false},
      {"vertex colours that end before their count",
       "Mesh { " + tri + " MeshVertexColors { 3; 0;1;0;0;1;;, 1;1;0;0;1;;; } }", false, 0, false},
      {"closing braces that close nothing, before and after the objects they part",
       "}\nMaterial Red { " + red + " }\n}\nMesh { " + tri +
           " MeshMaterialList { 1; 1; 0;; { Red } } }\n}\n}",
       false, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(load("xof 0303txt 0032\n" + c.body + "\n"), D3D_OK);
    EXPECT_EQ(mesh->GetNumFaces(), 1u);
    EXPECT_EQ(mesh->GetNumVertices(), 3u);
    EXPECT_EQ(mesh->GetFVF(), DWORD(D3DFVF_XYZ | (c.normals ? D3DFVF_NORMAL : 0)));
    EXPECT_EQ(attributes(mesh), std::vector<DWORD>{0});
    ASSERT_EQ(materialCount, c.materials);
    if (c.materials) {
      const auto* m = static_cast<const D3DXMATERIAL*>(materials->GetBufferPointer());
      EXPECT_EQ(m[0].MatD3D.Diffuse.r, c.red ? 1.0f : 0.5f);
      EXPECT_EQ(m[0].MatD3D.Diffuse.g, c.red ? 0.0f : 0.5f);
    }
  }
  // The non-finite words read as the values they stand for.
  ASSERT_EQ(load("xof 0303txt 0032\n" + cases[0].body), D3D_OK);
  const std::vector<unsigned char> bytes = vertexBytes(mesh);
  float normal[3];
  std::memcpy(normal, bytes.data() + 12, 12);
  EXPECT_TRUE(std::isnan(normal[0]));
  EXPECT_TRUE(std::isnan(normal[1]));
  EXPECT_EQ(normal[2], -HUGE_VALF);
}

TEST(XFileReader, IdentifiersReadInTextAndBinary) {
  // An object with a GUID of its own, and references by GUID and by name.
  const std::string text = R"(xof 0303txt 0032
Material Red { < 8E0B2B1C-5F4D-4C3A-9E1F-0A1B2C3D4E5F > 1;0;0;1;; 5; 1;1;1;; 0;0;0;; }
Mesh { 1; 0;0;0;; 0;; MeshMaterialList { 1; 0;; { <8e0b2b1c-5f4d-4c3a-9e1f-0a1b2c3d4e5f> } { Red } } }
)";
  const unsigned char guid[16] = {0x1c, 0x2b, 0x0b, 0x8e, 0x4d, 0x5f, 0x3a, 0x4c,
                                  0x9e, 0x1f, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f};
  BinaryWriter w;
  w.name("Material").name("Red").open().guid(guid).floats({1, 0, 0, 1, 5, 1, 1, 1, 0, 0, 0});
  w.close().name("Mesh").open().ints({1}).floats({0, 0, 0}).ints({0});
  w.name("MeshMaterialList").open().ints({1, 0}).open().guid(guid).close();
  w.open().name("Red").close().close().close();
  const struct {
    const char* form;
    std::string bytes;
  } forms[] = {{"text", text}, {"binary", w.bytes()}};
  for (const auto& form : forms) {
    SCOPED_TRACE(form.form);
    xfile::Document document;
    std::string error;
    ASSERT_TRUE(xfile::parse(form.bytes.data(), form.bytes.size(), document, error)) << error;
    ASSERT_EQ(document.objects.size(), 2u);
    const xfile::Object& material = document.objects[0];
    EXPECT_EQ(material.uuid, "8e0b2b1c-5f4d-4c3a-9e1f-0a1b2c3d4e5f");
    EXPECT_EQ(material.numbers.size(), 11u);
    const xfile::Object& list = document.objects[1].children.at(0);
    ASSERT_EQ(list.children.size(), 2u);
    EXPECT_EQ(list.children[0].uuid, material.uuid);
    EXPECT_EQ(list.children[0].name, "");
    for (const xfile::Object& reference : list.children) {
      EXPECT_EQ(xfile::findReferenced(document, reference, "Material"), &material);
      EXPECT_EQ(xfile::findReferenced(document, reference, "Frame"), nullptr);
    }
  }
}

TEST(XFileReader, NestingIsBounded) {
  std::string deep = "xof 0303txt 0032 ";
  for (int i = 0; i < 10000; ++i) deep += "Frame {";
  xfile::Document document;
  std::string error;
  EXPECT_FALSE(xfile::parse(deep.data(), deep.size(), document, error));
  EXPECT_EQ(error, "objects nested too deeply");
}

TEST_F(MeshFixture, ComputedNormalsWeighFacesByTheirAngle) {
  // Vertex 0 is shared by a right-angled triangle in z = 0 and a 45-degree
  // one in x = 0; it gets the angle-weighted mean of their normals.
  const char* file = R"(xof 0303txt 0032
Mesh { 5; 0;0;0;, 0;1;0;, 1;0;0;, 0;1;1;, 0;0;1;;
  2; 3;0,1,2;, 3;0,4,3;; }
)";
  ASSERT_EQ(load(file), D3D_OK);
  ID3DXMesh* withNormals = nullptr;
  ASSERT_EQ(mesh->CloneMeshFVF(D3DXMESH_MANAGED, D3DFVF_XYZ | D3DFVF_NORMAL, device, &withNormals),
            D3D_OK);
  EXPECT_EQ(withNormals->GetNumBytesPerVertex(), 24u);
  EXPECT_EQ(indices(withNormals), indices(mesh));
  ASSERT_EQ(D3DXComputeNormals(withNormals, nullptr), D3D_OK);
  const std::vector<unsigned char> bytes = vertexBytes(withNormals);
  const auto* v = reinterpret_cast<const float*>(bytes.data());
  // Face 0: (0,1,0) x (1,0,0) = (0,0,-1), angle 90 degrees at vertex 0.
  // Face 1: (0,0,1) x (0,1,1) = (-1,0,0), angle 45 degrees at vertex 0.
  const float w0 = float(M_PI / 2), w1 = float(M_PI / 4), len = std::hypot(w0, w1);
  EXPECT_NEAR(v[3], -w1 / len, 1e-5f);
  EXPECT_NEAR(v[4], 0.0f, 1e-6f);
  EXPECT_NEAR(v[5], -w0 / len, 1e-5f);
  // Vertex 2 belongs to face 0 only; positions are untouched.
  EXPECT_NEAR(v[6 * 2 + 5], -1.0f, 1e-6f);
  EXPECT_EQ(v[6 * 2 + 0], 1.0f);
  // A mesh without normals in its format cannot take them.
  EXPECT_EQ(D3DXComputeNormals(mesh, nullptr), D3DERR_INVALIDCALL);
  withNormals->Release();
}

TEST_F(MeshFixture, CloneKeepsSharedComponentsAndZeroesNewOnes) {
  ASSERT_EQ(load(kTwoMaterialFile), D3D_OK);
  ID3DXMesh* clone = nullptr;
  const DWORD fvf = D3DFVF_XYZ | D3DFVF_DIFFUSE | D3DFVF_TEX2;
  ASSERT_EQ(mesh->CloneMeshFVF(D3DXMESH_MANAGED | D3DXMESH_32BIT, fvf, device, &clone), D3D_OK);
  EXPECT_EQ(clone->GetFVF(), fvf);
  EXPECT_EQ(clone->GetNumBytesPerVertex(), 32u);
  EXPECT_EQ(clone->GetOptions(), DWORD(D3DXMESH_MANAGED | D3DXMESH_32BIT));
  EXPECT_EQ(indices(clone), indices(mesh));
  EXPECT_EQ(attributes(clone), attributes(mesh));
  const std::vector<unsigned char> bytes = vertexBytes(clone);
  const auto* v = reinterpret_cast<const float*>(bytes.data());
  // Vertex 2: position (1,1,0), diffuse 0, first set (1,1), second set 0.
  const float* v2 = v + 8 * 2;
  EXPECT_EQ(v2[0], 1.0f);
  EXPECT_EQ(v2[1], 1.0f);
  EXPECT_EQ(v2[3], 0.0f);
  EXPECT_EQ(v2[4], 1.0f);
  EXPECT_EQ(v2[5], 1.0f);
  EXPECT_EQ(v2[6], 0.0f);
  IDirect3DDevice9* owner = nullptr;
  ASSERT_EQ(clone->GetDevice(&owner), D3D_OK);
  EXPECT_EQ(owner, device);
  owner->Release();
  clone->Release();
}

TEST_F(MeshFixture, DrawSubsetDrawsTheFacesOfOneAttribute) {
  ASSERT_EQ(load(kTwoMaterialFile), D3D_OK);
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  device->BeginScene();
  mesh->DrawSubset(1);
  mesh->DrawSubset(0);
  mesh->DrawSubset(7);  // no such faces: draws nothing
  device->EndScene();
  d3d9_test::setCallLogEnabled(false);
  std::vector<std::string> draws;
  for (const std::string& call : d3d9_test::callLog())
    if (call.rfind("DrawIndexedPrimitive", 0) == 0) draws.push_back(call);
  // Attribute 1: the quad, faces 0-1 over vertices 0-3; attribute 0: the
  // triangle, face 2 over vertices 4-6.
  EXPECT_EQ(draws, (std::vector<std::string>{"DrawIndexedPrimitive(4, 0, 0, 4, 0, 2)",
                                             "DrawIndexedPrimitive(4, 0, 4, 3, 6, 1)"}));
}

TEST_F(MeshFixture, InstalledModelsLoad) {
  // X files written by other tools, in every form.
  // `tangents`: the file's DeclData gives tangents and binormals, which
  // only a declaration can hold.
  const struct {
    const char* file;
    DWORD fvf;
    bool tangents;
  } models[] = {
      {"test_cube_text.x", 0, false},
      {"test_cube_binary.x", 0, false},
      {"test_cube_compressed.x", 0, false},
      {"kwxport_test_cubewithvcolors.x", D3DFVF_DIFFUSE, true},
      {"fromtruespace_bin32.x", 0, false},
      {"anim_test.x", 0, true},
      {"test.x", 0, true},
      {"BCN_Epileptic.X", 0, false},
      {"Testwuson.X", 0, false},
  };
  std::vector<std::vector<unsigned char>> cubes;
  for (const auto& model : models) {
    SCOPED_TRACE(model.file);
    const std::string bytes = readFile(std::string(kModels) + model.file);
    if (bytes.empty()) GTEST_SKIP() << "assimp-testmodels is not installed";
    ASSERT_EQ(load(bytes), D3D_OK);
    EXPECT_GT(mesh->GetNumFaces(), 0u);
    D3DVERTEXELEMENT9 declaration[MAX_FVF_DECL_SIZE];
    ASSERT_EQ(mesh->GetDeclaration(declaration), D3D_OK);
    auto has = [&](BYTE usage, BYTE index) {
      for (const D3DVERTEXELEMENT9* e = declaration; e->Stream != 0xFF; ++e)
        if (e->Usage == usage && e->UsageIndex == index) return true;
      return false;
    };
    if (model.fvf & D3DFVF_DIFFUSE) {
      EXPECT_TRUE(has(D3DDECLUSAGE_COLOR, 0));
    }
    EXPECT_EQ(has(D3DDECLUSAGE_TANGENT, 0), model.tangents);
    EXPECT_EQ(has(D3DDECLUSAGE_BINORMAL, 0), model.tangents);
    EXPECT_EQ(mesh->GetFVF() == 0, model.tangents);
    const std::vector<DWORD> faces = indices(mesh);
    for (DWORD index : faces) ASSERT_LT(index, mesh->GetNumVertices());
    if (std::string(model.file).rfind("test_cube_", 0) == 0) cubes.push_back(vertexBytes(mesh));
  }
  // The three forms of the cube hold the same vertices.
  ASSERT_EQ(cubes.size(), 3u);
  EXPECT_EQ(cubes[0], cubes[1]);
  EXPECT_EQ(cubes[0], cubes[2]);
}

}  // namespace

namespace {

TEST_F(MeshFixture, TeapotFacesOutwardWithUnitNormals) {
  ID3DXBuffer* teapotAdjacency = nullptr;
  ASSERT_EQ(D3DXCreateTeapot(device, &mesh, &teapotAdjacency), D3D_OK);
  EXPECT_EQ(mesh->GetFVF(), DWORD(D3DFVF_XYZ | D3DFVF_NORMAL));
  EXPECT_EQ(mesh->GetNumBytesPerVertex(), 24u);
  ASSERT_GT(mesh->GetNumFaces(), 1000u);
  const std::vector<unsigned char> bytes = vertexBytes(mesh);
  const auto* v = reinterpret_cast<const D3DXVECTOR3*>(bytes.data());
  D3DXVECTOR3 lo(1e9f, 1e9f, 1e9f), hi(-1e9f, -1e9f, -1e9f);
  for (DWORD i = 0; i < mesh->GetNumVertices(); ++i) {
    const D3DXVECTOR3& p = v[2 * i];
    EXPECT_NEAR(D3DXVec3Length(&v[2 * i + 1]), 1.0f, 1e-4f) << "vertex " << i;
    lo = D3DXVECTOR3(std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z));
    hi = D3DXVECTOR3(std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z));
  }
  // Standing upright, centred on y = 0; spout towards +x, handle towards -x,
  // symmetric in z.
  EXPECT_NEAR(lo.y, -1.575f, 1e-5f);
  EXPECT_NEAR(hi.y, 1.575f, 1e-5f);
  EXPECT_NEAR(lo.z, -hi.z, 1e-5f);
  EXPECT_NEAR(hi.z, 2.0f, 1e-5f);
  EXPECT_GT(hi.x, 3.2f);
  EXPECT_LT(lo.x, -2.7f);
  // Every triangle winds clockwise seen from the side its normals face.
  const std::vector<DWORD> faces = indices(mesh);
  int inward = 0;
  for (size_t f = 0; f < faces.size(); f += 3) {
    const D3DXVECTOR3 &a = v[2 * faces[f]], &b = v[2 * faces[f + 1]], &c = v[2 * faces[f + 2]];
    D3DXVECTOR3 e1 = b - a, e2 = c - a, g;
    D3DXVec3Cross(&g, &e1, &e2);
    const D3DXVECTOR3 n = v[2 * faces[f] + 1] + v[2 * faces[f + 1] + 1] + v[2 * faces[f + 2] + 1];
    if (D3DXVec3Dot(&g, &n) <= 0) ++inward;
  }
  EXPECT_EQ(inward, 0);
  // The body's widest point faces straight out: the vertex at (2, y, 0)
  // has the normal (1, 0, 0).
  bool found = false;
  for (DWORD i = 0; i < mesh->GetNumVertices(); ++i)
    if (std::fabs(v[2 * i].x - 2.0f) < 1e-4f && std::fabs(v[2 * i].z) < 1e-4f &&
        std::fabs(v[2 * i].y - (0.9f - 1.575f)) < 1e-4f) {
      EXPECT_NEAR(v[2 * i + 1].x, 1.0f, 1e-4f);
      found = true;
    }
  EXPECT_TRUE(found);
  teapotAdjacency->Release();
}

}  // namespace

namespace {

TEST_F(MeshFixture, TeapotDrawsLitFromTheFront) {
  // Culling of counter-clockwise faces keeps only the outside; a light
  // shining from the eye then lights the middle of the body fully, and
  // the corners stay clear.
  ASSERT_EQ(D3DXCreateTeapot(device, &mesh, nullptr), D3D_OK);
  D3DXMATRIX view, projection;
  D3DXVECTOR3 eye(0, 0, -8), at(0, 0, 0), up(0, 1, 0);
  device->SetTransform(D3DTS_VIEW, D3DXMatrixLookAtLH(&view, &eye, &at, &up));
  device->SetTransform(D3DTS_PROJECTION,
                       D3DXMatrixPerspectiveFovLH(&projection, float(M_PI) / 4, 4.0f / 3, 1, 20));
  D3DMATERIAL9 white{};
  white.Diffuse = {1, 1, 1, 1};
  device->SetMaterial(&white);
  lightFromEye(device);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF0000FF, 1.0f, 0);
  device->BeginScene();
  EXPECT_EQ(mesh->DrawSubset(0), D3D_OK);
  device->EndScene();
  const d3d9_test::Frame f = frame();
  EXPECT_TRUE(d3d9_testing::colourNear(f.at(kWidth / 2, kHeight / 2 + 2), 0xFFFFFFFF, 24));
  EXPECT_EQ(f.at(0, 0), 0xFF0000FFu);
}

}  // namespace
