// The device's drawing calls: they check each call against the bound
// resources (a draw never reads outside its buffers) and hand one DrawCall
// to the GL backend. Vertices and indices from memory go through the
// backend's streaming buffer.
#include <cstring>

#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/Device.h"
#include "platform/d3d9/IndexBuffer.h"
#include "platform/d3d9/VertexBuffer.h"

namespace d3d9 {

namespace {

constexpr UINT kMaxVertices = 1u << 24;

// GL's mode and the number of vertices (or indices) for `primitives`.
bool primitiveVertices(D3DPRIMITIVETYPE type, UINT primitives, GLenum& mode, UINT& count) {
  if (primitives > kMaxVertices) return false;
  switch (type) {
    case D3DPT_POINTLIST:
      mode = GL_POINTS;
      count = primitives;
      return true;
    case D3DPT_LINELIST:
      mode = GL_LINES;
      count = primitives * 2;
      return true;
    case D3DPT_LINESTRIP:
      mode = GL_LINE_STRIP;
      count = primitives + 1;
      return true;
    case D3DPT_TRIANGLELIST:
      mode = GL_TRIANGLES;
      count = primitives * 3;
      return true;
    case D3DPT_TRIANGLESTRIP:
      mode = GL_TRIANGLE_STRIP;
      count = primitives + 2;
      return true;
    case D3DPT_TRIANGLEFAN:
      mode = GL_TRIANGLE_FAN;
      count = primitives + 2;
      return true;
    default:
      return false;
  }
}

// Whether vertices first .. first + count - 1 of a buffer of `bytes`, from
// `offset` with `stride`, hold a whole vertex of `fvf` each.
bool verticesFit(uint64_t offset, uint64_t first, uint64_t count, uint64_t stride, UINT size,
                 uint64_t bytes) {
  if (count == 0) return true;
  return offset + (first + count - 1) * stride + size <= bytes;
}

}  // namespace

[[gnu::hot]] HRESULT Device::DrawPrimitive(D3DPRIMITIVETYPE type, UINT startVertex,
                                           UINT primitiveCount) {
  logCall("DrawPrimitive", type, startVertex, primitiveCount);
  GLenum mode;
  UINT count;
  if (!primitiveVertices(type, primitiveCount, mode, count)) return D3DERR_INVALIDCALL;
  if (!state.stream || state.fvfSize == 0 || state.streamStride == 0) return D3DERR_INVALIDCALL;
  if (startVertex > kMaxVertices ||
      !verticesFit(state.streamOffset, startVertex, count, state.streamStride, state.fvfSize,
                   state.stream->storage.size))
    return D3DERR_INVALIDCALL;
  if (count == 0) return D3D_OK;
  activate();
  DrawCall call{};
  call.mode = mode;
  call.count = GLsizei(count);
  call.vertexBuffer = state.stream->storage.glBuffer();
  call.vertexOffset = GLintptr(state.streamOffset);
  call.stride = GLsizei(state.streamStride);
  call.first = GLint(startVertex);
  backend->draw(state, call);
  return D3D_OK;
}

[[gnu::hot]] HRESULT Device::DrawIndexedPrimitive(D3DPRIMITIVETYPE type, INT baseVertexIndex,
                                                  UINT minVertexIndex, UINT numVertices,
                                                  UINT startIndex, UINT primitiveCount) {
  logCall("DrawIndexedPrimitive", type, baseVertexIndex, minVertexIndex, numVertices, startIndex,
          primitiveCount);
  GLenum mode;
  UINT count;
  if (!primitiveVertices(type, primitiveCount, mode, count)) return D3DERR_INVALIDCALL;
  if (!state.stream || !state.indices || state.fvfSize == 0 || state.streamStride == 0)
    return D3DERR_INVALIDCALL;
  IndexBuffer* ib = state.indices;
  UINT indexSize = ib->format == D3DFMT_INDEX16 ? 2 : 4;
  if (uint64_t(startIndex) + count > ib->storage.size / indexSize) return D3DERR_INVALIDCALL;
  if (count == 0) return D3D_OK;
  uint32_t smallest, largest;
  ib->indexRange(startIndex, count, smallest, largest);
  int64_t first = int64_t(baseVertexIndex) + smallest;
  int64_t last = int64_t(baseVertexIndex) + largest;
  if (first < 0 || !verticesFit(state.streamOffset, uint64_t(first), uint64_t(last - first + 1),
                                state.streamStride, state.fvfSize, state.stream->storage.size))
    return D3DERR_INVALIDCALL;
  activate();
  DrawCall call{};
  call.mode = mode;
  call.count = GLsizei(count);
  call.vertexBuffer = state.stream->storage.glBuffer();
  call.vertexOffset = GLintptr(state.streamOffset);
  call.stride = GLsizei(state.streamStride);
  call.indexed = true;
  call.indexBuffer = ib->storage.glBuffer();
  call.indexType = indexSize == 2 ? GL_UNSIGNED_SHORT : GL_UNSIGNED_INT;
  call.indexOffset = GLintptr(startIndex) * indexSize;
  call.baseVertex = baseVertexIndex;
  backend->draw(state, call);
  return D3D_OK;
}

[[gnu::hot]] HRESULT Device::DrawPrimitiveUP(D3DPRIMITIVETYPE type, UINT primitiveCount,
                                             const void* vertexData, UINT vertexStride) {
  logCall("DrawPrimitiveUP", type, primitiveCount, vertexData, vertexStride);
  GLenum mode;
  UINT count;
  if (!primitiveVertices(type, primitiveCount, mode, count)) return D3DERR_INVALIDCALL;
  if (!vertexData || vertexStride == 0 || vertexStride > 1024 || state.fvfSize == 0)
    return D3DERR_INVALIDCALL;
  if (vertexStride < state.fvfSize) return D3DERR_INVALIDCALL;
  // As in Direct3D, a draw from memory leaves no stream source set.
  if (state.stream) state.stream->unbind();
  state.stream = nullptr;
  state.streamOffset = state.streamStride = 0;
  if (count == 0) return D3D_OK;
  activate();
  DrawCall call{};
  call.mode = mode;
  call.count = GLsizei(count);
  // Vertices start on a whole vertex of the streaming buffer, so that every
  // draw from memory binds it the same way and only its first vertex moves.
  call.first = backend->streamVertices(vertexData, size_t(count) * vertexStride, vertexStride);
  call.vertexOffset = 0;
  call.vertexBuffer = backend->streamBuffer();
  call.stride = GLsizei(vertexStride);
  backend->draw(state, call);
  return D3D_OK;
}

HRESULT Device::DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE type, UINT minVertexIndex, UINT numVertices,
                                       UINT primitiveCount, const void* indexData,
                                       D3DFORMAT indexFormat, const void* vertexData,
                                       UINT vertexStride) {
  logCall("DrawIndexedPrimitiveUP", type, minVertexIndex, numVertices, primitiveCount, indexData,
          indexFormat, vertexData, vertexStride);
  GLenum mode;
  UINT count;
  if (!primitiveVertices(type, primitiveCount, mode, count)) return D3DERR_INVALIDCALL;
  if (!indexData || !vertexData || vertexStride == 0 || vertexStride > 1024 || state.fvfSize == 0 ||
      (indexFormat != D3DFMT_INDEX16 && indexFormat != D3DFMT_INDEX32) ||
      vertexStride < state.fvfSize || uint64_t(minVertexIndex) + numVertices > kMaxVertices)
    return D3DERR_INVALIDCALL;
  UINT indexSize = indexFormat == D3DFMT_INDEX16 ? 2 : 4;
  UINT vertices = minVertexIndex + numVertices;
  const auto* bytes = static_cast<const uint8_t*>(indexData);
  for (UINT i = 0; i < count; ++i) {
    uint32_t index;
    if (indexSize == 2) {
      uint16_t v;
      std::memcpy(&v, bytes + size_t(i) * 2, 2);
      index = v;
    } else {
      std::memcpy(&index, bytes + size_t(i) * 4, 4);
    }
    if (index >= vertices) return D3DERR_INVALIDCALL;
  }
  if (state.stream) state.stream->unbind();
  state.stream = nullptr;
  state.streamOffset = state.streamStride = 0;
  if (state.indices) state.indices->unbind();
  state.indices = nullptr;
  if (count == 0) return D3D_OK;
  activate();
  DrawCall call{};
  call.mode = mode;
  call.count = GLsizei(count);
  backend->streamReserve(size_t(vertices) * vertexStride + size_t(count) * indexSize +
                         vertexStride + 4);
  // As above: the vertices begin on a whole vertex, reached through the
  // base vertex.
  call.baseVertex =
      backend->streamVertices(vertexData, size_t(vertices) * vertexStride, vertexStride);
  call.indexOffset = backend->stream(indexData, size_t(count) * indexSize, 4);
  call.vertexOffset = 0;
  call.vertexBuffer = call.indexBuffer = backend->streamBuffer();
  call.stride = GLsizei(vertexStride);
  call.indexed = true;
  call.indexType = indexSize == 2 ? GL_UNSIGNED_SHORT : GL_UNSIGNED_INT;
  backend->draw(state, call);
  return D3D_OK;
}

}  // namespace d3d9
