// The millisecond tick counter, from a monotonic clock.
#include <chrono>
#include <functional>

#include "platform/win32/TestSeams.h"
#include "platform/win32/Win32.h"

namespace {
std::function<uint32_t()> gTickSource;
}

DWORD GetTickCount() {
  if (gTickSource) return gTickSource();
  using namespace std::chrono;
  return DWORD(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace platform_test {
void setTickSource(std::function<uint32_t()> source) { gTickSource = std::move(source); }
}  // namespace platform_test
