// Tiny image files written by the tests themselves: BMP, TGA, PNG and DDS.
// Pixels are given as ARGB words, top row first.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace image_files {

inline void put16(std::string& out, uint32_t v) {
  out += char(v & 0xff);
  out += char((v >> 8) & 0xff);
}
inline void put32(std::string& out, uint32_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}
inline void put32be(std::string& out, uint32_t v) {
  out += char(v >> 24);
  out += char((v >> 16) & 0xff);
  out += char((v >> 8) & 0xff);
  out += char(v & 0xff);
}

// 24-bit BMP, rows stored bottom up and padded to 4 bytes.
inline std::string bmp(int width, int height, const std::vector<uint32_t>& argb) {
  int rowBytes = (width * 3 + 3) & ~3;
  std::string out = "BM";
  put32(out, uint32_t(54 + rowBytes * height));
  put32(out, 0);
  put32(out, 54);
  put32(out, 40);
  put32(out, uint32_t(width));
  put32(out, uint32_t(height));
  put16(out, 1);
  put16(out, 24);
  for (int i = 0; i < 6; ++i) put32(out, 0);
  for (int y = height - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < width; ++x) {
      uint32_t p = argb[size_t(y * width + x)];
      row += char(p & 0xff);
      row += char((p >> 8) & 0xff);
      row += char((p >> 16) & 0xff);
    }
    row.resize(size_t(rowBytes), '\0');
    out += row;
  }
  return out;
}

// A BMP file of palette indices with a 40-byte header: `compression` 1 for
// run-length coded 8-bit indices, 2 for 4-bit ones; `data` as stored.
inline std::string bmpIndexed(int width, int height, int bits, uint32_t compression,
                              const std::vector<uint32_t>& paletteARGB, const std::string& data) {
  const uint32_t offset = uint32_t(54 + 4 * paletteARGB.size());
  std::string out = "BM";
  put32(out, uint32_t(offset + data.size()));
  put32(out, 0);
  put32(out, offset);
  put32(out, 40);
  put32(out, uint32_t(width));
  put32(out, uint32_t(height));
  put16(out, 1);
  put16(out, uint32_t(bits));
  put32(out, compression);
  put32(out, uint32_t(data.size()));
  put32(out, 0);
  put32(out, 0);
  put32(out, uint32_t(paletteARGB.size()));
  put32(out, 0);
  for (uint32_t colour : paletteARGB) put32(out, colour & 0xffffff);  // B, G, R, 0
  return out + data;
}

// 32-bit BMP with a 56-byte header that ends with its red, green, blue and
// alpha masks, rows bottom up.
inline std::string bmpMasks56(int width, int height, const std::vector<uint32_t>& argb) {
  std::string out = "BM";
  put32(out, uint32_t(70 + 4 * width * height));
  put32(out, 0);
  put32(out, 70);
  put32(out, 56);
  put32(out, uint32_t(width));
  put32(out, uint32_t(height));
  put16(out, 1);
  put16(out, 32);
  put32(out, 3);  // bit fields
  put32(out, uint32_t(4 * width * height));
  for (int i = 0; i < 4; ++i) put32(out, 0);
  put32(out, 0xff0000);
  put32(out, 0xff00);
  put32(out, 0xff);
  put32(out, 0xff000000u);
  for (int y = height - 1; y >= 0; --y)
    for (int x = 0; x < width; ++x) put32(out, argb[size_t(y * width + x)]);
  return out;
}

// A binary PNM file: `header` from its magic ("P5" grey, "P6" colour) to its
// largest sample value, then one white-space character and the samples,
// two bytes each (high first) when that value is over 255.
inline std::string pnm(const std::string& header, uint32_t maxValue,
                       const std::vector<uint32_t>& samples) {
  std::string out = header + "\n";
  for (uint32_t sample : samples) {
    if (maxValue > 255) out += char(sample >> 8);
    out += char(sample & 0xff);
  }
  return out;
}

// Uncompressed 32-bit TGA with alpha; `topFirst` sets the top origin bit,
// otherwise the rows are stored bottom up; `rightFirst` sets the right
// origin bit and stores each row right to left.
inline std::string tga(int width, int height, const std::vector<uint32_t>& argb, bool topFirst,
                       bool rightFirst = false) {
  std::string out(12, '\0');
  out[2] = 2;  // true colour, uncompressed
  put16(out, uint32_t(width));
  put16(out, uint32_t(height));
  out += char(32);
  out += char(8 | (topFirst ? 0x20 : 0) | (rightFirst ? 0x10 : 0));
  for (int i = 0; i < height; ++i) {
    int y = topFirst ? i : height - 1 - i;
    for (int j = 0; j < width; ++j) {
      int x = rightFirst ? width - 1 - j : j;
      put32(out, argb[size_t(y * width + x)]);  // B, G, R, A
    }
  }
  return out;
}

inline void pngChunk(std::string& out, const char* type, const std::string& data) {
  put32be(out, uint32_t(data.size()));
  std::string body = std::string(type, 4) + data;
  out += body;
  put32be(out, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

// 8-bit RGBA PNG.
inline std::string png(int width, int height, const std::vector<uint32_t>& argb) {
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw += '\0';  // no filter
    for (int x = 0; x < width; ++x) {
      uint32_t p = argb[size_t(y * width + x)];
      raw += char((p >> 16) & 0xff);
      raw += char((p >> 8) & 0xff);
      raw += char(p & 0xff);
      raw += char(p >> 24);
    }
  }
  uLongf packedSize = compressBound(uLong(raw.size()));
  std::string packed(packedSize, '\0');
  compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
           reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()));
  packed.resize(packedSize);
  std::string header;
  put32be(header, uint32_t(width));
  put32be(header, uint32_t(height));
  header += char(8);  // bits per channel
  header += char(6);  // RGBA
  header += std::string(3, '\0');
  std::string out = "\x89PNG\r\n\x1a\n";
  pngChunk(out, "IHDR", header);
  pngChunk(out, "IDAT", packed);
  pngChunk(out, "IEND", "");
  return out;
}

// The pixel format of a DDS file.
struct DDSFormat {
  uint32_t flags, fourCC, bits, r, g, b, a;
};
constexpr uint32_t kFourCC = 0x4, kRGB = 0x40, kAlphaPixels = 0x1;
inline DDSFormat ddsDXT(char n) {
  return {kFourCC, uint32_t('D') | uint32_t('X') << 8 | uint32_t('T') << 16 | uint32_t(n) << 24,
          0,       0,
          0,       0,
          0};
}
inline DDSFormat ddsARGB() {
  return {kRGB | kAlphaPixels, 0, 32, 0xff0000, 0xff00, 0xff, 0xff000000};
}
inline DDSFormat ddsR5G6B5() { return {kRGB, 0, 16, 0xf800, 0x7e0, 0x1f, 0}; }
// 24-bit texels, stored B, G, R.
inline DDSFormat ddsR8G8B8() { return {kRGB, 0, 24, 0xff0000, 0xff00, 0xff, 0}; }

// A DDS file: header and `payload` (the levels of each face, as stored).
inline std::string dds(uint32_t width, uint32_t height, uint32_t mipCount, const DDSFormat& f,
                       const std::string& payload, bool cube = false) {
  std::string out = "DDS ";
  put32(out, 124);
  put32(out, 0x1007 | (mipCount ? 0x20000 : 0));
  put32(out, height);
  put32(out, width);
  put32(out, 0);
  put32(out, 0);
  put32(out, mipCount);
  for (int i = 0; i < 11; ++i) put32(out, 0);
  put32(out, 32);
  put32(out, f.flags);
  put32(out, f.fourCC);
  put32(out, f.bits);
  put32(out, f.r);
  put32(out, f.g);
  put32(out, f.b);
  put32(out, f.a);
  put32(out, 0x1000 | (cube ? 0x8 : 0) | (mipCount > 1 ? 0x400008 : 0));
  put32(out, cube ? 0xFE00 : 0);
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  return out + payload;
}

// A DDS file with the extended header of later tools: the four-character
// code "DX10", then a DXGI format code, a dimension (3 for 2D), flags (4 for
// a cube) and an array size.
inline std::string ddsDX10(uint32_t width, uint32_t height, uint32_t mipCount, uint32_t dxgiFormat,
                           const std::string& payload, uint32_t dimension = 3, uint32_t misc = 0,
                           uint32_t arraySize = 1) {
  std::string extended;
  put32(extended, dxgiFormat);
  put32(extended, dimension);
  put32(extended, misc);
  put32(extended, arraySize);
  put32(extended, 0);
  return dds(width, height, mipCount, {kFourCC, 0x30315844, 0, 0, 0, 0, 0}, extended + payload);
}

// One DXT1 block of a single 565 colour (both end points that colour, every
// index 0).
inline std::string dxt1Block(uint16_t colour565) {
  std::string out;
  put16(out, colour565);
  put16(out, colour565);
  put32(out, 0);
  return out;
}

}  // namespace image_files
