#include <gtest/gtest.h>

#include <string>

#include "script_host_fixture.h"

namespace {

struct Color {
  float r, g, b, a;
};

// A color of four floats when the engine has none of its own yet.
void registerColor(asIScriptEngine* engine) {
  if (engine->GetTypeIdByDecl("color") >= 0) return;
  engine->RegisterObjectType(
      "color", sizeof(Color),
      asOBJ_VALUE | asOBJ_POD | asOBJ_APP_CLASS_ALLFLOATS | asGetTypeTraits<Color>());
  engine->RegisterObjectProperty("color", "float r", 0);
  engine->RegisterObjectProperty("color", "float g", 4);
  engine->RegisterObjectProperty("color", "float b", 8);
  engine->RegisterObjectProperty("color", "float a", 12);
}

class Externs : public ScriptHostTest {
 protected:
  void SetUp() override {
    ScriptHostTest::SetUp();
    ScriptHost::extraRegistrations = registerColor;
  }
};

// Each declared extern records in initGlobals and init what it held then.
const char kExternScript[] =
    "extern float speed = 1.5f;\n"
    "extern color tint = 1 0.5 0;\n"
    "extern string title = \"a b\";\n"
    "extern enum mode = A:0,B:5,C:9;\n"
    "float speedAtInitGlobals; float speedAtInit;\n"
    "int modeAtInit;\n"
    "string titleAtInit;\n"
    "float plain = 2;\n"
    "int other = 7;\n"
    "string label = \"keep\";\n"
    "void initGlobals() { speedAtInitGlobals = speed; tint.a = 0.25; }\n"
    "void init() { speedAtInit = speed; modeAtInit = mode; titleAtInit = title; }\n"
    "void render(float t) {}\n";

TEST_F(Externs, DeclaredDefaultsReachTheScriptBeforeInitGlobals) {
  ASSERT_TRUE(compile(kExternScript)) << error;
  EXPECT_EQ(*global<float>("speedAtInitGlobals"), 1.5f);
  const Color* tint = global<Color>("tint");
  ASSERT_NE(tint, nullptr);
  EXPECT_EQ(tint->r, 1.0f);
  EXPECT_EQ(tint->g, 0.5f);
  EXPECT_EQ(tint->b, 0.0f);
  EXPECT_EQ(*global<std::string>("title"), "\"a b\"");
  EXPECT_EQ(*global<int>("mode"), 9);
}

TEST_F(Externs, DescriptionValuesReachTheGlobalsAtTheNextEntry) {
  ASSERT_TRUE(compile(kExternScript)) << error;
  host.setExternValue("scene", "speed", "4");
  host.setExternValue("scene", "speed", "3");
  host.setExternValue("scene", "tint", "0.2 0.4 0.6");
  host.setExternValue("scene", "title", " two  blanks ");
  host.setExternValue("scene", "mode", "B");
  EXPECT_EQ(*global<float>("speed"), 1.5f);  // not before the entry call
  host.callEntry("scene", ENTRY_INIT);
  EXPECT_EQ(*global<float>("speedAtInit"), 3.0f);
  EXPECT_EQ(*global<int>("modeAtInit"), 5);
  EXPECT_EQ(*global<std::string>("titleAtInit"), " two  blanks ");
  const Color* tint = global<Color>("tint");
  EXPECT_EQ(tint->r, 0.2f);
  EXPECT_EQ(tint->g, 0.4f);
  EXPECT_EQ(tint->b, 0.6f);
  EXPECT_EQ(tint->a, 0.25f);  // alpha is the script's

  // A value is written once per set: the script's own change stays.
  *global<float>("speed") = 8;
  host.callEntry("scene", ENTRY_BEGIN);  // no such function: values applied all the same
  EXPECT_EQ(*global<float>("speed"), 8.0f);
  host.setExternValue("scene", "speed", "5");
  host.callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(*global<float>("speed"), 5.0f);
}

TEST_F(Externs, UnreadableValuesLeaveOrZeroTheGlobals) {
  ASSERT_TRUE(compile(kExternScript)) << error;
  host.setExternValue("scene", "speed", "fast");
  host.setExternValue("scene", "mode", "Z");
  host.setExternValue("scene", "tint", "0.75");
  host.callEntry("scene", ENTRY_END);
  EXPECT_EQ(*global<float>("speed"), 1.5f);
  EXPECT_EQ(*global<int>("mode"), 0);
  EXPECT_EQ(host.scriplets.at("scene").externs.back().enumValues.at("Z"), 0);
  const Color* tint = global<Color>("tint");
  EXPECT_EQ(tint->r, 0.75f);
  EXPECT_EQ(tint->g, 0.5f);
  EXPECT_EQ(tint->b, 0.0f);
}

TEST_F(Externs, UndeclaredNamesNeverReachGlobalsOfAnotherType) {
  ASSERT_TRUE(compile(kExternScript)) << error;
  // The description names plain globals; the sequencer records its own values.
  host.setExternValue("scene", "plain", "9");
  host.setExternValue("scene", "other", "9");
  host.setExternValue("scene", "label", "9");
  host.setExternValue("scene", "nothing", "9");
  host.setExternTyped("scene", "speed", "float", "6");
  host.setExternTyped("scene", "script_pos_x", "float", "0");
  host.setExternFloat("scene", "script_time_start", "float", 12.5f);
  host.setExternValue("scene", "title", "x");  // something declared, so values are applied
  host.callEntry("scene", ENTRY_INIT);

  EXPECT_EQ(*global<float>("plain"), 9.0f);
  EXPECT_EQ(*global<int>("other"), 7);
  EXPECT_EQ(*global<std::string>("label"), "keep");
  EXPECT_EQ(*global<float>("speed"), 1.5f);  // typed setter: the host's text only
  std::string value;
  ASSERT_TRUE(host.getExternValue("scene", "speed", value));
  EXPECT_EQ(value, "6");
  ASSERT_TRUE(host.getExternValue("scene", "script_time_start", value));
  EXPECT_EQ(value, "12.500000");
  float x = -1;
  host.getExternFloat("scene", "script_pos_x", x);
  EXPECT_EQ(x, 0.0f);
  float untouched = -1;
  host.getExternFloat("scene", "missing", untouched);
  host.getExternFloat("scene", "title", untouched);
  EXPECT_EQ(untouched, -1.0f);
}

TEST_F(Externs, PlacementNameDeclaredByTheScriptKeepsItsDefault) {
  ASSERT_TRUE(compile("extern float script_pos_x = 4;\nvoid render(float t) {}")) << error;
  host.setExternTyped("scene", "script_pos_x", "float", "0");
  host.callEntry("scene", ENTRY_INIT);
  EXPECT_EQ(*global<float>("script_pos_x"), 4.0f);
  float x = -1;
  host.getExternFloat("scene", "script_pos_x", x);
  EXPECT_EQ(x, 0.0f);
  host.setExternValue("scene", "script_pos_x", "2");
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(*global<float>("script_pos_x"), 2.0f);
  host.getExternFloat("scene", "script_pos_x", x);
  EXPECT_EQ(x, 2.0f);
}

TEST_F(Externs, ReadingAnUnknownScripletCreatesNothing) {
  std::string value = "same";
  EXPECT_FALSE(host.getExternValue("nobody", "speed", value));
  EXPECT_EQ(value, "same");
  EXPECT_TRUE(host.savedExterns.empty());
}

TEST_F(Externs, SavedValuesSurviveUnloadAndRecompile) {
  ASSERT_TRUE(compile(kExternScript)) << error;
  host.setExternValue("scene", "speed", "3");
  host.setExternValue("scene", "mode", "A");
  EXPECT_TRUE(host.unload("scene", true));
  ASSERT_EQ(host.savedExterns.count("scene"), 1u);
  for (const ExternVar& r : host.savedExterns["scene"]) EXPECT_EQ(r.globalVarId, -1) << r.name;
  std::string value;
  ASSERT_TRUE(host.getExternValue("scene", "speed", value));
  EXPECT_EQ(value, "3");

  // Values set while it is not loaded wait too.
  host.setExternValue("scene", "title", "later");
  host.setExternTyped("scene", "gone", "color", "1 1 1");
  ASSERT_TRUE(compile(
      "extern float speed = 1;\nextern string title = \"t\";\nfloat gone = 5;\nfloat seen;\n"
      "void initGlobals() { seen = speed; }\nvoid render(float t) {}"))
      << error;
  EXPECT_TRUE(host.savedExterns.empty());
  EXPECT_EQ(*global<float>("seen"), 3.0f);
  EXPECT_EQ(*global<std::string>("title"), "later");
  EXPECT_EQ(*global<float>("gone"), 5.0f);  // saved values the script does not declare: orphans
  ASSERT_TRUE(host.getExternValue("scene", "mode", value));
  EXPECT_EQ(value, "A");
  for (const ExternVar& r : host.scriplets.at("scene").externs)
    EXPECT_EQ(r.orphan, r.name != "speed" && r.name != "title") << r.name;

  // Unload without keeping forgets them.
  EXPECT_TRUE(host.unload("scene", false));
  EXPECT_FALSE(host.getExternValue("scene", "speed", value));
}

}  // namespace
