// What the graphics interface stand-in shares with the D3DX helpers (and
// tests): the FreeType face behind a device context's font.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

#include <string>

#include "platform/win32/Gdi.h"

namespace platform_internal {

// The face of the font selected into a live device context; null when the
// context is not live or holds no usable font.
FT_Face gdiSelectedFace(HDC dc);

}  // namespace platform_internal

namespace platform_test {

// The family name of the face a font was given ("" for a handle that is not
// a live font).
std::string gdiFontFamily(HFONT font);
// Live device contexts and fonts (the stock font not counted): tests check
// that every path hands back what it took.
int gdiLiveContexts();
int gdiLiveFonts();
// While set, CreateFontA finds no font for any request.
void gdiFailFontCreation(bool fail);

}  // namespace platform_test
