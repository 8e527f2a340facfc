#include "core/Log.h"

#include <cstdlib>

#include "platform/win32/LogSink.h"
#include "platform/win32/Win32.h"

MessageHook gLogHook = nullptr;
MessageHook gFatalErrorHook = nullptr;

void logMessage(const char* text) {
  if (gLogHook) gLogHook(text);
}

namespace {

// The platform's warnings join the engine's, from the start of the program.
struct PlatformSinkInstaller {
  PlatformSinkInstaller() { setPlatformLogSink(&logMessage); }
} platformSinkInstaller;

}  // namespace

void fatalError(const char* text) {
  if (gFatalErrorHook)
    gFatalErrorHook(text);
  else
    MessageBoxA(nullptr, text, "ZJ6", MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL);
  // The normal exit runs static destructors and exit handlers; nothing the
  // entry routine owns is shut down first.
  std::exit(-1);
}
