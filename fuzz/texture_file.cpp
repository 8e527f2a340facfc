// Feeds the image readers arbitrary bytes as a texture file and as a cube
// map: DDS headers with any sizes, level counts and pixel formats, and
// whatever the image decoder gets. A file that does not hold what its
// header claims must be refused without reading past the bytes given.
#include <cstddef>
#include <cstdint>

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXTexture.h"
#include "testsupport/HeadlessDevice.h"

namespace {

struct Session : HeadlessDevice {
  Session() : HeadlessDevice(16, 16, D3DCREATE_MIXED_VERTEXPROCESSING) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session& session = *new Session;  // kept for the whole run
  if (!session.device || size > (1u << 20)) return 0;
  IDirect3DTexture9* texture = nullptr;
  if (SUCCEEDED(D3DXCreateTextureFromFileInMemory(session.device, data, UINT(size), &texture)))
    texture->Release();
  IDirect3DCubeTexture9* cube = nullptr;
  if (SUCCEEDED(D3DXCreateCubeTextureFromFileInMemory(session.device, data, UINT(size), &cube)))
    cube->Release();
  return 0;
}
