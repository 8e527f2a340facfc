// A device for benchmarks and fuzz targets: windowed, X8R8G8B8 with a
// 24-bit depth and stencil buffer, drawn offscreen where there is no
// display. With `shared` it is also the engine's gDevice while it lives.
#pragma once

#include "core/DeviceGlobal.h"
#include "platform/d3d9/D3D9.h"

class HeadlessDevice {
 public:
  HeadlessDevice(UINT width, UINT height, DWORD behaviour = D3DCREATE_HARDWARE_VERTEXPROCESSING,
                 bool shared = false)
      : shared_(shared) {
    d3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (!d3d) return;
    D3DPRESENT_PARAMETERS p{};
    p.BackBufferWidth = width;
    p.BackBufferHeight = height;
    p.BackBufferFormat = D3DFMT_X8R8G8B8;
    p.SwapEffect = D3DSWAPEFFECT_DISCARD;
    p.hDeviceWindow = &window_;
    p.Windowed = TRUE;
    p.EnableAutoDepthStencil = TRUE;
    p.AutoDepthStencilFormat = D3DFMT_D24S8;
    d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window_, behaviour, &p, &device);
    if (shared_) gDevice = device;
  }
  ~HeadlessDevice() {
    if (shared_) gDevice = nullptr;
    if (device) device->Release();
    if (d3d) d3d->Release();
  }
  HeadlessDevice(const HeadlessDevice&) = delete;
  HeadlessDevice& operator=(const HeadlessDevice&) = delete;

  IDirect3D9* d3d = nullptr;
  IDirect3DDevice9* device = nullptr;

 private:
  HWND__ window_{};
  bool shared_;
};
