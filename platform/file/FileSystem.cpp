#include "platform/file/FileSystem.h"

#include <unistd.h>

#include "platform/win32/Win32.h"

std::string nativePath(const char* name) {
  std::string path = name ? name : "";
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

FILE* openFile(const char* name, const char* mode) { return std::fopen(nativePath(name).c_str(), mode); }

int _chdir(const char* path) { return chdir(nativePath(path).c_str()); }

char* _getcwd(char* buffer, int size) { return getcwd(buffer, size > 0 ? size_t(size) : 0); }
