// The chunked, multi-threaded inflater against zlib's own inflate: the same
// verdict on every stream, and for the streams zlib takes the same bytes and
// the same end of the stream.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/ParallelInflate.h"

namespace {

namespace pi = parallel_inflate;

constexpr std::uint64_t kMaxLength = 8u << 20;

// What zlib's raw inflate makes of `stream`: whether it reaches the end of
// the final block within the bytes (and at most kMaxLength bytes), the
// bytes, and how many input bytes that took.
struct Inflated {
  bool ok = false;
  std::string bytes;
  std::size_t consumed = 0;
};

Inflated zlibInflate(const std::string& stream) {
  Inflated result;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return result;
  static std::vector<char> out(kMaxLength + 1);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = uInt(stream.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  const int status = inflate(&z, Z_FINISH);
  if (status == Z_STREAM_END && z.total_out <= kMaxLength) {
    result.ok = true;
    result.bytes.assign(out.data(), z.total_out);
    result.consumed = z.total_in;
  }
  inflateEnd(&z);
  return result;
}

struct Parallel : Inflated {
  pi::Result result;
};

Parallel parallelInflate(const std::string& stream, std::size_t chunkBytes, unsigned threads) {
  Parallel inflated;
  std::vector<unsigned char> input(stream.begin(), stream.end());
  input.resize(stream.size() + pi::kInputPadding, 0xA5);  // the padding is never taken as data
  std::string out;
  pi::Options options;
  options.chunkBytes = chunkBytes;
  options.threads = threads;
  inflated.ok = pi::inflate(
      input.data(), stream.size(), kMaxLength, options,
      [&out](std::uint64_t length) {
        out.assign(std::size_t(length), '\0');
        return reinterpret_cast<unsigned char*>(out.data());
      },
      inflated.result);
  if (inflated.ok) {
    inflated.bytes = out;
    inflated.consumed = inflated.result.consumed;
  }
  return inflated;
}

// Script-like text.
std::string text(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes;
  while (bytes.size() < size)
    bytes +=
        "value" + std::to_string(random() % 50) + " = " + std::to_string(random() % 999) + ";\n";
  bytes.resize(size);
  return bytes;
}

// Text, float-like numbers and noise, in runs of 1 to 8 KiB.
std::string mixedBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes;
  while (bytes.size() < size) {
    const std::size_t run = 1024 + random() % 7168;
    switch (random() % 3) {
      case 0:
        bytes += text(run, random());
        break;
      case 1:
        for (std::size_t k = 0; k < run; k += 4) {
          const float value = float(k % 1024) * 0.5f;
          bytes.append(reinterpret_cast<const char*>(&value), 4);
        }
        break;
      default:
        for (std::size_t k = 0; k < run; ++k) bytes += char(random());
    }
  }
  bytes.resize(size);
  return bytes;
}

// `bytes` as raw deflate data from zlib, `flushEvery` input bytes ended
// with a sync flush (an empty stored block) when not 0.
std::string zlibDeflate(const std::string& bytes, int level, int strategy, int memLevel = 8,
                        std::size_t flushEvery = 0) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, strategy), Z_OK);
  std::string out(deflateBound(&z, uLong(bytes.size())) + bytes.size() / 64 + 1024, '\0');
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  const std::size_t step = flushEvery ? flushEvery : bytes.size() + 1;
  for (std::size_t at = 0; at < bytes.size() || at == 0; at += step) {
    const std::size_t length = std::min(step, bytes.size() - at);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + at));
    z.avail_in = uInt(length);
    const bool last = at + length >= bytes.size();
    EXPECT_EQ(deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
    if (bytes.empty()) break;
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string libdeflateDeflate(const std::string& bytes, int level) {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
  std::string out(libdeflate_deflate_compress_bound(compressor, bytes.size()), '\0');
  out.resize(
      libdeflate_deflate_compress(compressor, bytes.data(), bytes.size(), out.data(), out.size()));
  libdeflate_free_compressor(compressor);
  return out;
}

std::string le16(unsigned value) { return {char(value & 0xFF), char((value >> 8) & 0xFF)}; }

// A stored block (not the final one) of `payload`, which must start at a
// byte boundary.
std::string storedBlock(const std::string& payload) {
  return std::string(1, '\0') + le16(unsigned(payload.size())) +
         le16(~unsigned(payload.size()) & 0xFFFF) + payload;
}

// Bytes that look like the start of a block, planted in stored blocks so
// that they lie at the first byte of the second and third chunk of
// `chunkBytes`: a dynamic block's header (taken from another stream, with
// the data that follows it there) and a stored block's length fields with a
// stored block after it. The real stream follows.
std::string plantedStream(std::size_t chunkBytes, const std::string& rest) {
  std::string header = zlibDeflate(text(40000, 3), 6, Z_DEFAULT_STRATEGY, 8, 20000);
  header.resize(std::min<std::size_t>(header.size(), chunkBytes - 16));
  // Filler stored block, then one whose payload starts at chunkBytes.
  std::string stream = storedBlock(std::string(chunkBytes - 10, 'f'));
  std::string payload = header;
  // From where the payload starts, the fake stored block's length field
  // at 2 * chunkBytes: a zero byte before it, 8 bytes, an empty stored block.
  const std::size_t fakeAt = 2 * chunkBytes - (stream.size() + 5);
  payload.resize(fakeAt - 1, 'g');
  payload += std::string(1, '\0') + le16(8) + le16(~8u & 0xFFFF) + "01234567" +
             std::string(1, '\0') + le16(0) + le16(0xFFFF);
  stream += storedBlock(payload);
  return stream + rest;
}

// A raw stream of fixed codes: literals, then copies at distance 32768 and
// 32767 (zlib's compressor never reaches that far), the end of block.
class FixedWriter {
 public:
  void bits(unsigned value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) put((value >> i) & 1);
  }
  // Huffman codes go most significant bit first.
  void code(unsigned value, unsigned count) {
    for (unsigned i = count; i-- > 0;) put((value >> i) & 1);
  }
  void literal(unsigned byte) {
    if (byte < 144) {
      code(0x30 + byte, 8);
    } else {
      code(0x190 + byte - 144, 9);
    }
  }
  // Length 258 (code 285) at `distance` 16385..32768 (codes 28 and 29, 13
  // extra bits).
  void copy258(unsigned distance) {
    code(0xC0 + 285 - 280, 8);
    const unsigned base = distance >= 24577 ? 24577 : 16385;
    code(distance >= 24577 ? 29 : 28, 5);
    bits(distance - base, 13);
  }
  // A stored block of `payload`, not the final one.
  void stored(const std::string& payload) {
    bits(0, 3);
    if (used) {
      bytes += char(current);
      current = 0;
      used = 0;
    }
    bytes += le16(unsigned(payload.size())) + le16(~unsigned(payload.size()) & 0xFFFF) + payload;
  }
  std::size_t size() const { return bytes.size(); }
  void endOfBlock() { code(0, 7); }
  std::string finish() {
    if (used) bytes += char(current);
    used = 0;
    current = 0;
    return bytes;
  }

 private:
  void put(unsigned bit) {
    current |= bit << used;
    if (++used == 8) {
      bytes += char(current);
      current = 0;
      used = 0;
    }
  }
  std::string bytes;
  unsigned current = 0, used = 0;
};

// Text whose lines are often copies of the text 32,400 to 32,768 bytes
// back: copies from the far end of a chunk's window, after the copies that
// reach back before the chunk have died out.
std::string farRepeats(std::size_t size) {
  std::mt19937 random(9);
  std::string bytes = text(40000, 10);
  while (bytes.size() < size) {
    if (random() % 5 < 2) {
      bytes += bytes.substr(bytes.size() - 32400 - random() % 369, 40);
    } else {
      bytes += text(40, random());
    }
  }
  return bytes;
}

std::string farCopies() {
  FixedWriter writer;
  writer.bits(1, 1);  // final
  writer.bits(1, 2);  // fixed codes
  std::mt19937 random(8);
  for (unsigned i = 0; i < 32768; ++i) writer.literal(random() & 0xFF);
  for (unsigned i = 0; i < 200; ++i) writer.copy258(i % 2 ? 32768 : 32767);
  writer.endOfBlock();
  return writer.finish();
}

// The bytes that a chunk's decode has to keep as markers: a chunk starts at
// a stored block, copies bytes from before its start, then 32,600 bytes of
// its own, then copies those copied bytes from 32,768 back, and once more
// after another 32,600 bytes. A decode that took its window for known too
// early, or lost track of the markers it copied, delivers other bytes.
struct MarkerStream {
  std::string stream;
  std::size_t secondChunk = 0;  // where the second chunk's stored block has its length
};

MarkerStream markersCopiedOn(bool literalBytes) {
  std::mt19937 random(11);
  auto noise = [&random](std::size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = char(random());
    return bytes;
  };
  FixedWriter writer;
  // The chunk's own bytes in a stored block, or as literals and a copy of
  // some of them (a copy of known bytes is where a decode may find its
  // window known).
  auto own = [&](std::size_t n) {
    if (!literalBytes) return writer.stored(noise(n));
    writer.bits(0, 1);
    writer.bits(1, 2);
    for (unsigned char c : noise(n - 258)) writer.literal(c);
    writer.copy258(16385);
    writer.endOfBlock();
  };
  writer.stored(noise(40000));
  MarkerStream result;
  result.secondChunk = writer.size() + 1;
  writer.stored(noise(10));
  writer.stored("");
  writer.bits(0, 1);
  writer.bits(1, 2);  // fixed codes: copies from before the second chunk
  writer.copy258(20000);
  writer.copy258(20000);
  writer.endOfBlock();
  own(32600);
  writer.bits(0, 1);
  writer.bits(1, 2);
  writer.copy258(32768);  // from the copies above, now markers
  writer.endOfBlock();
  own(32600);
  writer.bits(1, 1);
  writer.bits(1, 2);
  writer.copy258(32768);  // from the copy just above
  writer.endOfBlock();
  result.stream = writer.finish();
  return result;
}

void expectSame(const Inflated& expected, const Parallel& got, const std::string& label) {
  ASSERT_EQ(got.ok, expected.ok) << label;
  if (!expected.ok) return;
  EXPECT_EQ(got.consumed, expected.consumed) << label;
  ASSERT_EQ(got.bytes.size(), expected.bytes.size()) << label;
  EXPECT_TRUE(got.bytes == expected.bytes) << label;
  EXPECT_EQ(got.result.length, expected.bytes.size()) << label;
  EXPECT_EQ(got.result.crc,
            std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(expected.bytes.data()),
                                uInt(expected.bytes.size()))))
      << label;
}

// Every kind of stream the usual compressors make, cut into many chunks:
// blocks of every kind, copies across chunk boundaries at up to the longest
// distance, blocks that span several chunks, and places that look like block
// starts but are not.
TEST(ParallelInflate, MatchesZlibOnEveryKindOfStream) {
  const std::string data = mixedBytes(320 * 1024, 1);
  std::string periodic = mixedBytes(32768, 2);
  for (int i = 0; i < 5; ++i) periodic += periodic.substr(0, 32768);
  const struct {
    const char* label;
    std::string stream;
    bool seekable;  // its chunks can find block starts
  } streams[] = {
      {"zlib level 1", zlibDeflate(data, 1, Z_DEFAULT_STRATEGY), true},
      {"zlib level 6", zlibDeflate(data, 6, Z_DEFAULT_STRATEGY), true},
      {"zlib level 9", zlibDeflate(data, 9, Z_DEFAULT_STRATEGY), true},
      {"zlib filtered", zlibDeflate(data, 6, Z_FILTERED), true},
      {"zlib Huffman only", zlibDeflate(data, 6, Z_HUFFMAN_ONLY), true},
      {"zlib run lengths", zlibDeflate(data, 6, Z_RLE), true},
      {"zlib fixed codes", zlibDeflate(data, 6, Z_FIXED), false},
      {"zlib stored only", zlibDeflate(data, 0, Z_DEFAULT_STRATEGY), true},
      {"zlib sync flushes", zlibDeflate(data, 6, Z_DEFAULT_STRATEGY, 8, 3000), true},
      {"libdeflate level 1", libdeflateDeflate(data, 1), true},
      {"libdeflate level 6", libdeflateDeflate(data, 6), true},
      {"libdeflate level 12", libdeflateDeflate(data, 12), true},
      {"copies 32768 back, libdeflate", libdeflateDeflate(periodic, 12), true},
      {"copies 32768 back, fixed codes", farCopies(), false},
      {"copies of text far back", libdeflateDeflate(farRepeats(400 * 1024), 1), true},
      {"long Huffman-only blocks", zlibDeflate(data, 6, Z_HUFFMAN_ONLY, 9), true},
      {"planted block starts", plantedStream(4096, zlibDeflate(data, 6, Z_DEFAULT_STRATEGY)), true},
      {"empty", zlibDeflate("", 6, Z_DEFAULT_STRATEGY), false},
  };
  const struct {
    std::size_t chunkBytes;
    unsigned threads;
  } splits[] = {{4096, 4}, {1500, 3}, {65536, 8}, {0, 0}};
  for (const auto& s : streams) {
    // What follows a stream (a gzip trailer, say) is not part of it.
    const std::string stream = s.stream + "trailer!";
    const Inflated expected = zlibInflate(stream);
    ASSERT_TRUE(expected.ok) << s.label;
    for (const auto& split : splits) {
      const std::string label =
          std::string(s.label) + ", chunks of " + std::to_string(split.chunkBytes);
      const Parallel got = parallelInflate(stream, split.chunkBytes, split.threads);
      expectSame(expected, got, label);
      if (s.seekable && split.chunkBytes == 4096) {
        EXPECT_GT(got.result.chunks, 2u) << label;
      }
    }
  }
}

TEST(ParallelInflate, CopiesOfUnknownBytesStayUnknownForAWholeWindow) {
  for (bool literalBytes : {false, true}) {
    const MarkerStream marked = markersCopiedOn(literalBytes);
    const Inflated expected = zlibInflate(marked.stream);
    ASSERT_TRUE(expected.ok);
    const Parallel got = parallelInflate(marked.stream, marked.secondChunk, 2);
    expectSame(expected, got, literalBytes ? "literal bytes" : "stored bytes");
    EXPECT_EQ(got.result.chunks, 2u) << literalBytes;
  }
}

// The planted headers are found and taken for starts, and then dropped when
// the decode before them passes over them.
TEST(ParallelInflate, FalseBlockStartsAreDroppedForTheTrueDecode) {
  const std::string data = mixedBytes(96 * 1024, 4);
  const std::string stream = plantedStream(4096, zlibDeflate(data, 6, Z_DEFAULT_STRATEGY));
  const Inflated expected = zlibInflate(stream);
  ASSERT_TRUE(expected.ok);
  for (unsigned threads : {1u, 2u, 8u}) {
    const Parallel got = parallelInflate(stream, 4096, threads);
    expectSame(expected, got, "threads " + std::to_string(threads));
    EXPECT_GE(got.result.falseStarts, 2u) << threads;
    EXPECT_GE(got.result.chunks, 2u) << threads;
  }
}

// A stream cut at every length and with every byte altered: the chunked
// inflate takes exactly the variants zlib takes, and delivers what zlib
// delivers. Damage inside a chunk's own start, in its window copies, in
// stored lengths and in the final block all get hit.
TEST(ParallelInflate, TakesExactlyWhatZlibTakesAfterAnyCutOrAlteredByte) {
  std::string noise(300, '\0');
  std::mt19937 random(5);
  for (char& c : noise) c = char(random());
  std::string data = text(400, 5) + noise + text(200, 6);
  data += data.substr(50, 500);  // copies from before the later chunks
  const std::string streams[] = {
      zlibDeflate(data, 6, Z_DEFAULT_STRATEGY, 8, 150),
      zlibDeflate(data, 9, Z_HUFFMAN_ONLY, 8, 250),
  };
  int taken = 0, refused = 0;
  for (const std::string& stream : streams) {
    EXPECT_GT(parallelInflate(stream, 64, 2).result.chunks, 2u);
    std::vector<std::string> variants;
    for (std::size_t cut = 0; cut < stream.size(); ++cut) variants.push_back(stream.substr(0, cut));
    for (std::size_t at = 0; at < stream.size(); ++at) {
      for (unsigned char flip : {0x01, 0x80}) {
        variants.push_back(stream);
        variants.back()[at] = char(variants.back()[at] ^ flip);
      }
    }
    for (std::size_t v = 0; v < variants.size(); ++v) {
      const Inflated expected = zlibInflate(variants[v]);
      ++(expected.ok ? taken : refused);
      expectSame(expected, parallelInflate(variants[v], 64, 2), "variant " + std::to_string(v));
    }
  }
  EXPECT_GT(taken, 0);
  EXPECT_GT(refused, 0);
}

// Limits: a stream that inflates to more than the caller allows, and a
// destination that refuses, both fail without result.
TEST(ParallelInflate, LimitsAndRefusedDestinationFail) {
  const std::string data(1u << 20, 'z');
  const std::string stream = zlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> input(stream.begin(), stream.end());
  input.resize(stream.size() + pi::kInputPadding);
  pi::Options options;
  options.chunkBytes = 64;
  options.threads = 4;
  pi::Result result;
  std::string out;
  auto room = [&out](std::uint64_t length) {
    out.assign(std::size_t(length), '\0');
    return reinterpret_cast<unsigned char*>(out.data());
  };
  EXPECT_FALSE(pi::inflate(input.data(), stream.size(), data.size() - 1, options, room, result));
  EXPECT_FALSE(pi::inflate(
      input.data(), stream.size(), data.size(), options,
      [](std::uint64_t) -> unsigned char* { return nullptr; }, result));
  ASSERT_TRUE(pi::inflate(input.data(), stream.size(), data.size(), options, room, result));
  EXPECT_TRUE(out == data);
}

}  // namespace
