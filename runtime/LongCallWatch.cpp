#include "runtime/LongCallWatch.h"

#include <algorithm>
#include <string>

#include "core/Log.h"
#include "platform/win32/Win32.h"

std::chrono::milliseconds LongCallWatch::tellAfter{5000};

LongCallWatch::~LongCallWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    quitting = true;
  }
  wake.notify_all();
  if (watcher.joinable()) watcher.join();
}

void LongCallWatch::enter(asIScriptContext* context) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!watcher.joinable()) watcher = std::thread(&LongCallWatch::watch, this);
  if (active.empty()) {
    started = std::chrono::steady_clock::now();
    armed = false;
    stopped = false;
    told = false;
  }
  active.push_back(context);
  if (armed) arm(context);
}

void LongCallWatch::leave(asIScriptContext* context) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = std::find(active.rbegin(), active.rend(), context);
  if (found == active.rend()) return;
  active.erase(std::next(found).base());
  // Gone from the list, the watcher no longer touches it: the callback can go.
  if (armed) context->ClearLineCallback();
  if (active.empty()) armed = false;
}

void LongCallWatch::arm(asIScriptContext* context) {
  context->SetLineCallback(asFUNCTION(lineCallback), this, asCALL_CDECL);
}

void LongCallWatch::watch() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!quitting) {
    wake.wait_for(lock, armed ? kPumpInterval : std::chrono::milliseconds(50));
    if (quitting || active.empty()) continue;
    if (armed) {
      pumpDue.store(true, std::memory_order_relaxed);
      continue;
    }
    const bool late = std::chrono::steady_clock::now() - started >= kLongCall;
    if (!late && !platformStopRequested()) continue;
    // The script engine expects exactly this from another thread: the
    // callback is switched on while the context runs, and the running
    // script picks it up at its next statement.
    armed = true;
    pumpDue.store(true, std::memory_order_relaxed);
    for (asIScriptContext* context : active) arm(context);
  }
}

void LongCallWatch::lineCallback(asIScriptContext* context, void* param) {
  LongCallWatch* self = static_cast<LongCallWatch*>(param);
  // One load a statement; the rest once an interval.
  if (!self->pumpDue.load(std::memory_order_relaxed)) return;
  self->pumpDue.store(false, std::memory_order_relaxed);
  if (!self->told && !platformStopRequested() &&
      std::chrono::steady_clock::now() - self->started >= tellAfter) {
    // A show that seems to hang says where.
    self->told = true;
    const asIScriptFunction* function = context->GetFunction(0);
    const char* module = function ? function->GetModuleName() : nullptr;
    const std::string text =
        std::string(module ? module : "script") + ": '" +
        (function ? function->GetDeclaration() : "?") + "' has run for more than " +
        std::to_string(std::max(tellAfter, kLongCall).count()) + " ms (Escape ends the show)";
    logMessage(text.c_str());
  }
  // The press stays for the main loop's own Escape test, which ends the show.
  if (!platformEscapePending() && !platformStopRequested()) return;
  platformRequestStop();
  self->stopped = true;
  std::lock_guard<std::mutex> lock(self->mutex);
  // Every context of the call: the inner one ends now, the ones waiting in
  // natives end as soon as those return.
  for (asIScriptContext* context : self->active) context->Abort();
}
