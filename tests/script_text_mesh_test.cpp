// Text meshes from scripts: whole strings and cached letters, drawn; the
// letter cache's keys and sharing; and what fails (no font, nothing to
// build), with every device context and font handed back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/d3dx/D3DXText.h"
#include "platform/win32/GdiInternal.h"
#include "scriptapi/D3DMesh.h"
#include "scriptapi/TextMesh.h"
#include "tests/d3d9_fixture.h"
#include "tests/fake_device.h"
#include "tests/math_script_fixture.h"
#include "tests/text_view.h"

namespace {

const char* kLiberationSans = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf";

class ScriptTextMesh : public d3d9_testing::DeviceFixture {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kLiberationSans))
      GTEST_SKIP() << "fonts-liberation is not installed (" << kLiberationSans << ")";
    DeviceFixture::SetUp();
    gGlyphMeshCache.clear();
    contexts = platform_test::gdiLiveContexts();
    fonts = platform_test::gdiLiveFonts();
    deviceScope = std::make_unique<DeviceScope>(device);
    script = std::make_unique<MathScript>();
    ASSERT_EQ(initD3DMesh(script->engine()), 0);
  }
  void TearDown() override {
    platform_test::gdiFailFontCreation(false);
    script.reset();
    // The cache would keep its meshes, and with them the device, to the
    // end of the process.
    gGlyphMeshCache.clear();
    deviceScope.reset();
    EXPECT_EQ(platform_test::gdiLiveContexts(), contexts);
    EXPECT_EQ(platform_test::gdiLiveFonts(), fonts);
    DeviceFixture::TearDown();
  }

  void run(const std::string& source) {
    ASSERT_TRUE(script->build(source)) << script->messages();
    script->call("void main()");
  }
  template <class T = MeshHandle>
  T& global(const char* name) {
    asIScriptModule* module = script->engine()->GetModule("test");
    return *static_cast<T*>(module->GetAddressOfGlobalVar(module->GetGlobalVarIndexByName(name)));
  }
  // The z range of a mesh's vertices.
  static std::pair<float, float> depth(ID3DXMesh* mesh) {
    void* data = nullptr;
    EXPECT_EQ(mesh->LockVertexBuffer(D3DLOCK_READONLY, &data), D3D_OK);
    const auto* v = static_cast<const float*>(data);
    float nearest = 1e9f, farthest = -1e9f;
    for (DWORD i = 0; i < mesh->GetNumVertices(); ++i) {
      nearest = std::min(nearest, v[i * 6 + 2]);
      farthest = std::max(farthest, v[i * 6 + 2]);
    }
    mesh->UnlockVertexBuffer();
    return {nearest, farthest};
  }

  int contexts = 0, fonts = 0;
  std::unique_ptr<DeviceScope> deviceScope;
  std::unique_ptr<MathScript> script;
};

}  // namespace

TEST_F(ScriptTextMesh, TextAndLettersAreRegisteredAmongTheMeshFactories) {
  std::vector<std::string> order;
  asIScriptEngine* engine = script->engine();
  for (asUINT i = 0; i < engine->GetGlobalFunctionCount(); ++i) {
    const std::string declaration = engine->GetGlobalFunctionByIndex(i)->GetDeclaration();
    if (declaration.rfind("mesh ", 0) == 0) order.push_back(declaration);
  }
  EXPECT_EQ(order,
            (std::vector<std::string>{
                "mesh createTeapot()", "mesh createText(string&in, string&in, float&in)",
                "mesh createMeshFromFile(string)", "mesh createMeshFromFile_uniqueInstance(string)",
                "mesh createMesh_GetFontLetter(string&in, string&in)"}));
}

// A scriplet builds "H" as text and as a letter and draws each: both show
// the glyph, extruded by the script's depth and by 0.1 for the letter.
TEST_F(ScriptTextMesh, TextAndLettersDrawTheirGlyphs) {
  run(R"(mesh text; mesh letter; float extrusion = 0.25;
         int mode = 0;
         void main() { text = createText("H", "Arial", extrusion);
                       letter = createMesh_GetFontLetter("H", "Arial"); }
         void render() { if (mode == 0) text.draw(); else letter.draw(); })");
  ID3DXMesh* text = global("text").object;
  ID3DXMesh* letter = global("letter").object;
  ASSERT_NE(text, nullptr);
  ASSERT_NE(letter, nullptr);
  EXPECT_NE(text, letter);
  EXPECT_EQ(text->GetNumVertices(), letter->GetNumVertices());
  EXPECT_EQ(depth(text), std::make_pair(-0.25f, 0.0f));
  EXPECT_EQ(depth(letter), std::make_pair(-0.1f, 0.0f));

  // "H" in the Arial stand-in: 0.08 to 0.64 em wide, 0.72 em high; its
  // stems show, the gaps above and below the bar do not.
  TextView view(device, kWidth, kHeight, D3DXVECTOR3(0.36f, 0.36f, 0), 1.2f);
  struct Probe {
    float x, y;
    bool lit;
  } probes[] = {{0.12f, 0.1f, true},
                {0.6f, 0.62f, true},
                {0.36f, 0.1f, false},
                {0.36f, 0.62f, false},
                {-0.05f, 0.36f, false}};
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode == 0 ? "text" : "letter");
    global<int>("mode") = mode;
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF000000, 1.0f, 0);
    device->BeginScene();
    script->call("void render()");
    device->EndScene();
    const d3d9_test::Frame f = frame();
    for (const Probe& p : probes) {
      int column = 0, row = 0;
      view.pixel(p.x, p.y, mode == 0 ? -0.25f : -0.1f, column, row);
      SCOPED_TRACE(testing::Message() << column << ", " << row);
      EXPECT_TRUE(d3d9_testing::colourNear(f.at(column, row) | 0xFF000000u,
                                           p.lit ? 0xFFFFFFFFu : 0xFF000000u, 8));
    }
  }
}

// The cache's key is the letter's first character, whatever the font; a
// space is built as "_" yet kept apart from "_" itself, and the empty letter
// has the key 0.
TEST_F(ScriptTextMesh, LettersComeFromTheCacheByTheirFirstCharacter) {
  run(R"(mesh a1; mesh a2; mesh b1; mesh b2; mesh space; mesh underscore; mesh none;
         void main() {
           a1 = createMesh_GetFontLetter("A", "Arial");
           a2 = createMesh_GetFontLetter("A", "Courier New");
           b1 = createMesh_GetFontLetter("Bc", "Arial");
           b2 = createMesh_GetFontLetter("B", "Arial");
           space = createMesh_GetFontLetter(" ", "Arial");
           underscore = createMesh_GetFontLetter("_", "Arial");
           none = createMesh_GetFontLetter("", "Arial");
         })");
  std::vector<char> keys;
  for (const auto& entry : gGlyphMeshCache) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<char>{'\0', ' ', 'A', 'B', '_'}));

  // One mesh for both fonts: the cache's reference and the two globals'.
  ASSERT_NE(global("a1").object, nullptr);
  EXPECT_EQ(global("a2").object, global("a1").object);
  EXPECT_EQ(*global("a1").count, 3);
  EXPECT_EQ(gGlyphMeshCache['A'].object, global("a1").object);
  EXPECT_EQ(global("b2").object, global("b1").object);
  TextMeshData b;
  ASSERT_NE(global("b1").object, nullptr);
  {
    HDC dc = GetDC(nullptr);
    HFONT font =
        CreateFontA(0, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_ONLY_PRECIS,
                    CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, 0, "Arial");
    SelectObject(dc, font);
    ASSERT_EQ(buildTextMeshData(dc, "B", 0.001f, 0.1f, b), D3D_OK);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
  }
  EXPECT_EQ(global("b1").object->GetNumVertices(), b.vertices.size());

  // The space and "_" hold two meshes of the same shape.
  ID3DXMesh* space = global("space").object;
  ID3DXMesh* underscore = global("underscore").object;
  ASSERT_NE(space, nullptr);
  ASSERT_NE(underscore, nullptr);
  EXPECT_NE(space, underscore);
  EXPECT_EQ(space->GetNumVertices(), underscore->GetNumVertices());
  EXPECT_EQ(depth(space), depth(underscore));

  // Nothing to build for the empty letter: its entry holds no mesh.
  EXPECT_EQ(gGlyphMeshCache['\0'].object, nullptr);
  EXPECT_NE(gGlyphMeshCache['\0'].count, nullptr);
  EXPECT_EQ(global("none").object, nullptr);
}

// Without a font, or with nothing visible to build, the scripts get empty
// meshes that do nothing; a letter that failed stays empty in the cache.
TEST_F(ScriptTextMesh, WhatCannotBeBuiltGivesEmptyMeshes) {
  ASSERT_TRUE(script->build(R"(
    mesh t;
    int text(const string &in s) { t = createText(s, "Arial", 0.1); t.draw(); t.lockVertex();
                                   t.releaseVertex(1); return t.getNumVertices(); }
    int letter(const string &in s) { mesh m = createMesh_GetFontLetter(s, "Arial"); m.draw();
                                     return m.getNumVertices(); })"))
      << script->messages();
  auto callWith = [&](const char* function, const std::string& argument) {
    std::string value = argument;
    if (!script->prepare(std::string("int ") + function + "(const string &in)")) return -1;
    script->context()->SetArgAddress(0, &value);
    return script->run() ? int(script->context()->GetReturnDWord()) : -1;
  };
  d3d9_test::setCallLogEnabled(true);
  d3d9_test::clearCallLog();
  EXPECT_EQ(callWith("text", ""), 0);
  EXPECT_EQ(callWith("text", "   "), 0);
  platform_test::gdiFailFontCreation(true);
  EXPECT_EQ(callWith("text", "A"), 0);
  EXPECT_EQ(callWith("letter", "A"), 0);
  d3d9_test::setCallLogEnabled(false);
  for (const std::string& call : d3d9_test::callLog())
    EXPECT_EQ(call.find("Draw"), std::string::npos) << call;
  // createText's failures are plain empty handles, with no count.
  EXPECT_EQ(global("t").count, nullptr);

  // The font is back, but the failed letter is not built again; others are.
  platform_test::gdiFailFontCreation(false);
  EXPECT_EQ(callWith("letter", "A"), 0);
  EXPECT_GT(callWith("letter", "B"), 0);
  // A space inside a text stays a space: it adds nothing.
  EXPECT_EQ(callWith("text", "B B"), 2 * callWith("letter", "B"));
}
