// What the trial build (runtime/TrialBuild.h) adds to a scriplet compile:
// the nine scriplets that the sample show compiles at its load (director
// and eight scenes), and one typical scene of them, each compiled by the
// script host with the trial build first and without it. The origin of
// the trials is started first, as the player does. The ratios printed at
// the end compare each compile with the same compile untried.
//
//   LP_NUM_THREADS=0 build-rel/bench_script_trial_build
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "bench/ratio_report.h"
#include "runtime/ScriptHost.h"
#include "runtime/TrialBuild.h"

namespace {

const char* const kSampleScriplets[] = {
    "director.as",     "scenes/dawn.as",  "scenes/plasma.as", "scenes/tunnel.as",
    "scenes/finale.as", "scenes/reeds.as", "scenes/teapot.as", "scenes/glow.as",
    "scenes/landscape.as",
};

std::string readSample(const std::string& name) {
  const std::filesystem::path sample =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "sample";
  std::ifstream in(sample / name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const std::vector<std::pair<std::string, std::string>>& sampleSources() {
  static const std::vector<std::pair<std::string, std::string>> sources = [] {
    std::vector<std::pair<std::string, std::string>> all;
    for (const char* name : kSampleScriplets) all.emplace_back(name, readSample(name));
    return all;
  }();
  return sources;
}

void compileAll(benchmark::State& state, bool trial, size_t first, size_t count) {
  const auto& sources = sampleSources();
  ScriptHost::trialBuilds = trial;
  ScriptHost host;
  for (auto _ : state) {
    for (size_t i = first; i < first + count; ++i) {
      std::string error;
      if (!host.compile(sources[i].first, sources[i].second, error)) {
        state.SkipWithError((sources[i].first + ": " + error).c_str());
        break;
      }
    }
  }
  ScriptHost::trialBuilds = true;
}

void sampleLoad(benchmark::State& state, bool trial) {
  compileAll(state, trial, 0, std::size(kSampleScriplets));
}

// tunnel.as: a scene of average size (about 4 kB).
void typicalScene(benchmark::State& state, bool trial) { compileAll(state, trial, 3, 1); }

BENCHMARK_CAPTURE(sampleLoad, trial, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sampleLoad, untried, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(typicalScene, trial, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(typicalScene, untried, false)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  trial_build::start();
  return bench_ratio::run(
      argc, argv,
      {{"the sample's nine scriplets", "sampleLoad/trial", "sampleLoad/untried"},
       {"one typical scene (tunnel.as)", "typicalScene/trial", "typicalScene/untried"}});
}
