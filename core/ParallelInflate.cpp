#include "core/ParallelInflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win32/Processors.h"

namespace parallel_inflate {
namespace {

constexpr std::size_t kWindow = 32768;
constexpr unsigned kMaxMatch = 258;
// Room an output buffer keeps beyond its next symbols (three literals or a
// copy): a copy moves whole blocks of up to 32 bytes and may write up to 31
// bytes past its end.
constexpr std::size_t kOutputSlack = kMaxMatch + 64;
// Chunks are at least this large, so that finding a start and filling the
// window stay small beside decoding.
constexpr std::size_t kSmallestDefaultChunk = 256 * 1024;

// Decoding table entries: the flags, a 16-bit value (a literal byte, a
// length or distance base, a code-length symbol or a subtable's offset), the
// number of extra bits (or a subtable's index bits) and the number of code
// bits the entry stands for.
constexpr std::uint32_t kLiteral = 1u << 31;
constexpr std::uint32_t kSubtable = 1u << 30;
constexpr std::uint32_t kEndOfBlock = 1u << 29;
constexpr std::uint32_t kInvalid = 1u << 28;

constexpr std::uint32_t makeEntry(std::uint32_t flags, std::uint32_t value, std::uint32_t extra) {
  return flags | value << 12 | extra << 8;
}
inline std::uint32_t entryValue(std::uint32_t e) { return (e >> 12) & 0xFFFF; }
inline unsigned entryExtra(std::uint32_t e) { return (e >> 8) & 0xF; }
inline unsigned entryBits(std::uint32_t e) { return e & 0xFF; }

// Index bits of the first-level tables, and the most entries a valid code
// can need with them (first level and subtables together).
constexpr unsigned kLiteralBits = 11, kDistanceBits = 8, kCodeLengthBits = 7;
constexpr std::size_t kLiteralEntries = 2342, kDistanceEntries = 402, kCodeLengthEntries = 128;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

// What a table entry says for each symbol, before its code bits are added.
struct Payloads {
  std::uint32_t literal[288];
  std::uint32_t distance[32];
  std::uint32_t codeLength[19];
  Payloads() {
    for (unsigned s = 0; s < 256; ++s) literal[s] = makeEntry(kLiteral, s, 0);
    literal[256] = kEndOfBlock;
    for (unsigned s = 257; s < 286; ++s)
      literal[s] = makeEntry(0, kLengthBase[s - 257], kLengthExtra[s - 257]);
    literal[286] = literal[287] = kInvalid;  // only the fixed code has them; zlib refuses them
    for (unsigned s = 0; s < 30; ++s)
      distance[s] = makeEntry(0, kDistanceBase[s], kDistanceExtra[s]);
    distance[30] = distance[31] = kInvalid;
    for (unsigned s = 0; s < 19; ++s) codeLength[s] = makeEntry(0, s, 0);
  }
};

const Payloads& payloads() {
  static const Payloads instance;
  return instance;
}

enum class CodeKind { kCodeLengths, kLiterals, kDistances };

// zlib's rules for a set of code lengths: 1 when it makes a code, 0 when it
// holds no code at all (allowed for distances only: a block that then copies
// fails), -1 when zlib refuses it: over-subscribed, or incomplete other than
// by a single code of one bit (and the code-length code must be complete).
int checkLengths(const std::uint8_t* lengths, unsigned n, CodeKind kind, unsigned* count,
                 unsigned& longest) {
  for (unsigned len = 0; len < 16; ++len) count[len] = 0;
  for (unsigned s = 0; s < n; ++s) ++count[lengths[s]];
  longest = 15;
  while (longest > 0 && count[longest] == 0) --longest;
  if (longest == 0) return kind == CodeKind::kDistances ? 0 : -1;
  int left = 1;
  for (unsigned len = 1; len < 16; ++len) {
    left = left * 2 - int(count[len]);
    if (left < 0) return -1;
  }
  if (left > 0 && (kind == CodeKind::kCodeLengths || longest != 1)) return -1;
  return 1;
}

unsigned reverseBits(unsigned code, unsigned length) {
  unsigned reversed = 0;
  for (unsigned i = 0; i < length; ++i, code >>= 1) reversed = reversed << 1 | (code & 1);
  return reversed;
}

// Builds the decoding table of a code: `primary` index bits first, longer
// codes through subtables. False when zlib refuses the lengths.
bool buildTable(const std::uint8_t* lengths, unsigned n, const std::uint32_t* payload,
                unsigned primary, std::uint32_t* table, std::size_t capacity, CodeKind kind) {
  unsigned count[16], longest = 0;
  const int check = checkLengths(lengths, n, kind, count, longest);
  if (check < 0) return false;
  const std::size_t primarySize = std::size_t(1) << primary;
  // An empty or single-code set leaves entries that no code reaches.
  if (check == 0 || longest == 1) std::fill(table, table + primarySize, kInvalid);
  if (check == 0) return true;

  std::uint16_t sorted[288];
  {
    unsigned offset[16];
    offset[1] = 0;
    for (unsigned len = 1; len < 15; ++len) offset[len + 1] = offset[len] + count[len];
    for (unsigned s = 0; s < n; ++s)
      if (lengths[s]) sorted[offset[lengths[s]]++] = std::uint16_t(s);
  }
  unsigned remaining[16];
  std::copy(count, count + 16, remaining);
  std::size_t next = primarySize, subStart = 0;
  unsigned subBits = 0, currentPrefix = ~0u, code = 0, i = 0;
  for (unsigned len = 1; len <= longest; ++len, code <<= 1) {
    for (unsigned c = 0; c < count[len]; ++c, ++i, ++code) {
      const unsigned symbol = sorted[i];
      const unsigned reversed = reverseBits(code, len);
      if (len <= primary) {
        const std::uint32_t e = payload[symbol] | len;
        for (std::size_t j = reversed; j < primarySize; j += std::size_t(1) << len) table[j] = e;
      } else {
        const unsigned prefix = reversed & unsigned(primarySize - 1);
        if (prefix != currentPrefix) {
          // A new subtable, as wide as the codes that share this prefix need.
          unsigned bits = len - primary;
          int left = 1 << bits;
          while (bits + primary < longest) {
            left -= int(remaining[bits + primary]);
            if (left <= 0) break;
            ++bits;
            left <<= 1;
          }
          if (next + (std::size_t(1) << bits) > capacity) return false;
          subStart = next;
          subBits = bits;
          next += std::size_t(1) << bits;
          currentPrefix = prefix;
          table[prefix] = kSubtable | std::uint32_t(subStart) << 12 | bits << 8 | primary;
        }
        const std::uint32_t e = payload[symbol] | (len - primary);
        for (std::size_t j = reversed >> primary; j < (std::size_t(1) << subBits);
             j += std::size_t(1) << (len - primary))
          table[subStart + j] = e;
      }
      --remaining[len];
    }
  }
  return true;
}

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Reads the stream's bits, least significant first, a word at a time. After
// a refill at least 56 bits are buffered; the bits above `count` hold the
// next input bits (or nothing), so a later refill may OR them in again.
struct Bits {
  const unsigned char* base = nullptr;  // the stream's first byte
  const unsigned char* next = nullptr;  // the next byte to load
  std::uint64_t buffer = 0;
  unsigned count = 0;

  void refill() {
    buffer |= load64(next) << count;
    next += (63 - count) >> 3;
    count |= 56;
  }
  void drop(unsigned n) {
    buffer >>= n;
    count -= n;
  }
  unsigned take(unsigned n) {
    const unsigned v = unsigned(buffer & ((std::uint64_t(1) << n) - 1));
    drop(n);
    return v;
  }
  std::uint64_t position() const { return std::uint64_t(next - base) * 8 - count; }
  void seek(std::uint64_t bit) {
    next = base + bit / 8;
    buffer = 0;
    count = 0;
    refill();
    drop(unsigned(bit % 8));
  }
};

// The code lengths of a dynamic block, its 3 header bits already read.
// False when zlib would refuse them or they run past `limit` (the last byte
// a refill may start at).
bool readCodeLengths(Bits& bits, const unsigned char* limit, std::uint8_t* lengths,
                     unsigned& literals, unsigned& distances) {
  if (bits.next > limit) return false;
  bits.refill();
  literals = bits.take(5) + 257;
  distances = bits.take(5) + 1;
  const unsigned codes = bits.take(4) + 4;
  if (literals > 286 || distances > 30) return false;
  std::uint8_t codeLengths[19] = {};
  for (unsigned i = 0; i < codes; ++i) {
    if (bits.count < 3) {
      if (bits.next > limit) return false;
      bits.refill();
    }
    codeLengths[kCodeLengthOrder[i]] = std::uint8_t(bits.take(3));
  }
  std::uint32_t table[kCodeLengthEntries];
  if (!buildTable(codeLengths, 19, payloads().codeLength, kCodeLengthBits, table,
                  kCodeLengthEntries, CodeKind::kCodeLengths))
    return false;
  const unsigned total = literals + distances;
  unsigned have = 0;
  while (have < total) {
    if (bits.next > limit) return false;
    bits.refill();  // a code of at most 7 bits and at most 7 extra bits
    const std::uint32_t e = table[bits.buffer & ((1u << kCodeLengthBits) - 1)];
    bits.drop(entryBits(e));
    const unsigned symbol = entryValue(e);
    if (symbol < 16) {
      lengths[have++] = std::uint8_t(symbol);
      continue;
    }
    unsigned repeat;
    std::uint8_t value = 0;
    if (symbol == 16) {
      if (have == 0) return false;
      value = lengths[have - 1];
      repeat = 3 + bits.take(2);
    } else if (symbol == 17) {
      repeat = 3 + bits.take(3);
    } else {
      repeat = 11 + bits.take(7);
    }
    if (repeat > total - have) return false;
    std::memset(lengths + have, value, repeat);
    have += repeat;
  }
  return lengths[256] != 0;  // a block must be able to end
}

enum class Status { kBlockEnd, kSwitch, kMet, kFinal, kError, kCancelled, kNoStart };

// A growable output of elements T, in memory from malloc.
template <typename T>
struct Output {
  T* data = nullptr;
  std::size_t size = 0;      // elements written
  std::size_t capacity = 0;  // elements there is room for
  std::atomic<std::int64_t>* budget = nullptr;

  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { std::free(data); }

  // Room for at least `wanted` elements, the memory counted against the
  // budget of the whole inflate.
  bool reserve(std::size_t wanted) {
    if (wanted <= capacity) return true;
    const std::size_t grown = std::max(wanted, capacity * 2);
    const std::int64_t added = std::int64_t((grown - capacity) * sizeof(T));
    if (budget->fetch_sub(added) < added) return false;  // spent: give up
    T* moved = static_cast<T*>(std::realloc(data, grown * sizeof(T)));
    if (!moved) return false;
    data = moved;
    capacity = grown;
    return true;
  }
  void release() {
    std::free(data);
    data = nullptr;
    size = capacity = 0;
  }
};

// Where a chunk begins: a dynamic block's header bit, or a stored block's
// length field (the block itself taken as not the final one).
struct Start {
  std::uint64_t bit = 0;
  bool stored = false;
  bool found = false;
};

struct Chunk {
  std::uint64_t firstBit = 0;  // of the chunk's share of the compressed bytes
  std::once_flag sought;
  Start start;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> trusted{false};  // known to start where the true decode has a block
  // What its decode came to.
  Status status = Status::kNoStart;
  std::size_t metChunk = 0;  // the chunk it handed over to (kMet)
  std::uint64_t endBit = 0;
  Output<std::uint16_t> wide;   // the window's markers, then the output until the switch
  Output<std::uint8_t> narrow;  // the 32 KiB before the switch, then the output after it
  bool switched = false;
  std::uint32_t narrowCrc = 0;  // of the output in `narrow`
};

class Inflate;

// Decodes one chunk's blocks.
class Decoder {
 public:
  Decoder(Inflate& job, std::size_t chunk);
  Status run(Chunk& c);

 private:
  template <typename T, bool kMarkers>
  Status blocks(Output<T>& out, Chunk& c);
  template <typename T, bool kMarkers>
  Status codes(Output<T>& out);
  template <typename T, bool kMarkers>
  Status stored(Output<T>& out);
  Status header();
  Status handOver(Chunk& c);

  Inflate& job;
  std::size_t index;
  Bits bits;
  const unsigned char* end;    // of the input
  const unsigned char* limit;  // the last byte a refill may start at
  bool inBlock = false;
  bool storedBlock = false;
  bool final = false;
  bool atOwnStart = true;
  std::size_t target;          // the chunk whose start this decode looks out for
  std::size_t lastMarker = 0;  // the last element that may hold a marker
  std::size_t nextScan = 0;    // where the output is next searched for markers
  const std::uint32_t* literalTable = nullptr;
  const std::uint32_t* distanceTable = nullptr;
  std::uint32_t literals[kLiteralEntries];
  std::uint32_t distances[kDistanceEntries];
};

struct FixedTables {
  std::uint32_t literals[kLiteralEntries];
  std::uint32_t distances[kDistanceEntries];
  FixedTables() {
    std::uint8_t lengths[288];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    buildTable(lengths, 288, payloads().literal, kLiteralBits, literals, kLiteralEntries,
               CodeKind::kLiterals);
    std::fill(lengths, lengths + 32, 5);
    buildTable(lengths, 32, payloads().distance, kDistanceBits, distances, kDistanceEntries,
               CodeKind::kDistances);
  }
};

const FixedTables& fixedTables() {
  static const FixedTables instance;
  return instance;
}

class Inflate {
 public:
  Inflate(const unsigned char* data, std::size_t size, std::uint64_t maxLength,
          std::size_t chunkBytes)
      : data(data), size(size), maxLength(maxLength) {
    count = std::max<std::size_t>(1, (size + chunkBytes - 1) / chunkBytes);
    chunks.reset(new Chunk[count]);
    for (std::size_t k = 0; k < count; ++k) chunks[k].firstBit = std::uint64_t(k) * chunkBytes * 8;
    chunks[0].trusted = true;
    // The chunks' buffers together: the result with room to spare, and the
    // work of starts that turn out false.
    budget =
        std::int64_t(std::min<std::uint64_t>(maxLength, std::uint64_t(1) << 40) * 4 + (64u << 20));
  }

  const unsigned char* data;
  std::size_t size;
  std::uint64_t maxLength;
  std::size_t count = 0;
  std::unique_ptr<Chunk[]> chunks;
  std::atomic<std::int64_t> budget{0};

  // The start of chunk k (k > 0), sought once by whichever thread asks first.
  const Start& startOf(std::size_t k) {
    Chunk& c = chunks[k];
    std::call_once(c.sought, [&] {
      const std::uint64_t to = k + 1 < count ? chunks[k + 1].firstBit : std::uint64_t(size) * 8;
      c.start = seek(c.firstBit, to);
    });
    return c.start;
  }

  void decode(std::size_t k) {
    Chunk& c = chunks[k];
    if (c.cancelled) {
      c.status = Status::kCancelled;
      return;
    }
    if (k > 0 && !startOf(k).found) {
      c.status = Status::kNoStart;
      return;
    }
    std::unique_ptr<Decoder> decoder(new (std::nothrow) Decoder(*this, k));
    c.status = decoder ? decoder->run(c) : Status::kError;
    if (c.status != Status::kMet && c.status != Status::kFinal) {
      c.wide.release();
      c.narrow.release();
    } else if (k == 0 || c.switched) {
      // The checksum of the bytes already known, while the other chunks
      // still decode.
      const std::size_t from = k == 0 ? 0 : kWindow;
      c.narrowCrc = std::uint32_t(libdeflate_crc32(0, c.narrow.data + from, c.narrow.size - from));
    }
  }

 private:
  Start seek(std::uint64_t from, std::uint64_t to) const;
  bool storedAt(std::size_t p) const;
  bool dynamicAt(std::uint64_t bit) const;
  bool completeCodeLengthCode(std::uint64_t bit) const;
};

// Kraft sums of four 3-bit code lengths at once: each length l > 0 takes
// 2^(7 - l) of the 2^7 that a complete code of lengths up to 7 fills.
struct KraftSums {
  std::uint16_t ofFour[4096];
  KraftSums() {
    for (unsigned v = 0; v < 4096; ++v) {
      unsigned sum = 0;
      for (unsigned i = 0; i < 4; ++i) {
        const unsigned len = (v >> (3 * i)) & 7;
        if (len) sum += 128u >> len;
      }
      ofFour[v] = std::uint16_t(sum);
    }
  }
};

const KraftSums& kraftSums() {
  static const KraftSums instance;
  return instance;
}

// Whether the code-length code of a dynamic header at `bit` is complete, as
// zlib requires: a quick test that rejects most places before the header is
// read in full.
bool Inflate::completeCodeLengthCode(std::uint64_t bit) const {
  const std::uint64_t count = (load64(data + (bit + 13) / 8) >> ((bit + 13) % 8)) & 15;
  std::uint64_t lengths = load64(data + (bit + 17) / 8) >> ((bit + 17) % 8);  // 57 bits or more
  const std::uint16_t* sums = kraftSums().ofFour;
  unsigned sum = 0, left = unsigned(count) + 4;
  for (; left >= 4; left -= 4, lengths >>= 12) {
    sum += sums[lengths & 0xFFF];
    if (sum > 128) return false;
  }
  sum += sums[lengths & ((1u << (3 * left)) - 1)];
  return sum == 128;
}

// A dynamic block's header at `bit` (its first bit) that zlib would take,
// whatever its final-block bit says.
bool Inflate::dynamicAt(std::uint64_t bit) const {
  Bits bits;
  bits.base = data;
  bits.seek(bit + 3);
  std::uint8_t lengths[320];
  unsigned literals = 0, distances = 0;
  if (!readCodeLengths(bits, data + size, lengths, literals, distances)) return false;
  if (bits.position() > std::uint64_t(size) * 8) return false;
  unsigned count[16], longest = 0;
  return checkLengths(lengths, literals, CodeKind::kLiterals, count, longest) > 0 &&
         checkLengths(lengths + literals, distances, CodeKind::kDistances, count, longest) >= 0;
}

// A stored block whose length field is at byte p: the length's complement
// follows it, the three bits of a stored header that is not the final one
// fit in the byte before it, and the block after it starts plausibly (a
// stored or dynamic block; a following fixed-code block is not believed).
bool Inflate::storedAt(std::size_t p) const {
  if (p < 2 || size - p < 4) return false;
  const unsigned length = data[p] | unsigned(data[p + 1]) << 8;
  const unsigned complement = data[p + 2] | unsigned(data[p + 3]) << 8;
  if (length != (~complement & 0xFFFF)) return false;
  const unsigned before = ~(data[p - 2] | unsigned(data[p - 1]) << 8) & 0xFFFF;
  // Three zero bits, the last of them in byte p - 1.
  if (!(((before & (before >> 1) & (before >> 2)) >> 6) & 0xFF)) return false;
  const std::size_t after = p + 4 + length;
  if (after >= size) return false;
  const unsigned type = (data[after] >> 1) & 3;
  if (type == 0) {
    if (size - after < 5) return false;
    const unsigned nextLength = data[after + 1] | unsigned(data[after + 2]) << 8;
    const unsigned nextComplement = data[after + 3] | unsigned(data[after + 4]) << 8;
    return nextLength == (~nextComplement & 0xFFFF);
  }
  return type == 2 && dynamicAt(std::uint64_t(after) * 8);
}

// The first place in [from, to) where a block that is not the final one can
// start.
Start Inflate::seek(std::uint64_t from, std::uint64_t to) const {
  for (std::size_t p = std::size_t(from / 8); std::uint64_t(p) * 8 < to && p < size; ++p) {
    if (std::uint64_t(p) * 8 >= from && storedAt(p)) {
      return {std::uint64_t(p) * 8, true, true};
    }
    // Bits 0, 0, 1 (not final, dynamic codes) at each of the byte's offsets.
    const std::uint64_t word = load64(data + p);
    unsigned candidates = unsigned(~word & ~(word >> 1) & (word >> 2)) & 0xFF;
    while (candidates) {
      const unsigned offset = unsigned(__builtin_ctz(candidates));
      candidates &= candidates - 1;
      const std::uint64_t bit = std::uint64_t(p) * 8 + offset;
      if (bit < from || bit >= to) continue;
      const std::uint64_t fields = word >> (offset + 3);
      if ((fields & 31) > 29 || ((fields >> 5) & 31) > 29) continue;
      if (!completeCodeLengthCode(bit)) continue;
      if (dynamicAt(bit)) {
        return {bit, false, true};
      }
    }
  }
  return {};
}

Decoder::Decoder(Inflate& job, std::size_t chunk)
    : job(job),
      index(chunk),
      end(job.data + job.size),
      limit(job.data + job.size + 8),
      target(chunk + 1) {
  bits.base = job.data;
  if (chunk == 0) {
    bits.seek(0);
  } else {
    const Start& start = job.startOf(chunk);
    if (start.stored) {
      // Inside a stored block's header, its length field next.
      bits.next = job.data + start.bit / 8;
      inBlock = storedBlock = true;
    } else {
      bits.seek(start.bit);
    }
  }
}

Status Decoder::run(Chunk& c) {
  if (index == 0) {
    c.narrow.budget = &job.budget;
    if (!c.narrow.reserve(std::max<std::size_t>(job.size * 3 / job.count, 1u << 16)))
      return Status::kError;
    return blocks<std::uint8_t, false>(c.narrow, c);
  }
  // The window's bytes are unknown: element i of the first 32 KiB stands for
  // byte i of it.
  c.wide.budget = c.narrow.budget = &job.budget;
  if (!c.wide.reserve(kWindow + (256u << 10))) return Status::kError;
  for (std::size_t i = 0; i < kWindow; ++i) c.wide.data[i] = std::uint16_t(256 + i);
  c.wide.size = kWindow;
  lastMarker = kWindow - 1;
  nextScan = 2 * kWindow;
  Status status = blocks<std::uint16_t, true>(c.wide, c);
  if (status != Status::kSwitch) return status;
  // The last 32 KiB are bytes: the rest of the chunk goes into bytes.
  c.switched = true;
  if (!c.narrow.reserve(std::max<std::size_t>(job.size * 3 / job.count, 1u << 16) + kWindow))
    return Status::kError;
  const std::uint16_t* window = c.wide.data + c.wide.size - kWindow;
  for (std::size_t i = 0; i < kWindow; ++i) c.narrow.data[i] = std::uint8_t(window[i]);
  c.narrow.size = kWindow;
  return blocks<std::uint8_t, false>(c.narrow, c);
}

// At the boundary before a block: whether the decode has reached the start
// of the chunk it looks out for (kMet), passed it (that start was false: it
// looks out for the next one) or not yet reached it (kBlockEnd: go on).
Status Decoder::handOver(Chunk& c) {
  const std::uint64_t bit = bits.position();
  const unsigned head = unsigned(bits.buffer & 7);
  const bool isFinal = head & 1, isStored = ((head >> 1) & 3) == 0;
  // A stored block is met at its length field, after the padding.
  const std::uint64_t at = isStored ? (bit + 3 + 7) / 8 * 8 : bit;
  while (target < job.count) {
    Chunk& next = job.chunks[target];
    if (at < next.firstBit) return Status::kBlockEnd;
    const Start& start = job.startOf(target);
    if (start.found) {
      if (at < start.bit) return Status::kBlockEnd;
      if (at == start.bit && start.stored == isStored && !isFinal) {
        if (c.trusted) next.trusted = true;
        c.metChunk = target;
        c.endBit = bit;
        return Status::kMet;
      }
    }
    // No block starts there: what that chunk decodes is of no use.
    if (c.trusted) next.cancelled = true;
    ++target;
  }
  return Status::kBlockEnd;
}

Status Decoder::header() {
  if (bits.next > limit) return Status::kError;
  bits.refill();
  final = bits.take(1);
  const unsigned type = bits.take(2);
  if (type == 0) {
    storedBlock = true;
  } else if (type == 1) {
    storedBlock = false;
    literalTable = fixedTables().literals;
    distanceTable = fixedTables().distances;
  } else if (type == 2) {
    storedBlock = false;
    std::uint8_t lengths[320];
    unsigned literalCount = 0, distanceCount = 0;
    if (!readCodeLengths(bits, limit, lengths, literalCount, distanceCount)) return Status::kError;
    if (!buildTable(lengths, literalCount, payloads().literal, kLiteralBits, literals,
                    kLiteralEntries, CodeKind::kLiterals) ||
        !buildTable(lengths + literalCount, distanceCount, payloads().distance, kDistanceBits,
                    distances, kDistanceEntries, CodeKind::kDistances))
      return Status::kError;
    literalTable = literals;
    distanceTable = distances;
  } else {
    return Status::kError;
  }
  inBlock = true;
  return Status::kBlockEnd;
}

template <typename T, bool kMarkers>
Status Decoder::blocks(Output<T>& out, Chunk& c) {
  for (;;) {
    if (!inBlock) {
      if (final) {
        c.endBit = bits.position();
        if (c.endBit > std::uint64_t(job.size) * 8) return Status::kError;
        // Nothing after the final block belongs to the stream.
        if (c.trusted)
          for (std::size_t k = index + 1; k < job.count; ++k) job.chunks[k].cancelled = true;
        return Status::kFinal;
      }
      if (bits.position() > std::uint64_t(job.size) * 8) return Status::kError;
      if (c.cancelled) return Status::kCancelled;
      if (!atOwnStart) {
        if (bits.next > limit) return Status::kError;
        bits.refill();
        if (handOver(c) == Status::kMet) return Status::kMet;
      }
      atOwnStart = false;
      const Status started = header();
      if (started != Status::kBlockEnd) return started;
    }
    atOwnStart = false;
    const Status status = storedBlock ? stored<T, kMarkers>(out) : codes<T, kMarkers>(out);
    if (status == Status::kBlockEnd) {
      inBlock = false;
      continue;
    }
    return status;  // kSwitch or kError
  }
}

// The last of the 32 KiB of elements before `n` (at least 64 KiB) that is
// a marker; n - 32 KiB - 1 when none of them is. The decode tracks where
// markers may be from the copies it makes, but that estimate stays high
// while copies keep reaching far back; this search every kScanSpacing
// elements tells exactly.
constexpr std::size_t kScanSpacing = 64 * 1024;

template <typename T>
std::size_t lastMarkerBefore(const T* data, std::size_t n) {
  for (std::size_t k = n; k-- > n - kWindow;)
    if (data[k] >= 256) return k;
  return n - kWindow - 1;
}

template <typename T, bool kMarkers>
Status Decoder::stored(Output<T>& out) {
  // To the byte boundary, then the length and its complement.
  bits.drop(bits.count & 7);
  const unsigned char* at = bits.next - bits.count / 8;
  if (end - at < 4) return Status::kError;
  const unsigned length = at[0] | unsigned(at[1]) << 8;
  if (length != (~(at[2] | unsigned(at[3]) << 8) & 0xFFFF)) return Status::kError;
  at += 4;
  if (std::size_t(end - at) < length) return Status::kError;
  if (!out.reserve(out.size + length + kOutputSlack)) return Status::kError;
  if constexpr (sizeof(T) == 1) {
    std::memcpy(out.data + out.size, at, length);
  } else {
    for (unsigned i = 0; i < length; ++i) out.data[out.size + i] = at[i];
  }
  out.size += length;
  bits.next = at + length;
  bits.buffer = 0;
  bits.count = 0;
  inBlock = false;
  if constexpr (kMarkers) {
    if (out.size >= nextScan) {
      lastMarker = lastMarkerBefore(out.data, out.size);
      nextScan = out.size + kScanSpacing;
    }
  }
  if (kMarkers && out.size - lastMarker > kWindow) {
    // Switch at the block's end: the decode goes on from its boundary.
    return Status::kSwitch;
  }
  return Status::kBlockEnd;
}

// Copies from `from` to `to` until `to` reaches `stop`, `Bytes` at a time;
// the source may overlap the destination when it lies at least `Bytes`
// behind it. May write up to `Bytes` - 1 bytes past `stop`.
template <std::size_t Bytes, typename T>
inline void copyInSteps(T* to, const T* from, const T* stop) {
  do {
    std::memcpy(to, from, Bytes);
    to += Bytes / sizeof(T);
    from += Bytes / sizeof(T);
  } while (to < stop);
}

template <typename T>
inline void copyMatch(T* data, std::size_t n, std::size_t distance, unsigned length) {
  T* to = data + n;
  const T* from = to - distance;
  T* const stop = to + length;
  if (distance * sizeof(T) >= 32) {
    copyInSteps<32>(to, from, stop);
  } else if (distance * sizeof(T) >= 16) {
    copyInSteps<16>(to, from, stop);
  } else if (distance * sizeof(T) >= 8) {
    copyInSteps<8>(to, from, stop);
  } else if (distance == 1) {
    const T value = *from;
    while (to < stop) *to++ = value;
  } else {
    while (to < stop) *to++ = *from++;
  }
}

// Decodes one symbol's code with `table`, subtable included.
inline std::uint32_t lookUp(const std::uint32_t* table, unsigned primary, Bits& b) {
  std::uint32_t e = table[b.buffer & ((1u << primary) - 1)];
  if (e & kSubtable) {
    b.drop(primary);
    e = table[entryValue(e) + (b.buffer & ((1u << entryExtra(e)) - 1))];
  }
  b.drop(entryBits(e));
  return e;
}

template <typename T, bool kMarkers>
Status Decoder::codes(Output<T>& out) {
  Bits b = bits;
  T* data = out.data;
  std::size_t n = out.size, room = out.capacity;
  std::size_t marker = lastMarker;
  const std::uint32_t* const literal = literalTable;
  const std::uint32_t* const distance = distanceTable;
  const unsigned char* const stop = limit;
  Status status;
  for (;;) {
    if (room - n < kOutputSlack) {
      out.size = n;
      if (!out.reserve(n + kOutputSlack)) {
        status = Status::kError;
        break;
      }
      data = out.data;
      room = out.capacity;
    }
    if (b.next > stop) {
      status = Status::kError;  // past the end of the input
      break;
    }
    // 56 bits: up to three literal codes of at most 15 bits each, or a
    // length code with its extra bits and a distance code with its own.
    b.refill();
    std::uint32_t e = lookUp(literal, kLiteralBits, b);
    if (e & kLiteral) {
      data[n++] = T(entryValue(e));
      e = lookUp(literal, kLiteralBits, b);
      if (e & kLiteral) {
        data[n++] = T(entryValue(e));
        e = lookUp(literal, kLiteralBits, b);
        if (e & kLiteral) {
          data[n++] = T(entryValue(e));
          continue;
        }
      }
      b.refill();
    }
    if (e & (kEndOfBlock | kInvalid)) {
      status = e & kEndOfBlock ? Status::kBlockEnd : Status::kError;
      break;
    }
    const unsigned length = entryValue(e) + unsigned(b.buffer & ((1u << entryExtra(e)) - 1));
    b.drop(entryExtra(e));
    const std::uint32_t d = lookUp(distance, kDistanceBits, b);
    if (d & kInvalid) {
      status = Status::kError;
      break;
    }
    const std::size_t back = entryValue(d) + std::size_t(b.buffer & ((1u << entryExtra(d)) - 1));
    b.drop(entryExtra(d));
    if (back > n) {
      status = Status::kError;  // before the start of the stream
      break;
    }
    copyMatch(data, n, back, length);
    if constexpr (kMarkers) {
      // The copy repeats any marker of its source.
      const std::size_t from = n - back;
      if (from <= marker)
        marker =
            back >= length ? n + std::min<std::size_t>(marker - from, length - 1) : n + length - 1;
    }
    n += length;
    if constexpr (kMarkers) {
      if (n >= nextScan) {
        marker = lastMarkerBefore(data, n);
        nextScan = n + kScanSpacing;
      }
      if (n - marker > kWindow) {
        status = Status::kSwitch;
        break;
      }
    }
  }
  bits = b;
  out.size = n;
  lastMarker = marker;
  return status;
}

// Puts the chunks that the true decode went through together.
class Join {
 public:
  Join(Inflate& job) : job(job) {}

  // The chunks in order; false when the decode from the stream's start
  // failed.
  bool plan() {
    std::size_t k = 0;
    for (;;) {
      const Chunk& c = job.chunks[k];
      if (c.status != Status::kMet && c.status != Status::kFinal) return false;
      path.push_back(k);
      if (c.status == Status::kFinal) break;
      k = c.metChunk;
    }
    offsets.resize(path.size() + 1, 0);
    for (std::size_t i = 0; i < path.size(); ++i) {
      offsets[i + 1] = offsets[i] + length(job.chunks[path[i]], i == 0);
      if (offsets[i + 1] > job.maxLength) return false;
    }
    // The 32 KiB before each chunk, in order: each from the one before.
    windows.reset(new (std::nothrow) std::uint8_t[path.size() * kWindow]);
    if (!windows) return false;
    for (std::size_t i = 1; i < path.size(); ++i)
      if (!lastWindow(i - 1, windows.get() + i * kWindow)) return false;
    return true;
  }

  std::uint64_t total() const { return offsets.back(); }
  std::size_t pieces() const { return path.size(); }
  const Chunk& chunkOf(std::size_t i) const { return job.chunks[path[i]]; }

  // Writes piece i to its place in `to`, with its CRC-32.
  bool write(std::size_t i, unsigned char* to, std::uint32_t& crc) {
    Chunk& c = job.chunks[path[i]];
    unsigned char* at = to + offsets[i];
    if (i == 0) {
      std::memcpy(at, c.narrow.data, c.narrow.size);
      crc = c.narrowCrc;
    } else {
      const std::size_t wide = c.wide.size - kWindow;
      if (!resolve(i, c.wide.data + kWindow, wide, at)) return false;
      crc = std::uint32_t(libdeflate_crc32(0, at, wide));
      if (c.switched) {
        const std::size_t narrow = c.narrow.size - kWindow;
        std::memcpy(at + wide, c.narrow.data + kWindow, narrow);
        crc = std::uint32_t(crc32_combine(crc, c.narrowCrc, z_off_t(narrow)));
      }
    }
    c.wide.release();
    c.narrow.release();
    return true;
  }

  std::uint64_t lengthOf(std::size_t i) const { return offsets[i + 1] - offsets[i]; }

 private:
  // Bytes of a chunk's output: the first chunk's are all bytes; the others'
  // come after the window's markers, and after the switch after the window
  // in bytes.
  static std::uint64_t length(const Chunk& c, bool first) {
    if (first) return c.narrow.size;
    return (c.wide.size - kWindow) + (c.switched ? c.narrow.size - kWindow : 0);
  }

  // Replaces the markers of piece i's first `n` elements by the bytes of
  // its window; false for a copy from before the start of the stream.
  bool resolve(std::size_t i, const std::uint16_t* from, std::size_t n, unsigned char* to) const {
    const std::uint8_t* window = windows.get() + i * kWindow;
    // Window bytes before the stream's start are no bytes at all.
    const std::size_t lowest = offsets[i] >= kWindow ? 0 : std::size_t(kWindow - offsets[i]);
    unsigned bad = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const unsigned v = from[k];
      if (v < 256) {
        to[k] = std::uint8_t(v);
      } else {
        bad |= unsigned(v - 256 < lowest);
        to[k] = window[v - 256];
      }
    }
    return !bad;
  }

  // The last 32 KiB of the stream up to the end of piece i.
  bool lastWindow(std::size_t i, std::uint8_t* to) const {
    const Chunk& c = job.chunks[path[i]];
    std::size_t need = kWindow;
    std::uint8_t* fill = to + kWindow;  // filled backwards, from the end
    auto takeBytes = [&](const std::uint8_t* bytes, std::size_t n) {
      const std::size_t part = std::min(need, n);
      fill -= part;
      std::memcpy(fill, bytes + n - part, part);
      need -= part;
    };
    if (i == 0) {
      takeBytes(c.narrow.data, c.narrow.size);
    } else {
      if (c.switched) takeBytes(c.narrow.data + kWindow, c.narrow.size - kWindow);
      const std::size_t wide = c.wide.size - kWindow;
      const std::size_t part = std::min(need, wide);
      if (part) {
        fill -= part;
        if (!resolve(i, c.wide.data + kWindow + wide - part, part, fill)) return false;
        need -= part;
      }
      if (need) takeBytes(windows.get() + i * kWindow, kWindow);
    }
    if (need) std::memset(to, 0, need);  // before the stream's start
    return true;
  }

  Inflate& job;
  std::vector<std::size_t> path;
  std::vector<std::uint64_t> offsets;
  std::unique_ptr<std::uint8_t[]> windows;
};

}  // namespace

bool inflate(const unsigned char* data, std::size_t size, std::uint64_t maxLength,
             const Options& options,
             const std::function<unsigned char*(std::uint64_t length)>& destination,
             Result& result) {
  if (size == 0) return false;
  unsigned threads = options.threads;
  if (threads == 0) threads = processors::count();
  threads = std::min(threads, kMaxThreads);
  std::size_t chunkBytes = options.chunkBytes;
  // Two chunks a thread: a thread that meets slower data or loses its core
  // for a while holds the others up less.
  if (chunkBytes == 0)
    chunkBytes = threads == 1
                     ? size
                     : std::max(kSmallestDefaultChunk, (size + 2 * threads - 1) / (2 * threads));
  Inflate job(data, size, maxLength, chunkBytes);
  threads = unsigned(std::min<std::size_t>(threads, job.count));

  Join join(job);
  std::atomic<std::size_t> nextChunk{0}, nextPiece{0};
  std::atomic<bool> failed{false};
  bool planned = false;
  unsigned char* to = nullptr;
  std::vector<std::uint32_t> crcs;
  std::barrier<> sync{std::ptrdiff_t(threads)};
  auto work = [&](unsigned id) {
    for (std::size_t k; (k = nextChunk++) < job.count;) {
      job.decode(k);
    }
    sync.arrive_and_wait();
    if (id == 0) {
      try {
        planned = join.plan();
        if (planned) {
          crcs.resize(join.pieces());
          to = destination(join.total());
        }
      } catch (const std::bad_alloc&) {
        planned = false;
      }
    }
    sync.arrive_and_wait();
    if (!planned || !to) return;
    for (std::size_t i; (i = nextPiece++) < join.pieces();)
      if (!join.write(i, to, crcs[i])) failed = true;
  };
  std::vector<std::thread> helpers;
  for (unsigned id = 1; id < threads; ++id) {
    try {
      helpers.emplace_back(work, id);
    } catch (const std::system_error&) {
      // Fewer threads than planned: the ones running take over the work,
      // but the barrier counts every planned one, so stand in for the rest.
      for (unsigned missing = id; missing < threads; ++missing) sync.arrive_and_drop();
      break;
    }
  }
  work(0);
  for (std::thread& helper : helpers) helper.join();
  if (!planned || !to || failed) return false;

  result = Result{};
  result.length = join.total();
  result.crc = crcs[0];
  for (std::size_t i = 1; i < crcs.size(); ++i)
    result.crc = std::uint32_t(crc32_combine(result.crc, crcs[i], z_off_t(join.lengthOf(i))));
  const Chunk& last = join.chunkOf(join.pieces() - 1);
  result.consumed = std::size_t((last.endBit + 7) / 8);
  result.chunks = unsigned(join.pieces());
  std::size_t found = 0;
  for (std::size_t k = 1; k < job.count; ++k) found += job.chunks[k].start.found;
  result.falseStarts = unsigned(found - (join.pieces() - 1));
  return true;
}

}  // namespace parallel_inflate
