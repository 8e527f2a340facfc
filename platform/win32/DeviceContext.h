// A device context: where drawing into a window goes, and the font selected
// for text. The dialog's windows keep their painted pixels (RGBA, rows
// top-down) until they are painted again; a context taken on one of them
// draws into those pixels. A context on any other window has no pixels and
// serves only to lend a font (see Gdi.h).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32/Win32.h"

struct HFONT__;

struct HDC__ {
  HWND window = nullptr;
  int width = 0, height = 0;
  std::vector<uint32_t>* pixels = nullptr;  // width * height, owned by the window
  bool* changed = nullptr;                  // set when something was drawn
  HFONT__* font = nullptr;                  // the selected font (Gdi.cpp)
};
typedef HDC__* HDC;

namespace dialog_internal {
// Points a new context at the pixels of the dialog window it is taken on;
// false (and the context left without pixels) for any other window.
bool lendSurface(HWND window, HDC__* dc);
}  // namespace dialog_internal

// Packs a colour the way the pixel buffers hold it (R in the lowest byte).
inline uint32_t packRGBA(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
  return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24;
}
