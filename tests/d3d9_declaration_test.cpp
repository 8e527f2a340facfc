// Vertex declarations in place of an FVF (the fixed-function pipeline and
// programs of others reading them, meshes whose vertices need one) and
// several render targets written at once.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/d3d9/FixedFunction.h"
#include "platform/d3d9/GLInterop.h"
#include "platform/d3d9/VertexFormat.h"
#include "platform/d3d9/VertexInput.h"
#include "platform/d3dx/D3DXMesh.h"
#include "tests/d3d9_fixture.h"

namespace {

using d3d9_testing::colourNear;
using d3d9_testing::DeviceFixture;

constexpr D3DVERTEXELEMENT9 kEnd = D3DDECL_END();

// A vertex whose colour comes first and whose tangent no FVF can say.
struct TangentVertex {
  D3DCOLOR colour;
  float x, y, z;
  float tx, ty, tz;
};
const D3DVERTEXELEMENT9 kTangentElements[] = {
    {0, 0, D3DDECLTYPE_D3DCOLOR, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_COLOR, 0},
    {0, 4, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
    {0, 16, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TANGENT, 0},
    kEnd,
};

// Links a vertex and a fragment stage of GLSL (version 330).
GLuint program(const std::string& vertex, const std::string& fragment) {
  std::string log;
  GLuint vs = d3d9_gl::compileShader(GL_VERTEX_SHADER, "#version 330 core\n" + vertex, log);
  GLuint fs = d3d9_gl::compileShader(GL_FRAGMENT_SHADER, "#version 330 core\n" + fragment, log);
  EXPECT_NE(vs, 0u) << log;
  EXPECT_NE(fs, 0u) << log;
  GLuint linked = d3d9_gl::linkShaders(vs, fs, log);
  EXPECT_NE(linked, 0u) << log;
  return linked;
}

class DeclarationTest : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device->SetRenderState(D3DRS_ZENABLE, FALSE);
  }

  IDirect3DVertexDeclaration9* declaration(const D3DVERTEXELEMENT9* elements) {
    IDirect3DVertexDeclaration9* made = nullptr;
    EXPECT_EQ(device->CreateVertexDeclaration(elements, &made), D3D_OK);
    return made;
  }

  // A quad over the whole target, in the tangent vertex layout.
  void tangentQuad(TangentVertex out[4], D3DCOLOR colour, float tx, float ty, float tz) {
    const float corners[4][2] = {{-1, 1}, {1, 1}, {-1, -1}, {1, -1}};
    for (int i = 0; i < 4; ++i) out[i] = {colour, corners[i][0], corners[i][1], 0.5f, tx, ty, tz};
  }
};

TEST_F(DeclarationTest, DeclarationsKeepTheirElementsAndTakeTheFVFsPlace) {
  IDirect3DVertexDeclaration9* d = declaration(kTangentElements);
  ASSERT_NE(d, nullptr);
  UINT count = 0;
  ASSERT_EQ(d->GetDeclaration(nullptr, &count), D3D_OK);
  EXPECT_EQ(count, 4u);
  D3DVERTEXELEMENT9 got[4];
  ASSERT_EQ(d->GetDeclaration(got, &count), D3D_OK);
  EXPECT_EQ(std::memcmp(got, kTangentElements, sizeof got), 0);
  IDirect3DDevice9* owner = nullptr;
  ASSERT_EQ(d->GetDevice(&owner), D3D_OK);
  EXPECT_EQ(owner, device);
  owner->Release();

  device->SetFVF(D3DFVF_XYZ);
  ASSERT_EQ(device->SetVertexDeclaration(d), D3D_OK);
  DWORD fvf = 1;
  device->GetFVF(&fvf);
  EXPECT_EQ(fvf, 0u);
  IDirect3DVertexDeclaration9* current = nullptr;
  ASSERT_EQ(device->GetVertexDeclaration(&current), D3D_OK);
  EXPECT_EQ(current, d);
  current->Release();
  // The device's binding keeps the declaration drawable after the
  // application lets go of it.
  EXPECT_EQ(d->Release(), 0u);
  TangentVertex quad[4];
  tangentQuad(quad, 0xff00ff00, 1, 0, 0);
  EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_EQ(frame().at(10, 10), 0xff00ff00u);
  // A stride that does not hold the declaration's vertex is refused.
  EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, 24), D3DERR_INVALIDCALL);

  // An FVF replaces the declaration.
  ASSERT_EQ(device->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE), D3D_OK);
  current = reinterpret_cast<IDirect3DVertexDeclaration9*>(1);
  ASSERT_EQ(device->GetVertexDeclaration(&current), D3D_OK);
  EXPECT_EQ(current, nullptr);
  device->GetFVF(&fvf);
  EXPECT_EQ(fvf, DWORD(D3DFVF_XYZ | D3DFVF_DIFFUSE));
}

TEST_F(DeclarationTest, DeclarationsTheDeviceCannotDrawAreRefused) {
  std::vector<D3DVERTEXELEMENT9> endless(MAXD3DDECLLENGTH + 1, kTangentElements[1]);
  const D3DVERTEXELEMENT9 position = kTangentElements[1];
  const struct {
    const char* what;
    std::vector<D3DVERTEXELEMENT9> elements;
  } cases[] = {
      {"a second stream", {{1, 0, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0}, kEnd}},
      {"an unused type", {{0, 0, D3DDECLTYPE_UNUSED, 0, D3DDECLUSAGE_POSITION, 0}, kEnd}},
      {"an unknown type", {{0, 0, 40, 0, D3DDECLUSAGE_POSITION, 0}, kEnd}},
      {"a tessellation method",
       {{0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_UV, D3DDECLUSAGE_POSITION, 0}, kEnd}},
      {"an unknown usage", {{0, 0, D3DDECLTYPE_FLOAT3, 0, 14, 0}, kEnd}},
      {"one meaning twice",
       {position, {0, 12, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0}, kEnd}},
      {"no end marker", endless},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IDirect3DVertexDeclaration9* d = reinterpret_cast<IDirect3DVertexDeclaration9*>(1);
    EXPECT_EQ(device->CreateVertexDeclaration(c.elements.data(), &d), D3DERR_INVALIDCALL);
    EXPECT_EQ(d, nullptr);
  }
  IDirect3DVertexDeclaration9* d = nullptr;
  EXPECT_EQ(device->CreateVertexDeclaration(nullptr, &d), D3DERR_INVALIDCALL);
  // A declaration without a position is made, but nothing draws from it.
  const D3DVERTEXELEMENT9 colourOnly[] = {kTangentElements[0], kEnd};
  ASSERT_EQ(device->CreateVertexDeclaration(colourOnly, &d), D3D_OK);
  device->SetVertexDeclaration(d);
  const DWORD vertices[3] = {};
  EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, vertices, 4), D3DERR_INVALIDCALL);
  d->Release();
}

TEST_F(DeclarationTest, FixedFunctionReadsWhatItKnowsWhereverTheDeclarationPutsIt) {
  // Colours and texture coordinates at other offsets than an FVF has them,
  // in two layouts with the same meaning: both draw alike.
  const D3DCOLOR texels[4] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffffff};
  IDirect3DTexture9* t = nullptr;
  ASSERT_EQ(device->CreateTexture(2, 2, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
            D3D_OK);
  D3DLOCKED_RECT locked;
  ASSERT_EQ(t->LockRect(0, &locked, nullptr, 0), D3D_OK);
  for (int y = 0; y < 2; ++y)
    std::memcpy(static_cast<char*>(locked.pBits) + y * locked.Pitch, texels + 2 * y, 8);
  t->UnlockRect(0);
  device->SetTexture(0, t);
  device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_POINT);
  device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_POINT);
  device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);

  struct Vertex {
    float u, v;  // second texture coordinate set, unused by stage 0
    float s, t;  // set 0
    D3DCOLOR colour;
    float x, y, z;
  };
  const D3DVERTEXELEMENT9 elements[] = {
      {0, 0, D3DDECLTYPE_FLOAT2, 0, D3DDECLUSAGE_TEXCOORD, 1},
      {0, 8, D3DDECLTYPE_FLOAT2, 0, D3DDECLUSAGE_TEXCOORD, 0},
      {0, 16, D3DDECLTYPE_D3DCOLOR, 0, D3DDECLUSAGE_COLOR, 0},
      {0, 20, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0},
      kEnd,
  };
  const Vertex quad[4] = {{9, 9, 0, 0, 0xff808080, -1, 1, 0.5f},
                          {9, 9, 1, 0, 0xff808080, 1, 1, 0.5f},
                          {9, 9, 0, 1, 0xff808080, -1, -1, 0.5f},
                          {9, 9, 1, 1, 0xff808080, 1, -1, 0.5f}};
  IDirect3DVertexDeclaration9* d = declaration(elements);
  device->SetVertexDeclaration(d);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  const d3d9_test::Frame withDeclaration = frame();
  d->Release();

  struct FVFVertex {
    float x, y, z;
    D3DCOLOR colour;
    float s, t;
  } fvfQuad[4];
  for (int i = 0; i < 4; ++i)
    fvfQuad[i] = {quad[i].x, quad[i].y, quad[i].z, quad[i].colour, quad[i].s, quad[i].t};
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
  device->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE | D3DFVF_TEX1);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, fvfQuad, sizeof fvfQuad[0]), D3D_OK);
  const d3d9_test::Frame withFVF = frame();
  EXPECT_EQ(withDeclaration.pixels, withFVF.pixels);
  // The texture modulated by the grey vertex colour, in each quarter.
  EXPECT_TRUE(colourNear(withDeclaration.at(8, 8), 0xff800000, 2));
  EXPECT_TRUE(colourNear(withDeclaration.at(56, 40), 0xff808080, 2));
  device->SetTexture(0, nullptr);
  t->Release();
}

TEST_F(DeclarationTest, ProgramsReadEachElementByItsSemantic) {
  ASSERT_TRUE(d3d9_gl::makeCurrent(device));
  // Inputs named by semantic, placed by GL; the position read at its fixed
  // location by a name of the program's own.
  const GLuint shown = program(
      "layout(location = 0) in vec3 p;\nin vec3 a_TANGENT0;\nin vec3 a_BINORMAL0;\n"
      "in vec4 a_COLOR0;\nout vec3 c;\n"
      "void main() { gl_Position = vec4(p, 1.0); c = a_TANGENT0 + a_BINORMAL0 + a_COLOR0.rgb; }\n",
      "in vec3 c;\nout vec4 o;\nvoid main() { o = vec4(c, 1.0); }\n");
  struct Vertex {
    float bx, by, bz;
    D3DCOLOR colour;
    float x, y, z;
    float tx, ty, tz;
  };
  const D3DVERTEXELEMENT9 elements[] = {
      {0, 0, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_BINORMAL, 0},
      {0, 12, D3DDECLTYPE_D3DCOLOR, 0, D3DDECLUSAGE_COLOR, 0},
      {0, 16, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0},
      {0, 28, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_TANGENT, 0},
      kEnd,
  };
  IDirect3DVertexDeclaration9* d = declaration(elements);
  device->SetVertexDeclaration(d);
  d3d9_gl::setProgram(device, shown);
  const struct {
    float t[3], b[3];
    D3DCOLOR colour, seen;
  } cases[] = {
      {{1, 0, 0}, {0, 0, 0}, 0xff000000, 0xffff0000},
      {{0, 0, 0}, {0, 1, 0}, 0xff000000, 0xff00ff00},
      {{0, 0, 0}, {0, 0, 0}, 0xff0000ff, 0xff0000ff},
      {{0.25f, 0, 0}, {0.25f, 0.5f, 0}, 0xff000080, 0xff808080},
  };
  for (const auto& c : cases) {
    const float corners[4][2] = {{-1, 1}, {1, 1}, {-1, -1}, {1, -1}};
    Vertex quad[4];
    for (int i = 0; i < 4; ++i)
      quad[i] = {c.b[0],        c.b[1], c.b[2], c.colour, corners[i][0],
                 corners[i][1], 0.5f,   c.t[0], c.t[1],   c.t[2]};
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
    EXPECT_TRUE(colourNear(frame().at(20, 20), c.seen, 1));
  }
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  // The same program over an FVF: no tangent, no binormal (GL reads them
  // as zero), the colour at its fixed place.
  struct FVFVertex {
    float x, y, z;
    D3DCOLOR colour;
  } quad[4] = {{-1, 1, 0.5f, 0xff00ff00},
               {1, 1, 0.5f, 0xff00ff00},
               {-1, -1, 0.5f, 0xff00ff00},
               {1, -1, 0.5f, 0xff00ff00}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_TRUE(colourNear(frame().at(20, 20), 0xff00ff00, 1));
  d3d9_gl::setProgram(device, 0);
  d->Release();
  glDeleteProgram(shown);
}

TEST_F(DeclarationTest, AMeshWithTangentsDrawsThroughItsDeclaration) {
  // Vertex colours and a tangent per vertex (from DeclData): the mesh has no
  // FVF and draws through a declaration of its own.
  auto bits = [](float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return std::to_string(u);
  };
  std::string tangents;
  for (int v = 0; v < 4; ++v) tangents += std::string(v ? "," : "") + bits(1) + ",0,0";
  const std::string file =
      "xof 0303txt 0032\nMesh Quad { 4; -1;-1;0.5;, -1;1;0.5;, 1;1;0.5;, 1;-1;0.5;;\n"
      "1; 4;0,1,2,3;;\n"
      "MeshVertexColors { 4; 0;0;0;1;1;;, 1;0;0;1;1;;, 2;0;0;1;1;;, 3;0;0;1;1;;; }\n"
      "DeclData { 1; 2;0;6;0;; 12; " +
      tangents + "; } }\n";
  ID3DXMesh* mesh = nullptr;
  ASSERT_EQ(D3DXLoadMeshFromXInMemory(file.data(), DWORD(file.size()), D3DXMESH_MANAGED, device,
                                      nullptr, nullptr, nullptr, nullptr, &mesh),
            D3D_OK);
  EXPECT_EQ(mesh->GetFVF(), 0u);
  EXPECT_EQ(mesh->GetNumBytesPerVertex(), 28u);
  ASSERT_EQ(mesh->DrawSubset(0), D3D_OK);
  EXPECT_EQ(frame().at(32, 24), 0xff0000ffu);
  IDirect3DVertexDeclaration9* d = nullptr;
  ASSERT_EQ(device->GetVertexDeclaration(&d), D3D_OK);
  ASSERT_NE(d, nullptr);
  D3DVERTEXELEMENT9 elements[MAXD3DDECLLENGTH];
  UINT count = MAXD3DDECLLENGTH;
  ASSERT_EQ(d->GetDeclaration(elements, &count), D3D_OK);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(elements[2].Usage, D3DDECLUSAGE_TANGENT);
  EXPECT_EQ(elements[2].Offset, 16u);
  d->Release();
  mesh->Release();
}

TEST_F(DeclarationTest, APixelProgramFillsSeveralTargetsAtOnce) {
  D3DCAPS9 caps{};
  device->GetDeviceCaps(&caps);
  EXPECT_EQ(caps.NumSimultaneousRTs, 4u);
  IDirect3DTexture9* textures[3] = {};
  IDirect3DSurface9* targets[3] = {};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(device->CreateTexture(kWidth, kHeight, 1, D3DUSAGE_RENDERTARGET, D3DFMT_A8R8G8B8,
                                    D3DPOOL_DEFAULT, &textures[i], nullptr),
              D3D_OK);
    textures[i]->GetSurfaceLevel(0, &targets[i]);
  }
  IDirect3DSurface9* back = nullptr;
  device->GetRenderTarget(0, &back);
  ASSERT_EQ(device->SetRenderTarget(1, targets[0]), D3D_OK);
  ASSERT_EQ(device->SetRenderTarget(3, targets[2]), D3D_OK);
  EXPECT_EQ(device->SetRenderTarget(4, targets[1]), D3DERR_INVALIDCALL);
  // One surface is not two targets of the set.
  EXPECT_EQ(device->SetRenderTarget(2, targets[0]), D3DERR_INVALIDCALL);
  IDirect3DSurface9* got = nullptr;
  EXPECT_EQ(device->GetRenderTarget(2, &got), D3DERR_NOTFOUND);
  ASSERT_EQ(device->GetRenderTarget(3, &got), D3D_OK);
  EXPECT_EQ(got, targets[2]);
  got->Release();

  // Clearing clears every target of the set.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff404040, 1.0f, 0);
  EXPECT_EQ(d3d9_test::readSurface(targets[0]).at(5, 5), 0xff404040u);
  EXPECT_EQ(d3d9_test::readSurface(targets[2]).at(5, 5), 0xff404040u);
  EXPECT_NE(d3d9_test::readSurface(targets[1]).at(5, 5), 0xff404040u);

  ASSERT_TRUE(d3d9_gl::makeCurrent(device));
  const GLuint colours =
      program("layout(location = 0) in vec3 p;\nvoid main() { gl_Position = vec4(p, 1.0); }\n",
              "layout(location = 0) out vec4 c0;\nlayout(location = 1) out vec4 c1;\n"
              "layout(location = 2) out vec4 c2;\nlayout(location = 3) out vec4 c3;\n"
              "void main() { c0 = vec4(1, 0, 0, 1); c1 = vec4(0, 1, 0, 1); c2 = vec4(1, 1, 1, 1);\n"
              "  c3 = vec4(0, 0, 1, 1); }\n");
  d3d9_gl::setProgram(device, colours);
  const float quad[4][3] = {{-1, 1, 0.5f}, {1, 1, 0.5f}, {-1, -1, 0.5f}, {1, -1, 0.5f}};
  device->SetFVF(D3DFVF_XYZ);
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
  EXPECT_EQ(frame().at(5, 5), 0xffff0000u);
  EXPECT_EQ(d3d9_test::readSurface(targets[0]).at(5, 5), 0xff00ff00u);
  EXPECT_EQ(d3d9_test::readSurface(targets[2]).at(5, 5), 0xff0000ffu);
  // Target 2 was never set: output 2 went nowhere.
  EXPECT_NE(d3d9_test::readSurface(targets[1]).at(5, 5), 0xffffffffu);

  // Taking a target out leaves the others as they are.
  ASSERT_EQ(device->SetRenderTarget(1, nullptr), D3D_OK);
  EXPECT_EQ(device->GetRenderTarget(1, &got), D3DERR_NOTFOUND);
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  EXPECT_EQ(d3d9_test::readSurface(targets[0]).at(5, 5), 0xff00ff00u);
  EXPECT_EQ(d3d9_test::readSurface(targets[2]).at(5, 5), 0xff000000u);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  d3d9_gl::setProgram(device, 0);
  glDeleteProgram(colours);
  // Released while set: the device's binding keeps target 3 until it is
  // replaced.
  for (int i = 0; i < 3; ++i) {
    targets[i]->Release();
    textures[i]->Release();
  }
  ASSERT_EQ(device->SetRenderTarget(3, nullptr), D3D_OK);
  back->Release();
}

}  // namespace

namespace {

TEST(VertexInputTest, AnFVFReadsAsTheDeclarationItStandsFor) {
  const struct {
    DWORD fvf;
    UINT size;
    uint8_t position, weights;
    bool normal, diffuse, specular;
    uint8_t sets[3];
    // Where the last element of the vertex starts and what it means.
    BYTE lastUsage, lastIndex;
    WORD lastOffset;
  } cases[] = {
      {D3DFVF_XYZ,
       12,
       d3d9::kPositionXYZ,
       0,
       false,
       false,
       false,
       {0, 0, 0},
       D3DDECLUSAGE_POSITION,
       0,
       0},
      {D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1,
       28,
       d3d9::kPositionRHW,
       0,
       false,
       true,
       false,
       {2, 0, 0},
       D3DDECLUSAGE_TEXCOORD,
       0,
       20},
      {D3DFVF_XYZB3 | D3DFVF_LASTBETA_UBYTE4 | D3DFVF_NORMAL,
       36,
       d3d9::kPositionXYZ,
       2,
       true,
       false,
       false,
       {0, 0, 0},
       D3DDECLUSAGE_NORMAL,
       0,
       24},
      {D3DFVF_XYZB5 | D3DFVF_SPECULAR,
       36,
       d3d9::kPositionXYZ,
       4,
       false,
       false,
       true,
       {0, 0, 0},
       D3DDECLUSAGE_COLOR,
       1,
       32},
      {D3DFVF_XYZW | D3DFVF_TEX3 | D3DFVF_TEXCOORDSIZE1(0) | D3DFVF_TEXCOORDSIZE3(2),
       16 + 4 + 8 + 12,
       d3d9::kPositionXYZW,
       0,
       false,
       false,
       false,
       {1, 2, 3},
       D3DDECLUSAGE_TEXCOORD,
       2,
       28},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fvf);
    const d3d9::VertexInput input = d3d9::inputOfFVF(c.fvf);
    EXPECT_EQ(input.id, c.fvf);
    EXPECT_EQ(input.size, c.size);
    EXPECT_EQ(input.position, c.position);
    EXPECT_EQ(input.weights, c.weights);
    EXPECT_EQ(input.normal, c.normal);
    EXPECT_EQ(input.diffuse, c.diffuse);
    EXPECT_EQ(input.specular, c.specular);
    for (int s = 0; s < 3; ++s) EXPECT_EQ(input.texCoordSize[s], c.sets[s]) << "set " << s;
    std::vector<D3DVERTEXELEMENT9> elements;
    ASSERT_TRUE(d3d9::elementsOfFVF(c.fvf, elements));
    EXPECT_EQ(elements.back().Usage, c.lastUsage);
    EXPECT_EQ(elements.back().UsageIndex, c.lastIndex);
    EXPECT_EQ(elements.back().Offset, c.lastOffset);
  }
  // Formats without a position the device knows cannot be drawn.
  EXPECT_EQ(d3d9::inputOfFVF(0).size, 0u);
  EXPECT_EQ(d3d9::inputOfFVF(D3DFVF_NORMAL).size, 0u);
  EXPECT_EQ(d3d9::inputOfFVF(D3DFVF_XYZ | (9 << D3DFVF_TEXCOUNT_SHIFT)).size, 0u);
}

}  // namespace
