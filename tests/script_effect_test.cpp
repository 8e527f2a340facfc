// effect and procedural textures as scriplets use them, on the headless
// device, with effect and shader files in the scriplet's folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/d3d9/D3D9TestSeams.h"
#include "runtime/ScriptString.h"
#include "scriptapi/D3DEffect.h"
#include "scriptapi/D3DXVector3.h"
#include "scriptapi/PostProcess.h"
#include "tests/texture_script_fixture.h"

namespace {

using d3d9_testing::colourNear;

// Passes that only set a state: no shader to compile.
const char* kTwoPassEffect = R"(
float4x4 worldView : WorldView;
float4x4 projection : PROJECTION;
float4x4 plain = {1, 0, 0, 0,  0, 1, 0, 0,  0, 0, 1, 0,  0, 0, 0, 1};
technique first { pass { CullMode = CW; } }
technique tec0 { pass p0 { CullMode = None; } pass p1 { CullMode = None; } }
)";

class EffectScene : public TextureScene {
 protected:
  ID3DXEffect* effect(const char* variable) {
    EffectHandle* handle = global<EffectHandle>(variable);
    return handle ? handle->object : nullptr;
  }
  // Device calls made by one entry of the scriplet.
  std::vector<std::string> callsOf(EntryPoint entry) {
    d3d9_test::clearCallLog();
    d3d9_test::setCallLogEnabled(true);
    host->callEntry("scene", entry);
    d3d9_test::setCallLogEnabled(false);
    return d3d9_test::callLog();
  }
};

struct ClipVertex {
  float x, y, z, u, v;
};

// A quad over the whole target, texture coordinates 0..1 with v down.
void drawClipQuad(IDirect3DDevice9* device) {
  const ClipVertex quad[] = {
      {-1, 1, 0.5f, 0, 0}, {1, 1, 0.5f, 1, 0}, {-1, -1, 0.5f, 0, 1}, {1, -1, 0.5f, 1, 1}};
  device->SetFVF(D3DFVF_XYZ | D3DFVF_TEX1);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(ClipVertex));
}

}  // namespace

using EffectDrawing = EffectScene;

// The script begins the effect, sets a texture and (inside the pass, with a
// commit) a colour; a quad drawn in the pass shows texture x colour. The
// first technique of the file would draw black: begin selects "tec0".
TEST_F(EffectDrawing, ParameterColourAndTextureReachThePixels) {
  write("tint.fx", R"(
float3 tint = {0, 0, 0};
texture image;
sampler2D source = sampler_state { Texture = <image>; MinFilter = Point; MagFilter = Point; AddressU = Clamp; };
struct Out { float4 p : POSITION; float2 uv : TEXCOORD0; };
Out vs(float4 p : POSITION, float2 uv : TEXCOORD0) { Out o; o.p = p; o.uv = uv; return o; }
float4 black(Out input) : COLOR { return float4(0, 0, 0, 1); }
float4 ps(Out input) : COLOR { return float4(tex2D(source, input.uv).rgb * tint, 1); }
technique dark { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 black(); } }
technique tec0 { pass { CullMode = None; VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }
)");
  compile(
      "effect e;\n"
      "texture t;\n"
      "uint passes = 99;\n"
      "int began = 1;\n"
      "int committed = 1;\n"
      "int closed = 1;\n"
      "void pattern(int w, int h, vectorN v) { v.set4(0, 1, 1, 1, 1); v.set4(1, 1, 0, 1, 1); }\n"
      "void init() { e = createEffectFromFile(\"tint.fx\"); t = createTexture(2, 1); t.fill(@pattern); }\n"
      "void render(float time) {\n"
      "  e.setParamTexture(\"image\", t);\n"
      "  began = e.begin(passes, 0);\n"
      "  e.beginPass(0);\n"
      "  e.setParamVector(\"tint\", vector3(1, 0.5f, 0.25f));\n"
      "  committed = e.commitChanges();\n"
      "}\n"
      "void postRender(float time) { closed = e.endPass() + e.end(); }\n");
  ASSERT_NE(effect("e"), nullptr);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF0000FF, 1.0f, 0);
  device->BeginScene();
  host->callEntry("scene", ENTRY_RENDER);
  drawClipQuad(device);
  host->callEntry("scene", ENTRY_POSTRENDER);
  device->EndScene();
  EXPECT_EQ(*global<int>("began"), 0);
  EXPECT_EQ(*global<asUINT>("passes"), 1u);
  EXPECT_EQ(*global<int>("committed"), 0);
  EXPECT_EQ(*global<int>("closed"), 0);
  d3d9_test::Frame image = frame();
  // White x tint on the left, magenta x tint on the right.
  EXPECT_TRUE(colourNear(image.at(8, 24), 0xFFFF8040, 1));
  EXPECT_TRUE(colourNear(image.at(56, 24), 0xFFFF0040, 1));
  EXPECT_TRUE(logged().empty());
}

// begin hands the effect world x view (world first) and the projection as
// the device holds them, leaves parameters of other semantics alone, and
// gives the pass count of "tec0"; the script's pass loop runs each pass.
TEST_F(EffectDrawing, BeginSetsTransformsAndTheTechnique) {
  write("two.fx", kTwoPassEffect);
  compile(
      "effect e;\n"
      "uint passes = 0;\n"
      "int began = 1;\n"
      "int ran = 0;\n"
      "void init() { e = createEffectFromFile(\"two.fx\"); }\n"
      "void begin() {\n"
      "  began = e.begin(passes, 0);\n"
      "  for (uint i = 0; i < passes; i++) { if (e.beginPass(i) == 0) ran++; e.endPass(); }\n"
      "  e.end();\n"
      "}\n");
  D3DXMATRIX world, view, projection, product;
  D3DXMatrixScaling(&world, 2, 3, 4);
  D3DXMatrixTranslation(&view, 5, 6, 7);
  D3DXMatrixPerspectiveFovLH(&projection, 1.0f, 1.5f, 0.5f, 100.0f);
  device->SetTransform(D3DTS_WORLD, &world);
  device->SetTransform(D3DTS_VIEW, &view);
  device->SetTransform(D3DTS_PROJECTION, &projection);
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(*global<int>("began"), 0);
  EXPECT_EQ(*global<asUINT>("passes"), 2u);
  EXPECT_EQ(*global<int>("ran"), 2);

  ID3DXEffect* e = effect("e");
  ASSERT_NE(e, nullptr);
  D3DXMATRIX got;
  ASSERT_EQ(e->GetMatrix("worldView", &got), D3D_OK);
  D3DXMatrixMultiply(&product, &world, &view);
  EXPECT_EQ(got, product);
  EXPECT_EQ(got.m[3][0], 5.0f);  // translated after scaling, not scaled after
  ASSERT_EQ(e->GetMatrix("projection", &got), D3D_OK);
  EXPECT_EQ(got, projection);
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  ASSERT_EQ(e->GetMatrix("plain", &got), D3D_OK);
  EXPECT_EQ(got, identity);
}

// Failures of the effect: each case's effect is made in init and used by
// begin's pass loop, which must run no pass where Begin fails; the other
// methods answer a failure too on a handle without an effect, and leave the
// device alone. Nothing is logged.
TEST_F(EffectDrawing, FailuresRunNoPass) {
  write("two.fx", kTwoPassEffect);
  write("broken.fx",
        "float4 c = {1, 2, 3, 4};\ntechnique tec0 { pass { CullMode = Sideways; } }\n");
  write("noTechnique.fx", "float4 c = {1, 2, 3, 4};\n");
  write("otherName.fx", "technique only { pass { CullMode = None; } pass { } pass { } }\n");
  struct Case {
    const char* what;
    const char* make;  // the statement of init
    bool holdsEffect;
    int passes;  // that begin gives and the loop runs; -1: Begin fails
  } cases[] = {
      {"never assigned", "", false, -1},
      {"missing file", "e = createEffectFromFile(\"missing.fx\");", false, -1},
      {"compile error", "e = createEffectFromFile(\"broken.fx\");", false, -1},
      {"no technique at all", "e = createEffectFromFile(\"noTechnique.fx\");", true, -1},
      {"no tec0: the current technique runs", "e = createEffectFromFile(\"otherName.fx\");", true,
       3},
      {"a handle emptied again", "e = createEffectFromFile(\"two.fx\"); effect none; e = none;",
       false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    logged().clear();
    compile(
        std::string("effect e;\n"
                    "uint passes = 5;\n"
                    "int began = 0;\n"
                    "int ran = 0;\n"
                    "int others = 0;\n"
                    "void init() { ") +
        c.make +
        " }\n"
        "void begin() {\n"
        "  began = e.begin(passes, 0);\n"
        "  for (uint i = 0; i < passes; i++) { e.beginPass(i); ran++; e.endPass(); }\n"
        "  e.end();\n"
        "}\n"
        "void end() {\n"
        "  others = (e.end() < 0 ? 1 : 0) + (e.beginPass(0) < 0 ? 1 : 0) + (e.endPass() < 0 ? 1 : 0) +\n"
        "           (e.commitChanges() < 0 ? 1 : 0);\n"
        "  e.setParamVector(\"c\", vector3(0, 0, 0));\n"
        "  texture t; e.setParamTexture(\"c\", t);\n"
        "}\n");
    EXPECT_EQ(effect("e") != nullptr, c.holdsEffect);
    host->callEntry("scene", ENTRY_BEGIN);
    if (c.passes < 0) {
      EXPECT_LT(*global<int>("began"), 0);
      EXPECT_EQ(*global<asUINT>("passes"), 0u);
      EXPECT_EQ(*global<int>("ran"), 0);
    } else {
      EXPECT_EQ(*global<int>("began"), 0);
      EXPECT_EQ(*global<int>("ran"), c.passes);
    }
    std::vector<std::string> calls = callsOf(ENTRY_END);
    EXPECT_EQ(*global<int>("others"), 4);  // not begun, or no effect
    if (!c.holdsEffect) {
      EXPECT_EQ(calls, std::vector<std::string>{});
    }
    EXPECT_TRUE(logged().empty());
  }
}

// Parameters by name: a vector3 sets x, y and z of a float3 (and of a
// float4, whose fourth component becomes 1); a texture handle sets its
// texture, an empty one none; names the effect lacks change nothing.
TEST_F(EffectDrawing, ParametersByName) {
  write("params.fx", R"(
float3 three = {9, 9, 9};
float4 four = {9, 9, 9, 9};
float4 untouched = {7, 7, 7, 7};
texture image;
technique tec0 { pass { } }
)");
  compile(
      "effect e;\n"
      "texture t;\n"
      "void init() {\n"
      "  e = createEffectFromFile(\"params.fx\"); t = createTexture(4, 4);\n"
      "  e.setParamVector(\"three\", vector3(1, 2, 3));\n"
      "  e.setParamVector(\"four\", vector3(4, 5, 6));\n"
      "  e.setParamVector(\"missing\", vector3(1, 1, 1));\n"
      "  e.setParamTexture(\"image\", t);\n"
      "  e.setParamTexture(\"absent\", t);\n"
      "}\n"
      "void begin() { texture none; e.setParamTexture(\"image\", none); }\n");
  ID3DXEffect* e = effect("e");
  ASSERT_NE(e, nullptr);
  D3DXVECTOR4 v;
  e->GetVector("three", &v);
  EXPECT_EQ(v, D3DXVECTOR4(1, 2, 3, 0));
  e->GetVector("four", &v);
  EXPECT_EQ(v, D3DXVECTOR4(4, 5, 6, 1));
  e->GetVector("untouched", &v);
  EXPECT_EQ(v, D3DXVECTOR4(7, 7, 7, 7));
  EXPECT_EQ(*global<TextureHandle>("t")->count, 1);  // the by-value copies are gone
  IDirect3DBaseTexture9* bound = nullptr;
  ASSERT_EQ(e->GetTexture("image", &bound), D3D_OK);
  EXPECT_EQ(bound, static_cast<IDirect3DBaseTexture9*>(texture("t")));
  if (bound) bound->Release();
  host->callEntry("scene", ENTRY_BEGIN);
  ASSERT_EQ(e->GetTexture("image", &bound), D3D_OK);
  EXPECT_EQ(bound, nullptr);
}

// Copies of a handle share one effect, which goes with the last copy.
TEST_F(EffectDrawing, CopiesShareOneEffect) {
  write("two.fx", kTwoPassEffect);
  compile(
      "effect a;\n"
      "effect b;\n"
      "void init() { a = createEffectFromFile(\"two.fx\"); b = a; }\n"
      "void begin() { effect none; a = none; }\n"
      "void end() { effect none; b = none; }\n");
  ID3DXEffect* e = effect("a");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(effect("b"), e);
  EXPECT_EQ(*global<EffectHandle>("a")->count, 2);
  e->AddRef();  // the test's own reference shows when the script lets go
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(effect("b"), e);
  EXPECT_EQ(*global<EffectHandle>("b")->count, 1);
  host->callEntry("scene", ENTRY_END);
  EXPECT_EQ(e->Release(), 0u);
}

using ProceduralTexture = EffectScene;

// The named function of a file is evaluated at every texel of a new
// one-level texture of the given size. A file that is missing or does not
// compile, or lacks the function, or is a folder, gives an empty handle (no
// count), with nothing logged; a NUL byte ends the source.
TEST_F(ProceduralTexture, FilledFromTheFunctionOrEmpty) {
  const std::string gradient =
      "float4 gradient(float2 p : POSITION, float2 size : PSIZE) : COLOR {\n"
      "  return float4(p.x, p.y, 0.25, 1);\n"
      "}\n";
  write("gradient.tx", gradient);
  write("nul.tx", gradient + std::string(1, '\0') + "not a shader at all {");
  write("broken.tx", "float4 gradient(float2 p : POSITION) : COLOR { return missingThing; }\n");
  std::filesystem::create_directory("shaders");  // opens, and claims an endless length
  compile(
      "texture made;\n"
      "texture afterNul;\n"
      "texture missingFile;\n"
      "texture broken;\n"
      "texture noFunction;\n"
      "texture folder;\n"
      "void init() {\n"
      "  folder = generateProceduralTextureFromFile(\"shaders\", \"gradient\", \"\", 2, 2);\n"
      "  made = generateProceduralTextureFromFile(\"gradient.tx\", \"gradient\", \"unused\", 8, 4);\n"
      "  afterNul = generateProceduralTextureFromFile(\"nul.tx\", \"gradient\", \"\", 2, 2);\n"
      "  missingFile = generateProceduralTextureFromFile(\"missing.tx\", \"gradient\", \"\", 2, 2);\n"
      "  broken = generateProceduralTextureFromFile(\"broken.tx\", \"gradient\", \"\", 2, 2);\n"
      "  noFunction = generateProceduralTextureFromFile(\"gradient.tx\", \"other\", \"\", 2, 2);\n"
      "}\n");
  IDirect3DTexture9* made = texture("made");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->GetLevelCount(), 1u);
  EXPECT_EQ(*global<TextureHandle>("made")->count, 1);
  d3d9_test::Frame image = levelImage(made);
  ASSERT_EQ(image.width, 8);
  ASSERT_EQ(image.height, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) {
      uint32_t r = uint32_t((x + 0.5) / 8 * 255 + 0.5), g = uint32_t((y + 0.5) / 4 * 255 + 0.5);
      EXPECT_TRUE(colourNear(image.at(x, y), 0xFF000000u | r << 16 | g << 8 | 64u, 1))
          << x << ", " << y;
    }
  EXPECT_NE(texture("afterNul"), nullptr);
  for (const char* name : {"missingFile", "broken", "noFunction", "folder"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(global<TextureHandle>(name)->object, nullptr);
    EXPECT_EQ(global<TextureHandle>(name)->count, nullptr);
  }
  EXPECT_TRUE(logged().empty());
}

using EffectModules = EffectScene;

// Both modules register cleanly into every engine, their types as values
// only (no object handles); a rejected registration logs the module's
// message once.
TEST_F(EffectModules, RejectedRegistrationsLogOnce) {
  compile("effect e;\npostProcess p;\n");
  EXPECT_TRUE(logged().empty());
  for (const char* declaration : {"effect@ e;", "postProcess@ p;"}) {
    std::string error;
    EXPECT_FALSE(
        host->compile("handles", std::string(declaration) + "\nvoid render(float t) {}\n", error))
        << declaration;
  }
  struct Case {
    const char* what;
    int (*registration)(asIScriptEngine*);
    const char* message;
  } cases[] = {
      {"effect registered twice", initD3DEffect, "TQScrip - initD3DEffect failed"},
      {"postProcess registered twice", initPostProcess, "TQScrip - initPostProcess failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
    engine->SetMessageCallback(asFUNCTION(+[](const asSMessageInfo*, void*) {}), nullptr,
                               asCALL_CDECL);
    engine->SetEngineProperty(asEP_ALLOW_UNSAFE_REFERENCES, 1);
    initString(engine);
    initD3DXVector3(engine);
    initD3DTexture(engine, nullptr);
    logged().clear();
    EXPECT_EQ(c.registration(engine), 0);
    EXPECT_TRUE(logged().empty());
    EXPECT_NE(c.registration(engine), 0);
    EXPECT_EQ(logged(), std::vector<std::string>{c.message});
    engine->ShutDownAndRelease();
  }
}
