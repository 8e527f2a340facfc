// How each pixel format of the device is laid out in memory and stored in
// OpenGL, and conversions of its pixels to 32-bit ARGB.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdint>

#include "platform/d3d9/D3D9.h"

namespace d3d9 {

struct FormatInfo {
  D3DFORMAT format;
  int bytesPerPixel;  // 0 for block-compressed formats
  int blockBytes;     // bytes per 4x4 block of a compressed format, else 0
  GLenum internalFormat, uploadFormat, uploadType;
  // Components as sampled: GL_RED..GL_ALPHA, GL_ZERO or GL_ONE for r, g, b, a.
  GLint swizzle[4];
  bool hasAlpha;
  bool depth, stencil;
};

// Null for a format the device does not support.
const FormatInfo* formatInfo(D3DFORMAT format);

bool isCompressed(D3DFORMAT format);
// Bytes per row of a level `width` pixels wide (a row of blocks when
// compressed), and rows of that pitch in a level `height` pixels high.
UINT levelPitch(D3DFORMAT format, UINT width);
UINT levelRows(D3DFORMAT format, UINT height);
// Levels of a full mipmap chain from `width` x `height` down to 1x1.
UINT fullMipChain(UINT width, UINT height);

// One pixel of an uncompressed colour format to ARGB and back.
uint32_t pixelToARGB(D3DFORMAT format, const uint8_t* pixel);
void pixelFromARGB(D3DFORMAT format, uint32_t argb, uint8_t* pixel);

}  // namespace d3d9
