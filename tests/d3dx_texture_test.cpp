// Texture creation and image loading on the headless device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/d3dx/D3DXTexture.h"
#include "tests/d3d9_fixture.h"
#include "tests/image_files.h"

namespace {

using d3d9_testing::DeviceFixture;

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The bytes of one level, row after row without the pitch's padding.
std::vector<uint8_t> levelBytes(IDirect3DTexture9* texture, UINT level, UINT rowBytes, UINT rows) {
  std::vector<uint8_t> out;
  D3DLOCKED_RECT locked;
  if (FAILED(texture->LockRect(level, &locked, nullptr, D3DLOCK_READONLY))) return out;
  for (UINT y = 0; y < rows; ++y) {
    const uint8_t* row =
        static_cast<const uint8_t*>(locked.pBits) + size_t(y) * size_t(locked.Pitch);
    out.insert(out.end(), row, row + rowBytes);
  }
  texture->UnlockRect(level);
  return out;
}

// Level `level` of a 32-bit texture as ARGB words.
std::vector<uint32_t> texels(IDirect3DTexture9* texture, UINT level) {
  D3DSURFACE_DESC desc;
  texture->GetLevelDesc(level, &desc);
  std::vector<uint8_t> bytes = levelBytes(texture, level, desc.Width * 4, desc.Height);
  std::vector<uint32_t> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), bytes.size());
  return out;
}

std::string readFile(const std::string& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return bytes;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  std::fclose(file);
  return bytes;
}

// A 3 x 2 picture with alpha, and the same opaque.
const std::vector<uint32_t> kPicture = {0xFFFF0000, 0x8000FF00, 0x400000FF,
                                        0xFF102030, 0x00FFFFFF, 0xC0808080};
std::vector<uint32_t> opaque(std::vector<uint32_t> pixels) {
  for (uint32_t& p : pixels) p |= 0xFF000000u;
  return pixels;
}

class D3DXTextures : public DeviceFixture {
 protected:
  IDirect3DTexture9* load(const std::string& bytes) {
    IDirect3DTexture9* texture = nullptr;
    result = D3DXCreateTextureFromFileInMemory(device, bytes.data(), UINT(bytes.size()), &texture);
    return texture;
  }
  HRESULT result = D3D_OK;
};

}  // namespace

// Each kind of image file keeps its size and its pixels; alpha decides the
// format, and rows come out top first whatever the file's row order.
TEST_F(D3DXTextures, LoadsEachImageKindTopRowFirst) {
  using namespace image_files;
  struct Case {
    const char* what;
    std::string bytes;
    D3DFORMAT format;
    std::vector<uint32_t> want;
  } cases[] = {
      {"BMP (bottom-up rows)", bmp(3, 2, kPicture), D3DFMT_X8R8G8B8, opaque(kPicture)},
      {"BMP with a 56-byte header ending in its masks", bmpMasks56(3, 2, kPicture), D3DFMT_A8R8G8B8,
       kPicture},
      {"TGA bottom-up", tga(3, 2, kPicture, false), D3DFMT_A8R8G8B8, kPicture},
      {"TGA top-down", tga(3, 2, kPicture, true), D3DFMT_A8R8G8B8, kPicture},
      {"TGA top-down, rows right to left", tga(3, 2, kPicture, true, true), D3DFMT_A8R8G8B8,
       kPicture},
      {"TGA bottom-up, rows right to left", tga(3, 2, kPicture, false, true), D3DFMT_A8R8G8B8,
       kPicture},
      {"PNG", png(3, 2, kPicture), D3DFMT_A8R8G8B8, kPicture},
      {"DDS A8R8G8B8",
       dds(3, 2, 0, ddsARGB(), std::string(reinterpret_cast<const char*>(kPicture.data()), 24)),
       D3DFMT_A8R8G8B8, kPicture},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IDirect3DTexture9* texture = load(c.bytes);
    ASSERT_EQ(result, D3D_OK);
    ASSERT_NE(texture, nullptr);
    D3DSURFACE_DESC desc;
    texture->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 3u);
    EXPECT_EQ(desc.Height, 2u);
    EXPECT_EQ(desc.Format, c.format);
    EXPECT_EQ(desc.Pool, D3DPOOL_MANAGED);
    std::vector<uint32_t> got = texels(texture, 0);
    if (c.format == D3DFMT_X8R8G8B8)
      for (uint32_t& p : got) p |= 0xFF000000u;
    EXPECT_EQ(got, c.want);
    texture->Release();
  }
}

// Decoded images get the whole chain, each level the rounded 2x2 mean of
// the one above (odd edges repeated); DDS files keep the levels they store.
TEST_F(D3DXTextures, MipChains) {
  using namespace image_files;
  std::vector<uint32_t> pixels = {0xFF000000, 0xFF0000FF, 0xFF00FF00, 0xFF000003,
                                  0xFFFF0000, 0xFF000001, 0xFF00FF00, 0xFF000003};  // 4 x 2
  IDirect3DTexture9* texture = load(png(4, 2, pixels));
  ASSERT_NE(texture, nullptr);
  ASSERT_EQ(texture->GetLevelCount(), 3u);
  // Per channel, (a + b + c + d + 2) / 4 of each 2 x 2 square.
  EXPECT_EQ(texels(texture, 1), (std::vector<uint32_t>{0xFF400040, 0xFF008002}));
  EXPECT_EQ(texels(texture, 2), (std::vector<uint32_t>{0xFF204021}));
  texture->Release();

  // 8 x 4 DXT1 with two stored levels: two blocks, then one.
  std::string payload = dxt1Block(0xF800) + dxt1Block(0x07E0) + dxt1Block(0x001F);
  texture = load(dds(8, 4, 2, ddsDXT('1'), payload));
  ASSERT_NE(texture, nullptr);
  D3DSURFACE_DESC desc;
  texture->GetLevelDesc(0, &desc);
  EXPECT_EQ(desc.Format, D3DFMT_DXT1);
  ASSERT_EQ(texture->GetLevelCount(), 2u);
  std::vector<uint8_t> level0 = levelBytes(texture, 0, 16, 1),
                       level1 = levelBytes(texture, 1, 8, 1);
  EXPECT_EQ(std::string(level0.begin(), level0.end()), payload.substr(0, 16));
  EXPECT_EQ(std::string(level1.begin(), level1.end()), payload.substr(16));
  texture->Release();
}

// Bytes that are no image, or a DDS file whose levels do not fit in it,
// give no texture.
TEST_F(D3DXTextures, RefusesWhatIsNoImage) {
  using namespace image_files;
  // A damaged progressive JPEG: the decoder took its Huffman tables from
  // whatever the memory held before, and an internal check of the decoder
  // then ended the process.
  const std::string damagedJpeg = fromHex(
      "ffd8ffe000104a46494600010101006423251d283a333d57726974654d61736b455854453738506d51575f626768673e"
      "4d71636363636363636363636363636363636363636363636363636363636363636363636363636363636363ffc20011"
      "0800ff001703011100021101031101ffc400160001010100000000000000000000000000000104ffc400190101010101"
      "010100000000000000000000000201030405ffda000c03010002100310000001c7e5fb24540a86000000000000000000"
      "000006ffda0008010201013f1017c410010001ff1500000000000000000000000000000100ffda0008010100013f1008"
      "20820820820820820820888bffd9");
  std::string truncated = dds(8, 8, 1, ddsDXT('1'), dxt1Block(0xF800) + dxt1Block(0xF800));
  std::string moreLevelsThanBytes = dds(4, 4, 3, ddsDXT('1'), dxt1Block(0xF800) + dxt1Block(1));
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"text", "not an image at all"},
      {"PNG signature only", "\x89PNG\r\n\x1a\n"},
      {"DDS header cut short", dds(4, 4, 0, ddsDXT('1'), "").substr(0, 60)},
      {"DDS with fewer blocks than its size needs", truncated},
      {"DDS with fewer bytes than its levels need", moreLevelsThanBytes},
      {"DDS of an unknown four-character code",
       dds(4, 4, 0, {kFourCC, 0x30315844, 0, 0, 0, 0, 0}, dxt1Block(1))},
      {"damaged progressive JPEG", damagedJpeg},
      {"DDS 24-bit with fewer bytes than its texels need",
       dds(4, 4, 0, ddsR8G8B8(), std::string(47, 'x'))},
      {"DDS extended header cut short", ddsDX10(4, 4, 0, 71, "").substr(0, 140)},
      {"DDS extended header of a format no texture here has",
       ddsDX10(4, 4, 0, 10, std::string(128, '\0'))},
      {"DDS extended header of a texture array",
       ddsDX10(4, 4, 0, 71, dxt1Block(1) + dxt1Block(2), 3, 0, 2)},
      {"DDS cube map with faces missing",
       std::string(dds(4, 4, 0, ddsDXT('1'), dxt1Block(1))).replace(112, 4, "\x00\x06\x00\x00", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(load(c.bytes), nullptr);
    EXPECT_EQ(result, D3DXERR_INVALIDDATA);
  }
  IDirect3DTexture9* texture = reinterpret_cast<IDirect3DTexture9*>(this);
  EXPECT_EQ(D3DXCreateTextureFromFileInMemory(device, "x", 0, &texture), D3DERR_INVALIDCALL);
  EXPECT_EQ(texture, nullptr);
}

namespace {

// The address sanitizer's allocation hooks, where the tests run under it:
// the largest block asked for on the thread that armed the watch.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*))
    __attribute__((weak));
thread_local bool gWatchAllocations = false;
thread_local size_t gLargestAllocation = 0;
void noteAllocation(const volatile void*, size_t size) {
  if (gWatchAllocations) gLargestAllocation = std::max(gLargestAllocation, size);
}
void noteFree(const volatile void*) {}

}  // namespace

// A PNG file whose data chunk claims more bytes than the file holds is
// refused from its chunk headers: the decoder used to grow its buffer to the
// stated length first, a gigabyte for a file of 47 bytes. A file that ends
// at its end chunk loads, whatever that chunk's length field says.
TEST_F(D3DXTextures, PNGChunkLongerThanItsFileAsksForNoMemory) {
  if (!__sanitizer_install_malloc_and_free_hooks)
    GTEST_SKIP() << "needs the address sanitizer's allocation hooks";
  static const bool installed = __sanitizer_install_malloc_and_free_hooks(noteAllocation, noteFree);
  ASSERT_TRUE(installed);
  const std::string good = image_files::png(3, 2, kPicture);
  const size_t iend = good.size() - 12;  // length, type, check value
  // What the fuzzer found: a 23 x 42 RGB header, then a data chunk of 1 GiB.
  const std::string found = fromHex(
      "89504e470d0a1a0a0000000d49484452000000170000002a0802000000d7ac57844000031949444154"
      "32ccaeeba5cd");
  std::string secondChunkHuge = good.substr(0, iend);
  image_files::put32be(secondChunkHuge, 0x3FFFFFF0u);
  secondChunkHuge += "IDAT" + std::string(16, 'x');
  std::string ancillaryPastTheEnd = good.substr(0, 33);  // signature and header chunk
  image_files::put32be(ancillaryPastTheEnd, 0x7FFFFFF0u);
  ancillaryPastTheEnd += "tEXtsome words";
  std::string endWithoutLength = good;
  endWithoutLength.replace(iend, 4, "\xff\xff\xff\xff", 4);
  struct Case {
    const char* what;
    std::string bytes;
    bool loads;
  } cases[] = {
      {"data chunk of 1 GiB in a file of 47 bytes", found, false},
      {"second data chunk far longer than the file", secondChunkHuge, false},
      {"text chunk running past the end", ancillaryPastTheEnd, false},
      {"whole file", good, true},
      {"end chunk whose length field is garbage", endWithoutLength, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gLargestAllocation = 0;
    gWatchAllocations = true;
    IDirect3DTexture9* texture = load(c.bytes);
    gWatchAllocations = false;
    EXPECT_EQ(texture != nullptr, c.loads);
    if (texture) texture->Release();
    EXPECT_LT(gLargestAllocation, size_t(1) << 20);
  }
}

// Layouts that other tools write: 24-bit texels (widened on load, each
// level), the extended header naming formats these textures have, volumes
// (whose first slice is the texture: the slices of a level come before the
// next level), and a mip count whose flag is missing while the caps say
// there are levels (the count stands only when the bytes hold every level).
TEST_F(D3DXTextures, DDSLayoutsOfOtherTools) {
  using namespace image_files;
  const std::string blocks = dxt1Block(0xF800) + dxt1Block(0x07E0) + dxt1Block(0x001F);
  auto withoutCountFlag = [](std::string bytes) {
    bytes[10] = 0;  // the header's flags without 0x20000
    return bytes;
  };
  auto withVolumeCaps = [](std::string bytes) {
    bytes[8 + 2] |= 0x80;   // the header's flags with a depth (0x800000)
    bytes[24] = 2;          // of 2
    bytes[112 + 2] = 0x20;  // caps2: a volume (0x200000)
    return bytes;
  };
  // 4 x 2 then 2 x 1, three bytes a texel: B, G, R.
  const std::string packed =
      "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c"
      "\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c"
      "\x21\x22\x23\x24\x25\x26";
  const std::string rgba = "\x10\x20\x30\x40\x50\x60\x70\x80";  // 2 x 1
  struct Case {
    const char* what;
    std::string bytes;
    D3DFORMAT format;
    UINT levels;
    std::string level0, lastLevel;  // as locked, rows without padding
  } cases[] = {
      {"24-bit R8G8B8 with two levels", dds(4, 2, 2, ddsR8G8B8(), packed), D3DFMT_X8R8G8B8, 2,
       "\x01\x02\x03\xff\x04\x05\x06\xff\x07\x08\x09\xff\x0a\x0b\x0c\xff"
       "\x11\x12\x13\xff\x14\x15\x16\xff\x17\x18\x19\xff\x1a\x1b\x1c\xff",
       std::string("\x21\x22\x23\xff\x24\x25\x26\xff")},
      {"extended header, BC1 with two levels", ddsDX10(8, 4, 2, 71, blocks), D3DFMT_DXT1, 2,
       blocks.substr(0, 16), blocks.substr(16)},
      {"extended header, R8G8B8A8", ddsDX10(2, 1, 0, 28, rgba), D3DFMT_A8B8G8R8, 1, rgba, rgba},
      {"extended header, B8G8R8A8 sRGB", ddsDX10(2, 1, 0, 91, rgba), D3DFMT_A8R8G8B8, 1, rgba,
       rgba},
      {"extended header, 1D", ddsDX10(2, 1, 0, 87, rgba, 2), D3DFMT_A8R8G8B8, 1, rgba, rgba},
      {"extended header, volume of two slices with two levels: the first slice",
       ddsDX10(8, 4, 2, 71, blocks + blocks, 4), D3DFMT_DXT1, 1, blocks.substr(0, 16),
       blocks.substr(0, 16)},
      {"volume of two slices with two levels: the first slice",
       withVolumeCaps(dds(8, 4, 2, ddsDXT('1'), blocks + blocks)), D3DFMT_DXT1, 1,
       blocks.substr(0, 16), blocks.substr(0, 16)},
      {"mip count without its flag", withoutCountFlag(dds(8, 4, 2, ddsDXT('1'), blocks)),
       D3DFMT_DXT1, 2, blocks.substr(0, 16), blocks.substr(16)},
      {"mip count without its flag, one level stored",
       withoutCountFlag(dds(8, 4, 4, ddsDXT('1'), blocks.substr(0, 16))), D3DFMT_DXT1, 1,
       blocks.substr(0, 16), blocks.substr(0, 16)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IDirect3DTexture9* texture = load(c.bytes);
    ASSERT_EQ(result, D3D_OK);
    ASSERT_NE(texture, nullptr);
    D3DSURFACE_DESC desc;
    texture->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Format, c.format);
    ASSERT_EQ(texture->GetLevelCount(), c.levels);
    const bool blocked = c.format == D3DFMT_DXT1;
    auto bytesOf = [&](UINT level) {
      D3DSURFACE_DESC d;
      texture->GetLevelDesc(level, &d);
      const UINT rowBytes = blocked ? (d.Width + 3) / 4 * 8 : d.Width * 4;
      std::vector<uint8_t> got =
          levelBytes(texture, level, rowBytes, blocked ? (d.Height + 3) / 4 : d.Height);
      return std::string(got.begin(), got.end());
    };
    EXPECT_EQ(bytesOf(0), c.level0);
    EXPECT_EQ(bytesOf(c.levels - 1), c.lastLevel);
    texture->Release();
  }
}

// Run-length coded BMP files, 4 x 2, rows stored bottom up: runs of one index, or of two
// alternating 4-bit ones; literal stretches padded to an even byte count; the end of a row; a jump
// ahead, which leaves the texels it passes black; and data that stops
// before its end mark, which leaves the rest black.
TEST_F(D3DXTextures, RunLengthCodedBMP) {
  std::vector<uint32_t> palette;
  for (uint32_t i = 0; i < 16; ++i)
    palette.push_back(0xFF000000u | (i * 0x10) << 16 | (0xFF - i * 0x10) << 8 | (i + 1));
  constexpr int kBlack = -1;
  struct Case {
    const char* what;
    int bits, height;
    std::string data;
    std::vector<int> want;  // indices, top row first
  } cases[] = {
      {"8-bit runs", 8, 2, fromHex("02050206000004070001"), {7, 7, 7, 7, 5, 5, 6, 6}},
      {"8-bit literal of odd length, padded",
       8,
       2,
       fromHex("000301020300010400000409"
               "0001"),
       {9, 9, 9, 9, 1, 2, 3, 4}},
      {"8-bit jump",
       8,
       2,
       fromHex("0101000202010108"
               "0001"),
       {kBlack, kBlack, kBlack, 8, 1, kBlack, kBlack, kBlack}},
      {"4-bit alternating run and literal",
       4,
       2,
       fromHex("04ab0000000312300001"),
       {1, 2, 3, kBlack, 10, 11, 10, 11}},
      {"8-bit data without its end",
       8,
       2,
       fromHex("0403"),
       {kBlack, kBlack, kBlack, kBlack, 3, 3, 3, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IDirect3DTexture9* texture =
        load(image_files::bmpIndexed(4, c.height, c.bits, c.bits == 8 ? 1 : 2, palette, c.data));
    ASSERT_EQ(result, D3D_OK);
    ASSERT_NE(texture, nullptr);
    D3DSURFACE_DESC desc;
    texture->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 4u);
    EXPECT_EQ(desc.Height, 2u);
    EXPECT_EQ(desc.Format, D3DFMT_X8R8G8B8);
    std::vector<uint32_t> want;
    for (int index : c.want) want.push_back(index == kBlack ? 0xFF000000u : palette[size_t(index)]);
    std::vector<uint32_t> got = texels(texture, 0);
    for (uint32_t& t : got) t |= 0xFF000000u;
    EXPECT_EQ(got, want);
    texture->Release();
  }
  // Coded rows cannot be stored top first.
  EXPECT_EQ(load(image_files::bmpIndexed(4, -2, 8, 1, palette, fromHex("0401000004020001"))),
            nullptr);
  EXPECT_EQ(result, D3DXERR_INVALIDDATA);
}

// Binary PNM files whose largest sample value is not 255 (grey or colour,
// one byte a sample up to 255, two past it) keep their brightness: each
// sample becomes sample * 255 / largest, rounded, and one above the largest
// counts as the largest. A file cut short, or one whose largest is 0, gives
// no texture.
TEST_F(D3DXTextures, PNMSamplesScaleToTheirLargestValue) {
  using image_files::pnm;
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<uint32_t> want;  // 2 x 1, opaque ARGB
  } cases[] = {
      {"colour up to 15", pnm("P6 2 1 15", 15, {15, 0, 7, 1, 2, 3}), {0xFFFF0077, 0xFF112233}},
      {"grey up to 65535",
       pnm("P5\n2 1\n65535", 65535, {0x8000, 0x0101}),
       {0xFF808080, 0xFF010101}},
      {"colour up to 1000, two bytes a sample",
       pnm("P6 2 1 1000", 1000, {1000, 500, 0, 0, 4, 2}),
       {0xFFFF8000, 0xFF000101}},
      {"grey up to 100, one sample past it",
       pnm("P5 2 1 100", 100, {200, 50}),
       {0xFFFFFFFF, 0xFF808080}},
      {"comments in the header",
       pnm("P5 # by hand\n2 # wide\n1\n15", 15, {15, 5}),
       {0xFFFFFFFF, 0xFF555555}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IDirect3DTexture9* texture = load(c.bytes);
    ASSERT_EQ(result, D3D_OK);
    ASSERT_NE(texture, nullptr);
    D3DSURFACE_DESC desc;
    texture->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 2u);
    EXPECT_EQ(desc.Height, 1u);
    EXPECT_EQ(desc.Format, D3DFMT_X8R8G8B8);
    std::vector<uint32_t> got = texels(texture, 0);
    for (uint32_t& t : got) t |= 0xFF000000u;
    EXPECT_EQ(got, c.want);
    texture->Release();
  }
  for (const std::string& bytes :
       {pnm("P6 2 1 65535", 65535, {1, 2, 3, 4, 5}), pnm("P5 2 1 0", 15, {0, 0})}) {
    EXPECT_EQ(load(bytes), nullptr);
    EXPECT_EQ(result, D3DXERR_INVALIDDATA);
  }
}

// D3DXCreateTexture fills in what the caller leaves open.
TEST_F(D3DXTextures, CreationDefaults) {
  struct Case {
    UINT width, height, levels;
    DWORD usage;
    D3DPOOL pool;
    UINT wantWidth, wantHeight, wantLevels;
  } cases[] = {
      {16, 4, 0, 0, D3DPOOL_MANAGED, 16, 4, 5},
      {16, 4, D3DX_DEFAULT, 0, D3DPOOL_MANAGED, 16, 4, 5},
      {0, D3DX_DEFAULT, 1, 0, D3DPOOL_MANAGED, 1, 256, 1},
      {100000, 2, 1, 0, D3DPOOL_MANAGED, 8192, 2, 1},
      {32, 32, 1, D3DUSAGE_RENDERTARGET, D3DPOOL_DEFAULT, 32, 32, 1},
      {32, 32, 1, D3DUSAGE_RENDERTARGET | D3DUSAGE_AUTOGENMIPMAP, D3DPOOL_DEFAULT, 32, 32, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.width << " x " << c.height << ", " << c.levels << " levels");
    IDirect3DTexture9* texture = nullptr;
    ASSERT_EQ(D3DXCreateTexture(device, c.width, c.height, c.levels, c.usage, D3DFMT_UNKNOWN,
                                c.pool, &texture),
              D3D_OK);
    D3DSURFACE_DESC desc;
    texture->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, c.wantWidth);
    EXPECT_EQ(desc.Height, c.wantHeight);
    EXPECT_EQ(desc.Format, D3DFMT_A8R8G8B8);
    EXPECT_EQ(desc.Usage, c.usage);
    EXPECT_EQ(texture->GetLevelCount(), c.wantLevels);
    texture->Release();
  }
  IDirect3DCubeTexture9* cube = nullptr;
  ASSERT_EQ(D3DXCreateCubeTexture(device, 16, 0, 0, D3DFMT_UNKNOWN, D3DPOOL_MANAGED, &cube),
            D3D_OK);
  EXPECT_EQ(cube->GetLevelCount(), 5u);
  cube->Release();
  IDirect3DTexture9* none = nullptr;
  EXPECT_EQ(D3DXCreateTexture(nullptr, 4, 4, 1, 0, D3DFMT_UNKNOWN, D3DPOOL_MANAGED, &none),
            D3DERR_INVALIDCALL);
  EXPECT_EQ(none, nullptr);
}

// A cube map keeps each face's own blocks; a plain DDS file is no cube.
TEST_F(D3DXTextures, CubeMapFromDDS) {
  using namespace image_files;
  std::string payload;
  for (uint16_t face = 0; face < 6; ++face) payload += dxt1Block(uint16_t(0x1000 + face));
  std::string bytes = dds(4, 4, 1, ddsDXT('1'), payload, true);
  IDirect3DCubeTexture9* cube = nullptr;
  ASSERT_EQ(D3DXCreateCubeTextureFromFileInMemory(device, bytes.data(), UINT(bytes.size()), &cube),
            D3D_OK);
  for (UINT face = 0; face < 6; ++face) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACES(face), 0, &locked, nullptr, D3DLOCK_READONLY),
              D3D_OK);
    EXPECT_EQ(std::string(static_cast<const char*>(locked.pBits), 8), payload.substr(face * 8, 8))
        << face;
    cube->UnlockRect(D3DCUBEMAP_FACES(face), 0);
  }
  cube->Release();

  // The same faces under the extended header, which marks a cube in its
  // flags; and 24-bit faces, each texel widened.
  std::string extended = ddsDX10(4, 4, 1, 71, payload, 3, 0x4);
  ASSERT_EQ(
      D3DXCreateCubeTextureFromFileInMemory(device, extended.data(), UINT(extended.size()), &cube),
      D3D_OK);
  D3DLOCKED_RECT locked;
  ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACE_NEGATIVE_Z, 0, &locked, nullptr, D3DLOCK_READONLY),
            D3D_OK);
  EXPECT_EQ(std::string(static_cast<const char*>(locked.pBits), 8), payload.substr(40, 8));
  cube->UnlockRect(D3DCUBEMAP_FACE_NEGATIVE_Z, 0);
  cube->Release();
  std::string faces24;
  for (char face = 0; face < 6; ++face) faces24 += std::string(3, char(0x10 + face));
  std::string packed = dds(1, 1, 1, ddsR8G8B8(), faces24, true);
  ASSERT_EQ(
      D3DXCreateCubeTextureFromFileInMemory(device, packed.data(), UINT(packed.size()), &cube),
      D3D_OK);
  ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACE_POSITIVE_Y, 0, &locked, nullptr, D3DLOCK_READONLY),
            D3D_OK);
  EXPECT_EQ(*static_cast<const uint32_t*>(locked.pBits), 0xFF121212u);
  cube->UnlockRect(D3DCUBEMAP_FACE_POSITIVE_Y, 0);
  cube->Release();

  std::string plain = dds(4, 4, 1, ddsDXT('1'), dxt1Block(1));
  EXPECT_EQ(D3DXCreateCubeTextureFromFileInMemory(device, plain.data(), UINT(plain.size()), &cube),
            D3DXERR_INVALIDDATA);
  EXPECT_EQ(cube, nullptr);
  EXPECT_EQ(D3DXCreateCubeTextureFromFileA(device, "/nonexistent/cube.dds", &cube),
            D3DXERR_INVALIDDATA);
}

// Files are named the engine's way, from the working directory; what cannot
// be read as an image gives no texture.
TEST_F(D3DXTextures, FromFileByName) {
  char pattern[] = "/tmp/engine-texture-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(pattern);
  std::filesystem::create_directories("pics/folder.bmp");
  std::ofstream("pics/picture.bmp", std::ios::binary) << image_files::bmp(3, 2, opaque(kPicture));
  std::ofstream("pics/empty.bmp", std::ios::binary);
  std::ofstream("pics/text.bmp", std::ios::binary) << "not a picture";

  IDirect3DTexture9* texture = nullptr;
  EXPECT_EQ(D3DXCreateTextureFromFileA(device, "pics\\picture.bmp", &texture), D3D_OK);
  ASSERT_NE(texture, nullptr);
  std::vector<uint32_t> got = texels(texture, 0);
  for (uint32_t& t : got) t |= 0xFF000000u;
  EXPECT_EQ(got, opaque(kPicture));
  texture->Release();

  for (const char* name :
       {"pics\\none.bmp", "pics\\folder.bmp", "pics\\empty.bmp", "pics\\text.bmp"}) {
    SCOPED_TRACE(name);
    texture = reinterpret_cast<IDirect3DTexture9*>(this);
    EXPECT_EQ(D3DXCreateTextureFromFileA(device, name, &texture), D3DXERR_INVALIDDATA);
    EXPECT_EQ(texture, nullptr);
  }
  texture = reinterpret_cast<IDirect3DTexture9*>(this);
  EXPECT_EQ(D3DXCreateTextureFromFileA(device, nullptr, &texture), D3DERR_INVALIDCALL);
  EXPECT_EQ(texture, nullptr);
  std::filesystem::current_path(previous);
  std::filesystem::remove_all(pattern);
}

// Converting A8R8G8B8 rows into surfaces of fewer bits per texel, and the
// refusals: block formats, sizes that differ, no source rectangle.
TEST_F(D3DXTextures, LoadSurfaceFromMemoryConverts) {
  const uint32_t source[2] = {0xFFFF0000, 0x80FFFFFF};
  RECT whole = {0, 0, 2, 1};
  struct Case {
    D3DFORMAT format;
    std::vector<uint8_t> want;
  } cases[] = {
      {D3DFMT_R5G6B5, {0x00, 0xF8, 0xFF, 0xFF}},
      {D3DFMT_A1R5G5B5, {0x00, 0xFC, 0xFF, 0xFF}},
      {D3DFMT_A4R4G4B4, {0x00, 0xFF, 0xFF, 0x8F}},
      {D3DFMT_A8R8G8B8, {0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    IDirect3DTexture9* texture = nullptr;
    ASSERT_EQ(device->CreateTexture(2, 1, 1, 0, c.format, D3DPOOL_MANAGED, &texture, nullptr),
              D3D_OK);
    IDirect3DSurface9* level = nullptr;
    texture->GetSurfaceLevel(0, &level);
    EXPECT_EQ(D3DXLoadSurfaceFromMemory(level, nullptr, nullptr, source, D3DFMT_A8R8G8B8, 8,
                                        nullptr, &whole, D3DX_FILTER_NONE, 0),
              D3D_OK);
    EXPECT_EQ(levelBytes(texture, 0, UINT(c.want.size()), 1), c.want);
    RECT wider = {0, 0, 3, 1};
    EXPECT_EQ(D3DXLoadSurfaceFromMemory(level, nullptr, nullptr, source, D3DFMT_A8R8G8B8, 8,
                                        nullptr, &wider, D3DX_FILTER_NONE, 0),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(D3DXLoadSurfaceFromMemory(level, nullptr, nullptr, source, D3DFMT_A8R8G8B8, 8,
                                        nullptr, nullptr, D3DX_FILTER_NONE, 0),
              D3DERR_INVALIDCALL);
    level->Release();
    texture->Release();
  }
  IDirect3DTexture9* blocks = nullptr;
  ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_DXT1, D3DPOOL_MANAGED, &blocks, nullptr),
            D3D_OK);
  IDirect3DSurface9* level = nullptr;
  blocks->GetSurfaceLevel(0, &level);
  RECT four = {0, 0, 4, 4};
  std::vector<uint32_t> sixteen(16, 0xFFFFFFFF);
  EXPECT_EQ(D3DXLoadSurfaceFromMemory(level, nullptr, nullptr, sixteen.data(), D3DFMT_A8R8G8B8, 16,
                                      nullptr, &four, D3DX_FILTER_NONE, 0),
            D3DERR_INVALIDCALL);
  level->Release();
  blocks->Release();
}

// The sample images of the distribution: each format decodes to one
// picture of 23 x 42 (the JPEG within its loss), and the DXT files of
// another package load compressed at their size.
TEST_F(D3DXTextures, SampleImagesOfTheDistribution) {
  const std::string folder = "/usr/libexec/installed-tests/SDL2_image/";
  std::string pngBytes = readFile(folder + "sample.png");
  if (pngBytes.empty())
    GTEST_SKIP() << "libsdl2-image-tests is not installed (" << folder << "sample.png)";
  IDirect3DTexture9* reference = load(pngBytes);
  ASSERT_NE(reference, nullptr);
  std::vector<uint32_t> want = texels(reference, 0);
  reference->Release();
  ASSERT_EQ(want.size(), 23u * 42u);
  for (const char* name : {"sample.bmp", "sample.tga", "sample.jpg"}) {
    SCOPED_TRACE(name);
    IDirect3DTexture9* texture = load(readFile(folder + name));
    ASSERT_NE(texture, nullptr);
    std::vector<uint32_t> got = texels(texture, 0);
    ASSERT_EQ(got.size(), want.size());
    long long difference = 0;
    for (size_t i = 0; i < got.size(); ++i)
      for (int shift = 0; shift < 24; shift += 8)
        difference += std::abs(int((got[i] >> shift) & 0xff) - int((want[i] >> shift) & 0xff));
    double mean = double(difference) / double(got.size() * 3);
    if (std::string(name) == "sample.jpg")
      EXPECT_LT(mean, 8.0);
    else
      EXPECT_EQ(mean, 0.0);
    texture->Release();
  }

  const std::string dxtFolder = "/usr/share/doc/allegro5-doc/examples/data/";
  for (const char* name : {"mysha_dxt1.dds", "mysha_dxt3.dds", "mysha_dxt5.dds"}) {
    std::string bytes = readFile(dxtFolder + name);
    if (bytes.empty()) {
      std::printf("allegro5-doc is not installed: %s%s skipped\n", dxtFolder.c_str(), name);
      continue;
    }
    IDirect3DTexture9* texture = load(bytes);
    ASSERT_NE(texture, nullptr) << name;
    D3DSURFACE_DESC desc;
    texture->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 320u);
    EXPECT_EQ(desc.Height, 200u);
    EXPECT_EQ(desc.Format, D3DFORMAT(MAKEFOURCC('D', 'X', 'T', name[9])));
    texture->Release();
  }
}

// Every level of a decoded image's chain, for odd and one-texel-wide sizes
// and bytes near 255 in every channel, is the per-byte (a + b + c + d + 2) / 4
// of the level above, computed here texel by texel.
TEST_F(D3DXTextures, MipChainsOfOddSizesMatchThePerChannelMean) {
  const struct { int width, height; } sizes[] = {{7, 5}, {1, 6}, {9, 1}, {16, 3}};
  unsigned seed = 17;
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height));
    std::vector<uint32_t> pixels(size_t(size.width) * size_t(size.height));
    for (uint32_t& p : pixels) {
      seed = seed * 1103515245u + 12345u;
      p = (seed >> 3) | 0xF0F0F0F0u;  // many bytes near 255, where a sum would spill into the next
    }
    IDirect3DTexture9* texture = load(image_files::png(size.width, size.height, pixels));
    ASSERT_NE(texture, nullptr);
    std::vector<uint32_t> above = pixels;
    int w = size.width, h = size.height;
    for (UINT level = 1; level < texture->GetLevelCount(); ++level) {
      const int nw = std::max(1, w / 2), nh = std::max(1, h / 2);
      std::vector<uint32_t> want(size_t(nw) * size_t(nh));
      for (int y = 0; y < nh; ++y)
        for (int x = 0; x < nw; ++x) {
          const int x1 = std::min(2 * x + 1, w - 1), y1 = std::min(2 * y + 1, h - 1);
          uint32_t texel = 0;
          for (int shift = 0; shift < 32; shift += 8) {
            auto at = [&](int sx, int sy) {
              return (above[size_t(sy) * size_t(w) + size_t(sx)] >> shift) & 0xFF;
            };
            texel |= ((at(2 * x, 2 * y) + at(x1, 2 * y) + at(2 * x, y1) + at(x1, y1) + 2) / 4)
                     << shift;
          }
          want[size_t(y) * size_t(nw) + size_t(x)] = texel;
        }
      EXPECT_EQ(texels(texture, level), want) << "level " << level;
      above = want;
      w = nw;
      h = nh;
    }
    texture->Release();
  }
}

// A new texture is black and transparent wherever it is read before being
// written: a level locked, a texture sampled with one texel written, a render
// target partly cleared.
TEST_F(D3DXTextures, UnwrittenLevelsReadAsZeros) {
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(4, 4, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  EXPECT_EQ(texels(texture, 1), std::vector<uint32_t>(4, 0u));

  D3DLOCKED_RECT locked;
  const RECT corner = {0, 0, 1, 1};
  ASSERT_EQ(texture->LockRect(0, &locked, &corner, 0), D3D_OK);
  *static_cast<uint32_t*>(locked.pBits) = 0xFFFF0000u;
  texture->UnlockRect(0);
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFF00FF00u, 1.0f, 0);
  device->BeginScene();
  device->SetTexture(0, texture);
  device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_POINT);
  device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_POINT);
  device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
  const float w = float(kWidth), h = float(kHeight);
  const float quad[] = {0, 0, 0, 1, 0, 0, w, 0, 0, 1, 1, 0, 0, h, 0, 1, 0, 1, w, h, 0, 1, 1, 1};
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX1);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, 24);
  device->EndScene();
  device->SetTexture(0, nullptr);
  const d3d9_test::Frame drawn = frame();
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn.at(2, 2) & 0xFFFFFF, 0xFF0000u);  // the written texel
  EXPECT_EQ(drawn.at(kWidth - 3, kHeight - 3) & 0xFFFFFF, 0u);
  texture->Release();

  IDirect3DTexture9* target = nullptr;
  ASSERT_EQ(device->CreateTexture(8, 8, 1, D3DUSAGE_RENDERTARGET, D3DFMT_A8R8G8B8, D3DPOOL_DEFAULT,
                                  &target, nullptr),
            D3D_OK);
  IDirect3DSurface9 *level = nullptr, *previous = nullptr, *copy = nullptr;
  target->GetSurfaceLevel(0, &level);
  device->GetRenderTarget(0, &previous);
  device->SetRenderTarget(0, level);
  const D3DRECT half = {0, 0, 4, 8};
  device->Clear(1, &half, D3DCLEAR_TARGET, 0xFF0000FFu, 1.0f, 0);
  device->SetRenderTarget(0, previous);
  ASSERT_EQ(
      device->CreateOffscreenPlainSurface(8, 8, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &copy, nullptr),
      D3D_OK);
  ASSERT_EQ(device->GetRenderTargetData(level, copy), D3D_OK);
  ASSERT_EQ(copy->LockRect(&locked, nullptr, D3DLOCK_READONLY), D3D_OK);
  const uint32_t* row = static_cast<const uint32_t*>(locked.pBits);
  EXPECT_EQ(row[0], 0xFF0000FFu);
  EXPECT_EQ(row[7], 0u);
  copy->UnlockRect();
  for (IUnknown* object : std::initializer_list<IUnknown*>{copy, previous, level, target})
    object->Release();
}
