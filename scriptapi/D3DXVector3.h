// The script math types vector3, color and matrix4 with their operators and
// the view and projection functions; the same module registers matrixStack
// and vectorN.
#pragma once

namespace AngelScript {
class asIScriptEngine;
}

// Registers vector3, color, matrix4, matrixStack and vectorN into a new
// engine. Logs "TQScrip - initD3DXVector3 failed" once when any
// registration is rejected (all the others are still made). Returns 0.
int initD3DXVector3(AngelScript::asIScriptEngine* engine);
