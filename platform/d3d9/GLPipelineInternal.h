// Small conversions that the uniforms, samplers and raster state of the
// draw path share.
#pragma once

#include <cstring>

#include "platform/d3d9/D3D9.h"

namespace d3d9 {

inline void colourToFloats(D3DCOLOR c, float out[4]) {
  out[0] = float((c >> 16) & 0xff) / 255.0f;
  out[1] = float((c >> 8) & 0xff) / 255.0f;
  out[2] = float(c & 0xff) / 255.0f;
  out[3] = float(c >> 24) / 255.0f;
}

inline float asFloat(DWORD bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace d3d9
