// vector3, color and matrix4 as scripts see them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/fake_device.h"
#include "tests/math_script_fixture.h"

namespace {

const float kInf = std::numeric_limits<float>::infinity();

struct VectorCase {
  const char* body;  // an expression, or statements starting with '{'
  float x, y, z;
};

std::string functionText(const std::string& type, size_t i, const std::string& body) {
  std::string text = type + " t" + std::to_string(i) + "() ";
  if (body[0] == '{') return text + body + "\n";
  return text + "{ return " + body + "; }\n";
}

void expectSame(float got, float want, const std::string& what) {
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << what << " gave " << got;
  } else if (std::isinf(want)) {
    EXPECT_EQ(got, want) << what;
  } else {
    EXPECT_NEAR(got, want, 1e-5f) << what;
  }
}

void expectMatrix(const D3DXMATRIX& got, const D3DXMATRIX& want, const std::string& what) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      expectSame(got.m[r][c], want.m[r][c],
                 what + " _" + std::to_string(r + 1) + std::to_string(c + 1));
}

}  // namespace

TEST(ScriptMath, AllRegistrationsSucceed) {
  LogCapture log;
  MathScript script(false);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_TRUE(script.build("void f() { vector3 v; color c; matrix4 m; matrixStack s; vectorN n; }"))
      << script.messages();
}

TEST(ScriptMath, ARejectedRegistrationIsReportedOnceAndTheRestStillRegister) {
  LogCapture log;
  asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  engine->SetMessageCallback(asFUNCTION(+[](const asSMessageInfo*, void*) {}), nullptr,
                             asCALL_CDECL);
  engine->RegisterObjectType("color", 16, asOBJ_VALUE | asOBJ_POD);  // clashes with the module's
  initD3DXVector3(engine);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"TQScrip - initD3DXVector3 failed"});
  EXPECT_NE(engine->GetTypeInfoByName("vectorN"), nullptr);
  EXPECT_NE(engine->GetTypeInfoByName("matrixStack"), nullptr);
  engine->ShutDownAndRelease();
}

TEST(ScriptMath, FloatResults) {
  struct Case {
    const char* body;
    float want;
  } cases[] = {
      {"vector3(3, 0, 4).length()", 5},
      {"vector3(3, 0, 4).lengthsq()", 25},
      {"vector3(1, 2, 3).lengthsq()", 14},
      {"dot(vector3(1, 0, 0), vector3(0, 1, 0))", 0},
      {"dot(vector3(1, 2, 3), vector3(4, -5, 6))", 12},
      {"{ color c(0.25, 0.5, 0.75, 1); return c.r + c.g * 10 + c.b * 100 + c.a * 1000; }",
       1080.25f},
      {"{ matrix4 m; m.identity(); return m.inverse(); }", 1},
      {"{ matrix4 m; m.scaling(vector3(2, 2, 2)); return m.inverse(); }", 8},
      {"{ matrix4 m; m.scaling(vector3(1, 0, 1)); return m.inverse(); }", 0},
      // A plain value is copied byte for byte: the copy is independent.
      {"{ color c(1, 2, 3, 4); color d = c; d.r = 9; return c.r; }", 1},
      {"{ vector3 a(1, 2, 3); vector3 b = a; b.x = 9; return a.x; }", 1},
      {"{ matrix4 a; a.identity(); matrix4 b = a; b._11 = 5; return a._11; }", 1},
  };
  std::string source;
  for (size_t i = 0; i < std::size(cases); ++i) source += functionText("float", i, cases[i].body);
  MathScript script(false);
  ASSERT_TRUE(script.build(source)) << script.messages();
  for (size_t i = 0; i < std::size(cases); ++i)
    expectSame(script.callFloat("float t" + std::to_string(i) + "()"), cases[i].want,
               cases[i].body);
}

TEST(ScriptMath, VectorResults) {
  const float nan = std::nanf("");
  const VectorCase cases[] = {
      {"vector3(1, 2, 3)", 1, 2, 3},
      {"{ vector3 v(1, 2, 3); v.x = 7; v.z = v.y; return v; }", 7, 2, 2},
      {"vector3(1, 2, 3) + vector3(10, 20, 30)", 11, 22, 33},
      {"vector3(1, 2, 3) - vector3(10, 20, 30)", -9, -18, -27},
      {"vector3(1, 2, 3) * 2.0", 2, 4, 6},
      {"vector3(1, 2, 3) / 2.0", 0.5f, 1, 1.5f},
      {"vector3(1, 2, 3) / 0.0", kInf, kInf, kInf},
      {"vector3(0, 1, 2) / 0.0", nan, kInf, kInf},
      {"vector3(-1, 1, 0) / 0.0", -kInf, kInf, nan},
      {"cross(vector3(1, 0, 0), vector3(0, 1, 0))", 0, 0, 1},
      {"cross(vector3(1, 2, 3), vector3(4, 5, 6))", -3, 6, -3},
      {"{ vector3 v(0, 0, 0); v.normalize(); return v; }", 0, 0, 0},
      {"{ vector3 v(3, 0, 4); v.normalize(); return v; }", 0.6f, 0, 0.8f},
      // For A a translation by (1, 0, 0) and B a scaling by 2, A * B
      // translates first.
      {"{ matrix4 a, b; a.translation(vector3(1, 0, 0)); b.scaling(vector3(2, 2, 2));"
       " return vector3(0, 0, 0) * (a * b); }",
       2, 0, 0},
      {"{ matrix4 a, b; a.translation(vector3(1, 0, 0)); b.scaling(vector3(2, 2, 2));"
       " return vector3(0, 0, 0) * (b * a); }",
       1, 0, 0},
      // No division by w: (1, 1, 1) through a projection keeps x, y, z raw.
      {"{ matrix4 p; p.perspective(1.5707963, 2, 1, 11); return vector3(1, 1, 1) * p; }", 0.5f, 1,
       0},
      {"{ matrix4 p; p.perspective(1.5707963, 2, 1, 11); return vector3(1, 1, 2) * p; }", 0.5f, 1,
       1.1f},
      {"{ matrix4 r; r.rotateAxis(vector3(0, 0, 2), 1.5707963); return vector3(1, 0, 0) * r; }", 0,
       1, 0},
      {"{ matrix4 t; t.translation2DTex(vector3(0.5, 0.25, 9)); return vector3(1, 1, 1) * t; }",
       1.5f, 1.25f, 1},
      {"{ matrix4 v; v.lookAt(vector3(0, 0, -5), vector3(0, 0, 0), vector3(0, 1, 0));"
       " return vector3(1, 2, 0) * v; }",
       1, 2, 5},
      // A singular matrix keeps its content (and inverse() answers 0).
      {"{ matrix4 m; m.scaling(vector3(1, 0, 3)); m.inverse(); return vector3(1, 1, 1) * m; }", 1,
       0, 3},
      {"{ matrix4 m; m.scaling(vector3(2, 4, 8)); m.inverse(); return vector3(1, 1, 1) * m; }",
       0.5f, 0.25f, 0.125f},
  };
  std::string source;
  for (size_t i = 0; i < std::size(cases); ++i) source += functionText("vector3", i, cases[i].body);
  MathScript script(false);
  ASSERT_TRUE(script.build(source)) << script.messages();
  for (size_t i = 0; i < std::size(cases); ++i) {
    D3DXVECTOR3 v = script.callObject<D3DXVECTOR3>("vector3 t" + std::to_string(i) + "()");
    expectSame(v.x, cases[i].x, std::string(cases[i].body) + " x");
    expectSame(v.y, cases[i].y, std::string(cases[i].body) + " y");
    expectSame(v.z, cases[i].z, std::string(cases[i].body) + " z");
  }
}

TEST(ScriptMath, MatrixResultsMatchTheMathLibrary) {
  D3DXMATRIX m, a, b;
  D3DXVECTOR3 axis(1, 2, 3), eye(1, 2, -3), at(0, 1, 0), up(0, 1, 0);
  struct Case {
    const char* body;
    D3DXMATRIX want;
  } cases[] = {
      {"matrix4(1,2,3,4, 5,6,7,8, 9,10,11,12, 13,14,15,16)",
       D3DXMATRIX(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16)},
      {"{ matrix4 m(1,2,3,4, 5,6,7,8, 9,10,11,12, 13,14,15,16); m._23 = -1; m._41 = 0; return m; }",
       D3DXMATRIX(1, 2, 3, 4, 5, 6, -1, 8, 9, 10, 11, 12, 0, 14, 15, 16)},
      {"{ matrix4 m; m.identity(); return m; }", *D3DXMatrixIdentity(&m)},
      {"{ matrix4 m; m.translation(vector3(1, 2, 3)); return m; }",
       *D3DXMatrixTranslation(&m, 1, 2, 3)},
      {"{ matrix4 m; m.scaling(vector3(1, 2, 3)); return m; }", *D3DXMatrixScaling(&m, 1, 2, 3)},
      {"{ matrix4 m; m.rotateAxis(vector3(1, 2, 3), 0.5); return m; }",
       *D3DXMatrixRotationAxis(&m, &axis, 0.5f)},
      {"{ matrix4 m; m.translation2DTex(vector3(0.5, 0.25, 9)); return m; }",
       D3DXMATRIX(1, 0, 0, 0, 0, 1, 0, 0, 0.5f, 0.25f, 1, 0, 0, 0, 0, 1)},
      {"{ matrix4 m; m.perspective(0.785398, 1.333333, 1, 50); return m; }",
       *D3DXMatrixPerspectiveFovLH(&m, 0.785398f, 1.333333f, 1, 50)},
      {"{ matrix4 m; m.perspective(-1, 2, 60, 50); return m; }",
       *D3DXMatrixPerspectiveFovLH(&m, -1, 2, 60, 50)},
      {"{ matrix4 m; m.lookAt(vector3(1, 2, -3), vector3(0, 1, 0), vector3(0, 1, 0)); return m; }",
       *D3DXMatrixLookAtLH(&m, &eye, &at, &up)},
      // Every method replaces the whole matrix.
      {"{ matrix4 m; m.scaling(vector3(5, 5, 5)); m.translation(vector3(1, 2, 3)); return m; }",
       *D3DXMatrixTranslation(&m, 1, 2, 3)},
      {"{ matrix4 a, b; a.rotateAxis(vector3(1, 2, 3), 0.5); b.translation(vector3(4, 5, 6));"
       " return a * b; }",
       *D3DXMatrixMultiply(&m, D3DXMatrixRotationAxis(&a, &axis, 0.5f),
                           D3DXMatrixTranslation(&b, 4, 5, 6))},
      {"{ matrix4 m; m.rotateAxis(vector3(1, 2, 3), 0.5); matrix4 i = m; i.inverse(); return m * i; }",
       *D3DXMatrixIdentity(&m)},
      {"{ matrix4 m; m.scaling(vector3(2, 2, 2)); m.inverse(); return m; }",
       *D3DXMatrixScaling(&m, 0.5f, 0.5f, 0.5f)},
  };
  std::string source;
  for (size_t i = 0; i < std::size(cases); ++i) source += functionText("matrix4", i, cases[i].body);
  MathScript script(false);
  ASSERT_TRUE(script.build(source)) << script.messages();
  for (size_t i = 0; i < std::size(cases); ++i)
    expectMatrix(script.callObject<D3DXMATRIX>("matrix4 t" + std::to_string(i) + "()"),
                 cases[i].want, cases[i].body);
}

TEST(ScriptMath, OperatorsBeyondTheRegisteredOnesDoNotCompile) {
  const char* statements[] = {
      "vector3 v = 2.0 * vector3(1, 1, 1);",
      "vector3 v = -vector3(1, 1, 1);",
      "bool b = vector3(1, 1, 1) == vector3(1, 1, 1);",
      "vector3 v(1, 1, 1); v += v;",
      "matrix4 m; m = m * 2.0;",
      "matrix4 m; vector3 v = m * vector3(1, 1, 1);",
      "color c(1, 1, 1, 1); c = c + c;",
      "vector3@ h;",
      "matrix4@ h;",
  };
  for (const char* statement : statements) {
    MathScript script(false);
    EXPECT_FALSE(script.build(std::string("void f() { ") + statement + " }")) << statement;
  }
}

TEST(ScriptMath, DeviceTransformsAndPerspectiveDefaults) {
  TransformDevice device;
  device.viewport.Width = 800;
  device.viewport.Height = 600;
  DeviceScope scope(&device);
  D3DXMATRIX view, projection;
  D3DXMatrixTranslation(&view, 1, 2, 3);
  D3DXMatrixScaling(&projection, 4, 5, 6);
  device.transforms[D3DTS_VIEW] = view;
  device.transforms[D3DTS_PROJECTION] = projection;

  MathScript script(false);
  ASSERT_TRUE(script.build(
      "matrix4 view() { return getViewMatrix(); }\n"
      "matrix4 projection() { return getProjectionMatrix(); }\n"
      "void swap() { matrix4 v = getViewMatrix(); setViewMatrix(getProjectionMatrix());"
      " setProjectionMatrix(v); }\n"
      "matrix4 p(float fov, float aspect, float zn, float zf) {"
      " matrix4 m; m.perspective(fov, aspect, zn, zf); return m; }\n"))
      << script.messages();
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 view()"), view, "view");
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 projection()"), projection, "projection");
  script.call("void swap()");
  expectMatrix(device.transform(D3DTS_VIEW), projection, "swapped view");
  expectMatrix(device.transform(D3DTS_PROJECTION), view, "swapped projection");

  const float nan = std::nanf("");
  D3DXMATRIX want;
  struct Case {
    float fov, aspect, zn, zf;
    float wantFov, wantAspect, wantZn, wantZf;
  } cases[] = {
      {0, 0, 0, 0, 45.0f, 800.0f / 600.0f, 0.1f, 100.0f},
      {nan, nan, nan, nan, 45.0f, 800.0f / 600.0f, 0.1f, 100.0f},
      {0.785398f, 1.333333f, 1, 50, 0.785398f, 1.333333f, 1, 50},
      {1, 0, 2, 0, 1, 800.0f / 600.0f, 2, 100.0f},
      {0, 2, 0, 30, 45.0f, 2, 0.1f, 30},
      {-1, -2, 50, 10, -1, -2, 50, 10},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(script.prepare("matrix4 p(float, float, float, float)"));
    script.context()->SetArgFloat(0, c.fov);
    script.context()->SetArgFloat(1, c.aspect);
    script.context()->SetArgFloat(2, c.zn);
    script.context()->SetArgFloat(3, c.zf);
    ASSERT_TRUE(script.run());
    D3DXMATRIX got = *static_cast<D3DXMATRIX*>(script.context()->GetReturnObject());
    expectMatrix(got,
                 *D3DXMatrixPerspectiveFovLH(&want, c.wantFov, c.wantAspect, c.wantZn, c.wantZf),
                 "perspective(" + std::to_string(c.fov) + ", " + std::to_string(c.aspect) + ", " +
                     std::to_string(c.zn) + ", " + std::to_string(c.zf) + ")");
  }
}
