// Hooks that let tests look at what the device drew and which calls it got.
// Not used by the engine itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/d3d9/D3D9.h"

struct IDirect3DDevice9;
struct IDirect3DSurface9;

namespace d3d9_test {

// An image as 32-bit ARGB pixels (alpha in the top byte), top row first.
struct Frame {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
  bool empty() const { return pixels.empty(); }
};

// When enabled, every Present keeps a copy of the back buffer it showed;
// `lastPresentedFrame` answers the newest one (empty when none), also after
// the device is gone. Off by default, since it reads the frame back.
void setFrameCaptureEnabled(bool enabled);
const Frame& lastPresentedFrame();
int presentCount();  // Present calls since the last reset

// Reads the device's current render target 0 (the back buffer unless a
// texture is set as target). Empty when `device` is not a device of ours.
Frame readRenderTarget(IDirect3DDevice9* device);
// Reads any surface of ours (texture level, render target, back buffer).
Frame readSurface(IDirect3DSurface9* surface);

// Device resources (textures, surfaces, buffers, declarations, ...) alive
// in the process, of every device.
long liveResourceCount();

// How many fixed-function programs the device has made so far.
size_t programCount(IDirect3DDevice9* device);

// The call log: while enabled, every device call appends one line, the
// method's name and its arguments, e.g. "SetRenderState(22, 1)" or
// "Clear(0, null, 3, 0xff000000, 1, 0)". Integers are decimal, colours
// hexadecimal, floats as printed by %g, pointers "null" or "ptr".
void setCallLogEnabled(bool enabled);
const std::vector<std::string>& callLog();
void clearCallLog();

// Device creation as the engine asked for it: every CreateDevice call with
// its arguments, and failures injected into the factory and the device.
struct DeviceCreation {
  UINT adapter;
  DWORD type;
  HWND window;
  DWORD behaviourFlags;
  D3DPRESENT_PARAMETERS parameters;
};
const std::vector<DeviceCreation>& deviceCreations();
void failDirect3DCreate(bool fail);                // Direct3DCreate9 answers null
void failDeviceCreations(int count, HRESULT why);  // the next `count` CreateDevice calls fail
void failRenderState(DWORD state);                 // SetRenderState of it fails; 0: none
// The next `count` waits of the streaming buffer for the GPU to release a
// part of it time out, as if the GPU were stuck on its draws.
void failStreamWaits(int count);

// Everything above back to its start: capture and log off and emptied.
void reset();

}  // namespace d3d9_test
