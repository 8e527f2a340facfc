// What /proc tells of another process: for tests of the helper processes.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A field of the process's status ("PPid", "Threads", "SigIgn") as its text,
// empty when the process or the field is not there.
inline std::string statusText(int pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(name + ":", 0) == 0) {
      const size_t start = line.find_first_not_of(" \t", name.size() + 1);
      return start == std::string::npos ? std::string() : line.substr(start);
    }
  return {};
}

// A number field of the process's status, -1 without it.
inline int statusField(int pid, const std::string& name) {
  const std::string text = statusText(pid, name);
  return text.empty() ? -1 : std::atoi(text.c_str());
}

// Whether the process ignores `signal`.
inline bool ignoresSignal(int pid, int signal) {
  const std::string mask = statusText(pid, "SigIgn");
  return !mask.empty() && (std::stoull(mask, nullptr, 16) >> (signal - 1) & 1) != 0;
}

// The processes whose parent is `pid` (its only thread's children).
inline std::vector<int> childrenOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<int> children;
  for (int child; in >> child;) children.push_back(child);
  return children;
}
