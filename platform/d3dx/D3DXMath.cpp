#include "platform/d3dx/D3DXMath.h"

#include <cmath>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

// --- D3DXMATRIX members ----------------------------------------------------

D3DXMATRIX::D3DXMATRIX(const float* values) {
  for (int i = 0; i < 16; ++i) m[i / 4][i % 4] = values[i];
}

D3DXMATRIX::D3DXMATRIX(float m11, float m12, float m13, float m14, float m21, float m22, float m23,
                       float m24, float m31, float m32, float m33, float m34, float m41, float m42,
                       float m43, float m44) {
  _11 = m11;
  _12 = m12;
  _13 = m13;
  _14 = m14;
  _21 = m21;
  _22 = m22;
  _23 = m23;
  _24 = m24;
  _31 = m31;
  _32 = m32;
  _33 = m33;
  _34 = m34;
  _41 = m41;
  _42 = m42;
  _43 = m43;
  _44 = m44;
}

D3DXMATRIX& D3DXMATRIX::operator*=(const D3DXMATRIX& b) {
  D3DXMatrixMultiply(this, this, &b);
  return *this;
}

D3DXMATRIX& D3DXMATRIX::operator+=(const D3DXMATRIX& b) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[r][c] += b.m[r][c];
  return *this;
}

D3DXMATRIX& D3DXMATRIX::operator-=(const D3DXMATRIX& b) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[r][c] -= b.m[r][c];
  return *this;
}

D3DXMATRIX& D3DXMATRIX::operator*=(float f) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[r][c] *= f;
  return *this;
}

D3DXMATRIX D3DXMATRIX::operator-() const { return *this * -1.0f; }

D3DXMATRIX D3DXMATRIX::operator*(const D3DXMATRIX& b) const {
  D3DXMATRIX out;
  D3DXMatrixMultiply(&out, this, &b);
  return out;
}

D3DXMATRIX D3DXMATRIX::operator+(const D3DXMATRIX& b) const {
  D3DXMATRIX out = *this;
  return out += b;
}

D3DXMATRIX D3DXMATRIX::operator-(const D3DXMATRIX& b) const {
  D3DXMATRIX out = *this;
  return out -= b;
}

D3DXMATRIX D3DXMATRIX::operator*(float f) const {
  D3DXMATRIX out = *this;
  return out *= f;
}

bool D3DXMATRIX::operator==(const D3DXMATRIX& b) const {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      if (m[r][c] != b.m[r][c]) return false;
  return true;
}

// --- D3DXCOLOR -------------------------------------------------------------

D3DXCOLOR::D3DXCOLOR(D3DCOLOR argb)
    : r(((argb >> 16) & 0xff) / 255.0f),
      g(((argb >> 8) & 0xff) / 255.0f),
      b((argb & 0xff) / 255.0f),
      a(((argb >> 24) & 0xff) / 255.0f) {}

static DWORD channelByte(float v) {
  if (!(v > 0.0f)) return 0;  // also NaN
  if (v >= 1.0f) return 255;
  return (DWORD)(v * 255.0f + 0.5f);
}

D3DXCOLOR::operator D3DCOLOR() const {
  return (channelByte(a) << 24) | (channelByte(r) << 16) | (channelByte(g) << 8) | channelByte(b);
}

// --- vectors ---------------------------------------------------------------

float D3DXVec3LengthSq(const D3DXVECTOR3* v) { return v->x * v->x + v->y * v->y + v->z * v->z; }

float D3DXVec3Length(const D3DXVECTOR3* v) { return std::sqrt(D3DXVec3LengthSq(v)); }

float D3DXVec3Dot(const D3DXVECTOR3* a, const D3DXVECTOR3* b) {
  return a->x * b->x + a->y * b->y + a->z * b->z;
}

D3DXVECTOR3* D3DXVec3Cross(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b) {
  D3DXVECTOR3 r(a->y * b->z - a->z * b->y, a->z * b->x - a->x * b->z, a->x * b->y - a->y * b->x);
  *out = r;
  return out;
}

D3DXVECTOR3* D3DXVec3Add(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b) {
  *out = D3DXVECTOR3(a->x + b->x, a->y + b->y, a->z + b->z);
  return out;
}

D3DXVECTOR3* D3DXVec3Subtract(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b) {
  *out = D3DXVECTOR3(a->x - b->x, a->y - b->y, a->z - b->z);
  return out;
}

D3DXVECTOR3* D3DXVec3Scale(D3DXVECTOR3* out, const D3DXVECTOR3* v, float s) {
  *out = D3DXVECTOR3(v->x * s, v->y * s, v->z * s);
  return out;
}

D3DXVECTOR3* D3DXVec3Lerp(D3DXVECTOR3* out, const D3DXVECTOR3* a, const D3DXVECTOR3* b, float s) {
  *out = D3DXVECTOR3(a->x + s * (b->x - a->x), a->y + s * (b->y - a->y), a->z + s * (b->z - a->z));
  return out;
}

D3DXVECTOR3* D3DXVec3Normalize(D3DXVECTOR3* out, const D3DXVECTOR3* v) {
  float length = D3DXVec3Length(v);
  if (length == 0.0f) {
    *out = D3DXVECTOR3(0.0f, 0.0f, 0.0f);
  } else {
    float inv = 1.0f / length;
    *out = D3DXVECTOR3(v->x * inv, v->y * inv, v->z * inv);
  }
  return out;
}

D3DXVECTOR3* D3DXVec3Hermite(D3DXVECTOR3* out, const D3DXVECTOR3* v1, const D3DXVECTOR3* t1,
                             const D3DXVECTOR3* v2, const D3DXVECTOR3* t2, float s) {
  float s2 = s * s, s3 = s2 * s;
  float h1 = 2.0f * s3 - 3.0f * s2 + 1.0f;
  float h2 = s3 - 2.0f * s2 + s;
  float h3 = -2.0f * s3 + 3.0f * s2;
  float h4 = s3 - s2;
  *out = D3DXVECTOR3(h1 * v1->x + h2 * t1->x + h3 * v2->x + h4 * t2->x,
                     h1 * v1->y + h2 * t1->y + h3 * v2->y + h4 * t2->y,
                     h1 * v1->z + h2 * t1->z + h3 * v2->z + h4 * t2->z);
  return out;
}

// (x, y, z, w) times m.
static D3DXVECTOR4 rowTimes(float x, float y, float z, float w, const D3DXMATRIX& m) {
  return D3DXVECTOR4(
      x * m._11 + y * m._21 + z * m._31 + w * m._41, x * m._12 + y * m._22 + z * m._32 + w * m._42,
      x * m._13 + y * m._23 + z * m._33 + w * m._43, x * m._14 + y * m._24 + z * m._34 + w * m._44);
}

D3DXVECTOR4* D3DXVec3Transform(D3DXVECTOR4* out, const D3DXVECTOR3* v, const D3DXMATRIX* m) {
  *out = rowTimes(v->x, v->y, v->z, 1.0f, *m);
  return out;
}

D3DXVECTOR3* D3DXVec3TransformCoord(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m) {
  D3DXVECTOR4 r = rowTimes(v->x, v->y, v->z, 1.0f, *m);
  float inv = 1.0f / r.w;
  *out = D3DXVECTOR3(r.x * inv, r.y * inv, r.z * inv);
  return out;
}

D3DXVECTOR3* D3DXVec3TransformNormal(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m) {
  D3DXVECTOR4 r = rowTimes(v->x, v->y, v->z, 0.0f, *m);
  *out = D3DXVECTOR3(r.x, r.y, r.z);
  return out;
}

D3DXVECTOR4* D3DXVec4Transform(D3DXVECTOR4* out, const D3DXVECTOR4* v, const D3DXMATRIX* m) {
  *out = rowTimes(v->x, v->y, v->z, v->w, *m);
  return out;
}

// --- matrices --------------------------------------------------------------

D3DXMATRIX* D3DXMatrixIdentity(D3DXMATRIX* out) {
  *out = D3DXMATRIX(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1);
  return out;
}

BOOL D3DXMatrixIsIdentity(const D3DXMATRIX* m) {
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  return *m == identity ? TRUE : FALSE;
}

D3DXMATRIX* D3DXMatrixMultiply(D3DXMATRIX* out, const D3DXMATRIX* a, const D3DXMATRIX* b) {
  D3DXMATRIX r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      r.m[i][j] = a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j] + a->m[i][2] * b->m[2][j] +
                  a->m[i][3] * b->m[3][j];
  *out = r;
  return out;
}

D3DXMATRIX* D3DXMatrixTranspose(D3DXMATRIX* out, const D3DXMATRIX* m) {
  D3DXMATRIX r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.m[i][j] = m->m[j][i];
  *out = r;
  return out;
}

namespace {

// The cofactor matrix of m (not yet transposed) and its determinant,
// computed in double from the 2x2 minors of the upper and lower row pairs.
struct Cofactors {
  double c[4][4];
  double determinant;
};

Cofactors cofactors(const D3DXMATRIX& mat) {
  double a[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) a[i][j] = mat.m[i][j];

  // Minors of rows 0-1 and of rows 2-3 for each column pair.
  double s0 = a[0][0] * a[1][1] - a[1][0] * a[0][1];
  double s1 = a[0][0] * a[1][2] - a[1][0] * a[0][2];
  double s2 = a[0][0] * a[1][3] - a[1][0] * a[0][3];
  double s3 = a[0][1] * a[1][2] - a[1][1] * a[0][2];
  double s4 = a[0][1] * a[1][3] - a[1][1] * a[0][3];
  double s5 = a[0][2] * a[1][3] - a[1][2] * a[0][3];
  double c5 = a[2][2] * a[3][3] - a[3][2] * a[2][3];
  double c4 = a[2][1] * a[3][3] - a[3][1] * a[2][3];
  double c3 = a[2][1] * a[3][2] - a[3][1] * a[2][2];
  double c2 = a[2][0] * a[3][3] - a[3][0] * a[2][3];
  double c1 = a[2][0] * a[3][2] - a[3][0] * a[2][2];
  double c0 = a[2][0] * a[3][1] - a[3][0] * a[2][1];

  Cofactors r;
  r.determinant = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
  // Adjugate entries (already transposed): inverse = adj / det.
  r.c[0][0] = a[1][1] * c5 - a[1][2] * c4 + a[1][3] * c3;
  r.c[0][1] = -a[0][1] * c5 + a[0][2] * c4 - a[0][3] * c3;
  r.c[0][2] = a[3][1] * s5 - a[3][2] * s4 + a[3][3] * s3;
  r.c[0][3] = -a[2][1] * s5 + a[2][2] * s4 - a[2][3] * s3;
  r.c[1][0] = -a[1][0] * c5 + a[1][2] * c2 - a[1][3] * c1;
  r.c[1][1] = a[0][0] * c5 - a[0][2] * c2 + a[0][3] * c1;
  r.c[1][2] = -a[3][0] * s5 + a[3][2] * s2 - a[3][3] * s1;
  r.c[1][3] = a[2][0] * s5 - a[2][2] * s2 + a[2][3] * s1;
  r.c[2][0] = a[1][0] * c4 - a[1][1] * c2 + a[1][3] * c0;
  r.c[2][1] = -a[0][0] * c4 + a[0][1] * c2 - a[0][3] * c0;
  r.c[2][2] = a[3][0] * s4 - a[3][1] * s2 + a[3][3] * s0;
  r.c[2][3] = -a[2][0] * s4 + a[2][1] * s2 - a[2][3] * s0;
  r.c[3][0] = -a[1][0] * c3 + a[1][1] * c1 - a[1][2] * c0;
  r.c[3][1] = a[0][0] * c3 - a[0][1] * c1 + a[0][2] * c0;
  r.c[3][2] = -a[3][0] * s3 + a[3][1] * s1 - a[3][2] * s0;
  r.c[3][3] = a[2][0] * s3 - a[2][1] * s1 + a[2][2] * s0;
  return r;
}

}  // namespace

float D3DXMatrixDeterminant(const D3DXMATRIX* m) { return (float)cofactors(*m).determinant; }

D3DXMATRIX* D3DXMatrixInverse(D3DXMATRIX* out, float* determinant, const D3DXMATRIX* m) {
  Cofactors adj = cofactors(*m);
  float det = (float)adj.determinant;
  if (determinant) *determinant = det;
  if (det == 0.0f || !std::isfinite(1.0f / det)) return nullptr;
  double inv = 1.0 / adj.determinant;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out->m[i][j] = (float)(adj.c[i][j] * inv);
  return out;
}

D3DXMATRIX* D3DXMatrixRotationX(D3DXMATRIX* out, float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  *out = D3DXMATRIX(1, 0, 0, 0, 0, c, s, 0, 0, -s, c, 0, 0, 0, 0, 1);
  return out;
}

D3DXMATRIX* D3DXMatrixRotationY(D3DXMATRIX* out, float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  *out = D3DXMATRIX(c, 0, -s, 0, 0, 1, 0, 0, s, 0, c, 0, 0, 0, 0, 1);
  return out;
}

D3DXMATRIX* D3DXMatrixRotationZ(D3DXMATRIX* out, float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  *out = D3DXMATRIX(c, s, 0, 0, -s, c, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1);
  return out;
}

D3DXMATRIX* D3DXMatrixRotationAxis(D3DXMATRIX* out, const D3DXVECTOR3* axis, float angle) {
  D3DXVECTOR3 n;
  D3DXVec3Normalize(&n, axis);
  // Without an axis there is nothing to turn about; the formula below would
  // scale by cos(angle) instead.
  if (n.x == 0.0f && n.y == 0.0f && n.z == 0.0f) return D3DXMatrixIdentity(out);
  float c = std::cos(angle), s = std::sin(angle), t = 1.0f - c;
  float x = n.x, y = n.y, z = n.z;
  *out = D3DXMATRIX(t * x * x + c, t * x * y + s * z, t * x * z - s * y, 0, t * x * y - s * z,
                    t * y * y + c, t * y * z + s * x, 0, t * x * z + s * y, t * y * z - s * x,
                    t * z * z + c, 0, 0, 0, 0, 1);
  return out;
}

D3DXMATRIX* D3DXMatrixRotationYawPitchRoll(D3DXMATRIX* out, float yaw, float pitch, float roll) {
  D3DXMATRIX rz, rx, ry;
  D3DXMatrixRotationZ(&rz, roll);
  D3DXMatrixRotationX(&rx, pitch);
  D3DXMatrixRotationY(&ry, yaw);
  *out = rz * rx * ry;
  return out;
}

D3DXMATRIX* D3DXMatrixRotationQuaternion(D3DXMATRIX* out, const D3DXQUATERNION* q) {
  float x = q->x, y = q->y, z = q->z, w = q->w;
  *out =
      D3DXMATRIX(1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w), 0,
                 2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w), 0,
                 2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y), 0, 0, 0, 0, 1);
  return out;
}

D3DXMATRIX* D3DXMatrixTranslation(D3DXMATRIX* out, float x, float y, float z) {
  *out = D3DXMATRIX(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, x, y, z, 1);
  return out;
}

D3DXMATRIX* D3DXMatrixScaling(D3DXMATRIX* out, float sx, float sy, float sz) {
  *out = D3DXMATRIX(sx, 0, 0, 0, 0, sy, 0, 0, 0, 0, sz, 0, 0, 0, 0, 1);
  return out;
}

D3DXMATRIX* D3DXMatrixPerspectiveFovLH(D3DXMATRIX* out, float fovy, float aspect, float zn,
                                       float zf) {
  float yScale = 1.0f / std::tan(fovy / 2.0f);
  float xScale = yScale / aspect;
  float depth = zf / (zf - zn);
  *out = D3DXMATRIX(xScale, 0, 0, 0, 0, yScale, 0, 0, 0, 0, depth, 1, 0, 0, -zn * depth, 0);
  return out;
}

D3DXMATRIX* D3DXMatrixLookAtLH(D3DXMATRIX* out, const D3DXVECTOR3* eye, const D3DXVECTOR3* at,
                               const D3DXVECTOR3* up) {
  D3DXVECTOR3 zaxis, xaxis, yaxis, forward = *at - *eye;
  D3DXVec3Normalize(&zaxis, &forward);
  D3DXVec3Cross(&xaxis, up, &zaxis);
  D3DXVec3Normalize(&xaxis, &xaxis);
  D3DXVec3Cross(&yaxis, &zaxis, &xaxis);
  *out = D3DXMATRIX(xaxis.x, yaxis.x, zaxis.x, 0, xaxis.y, yaxis.y, zaxis.y, 0, xaxis.z, yaxis.z,
                    zaxis.z, 0, -D3DXVec3Dot(&xaxis, eye), -D3DXVec3Dot(&yaxis, eye),
                    -D3DXVec3Dot(&zaxis, eye), 1);
  return out;
}

// --- quaternions -----------------------------------------------------------

D3DXQUATERNION* D3DXQuaternionNormalize(D3DXQUATERNION* out, const D3DXQUATERNION* q) {
  float length = std::sqrt(q->x * q->x + q->y * q->y + q->z * q->z + q->w * q->w);
  if (length == 0.0f) {
    *out = D3DXQUATERNION(0, 0, 0, 0);
  } else {
    float inv = 1.0f / length;
    *out = D3DXQUATERNION(q->x * inv, q->y * inv, q->z * inv, q->w * inv);
  }
  return out;
}

D3DXQUATERNION* D3DXQuaternionSlerp(D3DXQUATERNION* out, const D3DXQUATERNION* a,
                                    const D3DXQUATERNION* b, float t) {
  float cosine = a->x * b->x + a->y * b->y + a->z * b->z + a->w * b->w;
  float sign = 1.0f;
  if (cosine < 0.0f) {
    cosine = -cosine;
    sign = -1.0f;
  }
  float wa = 1.0f - t, wb = t;
  if (cosine < 0.9999f) {
    float angle = std::acos(cosine);
    float inv = 1.0f / std::sin(angle);
    wa = std::sin((1.0f - t) * angle) * inv;
    wb = std::sin(t * angle) * inv;
  }
  wb *= sign;
  *out = D3DXQUATERNION(wa * a->x + wb * b->x, wa * a->y + wb * b->y, wa * a->z + wb * b->z,
                        wa * a->w + wb * b->w);
  return out;
}

// --- matrix stack ----------------------------------------------------------

namespace {

using Levels = std::deque<D3DXMATRIX>;

// The level storage of released stacks, handed to the stacks made later.
// Storage is never freed and popped levels stay in place, so a pointer from
// GetTop that is held past its level or its stack (a script can pass the
// top by reference to a function that pops or drops the stack) still
// points into matrices, never into freed memory. The list itself is never
// destroyed either: stacks may be released by the exit handlers.
struct SpareLevels {
  std::mutex lock;
  std::vector<std::unique_ptr<Levels>> list;
};
SpareLevels& spareLevels() {
  static SpareLevels* spare = new SpareLevels;
  return *spare;
}

class MatrixStack final : public ID3DXMatrixStack {
 public:
  MatrixStack() {
    {
      SpareLevels& spare = spareLevels();
      std::lock_guard<std::mutex> hold(spare.lock);
      if (!spare.list.empty()) {
        levels_ = std::move(spare.list.back());
        spare.list.pop_back();
      }
    }
    if (!levels_) levels_ = std::make_unique<Levels>();
    if (levels_->empty()) levels_->emplace_back();
    D3DXMatrixIdentity(&levels_->front());
  }

  unsigned long AddRef() override { return ++references_; }
  unsigned long Release() override {
    unsigned long left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT Pop() override {
    if (depth_ > 1) --depth_;
    return S_OK;
  }
  HRESULT Push() override {
    // A deque keeps the addresses of the existing levels, so a pointer from
    // GetTop stays valid across later pushes.
    const D3DXMATRIX top = *GetTop();
    if (depth_ == levels_->size())
      levels_->push_back(top);
    else
      (*levels_)[depth_] = top;
    ++depth_;
    return S_OK;
  }
  HRESULT LoadIdentity() override {
    D3DXMatrixIdentity(GetTop());
    return S_OK;
  }
  HRESULT LoadMatrix(const D3DXMATRIX* m) override {
    *GetTop() = *m;
    return S_OK;
  }
  HRESULT MultMatrix(const D3DXMATRIX* m) override {
    D3DXMatrixMultiply(GetTop(), GetTop(), m);
    return S_OK;
  }
  HRESULT MultMatrixLocal(const D3DXMATRIX* m) override {
    D3DXMatrixMultiply(GetTop(), m, GetTop());
    return S_OK;
  }
  HRESULT RotateAxis(const D3DXVECTOR3* axis, float angle) override {
    D3DXMATRIX r;
    return MultMatrix(D3DXMatrixRotationAxis(&r, axis, angle));
  }
  HRESULT RotateAxisLocal(const D3DXVECTOR3* axis, float angle) override {
    D3DXMATRIX r;
    return MultMatrixLocal(D3DXMatrixRotationAxis(&r, axis, angle));
  }
  HRESULT RotateYawPitchRoll(float yaw, float pitch, float roll) override {
    D3DXMATRIX r;
    return MultMatrix(D3DXMatrixRotationYawPitchRoll(&r, yaw, pitch, roll));
  }
  HRESULT RotateYawPitchRollLocal(float yaw, float pitch, float roll) override {
    D3DXMATRIX r;
    return MultMatrixLocal(D3DXMatrixRotationYawPitchRoll(&r, yaw, pitch, roll));
  }
  HRESULT Scale(float x, float y, float z) override {
    D3DXMATRIX s;
    return MultMatrix(D3DXMatrixScaling(&s, x, y, z));
  }
  HRESULT ScaleLocal(float x, float y, float z) override {
    D3DXMATRIX s;
    return MultMatrixLocal(D3DXMatrixScaling(&s, x, y, z));
  }
  HRESULT Translate(float x, float y, float z) override {
    D3DXMATRIX t;
    return MultMatrix(D3DXMatrixTranslation(&t, x, y, z));
  }
  HRESULT TranslateLocal(float x, float y, float z) override {
    D3DXMATRIX t;
    return MultMatrixLocal(D3DXMatrixTranslation(&t, x, y, z));
  }
  D3DXMATRIX* GetTop() override { return &(*levels_)[depth_ - 1]; }

 private:
  ~MatrixStack() override {
    SpareLevels& spare = spareLevels();
    std::lock_guard<std::mutex> hold(spare.lock);
    spare.list.push_back(std::move(levels_));
  }

  std::unique_ptr<Levels> levels_;  // levels_[0, depth_) are the stack's
  size_t depth_ = 1;
  unsigned long references_ = 1;
};

}  // namespace

HRESULT D3DXCreateMatrixStack(DWORD flags, ID3DXMatrixStack** stack) {
  if (!stack) return E_INVALIDARG;
  *stack = nullptr;
  if (flags != 0) return E_INVALIDARG;
  MatrixStack* created = new (std::nothrow) MatrixStack();
  if (!created) return E_OUTOFMEMORY;
  *stack = created;
  return S_OK;
}
