// The part of the Windows graphics interface that the engine needs: device
// contexts that lend a font (text meshes) or draw into a dialog window, and
// fonts chosen by face name.
//
// A font request is answered by fontconfig, which maps the usual Windows face
// names onto metric-compatible free fonts and falls back to a default face
// for names it does not know; the chosen font file is opened with FreeType.
// Only scalable outline fonts are handed out, since the only user turns
// glyph outlines into geometry.
#pragma once

#include <string>

#include "platform/win32/Win32.h"

struct FT_FaceRec_;

// GDI objects. A handle is a pointer to one of our objects; handles that are
// not (or no longer) ours are refused rather than followed. A font handle
// converts to an object handle as on Windows.
struct HGDIOBJ__ {
  virtual ~HGDIOBJ__() = default;
};
struct HFONT__ : HGDIOBJ__ {
  FT_FaceRec_* face = nullptr;  // owned
  std::string family;           // the family fontconfig chose
  int selections = 0;           // device contexts that hold this font
  bool stock = false;
  ~HFONT__() override;
};
struct HDC__;
typedef HGDIOBJ__* HGDIOBJ;
typedef HFONT__* HFONT;
typedef HDC__* HDC;

typedef float FLOAT;

// Font weights (only those the engine names).
#define FW_DONTCARE 0
#define FW_NORMAL 400
#define FW_BOLD 700

// Character sets.
#define ANSI_CHARSET 0
#define DEFAULT_CHARSET 1

// Output precisions.
#define OUT_DEFAULT_PRECIS 0
#define OUT_TT_PRECIS 4
#define OUT_TT_ONLY_PRECIS 7
#define OUT_OUTLINE_PRECIS 8

// Clip precisions and qualities.
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define ANTIALIASED_QUALITY 4

// Creates a font for the request; the face is chosen at once. Height, width,
// escapement, orientation, clip precision, quality and pitch do not change
// the outlines and are kept only as given. Returns null when no outline font
// fits (with OUT_TT_ONLY_PRECIS: no TrueType font).
HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision,
                  DWORD clipPrecision, DWORD quality, DWORD pitchAndFamily, LPCSTR faceName);

// Selects a font into a device context and returns the font selected before
// (a fresh context holds the stock system font); null when either handle is
// not a live one of ours.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);

// Deletes a font. Refused (FALSE) for a handle that is not live and for a
// font still selected into a device context; deleting the stock font does
// nothing and answers TRUE.
BOOL DeleteObject(HGDIOBJ object);

// A device context for the window (null: the screen). Every call gives a
// context of its own, to be handed back with ReleaseDC. On a window of the
// setup dialog the context also draws into that window's pixels.
HDC GetDC(HWND window);
// Answers 1 when the context was released, 0 when it was not a live one.
int ReleaseDC(HWND window, HDC dc);

// The outline metrics of one character, in units of the font's em square.
struct POINTFLOAT {
  FLOAT x, y;
};
struct GLYPHMETRICSFLOAT {
  FLOAT gmfBlackBoxX;           // width of the glyph's bounding box
  FLOAT gmfBlackBoxY;           // height of the glyph's bounding box
  POINTFLOAT gmfptGlyphOrigin;  // upper left corner of the box, from the origin
  FLOAT gmfCellIncX;            // advance to the next character's origin
  FLOAT gmfCellIncY;
};
