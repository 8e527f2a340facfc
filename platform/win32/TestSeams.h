// Hooks that let tests drive the platform layer without real time, a real
// keyboard or a user clicking message boxes. Not used by the engine itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform_test {

// Replaces the tick counter's source (milliseconds); an empty function
// restores the monotonic clock.
void setTickSource(std::function<uint32_t()> source);

// Escape: `pressEscapeAfterPolls(n)` makes GetAsyncKeyState(VK_ESCAPE) answer
// "pressed" from its n-th call on (0: the very first call). -1 clears it.
void pressEscapeAfterPolls(int polls);
int escapePolls();  // how often Escape was tested since the last reset
// Forgets a stop request (platformRequestStop, a caught signal).
void clearStopRequest();

// Every message box shown (or printed, when headless) is recorded here.
struct MessageBoxRecord {
  std::string text, caption;
  unsigned type;
};
std::vector<MessageBoxRecord>& messageBoxes();

void reset();  // all of the above back to normal

}  // namespace platform_test
