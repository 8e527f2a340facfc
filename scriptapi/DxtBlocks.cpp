#include "scriptapi/DxtBlocks.h"

#include <algorithm>
#include <cstring>

#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb_dxt.h>
#pragma GCC diagnostic pop

namespace {

// A 4 x 4 block of texels as the encoder takes them: red, green, blue and
// alpha bytes, row by row.
using Block = unsigned char[64];

constexpr int kHalfAlpha = 128;

void put16(unsigned char* out, unsigned value) {
  out[0] = (unsigned char)(value & 0xFF);
  out[1] = (unsigned char)(value >> 8);
}

void put32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = (unsigned char)(value >> (8 * i));
}

// The block at block column bx, row by; texels past the level's right or
// bottom edge repeat the last column or row.
void gather(const std::vector<uint32_t>& texels, unsigned width, unsigned height, unsigned bx,
            unsigned by, Block& block) {
  for (unsigned y = 0; y < 4; ++y)
    for (unsigned x = 0; x < 4; ++x) {
      const unsigned column = std::min(bx * 4 + x, width - 1);
      const unsigned row = std::min(by * 4 + y, height - 1);
      const uint32_t argb = texels[size_t(row) * width + column];
      unsigned char* texel = block + 4 * (4 * y + x);
      texel[0] = (unsigned char)(argb >> 16);
      texel[1] = (unsigned char)(argb >> 8);
      texel[2] = (unsigned char)argb;
      texel[3] = (unsigned char)(argb >> 24);
    }
}

void expand565(unsigned colour, int out[3]) {
  const int r = int(colour >> 11) & 31, g = int(colour >> 5) & 63, b = int(colour) & 31;
  out[0] = (r << 3) | (r >> 2);
  out[1] = (g << 2) | (g >> 4);
  out[2] = (b << 3) | (b >> 2);
}

// A DXT1 block in its three-colour mode (first end point not above the
// second): the opaque texels take the nearest of the two end points and
// their middle, the others index 3, transparent black.
void encodeDxt1Transparent(const Block& block, unsigned char* out) {
  int opaque = -1;
  for (int i = 0; i < 16 && opaque < 0; ++i)
    if (block[4 * i + 3] >= kHalfAlpha) opaque = i;
  if (opaque < 0) {
    put16(out, 0);
    put16(out + 2, 0);
    put32(out + 4, 0xFFFFFFFFu);
    return;
  }
  // The end points are fitted to the opaque texels alone.
  Block colours;
  for (int i = 0; i < 16; ++i) {
    const int from = block[4 * i + 3] >= kHalfAlpha ? i : opaque;
    std::memcpy(colours + 4 * i, block + 4 * from, 3);
    colours[4 * i + 3] = 255;
  }
  unsigned char fitted[8];
  stb_compress_dxt_block(fitted, colours, 0, STB_DXT_HIGHQUAL);
  const unsigned a = fitted[0] | unsigned(fitted[1]) << 8, b = fitted[2] | unsigned(fitted[3]) << 8;
  const unsigned low = std::min(a, b), high = std::max(a, b);
  int palette[3][3];
  expand565(low, palette[0]);
  expand565(high, palette[1]);
  for (int c = 0; c < 3; ++c) palette[2][c] = (palette[0][c] + palette[1][c]) / 2;
  uint32_t indices = 0;
  for (int i = 0; i < 16; ++i) {
    const unsigned char* texel = block + 4 * i;
    uint32_t index = 3;
    if (texel[3] >= kHalfAlpha) {
      int best = -1;
      for (uint32_t p = 0; p < 3; ++p) {
        int distance = 0;
        for (int c = 0; c < 3; ++c)
          distance += (texel[c] - palette[p][c]) * (texel[c] - palette[p][c]);
        if (best < 0 || distance < best) {
          best = distance;
          index = p;
        }
      }
    }
    indices |= index << (2 * i);
  }
  put16(out, low);
  put16(out + 2, high);
  put32(out + 4, indices);
}

void encodeBlock(D3DFORMAT format, const Block& block, unsigned char* out) {
  switch (format) {
    case D3DFMT_DXT1: {
      bool transparent = false;
      for (int i = 0; i < 16; ++i) transparent |= block[4 * i + 3] < kHalfAlpha;
      if (transparent)
        encodeDxt1Transparent(block, out);
      else
        stb_compress_dxt_block(out, block, 0, STB_DXT_HIGHQUAL);
      return;
    }
    case D3DFMT_DXT2:
    case D3DFMT_DXT3: {
      // Four bits of alpha per texel, rounded, then the colour block.
      for (int i = 0; i < 8; ++i) {
        const unsigned first = (block[4 * (2 * i) + 3] * 15u + 127u) / 255u;
        const unsigned second = (block[4 * (2 * i + 1) + 3] * 15u + 127u) / 255u;
        out[i] = (unsigned char)(first | second << 4);
      }
      stb_compress_dxt_block(out + 8, block, 0, STB_DXT_HIGHQUAL);
      return;
    }
    default:  // DXT4, DXT5: the alpha block, then the colour block
      stb_compress_dxt_block(out, block, 1, STB_DXT_HIGHQUAL);
      return;
  }
}

}  // namespace

bool isDxtFormat(D3DFORMAT format) {
  return format == D3DFMT_DXT1 || format == D3DFMT_DXT2 || format == D3DFMT_DXT3 ||
         format == D3DFMT_DXT4 || format == D3DFMT_DXT5;
}

bool encodeDxtLevel(D3DFORMAT format, unsigned width, unsigned height,
                    const std::vector<uint32_t>& texels, void* bits, int pitch) {
  if (!isDxtFormat(format)) return false;
  if (width == 0 || height == 0 || texels.size() < size_t(width) * height) return true;
  const size_t blockBytes = format == D3DFMT_DXT1 ? 8 : 16;
  for (unsigned by = 0; by < (height + 3) / 4; ++by) {
    unsigned char* row = static_cast<unsigned char*>(bits) + size_t(by) * size_t(pitch);
    for (unsigned bx = 0; bx < (width + 3) / 4; ++bx) {
      Block block;
      gather(texels, width, height, bx, by, block);
      encodeBlock(format, block, row + bx * blockBytes);
    }
  }
  return true;
}
