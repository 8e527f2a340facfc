// The effect-file language around HLSL: global parameters with semantics
// and defaults, sampler_state blocks, techniques and passes. `parseEffect`
// takes them out of the text and leaves plain HLSL for the shader compiler
// (what it removes becomes blanks, so line numbers stay).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace d3dx_fx {

// Struct: a parameter of a struct type (or one element of an array of
// them), a name for its members; each member follows it as a parameter
// of its own named "name.member" (Value leaves, or Struct again).
enum class ParamKind { Value, Texture, Sampler, String, Struct };
enum class ValueType { Float, Int, Bool };

struct Assignment {
  std::string state;               // as written, "AlphaBlendEnable"
  int index = -1;                  // "Texture[1]": 1
  std::vector<std::string> value;  // the tokens after '='
  int line = 0;
  std::string file;  // the file it is written in (an include's name, or the effect's)
};

struct Param {
  std::string name, semantic;
  ParamKind kind = ParamKind::Value;
  ValueType type = ValueType::Float;
  int rows = 1, cols = 1, elements = 0;   // elements 0: not an array
  std::vector<float> defaults;            // rows * cols * max(elements, 1)
  std::vector<Assignment> samplerStates;  // sampler_state { ... }
  int samplerRegister = -1;               // "sampler2D s : register(s2)": 2
  size_t size() const { return size_t(rows * cols * (elements ? elements : 1)); }
};

struct Pass {
  std::string name;
  std::vector<Assignment> states;
};

struct Technique {
  std::string name;
  std::vector<Pass> passes;
};

// "VertexShader shaders[2] = { compile vs_2_0 f(1), compile vs_2_0 f(2) };"
// (or one shader without brackets): passes name them, or an element by a
// parameter ("VertexShader = (shaders[count]);").
struct ShaderVariable {
  std::string name;
  bool vertex = true;
  std::vector<std::vector<std::string>> elements;  // the tokens of each
};

struct EffectSource {
  std::string hlsl;  // the shader code alone
  std::vector<Param> params;
  std::vector<ShaderVariable> shaders;
  std::vector<Technique> techniques;
  // Shader-wide variables declared static with a constant value (in
  // `defaults`): not parameters, but a pass's states may name them.
  std::map<std::string, Param> statics;
};

// The value of a constant expression in tokens [begin, end) as HLSL writes
// it: numbers, true and false, {lists}, casts and constructors, swizzles,
// the common intrinsics, arithmetic, comparisons, logic and ?:. Names
// take the value `named` gives (null when there is none). False when the
// tokens are not such an expression.
bool evaluateExpression(const std::vector<std::string>& tokens, size_t begin, size_t end,
                        const std::function<const std::vector<float>*(const std::string&)>& named,
                        std::vector<float>& result);

// False with "file(line): error: text" lines in `errors`.
bool parseEffect(const std::string& text, const std::string& fileName, EffectSource& out,
                 std::string& errors);

}  // namespace d3dx_fx
