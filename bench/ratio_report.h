// Runs a benchmark program's benchmarks and, after the usual console table,
// prints for named pairs of benchmarks the median time per unit of each and
// their ratio. Defaults that make the ratio meaningful are put in front of
// the command line (the caller's own flags override them): five repetitions,
// randomly interleaved, so both sides of a pair see the same machine state.
//
// A benchmark states how many units one iteration stands for in the counter
// "units" (for example the scenes of a frame); without it an iteration is one
// unit.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace bench_ratio {

struct Pair {
  std::string label;
  std::string measured;  // benchmark names as printed, e.g. "loadEvery/gzipped"
  std::string baseline;
};

class Reporter : public benchmark::ConsoleReporter {
 public:
  explicit Reporter(std::vector<Pair> pairs) : pairs(std::move(pairs)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations <= 0) continue;
      double units = 1.0;
      const auto found = run.counters.find("units");
      if (found != run.counters.end() && found->second.value > 0) units = found->second.value;
      samples[run.run_name.str()].push_back(run.real_accumulated_time / double(run.iterations) /
                                            units);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const char* threads = std::getenv("LP_NUM_THREADS");
    std::printf("\nLP_NUM_THREADS=%s\n", threads ? threads : "(unset: llvmpipe's default)");
    for (const Pair& pair : pairs) {
      const double measured = median(pair.measured), baseline = median(pair.baseline);
      if (measured <= 0 || baseline <= 0) continue;
      std::printf("%-40s %12.3f us  vs %12.3f us   ratio %.3f\n", pair.label.c_str(),
                  measured * 1e6, baseline * 1e6, measured / baseline);
    }
    std::fflush(stdout);
  }

 private:
  double median(const std::string& name) const {
    const auto found = samples.find(name);
    if (found == samples.end() || found->second.empty()) return 0.0;
    std::vector<double> values = found->second;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
  }

  std::vector<Pair> pairs;
  std::map<std::string, std::vector<double>> samples;
};

inline int run(int argc, char** argv, std::vector<Pair> pairs) {
  std::vector<char*> args;
  args.push_back(argv[0]);
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_report_aggregates_only=false";
  args.push_back(repetitions);
  args.push_back(interleave);
  args.push_back(aggregates);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = int(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  Reporter reporter(std::move(pairs));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench_ratio
