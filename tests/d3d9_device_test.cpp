// The device shell: creation, clears, presenting, read-back, the states it
// keeps and the call log.
#include <cstring>

#include "tests/d3d9_fixture.h"

using d3d9_testing::colourNear;
using d3d9_testing::DeviceFixture;

namespace {

DWORD bitsOf(float f) {
  DWORD d;
  std::memcpy(&d, &f, 4);
  return d;
}

D3DMATRIX identity() {
  D3DMATRIX m{};
  m._11 = m._22 = m._33 = m._44 = 1.0f;
  return m;
}

// The 103 render-state ids the state undo stacks capture.
const DWORD kCaptureList[] = {
    7,   8,   9,   14,  15,  16,  19,  20,  22,  23,  24,  25,  26,  27,  28,  29,  34,  35,
    36,  37,  38,  48,  52,  53,  54,  55,  56,  57,  58,  59,  60,  128, 129, 130, 131, 132,
    133, 134, 135, 136, 137, 139, 140, 141, 142, 143, 145, 146, 147, 148, 151, 152, 154, 155,
    156, 157, 158, 159, 160, 161, 162, 163, 165, 166, 167, 168, 170, 171, 172, 173, 174, 175,
    176, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191, 192, 193, 194,
    195, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209};

}  // namespace

TEST(Direct3DCreate, RefusesAnotherSdkVersion) {
  EXPECT_EQ(Direct3DCreate9(31), nullptr);
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  ASSERT_NE(d3d, nullptr);
  EXPECT_EQ(d3d->Release(), 0u);
}

TEST(Direct3DCreate, RefusesUnusablePresentationParameters) {
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  HWND__ window;
  struct Case {
    UINT width, height;
    D3DFORMAT format, depth;
    DWORD flags;
  } cases[] = {
      {64, 48, D3DFMT_DXT1, D3DFMT_D16, D3DCREATE_HARDWARE_VERTEXPROCESSING},
      {64, 48, D3DFMT_X8R8G8B8, D3DFMT_X8R8G8B8, D3DCREATE_HARDWARE_VERTEXPROCESSING},
      {64, 48, D3DFMT_X8R8G8B8, D3DFMT_D16, 0},
      {0, 48, D3DFMT_X8R8G8B8, D3DFMT_D16, D3DCREATE_SOFTWARE_VERTEXPROCESSING},
  };
  for (const Case& c : cases) {
    D3DPRESENT_PARAMETERS p = d3d9_testing::presentParameters(c.width, c.height, c.format, &window);
    p.AutoDepthStencilFormat = c.depth;
    p.Windowed = FALSE;  // no window size to fall back on
    IDirect3DDevice9* device = reinterpret_cast<IDirect3DDevice9*>(1);
    EXPECT_TRUE(FAILED(d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window, c.flags, &p, &device)));
    EXPECT_EQ(device, nullptr);
  }
  d3d->Release();
}

TEST(Direct3DCreate, SoftwareVertexProcessingAndFullScreenHeadless) {
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  HWND__ window;
  D3DPRESENT_PARAMETERS p = d3d9_testing::presentParameters(32, 16, D3DFMT_R5G6B5, &window);
  p.Windowed = FALSE;
  p.PresentationInterval = D3DPRESENT_INTERVAL_DEFAULT;
  IDirect3DDevice9* device = nullptr;
  ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &p,
                              &device),
            D3D_OK);
  EXPECT_EQ(device->GetSoftwareVertexProcessing(), TRUE);
  IDirect3DSurface9* back = nullptr;
  ASSERT_EQ(device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back), D3D_OK);
  D3DSURFACE_DESC desc;
  back->GetDesc(&desc);
  EXPECT_EQ(desc.Width, 32u);
  EXPECT_EQ(desc.Height, 16u);
  EXPECT_EQ(desc.Format, D3DFMT_R5G6B5);
  back->Release();
  EXPECT_EQ(device->Release(), 0u);
  d3d->Release();
}

TEST_F(DeviceFixture, ClearPresentAndReadBack) {
  d3d9_test::setFrameCaptureEnabled(true);
  ASSERT_EQ(device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff336699, 1.0f, 0),
            D3D_OK);
  ASSERT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3D_OK);
  const d3d9_test::Frame& shown = d3d9_test::lastPresentedFrame();
  ASSERT_EQ(shown.width, int(kWidth));
  ASSERT_EQ(shown.height, int(kHeight));
  EXPECT_EQ(shown.at(0, 0), 0xff336699u);
  EXPECT_EQ(shown.at(kWidth - 1, kHeight - 1), 0xff336699u);
  EXPECT_EQ(d3d9_test::presentCount(), 1);
  // X8R8G8B8 has no alpha to keep: a transparent clear still reads opaque.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0x00102030, 1.0f, 0);
  EXPECT_EQ(frame().at(5, 5), 0xff102030u);
}

TEST_F(DeviceFixture, ClearKeepsToViewportAndRectangles) {
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  D3DVIEWPORT9 vp = {8, 4, 16, 10, 0.0f, 1.0f};
  ASSERT_EQ(device->SetViewport(&vp), D3D_OK);
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xffff0000, 1.0f, 0);
  d3d9_test::Frame f = frame();
  EXPECT_EQ(f.at(8, 4), 0xffff0000u);
  EXPECT_EQ(f.at(23, 13), 0xffff0000u);
  EXPECT_EQ(f.at(7, 4), 0xff000000u);
  EXPECT_EQ(f.at(24, 13), 0xff000000u);
  EXPECT_EQ(f.at(8, 14), 0xff000000u);
  EXPECT_EQ(f.at(8, 3), 0xff000000u);

  // Rectangles are clipped to the viewport as well.
  D3DRECT rects[] = {{0, 0, 10, 6}, {20, 10, 40, 40}};
  device->Clear(2, rects, D3DCLEAR_TARGET, 0xff00ff00, 1.0f, 0);
  f = frame();
  EXPECT_EQ(f.at(9, 5), 0xff00ff00u);
  EXPECT_EQ(f.at(10, 5), 0xffff0000u);
  EXPECT_EQ(f.at(23, 13), 0xff00ff00u);
  EXPECT_EQ(f.at(2, 2), 0xff000000u);
  EXPECT_EQ(f.at(30, 20), 0xff000000u);
}

TEST_F(DeviceFixture, ViewportDefaultsToTheBackBufferAndRefusesWhatDoesNotFit) {
  D3DVIEWPORT9 vp{};
  ASSERT_EQ(device->GetViewport(&vp), D3D_OK);
  EXPECT_EQ(vp.X, 0u);
  EXPECT_EQ(vp.Y, 0u);
  EXPECT_EQ(vp.Width, kWidth);
  EXPECT_EQ(vp.Height, kHeight);
  EXPECT_EQ(vp.MinZ, 0.0f);
  EXPECT_EQ(vp.MaxZ, 1.0f);
  D3DVIEWPORT9 tooWide = {10, 0, kWidth, kHeight, 0.0f, 1.0f};
  EXPECT_EQ(device->SetViewport(&tooWide), D3DERR_INVALIDCALL);
  D3DVIEWPORT9 after{};
  device->GetViewport(&after);
  EXPECT_EQ(after.Width, kWidth);
}

TEST(Device16Bit, BackBufferHasOnlySixteenBits) {
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  HWND__ window;
  D3DPRESENT_PARAMETERS p = d3d9_testing::presentParameters(16, 16, D3DFMT_R5G6B5, &window);
  IDirect3DDevice9* device = nullptr;
  ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window, D3DCREATE_HARDWARE_VERTEXPROCESSING, &p,
                              &device),
            D3D_OK);
  // Neighbouring 8-bit values fall into one 5- or 6-bit band.
  uint32_t seen[2];
  const D3DCOLOR colours[2] = {0xff808080, 0xff818181};
  for (int i = 0; i < 2; ++i) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, colours[i], 1.0f, 0);
    seen[i] = d3d9_test::readRenderTarget(device).at(3, 3);
  }
  EXPECT_EQ(seen[0], seen[1]);
  // Every channel read back is a 5-bit (red, blue) or 6-bit (green) value.
  for (D3DCOLOR c : {0xff123456u, 0xffabcdefu, 0xff0f0f0fu}) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET, c, 1.0f, 0);
    uint32_t got = d3d9_test::readRenderTarget(device).at(1, 1);
    int r = d3d9_testing::channel(got, 16), g = d3d9_testing::channel(got, 8),
        b = d3d9_testing::channel(got, 0);
    EXPECT_EQ(r, ((r >> 3) << 3) | (r >> 5)) << std::hex << got;
    EXPECT_EQ(g, ((g >> 2) << 2) | (g >> 6)) << std::hex << got;
    EXPECT_EQ(b, ((b >> 3) << 3) | (b >> 5)) << std::hex << got;
    EXPECT_TRUE(colourNear(got, c, 8));
  }
  // A flat colour drawn between two bands comes out as one band everywhere:
  // no dithering unless DITHERENABLE asks for it.
  struct Vertex {
    float x, y, z, rhw;
    D3DCOLOR c;
  } quad[4] = {{0, 0, 0.5f, 1, 0xff848484},
               {16, 0, 0.5f, 1, 0xff848484},
               {0, 16, 0.5f, 1, 0xff848484},
               {16, 16, 0.5f, 1, 0xff848484}};
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE);
  device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]);
  d3d9_test::Frame flat = d3d9_test::readRenderTarget(device);
  for (uint32_t p : flat.pixels) ASSERT_EQ(p, flat.pixels[0]);
  device->Release();
  d3d->Release();
}

TEST_F(DeviceFixture, RenderStatesStartAtDirect3DDefaults) {
  struct Case {
    D3DRENDERSTATETYPE id;
    DWORD value;
  } cases[] = {
      {D3DRS_ZENABLE, D3DZB_TRUE},  // the device has an automatic depth buffer
      {D3DRS_FILLMODE, D3DFILL_SOLID},
      {D3DRS_SHADEMODE, D3DSHADE_GOURAUD},
      {D3DRS_ZWRITEENABLE, TRUE},
      {D3DRS_SRCBLEND, D3DBLEND_ONE},
      {D3DRS_DESTBLEND, D3DBLEND_ZERO},
      {D3DRS_CULLMODE, D3DCULL_CCW},
      {D3DRS_ZFUNC, D3DCMP_LESSEQUAL},
      {D3DRS_ALPHAFUNC, D3DCMP_ALWAYS},
      {D3DRS_FOGEND, bitsOf(1.0f)},
      {D3DRS_FOGDENSITY, bitsOf(1.0f)},
      {D3DRS_STENCILMASK, 0xffffffff},
      {D3DRS_TEXTUREFACTOR, 0xffffffff},
      {D3DRS_CLIPPING, TRUE},
      {D3DRS_LIGHTING, TRUE},
      {D3DRS_AMBIENT, 0},
      {D3DRS_COLORVERTEX, TRUE},
      {D3DRS_LOCALVIEWER, TRUE},
      {D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR1},
      {D3DRS_SPECULARMATERIALSOURCE, D3DMCS_COLOR2},
      {D3DRS_POINTSIZE_MAX, bitsOf(64.0f)},
      {D3DRS_COLORWRITEENABLE, 0xf},
      {D3DRS_BLENDOP, D3DBLENDOP_ADD},
      {D3DRS_MULTISAMPLEANTIALIAS, TRUE},
      {D3DRS_ADAPTIVETESS_Z, bitsOf(1.0f)},
      {D3DRS_BLENDFACTOR, 0xffffffff},
      {D3DRS_SRCBLENDALPHA, D3DBLEND_ONE},
      {D3DRS_DESTBLENDALPHA, D3DBLEND_ZERO},
  };
  for (const Case& c : cases) {
    DWORD value = 0xdeadbeef;
    EXPECT_EQ(device->GetRenderState(c.id, &value), D3D_OK) << c.id;
    EXPECT_EQ(value, c.value) << "state " << c.id;
  }
}

TEST_F(DeviceFixture, EveryCapturedRenderStateKeepsTheValueSet) {
  for (DWORD id : kCaptureList) {
    DWORD value = 0x1000 + id;
    ASSERT_EQ(device->SetRenderState(D3DRENDERSTATETYPE(id), value), D3D_OK) << id;
  }
  for (DWORD id : kCaptureList) {
    DWORD value = 0;
    ASSERT_EQ(device->GetRenderState(D3DRENDERSTATETYPE(id), &value), D3D_OK) << id;
    EXPECT_EQ(value, 0x1000 + id);
  }
  // Ids Direct3D does not have are refused.
  DWORD value = 7;
  EXPECT_EQ(device->SetRenderState(D3DRENDERSTATETYPE(10), 1), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->GetRenderState(D3DRENDERSTATETYPE(210), &value), D3DERR_INVALIDCALL);
}

TEST_F(DeviceFixture, TextureStageStatesStartAtDirect3DDefaultsAndRoundTrip) {
  DWORD v = 0;
  auto get = [&](DWORD stage, D3DTEXTURESTAGESTATETYPE type) {
    v = 0xdeadbeef;
    EXPECT_EQ(device->GetTextureStageState(stage, type, &v), D3D_OK);
    return v;
  };
  EXPECT_EQ(get(0, D3DTSS_COLOROP), DWORD(D3DTOP_MODULATE));
  EXPECT_EQ(get(0, D3DTSS_ALPHAOP), DWORD(D3DTOP_SELECTARG1));
  EXPECT_EQ(get(1, D3DTSS_COLOROP), DWORD(D3DTOP_DISABLE));
  EXPECT_EQ(get(7, D3DTSS_ALPHAOP), DWORD(D3DTOP_DISABLE));
  EXPECT_EQ(get(3, D3DTSS_COLORARG1), DWORD(D3DTA_TEXTURE));
  EXPECT_EQ(get(3, D3DTSS_COLORARG2), DWORD(D3DTA_CURRENT));
  EXPECT_EQ(get(5, D3DTSS_TEXCOORDINDEX), 5u);
  EXPECT_EQ(get(2, D3DTSS_RESULTARG), DWORD(D3DTA_CURRENT));
  EXPECT_EQ(get(2, D3DTSS_TEXTURETRANSFORMFLAGS), DWORD(D3DTTFF_DISABLE));

  const D3DTEXTURESTAGESTATETYPE ids[] = {D3DTSS_COLOROP,        D3DTSS_COLORARG1,
                                          D3DTSS_COLORARG2,      D3DTSS_ALPHAOP,
                                          D3DTSS_ALPHAARG1,      D3DTSS_ALPHAARG2,
                                          D3DTSS_BUMPENVMAT00,   D3DTSS_BUMPENVMAT01,
                                          D3DTSS_BUMPENVMAT10,   D3DTSS_BUMPENVMAT11,
                                          D3DTSS_TEXCOORDINDEX,  D3DTSS_BUMPENVLSCALE,
                                          D3DTSS_BUMPENVLOFFSET, D3DTSS_TEXTURETRANSFORMFLAGS,
                                          D3DTSS_COLORARG0,      D3DTSS_ALPHAARG0,
                                          D3DTSS_RESULTARG,      D3DTSS_CONSTANT};
  for (DWORD stage = 0; stage < 8; ++stage)
    for (auto id : ids)
      ASSERT_EQ(device->SetTextureStageState(stage, id, stage * 100 + id), D3D_OK);
  for (DWORD stage = 0; stage < 8; ++stage)
    for (auto id : ids) EXPECT_EQ(get(stage, id), stage * 100 + id);
  EXPECT_EQ(device->SetTextureStageState(8, D3DTSS_COLOROP, 1), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->SetTextureStageState(0, D3DTEXTURESTAGESTATETYPE(12), 1), D3DERR_INVALIDCALL);
}

TEST_F(DeviceFixture, SamplerStatesAndTransformsRoundTrip) {
  DWORD v = 0;
  ASSERT_EQ(device->GetSamplerState(0, D3DSAMP_MINFILTER, &v), D3D_OK);
  EXPECT_EQ(v, DWORD(D3DTEXF_POINT));
  device->GetSamplerState(3, D3DSAMP_ADDRESSU, &v);
  EXPECT_EQ(v, DWORD(D3DTADDRESS_WRAP));
  device->SetSamplerState(3, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
  device->GetSamplerState(3, D3DSAMP_MAGFILTER, &v);
  EXPECT_EQ(v, DWORD(D3DTEXF_LINEAR));

  D3DMATRIX m{};
  for (int i = 0; i < 16; ++i) m.m[i / 4][i % 4] = float(i + 1);
  const D3DTRANSFORMSTATETYPE ids[] = {
      D3DTS_VIEW,  D3DTS_PROJECTION, D3DTS_TEXTURE0,        D3DTS_TEXTURE7,
      D3DTS_WORLD, D3DTS_WORLD3,     D3DTS_WORLDMATRIX(255)};
  for (auto id : ids) {
    D3DMATRIX got{};
    ASSERT_EQ(device->GetTransform(id, &got), D3D_OK);
    EXPECT_EQ(got._11, 1.0f);  // identity at first
    EXPECT_EQ(got._12, 0.0f);
    ASSERT_EQ(device->SetTransform(id, &m), D3D_OK);
    device->GetTransform(id, &got);
    EXPECT_EQ(std::memcmp(&got, &m, sizeof m), 0);
  }
  EXPECT_EQ(device->SetTransform(D3DTRANSFORMSTATETYPE(1), &m), D3DERR_INVALIDCALL);
}

TEST_F(DeviceFixture, LightsAndMaterialRoundTrip) {
  BOOL on = 5;
  EXPECT_EQ(device->GetLightEnable(0, &on), D3DERR_INVALIDCALL);
  // Enabling a light that was never set makes Direct3D's default light.
  ASSERT_EQ(device->LightEnable(2, TRUE), D3D_OK);
  D3DLIGHT9 light{};
  ASSERT_EQ(device->GetLight(2, &light), D3D_OK);
  EXPECT_EQ(light.Type, D3DLIGHT_DIRECTIONAL);
  EXPECT_EQ(light.Diffuse.r, 1.0f);
  EXPECT_EQ(light.Direction.z, 1.0f);
  device->GetLightEnable(2, &on);
  EXPECT_NE(on, FALSE);
  // An index far out of range is simply another light.
  EXPECT_EQ(device->LightEnable(0xffffffff, FALSE), D3D_OK);

  D3DMATERIAL9 material{};
  material.Diffuse = {0.5f, 0.25f, 1.0f, 1.0f};
  material.Power = 12.0f;
  device->SetMaterial(&material);
  D3DMATERIAL9 got{};
  device->GetMaterial(&got);
  EXPECT_EQ(std::memcmp(&got, &material, sizeof got), 0);
}

TEST_F(DeviceFixture, CallLogRecordsTheFrameInOrder) {
  d3d9_test::setCallLogEnabled(true);
  device->BeginScene();
  device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 1.0f, 0);
  device->EndScene();
  device->Present(nullptr, nullptr, nullptr, nullptr);
  d3d9_test::setCallLogEnabled(false);
  device->BeginScene();  // not logged any more
  const std::vector<std::string> expected = {"BeginScene()", "SetRenderState(22, 1)",
                                             "Clear(0, null, 3, 0x00000000, 1, 0)", "EndScene()",
                                             "Present()"};
  EXPECT_EQ(d3d9_test::callLog(), expected);
}

TEST_F(DeviceFixture, ScenesDoNotNest) {
  EXPECT_EQ(device->EndScene(), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->BeginScene(), D3D_OK);
  EXPECT_EQ(device->BeginScene(), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->EndScene(), D3D_OK);
}

TEST(DeviceInterface, DefaultBodiesRefuseAndTouchNothing) {
  // A test double that overrides nothing: every call is a harmless refusal.
  struct Bare : IDirect3DDevice9 {
  } bare;
  DWORD value = 5;
  EXPECT_EQ(bare.GetRenderState(D3DRS_ZENABLE, &value), D3DERR_INVALIDCALL);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(bare.SetRenderState(D3DRS_ZENABLE, 1), D3DERR_INVALIDCALL);
  EXPECT_EQ(bare.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0), D3DERR_INVALIDCALL);
  IDirect3DSurface9* surface = reinterpret_cast<IDirect3DSurface9*>(1);
  EXPECT_EQ(bare.GetRenderTarget(0, &surface), D3DERR_INVALIDCALL);
  EXPECT_EQ(surface, nullptr);
}

TEST_F(DeviceFixture, BindingsAnswerBackWithAReferenceEach) {
  // FVF, stream source, indices, render target and depth surface come back
  // as set; every interface handed out carries a reference of its own.
  device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE);
  DWORD fvf = 0;
  ASSERT_EQ(device->GetFVF(&fvf), D3D_OK);
  EXPECT_EQ(fvf, DWORD(D3DFVF_XYZRHW | D3DFVF_DIFFUSE));

  IDirect3DVertexBuffer9* vb = nullptr;
  ASSERT_EQ(device->CreateVertexBuffer(64, D3DUSAGE_WRITEONLY, 0, D3DPOOL_DEFAULT, &vb, nullptr),
            D3D_OK);
  IDirect3DIndexBuffer9* ib = nullptr;
  ASSERT_EQ(device->CreateIndexBuffer(12, 0, D3DFMT_INDEX16, D3DPOOL_MANAGED, &ib, nullptr),
            D3D_OK);
  ASSERT_EQ(device->SetStreamSource(0, vb, 8, 20), D3D_OK);
  ASSERT_EQ(device->SetIndices(ib), D3D_OK);
  IDirect3DVertexBuffer9* gotVB = nullptr;
  UINT offset = 0, stride = 0;
  ASSERT_EQ(device->GetStreamSource(0, &gotVB, &offset, &stride), D3D_OK);
  EXPECT_EQ(gotVB, vb);
  EXPECT_EQ(offset, 8u);
  EXPECT_EQ(stride, 20u);
  EXPECT_EQ(gotVB->Release(), 1u);  // the caller's own is left
  IDirect3DIndexBuffer9* gotIB = nullptr;
  ASSERT_EQ(device->GetIndices(&gotIB), D3D_OK);
  EXPECT_EQ(gotIB, ib);
  EXPECT_EQ(gotIB->Release(), 1u);
  EXPECT_EQ(device->SetStreamSource(1, vb, 0, 20), D3DERR_INVALIDCALL);

  // A draw from memory leaves no stream source behind.
  struct {
    float x, y, z, rhw;
    D3DCOLOR c;
  } point = {1, 1, 0.5f, 1, 0xffffffff};
  ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_POINTLIST, 1, &point, sizeof point), D3D_OK);
  ASSERT_EQ(device->GetStreamSource(0, &gotVB, &offset, &stride), D3D_OK);
  EXPECT_EQ(gotVB, nullptr);
  EXPECT_EQ(stride, 0u);
  EXPECT_EQ(vb->Release(), 0u);
  device->SetIndices(nullptr);
  ASSERT_EQ(device->GetIndices(&gotIB), D3D_OK);
  EXPECT_EQ(gotIB, nullptr);
  EXPECT_EQ(ib->Release(), 0u);

  // The depth surface: the automatic one, none, then back again.
  IDirect3DSurface9* depth = nullptr;
  ASSERT_EQ(device->GetDepthStencilSurface(&depth), D3D_OK);
  ASSERT_NE(depth, nullptr);
  ASSERT_EQ(device->SetDepthStencilSurface(nullptr), D3D_OK);
  IDirect3DSurface9* none = reinterpret_cast<IDirect3DSurface9*>(1);
  EXPECT_EQ(device->GetDepthStencilSurface(&none), D3DERR_NOTFOUND);
  EXPECT_EQ(none, nullptr);
  // Without a depth surface only the colour can be cleared.
  EXPECT_EQ(device->Clear(0, nullptr, D3DCLEAR_ZBUFFER, 0, 1.0f, 0), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0), D3D_OK);
  IDirect3DSurface9* back = nullptr;
  device->GetRenderTarget(0, &back);
  EXPECT_EQ(device->SetDepthStencilSurface(back), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->SetRenderTarget(0, depth), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->SetRenderTarget(0, nullptr), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->SetRenderTarget(1, back), D3DERR_INVALIDCALL);
  ASSERT_EQ(device->SetDepthStencilSurface(depth), D3D_OK);
  IDirect3DSurface9* again = nullptr;
  ASSERT_EQ(device->GetDepthStencilSurface(&again), D3D_OK);
  EXPECT_EQ(again, depth);
  again->Release();
  depth->Release();
  back->Release();
}

TEST_F(DeviceFixture, StateCallsWithoutUsableArgumentsChangeNothing) {
  D3DMATERIAL9 material{};
  material.Diffuse = {0.25f, 0.5f, 0.75f, 1.0f};
  device->SetMaterial(&material);
  // A null material is refused and the current one stays.
  EXPECT_EQ(device->SetMaterial(nullptr), D3DERR_INVALIDCALL);
  D3DMATERIAL9 got{};
  device->GetMaterial(&got);
  EXPECT_EQ(got.Diffuse.g, 0.5f);
  // Light index -1 as the scripts pass it for a light never bound.
  ASSERT_EQ(device->LightEnable(DWORD(-1), TRUE), D3D_OK);
  BOOL on = FALSE;
  ASSERT_EQ(device->GetLightEnable(DWORD(-1), &on), D3D_OK);
  EXPECT_NE(on, FALSE);
  EXPECT_EQ(device->LightEnable(DWORD(-1), FALSE), D3D_OK);
  D3DLIGHT9 bad{};
  bad.Type = D3DLIGHTTYPE(0);
  EXPECT_EQ(device->SetLight(0, &bad), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->SetLight(0, nullptr), D3DERR_INVALIDCALL);

  // MultiplyTransform puts the given matrix first: scale then translate.
  D3DMATRIX translate = identity(), scale = identity();
  translate._41 = 5.0f;
  scale._11 = 2.0f;
  device->SetTransform(D3DTS_WORLD, &translate);
  ASSERT_EQ(device->MultiplyTransform(D3DTS_WORLD, &scale), D3D_OK);
  D3DMATRIX world{};
  device->GetTransform(D3DTS_WORLD, &world);
  EXPECT_EQ(world._11, 2.0f);
  EXPECT_EQ(world._41, 5.0f);  // not 10: the translation comes after
  EXPECT_EQ(device->SetTransform(D3DTS_VIEW, nullptr), D3DERR_INVALIDCALL);

  RECT scissor = {3, 4, 20, 30};
  ASSERT_EQ(device->SetScissorRect(&scissor), D3D_OK);
  RECT back{};
  device->GetScissorRect(&back);
  EXPECT_EQ(std::memcmp(&back, &scissor, sizeof back), 0);

  // Only a device made for mixed vertex processing switches; ours was made
  // for hardware processing and stays so.
  EXPECT_EQ(device->SetSoftwareVertexProcessing(TRUE), D3DERR_INVALIDCALL);
  EXPECT_EQ(device->GetSoftwareVertexProcessing(), FALSE);
  D3DCAPS9 caps{};
  ASSERT_EQ(device->GetDeviceCaps(&caps), D3D_OK);
  EXPECT_EQ(caps.MaxVertexBlendMatrices, 4u);
  EXPECT_GE(caps.MaxSimultaneousTextures, 8u);
  EXPECT_GE(caps.MaxActiveLights, 8u);
}

TEST(DeviceMixedProcessing, SwitchesBetweenHardwareAndSoftware) {
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  HWND__ window;
  D3DPRESENT_PARAMETERS p = d3d9_testing::presentParameters(16, 16, D3DFMT_X8R8G8B8, &window);
  IDirect3DDevice9* device = nullptr;
  ASSERT_EQ(
      d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window, D3DCREATE_MIXED_VERTEXPROCESSING, &p, &device),
      D3D_OK);
  EXPECT_EQ(device->GetSoftwareVertexProcessing(), FALSE);
  EXPECT_EQ(device->SetSoftwareVertexProcessing(TRUE), D3D_OK);
  EXPECT_EQ(device->GetSoftwareVertexProcessing(), TRUE);
  EXPECT_EQ(device->SetSoftwareVertexProcessing(FALSE), D3D_OK);
  EXPECT_EQ(device->GetSoftwareVertexProcessing(), FALSE);
  device->Release();
  d3d->Release();
}
