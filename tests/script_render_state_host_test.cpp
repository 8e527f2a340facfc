// The render-state module inside the script host's engines and under the
// sequencer's marks and undos.
#include <gtest/gtest.h>

#include "core/RenderStateStack.h"
#include "runtime/CameraPath.h"
#include "script_host_fixture.h"
#include "tests/render_state_fixture.h"
#include "tests/timeline_fixture.h"

using HostedRenderState = ScriptHostTest;

// Every declaration of the module, as a scriplet uses it.
TEST_F(HostedRenderState, EveryScripletGetsTheWholeModule) {
  const char* source =
      "light l; material m; matrix4 w; vector3 p; matrix4 v;\n"
      "void render(float t) {\n"
      "  getWorldMatrix(w); setWorldMatrix(w); setClearColor(color(0, 0, 0, 1)); clearZBuffer();\n"
      "  setTextureMatrix(0, w); enableTextureMatrix(0, 1);\n"
      "  enableLight(0, 1); setGlobalAmbient(color(0.1, 0.1, 0.1, 1));\n"
      "  l.type = 3; l.diffuse = color(1, 1, 1, 1); l.specular = l.diffuse; l.ambient = "
      "l.diffuse;\n"
      "  l.position = vector3(0, 0, 0); l.direction = vector3(0, 0, 1); l.range = 1;\n"
      "  l.falloff = 1; l.attenuation0 = 1; l.attenuation1 = 0; l.attenuation2 = 0;\n"
      "  l.theta = 0; l.phi = 0; l.bind(0); l.enable(1);\n"
      "  m.diffuse = color(1, 1, 1, 1); m.ambient = m.diffuse; m.specular = m.diffuse;\n"
      "  m.emissive = m.diffuse; m.power = 1; m.setCurrent(1);\n"
      "  textureOp_null(); textureOp_stdLighting(); textureOp_modulate(2, 0.5);\n"
      "  blendOp_colorBurn(); blendOp_2stageModulateAlpha(); blendOp_null();\n"
      "  blendOp_additiveBlending(); blendOp_additiveBlendingFactor(0.5); blendOp_blend(0.5);\n"
      "  drawOp_enableZ(1); drawOp_CCWCull(); drawOp_CWCull(); drawOp_noCull();\n"
      "  enableFog(color(1, 1, 1, 1), 1.0, 2.0); disableFog();\n"
      "  p = getCameraPos() + getCameraTarget() + getCameraUp();\n"
      "  v = getCameraViewMatrix() * getCameraProjMatrix();\n"
      "  setCameraPos(p); setCameraTarget(p); setCameraUp(p);\n"
      "  pushRenderState(); popRenderState(); pushTextureStageState(1); popTextureStageState(1);\n"
      "}\n";
  ASSERT_TRUE(compile(source, "first")) << error;
  ASSERT_TRUE(compile(source, "second")) << error;
  EXPECT_TRUE(loggedMessages().empty());
  ASSERT_NE(gRenderStateStack, nullptr);
}

namespace {

// The timeline with fresh undo stacks: the first compile makes them.
class RenderStateTimeline : public TimelineTest {
 protected:
  void SetUp() override {
    dropStateStacks();
    TimelineTest::SetUp();
  }
  void TearDown() override {
    TimelineTest::TearDown();
    dropStateStacks();
  }

  template <typename T>
  T* global(const std::string& scriplet, const char* variable) {
    asIScriptModule* module = host->scriplets.at(scriplet).engine->GetModule(scriplet.c_str());
    return static_cast<T*>(
        module->GetAddressOfGlobalVar(asUINT(module->GetGlobalVarIndexByName(variable))));
  }
};

}  // namespace

// What pass A changes through the stacks is undone right after the call,
// what "render" changes at the end of the frame; fog, set directly, stays.
TEST_F(RenderStateTimeline, SequencerUndoesStackChangesAndKeepsDirectOnes) {
  device.renderStates[19] = 2;  // SRCBLEND
  device.renderStates[20] = 1;  // DESTBLEND
  device.renderStates[22] = 3;  // CULLMODE
  writeFile("s.as",
            "void preRender(float t) {\n"
            "  drawOp_CWCull(); enableFog(color(0, 0, 1, 1), 1.0, 2.0); rec(\"s.preRender\");\n"
            "}\n"
            "void render(float t) { blendOp_additiveBlending(); rec(\"s.render\"); }\n"
            "void postRender(float t) { rec(\"s.postRender\"); }\n");
  writeRecordingScriplet("u.as", "u");
  ASSERT_TRUE(load("1 1 2 s s.as 0 10 0 0 u u.as 0 10 0 0"));
  sequencer->initScenes();
  EXPECT_EQ(frame(1),
            "rs22=2 rs28=1 rs34=4278190335 rs140=3 rs36=1065353216 rs37=1073741824 s.preRender"
            " rs22=3 u.begin u.preRender"
            " [scene rs19=2 rs20=2 rs27=1 s.render u.render scene]"
            " s.postRender u.postRender rs27=0 rs20=1 rs19=2");
  EXPECT_EQ(device.renderStates[28], 1u);  // fog still on
}

// A position set by a script holds until the next camera path overwrites it.
TEST_F(RenderStateTimeline, CameraPathOverwritesTheScriptsPosition) {
  const D3DXVECTOR3 saved = gCameraPos;
  writeFile("c.as",
            "vector3 before, seen;\n"
            "void preRender(float t) {\n"
            "  before = getCameraPos(); setCameraPos(vector3(1, 2, 3)); seen = getCameraPos();\n"
            "}\n"
            "void render(float t) {}\n");
  ASSERT_TRUE(
      load("1 2\n"
           "1 cam dummy 0 10 0 1\n"
           "1 9 0 1 7 8 9 0 0 0 0 1 0 0.5 50\n"
           "1 c c.as 0 10 0 0\n"));
  frame(1);
  EXPECT_EQ(*global<D3DXVECTOR3>("c", "seen"), D3DXVECTOR3(1, 2, 3));
  EXPECT_EQ(gCameraPos, D3DXVECTOR3(7, 8, 9));
  frame(2);
  EXPECT_EQ(*global<D3DXVECTOR3>("c", "before"), D3DXVECTOR3(7, 8, 9));
  gCameraPos = saved;
}
