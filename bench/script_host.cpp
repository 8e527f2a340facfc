// The cost of the script host's two hot operations: one entry call (prepare,
// one float argument, execute an empty function) and one scriplet compile
// with every module registration built so far.
#include <benchmark/benchmark.h>

#include <string>

#include "runtime/ScriptHost.h"

namespace {

const char kScriplet[] =
    "extern float speed = 1.5f;\n"
    "extern string title = \"intro\";\n"
    "float angle;\n"
    "void init() { angle = 0; }\n"
    "void preRender(float t) { angle = t * speed; }\n"
    "void render(float t) {\n"
    "  string s = title + \" \" + angle;\n"
    "  TQ_ASSERT(s.length() > 0, \"empty\");\n"
    "}\n";

void BM_EntryCall(benchmark::State& state) {
  ScriptHost host;
  std::string error;
  if (!host.compile("scene", "void render(float t) {}", error)) state.SkipWithError(error.c_str());
  host.setTime(1.0f);
  for (auto _ : state) host.callEntry("scene", ENTRY_RENDER);
}
BENCHMARK(BM_EntryCall);

void BM_EntryCallInFolder(benchmark::State& state) {
  ScriptHost host;
  std::string error;
  if (!host.compile(".\\scene", "void render(float t) {}", error))
    state.SkipWithError(error.c_str());
  for (auto _ : state) host.callEntry(".\\scene", ENTRY_RENDER);
}
BENCHMARK(BM_EntryCallInFolder);

void BM_Compile(benchmark::State& state) {
  ScriptHost host;
  for (auto _ : state) {
    std::string error;
    if (!host.compile("scene", kScriplet, error)) state.SkipWithError(error.c_str());
  }
}
BENCHMARK(BM_Compile)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
