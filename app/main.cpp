// The player: hands the command line to the engine's entry routine.
#include <string>

#include "platform/d3dx/HLSLCompiler.h"
#include "runtime/TrialBuild.h"
#include "runtime/WinMain.h"

int main(int argc, char** argv) {
  // While the process has no other thread and has loaded no driver, the
  // first start splits off the helpers' origin: the shader compiler's
  // workers and the scriplets' trial builds are copies of it.
  d3dx_hlsl::startCompiler();
  trial_build::start();
  std::string commandLine = buildCommandLine(argc, argv);
  return WinMain(nullptr, nullptr, commandLine.data(), 1);
}
