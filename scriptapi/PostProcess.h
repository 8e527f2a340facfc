// The script type postProcess: a blur of the frame drawn so far, made of
// shifted screen quads blended from one render target into another.
#pragma once

#include <array>
#include <cstdint>

#include "core/TQSmartPointer.h"
#include "platform/d3d9/D3D9.h"
#include "scriptapi/D3DTexture.h"

namespace AngelScript {
class asIScriptEngine;
}

// The quads of a blur and how each is drawn. The record owns its members.
struct PostProcessData {
  static constexpr int kQuads = 17;

  PostProcessData() = default;
  PostProcessData(const PostProcessData&) = delete;
  PostProcessData& operator=(const PostProcessData&) = delete;
  ~PostProcessData() {
    if (quadBuffer) quadBuffer->Release();
  }

  IDirect3DVertexBuffer9* quadBuffer = nullptr;  // 4 vertices per quad, as a strip
  std::array<float, kQuads> weights{};           // blend weight of each quad
  // Per quad: -1 draws from then on from the scratch texture into the
  // result, -2 from the result into the scratch texture, 0 keeps the pair.
  std::array<int, kQuads> targetModes{};
  DWORD fvf = 0;
  D3DPRIMITIVETYPE primitiveType = D3DPT_TRIANGLESTRIP;
  UINT primitiveCount = 0;  // per quad
  int quadCount = 0;
  int quadBytes = 0;
  UINT vertexStride = 0;
  TextureHandle renderTarget;  // made with the record; not drawn with
};

using PostProcessHandle = TQSmartPointer<PostProcessData, DeleteDestruct<PostProcessData>>;

// One vertex of the blur's quads: screen pixels, rhw, colour, one
// coordinate set (28 bytes).
struct BlurVertex {
  float x, y, z, rhw;
  std::uint32_t diffuse;
  float u, v;
};
static_assert(sizeof(BlurVertex) == 28, "the quads are laid out 28 bytes a vertex");

// Registers postProcess (after texture and the render-state module, whose
// undo stacks the blur changes its states through) into a new engine. Logs
// "TQScrip - initPostProcess failed" once when any registration is rejected
// (all the others are still made). Returns 0 after a clean registration.
int initPostProcess(AngelScript::asIScriptEngine* engine);
