// File names as the engine writes them (Windows rules: '\' separates folders)
// turned into names this system can open. Every file access and working
// directory change of the engine goes through here.
#pragma once

#include <cstdio>
#include <string>

// The name with every backslash turned into a slash.
std::string nativePath(const char* name);
inline std::string nativePath(const std::string& name) { return nativePath(name.c_str()); }

// fopen with the name turned into a native one. For reading it opens files
// and folders only: any other kind of name (a device, a pipe) gives null.
FILE* openFile(const char* name, const char* mode);

// The name of an existing file that `path` names when its letters' case is
// ignored, as Windows does (each folder and the file matched in any case
// where the exact name is not there); `path` itself when nothing matches.
std::string findFileAnyCase(const std::string& path);
