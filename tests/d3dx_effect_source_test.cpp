// The effect file's text before the shader compiler: the preprocessor
// and the effect parser, without a device.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "platform/d3dx/EffectPreprocessor.h"
#include "platform/d3dx/EffectSource.h"

namespace {

using d3dx_fx::PreprocessInput;

// Whitespace runs as one space, the ends trimmed, "#line" lines dropped.
std::string squeezed(const std::string& s) {
  std::string out;
  bool space = false;
  size_t i = 0;
  while (i < s.size()) {
    if (s.compare(i, 5, "#line") == 0 && (i == 0 || s[i - 1] == '\n')) {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    char c = s[i++];
    if (std::isspace(static_cast<unsigned char>(c))) {
      space = !out.empty();
    } else {
      if (space) out += ' ';
      space = false;
      out += c;
    }
  }
  return out;
}

bool preprocess(const std::string& text, std::string& out, std::string& errors,
                const std::string& name = "memory", bool includes = false) {
  PreprocessInput in;
  in.text = text;
  in.fileName = name;
  in.includes = includes;
  in.defines = {{"FROM_CALLER", "7"}};
  return d3dx_fx::preprocessEffect(in, out, errors);
}

TEST(EffectPreprocessor, ExpandsAsTheCPreprocessorDoes) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      // Function-like macros, line continuations, nesting and rescanning.
      {"#define TECH(name, ps) \\\n  technique name { pass { PixelShader = compile ps_2_0 ps(); } }\n"
       "TECH(t0, main)",
       "technique t0 { pass { PixelShader = compile ps_2_0 main(); } }"},
      {"#define SQ(x) ((x) * (x))\n#define TWICE(x) SQ(x) + SQ(x)\nTWICE(a + 1)",
       "((a + 1) * (a + 1)) + ((a + 1) * (a + 1))"},
      // Pasting and stringising; a parameter pasted is not expanded first.
      {"#define N 4\n#define DECLARE(name, i) sampler2D name##Sampler : register(s##i);\nDECLARE(Tex, N)",
       "sampler2D TexSampler : register(sN);"},
      {"#define STR(x) #x\nSTR(a \"b\" c)", "\"a \\\"b\\\" c\""},
      // A macro is not expanded inside itself, and arguments may span lines.
      {"#define A A + 1\nA", "A + 1"},
      {"#define F(a, b) a - b\nF(1,\n  2) x", "1 - 2 x"},
      // A function-like macro named without arguments stays a name.
      {"#define F(a) a\nfloat F;", "float F;"},
      {"#define V(...) f(__VA_ARGS__)\nV(1, 2)", "f(1, 2)"},
      // Conditions: defined, arithmetic, #elif chains, skipped nesting.
      {"#if defined(FROM_CALLER) && FROM_CALLER * 2 == 14\nyes\n#else\nno\n#endif", "yes"},
      {"#define M 2\n#if M == 1\none\n#elif M == 2\ntwo\n#elif M == 2\nagain\n#else\nother\n#endif",
       "two"},
      {"#ifdef NOT_DEFINED\n#if 1/0\n#error not read\n#endif\nskipped\n#else\nkept\n#endif",
       "kept"},
      {"#ifndef GUARD\n#define GUARD\nonce\n#endif\n#ifndef GUARD\ntwice\n#endif", "once"},
      {"#if (3 > 2 ? 0x10 : 0) >> 4 == 1 && !UNKNOWN\nyes\n#endif", "yes"},
      {"#define E\n#undef E\n#ifdef E\nyes\n#else\nno\n#endif", "no"},
      // Comments go, strings stay whole; a leading byte-order mark goes.
      {"a /* #define X \n */ b // c\n\"// d\"", "a b \"// d\""},
      {"\xEF\xBB\xBF"
       "float x;",
       "float x;"},
      // A call of a name that is no macro reads as 0 (with a warning).
      {"#if NOT_A_MACRO(1, (2)) || 0\nyes\n#else\nno\n#endif", "no"},
      // Pragmas are kept for the compiler.
      {"#pragma pack_matrix(row_major)\nx", "#pragma pack_matrix ( row_major ) x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out, errors;
    ASSERT_TRUE(preprocess(c.text, out, errors)) << errors;
    EXPECT_EQ(squeezed(out), c.expected);
  }
}

TEST(EffectPreprocessor, KeepsLineNumbersAndReportsErrorsWhereTheyAre) {
  // Continuations, multi-line comments, directives and a call over two
  // lines all leave the text after them on its own line.
  std::string out, errors;
  ASSERT_TRUE(preprocess("#define LONG 1 + \\\n 2\n/* one\n two */\n#if 1\nF(\n)\n#endif\nlast\n",
                         out, errors));
  size_t lines = 0;
  for (size_t i = 0; i < out.find("last"); ++i) lines += out[i] == '\n';
  EXPECT_EQ(lines, 8u) << out;

  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"\n#error stop here", "memory(2): error: #error stop here"},
      {"#if 1\nx\n", "#if without #endif"},
      {"#endif", "memory(1): error: #endif without #if"},
      {"#else\n", "#else without #if"},
      {"#if 1\n#else\n#else\n#endif", "#else without #if"},
      {"#if 1 +\n#endif", "memory(1): error: invalid expression in #if"},
      {"#if 1 / 0\n#endif", "invalid expression in #if"},
      {"#if UNDEFINED(1) +\n#endif", "invalid expression in #if"},
      {"#define F(a, b) a\n\nF(1)", "memory(3): error: macro 'F' takes 2 arguments, not 1"},
      {"#define F(a) a\nF(1", "unterminated arguments of macro 'F'"},
      {"#define F(a\n", "missing ')' in the parameters of macro 'F'"},
      {"#include \"other.fxh\"",
       "cannot open include file 'other.fxh': text from memory has no folder"},
      {"#frobnicate", "unknown preprocessor directive '#frobnicate'"},
      // Text that grows without bound is stopped, not followed.
      {"#define A B B\n#define B C C\n#define C D D\n#define D E E\n#define E F F\n#define F G G\n"
       "#define G H H\n#define H I I\n#define I J J\n#define J K K\n#define K L L\n#define L M M\n"
       "#define M N N\n#define N O O\n#define O P P\n#define P Q Q\n#define Q R R\n#define R S S\n"
       "#define S T T\n#define T U U\n#define U V V\n#define V W W\n#define W X X\nA",
       "macro expansion too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string text, messages;
    EXPECT_FALSE(preprocess(c.text, text, messages));
    EXPECT_NE(messages.find(c.error), std::string::npos) << messages;
  }
}

// Nesting without bound is refused before the stack runs out.
TEST(EffectPreprocessor, RefusesNestingWithoutBound) {
  std::string calls = "#define F(a) a\n", brackets = "#if ", sizes = "static const int N = ";
  for (int i = 0; i < 1000; ++i) {
    calls += "F(";
    brackets += "(";
    sizes += "(";
  }
  calls += "1" + std::string(1000, ')');
  brackets += "1" + std::string(1000, ')') + "\n#endif\n";
  sizes += "1" + std::string(1000, ')') + ";\nfloat4 c[N];";
  std::string out, errors;
  EXPECT_FALSE(preprocess(calls, out, errors));
  EXPECT_NE(errors.find("macro arguments nested too deeply"), std::string::npos) << errors;
  errors.clear();
  EXPECT_FALSE(preprocess(brackets, out, errors));
  EXPECT_NE(errors.find("invalid expression in #if"), std::string::npos) << errors;
  errors.clear();
  d3dx_fx::EffectSource source;
  EXPECT_FALSE(d3dx_fx::parseEffect(sizes, "memory", source, errors));
  EXPECT_NE(errors.find("invalid array size"), std::string::npos) << errors;
}

// Includes open relative to the including file, with letters in any case;
// each file may start with a byte-order mark; messages name the file.
TEST(EffectPreprocessor, IncludesRelativeToTheIncludingFileInAnyCase) {
  const std::string root = ::testing::TempDir() + "fx_include_test/";
  mkdir(root.c_str(), 0755);
  mkdir((root + "Shader").c_str(), 0755);
  auto write = [&](const std::string& name, const std::string& text) {
    FILE* f = std::fopen((root + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  write("main.fx", "#include \"shader/TECH.fxh\"\nafter");
  write("Shader/tech.fxh", "\xEF\xBB\xBF#include \"Common.FXH\"\ntechnique COMMON_NAME {}\n");
  write("Shader/common.fxh", "#pragma once\n#define COMMON_NAME fromInclude\n");
  write("broken.fx", "x\n#include \"Shader\\bad.fxh\"\n");
  write("Shader/bad.fxh", "\n\n#error in the include\n");
  write("self.fx", "#include \"self.fx\"\n");

  std::string out, errors;
  FILE* f = std::fopen((root + "main.fx").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  PreprocessInput in;
  in.fileName = root + "main.fx";
  in.text = "#include \"shader/TECH.fxh\"\nafter";
  in.includes = true;
  ASSERT_TRUE(d3dx_fx::preprocessEffect(in, out, errors)) << errors;
  EXPECT_EQ(squeezed(out), "technique fromInclude {} after");
  // The effect parser follows the "#line" marks back to the main file.
  d3dx_fx::EffectSource source;
  ASSERT_TRUE(d3dx_fx::parseEffect(out, in.fileName, source, errors)) << errors;
  ASSERT_EQ(source.techniques.size(), 1u);
  EXPECT_EQ(source.techniques[0].name, "fromInclude");

  in.fileName = root + "broken.fx";
  in.text = "x\n#include \"Shader\\bad.fxh\"\n";
  errors.clear();
  EXPECT_FALSE(d3dx_fx::preprocessEffect(in, out, errors));
  EXPECT_NE(errors.find("Shader/bad.fxh(3): error: #error in the include"), std::string::npos)
      << errors;

  in.fileName = root + "self.fx";
  in.text = "#include \"self.fx\"\n";
  errors.clear();
  EXPECT_FALSE(d3dx_fx::preprocessEffect(in, out, errors));
  EXPECT_NE(errors.find("#include nested too deeply"), std::string::npos) << errors;

  in.text = "#include \"missing.fxh\"\n";
  errors.clear();
  EXPECT_FALSE(d3dx_fx::preprocessEffect(in, out, errors));
  EXPECT_NE(errors.find("cannot open include file 'missing.fxh'"), std::string::npos) << errors;

  // A file not beside the including one is looked for beside the files
  // that include that one; the nearer folder wins.
  write("pick.fxh", "#define PICK outer\n");
  write("Shader/pick.fxh", "#define PICK inner\n");
  write("onlyroot.fxh", "#define FAR outer\n");
  write("Shader/near.fxh", "#include \"pick.fxh\"\n");
  write("Shader/far.fxh", "#include \"onlyroot.fxh\"\n");
  in.fileName = root + "nested.fx";
  in.text = "#include \"Shader/near.fxh\"\n#include \"Shader/far.fxh\"\nPICK FAR\n";
  errors.clear();
  ASSERT_TRUE(d3dx_fx::preprocessEffect(in, out, errors)) << errors;
  EXPECT_EQ(squeezed(out), "inner outer");
}

// A declaration cut short after ':' or '[' ends at its ';': nothing after
// it is taken for its semantic or its value (reading on once threw out of
// the parser).
TEST(EffectParser, DeclarationsCutShortEndWhereTheyEnd) {
  for (const char* text :
       {"int f:;=", "float a[;=", "float b : register(;= 1;", "float c[2:;= 3;"}) {
    SCOPED_TRACE(text);
    d3dx_fx::EffectSource source;
    std::string errors;
    d3dx_fx::parseEffect(text, "memory", source, errors);  // either answer will do
    for (const d3dx_fx::Param& p : source.params) {
      EXPECT_NE(p.semantic, ";");
      for (float v : p.defaults) EXPECT_EQ(v, 0.0f) << p.name;
    }
  }
}

TEST(EffectParser, DeclarationsTheCompilerMustNotSee) {
  // Annotations holding ';', array sizes from constants, later Direct3D
  // versions' techniques.
  const std::string text =
      "static const int N = 3;\n"
      "const int M = N * 2 + 1;\n"
      "float4 colours[N * 2] : COLOURS;\n"
      "float4x4 bones[M];\n"
      "texture t <string name = \"a;b\"; int x = 1;>;\n"
      "sampler s <bool hidden = true;> = sampler_state { Texture = <t>; MinFilter = Linear; };\n"
      "technique10 later { pass p { SetPixelShader(CompileShader(ps_4_0, f())); } }\n"
      "technique now { pass p { CullMode = None; } }\n";
  d3dx_fx::EffectSource source;
  std::string errors;
  ASSERT_TRUE(d3dx_fx::parseEffect(text, "memory", source, errors)) << errors;
  std::vector<std::string> names;
  for (const d3dx_fx::Param& p : source.params) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"M", "colours", "bones", "t", "s"}));
  EXPECT_EQ(source.params[1].elements, 6);
  EXPECT_EQ(source.params[2].elements, 7);
  ASSERT_EQ(source.params[4].samplerStates.size(), 2u);
  ASSERT_EQ(source.techniques.size(), 1u);
  EXPECT_EQ(source.techniques[0].name, "now");
  // Nothing of the annotations, the sampler state or the later technique
  // reaches the compiler.
  for (const char* gone :
       {"hidden", "sampler_state", "MinFilter", "technique10", "CompileShader", "a;b"})
    EXPECT_EQ(source.hlsl.find(gone), std::string::npos) << gone;

  // Several names in one declaration: each is a parameter with its own
  // size, semantic and value, and the compiler still sees them all.
  errors.clear();
  ASSERT_TRUE(d3dx_fx::parseEffect("float near, far = 2, weights[2] : W = {3, 4}, last;", "memory",
                                   source, errors))
      << errors;
  ASSERT_EQ(source.params.size(), 4u);
  EXPECT_EQ(source.params[1].name, "far");
  EXPECT_EQ(source.params[1].defaults, std::vector<float>{2});
  EXPECT_EQ(source.params[2].elements, 2);
  EXPECT_EQ(source.params[2].semantic, "W");
  EXPECT_EQ(source.params[2].defaults, (std::vector<float>{3, 4}));
  EXPECT_EQ(source.params[3].name, "last");
  for (const char* kept : {"near", "far", "weights", "last"})
    EXPECT_NE(source.hlsl.find(kept), std::string::npos) << kept;
  EXPECT_EQ(source.hlsl.find('='), std::string::npos) << source.hlsl;

  // Initialisers are constant expressions, worked out as the compiler
  // would, and may name values declared before them.
  struct Value {
    const char* declaration;
    std::vector<float> expected;
  } values[] = {
      {"const float zero = 0.5f / 255.0f;", {0.5f / 255.0f}},
      {"float3 light = normalize(float3(-3, 0, 4));", {-0.6f, 0, 0.8f}},
      {"float2 texel = {1.0f / 1024.0f, -(2 + 2) * 0.25};", {1.0f / 1024.0f, -1}},
      {"float4 grey = (float4)0.5;", {0.5f, 0.5f, 0.5f, 0.5f}},
      {"float3 back = float3(1, 2, 3).zyx * 2;", {6, 4, 2}},
      {"static const float PI = 3.5; float twoPi = PI * 2;", {7}},
      {"int count = 7 / 2;", {3}},
      {"float4x4 m = float4x4(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 4, 5, 6, 1);",
       {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 4, 5, 6, 1}},
      // Comparisons, logic and conditionals, a vector test choosing by
      // component; % keeps the sign of the left side.
      {"static const int N = 3; float pick = N > 2 && !(N == 4) ? 0.25 : 0.5;", {0.25f}},
      {"float2 sel = float2(1, -1) >= 0 ? float2(2, 3) : 7;", {2, 7}},
      {"float rest = -7 % 3 + (2 <= 1 || 1 != 1);", {-1}},
  };
  for (const Value& v : values) {
    SCOPED_TRACE(v.declaration);
    errors.clear();
    ASSERT_TRUE(d3dx_fx::parseEffect(v.declaration, "memory", source, errors)) << errors;
    ASSERT_FALSE(source.params.empty());
    const std::vector<float>& got = source.params[0].defaults;
    ASSERT_EQ(got.size(), v.expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], v.expected[i], 1e-6) << i;
  }
  // A long list is no deep one: 300 quotients are worked out as well.
  std::string list = "float many[300] = {";
  for (int i = 0; i < 300; ++i) list += std::to_string(i) + " / 4.0, ";
  ASSERT_TRUE(d3dx_fx::parseEffect(list + "};", "memory", source, errors)) << errors;
  ASSERT_EQ(source.params.at(0).defaults.size(), 300u);
  EXPECT_FLOAT_EQ(source.params[0].defaults[299], 299 / 4.0f);
  ASSERT_TRUE(d3dx_fx::parseEffect("int a = 7 / 2; bool on = 2;", "memory", source, errors));
  ASSERT_EQ(source.params.size(), 2u);
  EXPECT_EQ(source.params[1].defaults, std::vector<float>{1});

  // An array without a size takes it from its value, and the compiler is
  // told it; without a value it has none.
  errors.clear();
  ASSERT_TRUE(
      d3dx_fx::parseEffect("float2 k[] = {{1, 2}, {3, 4}, {5, 6},};", "memory", source, errors))
      << errors;
  ASSERT_EQ(source.params.size(), 1u);
  EXPECT_EQ(source.params[0].elements, 3);
  EXPECT_EQ(source.params[0].defaults, (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_NE(source.hlsl.find("k[3]"), std::string::npos) << source.hlsl;
  errors.clear();
  EXPECT_FALSE(d3dx_fx::parseEffect("float4 c[];", "memory", source, errors));
  EXPECT_NE(errors.find("invalid array size for 'c'"), std::string::npos) << errors;

  // An effect of later techniques alone is refused, not loaded empty.
  errors.clear();
  EXPECT_FALSE(d3dx_fx::parseEffect("technique11 t { pass p {} }", "memory", source, errors));
  EXPECT_NE(errors.find("only technique11 techniques"), std::string::npos) << errors;
  // So are they gathered in an fxgroup; beside a technique of ours the
  // group is left out.
  errors.clear();
  EXPECT_FALSE(d3dx_fx::parseEffect("fxgroup g {\n technique11 t { pass p {} } }", "memory", source,
                                    errors));
  EXPECT_NE(errors.find("memory(2): error: the effect has only technique11 techniques"),
            std::string::npos)
      << errors;
  errors.clear();
  EXPECT_TRUE(
      d3dx_fx::parseEffect("fxgroup g { technique11 t { pass p {} } }\ntechnique n { pass p {} }",
                           "memory", source, errors))
      << errors;
  ASSERT_EQ(source.techniques.size(), 1u);
  EXPECT_EQ(source.hlsl.find("fxgroup"), std::string::npos) << source.hlsl;
  // A size that is no constant of the file.
  errors.clear();
  EXPECT_FALSE(d3dx_fx::parseEffect("float4 c[UNKNOWN];", "memory", source, errors));
  EXPECT_NE(errors.find("invalid array size for 'c'"), std::string::npos) << errors;
}

}  // namespace
