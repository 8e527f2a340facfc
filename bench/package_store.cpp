// Loading from the packed store, each package written plain and gzipped:
// every entry of a package of 1,000 small script-like entries in name order;
// every entry of a package of about 12 MiB of mixed entries (script text,
// mesh-like numbers and incompressible image-like bytes) in a shuffled order,
// as a show loads them; and one entry from a fresh store. The ratios printed
// at the end compare each gzipped load with the same load from the plain
// package. Besides, the mixed package's gzip member inflated with its
// checksum by the engine's chunked inflater, on one thread and on all, each
// against libdeflate's serial inflate.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/ratio_report.h"
#include "core/ParallelInflate.h"
#include "core/TQDatabase.h"
#include "tests/PackageWriter.h"

namespace {

constexpr int kSmallEntries = 1000;
constexpr std::size_t kSmallEntryBytes = 1024;
constexpr int kMixedEntries = 192;

std::string entryName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "scenes/entry%04d.as", i);
  return name;
}

// Script-like text that compresses about as well as real sources do.
std::string entryText(int i, std::size_t bytes) {
  std::string text;
  unsigned seed = unsigned(i) * 2654435761u + 1;
  while (text.size() < bytes) {
    seed = seed * 1103515245u + 12345u;
    text += "float value" + std::to_string(seed % 97) + " = " + std::to_string((seed >> 8) % 1000) +
            ";\n";
  }
  text.resize(bytes);
  return text;
}

// Entry i of the mixed package: a third each of text, numbers and noise, of
// 8 to 128 KiB.
std::string mixedEntry(int i) {
  std::mt19937 random(unsigned(i) + 7);
  const std::size_t bytes = 8192 + random() % (120 * 1024);
  if (i % 3 == 0) return entryText(i, bytes);
  std::string data(bytes, '\0');
  if (i % 3 == 1) {
    for (std::size_t k = 0; k + 4 <= bytes; k += 4) {
      const float value = float(k % 4096) * 0.25f;
      std::memcpy(&data[k], &value, 4);
    }
  } else {
    for (char& c : data) c = char(random());
  }
  return data;
}

struct Packages {
  Packages() {
    char pattern[] = "/tmp/engine-bench-XXXXXX";
    folder = mkdtemp(pattern);
    std::vector<std::pair<std::string, std::string>> small, mixed;
    for (int i = 0; i < kSmallEntries; ++i)
      small.emplace_back(entryName(i), entryText(i, kSmallEntryBytes));
    for (int i = 0; i < kMixedEntries; ++i) mixed.emplace_back(entryName(i), mixedEntry(i));
    write("small", package_writer::package(small));
    write("mixed", package_writer::package(mixed));
    for (int i = 0; i < kMixedEntries; ++i) shuffled.push_back(i);
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));
  }
  ~Packages() { std::filesystem::remove_all(folder); }
  void write(const std::string& name, const std::string& bytes) {
    package_writer::writeFile(path(name, false), bytes, false);
    package_writer::writeFile(path(name, true), bytes, true);
  }
  std::string path(const std::string& name, bool gzipped) const {
    return folder + "/" + name + (gzipped ? ".gz.dat" : ".dat");
  }
  std::string folder;
  std::vector<int> shuffled;
};

const Packages& packages() {
  static Packages instance;
  return instance;
}

void loadAll(benchmark::State& state, const std::string& path, const std::vector<int>& order) {
  for (auto _ : state) {
    TQDatabasePackedFile store;
    store.open(path);
    TQDataHandler_Text handler;
    std::string error;
    for (int i : order) {
      TQSmartPointerTyped<char> text;
      if (!store.load(entryName(i), handler, text, 0, error)) state.SkipWithError(error.c_str());
    }
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(order.size()));
}

void smallInOrder(benchmark::State& state, bool gzipped) {
  std::vector<int> order(kSmallEntries);
  for (int i = 0; i < kSmallEntries; ++i) order[i] = i;
  loadAll(state, packages().path("small", gzipped), order);
}

void mixedShuffled(benchmark::State& state, bool gzipped) {
  loadAll(state, packages().path("mixed", gzipped), packages().shuffled);
}

void lastEntry(benchmark::State& state, bool gzipped) {
  loadAll(state, packages().path("mixed", gzipped), {kMixedEntries - 1});
}

// The floor: the mixed package read through once, start to end, with zlib's
// gzip reader.
void readThrough(benchmark::State& state, bool gzipped) {
  const std::string path = packages().path("mixed", gzipped);
  std::vector<char> buffer(1 << 20);
  for (auto _ : state) {
    gzFile file = gzopen(path.c_str(), "rb");
    while (gzread(file, buffer.data(), unsigned(buffer.size())) > 0) {
    }
    gzclose(file);
  }
}

// The deflate data of the gzipped mixed package (its header has no optional
// fields), followed by the padding the chunked inflater reads into.
struct Member {
  Member() {
    std::ifstream in(packages().path("mixed", true), std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (file.size() < 18 || file[3] != 0) std::abort();
    length = std::uint32_t((unsigned char)file[file.size() - 4]) |
             std::uint32_t((unsigned char)file[file.size() - 3]) << 8 |
             std::uint32_t((unsigned char)file[file.size() - 2]) << 16 |
             std::uint32_t((unsigned char)file[file.size() - 1]) << 24;
    deflateSize = file.size() - 10;
    file.resize(file.size() + parallel_inflate::kInputPadding);
    out.resize(length);
  }
  const unsigned char* data() const {
    return reinterpret_cast<const unsigned char*>(file.data()) + 10;
  }
  std::string file;
  std::size_t deflateSize = 0;
  std::uint32_t length = 0;
  std::vector<unsigned char> out;
};

Member& member() {
  static Member instance;
  return instance;
}

void inflateMember(benchmark::State& state, unsigned threads) {
  Member& m = member();
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  for (auto _ : state) {
    std::uint32_t crc = 0;
    if (threads == 0) {
      std::size_t produced = 0;
      if (libdeflate_deflate_decompress(decompressor, m.data(), m.deflateSize, m.out.data(),
                                        m.out.size(), &produced) != LIBDEFLATE_SUCCESS)
        state.SkipWithError("libdeflate failed");
      crc = std::uint32_t(libdeflate_crc32(0, m.out.data(), produced));
    } else {
      parallel_inflate::Options options;
      options.threads = threads;
      if (threads == 1) options.chunkBytes = m.deflateSize;
      parallel_inflate::Result result;
      if (!parallel_inflate::inflate(
              m.data(), m.deflateSize, m.length, options,
              [&m](std::uint64_t) { return m.out.data(); }, result))
        state.SkipWithError("chunked inflate failed");
      crc = result.crc;
    }
    benchmark::DoNotOptimize(crc);
  }
  libdeflate_free_decompressor(decompressor);
}

unsigned allThreads() {
  return std::min(parallel_inflate::kMaxThreads, std::max(1u, std::thread::hardware_concurrency()));
}

BENCHMARK_CAPTURE(inflateMember, libdeflate, 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(inflateMember, chunked_1_thread, 1u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(inflateMember, chunked_all_threads, allThreads())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readThrough, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readThrough, gzipped, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(smallInOrder, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(smallInOrder, gzipped, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mixedShuffled, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mixedShuffled, gzipped, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(lastEntry, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(lastEntry, gzipped, true)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench_ratio::run(
      argc, argv,
      {{"1,000 small entries, name order", "smallInOrder/gzipped", "smallInOrder/plain"},
       {"192 mixed entries (12 MiB), shuffled", "mixedShuffled/gzipped", "mixedShuffled/plain"},
       {"mixed package read through once", "readThrough/gzipped", "readThrough/plain"},
       {"last entry, fresh store", "lastEntry/gzipped", "lastEntry/plain"},
       {"member inflate, chunked on 1 thread", "inflateMember/chunked_1_thread",
        "inflateMember/libdeflate"},
       {"member inflate, chunked on " + std::to_string(allThreads()) + " threads",
        "inflateMember/chunked_all_threads", "inflateMember/libdeflate"}});
}
