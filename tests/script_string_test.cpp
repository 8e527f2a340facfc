#include <gtest/gtest.h>

#include "runtime/ScriptString.h"
#include "script_host_fixture.h"

namespace {

struct StringCase {
  const char* code;  // statements that leave their result in the global r
  const char* expected;
};

const StringCase kStringCases[] = {
    {"r = \"\"; r += r.length();", "0"},
    {"r = \"ab\\0cd\";", "ab"},
    {"bits b = 255; r = b;", "ff"},
    {"bits b = 0; r = b;", "0"},
    {"bits b = 0xFFFFFFFF; r = b;", "ffffffff"},
    {"bits b = 0xA0; r = \"x\"; r += b; r = r + b; r = b + r;", "a0xa0a0"},
    {"uint u = 255; r = u;", "255"},
    {"bits b = 255; uint u = b; r = u; bits c = b & 0xF0; r += \" \" + c;", "255 f0"},
    // Bitwise operators keep a bits value, and so its hexadecimal text.
    {"bits b = 1; b = b << 4; b |= 0x3; r = b;", "13"},
    {"bits b = 0xF0; r = (0x3C & b) + \" \" + ~b + \" \" + (b ^ 0xFF);", "30 ffffff0f f"},
    {"bits b = 0x80000000; r = b >> 28; r += b >>> 31; b >>= 4; b &= 0xFF00000; r += b;",
     "818000000"},
    {"r = -1;", "-1"},
    {"uint u = 0xFFFFFFFF; r = u;", "4294967295"},
    {"int i = -2147483647 - 1; r = i;", "-2147483648"},
    {"r = 2.5; r += 1;", "2.51"},
    {"r = 1.0 / 3.0;", "0.333333"},
    {"r = 0.5;", "0.5"},
    {"r = 3.0;", "3"},
    {"r = 0.0001;", "0.0001"},
    {"r = 100000.0;", "100000"},
    {"r = 1000000.0;", "1e+06"},
    {"r = 0.00001;", "1e-05"},
    {"r = -2.25f;", "-2.25"},
    {"string s = \"x\"; r = s + 5; r += \"|\" + s;", "x5|x"},
    {"string s = \"x\"; r = 5 + s;", "5x"},
    {"string s = \"x\"; r = 1.5 + s + uint(2);", "1.5x2"},
    {"string s = \"abc\"; r = s.letter(1);", "b"},
    {"string s = \"abc\"; r = s.letter(3) + \"|\" + s.letter(-1);", "|"},
    {"string e; r = e.letter(0) + e.length();", "0"},
    {"string a = \"q\"; string b = a; b += \"w\"; r = a + b;", "qqw"},
};

void PrintTo(const StringCase& c, std::ostream* out) { *out << c.code; }

class StringConversions : public ScriptHostTest,
                          public ::testing::WithParamInterface<StringCase> {};

TEST_P(StringConversions, GiveTheirText) {
  const StringCase& c = GetParam();
  ASSERT_TRUE(compile(std::string("string r;\nvoid render(float t) {}\nvoid initGlobals() {\n") +
                      c.code + "\n}\n"))
      << c.code << "\n"
      << error;
  ASSERT_NE(global<std::string>("r"), nullptr);
  EXPECT_EQ(*global<std::string>("r"), c.expected) << c.code;
}

INSTANTIATE_TEST_SUITE_P(Table, StringConversions, ::testing::ValuesIn(kStringCases));

// Every comparison operator over pairs whose order is known: -1, 0 or 1 for
// left < right, equal, left > right.
struct CompareCase {
  const char* left;
  const char* right;
  int order;
};

const CompareCase kCompareCases[] = {
    {"\"ab\"", "\"abc\"", -1}, {"\"b\"", "\"abc\"", 1},   {"\"abc\"", "\"abc\"", 0},
    {"\"\"", "\"\"", 0},       {"\"\"", "\"a\"", -1},     {"\"\\xe9\"", "\"z\"", 1},
    {"\"A\"", "\"a\"", -1},    {"\"a\\0b\"", "\"a\"", 0},
};

void PrintTo(const CompareCase& c, std::ostream* out) { *out << c.left << " vs " << c.right; }

class StringComparisons : public ScriptHostTest,
                          public ::testing::WithParamInterface<CompareCase> {};

TEST_P(StringComparisons, OrderByUnsignedBytes) {
  const CompareCase& c = GetParam();
  std::string l = c.left, r = c.right;
  std::string code = "string r;\nvoid render(float t) {}\nvoid initGlobals() {\n string a = " + l +
                     "; string b = " + r +
                     ";\n"
                     " if (a == b) r += \"eq \"; if (a != b) r += \"ne \";\n"
                     " if (a < b) r += \"lt \"; if (a > b) r += \"gt \";\n"
                     " if (a <= b) r += \"le \"; if (a >= b) r += \"ge \";\n"
                     " if (" +
                     l + " < " + r + ") r += \"LT\";\n}\n";
  ASSERT_TRUE(compile(code)) << error;
  const char* expected = c.order < 0 ? "ne lt le LT" : c.order > 0 ? "ne gt ge " : "eq le ge ";
  EXPECT_EQ(*global<std::string>("r"), expected) << c.left << " vs " << c.right;
}

INSTANTIATE_TEST_SUITE_P(Table, StringComparisons, ::testing::ValuesIn(kCompareCases));

void collectMessage(const asSMessageInfo* message, void* out) {
  static_cast<std::vector<std::string>*>(out)->push_back(message->message);
}

TEST_F(ScriptHostTest, StringRegistrationsLeaveTheConfigurationValid) {
  asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  std::vector<std::string> messages;
  engine->SetMessageCallback(asFUNCTION(collectMessage), &messages, asCALL_CDECL);
  EXPECT_GE(initString(engine), 0);
  EXPECT_TRUE(messages.empty()) << messages.front();
  EXPECT_TRUE(loggedMessages().empty());
  asIScriptModule* module = engine->GetModule("m", asGM_ALWAYS_CREATE);
  module->AddScriptSection("s", "string s = \"a\";", 15);
  EXPECT_GE(module->Build(), 0);
  engine->ShutDownAndRelease();
}

}  // namespace
