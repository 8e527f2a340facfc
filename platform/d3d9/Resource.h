// What every device resource shares: a COM-style reference count that keeps
// the device alive while the application holds the resource, and the small
// helpers their methods have in common.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/Formats.h"

namespace d3d9 {

class Device;

// Keeps the device alive while the application holds a resource.
void retainDevice(Device* device);
void releaseDevice(Device* device);

// Resources alive in the process, of every device: what a long show holds
// stays level while its scenes come and go (read by the test hooks).
inline std::atomic<long> gLiveResources{0};

// Reference counting shared by every resource. The application's references
// (AddRef/Release) keep the device alive; the device's own bindings (a
// texture set on a stage, a buffer set as stream source) are counted apart,
// so that the device and what it has bound never hold each other. The
// object goes when both counts are zero.
class RefCounter {
 public:
  // `countsDevice` false: the object is part of the device or of another
  // object and holds no reference on the device itself.
  explicit RefCounter(Device* device, bool countsDevice = true)
      : owner(device), countsDevice(countsDevice) {
    if (countsDevice) retainDevice(device);
    ++gLiveResources;
  }
  RefCounter(const RefCounter&) = delete;
  RefCounter& operator=(const RefCounter&) = delete;

  ULONG addRef() {
    if (publicReferences++ == 0 && countsDevice) retainDevice(owner);
    return publicReferences;
  }
  ULONG release() {
    if (publicReferences == 0) return 0;
    ULONG left = --publicReferences;
    if (left == 0) {
      Device* device = owner;
      bool counts = countsDevice;
      if (bindings == 0) destroy();
      if (counts) releaseDevice(device);  // last: it may end the device, and us
    }
    return left;
  }
  void bind() { ++bindings; }
  void unbind() {
    if (bindings > 0 && --bindings == 0 && publicReferences == 0) destroy();
  }
  Device* device() const { return owner; }

 protected:
  virtual ~RefCounter() { --gLiveResources; }
  virtual void destroy() = 0;  // deletes the whole object
  Device* owner;

 private:
  bool countsDevice;
  ULONG publicReferences = 1;
  ULONG bindings = 0;
};

// Hands out the device (with a reference) from a resource's GetDevice.
HRESULT giveDevice(Device* device, IDirect3DDevice9** out);

// Where a locked rectangle starts in memory rows of `pitch` bytes; rows of a
// compressed format are rows of 4x4 blocks.
size_t lockOffset(const FormatInfo* info, UINT pitch, const RECT& rect);

}  // namespace d3d9
