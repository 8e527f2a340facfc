// Text outlines to triangles: FreeType gives each glyph's contours, they are
// flattened to the chord tolerance, GLU's tessellator resolves them under
// the font's fill rule into clean boundary loops (overlapping contours merged,
// holes separated), and the loops are triangulated for the two faces and
// extruded for the sides. Building the faces and the sides from the same
// loops is what makes every glyph a closed solid.
#include "platform/d3dx/D3DXText.h"

#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "platform/win32/GdiInternal.h"
#include FT_OUTLINE_H

namespace {

// A curve is never cut into more pieces than this, whatever the tolerance:
// a tiny deviation must not turn one glyph into millions of triangles.
constexpr int kMaxCurveSegments = 256;
// Adjacent side walls whose directions differ by less than this share their
// normals (a curve); larger turns stay sharp (a corner).
const double kSmoothCos = std::cos(40.0 * 3.14159265358979323846 / 180.0);

struct Point2 {
  double x, y;
};

// Windows-1252 to Unicode for the bytes 0x80-0x9F; the others are Latin-1.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t toUnicode(unsigned char c) { return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : c; }

FT_UInt glyphIndex(FT_Face face, unsigned char c) {
  if (face->charmap && face->charmap->encoding == FT_ENCODING_MS_SYMBOL)
    return FT_Get_Char_Index(face, 0xF000u | c);  // symbol fonts sit in the private area
  return FT_Get_Char_Index(face, toUnicode(c));
}

// ---------------------------------------------------------------------------
// Flattening

struct Flattener {
  double scale;      // font units to em
  double tolerance;  // em
  double penX;       // em
  std::vector<std::vector<Point2>> contours;
  Point2 last{0, 0};

  Point2 map(const FT_Vector* v) const { return {v->x * scale + penX, v->y * scale}; }

  void add(Point2 p) {
    auto& contour = contours.back();
    if (!contour.empty() && contour.back().x == p.x && contour.back().y == p.y) return;
    contour.push_back(p);
  }

  int segmentsFor(double secondDifference, double factor) const {
    double n = std::ceil(std::sqrt(secondDifference * factor / tolerance));
    if (!(n >= 1)) return 1;
    return n > kMaxCurveSegments ? kMaxCurveSegments : static_cast<int>(n);
  }

  static double length(double x, double y) { return std::sqrt(x * x + y * y); }

  static int moveTo(const FT_Vector* to, void* user) {
    auto* self = static_cast<Flattener*>(user);
    self->contours.emplace_back();
    self->last = self->map(to);
    self->add(self->last);
    return 0;
  }

  static int lineTo(const FT_Vector* to, void* user) {
    auto* self = static_cast<Flattener*>(user);
    self->last = self->map(to);
    self->add(self->last);
    return 0;
  }

  // Quadratic: the chord of a piece of parameter length h deviates by at
  // most h^2 |p0 - 2 p1 + p2| / 4.
  static int conicTo(const FT_Vector* control, const FT_Vector* to, void* user) {
    auto* self = static_cast<Flattener*>(user);
    Point2 p0 = self->last, p1 = self->map(control), p2 = self->map(to);
    double d = length(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y);
    int n = self->segmentsFor(d, 0.25);
    for (int i = 1; i <= n; ++i) {
      double t = double(i) / n, u = 1 - t;
      if (i == n) {
        self->add(p2);
      } else {
        self->add({u * u * p0.x + 2 * u * t * p1.x + t * t * p2.x,
                   u * u * p0.y + 2 * u * t * p1.y + t * t * p2.y});
      }
    }
    self->last = p2;
    return 0;
  }

  // Cubic: the second derivative is bounded by 6 times the larger second
  // difference of the control points, so a piece deviates by at most
  // h^2 * 3/4 of that.
  static int cubicTo(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* user) {
    auto* self = static_cast<Flattener*>(user);
    Point2 p0 = self->last, p1 = self->map(c1), p2 = self->map(c2), p3 = self->map(to);
    double d = std::max(length(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y),
                        length(p1.x - 2 * p2.x + p3.x, p1.y - 2 * p2.y + p3.y));
    int n = self->segmentsFor(d, 0.75);
    for (int i = 1; i <= n; ++i) {
      double t = double(i) / n, u = 1 - t;
      if (i == n) {
        self->add(p3);
      } else {
        double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, e = t * t * t;
        self->add(
            {a * p0.x + b * p1.x + c * p2.x + e * p3.x, a * p0.y + b * p1.y + c * p2.y + e * p3.y});
      }
    }
    self->last = p3;
    return 0;
  }
};

// ---------------------------------------------------------------------------
// Tessellation

struct TessVertex {
  GLdouble xyz[3];
};

#ifndef CALLBACK
#define CALLBACK
#endif

struct TessRun {
  std::deque<TessVertex> storage;               // stable addresses for the tessellator
  std::vector<std::vector<TessVertex*>> loops;  // boundary mode output
  std::vector<TessVertex*> triangles;           // triangle mode output
  bool boundary = false;
  bool failed = false;

  TessVertex* make(double x, double y) {
    storage.push_back({{x, y, 0.0}});
    return &storage.back();
  }

  static void CALLBACK begin(GLenum, void* data) {
    auto* self = static_cast<TessRun*>(data);
    if (self->boundary) self->loops.emplace_back();
  }
  static void CALLBACK vertex(void* vertexData, void* data) {
    auto* self = static_cast<TessRun*>(data);
    auto* v = static_cast<TessVertex*>(vertexData);
    if (self->boundary)
      self->loops.back().push_back(v);
    else
      self->triangles.push_back(v);
  }
  static void CALLBACK end(void*) {}
  static void CALLBACK edgeFlag(GLboolean, void*) {}  // asks for separate triangles
  static void CALLBACK combine(GLdouble coords[3], void* [4], GLfloat[4], void** out, void* data) {
    *out = static_cast<TessRun*>(data)->make(coords[0], coords[1]);
  }
  static void CALLBACK error(GLenum, void* data) { static_cast<TessRun*>(data)->failed = true; }
};

// Runs the tessellator over the contours; `boundary` asks for the outline of
// the filled region instead of its triangles.
bool tessellate(const std::vector<std::vector<TessVertex*>>& contours, GLdouble windingRule,
                bool boundary, TessRun& run) {
  GLUtesselator* tess = gluNewTess();
  if (!tess) return false;
  using Fn = _GLUfuncptr;
  gluTessCallback(tess, GLU_TESS_BEGIN_DATA, reinterpret_cast<Fn>(&TessRun::begin));
  gluTessCallback(tess, GLU_TESS_VERTEX_DATA, reinterpret_cast<Fn>(&TessRun::vertex));
  gluTessCallback(tess, GLU_TESS_END_DATA, reinterpret_cast<Fn>(&TessRun::end));
  gluTessCallback(tess, GLU_TESS_COMBINE_DATA, reinterpret_cast<Fn>(&TessRun::combine));
  gluTessCallback(tess, GLU_TESS_ERROR_DATA, reinterpret_cast<Fn>(&TessRun::error));
  if (!boundary)
    gluTessCallback(tess, GLU_TESS_EDGE_FLAG_DATA, reinterpret_cast<Fn>(&TessRun::edgeFlag));
  gluTessProperty(tess, GLU_TESS_WINDING_RULE, windingRule);
  gluTessProperty(tess, GLU_TESS_BOUNDARY_ONLY, boundary ? GL_TRUE : GL_FALSE);
  gluTessNormal(tess, 0, 0, 1);
  run.boundary = boundary;
  gluTessBeginPolygon(tess, &run);
  for (const auto& contour : contours) {
    gluTessBeginContour(tess);
    for (TessVertex* v : contour) gluTessVertex(tess, v->xyz, v);
    gluTessEndContour(tess);
  }
  gluTessEndPolygon(tess);
  gluDeleteTess(tess);
  return !run.failed;
}

// ---------------------------------------------------------------------------
// Mesh assembly

struct VertexKey {
  float v[6];
  bool operator==(const VertexKey& o) const { return std::memcmp(v, o.v, sizeof v) == 0; }
};
struct VertexKeyHash {
  size_t operator()(const VertexKey& k) const {
    uint32_t bits[6];
    std::memcpy(bits, k.v, sizeof bits);
    size_t h = 1469598103934665603ull;
    for (uint32_t b : bits) h = (h ^ b) * 1099511628211ull;
    return h;
  }
};

class MeshBuilder {
 public:
  MeshBuilder(TextMeshData& out, float zNear, float zFar) : out_(out), zNear_(zNear), zFar_(zFar) {}

  // One glyph region given as boundary loops (filled region on the left of
  // each loop) and the triangles that fill it (counter-clockwise).
  void addGlyph(const std::vector<std::vector<Point2>>& loops,
                const std::vector<Point2>& triangles) {
    for (size_t i = 0; i + 2 < triangles.size(); i += 3) {
      const Point2 &a = triangles[i], &b = triangles[i + 1], &c = triangles[i + 2];
      // The face on the -z side is clockwise in the plane seen from -z...
      triangle(vertex(a, zNear_, {0, 0, -1}), vertex(c, zNear_, {0, 0, -1}),
               vertex(b, zNear_, {0, 0, -1}));
      // ...and the face at z = 0 the other way round.
      triangle(vertex(a, zFar_, {0, 0, 1}), vertex(b, zFar_, {0, 0, 1}),
               vertex(c, zFar_, {0, 0, 1}));
    }
    if (zNear_ == zFar_) return;  // flat text has no sides
    for (const auto& loop : loops) addSides(loop);
  }

 private:
  static Point2 edgeNormal(const Point2& a, const Point2& b) {
    double dx = b.x - a.x, dy = b.y - a.y, len = std::sqrt(dx * dx + dy * dy);
    return {dy / len, -dx / len};  // to the right: away from the filled region
  }

  void addSides(const std::vector<Point2>& loop) {
    size_t n = loop.size();
    std::vector<Point2> normals(n);  // normal of the edge from i to i + 1
    for (size_t i = 0; i < n; ++i) normals[i] = edgeNormal(loop[i], loop[(i + 1) % n]);
    // The normal at a point of the loop for the side along `edge`: the other
    // side meeting there is the edge before (at its start) or after (at its end).
    auto jointNormal = [&](size_t vertex, size_t edge) {
      const Point2& own = normals[edge];
      const Point2& other = normals[edge == vertex ? (vertex + n - 1) % n : vertex];
      if (own.x * other.x + own.y * other.y < kSmoothCos) return own;
      double x = own.x + other.x, y = own.y + other.y, len = std::sqrt(x * x + y * y);
      return Point2{x / len, y / len};
    };
    for (size_t i = 0; i < n; ++i) {
      size_t j = (i + 1) % n;
      Point2 na = jointNormal(i, i), nb = jointNormal(j, i);
      D3DXVECTOR3 normalA(float(na.x), float(na.y), 0), normalB(float(nb.x), float(nb.y), 0);
      uint32_t aFar = vertex(loop[i], zFar_, normalA), aNear = vertex(loop[i], zNear_, normalA);
      uint32_t bFar = vertex(loop[j], zFar_, normalB), bNear = vertex(loop[j], zNear_, normalB);
      triangle(aFar, aNear, bFar);
      triangle(bFar, aNear, bNear);
    }
  }

  uint32_t vertex(const Point2& p, float z, const D3DXVECTOR3& normal) {
    // Adding 0 turns -0 into +0, so that equal points weld.
    TextMeshVertex v{{float(p.x) + 0.0f, float(p.y) + 0.0f, z + 0.0f},
                     {normal.x + 0.0f, normal.y + 0.0f, normal.z + 0.0f}};
    VertexKey key{{v.position.x, v.position.y, v.position.z, v.normal.x, v.normal.y, v.normal.z}};
    auto [it, inserted] = index_.try_emplace(key, uint32_t(out_.vertices.size()));
    if (inserted) out_.vertices.push_back(v);
    return it->second;
  }

  void triangle(uint32_t a, uint32_t b, uint32_t c) {
    out_.indices.insert(out_.indices.end(), {a, b, c});
    out_.attributes.push_back(0);
  }

  TextMeshData& out_;
  float zNear_, zFar_;
  std::unordered_map<VertexKey, uint32_t, VertexKeyHash> index_;
};

double signedArea(const Point2& a, const Point2& b, const Point2& c) {
  return (b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y);
}

// Closed contours (in em units) to a solid under the given fill rule.
void addContours(std::vector<std::vector<Point2>>& rawContours, bool evenOdd,
                 MeshBuilder& builder) {
  // Resolve the contours under the fill rule into boundary loops.
  TessRun resolve;
  std::vector<std::vector<TessVertex*>> contours;
  for (auto& contour : rawContours) {
    if (contour.size() > 1 && contour.front().x == contour.back().x &&
        contour.front().y == contour.back().y)
      contour.pop_back();
    if (contour.size() < 3) continue;
    contours.emplace_back();
    for (const Point2& p : contour) contours.back().push_back(resolve.make(p.x, p.y));
  }
  if (contours.empty()) return;
  if (!tessellate(contours, evenOdd ? GLU_TESS_WINDING_ODD : GLU_TESS_WINDING_NONZERO, true,
                  resolve))
    return;

  // Fill the loops; they are oriented, so non-zero winding is the region.
  TessRun fill;
  std::vector<std::vector<TessVertex*>> loops;
  std::vector<std::vector<Point2>> loopPoints;
  for (const auto& loop : resolve.loops) {
    std::vector<Point2> points;
    for (TessVertex* v : loop) {
      Point2 p{v->xyz[0], v->xyz[1]};
      if (!points.empty() && points.back().x == p.x && points.back().y == p.y) continue;
      points.push_back(p);
    }
    while (points.size() > 1 && points.front().x == points.back().x &&
           points.front().y == points.back().y)
      points.pop_back();
    if (points.size() < 3) continue;
    loops.emplace_back();
    for (const Point2& p : points) loops.back().push_back(fill.make(p.x, p.y));
    loopPoints.push_back(std::move(points));
  }
  if (loops.empty() || !tessellate(loops, GLU_TESS_WINDING_NONZERO, false, fill)) return;

  std::vector<Point2> triangles;
  for (size_t i = 0; i + 2 < fill.triangles.size(); i += 3) {
    Point2 a{fill.triangles[i]->xyz[0], fill.triangles[i]->xyz[1]};
    Point2 b{fill.triangles[i + 1]->xyz[0], fill.triangles[i + 1]->xyz[1]};
    Point2 c{fill.triangles[i + 2]->xyz[0], fill.triangles[i + 2]->xyz[1]};
    if (signedArea(a, b, c) < 0) std::swap(b, c);
    triangles.insert(triangles.end(), {a, b, c});
  }
  builder.addGlyph(loopPoints, triangles);
}

// The glyph now in the face's slot, placed at penX, into the builder.
void addGlyphOutline(FT_Face face, double scale, double tolerance, double penX,
                     MeshBuilder& builder) {
  FT_Outline& outline = face->glyph->outline;
  Flattener flat{scale, tolerance, penX, {}};
  FT_Outline_Funcs funcs{};
  funcs.move_to = &Flattener::moveTo;
  funcs.line_to = &Flattener::lineTo;
  funcs.conic_to = &Flattener::conicTo;
  funcs.cubic_to = &Flattener::cubicTo;
  if (FT_Outline_Decompose(&outline, &funcs, &flat) != 0) return;
  addContours(flat.contours, (outline.flags & FT_OUTLINE_EVEN_ODD_FILL) != 0, builder);
}

float zNearFor(float extrusion) { return std::min(0.0f, -extrusion); }
float zFarFor(float extrusion) { return std::max(0.0f, -extrusion); }

}  // namespace

HRESULT buildTextMeshData(HDC dc, const char* text, float deviation, float extrusion,
                          TextMeshData& out) {
  out = TextMeshData{};
  FT_Face face = platform_internal::gdiSelectedFace(dc);
  if (!face || !text || !std::isfinite(deviation) || deviation < 0 || !std::isfinite(extrusion))
    return D3DERR_INVALIDCALL;

  const double scale = 1.0 / face->units_per_EM;
  const double tolerance = deviation > 0 ? double(deviation) : scale;
  // The solid spans z = 0 to z = -extrusion; a negative depth still gives a
  // solid with outward normals, on the other side of z = 0.
  MeshBuilder builder(out, zNearFor(extrusion), zFarFor(extrusion));

  double penX = 0;
  size_t length = std::strlen(text);
  out.metrics.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    GLYPHMETRICSFLOAT metrics{};
    FT_UInt glyph = glyphIndex(face, static_cast<unsigned char>(text[i]));
    double advance = 0;
    if (FT_Load_Glyph(face, glyph,
                      FT_LOAD_NO_SCALE | FT_LOAD_NO_BITMAP | FT_LOAD_NO_HINTING |
                          FT_LOAD_IGNORE_TRANSFORM) == 0) {
      advance = face->glyph->metrics.horiAdvance * scale;
      const FT_Glyph_Metrics& m = face->glyph->metrics;
      metrics.gmfBlackBoxX = float(m.width * scale);
      metrics.gmfBlackBoxY = float(m.height * scale);
      metrics.gmfptGlyphOrigin = {float(m.horiBearingX * scale), float(m.horiBearingY * scale)};
      metrics.gmfCellIncX = float(m.horiAdvance * scale);
      if (face->glyph->format == FT_GLYPH_FORMAT_OUTLINE)
        addGlyphOutline(face, scale, tolerance, penX, builder);
    }
    out.metrics.push_back(metrics);
    penX += advance;
  }
  return D3D_OK;
}

namespace platform_test {

void buildContourSolid(const std::vector<std::vector<D3DXVECTOR2>>& contours, bool evenOdd,
                       float extrusion, TextMeshData& out) {
  out = TextMeshData{};
  std::vector<std::vector<Point2>> points;
  for (const auto& contour : contours) {
    points.emplace_back();
    for (const D3DXVECTOR2& p : contour) points.back().push_back({p.x, p.y});
  }
  MeshBuilder builder(out, zNearFor(extrusion), zFarFor(extrusion));
  addContours(points, evenOdd, builder);
}

}  // namespace platform_test
