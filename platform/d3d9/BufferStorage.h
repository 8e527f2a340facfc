// What vertex and index buffers share: their bytes in system memory,
// mirrored in a GL buffer.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <vector>

#include "platform/d3d9/Resource.h"

namespace d3d9 {

// Shared by vertex and index buffers: system memory mirrored in a GL buffer.
class BufferStorage {
 public:
  BufferStorage(Device* device, UINT size, DWORD usage, D3DPOOL pool);
  ~BufferStorage();
  HRESULT lock(UINT offset, UINT size, void** data, DWORD flags);
  HRESULT unlock();
  // The GL buffer with every unlocked change uploaded.
  GLuint glBuffer() {
    if (dirtyEnd > dirtyBegin && lockDepth == 0) upload();
    return buffer;
  }
  const uint8_t* bytes() const { return memory.data(); }

  UINT size;
  DWORD usage;
  D3DPOOL pool;
  uint64_t generation = 0;  // moves on at every lock that may write and its unlock

 private:
  Device* device;
  std::vector<uint8_t> memory;
  GLuint buffer = 0;
  int lockDepth = 0;
  UINT dirtyBegin = 0, dirtyEnd = 0;  // bytes changed since the last upload
  void upload();
};

}  // namespace d3d9
