// Lights, materials, global ambient, fog and the camera globals, run as
// scriplets on the headless device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/CameraPath.h"
#include "scriptapi/Lighting.h"
#include "tests/render_state_fixture.h"

namespace {

constexpr int kLighting = 137, kAmbient = 139;

bool operator==(const D3DCOLORVALUE& a, const D3DCOLORVALUE& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The address of a script global of the last build.
template <typename T>
T* scriptGlobal(MathScript& script, const char* name) {
  asIScriptModule* module = script.engine()->GetModule("test");
  return static_cast<T*>(
      module->GetAddressOfGlobalVar(asUINT(module->GetGlobalVarIndexByName(name))));
}

}  // namespace

using ScriptLighting = RenderStateScript;

// A new light is a point light with zeros elsewhere, a new material all
// zeros; every property lands in its field of the device record.
TEST_F(ScriptLighting, NewValuesAndEveryPropertyReachTheDevice) {
  D3DMATERIAL9 stale{};
  stale.Power = 9.0f;
  device->SetMaterial(&stale);
  run("light l; l.bind(2); material m; m.setCurrent(1);");
  D3DLIGHT9 light;
  ASSERT_EQ(device->GetLight(2, &light), D3D_OK);
  D3DLIGHT9 fresh{};
  fresh.Type = D3DLIGHT_POINT;
  EXPECT_EQ(std::memcmp(&light, &fresh, sizeof light), 0);
  D3DMATERIAL9 material;
  device->GetMaterial(&material);
  const D3DMATERIAL9 zero{};
  EXPECT_EQ(std::memcmp(&material, &zero, sizeof material), 0);

  run("light l; l.type = 2;"
      " l.diffuse = color(0.1, 0.2, 0.3, 0.4); l.specular = color(0.5, 0.6, 0.7, 0.8);"
      " l.ambient = color(0.9, 1.0, 1.1, 1.2);"
      " l.position = vector3(1, 2, 3); l.direction = vector3(4, 5, 6);"
      " l.range = 7; l.falloff = 8; l.attenuation0 = 9; l.attenuation1 = 10;"
      " l.attenuation2 = 11; l.theta = 12; l.phi = 13; l.bind(3);"
      " material m; m.diffuse = color(0.1, 0.2, 0.3, 0.4); m.ambient = color(0.5, 0.6, 0.7, 0.8);"
      " m.specular = color(0.9, 1.0, 1.1, 1.2); m.emissive = color(1.3, 1.4, 1.5, 1.6);"
      " m.power = 17; m.setCurrent(1);");
  ASSERT_EQ(device->GetLight(3, &light), D3D_OK);
  EXPECT_EQ(light.Type, D3DLIGHT_SPOT);
  EXPECT_TRUE(light.Diffuse == (D3DCOLORVALUE{0.1f, 0.2f, 0.3f, 0.4f}));
  EXPECT_TRUE(light.Specular == (D3DCOLORVALUE{0.5f, 0.6f, 0.7f, 0.8f}));
  EXPECT_TRUE(light.Ambient == (D3DCOLORVALUE{0.9f, 1.0f, 1.1f, 1.2f}));
  EXPECT_EQ(light.Position.x, 1.0f);
  EXPECT_EQ(light.Position.z, 3.0f);
  EXPECT_EQ(light.Direction.x, 4.0f);
  EXPECT_EQ(light.Direction.z, 6.0f);
  const float tail[7] = {light.Range,        light.Falloff, light.Attenuation0, light.Attenuation1,
                         light.Attenuation2, light.Theta,   light.Phi};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(tail[i], float(7 + i)) << i;
  device->GetMaterial(&material);
  EXPECT_TRUE(material.Diffuse == (D3DCOLORVALUE{0.1f, 0.2f, 0.3f, 0.4f}));
  EXPECT_TRUE(material.Ambient == (D3DCOLORVALUE{0.5f, 0.6f, 0.7f, 0.8f}));
  EXPECT_TRUE(material.Specular == (D3DCOLORVALUE{0.9f, 1.0f, 1.1f, 1.2f}));
  EXPECT_TRUE(material.Emissive == (D3DCOLORVALUE{1.3f, 1.4f, 1.5f, 1.6f}));
  EXPECT_EQ(material.Power, 17.0f);
}

// Which calls touch the lighting switch, always through the undo stack: the
// sequencer's undo after the call takes it back, while the device lights stay
// as the call left them.
TEST_F(ScriptLighting, LightingSwitchGoesThroughTheStackAndLightsStay) {
  struct Case {
    const char* statements;
    DWORD lightingBefore;
    DWORD lightingAfter;
    int light;  // the device light whose switch is checked
    BOOL lightOn;
  } cases[] = {
      {"light l; l.bind(1);", FALSE, FALSE, 1, TRUE},  // bind leaves lighting alone
      {"enableLight(1, 0);", TRUE, TRUE, 1, FALSE},    // switching off leaves it too
      {"enableLight(2, 5);", FALSE, TRUE, 2, TRUE},
      {"light l; l.bind(1); l.enable(0);", FALSE, TRUE, 1, FALSE},  // on, even for off
      {"light l; l.bind(1); l.enable(1);", FALSE, TRUE, 1, TRUE},
      {"setGlobalAmbient(color(0, 0, 0, 0));", FALSE, TRUE, 1, FALSE},
  };
  for (const Case& c : cases) {
    device->SetRenderState(D3DRS_LIGHTING, c.lightingBefore);
    device->LightEnable(1, FALSE);
    device->LightEnable(2, FALSE);
    captureAllStates();
    pushAllStates();
    run(c.statements);
    EXPECT_EQ(renderState(kLighting), c.lightingAfter) << c.statements;
    popAllStates();
    EXPECT_EQ(renderState(kLighting), c.lightingBefore) << c.statements;
    BOOL on = FALSE;
    device->GetLightEnable(DWORD(c.light), &on);
    EXPECT_EQ(on != FALSE, c.lightOn != FALSE) << c.statements;
  }
}

// A copy carries the index of the last bind, so it switches the same light;
// a light never bound switches index -1, passed on as it is.
TEST_F(ScriptLighting, LightIndexTravelsWithCopies) {
  run("light a; a.bind(3); light b = a; b.enable(0);");
  BOOL on = TRUE;
  device->GetLightEnable(3, &on);
  EXPECT_FALSE(on);
  EXPECT_EQ(
      calls("light l; l.enable(1);"),
      (std::vector<std::string>{"LightEnable(4294967295, 1)", renderStateCall(kLighting, 1)}));
  EXPECT_EQ(calls("material m; m.setCurrent(0);"), std::vector<std::string>{"SetMaterial(null)"});
}

// Colours become device colours channel by channel: times 255, truncated,
// low 8 bits, ARGB; nothing is clamped.
TEST_F(ScriptLighting, GlobalAmbientPacksEachChannel) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    D3DCOLORVALUE c;
    DWORD packed;
  } cases[] = {
      {{1.0f, 0.5f, 0.0f, 1.0f}, 0xffff7f00},
      {{2.0f, -1.0f, -0.5f, 0.0f}, 0x00fe0181},              // 510, -255, -127
      {{0.99999994f, 1.35294116f, 0.0f, 0.5f}, 0x7ffe5800},  // 254, 344
      {{nan, 1e10f, -1e10f, 3.0f}, 0xfd000000},              // no int holds these: 0
  };
  for (const Case& c : cases) {
    run("setGlobalAmbient(c);", "color c;");
    *scriptGlobal<D3DCOLORVALUE>(*script, "c") = c.c;
    pushAllStates();
    script->call("void f()");
    EXPECT_EQ(renderState(kAmbient), c.packed) << std::hex << c.packed;
    EXPECT_EQ(renderState(kLighting), 1u);
    popAllStates();
  }
}

// Fog goes to the device directly: a pop leaves it on. Start and end are
// the bits of their floats.
TEST_F(ScriptLighting, FogIsSetDirectlyAndStays) {
  EXPECT_EQ(
      calls("pushRenderState(); enableFog(color(1, 0.5, 0, 1), 10.0, 100.0); popRenderState();"),
      (std::vector<std::string>{renderStateCall(28, 1), renderStateCall(34, 0xffff7f00),
                                renderStateCall(140, 3), renderStateCall(36, 0x41200000),
                                renderStateCall(37, 0x42c80000)}));
  EXPECT_EQ(renderState(28), 1u);
  EXPECT_TRUE(gRenderStateStack->changeLog.empty());
  EXPECT_EQ(calls("disableFog();"), std::vector<std::string>{renderStateCall(28, 0)});
}

// The setters change only the globals, never a device transform.
TEST_F(ScriptLighting, CameraGettersAndSettersUseTheGlobals) {
  const D3DXVECTOR3 pos = gCameraPos, target = gCameraTarget, up = gCameraUp;
  const D3DXMATRIX view = gCameraViewMatrix, projection = gCameraProjMatrix;
  D3DXMatrixTranslation(&gCameraViewMatrix, 1, 2, 3);
  D3DXMatrixScaling(&gCameraProjMatrix, 4, 5, 6);

  const char* globals = "vector3 p, t, u; matrix4 v, j;";
  run("setCameraPos(vector3(1, 2, 3)); setCameraTarget(vector3(4, 5, 6));"
      " setCameraUp(vector3(0, 0, 1)); p = getCameraPos(); t = getCameraTarget();"
      " u = getCameraUp(); v = getCameraViewMatrix(); j = getCameraProjMatrix();",
      globals);
  EXPECT_EQ(*scriptGlobal<D3DXVECTOR3>(*script, "p"), D3DXVECTOR3(1, 2, 3));
  EXPECT_EQ(*scriptGlobal<D3DXVECTOR3>(*script, "t"), D3DXVECTOR3(4, 5, 6));
  EXPECT_EQ(*scriptGlobal<D3DXVECTOR3>(*script, "u"), D3DXVECTOR3(0, 0, 1));
  EXPECT_EQ(gCameraTarget, D3DXVECTOR3(4, 5, 6));
  EXPECT_TRUE(*scriptGlobal<D3DXMATRIX>(*script, "v") == gCameraViewMatrix);
  EXPECT_TRUE(*scriptGlobal<D3DXMATRIX>(*script, "j") == gCameraProjMatrix);

  d3d9_test::clearCallLog();
  d3d9_test::setCallLogEnabled(true);
  script->call("void f()");
  d3d9_test::setCallLogEnabled(false);
  EXPECT_TRUE(d3d9_test::callLog().empty());

  gCameraPos = pos;
  gCameraTarget = target;
  gCameraUp = up;
  gCameraViewMatrix = view;
  gCameraProjMatrix = projection;
}
