#include "testsupport/HeadlessDevice.h"

#include "core/DeviceGlobal.h"

HeadlessDevice::HeadlessDevice(UINT width, UINT height, DWORD behaviour, bool shared,
                               D3DFORMAT depthFormat, UINT presentationInterval)
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
  p.AutoDepthStencilFormat = depthFormat;
  p.PresentationInterval = presentationInterval;
  d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window_, behaviour, &p, &device);
  if (shared_) gDevice = device;
}

HeadlessDevice::~HeadlessDevice() {
  if (shared_) gDevice = nullptr;
  if (device) device->Release();
  if (d3d) d3d->Release();
}
