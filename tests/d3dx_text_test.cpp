#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "platform/d3dx/D3DXMesh.h"
#include "platform/d3dx/D3DXText.h"
#include "platform/win32/GdiInternal.h"
#include "tests/d3d9_fixture.h"
#include "tests/text_view.h"

namespace {

const char* kLiberationSans = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf";

using Pos = std::tuple<float, float, float>;

Pos pos(const TextMeshVertex& v) { return {v.position.x, v.position.y, v.position.z}; }

D3DXVECTOR3 cross(const D3DXVECTOR3& a, const D3DXVECTOR3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float dot(const D3DXVECTOR3& a, const D3DXVECTOR3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// What the tests want to know about a mesh, with vertices welded by
// position (the mesh keeps separate vertices where normals differ).
struct Shape {
  int unpairedEdges = 0;  // directed edges without exactly one reverse twin
  int eulerCharacteristic = 0;
  int badNormals = 0;    // vertex normals against their triangle's winding
  double volume = 0;     // positive when the triangles face outwards
  double frontArea = 0;  // area of the face looking towards -z
  float minX = 1e9f, maxX = -1e9f, minY = 1e9f, maxY = -1e9f, minZ = 1e9f, maxZ = -1e9f;
};

Shape analyse(const TextMeshData& mesh) {
  Shape s;
  std::map<Pos, int> ids;
  for (const auto& v : mesh.vertices) {
    ids.emplace(pos(v), int(ids.size()));
    s.minX = std::min(s.minX, v.position.x), s.maxX = std::max(s.maxX, v.position.x);
    s.minY = std::min(s.minY, v.position.y), s.maxY = std::max(s.maxY, v.position.y);
    s.minZ = std::min(s.minZ, v.position.z), s.maxZ = std::max(s.maxZ, v.position.z);
  }
  std::map<std::pair<int, int>, int> directed;
  std::set<std::pair<int, int>> undirected;
  for (size_t t = 0; t + 2 < mesh.indices.size(); t += 3) {
    const TextMeshVertex* v[3] = {&mesh.vertices[mesh.indices[t]],
                                  &mesh.vertices[mesh.indices[t + 1]],
                                  &mesh.vertices[mesh.indices[t + 2]]};
    int id[3] = {ids[pos(*v[0])], ids[pos(*v[1])], ids[pos(*v[2])]};
    for (int k = 0; k < 3; ++k) {
      int a = id[k], b = id[(k + 1) % 3];
      ++directed[{a, b}];
      undirected.insert({std::min(a, b), std::max(a, b)});
    }
    D3DXVECTOR3 n = cross(v[1]->position - v[0]->position, v[2]->position - v[0]->position);
    s.volume += dot(v[0]->position, cross(v[1]->position, v[2]->position)) / 6.0;
    float len = std::sqrt(dot(n, n));
    if (len > 1e-9f) {
      for (auto* x : v)
        if (dot(x->normal, n) / len < 0.5f || std::fabs(dot(x->normal, x->normal) - 1) > 1e-4f)
          ++s.badNormals;
      if (n.z < 0 && n.x == 0 && n.y == 0) s.frontArea += len / 2;
    }
  }
  for (const auto& [edge, count] : directed) {
    auto twin = directed.find({edge.second, edge.first});
    if (count != 1 || twin == directed.end() || twin->second != 1) ++s.unpairedEdges;
  }
  s.eulerCharacteristic = int(ids.size()) - int(undirected.size()) + int(mesh.indices.size() / 3);
  return s;
}

// The outline of a mesh: the edges of its sides at z = 0.
std::vector<std::pair<D3DXVECTOR3, D3DXVECTOR3>> outline(const TextMeshData& mesh) {
  std::vector<std::pair<D3DXVECTOR3, D3DXVECTOR3>> edges;
  for (size_t t = 0; t + 2 < mesh.indices.size(); t += 3)
    for (int k = 0; k < 3; ++k) {
      const auto& a = mesh.vertices[mesh.indices[t + k]];
      const auto& b = mesh.vertices[mesh.indices[t + (k + 1) % 3]];
      if (a.normal.z == 0 && b.normal.z == 0 && a.position.z == 0 && b.position.z == 0)
        edges.push_back({a.position, b.position});
    }
  return edges;
}

// How far the outline of `fine` strays from that of `coarse`, at most.
float outlineDistance(const TextMeshData& fine, const TextMeshData& coarse) {
  auto segments = outline(coarse);
  float worst = 0;
  for (const auto& [p, unused] : outline(fine)) {
    float best = 1e9f;
    for (const auto& [a, b] : segments) {
      D3DXVECTOR3 ab = b - a, ap = p - a;
      float t = std::clamp(dot(ap, ab) / dot(ab, ab), 0.0f, 1.0f);
      D3DXVECTOR3 d = ap - ab * t;
      best = std::min(best, std::sqrt(dot(d, d)));
    }
    worst = std::max(worst, best);
  }
  return worst;
}

class TextMesh : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kLiberationSans))
      GTEST_SKIP() << "fonts-liberation is not installed (" << kLiberationSans << ")";
    contexts_ = platform_test::gdiLiveContexts();
    fonts_ = platform_test::gdiLiveFonts();
    dc_ = GetDC(nullptr);
    select("Arial");
  }
  void TearDown() override {
    if (!dc_) return;
    EXPECT_EQ(ReleaseDC(nullptr, dc_), 1);
    if (font_) {
      EXPECT_TRUE(DeleteObject(font_));
    }
    EXPECT_EQ(platform_test::gdiLiveContexts(), contexts_);
    EXPECT_EQ(platform_test::gdiLiveFonts(), fonts_);
  }

  // The font request the script functions make.
  static HFONT createFont(const char* face) {
    return CreateFontA(0, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_TT_ONLY_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, 0, face);
  }
  void select(const char* face) {
    HFONT font = createFont(face);
    ASSERT_NE(font, nullptr) << face;
    SelectObject(dc_, font);
    if (font_) {
      EXPECT_TRUE(DeleteObject(font_));
    }
    font_ = font;
  }
  TextMeshData build(const char* text, float extrusion = 0.1f, float deviation = 0.001f) {
    TextMeshData data;
    EXPECT_EQ(buildTextMeshData(dc_, text, deviation, extrusion, data), D3D_OK) << text;
    return data;
  }
  double unitsPerEm() { return platform_internal::gdiSelectedFace(dc_)->units_per_EM; }

  HDC dc_ = nullptr;
  HFONT font_ = nullptr;
  int contexts_ = 0, fonts_ = 0;
};

}  // namespace

// Every glyph is a closed solid, wound and lit from outside, and its holes
// stay holes: with vertices welded by position, V - E + F is 2 per piece and
// 2 less per hole.
TEST_F(TextMesh, GlyphsAreClosedOutwardFacingSolids) {
  struct Case {
    const char* font;
    const char* text;
    int eulerCharacteristic;
  } cases[] = {
      {"Arial", "O", 0},
      {"Arial", "g", 0},
      {"Arial", "A", 0},
      {"Arial", "B", -2},
      {"Arial", "8", -2},
      {"Arial", "i", 4},
      {"Arial", "%", 2},             // two rings and a stroke
      {"Arial", "\xE9", 2},          // e acute: a ring and the accent
      {"Times New Roman", "g", -2},  // the two-storey g: two bowls
      {"Courier New", "Hello", 6},   // five pieces, two holes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.font) + " \"" + c.text + "\"");
    select(c.font);
    TextMeshData mesh = build(c.text, 0.25f);
    ASSERT_FALSE(mesh.indices.empty());
    EXPECT_EQ(mesh.attributes, std::vector<DWORD>(mesh.indices.size() / 3, 0));
    Shape s = analyse(mesh);
    EXPECT_EQ(s.unpairedEdges, 0);
    EXPECT_EQ(s.eulerCharacteristic, c.eulerCharacteristic);
    EXPECT_EQ(s.badNormals, 0);
    // A prism: the enclosed volume is the face's area times the depth.
    EXPECT_GT(s.frontArea, 0.01);
    EXPECT_NEAR(s.volume, s.frontArea * 0.25, 1e-4 * s.volume);
  }
}

// Fonts may overlap contours, turn them either way and ask for either fill
// rule: the outline is first resolved into the region it covers, so that the
// faces and the sides agree.
TEST(TextMeshContours, OverlapsAndFillRulesResolveIntoOneClosedRegion) {
  using Contour = std::vector<D3DXVECTOR2>;
  auto square = [](float x0, float y0, float size, bool clockwise) {
    Contour c{{x0, y0}, {x0 + size, y0}, {x0 + size, y0 + size}, {x0, y0 + size}};
    if (clockwise) std::reverse(c.begin(), c.end());
    return c;
  };
  struct Case {
    const char* name;
    std::vector<Contour> contours;
    bool evenOdd;
    double area;
    int eulerCharacteristic;  // -99: pinched, not a closed manifold
  } cases[] = {
      {"overlapping squares merge", {square(0, 0, 2, true), square(1, 1, 2, true)}, false, 7, 2},
      {"nested, same turn, non-zero", {square(0, 0, 3, true), square(1, 1, 1, true)}, false, 9, 2},
      {"nested, same turn, even-odd", {square(0, 0, 3, true), square(1, 1, 1, true)}, true, 8, 0},
      {"nested, opposite turn", {square(0, 0, 3, false), square(1, 1, 1, true)}, false, 8, 0},
      {"a contour and its reverse cancel",
       {square(0, 0, 1, false), square(0, 0, 1, true)},
       false,
       0,
       0},
      {"degenerate contours vanish", {{{0, 0}, {1, 1}}, {{0, 0}, {1, 0}, {2, 0}}}, false, 0, 0},
      {"self-crossing bow tie", {{{0, 0}, {2, 2}, {2, 0}, {0, 2}}}, false, 2, -99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextMeshData mesh;
    platform_test::buildContourSolid(c.contours, c.evenOdd, 0.5f, mesh);
    Shape s = analyse(mesh);
    EXPECT_NEAR(s.frontArea, c.area, 1e-5);
    EXPECT_NEAR(s.volume, c.area * 0.5, 1e-5);
    EXPECT_EQ(s.badNormals, 0);
    if (c.eulerCharacteristic != -99) {
      EXPECT_EQ(s.unpairedEdges, 0);
      EXPECT_EQ(s.eulerCharacteristic, c.eulerCharacteristic);
    }
  }
}

TEST_F(TextMesh, ExtrusionRunsFromZeroTowardsNegativeZ) {
  struct Case {
    float extrusion, minZ, maxZ;
  } cases[] = {{0.1f, -0.1f, 0}, {2.0f, -2.0f, 0}, {-0.3f, 0, 0.3f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extrusion);
    Shape s = analyse(build("O", c.extrusion));
    EXPECT_FLOAT_EQ(s.minZ, c.minZ);
    EXPECT_FLOAT_EQ(s.maxZ, c.maxZ);
    EXPECT_EQ(s.unpairedEdges, 0);
    EXPECT_EQ(s.badNormals, 0);
    EXPECT_GT(s.volume, 0);
  }

  // No depth: the two faces back to back, no sides.
  TextMeshData flat = build("O", 0);
  int front = 0;
  for (const auto& v : flat.vertices) {
    EXPECT_EQ(v.position.z, 0);
    EXPECT_EQ(std::fabs(v.normal.z), 1);
    front += v.normal.z < 0;
  }
  EXPECT_EQ(front * 2, int(flat.vertices.size()));
  EXPECT_EQ(analyse(flat).badNormals, 0);
}

TEST_F(TextMesh, FacesAndSidesHaveTheirOwnNormals) {
  TextMeshData mesh = build("I", 0.5f);  // a plain bar: four sharp corners
  int front = 0, back = 0, side = 0;
  for (const auto& v : mesh.vertices) {
    if (v.normal.z == -1) {
      ++front;
      EXPECT_FLOAT_EQ(v.position.z, -0.5f);
    } else if (v.normal.z == 1) {
      ++back;
      EXPECT_EQ(v.position.z, 0);
    } else {
      ++side;
      EXPECT_EQ(v.normal.z, 0);
    }
  }
  EXPECT_EQ(front, 4);
  EXPECT_EQ(back, 4);
  EXPECT_EQ(side, 16);  // corners stay sharp: each side has its own four
  // Round letters have no corners: neighbouring sides share one normal at
  // each point of the curve, so each side point has a single vertex, whose
  // normal lies between the directions of its two sides.
  TextMeshData o = build("O");
  std::map<Pos, D3DXVECTOR3> sideNormal;
  int sideVertices = 0;
  for (const auto& v : o.vertices)
    if (v.normal.z == 0) ++sideVertices, sideNormal[pos(v)] = v.normal;
  EXPECT_GT(sideVertices, 80);
  EXPECT_EQ(int(sideNormal.size()), sideVertices);
  std::map<Pos, std::vector<D3DXVECTOR3>> edgesAt;
  for (const auto& [a, b] : outline(o)) {
    D3DXVECTOR3 unit = (b - a) / std::sqrt(dot(b - a, b - a));
    edgesAt[{a.x, a.y, a.z}].push_back(unit);
    edgesAt[{b.x, b.y, b.z}].push_back(unit);
  }
  for (const auto& [p, edges] : edgesAt) {
    ASSERT_EQ(edges.size(), 2u);
    const D3DXVECTOR3& n = sideNormal[p];
    EXPECT_NEAR(std::fabs(dot(n, edges[0])), std::fabs(dot(n, edges[1])), 1e-5f);
  }
}

TEST_F(TextMesh, MetricsAndPlacementFollowTheFontsAdvances) {
  // The metric-compatible stand-in for Arial: 'A' 1366, 'i' 455 and the
  // blank 569 units of the 2048-unit em.
  ASSERT_EQ(unitsPerEm(), 2048);
  TextMeshData mesh = build("A i");
  ASSERT_EQ(mesh.metrics.size(), 3u);
  EXPECT_FLOAT_EQ(mesh.metrics[0].gmfCellIncX, 1366 / 2048.0f);
  EXPECT_FLOAT_EQ(mesh.metrics[1].gmfCellIncX, 569 / 2048.0f);
  EXPECT_FLOAT_EQ(mesh.metrics[2].gmfCellIncX, 455 / 2048.0f);
  for (const auto& m : mesh.metrics) EXPECT_EQ(m.gmfCellIncY, 0);
  EXPECT_EQ(mesh.metrics[1].gmfBlackBoxX, 0);

  // The black box of a lone glyph is the mesh's extent in the plane, and
  // later characters sit one advance further along +x.
  TextMeshData o = build("o");
  const GLYPHMETRICSFLOAT& m = o.metrics[0];
  Shape one = analyse(o);
  EXPECT_NEAR(one.minX, m.gmfptGlyphOrigin.x, 1e-3);
  EXPECT_NEAR(one.maxX, m.gmfptGlyphOrigin.x + m.gmfBlackBoxX, 1e-3);
  EXPECT_NEAR(one.maxY, m.gmfptGlyphOrigin.y, 1e-3);
  EXPECT_NEAR(one.minY, m.gmfptGlyphOrigin.y - m.gmfBlackBoxY, 1e-3);
  Shape two = analyse(build("oo"));
  EXPECT_NEAR(two.maxX - one.maxX, m.gmfCellIncX, 1e-5);
  EXPECT_EQ(two.minX, one.minX);
}

TEST_F(TextMesh, DeviationBoundsTheFlattening) {
  // A finer tolerance gives more vertices; 0 means one design unit, finer
  // still than 0.001 em for a 2048-unit font.
  size_t coarse = build("O", 0.1f, 0.05f).vertices.size();
  size_t medium = build("O", 0.1f, 0.001f).vertices.size();
  size_t fine = build("O", 0.1f, 0).vertices.size();
  EXPECT_LT(coarse, medium);
  EXPECT_LT(medium, fine);

  // The chordal deviation itself: points of a near-exact flattening lie
  // within the tolerance of the coarser outline.
  for (float deviation : {0.05f, 0.01f, 0.001f}) {
    SCOPED_TRACE(deviation);
    EXPECT_LE(outlineDistance(build("O", 0.1f, 1e-30f), build("O", 0.1f, deviation)),
              deviation * 1.01f + 1e-6f);
  }
  EXPECT_GT(outlineDistance(build("O", 0.1f, 1e-30f), build("O", 0.1f, 0.05f)), 0.005f);

  // Extreme tolerances stay sound: a huge one leaves straight polygons, a
  // vanishing one is capped instead of exploding.
  for (float deviation : {10.0f, 1e-30f}) {
    SCOPED_TRACE(deviation);
    TextMeshData mesh = build("O", 0.1f, deviation);
    Shape s = analyse(mesh);
    EXPECT_EQ(s.unpairedEdges, 0);
    EXPECT_GT(s.volume, 0);
    EXPECT_LT(mesh.vertices.size(), 100000u);
  }
}

TEST_F(TextMesh, TextWithoutOutlinesAndMissingCharacters) {
  TextMeshData empty = build("");
  EXPECT_TRUE(empty.vertices.empty());
  EXPECT_TRUE(empty.indices.empty());
  EXPECT_TRUE(empty.metrics.empty());

  TextMeshData blanks = build("  ");
  EXPECT_TRUE(blanks.indices.empty());
  ASSERT_EQ(blanks.metrics.size(), 2u);
  EXPECT_GT(blanks.metrics[1].gmfCellIncX, 0);

  // A character the font lacks takes the font's missing-glyph shape and
  // advance (Windows-1252 leaves 0x81 unassigned).
  FT_Face face = platform_internal::gdiSelectedFace(dc_);
  ASSERT_EQ(FT_Load_Glyph(face, 0, FT_LOAD_NO_SCALE), 0);
  float missingAdvance = float(face->glyph->metrics.horiAdvance / unitsPerEm());
  for (const char* text : {"\x81", "\x01"}) {
    SCOPED_TRACE(int(text[0]));
    TextMeshData mesh = build(text);
    ASSERT_EQ(mesh.metrics.size(), 1u);
    EXPECT_FLOAT_EQ(mesh.metrics[0].gmfCellIncX, missingAdvance);
    EXPECT_EQ(analyse(mesh).unpairedEdges, 0);
  }
  // The code page's own characters are there: 0x80 is the euro sign.
  EXPECT_FALSE(build("\x80").indices.empty());
}

TEST_F(TextMesh, RefusesWhatCannotBeBuilt) {
  const float nan = std::nanf(""), inf = INFINITY;
  HDC released = GetDC(nullptr);
  ReleaseDC(nullptr, released);
  struct Case {
    HDC dc;
    const char* text;
    float deviation, extrusion;
  } cases[] = {{dc_, nullptr, 0.001f, 0.1f}, {dc_, "A", -0.001f, 0.1f},
               {dc_, "A", nan, 0.1f},        {dc_, "A", 0.001f, nan},
               {dc_, "A", 0.001f, inf},      {nullptr, "A", 0.001f, 0.1f},
               {released, "A", 0.001f, 0.1f}};
  for (const Case& c : cases) {
    TextMeshData data;
    data.metrics.resize(3);
    EXPECT_EQ(buildTextMeshData(c.dc, c.text, c.deviation, c.extrusion, data), D3DERR_INVALIDCALL);
    EXPECT_TRUE(data.vertices.empty() && data.indices.empty() && data.metrics.empty());
  }
}

TEST_F(TextMesh, FaceNamesMapToInstalledFonts) {
  struct Case {
    const char* face;
    const char* family;  // null: any fallback face
  } cases[] = {{"Arial", "Liberation Sans"},
               {"Times New Roman", "Liberation Serif"},
               {"Courier New", "Liberation Mono"},
               {"No Such Face 1234", nullptr},
               {"", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.face);
    select(c.face);
    std::string family = platform_test::gdiFontFamily(font_);
    if (c.family)
      EXPECT_EQ(family, c.family);
    else
      EXPECT_FALSE(family.empty());
    Shape s = analyse(build("A"));
    EXPECT_EQ(s.unpairedEdges, 0);
    EXPECT_GT(s.volume, 0);
  }
}

// Device contexts and fonts are handed out and taken back as on Windows, and
// stale handles are refused instead of followed.
TEST_F(TextMesh, DeviceContextsAndFontsAreAccountedFor) {
  HDC dc = GetDC(nullptr);
  HFONT a = createFont("Arial"), b = createFont("Courier New");
  ASSERT_TRUE(a && b);
  HGDIOBJ stock = SelectObject(dc, a);
  EXPECT_NE(stock, nullptr);  // a fresh context holds the stock font
  EXPECT_EQ(SelectObject(dc, b), a);
  EXPECT_TRUE(DeleteObject(a));
  EXPECT_FALSE(DeleteObject(a));  // already gone
  EXPECT_FALSE(DeleteObject(b));  // still selected
  EXPECT_EQ(SelectObject(dc, a), nullptr);
  EXPECT_TRUE(DeleteObject(stock));  // the stock font is not deleted...
  EXPECT_EQ(SelectObject(dc, stock), b);
  TextMeshData data;
  EXPECT_EQ(buildTextMeshData(dc, "A", 0.001f, 0.1f, data), D3D_OK);  // ...and still works
  EXPECT_FALSE(data.indices.empty());
  EXPECT_EQ(ReleaseDC(nullptr, dc), 1);
  EXPECT_EQ(ReleaseDC(nullptr, dc), 0);
  EXPECT_EQ(SelectObject(dc, b), nullptr);
  EXPECT_TRUE(DeleteObject(b));  // no longer selected anywhere
}

// Every character of the code page, in the faces that stand in for the usual
// Windows ones and in the fallback face, gives a closed, outward-facing solid.
TEST_F(TextMesh, EveryCharacterOfTheCodePageIsASolid) {
  for (const char* face : {"Arial", "Times New Roman", "Courier New", "DejaVu Sans"}) {
    select(face);
    for (int c = 1; c < 256; ++c) {
      SCOPED_TRACE(std::string(face) + " " + std::to_string(c));
      const char text[2] = {char(c), 0};
      Shape s = analyse(build(text, 0.25f));
      EXPECT_EQ(s.unpairedEdges, 0);
      EXPECT_EQ(s.badNormals, 0);
      EXPECT_NEAR(s.volume, s.frontArea * 0.25, 1e-4 * s.volume + 1e-9);
    }
  }
}

namespace {

// The text as a mesh on a device, against what the builder makes of it.
class TextMeshOnDevice : public d3d9_testing::DeviceFixture {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kLiberationSans))
      GTEST_SKIP() << "fonts-liberation is not installed (" << kLiberationSans << ")";
    DeviceFixture::SetUp();
    dc_ = GetDC(nullptr);
    font_ = CreateFontA(0, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_TT_ONLY_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, 0, "Arial");
    ASSERT_NE(font_, nullptr);
    SelectObject(dc_, font_);
  }
  void TearDown() override {
    if (mesh_) mesh_->Release();
    if (dc_) ReleaseDC(nullptr, dc_);
    if (font_) DeleteObject(font_);
    DeviceFixture::TearDown();
  }

  HDC dc_ = nullptr;
  HFONT font_ = nullptr;
  ID3DXMesh* mesh_ = nullptr;
};

}  // namespace

TEST_F(TextMeshOnDevice, HoldsTheBuildersVerticesIndicesAndMetrics) {
  TextMeshData data;
  ASSERT_EQ(buildTextMeshData(dc_, "A", 0.001f, 0.1f, data), D3D_OK);
  GLYPHMETRICSFLOAT metrics{};
  ASSERT_EQ(D3DXCreateTextA(device, dc_, "A", 0.001f, 0.1f, &mesh_, nullptr, &metrics), D3D_OK);
  ASSERT_NE(mesh_, nullptr);
  EXPECT_EQ(mesh_->GetNumVertices(), data.vertices.size());
  EXPECT_EQ(mesh_->GetNumFaces(), data.indices.size() / 3);
  EXPECT_EQ(mesh_->GetNumBytesPerVertex(), 24u);
  EXPECT_EQ(mesh_->GetFVF(), DWORD(D3DFVF_XYZ | D3DFVF_NORMAL));
  EXPECT_EQ(mesh_->GetOptions() & D3DXMESH_32BIT, 0u);
  EXPECT_EQ(metrics.gmfCellIncX, data.metrics[0].gmfCellIncX);

  void* vertices = nullptr;
  void* indices = nullptr;
  DWORD* attributes = nullptr;
  ASSERT_EQ(mesh_->LockVertexBuffer(D3DLOCK_READONLY, &vertices), D3D_OK);
  EXPECT_EQ(std::memcmp(vertices, data.vertices.data(), data.vertices.size() * 24), 0);
  mesh_->UnlockVertexBuffer();
  ASSERT_EQ(mesh_->LockIndexBuffer(D3DLOCK_READONLY, &indices), D3D_OK);
  const auto* narrow = static_cast<const uint16_t*>(indices);
  EXPECT_TRUE(std::equal(data.indices.begin(), data.indices.end(), narrow));
  mesh_->UnlockIndexBuffer();
  ASSERT_EQ(mesh_->LockAttributeBuffer(D3DLOCK_READONLY, &attributes), D3D_OK);
  EXPECT_TRUE(
      std::all_of(attributes, attributes + mesh_->GetNumFaces(), [](DWORD a) { return a == 0; }));
  mesh_->UnlockAttributeBuffer();
}

TEST_F(TextMeshOnDevice, RefusesTextWithoutTrianglesAndWhatItCannotGive) {
  ID3DXBuffer* adjacency = nullptr;
  struct Case {
    IDirect3DDevice9* device;
    const char* text;
    ID3DXBuffer** adjacency;
    HRESULT expected;
  } cases[] = {{device, "", nullptr, D3DERR_INVALIDCALL},
               {device, "  ", nullptr, D3DERR_INVALIDCALL},
               {device, nullptr, nullptr, D3DERR_INVALIDCALL},
               {nullptr, "A", nullptr, D3DERR_INVALIDCALL},
               {device, "A", &adjacency, E_NOTIMPL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    ID3DXMesh* mesh = reinterpret_cast<ID3DXMesh*>(&adjacency);  // must not be left as it was
    EXPECT_EQ(D3DXCreateTextA(c.device, dc_, c.text, 0.001f, 0.1f, &mesh, c.adjacency, nullptr),
              c.expected);
    EXPECT_EQ(mesh, nullptr);
  }
  EXPECT_EQ(adjacency, nullptr);
}

// Drawn lit from the front, an H shows both stems and the gaps above and
// below its bar.
TEST_F(TextMeshOnDevice, Draws) {
  GLYPHMETRICSFLOAT m{};
  ASSERT_EQ(D3DXCreateTextA(device, dc_, "H", 0.001f, 0.2f, &mesh_, nullptr, &m), D3D_OK);
  const float left = m.gmfptGlyphOrigin.x, right = left + m.gmfBlackBoxX;
  const float top = m.gmfptGlyphOrigin.y, bottom = top - m.gmfBlackBoxY;
  const float middle = (left + right) / 2, height = top - bottom;
  TextView view(device, kWidth, kHeight, D3DXVECTOR3(middle, (top + bottom) / 2, 0), 1.2f);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF000000, 1.0f, 0);
  device->BeginScene();
  EXPECT_EQ(mesh_->DrawSubset(0), D3D_OK);
  device->EndScene();
  const d3d9_test::Frame f = frame();
  struct Probe {
    float x, y;
    bool lit;
  } probes[] = {{left + 0.04f, bottom + 0.15f * height, true},
                {right - 0.04f, top - 0.15f * height, true},
                {middle, bottom + 0.15f * height, false},
                {middle, top - 0.15f * height, false},
                {left - 0.1f, top, false}};
  for (const Probe& p : probes) {
    int column = 0, row = 0;
    view.pixel(p.x, p.y, -0.2f, column, row);
    SCOPED_TRACE(testing::Message() << column << ", " << row);
    EXPECT_TRUE(d3d9_testing::colourNear(f.at(column, row) | 0xFF000000u,
                                         p.lit ? 0xFFFFFFFFu : 0xFF000000u, 8));
  }
}
