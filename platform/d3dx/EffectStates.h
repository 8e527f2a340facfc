// The states a pass or a sampler_state block may assign: their names, what
// their values may be written as, and how each reaches the device.
//
// Names are matched in any case and with or without underscores
// ("CcwStencilFunc", "CCW_STENCILFUNC"). Values are numbers, the names of
// the state's kind ("SrcAlpha", "D3DBLEND_SRCALPHA"), flags joined with '|'
// ("Red | Green"), vectors ("float4(1, 0, 0, 1)", "{1, 0, 0, 1}") for
// colours, positions and matrices, or a parameter of the effect ("<name>"
// or "(name)"), read when the pass begins.
#pragma once

#include <string>
#include <vector>

#include "platform/d3d9/D3D9.h"

namespace d3dx_fx {

enum class StateTarget { Render, Sampler, Stage, Transform, LightEnable, Light, Material, Fvf };

// The kind of value a state takes.
enum class Values {
  Number,
  Float,
  Bool,
  Color,
  Vector,
  Matrix,
  Blend,
  BlendOp,
  Cmp,
  Cull,
  Fill,
  Shade,
  StencilOp,
  Filter,
  Address,
  WriteMask,
  TexOp,
  TexArg,
  TexCoordIndex,
  TransformFlags,
  MaterialSource,
  Fog,
  VertexBlend,
  ZBuffer,
  Wrap,
  LightType,
  Fvf
};

struct StateInfo {
  const char* name;
  StateTarget target;
  DWORD id;  // render, sampler or stage state; transform; light or material field
  Values values;
};

// A pass's state by name; null when there is none such. Sampler states
// are found too (they apply to the unit of their index).
const StateInfo* findPassState(const std::string& name);
// A sampler_state block's state (sampler states only).
const StateInfo* findSamplerState(const std::string& name);

// A value as written: constant, or the name of the parameter it comes from.
struct StateValue {
  DWORD value = 0;            // Number, Bool, Float (its bits), names, flags, Color
  std::vector<float> floats;  // Vector, Matrix, and Color written as a vector
  std::string param;
  int element = -1;  // "<name[2]>", "(name[2])": that element of an array parameter
};

// False when the tokens are not a value of that kind.
bool parseStateValue(const std::vector<std::string>& tokens, Values kind, StateValue& out);
// The value of a parameter (its floats, row by row) for a state of `kind`.
StateValue valueFromFloats(const std::vector<float>& floats, Values kind);

// Sets the state `index` (texture stage, sampler, light, world matrix...)
// on the device.
void applyState(IDirect3DDevice9* device, const StateInfo& state, DWORD index, const StateValue& v);

// What a state is before a pass changes it, to be put back after: a
// closure over the device's current value.
struct SavedState {
  const StateInfo* state;
  DWORD index;
  DWORD value = 0;
  D3DMATRIX matrix{};
  D3DLIGHT9 light{};
  D3DMATERIAL9 material{};
  bool had = true;  // lights: whether the device had one at that index
};
SavedState saveState(IDirect3DDevice9* device, const StateInfo& state, DWORD index);
void restoreState(IDirect3DDevice9* device, const SavedState& saved);

}  // namespace d3dx_fx
