// Text helpers that the fixed-function vertex and fragment shader writers
// and the program cache share.
#pragma once

#include <string>

#include "platform/d3d9/FixedFunction.h"

namespace d3d9 {
namespace shader_text {

inline std::string n(int value) { return std::to_string(value); }

inline const char* kCommonHeader = "#version 330 core\n";

// Whether the fragment stage receives the specular colour. SPECULARENABLE
// governs the stages' D3DTA_SPECULAR argument too: off, it reads as black.
inline bool needsSpecular(const ProgramKey& k) { return k.specularAdd || k.shaderCoords; }

// Components of stage i's texture coordinate between the stages: as many
// as the lookup needs (0 when point sprites supply them).
inline int coordWidth(const ProgramKey& k, int i) {
  if (k.shaderCoords) return 4;
  if (!k.stage[i].texture || k.pointSprite) return 0;
  if (k.coord[i].projected) return 4;
  return k.stage[i].texture == kTextureCube ? 3 : 2;
}

inline std::string vecType(int width) {
  return width == 1 ? "float" : "vec" + std::to_string(width);
}

}  // namespace shader_text
}  // namespace d3d9
