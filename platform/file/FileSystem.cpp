#include "platform/file/FileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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
  if (mode[0] != 'r' || std::strchr(mode, '+')) return std::fopen(path.c_str(), mode);
  // Reading takes files and folders only: a device such as /dev/zero never
  // ends, and opening a pipe waits for a writer that may never come. The
  // kind is asked of the opened descriptor, not of the name beforehand, so a
  // name swapped for a pipe in between cannot block the open either; the
  // open itself does not wait, and the descriptor blocks again afterwards.
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
  if (std::strchr(mode, 'e')) flags |= O_CLOEXEC;
  const int fd = open(path.c_str(), flags);
  if (fd < 0) return nullptr;
  struct stat st;
  int error = EINVAL;
  if (fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    const int status = fcntl(fd, F_GETFL);
    if (status != -1 && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0)
      if (FILE* file = fdopen(fd, mode)) return file;
    error = errno;
  }
  close(fd);
  errno = error;
  return nullptr;
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
