// The C-style preprocessor that effect files are written for, run over the
// whole file before anything else reads it: #define (with arguments, # and
// ##), #undef, #if/#ifdef/#ifndef/#elif/#else/#endif, #include, #error;
// line continuations and comments; a leading UTF-8 byte-order mark.
//
// The result is plain text for the effect parser and the shader compiler.
// Lines keep their numbers where the text allows; where an include starts
// or ends a "#line N "file"" line says where the text that follows came
// from. #pragma lines are kept for the compiler.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace d3dx_fx {

struct PreprocessInput {
  std::string text;
  // The name messages give and, when `includes` is set, the file whose
  // folder #include "name" starts from.
  std::string fileName;
  // Whether #include is honoured (text from a file) or refused (text from
  // memory has no folder to look in).
  bool includes = false;
  std::vector<std::pair<std::string, std::string>> defines;  // name, value
};

// False with "file(line): error: text" lines in `errors`.
bool preprocessEffect(const PreprocessInput& in, std::string& out, std::string& errors);

}  // namespace d3dx_fx
