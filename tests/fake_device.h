// A device that only keeps transforms and a viewport, for the script math
// tests: everything else answers with the interface's default bodies.
#pragma once

#include <map>

#include "core/DeviceGlobal.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMath.h"

class TransformDevice : public IDirect3DDevice9 {
 public:
  HRESULT SetTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix) override {
    transforms[state] = *matrix;
    ++setCalls;
    return S_OK;
  }
  HRESULT GetTransform(D3DTRANSFORMSTATETYPE state, D3DMATRIX* matrix) override {
    auto found = transforms.find(state);
    if (found == transforms.end()) {
      D3DXMATRIX identity;
      *matrix = *D3DXMatrixIdentity(&identity);
    } else {
      *matrix = found->second;
    }
    return S_OK;
  }
  HRESULT GetViewport(D3DVIEWPORT9* out) override {
    *out = viewport;
    return S_OK;
  }

  D3DXMATRIX transform(D3DTRANSFORMSTATETYPE state) {
    D3DXMATRIX m;
    GetTransform(state, &m);
    return m;
  }

  std::map<int, D3DXMATRIX> transforms;
  D3DVIEWPORT9 viewport = {0, 0, 640, 480, 0.0f, 1.0f};
  int setCalls = 0;
};

// Makes a device the shared one for the life of a test.
class DeviceScope {
 public:
  explicit DeviceScope(IDirect3DDevice9* device) : previous_(gDevice) { gDevice = device; }
  ~DeviceScope() { gDevice = previous_; }

 private:
  IDirect3DDevice9* previous_;
};
