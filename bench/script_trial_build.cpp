// What the trial build (runtime/TrialBuild.h) adds to the loading of a show:
// the sample show's whole load as the player makes it before its clock
// starts (the description, the compiles of its nine scriplets, every
// scene's init), and the compile of one typical scene of it, each with the
// trial build first and without it; and the trial alone, of that scene and
// of an empty text. The origin of the trials is started first, as the
// player does. The ratios printed at the end compare each load or compile
// with the same one untried, in real time; the counters give the processor
// time per iteration of this process (here_ms) and of the origin with its
// copies (trial_ms), which a busy machine does not stretch as it stretches
// real time.
//
//   LP_NUM_THREADS=0 build-rel/bench_script_trial_build
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "bench/ratio_report.h"
#include "core/TQDatabase.h"
#include "platform/d3dx/HLSLCompiler.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"
#include "runtime/TrialBuild.h"
#include "testsupport/HeadlessDevice.h"
#include "testsupport/HeadlessEnvironment.h"

namespace {

const std::filesystem::path kSample =
    std::filesystem::path(__FILE__).parent_path().parent_path() / "sample";

// tunnel.as: a scene of the sample of average size (about 4 kB).
const std::string& typicalSource() {
  static const std::string text = [] {
    std::ifstream in(kSample / "scenes" / "tunnel.as", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  return text;
}

// Processor time in seconds that a process and the children it has waited
// for have taken: the origin's, with the copies it made.
double processorTime(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  // The fields after the command name (which is in parentheses): state is
  // the first of them, utime, stime, cutime and cstime the 12th to 15th.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 15 && fields >> field; ++i)
    if (i >= 12) ticks += std::stod(field);
  return ticks / double(sysconf(_SC_CLK_TCK));
}

// This process's own processor time in seconds.
double ownProcessorTime() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Counters of processor time per iteration in milliseconds: this process's
// ("here_ms") and the trial's, in the origin and its copies ("trial_ms").
struct ProcessorTimes {
  explicit ProcessorTimes(benchmark::State& state)
      : state(state),
        origin(trial_build::originProcess()),
        here(ownProcessorTime()),
        trial(origin > 0 ? processorTime(origin) : 0) {}
  ~ProcessorTimes() {
    const double n = double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["here_ms"] = (ownProcessorTime() - here) * 1e3 / n;
    if (origin > 0) state.counters["trial_ms"] = (processorTime(origin) - trial) * 1e3 / n;
  }
  benchmark::State& state;
  int origin;
  double here, trial;
};

void typicalScene(benchmark::State& state, bool trial) {
  ScriptHost::trialBuilds = trial;
  {
    ScriptHost host;
    ProcessorTimes times(state);
    for (auto _ : state) {
      std::string error;
      if (!host.compile("scenes\\tunnel.as", typicalSource(), error)) {
        state.SkipWithError(error.c_str());
        break;
      }
    }
  }
  ScriptHost::trialBuilds = true;
}

// The trial build alone, of that scene (as the host preprocesses it) and of
// an empty text (what a trial costs besides the build: the copy of the
// origin, its thread, its end).
void trialAlone(benchmark::State& state, bool empty) {
  std::string text;
  if (!empty) {
    ScriptHost host;
    Scriplet record;
    std::string error;
    text = typicalSource();
    host.preprocess("scenes\\tunnel.as", text, record, error);
  }
  ProcessorTimes times(state);
  for (auto _ : state)
    if (trial_build::tryBuild(text) != trial_build::Outcome::Returned)
      state.SkipWithError("the trial build did not come back");
}

// The sample show's whole load as the player does it: the description,
// every scriplet's compile and every scene's init (textures, meshes,
// effects, music), from a fresh store each time, on a small headless
// device.
void showLoad(benchmark::State& state, bool trial) {
  static HeadlessDevice* headless =
      new HeadlessDevice(64, 48, D3DCREATE_HARDWARE_VERTEXPROCESSING, true, D3DFMT_D16);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(kSample);
  ScriptHost::trialBuilds = trial;
  {
    ProcessorTimes times(state);
    for (auto _ : state) {
      TQDatabaseFilesystem files;
      gDatabase = &files;
      ScriptHost host;
      DemoSequencer sequencer(&host, headless->device);
      if (!sequencer.loadDescription("main.demo")) {
        state.SkipWithError("the sample's description did not load");
        break;
      }
      sequencer.initScenes();
    }
  }
  gDatabase = nullptr;
  ScriptHost::trialBuilds = true;
  std::filesystem::current_path(previous);
}

BENCHMARK_CAPTURE(showLoad, trial, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(showLoad, untried, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(trialAlone, scene, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(trialAlone, empty, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(typicalScene, trial, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(typicalScene, untried, false)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  useHeadlessEnvironment();
  // Before any other thread, as the player does it.
  d3dx_hlsl::startCompiler();
  trial_build::start();
  return bench_ratio::run(
      argc, argv,
      {{"the sample show's whole load", "showLoad/trial", "showLoad/untried"},
       {"one typical scene (tunnel.as)", "typicalScene/trial", "typicalScene/untried"}});
}
