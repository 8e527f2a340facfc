// Inflating one raw deflate stream on several threads.
//
// The compressed bytes are cut into chunks of about the same size. Every
// chunk but the first begins at the first place at or after its own first
// byte where a block can start: a stored block (a byte-aligned length and its
// complement, the block after it plausible too) or a block with dynamic codes
// (a header whose three codes are all valid and complete). Blocks with the
// fixed codes look like too many other bit strings to be sought.
//
// Such a chunk does not know the 32 KiB that precede it, so it decodes into
// 16-bit symbols in which a copy from before its start leaves a marker naming
// the byte of that unknown window, and from the point where 32 KiB of its
// output hold no marker on it decodes plain bytes. Each chunk decodes up to
// the place where the next chunk began. When it passes that place without a
// block starting there, that start was a false one: the chunk carries on to
// the start after it, and the other chunk's work is dropped. Once every chunk
// is decoded, the markers are resolved from the bytes before each chunk, in
// order, and the pieces are put together.
//
// The decoder takes exactly what zlib's inflate takes and refuses what it
// refuses (codes that are over-subscribed or incomplete beyond a single
// one-bit code, length codes 286 and 287, distance codes 30 and 31, a copy
// from before the start of the stream, a stream that runs past its bytes),
// and a stream it takes inflates to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace parallel_inflate {

// Bytes after the end of the input that must be readable (of any value): the
// decoder reads input eight bytes at a time, and a little ahead.
constexpr std::size_t kInputPadding = 32;
// Threads an inflate uses at most.
constexpr unsigned kMaxThreads = 8;

struct Options {
  // Compressed bytes per chunk; 0 chooses from the stream's size and the
  // number of threads.
  std::size_t chunkBytes = 0;
  // 0: one per core, at most kMaxThreads.
  unsigned threads = 0;
};

struct Result {
  std::size_t consumed = 0;  // bytes of the stream, the one holding its last bit included
  std::uint64_t length = 0;  // bytes it inflates to
  std::uint32_t crc = 0;     // their CRC-32
  unsigned chunks = 0;       // chunks whose own decode went into the result
  unsigned falseStarts = 0;  // chunk starts that were found not to start a block
};

// Inflates the raw deflate stream at the start of the `size` bytes at `data`
// (anything after its final block is not looked at). `destination` is asked
// once for room for the whole result and answers where to put it (null:
// nowhere, and inflate answers false). Answers false when zlib would refuse
// the stream, when it does not end within the bytes, when it would inflate to
// more than `maxLength` bytes, or when memory runs out; whatever it wrote to
// the destination by then is of no use.
//
// It runs on min(threads, chunks) threads, the caller's among them, made for
// the call. At its peak it holds, besides the input and the destination,
// about as many bytes as the result in the chunks' own buffers (a little more
// for the 16-bit stretches), freed before it returns.
bool inflate(const unsigned char* data, std::size_t size, std::uint64_t maxLength,
             const Options& options,
             const std::function<unsigned char*(std::uint64_t length)>& destination,
             Result& result);

}  // namespace parallel_inflate
