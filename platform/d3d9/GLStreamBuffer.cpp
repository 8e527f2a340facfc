// The streaming buffer of the draw path: data drawn from user memory is
// copied into a persistently mapped buffer, quarter by quarter, behind
// fences.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <cstring>


namespace d3d9 {

void Pipeline::makeStream(size_t size) {
  if (streamName) {
    // Draws still queued keep the old storage alive until they are done.
    glUnmapNamedBuffer(streamName);
    glDeleteBuffers(1, &streamName);
    forgetBuffer(streamName);
  }
  for (GLsync& fence : quarterFences) {
    if (fence) glDeleteSync(fence);
    fence = nullptr;
  }
  const GLbitfield flags = GL_MAP_WRITE_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT;
  glCreateBuffers(1, &streamName);
  glNamedBufferStorage(streamName, GLsizeiptr(size), nullptr, flags);
  streamMemory = static_cast<uint8_t*>(glMapNamedBufferRange(streamName, 0, GLsizeiptr(size), flags));
  streamSize = size;
  streamPosition = 0;
  streamQuarter = 0;
}

void Pipeline::enterQuarter(int quarter) {
  // The quarter we leave is fenced behind the draws that read it; the one
  // we enter must be free of the draws that read it last time round.
  if (!quarterFences[streamQuarter])
    quarterFences[streamQuarter] = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
  streamQuarter = quarter;
  if (GLsync fence = quarterFences[quarter]) {
    glClientWaitSync(fence, GL_SYNC_FLUSH_COMMANDS_BIT, GLuint64(10) * 1000 * 1000 * 1000);
    glDeleteSync(fence);
    quarterFences[quarter] = nullptr;
  }
}

void Pipeline::reserve(size_t bytes) {
  size_t quarter = streamSize / 4;
  if (bytes > quarter) {
    size_t size = streamSize;
    while (bytes > size / 4) size *= 2;
    makeStream(size);
    quarter = streamSize / 4;
  }
  if (streamPosition + bytes > streamSize) {
    enterQuarter(0);
    streamPosition = 0;
  }
  int last = int((streamPosition + bytes - 1) / quarter);
  while (streamQuarter < last) enterQuarter(streamQuarter + 1);
}

GLintptr Pipeline::stream(const void* data, size_t bytes, size_t alignment) {
  reserve(bytes + alignment);
  size_t start = (streamPosition + alignment - 1) / alignment * alignment;
  std::memcpy(streamMemory + start, data, bytes);
  streamPosition = start + bytes;
  return GLintptr(start);
}

}  // namespace d3d9
