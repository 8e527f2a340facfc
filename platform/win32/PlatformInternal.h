// Shared between the platform layer's own files.
#pragma once

namespace platform_internal {

// Records that a key went down since the last GetAsyncKeyState test.
void latchKey(int sdlKey);

}  // namespace platform_internal
