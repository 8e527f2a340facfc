#include <locale>
#include <string>

#include "tests/timeline_fixture.h"

namespace {

// The tracks as text: scenes by name, "c:" before camera scenes and "!"
// before invalid ones, tracks separated by "|".
std::string layout(const DemoSequencer& sequencer) {
  std::string text;
  for (size_t t = 0; t < sequencer.tracks.size(); ++t) {
    if (t) text += "|";
    for (size_t s = 0; s < sequencer.tracks[t].size(); ++s) {
      const Scene& scene = sequencer.tracks[t][s];
      if (s) text += " ";
      text += std::string(scene.isCamera ? "c:" : "") + (scene.valid ? "" : "!") + scene.name;
    }
  }
  return text;
}

const std::string kKey = " 2 0 2 10 10 10 0 0 0 0 1 0 0.1 1000 ";

}  // namespace

class DescriptionTest : public TimelineTest {
 protected:
  void SetUp() override {
    TimelineTest::SetUp();
    writeFile("s.as", "void render(float t) {}\n");
  }
  std::string value(const std::string& scene, const std::string& variable) {
    std::string text = "<none>";
    host->getExternValue(scene, variable, text);
    return text;
  }
};

TEST_F(DescriptionTest, GoodAndBadInputs) {
  const std::string longWord(1023, 'w');
  struct Case {
    const char* label;
    std::string text;
    bool ok;
    std::string layout;
  } cases[] = {
      {"no tracks", "0 0", true, ""},
      {"negative track count", "0 -4", true, ""},
      {"an empty track between others", "0 3 1 a x 0 1 0 1 1" + kKey + " 0 1 b x 0 1 0 1 0", true,
       "c:a||c:b"},
      {"sorted by start, equal starts in file order",
       "0 1 4 late x 5 9 0 1 0  early x 1 2 0 1 0  second x 5 6 0 1 0  s s.as 1 3 0 0", true,
       "c:early s c:late c:second"},
      {"camera scene ignores its varCount", "0 1 2 cam x 0 1 3 1 0 s s.as 0 1 0 0", true,
       "c:cam s"},
      {"isCamera 2 is a camera", "0 1 1 cam x 0 1 0 2 0", true, "c:cam"},
      {"missing scriplet stays as an invalid scene", "0 1 1 gone gone.as 0 1 0 0", true, "!gone"},
      {"a word of 1023 characters", "0 1 1 " + longWord + " x 0 1 0 1 0", true, "c:" + longWord},
      {"a word of 1024 characters", "0 1 1 " + longWord + "w x 0 1 0 1 0", false, ""},
      {"header not a number", "x 1", false, ""},
      {"track count missing", "0", false, ""},
      {"scene count missing", "0 1", false, ""},
      {"start not a number", "0 1 1 cam x soon 1 0 1 0", false, ""},
      {"text ends inside a scene", "0 1 1 cam x 0 1", false, ""},
      {"fewer scenes than counted", "0 1 2 cam x 0 1 0 1 0", false, "c:cam"},
      {"fewer tracks than counted", "0 2 1 cam x 0 1 0 1 0", false, "c:cam"},
      {"key block fails part-way: scene kept", "0 1 1 cam x 0 1 0 1 2" + kKey + " 2 0 2 1", false,
       "c:cam"},
      {"negative key count", "0 1 1 cam x 0 1 0 1 -1 0 1 1 cam2 x 0 1 0 1 0", false, "c:cam"},
      {"variable line missing", "0 1 1 s s.as 0 1 1 0", false, "s"},
      {"variable name at the end of the text", "0 1 1 s s.as 0 1 1 0 speed", false, "s"},
  };
  for (const Case& c : cases) {
    sequencer = std::make_unique<DemoSequencer>(host.get(), &device);
    EXPECT_EQ(load(c.text), c.ok) << c.label;
    EXPECT_EQ(layout(*sequencer), c.layout) << c.label;
  }
}

// Numbers read the same whatever the program's global locale says.
TEST_F(DescriptionTest, NumbersReadInTheClassicLocaleWhateverTheGlobalOne) {
  struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  const bool ok = load("0 1 1 cam x 1.5 1000.25 0 1 1  2 2.5 2 1 2 3 0 0 0 0 1 0 0.5 50");
  std::locale::global(previous);
  ASSERT_TRUE(ok);
  const Scene& scene = sequencer->tracks[0][0];
  EXPECT_EQ(scene.start, 1.5f);
  EXPECT_EQ(scene.end, 1000.25f);
  EXPECT_EQ(scene.path.keys[0].time, 2.5f);
  EXPECT_EQ(scene.path.keys[0].near, 0.5f);
}

TEST_F(DescriptionTest, UnloadableDescriptionKeepsTheDemoPath) {
  EXPECT_FALSE(sequencer->loadDescription("absent.demo"));
  EXPECT_FALSE(load(""));
  EXPECT_EQ(layout(*sequencer), "c:DemoPath");
}

TEST_F(DescriptionTest, VariableValuesAreTheRestOfTheLine) {
  const std::string longValue(1022, 'v');
  struct Case {
    const char* label;
    std::string line;
    bool ok;
    std::string value;
  } cases[] = {
      {"one blank", "speed 2\n", true, "2"},
      {"two blanks", "speed  2\n", true, " 2"},
      {"one tab", "speed\t2\n", true, "2"},
      {"trailing blanks kept", "speed 2 3  \n", true, "2 3  "},
      {"CR LF", "speed 2\r\n", true, "2"},
      {"cut at the first CR", "speed 2\r3\n", true, "2"},
      {"name then line feed", "speed\n", true, ""},
      {"last line without line feed", "speed 2", true, "2"},
      {"rest of line of 1023 characters", "speed " + longValue + "\n", true, longValue},
      {"rest of line of 1024 characters", "speed " + longValue + "v\n", false, "<none>"},
  };
  for (const Case& c : cases) {
    sequencer = std::make_unique<DemoSequencer>(host.get(), &device);
    EXPECT_EQ(load("0 1 1 s s.as 0 1 1 0 " + c.line), c.ok) << c.label;
    EXPECT_EQ(value("s", "speed"), c.value) << c.label;
    host->unload("s", false);
  }
}

TEST_F(DescriptionTest, ValuesTimesAndPlacementDefaultsReachTheHost) {
  ASSERT_TRUE(
      load("1 1 2\n"
           "intro dummy 0 20 0 1\n"
           "2\n"
           "2 0 2.0 10 10 10 0 0 0 0 1 0 0.1 1000\n"
           "2 20 2.0 0 5 -10 0 0 0 0 1 0 0.1 1000\n"
           "ships s.as 0 20 2 0\n"
           "script_pos_y 1.5\n"
           "speed 0.25\n"));
  EXPECT_EQ(layout(*sequencer), "c:intro ships");
  const CameraPath& path = sequencer->tracks[0][0].path;
  ASSERT_EQ(path.keys.size(), 2u);
  EXPECT_EQ(path.keys[1].position.z, -10.0f);
  EXPECT_EQ(value("ships", "script_pos_y"), "1.5");
  EXPECT_EQ(value("ships", "speed"), "0.25");
  EXPECT_EQ(value("ships", "script_pos_x"), "0");
  EXPECT_EQ(value("ships", "script_scal_z"), "1");
  EXPECT_EQ(value("ships", "script_time_end"), "20.000000");
  EXPECT_EQ(sequencer->findScene("ships"), DemoSequencer::Location(0, 1));
}

TEST_F(DescriptionTest, EmptyDescriptionRemovesTracksButKeepsTheIndexUntilAnInsertion) {
  ASSERT_TRUE(load("0 0"));
  EXPECT_TRUE(sequencer->tracks.empty());
  EXPECT_EQ(sequencer->findScene("DemoPath"), DemoSequencer::Location(0, 0));
  EXPECT_EQ(sequencer->sceneAt(sequencer->findScene("DemoPath")).name, "NoScene");
}

TEST_F(DescriptionTest, ScenesSharingANameShareTheLaterScriplet) {
  writeFile("one.as", "void render(float t) { rec(\"one\"); }\n");
  writeFile("two.as", "void render(float t) { rec(\"two\"); }\n");
  ASSERT_TRUE(load("0 2 1 x one.as 0 10 0 0 1 x two.as 0 10 0 0"));
  EXPECT_EQ(sequencer->findScene("x"), DemoSequencer::Location(1, 0));
  EXPECT_EQ(frame(1), "[scene two two scene]");
}

TEST_F(DescriptionTest, OneSourceForTwoScenesIsLoadedOnceAndCompiledTwice) {
  ASSERT_TRUE(load("0 1 2 x s.as 0 1 0 0 y s.as 0 1 0 0"));
  EXPECT_EQ(host->scriplets.count("x"), 1u);
  EXPECT_EQ(host->scriplets.count("y"), 1u);
  EXPECT_EQ(database.entries.count("s.as"), 1u);
  EXPECT_EQ(database.entries.at("s.as").count, 1);  // only the store's own handle
}

TEST_F(DescriptionTest, CompileErrorEndsTheRunNamingTheScene) {
  writeFile("bad.as", "void render(float t) { this is not a script }\n");
  EXPECT_EXIT(load("0 1 1 broken bad.as 0 1 0 0"), testing::ExitedWithCode(255),
              "Error compiling scene \\(broken\\) - Abort");
  // A name longer than the message buffer is cut, not overrun.
  const std::string longName(3000, 'n');
  EXPECT_EXIT(load("0 1 1 " + longName.substr(0, 1023) + " bad.as 0 1 0 0"),
              testing::ExitedWithCode(255), "Error compiling scene \\(nnnn");
}
