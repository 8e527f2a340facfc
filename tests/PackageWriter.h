// A tiny package writer for tests and benchmarks: builds package bytes from
// records and blobs, scrambled as the engine's reader expects, and writes
// them plain or gzip-compressed.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace package_writer {

inline std::string le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = char((value >> (8 * i)) & 0xFF);
  return bytes;
}

// stored[i] = ((plain[i] + i + 0x3A) mod 256) XOR 0x6B
inline std::string scramble(const std::string& plain) {
  std::string stored = plain;
  for (std::size_t i = 0; i < plain.size(); ++i)
    stored[i] = char((((unsigned char)plain[i] + i + 0x3A) & 0xFF) ^ 0x6B);
  return stored;
}

inline std::string record(const std::string& name, std::uint32_t size) {
  return name + '\0' + le32(size);
}

// Header, then the directory scrambled as one block, then `blobArea`, whose
// blobs the caller scrambled one by one. `directorySize` overrides D.
inline std::string rawPackage(std::int32_t count, const std::string& directory,
                              const std::string& blobArea, std::int64_t directorySize = -1) {
  const std::uint32_t d =
      directorySize < 0 ? std::uint32_t(directory.size()) : std::uint32_t(directorySize);
  return le32(0xA488BDCCu) + le32(std::uint32_t(count)) + le32(d) + scramble(directory) + blobArea;
}

// A well-formed package: records in the given order, blobs in ascending
// byte-wise name order.
inline std::string package(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string directory;
  std::map<std::string, std::string> sorted;
  for (const auto& [name, content] : entries) {
    directory += record(name, std::uint32_t(content.size()));
    sorted[name] = content;
  }
  std::string blobs;
  for (const auto& [name, content] : sorted) blobs += scramble(content);
  return rawPackage(std::int32_t(entries.size()), directory, blobs);
}

inline bool writeFile(const std::string& path, const std::string& bytes, bool gzipped) {
  if (gzipped) {
    gzFile file = gzopen(path.c_str(), "wb");
    if (!file) return false;
    const int written = bytes.empty() ? 0 : gzwrite(file, bytes.data(), unsigned(bytes.size()));
    gzclose(file);
    return written == int(bytes.size());
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const std::size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return written == bytes.size();
}

}  // namespace package_writer
