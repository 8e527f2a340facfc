// Device contexts and fonts over fontconfig and FreeType.
#include <fontconfig/fontconfig.h>

#include <cstring>
#include <string>
#include <unordered_set>

#include "platform/win32/DeviceContext.h"
#include "platform/win32/GdiInternal.h"

HFONT__::~HFONT__() {
  if (face) FT_Done_Face(face);
}

namespace {

std::unordered_set<HGDIOBJ__*> gLiveObjects;
std::unordered_set<HDC__*> gLiveContexts;
HFONT gStockFont = nullptr;
bool gStockFontTried = false;
bool gFailFontCreation = false;

FT_Library freetype() {
  // One library for the whole run, like the fonts of the system it stands
  // for; it is never torn down.
  static FT_Library library = [] {
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib) != 0) lib = nullptr;
    return lib;
  }();
  return library;
}

FcConfig* fontConfig() {
  static FcConfig* config = FcInitLoadConfigAndFonts();
  return config;
}

bool isTrueType(FcPattern* font) {
  FcChar8* format = nullptr;
  return FcPatternGetString(font, FC_FONTFORMAT, 0, &format) == FcResultMatch &&
         std::strcmp(reinterpret_cast<const char*>(format), "TrueType") == 0;
}

// Walks fontconfig's ranking for the request and opens the first scalable
// outline font that FreeType accepts.
FT_Face openBestFace(const char* faceName, int weight, bool italic, bool trueTypeOnly,
                     std::string& family) {
  FT_Library lib = freetype();
  FcConfig* config = fontConfig();
  if (!lib || !config) return nullptr;

  FcPattern* pattern = FcPatternCreate();
  if (!pattern) return nullptr;
  if (faceName && faceName[0])
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(faceName));
  FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(weight > 0 ? weight : FW_NORMAL));
  FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pattern, FC_OUTLINE, FcTrue);
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);

  FcResult result = FcResultNoMatch;
  FcFontSet* ranked = FcFontSort(config, pattern, FcTrue, nullptr, &result);
  FT_Face face = nullptr;
  for (int i = 0; ranked && i < ranked->nfont && !face; ++i) {
    FcPattern* font = ranked->fonts[i];
    FcBool outline = FcFalse;
    FcChar8* file = nullptr;
    int index = 0;
    if (FcPatternGetBool(font, FC_OUTLINE, 0, &outline) != FcResultMatch || !outline) continue;
    if (trueTypeOnly && !isTrueType(font)) continue;
    if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch) continue;
    FcPatternGetInteger(font, FC_INDEX, 0, &index);
    FT_Face candidate = nullptr;
    if (FT_New_Face(lib, reinterpret_cast<const char*>(file), index, &candidate) != 0) continue;
    if (!FT_IS_SCALABLE(candidate) || candidate->units_per_EM == 0) {
      FT_Done_Face(candidate);
      continue;
    }
    face = candidate;
    FcChar8* name = nullptr;
    if (FcPatternGetString(font, FC_FAMILY, 0, &name) == FcResultMatch)
      family = reinterpret_cast<const char*>(name);
    else
      family = face->family_name ? face->family_name : "";
  }
  if (ranked) FcFontSetDestroy(ranked);
  FcPatternDestroy(pattern);
  return face;
}

HFONT makeFont(const char* faceName, int weight, bool italic, bool trueTypeOnly) {
  std::string family;
  FT_Face face = openBestFace(faceName, weight, italic, trueTypeOnly, family);
  if (!face) return nullptr;
  HFONT font = new HFONT__;
  font->face = face;
  font->family = std::move(family);
  gLiveObjects.insert(font);
  return font;
}

// The font a fresh device context holds: the default face, made once.
HFONT stockFont() {
  if (!gStockFontTried) {
    gStockFontTried = true;
    gStockFont = makeFont("", FW_NORMAL, false, false);
    if (gStockFont) gStockFont->stock = true;
  }
  return gStockFont;
}

HFONT liveFont(HGDIOBJ object) {
  if (!object || !gLiveObjects.count(object)) return nullptr;
  return dynamic_cast<HFONT>(object);
}

void selectInto(HDC dc, HFONT font) {
  if (dc->font) --dc->font->selections;
  dc->font = font;
  if (font) ++font->selections;
}

}  // namespace

HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision,
                  DWORD clipPrecision, DWORD quality, DWORD pitchAndFamily, LPCSTR faceName) {
  if (gFailFontCreation) return nullptr;
  return makeFont(faceName, weight, italic != 0, outPrecision == OUT_TT_ONLY_PRECIS);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  HFONT font = liveFont(object);
  if (!dc || !gLiveContexts.count(dc) || !font) return nullptr;
  HFONT previous = dc->font;
  selectInto(dc, font);
  return previous;
}

BOOL DeleteObject(HGDIOBJ object) {
  HFONT font = liveFont(object);
  if (!font) return FALSE;
  if (font->stock) return TRUE;
  if (font->selections > 0) return FALSE;
  gLiveObjects.erase(font);
  delete font;
  return TRUE;
}

HDC GetDC(HWND window) {
  HDC dc = new HDC__;
  dc->window = window;
  dialog_internal::lendSurface(window, dc);
  selectInto(dc, stockFont());
  gLiveContexts.insert(dc);
  return dc;
}

int ReleaseDC(HWND window, HDC dc) {
  if (!dc || !gLiveContexts.count(dc)) return 0;
  gLiveContexts.erase(dc);
  selectInto(dc, nullptr);
  delete dc;
  return 1;
}

namespace platform_internal {

FT_Face gdiSelectedFace(HDC dc) {
  if (!dc || !gLiveContexts.count(dc) || !dc->font) return nullptr;
  return dc->font->face;
}

}  // namespace platform_internal

namespace platform_test {

std::string gdiFontFamily(HFONT font) {
  HFONT live = liveFont(font);
  return live ? live->family : std::string();
}

int gdiLiveContexts() { return static_cast<int>(gLiveContexts.size()); }

void gdiFailFontCreation(bool fail) { gFailFontCreation = fail; }

int gdiLiveFonts() { return static_cast<int>(gLiveObjects.size()) - (gStockFont ? 1 : 0); }

}  // namespace platform_test
