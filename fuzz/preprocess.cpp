// Feeds arbitrary bytes through the scriplet preprocessor (tracing off and
// on) and through the compile-message collector, which echoes a line of the
// text that a message names.
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/ScriptHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScriptHost* host = new ScriptHost();
  if (size == 0) return 0;
  host->traceEnabled = data[0] & 1;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  Scriplet scriplet;
  std::string error;
  std::string original = text;
  if (host->preprocess("fx\\scene", text, scriplet, error) != 0 && text != original)
    __builtin_trap();

  // The first line of the input, taken as a compile message over the rest.
  size_t feed = original.find('\n');
  std::string message = original.substr(0, feed);
  std::string script = feed == std::string::npos ? std::string() : original.substr(feed + 1);
  LogParseError collector(&script);
  collector.Write(message.c_str());
  return 0;
}
