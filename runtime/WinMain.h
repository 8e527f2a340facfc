// The program's entry routine and main loop.
#pragma once

#include <string>

#include "core/DemoState.h"  // the run's switches
#include "platform/win32/Win32.h"

int WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand);

// Shows a warning box captioned "Exiting Demo (Failure)" and ends the
// process with code 1.
[[noreturn]] void fatalStartupError(const char* text);

// The program's arguments as one Windows-style command line: joined by
// single blanks, with '/' turned into '\' so that the entry routine's rules
// for folders work on this system's paths.
std::string buildCommandLine(int argc, char** argv);
