// The factory object.
#include <SDL2/SDL.h>

#include <string>

#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/Device.h"
#include "platform/win32/LogSink.h"

namespace {

class Direct3D final : public IDirect3D9 {
 public:
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }

  UINT GetAdapterCount() override { return 1; }

  HRESULT GetAdapterDisplayMode(UINT adapter, D3DDISPLAYMODE* mode) override {
    if (adapter != 0 || !mode) return D3DERR_INVALIDCALL;
    mode->Width = 1024;
    mode->Height = 768;
    mode->RefreshRate = 60;
    mode->Format = D3DFMT_X8R8G8B8;
    SDL_DisplayMode desktop;
    if (!platformHeadless() && SDL_GetDesktopDisplayMode(0, &desktop) == 0) {
      mode->Width = UINT(desktop.w);
      mode->Height = UINT(desktop.h);
      mode->RefreshRate = UINT(desktop.refresh_rate);
    }
    return D3D_OK;
  }

  HRESULT CreateDevice(UINT adapter, D3DDEVTYPE type, HWND focusWindow, DWORD behaviourFlags,
                       D3DPRESENT_PARAMETERS* parameters, IDirect3DDevice9** out) override {
    d3d9::logCall("CreateDevice", adapter, type, focusWindow, behaviourFlags, parameters);
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (parameters)
      d3d9::recordDeviceCreation({adapter, DWORD(type), focusWindow, behaviourFlags, *parameters});
    if (d3d9::gFailDeviceCreations > 0) {
      --d3d9::gFailDeviceCreations;
      return d3d9::gFailDeviceCreationResult;
    }
    if (adapter != 0 || !parameters || (type != D3DDEVTYPE_HAL && type != D3DDEVTYPE_REF))
      return D3DERR_INVALIDCALL;
    std::string error;
    d3d9::Device* device =
        d3d9::Device::create(this, focusWindow, behaviourFlags, *parameters, error);
    if (!device) {
      platformLog(("Direct3D device: " + error).c_str());
      return D3DERR_NOTAVAILABLE;
    }
    *out = device;
    return D3D_OK;
  }

 private:
  ~Direct3D() override = default;
  ULONG references = 1;
};

}  // namespace

IDirect3D9* Direct3DCreate9(UINT sdkVersion) {
  if (sdkVersion != D3D_SDK_VERSION || d3d9::gFailDirect3DCreate) return nullptr;
  return new Direct3D;
}
