// Feeds the image readers arbitrary bytes as a texture file and as a cube
// map: DDS headers with any sizes, level counts and pixel formats, and
// whatever the image decoder gets. A file that does not hold what its
// header claims must be refused without reading past the bytes given.
#include <cstddef>
#include <cstdint>

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXTexture.h"

namespace {

struct Session {
  IDirect3D9* d3d = nullptr;
  IDirect3DDevice9* device = nullptr;
  HWND__ window;
  Session() {
    d3d = Direct3DCreate9(D3D_SDK_VERSION);
    D3DPRESENT_PARAMETERS p{};
    p.BackBufferWidth = 16;
    p.BackBufferHeight = 16;
    p.BackBufferFormat = D3DFMT_X8R8G8B8;
    p.SwapEffect = D3DSWAPEFFECT_DISCARD;
    p.hDeviceWindow = &window;
    p.Windowed = TRUE;
    d3d->CreateDevice(0, D3DDEVTYPE_HAL, &window, D3DCREATE_MIXED_VERTEXPROCESSING, &p, &device);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session session;
  if (!session.device || size > (1u << 20)) return 0;
  IDirect3DTexture9* texture = nullptr;
  if (SUCCEEDED(D3DXCreateTextureFromFileInMemory(session.device, data, UINT(size), &texture)))
    texture->Release();
  IDirect3DCubeTexture9* cube = nullptr;
  if (SUCCEEDED(D3DXCreateCubeTextureFromFileInMemory(session.device, data, UINT(size), &cube)))
    cube->Release();
  return 0;
}
