// A camera on the -z side looking straight at a piece of extruded text, lit
// from the eye with a white directional light, and the way back from a point
// of the text to the pixel that shows it.
#pragma once

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMath.h"
#include "tests/eye_light.h"

class TextView {
 public:
  // Looks at `centre` (on the text's plane) from `distance` in front of it.
  TextView(IDirect3DDevice9* device, UINT width, UINT height, D3DXVECTOR3 centre, float distance)
      : width_(width), height_(height) {
    D3DXMATRIX world, view, projection;
    D3DXMatrixIdentity(&world);
    D3DXVECTOR3 eye(centre.x, centre.y, centre.z - distance), up(0, 1, 0);
    D3DXMatrixLookAtLH(&view, &eye, &centre, &up);
    D3DXMatrixPerspectiveFovLH(&projection, 3.14159265f / 4, float(width) / float(height), 0.1f,
                               10.0f);
    device->SetTransform(D3DTS_WORLD, &world);
    device->SetTransform(D3DTS_VIEW, &view);
    device->SetTransform(D3DTS_PROJECTION, &projection);
    D3DXMatrixMultiply(&viewProjection_, &view, &projection);
    D3DMATERIAL9 white{};
    white.Diffuse = {1, 1, 1, 1};
    device->SetMaterial(&white);
    lightFromEye(device);
    device->SetRenderState(D3DRS_LIGHTING, TRUE);
  }

  // The pixel column and row that show the point.
  void pixel(float x, float y, float z, int& column, int& row) const {
    const D3DXVECTOR3 p(x, y, z);
    D3DXVECTOR3 c;
    D3DXVec3TransformCoord(&c, &p, &viewProjection_);
    column = int((c.x + 1) * 0.5f * float(width_));
    row = int((1 - c.y) * 0.5f * float(height_));
  }

 private:
  UINT width_, height_;
  D3DXMATRIX viewProjection_;
};
