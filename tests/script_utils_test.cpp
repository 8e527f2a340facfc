// The utility functions as scripts see them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <vector>

#include "runtime/DemoSequencer.h"
#include "runtime/WinMain.h"
#include "scriptapi/ScriptUtils.h"
#include "tests/fake_device.h"
#include "tests/math_script_fixture.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Script globals nan and inf (a script division by zero raises an exception).
const char* kPrelude =
    "float nan = sqrt(-1);\n"
    "float inf = pow(10, 100);\n";

bool same(float got, float want) {
  if (std::isnan(want)) return std::isnan(got);
  return got == want;
}

}  // namespace

TEST(ScriptUtils, AllRegistrationsSucceed) {
  LogCapture log;
  MathScript script;
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(script.build("void f() {}")) << script.messages();
}

TEST(ScriptUtils, ARejectedRegistrationIsReportedOnce) {
  LogCapture log;
  asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  engine->SetMessageCallback(asFUNCTION(+[](const asSMessageInfo*, void*) {}), nullptr,
                             asCALL_CDECL);
  initString(engine);
  // Without the math types four declarations name unknown types; the rest
  // still register.
  initTQScriptUtils(engine);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"TQScript - initTQScriptUtils failed"});
  EXPECT_NE(engine->GetGlobalFunctionByDecl("float smoothstep(float &in,float &in,float &in)"),
            nullptr);
  engine->ShutDownAndRelease();
}

TEST(ScriptUtils, FloatResults) {
  struct Case {
    const char* expression;
    float want;
  } cases[] = {
      // Exact formulas.
      {"degrees(3.14159265)", (float)(3.14159265f * 180.0 * 0.31830988654751274)},
      {"degrees(1)", (float)(180.0 * 0.31830988654751274)},
      {"radians(180)", (float)(180.0 * 0.017453292500000002)},
      {"radians(1)", (float)0.017453292500000002},
      {"sin(0)", 0},
      {"cos(0)", 1},
      {"tan(0)", 0},
      {"asin(1)", (float)std::asin(1.0)},
      {"acos(-1)", (float)std::acos(-1.0)},
      {"asin(2)", kNaN},
      {"acos(-1.5)", kNaN},
      {"atan(1)", (float)std::atan2(1.0, 1.0)},
      {"atan(inf)", (float)std::atan2(INFINITY, 1.0)},
      {"pow(2, 10)", 1024},
      {"pow(-8, 0.3333)", kNaN},
      {"sqrt(16)", 4},
      {"sqrt(-1)", kNaN},
      {"abs(-2.5)", 2.5f},
      {"floor(-2.5)", -3},
      {"ceil(-2.5)", -2},
      {"floor(2.5)", 2},
      {"mod(-5.5, 2)", -1.5f},
      {"mod(5.5, -2)", 1.5f},
      {"mod(1, 0)", kNaN},
      {"fract(-0.25)", 0.75f},
      {"fract(2.75)", 0.75f},
      {"fract(-3)", 0},
      // NaN and ordering.
      {"min(nan, 1)", kNaN},
      {"min(1, nan)", 1},
      {"min(2, 1)", 1},
      {"min(1, 2)", 1},
      {"max(nan, 1)", 1},
      {"max(1, nan)", kNaN},
      {"max(2, 1)", 2},
      {"clamp(nan, 0, 1)", 0},
      {"clamp(5, 10, 0)", 10},
      {"clamp(20, 10, 0)", 0},
      {"clamp(0.5, 0, 1)", 0.5f},
      {"clamp(-1, 0, 1)", 0},
      {"clamp(2, 0, 1)", 1},
      {"clamp(0.5, nan, 1)", kNaN},
      {"mix(2, 4, 0.25)", 2.5f},
      {"mix(2, 4, 2)", 6},
      {"step(1, 1)", 0},
      {"step(1, 1.0001)", 1},
      {"step(1, nan)", 0},
      {"smoothstep(0, 1, 0.5)", 0.5f},
      {"smoothstep(0, 1, 0.25)", 0.15625f},
      {"smoothstep(0, 1, -1)", 0},
      {"smoothstep(0, 1, 3)", 1},
      {"smoothstep(2, 2, 3)", 1},
      {"smoothstep(2, 2, 2)", 0},
      {"smoothstep(2, 2, 1)", 0},
      {"smoothstep(1, 0, 0.25)", 0.84375f},  // reversed edges fall
      {"intToFloat(16777217)", 16777216.0f},
      {"intToFloat(-3)", -3},
  };
  std::string source = kPrelude;
  for (size_t i = 0; i < std::size(cases); ++i)
    source += "float t" + std::to_string(i) + "() { return " + cases[i].expression + "; }\n";
  MathScript script;
  ASSERT_TRUE(script.build(source)) << script.messages();
  for (size_t i = 0; i < std::size(cases); ++i) {
    float got = script.callFloat("float t" + std::to_string(i) + "()");
    EXPECT_TRUE(same(got, cases[i].want))
        << cases[i].expression << " gave " << got << ", want " << cases[i].want;
  }
}

TEST(ScriptUtils, IntResults) {
  struct Case {
    const char* expression;
    int want;
  } cases[] = {
      {"floatToInt(-2.7)", -2},
      {"floatToInt(2.7)", 2},
      {"floatToInt(3.0e9)", (int)(3000000000ll - 4294967296ll)},
      {"floatToInt(-3.0e9)", (int)(-3000000000ll + 4294967296ll)},
      {"floatToInt(2147483648.0)", -2147483647 - 1},
      {"floatToInt(1.0e19)", 0},
      {"floatToInt(-1.0e19)", 0},
      {"floatToInt(inf)", 0},
      {"floatToInt(nan)", 0},
      {"rand(1)", 0},
      {"rand(0)", 0},
      {"engineGetQualitySettings(2)", 1},
      {"engineGetQualitySettings(3)", 1},
      {"engineGetQualitySettings(4)", 0},
      {"engineGetQualitySettings(-1)", 0},
  };
  std::string source = kPrelude;
  for (size_t i = 0; i < std::size(cases); ++i)
    source += "int t" + std::to_string(i) + "() { return " + cases[i].expression + "; }\n";
  MathScript script;
  ASSERT_TRUE(script.build(source)) << script.messages();
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(script.callInt("int t" + std::to_string(i) + "()"), cases[i].want)
        << cases[i].expression;
}

TEST(ScriptUtils, RandomRanges) {
  MathScript script;
  ASSERT_TRUE(
      script.build("int lowest = 1000000, highest = -1000000;\n"
                   "float lowestF = 2, highestF = -1;\n"
                   "void draw(int n) { lowest = 1000000; highest = -1000000;"
                   "  for (int i = 0; i < 20000; i++) { int r = rand(n);"
                   "    if (r < lowest) lowest = r; if (r > highest) highest = r; } }\n"
                   "void drawF() { for (int i = 0; i < 20000; i++) { float r = randf();"
                   "    if (r < lowestF) lowestF = r; if (r > highestF) highestF = r; } }\n"))
      << script.messages();
  asIScriptModule* module = script.engine()->GetModule("test");
  auto global = [&](const char* name) {
    return module->GetAddressOfGlobalVar(module->GetGlobalVarIndexByName(name));
  };
  struct Case {
    int n, lowest, highest;
  } cases[] = {{1, 0, 0}, {-5, 0, 4}, {7, 0, 6}, {100000, 0, 32767}};
  for (const Case& c : cases) {
    ASSERT_TRUE(script.prepare("void draw(int)"));
    script.context()->SetArgDWord(0, (asDWORD)c.n);
    ASSERT_TRUE(script.run());
    EXPECT_GE(*(int*)global("lowest"), c.lowest) << c.n;
    EXPECT_LE(*(int*)global("highest"), c.highest) << c.n;
    if (c.n == 100000) {
      EXPECT_GT(*(int*)global("highest"), 30000);  // spread over all 15 bits
    }
  }
  script.call("void drawF()");
  EXPECT_GE(*(float*)global("lowestF"), 0.0f);
  EXPECT_LE(*(float*)global("highestF"), 1.0f);

  // The largest draw modulo 10000 maps to exactly 1.0, 0 to 0.0.
  EXPECT_EQ(randfFromDraw(9999), 1.0f);
  EXPECT_EQ(randfFromDraw(19999), 1.0f);
  EXPECT_EQ(randfFromDraw(10000), 0.0f);
  EXPECT_EQ(randfFromDraw(0), 0.0f);
  EXPECT_EQ(randfFromDraw(32767), 2767 * 0.00010001f);
}

TEST(ScriptUtils, RegistrationReseedsTheGenerator) {
  // Engines registered within one second restart the same sequence.
  auto firstDraws = [] {
    MathScript script;
    EXPECT_TRUE(script.build("int f() { return rand(32768) * 32768 + rand(32768); }"));
    return script.callInt("int f()");
  };
  int a = firstDraws();
  int b = firstDraws();
  if (a != b) {
    int c = firstDraws();  // the second may have ticked over between the two
    EXPECT_EQ(b, c);
  }
}

// Every registration seeds the generator from the calendar clock, in
// seconds: registrations within one second start the same sequence, those
// of another second another one (a constant seed would give one sequence).
static time_t gFakeCalendar = 0;
TEST(ScriptUtils, RegistrationSeedsFromTheCalendarClock) {
  script_utils_test::setCalendarClock([] { return gFakeCalendar; });
  auto firstDraws = [] {
    MathScript script;
    EXPECT_TRUE(script.build("int f() { return rand(32768) * 32768 + rand(32768); }"));
    return script.callInt("int f()");
  };
  std::vector<int> seen;
  for (time_t now : {time_t(1000), time_t(1001), time_t(1700000000)}) {
    gFakeCalendar = now;
    int drawn = firstDraws();
    EXPECT_EQ(firstDraws(), drawn) << "again within second " << now;
    seen.push_back(drawn);
  }
  script_utils_test::setCalendarClock(nullptr);
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_NE(seen[1], seen[2]);
  EXPECT_NE(seen[0], seen[2]);
}

TEST(ScriptUtils, SceneTimingEndDemoAndQuality) {
  const float savedStart = gSceneStart, savedEnd = gSceneEnd, savedProgress = gSceneProgress;
  const int savedLOD = gReduceLOD, savedPost = gNoPostProcess;
  MathScript script;
  ASSERT_TRUE(
      script.build("float start() { return getSceneStart(); }\n"
                   "float end() { return getSceneEnd(); }\n"
                   "float progress() { return getSceneProgress(); }\n"
                   "void stop() { endDemo(); }\n"
                   "int q(int i) { return engineGetQualitySettings(i); }\n"
                   "int lod() { return engineGetQualitySettings_ReduceLOD(); }\n"
                   "int post() { return engineGetQualitySettings_NoPostProcess(); }\n"))
      << script.messages();

  gSceneStart = 3.5f;
  gSceneEnd = -1.0f;
  gSceneProgress = 0.25f;
  EXPECT_EQ(script.callFloat("float start()"), 3.5f);
  EXPECT_EQ(script.callFloat("float end()"), -1.0f);
  EXPECT_EQ(script.callFloat("float progress()"), 0.25f);

  for (int lodValue : {0, 1}) {
    for (int postValue : {0, 1}) {
      gReduceLOD = lodValue;
      gNoPostProcess = postValue;
      EXPECT_EQ(script.callInt("int lod()"), lodValue);
      EXPECT_EQ(script.callInt("int post()"), postValue);
      ASSERT_TRUE(script.prepare("int q(int)"));
      script.context()->SetArgDWord(0, 0);
      ASSERT_TRUE(script.run());
      EXPECT_EQ((int)script.context()->GetReturnDWord(), lodValue);
      ASSERT_TRUE(script.prepare("int q(int)"));
      script.context()->SetArgDWord(0, 1);
      ASSERT_TRUE(script.run());
      EXPECT_EQ((int)script.context()->GetReturnDWord(), postValue);
    }
  }

  gEndDemo = false;
  script.call("void stop()");
  EXPECT_TRUE(gEndDemo);
  script.call("void stop()");
  EXPECT_TRUE(gEndDemo);

  gEndDemo = false;
  gSceneStart = savedStart;
  gSceneEnd = savedEnd;
  gSceneProgress = savedProgress;
  gReduceLOD = savedLOD;
  gNoPostProcess = savedPost;
}

TEST(ScriptUtils, LogOutputIsFormattedAndBounded) {
  MathScript script;
  ASSERT_TRUE(script.build(
      "void plain(string s) { logPrint(s); }\n"
      "void one(string s) { logPrint1f(s, 1.5); }\n"
      "void vec(string s) { logPrint1v(s, vector3(1, -2, 0.25)); }\n"
      "void mat(string s) { matrix4 m(1,2,3,4, 5,6,7,8, 9,10,11,12, 13,14,15,16); logPrint1m(s, m); }\n"
      "void huge() { float big = 3.0e38; logPrint1v(\"v\", vector3(big, big, big)); }\n"))
      << script.messages();
  auto run = [&](const char* declaration, const std::string& text) {
    LogCapture log;
    ASSERT_TRUE(script.prepare(declaration));
    std::string argument = text;
    script.context()->SetArgObject(0, &argument);
    ASSERT_TRUE(script.run());
    ASSERT_EQ(log.lines().size(), 1u);
  };
  struct Case {
    const char* declaration;
    std::string text;
    std::string want;
  } cases[] = {
      {"void plain(string)", "hello", "hello"},
      {"void plain(string)", "", ""},
      {"void one(string)", "speed", "speed 1.500000"},
      {"void one(string)", "", " 1.500000"},
      {"void vec(string)", "pos", "pos 1.000000 -2.000000 0.250000"},
      {"void mat(string)", "m",
       "m\n1.000000 2.000000 3.000000 4.000000\n5.000000 6.000000 7.000000 8.000000\n"
       "9.000000 10.000000 11.000000 12.000000\n13.000000 14.000000 15.000000 16.000000"},
      // Too long for the buffers: cut at 127 and 1023 characters.
      {"void one(string)", std::string(300, 'a'), std::string(127, 'a')},
      {"void vec(string)", std::string(300, 'b'), std::string(127, 'b')},
      {"void mat(string)", std::string(2000, 'c'), std::string(1023, 'c')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.declaration);
    SCOPED_TRACE(c.text.size() > 20 ? "a long text" : c.text);
    run(c.declaration, c.text);
    EXPECT_EQ(LogCapture::lines()[0], c.want);
  }

  LogCapture log;
  script.call("void huge()");
  ASSERT_EQ(log.lines().size(), 1u);  // "%f" of 3e38 writes 39 digits
  EXPECT_EQ(log.lines()[0].size(), 127u);
  EXPECT_EQ(log.lines()[0].substr(0, 3), "v 3");
}

TEST(ScriptUtils, SetDeviceChangesTheSharedDevice) {
  TransformDevice device;
  DeviceScope scope(nullptr);
  gTQScript_setDevice(&device);
  EXPECT_EQ(gDevice, &device);
  gTQScript_setDevice(nullptr);
  EXPECT_EQ(gDevice, nullptr);

  // Scripts compiled before the change use the new device from the next call.
  TransformDevice other;
  D3DXMATRIX first, second;
  device.transforms[D3DTS_VIEW] = *D3DXMatrixTranslation(&first, 1, 0, 0);
  other.transforms[D3DTS_VIEW] = *D3DXMatrixTranslation(&second, 2, 0, 0);
  MathScript script;
  ASSERT_TRUE(script.build("float viewX() { return getViewMatrix()._41; }")) << script.messages();
  gTQScript_setDevice(&device);
  EXPECT_EQ(script.callFloat("float viewX()"), 1.0f);
  gTQScript_setDevice(&other);
  EXPECT_EQ(script.callFloat("float viewX()"), 2.0f);
}
