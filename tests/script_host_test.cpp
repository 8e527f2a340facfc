#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/ScriptDebug.h"
#include "runtime/ScriptGuard.h"
#include "script_host_fixture.h"
#include "scriptapi/VectorN.h"

namespace {

// What the test natives saw, in order.
std::vector<std::string> gNotes;

std::string currentDirectory() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}

// void note(const string &in)
void note(const std::string& text) { gNotes.push_back(text); }
// void noteDirectory()
void noteDirectory() { gNotes.push_back(currentDirectory()); }
// void noteTrace()
void noteTrace() { gNotes.push_back(gTraceName + ":" + std::to_string(gTraceLine)); }
// void runBack(const string &in, const string &in): a callback-taking native
// (3, 4, a vectorN lent over a buffer whose first float is 5).
void runBack(const std::string& scriplet, const std::string& function) {
  float buffer[2] = {5.0f, 0.0f};
  VectorN lent(buffer, 2);
  gScriptHost->callFunctionWithArgs(scriplet, function, 3, 4, &lent);
}
// void runBackPlain(const string &in, const string &in)
void runBackPlain(const std::string& scriplet, const std::string& function) {
  gScriptHost->callFunction(scriplet, function);
}

void registerTestNatives(asIScriptEngine* engine) {
  engine->RegisterGlobalFunction("void note(const string &in)", asFUNCTION(note), asCALL_CDECL);
  engine->RegisterGlobalFunction("void noteDirectory()", asFUNCTION(noteDirectory), asCALL_CDECL);
  engine->RegisterGlobalFunction("void noteTrace()", asFUNCTION(noteTrace), asCALL_CDECL);
  engine->RegisterGlobalFunction("void runBack(const string &in, const string &in)",
                                 asFUNCTION(runBack), asCALL_CDECL);
  engine->RegisterGlobalFunction("void runBackPlain(const string &in, const string &in)",
                                 asFUNCTION(runBackPlain), asCALL_CDECL);
}

class HostCalls : public ScriptHostTest {
 protected:
  void SetUp() override {
    ScriptHostTest::SetUp();
    gNotes.clear();
    ScriptHost::extraRegistrations = registerTestNatives;
  }
};

// ---------------------------------------------------------------------------
// Compile messages

struct EchoCase {
  const char* what;
  const char* script;
  const char* message;
  const char* expected;  // collected after the message
};

const EchoCase kEchoCases[] = {
    {"row 3 column 5 over CRLF", "one\r\ntwo\r\nabcdefghijk\r\nfour",
     "section (3, 5) : Error : bad\n", "section (3, 5) : Error : bad\nabcdefghijk\r\n    ^\r\n"},
    {"row 1 from its first character", "first line\nsecond\n", "section (1, 1) : Error : m\n",
     "section (1, 1) : Error : m\nfirst line\r\n^\r\n"},
    {"row and column 0 mean line 1, no blanks", "first\nsecond", "section (0, 0) : Info : m\n",
     "section (0, 0) : Info : m\nfirst\r\n^\r\n"},
    {"last line without a line feed", "a\nlast", "section (2, 3) : Error : m\n",
     "section (2, 3) : Error : m\nlast\r\n  ^\r\n"},
    {"bare line feed: the whole line", "abc\ndef\n", "section (1, 2) : Warning : m\n",
     "section (1, 2) : Warning : m\nabc\r\n ^\r\n"},
    {"empty line", "a\n\nb", "section (2, 1) : Error : m\n",
     "section (2, 1) : Error : m\n\r\n^\r\n"},
    {"row beyond the text", "a\nb", "section (9, 2) : Error : m\n",
     "section (9, 2) : Error : m\n\r\n ^\r\n"},
    {"no position", "a\nb", "Invalid configuration\n", "Invalid configuration\n"},
};

class CompileMessageEcho : public ScriptHostTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(CompileMessageEcho, KeepsMessageAndLine) {
  const EchoCase& c = GetParam();
  std::string script = c.script;
  LogParseError collector(&script);
  collector.Write(c.message);
  EXPECT_EQ(collector.collected, c.expected);
  ASSERT_EQ(loggedMessages().size(), 1u);
  EXPECT_EQ(loggedMessages()[0], c.message);
}

INSTANTIATE_TEST_SUITE_P(Table, CompileMessageEcho, ::testing::ValuesIn(kEchoCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(ScriptHostTest, CompileMessageEchoIsBoundedByItsBuffer) {
  std::string script = "x\n" + std::string(300, 'a') + "\r\ny";
  LogParseError collector(&script);
  collector.Write("section (2, 200) : Error : m\n");
  EXPECT_EQ(collector.collected, "section (2, 200) : Error : m\n" + std::string(127, 'a') + "\r\n" +
                                     std::string(127, ' ') + "^\r\n");
  collector.Write("section (1, 2000000000) : Error : m\n");
  EXPECT_EQ(collector.collected,
            "section (1, 2000000000) : Error : m\nx\r\n" + std::string(127, ' ') + "^\r\n");
}

TEST_F(ScriptHostTest, CompileMessageCollectorKeepsOnlyTheLatest) {
  std::string script = "aa\nbb\n";
  LogParseError collector(&script);
  collector.Write("section (1, 1) : Error : first\n");
  collector.Write("section (2, 2) : Error : second\n");
  EXPECT_EQ(collector.collected, "section (2, 2) : Error : second\nbb\r\n ^\r\n");
  EXPECT_EQ(loggedMessages().size(), 2u);
}

// One collector over a long build: each message echoes its own line, in
// whatever order the rows come, also a row before one already echoed, a
// row past the end, and the last line without a line feed.
TEST_F(ScriptHostTest, CompileMessageCollectorEchoesTheLineOfEachMessage) {
  std::string script;
  for (int i = 1; i <= 2000; ++i) script += "line " + std::to_string(i) + (i % 2 ? "\r\n" : "\n");
  script += "last";
  LogParseError collector(&script);
  const struct {
    int row;
    const char* echo;
  } rows[] = {{7, "line 7"}, {1999, "line 1999"}, {2, "line 2"},       {2001, "last"},
              {2002, ""},    {0, "line 1"},       {2000, "line 2000"}, {1, "line 1"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    const std::string message = "section (" + std::to_string(r.row) + ", 3) : Warning : w\n";
    collector.Write(message.c_str());
    EXPECT_EQ(collector.collected, message + r.echo + "\r\n  ^\r\n");
  }
}

// A failed build: the error text is the prefix, the latest message and the
// echo of the line that it names, with the caret under its column.
struct BuildErrorCase {
  const char* what;
  const char* script;
  const char* line;  // the line the error must echo
};

const BuildErrorCase kBuildErrors[] = {
    {"CRLF", "void render(float t) {\r\n  int x = ;\r\n}\r\n", "  int x = ;"},
    {"LF", "void render(float t) {\n  int x = ;\n}\n", "  int x = ;"},
    {"last line without line end", "void render(float t) {}\nint y = ;", "int y = ;"},
    {"row 1", "int y = ; void render(float t) {}", "int y = ; void render(float t) {}"},
    {"extern joins lines", "extern float s = 1;\nint y = ;\nvoid render(float t) {}",
     "float s ;int y = ;"},
};

class BuildErrors : public ScriptHostTest, public ::testing::WithParamInterface<BuildErrorCase> {};

TEST_P(BuildErrors, EchoTheLineOfTheLatestMessage) {
  const BuildErrorCase& c = GetParam();
  EXPECT_FALSE(compile(c.script));
  EXPECT_TRUE(host.scriplets.empty());
  const std::string prefix = "Syntax error in script\nsection (";
  ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
  size_t end = error.find('\n', prefix.size());
  ASSERT_NE(end, std::string::npos);
  int row = 0, column = 0;
  ASSERT_EQ(std::sscanf(error.c_str() + prefix.size() - 1, "(%d, %d)", &row, &column), 2) << error;
  ASSERT_GE(column, 1);
  EXPECT_EQ(error.substr(end + 1),
            c.line + std::string("\r\n") + std::string(size_t(column - 1), ' ') + "^\r\n")
      << error;
  // Every message was logged, the last one being the one kept.
  ASSERT_FALSE(loggedMessages().empty());
  const size_t message = prefix.size() - 9;
  EXPECT_EQ(loggedMessages().back(), error.substr(message, end + 1 - message));
}

INSTANTIATE_TEST_SUITE_P(Table, BuildErrors, ::testing::ValuesIn(kBuildErrors),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// A message longer than any fixed buffer (it quotes a long identifier) is
// kept whole, with its line end before the echo. The formatted line runs
// past 1023 bytes, while the script library's own text stays under its
// 1023-byte buffer: past that, the library formats its text again from an
// argument list it has used up already (undefined behaviour that only
// sometimes goes unnoticed).
TEST_F(ScriptHostTest, LongCompileMessageIsKeptWhole) {
  const std::string name(990, 'q');
  EXPECT_FALSE(compile("void render(float t) {\n" + name + " = 1;\n}\n"));
  const std::string message = "section (2, 1) : Error : No matching symbol '" + name + "'\n";
  EXPECT_EQ(error, "Syntax error in script\n" + message + name.substr(0, 127) + "\r\n^\r\n");
  EXPECT_EQ(loggedMessages().back(), message);
}

void registerBroken(asIScriptEngine* engine) {
  engine->RegisterGlobalFunction("void broken(", asFUNCTION(note), asCALL_CDECL);
}

TEST_F(ScriptHostTest, RejectedRegistrationFailsTheBuild) {
  ScriptHost::extraRegistrations = registerBroken;
  EXPECT_FALSE(compile("void render(float t) {}"));
  EXPECT_EQ(error, "Syntax error in script\nInvalid configuration\n");
  EXPECT_TRUE(host.scriplets.empty());
}

TEST_F(ScriptHostTest, MissingRenderFailsTheCompile) {
  EXPECT_FALSE(compile("void init() {}\nvoid render(int x) {}"));
  EXPECT_EQ(error, "No render() function");
  EXPECT_TRUE(host.scriplets.empty());
}

TEST_F(ScriptHostTest, PreprocessorErrorFailsTheCompile) {
  EXPECT_FALSE(compile("extern float speed;\nvoid render(float t) {}"));
  EXPECT_EQ(error, "Syntax error on extern statement.  Need default value");
  EXPECT_TRUE(host.scriplets.empty());
}

TEST_F(ScriptHostTest, FailedCompileKeepsTheLoadedScripletAndSavedValues) {
  ASSERT_TRUE(compile("int version = 1;\nvoid render(float t) {}"));
  host.setExternValue("other", "speed", "2");
  EXPECT_FALSE(compile("int version = ;"));
  EXPECT_FALSE(compile("extern float speed = 1;\nint version = ;", "other"));
  ASSERT_NE(global<int>("version"), nullptr);
  EXPECT_EQ(*global<int>("version"), 1);
  EXPECT_EQ(host.scriplets.count("other"), 0u);
  ASSERT_EQ(host.savedExterns.count("other"), 1u);
  EXPECT_EQ(host.savedExterns["other"].front().value, "2");
}

// ---------------------------------------------------------------------------
// Entry calls

const char kEntryScript[] =
    "float seen = -1;\n"
    "int inits = 0;\n"
    "void initGlobals() { note(\"initGlobals\"); }\n"
    "void init() { inits++; note(\"init\"); }\n"
    "void preRender(float t) { note(\"preRender \" + t); }\n"
    "void render(float t) { seen = t; note(\"render \" + t); }\n"
    "void postRender(float t) { note(\"postRender \" + t); }\n"
    "void end() { note(\"end\"); }\n"
    "void died() { note(\"died\"); }\n";

TEST_F(HostCalls, EntryCallsRunTheirFunctionsWithTheTime) {
  ASSERT_TRUE(compile(kEntryScript)) << error;
  host.setTime(2.5f);
  EXPECT_EQ(host.getTime(), 2.5f);
  for (EntryPoint code :
       {ENTRY_INIT, ENTRY_BEGIN, ENTRY_PRERENDER, ENTRY_RENDER, ENTRY_POSTRENDER, ENTRY_END})
    host.callEntry("scene", code);
  host.callEntry("not loaded", ENTRY_INIT);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"initGlobals", "init", "preRender 2.5", "render 2.5",
                                              "postRender 2.5", "end"}));
  EXPECT_EQ(*global<float>("seen"), 2.5f);
  EXPECT_EQ(*global<int>("inits"), 1);

  EXPECT_TRUE(host.unload("scene", false));
  EXPECT_EQ(gNotes.back(), "died");
  EXPECT_TRUE(host.scriplets.empty());
  EXPECT_FALSE(host.unload("scene", false));
}

TEST_F(HostCalls, EntryCallsOfAMinimalScripletDoNothing) {
  ASSERT_TRUE(compile("void render(float t) { note(\"render\"); }"));
  const Scriplet& s = host.scriplets.at("scene");
  for (int code = 0; code < ENTRY_COUNT; ++code)
    EXPECT_EQ(s.entryIds[code] >= 0, code == ENTRY_RENDER) << code;
  for (EntryPoint code : {ENTRY_INIT, ENTRY_BEGIN, ENTRY_PRERENDER, ENTRY_POSTRENDER, ENTRY_END})
    host.callEntry("scene", code);
  EXPECT_TRUE(gNotes.empty());
  EXPECT_TRUE(host.unload("scene", false));
  EXPECT_TRUE(gNotes.empty());
}

TEST_F(HostCalls, CompilingALoadedNameReplacesIt) {
  ASSERT_TRUE(compile("void render(float t) { note(\"old\"); }"));
  ASSERT_TRUE(compile("void render(float t) { note(\"new\"); }"));
  EXPECT_EQ(host.scriplets.size(), 1u);
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, std::vector<std::string>{"new"});
}

TEST_F(HostCalls, ScripletsLiveInEnginesOfTheirOwn) {
  ASSERT_TRUE(compile(
      "int n = 1;\nvoid render(float t) { note(\"a\" + n); }\nvoid died() { note(\"died\"); }",
      "a"));
  ASSERT_TRUE(compile(
      "int n = 2;\nvoid render(float t) { note(\"b\" + n); }\nvoid died() { note(\"died\"); }",
      "b"));
  EXPECT_NE(host.scriplets.at("a").engine, host.scriplets.at("b").engine);
  host.callEntry("b", ENTRY_RENDER);
  host.callEntry("a", ENTRY_RENDER);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"b2", "a1"}));
  // Shutdown releases them without running died.
  host.shutdown();
  EXPECT_TRUE(host.scriplets.empty());
  EXPECT_EQ(gNotes.size(), 2u);
}

TEST_F(HostCalls, ScriptExceptionEndsOnlyThatCall) {
  ASSERT_TRUE(compile(
      "int zero = 0;\nvoid render(float t) { note(\"a\"); int x = 1 / zero; note(\"b\"); }"));
  host.callEntry("scene", ENTRY_RENDER);
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"a", "a"}));
}

// A scriplet that recurses without end runs out of script stack, which ends
// that call like any script exception instead of taking all memory.
TEST_F(HostCalls, EndlessRecursionEndsOnlyThatCall) {
  ASSERT_TRUE(
      compile("int depth = 0;\n"
              "void down() { depth++; down(); }\n"
              "void render(float t) { note(\"r\"); depth = 0; down(); note(\"unreached\"); }\n"))
      << error;
  host.callEntry("scene", ENTRY_RENDER);
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"r", "r"}));
  EXPECT_GT(*global<int>("depth"), 1000);  // deep recursion itself is fine
}

// Script objects that hold each other in a ring are only freed by the
// collector, which the calls themselves drive: a scriplet that makes a ring
// on every call, in the entry itself or in a function it calls back by name,
// keeps only a few of them, and its died still runs.
TEST_F(HostCalls, RingsOfScriptObjectsAreCollectedAsTheCallsRun) {
  // The first "@" of a line names a callback; the comments take it, so that
  // the handles stay handles.
  const char* const ring =
      "class Node { /*@*/ Node@ next; }\n"
      "void makeRing() { Node a; Node b; /*@*/ @a.next = b; @b.next = a; }\n"
      "void died() { note(\"died\"); }\n";
  const struct {
    const char* what;
    int ringsPerFrame;
    std::string body;
  } cases[] = {
      {"in render", 1, "void render(float t) { makeRing(); }\n"},
      {"in preRender and postRender", 2,
       "void preRender(float t) { makeRing(); }\nvoid render(float t) {}\n"
       "void postRender(float t) { makeRing(); }\n"},
      {"in a callback by name", 1, "void render(float t) { runBackPlain(@makeRing); }\n"},
  };
  constexpr int kFrames = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    gNotes.clear();
    ASSERT_TRUE(compile(ring + c.body)) << error;
    asIScriptEngine* engine = host.scriplets.at("scene").engine;
    for (int frame = 0; frame < kFrames; ++frame)
      for (EntryPoint code : {ENTRY_PRERENDER, ENTRY_RENDER, ENTRY_POSTRENDER})
        host.callEntry("scene", code);
    asUINT held = 0, destroyed = 0, detected = 0;
    engine->GetGCStatistics(&held, &destroyed, &detected);
    // Two objects a ring; the collector works in steps, so some are left.
    EXPECT_GT(detected, 0u);
    EXPECT_LT(held, asUINT(2 * c.ringsPerFrame * kFrames));
    EXPECT_TRUE(host.unload("scene", false));
    EXPECT_EQ(gNotes, std::vector<std::string>{"died"});
  }
}

TEST_F(HostCalls, CallbackByNameFindsOneFunctionByItsName) {
  ASSERT_TRUE(compile(
      "void cb(int w, int h, vectorN v) { note(\"cb \" + w + \" \" + h + \" \" + v.get(0)); }\n"
      "void plain() { note(\"plain\"); }\n"
      "void twice(int a) {}\nvoid twice(float a) { note(\"twice\"); }\n"
      "void missing() {}\n"
      "void render(float t) {\n  runBack(@cb);\n  runBackPlain(@plain);\n  runBackPlain(@twice);\n"
      "  runBack(@nothing);\n}\n"))
      << error;
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"cb 3 4 5", "plain"}));
  host.callFunction("not loaded", "plain");
  EXPECT_EQ(gNotes.size(), 2u);
}

// ---------------------------------------------------------------------------
// Assertions and trace

TEST_F(HostCalls, FailedAssertionAbortsRenderForThisFrameOnly) {
  ASSERT_TRUE(
      compile("void render(float t) {\n"
              "  note(\"before\");\n"
              "  TQ_ASSERT(1, \"fine\");\n"
              "  TQ_ASSERT(t < 1, \"too late\");\n"
              "  note(\"after\");\n"
              "}\n"))
      << error;
  host.setTime(0.5f);
  host.callEntry("scene", ENTRY_RENDER);
  host.setTime(2.0f);
  host.callEntry("scene", ENTRY_RENDER);
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"before", "after", "before", "before"}));
  EXPECT_EQ(loggedMessages(), (std::vector<std::string>{"too late", "too late"}));
  EXPECT_FALSE(host.aborted);
  EXPECT_EQ(host.running, nullptr);
}

// A callback gets only what the host hands it: callFunction nothing,
// callFunctionWithArgs (3, 4, a vectorN). Every other parameter would start
// as zero, a null object or a null reference for anything but a number or an
// enum by value, and the body here reads or writes it. The third parameter
// must be the vectorN itself: a string or stack built over its bytes, a
// script object whose reference count is taken in them, would be corrupt.
struct CallbackCase {
  const char* native;  // runBack: with the arguments, runBackPlain: without
  const char* parameters;
  const char* body;
  bool runs;
};

const CallbackCase kCallbackCases[] = {
    {"runBack", "int w, int h, vectorN v", "note(\"\" + w + h + v.get(0));", true},
    {"runBack", "int w, int h, const vectorN &in v", "vectorN c = v;", true},
    {"runBack", "int w, int h, vectorN &inout v", "v.set(0, 1);", true},
    {"runBack", "int w, int h, vectorN v, int extra, Mode m", "note(\"\" + extra + m);", true},
    {"runBack", "int w, int h", "", false},
    {"runBack", "int &out w, int h, vectorN v", "w = 1;", false},
    {"runBack", "int w, int h, int n", "", false},
    {"runBack", "int w, int h, string s", "note(s);", false},
    {"runBack", "int w, int h, matrixStack s", "s.push();", false},
    {"runBack", "int w, int h, matrix4 &in m", "matrix4 c = m;", false},
    {"runBack", "int w, int h, Thing t", "t.n++;", false},
    {"runBack", "int w, int h, Thing@ t", "t.n++;", false},
    {"runBack", "int w, int h, Callback@ f", "f();", false},
    {"runBack", "int w, int h, vectorN v, string s", "note(s);", false},
    {"runBack", "int w, int h, vectorN v, int &out x", "x = 1;", false},
    {"runBackPlain", "", "", true},
    {"runBackPlain", "int x, float y, Mode m", "note(\"\" + x + y + m);", true},
    {"runBackPlain", "string s", "note(s);", false},
    {"runBackPlain", "vectorN v", "vectorN c = v;", false},
    {"runBackPlain", "int &out x", "x = 1;", false},
    {"runBackPlain", "const float &in x", "note(\"\" + x);", false},
};

TEST_F(HostCalls, CallbackRunsOnlyWithParametersTheHostFills) {
  for (const CallbackCase& c : kCallbackCases) {
    SCOPED_TRACE(std::string(c.native) + " -> cb(" + c.parameters + ")");
    gNotes.clear();
    // One line, so that the "@" of a handle parameter is not the line's first.
    ASSERT_TRUE(compile(
        std::string("class Thing { int n = 1; }\nfuncdef void Callback();\nenum Mode { M0 }\n"
                    "void render(float t) { ") +
        c.native + "(@cb); note(\"after\"); } void cb(" + c.parameters + ") { note(\"cb\"); " +
        c.body + " }\n"))
        << error;
    host.callEntry("scene", ENTRY_RENDER);
    std::vector<std::string> expected;
    if (c.runs) expected.push_back("cb");
    expected.push_back("after");
    gNotes.erase(std::remove_if(gNotes.begin(), gNotes.end(),
                                [](const std::string& n) { return n != "cb" && n != "after"; }),
                 gNotes.end());
    EXPECT_EQ(gNotes, expected);
  }
}

TEST_F(HostCalls, FailedAssertionInInitGlobalsLetsTheCompileSucceed) {
  EXPECT_TRUE(compile(
      "void initGlobals() {\n  TQ_ASSERT(0, \"no\");\n  note(\"after\");\n}\nvoid render(float t) {}"))
      << error;
  EXPECT_TRUE(gNotes.empty());
}

TEST_F(HostCalls, FailedAssertionInCallbackFinishesItThenEndsTheEntry) {
  ASSERT_TRUE(
      compile("void cb(int w, int h, vectorN v) {\n"
              "  note(\"cb\");\n"
              "  TQ_ASSERT(w == 0, \"callback\");\n"
              "  note(\"cb end\");\n"
              "}\n"
              "void render(float t) { note(\"r1\"); runBack(@cb); note(\"r2\"); }\n"))
      << error;
  host.callEntry("scene", ENTRY_RENDER);
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"r1", "cb", "cb end", "r1", "cb", "cb end"}));
}

// ---------------------------------------------------------------------------
// Faults of scriplets: reports, object limits, garbage

// The logged texts that contain `part`.
size_t loggedWith(const std::string& part) {
  return size_t(
      std::count_if(loggedMessages().begin(), loggedMessages().end(),
                    [&](const std::string& m) { return m.find(part) != std::string::npos; }));
}

// A script exception ends only its call and reports nothing, however often it
// repeats; each call runs up to it again (the scene goes on).
TEST_F(HostCalls, ScriptExceptionsEndTheirCallsQuietly) {
  struct Case {
    const char* what;
    EntryPoint code;
    const char* source;
    const char* raised;  // the exception's own text, never logged
  } cases[] = {
      {"divide by zero in render", ENTRY_RENDER,
       "int zero = 0;\nvoid render(float t) { note(\"r\");\n  int x = 1 / zero; }\n",
       "Divide by zero"},
      {"null handle in preRender", ENTRY_PRERENDER,
       "class K { int v; }\nvoid render(float t) {}\n"
       "void preRender(float t) { note(\"r\"); /*@*/ K@ k; k.v = 1; }\n",
       "Null pointer access"},
      {"in a callback by name", ENTRY_END,
       "int zero = 0;\nvoid cb() { int x = 1 / zero; }\nvoid render(float t) {}\n"
       "void end() { note(\"r\"); runBackPlain(@cb); }\n",
       "Divide by zero"},
      {"callbacks nested without end", ENTRY_BEGIN,
       "void deeper() { runBackPlain(@deeper); }\nvoid render(float t) {}\n"
       "void begin() { note(\"r\"); deeper(); }\n",
       "Too many nested calls"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gNotes.clear();
    ASSERT_TRUE(compile(c.source)) << error;
    loggedMessages().clear();
    for (int frame = 0; frame < 5; ++frame) host.callEntry("scene", c.code);
    EXPECT_EQ(gNotes, std::vector<std::string>(5, "r"));
    EXPECT_EQ(loggedWith(c.raised), 0u);
    EXPECT_TRUE(loggedMessages().empty()) << loggedMessages()[0];
  }
}

// The script library ends the process at a million objects of one script
// class. A call that takes a class past the host's limit stops instead (at
// its next statement: the object that went past it is not kept),
// wherever it runs, with one warning; the objects made stay, later calls run
// until they make another one, and the scriplet unloads.
TEST_F(HostCalls, AScriptClassPastItsObjectLimitStopsTheCall) {
  const std::string list =
      "class Node { /*@*/ Node@ next; }\n"
      "/*@*/ Node@ head;\nint made = 0;\n"
      "void grow() { while (true) { /*@*/ Node@ n = Node();\n"
      "  /*@*/ @n.next = head;\n  /*@*/ @head = n; ++made; } }\n";
  const std::string warning =
      "scene: more than 900000 objects of script class 'Node' at once, the call is stopped";
  struct Case {
    const char* what;
    std::string source;
  } cases[] = {
      {"render", list + "void render(float t) { note(\"r\"); grow(); note(\"unreached\"); }\n"},
      {"a callback by name, and the entry that called it",
       list + "void render(float t) { note(\"r\"); runBackPlain(@grow); note(\"unreached\"); }\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gNotes.clear();
    ASSERT_TRUE(compile(c.source)) << error;
    loggedMessages().clear();
    host.callEntry("scene", ENTRY_RENDER);
    EXPECT_EQ(*global<int>("made"), int(script_guard::kMaxObjectsPerClass));
    host.callEntry("scene", ENTRY_RENDER);
    EXPECT_EQ(*global<int>("made"), int(script_guard::kMaxObjectsPerClass));
    EXPECT_EQ(gNotes, (std::vector<std::string>{"r", "r"}));
    EXPECT_EQ(loggedWith(warning), 1u);
    EXPECT_TRUE(host.unload("scene", false));
  }
  // In a global initialiser the compile fails with the warning.
  EXPECT_FALSE(compile(list + "int filled = fill();\nint fill() { grow(); return 1; }\n"
                              "void render(float t) {}\n"));
  EXPECT_EQ(error, "Syntax error in script\n" + warning + "\n");
  EXPECT_TRUE(host.scriplets.empty());
}

// Rings of objects left every frame are collected between calls: the count
// of the library's collected objects stays small over many frames (the
// library's own steps fall behind, and its million-object check ended the
// process).
TEST_F(HostCalls, RingsOfGarbageEveryFrameAreCollected) {
  ASSERT_TRUE(
      compile("class Ring { /*@*/ Ring@ other; }\n"
              "void render(float t) { for (int i = 0; i < 1000; ++i) { Ring a; Ring b;\n"
              "  /*@*/ @a.other = b;\n  /*@*/ @b.other = a; } }\n"))
      << error;
  asIScriptEngine* engine = host.scriplets["scene"].engine;
  asUINT most = 0;
  for (int frame = 0; frame < 600; ++frame) {
    host.callEntry("scene", ENTRY_RENDER);
    asUINT collected = 0;
    engine->GetGCStatistics(&collected);
    most = std::max(most, collected);
  }
  EXPECT_LT(most, 20000u);
  EXPECT_TRUE(loggedMessages().empty());
}

// A long chain of objects is freed whole at the unload, after died, every
// link's destructor run once (the library's collector alone took a pass over
// all objects per link: minutes for this chain).
TEST_F(HostCalls, ALongChainOfObjectsIsFreedAtTheUnload) {
  ASSERT_TRUE(
      compile("class Link { /*@*/ Link@ next; ~Link() { note(\"freed\"); } }\n"
              "/*@*/ Link@ head;\n"
              "void init() { for (int i = 0; i < 50000; ++i) { /*@*/ Link@ l = Link();\n"
              "  /*@*/ @l.next = head;\n  /*@*/ @head = l; } }\n"
              "void render(float t) {}\n"
              "void died() { note(\"died\"); }\n"))
      << error;
  host.callEntry("scene", ENTRY_INIT);
  EXPECT_TRUE(gNotes.empty());
  EXPECT_TRUE(host.unload("scene", false));
  ASSERT_EQ(gNotes.size(), 50001u);
  EXPECT_EQ(gNotes[0], "died");
  EXPECT_EQ(std::count(gNotes.begin(), gNotes.end(), "freed"), 50000);
}

TEST_F(ScriptHostTest, AbortWithNoEntryInProgressOnlySetsTheFlag) {
  host.abortCurrent();
  EXPECT_TRUE(host.aborted);
  EXPECT_EQ(host.running, nullptr);
}

TEST_F(HostCalls, TraceStateIsResetAfterEntriesAndKeptAcrossCallbacks) {
  ASSERT_TRUE(compile(
      "void cb() { traceScriptInit(\"inner\"); traceScript(99); noteTrace(); traceScriptEnd(); }\n"
      "void render(float t) {\n"
      "  traceScriptInit(\"outer\"); traceScript(7);\n"
      "  runBackPlain(@cb); noteTrace();\n"
      "  traceScriptEnd(); noteTrace(); traceScript(3);\n"
      "}\n"))
      << error;
  host.callEntry("scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, (std::vector<std::string>{"inner:99", "outer:7", ":-1"}));
  EXPECT_EQ(gTraceName, "");
  EXPECT_EQ(gTraceLine, -1);
}

// ---------------------------------------------------------------------------
// Working directory

class WorkingDirectory : public HostCalls {
 protected:
  void SetUp() override {
    HostCalls::SetUp();
    start = currentDirectory();
    char pattern[] = "/tmp/hostdirXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base = pattern;
    ASSERT_EQ(chdir(base.c_str()), 0);
    base = currentDirectory();
    ASSERT_EQ(system(("mkdir -p '" + base + "/sub/deep'").c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(start.c_str()), 0);
    EXPECT_EQ(system(("rm -rf '" + base + "'").c_str()), 0);
    HostCalls::TearDown();
  }
  std::string start, base;
};

TEST_F(WorkingDirectory, FolderOfTheNameIsCurrentForEveryEntryAndRestored) {
  ASSERT_TRUE(compile(
      "int zero = 0;\n"
      "void initGlobals() { noteDirectory(); }\n"
      "void init() {\n  noteDirectory();\n  TQ_ASSERT(0, \"stop\");\n  noteDirectory();\n}\n"
      "void begin() { noteDirectory(); int x = 1 / zero; }\n"
      "void render(float t) { noteDirectory(); }\n",
      "sub\\deep\\scene"))
      << error;
  EXPECT_EQ(currentDirectory(), base);
  host.callEntry("sub\\deep\\scene", ENTRY_INIT);  // aborted
  EXPECT_EQ(currentDirectory(), base);
  host.callEntry("sub\\deep\\scene", ENTRY_BEGIN);  // script exception
  EXPECT_EQ(currentDirectory(), base);
  host.callEntry("sub\\deep\\scene", ENTRY_END);  // no such function
  EXPECT_EQ(currentDirectory(), base);
  host.callEntry("sub\\deep\\missing", ENTRY_RENDER);  // not loaded
  EXPECT_EQ(currentDirectory(), base);
  host.callEntry("nowhere\\scene", ENTRY_RENDER);  // folder does not exist
  EXPECT_EQ(currentDirectory(), base);
  const std::string deep = base + "/sub/deep";
  EXPECT_EQ(gNotes, (std::vector<std::string>{deep, deep, deep}));
}

TEST_F(WorkingDirectory, ForwardSlashIsNoFolder) {
  ASSERT_TRUE(compile("void render(float t) { noteDirectory(); }", "sub/scene")) << error;
  host.callEntry("sub/scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, std::vector<std::string>{base});
}

}  // namespace

namespace {

TEST_F(WorkingDirectory, CallbacksReachAScripletInAFolder) {
  ASSERT_TRUE(
      compile("void cb() { noteDirectory(); }\nvoid render(float t) {\n  runBackPlain(@cb);\n}",
              "sub\\scene"))
      << error;
  host.callEntry("sub\\scene", ENTRY_RENDER);
  EXPECT_EQ(gNotes, std::vector<std::string>{base + "/sub"});
}

}  // namespace
