#include "platform/d3d9/BufferStorage.h"

#include <algorithm>

#include "platform/d3d9/Device.h"

namespace d3d9 {

BufferStorage::BufferStorage(Device* device, UINT size, DWORD usage, D3DPOOL pool)
    : size(size), usage(usage), pool(pool), device(device), memory(size, 0) {
  glCreateBuffers(1, &buffer);
  glNamedBufferData(buffer, GLsizeiptr(size), memory.data(),
                    (usage & D3DUSAGE_DYNAMIC) ? GL_DYNAMIC_DRAW : GL_STATIC_DRAW);
}

BufferStorage::~BufferStorage() {
  device->activate();
  device->forgetBuffer(buffer);
  glDeleteBuffers(1, &buffer);
}

HRESULT BufferStorage::lock(UINT offset, UINT lockSize, void** data, DWORD flags) {
  if (!data) return D3DERR_INVALIDCALL;
  *data = nullptr;
  // Size 0 locks everything from the offset on, as Direct3D does.
  if (offset > size || (lockSize != 0 && lockSize > size - offset)) return D3DERR_INVALIDCALL;
  UINT end = lockSize == 0 ? size : offset + lockSize;
  if (!(flags & D3DLOCK_READONLY)) {
    ++generation;
    if (dirtyBegin == dirtyEnd) {
      dirtyBegin = offset;
      dirtyEnd = end;
    } else {
      dirtyBegin = std::min(dirtyBegin, offset);
      dirtyEnd = std::max(dirtyEnd, end);
    }
  }
  ++lockDepth;
  *data = memory.data() + offset;
  return D3D_OK;
}

HRESULT BufferStorage::unlock() {
  if (lockDepth == 0) return D3DERR_INVALIDCALL;
  --lockDepth;
  // The caller may have written after a draw made under the open lock read
  // the buffer: what was learnt from its contents then is stale now.
  if (dirtyEnd > dirtyBegin) ++generation;
  return D3D_OK;
}

void BufferStorage::upload() {
  glNamedBufferSubData(buffer, GLintptr(dirtyBegin), GLsizeiptr(dirtyEnd - dirtyBegin),
                       memory.data() + dirtyBegin);
  dirtyBegin = dirtyEnd = 0;
}

}  // namespace d3d9
