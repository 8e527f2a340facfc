// matrixStack as scripts see it, with the device's world transform.
#include <gtest/gtest.h>

#include "scriptapi/MatrixStack.h"
#include "tests/fake_device.h"
#include "tests/math_script_fixture.h"

namespace {

void expectMatrix(const D3DXMATRIX& got, const D3DXMATRIX& want, const std::string& what) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_NEAR(got.m[r][c], want.m[r][c], 1e-5f) << what << " _" << r + 1 << c + 1;
}

D3DXMATRIX translation(float x, float y, float z) {
  D3DXMATRIX m;
  return *D3DXMatrixTranslation(&m, x, y, z);
}

D3DXMATRIX scaling(float s) {
  D3DXMATRIX m;
  return *D3DXMatrixScaling(&m, s, s, s);
}

D3DXMATRIX identity() {
  D3DXMATRIX m;
  return *D3DXMatrixIdentity(&m);
}

}  // namespace

TEST(ScriptMatrixStack, TopAfterOperations) {
  D3DXMATRIX rotation;
  D3DXVECTOR3 z(0, 0, 1);
  D3DXMatrixRotationAxis(&rotation, &z, 0.5f);
  const D3DXMATRIX a = translation(1, 2, 3), b = scaling(3);
  struct Case {
    const char* body;
    D3DXMATRIX want;
  } cases[] = {
      {"", identity()},
      {"s.pop();", identity()},
      {"s.popAll();", identity()},
      {"s.translate(1, 0, 0); s.scale(2, 2, 2);", translation(1, 0, 0) * scaling(2)},
      {"s.translateLocal(1, 0, 0); s.scaleLocal(2, 2, 2);", scaling(2) * translation(1, 0, 0)},
      {"s.translate(1, 0, 0); s.rotateAxis(vector3(0, 0, 1), 0.5);",
       translation(1, 0, 0) * rotation},
      {"s.translate(1, 0, 0); s.rotateAxisLocal(vector3(0, 0, 1), 0.5);",
       rotation * translation(1, 0, 0)},
      {"s.multMatrix(a);", a},
      {"s.multMatrix(a); s.multMatrix(b);", a * b},
      {"s.multMatrixLocal(a); s.multMatrixLocal(b);", b * a},
      {"s.loadMatrix(a); s.loadIdentity();", identity()},
      {"s.loadMatrix(a); s.push(); s.multMatrix(b);", a * b},
      {"s.loadMatrix(a); s.push(); s.multMatrix(b); s.pop();", a},
      // popAll removes exactly one level, like pop.
      {"s.loadMatrix(a); s.push(); s.loadMatrix(b); s.push(); s.loadIdentity(); s.popAll();", b},
      {"s.loadMatrix(a); s.pop(); s.pop();", a},
      // The reference from getTop is the top itself.
      {"s.getTop() = a; s.getTop()._11 = 5;",
       D3DXMATRIX(5, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 2, 3, 1)},
      {"s.push(); s.getTop() = a; s.pop();", identity()},
  };
  std::string source =
      "matrix4 a(1,0,0,0, 0,1,0,0, 0,0,1,0, 1,2,3,1);\n"
      "matrix4 b(3,0,0,0, 0,3,0,0, 0,0,3,0, 0,0,0,1);\n";
  for (size_t i = 0; i < std::size(cases); ++i)
    source += "matrix4 t" + std::to_string(i) + "() { matrixStack s; " + cases[i].body +
              " return s.getTop(); }\n";
  MathScript script(false);
  ASSERT_TRUE(script.build(source)) << script.messages();
  const int base = MatrixStackProxy::live;
  for (size_t i = 0; i < std::size(cases); ++i)
    expectMatrix(script.callObject<D3DXMATRIX>("matrix4 t" + std::to_string(i) + "()"),
                 cases[i].want, cases[i].body);
  EXPECT_EQ(MatrixStackProxy::live, base);  // the locals' stacks are released
}

TEST(ScriptMatrixStack, AssignedValuesShareOneStack) {
  const int base = MatrixStackProxy::live;
  MathScript script(false);
  ASSERT_TRUE(
      script.build("matrixStack a;\n"
                   "matrixStack b;\n"
                   "void share() { b = a; b.push(); b.translate(1, 0, 0); }\n"
                   "matrix4 topOfA() { return a.getTop(); }\n"
                   "void popA() { a.pop(); }\n"
                   "void scratch() { matrixStack c; matrixStack d = c; d = b; }\n"))
      << script.messages();
  EXPECT_EQ(MatrixStackProxy::live, base + 2);
  script.call("void share()");
  EXPECT_EQ(MatrixStackProxy::live, base + 1);  // b's own stack went with the assignment
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 topOfA()"), translation(1, 0, 0),
               "shared top");
  script.call("void popA()");
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 topOfA()"), identity(), "after pop");
  // Every construction makes a stack; the locals' stacks go with them.
  script.call("void scratch()");
  EXPECT_EQ(MatrixStackProxy::live, base + 1);
  script.engine()->DiscardModule("test");
  EXPECT_EQ(MatrixStackProxy::live, base);
}

// With references passed on unchecked, a script can hold the top while the
// function it handed it to pops that level or drops the stack. Writing
// through it must stay inside live memory and leave the stack's own levels
// as they were.
TEST(ScriptMatrixStack, TopHeldByReferenceOutlivesItsLevelAndItsStack) {
  MathScript script(false);
  ASSERT_TRUE(script.build(
      "matrixStack s;\n"
      "matrixStack other;\n"
      "matrix4 top() { return s.getTop(); }\n"
      "void popWhileHeld(matrix4 &inout m) { s.pop(); m.translation(vector3(4, 5, 6)); }\n"
      "void dropWhileHeld(matrix4 &inout m) { s = other; m.translation(vector3(1, 2, 3)); }\n"
      // Eight levels fill the first block of storage: the ninth starts one.
      "void popNinth() { for (int i = 0; i < 8; i++) s.push(); popWhileHeld(s.getTop()); }\n"
      "void drop() { s = matrixStack(); s.push(); dropWhileHeld(s.getTop()); }\n"
      "void reuse() { matrixStack fresh; fresh.push(); fresh.push(); s = fresh; }\n"))
      << script.messages();
  script.call("void popNinth()");
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 top()"), identity(),
               "level below the popped one");
  script.call("void drop()");
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 top()"), identity(),
               "the stack assigned over it");
  // A stack made later may take over the dropped storage: it starts clean.
  script.call("void reuse()");
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 top()"), identity(),
               "a stack made afterwards");
}

TEST(ScriptMatrixStack, WorldTransformExchange) {
  TransformDevice device;
  DeviceScope scope(&device);
  const D3DXMATRIX world = translation(5, 6, 7);
  device.transforms[D3DTS_WORLD] = world;

  MathScript script(false);
  ASSERT_TRUE(script.build(
      "matrixStack s;\n"
      "matrix4 marker(2,0,0,0, 0,2,0,0, 0,0,2,0, 0,0,0,1);\n"
      "matrix4 top() { return s.getTop(); }\n"
      "void begin() { s.loadMatrix(marker); s.pushWM(); s.translate(1, 0, 0); s.updateWorldMatrix(); }\n"
      "void end() { s.popWM(); }\n"
      "void roundTrip() { s.loadWorldMatrix(); s.updateWorldMatrix(); }\n"
      "void writeThroughTop() { s.getTop()._41 = 9; s.updateWorldMatrix(); }\n"))
      << script.messages();

  script.call("void begin()");
  expectMatrix(device.transform(D3DTS_WORLD), world * translation(1, 0, 0), "inside pushWM");
  script.call("void end()");
  expectMatrix(device.transform(D3DTS_WORLD), world, "after popWM");
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 top()"), scaling(2),
               "stack back at its depth");

  device.transforms[D3DTS_WORLD] = translation(0, 0, 4);
  int before = device.setCalls;
  script.call("void roundTrip()");
  EXPECT_EQ(device.setCalls, before + 1);
  expectMatrix(device.transform(D3DTS_WORLD), translation(0, 0, 4), "load then update");

  script.call("void writeThroughTop()");
  expectMatrix(device.transform(D3DTS_WORLD), translation(9, 0, 4), "written through getTop");

  // A popWM without its pushWM sets the world from the bottom level and
  // stops there.
  script.call("void end()");
  expectMatrix(device.transform(D3DTS_WORLD), translation(9, 0, 4), "unmatched popWM");
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 top()"), translation(9, 0, 4), "bottom kept");
}

TEST(ScriptMatrixStack, WithoutADeviceTheWorldMethodsOnlyMoveTheStack) {
  DeviceScope scope(nullptr);
  MathScript script(false);
  ASSERT_TRUE(script.build(
      "matrix4 f() { matrixStack s; s.translate(1, 2, 3); s.pushWM(); s.scale(2, 2, 2);"
      " s.updateWorldMatrix(); s.loadWorldMatrix(); s.popWM(); return s.getTop(); }"))
      << script.messages();
  expectMatrix(script.callObject<D3DXMATRIX>("matrix4 f()"), translation(1, 2, 3), "no device");
}
