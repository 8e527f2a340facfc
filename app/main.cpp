// The player: hands the command line to the engine's entry routine.
#include <string>

#include "platform/d3dx/HLSLCompiler.h"
#include "runtime/WinMain.h"

int main(int argc, char** argv) {
  // While the process is small and before any driver is loaded: the
  // shader compiler's worker is a copy of it.
  d3dx_hlsl::startCompiler();
  std::string commandLine = buildCommandLine(argc, argv);
  return WinMain(nullptr, nullptr, commandLine.data(), 1);
}
