#include "platform/win32/LogSink.h"

namespace {
PlatformLogSink sink = nullptr;
}  // namespace

void setPlatformLogSink(PlatformLogSink newSink) { sink = newSink; }

void platformLog(const char* text) {
  if (sink) sink(text);
}
