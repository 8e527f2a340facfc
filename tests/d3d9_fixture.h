// A headless device for the renderer's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/D3D9TestSeams.h"

namespace d3d9_testing {

inline D3DPRESENT_PARAMETERS presentParameters(UINT width, UINT height, D3DFORMAT format,
                                               HWND window) {
  D3DPRESENT_PARAMETERS p{};
  p.BackBufferWidth = width;
  p.BackBufferHeight = height;
  p.BackBufferFormat = format;
  p.BackBufferCount = 0;
  p.MultiSampleType = D3DMULTISAMPLE_NONE;
  p.SwapEffect = D3DSWAPEFFECT_DISCARD;
  p.hDeviceWindow = window;
  p.Windowed = TRUE;
  p.EnableAutoDepthStencil = TRUE;
  p.AutoDepthStencilFormat = D3DFMT_D16;
  p.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
  return p;
}

// Channels of an ARGB colour.
inline int channel(uint32_t argb, int shift) { return int((argb >> shift) & 0xff); }

// True when every channel of `actual` is within `tolerance` of `expected`.
inline ::testing::AssertionResult colourNear(uint32_t actual, uint32_t expected, int tolerance) {
  for (int shift = 0; shift < 32; shift += 8)
    if (std::abs(channel(actual, shift) - channel(expected, shift)) > tolerance) {
      // One stream: the assertion's own << takes each value apart and would
      // lose the hexadecimal setting.
      std::ostringstream text;
      text << std::hex << "0x" << actual << " is not within " << std::dec << tolerance << " of 0x"
           << std::hex << expected;
      return ::testing::AssertionFailure() << text.str();
    }
  return ::testing::AssertionSuccess();
}

class DeviceFixture : public ::testing::Test {
 protected:
  static constexpr UINT kWidth = 64, kHeight = 48;

  void SetUp() override { makeDevice(kWidth, kHeight, D3DFMT_X8R8G8B8); }

  void makeDevice(UINT width, UINT height, D3DFORMAT format) {
    release();
    d3d9_test::reset();
    direct3d = Direct3DCreate9(D3D_SDK_VERSION);
    ASSERT_NE(direct3d, nullptr);
    D3DPRESENT_PARAMETERS p = presentParameters(width, height, format, &window);
    ASSERT_EQ(direct3d->CreateDevice(0, D3DDEVTYPE_HAL, &window,
                                     D3DCREATE_HARDWARE_VERTEXPROCESSING, &p, &device),
              D3D_OK);
    ASSERT_NE(device, nullptr);
  }

  void release() {
    if (device) device->Release();
    if (direct3d) direct3d->Release();
    device = nullptr;
    direct3d = nullptr;
  }

  void TearDown() override {
    release();
    d3d9_test::reset();
  }

  d3d9_test::Frame frame() { return d3d9_test::readRenderTarget(device); }

  HWND__ window;  // no SDL window: headless
  IDirect3D9* direct3d = nullptr;
  IDirect3DDevice9* device = nullptr;
};

}  // namespace d3d9_testing
