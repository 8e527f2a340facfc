// Fuzzes the package reader: arbitrary bytes as a package file, plain or
// gzip-compressed, read through isPackageFile, readPackageEntry and the
// packed store's load.
//
// Input: byte 0 holds flags (bit 0: write the package gzip-compressed;
// bit 1: scramble the directory here, so that mutations work on plain
// names and sizes), byte 1 the length L of the entry name to ask for, then
// L name bytes, then the package file.
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
#include <string>

#include "core/PackageFile.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t nameLength = std::min<std::size_t>(data[1], size - 2);
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
