#include "scriptapi/D3DMesh.h"

#include <cmath>
#include <cstring>

#include "core/DemoState.h"
#include "core/DeviceGlobal.h"
#include "core/TQDatabase.h"
#include "platform/d3dx/D3DXMath.h"
#include "platform/d3dx/MeshInternal.h"
#include "scriptapi/Binding.h"
#include "scriptapi/SkinnedMesh.h"
#include "scriptapi/TextMesh.h"
#include "scriptapi/VectorN.h"
#include "scriptapi/VertexBuffer.h"

unsigned char* gLockedVertices = nullptr;
std::vector<float> gRadialDeformRestPositions;

namespace {

// The mesh whose vertices gLockedVertices shows. Its buffer counts its
// locks: the mesh stays locked, and the accessors keep working on it, until
// the last open lock is released, whoever made the others. The accessors
// touch vertex data only while their own mesh is that mesh and locked.
ID3DXMesh* gLockedMesh = nullptr;

void noteLock(ID3DXMesh* mesh, void* data) {
  gLockedVertices = static_cast<unsigned char*>(data);
  gLockedMesh = mesh;
}

// Vertex i of the handle's mesh in the locked data, when the mesh is the one
// locked last and still locked, i is one of its vertices and its vertices hold
// `bytes` bytes; null otherwise.
unsigned char* lockedVertex(MeshHandle* self, int i, DWORD bytes) {
  ID3DXMesh* mesh = self->object;
  if (!mesh || mesh != gLockedMesh || d3dx_mesh::openVertexLocks(mesh) <= 0 || i < 0 ||
      DWORD(i) >= mesh->GetNumVertices())
    return nullptr;
  const DWORD stride = mesh->GetNumBytesPerVertex();
  if (stride < bytes) return nullptr;
  // A mesh freed while locked may have left its address to a new one:
  // the data must still be this mesh's own.
  void* data = nullptr;
  if (FAILED(mesh->LockVertexBuffer(D3DLOCK_READONLY, &data))) return nullptr;
  mesh->UnlockVertexBuffer();
  if (data != gLockedVertices) return nullptr;
  return gLockedVertices + std::size_t(i) * stride;
}

MeshHandle loadMesh(const std::string& name, std::uint32_t flags) {
  TQDataHandler_Mesh handler;
  MeshHandle handle;
  loadOrAbort(name, handler, handle, flags, "mesh");
  return handle;
}

// --- factories ---------------------------------------------------------------

// mesh createMeshFromFile(string)
MeshHandle createMeshFromFile(std::string name) { return loadMesh(name, 0); }

// mesh createMeshFromFile_uniqueInstance(string)
MeshHandle createMeshFromFile_uniqueInstance(std::string name) {
  return loadMesh(name, kLoadUniqueInstance);
}

// mesh createTeapot()
MeshHandle createTeapot() {
  ID3DXMesh* mesh = nullptr;
  if (FAILED(D3DXCreateTeapot(gDevice, &mesh, nullptr))) mesh = nullptr;
  return makeFactoryHandle<MeshHandle>(mesh);
}

// --- methods -------------------------------------------------------------------

// void draw(): attribute group 0, normals renormalised. The render state is
// set on the device directly and stays set.
void mesh_draw(MeshHandle* self) {
  if (!self->object || !gDevice) return;
  gDevice->SetRenderState(D3DRS_NORMALIZENORMALS, TRUE);
  self->object->DrawSubset(0);
}

// void lockVertex()
void mesh_lockVertex(MeshHandle* self) {
  if (!self->object) return;
  void* data = nullptr;
  if (SUCCEEDED(self->object->LockVertexBuffer(0, &data))) noteLock(self->object, data);
}

// int getNumVertices()
int mesh_getNumVertices(MeshHandle* self) {
  return self->object ? int(self->object->GetNumVertices()) : 0;
}

// void getVertexData(vectorN &out): the positions, three floats each. The
// vectorN always ends with three elements per vertex; without an open lock
// of this mesh they are not read.
void mesh_getVertexData(VectorN* out, MeshHandle* self) {
  if (!self->object) return;
  const DWORD n = self->object->GetNumVertices();
  std::vector<float>& elements = out->elements();
  elements.resize(std::size_t(n) * 3, 0.0f);
  for (DWORD i = 0; i < n; ++i) {
    const unsigned char* v = lockedVertex(self, int(i), 12);
    if (!v) break;
    std::memcpy(&elements[std::size_t(i) * 3], v, 12);
  }
}

// void getVertex(int &in, vector3 &out); out of bounds: (0, 0, 0)
void mesh_getVertex(const int* i, D3DXVECTOR3* out, MeshHandle* self) {
  if (!self->object) return;
  const unsigned char* v = lockedVertex(self, *i, 12);
  if (v)
    std::memcpy(out, v, 12);
  else
    *out = D3DXVECTOR3(0, 0, 0);
}

// void getNormal(int &in, vector3 &out); out of bounds: (0, 0, 0)
void mesh_getNormal(const int* i, D3DXVECTOR3* out, MeshHandle* self) {
  if (!self->object) return;
  const unsigned char* v = lockedVertex(self, *i, 24);
  if (v)
    std::memcpy(out, v + 12, 12);
  else
    *out = D3DXVECTOR3(0, 0, 0);
}

// void setVertex(int &in, vector3 &in)
void mesh_setVertex(const int* i, const D3DXVECTOR3* position, MeshHandle* self) {
  if (unsigned char* v = lockedVertex(self, *i, 12)) std::memcpy(v, position, 12);
}

// void setUV(int &in, float &in, float &in)
void mesh_setUV(const int* i, const float* u, const float* v, MeshHandle* self) {
  if (unsigned char* p = lockedVertex(self, *i, 32)) {
    std::memcpy(p + 24, u, 4);
    std::memcpy(p + 28, v, 4);
  }
}

// void releaseVertex(int): unlocks; 1 recomputes the normals.
void mesh_releaseVertex(int recompute, MeshHandle* self) {
  ID3DXMesh* mesh = self->object;
  if (!mesh) return;
  mesh->UnlockVertexBuffer();
  if (recompute == 1) D3DXComputeNormals(mesh, nullptr);
}

// void updateSphereEnvMap(int): texture coordinates from the eye direction
// reflected about each vertex normal; 1 recomputes the normals afterwards.
// Vertices without room for a texture coordinate (under 32 bytes) are left
// alone.
void mesh_updateSphereEnvMap(int recompute, MeshHandle* self) {
  ID3DXMesh* mesh = self->object;
  if (!mesh) return;
  void* data = nullptr;
  if (FAILED(mesh->LockVertexBuffer(0, &data))) return;
  noteLock(mesh, data);
  D3DXMATRIX world;
  D3DXMatrixIdentity(&world);
  if (gDevice) gDevice->GetTransform(D3DTS_WORLD, &world);
  const D3DXVECTOR4 origin(0, 0, 0, 1);
  D3DXVECTOR4 placed;
  D3DXVec4Transform(&placed, &origin, &world);
  D3DXVECTOR3 eye = gCameraPos - D3DXVECTOR3(placed.x, placed.y, placed.z);
  D3DXVECTOR3 view;
  D3DXVec3Normalize(&view, &eye);
  const DWORD stride = mesh->GetNumBytesPerVertex();
  if (stride >= 32) {
    const DWORD n = mesh->GetNumVertices();
    for (DWORD i = 0; i < n; ++i) {
      unsigned char* v = gLockedVertices + std::size_t(i) * stride;
      D3DXVECTOR3 normal;
      std::memcpy(&normal, v + 12, 12);
      const float k = 2.0f * D3DXVec3Dot(&normal, &view);
      D3DXVECTOR3 reflected = view - normal * k, r;
      D3DXVec3Normalize(&r, &reflected);
      const float u = float(std::asin((long double)r.x) * 0.31830914183855363L + 0.5L);
      const float w = float(std::asin((long double)r.y) * 0.31830914183855363L + 0.5L);
      std::memcpy(v + 24, &u, 4);
      std::memcpy(v + 28, &w, 4);
    }
  }
  mesh->UnlockVertexBuffer();
  if (recompute == 1) D3DXComputeNormals(mesh, nullptr);
}

D3DXVECTOR3 cross(const D3DXVECTOR3& a, const D3DXVECTOR3& b) {
  D3DXVECTOR3 out;
  return *D3DXVec3Cross(&out, &a, &b);
}

// void radialDeform(float a, float b, float c, float d, float e): moves
// each vertex away from its rest position by a wave of phase a; vertices
// within 0.1 b of the origin stay. The rest positions are those of the
// first mesh deformed; vertices beyond them, and every vertex when b is 0,
// are left where they are.
void mesh_radialDeform(float a, float b, float c, float d, float e, MeshHandle* self) {
  ID3DXMesh* mesh = self->object;
  if (!mesh) return;
  void* data = nullptr;
  if (FAILED(mesh->LockVertexBuffer(0, &data))) return;
  noteLock(mesh, data);
  const DWORD n = mesh->GetNumVertices();
  const DWORD stride = mesh->GetNumBytesPerVertex();
  if (gRadialDeformRestPositions.empty()) {
    gRadialDeformRestPositions.resize(std::size_t(n) * 3);
    for (DWORD i = 0; i < n; ++i)
      std::memcpy(&gRadialDeformRestPositions[std::size_t(i) * 3],
                  gLockedVertices + std::size_t(i) * stride, 12);
  }
  const DWORD rested = DWORD(gRadialDeformRestPositions.size() / 3);
  for (DWORD i = 0; i < n && i < rested && b != 0; ++i) {
    const float* rest = &gRadialDeformRestPositions[std::size_t(i) * 3];
    const D3DXVECTOR3 p(rest[0], rest[1], rest[2]);
    unsigned char* vertex = gLockedVertices + std::size_t(i) * stride;
    D3DXVECTOR3 current;
    std::memcpy(&current, vertex, 12);
    const long double r = (long double)D3DXVec3Length(&p) / b;
    if (!(r > 0.1L)) continue;
    const float s = float(r * r);
    D3DXVECTOR3 direction;
    D3DXVec3Normalize(&direction, &p);
    const D3DXVECTOR3 t(0, 1 - std::fabs(direction.y), std::fabs(direction.y));
    const D3DXVECTOR3 x = cross(t, direction), y = cross(x, direction);
    D3DXVECTOR3 xn, yn;
    D3DXVec3Normalize(&xn, &x);
    D3DXVec3Normalize(&yn, &y);
    const long double scale = (long double)s * b * c;
    const float g = float(std::sin(0.2L * (a + 0.5L) + 0.4L) * d * 0.3L * scale);
    const long double h =
        (0.2L * (d * std::cos(0.5L * (a + 0.5L) - 0.4L) + e * std::cos(0.3L * a + 4.4L)) +
         0.14L * std::sin(0.2L * a)) *
        scale;
    const float moved[3] = {float((p.x + (long double)current.x) * 0.5L + xn.x * g + yn.x * h),
                            float(p.y + xn.y * g + yn.y * h), float(p.z + xn.z * g + yn.z * h)};
    std::memcpy(vertex, moved, 12);
  }
  mesh->UnlockVertexBuffer();
}

}  // namespace

bool TQDataHandler_Mesh::loadFromMemory(const char* data, std::int32_t size, void** object,
                                        std::string&) {
  ID3DXMesh* mesh = nullptr;
  ID3DXBuffer* materials = nullptr;
  DWORD count = 0;
  if (data && size > 0 && gDevice &&
      FAILED(D3DXLoadMeshFromXInMemory(data, DWORD(size), D3DXMESH_SYSTEMMEM, gDevice, nullptr,
                                       &materials, nullptr, &count, &mesh)))
    mesh = nullptr;
  if (materials) materials->Release();
  *object = mesh;
  return true;
}

bool TQDataHandler_Mesh::saveToMemory(void* object, std::int32_t size, char** buffer,
                                      std::uint32_t* length, std::string& error) {
  return saveNothingToMemory(object, size, buffer, length, error);
}

int initD3DMesh(asIScriptEngine* engine) {
  const char* t = "mesh";
  RegistrationSum r;
  r += registerHandleObjectType<MeshHandle>(engine, t);
  r += registerVertexBufferType(engine);
  r += registerSkinnedMeshType(engine);
  r += registerHandleBehaviours<MeshHandle>(engine, t);
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  r += engine->RegisterObjectMethod(t, "void draw()", asFUNCTION(mesh_draw), objLast);
  r += engine->RegisterObjectMethod(t, "void lockVertex()", asFUNCTION(mesh_lockVertex), objLast);
  r += engine->RegisterObjectMethod(t, "int getNumVertices()", asFUNCTION(mesh_getNumVertices),
                                    objLast);
  r += engine->RegisterObjectMethod(t, "void getVertexData(vectorN &out)",
                                    asFUNCTION(mesh_getVertexData), objLast);
  r += engine->RegisterObjectMethod(t, "void getVertex(int &in,vector3 &out)",
                                    asFUNCTION(mesh_getVertex), objLast);
  r += engine->RegisterObjectMethod(t, "void getNormal(int &in,vector3 &out)",
                                    asFUNCTION(mesh_getNormal), objLast);
  r += engine->RegisterObjectMethod(t, "void setVertex(int &in,vector3 &in)",
                                    asFUNCTION(mesh_setVertex), objLast);
  r += engine->RegisterObjectMethod(t, "void setUV(int &in,float &in,float &in)",
                                    asFUNCTION(mesh_setUV), objLast);
  r += engine->RegisterObjectMethod(t, "void releaseVertex(int)", asFUNCTION(mesh_releaseVertex),
                                    objLast);
  r += engine->RegisterObjectMethod(t, "void updateSphereEnvMap(int)",
                                    asFUNCTION(mesh_updateSphereEnvMap), objLast);
  r += engine->RegisterObjectMethod(t, "void radialDeform(float,float,float,float,float)",
                                    asFUNCTION(mesh_radialDeform), objLast);
  r +=
      engine->RegisterGlobalFunction("mesh createTeapot()", asFUNCTION(createTeapot), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("mesh createText(string &in,string &in,float &in)",
                                      asFUNCTION(createText), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("mesh createMeshFromFile(string)",
                                      asFUNCTION(createMeshFromFile), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("mesh createMeshFromFile_uniqueInstance(string)",
                                      asFUNCTION(createMeshFromFile_uniqueInstance), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("mesh createMesh_GetFontLetter(string &in,string &in)",
                                      asFUNCTION(createMesh_GetFontLetter), asCALL_CDECL);
  registerSkinnedMesh(engine, r);
  registerVertexBuffer(engine, r);
  return finishRegistration(r, "TQScrip - initD3DMesh failed");
}
