// Memory blocks, streams over them and decoded pictures.
#include "platform/win32/OlePicture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/image/ImageDecode.h"
#include "platform/win32/DeviceContext.h"

// Ids are told apart by their address; the values only need to differ.
const IID IID_IPicture = {1, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IStream = {2, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

namespace {

// A movable block: the handle stays, the bytes are reached through a lock.
struct GlobalBlock {
  std::vector<unsigned char> bytes;
  int locks = 0;
};

// Pixels to HIMETRIC at the 96 dots per inch of a standard screen.
LONG toHimetric(int pixels) { return LONG((int64_t(pixels) * 2540 + 48) / 96); }

class MemoryStream final : public IStream {
 public:
  MemoryStream(GlobalBlock* block, bool ownsBlock) : block(block), ownsBlock(ownsBlock) {}
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }
  HRESULT Read(void* buffer, ULONG bytes, ULONG* read) override {
    if (!buffer) return STG_E_INVALIDPOINTER;
    size_t left = block->bytes.size() - position;
    size_t count = std::min<size_t>(bytes, left);
    if (count) std::memcpy(buffer, block->bytes.data() + position, count);
    position += count;
    if (read) *read = ULONG(count);
    return S_OK;
  }

 private:
  ~MemoryStream() override {
    if (ownsBlock) GlobalFree(block);
  }
  GlobalBlock* block;
  bool ownsBlock;
  size_t position = 0;
  ULONG references = 1;
};

class Picture final : public IPicture {
 public:
  Picture(int width, int height, std::vector<uint32_t> pixels)
      : width(width), height(height), pixels(std::move(pixels)) {}
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }
  HRESULT get_Width(OLE_XSIZE_HIMETRIC* out) override {
    if (!out) return E_POINTER;
    *out = toHimetric(width);
    return S_OK;
  }
  HRESULT get_Height(OLE_YSIZE_HIMETRIC* out) override {
    if (!out) return E_POINTER;
    *out = toHimetric(height);
    return S_OK;
  }

  // Scales the source rectangle onto (x, y, cx, cy) of the context's pixels,
  // nearest sample per target pixel, clipped to the context.
  HRESULT Render(HDC dc, LONG x, LONG y, LONG cx, LONG cy, OLE_XPOS_HIMETRIC xSrc,
                 OLE_YPOS_HIMETRIC ySrc, OLE_XSIZE_HIMETRIC cxSrc, OLE_YSIZE_HIMETRIC cySrc,
                 const RECT* bounds) override {
    if (!dc || !dc->pixels) return E_INVALIDARG;
    if (cx == 0 || cy == 0 || cxSrc == 0 || cySrc == 0) return E_INVALIDARG;
    double himetricWidth = toHimetric(width), himetricHeight = toHimetric(height);
    for (LONG row = 0; row < std::abs(cy); ++row) {
      LONG ty = cy > 0 ? y + row : y - row;
      if (ty < 0 || ty >= dc->height) continue;
      // Source y counts up from the bottom edge.
      double sy = ySrc + (row + 0.5) / std::abs(cy) * cySrc;
      int py = int((himetricHeight - sy) / himetricHeight * height);
      if (py < 0 || py >= height) continue;
      for (LONG column = 0; column < std::abs(cx); ++column) {
        LONG tx = cx > 0 ? x + column : x - column;
        if (tx < 0 || tx >= dc->width) continue;
        double sx = xSrc + (column + 0.5) / std::abs(cx) * cxSrc;
        int px = int(sx / himetricWidth * width);
        if (px < 0 || px >= width) continue;
        (*dc->pixels)[size_t(ty) * size_t(dc->width) + size_t(tx)] =
            pixels[size_t(py) * size_t(width) + size_t(px)];
      }
    }
    if (dc->changed) *dc->changed = true;
    return S_OK;
  }

 private:
  ~Picture() override = default;
  int width, height;
  std::vector<uint32_t> pixels;
  ULONG references = 1;
};

}  // namespace

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
  auto* block = new (std::nothrow) GlobalBlock;
  if (!block) return nullptr;
  try {
    block->bytes.resize(bytes);
  } catch (const std::bad_alloc&) {
    delete block;
    return nullptr;
  }
  return block;
}

LPVOID GlobalLock(HGLOBAL memory) {
  if (!memory) return nullptr;
  auto* block = static_cast<GlobalBlock*>(memory);
  // A block of no bytes has nothing to point at.
  if (block->bytes.empty()) return nullptr;
  ++block->locks;
  return block->bytes.data();
}

BOOL GlobalUnlock(HGLOBAL memory) {
  if (!memory) return FALSE;
  auto* block = static_cast<GlobalBlock*>(memory);
  if (block->locks > 0) --block->locks;
  return block->locks > 0;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
  delete static_cast<GlobalBlock*>(memory);
  return nullptr;
}

size_t GlobalSize(HGLOBAL memory) {
  return memory ? static_cast<GlobalBlock*>(memory)->bytes.size() : 0;
}

HRESULT CreateStreamOnHGlobal(HGLOBAL memory, BOOL deleteOnRelease, IStream** stream) {
  if (!stream) return E_INVALIDARG;
  *stream = nullptr;
  bool owns = deleteOnRelease != FALSE;
  if (!memory) {
    memory = GlobalAlloc(GMEM_MOVEABLE, 0);
    if (!memory) return E_OUTOFMEMORY;
    owns = true;
  }
  *stream = new MemoryStream(static_cast<GlobalBlock*>(memory), owns);
  return S_OK;
}

HRESULT OleLoadPicture(IStream* stream, LONG size, BOOL runMode, REFIID iid, LPVOID* picture) {
  if (!picture) return E_POINTER;
  *picture = nullptr;
  if (!stream) return E_POINTER;
  if (&iid != &IID_IPicture) return E_NOINTERFACE;
  std::vector<unsigned char> bytes;
  unsigned char chunk[4096];
  for (;;) {
    ULONG want = sizeof chunk;
    if (size > 0) want = ULONG(std::min<size_t>(want, size_t(size) - bytes.size()));
    if (want == 0) break;
    ULONG got = 0;
    if (FAILED(stream->Read(chunk, want, &got)) || got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  if (bytes.empty() || bytes.size() > size_t(INT32_MAX)) return CTL_E_INVALIDPICTURE;
  int width = 0, height = 0, channels = 0;
  DecodedImage decoded = decodeImage(bytes.data(), int(bytes.size()), &width, &height, &channels);
  if (!decoded) return CTL_E_INVALIDPICTURE;
  std::vector<uint32_t> pixels(size_t(width) * size_t(height));
  std::memcpy(pixels.data(), decoded.get(), pixels.size() * 4);
  *picture = static_cast<IPicture*>(new Picture(width, height, std::move(pixels)));
  return S_OK;
}
