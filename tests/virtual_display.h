// Runs this test program again under a virtual X display (xvfb-run), with
// only the tests `filter` picks and the display's name in the environment
// variable `variable`, and hands back its exit status and everything it
// printed.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

struct VirtualDisplayRun {
  int status;
  std::string log;
};

// `self` is this program's path; `logName` begins the name of the file that
// holds the output until it is read back.
inline VirtualDisplayRun runUnderVirtualDisplay(const std::string& self, const char* variable,
                                                const char* filter, const char* logName) {
  std::string output = testing::TempDir() + logName + std::to_string(getpid()) + ".txt";
  std::string command = "timeout -s KILL 120 xvfb-run -a -s '-screen 0 1024x768x24' sh -c '" +
                        std::string(variable) + "=$DISPLAY exec " + self +
                        " --gtest_filter=" + filter + "' > " + output + " 2>&1";
  VirtualDisplayRun run;
  run.status = std::system(command.c_str());
  std::ifstream file(output);
  run.log.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  std::remove(output.c_str());
  return run;
}
