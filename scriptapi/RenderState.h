// The render-state module: named device presets for texture stages,
// blending, depth and culling, the world and texture transforms, the frame's
// clear colour, a depth clear and script-side marks on the state undo
// stacks. Its registration also brings in the lighting, material, fog and
// camera functions (Lighting.h), so one call gives an engine the whole module.
#pragma once

#include <cstdint>

namespace AngelScript {
class asIScriptEngine;
}
struct D3DCOLORVALUE;

// Makes the render-state and texture-stage undo stacks on its first call
// (later calls share them) and registers the module's 60 declarations. Logs
// "TQScript - initD3DXVector3 failed" once when any registration is rejected
// (all the others are still made). Returns 0.
int initRenderState(AngelScript::asIScriptEngine* engine);

// A script factor as a device integer: value × 255, the exact product,
// truncated toward zero, unclamped. A product that no int holds (or NaN)
// gives INT32_MIN, whose low byte is 0.
int scaledChannel(float value);

// A script colour as a device ARGB colour: the low 8 bits of each scaled
// channel, alpha in the top byte.
std::uint32_t packColor(const D3DCOLORVALUE& c);

// A render state changed through the render-state undo stack (nothing
// happens before the stacks exist), so the sequencer's undo after the call
// takes it back.
void setUndoableRenderState(int state, std::uint32_t value);
