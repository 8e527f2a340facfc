// The device and the keyboard on a real window: a virtual X server, an SDL
// window with its own GL context. Every test process starts headless, so
// WindowedDevice.UnderAVirtualDisplay runs this binary again under xvfb-run
// for the OnVirtualDisplay tests; those are left out of the CTest list, where
// they could only skip.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <GL/gl.h>
#include <SDL2/SDL.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/d3d9/D3D9.h"
#include "platform/win32/TestSeams.h"
#include "tests/virtual_display.h"

namespace {

// The window's framebuffer after a Present. Reading the back buffer after
// the swap relies on the system's swap copying (Mesa under Xvfb does).
uint32_t windowPixel(int x, int yFromTop, int windowHeight) {
  glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  glReadBuffer(GL_BACK);
  uint32_t pixel = 0;
  glReadPixels(x, windowHeight - 1 - yFromTop, 1, 1, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, &pixel);
  return pixel;
}

// Points the platform layer at the virtual display; false when not started
// by WindowedDevice.UnderAVirtualDisplay.
bool useVirtualDisplay() {
  const char* display = std::getenv("D3D9_TEST_DISPLAY");
  if (!display) return false;
  setenv("DISPLAY", display, 1);
  return true;
}

void pushKey(Uint32 type, SDL_Keycode key) {
  SDL_Event event{};
  event.type = type;
  event.key.keysym.sym = key;
  SDL_PushEvent(&event);
}

}  // namespace

TEST(OnVirtualDisplay, DevicePresentsIntoTheWindowUprightAndScaled) {
  if (!useVirtualDisplay()) GTEST_SKIP() << "started by WindowedDevice.UnderAVirtualDisplay";
  HWND window = CreateWindowExA(0, "Static", "", WS_VISIBLE | WS_SYSMENU, 0, 0, 800, 600, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(window->sdlWindow, nullptr);
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  D3DPRESENT_PARAMETERS p{};
  p.BackBufferWidth = 640;
  p.BackBufferHeight = 400;
  p.BackBufferFormat = D3DFMT_X8R8G8B8;
  p.SwapEffect = D3DSWAPEFFECT_DISCARD;
  p.hDeviceWindow = window;
  p.Windowed = TRUE;
  p.EnableAutoDepthStencil = TRUE;
  p.AutoDepthStencilFormat = D3DFMT_D16;
  p.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
  IDirect3DDevice9* device = nullptr;
  ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_HARDWARE_VERTEXPROCESSING, &p,
                              &device),
            D3D_OK);
  // A red band over the top fifth of the back buffer.
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  D3DRECT band = {0, 0, 640, 80};
  device->Clear(1, &band, D3DCLEAR_TARGET, 0xffff0000, 1.0f, 0);
  ASSERT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3D_OK);
  // Windowed: stretched over the 800 x 600 window, the right way up.
  EXPECT_EQ(windowPixel(400, 10, 600), 0xffff0000u);
  EXPECT_EQ(windowPixel(400, 300, 600), 0xff000000u);
  device->Release();

  // Full screen: the window covers the 1024 x 768 desktop and the image is
  // fitted with its aspect kept: 1024 x 640, with bars of 64 above and below.
  p.Windowed = FALSE;
  ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_HARDWARE_VERTEXPROCESSING, &p,
                              &device),
            D3D_OK);
  device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xff000000, 1.0f, 0);
  device->Clear(1, &band, D3DCLEAR_TARGET, 0xffff0000, 1.0f, 0);
  for (int i = 0; i < 3; ++i) {
    platformPumpEvents();  // as the main loop does between frames
    device->Present(nullptr, nullptr, nullptr, nullptr);
  }
  EXPECT_EQ(windowPixel(512, 32, 768), 0xff000000u);   // the bar
  EXPECT_EQ(windowPixel(512, 100, 768), 0xffff0000u);  // the band: 64 + 80 * 1.6 = 192
  EXPECT_EQ(windowPixel(512, 300, 768), 0xff000000u);
  device->Release();
  d3d->Release();
  DestroyWindow(window);
}

// A press and release of Escape that both arrive before the next test are
// still seen, once; closing the window counts as Escape; other keys do not.
TEST(OnVirtualDisplay, EscapePressedAndReleasedBetweenTestsIsSeenOnce) {
  if (!useVirtualDisplay()) GTEST_SKIP() << "started by WindowedDevice.UnderAVirtualDisplay";
  platform_test::reset();
  HWND window = CreateWindowExA(0, "Static", "", WS_VISIBLE | WS_SYSMENU, 0, 0, 800, 600, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(window->sdlWindow, nullptr);
  GetAsyncKeyState(VK_ESCAPE);  // whatever the window system sent so far

  pushKey(SDL_KEYDOWN, SDLK_ESCAPE);
  pushKey(SDL_KEYUP, SDLK_ESCAPE);
  EXPECT_NE(GetAsyncKeyState(VK_ESCAPE), 0);
  EXPECT_EQ(GetAsyncKeyState(VK_ESCAPE), 0);

  pushKey(SDL_KEYDOWN, SDLK_a);
  pushKey(SDL_KEYUP, SDLK_a);
  EXPECT_EQ(GetAsyncKeyState(VK_ESCAPE), 0);

  SDL_Event quit{};
  quit.type = SDL_QUIT;
  SDL_PushEvent(&quit);
  EXPECT_NE(GetAsyncKeyState(VK_ESCAPE), 0);
  EXPECT_EQ(GetAsyncKeyState(VK_ESCAPE), 0);
  DestroyWindow(window);
}

// xvfb is one of the packages the set-up installs: without it this fails
// rather than skips, so a missing install shows here first.
TEST(WindowedDevice, UnderAVirtualDisplay) {
  ASSERT_EQ(std::system("command -v xvfb-run >/dev/null 2>&1"), 0) << "xvfb-run is not installed";
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const VirtualDisplayRun run =
      runUnderVirtualDisplay(self, "D3D9_TEST_DISPLAY", "OnVirtualDisplay.*", "virtual-display-");
  ASSERT_TRUE(WIFEXITED(run.status)) << run.log;
  EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.log;
  // Both ran: neither skipped for want of the display.
  EXPECT_NE(run.log.find("[  PASSED  ] 2 tests."), std::string::npos) << run.log;
}
