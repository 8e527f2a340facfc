// One HLSL stage compiled through the protected compiler (its persistent
// worker process) against the same translation in this process, with this
// process small and after it has grown by 1.5 GB of touched memory. The
// worker is started first, while the process is small, as the player does.
// Both are timed in the same iterations, one after the other; the ratio is
// worker / in-process (medians over the repetitions).
//
// And what a worker's replacement costs: a compile on which the worker
// crashes (it returns when the replacement is ready for the next compile)
// against the next compile, a normal one, timed in the same iterations.
//
// Run each case in a process of its own: the process grows once and stays
// grown, and the in-process compiles warm the front end up in this process,
// which a worker forked from it rather than from the helpers' origin would
// find warm, as it would not in the player.
//
//   LP_NUM_THREADS=0 build-rel/bench_hlsl_worker --benchmark_filter=WorkerRestart/0/
//       --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//   (and WorkerRestart/1/, StageCompile/0/, StageCompile/1/)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/d3dx/HLSLCompiler.h"

namespace {

const char* kPixel = R"(
float4 tint = {1, 0, 0, 1};
float gain;
sampler image;
float4 ps(float2 uv : TEXCOORD0, float4 c : COLOR0) : COLOR { return tex2D(image, uv) * tint * c * gain; }
)";

char* gBallast = nullptr;
constexpr size_t kBallast = size_t(1536) << 20;

void grow() {
  if (gBallast) return;
  gBallast = static_cast<char*>(std::malloc(kBallast));
  for (size_t i = 0; i < kBallast; i += 4096) gBallast[i] = char(i);
}

void BM_StageCompile(benchmark::State& state) {
  if (state.range(0)) grow();
  using Clock = std::chrono::steady_clock;
  double worker = 0, inProcess = 0;
  for (auto _ : state) {
    d3dx_hlsl::CompiledStage out;
    std::string errors;
    const auto t0 = Clock::now();
    if (!d3dx_hlsl::compile(kPixel, "ps", d3dx_hlsl::Stage::Pixel, "bench.fx", out, errors))
      state.SkipWithError(errors.c_str());
    const auto t1 = Clock::now();
    if (!d3dx_hlsl::compileInProcess(kPixel, "ps", d3dx_hlsl::Stage::Pixel, "bench.fx", out,
                                     errors))
      state.SkipWithError(errors.c_str());
    const auto t2 = Clock::now();
    worker += std::chrono::duration<double, std::milli>(t1 - t0).count();
    inProcess += std::chrono::duration<double, std::milli>(t2 - t1).count();
  }
  const double n = double(state.iterations());
  state.counters["worker_ms"] = worker / n;
  state.counters["in_process_ms"] = inProcess / n;
  state.counters["ratio"] = worker / inProcess;
  state.SetLabel(state.range(0) ? "after +1.5 GB" : "small process");
}

void BM_WorkerRestart(benchmark::State& state) {
  if (state.range(0)) grow();
  using Clock = std::chrono::steady_clock;
  double crashed = 0, next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    d3dx_hlsl::setChildHookForTesting([] { std::abort(); });
    state.ResumeTiming();
    d3dx_hlsl::CompiledStage out;
    std::string errors;
    const auto t0 = Clock::now();
    if (d3dx_hlsl::compile(kPixel, "ps", d3dx_hlsl::Stage::Pixel, "bench.fx", out, errors))
      state.SkipWithError("the worker did not crash");
    const auto t1 = Clock::now();
    state.PauseTiming();
    d3dx_hlsl::setChildHookForTesting(nullptr);
    state.ResumeTiming();
    const auto t2 = Clock::now();
    if (!d3dx_hlsl::compile(kPixel, "ps", d3dx_hlsl::Stage::Pixel, "bench.fx", out, errors))
      state.SkipWithError(errors.c_str());
    const auto t3 = Clock::now();
    crashed += std::chrono::duration<double, std::milli>(t1 - t0).count();
    next += std::chrono::duration<double, std::milli>(t3 - t2).count();
  }
  const double n = double(state.iterations());
  state.counters["crashed_ms"] = crashed / n;
  state.counters["next_ms"] = next / n;
  state.counters["ratio"] = crashed / next;
  state.SetLabel(state.range(0) ? "after +1.5 GB" : "small process");
}
// The process grows once and stays grown: everything in a small process
// first.
BENCHMARK(BM_StageCompile)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_WorkerRestart)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StageCompile)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_WorkerRestart)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  d3dx_hlsl::startCompiler();
  const char* threads = std::getenv("LP_NUM_THREADS");
  std::printf("LP_NUM_THREADS=%s\n", threads ? threads : "(unset: the default)");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
