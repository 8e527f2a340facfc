// A white directional light shining along +z, from the side of a camera on
// -z, as light 0 and switched on.
#pragma once

#include "platform/d3d9/D3D9.h"

inline void lightFromEye(IDirect3DDevice9* device) {
  D3DLIGHT9 light{};
  light.Type = D3DLIGHT_DIRECTIONAL;
  light.Diffuse = {1, 1, 1, 1};
  light.Direction = {0, 0, 1};
  device->SetLight(0, &light);
  device->LightEnable(0, TRUE);
}
