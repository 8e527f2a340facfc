#include <gtest/gtest.h>

#include <string>

#include "runtime/ScriptHost.h"

namespace {

// The records a preprocessed text left, as "type|name|value" joined by ";".
std::string recordSummary(const Scriplet& scriplet) {
  std::string out;
  for (const ExternVar& r : scriplet.externs) {
    if (!out.empty()) out += ";";
    out += r.type + "|" + r.name + "|" + r.value;
  }
  return out;
}

struct RewriteCase {
  const char* input;
  const char* output;
  const char* records;
};

const RewriteCase kRewrites[] = {
    {"", "", ""},
    {"int a;", "int a;", ""},
    // Assertions
    {"TQ_ASSERT(x, \"m\");\n", "TQ_ASSERT(x, \"m\");\n", ""},
    {" TQ_ASSERT(x, \"m\");\n", "testDebug(x, \"m\",\"sc\",1);\r\n", ""},
    {"//TQ_ASSERT(x);\n", "//TQ_ASSERT(x);\n", ""},
    {"// TQ_ASSERT(x);\n", "testDebug(x,\"sc\",1);\r\n", ""},
    {"a\n  TQ_ASSERT(y, \"m\"); // note\nb", "a\ntestDebug(y, \"m\",\"sc\",2);\r\nb", ""},
    {"\tTQ_ASSERT(y, \"m\"); // (x)\r\n", "testDebug(y, \"m\"); // (x,\"sc\",1);\r\n", ""},
    {" TQ_ASSERT(y\n", "testDebug(y\n,\"sc\",1);\r\n", ""},
    {"a\nb\nc\n if (k) TQ_ASSERT(k > 2, \"k\");", "a\nb\nc\ntestDebug(k > 2, \"k\",\"sc\",4);\r\n",
     ""},
    // Extern statements
    {"extern float speed = 1.5f;\nint a;\n", "float speed ;int a;\n", "float|speed|1.5"},
    {"extern float speed=1.5;\n", "float speed;", "float|speed|1.5"},
    {"extern float  speed = 1;\n", "float  speed ;", "float| speed|1"},
    {"extern color tint = 1 0.5 0; // warm\r\nx", "color tint ;x", "color|tint|1 0.5 0"},
    {"extern string title = \"a b\";\n", "string title ;", "string|title|\"a b\""},
    {"extern enum mode = A:0,B:5,C:9;\n", "int mode;", "enum|mode|C"},
    {"extern int count = 3;\nextern float f = 2;\n", "int count ;float f ;",
     "int|count|3;float|f|2"},
    {"  extern float a = 1;\n", "  extern float a = 1;\n", ""},
    {"extern\tfloat a = 1;\n", "extern\tfloat a = 1;\n", ""},
    // "@" references
    {"x = @fill;\n", "x = \"sc\",\"fill\";\n", ""},
    {"f(@a, @b);", "f(\"sc\",\"a\", @b);", ""},
    {"f(@tex2);", "f(\"sc\",\"tex\"2);", ""},
    {"f(@ x);", "f(\"sc\",\"\" x);", ""},
    {"f(@_my_Fn);", "f(\"sc\",\"_my_Fn\");", ""},
    {" TQ_ASSERT(run(@cb), \"m\");\n", "testDebug(run(\"sc\",\"cb\"), \"m\",\"sc\",1);\r\n", ""},
    // Trace calls stay out while tracing is off.
    {"void f()\r\n{\r\n  x();\r\n}\r\n", "void f()\r\n{\r\n  x();\r\n}\r\n", ""},
};

void PrintTo(const RewriteCase& c, std::ostream* out) {
  *out << testing::PrintToString(std::string(c.input));
}

class PreprocessorRewrites : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(PreprocessorRewrites, GiveTheExpectedText) {
  const RewriteCase& c = GetParam();
  ScriptHost host;
  Scriplet scriplet;
  std::string text = c.input, error;
  EXPECT_EQ(host.preprocess("sc", text, scriplet, error), 0);
  EXPECT_EQ(text, c.output);
  EXPECT_EQ(error, "");
  EXPECT_EQ(recordSummary(scriplet), c.records);
}

INSTANTIATE_TEST_SUITE_P(Table, PreprocessorRewrites, ::testing::ValuesIn(kRewrites));

struct FailureCase {
  const char* input;
  const char* error;
};

const FailureCase kFailures[] = {
    {"extern float a = 1;\nextern float speed;\n",
     "Syntax error on extern statement.  Need default value"},
    {"extern float a = 1;\nextern speed=1;\n", "Syntax error on extern statement.  No type/name"},
    {"extern float a = 1;\nextern float speed = 1\n",
     "Syntax error on extern statement.  Missing semicolon"},
    {"extern float a = 1;\nextern enum m = A:0,B;\n", "Syntax error in extern enum statement"},
    {"extern float a = 1;\nextern enum m = A:0,B,C:2;\n", "Syntax error in extern enum statement"},
};

void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << testing::PrintToString(std::string(c.input));
}

class PreprocessorFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(PreprocessorFailures, LeaveTheTextAndKeepEarlierRecords) {
  const FailureCase& c = GetParam();
  ScriptHost host;
  Scriplet scriplet;
  std::string text = c.input, error = "old";
  EXPECT_EQ(host.preprocess("sc", text, scriplet, error), 1);
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(text, c.input);
  EXPECT_EQ(recordSummary(scriplet), "float|a|1");
}

INSTANTIATE_TEST_SUITE_P(Table, PreprocessorFailures, ::testing::ValuesIn(kFailures));

TEST(Preprocessor, EnumListsGiveTheirNumbers) {
  struct {
    const char* list;
    std::map<std::string, int32_t> values;
    const char* value;
  } cases[] = {
      {"A:0,B:5,C:9", {{"A", 0}, {"B", 5}, {"C", 9}}, "C"},
      {"A:1,A:2", {{"A", 2}}, "A"},
      {"A:0,B:x", {{"A", 0}, {"B", 0}}, "B"},
      {" A : -3x,B:99999999999", {{" A ", -3}, {"B", INT32_MAX}}, "B"},
  };
  for (const auto& c : cases) {
    ScriptHost host;
    Scriplet scriplet;
    std::string text = std::string("extern enum e = ") + c.list + ";", error;
    ASSERT_EQ(host.preprocess("sc", text, scriplet, error), 0) << c.list;
    ASSERT_EQ(scriplet.externs.size(), 1u);
    const ExternVar& r = scriplet.externs.front();
    EXPECT_EQ(r.enumValues, c.values) << c.list;
    EXPECT_EQ(r.value, c.value) << c.list;
    EXPECT_EQ(r.globalVarId, -1);
    EXPECT_TRUE(r.applyPending);
    EXPECT_FALSE(r.orphan);
  }
}

TEST(Preprocessor, TraceCallsMarkTopLevelBlocksWhenSwitchedOn) {
  ScriptHost host;
  host.traceEnabled = true;
  Scriplet scriplet;
  std::string
      text =
          "void f() {\r\n if (a) {\r\n  b();\r\n } else {\r\n }\r\n}\r\nvoid g()\r\n{\r\n  c();\r\n}\r\n",
      error;
  ASSERT_EQ(host.preprocess("sc", text, scriplet, error), 0);
  EXPECT_EQ(text,
            "void f() {traceScriptInit(\"sc\");\n"
            "traceScript(2);   if (a) {\r\n"
            "traceScript(3);    b();\r\n"
            "traceScript(4);   } else {\r\n"
            "traceScript(5);   }\r\n"
            "traceScriptEnd();  }\r\n"
            "void g()\r\n"
            "{traceScriptInit(\"sc\");\n"
            "traceScript(9);    c();\r\n"
            "traceScriptEnd();  }\r\n");
}

TEST(Preprocessor, NamesAreWrittenAsLiteralsOfTheirBytes) {
  ScriptHost host;
  Scriplet scriplet;
  std::string text = "f(@cb);\n TQ_ASSERT(x);", error;
  ASSERT_EQ(host.preprocess("fx\\tunnel \"a\"", text, scriplet, error), 0);
  EXPECT_EQ(
      text,
      "f(\"fx\\\\tunnel \\\"a\\\"\",\"cb\");\ntestDebug(x,\"fx\\\\tunnel \\\"a\\\"\",2);\r\n");
}

}  // namespace
