// A device for tests, benchmarks and fuzz targets: windowed, X8R8G8B8 with
// a depth buffer (24-bit depth and stencil unless asked otherwise), drawn
// offscreen where there is no display. With `shared` it is also the
// engine's gDevice while it lives.
#pragma once

#include "platform/d3d9/D3D9.h"

class HeadlessDevice {
 public:
  HeadlessDevice(UINT width, UINT height, DWORD behaviour = D3DCREATE_HARDWARE_VERTEXPROCESSING,
                 bool shared = false, D3DFORMAT depthFormat = D3DFMT_D24S8,
                 UINT presentationInterval = D3DPRESENT_INTERVAL_DEFAULT);
  ~HeadlessDevice();
  HeadlessDevice(const HeadlessDevice&) = delete;
  HeadlessDevice& operator=(const HeadlessDevice&) = delete;

  IDirect3D9* d3d = nullptr;
  IDirect3DDevice9* device = nullptr;

 private:
  HWND__ window_{};
  bool shared_;
};
