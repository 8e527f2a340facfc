// Reference counting shared by the D3DX objects.
#pragma once

#include <atomic>

#include "platform/d3d9/D3D9.h"

namespace d3dx_com {

// D3DX objects alive in the process (meshes, effects, buffers, ...): what a
// long show holds stays level while its scenes come and go.
inline std::atomic<long> gLiveObjects{0};

// Implements AddRef and Release of `Interface`; the object deletes itself
// when the last reference goes.
template <class Interface>
class Counted : public Interface {
 public:
  Counted() { ++gLiveObjects; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
  ~Counted() override { --gLiveObjects; }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }

 protected:
  std::atomic<ULONG> references{1};
};

}  // namespace d3dx_com
