// The pieces of the HLSL compile that its files share: the rewriting of
// the text before the front end reads it, and SPIR-V back to GLSL.
#pragma once

#include <string>
#include <vector>

#include "platform/d3dx/HLSLCompiler.h"

namespace d3dx_hlsl {

// Our own versions of functions the front end lacks or gets wrong, put
// before the source.
extern const char* const kPrelude;

// Renames calls of `from` (not member calls, not longer identifiers).
std::string renameCalls(const std::string& s, const std::string& from, const std::string& to);
// POSITION outputs of a vertex stage as the clip-space system value.
std::string positionToSystemValue(const std::string& s);
// The tokens of HLSL text: identifiers and numbers whole, everything else
// one character; comments, strings and preprocessor lines left out.
std::vector<std::string> hlslTokens(const std::string& text);
// A shader-wide variable declared again with another type (the front end
// crashes on it), or empty.
std::string redeclaredGlobal(const std::vector<std::string>& tokens);

// Whether `text` defines a function `name` of its own (at the top level,
// with a body).
bool definesFunction(const std::string& text, const std::string& name);
// Overloads of the functions `text` defines as `name` that take vectors for
// their scalar parameters and pass the first components on (the call the
// compiler of Direct3D 9 took by cutting the vector down); `text` itself
// when it defines no such function.
std::string scalarArgumentOverloads(const std::string& text, const std::string& name);

// The SPIR-V of one stage as GLSL 330 in the form HLSLCompiler.h describes;
// false with the reason in `errors`.
bool spirvToGlsl(const std::vector<unsigned>& spirv, Stage stage, CompiledStage& out,
                 std::string& errors);

}  // namespace d3dx_hlsl
