#include "runtime/WinMain.h"

int gReduceLOD = 0;
int gNoPostProcess = 0;
bool gTimeResyncRequest = false;
bool gEndDemo = false;

std::string buildCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  for (char& c : line)
    if (c == '/') c = '\\';
  return line;
}

int WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
