// Meshes from X files: one Mesh object into triangles and vertices, and the
// whole file into one mesh.
#include <strings.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

#include "platform/d3d9/VertexFormat.h"
#include "platform/d3dx/MeshInternal.h"
#include "platform/d3dx/XFile.h"

namespace d3dx_mesh {

namespace {

// Reads the numbers of an object in order, refusing values that are not
// what the caller expects.
class Numbers {
 public:
  explicit Numbers(const xfile::Object& object) : v_(object.numbers) {}

  std::size_t left() const { return v_.size() - i_; }
  bool real(float& out) {
    if (i_ >= v_.size()) return false;
    out = float(v_[i_++]);
    return true;
  }
  // A whole number in 0 .. limit - 1.
  bool index(DWORD limit, DWORD& out) {
    if (i_ >= v_.size()) return false;
    const double d = v_[i_++];
    if (!(d >= 0 && d < double(limit)) || d != std::floor(d)) return false;
    out = DWORD(d);
    return true;
  }
  // A count of items of `width` numbers each that the remaining numbers can
  // hold.
  bool count(std::size_t width, DWORD& out) {
    if (i_ >= v_.size()) return false;
    const double d = v_[i_++];
    if (!(d >= 0 && d <= double(left()) / double(width ? width : 1)) || d != std::floor(d))
      return false;
    out = DWORD(d);
    return true;
  }

 private:
  const std::vector<double>& v_;
  std::size_t i_ = 0;
};

bool fail(std::string& error, const char* message) {
  error = message;
  return false;
}

bool typeIs(const xfile::Object& o, const char* type) {
  return strcasecmp(o.type.c_str(), type) == 0;
}

// A nested object, or the one a reference stands for among the objects of
// `type` (any type when null): a material and a frame or mesh often share
// a name.
const xfile::Object* resolve(const xfile::Document& document, const xfile::Object& child,
                             const char* type = nullptr) {
  return child.isReference() ? xfile::findReferenced(document, child, type) : &child;
}

bool readMaterial(const xfile::Document& document, const xfile::Object& object,
                  LoadedMaterial& out) {
  Numbers n(object);
  float v[11];
  for (float& f : v)
    if (!n.real(f)) return false;
  D3DMATERIAL9& m = out.material;
  m = D3DMATERIAL9{};
  m.Diffuse = {v[0], v[1], v[2], v[3]};
  m.Power = v[4];
  m.Specular = {v[5], v[6], v[7], 1.0f};
  m.Emissive = {v[8], v[9], v[10], 1.0f};
  // The ambient colour is not part of the file: it stays zero.
  for (const xfile::Object& child : object.children) {
    const xfile::Object* target = resolve(document, child, "TextureFilename");
    if (target && typeIs(*target, "TextureFilename") && !target->strings.empty())
      out.texture = target->strings[0];
  }
  return true;
}

struct Corner {
  DWORD vertex;
  DWORD normal;  // index into the normal list, or ~0u without normals
};

// One component of every file vertex, as bytes of its declaration type.
struct FileElement {
  BYTE usage, index, type;
  std::vector<unsigned char> bytes;  // vertex count x size of the type
};

// Adds or replaces (by usage and index) one component.
void setElement(std::vector<FileElement>& elements, FileElement element) {
  for (FileElement& e : elements)
    if (e.usage == element.usage && e.index == element.index) {
      e = std::move(element);
      return;
    }
  elements.push_back(std::move(element));
}

// The DWORDs of an FVFData or DeclData object from number `at` on: `count`
// whole numbers below 2^32, as little-endian bytes.
bool readWords(const xfile::Object& object, std::size_t at, std::size_t count,
               std::vector<unsigned char>& out) {
  const std::vector<double>& n = object.numbers;
  if (at > n.size() || n.size() - at < count) return false;
  out.resize(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    const double d = n[at + i];
    if (!(d >= 0 && d < 4294967296.0) || d != std::floor(d)) return false;
    const auto w = std::uint32_t(d);
    for (int b = 0; b < 4; ++b) out[4 * i + std::size_t(b)] = (unsigned char)(w >> (8 * b));
  }
  return true;
}

// Splits packed vertices (`elements` after each other, `vertexCount`
// vertices) into one FileElement each.
void splitVertices(const std::vector<D3DVERTEXELEMENT9>& elements, UINT size, DWORD vertexCount,
                   const std::vector<unsigned char>& packed, std::vector<FileElement>& out) {
  UINT offset = 0;
  for (const D3DVERTEXELEMENT9& e : elements) {
    const UINT width = d3d9::declTypeSize(e.Type);
    FileElement element{e.Usage, e.UsageIndex, e.Type, {}};
    element.bytes.resize(std::size_t(vertexCount) * width);
    for (DWORD v = 0; v < vertexCount; ++v)
      std::memcpy(element.bytes.data() + std::size_t(v) * width,
                  packed.data() + std::size_t(v) * size + offset, width);
    offset += width;
    if (e.Usage != D3DDECLUSAGE_POSITION && e.Usage != D3DDECLUSAGE_POSITIONT)
      setElement(out, std::move(element));
  }
}

// FVFData: the vertices' components other than the position, in the
// order of the FVF. Its texture coordinate sets follow the sets the mesh
// already has from elsewhere (`firstSet` of them): writers put a second
// set there beside MeshTextureCoords, and cube-map coordinates there in
// place of it; sets that would come past the eighth are left out. Data
// that does not fill every vertex exactly is left out.
void readFVFData(const xfile::Object& object, DWORD vertexCount, BYTE firstSet,
                 std::vector<FileElement>& out) {
  const std::vector<double>& n = object.numbers;
  if (n.size() < 2 || !(n[0] >= 0 && n[0] < 4294967296.0) || !(n[1] >= 0)) return;
  const DWORD fvf = (DWORD(n[0]) & ~DWORD(D3DFVF_POSITION_MASK | D3DFVF_LASTBETA_UBYTE4 |
                                          D3DFVF_LASTBETA_D3DCOLOR)) |
                    D3DFVF_XYZ;
  std::vector<D3DVERTEXELEMENT9> elements;
  if (!d3d9::elementsOfFVF(fvf, elements)) return;
  elements.erase(elements.begin());  // the position, which the Mesh holds
  UINT size = 0;
  for (const D3DVERTEXELEMENT9& e : elements) size += d3d9::declTypeSize(e.Type);
  if (size == 0 || n[1] != double(vertexCount) * double(size / 4)) return;
  std::vector<unsigned char> packed;
  if (!readWords(object, 2, std::size_t(vertexCount) * (size / 4), packed)) return;
  std::vector<FileElement> read;
  splitVertices(elements, size, vertexCount, packed, read);
  for (FileElement& e : read) {
    if (e.usage == D3DDECLUSAGE_TEXCOORD) {
      if (e.index + firstSet >= 8) continue;
      e.index = BYTE(e.index + firstSet);
    }
    setElement(out, std::move(e));
  }
}

// DeclData: a list of elements (type, method, usage, usage index), then
// the vertices packed in that order. Unknown types or usages, or data that
// does not fill every vertex exactly, leave the object out.
void readDeclData(const xfile::Object& object, DWORD vertexCount, std::vector<FileElement>& out) {
  const std::vector<double>& n = object.numbers;
  if (n.empty() || !(n[0] >= 0 && n[0] <= MAXD3DDECLLENGTH) || n[0] != std::floor(n[0])) return;
  const std::size_t count = std::size_t(n[0]);
  if (n.size() < 2 + 4 * count) return;
  std::vector<D3DVERTEXELEMENT9> elements;
  UINT size = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double* e = &n[1 + 4 * i];
    if (!(e[0] >= 0 && e[0] < double(D3DDECLTYPE_UNUSED)) ||
        !(e[2] >= 0 && e[2] <= double(D3DDECLUSAGE_SAMPLE)) || !(e[3] >= 0 && e[3] < 16) ||
        e[0] != std::floor(e[0]) || e[2] != std::floor(e[2]) || e[3] != std::floor(e[3]))
      return;
    D3DVERTEXELEMENT9 element{0,          WORD(size), BYTE(e[0]), D3DDECLMETHOD_DEFAULT,
                              BYTE(e[2]), BYTE(e[3])};
    size += d3d9::declTypeSize(element.Type);
    elements.push_back(element);
  }
  const std::size_t at = 1 + 4 * count;
  if (size == 0 || n[at] != double(vertexCount) * double(size / 4)) return;
  std::vector<unsigned char> packed;
  if (!readWords(object, at + 1, std::size_t(vertexCount) * (size / 4), packed)) return;
  splitVertices(elements, size, vertexCount, packed, out);
}

// MeshNormals: the normals and, per face of `faces`, the normal of each
// corner. False (outputs cleared) when the object does not fit the faces.
bool readNormals(const xfile::Object& object, const std::vector<std::vector<DWORD>>& faces,
                 std::vector<D3DXVECTOR3>& normals, std::vector<std::vector<DWORD>>& normalFaces) {
  normals.clear();
  normalFaces.clear();
  Numbers c(object);
  DWORD count, faceCount;
  bool ok = c.count(3, count);
  if (ok) normals.resize(count);
  for (std::size_t i = 0; ok && i < normals.size(); ++i)
    ok = c.real(normals[i].x) && c.real(normals[i].y) && c.real(normals[i].z);
  ok = ok && c.count(1, faceCount) && faceCount == faces.size();
  if (ok) normalFaces.resize(faceCount);
  for (std::size_t f = 0; ok && f < normalFaces.size(); ++f) {
    DWORD corners;
    ok = c.count(1, corners) && corners == faces[f].size();
    if (ok) normalFaces[f].resize(corners);
    for (std::size_t k = 0; ok && k < normalFaces[f].size(); ++k)
      ok = c.index(count, normalFaces[f][k]);
  }
  if (!ok) {
    normals.clear();
    normalFaces.clear();
  }
  return ok;
}

}  // namespace

D3DMATERIAL9 defaultMaterial() {
  D3DMATERIAL9 m{};
  m.Diffuse = {0.5f, 0.5f, 0.5f, 0.0f};
  m.Specular = m.Diffuse;
  return m;
}

const xfile::Object* referencedMesh(const xfile::Document& document, const xfile::Object& child) {
  return child.isReference() ? xfile::findReferenced(document, child, "Mesh") : nullptr;
}

namespace {
void collectPlaced(const xfile::Document& document, const std::vector<xfile::Object>& objects,
                   std::vector<const xfile::Object*>& out) {
  for (const xfile::Object& o : objects) {
    if (!typeIs(o, "Frame")) continue;
    for (const xfile::Object& child : o.children)
      if (const xfile::Object* mesh = referencedMesh(document, child)) out.push_back(mesh);
    collectPlaced(document, o.children, out);
  }
}
}  // namespace

std::vector<const xfile::Object*> meshesPlacedByReference(const xfile::Document& document) {
  std::vector<const xfile::Object*> placed;
  collectPlaced(document, document.objects, placed);
  std::sort(placed.begin(), placed.end());
  placed.erase(std::unique(placed.begin(), placed.end()), placed.end());
  return placed;
}

D3DXMATRIX frameTransform(const xfile::Object& frame) {
  D3DXMATRIX m;
  D3DXMatrixIdentity(&m);
  for (const xfile::Object& child : frame.children)
    if (typeIs(child, "FrameTransformMatrix") && child.numbers.size() >= 16) {
      for (int i = 0; i < 16; ++i) (&m._11)[i] = float(child.numbers[i]);
      break;
    }
  return m;
}

bool buildMesh(const xfile::Document& document, const xfile::Object& mesh, LoadedMesh& out,
               std::string& error) {
  out = LoadedMesh{};
  out.name = mesh.name;
  Numbers n(mesh);
  DWORD vertexCount;
  if (!n.count(3, vertexCount)) return fail(error, "bad vertex count");
  std::vector<D3DXVECTOR3> positions(vertexCount);
  for (D3DXVECTOR3& p : positions)
    if (!n.real(p.x) || !n.real(p.y) || !n.real(p.z)) return fail(error, "short vertex list");
  DWORD faceCount;
  if (!n.count(1, faceCount)) return fail(error, "bad face count");
  std::vector<std::vector<DWORD>> faces(faceCount);
  for (auto& face : faces) {
    DWORD corners;
    if (!n.count(1, corners)) return fail(error, "bad face");
    face.resize(corners);
    for (DWORD& index : face)
      if (!n.index(vertexCount, index)) return fail(error, "face index out of range");
  }

  // Optional parts.
  std::vector<D3DXVECTOR3> normals;
  std::vector<std::vector<DWORD>> normalFaces;
  // Components given per file vertex: texture coordinates, colours and
  // whatever FVFData and DeclData add (later objects replace earlier ones).
  std::vector<FileElement> elements;
  bool hasNormals = false;
  std::vector<DWORD> faceMaterial(faceCount, 0);
  // Whether a MeshTextureCoords list gives set 0, wherever it stands: the
  // sets of FVFData follow it.
  BYTE flatSets = 0;
  for (const xfile::Object& child : mesh.children) {
    const xfile::Object* part = resolve(document, child);
    DWORD count;
    if (part && typeIs(*part, "MeshTextureCoords") && Numbers(*part).count(2, count)) flatSets = 1;
  }
  for (const xfile::Object& child : mesh.children) {
    const xfile::Object* part = resolve(document, child);
    if (!part) continue;
    Numbers c(*part);
    if (typeIs(*part, "MeshNormals")) {
      // Normals whose faces do not match the mesh's (another count, another
      // corner count, indices past the list, data that ends early) cannot
      // be placed: they are left out and the mesh loads without them, as
      // writers emit such lists for meshes they had no normals for.
      hasNormals = readNormals(*part, faces, normals, normalFaces);
    } else if (typeIs(*part, "MeshTextureCoords")) {
      // Coordinates for fewer vertices leave the others at zero, those for
      // more are ignored; a list whose data ends before its count is left
      // out, like normals that do not fit.
      DWORD count;
      if (!c.count(2, count)) continue;
      FileElement uvs{D3DDECLUSAGE_TEXCOORD, 0, D3DDECLTYPE_FLOAT2, {}};
      uvs.bytes.assign(std::size_t(vertexCount) * 8, 0);
      for (DWORD i = 0; i < count; ++i) {
        D3DXVECTOR2 uv(0, 0);
        c.real(uv.x);  // the count leaves room for every pair
        c.real(uv.y);
        if (i < vertexCount) std::memcpy(uvs.bytes.data() + std::size_t(i) * 8, &uv, 8);
      }
      setElement(elements, std::move(uvs));
    } else if (typeIs(*part, "MeshVertexColors")) {
      // Colours of vertices the mesh does not have are ignored, vertices
      // without one stay white; a list whose data ends before its count,
      // or that names a vertex by a fraction, is left out.
      DWORD count;
      if (!c.count(5, count)) continue;
      std::vector<D3DCOLOR> colors(vertexCount, 0xFFFFFFFF);
      bool ok = true;
      for (DWORD i = 0; ok && i < count; ++i) {
        DWORD index;
        float rgba[4];
        ok = c.index(0xFFFFFFFF, index) && c.real(rgba[0]) && c.real(rgba[1]) && c.real(rgba[2]) &&
             c.real(rgba[3]);
        if (ok && index < vertexCount)
          colors[index] = D3DXCOLOR(rgba[0], rgba[1], rgba[2], rgba[3]);
      }
      if (!ok) continue;
      FileElement diffuse{D3DDECLUSAGE_COLOR, 0, D3DDECLTYPE_D3DCOLOR, {}};
      diffuse.bytes.resize(std::size_t(vertexCount) * 4);
      if (vertexCount) std::memcpy(diffuse.bytes.data(), colors.data(), diffuse.bytes.size());
      setElement(elements, std::move(diffuse));
    } else if (typeIs(*part, "FVFData")) {
      readFVFData(*part, vertexCount, flatSets, elements);
    } else if (typeIs(*part, "DeclData")) {
      readDeclData(*part, vertexCount, elements);
    } else if (typeIs(*part, "MeshMaterialList")) {
      DWORD materialCount, indexCount;
      // Materials are nested objects, not numbers: their count is only
      // bounded.
      if (!c.index(65536, materialCount) || !c.count(1, indexCount))
        return fail(error, "bad material list");
      // Indices beyond the faces are ignored; faces beyond the listed ones
      // take the last listed material. A list without materials leaves
      // every face on attribute 0, whatever its indices say.
      const DWORD listed = std::min(indexCount, faceCount);
      for (DWORD f = 0; f < listed; ++f) {
        DWORD index;
        if (!c.index(materialCount ? materialCount : 0xFFFFFFFF, index))
          return fail(error, "bad material index");
        faceMaterial[f] = materialCount ? index : 0;
      }
      for (DWORD f = listed; f < faceCount; ++f)
        faceMaterial[f] = listed ? faceMaterial[listed - 1] : 0;
      out.materials.clear();
      for (const xfile::Object& m : part->children) {
        const xfile::Object* material = resolve(document, m, "Material");
        if (!material || !typeIs(*material, "Material")) continue;
        if (out.materials.size() == materialCount) break;
        LoadedMaterial loaded;
        if (!readMaterial(document, *material, loaded)) return fail(error, "short material");
        out.materials.push_back(std::move(loaded));
      }
      while (out.materials.size() < materialCount) {
        LoadedMaterial grey;
        grey.material = defaultMaterial();
        out.materials.push_back(grey);
      }
    } else if (typeIs(*part, "XSkinMeshHeader")) {
      out.hasSkinHeader = true;
    } else if (typeIs(*part, "SkinWeights")) {
      LoadedSkinWeights skin;
      if (part->strings.empty()) return fail(error, "skin weights without a bone name");
      skin.bone = part->strings[0];
      DWORD count;
      if (!c.count(2, count)) return fail(error, "bad skin weight count");
      std::vector<DWORD> vertices(count);
      std::vector<float> weights(count);
      for (DWORD& v : vertices)
        if (!c.index(0xFFFFFFFF, v)) return fail(error, "bad skin weight vertex");
      for (float& w : weights)
        if (!c.real(w)) return fail(error, "short skin weights");
      for (int i = 0; i < 16; ++i)
        if (!c.real((&skin.offset._11)[i])) return fail(error, "short bone offset matrix");
      // Weights of vertices the mesh does not have are left out; the bone
      // keeps the others.
      for (DWORD i = 0; i < count; ++i)
        if (vertices[i] < vertexCount) {
          skin.vertices.push_back(vertices[i]);
          skin.weights.push_back(weights[i]);
        }
      out.skin.push_back(std::move(skin));
    }
  }

  // Triangulate as fans, splitting vertices whose corners carry different
  // normals. The file's vertices keep their indices; copies follow them.
  std::vector<DWORD> normalOf(vertexCount, ~0u);
  out.fileVertexOf.resize(vertexCount);
  for (DWORD v = 0; v < vertexCount; ++v) out.fileVertexOf[v] = v;
  std::vector<DWORD> outNormal(vertexCount, ~0u);
  std::map<std::pair<DWORD, DWORD>, DWORD> copies;
  auto place = [&](Corner c) -> DWORD {
    if (c.normal == ~0u) return c.vertex;
    if (outNormal[c.vertex] == ~0u || outNormal[c.vertex] == c.normal) {
      outNormal[c.vertex] = c.normal;
      return c.vertex;
    }
    auto found = copies.find({c.vertex, c.normal});
    if (found != copies.end()) return found->second;
    const DWORD made = DWORD(out.fileVertexOf.size());
    out.fileVertexOf.push_back(c.vertex);
    outNormal.push_back(c.normal);
    copies[{c.vertex, c.normal}] = made;
    return made;
  };
  std::vector<DWORD>& indices = out.data.indices;
  for (DWORD f = 0; f < faceCount; ++f) {
    const std::vector<DWORD>& face = faces[f];
    auto corner = [&](std::size_t k) {
      return Corner{face[k], hasNormals ? normalFaces[f][k] : ~0u};
    };
    for (std::size_t k = 2; k < face.size(); ++k) {
      indices.push_back(place(corner(0)));
      indices.push_back(place(corner(k - 1)));
      indices.push_back(place(corner(k)));
      out.attributes.push_back(faceMaterial[f]);
    }
  }

  // The vertex format: what an FVF can say goes into the FVF, the rest
  // (tangents, binormals...) follows it as extra elements.
  DWORD fvf = D3DFVF_XYZ;
  if (hasNormals) fvf |= D3DFVF_NORMAL;
  const FileElement* normalElement = nullptr;
  const FileElement* fvfParts[3] = {};  // point size, diffuse, specular
  const FileElement* texParts[8] = {};
  std::vector<const FileElement*> extraParts;
  for (const FileElement& e : elements) {
    const bool floats = e.type <= D3DDECLTYPE_FLOAT4;
    if (e.usage == D3DDECLUSAGE_NORMAL && e.index == 0 && e.type == D3DDECLTYPE_FLOAT3) {
      if (!hasNormals) normalElement = &e;
    } else if (e.usage == D3DDECLUSAGE_NORMAL && e.index == 0) {
      // A normal of another type cannot stand beside the FVF's own.
    } else if (e.usage == D3DDECLUSAGE_PSIZE && e.index == 0 && e.type == D3DDECLTYPE_FLOAT1) {
      fvfParts[0] = &e;
    } else if (e.usage == D3DDECLUSAGE_COLOR && e.index < 2 && e.type == D3DDECLTYPE_D3DCOLOR) {
      fvfParts[1 + e.index] = &e;
    } else if (e.usage == D3DDECLUSAGE_TEXCOORD && e.index < 8 && floats) {
      texParts[e.index] = &e;
    } else {
      extraParts.push_back(&e);
    }
  }
  if (normalElement) fvf |= D3DFVF_NORMAL;
  if (fvfParts[0]) fvf |= D3DFVF_PSIZE;
  if (fvfParts[1]) fvf |= D3DFVF_DIFFUSE;
  if (fvfParts[2]) fvf |= D3DFVF_SPECULAR;
  DWORD sets = 0;
  for (DWORD t = 0; t < 8; ++t)
    if (texParts[t]) {
      sets = t + 1;
      static const DWORD kSizeBits[4] = {D3DFVF_TEXTUREFORMAT1, D3DFVF_TEXTUREFORMAT2,
                                         D3DFVF_TEXTUREFORMAT3, D3DFVF_TEXTUREFORMAT4};
      fvf |= kSizeBits[texParts[t]->type] << (16 + 2 * t);
    }
  fvf |= sets << D3DFVF_TEXCOUNT_SHIFT;
  // A declaration holds at most MAXD3DDECLLENGTH elements: extras beyond
  // that are left out.
  std::vector<D3DVERTEXELEMENT9> fvfElements;
  d3d9::elementsOfFVF(fvf, fvfElements);
  if (fvfElements.size() + extraParts.size() > MAXD3DDECLLENGTH)
    extraParts.resize(MAXD3DDECLLENGTH - fvfElements.size());
  std::vector<D3DVERTEXELEMENT9> extra;
  UINT at = D3DXGetFVFVertexSize(fvf);
  for (const FileElement* e : extraParts) {
    extra.push_back({0, WORD(at), e->type, D3DDECLMETHOD_DEFAULT, e->usage, e->index});
    at += d3d9::declTypeSize(e->type);
  }
  const VertexLayout layout = layoutOf(fvf, extra);
  out.data.fvf = fvf;
  out.data.extra = extra;
  out.data.stride = layout.stride;
  const std::size_t total = out.fileVertexOf.size();
  out.data.vertices.assign(total * layout.stride, 0);
  auto copyElement = [&](const FileElement* e, int offset, unsigned char* d, DWORD source) {
    if (!e || offset < 0) return;
    const UINT width = d3d9::declTypeSize(e->type);
    std::memcpy(d + offset, e->bytes.data() + std::size_t(source) * width, width);
  };
  for (std::size_t v = 0; v < total; ++v) {
    unsigned char* d = out.data.vertices.data() + v * layout.stride;
    const DWORD source = out.fileVertexOf[v];
    std::memcpy(d, &positions[source], 12);
    if (hasNormals && outNormal[v] != ~0u)
      std::memcpy(d + layout.normal, &normals[outNormal[v]], 12);
    copyElement(normalElement, layout.normal, d, source);
    copyElement(fvfParts[0], layout.psize, d, source);
    copyElement(fvfParts[1], layout.diffuse, d, source);
    copyElement(fvfParts[2], layout.specular, d, source);
    for (DWORD t = 0; t < sets; ++t) copyElement(texParts[t], layout.tex[t], d, source);
    for (std::size_t x = 0; x < extraParts.size(); ++x)
      copyElement(extraParts[x], extra[x].Offset, d, source);
  }
  return true;
}

void dropExtraElements(MeshData& data) {
  if (data.extra.empty()) return;
  const VertexLayout from = layoutOf(data.fvf, data.extra), to = layoutOf(data.fvf);
  const DWORD count = from.stride ? DWORD(data.vertices.size() / from.stride) : 0;
  std::vector<unsigned char> vertices(std::size_t(count) * to.stride);
  convertVertices(data.vertices.data(), from, vertices.data(), to, count);
  data.vertices = std::move(vertices);
  data.extra.clear();
  data.stride = to.stride;
}

void transformMesh(MeshData& data, const D3DXMATRIX& m) {
  if (D3DXMatrixIsIdentity(&m)) return;
  const VertexLayout layout = layoutOf(data.fvf, data.extra);
  D3DXMATRIX normalMatrix;
  const bool invertible = D3DXMatrixInverse(&normalMatrix, nullptr, &m) != nullptr;
  if (invertible) D3DXMatrixTranspose(&normalMatrix, &normalMatrix);
  const std::size_t count = data.stride ? data.vertices.size() / data.stride : 0;
  for (std::size_t v = 0; v < count; ++v) {
    unsigned char* d = data.vertices.data() + v * data.stride;
    D3DXVECTOR3 p;
    std::memcpy(&p, d, 12);
    D3DXVec3TransformCoord(&p, &p, &m);
    std::memcpy(d, &p, 12);
    if (layout.normal >= 0 && invertible) {
      std::memcpy(&p, d + layout.normal, 12);
      D3DXVec3TransformNormal(&p, &p, &normalMatrix);
      D3DXVec3Normalize(&p, &p);
      std::memcpy(d + layout.normal, &p, 12);
    }
    // Tangents and binormals lie in the surface: they turn with it.
    for (const D3DVERTEXELEMENT9& e : data.extra)
      if ((e.Usage == D3DDECLUSAGE_TANGENT || e.Usage == D3DDECLUSAGE_BINORMAL) &&
          (e.Type == D3DDECLTYPE_FLOAT3 || e.Type == D3DDECLTYPE_FLOAT4)) {
        std::memcpy(&p, d + e.Offset, 12);
        D3DXVec3TransformNormal(&p, &p, &m);
        D3DXVec3Normalize(&p, &p);
        std::memcpy(d + e.Offset, &p, 12);
      }
  }
}

HRESULT materialBuffer(const std::vector<LoadedMaterial>& materials, ID3DXBuffer** out) {
  *out = nullptr;
  if (materials.empty()) return D3D_OK;
  std::size_t size = materials.size() * sizeof(D3DXMATERIAL);
  for (const LoadedMaterial& m : materials)
    if (!m.texture.empty()) size += m.texture.size() + 1;
  if (size > 0xFFFFFFFFu) return E_OUTOFMEMORY;
  HRESULT hr = D3DXCreateBuffer(DWORD(size), out);
  if (FAILED(hr)) return hr;
  auto* records = static_cast<D3DXMATERIAL*>((*out)->GetBufferPointer());
  char* names = reinterpret_cast<char*>(records + materials.size());
  for (std::size_t i = 0; i < materials.size(); ++i) {
    records[i].MatD3D = materials[i].material;
    records[i].pTextureFilename = nullptr;
    if (!materials[i].texture.empty()) {
      std::memcpy(names, materials[i].texture.c_str(), materials[i].texture.size() + 1);
      records[i].pTextureFilename = names;
      names += materials[i].texture.size() + 1;
    }
  }
  return D3D_OK;
}

}  // namespace d3dx_mesh

namespace {

using d3dx_mesh::LoadedMesh;

// Widens the format of `merged` (fvf and extra elements) to hold every
// component of `part` too; texture coordinate sets keep the most
// components either has.
void mergeFormat(d3dx_mesh::MeshData& merged, const d3dx_mesh::MeshData& part) {
  const DWORD a = merged.fvf ? merged.fvf : D3DFVF_XYZ, b = part.fvf;
  DWORD fvf =
      D3DFVF_XYZ | ((a | b) & (D3DFVF_NORMAL | D3DFVF_PSIZE | D3DFVF_DIFFUSE | D3DFVF_SPECULAR));
  const d3dx_mesh::VertexLayout la = d3dx_mesh::layoutOf(a), lb = d3dx_mesh::layoutOf(b);
  const UINT sets = std::max(la.texSets, lb.texSets);
  for (UINT t = 0; t < sets; ++t) {
    const UINT size =
        std::max(t < la.texSets ? la.texSize[t] : 0, t < lb.texSets ? lb.texSize[t] : 0);
    static const DWORD kSizeBits[4] = {D3DFVF_TEXTUREFORMAT1, D3DFVF_TEXTUREFORMAT2,
                                       D3DFVF_TEXTUREFORMAT3, D3DFVF_TEXTUREFORMAT4};
    fvf |= kSizeBits[size / 4 - 1] << (16 + 2 * t);
  }
  fvf |= sets << D3DFVF_TEXCOUNT_SHIFT;
  std::vector<D3DVERTEXELEMENT9> extra = merged.extra;
  for (const D3DVERTEXELEMENT9& e : part.extra) {
    bool known = false;
    for (const D3DVERTEXELEMENT9& f : extra)
      known = known || (f.Usage == e.Usage && f.UsageIndex == e.UsageIndex);
    if (!known) extra.push_back(e);
  }
  UINT at = D3DXGetFVFVertexSize(fvf);
  for (D3DVERTEXELEMENT9& e : extra) {
    e.Offset = WORD(at);
    at += d3d9::declTypeSize(e.Type);
  }
  merged.fvf = fvf;
  merged.extra = std::move(extra);
}

// Every Mesh of the file with the transform of the frames around it.
bool collectMeshes(const xfile::Document& document, const xfile::Object& object,
                   const D3DXMATRIX& parent, std::vector<LoadedMesh>& out, std::string& error) {
  if (strcasecmp(object.type.c_str(), "Mesh") == 0) {
    LoadedMesh mesh;
    if (!d3dx_mesh::buildMesh(document, object, mesh, error)) return false;
    d3dx_mesh::transformMesh(mesh.data, parent);
    out.push_back(std::move(mesh));
    return true;
  }
  if (strcasecmp(object.type.c_str(), "Frame") != 0) return true;
  const D3DXMATRIX local = d3dx_mesh::frameTransform(object);
  D3DXMATRIX combined;
  D3DXMatrixMultiply(&combined, &local, &parent);
  for (const xfile::Object& child : object.children) {
    const xfile::Object* placed =
        child.isReference() ? d3dx_mesh::referencedMesh(document, child) : &child;
    if (placed && !collectMeshes(document, *placed, combined, out, error)) return false;
  }
  return true;
}

}  // namespace

HRESULT D3DXLoadMeshFromXInMemory(const void* memory, DWORD size, DWORD options,
                                  IDirect3DDevice9* device, ID3DXBuffer** adjacency,
                                  ID3DXBuffer** materials, ID3DXBuffer** effectInstances,
                                  DWORD* numMaterials, ID3DXMesh** mesh) {
  if (adjacency) *adjacency = nullptr;
  if (materials) *materials = nullptr;
  if (effectInstances) *effectInstances = nullptr;
  if (numMaterials) *numMaterials = 0;
  if (!mesh) return D3DERR_INVALIDCALL;
  *mesh = nullptr;
  if (!memory || !device || size == 0) return D3DERR_INVALIDCALL;

  xfile::Document document;
  std::string error;
  if (!xfile::parse(memory, size, document, error)) return E_FAIL;
  std::vector<LoadedMesh> parts;
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  const std::vector<const xfile::Object*> placed = d3dx_mesh::meshesPlacedByReference(document);
  for (const xfile::Object& object : document.objects) {
    if (strcasecmp(object.type.c_str(), "Mesh") == 0 &&
        std::binary_search(placed.begin(), placed.end(), &object))
      continue;
    if (!collectMeshes(document, object, identity, parts, error)) return E_FAIL;
  }

  // One vertex format for all parts: every component that any part has.
  d3dx_mesh::MeshData merged;
  bool anyMaterials = false;
  for (const LoadedMesh& part : parts) {
    mergeFormat(merged, part.data);
    anyMaterials = anyMaterials || !part.materials.empty();
  }
  const d3dx_mesh::VertexLayout mergedLayout = d3dx_mesh::layoutOf(merged.fvf, merged.extra);
  merged.stride = mergedLayout.stride;
  std::vector<DWORD> attributes;
  std::vector<d3dx_mesh::LoadedMaterial> allMaterials;
  for (LoadedMesh& part : parts) {
    const DWORD base = DWORD(merged.vertices.size() / merged.stride);
    const DWORD count = DWORD(part.data.vertices.size() / part.data.stride);
    if (count == 0 || part.data.indices.empty()) continue;
    const std::size_t at = merged.vertices.size();
    merged.vertices.resize(at + std::size_t(count) * merged.stride);
    d3dx_mesh::convertVertices(part.data.vertices.data(),
                               d3dx_mesh::layoutOf(part.data.fvf, part.data.extra),
                               merged.vertices.data() + at, mergedLayout, count);
    for (DWORD index : part.data.indices) merged.indices.push_back(base + index);
    const DWORD materialBase = DWORD(allMaterials.size());
    if (anyMaterials && part.materials.empty()) {
      d3dx_mesh::LoadedMaterial grey;
      grey.material = d3dx_mesh::defaultMaterial();
      part.materials.push_back(grey);
    }
    for (DWORD a : part.attributes) attributes.push_back(materialBase + a);
    for (auto& m : part.materials) allMaterials.push_back(std::move(m));
  }
  if (merged.indices.empty()) return E_FAIL;

  ID3DXMesh* made = nullptr;
  HRESULT hr = d3dx_mesh::makeMesh(device, options, merged, attributes, &made);
  if (FAILED(hr)) return hr;
  if (adjacency) {
    hr = D3DXCreateBuffer(DWORD(merged.indices.size() * sizeof(DWORD)), adjacency);
    if (SUCCEEDED(hr))
      d3dx_mesh::adjacency(merged, 0.0f, static_cast<DWORD*>((*adjacency)->GetBufferPointer()));
  }
  if (SUCCEEDED(hr) && materials) hr = d3dx_mesh::materialBuffer(allMaterials, materials);
  if (SUCCEEDED(hr) && effectInstances && !allMaterials.empty())
    hr = D3DXCreateBuffer(DWORD(allMaterials.size() * sizeof(D3DXEFFECTINSTANCE)), effectInstances);
  if (FAILED(hr)) {
    made->Release();
    if (adjacency && *adjacency) (*adjacency)->Release(), *adjacency = nullptr;
    if (materials && *materials) (*materials)->Release(), *materials = nullptr;
    if (effectInstances && *effectInstances)
      (*effectInstances)->Release(), *effectInstances = nullptr;
    return hr;
  }
  if (numMaterials) *numMaterials = DWORD(allMaterials.size());
  *mesh = made;
  return D3D_OK;
}
