// The script type arrayTexture: a fixed-length array of texture handles.
#pragma once

#include <vector>

#include "scriptapi/D3DTexture.h"

namespace AngelScript {
class asIScriptEngine;
}

class ArrayTexture {
 public:
  ArrayTexture() = default;
  // n empty handles; none for a negative n or one above 2^20 (logged).
  explicit ArrayTexture(int n);

  // Element i shares t's texture. An index outside the array changes
  // nothing and is logged.
  void set(int i, const TextureHandle& t);
  // out shares element i's texture (empty for an empty element). An index
  // outside the array leaves out as it is and is logged; the script's
  // "texture &out" then receives an empty handle.
  void get(int i, TextureHandle& out) const;

  std::vector<TextureHandle> elements;
};

// Registers arrayTexture (after texture) into a new engine. Logs "TQScrip -
// initArrays failed" once when any registration is rejected. Returns 0
// after a clean registration.
int initArrays(AngelScript::asIScriptEngine* engine);
