#include "platform/d3d9/Formats.h"

#include <algorithm>
#include <cstring>

namespace d3d9 {

namespace {

#define SW_RGBA \
  { GL_RED, GL_GREEN, GL_BLUE, GL_ALPHA }
#define SW_RGB1 \
  { GL_RED, GL_GREEN, GL_BLUE, GL_ONE }

// Memory layouts are little-endian words as Direct3D describes them: in
// A8R8G8B8 the bytes are B, G, R, A.
const FormatInfo kFormats[] = {
    {D3DFMT_A8R8G8B8, 4, 0, GL_RGBA8, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, SW_RGBA, true, false,
     false},
    {D3DFMT_X8R8G8B8, 4, 0, GL_RGBA8, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, SW_RGB1, false, false,
     false},
    {D3DFMT_R5G6B5, 2, 0, GL_RGB565, GL_RGB, GL_UNSIGNED_SHORT_5_6_5, SW_RGB1, false, false, false},
    {D3DFMT_A1R5G5B5, 2, 0, GL_RGB5_A1, GL_BGRA, GL_UNSIGNED_SHORT_1_5_5_5_REV, SW_RGBA, true,
     false, false},
    {D3DFMT_X1R5G5B5, 2, 0, GL_RGB5_A1, GL_BGRA, GL_UNSIGNED_SHORT_1_5_5_5_REV, SW_RGB1, false,
     false, false},
    {D3DFMT_A4R4G4B4, 2, 0, GL_RGBA4, GL_BGRA, GL_UNSIGNED_SHORT_4_4_4_4_REV, SW_RGBA, true, false,
     false},
    {D3DFMT_X4R4G4B4, 2, 0, GL_RGBA4, GL_BGRA, GL_UNSIGNED_SHORT_4_4_4_4_REV, SW_RGB1, false, false,
     false},
    {D3DFMT_A8B8G8R8, 4, 0, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, SW_RGBA, true, false, false},
    {D3DFMT_X8B8G8R8, 4, 0, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, SW_RGB1, false, false, false},
    {D3DFMT_A8,
     1,
     0,
     GL_R8,
     GL_RED,
     GL_UNSIGNED_BYTE,
     {GL_ZERO, GL_ZERO, GL_ZERO, GL_RED},
     true,
     false,
     false},
    {D3DFMT_L8,
     1,
     0,
     GL_R8,
     GL_RED,
     GL_UNSIGNED_BYTE,
     {GL_RED, GL_RED, GL_RED, GL_ONE},
     false,
     false,
     false},
    {D3DFMT_A8L8,
     2,
     0,
     GL_RG8,
     GL_RG,
     GL_UNSIGNED_BYTE,
     {GL_RED, GL_RED, GL_RED, GL_GREEN},
     true,
     false,
     false},
    {D3DFMT_DXT1, 0, 8, GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 0, 0, SW_RGBA, true, false, false},
    {D3DFMT_DXT2, 0, 16, GL_COMPRESSED_RGBA_S3TC_DXT3_EXT, 0, 0, SW_RGBA, true, false, false},
    {D3DFMT_DXT3, 0, 16, GL_COMPRESSED_RGBA_S3TC_DXT3_EXT, 0, 0, SW_RGBA, true, false, false},
    {D3DFMT_DXT4, 0, 16, GL_COMPRESSED_RGBA_S3TC_DXT5_EXT, 0, 0, SW_RGBA, true, false, false},
    {D3DFMT_DXT5, 0, 16, GL_COMPRESSED_RGBA_S3TC_DXT5_EXT, 0, 0, SW_RGBA, true, false, false},
    {D3DFMT_D16, 2, 0, GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT, GL_UNSIGNED_SHORT, SW_RGBA, false,
     true, false},
    {D3DFMT_D16_LOCKABLE, 2, 0, GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT, GL_UNSIGNED_SHORT,
     SW_RGBA, false, true, false},
    {D3DFMT_D24X8, 4, 0, GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, SW_RGBA, false,
     true, false},
    {D3DFMT_D32, 4, 0, GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, SW_RGBA, false,
     true, false},
    {D3DFMT_D24S8, 4, 0, GL_DEPTH24_STENCIL8, GL_DEPTH_STENCIL, GL_UNSIGNED_INT_24_8, SW_RGBA,
     false, true, true},
};

uint32_t expand(uint32_t value, int bits) {
  // Replicates the high bits into the low ones, so full scale stays 255.
  uint32_t v = value << (8 - bits);
  return v | (v >> bits);
}

}  // namespace

const FormatInfo* formatInfo(D3DFORMAT format) {
  for (const auto& info : kFormats)
    if (info.format == format) return &info;
  return nullptr;
}

bool isCompressed(D3DFORMAT format) {
  const FormatInfo* info = formatInfo(format);
  return info && info->blockBytes > 0;
}

UINT levelPitch(D3DFORMAT format, UINT width) {
  const FormatInfo* info = formatInfo(format);
  if (!info) return 0;
  if (info->blockBytes) return ((width + 3) / 4) * UINT(info->blockBytes);
  return width * UINT(info->bytesPerPixel);
}

UINT levelRows(D3DFORMAT format, UINT height) {
  return isCompressed(format) ? (height + 3) / 4 : height;
}

UINT fullMipChain(UINT width, UINT height) {
  UINT levels = 1;
  while (width > 1 || height > 1) {
    width = std::max(1u, width / 2);
    height = std::max(1u, height / 2);
    ++levels;
  }
  return levels;
}

uint32_t pixelToARGB(D3DFORMAT format, const uint8_t* p) {
  const FormatInfo* info = formatInfo(format);
  if (!info || info->bytesPerPixel == 0 || info->depth) return 0;
  uint32_t w32 = 0;
  std::memcpy(&w32, p, size_t(info->bytesPerPixel));
  uint32_t w16 = w32 & 0xffff;
  switch (format) {
    case D3DFMT_A8R8G8B8:
      return w32;
    case D3DFMT_X8R8G8B8:
      return w32 | 0xff000000u;
    case D3DFMT_A8B8G8R8:
    case D3DFMT_X8B8G8R8: {
      uint32_t argb = (w32 & 0xff00ff00u) | ((w32 & 0xff) << 16) | ((w32 >> 16) & 0xff);
      return format == D3DFMT_X8B8G8R8 ? argb | 0xff000000u : argb;
    }
    case D3DFMT_R5G6B5:
      return 0xff000000u | expand((w16 >> 11) & 31, 5) << 16 | expand((w16 >> 5) & 63, 6) << 8 |
             expand(w16 & 31, 5);
    case D3DFMT_A1R5G5B5:
    case D3DFMT_X1R5G5B5: {
      uint32_t a = (format == D3DFMT_X1R5G5B5 || (w16 & 0x8000)) ? 0xffu : 0u;
      return a << 24 | expand((w16 >> 10) & 31, 5) << 16 | expand((w16 >> 5) & 31, 5) << 8 |
             expand(w16 & 31, 5);
    }
    case D3DFMT_A4R4G4B4:
    case D3DFMT_X4R4G4B4: {
      uint32_t a = format == D3DFMT_X4R4G4B4 ? 0xffu : expand((w16 >> 12) & 15, 4);
      return a << 24 | expand((w16 >> 8) & 15, 4) << 16 | expand((w16 >> 4) & 15, 4) << 8 |
             expand(w16 & 15, 4);
    }
    case D3DFMT_A8:
      return uint32_t(p[0]) << 24;
    case D3DFMT_L8:
      return 0xff000000u | p[0] * 0x010101u;
    case D3DFMT_A8L8:
      return uint32_t(p[1]) << 24 | p[0] * 0x010101u;
    default:
      return 0;
  }
}

void pixelFromARGB(D3DFORMAT format, uint32_t argb, uint8_t* p) {
  uint32_t a = argb >> 24, r = (argb >> 16) & 0xff, g = (argb >> 8) & 0xff, b = argb & 0xff;
  uint16_t w16 = 0;
  switch (format) {
    case D3DFMT_A8R8G8B8:
    case D3DFMT_X8R8G8B8:
      std::memcpy(p, &argb, 4);
      return;
    case D3DFMT_A8B8G8R8:
    case D3DFMT_X8B8G8R8:
      p[0] = uint8_t(r), p[1] = uint8_t(g), p[2] = uint8_t(b), p[3] = uint8_t(a);
      return;
    case D3DFMT_R5G6B5:
      w16 = uint16_t((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
      break;
    case D3DFMT_A1R5G5B5:
    case D3DFMT_X1R5G5B5:
      w16 = uint16_t((a >= 128 ? 0x8000 : 0) | (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
      break;
    case D3DFMT_A4R4G4B4:
    case D3DFMT_X4R4G4B4:
      w16 = uint16_t((a >> 4) << 12 | (r >> 4) << 8 | (g >> 4) << 4 | (b >> 4));
      break;
    case D3DFMT_A8:
      p[0] = uint8_t(a);
      return;
    case D3DFMT_L8:
      p[0] = uint8_t(r);
      return;
    case D3DFMT_A8L8:
      p[0] = uint8_t(r), p[1] = uint8_t(a);
      return;
    default:
      return;
  }
  std::memcpy(p, &w16, 2);
}

}  // namespace d3d9
