// Reference counting shared by the D3DX objects.
#pragma once

#include <atomic>

#include "platform/d3d9/D3D9.h"

namespace d3dx_com {

// Implements AddRef and Release of `Interface`; the object deletes itself
// when the last reference goes.
template <class Interface>
class Counted : public Interface {
 public:
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
