// A device context: where drawing into a window goes. The dialog's windows
// keep their painted pixels (RGBA, rows top-down) until they are painted
// again; a context draws into those pixels.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32/Win32.h"

struct HDC__ {
  HWND window = nullptr;
  int width = 0, height = 0;
  std::vector<uint32_t>* pixels = nullptr;  // width * height, owned by the window
  bool* changed = nullptr;                  // set when something was drawn
};
typedef HDC__* HDC;

// Packs a colour the way the pixel buffers hold it (R in the lowest byte).
inline uint32_t packRGBA(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
  return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24;
}
