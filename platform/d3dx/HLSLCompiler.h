// One HLSL function compiled for one stage into GLSL that our device's GL
// backend can link: glslang's HLSL front end to SPIR-V, then SPIRV-Cross
// back to GLSL 330.
//
// What the GLSL looks like:
// - the file's global parameters are members of one uniform struct,
//   `fxv` in a vertex stage and `fxp` in a pixel stage, set by name
//   ("fxv.tint") with glUniform*;
// - vertex inputs sit at the attribute locations of the device's vertex
//   formats (POSITION 0, BLENDWEIGHT 1, ..., TEXCOORDn 7 + n);
// - values passed between stages are named after their semantics
//   (v_TEXCOORD0, v_COLOR0), so the two stages link by name;
// - samplers keep the names they have in the source.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace d3dx_hlsl {

enum class Stage { Vertex, Pixel };

struct Varying {
  std::string name;  // as in the GLSL
  std::string type;  // GLSL type, "vec2"
};

struct CompiledStage {
  Stage stage = Stage::Vertex;
  std::string glsl;
  std::string block;                 // "fxv" or "fxp"; empty without globals
  std::vector<std::string> members;  // global parameters in the block
  // The GLSL names of `members`, in their order: the same but for names
  // that GLSL keeps for itself ("input", "a__b"), which the translation
  // changes.
  std::vector<std::string> memberUniforms;
  std::vector<std::string> samplers;  // sampler uniforms the stage declares
  std::vector<Varying> inputs;        // pixel stage: values it reads
};

// Compiles `entry` of `source`. False with the compiler's messages in
// `errors`, each line prefixed with `fileName`. The compiler runs in a
// worker process of its own (a helper: platform/win32/HelperProcess.h),
// kept for the next compiles: text that crashes it, or that it does not
// finish within the time limit (10 s), fails with an error like any other,
// and a fresh worker, made ahead by the helpers' origin, takes the next
// compile.
bool compile(const std::string& source, const std::string& entry, Stage stage,
             const std::string& fileName, CompiledStage& out, std::string& errors);

// Starts the worker now rather than at the first compile, and with it the
// helpers' origin when none runs yet: the player calls this first thing,
// before any other thread exists and before the GL driver is loaded.
void startCompiler();

// The same translation in this process, unprotected: for benchmarks only.
bool compileInProcess(const std::string& source, const std::string& entry, Stage stage,
                      const std::string& fileName, CompiledStage& out, std::string& errors);

// For tests: a function the worker runs before each compile (null for
// none), the time limit in milliseconds, and the worker's process id (-1
// when none runs).
void setChildHookForTesting(void (*hook)());
void setTimeLimitForTesting(int milliseconds);
int workerProcessForTesting();

// An effect's shader text with what the front end takes wrongly or not at
// all put in terms it takes (VPOS and VFACE inputs, SamplerState used
// with tex2D). For `compile`: the texture shader path does not need it.
std::string rewriteEffectShader(const std::string& source, Stage stage);

// The `out` variables a stage's GLSL declares.
std::vector<Varying> declaredOutputs(const std::string& glsl);

// A pixel stage's GLSL made to read what another vertex stage `provided`:
// each of `inputs` is read from the provided variable of its name, or of
// the name `sources` maps it to ({"v_COLOR0", "v_diffuse"}), converted to
// its own type (cut down, or filled with 0 and a last 1); inputs nothing
// provides read 0.
std::string rewireInputs(const std::string& glsl, const std::vector<Varying>& inputs,
                         const std::vector<Varying>& provided,
                         const std::vector<std::pair<std::string, std::string>>& sources);

// A vertex stage's GLSL made to feed the fixed-function fragment stage:
// COLOR0, COLOR1, FOG and TEXCOORD0..7 written as v_diffuse, v_specular,
// v_fog and v_tex0..7 (vec4, filled with 0 and a last 1), what it does not
// write with white, black, no fog and (0, 0, 0, 1).
std::string toFixedFunctionOutputs(const std::string& glsl);

// Links a vertex and a fragment stage given as GLSL into a program of the
// current GL context; 0 with the reason in `errors`.
unsigned linkProgram(const std::string& vertex, const std::string& fragment, std::string& errors);

}  // namespace d3dx_hlsl
