// Texture helpers over the device: creation with sizes, formats and mip
// chains filled in, loading from image files (PNG, JPEG, BMP, TGA, GIF and
// the other formats the image decoder knows, and DDS with its own formats,
// DXT blocks included), cube textures from DDS cube maps, and pixel
// conversion into surfaces.
#pragma once

#include "platform/d3d9/D3D9.h"

// "Take it from the file" or "the helper decides" for sizes and level counts.
#define D3DX_DEFAULT ((UINT)-1)

// Filters of D3DXLoadSurfaceFromMemory. Only copies without scaling are made,
// so every filter gives the same result.
#define D3DX_FILTER_NONE 0x00000001
#define D3DX_FILTER_POINT 0x00000002
#define D3DX_FILTER_LINEAR 0x00000003
#define D3DX_FILTER_TRIANGLE 0x00000004
#define D3DX_FILTER_BOX 0x00000005

// The bytes are no image that the helpers can read.
#define D3DXERR_INVALIDDATA MAKE_D3DHRESULT(2905)

struct PALETTEENTRY {
  BYTE peRed, peGreen, peBlue, peFlags;
};

// A texture of width x height texels. A size of 0 becomes 1 and D3DX_DEFAULT
// becomes 256; sizes beyond the device's limit are cut to it. mipLevels 0 or
// D3DX_DEFAULT
// asks for the whole chain. D3DFMT_UNKNOWN chooses D3DFMT_A8R8G8B8.
HRESULT D3DXCreateTexture(IDirect3DDevice9* device, UINT width, UINT height, UINT mipLevels,
                          DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DTexture9** texture);

// A cube texture of size x size texels per face; sizes, levels and format
// as for D3DXCreateTexture.
HRESULT D3DXCreateCubeTexture(IDirect3DDevice9* device, UINT size, UINT mipLevels, DWORD usage,
                              D3DFORMAT format, D3DPOOL pool, IDirect3DCubeTexture9** texture);

// A managed texture from the bytes of an image file. Decoded images keep
// their size and get D3DFMT_A8R8G8B8 when they carry alpha, D3DFMT_X8R8G8B8
// otherwise, with the whole mip chain box-filtered from level 0. A DDS file
// keeps its size, format and stored levels (the first face of a cube map,
// the first slice of a volume alone; 24-bit texels become X8R8G8B8), under
// the original header or the extended one.
// D3DXERR_INVALIDDATA when the bytes are no readable image.
HRESULT D3DXCreateTextureFromFileInMemory(IDirect3DDevice9* device, const void* data, UINT size,
                                          IDirect3DTexture9** texture);
// The same from a file, named with the engine's path rules relative to the
// working directory. D3DXERR_INVALIDDATA also when the file cannot be read.
HRESULT D3DXCreateTextureFromFileA(IDirect3DDevice9* device, const char* file,
                                   IDirect3DTexture9** texture);

// A managed cube texture from the bytes of a DDS cube map with all six faces.
HRESULT D3DXCreateCubeTextureFromFileInMemory(IDirect3DDevice9* device, const void* data, UINT size,
                                              IDirect3DCubeTexture9** texture);
// The same from a file, named with the engine's path rules relative to the
// working directory.
HRESULT D3DXCreateCubeTextureFromFileA(IDirect3DDevice9* device, const char* file,
                                       IDirect3DCubeTexture9** texture);

// Copies pixels of `sourceFormat` (D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8 or the
// destination's own format) from memory rows of `sourcePitch` bytes into a
// surface, converting them to the surface's format. The rectangles (the
// whole surface when null; the source one is required) must have one size:
// nothing is scaled. Block-compressed destinations are refused.
HRESULT D3DXLoadSurfaceFromMemory(IDirect3DSurface9* destination,
                                  const PALETTEENTRY* destinationPalette,
                                  const RECT* destinationRect, const void* source,
                                  D3DFORMAT sourceFormat, UINT sourcePitch,
                                  const PALETTEENTRY* sourcePalette, const RECT* sourceRect,
                                  DWORD filter, D3DCOLOR colorKey);
