#include "platform/d3d9/Resource.h"

#include "platform/d3d9/Device.h"

namespace d3d9 {

size_t lockOffset(const FormatInfo* info, UINT pitch, const RECT& rect) {
  if (info->blockBytes)
    return size_t(rect.top / 4) * pitch + size_t(rect.left / 4) * UINT(info->blockBytes);
  return size_t(rect.top) * pitch + size_t(rect.left) * UINT(info->bytesPerPixel);
}

HRESULT giveDevice(Device* device, IDirect3DDevice9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = device;
  device->AddRef();
  return D3D_OK;
}

}  // namespace d3d9
