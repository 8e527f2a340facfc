// The script type matrixStack: a shared stack of transformation matrices
// that can exchange its top with the device's world transform.
#pragma once

#include <cstdint>

#include "core/TQSmartPointer.h"
#include "platform/d3dx/D3DXMath.h"

namespace AngelScript {
class asIScriptEngine;
}
class RegistrationSum;

// Holds one matrix stack; deleting it releases the stack. It also carries
// the count of the handles that share it: a stack is made by every
// construction of a script value (locals in a render function included), so
// a count cell that outlived the proxy would pile up for the whole run.
// Once the count reaches zero no handle refers to it any more, so it can go
// with the proxy.
struct MatrixStackProxy {
  MatrixStackProxy();
  ~MatrixStackProxy();
  MatrixStackProxy(const MatrixStackProxy&) = delete;
  MatrixStackProxy& operator=(const MatrixStackProxy&) = delete;

  ID3DXMatrixStack* stack = nullptr;  // null when its creation failed
  std::int32_t count = 0;

  // How many proxies exist (for tests that check stacks are released).
  static int live;
};

using MatrixStackHandle = TQSmartPointer<MatrixStackProxy, DeleteDestruct<MatrixStackProxy>>;

// Registers the object type matrixStack; returns the result code.
int registerMatrixStackType(AngelScript::asIScriptEngine* engine);
// Registers its behaviours and methods.
void registerMatrixStack(AngelScript::asIScriptEngine* engine, RegistrationSum& r);
