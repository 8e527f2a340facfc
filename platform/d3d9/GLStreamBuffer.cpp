// The streaming buffer of the draw path: data drawn from user memory is
// copied into a persistently mapped buffer, quarter by quarter, behind
// fences.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <cstring>

#include "platform/d3d9/CallLog.h"
#include "platform/win32/LogSink.h"

namespace d3d9 {

namespace {

// How long one wait for a quarter lasts, and how many are made before the
// quarter is given up.
constexpr GLuint64 kWaitStep = GLuint64(1000) * 1000 * 1000;  // 1 s
constexpr int kWaitSteps = 10;

// True once `fence` is signalled; false when it was not within the waits
// (reported) or GL cannot wait on it at all.
bool waitUntilDone(GLsync fence) {
  for (int step = 0; step < kWaitSteps; ++step) {
    GLenum result;
    if (gFailStreamWaits > 0) {
      --gFailStreamWaits;
      result = GL_TIMEOUT_EXPIRED;
    } else {
      // The first wait flushes, so that the fence can be reached at all.
      result = glClientWaitSync(fence, step == 0 ? GL_SYNC_FLUSH_COMMANDS_BIT : 0, kWaitStep);
    }
    if (result == GL_ALREADY_SIGNALED || result == GL_CONDITION_SATISFIED) return true;
    if (result == GL_WAIT_FAILED) break;
    if (step == 0) platformLog("the GPU is slow to release streamed vertices; still waiting");
  }
  platformLog("the GPU still holds streamed vertices; they move to new storage");
  return false;
}

}  // namespace

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
  streamMemory =
      static_cast<uint8_t*>(glMapNamedBufferRange(streamName, 0, GLsizeiptr(size), flags));
  streamSize = size;
  streamPosition = 0;
  streamQuarter = 0;
}

bool Pipeline::enterQuarter(int quarter) {
  // The quarter we leave is fenced behind the draws that read it; the one
  // we enter must be free of the draws that read it last time round.
  if (!quarterFences[streamQuarter])
    quarterFences[streamQuarter] = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
  streamQuarter = quarter;
  if (GLsync fence = quarterFences[quarter]) {
    bool done = waitUntilDone(fence);
    glDeleteSync(fence);
    quarterFences[quarter] = nullptr;
    if (!done) {
      // Memory the GPU may still read is never written: the draws that
      // read it keep the old storage, and streaming starts over in new.
      makeStream(streamSize);
      return false;
    }
  }
  return true;
}

void Pipeline::makeRoom(size_t bytes) {
  if (bytes > streamSize / 4) {
    size_t size = streamSize;
    while (bytes > size / 4) size *= 2;
    makeStream(size);
  }
  if (streamPosition + bytes > streamSize) {
    // (New storage, when the quarter was given up, has room at its start.)
    if (!enterQuarter(0)) return;
    streamPosition = 0;
  }
  // Every quarter the bytes reach into is entered.
  while (streamPosition + bytes > quarterEnd())
    if (!enterQuarter(streamQuarter + 1)) return;
}

GLintptr Pipeline::stream(const void* data, size_t bytes, size_t alignment) {
  reserve(bytes + alignment);
  size_t start = (streamPosition + alignment - 1) & ~(alignment - 1);
  std::memcpy(streamMemory + start, data, bytes);
  streamPosition = start + bytes;
  return GLintptr(start);
}

}  // namespace d3d9
