#include "core/PackageFile.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

#include "platform/file/FileSystem.h"

namespace {

constexpr unsigned char kScrambleXor = 0x6B;  // K1
constexpr unsigned char kScrambleAdd = 0x3A;  // K2

// A block buffer starts at most this large and doubles as bytes arrive, so a
// size field that promises more than the file holds costs no more memory than
// the file itself.
constexpr std::uint64_t kFirstChunk = 1u << 20;

// An open package stream, closed once when it goes.
class GzStream {
 public:
  explicit GzStream(const std::string& fileName) : file(gzopen(nativePath(fileName).c_str(), "rb")) {}
  ~GzStream() {
    if (file) gzclose(file);
  }
  GzStream(const GzStream&) = delete;
  GzStream& operator=(const GzStream&) = delete;

  gzFile file;
};

std::uint32_t littleEndian32(const unsigned char* bytes) {
  return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
         std::uint32_t(bytes[3]) << 24;
}

// Reads exactly `size` bytes into a new buffer; null when the stream ends or
// fails first.
std::unique_ptr<char[]> readBlock(gzFile file, std::uint64_t size) {
  if (size == 0) return nullptr;
  std::uint64_t capacity = std::min(size, kFirstChunk);
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::uint64_t filled = 0;
  while (filled < size) {
    if (filled == capacity) {
      const std::uint64_t larger = std::min(size, capacity * 2);
      std::unique_ptr<char[]> grown(new char[larger]);
      std::memcpy(grown.get(), buffer.get(), filled);
      buffer = std::move(grown);
      capacity = larger;
    }
    const unsigned want = unsigned(std::min<std::uint64_t>(capacity - filled, INT_MAX));
    const int got = gzread(file, buffer.get() + filled, want);
    if (got <= 0) return nullptr;
    filled += std::uint64_t(got);
  }
  return buffer;
}

bool readValue(gzFile file, std::uint32_t* value) {
  unsigned char bytes[4] = {0, 0, 0, 0};
  if (gzread(file, bytes, 4) != 4) return false;
  *value = littleEndian32(bytes);
  return true;
}

// Entry sizes by name, in the byte-wise order of the blobs. The names point
// into the directory buffer.
using DirectoryMap = std::map<std::string_view, std::uint32_t>;

// Parses `count` records from the descrambled directory into name -> size
// (a repeated name keeps its later size). False when a record does not fit.
bool parseDirectory(const char* directory, std::uint32_t length, std::int32_t count, DirectoryMap& sizes) {
  std::uint32_t position = 0;
  for (std::int32_t record = 0; record < count; ++record) {
    const std::uint32_t nameLimit =
        std::min<std::uint32_t>(length - position, std::uint32_t(kPackageMaxNameLength + 1));
    const void* terminator = std::memchr(directory + position, 0, nameLimit);
    if (!terminator) return false;
    const std::uint32_t nameLength = std::uint32_t(static_cast<const char*>(terminator) - (directory + position));
    const std::uint32_t sizeAt = position + nameLength + 1;
    if (length - sizeAt < 4) return false;
    const std::uint32_t size = littleEndian32(reinterpret_cast<const unsigned char*>(directory + sizeAt));
    if (size > std::uint32_t(INT32_MAX)) return false;
    sizes[std::string_view(directory + position, nameLength)] = size;
    position = sizeAt + 4;
  }
  return true;
}

}  // namespace

void descrambleBytes(char* bytes, std::int32_t length) {
  for (std::int32_t i = 0; i < length; ++i) {
    const unsigned char stored = static_cast<unsigned char>(bytes[i]);
    bytes[i] = static_cast<char>((stored ^ kScrambleXor) - (i & 0xFF) - kScrambleAdd);
  }
}

bool isPackageFile(const std::string& fileName) {
  GzStream stream(fileName);
  if (!stream.file) return false;
  unsigned char bytes[4] = {0, 0, 0, 0};
  gzread(stream.file, bytes, 4);
  return littleEndian32(bytes) == kPackageMagic;
}

bool readPackageEntry(const std::string& fileName, const std::string& entryName, char** data,
                      std::int32_t* size) {
  GzStream stream(fileName);
  if (!stream.file) return false;

  std::uint32_t magic = 0, count = 0, directorySize = 0;
  if (!readValue(stream.file, &magic) || magic != kPackageMagic) return false;
  if (!readValue(stream.file, &count) || !readValue(stream.file, &directorySize)) return false;
  const std::int32_t entryCount = std::int32_t(count);

  DirectoryMap sizes;
  std::unique_ptr<char[]> directory;
  if (directorySize > 0) {
    directory = readBlock(stream.file, directorySize);
    if (!directory) return false;
    // The directory is one scrambled block; its scramble index wraps at 256,
    // so it can be descrambled in pieces of any multiple of 256 bytes.
    for (std::uint32_t done = 0; done < directorySize; done += 1u << 30)
      descrambleBytes(directory.get() + done, std::int32_t(std::min<std::uint32_t>(directorySize - done, 1u << 30)));
    if (!parseDirectory(directory.get(), directorySize, entryCount, sizes)) return false;
  } else if (entryCount > 0) {
    return false;  // records promised, but no directory bytes to hold them
  }

  const auto wanted = sizes.find(std::string_view(entryName));
  if (wanted == sizes.end()) return false;
  // The blob starts after every blob whose name sorts before it; one skip
  // forward saves a seek per earlier entry.
  std::uint64_t offset = 0;
  for (auto it = sizes.begin(); it != wanted; ++it) offset += it->second;
  for (constexpr std::uint64_t step = 1u << 30; offset > 0; offset -= std::min(offset, step))
    gzseek(stream.file, z_off_t(std::min(offset, step)), SEEK_CUR);

  std::unique_ptr<char[]> blob = readBlock(stream.file, wanted->second);
  if (!blob) return false;
  descrambleBytes(blob.get(), std::int32_t(wanted->second));
  *size = std::int32_t(wanted->second);
  *data = blob.release();
  return true;
}
