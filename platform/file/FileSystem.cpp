#include "platform/file/FileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/win32/Win32.h"

std::string nativePath(const char* name) {
  std::string path = name ? name : "";
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

FILE* openFile(const char* name, const char* mode) {
  const std::string path = nativePath(name);
  // Reading takes files and folders only: a device such as /dev/zero never
  // ends, and opening a pipe waits for a writer that may never come.
  struct stat st;
  if (mode[0] == 'r' && !std::strchr(mode, '+') && stat(path.c_str(), &st) == 0 &&
      !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    errno = EINVAL;
    return nullptr;
  }
  return std::fopen(path.c_str(), mode);
}

int _chdir(const char* path) { return chdir(nativePath(path).c_str()); }

char* _getcwd(char* buffer, int size) { return getcwd(buffer, size > 0 ? size_t(size) : 0); }

std::string findFileAnyCase(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) == 0) return path;
  // Folder by folder from the start, each part taken as it is when it
  // exists, else the first entry whose name differs from it only in case.
  std::string found = path[0] == '/' ? "/" : "";
  size_t begin = path[0] == '/' ? 1 : 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(begin, end - begin);
    begin = end + 1;
    if (part.empty()) continue;
    std::string exact = found + part;
    if (part == "." || part == ".." || stat(exact.c_str(), &st) == 0) {
      found = exact;
    } else {
      DIR* dir = opendir(found.empty() ? "." : found.c_str());
      if (!dir) return path;
      std::string match;
      while (dirent* entry = readdir(dir))
        if (strcasecmp(entry->d_name, part.c_str()) == 0) {
          match = entry->d_name;
          break;
        }
      closedir(dir);
      if (match.empty()) return path;
      found += match;
    }
    if (end < path.size()) found += '/';
  }
  return found;
}
