// The script type vertexBuffer: ready-made geometry in a device vertex
// buffer with everything needed to draw it (a textured quad, a screen-space
// quad, a textured cube, three axis lines, a grid displaced by a script
// callback), drawn whole, one batch at a time, or as a billboard.
#pragma once

#include "core/TQSmartPointer.h"
#include "platform/d3d9/D3D9.h"

namespace AngelScript {
class asIScriptEngine;
}
class RegistrationSum;

struct VertexBufferData {
  VertexBufferData() = default;
  VertexBufferData(const VertexBufferData&) = delete;
  VertexBufferData& operator=(const VertexBufferData&) = delete;
  ~VertexBufferData() {
    if (buffer) buffer->Release();
  }

  IDirect3DVertexBuffer9* buffer = nullptr;
  DWORD fvf = 0;
  D3DPRIMITIVETYPE primitiveType = D3DPT_TRIANGLESTRIP;
  UINT primitiveCount = 0;  // per batch
  int batchCount = 1;
  int batchVertexStep = 0;  // batch i starts at vertex i * batchVertexStep
  UINT vertexStride = 0;
  bool textured = true;  // false: stage 0 is drawn without a texture
};

using VertexBufferHandle = TQSmartPointer<VertexBufferData, DeleteDestruct<VertexBufferData>>;

// The type, then (after the skinned mesh rows) its behaviours, methods and
// factories, in the module's order.
int registerVertexBufferType(AngelScript::asIScriptEngine* engine);
void registerVertexBuffer(AngelScript::asIScriptEngine* engine, RegistrationSum& r);
