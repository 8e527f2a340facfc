#include "platform/d3dx/D3DXTexture.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/d3d9/Formats.h"
#include "platform/d3d9/TextureStorage.h"
#include "platform/file/FileSystem.h"
#include "platform/image/ImageDecode.h"

namespace {

using d3d9::formatInfo;
using d3d9::levelPitch;
using d3d9::levelRows;

// A requested size as the device will get it.
UINT textureSize(UINT requested, UINT limit) {
  if (requested == 0) return 1;
  if (requested == D3DX_DEFAULT) requested = 256;
  return limit ? std::min(requested, limit) : requested;
}

void deviceLimits(IDirect3DDevice9* device, UINT& width, UINT& height) {
  D3DCAPS9 caps{};
  if (SUCCEEDED(device->GetDeviceCaps(&caps))) {
    width = caps.MaxTextureWidth;
    height = caps.MaxTextureHeight;
  } else {
    width = height = 0;  // a device that does not say: no limit here
  }
}

UINT levelsAsked(UINT mipLevels) { return mipLevels == D3DX_DEFAULT ? 0 : mipLevels; }

D3DFORMAT chosenFormat(D3DFORMAT format) {
  return format == D3DFMT_UNKNOWN ? D3DFMT_A8R8G8B8 : format;
}

uint32_t readU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Copies `rows` rows of `rowBytes` bytes from tightly packed memory into a
// locked level.
HRESULT copyIntoLevel(IDirect3DTexture9* texture, UINT level, const uint8_t* pixels, UINT rowBytes,
                      UINT rows) {
  D3DLOCKED_RECT locked;
  HRESULT hr = texture->LockRect(level, &locked, nullptr, 0);
  if (FAILED(hr)) return hr;
  for (UINT y = 0; y < rows; ++y)
    std::memcpy(static_cast<uint8_t*>(locked.pBits) + size_t(y) * size_t(locked.Pitch),
                pixels + size_t(y) * rowBytes, rowBytes);
  return texture->UnlockRect(level);
}

// --- DDS -------------------------------------------------------------------
// "DDS ", a header of 124 bytes (and, when the four-character code is
// "DX10", an extended header of 20 more), then the levels of each face,
// largest first, rows tightly packed (rows of 4x4 blocks when compressed).

constexpr uint32_t kDDSMagic = 0x20534444;  // "DDS "
constexpr size_t kDDSHeader = 4 + 124, kDX10Header = 20;
constexpr uint32_t kDX10 = 0x30315844;  // "DX10"
constexpr uint32_t kHasMipCount = 0x20000, kCapsMipMap = 0x400000;
constexpr uint32_t kPixelAlpha = 0x1, kPixelAlphaOnly = 0x2, kPixelFourCC = 0x4, kPixelRGB = 0x40,
                   kPixelLuminance = 0x20000;
constexpr uint32_t kCubeMap = 0x200, kAllFaces = 0xFC00, kVolume = 0x200000;

struct DDSImage {
  UINT width = 0, height = 0, levels = 1;
  D3DFORMAT format = D3DFMT_UNKNOWN;  // the texture's
  bool packedRGB = false;             // stored as 24-bit B, G, R texels, loaded as X8R8G8B8
  bool cube = false;
  const uint8_t* data = nullptr;  // the first level of the first face
  size_t faceBytes = 0;           // all levels of one face
};

D3DFORMAT ddsFormat(uint32_t flags, uint32_t fourCC, uint32_t bits, uint32_t r, uint32_t g,
                    uint32_t b, uint32_t a, bool& packedRGB) {
  packedRGB = false;
  if (flags & kPixelFourCC) {
    switch (fourCC) {
      case D3DFMT_DXT1:
      case D3DFMT_DXT2:
      case D3DFMT_DXT3:
      case D3DFMT_DXT4:
      case D3DFMT_DXT5:
        return D3DFORMAT(fourCC);
      default:
        return D3DFMT_UNKNOWN;
    }
  }
  bool alpha = (flags & kPixelAlpha) != 0;
  if (flags & kPixelRGB) {
    if (bits == 32 && r == 0xff0000 && g == 0xff00 && b == 0xff)
      return alpha && a == 0xff000000u ? D3DFMT_A8R8G8B8 : D3DFMT_X8R8G8B8;
    if (bits == 32 && r == 0xff && g == 0xff00 && b == 0xff0000)
      return alpha && a == 0xff000000u ? D3DFMT_A8B8G8R8 : D3DFMT_X8B8G8R8;
    if (bits == 24 && r == 0xff0000 && g == 0xff00 && b == 0xff) {
      // No texture keeps 24-bit texels: each gets a fourth byte on load.
      packedRGB = true;
      return D3DFMT_X8R8G8B8;
    }
    if (bits == 16 && r == 0xf800 && g == 0x7e0 && b == 0x1f) return D3DFMT_R5G6B5;
    if (bits == 16 && r == 0x7c00 && g == 0x3e0 && b == 0x1f)
      return alpha && a == 0x8000 ? D3DFMT_A1R5G5B5 : D3DFMT_X1R5G5B5;
    if (bits == 16 && r == 0xf00 && g == 0xf0 && b == 0xf)
      return alpha && a == 0xf000 ? D3DFMT_A4R4G4B4 : D3DFMT_X4R4G4B4;
    return D3DFMT_UNKNOWN;
  }
  if (flags & kPixelLuminance) {
    if (bits == 8 && r == 0xff) return D3DFMT_L8;
    if (bits == 16 && r == 0xff && alpha && a == 0xff00) return D3DFMT_A8L8;
    return D3DFMT_UNKNOWN;
  }
  if ((flags & kPixelAlphaOnly) && bits == 8 && a == 0xff) return D3DFMT_A8;
  return D3DFMT_UNKNOWN;
}

// The format of the extended header's DXGI code, for the codes whose texels
// a texture of this device stores as they are; sRGB variants hold the same
// bytes.
D3DFORMAT dxgiFormat(uint32_t code) {
  switch (code) {
    case 28:  // R8G8B8A8_UNORM
    case 29:  // R8G8B8A8_UNORM_SRGB
      return D3DFMT_A8B8G8R8;
    case 87:  // B8G8R8A8_UNORM
    case 91:  // B8G8R8A8_UNORM_SRGB
      return D3DFMT_A8R8G8B8;
    case 88:  // B8G8R8X8_UNORM
    case 93:  // B8G8R8X8_UNORM_SRGB
      return D3DFMT_X8R8G8B8;
    case 85:  // B5G6R5_UNORM
      return D3DFMT_R5G6B5;
    case 86:  // B5G5R5A1_UNORM
      return D3DFMT_A1R5G5B5;
    case 115:  // B4G4R4A4_UNORM
      return D3DFMT_A4R4G4B4;
    case 65:  // A8_UNORM
      return D3DFMT_A8;
    case 71:  // BC1_UNORM
    case 72:  // BC1_UNORM_SRGB
      return D3DFMT_DXT1;
    case 74:  // BC2_UNORM
    case 75:  // BC2_UNORM_SRGB
      return D3DFMT_DXT3;
    case 77:  // BC3_UNORM
    case 78:  // BC3_UNORM_SRGB
      return D3DFMT_DXT5;
    default:
      return D3DFMT_UNKNOWN;
  }
}

// Bytes of one stored row of a level, and of the whole level.
UINT storedPitch(const DDSImage& image, UINT width) {
  return image.packedRGB ? width * 3 : levelPitch(image.format, width);
}
size_t storedLevelBytes(const DDSImage& image, UINT width, UINT height) {
  return size_t(storedPitch(image, width)) * levelRows(image.format, height);
}

// Reads the header and checks that every level of every face lies within
// the bytes; false for anything else.
bool readDDS(const uint8_t* bytes, size_t size, DDSImage& image) {
  if (size < kDDSHeader || readU32(bytes) != kDDSMagic || readU32(bytes + 4) != 124) return false;
  const uint8_t* h = bytes + 4;
  image.height = readU32(h + 8);
  image.width = readU32(h + 12);
  const uint32_t flags = readU32(h + 4), mipCount = readU32(h + 24);
  const uint8_t* pf = h + 72;
  const uint32_t pixelFlags = readU32(pf + 4), fourCC = readU32(pf + 8);
  const uint32_t caps = readU32(h + 104), caps2 = readU32(h + 108);
  size_t header = kDDSHeader;
  bool volume = (caps2 & kVolume) != 0;
  if ((pixelFlags & kPixelFourCC) && fourCC == kDX10) {
    // The extended header of later tools: a DXGI format, a dimension (1D,
    // 2D or 3D) and whether it is a cube. Arrays have no place in these
    // textures.
    if (size < kDDSHeader + kDX10Header) return false;
    const uint8_t* x = bytes + kDDSHeader;
    const uint32_t dimension = readU32(x + 4), misc = readU32(x + 8), arraySize = readU32(x + 12);
    if (dimension < 2 || dimension > 4 || arraySize > 1) return false;
    volume = dimension == 4;
    image.format = dxgiFormat(readU32(x));
    image.packedRGB = false;
    image.cube = (misc & 0x4) != 0;
    header += kDX10Header;
  } else {
    image.format = ddsFormat(pixelFlags, fourCC, readU32(pf + 12), readU32(pf + 16),
                             readU32(pf + 20), readU32(pf + 24), readU32(pf + 28), image.packedRGB);
    image.cube = (caps2 & kCubeMap) != 0;
    if (image.cube && (caps2 & kAllFaces) != kAllFaces) return false;
  }
  if (image.format == D3DFMT_UNKNOWN || image.width == 0 || image.height == 0 ||
      image.width > 65536 || image.height > 65536)
    return false;
  if (image.cube && image.width != image.height) return false;
  const size_t faces = image.cube ? 6 : 1;
  auto faceBytes = [&](UINT levels) {
    size_t total = 0;
    UINT w = image.width, hgt = image.height;
    for (UINT i = 0; i < levels; ++i) {
      total += storedLevelBytes(image, w, hgt);
      w = std::max(1u, w / 2);
      hgt = std::max(1u, hgt / 2);
    }
    return total;
  };
  const UINT chain = d3d9::fullMipChain(image.width, image.height);
  const UINT counted = std::min<UINT>(std::max<uint32_t>(mipCount, 1), chain);
  image.levels = (flags & kHasMipCount) ? counted : 1;
  // Some tools leave the count's flag out and say that the file has levels
  // in its caps alone: the count stands when the levels are all there.
  if (!(flags & kHasMipCount) && (caps & kCapsMipMap) && counted > 1 &&
      faceBytes(counted) * faces <= size - header)
    image.levels = counted;
  // A volume stores every slice of a level before the next level: its
  // first slice is the texture, without the levels below it.
  if (volume) image.levels = 1;
  image.faceBytes = faceBytes(image.levels);
  if (image.faceBytes * faces > size - header) return false;
  image.data = bytes + header;
  return true;
}

// Copies one stored level into a locked one, widening 24-bit texels.
void copyStoredLevel(const DDSImage& image, const uint8_t* stored, UINT width, UINT height,
                     const D3DLOCKED_RECT& locked) {
  const UINT rows = levelRows(image.format, height), pitch = storedPitch(image, width);
  for (UINT y = 0; y < rows; ++y) {
    const uint8_t* in = stored + size_t(y) * pitch;
    uint8_t* out = static_cast<uint8_t*>(locked.pBits) + size_t(y) * size_t(locked.Pitch);
    if (!image.packedRGB) {
      std::memcpy(out, in, pitch);
      continue;
    }
    for (UINT x = 0; x < width; ++x, in += 3, out += 4) {
      out[0] = in[0];
      out[1] = in[1];
      out[2] = in[2];
      out[3] = 0xff;
    }
  }
}

HRESULT textureFromDDS(IDirect3DDevice9* device, const DDSImage& image, IDirect3DTexture9** out) {
  IDirect3DTexture9* texture = nullptr;
  HRESULT hr = device->CreateTexture(image.width, image.height, image.levels, 0, image.format,
                                     D3DPOOL_MANAGED, &texture, nullptr);
  if (FAILED(hr)) return hr;
  const uint8_t* p = image.data;
  UINT w = image.width, h = image.height;
  for (UINT i = 0; i < image.levels; ++i) {
    D3DLOCKED_RECT locked;
    hr = texture->LockRect(i, &locked, nullptr, 0);
    if (SUCCEEDED(hr)) {
      copyStoredLevel(image, p, w, h, locked);
      hr = texture->UnlockRect(i);
    }
    if (FAILED(hr)) {
      texture->Release();
      return hr;
    }
    p += storedLevelBytes(image, w, h);
    w = std::max(1u, w / 2);
    h = std::max(1u, h / 2);
  }
  *out = texture;
  return D3D_OK;
}

// --- decoded images --------------------------------------------------------

// The next level of an image of 4-byte texels: each byte the rounded mean
// ((sum + 2) / 4) of that byte of the 2x2 texels above it, an edge row or
// column of an odd size repeated. Works on two bytes of a texel at a time in
// 16-bit lanes (four bytes summed stay below 1,024), so the byte order of the
// texels does not matter.
void halve(const uint8_t* source, UINT width, UINT height, uint8_t* out, UINT& newWidth,
           UINT& newHeight) {
  newWidth = std::max(1u, width / 2);
  newHeight = std::max(1u, height / 2);
  constexpr uint32_t kLanes = 0x00FF00FFu;
  for (UINT y = 0; y < newHeight; ++y) {
    const uint8_t* row0 = source + size_t(std::min(2 * y, height - 1)) * width * 4;
    const uint8_t* row1 = source + size_t(std::min(2 * y + 1, height - 1)) * width * 4;
    uint8_t* target = out + size_t(y) * newWidth * 4;
    for (UINT x = 0; x < newWidth; ++x) {
      const size_t x0 = size_t(std::min(2 * x, width - 1)) * 4,
                   x1 = size_t(std::min(2 * x + 1, width - 1)) * 4;
      const uint32_t a = readU32(row0 + x0), b = readU32(row0 + x1), c = readU32(row1 + x0),
                     d = readU32(row1 + x1);
      const uint32_t low = (a & kLanes) + (b & kLanes) + (c & kLanes) + (d & kLanes) + 0x00020002u;
      const uint32_t high = (a >> 8 & kLanes) + (b >> 8 & kLanes) + (c >> 8 & kLanes) +
                            (d >> 8 & kLanes) + 0x00020002u;
      const uint32_t mean = (low >> 2 & kLanes) | (high >> 2 & kLanes) << 8;
      std::memcpy(target + size_t(x) * 4, &mean, 4);
    }
  }
}

HRESULT textureFromImage(IDirect3DDevice9* device, const uint8_t* bytes, UINT size,
                         IDirect3DTexture9** out) {
  if (size > UINT(INT_MAX)) return D3DXERR_INVALIDDATA;
  int width = 0, height = 0, channels = 0;
  DecodedImage rgba = decodeImage(bytes, int(size), &width, &height, &channels);
  if (!rgba || width <= 0 || height <= 0) return D3DXERR_INVALIDDATA;
  bool alpha = channels == 2 || channels == 4;
  D3DFORMAT format = alpha ? D3DFMT_A8R8G8B8 : D3DFMT_X8R8G8B8;

  IDirect3DTexture9* texture = nullptr;
  HRESULT hr = D3DXCreateTexture(device, UINT(width), UINT(height), D3DX_DEFAULT, 0, format,
                                 D3DPOOL_MANAGED, &texture);
  if (FAILED(hr)) return hr;
  D3DSURFACE_DESC desc;
  if (FAILED(texture->GetLevelDesc(0, &desc)) || desc.Width != UINT(width) ||
      desc.Height != UINT(height) || desc.Format != format) {
    texture->Release();  // larger than the device takes
    return D3DXERR_INVALIDDATA;
  }

  // The decoder's texels are R, G, B, A with alpha 255 where the file has
  // none: our device's textures take them as they are. Another device's
  // take A8R8G8B8 (B, G, R, A in memory) through LockRect.
  d3d9::TextureStorage* storage = d3d9::storageOf(texture);
  const bool direct = storage && storage->valid() && storage->info->internalFormat == GL_RGBA8;
  const size_t texels = size_t(width) * size_t(height);
  std::unique_ptr<uint8_t[]> converted;
  const uint8_t* level = rgba.get();
  if (!direct) {
    converted.reset(new uint8_t[texels * 4]);
    for (size_t i = 0; i < texels * 4; i += 4) {
      converted[i] = level[i + 2];
      converted[i + 1] = level[i + 1];
      converted[i + 2] = level[i];
      converted[i + 3] = alpha ? level[i + 3] : 0xff;
    }
    rgba.reset();
    level = converted.get();
  }
  // Each level below the first is made from the one before, in one of two
  // buffers the size of the second level.
  const size_t secondLevel = size_t(std::max(1, width / 2)) * size_t(std::max(1, height / 2)) * 4;
  std::unique_ptr<uint8_t[]> buffers[2];
  UINT w = UINT(width), h = UINT(height);
  const UINT levels = texture->GetLevelCount();
  for (UINT i = 0; i < levels; ++i) {
    if (i > 0) {
      std::unique_ptr<uint8_t[]>& next = buffers[i % 2];
      if (!next) next.reset(new uint8_t[secondLevel]);
      UINT nw, nh;
      halve(level, w, h, next.get(), nw, nh);
      w = nw;
      h = nh;
      level = next.get();
    }
    hr = direct ? (storage->writeRGBA(0, i, level) ? D3D_OK : D3DERR_INVALIDCALL)
                : copyIntoLevel(texture, i, level, w * 4, h);
    if (FAILED(hr)) {
      texture->Release();
      return hr;
    }
  }
  *out = texture;
  return D3D_OK;
}

}  // namespace

HRESULT D3DXCreateTexture(IDirect3DDevice9* device, UINT width, UINT height, UINT mipLevels,
                          DWORD usage, D3DFORMAT format, D3DPOOL pool,
                          IDirect3DTexture9** texture) {
  if (!texture) return D3DERR_INVALIDCALL;
  *texture = nullptr;
  if (!device) return D3DERR_INVALIDCALL;
  UINT maxWidth, maxHeight;
  deviceLimits(device, maxWidth, maxHeight);
  return device->CreateTexture(textureSize(width, maxWidth), textureSize(height, maxHeight),
                               levelsAsked(mipLevels), usage, chosenFormat(format), pool, texture,
                               nullptr);
}

HRESULT D3DXCreateCubeTexture(IDirect3DDevice9* device, UINT size, UINT mipLevels, DWORD usage,
                              D3DFORMAT format, D3DPOOL pool, IDirect3DCubeTexture9** texture) {
  if (!texture) return D3DERR_INVALIDCALL;
  *texture = nullptr;
  if (!device) return D3DERR_INVALIDCALL;
  UINT maxWidth, maxHeight;
  deviceLimits(device, maxWidth, maxHeight);
  return device->CreateCubeTexture(textureSize(size, maxWidth), levelsAsked(mipLevels), usage,
                                   chosenFormat(format), pool, texture, nullptr);
}

HRESULT D3DXCreateTextureFromFileInMemory(IDirect3DDevice9* device, const void* data, UINT size,
                                          IDirect3DTexture9** texture) {
  if (!texture) return D3DERR_INVALIDCALL;
  *texture = nullptr;
  if (!device || !data || size == 0) return D3DERR_INVALIDCALL;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size >= 4 && readU32(bytes) == kDDSMagic) {
    DDSImage image;
    if (!readDDS(bytes, size, image)) return D3DXERR_INVALIDDATA;
    return textureFromDDS(device, image, texture);
  }
  return textureFromImage(device, bytes, size, texture);
}

HRESULT D3DXCreateCubeTextureFromFileInMemory(IDirect3DDevice9* device, const void* data, UINT size,
                                              IDirect3DCubeTexture9** texture) {
  if (!texture) return D3DERR_INVALIDCALL;
  *texture = nullptr;
  if (!device || !data || size == 0) return D3DERR_INVALIDCALL;
  DDSImage image;
  if (!readDDS(static_cast<const uint8_t*>(data), size, image) || !image.cube)
    return D3DXERR_INVALIDDATA;
  IDirect3DCubeTexture9* cube = nullptr;
  HRESULT hr = device->CreateCubeTexture(image.width, image.levels, 0, image.format,
                                         D3DPOOL_MANAGED, &cube, nullptr);
  if (FAILED(hr)) return hr;
  for (UINT face = 0; face < 6; ++face) {
    const uint8_t* p = image.data + face * image.faceBytes;
    UINT w = image.width;
    for (UINT i = 0; i < image.levels; ++i) {
      D3DLOCKED_RECT locked;
      hr = cube->LockRect(D3DCUBEMAP_FACES(face), i, &locked, nullptr, 0);
      if (SUCCEEDED(hr)) {
        copyStoredLevel(image, p, w, w, locked);
        hr = cube->UnlockRect(D3DCUBEMAP_FACES(face), i);
      }
      if (FAILED(hr)) {
        cube->Release();
        return hr;
      }
      p += storedLevelBytes(image, w, w);
      w = std::max(1u, w / 2);
    }
  }
  *texture = cube;
  return D3D_OK;
}

namespace {

// The whole file; false when it cannot be opened or read, is empty or is too
// large for the in-memory loaders.
bool readWholeFile(const char* file, std::vector<uint8_t>& bytes) {
  FILE* f = openFile(file, "rb");
  if (!f) return false;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  const bool failed = ferror(f) != 0;
  fclose(f);
  return !failed && !bytes.empty() && bytes.size() <= UINT_MAX;
}

}  // namespace

HRESULT D3DXCreateTextureFromFileA(IDirect3DDevice9* device, const char* file,
                                   IDirect3DTexture9** texture) {
  if (!texture) return D3DERR_INVALIDCALL;
  *texture = nullptr;
  if (!device || !file) return D3DERR_INVALIDCALL;
  std::vector<uint8_t> bytes;
  if (!readWholeFile(file, bytes)) return D3DXERR_INVALIDDATA;
  return D3DXCreateTextureFromFileInMemory(device, bytes.data(), UINT(bytes.size()), texture);
}

HRESULT D3DXCreateCubeTextureFromFileA(IDirect3DDevice9* device, const char* file,
                                       IDirect3DCubeTexture9** texture) {
  if (!texture) return D3DERR_INVALIDCALL;
  *texture = nullptr;
  if (!device || !file) return D3DERR_INVALIDCALL;
  std::vector<uint8_t> bytes;
  if (!readWholeFile(file, bytes)) return D3DXERR_INVALIDDATA;
  return D3DXCreateCubeTextureFromFileInMemory(device, bytes.data(), UINT(bytes.size()), texture);
}

HRESULT D3DXLoadSurfaceFromMemory(IDirect3DSurface9* destination, const PALETTEENTRY*,
                                  const RECT* destinationRect, const void* source,
                                  D3DFORMAT sourceFormat, UINT sourcePitch, const PALETTEENTRY*,
                                  const RECT* sourceRect, DWORD, D3DCOLOR) {
  if (!destination || !source || !sourceRect) return D3DERR_INVALIDCALL;
  D3DSURFACE_DESC desc;
  if (FAILED(destination->GetDesc(&desc))) return D3DERR_INVALIDCALL;
  const d3d9::FormatInfo* to = formatInfo(desc.Format);
  const d3d9::FormatInfo* from = formatInfo(sourceFormat);
  if (!to || !from || to->blockBytes || to->depth || from->blockBytes || from->depth)
    return D3DERR_INVALIDCALL;
  bool convert = sourceFormat == D3DFMT_A8R8G8B8 || sourceFormat == D3DFMT_X8R8G8B8;
  if (!convert && sourceFormat != desc.Format) return D3DERR_INVALIDCALL;
  RECT d = destinationRect ? *destinationRect : RECT{0, 0, LONG(desc.Width), LONG(desc.Height)};
  const RECT& s = *sourceRect;
  LONG w = s.right - s.left, h = s.bottom - s.top;
  if (w <= 0 || h <= 0 || s.left < 0 || s.top < 0 || d.right - d.left != w || d.bottom - d.top != h)
    return D3DERR_INVALIDCALL;
  D3DLOCKED_RECT locked;
  if (FAILED(destination->LockRect(&locked, &d, 0))) return D3DERR_INVALIDCALL;
  const int sourceBytes = from->bytesPerPixel, destinationBytes = to->bytesPerPixel;
  for (LONG y = 0; y < h; ++y) {
    const uint8_t* in = static_cast<const uint8_t*>(source) + size_t(s.top + y) * sourcePitch +
                        size_t(s.left) * size_t(sourceBytes);
    uint8_t* outRow = static_cast<uint8_t*>(locked.pBits) + size_t(y) * size_t(locked.Pitch);
    if (!convert) {
      std::memcpy(outRow, in, size_t(w) * size_t(sourceBytes));
      continue;
    }
    for (LONG x = 0; x < w; ++x) {
      uint32_t argb = readU32(in + size_t(x) * 4);
      if (sourceFormat == D3DFMT_X8R8G8B8) argb |= 0xff000000u;
      d3d9::pixelFromARGB(desc.Format, argb, outRow + size_t(x) * size_t(destinationBytes));
    }
  }
  return destination->UnlockRect();
}
