// The shared Direct3D device.
#pragma once

struct IDirect3DDevice9;

// Set by the entry routine and by gTQScript_setDevice; used by the camera
// paths, the script API and the state undo stacks.
extern IDirect3DDevice9* gDevice;
