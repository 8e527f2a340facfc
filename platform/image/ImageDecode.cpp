// The decoder is stb_image, compiled into this file rather than taken from
// the shared library: the library's build stops the process when one of the
// decoder's internal checks fails, and some damaged JPEG Huffman codes fail
// one. Here a failed check only marks the image as damaged, and the image
// is refused. (Where that check sits, the decoder has already tested the
// code against its table, so carrying on to the refusal touches nothing
// outside the image's buffers.) Its memory comes zeroed: a damaged file that
// uses a Huffman table it never defined decodes the same way every time,
// not from what the memory held before.
#include "platform/image/ImageDecode.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {
thread_local bool gCheckFailed = false;
}  // namespace

#define STBI_ASSERT(x) ((x) ? (void)0 : (void)(gCheckFailed = true))
// No texture the device takes has a side over 8192 texels, and decoding a
// larger image only to refuse it can take gigabytes for a header of a few
// bytes: the decoder refuses such images from their header.
#define STBI_MAX_DIMENSIONS 8192
#define STBI_MALLOC(size) std::calloc(1, size)
#define STBI_REALLOC(block, size) std::realloc(block, size)
#define STBI_FREE(block) std::free(block)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wtype-limits"
#include <stb_image.h>
#pragma GCC diagnostic pop

namespace {

// Whether the decoder reads these bytes as a TGA file: it tries that format
// last, after all the others have refused the bytes.
bool decodedAsTGA(const unsigned char* bytes, int size) {
  stbi__context s;
  stbi__start_mem(&s, bytes, size);
  if (stbi__jpeg_test(&s) || stbi__png_test(&s) || stbi__bmp_test(&s) || stbi__gif_test(&s) ||
      stbi__psd_test(&s) || stbi__pic_test(&s) || stbi__pnm_test(&s) || stbi__hdr_test(&s))
    return false;
  return stbi__tga_test(&s) != 0;
}

// The decoder honours a TGA file's bit for rows stored bottom up but not
// the one for texels stored right to left: such rows are turned here.
void mirrorTGARows(const unsigned char* bytes, int size, unsigned char* texels, int width,
                   int height) {
  if (size < 18 || !(bytes[17] & 0x10) || !decodedAsTGA(bytes, size)) return;
  for (int y = 0; y < height; ++y) {
    unsigned char* row = texels + size_t(y) * size_t(width) * 4;
    for (int left = 0, right = width - 1; left < right; ++left, --right)
      for (int c = 0; c < 4; ++c) std::swap(row[size_t(left) * 4 + c], row[size_t(right) * 4 + c]);
  }
}

uint32_t le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Whether a PNG file has a chunk, before its end chunk, that claims more
// bytes than the file holds. The decoder grows its buffer for the image
// data to a data chunk's stated length before it reads the chunk, so a file
// of a few dozen bytes could ask for a gigabyte only to be refused when the
// bytes run out; such a file is refused here from its chunk headers.
bool pngChunkOverruns(const unsigned char* bytes, int size) {
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (size < 8 || std::memcmp(bytes, kSignature, 8) != 0) return false;
  size_t at = 8;
  const size_t end = size_t(size);
  while (end - at >= 8) {
    const uint32_t length = uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 |
                            uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
    if (std::memcmp(bytes + at + 4, "IEND", 4) == 0) return false;
    at += 8;
    if (length > end - at) return true;
    at += length;
    at += std::min<size_t>(4, end - at);  // the check value
  }
  return false;
}

// Whether the bytes are a BMP file of run-length coded 8-bit or 4-bit
// indices, which the decoder does not read.
bool isRunLengthBMP(const unsigned char* bytes, int size) {
  return size >= 54 && bytes[0] == 'B' && bytes[1] == 'M' && le32(bytes + 14) >= 40 &&
         bytes[29] == 0 &&
         ((le32(bytes + 30) == 1 && bytes[28] == 8) || (le32(bytes + 30) == 2 && bytes[28] == 4));
}

// Decodes a run-length coded BMP: runs of one index (two alternating ones
// for 4 bits), escapes for the end of a row, the end of the image, a jump
// ahead, and literal stretches padded to an even byte count. Texels a jump
// passes over, or that the runs never reach, stay opaque black. Empty for a
// header or palette offset past the file's end, or a size the decoder would
// refuse.
DecodedImage decodeRunLengthBMP(const unsigned char* bytes, int size, int* width, int* height) {
  const uint32_t dataOffset = le32(bytes + 10), headerSize = le32(bytes + 14);
  const int32_t w = int32_t(le32(bytes + 18)), h = int32_t(le32(bytes + 22));
  const bool fourBits = bytes[28] == 4;
  // Coded rows are stored bottom up: the format has no coded image with a
  // negative height.
  if (w <= 0 || h <= 0 || w > STBI_MAX_DIMENSIONS || h > STBI_MAX_DIMENSIONS) return DecodedImage();
  const int rows = h;
  uint32_t colours = le32(bytes + 46);
  const uint32_t maxColours = fourBits ? 16 : 256;
  if (colours == 0 || colours > maxColours) colours = maxColours;
  const uint64_t paletteStart = 14 + uint64_t(headerSize);
  if (paletteStart > uint64_t(size) || dataOffset > uint32_t(size)) return DecodedImage();
  // Indices past the palette (or a palette the file cuts short) are black.
  unsigned char palette[256][4] = {};
  for (uint32_t i = 0; i < colours && paletteStart + 4 * i + 4 <= uint64_t(size); ++i) {
    const unsigned char* entry = bytes + paletteStart + 4 * i;
    palette[i][0] = entry[2];
    palette[i][1] = entry[1];
    palette[i][2] = entry[0];
  }
  for (auto& entry : palette) entry[3] = 255;

  const size_t texelCount = size_t(w) * size_t(rows);
  auto* texels = static_cast<unsigned char*>(STBI_MALLOC(texelCount * 4));
  if (!texels) return DecodedImage();
  DecodedImage image(texels);
  for (size_t i = 0; i < texelCount; ++i) texels[i * 4 + 3] = 255;
  int x = 0, y = 0;  // y counts rows in the file's order
  auto put = [&](unsigned index) {
    if (x < w && y < rows) {
      std::memcpy(texels + (size_t(rows - 1 - y) * size_t(w) + size_t(x)) * 4,
                  palette[index & 0xff], 4);
    }
    ++x;
  };
  const unsigned char* p = bytes + dataOffset;
  const unsigned char* end = bytes + size;
  while (end - p >= 2 && y < rows) {
    const unsigned count = p[0], value = p[1];
    p += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count && x < w; ++i)
        put(fourBits ? (i % 2 ? value & 15 : value >> 4) : value);
      continue;
    }
    if (value == 0) {  // end of the row
      x = 0;
      ++y;
    } else if (value == 1) {  // end of the image
      break;
    } else if (value == 2) {  // jump right and up
      if (end - p < 2) break;
      x = std::min(x + int(p[0]), w);
      y += p[1];
      p += 2;
    } else {  // `value` literal indices
      const size_t literalBytes = fourBits ? (value + 1) / 2 : value;
      const size_t padded = (literalBytes + 1) & ~size_t(1);
      if (size_t(end - p) < literalBytes) break;
      for (unsigned i = 0; i < value && x < w; ++i)
        put(fourBits ? (i % 2 ? p[i / 2] & 15 : p[i / 2] >> 4) : p[i]);
      p += std::min(padded, size_t(end - p));
    }
  }
  *width = w;
  *height = rows;
  return image;
}

// A BMP file whose 56-byte header ends with its four channel masks (as some
// image editors write it) loses those masks in the decoder, which then
// looks for them after the header. The same file with the header widened to
// the 108-byte layout, whose masks sit at the same place, reads as written;
// empty for any other file.
std::vector<unsigned char> widenedBMPHeader(const unsigned char* bytes, int size) {
  constexpr uint32_t kNarrow = 56, kWide = 108, kFileHeader = 14;
  if (size < int(kFileHeader + kNarrow) || bytes[0] != 'B' || bytes[1] != 'M' ||
      le32(bytes + 14) != kNarrow || le32(bytes + 30) != 3 ||
      le32(bytes + 10) < kFileHeader + kNarrow || le32(bytes + 10) > uint32_t(size) ||
      size > INT_MAX - int(kWide - kNarrow))
    return {};
  std::vector<unsigned char> wide(bytes, bytes + kFileHeader + kNarrow);
  wide.resize(kFileHeader + kWide, 0);
  wide.insert(wide.end(), bytes + kFileHeader + kNarrow, bytes + size);
  const uint32_t header = kWide, offset = le32(bytes + 10) + (kWide - kNarrow);
  std::memcpy(wide.data() + 14, &header, 4);
  std::memcpy(wide.data() + 10, &offset, 4);
  return wide;
}

// The next number of a PNM header, after white space and comments.
bool pnmNumber(const unsigned char*& p, const unsigned char* end, uint32_t& value) {
  for (;;) {
    while (p < end &&
           (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v'))
      ++p;
    if (p == end || *p != '#') break;
    while (p < end && *p != '\n' && *p != '\r') ++p;
  }
  if (p == end || *p < '0' || *p > '9') return false;
  uint64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p)
    if ((v = v * 10 + uint64_t(*p - '0')) > 0xFFFFFFFFu) return false;
  value = uint32_t(v);
  return true;
}

// A binary grey (P5) or colour (P6) PNM file whose largest sample is not
// 255: the decoder reads smaller ranges without scaling them and sizes its
// buffer wrongly for 16-bit samples. Its samples (two bytes, high first,
// past 255) are scaled here to 0..255, rounded. `handled` tells whether the
// bytes are such a file; the image is empty when one is damaged or cut
// short.
DecodedImage decodeScaledPNM(const unsigned char* bytes, int size, int* width, int* height,
                             int* channels, bool& handled) {
  handled = false;
  if (size < 3 || bytes[0] != 'P' || (bytes[1] != '5' && bytes[1] != '6')) return DecodedImage();
  const unsigned char* p = bytes + 2;
  const unsigned char* end = bytes + size;
  uint32_t w = 0, h = 0, maxValue = 0;
  if (!pnmNumber(p, end, w) || !pnmNumber(p, end, h) || !pnmNumber(p, end, maxValue) ||
      maxValue == 255)
    return DecodedImage();  // the decoder's own, or no header it could read either
  handled = true;
  if (p == end || w == 0 || h == 0 || w > STBI_MAX_DIMENSIONS || h > STBI_MAX_DIMENSIONS ||
      maxValue == 0 || maxValue > 65535)
    return DecodedImage();
  ++p;  // the one white-space character before the samples
  const int samplesPerTexel = bytes[1] == '5' ? 1 : 3;
  const size_t sampleBytes = maxValue > 255 ? 2 : 1;
  const size_t texelCount = size_t(w) * size_t(h);
  if (size_t(end - p) < texelCount * size_t(samplesPerTexel) * sampleBytes) return DecodedImage();
  auto* texels = static_cast<unsigned char*>(STBI_MALLOC(texelCount * 4));
  if (!texels) return DecodedImage();
  DecodedImage image(texels);
  for (size_t i = 0; i < texelCount; ++i) {
    unsigned char* out = texels + i * 4;
    for (int c = 0; c < samplesPerTexel; ++c, p += sampleBytes) {
      const uint32_t raw = sampleBytes == 2 ? uint32_t(p[0]) << 8 | p[1] : p[0];
      out[c] =
          static_cast<unsigned char>((std::min(raw, maxValue) * 255 + maxValue / 2) / maxValue);
    }
    if (samplesPerTexel == 1) out[1] = out[2] = out[0];
    out[3] = 255;
  }
  *width = int(w);
  *height = int(h);
  if (channels) *channels = samplesPerTexel;
  return image;
}

}  // namespace

void DecodedImageFree::operator()(unsigned char* texels) const { stbi_image_free(texels); }

DecodedImage decodeImage(const unsigned char* bytes, int size, int* width, int* height,
                         int* channels) {
  gCheckFailed = false;
  bool scaledPNM = false;
  DecodedImage pnm = decodeScaledPNM(bytes, size, width, height, channels, scaledPNM);
  if (scaledPNM) return pnm;
  if (isRunLengthBMP(bytes, size)) {
    if (channels) *channels = 3;
    return decodeRunLengthBMP(bytes, size, width, height);
  }
  if (pngChunkOverruns(bytes, size)) return DecodedImage();
  const std::vector<unsigned char> widened = widenedBMPHeader(bytes, size);
  if (!widened.empty()) {
    bytes = widened.data();
    size = int(widened.size());
  }
  DecodedImage texels(stbi_load_from_memory(bytes, size, width, height, channels, 4));
  if (gCheckFailed) texels.reset();
  if (texels) mirrorTGARows(bytes, size, texels.get(), *width, *height);
  return texels;
}
