// The lighting, material, fog and camera part of the render-state module:
// the script value types light and material, the light switches and global
// ambient, linear fog, and the getters and setters of the camera globals.
//
// The lighting switch and the ambient colour go through the render-state
// undo stack, so the sequencer takes them back after each script call; the
// lights, the material and fog are set on the device directly and stay.
#pragma once

#include "platform/d3d9/D3D9.h"

namespace AngelScript {
class asIScriptEngine;
}
class RegistrationSum;

// A script light: the device's light record, then the device light index of
// the last bind (-1 before any) and the last value given to enable.
struct ScriptLight {
  D3DLIGHT9 light;
  int lightIndex;
  int enabled;
};

// Registers light and material with their constructors, properties and
// methods, and "void enableLight(int,int)" and "void setGlobalAmbient(color
// &in)" before them.
void registerLightsAndMaterials(AngelScript::asIScriptEngine* engine, RegistrationSum& r);
// Registers the fog switches and the camera getters and setters.
void registerFogAndCamera(AngelScript::asIScriptEngine* engine, RegistrationSum& r);
