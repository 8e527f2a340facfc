#include "core/PackageFile.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ParallelInflate.h"
#include "platform/file/FileSystem.h"
#include "platform/win32/Processors.h"

namespace {

constexpr unsigned char kScrambleXor = 0x6B;  // K1
constexpr unsigned char kScrambleAdd = 0x3A;  // K2

// A block buffer of a gzipped package starts at most this large and doubles
// as bytes arrive, so a size field that promises more than the stream holds
// costs no more memory than the stream itself.
constexpr std::uint64_t kFirstChunk = 1u << 20;
// Compressed bytes read from the file at a time.
constexpr std::size_t kInputChunk = 64 * 1024;
// Uncompressed bytes inflated at a time when they are skipped.
constexpr std::size_t kSkipChunk = 64 * 1024;
// Magic, entry count and directory size.
constexpr std::uint64_t kHeaderBytes = 12;

// An open package stream, closed once when it goes.
class GzStream {
 public:
  explicit GzStream(const std::string& fileName)
      : file(gzopen(nativePath(fileName).c_str(), "rb")) {}
  ~GzStream() {
    if (file) gzclose(file);
  }
  GzStream(const GzStream&) = delete;
  GzStream& operator=(const GzStream&) = delete;

  gzFile file;
};

// Descrambles `length` bytes from `from` into `to` (which may be `from`),
// as one block.
void descrambleInto(const char* from, char* to, std::int32_t length) {
  for (std::int32_t i = 0; i < length; ++i) {
    const unsigned char stored = static_cast<unsigned char>(from[i]);
    to[i] = static_cast<char>((stored ^ kScrambleXor) - (i & 0xFF) - kScrambleAdd);
  }
}

std::uint32_t littleEndian32(const unsigned char* bytes) {
  return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
         std::uint32_t(bytes[3]) << 24;
}

// Entry sizes by name, in the byte-wise order of the blobs. The names point
// into the directory buffer.
using DirectoryMap = std::map<std::string_view, std::uint32_t>;

// Parses `count` records from the descrambled directory into name -> size
// (a repeated name keeps its later size). False when a record does not fit.
bool parseDirectory(const char* directory, std::uint64_t length, std::int32_t count,
                    DirectoryMap& sizes) {
  std::uint64_t position = 0;
  for (std::int32_t record = 0; record < count; ++record) {
    const std::uint64_t nameLimit =
        std::min<std::uint64_t>(length - position, kPackageMaxNameLength + 1);
    const void* terminator = std::memchr(directory + position, 0, std::size_t(nameLimit));
    if (!terminator) return false;
    const std::uint64_t nameLength =
        std::uint64_t(static_cast<const char*>(terminator) - (directory + position));
    const std::uint64_t sizeAt = position + nameLength + 1;
    if (length - sizeAt < 4) return false;
    const std::uint32_t size =
        littleEndian32(reinterpret_cast<const unsigned char*>(directory + sizeAt));
    if (size > std::uint32_t(INT32_MAX)) return false;
    sizes[std::string_view(directory + position, std::size_t(nameLength))] = size;
    position = sizeAt + 4;
  }
  return true;
}

// Reads up to `size` bytes at `offset`; answers how many arrived (fewer when
// the file ends or fails first).
std::uint64_t readAt(int fd, std::uint64_t offset, void* buffer, std::uint64_t size) {
  std::uint64_t done = 0;
  while (done < size) {
    const std::size_t want = std::size_t(std::min<std::uint64_t>(size - done, 1u << 30));
    const ssize_t got = pread(fd, static_cast<char*>(buffer) + done, want, off_t(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += std::uint64_t(got);
  }
  return done;
}

// What tells one state of a file from another: a package replaced or
// rewritten while a reader holds it differs in at least one of these.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedSeconds = 0;
  long modifiedNanoseconds = 0;
  bool isFolder = false;

  explicit FileIdentity(const struct stat& status)
      : device(status.st_dev),
        inode(status.st_ino),
        size(status.st_size),
        modifiedSeconds(status.st_mtim.tv_sec),
        modifiedNanoseconds(status.st_mtim.tv_nsec),
        isFolder(S_ISDIR(status.st_mode)) {}
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedSeconds == other.modifiedSeconds &&
           modifiedNanoseconds == other.modifiedNanoseconds && isFolder == other.isFolder;
  }
};

// The uncompressed stream of a gzip file (one member or several back to
// back, as the gzip reader of zlib takes them; anything after the last member
// is ignored). It inflates forward from its position; on the way it keeps
// the inflater's state at every kPackageAccessSpacing bytes of output that it
// reaches for the first time, so that it can later resume at any of them.
class Inflater {
 public:
  explicit Inflater(int fd)
      : fd(fd), input(new unsigned char[kInputChunk]), scratch(new char[kSkipChunk]) {
    restart();
  }
  ~Inflater() {
    if (liveReady) inflateEnd(&live);
    for (auto& point : points) inflateEnd(&point->state);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  std::uint64_t position() const { return outPos; }
  std::uint64_t inflated() const { return total; }

  // Moves to the kept state nearest before `target` when that saves
  // inflating: always when the target lies behind the position, and when it
  // lies ahead beyond a kept state.
  void approach(std::uint64_t target) {
    auto after = std::upper_bound(
        points.begin(), points.end(), target,
        [](std::uint64_t out, const std::unique_ptr<Point>& p) { return out < p->out; });
    Point* nearest = after == points.begin() ? nullptr : std::prev(after)->get();
    if (target >= outPos) {
      if (nearest && nearest->out > outPos) resume(*nearest);
    } else if (nearest) {
      resume(*nearest);
    } else {
      restart();
    }
  }

  // Inflates the next `size` bytes into `out` (null: discards them). Answers
  // how many arrived: fewer when the stream ends or is damaged first.
  std::uint64_t produce(char* out, std::uint64_t size) {
    std::uint64_t done = 0;
    while (done < size && !ended) {
      if (live.avail_in == 0 && !refill()) {
        ended = true;  // the file ends inside the stream
        break;
      }
      std::uint64_t want = std::min<std::uint64_t>(size - done, nextPointAt - outPos);
      want =
          std::min<std::uint64_t>(want, out ? std::uint64_t(1u << 30) : std::uint64_t(kSkipChunk));
      live.next_out = reinterpret_cast<Bytef*>(out ? out + done : scratch.get());
      live.avail_out = uInt(want);
      const int result = inflate(&live, Z_NO_FLUSH);
      const std::uint64_t got = want - live.avail_out;
      done += got;
      outPos += got;
      total += got;
      if (result == Z_STREAM_END) {
        if (!nextMember()) ended = true;
      } else if (result != Z_OK && !(result == Z_BUF_ERROR && live.avail_in == 0)) {
        ended = true;  // damaged data
      }
      if (!ended && outPos == nextPointAt) keepPoint();
    }
    return done;
  }

 private:
  struct Point {
    std::uint64_t out = 0;  // uncompressed position
    std::uint64_t in = 0;   // file offset of the first compressed byte not yet consumed
    z_stream state{};
  };

  void restart() {
    if (liveReady) inflateEnd(&live);
    live = z_stream{};
    liveReady = inflateInit2(&live, 15 + 16) == Z_OK;  // gzip wrapper only
    ended = !liveReady;
    inPos = 0;
    outPos = 0;
  }

  void resume(const Point& point) {
    if (liveReady) inflateEnd(&live);
    live = z_stream{};
    liveReady = inflateCopy(&live, const_cast<z_stream*>(&point.state)) == Z_OK;
    live.next_in = input.get();
    live.avail_in = 0;
    ended = !liveReady;
    inPos = point.in;
    outPos = point.out;
  }

  void keepPoint() {
    nextPointAt = outPos + kPackageAccessSpacing;
    std::unique_ptr<Point> point(new Point);
    if (inflateCopy(&point->state, &live) != Z_OK) return;
    point->out = outPos;
    point->in = inPos - live.avail_in;
    points.push_back(std::move(point));
  }

  bool refill() {
    const std::uint64_t got = readAt(fd, inPos, input.get(), kInputChunk);
    if (got == 0) return false;
    inPos += got;
    live.next_in = input.get();
    live.avail_in = uInt(got);
    return true;
  }

  // After a member's end: another member follows when the next bytes are a
  // gzip header; then the inflater reads on into it.
  bool nextMember() {
    unsigned char magic[2];
    if (live.avail_in >= 2) {
      std::memcpy(magic, live.next_in, 2);
    } else if (readAt(fd, inPos - live.avail_in, magic, 2) != 2) {
      return false;
    }
    if (magic[0] != 0x1F || magic[1] != 0x8B) return false;
    return inflateReset(&live) == Z_OK;
  }

  int fd;
  z_stream live{};
  bool liveReady = false;
  bool ended = false;
  std::unique_ptr<unsigned char[]> input;
  std::unique_ptr<char[]> scratch;
  std::uint64_t inPos = 0;                            // file offset just after the buffered input
  std::uint64_t outPos = 0;                           // uncompressed position of the next byte
  std::uint64_t nextPointAt = kPackageAccessSpacing;  // beyond every kept point
  std::uint64_t total = 0;
  std::vector<std::unique_ptr<Point>> points;  // ascending `out`
};

// The whole uncompressed stream of a gzip file, inflated in one go by the
// faster whole-buffer inflater. It holds exactly what the Inflater above
// would deliver from the same file, or answers false: whenever the two might
// differ (a member that does not inflate cleanly, a header that the streaming
// inflater would refuse, a trailer that is cut short or does not match, a
// stream beyond kPackageWholeStreamLimit) the caller streams instead, so
// damaged and truncated files behave as they always did.
class WholeStream {
 public:
  // `file` holds the whole gzip file.
  bool inflate(const unsigned char* file, std::uint64_t fileSize) {
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> decompressor(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!decompressor) return false;
    // DEFLATE can expand its input at most 1032 times (a 258-byte match in
    // two bits), so no stream is longer than that.
    limit = std::min(kPackageWholeStreamLimit, fileSize * 1032 + 1);
    // A single member's trailer ends the file and tells its size exactly;
    // for several members it is a first guess that the loop corrects.
    std::uint64_t guess = fileSize >= 4 ? littleEndian32(file + fileSize - 4) : 0;
    if (!reserve(std::max<std::uint64_t>(guess, 1))) return false;
    std::uint64_t at = 0;
    // Once a member turns out small, the ones after it are taken for small
    // too (a file of many small members): they are inflated serially.
    bool membersLarge = true;
    for (;;) {
      const std::uint64_t start = headerEnd(file, fileSize, at);
      if (start == 0) return false;
      std::size_t consumed = 0, produced = 0;
      std::uint32_t crc = 0;
      const bool parallel =
          membersLarge && fileSize - start >= tuning.parallelMember &&
          inflateParallel(file + start, fileSize - start, consumed, produced, crc);
      for (; !parallel;) {
        const libdeflate_result result = libdeflate_deflate_decompress_ex(
            decompressor.get(), file + start, std::size_t(fileSize - start), bytes.get() + size,
            std::size_t(capacity - size), &consumed, &produced);
        if (result == LIBDEFLATE_SUCCESS) break;
        if (result != LIBDEFLATE_INSUFFICIENT_SPACE) return false;
        inflatedBytes += capacity - size;  // filled before it ran out of room
        if (!reserve(std::max<std::uint64_t>(capacity * 2, kFirstChunk))) return false;
      }
      if (consumed < tuning.parallelMember) membersLarge = false;
      const std::uint64_t memberStart = size;
      size += produced;
      inflatedBytes += produced;
      if (!parallel) crc = std::uint32_t(libdeflate_crc32(0, bytes.get() + memberStart, produced));
      // Every member's trailer is checked, the last one's too: the
      // whole-buffer inflater decodes some codes that the streaming one
      // refuses as damage (lengths 286 and 287, distances 30 and 31), so only
      // a matching checksum shows that both read the same bytes. A trailer
      // cut short cannot show it. (A stream that uses those codes and still
      // carries the right checksum is read whole; streaming would stop there.)
      const std::uint64_t trailer = start + consumed;
      if (fileSize - trailer < 8) return false;
      const std::uint32_t check = littleEndian32(file + trailer);
      const std::uint32_t length = littleEndian32(file + trailer + 4);
      if (std::uint32_t(produced) != length || crc != check) return false;
      // As the streaming inflater, go on into another member only when a
      // gzip header follows; anything else after a member is ignored.
      const std::uint64_t next = trailer + 8;
      if (fileSize - next < 2 || file[next] != 0x1F || file[next + 1] != 0x8B) return true;
      at = next;
      // Room for the rest at the ratio seen so far.
      const double ratio = double(size) / double(next);
      guess = std::uint64_t(double(fileSize - next) * ratio * 1.25) + kFirstChunk;
      if (capacity - size < guess) reserve(size + guess);
    }
  }

  std::unique_ptr<char[]> bytes;
  std::uint64_t size = 0;           // bytes of stream delivered
  std::uint64_t inflatedBytes = 0;  // including attempts that ran out of room
  unsigned parallelChunks = 0;      // chunks of the members inflated on several threads

 private:
  // A large member's deflate data at `data` (the rest of the file after
  // it, with kInputPadding readable bytes more) inflated on several threads
  // to the end of the held stream. False when that does not give exactly
  // what a serial inflate gives: the serial one then runs.
  bool inflateParallel(const unsigned char* data, std::uint64_t available, std::size_t& consumed,
                       std::size_t& produced, std::uint32_t& crc) {
    // On one core the serial inflater is the faster one, and so it is on a
    // machine whose cores are all taken several times over (the threads
    // would wait for their turns, the whole for the last of them).
    if (tuning.threads == 0 && (processors::count() < 2 || processors::loadPerProcessor() > 1.5))
      return false;
    parallel_inflate::Options options;
    options.chunkBytes = tuning.chunkBytes;
    options.threads = tuning.threads;
    parallel_inflate::Result result;
    const bool done = parallel_inflate::inflate(
        data, std::size_t(available), limit - size, options,
        [this](std::uint64_t length) -> unsigned char* {
          if (capacity - size < length && (!reserve(size + length) || capacity - size < length))
            return nullptr;
          return reinterpret_cast<unsigned char*>(bytes.get() + size);
        },
        result);
    if (!done) return false;
    consumed = result.consumed;
    produced = std::size_t(result.length);
    crc = result.crc;
    parallelChunks += result.chunks;
    return true;
  }

  const PackageInflateTuning tuning = packageInflateTuning();

  // Grows the buffer to `wanted` bytes (at most the limit), keeping what it
  // holds. False when the limit does not allow more room than there is.
  bool reserve(std::uint64_t wanted) {
    wanted = std::min(wanted, limit);
    if (wanted <= capacity) return false;
    std::unique_ptr<char[]> grown(new char[wanted]);
    if (size) std::memcpy(grown.get(), bytes.get(), size);
    bytes = std::move(grown);
    capacity = wanted;
    return true;
  }

  // The offset of a member's compressed data, after its gzip header at
  // `at`; 0 for a header that the streaming inflater would not accept (or
  // one cut short). Flags: 2 header check, 4 extra field, 8 name, 16
  // comment; the top three bits are reserved.
  static std::uint64_t headerEnd(const unsigned char* file, std::uint64_t fileSize,
                                 std::uint64_t at) {
    if (fileSize - at < 10) return 0;
    const unsigned char* header = file + at;
    if (header[0] != 0x1F || header[1] != 0x8B || header[2] != 8 || (header[3] & 0xE0)) return 0;
    const unsigned flags = header[3];
    std::uint64_t p = at + 10;
    if (flags & 4) {
      if (fileSize - p < 2) return 0;
      const std::uint64_t extra = std::uint64_t(file[p]) | std::uint64_t(file[p + 1]) << 8;
      if (fileSize - p - 2 < extra) return 0;
      p += 2 + extra;
    }
    for (unsigned field : {8u, 16u}) {
      if (!(flags & field)) continue;
      const void* end = std::memchr(file + p, 0, std::size_t(fileSize - p));
      if (!end) return 0;
      p = std::uint64_t(static_cast<const unsigned char*>(end) - file) + 1;
    }
    if (flags & 2) {
      if (fileSize - p < 2) return 0;
      const std::uint32_t stored = std::uint32_t(file[p]) | std::uint32_t(file[p + 1]) << 8;
      if ((libdeflate_crc32(0, header, std::size_t(p - at)) & 0xFFFF) != stored) return 0;
      p += 2;
    }
    return p;
  }

  std::uint64_t capacity = 0;
  std::uint64_t limit = 0;  // on the capacity
};

// Inflates exactly `size` bytes into a new buffer; null when the stream
// ends first.
std::unique_ptr<char[]> inflateBlock(Inflater& inflater, std::uint64_t size) {
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
    const std::uint64_t got = inflater.produce(buffer.get() + filled, capacity - filled);
    if (got < capacity - filled) return nullptr;
    filled += got;
  }
  return buffer;
}

}  // namespace

// A package as it was when opened: its directory, and its bytes, read
// directly or through the inflater.
struct PackageReader::Opened {
  struct Blob {
    std::uint64_t offset = 0;  // from the start of the blob area
    std::uint32_t size = 0;
    bool delivered = false;          // read at least once
    std::unique_ptr<char[]> passed;  // stored bytes kept from a read that passed over them
  };

  Opened(int fd, const FileIdentity& identity) : fd(fd), identity(identity) {}
  ~Opened() {
    inflater.reset();
    if (fd >= 0) close(fd);
  }

  // Reads the stream's bytes [offset, offset + size) into a new buffer; null
  // when the stream does not hold them all.
  std::unique_ptr<char[]> fetch(std::uint64_t offset, std::uint64_t size) {
    if (size == 0) return nullptr;
    if (whole) {
      if (offset > whole->size || size > whole->size - offset) return nullptr;
      std::unique_ptr<char[]> buffer(new char[size]);
      std::memcpy(buffer.get(), whole->bytes.get() + offset, size);
      return buffer;
    }
    if (!inflater) {
      if (offset > std::uint64_t(identity.size) || size > std::uint64_t(identity.size) - offset)
        return nullptr;
      std::unique_ptr<char[]> buffer(new char[size]);
      if (readAt(fd, offset, buffer.get(), size) != size) return nullptr;
      return buffer;
    }
    inflater->approach(offset);
    if (!skipTo(offset)) return nullptr;
    return inflateBlock(*inflater, size);
  }

  // The held stream's bytes [offset, offset + size), descrambled as one
  // block, in a new buffer; null when the stream does not hold them all.
  std::unique_ptr<char[]> descrambledFromWhole(std::uint64_t offset, std::uint32_t size) const {
    if (size == 0 || offset > whole->size || size > whole->size - offset) return nullptr;
    std::unique_ptr<char[]> buffer(new char[size]);
    descrambleInto(whole->bytes.get() + offset, buffer.get(), std::int32_t(size));
    return buffer;
  }

  // Reads the whole gzip file and inflates it at once, when it is not too
  // large; `whole` stays null when that does not give the stream exactly.
  void inflateWhole() {
    const std::uint64_t fileSize = std::uint64_t(identity.size);
    if (fileSize > kPackageWholeStreamLimit) return;
    // The parallel inflater reads a little past the end.
    std::unique_ptr<unsigned char[]> file(
        new unsigned char[fileSize + parallel_inflate::kInputPadding]);
    if (readAt(fd, 0, file.get(), fileSize) != fileSize) return;
    std::memset(file.get() + fileSize, 0, parallel_inflate::kInputPadding);
    std::unique_ptr<WholeStream> stream(new WholeStream);
    const bool exact = stream->inflate(file.get(), fileSize);
    wholeInflated += stream->inflatedBytes;
    if (exact) whole = std::move(stream);
  }

  bool skipTo(std::uint64_t offset) {
    const std::uint64_t gap = offset - inflater->position();
    return inflater->produce(nullptr, gap) == gap;
  }

  // The stored bytes of blob k. In a gzipped package the blobs that the
  // inflater passes on its way to k are kept, when `keepPassed` and the
  // budget allow, unless they have been read already.
  std::unique_ptr<char[]> fetchBlob(std::size_t k, bool keepPassed) {
    Blob& blob = blobs[k];
    if (blob.passed) {
      passedBytes -= blob.size;
      return std::move(blob.passed);
    }
    const std::uint64_t target = blobArea + blob.offset;
    if (!inflater || whole) return fetch(target, blob.size);

    inflater->approach(target);
    if (inflater->position() < blobArea && !skipTo(blobArea)) return nullptr;
    // From the first blob that starts at or after the position (skipping the
    // rest of one that the position lies in) up to k.
    std::size_t j = std::size_t(
        std::lower_bound(blobs.begin(), blobs.end(), inflater->position() - blobArea,
                         [](const Blob& b, std::uint64_t at) { return b.offset < at; }) -
        blobs.begin());
    for (; j < k; ++j) {
      Blob& other = blobs[j];
      if (!skipTo(blobArea + other.offset)) return nullptr;
      const bool keep = keepPassed && !other.delivered && !other.passed && other.size > 0 &&
                        passedBytes + other.size <= kPackagePassedBudget;
      if (keep) {
        other.passed = inflateBlock(*inflater, other.size);
        if (!other.passed) return nullptr;
        passedBytes += other.size;
      }
    }
    if (!skipTo(target)) return nullptr;
    return inflateBlock(*inflater, blob.size);
  }

  int fd;
  FileIdentity identity;
  bool usable = false;                            // the header and directory read and parsed
  std::unique_ptr<Inflater> inflater;             // gzipped packages only
  std::unique_ptr<WholeStream> whole;             // a gzipped package inflated at once
  std::unique_ptr<char[]> directory;              // descrambled; `index` points into it
  std::map<std::string_view, std::size_t> index;  // name -> blob
  std::vector<Blob> blobs;                        // in the order of the blob area
  std::uint64_t blobArea = 0;                     // stream offset of the first blob
  std::uint64_t passedBytes = 0;
  std::uint64_t wholeInflated = 0;  // by an attempt to inflate the whole stream
};

PackageReader::PackageReader(const std::string& fileName, bool keepPassedEntries, bool inflateWhole)
    : name(fileName), keepPassed(keepPassedEntries), inflateWhole(inflateWhole) {}

PackageReader::~PackageReader() {}

std::uint64_t PackageReader::inflatedBytes() const {
  if (!opened) return inflatedBefore;
  return inflatedBefore + (opened->inflater ? opened->inflater->inflated() : 0) +
         opened->wholeInflated;
}

bool PackageReader::holdsWholeStream() const { return opened && opened->whole; }

unsigned PackageReader::parallelChunks() const {
  return opened && opened->whole ? opened->whole->parallelChunks : 0;
}

namespace {
PackageInflateTuning currentTuning;
}

void setPackageInflateTuning(const PackageInflateTuning& tuning) { currentTuning = tuning; }

PackageInflateTuning packageInflateTuning() { return currentTuning; }

bool PackageReader::read(const std::string& entryName, char** data, std::int32_t* size) {
  const std::string path = nativePath(name);
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    opened.reset();
    return false;
  }
  if (!opened || !(opened->identity == FileIdentity(status))) {
    inflatedBefore = inflatedBytes();
    opened.reset();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (fstat(fd, &status) != 0) {
      close(fd);
      return false;
    }
    ++openCount;
    opened.reset(new Opened(fd, FileIdentity(status)));
    Opened& o = *opened;
    unsigned char magic[2] = {0, 0};
    if (!o.identity.isFolder && readAt(fd, 0, magic, 2) == 2 && magic[0] == 0x1F &&
        magic[1] == 0x8B) {
      if (inflateWhole) o.inflateWhole();
      if (!o.whole) o.inflater.reset(new Inflater(fd));
    }

    std::unique_ptr<char[]> header = o.identity.isFolder ? nullptr : o.fetch(0, kHeaderBytes);
    if (header) {
      const unsigned char* bytes = reinterpret_cast<const unsigned char*>(header.get());
      const std::int32_t entryCount = std::int32_t(littleEndian32(bytes + 4));
      const std::uint32_t directorySize = littleEndian32(bytes + 8);
      DirectoryMap sizes;
      bool parsed = false;
      if (littleEndian32(bytes) != kPackageMagic) {
        parsed = false;
      } else if (directorySize > 0) {
        o.directory = o.fetch(kHeaderBytes, directorySize);
        if (o.directory) {
          // One scrambled block; its scramble index wraps at 256, so it can
          // be descrambled in pieces of any multiple of 256 bytes.
          for (std::uint32_t done = 0; done < directorySize; done += 1u << 30)
            descrambleBytes(o.directory.get() + done,
                            std::int32_t(std::min<std::uint32_t>(directorySize - done, 1u << 30)));
          parsed = parseDirectory(o.directory.get(), directorySize, entryCount, sizes);
        }
      } else {
        parsed = entryCount <= 0;  // records promised, but no directory bytes to hold them
      }
      if (parsed) {
        o.blobArea = kHeaderBytes + directorySize;
        std::uint64_t offset = 0;
        o.blobs.reserve(sizes.size());
        for (const auto& [entry, bytesOfEntry] : sizes) {
          o.index.emplace(entry, o.blobs.size());
          o.blobs.emplace_back();
          o.blobs.back().offset = offset;
          o.blobs.back().size = bytesOfEntry;
          offset += bytesOfEntry;
        }
        o.usable = true;
      }
    }
  }

  Opened& o = *opened;
  if (!o.usable) return false;
  const auto found = o.index.find(std::string_view(entryName));
  if (found == o.index.end()) return false;
  Opened::Blob& blob = o.blobs[found->second];
  std::unique_ptr<char[]> bytes;
  if (o.whole) {
    // Descrambled on the way out of the held stream.
    bytes = o.descrambledFromWhole(o.blobArea + blob.offset, blob.size);
    if (!bytes) return false;
  } else {
    bytes = o.fetchBlob(found->second, keepPassed);
    if (!bytes) return false;
    descrambleBytes(bytes.get(), std::int32_t(blob.size));
  }
  blob.delivered = true;
  *size = std::int32_t(blob.size);
  *data = bytes.release();
  return true;
}

void descrambleBytes(char* bytes, std::int32_t length) { descrambleInto(bytes, bytes, length); }

bool isPackageFile(const std::string& fileName) {
  GzStream stream(fileName);
  if (!stream.file) return false;
  unsigned char bytes[4] = {0, 0, 0, 0};
  gzread(stream.file, bytes, 4);
  return littleEndian32(bytes) == kPackageMagic;
}

bool readPackageEntry(const std::string& fileName, const std::string& entryName, char** data,
                      std::int32_t* size) {
  PackageReader reader(fileName, false, false);
  return reader.read(entryName, data, size);
}
