// The packed store re-reads the directory and skips every earlier blob per
// load. Loads every entry of a package of 1,000 entries, plain and gzipped.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/TQDatabase.h"
#include "tests/PackageWriter.h"

namespace {

constexpr int kEntries = 1000;
constexpr std::size_t kEntryBytes = 1024;

std::string entryName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "scenes/entry%04d.as", i);
  return name;
}

// Script-like text that compresses about as well as real sources do.
std::string entryText(int i) {
  std::string text;
  unsigned seed = unsigned(i) * 2654435761u + 1;
  while (text.size() < kEntryBytes) {
    seed = seed * 1103515245u + 12345u;
    text += "float value" + std::to_string(seed % 97) + " = " + std::to_string((seed >> 8) % 1000) + ";\n";
  }
  text.resize(kEntryBytes);
  return text;
}

struct Packages {
  Packages() {
    char pattern[] = "/tmp/engine-bench-XXXXXX";
    folder = mkdtemp(pattern);
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < kEntries; ++i) entries.emplace_back(entryName(i), entryText(i));
    const std::string bytes = package_writer::package(entries);
    plain = folder + "/plain.dat";
    gzipped = folder + "/gzipped.dat";
    package_writer::writeFile(plain, bytes, false);
    package_writer::writeFile(gzipped, bytes, true);
  }
  ~Packages() { std::filesystem::remove_all(folder); }
  std::string folder, plain, gzipped;
};

const Packages& packages() {
  static Packages instance;
  return instance;
}

void loadEveryEntry(benchmark::State& state, bool gzipped) {
  const std::string& path = gzipped ? packages().gzipped : packages().plain;
  for (auto _ : state) {
    TQDatabasePackedFile store;
    store.open(path);
    TQDataHandler_Text handler;
    std::string error;
    for (int i = 0; i < kEntries; ++i) {
      TQSmartPointerTyped<char> text;
      if (!store.load(entryName(i), handler, text, 0, error)) state.SkipWithError(error.c_str());
    }
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void loadOneEntry(benchmark::State& state, bool gzipped) {
  const std::string& path = gzipped ? packages().gzipped : packages().plain;
  const std::string name = entryName(int(state.range(0)));
  for (auto _ : state) {
    TQDatabasePackedFile store;
    store.open(path);
    TQDataHandler_Text handler;
    TQSmartPointerTyped<char> text;
    std::string error;
    if (!store.load(name, handler, text, 0, error)) state.SkipWithError(error.c_str());
  }
}

BENCHMARK_CAPTURE(loadEveryEntry, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loadEveryEntry, gzipped, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loadOneEntry, plain, false)->Arg(0)->Arg(999)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(loadOneEntry, gzipped, true)->Arg(0)->Arg(999)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
