#include "platform/win32/Processors.h"

#include <stdlib.h>

#include <algorithm>
#include <thread>

namespace processors {

unsigned count() { return std::max(1u, std::thread::hardware_concurrency()); }

double loadPerProcessor() {
  double load = 0;
  if (getloadavg(&load, 1) != 1) return 0;
  return load / count();
}

}  // namespace processors
