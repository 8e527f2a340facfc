// arrayTexture: its elements share textures like any texture handle.
#include <gtest/gtest.h>

#include <vector>

#include "scriptapi/Arrays.h"
#include "tests/texture_script_fixture.h"

namespace {

// Textures that a test watches: it holds one reference of its own on each,
// so it can tell when the scripts' handles have released theirs.
std::vector<IDirect3DTexture9*>& watched() {
  static std::vector<IDirect3DTexture9*> textures;
  return textures;
}

// void watch(const texture &in)
void watch(const TextureHandle& t) {
  if (!t.object) return;
  t.object->AddRef();
  watched().push_back(t.object);
}
// int shares(const texture &in): the shared count, -1 for a handle without one.
int shares(const TextureHandle& t) { return t.count ? *t.count : -1; }

void registerWatchers(asIScriptEngine* engine) {
  engine->RegisterGlobalFunction("void watch(const texture &in)", asFUNCTION(watch), asCALL_CDECL);
  engine->RegisterGlobalFunction("int shares(const texture &in)", asFUNCTION(shares), asCALL_CDECL);
}

// References to a watched texture other than the test's own.
int othersOn(size_t which) {
  IDirect3DTexture9* t = watched()[which];
  t->AddRef();
  return int(t->Release()) - 1;
}

class TextureArrays : public TextureScene {
 protected:
  void SetUp() override {
    TextureScene::SetUp();
    watched().clear();
    ScriptHost::extraRegistrations = registerWatchers;
  }
  void TearDown() override {
    TextureScene::TearDown();
    for (IDirect3DTexture9* t : watched()) t->Release();
    watched().clear();
  }
};

}  // namespace

// Setting one texture twice shares it once; setting another releases the
// first when nothing else holds it; the array's destruction releases the
// second. Getting an empty element empties the target handle.
TEST_F(TextureArrays, ElementsShareAndRelease) {
  compile(
      "arrayTexture a(4);\n"
      "texture first;\n"
      "texture second;\n"
      "int emptyGet = 0;\n"
      "void init() {\n"
      "  first = createTexture(4, 4); second = createTexture(4, 4);\n"
      "  watch(first); watch(second);\n"
      "  texture t = createTexture(2, 2);\n"
      "  a.get(2, t);\n"
      "  emptyGet = shares(t);\n"
      "  a.set(0, first); a.set(0, first);\n"
      "}\n"
      "void begin() { first = texture(); }\n"
      "void end() { a.set(0, second); second = texture(); }\n"
      "void died() { a = arrayTexture(); }\n");
  EXPECT_EQ(*global<int>("emptyGet"), -1);
  EXPECT_EQ(*global<TextureHandle>("first")->count, 2);  // the global and element 0
  EXPECT_EQ(global<ArrayTexture>("a")->elements.size(), 4u);
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(othersOn(0), 1);  // element 0 keeps the first texture
  host->callEntry("scene", ENTRY_END);
  EXPECT_EQ(othersOn(0), 0);
  EXPECT_EQ(othersOn(1), 1);
  host->callEntry("scene", ENTRY_DIED);
  EXPECT_EQ(othersOn(1), 0);
  EXPECT_TRUE(global<ArrayTexture>("a")->elements.empty());
}

// Assigning a shorter array: the target takes its length and its textures,
// and the surplus elements drop theirs; the source keeps its own.
TEST_F(TextureArrays, AssignmentTakesTheSourceLength) {
  compile(
      "arrayTexture target(3);\n"
      "arrayTexture source(1);\n"
      "int sharedAfter = 0;\n"
      "void init() {\n"
      "  for (int i = 0; i < 3; i++) { texture t = createTexture(2, 2); watch(t); target.set(i, t); }\n"
      "  texture s = createTexture(2, 2); watch(s); source.set(0, s);\n"
      "}\n"
      "void begin() { target = source; texture got; target.get(0, got); sharedAfter = shares(got); }\n");
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(othersOn(i), 1) << i;
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(global<ArrayTexture>("target")->elements.size(), 1u);
  EXPECT_EQ(global<ArrayTexture>("target")->elements[0].object, watched()[3]);
  EXPECT_EQ(*global<int>("sharedAfter"), 3);  // source, target and got
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(othersOn(i), 0) << i;
  EXPECT_EQ(othersOn(3), 1);
}

// Indices outside the array and lengths out of range touch nothing but
// the log; a get from outside the array gives an empty handle.
TEST_F(TextureArrays, OutOfRangeIsIgnored) {
  compile(
      "arrayTexture a(2);\n"
      "arrayTexture negative(-3);\n"
      "arrayTexture huge(2000000000);\n"
      "int kept = 0;\n"
      "int gotOutside = 0;\n"
      "void init() {\n"
      "  texture t = createTexture(2, 2);\n"
      "  a.set(2, t); a.set(-1, t); a.set(2147483647, t);\n"
      "  kept = shares(t);\n"
      "  texture g = t;\n"
      "  a.get(2, g); a.get(-2147483648, g);\n"
      "  gotOutside = shares(g);\n"
      "}\n");
  EXPECT_EQ(*global<int>("kept"), 1);
  EXPECT_EQ(*global<int>("gotOutside"), -1);
  for (const TextureHandle& element : global<ArrayTexture>("a")->elements)
    EXPECT_EQ(element.object, nullptr);
  EXPECT_EQ(global<ArrayTexture>("negative")->elements.size(), 0u);
  EXPECT_EQ(global<ArrayTexture>("huge")->elements.size(), 0u);
  int outside = 0;
  for (const std::string& line : logged())
    outside += line.find("outside the array of 2") != std::string::npos;
  EXPECT_EQ(outside, 5);
}
