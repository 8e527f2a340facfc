// vectorN as scripts and host callbacks see it.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "scriptapi/VectorN.h"
#include "tests/math_script_fixture.h"

namespace {

std::vector<float> contents(const VectorN& v) {
  return std::vector<float>(v.storage(), v.storage() + v.length());
}

}  // namespace

TEST(ScriptVectorN, ScriptResults) {
  struct Case {
    const char* body;
    std::vector<float> want;
  } cases[] = {
      {"{ vectorN v; return v; }", {}},
      {"{ vectorN v(3); return v; }", {0, 0, 0}},
      {"{ vectorN v(-2); return v; }", {}},
      {"{ vectorN v(3); v.set(1, 5.0); vectorN r(1); r.set(0, v.get(1)); return r; }", {5}},
      {"{ vectorN v(9); v.set3(2, 1, 2, 3); return v; }", {0, 0, 0, 0, 0, 0, 1, 2, 3}},
      {"{ vectorN v(9); v.set3(2, 1, 2, 3); vector3 o; v.getVector3(2, o);"
       " vectorN r(3); r.setVector3(0, o); return r; }",
       {1, 2, 3}},
      {"{ vectorN v(6); v.setVector3(1, vector3(4, 5, 6)); return v; }", {0, 0, 0, 4, 5, 6}},
      {"{ vectorN v(8); v.set4(1, 1, 2, 3, 4); return v; }", {0, 0, 0, 0, 1, 2, 3, 4}},
      {"{ vectorN v(4); for (int i = 0; i < 4; i++) v.set(i, i + 1); v.copyN(0, 1, 3); return v; }",
       {1, 1, 2, 3}},
      {"{ vectorN v(4); for (int i = 0; i < 4; i++) v.set(i, i + 1); v.copyN(1, 0, 3); return v; }",
       {2, 3, 4, 4}},
      {"{ vectorN v(4); for (int i = 0; i < 4; i++) v.set(i, i + 1); v.copyN(1, 2, 0); return v; }",
       {1, 2, 3, 4}},
      // A copy that would run past the end is refused as a whole.
      {"{ vectorN w(3); w.set(0, 5); w.copyN(0, 2, 2); return w; }", {5, 0, 0}},
      // Assignment copies the elements: the target takes the source's length.
      {"{ vectorN a(2); a.set(1, 7); vectorN b(5); b = a; return b; }", {0, 7}},
      {"{ vectorN a(2); vectorN b = a; b.set(0, 3); return a; }", {0, 0}},
  };
  std::string source;
  for (size_t i = 0; i < std::size(cases); ++i)
    source += "vectorN t" + std::to_string(i) + "() " + cases[i].body + "\n";
  MathScript script(false);
  ASSERT_TRUE(script.build(source)) << script.messages();
  for (size_t i = 0; i < std::size(cases); ++i) {
    ASSERT_TRUE(script.prepare("vectorN t" + std::to_string(i) + "()"));
    ASSERT_TRUE(script.run());
    auto* v = static_cast<VectorN*>(script.context()->GetReturnObject());
    EXPECT_EQ(contents(*v), cases[i].want) << cases[i].body;
  }
}

// The host lends its buffer to a callback: the callback's own value and
// every copy of it write into the buffer, whether the parameter is declared
// by value or by reference. A copy keeps the buffer while the callback runs
// even when the script assigns over the host's value itself.
TEST(ScriptVectorN, CopiesOfAHostValueWriteIntoTheHostBuffer) {
  MathScript script(false);
  ASSERT_TRUE(script.build(
      "void byValue(vectorN v) { vectorN copy; copy = v; copy.set(2, 7); v.set(0, v.get(2) + 1); }\n"
      "void byReference(vectorN &in v) { vectorN copy = v; copy.set4(0, 1, 2, 3, 4);"
      " v.set(4, copy.get(3) * 10); }\n"
      "void reassigned(vectorN &in v) { vectorN copy = v; v = vectorN(2); v.set(1, 5);"
      " copy.set(3, v.get(1) + 1); }\n"))
      << script.messages();
  struct Case {
    const char* declaration;
    std::vector<float> buffer;  // the host's buffer afterwards
    std::vector<float> own;     // what the host's value then reads
  } cases[] = {
      {"void byValue(vectorN)", {8, 0, 7, 0, 0}, {8, 0, 7, 0, 0}},
      {"void byReference(vectorN &in)", {1, 2, 3, 4, 40}, {1, 2, 3, 4, 40}},
      {"void reassigned(vectorN &in)", {0, 0, 0, 6, 0}, {0, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.declaration);
    LogCapture log;
    auto buffer = std::make_unique<float[]>(5);
    {
      VectorN lent(buffer.get(), 5);
      ASSERT_TRUE(script.prepare(c.declaration));
      script.context()->SetArgObject(0, &lent);
      ASSERT_TRUE(script.run());
      EXPECT_EQ(contents(lent), c.own);
    }
    EXPECT_EQ(std::vector<float>(buffer.get(), buffer.get() + 5), c.buffer);
    EXPECT_TRUE(log.lines().empty());
  }
}

// Accesses outside the storage change nothing and read 0; a copy that a
// script keeps beyond the callback no longer reaches the host's buffer.
// Run under AddressSanitizer, any stray access would stop the test.
TEST(ScriptVectorN, AccessesOutsideTheStorageTouchNothing) {
  const char* statements[] = {
      "v.set(5, 1);",
      "v.set(-1, 1);",
      "v.set(2147483647, 1);",
      "v.set3(1, 1, 1, 1);",  // floats 3 to 5
      "v.set3(-1, 1, 1, 1);",
      "v.set3(715827883, 1, 1, 1);",  // 3i overflows 32 bits
      "v.setVector3(2, vector3(1, 1, 1));",
      "v.set4(1, 1, 1, 1, 1);",  // floats 4 to 7
      "v.set4(-2147483648, 1, 1, 1, 1);",
      "result = v.get(5);",
      "result = v.get(-1);",
      "vector3 o(9, 9, 9); v.getVector3(1, o); result = o.x + o.y + o.z;",
      "v.copyN(3, 0, 3);",
      "v.copyN(0, 3, 3);",
      "v.copyN(-1, 0, 2);",
      "v.copyN(0, 0, -1);",
      "v.copyN(0, 1, 2147483647);",
  };
  std::string source = "float result = 0;\n";
  for (size_t i = 0; i < std::size(statements); ++i)
    source += "void t" + std::to_string(i) + "(vectorN v) { " + statements[i] + " }\n";
  source +=
      "vectorN kept;\n"
      "void keep(vectorN v) { kept = v; }\n"
      "void useKept() { kept.set(0, 1); result = kept.get(0); }\n";
  MathScript script(false);
  ASSERT_TRUE(script.build(source)) << script.messages();
  float* result = static_cast<float*>(script.engine()->GetModule("test")->GetAddressOfGlobalVar(0));

  // Owned elements and lent storage of the same length, each exactly sized
  // so that the sanitizer sees any access past the end.
  for (bool lent : {false, true}) {
    for (size_t i = 0; i < std::size(statements); ++i) {
      SCOPED_TRACE(std::string(lent ? "lent: " : "owned: ") + statements[i]);
      LogCapture log;
      auto buffer = std::make_unique<float[]>(5);
      for (int k = 0; k < 5; ++k) buffer[k] = 10.0f + k;
      std::unique_ptr<VectorN> value;
      if (lent) {
        value = std::make_unique<VectorN>(buffer.get(), 5);
      } else {
        value = std::make_unique<VectorN>(5);
        for (int k = 0; k < 5; ++k) value->set(k, 10.0f + k);
      }
      *result = 0;
      ASSERT_TRUE(script.prepare("void t" + std::to_string(i) + "(vectorN)"));
      script.context()->SetArgObject(0, value.get());
      ASSERT_TRUE(script.run());
      EXPECT_EQ(*result, 0.0f);
      if (lent) {
        EXPECT_EQ(std::vector<float>(buffer.get(), buffer.get() + 5),
                  (std::vector<float>{10, 11, 12, 13, 14}));
      } else {
        EXPECT_EQ(contents(*value), (std::vector<float>{10, 11, 12, 13, 14}));
      }
      EXPECT_FALSE(log.lines().empty());
    }
  }

  {
    auto buffer = std::make_unique<float[]>(1);
    buffer[0] = 3;
    auto lent = std::make_unique<VectorN>(buffer.get(), 1);
    ASSERT_TRUE(script.prepare("void keep(vectorN)"));
    script.context()->SetArgObject(0, lent.get());
    ASSERT_TRUE(script.run());
    lent.reset();  // the host takes its buffer back, then frees it
  }
  LogCapture log;
  *result = 7;
  script.call("void useKept()");
  EXPECT_EQ(*result, 0.0f);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(ScriptVectorN, OversizedConstructionStaysEmpty) {
  LogCapture log;
  MathScript script(false);
  ASSERT_TRUE(script.build("float f() { vectorN v(2000000000); v.set(0, 1); return v.get(0); }"));
  EXPECT_EQ(script.callFloat("float f()"), 0.0f);
  EXPECT_EQ(log.lines().size(), 3u);
}
