// The render-state presets, transforms, clear colour, depth clear and script
// marks, run as scriplets on the headless device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "runtime/DemoSequencer.h"
#include "tests/render_state_fixture.h"

namespace {

// Render states and texture-stage states by their device numbers.
enum : int {
  kZEnable = 7,
  kSrcBlend = 19,
  kDestBlend = 20,
  kCullMode = 22,
  kAlphaBlendEnable = 27,
  kTextureFactor = 60,
  kNormalizeNormals = 143,
};
enum : int {
  kColorOp = 1,
  kColorArg1 = 2,
  kColorArg2 = 3,
  kAlphaOp = 4,
  kAlphaArg1 = 5,
  kTexCoordIndex = 11,
  kTransformFlags = 24,
  kResultArg = 28,
};

std::string R(int state, DWORD value) { return renderStateCall(state, value); }
std::string S(int stage, int state, DWORD value) { return stageStateCall(stage, state, value); }

// The state and value of a logged change, to read it back from the device.
struct Change {
  int stage;  // -1: a render state
  int state;
  DWORD value;
};
Change parse(const std::string& call) {
  unsigned long long a = 0, b = 0, v = 0;
  if (std::sscanf(call.c_str(), "SetTextureStageState(%llu, %llu, %llu)", &a, &b, &v) == 3)
    return {int(a), int(b), DWORD(v)};
  std::sscanf(call.c_str(), "SetRenderState(%llu, %llu)", &b, &v);
  return {-1, int(b), DWORD(v)};
}

}  // namespace

using RenderStatePresets = RenderStateScript;

// Each preset makes exactly its changes, in order, and the device holds them.
TEST_F(RenderStatePresets, ChangeTheirStatesInOrder) {
  // Modulate picks its operation by kind; 0.5 gives 127 in every byte.
  const DWORD grey127 = 0x7f7f7f7f;
  auto modulate = [&](DWORD op) {
    return std::vector<std::string>{
        S(0, kColorOp, op), S(0, kColorArg1, 2), S(0, kColorArg2, 3),       R(kAlphaBlendEnable, 1),
        R(kSrcBlend, 5),    R(kDestBlend, 6),    R(kTextureFactor, grey127)};
  };
  auto blend = [&](DWORD factor) {
    return std::vector<std::string>{
        R(kAlphaBlendEnable, 1), R(kSrcBlend, 5),     R(kDestBlend, 6),   R(kTextureFactor, factor),
        S(0, kAlphaOp, 2),       S(0, kAlphaArg1, 3), S(0, kResultArg, 1)};
  };
  struct Case {
    const char* statement;
    std::vector<std::string> calls;
  } cases[] = {
      {"textureOp_null();",
       {S(0, kColorOp, 2), S(0, kColorArg1, 2), S(0, kAlphaOp, 2), S(0, kAlphaArg1, 2),
        S(0, kResultArg, 1)}},
      {"textureOp_stdLighting();",
       {S(0, kColorOp, 4), S(0, kColorArg1, 2), S(0, kColorArg2, 0), S(0, kAlphaOp, 2),
        S(0, kAlphaArg1, 2), S(0, kResultArg, 1), R(kNormalizeNormals, 1)}},
      {"textureOp_modulate(0, 0.5f);", modulate(4)},
      {"textureOp_modulate(1, 0.5f);", modulate(4)},
      {"textureOp_modulate(2, 0.5f);", modulate(5)},
      {"textureOp_modulate(3, 0.5f);", modulate(6)},
      {"textureOp_modulate(4, 0.5f);", modulate(4)},
      {"blendOp_colorBurn();", {R(kSrcBlend, 1), R(kDestBlend, 3), R(kAlphaBlendEnable, 1)}},
      {"blendOp_2stageModulateAlpha();",
       {S(0, kColorOp, 2), S(0, kColorArg1, 2), S(0, kAlphaOp, 2), S(0, kAlphaArg1, 2),
        S(0, kResultArg, 5), S(1, kColorOp, 3), S(1, kColorArg2, 5), S(1, kAlphaOp, 2),
        S(1, kAlphaArg1, 2), R(kAlphaBlendEnable, 1), R(kSrcBlend, 5), R(kDestBlend, 6),
        S(0, kTexCoordIndex, 0), S(1, kTexCoordIndex, 0)}},
      {"blendOp_null();", {R(kSrcBlend, 2), R(kDestBlend, 2), R(kAlphaBlendEnable, 0)}},
      {"blendOp_additiveBlending();", {R(kSrcBlend, 2), R(kDestBlend, 2), R(kAlphaBlendEnable, 1)}},
      {"blendOp_additiveBlendingFactor(1.0f);",
       {R(kSrcBlend, 5), R(kDestBlend, 2), R(kAlphaBlendEnable, 1), R(kTextureFactor, 0xff000000),
        S(0, kAlphaOp, 2), S(0, kAlphaArg1, 3), S(0, kResultArg, 1)}},
      // The factor is the alpha byte alone: 255, 127.5 truncated, 510 cut
      // to its low 8 bits.
      {"blendOp_blend(1.0f);", blend(0xff000000)},
      {"blendOp_blend(0.5f);", blend(0x7f000000)},
      {"blendOp_blend(2.0f);", blend(0xfe000000)},
      {"drawOp_enableZ(0);", {R(kZEnable, 0)}},
      {"drawOp_enableZ(-3);", {R(kZEnable, 1)}},
      {"drawOp_CCWCull();", {R(kCullMode, 3)}},
      {"drawOp_CWCull();", {R(kCullMode, 2)}},
      {"drawOp_noCull();", {R(kCullMode, 1)}},
      {"enableTextureMatrix(2, 1);", {S(2, kTransformFlags, 3)}},
      {"enableTextureMatrix(3, 0);", {S(3, kTransformFlags, 0)}},
  };
  for (const Case& c : cases) {
    pushAllStates();
    EXPECT_EQ(calls(c.statement), c.calls) << c.statement;
    for (const std::string& call : c.calls) {
      const Change change = parse(call);
      const DWORD held =
          change.stage < 0 ? renderState(change.state) : stageState(change.stage, change.state);
      EXPECT_EQ(held, change.value) << c.statement << " " << call;
    }
    popAllStates();
  }
}

// A pop of the render-state stack takes back the render states newest first
// and leaves the texture stages; each stage's pop takes back its own.
TEST_F(RenderStatePresets, ScriptMarksUndoTheirOwnStacksNewestFirst) {
  const DWORD cull = renderState(kCullMode), blendOn = renderState(kAlphaBlendEnable),
              src = renderState(kSrcBlend), dest = renderState(kDestBlend);
  const DWORD op0 = stageState(0, kColorOp), arg0 = stageState(0, kColorArg1),
              alphaOp0 = stageState(0, kAlphaOp), alphaArg0 = stageState(0, kAlphaArg1),
              result0 = stageState(0, kResultArg), coords0 = stageState(0, kTexCoordIndex);

  run("pushRenderState(); pushTextureStageState(0); blendOp_2stageModulateAlpha();"
      " drawOp_CWCull(); drawOp_CWCull();");
  // A preset called twice is logged twice: one pop takes back both.
  EXPECT_EQ(calls("popRenderState();"),
            (std::vector<std::string>{R(kCullMode, 2), R(kCullMode, cull), R(kDestBlend, dest),
                                      R(kSrcBlend, src), R(kAlphaBlendEnable, blendOn)}));
  EXPECT_EQ(stageState(0, kResultArg), 5u);
  EXPECT_EQ(stageState(1, kColorOp), 3u);

  EXPECT_EQ(calls("popTextureStageState(0);"),
            (std::vector<std::string>{S(0, kTexCoordIndex, coords0), S(0, kResultArg, result0),
                                      S(0, kAlphaArg1, alphaArg0), S(0, kAlphaOp, alphaOp0),
                                      S(0, kColorArg1, arg0), S(0, kColorOp, op0)}));
  EXPECT_EQ(stageState(1, kColorOp), 3u);  // only stage 1's own pop reaches it

  // A push followed at once by a pop changes nothing.
  EXPECT_TRUE(calls("pushRenderState(); popRenderState(); pushTextureStageState(3);"
                    " popTextureStageState(3);")
                  .empty());
}

// Stages without a stack are ignored: nothing is set, marked or undone.
TEST_F(RenderStatePresets, StagesWithoutAStackAreIgnored) {
  run("pushTextureStageState(0); textureOp_null();");
  const std::vector<int> marks0 = gTextureStageStateStacks[0]->marks;
  EXPECT_TRUE(calls("enableTextureMatrix(4, 1); enableTextureMatrix(-1, 1);"
                    " pushTextureStageState(4); popTextureStageState(-1);"
                    " popTextureStageState(2147483647); pushTextureStageState(-2147483648);")
                  .empty());
  EXPECT_EQ(gTextureStageStateStacks[0]->marks, marks0);
  for (int stage = 1; stage < 4; ++stage)
    EXPECT_EQ(gTextureStageStateStacks[stage]->marks, std::vector<int>{0}) << stage;
  EXPECT_EQ(stageState(0, kColorOp), 2u);
}

// The world and texture transforms go straight to the device: no pop takes
// them back.
TEST_F(RenderStatePresets, TransformsGoStraightToTheDevice) {
  D3DXMATRIX initial;
  D3DXMatrixTranslation(&initial, 1, 2, 3);
  device->SetTransform(D3DTS_WORLD, &initial);
  const char* globals =
      "matrix4 before;\n"
      "matrix4 m(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);\n";
  run("getWorldMatrix(before); pushRenderState(); setWorldMatrix(m); popRenderState();"
      " for (int s = -1; s <= 8; ++s) setTextureMatrix(s, m * m);",
      globals);
  asIScriptModule* module = script->engine()->GetModule("test");
  auto global = [&](const char* name) {
    return *static_cast<D3DXMATRIX*>(
        module->GetAddressOfGlobalVar(module->GetGlobalVarIndexByName(name)));
  };
  EXPECT_TRUE(global("before") == initial);
  const D3DXMATRIX m = global("m");
  D3DXMATRIX got, squared;
  D3DXMatrixMultiply(&squared, &m, &m);
  device->GetTransform(D3DTS_WORLD, &got);
  EXPECT_TRUE(got == m);
  for (int stage = 0; stage < 8; ++stage) {
    device->GetTransform(D3DTRANSFORMSTATETYPE(16 + stage), &got);
    EXPECT_TRUE(got == squared) << stage;
  }

  // Stages 8 and -1 make no device call at all.
  d3d9_test::clearCallLog();
  d3d9_test::setCallLogEnabled(true);
  script->call("void f()");
  d3d9_test::setCallLogEnabled(false);
  std::vector<std::string> transforms;
  for (const std::string& call : d3d9_test::callLog())
    if (call.rfind("SetTransform(", 0) == 0) transforms.push_back(call.substr(0, call.find(',')));
  const std::vector<std::string> expected = {
      "SetTransform(256", "SetTransform(16", "SetTransform(17",
      "SetTransform(18",  "SetTransform(19", "SetTransform(20",
      "SetTransform(21",  "SetTransform(22", "SetTransform(23"};
  EXPECT_EQ(transforms, expected);
}

// The depth clear sets depth to 1.0 and leaves the colours: a far square
// drawn after it shows over a near one drawn before it.
TEST_F(RenderStatePresets, ClearZBufferClearsDepthOnly) {
  struct Vertex {
    float x, y, z, rhw;
    D3DCOLOR colour;
  };
  auto square = [&](float z, D3DCOLOR colour) {
    const float w = float(kWidth), h = float(kHeight);
    Vertex v[4] = {
        {0, 0, z, 1, colour}, {w, 0, z, 1, colour}, {0, h, z, 1, colour}, {w, h, z, 1, colour}};
    device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE);
    device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]);
  };
  device->SetRenderState(D3DRS_ZENABLE, TRUE);
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
  square(0.2f, 0xffff0000);
  EXPECT_EQ(calls("clearZBuffer();"),
            std::vector<std::string>{"Clear(0, null, 2, 0xffffffff, 1, 0)"});
  EXPECT_EQ(frame().at(kWidth / 2, kHeight / 2), 0xffff0000u);
  square(0.8f, 0xff00ff00);
  EXPECT_EQ(frame().at(kWidth / 2, kHeight / 2), 0xff00ff00u);
}

// The clear colour reaches the sequencer as three unclamped ints; alpha is
// not used.
TEST_F(RenderStatePresets, ClearColourGoesToTheSequencerAsInts) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float r, g, b, a;
    int red, green, blue;
  } cases[] = {
      {1.0f, 0.5f, 0.0f, 0.0f, 255, 127, 0},
      {1.0f, 0.5f, 0.0f, -7.0f, 255, 127, 0},
      {2.0f, -0.5f, 0.99999994f, 1.0f, 510, -127, 254},
      // The exact product 344.999995 (a float product would round to 345).
      {1.35294116f, 0.0f, 0.0f, 1.0f, 344, 0, 0},
      {nan, 1e10f, -1e10f, 1.0f, INT32_MIN, INT32_MIN, INT32_MIN},
  };
  DemoSequencer sequencer(nullptr, device);
  for (const Case& c : cases) {
    run("setClearColor(c);", "color c;");
    asIScriptModule* module = script->engine()->GetModule("test");
    *static_cast<D3DCOLORVALUE*>(module->GetAddressOfGlobalVar(0)) = {c.r, c.g, c.b, c.a};
    script->call("void f()");
    EXPECT_EQ(sequencer.clearRed, c.red) << c.r;
    EXPECT_EQ(sequencer.clearGreen, c.green) << c.g;
    EXPECT_EQ(sequencer.clearBlue, c.blue) << c.b;
  }
}

TEST(RenderStateRegistration, FirstRegistrationMakesTheStacksAndLaterOnesShareThem) {
  dropStateStacks();
  LogCapture log;
  MathScript first(false), second(false);
  initRenderState(first.engine());
  RenderStateStack* const stack = gRenderStateStack;
  ASSERT_NE(stack, nullptr);
  TextureStageStateStack* stages[4];
  for (int stage = 0; stage < 4; ++stage) {
    stages[stage] = gTextureStageStateStacks[stage];
    ASSERT_NE(stages[stage], nullptr);
    EXPECT_EQ(stages[stage]->stage, stage);
  }
  initRenderState(second.engine());
  EXPECT_EQ(gRenderStateStack, stack);
  for (int stage = 0; stage < 4; ++stage) EXPECT_EQ(gTextureStageStateStacks[stage], stages[stage]);
  EXPECT_TRUE(log.lines().empty());
  dropStateStacks();
}

// An engine without the math types refuses every declaration that names
// them: the module reports once, still makes the others, and the engine can
// build nothing.
TEST(RenderStateRegistration, RejectionsAreReportedOnceAndTheRestStillMade) {
  LogCapture log;
  asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  initRenderState(engine);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"TQScript - initD3DXVector3 failed"});
  for (const char* declaration : {"void clearZBuffer()", "void enableTextureMatrix(int,int)",
                                  "void drawOp_noCull()", "void popTextureStageState(int)"})
    EXPECT_NE(engine->GetGlobalFunctionByDecl(declaration), nullptr) << declaration;
  asIScriptModule* module = engine->GetModule("test", asGM_ALWAYS_CREATE);
  module->AddScriptSection("test", "void f() {}");
  EXPECT_LT(module->Build(), 0);
  engine->ShutDownAndRelease();
  dropStateStacks();
}
