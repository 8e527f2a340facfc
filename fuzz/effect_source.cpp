// Feeds arbitrary bytes through the effect-file reader: techniques, passes,
// state assignments, sampler_state blocks and parameter defaults. What it
// hands the shader compiler must keep every line of the text where it was,
// so that the compiler's messages name the lines of the file: the reader
// blanks what is not the compiler's, and the one thing it inserts (the copy
// of a parameter that a function writes) goes on the parameter's own line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/d3dx/EffectSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  d3dx_fx::EffectSource source;
  std::string errors;
  bool ok = d3dx_fx::parseEffect(text, "fuzz.fx", source, errors);
  if (std::count(text.begin(), text.end(), '\n') !=
      std::count(source.hlsl.begin(), source.hlsl.end(), '\n'))
    __builtin_trap();
  // With nothing inserted, every byte keeps its place.
  if (source.hlsl.size() == text.size())
    for (size_t i = 0; i < text.size(); ++i)
      if ((text[i] == '\n') != (source.hlsl[i] == '\n')) __builtin_trap();
  if (ok != errors.empty()) __builtin_trap();
  for (const d3dx_fx::Param& p : source.params)
    if (p.kind == d3dx_fx::ParamKind::Value && p.defaults.size() != p.size()) __builtin_trap();
  return 0;
}
