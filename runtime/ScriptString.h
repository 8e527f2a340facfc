// The script type "string": the standard library's byte string, held by value
// in the script engine, with literals, copies, concatenation (up to 256 MiB), comparison,
// length, single letters and the conversion of numbers to text.
//
// Alongside it lives the script type "bits": a 32-bit unsigned value that
// converts to and from uint, has the bitwise operators (their results stay
// bits), and whose text conversions give lowercase hexadecimal where the uint
// ones give decimal.
#pragma once

#include <angelscript.h>

#include <cstdint>
#include <string>

using namespace AngelScript;

// The native layout of a script "bits" value.
struct ScriptBits {
  uint32_t value;
};

// Registers "bits" and "string" into a new engine. Returns the result code of
// the last registration; reports nothing.
int initString(asIScriptEngine* engine);

// The texts of the number conversions.
std::string numberText(double value);
std::string numberText(int32_t value);
std::string numberText(uint32_t value);
std::string numberText(ScriptBits value);
