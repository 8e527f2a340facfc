#include <gtest/gtest.h>

#include <cmath>

#include "platform/d3dx/D3DXMath.h"

namespace {

D3DXVECTOR3 transformPoint(const D3DXVECTOR3& p, const D3DXMATRIX& m) {
  D3DXVECTOR3 out;
  D3DXVec3TransformCoord(&out, &p, &m);
  return out;
}

void expectNear(const D3DXVECTOR3& got, const D3DXVECTOR3& want, float eps = 1e-5f) {
  EXPECT_NEAR(got.x, want.x, eps);
  EXPECT_NEAR(got.y, want.y, eps);
  EXPECT_NEAR(got.z, want.z, eps);
}

void expectNear(const D3DXMATRIX& got, const D3DXMATRIX& want, float eps = 1e-5f) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(got.m[r][c], want.m[r][c], eps) << r << "," << c;
}

D3DXMATRIX identity() {
  D3DXMATRIX m;
  return *D3DXMatrixIdentity(&m);
}

}  // namespace

TEST(D3DXMath, VectorBasics) {
  D3DXVECTOR3 zero(0, 0, 0), v(3, 0, 4), out(9, 9, 9);
  EXPECT_EQ(*D3DXVec3Normalize(&out, &zero), zero);
  expectNear(*D3DXVec3Normalize(&out, &v), D3DXVECTOR3(0.6f, 0, 0.8f));
  EXPECT_FLOAT_EQ(D3DXVec3Length(&v), 5.0f);
  EXPECT_FLOAT_EQ(D3DXVec3LengthSq(&v), 25.0f);

  D3DXVECTOR3 x(1, 0, 0), y(0, 1, 0);
  EXPECT_EQ(*D3DXVec3Cross(&out, &x, &y), D3DXVECTOR3(0, 0, 1));
  EXPECT_EQ(D3DXVec3Dot(&x, &y), 0.0f);
  // Output aliasing an input.
  D3DXVECTOR3 a(1, 2, 3);
  D3DXVec3Cross(&a, &a, &x);
  EXPECT_EQ(a, D3DXVECTOR3(0, 3, -2));

  D3DXVECTOR3 p(2, 4, 6);
  EXPECT_EQ(*D3DXVec3Lerp(&out, &zero, &p, 0.5f), D3DXVECTOR3(1, 2, 3));
  EXPECT_EQ(*D3DXVec3Scale(&out, &p, 0.5f), D3DXVECTOR3(1, 2, 3));
  EXPECT_EQ(*D3DXVec3Add(&out, &p, &x), D3DXVECTOR3(3, 4, 6));
  EXPECT_EQ(*D3DXVec3Subtract(&out, &p, &x), D3DXVECTOR3(1, 4, 6));
}

TEST(D3DXMath, HermiteHitsEndpointsAndTangents) {
  D3DXVECTOR3 v1(0, 0, 0), t1(1, 0, 0), v2(1, 1, 0), t2(0, 1, 0), out;
  EXPECT_EQ(*D3DXVec3Hermite(&out, &v1, &t1, &v2, &t2, 0.0f), v1);
  EXPECT_EQ(*D3DXVec3Hermite(&out, &v1, &t1, &v2, &t2, 1.0f), v2);
  // Midpoint: 0.5 v1 + 0.125 t1 + 0.5 v2 - 0.125 t2.
  expectNear(*D3DXVec3Hermite(&out, &v1, &t1, &v2, &t2, 0.5f), D3DXVECTOR3(0.625f, 0.375f, 0));
  // Straight line with matching tangents stays linear.
  D3DXVECTOR3 a(0, 0, 0), b(3, 0, 0), t(3, 0, 0);
  expectNear(*D3DXVec3Hermite(&out, &a, &t, &b, &t, 0.25f), D3DXVECTOR3(0.75f, 0, 0));
}

TEST(D3DXMath, RowVectorConventions) {
  D3DXMATRIX t, s, r;
  D3DXMatrixTranslation(&t, 1, 0, 0);
  D3DXMatrixScaling(&s, 2, 2, 2);
  D3DXVECTOR3 origin(0, 0, 0);
  expectNear(transformPoint(origin, t * s), D3DXVECTOR3(2, 0, 0));  // t acts first
  expectNear(transformPoint(origin, s * t), D3DXVECTOR3(1, 0, 0));

  struct Case {
    const char* name;
    D3DXMATRIX m;
    D3DXVECTOR3 in, out;
  };
  const float h = (float)M_PI / 2;
  D3DXVECTOR3 zAxis(0, 0, 1), skew(1, 1, 1), none(0, 0, 0);
  const Case cases[] = {
      {"rotX", *D3DXMatrixRotationX(&r, h), {0, 1, 0}, {0, 0, 1}},
      {"rotY", *D3DXMatrixRotationY(&r, h), {0, 0, 1}, {1, 0, 0}},
      {"rotZ", *D3DXMatrixRotationZ(&r, h), {1, 0, 0}, {0, 1, 0}},
      {"axisZ unnormalised", *D3DXMatrixRotationAxis(&r, &(zAxis *= 5), h), {1, 0, 0}, {0, 1, 0}},
      {"axis 111 third turn",
       *D3DXMatrixRotationAxis(&r, &skew, 2 * (float)M_PI / 3),
       {1, 0, 0},
       {0, 1, 0}},
      // No axis, no rotation: the point neither turns nor shrinks.
      {"zero axis", *D3DXMatrixRotationAxis(&r, &none, h), {1, 2, 3}, {1, 2, 3}},
      {"yaw", *D3DXMatrixRotationYawPitchRoll(&r, h, 0, 0), {0, 0, 1}, {1, 0, 0}},
      {"pitch", *D3DXMatrixRotationYawPitchRoll(&r, 0, h, 0), {0, 1, 0}, {0, 0, 1}},
      {"roll", *D3DXMatrixRotationYawPitchRoll(&r, 0, 0, h), {1, 0, 0}, {0, 1, 0}},
      // Roll first, then pitch, then yaw: x -> y -> z -> x.
      {"roll pitch yaw", *D3DXMatrixRotationYawPitchRoll(&r, h, h, h), {1, 0, 0}, {1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectNear(transformPoint(c.in, c.m), c.out);
  }

  D3DXVECTOR3 n;
  D3DXVECTOR3 dir(1, 0, 0);
  EXPECT_EQ(*D3DXVec3TransformNormal(&n, &dir, &t), dir);  // no translation for directions
  D3DXVECTOR4 w;
  D3DXMATRIX proj;
  D3DXMatrixPerspectiveFovLH(&proj, 1.0f, 1.0f, 1.0f, 10.0f);
  D3DXVECTOR3 p(1, 1, 5);
  D3DXVec3Transform(&w, &p, &proj);
  EXPECT_FLOAT_EQ(w.w, 5.0f);  // undivided: w is the view depth
}

TEST(D3DXMath, InverseDeterminantAndTranspose) {
  D3DXMATRIX m = identity(), out = identity();
  float det = -1;
  ASSERT_NE(D3DXMatrixInverse(&out, &det, &m), nullptr);
  EXPECT_EQ(det, 1.0f);
  EXPECT_EQ(out, identity());

  D3DXMATRIX s, half;
  D3DXMatrixScaling(&s, 2, 2, 2);
  D3DXMatrixScaling(&half, 0.5f, 0.5f, 0.5f);
  ASSERT_NE(D3DXMatrixInverse(&out, &det, &s), nullptr);
  EXPECT_EQ(det, 8.0f);
  EXPECT_EQ(out, half);

  D3DXMATRIX rt, rot, tr;
  D3DXVECTOR3 axis(1, 2, 3);
  D3DXMatrixRotationAxis(&rot, &axis, 0.7f);
  D3DXMatrixTranslation(&tr, 4, -5, 6);
  rt = rot * tr;
  ASSERT_NE(D3DXMatrixInverse(&out, &det, &rt), nullptr);
  EXPECT_NEAR(det, 1.0f, 1e-5f);
  expectNear(rt * out, identity());
  EXPECT_NEAR(D3DXMatrixDeterminant(&rt), 1.0f, 1e-5f);

  // Singular matrices: null result, output untouched, determinant still given.
  D3DXMATRIX flat, tiny, sentinel = tr;
  D3DXMatrixScaling(&flat, 1, 0, 1);
  D3DXMatrixScaling(&tiny, 1e-20f, 1e-20f, 1);
  for (D3DXMATRIX* singular : {&flat, &tiny}) {
    out = sentinel;
    EXPECT_EQ(D3DXMatrixInverse(&out, &det, singular), nullptr);
    EXPECT_EQ(out, sentinel);
  }
  EXPECT_EQ(D3DXMatrixInverse(&out, nullptr, &s), &out);

  D3DXMATRIX tt;
  D3DXMatrixTranspose(&tt, &tr);
  EXPECT_EQ(tt._14, 4.0f);
  EXPECT_EQ(tt._41, 0.0f);
  D3DXMatrixTranspose(&tt, &tt);
  EXPECT_EQ(tt, tr);
}

TEST(D3DXMath, PerspectiveAndLookAt) {
  D3DXMATRIX p;
  D3DXMatrixPerspectiveFovLH(&p, (float)M_PI / 2, 2.0f, 1.0f, 11.0f);
  EXPECT_NEAR(p._22, 1.0f, 1e-6f);  // cot(45 degrees)
  EXPECT_NEAR(p._11, 0.5f, 1e-6f);  // divided by aspect
  EXPECT_NEAR(p._33, 1.1f, 1e-6f);
  EXPECT_EQ(p._34, 1.0f);
  EXPECT_NEAR(p._43, -1.1f, 1e-6f);
  EXPECT_EQ(p._44, 0.0f);
  // Near plane maps to depth 0, far plane to depth 1.
  D3DXVECTOR3 nearPoint(0, 0, 1), farPoint(0, 0, 11);
  EXPECT_NEAR(transformPoint(nearPoint, p).z, 0.0f, 1e-6f);
  EXPECT_NEAR(transformPoint(farPoint, p).z, 1.0f, 1e-6f);

  D3DXMATRIX v;
  D3DXVECTOR3 eye(0, 0, -5), at(0, 0, 0), up(0, 1, 0);
  D3DXMatrixLookAtLH(&v, &eye, &at, &up);
  expectNear(transformPoint(at, v), D3DXVECTOR3(0, 0, 5));
  D3DXVECTOR3 right(1, 0, -5);
  expectNear(transformPoint(right, v), D3DXVECTOR3(1, 0, 0));
  // Looking down +x from the origin: +z of the world is to the camera's left.
  D3DXVECTOR3 o(0, 0, 0), px(10, 0, 0), pz(0, 0, 1), py(0, 2, 0);
  D3DXMatrixLookAtLH(&v, &o, &px, &up);
  expectNear(transformPoint(px, v), D3DXVECTOR3(0, 0, 10));
  expectNear(transformPoint(pz, v), D3DXVECTOR3(-1, 0, 0));
  expectNear(transformPoint(py, v), D3DXVECTOR3(0, 2, 0));
}

TEST(D3DXMath, ColorPacking) {
  D3DXCOLOR c(D3DCOLOR_ARGB(0x80, 0xff, 0x00, 0x33));
  EXPECT_FLOAT_EQ(c.r, 1.0f);
  EXPECT_FLOAT_EQ(c.g, 0.0f);
  EXPECT_FLOAT_EQ(c.b, 0.2f);
  EXPECT_FLOAT_EQ(c.a, 128 / 255.0f);
  EXPECT_EQ((D3DCOLOR)c, D3DCOLOR_ARGB(0x80, 0xff, 0x00, 0x33));
  EXPECT_EQ((D3DCOLOR)D3DXCOLOR(2.0f, -1.0f, NAN, 0.5f), D3DCOLOR_ARGB(0x80, 0xff, 0, 0));
}

TEST(D3DXMath, QuaternionRotationAndSlerp) {
  const float s = std::sqrt(0.5f);
  D3DXQUATERNION id(0, 0, 0, 1), quarterZ(0, 0, s, s), q;
  D3DXMATRIX m, rz;
  expectNear(*D3DXMatrixRotationQuaternion(&m, &quarterZ),
             *D3DXMatrixRotationZ(&rz, (float)M_PI / 2));
  D3DXQuaternionSlerp(&q, &id, &quarterZ, 0.5f);
  expectNear(*D3DXMatrixRotationQuaternion(&m, &q), *D3DXMatrixRotationZ(&rz, (float)M_PI / 4));
  // The opposite sign describes the same rotation: slerp takes the short way.
  D3DXQUATERNION negated(0, 0, -s, -s);
  D3DXQuaternionSlerp(&q, &id, &negated, 0.5f);
  expectNear(*D3DXMatrixRotationQuaternion(&m, &q), *D3DXMatrixRotationZ(&rz, (float)M_PI / 4));
}

TEST(D3DXMatrixStack, StartsAtIdentityAndKeepsItsBottomLevel) {
  ID3DXMatrixStack* stack = nullptr;
  ASSERT_EQ(D3DXCreateMatrixStack(0, &stack), S_OK);
  EXPECT_EQ(*stack->GetTop(), identity());
  D3DXMATRIX t;
  D3DXMatrixTranslation(&t, 1, 2, 3);
  stack->LoadMatrix(&t);
  EXPECT_EQ(stack->Pop(), S_OK);  // one level: nothing removed
  EXPECT_EQ(*stack->GetTop(), t);

  D3DXMATRIX* bottom = stack->GetTop();
  stack->Push();
  EXPECT_EQ(*stack->GetTop(), t);  // a push copies the top
  for (int i = 0; i < 100; ++i) stack->Push();
  EXPECT_EQ(*bottom, t);  // earlier levels keep their addresses
  for (int i = 0; i < 100; ++i) stack->Pop();
  stack->LoadIdentity();
  stack->Pop();
  EXPECT_EQ(stack->GetTop(), bottom);
  EXPECT_EQ(*stack->GetTop(), t);

  EXPECT_EQ(stack->AddRef(), 2u);
  EXPECT_EQ(stack->Release(), 1u);
  EXPECT_EQ(stack->Release(), 0u);
  EXPECT_EQ(D3DXCreateMatrixStack(1, &stack), E_INVALIDARG);
  EXPECT_EQ(stack, nullptr);
}

TEST(D3DXMatrixStack, PlainFormsMultiplyRightLocalFormsLeft) {
  ID3DXMatrixStack* stack = nullptr;
  ASSERT_EQ(D3DXCreateMatrixStack(0, &stack), S_OK);
  D3DXVECTOR3 origin(0, 0, 0), zAxis(0, 0, 1), x(1, 0, 0);
  stack->Translate(1, 0, 0);
  stack->Scale(2, 2, 2);
  expectNear(transformPoint(origin, *stack->GetTop()), D3DXVECTOR3(2, 0, 0));
  stack->LoadIdentity();
  stack->TranslateLocal(1, 0, 0);
  stack->ScaleLocal(2, 2, 2);
  expectNear(transformPoint(origin, *stack->GetTop()), D3DXVECTOR3(1, 0, 0));

  stack->LoadIdentity();
  stack->Translate(1, 0, 0);
  stack->RotateAxis(&zAxis, (float)M_PI / 2);  // rotates the translated point
  expectNear(transformPoint(origin, *stack->GetTop()), D3DXVECTOR3(0, 1, 0));
  stack->LoadIdentity();
  stack->Translate(1, 0, 0);
  stack->RotateAxisLocal(&zAxis, (float)M_PI / 2);  // rotates about the object's origin
  expectNear(transformPoint(x, *stack->GetTop()), D3DXVECTOR3(1, 1, 0));
  stack->LoadIdentity();
  stack->Translate(1, 0, 0);
  stack->RotateYawPitchRoll(0, 0, (float)M_PI / 2);
  expectNear(transformPoint(origin, *stack->GetTop()), D3DXVECTOR3(0, 1, 0));
  stack->LoadIdentity();
  stack->Translate(1, 0, 0);
  stack->RotateYawPitchRollLocal(0, 0, (float)M_PI / 2);
  expectNear(transformPoint(x, *stack->GetTop()), D3DXVECTOR3(1, 1, 0));

  D3DXMATRIX a, b;
  D3DXMatrixTranslation(&a, 1, 0, 0);
  D3DXMatrixScaling(&b, 3, 3, 3);
  stack->LoadIdentity();
  stack->MultMatrix(&a);
  stack->MultMatrix(&b);
  EXPECT_EQ(*stack->GetTop(), a * b);
  stack->LoadIdentity();
  stack->MultMatrixLocal(&a);
  stack->MultMatrixLocal(&b);
  EXPECT_EQ(*stack->GetTop(), b * a);
  stack->Release();
}
