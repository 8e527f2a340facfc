// Deeply nested scriplet text: the script compiler parses and compiles
// nesting by recursion, so the host bounds the nesting before the compiler
// sees the text and compiles on a stack that holds everything within the
// bound. A text past the bound fails its compile like a syntax error; a
// text within it compiles (or fails) without harm.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "core/Log.h"
#include "runtime/SourceNesting.h"
#include "tests/script_host_fixture.h"
#include "tests/timeline_fixture.h"

namespace {

std::string repeat(const std::string& piece, int count) {
  std::string out;
  out.reserve(piece.size() * size_t(count));
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// One nested shape: a scriplet whose nesting, as the host counts it, is
// `levels`.
struct Shape {
  const char* name;
  std::function<std::string(int levels)> source;
};

// Each shape sits in "void render(float t) {" (one level) and, where it is
// an initialiser, after an "=" (one more).
const Shape kShapes[] = {
    {"parentheses",
     [](int n) {
       return "void render(float t) { int x = " + repeat("(", n - 2) + "1" + repeat(")", n - 2) +
              "; }";
     }},
    {"blocks",
     [](int n) {
       return "void render(float t) { " + repeat("{", n - 1) + repeat("}", n - 1) + " }";
     }},
    {"ifs",
     [](int n) {
       return "void render(float t) { bool c = t > 1; " + repeat("if (c) ", n - 2) + "c = false; }";
     }},
    // Four links of an else-if chain count one level.
    {"else ifs",
     [](int n) {
       return "void render(float t) { int x = 0; if (x == 0) x = 1; " +
              repeat("else if (x == 1) x = 2; ", (n - 3) * 4) + "}";
     }},
    {"braced else ifs",
     [](int n) {
       return "void render(float t) { int x = 0; if (x == 0) {} " +
              repeat("else if (x == 1) {} ", (n - 3) * 4) + "}";
     }},

    {"whiles",
     [](int n) {
       return "void render(float t) { bool c = t > 1; " + repeat("while (c) ", n - 2) +
              "c = false; }";
     }},
    {"conditionals",
     [](int n) {
       return "void render(float t) { bool c = t > 1; int x = " + repeat("c ? 1 : ", n - 2) +
              "0; }";
     }},
    {"assignments",
     [](int n) { return "void render(float t) { int x; x = " + repeat("x = ", n - 2) + "1; }"; }},
    {"conversions",
     [](int n) {
       return "void render(float t) { int x = 1; x = " + repeat("int(", n - 2) + "x" +
              repeat(")", n - 2) + "; }";
     }},
    {"calls",
     [](int n) {
       return "int f(int a) { return a; }\nvoid render(float t) { int x = " + repeat("f(", n - 2) +
              "1" + repeat(")", n - 2) + "; }";
     }},
};

class ScriptNestingTest : public ScriptHostTest {};

TEST_F(ScriptNestingTest, ShapesJustWithinTheBoundCompileAndJustPastItFail) {
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(shape.name);
    const std::string within = shape.source(kMaxSourceNesting);
    EXPECT_FALSE(measureSourceNesting(within).tooDeep);
    // Within the bound the compiler itself judges the text; none of these
    // is wrong, and all of them must come back.
    EXPECT_TRUE(compile(within)) << error.substr(0, 300);

    const std::string past = shape.source(kMaxSourceNesting + 2);
    EXPECT_TRUE(measureSourceNesting(past).tooDeep);
    EXPECT_FALSE(compile(past));
    EXPECT_EQ(error.rfind("Syntax error in script\nsection (", 0), 0u) << error.substr(0, 300);
    EXPECT_NE(error.find("Nested deeper than 1000 levels"), std::string::npos)
        << error.substr(0, 300);
  }
}

TEST_F(ScriptNestingTest, TextsThatOverflowedTheCompilersStackFailTheirCompile) {
  const std::string texts[] = {
      "void render(float t) { int x = " + repeat("(", 3500) + "1" + repeat(")", 3500) + "; }",
      "void render(float t) { " + repeat("{", 100000) + repeat("}", 100000) + " }",
      "void render(float t) { bool c = true; " + repeat("if (c) ", 100000) + "c = false; }",
      // Its links are cheap for the compiler, but not without end.
      "void render(float t) { int x = 0; if (x == 0) x = 1; " +
          repeat("else if (x == 1) x = 2; ", 400000) + "}",
      // Unbalanced: the compiler never sees the end.
      "void render(float t) { " + repeat("(", 200000),
  };
  for (const std::string& text : texts) {
    EXPECT_FALSE(compile(text));
    EXPECT_NE(error.find("Nested deeper than"), std::string::npos) << error.substr(0, 200);
    EXPECT_TRUE(host.scriplets.empty());
  }
}

// What the count must not take for nesting: long but flat texts, and
// brackets inside comments and literals.
TEST_F(ScriptNestingTest, FlatTextsAndBracketsInCommentsAndLiteralsPass) {
  const std::string texts[] = {
      "void render(float t) { int x = 0; " + repeat("x = x + 1; ", 5000) + "}",
      "void render(float t) { int x = 1" + repeat(" + 1", 5000) + "; }",
      "void render(float t) { float x = 0" + repeat(" - -1.5", 3000) + "; }",
      "void render(float t) { if (t > 1) {} " + repeat("if (t > 2) { t = 1; } ", 3000) + "}",
      "// " + repeat("(", 5000) + "\nvoid render(float t) { }",
      "/* " + repeat("{", 5000) + " */ void render(float t) { }",
      "void render(float t) { string s = \"" + repeat("(", 5000) + "\"; }",
      "void render(float t) { string s = \"\"\"" + repeat("[\n", 5000) + "\"\"\"; }",
  };
  for (const std::string& text : texts) {
    EXPECT_FALSE(measureSourceNesting(text).tooDeep) << text.substr(0, 60);
    EXPECT_TRUE(compile(text)) << error.substr(0, 300);
  }
}

TEST(ScriptNesting, PositionIsWhereTheBoundWasPassed) {
  const struct {
    const char* what;
    std::string text;
    int limit, row, column;
  } cases[] = {
      // "{" is one level, "=" a second, so the ninth "(" is the eleventh level.
      {"brackets", "void f()\n{\n  int x = " + repeat("(", 20) + "1" + repeat(")", 20) + ";\n}\n",
       10, 3, 11 + 8},
      // An "else" counts once the token after it is known, here on the line
      // below; the place named is the "else".
      {"an else at the end of its line", "void f()\n{\n  x; else\n  {\n  }\n}\n", 1, 3, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const NestingReport report = measureSourceNesting(c.text, c.limit);
    ASSERT_TRUE(report.tooDeep);
    EXPECT_EQ(report.row, c.row);
    EXPECT_EQ(report.column, c.column);
  }
}

class NestedSceneTest : public TimelineTest {};

TEST_F(NestedSceneTest, TooDeepASceneEndsTheRunWithTheCompileError) {
  writeFile("deep.as", "void render(float t) { int x = " + repeat("(", 3500) + "1" +
                           repeat(")", 3500) + "; }\n");
  // The fatal box's text, and out at once: objects that earlier tests of
  // this process left behind are no concern of this one's exit.
  auto fatal = [](const char* text) {
    std::fprintf(stderr, "%s\n", text);
    std::_Exit(255);
  };
  EXPECT_EXIT((gFatalErrorHook = fatal, load("0 1 1 deep deep.as 0 1 0 0")),
              testing::ExitedWithCode(255), "Error compiling scene \\(deep\\) - Abort");
}

}  // namespace
