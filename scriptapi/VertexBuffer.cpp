#include "scriptapi/VertexBuffer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/DemoState.h"
#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/ScriptCallbacks.h"
#include "platform/d3dx/D3DXMath.h"
#include "scriptapi/Binding.h"
#include "scriptapi/VectorN.h"

namespace {

struct LitVertex {  // D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX1
  float x, y, z, nx, ny, nz;
  DWORD diffuse;
  float u, v;
};
struct ScreenVertex {  // D3DFVF_XYZRHW | D3DFVF_TEX1
  float x, y, z, rhw, u, v;
};
struct LineVertex {  // D3DFVF_XYZ | D3DFVF_DIFFUSE
  float x, y, z;
  DWORD diffuse;
};
static_assert(sizeof(LitVertex) == 36 && sizeof(ScreenVertex) == 24 && sizeof(LineVertex) == 16);

constexpr DWORD kLitFvf = D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX1;
constexpr DWORD kScreenFvf = D3DFVF_XYZRHW | D3DFVF_TEX1;
constexpr DWORD kLineFvf = D3DFVF_XYZ | D3DFVF_DIFFUSE;

struct Layout {
  DWORD fvf;
  D3DPRIMITIVETYPE type;
  UINT primitiveCount;
  int batchCount, batchVertexStep;
  bool textured;
};

// The common factory: a write-only buffer in the default pool holding
// `vertices`, and a new owning handle. A buffer that cannot be made or
// filled gives a handle without object, which every method ignores.
template <class Vertex>
VertexBufferHandle makeBuffer(const std::vector<Vertex>& vertices, const Layout& layout) {
  IDirect3DVertexBuffer9* buffer = nullptr;
  const UINT length = UINT(vertices.size() * sizeof(Vertex));
  if (!gDevice || FAILED(gDevice->CreateVertexBuffer(length, D3DUSAGE_WRITEONLY, layout.fvf,
                                                     D3DPOOL_DEFAULT, &buffer, nullptr)))
    return makeFactoryHandle<VertexBufferHandle>((VertexBufferData*)nullptr);
  void* data = nullptr;
  if (FAILED(buffer->Lock(0, 0, &data, 0))) {
    buffer->Release();
    return makeFactoryHandle<VertexBufferHandle>((VertexBufferData*)nullptr);
  }
  std::memcpy(data, vertices.data(), length);
  buffer->Unlock();
  auto* record = new VertexBufferData();
  record->buffer = buffer;
  record->fvf = layout.fvf;
  record->primitiveType = layout.type;
  record->primitiveCount = layout.primitiveCount;
  record->batchCount = layout.batchCount;
  record->batchVertexStep = layout.batchVertexStep;
  record->vertexStride = sizeof(Vertex);
  record->textured = layout.textured;
  return makeFactoryHandle<VertexBufferHandle>(record);
}

LitVertex lit(float x, float y, float z, float nx, float ny, float nz, float u, float v) {
  return {x, y, z, nx, ny, nz, 0xFFFFFFFF, u, v};
}

// vertexBuffer createTexturedQuad(): a 2 x 2 square at z = 0 facing +z.
VertexBufferHandle createTexturedQuad() {
  const std::vector<LitVertex> v = {lit(-1, -1, 0, 0, 0, 1, 0, 0), lit(1, -1, 0, 0, 0, 1, 1, 0),
                                    lit(-1, 1, 0, 0, 0, 1, 0, 1), lit(1, 1, 0, 0, 0, 1, 1, 1)};
  return makeBuffer(v, {kLitFvf, D3DPT_TRIANGLESTRIP, 2, 1, 0, true});
}

// vertexBuffer createTexturedQuad2D(int, int, int, int): a screen rectangle
// in pixels, without a half-pixel offset.
VertexBufferHandle createTexturedQuad2D(int x, int y, int w, int h) {
  // The sums wrap as 32-bit integers rather than overflow.
  const float right = float(int32_t(uint32_t(x) + uint32_t(w)));
  const float bottom = float(int32_t(uint32_t(y) + uint32_t(h)));
  const std::vector<ScreenVertex> v = {{float(x), float(y), 0, 1, 0, 0},
                                       {right, float(y), 0, 1, 1, 0},
                                       {float(x), bottom, 0, 1, 0, 1},
                                       {right, bottom, 0, 1, 1, 1}};
  return makeBuffer(v, {kScreenFvf, D3DPT_TRIANGLESTRIP, 2, 1, 0, true});
}

// vertexBuffer createTexturedCube(): the unit cube, one strip of two
// triangles per face, each face with the quad's texture coordinates.
VertexBufferHandle createTexturedCube() {
  struct Face {
    int a, b, n;  // axes: 0 x, 1 y, 2 z
    float sign, offset;
  };
  const Face faces[6] = {{0, 1, 2, -1, 0}, {2, 1, 0, -1, 0}, {0, 1, 2, 1, 1},
                         {2, 1, 0, 1, 1},  {0, 2, 1, -1, 0}, {0, 2, 1, 1, 1}};
  std::vector<LitVertex> v;
  for (const Face& f : faces)
    for (int k = 0; k < 4; ++k) {
      float position[3], normal[3] = {0, 0, 0};
      position[f.a] = float(k & 1);
      position[f.b] = float(k >> 1);
      position[f.n] = f.offset;
      normal[f.n] = f.sign;
      v.push_back(lit(position[0], position[1], position[2], normal[0], normal[1], normal[2],
                      float(k & 1), float(k >> 1)));
    }
  return makeBuffer(v, {kLitFvf, D3DPT_TRIANGLESTRIP, 2, 6, 4, true});
}

// vertexBuffer createAxis(): the x axis in blue, y and z in white.
VertexBufferHandle createAxis() {
  const DWORD blue = 0xFF0000FF, white = 0xFFFFFFFF;
  const std::vector<LineVertex> v = {{-1, 0, 0, blue}, {1, 0, 0, blue},   {0, -1, 0, white},
                                     {0, 1, 0, white}, {0, 0, -1, white}, {0, 0, 1, white}};
  return makeBuffer(v, {kLineFvf, D3DPT_LINELIST, 3, 1, 0, false});
}

D3DXVECTOR3 cross(const D3DXVECTOR3& a, const D3DXVECTOR3& b) {
  D3DXVECTOR3 out;
  return *D3DXVec3Cross(&out, &a, &b);
}
D3DXVECTOR3 normalized(const D3DXVECTOR3& v) {
  D3DXVECTOR3 out;
  return *D3DXVec3Normalize(&out, &v);
}

// The most vertices a mesh plane gets (a grid of about 1450 x 1450 cells,
// 150 megabytes of vertices): a subdivision past it is a slip that would
// take gigabytes and seconds to build, with nothing more to see.
constexpr int64_t kMaxPlaneVertices = int64_t(1) << 22;

// vertexBuffer createMeshPlane(int nx, int ny, string &in scriplet,
// string &in function): an nx by ny grid of strips whose points the
// scriplet's function displaces. Grid point (j, q) takes offset triple
// j (ny + 1) + q. Grids without cells, or with more vertices than a plane
// gets, give an empty handle.
VertexBufferHandle createMeshPlane(int nx, int ny, const std::string* scriplet,
                                   const std::string* function) {
  // Below 2^63 for any two ints.
  const int64_t vertexCount = 2 * (int64_t(nx) + 1) * int64_t(ny);
  if (nx < 1 || ny < 1 || vertexCount > kMaxPlaneVertices) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "createMeshPlane(%d, %d): a plane needs 1 to %lld vertices, it stays empty", nx,
                  ny, (long long)kMaxPlaneVertices);
    logMessage(text);
    return makeFactoryHandle<VertexBufferHandle>((VertexBufferData*)nullptr);
  }
  const std::size_t points = std::size_t(nx + 1) * std::size_t(ny + 1);
  std::vector<float> offsets(points * 3, 0.0f);
  if (gScriptCallbacks) {
    VectorN lent(offsets.data(), offsets.size());
    gScriptCallbacks->callFunctionWithArgs(*scriplet, *function, nx + 1, ny + 1, &lent);
  }  // the loan ends here: copies the script kept see an empty vectorN
  std::vector<LitVertex> v(static_cast<std::size_t>(vertexCount));
  const int stripLength = 2 * (nx + 1);
  for (int r = 0; r < ny; ++r)
    for (int j = 0; j <= nx; ++j)
      for (int below = 0; below < 2; ++below) {
        const int q = r + below;
        const float* o = &offsets[(std::size_t(j) * std::size_t(ny + 1) + std::size_t(q)) * 3];
        LitVertex& out = v[std::size_t(r) * stripLength + 2 * j + below];
        out.x = (float(j) + o[0]) / float(nx);
        out.y = (float(q) + o[1]) / float(nx);  // y too is divided by nx
        out.z = o[2] / float(ny);
        out.diffuse = 0xFFFFFFFF;
        out.u = out.x;
        out.v = out.y;
      }
  auto position = [&](std::size_t i) { return D3DXVECTOR3(v[i].x, v[i].y, v[i].z); };
  auto setNormal = [&](std::size_t i, const D3DXVECTOR3& n) {
    v[i].nx = n.x;
    v[i].ny = n.y;
    v[i].nz = n.z;
  };
  for (int r = 0; r < ny; ++r) {
    const std::size_t first = std::size_t(r) * stripLength;
    for (int k = 0; k < nx; ++k) {
      const std::size_t e = first + 2 * k;
      setNormal(e, normalized(cross(position(e + 2) - position(e), position(e + 1) - position(e))));
      setNormal(e + 1, normalized(cross(position(e + 2) - position(e + 1),
                                        position(e + 3) - position(e + 1))));
    }
    // The strip's last column has no cell after it: it repeats the normals
    // of the column before.
    const std::size_t last = first + 2 * nx;
    setNormal(last, D3DXVECTOR3(v[last - 2].nx, v[last - 2].ny, v[last - 2].nz));
    setNormal(last + 1, D3DXVECTOR3(v[last - 1].nx, v[last - 1].ny, v[last - 1].nz));
  }
  return makeBuffer(v, {kLitFvf, D3DPT_TRIANGLESTRIP, UINT(2 * nx), ny, stripLength, true});
}

// --- methods -------------------------------------------------------------------------

// Draws batches first .. end - 1; stage 0 goes without texture for an
// untextured buffer and gets its texture back afterwards.
void drawBatches(VertexBufferData* data, int first, int end) {
  if (!gDevice) return;
  IDirect3DBaseTexture9* saved = nullptr;
  if (!data->textured) {
    gDevice->GetTexture(0, &saved);
    gDevice->SetTexture(0, nullptr);
  }
  gDevice->SetFVF(data->fvf);
  gDevice->SetStreamSource(0, data->buffer, 0, data->vertexStride);
  for (int i = first; i < end; ++i)
    gDevice->DrawPrimitive(data->primitiveType, UINT(i * data->batchVertexStep),
                           data->primitiveCount);
  if (saved) {
    gDevice->SetTexture(0, saved);
    saved->Release();
  }
}

// void draw()
void vertexBuffer_draw(VertexBufferHandle* self) {
  if (self->object) drawBatches(self->object, 0, self->object->batchCount);
}

// void drawSubset(int): batch i alone; an index outside the batches draws
// nothing.
void vertexBuffer_drawSubset(int i, VertexBufferHandle* self) {
  if (self->object && i >= 0 && i < self->object->batchCount) drawBatches(self->object, i, i + 1);
}

// Draws with the world transform `world`, then puts the saved one back.
void drawWithWorld(VertexBufferData* data, const D3DXMATRIX& world) {
  if (!gDevice) return;
  D3DXMATRIX saved;
  gDevice->GetTransform(D3DTS_WORLD, &saved);
  gDevice->SetTransform(D3DTS_WORLD, &world);
  drawBatches(data, 0, data->batchCount);
  gDevice->SetTransform(D3DTS_WORLD, &saved);
}

D3DXMATRIX rows(const D3DXVECTOR3& a, const D3DXVECTOR3& b, const D3DXVECTOR3& c) {
  return D3DXMATRIX(a.x, a.y, a.z, 0, b.x, b.y, b.z, 0, c.x, c.y, c.z, 0, 0, 0, 0, 1);
}

// void draw2D(vector3 &in, float &in): a billboard turned towards the eye
// as seen from the world origin, moved to `position` and then scaled with
// its translation (its centre lands at position * size).
void vertexBuffer_draw2D(const D3DXVECTOR3* position, const float* size, VertexBufferHandle* self) {
  if (!self->object) return;
  const D3DXVECTOR3 f = normalized(gCameraPos);
  const D3DXVECTOR3 r = normalized(cross(gCameraUp, gCameraPos));
  const D3DXVECTOR3 q = normalized(cross(f, r));
  const D3DXMATRIX b = rows(-r, -q, f);
  D3DXMATRIX t, s;
  D3DXMatrixTranslation(&t, position->x, position->y, position->z);
  D3DXMatrixScaling(&s, *size, *size, *size);
  drawWithWorld(self->object, b * t * s);
}

// void draw2DUp(vector3 &in, float &in, vector3 &in): a billboard facing the
// eye from `position` about the `up` direction; it stays at the world
// origin in the buffer's own size, as scripts made for it expect.
void vertexBuffer_draw2DUp(const D3DXVECTOR3* position, const float*, const D3DXVECTOR3* up,
                           VertexBufferHandle* self) {
  if (!self->object) return;
  const D3DXVECTOR3 d = gCameraPos - *position;
  const D3DXVECTOR3 f = normalized(d);
  const D3DXVECTOR3 r = normalized(cross(*up, d));
  const D3DXVECTOR3 q = normalized(cross(f, r));
  drawWithWorld(self->object, rows(q, r, f));
}

}  // namespace

int registerVertexBufferType(asIScriptEngine* engine) {
  return registerHandleObjectType<VertexBufferHandle>(engine, "vertexBuffer");
}

void registerVertexBuffer(asIScriptEngine* engine, RegistrationSum& r) {
  const char* t = "vertexBuffer";
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  r += registerHandleBehaviours<VertexBufferHandle>(engine, t);
  r += engine->RegisterObjectMethod(t, "void draw()", asFUNCTION(vertexBuffer_draw), objLast);
  r += engine->RegisterObjectMethod(t, "void draw2D(vector3 &in,float &in)",
                                    asFUNCTION(vertexBuffer_draw2D), objLast);
  r += engine->RegisterObjectMethod(t, "void draw2DUp(vector3 &in,float &in,vector3 &in)",
                                    asFUNCTION(vertexBuffer_draw2DUp), objLast);
  r += engine->RegisterObjectMethod(t, "void drawSubset(int)", asFUNCTION(vertexBuffer_drawSubset),
                                    objLast);
  r += engine->RegisterGlobalFunction("vertexBuffer createTexturedQuad()",
                                      asFUNCTION(createTexturedQuad), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vertexBuffer createTexturedQuad2D(int,int,int,int)",
                                      asFUNCTION(createTexturedQuad2D), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vertexBuffer createTexturedCube()",
                                      asFUNCTION(createTexturedCube), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vertexBuffer createMeshPlane(int,int,string &in,string &in)",
                                      asFUNCTION(createMeshPlane), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vertexBuffer createAxis()", asFUNCTION(createAxis),
                                      asCALL_CDECL);
}
