// Keeps the window alive while a script call runs long. Every script call
// the host makes is entered here; a watcher thread notices a call that has
// run for longer than kLongCall (or any call once a stop was requested) and
// gives the contexts of that call a line callback. The callback, on the
// script's own thread, pumps the window system's events a few dozen times a
// second (at the first statement after each interval); on Escape, a closed window or a stop request
// it aborts the call and requests the stop, so the show ends as Escape ends it. Calls that return
// in time never get the callback and run at full speed. A call that runs for seconds logs so
// once, with its scriplet and function.
#pragma once

#include <angelscript.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace AngelScript;

class LongCallWatch {
 public:
  static constexpr std::chrono::milliseconds kLongCall{500};
  static constexpr std::chrono::milliseconds kPumpInterval{20};
  // A call that has run this long is logged (once). Long, so that a slow
  // but finite call (a compile on a busy machine) logs nothing; tests lower it.
  static std::chrono::milliseconds tellAfter;

  LongCallWatch() = default;
  ~LongCallWatch();
  LongCallWatch(const LongCallWatch&) = delete;
  LongCallWatch& operator=(const LongCallWatch&) = delete;

  // Around every Execute of a context, on the script thread. Calls nest (a
  // native may run another script function while its caller waits); the
  // time counts from the outermost one.
  void enter(asIScriptContext* context);
  void leave(asIScriptContext* context);

  // Whether the last call was aborted here (cleared by the next outermost enter).
  bool stoppedCall() const { return stopped; }

 private:
  static void lineCallback(asIScriptContext* context, void* self);
  void watch();
  void arm(asIScriptContext* context);

  std::mutex mutex;
  std::condition_variable wake;
  std::thread watcher;
  bool quitting = false;
  std::vector<asIScriptContext*> active;
  std::chrono::steady_clock::time_point started;
  bool armed = false;
  // Set by the watcher every kPumpInterval while the callback is on, and
  // taken by the callback: the clock is the watcher's, so a call whose
  // statements each take long (copies of big strings) still pumps on time.
  std::atomic<bool> pumpDue{false};
  // Only on the script thread.
  bool stopped = false;
  bool told = false;  // the call's running long has been logged
};
