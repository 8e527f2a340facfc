#include "scriptapi/D3DXVector3.h"

#include <angelscript.h>

#include <cmath>
#include <cstring>
#include <new>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMath.h"
#include "scriptapi/Binding.h"
#include "scriptapi/MatrixStack.h"
#include "scriptapi/VectorN.h"

using namespace AngelScript;

namespace {

// Default constructor of the three math types. Scripts must assign such a
// value before reading it; zeros make an unassigned read deterministic.
template <typename T>
void mathValue_construct(T* self) {
  memset((void*)self, 0, sizeof(T));
}

// --- vector3 ---------------------------------------------------------------

// vector3(float &in x, float &in y, float &in z)
void vector3_construct(const float* x, const float* y, const float* z, D3DXVECTOR3* self) {
  new (self) D3DXVECTOR3(*x, *y, *z);
}

// float length() const
float vector3_length(const D3DXVECTOR3* v) { return D3DXVec3Length(v); }

// float lengthsq() const
float vector3_lengthsq(const D3DXVECTOR3* v) { return D3DXVec3LengthSq(v); }

// void normalize()
void vector3_normalize(D3DXVECTOR3* v) {
  D3DXVECTOR3 normal;
  D3DXVec3Normalize(&normal, v);
  *v = normal;
}

// float dot(vector3 &in v1, vector3 &in v2)
float dot(const D3DXVECTOR3* a, const D3DXVECTOR3* b) { return D3DXVec3Dot(a, b); }

// vector3 cross(vector3 &in v1, vector3 &in v2)
D3DXVECTOR3 cross(const D3DXVECTOR3* a, const D3DXVECTOR3* b) {
  D3DXVECTOR3 out;
  return *D3DXVec3Cross(&out, a, b);
}

// a + b
D3DXVECTOR3 vector3_add_vector3_vector3(const D3DXVECTOR3* a, const D3DXVECTOR3* b) {
  return D3DXVECTOR3(a->x + b->x, a->y + b->y, a->z + b->z);
}

// a - b
D3DXVECTOR3 vector3_sub_vector3_vector3(const D3DXVECTOR3* a, const D3DXVECTOR3* b) {
  return D3DXVECTOR3(a->x - b->x, a->y - b->y, a->z - b->z);
}

// a * b
D3DXVECTOR3 vector3_mul_vector3_float(const D3DXVECTOR3* a, const float* b) {
  return D3DXVECTOR3(a->x * *b, a->y * *b, a->z * *b);
}

// a / b, as a multiplication by the reciprocal: dividing by 0 gives
// infinities (NaN for a zero component).
D3DXVECTOR3 vector3_div_vector3_float(const D3DXVECTOR3* a, const float* b) {
  float r = 1.0f / *b;
  return D3DXVECTOR3(a->x * r, a->y * r, a->z * r);
}

// --- color -----------------------------------------------------------------

// color(float r, float g, float b, float a)
void color_construct(float r, float g, float b, float a, D3DCOLORVALUE* self) {
  *self = D3DCOLORVALUE{r, g, b, a};
}

// --- matrix4 ---------------------------------------------------------------

// matrix4(float &in _11, ..., float &in _44), row by row
void matrix4_construct(const float* m11, const float* m12, const float* m13, const float* m14,
                       const float* m21, const float* m22, const float* m23, const float* m24,
                       const float* m31, const float* m32, const float* m33, const float* m34,
                       const float* m41, const float* m42, const float* m43, const float* m44,
                       D3DXMATRIX* self) {
  new (self) D3DXMATRIX(*m11, *m12, *m13, *m14, *m21, *m22, *m23, *m24, *m31, *m32, *m33, *m34,
                        *m41, *m42, *m43, *m44);
}

// void identity()
void matrix4_identity(D3DXMATRIX* v) { D3DXMatrixIdentity(v); }

// float inverse(): returns the determinant. A matrix without an inverse
// (determinant 0, or one whose reciprocal is not finite) is left unchanged.
float matrix4_inverse(D3DXMATRIX* v) {
  D3DXMATRIX inverse = *v;
  float determinant = 0.0f;
  if (D3DXMatrixInverse(&inverse, &determinant, v)) *v = inverse;
  return determinant;
}

// void rotateAxis(vector3 &in axis, float &in angle)
void matrix4_rotateAxis(const D3DXVECTOR3* axis, const float* angle, D3DXMATRIX* v) {
  D3DXMatrixRotationAxis(v, axis, *angle);
}

// void translation(vector3 &in)
void matrix4_translation(const D3DXVECTOR3* t, D3DXMATRIX* v) {
  D3DXMatrixTranslation(v, t->x, t->y, t->z);
}

// void translation2DTex(vector3 &in): the texture-coordinate translation,
// which lives in the third row; z is ignored.
void matrix4_translation2DTex(const D3DXVECTOR3* t, D3DXMATRIX* v) {
  D3DXMatrixIdentity(v);
  v->_31 = t->x;
  v->_32 = t->y;
}

// void scaling(vector3 &in)
void matrix4_scaling(const D3DXVECTOR3* s, D3DXMATRIX* v) {
  D3DXMatrixScaling(v, s->x, s->y, s->z);
}

bool unset(float value) { return value == 0.0f || std::isnan(value); }

// void perspective(float fov, float aspect, float zn, float zf): an argument
// of 0 or NaN takes its default (the viewport's aspect, a field of view of
// 45.0 radians, near 0.1, far 100.0).
void matrix4_perspective(float fov, float aspect, float zn, float zf, D3DXMATRIX* v) {
  if (unset(aspect)) {
    D3DVIEWPORT9 viewport = {};
    if (gDevice) gDevice->GetViewport(&viewport);
    aspect = (float)viewport.Width / (float)viewport.Height;
  }
  if (unset(fov)) fov = 45.0f;
  if (unset(zn)) zn = 0.1f;
  if (unset(zf)) zf = 100.0f;
  D3DXMatrixPerspectiveFovLH(v, fov, aspect, zn, zf);
}

// void lookAt(vector3 &in eye, vector3 &in at, vector3 &in up)
void matrix4_lookAt(const D3DXVECTOR3* eye, const D3DXVECTOR3* at, const D3DXVECTOR3* up,
                    D3DXMATRIX* v) {
  D3DXMatrixLookAtLH(v, eye, at, up);
}

D3DXMATRIX deviceTransform(D3DTRANSFORMSTATETYPE which) {
  D3DXMATRIX m;
  D3DXMatrixIdentity(&m);
  if (gDevice) gDevice->GetTransform(which, &m);
  return m;
}

// matrix4 getViewMatrix()
D3DXMATRIX getViewMatrix() { return deviceTransform(D3DTS_VIEW); }

// matrix4 getProjectionMatrix()
D3DXMATRIX getProjectionMatrix() { return deviceTransform(D3DTS_PROJECTION); }

// void setViewMatrix(matrix4 &in)
void setViewMatrix(const D3DXMATRIX* m) {
  if (gDevice) gDevice->SetTransform(D3DTS_VIEW, m);
}

// void setProjectionMatrix(matrix4 &in)
void setProjectionMatrix(const D3DXMATRIX* m) {
  if (gDevice) gDevice->SetTransform(D3DTS_PROJECTION, m);
}

// a * b: a acts first.
D3DXMATRIX matrix4_mul_matrix4_matrix4(const D3DXMATRIX* a, const D3DXMATRIX* b) {
  D3DXMATRIX out;
  return *D3DXMatrixMultiply(&out, a, b);
}

// (a.x, a.y, a.z, 1) * b, without the division by w.
D3DXVECTOR3 vector3_mul_vector3_matrix4(const D3DXVECTOR3* a, const D3DXMATRIX* b) {
  D3DXVECTOR4 out;
  D3DXVec3Transform(&out, a, b);
  return D3DXVECTOR3(out.x, out.y, out.z);
}

// --- registration ----------------------------------------------------------

// Value types held in script memory and copied byte for byte.
constexpr asDWORD kVector3Flags =
    asOBJ_VALUE | asOBJ_POD | asOBJ_APP_CLASS_C | asOBJ_APP_CLASS_ALLFLOATS;
constexpr asDWORD kFloatRecordFlags =
    asOBJ_VALUE | asOBJ_POD | asOBJ_APP_CLASS | asOBJ_APP_CLASS_ALLFLOATS;

}  // namespace

int initD3DXVector3(asIScriptEngine* engine) {
  RegistrationSum r;
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  const asDWORD objFirst = asCALL_CDECL_OBJFIRST;

  // 1. The five types.
  r += engine->RegisterObjectType("vector3", sizeof(D3DXVECTOR3), kVector3Flags);
  r += engine->RegisterObjectType("color", sizeof(D3DCOLORVALUE), kFloatRecordFlags);
  r += engine->RegisterObjectType("matrix4", sizeof(D3DXMATRIX), kFloatRecordFlags);
  r += registerMatrixStackType(engine);
  r += engine->RegisterObjectType("vectorN", sizeof(VectorN),
                                  asOBJ_VALUE | asGetTypeTraits<VectorN>());

  // 2. vector3.
  r += engine->RegisterObjectBehaviour("vector3", asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(mathValue_construct<D3DXVECTOR3>), objLast);
  r += engine->RegisterObjectBehaviour("vector3", asBEHAVE_CONSTRUCT,
                                       "void f(float &in,float &in,float &in)",
                                       asFUNCTION(vector3_construct), objLast);
  r += engine->RegisterObjectProperty("vector3", "float x", 0);
  r += engine->RegisterObjectProperty("vector3", "float y", 4);
  r += engine->RegisterObjectProperty("vector3", "float z", 8);
  r += engine->RegisterObjectMethod("vector3", "float length() const", asFUNCTION(vector3_length),
                                    objLast);
  r += engine->RegisterObjectMethod("vector3", "float lengthsq() const",
                                    asFUNCTION(vector3_lengthsq), objLast);
  r += engine->RegisterObjectMethod("vector3", "void normalize()", asFUNCTION(vector3_normalize),
                                    objLast);
  r += engine->RegisterGlobalFunction("float dot(vector3 &in v1,vector3 &in v2)", asFUNCTION(dot),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vector3 cross(vector3 &in v1,vector3 &in v2)",
                                      asFUNCTION(cross), asCALL_CDECL);
  // The global binary operators become methods of the left operand.
  r += engine->RegisterObjectMethod("vector3", "vector3 opAdd(vector3 &in) const",
                                    asFUNCTION(vector3_add_vector3_vector3), objFirst);
  r += engine->RegisterObjectMethod("vector3", "vector3 opSub(vector3 &in) const",
                                    asFUNCTION(vector3_sub_vector3_vector3), objFirst);
  r += engine->RegisterObjectMethod("vector3", "vector3 opMul(float &in) const",
                                    asFUNCTION(vector3_mul_vector3_float), objFirst);
  r += engine->RegisterObjectMethod("vector3", "vector3 opDiv(float &in) const",
                                    asFUNCTION(vector3_div_vector3_float), objFirst);

  // 3. color.
  r += engine->RegisterObjectBehaviour("color", asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(mathValue_construct<D3DCOLORVALUE>), objLast);
  r += engine->RegisterObjectBehaviour("color", asBEHAVE_CONSTRUCT,
                                       "void f(float,float,float,float)",
                                       asFUNCTION(color_construct), objLast);
  r += engine->RegisterObjectProperty("color", "float r", 0);
  r += engine->RegisterObjectProperty("color", "float g", 4);
  r += engine->RegisterObjectProperty("color", "float b", 8);
  r += engine->RegisterObjectProperty("color", "float a", 12);

  // 4. matrix4.
  r += engine->RegisterObjectBehaviour("matrix4", asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(mathValue_construct<D3DXMATRIX>), objLast);
  r += engine->RegisterObjectBehaviour(
      "matrix4", asBEHAVE_CONSTRUCT,
      "void f(float &in,float &in,float &in,float &in,float &in,float &in,float &in,float &in,"
      "float &in,float &in,float &in,float &in,float &in,float &in,float &in,float &in)",
      asFUNCTION(matrix4_construct), objLast);
  static const char* const kElements[16] = {"float _11", "float _12", "float _13", "float _14",
                                            "float _21", "float _22", "float _23", "float _24",
                                            "float _31", "float _32", "float _33", "float _34",
                                            "float _41", "float _42", "float _43", "float _44"};
  for (int i = 0; i < 16; ++i)
    r += engine->RegisterObjectProperty("matrix4", kElements[i], i * (int)sizeof(float));
  r += engine->RegisterObjectMethod("matrix4", "void identity()", asFUNCTION(matrix4_identity),
                                    objLast);
  r += engine->RegisterObjectMethod("matrix4", "float inverse()", asFUNCTION(matrix4_inverse),
                                    objLast);
  r += engine->RegisterObjectMethod("matrix4", "void rotateAxis(vector3 &in,float &in)",
                                    asFUNCTION(matrix4_rotateAxis), objLast);
  r += engine->RegisterObjectMethod("matrix4", "void translation(vector3 &in)",
                                    asFUNCTION(matrix4_translation), objLast);
  r += engine->RegisterObjectMethod("matrix4", "void translation2DTex(vector3 &in)",
                                    asFUNCTION(matrix4_translation2DTex), objLast);
  r += engine->RegisterObjectMethod("matrix4", "void scaling(vector3 &in)",
                                    asFUNCTION(matrix4_scaling), objLast);
  r += engine->RegisterObjectMethod("matrix4", "void perspective(float,float,float,float)",
                                    asFUNCTION(matrix4_perspective), objLast);
  r += engine->RegisterObjectMethod("matrix4", "void lookAt(vector3 &in,vector3 &in,vector3 &in)",
                                    asFUNCTION(matrix4_lookAt), objLast);
  r += engine->RegisterGlobalFunction("matrix4 getViewMatrix()", asFUNCTION(getViewMatrix),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("matrix4 getProjectionMatrix()",
                                      asFUNCTION(getProjectionMatrix), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setViewMatrix(matrix4 &in)", asFUNCTION(setViewMatrix),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setProjectionMatrix(matrix4 &in)",
                                      asFUNCTION(setProjectionMatrix), asCALL_CDECL);
  r += engine->RegisterObjectMethod("matrix4", "matrix4 opMul(matrix4 &in) const",
                                    asFUNCTION(matrix4_mul_matrix4_matrix4), objFirst);
  r += engine->RegisterObjectMethod("vector3", "vector3 opMul(matrix4 &in) const",
                                    asFUNCTION(vector3_mul_vector3_matrix4), objFirst);

  // 5. matrixStack, 6. vectorN.
  registerMatrixStack(engine, r);
  registerVectorN(engine, r);

  finishRegistration(r, "TQScrip - initD3DXVector3 failed");
  return 0;
}
