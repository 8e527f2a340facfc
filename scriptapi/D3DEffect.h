// The script type effect: effect files drawn in begin / pass / end brackets
// with their parameters set by name, and procedural textures filled by a
// texture-shader function of a source file.
#pragma once

#include "core/TQSmartPointer.h"
#include "platform/d3dx/D3DXEffect.h"

namespace AngelScript {
class asIScriptEngine;
}

using EffectHandle = TQSmartPointer<ID3DXEffect, DXReleaseDestruct<ID3DXEffect>>;

// Registers effect with its methods and the procedural texture function into
// a new engine (after texture and vector3). Logs "TQScrip - initD3DEffect
// failed" once when any registration is rejected (all the others are still
// made). Returns 0 after a clean registration.
int initD3DEffect(AngelScript::asIScriptEngine* engine);
