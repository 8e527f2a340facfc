// Temporary files and folders that a fuzz target makes for its whole run are
// removed when the process ends normally (libFuzzer leaves through exit()
// after its last run, and so does the corpus replay).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace fuzz_scratch {

inline std::vector<std::filesystem::path>& paths() {
  static std::vector<std::filesystem::path>* list = new std::vector<std::filesystem::path>;
  return *list;
}

inline void removeAll() {
  std::error_code ignored;
  // A folder that is the working directory can still be removed on Linux,
  // but later relative paths would then point nowhere: leave it first.
  std::filesystem::current_path("/", ignored);
  for (const std::filesystem::path& path : paths()) std::filesystem::remove_all(path, ignored);
  paths().clear();
}

// Removes `path` (a file, or a folder with everything under it) at exit.
inline void removeAtExit(const std::filesystem::path& path) {
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(removeAll); });
  paths().push_back(path);
}

}  // namespace fuzz_scratch
