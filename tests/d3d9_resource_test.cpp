// Resources: lock round trips of each format through the GPU, mip chains,
// render to texture, StretchRect, UpdateSurface, cube textures and the
// reference counts that keep bound resources alive.
#include <cmath>
#include <cstring>

#include "platform/d3d9/Formats.h"
#include "tests/d3d9_fixture.h"

using d3d9_testing::colourNear;
using d3d9_testing::DeviceFixture;

namespace {

struct TexturedVertex {
  float x, y, z, rhw;
  float u, v;
};
constexpr DWORD kTexturedFVF = D3DFVF_XYZRHW | D3DFVF_TEX1;

class ResourceTest : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_ZENABLE, FALSE);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  }

  // Draws `texture` over the rectangle x0,y0 - x1,y1 of the target, texel
  // for texel when the sizes agree.
  void drawTexture(IDirect3DBaseTexture9* texture, float x0, float y0, float x1, float y1) {
    TexturedVertex v[4] = {{x0, y0, 0.5f, 1, 0, 0},
                           {x1, y0, 0.5f, 1, 1, 0},
                           {x0, y1, 0.5f, 1, 0, 1},
                           {x1, y1, 0.5f, 1, 1, 1}};
    device->SetTexture(0, texture);
    device->SetFVF(kTexturedFVF);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
    device->SetTexture(0, nullptr);
  }
};

}  // namespace

TEST_F(ResourceTest, LockRoundTripOfEachFormat) {
  // Texels written through LockRect and drawn unfiltered must come back as
  // the format holds them, expanded to 8 bits per channel.
  const D3DFORMAT formats[] = {D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8, D3DFMT_R5G6B5,
                               D3DFMT_A1R5G5B5, D3DFMT_A4R4G4B4, D3DFMT_X1R5G5B5};
  const D3DCOLOR pattern[4] = {0xffff0000, 0x8000ff00, 0xff0000ff, 0x40c08040};
  for (D3DFORMAT format : formats) {
    const d3d9::FormatInfo* info = d3d9::formatInfo(format);
    IDirect3DTexture9* texture = nullptr;
    ASSERT_EQ(device->CreateTexture(2, 2, 1, 0, format, D3DPOOL_MANAGED, &texture, nullptr),
              D3D_OK);
    D3DLOCKED_RECT locked;
    ASSERT_EQ(texture->LockRect(0, &locked, nullptr, 0), D3D_OK);
    EXPECT_EQ(locked.Pitch, 2 * info->bytesPerPixel);
    uint32_t expected[4];
    for (int i = 0; i < 4; ++i) {
      uint8_t* texel = static_cast<uint8_t*>(locked.pBits) + (i / 2) * locked.Pitch +
                       (i % 2) * info->bytesPerPixel;
      d3d9::pixelFromARGB(format, pattern[i], texel);
      expected[i] = d3d9::pixelToARGB(format, texel);
    }
    ASSERT_EQ(texture->UnlockRect(0), D3D_OK);
    // Drawn onto black with blending by alpha: the colour shows what the
    // GPU has, alpha included.
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
    device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
    device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ZERO);
    drawTexture(texture, 0, 0, 32, 32);
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
    d3d9_test::Frame f = frame();
    for (int i = 0; i < 4; ++i) {
      uint32_t e = expected[i];
      float a = float(e >> 24) / 255.0f;
      uint32_t shown = 0xff000000u;
      for (int shift = 0; shift < 24; shift += 8)
        shown |= uint32_t(std::lround(float((e >> shift) & 0xff) * a)) << shift;
      EXPECT_TRUE(colourNear(f.at(8 + 16 * (i % 2), 8 + 16 * (i / 2)), shown, 1))
          << "format " << format << " texel " << i;
    }
    // A second lock sees what was written.
    ASSERT_EQ(texture->LockRect(0, &locked, nullptr, D3DLOCK_READONLY), D3D_OK);
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(
          d3d9::pixelToARGB(format, static_cast<uint8_t*>(locked.pBits) + (i / 2) * locked.Pitch +
                                        (i % 2) * info->bytesPerPixel),
          expected[i]);
    texture->UnlockRect(0);
    texture->Release();
  }
}

TEST_F(ResourceTest, CompressedTexturesDecode) {
  // One DXT1 block: colour 0 pure red (0xf800), colour 1 pure blue, the
  // top two rows index 0, the bottom two index 1.
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_DXT1, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  D3DLOCKED_RECT locked;
  ASSERT_EQ(texture->LockRect(0, &locked, nullptr, 0), D3D_OK);
  EXPECT_EQ(locked.Pitch, 8);
  const uint8_t block[8] = {0x00, 0xf8, 0x1f, 0x00, 0x00, 0x00, 0x55, 0x55};
  std::memcpy(locked.pBits, block, 8);
  texture->UnlockRect(0);
  drawTexture(texture, 0, 0, 32, 32);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(10, 2), 0xffff0000u);
  EXPECT_EQ(f.at(10, 28), 0xff0000ffu);
  texture->Release();
}

TEST_F(ResourceTest, FullMipChainsWithTheirSizes) {
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(16, 4, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  EXPECT_EQ(texture->GetLevelCount(), 5u);
  const UINT widths[] = {16, 8, 4, 2, 1}, heights[] = {4, 2, 1, 1, 1};
  for (UINT level = 0; level < 5; ++level) {
    D3DSURFACE_DESC desc;
    ASSERT_EQ(texture->GetLevelDesc(level, &desc), D3D_OK);
    EXPECT_EQ(desc.Width, widths[level]);
    EXPECT_EQ(desc.Height, heights[level]);
    EXPECT_EQ(desc.Format, D3DFMT_A8R8G8B8);
    EXPECT_EQ(desc.Pool, D3DPOOL_MANAGED);
  }
  D3DSURFACE_DESC desc;
  EXPECT_EQ(texture->GetLevelDesc(5, &desc), D3DERR_INVALIDCALL);
  D3DLOCKED_RECT locked;
  EXPECT_EQ(texture->LockRect(5, &locked, nullptr, 0), D3DERR_INVALIDCALL);
  // Each level keeps its own texels: the smallest level is what a tiny
  // quad samples with mipmapping on.
  for (UINT level = 0; level < 5; ++level) {
    ASSERT_EQ(texture->LockRect(level, &locked, nullptr, 0), D3D_OK);
    D3DCOLOR c = level == 4 ? 0xff00ff00 : 0xffff0000;
    for (UINT y = 0; y < heights[level]; ++y)
      for (UINT x = 0; x < widths[level]; ++x)
        std::memcpy(static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch + x * 4, &c, 4);
    texture->UnlockRect(level);
  }
  device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_POINT);
  drawTexture(texture, 0, 0, 1, 1);
  drawTexture(texture, 10, 10, 26, 14);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(0, 0), 0xff00ff00u);
  EXPECT_EQ(f.at(12, 12), 0xffff0000u);
  // SetLOD 4 leaves only the smallest level to sample, at any size.
  EXPECT_EQ(texture->SetLOD(4), 0u);
  drawTexture(texture, 10, 10, 26, 14);
  EXPECT_EQ(frame().at(12, 12), 0xff00ff00u);
  EXPECT_EQ(texture->SetLOD(0), 4u);
  // Automatic mipmaps: one level seen, the chain follows level 0.
  IDirect3DTexture9* automatic = nullptr;
  ASSERT_EQ(device->CreateTexture(8, 8, 0, D3DUSAGE_AUTOGENMIPMAP, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED,
                                  &automatic, nullptr),
            D3D_OK);
  EXPECT_EQ(automatic->GetLevelCount(), 1u);
  ASSERT_EQ(automatic->LockRect(0, &locked, nullptr, 0), D3D_OK);
  for (int i = 0; i < 64; ++i) static_cast<uint32_t*>(locked.pBits)[i] = 0xff0000ff;
  automatic->UnlockRect(0);
  drawTexture(automatic, 40, 0, 41, 1);
  EXPECT_EQ(frame().at(40, 0), 0xff0000ffu);
  automatic->Release();
  texture->Release();
}

TEST_F(ResourceTest, RenderToTextureAndBack) {
  IDirect3DTexture9* target = nullptr;
  ASSERT_EQ(device->CreateTexture(32, 32, 1, D3DUSAGE_RENDERTARGET, D3DFMT_A8R8G8B8,
                                  D3DPOOL_DEFAULT, &target, nullptr),
            D3D_OK);
  IDirect3DSurface9* back = nullptr;
  IDirect3DSurface9* level = nullptr;
  ASSERT_EQ(device->GetRenderTarget(0, &back), D3D_OK);
  ASSERT_EQ(target->GetSurfaceLevel(0, &level), D3D_OK);
  ASSERT_EQ(device->SetRenderTarget(0, level), D3D_OK);
  // The viewport follows the new target.
  D3DVIEWPORT9 vp;
  device->GetViewport(&vp);
  EXPECT_EQ(vp.Width, 32u);
  EXPECT_EQ(vp.Height, 32u);
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0x80ffff00, 1.0f, 0);
  D3DRECT corner = {0, 0, 16, 16};
  device->Clear(1, &corner, D3DCLEAR_TARGET, 0xff00ffff, 1.0f, 0);
  EXPECT_EQ(frame().at(4, 4), 0xff00ffffu);
  ASSERT_EQ(device->SetRenderTarget(0, back), D3D_OK);
  // Texel for texel onto the back buffer: the top-left quarter is cyan.
  drawTexture(target, 0, 0, 32, 32);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(4, 4), 0xff00ffffu);
  EXPECT_EQ(f.at(20, 20), 0xffffff00u);
  EXPECT_EQ(f.at(20, 4), 0xffffff00u);
  // A render target cannot be set when it is not one.
  IDirect3DTexture9* plain = nullptr;
  device->CreateTexture(8, 8, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &plain, nullptr);
  IDirect3DSurface9* plainLevel = nullptr;
  plain->GetSurfaceLevel(0, &plainLevel);
  EXPECT_EQ(device->SetRenderTarget(0, plainLevel), D3DERR_INVALIDCALL);
  // The memory copy of a texture the GPU drew into is read back on lock.
  D3DLOCKED_RECT locked;
  ASSERT_EQ(target->LockRect(0, &locked, nullptr, D3DLOCK_READONLY), D3D_OK);
  EXPECT_EQ(static_cast<uint32_t*>(locked.pBits)[0], 0xff00ffffu);
  EXPECT_EQ(static_cast<uint32_t*>(locked.pBits)[31 * 32 + 31], 0x80ffff00u);
  target->UnlockRect(0);
  plainLevel->Release();
  plain->Release();
  level->Release();
  back->Release();
  target->Release();
}

TEST_F(ResourceTest, StretchRectScalesAndUpdateSurfaceCopies) {
  // Four coloured quarters on the back buffer.
  const D3DCOLOR colours[4] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffffff};
  for (int i = 0; i < 4; ++i) {
    D3DRECT r = {LONG((i % 2) * 32), LONG((i / 2) * 24), LONG((i % 2) * 32 + 32),
                 LONG((i / 2) * 24 + 24)};
    device->Clear(1, &r, D3DCLEAR_TARGET, colours[i], 1.0f, 0);
  }
  IDirect3DSurface9* back = nullptr;
  device->GetRenderTarget(0, &back);
  IDirect3DSurface9* small = nullptr;
  ASSERT_EQ(device->CreateRenderTarget(16, 12, D3DFMT_X8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE,
                                       &small, nullptr),
            D3D_OK);
  ASSERT_EQ(device->StretchRect(back, nullptr, small, nullptr, D3DTEXF_NONE), D3D_OK);
  d3d9_test::Frame f = d3d9_test::readSurface(small);
  ASSERT_EQ(f.width, 16);
  EXPECT_EQ(f.at(3, 3), colours[0]);
  EXPECT_EQ(f.at(12, 3), colours[1]);
  EXPECT_EQ(f.at(3, 9), colours[2]);
  EXPECT_EQ(f.at(12, 9), colours[3]);
  // A part of the source into a part of the destination.
  RECT from = {32, 24, 64, 48}, to = {0, 0, 8, 6};
  ASSERT_EQ(device->StretchRect(back, &from, small, &to, D3DTEXF_LINEAR), D3D_OK);
  EXPECT_EQ(d3d9_test::readSurface(small).at(2, 2), colours[3]);
  RECT outside = {60, 40, 70, 50};
  EXPECT_EQ(device->StretchRect(back, &outside, small, nullptr, D3DTEXF_NONE), D3DERR_INVALIDCALL);

  // The back buffer copied into a texture's level, unscaled, at the origin.
  IDirect3DTexture9* texture = nullptr;
  device->CreateTexture(64, 48, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr);
  IDirect3DSurface9* level = nullptr;
  texture->GetSurfaceLevel(0, &level);
  ASSERT_EQ(device->UpdateSurface(back, nullptr, level, nullptr), D3D_OK);
  D3DLOCKED_RECT locked;
  ASSERT_EQ(texture->LockRect(0, &locked, nullptr, D3DLOCK_READONLY), D3D_OK);
  auto texel = [&](int x, int y) {
    return static_cast<uint32_t*>(locked.pBits)[y * (locked.Pitch / 4) + x] | 0xff000000u;
  };
  EXPECT_EQ(texel(1, 1), colours[0]);
  EXPECT_EQ(texel(40, 1), colours[1]);
  EXPECT_EQ(texel(1, 30), colours[2]);
  EXPECT_EQ(texel(63, 47), colours[3]);
  texture->UnlockRect(0);
  level->Release();
  texture->Release();
  small->Release();
  back->Release();
}

TEST_F(ResourceTest, CubeTextureFacesAndSurfaces) {
  IDirect3DCubeTexture9* cube = nullptr;
  ASSERT_EQ(device->CreateCubeTexture(8, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &cube, nullptr),
            D3D_OK);
  EXPECT_EQ(cube->GetLevelCount(), 4u);
  for (int face = 0; face < 6; ++face) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACES(face), 0, &locked, nullptr, 0), D3D_OK);
    for (int i = 0; i < 64; ++i)
      static_cast<uint32_t*>(locked.pBits)[i] = 0xff000000u | (face + 1) * 0x20;
    cube->UnlockRect(D3DCUBEMAP_FACES(face), 0);
  }
  IDirect3DSurface9* surface = nullptr;
  ASSERT_EQ(cube->GetCubeMapSurface(D3DCUBEMAP_FACE_NEGATIVE_Y, 1, &surface), D3D_OK);
  D3DSURFACE_DESC desc;
  surface->GetDesc(&desc);
  EXPECT_EQ(desc.Width, 4u);
  d3d9_test::Frame f = d3d9_test::readSurface(surface);
  EXPECT_EQ(f.width, 4);
  surface->Release();
  // Sampling with the direction +z picks the +z face.
  struct CubeVertex {
    float x, y, z, rhw, u, v, w;
  } v[4] = {{0, 0, 0.5f, 1, 0, 0, 1},
            {16, 0, 0.5f, 1, 0, 0, 1},
            {0, 16, 0.5f, 1, 0, 0, 1},
            {16, 16, 0.5f, 1, 0, 0, 1}};
  device->SetTexture(0, cube);
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE3(0));
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  device->SetTexture(0, nullptr);
  EXPECT_EQ(frame().at(8, 8), 0xff000000u | (D3DCUBEMAP_FACE_POSITIVE_Z + 1) * 0x20);
  cube->Release();
}

TEST_F(ResourceTest, BoundTexturesOutliveTheirLastReference) {
  IDirect3DTexture9* texture = nullptr;
  device->CreateTexture(2, 2, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr);
  D3DLOCKED_RECT locked;
  texture->LockRect(0, &locked, nullptr, 0);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x)
      static_cast<uint32_t*>(static_cast<void*>(static_cast<uint8_t*>(locked.pBits) +
                                                y * locked.Pitch))[x] = 0xff336699;
  texture->UnlockRect(0);
  device->SetTexture(0, texture);
  EXPECT_EQ(texture->Release(), 0u);
  IDirect3DBaseTexture9* held = nullptr;
  ASSERT_EQ(device->GetTexture(0, &held), D3D_OK);
  ASSERT_EQ(held, static_cast<IDirect3DBaseTexture9*>(texture));
  held->Release();
  TexturedVertex v[4] = {
      {0, 0, 0.5f, 1, 0, 0}, {8, 0, 0.5f, 1, 1, 0}, {0, 8, 0.5f, 1, 0, 1}, {8, 8, 0.5f, 1, 1, 1}};
  device->SetFVF(kTexturedFVF);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]);
  EXPECT_EQ(frame().at(4, 4), 0xff336699u);
  device->SetTexture(0, nullptr);  // the texture goes now
}

TEST(DeviceLifetime, ResourcesKeepTheDeviceUntilTheyGo) {
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  HWND__ window;
  D3DPRESENT_PARAMETERS p = d3d9_testing::presentParameters(16, 16, D3DFMT_X8R8G8B8, &window);
  IDirect3DDevice9* device = nullptr;
  ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window, D3DCREATE_HARDWARE_VERTEXPROCESSING, &p,
                              &device),
            D3D_OK);
  IDirect3DTexture9* texture = nullptr;
  device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr);
  device->SetTexture(0, texture);
  // The caller releases the device first, as the entry routine does before
  // the stores let go of their textures.
  EXPECT_EQ(device->Release(), 1u);
  IDirect3DDevice9* again = nullptr;
  ASSERT_EQ(texture->GetDevice(&again), D3D_OK);
  EXPECT_EQ(again, device);
  again->Release();
  EXPECT_EQ(texture->Release(), 0u);  // and with it the device
  d3d->Release();
}

TEST_F(ResourceTest, RenderTargetsMadeAndDroppedEveryFrame) {
  // Temporary targets come and go; each new one must receive its own
  // drawing, even when it is made where the last one was.
  IDirect3DSurface9* back = nullptr;
  device->GetRenderTarget(0, &back);
  for (int frame = 0; frame < 4; ++frame) {
    IDirect3DTexture9* target = nullptr;
    ASSERT_EQ(device->CreateTexture(16, 16, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                    D3DPOOL_DEFAULT, &target, nullptr),
              D3D_OK);
    IDirect3DSurface9* level = nullptr;
    target->GetSurfaceLevel(0, &level);
    device->SetRenderTarget(0, level);
    D3DCOLOR colour = 0xff000000u | DWORD(0x40 * (frame + 1));
    device->Clear(0, nullptr, D3DCLEAR_TARGET, colour, 1.0f, 0);
    device->SetRenderTarget(0, back);
    EXPECT_EQ(d3d9_test::readSurface(level).at(8, 8), colour) << frame;
    level->Release();
    target->Release();
  }
  back->Release();
}

TEST_F(ResourceTest, TargetsLargerThanTheDepthBufferAreDrawnWhole) {
  // The device's depth buffer has the back buffer's 64 x 48; a 128 x 128
  // target still takes drawing everywhere (without depth).
  IDirect3DTexture9* target = nullptr;
  ASSERT_EQ(device->CreateTexture(128, 128, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                  D3DPOOL_DEFAULT, &target, nullptr),
            D3D_OK);
  IDirect3DSurface9 *back = nullptr, *level = nullptr;
  device->GetRenderTarget(0, &back);
  target->GetSurfaceLevel(0, &level);
  device->SetRenderTarget(0, level);
  device->SetRenderState(D3DRS_ZENABLE, TRUE);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff646464, 1.0f, 0);
  struct Vertex {
    float x, y, z, rhw;
    D3DCOLOR c;
  } quad[4] = {{100, 100, 0.5f, 1, 0xffff0000},
               {120, 100, 0.5f, 1, 0xffff0000},
               {100, 120, 0.5f, 1, 0xffff0000},
               {120, 120, 0.5f, 1, 0xffff0000}};
  device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]);
  d3d9_test::Frame f = d3d9_test::readSurface(level);
  EXPECT_EQ(f.at(110, 110), 0xffff0000u);
  EXPECT_EQ(f.at(90, 110), 0xff646464u);
  device->SetRenderTarget(0, back);
  level->Release();
  back->Release();
  target->Release();
}

TEST_F(ResourceTest, MipmappedRenderTargetsRegenerateTheirChain) {
  IDirect3DTexture9* target = nullptr;
  ASSERT_EQ(device->CreateTexture(32, 32, 1, D3DUSAGE_RENDERTARGET | D3DUSAGE_AUTOGENMIPMAP,
                                  D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &target, nullptr),
            D3D_OK);
  IDirect3DSurface9 *back = nullptr, *level = nullptr;
  device->GetRenderTarget(0, &back);
  target->GetSurfaceLevel(0, &level);
  device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_POINT);
  for (D3DCOLOR colour : {0xff0000ffu, 0xff00ff00u}) {
    device->SetRenderTarget(0, level);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, colour, 1.0f, 0);
    device->SetRenderTarget(0, back);
    // One pixel for 32 x 32 texels: the smallest level is sampled.
    drawTexture(target, 0, 0, 1, 1);
    EXPECT_EQ(frame().at(0, 0), colour);
  }
  level->Release();
  back->Release();
  target->Release();
}

TEST_F(ResourceTest, LevelsTheGpuWroteLockBackInEachFormat) {
  // A render-target texture cleared on the GPU, then locked: the memory
  // copy holds each texel in the format's own layout. 5- and 4-bit
  // channels are within one step of the colour.
  struct Case {
    D3DFORMAT format;
    int tolerance;
  } cases[] = {{D3DFMT_A8R8G8B8, 1}, {D3DFMT_X8R8G8B8, 1}, {D3DFMT_R5G6B5, 8},
               {D3DFMT_A1R5G5B5, 8}, {D3DFMT_X1R5G5B5, 8}, {D3DFMT_A4R4G4B4, 17}};
  const D3DCOLOR colour = 0xffc04020, corner = 0xff20e0a0;
  IDirect3DSurface9* back = nullptr;
  device->GetRenderTarget(0, &back);
  for (const Case& c : cases) {
    const d3d9::FormatInfo* info = d3d9::formatInfo(c.format);
    IDirect3DTexture9* target = nullptr;
    ASSERT_EQ(device->CreateTexture(8, 4, 1, D3DUSAGE_RENDERTARGET, c.format, D3DPOOL_DEFAULT,
                                    &target, nullptr),
              D3D_OK)
        << c.format;
    IDirect3DSurface9* level = nullptr;
    target->GetSurfaceLevel(0, &level);
    device->SetRenderTarget(0, level);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, colour, 1.0f, 0);
    D3DRECT r = {6, 2, 8, 4};
    device->Clear(1, &r, D3DCLEAR_TARGET, corner, 1.0f, 0);
    device->SetRenderTarget(0, back);
    D3DLOCKED_RECT locked;
    ASSERT_EQ(target->LockRect(0, &locked, nullptr, D3DLOCK_READONLY), D3D_OK);
    EXPECT_EQ(locked.Pitch, 8 * info->bytesPerPixel);
    auto texel = [&](int x, int y) {
      return d3d9::pixelToARGB(c.format, static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch +
                                             x * info->bytesPerPixel);
    };
    EXPECT_TRUE(colourNear(texel(0, 0), colour, c.tolerance)) << c.format;
    EXPECT_TRUE(colourNear(texel(5, 3), colour, c.tolerance)) << c.format;
    EXPECT_TRUE(colourNear(texel(7, 3), corner, c.tolerance)) << c.format;
    EXPECT_TRUE(colourNear(texel(6, 2), corner, c.tolerance)) << c.format;
    target->UnlockRect(0);
    // Written back through a lock and read on the GPU: the same texels.
    ASSERT_EQ(target->LockRect(0, &locked, nullptr, 0), D3D_OK);
    d3d9::pixelFromARGB(c.format, 0xff0000ff, static_cast<uint8_t*>(locked.pBits));
    target->UnlockRect(0);
    d3d9_test::Frame f = d3d9_test::readSurface(level);
    EXPECT_EQ(f.at(0, 0), 0xff0000ffu) << c.format;
    EXPECT_TRUE(colourNear(f.at(7, 3), corner, c.tolerance)) << c.format;
    level->Release();
    target->Release();
  }
  back->Release();
}

TEST_F(ResourceTest, CubeRenderTargetFacesTakeTheirOwnDrawing) {
  IDirect3DCubeTexture9* cube = nullptr;
  ASSERT_EQ(device->CreateCubeTexture(8, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT,
                                      &cube, nullptr),
            D3D_OK);
  IDirect3DSurface9* back = nullptr;
  device->GetRenderTarget(0, &back);
  auto faceColour = [](int face) { return 0xff000000u | DWORD(0x20 * (face + 1)) << 8; };
  for (int face = 0; face < 6; ++face) {
    IDirect3DSurface9* surface = nullptr;
    ASSERT_EQ(cube->GetCubeMapSurface(D3DCUBEMAP_FACES(face), 0, &surface), D3D_OK);
    ASSERT_EQ(device->SetRenderTarget(0, surface), D3D_OK);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, faceColour(face), 1.0f, 0);
    surface->Release();
  }
  device->SetRenderTarget(0, back);
  for (int face = 0; face < 6; ++face) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(cube->LockRect(D3DCUBEMAP_FACES(face), 0, &locked, nullptr, D3DLOCK_READONLY),
              D3D_OK);
    EXPECT_EQ(static_cast<uint32_t*>(locked.pBits)[9] | 0xff000000u, faceColour(face)) << face;
    cube->UnlockRect(D3DCUBEMAP_FACES(face), 0);
  }
  // Sampled along -x, the -x face shows.
  struct CubeVertex {
    float x, y, z, rhw, u, v, w;
  } v[4] = {{0, 0, 0.5f, 1, -1, 0, 0},
            {16, 0, 0.5f, 1, -1, 0, 0},
            {0, 16, 0.5f, 1, -1, 0, 0},
            {16, 16, 0.5f, 1, -1, 0, 0}};
  device->SetTexture(0, cube);
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE3(0));
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof v[0]), D3D_OK);
  device->SetTexture(0, nullptr);
  EXPECT_EQ(frame().at(8, 8), faceColour(D3DCUBEMAP_FACE_NEGATIVE_X));
  back->Release();
  cube->Release();
}

TEST_F(ResourceTest, SurfacesOfLevelsShareTheirTexturesCount) {
  IDirect3DTexture9* texture = nullptr;
  ASSERT_EQ(device->CreateTexture(8, 8, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr),
            D3D_OK);
  IDirect3DSurface9* level = nullptr;
  ASSERT_EQ(texture->GetSurfaceLevel(1, &level), D3D_OK);
  IDirect3DSurface9* same = nullptr;
  texture->GetSurfaceLevel(1, &same);
  EXPECT_EQ(same, level);  // one surface per level
  EXPECT_EQ(same->Release(), 2u);
  // The surface keeps the texture: its description and lock still work.
  EXPECT_EQ(texture->Release(), 1u);
  D3DSURFACE_DESC desc;
  ASSERT_EQ(level->GetDesc(&desc), D3D_OK);
  EXPECT_EQ(desc.Width, 4u);
  EXPECT_EQ(desc.Pool, D3DPOOL_MANAGED);
  D3DLOCKED_RECT locked;
  ASSERT_EQ(level->LockRect(&locked, nullptr, 0), D3D_OK);
  EXPECT_EQ(locked.Pitch, 16);
  // One lock at a time, and no unlock without a lock.
  EXPECT_EQ(level->LockRect(&locked, nullptr, 0), D3DERR_INVALIDCALL);
  EXPECT_EQ(level->UnlockRect(), D3D_OK);
  EXPECT_EQ(level->UnlockRect(), D3DERR_INVALIDCALL);
  IDirect3DSurface9* outside = reinterpret_cast<IDirect3DSurface9*>(1);
  EXPECT_EQ(texture->GetSurfaceLevel(4, &outside), D3DERR_INVALIDCALL);
  EXPECT_EQ(outside, nullptr);
  EXPECT_EQ(level->Release(), 0u);
}
