// The player: hands the command line to the engine's entry routine.
#include <string>

#include "runtime/WinMain.h"

int main(int argc, char** argv) {
  std::string commandLine = buildCommandLine(argc, argv);
  return WinMain(nullptr, nullptr, commandLine.data(), 1);
}
