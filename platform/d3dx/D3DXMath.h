// Vector, matrix, colour and quaternion math in the Direct3D conventions,
// and the matrix stack.
//
// Conventions: a point is the row vector (x, y, z, 1) and is transformed as
// that row times the matrix, so a translation lives in _41, _42, _43, and in
// a product A * B the transform A acts first. Angles are in radians. Every
// function that writes through an output pointer returns that pointer, and
// the output may be the same object as any input.
#pragma once

#include "platform/d3d9/D3D9Types.h"

struct D3DXMATRIX;

struct D3DXVECTOR2 {
  float x, y;

  D3DXVECTOR2() = default;
  D3DXVECTOR2(float vx, float vy) : x(vx), y(vy) {}

  bool operator==(const D3DXVECTOR2& v) const { return x == v.x && y == v.y; }
  bool operator!=(const D3DXVECTOR2& v) const { return !(*this == v); }
};

struct D3DXVECTOR3 : D3DVECTOR {
  D3DXVECTOR3() = default;
  D3DXVECTOR3(float vx, float vy, float vz) : D3DVECTOR{vx, vy, vz} {}
  D3DXVECTOR3(const D3DVECTOR& v) : D3DVECTOR(v) {}

  operator float*() { return &x; }
  operator const float*() const { return &x; }

  D3DXVECTOR3& operator+=(const D3DXVECTOR3& v) {
    x += v.x;
    y += v.y;
    z += v.z;
    return *this;
  }
  D3DXVECTOR3& operator-=(const D3DXVECTOR3& v) {
    x -= v.x;
    y -= v.y;
    z -= v.z;
    return *this;
  }
  D3DXVECTOR3& operator*=(float f) {
    x *= f;
    y *= f;
    z *= f;
    return *this;
  }
  D3DXVECTOR3& operator/=(float f) { return *this *= 1.0f / f; }

  D3DXVECTOR3 operator+() const { return *this; }
  D3DXVECTOR3 operator-() const { return {-x, -y, -z}; }
  D3DXVECTOR3 operator+(const D3DXVECTOR3& v) const { return {x + v.x, y + v.y, z + v.z}; }
  D3DXVECTOR3 operator-(const D3DXVECTOR3& v) const { return {x - v.x, y - v.y, z - v.z}; }
  D3DXVECTOR3 operator*(float f) const { return {x * f, y * f, z * f}; }
  D3DXVECTOR3 operator/(float f) const { return *this * (1.0f / f); }
  friend D3DXVECTOR3 operator*(float f, const D3DXVECTOR3& v) { return v * f; }

  bool operator==(const D3DXVECTOR3& v) const { return x == v.x && y == v.y && z == v.z; }
  bool operator!=(const D3DXVECTOR3& v) const { return !(*this == v); }
};

struct D3DXVECTOR4 {
  float x, y, z, w;

  D3DXVECTOR4() = default;
  D3DXVECTOR4(float vx, float vy, float vz, float vw) : x(vx), y(vy), z(vz), w(vw) {}
  D3DXVECTOR4(const D3DVECTOR& v, float vw) : x(v.x), y(v.y), z(v.z), w(vw) {}

  operator float*() { return &x; }
  operator const float*() const { return &x; }

  bool operator==(const D3DXVECTOR4& v) const {
    return x == v.x && y == v.y && z == v.z && w == v.w;
  }
  bool operator!=(const D3DXVECTOR4& v) const { return !(*this == v); }
};

struct D3DXMATRIX : D3DMATRIX {
  D3DXMATRIX() = default;
  D3DXMATRIX(const D3DMATRIX& m) : D3DMATRIX(m) {}
  explicit D3DXMATRIX(const float* values);
  D3DXMATRIX(float m11, float m12, float m13, float m14, float m21, float m22, float m23, float m24,
             float m31, float m32, float m33, float m34, float m41, float m42, float m43,
             float m44);

  float& operator()(unsigned row, unsigned col) { return m[row][col]; }
  float operator()(unsigned row, unsigned col) const { return m[row][col]; }
  operator float*() { return &_11; }
  operator const float*() const { return &_11; }

  D3DXMATRIX& operator*=(const D3DXMATRIX& b);
  D3DXMATRIX& operator+=(const D3DXMATRIX& b);
  D3DXMATRIX& operator-=(const D3DXMATRIX& b);
  D3DXMATRIX& operator*=(float f);
  D3DXMATRIX& operator/=(float f) { return *this *= 1.0f / f; }

  D3DXMATRIX operator+() const { return *this; }
  D3DXMATRIX operator-() const;
  D3DXMATRIX operator*(const D3DXMATRIX& b) const;
  D3DXMATRIX operator+(const D3DXMATRIX& b) const;
  D3DXMATRIX operator-(const D3DXMATRIX& b) const;
  D3DXMATRIX operator*(float f) const;
  D3DXMATRIX operator/(float f) const { return *this * (1.0f / f); }
  friend D3DXMATRIX operator*(float f, const D3DXMATRIX& b) { return b * f; }

  bool operator==(const D3DXMATRIX& b) const;
  bool operator!=(const D3DXMATRIX& b) const { return !(*this == b); }
};

struct D3DXQUATERNION {
  float x, y, z, w;

  D3DXQUATERNION() = default;
  D3DXQUATERNION(float qx, float qy, float qz, float qw) : x(qx), y(qy), z(qz), w(qw) {}

  bool operator==(const D3DXQUATERNION& q) const {
    return x == q.x && y == q.y && z == q.z && w == q.w;
  }
  bool operator!=(const D3DXQUATERNION& q) const { return !(*this == q); }
};

// A colour with float channels (red, green, blue, alpha; nominally 0 to 1,
// not clamped) in the D3DCOLORVALUE layout.
struct D3DXCOLOR {
  float r, g, b, a;

  D3DXCOLOR() = default;
  D3DXCOLOR(float cr, float cg, float cb, float ca) : r(cr), g(cg), b(cb), a(ca) {}
  D3DXCOLOR(const D3DCOLORVALUE& c) : r(c.r), g(c.g), b(c.b), a(c.a) {}
  // From a packed 0xAARRGGBB colour.
  D3DXCOLOR(D3DCOLOR argb);

  // To a packed 0xAARRGGBB colour, each channel clamped to 0..1 and rounded.
  operator D3DCOLOR() const;
  operator D3DCOLORVALUE&() { return *reinterpret_cast<D3DCOLORVALUE*>(&r); }
  operator const D3DCOLORVALUE&() const { return *reinterpret_cast<const D3DCOLORVALUE*>(&r); }

  bool operator==(const D3DXCOLOR& c) const { return r == c.r && g == c.g && b == c.b && a == c.a; }
  bool operator!=(const D3DXCOLOR& c) const { return !(*this == c); }
};

// --- vectors ---------------------------------------------------------------

float D3DXVec3Length(const D3DXVECTOR3* v);
float D3DXVec3LengthSq(const D3DXVECTOR3* v);
float D3DXVec3Dot(const D3DXVECTOR3* a, const D3DXVECTOR3* b);
D3DXVECTOR3* D3DXVec3Cross(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b);
D3DXVECTOR3* D3DXVec3Add(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b);
D3DXVECTOR3* D3DXVec3Subtract(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b);
D3DXVECTOR3* D3DXVec3Scale(D3DXVECTOR3* out, const D3DXVECTOR3* v, float s);
// a + s * (b - a)
D3DXVECTOR3* D3DXVec3Lerp(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b, float s);
// v / |v|; the zero vector gives the zero vector.
D3DXVECTOR3* D3DXVec3Normalize(D3DXVECTOR3* out, const D3DXVECTOR3* v);
// Hermite spline from position v1 with tangent t1 (s = 0) to position v2
// with tangent t2 (s = 1).
D3DXVECTOR3* D3DXVec3Hermite(D3DXVECTOR3* out, const D3DXVECTOR3* v1, const D3DXVECTOR3* t1,
                             const D3DXVECTOR3* v2, const D3DXVECTOR3* t2, float s);
// (x, y, z, 1) * m, all four components.
D3DXVECTOR4* D3DXVec3Transform(D3DXVECTOR4* out, const D3DXVECTOR3* v, const D3DXMATRIX* m);
// (x, y, z, 1) * m, divided by the resulting w.
D3DXVECTOR3* D3DXVec3TransformCoord(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m);
// (x, y, z, 0) * m: a direction, unaffected by translation.
D3DXVECTOR3* D3DXVec3TransformNormal(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m);
// (x, y, z, w) * m.
D3DXVECTOR4* D3DXVec4Transform(D3DXVECTOR4* out, const D3DXVECTOR4* v, const D3DXMATRIX* m);

// --- matrices --------------------------------------------------------------

D3DXMATRIX* D3DXMatrixIdentity(D3DXMATRIX* out);
BOOL D3DXMatrixIsIdentity(const D3DXMATRIX* m);
// out = a * b: a acts first.
D3DXMATRIX* D3DXMatrixMultiply(D3DXMATRIX* out, const D3DXMATRIX* a, const D3DXMATRIX* b);
D3DXMATRIX* D3DXMatrixTranspose(D3DXMATRIX* out, const D3DXMATRIX* m);
float D3DXMatrixDeterminant(const D3DXMATRIX* m);
// Writes the inverse of m and, when determinant is given, m's determinant.
// When m has no inverse (a determinant of 0, or one whose reciprocal is not
// finite) out is left untouched and the result is null; the determinant is
// written all the same.
D3DXMATRIX* D3DXMatrixInverse(D3DXMATRIX* out, float* determinant, const D3DXMATRIX* m);
D3DXMATRIX* D3DXMatrixRotationX(D3DXMATRIX* out, float angle);
D3DXMATRIX* D3DXMatrixRotationY(D3DXMATRIX* out, float angle);
D3DXMATRIX* D3DXMatrixRotationZ(D3DXMATRIX* out, float angle);
// Rotation about an axis through the origin; the axis need not be of unit
// length (a zero axis gives the identity).
D3DXMATRIX* D3DXMatrixRotationAxis(D3DXMATRIX* out, const D3DXVECTOR3* axis, float angle);
// Roll about z, then pitch about x, then yaw about y.
D3DXMATRIX* D3DXMatrixRotationYawPitchRoll(D3DXMATRIX* out, float yaw, float pitch, float roll);
D3DXMATRIX* D3DXMatrixRotationQuaternion(D3DXMATRIX* out, const D3DXQUATERNION* q);
D3DXMATRIX* D3DXMatrixTranslation(D3DXMATRIX* out, float x, float y, float z);
D3DXMATRIX* D3DXMatrixScaling(D3DXMATRIX* out, float sx, float sy, float sz);
// Left-handed perspective projection: fovy is the vertical field of view,
// aspect is width / height, depth maps zn..zf to 0..1.
D3DXMATRIX* D3DXMatrixPerspectiveFovLH(D3DXMATRIX* out, float fovy, float aspect, float zn,
                                       float zf);
// Left-handed view matrix of a camera at eye looking at at, up giving the
// upward direction.
D3DXMATRIX* D3DXMatrixLookAtLH(D3DXMATRIX* out, const D3DXVECTOR3* eye, const D3DXVECTOR3* at,
                               const D3DXVECTOR3* up);

// --- quaternions -----------------------------------------------------------

D3DXQUATERNION* D3DXQuaternionNormalize(D3DXQUATERNION* out, const D3DXQUATERNION* q);
// Spherical interpolation from a (t = 0) to b (t = 1) along the shorter arc.
D3DXQUATERNION* D3DXQuaternionSlerp(D3DXQUATERNION* out, const D3DXQUATERNION* a,
                                    const D3DXQUATERNION* b, float t);

// --- matrix stack ----------------------------------------------------------

// A stack of matrices that is never empty: it starts with one level holding
// the identity, and Pop never removes the last level. The plain forms of the
// composing operations multiply on the right (top = top * m: m acts after
// the current transform, about the world origin), the Local forms on the
// left (top = m * top: about the object's own origin).
struct ID3DXMatrixStack {
  virtual unsigned long AddRef() = 0;
  virtual unsigned long Release() = 0;

  virtual HRESULT Pop() = 0;
  virtual HRESULT Push() = 0;
  virtual HRESULT LoadIdentity() = 0;
  virtual HRESULT LoadMatrix(const D3DXMATRIX* m) = 0;
  virtual HRESULT MultMatrix(const D3DXMATRIX* m) = 0;
  virtual HRESULT MultMatrixLocal(const D3DXMATRIX* m) = 0;
  virtual HRESULT RotateAxis(const D3DXVECTOR3* axis, float angle) = 0;
  virtual HRESULT RotateAxisLocal(const D3DXVECTOR3* axis, float angle) = 0;
  virtual HRESULT RotateYawPitchRoll(float yaw, float pitch, float roll) = 0;
  virtual HRESULT RotateYawPitchRollLocal(float yaw, float pitch, float roll) = 0;
  virtual HRESULT Scale(float x, float y, float z) = 0;
  virtual HRESULT ScaleLocal(float x, float y, float z) = 0;
  virtual HRESULT Translate(float x, float y, float z) = 0;
  virtual HRESULT TranslateLocal(float x, float y, float z) = 0;
  // The top matrix itself. It keeps designating the same level until that
  // level is popped. The memory stays valid after that, and after the stack
  // is released (it may then hold a level of another stack), so a pointer
  // kept too long never reaches freed memory.
  virtual D3DXMATRIX* GetTop() = 0;

 protected:
  virtual ~ID3DXMatrixStack() = default;
};

// Creates a stack of one level holding the identity, with a reference count
// of 1. flags must be 0.
HRESULT D3DXCreateMatrixStack(DWORD flags, ID3DXMatrixStack** stack);
