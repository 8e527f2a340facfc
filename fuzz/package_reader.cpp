// Fuzzes the package reader: arbitrary bytes as a package file, plain or
// gzip-compressed, read through isPackageFile, readPackageEntry and the
// packed store's load.
//
// Input: byte 0 holds flags (bit 0: write the package gzip-compressed;
// bit 1: scramble the directory here, so that mutations work on plain
// names and sizes), byte 1 the length L of the entry name to ask for, then
// L name bytes, then the package file.
//
// Gzipped packages are inflated on several threads in chunks of 64 bytes,
// however small they are. With bit 2 of the flags the bytes after the name
// are instead a raw deflate stream for the chunked inflater alone, in
// chunks of 16 << (bits 4 to 6) bytes on 1 + (bit 3) * 3 threads: it must
// take the stream exactly when zlib's inflate takes it, and deliver what zlib
// delivers, or the target traps.
//
// Run:
//   cmake -S . -B build-fuzz -DENGINE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_C_COMPILER=clang -DENGINE_BENCH=OFF
//   cmake --build build-fuzz --target fuzz_package_reader
//   fuzz/make_seeds.py build-fuzz/corpus
//   build-fuzz/fuzz_package_reader -dict=fuzz/package_reader.dict -max_len=8192 build-fuzz/corpus
//
// The fuzz build instruments the whole engine, the reader included.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/PackageFile.h"
#include "core/ParallelInflate.h"
#include "core/TQDatabase.h"
#include "fuzz/scratch.h"

namespace {

std::string scratchPath() {
  std::string path = "/tmp/fuzz-package-" + std::to_string(getpid()) + ".dat";
  fuzz_scratch::removeAtExit(path);
  return path;
}

void scrambleDirectory(std::string& package) {
  if (package.size() < 12) return;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(package.data() + 8);
  const std::uint32_t d = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                          std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
  const std::size_t end = std::min<std::size_t>(package.size(), 12 + std::size_t(d));
  for (std::size_t i = 12; i < end; ++i) {
    const std::size_t index = i - 12;
    package[i] = char((((unsigned char)package[i] + index + 0x3A) & 0xFF) ^ 0x6B);
  }
}

bool writePackage(const std::string& path, const std::string& bytes, bool gzipped) {
  if (gzipped) {
    gzFile file = gzopen(path.c_str(), "wb");
    if (!file) return false;
    if (!bytes.empty()) gzwrite(file, bytes.data(), unsigned(bytes.size()));
    gzclose(file);
    return true;
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return true;
}

// The chunked inflater's verdict and bytes against zlib's raw inflate, for
// streams that inflate to at most kRawLimit bytes.
constexpr std::uint64_t kRawLimit = 1u << 20;

void compareRawInflate(const std::uint8_t* stream, std::size_t size, std::uint8_t flags) {
  static std::vector<unsigned char> expected(kRawLimit + 1);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return;
  z.next_in = const_cast<Bytef*>(stream);
  z.avail_in = uInt(size);
  z.next_out = expected.data();
  z.avail_out = uInt(expected.size());
  const bool zlibTakes = inflate(&z, Z_FINISH) == Z_STREAM_END && z.total_out <= kRawLimit;
  const std::size_t zlibLength = z.total_out, zlibConsumed = z.total_in;
  inflateEnd(&z);

  std::vector<unsigned char> input(stream, stream + size);
  input.resize(size + parallel_inflate::kInputPadding);
  parallel_inflate::Options options;
  options.chunkBytes = std::size_t(16) << ((flags >> 4) & 7);
  options.threads = flags & 8 ? 4 : 1;
  std::vector<unsigned char> got;
  parallel_inflate::Result result;
  const bool taken = parallel_inflate::inflate(
      input.data(), size, kRawLimit, options,
      [&got](std::uint64_t length) {
        got.resize(std::size_t(length) + 1);
        return got.data();
      },
      result);
  if (taken != zlibTakes) __builtin_trap();
  if (!taken) return;
  if (result.length != zlibLength || result.consumed != zlibConsumed ||
      (zlibLength && std::memcmp(got.data(), expected.data(), zlibLength) != 0) ||
      result.crc != std::uint32_t(crc32(0, expected.data(), uInt(zlibLength))))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t nameLength = std::min<std::size_t>(data[1], size - 2);
  if (flags & 4) {
    compareRawInflate(data + 2 + nameLength, size - 2 - nameLength, flags);
    return 0;
  }
  static const bool tuned = [] {
    PackageInflateTuning tuning;
    tuning.parallelMember = 0;
    tuning.chunkBytes = 64;
    tuning.threads = 2;
    setPackageInflateTuning(tuning);
    return true;
  }();
  (void)tuned;
  const std::string name(reinterpret_cast<const char*>(data + 2), nameLength);
  std::string package(reinterpret_cast<const char*>(data + 2 + nameLength), size - 2 - nameLength);
  if (flags & 2) scrambleDirectory(package);

  static const std::string path = scratchPath();
  if (!writePackage(path, package, flags & 1)) return 0;

  isPackageFile(path);
  char* bytes = nullptr;
  std::int32_t length = 0;
  std::string direct;  // the whole buffer must be readable
  const bool read = readPackageEntry(path, name, &bytes, &length);
  if (read) {
    direct.assign(bytes, std::size_t(length));
    delete[] bytes;
  }

  TQDatabasePackedFile store;
  store.open(path);
  TQDataHandler_Text handler;
  std::string error;
  {
    TQSmartPointerTyped<char> shared, again, unique;
    const bool loaded = store.load(name, handler, shared, 0, error);
    // A single read streams a gzipped package; the store inflates it whole.
    // For a stream gzipped here (so not damaged) both must deliver the same.
    // (A damaged stream whose checksum still matches may inflate whole past
    // codes that streaming refuses, so damaged files are compared by the
    // unit tests instead.)
    if ((flags & 1) && !name.empty() &&
        (loaded != read ||
         (loaded && direct.compare(0, direct.size(), shared.object, direct.size()) != 0)))
      __builtin_trap();
    store.load(name, handler, again, 0, error);
    store.load(name, handler, unique, kLoadUniqueInstance, error);
  }
  return 0;
}
