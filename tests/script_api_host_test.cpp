// The math and utility modules inside the script host's engines.
#include <gtest/gtest.h>

#include "runtime/DemoSequencer.h"
#include "runtime/WinMain.h"
#include "script_host_fixture.h"
#include "scriptapi/MatrixStack.h"
#include "tests/timeline_fixture.h"

using HostedMath = ScriptHostTest;

TEST_F(HostedMath, EveryScripletGetsTheWholeApi) {
  const char* source =
      "vector3 p;\n"
      "float r;\n"
      "void initGlobals() { r = getSceneEnd(); }\n"
      "void render(float t) {\n"
      "  matrixStack s; s.translate(1, 2, 3);\n"
      "  vectorN n(3); n.setVector3(0, vector3(0, 0, 0) * s.getTop());\n"
      "  n.getVector3(0, p);\n"
      "  r = clamp(randf(), 0, 1) + r;\n"
      "  if (engineGetQualitySettings(3) == 1) endDemo();\n"
      "}\n";
  // initGlobals runs inside the compile and sees the timing published last.
  const float savedEnd = gSceneEnd;
  gSceneEnd = 45.0f;
  ASSERT_TRUE(compile(source, "first")) << error;
  ASSERT_TRUE(compile(source, "second")) << error;
  gSceneEnd = savedEnd;
  EXPECT_TRUE(loggedMessages().empty());
  EXPECT_EQ(*global<float>("r", "first"), 45.0f);

  gEndDemo = false;
  host.callEntry("second", ENTRY_RENDER);
  EXPECT_TRUE(gEndDemo);
  gEndDemo = false;
  D3DXVECTOR3* p = global<D3DXVECTOR3>("p", "second");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(*p, D3DXVECTOR3(1, 2, 3));
  EXPECT_GE(*global<float>("r", "second"), 45.0f);
  EXPECT_LE(*global<float>("r", "second"), 46.0f);
  EXPECT_EQ(*global<D3DXVECTOR3>("p", "first"), D3DXVECTOR3(0, 0, 0));
}

TEST_F(HostedMath, HandlesOfTheApiCannotBeDeclared) {
  for (const char* declaration : {"vector3@ v;", "matrixStack@ s;", "vectorN@ n;"}) {
    EXPECT_FALSE(compile(std::string(declaration) + "\nvoid render(float t) {}")) << declaration;
  }
}

TEST_F(HostedMath, ReleasingAScripletReleasesItsStacks) {
  const int base = MatrixStackProxy::live;
  ASSERT_TRUE(compile("matrixStack a; matrixStack b;\nvoid render(float t) { b = a; }")) << error;
  EXPECT_EQ(MatrixStackProxy::live, base + 2);
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(MatrixStackProxy::live, base + 1);
  host.unload("scene", false);
  EXPECT_EQ(MatrixStackProxy::live, base);
}

using HostedUtilities = TimelineTest;

// endDemo only raises the flag for the main loop: the rest of the frame,
// this scriplet's own later entries included, still runs.
TEST_F(HostedUtilities, EndDemoInPreRenderLetsTheFrameFinish) {
  writeFile("e.as",
            "void preRender(float t) { rec(\"e.preRender\"); endDemo(); }\n"
            "void render(float t) { rec(\"e.render\"); }\n"
            "void postRender(float t) { rec(\"e.postRender\"); }\n");
  writeRecordingScriplet("f.as", "f");
  ASSERT_TRUE(load("0 2 1 e e.as 0 -1 0 0 1 f f.as 0 -1 0 0"));
  sequencer->initScenes();
  gEndDemo = false;
  EXPECT_EQ(
      frame(0),
      "e.preRender f.begin f.preRender [scene e.render f.render scene] e.postRender f.postRender");
  EXPECT_TRUE(gEndDemo);
  gEndDemo = false;
}
