// Movable memory blocks, a stream over one, and pictures loaded from a
// stream: the part of the Windows memory and picture services the setup
// dialog uses. Pictures are decoded with stb_image (JPEG, PNG, BMP, GIF and
// the other formats it reads) and drawn into a window's device context.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/Unknown.h"
#include "platform/win32/Win32.h"

typedef void* HGLOBAL;
typedef LONG OLE_XSIZE_HIMETRIC;
typedef LONG OLE_YSIZE_HIMETRIC;
typedef LONG OLE_XPOS_HIMETRIC;
typedef LONG OLE_YPOS_HIMETRIC;
struct HDC__;
typedef HDC__* HDC;

#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002

HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
LPVOID GlobalLock(HGLOBAL memory);
BOOL GlobalUnlock(HGLOBAL memory);
HGLOBAL GlobalFree(HGLOBAL memory);  // null on success
size_t GlobalSize(HGLOBAL memory);

// Interface ids: compared by identity.
struct GUID {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};
typedef GUID IID;
typedef const IID& REFIID;
extern const IID IID_IPicture;
extern const IID IID_IStream;

// A read position over bytes.
struct IStream : IUnknown {
  virtual HRESULT Read(void* buffer, ULONG bytes, ULONG* read) = 0;
};

// Sizes are in HIMETRIC units (hundredths of a millimetre; a pixel is
// 2540 / 96 of them). Render's source rectangle counts y upwards from the
// picture's bottom edge, so a negative source height draws it upright.
struct IPicture : IUnknown {
  virtual HRESULT get_Width(OLE_XSIZE_HIMETRIC* width) = 0;
  virtual HRESULT get_Height(OLE_YSIZE_HIMETRIC* height) = 0;
  virtual HRESULT Render(HDC dc, LONG x, LONG y, LONG cx, LONG cy, OLE_XPOS_HIMETRIC xSrc,
                         OLE_YPOS_HIMETRIC ySrc, OLE_XSIZE_HIMETRIC cxSrc, OLE_YSIZE_HIMETRIC cySrc,
                         const RECT* bounds) = 0;
};

#define STG_E_INVALIDPOINTER ((HRESULT)0x80030009)
#define CTL_E_INVALIDPICTURE ((HRESULT)0x800A01E1)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)

HRESULT CreateStreamOnHGlobal(HGLOBAL memory, BOOL deleteOnRelease, IStream** stream);
// Reads `size` bytes from the stream (all of it when size is 0 or more than
// is left) and decodes them.
HRESULT OleLoadPicture(IStream* stream, LONG size, BOOL runMode, REFIID iid, LPVOID* picture);
