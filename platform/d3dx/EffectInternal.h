// What the effect and the texture shader share: buffers, parameter values
// and their upload into a program's uniforms.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/d3dx/Counted.h"
#include "platform/d3dx/D3DXEffect.h"
#include "platform/d3dx/EffectSource.h"
#include "platform/d3dx/HLSLCompiler.h"

namespace d3dx_fx {

using d3dx_com::Counted;

ID3DXBuffer* makeBuffer(const void* data, size_t size);
inline ID3DXBuffer* makeBuffer(const std::string& text) {
  return makeBuffer(text.c_str(), text.size() + 1);
}

// A parameter and its current value.
struct ParamValue {
  Param decl;
  std::vector<float> values;                 // row by row, element after element
  IDirect3DBaseTexture9* texture = nullptr;  // texture parameters, one reference
  uint64_t version = 1;                      // moves on with every change of the value
};

HRESULT setValues(ParamValue& p, const float* values, size_t count);
// Matrix rows of the parameter taken from a 4x4 matrix.
HRESULT setMatrix(ParamValue& p, const D3DXMATRIX& m);

// Where each parameter lives in a linked program: its uniform in the
// stage's globals block, per stage.
struct ProgramParams {
  struct Slot {
    size_t param;
    GLint location;
    uint64_t uploaded = 0;      // the parameter's version the program holds
    bool unsignedInts = false;  // a uint, or a bool, in the shader
  };
  std::vector<Slot> slots;
};

// Finds the uniforms of `params` that `stage` declares in `program`.
void locateParams(GLuint program, const d3dx_hlsl::CompiledStage& stage,
                  const std::vector<ParamValue>& params, ProgramParams& out);
// Uploads the values that changed since the last upload into `program`.
void uploadParams(GLuint program, ProgramParams& where, const std::vector<ParamValue>& params);

}  // namespace d3dx_fx
