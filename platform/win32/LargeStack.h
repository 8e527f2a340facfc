// Work that needs a deeper stack than a thread gets by default (a compiler
// recursing through deeply nested text).
#pragma once

#include <cstddef>
#include <functional>

namespace large_stack {

// Runs `work` on a new thread with a stack of `bytes` and waits for it to
// end; runs it on this thread when no such thread can be made. On the new
// thread `threadEnd` (unless null) runs after the work, for what a library
// keeps per thread.
void run(std::size_t bytes, const std::function<void()>& work, void (*threadEnd)() = nullptr);

}  // namespace large_stack
