// Long generated scriplets: mesh data written as code in one huge function,
// thousands of small functions, long lists of globals and of extern
// statements, a long string literal, an assertion on every line, a warning
// on every line, and thousands of locals in one function. For each shape,
// the compile as the host makes it here (trial build off) and the trial
// build alone (in the origin's copy), interleaved; the ratios printed at the
// end compare the two, so a step of our own that grows faster than the
// script compiler's (the preprocessor, the nesting check, the collection of
// compile messages) shows as a ratio well above 1. The counters give this
// process's processor time per compile (here_ms), the heap that the
// compiled scriplet keeps (kept_mb; the copy's build takes as much while it
// runs), the text's size (kb) and the trial's processor limit for it
// (limit_s).
//
//   LP_NUM_THREADS=0 build-rel/bench_script_long_text
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "bench/ratio_report.h"
#include "platform/d3dx/HLSLCompiler.h"
#include "runtime/ScriptHost.h"
#include "runtime/TrialBuild.h"
#include "testsupport/HeadlessEnvironment.h"

namespace {

std::string lines(int n, const std::function<std::string(int)>& line) {
  std::string text;
  for (int i = 0; i < n; ++i) text += line(i);
  return text;
}

std::string format(const char* pattern, int a, int b = 0, int c = 0) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
  return buffer;
}

const std::string kRender = "void render(float t) {}\n";

// Each shape at a size the compiler takes about a second for.
std::string meshData() {
  const int n = 50000;
  return format("vectorN data(%d);\nvoid init() {\n", 3 * n) +
         lines(n,
               [](int i) {
                 return format("  data.set3(%d, %d.125, %d.5, -%d.25);\n", i, i % 97, i % 13);
               }) +
         "}\n" + kRender;
}
std::string manyFunctions() {
  return lines(15000,
               [](int i) {
                 return format("float f%d(float x) {\n  return x * %d.5 + 1.0;\n}\n", i, i % 100);
               }) +
         kRender;
}
std::string manyGlobals() {
  return lines(100000, [](int i) { return format("float g%d = %d.25;\n", i, i % 100); }) + kRender;
}
std::string manyExterns() {
  return lines(50000, [](int i) { return format("extern float e%d = %d.5;\n", i, i % 100); }) +
         kRender;
}
std::string longString() {
  return "string big = \"" + std::string(8 << 20, 'x') + "\";\n" + kRender;
}
std::string assertions() {
  return "float x = 1.0;\nvoid init() {\n" +
         lines(20000,
               [](int) { return std::string(" TQ_ASSERT(x > 0.0, \"x is positive\");\n"); }) +
         "}\n" + kRender;
}
std::string warnings() {
  return "int k = 0;\nvoid init() {\n" +
         lines(200000, [](int) { return std::string("  k = 2.5;\n"); }) + "}\n" + kRender;
}
std::string manyLocals() {
  return "void init() {\n  float acc = 0.0;\n" +
         lines(10000,
               [](int i) {
                 return format("  float v%d = acc * 0.5 + %d.0; acc = v%d;\n", i, i % 100, i);
               }) +
         "}\n" + kRender;
}

const struct Shape {
  const char* name;
  std::string (*make)();
} kShapes[] = {
    {"mesh", meshData},       {"functions", manyFunctions}, {"globals", manyGlobals},
    {"externs", manyExterns}, {"string", longString},       {"assertions", assertions},
    {"warnings", warnings},   {"locals", manyLocals},
};

const std::string& source(int shape) {
  static std::string texts[sizeof kShapes / sizeof *kShapes];
  if (texts[shape].empty()) texts[shape] = kShapes[shape].make();
  return texts[shape];
}

double ownProcessorTime() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Bytes of the heap in use.
double heapInUse() { return double(mallinfo2().uordblks); }

void compileHere(benchmark::State& state, int shape) {
  const std::string& text = source(shape);
  ScriptHost::trialBuilds = false;
  double cpu = 0, kept = 0;
  for (auto _ : state) {
    // The host's making and its end (the engine's release) are not timed.
    state.PauseTiming();
    auto host = std::make_unique<ScriptHost>();
    std::string error;
    const double before = heapInUse();
    state.ResumeTiming();
    const double started = ownProcessorTime();
    const bool compiled = host->compile("scene", text, error);
    cpu += ownProcessorTime() - started;
    state.PauseTiming();
    kept += heapInUse() - before;
    host.reset();
    state.ResumeTiming();
    if (!compiled) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  ScriptHost::trialBuilds = true;
  const double n = double(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["here_ms"] = cpu * 1e3 / n;
  state.counters["kept_mb"] = kept / double(1 << 20) / n;
  state.counters["kb"] = double(text.size()) / 1024.0;
  state.counters["limit_s"] = trial_build::limitsFor(text.size()).cpuSeconds;
}

void trialAlone(benchmark::State& state, int shape) {
  ScriptHost host;
  Scriplet record;
  std::string error, text = source(shape);
  host.preprocess("scene", text, record, error);
  for (auto _ : state)
    if (trial_build::tryBuild(text) != trial_build::Outcome::Returned) {
      state.SkipWithError("the trial build did not come back");
      break;
    }
}

}  // namespace

int main(int argc, char** argv) {
  useHeadlessEnvironment();
  // Before any other thread, as the player does it.
  d3dx_hlsl::startCompiler();
  trial_build::start();
  std::vector<bench_ratio::Pair> pairs;
  for (int i = 0; i < int(sizeof kShapes / sizeof *kShapes); ++i) {
    const std::string name = kShapes[i].name;
    benchmark::RegisterBenchmark(("here/" + name).c_str(), compileHere, i)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("trial/" + name).c_str(), trialAlone, i)
        ->Unit(benchmark::kMillisecond);
    pairs.push_back({"compile here / trial, " + name, "here/" + name, "trial/" + name});
  }
  return bench_ratio::run(argc, argv, pairs);
}
