#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scriptapi/Binding.h"

namespace {

// A resource that counts how often it was destroyed.
struct Probe {
  explicit Probe(int id) : id(id) {}
  ~Probe() { destroyed().push_back(id); }
  static std::vector<int>& destroyed() {
    static std::vector<int> ids;
    return ids;
  }
  int id;
};

typedef TQSmartPointer<Probe, DeleteDestruct<Probe>> ProbeHandle;

// Script: "probe makeProbe(int)" and "probe makeNothing()".
ProbeHandle makeProbe(int id) { return makeFactoryHandle<ProbeHandle>(new Probe(id)); }
ProbeHandle makeNothing() { return makeFactoryHandle<ProbeHandle>((Probe*)nullptr); }

std::vector<std::string>& logged() {
  static std::vector<std::string> texts;
  return texts;
}

void onMessage(const asSMessageInfo*, void*) {}

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logged().clear();
    Probe::destroyed().clear();
    gLogHook = [](const char* text) { logged().push_back(text); };
    engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
    engine->SetMessageCallback(asFUNCTION(onMessage), nullptr, asCALL_CDECL);
  }
  void TearDown() override {
    if (engine) engine->ShutDownAndRelease();
    gLogHook = nullptr;
  }

  RegistrationSum registerProbe() {
    RegistrationSum r;
    r += registerHandleType<ProbeHandle>(engine, "probe");
    r +=
        engine->RegisterGlobalFunction("probe makeProbe(int)", asFUNCTION(makeProbe), asCALL_CDECL);
    r += engine->RegisterGlobalFunction("probe makeNothing()", asFUNCTION(makeNothing),
                                        asCALL_CDECL);
    return r;
  }

  bool build(const std::string& source) {
    asIScriptModule* module = engine->GetModule("m", asGM_ALWAYS_CREATE);
    module->AddScriptSection("s", source.c_str());
    return module->Build() >= 0;
  }

  void run(const char* declaration) {
    asIScriptFunction* function = engine->GetModule("m")->GetFunctionByDecl(declaration);
    ASSERT_NE(function, nullptr) << declaration;
    asIScriptContext* context = engine->CreateContext();
    context->Prepare(function);
    EXPECT_EQ(context->Execute(), asEXECUTION_FINISHED);
    context->Release();
  }

  ProbeHandle& global(const char* name) {
    asIScriptModule* module = engine->GetModule("m");
    return *static_cast<ProbeHandle*>(
        module->GetAddressOfGlobalVar(module->GetGlobalVarIndexByName(name)));
  }

  asIScriptEngine* engine = nullptr;
};

}  // namespace

TEST_F(BindingTest, RegistrationFailureIsReportedOnce) {
  EXPECT_EQ(finishRegistration(registerProbe(), "TQScript - probe failed"), 0);
  EXPECT_TRUE(logged().empty());

  // Registering the type again is refused at every step; one message only.
  RegistrationSum again;
  again += registerHandleType<ProbeHandle>(engine, "probe");
  again += engine->RegisterGlobalFunction("int fine()", asFUNCTION(makeProbe), asCALL_CDECL);
  EXPECT_LT(finishRegistration(again, "TQScript - probe failed"), 0);
  EXPECT_EQ(logged(), std::vector<std::string>{"TQScript - probe failed"});
  // The registrations after the refused ones were still made.
  EXPECT_NE(engine->GetGlobalFunctionByDecl("int fine()"), nullptr);
}

TEST_F(BindingTest, UninitialisedVariableHoldsAnEmptyHandle) {
  ASSERT_EQ(registerProbe().value(), 0);
  ASSERT_TRUE(build("probe p;"));
  ProbeHandle& p = global("p");
  EXPECT_EQ(p.object, nullptr);
  EXPECT_EQ(p.count, nullptr);
  EXPECT_FALSE(p.owns);
}

TEST_F(BindingTest, FactoryResultIsTheOnlyOwningHandle) {
  ASSERT_EQ(registerProbe().value(), 0);
  ASSERT_TRUE(
      build("probe p; probe q;\n"
            "void make() { p = makeProbe(7); }\n"
            "void share() { q = p; p = p; q = p; }\n"
            "void drop() { probe empty; p = empty; q = empty; }\n"));
  run("void make()");
  ProbeHandle& p = global("p");
  ASSERT_NE(p.object, nullptr);
  EXPECT_EQ(p.object->id, 7);
  ASSERT_NE(p.count, nullptr);
  EXPECT_EQ(*p.count, 1);
  EXPECT_TRUE(p.owns);

  run("void share()");  // self-assignment and re-assignment change nothing more
  EXPECT_EQ(*p.count, 2);
  EXPECT_TRUE(Probe::destroyed().empty());

  run("void drop()");
  EXPECT_EQ(Probe::destroyed(), std::vector<int>{7});
  EXPECT_EQ(global("p").object, nullptr);
}

TEST_F(BindingTest, ReleasingTheEngineDropsItsHandles) {
  ASSERT_EQ(registerProbe().value(), 0);
  ASSERT_TRUE(
      build("probe p = makeProbe(3);\n"
            "void local() { probe t = makeProbe(4); }\n"));
  run("void local()");
  EXPECT_EQ(Probe::destroyed(), std::vector<int>{4});
  engine->ShutDownAndRelease();
  engine = nullptr;
  EXPECT_EQ(Probe::destroyed(), (std::vector<int>{4, 3}));
}

TEST_F(BindingTest, FailedCreationGivesACountedHandleWithoutObject) {
  {
    ProbeHandle result = makeNothing();
    EXPECT_EQ(result.object, nullptr);
    ASSERT_NE(result.count, nullptr);
    EXPECT_EQ(*result.count, 1);
    EXPECT_TRUE(result.owns);
  }
  // Assigned to a script variable it changes nothing (both hold no object).
  ASSERT_EQ(registerProbe().value(), 0);
  ASSERT_TRUE(build("probe p = makeNothing();"));
  EXPECT_EQ(global("p").count, nullptr);
  engine->ShutDownAndRelease();
  engine = nullptr;
  EXPECT_TRUE(Probe::destroyed().empty());
}

TEST_F(BindingTest, ObjectHandlesOfHandleTypesDoNotCompile) {
  ASSERT_EQ(registerProbe().value(), 0);
  EXPECT_FALSE(build("probe@ p;"));
}

TEST_F(BindingTest, CustomConstructReplacesTheEmptyHandle) {
  void (*construct)(void*) = [](void* memory) {
    new (memory) ProbeHandle(makeFactoryHandle<ProbeHandle>(new Probe(11)));
  };
  ASSERT_EQ(registerHandleType<ProbeHandle>(engine, "probe", construct), 0);
  ASSERT_TRUE(build("probe p;"));
  EXPECT_EQ(global("p").object->id, 11);
  EXPECT_EQ(*global("p").count, 1);
}
