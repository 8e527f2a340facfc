// texture and cubeTexture as scriplets use them, on the headless device.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/ScriptString.h"
#include "scriptapi/Arrays.h"
#include "scriptapi/D3DXVector3.h"
#include "tests/image_files.h"
#include "tests/texture_script_fixture.h"

namespace {

bool loggedLine(const std::vector<std::string>& lines, const std::string& start) {
  for (const std::string& line : lines)
    if (line.rfind(start, 0) == 0) return true;
  return false;
}

// The bytes of one texel repeated for a run of texels.
std::vector<uint8_t> repeated(std::initializer_list<uint8_t> texel, size_t times) {
  std::vector<uint8_t> out;
  out.reserve(texel.size() * times);
  for (size_t i = 0; i < times; ++i)
    for (uint8_t byte : texel) out.push_back(byte);
  return out;
}

std::vector<uint8_t> texelAt(const std::vector<uint8_t>& bytes, size_t index) {
  return std::vector<uint8_t>(bytes.begin() + long(4 * index), bytes.begin() + long(4 * index + 4));
}

// Level 0 of a DXT texture decoded to ARGB words, row by row: colours as
// the end points and their interpolations give them, alpha from the
// format's own bits.
std::vector<uint32_t> decodeDxt(IDirect3DTexture9* texture) {
  D3DSURFACE_DESC desc;
  D3DLOCKED_RECT locked;
  if (!texture || FAILED(texture->GetLevelDesc(0, &desc)) ||
      FAILED(texture->LockRect(0, &locked, nullptr, D3DLOCK_READONLY)))
    return {};
  const bool dxt1 = desc.Format == D3DFMT_DXT1;
  const bool explicitAlpha = desc.Format == D3DFMT_DXT2 || desc.Format == D3DFMT_DXT3;
  std::vector<uint32_t> out(size_t(desc.Width) * desc.Height);
  for (UINT y = 0; y < desc.Height; ++y)
    for (UINT x = 0; x < desc.Width; ++x) {
      const uint8_t* block = static_cast<const uint8_t*>(locked.pBits) +
                             size_t(y / 4) * size_t(locked.Pitch) + (x / 4) * (dxt1 ? 8 : 16);
      const int i = int(4 * (y % 4) + x % 4);
      unsigned alpha = 255;
      if (explicitAlpha) {
        alpha = ((block[i / 2] >> (4 * (i % 2))) & 15) * 17;
      } else if (!dxt1) {
        const unsigned a0 = block[0], a1 = block[1];
        uint64_t bits = 0;
        for (int b = 0; b < 6; ++b) bits |= uint64_t(block[2 + b]) << (8 * b);
        const unsigned index = unsigned(bits >> (3 * i)) & 7;
        unsigned table[8] = {a0, a1};
        for (unsigned k = 2; k < 8; ++k)
          table[k] = a0 > a1 ? ((8 - k) * a0 + (k - 1) * a1) / 7
                     : k < 6 ? ((6 - k) * a0 + (k - 1) * a1) / 5
                             : (k == 6 ? 0 : 255);
        alpha = table[index];
      }
      const uint8_t* colour = dxt1 ? block : block + 8;
      const unsigned c0 = colour[0] | unsigned(colour[1]) << 8, c1 = colour[2] | unsigned(colour[3])
                                                                                     << 8;
      auto expand = [](unsigned c, int channel) {
        const unsigned r = (c >> 11) & 31, g = (c >> 5) & 63, b = c & 31;
        return channel == 0   ? (r << 3 | r >> 2)
               : channel == 1 ? (g << 2 | g >> 4)
                              : (b << 3 | b >> 2);
      };
      const unsigned index = (unsigned(colour[4 + i / 4]) >> (2 * (i % 4))) & 3;
      const bool threeColours = dxt1 && c0 <= c1;
      unsigned rgb[3];
      for (int c = 0; c < 3; ++c) {
        const unsigned e0 = expand(c0, c), e1 = expand(c1, c);
        rgb[c] = index == 0     ? e0
                 : index == 1   ? e1
                 : threeColours ? (index == 2 ? (e0 + e1) / 2 : 0)
                 : index == 2   ? (2 * e0 + e1) / 3
                                : (e0 + 2 * e1) / 3;
      }
      if (threeColours && index == 3) alpha = 0;
      out[size_t(y) * desc.Width + x] = alpha << 24 | rgb[0] << 16 | rgb[1] << 8 | rgb[2];
    }
  texture->UnlockRect(0);
  return out;
}

}  // namespace

using TextureFill = TextureScene;

// The fill callback gets the level's size and a record per texel, row by
// row; each record becomes t0 | t1 << 8 | t2 << 16 | t3 << 24 with ti =
// |fi * 255| truncated and nothing clamped. A copy of the callback's vectorN
// writes into the same records while the fill runs, and into nothing after.
TEST_F(TextureFill, RecordsBecomeTexels) {
  compile(
      "texture t;\n"
      "int gw = 0;\n"
      "int gh = 0;\n"
      "vectorN kept;\n"
      "float keptRead = -1;\n"
      "void records(int w, int h, vectorN v) {\n"
      "  gw = w; gh = h; kept = v;\n"
      "  v.set4(256, 0.5f, 1.0f, 0, 1.0f);\n"
      "  v.set4(32767, 1.5f, 0, 0, 0);\n"
      "  v.set4(1, -1.0f, 0, 0, 0);\n"
      "  vectorN copy; copy = v; copy.set4(2, 0, 0, 1.0f, 0);\n"
      "}\n"
      "void init() {\n"
      "  t = createTexture(256, 128);\n"
      "  t.fill(@records);\n"
      "}\n"
      "void begin() { kept.set(0, 1); keptRead = kept.get(0); }\n");
  EXPECT_EQ(*global<int>("gw"), 256);
  EXPECT_EQ(*global<int>("gh"), 128);
  std::vector<uint8_t> bytes = levelBytes(texture("t"), 256 * 4);
  ASSERT_EQ(bytes.size(), 256u * 128u * 4u);
  struct Case {
    size_t index;  // row * 256 + column
    std::vector<uint8_t> want;
  } cases[] = {
      {256, {0x7F, 0xFF, 0x00, 0xFF}},    // row 1, column 0: 0.5 * 255 = 127.5 truncates
      {32767, {0x7E, 0x01, 0x00, 0x00}},  // the last texel: 382 spills into the second byte
      {1, {0xFF, 0x00, 0x00, 0x00}},      // a negative float counts as its absolute value
      {2, {0x00, 0x00, 0xFF, 0x00}},      // written through the copy
      {0, {0x00, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) EXPECT_EQ(texelAt(bytes, c.index), c.want) << "texel " << c.index;
  size_t written = 0;
  for (size_t i = 0; i < bytes.size() / 4; ++i)
    written += texelAt(bytes, i) != std::vector<uint8_t>(4, 0);
  EXPECT_EQ(written, 4u);
  EXPECT_TRUE(logged().empty());

  // A copy kept past the fill no longer reaches the records, which are gone.
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(*global<float>("keptRead"), 0.0f);
  EXPECT_EQ(logged().size(), 2u);
}

// A function that the scriplet does not have leaves every texel 0, also
// over texels that a fill before had set; an empty handle fills nothing.
TEST_F(TextureFill, MissingFunctionLeavesEveryTexelZero) {
  compile(
      "texture t;\n"
      "texture empty;\n"
      "int calls = 0;\n"
      "void white(int w, int h, vectorN v) { calls++; for (int i = 0; i < w * h; i++) v.set4(i, 1, 1, 1, 1); }\n"
      "void init() {\n"
      "  t = createTexture(4, 4);\n"
      "  t.fill(@white);\n"
      "  empty.fill(@white);\n"
      "}\n"
      "void begin() {\n"
      "  t.fill(@nothingOfThatName);\n"
      "}\n");
  EXPECT_EQ(*global<int>("calls"), 1);
  EXPECT_EQ(levelBytes(texture("t"), 16), std::vector<uint8_t>(64, 0xFF));
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(levelBytes(texture("t"), 16), std::vector<uint8_t>(64, 0));
}

// Textures loaded from files keep the file's format: a 16-bit texture gets
// its texels converted at its own pitch (an odd width included), and a
// block-compressed one is encoded into its blocks; nothing is written
// beyond the locked level.
TEST_F(TextureFill, FormatsOfFewerBitsOrBlocks) {
  using namespace image_files;
  write("rgb565.dds", dds(3, 2, 0, ddsR5G6B5(), std::string(12, '\0')));
  write("blocks.dds", dds(4, 4, 0, ddsDXT('1'), dxt1Block(0x1234)));
  compile(
      "texture a;\n"
      "texture b;\n"
      "void blue(int w, int h, vectorN v) { for (int i = 0; i < w * h; i++) v.set4(i, 1, 0, 0, 0); }\n"
      "void init() {\n"
      "  a = createTextureFromFile(\"rgb565.dds\");\n"
      "  a.fill(@blue);\n"
      "  b = createTextureFromFile(\"blocks.dds\");\n"
      "  b.fill(@blue);\n"
      "}\n");
  D3DSURFACE_DESC desc;
  ASSERT_NE(texture("a"), nullptr);
  texture("a")->GetLevelDesc(0, &desc);
  EXPECT_EQ(desc.Format, D3DFMT_R5G6B5);
  EXPECT_EQ(levelBytes(texture("a"), 6), repeated({0x1F, 0x00}, 6));

  // Blue at alpha 0: DXT1's transparent black.
  EXPECT_EQ(decodeDxt(texture("b")), std::vector<uint32_t>(16, 0u));
  EXPECT_FALSE(loggedLine(logged(), "texture.fill: texels of format"));
}

// A fill of a block-compressed texture encodes its texels into the
// texture's own format, for levels whose sides are multiples of 4 and for
// smaller or odd ones, whose last blocks are only partly used. Every block
// holds both colours of a checkerboard: opaque red and blue at the case's
// alpha, which DXT1, with one bit of alpha, keeps opaque from 0x80 on and
// makes transparent black below.
TEST_F(TextureFill, BlockCompressedTexturesAreEncodedInTheirOwnFormat) {
  using namespace image_files;
  const struct {
    char dxt;
    D3DFORMAT format;
    unsigned width, height;
    unsigned alpha;  // of the blue texels; a multiple of 17, which DXT3 keeps
    uint32_t blue;   // what they decode to
  } cases[] = {
      {'1', D3DFMT_DXT1, 8, 4, 0x44, 0x00000000},
      {'1', D3DFMT_DXT1, 6, 6, 0x44, 0x00000000},
      {'1', D3DFMT_DXT1, 2, 2, 0x44, 0x00000000},
      {'1', D3DFMT_DXT1, 8, 4, 0x88, 0xFF0000FF},
      {'1', D3DFMT_DXT1, 6, 6, 0xFF, 0xFF0000FF},
      {'3', D3DFMT_DXT3, 8, 4, 0x44, 0x440000FF},
      {'3', D3DFMT_DXT3, 6, 6, 0x88, 0x880000FF},
      {'5', D3DFMT_DXT5, 8, 4, 0x44, 0x440000FF},
      {'5', D3DFMT_DXT5, 6, 6, 0x44, 0x440000FF},
      {'5', D3DFMT_DXT5, 2, 2, 0x88, 0x880000FF},
      // The premultiplied formats store the values as the fill gives them.
      {'2', D3DFMT_DXT2, 8, 4, 0x44, 0x440000FF},
      {'4', D3DFMT_DXT4, 6, 6, 0x88, 0x880000FF},
  };
  for (const auto& c : cases) {
    const std::string what = std::string("dxt") + c.dxt + "-" + std::to_string(c.width) + "x" +
                             std::to_string(c.height) + "-" + std::to_string(c.alpha);
    SCOPED_TRACE(what);
    const size_t blocks = size_t((c.width + 3) / 4) * ((c.height + 3) / 4);
    // A name of its own: the store shares a loaded texture by name.
    const std::string name = what + ".dds";
    write(name, dds(c.width, c.height, 0, ddsDXT(c.dxt),
                    std::string(blocks * (c.dxt == '1' ? 8 : 16), '\0')));
    // The alpha a hair above its value: the fill truncates.
    compile(
        "texture t;\n"
        "void checker(int w, int h, vectorN v) {\n"
        "  for (int y = 0; y < h; y++) for (int x = 0; x < w; x++)\n"
        "    if ((x + y) % 2 == 0) v.set4(y * w + x, 0, 0, 1, 1);\n"
        "    else v.set4(y * w + x, 1, 0, 0, " +
        std::to_string((c.alpha + 0.01) / 255.0) +
        ");\n"
        "}\n"
        "void init() { t = createTextureFromFile(\"" +
        name + "\"); t.fill(@checker); }\n");
    D3DSURFACE_DESC desc;
    ASSERT_NE(texture("t"), nullptr);
    texture("t")->GetLevelDesc(0, &desc);
    ASSERT_EQ(desc.Format, c.format);
    std::vector<uint32_t> want(size_t(c.width) * c.height);
    for (unsigned y = 0; y < c.height; ++y)
      for (unsigned x = 0; x < c.width; ++x)
        want[y * c.width + x] = (x + y) % 2 ? c.blue : 0xFFFF0000;
    EXPECT_EQ(decodeDxt(texture("t")), want);
    EXPECT_FALSE(loggedLine(logged(), "texture.fill"));
  }
}

// A fill of a texture from inside that texture's own fill function finds
// level 0 locked: its function runs, but it writes nothing.
TEST_F(TextureFill, NestedFillOfTheSameTextureWritesNothing) {
  compile(
      "texture t;\n"
      "int inner = 0;\n"
      "void innerFill(int w, int h, vectorN v) { inner++; for (int i = 0; i < w * h; i++) v.set4(i, 0, 1, 0, 0); }\n"
      "void outerFill(int w, int h, vectorN v) {\n"
      "  t.fill(@innerFill);\n"
      "  for (int i = 0; i < w * h; i++) v.set4(i, 1, 0, 0, 0);\n"
      "}\n"
      "void init() { t = createTexture(2, 2); t.fill(@outerFill); }\n");
  EXPECT_EQ(*global<int>("inner"), 1);
  EXPECT_EQ(levelBytes(texture("t"), 8), repeated({0xFF, 0x00, 0x00, 0x00}, 4));
  EXPECT_TRUE(loggedLine(logged(), "texture.fill: level 0 cannot be locked"));
}

using TextureDrawing = TextureScene;

// Overlays draw the texture texel for texel over a quad of the render
// target's size: at (0, 0), scaled by 1 around the centre, moved by whole
// pixels, and moved right by half the width.
TEST_F(TextureDrawing, OverlaysLandOnExactPixels) {
  compile(
      "texture t;\n"
      "int mode = 0;\n"
      "void pattern(int w, int h, vectorN v) {\n"
      "  for (int y = 0; y < h; y++)\n"
      "    for (int x = 0; x < w; x++)\n"
      "      v.set4(y * w + x, ((x + y) % 256 + 0.5f) / 255.0f, (y * 5 + 0.5f) / 255.0f, (x * 4 + 0.5f) / 255.0f, 1);\n"
      "}\n"
      "void init() { t = createTexture(64, 48); t.fill(@pattern); setSamplerState(0, 2); }\n"
      "void render(float time) {\n"
      "  if (mode == 0) t.renderOverlay(0, 0);\n"
      "  if (mode == 1) t.renderScaledOverlay(0, 0, 1, 1);\n"
      "  if (mode == 2) t.renderOverlay(10, 5);\n"
      "  if (mode == 3) t.renderScaledOverlay(0.5f, 0, 1, 1);\n"
      "}\n");
  auto texel = [](int x, int y) {
    return 0xFF000000u | uint32_t(x * 4) << 16 | uint32_t(y * 5) << 8 | uint32_t(x + y);
  };
  const uint32_t background = 0xFF0000FF;
  struct Case {
    int mode, dx, dy;
  } cases[] = {{0, 0, 0}, {1, 0, 0}, {2, 10, 5}, {3, 32, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode);
    *global<int>("mode") = c.mode;
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, background, 1.0f, 0);
    render();
    d3d9_test::Frame image = frame();
    ASSERT_EQ(image.width, int(kWidth));
    int wrong = 0;
    for (int y = 0; y < image.height; ++y)
      for (int x = 0; x < image.width; ++x) {
        bool covered = x >= c.dx && y >= c.dy;
        uint32_t want = covered ? texel(x - c.dx, y - c.dy) : background;
        if ((image.at(x, y) | 0xFF000000u) != want && wrong++ < 5)
          ADD_FAILURE() << std::hex << "pixel (" << std::dec << x << ", " << y << ") is 0x"
                        << std::hex << image.at(x, y) << ", not 0x" << want;
      }
    EXPECT_EQ(wrong, 0);
  }
  IDirect3DBaseTexture9* stage0 = nullptr;
  device->GetTexture(0, &stage0);
  EXPECT_EQ(stage0, texture("t"));  // the overlay leaves its texture set
  if (stage0) stage0->Release();
  DWORD fvf = 0;
  device->GetFVF(&fvf);
  EXPECT_EQ(fvf, 0x104u);
}

// Render to texture: the target is cleared to grey, the function draws into
// it inside a scene of its own, and render target 0 is restored. A texture
// that cannot be a target runs nothing and leaves the back buffer alone.
TEST_F(TextureDrawing, RenderToTexture) {
  compile(
      "texture rt;\n"
      "texture src;\n"
      "texture plain;\n"
      "int drawn = 0;\n"
      "void red(int w, int h, vectorN v) { for (int i = 0; i < w * h; i++) v.set4(i, 0, 0, 1, 1); }\n"
      "void nothing() { drawn++; }\n"
      "void quarter() { drawn++; src.renderScaledOverlay(0, 0, 0.5f, 0.5f); }\n"
      "void init() {\n"
      "  src = createTexture(4, 4); src.fill(@red);\n"
      "  rt = createRenderTarget(32, 32);\n"
      "  plain = createTexture(32, 32);\n"
      "}\n"
      "void begin() { rt.renderToTexture(@nothing); }\n"
      "void end() { rt.renderToTexture(@quarter); }\n"
      "void died() { plain.renderToTexture(@nothing); }\n");
  IDirect3DSurface9* backBuffer = nullptr;
  ASSERT_EQ(device->GetRenderTarget(0, &backBuffer), D3D_OK);
  auto targetIsBackBuffer = [&] {
    IDirect3DSurface9* now = nullptr;
    device->GetRenderTarget(0, &now);
    if (now) now->Release();
    return now == backBuffer;
  };

  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_TRUE(targetIsBackBuffer());
  EXPECT_EQ(*global<int>("drawn"), 1);
  d3d9_test::Frame image = levelImage(texture("rt"));
  ASSERT_EQ(image.width, 32);
  EXPECT_EQ(image.pixels, std::vector<uint32_t>(32 * 32, 0xFF646464));

  host->callEntry("scene", ENTRY_END);
  EXPECT_TRUE(targetIsBackBuffer());
  image = levelImage(texture("rt"));
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      bool inside = x >= 8 && x < 24 && y >= 8 && y < 24;
      ASSERT_EQ(image.at(x, y), inside ? 0xFFFF0000u : 0xFF646464u) << x << ", " << y;
    }

  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFF00FF00, 1.0f, 0);
  host->callEntry("scene", ENTRY_DIED);
  EXPECT_EQ(*global<int>("drawn"), 2);
  EXPECT_TRUE(targetIsBackBuffer());
  EXPECT_EQ(frame().at(0, 0) | 0xFF000000u, 0xFF00FF00u);
  EXPECT_TRUE(loggedLine(logged(), "texture.renderToTexture: the texture is no render target"));
  backBuffer->Release();
}

// The copy takes the whole render target into level 0; an empty handle
// copies nothing.
TEST_F(TextureDrawing, CopyFromBackBuffer) {
  compile(
      "texture c;\n"
      "void init() { c = createRenderTarget(64, 48); }\n"
      "void begin() { c.copyFromBackBuffer(); texture e; e.copyFromBackBuffer(); }\n");
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFF336699, 1.0f, 0);
  host->callEntry("scene", ENTRY_BEGIN);
  d3d9_test::Frame image = levelImage(texture("c"));
  ASSERT_EQ(image.width, 64);
  for (uint32_t& p : image.pixels) p |= 0xFF000000u;
  EXPECT_EQ(image.pixels, std::vector<uint32_t>(64 * 48, 0xFF336699));
}

// Only mode 1 selects linear filtering, for magnification and minification
// both; the mip filter stays as it was.
TEST_F(TextureDrawing, SamplerStateModes) {
  compile(
      "int sampler = 0;\n"
      "int mode = 0;\n"
      "void begin() { setSamplerState(sampler, mode); }\n");
  struct Case {
    int sampler, mode;
    DWORD want;
  } cases[] = {{0, 1, D3DTEXF_LINEAR},
               {0, 2, D3DTEXF_POINT},
               {3, 1, D3DTEXF_LINEAR},
               {3, 0, D3DTEXF_POINT},
               {1, -1, D3DTEXF_POINT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "sampler " << c.sampler << ", mode " << c.mode);
    device->SetSamplerState(DWORD(c.sampler), D3DSAMP_MIPFILTER, D3DTEXF_LINEAR);
    *global<int>("sampler") = c.sampler;
    *global<int>("mode") = c.mode;
    host->callEntry("scene", ENTRY_BEGIN);
    DWORD mag = 0, min = 0, mip = 0;
    device->GetSamplerState(DWORD(c.sampler), D3DSAMP_MAGFILTER, &mag);
    device->GetSamplerState(DWORD(c.sampler), D3DSAMP_MINFILTER, &min);
    device->GetSamplerState(DWORD(c.sampler), D3DSAMP_MIPFILTER, &mip);
    EXPECT_EQ(mag, c.want);
    EXPECT_EQ(min, c.want);
    EXPECT_EQ(mip, DWORD(D3DTEXF_LINEAR));
  }
}

// setCurrent of an empty handle leaves the stage's texture; removeCurrent
// of one clears it.
TEST_F(TextureDrawing, StagesAndEmptyHandles) {
  compile(
      "texture t;\n"
      "texture e;\n"
      "void init() { t = createTexture(2, 2); t.setCurrent(1); e.setCurrent(1); }\n"
      "void begin() { e.removeCurrent(1); }\n");
  IDirect3DBaseTexture9* stage = nullptr;
  device->GetTexture(1, &stage);
  EXPECT_EQ(stage, texture("t"));
  if (stage) stage->Release();
  host->callEntry("scene", ENTRY_BEGIN);
  device->GetTexture(1, &stage);
  EXPECT_EQ(stage, nullptr);
}

using TextureFiles = TextureScene;

// A name loads once: later loads share the cached texture without reading
// the file (here removed meanwhile). An image that cannot be read gives a
// handle without a texture that every method ignores.
TEST_F(TextureFiles, LoadsAreSharedAndUnreadableImagesStayEmpty) {
  write("tex.bmp", image_files::bmp(2, 2, {0xFF112233, 0xFF445566, 0xFF778899, 0xFFAABBCC}));
  write("bad.png", "this is no image");
  compile(
      "texture a;\n"
      "texture b;\n"
      "texture bad;\n"
      "texture badAgain;\n"
      "void white(int w, int h, vectorN v) { v.set4(0, 1, 1, 1, 1); }\n"
      "void init() { a = createTextureFromFile(\"tex.bmp\"); bad = createTextureFromFile(\"bad.png\"); }\n"
      "void begin() {\n"
      "  b = createTextureFromFile(\"tex.bmp\");\n"
      "  badAgain = createTextureFromFile(\"bad.png\");\n"
      "  bad.setCurrent(0); bad.fill(@white); bad.renderOverlay(0, 0); bad.copyFromBackBuffer();\n"
      "}\n");
  ASSERT_NE(texture("a"), nullptr);
  std::filesystem::remove("tex.bmp");
  host->callEntry("scene", ENTRY_BEGIN);
  EXPECT_EQ(texture("b"), texture("a"));
  EXPECT_EQ(*global<TextureHandle>("b")->count, 3);  // the store's own, a and b
  // Both loads of the unreadable file got the cached entry without a
  // texture (assigning a handle without an object to an empty one changes
  // nothing, so the globals stay empty).
  EXPECT_EQ(texture("bad"), nullptr);
  EXPECT_EQ(texture("badAgain"), nullptr);
  ASSERT_TRUE(database->exists("bad.png"));
  EXPECT_EQ(database->entries.at("bad.png").object, nullptr);
  EXPECT_EQ(database->entries.at("bad.png").count, 1);
  IDirect3DBaseTexture9* stage = nullptr;
  device->GetTexture(0, &stage);
  EXPECT_EQ(stage, nullptr);
}

using TextureFilesDeathTest = TextureScene;

TEST_F(TextureFilesDeathTest, MissingFileEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        gFatalErrorHook = [](const char* text) { std::fprintf(stderr, "fatal <%s>\n", text); };
        compile("texture t;\nvoid init() { t = createTextureFromFile(\"missing.png\"); }\n");
      },
      testing::ExitedWithCode(255), "fatal <Error loading texture \\(missing.png\\) - Abort>");
}

// Cube textures: made empty (managed, whole chain), as render targets, and
// from a DDS cube map read from the working directory with the engine's
// path rules; a file that cannot be read gives a handle without a texture.
TEST_F(TextureFiles, CubeTextures) {
  using namespace image_files;
  std::string payload;
  for (int face = 0; face < 6; ++face) payload += dxt1Block(uint16_t(0x0800 * face));
  std::filesystem::create_directory("maps");
  write("maps/sky.dds", dds(4, 4, 1, ddsDXT('1'), payload, true));
  compile(
      "cubeTexture a;\n"
      "cubeTexture b;\n"
      "cubeTexture c;\n"
      "cubeTexture d;\n"
      "cubeTexture e;\n"
      "void init() {\n"
      "  a = createCubeTexture(16);\n"
      "  b = createCubeRenderTarget(8);\n"
      "  c = createCubeTextureFromFile(\"maps\\\\sky.dds\");\n"
      "  d = createCubeTextureFromFile(\"missing.dds\");\n"
      "  e = c;\n"
      "}\n");
  struct Case {
    const char* variable;
    UINT edge, levels;
    DWORD usage;
    D3DPOOL pool;
    D3DFORMAT format;
  } cases[] = {
      {"a", 16, 5, 0, D3DPOOL_MANAGED, D3DFMT_A8R8G8B8},
      {"b", 8, 1, D3DUSAGE_RENDERTARGET, D3DPOOL_DEFAULT, D3DFMT_A8R8G8B8},
      {"c", 4, 1, 0, D3DPOOL_MANAGED, D3DFMT_DXT1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    CubeTextureHandle* handle = global<CubeTextureHandle>(c.variable);
    ASSERT_NE(handle->object, nullptr);
    D3DSURFACE_DESC desc;
    handle->object->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, c.edge);
    EXPECT_EQ(handle->object->GetLevelCount(), c.levels);
    EXPECT_EQ(desc.Usage, c.usage);
    EXPECT_EQ(desc.Pool, c.pool);
    EXPECT_EQ(desc.Format, c.format);
  }
  IDirect3DCubeTexture9* sky = global<CubeTextureHandle>("c")->object;
  D3DLOCKED_RECT locked;
  ASSERT_EQ(sky->LockRect(D3DCUBEMAP_FACE_NEGATIVE_Z, 0, &locked, nullptr, D3DLOCK_READONLY),
            D3D_OK);
  EXPECT_EQ(std::string(static_cast<const char*>(locked.pBits), 8), payload.substr(40, 8));
  sky->UnlockRect(D3DCUBEMAP_FACE_NEGATIVE_Z, 0);
  EXPECT_EQ(*global<CubeTextureHandle>("e")->count, 2);
  EXPECT_EQ(global<CubeTextureHandle>("d")->object, nullptr);
}

using TextureModule = TextureScene;

// The host of the first registration stays; a clean registration logs
// nothing.
TEST_F(TextureModule, FirstHostStays) {
  compile("texture t;\n");
  EXPECT_EQ(gTextureScriptHost, host.get());
  {
    ScriptHost other;
    std::string error;
    ASSERT_TRUE(other.compile("other", "void render(float t) {}\n", error)) << error;
  }
  EXPECT_EQ(gTextureScriptHost, host.get());
  EXPECT_FALSE(loggedLine(logged(), "TQScript - initD3DTexture failed"));
  EXPECT_FALSE(loggedLine(logged(), "TQScrip - initArrays failed"));
}

// A host that is destroyed is forgotten, so that the fills of a host made
// after it (a second run in one process) call back into the new one.
TEST_F(TextureModule, DestroyedHostIsForgotten) {
  gTextureScriptHost = nullptr;
  {
    ScriptHost first;
    std::string error;
    ASSERT_TRUE(first.compile("first", "void render(float t) {}\n", error)) << error;
    EXPECT_EQ(gTextureScriptHost, &first);
  }
  EXPECT_EQ(gTextureScriptHost, nullptr);
  compile(
      "int calls = 0;\n"
      "void white(int w, int h, vectorN v) { calls++; for (int i = 0; i < w * h; i++) v.set4(i, 1, 1, 1, 1); }\n"
      "void render(float t) { texture tex = createTexture(4, 4); tex.fill(@white); }\n");
  EXPECT_EQ(gTextureScriptHost, host.get());
  render();
  EXPECT_EQ(*global<int>("calls"), 1);
}

// A rejected registration logs the module's message once, and the other
// registrations are made all the same.
TEST_F(TextureModule, RejectedRegistrationsLogOnce) {
  struct Case {
    const char* what;
    void (*prepare)(asIScriptEngine*);
    int (*registration)(asIScriptEngine*);
    const char* message;
    const char* typeStillMade;  // with the methods that could be registered
  } cases[] = {
      {"texture registered twice", [](asIScriptEngine* e) { initD3DTexture(e, nullptr); },
       [](asIScriptEngine* e) { return initD3DTexture(e, nullptr); },
       "TQScript - initD3DTexture failed", nullptr},
      {"arrays without texture", [](asIScriptEngine*) {}, initArrays, "TQScrip - initArrays failed",
       "arrayTexture"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
    engine->SetMessageCallback(asFUNCTION(+[](const asSMessageInfo*, void*) {}), nullptr,
                               asCALL_CDECL);
    initString(engine);
    initD3DXVector3(engine);
    c.prepare(engine);
    logged().clear();
    EXPECT_NE(c.registration(engine), 0);
    EXPECT_EQ(logged(), std::vector<std::string>{c.message});
    if (c.typeStillMade) {
      asITypeInfo* type = engine->GetTypeInfoByName(c.typeStillMade);
      ASSERT_NE(type, nullptr);
      EXPECT_GE(type->GetFactoryCount() + type->GetBehaviourCount(), 3u);
      EXPECT_NE(type->GetMethodByDecl("arrayTexture &opAssign(const arrayTexture &in)"), nullptr);
    }
    engine->ShutDownAndRelease();
  }
  EXPECT_EQ(gTextureScriptHost, nullptr);
}
